# SPDX-License-Identifier: MIT
"""System termination on the simulated board: sweep, grace wait, watchdog close, LED, commands;
one termination per daemon, and a stop that ends its final wait."""
# The modes an application would ask for are driven through the test-only
# terminate_driver, which runs one termination with a given mode.
import json
import signal
import time

import pytest

from board import LOG_WARNING
from support import RUN, keepalives, start_daemon, terminate as driver, wardctl


def process_line(kind, name, health=0):
    return "Process:%s:%d:/tmpfs/run/%s.pid:/tmpfs/bin/%s\n" % (kind, health, name, name)


# Closed once, before the command, and nothing reaches the device afterwards.
def watchdog_closed_before(board, command):
    *rest, last = board.device_records("watchdog")
    assert last.event == "close" and "close" not in [r.event for r in rest] and last.time < command.time
    return last


# With the shell's pidof (the default) and with the in-process search.
@pytest.mark.parametrize("method", ["", "AliveCheck:proc\n"], ids=["ps", "proc"])
def test_termination_sweeps_managed_processes_only(board, method):
    kinds = (("MONITOR", "tmon"), ("MANAGE", "tman"), ("RESPAWN", "tres"), ("MANAGE", "tstub"), ("MANAGE", "thc", 1))
    pids = {k[1]: board.start_program(k[1], pidfile="/tmpfs/run/%s.pid" % k[1], ignore_term="stub" in k[1])
            for k in kinds}
    board.write_config("WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:2\n" + method
                       + "".join(process_line(*k) for k in kinds))
    assert board.daemon().status == 0

    down = board.wait_for_log(r"^System down reason : ", timeout=10, severity=LOG_WARNING)
    assert down.text == "System down reason : Detect that the process [thc] did not sent health check."
    stub_seen_alive = 0.0
    while board.alive(pids["tstub"]) and time.time() - down.time < 8:
        stub_seen_alive = time.time()
        time.sleep(0.05)
    stub_gone = time.time()
    reboot = board.wait_for_command("reboot")

    assert [board.wait(pids[n], timeout=5) for n in ("tman", "tres", "thc")] == [-signal.SIGTERM] * 3
    # Ignored SIGTERM: SIGKILL comes in the last second of the grace wait
    # (t = TermTimeout = 2, after three one-second sleeps), never before.
    # Only that lower bound is judged: how late it comes depends on the load.
    assert board.wait(pids["tstub"], timeout=5) == -signal.SIGKILL
    assert stub_gone - down.time >= 2.0
    assert board.alive(pids["tmon"])

    led = [r for r in board.device_records("pow_led") if r.led is not None]
    assert [r.led for r in led] == [(6, 500)] and down.time - 0.5 <= led[0].time <= stub_seen_alive
    watchdog_closed_before(board, reboot)
    assert [r.name for r in board.command_records()] == ["reboot"]


# TermTimeout 3 with nothing managed: one second of wait, which finds nothing.
# TermTimeout 0: SIGKILL in that first second; negative: no wait, no SIGKILL.
@pytest.mark.parametrize("mode,command,timeout,stub", [
    (1, "poweroff", 3, False), (42, "reboot", 0, True), (2, "reboot", -1, True)])
def test_mode_commands_and_grace_wait(board, mode, command, timeout, stub):
    gstub = stub and board.start_program("gstub", pidfile="/tmpfs/run/gstub.pid", ignore_term=True)
    driver(board, mode, "m%d" % mode, "TermTimeout:%d\n" % timeout + (process_line("MANAGE", "gstub") if stub else ""))
    down = board.wait_for_log(r"^System down reason : m%d$" % mode, timeout=10)
    record = board.wait_for_command(command, timeout=15)
    time.sleep(0.3)
    assert [(r.name, r.args) for r in board.command_records()] == [(command, "")]
    assert board.led_settings() == [(6, 500)]
    close = watchdog_closed_before(board, record)
    assert timeout < 0 or close.time - down.time >= 0.9
    # Before the sweep, after each second of the wait, before the close.
    assert len(keepalives(board)) == (3 if timeout >= 0 else 2)
    assert not stub or (board.wait(gstub, timeout=5) == -signal.SIGKILL if timeout >= 0 else board.alive(gstub))


# pidof printing something that is not a usable pid: 0 and -1 would make
# kill() reach a process group or every process of the board.
def test_unusable_pidof_output_signals_nobody(board):
    outs = {"0": "zeroprog", "-1": "minusprog", "abc": "junkprog"}  # pidof's output for each program
    board.write_file("/tmpfs/bin/pidof", "#!/bin/sh\ncase \"$2\" in\n" + "".join(
        "%s) echo %s;;\n" % (name, output) for output, name in outs.items()) + "esac\n", mode=0o755)
    for name in outs.values():
        board.install_program(name)
        board.write_file("/tmpfs/run/%s.pid" % name, "1\n")
    bystander = board.start_program("bystander")
    started = driver(board, 2, "bogus", "TermTimeout:1\n" + "".join(process_line("MANAGE", n) for n in outs.values()))
    board.wait_for_command("reboot")
    # The first sweep and both seconds of the grace wait (the entries count
    # as found, so the wait runs to its end).
    assert [board.log_texts().count("Str2Num convert error [%s] : pidof -s %s" % i) for i in outs.items()] == [3] * 3
    assert board.alive(bystander) and board.alive(started)  # the driver is in its final wait


# The first termination brings the board down, whichever thread began it.
# A reboot request during the pass's termination only waits for it and says
# so once. A request's termination sweeps the processes and keeps the
# receiver from reading health checks, and the pass judges nothing from then
# on. A second termination would have logged and recorded again, and, with
# a loop limit of one reboot, run the safe-mode path on a healthy board.
@pytest.mark.parametrize("first", ["pass", "request"])
def test_first_termination_wins(board, first):
    record = RUN + "/reboots"
    # A process that ignores SIGTERM makes the grace wait last four seconds;
    # for the pass to fail first it sends no health checks.
    board.start_program("stubborn", pidfile=RUN + "/stubborn.pid", ignore_term=True,
                        health=None if first == "pass" else ("stubborn", 1))
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:3\nRebootRecord:%s\n"
                        "RebootLoopLimit:1:3600\nProcess:MANAGE:%d:%s/stubborn.pid:/tmpfs/bin/stubborn\n"
                        % (record, 1 if first == "pass" else 2, RUN))
    if first == "pass":
        board.wait_for_log(r"^System down reason : Detect that the process \[stubborn\]", timeout=10)
    rc, err = board.msgsnd(2, name="tester", payload="now")
    assert rc == 0, err
    board.wait_for_command("reboot", timeout=20)
    time.sleep(2)  # two more passes
    texts = board.log_texts()
    assert len([t for t in texts if t.startswith("System down reason : ")]) == 1
    later = [t for t in texts if t.startswith("System down already in progress : ")]
    assert later == (["System down already in progress : Reboot request from application [tester] : now"]
                     if first == "pass" else [])
    assert [r.name for r in board.command_records()] == ["reboot"]
    assert len(board.read_file(record).splitlines()) == 1
    assert board.led_settings() == [(6, 500)]


# The system's shutdown stops the daemon while its termination waits for the
# system to go down: with the watchdog already closed, the daemon ends at
# once instead of after the rest of the minute. Both threads that terminate
# are checked.
@pytest.mark.parametrize("starter", ["pass", "request"])
def test_stop_ends_the_final_wait(board, starter):
    config = "WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:0\n"
    if starter == "pass":
        board.start_program("silent", pidfile=RUN + "/silent.pid")
        config += "Process:MANAGE:1:%s/silent.pid:/tmpfs/bin/silent\n" % RUN
    pid = start_daemon(board, config)
    if starter == "request":
        rc, err = board.msgsnd(2, name="tester", payload="now")
        assert rc == 0, err
    board.wait_for_command("reboot", timeout=15)
    # After its commands the termination waits for the system to go down.
    reply = json.loads(wardctl(board, "status", "--json").stdout)
    assert reply["termination"]["in_progress"] is True, reply
    # Well below the 60 seconds the wait would last.
    assert board.stop_daemon(pid, timeout=30) == 0
    assert board.led_settings() == [(6, 500), (3, 0)]
