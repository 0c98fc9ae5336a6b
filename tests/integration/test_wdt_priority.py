# SPDX-License-Identifier: MIT
"""WdtPriority on the simulated board."""
import os
import resource
import signal

import pytest

from board import LOG_WARNING, REALTIME_CAPS
from support import keepalives, wait_for_refreshes, watchdog_thread

SCHED_OTHER, SCHED_FIFO = 0, 1
MIB = 1024 * 1024
NO_PRIORITY = "WDT thread priority set fail! : Operation not permitted"


# Only the refreshing thread runs SCHED_FIFO; memory is locked under a modest RLIMIT_MEMLOCK. What fails
# is said once, and a re-read (shell commands from a locked daemon) and the exit work.
@pytest.mark.parametrize("caps,memlock,warnings", [
    (True, None, []),
    (False, 8 * MIB, [NO_PRIORITY]),
    (False, 1 * MIB, ["Memory lock fail! : Cannot allocate memory", NO_PRIORITY]),
], ids=["capabilities", "8MiB", "1MiB"])
def test_watchdog_thread_priority_and_locked_memory(make_board, caps, memlock, warnings):
    hard = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]
    if caps and os.geteuid() != 0 or memlock and hard != resource.RLIM_INFINITY and memlock > hard:
        pytest.skip("the harness cannot keep capabilities or has a lower RLIMIT_MEMLOCK")
    board = make_board(**{"cap_add" if caps else "cap_drop": REALTIME_CAPS})
    if board.emulator:
        pytest.skip("under qemu-user the locks and priorities would be the emulator's")
    board.write_config("WdtRefreshPeriod:1\nWdtPriority:42\n")
    argv, env = board.daemon_argv(), board.daemon_env()
    if memlock:  # the recorder waits in prlimit for the daemon it starts
        argv = ["prlimit", "--memlock=%d:%d" % (memlock, memlock), "--"] + argv
        env["WARDEND_DEVREC_PROGRAM"] = "wardend"
    assert (started := board.run(argv, env=env)).status == 0
    pid = board.wait_daemon_pid(started)
    refresher = watchdog_thread(board, pid)
    seen = {}  # {tid: (policy, rt priority)}: fields 41 and 40 of each task's stat
    for tid in board.run(["ls", "/proc/%d/task" % pid]).stdout.split():
        stat = board.read_file("/proc/%d/task/%s/stat" % (pid, tid))
        if stat:
            fields = stat.rsplit(")", 1)[1].split()  # from field 3 on
            seen[int(tid)] = (int(fields[38]), int(fields[37]))
    assert seen.pop(refresher) == ((SCHED_FIFO, 42) if caps else (SCHED_OTHER, 0))
    # A sanitizer's runtime may add threads of its own, and makes mlockall a no-op.
    assert set(seen.values()) == {(SCHED_OTHER, 0)}
    assert len(seen) == 5 or board.sanitizer() and len(seen) > 5
    if board.sanitizer():
        warnings = [w for w in warnings if not w.startswith("Memory")]
    else:
        locked = [l for l in board.read_file("/proc/%d/status" % pid).splitlines() if l.startswith("VmLck:")]
        assert (int(locked[0].split()[1]) > 0) == (len(warnings) < 2)
    board.kill(pid, signal.SIGHUP)
    board.wait_for_log(r"^Re-read config request received$")
    wait_for_refreshes(board, len(keepalives(board)) + 2)
    assert board.stop_daemon(pid, timeout=10) == 0
    assert [l.text for l in board.log_lines() if l.severity <= LOG_WARNING] == warnings
