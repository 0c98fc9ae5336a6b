"""System termination on the simulated board: the sweep over managed
processes, the grace wait, the watchdog close, the LED and the commands of
each mode. The modes an application would ask for are driven through the
test-only terminate_driver, which runs one termination with a given mode."""
import os
import signal
import time

import pytest

from board import BOARD_DIR, LOG_ERR, LOG_WARNING

RUN = "/tmpfs/run"
CONFIG = "/tmpfs/config/terminate.conf"


def _ior(nr):
    return (2 << 30) | (4 << 16) | (ord("W") << 8) | nr


KEEPALIVE = _ior(5)


def process_line(kind, name, health=0):
    return "Process:%s:%d:%s/%s.pid:/tmpfs/bin/%s\n" % (kind, health, RUN, name, name)


def driver(board, mode, reason, config_text):
    """Starts one termination with mode and reason; returns the driver's pid."""
    path = os.path.join(board.build_dir, "bin", "terminate_driver")
    if not os.path.exists(path):
        pytest.skip("terminate_driver is not built")
    board.write_config(config_text, CONFIG)
    argv = [path, CONFIG, str(mode), reason]
    if board.emulator:
        argv = board.emulator + ["-E", "LD_PRELOAD=" + board.devrec] + argv
    return board.spawn(argv, env=dict(board.daemon_env(), WARDEND_BOARD_DIR=BOARD_DIR))


def wait_commands(board, count, timeout=15):
    board.wait_until(lambda: len(board.command_records()) >= count, timeout, "%d commands" % count)
    time.sleep(0.3)
    return board.command_records()


def watchdog_closed_before(board, command):
    records = board.device_records("watchdog")
    closes = [r for r in records if r.event == "close"]
    assert len(closes) == 1
    assert closes[0].time < command.time
    # Nothing reaches the device once it is closed.
    assert records[-1] is closes[-1] or records[-1].event == "close"


def test_termination_sweeps_managed_processes_only(board):
    pids = {}
    for name, ignore in (("tmon", False), ("tman", False), ("tres", False), ("tstub", True), ("thc", False)):
        pids[name] = board.start_program(name, pidfile="%s/%s.pid" % (RUN, name), ignore_term=ignore)
    board.write_config("WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:2\n"
                       + process_line("MONITOR", "tmon") + process_line("MANAGE", "tman")
                       + process_line("RESPAWN", "tres") + process_line("MANAGE", "tstub")
                       + process_line("MANAGE", "thc", health=1))
    assert board.daemon().status == 0

    down = board.wait_for_log(r"^System down reason : ", timeout=10)
    assert down.text == "System down reason : Detect that the process [thc] did not sent health check."
    assert down.severity == LOG_WARNING
    stub_seen_alive = 0.0
    while board.alive(pids["tstub"]) and time.time() - down.time < 8:
        stub_seen_alive = time.time()
        time.sleep(0.05)
    stub_gone = time.time()
    reboot = board.wait_for_command("reboot")

    for name in ("tman", "tres", "thc"):
        assert board.wait(pids[name], timeout=5) == -signal.SIGTERM, name
    # Ignored SIGTERM: SIGKILL comes in the last second of the grace wait
    # (t = TermTimeout = 2, after three one-second sleeps), not before.
    assert board.wait(pids["tstub"], timeout=5) == -signal.SIGKILL
    assert stub_seen_alive - down.time >= 2.0
    assert 2.5 <= stub_gone - down.time <= 4.5
    assert board.alive(pids["tmon"])

    assert board.led_settings() == [(6, 500)]
    led = [r for r in board.device_records("pow_led") if r.led == (6, 500)][0]
    assert down.time - 0.5 <= led.time <= stub_seen_alive
    watchdog_closed_before(board, reboot)
    assert reboot.time - stub_gone < 1.0
    assert [r.name for r in wait_commands(board, 1)] == ["reboot"]


@pytest.mark.parametrize("mode,commands", [
    (1, ["poweroff"]),
    (2, ["reboot"]),
    (3, ["rescueMark", "reboot"]),
    (42, ["reboot"]),
])
def test_mode_commands(board, mode, commands):
    started = driver(board, mode, "mode %d" % mode, "TermTimeout:3\n")
    down = board.wait_for_log(r"^System down reason : mode %d$" % mode, timeout=10)
    records = wait_commands(board, len(commands))
    assert [r.name for r in records] == commands
    assert all(r.args == "" for r in records)
    assert board.led_settings() == [(6, 500)]
    watchdog_closed_before(board, records[0])
    # Nothing managed: one second of wait, which finds nothing.
    close = [r for r in board.device_records("watchdog") if r.event == "close"][0]
    assert 0.9 <= close.time - down.time <= 2.0
    keepalives = [r for r in board.device_records("watchdog") if r.request == KEEPALIVE]
    assert len(keepalives) == 3  # before the sweep, after the second, before the close
    board.kill(started, signal.SIGKILL)


def test_missing_led_device_does_not_stop_the_termination(make_board):
    board = make_board(led=False)
    started = driver(board, 2, "no led", "TermTimeout:0\n")
    line = board.wait_for_log(r"^PWR-LED open fail$", timeout=10)
    assert line.severity == LOG_ERR
    assert [r.name for r in wait_commands(board, 1)] == ["reboot"]
    board.kill(started, signal.SIGKILL)


@pytest.mark.parametrize("timeout,killed_after", [(0, (0.7, 2.0)), (-1, None)])
def test_grace_wait_length(board, timeout, killed_after):
    stub = board.start_program("gstub", pidfile=RUN + "/gstub.pid", ignore_term=True)
    started = driver(board, 2, "grace", "TermTimeout:%d\n" % timeout + process_line("MANAGE", "gstub"))
    down = board.wait_for_log(r"^System down reason : grace$", timeout=10)
    reboot = board.wait_for_command("reboot")
    if killed_after is None:
        # A negative timeout: no wait and no SIGKILL.
        assert reboot.time - down.time < 0.8
        assert board.alive(stub)
    else:
        assert board.wait(stub, timeout=5) == -signal.SIGKILL
        assert killed_after[0] <= reboot.time - down.time <= killed_after[1]
    board.kill(started, signal.SIGKILL)


# pidof printing something that is not a usable pid: 0 and -1 would make
# kill() reach a process group or every process of the board.
def test_unusable_pidof_output_signals_nobody(board):
    board.write_file("/tmpfs/bin/pidof", "#!/bin/sh\n"
                     "case \"$2\" in zeroprog) echo 0;; minusprog) echo -1;; junkprog) echo abc;; esac\n",
                     mode=0o755)
    for name in ("zeroprog", "minusprog", "junkprog"):
        board.install_program(name)
        board.write_file("%s/%s.pid" % (RUN, name), "1\n")
    bystander = board.start_program("bystander")
    started = driver(board, 2, "bogus", "TermTimeout:1\n" + "".join(
        process_line("MANAGE", n) for n in ("zeroprog", "minusprog", "junkprog")))
    board.wait_for_command("reboot")
    for output, name in (("0", "zeroprog"), ("-1", "minusprog"), ("abc", "junkprog")):
        expected = "Str2Num convert error [%s] : pidof -s %s" % (output, name)
        # The first sweep and both seconds of the grace wait (the entries
        # count as found, so the wait runs to its end).
        assert board.log_texts().count(expected) == 3, expected
    assert board.alive(bystander)
    assert board.alive(started)  # still in its final wait, not signalled
    board.kill(started, signal.SIGKILL)
