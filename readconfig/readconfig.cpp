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

// stat, or the hook a check for another root file system set.
int StatConfigPath(const char *path, struct stat *st) {
  return ConfigStatHook != nullptr ? ConfigStatHook(path, st) : stat(path, st);
}

}  // namespace

ConfigStatFn ConfigStatHook = nullptr;

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

void ReadConfigText(const ConfigText &text, ConfigDb *db) {
  if (db == nullptr) return;
  CleanConfig(&text, db);

  // The file is taken in chunks as a line reader with a buffer of
  // CHUNK_SIZE bytes would take it: up to and including the next newline,
  // at most CHUNK_SIZE - 1 bytes.
  char chunk[CHUNK_SIZE];
  const char *end = text.Data + text.Length;
  for (const char *next = text.Data; next < end;) {
    size_t take = std::min(static_cast<size_t>(end - next), static_cast<size_t>(CHUNK_SIZE - 1));
    const char *newline = static_cast<const char *>(memchr(next, '\n', take));
    if (newline != nullptr) take = static_cast<size_t>(newline - next) + 1;
    memcpy(chunk, next, take);
    chunk[take] = '\0';
    next += take;
    // The text ends at the first NUL, which may come before the newline; a
    // chunk that starts with one is an empty text and is read like the last
    // line of a file without a newline.
    const size_t len = strlen(chunk);
    if (len > 0 && chunk[len - 1] == '\n') {
      chunk[len - 1] = '\0';
      handle_config_line(chunk, db);
    } else if (len < CHUNK_SIZE - 1) {
      handle_config_line(chunk, db);
    } else {
      CntLine++;
      LOG_AT(UNIT, LOG_ERR, "line %d is too long in config file", CntLine);
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

// The line's checks and, when they pass, its store. LINE_REFUSED when the
// line was refused with a report.
int HandleLine(char *line, ConfigDb *db) {
  if (line[0] == '#') return LINE_TAKEN;

  // The reader never hands on more; a caller that does would overrun the
  // text fields of the database.
  if (strlen(line) > MAX_LINE) {
    LOG_AT(UNIT, LOG_ERR, "line %d is too long in config file", CntLine);
    return LINE_REFUSED;
  }

  char *save = nullptr;
  const char *key = strtok_r(line, SEPARATORS, &save);
  if (key == nullptr) return LINE_TAKEN;

  const ConfigKey *known = FindConfigKey(key);
  // Any other key is not ours and is passed over in silence.
  if (known == nullptr) return LINE_TAKEN;

  if (known->Kind == KEY_NUMBER) {
    const char *value = strtok_r(nullptr, SEPARATORS, &save);
    if (value == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No %s value given on line %d", known->What, CntLine);
      return LINE_REFUSED;
    }
    return Refused(handle_ranged(known->Name, value, known->Min, known->Max, known->Target(db)));
  } else if (known->Kind == KEY_METHOD) {
    const char *value = strtok_r(nullptr, SEPARATORS, &save);
    if (value == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No %s value given on line %d", known->What, CntLine);
      return LINE_REFUSED;
    }
    return Refused(handle_alivecheck(value, known->Target(db)));
  } else if (known->Kind == KEY_PATH) {
    const char *path = strtok_r(nullptr, SEPARATORS, &save);
    if (path == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No %s path given on line %d", known->What, CntLine);
      return LINE_REFUSED;
    } else {
      // Every line fits a text field (see MAX_LINE).
      snprintf(known->Text(db), CONFIG_TEXT_SIZE, "%s", path);
    }
  } else if (known->Kind == KEY_PAIR) {
    // Both values or neither: a half-given pair leaves the earlier one.
    int32_t first = 0;
    int32_t second = 0;
    const char *value = strtok_r(nullptr, SEPARATORS, &save);
    if (value == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No %s value given on line %d", known->What, CntLine);
      return LINE_REFUSED;
    }
    if (handle_ranged(known->Name, value, known->Min, known->Max, &first) != 0) return LINE_REFUSED;
    value = strtok_r(nullptr, SEPARATORS, &save);
    if (value == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No %s value given on line %d", known->SecondWhat, CntLine);
      return LINE_REFUSED;
    }
    if (handle_ranged(known->Name, value, known->SecondMin, known->SecondMax, &second) != 0) return LINE_REFUSED;
    *known->Target(db) = first;
    *known->SecondTarget(db) = second;
  } else if (known->Kind == KEY_GROUP) {
    const char *value = strtok_r(nullptr, SEPARATORS, &save);
    if (value == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No %s value given on line %d", known->What, CntLine);
    } else if (handle_group(value, known->Target(db)) == 0) {
      db->ControlGroup = CONTROL_GROUP_SET;
    } else if (db->ControlGroup == CONTROL_GROUP_NONE) {
      // A refused group must not open the queue to everybody: without an
      // earlier good line, the queue keeps what it had.
      db->ControlGroup = CONTROL_GROUP_KEEP;
    }
  } else if (known->Kind == KEY_PIDFILE) {
    // The field before the path carries nothing the daemon uses.
    const char *path = strtok_r(nullptr, SEPARATORS, &save);
    if (path != nullptr) path = strtok_r(nullptr, SEPARATORS, &save);
    if (path == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No PID file path given on line %d", CntLine);
      return LINE_REFUSED;
    } else {
      CopyField(db->MyPidPath, path);
    }
  } else if (known->Kind == KEY_PROCESS) {
    if (db->NumProcess <= CntProcess || db->Process == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No more processes manage line %d", CntLine);
      return LINE_REFUSED;
    }
    const char *field = strtok_r(nullptr, SEPARATORS, &save);
    if (field == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No startup given on line %d", CntLine);
      return LINE_REFUSED;
    }
    int32_t startUp = 0;
    // "START" is refused without a report, and so is not counted.
    if (handle_startup(field, &startUp) != 0) return strcasecmp(field, "START") == 0 ? LINE_TAKEN : LINE_REFUSED;

    field = strtok_r(nullptr, SEPARATORS, &save);
    if (field == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No health check cycle given on line %d", CntLine);
      return LINE_REFUSED;
    }
    int32_t healthCheck = 0;
    if (handle_numeric(field, &healthCheck) != 0) return LINE_REFUSED;

    const char *pidPath = strtok_r(nullptr, SEPARATORS, &save);
    if (pidPath == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No PID file path given on line %d", CntLine);
      return LINE_REFUSED;
    }
    if (handle_pidpath(pidPath) != 0) return LINE_REFUSED;

    const char *execPath = strtok_r(nullptr, SEPARATORS, &save);
    if (execPath == nullptr) {
      LOG_AT(UNIT, LOG_ERR, "No exec path given on line %d", CntLine);
      return LINE_REFUSED;
    }
    if (handle_execpath(execPath) != 0) return LINE_REFUSED;

    const char *option = strtok_r(nullptr, SEPARATORS, &save);

    // Every check passed: only now is the entry written, so a refused line
    // leaves nothing behind.
    ProcEntry &entry = db->Process[CntProcess];
    entry.StartUp = startUp;
    entry.HealthCheck = healthCheck;
    CopyField(entry.PidPath, pidPath);
    CopyField(entry.ExecPath, execPath);
    char *slash = strrchr(entry.ExecPath, '/');
    entry.procName = slash != nullptr ? slash + 1 : entry.ExecPath;
    CopyField(entry.Option, option != nullptr ? option : "");
    entry.TmrHlthChk = healthCheck;
    entry.FlgHlthChk.store(0);
    CntProcess++;
  }
  return LINE_TAKEN;
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

void handle_config_line(char *line, ConfigDb *db) {
  if (line == nullptr || db == nullptr) return;
  CntLine++;
  // The checks cut the line into its fields: the status shows it whole.
  char whole[CONFIG_TEXT_SIZE];
  int n = snprintf(whole, sizeof whole, "%s", line);
  (void)n;
  if (HandleLine(line, db) == LINE_REFUSED) NoteRefusedLine(db, CntLine, whole);
}

int handle_numeric(const char *field, int32_t *target) {
  if (field == nullptr || target == nullptr) return 1;
  if (Str2Num(field, 10, target) != 0) {
    // Str2Num clears errno first: a range error leaves ERANGE, trailing
    // characters leave 0 ("Success").
    const int err = errno;
    char text[128];
    LOG_AT(UNIT, LOG_ERR, "Str2Num convert error [%s] : %s", field, ErrText(err, text, sizeof text));
    return 1;
  }
  return 0;
}

int handle_ranged(const char *key, const char *field, int32_t min, int32_t max, int32_t *target) {
  if (key == nullptr || field == nullptr || target == nullptr) return 1;
  int32_t value = 0;
  if (handle_numeric(field, &value) != 0) return 1;
  if (value < min || value > max) {
    LOG_AT(UNIT, LOG_ERR, "Config read: %s out of range line %d [%s]", key, CntLine, field);
    return 1;
  }
  *target = value;
  return 0;
}

int handle_startup(const char *field, int32_t *target) {
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
  LOG_AT(UNIT, LOG_ERR, "Config read: StartUp convert error line %d [%s]", CntLine, field);
  return 1;
}

int handle_alivecheck(const char *field, int32_t *target) {
  if (field == nullptr || target == nullptr) return 1;
  if (strcmp(field, "ps") == 0) {
    *target = ALIVE_CHECK_PS;
    return 0;
  }
  if (strcmp(field, "proc") == 0) {
    *target = ALIVE_CHECK_PROC;
    return 0;
  }
  LOG_AT(UNIT, LOG_ERR, "Config read: AliveCheck convert error line %d [%s]", CntLine, field);
  return 1;
}

int handle_pidpath(const char *path) {
  if (path == nullptr) return 1;
  struct stat st;
  if (StatConfigPath(path, &st) != 0) {
    LOG_AT(UNIT, LOG_ERR, "Config read: PID file is not exist line %d [%s]", CntLine, path);
    return 1;
  }
  // The content is read by the alive check; an empty file cannot hold a pid.
  if (st.st_size == 0) {
    LOG_AT(UNIT, LOG_ERR, "Config read: PID file is empty line %d", CntLine);
    return 1;
  }
  return 0;
}

int handle_execpath(const char *path) {
  if (path == nullptr) return 1;
  struct stat st;
  if (StatConfigPath(path, &st) != 0) {
    LOG_AT(UNIT, LOG_ERR, "Config read: Exec file is not exist line %d [%s]", CntLine, path);
    return 1;
  }
  // Only the owner-execute bit counts: neither the file type nor whether
  // the daemon's own user may run it.
  if ((st.st_mode & S_IXUSR) == 0) {
    LOG_AT(UNIT, LOG_ERR, "Config read: Exec file is not executable line %d", CntLine);
    return 1;
  }
  return 0;
}

int handle_group(const char *field, int32_t *target) {
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
    LOG_AT(UNIT, LOG_ERR, "Config read: ControlGroup unknown group line %d [%s]", CntLine, field);
    return 1;
  }
  *target = static_cast<int32_t>(entry.gr_gid);
  return 0;
}
