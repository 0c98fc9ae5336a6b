# SPDX-License-Identifier: MIT
"""The Python client with the daemon on the simulated board: a Python
application's health checks keep it alive."""
import os

from board import DEFAULT_CONFIG, LOG_WARNING, SOURCE_DIR

# A Python application as a board would run it: a script named after
# itself, writing its pid file and sending a health check now and then.
APP = """#!/usr/bin/python3
import os, sys, time
sys.path.insert(0, %r)
import wardclient
name = os.path.basename(sys.argv[0])
with open("/tmpfs/run/%%s.pid" %% name, "w") as f:
    f.write("%%d\\n" %% os.getpid())
while True:
    try:
        wardclient.health(name)
    except wardclient.NoDaemonError:
        pass  # not started yet, or starting again
    time.sleep(0.3)
""" % os.path.join(SOURCE_DIR, "client", "python")


def start_app(board, name):
    path = "/tmpfs/bin/" + name
    board.write_file(path, APP, mode=0o755)
    board.mkdir("/tmpfs/run")
    pid = board.spawn([path])
    board.wait_until(lambda: (board.read_file("/tmpfs/run/%s.pid" % name) or "").strip() == str(pid),
                     10, "pid file of " + name)
    return pid


def test_python_health_checks_keep_the_application_alive(board):
    pyapp = start_app(board, "pyapp")
    # A second entry with the same cycle that never reports: the pass judges
    # pyapp first, so the failure naming the silent one shows that pyapp's
    # checks arrived in every window until then.
    board.start_program("silent", pidfile="/tmpfs/run/silent.pid")
    board.write_config("WdtRefreshPeriod:1\nAliveWatchPeriod:1\n"
                       "Process:MONITOR:1:/tmpfs/run/pyapp.pid:/tmpfs/bin/pyapp\n"
                       "Process:MONITOR:1:/tmpfs/run/silent.pid:/tmpfs/bin/silent\n", DEFAULT_CONFIG)
    assert board.daemon().status == 0
    down = board.wait_for_log(r"^System down reason : ", timeout=15, severity=LOG_WARNING)
    assert down.text == "System down reason : Detect that the process [silent] did not sent health check."
    assert board.alive(pyapp)
    assert not [t for t in board.log_texts() if "No match processes" in t or "was not found" in t]

