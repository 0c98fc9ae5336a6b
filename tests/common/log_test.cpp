// SPDX-License-Identifier: MIT
// The rules of one log line: newline removal, the cut at 253 characters, the
// debug suffix cut to a line of 255, %m and percent signs.
#include "common/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/table_test.h"

// Logs text through the hook at LOG_WARNING and returns the one line logged
// (any other count shows as a text no test expects).
static std::string Line(int debug, const std::string &text, const char *function = "F", int line = 7) {
  static std::vector<std::string> lines;
  lines.clear();
  LogHook = [](int priority, const char *logged) { EXPECT_EQ(priority, LOG_WARNING); lines.emplace_back(logged); };
  LogDebug = debug;
  EXPECT_EQ(LogMessage("u", function, line, LOG_WARNING, "%s", text.c_str()), 0);
  LogHook = nullptr;
  LogDebug = 0;
  return lines.size() == 1 ? lines[0] : "<" + std::to_string(lines.size()) + " lines>";
}

struct NewlineRow {
  const char *name;
  const char *text;
  const char *plainLine;
  const char *debugLine;
};

const NewlineRow kNewlineRows[] = {
    {"NoNewline", "abc", "abc", "abc | 7:F@u\n"},
    {"OneNewline", "abc\n", "abc", "abc | 7:F@u\n"},
    {"TwoNewlines", "abc\n\n", "abc\n", "abc\n | 7:F@u\n"},
    {"OnlyANewline", "\n", "", " | 7:F@u\n"},
    {"Empty", "", "", " | 7:F@u\n"},
};

class NewlineTable : public testing::TestWithParam<NewlineRow> {};

TEST_P(NewlineTable, OnlyTheLastNewlineGoes) {
  EXPECT_EQ(Line(0, GetParam().text), GetParam().plainLine);
  EXPECT_EQ(Line(1, GetParam().text), GetParam().debugLine);
}
TABLE_ROWS(NewlineTable, kNewlineRows);

// The text is cut at 253 characters before the newline test; the suffix is
// whole up to a line of 255 and cut beyond, newline first.
TEST(LogMessage, TextCutAt253SuffixFillsTheLineTo255) {
  const std::string x(300, 'x'), suffix = " | 7:F@u\n";
  EXPECT_EQ(Line(0, x), x.substr(0, 253));
  EXPECT_EQ(Line(1, x), x.substr(0, 253) + " |");
  EXPECT_EQ(Line(0, x.substr(0, 253) + "\n"), x.substr(0, 253));  // the cut takes the newline
  EXPECT_EQ(Line(0, x.substr(0, 252) + "\n"), x.substr(0, 252));
  for (size_t len : {244, 246, 247, 252}) {
    EXPECT_EQ(Line(1, x.substr(0, len)), (x.substr(0, len) + suffix).substr(0, 255)) << len;
  }
  EXPECT_EQ(Line(1, "x", "main", 1000), "x | 1000:main@u");  // a fourth digit cuts the newline
  EXPECT_EQ(Line(1, "x", "main", 999), "x | 999:main@u\n");
}

// Without a hook the line goes to the system log as data, never as a format;
// LOG_PERROR copies what the system log received to standard error. The sign
// bit of the options asks for debug mode; %m is the caller's error, and the
// caller's errno survives the call.
TEST(LogMessage, SyslogGetsTheLineVerbatim) {
  LogOpen("wardend-test", LOG_PID | LOG_CONS, LOG_LOCAL0);
  const int plain = LogDebug;
  LogOpen("wardend-test", LOG_PERROR | LOG_DEBUG_REQUEST, LOG_LOCAL0);
  testing::internal::CaptureStderr();
  errno = ENOENT;
  const int result = LogMessage("u", "F", 8, LOG_DEBUG, "rate %s: %m", "100%d%%s%n");
  const int errnoAfter = errno;
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(plain, 0);
  EXPECT_EQ(LogDebug, 1);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(errnoAfter, ENOENT);
  LogClose();
  LogDebug = 0;
  const std::string want = std::string("wardend-test: rate 100%d%%s%n: ") + strerror(ENOENT) + " | 8:F@u\n";
  EXPECT_NE(err.find(want), std::string::npos) << err;
}
