# SPDX-License-Identifier: MIT
# In debug mode every log line ends with " | <line>:<function>@<unit>", and
# the function is the operation that writes the message, not whichever helper
# the code uses inside it. One daemon run on the simulated board meets a
# message of each operation that a board can be made to reach.
import re
import signal

from board import WDIOF_CARDRESET
from support import RUN

PROGRAM = "/tmpfs/bin/lost"
PIDFILE = RUN + "/lost.pid"
# A pidof that answers with no pid, so the termination's sweep reports it.
FAKE_PIDOF = "#!/bin/sh\necho notapid\n"
RECORD = "/tmpfs/state/reboots"
CONFIG = ("WdtRefreshPeriod:1\nAliveWatchPeriod:3\nTermTimeout:0\nPowerWatchPeriod:x\n"
          "Process:RESPAWN:0:%s:%s\nRebootRecord:%s\n" % (PIDFILE, PROGRAM, RECORD))

# Message (start of the text), and the operation and unit it is reported under.
EXPECTED = [
    (r"Str2Num convert error \[x\]", "handle_numeric", "readconfig"),
    (r"MSG Queue receive illegal ID! \[9\]", "MsgRcvThread", "supervise"),
    (r"No match processes in health check \[nobody\]", "RecvHealthCheck", "supervise"),
    (r"MSG Queue receive error! \[Argument list too long\]", "MsgRcvThread", "supervise"),
    (r"MSG Queue oversized message dropped! \[1\]", "MsgRcvThread", "supervise"),
    (r"Got SIGHUP, re-reading configuration", "sig_handler", "wardend"),
    (r"Re-read config request received", "MsgRcvThread", "supervise"),
    (r"=============== Debug Information dump", "sig_handler", "wardend"),
    (r"Process \[lost:1999999\] was not found", "SuperviseProcessAlive", "supervise"),
    (r"Respawn: lost ", "SuperviseProcessAlive_Respawn", "supervise"),
    (r"System down reason : Detect that the process \[lost\] was dead\.", "DoSystemTerminate", "supervise"),
    (r"PWR-LED open fail", "SetupPowerLed", "supervise"),
    (r"Str2Num convert error \[notapid\] : pidof -s lost", "DoSystemTerminate", "supervise"),
    (r"Last shutdown: 2026-01-02T03:04:05Z reboot : earlier", "wardend_loop", "supervise"),
    (r"Last reset was caused by the watchdog", "wardend_loop", "supervise"),
    (r"System down already in progress : Reboot request from application \[app\] : late", "DoSystemTerminate",
     "supervise"),
]


def test_debug_lines_name_the_reporting_operation(make_board):
    board = make_board(led=False, bootstatus=WDIOF_CARDRESET)
    board.write_file(RECORD, "2026-01-02T03:04:05Z reboot : earlier\n")
    board.write_file(PROGRAM, "#!/bin/sh\n", mode=0o755)  # the respawn finds it on PATH and it ends at once
    board.write_file("/tmpfs/bin/pidof", FAKE_PIDOF, mode=0o755)
    board.mkdir(RUN)
    board.write_file(PIDFILE, "1999999\n")  # names no process: found lost, respawned, then dead
    board.write_config(CONFIG)
    assert board.daemon(["-d"]).status == 0
    pid = board.wait_daemon_pid()
    # Receiver and signal work first: the termination holds the table's lock
    # (and so any re-read) until the board goes down.
    assert board.msgsnd(9, name="app")[0] == 0
    board.health_check("nobody")
    assert board.msgsnd(1, data=b"big".ljust(200, b"\0"), size=200)[0] == 0
    board.kill(pid, signal.SIGHUP)
    board.wait_for_log(r"^Re-read config request received", timeout=5)
    board.kill(pid, signal.SIGUSR2)
    board.wait_for_log(r"^Str2Num convert error \[notapid\]", timeout=20)
    assert board.msgsnd(2, name="app", payload="late")[0] == 0  # the termination has begun

    suffix = re.compile(r" \| \d+:(\w+)@(\w+)$")
    found = []
    for text, function, unit in EXPECTED:
        line = board.wait_for_log("^" + text, timeout=5)
        match = suffix.search(line.text)
        found.append((text, match.groups() if match else line.text))
    assert found == [(text, (function, unit)) for text, function, unit in EXPECTED]
    # Every line carries a suffix, the dumps' lines too.
    assert all(suffix.search(line.text) for line in board.log_lines())
