// The connection: construction, opening, closing, guards, errors and bookkeeping.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(LiteDatabaseTest, NewConnectionHasTheDefaultSettingsAndTouchesNoFile) {
  ScratchDir dir;
  const std::string path = dir.file("library.sqlite");
  auto db = LiteDatabase::databaseWithPath(path);
  EXPECT_TRUE(db->logsErrors());
  EXPECT_FALSE(db->crashOnErrors());
  EXPECT_FALSE(db->traceExecution());
  EXPECT_FALSE(db->shouldCacheStatements());
  EXPECT_FALSE(db->checkedOut());
  EXPECT_DOUBLE_EQ(db->maxBusyRetryTimeInterval(), 2.0);
  EXPECT_FALSE(db->isOpen());
  EXPECT_FALSE(db->isInTransaction());
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_EQ(db->sqliteHandle(), nullptr);
  EXPECT_EQ(db->databasePath(), path);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(LiteDatabaseTest, EngineFileNameFollowsThePath) {
  struct Case {
    std::optional<std::string> path;
    std::string sqlitePath;
  };
  const Case cases[] = {
      {std::nullopt, ":memory:"},
      {std::string(), ""},
      {std::string("/tmp/some dir/数据.sqlite"), "/tmp/some dir/数据.sqlite"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sqlitePath);
    EXPECT_EQ(LiteDatabase(c.path).sqlitePath(), c.sqlitePath);
  }
  EXPECT_EQ(LiteDatabase().sqlitePath(), ":memory:");
}

TEST(LiteDatabaseTest, UrlAndPathConvertBothWays) {
  auto db = LiteDatabase::databaseWithPath(std::string("/tmp/a b/数.sqlite"));
  EXPECT_EQ(db->databaseURL(), "file:///tmp/a%20b/%E6%95%B0.sqlite");
  auto fromUrl = LiteDatabase::databaseWithURL(db->databaseURL());
  EXPECT_EQ(fromUrl->databasePath(), "/tmp/a b/数.sqlite");
  EXPECT_EQ(LiteDatabase::databaseWithPath(std::nullopt)->databaseURL(), std::nullopt);
  EXPECT_EQ(LiteDatabase::databaseWithURL(std::nullopt)->databasePath(), std::nullopt);
}

TEST(LiteDatabaseTest, OpenCreatesTheFileAndOpeningAgainChangesNothing) {
  ScratchDir dir;
  const std::string path = dir.file("data.sqlite");
  auto db = LiteDatabase::databaseWithPath(path);
  ASSERT_TRUE(db->open());
  EXPECT_TRUE(db->isOpen());
  EXPECT_TRUE(std::filesystem::exists(path));
  sqlite3* handle = db->sqliteHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(db->open());
  EXPECT_EQ(db->sqliteHandle(), handle);
  EXPECT_TRUE(db->close());
  EXPECT_FALSE(db->isOpen());
  EXPECT_EQ(db->sqliteHandle(), nullptr);
}

TEST(LiteDatabaseTest, NoPathIsPrivateMemoryAndEmptyPathIsPrivateTemporary) {
  for (const std::optional<std::string>& path :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    SCOPED_TRACE(path ? "empty path" : "no path");
    auto first = LiteDatabase::databaseWithPath(path);
    auto second = LiteDatabase::databaseWithPath(path);
    ASSERT_TRUE(first->open());
    ASSERT_TRUE(second->open());
    ASSERT_TRUE(first->executeStatements("create table t(x); insert into t values (1)"));
    // Each connection has a database of its own.
    EXPECT_EQ(engineScalar(*second, "select count(*) from sqlite_master"), "0");
    EXPECT_EQ(engineScalar(*first, "select count(*) from t"), "1");
    // Neither lives in a named file.
    EXPECT_STREQ(sqlite3_db_filename(first->sqliteHandle(), "main"), "");
  }
}

// However an open fails, the connection stays closed but keeps the engine's handle; it
// refuses statements, and both close and the next open release that handle.
TEST(LiteDatabaseTest, FailedOpenLogsAndKeepsTheHandleUntilCloseOrTheNextOpen) {
  ScratchDir dir;
  struct Case {
    const char* name;
    std::optional<std::string> path;
    std::function<bool(LiteDatabase&)> open;
    std::string line;
  };
  const Case cases[] = {
      {"folder missing", dir.file("missing/folder/data.sqlite"),
       [](LiteDatabase& db) { return db.open(); }, "error opening!: 14"},
      {"file missing and no create flag", dir.file("data.sqlite"),
       [](LiteDatabase& db) { return db.openWithFlags(SQLITE_OPEN_READWRITE); },
       "error opening!: 14"},
      {"unknown vfs", std::nullopt,
       [](LiteDatabase& db) {
         return db.openWithFlagsVfs(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                    std::string("no-such-vfs"));
       },
       "error opening!: 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    auto db = LiteDatabase::databaseWithPath(c.path);
    EXPECT_FALSE(c.open(*db));
    EXPECT_THAT(log.take(), ElementsAre(c.line));
    EXPECT_FALSE(db->isOpen());
    EXPECT_NE(db->sqliteHandle(), nullptr);
    if (c.path) {
      EXPECT_FALSE(std::filesystem::exists(*c.path));
    }
    EXPECT_FALSE(db->executeStatements("create table t(x)"));
    EXPECT_EQ(db->executeQuery("select 1"), nullptr);
    EXPECT_THAT(log.take(), ElementsAre(notOpenLine(*db), notOpenLine(*db)));
    EXPECT_TRUE(db->close());
    EXPECT_EQ(db->sqliteHandle(), nullptr);
    EXPECT_THAT(log.take(), IsEmpty());

    // Failed once more, then opened where it can succeed.
    EXPECT_FALSE(c.open(*db));
    EXPECT_THAT(log.take(), ElementsAre(c.line));
    if (c.path) std::filesystem::create_directories(std::filesystem::path(*c.path).parent_path());
    EXPECT_TRUE(db->openWithFlagsVfs(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, std::nullopt));
    EXPECT_TRUE(db->isOpen());
    EXPECT_TRUE(db->executeUpdate("create table t(x)"));
    EXPECT_THAT(log.lines(), IsEmpty());
  }
}

TEST(LiteDatabaseTest, ReadOnlyOpenRefusesWrites) {
  ScratchDir dir;
  const std::string path = dir.file("data.sqlite");
  {
    auto db = LiteDatabase::databaseWithPath(path);
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeUpdate("create table t(x)"));
  }
  LogCapture log;
  auto readOnly = LiteDatabase::databaseWithPath(path);
  ASSERT_TRUE(readOnly->openWithFlags(SQLITE_OPEN_READONLY));
  EXPECT_FALSE(readOnly->executeUpdate("insert into t values (1)"));
  EXPECT_EQ(readOnly->lastErrorCode(), SQLITE_READONLY);
}

TEST(LiteDatabaseTest, CloseOfANeverOpenedConnectionReturnsTrue) {
  LogCapture log;
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  EXPECT_TRUE(db->close());
  EXPECT_TRUE(db->close());
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(LiteDatabaseTest, CloseFinalisesLeakedStatementsAndLogsEachOne) {
  LogCapture log;
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(db->open());
  sqlite3_stmt* leaked[2] = {nullptr, nullptr};
  ASSERT_EQ(sqlite3_prepare_v2(db->sqliteHandle(), "select 1", -1, &leaked[0], nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(db->sqliteHandle(), "select 2", -1, &leaked[1], nullptr), SQLITE_OK);
  EXPECT_TRUE(db->close());
  EXPECT_THAT(log.lines(), ElementsAre("Closing leaked statement", "Closing leaked statement"));
  EXPECT_EQ(db->sqliteHandle(), nullptr);
  EXPECT_FALSE(db->isOpen());
}

TEST(LiteDatabaseTest, StatementHeldPastCloseIsNotFinalisedTwice) {
  LogCapture log;
  std::shared_ptr<LiteStatement> kept;
  {
    auto db = LiteDatabase::databaseWithPath(std::nullopt);
    ASSERT_TRUE(db->open());
    db->setShouldCacheStatements(true);
    auto rs = db->executeQuery("select 1");
    ASSERT_TRUE(rs);
    kept = rs->statement();
    // Switching the cache off and closing the result set leaves `kept` the only owner.
    db->setShouldCacheStatements(false);
    rs->close();
    ASSERT_NE(kept->statement(), nullptr);
    EXPECT_TRUE(db->close());
  }
  EXPECT_THAT(log.lines(), ElementsAre("Closing leaked statement"));
  EXPECT_EQ(kept->statement(), nullptr);
  kept->reset();
  kept.reset();  // under AddressSanitizer a second finalise would be a use after free
}

TEST(LiteDatabaseTest, HadErrorFollowsTheEnginesLastResult) {
  LogCapture log;
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(db->open());
  EXPECT_EQ(db->lastErrorCode(), SQLITE_OK);
  EXPECT_FALSE(db->hadError());

  ASSERT_TRUE(db->executeUpdate("create table t(id integer primary key)"));
  EXPECT_FALSE(db->hadError());

  auto rs = db->executeQuery("select 1 union all select 2");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(db->lastErrorCode(), SQLITE_ROW);
  EXPECT_FALSE(db->hadError());
  EXPECT_TRUE(rs->hasAnotherRow());
  ASSERT_TRUE(rs->next());
  EXPECT_FALSE(rs->next());
  EXPECT_FALSE(db->hadError());
  EXPECT_FALSE(rs->hasAnotherRow());

  EXPECT_FALSE(db->executeUpdate("select * from nope"));
  EXPECT_EQ(db->lastErrorCode(), SQLITE_ERROR);
  EXPECT_TRUE(db->hadError());

  ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
  EXPECT_FALSE(db->executeUpdate("insert into t values (1)"));
  EXPECT_EQ(db->lastErrorCode(), SQLITE_CONSTRAINT);
  EXPECT_EQ(db->lastExtendedErrorCode(), SQLITE_CONSTRAINT_PRIMARYKEY);
  EXPECT_TRUE(db->hadError());
}

TEST(LiteDatabaseTest, ErrorObjectsCarryDomainCodeAndMessage) {
  LogCapture log;
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(db->open());
  EXPECT_EQ(db->errorWithMessage("anything"), (LiteError{"LiteDatabase", 0, "anything"}));
  EXPECT_FALSE(db->executeQuery("select * from nope"));
  EXPECT_EQ(db->lastErrorMessage(), "no such table: nope");
  EXPECT_EQ(db->lastError(), (LiteError{"LiteDatabase", 1, "no such table: nope"}));
  EXPECT_EQ(db->errorWithMessage("mine"), (LiteError{"LiteDatabase", 1, "mine"}));
}

TEST(LiteDatabaseTest, WithoutAHandleErrorsSayMisuseNotOutOfMemory) {
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  EXPECT_EQ(db->lastErrorCode(), SQLITE_MISUSE);
  EXPECT_EQ(db->lastError(), (LiteError{"LiteDatabase", 21, "bad parameter or other API misuse"}));
  EXPECT_TRUE(db->hadError());
}

TEST(LiteDatabaseTest, NotOpenGuardRefusesEveryStatement) {
  LogCapture log;
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  const std::string line = notOpenLine(*db);
  EXPECT_EQ(db->executeQueryWithArgumentsInArray("select 1", {}), nullptr);
  EXPECT_FALSE(db->executeUpdateWithArgumentsInArray("create table t(x)", {}));
  EXPECT_FALSE(db->executeStatements("create table t(x)"));
  std::optional<LiteError> error;
  EXPECT_EQ(db->executeQueryValuesError("select 1", {}, &error), nullptr);
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 21, "bad parameter or other API misuse"}));
  EXPECT_THAT(log.take(), ElementsAre(line, line, line, line));

  // Closed again after being open: the same.
  ASSERT_TRUE(db->open());
  db->close();
  EXPECT_FALSE(db->executeUpdate("create table t(x)"));
  EXPECT_THAT(log.take(), ElementsAre(line));

  // Setting the flag by hand does not hand the engine a missing handle.
  db->setIsOpen(true);
  EXPECT_EQ(db->executeQuery("select 1"), nullptr);
  EXPECT_THAT(log.take(), ElementsAre(line));
  EXPECT_FALSE(db->databaseExists());
}

TEST(LiteDatabaseTest, DescriptionNamesClassAndAddress) {
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  char expected[64];
  std::snprintf(expected, sizeof expected, "<LiteDatabase: %p>",
                static_cast<const void*>(db.get()));
  EXPECT_EQ(db->description(), expected);
  LogCapture log;
  db->warnInUse();
  EXPECT_THAT(log.lines(),
              ElementsAre(std::string("The LiteDatabase ") + expected + " is currently in use."));
}

TEST(LiteDatabaseTest, LastInsertRowIdAndChanges) {
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  EXPECT_EQ(db->lastInsertRowId(), 0);
  EXPECT_EQ(db->changes(), 0);
  ASSERT_TRUE(db->open());
  ASSERT_TRUE(
      db->executeStatements("create table t(id integer primary key, x); "
                            "insert into t values (41, 'a'); insert into t values (42, 'b')"));
  EXPECT_EQ(db->lastInsertRowId(), 42);
  ASSERT_TRUE(db->executeUpdate("update t set x = 'c'"));
  EXPECT_EQ(db->changes(), 2);
  ASSERT_TRUE(db->executeUpdate("insert into t(x) values ('d')"));
  EXPECT_EQ(db->lastInsertRowId(), 43);
  EXPECT_EQ(db->changes(), 1);
}

TEST(LiteDatabaseTest, InterruptNeedsAHandle) {
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  EXPECT_FALSE(db->interrupt());
  ASSERT_TRUE(db->open());
  EXPECT_TRUE(db->interrupt());
}

// The in-use guard catches re-entry, such as an SQL function that calls back into the
// connection running it.
namespace {

struct Reentry {
  LiteDatabase* db;
  bool queryRefused = false;
  bool updateRefused = false;
  std::int64_t rowId = -1;
  int changes = -1;
};

void reenter(sqlite3_context* context, int, sqlite3_value**) {
  auto* r = static_cast<Reentry*>(sqlite3_user_data(context));
  r->queryRefused = r->db->executeQuery("select 1") == nullptr;
  r->updateRefused = !r->db->executeUpdate("insert into t values (99)");
  r->rowId = r->db->lastInsertRowId();
  r->changes = r->db->changes();
  sqlite3_result_int(context, 7);
}

}  // namespace

TEST(LiteDatabaseTest, InUseGuardRefusesReentryAndIsClearedAfterwards) {
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(db->open());
  ASSERT_TRUE(db->executeUpdate("create table t(x)"));
  Reentry r{db.get()};
  ASSERT_EQ(sqlite3_create_function(db->sqliteHandle(), "reenter", 0, SQLITE_UTF8, &r, reenter,
                                    nullptr, nullptr),
            SQLITE_OK);
  LogCapture log;
  const std::string line = inUseLine(*db);

  EXPECT_TRUE(db->executeUpdate("insert into t values (reenter())"));
  EXPECT_TRUE(r.queryRefused);
  EXPECT_TRUE(r.updateRefused);
  EXPECT_EQ(r.rowId, 0);
  EXPECT_EQ(r.changes, 0);
  EXPECT_THAT(log.take(), ElementsAre(line, line, line, line));
  EXPECT_EQ(engineScalar(*db, "select group_concat(x) from t"), "7");

  // Stepping a result set is outside the guard: the function may call back then...
  r = Reentry{db.get()};
  auto rs = db->executeQuery("select reenter()");
  ASSERT_TRUE(rs->next());
  EXPECT_FALSE(r.queryRefused);
  EXPECT_FALSE(r.updateRefused);
  EXPECT_THAT(log.take(), IsEmpty());
  // ...and updates run while a result set is being read.
  EXPECT_TRUE(db->executeUpdate("insert into t values (8)"));
  EXPECT_EQ(db->lastInsertRowId(), 3);
  EXPECT_EQ(engineScalar(*db, "select group_concat(x) from t"), "7,99,8");
}

// These lines report misuse or engine trouble the caller cannot see otherwise, so
// switching logsErrors off must not silence them.
TEST(LiteDatabaseTest, SomeMessagesAreWrittenWhateverLogsErrorsSays) {
  ScratchDir dir;
  struct Case {
    const char* name;
    std::function<std::vector<std::string>(LiteDatabase& db)> run;  // gives the lines expected
  };
  const Case cases[] = {
      {"error opening",
       [&](LiteDatabase& db) {
         db.close();
         LiteDatabase missing(dir.file("missing/data.sqlite"));
         missing.setLogsErrors(false);
         EXPECT_FALSE(missing.open());
         return std::vector<std::string>{"error opening!: 14"};
       }},
      {"not open",
       [](LiteDatabase& db) {
         db.close();
         EXPECT_EQ(db.executeQuery("select 1"), nullptr);
         EXPECT_FALSE(db.executeUpdate("select 1"));
         return std::vector<std::string>{notOpenLine(db), notOpenLine(db)};
       }},
      {"in use",
       [](LiteDatabase& db) {
         Reentry r{&db};
         EXPECT_EQ(sqlite3_create_function(db.sqliteHandle(), "reenter", 0, SQLITE_UTF8, &r,
                                           reenter, nullptr, nullptr),
                   SQLITE_OK);
         EXPECT_TRUE(db.executeUpdate("insert into t values (reenter())"));
         return std::vector<std::string>(4, inUseLine(db));
       }},
      {"closing leaked statement",
       [](LiteDatabase& db) {
         sqlite3_stmt* leaked = nullptr;
         EXPECT_EQ(sqlite3_prepare_v2(db.sqliteHandle(), "select 1", -1, &leaked, nullptr),
                   SQLITE_OK);
         EXPECT_TRUE(db.close());
         return std::vector<std::string>{"Closing leaked statement"};
       }},
      {"named parameter missing in a query",
       [](LiteDatabase& db) {
         EXPECT_NE(db.executeQueryWithParameterDictionary("select :a", {{"a", 1}, {"b", 2}}),
                   nullptr);
         return std::vector<std::string>{"Could not find index for b"};
       }},
      {"step failure of a result set",
       [](LiteDatabase& db) {
         auto rs = db.executeQuery("select abs(-9223372036854775808)");
         EXPECT_FALSE(rs->next());
         return std::vector<std::string>{"Error calling sqlite3_step (1: integer overflow) rs"};
       }},
      {"next after the connection closed",
       [](LiteDatabase& db) {
         auto rs = db.executeQuery("select 1");
         db.close();
         EXPECT_FALSE(rs->next());
         return std::vector<std::string>{
             "Error calling sqlite3_step (21: bad parameter or other API misuse) rs"};
       }},
      {"column names and whole rows",
       [](LiteDatabase& db) {
         auto rs = db.executeQuery("select 1 as x");
         EXPECT_EQ(rs->resultDictionary(), std::nullopt);
         EXPECT_EQ(rs->resultDict(), std::nullopt);
         EXPECT_TRUE(rs->next());
         EXPECT_EQ(rs->intForColumn("Y"), 0);
         return std::vector<std::string>{"Warning: There seem to be no columns in this set.",
                                         "Warning: There seem to be no columns in this set.",
                                         "Warning: I could not find the column named 'y'."};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto db = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeStatements("create table if not exists t(x)"));
    db->setLogsErrors(false);
    LogCapture log;
    const std::vector<std::string> expected = c.run(*db);
    EXPECT_EQ(log.lines(), expected);
  }
}

TEST(LiteDatabaseTest, InUseFlagIsClearedOnEveryFailure) {
  LogCapture log;
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(db->open());
  ASSERT_TRUE(db->executeUpdate("create table t(x unique)"));
  EXPECT_EQ(db->executeQuery("select * from nope"), nullptr);      // prepare fails
  EXPECT_EQ(db->executeQuery("select ?"), nullptr);                // bind count
  EXPECT_FALSE(db->executeUpdate("insert into nope values (1)"));  // prepare fails
  EXPECT_FALSE(db->executeUpdate("insert into t values (?)"));     // bind count
  EXPECT_TRUE(db->executeUpdate("insert into t values (1)"));
  EXPECT_FALSE(db->executeUpdate("insert into t values (1)"));  // step fails
  EXPECT_FALSE(db->executeUpdate("select 1"));                  // a row
  log.take();
  EXPECT_TRUE(db->executeUpdate("insert into t values (2)"));
  EXPECT_NE(db->executeQuery("select 1"), nullptr);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(LiteDatabaseTest, DestroyingAConnectionClosesIt) {
  ScratchDir dir;
  const std::string path = dir.file("data.sqlite");
  {
    auto db = LiteDatabase::databaseWithPath(path);
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeStatements("pragma journal_mode=wal; create table t(x)"));
  }
  // The last connection closing a WAL database removes its -wal file.
  EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
}

TEST(LiteStatementTest, ResetCloseAndDescription) {
  auto db = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(db->open());
  sqlite3_stmt* raw = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db->sqliteHandle(), "select 1", -1, &raw, nullptr), SQLITE_OK);
  LiteStatement statement;
  statement.setStatement(raw);
  statement.setQuery("select 1");
  statement.setUseCount(3);
  statement.setInUse(true);
  char expected[96];
  std::snprintf(expected, sizeof expected, "<LiteStatement: %p> 3 hit(s) for query select 1",
                static_cast<const void*>(&statement));
  EXPECT_EQ(statement.description(), expected);

  ASSERT_EQ(sqlite3_step(raw), SQLITE_ROW);
  statement.reset();
  EXPECT_FALSE(statement.inUse());
  EXPECT_EQ(sqlite3_stmt_busy(raw), 0);  // reset back to the start
  statement.setInUse(true);
  statement.close();
  EXPECT_FALSE(statement.inUse());
  EXPECT_EQ(statement.statement(), nullptr);
  EXPECT_EQ(sqlite3_next_stmt(db->sqliteHandle(), nullptr), nullptr);  // finalised
  statement.close();                                                   // harmless the second time
  statement.reset();
}
