# SPDX-License-Identifier: MIT
"""SuperviseStallTimeout in a termination (a pass waiting for the table: the unit tests; a pass held by
a respawn: test_status; the grace wait that is no stall: test_supervise_terminate)."""
import time

import pytest

from board import LOG_CRIT
from support import RUN, keepalives, start_daemon, watchdog_thread


# A termination is judged step by step, whichever thread runs it, even once the device is closed;
# the stall is said once, and no refresh follows, even once the termination goes on.
@pytest.mark.parametrize("starter,slow", [("pass", "pidof"), ("safe-mode request", "rescueMark")])
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
        assert board.msgsnd(3, name="tester", payload="now")[0] == 0
    board.wait_for_log(r"^System down reason : ", timeout=10)
    stalled = board.wait_for_log(r"^Supervision stalled for (\d+) sec, watchdog refresh stopped$", timeout=15,
                                 severity=LOG_CRIT)
    assert 2 <= int(stalled.text.split()[3]) < 60
    board.wait_for_command("reboot", timeout=20)
    time.sleep(2)  # two refresh periods
    assert board.log_texts().count(stalled.text) == 1
    assert [r.time for r in keepalives(board) if r.time > stalled.time] == []
