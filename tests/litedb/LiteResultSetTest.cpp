// Result sets: stepping, closing, column lookup and every getter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"
#include "litedb/LiteStatement.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ResultSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(
        db->executeStatements("create table tb_Button(ButtonId text, ButtonNo integer, Title text, "
                              "Volume real, Icon blob);"
                              "insert into tb_Button values ('b1', 1, '掌声', 0.5, x'0102');"
                              "insert into tb_Button values ('b2', 2, null, null, x'')"));
  }

  ScratchDir dir;
  std::shared_ptr<LiteDatabase> db;
  LogCapture log;
};

}  // namespace

TEST_F(ResultSetTest, StepsThroughTheRowsAndClosesAtTheEnd) {
  auto rs = db->executeQueryWithArgumentsInArray("select * from tb_Button order by ButtonNo", {});
  ASSERT_TRUE(rs);
  EXPECT_TRUE(db->hasOpenResultSets());
  EXPECT_EQ(rs->query(), "select * from tb_Button order by ButtonNo");
  EXPECT_TRUE(rs->statement()->inUse());
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->stringForColumn("buttonId"), "b1");
  EXPECT_EQ(rs->intForColumn("buttonNo"), 1);
  EXPECT_EQ(rs->stringForColumn("title"), "掌声");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->intForColumn("BUTTONNO"), 2);
  EXPECT_FALSE(rs->next());
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_EQ(rs->statement(), nullptr);
  EXPECT_EQ(rs->parentDB(), nullptr);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(ResultSetTest, QueryWithoutRowsClosesOnTheFirstNext) {
  auto rs = db->executeQuery("select * from tb_Button where ButtonNo > 40");
  std::optional<LiteError> error;
  EXPECT_FALSE(rs->nextWithError(&error));
  EXPECT_EQ(error, std::nullopt);
  EXPECT_FALSE(db->hasOpenResultSets());
}

TEST_F(ResultSetTest, ColumnsAreFoundWithoutRegardToCase) {
  auto rs = db->executeQuery("select ButtonNo, Title as \"ÄrgerTitel\" from tb_Button");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->columnCount(), 2);
  EXPECT_EQ(rs->columnIndexForName("BUTTONno"), 0);
  EXPECT_EQ(rs->columnIndexForName("ärgertitel"), 1);
  EXPECT_EQ(rs->columnNameForIndex(1), "ÄrgerTitel");
  EXPECT_EQ(rs->columnNameForIndex(2), std::nullopt);
  EXPECT_EQ(rs->columnNameToIndexMap(),
            (std::map<std::string, int>{{"buttonno", 0}, {"ärgertitel", 1}}));
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(ResultSetTest, UnknownColumnWarnsWithTheLowerCasedNameAndReadsAsNothing) {
  auto rs = db->executeQuery("select * from tb_Button");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->columnIndexForName("XYZ"), -1);
  EXPECT_EQ(rs->intForColumn("XYZ"), 0);
  EXPECT_EQ(rs->stringForColumn("Xyz"), std::nullopt);
  EXPECT_EQ(rs->objectForColumn("xyz"), LiteValue());
  const std::string warning = "Warning: I could not find the column named 'xyz'.";
  EXPECT_THAT(log.lines(), ElementsAre(warning, warning, warning, warning));
  EXPECT_EQ(db->lastErrorCode(), SQLITE_ROW);  // the engine was not asked for column -1
}

TEST_F(ResultSetTest, NamesOfEqualLengthOrSharedPrefixesFindTheirOwnColumn) {
  // Past 16 columns the lookup takes another path; both must give the same answers.
  std::string wide = "select 1 as ab, 2 as AC, 3 as abc, 4 as \"Äb\", 5 as b";
  for (int i = 5; i < 20; ++i) wide += ", " + std::to_string(i + 1) + " as Col" + std::to_string(i);
  struct Case {
    const char* name;
    int index;
  };
  const Case cases[] = {{"ab", 0}, {"AB", 0}, {"ac", 1}, {"aC", 1}, {"abc", 2},   {"ABC", 2},
                        {"äb", 3}, {"ÄB", 3}, {"b", 4},  {"a", -1}, {"abcd", -1}, {"äc", -1}};
  for (const std::string& sql : {std::string("select 1 as ab, 2 as AC, 3 as abc, 4 as \"Äb\", "
                                             "5 as b"),
                                 wide}) {
    SCOPED_TRACE(sql);
    auto rs = db->executeQuery(sql);
    ASSERT_TRUE(rs->next());
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(rs->columnIndexForName(c.name), c.index);
      EXPECT_EQ(rs->intForColumn(c.name), c.index < 0 ? 0 : c.index + 1);
    }
    if (sql == wide) {
      EXPECT_EQ(rs->intForColumn("COL19"), 20);
    }
  }
  log.take();  // the misses warn, as tested above
}

TEST_F(ResultSetTest, DuplicateColumnNamesResolveToTheLastColumn) {
  struct Case {
    const char* sql;
    LiteDictionary dictionary;
  };
  const Case cases[] = {
      {"select 1 as id, 2 as id", {{"id", 2LL}}},
      {"select 1 as id, 2 as ID", {{"id", 1LL}, {"ID", 2LL}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    auto rs = db->executeQuery(c.sql);
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->intForColumn("id"), 2);
    EXPECT_EQ(rs->intForColumn("Id"), 2);
    EXPECT_EQ(rs->intForColumnIndex(0), 1);
    EXPECT_EQ(rs->resultDictionary(), c.dictionary);
    EXPECT_EQ(rs->resultDict(), (LiteDictionary{{"id", 2LL}}));
  }
}

TEST_F(ResultSetTest, TypedGettersByIndex) {
  auto rs = db->executeQuery(
      "select -1, 3000000000, 2.75, 'text', x'00ff', null, '12abc', 1700000000.5, 0.0 ");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->intForColumnIndex(0), -1);
  EXPECT_EQ(rs->longForColumnIndex(1), 3000000000);
  EXPECT_EQ(rs->longLongIntForColumnIndex(1), 3000000000LL);
  EXPECT_EQ(rs->intForColumnIndex(1), static_cast<int>(3000000000LL & 0xffffffff));
  EXPECT_EQ(rs->unsignedLongLongIntForColumnIndex(0), 18446744073709551615ull);
  EXPECT_TRUE(rs->boolForColumnIndex(0));
  EXPECT_FALSE(rs->boolForColumnIndex(5));
  EXPECT_DOUBLE_EQ(rs->doubleForColumnIndex(2), 2.75);
  EXPECT_EQ(rs->intForColumnIndex(2), 2);
  EXPECT_EQ(rs->stringForColumnIndex(3), "text");
  EXPECT_EQ(rs->stringForColumnIndex(0), "-1");
  EXPECT_STREQ(rs->UTF8StringForColumnIndex(3), "text");
  EXPECT_EQ(rs->intForColumnIndex(6), 12);
  EXPECT_EQ(rs->dataForColumnIndex(4), (LiteData{0x00, 0xff}));
  auto noCopy = rs->dataNoCopyForColumnIndex(4);
  ASSERT_TRUE(noCopy);
  EXPECT_EQ(LiteData(noCopy->begin(), noCopy->end()), (LiteData{0x00, 0xff}));
  EXPECT_EQ(rs->dateForColumnIndex(7), liteDateWithTimeIntervalSince1970(1700000000.5));
  EXPECT_EQ(rs->dateForColumnIndex(8), liteDateWithTimeIntervalSince1970(0));
  EXPECT_TRUE(rs->columnIndexIsNull(5));
  EXPECT_FALSE(rs->columnIndexIsNull(3));
  EXPECT_FALSE(rs->boolForColumnIndex(8));
}

TEST_F(ResultSetTest, EveryByNameGetterFindsItsColumnWithoutRegardToCase) {
  auto rs = db->executeQuery(
      "select 1 as First, -5000000000 as Big, 2.5 as Real, x'0a0b' as Bytes, 'txt' as Words");
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->intForColumn("first"), 1);
  EXPECT_EQ(rs->longForColumn("BIG"), -5000000000);
  EXPECT_EQ(rs->longLongIntForColumn("big"), -5000000000LL);
  EXPECT_EQ(rs->unsignedLongLongIntForColumn("Big"),
            static_cast<unsigned long long>(-5000000000LL));
  EXPECT_TRUE(rs->boolForColumn("first"));
  EXPECT_EQ(rs->doubleForColumn("real"), 2.5);
  EXPECT_EQ(rs->stringForColumn("words"), "txt");
  EXPECT_STREQ(rs->UTF8StringForColumn("WORDS"), "txt");
  EXPECT_STREQ(rs->UTF8StringForColumnName("Words"), "txt");
  EXPECT_EQ(rs->dataForColumn("bytes"), (LiteData{0x0a, 0x0b}));
  auto view = rs->dataNoCopyForColumn("BYTES");
  ASSERT_TRUE(view);
  EXPECT_EQ(LiteData(view->begin(), view->end()), (LiteData{0x0a, 0x0b}));
  EXPECT_EQ(rs->dateForColumn("real"), liteDateWithTimeIntervalSince1970(2.5));
  EXPECT_FALSE(rs->columnIsNull("words"));
  EXPECT_EQ(rs->objectForColumn("big"), LiteValue(-5000000000LL));
  EXPECT_EQ(rs->objectForColumnName("real"), LiteValue(2.5));
  EXPECT_EQ(rs->objectForKeyedSubscript("first"), LiteValue(1LL));
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(ResultSetTest, NullAndZeroLengthBlobGetters) {
  auto rs =
      db->executeQuery("select Title, Volume, Icon, ButtonNo from tb_Button where ButtonNo = 2");
  ASSERT_TRUE(rs->next());
  // NULL
  EXPECT_EQ(rs->stringForColumnIndex(0), std::nullopt);
  EXPECT_EQ(rs->UTF8StringForColumnIndex(0), nullptr);
  EXPECT_EQ(rs->intForColumnIndex(0), 0);
  EXPECT_EQ(rs->doubleForColumn("volume"), 0.0);
  EXPECT_EQ(rs->dataForColumnIndex(0), std::nullopt);
  EXPECT_EQ(rs->dataNoCopyForColumnIndex(0), std::nullopt);
  EXPECT_EQ(rs->dateForColumnIndex(1), std::nullopt);
  EXPECT_EQ(rs->objectForColumnIndex(0), LiteValue::null());
  EXPECT_TRUE(rs->columnIndexIsNull(0));
  EXPECT_TRUE(rs->columnIsNull("title"));
  // A zero-length blob: no copy, an empty view, the null marker; yet not NULL.
  EXPECT_EQ(rs->dataForColumnIndex(2), std::nullopt);
  auto view = rs->dataNoCopyForColumn("icon");
  ASSERT_TRUE(view.has_value());
  EXPECT_TRUE(view->empty());
  EXPECT_EQ(rs->objectForColumnIndex(2), LiteValue::null());
  EXPECT_FALSE(rs->columnIndexIsNull(2));
}

TEST_F(ResultSetTest, ObjectsKeepTheColumnsType) {
  auto rs =
      db->executeQuery("select ButtonNo, Volume, Title, Icon from tb_Button where ButtonNo = 1");
  ASSERT_TRUE(rs->next());
  const LiteValue number = rs->objectForColumnIndex(0);
  EXPECT_EQ(number.kind(), LiteValue::Kind::Number);
  EXPECT_EQ(number.typeCode(), 'q');
  EXPECT_EQ(number.longLongValue(), 1);
  const LiteValue real = (*rs)[1];
  EXPECT_EQ(real.typeCode(), 'd');
  EXPECT_EQ(real.doubleValue(), 0.5);
  EXPECT_EQ((*rs)["TITLE"], LiteValue("掌声"));
  EXPECT_EQ(rs->objectForColumnName("icon"), LiteValue(LiteData{1, 2}));
  EXPECT_EQ(rs->objectAtIndexedSubscript(4), LiteValue());  // out of range: absent
  EXPECT_EQ(rs->objectForColumnIndex(-1), LiteValue());
  EXPECT_EQ(rs->resultDictionary(),
            (LiteDictionary{
                {"ButtonNo", 1LL}, {"Volume", 0.5}, {"Title", "掌声"}, {"Icon", LiteData{1, 2}}}));
  EXPECT_EQ(rs->resultDict(),
            (LiteDictionary{
                {"buttonno", 1LL}, {"volume", 0.5}, {"title", "掌声"}, {"icon", LiteData{1, 2}}}));
}

TEST_F(ResultSetTest, ReadingWithNoCurrentRowGivesNothingAndLeavesNoError) {
  auto rs = db->executeQuery("select ButtonNo, Title from tb_Button where ButtonNo = 1");
  const auto expectNothing = [&](const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(rs->intForColumnIndex(0), 0);
    EXPECT_EQ(rs->longLongIntForColumnIndex(0), 0);
    EXPECT_EQ(rs->doubleForColumnIndex(0), 0.0);
    EXPECT_FALSE(rs->boolForColumnIndex(0));
    EXPECT_EQ(rs->stringForColumnIndex(1), std::nullopt);
    EXPECT_EQ(rs->UTF8StringForColumnIndex(1), nullptr);
    EXPECT_EQ(rs->dataForColumnIndex(1), std::nullopt);
    EXPECT_EQ(rs->dataNoCopyForColumnIndex(1), std::nullopt);
    EXPECT_EQ(rs->dateForColumnIndex(0), std::nullopt);
    EXPECT_FALSE(rs->columnIndexIsNull(0));
    EXPECT_NE(db->lastErrorCode(), SQLITE_RANGE);
  };
  expectNothing("before the first next");
  EXPECT_EQ(rs->objectForColumnIndex(1), LiteValue::null());
  EXPECT_EQ(rs->resultDictionary(), std::nullopt);
  EXPECT_EQ(rs->resultDict(), std::nullopt);
  EXPECT_THAT(log.take(), ElementsAre("Warning: There seem to be no columns in this set.",
                                      "Warning: There seem to be no columns in this set."));
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->intForColumnIndex(0), 1);
  EXPECT_FALSE(rs->next());
  expectNothing("after the end");
  EXPECT_EQ(rs->objectForColumnIndex(1), LiteValue());
  EXPECT_EQ(rs->columnIndexForName("title"), -1);
  EXPECT_EQ(rs->columnCount(), 0);
  EXPECT_THAT(log.take(), ElementsAre("Warning: I could not find the column named 'title'."));
}

TEST_F(ResultSetTest, CloseTwiceIsHarmless) {
  auto rs = db->executeQuery("select 1");
  ASSERT_TRUE(rs->next());
  rs->close();
  rs->close();
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_EQ(rs->intForColumnIndex(0), 0);
}

TEST_F(ResultSetTest, DestroyingAnOpenResultSetRemovesItFromTheConnection) {
  {
    auto rs = db->executeQuery("select 1");
    auto other = db->executeQuery("select 2");
    ASSERT_TRUE(rs->next());
    EXPECT_TRUE(db->hasOpenResultSets());
    other->close();
    EXPECT_TRUE(db->hasOpenResultSets());
  }
  EXPECT_FALSE(db->hasOpenResultSets());
  // The engine statement went with it: the connection closes without leaks.
  EXPECT_EQ(sqlite3_next_stmt(db->sqliteHandle(), nullptr), nullptr);
  EXPECT_TRUE(db->close());
  EXPECT_THAT(log.lines(), IsEmpty());
}

// Result sets close in any order: each leaves the connection's list without
// disturbing the others, and the connection closes whichever are left.
TEST_F(ResultSetTest, ResultSetsLeaveTheConnectionInAnyOrder) {
  for (const std::vector<int>& closeFirst :
       std::vector<std::vector<int>>{{}, {0}, {1}, {2}, {0, 2}, {2, 1}, {1, 0, 2}}) {
    SCOPED_TRACE(::testing::PrintToString(closeFirst));
    auto connection = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(connection->open());
    std::vector<std::shared_ptr<LiteResultSet>> sets;
    for (int i = 0; i < 3; ++i) {
      sets.push_back(connection->executeQuery("select ?", i));
      ASSERT_TRUE(sets.back() && sets.back()->next());
    }
    for (int i : closeFirst) sets[static_cast<std::size_t>(i)]->close();
    EXPECT_EQ(connection->hasOpenResultSets(), closeFirst.size() < 3);
    for (int i = 0; i < 3; ++i) {
      const bool closed = std::find(closeFirst.begin(), closeFirst.end(), i) != closeFirst.end();
      EXPECT_EQ(sets[static_cast<std::size_t>(i)]->intForColumnIndex(0), closed ? 0 : i);
    }
    EXPECT_TRUE(connection->close());
    EXPECT_FALSE(connection->hasOpenResultSets());
    for (const auto& rs : sets) EXPECT_EQ(rs->statement(), nullptr);
  }
  EXPECT_THAT(log.lines(), IsEmpty());
}

// Handed to another connection, a result set still leaves the list of the one that
// made it when it goes: that one's close must not reach a result set already freed.
TEST_F(ResultSetTest, AResultSetGivenAnotherParentStillLeavesItsOwnConnection) {
  auto other = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
  ASSERT_TRUE(other->open());
  auto rs = db->executeQuery("select 1");
  ASSERT_TRUE(rs && rs->next());
  rs->setParentDB(other);
  EXPECT_FALSE(other->hasOpenResultSets());  // it was never that connection's query
  rs.reset();
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_TRUE(db->close());
  // And when dropped with no parent and no statement at all.
  ASSERT_TRUE(db->open());
  rs = db->executeQuery("select 1");
  ASSERT_TRUE(rs && rs->next());
  rs->setParentDB(nullptr);
  rs->setStatement(nullptr);
  rs.reset();
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_TRUE(db->close());
}

TEST_F(ResultSetTest, ClosingTheConnectionClosesItsResultSets) {
  auto rs = db->executeQuery("select * from tb_Button");
  ASSERT_TRUE(rs->next());
  EXPECT_TRUE(db->close());
  EXPECT_FALSE(db->hasOpenResultSets());
  EXPECT_EQ(rs->parentDB(), nullptr);
  EXPECT_EQ(rs->statement(), nullptr);
  EXPECT_THAT(log.take(), IsEmpty());  // nothing leaked

  std::optional<LiteError> error;
  EXPECT_FALSE(rs->nextWithError(&error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 21, "parentDB does not exist"}));
  EXPECT_THAT(log.take(),
              ElementsAre("Error calling sqlite3_step (21: bad parameter or other API misuse) rs"));
  EXPECT_FALSE(rs->next());
}

TEST_F(ResultSetTest, AResultSetKeepsItsConnectionAliveUntilItCloses) {
  auto rs = db->executeQuery("select ButtonId from tb_Button order by ButtonNo");
  std::weak_ptr<LiteDatabase> watch = db;
  db.reset();
  ASSERT_FALSE(watch.expired());
  ASSERT_TRUE(rs->next());
  EXPECT_EQ(rs->stringForColumn("buttonid"), "b1");
  ASSERT_TRUE(rs->next());
  EXPECT_FALSE(rs->next());
  EXPECT_TRUE(watch.expired());
}

TEST_F(ResultSetTest, ConnectionNotOwnedBySharedPointerDetachesItsResultSets) {
  std::shared_ptr<LiteResultSet> rs;
  {
    LiteDatabase local(dir.file("data.sqlite"));
    ASSERT_TRUE(local.open());
    rs = local.executeQuery("select 1");
    ASSERT_TRUE(rs && rs->next());
  }
  EXPECT_EQ(rs->parentDB(), nullptr);
  std::optional<LiteError> error;
  EXPECT_FALSE(rs->nextWithError(&error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 21, "parentDB does not exist"}));
}

TEST_F(ResultSetTest, StepFailuresCloseTheResultSet) {
  // A run-time error while stepping.
  auto rs = db->executeQuery("select abs(-9223372036854775808)");
  std::optional<LiteError> error;
  EXPECT_FALSE(rs->nextWithError(&error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 1, "integer overflow"}));
  EXPECT_THAT(log.take(), ElementsAre("Error calling sqlite3_step (1: integer overflow) rs"));
  EXPECT_FALSE(db->hasOpenResultSets());

  // Anything else, such as a constraint failing in a RETURNING statement.
  ASSERT_TRUE(
      db->executeStatements("create table u(id integer primary key); insert into u values (1)"));
  rs = db->executeQuery("insert into u values (1) returning id");
  error.reset();
  EXPECT_FALSE(rs->nextWithError(&error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 19, "UNIQUE constraint failed: u.id"}));
  EXPECT_THAT(
      log.take(),
      ElementsAre("Unknown error calling sqlite3_step (19: UNIQUE constraint failed: u.id) rs"));
  EXPECT_FALSE(db->hasOpenResultSets());

  // The statement went away under the result set (its cache was cleared).
  db->setShouldCacheStatements(true);
  rs = db->executeQuery("select 1");
  db->clearCachedStatements();
  error.reset();
  EXPECT_FALSE(rs->nextWithError(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "LiteDatabase");
  EXPECT_FALSE(db->hasOpenResultSets());
  log.take();
}

namespace {

class Recorder : public LiteKeyValueCoding {
 public:
  void setValueForKey(const std::string& value, const std::string& key) override {
    calls.emplace_back(key, value);
  }
  std::vector<std::pair<std::string, std::string>> calls;
};

}  // namespace

TEST_F(ResultSetTest, KvcMagicHandsEveryNonNullColumnOverAsText) {
  auto rs = db->executeQuery("select * from tb_Button order by ButtonNo");
  ASSERT_TRUE(rs->next());
  Recorder first;
  rs->kvcMagic(first);
  EXPECT_THAT(first.calls,
              ElementsAre(std::pair<std::string, std::string>{"ButtonId", "b1"},
                          std::pair<std::string, std::string>{"ButtonNo", "1"},
                          std::pair<std::string, std::string>{"Title", "掌声"},
                          std::pair<std::string, std::string>{"Volume", "0.5"},
                          std::pair<std::string, std::string>{"Icon", std::string("\x01\x02")}));
  ASSERT_TRUE(rs->next());
  Recorder second;
  rs->kvcMagic(second);
  // Title and Volume are NULL and skipped; the empty blob reads as empty text.
  EXPECT_THAT(second.calls, ElementsAre(std::pair<std::string, std::string>{"ButtonId", "b2"},
                                        std::pair<std::string, std::string>{"ButtonNo", "2"},
                                        std::pair<std::string, std::string>{"Icon", ""}));
}

TEST_F(ResultSetTest, BusyReadIsReportedAndClosesTheResultSet) {
  auto writer = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
  ASSERT_TRUE(writer->open());
  ASSERT_TRUE(
      writer->executeStatements("begin exclusive; insert into tb_Button(ButtonNo) values (3)"));
  db->setMaxBusyRetryTimeInterval(0);
  auto rs = db->executeQuery("select * from tb_Button");
  ASSERT_TRUE(rs);
  std::optional<LiteError> error;
  EXPECT_FALSE(rs->nextWithError(&error));
  EXPECT_EQ(error, (LiteError{"LiteDatabase", 5, "database is locked"}));
  EXPECT_THAT(log.take(), ElementsAre("-[LiteResultSet nextWithError:]:168 Database busy (" +
                                          dir.file("data.sqlite") + ")",
                                      "Database busy"));
  EXPECT_FALSE(db->hasOpenResultSets());
  ASSERT_TRUE(writer->executeStatements("commit"));
}
