// The interval check of the watchdog thread, and the cyclic and watchdog
// threads running together against a receiver-like writer (for the thread
// sanitizer).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "supervise/cyclic.h"
#include "supervise/mainloop.h"
#include "supervise_support.h"

using supervise_test::CapturedLog;
using supervise_test::Table;

namespace {

struct timeval Tv(long long sec, long usec) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(sec);
  tv.tv_usec = static_cast<suseconds_t>(usec);
  return tv;
}

TEST(CheckThreadInterval, MeasuresAndWarnsPastTheLimit) {
  const long long base = 1700000000;  // seconds * 1000 does not fit 32 bits
  struct Case {
    const char *name;
    struct timeval previous, now;
    int limit;
    int elapsed;
    const char *warning;  // nullptr: no warning
  } cases[] = {
      {"exactly the limit", Tv(base, 0), Tv(base + 60, 0), 60, 60000, nullptr},
      {"one millisecond over", Tv(base, 0), Tv(base + 60, 1000), 60, 60001, "Thread interval is too long [60.001sec]"},
      {"61 seconds", Tv(base, 500000), Tv(base + 61, 500000), 60, 61000, "Thread interval is too long [61.000sec]"},
      {"microseconds truncate", Tv(base, 999), Tv(base + 1, 1998), 2, 1001, nullptr},
      {"clock stepped back", Tv(base + 10, 0), Tv(base, 0), 60, -10000, nullptr},
      // 4294967 s * 1000 is just below 2^32; one second later the 32-bit
      // millisecond count wraps to a small number.
      {"32-bit wrap", Tv(4294967, 200000), Tv(4294968, 200000), 60, 1000, nullptr},
      {"wrap with warning", Tv(4294967, 0), Tv(4294967 + 3, 5000), 1, 3005, "Thread interval is too long [3.005sec]"},
      {"huge limit", Tv(base, 0), Tv(base + 100, 0), 2000000000, 100000, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log;
    struct timeval previous = c.previous;
    EXPECT_EQ(CheckThreadIntervalAt(&previous, c.limit, &c.now), c.elapsed);
    EXPECT_EQ(previous.tv_sec, c.now.tv_sec);
    EXPECT_EQ(previous.tv_usec, c.now.tv_usec);
    auto lines = log.lines();
    if (c.warning == nullptr) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].text, c.warning);
      EXPECT_EQ(lines[0].priority, LOG_WARNING);
    }
  }
}

TEST(CheckThreadInterval, UsesTheWallClock) {
  CapturedLog log;
  struct timeval past;
  gettimeofday(&past, nullptr);
  past.tv_sec -= 3;
  int elapsed = CheckThreadInterval(&past, 1);
  EXPECT_GE(elapsed, 3000);
  EXPECT_LT(elapsed, 4000);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].text.rfind("Thread interval is too long [3.", 0), 0u);
}

// The cyclic and watchdog threads run for a few seconds while another thread
// clears health-check flags (as the receiver does) and replaces timers under
// the mutex (as a re-read does). Nothing here can fail a pass: the windows
// are far longer than the test and no entry has a pid file.
TEST(SupervisionThreads, RunTogetherAndStopOnTheFlag) {
  CapturedLog log;
  Table table({{MANAGE, 1000, "", "/bin/a", ""}, {RESPAWN, 500, "", "/bin/b", ""}, {MONITOR, 0, "", "/bin/c", ""}});
  table.db()->WdtRefresh.store(1);
  std::atomic<int> stop{0};
  ThreadArg arg;
  arg.QueId = -1;
  arg.Stop = &stop;
  arg.Config = table.db();
  pthread_mutex_init(&arg.Mutex, nullptr);

  gDebugInfo.MaxWdtInterval.store(0);
  pthread_t cyclic, watchdog;
  ASSERT_EQ(pthread_create(&cyclic, nullptr, CyclicThread, &arg), 0);
  ASSERT_EQ(pthread_create(&watchdog, nullptr, WdtThread, &arg), 0);

  std::thread receiver([&] {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    while (std::chrono::steady_clock::now() < end) {
      table[0].FlgHlthChk.store(0);
      pthread_mutex_lock(&arg.Mutex);
      table[1].TmrHlthChk = 500;
      pthread_mutex_unlock(&arg.Mutex);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  receiver.join();
  stop.store(1);
  ASSERT_EQ(pthread_join(watchdog, nullptr), 0);
  ASSERT_EQ(pthread_join(cyclic, nullptr), 0);
  pthread_mutex_destroy(&arg.Mutex);

  // Two seconds of passes: each window counted down at least twice.
  EXPECT_LE(table[0].TmrHlthChk, 998);
  EXPECT_GT(table[0].TmrHlthChk, 990);
  EXPECT_NE(gDebugInfo.PowerSwTimeSec.load(), 0);
  EXPECT_NE(gDebugInfo.WdtTimeSec.load(), 0);
  EXPECT_GE(gDebugInfo.CurWdtInterval.load(), 1000);
  EXPECT_GE(gDebugInfo.MaxWdtInterval.load(), gDebugInfo.CurWdtInterval.load());
  EXPECT_LT(gDebugInfo.MaxWdtInterval.load(), 2000);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace

namespace {

// A period of 0 or less is taken as one second: no spinning, no sleeping
// past the watchdog's timeout.
TEST(SupervisionThreads, WatchdogTreatsNonPositivePeriodAsOneSecond) {
  for (int refresh : {0, -5}) {
    SCOPED_TRACE(refresh);
    CapturedLog log;
    Table table({});
    table.db()->WdtRefresh.store(refresh);
    std::atomic<int> stop{0};
    ThreadArg arg;
    arg.QueId = -1;
    arg.Stop = &stop;
    arg.Config = table.db();
    pthread_mutex_init(&arg.Mutex, nullptr);
    gDebugInfo.CurWdtInterval.store(0);
    pthread_t watchdog;
    ASSERT_EQ(pthread_create(&watchdog, nullptr, WdtThread, &arg), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop.store(1);
    ASSERT_EQ(pthread_join(watchdog, nullptr), 0);
    pthread_mutex_destroy(&arg.Mutex);
    EXPECT_GE(gDebugInfo.CurWdtInterval.load(), 1000);
    EXPECT_LT(gDebugInfo.CurWdtInterval.load(), 1500);
    EXPECT_TRUE(log.lines().empty());  // within twice the effective period
  }
}

}  // namespace
