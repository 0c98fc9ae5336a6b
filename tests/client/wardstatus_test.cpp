// wardctl status without a daemon: the JSON reader on good and broken
// texts, the state each entry is shown in, and the Prometheus text's label
// escaping and series. The query itself and the parsers of Python and
// prometheus_client are used on the board.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wardstatus.h"

namespace {

TEST(JsonReader, AcceptsJsonAndRefusesAnythingElse) {
  const std::pair<std::string, bool> cases[] = {
      {"{}", true},
      {" {\"a\": [1, -2.5e3, 0, true, false, null, \"x\"]}\n", true},
      {"[]", true},
      {"\"just a string\"", true},
      {"", false},
      {"{", false},
      {"{\"a\":1,}", false},
      {"[1,]", false},
      {"{\"a\" 1}", false},
      {"{a:1}", false},
      {"[01]", false},
      {"[1.]", false},
      {"[.5]", false},
      {"[1e]", false},
      {"[-]", false},
      {"[tru]", false},
      {"[nul]", false},
      {"{} {}", false},
      {"[\"tab\there\"]", false},  // raw control character
      {"[\"\\x\"]", false},
      {"[\"\\u12\"]", false},
      {"[\"unterminated]", false},
      {"[\"\\", false},
      {std::string(32, '[') + std::string(32, ']'), true},
      {std::string(33, '[') + std::string(33, ']'), false},  // nested too deeply
      {std::string(100000, '['), false},
  };
  for (const auto &[text, valid] : cases) {
    JsonValue value;
    std::string error;
    EXPECT_EQ(ParseJson(text, &value, &error), valid) << text.substr(0, 60) << ": " << error;
    EXPECT_EQ(error.empty(), valid) << text.substr(0, 60);
  }
}

TEST(JsonReader, DecodesEscapesToUtf8AndReplacesWhatIsNotText) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"a\\\"b\\\\c\\/d\\n\\t\\r\\b\\f\"", "a\"b\\c/d\n\t\r\b\f"},
      {"\"\\u0041\\u00e9\\u20ac\"", "A\xc3\xa9\xe2\x82\xac"},
      {"\"\\ud83d\\udc27\"", "\xf0\x9f\x90\xa7"},  // a surrogate pair
      {"\"\\ud83d\"", "\xef\xbf\xbd"},             // a lone high surrogate
      {"\"\\ud83d\\u0041\"",
       "\xef\xbf\xbd"
       "A"},                                         // not followed by a low one
      {"\"\\udc27\"", "\xef\xbf\xbd"},               // a lone low surrogate
      {"\"caf\xc3\xa9\"", "caf\xc3\xa9"},            // UTF-8 kept
      {"\"\xff\xc3\"", "\xef\xbf\xbd\xef\xbf\xbd"},  // bytes that are not UTF-8
  };
  for (const auto &[text, decoded] : cases) {
    JsonValue value;
    std::string error;
    ASSERT_TRUE(ParseJson(text, &value, &error)) << text << ": " << error;
    EXPECT_EQ(value.kind, JsonValue::STRING);
    EXPECT_EQ(value.text, decoded) << text;
  }
  JsonValue value;
  std::string error;
  ASSERT_TRUE(ParseJson("{\"n\": -12.25, \"n\": 3, \"o\": {\"x\": null}}", &value, &error));
  ASSERT_NE(value.Get("n"), nullptr);
  EXPECT_EQ(value.Get("n")->number, -12.25);  // the first of two equal keys
  EXPECT_EQ(value.Get("o")->Get("x")->kind, JsonValue::NUL);
  EXPECT_EQ(value.Get("missing"), nullptr);
  EXPECT_EQ(value.Get("n")->Get("x"), nullptr);  // not an object
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
      {R"({"forgiven":0,"health_check_cycle":0,"pid_read":"never","alive_check_in":null})", "healthy"},
      {R"({"forgiven":0,"health_check_cycle":0,"pid_read":"ok","running":true,"alive_check_in":3})", "healthy"},
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
                           "wardend_process_state{name=\"b\",state=\"healthy\"} 1\n",
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
    const std::string config = RenderStatusTable(
        Parse(std::string(R"({"version":"1.0","pid":9,"uptime":5,"table":"ok","processes":[],"config":)") +
              R"({"path":"/c","read_ok":true,"read_age":1,"alive_check":")" + method + "\"}}"),
        &error);
    EXPECT_EQ(config, std::string("wardend 1.0, pid 9, up 5.0s; configuration /c, read 1.0s ago") +
                          (strcmp(method, "proc") == 0 ? ", alive check proc" : "") + "\n");
  }
  EXPECT_EQ(RenderStatusTable(Parse(R"({"error":"request too long"})"), &error), "");
  EXPECT_EQ(error, "the daemon refused the request: request too long");
}

}  // namespace
