#include "common/cmdexec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/wait.h>

namespace {

TEST(CmdExec, KeepsTheLastLineOfOutput) {
  struct Case {
    const char *command;
    int size;
    int result;
    std::string output;
  } cases[] = {
      {"printf '3\\n'", 260, CMD_OK, "3"},
      {"printf 'a\\nb\\n'", 260, CMD_OK, "b"},
      {"printf 'a\\n\\n'", 260, CMD_NO_OUTPUT, ""},
      {"printf 'no final newline'", 260, CMD_OK, "no final newline"},
      {"true", 260, CMD_NO_OUTPUT, ""},
      {"echo hidden >/dev/null; exit 4", 260, CMD_NO_OUTPUT, ""},
      // The exit status is not judged: a failing command that prints counts.
      {"echo 1; exit 1", 260, CMD_OK, "1"},
      {"/nonexistent-wardend-test/cmd 2>/dev/null", 260, CMD_NO_OUTPUT, ""},
      // A long line is read in chunks of size - 1; the last chunk stays.
      {"printf '%s\\n' 0123456789abcdefghijklmnopqrst", 20, CMD_OK, "jklmnopqrst"},
      // 19 characters fill the first read, the newline alone is the second.
      {"printf '%s\\n' 0123456789abcdefghi", 20, CMD_NO_OUTPUT, ""},
      {"printf '%s' 0123456789abcdefghi", 20, CMD_OK, "0123456789abcdefghi"},
      {"printf '%s\\n' 0123456789abcdefgh", 20, CMD_OK, "0123456789abcdefgh"},
      {"printf 'ab\\n'", 2, CMD_NO_OUTPUT, ""},
      {"printf 'ab'", 2, CMD_OK, "b"},
  };
  for (const Case &c : cases) {
    char output[260];
    std::memset(output, '#', sizeof output);
    const int result = CmdExec(c.command, output, c.size);
    EXPECT_EQ(result, c.result) << c.command;
    // The text must end inside the caller's size.
    ASSERT_NE(std::memchr(output, '\0', c.size), nullptr) << c.command;
    EXPECT_EQ(std::string(output), c.output) << c.command;
  }
}

TEST(CmdExec, UnusableArgumentsRunNothingAndLeaveAnEmptyText) {
  char output[8];
  std::strcpy(output, "stale");
  EXPECT_EQ(CmdExec(nullptr, output, sizeof output), CMD_NO_COMMAND);
  EXPECT_STREQ(output, "");

  std::strcpy(output, "stale");
  EXPECT_EQ(CmdExec("echo x", output, 1), CMD_NO_COMMAND);
  EXPECT_STREQ(output, "");

  std::strcpy(output, "stale");
  EXPECT_EQ(CmdExec("echo x", output, 0), CMD_NO_COMMAND);
  EXPECT_STREQ(output, "stale");  // no byte may be written
  EXPECT_EQ(CmdExec("echo x", nullptr, 8), CMD_NO_COMMAND);
}

TEST(CmdExec, LongOutputDoesNotBlockOrOverrun) {
  char output[20];
  EXPECT_EQ(CmdExec("seq 1 100000", output, sizeof output), CMD_OK);
  EXPECT_STREQ(output, "100000");
}

TEST(CmdSystem, ReturnsTheWaitStatus) {
  EXPECT_EQ(CmdSystem(nullptr), -1);
  const int status = CmdSystem("exit 3");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(CmdSystem("true"), 0);
}

TEST(Str2Num, ConvertsOrLeavesTheDestinationUnchanged) {
  constexpr int32_t kUnchanged = -1;
  struct Case {
    const char *text;
    int base;
    int result;
    int32_t value;  // expected destination
    int errnoAfter;
  } cases[] = {
      {"", 10, 0, 0, 0},
      {"42", 10, 0, 42, 0},
      {" 42", 10, 0, 42, 0},
      {"\t\n42", 10, 0, 42, 0},
      {"+7", 10, 0, 7, 0},
      {"-7", 10, 0, -7, 0},
      {"007", 10, 0, 7, 0},
      {"2147483647", 10, 0, INT32_MAX, 0},
      {"-2147483648", 10, 0, INT32_MIN, 0},
      {"2147483648", 10, 1, kUnchanged, ERANGE},
      {"-2147483649", 10, 1, kUnchanged, ERANGE},
      {"4294967296", 10, 1, kUnchanged, ERANGE},
      {"99999999999999999999999", 10, 1, kUnchanged, ERANGE},
      {"-99999999999999999999999", 10, 1, kUnchanged, ERANGE},
      {"42\n", 10, 1, kUnchanged, 0},
      {"42 ", 10, 1, kUnchanged, 0},
      {"4 2", 10, 1, kUnchanged, 0},
      {"abc", 10, 1, kUnchanged, 0},
      {"   ", 10, 1, kUnchanged, 0},
      {"-", 10, 1, kUnchanged, 0},
      {"+", 10, 1, kUnchanged, 0},
      {"0x1F", 10, 1, kUnchanged, 0},
      {"0x1F", 16, 0, 31, 0},
      {"1f", 16, 0, 31, 0},
      {"0x1F", 0, 0, 31, 0},
      {"010", 0, 0, 8, 0},
      {"7fffffff", 16, 0, INT32_MAX, 0},
      {"80000000", 16, 1, kUnchanged, ERANGE},
      {"-0x80000000", 0, 0, INT32_MIN, 0},
      {"12", 1, 1, kUnchanged, EINVAL},
      {"12", 37, 1, kUnchanged, EINVAL},
  };
  for (const Case &c : cases) {
    int32_t value = kUnchanged;
    EXPECT_EQ(Str2Num(c.text, c.base, &value), c.result) << "[" << c.text << "] base " << c.base;
    EXPECT_EQ(errno, c.errnoAfter) << "[" << c.text << "] base " << c.base;
    EXPECT_EQ(value, c.value) << "[" << c.text << "] base " << c.base;
  }
}

TEST(Str2Num, LeftoverRangeErrorHasNoEffect) {
  int32_t value = -1;
  errno = ERANGE;
  EXPECT_EQ(Str2Num("5", 10, &value), 0);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(errno, 0);
}

TEST(Str2Num, NullArgumentsAreRefused) {
  int32_t value = -1;
  EXPECT_EQ(Str2Num(nullptr, 10, &value), 1);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(Str2Num("5", 10, nullptr), 1);
}

}  // namespace
