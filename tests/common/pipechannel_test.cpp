// SPDX-License-Identifier: MIT
// Pipe channel: the open, closed and half-open states and the read wait.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "common/pipechannel.h"

TEST(PipeChannel, NeverTakesDescriptorZeroAndRefusesChannelsThatAreNotOpen) {
  const int spare = dup(0);
  close(0);  // 0 means "unset", so no end may land there (a detached daemon has 0 free)
  PipeChannel channel = {};
  EXPECT_EQ(PipeOpen(&channel), 0);
  EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 taken";
  dup2(spare, 0);
  EXPECT_TRUE(fcntl(channel.FdRead, F_GETFD) & fcntl(channel.FdWrite, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(PipeOpen(&channel), PIPE_NOT_READY);
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(PipeRead(&channel, buffer, 4, 1), 0) << "no time-out";
  std::thread writer([&] { usleep(100000); EXPECT_EQ(PipeWrite(&channel, "abcdef", 6), 6); });
  EXPECT_EQ(PipeRead(&channel, buffer, 4, 0), 4);  // without a limit it waits for the data
  writer.join();
  EXPECT_STREQ(buffer, "abcdxxx") << "the time-out touched the buffer or the read overran it";
  const int ends[] = {channel.FdRead, channel.FdWrite};
  EXPECT_EQ(PipeClose(&channel), 0);
  EXPECT_TRUE(channel.FdRead == 0 && channel.FdWrite == 0);
  EXPECT_TRUE(fcntl(ends[0], F_GETFD) == -1 && fcntl(ends[1], F_GETFD) == -1) << "ends left open";
  // Closed and half-open channels refuse everything; closing a half-open one
  // closes its open end (spare, a copy of standard input).
  for (PipeChannel other : {PipeChannel{0, 0}, PipeChannel{spare, 0}, PipeChannel{0, spare}}) {
    EXPECT_EQ(PipeCheck(&other), PIPE_NOT_READY);
    EXPECT_EQ(PipeRead(&other, buffer, sizeof buffer, 1), PIPE_NOT_READY);
    EXPECT_EQ(PipeWrite(&other, "x", 1), PIPE_NOT_READY);
  }
  PipeChannel half = {0, spare};
  EXPECT_EQ(PipeOpen(&half), PIPE_NOT_READY);
  EXPECT_EQ(PipeClose(&half), 0);
  EXPECT_TRUE(half.FdWrite == 0 && fcntl(spare, F_GETFD) == -1) << "half-open end overwritten or left open";
}
