/* SPDX-License-Identifier: MIT */
/* A small application built against the installed client library, as a
 * board's application uses it: writes its pid file, then reports itself
 * alive under its own program name every INTERVAL_MS milliseconds.
 *
 *   healthapp PIDFILE INTERVAL_MS */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <wardclient.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PIDFILE INTERVAL_MS\n", argv[0]);
    return 2;
  }
  /* The daemon knows a process by its program's base name. */
  const char *slash = strrchr(argv[0], '/');
  const char *name = slash != NULL ? slash + 1 : argv[0];

  FILE *pidfile = fopen(argv[1], "w");
  if (pidfile == NULL) {
    perror(argv[1]);
    return 1;
  }
  fprintf(pidfile, "%d\n", (int)getpid());
  if (fclose(pidfile) != 0) {
    perror(argv[1]);
    return 1;
  }

  long ms = strtol(argv[2], NULL, 10);
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  for (;;) {
    int rc = WardHealthCheck(name);
    /* No daemon yet is normal at boot; anything else is worth a line. */
    if (rc != WARD_OK && rc != WARD_ERR_NO_DAEMON) fprintf(stderr, "%s: %s\n", name, WardStrError(rc));
    nanosleep(&pause, NULL);
  }
}
