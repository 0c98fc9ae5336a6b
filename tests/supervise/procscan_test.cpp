// SPDX-License-Identifier: MIT
// The pid file read in the daemon: only the end of a large file is read,
// and its last line must begin inside what was read.
#include "supervise/procscan.h"

#include "common/cmdexec.h"
#include "supervise_support.h"

namespace {

TEST(PidFile, ReadsTheLastLineFromTheEndOfTheFile) {
  const std::string path = testing::TempDir() + "pidfile" + std::to_string(getpid());
  const struct {
    std::string content;
    int result;
    std::string line;
  } rows[] = {
      // A pid file that collects a line per start keeps growing; a last line
      // that begins before the part read is none; a long one is cut.
      {std::string(8000, '1') + "\n" + std::string(6000, '\n') + "4321\n", CMD_OK, "4321"},
      {"\n" + std::string(PID_FILE_READ_SIZE + 10, '5') + "\n", CMD_NO_OUTPUT, ""},
      {"x\n" + std::string(300, '6') + "\n", CMD_OK, std::string(300 - (CONFIG_TEXT_SIZE - 1), '6')},
  };
  for (const auto &row : rows) {
    std::ofstream(path) << row.content;
    char line[CONFIG_TEXT_SIZE];
    EXPECT_EQ(ReadPidFileLine(path.c_str(), line, sizeof line), row.result) << row.line;
    EXPECT_EQ(line, row.line);
  }
  std::remove(path.c_str());
}

}  // namespace
