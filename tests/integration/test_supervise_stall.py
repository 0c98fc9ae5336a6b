# SPDX-License-Identifier: MIT
"""SuperviseStallTimeout on the simulated board: a pass that hangs stops the
watchdog refreshes once, and so does a pass that waits for the table or a
termination step that takes too long; a termination's ordinary grace wait
is no stall."""
import signal
import time

import pytest

from board import LOG_CRIT
from support import RUN, keepalives, start_daemon

STALL = r"^Supervision stalled for (\d+) sec, watchdog refresh stopped$"


def watchdog_thread(board, pid):
    """The thread that refreshes the device (the main thread makes only the first keep-alive)."""
    board.wait_until(lambda: [r for r in keepalives(board) if r.tid != pid], 10, "the watchdog thread's refresh")
    return [r for r in keepalives(board) if r.tid != pid][0].tid


# A RESPAWN entry whose respawn command never returns holds the pass: after
# the timeout the watchdog thread says so once and refreshes no more.
def test_pass_hanging_in_a_respawn_stops_the_refreshes(board):
    board.write_file("/tmpfs/bin/hangs", "#!/bin/sh\nexec sleep 600\n", mode=0o755)
    board.write_file(RUN + "/hangs.pid", "999999\n")
    pid = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:1\nSuperviseStallTimeout:3\n"
                              "Process:RESPAWN:0:%s/hangs.pid:/tmpfs/bin/hangs\n" % RUN)
    refresher = watchdog_thread(board, pid)
    board.wait_for_log(r"^Process \[hangs:999999\] was not found$", timeout=10)
    stalled = board.wait_for_log(STALL, timeout=15, severity=LOG_CRIT)
    assert 3 <= int(stalled.text.split()[3]) < 60  # seconds, not before the timeout
    time.sleep(3.5)  # three refresh periods
    assert board.log_texts().count(stalled.text) == 1
    assert [r.time for r in keepalives(board) if r.time > stalled.time] == []
    assert len([r for r in keepalives(board) if r.tid == refresher]) >= 2
    assert not [t for t in board.log_texts() if t.startswith("Respawn")]


# A failed pass terminates on the cyclic thread and keeps the table for the
# whole grace wait (a process that ignores SIGTERM makes it last). Each second
# of the wait is a step of its own: the watchdog thread refreshes on until
# the termination closes the device.
def test_termination_is_no_stall(board):
    board.start_program("stubborn", pidfile=RUN + "/stubborn.pid", ignore_term=True)
    pid = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:4\nSuperviseStallTimeout:2\n"
                              "Process:MANAGE:1:%s/stubborn.pid:/tmpfs/bin/stubborn\n" % RUN)
    refresher = watchdog_thread(board, pid)
    down = board.wait_for_log(r"^System down reason : Detect that the process \[stubborn\] did not sent health check\.$",
                              timeout=10)
    reboot = board.wait_for_command("reboot", timeout=15)
    close = [r for r in board.device_records("watchdog") if r.event == "close"][0]
    assert close.time < reboot.time
    during = [r.time for r in keepalives(board) if r.tid == refresher and down.time < r.time < close.time]
    assert len(during) >= 3, during
    assert not [t for t in board.log_texts() if t.startswith("Supervision stalled")]


# A configuration dump holds the table while it logs, and behind a system log
# reader that hangs it never ends. The pass waits for the table, and that
# wait is no progress: the refreshes stop, and stay stopped once the log
# flows again and the pass goes on.
def test_pass_waiting_for_the_table_stalls(board):
    for i in range(3):
        board.install_program("quiet%d" % i)
        board.write_file("%s/quiet%d.pid" % (RUN, i), "999999\n")
    pid = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:100\nSuperviseStallTimeout:2\n" + "".join(
        "Process:MONITOR:0:%s/quiet%d.pid:/tmpfs/bin/quiet%d\n" % (RUN, i, i) for i in range(3)))
    refresher = watchdog_thread(board, pid)
    board.hold_log()
    board.kill(pid, signal.SIGUSR1)

    def refreshes_stopped():
        return time.time() - keepalives(board)[-1].time > 4  # four refresh periods without one
    board.wait_until(refreshes_stopped, 20, "the refreshes to stop")
    board.hold_log(False)
    stalled = board.wait_for_log(STALL, timeout=10, severity=LOG_CRIT)
    assert 2 <= int(stalled.text.split()[3]) < 60
    board.wait_for_log(r"^=+ End of Configuration database =+$", timeout=10)
    time.sleep(2)  # the pass has the table again; two refresh periods
    assert [r.time for r in keepalives(board) if r.time > stalled.time] == []
    assert len([r for r in keepalives(board) if r.tid == refresher]) >= 2


def slow_once(name, then):
    """A script that takes 6 seconds on its first call only, then goes on with then."""
    return "#!/bin/sh\nif [ ! -e /tmp/%s.slow ]; then : > /tmp/%s.slow; sleep 6; fi\n%s\n" % (name, name, then)


# A termination is judged step by step: a pidof that takes longer than the
# timeout (on the cyclic thread, which holds the table, or on the receiver)
# or a board tool that does (the device is closed by then) is a stall. Once
# judged, the termination's own refreshes stop too, and it runs to its end.
@pytest.mark.parametrize("starter,slow", [("pass", "pidof"), ("reboot request", "pidof"),
                                          ("safe-mode request", "rescueMark")])
def test_termination_step_longer_than_the_timeout_stalls(board, starter, slow):
    if slow == "pidof":
        board.write_file("/tmpfs/bin/pidof", slow_once("pidof", 'PATH=/usr/bin:/bin exec pidof "$@"'), mode=0o755)
    else:  # the board's fake tool comes first on the PATH; this one records its call the same way
        record = 'printf "%%s %%s %%s\\n" "$(date +%%s.%%N)" %s "$*" >> /board/commands.log' % slow
        board.write_file("/board/bin/" + slow, slow_once(slow, record), mode=0o755)
    health = 1 if starter == "pass" else 0
    board.start_program("worker", pidfile=RUN + "/worker.pid")
    pid = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:1\nSuperviseStallTimeout:2\n"
                              "Process:MANAGE:%d:%s/worker.pid:/tmpfs/bin/worker\n" % (health, RUN))
    watchdog_thread(board, pid)
    if starter != "pass":
        rc, err = board.msgsnd(2 if starter == "reboot request" else 3, name="tester", payload="now")
        assert rc == 0, err
    board.wait_for_log(r"^System down reason : ", timeout=10)
    stalled = board.wait_for_log(STALL, timeout=15, severity=LOG_CRIT)
    assert 2 <= int(stalled.text.split()[3]) < 60
    reboot = board.wait_for_command("reboot", timeout=20)
    close = [r for r in board.device_records("watchdog") if r.event == "close"][0]
    assert close.time < reboot.time
    assert [r.time for r in keepalives(board) if r.time > stalled.time] == []
    assert board.log_texts().count(stalled.text) == 1
