// File copy: data, modes, directory creation, each failure, and no leaked
// descriptor on any path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

#include "common/filecopy.h"

// Permission bits and content of a regular file.
static std::string Describe(const std::string &path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return "not a file";
  std::ifstream in(path, std::ios::binary);
  return std::to_string(status.st_mode & 07777) + ":" + std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FileCopy, CopiesAndReportsEachFailure) {
  std::string dir = testing::TempDir() + "filecopy.XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const int lowest_free = dup(2);  // a descriptor leaked below would take this number
  close(lowest_free);
  std::string big;  // more than one copy buffer, every byte value
  for (int i = 0; i < 30000; i++) big += static_cast<char>(i * 7);
  std::ofstream(dir + "/big", std::ios::binary) << big;
  chmod((dir + "/big").c_str(), 0700);  // no umask takes bits away from 0700
  std::ofstream(dir + "/empty");
  std::ofstream(dir + "/old") << "a much longer previous content";
  chmod((dir + "/old").c_str(), 0604);
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {"big", "a/b/new", "", std::to_string(0700) + ":" + big},  // into a missing directory
      {"empty", "old", "", std::to_string(0604) + ":"},          // truncated, keeps its own mode
      {"missing", "c/d/dst", "SRC open error\n", "not a file"},  // the directory is made first,
      {"big", "c/d", "DST open error\n", "not a file"},           // so c/d is one now
      {"big", "/dev/full", "DST write error\n", "not a file"},  // stops, keeps what was written
  };
  for (const auto &[from, to, said, after] : cases) {
    std::string target = to[0] == '/' ? to : dir + "/" + to;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FileCopy((dir + "/" + from).c_str(), target.c_str()), said.empty() ? 0 : 1) << to;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), said) << to;
    EXPECT_EQ(Describe(target), after) << to;
  }
  EXPECT_EQ(fcntl(lowest_free, F_GETFD), -1) << "descriptor leaked";
  EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}
