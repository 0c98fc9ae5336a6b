// SPDX-License-Identifier: MIT
// Checking a configuration file before it is deployed: the daemon's own
// reader reads it into a database of the check's own, its reports are
// collected instead of logged, and lines that the reader takes in silence
// but that are almost always mistakes are pointed out.
//
// Threads: for single-threaded tools (wardctl). The check runs the reader,
// which counts in process-wide counters, so it must never run inside the
// daemon.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum CheckSeverity : int32_t {
  CHECK_ERROR = 0,    // the daemon reports the line and refuses (or ignores) it
  CHECK_WARNING = 1,  // the daemon takes the line in silence, probably not as meant
};

struct CheckNote {
  // The line of the file, counted by its newlines (the daemon's own count in
  // a text differs after a line too long for it); 0: the file as a whole.
  int32_t Line;
  int32_t Severity;
  // An error's text is the daemon's log text, byte for byte.
  std::string Text;
  // A warning about the file as a whole: the daemon reads it as its own
  // file but refuses a re-read request for it, as it may have been written
  // by others than root.
  bool RefusedOnReread = false;
};

// CheckConfig results.
constexpr int CHECK_OK = 0;           // read and checked; the notes say what was found
constexpr int CHECK_CANNOT_READ = 1;  // the file cannot be opened or read, or is too large; errno says why
constexpr int CHECK_NOT_A_FILE = 2;   // not a regular file (a directory, a device, a pipe)

// The search path the check assumes for the daemon when none is given: the
// one the init script sets when its caller has none.
constexpr const char *CHECK_DEFAULT_SEARCH_PATH = "/sbin:/usr/sbin:/bin:/usr/bin";

struct CheckOptions {
  // The root file system the daemon will run on: pid files, programs and the
  // reboot record are looked up under it (absolute links inside it lead to
  // its own files). Null or empty: this system's "/". The configuration file
  // itself is read from the path as given.
  const char *Root = nullptr;
  // The daemon's PATH, through which a respawn command finds its program;
  // null: CHECK_DEFAULT_SEARCH_PATH.
  const char *SearchPath = nullptr;
};

// Checks the file at path. *notes receives the notes in line order, a line's
// errors before its warnings; it is empty for a clean file and after a
// failure. Reads nothing but the file, its pid files and programs (as the
// daemon's reader would, and the programs' first line), and looks at the
// folders of the search path; runs no command.
[[nodiscard]] int CheckConfig(const char *path, std::vector<CheckNote> *notes,
                              const CheckOptions &options = CheckOptions{});
