// SPDX-License-Identifier: MIT
// The quit pipe of a helper thread. Start and Stop run on the thread that
// owns the helper; QuitWithin and Pending on the helper itself.
#include "common/quitpipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

bool QuitWithin(int quitFd, int timeoutMs) {
  struct pollfd quit = {quitFd, POLLIN, 0};
  return poll(&quit, quitFd >= 0 ? 1 : 0, timeoutMs) > 0 && (quit.revents & (POLLIN | POLLHUP)) != 0;
}

int QuitPipe::Start(QuitThreadCreateFn create, void *(*start)(void *), void *arg) {
  if (running_) return 0;
  if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    fds_[0] = fds_[1] = -1;
    return -1;
  }
  const int error = create(&thread_, start, arg);
  if (error != 0) {
    Close();
    return error;
  }
  running_ = true;
  return 0;
}

int QuitPipe::Stop() {
  if (!running_) return 0;
  unsigned char quit = 0;
  ssize_t written = write(fds_[1], &quit, 1);
  (void)written;  // an empty pipe always takes one byte
  const int error = pthread_join(thread_, nullptr);
  Close();
  running_ = false;
  return error;
}

bool QuitPipe::Pending() const {
  unsigned char byte;
  return read(fds_[0], &byte, 1) == 1;
}

void QuitPipe::Close() {
  for (int &fd : fds_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}
