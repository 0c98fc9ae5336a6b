// SPDX-License-Identifier: MIT
// The last line of a command's output or of a text, and Str2Num.
#include "common/cmdexec.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

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
    FILE *file = fopen(path.c_str(), "we");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fwrite(content.data(), 1, content.size(), file), content.size());
    fclose(file);
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
  EXPECT_EQ(CmdSystem(nullptr), -1);
  EXPECT_EQ(CmdSystem("exit 3"), W_EXITCODE(3, 0));
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
    SCOPED_TRACE(text != nullptr ? text : "(null)");
    int32_t destination = -1;
    errno = ERANGE;
    EXPECT_EQ(Str2Num(text, base, &destination), result);
    EXPECT_EQ(destination, value);
    EXPECT_EQ(errno, errnoAfter);
  }
  EXPECT_EQ(Str2Num("5", 10, nullptr), 1);
}

}  // namespace
