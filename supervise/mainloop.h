// SPDX-License-Identifier: MIT
// The supervision main loop and the record its threads share.
//
// Threads: the loop starts and joins every other thread; what they share is in docs/design.md.
#pragma once

#include <pthread.h>

#include <atomic>

#include "readconfig/config.h"

struct ThreadArg {
  int QueId;
  std::atomic<int> *Stop;
  ConfigDb *Config;
  pthread_mutex_t Mutex;
  // The daemon's own configuration file, named on its command line (null:
  // none); a re-read request for exactly this path reads it as at start-up.
  const char *ConfigPath;
};

static_assert(std::atomic<int>::is_always_lock_free, "StopFlag must be a lock-free word");

extern std::atomic<int> StopFlag;

// A helper thread that runs beside the three supervision threads (the signal
// worker, for one). wardend_loop starts the helpers once ThreadArg is filled
// and the three threads are started, in the order given, and stops the ones
// that started in reverse order after the receiver has ended. Start returns
// 0 when the helper runs (it reports its own failures); Stop joins it.
struct LoopHook {
  int (*Start)(ThreadArg *arg);
  void (*Stop)();
};

// The most helpers wardend_loop runs; it leaves out any beyond.
constexpr int LOOP_HOOKS_MAX = 8;

// pthread_create for the threads of the loop and its helpers: default
// attributes, except a modest explicit stack once the daemon has locked its
// memory (WdtPriority), where every stack is resident and counted against
// RLIMIT_MEMLOCK. Returns pthread_create's result.
int LoopThreadCreate(pthread_t *thread, void *(*start)(void *), void *arg);

// Runs the daemon until SIGTERM; configPath is the daemon's own
// configuration file. hooks may be null when hookCount is 0.
void wardend_loop(int queId, ConfigDb *db, const char *configPath, const LoopHook *hooks, int hookCount);

// Take and release ThreadArg.Mutex for the table's users. A failure is
// logged under the caller's unit, operation and source line ("Thread mutex
// lock fail!" / "Thread mutex unlock fail!") and the work goes on without the lock;
// LockTable returns whether the lock is held, and UnlockTable releases only
// a lock that is held (unlocking a mutex the thread does not own is
// undefined).
bool LockTable(ThreadArg *arg, const char *unit, const char *function, int line);
void UnlockTable(ThreadArg *arg, bool locked, const char *unit, const char *function, int line);
