# SPDX-License-Identifier: MIT
# The demo's story shows the status twice before the reboot; with an integrator's own configuration,
# programs go where it names them (a read-only folder too), and the live view runs to the end.
import os
import shutil
import subprocess
import sys

import pytest

from board import BUILD_DIR, SOURCE_DIR

pytestmark = pytest.mark.skipif(bool(os.environ.get("WARDEND_EMULATOR")),
                                reason="the demo's live view needs the device recorder in a native daemon")


def demo(*args):
    argv = [sys.executable, os.path.join(SOURCE_DIR, "board", "demo.py")] + list(args)
    env = dict(os.environ, WARDEND_BUILD_DIR=BUILD_DIR, WARDEND_SOURCE_DIR=SOURCE_DIR)
    result = subprocess.run(argv, capture_output=True, text=True, timeout=120, env=env)
    return result, [line.split(None, 1)[1] for line in result.stdout.splitlines()
                    if line.lstrip()[:1].isdigit()]


def test_story_shows_status_healthy_then_late_before_reboot():
    result, lines = demo("--seconds", "60")
    assert result.returncode == 0, result
    marks = [[i for i, line in enumerate(lines) if text in line]
             for text in ("looks at the status while all is healthy",
                          "looks again: beacon's health check", "System down reason", "command  reboot")]
    assert [len(m) for m in marks[:2]] == [1, 1] and all(marks), result.stdout
    healthy, late, down, _ = marks = [m[0] for m in marks]
    assert marks == sorted(marks), result.stdout
    for start, name, state in ((healthy, "beacon", "healthy"), (healthy, "worker", "healthy"),
                               (late, "beacon", "late")):
        row = next(line for line in lines[start:] if line.startswith("wardctl  %s " % name))
        assert " %s " % state in row, result.stdout
    assert "[beacon] did not sent health check." in lines[down], result.stdout


def test_own_configuration_and_programs(tmp_path):
    for name in ("camd", "netd"):
        shutil.copy(os.path.join(BUILD_DIR, "bin", "pidprog"), tmp_path / name)
    (tmp_path / "board.conf").write_text("WdtRefreshPeriod:1\nAliveWatchPeriod:1\nAliveCheck:proc\n"
                                         "Process:MANAGE:0:/var/run/camd.pid:/usr/sbin/camd\n"
                                         "Process:MONITOR:0:/tmpfs/run/netd.pid:/tmpfs/bin/netd\n"
                                         "Process:MONITOR:0:/tmpfs/run/gone.pid:/tmpfs/bin/gone\n")
    result, lines = demo("--config", str(tmp_path / "board.conf"), "--run",
                         "%s -p /var/run/camd.pid" % (tmp_path / "camd"),
                         "%s -p /tmpfs/run/netd.pid" % (tmp_path / "netd"), "--seconds", "3")
    assert result.returncode == 0 and result.stdout.endswith("board gone\n"), result
    for expected in ["demo     started /usr/sbin/camd -p /var/run/camd.pid",  # only the third line refused
                     "log      err     Config read: PID file is not exist line 6 [/tmpfs/run/gone.pid]",
                     "watchdog keep-alive", "demo     wardend exited with status 0"]:
        assert expected in lines, result.stdout
    assert not any("was not found" in line for line in lines), result.stdout

