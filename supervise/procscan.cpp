// SPDX-License-Identifier: MIT
// Pid files and /proc read in the daemon for the "proc" alive check and the
// sweeps of a termination; any thread, no state.
#include "supervise/procscan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/boundedread.h"
#include "common/cmdexec.h"
#include "common/fd.h"

namespace {

// "/proc/<pid>/cmdline" and the like, for any 32-bit pid.
constexpr int kProcPathSize = 64;
// The start of /proc/<pid>/stat up to the state: the pid, the name of at most
// 15 characters in parentheses (which may itself hold parentheses), the state.
constexpr int kStatReadSize = 128;
constexpr char kZombie = 'Z';
constexpr char kDead = 'X';

struct DirCloser {
  void operator()(DIR *dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Reads at most size bytes of a file of /proc/<pid>, which the kernel
// makes: a plain open and read, no pid file's precautions. False when the
// process is gone.
bool ReadProcFile(int32_t pid, const char *file, char *buffer, size_t size, size_t *length) {
  char path[kProcPathSize];
  snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), file);
  *length = 0;
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  while (*length < size) {
    ssize_t n = read(fd.get(), buffer + *length, size - *length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *length += static_cast<size_t>(n);
  }
  return true;
}

// The kernel's name of the process (its comm) and its state; false when the
// process is gone.
bool ReadStat(int32_t pid, char *comm, size_t commSize, char *state) {
  char text[kStatReadSize + 1];
  size_t length = 0;
  if (!ReadProcFile(pid, "stat", text, kStatReadSize, &length)) return false;
  text[length] = '\0';
  char *nameStart = strchr(text, '(');
  char *nameEnd = strrchr(text, ')');
  if (nameStart == nullptr || nameEnd == nullptr || nameEnd < nameStart || nameEnd[1] != ' ' || nameEnd[2] == '\0') {
    return false;
  }
  *nameEnd = '\0';
  snprintf(comm, commSize, "%s", nameStart + 1);
  *state = nameEnd[2];
  return true;
}

// The process's command line, at most CMDLINE_READ_SIZE bytes; false when
// the process is gone.
bool ReadCmdline(int32_t pid, char *buffer, size_t *length) {
  return ReadProcFile(pid, "cmdline", buffer, CMDLINE_READ_SIZE, length);
}

bool Contains(const char *text, size_t length, const char *word) {
  return memmem(text, length, word, strlen(word)) != nullptr;
}

}  // namespace

int ReadPidFileLine(const char *path, char *output, int size) {
  if (output == nullptr || size < 1) return CMD_NO_COMMAND;
  output[0] = '\0';
  char text[PID_FILE_READ_SIZE];
  size_t length = 0;
  bool whole = true;
  if (ReadFileTail(path, text, sizeof text, &length, &whole) != READ_OK) return CMD_NO_OUTPUT;
  const char *start = text;
  if (!whole) {
    // Only lines that begin inside what was read are cut exactly as the
    // pipeline cuts them; the last one must be among them.
    const char *newline = static_cast<const char *>(memchr(text, '\n', length));
    if (newline == nullptr || newline + 1 == text + length) return CMD_NO_OUTPUT;
    start = newline + 1;
  }
  return LastOutputLine(start, length - static_cast<size_t>(start - text), output, size);
}

bool ProcessListed(int32_t pid, const char *name) {
  if (pid <= 0 || name == nullptr) return false;
  char line[CMDLINE_READ_SIZE + 2];
  size_t length = 0;
  if (!ReadCmdline(pid, line, &length)) return false;
  // A process with a command line still has its memory, so it is no zombie;
  // only one without is looked at further.
  if (length == 0) {
    char comm[kStatReadSize];
    char state = '\0';
    // The pipeline lists a zombie as "[name] <defunct>", but its program
    // has ended: here it counts as gone.
    if (!ReadStat(pid, comm, sizeof comm, &state) || state == kZombie || state == kDead) return false;
    // No command line (a kernel thread): the list shows the name in brackets.
    length = static_cast<size_t>(snprintf(line, sizeof line, "[%s]", comm));
  } else {
    for (size_t i = 0; i < length; i++) {
      if (line[i] == '\0') line[i] = ' ';
    }
  }
  return Contains(line, length, name) && !Contains(line, length, "grep");
}

int32_t FindProcessByName(const char *name) {
  if (name == nullptr || name[0] == '\0') return 0;
  UniqueDir proc(opendir("/proc"));
  if (!proc) return 0;
  int32_t best = 0;
  while (const struct dirent *entry = readdir(proc.get())) {
    char *end = nullptr;
    const long number = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || number <= best || number > INT32_MAX) continue;
    const int32_t pid = static_cast<int32_t>(number);
    char line[CMDLINE_READ_SIZE + 1];
    size_t length = 0;
    if (!ReadCmdline(pid, line, &length)) continue;
    line[length] = '\0';
    const char *word = line;  // the first word: up to the first NUL
    if (length == 0) {
      char comm[kStatReadSize];
      char state = '\0';
      if (!ReadStat(pid, comm, sizeof comm, &state) || state == kZombie || state == kDead) continue;
      if (strcmp(comm, name) == 0) best = pid;
      continue;
    }
    const char *slash = strrchr(word, '/');
    if (strcmp(slash != nullptr ? slash + 1 : word, name) == 0) best = pid;
  }
  return best;
}

int FindSweepPid(int32_t method, const ProcEntry *entry, const char *command, char *output, int size) {
  if (method != ALIVE_CHECK_PROC) return CmdExec(command, output, size);
  if (output == nullptr || size < 2 || entry == nullptr) return CMD_NO_COMMAND;
  output[0] = '\0';
  // The process the alive check knows comes first: pidof cannot see a
  // program run by an interpreter, whose pid file the check accepts.
  int32_t pid = 0;
  char line[CONFIG_TEXT_SIZE];
  if (ReadPidFileLine(entry->PidPath, line, sizeof line) == CMD_OK && Str2Num(line, 10, &pid) == 0 && pid > 0 &&
      ProcessListed(pid, entry->procName)) {
    snprintf(output, static_cast<size_t>(size), "%d", static_cast<int>(pid));
    return CMD_OK;
  }
  pid = FindProcessByName(entry->procName);
  if (pid <= 0) return CMD_NO_OUTPUT;
  snprintf(output, static_cast<size_t>(size), "%d", static_cast<int>(pid));
  return CMD_OK;
}
