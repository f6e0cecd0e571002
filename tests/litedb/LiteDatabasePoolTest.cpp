// The pool: connections to one file lent to threads that work at the same time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteDatabasePool.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

struct Counts {
  std::size_t idle;
  std::size_t lent;
  std::size_t open;
  bool operator==(const Counts&) const = default;
};

void PrintTo(const Counts& c, std::ostream* os) {
  *os << "{idle " << c.idle << ", lent " << c.lent << ", open " << c.open << "}";
}

Counts countsOf(const LiteDatabasePool& pool) {
  return {pool.countOfCheckedInDatabases(), pool.countOfCheckedOutDatabases(),
          pool.countOfOpenDatabases()};
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("data.sqlite");
    pool = LiteDatabasePool::databasePoolWithPath(path);
  }

  ScratchDir dir;
  std::string path;
  std::shared_ptr<LiteDatabasePool> pool;
  LogCapture log;
};

class TaggedDatabase : public LiteDatabase {
 public:
  using LiteDatabase::LiteDatabase;
  static std::shared_ptr<LiteDatabase> databaseWithPath(std::optional<std::string> path) {
    return std::make_shared<TaggedDatabase>(std::move(path));
  }
};

class TaggedPool : public LiteDatabasePool {
 public:
  using LiteDatabasePool::LiteDatabasePool;
  LiteDatabaseClass databaseClass() const override { return &TaggedDatabase::databaseWithPath; }
};

const LiteError kAlreadyInPool{
    "Database already in pool", 0,
    "The LiteDatabase being put back into the pool is already present in the pool"};

}  // namespace

TEST_F(PoolTest, ANewPoolHasNoConnectionsAndOpensNothing) {
  EXPECT_EQ(countsOf(*pool), (Counts{0, 0, 0}));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(pool->path(), path);
  EXPECT_EQ(pool->openFlags(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  EXPECT_EQ(pool->maximumNumberOfDatabasesToCreate(), 0u);
  EXPECT_EQ(pool->delegate(), nullptr);
  EXPECT_THAT(pool->description(), StartsWith("<LiteDatabasePool: 0x"));
  EXPECT_EQ(pool->label(), "litedb." + pool->description());
}

TEST_F(PoolTest, InDatabaseLendsOneConnectionAndTakesItBack) {
  pool->inDatabase([&](LiteDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->isOpen());
    EXPECT_EQ(db->databasePath(), path);
    EXPECT_EQ(countsOf(*pool), (Counts{0, 1, 1}));
    EXPECT_TRUE(db->executeStatements("create table t(a)"));
  });
  EXPECT_EQ(countsOf(*pool), (Counts{1, 0, 1}));
  // The idle connection stays open and is lent again.
  pool->inDatabase([&](LiteDatabase* db) { EXPECT_TRUE(db->tableExists("t")); });
  EXPECT_EQ(countsOf(*pool), (Counts{1, 0, 1}));
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(PoolTest, LendsDifferentConnectionsAtOnceAndTheLastReturnedFirst) {
  auto first = pool->db();
  auto second = pool->db();
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_NE(first, second);
  EXPECT_EQ(countsOf(*pool), (Counts{0, 2, 2}));
  EXPECT_EQ(pool->pushDatabaseBackInPool(second), std::nullopt);
  EXPECT_EQ(pool->pushDatabaseBackInPool(first), std::nullopt);
  EXPECT_EQ(countsOf(*pool), (Counts{2, 0, 2}));
  EXPECT_EQ(pool->db(), first);
  EXPECT_EQ(pool->db(), second);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(PoolTest, TheMaximumOfOneLendsOneConnectionAtATime) {
  pool->setMaximumNumberOfDatabasesToCreate(1);
  auto first = pool->db();
  ASSERT_TRUE(first);
  EXPECT_EQ(pool->db(), nullptr);
  EXPECT_THAT(log.take(), ElementsAre("Maximum number of databases (1) has already been reached!"));
  bool called = false;
  pool->inDatabase([&](LiteDatabase* db) {
    called = true;
    EXPECT_EQ(db, nullptr);
  });
  EXPECT_TRUE(called);
  EXPECT_EQ(countsOf(*pool), (Counts{0, 1, 1}));
  log.take();

  pool->pushDatabaseBackInPool(first);
  EXPECT_EQ(pool->db(), first);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(PoolTest, ReturningAConnectionTwiceIsReportedAndChangesNothing) {
  auto db = pool->db();
  ASSERT_TRUE(db);
  EXPECT_EQ(pool->pushDatabaseBackInPool(db), std::nullopt);
  EXPECT_EQ(pool->pushDatabaseBackInPool(db), kAlreadyInPool);
  EXPECT_THAT(log.lines(),
              ElementsAre("Database already in pool: The LiteDatabase being put back into the "
                          "pool is already present in the pool"));
  EXPECT_EQ(countsOf(*pool), (Counts{1, 0, 1}));
  // Listed once: two loans give two different connections.
  auto a = pool->db();
  auto b = pool->db();
  EXPECT_EQ(a, db);
  EXPECT_NE(b, db);
  // Returning none does nothing.
  EXPECT_EQ(pool->pushDatabaseBackInPool(nullptr), std::nullopt);
  EXPECT_EQ(countsOf(*pool), (Counts{0, 2, 2}));
}

TEST_F(PoolTest, ADelegateThatRefusesGetsNoConnectionsAdded) {
  int asked = 0;
  int added = 0;
  LiteDatabasePoolDelegate refusing;
  refusing.databasePoolShouldAddDatabaseToPool = [&](LiteDatabasePool* p, LiteDatabase* db) {
    ++asked;
    EXPECT_EQ(p, pool.get());
    EXPECT_TRUE(db->isOpen());  // asked about an open connection
    return false;
  };
  refusing.databasePoolDidAddDatabase = [&](LiteDatabasePool*, LiteDatabase*) { ++added; };
  pool->setDelegate(&refusing);
  EXPECT_EQ(pool->delegate(), &refusing);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pool->db(), nullptr);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(added, 0);
  EXPECT_EQ(countsOf(*pool), (Counts{0, 0, 0}));
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(PoolTest, TheDelegateHearsOfNewConnectionsOnlyOnce) {
  std::vector<LiteDatabase*> askedAbout;
  std::vector<LiteDatabase*> addedOnes;
  LiteDatabasePoolDelegate delegate;
  delegate.databasePoolShouldAddDatabaseToPool = [&](LiteDatabasePool*, LiteDatabase* db) {
    askedAbout.push_back(db);
    return true;
  };
  delegate.databasePoolDidAddDatabase = [&](LiteDatabasePool*, LiteDatabase* db) {
    addedOnes.push_back(db);
  };
  pool->setDelegate(&delegate);
  auto first = pool->db();
  pool->pushDatabaseBackInPool(first);
  auto again = pool->db();  // reused: asked again, not added again
  auto second = pool->db();
  ASSERT_EQ(again, first);
  EXPECT_THAT(askedAbout, ElementsAre(first.get(), first.get(), second.get()));
  EXPECT_THAT(addedOnes, ElementsAre(first.get(), second.get()));

  // Either operation may be absent.
  LiteDatabasePoolDelegate onlyAdded;
  onlyAdded.databasePoolDidAddDatabase = [&](LiteDatabasePool*, LiteDatabase* db) {
    addedOnes.push_back(db);
  };
  pool->setDelegate(&onlyAdded);
  auto third = pool->db();
  ASSERT_TRUE(third);
  EXPECT_EQ(addedOnes.back(), third.get());
  LiteDatabasePoolDelegate none;
  pool->setDelegate(&none);
  EXPECT_TRUE(pool->db());
  pool->setDelegate(nullptr);
  EXPECT_TRUE(pool->db());
}

TEST_F(PoolTest, AReusedConnectionThatIsRefusedIsForgotten) {
  pool->setMaximumNumberOfDatabasesToCreate(1);
  bool accept = true;
  LiteDatabasePoolDelegate delegate;
  delegate.databasePoolShouldAddDatabaseToPool = [&](LiteDatabasePool*, LiteDatabase*) {
    return accept;
  };
  pool->setDelegate(&delegate);
  auto first = pool->db();
  ASSERT_TRUE(first);
  pool->pushDatabaseBackInPool(first);
  accept = false;
  EXPECT_EQ(pool->db(), nullptr);
  EXPECT_FALSE(first->isOpen());
  // Not left on the lent list, where it would use up the maximum for good.
  EXPECT_EQ(countsOf(*pool), (Counts{0, 0, 0}));
  accept = true;
  auto next = pool->db();
  ASSERT_TRUE(next);
  EXPECT_NE(next, first);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(PoolOpenTest, AConnectionThatCannotOpenIsNotLent) {
  ScratchDir dir;
  LogCapture log;
  const std::string path = dir.file("missing/data.sqlite");
  auto pool = LiteDatabasePool::databasePoolWithPath(path);
  LiteDatabase* seen = reinterpret_cast<LiteDatabase*>(1);
  pool->inDatabase([&](LiteDatabase* db) { seen = db; });
  EXPECT_EQ(seen, nullptr);
  EXPECT_THAT(log.lines(),
              ElementsAre("error opening!: 14", "Could not open up the database at path " + path));
  EXPECT_EQ(countsOf(*pool), (Counts{0, 0, 0}));
}

TEST(PoolOpenTest, URLsFlagsAndASpecialisedConnectionClass) {
  ScratchDir dir;
  LogCapture log;
  auto pool = LiteDatabasePool::databasePoolWithURLFlags(
      "file://" + dir.path().string() + "/a%20b.sqlite", SQLITE_OPEN_READONLY);
  EXPECT_EQ(pool->path(), dir.file("a b.sqlite"));
  EXPECT_EQ(pool->db(), nullptr);  // read-only does not create the file
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a b.sqlite"));
  log.take();

  TaggedPool tagged(dir.file("tagged.sqlite"));
  tagged.inDatabase([](LiteDatabase* db) {
    ASSERT_TRUE(db);
    EXPECT_TRUE(dynamic_cast<TaggedDatabase*>(db));
  });
  LiteDatabasePool plain(dir.file("tagged.sqlite"));
  plain.inDatabase([](LiteDatabase* db) { EXPECT_FALSE(dynamic_cast<TaggedDatabase*>(db)); });
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(PoolTest, ReleaseAllForgetsEveryConnection) {
  auto lent = pool->db();
  auto idle = pool->db();
  pool->pushDatabaseBackInPool(idle);
  EXPECT_EQ(countsOf(*pool), (Counts{1, 1, 2}));
  std::weak_ptr<LiteDatabase> idleWatch = idle;
  idle.reset();
  pool->releaseAllDatabases();
  EXPECT_EQ(countsOf(*pool), (Counts{0, 0, 0}));
  EXPECT_TRUE(idleWatch.expired());  // the idle one is gone (and so closed)
  EXPECT_TRUE(lent->isOpen());       // the lent one stays with its user
  pool->pushDatabaseBackInPool(lent);
  EXPECT_EQ(countsOf(*pool), (Counts{1, 0, 1}));
}

TEST_F(PoolTest, TransactionsAndSavePointsRunOnALentConnection) {
  pool->inDatabase(
      [](LiteDatabase* db) { ASSERT_TRUE(db->executeStatements("create table t(a)")); });
  const auto rows = [&] {
    LiteDatabase other(path);
    if (!other.open()) return std::string("<cannot open>");
    return engineScalar(other, "select coalesce(group_concat(a, ' '), '') from t");
  };
  struct Case {
    const char* name;
    std::function<bool(bool rollback, int value)> run;
  };
  const auto insertAnd = [&](int value, bool rollback) {
    return [&, value, rollback](LiteDatabase* db, bool* shouldRollback) {
      ASSERT_TRUE(db);
      EXPECT_EQ(countsOf(*pool), (Counts{0, 1, 1}));
      ASSERT_TRUE(db->executeUpdate("insert into t values (?)", value));
      *shouldRollback = rollback;
    };
  };
  const std::vector<Case> cases = {
      {"inTransaction", [&](bool r, int v) { return pool->inTransaction(insertAnd(v, r)); }},
      {"inDeferredTransaction",
       [&](bool r, int v) { return pool->inDeferredTransaction(insertAnd(v, r)); }},
      {"inImmediateTransaction",
       [&](bool r, int v) { return pool->inImmediateTransaction(insertAnd(v, r)); }},
      {"inExclusiveTransaction",
       [&](bool r, int v) { return pool->inExclusiveTransaction(insertAnd(v, r)); }},
      {"inSavePoint",
       [&](bool r, int v) { return pool->inSavePoint(insertAnd(v, r)) == std::nullopt; }},
  };
  int value = 0;
  std::string expected;
  for (const Case& c : cases) {
    for (bool rollback : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (rollback ? " with rollback" : " committed"));
      ++value;
      EXPECT_TRUE(c.run(rollback, value));
      if (!rollback) expected += (expected.empty() ? "" : " ") + std::to_string(value);
      EXPECT_EQ(rows(), expected);
      EXPECT_EQ(countsOf(*pool), (Counts{1, 0, 1}));
      pool->inDatabase([](LiteDatabase* db) { EXPECT_FALSE(db->isInTransaction()); });
    }
  }
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(PoolTest, EachTransactionKindBeginsAsItsNameSays) {
  struct Case {
    const char* name;
    std::function<bool(const LiteDatabaseTransactionBlock&)> run;
    const char* beginSql;
  };
  const std::vector<Case> cases = {
      {"inTransaction", [&](auto& b) { return pool->inTransaction(b); },
       "begin exclusive transaction"},
      {"inExclusiveTransaction", [&](auto& b) { return pool->inExclusiveTransaction(b); },
       "begin exclusive transaction"},
      {"inDeferredTransaction", [&](auto& b) { return pool->inDeferredTransaction(b); },
       "begin deferred transaction"},
      {"inImmediateTransaction", [&](auto& b) { return pool->inImmediateTransaction(b); },
       "begin immediate transaction"},
  };
  // One connection, reused for every case, traced.
  pool->inDatabase([](LiteDatabase* db) {
    ASSERT_TRUE(db->executeStatements("create table t(a)"));
    db->setTraceExecution(true);
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.take();
    EXPECT_TRUE(c.run([](LiteDatabase* db, bool*) {
      ASSERT_TRUE(db);
      ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
    }));
    EXPECT_THAT(updatesIn(log.take()),
                ElementsAre(c.beginSql, "insert into t values (1)", "commit transaction"));
  }
}

TEST_F(PoolTest, WithoutAConnectionTransactionsAndSavePointsReportIt) {
  pool->setMaximumNumberOfDatabasesToCreate(1);
  auto held = pool->db();
  log.take();
  LiteDatabase* seen = reinterpret_cast<LiteDatabase*>(1);
  EXPECT_FALSE(pool->inTransaction([&](LiteDatabase* db, bool*) { seen = db; }));
  EXPECT_EQ(seen, nullptr);
  seen = reinterpret_cast<LiteDatabase*>(1);
  const std::optional<LiteError> error =
      pool->inSavePoint([&](LiteDatabase* db, bool*) { seen = db; });
  EXPECT_EQ(seen, nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, SQLITE_CANTOPEN);
  EXPECT_EQ(countsOf(*pool), (Counts{0, 1, 1}));
}

TEST(PoolSavePointDeathTest, NamesCountFromZeroForPoolsAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LiteDatabasePool pool(std::nullopt);
        LiteDatabasePoolDelegate tracing;
        tracing.databasePoolDidAddDatabase = [](LiteDatabasePool*, LiteDatabase* db) {
          db->setTraceExecution(true);
        };
        pool.setDelegate(&tracing);
        pool.inDatabase([](LiteDatabase* db) { db->inSavePoint(nullptr); });
        pool.inSavePoint(nullptr);
        pool.inSavePoint(nullptr);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "savepoint 'dbSavePoint0';(.|\n)*"
      "savepoint 'savePoint0';(.|\n)*release savepoint 'savePoint0';(.|\n)*"
      "savepoint 'savePoint1';(.|\n)*release savepoint 'savePoint1';");
}

// Four threads move money between accounts, each transfer one transaction on a pooled
// connection, in write-ahead-log mode. Contention for the write lock is resolved by
// the busy wait, so every transfer commits and the total never changes.
TEST_F(PoolTest, ConcurrentTransfersKeepTheTotal) {
  constexpr int kThreads = 4;
  constexpr int kTransfersPerThread = 300;
  constexpr int kAccounts = 10;
  constexpr int kOpeningBalance = 1000;
  LiteDatabasePoolDelegate delegate;
  delegate.databasePoolDidAddDatabase = [](LiteDatabasePool*, LiteDatabase* db) {
    // Generous for a loaded machine; the waits themselves are short.
    db->setMaxBusyRetryTimeInterval(30);
    db->executeStatements("pragma synchronous=normal");
  };
  pool->setDelegate(&delegate);
  pool->inDatabase([&](LiteDatabase* db) {
    ASSERT_EQ(db->stringForQuery("pragma journal_mode=wal"), "wal");
    ASSERT_TRUE(db->executeStatements("create table account(id integer primary key, balance)"));
    for (int i = 0; i < kAccounts; ++i) {
      ASSERT_TRUE(db->executeUpdate("insert into account values (?, ?)", i, kOpeningBalance));
    }
  });

  std::atomic<int> committed{0};
  std::atomic<int> inconsistent{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      std::uniform_int_distribution<int> account(0, kAccounts - 1);
      std::uniform_int_distribution<int> amount(1, 50);
      for (int i = 0; i < kTransfersPerThread; ++i) {
        const int from = account(random);
        const int to = (from + 1 + account(random) % (kAccounts - 1)) % kAccounts;
        const int sum = amount(random);
        const bool done = pool->inTransaction([&](LiteDatabase* db, bool* rollback) {
          if (!db) return;
          // Inside the transaction nobody else's transfer is half seen.
          if (db->intForQuery("select sum(balance) from account") != kAccounts * kOpeningBalance)
            ++inconsistent;
          const bool ok =
              db->executeUpdate("update account set balance = balance - ? where id = ?", sum,
                                from) &&
              db->executeUpdate("update account set balance = balance + ? where id = ?", sum, to);
          *rollback = !ok;
        });
        if (done) ++committed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(committed, kThreads * kTransfersPerThread);
  EXPECT_EQ(inconsistent, 0);
  EXPECT_LE(pool->countOfOpenDatabases(), static_cast<std::size_t>(kThreads));
  EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0u);
  LiteDatabase check(path);
  ASSERT_TRUE(check.open());
  EXPECT_EQ(engineScalar(check, "select sum(balance) from account"),
            std::to_string(kAccounts * kOpeningBalance));
  EXPECT_THAT(log.lines(), IsEmpty());
}

// A reader and a writer at once, each on a pooled connection of its own. The writer
// adds pairs of rows that cancel out, one pair per transaction; the reader must never
// see half a pair, nor the count go back.
TEST_F(PoolTest, AReaderAndAWriterWorkAtOnce) {
  constexpr int kPairs = 400;
  pool->inDatabase([&](LiteDatabase* db) {
    ASSERT_EQ(db->stringForQuery("pragma journal_mode=wal"), "wal");
    ASSERT_TRUE(db->executeStatements("pragma synchronous=normal; create table pair(k, v)"));
  });

  std::atomic<bool> writerDone{false};
  std::atomic<int> writeFailures{0};
  std::thread writer([&] {
    for (int k = 0; k < kPairs; ++k) {
      const bool done = pool->inImmediateTransaction([&](LiteDatabase* db, bool* rollback) {
        if (!db) return;
        *rollback = !(db->executeUpdate("insert into pair values (?, 1)", k) &&
                      db->executeUpdate("insert into pair values (?, -1)", k));
      });
      if (!done) ++writeFailures;
    }
    writerDone = true;
  });

  int reads = 0;
  int halfPairsSeen = 0;
  int countWentBack = 0;
  int lastCount = 0;
  int readFailures = 0;
  // Reads until the writer is done, and a few more; bounded by the writer's work.
  for (int after = 0; after < 3; after += writerDone ? 1 : 0) {
    pool->inDatabase([&](LiteDatabase* db) {
      if (!db) {
        ++readFailures;
        return;
      }
      auto rs = db->executeQuery("select count(*), coalesce(sum(v), 0) from pair");
      if (!rs || !rs->next()) {
        ++readFailures;
        return;
      }
      const int count = rs->intForColumnIndex(0);
      if (rs->intForColumnIndex(1) != 0 || count % 2 != 0) ++halfPairsSeen;
      if (count < lastCount) ++countWentBack;
      lastCount = count;
      rs->close();
      ++reads;
    });
  }
  writer.join();

  EXPECT_EQ(writeFailures, 0);
  EXPECT_EQ(readFailures, 0);
  EXPECT_EQ(halfPairsSeen, 0);
  EXPECT_EQ(countWentBack, 0);
  EXPECT_EQ(lastCount, 2 * kPairs);
  EXPECT_GE(reads, 3);
  EXPECT_LE(pool->countOfOpenDatabases(), 2u);
  EXPECT_THAT(log.lines(), IsEmpty());
}
