// File copy: directory creation, truncation, modes, failures and descriptor
// hygiene.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/util.h"

namespace {

int OpenDescriptorCount() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) count++;
  closedir(dir);
  return count;
}

class FileCopyTest : public testing::Test {
 protected:
  void SetUp() override {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/filecopy.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fds_ = OpenDescriptorCount();
  }
  void TearDown() override {
    EXPECT_EQ(OpenDescriptorCount(), fds_) << "descriptor leaked";
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  static void Write(const std::string &path, const std::string &data, mode_t mode) {
    std::ofstream(path, std::ios::binary) << data;
    chmod(path.c_str(), mode);
  }
  static std::string Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }
  static mode_t Mode(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
  }
  // Runs FileCopy and returns its result, with what it printed in *said.
  static int Copy(const std::string &from, const std::string &to, std::string *said) {
    testing::internal::CaptureStdout();
    int result = FileCopy(from.c_str(), to.c_str());
    *said = testing::internal::GetCapturedStdout();
    return result;
  }

  std::string dir_;
  int fds_ = 0;
};

TEST_F(FileCopyTest, CopiesDataLargerThanOneBuffer) {
  std::string data;
  for (int i = 0; i < 30000; i++) data += static_cast<char>(i * 7);
  Write(Path("src"), data, 0644);
  std::string said;
  EXPECT_EQ(Copy(Path("src"), Path("dst"), &said), 0);
  EXPECT_EQ(said, "");
  EXPECT_EQ(Read(Path("dst")), data);
}

TEST_F(FileCopyTest, EmptySourceGivesEmptyDestination) {
  Write(Path("src"), "", 0644);
  std::string said;
  EXPECT_EQ(Copy(Path("src"), Path("dst"), &said), 0);
  struct stat status;
  ASSERT_EQ(stat(Path("dst").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
}

TEST_F(FileCopyTest, NewFileTakesSourceModeExistingKeepsItsOwn) {
  mode_t old_mask = umask(0);
  Write(Path("src"), "short", 0751);
  Write(Path("old"), "a much longer previous content", 0600);
  std::string said;
  EXPECT_EQ(Copy(Path("src"), Path("new"), &said), 0);
  EXPECT_EQ(Copy(Path("src"), Path("old"), &said), 0);
  umask(old_mask);
  EXPECT_EQ(Mode(Path("new")), 0751u);
  EXPECT_EQ(Mode(Path("old")), 0600u);
  EXPECT_EQ(Read(Path("old")), "short") << "destination must be truncated";
}

TEST_F(FileCopyTest, CreatesMissingDirectoryFirst) {
  Write(Path("src"), "data", 0644);
  std::string said;
  EXPECT_EQ(Copy(Path("src"), Path("a/b/dst"), &said), 0);
  EXPECT_EQ(Read(Path("a/b/dst")), "data");

  // The directory comes before the source is looked at.
  EXPECT_EQ(Copy(Path("missing"), Path("c/d/dst"), &said), 1);
  EXPECT_EQ(said, "SRC open error\n");
  struct stat status;
  EXPECT_EQ(stat(Path("c/d").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
}

TEST_F(FileCopyTest, CutsOverlongDirectoryCommandAtItsBuffer) {
  // "mkdir -p " leaves room for 246 characters of the directory name.
  Write(Path("src"), "data", 0644);
  std::string directory = dir_ + "/" + std::string(250 - dir_.size() - 1, 'd');
  std::string made = directory.substr(0, 246);
  std::string said;
  EXPECT_EQ(Copy(Path("src"), directory + "/f", &said), 1);
  EXPECT_EQ(said, "DST open error\n");
  struct stat status;
  EXPECT_EQ(stat(made.c_str(), &status), 0) << "cut directory not made";
  EXPECT_NE(stat(directory.c_str(), &status), 0);
}

TEST_F(FileCopyTest, ReportsEachFailure) {
  Write(Path("src"), "data", 0644);
  mkdir(Path("subdir").c_str(), 0755);
  std::string too_long = dir_ + "/" + std::string(300, 'n');
  struct Case {
    std::string from, to, message;
  } cases[] = {
      {Path("missing"), Path("dst"), "SRC open error\n"},
      {Path("src"), Path("subdir"), "DST open error\n"},  // a directory cannot be written
      {Path("src"), too_long, "DST open error\n"},
      {Path("src"), Path("nodir/") , "DST open error\n"},
  };
  for (const Case &c : cases) {
    std::string said;
    EXPECT_EQ(Copy(c.from, c.to, &said), 1) << c.from << " -> " << c.to;
    EXPECT_EQ(said, c.message) << c.from << " -> " << c.to;
  }
  std::string said;
  testing::internal::CaptureStdout();
  EXPECT_EQ(FileCopy(nullptr, Path("dst").c_str()), 1);
  EXPECT_EQ(FileCopy(Path("src").c_str(), nullptr), 1);
  said = testing::internal::GetCapturedStdout();
  EXPECT_EQ(said, "SRC open error\nDST open error\n");
}

TEST_F(FileCopyTest, StopsWhenDestinationWriteFails) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Write(Path("src"), std::string(20000, 'x'), 0644);
  std::string said;
  EXPECT_EQ(Copy(Path("src"), "/dev/full", &said), 1);
  EXPECT_EQ(said, "DST write error\n");
}

}  // namespace
