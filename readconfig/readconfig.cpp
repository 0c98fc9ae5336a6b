// SPDX-License-Identifier: MIT
// The configuration file reader: takes the file chunk by chunk, checks every
// line on its own and fills the configuration database.
//
// Threads: the start-up read runs on the main thread; re-reads run on the
// receiver thread while it holds ThreadArg.Mutex, so two reads never overlap.
#include "readconfig/readconfig.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>
#include <strings.h>
#include <utility>

#include "common/boundedread.h"
#include "common/cmdexec.h"
#include "common/errtext.h"
#include "common/fd.h"
#include "common/log.h"

namespace {

constexpr const char *UNIT = "readconfig";

// One chunk of the file: at most 255 characters and the terminating NUL.
constexpr int CHUNK_SIZE = CONFIG_CHUNK_SIZE;
// The longest line the reader hands on; every field of it fits a text field.
constexpr size_t MAX_LINE = CHUNK_SIZE - 2;
static_assert(MAX_LINE < CONFIG_TEXT_SIZE, "a whole line must fit every text field");

constexpr const char *SEPARATORS = ":";

constexpr int LINE_TAKEN = 0;
constexpr int LINE_REFUSED = 1;
constexpr int LINE_SKIPPED = 2;  // passed over without a report (and so not counted as refused)

// A field check's result (0 accepted, else refused with a report) as a line's.
int Refused(int checked) { return checked != 0 ? LINE_REFUSED : LINE_TAKEN; }

// Sets errno for a path that names no regular file: a directory says so,
// anything else (a pipe, a device, a socket) is not a valid configuration.
int NotARegularFile(mode_t mode) {
  errno = S_ISDIR(mode) ? EISDIR : EINVAL;
  return LOAD_NOT_A_FILE;
}

// Copies a field the line-length check has already bounded.
void CopyField(char (&dest)[CONFIG_TEXT_SIZE], const char *field) {
  snprintf(dest, sizeof dest, "%s", field);
}

constexpr ConfigKey NumberKey(const char *name, const char *what, int32_t *(*target)(ConfigDb *),
                              int32_t min = INT32_MIN, int32_t max = INT32_MAX) {
  return ConfigKey{name, KEY_NUMBER, what, target, min, max, nullptr, nullptr, 0, 0, nullptr};
}

// stat, or how the read was told to look at paths.
int StatConfigPath(const char *path, struct stat *st, const ConfigReadArg *arg) {
  return arg != nullptr && arg->Stat != nullptr ? arg->Stat(path, st) : stat(path, st);
}

// Logs a report of the reader under the name of the operation that makes it
// (function), or hands it to the one the read was given, with the line it is
// about. The text is cut as the log cuts it, so both see the same text.
void Report(const ConfigReadArg *arg, const char *function, int sourceLine, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void Report(const ConfigReadArg *arg, const char *function, int sourceLine, const char *format, ...) {
  char text[LOG_TEXT_SIZE];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  (void)n;  // cut on purpose, as above
  va_end(args);
  if (arg != nullptr && arg->Report != nullptr) {
    arg->Report(arg->Context, CntLine, text);
  } else {
    LogMessage(UNIT, function, sourceLine, LOG_ERR, "%s", text);
  }
}

// A report of the operation that is running.
#define REPORT(arg, ...) Report(arg, __func__, __LINE__, __VA_ARGS__)
// A report of a line's own checks, made for handle_config_line by its helpers.
#define LINE_REPORT(arg, ...) Report(arg, "handle_config_line", __LINE__, __VA_ARGS__)

}  // namespace

// The periods come first and take any value; the watchdog's goes to the
// pending value, which the watchdog thread sees only when the read ends, and
// so does the stall timeout. The optional settings have ranges of their own.
const ConfigKey ConfigKeys[] = {
    NumberKey("AliveWatchPeriod", "alive watch", [](ConfigDb *db) { return &db->AliveWatch; }),
    NumberKey("PowerWatchPeriod", "power watch", [](ConfigDb *db) { return &db->PowerWatch; }),
    NumberKey("WdtRefreshPeriod", "WDT refresh", [](ConfigDb *) { return &PendingWdtRefresh; }),
    NumberKey("TermTimeout", "terminate timeout", [](ConfigDb *db) { return &db->TermTimeout; }),
    {"Wardend", KEY_PIDFILE, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, nullptr},
    {"Process", KEY_PROCESS, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, nullptr},
    NumberKey(
        "SuperviseStallTimeout", "supervise stall timeout", [](ConfigDb *) { return &PendingStallTimeout; }, 0),
    {"RebootRecord", KEY_PATH, "reboot record", nullptr, 0, 0, nullptr, nullptr, 0, 0,
     [](ConfigDb *db) { return &db->RebootRecord[0]; }},
    {"RebootLoopLimit", KEY_PAIR, "reboot loop limit", [](ConfigDb *db) { return &db->LoopLimitCount; }, 1,
     REBOOT_RECORD_KEEP, "reboot loop window", [](ConfigDb *db) { return &db->LoopLimitWindow; }, 1, INT32_MAX,
     nullptr},
    NumberKey(
        "WdtPriority", "WDT priority", [](ConfigDb *db) { return &db->WdtPriority; }, WDT_PRIORITY_MIN,
        WDT_PRIORITY_MAX),
    {"AliveCheck", KEY_METHOD, "alive check", [](ConfigDb *db) { return &db->AliveCheck; }, 0, 0, nullptr, nullptr, 0,
     0, nullptr},
    {"ControlGroup", KEY_GROUP, "control group", [](ConfigDb *db) { return &db->ControlGid; }, 0, 0, nullptr,
     nullptr, 0, 0, nullptr},
};
const int32_t NumConfigKeys = static_cast<int32_t>(sizeof ConfigKeys / sizeof ConfigKeys[0]);

const ConfigKey *FindConfigKey(const char *key) {
  if (key == nullptr) return nullptr;
  for (int32_t i = 0; i < NumConfigKeys; i++) {
    if (strcmp(key, ConfigKeys[i].Name) == 0) return &ConfigKeys[i];
  }
  return nullptr;
}

int LoadConfigFile(const char *path, ConfigFile *file) {
  if (path == nullptr || file == nullptr) {
    errno = EINVAL;
    return LOAD_CANNOT_OPEN;
  }
  // A FIFO without a writer would block the read with the table held.
  struct stat st;
  UniqueFd fd;
  const int opened = OpenRegularFile(path, &fd, &st);
  if (opened == READ_NOT_REGULAR) return NotARegularFile(st.st_mode);
  if (opened != READ_OK) return LOAD_CANNOT_OPEN;
  file->Owner = st.st_uid;
  file->Mode = st.st_mode;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > CONFIG_FILE_MAX) {
    errno = EFBIG;
    return LOAD_TOO_LARGE;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[size + 1]);
  if (!bytes) {
    errno = ENOMEM;
    return LOAD_CANNOT_OPEN;
  }
  // The size the file had when it was opened bounds the read; a file that
  // shrinks meanwhile ends early, and what it grows by is not read.
  size_t length = 0;
  while (length < size) {
    const ssize_t count = read(fd.get(), bytes.get() + length, size - length);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return LOAD_CANNOT_OPEN;
    if (count == 0) break;
    length += static_cast<size_t>(count);
  }
  bytes[length] = '\0';
  file->Bytes = std::move(bytes);
  file->Length = length;
  return LOAD_OK;
}

bool ConfigWrittenOnlyBy(const ConfigFile &file, uid_t uid) {
  return (file.Owner == 0 || file.Owner == uid) && (file.Mode & (S_IWGRP | S_IWOTH)) == 0;
}

int ReadConfig(const char *path, ConfigDb *db) { return ReadConfigFrom(path, CONFIG_NAMED_BY_ROOT, db); }

int ReadConfigFrom(const char *path, int namedBy, ConfigDb *db) {
  if (db == nullptr) return 1;
  ConfigFile file;
  if (path != nullptr && LoadConfigFile(path, &file) == LOAD_OK) {
    // The owner and mode are those of the descriptor the bytes came from,
    // so the file cannot be swapped after the check.
    if (namedBy == CONFIG_NAMED_BY_ROOT || ConfigWrittenOnlyBy(file, geteuid())) {
      ReadConfigText(file.Text(), db);
      return 0;
    }
    errno = EPERM;
  }
  if (path == nullptr) errno = EINVAL;
  const int err = errno;
  // A file that cannot be read holds no "Process" line: the defaults and an
  // empty table, as for a missing file.
  const ConfigText empty{"", 0};
  CleanConfig(path != nullptr ? &empty : nullptr, db);
  errno = err;
  LOG_AT(UNIT, LOG_ERR, "Unable to open config file '%s': %m", path != nullptr ? path : "");
  db->WdtRefresh.store(PendingWdtRefresh);
  db->StallTimeout.store(PendingStallTimeout);
  return 1;
}

char *CutConfigField(char *line, char **save) { return strtok_r(line, SEPARATORS, save); }

int TakeConfigChunk(const char **next, const char *end, char (&chunk)[CONFIG_CHUNK_SIZE], bool *endsLine) {
  size_t take = std::min(static_cast<size_t>(end - *next), static_cast<size_t>(CHUNK_SIZE - 1));
  const char *newline = static_cast<const char *>(memchr(*next, '\n', take));
  if (newline != nullptr) take = static_cast<size_t>(newline - *next) + 1;
  memcpy(chunk, *next, take);
  chunk[take] = '\0';
  *next += take;
  *endsLine = newline != nullptr;
  // The text ends at the first NUL, which may come before the newline; a
  // chunk that starts with one is an empty text and is read like the last
  // line of a file without a newline.
  const size_t len = strlen(chunk);
  if (len > 0 && chunk[len - 1] == '\n') {
    chunk[len - 1] = '\0';
    return CHUNK_LINE;
  }
  return len < CHUNK_SIZE - 1 ? CHUNK_LINE : CHUNK_TOO_LONG;
}

void ReadConfigText(const ConfigText &text, ConfigDb *db, const ConfigReadArg *arg) {
  if (db == nullptr) return;
  CleanConfig(&text, db);

  char chunk[CHUNK_SIZE];
  const char *end = text.Data + text.Length;
  for (const char *next = text.Data; next < end;) {
    bool endsLine = false;
    if (TakeConfigChunk(&next, end, chunk, &endsLine) == CHUNK_LINE) {
      handle_config_line(chunk, db, arg);
    } else {
      CntLine++;
      Report(arg, "ReadConfig", __LINE__, "line %d is too long in config file", CntLine);
      NoteRefusedLine(db, CntLine, chunk);
    }
  }

  if (db->NumProcess > CntProcess) db->NumProcess = CntProcess;
  StaggerAliveTimers(db);
  BuildNameIndex(db);
  db->WdtRefresh.store(PendingWdtRefresh);
  db->StallTimeout.store(PendingStallTimeout);
}

namespace {

// The next field of the line being cut.
char *NextField(char **save) { return CutConfigField(nullptr, save); }

// The next field, or null after "No <what> value given on line N".
const char *ValueOrReport(char **save, const char *what, const ConfigReadArg *arg) {
  const char *value = NextField(save);
  if (value == nullptr) LINE_REPORT(arg, "No %s value given on line %d", what, CntLine);
  return value;
}

// A number within the key's range, or the alive check's method word.
int HandleValue(const ConfigKey &key, char **save, ConfigDb *db, const ConfigReadArg *arg) {
  const char *value = ValueOrReport(save, key.What, arg);
  if (value == nullptr) return LINE_REFUSED;
  if (key.Kind == KEY_METHOD) return Refused(handle_alivecheck(value, key.Target(db), arg));
  return Refused(handle_ranged(key.Name, value, key.Min, key.Max, key.Target(db), arg));
}

int HandlePath(const ConfigKey &key, char **save, ConfigDb *db, const ConfigReadArg *arg) {
  const char *path = NextField(save);
  if (path == nullptr) {
    LINE_REPORT(arg, "No %s path given on line %d", key.What, CntLine);
    return LINE_REFUSED;
  }
  // Every line fits a text field (see MAX_LINE).
  snprintf(key.Text(db), CONFIG_TEXT_SIZE, "%s", path);
  return LINE_TAKEN;
}

// Both values or neither: a half-given pair leaves the earlier one.
int HandlePair(const ConfigKey &key, char **save, ConfigDb *db, const ConfigReadArg *arg) {
  int32_t first = 0;
  int32_t second = 0;
  const char *value = ValueOrReport(save, key.What, arg);
  if (value == nullptr || handle_ranged(key.Name, value, key.Min, key.Max, &first, arg) != 0) return LINE_REFUSED;
  value = ValueOrReport(save, key.SecondWhat, arg);
  if (value == nullptr || handle_ranged(key.Name, value, key.SecondMin, key.SecondMax, &second, arg) != 0) {
    return LINE_REFUSED;
  }
  *key.Target(db) = first;
  *key.SecondTarget(db) = second;
  return LINE_TAKEN;
}

int HandleGroup(const ConfigKey &key, char **save, ConfigDb *db, const ConfigReadArg *arg) {
  const char *value = ValueOrReport(save, key.What, arg);
  if (value != nullptr && handle_group(value, key.Target(db), arg) == 0) {
    db->ControlGroup = CONTROL_GROUP_SET;
    return LINE_TAKEN;
  }
  // A line that meant to close the queue must not open it to everybody:
  // without an earlier good line, the queue keeps what it had.
  if (db->ControlGroup == CONTROL_GROUP_NONE) db->ControlGroup = CONTROL_GROUP_KEEP;
  return LINE_REFUSED;
}

int HandleDaemonPidFile(char **save, ConfigDb *db, const ConfigReadArg *arg) {
  // The field before the path carries nothing the daemon uses.
  const char *path = NextField(save);
  if (path != nullptr) path = NextField(save);
  if (path == nullptr) {
    LINE_REPORT(arg, "No PID file path given on line %d", CntLine);
    return LINE_REFUSED;
  }
  CopyField(db->MyPidPath, path);
  return LINE_TAKEN;
}

// The fields of a "Process" line, each checked.
struct ProcessFields {
  int32_t StartUp;
  int32_t HealthCheck;
  const char *PidPath;
  const char *ExecPath;
  const char *Option;  // null when the line has none
};

// Takes and checks the fields in their order; the first failure ends the
// line. "START" is refused without a report: LINE_SKIPPED.
int TakeProcessFields(char **save, ProcessFields *fields, const ConfigReadArg *arg) {
  const char *field = NextField(save);
  if (field == nullptr) {
    LINE_REPORT(arg, "No startup given on line %d", CntLine);
    return LINE_REFUSED;
  }
  if (handle_startup(field, &fields->StartUp, arg) != 0) {
    return strcasecmp(field, "START") == 0 ? LINE_SKIPPED : LINE_REFUSED;
  }
  field = NextField(save);
  if (field == nullptr) {
    LINE_REPORT(arg, "No health check cycle given on line %d", CntLine);
    return LINE_REFUSED;
  }
  if (handle_numeric(field, &fields->HealthCheck, arg) != 0) return LINE_REFUSED;
  fields->PidPath = NextField(save);
  if (fields->PidPath == nullptr) {
    LINE_REPORT(arg, "No PID file path given on line %d", CntLine);
    return LINE_REFUSED;
  }
  if (handle_pidpath(fields->PidPath, arg) != 0) return LINE_REFUSED;
  fields->ExecPath = NextField(save);
  if (fields->ExecPath == nullptr) {
    LINE_REPORT(arg, "No exec path given on line %d", CntLine);
    return LINE_REFUSED;
  }
  if (handle_execpath(fields->ExecPath, arg) != 0) return LINE_REFUSED;
  fields->Option = NextField(save);
  return LINE_TAKEN;
}

void FillEntry(const ProcessFields &fields, ProcEntry *entry) {
  entry->StartUp = fields.StartUp;
  entry->HealthCheck = fields.HealthCheck;
  CopyField(entry->PidPath, fields.PidPath);
  CopyField(entry->ExecPath, fields.ExecPath);
  char *slash = strrchr(entry->ExecPath, '/');
  entry->procName = slash != nullptr ? slash + 1 : entry->ExecPath;
  CopyField(entry->Option, fields.Option != nullptr ? fields.Option : "");
  entry->TmrHlthChk = fields.HealthCheck;
  entry->FlgHlthChk.store(0);
}

int HandleProcess(char **save, ConfigDb *db, const ConfigReadArg *arg) {
  if (db->NumProcess <= CntProcess || db->Process == nullptr) {
    LINE_REPORT(arg, "No more processes manage line %d", CntLine);
    return LINE_REFUSED;
  }
  ProcessFields fields{};
  const int taken = TakeProcessFields(save, &fields, arg);
  if (taken != LINE_TAKEN) return taken;
  // Every check passed: only now is the entry written, so a refused line
  // leaves nothing behind.
  FillEntry(fields, &db->Process[CntProcess]);
  CntProcess++;
  return LINE_TAKEN;
}

// The line's checks and, when they pass, its store. LINE_REFUSED when the
// line was refused with a report.
int HandleLine(char *line, ConfigDb *db, const ConfigReadArg *arg) {
  if (line[0] == '#') return LINE_TAKEN;

  // The reader never hands on more; a caller that does would overrun the
  // text fields of the database.
  if (strlen(line) > MAX_LINE) {
    LINE_REPORT(arg, "line %d is too long in config file", CntLine);
    return LINE_REFUSED;
  }

  char *save = nullptr;
  const char *key = CutConfigField(line, &save);
  const ConfigKey *known = FindConfigKey(key);
  // Any other key is not ours and is passed over in silence.
  if (known == nullptr) return LINE_TAKEN;

  switch (known->Kind) {
    case KEY_NUMBER:
    case KEY_METHOD:
      return HandleValue(*known, &save, db, arg);
    case KEY_PATH:
      return HandlePath(*known, &save, db, arg);
    case KEY_PAIR:
      return HandlePair(*known, &save, db, arg);
    case KEY_GROUP:
      return HandleGroup(*known, &save, db, arg);
    case KEY_PIDFILE:
      return HandleDaemonPidFile(&save, db, arg);
    case KEY_PROCESS:
      return HandleProcess(&save, db, arg);
    default:
      return LINE_TAKEN;
  }
}

}  // namespace

void NoteRefusedLine(ConfigDb *db, int32_t line, const char *text) {
  if (db->NumRefused < CONFIG_REFUSED_KEEP) {
    RefusedLine &kept = db->Refused[db->NumRefused];
    kept.Line = line;
    // Cut on purpose: the text is only shown.
    int n = snprintf(kept.Text, sizeof kept.Text, "%s", text);
    (void)n;
  }
  if (db->NumRefused < INT32_MAX) db->NumRefused++;
}

void handle_config_line(char *line, ConfigDb *db, const ConfigReadArg *arg) {
  if (line == nullptr || db == nullptr) return;
  CntLine++;
  // The checks cut the line into its fields: the status shows it whole.
  char whole[CONFIG_TEXT_SIZE];
  int n = snprintf(whole, sizeof whole, "%s", line);
  (void)n;
  if (HandleLine(line, db, arg) == LINE_REFUSED) NoteRefusedLine(db, CntLine, whole);
}

int handle_numeric(const char *field, int32_t *target, const ConfigReadArg *arg) {
  if (field == nullptr || target == nullptr) return 1;
  if (Str2Num(field, 10, target) != 0) {
    // Str2Num clears errno first: a range error leaves ERANGE, trailing
    // characters leave 0 ("Success").
    const int err = errno;
    char text[128];
    REPORT(arg, "Str2Num convert error [%s] : %s", field, ErrText(err, text, sizeof text));
    return 1;
  }
  return 0;
}

int handle_ranged(const char *key, const char *field, int32_t min, int32_t max, int32_t *target,
                  const ConfigReadArg *arg) {
  if (key == nullptr || field == nullptr || target == nullptr) return 1;
  int32_t value = 0;
  if (handle_numeric(field, &value, arg) != 0) return 1;
  if (value < min || value > max) {
    REPORT(arg, "Config read: %s out of range line %d [%s]", key, CntLine, field);
    return 1;
  }
  *target = value;
  return 0;
}

int handle_startup(const char *field, int32_t *target, const ConfigReadArg *arg) {
  if (field == nullptr || target == nullptr) return 1;
  if (strcasecmp(field, "MONITOR") == 0) {
    *target = MONITOR;
    return 0;
  }
  if (strcasecmp(field, "MANAGE") == 0) {
    *target = MANAGE;
    return 0;
  }
  if (strcasecmp(field, "RESPAWN") == 0) {
    *target = RESPAWN;
    return 0;
  }
  // "START" is a known word that names no kind of supervision: its line is
  // refused without a report.
  if (strcasecmp(field, "START") == 0) return 1;
  REPORT(arg, "Config read: StartUp convert error line %d [%s]", CntLine, field);
  return 1;
}

int handle_alivecheck(const char *field, int32_t *target, const ConfigReadArg *arg) {
  if (field == nullptr || target == nullptr) return 1;
  if (strcmp(field, "ps") == 0) {
    *target = ALIVE_CHECK_PS;
    return 0;
  }
  if (strcmp(field, "proc") == 0) {
    *target = ALIVE_CHECK_PROC;
    return 0;
  }
  REPORT(arg, "Config read: AliveCheck convert error line %d [%s]", CntLine, field);
  return 1;
}

int handle_pidpath(const char *path, const ConfigReadArg *arg) {
  if (path == nullptr) return 1;
  struct stat st;
  if (StatConfigPath(path, &st, arg) != 0) {
    REPORT(arg, "Config read: PID file is not exist line %d [%s]", CntLine, path);
    return 1;
  }
  // The content is read by the alive check; an empty file cannot hold a pid.
  if (st.st_size == 0) {
    REPORT(arg, "Config read: PID file is empty line %d", CntLine);
    return 1;
  }
  return 0;
}

int handle_execpath(const char *path, const ConfigReadArg *arg) {
  if (path == nullptr) return 1;
  struct stat st;
  if (StatConfigPath(path, &st, arg) != 0) {
    REPORT(arg, "Config read: Exec file is not exist line %d [%s]", CntLine, path);
    return 1;
  }
  // Only the owner-execute bit counts: neither the file type nor whether
  // the daemon's own user may run it.
  if ((st.st_mode & S_IXUSR) == 0) {
    REPORT(arg, "Config read: Exec file is not executable line %d", CntLine);
    return 1;
  }
  return 0;
}

int handle_group(const char *field, int32_t *target, const ConfigReadArg *arg) {
  if (field == nullptr || target == nullptr) return 1;
  int32_t number = 0;
  if (field[0] >= '0' && field[0] <= '9' && Str2Num(field, 10, &number) == 0 && number >= 0) {
    *target = number;
    return 0;
  }
  // Re-reads run on the receiver thread: the reentrant lookup, with a
  // buffer that grows while the entry does not fit.
  struct group entry;
  struct group *found = nullptr;
  std::vector<char> buffer(1024);
  int error = 0;
  while ((error = getgrnam_r(field, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0 || found == nullptr || entry.gr_gid > static_cast<gid_t>(INT32_MAX)) {
    REPORT(arg, "Config read: ControlGroup unknown group line %d [%s]", CntLine, field);
    return 1;
  }
  *target = static_cast<int32_t>(entry.gr_gid);
  return 0;
}
