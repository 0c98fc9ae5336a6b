// The watchdog thread's stall judgement: whole seconds since the last mark,
// and nothing while the pass waits for the table, once a termination has
// begun, or with the check off.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

#include "supervise/stall.h"

namespace {

TEST(Stall, JudgedOnlyOnThePassOwnTime) {
  constexpr int64_t kMark = 5'000'000;
  const struct {
    int64_t elapsedMs;
    bool waiting, terminating;
    int32_t timeout;
    int stalled;
  } rows[] = {
      {2'999, false, false, 3, 0},   // not yet
      {3'000, false, false, 3, 3},   // exactly the timeout
      {7'999, false, false, 3, 7},   // whole seconds, cut
      {60'000, true, false, 3, 0},   // waiting behind a re-read
      {60'000, false, true, 3, 0},   // a termination refreshes by itself
      {60'000, false, false, 0, 0},  // off
      {60'000, false, false, -5, 0},
      {-1'000, false, false, 1, 0},  // a mark from the future is no stall
      {int64_t{INT_MAX} * 1000 + 5'000, false, false, 1, INT_MAX},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.elapsedMs << " ms, timeout " << row.timeout);
    EXPECT_EQ(StalledSeconds(kMark, row.waiting, row.terminating, row.timeout, kMark + row.elapsedMs), row.stalled);
  }
}

// The marks themselves: a mark older than the timeout is a stall, a wait
// for the table hides its age, and the end of the wait is a fresh mark.
// (The sleep only makes the mark old enough; nothing here depends on how
// long anything takes.)
TEST(Stall, MarksOfTheCyclicThread) {
  ResetPassProgress();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_GE(SupervisionStalled(1), 1);
  PassWaitsForTable();
  EXPECT_EQ(SupervisionStalled(1), 0);
  PassProgress();
  EXPECT_EQ(SupervisionStalled(1), 0);
}

}  // namespace
