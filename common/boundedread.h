// SPDX-License-Identifier: MIT
// Reading a small file that someone else controls (a pid file, a file of
// /proc) without letting it block, flood or outlast the reader. No state;
// safe in any thread.
#pragma once

#include <cstddef>

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
