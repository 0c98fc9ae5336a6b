// SPDX-License-Identifier: MIT
// Test-only program for the simulated board: reads a configuration file,
// opens the watchdog and runs one system termination with a given mode, so
// the power-off and safe-mode sequences can be checked without an
// application asking for them.
//
//   terminate_driver CONFIG MODE REASON
//
// It runs "reboot" or "poweroff" and signals processes, so it refuses to run
// anywhere but on the simulated board.
#include <cstdio>
#include <cstdlib>
#include <syslog.h>

#include "common/cmdexec.h"
#include "common/log.h"
#include "readconfig/readconfig.h"
#include "supervise/terminate.h"
#include "supervise/watchdog.h"

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s CONFIG MODE REASON\n", argv[0]);
    return 2;
  }
  if (getenv("WARDEND_BOARD_DIR") == nullptr) {
    fprintf(stderr, "%s: runs only on the simulated board\n", argv[0]);
    return 2;
  }
  int32_t mode = 0;
  if (Str2Num(argv[2], 10, &mode) != 0) {
    fprintf(stderr, "%s: bad mode %s\n", argv[0], argv[2]);
    return 2;
  }
  LogOpen("wardend", LOG_PID, LOG_LOCAL0);
  if (ReadConfig(argv[1], &gConfigDb) != 0) return 1;
  if (WdtOpen() != 0) {
    perror("/dev/watchdog");
    return 1;
  }
  DoSystemTerminate(mode, &gConfigDb, argv[3]);
  return 0;
}
