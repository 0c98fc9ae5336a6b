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
  EXPECT_EQ(Crc16("123456789", 0) | Crc16("123456789", -5) | Crc16(nullptr, 4), 0);
}

TEST(RegexCount, CountsSuccessiveMatches) {
  const std::tuple<const char *, const char *, int, int> cases[] = {
      {"banana", "a", 0, 3},
      {"banana", "a", REG_NOSUB, 3},  // the count needs match ends, so the flag is dropped
      {"bbb", "^b", 0, 3},            // every new search start is a line start
      {"abc", "(", REG_EXTENDED, 1},  // does not compile
      {"abc", nullptr, 0, 1},
      {nullptr, "a", 0, 0},
      {"ab", "x*", 0, 3},  // each empty match counts once, and the search moves on
      {"aaa", "a*", 0, 2},
  };
  for (const auto &[text, pattern, flags, count] : cases)
    EXPECT_EQ(RegexCount(text, pattern, flags), count) << "pattern " << pattern << " in " << text;
}

TEST(DumpBacktrace, WritesFramesToStandardOutput) {
  testing::internal::CaptureStdout();
  DumpBacktrace();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 3) << out;  // this test's and the runner's frames
}
