// SPDX-License-Identifier: MIT
// The pid file read in the daemon: only the end of a large file is read,
// and its last line must begin inside what was read.
#include "supervise/procscan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/cmdexec.h"
#include "support/table_test.h"

namespace {

struct PidFileRow {
  const char *name;
  std::string content;
  int result;
  std::string line;
};

const PidFileRow kPidFileRows[] = {
    // A pid file that collects a line per start keeps growing.
    {"LastLineOfALongHistory", std::string(8000, '1') + "\n" + std::string(6000, '\n') + "4321\n", CMD_OK, "4321"},
    {"LastLineStartingBeforeTheReadPart", "\n" + std::string(PID_FILE_READ_SIZE + 10, '5') + "\n", CMD_NO_OUTPUT,
     ""},
    {"LongLastLineInsideTheReadPartIsCut", "x\n" + std::string(300, '6') + "\n", CMD_OK,
     std::string(300 - (CONFIG_TEXT_SIZE - 1), '6')},
};

class PidFileTable : public testing::TestWithParam<PidFileRow> {};

TEST_P(PidFileTable, ReadsTheLastLineFromTheEndOfTheFile) {
  const PidFileRow &row = GetParam();
  const std::string path = testing::TempDir() + "pidfile" + std::to_string(getpid());
  FILE *file = fopen(path.c_str(), "we");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(fwrite(row.content.data(), 1, row.content.size(), file), row.content.size());
  fclose(file);
  char line[CONFIG_TEXT_SIZE];
  EXPECT_EQ(ReadPidFileLine(path.c_str(), line, sizeof line), row.result);
  EXPECT_EQ(line, row.line);
  std::remove(path.c_str());
}
TABLE_ROWS(PidFileTable, kPidFileRows);

}  // namespace
