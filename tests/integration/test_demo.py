# SPDX-License-Identifier: MIT
# The demo with an integrator's own configuration and programs: the programs
# are placed where the file names them (a read-only system folder included)
# and started before the daemon, and the live view shows the daemon's log
# lines, device requests and commands until the demo stops it. The default
# story shows the daemon's own status twice before the reboot.
import os
import subprocess
import sys

import pytest

from board import BUILD_DIR, SOURCE_DIR

DEMO = os.path.join(SOURCE_DIR, "board", "demo.py")


def demo(*args, timeout=120):
    env = dict(os.environ, WARDEND_BUILD_DIR=BUILD_DIR, WARDEND_SOURCE_DIR=SOURCE_DIR)
    return subprocess.run([sys.executable, DEMO] + list(args), capture_output=True, text=True, timeout=timeout,
                          env=env)


def shown(result):
    """The live view's lines without their time stamps."""
    return [line.split(None, 1)[1] for line in result.stdout.splitlines() if line.lstrip()[:1].isdigit()]


def rows(lines, start):
    """{name: the rest of its row} of the status table shown after lines[start]."""
    table = {}
    head = next(i for i in range(start, len(lines)) if lines[i].startswith("wardctl  NAME "))
    for line in lines[head + 1:]:
        if not line.startswith("wardctl  ") or line.startswith("wardctl  watchdog:"):
            break
        name, rest = line[len("wardctl  "):].split(None, 1)
        table[name] = rest
    return table


def test_story_shows_status_healthy_then_late_before_reboot():
    if os.environ.get("WARDEND_EMULATOR"):
        pytest.skip("the demo's live view needs the device recorder in a native daemon")
    result = demo("--seconds", "60")
    assert result.returncode == 0, result
    lines = shown(result)
    healthy = [i for i, line in enumerate(lines) if "looks at the status while all is healthy" in line]
    late = [i for i, line in enumerate(lines) if "looks again: beacon's health check is late" in line]
    reboot = lines.index("command  reboot") if "command  reboot" in lines else None
    assert len(healthy) == 1 and len(late) == 1 and reboot is not None, result.stdout
    assert healthy[0] < late[0] < reboot, result.stdout
    first, second = rows(lines, healthy[0]), rows(lines, late[0])
    assert set(first) == set(second) == {"beacon", "worker"}, result.stdout
    assert all(" healthy " in row for row in first.values()), result.stdout
    assert " late " in second["beacon"], result.stdout
    # The reason comes after the daemon's own view of it.
    down = next(i for i, line in enumerate(lines) if "System down reason" in line)
    assert late[0] < down and "[beacon] did not sent health check." in lines[down], result.stdout


def test_own_configuration_and_programs(tmp_path):
    if os.environ.get("WARDEND_EMULATOR"):
        pytest.skip("the demo's live view needs the device recorder in a native daemon")
    pidprog = os.path.join(BUILD_DIR, "bin", "pidprog")
    for name in ("camd", "netd"):
        (tmp_path / name).write_bytes(open(pidprog, "rb").read())
        os.chmod(tmp_path / name, 0o755)
    conf = tmp_path / "board.conf"
    conf.write_text("WdtRefreshPeriod:1\nAliveWatchPeriod:1\nAliveCheck:proc\n"
                    "Process:MANAGE:0:/var/run/camd.pid:/usr/sbin/camd\n"
                    "Process:MONITOR:0:/tmpfs/run/netd.pid:/tmpfs/bin/netd\n"
                    "Process:MONITOR:0:/tmpfs/run/gone.pid:/tmpfs/bin/gone\n")
    result = demo("--config", str(conf), "--run", "%s -p /var/run/camd.pid" % (tmp_path / "camd"),
                  "%s -p /tmpfs/run/netd.pid" % (tmp_path / "netd"), "--seconds", "3")
    assert result.returncode == 0, result
    lines = shown(result)
    for expected in ["demo     started /usr/sbin/camd -p /var/run/camd.pid",
                     "demo     started /tmpfs/bin/netd -p /tmpfs/run/netd.pid",
                     # Both programs' lines were taken: only the third is refused.
                     "log      err     Config read: PID file is not exist line 6 [/tmpfs/run/gone.pid]",
                     "watchdog device open", "watchdog keep-alive", "demo     wardend exited with status 0"]:
        assert expected in lines, result.stdout
    assert not any("was not found" in line for line in lines), result.stdout
    assert result.stdout.endswith("board gone\n"), result.stdout


@pytest.mark.parametrize("args, status, message", [
    (["--run", "/bin/true"], 2, "--run needs --config"),
    (["--config", "/nonexistent/board.conf"], 1,
     "demo: cannot read /nonexistent/board.conf: No such file or directory"),
    (["--config", os.path.join(SOURCE_DIR, "examples", "wardend.conf"), "--run", "/nonexistent/camd"], 1,
     "demo: --run /nonexistent/camd: no such file"),
], ids=["run-without-config", "missing-config", "missing-program"])
def test_own_configuration_mistakes(args, status, message):
    result = demo(*args)
    assert result.returncode == status, result
    assert message in result.stderr and "board up" not in result.stdout, result
