// SPDX-License-Identifier: MIT
// The small routines of common/, each against its callers' contract.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/backtrace.h"
#include "common/boundedread.h"
#include "common/cmdexec.h"
#include "common/crc16.h"
#include "common/filecopy.h"
#include "common/log.h"
#include "common/pipechannel.h"
#include "common/regexcount.h"
#include "common/semaphore.h"

namespace {

// Only the last chunk of size - 1 stays, ended inside the size; LastOutputLine
// keeps of a text what CmdExec keeps of "cat" of it.
TEST(CmdExec, KeepsTheLastLineWithinTheBufferAsLastOutputLineDoes) {
  using namespace std::string_literals;
  // clang-format off
  const std::tuple<std::string, int, int, std::string> rows[] = {  // content, size, result, output
      {"a\nb\n", 8, CMD_OK, "b"}, {"a\n\n", 8, CMD_NO_OUTPUT, ""}, {"", 8, CMD_NO_OUTPUT, ""},
      {"\n", 8, CMD_NO_OUTPUT, ""}, {"1\n2", 8, CMD_OK, "2"}, {"0123456789\n", 8, CMD_OK, "789"},
      {"0123456\n", 8, CMD_NO_OUTPUT, ""},  // the line fills the buffer, its newline is read alone
      {"0123456", 8, CMD_OK, "0123456"}, {"ab\n", 2, CMD_NO_OUTPUT, ""}, {"ab", 2, CMD_OK, "b"},
      {"x", 1, CMD_NO_COMMAND, ""},  // no room for a character: nothing runs
      {"12\0 34\n"s, 8, CMD_OK, "12"}, {"\0 5\n"s, 8, CMD_NO_OUTPUT, ""},
      {"7\n" + std::string(300, '8') + "\n", 260, CMD_OK, std::string(41, '8')},
      {"7\n" + std::string(300, '8') + "\n", 20, CMD_OK, std::string(15, '8')},
  };
  // clang-format on
  const std::string path = testing::TempDir() + "lastline" + std::to_string(getpid());
  for (const auto &[content, size, result, output] : rows) {
    SCOPED_TRACE(testing::PrintToString(content) + " size " + std::to_string(size));
    std::ofstream(path, std::ios::binary) << content;
    std::string fromShell(260, '#'), fromText(260, '#');
    EXPECT_EQ(CmdExec(("cat " + path).c_str(), fromShell.data(), size), result);
    EXPECT_EQ(LastOutputLine(content.data(), content.size(), fromText.data(), size), result);
    ASSERT_NE(std::memchr(fromShell.data(), '\0', size), nullptr);
    EXPECT_STREQ(fromShell.c_str(), output.c_str());
    EXPECT_STREQ(fromText.c_str(), output.c_str());
  }
  std::remove(path.c_str());
  char output[20] = "stale";
  // The exit status is not judged; many lines are read to the last.
  EXPECT_EQ(CmdExec("echo 1; exit 1", output, sizeof output), CMD_OK);
  EXPECT_STREQ(output, "1");
  EXPECT_EQ(CmdExec("seq 1 100000", output, sizeof output), CMD_OK);
  EXPECT_STREQ(output, "100000");
  // Without a command, or without any room, nothing is written.
  EXPECT_EQ(CmdExec(nullptr, output, sizeof output), CMD_NO_COMMAND);
  EXPECT_STREQ(output, "");
  strcpy(output, "stale");
  EXPECT_EQ(CmdExec("echo x", output, 0), CMD_NO_COMMAND);
  EXPECT_EQ(CmdExec("echo x", nullptr, 8), CMD_NO_COMMAND);
  EXPECT_EQ(LastOutputLine("x", 1, output, 0), CMD_NO_COMMAND);
  EXPECT_STREQ(output, "stale");
  EXPECT_EQ(std::make_pair(CmdSystem(nullptr), CmdSystem("exit 3")), std::make_pair(-1, W_EXITCODE(3, 0)));
}

// A refused text leaves the destination unchanged; errno tells a range error apart.
TEST(Str2Num, ConvertsOrLeavesTheDestinationUnchanged) {
  // clang-format off
  const std::tuple<const char *, int, int, int32_t, int> rows[] = {  // text, base, result, value, errno
      {"", 10, 0, 0, 0}, {"\t\n42", 10, 0, 42, 0}, {"-7", 10, 0, -7, 0}, {"2147483647", 10, 0, INT32_MAX, 0},
      {"-2147483648", 10, 0, INT32_MIN, 0}, {"2147483648", 10, 1, -1, ERANGE}, {"-2147483649", 10, 1, -1, ERANGE},
      {"42\n", 10, 1, -1, 0}, {"abc", 10, 1, -1, 0}, {"0x1F", 10, 1, -1, 0}, {"0x1F", 0, 0, 31, 0},
      {"80000000", 16, 1, -1, ERANGE},  // no unsigned overflow into the negatives
      {"-0x80000000", 0, 0, INT32_MIN, 0}, {"12", 1, 1, -1, EINVAL}, {nullptr, 10, 1, -1, ERANGE},
  };
  // clang-format on
  for (const auto &[text, base, result, value, errnoAfter] : rows) {
    int32_t destination = -1;
    errno = ERANGE;
    const int got = Str2Num(text, base, &destination);
    EXPECT_EQ(std::make_tuple(got, destination, errno), std::make_tuple(result, value, errnoAfter))
        << (text != nullptr ? text : "(null)");
  }
  EXPECT_EQ(Str2Num("5", 10, nullptr), 1);
}

}  // namespace

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
  for (size_t len : {244, 246, 247, 252})
    EXPECT_EQ(Line(1, x.substr(0, len)), (x.substr(0, len) + suffix).substr(0, 255)) << len;
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

TEST(Crc16, MatchesPublishedXmodemValues) {
  // The standard's check value; a high byte must not sign-extend into the index.
  EXPECT_EQ(std::make_tuple(Crc16("123456789", 9), Crc16("\xff", 1)), std::make_tuple(0x31C3, 0x1EF0));
  EXPECT_TRUE(Crc16("123456789", 0) == 0 && Crc16("123456789", -5) == 0 && Crc16(nullptr, 4) == 0);
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
  for (const auto &[text, pattern, flags, count] : rows)
    EXPECT_EQ(RegexCount(text, pattern, flags), count) << (text ? text : "") << " " << (pattern ? pattern : "");
}

TEST(DumpBacktrace, WritesFramesToStandardOutput) {
  testing::internal::CaptureStdout();
  DumpBacktrace();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 3) << out;  // this test's and the runner's frames
}

// A file that reports size 0 (of /proc) is read from its start. The pid-file
// reader holds the rest: a large file's tail (supervise_unit's PidFileTable), a
// FIFO that must not stall it and a folder (test_alive_check on the board).
TEST(ReadFileTail, ReadsAFileOfSizeZeroFromItsStart) {
  char buffer[4096];
  size_t length = 0;
  bool whole = false;
  ASSERT_EQ(ReadFileTail("/proc/self/stat", buffer, sizeof buffer, &length, &whole), READ_OK);
  EXPECT_TRUE(whole && std::string(buffer, length).rfind(std::to_string(getpid()) + " (", 0) == 0);
}

TEST(FileCopy, CopiesOrReportsTheFailingSide) {
  std::string dir = testing::TempDir() + "filecopy.XXXXXX", big;
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  for (int i = 0; i < 30000; i++) big += static_cast<char>(i * 7);  // more than one buffer, every byte value
  std::ofstream(dir + "/big", std::ios::binary) << big;
  std::ofstream(dir + "/old") << "a much longer previous content";
  std::ofstream(dir + "/empty");
  // No umask takes bits away from 0700; a copy over a file keeps its mode.
  ASSERT_EQ(chmod((dir + "/big").c_str(), 0700) | chmod((dir + "/old").c_str(), 0604), 0);
  // source, destination (in the folder unless absolute), what is said, mode and content of the destination after
  // clang-format off
  const std::tuple<const char *, std::string, const char *, std::string> rows[] = {
      {"big", "a/b/new", "", "448:" + big}, {"empty", "old", "", "388:"},  // into a missing folder; truncated
      {"missing", "c/d/dst", "SRC open error\n", "-"}, {"big", "", "DST open error\n", "-"},
      {"big", "/dev/full", "DST write error\n", "-"}};
  // clang-format on
  for (const auto &[source, destination, said, after] : rows) {
    SCOPED_TRACE(destination);
    const int lowestFree = dup(2);  // a descriptor leaked below would take this number
    close(lowestFree);
    const std::string target = destination[0] == '/' ? destination : dir + "/" + destination;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FileCopy((dir + "/" + source).c_str(), target.c_str()), said[0] == '\0' ? 0 : 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), said);
    EXPECT_EQ(fcntl(lowestFree, F_GETFD), -1) << "descriptor leaked";
    struct stat status {};
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(stat(target.c_str(), &status) != 0 || !S_ISREG(status.st_mode)
                  ? "-"
                  : std::to_string(status.st_mode & 07777) + ":" + std::string(std::istreambuf_iterator<char>(in), {}),
              after);
  }
  std::filesystem::remove_all(dir);
}

// 0 means "unset", so no end may land there (a detached daemon has 0 free); a
// time-out leaves the buffer alone; closed and half-open channels refuse all.
TEST(PipeChannel, NeverTakesDescriptorZeroAndRefusesChannelsThatAreNotOpen) {
  const int spare = dup(0);
  close(0);
  PipeChannel channel = {};
  EXPECT_EQ(PipeOpen(&channel), 0);
  EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 taken";
  dup2(spare, 0);
  EXPECT_TRUE(fcntl(channel.FdRead, F_GETFD) & fcntl(channel.FdWrite, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(PipeOpen(&channel), PIPE_NOT_READY);
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(PipeRead(&channel, buffer, 4, 1), 0) << "no time-out";
  std::thread writer([&] { usleep(100000); EXPECT_EQ(PipeWrite(&channel, "abcdef", 6), 6); });
  EXPECT_EQ(PipeRead(&channel, buffer, 4, 0), 4);  // without a limit it waits for the data
  writer.join();
  EXPECT_STREQ(buffer, "abcdxxx") << "the time-out touched the buffer or the read overran it";
  const int ends[] = {channel.FdRead, channel.FdWrite};
  EXPECT_TRUE(PipeClose(&channel) == 0 && channel.FdRead == 0 && channel.FdWrite == 0);
  EXPECT_TRUE(fcntl(ends[0], F_GETFD) == -1 && fcntl(ends[1], F_GETFD) == -1) << "ends left open";
  for (PipeChannel other : {PipeChannel{0, 0}, PipeChannel{spare, 0}, PipeChannel{0, spare}}) {
    EXPECT_TRUE(PipeCheck(&other) == PIPE_NOT_READY && PipeWrite(&other, "x", 1) == PIPE_NOT_READY &&
                PipeRead(&other, buffer, sizeof buffer, 1) == PIPE_NOT_READY);
  }
  close(spare);
}

// Under a fresh random key (someone else's set is never touched): opening does
// not reset a held lock, a second process waits on it, and the lock of a
// process that ended holding it is given back.
TEST(Semaphore, LocksAcrossProcessesAndUndoesLockOfEndedProcess) {
  std::mt19937 generator(static_cast<unsigned>(getpid()) ^ std::random_device{}());
  key_t key = 0;
  int id = -1, again = -1;
  for (int tries = 0; tries < 100 && id < 0; tries++) {
    key = static_cast<key_t>(generator() & 0x3fffffff) + 1;
    if (SemCreate(key, &id) != SEM_CREATED) id = -1;
  }
  ASSERT_GE(id, 0) << "no free key";
  EXPECT_EQ(semctl(id, 0, GETVAL), 1);
  ASSERT_EQ(SemLock(id), 0);
  EXPECT_TRUE(SemCreate(key, &again) == SEM_OPENED && again == id && semctl(id, 0, GETVAL) == 0);
  const pid_t child = fork();
  if (child == 0) _exit(SemCreate(key, &again) == SEM_OPENED && SemLock(again) == 0 ? 0 : 1);
  for (int i = 0; i < 2000 && semctl(id, 0, GETNCNT) < 1; i++) usleep(5000);
  EXPECT_EQ(semctl(id, 0, GETNCNT), 1) << "child passed a held lock";
  ASSERT_EQ(SemUnlock(id), 0);
  int status = -1;
  EXPECT_TRUE(waitpid(child, &status, 0) == child && status == 0) << "child did not get the lock once it was free";
  EXPECT_EQ(semctl(id, 0, GETVAL), 1) << "lock of an ended process not undone";
  ASSERT_EQ(SemRemove(id), 0);
  EXPECT_TRUE(SemRemove(id) == 1 && SemLock(id) == 1 && SemUnlock(id) == 1 && SemCreate(key, nullptr) == SEM_FAILED)
      << "removed set still usable";
}
