// SPDX-License-Identifier: MIT
// The rules of one log line.
#include "common/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

// The one line logged for text at LOG_WARNING (another count: a text no test expects).
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

// Only the last newline goes; the text is cut at 253 before that, the debug
// suffix at a line of 255, newline first.
TEST(LogMessage, OneNewlineGoesTextCutAt253SuffixFillsTheLineTo255) {
  // clang-format off
  for (const auto &[text, plain] : {std::pair<const char *, std::string>{"abc", "abc"}, {"abc\n", "abc"},
                                    {"abc\n\n", "abc\n"}, {"\n", ""}, {"", ""}}) {
    // clang-format on
    EXPECT_EQ(Line(0, text), plain) << text;
    EXPECT_EQ(Line(1, text), plain + " | 7:F@u\n") << text;
  }
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

// Without a hook the line goes to the system log as data, never as a format
// (LOG_PERROR shows it); %m is the caller's error, which survives the call.
TEST(LogMessage, SyslogGetsTheLineVerbatim) {
  LogOpen("wardend-test", LOG_PID | LOG_CONS, LOG_LOCAL0);
  EXPECT_EQ(LogDebug, 0);
  LogOpen("wardend-test", LOG_PERROR | LOG_DEBUG_REQUEST, LOG_LOCAL0);
  EXPECT_EQ(LogDebug, 1);
  testing::internal::CaptureStderr();
  errno = ENOENT;
  EXPECT_EQ(LogMessage("u", "F", 8, LOG_DEBUG, "rate %s: %m", "100%d%%s%n"), 0);
  EXPECT_EQ(errno, ENOENT);
  const std::string err = testing::internal::GetCapturedStderr();
  LogClose();
  LogDebug = 0;
  const std::string want = std::string("wardend-test: rate 100%d%%s%n: ") + strerror(ENOENT) + " | 8:F@u\n";
  EXPECT_NE(err.find(want), std::string::npos) << err;
}
