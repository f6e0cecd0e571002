// Running SQL on a connection: the query and update cores, binding, batches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string_view>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeStatements("create table t(a, b)"));
  }
  std::string rows() {
    return engineScalar(*db, "select group_concat(quote(a) || ':' || quote(b), ' ') from t");
  }

  ScratchDir dir;
  std::shared_ptr<LiteDatabase> db;
  LogCapture log;
};

}  // namespace

TEST_F(ExecuteTest, ArgumentsAreBoundNeverRunAsSql) {
  const std::string hostile = "x'); drop table t; --";
  const std::string second = "1; delete from t";
  ASSERT_TRUE(
      db->executeUpdateWithArgumentsInArray("insert into t values (?, ?)", {hostile, second}));
  ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", "it's", "\"quoted\""));
  EXPECT_EQ(rows(), "'x''); drop table t; --':'1; delete from t' 'it''s':'\"quoted\"'");
  auto rs = db->executeQuery("select b from t where a = ?", hostile);
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->stringForColumn("b"), second);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(ExecuteTest, EveryValueKindIsBoundByItsRule) {
  struct Case {
    const char* name;
    LiteValue value;
    const char* type;    // typeof() of the stored value
    const char* stored;  // quote() of the stored value
  };
  const Case cases[] = {
      {"absent", LiteValue(), "null", "NULL"},
      {"null marker", LiteValue::null(), "null", "NULL"},
      {"empty bytes", LiteData{}, "blob", "X''"},
      {"bytes", LiteData{0x00, 0xff, 0x10}, "blob", "X'00FF10'"},
      {"true", true, "integer", "1"},
      {"false", false, "integer", "0"},
      {"char", 'A', "integer", "65"},
      {"signed char", static_cast<signed char>(-3), "integer", "-3"},
      {"unsigned char", static_cast<unsigned char>(200), "integer", "200"},
      {"short", static_cast<short>(-32768), "integer", "-32768"},
      {"unsigned short", static_cast<unsigned short>(65535), "integer", "65535"},
      {"int", -7, "integer", "-7"},
      {"unsigned int above 2^31", 4294967295u, "integer", "4294967295"},
      {"long", -9000000000L, "integer", "-9000000000"},
      {"long long", std::numeric_limits<long long>::min(), "integer", "-9223372036854775808"},
      {"unsigned long long above 2^63-1", 9223372036854775813ull, "integer",
       "-9223372036854775803"},
      {"unsigned long max", std::numeric_limits<unsigned long>::max(), "integer", "-1"},
      {"float", 1.5f, "real", "1.5"},
      {"float widened", 0.1f, "real", "1.00000001490116119384e-01"},
      {"double", 0.1, "real", "0.1"},
      {"date", liteDateWithTimeIntervalSince1970(1700000000.25), "real", "1700000000.25"},
      {"text", std::string("声音 ok"), "text", "'声音 ok'"},
      {"empty text", "", "text", "''"},
      {"other object", LiteValue::other("<Widget 7>"), "text", "'<Widget 7>'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(db->executeUpdate("delete from t"));
    ASSERT_TRUE(db->executeUpdateWithArgumentsInArray("insert into t(a) values (?)", {c.value}));
    EXPECT_EQ(engineScalar(*db, "select typeof(a) from t"), c.type);
    EXPECT_EQ(engineScalar(*db, "select quote(a) from t"), c.stored);
  }
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(ExecuteTest, FloatStoredAsTheDoubleItWidensTo) {
  ASSERT_TRUE(db->executeUpdate("insert into t(a) values (?)", 0.1f));
  auto rs = db->executeQuery("select a from t");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->doubleForColumnIndex(0), static_cast<double>(0.1f));
  EXPECT_EQ(rs->objectForColumnIndex(0), LiteValue(static_cast<double>(0.1f)));
}

TEST_F(ExecuteTest, DateRoundTripsAsSecondsSince1970) {
  const LiteDate when = liteDateWithTimeIntervalSince1970(1765371901.5);
  ASSERT_TRUE(db->executeUpdate("insert into t(a) values (?)", when));
  auto rs = db->executeQuery("select a from t");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->doubleForColumn("a"), 1765371901.5);
  EXPECT_EQ(rs->dateForColumn("a"), when);
}

TEST_F(ExecuteTest, BoundTextAndBytesOutliveTheArguments) {
  std::shared_ptr<LiteResultSet> rs;
  {
    std::vector<LiteValue> arguments{std::string(1000, 'x'), LiteData(1000, 0xab)};
    rs = db->executeQueryWithArgumentsInArray("select ?, ?", arguments);
  }  // the argument values are gone; the statement must not point into them
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->stringForColumnIndex(0), std::string(1000, 'x'));
  EXPECT_EQ(rs->dataForColumnIndex(1), LiteData(1000, 0xab));

  // The variable-list form gathers its values for the call only.
  rs = db->executeQuery("select ?, ?", std::string(1000, 'y'), LiteData(1000, 0xcd));
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->stringForColumnIndex(0), std::string(1000, 'y'));
  EXPECT_EQ(rs->dataForColumnIndex(1), LiteData(1000, 0xcd));
}

TEST_F(ExecuteTest, TextHoldingNulCharactersIsStoredWhole) {
  const std::string withNul("ab\0cd", 5);
  struct Case {
    const char* name;
    LiteValue value;
  };
  const Case cases[] = {
      {"text", withNul},
      {"other object", LiteValue::other(withNul)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(db->executeUpdate("delete from t"));
    ASSERT_TRUE(db->executeUpdateWithArgumentsInArray("insert into t(a) values (?)", {c.value}));
    EXPECT_EQ(engineScalar(*db, "select typeof(a) || ' ' || length(cast(a as blob)) from t"),
              "text 5");
    auto rs = db->executeQuery("select a from t where a = ?", c.value);
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->stringForColumnIndex(0), withNul);
    EXPECT_FALSE(rs->next());
  }
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(ExecuteTest, BindCountMismatchInBothCores) {
  // More array elements than parameters: the first ones are bound, the rest ignored.
  EXPECT_TRUE(db->executeUpdateWithArgumentsInArray("insert into t values (?, ?)", {1, 2, 3}));
  auto rs = db->executeQueryWithArgumentsInArray("select ?", {"first", "second"});
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->stringForColumnIndex(0), "first");
  rs->close();
  EXPECT_THAT(log.take(), IsEmpty());

  // Fewer fails, in the query core always with the same line...
  EXPECT_EQ(db->executeQueryWithArgumentsInArray("select ?, ?", {1}), nullptr);
  EXPECT_EQ(db->executeQuery("select ?, ?", 1), nullptr);
  db->setLogsErrors(false);
  EXPECT_EQ(db->executeQueryWithArgumentsInArray("select ?, ?", {}), nullptr);
  db->setLogsErrors(true);
  const std::string queryLine =
      "Error: the bind count is not correct for the # of variables (executeQuery)";
  EXPECT_THAT(log.take(), ElementsAre(queryLine, queryLine, queryLine));

  // ...and in the update core with the counts and an error object.
  std::optional<LiteError> error;
  EXPECT_FALSE(db->executeUpdateValuesError("insert into t values (?, ?)", {1}, &error));
  const std::string updateLine =
      "Error: the bind count (1) is not correct for the # of variables in the query (2) "
      "(insert into t values (?, ?)) (executeUpdate)";
  EXPECT_THAT(log.take(), ElementsAre(updateLine));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 0, updateLine}));
  EXPECT_FALSE(db->executeUpdate("insert into t values (?, ?)"));
  EXPECT_THAT(log.take(),
              ElementsAre("Error: the bind count (0) is not correct for the # of variables in the "
                          "query (2) (insert into t values (?, ?)) (executeUpdate)"));
  db->setLogsErrors(false);
  error.reset();
  EXPECT_FALSE(db->executeUpdateWithErrorAndBindings("insert into t values (?, ?)", &error, 5));
  EXPECT_THAT(log.take(), IsEmpty());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description,
            "Error: the bind count (1) is not correct for the # of variables in the query (2) "
            "(insert into t values (?, ?)) (executeUpdate)");
  EXPECT_EQ(rows(), "1:2");
}

TEST_F(ExecuteTest, VariadicFormsBindInOrder) {
  EXPECT_TRUE(db->executeUpdate("insert into t values (?, ?)", 1, "one"));
  std::optional<LiteError> error;
  EXPECT_TRUE(db->executeUpdateWithErrorAndBindings("insert into t values (?, ?)", &error, 2, 2.5));
  EXPECT_TRUE(
      db->updateWithErrorAndBindings("insert into t values (?, ?)", &error, 3, LiteValue::null()));
  EXPECT_EQ(error, std::nullopt);
  EXPECT_TRUE(db->executeUpdateWithVAList("insert into t values (?, ?)", {4, LiteData{1}}));
  EXPECT_EQ(rows(), "1:'one' 2:2.5 3:NULL 4:X'01'");
  auto rs = db->executeQuery("select b from t where a = ? or a = ? order by a", 1, 4);
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->stringForColumnIndex(0), "one");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->dataForColumnIndex(0), LiteData{1});
  EXPECT_FALSE(rs->next());
}

TEST_F(ExecuteTest, NamedParametersBindByColonName) {
  EXPECT_TRUE(db->executeUpdateWithParameterDictionary("insert into t values (:a, :b)",
                                                       {{"a", 1}, {"b", "x"}}));
  auto rs = db->executeQueryWithParameterDictionary("select b from t where a = :a", {{"a", 1}});
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->stringForColumn("b"), "x");
  rs->close();
  EXPECT_THAT(log.take(), IsEmpty());

  // Other parameter forms are not looked up; the key is reported and skipped.
  EXPECT_EQ(db->executeQueryWithParameterDictionary("select @a", {{"a", 1}}), nullptr);
  EXPECT_THAT(
      log.take(),
      ElementsAre("Could not find index for a",
                  "Error: the bind count is not correct for the # of variables (executeQuery)"));
  // An extra key is reported, yet the statement runs when the others cover every parameter.
  rs = db->executeQueryWithParameterDictionary("select :a", {{"a", 1}, {"zzz", 2}});
  ASSERT_TRUE(rs);
  EXPECT_THAT(log.take(), ElementsAre("Could not find index for zzz"));
  rs->close();

  // In the update core the key is logged only with logsErrors, and becomes an error object.
  LiteDictionary missing{{"a", 1}, {"c", 2}};
  std::optional<LiteError> error;
  db->setLogsErrors(false);
  EXPECT_FALSE(db->executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(
      "insert into t values (:a, :b)", &error, nullptr, &missing, nullptr));
  EXPECT_THAT(log.take(), IsEmpty());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description,
            "Error: the bind count (1) is not correct for the # of variables in the query (2) "
            "(insert into t values (:a, :b)) (executeUpdate)");
  db->setLogsErrors(true);
  error.reset();
  EXPECT_TRUE(db->executeUpdateErrorWithArgumentsInArrayOrDictionaryOrVAList(
      "insert into t values (:a, 0)", &error, nullptr, &missing, nullptr));
  EXPECT_THAT(log.take(), ElementsAre("Could not find index for c"));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 0, "Could not find index for c"}));
}

TEST_F(ExecuteTest, SelectThroughUpdateFailsAfterItsFirstRow) {
  ASSERT_TRUE(db->executeUpdate("insert into t values (1, 2)"));
  std::optional<LiteError> error;
  EXPECT_FALSE(db->executeUpdateValuesError("select * from t", {}, &error));
  EXPECT_THAT(log.take(),
              ElementsAre("A executeUpdate is being called with a query string 'select * from t'",
                          "DB Query: select * from t"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "LiteDatabase");
  EXPECT_EQ(error->code, SQLITE_ROW);
  EXPECT_EQ(error->description,
            "A executeUpdate is being called with a query string 'select * from t'");
  db->setLogsErrors(false);
  EXPECT_FALSE(db->executeUpdateWithArgumentsInArray("select * from t", {}));
  EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(ExecuteTest, TwoStatementsInOneText) {
  // The cores run only the first statement of the text.
  EXPECT_TRUE(db->executeUpdate("insert into t values (1, 1); insert into t values (2, 2)"));
  EXPECT_EQ(rows(), "1:1");
  auto rs = db->executeQuery("select count(*) from t; delete from t");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->intForColumnIndex(0), 1);
  EXPECT_FALSE(rs->next());
  EXPECT_EQ(rows(), "1:1");

  // A batch runs them all...
  EXPECT_TRUE(db->executeStatements("insert into t values (2, 2); insert into t values (3, 3)"));
  EXPECT_EQ(rows(), "1:1 2:2 3:3");
  EXPECT_THAT(log.take(), IsEmpty());

  // ...and stops at the first failure, keeping what ran before it.
  EXPECT_FALSE(db->executeStatements(
      "insert into t values (4, 4); insert into nope values (5); insert into t values (6, 6)"));
  EXPECT_EQ(rows(), "1:1 2:2 3:3 4:4");
  EXPECT_THAT(log.take(), ElementsAre("Error inserting batch: no such table: nope"));
  db->setLogsErrors(false);
  EXPECT_FALSE(db->executeStatements("insert into nope values (5)"));
  EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(ExecuteTest, BatchRowsReachTheCallbackAsTextAndNull) {
  ASSERT_TRUE(
      db->executeStatements("insert into t values (1, 'x'); insert into t values (2.5, null)"));
  std::vector<LiteDictionary> seen;
  EXPECT_TRUE(db->executeStatementsWithResultBlock(
      "select a, b from t order by a; select 'end' as e", [&](const LiteDictionary& row) {
        seen.push_back(row);
        return 0;
      }));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], (LiteDictionary{{"a", "1"}, {"b", "x"}}));
  EXPECT_EQ(seen[1], (LiteDictionary{{"a", "2.5"}, {"b", LiteValue::null()}}));
  EXPECT_EQ(seen[2], (LiteDictionary{{"e", "end"}}));

  // A non-zero answer stops the batch, which then fails.
  int calls = 0;
  EXPECT_FALSE(
      db->executeStatementsWithResultBlock("select a from t; insert into t values (9, 9)",
                                           [&](const LiteDictionary&) { return ++calls; }));
  EXPECT_EQ(calls, 1);
  EXPECT_THAT(log.take(), ElementsAre("Error inserting batch: query aborted"));
  EXPECT_EQ(engineScalar(*db, "select count(*) from t"), "2");
}

TEST_F(ExecuteTest, PrepareFailureLogsThreeLinesAndHandsOverTheError) {
  std::optional<LiteError> error;
  EXPECT_FALSE(db->executeUpdateValuesError("insert into nope values (1)", {}, &error));
  const std::vector<std::string> lines{"DB Error: 1 \"no such table: nope\"",
                                       "DB Query: insert into nope values (1)",
                                       "DB Path: " + dir.file("data.sqlite")};
  EXPECT_EQ(log.take(), lines);
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 1, "no such table: nope"}));

  error.reset();
  EXPECT_EQ(db->executeQueryValuesError("selec 1", {}, &error), nullptr);
  EXPECT_THAT(log.take(), ElementsAre("DB Error: 1 \"near \"selec\": syntax error\"",
                                      "DB Query: selec 1", "DB Path: " + dir.file("data.sqlite")));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 1, "near \"selec\": syntax error"}));

  db->setLogsErrors(false);
  EXPECT_EQ(db->executeQuery("selec 1"), nullptr);
  EXPECT_THAT(log.take(), IsEmpty());

  auto memory = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(memory->open());
  EXPECT_EQ(memory->executeQuery("selec 1"), nullptr);
  EXPECT_THAT(log.take(), ElementsAre("DB Error: 1 \"near \"selec\": syntax error\"",
                                      "DB Query: selec 1", "DB Path: (null)"));
}

TEST_F(ExecuteTest, StepFailuresOfAnUpdate) {
  ASSERT_TRUE(db->executeStatements("create table u(id integer primary key)"));
  ASSERT_TRUE(db->executeUpdate("insert into u values (1)"));
  log.take();

  std::optional<LiteError> error;
  EXPECT_FALSE(db->executeUpdateValuesError("insert into u values (1)", {}, &error));
  EXPECT_THAT(
      log.take(),
      ElementsAre("Unknown error calling sqlite3_step (19: UNIQUE constraint failed: u.id) eu",
                  "DB Query: insert into u values (1)",
                  "Unknown error finalizing or resetting statement (19: UNIQUE constraint "
                  "failed: u.id)",
                  "DB Query: insert into u values (1)"));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 19, "UNIQUE constraint failed: u.id"}));

  // A run-time error inside the statement is SQLITE_ERROR.
  error.reset();
  EXPECT_FALSE(
      db->executeUpdateValuesError("insert into u values (abs(-9223372036854775808))", {}, &error));
  EXPECT_THAT(log.take(),
              ElementsAre("Error calling sqlite3_step (1: integer overflow) SQLITE_ERROR",
                          "DB Query: insert into u values (abs(-9223372036854775808))",
                          "Unknown error finalizing or resetting statement (1: integer overflow)",
                          "DB Query: insert into u values (abs(-9223372036854775808))"));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 1, "integer overflow"}));

  db->setLogsErrors(false);
  error.reset();
  EXPECT_FALSE(db->executeUpdateValuesError("insert into u values (1)", {}, &error));
  EXPECT_THAT(log.take(), IsEmpty());
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 19, "UNIQUE constraint failed: u.id"}));
}

namespace {

void interruptOwnConnection(sqlite3_context* context, int, sqlite3_value**) {
  static_cast<LiteDatabase*>(sqlite3_user_data(context))->interrupt();
  sqlite3_result_int(context, 1);
}

}  // namespace

TEST_F(ExecuteTest, InterruptedUpdateLeavesTheErrorAlone) {
  ASSERT_EQ(sqlite3_create_function(db->sqliteHandle(), "stop_me", 0, SQLITE_UTF8, db.get(),
                                    interruptOwnConnection, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_TRUE(db->executeStatements("insert into t values (1, 1); insert into t values (2, 2)"));
  std::optional<LiteError> error;
  EXPECT_FALSE(db->executeUpdateValuesError("update t set b = stop_me()", {}, &error));
  EXPECT_EQ(error, std::nullopt);
  EXPECT_THAT(
      log.take(),
      ElementsAre(
          "Error calling sqlite3_step. Query was interrupted (9: interrupted) SQLITE_INTERRUPT",
          "DB Query: update t set b = stop_me()",
          "Unknown error finalizing or resetting statement (9: interrupted)",
          "DB Query: update t set b = stop_me()"));
  EXPECT_EQ(rows(), "1:1 2:2");
  db->setLogsErrors(false);
  EXPECT_FALSE(db->executeUpdateValuesError("update t set b = stop_me()", {}, &error));
  EXPECT_EQ(error, std::nullopt);
  EXPECT_THAT(log.take(), IsEmpty());
  EXPECT_TRUE(db->executeUpdate("insert into t values (3, 3)"));
}

TEST_F(ExecuteTest, TraceLogsStatementsAndArguments) {
  db->setTraceExecution(true);
  const std::string me = db->description();
  ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", 5, LiteData{1, 2, 3}));
  auto rs = db->executeQueryWithParameterDictionary("select :k", {{"k", "v"}});
  ASSERT_TRUE(rs);
  EXPECT_THAT(log.take(), ElementsAre(me + " executeUpdate: insert into t values (?, ?)", "obj: 5",
                                      "data: 3 bytes", me + " executeQuery: select :k", ":k = v"));
}

TEST_F(ExecuteTest, ExecuteStatementsOnAClosedConnectionFailsWithoutTheEngine) {
  db->close();
  log.take();
  EXPECT_FALSE(db->executeStatements("create table x(y)"));
  EXPECT_FALSE(
      db->executeStatementsWithResultBlock("select 1", [](const LiteDictionary&) { return 0; }));
  EXPECT_THAT(log.take(), ElementsAre(notOpenLine(*db), notOpenLine(*db)));
}

TEST_F(ExecuteTest, CachedStatementFailingTheBindCountLeavesTheCache) {
  db->setShouldCacheStatements(true);
  auto rs = db->executeQuery("select ?", 1);
  ASSERT_TRUE(rs && rs->next());
  rs->close();
  ASSERT_EQ(db->cachedStatements()->at("select ?").size(), 1u);
  std::weak_ptr<LiteStatement> cached = db->cachedStatements()->at("select ?").front();
  EXPECT_EQ(db->executeQuery("select ?"), nullptr);
  EXPECT_THAT(
      log.take(),
      ElementsAre("Error: the bind count is not correct for the # of variables (executeQuery)"));
  EXPECT_EQ(db->cachedStatements()->count("select ?"), 0u);
  EXPECT_TRUE(cached.expired());
  // The same text prepares afresh and works.
  rs = db->executeQuery("select ?", 2);
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->intForColumnIndex(0), 2);
  rs->close();

  ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", 1, 2));
  ASSERT_EQ(db->cachedStatements()->at("insert into t values (?, ?)").size(), 1u);
  EXPECT_FALSE(db->executeUpdate("insert into t values (?, ?)", 1));
  EXPECT_EQ(db->cachedStatements()->count("insert into t values (?, ?)"), 0u);
  EXPECT_TRUE(db->executeUpdate("insert into t values (?, ?)", 3, 4));
  EXPECT_EQ(rows(), "1:2 3:4");
}

TEST_F(ExecuteTest, CachedStatementsAreReusedWhileIdle) {
  db->setShouldCacheStatements(true);
  for (int i = 0; i < 2; ++i) {
    auto rs = db->executeQuery("select 1");
    ASSERT_TRUE(rs && rs->next());
  }
  ASSERT_EQ(db->cachedStatements()->at("select 1").size(), 1u);
  EXPECT_EQ(db->cachedStatements()->at("select 1").front()->useCount(), 2);
  auto first = db->executeQuery("select 1");
  auto second = db->executeQuery("select 1");
  EXPECT_NE(first->statement(), second->statement());
  EXPECT_EQ(db->cachedStatements()->at("select 1").size(), 2u);
  // Clearing the cache under an open result set ends it at its next step, safely.
  db->clearCachedStatements();
  EXPECT_FALSE(first->next());
  log.take();
}

// Every form that takes SQL reads exactly the text its view shows. Each view here is
// the front of a longer buffer whose next character would change the statement (or
// break it), as a view into a caller's larger text does; with the cache on, the text
// is also the cache's key.
TEST_F(ExecuteTest, EveryFormReadsTheTextOfItsViewAndNoMore) {
  using Run = std::function<std::string(LiteDatabase&, std::string_view)>;
  // Column 0 of the first row, or "<none>".
  const auto first = [](const std::shared_ptr<LiteResultSet>& rs) -> std::string {
    if (!rs || !rs->next()) return "<none>";
    std::string value = rs->stringForColumnIndex(0).value_or("<NULL>");
    rs->close();
    return value;
  };
  const auto afterUpdate = [this](bool ok) { return ok ? rows() : "<failed>"; };
  const std::vector<LiteValue> noValues;
  const LiteDictionary noNames;
  const LiteVAList noList;
  struct Case {
    const char* name;
    std::string sql;  // the buffer is this followed by "9"
    Run run;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"executeQuery", "select 7",
       [&](LiteDatabase& d, auto sql) { return first(d.executeQuery(sql)); }, "7"},
      {"executeQuery with arguments", "select ? + 1",
       [&](LiteDatabase& d, auto sql) { return first(d.executeQuery(sql, 6)); }, "7"},
      {"executeQueryWithArgumentsInArray", "select 7",
       [&](LiteDatabase& d, auto sql) {
         return first(d.executeQueryWithArgumentsInArray(sql, noValues));
       },
       "7"},
      {"executeQueryWithVAList", "select 7",
       [&](LiteDatabase& d, auto sql) { return first(d.executeQueryWithVAList(sql, noList)); },
       "7"},
      {"executeQueryWithParameterDictionary", "select 7",
       [&](LiteDatabase& d, auto sql) {
         return first(d.executeQueryWithParameterDictionary(sql, noNames));
       },
       "7"},
      {"executeQueryValuesError", "select 7",
       [&](LiteDatabase& d, auto sql) {
         return first(d.executeQueryValuesError(sql, noValues, nullptr));
       },
       "7"},
      {"executeQueryWithFormat", "select %d + 1",
       [&](LiteDatabase& d, auto sql) { return first(d.executeQueryWithFormat(sql, 6)); }, "7"},
      {"stringForQuery", "select 7",
       [](LiteDatabase& d, auto sql) { return d.stringForQuery(sql).value_or("<none>"); }, "7"},
      {"intForQuery", "select 7",
       [](LiteDatabase& d, auto sql) { return std::to_string(d.intForQuery(sql)); }, "7"},
      {"executeUpdate", "update t set b = 1",
       [&](LiteDatabase& d, auto sql) { return afterUpdate(d.executeUpdate(sql)); }, "0:1"},
      {"executeUpdate with arguments", "update t set b = ? + 1",
       [&](LiteDatabase& d, auto sql) { return afterUpdate(d.executeUpdate(sql, 0)); }, "0:1"},
      {"executeUpdateWithArgumentsInArray", "update t set b = 1",
       [&](LiteDatabase& d, auto sql) {
         return afterUpdate(d.executeUpdateWithArgumentsInArray(sql, noValues));
       },
       "0:1"},
      {"executeUpdateWithVAList", "update t set b = 1",
       [&](LiteDatabase& d, auto sql) {
         return afterUpdate(d.executeUpdateWithVAList(sql, noList));
       },
       "0:1"},
      {"executeUpdateWithParameterDictionary", "update t set b = 1",
       [&](LiteDatabase& d, auto sql) {
         return afterUpdate(d.executeUpdateWithParameterDictionary(sql, noNames));
       },
       "0:1"},
      {"executeUpdateValuesError", "update t set b = 1",
       [&](LiteDatabase& d, auto sql) {
         return afterUpdate(d.executeUpdateValuesError(sql, noValues, nullptr));
       },
       "0:1"},
      {"executeUpdateWithErrorAndBindings", "update t set b = ? + 1",
       [&](LiteDatabase& d, auto sql) {
         return afterUpdate(d.executeUpdateWithErrorAndBindings(sql, nullptr, 0));
       },
       "0:1"},
      {"updateWithErrorAndBindings", "update t set b = ? + 1",
       [&](LiteDatabase& d, auto sql) {
         return afterUpdate(d.updateWithErrorAndBindings(sql, nullptr, 0));
       },
       "0:1"},
      {"executeUpdateWithFormat", "update t set b = %d",
       [&](LiteDatabase& d, auto sql) { return afterUpdate(d.executeUpdateWithFormat(sql, 1)); },
       "0:1"},
      {"executeStatements", "update t set b = 1; update t set a = 2",
       [&](LiteDatabase& d, auto sql) { return afterUpdate(d.executeStatements(sql)); }, "2:1"},
      {"executeStatementsWithResultBlock", "select 7 as x",
       [](LiteDatabase& d, auto sql) {
         std::string seen;
         d.executeStatementsWithResultBlock(sql, [&](const LiteDictionary& row) {
           for (const auto& [name, value] : row) seen += name + "=" + value.description();
           return 0;
         });
         return seen;
       },
       "x=7"},
      {"validateSQLError", "select x'00'",
       [](LiteDatabase& d, auto sql) {
         return std::string(d.validateSQLError(sql, nullptr) ? "valid" : "invalid");
       },
       "valid"},
  };
  for (const bool cache : {false, true}) {
    db->setShouldCacheStatements(cache);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (cache ? ", cache on" : ", cache off"));
      ASSERT_TRUE(db->executeStatements("delete from t; insert into t values (0, 0)"));
      const std::string buffer = c.sql + "9";
      EXPECT_EQ(c.run(*db, std::string_view(buffer).substr(0, c.sql.size())), c.expected);
      EXPECT_THAT(log.take(), IsEmpty());
    }
  }
  // The cache holds each text under exactly what the view showed.
  EXPECT_EQ(db->cachedStatements()->count("select 7"), 1u);
  EXPECT_EQ(db->cachedStatements()->count("select 79"), 0u);
  EXPECT_EQ(db->cachedStatements()->count("update t set b = 1"), 1u);
}

// The messages that quote a statement quote the text of its view, not what follows it.
TEST_F(ExecuteTest, MessagesQuoteTheTextOfTheView) {
  const auto front = [](const std::string& buffer, std::size_t drop) {
    return std::string_view(buffer).substr(0, buffer.size() - drop);
  };
  const std::string me = db->description();
  std::optional<LiteError> error;

  const std::string missing = "select * from nowhere9";
  EXPECT_EQ(db->executeQuery(front(missing, 1)), nullptr);
  EXPECT_THAT(log.take(), ElementsAre("DB Error: 1 \"no such table: nowhere\"",
                                      "DB Query: select * from nowhere",
                                      "DB Path: " + dir.file("data.sqlite")));

  const std::string twoParameters = "insert into t values (?, ?)9";
  EXPECT_FALSE(db->executeUpdateValuesError(front(twoParameters, 1), {1}, &error));
  const std::string bindCount =
      "Error: the bind count (1) is not correct for the # of variables in the query (2) "
      "(insert into t values (?, ?)) (executeUpdate)";
  EXPECT_THAT(log.take(), ElementsAre(bindCount));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 0, bindCount}));

  const std::string select = "select 19";
  error.reset();
  EXPECT_FALSE(db->executeUpdateValuesError(front(select, 1), {}, &error));
  EXPECT_THAT(log.take(), ElementsAre("A executeUpdate is being called with a query string "
                                      "'select 1'",
                                      "DB Query: select 1"));

  db->setTraceExecution(true);
  const std::string insert = "insert into t values (1, 2)9";
  EXPECT_TRUE(db->executeUpdate(front(insert, 1)));
  auto rs = db->executeQuery(front(select, 1));
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->query(), "select 1");
  EXPECT_THAT(log.take(), ElementsAre(me + " executeUpdate: insert into t values (1, 2)",
                                      me + " executeQuery: select 1"));

  const std::string badFormat = "select %d9";
  EXPECT_EQ(db->executeQueryWithFormat(front(badFormat, 1)), nullptr);
  EXPECT_THAT(log.take(), ElementsAre("Error: the format's %d needs argument 1, but only 0 were "
                                      "given (select %d)"));
}

TEST(ExecuteDeathTest, CrashOnErrorsEndsTheProcessAfterTheLogLines) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(db->open());
  db->setCrashOnErrors(true);
  EXPECT_DEATH(db->executeQuery("selec 1"), "DB Error: 1 \"near \"selec\": syntax error\"");
  db->setLogsErrors(false);
  EXPECT_DEATH(db->executeUpdate("selec 1"), "");
  // Only a failed preparation ends the process; a failed step does not.
  LogCapture log;
  EXPECT_FALSE(db->executeUpdate("select abs(-9223372036854775808)"));
}
