// SPDX-License-Identifier: MIT
// The command runner's last-line and buffer rules, and Str2Num's range,
// trailing characters and bases.
#include "common/cmdexec.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/table_test.h"

namespace {

// A line longer than size - 1 is read in chunks and only the last chunk
// stays; the exit status is not judged; the text always ends inside the
// caller's size. Without a command, or without room for one character,
// nothing runs.
struct CommandRow {
  const char *name;
  const char *command;
  int size;
  int result;
  const char *output;
};

const CommandRow kCommandRows[] = {
    {"LastOfTwoLines", "printf 'a\\nb\\n'", 8, CMD_OK, "b"},
    {"EmptyLastLineIsNoOutput", "printf 'a\\n\\n'", 8, CMD_NO_OUTPUT, ""},
    {"SilentCommand", "true", 8, CMD_NO_OUTPUT, ""},
    {"ExitStatusNotJudged", "echo 1; exit 1", 260, CMD_OK, "1"},
    {"ManyLines", "seq 1 100000", 20, CMD_OK, "100000"},
    {"NoCommand", nullptr, 260, CMD_NO_COMMAND, ""},
    {"LongLineKeepsItsLastChunk", "printf '0123456789\\n'", 8, CMD_OK, "789"},
    {"LineThatFillsTheBufferLeavesItsNewlineAlone", "printf '0123456\\n'", 8, CMD_NO_OUTPUT, ""},
    {"FullBufferWithoutNewline", "printf 0123456", 8, CMD_OK, "0123456"},
    {"TwoByteBufferSeesOnlyTheNewline", "printf 'ab\\n'", 2, CMD_NO_OUTPUT, ""},
    {"TwoByteBufferKeepsOneCharacter", "printf ab", 2, CMD_OK, "b"},
    {"OneByteBufferRunsNothing", "echo x", 1, CMD_NO_COMMAND, ""},
};

class CmdExecTable : public testing::TestWithParam<CommandRow> {};

TEST_P(CmdExecTable, KeepsTheLastLineWithinTheBuffer) {
  const CommandRow &row = GetParam();
  std::string output(260, '#');
  EXPECT_EQ(CmdExec(row.command, output.data(), row.size), row.result);
  ASSERT_NE(std::memchr(output.data(), '\0', row.size), nullptr);
  EXPECT_STREQ(output.c_str(), row.output);
}
TABLE_ROWS(CmdExecTable, kCommandRows);

// Without any room nothing is written; CmdSystem gives the wait status.
TEST(CmdExec, WritesNothingWithoutRoomAndCmdSystemGivesTheStatus) {
  char output[] = "stale";
  EXPECT_EQ(CmdExec("echo x", output, 0), CMD_NO_COMMAND);
  EXPECT_EQ(CmdExec("echo x", nullptr, 8), CMD_NO_COMMAND);
  EXPECT_STREQ(output, "stale");
  EXPECT_EQ(CmdSystem(nullptr), -1);
  EXPECT_EQ(CmdSystem("exit 3"), W_EXITCODE(3, 0));
}

// The last line of a text that is at hand, worked out the way CmdExec reads
// a command's output: for every content and buffer size, the same result
// and text as CmdExec gives for "cat" of a file holding that content.
TEST(LastOutputLine, KeepsWhatCmdExecKeepsOfTheSameOutput) {
  const std::string contents[] = {
      "3\n",
      "a\nb\n",
      "a\n\n",
      "a",
      "",
      "\n",
      "12 \n",
      "1\n2",
      std::string(30, 'x') + "\n",
      std::string(19, 'y') + "\n",
      std::string(19, 'y'),
      std::string(38, 'z') + "\n",
      std::string("12\0"
                  "34\n",
                  6),
      std::string("\0"
                  "5\n",
                  3),
      "7\n" + std::string(300, '8') + "\n",
  };
  const std::string path = testing::TempDir() + "lastline" + std::to_string(getpid());
  for (const std::string &content : contents) {
    FILE *file = fopen(path.c_str(), "we");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fwrite(content.data(), 1, content.size(), file), content.size());
    fclose(file);
    for (int size : {2, 8, 20, 260}) {
      SCOPED_TRACE(testing::PrintToString(content) + " size " + std::to_string(size));
      char fromShell[260];
      char fromText[260];
      const int shell = CmdExec(("cat " + path).c_str(), fromShell, size);
      EXPECT_EQ(LastOutputLine(content.data(), content.size(), fromText, size), shell);
      EXPECT_STREQ(fromText, fromShell);
    }
  }
  std::remove(path.c_str());
}

// A refused text leaves the destination (-1 here) unchanged; errno tells a
// range error from other refusals, and an earlier range error has no effect.
struct NumberRow {
  const char *name;
  const char *text;
  int base;
  int result;
  int32_t value;
  int errnoAfter;
};

const NumberRow kNumberRows[] = {
    {"EmptyIsZero", "", 10, 0, 0, 0},
    {"LeadingWhiteSpace", "\t\n42", 10, 0, 42, 0},
    {"MinusSign", "-7", 10, 0, -7, 0},
    {"Largest", "2147483647", 10, 0, INT32_MAX, 0},
    {"Smallest", "-2147483648", 10, 0, INT32_MIN, 0},
    {"OneAboveTheRange", "2147483648", 10, 1, -1, ERANGE},
    {"OneBelowTheRange", "-2147483649", 10, 1, -1, ERANGE},
    {"TrailingNewline", "42\n", 10, 1, -1, 0},
    {"Letters", "abc", 10, 1, -1, 0},
    {"HexPrefixInBaseTen", "0x1F", 10, 1, -1, 0},
    {"HexPrefixFoundByBaseZero", "0x1F", 0, 0, 31, 0},
    {"UnsignedHexOverflows", "80000000", 16, 1, -1, ERANGE},
    {"SmallestInHex", "-0x80000000", 0, 0, INT32_MIN, 0},
    {"BaseOne", "12", 1, 1, -1, EINVAL},
    {"NoText", nullptr, 10, 1, -1, ERANGE},
};

class Str2NumTable : public testing::TestWithParam<NumberRow> {};

TEST_P(Str2NumTable, ConvertsOrLeavesTheDestinationUnchanged) {
  const NumberRow &row = GetParam();
  int32_t value = -1;
  errno = ERANGE;
  EXPECT_EQ(Str2Num(row.text, row.base, &value), row.result);
  EXPECT_EQ(value, row.value);
  EXPECT_EQ(errno, row.errnoAfter);
}
TABLE_ROWS(Str2NumTable, kNumberRows);

TEST(Str2Num, RefusesANullDestination) { EXPECT_EQ(Str2Num("5", 10, nullptr), 1); }

}  // namespace
