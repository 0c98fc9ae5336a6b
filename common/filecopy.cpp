// SPDX-License-Identifier: MIT
// File copy with creation of the destination's directory. No state; any
// thread (its messages go to standard output, not the log).
#include "common/filecopy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/cmdexec.h"
#include "common/fd.h"

namespace {

constexpr int kPathSize = 256;
constexpr int kCommandSize = 256;
constexpr int kCopyBufferSize = 8192;

// Makes the directory part of destination when it cannot be examined.
// A destination without a slash lives in the current directory.
void EnsureDirectory(const char *destination) {
  char path[kPathSize];
  snprintf(path, sizeof path, "%s", destination);  // length checked by the caller
  char *slash = strrchr(path, '/');
  if (slash == nullptr) return;
  // "/name" lives in the root directory, which always exists.
  if (slash == path) return;
  *slash = '\0';
  struct stat status;
  if (stat(path, &status) == 0) return;
  // A directory name too long for the command is cut on purpose: mkdir then
  // makes a shorter directory or fails, and opening the destination below
  // reports the failure.
  static constexpr char kMkdir[] = "mkdir -p ";
  constexpr int kNameRoom = kCommandSize - static_cast<int>(sizeof kMkdir);
  char command[kCommandSize];
  snprintf(command, sizeof command, "%s%.*s", kMkdir, kNameRoom, path);
  CmdSystem(command);
}

// A descriptor of 0 counts as a failed open, as 0 means "unset" throughout
// this unit; it is closed here rather than leaked.
UniqueFd OpenChecked(const char *path, int flags, mode_t mode) {
  UniqueFd fd(open(path, flags | O_CLOEXEC, mode));
  if (fd.get() == 0) fd.reset();
  return fd;
}

// Writes the whole piece. false when the destination refuses it: a write
// that fails, or one that takes nothing and would otherwise repeat forever.
bool WriteAll(int fd, const char *data, ssize_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, static_cast<size_t>(length));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= written;
  }
  return true;
}

}  // namespace

int FileCopy(const char *source, const char *destination) {
  if (destination == nullptr || strlen(destination) >= static_cast<size_t>(kPathSize)) {
    puts("DST open error");
    return 1;
  }
  EnsureDirectory(destination);

  UniqueFd in = source == nullptr ? UniqueFd() : OpenChecked(source, O_RDONLY, 0);
  if (!in.valid()) {
    puts("SRC open error");
    return 1;
  }
  struct stat status;
  if (fstat(in.get(), &status) != 0) {
    puts("SRC stat error");
    return 1;
  }
  // The source's mode applies only when the file is created here.
  UniqueFd out =
      OpenChecked(destination, O_WRONLY | O_CREAT | O_TRUNC, status.st_mode & 07777);
  if (!out.valid()) {
    puts("DST open error");
    return 1;
  }

  posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  posix_fadvise(in.get(), 0, 0, POSIX_FADV_NOREUSE);

  char buffer[kCopyBufferSize];
  for (;;) {
    ssize_t got = read(in.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (!WriteAll(out.get(), buffer, got)) {
      // The destination keeps what was written so far; it is not removed,
      // since it may be a device or a file someone else holds open.
      puts("DST write error");
      return 1;
    }
  }
  fsync(out.get());
  out.reset();
  in.reset();
  return 0;
}
