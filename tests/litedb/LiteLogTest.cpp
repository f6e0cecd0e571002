// The diagnostic log: the default line format and capturing sinks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "LiteTestSupport.h"
#include "litedb/LiteLog.h"

using ::testing::ElementsAre;

TEST(LiteLogTest, DefaultSinkWritesOneStampedLineToStandardError) {
  setLiteLogSink(nullptr);
  ::testing::internal::CaptureStderr();
  liteLog("error opening!: 14");
  liteLog("第二行");
  const std::string written = ::testing::internal::GetCapturedStderr();
  const std::string pid = std::to_string(getpid());
  const std::regex expected("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} cueboard\\[" + pid +
                            "\\] error opening!: 14\n"
                            "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} cueboard\\[" +
                            pid + "\\] 第二行\n");
  EXPECT_TRUE(std::regex_match(written, expected)) << written;
}

TEST(LiteLogTest, CapturingSinkGetsBareMessagesUntilTheDefaultIsRestored) {
  std::vector<std::string> first;
  std::vector<std::string> second;
  setLiteLogSink([&](const std::string& line) { first.push_back(line); });
  liteLog("one");
  setLiteLogSink([&](const std::string& line) { second.push_back(line); });
  liteLog("two");
  setLiteLogSink(nullptr);
  ::testing::internal::CaptureStderr();
  liteLog("three");
  const std::string written = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(first, ElementsAre("one"));
  EXPECT_THAT(second, ElementsAre("two"));
  EXPECT_THAT(written, ::testing::EndsWith("] three\n"));
}

TEST(LiteLogTest, EmptySinkFunctionMeansTheDefault) {
  setLiteLogSink(LiteLogSink());
  ::testing::internal::CaptureStderr();
  liteLog("x");
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::EndsWith("] x\n"));
}
