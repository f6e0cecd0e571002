// Argument and column values: kinds, type codes, readers and descriptions.
#include <gtest/gtest.h>

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

TEST(LiteValueTest, EqualityComparesKindCodeAndContent) {
  EXPECT_EQ(LiteValue(1), LiteValue(1));
  EXPECT_NE(LiteValue(1), LiteValue(1LL));  // different type codes
  EXPECT_NE(LiteValue(1), LiteValue("1"));
  EXPECT_NE(LiteValue(), LiteValue::null());
  EXPECT_EQ(LiteValue(LiteData{}), LiteValue(LiteData{}));
  EXPECT_EQ((LiteError{"LiteDatabase", 5, "x"}), (LiteError{"LiteDatabase", 5, "x"}));
  EXPECT_NE((LiteError{"LiteDatabase", 5, "x"}), (LiteError{"LiteDatabase", 6, "x"}));
}
