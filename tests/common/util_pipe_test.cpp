// Pipe channel: the open, closed and half-open states and the read wait.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "common/util.h"

namespace {

bool IsOpenDescriptor(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(PipeChannel, ClosedAndHalfOpenChannelsRefuseTransfers) {
  int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GT(spare, 0);
  PipeChannel closed = {0, 0};
  PipeChannel half_read = {spare, 0};
  PipeChannel half_write = {0, spare};
  char buffer[8];
  for (PipeChannel *channel : {&closed, &half_read, &half_write}) {
    PipeChannel before = *channel;
    EXPECT_EQ(PipeCheck(channel), PIPE_NOT_READY);
    EXPECT_EQ(PipeRead(channel, buffer, sizeof buffer, 1), PIPE_NOT_READY);
    EXPECT_EQ(PipeWrite(channel, "x", 1), PIPE_NOT_READY);
    if (channel != &closed) {
      EXPECT_EQ(PipeOpen(channel), PIPE_NOT_READY);
      EXPECT_EQ(channel->FdRead, before.FdRead);
      EXPECT_EQ(channel->FdWrite, before.FdWrite);
    }
  }
  EXPECT_EQ(PipeClose(&closed), 0);
  EXPECT_EQ(PipeClose(&half_write), 0);
  EXPECT_EQ(half_write.FdWrite, 0);
  EXPECT_FALSE(IsOpenDescriptor(spare)) << "half-open end left open";
  EXPECT_EQ(PipeCheck(nullptr), PIPE_NOT_READY);
  EXPECT_EQ(PipeOpen(nullptr), PIPE_NOT_READY);
  EXPECT_EQ(PipeClose(nullptr), 0);
}

TEST(PipeChannel, OpenChannelCarriesDataAndCloses) {
  PipeChannel channel = {};
  ASSERT_EQ(PipeOpen(&channel), 0);
  ASSERT_NE(channel.FdRead, 0);
  ASSERT_NE(channel.FdWrite, 0);
  EXPECT_TRUE(fcntl(channel.FdRead, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(channel.FdWrite, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(PipeCheck(&channel), 0);

  PipeChannel before = channel;
  EXPECT_EQ(PipeOpen(&channel), PIPE_NOT_READY);
  EXPECT_EQ(channel.FdRead, before.FdRead);
  EXPECT_EQ(channel.FdWrite, before.FdWrite);

  EXPECT_EQ(PipeWrite(&channel, "hello", 5), 5);
  char buffer[16];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(PipeRead(&channel, buffer, sizeof buffer, 1), 5);
  EXPECT_EQ(memcmp(buffer, "hello\0\0\0\0\0\0\0\0\0\0\0", 16), 0);

  // A read that fills the buffer leaves it unterminated and touches nothing
  // beyond it.
  EXPECT_EQ(PipeWrite(&channel, "abcdef", 6), 6);
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(PipeRead(&channel, buffer, 4, 1), 4);
  EXPECT_EQ(memcmp(buffer, "abcdxx", 6), 0);
  EXPECT_EQ(PipeRead(&channel, buffer, 4, 1), 2);

  EXPECT_EQ(PipeRead(&channel, buffer, -1, 1), -1);
  EXPECT_EQ(PipeWrite(&channel, buffer, -1), -1);

  int read_end = channel.FdRead, write_end = channel.FdWrite;
  EXPECT_EQ(PipeClose(&channel), 0);
  EXPECT_EQ(channel.FdRead, 0);
  EXPECT_EQ(channel.FdWrite, 0);
  EXPECT_FALSE(IsOpenDescriptor(read_end));
  EXPECT_FALSE(IsOpenDescriptor(write_end));
  EXPECT_EQ(PipeClose(&channel), 0);
}

TEST(PipeChannel, ReadTimesOutOnEmptyPipe) {
  PipeChannel channel = {};
  ASSERT_EQ(PipeOpen(&channel), 0);
  char buffer[4];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(PipeRead(&channel, buffer, sizeof buffer, 1), 0);
  EXPECT_EQ(memcmp(buffer, "xxxx", 4), 0) << "nothing read, nothing touched";
  PipeClose(&channel);
}

TEST(PipeChannel, ReadWithoutLimitWaitsForDataOrEnd) {
  PipeChannel channel = {};
  ASSERT_EQ(PipeOpen(&channel), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(PipeWrite(&channel, "late", 4), 4);
  });
  char buffer[8];
  EXPECT_EQ(PipeRead(&channel, buffer, sizeof buffer, 0), 4);
  writer.join();

  // The writer's end goes away while the field still holds a descriptor:
  // the wait ends at once with end of data.
  int write_end = channel.FdWrite;
  channel.FdWrite = open("/dev/null", O_WRONLY | O_CLOEXEC);
  close(write_end);
  EXPECT_EQ(PipeRead(&channel, buffer, sizeof buffer, 0), 0);
  PipeClose(&channel);
}

TEST(PipeChannel, ReadOnClosedDescriptorFails) {
  PipeChannel channel = {};
  ASSERT_EQ(PipeOpen(&channel), 0);
  close(channel.FdRead);
  char buffer[4];
  EXPECT_EQ(PipeRead(&channel, buffer, sizeof buffer, 1), -1);
  channel.FdRead = 0;
  PipeClose(&channel);
}

TEST(PipeChannel, NeverUsesDescriptorZero) {
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  PipeChannel channel = {};
  int result = PipeOpen(&channel);
  PipeChannel opened = channel;
  bool zero_free = !IsOpenDescriptor(0);
  PipeClose(&channel);
  dup2(saved, 0);
  close(saved);
  EXPECT_EQ(result, 0);
  EXPECT_GT(opened.FdRead, 0);
  EXPECT_GT(opened.FdWrite, 0);
  EXPECT_TRUE(zero_free) << "descriptor 0 taken";
}

}  // namespace
