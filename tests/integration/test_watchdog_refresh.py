# SPDX-License-Identifier: MIT
"""The watchdog refresh on the simulated board when the world around it
misbehaves: a system log that blocks, and a device that refuses the
keep-alives. The cadence, the late-interval warning and the exit with a
device that works: test_supervise."""
import errno
import json
import re
import signal
import time

import pytest

from board import LOG_CRIT, LOG_WARNING, PYTHON, WDIOC_GETBOOTSTATUS, WDIOC_KEEPALIVE
from support import BASE_CONFIG, RUN, keepalives, start_daemon, wait_for_refreshes, wardctl

EIO_TEXT = "Input/output error"
SUFFIX = r" \| \d+:WdtKeepAlive@supervise"


# Runs the daemon in the foreground (-n) with its standard output and error
# a pipe that is full and that a sleep holds open without reading, as a
# console that does not take the copy of the log.
FULL_PIPE = r"""
import fcntl, os, sys
r, w = os.pipe()
if os.fork() == 0:
    os.dup2(r, 0)
    os.execvp("sleep", ["sleep", "3600"])
os.close(r)
flags = fcntl.fcntl(w, fcntl.F_GETFL)
fcntl.fcntl(w, fcntl.F_SETFL, flags | os.O_NONBLOCK)
for size in (4096, 1):
    try:
        while True:
            os.write(w, b"x" * size)
    except BlockingIOError:
        pass
fcntl.fcntl(w, fcntl.F_SETFL, flags)
os.dup2(w, 1)
os.dup2(w, 2)
os.close(w)
os.execv(sys.argv[1], sys.argv[1:])
"""


def start_on_full_console(board):
    board.mkdir(RUN)  # for the pid file: nothing is logged at start-up
    board.write_config(BASE_CONFIG)
    env = dict(board.daemon_env(), WARDEND_DEVREC_PROGRAM="wardend")
    return board.spawn([PYTHON, "-c", FULL_PIPE] + board.daemon_argv(["-n"]), env=env)


# Whatever holds up the log, the reader of /dev/log that stops reading or a
# console that does not take the -n copy: the whole daemon is stopped for
# longer than twice the period, so its next interval is late, and the
# refreshes go on while the warning waits for the log. Once the log takes
# lines again, the warning comes with its figures.
@pytest.mark.parametrize("blocked", ["log", "console"])
def test_a_log_that_blocks_does_not_stop_the_refreshes(board, blocked):
    if blocked == "log":
        pid = start_daemon(board, BASE_CONFIG)
        board.block_log()
    else:
        pid = start_on_full_console(board)
    wait_for_refreshes(board)
    board.kill(pid, signal.SIGSTOP)
    time.sleep(3)
    before = len(keepalives(board))
    board.kill(pid, signal.SIGCONT)
    wait_for_refreshes(board, before + 3)
    if blocked == "log":
        board.unblock_log()
    else:
        # Without a reader the pipe refuses the copy, and the line goes on to the log.
        for reader in board.pids("sleep"):
            board.kill(reader, signal.SIGKILL)
    line = board.wait_for_log(r"^Thread interval is too long \[\d+\.\d{3}sec\]$", timeout=10, severity=LOG_WARNING)
    assert int(re.search(r"\[(\d+)\.", line.text).group(1)) >= 2
    assert board.stop_daemon(pid, timeout=10) == 0


def status(board):
    return json.loads(wardctl(board, "status", "--json").stdout)


def refused(board):
    return [r for r in keepalives(board) if r.errno is not None]


# The device refuses every keep-alive for a while and then takes them again:
# one LOG_CRIT line for each change, every refusal counted, and the status
# tells, while it lasts, that the board is not protected, with the age of
# the last refresh that worked. The daemon asks the device for nothing more
# but, once, the boot status the status reply carries.
# In debug mode both lines name the keep-alive as their operation.
def test_refused_keepalives_are_logged_once_counted_and_shown(board):
    pid = start_daemon(board, BASE_CONFIG, args=["-d"])
    board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the status socket")
    wait_for_refreshes(board)
    watchdog = status(board)["watchdog"]
    assert (watchdog["failed_refreshes"], watchdog["refresh_failing"], watchdog["refresh_error"]) == (0, False, None)

    board.refuse_keepalives(errno.EIO)
    board.wait_for_log("^WDT refresh fail! : %s%s$" % (EIO_TEXT, SUFFIX), timeout=10, severity=LOG_CRIT)
    board.wait_until(lambda: len(refused(board)) >= 4, 10, "four refused keep-alives")
    watchdog = status(board)["watchdog"]
    assert (watchdog["refresh_failing"], watchdog["refresh_error"]) == (True, EIO_TEXT)
    assert watchdog["failed_refreshes"] >= 4
    # Three periods at least since the last keep-alive that was taken.
    assert watchdog["since_refresh"] >= 2.5, watchdog

    board.refuse_keepalives(None)
    board.wait_for_log("^WDT refresh recovered%s$" % SUFFIX, timeout=10, severity=LOG_CRIT)
    watchdog = status(board)["watchdog"]
    assert (watchdog["refresh_failing"], watchdog["refresh_error"]) == (False, None)
    assert watchdog["failed_refreshes"] == len(refused(board))
    assert board.stop_daemon(pid, timeout=10) == 0

    assert [(re.sub(SUFFIX + "\n$", "", l.text), l.severity) for l in board.log_lines()
            if l.severity is not None and l.severity <= LOG_WARNING] \
        == [("WDT refresh fail! : " + EIO_TEXT, LOG_CRIT), ("WDT refresh recovered", LOG_CRIT)]
    # Beside the keep-alives, only the boot status that the first status
    # request asks once.
    requests = [r.request for r in board.device_records("watchdog") if r.event == "ioctl"]
    assert requests.count(WDIOC_GETBOOTSTATUS) == 1, requests
    assert set(requests[2:]) == {WDIOC_KEEPALIVE, WDIOC_GETBOOTSTATUS}, requests
