# SPDX-License-Identifier: MIT
# In debug mode every log line ends with " | <line>:<function>@<unit>", naming the operation that
# writes the message, not a helper inside it; one run meets a message of each operation a board can reach.
import re
import signal

from board import WDIOF_CARDRESET
from support import RUN, start_daemon

PIDFILE, RECORD = RUN + "/lost.pid", "/tmpfs/state/reboots"

EXPECTED = [
    (r"MSG Queue receive illegal ID! \[9\]", "MsgRcvThread@supervise"),
    (r"No match processes in health check \[nobody\]", "RecvHealthCheck@supervise"),
    (r"MSG Queue receive error! \[Argument list too long\]", "MsgRcvThread@supervise"),
    (r"MSG Queue oversized message dropped! \[1\]", "MsgRcvThread@supervise"),
    (r"Got SIGHUP, re-reading configuration", "sig_handler@wardend"),
    (r"Re-read config request received", "MsgRcvThread@supervise"),
    (r"=============== Debug Information dump", "sig_handler@wardend"),
    (r"Process \[lost:1999999\] was not found", "SuperviseProcessAlive@supervise"),
    (r"Respawn: lost ", "SuperviseProcessAlive_Respawn@supervise"),
    (r"System down reason : Detect that the process \[lost\] was dead\.", "DoSystemTerminate@supervise"),
    (r"PWR-LED open fail", "SetupPowerLed@supervise"),
    (r"Str2Num convert error \[notapid\] : pidof -s lost", "DoSystemTerminate@supervise"),
    (r"Last shutdown: 2026-01-02T03:04:05Z reboot : earlier", "wardend_loop@supervise"),
    (r"Last reset was caused by the watchdog", "wardend_loop@supervise"),
    (r"System down already in progress : Reboot request from application \[app\] : late",
     "DoSystemTerminate@supervise"),
]


def test_debug_lines_name_the_reporting_operation(make_board):
    board = make_board(led=False, bootstatus=WDIOF_CARDRESET)
    board.write_file(RECORD, "2026-01-02T03:04:05Z reboot : earlier\n")
    board.write_file("/tmpfs/bin/lost", "#!/bin/sh\n", mode=0o755)  # the respawn finds it on PATH; it ends
    board.write_file("/tmpfs/bin/pidof", "#!/bin/sh\necho notapid\n", mode=0o755)  # for the sweep's line
    board.write_file(PIDFILE, "1999999\n")  # names no process: found lost, respawned, then dead
    pid = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:3\nTermTimeout:0\nRebootRecord:%s\n"
                       "Process:RESPAWN:0:%s:/tmpfs/bin/lost\n" % (RECORD, PIDFILE), ["-d"])
    # Receiver and signal work first: the termination holds the table (and any re-read) to the end.
    assert board.msgsnd(9, name="app")[0] == 0
    board.health_check("nobody")
    assert board.msgsnd(1, data=b"big".ljust(200, b"\0"), size=200)[0] == 0
    board.kill(pid, signal.SIGHUP)
    board.wait_for_log(r"^Re-read config request received", timeout=5)
    board.kill(pid, signal.SIGUSR2)
    board.wait_for_log(r"^Str2Num convert error \[notapid\]", timeout=20)
    assert board.msgsnd(2, name="app", payload="late")[0] == 0  # the termination has begun

    suffix = re.compile(r" \| \d+:(\w+@\w+)$")
    found = [(text, suffix.search(board.wait_for_log("^" + text, timeout=5).text)) for text, _ in EXPECTED]
    assert [(text, match and match.group(1)) for text, match in found] == EXPECTED
    assert all(suffix.search(line.text) for line in board.log_lines())
