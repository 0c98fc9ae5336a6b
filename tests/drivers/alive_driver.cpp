// SPDX-License-Identifier: MIT
// Test-only program for the simulated board: runs one alive check, one
// sweep's search or the in-process pidof search, and prints what came of
// it, so a test can run the shell's pipelines and the in-process method on
// the same situation and compare them.
//
//   alive_driver check ps|proc PIDFILE EXECPATH [live|zombie|between]
//       One alive check of a MANAGE entry. With a child kind, the driver
//       first starts EXECPATH as its own child and writes its pid to
//       PIDFILE: running, ended but not reaped, or ended and reaped between
//       the pid file read and the process lookup. Prints "child <pid>",
//       then "result <r> forgiven <CntAlive>" and one "log <text>" a line.
//   alive_driver sweep ps|proc PIDFILE EXECPATH
//       Prints the pid a termination's sweep would signal, or "none".
//   alive_driver pidof-all
//       For every name that a process on the board has (its command's last
//       path component, its kernel name), compares the in-process search
//       with "pidof -s"; prints "same <name>" or "differs <name> <ours>
//       <pidof's>" a name.
//
// It runs pidof and ps through the shell, so it refuses to run anywhere but
// on the simulated board.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/cmdexec.h"
#include "common/log.h"
#include "readconfig/config.h"
#include "supervise/alive.h"
#include "supervise/procscan.h"

namespace {

std::vector<std::string> gLines;
pid_t gChild = -1;

void Collect(int, const char *line) { gLines.emplace_back(line); }

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

char State(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Waits (at most 10 s) until the child has become EXECPATH, or a zombie.
bool WaitForChild(const std::string &execPath, bool zombie) {
  for (int i = 0; i < 1000; i++) {
    const std::string cmdline = ReadText("/proc/" + std::to_string(gChild) + "/cmdline");
    if (zombie ? State(gChild) == 'Z' : cmdline.rfind(execPath + '\0', 0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void EndChild(int32_t) {
  kill(gChild, SIGKILL);
  waitpid(gChild, nullptr, 0);
  gChild = -1;
}

int Check(int32_t method, const char *pidFile, const char *execPath, const char *child) {
  if (child != nullptr) {
    const bool zombie = strcmp(child, "zombie") == 0;
    gChild = fork();
    if (gChild == 0) {
      execl(execPath, execPath, zombie ? "-x" : nullptr, "0", nullptr);
      _exit(127);
    }
    std::ofstream(pidFile) << gChild << "\n";
    if (!WaitForChild(execPath, zombie)) return 1;
    if (strcmp(child, "between") == 0) AliveBetweenSteps = EndChild;
    printf("child %d\n", static_cast<int>(gChild));
  }
  ProcEntry entry{};
  entry.StartUp = MANAGE;
  snprintf(entry.PidPath, sizeof entry.PidPath, "%s", pidFile);
  snprintf(entry.ExecPath, sizeof entry.ExecPath, "%s", execPath);
  const char *slash = strrchr(entry.ExecPath, '/');
  entry.procName = slash != nullptr ? const_cast<char *>(slash + 1) : entry.ExecPath;
  LogHook = Collect;
  const int result = SuperviseProcessAlive(&entry, method);
  LogHook = nullptr;
  printf("result %d forgiven %d\n", result, static_cast<int>(entry.CntAlive));
  for (const std::string &line : gLines) printf("log %s\n", line.c_str());
  if (gChild > 0) EndChild(0);
  return 0;
}

int Sweep(int32_t method, const char *pidFile, const char *execPath) {
  ProcEntry entry{};
  snprintf(entry.PidPath, sizeof entry.PidPath, "%s", pidFile);
  snprintf(entry.ExecPath, sizeof entry.ExecPath, "%s", execPath);
  const char *slash = strrchr(entry.ExecPath, '/');
  entry.procName = slash != nullptr ? const_cast<char *>(slash + 1) : entry.ExecPath;
  char command[CONFIG_TEXT_SIZE];
  char output[CONFIG_TEXT_SIZE];
  const int n = snprintf(command, sizeof command, "pidof -s %.200s", entry.procName);
  if (n < 0 || n >= static_cast<int>(sizeof command)) return 1;
  printf("%s\n", FindSweepPid(method, &entry, command, output, sizeof output) == CMD_OK ? output : "none");
  return 0;
}

// Every name pidof could be asked for on the board: each process's command
// (its last path component) and its kernel name.
std::set<std::string> BoardNames() {
  std::set<std::string> names;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return names;
  while (const struct dirent *entry = readdir(proc)) {
    if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name)) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    const std::string cmdline = ReadText(dir + "/cmdline");
    const std::string first = cmdline.substr(0, cmdline.find('\0'));
    if (!first.empty()) names.insert(first.substr(first.rfind('/') + 1));
    std::string comm = ReadText(dir + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (!comm.empty()) names.insert(comm);
  }
  closedir(proc);
  return names;
}

int PidofAll() {
  for (const std::string &name : BoardNames()) {
    // A name the shell would take apart cannot be asked for by the pipeline.
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-+") !=
        std::string::npos) {
      continue;
    }
    char output[CONFIG_TEXT_SIZE];
    const std::string command = "pidof -s " + name;
    const int result = CmdExec(command.c_str(), output, sizeof output);
    const std::string theirs = result == CMD_OK ? output : "none";
    const int32_t pid = FindProcessByName(name.c_str());
    const std::string ours = pid > 0 ? std::to_string(pid) : "none";
    if (ours == theirs) {
      printf("same %s\n", name.c_str());
    } else {
      printf("differs %s %s %s\n", name.c_str(), ours.c_str(), theirs.c_str());
    }
  }
  return 0;
}

int32_t Method(const char *word) { return strcmp(word, "proc") == 0 ? ALIVE_CHECK_PROC : ALIVE_CHECK_PS; }

}  // namespace

int main(int argc, char **argv) {
  if (getenv("WARDEND_BOARD_DIR") == nullptr) {
    fprintf(stderr, "%s: runs only on the simulated board\n", argv[0]);
    return 2;
  }
  ChoosePsCommand();
  if (argc >= 5 && argc <= 6 && strcmp(argv[1], "check") == 0) {
    return Check(Method(argv[2]), argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
  }
  if (argc == 5 && strcmp(argv[1], "sweep") == 0) return Sweep(Method(argv[2]), argv[3], argv[4]);
  if (argc == 2 && strcmp(argv[1], "pidof-all") == 0) return PidofAll();
  fprintf(stderr,
          "usage: %s check ps|proc PIDFILE EXECPATH [live|zombie|between] | sweep ps|proc PIDFILE EXECPATH "
          "| pidof-all\n",
          argv[0]);
  return 2;
}
