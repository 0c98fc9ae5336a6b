// SPDX-License-Identifier: MIT
// The cost of one alive check by each method, measured in the process that
// runs it, so the time the supervision pass holds the table for a check can
// be read directly; run by scripts/bench-supervise on the simulated board.
//
//   bench_alive ROUNDS PIDFILE:EXECPATH...
//
// Prints, for "ps" and then "proc", one line:
//   <method> checks <n> wall_us <per check> own_cpu_us <per check> children_cpu_us <per check> failed <n>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "readconfig/config.h"
#include "supervise/alive.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(const struct timeval &tv) { return tv.tv_sec * 1e6 + tv.tv_usec; }

double CpuMicros(int who) {
  struct rusage usage;
  getrusage(who, &usage);
  return Micros(usage.ru_utime) + Micros(usage.ru_stime);
}

void DropLine(int, const char *) {}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s ROUNDS PIDFILE:EXECPATH...\n", argv[0]);
    return 2;
  }
  const int rounds = atoi(argv[1]);
  std::vector<ProcEntry> entries(static_cast<size_t>(argc - 2));
  for (size_t i = 0; i < entries.size(); i++) {
    const std::string pair = argv[i + 2];
    const size_t colon = pair.find(':');
    ProcEntry &entry = entries[i];
    entry.StartUp = MANAGE;
    snprintf(entry.PidPath, sizeof entry.PidPath, "%s", pair.substr(0, colon).c_str());
    snprintf(entry.ExecPath, sizeof entry.ExecPath, "%s", pair.substr(colon + 1).c_str());
    char *slash = strrchr(entry.ExecPath, '/');
    entry.procName = slash != nullptr ? slash + 1 : entry.ExecPath;
  }
  ChoosePsCommand();
  LogHook = DropLine;
  for (int32_t method : {ALIVE_CHECK_PS, ALIVE_CHECK_PROC}) {
    const int methodRounds = method == ALIVE_CHECK_PS ? rounds : rounds * 100;
    long checks = 0;
    long failed = 0;
    const double own = CpuMicros(RUSAGE_SELF);
    const double children = CpuMicros(RUSAGE_CHILDREN);
    const auto start = Clock::now();
    for (int round = 0; round < methodRounds; round++) {
      for (ProcEntry &entry : entries) {
        entry.CntAlive = 0;
        if (SuperviseProcessAlive(&entry, method) != 0 || entry.CntAlive != 0) failed++;
        checks++;
      }
    }
    const double wall = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    printf("%s checks %ld wall_us %.3f own_cpu_us %.3f children_cpu_us %.3f failed %ld\n",
           method == ALIVE_CHECK_PS ? "ps" : "proc", checks, wall / checks, (CpuMicros(RUSAGE_SELF) - own) / checks,
           (CpuMicros(RUSAGE_CHILDREN) - children) / checks, failed);
  }
  return 0;
}
