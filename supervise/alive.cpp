// SPDX-License-Identifier: MIT
// The alive check of one supervised process and the respawn of a lost one,
// run by the cyclic thread under ThreadArg.Mutex, and the choice of the
// process-list command, made by the main loop before the threads start.
#include "supervise/alive.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/cmdexec.h"
#include "common/log.h"
#include "supervise/procscan.h"
#include "supervise/statusinfo.h"

const char *PsCommand = "ps";
void (*AliveBetweenSteps)(int32_t pid) = nullptr;

namespace {

constexpr const char *kUnit = "supervise";
constexpr int kCommandSize = CONFIG_TEXT_SIZE;
constexpr const char *kPsDetect = "ps --version 2> /dev/null | grep -c procps";
constexpr int kPsDetectOutputSize = 20;
constexpr const char *kShell = "/bin/sh";
constexpr const char *kDevNull = "/dev/null";

// Formats a shell command; a command that does not fit is not run.
bool FormatCommand(char *command, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool FormatCommand(char *command, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(command, kCommandSize, format, args);
  va_end(args);
  return n >= 0 && n < kCommandSize;
}

// Appends text to a command of kCommandSize bytes, cutting what does not
// fit; *length is the command's length so far.
void AppendCut(char *command, size_t *length, const char *text) {
  while (*text != '\0' && *length + 1 < static_cast<size_t>(kCommandSize)) command[(*length)++] = *text++;
  command[*length] = '\0';
}

// The parts of a started program's state that posix_spawn sets up; both
// are released on every way out.
class SpawnSetup {
 public:
  SpawnSetup() {
    attrReady_ = posix_spawnattr_init(&attr_) == 0;
    actionsReady_ = posix_spawn_file_actions_init(&actions_) == 0;
  }
  SpawnSetup(const SpawnSetup &) = delete;
  SpawnSetup &operator=(const SpawnSetup &) = delete;
  ~SpawnSetup() {
    if (attrReady_) posix_spawnattr_destroy(&attr_);
    if (actionsReady_) posix_spawn_file_actions_destroy(&actions_);
  }
  bool ready() const { return attrReady_ && actionsReady_; }
  posix_spawnattr_t *attr() { return &attr_; }
  posix_spawn_file_actions_t *actions() { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attrReady_ = false;
  bool actionsReady_ = false;
};

// Fills setup so that the program starts the way an init system starts one,
// whatever the daemon's own state: every signal at its default action (the
// daemon ignores SIGPIPE) and none blocked, /dev/null on descriptors 0 to 2
// (the daemon closed its own when it detached, so the program's first open
// would otherwise become its standard input), and no other descriptor.
bool PrepareCleanStart(SpawnSetup *setup) {
  if (!setup->ready()) return false;
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawn_file_actions_t *actions = setup->actions();
  bool ok = posix_spawnattr_setsigdefault(setup->attr(), &all) == 0 &&
            posix_spawnattr_setsigmask(setup->attr(), &none) == 0 &&
            posix_spawnattr_setflags(setup->attr(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0 &&
            posix_spawn_file_actions_addopen(actions, 0, kDevNull, O_RDONLY, 0) == 0 &&
            posix_spawn_file_actions_addopen(actions, 1, kDevNull, O_WRONLY, 0) == 0 &&
            posix_spawn_file_actions_adddup2(actions, 1, 2) == 0;
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
  // Every descriptor of the daemon is close-on-exec already; this also
  // covers one that a library might open without the flag.
  ok = ok && posix_spawn_file_actions_addclosefrom_np(actions, 3) == 0;
#endif
  return ok;
}

// Runs command through "/bin/sh -c", as system(3) would, but from a clean
// start, and waits for the shell. The result is not examined.
void RunCleanCommand(const char *command) {
  SpawnSetup setup;
  if (!PrepareCleanStart(&setup)) return;
  char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(command), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, kShell, setup.actions(), setup.attr(), argv, environ) != 0) return;
  // Only this child is waited for: the command runners of other threads
  // wait for their own.
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// The pid file's last line, as "cat" run by CmdExec leaves it in output;
// command is that cat command, run only by the ps method.
int ReadAlivePid(int32_t method, const ProcEntry *entry, const char *command, char *output, int size) {
  if (method == ALIVE_CHECK_PROC) return ReadPidFileLine(entry->PidPath, output, size);
  return CmdExec(command, output, size);
}

// The number of process-list lines for pid, as the count pipeline (command,
// run only by the ps method) prints it.
int CountAliveLines(int32_t method, const ProcEntry *entry, int32_t pid, const char *command, char *output,
                    int size) {
  if (AliveBetweenSteps != nullptr) AliveBetweenSteps(pid);
  if (method != ALIVE_CHECK_PROC) return CmdExec(command, output, size);
  snprintf(output, static_cast<size_t>(size), "%d", ProcessListed(pid, entry->procName) ? 1 : 0);
  return CMD_OK;
}

}  // namespace

void ChoosePsCommand() {
  char output[kPsDetectOutputSize];
  int result = CmdExec(kPsDetect, output, sizeof output);
  if (result != CMD_OK) {
    // The choice is a step of the main loop's start, reported as such.
    LOG_AS(kUnit, "wardend_loop", LOG_ERR, "Cmd exec fail : %s", kPsDetect);
    PsCommand = "ps";
    return;
  }
  PsCommand = strcmp(output, "1") == 0 ? "ps ax" : "ps";
}

int SuperviseProcessAlive(ProcEntry *entry, int32_t method) {
  char command[kCommandSize];
  char output[kCommandSize];
  int32_t pid = -1;
  int32_t count = -1;

  // Both methods build the commands: a report names the command the shell
  // would have run, and a command too long to run fails either way.
  if (!FormatCommand(command, "cat %s", entry->PidPath) ||
      ReadAlivePid(method, entry, command, output, sizeof output) != CMD_OK) {
    LOG_AT(kUnit, LOG_ERR, "Cmd exec fail : %s", command);
    entry->PidAlive = -1;
    goto respawn;
  }
  if (Str2Num(output, 10, &pid) != 0) {
    LOG_AT(kUnit, LOG_ERR, "Str2Num convert error [%s] : %s", output, command);
    pid = -1;
  }
  // 0 is kept for "not read yet"; no process has that number anyway.
  entry->PidAlive = pid > 0 ? pid : -1;
  if (pid < 0) {
    LOG_AT(kUnit, LOG_ERR, "Illegal PID file [%s:%s]", entry->procName, entry->PidPath);
    goto respawn;
  }

  if (!FormatCommand(command, "%s|grep '%s'|egrep '^ *%d '|grep -v grep|wc -l", PsCommand, entry->procName,
                     static_cast<int>(pid)) ||
      CountAliveLines(method, entry, pid, command, output, sizeof output) != CMD_OK) {
    LOG_AT(kUnit, LOG_ERR, "Cmd exec fail : %s", command);
    goto respawn;
  }
  if (Str2Num(output, 10, &count) != 0) {
    LOG_AT(kUnit, LOG_ERR, "Str2Num convert error [%s] : %s", output, command);
    count = -1;
  }
  if (count == 1) {
    entry->CntAlive = 0;
    return 0;
  }
  LOG_AT(kUnit, LOG_ERR, "Process [%s:%d] was not found", entry->procName, static_cast<int>(pid));

respawn:
  // One failure in a row is forgiven (and a RESPAWN entry restarted); the
  // second one reports the process as dead.
  if (entry->CntAlive < 1) {
    SuperviseProcessAlive_Respawn(entry, command);
    entry->CntAlive++;
    return 0;
  }
  return 1;
}

int SuperviseProcessAlive_Respawn(ProcEntry *entry, char *command) {
  if (entry->StartUp != RESPAWN) return 0;
  // The program is named by its base name alone and found through the
  // shell's search path; the whole command is cut to the buffer.
  size_t length = 0;
  AppendCut(command, &length, entry->procName);
  AppendCut(command, &length, " ");
  AppendCut(command, &length, entry->Option);
  // Shown by the status while it runs: a hung command holds the table.
  StatusRespawnBegin(entry, command);
  RunCleanCommand(command);
  StatusRespawnEnd();
  if (entry->CntRespawn < INT32_MAX) entry->CntRespawn++;
  LOG_AT(kUnit, LOG_WARNING, "Respawn: %s ", command);
  return 0;
}
