// SPDX-License-Identifier: MIT
// Call-stack dump for diagnostics; may run in any thread.
#include "common/backtrace.h"

#include <execinfo.h>

namespace {
constexpr int kMaxFrames = 128;
}  // namespace

void DumpBacktrace() {
  void *frames[kMaxFrames];
  int count = backtrace(frames, kMaxFrames);
  // Written straight to the descriptor: no heap text is built, so a dump
  // still comes out when memory is the problem.
  backtrace_symbols_fd(frames, count, 1);
}
