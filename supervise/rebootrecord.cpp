// SPDX-License-Identifier: MIT
// The reboot record file: formatting, parsing, counting and the atomic
// replacement. Written by terminations (cyclic or receiver thread, serialised
// by a lock of this file), read by the main loop and by terminations.
#include "supervise/rebootrecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common/errtext.h"
#include "common/boundedread.h"
#include "common/fd.h"
#include "common/log.h"
#include "supervise/statusinfo.h"
#include "supervise/terminate.h"

static_assert(STATUS_RECORD_SIZE >= REBOOT_RECORD_LINE_SIZE, "the status shows the whole last record");

namespace {

constexpr const char *kUnit = "supervise";
constexpr const char *kTimeFormat = "%Y-%m-%dT%H:%M:%SZ";
// The separator between the mode and the reason.
constexpr const char *kReasonMark = " : ";
constexpr const char *kUptimeMark = " up=";
constexpr const char *kBootMark = " boot=";
constexpr mode_t kRecordMode = 0644;
constexpr const char *kBootIdPath = "/proc/sys/kernel/random/boot_id";
// Twelve digits are 31,000 years of uptime; a longer number is no record,
// and the sums of sixteen uptimes cannot overflow.
constexpr int kUptimeDigits = 12;
// As many links as the kernel itself follows in one path.
constexpr int kMaxLinks = 40;
constexpr size_t kReadChunk = 1024;

// Two terminations at once must not both read the old file and each rename
// its own version over it: one record would be lost.
std::mutex gWriteLock;

void Keep(RebootRecordLines *records, const char *line) {
  if (records->Count == REBOOT_RECORD_KEEP) {
    memmove(records->Line[0], records->Line[1], sizeof records->Line[0] * (REBOOT_RECORD_KEEP - 1));
    records->Count--;
  }
  snprintf(records->Line[records->Count], REBOOT_RECORD_LINE_SIZE, "%s", line);
  records->Count++;
}

int WriteAll(int fd, const char *text, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    text += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}

// The folder of path ("." for a bare name) into folder; -1 when too long.
int FolderOf(const char *path, char *folder, size_t size) {
  const char *slash = strrchr(path, '/');
  int n;
  if (slash == nullptr) {
    n = snprintf(folder, size, ".");
  } else if (slash == path) {
    n = snprintf(folder, size, "/");
  } else {
    n = snprintf(folder, size, "%.*s", static_cast<int>(slash - path), path);
  }
  if (n < 0 || static_cast<size_t>(n) >= size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return 0;
}

// The file a record path stands for: path itself, or the end of the chain of
// symbolic links it starts, which need not exist yet. -1 with errno when a
// link cannot be read, the chain is too long or a path does not fit.
int FollowLinks(const char *path, char *target, size_t size) {
  int n = snprintf(target, size, "%s", path);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (int links = 0;; links++) {
    struct stat info;
    if (lstat(target, &info) != 0) return errno == ENOENT ? 0 : -1;
    if (!S_ISLNK(info.st_mode)) return 0;
    if (links == kMaxLinks) {
      errno = ELOOP;
      return -1;
    }
    char link[PATH_MAX];
    const ssize_t length = readlink(target, link, sizeof link);
    if (length < 0) return -1;
    if (static_cast<size_t>(length) >= sizeof link) {
      errno = ENAMETOOLONG;
      return -1;
    }
    link[length] = '\0';
    if (link[0] == '/') {
      n = snprintf(target, size, "%s", link);
    } else {
      // A relative target is relative to the folder of the link.
      char folder[PATH_MAX];
      if (FolderOf(target, folder, sizeof folder) != 0) return -1;
      n = snprintf(target, size, "%s/%s", folder, link);
    }
    if (n < 0 || static_cast<size_t>(n) >= size) {
      errno = ENAMETOOLONG;
      return -1;
    }
  }
}

// Reads a number of at most kUptimeDigits digits; the end of it, or nullptr.
const char *ParseUptime(const char *text, int64_t *value) {
  int64_t number = 0;
  int digits = 0;
  while (*text >= '0' && *text <= '9') {
    if (++digits > kUptimeDigits) return nullptr;
    number = number * 10 + (*text - '0');
    text++;
  }
  if (digits == 0) return nullptr;
  *value = number;
  return text;
}

bool IsBootIdChar(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-'; }

// Reads the boot id into id (REBOOT_BOOT_ID_SIZE bytes); empty when the
// kernel does not say or says something that is no id.
void ReadBootId(char *id) {
  id[0] = '\0';
  UniqueFd file(open(kBootIdPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return;
  char text[REBOOT_BOOT_ID_SIZE + 1];
  const ssize_t length = read(file.get(), text, sizeof text);
  if (length <= 0) return;
  size_t end = 0;
  while (end < static_cast<size_t>(length) && IsBootIdChar(text[end])) end++;
  const bool whole = end == static_cast<size_t>(length) || text[end] == '\n';
  if (end == 0 || end >= REBOOT_BOOT_ID_SIZE || !whole) return;
  memcpy(id, text, end);
  id[end] = '\0';
}

// Splits what a file holds into lines for Consider; a line longer than a
// record can be, or holding a NUL, is passed over whole.
struct LineSplitter {
  char Line[REBOOT_RECORD_LINE_SIZE];
  size_t Length = 0;
  bool Skipping = false;  // in a line that is no record

  void Consider(RebootRecordLines *records) {
    Line[Length] = '\0';
    RebootRecordStamp stamp;
    int32_t mode = 0;
    if (!Skipping && ParseRebootRecord(Line, &stamp, &mode) == 0) Keep(records, Line);
    Length = 0;
    Skipping = false;
  }
  void Add(const char *text, size_t length, RebootRecordLines *records) {
    for (size_t i = 0; i < length; i++) {
      const char c = text[i];
      if (c == '\n') {
        Consider(records);
      } else if (Skipping) {
        continue;
      } else if (c == '\0' || Length + 1 >= sizeof Line) {
        Skipping = true;
      } else {
        Line[Length++] = c;
      }
    }
  }
  // The last line of a file cut short after it, which has no newline.
  void End(RebootRecordLines *records) {
    if (Length > 0 || Skipping) Consider(records);
  }
};

int NotAFile() {
  errno = EINVAL;
  return REBOOT_RECORD_NOT_FILE;
}

// Writes the records into a new file beside path and renames it over path;
// the folder is flushed too, so the rename itself survives a power cut.
int ReplaceFile(const char *path, const RebootRecordLines *records) {
  char folder[PATH_MAX];
  char temporary[PATH_MAX];
  if (FolderOf(path, folder, sizeof folder) != 0) return -1;
  const char *base = strrchr(path, '/') != nullptr ? strrchr(path, '/') + 1 : path;
  int n = snprintf(temporary, sizeof temporary, "%s/.%s.XXXXXX", folder, base);
  if (n < 0 || static_cast<size_t>(n) >= sizeof temporary) {
    errno = ENAMETOOLONG;
    return -1;
  }
  UniqueFd file(mkostemp(temporary, O_CLOEXEC));
  if (!file.valid()) return -1;
  int failed = fchmod(file.get(), kRecordMode);
  for (int32_t i = 0; failed == 0 && i < records->Count; i++) {
    failed = WriteAll(file.get(), records->Line[i], strlen(records->Line[i]));
    if (failed == 0) failed = WriteAll(file.get(), "\n", 1);
  }
  if (failed == 0) failed = fsync(file.get());
  if (failed == 0) failed = close(file.release());
  if (failed == 0) failed = rename(temporary, path);
  if (failed != 0) {
    const int err = errno;
    unlink(temporary);
    errno = err;
    return -1;
  }
  UniqueFd directory(open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The new file is in place; a folder that cannot be flushed only leaves
  // the rename to the file system's own schedule.
  if (directory.valid()) (void)fsync(directory.get());
  return 0;
}

}  // namespace

void RebootRecordStampNow(RebootRecordStamp *stamp) {
  stamp->Wall = static_cast<int64_t>(time(nullptr));
  struct timespec now;
  // The boot clock goes on through a suspend and is never set.
  stamp->Uptime = clock_gettime(CLOCK_BOOTTIME, &now) == 0 ? static_cast<int64_t>(now.tv_sec) : -1;
  ReadBootId(stamp->BootId);
}

void FormatRebootRecord(char *line, size_t size, const RebootRecordStamp *stamp, int mode, const char *reason) {
  if (line == nullptr || size == 0 || stamp == nullptr) return;
  const time_t seconds = static_cast<time_t>(stamp->Wall);
  struct tm utc;
  char wall[32] = "";
  if (gmtime_r(&seconds, &utc) == nullptr || strftime(wall, sizeof wall, kTimeFormat, &utc) == 0) {
    snprintf(wall, sizeof wall, "1970-01-01T00:00:00Z");
  }
  char boot[REBOOT_BOOT_ID_SIZE + 48] = "";
  if (stamp->Uptime >= 0) {
    int n = snprintf(boot, sizeof boot, "%s%lld", kUptimeMark, static_cast<long long>(stamp->Uptime));
    if (n > 0 && static_cast<size_t>(n) < sizeof boot && stamp->BootId[0] != '\0') {
      n = snprintf(boot + n, sizeof boot - static_cast<size_t>(n), "%s%s", kBootMark, stamp->BootId);
    }
    (void)n;  // both fit: the mark, 12 digits and an id of 36
  }
  // Cut on purpose: the reason is a log text, and a record must stay one line.
  int n = snprintf(line, size, "%s %s%s%s%s", wall, TermModeName(mode), boot, kReasonMark,
                   reason != nullptr ? reason : "");
  (void)n;
  for (char *c = line; *c != '\0'; c++) {
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = '?';
  }
}

int ParseRebootRecord(const char *line, RebootRecordStamp *stamp, int32_t *mode) {
  if (line == nullptr || stamp == nullptr || mode == nullptr) return -1;
  struct tm utc;
  memset(&utc, 0, sizeof utc);
  const char *rest = strptime(line, kTimeFormat, &utc);
  if (rest == nullptr || *rest != ' ') return -1;
  rest++;
  const int32_t modes[] = {TERM_POWEROFF, TERM_REBOOT, TERM_SAFEMODE};
  for (int32_t candidate : modes) {
    const char *word = TermModeName(candidate);
    const size_t length = strlen(word);
    if (strncmp(rest, word, length) != 0) continue;
    const char *fields = rest + length;
    int64_t uptime = -1;
    const char *id = "";
    size_t idLength = 0;
    if (strncmp(fields, kUptimeMark, strlen(kUptimeMark)) == 0) {
      fields = ParseUptime(fields + strlen(kUptimeMark), &uptime);
      if (fields == nullptr) return -1;
      if (strncmp(fields, kBootMark, strlen(kBootMark)) == 0) {
        id = fields + strlen(kBootMark);
        while (IsBootIdChar(id[idLength])) idLength++;
        if (idLength == 0 || idLength >= REBOOT_BOOT_ID_SIZE) return -1;
        fields = id + idLength;
      }
    }
    if (strncmp(fields, kReasonMark, strlen(kReasonMark)) != 0) return -1;
    stamp->Wall = static_cast<int64_t>(timegm(&utc));
    stamp->Uptime = uptime;
    memcpy(stamp->BootId, id, idLength);
    stamp->BootId[idLength] = '\0';
    *mode = candidate;
    return 0;
  }
  return -1;
}

int ReadRebootRecords(const char *path, RebootRecordLines *records) {
  if (path == nullptr || records == nullptr) {
    errno = EINVAL;
    return -1;
  }
  records->Count = 0;
  struct stat info;
  UniqueFd file;
  const int opened = OpenRegularFile(path, &file, &info);
  if (opened == READ_NOT_REGULAR) return NotAFile();
  if (opened != READ_OK) return opened == READ_OPEN_FAIL && errno == ENOENT ? 0 : -1;
  LineSplitter lines;
  // The newest records are at the end. Reading starts one byte before the
  // part read, so that a line starting right there is seen to be whole.
  size_t left = REBOOT_RECORD_READ_LIMIT;
  if (info.st_size > static_cast<off_t>(REBOOT_RECORD_READ_LIMIT)) {
    if (lseek(file.get(), info.st_size - REBOOT_RECORD_READ_LIMIT - 1, SEEK_SET) < 0) return -1;
    lines.Skipping = true;
    left++;
  }
  char chunk[kReadChunk];
  // Also bounded for a file that grows while it is read, or one that, like
  // those of /proc, has no size.
  while (left > 0) {
    const ssize_t got = read(file.get(), chunk, left < sizeof chunk ? left : sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    lines.Add(chunk, static_cast<size_t>(got), records);
    left -= static_cast<size_t>(got);
  }
  lines.End(records);
  return 0;
}

int CountRecentReboots(const RebootRecordLines *records, const RebootRecordStamp *now, int32_t window) {
  if (records == nullptr || now == nullptr || now->Uptime < 0) return 0;
  int count = 0;
  // The point the walk has come back to: the uptime and boot of the newer
  // record (at first, now), and how long ago that was at least.
  int64_t newerUptime = now->Uptime;
  char newerBoot[REBOOT_BOOT_ID_SIZE];
  snprintf(newerBoot, sizeof newerBoot, "%s", now->BootId);
  int64_t elapsed = 0;
  for (int32_t i = records->Count - 1; i >= 0; i--) {
    RebootRecordStamp stamp;
    int32_t mode = 0;
    if (ParseRebootRecord(records->Line[i], &stamp, &mode) != 0) continue;
    if (stamp.Uptime < 0) {
      // Neither its boot nor its uptime is known: it ages nothing and, with
      // no age of its own, does not count.
      newerUptime = 0;
      newerBoot[0] = '\0';
      continue;
    }
    if (stamp.BootId[0] != '\0' && strcmp(stamp.BootId, newerBoot) == 0) {
      // The same boot: the boot clock says exactly how long ago.
      if (newerUptime > stamp.Uptime) elapsed += newerUptime - stamp.Uptime;
    } else {
      // An earlier boot: the newer boot had been up this long, and the time
      // from this record to the end of its own boot, the boot itself and
      // any boot that left no record are not known, so they add nothing.
      elapsed += newerUptime;
    }
    // Every older record is at least as far back.
    if (elapsed > static_cast<int64_t>(window)) break;
    if (mode != TERM_POWEROFF) count++;
    newerUptime = stamp.Uptime;
    snprintf(newerBoot, sizeof newerBoot, "%s", stamp.BootId);
  }
  return count;
}

int WriteRebootRecord(const char *path, int64_t when, int mode, const char *reason) {
  if (path == nullptr || path[0] == '\0') {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> lock(gWriteLock);
  // Used only under the lock, so one buffer serves every termination.
  static RebootRecordLines records;
  // Renaming over the link itself would turn it into a plain file, and the
  // link's folder may not even be writable.
  char target[PATH_MAX];
  if (FollowLinks(path, target, sizeof target) != 0) return -1;
  const int readResult = ReadRebootRecords(target, &records);
  if (readResult != 0) return readResult;
  RebootRecordStamp stamp;
  RebootRecordStampNow(&stamp);
  stamp.Wall = when;
  char line[REBOOT_RECORD_LINE_SIZE];
  FormatRebootRecord(line, sizeof line, &stamp, mode, reason);
  Keep(&records, line);
  return ReplaceFile(target, &records);
}

const char *RebootRecordFailText(int result, char *buffer, size_t size) {
  if (result == REBOOT_RECORD_NOT_FILE) return "Not a regular file";
  return ErrText(errno, buffer, size);
}

void LogLastShutdown(const char *path) {
  RebootRecordLines records;
  // Reported as a step of the main loop's start, where it is made.
  const int readResult = ReadRebootRecords(path, &records);
  if (readResult != 0) {
    char text[128];
    LOG_AS(kUnit, "wardend_loop", LOG_ERR, "Reboot record read fail! [%s] : %s", path,
           RebootRecordFailText(readResult, text, sizeof text));
    return;
  }
  if (records.Count == 0) return;
  StatusNoteLastShutdown(records.Line[records.Count - 1]);
  LOG_AS(kUnit, "wardend_loop", LOG_NOTICE, "Last shutdown: %s", records.Line[records.Count - 1]);
}
