# SPDX-License-Identifier: MIT
# The simulated board itself: nothing on it may reach the host's reboot, its
# queues and processes are its own, and board-run passes results through.
import os
import subprocess

from board import SOURCE_DIR

FAKED = ["reboot", "/usr/sbin/reboot", "/sbin/reboot -f", "poweroff", "/usr/sbin/poweroff", "halt",
         "/usr/sbin/halt", "shutdown -r now", "systemctl reboot", "rescueMark"]


def test_reboot_commands_are_recorded_fakes(board):
    for command in FAKED:
        assert board.sh(command).status == 0, command
    assert [(r.name, r.args) for r in board.command_records()] == [
        (os.path.basename(c.partition(" ")[0]), c.partition(" ")[2]) for c in FAKED]


def test_boards_have_private_queues_and_processes(make_board):
    first, second = make_board(), make_board()
    first.create_queue()
    assert first.queue_exists() and not second.queue_exists()
    assert first.run("echo $$").stdout.strip() == second.run("echo $$").stdout.strip()
    assert first.run(["ps", "ax"]).stdout.count("\n") < 10


def test_board_run_passes_status_and_output_through():
    result = subprocess.run([os.path.join(SOURCE_DIR, "board", "board-run"), "--", "sh", "-c",
                             "reboot; cat /board/commands.log; echo $$; exit 7"],
                            capture_output=True, text=True, timeout=60)
    lines = result.stdout.splitlines()
    assert (result.returncode, lines[0].split()[1]) == (7, "reboot") and int(lines[1]) < 10
