// SPDX-License-Identifier: MIT
// Count of successive regular-expression matches. No state; any thread.
#include "common/regexcount.h"

#include <regex.h>

namespace {

// Frees the compiled pattern on every way out.
class CompiledPattern {
 public:
  CompiledPattern() = default;
  CompiledPattern(const CompiledPattern &) = delete;
  CompiledPattern &operator=(const CompiledPattern &) = delete;
  ~CompiledPattern() {
    if (compiled_) regfree(&regex_);
  }
  bool Compile(const char *pattern, int flags) {
    compiled_ = regcomp(&regex_, pattern, flags) == 0;
    return compiled_;
  }
  regex_t *get() { return &regex_; }

 private:
  regex_t regex_{};
  bool compiled_ = false;
};

}  // namespace

int RegexCount(const char *text, const char *pattern, int flags) {
  if (pattern == nullptr) return 1;
  // The count needs the end of every match, which REG_NOSUB would withhold.
  CompiledPattern regex;
  if (!regex.Compile(pattern, flags & ~REG_NOSUB)) return 1;
  if (text == nullptr) return 0;

  int count = 0;
  const char *start = text;
  for (;;) {
    regmatch_t match[1];
    // Any error other than "no match" ends the count as well: retrying the
    // same search could only fail the same way.
    if (regexec(regex.get(), start, 1, match, 0) != 0) break;
    count++;
    if (match[0].rm_eo > match[0].rm_so) {
      start += match[0].rm_eo;
      continue;
    }
    // A search resumed at the end of an empty match finds the same match
    // again (forever, when it lies at the search start): resume one
    // character past it, and stop once the text is used up.
    if (start[match[0].rm_eo] == '\0') break;
    start += match[0].rm_eo + 1;
  }
  return count;
}
