// The supervision main loop, the record its threads share and the watchdog
// timing statistics.
//
// Threads: main (start-up, then joins), MsgRcvThread, CyclicThread, WdtThread
// and the signal worker. What they share:
//  - ThreadArg: QueId, Stop and Config are set before the threads start and
//    never change; Mutex guards the configuration table;
//  - StopFlag: raised by the SIGTERM handler, polled by the cyclic and
//    watchdog threads;
//  - gDebugInfo: written by the watchdog thread (and once by the cyclic
//    thread), read by the debug dump; every field is its own atomic word, so a
//    dump may mix values of two refreshes but never tears one.
#pragma once

#include <atomic>
#include <pthread.h>
#include <sys/time.h>

#include "readconfig/config.h"

struct ThreadArg {
  int QueId;
  std::atomic<int> *Stop;
  ConfigDb *Config;
  pthread_mutex_t Mutex;
};

struct DebugInfo {
  std::atomic<long long> WdtTimeSec;
  std::atomic<long> WdtTimeUsec;
  std::atomic<int> CurWdtInterval;
  std::atomic<int> MaxWdtInterval;
  std::atomic<long long> PowerSwTimeSec;
  std::atomic<long> PowerSwTimeUsec;
  std::atomic<int> CurPowerSwInterval;
  std::atomic<int> MaxPowerSwInterval;
};

static_assert(std::atomic<int>::is_always_lock_free, "StopFlag must be a lock-free word");

extern std::atomic<int> StopFlag;
extern DebugInfo gDebugInfo;
// "ps ax" or "ps"; chosen before the threads start, read-only afterwards.
extern const char *PsCommand;

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

// Runs the daemon until SIGTERM. hooks may be null when hookCount is 0.
void wardend_loop(int queId, ConfigDb *db, const LoopHook *hooks, int hookCount);

// Take and release ThreadArg.Mutex for the table's users. A failure is
// logged under the caller's unit and function ("Thread mutex lock fail!" /
// "Thread mutex unlock fail!") and the work goes on without the lock;
// LockTable returns whether the lock is held, and UnlockTable releases only
// a lock that is held (unlocking a mutex the thread does not own is
// undefined).
bool LockTable(ThreadArg *arg, const char *unit, const char *function);
void UnlockTable(ThreadArg *arg, bool locked, const char *unit, const char *function);
void *WdtThread(void *arg);
void *CyclicThread(void *arg);
void *MsgRcvThread(void *arg);

// Milliseconds since *time (32-bit wrapping arithmetic); stores the current
// time into *time and warns when the interval exceeds limit seconds.
int CheckThreadInterval(struct timeval *time, int limit);
// The same with the current time given by the caller.
int CheckThreadIntervalAt(struct timeval *time, int limit, const struct timeval *now);
