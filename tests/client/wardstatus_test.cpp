// SPDX-License-Identifier: MIT
// wardctl status without a daemon: the JSON reader on good and broken
// texts, the state each entry is shown in, and the Prometheus text's label
// escaping and series. The query itself and the parsers of Python and
// prometheus_client are used on the board.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "wardstatus.h"

namespace {

// The grammar is the library's; the reader's own are the nesting bound
// (brackets inside strings and escaped quotes not counted) and a parse that
// neither throws nor leaves a value behind on a refused text.
TEST(JsonReader, BoundsTheNestingAndRefusesWithoutThrowing) {
  const std::string invalid = "not valid JSON", deep = "nested too deeply";
  const std::pair<std::string, std::string> cases[] = {
      // the text, the error ("": taken)
      {"{}", ""},
      {"", invalid},
      {"{\"a\":1,}", invalid},
      {"[\"\xff\xc3\"]", invalid},  // bytes that are not UTF-8
      {"[1e999]", invalid},         // not a finite number
      {"[\"[[[[\", \"]]\"]", ""},   // brackets in strings do not nest
      {std::string(32, '[') + std::string(32, ']'), ""},
      {std::string(33, '[') + std::string(33, ']'), deep},
      {"[\"\\\"\"," + std::string(32, '[') + std::string(33, ']'), deep},  // an escaped quote ends no string
      {std::string(100000, '['), deep},
  };
  for (const auto &[text, expected] : cases) {
    JsonValue value;
    std::string error;
    EXPECT_EQ(ParseJson(text, &value, &error), expected.empty()) << text.substr(0, 60);
    EXPECT_EQ(error, expected) << text.substr(0, 60);
  }
  JsonValue value;
  std::string error;
  ASSERT_TRUE(ParseJson("{\"n\": -12.25, \"o\": {\"x\": null}, \"a\": [1]}", &value, &error));
  ASSERT_NE(JsonMember(value, "n"), nullptr);
  EXPECT_EQ(JsonMember(value, "n")->get<double>(), -12.25);
  EXPECT_TRUE(JsonMember(*JsonMember(value, "o"), "x")->is_null());
  EXPECT_EQ(JsonMember(value, "missing"), nullptr);
  EXPECT_EQ(JsonMember(*JsonMember(value, "n"), "x"), nullptr);  // not an object
  EXPECT_EQ(JsonMember(*JsonMember(value, "a"), "x"), nullptr);  // nor an array
  // A refused text leaves no value behind.
  EXPECT_FALSE(ParseJson("{\"n\": 1", &value, &error));
  EXPECT_TRUE(value.is_null());
}

JsonValue Parse(const std::string &text) {
  JsonValue value;
  std::string error;
  EXPECT_TRUE(ParseJson(text, &value, &error)) << text << ": " << error;
  return value;
}

// The table of an empty reply whose "config" object has the given fields
// besides its path and read age.
std::string ConfigTable(const std::string &fields) {
  std::string error;
  return RenderStatusTable(
      Parse(R"({"version":"1.0","pid":9,"uptime":5,"table":"ok","processes":[],"config":{"path":"/c","read_ok":true,)"
            R"("read_age":1,)" +
            fields + "}}"),
      &error);
}

TEST(ProcessState, FollowsAliveAndHealthCheckResultsInOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"forgiven":1,"running":false,"health_check_cycle":5,"health_check_armed":true})", "forgiven once"},
      {R"({"forgiven":0,"running":false,"health_check_cycle":5,"health_check_age":1})", "missing"},
      {R"({"forgiven":0,"running":true,"health_check_cycle":5,"health_check_age":null,"health_check_armed":false})",
       "waiting for first check"},
      {R"({"forgiven":0,"running":null,"health_check_cycle":5,"health_check_age":null,"health_check_armed":true})",
       "late"},
      {R"({"forgiven":0,"health_check_cycle":5,"health_check_age":5.5,"health_check_armed":true})", "late"},
      {R"({"forgiven":0,"health_check_cycle":5,"health_check_age":4.9,"health_check_armed":true})", "healthy"},
      {R"({"forgiven":0,"health_check_cycle":5,"health_check_age":9,"health_check_armed":false})", "healthy"},
      {R"({"forgiven":0,"health_check_cycle":-1,"health_check_age":1.5,"health_check_armed":true})", "late"},
      {R"({"forgiven":0,"health_check_cycle":0,"pid_read":"never","alive_check_in":3})", "waiting for first check"},
      {R"({"forgiven":0,"health_check_cycle":0,"pid_read":"ok","running":true,"alive_check_in":3})", "healthy"},
      // Neither health nor alive checks: nothing has looked at it, or ever will.
      {R"({"forgiven":0,"health_check_cycle":0,"pid_read":"never","alive_check_in":null})", "not checked"},
      {R"({"forgiven":0,"health_check_cycle":0,"pid_read":"never"})", "not checked"},
      {R"({"forgiven":0,"health_check_cycle":7,"health_check_age":1,"alive_check_in":null})", "healthy"},
  };
  for (const auto &[entry, state] : cases) EXPECT_EQ(ProcessState(Parse(entry)), state) << entry;
}

TEST(Prometheus, LabelsAreEscapedAndRepeatedNamesGetTheirIndex) {
  EXPECT_EQ(PrometheusLabel("plain"), "plain");
  EXPECT_EQ(PrometheusLabel("a\\b\"c\nd\te"), "a\\\\b\\\"c\\nd\te");

  const JsonValue reply = Parse(
      R"({"version":"1.0","uptime":2.5,"table":"ok","process_count":3,)"
      R"("watchdog":{"refresh_period":1,"since_refresh":0.25,"interval":1,"max_interval":1.5,"late_refreshes":0},)"
      R"("termination":{"in_progress":false},"processes":[)"
      R"({"index":0,"name":"a\"p\\p","health_check_cycle":0,"health_check_age":null,"respawns":2,"pid":7},)"
      R"({"index":1,"name":"b","health_check_cycle":0,"respawns":0,"pid":null},)"
      R"({"index":2,"name":"a\"p\\p","health_check_cycle":4,"health_check_age":1.25,"respawns":0}]})");
  const std::string text = RenderPrometheus(&reply);
  for (const char *line : {"wardend_up 1\n", "wardend_watchdog_seconds_since_refresh 0.250\n",
                           "wardend_watchdog_max_interval_seconds 1.500\n",
                           "wardend_process_respawns_total{name=\"a\\\"p\\\\p\"} 2\n",
                           "wardend_process_respawns_total{name=\"a\\\"p\\\\p\",index=\"2\"} 0\n",
                           "wardend_process_pid{name=\"a\\\"p\\\\p\"} 7\n",
                           "wardend_process_health_check_age_seconds{name=\"a\\\"p\\\\p\",index=\"2\"} 1.250\n",
                           "wardend_process_state{name=\"b\",state=\"not checked\"} 1\n",
                           "# TYPE wardend_process_respawns_total counter\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  // Absent values give no sample rather than a made-up one.
  EXPECT_EQ(text.find("wardend_process_pid{name=\"b\"}"), std::string::npos);
  EXPECT_EQ(text.find("wardend_process_health_check_age_seconds{name=\"a\\\"p\\\\p\"}"), std::string::npos);
  EXPECT_EQ(RenderPrometheus(nullptr),
            "# HELP wardend_up 1 when the daemon answered the status request, 0 otherwise.\n"
            "# TYPE wardend_up gauge\nwardend_up 0\n");
}

// What the fleet's alerts need beside the daemon's own figures: the board's
// uptime (reboots), whether the watchdog caused the last reset, and which
// safety settings are off. What the reply does not say gives no sample.
TEST(Prometheus, ReportsBoardUptimeLastResetAndSafetySettings) {
  const struct {
    const char *json;
    double boardUptime;
    std::vector<std::string> present, absent;
  } cases[] = {
      {R"({"table":"ok","watchdog":{"caused_last_reset":true},"safety":{"SuperviseStallTimeout":0,)"
       R"("RebootRecord":"/data/rec","RebootLoopLimit":{"count":3,"window":600},"WdtPriority":5}})",
       3725.5,
       {"wardend_board_uptime_seconds 3725.500\n", "wardend_watchdog_caused_last_reset 1\n",
        "wardend_safety_enabled{setting=\"SuperviseStallTimeout\"} 0\n",
        "wardend_safety_enabled{setting=\"RebootRecord\"} 1\n",
        "wardend_safety_enabled{setting=\"RebootLoopLimit\"} 1\n", "wardend_safety_enabled{setting=\"WdtPriority\"} 1\n",
        "# TYPE wardend_safety_enabled gauge\n"},
       {}},
      {R"({"table":"ok","watchdog":{"caused_last_reset":false},"safety":{"SuperviseStallTimeout":30,)"
       R"("RebootRecord":null,"RebootLoopLimit":null,"WdtPriority":0}})",
       12,
       {"wardend_board_uptime_seconds 12\n", "wardend_watchdog_caused_last_reset 0\n",
        "wardend_safety_enabled{setting=\"SuperviseStallTimeout\"} 1\n",
        "wardend_safety_enabled{setting=\"RebootRecord\"} 0\n",
        "wardend_safety_enabled{setting=\"RebootLoopLimit\"} 0\n", "wardend_safety_enabled{setting=\"WdtPriority\"} 0\n"},
       {}},
      // A busy table leaves the settings out, and an unknown reset or uptime
      // is no sample.
      {R"({"table":"busy","watchdog":{"caused_last_reset":null},"safety":null})",
       NAN,
       {"wardend_up 1\n"},
       {"wardend_board_uptime_seconds", "wardend_watchdog_caused_last_reset", "wardend_safety_enabled"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.json);
    const JsonValue reply = Parse(c.json);
    const std::string text = RenderPrometheus(&reply, c.boardUptime);
    for (const std::string &line : c.present) EXPECT_NE(text.find(line), std::string::npos) << line << text;
    for (const std::string &name : c.absent) EXPECT_EQ(text.find(name), std::string::npos) << name << text;
  }
  // Without a daemon there is nothing to say but that.
  EXPECT_EQ(RenderPrometheus(nullptr, 5), RenderPrometheus(nullptr));
}

// A device that refuses the keep-alives is said first on the watchdog line,
// and every refused keep-alive is counted, also after they work again.
TEST(StatusTable, SaysWhenTheWatchdogRefusesRefreshes) {
  const struct {
    const char *watchdog;
    const char *line;
    const char *failing, *failed;  // the two samples
  } cases[] = {
      {R"("since_refresh":3.5,"failed_refreshes":3,"refresh_failing":true,"refresh_error":"Input/output error")",
       "watchdog: refresh failing (Input/output error), last accepted 3.5s ago, every 1s; last interval 1.000s, "
       "largest 1.000s, 0 late refreshes, 3 refused refreshes\n",
       "1", "3"},
      {R"("since_refresh":null,"failed_refreshes":1,"refresh_failing":true,"refresh_error":"No such device")",
       "watchdog: refresh failing (No such device), last accepted never, every 1s; last interval 1.000s, "
       "largest 1.000s, 0 late refreshes, 1 refused refresh\n",
       "1", "1"},
      {R"("since_refresh":0.5,"failed_refreshes":1,"refresh_failing":false,"refresh_error":null)",
       "watchdog: refreshed 0.5s ago, every 1s; last interval 1.000s, largest 1.000s, 0 late refreshes, "
       "1 refused refresh\n",
       "0", "1"},
  };
  for (const auto &c : cases) {
    const JsonValue reply = Parse(std::string(R"({"version":"1.0","pid":9,"uptime":5,"table":"busy",)") +
                                  R"("watchdog":{"refresh_period":1,"interval":1,"max_interval":1,)" +
                                  R"("late_refreshes":0,)" + c.watchdog + "}}");
    std::string error;
    const std::string table = RenderStatusTable(reply, &error);
    const size_t start = table.find("watchdog: ");
    ASSERT_NE(start, std::string::npos) << table;
    EXPECT_EQ(table.substr(start), c.line);
    const std::string metrics = RenderPrometheus(&reply);
    for (const std::string &sample : {std::string("wardend_watchdog_refresh_failing ") + c.failing + "\n",
                                      std::string("wardend_watchdog_failed_refreshes_total ") + c.failed + "\n"}) {
      EXPECT_NE(metrics.find(sample), std::string::npos) << sample << metrics;
    }
  }
}

TEST(StatusTable, ShowsBusyTablesTerminationsAndRefusals) {
  std::string error;
  const std::string busy = RenderStatusTable(
      Parse(R"({"version":"1.0","pid":9,"uptime":75,"table":"busy","processes":null,)"
            R"("watchdog":{"refresh_period":2,"since_refresh":0.5,"interval":2.001,"max_interval":2.5,"late_refreshes":1},)"
            R"("termination":{"in_progress":true,"mode":"reboot","reason":"Detect\nthat","age":3.25}})"),
      &error);
  EXPECT_EQ(busy,
            "wardend 1.0, pid 9, up 1m15s\n"
            "process table busy (a supervision pass or a termination holds it): no process details\n"
            "watchdog: refreshed 0.5s ago, every 2s; last interval 2.001s, largest 2.500s, 1 late refresh\n"
            "termination in progress (reboot, for 3.2s): Detect\\x0athat\n");
  const std::string settings = RenderStatusTable(
      Parse(R"({"version":"1.0","pid":9,"uptime":5,"table":"ok","processes":[],"last_shutdown":"2026-12-06T18:01:26Z )"
            R"(reboot : x","safety":{"SuperviseStallTimeout":30,"RebootRecord":"/data/rec","RebootLoopLimit":)"
            R"({"count":3,"window":600},"WdtPriority":0}})"),
      &error);
  EXPECT_EQ(settings,
            "wardend 1.0, pid 9, up 5.0s\n"
            "safety: stall timeout 30s; reboot record /data/rec; reboot loop limit 3 in 600s\n"
            "last shutdown: 2026-12-06T18:01:26Z reboot : x\n");
  // The alive-check method is named only when it is not the default.
  for (const char *method : {"ps", "proc"}) {
    const std::string config = ConfigTable(std::string(R"("alive_check":")") + method + "\"");
    EXPECT_EQ(config, std::string("wardend 1.0, pid 9, up 5.0s; configuration /c, read 1.0s ago") +
                          (strcmp(method, "proc") == 0 ? ", alive check proc" : "") + "\n");
  }
  EXPECT_EQ(RenderStatusTable(Parse(R"({"error":"request too long"})"), &error), "");
  EXPECT_EQ(error, "the daemon refused the request: request too long");
}

// What explains a reply that would otherwise puzzle: refused lines of the
// last read, a snapshot standing in for a held table with a respawn in it,
// and refreshes stopped by a stall.
TEST(StatusTable, ExplainsRefusedLinesSnapshotsRespawnsAndStalls) {
  std::string error;
  const std::string table = RenderStatusTable(
      Parse(R"({"version":"1.0","pid":9,"uptime":5,"table":"snapshot","snapshot_age":4.2,"config":{"path":"/c",)"
            R"("read_ok":true,"read_age":1,"refused_lines":2,"refused":[]},"processes":[{"name":"cam\u001b",)"
            R"("kind":"RESPAWN","respawning":{"since":7.9,"command":"cam\u001b -p"},"pid":null},)"
            R"({"name":"gone","kind":"MANAGE","forgiven":1,"respawning":null,"pid":4}],)"
            R"("watchdog":{"refresh_period":1,"since_refresh":12.5,"interval":1,"max_interval":1,"late_refreshes":0,)"
            R"("refresh_stopped":true,"stalled_seconds":11}})"),
      &error);
  EXPECT_EQ(table,
            "wardend 1.0, pid 9, up 5.0s; configuration /c, read 1.0s ago\n"
            "2 lines refused at the last read: see wardctl status --json\n"
            "process table busy (a termination or a respawn holds it): processes as they were 4.2s ago\n"
            "NAME     KIND     STATE                              LAST CHECK  PID\n"
            "cam\\x1b  RESPAWN  respawning since 7 s (cam\\x1b -p)  -           -\n"
            "gone     MANAGE   forgiven once                      -           4\n"
            "watchdog: refresh stopped: supervision stalled 11 s, last refresh 12.5s ago, every 1s; last interval "
            "1.000s, largest 1.000s, 0 late refreshes\n");
  // One refused line, and none.
  for (const char *count : {"1", "0"}) {
    const std::string config = ConfigTable(std::string(R"("refused_lines":)") + count);
    EXPECT_EQ(config.find("lines refused"), std::string::npos);
    EXPECT_EQ(config.find("1 line refused at the last read") != std::string::npos, strcmp(count, "1") == 0);
  }
}

// Whatever answers on the socket's name chooses the texts: none of them may
// reach the terminal as a control, whether C0, DEL or C1 (as UTF-8 or as a
// lone byte), while text stays as it is.
TEST(Printable, EscapesEveryControlAndKeepsText) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain caf\xc3\xa9 \xe2\x82\xac", "plain caf\xc3\xa9 \xe2\x82\xac"},
      {"a\rb\tc\nd\x1b[2J\x7f", "a\\rb\\tc\\x0ad\\x1b[2J\\x7f"},
      {"\xc2\x9b"
       "31m\xc2\x80\xc2\x9f",
       "\\xc2\\x9b"
       "31m\\xc2\\x80\\xc2\\x9f"},
      {"\xc2\xa0\xc2\xbf", "\xc2\xa0\xc2\xbf"},  // the first printable ones after C1
      {"\x9b"
       "1m\x85\xa0\xff",
       "\\x9b"
       "1m\\x85\xa0\xff"},  // not UTF-8: C1 bytes escaped, others left
  };
  for (const auto &[text, shown] : cases) EXPECT_EQ(Printable(text), shown) << text;
}

// Numbers far outside anything the daemon sends (1e300, up to the largest
// double; the reader refuses 1e999, which is no finite number) are held
// within bounds before any conversion, so every line stays whole and no
// conversion is undefined.
TEST(StatusTable, HugeAndNegativeNumbersStayBoundedAndLinesWhole) {
  for (const char *number : {"1e300", "-1e300", "1.7e308", "-1.7e308", "123456789012345678901234567890"}) {
    SCOPED_TRACE(number);
    const std::string n = number;
    std::string error;
    const std::string table = RenderStatusTable(
        Parse(R"({"version":"1","pid":)" + n + R"(,"uptime":)" + n + R"(,"table":"ok","process_count":)" + n +
              R"(,"watchdog":{"refresh_period":)" + n + R"(,"since_refresh":)" + n + R"(,"interval":)" + n +
              R"(,"max_interval":)" + n + R"(,"late_refreshes":)" + n + R"(},"processes":[{"name":"p","pid":)" + n +
              R"(,"health_check_cycle":)" + n + R"(,"health_check_age":)" + n + R"(,"alive_check_in":3}]})"),
        &error);
    ASSERT_FALSE(table.empty()) << error;
    size_t start = 0;
    for (size_t end; (end = table.find('\n', start)) != std::string::npos; start = end + 1) {
      EXPECT_LT(end - start, 200u) << table.substr(start, end - start);
    }
    EXPECT_EQ(start, table.size()) << "the last line lacks its end";
    EXPECT_NE(table.find("watchdog: refreshed "), std::string::npos) << table;
  }
  // A sample keeps its value, readable by any Prometheus parser.
  const JsonValue reply = Parse(R"({"uptime":1e300,"process_count":-1.5e300,"table":"ok"})");
  const std::string text = RenderPrometheus(&reply);
  EXPECT_NE(text.find("wardend_uptime_seconds 1.0000000000000001e+300\n"), std::string::npos) << text;
  EXPECT_NE(text.find("wardend_processes -1.5000000000000001e+300\n"), std::string::npos) << text;
}

}  // namespace

// Only root with the daemon's pid (when its pid file holds one) is the
// daemon; anybody else holding the status name is named.
TEST(StatusPeer, IsRootWithThePidFilesPid) {
  const std::string impostor = "status socket is held by pid 9 (uid 65534), not by the daemon";
  EXPECT_EQ(JudgeStatusPeer(9, 0, false, ""), "");
  EXPECT_EQ(JudgeStatusPeer(9, 0, true, "9\n"), "");
  EXPECT_EQ(JudgeStatusPeer(9, 0, true, "garbage"), "");
  EXPECT_EQ(JudgeStatusPeer(9, 0, true, "10\n"), "status socket is held by pid 9 (uid 0), not by the daemon");
  EXPECT_EQ(JudgeStatusPeer(9, 65534, false, ""), impostor);
  EXPECT_EQ(JudgeStatusPeer(9, 65534, true, "9\n"), impostor);
}
