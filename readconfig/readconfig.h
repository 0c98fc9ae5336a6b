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
