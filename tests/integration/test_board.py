# SPDX-License-Identifier: MIT
# The simulated board itself: nothing on it may reach the host's reboot, its
# queues and processes are its own, and board-run passes results through.
# (Log capture and the device recorder are checked by every daemon test.)
import os
import subprocess

import pytest

from board import SOURCE_DIR


@pytest.mark.parametrize("command", [
    "reboot", "/usr/sbin/reboot", "/sbin/reboot -f", "poweroff", "/usr/sbin/poweroff", "halt",
    "/usr/sbin/halt", "shutdown -r now", "systemctl reboot", "rescueMark"])
def test_reboot_commands_are_recorded_fakes(board, command):
    result = board.sh(command)
    assert result.status == 0, result
    program, _, args = command.partition(" ")
    assert [(r.name, r.args) for r in board.command_records()] == [(os.path.basename(program), args)]


def test_boards_have_private_queues_and_processes(make_board):
    first, second = make_board(), make_board()
    first.create_queue()
    assert first.queue_exists() and not second.queue_exists()
    assert first.run("echo $$").stdout.strip() == second.run("echo $$").stdout.strip()
    assert first.run(["ps", "ax"]).stdout.count("\n") < 10


def test_board_run_passes_status_and_output_through():
    run = os.path.join(SOURCE_DIR, "board", "board-run")
    result = subprocess.run([run, "--", "sh", "-c", "reboot; cat /board/commands.log; echo $$; exit 7"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 7
    lines = result.stdout.splitlines()
    assert lines[0].split()[1] == "reboot" and int(lines[1]) < 10


@pytest.mark.parametrize("args, status, stdout_starts, stderr", [
    (["--help"], 0, "Usage: board-run [--root TREE] [--show] [--] CMD [ARG...]\n", ""),
    (["-h"], 0, "Usage: board-run ", ""),
    ([], 2, "", "board-run: no command given\nTry 'board-run --help' for more information.\n"),
    (["--root"], 2, "", "board-run: --root needs a folder\nTry 'board-run --help' for more information.\n"),
    (["--bogus", "true"], 2, "",
     "board-run: unknown option '--bogus'\nTry 'board-run --help' for more information.\n"),
], ids=["help", "h", "nothing", "root-without-folder", "unknown-option"])
def test_board_run_usage(args, status, stdout_starts, stderr):
    run = os.path.join(SOURCE_DIR, "board", "board-run")
    result = subprocess.run([run] + args, capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (status, stderr), result
    assert result.stdout.startswith(stdout_starts), result


def test_board_run_show_prints_log_devices_and_commands(board):
    """--show: the daemon's log lines, its device requests and the commands
    run, on standard error; the command's own output untouched."""
    if board.emulator:
        pytest.skip("the device recorder cannot be preloaded into an emulated daemon")
    run = os.path.join(SOURCE_DIR, "board", "board-run")
    daemon = os.path.join(board.build_dir, "bin", "wardend")
    script = ("printf 'WdtRefreshPeriod:1\\nProcess:MONITOR:0:/tmpfs/none.pid:/tmpfs/bin/none\\n' >/tmpfs/w.conf\n"
              "%s -n -c /tmpfs/w.conf 2>/dev/null & sleep 1.5; reboot; kill $!; wait; echo ended" % daemon)
    result = subprocess.run([run, "--show", "--", "sh", "-c", script], capture_output=True, text=True,
                            timeout=120, env=dict(os.environ, WARDEND_BUILD_DIR=board.build_dir))
    assert (result.returncode, result.stdout) == (0, "ended\n"), result
    shown = [line.split(None, 1)[1] for line in result.stderr.splitlines()]
    for expected in ["log      err     Config read: PID file is not exist line 2 [/tmpfs/none.pid]",
                     "watchdog device open", "watchdog keep-alive", "command  reboot"]:
        assert expected in shown, result.stderr
