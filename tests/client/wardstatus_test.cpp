// SPDX-License-Identifier: MIT
// wardctl status without a daemon: the JSON reader, the state of each entry,
// the table and the Prometheus text. The query itself is used on the board.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "wardstatus.h"

namespace {

// The reader's own rules (the grammar is the library's): the nesting bound,
// and no value left behind by a refused text.
TEST(JsonReader, BoundsTheNestingAndLeavesNoValueOnRefusal) {
  const std::string invalid = "not valid JSON", deep = "nested too deeply";
  const std::pair<std::string, std::string> cases[] = {
      // the text, the error ("": taken)
      {"{\"n\": 1", invalid},
      {"[\"" + std::string(40, '[') + "\"]", ""},
      {"[" + std::string(31, '[') + std::string(31, ']') + ",{}," + std::string(31, '[') + std::string(32, ']'), ""},
      {std::string(33, '[') + std::string(33, ']'), deep},
      {std::string(33, '{'), deep},
      {"[\"\\\"\"," + std::string(32, '[') + std::string(33, ']'), deep},  // an escaped quote ends no string
  };
  for (const auto &[text, expected] : cases) {
    JsonValue value = 1;
    std::string error;
    EXPECT_EQ(ParseJson(text, &value, &error), expected.empty()) << text;
    EXPECT_EQ(error, expected) << text;
    EXPECT_EQ(value.is_null(), !expected.empty()) << text;
  }
}

JsonValue Parse(const std::string &text) {
  JsonValue value;
  std::string error;
  EXPECT_TRUE(ParseJson(text, &value, &error)) << text << ": " << error;
  return value;
}

TEST(ProcessState, FollowsAliveAndHealthCheckResultsInOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"forgiven":1,"running":false,"health_check_cycle":5,"health_check_armed":true})", "forgiven once"},
      {R"({"running":false,"health_check_cycle":5,"health_check_age":1})", "missing"},
      {R"({"running":true,"health_check_cycle":5,"health_check_age":null})", "waiting for first check"},
      {R"({"running":null,"health_check_cycle":5,"health_check_armed":true})", "late"},
      {R"({"health_check_cycle":5,"health_check_age":5.5,"health_check_armed":true})", "late"},
      {R"({"health_check_cycle":5,"health_check_age":4.9,"health_check_armed":true})", "healthy"},
      {R"({"health_check_cycle":5,"health_check_age":9,"health_check_armed":false})", "healthy"},
      {R"({"health_check_cycle":-1,"health_check_age":1.5,"health_check_armed":true})", "late"},
      {R"({"pid_read":"never","alive_check_in":3})", "waiting for first check"},
      {R"({"pid_read":"ok","running":true,"alive_check_in":3})", "healthy"},
      // Neither health nor alive checks: nothing has looked at it, or ever will.
      {R"({"pid_read":"never","alive_check_in":null})", "not checked"},
      {R"({"pid_read":"never"})", "not checked"},
      {R"({"health_check_cycle":7,"health_check_age":1,"alive_check_in":null})", "healthy"},
  };
  for (const auto &[entry, state] : cases) EXPECT_EQ(ProcessState(Parse(entry)), state) << entry;
}

// What the reply does not say (or a busy table) gives no sample rather than
// a made-up one.
TEST(Prometheus, NamesEverySampleAndLeavesOutWhatTheReplyDoesNotSay) {
  EXPECT_EQ(PrometheusLabel("a\\b\"c\nd\te"), "a\\\\b\\\"c\\nd\te");
  // the reply, the board's uptime, the samples present, the names absent
  const std::tuple<const char *, double, std::vector<std::string>, std::vector<std::string>> cases[] = {
      {R"({"table":"ok","watchdog":{"since_refresh":0.25,"max_interval":1.5,"refresh_failing":true,)"
       R"("failed_refreshes":3,"caused_last_reset":true},"processes":[{"index":0,"name":"a\"b","respawns":2,)"
       R"("pid":7},{"index":1,"name":"b","pid":null},{"index":2,"name":"a\"b","health_check_cycle":4,)"
       R"("health_check_age":1.25,"respawns":0}],"safety":{"SuperviseStallTimeout":0,"RebootRecord":"/r",)"
       R"("RebootLoopLimit":{"count":3},"WdtPriority":5}})",
       3725.5,
       {"wardend_up 1\n", "wardend_watchdog_seconds_since_refresh 0.250\n",
        "wardend_watchdog_max_interval_seconds 1.500\n", "wardend_board_uptime_seconds 3725.500\n",
        "wardend_process_respawns_total{name=\"a\\\"b\"} 2\n", "wardend_process_pid{name=\"a\\\"b\"} 7\n",
        "wardend_process_respawns_total{name=\"a\\\"b\",index=\"2\"} 0\n", "wardend_watchdog_refresh_failing 1\n",
        "wardend_process_health_check_age_seconds{name=\"a\\\"b\",index=\"2\"} 1.250\n",
        "wardend_process_state{name=\"b\",state=\"not checked\"} 1\n", "wardend_watchdog_caused_last_reset 1\n",
        "wardend_watchdog_failed_refreshes_total 3\n", "# TYPE wardend_process_respawns_total counter\n",
        "# TYPE wardend_safety_enabled gauge\nwardend_safety_enabled{setting=\"SuperviseStallTimeout\"} 0\n",
        "wardend_safety_enabled{setting=\"RebootRecord\"} 1\n", "wardend_safety_enabled{setting=\"WdtPriority\"} 1\n",
        "wardend_safety_enabled{setting=\"RebootLoopLimit\"} 1\n"},
       {"wardend_process_pid{name=\"b\"}", "wardend_process_health_check_age_seconds{name=\"a\\\"b\"}"}},
      {R"({"table":"ok","watchdog":{"caused_last_reset":false},"safety":{"SuperviseStallTimeout":30,)"
       R"("RebootRecord":null,"RebootLoopLimit":null,"WdtPriority":0}})",
       12,
       {"wardend_board_uptime_seconds 12\n", "wardend_watchdog_caused_last_reset 0\n",
        "wardend_watchdog_refresh_failing 0\n", "wardend_watchdog_failed_refreshes_total 0\n",
        "wardend_safety_enabled{setting=\"SuperviseStallTimeout\"} 1\n",
        "wardend_safety_enabled{setting=\"RebootRecord\"} 0\n", "wardend_safety_enabled{setting=\"WdtPriority\"} 0\n",
        "wardend_safety_enabled{setting=\"RebootLoopLimit\"} 0\n"},
       {"wardend_watchdog_seconds_since_refresh"}},
      // Numbers beyond the exact integers keep their value, for any parser.
      {R"({"table":"busy","uptime":1e300,"process_count":-1.5e300,"watchdog":{"caused_last_reset":null},)"
       R"("safety":null,"processes":[{"name":"p","pid":1}]})",
       NAN,
       {"wardend_uptime_seconds 1.0000000000000001e+300\n", "wardend_processes -1.5000000000000001e+300\n"},
       {"wardend_board_uptime_seconds", "wardend_watchdog_caused_last_reset", "wardend_safety_enabled",
        "wardend_process_pid{"}},
  };
  for (const auto &[json, boardUptime, present, absent] : cases) {
    const JsonValue reply = Parse(json);
    const std::string text = RenderPrometheus(&reply, boardUptime);
    for (const std::string &line : present) EXPECT_NE(text.find(line), std::string::npos) << line << text;
    for (const std::string &name : absent) EXPECT_EQ(text.find(name), std::string::npos) << name << text;
  }
  EXPECT_EQ(RenderPrometheus(nullptr, 5),
            "# HELP wardend_up 1 when the daemon answered the status request, 0 otherwise.\n"
            "# TYPE wardend_up gauge\nwardend_up 0\n");
}

// A device that refuses the keep-alives is said first, and every refused one
// is counted, also after they work again.
TEST(StatusTable, ShowsWhatTheReplySaysAndExplainsWhatWouldPuzzle) {
  const std::string watchdog =
      R"("uptime":5,"table":"ok","processes":[],"safety":{"SuperviseStallTimeout":0},"watchdog":)"
      R"({"refresh_period":1,"interval":1,"max_interval":1,"late_refreshes":0,)";
  const std::string intervals = "every 1s; last interval 1.000s, largest 1.000s, 0 late refreshes";
  const std::pair<std::string, std::string> cases[] = {
      // the reply after its version and pid, the table after "wardend 1.0, pid 9, up "
      {R"("uptime":75,"table":"busy","config":{"path":"/c","read_ok":true,"read_age":1,"alive_check":"proc",)"
       R"("refused_lines":1},"watchdog":{"refresh_period":2,"since_refresh":0.5,"interval":2.001,)"
       R"("max_interval":2.5,"late_refreshes":1,"failed_refreshes":2},"termination":{"in_progress":true,)"
       R"("mode":"reboot\u0007","reason":"Detect\nthat","age":3.25})",
       "1m15s; configuration /c, read 1.0s ago, alive check proc\n"
       "1 line refused at the last read: see wardctl status --json\n"
       "process table busy (a supervision pass or a termination holds it): no process details\n"
       "watchdog: refreshed 0.5s ago, every 2s; last interval 2.001s, largest 2.500s, 1 late refresh, "
       "2 refused refreshes\n"
       "termination in progress (reboot\\x07, for 3.2s): Detect\\x0athat\n"},
      {R"("uptime":5,"table":"ok","processes":[],"last_shutdown":"2026-12-06T18:01:26Z reboot : x\u001b",)"
       R"("config":{"path":"/c","read_ok":true,"read_age":-1,"alive_check":"ps","refused_lines":0},"safety":)"
       R"({"SuperviseStallTimeout":30,"RebootRecord":"/data/rec","RebootLoopLimit":{"count":3,"window":600}})",
       "5.0s; configuration /c, read 0.0s ago\n"  // a clock stepped back shows no negative age
       "safety: stall timeout 30s; reboot record /data/rec; reboot loop limit 3 in 600s\n"
       "last shutdown: 2026-12-06T18:01:26Z reboot : x\\x1b\n"},
      {R"("uptime":5,"table":"snapshot","snapshot_age":4.2,"config":{"path":"/c","read_ok":true,"read_age":1,)"
       R"("refused_lines":2},"processes":[{"name":"cam\u001b","kind":"RESPAWN","respawning":{"since":7.9,)"
       R"("command":"cam\u001b -p"},"pid":null,"health_check_cycle":5},{"name":"gone","kind":"MANAGE",)"
       R"("forgiven":1,"pid":4,"health_check_cycle":5,"health_check_age":2}],)"
       R"("watchdog":{"refresh_period":1,"since_refresh":12.5,"interval":1,"max_interval":1,"late_refreshes":0,)"
       R"("refresh_stopped":true,"stalled_seconds":11})",
       "5.0s; configuration /c, read 1.0s ago\n"
       "2 lines refused at the last read: see wardctl status --json\n"
       "process table busy (a termination or a respawn holds it): processes as they were 4.2s ago\n"
       "NAME     KIND     STATE                              LAST CHECK  PID\n"
       "cam\\x1b  RESPAWN  respawning since 7 s (cam\\x1b -p)  never / 5s  -\n"
       "gone     MANAGE   forgiven once                      2.0s / 5s   4\n"
       "watchdog: refresh stopped: supervision stalled 11 s, last refresh 12.5s ago, " +
           intervals + "\n"},
      {watchdog + R"("since_refresh":3.5,"failed_refreshes":3,"refresh_failing":true,"refresh_error":"I/O"})",
       "5.0s\nwatchdog: refresh failing (I/O), last accepted 3.5s ago, " + intervals + ", 3 refused refreshes\n"},
      {watchdog + R"("since_refresh":null,"failed_refreshes":1,"refresh_failing":true,"refresh_error":"No dev"})",
       "5.0s\nwatchdog: refresh failing (No dev), last accepted never, " + intervals + ", 1 refused refresh\n"},
  };
  std::string error;
  for (const auto &[members, table] : cases) {
    EXPECT_EQ(RenderStatusTable(Parse(R"({"version":"1.0","pid":9,)" + members + "}"), &error),
              "wardend 1.0, pid 9, up " + table);
  }
  EXPECT_EQ(RenderStatusTable(Parse(R"({"error":"request too long"})"), &error), "");
  EXPECT_EQ(error, "the daemon refused the request: request too long");
}

// Whatever answers on the socket's name chooses the texts: no C0, DEL or C1
// control (as UTF-8 or as a lone byte) may reach the terminal.
TEST(Printable, EscapesEveryControlAndKeepsText) {
  EXPECT_EQ(Printable("caf\xc3\xa9 \xe2\x82\xac\xc2\xa0\xc2\xbf a\rb\tc\nd\x1b[2J\x7f"),
            "caf\xc3\xa9 \xe2\x82\xac\xc2\xa0\xc2\xbf a\\rb\\tc\\x0ad\\x1b[2J\\x7f");
  // C1 as UTF-8, then bytes that are not UTF-8: those that would be C1 escaped, the others left.
  EXPECT_EQ(Printable("\xc2\x9bZ\xc2\x80\xc2\x9f\x9bZ\x9f\xa0\xff"),
            "\\xc2\\x9bZ\\xc2\\x80\\xc2\\x9f\\x9bZ\\x9f\xa0\xff");
}

// Numbers up to the largest double are held within bounds before any
// conversion: every line stays whole and no conversion is undefined.
TEST(StatusTable, HugeAndNegativeNumbersStayBoundedAndLinesWhole) {
  for (const std::string n : {"1e300", "-1e300", "1.7e308", "-1.7e308", "123456789012345678901234567890"}) {
    std::string reply = R"({"version":"1","pid":N,"uptime":N,"table":"ok","process_count":N,"watchdog":)"
                        R"({"refresh_period":N,"since_refresh":N,"interval":N,"max_interval":N,"late_refreshes":N},)"
                        R"("processes":[{"name":"p","pid":N,"health_check_cycle":N,"health_check_age":N}]})";
    for (size_t at; (at = reply.find('N')) != std::string::npos;) reply.replace(at, 1, n);
    std::string error;
    const std::string table = RenderStatusTable(Parse(reply), &error);
    size_t start = 0;
    for (size_t end; (end = table.find('\n', start)) != std::string::npos; start = end + 1) {
      EXPECT_LT(end - start, 200u) << table.substr(start, end - start);
    }
    EXPECT_EQ(start, table.size()) << "the last line lacks its end";
    EXPECT_NE(table.find("watchdog: refreshed "), std::string::npos) << n << table;
  }
}

}  // namespace

// Only root with the daemon's pid (when its pid file holds one) is the daemon.
TEST(StatusPeer, IsRootWithThePidFilesPid) {
  EXPECT_EQ(JudgeStatusPeer(9, 0, true, "9\n"), "");
  EXPECT_EQ(JudgeStatusPeer(9, 0, true, "garbage"), "");  // no pid: nothing either way
  EXPECT_EQ(JudgeStatusPeer(9, 65534, true, "9\n"), "status socket is held by pid 9 (uid 65534), not by the daemon");
}
