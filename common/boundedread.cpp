// SPDX-License-Identifier: MIT
// Bounded, non-blocking reads of small files, for any thread: nothing here
// keeps state.
#include "common/boundedread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int ReadFileTail(const char *path, char *buffer, size_t size, size_t *length, bool *whole) {
  *length = 0;
  *whole = true;
  if (path == nullptr) {
    errno = EINVAL;
    return READ_OPEN_FAIL;
  }
  // O_NONBLOCK: opening a FIFO without a writer, or a device, would wait.
  // O_NOCTTY: a terminal named as a pid file must not become the daemon's.
  UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return READ_OPEN_FAIL;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return READ_FAIL;
  if (!S_ISREG(st.st_mode)) return READ_NOT_REGULAR;

  off_t offset = 0;
  if (st.st_size > 0 && static_cast<unsigned long long>(st.st_size) > size) {
    offset = st.st_size - static_cast<off_t>(size);
    *whole = false;
  }
  // What the size promised is read, and no more: a file that grows
  // meanwhile is read as it was. A size of 0 (files of /proc) promises
  // nothing, and the buffer's size is the limit.
  const size_t wanted = st.st_size > 0 ? static_cast<size_t>(st.st_size - offset) : size;
  while (*length < wanted) {
    ssize_t n = pread(fd.get(), buffer + *length, wanted - *length, offset + static_cast<off_t>(*length));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return READ_FAIL;
    if (n == 0) break;
    *length += static_cast<size_t>(n);
  }
  return READ_OK;
}

int OpenRegularFile(const char *path, UniqueFd *fd, struct stat *st) {
  if (path == nullptr) {
    errno = EINVAL;
    return READ_OPEN_FAIL;
  }
  if (stat(path, st) != 0) return READ_OPEN_FAIL;
  if (!S_ISREG(st->st_mode)) return READ_NOT_REGULAR;
  fd->reset(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd->valid()) return READ_OPEN_FAIL;
  if (fstat(fd->get(), st) != 0) return READ_FAIL;
  return S_ISREG(st->st_mode) ? READ_OK : READ_NOT_REGULAR;
}
