// SPDX-License-Identifier: MIT
// wardctl: the command-line face of the client library, for shell scripts
// and operators. Messages go through the control queue; re-read without a
// path and the two dumps are signals to the pid in the daemon's pid file;
// status asks the daemon's status socket (wardstatus.h). "check" reads a
// configuration file with the daemon's own reader and touches neither the
// queue, the watchdog nor the system log; "reread PATH" runs the same check
// before it sends the request.
#include <getopt.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "readconfig/checkconfig.h"
#include "readconfig/config.h"
#include "wardclient.h"
#include "wardstatus.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char *kDefaultPidFile = "/var/run/wardend.pid";

constexpr const char *kUsage =
    "Usage: wardctl [-p PIDFILE] COMMAND [ARGUMENTS]\n"
    "Talks to a running wardend, or checks a configuration file.\n"
    "\n"
    "Commands:\n"
    "  health NAME              report that the process NAME is alive\n"
    "  reboot NAME REASON...    ask for a reboot; NAME is the asking application\n"
    "  safe-reboot NAME REASON...\n"
    "                           ask for a reboot into safe mode\n"
    "  reread                   re-read the daemon's configuration file (SIGHUP)\n"
    "  reread [--force] PATH    ask the daemon to read the configuration file PATH;\n"
    "                           without --force, only after it passed check\n"
    "  dump-config              write the configuration dump to the system log (SIGUSR1)\n"
    "  dump-debug               write the watchdog timing dump to the system log (SIGUSR2)\n"
    "  status [--json|--prometheus] [NAME]\n"
    "                           show what the daemon supervises (only NAME's entries):\n"
    "                           a table, the daemon's JSON reply, or Prometheus metrics\n"
    "  check [-q|--quiet] [--root DIR] [FILE]\n"
    "                           report the lines of FILE (default /tmpfs/config/wardend.conf)\n"
    "                           that the daemon would refuse, and likely mistakes; with\n"
    "                           --root, pid files, programs and the reboot record are\n"
    "                           looked up under DIR (an image's root file system)\n"
    "\n"
    "Options:\n"
    "  -p, --pidfile PIDFILE    the daemon's pid file (default /var/run/wardend.pid)\n"
    "  -h, --help               show this text\n"
    "\n"
    "NAME has at most 23 characters (259 for status), REASON at most 103 (several\n"
    "words are joined with blanks), PATH at most 104.\n"
    "Exit status: 0 done, 1 the request could not be delivered (status: no daemon\n"
    "answered in time), 2 usage error.\n"
    "check: 0 clean, 1 refused lines or warnings, 2 the file cannot be read.\n"
    "reread PATH without --force: 1 refused lines or a file the daemon refuses (owner,\n"
    "mode), 2 the file cannot be read (not sent).\n";

__attribute__((format(printf, 1, 2))) int UsageError(const char *format, ...) {
  fputs("wardctl: ", stderr);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputs("\nTry 'wardctl --help' for more information.\n", stderr);
  return kExitUsage;
}

int Failure(const std::string &text) {
  fprintf(stderr, "wardctl: %s\n", text.c_str());
  return kExitFailure;
}

// Result of a library call as an exit status: mistakes in the arguments are
// usage errors, everything else a failure to deliver.
int Report(int code) {
  switch (code) {
    case WARD_OK:
      return kExitOk;
    case WARD_ERR_NAME_EMPTY:
    case WARD_ERR_NAME_LONG:
    case WARD_ERR_REASON_LONG:
    case WARD_ERR_PATH_EMPTY:
    case WARD_ERR_PATH_LONG:
      fprintf(stderr, "wardctl: %s\n", WardStrError(code));
      return kExitUsage;
    case WARD_ERR_SEND:
      return Failure(std::string(WardStrError(code)) + ": " + strerror(errno));
    case WARD_ERR_ACCESS: {
      // The queue is kept to the daemon's ControlGroup: say which one.
      char group[256];
      if (WardQueueGroup(group, sizeof group) == WARD_OK) {
        return Failure("permission denied: ask to be added to group " + Printable(group));
      }
      return Failure(WardStrError(code));
    }
    default:
      return Failure(WardStrError(code));
  }
}

// Reads the whole (small) file; false when it cannot be read.
bool ReadSmallFile(const std::string &path, std::string *content) {
  FILE *file = fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  char buffer[4096];
  size_t count = fread(buffer, 1, sizeof buffer, file);
  bool ok = !ferror(file);
  fclose(file);
  content->assign(buffer, count);
  return ok;
}

std::string BaseName(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A stale pid file may name an unrelated process, and SIGUSR1 would kill
// most programs. Where /proc is mounted, the pid must belong to a program
// called wardend (directly, or as an argument of an emulator or loader).
bool LooksLikeDaemon(pid_t pid, std::string *why) {
  if (access("/proc/self/comm", R_OK) != 0) return true;  // no /proc: cannot tell
  std::string dir = "/proc/" + std::to_string(pid);
  std::string comm;
  if (!ReadSmallFile(dir + "/comm", &comm)) {
    *why = "no process with pid " + std::to_string(pid) + " (stale pid file?)";
    return false;
  }
  if (comm == "wardend\n") return true;
  std::string cmdline;
  if (ReadSmallFile(dir + "/cmdline", &cmdline)) {
    size_t start = 0;
    for (int word = 0; word < 3 && start < cmdline.size(); word++) {
      size_t end = cmdline.find('\0', start);
      if (end == std::string::npos) end = cmdline.size();
      if (BaseName(cmdline.substr(start, end - start)) == "wardend") return true;
      start = end + 1;
    }
  }
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  *why = "pid " + std::to_string(pid) + " is '" + comm + "', not wardend (stale pid file?)";
  return false;
}

int SignalDaemon(const char *pidFile, int signo) {
  std::string content;
  if (!ReadSmallFile(pidFile, &content)) {
    return Failure(std::string("cannot read pid file ") + pidFile + ": " + strerror(errno) +
                   " (is wardend running?)");
  }
  // The daemon writes the pid in decimal and a newline; anything else is
  // refused, and so are 0 and negative numbers, which kill(2) would take as
  // process groups.
  char *end = nullptr;
  errno = 0;
  long pid = strtol(content.c_str(), &end, 10);
  bool valid = end != content.c_str() && errno == 0 && pid > 0 && pid <= 0x7fffffffL &&
               (*end == '\0' || strcmp(end, "\n") == 0) && content[0] >= '0' && content[0] <= '9';
  if (!valid) return Failure(std::string("no valid pid in ") + pidFile);
  std::string why;
  if (!LooksLikeDaemon(static_cast<pid_t>(pid), &why)) return Failure(why);
  if (kill(static_cast<pid_t>(pid), signo) != 0) {
    return Failure("cannot signal pid " + std::to_string(pid) + ": " + strerror(errno));
  }
  return kExitOk;
}

// Why a file cannot be checked (errno is still the check's).
void PrintCheckFailure(const char *path, int result) {
  if (result == CHECK_NOT_A_FILE) {
    fprintf(stderr, "wardctl: %s is not a regular file\n", path);
  } else {
    fprintf(stderr, "wardctl: cannot read %s: %s\n", path, strerror(errno));
  }
}

void PrintNotes(FILE *stream, const std::string &path, const std::vector<CheckNote> &notes) {
  for (const CheckNote &note : notes) {
    std::string where = path;
    if (note.Line > 0) where += ":" + std::to_string(note.Line);
    fprintf(stream, "%s: %s: %s\n", where.c_str(), note.Severity == CHECK_ERROR ? "error" : "warning",
            Printable(note.Text).c_str());
  }
}

// wardctl reread [--force] [--] PATH. The daemon runs in "/", so a relative
// path is made absolute here. A file the daemon cannot read, or refuses as
// others than root may write it, leaves it supervising nothing, with the
// default 30-second refresh, and a refused line leaves its process
// unsupervised: unless forced, the file is checked first with the daemon's
// reader and such a file is not sent (exit status as for check). Warnings alone do not stop the request; they are shown on the way.
// An empty or overlong path is left to the library, which refuses it as a
// usage error.
int RereadPath(const char *path, bool force) {
  std::string absolute = path;
  if (path[0] != '\0' && path[0] != '/') {
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return Failure(std::string("cannot get the current directory: ") + strerror(errno));
    absolute = std::string(cwd) + "/" + path;
    free(cwd);
  }
  if (!force && !absolute.empty() && absolute.size() <= WARD_PATH_MAX) {
    std::vector<CheckNote> notes;
    CheckOptions options;
    options.SearchPath = getenv("PATH");
    const int result = CheckConfig(absolute.c_str(), &notes, options);
    if (result != CHECK_OK) {
      PrintCheckFailure(absolute.c_str(), result);
      fputs("wardctl: not sent; --force sends it all the same\n", stderr);
      return kExitUsage;
    }
    PrintNotes(stderr, absolute, notes);
    const bool unsafe =
        std::any_of(notes.begin(), notes.end(), [](const CheckNote &note) { return note.RefusedOnReread; });
    const bool refused = std::any_of(notes.begin(), notes.end(),
                                     [](const CheckNote &note) { return note.Severity == CHECK_ERROR; });
    if (unsafe) {
      fputs("wardctl: not sent: the daemon would refuse the file; --force sends it all the same\n", stderr);
      return kExitFailure;
    }
    if (refused) {
      fputs("wardctl: not sent: the daemon would refuse these lines; --force sends it all the same\n", stderr);
      return kExitFailure;
    }
  }
  return Report(WardReread(absolute.c_str()));
}

// The arguments of reread: [--force] [--] [PATH].
int Reread(const char *pidFile, char **args, int nargs) {
  bool force = false, options = true;
  const char *path = nullptr;
  for (int i = 0; i < nargs; i++) {
    const char *arg = args[i];
    if (options && strcmp(arg, "--force") == 0) {
      force = true;
    } else if (options && strcmp(arg, "--") == 0) {
      options = false;
    } else if (options && arg[0] == '-' && arg[1] != '\0') {
      return UsageError("unknown option '%s' of reread", arg);
    } else if (path == nullptr) {
      path = arg;
    } else {
      return UsageError("%s", "usage: wardctl reread [[--force] PATH]");
    }
  }
  if (path != nullptr) return RereadPath(path, force);
  // The daemon reads its own file on SIGHUP; which file that is only the
  // daemon knows, so there is nothing to check or force.
  if (force) return UsageError("%s", "reread --force needs a PATH");
  return SignalDaemon(pidFile, SIGHUP);
}

std::string JoinWords(char **words, int count) {
  std::string joined;
  for (int i = 0; i < count; i++) {
    if (i > 0) joined += ' ';
    joined += words[i];
  }
  return joined;
}

// How long status waits for the whole answer. The daemon gives each client
// at most about four seconds (request, table lock, reply).
constexpr int kStatusTimeoutMs = 5000;
// The longest name a configured program can have.
constexpr size_t kStatusNameMax = 259;

// Seconds since the board booted, suspend included, NaN when the clock
// cannot be read.
double BoardUptime() {
  struct timespec now;
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) return NAN;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec / 1000000) / 1000;
}

// wardctl status [--json | --prometheus] [--] [NAME]
int Status(const char *pidFile, char **args, int nargs) {
  enum {
    TABLE,
    JSON,
    PROMETHEUS
  } format = TABLE;
  bool formatGiven = false, options = true;
  const char *name = nullptr;
  for (int i = 0; i < nargs; i++) {
    const std::string arg = args[i];
    if (options && (arg == "--json" || arg == "--prometheus")) {
      if (formatGiven) return UsageError("%s", "status takes only one of --json and --prometheus");
      format = arg == "--json" ? JSON : PROMETHEUS;
      formatGiven = true;
    } else if (options && arg == "--") {
      options = false;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option '%s' of status", arg.c_str());
    } else if (name == nullptr) {
      name = args[i];
    } else {
      return UsageError("%s", "usage: wardctl status [--json | --prometheus] [NAME]");
    }
  }
  if (name != nullptr && (name[0] == '\0' || strlen(name) > kStatusNameMax || strpbrk(name, "\r\n") != nullptr)) {
    return UsageError("NAME must have 1 to %zu characters and no line end", kStatusNameMax);
  }

  std::string reply, error;
  const std::string request = name != nullptr ? std::string("status ") + name : "status";
  const bool answered = QueryStatus(request, kStatusTimeoutMs, pidFile, &reply, &error) == STATUS_ANSWERED;
  // A client outside ControlGroup gets one error and no status, whatever it
  // asked for.
  std::string refused;
  if (answered) {
    JsonValue value;
    std::string ignored;
    const JsonValue *text = ParseJson(reply, &value, &ignored) ? JsonMember(value, "error") : nullptr;
    if (text != nullptr && text->is_string() && text->get_ref<const std::string &>().rfind("permission denied", 0) == 0) {
      refused = Printable(text->get_ref<const std::string &>());
    }
  }
  if (format == PROMETHEUS) {
    // A scrape file says that the daemon is down rather than nothing at all.
    JsonValue value;
    std::string parseError;
    const bool usable = answered && ParseJson(reply, &value, &parseError) && JsonMember(value, "error") == nullptr &&
                        value.is_object();
    fputs(RenderPrometheus(usable ? &value : nullptr, BoardUptime()).c_str(), stdout);
    if (!answered) return Failure(error);
    if (!refused.empty()) return Failure(refused);
    if (!usable) return Failure("unreadable reply from the daemon" + (parseError.empty() ? "" : ": " + parseError));
    return kExitOk;
  }
  if (!answered) return Failure(error);
  if (!refused.empty()) return Failure(refused);
  if (format == JSON) {
    fwrite(reply.data(), 1, reply.size(), stdout);
    return kExitOk;
  }
  JsonValue value;
  if (!ParseJson(reply, &value, &error)) return Failure("unreadable reply from the daemon: " + error);
  std::string table = RenderStatusTable(value, &error);
  if (table.empty()) return Failure(error);
  fputs(table.c_str(), stdout);
  if (name != nullptr) {
    const JsonValue *processes = JsonMember(value, "processes");
    if (processes != nullptr && processes->is_array() && processes->empty()) {
      fprintf(stderr, "wardctl: no process called %s is configured\n", name);
    }
  }
  return kExitOk;
}

// wardctl check [-q|--quiet] [--root DIR] [--] [FILE]: one line per
// finding, "FILE:LINE: error: TEXT" or "FILE:LINE: warning: TEXT" (no LINE
// when the finding is about the file as a whole); nothing for a clean file.
// The respawn commands are judged against wardctl's own PATH, as a daemon
// started from here would have it; for an image (--root), against the PATH
// its init script sets.
int CheckFile(char **args, int nargs) {
  bool quiet = false, options = true;
  const char *path = nullptr;
  CheckOptions check;
  check.SearchPath = getenv("PATH");
  for (int i = 0; i < nargs; i++) {
    const char *arg = args[i];
    if (options && (strcmp(arg, "-q") == 0 || strcmp(arg, "--quiet") == 0)) {
      quiet = true;
    } else if (options && strcmp(arg, "--root") == 0) {
      if (i + 1 >= nargs || args[i + 1][0] == '\0') return UsageError("%s", "--root needs a folder");
      check.Root = args[++i];
      check.SearchPath = CHECK_DEFAULT_SEARCH_PATH;
    } else if (options && strcmp(arg, "--") == 0) {
      options = false;
    } else if (options && arg[0] == '-' && arg[1] != '\0') {
      return UsageError("unknown option '%s' of check", arg);
    } else if (path == nullptr) {
      path = arg;
    } else {
      return UsageError("%s", "usage: wardctl check [--quiet] [--root DIR] [FILE]");
    }
  }
  // An image's own default file, when FILE is not named.
  const std::string imageDefault = std::string(check.Root != nullptr ? check.Root : "") + DEFAULT_CONFIG_PATH;
  if (path == nullptr) path = imageDefault.c_str();
  if (check.Root != nullptr) {
    struct stat st;
    if (stat(check.Root, &st) != 0 || !S_ISDIR(st.st_mode)) {
      if (!quiet) fprintf(stderr, "wardctl: --root %s is not a folder\n", check.Root);
      return kExitUsage;
    }
  }

  std::vector<CheckNote> notes;
  const int result = CheckConfig(path, &notes, check);
  if (result != CHECK_OK) {
    if (!quiet) PrintCheckFailure(path, result);
    return kExitUsage;
  }
  if (!quiet) PrintNotes(stdout, path, notes);
  return notes.empty() ? kExitOk : kExitFailure;
}

}  // namespace

int main(int argc, char **argv) {
  const char *pidFile = kDefaultPidFile;
  static const struct option kOptions[] = {
      {"pidfile", required_argument, nullptr, 'p'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int option;
  // '+': options end at the command, so a REASON may start with '-'.
  while ((option = getopt_long(argc, argv, "+p:h", kOptions, nullptr)) != -1) {
    switch (option) {
      case 'p':
        pidFile = optarg;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return kExitOk;
      default:
        if (optopt == 'p') return UsageError("option '%s' needs a pid file", "-p");
        return UsageError("unknown option '%s'", argv[optind - 1]);
    }
  }
  if (optind >= argc) return UsageError("%s", "no command given");
  const std::string command = argv[optind];
  char **args = argv + optind + 1;
  const int nargs = argc - optind - 1;

  if (command == "help") {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "health") {
    if (nargs != 1) return UsageError("%s", "usage: wardctl health NAME");
    return Report(WardHealthCheck(args[0]));
  }
  if (command == "reboot" || command == "safe-reboot") {
    if (nargs < 2) return UsageError("usage: wardctl %s NAME REASON...", command.c_str());
    std::string reason = JoinWords(args + 1, nargs - 1);
    if (command == "reboot") return Report(WardReboot(args[0], reason.c_str()));
    return Report(WardSafeReboot(args[0], reason.c_str()));
  }
  if (command == "reread") return Reread(pidFile, args, nargs);
  if (command == "dump-config" || command == "dump-debug") {
    if (nargs != 0) return UsageError("usage: wardctl %s", command.c_str());
    return SignalDaemon(pidFile, command == "dump-config" ? SIGUSR1 : SIGUSR2);
  }
  if (command == "status") return Status(pidFile, args, nargs);
  if (command == "check") return CheckFile(args, nargs);
  return UsageError("unknown command '%s'", command.c_str());
}
