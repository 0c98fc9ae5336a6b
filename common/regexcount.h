// SPDX-License-Identifier: MIT
// Count of successive regular-expression matches. No log, no state; any
// thread.
#pragma once

// The number of successive matches of pattern in text (flags: REG_EXTENDED,
// REG_ICASE, REG_NEWLINE). Every new search start counts as the beginning of
// a line. 1 when the pattern does not compile.
[[nodiscard]] int RegexCount(const char *text, const char *pattern, int flags);
