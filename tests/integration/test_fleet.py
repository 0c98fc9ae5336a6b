# SPDX-License-Identifier: MIT
"""The daemon, the shipped metrics writer, a node exporter and a Prometheus server with the shipped
rules, their `for:` delays made one second: the alert fires between lateness and termination."""
import calendar
import json
import os
import re
import shutil
import time

from board import SOURCE_DIR
from support import BASE_CONFIG, RUN, start_daemon

CYCLE = 30  # seconds: the process is late from the first window's end to the second's
WORK = "/tmpfs/fleet"
NODE, SERVER = "127.0.0.1:9100", "127.0.0.1:9090"
ALERTS = "import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())"


def alerts(board):
    result = board.run(["/usr/bin/python3", "-c", ALERTS, "http://%s/api/v1/alerts" % SERVER])
    return json.loads(result.stdout or "{}")


def firing(board, name):
    return [a for a in alerts(board).get("data", {}).get("alerts", [])
            if a["labels"]["alertname"] == name and a["state"] == "firing"]


def test_a_missed_health_check_fires_the_shipped_alert_in_prometheus(board):
    tools = {name: shutil.which(name) for name in ("prometheus", "prometheus-node-exporter")}
    assert None not in tools.values(), "not installed: %s (scripts/install-deps test)" % tools
    with open(os.path.join(SOURCE_DIR, "packaging", "prometheus", "wardend.rules.yml")) as f:
        rules, delays = re.subn(r"(?m)^(\s+for:) \S+$", r"\1 1s", f.read())
    assert delays >= 10, "the rules file has changed shape: %d delays found" % delays
    board.mkdir(WORK + "/textfile")
    board.write_file(WORK + "/wardend.rules.yml", rules)
    board.write_file(WORK + "/prometheus.yml", "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                     "rule_files: [%s/wardend.rules.yml]\nscrape_configs:\n  - job_name: node\n"
                     "    static_configs: [{targets: ['%s']}]\n" % (WORK, NODE))
    # wardctl as the writer runs it: one path (under a cross build through the emulator).
    board.write_file(WORK + "/wardctl", "#!/bin/sh\nexec %s \"$@\"\n" % " ".join(
        board.emulator + [board.build_dir + "/bin/wardctl"]), mode=0o755)

    board.spawn([tools["prometheus-node-exporter"], "--web.listen-address=" + NODE,
                 "--collector.disable-defaults", "--collector.textfile",
                 "--collector.textfile.directory=" + WORK + "/textfile"])
    board.spawn([tools["prometheus"], "--config.file=" + WORK + "/prometheus.yml",
                 "--storage.tsdb.path=" + WORK + "/data", "--web.listen-address=" + SERVER])
    board.wait_until(lambda: alerts(board).get("status") == "success", 60, "the Prometheus server")
    board.start_program("quiet", pidfile=RUN + "/quiet.pid")
    daemon_start = time.time()
    start_daemon(board, BASE_CONFIG + "AliveWatchPeriod:2\nProcess:MONITOR:%d:%s/quiet.pid:/tmpfs/bin/quiet\n"
                 % (CYCLE, RUN))
    board.spawn(["/bin/sh", "-c", "while :; do %s/packaging/wardend-metrics %s/wardctl; sleep 1; done"
                 % (board.build_dir, WORK)], env={"WARDEND_METRICS_DIR": WORK + "/textfile"})

    # Late from the end of the first window: the alert fires then, before the termination.
    board.wait_until(lambda: firing(board, "WardendHealthCheckLate"), CYCLE + 90, "the alert to fire")
    alert = firing(board, "WardendHealthCheckLate")[0]
    assert (alert["labels"]["name"], alert["labels"]["severity"], alert["annotations"]["summary"]) == (
        "quiet", "critical", "health check of quiet late on %s" % NODE), alert
    active_at = calendar.timegm(time.strptime(alert["activeAt"][:19], "%Y-%m-%dT%H:%M:%S"))  # UTC
    assert active_at >= int(daemon_start) + CYCLE - 1, "pending before the process was late: %s" % alert
    assert not [t for t in board.log_texts() if t.startswith("System down reason")], "down before the alert"
    assert not firing(board, "WardendDown") and not firing(board, "WardendMetricsStale")
