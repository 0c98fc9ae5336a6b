// SPDX-License-Identifier: MIT
// Signal handling and the two diagnostic dumps.
// Threads: the handlers only record, the signal worker acts; see docs/design.md.
#include "wardend/signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "common/ctrlmsg.h"
#include "common/errtext.h"
#include "common/log.h"
#include "common/quitpipe.h"
#include "common/sleep.h"
#include "supervise/watchdog.h"
#include "wardend/wardend.h"

// The work is done outside the handler but reported in its name, and so is
// everything of the worker thread that does it.
#define SIG_LOG(priority, ...) LOG_AS("wardend", "sig_handler", priority, __VA_ARGS__)

namespace {
// Written once by InstallSignalHandlers before any handler is installed and
// before any thread exists; only read afterwards.
int SignalPipe[2] = {-1, -1};

// The worker's state; touched only by the thread that starts and stops it.
QuitPipe WorkerQuit;

// Pause between two sends while the queue is full.
constexpr int kQueueFullPauseMs = 10;
// Pause after a failed wait that would only fail the same way at once.
constexpr int kPollRetrySeconds = 1;

void InstallOne(int signo, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(signo, &action, nullptr) != 0) perror("sigaction");
}

void InstallHup() { InstallOne(SIGHUP, sig_handler); }
void InstallTerm() { InstallOne(SIGTERM, StopHandler); }
void InstallUsr1() { InstallOne(SIGUSR1, sig_handler); }
void InstallUsr2() { InstallOne(SIGUSR2, sig_handler); }

void RecordSignal(int signo) {
  unsigned char byte = static_cast<unsigned char>(signo);
  // A full pipe (EAGAIN) already holds plenty of work; the byte is dropped.
  ssize_t written = write(SignalPipe[1], &byte, 1);
  (void)written;
}

void HandleSignal(int signo, ThreadArg *arg) {
  // Three separate tests, as in a handler that is given the signal number.
  if (signo == SIGHUP) SendRereadRequest(arg->QueId);
  if (signo == SIGUSR1) DumpConfigDb(arg);
  if (signo == SIGUSR2) DumpDebugInfo();
}

void *SignalWorker(void *param) {
  ThreadArg *arg = static_cast<ThreadArg *>(param);
  struct pollfd fds[2] = {{SignalPipe[0], POLLIN, 0}, {WorkerQuit.ReadEnd(), POLLIN, 0}};
  bool failing = false;  // reported once until a wait succeeds again
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      int error = errno;
      if (error == EINTR) continue;  // a handler ran on this thread
      if (!failing) {
        char text[128];
        SIG_LOG(LOG_ERR, "Signal thread poll fail! : %s", ErrText(error, text, sizeof text));
        failing = true;
      }
      SleepSeconds(kPollRetrySeconds);
      if (WorkerQuit.Pending()) break;
      continue;
    }
    failing = false;
    if (fds[1].revents != 0) break;
    if (fds[0].revents == 0) continue;
    unsigned char bytes[64];
    ssize_t count = read(SignalPipe[0], bytes, sizeof bytes);
    for (ssize_t i = 0; i < count; i++) HandleSignal(bytes[i], arg);
  }
  return nullptr;
}
}  // namespace

void sig_handler(int signo) {
  int savedErrno = errno;
  if (signo == SIGHUP || signo == SIGUSR1 || signo == SIGUSR2) RecordSignal(signo);
  errno = savedErrno;
}

void StopHandler(int) { StopFlag.store(1); }

void InstallSignalHandlers() {
  if (SignalPipe[0] < 0 && pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    // Without the pipe the handlers record nothing; the daemon runs on.
    perror("pipe2");
  }
  InstallHup();
  InstallTerm();
  InstallUsr1();
  InstallUsr2();
}

int SignalWorkerStart(ThreadArg *arg) {
  if (WorkerQuit.Running()) return 0;
  char text[128];
  const int error = WorkerQuit.Start(LoopThreadCreate, SignalWorker, arg);
  if (error < 0) {
    SIG_LOG(LOG_ERR, "Signal thread pipe fail! : %s", ErrText(errno, text, sizeof text));
    return -1;
  }
  if (error > 0) {
    SIG_LOG(LOG_ERR, "Signal thread create fail! : %s", ErrText(error, text, sizeof text));
    return -1;
  }
  return 0;
}

void SignalWorkerStop() {
  const int error = WorkerQuit.Stop();
  if (error != 0) {
    char text[128];
    SIG_LOG(LOG_ERR, "Signal thread join fail! : %s", ErrText(error, text, sizeof text));
  }
}

void SendRereadRequest(int queId) {
  if (ConfigPath == nullptr) return;
  SIG_LOG(LOG_INFO, "Got SIGHUP, re-reading configuration");

  char text[128];
  size_t length = strlen(ConfigPath);
  if (length > CTRLMSG_PAYLOAD_SIZE) {
    // A cut path would re-read some other file; refuse it instead.
    SIG_LOG(LOG_ERR, "MSG que send fail! : %s", ErrText(ENAMETOOLONG, text, sizeof text));
    return;
  }
  CtrlMsg msg;
  memset(&msg, 0, sizeof msg);
  msg.type = MSGID_REREAD_CONFIG;
  // A path of exactly 104 bytes fills the payload without a terminator; the
  // receiver reads exactly those 104 bytes.
  memcpy(msg.payload, ConfigPath, length);

  // Never a blocking send: the thread that empties the queue may be the one
  // a handler interrupted, and a full queue must not hold up shutdown.
  for (;;) {
    if (msgsnd(queId, &msg, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) return;
    int error = errno;
    if (error != EAGAIN && error != EINTR) {
      SIG_LOG(LOG_ERR, "MSG que send fail! : %s", ErrText(error, text, sizeof text));
      return;
    }
    if (QuitWithin(WorkerQuit.ReadEnd(), kQueueFullPauseMs)) {
      SIG_LOG(LOG_ERR, "MSG que send fail! : %s", ErrText(error, text, sizeof text));
      return;
    }
  }
}

void DumpConfigDb(ThreadArg *arg) {
  // A re-read releases and rebuilds the table under this lock.
  bool locked = LockTable(arg, "wardend", "sig_handler", __LINE__);
  const ConfigDb *db = arg->Config;
  SIG_LOG(LOG_DEBUG, "=============== Configuration database dump =================");
  SIG_LOG(LOG_DEBUG, "  AliveWatch              = %-33d", db->AliveWatch);
  SIG_LOG(LOG_DEBUG, "  PowerWatch              = %-33d", db->PowerWatch);
  SIG_LOG(LOG_DEBUG, "  WdtRefresh              = %-33d", db->WdtRefresh.load());
  SIG_LOG(LOG_DEBUG, "  TermTimeout             = %-33d", db->TermTimeout);
  SIG_LOG(LOG_DEBUG, "  MyPidPath               = %-33s", db->MyPidPath);
  SIG_LOG(LOG_DEBUG, "  NumProcess              = %-33d", db->NumProcess);
  for (int i = 0; db->Process != nullptr && i < db->NumProcess; i++) {
    const ProcEntry &p = db->Process[i];
    SIG_LOG(LOG_DEBUG, "  -----------------------------------------------------------");
    SIG_LOG(LOG_DEBUG, "  Process[%2d].StartUp     = %-33d", i, p.StartUp);
    SIG_LOG(LOG_DEBUG, "  Process[%2d].HealthCheck = %-33d", i, p.HealthCheck);
    SIG_LOG(LOG_DEBUG, "  Process[%2d].PidPath     = %-33s", i, p.PidPath);
    SIG_LOG(LOG_DEBUG, "  Process[%2d].ExecPath    = %-33s", i, p.ExecPath);
    SIG_LOG(LOG_DEBUG, "  Process[%2d].procName    = %-33s", i, p.procName != nullptr ? p.procName : "");
    SIG_LOG(LOG_DEBUG, "  Process[%2d].Option      = %-33s", i, p.Option);
    SIG_LOG(LOG_DEBUG, "  Process[%2d].TmrHlthChk  = %-33d", i, p.TmrHlthChk);
    SIG_LOG(LOG_DEBUG, "  Process[%2d].FlgHlthChk  = %-33d", i, p.FlgHlthChk.load());
    SIG_LOG(LOG_DEBUG, "  Process[%2d].TmrAlive    = %-33d", i, p.TmrAlive);
    SIG_LOG(LOG_DEBUG, "  Process[%2d].CntAlive    = %-33d", i, p.CntAlive);
  }
  SIG_LOG(LOG_DEBUG, "============== End of Configuration database ================");
  UnlockTable(arg, locked, "wardend", "sig_handler", __LINE__);
}

void DumpDebugInfo() {
  // Each field is read on its own; a dump may mix two refreshes.
  const DebugInfo &d = gDebugInfo;
  int cur = d.CurWdtInterval.load();
  int max = d.MaxWdtInterval.load();
  int curSw = d.CurPowerSwInterval.load();
  int maxSw = d.MaxPowerSwInterval.load();
  SIG_LOG(LOG_DEBUG, "=============== Debug Information dump =================");
  SIG_LOG(LOG_DEBUG, "  WDT time value          = %lld.%06ld sec", d.WdtTimeSec.load(), d.WdtTimeUsec.load());
  SIG_LOG(LOG_DEBUG, "  Cur WDT interval        = %d.%03d sec", cur / 1000, cur % 1000);
  SIG_LOG(LOG_DEBUG, "  Max WDT interval        = %d.%03d sec", max / 1000, max % 1000);
  SIG_LOG(LOG_DEBUG, "  PowerSW time value      = %lld.%06ld sec", d.PowerSwTimeSec.load(),
          d.PowerSwTimeUsec.load());
  SIG_LOG(LOG_DEBUG, "  Cur PowerSW interval    = %d.%03d sec", curSw / 1000, curSw % 1000);
  SIG_LOG(LOG_DEBUG, "  Max PowerSW interval    = %d.%03d sec", maxSw / 1000, maxSw % 1000);
  SIG_LOG(LOG_DEBUG, "============== End of Debug Information ================");
}
