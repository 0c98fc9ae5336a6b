/* SPDX-License-Identifier: MIT */
/* A small supervised program for the simulated board: writes its pid file and
 * waits, optionally going to the background, ignoring SIGTERM, sending
 * health checks to the daemon's queue, or exiting after a while. The board
 * copies it under the name a test needs, since that name is what the daemon
 * looks for in the process list and with pidof.
 *
 *   pidprog [-p pidfile] [-d] [-t] [-H name -i seconds] [-x seconds]
 *
 * Runs only inside the board, whose queues are private. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <time.h>
#include <unistd.h>

#include "common/ctrlmsg.h"

static void usage(const char *name) {
  fprintf(stderr, "usage: %s [-p pidfile] [-d] [-t] [-H name -i seconds] [-x seconds]\n", name);
  exit(2);
}

static int write_pidfile(const char *path) {
  FILE *f = fopen(path, "we");
  if (f == NULL) {
    perror(path);
    return -1;
  }
  fprintf(f, "%d\n", (int)getpid());
  return fclose(f) == 0 ? 0 : -1;
}

/* Parent waits for the child's pid file, so that whoever started us (a
 * test, or the daemon's respawn through the shell) finds it written. */
static void go_background(const char *pidfile) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) exit(1);
  pid_t pid = fork();
  if (pid < 0) exit(1);
  if (pid > 0) {
    char c;
    close(ready[1]);
    exit(read(ready[0], &c, 1) == 1 ? 0 : 1);
  }
  close(ready[0]);
  setsid();
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
  }
  if (pidfile != NULL && write_pidfile(pidfile) != 0) exit(1);
  if (write(ready[1], "", 1) != 1) exit(1);
  close(ready[1]);
}

static void send_health_check(const char *name) {
  int id = msgget(WARDEND_QUEUE_KEY, 0);
  if (id < 0) return; /* no daemon yet; try again next period */
  CtrlMsg msg;
  memset(&msg, 0, sizeof(msg));
  msg.type = MSGID_HEALTH_CHECK;
  snprintf(msg.name, sizeof(msg.name), "%s", name);
  msgsnd(id, &msg, CTRLMSG_TEXT_SIZE, IPC_NOWAIT);
}

int main(int argc, char **argv) {
  const char *pidfile = NULL;
  const char *health_name = NULL;
  int background = 0, interval = 0, lifetime = -1;
  int opt;
  while ((opt = getopt(argc, argv, "p:dtH:i:x:")) != -1) {
    switch (opt) {
      case 'p': pidfile = optarg; break;
      case 'd': background = 1; break;
      case 't': signal(SIGTERM, SIG_IGN); break;
      case 'H': health_name = optarg; break;
      case 'i': interval = atoi(optarg); break;
      case 'x': lifetime = atoi(optarg); break;
      default: usage(argv[0]);
    }
  }
  if (optind != argc || (health_name != NULL && interval <= 0)) usage(argv[0]);

  if (background) {
    go_background(pidfile);
  } else if (pidfile != NULL && write_pidfile(pidfile) != 0) {
    return 1;
  }

  time_t start = time(NULL);
  for (long tick = 0;; tick++) {
    if (health_name != NULL && tick % interval == 0) send_health_check(health_name);
    if (lifetime >= 0 && time(NULL) - start >= lifetime) return 0;
    sleep(1);
  }
}
