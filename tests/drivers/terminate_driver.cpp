// SPDX-License-Identifier: MIT
// Test-only program for the simulated board (it runs "reboot" or "poweroff"
// and signals processes, so it refuses to run anywhere else): reads a
// configuration file, opens the watchdog and runs one system termination with
// the given mode, as no application asks for power-off or safe mode.
#include <cstdio>
#include <cstdlib>
#include <syslog.h>

#include "common/cmdexec.h"
#include "common/log.h"
#include "readconfig/readconfig.h"
#include "supervise/terminate.h"
#include "supervise/watchdog.h"

int main(int argc, char **argv) {
  int32_t mode = 0;
  if (argc != 4 || getenv("WARDEND_BOARD_DIR") == nullptr || Str2Num(argv[2], 10, &mode) != 0) {
    fprintf(stderr, "usage, on the simulated board only: %s CONFIG MODE REASON\n", argv[0]);
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
