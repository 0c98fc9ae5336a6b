// The work that signals start outside signal context: the configuration dump
// never reading a table a re-read holds, and the re-read request (bounded path,
// a full queue that never blocks shutdown). Signals to the running daemon and
// the exact dump lines are tested on the board.
#include <gtest/gtest.h>
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

using namespace std::chrono;
using Lines = std::vector<std::pair<int, std::string>>;
std::mutex gMutex;  // the signal worker logs from its own thread
Lines gLines;

Lines Logged(size_t atLeast = 0) {  // waits up to 10 s for that many lines
  for (auto end = steady_clock::now() + seconds(10);; std::this_thread::sleep_for(milliseconds(2))) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gLines.size() >= atLeast || steady_clock::now() > end) return gLines;
  }
}

class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    LogHook = [](int priority, const char *line) {
      std::lock_guard<std::mutex> lock(gMutex);
      gLines.emplace_back(priority, line);
    };
    gLines.clear(), arg_.Config = &db_, arg_.Stop = &StopFlag;
    pthread_mutex_init(&arg_.Mutex, nullptr);
    ASSERT_GE(MsgQueId = msgget(IPC_PRIVATE, IPC_CREAT | 0600), 0);
  }
  void TearDown() override {
    SignalWorkerStop();
    LogHook = nullptr, ConfigPath = savedPath_;
    msgctl(MsgQueId, IPC_RMID, nullptr);
    pthread_mutex_destroy(&arg_.Mutex);
    delete[] db_.Process;
  }
  ConfigDb db_{};
  ThreadArg arg_{};
  const char *savedPath_ = ConfigPath;
};

// The dump's lines are checked on the board; here, that it never reads a table
// a re-read is replacing.
TEST_F(Signals, ConfigDumpWaitsForTheTableLock) {
  db_.NumProcess = 3, db_.Process = new ProcEntry[3]();
  ASSERT_EQ(pthread_mutex_lock(&arg_.Mutex), 0);  // as a re-read holds it
  auto dump = std::async(std::launch::async, [this] { DumpConfigDb(&arg_); });
  EXPECT_EQ(dump.wait_for(milliseconds(100)), std::future_status::timeout);
  EXPECT_TRUE(Logged().empty());
  pthread_mutex_unlock(&arg_.Mutex);
  ASSERT_EQ(dump.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(Logged().size(), 41u);
}

TEST_F(Signals, RereadRequestCarriesConfigPathUpTo104Bytes) {
  const std::string paths[] = {"/tmpfs/config/wardend.conf", "/" + std::string(103, 'a'), "/" + std::string(104, 'b')};
  for (const std::string &path : paths) {
    gLines.clear();
    ConfigPath = path.c_str();
    SendRereadRequest();
    Lines expected = {{LOG_INFO, "Got SIGHUP, re-reading configuration"}};
    CtrlMsg sent{};
    bool got = msgrcv(MsgQueId, &sent, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT) >= 0;
    EXPECT_EQ(got, path.size() <= CTRLMSG_PAYLOAD_SIZE);  // 104 fills the payload; more would have to be cut
    if (got) {
      EXPECT_EQ(sent.type, MSGID_REREAD_CONFIG);
      EXPECT_EQ(std::string(sent.payload, 104), path + std::string(104 - path.size(), '\0'));
    } else {
      expected.emplace_back(LOG_ERR, "MSG que send fail! : File name too long");
    }
    EXPECT_EQ(Logged(), expected);
  }
}

TEST_F(Signals, FullQueueNeverBlocksShutdown) {
  InstallSignalHandlers();
  CtrlMsg filler{MSGID_HEALTH_CHECK, {}, {}};
  while (msgsnd(MsgQueId, &filler, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) {
  }
  ASSERT_EQ(SignalWorkerStart(&arg_), 0);

  // The worker waits for room, the rest of the daemon goes on; still full at
  // shutdown, the worker gives up and says so.
  ASSERT_EQ(raise(SIGHUP), 0);
  Logged(1);
  std::this_thread::sleep_for(milliseconds(50));
  auto start = steady_clock::now();
  SignalWorkerStop();
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  Lines lines = Logged();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].second, "MSG que send fail! : Resource temporarily unavailable");
}

}  // namespace
