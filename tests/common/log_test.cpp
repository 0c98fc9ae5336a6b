#include "common/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

struct Captured {
  int priority;
  std::string line;
};
std::vector<Captured> gLines;

void Capture(int priority, const char *line) { gLines.push_back({priority, line}); }

class LogMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gLines.clear();
    savedHook_ = LogHook;
    savedDebug_ = LogDebug;
    LogHook = Capture;
    LogDebug = 0;
  }
  void TearDown() override {
    LogHook = savedHook_;
    LogDebug = savedDebug_;
  }
  // The only captured line; fails the test if there is not exactly one.
  std::string Line() {
    EXPECT_EQ(gLines.size(), 1u);
    return gLines.empty() ? std::string() : gLines.back().line;
  }

 private:
  LogHookFn savedHook_ = nullptr;
  int savedDebug_ = 0;
};

TEST_F(LogMessageTest, NormalModeIsTheTextWithoutItsLastNewline) {
  EXPECT_EQ(LogMessage("supervise", "Fn", 12, LOG_WARNING, "Respawn: %s \n", "app"), 0);
  ASSERT_EQ(gLines.size(), 1u);
  EXPECT_EQ(gLines[0].priority, LOG_WARNING);
  EXPECT_EQ(gLines[0].line, "Respawn: app ");
}

TEST_F(LogMessageTest, NewlineRules) {
  struct Case {
    const char *text;
    const char *normal;
    const char *debug;
  } cases[] = {
      {"abc", "abc", "abc | 7:F@u\n"},
      {"abc\n", "abc", "abc | 7:F@u\n"},
      {"abc\n\n", "abc\n", "abc\n | 7:F@u\n"},
      {"\n", "", " | 7:F@u\n"},
      {"", "", " | 7:F@u\n"},
      {"a\nb", "a\nb", "a\nb | 7:F@u\n"},
  };
  for (const Case &c : cases) {
    for (int debug = 0; debug <= 1; ++debug) {
      gLines.clear();
      LogDebug = debug;
      LogMessage("u", "F", 7, LOG_ERR, "%s", c.text);
      EXPECT_EQ(Line(), debug ? c.debug : c.normal) << "text [" << c.text << "] debug " << debug;
    }
  }
}

TEST_F(LogMessageTest, LongTextIsCutAndSuffixFillsTheLineTo255) {
  const std::string longText(300, 'x');
  LogMessage("supervise", "SuperviseProcess", 99, LOG_ERR, "%s", longText.c_str());
  EXPECT_EQ(Line(), std::string(253, 'x'));

  gLines.clear();
  LogDebug = 1;
  LogMessage("supervise", "SuperviseProcess", 99, LOG_ERR, "%s", longText.c_str());
  EXPECT_EQ(Line(), std::string(253, 'x') + " |");

  // The text is cut before the newline test: a newline at position 254 is
  // already gone, one at position 253 is removed.
  gLines.clear();
  LogDebug = 0;
  LogMessage("u", "F", 1, LOG_ERR, "%s\n", std::string(253, 'y').c_str());
  EXPECT_EQ(Line(), std::string(253, 'y'));
  gLines.clear();
  LogMessage("u", "F", 1, LOG_ERR, "%s\n", std::string(252, 'y').c_str());
  EXPECT_EQ(Line(), std::string(252, 'y'));
}

TEST_F(LogMessageTest, SuffixIsWholeUpTo255AndCutBeyond) {
  LogDebug = 1;
  const std::string suffix = " | 42:f@u\n";  // 10 characters
  struct Case {
    size_t textLen;
    std::string expectedSuffix;
  } cases[] = {
      {244, suffix},
      {245, suffix},                 // 255 exactly: whole
      {246, suffix.substr(0, 9)},    // 256: loses its newline
      {250, suffix.substr(0, 5)},
      {253, suffix.substr(0, 2)},
  };
  for (const Case &c : cases) {
    gLines.clear();
    const std::string text(c.textLen, 'a');
    LogMessage("u", "f", 42, LOG_ERR, "%s", text.c_str());
    EXPECT_EQ(Line(), text + c.expectedSuffix) << "text length " << c.textLen;
    EXPECT_LE(Line().size(), 255u);
  }
}

TEST_F(LogMessageTest, FourDigitLineNumberCutsTheSuffixNewline) {
  LogDebug = 1;
  LogMessage("wardend", "main", 1000, LOG_ERR, "x");
  EXPECT_EQ(Line(), "x | 1000:main@wardend");
  gLines.clear();
  LogMessage("wardend", "main", 999, LOG_ERR, "x");
  EXPECT_EQ(Line(), "x | 999:main@wardend\n");
}

TEST_F(LogMessageTest, PercentMShowsTheCallersErrorAndKeepsErrno) {
  int fd = open("/nonexistent-wardend-test/missing.pid", O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(fd, -1);
  ASSERT_EQ(errno, ENOENT);
  LogMessage("wardend", "WritePid", 3, LOG_WARNING, "Error opening pidfile '%s': %m, pidfile not created",
             "/x");
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(Line(), std::string("Error opening pidfile '/x': ") + std::strerror(ENOENT) +
                        ", pidfile not created");
}

TEST_F(LogMessageTest, PercentSignsInArgumentsReachTheLineUnchanged) {
  LogDebug = 1;
  LogMessage("u", "F", 5, LOG_ERR, "Cmd exec fail : %s", "printf '%d%s%n' 100%");
  EXPECT_EQ(Line(), "Cmd exec fail : printf '%d%s%n' 100% | 5:F@u\n");
}

TEST(LogOpen, SignBitSelectsDebugMode) {
  const int saved = LogDebug;
  LogOpen("wardend-test", LOG_PID | LOG_DEBUG_REQUEST, LOG_LOCAL0);
  EXPECT_EQ(LogDebug, 1);
  LogOpen("wardend-test", LOG_PID | LOG_CONS | LOG_PERROR, LOG_LOCAL0);
  EXPECT_EQ(LogDebug, 0);
  LogClose();
  LogDebug = saved;
}

// Without a hook the line goes to the system log as data; LOG_PERROR copies
// what the system log received to standard error, where it can be checked.
TEST(LogMessageSyslog, LineReachesTheSystemLogVerbatim) {
  const LogHookFn savedHook = LogHook;
  const int savedDebug = LogDebug;
  LogHook = nullptr;
  LogOpen("wardend-test", LOG_PERROR | LOG_DEBUG_REQUEST, LOG_LOCAL0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogMessage("u", "F", 8, LOG_DEBUG, "rate %s", "100%d%%s"), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  LogClose();
  LogHook = savedHook;
  LogDebug = savedDebug;
  EXPECT_NE(err.find("wardend-test: rate 100%d%%s | 8:F@u\n"), std::string::npos) << err;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WARDEND_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define WARDEND_SANITIZED 1
#endif
#endif

#ifndef WARDEND_SANITIZED
// Exhausts the heap in a child process, then logs: the call must report 1
// and lose the line quietly.
void LogWithExhaustedHeap() {
  struct rlimit limit;
  getrlimit(RLIMIT_AS, &limit);
  long pages = 0;
  FILE *statm = std::fopen("/proc/self/statm", "re");
  if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) std::_Exit(3);
  std::fclose(statm);
  limit.rlim_cur = static_cast<rlim_t>(pages) * 4096 + (8 << 20);
  if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(4);
  for (size_t block = 1 << 20; block > 0; block /= 2) {
    while (std::malloc(block) != nullptr) {
    }
  }
  LogHook = Capture;
  gLines.clear();
  const int result = LogMessage("u", "F", 1, LOG_ERR, "lost");
  std::_Exit(result == 1 && gLines.empty() ? 0 : 5);
}

TEST(LogMessageDeathTest, NoHeapMeansResultOneAndNothingLogged) {
  EXPECT_EXIT(LogWithExhaustedHeap(), ::testing::ExitedWithCode(0), "");
}
#endif  // sanitizers need their own address space reserve

}  // namespace
