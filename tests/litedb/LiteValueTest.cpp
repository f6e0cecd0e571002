// Argument and column values: kinds, type codes, readers and descriptions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "litedb/LiteValue.h"

TEST(LiteValueTest, NumbersRememberTheTypeCodeOfTheirCppType) {
  struct Case {
    const char* name;
    LiteValue value;
    char code;
    std::string description;
  };
  const Case cases[] = {
      {"bool", true, 'c', "1"},
      {"char", 'A', 'c', "65"},
      {"signed char", static_cast<signed char>(-1), 'c', "-1"},
      {"unsigned char", static_cast<unsigned char>(255), 'C', "255"},
      {"short", static_cast<short>(-2), 's', "-2"},
      {"unsigned short", static_cast<unsigned short>(2), 'S', "2"},
      {"int", -3, 'i', "-3"},
      {"unsigned int", 3u, 'I', "3"},
      {"long", -4L, 'q', "-4"},
      {"long long", -5LL, 'q', "-5"},
      {"int64_t", std::int64_t{-6}, 'q', "-6"},
      {"unsigned long", 7UL, 'Q', "7"},
      {"unsigned long long", std::numeric_limits<unsigned long long>::max(), 'Q',
       "18446744073709551615"},
      {"size_t", std::size_t{8}, 'Q', "8"},
      {"float", 0.5f, 'f', "0.5"},
      {"double", 0.1, 'd', "0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value.kind(), LiteValue::Kind::Number);
    EXPECT_EQ(c.value.typeCode(), c.code);
    EXPECT_EQ(c.value.description(), c.description);
  }
}

TEST(LiteValueTest, KindsAndDescriptions) {
  struct Case {
    const char* name;
    LiteValue value;
    LiteValue::Kind kind;
    std::string description;
  };
  const Case cases[] = {
      {"absent", LiteValue(), LiteValue::Kind::Absent, "(null)"},
      {"nullptr", nullptr, LiteValue::Kind::Absent, "(null)"},
      {"null char pointer", static_cast<const char*>(nullptr), LiteValue::Kind::Absent, "(null)"},
      {"null marker", LiteValue::null(), LiteValue::Kind::Null, "<null>"},
      {"bytes", LiteData{0x0a, 0xff}, LiteValue::Kind::Data, "<0aff>"},
      {"date", liteDateWithTimeIntervalSince1970(86400 * 365 + 3661.75), LiteValue::Kind::Date,
       "1971-01-01 01:01:01 +0000"},
      {"date before 1970", liteDateWithTimeIntervalSince1970(-0.5), LiteValue::Kind::Date,
       "1969-12-31 23:59:59 +0000"},
      {"text", "声音", LiteValue::Kind::Text, "声音"},
      {"string view", std::string_view("ab\0c", 4), LiteValue::Kind::Text, std::string("ab\0c", 4)},
      {"other", LiteValue::other("<Thing>"), LiteValue::Kind::Other, "<Thing>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value.kind(), c.kind);
    EXPECT_EQ(c.value.typeCode(), 0);
    EXPECT_EQ(c.value.description(), c.description);
  }
  EXPECT_TRUE(LiteValue().isNullOrAbsent());
  EXPECT_TRUE(LiteValue::null().isNullOrAbsent());
  EXPECT_FALSE(LiteValue("").isNullOrAbsent());
}

TEST(LiteValueTest, ReadersGiveNothingForOtherKinds) {
  const LiteValue text("12");
  ASSERT_NE(text.text(), nullptr);
  EXPECT_EQ(*text.text(), "12");
  EXPECT_EQ(text.data(), nullptr);
  EXPECT_EQ(text.date(), std::nullopt);
  EXPECT_EQ(text.longLongValue(), 0);
  const LiteValue big(std::numeric_limits<unsigned long long>::max());
  EXPECT_EQ(big.unsignedLongLongValue(), std::numeric_limits<unsigned long long>::max());
  EXPECT_EQ(big.longLongValue(), -1);
  EXPECT_EQ(LiteValue(2.9).intValue(), 2);
  EXPECT_EQ(LiteValue(-1).unsignedLongLongValue(), std::numeric_limits<unsigned long long>::max());
  EXPECT_TRUE(LiteValue(0.5).boolValue());
  EXPECT_FALSE(LiteValue(0).boolValue());
}

TEST(LiteValueTest, ReadingHugeOrNanDoublesAsIntegersSaturates) {
  // Converting such a double straight to an integer type is undefined behaviour.
  constexpr long long maxLL = std::numeric_limits<long long>::max();
  constexpr long long minLL = std::numeric_limits<long long>::min();
  constexpr unsigned long long maxULL = std::numeric_limits<unsigned long long>::max();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double value;
    long long asLongLong;
    unsigned long long asUnsigned;
  };
  const Case cases[] = {
      {"huge", 1e300, maxLL, maxULL},
      {"infinity", inf, maxLL, maxULL},
      {"2^63", 9223372036854775808.0, maxLL, 9223372036854775808ull},
      {"2^64", 18446744073709551616.0, maxLL, maxULL},
      {"hugely negative", -1e300, minLL, static_cast<unsigned long long>(minLL)},
      {"negative infinity", -inf, minLL, static_cast<unsigned long long>(minLL)},
      {"minus one and a half", -1.5, -1, maxULL},
      {"not a number", std::numeric_limits<double>::quiet_NaN(), 0, 0},
      {"in range", 2.9, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LiteValue(c.value).longLongValue(), c.asLongLong);
    EXPECT_EQ(LiteValue(c.value).unsignedLongLongValue(), c.asUnsigned);
  }
  EXPECT_EQ(LiteValue(std::numeric_limits<float>::max()).longLongValue(), maxLL);
  EXPECT_EQ(LiteValue(-std::numeric_limits<float>::infinity()).unsignedLongLongValue(),
            static_cast<unsigned long long>(minLL));
  EXPECT_TRUE(LiteValue(1e300).boolValue());
  EXPECT_TRUE(LiteValue(std::numeric_limits<double>::quiet_NaN()).boolValue());
  EXPECT_FALSE(LiteValue(-0.0).boolValue());
}

TEST(LiteValueTest, DatesWithoutACalendarDateDescribeTheirSeconds) {
  struct Case {
    double seconds;
    const char* description;
  };
  const Case cases[] = {
      {1e300, "1e+300"},
      {-1e300, "-1e+300"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {253402300799.0, "9999-12-31 23:59:59 +0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(LiteValue(liteDateWithTimeIntervalSince1970(c.seconds)).description(), c.description);
  }
}

TEST(LiteValueTest, EqualityComparesKindCodeAndContent) {
  EXPECT_EQ(LiteValue(1), LiteValue(1));
  EXPECT_NE(LiteValue(1), LiteValue(1LL));  // different type codes
  EXPECT_NE(LiteValue(1), LiteValue("1"));
  EXPECT_NE(LiteValue(), LiteValue::null());
  EXPECT_EQ(LiteValue(LiteData{}), LiteValue(LiteData{}));
  EXPECT_EQ((LiteError{"LiteDatabase", 5, "x"}), (LiteError{"LiteDatabase", 5, "x"}));
  EXPECT_NE((LiteError{"LiteDatabase", 5, "x"}), (LiteError{"LiteDatabase", 6, "x"}));
}
