"""The watchdog refresh on the simulated board when the world around it
misbehaves: a system log that nobody reads, and a device that refuses the
keep-alives. The cadence, the late-interval warning and the exit with a
device that works: test_supervise."""
import errno
import json
import re
import signal
import time

from board import LOG_CRIT, LOG_WARNING, WDIOC_KEEPALIVE
from support import BASE_CONFIG, keepalives, start_daemon, wait_for_refreshes, wardctl

EIO_TEXT = "Input/output error"


# The log reader stops, and then the whole daemon is stopped for longer than
# twice the period, so its next interval is late. The refreshes go on while
# the warning waits for the log; once the log is read again, the warning
# comes with its figures.
def test_a_log_nobody_reads_does_not_stop_the_refreshes(board):
    pid = start_daemon(board, BASE_CONFIG)
    wait_for_refreshes(board)
    board.block_log()
    board.kill(pid, signal.SIGSTOP)
    time.sleep(3)
    before = len(keepalives(board))
    board.kill(pid, signal.SIGCONT)
    wait_for_refreshes(board, before + 3)
    board.unblock_log()
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
# the last refresh that worked. The daemon asks the device for nothing more.
def test_refused_keepalives_are_logged_once_counted_and_shown(board):
    pid = start_daemon(board, BASE_CONFIG)
    board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the status socket")
    wait_for_refreshes(board)
    watchdog = status(board)["watchdog"]
    assert (watchdog["failed_refreshes"], watchdog["refresh_failing"], watchdog["refresh_error"]) == (0, False, None)

    board.refuse_keepalives(errno.EIO)
    board.wait_for_log("^WDT refresh fail! : %s$" % EIO_TEXT, timeout=10, severity=LOG_CRIT)
    board.wait_until(lambda: len(refused(board)) >= 4, 10, "four refused keep-alives")
    watchdog = status(board)["watchdog"]
    assert (watchdog["refresh_failing"], watchdog["refresh_error"]) == (True, EIO_TEXT)
    assert watchdog["failed_refreshes"] >= 4
    # Three periods at least since the last keep-alive that was taken.
    assert watchdog["since_refresh"] >= 2.5, watchdog
    assert "watchdog: refresh failing (%s), last accepted " % EIO_TEXT in wardctl(board, "status").stdout
    assert "\nwardend_watchdog_refresh_failing 1\n" in wardctl(board, "status", "--prometheus").stdout

    board.refuse_keepalives(None)
    board.wait_for_log("^WDT refresh recovered$", timeout=10, severity=LOG_CRIT)
    watchdog = status(board)["watchdog"]
    assert (watchdog["refresh_failing"], watchdog["refresh_error"]) == (False, None)
    assert watchdog["failed_refreshes"] == len(refused(board))
    assert "\nwardend_watchdog_refresh_failing 0\n" in wardctl(board, "status", "--prometheus").stdout
    assert board.stop_daemon(pid, timeout=10) == 0

    assert [(l.text, l.severity) for l in board.log_lines() if l.severity is not None and l.severity <= LOG_WARNING] \
        == [("WDT refresh fail! : " + EIO_TEXT, LOG_CRIT), ("WDT refresh recovered", LOG_CRIT)]
    requests = [r.request for r in board.device_records("watchdog") if r.event == "ioctl"]
    assert set(requests[2:]) == {WDIOC_KEEPALIVE}, requests
