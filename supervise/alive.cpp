// The alive check of one supervised process and the respawn of a lost one,
// run by the cyclic thread under ThreadArg.Mutex, and the choice of the
// process-list command, made by the main loop before the threads start.
#include "supervise/alive.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/cmdexec.h"
#include "common/log.h"

const char *PsCommand = "ps";

namespace {

constexpr const char *kUnit = "supervise";
constexpr int kCommandSize = CONFIG_TEXT_SIZE;
constexpr const char *kPsDetect = "ps --version 2> /dev/null | grep -c procps";
constexpr int kPsDetectOutputSize = 20;

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

}  // namespace

void ChoosePsCommand() {
  char output[kPsDetectOutputSize];
  int result = CmdExec(kPsDetect, output, sizeof output);
  if (result != CMD_OK) {
    LOG_AT(kUnit, LOG_ERR, "Cmd exec fail : %s", kPsDetect);
    PsCommand = "ps";
    return;
  }
  PsCommand = strcmp(output, "1") == 0 ? "ps ax" : "ps";
}

int SuperviseProcessAlive(ProcEntry *entry) {
  char command[kCommandSize];
  char output[kCommandSize];
  int32_t pid = -1;
  int32_t count = -1;

  if (!FormatCommand(command, "cat %s", entry->PidPath) || CmdExec(command, output, sizeof output) != CMD_OK) {
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
      CmdExec(command, output, sizeof output) != CMD_OK) {
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
  int status = system(command);
  (void)status;
  if (entry->CntRespawn < INT32_MAX) entry->CntRespawn++;
  LOG_AT(kUnit, LOG_WARNING, "Respawn: %s ", command);
  return 0;
}
