// SPDX-License-Identifier: MIT
// The main loop as main runs it: a stop that came before the loop started,
// and the helpers it starts and stops around the three threads. The board's
// /dev/watchdog and /dev/pow_led are plain files, so the loop runs here as in
// the daemon.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "supervise/mainloop.h"
#include "supervise_support.h"

using namespace supervise_test;  // NOLINT(build/namespaces)

namespace {

// The helpers are started and stopped on the loop's own thread.
std::vector<std::string> gCalls;
int gQueId = -1;

int StartFirst(ThreadArg *arg) {
  gCalls.push_back("start first, queue " + std::string(arg->QueId == gQueId ? "given" : "other"));
  return 0;
}
int StartFailing(ThreadArg *) {
  gCalls.push_back("start failing");
  return -1;
}
int StartLast(ThreadArg *) {
  gCalls.push_back("start last");
  return 0;
}
void StopFirst() { gCalls.push_back("stop first"); }
void StopFailing() { gCalls.push_back("stop failing"); }
void StopLast() { gCalls.push_back("stop last"); }

const LoopHook kHooks[] = {{StartFirst, StopFirst}, {StartFailing, StopFailing}, {StartLast, StopLast}};

// Runs wardend_loop with the stop flag already raised, as a SIGTERM during
// start-up leaves it. Returns whether the loop ended by itself; a loop that
// forgot the stop is released afterwards, so the test fails instead of hanging.
bool LoopEndsOnEarlyStop() {
  gCalls.clear();
  gQueId = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
  EXPECT_GE(gQueId, 0);
  ConfigDb db{};
  StopFlag.store(1);
  auto loop = std::async(std::launch::async, [&db] { wardend_loop(gQueId, &db, nullptr, kHooks, 3); });
  const bool ended = loop.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!ended) {
    StopFlag.store(1);
    loop.wait();
  }
  msgctl(gQueId, IPC_RMID, nullptr);
  StopFlag.store(0);
  return ended;
}

TEST(MainLoop, StopsAtOnceWhenSigtermCameBeforeItStarted) {
  CapturedLog log;
  EXPECT_TRUE(LoopEndsOnEarlyStop()) << "the loop cleared a stop that came before it started";
}

TEST(MainLoop, StartsHelpersInOrderAndStopsTheStartedOnesInReverse) {
  CapturedLog log;
  LoopEndsOnEarlyStop();
  EXPECT_EQ(gCalls, (std::vector<std::string>{"start first, queue given", "start failing", "start last",
                                              "stop last", "stop first"}));
}

}  // namespace
