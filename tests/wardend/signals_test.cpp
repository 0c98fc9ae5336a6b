// SignalsAndDumps and dumps: exact dump lines, the re-read send (bounded path, full
// queue, never blocking), and real signals going through the self-pipe to
// the worker in arrival order.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ctrlmsg.h"
#include "common/log.h"
#include "wardend/signals.h"
#include "wardend/wardend.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct Line {
  int priority;
  std::string text;
};
std::mutex gMutex;
std::vector<Line> gLines;

void Capture(int priority, const char *line) {
  std::lock_guard<std::mutex> lock(gMutex);
  gLines.push_back({priority, line});
}

std::vector<Line> Lines() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gLines;
}

// Waits until at least count lines were logged (the worker runs on its own).
std::vector<Line> WaitForLines(size_t count) {
  auto deadline = std::chrono::steady_clock::now() + seconds(10);
  while (Lines().size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(2));
  }
  return Lines();
}

std::string Pad33(const std::string &value) { return value + std::string(33 - value.size(), ' '); }

class SignalsAndDumps : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gMutex);
      gLines.clear();
    }
    LogHook = Capture;
    db_.AliveWatch = 15;
    db_.PowerWatch = 1;
    db_.WdtRefresh.store(30);
    db_.TermTimeout = 5;
    arg_.QueId = -1;
    arg_.Stop = &StopFlag;
    arg_.Config = &db_;
    pthread_mutex_init(&arg_.Mutex, nullptr);
    savedConfigPath_ = ConfigPath;
    savedQueId_ = MsgQueId;
    queue_ = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    ASSERT_GE(queue_, 0);
    MsgQueId = queue_;
  }
  void TearDown() override {
    SignalWorkerStop();
    LogHook = nullptr;
    ConfigPath = savedConfigPath_;
    MsgQueId = savedQueId_;
    if (queue_ >= 0) msgctl(queue_, IPC_RMID, nullptr);
    pthread_mutex_destroy(&arg_.Mutex);
    delete[] db_.Process;
  }

  void Table(int count) {
    db_.Process = new ProcEntry[count]();
    db_.NumProcess = count;
    for (int i = 0; i < count; i++) {
      ProcEntry &e = db_.Process[i];
      e.StartUp = i % 3;
      e.HealthCheck = 10 * i;
      snprintf(e.PidPath, sizeof e.PidPath, "/run/p%d.pid", i);
      snprintf(e.ExecPath, sizeof e.ExecPath, "/usr/bin/p%d", i);
      e.procName = e.ExecPath + 9;
      snprintf(e.Option, sizeof e.Option, "%s", i == 1 ? "-q -v" : "");
      e.TmrHlthChk = 7;
      e.FlgHlthChk.store(i == 2 ? 1 : 0);
      e.TmrAlive = -3;
      e.CntAlive = 1;
    }
  }

  // Messages now in the private queue, oldest first.
  std::vector<CtrlMsg> Drain() {
    std::vector<CtrlMsg> messages;
    CtrlMsg msg;
    memset(&msg, 0, sizeof msg);
    while (msgrcv(queue_, &msg, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT) >= 0) {
      messages.push_back(msg);
      memset(&msg, 0, sizeof msg);
    }
    return messages;
  }

  ConfigDb db_{};
  ThreadArg arg_;
  int queue_ = -1;
  const char *savedConfigPath_ = nullptr;
  int savedQueId_ = -1;
};

TEST_F(SignalsAndDumps, ConfigDumpOfEmptyTableIsEightLines) {
  snprintf(db_.MyPidPath, sizeof db_.MyPidPath, "/var/run/wardend.pid");
  DumpConfigDb(&arg_);
  const std::vector<std::string> expected = {
      std::string(15, '=') + " Configuration database dump " + std::string(17, '='),
      "  AliveWatch              = " + Pad33("15"),
      "  PowerWatch              = " + Pad33("1"),
      "  WdtRefresh              = " + Pad33("30"),
      "  TermTimeout             = " + Pad33("5"),
      "  MyPidPath               = " + Pad33("/var/run/wardend.pid"),
      "  NumProcess              = " + Pad33("0"),
      std::string(14, '=') + " End of Configuration database " + std::string(16, '='),
  };
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); i++) {
    EXPECT_EQ(lines[i].text, expected[i]);
    EXPECT_EQ(lines[i].priority, LOG_DEBUG);
  }
}

TEST_F(SignalsAndDumps, ConfigDumpOfThreeProcessesIsFortyOneLines) {
  Table(3);
  DumpConfigDb(&arg_);
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 41u);
  EXPECT_EQ(lines[6].text, "  NumProcess              = " + Pad33("3"));
  const std::vector<std::string> second = {
      "  " + std::string(59, '-'),
      "  Process[ 1].StartUp     = " + Pad33("1"),
      "  Process[ 1].HealthCheck = " + Pad33("10"),
      "  Process[ 1].PidPath     = " + Pad33("/run/p1.pid"),
      "  Process[ 1].ExecPath    = " + Pad33("/usr/bin/p1"),
      "  Process[ 1].procName    = " + Pad33("p1"),
      "  Process[ 1].Option      = " + Pad33("-q -v"),
      "  Process[ 1].TmrHlthChk  = " + Pad33("7"),
      "  Process[ 1].FlgHlthChk  = " + Pad33("0"),
      "  Process[ 1].TmrAlive    = " + Pad33("-3"),
      "  Process[ 1].CntAlive    = " + Pad33("1"),
  };
  for (size_t i = 0; i < second.size(); i++) EXPECT_EQ(lines[7 + 11 + i].text, second[i]);
  EXPECT_EQ(lines[7 + 22 + 8].text, "  Process[ 2].FlgHlthChk  = " + Pad33("1"));
  EXPECT_EQ(lines[7].text, second[0]);
  EXPECT_EQ(lines[40].text, std::string(14, '=') + " End of Configuration database " + std::string(16, '='));
}

TEST_F(SignalsAndDumps, ConfigDumpWaitsForTheTableLock) {
  ASSERT_EQ(pthread_mutex_lock(&arg_.Mutex), 0);
  auto dump = std::async(std::launch::async, [this] { DumpConfigDb(&arg_); });
  EXPECT_EQ(dump.wait_for(milliseconds(100)), std::future_status::timeout);
  EXPECT_TRUE(Lines().empty());
  pthread_mutex_unlock(&arg_.Mutex);
  ASSERT_EQ(dump.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(Lines().size(), 8u);
}

TEST_F(SignalsAndDumps, DebugDumpShowsTimesAndIntervals) {
  struct Case {
    int interval;
    const char *shown;
  };
  const Case cases[] = {{0, "0.000"}, {30001, "30.001"}, {45, "0.045"}, {61000, "61.000"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.shown);
    {
      std::lock_guard<std::mutex> lock(gMutex);
      gLines.clear();
    }
    gDebugInfo.WdtTimeSec.store(1700000000);
    gDebugInfo.WdtTimeUsec.store(42);
    gDebugInfo.CurWdtInterval.store(c.interval);
    gDebugInfo.MaxWdtInterval.store(61000);
    gDebugInfo.PowerSwTimeSec.store(1699999999);
    gDebugInfo.PowerSwTimeUsec.store(999999);
    DumpDebugInfo();
    const std::vector<std::string> expected = {
        std::string(15, '=') + " Debug Information dump " + std::string(17, '='),
        "  WDT time value          = 1700000000.000042 sec",
        std::string("  Cur WDT interval        = ") + c.shown + " sec",
        "  Max WDT interval        = 61.000 sec",
        "  PowerSW time value      = 1699999999.999999 sec",
        "  Cur PowerSW interval    = 0.000 sec",
        "  Max PowerSW interval    = 0.000 sec",
        std::string(14, '=') + " End of Debug Information " + std::string(16, '='),
    };
    std::vector<Line> lines = Lines();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); i++) {
      EXPECT_EQ(lines[i].text, expected[i]);
      EXPECT_EQ(lines[i].priority, LOG_DEBUG);
    }
  }
  gDebugInfo.CurWdtInterval.store(0);
  gDebugInfo.MaxWdtInterval.store(0);
}

TEST_F(SignalsAndDumps, RereadRequestCarriesConfigPathUpTo104Bytes) {
  struct Case {
    std::string path;
    bool sent;
  };
  const Case cases[] = {
      {"/tmpfs/config/wardend.conf", true},
      {"/" + std::string(103, 'a'), true},   // fills the payload, no terminator
      {"/" + std::string(104, 'b'), false},  // would have to be cut: refused
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path.size());
    {
      std::lock_guard<std::mutex> lock(gMutex);
      gLines.clear();
    }
    ConfigPath = c.path.c_str();
    SendRereadRequest();
    std::vector<Line> lines = Lines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Got SIGHUP, re-reading configuration");
    EXPECT_EQ(lines[0].priority, LOG_INFO);
    std::vector<CtrlMsg> sent = Drain();
    if (c.sent) {
      EXPECT_EQ(lines.size(), 1u);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].type, MSGID_REREAD_CONFIG);
      EXPECT_EQ(std::string(sent[0].payload, strnlen(sent[0].payload, CTRLMSG_PAYLOAD_SIZE)), c.path);
      for (size_t i = c.path.size(); i < CTRLMSG_PAYLOAD_SIZE; i++) ASSERT_EQ(sent[0].payload[i], 0);
    } else {
      EXPECT_TRUE(sent.empty());
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[1].text, "MSG que send fail! : File name too long");
      EXPECT_EQ(lines[1].priority, LOG_ERR);
    }
  }
}

TEST_F(SignalsAndDumps, RereadRequestWithoutPathOrQueue) {
  ConfigPath = nullptr;
  SendRereadRequest();
  EXPECT_TRUE(Lines().empty());

  ConfigPath = "/etc/wardend.conf";
  msgctl(queue_, IPC_RMID, nullptr);
  queue_ = -1;
  SendRereadRequest();
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].text, "MSG que send fail! : Invalid argument");
}

TEST_F(SignalsAndDumps, SignalsReachTheWorkerInArrivalOrder) {
  InstallSignalHandlers();
  ConfigPath = "/etc/wardend.conf";
  // Recorded before the worker runs: handled once it starts.
  ASSERT_EQ(raise(SIGUSR2), 0);
  ASSERT_EQ(SignalWorkerStart(&arg_), 0);
  ASSERT_EQ(raise(SIGHUP), 0);
  ASSERT_EQ(raise(SIGUSR1), 0);
  std::vector<Line> lines = WaitForLines(8 + 1 + 8);
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[0].text, std::string(15, '=') + " Debug Information dump " + std::string(17, '='));
  EXPECT_EQ(lines[8].text, "Got SIGHUP, re-reading configuration");
  EXPECT_EQ(lines[9].text, std::string(15, '=') + " Configuration database dump " + std::string(17, '='));
  std::vector<CtrlMsg> sent = Drain();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_STREQ(sent[0].payload, "/etc/wardend.conf");
}

TEST_F(SignalsAndDumps, SigtermOnlyRaisesTheStopFlag) {
  InstallSignalHandlers();
  ASSERT_EQ(SignalWorkerStart(&arg_), 0);
  StopFlag.store(0);
  ASSERT_EQ(raise(SIGTERM), 0);
  EXPECT_EQ(StopFlag.load(), 1);
  StopFlag.store(0);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_TRUE(Lines().empty());
}

TEST_F(SignalsAndDumps, FullQueueDelaysTheSendButNeverBlocksShutdown) {
  InstallSignalHandlers();
  ConfigPath = "/etc/wardend.conf";
  CtrlMsg filler;
  memset(&filler, 0, sizeof filler);
  filler.type = MSGID_HEALTH_CHECK;
  int queued = 0;
  while (msgsnd(queue_, &filler, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) queued++;
  ASSERT_EQ(errno, EAGAIN);
  ASSERT_EQ(SignalWorkerStart(&arg_), 0);

  // Room made while the worker waits: the request goes in behind the rest.
  ASSERT_EQ(raise(SIGHUP), 0);
  WaitForLines(1);
  std::this_thread::sleep_for(milliseconds(50));
  CtrlMsg taken;
  ASSERT_GE(msgrcv(queue_, &taken, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT), 0);
  auto deadline = std::chrono::steady_clock::now() + seconds(10);
  struct msqid_ds info;
  do {
    std::this_thread::sleep_for(milliseconds(5));
    ASSERT_EQ(msgctl(queue_, IPC_STAT, &info), 0);
  } while (static_cast<int>(info.msg_qnum) < queued && std::chrono::steady_clock::now() < deadline);
  std::vector<CtrlMsg> all = Drain();
  ASSERT_EQ(static_cast<int>(all.size()), queued);
  EXPECT_EQ(all.back().type, MSGID_REREAD_CONFIG);

  // Still full at shutdown: the worker gives up and says so.
  while (msgsnd(queue_, &filler, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) {
  }
  ASSERT_EQ(raise(SIGHUP), 0);
  WaitForLines(2);
  auto start = std::chrono::steady_clock::now();
  SignalWorkerStop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(5));
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].text, "MSG que send fail! : Resource temporarily unavailable");
}

}  // namespace
