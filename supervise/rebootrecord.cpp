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
#include <memory>
#include <mutex>

#include "common/errtext.h"
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
constexpr mode_t kRecordMode = 0644;

// Two terminations at once must not both read the old file and each rename
// its own version over it: one record would be lost.
std::mutex gWriteLock;

struct FileCloser {
  void operator()(FILE *fp) const { fclose(fp); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

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

const char *RebootRecordMode(int mode) {
  switch (mode) {
    case TERM_POWEROFF:
      return "poweroff";
    case TERM_SAFEMODE:
      return "safemode";
    default:
      return "reboot";
  }
}

void FormatRebootRecord(char *line, size_t size, int64_t when, int mode, const char *reason) {
  if (line == nullptr || size == 0) return;
  const time_t seconds = static_cast<time_t>(when);
  struct tm utc;
  char stamp[32] = "";
  if (gmtime_r(&seconds, &utc) == nullptr || strftime(stamp, sizeof stamp, kTimeFormat, &utc) == 0) {
    snprintf(stamp, sizeof stamp, "1970-01-01T00:00:00Z");
  }
  // Cut on purpose: the reason is a log text, and a record must stay one line.
  int n = snprintf(line, size, "%s %s%s%s", stamp, RebootRecordMode(mode), kReasonMark,
                   reason != nullptr ? reason : "");
  (void)n;
  for (char *c = line; *c != '\0'; c++) {
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = '?';
  }
}

int ParseRebootRecord(const char *line, int64_t *when, int32_t *mode) {
  if (line == nullptr || when == nullptr || mode == nullptr) return -1;
  struct tm utc;
  memset(&utc, 0, sizeof utc);
  const char *rest = strptime(line, kTimeFormat, &utc);
  if (rest == nullptr || *rest != ' ') return -1;
  rest++;
  const int32_t modes[] = {TERM_POWEROFF, TERM_REBOOT, TERM_SAFEMODE};
  for (int32_t candidate : modes) {
    const char *word = RebootRecordMode(candidate);
    const size_t length = strlen(word);
    if (strncmp(rest, word, length) == 0 && strncmp(rest + length, kReasonMark, strlen(kReasonMark)) == 0) {
      *when = static_cast<int64_t>(timegm(&utc));
      *mode = candidate;
      return 0;
    }
  }
  return -1;
}

int ReadRebootRecords(const char *path, RebootRecordLines *records) {
  if (path == nullptr || records == nullptr) {
    errno = EINVAL;
    return -1;
  }
  records->Count = 0;
  UniqueFile file(fopen(path, "re"));
  if (!file) return errno == ENOENT ? 0 : -1;
  char line[REBOOT_RECORD_LINE_SIZE];
  bool overlong = false;  // in the middle of a line too long to be a record
  while (fgets(line, sizeof line, file.get()) != nullptr) {
    const size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
      line[length - 1] = '\0';
    } else if (length + 1 >= sizeof line) {
      overlong = true;  // the rest of the line follows
      continue;
    }
    // Also the last line of a file cut short after it, which has no newline.
    const bool candidate = !overlong;
    overlong = false;
    int64_t when = 0;
    int32_t mode = 0;
    if (candidate && ParseRebootRecord(line, &when, &mode) == 0) Keep(records, line);
  }
  if (ferror(file.get())) return -1;
  return 0;
}

int CountRecentReboots(const RebootRecordLines *records, int64_t now, int32_t window) {
  if (records == nullptr) return 0;
  int count = 0;
  for (int32_t i = 0; i < records->Count; i++) {
    int64_t when = 0;
    int32_t mode = 0;
    if (ParseRebootRecord(records->Line[i], &when, &mode) != 0 || mode == TERM_POWEROFF) continue;
    if (when <= now && now - when <= static_cast<int64_t>(window)) count++;
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
  if (ReadRebootRecords(path, &records) != 0) return -1;
  char line[REBOOT_RECORD_LINE_SIZE];
  FormatRebootRecord(line, sizeof line, when, mode, reason);
  Keep(&records, line);
  return ReplaceFile(path, &records);
}

void LogLastShutdown(const char *path) {
  RebootRecordLines records;
  // Reported as a step of the main loop's start, where it is made.
  if (ReadRebootRecords(path, &records) != 0) {
    char text[128];
    LOG_AS(kUnit, "wardend_loop", LOG_ERR, "Reboot record read fail! [%s] : %s", path, ErrText(errno, text, sizeof text));
    return;
  }
  if (records.Count == 0) return;
  StatusNoteLastShutdown(records.Line[records.Count - 1]);
  LOG_AS(kUnit, "wardend_loop", LOG_NOTICE, "Last shutdown: %s", records.Line[records.Count - 1]);
}
