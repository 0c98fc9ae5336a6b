# SPDX-License-Identifier: MIT
"""WdtPriority on the simulated board: the watchdog thread under SCHED_FIFO
and the daemon's memory locked when the board lets it, the warnings and an
unchanged daemon when it does not."""
import os
import resource
import signal

import pytest

from board import LOG_ERR, LOG_WARNING, REALTIME_CAPS
from support import keepalives as refreshes, wait_for_refreshes

SCHED_OTHER, SCHED_FIFO = 0, 1
MIB = 1024 * 1024


def skip_unless_native(board):
    if board.emulator:
        pytest.skip("under qemu-user the locks and priorities would be the emulator's, not the board program's")


def start_daemon(board, config, memlock=None):
    """Starts the daemon, under a lower RLIMIT_MEMLOCK when memlock (bytes)
    is given (lowering needs no privilege); returns its pid once the
    watchdog thread has refreshed."""
    board.write_config(config)
    argv, env = board.daemon_argv(), board.daemon_env()
    if memlock is not None:
        # The recorder waits in prlimit for the daemon it starts.
        argv = ["prlimit", "--memlock=%d:%d" % (memlock, memlock), "--"] + argv
        env["WARDEND_DEVREC_PROGRAM"] = "wardend"
    result = board.run(argv, env=env)
    assert result.status == 0, result.stderr
    pid = board.wait_daemon_pid()
    wait_for_refreshes(board)
    return pid


def threads(board, pid):
    """{tid: (policy, rt priority)} from /proc/<pid>/task/<tid>/stat."""
    listing = board.run(["ls", "/proc/%d/task" % pid]).stdout.split()
    found = {}
    for tid in listing:
        stat = board.read_file("/proc/%d/task/%s/stat" % (pid, tid))
        if stat:
            fields = stat.rsplit(")", 1)[1].split()
            # Fields 40 and 41 of stat; the list starts at field 3.
            found[int(tid)] = (int(fields[38]), int(fields[37]))
    return found


def thread_count_is(board, count, expected):
    """The daemon's threads; a sanitizer's runtime may add threads of its own."""
    return count == expected or board.sanitizer() != "" and count > expected


def status_kb(board, pid, key):
    for line in board.read_file("/proc/%d/status" % pid).splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return None


def memlock_hard_limit():
    hard = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]
    return float("inf") if hard == resource.RLIM_INFINITY else hard


# With the capabilities (the way a board's init would start it): the thread
# that refreshes runs SCHED_FIFO at the priority, every other thread stays
# as it was, and the memory is locked. A re-read (shell commands from a
# locked daemon) and the exit work as before.
def test_watchdog_thread_runs_real_time_with_locked_memory(make_board):
    if os.geteuid() != 0:
        pytest.skip("only root can keep capabilities on the board")
    board = make_board(cap_add=REALTIME_CAPS)
    skip_unless_native(board)
    pid = start_daemon(board, "WdtRefreshPeriod:1\nWdtPriority:42\n")
    refresher = [r.tid for r in refreshes(board) if r.tid != pid][0]
    seen = threads(board, pid)
    assert seen.pop(refresher) == (SCHED_FIFO, 42)
    # Besides it: main, the receiver, the cyclic thread, the signal worker
    # and the status server.
    assert set(seen.values()) == {(SCHED_OTHER, 0)} and thread_count_is(board, len(seen), 5)
    if not board.sanitizer():  # the sanitizers turn mlockall into a no-op
        assert status_kb(board, pid, "VmLck") > 0
    board.kill(pid, signal.SIGHUP)
    board.wait_for_log(r"^Re-read config request received$")
    assert board.stop_daemon(pid, timeout=10) == 0
    assert [l.text for l in board.log_lines() if l.severity <= LOG_WARNING] == []


# Without the capabilities: no real-time priority (the rtprio limit is 0),
# said once; under a modest RLIMIT_MEMLOCK of 8 MiB the memory is still
# locked, since the thread stacks are small; under one that is too small the
# lock fails, is said, and the daemon runs on unlocked with all its threads.
@pytest.mark.parametrize("memlock,locked", [(8 * MIB, True), (1 * MIB, False)], ids=["8MiB", "1MiB"])
def test_without_capabilities_the_daemon_says_so_and_runs_on(make_board, memlock, locked):
    if memlock > memlock_hard_limit():
        pytest.skip("the harness's own RLIMIT_MEMLOCK is below %d bytes" % memlock)
    board = make_board(cap_drop=REALTIME_CAPS)
    skip_unless_native(board)
    pid = start_daemon(board, "WdtRefreshPeriod:1\nWdtPriority:42\n", memlock=memlock)
    warnings = [l.text for l in board.log_lines() if l.severity == LOG_WARNING]
    assert warnings == ([] if locked or board.sanitizer() else ["Memory lock fail! : Cannot allocate memory"]) + \
        ["WDT thread priority set fail! : Operation not permitted"]
    seen = threads(board, pid)
    assert set(seen.values()) == {(SCHED_OTHER, 0)} and thread_count_is(board, len(seen), 6)
    if not board.sanitizer():
        assert (status_kb(board, pid, "VmLck") > 0) == locked
    board.kill(pid, signal.SIGHUP)
    board.wait_for_log(r"^Re-read config request received$")
    wait_for_refreshes(board, len(refreshes(board)) + 2)
    assert board.stop_daemon(pid, timeout=10) == 0
    assert [l.text for l in board.log_lines() if l.severity <= LOG_ERR] == []
