// SPDX-License-Identifier: MIT
// The configuration database: its records, its one instance, the counters
// of a read in progress and the reset that sizes the process table. The
// reader's interface is readconfig/readconfig.h.
//
// Threads: the table is guarded by ThreadArg.Mutex, the std::atomic fields are
// not; who touches which is listed in docs/design.md.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int CONFIG_TEXT_SIZE = 260;

// The reader takes the file in chunks of at most CONFIG_CHUNK_SIZE - 1
// characters, each ending after a newline or when full; every chunk counts
// as one line, so a longer line is counted (and reported) piece by piece.
constexpr int CONFIG_CHUNK_SIZE = 256;

// The file read when the command line names none (wardend -c, wardctl check).
constexpr const char *DEFAULT_CONFIG_PATH = "/tmpfs/config/wardend.conf";

enum StartUpKind : int32_t {
  MONITOR = 0,
  MANAGE = 1,
  RESPAWN = 2
};

// How the alive check looks for a process ("AliveCheck" key): through the
// shell's pid-file and process-list pipelines, or by reading the pid file and
// /proc in the daemon.
enum AliveCheckMethod : int32_t {
  ALIVE_CHECK_PS = 0,
  ALIVE_CHECK_PROC = 1
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "flags must be lock-free words");
static_assert(std::atomic<int64_t>::is_always_lock_free, "time stamps must be lock-free words");

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
  // When the last health check arrived (MonotonicMs), 0 when none came since
  // the entry was read; written by the receiver, read by the status server.
  std::atomic<int64_t> TimHlthChk;
  // What the last alive check read from the pid file: 0 before the first
  // check, -1 when the file could not be read or held no usable pid.
  int32_t PidAlive;
  int32_t CntRespawn;  // respawns since the entry was read
};

// One slot of the health-check name index: the entry (index + 1, 0 for an
// empty slot) and the hash of its name.
struct NameSlot {
  int32_t Entry;
  uint32_t Hash;
};

// ConfigDb.ControlGroup: no key (the queue and the status socket are open
// to every local user), a group in ControlGid, or only refused lines (the
// queue keeps the permissions it had: a typo must not open it).
constexpr int32_t CONTROL_GROUP_NONE = 0;
constexpr int32_t CONTROL_GROUP_SET = 1;
constexpr int32_t CONTROL_GROUP_KEEP = 2;

// How many refused lines a read keeps for the status (the count goes on),
// and a refused line as kept: its number and its text, cut to the field.
constexpr int32_t CONFIG_REFUSED_KEEP = 8;
struct RefusedLine {
  int32_t Line;
  char Text[CONFIG_TEXT_SIZE];
};

// How many terminations the reboot record keeps, and so the largest
// RebootLoopLimit count that can ever be reached.
constexpr int32_t REBOOT_RECORD_KEEP = 16;

struct ConfigDb {
  int32_t AliveWatch;
  int32_t PowerWatch;
  std::atomic<int32_t> WdtRefresh;
  int32_t TermTimeout;
  char MyPidPath[CONFIG_TEXT_SIZE];
  int32_t NumProcess;
  ProcEntry *Process;  // owned; replaced as a whole by every read

  // Optional settings; each is off (0 or empty) when its key is absent.
  // StallTimeout: seconds without progress of the pass before the watchdog
  // refreshes stop. RebootRecord: the file of the last terminations.
  // LoopLimitCount reboots within LoopLimitWindow seconds turn the next
  // reboot into a safe-mode reboot. WdtPriority: the watchdog thread's
  // SCHED_FIFO priority, with the memory locked.
  std::atomic<int32_t> StallTimeout;
  char RebootRecord[CONFIG_TEXT_SIZE];
  int32_t LoopLimitCount;
  int32_t LoopLimitWindow;
  int32_t WdtPriority;
  // AliveCheck: an AliveCheckMethod, ALIVE_CHECK_PS when the key is absent.
  // Also chooses how a termination's sweeps find the managed processes.
  int32_t AliveCheck;
  // ControlGroup: whether the key was given (CONTROL_GROUP_*), and the
  // group whose members (and root) may then use the control queue and the
  // status socket.
  int32_t ControlGroup;
  int32_t ControlGid;

  // Open-addressing hash of the entries' names, NameSlots slots (a power of
  // two); owned, built by every read and released with the table. Null when
  // a table was filled without a read: lookups then walk the table.
  NameSlot *NameIndex;
  int32_t NameSlots;

  // The lines the last read refused with a report: how many, and the first
  // CONFIG_REFUSED_KEEP of them. Reset by every read.
  int32_t NumRefused;
  RefusedLine Refused[CONFIG_REFUSED_KEEP];
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
// The same for the stall timeout, which the watchdog thread also reads
// without the lock.
extern int32_t PendingStallTimeout;

// A configuration file as a read takes it: every byte of the file, loaded
// once through one open descriptor, followed by a NUL that is not part of it.
// The table is sized from the same bytes the reader then parses, so nothing
// can change the file between the count and the read.
struct ConfigText {
  const char *Data;
  size_t Length;
};

// The number of lines of text that begin with the seven characters
// "Process", whatever follows them; the last line counts without its
// newline. Bytes are compared as bytes: a NUL or a byte that is no
// character of any encoding changes nothing.
int32_t CountProcessLines(const ConfigText &text);

// Releases the process table and sets the defaults. With the text of a
// file, also counts its "Process" lines and sizes a new, zero-filled table
// for them; without one, publishes the default refresh period at once (the
// final release).
void CleanConfig(const ConfigText *text, ConfigDb *db);
// Spreads the entries' first alive checks over the alive period.
void StaggerAliveTimers(ConfigDb *db);

// Builds the name index of db's table (any earlier index is released). When
// two entries share a name, the index keeps the first, as a walk over the
// table would find it. Without memory for it there is no index.
void BuildNameIndex(ConfigDb *db);
void ReleaseNameIndex(ConfigDb *db);
// Whether entry's procName is exactly the length bytes at name
// (case-sensitive, whole name).
bool ProcNameIs(const ProcEntry &entry, const char *name, size_t length);
// The first entry whose procName is exactly the length bytes at name
// (case-sensitive, whole name); -1 when there is none.
int32_t FindProcessByName(const ConfigDb *db, const char *name, size_t length);
