# SPDX-License-Identifier: MIT
"""The supervision main loop and the once-a-second pass on the simulated board."""
# A missed health check and the sweep that follows: test_supervise_terminate.
# A managed process found lost, then dead: the pass's unit tests, and the
# reboot loop in test_reboot_record.
# The exit LED setting and a quiet normal exit: test_cli and test_queue.
# A respawned process found again, not respawned twice: test_status.
import re
import signal
import time

from board import LOG_ERR, LOG_WARNING, WDIOC_BOARD_REQUEST as BOARD_REQUEST, WDIOC_KEEPALIVE as KEEPALIVE
from support import RUN, start_daemon


# Refreshes no less than a second apart, a warning for the interval in which the daemon
# was stopped (SIGSTOP for longer than twice the period), then a normal exit.
def test_watchdog_cadence_interval_warning_and_normal_exit(board):
    pid = start_daemon(board, "WdtRefreshPeriod:1\n")
    time.sleep(4.5)
    stopped = time.time()
    board.kill(pid, signal.SIGSTOP)
    time.sleep(3.5)
    board.kill(pid, signal.SIGCONT)
    line = board.wait_for_log(r"^Thread interval is too long \[\d+\.\d{3}sec\]$", timeout=5, severity=LOG_WARNING)
    assert int(re.search(r"\[(\d+)\.", line.text).group(1)) >= 3
    assert board.stop_daemon(pid, timeout=10) == 0
    # The stop message reached the receiver: nothing went wrong on the way out.
    assert [l.text for l in board.log_lines() if l.severity <= LOG_ERR] == []

    events = board.device_records("watchdog")
    kinds = [(r.event, r.request) for r in events]
    # Opened once, one keep-alive, then the board's request right after it
    # and never again; closed once, through the descriptor it opened.
    assert kinds[:3] == [("open", None), ("ioctl", KEEPALIVE), ("ioctl", BOARD_REQUEST)]
    assert kinds.count(("ioctl", BOARD_REQUEST)) == kinds.count(("close", None)) == 1
    assert kinds[-1] == ("close", None) and events[-1].fd == events[0].fd
    refreshes = [r.time for r in events[3:] if r.request == KEEPALIVE and r.time < stopped]
    gaps = [b - a for a, b in zip(refreshes, refreshes[1:])]
    assert len(gaps) >= 2 and all(g >= 0.9 for g in gaps), gaps


# Writes how it was started: its ignored and blocked signals, then what its
# descriptors 0 to 2 are (read before anything is redirected).
REPORTER = """#!/bin/sh
status=$(grep -E '^Sig(Ign|Blk):' /proc/$$/status)
fds=$(for n in 0 1 2; do echo "fd$n $(readlink /proc/$$/fd/$n || echo closed)"; done)
printf '%s\\n%s\\n' "$status" "$fds" > "$1.tmp" && mv "$1.tmp" "$1"
"""


# A respawned program starts as an init system would start it, whatever the
# daemon's own state: no signal ignored (the daemon ignores SIGPIPE) or
# blocked, /dev/null on descriptors 0 to 2 (the daemon closed its own when it
# detached). The pid file names no process, so the first alive check respawns.
def test_respawned_program_starts_with_default_signals_and_dev_null(board):
    board.write_file("/tmpfs/bin/reporter", REPORTER, mode=0o755)
    board.mkdir(RUN)
    board.write_file(RUN + "/r.pid", "1999999\n")
    pid = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:1\n"
                              "Process:RESPAWN:0:%s/r.pid:/tmpfs/bin/reporter:%s/report\n" % (RUN, RUN))
    board.wait_for_log(r"^Respawn: reporter %s/report $" % RUN, timeout=6)
    board.wait_until(lambda: board.exists(RUN + "/report"), 5, "the respawned program's report")
    report = board.read_file(RUN + "/report")
    fields = dict(line.split(None, 1) for line in report.splitlines())
    assert (fields["SigBlk:"], fields["fd0"], fields["fd1"], fields["fd2"]) == (
        "0000000000000000", "/dev/null", "/dev/null", "/dev/null"), report
    # No standard signal is ignored. Signals 32 and 33 belong to the C library,
    # whose posix_spawn leaves them ignored in every child and whose start-up
    # in the program takes them back (an emulator maps them elsewhere).
    ignored = int(fields["SigIgn:"], 16)
    assert ignored & ((1 << 31) - 1) == 0 and (board.emulator or ignored & ~(3 << 31) == 0), report
    sigign = int(re.search(r"^SigIgn:\s*([0-9a-f]+)$", board.read_file("/proc/%d/status" % pid), re.M).group(1), 16)
    assert sigign & (1 << (signal.SIGPIPE - 1)), "the daemon itself still ignores SIGPIPE"
