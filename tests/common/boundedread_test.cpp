// SPDX-License-Identifier: MIT
// The bounded, non-blocking read of a small file: only regular files, never
// a wait, at most the buffer's size from the file's end.
#include "common/boundedread.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// A FIFO without a writer would block an ordinary open for ever. A larger
// file gives its last bytes; a file of /proc, whose size reads as 0, is read
// from its start.
TEST(ReadFileTail, ReadsOnlyRegularFilesWithoutWaitingAndFromTheirEnd) {
  const std::string fifo = testing::TempDir() + "fifo" + std::to_string(getpid()), path = fifo + "-tail";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  char buffer[4096];
  size_t length = 1;
  bool whole = true;
  EXPECT_EQ(ReadFileTail(fifo.c_str(), buffer, sizeof buffer, &length, &whole), READ_NOT_REGULAR);
  EXPECT_EQ(ReadFileTail(testing::TempDir().c_str(), buffer, sizeof buffer, &length, &whole), READ_NOT_REGULAR);
  EXPECT_EQ(ReadFileTail((fifo + "-none").c_str(), buffer, sizeof buffer, &length, &whole), READ_OPEN_FAIL);
  EXPECT_EQ(length, 0u);
  std::remove(fifo.c_str());
  std::string content;
  for (int i = 0; content.size() < 10000; i++) content += std::to_string(i) + "\n";
  FILE *file = fopen(path.c_str(), "we");
  ASSERT_NE(file, nullptr);
  fputs(content.c_str(), file);
  fclose(file);
  ASSERT_EQ(ReadFileTail(path.c_str(), buffer, sizeof buffer, &length, &whole), READ_OK);
  EXPECT_FALSE(whole);
  EXPECT_EQ(std::string(buffer, length), content.substr(content.size() - sizeof buffer));
  std::remove(path.c_str());
  ASSERT_EQ(ReadFileTail("/proc/self/stat", buffer, sizeof buffer, &length, &whole), READ_OK);
  EXPECT_TRUE(whole);
  EXPECT_EQ(std::string(buffer, length).rfind(std::to_string(getpid()) + " (", 0), 0u);
}
