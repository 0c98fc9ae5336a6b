// CRC-16, regular-expression count and call-stack dump.
#include <gtest/gtest.h>

#include <regex.h>

#include <string>

#include "common/util.h"

namespace {

TEST(Crc16, MatchesPublishedXmodemValues) {
  struct Case {
    const char *data;
    int32_t length;
    uint16_t crc;
  } cases[] = {
      {"123456789", 9, 0x31C3},  // the standard's check value
      {"A", 1, 0x58E5},
      {"\xff", 1, 0x1EF0},       // a high byte must not sign-extend into the index
      {"\x00\x00", 2, 0x0000},
      {"123456789", 0, 0},
      {"123456789", -5, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Crc16(c.data, c.length), c.crc) << "length " << c.length << " of " << c.data;
  }
  EXPECT_EQ(Crc16(nullptr, 4), 0);
}

TEST(RegexCount, CountsSuccessiveMatches) {
  struct Case {
    const char *text;
    const char *pattern;
    int flags;
    int count;
  } cases[] = {
      {"banana", "a", 0, 3},
      {"bbb", "^b", 0, 3},  // every new search start is a line start
      {"banana", "an", 0, 2},
      {"banana", "x", 0, 0},
      {"", "a", 0, 0},
      {"BaNaNa", "a", REG_ICASE, 3},
      {"a1b22c333", "[0-9]+", REG_EXTENDED, 3},
      {"one\ntwo\n", "^t", REG_NEWLINE, 1},
      {"abc", "(", REG_EXTENDED, 1},  // does not compile
      {"abc", "a\\", 0, 1},          // does not compile
      // Patterns that match empty: each empty match counts once.
      {"ab", "x*", 0, 3},
      {"", "x*", 0, 1},
      {"baaa", "a*", 0, 3},
      {"aaa", "a*", 0, 2},
      {"abc", "^", 0, 4},
      {"abc", "$", 0, 1},
      {"a1b22c333", "[0-9]*", REG_EXTENDED, 7},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(RegexCount(c.text, c.pattern, c.flags), c.count)
        << "pattern \"" << c.pattern << "\" in \"" << c.text << "\"";
  }
}

TEST(RegexCount, IgnoresNoSubBecauseItNeedsMatchEnds) {
  EXPECT_EQ(RegexCount("banana", "a", REG_NOSUB), 3);
}

TEST(RegexCount, EndsOnLongTextOfEmptyMatches) {
  std::string text(100000, 'q');
  EXPECT_EQ(RegexCount(text.c_str(), "z*", 0), 100001);
}

TEST(RegexCount, NullArguments) {
  EXPECT_EQ(RegexCount("abc", nullptr, 0), 1);
  EXPECT_EQ(RegexCount(nullptr, "a", 0), 0);
}

TEST(DumpBacktrace, WritesFramesToStandardOutput) {
  testing::internal::CaptureStdout();
  DumpBacktrace();
  std::string out = testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (char ch : out) lines += ch == '\n';
  // At least this test's frame and the test runner's frames.
  EXPECT_GE(lines, 3u) << out;
}

}  // namespace
