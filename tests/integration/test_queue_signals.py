# SPDX-License-Identifier: MIT
"""SIGHUP and the dumps' exact lines; a burst of signals, a flood of health checks and a stop message
from an ordinary user that leave the daemon responsive."""
import re
import time

from board import LOG_ERR, QUEUE_KEY
from support import BASE_CONFIG as BASE, NOBODY, PIDFILE, dump, dump_fields, start_daemon, wardctl

SEND = """import ctypes, sys
libc, message = ctypes.CDLL(None), ctypes.create_string_buffer(ctypes.sizeof(ctypes.c_long) + 128)
ctypes.c_long.from_buffer(message).value, queue = int(sys.argv[1]), libc.msgget(%d, 0)
sys.exit(queue < 0 or libc.msgsnd(queue, message, ctypes.c_size_t(128), 0) != 0)
""" % QUEUE_KEY


def test_dumps_show_the_database_and_sighup_rereads_it(board):
    start_daemon(board, BASE, pidfile=PIDFILE)
    time.sleep(3.5)  # a few refreshes for the intervals
    lines = dump(board, "dump-debug", "Debug Information")
    fields = re.fullmatch(r"  WDT time value {10}= \d+\.\d{6} sec\n  Cur WDT interval {8}= (\d+\.\d{3}) sec\n"
                          r"  Max WDT interval {8}= (\d+\.\d{3}) sec\n"
                          r"  PowerSW time value {6}= \d+\.\d{6} sec\n"
                          r"  Cur PowerSW interval {4}= 0\.000 sec\n"
                          r"  Max PowerSW interval {4}= 0\.000 sec", "\n".join(lines[1:7]))
    assert len(lines) == 8 and fields and 0.9 <= float(fields[1]) <= float(fields[2]) <= 2.0, lines
    assert len(dump(board, "dump-config", "Configuration database")) == 8

    board.write_config(BASE + "AliveWatchPeriod:77\n" + "".join(
        "Process:MONITOR:0:%s:%s\n" % (PIDFILE, board.install_program(n)) for n in ("pa", "pb", "pc")))
    wardctl(board, "-p", PIDFILE, "reread")  # SIGHUP
    board.wait_until(lambda: len(dump(board, "dump-config", "Configuration database")) == 41, 10, "re-read")
    lines = dump(board, "dump-config", "Configuration database")
    fields = dump_fields(lines)
    assert (fields["AliveWatch"], fields["MyPidPath"], fields["NumProcess"]) == ("77", PIDFILE, "3")
    assert (fields["Process[ 2].ExecPath"], fields["Process[ 2].procName"]) == ("/tmpfs/bin/pc", "pc")
    # Every line but heading, end and three separators is a field, padded to 33.
    assert len(fields) == 41 - 5 and lines[7:40:11] == ["  " + "-" * 59] * 3
    assert "  %-24s= %-33s" % ("AliveWatch", 77) in lines


# A stop message from an ordinary user is refused; then 600 health checks as signals come 600 times.
def test_signal_burst_flood_and_foreign_stop_leave_the_daemon_responsive(board):
    board.start_program("floodapp", pidfile="/tmpfs/floodapp.pid")
    config = BASE + "AliveWatchPeriod:100\nProcess:MONITOR:2:/tmpfs/floodapp.pid:/tmpfs/bin/floodapp\n"
    pid = start_daemon(board, config, pidfile=PIDFILE)
    assert board.run(NOBODY + ["/usr/bin/python3", "-c", SEND, "5"]).status == 0
    assert board.wait_for_log(r"^MSG Queue receive illegal ID! \[5\]$").severity == LOG_ERR
    signals = "kill -HUP %d; kill -USR2 %d" % (pid, pid)
    burst = board.spawn(["/bin/sh", "-c", "for i in $(seq 300); do %s; done" % signals])
    sent, start = 0, time.monotonic()
    while sent < 600 or time.monotonic() < start + 5:
        assert time.monotonic() < start + 120, "only %d of 600 health checks taken" % sent
        sent += board.msgsnd(1, name="floodapp")[0] == 0
    assert board.wait(burst, timeout=30) == 0

    dump(board, "dump-debug", "Debug Information")
    refreshes = [r.time for r in board.device_records("watchdog") if r.event == "ioctl"][2:]
    refreshes.append(board.log_lines()[-1].time)
    assert max(b - a for a, b in zip(refreshes, refreshes[1:])) <= 2.0, refreshes
    assert board.stop_daemon(pid, timeout=15) == 0
    texts = board.log_texts()
    assert not [t for t in texts if t.startswith(("Thread interval", "System down")) or "join fail" in t]
    assert "Re-read config request received" in texts
