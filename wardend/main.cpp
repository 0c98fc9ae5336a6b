// SPDX-License-Identifier: MIT
// Entry point: start-up on the main thread, the supervision loop, and the
// exit path.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <iterator>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "common/ctrlmsg.h"
#include "common/log.h"
#include "readconfig/readconfig.h"
#include "supervise/controlgroup.h"
#include "supervise/mainloop.h"
#include "supervise/status.h"
#include "supervise/statusinfo.h"
#include "wardend/signals.h"
#include "wardend/wardend.h"

namespace {
constexpr const char *kUnit = "wardend";

// What runs beside the supervision threads.
constexpr LoopHook kLoopHooks[] = {
    {SignalWorkerStart, SignalWorkerStop},
    {StatusServerStart, StatusServerStop},
};
static_assert(std::size(kLoopHooks) <= LOOP_HOOKS_MAX, "wardend_loop runs only so many helpers");

// Double fork: the parent and the intermediate process end with status 0,
// the grandchild runs the daemon without a controlling terminal. A step of
// main's start-up, and reported as such.
void Detach() {
  pid_t pid = fork();
  if (pid < 0) {
    LOG_AS(kUnit, "main", LOG_ERR, "Error forking first fork");
    exit(1);
  }
  if (pid > 0) exit(0);
  setsid();
  pid = fork();
  if (pid < 0) {
    LOG_AS(kUnit, "main", LOG_ERR, "Error forking second fork");
    exit(1);
  }
  if (pid > 0) exit(0);
  if (chdir("/") != 0) {
    // The root always exists; nothing sensible to do otherwise.
  }
  close(0);
  close(1);
  close(2);
}
}  // namespace

int main(int argc, char **argv) {
  StatusNoteDaemonStart();
  ParseOptions(argc, argv);

  // The exclusive create is the single-instance guard.
  if (msgget(WARDEND_QUEUE_KEY, IPC_CREAT | IPC_EXCL | 0666) < 0) {
    fputs("MSG QUE already exist\n", stderr);
    return 1;
  }
  MsgQueId = msgget(WARDEND_QUEUE_KEY, IPC_CREAT | 0666);
  if (MsgQueId < 0) {
    fprintf(stderr, "MSG Que create failed! : %s\n", strerror(errno));
    return 1;
  }

  InstallSignalHandlers();

  int options = DetachMode ? LOG_PID : (LOG_PID | LOG_CONS | LOG_PERROR);
  if (DebugMode) options |= LOG_DEBUG_REQUEST;
  LogOpen("wardend", options, LOG_LOCAL0);

  // A configuration file that cannot be opened has been reported by the
  // reader; the daemon still runs and keeps the watchdog refreshed.
  if (ConfigPath != nullptr) {
    const int result = ReadConfig(ConfigPath, &gConfigDb);
    StatusNoteConfigRead(ConfigPath, result);
    if (result == 0) (void)ApplyControlGroup(MsgQueId, &gConfigDb);
  }

  if (DetachMode) Detach();

  make_pidfile();
  signal(SIGPIPE, SIG_IGN);

  wardend_loop(MsgQueId, &gConfigDb, ConfigPath, kLoopHooks, static_cast<int>(std::size(kLoopHooks)));

  RemovePidFile();
  LogClose();
  msgctl(MsgQueId, IPC_RMID, nullptr);
  return 0;
}
