// SPDX-License-Identifier: MIT
// Command line, pid file and the -f queue removal. Main thread only.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "common/ctrlmsg.h"
#include "common/log.h"
#include "common/version.h"
#include "readconfig/config.h"
#include "wardend/wardend.h"

namespace {
constexpr const char *kUnit = "wardend";

constexpr const char *kUsage =
    "%s: Valid parameters are:\n"
    "  -c <config file> - use a config file besides /etc/wardend.conf\n"
    "  -P <file> - set location of pid file\n"
    "  -n - Don't detach from the controlling terminal\n"
    "  -d - Don't detach and send debug I/O to standard output\n"
    "  -v - print the program's version and exit\n";

// The path of the pid file actually written, whole. A re-read may change the
// "Wardend" line afterwards; the exit path still removes the file that exists.
// Any path the system can open fits (a -P path may be longer than the
// configuration's text fields).
char WrittenPidPath[PATH_MAX];
}  // namespace

const char *ConfigPath = DEFAULT_CONFIG_PATH;
const char *PidFilePath = nullptr;
int DetachMode = 1;
int DebugMode = 0;
int MsgQueId = -1;

void Usage(const char *program) {
  fprintf(stderr, kUsage, program);
  exit(1);
}

void ForceDeleteQueue() {
  int probe = msgget(WARDEND_QUEUE_KEY, IPC_CREAT | IPC_EXCL | 0666);
  if (probe >= 0) {
    // Nothing existed: take back the queue the probe just made.
    msgctl(probe, IPC_RMID, nullptr);
    fputs("MSG Que is not exist\n", stderr);
    exit(1);
  }
  int id = msgget(WARDEND_QUEUE_KEY, IPC_CREAT | 0666);
  if (id < 0) {
    fprintf(stderr, "MSG Que reget failed! : %s\n", strerror(errno));
    exit(1);
  }
  if (msgctl(id, IPC_RMID, nullptr) != 0) {
    // A queue of another user, for instance: saying it was deleted would lie.
    fprintf(stderr, "MSG Que remove failed! : %s\n", strerror(errno));
    exit(1);
  }
  puts("MSG Que is forcely deleted!");
  exit(0);
}

void ParseOptions(int argc, char **argv) {
  const char *program = argv[0] != nullptr ? argv[0] : "wardend";
  for (int i = 1; i < argc; i++) {
    const char *word = argv[i];
    if (word[0] != '-' || strlen(word) != 2) {
      fprintf(stderr, "Invalid argument: '%s'\n", word);
      Usage(program);
    }
    switch (word[1]) {
      case 'P':
        if (i + 1 >= argc) {
          fputs("No pid file specified with -P\n", stderr);
          Usage(program);
        }
        PidFilePath = argv[++i];
        break;
      case 'c':
        if (i + 1 >= argc) {
          fputs("No config file specified with -c\n", stderr);
          Usage(program);
        }
        ConfigPath = argv[++i];
        break;
      case 'd':
        DebugMode = 1;
        break;
      case 'n':
        DetachMode = 0;
        break;
      case 'f':
        ForceDeleteQueue();
      case 'v':
        printf("%s version %s\n", program, WARDEND_VERSION);
        exit(0);
      default:
        fprintf(stderr, "Invalid option: '%s'\n", word);
        Usage(program);
    }
  }
}

void make_pidfile() {
  if (PidFilePath == nullptr) {
    if (gConfigDb.MyPidPath[0] == '\0') return;
    PidFilePath = gConfigDb.MyPidPath;
  }
  // A path that would not fit whole is not written: the exit path must
  // remove exactly the file made here, never one named by a cut path.
  const size_t length = strlen(PidFilePath);
  FILE *file = nullptr;
  if (length < sizeof WrittenPidPath) {
    file = fopen(PidFilePath, "we");
  } else {
    errno = ENAMETOOLONG;
  }
  if (file == nullptr) {
    LOG_AT(kUnit, LOG_WARNING, "Error opening pidfile '%s': %m, pidfile not created", PidFilePath);
    return;
  }
  fprintf(file, "%d\n", static_cast<int>(getpid()));
  fclose(file);
  memcpy(WrittenPidPath, PidFilePath, length + 1);
  PidFilePath = WrittenPidPath;
}

void RemovePidFile() {
  if (WrittenPidPath[0] != '\0') unlink(WrittenPidPath);
}
