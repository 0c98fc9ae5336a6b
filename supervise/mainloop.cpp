// SPDX-License-Identifier: MIT
// The supervision main loop, run by the main thread: it chooses the
// process-list command, opens the watchdog, starts the receiver, cyclic and
// watchdog threads and the helpers that main hands in, then waits for them
// and releases what they shared. Threads: see docs/design.md.
#include "supervise/mainloop.h"

#include <linux/watchdog.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/ctrlmsg.h"
#include "common/errtext.h"
#include "common/log.h"
#include "supervise/alive.h"
#include "supervise/cyclic.h"
#include "supervise/msgrcv.h"
#include "supervise/rebootrecord.h"
#include "supervise/stall.h"
#include "supervise/statusinfo.h"
#include "supervise/terminate.h"
#include "supervise/watchdog.h"

std::atomic<int> StopFlag{0};

namespace {

constexpr const char *kUnit = "supervise";
// The helpers below are steps of wardend_loop and report under its name.
constexpr const char *kLoop = "wardend_loop";

// How long the exit path waits for a receiver that did not get its stop
// message. It ends by itself once the queue is gone, which is the usual
// reason for a failed send.
constexpr int kReceiverGraceSeconds = 5;

// The record the threads share. It has static storage rather than living on
// wardend_loop's stack so that a receiver which could not be stopped never
// reads a record that has gone away.
ThreadArg gLoopArg;

// Stack of every thread the loop starts once the memory is locked. A locked
// stack is resident and counts against RLIMIT_MEMLOCK as a whole, and the
// default (RLIMIT_STACK, often 8 MiB) would exhaust a modest limit with the
// first thread. The threads keep their large buffers on the heap; this
// leaves ample room for the deepest call (a log line inside a re-read) and
// for the sanitizers' larger frames.
constexpr size_t kLockedStackSize = 256 * 1024;

// Set by the main thread before any thread starts, only read afterwards.
bool gMemoryLocked = false;
pthread_attr_t gLockedAttr;

// Locks the daemon's memory for a watchdog thread that must never wait for
// a page. Failures are reported and the daemon runs on unlocked.
void LockMemory() {
  // One malloc arena for every thread: each further arena reserves tens of
  // MiB of address space, which a locked process would have to account for.
  (void)mallopt(M_ARENA_MAX, 1);
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    char buffer[128];
    LOG_AS(kUnit, kLoop, LOG_WARNING, "Memory lock fail! : %s",
           ErrText(errno, buffer, sizeof buffer));
    return;
  }
  pthread_attr_init(&gLockedAttr);
  pthread_attr_setstacksize(&gLockedAttr, kLockedStackSize);
  gMemoryLocked = true;
}

void RaiseWatchdogPriority(pthread_t watchdog, int32_t priority) {
  struct sched_param param;
  memset(&param, 0, sizeof param);
  param.sched_priority = priority;
  int err = pthread_setschedparam(watchdog, SCHED_FIFO, &param);
  if (err != 0) {
    char buffer[128];
    LOG_AS(kUnit, kLoop, LOG_WARNING, "WDT thread priority set fail! : %s",
           ErrText(err, buffer, sizeof buffer));
  }
}

// What the last boot left behind: the latest reboot record and whether the
// watchdog reset the board.
void ReportLastShutdown(const ConfigDb *db) {
  LogLastShutdown(db->RebootRecord);
  int flags = 0;
  // A driver that does not know the request has nothing to tell.
  const bool answered = WdtBootStatus(&flags) == 0;
  // The status server reports the same answer instead of asking again.
  StatusNoteWdtBootStatus(answered, flags);
  if (answered && (flags & WDIOF_CARDRESET) != 0) {
    LOG_AS(kUnit, kLoop, LOG_WARNING, "Last reset was caused by the watchdog");
  }
}

// label is "WDT" or "1sec cyclic", the start of the thread's join message.
void JoinOrReport(bool started, pthread_t thread, const char *label) {
  if (!started) return;
  int err = pthread_join(thread, nullptr);
  if (err != 0) {
    char buffer[128];
    LOG_AS(kUnit, kLoop, LOG_ERR, "%s thread join fail! : %s", label, ErrText(err, buffer, sizeof buffer));
  }
}

// Sends the stop message to the receiver. 0 when sent.
int SendStop(int queId) {
  CtrlMsg msg;
  memset(&msg, 0, sizeof msg);
  msg.type = MSGID_STOP;
  int rc;
  do {
    rc = msgsnd(queId, &msg, CTRLMSG_TEXT_SIZE, 0);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    char buffer[128];
    LOG_AS(kUnit, kLoop, LOG_ERR, "MSG que send fail! : %s", ErrText(errno, buffer, sizeof buffer));
    return -1;
  }
  return 0;
}

// Joins the receiver. Without a stop message it waits a few seconds only.
// Returns true when the thread has ended.
bool JoinReceiver(pthread_t thread, bool stopSent) {
  int err;
  if (stopSent) {
    err = pthread_join(thread, nullptr);
  } else {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kReceiverGraceSeconds;
    err = pthread_timedjoin_np(thread, nullptr, &deadline);
  }
  if (err != 0) {
    char buffer[128];
    LOG_AS(kUnit, kLoop, LOG_ERR, "MSG Que recv thread join fail! : %s", ErrText(err, buffer, sizeof buffer));
    return false;
  }
  return true;
}

}  // namespace

int LoopThreadCreate(pthread_t *thread, void *(*start)(void *), void *arg) {
  return pthread_create(thread, gMemoryLocked ? &gLockedAttr : nullptr, start, arg);
}

bool LockTable(ThreadArg *arg, const char *unit, const char *function, int line) {
  int err = pthread_mutex_lock(&arg->Mutex);
  if (err != 0) {
    char buffer[128];
    LogMessage(unit, function, line, LOG_ERR, "Thread mutex lock fail! [%s]", ErrText(err, buffer, sizeof buffer));
    return false;
  }
  return true;
}

void UnlockTable(ThreadArg *arg, bool locked, const char *unit, const char *function, int line) {
  if (!locked) return;
  int err = pthread_mutex_unlock(&arg->Mutex);
  if (err != 0) {
    char buffer[128];
    LogMessage(unit, function, line, LOG_ERR, "Thread mutex unlock fail! [%s]",
               ErrText(err, buffer, sizeof buffer));
  }
}

void wardend_loop(int queId, ConfigDb *db, const char *configPath, const LoopHook *hooks, int hookCount) {
  // StopFlag is left as it is: a SIGTERM that came during start-up (the
  // handlers are installed before the configuration is read) has raised it,
  // and the threads then end as soon as they look at it.
  ThreadArg *arg = &gLoopArg;
  arg->QueId = queId;
  arg->Stop = &StopFlag;
  arg->Config = db;
  arg->ConfigPath = configPath;
  pthread_mutex_init(&arg->Mutex, nullptr);

  ChoosePsCommand();

  if (WdtOpen() != 0) {
    LOG_AT(kUnit, LOG_CRIT, "Cannot open WDT device");
    CleanConfig(nullptr, db);
    pthread_mutex_destroy(&arg->Mutex);
    return;
  }
  WdtKeepAlive();
  WdtBoardRequest();
  // The boot status is asked for only where a record is kept: without one
  // the device sees exactly the requests it always saw.
  if (db->RebootRecord[0] != '\0') ReportLastShutdown(db);
  // Taken now: once the receiver runs, a re-read may change the table's
  // settings under the lock. The priority is the start-up file's.
  const int32_t priority = db->WdtPriority;
  // Before any thread exists, so that every stack is locked as it is made.
  if (priority > 0) LockMemory();
  ResetPassProgress();

  // A thread whose creation failed is never joined, so remember which ones
  // exist.
  pthread_t receiver{}, cyclic{}, watchdog{};
  char buffer[128];
  int err = LoopThreadCreate(&receiver, MsgRcvThread, arg);
  bool receiverStarted = err == 0;
  if (err != 0) LOG_AT(kUnit, LOG_ERR, "MSG Que recv thread create fail! : %s", ErrText(err, buffer, sizeof buffer));
  err = LoopThreadCreate(&cyclic, CyclicThread, arg);
  bool cyclicStarted = err == 0;
  if (err != 0) LOG_AT(kUnit, LOG_ERR, "1sec cyclic thread create fail! : %s", ErrText(err, buffer, sizeof buffer));
  err = LoopThreadCreate(&watchdog, WdtThread, arg);
  bool watchdogStarted = err == 0;
  if (err != 0) LOG_AT(kUnit, LOG_ERR, "WDT thread create fail! : %s", ErrText(err, buffer, sizeof buffer));
  if (watchdogStarted && priority > 0) RaiseWatchdogPriority(watchdog, priority);

  // Which helpers run, so that only those are stopped.
  bool hookStarted[LOOP_HOOKS_MAX] = {};
  if (hookCount > LOOP_HOOKS_MAX) hookCount = LOOP_HOOKS_MAX;
  if (hooks == nullptr) hookCount = 0;
  for (int i = 0; i < hookCount; i++) hookStarted[i] = hooks[i].Start(arg) == 0;

  JoinOrReport(watchdogStarted, watchdog, "WDT");
  JoinOrReport(cyclicStarted, cyclic, "1sec cyclic");
  // What the watchdog thread noted after the cyclic thread's last report.
  WdtReport();

  // Nobody would read a stop message when the receiver never started.
  bool receiverEnded = true;
  if (receiverStarted) {
    // The receiver obeys a stop message only while the flag is raised.
    // SIGTERM has raised it whenever a supervision thread ran; it is raised
    // here for the exit that follows when neither of them could start.
    StopFlag.store(1);
    bool stopSent = SendStop(queId) == 0;
    receiverEnded = JoinReceiver(receiver, stopSent);
  }
  for (int i = hookCount - 1; i >= 0; i--) {
    if (hookStarted[i]) hooks[i].Stop();
  }

  WdtClose();
  // A receiver that is still running may still read the table (and the
  // mutex), and the process exits right after this return anyway.
  if (receiverEnded) {
    CleanConfig(nullptr, db);
    pthread_mutex_destroy(&arg->Mutex);
  }
  SetupPowerLed(LED_DAEMON_EXIT);
}
