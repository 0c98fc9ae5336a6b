"""Operator signals on the simulated board, sent through wardctl: SIGHUP
re-reads through the queue, SIGUSR1 and SIGUSR2 dumps with their exact line
counts, and a burst of signals with a flood of health checks that must leave
the daemon responsive and the watchdog refreshed on time."""
import os
import re
import time

from board import LOG_DEBUG, LOG_INFO, LOG_NOTICE, PYTHON

RUN = "/tmpfs/run"
PIDFILE = RUN + "/wardend.pid"
BASE = "WdtRefreshPeriod:1\nTermTimeout:1\nWardend:x:%s\n" % PIDFILE
CONFIG_HEAD = "=============== Configuration database dump ================="
CONFIG_END = "============== End of Configuration database ================"
DEBUG_HEAD = "=============== Debug Information dump ================="
DEBUG_END = "============== End of Debug Information ================"


def wardctl(board, *args, cwd=None):
    argv = board.emulator + [os.path.join(board.build_dir, "bin", "wardctl")] + list(args)
    result = board.run(argv, cwd=cwd)
    assert (result.status, result.stderr) == (0, ""), result
    return result


def start_daemon(board, config):
    board.request("mkdir", path=RUN)
    board.write_config(config)
    assert board.daemon().status == 0
    pid = board.wait_daemon_pid()
    board.wait_until(lambda: board.exists(PIDFILE), 10, "the pid file")
    return pid


def dump(board, command, head, end):
    """Asks for a dump and returns its lines (header and end line included)."""
    start = len(board.log_lines())
    wardctl(board, "-p", PIDFILE, command)
    board.wait_for_log("^" + re.escape(end) + "$", timeout=10, start=start)
    lines = board.log_lines()[start:]
    first = [line.text for line in lines].index(head)
    last = [line.text for line in lines].index(end)
    assert all(line.severity == LOG_DEBUG for line in lines[first:last + 1])
    return [line.text for line in lines[first:last + 1]]


def setting(name, value):
    return "  %-24s= %-33s" % (name, value)


def test_sighup_rereads_the_changed_file_and_the_dump_shows_it(board):
    pid = start_daemon(board, BASE + "AliveWatchPeriod:100\n")
    lines = dump(board, "dump-config", CONFIG_HEAD, CONFIG_END)
    assert len(lines) == 8
    assert lines[1] == setting("AliveWatch", 100)
    assert lines[5] == setting("MyPidPath", PIDFILE)
    assert lines[6] == setting("NumProcess", 0)

    for name in ("pa", "pb", "pc"):
        board.start_program(name, pidfile="%s/%s.pid" % (RUN, name))
    board.write_config(BASE + "AliveWatchPeriod:77\n" + "".join(
        "Process:MONITOR:0:%s/%s.pid:/tmpfs/bin/%s\n" % (RUN, n, n) for n in ("pa", "pb", "pc")))
    start = len(board.log_lines())
    wardctl(board, "-p", PIDFILE, "reread")
    got = board.wait_for_log(r"^Got SIGHUP, re-reading configuration$", timeout=5, start=start)
    assert got.severity == LOG_INFO
    request = board.wait_for_log(r"^Re-read config request received$", timeout=5, start=start)
    assert request.severity == LOG_NOTICE and request.time >= got.time

    lines = dump(board, "dump-config", CONFIG_HEAD, CONFIG_END)
    assert len(lines) == 41
    assert lines[1] == setting("AliveWatch", 77)
    assert lines[6] == setting("NumProcess", 3)
    for index, name in enumerate(("pa", "pb", "pc")):
        block = lines[7 + 11 * index:7 + 11 * (index + 1)]
        assert block[0] == "  " + "-" * 59
        assert block[4] == "  Process[%2d].ExecPath    = %-33s" % (index, "/tmpfs/bin/" + name)
        assert block[5] == "  Process[%2d].procName    = %-33s" % (index, name)
    assert board.stop_daemon(pid, timeout=10) == 0


def test_reread_message_with_an_explicit_path(board):
    pid = start_daemon(board, BASE)
    board.write_file("/tmpfs/config/other.conf", BASE + "AliveWatchPeriod:42\n")
    start = len(board.log_lines())
    # A relative path is made absolute by wardctl: the daemon runs in "/".
    wardctl(board, "reread", "other.conf", cwd="/tmpfs/config")
    board.wait_for_log(r"^Re-read config request received$", timeout=5, start=start)
    lines = dump(board, "dump-config", CONFIG_HEAD, CONFIG_END)
    assert lines[1] == setting("AliveWatch", 42)
    # The operator's SIGHUP goes back to the daemon's own file.
    wardctl(board, "-p", PIDFILE, "reread")
    board.wait_until(lambda: dump(board, "dump-config", CONFIG_HEAD, CONFIG_END)[1] == setting("AliveWatch", 15),
                     10, "the default AliveWatch after re-reading the daemon's file")
    assert board.stop_daemon(pid, timeout=10) == 0


def test_sigusr2_dump_shows_the_watchdog_intervals(board):
    pid = start_daemon(board, BASE)
    time.sleep(3.5)
    lines = dump(board, "dump-debug", DEBUG_HEAD, DEBUG_END)
    assert len(lines) == 8
    assert re.fullmatch(r"  WDT time value          = \d+\.\d{6} sec", lines[1]), lines[1]
    cur = re.fullmatch(r"  Cur WDT interval        = (\d+)\.(\d{3}) sec", lines[2])
    top = re.fullmatch(r"  Max WDT interval        = (\d+)\.(\d{3}) sec", lines[3])
    assert cur and top, lines
    cur_ms = int(cur.group(1)) * 1000 + int(cur.group(2))
    top_ms = int(top.group(1)) * 1000 + int(top.group(2))
    # Within the daemon's own lateness limit of twice the period.
    assert 900 <= cur_ms <= 2000 and cur_ms <= top_ms <= 2000, lines
    assert re.fullmatch(r"  PowerSW time value      = \d+\.\d{6} sec", lines[4]), lines[4]
    assert lines[5:7] == ["  Cur PowerSW interval    = 0.000 sec", "  Max PowerSW interval    = 0.000 sec"]
    assert board.stop_daemon(pid, timeout=10) == 0


FLOOD = r"""
import ctypes, sys, time
libc = ctypes.CDLL(None, use_errno=True)
queue = libc.msgget(99990001, 0)
class Msg(ctypes.Structure):
    _fields_ = [("type", ctypes.c_long), ("text", ctypes.c_char * 128)]
msg = Msg(1, sys.argv[1].encode())
sent, end = 0, time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    if libc.msgsnd(queue, ctypes.byref(msg), 128, 0o4000) == 0:
        sent += 1
print(sent)
"""


def test_signal_burst_and_health_check_flood_leave_the_daemon_responsive(board):
    board.start_program("floodapp", pidfile=RUN + "/floodapp.pid")
    pid = start_daemon(board, BASE + "AliveWatchPeriod:100\n"
                                     "Process:MONITOR:2:%s/floodapp.pid:/tmpfs/bin/floodapp\n" % RUN)
    board.write_file("/tmp/flood.py", FLOOD)
    time.sleep(1.5)
    flood = board.spawn([PYTHON, "/tmp/flood.py", "floodapp", "5"])
    burst = board.sh("for i in $(seq 300); do kill -HUP %d; kill -USR2 %d; done" % (pid, pid))
    assert burst.status == 0, burst
    assert board.wait(flood, timeout=30) == 0
    sent = int(board.output(flood)[0])
    assert sent > 1000, sent

    # Still answering: a dump comes back promptly, the watchdog kept its
    # one-second cadence throughout, and the health checks kept the process.
    dump(board, "dump-debug", DEBUG_HEAD, DEBUG_END)
    refreshes = [r.time for r in board.device_records("watchdog") if r.event == "ioctl"][2:]
    gaps = [b - a for a, b in zip(refreshes, refreshes[1:])]
    assert gaps and max(gaps) <= 2.0, gaps  # the daemon's own limit: twice the period
    texts = board.log_texts()
    assert not [t for t in texts if t.startswith("Thread interval is too long")]
    assert not [t for t in texts if t.startswith("System down reason")]
    assert [t for t in texts if t == "Re-read config request received"]
    assert board.stop_daemon(pid, timeout=15) == 0
