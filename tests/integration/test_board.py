# SPDX-License-Identifier: MIT
# Nothing on the simulated board may reach the host's reboot, and its queues and processes are its own.
import os

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
