// SPDX-License-Identifier: MIT
// Pipe channel: one pipe with both ends in a record, and a read that can
// time out. No state of its own; a channel is used by one thread at a time.
#include "common/pipechannel.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

bool IsOpen(const PipeChannel *channel) {
  return channel != nullptr && channel->FdRead != 0 && channel->FdWrite != 0;
}

// 0 marks an unset end, so an end that landed on descriptor 0 (standard
// input was closed) is moved to a higher number. Returns the usable
// descriptor, or -1 with the original closed.
int AwayFromZero(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

}  // namespace

int PipeOpen(PipeChannel *channel) {
  if (channel == nullptr || channel->FdRead != 0 || channel->FdWrite != 0) return PIPE_NOT_READY;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return 1;
  ends[0] = AwayFromZero(ends[0]);
  ends[1] = AwayFromZero(ends[1]);
  if (ends[0] < 0 || ends[1] < 0) {
    if (ends[0] >= 0) close(ends[0]);
    if (ends[1] >= 0) close(ends[1]);
    channel->FdRead = 0;
    channel->FdWrite = 0;
    return 1;
  }
  channel->FdRead = ends[0];
  channel->FdWrite = ends[1];
  return 0;
}

int PipeClose(PipeChannel *channel) {
  if (channel == nullptr) return 0;
  if (channel->FdRead != 0) close(channel->FdRead);
  if (channel->FdWrite != 0) close(channel->FdWrite);
  channel->FdRead = 0;
  channel->FdWrite = 0;
  return 0;
}

int PipeCheck(const PipeChannel *channel) { return IsOpen(channel) ? 0 : PIPE_NOT_READY; }

int PipeRead(PipeChannel *channel, void *buffer, int size, int timeout) {
  if (!IsOpen(channel)) return PIPE_NOT_READY;
  // A negative descriptor would be skipped by the wait and block it for good.
  if (buffer == nullptr || size < 0 || timeout < 0 || channel->FdRead < 0) {
    errno = channel->FdRead < 0 ? EBADF : EINVAL;
    return -1;
  }
  // ppoll rather than select: no FD_SETSIZE limit on the descriptor and no
  // overflow of a millisecond count for long timeouts.
  struct pollfd wait = {};
  wait.fd = channel->FdRead;
  wait.events = POLLIN;
  struct timespec limit = {timeout, 0};
  int ready = ppoll(&wait, 1, timeout == 0 ? nullptr : &limit, nullptr);
  if (ready != 1) return ready;  // 0: time ran out; -1: the wait failed
  if (wait.revents & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  memset(buffer, 0, static_cast<size_t>(size));
  return static_cast<int>(read(channel->FdRead, buffer, static_cast<size_t>(size)));
}

int PipeWrite(PipeChannel *channel, const void *data, int length) {
  if (!IsOpen(channel)) return PIPE_NOT_READY;
  if (length < 0 || (data == nullptr && length > 0)) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(write(channel->FdWrite, data, static_cast<size_t>(length)));
}
