// SPDX-License-Identifier: MIT
// The reboot record: a small text file that remembers the daemon's last
// terminations across reboots, one line each,
// "<UTC time> <mode> up=<uptime> boot=<boot id> : <reason>", for instance
// "2026-12-06T18:01:26Z reboot up=5423 boot=0f3c2a1e-8f7d-4b0e-9a51-2c3d4e5f6a7b
// : Detect that the process [app] was dead." (one line). The mode is
// "poweroff", "reboot" or "safemode"; up= is the board's uptime in seconds
// when the line was written and boot= the kernel's identity of that boot (left
// out when the kernel does not say). Lines without them, as earlier versions
// wrote, are still records. The file keeps the last REBOOT_RECORD_KEEP lines
// and is replaced as a whole (a temporary file beside it, or beside the target
// when the path is a symbolic link, flushed to disk and renamed over it), so a
// power cut leaves either the old file or the new one.
//
// Threads: terminations write it under a lock of its own; see docs/design.md.
#pragma once

#include <cstddef>
#include <cstdint>

#include "readconfig/config.h"

// One line with its terminator; a reason longer than fits is cut, and a
// longer line found in the file is not a record.
constexpr int REBOOT_RECORD_LINE_SIZE = 512;
// The kernel's boot identity (a UUID) with its terminator.
constexpr int REBOOT_BOOT_ID_SIZE = 37;
// At most this many bytes of the file are read, from its end: the file the
// daemon writes is at most REBOOT_RECORD_KEEP full lines, and a larger one is
// not its own.
constexpr int REBOOT_RECORD_READ_LIMIT = 4 * REBOOT_RECORD_KEEP * REBOOT_RECORD_LINE_SIZE;
// Result of a read or write whose path is not a regular file (a FIFO, a
// device, a folder): the record is not used at all.
constexpr int REBOOT_RECORD_NOT_FILE = -2;

// The records of a file, oldest first, each without its newline.
struct RebootRecordLines {
  int32_t Count;
  char Line[REBOOT_RECORD_KEEP][REBOOT_RECORD_LINE_SIZE];
};

// When a record was written, by the wall clock and within its boot.
struct RebootRecordStamp {
  int64_t Wall;                      // seconds since the epoch, as the wall clock said
  int64_t Uptime;                    // seconds since the boot (CLOCK_BOOTTIME); -1: not known
  char BootId[REBOOT_BOOT_ID_SIZE];  // empty: not known
};

// The stamp of now: the wall clock, the uptime and the boot id.
void RebootRecordStampNow(RebootRecordStamp *stamp);

// One record line for a termination at stamp; an unknown uptime leaves out
// up= and boot=, an unknown boot id boot=. Control characters of the reason
// (a newline would split the record) are written as '?'; a reason that does
// not fit is cut.
void FormatRebootRecord(char *line, size_t size, const RebootRecordStamp *stamp, int mode, const char *reason);
// 0 when line is a record; then its stamp and its mode (TERM_*).
int ParseRebootRecord(const char *line, RebootRecordStamp *stamp, int32_t *mode);

// Reads the last REBOOT_RECORD_KEEP records of the file (of its last
// REBOOT_RECORD_READ_LIMIT bytes); lines that are not records are passed
// over. 0 also when the file does not exist (no records);
// REBOOT_RECORD_NOT_FILE when the path is no regular file, which is never
// opened then (a FIFO would block, a device might act); -1 with errno when it
// cannot be read.
[[nodiscard]] int ReadRebootRecords(const char *path, RebootRecordLines *records);
// The reboots (safe-mode reboots included; power-offs not) recorded within
// the window seconds up to now. The wall clock is not used: a board without
// a real-time clock starts every boot at the same time, and a clock may be set
// anywhere. Walking from the newest record back, the time between two
// records is the uptime the newer one's boot had reached (plus the time
// between the two within one boot), so the window is the board's running
// time as the records show it; a record without an uptime adds nothing and
// does not count.
int CountRecentReboots(const RebootRecordLines *records, const RebootRecordStamp *now, int32_t window);
// Adds a record for a termination at when (the wall clock) with the uptime
// and boot id of now, keeping the last REBOOT_RECORD_KEEP. A path that is a
// symbolic link keeps the link: its target (that of a chain of links) is
// replaced. 0 when the new file is in place; -1 with errno or
// REBOOT_RECORD_NOT_FILE, and the old file untouched, otherwise.
int WriteRebootRecord(const char *path, int64_t when, int mode, const char *reason);
// The text that says why a read or write of the record failed (result is its
// return value; errno still that of the failure).
const char *RebootRecordFailText(int result, char *buffer, size_t size);

// Logs the latest record at LOG_NOTICE ("Last shutdown: <record>"); nothing
// when there is none, LOG_ERR when the file cannot be read.
void LogLastShutdown(const char *path);
