// The power LED without its device. DoSystemTerminate itself runs a real
// "reboot" and signals processes, so it is exercised only on the simulated
// board by the integration tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include "supervise/terminate.h"
#include "supervise_support.h"

namespace {

TEST(PowerLed, MissingDeviceIsReported) {
  if (access("/dev/pow_led", F_OK) == 0) GTEST_SKIP() << "this machine has a power LED device";
  supervise_test::CapturedLog log;
  SetupPowerLed(3, 0);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].text, "PWR-LED open fail");
  EXPECT_EQ(log.lines()[0].priority, LOG_ERR);
}

}  // namespace
