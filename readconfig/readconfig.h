// SPDX-License-Identifier: MIT
// The configuration file reader: fills the configuration database from a
// file, one line at a time.
//
// Threads: main before the others start, then the receiver under ThreadArg.Mutex; see docs/design.md.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

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
  KEY_METHOD = 5,   // the alive check's method, "ps" or "proc"; Target says where it goes
  KEY_GROUP = 6,    // a group name or number; Target receives the group id
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

// The largest configuration file a read takes: some 600 entries of 100
// characters with their comments. Every line may be a "Process" line and gets
// a table entry of about 830 bytes, zero-filled with the table held, so a
// file of this size costs at most some 7 MB, where 1 MiB would cost 110 MB.
constexpr size_t CONFIG_FILE_MAX = 64 * 1024;

// LoadConfigFile results; for every failure errno says why.
constexpr int LOAD_OK = 0;
constexpr int LOAD_CANNOT_OPEN = 1;  // errno of the call that failed
constexpr int LOAD_NOT_A_FILE = 2;   // EISDIR for a directory, EINVAL for a pipe, device or socket
constexpr int LOAD_TOO_LARGE = 3;    // EFBIG: more than CONFIG_FILE_MAX bytes

// The bytes of one configuration file, owned, with the owner and mode of
// the file they were read from, as the descriptor showed them.
struct ConfigFile {
  std::unique_ptr<char[]> Bytes;  // Length bytes and a NUL
  size_t Length = 0;
  uid_t Owner = 0;
  mode_t Mode = 0;
  ConfigText Text() const { return ConfigText{Bytes.get(), Length}; }
};

// Loads the regular file at path whole, through one descriptor, without
// ever blocking on what the path names: anything but a regular file is
// refused before it is opened (and again after, should the name have been
// swapped in between), and the read is bounded by the size the file had
// when it was opened, at most CONFIG_FILE_MAX bytes.
[[nodiscard]] int LoadConfigFile(const char *path, ConfigFile *file);

// Whether only root or uid can have written the file: it is owned by one of
// them and neither its group nor others may write it.
bool ConfigWrittenOnlyBy(const ConfigFile &file, uid_t uid);

// Who named the file a read takes. Root names the start-up file on the
// command line; a re-read request on the control queue may come from any
// local user, and its file then runs commands as the daemon's user, so such
// a file is read only when nobody but root or the daemon's user can have
// written it (the request for the daemon's own file, which SIGHUP sends, is
// the daemon's own choice).
constexpr int CONFIG_NAMED_BY_ROOT = 0;
constexpr int CONFIG_NAMED_BY_ANYONE = 1;

// What a read is given besides the file and the database: how it looks at
// the paths of its lines, and where its reports go. The daemon's reads are
// given none (null): stat(2), and the system log at LOG_ERR under the name
// of the reporting function. A check of a file before it is deployed looks
// the paths up under another root file system and collects each report
// with the number of the line (CntLine) it was made on.
using ConfigStatFn = int (*)(const char *path, struct stat *st);
using ConfigReportFn = void (*)(void *context, int32_t line, const char *text);
struct ConfigReadArg {
  ConfigStatFn Stat;      // null: stat(2)
  ConfigReportFn Report;  // null: the system log
  void *Context;          // handed to Report
};

// How TakeConfigChunk found a chunk.
constexpr int CHUNK_LINE = 0;      // a line for handle_config_line, its newline removed
constexpr int CHUNK_TOO_LONG = 1;  // CONFIG_CHUNK_SIZE - 1 bytes without a newline: reported and dropped

// Cuts the next chunk from the text between *next and end as the reader
// takes a file: up to and including the next newline, at most
// CONFIG_CHUNK_SIZE - 1 bytes, its text ending at its first NUL. Copies the
// text into chunk and moves *next past the chunk; *endsLine says whether the
// chunk's bytes ended with a newline, so that the file's next line begins
// after it.
int TakeConfigChunk(const char **next, const char *end, char (&chunk)[CONFIG_CHUNK_SIZE], bool *endsLine);

// Cuts a line's next field in place: ':' separates the fields, a run of
// them is one separator, and no field is empty. Pass the line first, then
// null with the same save; null when no field is left. The daemon and
// wardctl check cut lines with it, so that they see the same fields.
char *CutConfigField(char *line, char **save);

// Starts over with CleanConfig and reads the file. 0: file opened and read;
// 1: file could not be opened or was refused (reported), the table left
// empty. A file named by anyone that others may have written is refused as
// one that cannot be opened, with EPERM.
int ReadConfigFrom(const char *path, int namedBy, ConfigDb *db);
// ReadConfigFrom for a file root named.
int ReadConfig(const char *path, ConfigDb *db);
// ReadConfig after a successful load, for a caller that keeps the bytes:
// the table is sized from text and filled from its lines.
void ReadConfigText(const ConfigText &text, ConfigDb *db, const ConfigReadArg *arg = nullptr);

// One line of the file without its newline; bad lines are reported, leave
// the database as it was and are noted among its refused lines. The field
// checks below report the same way; arg is what the read was given.
void handle_config_line(char *line, ConfigDb *db, const ConfigReadArg *arg = nullptr);
// Notes a refused line (its number and text) in db's record of the read.
void NoteRefusedLine(ConfigDb *db, int32_t line, const char *text);
// Field checks of a line; 0: accepted (stored in *target), 1: refused
// (reported).
int handle_numeric(const char *field, int32_t *target, const ConfigReadArg *arg = nullptr);
// handle_numeric, then a range check ("Config read: <key> out of range line
// N [field]"); *target is written only when both pass.
int handle_ranged(const char *key, const char *field, int32_t min, int32_t max, int32_t *target,
                  const ConfigReadArg *arg = nullptr);
int handle_startup(const char *field, int32_t *target, const ConfigReadArg *arg = nullptr);
// "ps" or "proc", exactly; anything else is reported with the line number.
int handle_alivecheck(const char *field, int32_t *target, const ConfigReadArg *arg = nullptr);
int handle_pidpath(const char *path, const ConfigReadArg *arg = nullptr);
int handle_execpath(const char *path, const ConfigReadArg *arg = nullptr);
// A group name from the group database, or a group number; refused
// ("Config read: ControlGroup unknown group line N [field]") otherwise.
int handle_group(const char *field, int32_t *target, const ConfigReadArg *arg = nullptr);
