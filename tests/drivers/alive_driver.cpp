// SPDX-License-Identifier: MIT
// Test-only program for the simulated board (it runs pidof and ps through the
// shell): one alive check (with a child kind, of its own child: running, a
// zombie, or reaped between the pid file read and the lookup), or the
// in-process search against "pidof -s" for every name.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "common/cmdexec.h"
#include "common/log.h"
#include "readconfig/config.h"
#include "supervise/alive.h"
#include "supervise/procscan.h"

namespace {

std::string gLog;  // the log lines of the check
pid_t gChild = -1;

std::string ReadText(const std::string &path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Waits (at most 10 s) until the child has become EXECPATH, or a zombie.
bool WaitForChild(const std::string &execPath, bool zombie) {
  const std::string proc = "/proc/" + std::to_string(gChild);
  for (int i = 0; i < 1000; i++, usleep(10000)) {
    const std::string stat = ReadText(proc + "/stat");  // "pid (comm) state ..."
    if (zombie ? stat.find(") Z", stat.rfind(')')) != std::string::npos
               : ReadText(proc + "/cmdline").rfind(execPath + '\0', 0) == 0) {
      return true;
    }
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
  entry.procName = strrchr(entry.ExecPath, '/') ? strrchr(entry.ExecPath, '/') + 1 : entry.ExecPath;
  LogHook = [](int, const char *line) { gLog += std::string("log ") + line + "\n"; };
  const int result = SuperviseProcessAlive(&entry, method);
  printf("result %d forgiven %d\n", result, static_cast<int>(entry.CntAlive));
  fputs(gLog.c_str(), stdout);
  if (gChild > 0) EndChild(0);
  return 0;
}

// Every name pidof could be asked for: each process's command (its last path
// component) and its kernel name.
int PidofAll() {
  std::set<std::string> names;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (const struct dirent *entry = readdir(proc)) {
    if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name)) continue;
    const std::string dir = std::string("/proc/") + entry->d_name, cmdline = ReadText(dir + "/cmdline");
    const std::string first = cmdline.substr(0, cmdline.find('\0'));
    if (!first.empty()) names.insert(first.substr(first.rfind('/') + 1));
    const std::string comm = ReadText(dir + "/comm");  // the name and a line end
    if (comm.size() > 1) names.insert(comm.substr(0, comm.size() - 1));
  }
  closedir(proc);
  for (const std::string &name : names) {
    // A name the shell would take apart cannot be asked for by the pipeline.
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-+") != name.npos)
      continue;
    char output[CONFIG_TEXT_SIZE];
    const std::string theirs = CmdExec(("pidof -s " + name).c_str(), output, sizeof output) == CMD_OK ? output : "none";
    const int32_t pid = FindProcessByName(name.c_str());
    const std::string ours = pid > 0 ? std::to_string(pid) : "none";
    printf("%s %s%s\n", ours == theirs ? "same" : "differs", name.c_str(),
           ours == theirs ? "" : (" " + ours + " " + theirs).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (getenv("WARDEND_BOARD_DIR") != nullptr) {
    ChoosePsCommand();
    if (argc >= 5 && argc <= 6 && strcmp(argv[1], "check") == 0) {
      const int32_t method = strcmp(argv[2], "proc") == 0 ? ALIVE_CHECK_PROC : ALIVE_CHECK_PS;
      return Check(method, argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
    }
    if (argc == 2 && strcmp(argv[1], "pidof-all") == 0) return PidofAll();
  }
  fprintf(stderr,
          "usage, on the simulated board only: %s check ps|proc PIDFILE EXECPATH [live|zombie|between] | "
          "pidof-all\n",
          argv[0]);
  return 2;
}
