# SPDX-License-Identifier: MIT
"""The shipped alert rules and the example dashboard name only metrics that
wardctl status --prometheus writes, and every alert carries what an operator
needs (a delay, a severity, a summary and a description).

The metric families come from a real render: wardctl on a simulated board
asks a stand-in for the daemon's status socket, which answers with a reply in
which every field has a value, so that every family is written.
"""
import json
import os
import re
import sys

import pytest
import yaml

SOURCE_DIR = os.environ.get("WARDEND_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "board"))

from board import Board  # noqa: E402

RULES = os.path.join(SOURCE_DIR, "packaging", "prometheus", "wardend.rules.yml")
DASHBOARD = os.path.join(SOURCE_DIR, "packaging", "grafana", "wardend.json")
METRIC = re.compile(r"\bwardend_[a-z0-9_]+\b")

PROCESS = {"index": 0, "name": "app", "kind": "RESPAWN", "pid_file": "/run/app.pid", "pid": 42, "running": True,
           "pid_read": "ok", "health_check_cycle": 10, "health_check_age": 2.5, "health_check_armed": False,
           "window_left": 7, "alive_check_in": 3, "forgiven": 0, "respawns": 1, "respawning": None}
REPLY = {"version": "1.0", "pid": 7, "uptime": 99.5, "table": "ok",
         "watchdog": {"refresh_period": 1, "since_refresh": 0.5, "interval": 1.0, "max_interval": 1.2,
                      "late_refreshes": 0, "failed_refreshes": 0, "refresh_failing": False, "refresh_error": None,
                      "caused_last_reset": True, "refresh_stopped": False, "stalled_seconds": None},
         "termination": {"in_progress": False, "mode": None, "reason": None, "age": None},
         "last_shutdown": None,
         "config": {"path": "/c", "read_ok": True, "read_age": 9, "read_time": 1, "reads": 1, "alive_check": "ps",
                    "refused_lines": 0, "refused": []},
         "periods": {"AliveWatchPeriod": 5, "PowerWatchPeriod": 1, "WdtRefreshPeriod": 1, "TermTimeout": 5},
         "safety": {"SuperviseStallTimeout": 30, "RebootRecord": None, "RebootLoopLimit": None, "WdtPriority": 0},
         "process_count": 1, "processes": [PROCESS]}

# Answers one status request with the reply in argv[1].
STAND_IN = r'''
import socket, sys
reply = open(sys.argv[1], "rb").read()
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind("\0wardend.status")
server.listen(1)
client, _ = server.accept()
request = b""
while not request.endswith(b"\n"):
    chunk = client.recv(4096)
    if not chunk:
        break
    request += chunk
client.sendall(reply)
client.close()
'''


@pytest.fixture(scope="module")
def families():
    """The metric families of wardctl status --prometheus, by their TYPE lines."""
    with Board() as board:
        board.write_file("/tmpfs/reply.json", json.dumps(REPLY) + "\n")
        board.write_file("/tmpfs/stand_in.py", STAND_IN)
        stand_in = board.spawn(["/usr/bin/python3", "/tmpfs/stand_in.py", "/tmpfs/reply.json"])
        board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the stand-in's socket")
        result = board.run(board.emulator + [board.build_dir + "/bin/wardctl", "status", "--prometheus"])
        assert board.wait(stand_in, timeout=10) == 0
    assert result.status == 0, result
    names = set(re.findall(r"^# TYPE (\S+) ", result.stdout, re.M))
    # The stand-in's reply reaches every family, the per-process ones too.
    assert {"wardend_up", "wardend_board_uptime_seconds", "wardend_process_respawns_total"} <= names, names
    return names


def rules():
    with open(RULES) as f:
        return [rule for group in yaml.safe_load(f)["groups"] for rule in group["rules"]]


def test_every_alert_has_a_delay_a_severity_and_two_texts():
    alerts = [rule for rule in rules() if "alert" in rule]
    assert len(alerts) >= 10
    for rule in alerts:
        assert re.fullmatch(r"\d+[smh]", rule.get("for", "")), rule["alert"]
        assert rule.get("labels", {}).get("severity") in ("critical", "warning", "info"), rule["alert"]
        assert set(rule.get("annotations", {})) == {"summary", "description"}, rule["alert"]


def test_the_rules_name_only_metrics_that_wardctl_writes(families):
    used = {name for rule in rules() for name in METRIC.findall(rule["expr"])}
    assert used and used <= families, sorted(used - families)


def dashboard_queries(dashboard):
    """Every PromQL text of the dashboard: panel targets (rows included) and
    template variables."""
    queries = []
    panels = list(dashboard["panels"])
    while panels:
        panel = panels.pop()
        panels.extend(panel.get("panels", []))
        queries.extend(target["expr"] for target in panel.get("targets", []))
    for variable in dashboard.get("templating", {}).get("list", []):
        query = variable.get("query")
        queries.append(query["query"] if isinstance(query, dict) else query)
    return queries


def test_the_dashboard_is_json_whose_queries_name_metrics_that_wardctl_writes(families):
    with open(DASHBOARD) as f:
        dashboard = json.load(f)
    queries = dashboard_queries(dashboard)
    assert len(queries) >= 8
    for query in queries:
        named = set(METRIC.findall(query))
        assert named, "a query without a wardend metric: " + query
        assert named <= families, (query, sorted(named - families))
