// The interval check of the watchdog thread, and the cyclic and watchdog
// threads running together against a writer that replaces timers (for the
// thread sanitizer).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/time.h>

#include <chrono>
#include <thread>

#include "supervise/cyclic.h"
#include "supervise/watchdog.h"
#include "supervise_support.h"
#include "support/table_test.h"

using namespace supervise_test;  // NOLINT(build/namespaces)

constexpr time_t kBase = 1700000000;  // seconds * 1000 does not fit 32 bits
constexpr const char *kWarning60001 = "Thread interval is too long [60.001sec]";

struct IntervalRow {
  const char *name;
  timeval previous;
  timeval now;
  int limit;            // seconds
  int elapsed;          // milliseconds
  const char *warning;  // nullptr: none
};

const IntervalRow kIntervalRows[] = {
    {"ExactlyTheLimit", {kBase, 0}, {kBase + 60, 0}, 60, 60000, nullptr},
    {"OneMillisecondPastTheLimit", {kBase, 0}, {kBase + 60, 1000}, 60, 60001, kWarning60001},
    // 4294967 s * 1000 is just below 2^32; one second later the 32-bit
    // millisecond count wraps to a small number.
    {"MillisecondCountWraps", {4294967, 200000}, {4294968, 200000}, 60, 1000, nullptr},
    {"LimitWhoseMillisecondsOverflow", {kBase, 0}, {kBase + 100, 0}, 2000000000, 100000, nullptr},
};

class IntervalTable : public testing::TestWithParam<IntervalRow> {};

TEST_P(IntervalTable, MeasuresAndWarnsPastTheLimit) {
  const IntervalRow &row = GetParam();
  CapturedLog log;
  timeval previous = row.previous;
  EXPECT_EQ(CheckThreadIntervalAt(&previous, row.limit, &row.now), row.elapsed);
  EXPECT_EQ(previous.tv_sec, row.now.tv_sec);
  EXPECT_EQ(log.lines(), (row.warning != nullptr ? LogLines{{LOG_WARNING, row.warning}} : LogLines{}));
}
TABLE_ROWS(IntervalTable, kIntervalRows);

// The check is called through its wrapper, but the warning names the check.
TEST(CheckThreadInterval, WarnsUnderItsOwnNameInDebugMode) {
  CapturedLog log;
  timeval previous{1000, 0};
  const timeval now{1003, 0};
  LogDebug = 1;
  CheckThreadIntervalAt(&previous, 1, &now);
  LogDebug = 0;
  ASSERT_EQ(log.lines().size(), 1u);
  const std::string line = log.lines()[0].second;
  EXPECT_EQ(line.substr(line.rfind(':')), ":CheckThreadInterval@supervise\n") << line;
}

// The threads run for 2.5 seconds while this thread replaces timers under
// the mutex (as a re-read does); no pass can fail. A period of 0 or less is taken as one
// second: a negative one must not sleep past the end (the join would hang),
// the 0 that replaces it half-way must not spin (the last interval shows it).
TEST(SupervisionThreads, RunTogetherAndTakeANonPositivePeriodAsOneSecond) {
  CapturedLog log;
  Table table({{MANAGE, 1000, "", "/bin/a", ""}, {RESPAWN, 500, "", "/bin/b", ""}, {MONITOR, 0, "", "/bin/c", ""}});
  table.db.WdtRefresh.store(-5);
  gDebugInfo.MaxWdtInterval.store(0);
  std::thread cyclic(CyclicThread, &table.arg);
  std::thread watchdog(WdtThread, &table.arg);
  for (int i = 0; i < 50; ++i) {
    if (i == 25) table.db.WdtRefresh.store(0);
    pthread_mutex_lock(&table.arg.Mutex);
    table[1].TmrHlthChk = 500;
    pthread_mutex_unlock(&table.arg.Mutex);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  table.stop.store(1);
  watchdog.join();
  cyclic.join();
  // Two seconds of passes at least, and a pass a second at most.
  EXPECT_LE(table[0].TmrHlthChk, 998);
  EXPECT_GT(table[0].TmrHlthChk, 990);
  EXPECT_GE(gDebugInfo.CurWdtInterval.load(), 1000);
  EXPECT_LT(gDebugInfo.MaxWdtInterval.load(), 2000);
  EXPECT_TRUE(log.lines().empty());  // every interval within twice the effective period
}
