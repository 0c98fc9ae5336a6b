"""SuperviseStallTimeout on the simulated board: a pass that hangs stops the
watchdog refreshes once; a termination and a pass waiting behind a long
re-read are no stall."""
import time

from board import LOG_CRIT, WDIOC_KEEPALIVE as KEEPALIVE

RUN = "/tmpfs/run"
STALL = r"^Supervision stalled for (\d+) sec, watchdog refresh stopped$"


def start_daemon(board, config):
    board.write_config(config)
    assert board.daemon().status == 0
    return board.wait_daemon_pid()


def keepalives(board):
    return [r for r in board.device_records("watchdog") if r.request == KEEPALIVE]


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
    assert 3 <= int(stalled.text.split()[3]) <= 6
    time.sleep(3.5)  # three refresh periods
    assert board.log_texts().count(stalled.text) == 1
    assert [r.time for r in keepalives(board) if r.time > stalled.time] == []
    assert len([r for r in keepalives(board) if r.tid == refresher]) >= 2
    assert not [t for t in board.log_texts() if t.startswith("Respawn")]


# A failed pass terminates on the cyclic thread and keeps the table for the
# whole grace wait (a process that ignores SIGTERM makes it last): the
# watchdog thread refreshes on until the termination closes the device.
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


# A re-read holds the table while the pre-count's shell runs; here "cat" of
# the new file takes five seconds. The pass waits behind it, which is no
# stall, and the refreshes go on.
def test_pass_waiting_behind_a_long_reread_is_no_stall(board):
    board.write_file("/tmpfs/bin/cat", "#!/bin/sh\ncase \"$*\" in *slow.conf*) sleep 5;; esac\nexec /bin/cat \"$@\"\n",
                     mode=0o755)
    config = "WdtRefreshPeriod:1\nSuperviseStallTimeout:2\n"
    board.write_config(config, "/tmpfs/config/slow.conf")
    pid = start_daemon(board, config)
    refresher = watchdog_thread(board, pid)
    rc, err = board.msgsnd(4, payload="/tmpfs/config/slow.conf")
    assert rc == 0, err
    asked = board.wait_for_log(r"^Re-read config request received$", timeout=10)
    time.sleep(7)
    assert not [t for t in board.log_texts() if t.startswith("Supervision stalled")]
    during = [r.time for r in keepalives(board) if r.tid == refresher and asked.time < r.time < asked.time + 5]
    assert len(during) >= 3, during
    assert board.stop_daemon(pid, timeout=10) == 0
