# SPDX-License-Identifier: MIT
"""SuperviseStallTimeout on the simulated board. A pass waiting for the table:
the unit tests; the grace wait that is no stall: test_supervise_terminate."""
import time

import pytest

from board import LOG_CRIT
from support import RUN, keepalives, start_daemon, watchdog_thread


def stopped_for_good(board, timeout, goes_on):
    """Said once, after the timeout, and no refresh since, even once the work went on."""
    stalled = board.wait_for_log(r"^Supervision stalled for (\d+) sec, watchdog refresh stopped$", timeout=15,
                                 severity=LOG_CRIT)
    assert timeout <= int(stalled.text.split()[3]) < 60
    goes_on()
    time.sleep(2)  # two refresh periods
    assert board.log_texts().count(stalled.text) == 1
    assert [r.time for r in keepalives(board) if r.time > stalled.time] == []


def test_pass_hanging_in_a_respawn_stops_the_refreshes(board):
    board.write_file("/tmpfs/bin/hangs", "#!/bin/sh\nexec sleep 8\n", mode=0o755)
    board.write_file(RUN + "/hangs.pid", "999999\n")
    pid = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:1\nSuperviseStallTimeout:3\n"
                              "Process:RESPAWN:0:%s/hangs.pid:/tmpfs/bin/hangs\n" % RUN)
    watchdog_thread(board, pid)
    board.wait_for_log(r"^Process \[hangs:999999\] was not found$", timeout=10)
    stopped_for_good(board, 3, lambda: board.wait_for_log(r"^Respawn: hangs", timeout=20))


# A termination is judged step by step, whichever thread runs it, even once the device is closed.
@pytest.mark.parametrize("starter,slow", [("pass", "pidof"), ("reboot request", "pidof"),
                                          ("safe-mode request", "rescueMark")])
def test_termination_step_longer_than_the_timeout_stalls(board, starter, slow):
    if slow == "pidof":
        path, then = "/tmpfs/bin/pidof", 'PATH=/usr/bin:/bin exec pidof "$@"'
    else:  # the board's fake tool comes first on the PATH; this one records its call the same way
        path = "/board/bin/" + slow
        then = 'printf "%%s %%s %%s\\n" "$(date +%%s.%%N)" %s "$*" >> /board/commands.log' % slow
    once = "#!/bin/sh\n[ -e /tmp/{0}.slow ] || {{ : > /tmp/{0}.slow; sleep 6; }}\n{1}\n"
    board.write_file(path, once.format(slow, then), mode=0o755)
    board.start_program("worker", pidfile=RUN + "/worker.pid")
    health = int(starter == "pass")
    pid = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:100\nSuperviseStallTimeout:2\n"
                       "TermTimeout:1\nProcess:MANAGE:%d:%s/worker.pid:/tmpfs/bin/worker\n" % (health, RUN))
    watchdog_thread(board, pid)
    if starter != "pass":
        assert board.msgsnd(2 if starter == "reboot request" else 3, name="tester", payload="now")[0] == 0
    board.wait_for_log(r"^System down reason : ", timeout=10)
    stopped_for_good(board, 2, lambda: board.wait_for_command("reboot", timeout=20))
