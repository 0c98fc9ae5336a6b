// SPDX-License-Identifier: MIT
// The watchdog thread's stall judgement: whole seconds since the mark that
// counts (the pass's, or the termination's step while one runs), nothing
// once the termination's commands have run or with the check off. A pass
// waiting for the table: cyclic_test; one during a termination: the board.
#include "supervise/stall.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace {

TEST(Stall, JudgedOnTheMarkThatCounts) {
  constexpr int64_t kNow = 5'000'000;
  constexpr int64_t kLongAgo = kNow - 60'000;
  const struct {
    int64_t passMs;
    int32_t phase;
    int64_t termMs;
    int32_t timeout;
    int stalled;
  } rows[] = {
      {kNow - 2'999, TERM_PHASE_NONE, 0, 3, 0},  // not yet
      {kNow - 3'000, TERM_PHASE_NONE, 0, 3, 3},  // exactly the timeout
      {kNow - 7'999, TERM_PHASE_NONE, 0, 3, 7},  // whole seconds, cut
      // A termination's step is judged on its own mark: a pass held by the
      // termination is not stalled, a step that hangs is, whatever the pass.
      {kLongAgo, TERM_PHASE_STEPS, kNow - 1'000, 3, 0},
      {kNow, TERM_PHASE_STEPS, kNow - 4'000, 3, 4},
      // Once the commands have run the device is closed: nothing to judge.
      {kLongAgo, TERM_PHASE_FINAL_WAIT, kLongAgo, 3, 0},
      {kLongAgo, TERM_PHASE_ENDED, kLongAgo, 3, 0},
      {kLongAgo, TERM_PHASE_NONE, 0, 0, 0},  // off
      {kLongAgo, TERM_PHASE_STEPS, kLongAgo, -5, 0},
      {kNow + 1'000, TERM_PHASE_NONE, 0, 1, 0},  // a mark from the future is no stall
      {kNow - int64_t{INT_MAX} * 1000 - 5'000, TERM_PHASE_NONE, 0, 1, INT_MAX},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "pass " << kNow - row.passMs << " ms ago, phase " << row.phase << ", step "
                                    << kNow - row.termMs << " ms ago, timeout " << row.timeout);
    const ProgressMarks marks{row.passMs, row.phase, row.termMs};
    EXPECT_EQ(StalledSeconds(marks, row.timeout, kNow), row.stalled);
  }
}

}  // namespace
