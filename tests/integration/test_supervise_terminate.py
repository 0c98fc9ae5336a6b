# SPDX-License-Identifier: MIT
"""System termination on the simulated board, driven by the test-only terminate_driver or a request."""
import time
from signal import SIGKILL, SIGTERM

import pytest

from board import LOG_ERR, LOG_WARNING
from support import RUN, keepalives, start_daemon, terminate as driver, watchdog_thread


def entry(kind, name, health=0):
    return "Process:%s:%d:%s/%s.pid:/tmpfs/bin/%s\n" % (kind, health, RUN, name, name)


def closed_before(board, command):
    *rest, last = board.device_records("watchdog")
    assert last.event == "close" and "close" not in [r.event for r in rest] and last.time < command.time
    return last


# TermTimeout 3, nothing managed: one second of wait; 0: SIGKILL in it; negative: no wait, no SIGKILL.
@pytest.mark.parametrize("mode,command,timeout,stub", [
    (1, "poweroff", 3, False), (42, "reboot", 0, True), (2, "reboot", -1, True)])
def test_mode_commands_and_grace_wait(board, mode, command, timeout, stub):
    gstub = stub and board.start_program("gstub", pidfile=RUN + "/gstub.pid", ignore_term=True)
    driver(board, mode, "m%d" % mode, "TermTimeout:%d\n%s" % (timeout, entry("MANAGE", "gstub") * stub))
    down = board.wait_for_log(r"^System down reason : m%d$" % mode, timeout=10)
    close = closed_before(board, board.wait_for_command(command, timeout=15))
    time.sleep(0.3)
    assert [(r.name, r.args) for r in board.command_records()] == [(command, "")]
    assert board.led_settings() == [(6, 500)] and (timeout < 0 or close.time - down.time >= 0.9)
    assert len(keepalives(board)) == (3 if timeout >= 0 else 2)
    assert not [line.text for line in board.log_lines() if line.severity <= LOG_ERR]  # no record asked, none failed
    assert not stub or (board.wait(gstub) == -SIGKILL if timeout >= 0 else board.alive(gstub))


# pidof printing 0 or -1 would make kill() reach a process group or every process of the board.
def test_unusable_pidof_output_signals_nobody(board):
    outs = {"0": "zero", "-1": "minus", "abc": "junk"}  # pidof's output for each program
    board.write_file("/tmpfs/bin/pidof", "#!/bin/sh\ncase \"$2\" in\n" + "".join(
        "%s) echo %s;;\n" % (name, output) for output, name in outs.items()) + "esac\n", mode=0o755)
    for name in outs.values():
        board.install_program(name)
        board.write_file("%s/%s.pid" % (RUN, name), "1\n")
    bystander = board.start_program("bystander")
    managed = "".join(entry("MANAGE", name) for name in outs.values())
    started = driver(board, 2, "bogus", "TermTimeout:1\n" + managed)
    board.wait_for_command("reboot")
    texts = board.log_texts()  # the first sweep and both seconds of the wait
    assert [texts.count("Str2Num convert error [%s] : pidof -s %s" % i) for i in outs.items()] == [3] * 3
    assert board.alive(bystander) and board.alive(started)  # the driver is in its final wait


# The first termination wins, whichever thread began it (the pass with pidof, a request with the
# in-process search): LED, SIGTERM to MANAGE and RESPAWN, SIGKILL in the grace wait's last second,
# MONITOR left; no second record (loop limit one). The wait is no stall, and a stop ends the final wait.
@pytest.mark.parametrize("first,method", [("pass", ""), ("request", "AliveCheck:proc\n")])
def test_first_termination_sweeps_and_wins(board, first, method):
    record = RUN + "/reboots"
    kinds = {"tmon": "MONITOR", "tman": "MANAGE", "tres": "RESPAWN"}
    pids = {n: board.start_program(n, pidfile=RUN + "/%s.pid" % n) for n in kinds}
    pids["stub"] = board.start_program("stub", pidfile=RUN + "/stub.pid", ignore_term=True,
                                       health=None if first == "pass" else ("stub", 1))
    config = ("WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:3\nSuperviseStallTimeout:2\n"
              "RebootRecord:%s\nRebootLoopLimit:1:3600\n" % record + method)
    pid = start_daemon(board, config + "".join(entry(k, n) for n, k in kinds.items())
                       + entry("MANAGE", "stub", 2 - (first == "pass")))
    refresher = watchdog_thread(board, pid)
    if first == "pass":
        pattern = r"^System down reason : Detect that the process \[stub\] did not sent health check\.$"
        board.wait_for_log(pattern, timeout=10, severity=LOG_WARNING)
    assert board.msgsnd(2, name="tester", payload="now")[0] == 0
    down = board.wait_for_log(r"^System down reason : ")
    stub_seen_alive = 0.0
    while board.alive(pids["stub"]) and time.time() - down.time < 10:
        stub_seen_alive = time.time()
        time.sleep(0.05)
    assert time.time() - down.time >= 3.0  # only the lower bound: the load decides how late
    close = closed_before(board, board.wait_for_command("reboot", timeout=20))
    assert [board.wait(pids[n]) for n in ("tman", "tres", "stub")] == [-SIGTERM, -SIGTERM, -SIGKILL]
    led = [r for r in board.device_records("pow_led") if r.led is not None]
    assert [r.led for r in led] == [(6, 500)] and down.time - 0.5 <= led[0].time <= stub_seen_alive
    time.sleep(2)  # two more passes
    texts = board.log_texts()
    assert len([t for t in texts if t.startswith("System down reason : ")]) == 1 and board.alive(pids["tmon"])
    later = [t for t in texts if t.startswith(("System down already in progress : ", "Supervision stalled"))]
    assert later == ["System down already in progress : Reboot request from application [tester] : now"] * (
        first == "pass")
    assert [r.name for r in board.command_records()] == ["reboot"]
    assert len(board.read_file(record).splitlines()) == 1
    assert len([r for r in keepalives(board) if r.tid == refresher and down.time < r.time < close.time]) >= 2
    assert board.stop_daemon(pid, timeout=30) == 0  # well below the 60 seconds the wait would last
    assert board.led_settings() == [(6, 500), (3, 0)]
