# SPDX-License-Identifier: MIT
"""The watchdog refresh on the simulated board, also when the log, the console or the device misbehaves."""
import errno
import json
import re
import signal
import time

import pytest

from board import LOG_CRIT, LOG_WARNING, PYTHON, WDIOC_BOARD_REQUEST, WDIOC_GETBOOTSTATUS, WDIOC_KEEPALIVE
from support import BASE_CONFIG, RUN, keepalives, start_daemon, wait_for_refreshes, wardctl

SUFFIX = r" \| \d+:WdtKeepAlive@supervise"
FULL_PIPE = """import os, sys
r, w = os.pipe()
if os.fork() == 0:
    os.dup2(r, 0)
    os.execvp("sleep", ["sleep", "3600"])
os.close(r)
os.set_blocking(w, False)
os.write(w, bytes(1 << 20))  # takes what fits
os.set_blocking(w, True)
os.dup2(w, 1)
os.dup2(w, 2)
os.execv(sys.argv[1], sys.argv[1:])
"""


def refused(board):
    return [r for r in keepalives(board) if r.errno is not None]


# Whatever holds up the log, refreshes go on a second apart; a stopped daemon warns of the late interval
# once it flows. Refused keep-alives: a line for each change, every refusal counted in the status. One
# board request, one boot status (the status's), one close of the opened descriptor.
@pytest.mark.parametrize("blocked", ["log", "console"])
def test_refreshes_go_on_while_the_log_blocks_or_the_device_refuses(board, blocked):
    if blocked == "log":
        pid = start_daemon(board, BASE_CONFIG, args=["-d"])
        board.block_log()
    else:
        board.mkdir(RUN)  # for the pid file: nothing is logged at start-up
        board.write_config(BASE_CONFIG)
        pid = board.spawn([PYTHON, "-c", FULL_PIPE] + board.daemon_argv(["-n", "-d"]),
                          env=dict(board.daemon_env(), WARDEND_DEVREC_PROGRAM="wardend"))
    wait_for_refreshes(board, 4)
    stopped = time.time()
    board.kill(pid, signal.SIGSTOP)
    time.sleep(3)
    board.kill(pid, signal.SIGCONT)
    wait_for_refreshes(board, len(keepalives(board)) + 3)
    if blocked == "log":
        board.unblock_log()
    else:  # without a reader the pipe refuses the copy, and the line goes on to the log
        for reader in board.pids("sleep"):
            board.kill(reader, signal.SIGKILL)
    line = board.wait_for_log(r"^Thread interval is too long \[\d+\.\d{3}sec\] \|", severity=LOG_WARNING)
    assert int(re.search(r"\[(\d+)\.", line.text).group(1)) >= 2

    board.refuse_keepalives(errno.EIO)
    board.wait_until(lambda: len(refused(board)) >= 4, 10, "four refused keep-alives")
    assert json.loads(wardctl(board, "status", "--json").stdout)["watchdog"]["refresh_failing"]
    board.refuse_keepalives(None)
    board.wait_for_log("^WDT refresh recovered%s$" % SUFFIX, timeout=10, severity=LOG_CRIT)
    watchdog = json.loads(wardctl(board, "status", "--json").stdout)["watchdog"]
    assert (watchdog["refresh_failing"], watchdog["failed_refreshes"]) == (False, len(refused(board)))
    assert board.stop_daemon(pid, timeout=10) == 0
    assert [(re.sub(r" \| \d+:\w+@\w+\n$", "", l.text), l.severity) for l in board.log_lines()
            if l.severity is not None and l.severity <= LOG_WARNING] == [
        (line.text.split(" | ")[0], LOG_WARNING), ("WDT refresh fail! : Input/output error", LOG_CRIT),
        ("WDT refresh recovered", LOG_CRIT)]
    events = board.device_records("watchdog")
    kinds = [(r.event, r.request) for r in events]
    assert kinds.count(("ioctl", WDIOC_BOARD_REQUEST)) == kinds.count(("close", None)) == 1
    assert kinds.count(("ioctl", WDIOC_GETBOOTSTATUS)) == 1
    assert kinds[-1] == ("close", None) and events[-1].fd == events[0].fd
    refreshes = [r.time for r in events[3:] if r.request == WDIOC_KEEPALIVE and r.time < stopped]
    assert len(refreshes) >= 3 and all(b - a >= 0.9 for a, b in zip(refreshes, refreshes[1:])), refreshes
