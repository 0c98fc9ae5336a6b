// SPDX-License-Identifier: MIT
// CRC-16, regular-expression count and call-stack dump.
#include <gtest/gtest.h>

#include <regex.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "common/backtrace.h"
#include "common/crc16.h"
#include "common/regexcount.h"

TEST(Crc16, MatchesPublishedXmodemValues) {
  EXPECT_EQ(Crc16("123456789", 9), 0x31C3);  // the standard's check value
  EXPECT_EQ(Crc16("\xff", 1), 0x1EF0);       // a high byte must not sign-extend into the index
  EXPECT_EQ(Crc16("123456789", 0), 0);
  EXPECT_EQ(Crc16("123456789", -5), 0);
  EXPECT_EQ(Crc16(nullptr, 4), 0);
}

TEST(RegexCount, CountsSuccessiveMatches) {
  // clang-format off
  const std::tuple<const char *, const char *, int, int> rows[] = {  // text, pattern, flags, count
      {"banana", "a", 0, 3}, {"banana", "a", REG_NOSUB, 3},  // the count needs match ends: the flag is dropped
      {"bbb", "^b", 0, 3},                                    // every search start is a line start
      {"abc", "(", REG_EXTENDED, 1}, {"abc", nullptr, 0, 1},  // no pattern, or one that does not compile
      {nullptr, "a", 0, 0}, {"ab", "x*", 0, 3}, {"aaa", "a*", 0, 2},  // empty matches count once each
  };
  // clang-format on
  for (const auto &[text, pattern, flags, count] : rows) {
    EXPECT_EQ(RegexCount(text, pattern, flags), count) << (text ? text : "") << " " << (pattern ? pattern : "");
  }
}

TEST(DumpBacktrace, WritesFramesToStandardOutput) {
  testing::internal::CaptureStdout();
  DumpBacktrace();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 3) << out;  // this test's and the runner's frames
}
