// SPDX-License-Identifier: MIT
// The work signals start outside signal context (signals to a daemon: the board tests).
#include <sys/msg.h>
#include <sys/resource.h>

#include <csignal>
#include <future>

#include "common/ctrlmsg.h"
#include "supervise/supervise_support.h"
#include "wardend/signals.h"
#include "wardend/wardend.h"

namespace {

using namespace std::chrono;
using Lines = supervise_test::LogLines;
const Lines::value_type kHup = {LOG_INFO, "Got SIGHUP, re-reading configuration"};

struct Signals : ::testing::Test {
  void SetUp() override {
    arg_.Config = &db_;
    arg_.Stop = &StopFlag;
    pthread_mutex_init(&arg_.Mutex, nullptr);
    ASSERT_GE(arg_.QueId = msgget(IPC_PRIVATE, IPC_CREAT | 0600), 0);
  }
  void TearDown() override {
    SignalWorkerStop();
    ConfigPath = savedPath_;
    msgctl(arg_.QueId, IPC_RMID, nullptr);
    pthread_mutex_destroy(&arg_.Mutex);
  }
  Lines Logged(size_t atLeast = 0) {  // waits up to 10 s for that many lines
    for (auto end = steady_clock::now() + seconds(10);; std::this_thread::sleep_for(milliseconds(2)))
      if (Lines lines = log_.lines(); lines.size() >= atLeast || steady_clock::now() > end) return lines;
  }
  supervise_test::CapturedLog log_;  // the signal worker logs from its own thread
  ProcEntry table_[3]{};
  ConfigDb db_{};
  ThreadArg arg_{};
  const char *savedPath_ = ConfigPath;
};

TEST_F(Signals, ConfigDumpWaitsForTheTableLockThatAReReadHolds) {
  db_.NumProcess = 3;
  db_.Process = table_;
  ASSERT_EQ(pthread_mutex_lock(&arg_.Mutex), 0);
  auto dump = std::async(std::launch::async, [this] { DumpConfigDb(&arg_); });
  EXPECT_EQ(dump.wait_for(milliseconds(100)), std::future_status::timeout);
  EXPECT_TRUE(Logged().empty());
  pthread_mutex_unlock(&arg_.Mutex);
  ASSERT_EQ(dump.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(Logged().size(), 41u);
}

// 104 bytes fill the payload unterminated; a longer path is not sent cut.
TEST_F(Signals, RereadRequestCarriesConfigPathUpTo104Bytes) {
  const std::string fits = "/" + std::string(103, 'a'), tooLong = fits + "b";
  ConfigPath = fits.c_str();
  SendRereadRequest(arg_.QueId);
  CtrlMsg sent{};
  ASSERT_GE(msgrcv(arg_.QueId, &sent, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT), 0);
  EXPECT_EQ(std::make_pair(sent.type, std::string(sent.payload, 104)), std::make_pair(long{MSGID_REREAD_CONFIG}, fits));
  ConfigPath = tooLong.c_str();
  SendRereadRequest(arg_.QueId);
  EXPECT_LT(msgrcv(arg_.QueId, &sent, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT), 0);
  EXPECT_EQ(Logged(), (Lines{kHup, kHup, {LOG_ERR, "MSG que send fail! : File name too long"}}));
}

// A full queue holds up neither the daemon nor its shutdown.
TEST_F(Signals, FullQueueNeverBlocksShutdown) {
  InstallSignalHandlers();
  const CtrlMsg filler{MSGID_HEALTH_CHECK, {}, {}};
  while (msgsnd(arg_.QueId, &filler, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) {
  }
  ASSERT_EQ(SignalWorkerStart(&arg_), 0);
  ASSERT_EQ(raise(SIGHUP), 0);
  ASSERT_EQ(Logged(1), Lines{kHup});
  std::this_thread::sleep_for(milliseconds(50));
  auto stop = std::async(std::launch::async, SignalWorkerStop);
  if (stop.wait_for(seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "stopping the signal worker still waits after 10 s: its send blocks on the full queue";
    msgctl(arg_.QueId, IPC_RMID, nullptr);  // ends a send that blocks, so the test can end
    stop.wait();
  }
  EXPECT_EQ(Logged(), (Lines{kHup, {LOG_ERR, "MSG que send fail! : Resource temporarily unavailable"}}));
}

// A poll failure (more descriptors than RLIMIT_NOFILE) is reported once and
// retried after a pause, not in a loop.
TEST_F(Signals, PollFailureIsReportedOnceThenRetriedAfterAPause) {
  InstallSignalHandlers();
  ASSERT_EQ(SignalWorkerStart(&arg_), 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit one{1, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one), 0);
  ASSERT_EQ(raise(SIGUSR2), 0);                     // a worker waiting in poll wakes, and its next poll fails
  std::this_thread::sleep_for(milliseconds(1500));  // a failure and a retry that fails as well
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_EQ(raise(SIGUSR2), 0);
  // Both dumps (8 lines each) once poll works again, and one report.
  const Lines lines = Logged(17);
  EXPECT_EQ(lines.size(), 17u);
  const Lines::value_type failure = {LOG_ERR, "Signal thread poll fail! : Invalid argument"};
  EXPECT_EQ(std::count(lines.begin(), lines.end(), failure), 1);
}

}  // namespace
