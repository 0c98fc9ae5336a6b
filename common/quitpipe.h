// SPDX-License-Identifier: MIT
// A helper thread that waits in poll and is told to quit by one byte on a
// pipe: the pipe, the thread's start and its stop in one place. The starting
// thread makes the pipe before the helper exists and closes it after the
// join; the helper only reads from it.
#pragma once

#include <pthread.h>

// How the helper thread is created (the main loop's LoopThreadCreate, which
// sizes the stack); returns the thread library's error number.
using QuitThreadCreateFn = int (*)(pthread_t *thread, void *(*start)(void *), void *arg);

// Whether the quit byte has come on quitFd; waits up to timeoutMs for it. A
// negative quitFd only waits.
bool QuitWithin(int quitFd, int timeoutMs);

class QuitPipe {
 public:
  QuitPipe() = default;
  QuitPipe(const QuitPipe &) = delete;
  QuitPipe &operator=(const QuitPipe &) = delete;
  ~QuitPipe() {
    if (!running_) Close();
  }

  // Makes the pipe (close-on-exec, non-blocking) and starts start(arg) with
  // create. 0 when the thread runs; -1 when the pipe could not be made
  // (errno says why); otherwise create's error number, the pipe closed again.
  int Start(QuitThreadCreateFn create, void *(*start)(void *), void *arg);
  // Writes the quit byte, joins the thread and closes the pipe. Returns
  // pthread_join's error number; nothing to do when no thread runs.
  int Stop();
  bool Running() const { return running_; }

  // The end the thread waits on.
  int ReadEnd() const { return fds_[0]; }
  // Whether the quit byte is there, read without waiting: for a thread
  // whose poll fails.
  bool Pending() const;

 private:
  void Close();

  int fds_[2] = {-1, -1};
  pthread_t thread_{};
  bool running_ = false;
};
