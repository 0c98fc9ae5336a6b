// SPDX-License-Identifier: MIT
// Call-stack dump for diagnostics. Writes to standard output; no log, no
// state, any thread.
#pragma once

// Writes the current call stack (at most 128 frames) to standard output, one
// line per frame.
void DumpBacktrace();
