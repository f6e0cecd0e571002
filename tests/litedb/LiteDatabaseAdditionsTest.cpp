// The connection's further operations: single-value queries, schema and pragma
// questions, the compile check, custom SQL functions, dates as text, keys, versions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>

#include <cmath>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class AdditionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeStatements(
        "create table tb_Button(ButtonId text, Title text, ButtonNo integer, Volume real, "
        "Art blob);"
        "insert into tb_Button values ('b1', 'Applause', 7, 0.5, x'0102');"
        "insert into tb_Button values ('b2', 'Drums', 8, 1.5, null);"));
  }

  ScratchDir dir;
  std::shared_ptr<LiteDatabase> db;
  LogCapture log;
};

}  // namespace

// --- Single-value queries --------------------------------------------------------------

TEST_F(AdditionsTest, SingleValueQueriesReadColumnZeroOfTheFirstRow) {
  const char* byNo = "select Title, ButtonNo from tb_Button where ButtonNo >= ? order by ButtonNo";
  EXPECT_EQ(db->stringForQuery(byNo, 7), "Applause");  // first row, first column only
  EXPECT_EQ(db->intForQuery("select ButtonNo from tb_Button where ButtonId = ?", "b2"), 8);
  EXPECT_EQ(db->longForQuery("select 1 << 40"), std::int64_t{1} << 40);
  EXPECT_TRUE(db->boolForQuery("select count(*) from tb_Button where Title = ?", "Drums"));
  EXPECT_EQ(db->doubleForQuery("select Volume from tb_Button where ButtonNo = ?", 8), 1.5);
  EXPECT_EQ(db->dataForQuery("select Art from tb_Button where ButtonNo = 7"), (LiteData{1, 2}));
  EXPECT_EQ(db->dateForQuery("select 86400.5"), liteDateWithTimeIntervalSince1970(86400.5));
  // The result sets were closed and let go.
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(AdditionsTest, SingleValueQueriesGiveTheirDefaultsWithoutARow) {
  // No row, a NULL value, a failing query and a list that runs out all look alike.
  for (const char* sql : {"select Title from tb_Button where 0",
                          "select Art from tb_Button "
                          "where ButtonNo = 8",
                          "select nothing from nowhere", "select ? + ?"}) {
    SCOPED_TRACE(sql);
    const bool needsTwo = std::string(sql) == "select ? + ?";
    EXPECT_EQ(db->stringForQuery(sql, 1), std::nullopt);
    EXPECT_EQ(db->intForQuery(sql, 1), 0);
    EXPECT_EQ(db->longForQuery(sql, 1), 0);
    EXPECT_FALSE(db->boolForQuery(sql, 1));
    EXPECT_EQ(db->doubleForQuery(sql, 1), 0.0);
    EXPECT_EQ(db->dataForQuery(sql, 1), std::nullopt);
    EXPECT_EQ(db->dateForQuery(sql, 1), std::nullopt);
    if (needsTwo) {
      EXPECT_EQ(log.take(), std::vector<std::string>(7,
                                                     "Error: the bind count is not correct for "
                                                     "the # of variables (executeQuery)"));
    }
    log.take();
  }
  EXPECT_FALSE(db->hasOpenResultSets());
  db->close();
  log.take();
  EXPECT_EQ(db->intForQuery("select 1"), 0);
  EXPECT_THAT(log.take(), ElementsAre(notOpenLine(*db)));
}

// --- Schema and pragmas ----------------------------------------------------------------

TEST_F(AdditionsTest, TableExistsIgnoresCaseAndTemporaryTables) {
  ASSERT_TRUE(db->executeStatements("create temp table scratch(a); create table \"Été\"(a)"));
  struct Case {
    const char* name;
    bool exists;
  };
  for (const Case& c : {Case{"tb_Button", true}, Case{"tb_button", true}, Case{"TB_BUTTON", true},
                        Case{"scratch", false}, Case{"missing", false}, Case{"Été", true},
                        Case{"x' or '1'='1", false}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(db->tableExists(c.name), c.exists);
  }
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(AdditionsTest, ColumnExistsIgnoresCase) {
  ASSERT_TRUE(db->executeStatements("create table \"it's\"(Quoted)"));
  struct Case {
    const char* column;
    const char* table;
    bool exists;
  };
  for (const Case& c : {Case{"TITLE", "tb_Button", true}, Case{"title", "TB_BUTTON", true},
                        Case{"Missing", "tb_Button", false}, Case{"Title", "missing", false},
                        Case{"quoted", "it's", true}}) {
    SCOPED_TRACE(std::string(c.column) + " in " + c.table);
    EXPECT_EQ(db->columnExistsInTableWithName(c.column, c.table), c.exists);
    EXPECT_EQ(db->columnExistsColumnName(c.table, c.column), c.exists);
  }
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(AdditionsTest, SchemaListsTablesAndIndexesOfBothDatabases) {
  ASSERT_TRUE(db->executeStatements(
      "create index byNo on tb_Button(ButtonNo); create temp table scratch(a)"));
  auto rs = db->getSchema();
  ASSERT_TRUE(rs);
  std::vector<std::string> seen;
  while (rs->next()) {
    seen.push_back(rs->stringForColumn("type").value_or("") + " " +
                   rs->stringForColumn("name").value_or("") + " " +
                   rs->stringForColumn("tbl_name").value_or(""));
  }
  EXPECT_THAT(seen, ElementsAre("table scratch scratch", "table tb_Button tb_Button",
                                "index byNo tb_Button"));

  rs = db->getTableSchema("tb_Button");
  ASSERT_TRUE(rs);
  seen.clear();
  while (rs->next()) seen.push_back(rs->stringForColumn("name").value_or(""));
  EXPECT_THAT(seen, ElementsAre("ButtonId", "Title", "ButtonNo", "Volume", "Art"));
}

TEST_F(AdditionsTest, HeaderValuesRoundTripAllThirtyTwoBits) {
  for (std::uint32_t value : {7u, 0x80000000u, 0xFFFFFFFFu, 0u}) {
    SCOPED_TRACE(value);
    db->setUserVersion(value);
    EXPECT_EQ(db->userVersion(), value);
    db->setApplicationID(value);
    EXPECT_EQ(db->applicationID(), value);
  }
  // What the header holds, seen by the engine directly.
  db->setApplicationID(0x80000000u);
  EXPECT_EQ(engineScalar(*db, "pragma application_id"), "-2147483648");
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(AdditionsTest, ApplicationIDAsFourCharacters) {
  db->setApplicationIDString("abcd");
  EXPECT_EQ(db->applicationID(), 0x61626364u);
  EXPECT_EQ(db->applicationIDString(), "abcd");
  EXPECT_THAT(log.take(), IsEmpty());

  struct Case {
    const char* text;
    std::uint32_t stored;
    const char* readBack;
    long length;
  };
  for (const Case& c : {Case{"ab", 0x61622020u, "ab  ", 2}, Case{"abcde", 0x61626364u, "abcd", 5},
                        Case{"", 0x20202020u, "    ", 0}, Case{"é€xy", 0xE93F7879u, "", 4}}) {
    SCOPED_TRACE(c.text);
    db->setApplicationIDString(c.text);
    EXPECT_EQ(db->applicationID(), c.stored);
    EXPECT_EQ(db->applicationIDString(), c.readBack);
    if (c.length == 4) {
      EXPECT_THAT(log.take(), IsEmpty());
    } else {
      EXPECT_THAT(log.take(), ElementsAre("setApplicationIDString: string passed is not exactly 4 "
                                          "chars long. (was " +
                                          std::to_string(c.length) + ")"));
    }
  }
  // Ids that are not four printable characters read as nothing rather than garbage.
  for (std::uint32_t id : {0u, 0x61620063u, 0xFFFFFFFFu}) {
    db->setApplicationID(id);
    EXPECT_EQ(db->applicationIDString(), "");
  }
}

TEST_F(AdditionsTest, ValidateSQLCompilesWithoutRunning) {
  std::optional<LiteError> error;
  EXPECT_TRUE(db->validateSQLError("select * from tb_Button", &error));
  EXPECT_EQ(error, std::nullopt);
  EXPECT_TRUE(db->validateSQLError("drop table tb_Button", &error));
  EXPECT_TRUE(db->tableExists("tb_Button"));

  EXPECT_FALSE(db->validateSQLError("selct * from tb_Button", &error));
  EXPECT_EQ(error,
            (LiteError{LITE_GENERAL_ERROR_DOMAIN, SQLITE_ERROR, "near \"selct\": syntax error"}));
  EXPECT_FALSE(db->validateSQLError("select nope from tb_Button", nullptr));
  EXPECT_EQ(sqlite3_next_stmt(db->sqliteHandle(), nullptr), nullptr);  // all finalised
  EXPECT_THAT(log.lines(), IsEmpty());

  db->close();
  error.reset();
  EXPECT_FALSE(db->validateSQLError("select 1", &error));
  EXPECT_EQ(error, (LiteError{LITE_GENERAL_ERROR_DOMAIN, SQLITE_MISUSE,
                              "bad parameter or other API misuse"}));
}

// --- Custom SQL functions --------------------------------------------------------------

TEST_F(AdditionsTest, AFunctionComputesItsResult) {
  db->makeFunctionNamedArgumentsBlock(
      "f", 1, [](sqlite3_context* context, int, sqlite3_value** argv) {
        LiteDatabase::resultIntContext(2 * LiteDatabase::valueInt(argv[0]), context);
      });
  EXPECT_EQ(db->intForQuery("select f(21)"), 42);
  EXPECT_EQ(db->intForQuery("select f(ButtonNo) from tb_Button where ButtonId = ?", "b2"), 16);
  // Only the declared number of arguments.
  EXPECT_EQ(db->executeQuery("select f(1, 2)"), nullptr);
  EXPECT_EQ(log.take().front(), "DB Error: 1 \"wrong number of arguments to function f()\"");

  // Any number, reading each argument's type.
  db->makeFunctionNamedMaximumArgumentsWithBlock(
      "types", -1, [](sqlite3_context* context, int argc, sqlite3_value** argv) {
        std::string types;
        for (int i = 0; i < argc; ++i) types += std::to_string(LiteDatabase::valueType(argv[i]));
        LiteDatabase::resultStringContext(types, context);
      });
  EXPECT_EQ(db->stringForQuery("select types(1, 2.5, 'x', x'00', null)"), "12345");
  EXPECT_EQ(db->stringForQuery("select types()"), "");
}

TEST_F(AdditionsTest, FunctionArgumentsAndResultsOfEveryKind) {
  db->makeFunctionNamedArgumentsBlock(
      "echo", 2, [](sqlite3_context* context, int, sqlite3_value** argv) {
        const std::string kind = *LiteDatabase::valueString(argv[0]);
        sqlite3_value* v = argv[1];
        if (kind == "long")
          LiteDatabase::resultLongContext(LiteDatabase::valueLong(v) + 1, context);
        if (kind == "double")
          LiteDatabase::resultDoubleContext(LiteDatabase::valueDouble(v) / 2, context);
        if (kind == "string") {
          std::optional<std::string> s = LiteDatabase::valueString(v);
          if (s) {
            LiteDatabase::resultStringContext(*s + "!", context);
          } else {
            LiteDatabase::resultStringContext("none", context);
          }
        }
        if (kind == "data") {
          std::optional<LiteData> d = LiteDatabase::valueData(v);
          if (d) {
            d->push_back(9);
            LiteDatabase::resultDataContext(*d, context);
          } else {
            LiteDatabase::resultDataContext(LiteData{}, context);
          }
        }
        if (kind == "null") LiteDatabase::resultNullInContext(context);
      });
  EXPECT_EQ(db->longForQuery("select echo('long', 9007199254740993)"), 9007199254740994);
  EXPECT_EQ(db->doubleForQuery("select echo('double', 5)"), 2.5);
  EXPECT_EQ(db->stringForQuery("select echo('string', ?)", std::string("a\0b", 3)),
            std::string("a\0b!", 4));
  EXPECT_EQ(db->stringForQuery("select echo('string', null)"), "none");
  EXPECT_EQ(db->dataForQuery("select echo('data', x'0102')"), (LiteData{1, 2, 9}));
  // An empty blob arrives as none, and an empty result is a zero-length blob, not NULL.
  EXPECT_EQ(db->stringForQuery("select quote(echo('data', x''))"), "X''");
  EXPECT_EQ(db->stringForQuery("select quote(echo('null', 1))"), "NULL");
  // A callback that sets nothing yields NULL.
  EXPECT_EQ(db->stringForQuery("select quote(echo('nothing', 1))"), "NULL");
}

TEST_F(AdditionsTest, AFunctionReportsItsError) {
  db->makeFunctionNamedArgumentsBlock(
      "fail", 1, [](sqlite3_context* context, int, sqlite3_value** argv) {
        switch (LiteDatabase::valueInt(argv[0])) {
          case 0:
            LiteDatabase::resultErrorContext("the sound is missing", context);
            break;
          case 1:
            LiteDatabase::resultErrorCodeContext(SQLITE_CONSTRAINT, context);
            break;
          case 2:
            LiteDatabase::resultErrorTooBigInContext(context);
            break;
          case 3:
            LiteDatabase::resultErrorNoMemoryInContext(context);
            break;
          default:
            throw std::runtime_error("thrown from the block");
        }
      });
  struct Case {
    int which;
    int code;
    const char* message;
  };
  for (const Case& c :
       {Case{0, SQLITE_ERROR, "the sound is missing"},
        Case{1, SQLITE_CONSTRAINT, "constraint failed"},
        Case{2, SQLITE_TOOBIG, "string or blob too big"}, Case{3, SQLITE_NOMEM, "out of memory"},
        Case{4, SQLITE_ERROR, "thrown from the block"}}) {
    SCOPED_TRACE(c.which);
    std::optional<LiteError> error;
    EXPECT_FALSE(db->executeUpdateWithErrorAndBindings("update tb_Button set Title = fail(?)",
                                                       &error, c.which));
    EXPECT_EQ(error, (LiteError{"LiteDatabase", c.code, c.message}));
    log.take();
  }
  EXPECT_EQ(db->stringForQuery("select Title from tb_Button where ButtonId = 'b1'"), "Applause");
}

TEST_F(AdditionsTest, FunctionsBelongToTheOpenHandle) {
  const auto answer = [](sqlite3_context* context, int, sqlite3_value**) {
    LiteDatabase::resultIntContext(42, context);
  };
  db->makeFunctionNamedArgumentsBlock("answer", 0, answer);
  EXPECT_EQ(db->intForQuery("select answer()"), 42);
  db->close();
  // Closed: nothing is registered and nothing touches the missing handle.
  db->makeFunctionNamedArgumentsBlock("answer", 0, answer);
  ASSERT_TRUE(db->open());
  EXPECT_TRUE(db->validateSQLError("select 1", nullptr));
  EXPECT_FALSE(db->validateSQLError("select answer()", nullptr));
  // Registered again under the same name, the new block replaces the old.
  db->makeFunctionNamedArgumentsBlock("answer", 0, answer);
  db->makeFunctionNamedArgumentsBlock("answer", 0,
                                      [](sqlite3_context* context, int, sqlite3_value**) {
                                        LiteDatabase::resultIntContext(43, context);
                                      });
  EXPECT_EQ(db->intForQuery("select answer()"), 43);
}

// --- Dates stored as text --------------------------------------------------------------

TEST_F(AdditionsTest, StoreableDatesAreGMTWhateverTheMachinesZone) {
  // Fourteen hours ahead of GMT: its local date is already the next day.
  const char* oldZone = getenv("TZ");
  const std::string saved = oldZone ? oldZone : "";
  setenv("TZ", "Pacific/Kiritimati", 1);
  tzset();

  auto formatter = LiteDatabase::storeableDateFormat("yyyy-MM-dd");
  ASSERT_TRUE(formatter);
  EXPECT_EQ(formatter->timeZoneID(), "GMT");
  EXPECT_EQ(formatter->localeID(), "en_US");
  const LiteDate lateEvening = liteDateWithTimeIntervalSince1970(1700000000 + 20 * 3600);
  EXPECT_EQ(formatter->stringFromDate(liteDateWithTimeIntervalSince1970(23.5 * 3600)),
            "1970-01-01");
  EXPECT_EQ(formatter->stringFromDate(lateEvening), "2023-11-15");
  EXPECT_EQ(formatter->dateFromString("1970-01-02"), liteDateWithTimeIntervalSince1970(86400));

  // The locale names months and weekdays in English.
  auto named = LiteDatabase::storeableDateFormat("EEEE d MMMM yyyy HH:mm:ss");
  ASSERT_TRUE(named);
  EXPECT_EQ(named->stringFromDate(liteDateWithTimeIntervalSince1970(0)),
            "Thursday 1 January 1970 00:00:00");

  if (oldZone) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST_F(AdditionsTest, AFormatterStoresAndReadsDatesAsText) {
  EXPECT_FALSE(db->hasDateFormatter());
  EXPECT_EQ(db->stringFromDate(liteDateWithTimeIntervalSince1970(0)), std::nullopt);
  EXPECT_EQ(db->dateFromString("1970-01-01"), std::nullopt);

  db->setDateFormat(LiteDatabase::storeableDateFormat("yyyy-MM-dd HH:mm:ss"));
  ASSERT_TRUE(db->hasDateFormatter());
  const LiteDate when = liteDateWithTimeIntervalSince1970(1700000000);
  ASSERT_TRUE(db->executeStatements("create table d(w)"));
  ASSERT_TRUE(db->executeUpdate("insert into d values (?)", when));
  EXPECT_EQ(engineScalar(*db, "select w || ':' || typeof(w) from d"), "2023-11-14 22:13:20:text");
  EXPECT_EQ(db->dateForQuery("select w from d"), when);
  auto rs = db->executeQuery("select w, 'not a date', null from d");
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->dateForColumn("w"), when);
  EXPECT_EQ(rs->dateForColumnIndex(1), std::nullopt);  // strict: the whole text must match
  EXPECT_EQ(rs->dateForColumnIndex(2), std::nullopt);
  rs->close();
  EXPECT_EQ(db->dateFromString("2023-11-14 22:13:20 and more"), std::nullopt);

  // Without it again, dates are seconds since 1970.
  db->setDateFormat(nullptr);
  ASSERT_TRUE(db->executeUpdate("delete from d"));
  ASSERT_TRUE(db->executeUpdate("insert into d values (?)", when));
  EXPECT_EQ(engineScalar(*db, "select typeof(w) from d"), "real");
  EXPECT_EQ(db->dateForQuery("select w from d"), when);
}

TEST_F(AdditionsTest, AnUnknownTimeZoneGivesNoFormatter) {
  EXPECT_EQ(LiteDateFormatter::formatterWithPattern("yyyy", "No/Such_Zone", "en_US"), nullptr);
}

// --- Keys, versions and health ---------------------------------------------------------

TEST_F(AdditionsTest, KeysAreNotSupported) {
  EXPECT_FALSE(db->setKey("secret"));
  EXPECT_FALSE(db->setKeyWithData(LiteData{1, 2, 3}));
  EXPECT_FALSE(db->rekey("other"));
  EXPECT_FALSE(db->rekeyWithData(LiteData{}));
  db->close();
  LiteDatabase again(dir.file("data.sqlite"));
  ASSERT_TRUE(again.open());
  EXPECT_EQ(again.stringForQuery("select Title from tb_Button where ButtonNo = 7"), "Applause");
}

TEST_F(AdditionsTest, VersionsAndHealth) {
  EXPECT_EQ(LiteDatabase::LiteDBUserVersion(), "2.7.5");
  EXPECT_EQ(LiteDatabase::LiteDBVersion(), 0x275);
  EXPECT_EQ(LiteDatabase::LiteDBVersion(), 629);
  EXPECT_EQ(LiteDatabase::sqliteLibVersion(), sqlite3_libversion());
  EXPECT_TRUE(LiteDatabase::isSQLiteThreadSafe());
  EXPECT_TRUE(db->goodConnection());
  EXPECT_FALSE(db->hasOpenResultSets());
  db->close();
  EXPECT_FALSE(db->goodConnection());
  EXPECT_THAT(log.take(), IsEmpty());

  EXPECT_EQ(db->busyRetryTimeout(), -1);
  db->setBusyRetryTimeout(100);
  EXPECT_THAT(log.take(), ElementsAre("-[LiteDatabase busyRetryTimeout]:329",
                                      "LiteDB: busyRetryTimeout no longer works, please use "
                                      "maxBusyRetryTimeInterval",
                                      "-[LiteDatabase setBusyRetryTimeout:]:336",
                                      "LiteDB: setBusyRetryTimeout does nothing, please use "
                                      "setMaxBusyRetryTimeInterval:"));
  EXPECT_EQ(db->maxBusyRetryTimeInterval(), 2.0);
}
