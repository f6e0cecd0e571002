// Format-string statements: conversions rewritten into parameters, values bound.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeStatements("create table t(a, b)"));
  }

  ScratchDir dir;
  std::shared_ptr<LiteDatabase> db;
  LogCapture log;
};

struct Rewrite {
  const char* name;
  std::string format;
  LiteFormatArgumentList args;
  std::string sql;
  std::vector<LiteValue> arguments;
};

}  // namespace

TEST_F(FormatTest, EveryConversionBecomesAParameterWithItsType) {
  const char* const nullCString = nullptr;
  const char invalidUTF8[] = {'a', static_cast<char>(0xC3), '(', 0};
  const std::vector<Rewrite> cases = {
      {"object and int",
       "insert into t values (%d, %@)",
       {5, std::string("x")},
       "insert into t values (?, ?)",
       {5, "x"}},
      {"absent object",
       "select * from t where a = %@",
       {nullptr},
       "select * from t where a = NULL",
       {}},
      {"null marker", "select %@", {LiteValue::null()}, "select ?", {LiteValue::null()}},
      {"bytes and date objects",
       "select %@, %@",
       {LiteData{1}, liteDateWithTimeIntervalSince1970(2)},
       "select ?, ?",
       {LiteData{1}, liteDateWithTimeIntervalSince1970(2)}},
      {"C string", "select %s", {"héllo"}, "select ?", {"héllo"}},
      {"missing C string", "select %s", {nullCString}, "select s", {}},
      {"C string that is not UTF-8", "select %s", {invalidUTF8}, "select s", {}},
      {"character", "select %c, %c", {'A', 0xE9}, "select ?, ?", {"A", "é"}},
      {"d D i", "select %d, %D, %i", {-1, 2, 3}, "select ?, ?, ?", {-1, 2, 3}},
      {"u U", "select %u, %U", {4000000000u, 5u}, "select ?, ?", {4000000000u, 5u}},
      {"hi hu",
       "select %hi, %hu",
       {70000, 70000u},
       "select ?, ?",
       {static_cast<short>(4464), static_cast<unsigned short>(4464)}},
      {"qi qu", "select %qi, %qu", {LLONG_MIN, ULLONG_MAX}, "select ?, ?", {LLONG_MIN, ULLONG_MAX}},
      {"ld lu", "select %ld, %lu", {-7L, 7UL}, "select ?, ?", {-7L, 7UL}},
      {"lld llu", "select %lld, %llu", {-8LL, 8ULL}, "select ?, ?", {-8LL, 8ULL}},
      {"f g", "select %f, %g", {0.1, 0.1}, "select ?, ?", {0.1, 0.1f}},
      {"unknown conversion", "select 1 %x", {}, "select 1 x", {}},
      {"trailing percent", "select 1%", {}, "select 1", {}},
      {"two percents read the next letter too", "select '100%%d'", {9}, "select '100%?'", {9}},
      {"h q l without their letters", "select %h %q %l %x", {}, "select h q l x", {}},
      {"ll without d or u", "select %llx", {}, "select lx", {}},
      {"ll at the end", "select %ll", {}, "select l", {}},
      {"values beyond the conversions", "select %d", {1, 2}, "select ?", {1}},
  };
  for (const Rewrite& c : cases) {
    SCOPED_TRACE(c.name);
    std::string sql;
    std::vector<LiteValue> arguments;
    EXPECT_TRUE(db->extractSQLArgumentsListIntoStringArguments(c.format, c.args, sql, arguments));
    EXPECT_EQ(sql, c.sql);
    EXPECT_EQ(arguments, c.arguments);
  }
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(FormatTest, StatementsRunWithTheirValuesBound) {
  const std::string hostile = "x'); drop table t; --";
  ASSERT_TRUE(db->executeUpdateWithFormat("insert into t values (%d, %@)", 5, hostile));
  ASSERT_TRUE(db->executeUpdateWithFormat("insert into t values (%lld, %s)", 1LL << 40, "two"));
  ASSERT_TRUE(db->executeUpdateWithFormat("insert into t values (%f, %@)", 2.5, nullptr));
  EXPECT_EQ(engineScalar(*db, "select group_concat(quote(a) || ':' || quote(b), ' ') from t"),
            "5:'x''); drop table t; --' 1099511627776:'two' 2.5:NULL");
  auto rs = db->executeQueryWithFormat("select b from t where a = %d", 5);
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->stringForColumnIndex(0), hostile);
  EXPECT_FALSE(rs->next());
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(FormatTest, AListThatDoesNotFitIsReportedAndNothingRuns) {
  struct Mismatch {
    const char* name;
    std::string format;
    LiteFormatArgumentList args;
    std::string line;
    // What a list read past its end would find there: a number, which reads safely.
    LiteFormatArgument beyond = 0;
  };
  const std::vector<Mismatch> cases = {
      {"runs out",
       "insert into t values (%d, %d)",
       {1},
       "Error: the format's %d needs argument 2, but only 1 were given (insert into t values (%d, "
       "%d))",
       2},
      {"empty list",
       "insert into t values (%@, 1)",
       {},
       "Error: the format's %@ needs argument 1, but only 0 were given (insert into t values (%@, "
       "1))",
       2},
      {"text for an int",
       "insert into t values (%d, 1)",
       {std::string("5")},
       "Error: the format's %d takes an int, but argument 1 is an object (insert into t values "
       "(%d, 1))"},
      {"int for a 64-bit integer",
       "insert into t values (1, %lld)",
       {5},
       "Error: the format's %lld takes a 64-bit integer, but argument 1 is an int (insert into t "
       "values (1, %lld))"},
      {"C string for an object",
       "insert into t values (%@, 1)",
       {"x"},
       "Error: the format's %@ takes an object, but argument 1 is a C string (insert into t "
       "values (%@, 1))"},
      {"double for an int",
       "insert into t values (%i, 1)",
       {1.5},
       "Error: the format's %i takes an int, but argument 1 is a double (insert into t values "
       "(%i, 1))"},
      {"int for a double",
       "insert into t values (%g, 1)",
       {1},
       "Error: the format's %g takes a double, but argument 1 is an int (insert into t values "
       "(%g, 1))"},
      {"long for a short",
       "insert into t values (%hi, 1)",
       {5L},
       "Error: the format's %hi takes an int, but argument 1 is a 64-bit integer (insert into t "
       "values (%hi, 1))"},
      {"unsigned 64-bit for an unsigned int",
       "insert into t values (%u, 1)",
       {5UL},
       "Error: the format's %u takes an unsigned int, but argument 1 is an unsigned 64-bit "
       "integer (insert into t values (%u, 1))"},
      {"unsigned int for an unsigned 64-bit integer",
       "insert into t values (%llu, 1)",
       {5u},
       "Error: the format's %llu takes an unsigned 64-bit integer, but argument 1 is an unsigned "
       "int (insert into t values (%llu, 1))"},
  };
  for (const Mismatch& c : cases) {
    SCOPED_TRACE(c.name);
    // The list's storage goes on past its end with a number: a reader that runs past the
    // end takes it (and runs the statement, or names the wrong argument) instead of
    // reading memory that is not the list's.
    LiteFormatArgumentList args = c.args;
    args.push_back(c.beyond);
    args.pop_back();
    ASSERT_GT(args.capacity(), args.size());
    std::string sql;
    std::vector<LiteValue> arguments;
    EXPECT_FALSE(db->extractSQLArgumentsListIntoStringArguments(c.format, args, sql, arguments));
    EXPECT_THAT(log.take(), ElementsAre(c.line));
    EXPECT_FALSE(db->executeUpdateWithFormatList(c.format, args));
    EXPECT_EQ(db->executeQueryWithFormatList(c.format, args), nullptr);
    EXPECT_THAT(log.take(), ElementsAre(c.line, c.line));
    EXPECT_EQ(engineScalar(*db, "select count(*) from t"), "0");
  }
  EXPECT_FALSE(db->hasOpenResultSets());
}

TEST_F(FormatTest, SameWidthIntegersReadAsCWouldReadThem) {
  std::string sql;
  std::vector<LiteValue> arguments;
  ASSERT_TRUE(db->extractSQLArgumentsListIntoStringArguments(
      "%u %d %lu %qi", {-1, 4294967295u, -1L, ULLONG_MAX}, sql, arguments));
  EXPECT_EQ(arguments, (std::vector<LiteValue>{4294967295u, -1, ULONG_MAX, -1LL}));
}
