# SPDX-License-Identifier: MIT
"""A fleet's view of one board, end to end: the daemon, the shipped metrics
writer run every second (as its timer would, faster), Debian's node
exporter reading the writer's folder, and a real Prometheus server loaded
with the shipped alert rules, all on one simulated board, whose loopback is
its own. A process that sends no health check makes the shipped alert for
it fire in Prometheus's API.

The rules are used as shipped except for their `for:` delays, which the test
shortens mechanically to one second (and the server scrapes and evaluates
every second), so that the alert fires within the one health-check cycle
between the check going late and the termination that follows.
"""
import calendar
import json
import os
import re
import shutil
import time

import pytest

from support import BASE_CONFIG, RUN, start_daemon

CYCLE = 30  # seconds: the process is late from the first window's end to the second's
WORK = "/tmpfs/fleet"
METRICS_DIR = WORK + "/textfile"
NODE_ADDRESS = "127.0.0.1:9100"
SERVER_ADDRESS = "127.0.0.1:9090"
DEADLINE = 90  # seconds for the alert to fire once the process is late

# Prints the server's alerts (GET /api/v1/alerts), or {} while it does not answer.
ALERTS = r'''
import json, sys, urllib.request
try:
    with urllib.request.urlopen("http://%s/api/v1/alerts" % sys.argv[1], timeout=5) as reply:
        print(reply.read().decode())
except OSError:
    print("{}")
'''


def shortened_rules(text):
    """The shipped rules with every `for:` delay made one second."""
    shortened, count = re.subn(r"(?m)^(\s+for:) \S+$", r"\1 1s", text)
    assert count >= 10, "the rules file has changed shape: %d delays found" % count
    return shortened


def firing(board, alertname):
    result = board.run(["/usr/bin/python3", WORK + "/alerts.py", SERVER_ADDRESS])
    assert result.status == 0, result
    alerts = json.loads(result.stdout).get("data", {}).get("alerts", [])
    return [a for a in alerts if a["labels"]["alertname"] == alertname and a["state"] == "firing"]


def test_a_missed_health_check_fires_the_shipped_alert_in_prometheus(board):
    tools = {name: shutil.which(name) for name in ("prometheus", "prometheus-node-exporter")}
    missing = [name for name, path in tools.items() if path is None]
    assert not missing, "not installed: %s (scripts/install-deps test)" % missing
    source = os.environ.get("WARDEND_SOURCE_DIR") or os.path.join(os.path.dirname(__file__), "..", "..")
    with open(os.path.join(source, "packaging", "prometheus", "wardend.rules.yml")) as f:
        rules = shortened_rules(f.read())

    board.mkdir(METRICS_DIR)
    board.mkdir(WORK + "/data")
    board.write_file(WORK + "/wardend.rules.yml", rules)
    board.write_file(WORK + "/prometheus.yml",
                     "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                     "rule_files: [%s/wardend.rules.yml]\n"
                     "scrape_configs:\n"
                     "  - job_name: node\n"
                     "    static_configs: [{targets: ['%s']}]\n" % (WORK, NODE_ADDRESS))
    board.write_file(WORK + "/alerts.py", ALERTS)
    # wardctl as the writer runs it: one path (under a cross build through
    # the emulator).
    board.write_file(WORK + "/wardctl", "#!/bin/sh\nexec %s \"$@\"\n" % " ".join(
        board.emulator + [board.build_dir + "/bin/wardctl"]), mode=0o755)
    writer = board.build_dir + "/packaging/wardend-metrics"

    started = []
    try:
        started.append(board.spawn([tools["prometheus-node-exporter"], "--web.listen-address=" + NODE_ADDRESS,
                                    "--collector.disable-defaults", "--collector.textfile",
                                    "--collector.textfile.directory=" + METRICS_DIR]))
        started.append(board.spawn([tools["prometheus"], "--config.file=" + WORK + "/prometheus.yml",
                                    "--storage.tsdb.path=" + WORK + "/data",
                                    "--web.listen-address=" + SERVER_ADDRESS]))
        board.wait_until(lambda: json.loads(board.run(["/usr/bin/python3", WORK + "/alerts.py", SERVER_ADDRESS])
                                            .stdout).get("status") == "success", 60, "the Prometheus server")

        board.start_program("quiet", pidfile=RUN + "/quiet.pid")
        daemon_start = time.time()
        start_daemon(board, BASE_CONFIG + "AliveWatchPeriod:2\nProcess:MONITOR:%d:%s/quiet.pid:/tmpfs/bin/quiet\n"
                     % (CYCLE, RUN))
        started.append(board.spawn(["/bin/sh", "-c", "while :; do %s %s/wardctl; sleep 1; done" % (writer, WORK)],
                                   env={"WARDEND_METRICS_DIR": METRICS_DIR}))
        board.wait_until(lambda: "\nwardend_up 1\n" in (board.read_file(METRICS_DIR + "/wardend.prom") or ""),
                         20, "the metrics file")

        # The process is late from the end of its first window; the alert
        # fires after that, and before the termination at the second's end.
        board.wait_until(lambda: firing(board, "WardendHealthCheckLate"), CYCLE + DEADLINE,
                         "WardendHealthCheckLate to fire")
        alert = firing(board, "WardendHealthCheckLate")[0]
        assert alert["labels"]["name"] == "quiet" and alert["labels"]["severity"] == "critical", alert
        assert alert["annotations"]["summary"] == "health check of quiet late on %s" % NODE_ADDRESS, alert
        active = alert["activeAt"]  # RFC 3339 in UTC, to the nanosecond
        active_at = calendar.timegm(time.strptime(active[:19], "%Y-%m-%dT%H:%M:%S"))
        assert active_at >= int(daemon_start) + CYCLE - 1, "pending before the process was late: %s" % alert
        assert not [line for line in board.log_texts() if line.startswith("System down reason")], \
            "the board went down before the alert fired"
        # The healthy rest of the board fires nothing.
        assert not firing(board, "WardendDown") and not firing(board, "WardendMetricsStale")
    finally:
        for pid in reversed(started):
            board.kill(pid)
        for pid in started:
            assert board.wait(pid, timeout=30) is not None, "pid %d did not end" % pid
