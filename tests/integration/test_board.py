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



def test_the_detached_daemon_is_found_after_a_slow_second_fork(board):
    # A loaded machine can leave the process between the two forks alone on the board for a while.
    board.write_file("/tmpfs/wardend", "#!/usr/bin/python3\nimport os, time\nos.fork() and os._exit(0)\nos.setsid()\n"
                     "time.sleep(0.5)\nos.fork() and os._exit(0)\ntime.sleep(30)\n", mode=0o755)
    started = board.run(["/tmpfs/wardend"])
    pid = None if board.emulator else board.wait_daemon_pid(started)
    assert pid is None or board.procinfo(pid)["sid"] not in (pid, started.pid)
