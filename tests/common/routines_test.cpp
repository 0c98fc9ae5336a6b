// SPDX-License-Identifier: MIT
// CRC-16, regular-expression count and call-stack dump.
#include <gtest/gtest.h>

#include <regex.h>

#include <algorithm>
#include <string>

#include "common/backtrace.h"
#include "common/crc16.h"
#include "common/regexcount.h"
#include "support/table_test.h"

TEST(Crc16, MatchesPublishedXmodemValues) {
  EXPECT_EQ(Crc16("123456789", 9), 0x31C3);  // the standard's check value
  EXPECT_EQ(Crc16("\xff", 1), 0x1EF0);       // a high byte must not sign-extend into the index
  EXPECT_EQ(Crc16("123456789", 0), 0);
  EXPECT_EQ(Crc16("123456789", -5), 0);
  EXPECT_EQ(Crc16(nullptr, 4), 0);
}

struct RegexRow {
  const char *name;
  const char *text;
  const char *pattern;
  int flags;
  int count;
};

const RegexRow kRegexRows[] = {
    {"EveryMatch", "banana", "a", 0, 3},
    {"NoSubFlagDropped", "banana", "a", REG_NOSUB, 3},  // the count needs match ends
    {"EverySearchStartIsALineStart", "bbb", "^b", 0, 3},
    {"PatternThatDoesNotCompile", "abc", "(", REG_EXTENDED, 1},
    {"NoPattern", "abc", nullptr, 0, 1},
    {"NoText", nullptr, "a", 0, 0},
    {"EmptyMatchesCountOnceEach", "ab", "x*", 0, 3},  // and the search moves on
    {"EmptyMatchAtTheEnd", "aaa", "a*", 0, 2},
};

class RegexTable : public testing::TestWithParam<RegexRow> {};

TEST_P(RegexTable, CountsSuccessiveMatches) {
  EXPECT_EQ(RegexCount(GetParam().text, GetParam().pattern, GetParam().flags), GetParam().count);
}
TABLE_ROWS(RegexTable, kRegexRows);

TEST(DumpBacktrace, WritesFramesToStandardOutput) {
  testing::internal::CaptureStdout();
  DumpBacktrace();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 3) << out;  // this test's and the runner's frames
}
