// The configuration file reader: fills the configuration database from a
// file, one line at a time.
//
// Threads: the start-up read runs on the main thread before any other thread
// exists; re-reads run on the receiver thread while it holds ThreadArg.Mutex,
// so two reads never overlap.
#pragma once

#include <cstdint>

#include "readconfig/config.h"

// The priorities SCHED_FIFO offers on Linux.
constexpr int32_t WDT_PRIORITY_MIN = 1;
constexpr int32_t WDT_PRIORITY_MAX = 99;

// The keys of the configuration file. The reader dispatches on this one
// table and "wardctl check" learns the known keys from it, so a key added
// here is known to both.
enum ConfigKeyKind : int32_t {
  KEY_NUMBER = 0,   // one decimal value within Min..Max; Target says where it goes
  KEY_PIDFILE = 1,  // a field that is skipped, then the daemon's pid file path
  KEY_PROCESS = 2,  // one supervised process
  KEY_PATH = 3,     // one path; Text says where it goes
  KEY_PAIR = 4,     // two decimal values, each within its range, both or neither
  KEY_GROUP = 5,    // a group name or number; Target receives the group id
};

struct ConfigKey {
  const char *Name;  // matched exactly, letter case included
  int32_t Kind;
  // KEY_NUMBER, KEY_PATH, KEY_PAIR: the value as named in the missing-value
  // message ("No <What> value given on line N", for a path "No <What> path
  // given ..."), and the field of the read in progress that receives it.
  const char *What;
  int32_t *(*Target)(ConfigDb *db);
  // KEY_NUMBER, KEY_PAIR: the values accepted; others are refused with
  // "Config read: <Name> out of range line N [<value>]".
  int32_t Min;
  int32_t Max;
  // KEY_PAIR only: the second value, named and stored like the first, and
  // the values accepted for it.
  const char *SecondWhat;
  int32_t *(*SecondTarget)(ConfigDb *db);
  int32_t SecondMin;
  int32_t SecondMax;
  // KEY_PATH only.
  char *(*Text)(ConfigDb *db);
};

extern const ConfigKey ConfigKeys[];
extern const int32_t NumConfigKeys;

// The row whose Name equals key exactly; null for a key the reader ignores.
const ConfigKey *FindConfigKey(const char *key);

// Starts over with CleanConfig and reads the file. 0: file opened and read;
// 1: file could not be opened (reported), the table left empty.
int ReadConfig(const char *path, ConfigDb *db);

// One line of the file without its newline; bad lines are reported and
// leave the database as it was.
void handle_config_line(char *line, ConfigDb *db);
// Field checks of a line; 0: accepted (stored in *target), 1: refused
// (reported).
int handle_numeric(const char *field, int32_t *target);
// handle_numeric, then a range check ("Config read: <key> out of range line
// N [field]"); *target is written only when both pass.
int handle_ranged(const char *key, const char *field, int32_t min, int32_t max, int32_t *target);
int handle_startup(const char *field, int32_t *target);
int handle_pidpath(const char *path);
int handle_execpath(const char *path);
// A group name from the group database, or a group number; refused
// ("Config read: ControlGroup unknown group line N [field]") otherwise.
int handle_group(const char *field, int32_t *target);
