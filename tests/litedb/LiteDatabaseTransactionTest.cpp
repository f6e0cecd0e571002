// Transactions, savepoints and write-ahead-log checkpoints on one connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class TransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeStatements("create table t(a)"));
  }
  std::string rows() { return engineScalar(*db, "select group_concat(a, ' ') from t"); }

  ScratchDir dir;
  std::shared_ptr<LiteDatabase> db;
  LogCapture log;
};

// The engine's answer when a second connection tries to read or write, without waiting.
int otherConnectionResult(const std::string& path, const char* sql) {
  LiteDatabase other(path);
  if (!other.open()) return -1;
  other.setMaxBusyRetryTimeInterval(0);
  return sqlite3_exec(other.sqliteHandle(), sql, nullptr, nullptr, nullptr);
}

// What the update core logs when the step of `sql` fails with SQLITE_ERROR.
std::vector<std::string> stepErrorLines(const std::string& message, const std::string& sql) {
  return {"Error calling sqlite3_step (1: " + message + ") SQLITE_ERROR", "DB Query: " + sql,
          "Unknown error finalizing or resetting statement (1: " + message + ")",
          "DB Query: " + sql};
}

}  // namespace

TEST_F(TransactionTest, CommitKeepsAndRollbackUndoesTheChanges) {
  EXPECT_FALSE(db->isInTransaction());
  ASSERT_TRUE(db->beginTransaction());
  EXPECT_TRUE(db->isInTransaction());
  EXPECT_TRUE(db->inTransaction());
  ASSERT_TRUE(db->executeUpdate("insert into t values (?)", 1));
  ASSERT_TRUE(db->commit());
  EXPECT_FALSE(db->isInTransaction());

  ASSERT_TRUE(db->beginDeferredTransaction());
  ASSERT_TRUE(db->executeUpdate("insert into t values (?)", 2));
  EXPECT_TRUE(db->isInTransaction());
  ASSERT_TRUE(db->rollback());
  EXPECT_FALSE(db->isInTransaction());

  EXPECT_EQ(rows(), "1");
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(TransactionTest, EachBeginTakesItsOwnLock) {
  struct Case {
    const char* name;
    std::function<bool(LiteDatabase&)> begin;
    bool othersCanRead;
    bool othersCanWrite;
  };
  const Case cases[] = {
      // The plain form is exclusive, not deferred.
      {"beginTransaction", [](LiteDatabase& d) { return d.beginTransaction(); }, false, false},
      {"beginExclusiveTransaction", [](LiteDatabase& d) { return d.beginExclusiveTransaction(); },
       false, false},
      {"beginImmediateTransaction", [](LiteDatabase& d) { return d.beginImmediateTransaction(); },
       true, false},
      {"beginDeferredTransaction", [](LiteDatabase& d) { return d.beginDeferredTransaction(); },
       true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.begin(*db));
    EXPECT_TRUE(db->isInTransaction());
    EXPECT_EQ(otherConnectionResult(dir.file("data.sqlite"), "select * from t"),
              c.othersCanRead ? SQLITE_OK : SQLITE_BUSY);
    EXPECT_EQ(otherConnectionResult(dir.file("data.sqlite"), "insert into t values (9)"),
              c.othersCanWrite ? SQLITE_OK : SQLITE_BUSY);
    ASSERT_TRUE(db->rollback());
    EXPECT_FALSE(db->isInTransaction());
  }
}

TEST_F(TransactionTest, FailedBeginCommitOrRollbackLeavesTheFlag) {
  EXPECT_FALSE(db->commit());
  EXPECT_FALSE(db->isInTransaction());
  EXPECT_EQ(log.take(),
            stepErrorLines("cannot commit - no transaction is active", "commit transaction"));
  EXPECT_FALSE(db->rollback());
  EXPECT_FALSE(db->isInTransaction());
  log.take();

  ASSERT_TRUE(db->beginTransaction());
  EXPECT_FALSE(db->beginDeferredTransaction());
  EXPECT_TRUE(db->isInTransaction());
  EXPECT_EQ(log.take(), stepErrorLines("cannot start a transaction within a transaction",
                                       "begin deferred transaction"));

  // A transaction ended by other SQL text is not seen: the flag stays set, and the
  // commit that finds nothing to commit leaves it set too.
  ASSERT_TRUE(db->executeStatements("commit"));
  EXPECT_TRUE(db->isInTransaction());
  db->setLogsErrors(false);
  EXPECT_FALSE(db->commit());
  EXPECT_TRUE(db->isInTransaction());
  EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(TransactionTest, TransactionsOnAClosedConnectionFail) {
  db->close();
  log.take();
  EXPECT_FALSE(db->beginTransaction());
  EXPECT_FALSE(db->isInTransaction());
  EXPECT_THAT(log.take(), ElementsAre(notOpenLine(*db)));
}

TEST_F(TransactionTest, SavePointNamesKeepTheirQuotes) {
  db->setTraceExecution(true);
  std::optional<LiteError> error;
  ASSERT_TRUE(db->startSavePointWithNameError("a'b", &error));
  EXPECT_EQ(error, std::nullopt);
  EXPECT_THAT(log.take(), ElementsAre(db->description() + " executeUpdate: savepoint 'a''b';"));
  ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
  ASSERT_TRUE(db->startSavePointWithNameError("x'; drop table t; --", &error));
  ASSERT_TRUE(db->executeUpdate("insert into t values (2)"));
  ASSERT_TRUE(db->rollbackToSavePointWithNameError("a'b", &error));
  ASSERT_TRUE(db->releaseSavePointWithNameError("a'b", &error));
  EXPECT_THAT(log.take(),
              ElementsAre(db->description() + " executeUpdate: insert into t values (1)",
                          db->description() + " executeUpdate: savepoint 'x''; drop table t; --';",
                          db->description() + " executeUpdate: insert into t values (2)",
                          db->description() + " executeUpdate: rollback transaction to savepoint "
                                              "'a''b';",
                          db->description() + " executeUpdate: release savepoint 'a''b';"));
  EXPECT_EQ(rows(), "<NULL>");  // the table is still there, and empty
  EXPECT_FALSE(db->isInTransaction());
}

TEST_F(TransactionTest, UnknownSavePointReportsTheEngineError) {
  std::optional<LiteError> error;
  EXPECT_FALSE(db->releaseSavePointWithNameError("nope", &error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_ERROR, "no such savepoint: nope"}));
  error.reset();
  EXPECT_FALSE(db->rollbackToSavePointWithNameError("nope", &error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_ERROR, "no such savepoint: nope"}));
  std::vector<std::string> expected =
      stepErrorLines("no such savepoint: nope", "release savepoint 'nope';");
  for (const std::string& line :
       stepErrorLines("no such savepoint: nope", "rollback transaction to savepoint 'nope';")) {
    expected.push_back(line);
  }
  EXPECT_EQ(log.take(), expected);
}

TEST_F(TransactionTest, InSavePointKeepsOrUndoesTheBlocksChanges) {
  EXPECT_EQ(db->inSavePoint([&](bool*) { db->executeUpdate("insert into t values (1)"); }),
            std::nullopt);
  EXPECT_EQ(db->inSavePoint([&](bool* rollback) {
    db->executeUpdate("insert into t values (2)");
    *rollback = true;
  }),
            std::nullopt);
  EXPECT_EQ(rows(), "1");
  // No block: an empty savepoint, started and released.
  EXPECT_EQ(db->inSavePoint(nullptr), std::nullopt);
  EXPECT_THAT(log.lines(), IsEmpty());
  // Nested inside a transaction, the rollback undoes only the savepoint's part.
  ASSERT_TRUE(db->beginTransaction());
  ASSERT_TRUE(db->executeUpdate("insert into t values (3)"));
  EXPECT_EQ(db->inSavePoint([&](bool* rollback) {
    db->executeUpdate("insert into t values (4)");
    *rollback = true;
  }),
            std::nullopt);
  ASSERT_TRUE(db->commit());
  EXPECT_EQ(rows(), "1 3");
}

TEST_F(TransactionTest, InSavePointReportsFailures) {
  // The savepoint cannot start: the block is not called, and the failure comes back
  // as an error even though the connection's guard gave the core none to pass on.
  db->close();
  bool called = false;
  std::optional<LiteError> error = db->inSavePoint([&](bool*) { called = true; });
  EXPECT_FALSE(called);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "LiteDatabase");
  EXPECT_EQ(error->code, SQLITE_MISUSE);

  // The block ends the savepoint behind its back: the rollback and the release that
  // follow both fail, and the release's error is the one returned.
  ASSERT_TRUE(db->open());
  db->setTraceExecution(true);
  log.take();
  std::string name;
  error = db->inSavePoint([&](bool* rollback) {
    const std::string started = log.lines().back();  // "... executeUpdate: savepoint 'N';"
    const std::size_t open = started.find('\'');
    name = started.substr(open + 1, started.rfind('\'') - open - 1);
    db->executeStatements("release savepoint '" + name + "'");
    *rollback = true;
  });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "no such savepoint: " + name);
  EXPECT_EQ(log.lines().back(), "DB Query: release savepoint '" + name + "';");
}

TEST(TransactionDeathTest, InSavePointNamesCountFromZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A fresh process, so this is its first savepoint.
  EXPECT_EXIT(
      {
        LiteDatabase db(std::nullopt);
        if (!db.open()) std::exit(2);
        db.setTraceExecution(true);
        db.inSavePoint(nullptr);
        db.inSavePoint(nullptr);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "savepoint 'dbSavePoint0';(.|\n)*release savepoint 'dbSavePoint0';(.|\n)*"
      "savepoint 'dbSavePoint1';(.|\n)*release savepoint 'dbSavePoint1';");
}

TEST_F(TransactionTest, CheckpointsMoveTheLogIntoTheDatabase) {
  ASSERT_EQ(engineScalar(*db, "pragma journal_mode=wal"), "wal");
  const std::filesystem::path wal = dir.file("data.sqlite-wal");
  for (int mode : {SQLITE_CHECKPOINT_PASSIVE, SQLITE_CHECKPOINT_FULL, SQLITE_CHECKPOINT_RESTART,
                   SQLITE_CHECKPOINT_TRUNCATE}) {
    SCOPED_TRACE(mode);
    ASSERT_TRUE(db->executeUpdate("insert into t values (?)", mode));
    int logFrames = -1;
    int checkpointed = -1;
    std::optional<LiteError> error;
    ASSERT_TRUE(db->checkpointNameLogFrameCountCheckpointCountError(mode, "main", &logFrames,
                                                                    &checkpointed, &error));
    EXPECT_EQ(error, std::nullopt);
    if (mode == SQLITE_CHECKPOINT_TRUNCATE) {
      EXPECT_EQ(logFrames, 0);
      EXPECT_EQ(std::filesystem::file_size(wal), 0u);
    } else {
      EXPECT_GT(logFrames, 0);
      EXPECT_EQ(checkpointed, logFrames);
    }
  }
  // A second connection sees every row without the log.
  EXPECT_TRUE(db->checkpointNameError(SQLITE_CHECKPOINT_PASSIVE, std::nullopt, nullptr));
  EXPECT_TRUE(db->checkpointError(SQLITE_CHECKPOINT_PASSIVE, nullptr));
  EXPECT_EQ(rows(), "0 1 2 3");
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(TransactionTest, CheckpointFailuresReportTheEngineError) {
  std::optional<LiteError> error;
  EXPECT_FALSE(db->checkpointNameError(SQLITE_CHECKPOINT_PASSIVE, "nope", &error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_ERROR, "unknown database: nope"}));
  EXPECT_THAT(log.take(), ElementsAre("unknown database: nope"));

  db->setLogsErrors(false);
  EXPECT_FALSE(db->checkpointNameError(SQLITE_CHECKPOINT_PASSIVE, "nope", nullptr));
  EXPECT_THAT(log.take(), IsEmpty());

  // A closed connection never hands the engine a missing handle.
  db->close();
  error.reset();
  EXPECT_FALSE(db->checkpointError(SQLITE_CHECKPOINT_PASSIVE, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, SQLITE_MISUSE);
  EXPECT_THAT(log.take(), ElementsAre(notOpenLine(*db)));
}
