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
#include <tuple>

#include "common/filecopy.h"

namespace {

// Permission bits and content of a regular file.
std::string Describe(const std::string &path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return "not a file";
  std::ifstream in(path, std::ios::binary);
  return std::to_string(status.st_mode & 07777) + ":" + std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FileCopy, CopiesOrReportsTheFailingSide) {
  std::string dir = testing::TempDir() + "filecopy.XXXXXX", big;
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  for (int i = 0; i < 30000; i++) big += static_cast<char>(i * 7);  // more than one buffer, every byte value
  std::ofstream(dir + "/big", std::ios::binary) << big;
  chmod((dir + "/big").c_str(), 0700);  // no umask takes bits away from 0700
  std::ofstream(dir + "/empty");
  std::ofstream(dir + "/old") << "a much longer previous content";
  chmod((dir + "/old").c_str(), 0604);
  mkdir((dir + "/dir").c_str(), 0755);
  // source, destination (in the folder unless absolute), what is said, Describe() of the destination after
  const std::tuple<const char *, std::string, const char *, std::string> rows[] = {
      {"big", "a/b/new", "", "448:" + big},  // 0700, into a missing directory
      {"empty", "old", "", "388:"},          // truncated, the mode kept (0604)
      {"missing", "c/d/dst", "SRC open error\n", "not a file"},
      {"big", "dir", "DST open error\n", "not a file"},
      {"big", "/dev/full", "DST write error\n", "not a file"},
  };
  for (const auto &[source, destination, said, after] : rows) {
    SCOPED_TRACE(destination);
    const int lowestFree = dup(2);  // a descriptor leaked below would take this number
    close(lowestFree);
    const std::string target = destination[0] == '/' ? destination : dir + "/" + destination;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FileCopy((dir + "/" + source).c_str(), target.c_str()), said[0] == '\0' ? 0 : 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), said);
    EXPECT_EQ(Describe(target), after);
    EXPECT_EQ(fcntl(lowestFree, F_GETFD), -1) << "descriptor leaked";
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
