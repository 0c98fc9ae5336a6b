// SPDX-License-Identifier: MIT
// wardctl status: asking the daemon's status socket, reading its JSON reply,
// and showing it as a table or in the Prometheus text format. Only wardctl
// (and its tests) use this; it shares nothing with the daemon but
// common/ctrlmsg.h.
#pragma once

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/ctrlmsg.h"

// A parsed JSON value: Debian's header-only JSON library, used without
// exceptions (JSON_NOEXCEPTION makes anything that would throw end the
// program instead): the parse is the non-throwing one, and values are read
// only through JsonMember and after a check of their type.
using JsonValue = nlohmann::json;

// The member called key of an object; nullptr when there is none (or value
// is not an object).
const JsonValue *JsonMember(const JsonValue &value, const char *key);

// The most arrays and objects the reader takes one inside the other; the
// daemon's reply has three. Deeper texts are refused before they are
// parsed, so that no reply can make the parser hold more than this.
constexpr int JSON_DEPTH_MAX = 32;

// Parses one JSON text (white space around it allowed). False, with a
// short reason in *error, for anything that is not exactly one valid JSON
// value in valid UTF-8 (a lone surrogate escape is not) whose numbers are
// finite.
bool ParseJson(const std::string &text, JsonValue *value, std::string *error);

// Results of QueryStatus.
constexpr int STATUS_ANSWERED = 0;
constexpr int STATUS_NO_ANSWER = 1;
constexpr int STATUS_IMPOSTOR = 2;  // something other than the daemon holds the socket's name

// The longest reply wardctl takes: the most the daemon ever sends. Anything
// that answers on the socket's name is read only this far.
constexpr size_t STATUS_REPLY_LIMIT = WARDEND_STATUS_REPLY_MAX;

// Connects to the daemon's status socket, sends request and a line end,
// and reads the reply until the daemon closes the connection, all within
// timeoutMs. STATUS_NO_ANSWER with a reason in *error when no daemon listens
// or the reply did not come in time; STATUS_IMPOSTOR (before anything is
// sent) when the process that holds the name is not the daemon: see
// JudgeStatusPeer, with the pid file pidFile.
int QueryStatus(const std::string &request, int timeoutMs, const char *pidFile, std::string *reply,
                std::string *error);

// Whether the process that answers on the status socket (its credentials
// as the socket reports them) is the daemon: it runs as root, and when the
// daemon's pid file could be read (pidFileRead, pidFileText its content)
// and holds a pid, it is that pid. "" when it is, else the complaint,
// "status socket is held by pid N (uid U), not by the daemon".
std::string JudgeStatusPeer(long peerPid, unsigned long peerUid, bool pidFileRead, const std::string &pidFileText);

// The state of one process entry of the reply, as the table shows it, the
// first that applies: "forgiven once" (its last alive check failed and was
// forgiven), "missing" (the pid its last alive check read no longer runs),
// "late" (no health check for longer than its cycle, or none at all after
// the first window), "waiting for first check" (no health check yet, or no
// alive check yet for an entry without health checks), "not checked" (no
// health checks and no alive checks: nothing looks at it), "healthy".
std::string ProcessState(const JsonValue &entry);

// The text with its control characters shown as escapes (\r, \t, \xNN), so
// that a name or a configuration line can neither move the cursor nor end a
// line of the output: C0, DEL and C1 (U+0080 to U+009F, each of its two
// bytes escaped, and a byte 0x80 to 0x9f that is not part of a character).
std::string Printable(const std::string &text);

// The reply as a table for people. An error reply gives an empty text and
// the daemon's words in *error.
std::string RenderStatusTable(const JsonValue &reply, std::string *error);

// The reply in the Prometheus text format (version 0.0.4); reply == nullptr
// gives only wardend_up 0. boardUptime is the board's uptime in seconds
// (CLOCK_BOOTTIME as wardctl read it), NaN when not known: no sample.
std::string RenderPrometheus(const JsonValue *reply, double boardUptime = NAN);

// A label value with backslash, double quote and line feed escaped.
std::string PrometheusLabel(const std::string &value);
