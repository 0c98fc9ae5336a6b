"""System termination on the simulated board: sweep, grace wait, watchdog close, LED, commands."""
# The modes an application would ask for are driven through the test-only
# terminate_driver, which runs one termination with a given mode.
import os
import signal
import time

import pytest

from board import BOARD_DIR, DEFAULT_CONFIG as CONFIG, LOG_ERR, LOG_WARNING

RUN = "/tmpfs/run"
KEEPALIVE = (2 << 30) | (4 << 16) | (ord("W") << 8) | 5  # the Linux watchdog's keep-alive request


def process_line(kind, name, health=0):
    return "Process:%s:%d:%s/%s.pid:/tmpfs/bin/%s\n" % (kind, health, RUN, name, name)


# Starts one termination with mode and reason; returns the driver's pid.
def driver(board, mode, reason, config_text):
    path = os.path.join(board.build_dir, "bin", "terminate_driver")
    if not os.path.exists(path):
        pytest.skip("terminate_driver is not built")
    board.write_config(config_text, CONFIG)
    argv = [path, CONFIG, str(mode), reason]
    if board.emulator:
        argv = board.emulator + ["-E", "LD_PRELOAD=" + board.devrec] + argv
    return board.spawn(argv, env=dict(board.daemon_env(), WARDEND_BOARD_DIR=BOARD_DIR))


# Closed once, before the command, and nothing reaches the device afterwards.
def watchdog_closed_before(board, command):
    records = board.device_records("watchdog")
    assert [r.event for r in records].count("close") == 1 and records[-1].event == "close"
    assert records[-1].time < command.time
    return records[-1]


def test_termination_sweeps_managed_processes_only(board):
    kinds = (("MONITOR", "tmon"), ("MANAGE", "tman"), ("RESPAWN", "tres"), ("MANAGE", "tstub"), ("MANAGE", "thc", 1))
    pids = {k[1]: board.start_program(k[1], pidfile=RUN + "/%s.pid" % k[1], ignore_term="stub" in k[1]) for k in kinds}
    board.write_config("WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:2\n"
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

    for name in ("tman", "tres", "thc"):
        assert board.wait(pids[name], timeout=5) == -signal.SIGTERM, name
    # Ignored SIGTERM: SIGKILL comes in the last second of the grace wait
    # (t = TermTimeout = 2, after three one-second sleeps), not before.
    assert board.wait(pids["tstub"], timeout=5) == -signal.SIGKILL
    assert stub_seen_alive - down.time >= 2.0 and 2.5 <= stub_gone - down.time <= 4.5
    assert board.alive(pids["tmon"])

    led = [r for r in board.device_records("pow_led") if r.led is not None]
    assert [r.led for r in led] == [(6, 500)] and down.time - 0.5 <= led[0].time <= stub_seen_alive
    watchdog_closed_before(board, reboot)
    assert reboot.time - stub_gone < 1.0
    time.sleep(0.3)
    assert [r.name for r in board.command_records()] == ["reboot"]


# TermTimeout 3 with nothing managed: one second of wait, which finds nothing.
# TermTimeout 0: SIGKILL in that first second; negative: no wait, no SIGKILL.
# A board without the LED device reports it and still terminates.
@pytest.mark.parametrize("mode,commands,timeout,stub,led", [
    (1, ["poweroff"], 3, False, True),
    (42, ["reboot"], 0, True, True),
    (2, ["reboot"], -1, True, False),
])
def test_mode_commands_and_grace_wait(make_board, mode, commands, timeout, stub, led):
    board = make_board(led=led)
    gstub = stub and board.start_program("gstub", pidfile=RUN + "/gstub.pid", ignore_term=True)
    managed = process_line("MANAGE", "gstub") if stub else ""
    started = driver(board, mode, "m%d" % mode, "TermTimeout:%d\n%s" % (timeout, managed))
    down = board.wait_for_log(r"^System down reason : m%d$" % mode, timeout=10)
    board.wait_until(lambda: len(board.command_records()) >= len(commands), 15, "the commands")
    time.sleep(0.3)
    records = board.command_records()
    assert [(r.name, r.args) for r in records] == [(name, "") for name in commands]
    assert board.led_settings() == ([(6, 500)] if led else [])
    assert led or board.wait_for_log(r"^PWR-LED open fail$", severity=LOG_ERR)
    close = watchdog_closed_before(board, records[0])
    assert 0.9 <= close.time - down.time <= 2.0 if timeout >= 0 else close.time - down.time < 0.8
    # Before the sweep, after each second of the wait, before the close.
    assert len([r for r in board.device_records("watchdog") if r.request == KEEPALIVE]) == (3 if timeout >= 0 else 2)
    assert not stub or (board.wait(gstub, timeout=5) == -signal.SIGKILL if timeout >= 0 else board.alive(gstub))
    board.kill(started, signal.SIGKILL)


# pidof printing something that is not a usable pid: 0 and -1 would make
# kill() reach a process group or every process of the board.
def test_unusable_pidof_output_signals_nobody(board):
    outputs = {"zeroprog": "0", "minusprog": "-1", "junkprog": "abc"}
    board.write_file("/tmpfs/bin/pidof", "#!/bin/sh\ncase \"$2\" in\n" + "".join(
        "%s) echo %s;;\n" % item for item in outputs.items()) + "esac\n", mode=0o755)
    for name in outputs:
        board.install_program(name)
        board.write_file("%s/%s.pid" % (RUN, name), "1\n")
    bystander = board.start_program("bystander")
    started = driver(board, 2, "bogus", "TermTimeout:1\n" + "".join(process_line("MANAGE", n) for n in outputs))
    board.wait_for_command("reboot")
    for name, output in outputs.items():
        # The first sweep and both seconds of the grace wait (the entries
        # count as found, so the wait runs to its end).
        assert board.log_texts().count("Str2Num convert error [%s] : pidof -s %s" % (output, name)) == 3
    assert board.alive(bystander) and board.alive(started)  # the driver is in its final wait
    board.kill(started, signal.SIGKILL)
