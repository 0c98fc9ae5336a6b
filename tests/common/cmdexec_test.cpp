// The command runner's last-line and buffer rules, and Str2Num's range,
// trailing characters and bases.
#include "common/cmdexec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <tuple>

namespace {

// A line longer than size - 1 is read in chunks and only the last chunk
// stays; the exit status is not judged; the text always ends inside the
// caller's size. Without a command, or without room for one character,
// nothing runs; without any room nothing is written. CmdSystem gives the
// wait status.
TEST(CmdExec, KeepsTheLastLineWithinTheBuffer) {
  const std::tuple<const char *, int, int, std::string> cases[] = {  // command, size, result, output
      {"printf 'a\\nb\\n'", 8, CMD_OK, "b"}, {"printf 'a\\n\\n'", 8, CMD_NO_OUTPUT, ""}, {"true", 8, CMD_NO_OUTPUT, ""},
      {"echo 1; exit 1", 260, CMD_OK, "1"}, {"seq 1 100000", 20, CMD_OK, "100000"}, {nullptr, 260, CMD_NO_COMMAND, ""},
      {"printf '0123456789\\n'", 8, CMD_OK, "789"}, {"printf '0123456\\n'", 8, CMD_NO_OUTPUT, ""},
      {"printf 0123456", 8, CMD_OK, "0123456"}, {"printf '012345\\n'", 8, CMD_OK, "012345"},
      {"printf 'ab\\n'", 2, CMD_NO_OUTPUT, ""}, {"printf ab", 2, CMD_OK, "b"}, {"echo x", 1, CMD_NO_COMMAND, ""},
  };
  for (const auto &[command, size, result, text] : cases) {
    std::string output(260, '#');
    EXPECT_EQ(CmdExec(command, output.data(), size), result) << command;
    ASSERT_NE(std::memchr(output.data(), '\0', size), nullptr) << command;
    EXPECT_EQ(output.c_str(), text) << command;
  }
  char output[] = "stale";
  EXPECT_EQ(std::make_pair(CmdExec("echo x", output, 0), CmdExec("echo x", nullptr, 8)),
            std::make_pair(CMD_NO_COMMAND, CMD_NO_COMMAND));
  EXPECT_STREQ(output, "stale");
  EXPECT_EQ(std::make_pair(CmdSystem(nullptr), CmdSystem("exit 3")), std::make_pair(-1, W_EXITCODE(3, 0)));
}

// A refused text leaves the destination unchanged; errno tells a range error
// from other refusals, and an earlier range error has no effect.
TEST(Str2Num, ConvertsOrLeavesTheDestinationUnchanged) {
  const std::tuple<const char *, int, int, int32_t, int> cases[] = {  // text, base, result, value, errno
      {"", 10, 0, 0, 0}, {"\t\n42", 10, 0, 42, 0}, {"+7", 10, 0, 7, 0}, {"-7", 10, 0, -7, 0}, {"007", 10, 0, 7, 0},
      {"2147483647", 10, 0, INT32_MAX, 0}, {"-2147483648", 10, 0, INT32_MIN, 0}, {"2147483648", 10, 1, -1, ERANGE},
      {"-2147483649", 10, 1, -1, ERANGE}, {"4294967296", 10, 1, -1, ERANGE}, {"42\n", 10, 1, -1, 0},
      {"99999999999999999999999", 10, 1, -1, ERANGE}, {"42 ", 10, 1, -1, 0}, {"abc", 10, 1, -1, 0},
      {"12", 1, 1, -1, EINVAL}, {"   ", 10, 1, -1, 0}, {"0x1F", 10, 1, -1, 0}, {"0x1F", 16, 0, 31, 0},
      {"0x1F", 0, 0, 31, 0}, {"010", 0, 0, 8, 0}, {"7fffffff", 16, 0, INT32_MAX, 0}, {"80000000", 16, 1, -1, ERANGE},
      {"-0x80000000", 0, 0, INT32_MIN, 0}, {"12", 37, 1, -1, EINVAL}, {nullptr, 10, 1, -1, ERANGE},
  };
  for (const auto &[text, base, result, want, errnoAfter] : cases) {
    int32_t value = -1;
    errno = ERANGE;
    EXPECT_EQ(Str2Num(text, base, &value), result) << "[" << text << "] base " << base;
    EXPECT_EQ(std::make_pair(value, errno), std::make_pair(want, errnoAfter)) << "[" << text << "] base " << base;
  }
  EXPECT_EQ(Str2Num("5", 10, nullptr), 1);
}

}  // namespace
