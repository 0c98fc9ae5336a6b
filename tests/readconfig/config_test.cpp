// SPDX-License-Identifier: MIT
// StaggerAliveTimers.
#include <cstdint>

#include "config_fixture.h"

namespace {

// A negative period never resets and must not wrap round to a positive timer.
TEST(StaggerAliveTimers, SpreadsTheFirstAliveChecks) {
  const std::pair<int32_t, std::vector<int32_t>> rows[] = {
      {3, {3, 2, 1, 3, 2, 1, 3}}, {0, {0, -1, -2}}, {INT32_MIN, {INT32_MIN, INT32_MIN}}};
  for (const auto &[aliveWatch, expected] : rows) {
    std::vector<ProcEntry> entries(expected.size());
    ConfigDb db{};
    db.AliveWatch = aliveWatch;
    db.NumProcess = static_cast<int32_t>(expected.size());
    db.Process = entries.data();
    StaggerAliveTimers(&db);
    std::vector<int32_t> timers;
    for (const ProcEntry &entry : entries) timers.push_back(entry.TmrAlive);
    EXPECT_EQ(timers, expected);
  }
}

}  // namespace
