// SPDX-License-Identifier: MIT
// Reading a small file that someone else controls (a pid file, a file of
// /proc) without letting it block, flood or outlast the reader. No state;
// safe in any thread.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "common/fd.h"

// ReadFileTail results.
constexpr int READ_OK = 0;
constexpr int READ_OPEN_FAIL = 1;    // errno says why
constexpr int READ_NOT_REGULAR = 2;  // a directory, a device, a pipe or a socket
constexpr int READ_FAIL = 3;         // errno says why

// Opens path without blocking (a FIFO or a device cannot stall the caller)
// and reads at most size bytes from its end: the whole file when it is no
// larger, else its last size bytes. Files of /proc report the size 0 and are
// read from their start. *length receives the bytes read; *whole whether
// they start at the beginning of the file.
[[nodiscard]] int ReadFileTail(const char *path, char *buffer, size_t size, size_t *length, bool *whole);

// Opens path for reading only when it is a regular file. The name is looked
// at with stat before the open (opening a FIFO without a writer blocks, and
// opening a device may act on it), opened non-blocking and never as a
// controlling terminal, and the descriptor looked at again in case the name
// was swapped in between. READ_OK with *fd open and *st its fstat;
// READ_NOT_REGULAR with st_mode in *st; READ_OPEN_FAIL or READ_FAIL with
// errno.
[[nodiscard]] int OpenRegularFile(const char *path, UniqueFd *fd, struct stat *st);
