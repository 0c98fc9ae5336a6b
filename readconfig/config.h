// The configuration database and its reader.
//
// Threads: the start-up read runs on the main thread before any other thread
// exists; re-reads run on the receiver thread while it holds ThreadArg.Mutex;
// the supervision pass and the configuration dump read the table under the
// same mutex. Two fields are touched outside the mutex and are atomic:
// WdtRefresh (read by the watchdog thread) and FlgHlthChk (cleared by the
// receiver while the pass tests and sets it).
#pragma once

#include <atomic>
#include <cstdint>

constexpr int CONFIG_TEXT_SIZE = 260;

// The reader takes the file in chunks of at most CONFIG_CHUNK_SIZE - 1
// characters, each ending after a newline or when full; every chunk counts
// as one line, so a longer line is counted (and reported) piece by piece.
constexpr int CONFIG_CHUNK_SIZE = 256;

// The file read when the command line names none (wardend -c, wardctl check).
constexpr const char *DEFAULT_CONFIG_PATH = "/tmpfs/config/wardend.conf";

enum StartUpKind : int32_t { MONITOR = 0, MANAGE = 1, RESPAWN = 2 };

static_assert(std::atomic<int32_t>::is_always_lock_free, "flags must be lock-free words");

struct ProcEntry {
  int32_t StartUp;
  int32_t HealthCheck;
  char PidPath[CONFIG_TEXT_SIZE];
  char ExecPath[CONFIG_TEXT_SIZE];
  char Option[CONFIG_TEXT_SIZE];
  char *procName;  // points into this entry's own ExecPath
  int32_t TmrHlthChk;
  std::atomic<int32_t> FlgHlthChk;
  int32_t TmrAlive;
  int32_t CntAlive;
};

struct ConfigDb {
  int32_t AliveWatch;
  int32_t PowerWatch;
  std::atomic<int32_t> WdtRefresh;
  int32_t TermTimeout;
  char MyPidPath[CONFIG_TEXT_SIZE];
  int32_t NumProcess;
  ProcEntry *Process;  // owned; replaced as a whole by every read
};

// The daemon's one database, zero-filled at program start.
extern ConfigDb gConfigDb;

// Counters of the read in progress.
extern int32_t CntLine;
extern int32_t CntProcess;

// The refresh period of the read in progress. The watchdog thread reads
// WdtRefresh without the lock, so a read keeps its value here and publishes
// it only when the read ends: the thread sees the old period or the new one,
// never the default that the file is about to replace (a default of 30
// seconds seen in the middle of a re-read would stall the refreshes).
extern int32_t PendingWdtRefresh;

void CleanConfig(const char *path, ConfigDb *db);
void StaggerAliveTimers(ConfigDb *db);

// The keys of the configuration file. The reader dispatches on this one
// table and "wardctl check" learns the known keys from it, so a key added
// here is known to both.
enum ConfigKeyKind : int32_t {
  KEY_NUMBER = 0,   // one decimal value; Target says where it goes
  KEY_PIDFILE = 1,  // a field that is skipped, then the daemon's pid file path
  KEY_PROCESS = 2,  // one supervised process
};

struct ConfigKey {
  const char *Name;  // matched exactly, letter case included
  int32_t Kind;
  // KEY_NUMBER only: the value as named in the missing-value message, and
  // the field of the read in progress that receives it.
  const char *What;
  int32_t *(*Target)(ConfigDb *db);
};

extern const ConfigKey ConfigKeys[];
extern const int32_t NumConfigKeys;

// The row whose Name equals key exactly; null for a key the reader ignores.
const ConfigKey *FindConfigKey(const char *key);

// 0: file opened and read; 1: file could not be opened.
int ReadConfig(const char *path, ConfigDb *db);
void handle_config_line(char *line, ConfigDb *db);
int handle_numeric(const char *field, int32_t *target);
int handle_startup(const char *field, int32_t *target);
int handle_pidpath(const char *path);
int handle_execpath(const char *path);
