// The variadic forms' arguments, viewed where the caller keeps them (LiteArgument).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

#include "LiteTestSupport.h"
#include "litedb/LiteArgument.h"
#include "litedb/LiteDatabase.h"

using ::testing::IsEmpty;

namespace {

// Converts to text, but only through a conversion that would make a temporary string.
struct Name {
  operator std::string() const { return "name"; }
};

// Only exact types are viewed: anything converted first would be gone before the step.
static_assert(!std::is_constructible_v<LiteArgument, Name>);
static_assert(!std::is_constructible_v<LiteArgument, int*>);
static_assert(std::is_constructible_v<LiteArgument, const std::string&>);
static_assert(std::is_constructible_v<LiteArgument, std::string&&>);
static_assert(std::is_constructible_v<LiteArgument, const LiteValue&>);

class LiteArgumentTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    db = LiteDatabase::databaseWithPath(dir.file("data.sqlite"));
    ASSERT_TRUE(db->open());
    db->setShouldCacheStatements(GetParam());
    ASSERT_TRUE(db->executeStatements("create table t(a, b)"));
  }

  // The argument passed straight to each variadic form is stored and bound exactly as
  // the LiteValue made from it is through the array form.
  template <class T>
  void expectBoundAsItsValue(const char* name, T&& argument) {
    SCOPED_TRACE(name);
    const LiteValue value(argument);
    EXPECT_EQ(LiteArgument(argument).toValue(), value);

    ASSERT_TRUE(db->executeUpdate("delete from t"));
    ASSERT_TRUE(db->executeUpdate("insert into t(a) values (?)", argument));
    std::optional<LiteError> error;
    ASSERT_TRUE(db->executeUpdateWithErrorAndBindings("update t set b = ?", &error, argument));
    const std::string viewed = engineScalar(*db, "select typeof(a) || ' ' || quote(a) from t");
    EXPECT_EQ(engineScalar(*db, "select typeof(b) || ' ' || quote(b) from t"), viewed);
    ASSERT_TRUE(db->executeUpdateWithArgumentsInArray("update t set a = ?", {value}));
    const std::string expected = engineScalar(*db, "select typeof(a) || ' ' || quote(a) from t");
    EXPECT_EQ(viewed, expected);

    auto rs = db->executeQuery("select typeof(?1) || ' ' || quote(?1)", argument);
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->stringForColumnIndex(0), expected);
    rs->close();
  }

  ScratchDir dir;
  std::shared_ptr<LiteDatabase> db;
  LogCapture log;
};

}  // namespace

TEST_P(LiteArgumentTest, EachArgumentBindsAsItsLiteValueWould) {
  // One statement reused for every kind with the cache on: anything left from the
  // previous call's binding would show.
  const std::string withNul("ab\0cd", 5);
  char buffer[] = "mutable buffer";
  const char* noText = nullptr;
  expectBoundAsItsValue("nullptr", nullptr);
  expectBoundAsItsValue("null C string", noText);
  expectBoundAsItsValue("true", true);
  expectBoundAsItsValue("char", 'A');
  expectBoundAsItsValue("signed char", static_cast<signed char>(-3));
  expectBoundAsItsValue("unsigned char", static_cast<unsigned char>(200));
  expectBoundAsItsValue("short", static_cast<short>(-32768));
  expectBoundAsItsValue("unsigned short", static_cast<unsigned short>(65535));
  expectBoundAsItsValue("int", -7);
  expectBoundAsItsValue("unsigned int above 2^31", 4294967295u);
  expectBoundAsItsValue("long", -9000000000L);
  expectBoundAsItsValue("long long", std::numeric_limits<long long>::min());
  expectBoundAsItsValue("unsigned long long above 2^63-1", 9223372036854775813ull);
  expectBoundAsItsValue("float", 0.1f);
  expectBoundAsItsValue("double", 0.1);
  expectBoundAsItsValue("date", liteDateWithTimeIntervalSince1970(1700000000.25));
  expectBoundAsItsValue("text longer than a short string", std::string(300, 't'));
  expectBoundAsItsValue("text holding NUL", withNul);
  expectBoundAsItsValue("string_view", std::string_view("viewed text"));
  expectBoundAsItsValue("literal", "声音 ok");
  expectBoundAsItsValue("empty literal", "");
  expectBoundAsItsValue("char buffer", buffer);
  expectBoundAsItsValue("empty bytes", LiteData{});
  expectBoundAsItsValue("bytes", LiteData{0x00, 0xff, 0x10});
  expectBoundAsItsValue("null marker", LiteValue::null());
  expectBoundAsItsValue("other object", LiteValue::other("<Widget 7>"));
  expectBoundAsItsValue("text value", LiteValue(std::string(40, 'v')));
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_P(LiteArgumentTest, AQueryKeepsNoViewOfTheCallersBuffers) {
  // The result set steps after the call has returned: what it reads must be the
  // engine's copy, not the caller's text and bytes, which are changed and then gone.
  std::shared_ptr<LiteResultSet> rs;
  {
    std::string text(100, 'k');
    LiteData bytes(100, 0x5a);
    rs = db->executeQuery("select ?, ?", text, bytes);
    text.assign(100, 'z');
    bytes.assign(100, 0);
  }
  ASSERT_TRUE(rs && rs->next());
  EXPECT_EQ(rs->stringForColumnIndex(0), std::string(100, 'k'));
  EXPECT_EQ(rs->dataForColumnIndex(1), LiteData(100, 0x5a));
  rs->close();

  // A second result set of the same text, open beside the first, binds its own.
  auto first = db->executeQuery("select ?", std::string(50, '1'));
  auto second = db->executeQuery("select ?", std::string(50, '2'));
  ASSERT_TRUE(first && first->next() && second && second->next());
  EXPECT_EQ(first->stringForColumnIndex(0), std::string(50, '1'));
  EXPECT_EQ(second->stringForColumnIndex(0), std::string(50, '2'));
}

TEST_P(LiteArgumentTest, AnUpdateStoresWhatEachCallWasGiven) {
  // The update binds without a copy; the text is reused and changed between calls.
  std::string text;
  for (char c : {'p', 'q', 'r'}) {
    text.assign(64, c);
    ASSERT_TRUE(db->executeUpdate("insert into t(a, b) values (?, ?)", text, LiteData(3, c)));
  }
  text.assign(64, 's');
  EXPECT_EQ(engineScalar(*db,
                         "select group_concat(substr(a, 1, 2) || length(a) || hex(b), ' ') "
                         "from t"),
            "pp64707070 qq64717171 rr64727272");
}

INSTANTIATE_TEST_SUITE_P(CacheOffAndOn, LiteArgumentTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "cacheOn" : "cacheOff";
                         });
