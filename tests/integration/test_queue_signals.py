# Operator signals on the simulated board, sent through wardctl: SIGHUP, the
# SIGUSR1 and SIGUSR2 dumps with their exact lines, and a burst of signals with a flood of health checks that must leave
# the daemon responsive and the watchdog refreshed on time. The texts of the
# re-read's own log lines are checked by the unit tests.
import re
import time

from board import LOG_DEBUG

PIDFILE = "/tmpfs/wardend.pid"
BASE = "WdtRefreshPeriod:1\nTermTimeout:1\nWardend:x:%s\n" % PIDFILE


def wardctl(board, *args):
    result = board.run(board.emulator + [board.build_dir + "/bin/wardctl"] + list(args))
    assert (result.status, result.stderr) == (0, ""), result


def start_daemon(board, config):
    board.write_config(config)
    assert board.daemon().status == 0
    board.wait_until(lambda: board.exists(PIDFILE), 10, "the pid file")
    return board.wait_daemon_pid()


# Asks for a dump; returns its lines from heading to end line, those at debug priority only.
def dump(board, command, what):
    head, end = "=" * 15 + " %s dump " % what + "=" * 17, "=" * 14 + " End of %s " % what + "=" * 16
    start = len(board.log_lines())
    wardctl(board, "-p", PIDFILE, command)
    board.wait_for_log("^" + re.escape(end) + "$", timeout=10, start=start)
    texts = [line.text for line in board.log_lines()[start:] if line.severity == LOG_DEBUG]  # others go missing
    return texts[texts.index(head):texts.index(end) + 1]


def test_dumps_and_rereads(board):
    start_daemon(board, BASE)
    time.sleep(3.5)  # a few refreshes for the intervals
    lines = dump(board, "dump-debug", "Debug Information")
    fields = re.fullmatch(r"  WDT time value {10}= \d+\.\d{6} sec\n  Cur WDT interval {8}= (\d+\.\d{3}) sec\n"
                          r"  Max WDT interval {8}= (\d+\.\d{3}) sec\n  PowerSW time value {6}= \d+\.\d{6} sec\n"
                          r"  Cur PowerSW interval {4}= 0\.000 sec\n  Max PowerSW interval {4}= 0\.000 sec",
                          "\n".join(lines[1:7]))
    # Within the daemon's own lateness limit of twice the period.
    assert len(lines) == 8 and fields and 0.9 <= float(fields[1]) <= float(fields[2]) <= 2.0, lines
    assert len(dump(board, "dump-config", "Configuration database")) == 8

    # The reader wants existing files only, and the entries' alive checks come
    # after the test ends: programs installed, not started, and the daemon's
    # own pid file for all three.
    board.write_config(BASE + "AliveWatchPeriod:77\n" + "".join(
        "Process:MONITOR:0:%s:%s\n" % (PIDFILE, board.install_program(n)) for n in ("pa", "pb", "pc")))
    wardctl(board, "-p", PIDFILE, "reread")  # SIGHUP
    board.wait_until(lambda: len(dump(board, "dump-config", "Configuration database")) == 41, 10, "the re-read")
    lines = dump(board, "dump-config", "Configuration database")
    assert [lines[i] for i in (1, 5, 6, 33, 34)] == ["  %-24s= %-33s" % setting for setting in (
        ("AliveWatch", 77), ("MyPidPath", PIDFILE), ("NumProcess", 3),
        ("Process[ 2].ExecPath", "/tmpfs/bin/pc"), ("Process[ 2].procName", "pc"))]
    assert lines[7:40:11] == ["  " + "-" * 59] * 3


def test_signal_burst_and_health_check_flood_leave_the_daemon_responsive(board):
    board.start_program("floodapp", pidfile="/tmpfs/floodapp.pid")
    pid = start_daemon(board, BASE + "AliveWatchPeriod:100\nProcess:MONITOR:2:/tmpfs/floodapp.pid:/tmpfs/bin/floodapp\n")
    burst = board.spawn(["/bin/sh", "-c", "for i in $(seq 300); do kill -HUP %d; kill -USR2 %d; done" % (pid, pid)])
    end = time.monotonic() + 5  # five seconds of health checks, sent without waiting for room
    sent = sum(board.msgsnd(1, name="floodapp")[0] == 0 for _ in iter(lambda: time.monotonic() < end, False))
    assert board.wait(burst, timeout=30) == 0 and sent > 1000, sent

    # Still answering: a dump comes back, the watchdog kept its one-second
    # cadence up to now (the daemon's own limit is twice the period), the
    # re-reads went through and the health checks kept the process.
    dump(board, "dump-debug", "Debug Information")
    refreshes = [r.time for r in board.device_records("watchdog") if r.event == "ioctl"][2:]
    assert max(b - a for a, b in zip(refreshes, refreshes[1:] + [board.log_lines()[-1].time])) <= 2.0, refreshes
    assert not [t for t in board.log_texts() if t.startswith(("Thread interval is too long", "System down reason"))]
    assert "Re-read config request received" in board.log_texts()
    assert board.stop_daemon(pid, timeout=15) == 0
