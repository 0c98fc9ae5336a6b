// SPDX-License-Identifier: MIT
// Thread-safe text of an error number, for reports made from any thread.
// Works with both C libraries' strerror_r (GNU and XSI shapes), so the
// daemon also builds against a C library without the GNU variant.
#pragma once

#include <cstddef>
#include <cstring>

namespace errtext_detail {
// strerror_r comes in two shapes: the XSI one returns 0 and fills the buffer,
// the GNU one returns a pointer that may or may not be the buffer.
inline const char *Pick(int result, const char *buffer) { return result == 0 ? buffer : "Unknown error"; }
inline const char *Pick(const char *result, const char *) { return result; }
}  // namespace errtext_detail

// Fills buffer (size bytes) and returns the text to print.
inline const char *ErrText(int err, char *buffer, size_t size) {
  buffer[0] = '\0';
  return errtext_detail::Pick(strerror_r(err, buffer, size), buffer);
}
