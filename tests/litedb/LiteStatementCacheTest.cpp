// The statement cache: reuse of idle statements by the query and update cores.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class StatementCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeStatements("create table t(a); insert into t values (1), (2), (3)"));
    db->setShouldCacheStatements(true);
  }
  const std::vector<std::shared_ptr<LiteStatement>>& cached(const std::string& sql) {
    static const std::vector<std::shared_ptr<LiteStatement>> none;
    const auto found = db->cachedStatements()->find(sql);
    return found == db->cachedStatements()->end() ? none : found->second;
  }
  // How many engine statements the connection holds right now.
  int engineStatements() {
    int count = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db->sqliteHandle(), nullptr); s;
         s = sqlite3_next_stmt(db->sqliteHandle(), s)) {
      ++count;
    }
    return count;
  }

  ScratchDir dir;
  std::shared_ptr<LiteDatabase> db;
  LogCapture log;
};

}  // namespace

TEST_F(StatementCacheTest, ARepeatedQueryReusesItsIdleStatement) {
  sqlite3_stmt* first = nullptr;
  for (int i = 0; i < 2; ++i) {
    auto rs = db->executeQuery("select a from t where a > ?", i);
    ASSERT_TRUE(rs);
    if (!first) first = rs->statement()->statement();
    EXPECT_EQ(rs->statement()->statement(), first);  // not prepared again
    EXPECT_TRUE(rs->statement()->inUse());
    EXPECT_EQ(rs->query(), "select a from t where a > ?");
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->intForColumnIndex(0), i + 1);  // the new argument, not the old one
    rs->close();
  }
  // Renaming the cached statement's text does not rename the next result set's.
  cached("select a from t where a > ?").front()->setQuery("renamed");
  auto rs = db->executeQuery("select a from t where a > ?", 0);
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->query(), "select a from t where a > ?");
  rs->setQuery("mine");
  EXPECT_EQ(rs->statement()->query(), "renamed");
  rs->close();
  cached("select a from t where a > ?").front()->setQuery("select a from t where a > ?");
  ASSERT_EQ(cached("select a from t where a > ?").size(), 1u);
  EXPECT_EQ(cached("select a from t where a > ?").front()->useCount(), 3);
  EXPECT_FALSE(cached("select a from t where a > ?").front()->inUse());
  EXPECT_EQ(engineStatements(), 1);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(StatementCacheTest, UpdatesReuseTheirStatementWithoutMarkingItInUse) {
  for (int i = 10; i < 13; ++i) ASSERT_TRUE(db->executeUpdate("insert into t values (?)", i));
  ASSERT_EQ(cached("insert into t values (?)").size(), 1u);
  const std::shared_ptr<LiteStatement>& statement = cached("insert into t values (?)").front();
  EXPECT_EQ(statement->useCount(), 3);
  EXPECT_FALSE(statement->inUse());
  EXPECT_EQ(statement->query(), "insert into t values (?)");
  EXPECT_THAT(statement->description(), ::testing::StartsWith("<LiteStatement: 0x"));
  EXPECT_THAT(statement->description(),
              ::testing::EndsWith("> 3 hit(s) for query insert into t values (?)"));
  EXPECT_EQ(engineScalar(*db, "select group_concat(a) from t"), "1,2,3,10,11,12");

  // A failed step leaves the statement cached, reset and ready for the next run.
  ASSERT_TRUE(db->executeStatements("create unique index u on t(a)"));
  EXPECT_FALSE(db->executeUpdate("insert into t values (?)", 10));
  EXPECT_TRUE(db->executeUpdate("insert into t values (?)", 13));
  EXPECT_EQ(cached("insert into t values (?)").size(), 1u);
  log.take();
}

TEST_F(StatementCacheTest, AnIdleStatementSteppedThroughItsHandleIsResetBeforeReuse) {
  // Stepped part way, to the end, and into a failure: each leaves the engine statement
  // unable to take new arguments until it is reset.
  ASSERT_TRUE(db->executeStatements("create unique index u on t(a)"));
  const std::string query = "select a from t where a > ? order by a";
  const std::string update = "insert into t values (?)";
  for (int steps : {1, 100}) {
    SCOPED_TRACE(steps);
    auto rs = db->executeQuery(query, 0);
    ASSERT_TRUE(rs && rs->next());
    rs->close();
    sqlite3_stmt* handle = cached(query).front()->statement();
    for (int i = 0; i < steps && sqlite3_step(handle) == SQLITE_ROW; ++i) {
    }
    rs = db->executeQuery(query, 2);
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumnIndex(0), 3);  // the new argument, not the old one
    rs->close();
  }
  ASSERT_TRUE(db->executeUpdate(update, 20));
  sqlite3_stmt* handle = cached(update).front()->statement();
  ASSERT_EQ(sqlite3_step(handle), SQLITE_CONSTRAINT);  // 20 again
  ASSERT_TRUE(db->executeUpdate(update, 21));
  EXPECT_EQ(engineScalar(*db, "select group_concat(a) from t"), "1,2,3,20,21");
  log.take();
}

TEST_F(StatementCacheTest, AnIdleStatementWithoutParametersSteppedThroughItsHandleStartsOver) {
  // No argument to refuse: a run left going is reset on reuse, and one run to its end
  // starts over when it is stepped again. Either way the rows come from the first one.
  const std::string query = "select a from t order by a";
  const std::string update = "update t set a = a + 10 where a > 100";
  for (int steps : {1, 100}) {
    SCOPED_TRACE(steps);
    auto rs = db->executeQuery(query);
    ASSERT_TRUE(rs && rs->next());
    rs->close();
    sqlite3_stmt* handle = cached(query).front()->statement();
    for (int i = 0; i < steps && sqlite3_step(handle) == SQLITE_ROW; ++i) {
    }
    rs = db->executeQuery(query);
    std::vector<int> rows;
    while (rs && rs->next()) rows.push_back(rs->intForColumnIndex(0));
    EXPECT_THAT(rows, ElementsAre(1, 2, 3));
  }
  ASSERT_TRUE(db->executeUpdate(update));
  ASSERT_EQ(sqlite3_step(cached(update).front()->statement()), SQLITE_DONE);
  EXPECT_TRUE(db->executeUpdate(update));
  EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(StatementCacheTest, AReusedUpdateStoresEachCallsOwnTextAndBytes) {
  // Every call's values are gone once it returns, and the next call reuses the
  // statement: each row must hold what its own call gave, nothing left from before.
  const std::string sql = "insert into t values (?)";
  for (char c : {'p', 'q', 'r'}) {
    ASSERT_TRUE(db->executeUpdate(sql, std::string(300, c)));
    ASSERT_TRUE(
        db->executeUpdateWithArgumentsInArray(sql, {LiteData(300, static_cast<std::uint8_t>(c))}));
  }
  ASSERT_TRUE(db->executeUpdate(sql, "short"));
  ASSERT_EQ(cached(sql).size(), 1u);
  EXPECT_EQ(cached(sql).front()->useCount(), 7);
  EXPECT_EQ(engineScalar(*db,
                         "select group_concat(typeof(a) || ':' || length(a) || ':' || "
                         "substr(hex(a), 1, 2), ',') from t where rowid > 3"),
            "text:300:70,blob:300:70,text:300:71,blob:300:71,text:300:72,blob:300:72,"
            "text:5:73");
}

TEST_F(StatementCacheTest, OverlappingResultSetsUseTwoStatements) {
  auto first = db->executeQuery("select a from t");
  auto second = db->executeQuery("select a from t");
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->statement(), second->statement());
  // Both read their own rows, interleaved.
  ASSERT_TRUE(first->next());
  ASSERT_TRUE(first->next());
  ASSERT_TRUE(second->next());
  EXPECT_EQ(first->intForColumnIndex(0), 2);
  EXPECT_EQ(second->intForColumnIndex(0), 1);
  const std::shared_ptr<LiteStatement> firstStatement = first->statement();
  first->close();
  second->close();
  ASSERT_EQ(cached("select a from t").size(), 2u);
  EXPECT_FALSE(cached("select a from t")[0]->inUse());
  EXPECT_FALSE(cached("select a from t")[1]->inUse());
  // The next run takes the first idle one, in the order they were stored.
  auto third = db->executeQuery("select a from t");
  EXPECT_EQ(third->statement(), firstStatement);
  EXPECT_EQ(cached("select a from t").size(), 2u);
}

TEST_F(StatementCacheTest, TextsAreComparedExactly) {
  for (const char* sql : {"select a from t", "SELECT a FROM t", "select  a from t"}) {
    auto rs = db->executeQuery(sql);
    ASSERT_TRUE(rs && rs->next());
  }
  EXPECT_EQ(db->cachedStatements()->size(), 3u);
}

TEST_F(StatementCacheTest, SwitchingOnAgainKeepsAndOffDropsTheStatements) {
  ASSERT_TRUE(db->executeUpdate("insert into t values (4)"));
  db->setShouldCacheStatements(true);
  EXPECT_EQ(cached("insert into t values (4)").size(), 1u);
  db->setShouldCacheStatements(false);
  EXPECT_FALSE(db->cachedStatements());
  EXPECT_EQ(engineStatements(), 0);
  // Off: nothing is kept.
  ASSERT_TRUE(db->executeUpdate("insert into t values (5)"));
  EXPECT_FALSE(db->cachedStatements());
  db->setShouldCacheStatements(true);
  ASSERT_TRUE(db->cachedStatements());
  EXPECT_TRUE(db->cachedStatements()->empty());
}

TEST_F(StatementCacheTest, SwitchingOffUnderAnOpenResultSetLetsItFinish) {
  auto rs = db->executeQuery("select a from t");
  ASSERT_TRUE(rs && rs->next());
  std::weak_ptr<LiteStatement> statement = rs->statement();
  db->setShouldCacheStatements(false);
  EXPECT_FALSE(statement.expired());  // the result set still holds it
  int sum = rs->intForColumnIndex(0);
  while (rs->next()) sum += rs->intForColumnIndex(0);
  EXPECT_EQ(sum, 6);
  // Reaching the end closed the result set, which finalised its statement.
  EXPECT_TRUE(statement.expired());
  EXPECT_EQ(engineStatements(), 0);
  EXPECT_EQ(rs->query(), "select a from t");  // the text outlives the statement
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(StatementCacheTest, ClearingUnderAnOpenResultSetEndsItAtItsNextStep) {
  auto rs = db->executeQuery("select a from t");
  ASSERT_TRUE(rs && rs->next());
  db->clearCachedStatements();
  EXPECT_TRUE(db->cachedStatements()->empty());
  EXPECT_EQ(engineStatements(), 0);  // finalised at once, though the result set is open
  EXPECT_FALSE(rs->next());
  EXPECT_EQ(rs->intForColumnIndex(0), 0);
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_THAT(log.take(), ElementsAre(::testing::StartsWith("Error calling sqlite3_step (21: ")));
  // The connection goes on working, and caching with it.
  auto again = db->executeQuery("select a from t");
  ASSERT_TRUE(again && again->next());
  EXPECT_EQ(cached("select a from t").size(), 1u);
}

TEST_F(StatementCacheTest, AStatementClosedByItsHolderIsReplacedNotKeptBeside) {
  ASSERT_TRUE(db->executeUpdate("insert into t values (4)"));
  cached("insert into t values (4)").front()->close();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(db->executeUpdate("insert into t values (4)"));
  ASSERT_EQ(cached("insert into t values (4)").size(), 1u);
  EXPECT_EQ(cached("insert into t values (4)").front()->useCount(), 3);
  EXPECT_EQ(engineScalar(*db, "select count(*) from t where a = 4"), "4");
}

// A result set's query is the text it was run with, whatever text the statement it
// reuses was last stored under or handed in with.
TEST_F(StatementCacheTest, AResultSetReadsTheTextItWasRunWith) {
  auto rs = db->executeQuery("select a from t");
  ASSERT_TRUE(rs);
  const std::shared_ptr<LiteStatement> statement = rs->statement();
  rs->close();

  // Stored under a second text too: its own text is now that one.
  db->setCachedStatementForQuery(statement, "select a from t ");
  EXPECT_EQ(statement->query(), "select a from t ");
  for (const char* sql : {"select a from t", "select a from t "}) {
    rs = db->executeQuery(sql);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->statement(), statement);
    EXPECT_EQ(rs->query(), sql);
    rs->close();
  }

  // A whole cache handed in, with the statement under a text that is not its own and
  // a statement under its own text.
  auto own = std::make_shared<LiteStatement>();
  sqlite3_stmt* pStmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db->sqliteHandle(), "select 5", -1, &pStmt, nullptr), SQLITE_OK);
  own->setStatement(pStmt);
  own->setQuery("select 5");
  db->setCachedStatements(
      LiteStatementCache{{"select a from t where 1", {statement}}, {"select 5", {own}}});
  rs = db->executeQuery("select a from t where 1");
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->statement(), statement);
  EXPECT_EQ(rs->query(), "select a from t where 1");
  rs->close();
  rs = db->executeQuery("select 5");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->statement(), own);
  EXPECT_EQ(rs->query(), "select 5");
  EXPECT_EQ(rs->intForColumnIndex(0), 5);
  rs->close();
  EXPECT_THAT(log.lines(), IsEmpty());
}

// The cache's keys, a statement's query and a result set's query are copies: the text a
// caller passed (here on the heap, then overwritten and freed) is read during the call
// only. Under AddressSanitizer a kept view shows as a use after free.
TEST_F(StatementCacheTest, TheCacheAndResultSetsOwnTheirText) {
  auto select = std::make_unique<std::string>("select a from t where a > ?");
  auto insert = std::make_unique<std::string>("insert into t values (?)");
  auto rs = db->executeQuery(*select, 1);
  ASSERT_TRUE(rs);
  ASSERT_TRUE(db->executeUpdate(*insert, 4));
  select->assign(select->size(), 'x');
  insert->assign(insert->size(), 'y');
  select.reset();
  insert.reset();

  EXPECT_EQ(rs->query(), "select a from t where a > ?");
  EXPECT_EQ(rs->statement()->query(), "select a from t where a > ?");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->intForColumnIndex(0), 2);
  rs->close();
  ASSERT_EQ(cached("insert into t values (?)").size(), 1u);
  EXPECT_EQ(cached("insert into t values (?)").front()->query(), "insert into t values (?)");

  // The same texts, from other buffers, find the statements stored under the copies.
  const std::string selectAgain = "select a from t where a > ?";
  rs = db->executeQuery(selectAgain, 3);
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->intForColumnIndex(0), 4);
  rs->close();
  ASSERT_TRUE(db->executeUpdate(std::string("insert into t values (?)"), 5));
  EXPECT_EQ(cached("select a from t where a > ?").front()->useCount(), 2);
  EXPECT_EQ(cached("insert into t values (?)").front()->useCount(), 2);
  EXPECT_EQ(db->cachedStatements()->size(), 2u);
  EXPECT_EQ(engineStatements(), 2);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(StatementCacheTest, StoringNeedsAText) {
  db->setLogsErrors(false);  // the message does not depend on it
  auto statement = std::make_shared<LiteStatement>();
  db->setCachedStatementForQuery(statement, std::nullopt);
  EXPECT_THAT(log.take(), ElementsAre("API misuse, -[LiteDatabase setCachedStatement:forQuery:] "
                                      "query must not be nil"));
  EXPECT_TRUE(db->cachedStatements()->empty());

  db->setCachedStatementForQuery(statement, "select 7");
  EXPECT_EQ(statement->query(), "select 7");
  EXPECT_EQ(db->cachedStatementForQuery("select 7"), statement);
  statement->setInUse(true);
  EXPECT_EQ(db->cachedStatementForQuery("select 7"), nullptr);
  EXPECT_EQ(db->cachedStatementForQuery("select 8"), nullptr);
}

TEST_F(StatementCacheTest, ClosingTheConnectionFinalisesTheCachedStatements) {
  auto rs = db->executeQuery("select a from t");
  ASSERT_TRUE(rs && rs->next());
  ASSERT_TRUE(db->executeUpdate("insert into t values (4)"));
  db->close();
  EXPECT_TRUE(db->cachedStatements()->empty());
  EXPECT_FALSE(rs->next());
  // Nothing was leaked for close to find and finalise behind the cache's back.
  EXPECT_THAT(log.take(), ::testing::Not(::testing::Contains("Closing leaked statement")));
  ASSERT_TRUE(db->open());
  ASSERT_TRUE(db->executeUpdate("insert into t values (4)"));
  EXPECT_EQ(engineScalar(*db, "select count(*) from t where a = 4"), "2");
}
