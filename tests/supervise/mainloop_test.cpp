// SPDX-License-Identifier: MIT
// The main loop as main runs it (the board's /dev/watchdog and /dev/pow_led
// are plain files): a stop that came before it started, and its helpers.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <future>

#include "supervise_support.h"

namespace {

// The helpers are started and stopped on the loop's own thread.
std::vector<std::string> gCalls;
int gQueId = -1;

const LoopHook kHooks[] = {
    {[](ThreadArg *arg) { gCalls.push_back(arg->QueId == gQueId ? "start first" : "other queue"); return 0; },
     [] { gCalls.push_back("stop first"); }},
    {[](ThreadArg *) { gCalls.push_back("start failing"); return -1; }, [] { gCalls.push_back("stop failing"); }},
    {[](ThreadArg *) { gCalls.push_back("start last"); return 0; }, [] { gCalls.push_back("stop last"); }},
};

// The stop flag is already raised, as a SIGTERM during start-up leaves it; a
// loop that forgot it is released afterwards, so the test fails, not hangs.
TEST(MainLoop, StopsAtOnceWhenSigtermCameBeforeItStartedAndStopsTheStartedHelpersInReverse) {
  supervise_test::CapturedLog log;
  gQueId = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
  ASSERT_GE(gQueId, 0);
  ConfigDb db{};
  StopFlag.store(1);
  auto loop = std::async(std::launch::async, [&db] { wardend_loop(gQueId, &db, nullptr, kHooks, 3); });
  const bool ended = loop.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  StopFlag.store(1);
  loop.wait();
  msgctl(gQueId, IPC_RMID, nullptr);
  StopFlag.store(0);
  EXPECT_TRUE(ended) << "the loop cleared a stop that came before it started";
  const std::vector<std::string> calls = {"start first", "start failing", "start last", "stop last", "stop first"};
  EXPECT_EQ(gCalls, calls);
}

}  // namespace
