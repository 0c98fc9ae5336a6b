"""The simulated board itself: nothing on it may reach the host's reboot, and
what it records (log lines, device events, commands) must be exact, since
every other test on the board relies on it."""
import os
import subprocess

import pytest

from board import SOURCE_DIR, LOG_LOCAL0, LOG_WARNING, parse_syslog

# The recorder is built for the target; under an emulator it cannot be loaded
# into the host's python, and the daemon's own tests cover it there.
host_recorder = pytest.mark.skipif(bool(os.environ.get("WARDEND_EMULATOR")),
                                   reason="recorder built for an emulated target")

RECORDER_SCRIPT = r"""
import fcntl, os, struct, subprocess, threading
wd = os.open("/dev/watchdog", os.O_RDWR)
fcntl.ioctl(wd, 0x80045705)
led = os.open("/dev/pow_led", os.O_RDWR)
fcntl.ioctl(led, 0x1001, struct.pack("ii", 6, 500))
def refresh():
    for _ in range(50):
        fcntl.ioctl(wd, 0x80045705)
threads = [threading.Thread(target=refresh) for _ in range(4)]
for t in threads: t.start()
for t in threads: t.join()
os.close(led)
os.close(wd)
print(subprocess.run(["sh", "-c", "echo \"[$LD_PRELOAD]\""], capture_output=True, text=True).stdout, end="")
"""


@pytest.mark.parametrize("command, name", [
    ("reboot", "reboot"),
    ("/usr/sbin/reboot", "reboot"),
    ("/sbin/reboot -f", "reboot"),
    ("poweroff", "poweroff"),
    ("/usr/sbin/poweroff", "poweroff"),
    ("halt", "halt"),
    ("/usr/sbin/halt", "halt"),
    ("shutdown -r now", "shutdown"),
    ("systemctl reboot", "systemctl"),
    ("rescueMark", "rescueMark"),
])
def test_reboot_commands_are_recorded_fakes(board, command, name):
    result = board.sh(command)
    assert result.status == 0, result
    records = board.command_records()
    assert [r.name for r in records] == [name]
    assert records[0].args == command.partition(" ")[2]


def test_boards_have_private_queues_and_processes(make_board):
    first, second = make_board(), make_board()
    first.create_queue()
    assert first.queue_exists() and not second.queue_exists()
    assert first.run("echo $$").stdout.strip() == second.run("echo $$").stdout.strip()
    assert first.run(["ps", "ax"]).stdout.count("\n") < 10


@host_recorder
def test_device_recorder_records_every_event_and_stays_out_of_children(board):
    result = board.run(["/usr/bin/python3", "-c", RECORDER_SCRIPT], env=board.daemon_env())
    assert result.status == 0, result.stderr
    assert result.stdout == "[]\n"
    watchdog = board.device_records("watchdog")
    assert [r.event for r in watchdog] == ["open"] + ["ioctl"] * 201 + ["close"]
    assert {r.request for r in watchdog if r.event == "ioctl"} == {0x80045705}
    assert len({r.tid for r in watchdog}) >= 2
    led = board.device_records("pow_led")
    assert [(r.event, r.request, r.led) for r in led] == [
        ("open", None, None), ("ioctl", 0x1001, (6, 500)), ("close", None, None)]
    assert led[0].fd == led[1].fd == led[2].fd


@host_recorder
def test_missing_device_is_recorded_as_failed_open(make_board):
    board = make_board(led=False)
    result = board.run(["/usr/bin/python3", "-c", "import os\ntry: os.open('/dev/pow_led', os.O_RDWR)\nexcept OSError: pass"],
                       env=board.daemon_env())
    assert result.status == 0
    (record,) = board.device_records("pow_led")
    assert (record.event, record.fd, record.errno) == ("open", -1, 2)


def test_syslog_lines_are_captured_with_their_fields(board):
    script = ("import syslog; syslog.openlog('wardend', syslog.LOG_PID, syslog.LOG_LOCAL0); "
              "syslog.syslog(syslog.LOG_WARNING, '100% [sure]: yes')")
    result = board.run(["/usr/bin/python3", "-c", script])
    line = board.wait_for_log(r"^100% \[sure\]: yes$")
    assert (line.facility, line.severity, line.ident, line.pid) == (LOG_LOCAL0, LOG_WARNING, "wardend", result.pid)


@pytest.mark.parametrize("raw, fields", [
    ("<131>Dec  5 17:30:01 wardend[12]: Cmd exec fail : cat /x", (16, 3, "wardend", 12, "Cmd exec fail : cat /x")),
    ("<134>Jan 15 01:02:03 wardend: a: b [c]\n", (16, 6, "wardend", None, "a: b [c]\n")),
    ("<7>Feb 28 23:59:59 wardend[1]: ", (0, 7, "wardend", 1, "")),
    ("no header", None),
])
def test_parse_syslog(raw, fields):
    line = parse_syslog(raw, 0.0)
    assert (line and (line.facility, line.severity, line.ident, line.pid, line.text)) == fields


def test_board_run_passes_status_and_output_through():
    run = os.path.join(SOURCE_DIR, "board", "board-run")
    result = subprocess.run([run, "--", "sh", "-c", "reboot; cat /board/commands.log; echo $$; exit 7"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 7
    lines = result.stdout.splitlines()
    assert lines[0].split()[1] == "reboot" and int(lines[1]) < 10
