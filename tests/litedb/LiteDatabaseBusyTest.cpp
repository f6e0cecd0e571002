// Waiting for locks held by another connection, and the log under several threads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteLog.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class BusyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("data.sqlite");
    holder = LiteDatabase::databaseWithPath(path);
    waiter = LiteDatabase::databaseWithPath(path);
    preset = LiteDatabase::databaseWithPath(path);
    preset->setMaxBusyRetryTimeInterval(0.1);  // before there is a handle to apply it to
    ASSERT_TRUE(holder->open());
    ASSERT_TRUE(waiter->open());
    ASSERT_TRUE(preset->open());
    ASSERT_TRUE(holder->executeStatements("create table t(x)"));
    // The waiters read the schema now, so that they meet the lock when they step.
    for (LiteDatabase* db : {waiter.get(), preset.get()}) {
      auto rs = db->executeQuery("select * from t");
      ASSERT_TRUE(rs);
      EXPECT_FALSE(rs->next());
    }
    // The holder takes the write lock and keeps it.
    ASSERT_TRUE(holder->executeStatements("begin exclusive; insert into t values (1)"));
  }
  void TearDown() override { holder->executeStatements("rollback"); }

  std::vector<std::string> lockedLines(const std::string& sql) {
    return {"Unknown error calling sqlite3_step (5: database is locked) eu", "DB Query: " + sql,
            "Unknown error finalizing or resetting statement (5: database is locked)",
            "DB Query: " + sql};
  }

  ScratchDir dir;
  std::string path;
  std::shared_ptr<LiteDatabase> holder;
  std::shared_ptr<LiteDatabase> waiter;
  std::shared_ptr<LiteDatabase> preset;
  LogCapture log;
};

}  // namespace

TEST_F(BusyTest, UpdateRetriesForTheIntervalThenFailsBusy) {
  ASSERT_DOUBLE_EQ(waiter->maxBusyRetryTimeInterval(), 2.0);
  const std::string sql = "insert into t values (2)";
  std::optional<LiteError> error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiter->executeUpdateValuesError(sql, {}, &error));
  const double waited = secondsSince(start);
  EXPECT_GE(waited, 1.95);
  EXPECT_LT(waited, 6.0);
  EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_BUSY, "database is locked"}));
  EXPECT_EQ(log.take(), lockedLines(sql));
  EXPECT_TRUE(waiter->isOpen());
}

TEST_F(BusyTest, IntervalSetBeforeOpenIsAppliedByOpen) {
  const std::string sql = "insert into t values (2)";
  std::optional<LiteError> error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(preset->executeUpdateValuesError(sql, {}, &error));
  const double waited = secondsSince(start);
  EXPECT_GE(waited, 0.095);  // it did wait for its interval...
  EXPECT_LT(waited, 1.9);    // ...and not for the 2 s of a new connection
  EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_BUSY, "database is locked"}));
  EXPECT_EQ(log.take(), lockedLines(sql));
}

TEST_F(BusyTest, NoIntervalFailsAtOnce) {
  const std::string sql = "insert into t values (2)";
  for (double interval : {0.0, -1.0}) {
    SCOPED_TRACE(interval);
    waiter->setMaxBusyRetryTimeInterval(interval);  // on an open connection
    // A retry sleep lasts at least 50 ms and would be in every attempt; the fastest of a
    // few attempts shows whether there was one, however loaded the machine is.
    double fastest = 1e9;
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::optional<LiteError> error;
      const auto start = std::chrono::steady_clock::now();
      EXPECT_FALSE(waiter->executeUpdateValuesError(sql, {}, &error));
      const double waited = secondsSince(start);
      EXPECT_LT(waited, 1.0);  // far from the 2 s of the default interval
      fastest = std::min(fastest, waited);
      EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_BUSY, "database is locked"}));
      EXPECT_EQ(log.take(), lockedLines(sql));
    }
    EXPECT_LT(fastest, 0.045);  // not even one retry sleep
  }
}

TEST_F(BusyTest, RetriesSleepBetweenFiftyAndNinetyNineMilliseconds) {
  // The first retry is immediate; with a 10 ms budget exactly one sleep follows.
  waiter->setMaxBusyRetryTimeInterval(0.01);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiter->executeUpdate("insert into t values (2)"));
  const double waited = secondsSince(start);
  EXPECT_GE(waited, 0.049);
  EXPECT_LT(waited, 1.0);
}

TEST_F(BusyTest, UpdateSucceedsOnceTheOtherConnectionLetsGo) {
  // A budget no loaded machine can use up before the other thread commits.
  waiter->setMaxBusyRetryTimeInterval(60);
  std::atomic<bool> released{false};
  const auto start = std::chrono::steady_clock::now();
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    released = holder->executeStatements("commit");
  });
  const bool ok = waiter->executeUpdate("insert into t values (2)");
  const double waited = secondsSince(start);
  other.join();
  EXPECT_TRUE(released);
  EXPECT_TRUE(ok);
  EXPECT_GE(waited, 0.295);  // the lock was held for at least 300 ms after `start`
  EXPECT_EQ(engineScalar(*waiter, "select group_concat(x) from t"), "1,2");
  EXPECT_THAT(log.lines(), IsEmpty());
}

// A backup whose source another connection keeps locked waits for the interval, then
// fails busy; it creates nothing and leaves a destination connection as it was.
TEST_F(BusyTest, BackupOfALockedSourceFailsBusyAndCreatesNothing) {
  const std::string copy = dir.file("copy.sqlite");
  std::optional<LiteError> error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(preset->backupTo(copy, &error));
  EXPECT_GE(secondsSince(start), 0.095);
  const LiteError locked{"LiteDatabase", SQLITE_BUSY,
                         "Could not back up " + path + " to " + copy + ": database is locked"};
  EXPECT_EQ(error, locked);
  EXPECT_FALSE(std::filesystem::exists(copy));
  EXPECT_FALSE(std::filesystem::exists(copy + "-journal"));

  auto memory = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(memory->open());
  ASSERT_TRUE(memory->executeStatements("create table m(x); insert into m values ('mine')"));
  error.reset();
  EXPECT_FALSE(preset->backupTo(*memory, &error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_BUSY,
                              "Could not back up " + path +
                                  " to an in-memory database: database is locked"}));
  EXPECT_EQ(memory->stringForQuery("select group_concat(x) from m"), "mine");
  EXPECT_THAT(log.take(), ElementsAre(locked.description, error->description));

  // Once the lock is gone the same backups go through, without the holder's change.
  ASSERT_TRUE(holder->executeStatements("rollback"));
  EXPECT_TRUE(preset->backupTo(copy, nullptr));
  EXPECT_TRUE(preset->backupTo(*memory, nullptr));
  EXPECT_EQ(memory->intForQuery("select count(*) from t"), 0);
  EXPECT_EQ(memory->intForQuery("select count(*) from sqlite_master where name = 'm'"), 0);
  ASSERT_TRUE(holder->executeStatements("begin exclusive"));  // for TearDown's rollback
}

// A backup into a file another connection keeps locked fails busy and leaves the file
// as it was.
TEST_F(BusyTest, BackupIntoALockedFileFailsBusyAndLeavesIt) {
  auto memory = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(memory->open());
  ASSERT_TRUE(memory->executeStatements("create table m(x); insert into m values ('other')"));
  memory->setMaxBusyRetryTimeInterval(0.1);
  waiter->setMaxBusyRetryTimeInterval(0.1);
  std::optional<LiteError> error;
  EXPECT_FALSE(memory->backupTo(path, &error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", SQLITE_BUSY,
                              "Could not back up an in-memory database to " + path +
                                  ": database is locked"}));
  const LiteError locked = *error;
  error.reset();
  EXPECT_FALSE(memory->backupTo(*waiter, &error));
  EXPECT_EQ(error, locked);
  EXPECT_THAT(log.take(), ElementsAre(locked.description, locked.description));

  ASSERT_TRUE(holder->executeStatements("rollback"));
  EXPECT_EQ(engineScalar(*waiter, "select count(*) from t"), "0");
  EXPECT_EQ(engineScalar(*waiter, "select count(*) from sqlite_master where name = 'm'"), "0");
  EXPECT_EQ(engineScalar(*waiter, "pragma quick_check"), "ok");
  ASSERT_TRUE(holder->executeStatements("begin exclusive"));  // for TearDown's rollback
}

TEST(LiteLogThreadsTest, LinesFromManyThreadsArriveWholeAndOnce) {
  LogCapture log;
  constexpr int threads = 6;
  constexpr int perThread = 300;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t] {
      for (int i = 0; i < perThread; ++i)
        liteLog("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (std::thread& w : workers) w.join();
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
  std::vector<std::string> expected;
  for (int t = 0; t < threads; ++t) {
    for (int i = 0; i < perThread; ++i)
      expected.push_back("thread " + std::to_string(t) + " line " + std::to_string(i));
  }
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

TEST(LiteLogThreadsTest, SwappingTheSinkWhileOthersLogIsSafe) {
  std::atomic<int> captured{0};
  std::atomic<bool> stop{false};
  setLiteLogSink([](const std::string&) {});
  std::thread logger([&] {
    while (!stop) liteLog("busy");
  });
  // Keep swapping until the logger has been caught by one of our sinks a few times.
  const auto start = std::chrono::steady_clock::now();
  for (int swaps = 0; swaps < 200 || (captured < 10 && secondsSince(start) < 10); ++swaps) {
    setLiteLogSink([&](const std::string& line) {
      if (line == "busy") ++captured;
    });
    std::this_thread::yield();
  }
  stop = true;
  logger.join();
  setLiteLogSink(nullptr);
  EXPECT_GT(captured.load(), 0);
}
