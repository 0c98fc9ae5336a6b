// SPDX-License-Identifier: MIT
// The interval check of the watchdog thread and the report that logs for it,
// and the threads' period, also under a step of the wall clock.
#include <sys/time.h>

#include <ctime>
#include <functional>

#include "supervise/watchdog.h"
#include "supervise_support.h"

using namespace supervise_test;  // NOLINT(build/namespaces)

namespace {

void WaitUntil(const std::function<bool()> &done, const char *what) {
  for (int i = 0; i < 1500 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(done()) << "timed out waiting for " << what;
}

// The wall clock of this test program, stepped by gWallStep seconds: this
// definition takes the C library's place.
std::atomic<long long> gWallStep{0};

}  // namespace

extern "C" int gettimeofday(struct timeval *tv, void *tz) noexcept {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tv->tv_sec = static_cast<time_t>(now.tv_sec + gWallStep.load());
  tv->tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000);
  if (tz != nullptr) memset(tz, 0, sizeof(struct timezone));
  return 0;
}

namespace {

std::vector<int> LateFigures(const LogLines &lines) {
  std::vector<int> figures;
  for (const auto &[priority, text] : lines) {
    int seconds = 0;
    if (sscanf(text.c_str(), "Thread interval is too long [%d.", &seconds) == 1) figures.push_back(seconds);
  }
  return figures;
}

// The check itself never logs (the log may block the watchdog thread); the
// report that another thread runs does. Beyond the int the figures are kept
// in, the largest one is reported.
TEST(CheckThreadInterval, MeasuresAndReportsPastTheLimit) {
  const struct {
    int64_t previous, now;  // monotonic milliseconds
    int limit;              // seconds
    int elapsed;            // milliseconds
    const char *warning;    // nullptr: none
  } rows[] = {
      {1000, 61000, 60, 60000, nullptr},
      {1000, 61001, 60, 60001, "Thread interval is too long [60.001sec]"},
      {5000, 105000, 2000000000, 100000, nullptr},  // a limit whose milliseconds overflow
      {1, 3000000001LL, 60, INT_MAX, "Thread interval is too long [2147483.647sec]"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.now);
    WdtReport();
    CapturedLog log;
    const int late = gDebugInfo.CntWdtLate.load();
    int64_t previous = row.previous;
    EXPECT_EQ(CheckThreadIntervalAt(&previous, row.limit, row.now), row.elapsed);
    EXPECT_EQ(previous, row.now);
    EXPECT_TRUE(log.lines().empty());
    WdtReport();
    EXPECT_EQ(log.lines(), (row.warning != nullptr ? LogLines{{LOG_WARNING, row.warning}} : LogLines{}));
    EXPECT_EQ(gDebugInfo.CntWdtLate.load(), late + (row.warning != nullptr ? 1 : 0));
  }
}

// Late intervals wait for the report in order, logged on another thread but
// under the check's name in debug mode; when more come than the queue holds,
// the latest are logged and all of them counted.
TEST(WdtReport, LogsQueuedLateIntervalsInOrderAndTheLatestWhenTooMany) {
  WdtReport();
  CapturedLog log;
  const int late = gDebugInfo.CntWdtLate.load();
  int64_t time = 0;
  for (int seconds : {3, 5, 4}) CheckThreadIntervalAt(&time, 2, time + seconds * 1000);
  LogDebug = 1;
  WdtReport();
  LogDebug = 0;
  EXPECT_EQ(LateFigures(log.lines()), (std::vector<int>{3, 5, 4}));
  for (const auto &[priority, line] : log.lines()) {
    EXPECT_EQ(line.substr(line.rfind(':')), ":CheckThreadInterval@supervise\n") << line;
  }
  std::vector<int> expected;
  for (int i = 0; i < WDT_LATE_QUEUE + 4; i++) {
    CheckThreadIntervalAt(&time, 2, time + (10 + i) * 1000);
    if (i >= 4) expected.push_back(10 + i);
  }
  WdtReport();
  WdtReport();  // nothing more
  const LogLines lines = log.lines();
  EXPECT_EQ(LateFigures(LogLines(lines.begin() + 3, lines.end())), expected);
  EXPECT_EQ(gDebugInfo.CntWdtLate.load(), late + 3 + WDT_LATE_QUEUE + 4);
}

// The cyclic and watchdog threads run together while this thread replaces
// timers under the mutex, as a re-read does (for ThreadSanitizer). A period
// of 0 or less is taken as one second: a negative one must not sleep past
// the end (the join would hang), the 0 that replaces it half-way must not
// spin. A board that sets its clock from the network steps the wall clock by
// days: the step is neither a long interval nor a warning, while the dump's
// refresh time follows the wall clock.
TEST(SupervisionThreads, TakeANonPositivePeriodAsOneSecondAndNoStepOfTheWallClockForAnInterval) {
  constexpr long long kStep = 10 * 86400;  // fits the old 32-bit millisecond arithmetic
  WdtReport();
  CapturedLog log;
  Table table({{MANAGE, 1000, "", "/bin/a", ""}, {RESPAWN, 500, "", "/bin/b", ""}, {MONITOR, 0, "", "/bin/c", ""}});
  table.db.WdtRefresh.store(-5);
  gDebugInfo.MaxWdtInterval.store(0);
  gDebugInfo.WdtTimeSec.store(0);
  std::thread cyclic(CyclicThread, &table.arg);
  std::thread watchdog(WdtThread, &table.arg);
  WaitUntil([] { return gDebugInfo.WdtTimeSec.load() != 0; }, "the watchdog thread's start");
  const long long stepped = gDebugInfo.WdtTimeSec.load() + kStep;
  gWallStep.store(kStep);
  for (int i = 0; i < 50; ++i) {
    if (i == 25) table.db.WdtRefresh.store(0);
    pthread_mutex_lock(&table.arg.Mutex);
    table[1].TmrHlthChk = 500;
    pthread_mutex_unlock(&table.arg.Mutex);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  WaitUntil([stepped] { return gDebugInfo.WdtTimeSec.load() >= stepped; }, "a refresh after the step");
  table.stop.store(1);
  watchdog.join();
  cyclic.join();
  gWallStep.store(0);
  WdtReport();
  EXPECT_LE(table[0].TmrHlthChk, 998);  // two passes at least
  EXPECT_GT(table[0].TmrHlthChk, 990);  // a pass that spun would count down by hundreds
  EXPECT_GE(gDebugInfo.CurWdtInterval.load(), 1000);
  EXPECT_TRUE(gDebugInfo.MaxWdtInterval.load() >= 1000 && gDebugInfo.MaxWdtInterval.load() < kStep * 1000 / 2);
  for (const auto &[priority, text] : log.lines()) {
    EXPECT_EQ(text.rfind("Thread interval is too long [", 0), 0u) << text;  // no pass failed
  }
}

}  // namespace
