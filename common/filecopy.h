// SPDX-License-Identifier: MIT
// File copy that creates the destination's directory. No log, no state;
// any thread.
#pragma once

// Copies source to destination, creating the destination's directory with
// "mkdir -p" when it is missing. 0: copied; 1: failure, with one line on
// standard output saying which side failed.
[[nodiscard]] int FileCopy(const char *source, const char *destination);
