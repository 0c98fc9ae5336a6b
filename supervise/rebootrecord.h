// The reboot record: a small text file that remembers the daemon's last
// terminations across reboots, one line each, "<UTC time> <mode> : <reason>",
// for instance "2026-12-06T18:01:26Z reboot : Detect that the process [app]
// was dead.". The mode is "poweroff", "reboot" or "safemode". The file keeps
// the last REBOOT_RECORD_KEEP lines and is replaced as a whole (a temporary
// file in the same folder, flushed to disk and renamed over it), so a power
// cut leaves either the old file or the new one.
//
// Threads: written by a termination (on the cyclic or the receiver thread;
// two at once are serialised), read by the main loop at start-up and by a
// termination deciding whether the board is in a reboot loop.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int REBOOT_RECORD_KEEP = 16;
// One line with its newline and terminator; a reason longer than fits is
// cut, and a longer line found in the file is not a record.
constexpr int REBOOT_RECORD_LINE_SIZE = 512;

// The records of a file, oldest first, each without its newline.
struct RebootRecordLines {
  int32_t Count;
  char Line[REBOOT_RECORD_KEEP][REBOOT_RECORD_LINE_SIZE];
};

// "poweroff", "safemode" or "reboot" (every other mode reboots).
const char *RebootRecordMode(int mode);

// One record line for a termination at when (seconds since the epoch).
// Control characters of the reason (a newline would split the record) are
// written as '?'; a reason that does not fit is cut.
void FormatRebootRecord(char *line, size_t size, int64_t when, int mode, const char *reason);
// 0 when line is a record; then its time and its mode (TERM_*).
int ParseRebootRecord(const char *line, int64_t *when, int32_t *mode);

// Reads the last REBOOT_RECORD_KEEP records of the file; lines that are not
// records are passed over. 0 also when the file does not exist (no
// records); -1 with errno when it cannot be read.
int ReadRebootRecords(const char *path, RebootRecordLines *records);
// The reboots (safe-mode reboots included; power-offs not) recorded within
// the window seconds up to now. A record stamped later than now (the clock
// was set back since) has no known age and does not count.
int CountRecentReboots(const RebootRecordLines *records, int64_t now, int32_t window);
// Adds a record for a termination at when, keeping the last
// REBOOT_RECORD_KEEP. 0 when the new file is in place; -1 with errno, and
// the old file untouched, otherwise.
int WriteRebootRecord(const char *path, int64_t when, int mode, const char *reason);

// Logs the latest record at LOG_NOTICE ("Last shutdown: <record>"); nothing
// when there is none, LOG_ERR when the file cannot be read.
void LogLastShutdown(const char *path);
