// SPDX-License-Identifier: MIT
// File copy: data, modes, directory creation, each failure, and no leaked
// descriptor on any path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/filecopy.h"
#include "support/table_test.h"

namespace {

// Permission bits and content of a regular file.
std::string Describe(const std::string &path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return "not a file";
  std::ifstream in(path, std::ios::binary);
  return std::to_string(status.st_mode & 07777) + ":" + std::string(std::istreambuf_iterator<char>(in), {});
}

// More than one copy buffer, every byte value.
std::string BigContent() {
  std::string big;
  for (int i = 0; i < 30000; i++) big += static_cast<char>(i * 7);
  return big;
}

struct CopyRow {
  const char *name;
  const char *source;       // in the scratch folder
  const char *destination;  // in the scratch folder unless absolute
  const char *said;         // on standard output; empty for a copy
  std::string after;        // Describe() of the destination
};

const CopyRow kCopyRows[] = {
    {"IntoAMissingDirectory", "big", "a/b/new", "", "448:" + BigContent()},  // 0700
    {"TruncatesAndKeepsTheDestinationMode", "empty", "old", "", "388:"},     // 0604
    {"MissingSource", "missing", "c/d/dst", "SRC open error\n", "not a file"},
    {"DestinationIsADirectory", "big", "dir", "DST open error\n", "not a file"},
    {"FullDevice", "big", "/dev/full", "DST write error\n", "not a file"},
};

class FileCopyTable : public testing::TestWithParam<CopyRow> {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "filecopy.XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    std::ofstream(dir_ + "/big", std::ios::binary) << BigContent();
    chmod((dir_ + "/big").c_str(), 0700);  // no umask takes bits away from 0700
    std::ofstream(dir_ + "/empty");
    std::ofstream(dir_ + "/old") << "a much longer previous content";
    chmod((dir_ + "/old").c_str(), 0604);
    mkdir((dir_ + "/dir").c_str(), 0755);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_P(FileCopyTable, CopiesOrReportsTheFailingSide) {
  const CopyRow &row = GetParam();
  const int lowestFree = dup(2);  // a descriptor leaked below would take this number
  close(lowestFree);
  const std::string target = row.destination[0] == '/' ? row.destination : dir_ + "/" + row.destination;
  testing::internal::CaptureStdout();
  EXPECT_EQ(FileCopy((dir_ + "/" + row.source).c_str(), target.c_str()), row.said[0] == '\0' ? 0 : 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), row.said);
  EXPECT_EQ(Describe(target), row.after);
  EXPECT_EQ(fcntl(lowestFree, F_GETFD), -1) << "descriptor leaked";
}
TABLE_ROWS(FileCopyTable, kCopyRows);

}  // namespace
