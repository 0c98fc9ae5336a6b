// SPDX-License-Identifier: MIT
// The watchdog thread's stall judgement: whole seconds since the mark that
// counts (the pass's, or the termination's step while one runs), nothing
// once the termination's commands have run or with the check off; and the
// pass, which is judged also while it waits for the table.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

#include "supervise/cyclic.h"
#include "supervise/stall.h"
#include "supervise_support.h"

namespace {

using supervise_test::Table;

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

// A pass that waits for the table (a dump blocked in the log, a re-read)
// has made no progress: the wait counts towards the timeout.
TEST(Stall, PassWaitingForTheTableStalls) {
  Table table({});
  ASSERT_EQ(pthread_mutex_lock(&table.arg.Mutex), 0);
  ResetPassProgress();
  std::thread pass([&table] {
    int index = 0;
    EXPECT_EQ(SuperviseProcess(&table.arg, &index, nullptr), SUPERVISE_OK);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_GE(SupervisionStalled(1), 1);
  ASSERT_EQ(pthread_mutex_unlock(&table.arg.Mutex), 0);
  pass.join();
  EXPECT_EQ(SupervisionStalled(1), 0);
}

// Once the board is going down the pass judges nothing: the sweeps stop the
// processes and the receiver may be busy terminating, so missing health
// checks or dead processes would only start a second termination.
TEST(Stall, PassStopsJudgingOnceATerminationHasBegun) {
  for (bool terminating : {false, true}) {
    SCOPED_TRACE(terminating ? "terminating" : "supervising");
    Table table({{MANAGE, 1, "", "/tmpfs/bin/quiet", ""}});
    table[0].FlgHlthChk.store(1);  // no health check in the window that ends now
    ResetPassProgress();
    if (terminating) {
      ASSERT_TRUE(TerminationBegins());
    }
    static int calls;
    calls = 0;
    int index = 0;
    const int result = SuperviseProcess(&table.arg, &index, [](int, ConfigDb *, const char *) { ++calls; });
    EXPECT_EQ(result, terminating ? SUPERVISE_OK : SUPERVISE_NO_HEALTH_CHECK);
    EXPECT_EQ(calls, terminating ? 0 : 1);
    EXPECT_EQ(index, terminating ? -1 : 0);
  }
  ResetPassProgress();
}

}  // namespace
