// The serial queue: one connection shared by several threads, one block at a time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteDatabaseQueue.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("data.sqlite");
    queue = LiteDatabaseQueue::databaseQueueWithPath(path);
    ASSERT_TRUE(queue);
    queue->inDatabase([](LiteDatabase* db) {
      ASSERT_TRUE(db);
      ASSERT_TRUE(db->executeStatements("create table t(a)"));
    });
  }
  // The table's values as a second connection sees them.
  std::string rows() {
    LiteDatabase other(path);
    if (!other.open()) return "<cannot open>";
    return engineScalar(other, "select coalesce(group_concat(a, ' '), '') from t");
  }

  ScratchDir dir;
  std::string path;
  std::shared_ptr<LiteDatabaseQueue> queue;
  LogCapture log;
};

// A connection class of its own, as a specialised queue supplies it.
class TaggedDatabase : public LiteDatabase {
 public:
  using LiteDatabase::LiteDatabase;
  static std::shared_ptr<LiteDatabase> databaseWithPath(std::optional<std::string> path) {
    return std::make_shared<TaggedDatabase>(std::move(path));
  }
};

class TaggedQueue : public LiteDatabaseQueue {
 public:
  using LiteDatabaseQueue::LiteDatabaseQueue;
  LiteDatabaseClass databaseClass() const override { return &TaggedDatabase::databaseWithPath; }
};

}  // namespace

TEST(QueueCreationTest, FailsForAFolderThatDoesNotExist) {
  ScratchDir dir;
  LogCapture log;
  const std::string path = dir.file("missing/data.sqlite");
  EXPECT_EQ(LiteDatabaseQueue::databaseQueueWithPath(path), nullptr);
  EXPECT_THAT(log.lines(), ElementsAre("error opening!: 14",
                                       "Could not create database queue for path " + path));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST(QueueCreationTest, ReadOnlyFlagsOnAMissingFileFail) {
  ScratchDir dir;
  LogCapture log;
  const std::string path = dir.file("data.sqlite");
  EXPECT_EQ(LiteDatabaseQueue::databaseQueueWithPathFlags(path, SQLITE_OPEN_READONLY), nullptr);
  EXPECT_THAT(log.lines(), ElementsAre("error opening!: 14",
                                       "Could not create database queue for path " + path));
}

TEST(QueueCreationTest, OpensItsConnectionAtOnce) {
  ScratchDir dir;
  LogCapture log;
  const std::string path = dir.file("data.sqlite");
  auto queue = LiteDatabaseQueue::databaseQueueWithURL("file://" + dir.path().string() +
                                                       "/data%20file.sqlite");
  ASSERT_TRUE(queue);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "data file.sqlite"));
  EXPECT_EQ(queue->path(), dir.file("data file.sqlite"));
  EXPECT_EQ(queue->openFlags(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  EXPECT_EQ(queue->vfsName(), std::nullopt);
  EXPECT_EQ(queue->label(), "litedb." + queue->description());
  EXPECT_THAT(queue->description(), StartsWith("<LiteDatabaseQueue: 0x"));
  queue->inDatabase([](LiteDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->isOpen());
  });
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(QueueCreationTest, WithoutAPathBlocksShareOnePrivateMemoryDatabase) {
  auto queue = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
  ASSERT_TRUE(queue);
  queue->inDatabase(
      [](LiteDatabase* db) { ASSERT_TRUE(db->executeStatements("create table m(x)")); });
  queue->inDatabase([](LiteDatabase* db) { EXPECT_TRUE(db->tableExists("m")); });
  // After close the next block gets a new connection: a new, empty memory database.
  queue->close();
  queue->inDatabase([](LiteDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_FALSE(db->tableExists("m"));
  });
}

TEST(QueueCreationTest, ASpecialisedQueueSuppliesItsConnectionClass) {
  ScratchDir dir;
  auto queue = LiteDatabaseQueue::databaseQueueWithPathFlagsVfs<TaggedQueue>(
      dir.file("data.sqlite"), LiteDatabaseQueue::kDefaultOpenFlags, std::nullopt);
  ASSERT_TRUE(queue);
  queue->inDatabase([](LiteDatabase* db) { EXPECT_TRUE(dynamic_cast<TaggedDatabase*>(db)); });
  queue->close();  // the reopened connection is of the same class
  queue->inDatabase([](LiteDatabase* db) { EXPECT_TRUE(dynamic_cast<TaggedDatabase*>(db)); });
  // The plain queue makes plain connections.
  auto plain = LiteDatabaseQueue::databaseQueueWithPath(dir.file("data.sqlite"));
  plain->inDatabase([](LiteDatabase* db) { EXPECT_FALSE(dynamic_cast<TaggedDatabase*>(db)); });
}

TEST_F(QueueTest, ReopensAfterClose) {
  queue->inDatabase(
      [](LiteDatabase* db) { ASSERT_TRUE(db->executeUpdate("insert into t values (1)")); });
  queue->close();
  queue->inDatabase([&](LiteDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->isOpen());
    EXPECT_EQ(db->databasePath(), path);
    EXPECT_EQ(db->intForQuery("select count(*) from t"), 1);
  });
  // A connection closed by a block itself is opened again for the next one.
  queue->inDatabase([](LiteDatabase* db) { db->close(); });
  queue->inDatabase([](LiteDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_EQ(db->intForQuery("select count(*) from t"), 1);
  });
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(QueueReopenTest, AFailedReopenGivesNoConnectionUntilOneSucceeds) {
  ScratchDir dir;
  LogCapture log;
  const std::filesystem::path folder = dir.path() / "library";
  std::filesystem::create_directory(folder);
  const std::string path = (folder / "data.sqlite").string();
  auto queue = LiteDatabaseQueue::databaseQueueWithPath(path);
  ASSERT_TRUE(queue);
  queue->close();
  std::filesystem::remove_all(folder);
  const std::vector<std::string> reopenFailed = {
      "error opening!: 14", "LiteDatabaseQueue could not reopen database for path " + path};

  bool called = false;
  queue->inDatabase([&](LiteDatabase* db) {
    called = true;
    EXPECT_EQ(db, nullptr);
  });
  EXPECT_TRUE(called);
  EXPECT_EQ(log.take(), reopenFailed);

  // Every other operation reports the missing connection instead of success.
  LiteDatabase* seen = reinterpret_cast<LiteDatabase*>(1);
  EXPECT_FALSE(queue->inTransaction([&](LiteDatabase* db, bool*) { seen = db; }));
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(log.take(), reopenFailed);

  seen = reinterpret_cast<LiteDatabase*>(1);
  std::optional<LiteError> error = queue->inSavePoint([&](LiteDatabase* db, bool*) { seen = db; });
  EXPECT_EQ(seen, nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, SQLITE_CANTOPEN);
  EXPECT_EQ(log.take(), reopenFailed);

  error.reset();
  EXPECT_FALSE(queue->checkpointError(SQLITE_CHECKPOINT_PASSIVE, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, SQLITE_CANTOPEN);
  EXPECT_EQ(log.take(), reopenFailed);

  // Once the folder is back, the next block opens the connection again.
  std::filesystem::create_directory(folder);
  queue->inDatabase([](LiteDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->executeStatements("create table back(x)"));
  });
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(QueueTest, WarnsWhenABlockLeavesAResultSetOpen) {
  const std::string warning =
      "Warning: there is at least one open result set around after performing "
      "[LiteDatabaseQueue inDatabase:]";
  std::shared_ptr<LiteResultSet> leftOpen;
  queue->inDatabase([&](LiteDatabase* db) { leftOpen = db->executeQuery("select * from t"); });
  EXPECT_THAT(log.take(), ElementsAre(warning));
  // The warning changes nothing: the result set is still open and readable.
  ASSERT_TRUE(leftOpen);
  EXPECT_FALSE(leftOpen->next());
  leftOpen->close();

  queue->inDatabase([](LiteDatabase* db) {
    auto rs = db->executeQuery("select * from t");
    ASSERT_TRUE(rs);
    rs->close();
  });
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(QueueTest, TransactionsCommitOrRollBackWithTheFlag) {
  struct Case {
    const char* name;
    std::function<bool(LiteDatabaseQueue&, const LiteDatabaseTransactionBlock&)> run;
    const char* beginSql;
  };
  const std::vector<Case> cases = {
      {"inTransaction", [](LiteDatabaseQueue& q, auto& b) { return q.inTransaction(b); },
       "begin exclusive transaction"},
      {"inExclusiveTransaction",
       [](LiteDatabaseQueue& q, auto& b) { return q.inExclusiveTransaction(b); },
       "begin exclusive transaction"},
      {"inDeferredTransaction",
       [](LiteDatabaseQueue& q, auto& b) { return q.inDeferredTransaction(b); },
       "begin deferred transaction"},
      {"inImmediateTransaction",
       [](LiteDatabaseQueue& q, auto& b) { return q.inImmediateTransaction(b); },
       "begin immediate transaction"},
  };
  queue->inDatabase([](LiteDatabase* db) { db->setTraceExecution(true); });
  log.take();
  int value = 0;
  std::string expected;
  for (const Case& c : cases) {
    for (bool rollback : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (rollback ? " with rollback" : " committed"));
      ++value;
      EXPECT_TRUE(c.run(*queue, [&](LiteDatabase* db, bool* shouldRollback) {
        ASSERT_TRUE(db);
        EXPECT_TRUE(db->isInTransaction());
        ASSERT_TRUE(db->executeUpdate("insert into t values (?)", value));
        *shouldRollback = rollback;
      }));
      if (!rollback) expected += (expected.empty() ? "" : " ") + std::to_string(value);
      EXPECT_EQ(rows(), expected);
      EXPECT_THAT(updatesIn(log.take()),
                  ElementsAre(c.beginSql, "insert into t values (?)",
                              rollback ? "rollback transaction" : "commit transaction"));
      queue->inDatabase([](LiteDatabase* db) { EXPECT_FALSE(db->isInTransaction()); });
      log.take();
    }
  }
}

TEST_F(QueueTest, ABlockGetsNoConnectionWhenNoTransactionCanBegin) {
  // Another connection holds the write lock; the queue does not wait for it.
  LiteDatabase holder(path);
  ASSERT_TRUE(holder.open());
  ASSERT_TRUE(holder.executeStatements("begin exclusive"));
  queue->inDatabase([](LiteDatabase* db) { db->setMaxBusyRetryTimeInterval(0); });

  struct Case {
    const char* name;
    int kind;
  };
  for (const Case& c :
       {Case{"the begin fails", LiteTransactionExclusive}, Case{"an unknown kind", 7}}) {
    SCOPED_TRACE(c.name);
    LiteDatabase* seen = reinterpret_cast<LiteDatabase*>(1);
    EXPECT_FALSE(
        queue->beginTransactionWithBlock(c.kind, [&](LiteDatabase* db, bool*) { seen = db; }));
    EXPECT_EQ(seen, nullptr);
    queue->inDatabase([](LiteDatabase* db) { EXPECT_FALSE(db->isInTransaction()); });
  }
  ASSERT_TRUE(holder.executeStatements("rollback"));
  EXPECT_EQ(rows(), "");
}

TEST_F(QueueTest, AFailedCommitIsRolledBack) {
  // A reader holds a shared lock, so the commit cannot take the exclusive one it needs.
  queue->inDatabase([](LiteDatabase* db) {
    db->setMaxBusyRetryTimeInterval(0);
    ASSERT_TRUE(db->executeUpdate("insert into t values (0)"));
  });
  LiteDatabase reader(path);
  ASSERT_TRUE(reader.open());
  auto reading = reader.executeQuery("select * from t");
  ASSERT_TRUE(reading);
  ASSERT_TRUE(reading->next());  // the shared lock is held while the statement steps

  EXPECT_FALSE(queue->inDeferredTransaction(
      [](LiteDatabase* db, bool*) { ASSERT_TRUE(db->executeUpdate("insert into t values (1)")); }));
  reading->close();
  queue->inDatabase([](LiteDatabase* db) {
    EXPECT_FALSE(db->isInTransaction());
    EXPECT_EQ(sqlite3_get_autocommit(db->sqliteHandle()), 1);  // the engine agrees
  });
  EXPECT_EQ(rows(), "0");
}

TEST_F(QueueTest, SavePointsKeepOrUndoTheBlocksChanges) {
  std::optional<LiteError> error = queue->inSavePoint([](LiteDatabase* db, bool* rollback) {
    ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
    *rollback = true;
  });
  EXPECT_EQ(error, std::nullopt);
  EXPECT_EQ(rows(), "");

  error = queue->inSavePoint(
      [](LiteDatabase* db, bool*) { ASSERT_TRUE(db->executeUpdate("insert into t values (2)")); });
  EXPECT_EQ(error, std::nullopt);
  EXPECT_EQ(rows(), "2");

  // Inside a transaction the savepoint nests; the transaction still decides.
  EXPECT_TRUE(queue->inTransaction([](LiteDatabase* db, bool* rollback) {
    ASSERT_TRUE(db->executeUpdate("insert into t values (3)"));
    *rollback = true;
  }));
  EXPECT_EQ(rows(), "2");
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(QueueSavePointDeathTest, NamesCountFromZeroForQueuesAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A fresh process, so these are its first savepoints. A connection's own savepoints
  // count separately and must not move the queue's numbers.
  EXPECT_EXIT(
      {
        auto queue = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
        if (!queue) std::exit(2);
        queue->inDatabase([](LiteDatabase* db) {
          db->setTraceExecution(true);
          db->inSavePoint(nullptr);
        });
        queue->inSavePoint(nullptr);
        auto other = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
        other->inDatabase([](LiteDatabase* db) { db->setTraceExecution(true); });
        other->inSavePoint(nullptr);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "savepoint 'dbSavePoint0';(.|\n)*"
      "savepoint 'savePoint0';(.|\n)*release savepoint 'savePoint0';(.|\n)*"
      "savepoint 'savePoint1';(.|\n)*release savepoint 'savePoint1';");
}

TEST_F(QueueTest, CheckpointsReportSuccessAndFailure) {
  queue->inDatabase([](LiteDatabase* db) {
    ASSERT_EQ(db->stringForQuery("pragma journal_mode=wal"), "wal");
    ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
  });
  std::optional<LiteError> error = LiteError{"stale", 1, "stale"};
  EXPECT_TRUE(queue->checkpointError(SQLITE_CHECKPOINT_PASSIVE, &error));
  EXPECT_EQ(error, std::nullopt);

  int logFrames = -1;
  int checkpointed = -1;
  error = LiteError{"stale", 1, "stale"};
  EXPECT_TRUE(queue->checkpointNameLogFrameCountCheckpointCountError(
      SQLITE_CHECKPOINT_TRUNCATE, "main", &logFrames, &checkpointed, &error));
  EXPECT_EQ(error, std::nullopt);
  EXPECT_EQ(logFrames, 0);
  EXPECT_EQ(std::filesystem::file_size(dir.file("data.sqlite-wal")), 0u);

  EXPECT_FALSE(queue->checkpointNameError(SQLITE_CHECKPOINT_PASSIVE, "nosuch", &error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_ERROR, "unknown database: nosuch"}));
  EXPECT_THAT(log.lines(), ElementsAre("unknown database: nosuch"));
}

TEST_F(QueueTest, InterruptStopsTheRunningBlocksStatementFromAnotherThread) {
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  std::thread interrupter([&] {
    while (!started) std::this_thread::yield();
    // Until the statement gives up; the first call may land just before it steps.
    while (!finished) {
      queue->interrupt();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int code = 0;
  bool gotRow = true;
  queue->inDatabase([&](LiteDatabase* db) {
    db->setLogsErrors(false);
    started = true;
    // Far too long to finish unless interrupted.
    auto rs = db->executeQuery(
        "with recursive c(x) as (select 1 union all select x + 1 from c where x < 4000000000) "
        "select count(*) from c");
    // The interrupt may land while the engine is still preparing the statement, which
    // then fails to prepare, or while it steps.
    gotRow = rs && rs->next();
    code = db->lastErrorCode();
    if (rs) rs->close();
  });
  finished = true;
  interrupter.join();
  EXPECT_FALSE(gotRow);
  EXPECT_EQ(code, SQLITE_INTERRUPT);
  // The connection goes on working.
  queue->inDatabase([](LiteDatabase* db) { EXPECT_EQ(db->intForQuery("select 7"), 7); });
}

TEST(QueueInterruptTest, DoesNothingWithoutAConnection) {
  LogCapture log;
  auto queue = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
  ASSERT_TRUE(queue);
  queue->close();
  queue->interrupt();  // must not open one just to interrupt it
  queue->inDatabase([](LiteDatabase* db) { EXPECT_EQ(db->intForQuery("select 1"), 1); });
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(QueueNestingTest, ABlockMayUseAnotherQueue) {
  auto outer = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
  auto inner = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
  int innerValue = 0;
  outer->inDatabase([&](LiteDatabase*) {
    inner->inDatabase([&](LiteDatabase* db) { innerValue = db->intForQuery("select 5"); });
  });
  EXPECT_EQ(innerValue, 5);
}

TEST(QueueDeathTest, InDatabaseFromItsOwnBlockStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string assertion =
      "Assertion failed: \\(currentSyncQueue != self && \"inDatabase: was called reentrantly on "
      "the same queue, which would lead to a deadlock\"\\), function -\\[LiteDatabaseQueue "
      "inDatabase:\\], file litedb/LiteDatabaseQueue, line 185\\.";
  auto queue = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
  ASSERT_TRUE(queue);
  EXPECT_DEATH(queue->inDatabase([&](LiteDatabase*) { queue->inDatabase([](LiteDatabase*) {}); }),
               assertion);
  // Also when another queue's block stands between the two calls.
  auto other = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
  ASSERT_TRUE(other);
  EXPECT_DEATH(queue->inDatabase([&](LiteDatabase*) {
    other->inDatabase([&](LiteDatabase*) { queue->inDatabase([](LiteDatabase*) {}); });
  }),
               assertion);
}

// Eight threads write through one queue at once. Each block reads the row count,
// inserts one row and reads the count again: another block running in between would
// show as a count that moved by more than one, and as two blocks inside at once.
TEST_F(QueueTest, ManyThreadsWritingAtOnceNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kRowsPerThread = 2000;
  queue->inDatabase([](LiteDatabase* db) {
    ASSERT_TRUE(db->executeStatements(
        "pragma synchronous=off; create table w(id integer primary key, thread, seq)"));
  });

  int blocksInside = 0;  // deliberately unguarded: only the queue keeps it consistent
  std::atomic<int> overlaps{0};
  std::atomic<int> failures{0};
  std::vector<std::vector<std::int64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int seq = 0; seq < kRowsPerThread; ++seq) {
        queue->inDatabase([&](LiteDatabase* db) {
          if (++blocksInside != 1) ++overlaps;
          const int before = db ? db->intForQuery("select count(*) from w") : -1;
          if (!db || !db->executeUpdate("insert into w(thread, seq) values (?, ?)", t, seq)) {
            ++failures;
          } else {
            ids[t].push_back(db->lastInsertRowId());
            if (db->intForQuery("select count(*) from w") != before + 1) ++overlaps;
          }
          --blocksInside;
        });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(failures, 0);
  std::set<std::int64_t> allIds;
  for (const auto& threadIds : ids) {
    EXPECT_EQ(threadIds.size(), static_cast<std::size_t>(kRowsPerThread));
    // A thread's own blocks ran in the order it made its calls.
    EXPECT_TRUE(std::is_sorted(threadIds.begin(), threadIds.end()));
    allIds.insert(threadIds.begin(), threadIds.end());
  }
  EXPECT_EQ(allIds.size(), static_cast<std::size_t>(kThreads * kRowsPerThread));
  queue->inDatabase([&](LiteDatabase* db) {
    EXPECT_EQ(db->intForQuery("select count(*) from w"), kThreads * kRowsPerThread);
    EXPECT_EQ(db->intForQuery("select count(*) from (select distinct thread, seq from w)"),
              kThreads * kRowsPerThread);
    std::set<std::int64_t> stored;
    auto rs = db->executeQuery("select id from w");
    while (rs->next()) stored.insert(rs->longLongIntForColumnIndex(0));
    EXPECT_EQ(stored, allIds);
  });
  EXPECT_THAT(log.lines(), IsEmpty());
}
