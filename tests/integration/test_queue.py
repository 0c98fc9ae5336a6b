# The control queue on the simulated board: health checks, reboot requests,
# illegal types and unknown names sent through wardctl or raw, wardctl's errors,
# and the queue states that must not make the receiver spin (an oversized
# message at the head, the queue removed under the running daemon).
import time

import pytest

from board import LOG_ERR, LOG_WARNING
from support import BASE_CONFIG as BASE, start_daemon, wardctl


def receive_errors(board):
    return [t for t in board.log_texts() if t.startswith("MSG Queue receive error!")]


def test_wardctl_health_checks_keep_a_process_alive(board):
    board.start_program("hcapp", pidfile="/tmpfs/hcapp.pid")
    pid = start_daemon(board, BASE + "AliveWatchPeriod:100\nProcess:MONITOR:2:/tmpfs/hcapp.pid:/tmpfs/bin/hcapp\n")
    for _ in range(16):  # well past three 2-second windows
        wardctl(board, "health", "hcapp")
        time.sleep(0.5)
    assert not [t for t in board.log_texts() if t.startswith(("System down reason", "No match processes"))]
    assert board.stop_daemon(pid, timeout=10) == 0 and not board.command_records()


@pytest.mark.parametrize("command, reason, commands", [
    ("reboot", "Reboot request", ["reboot"]), ("safe-reboot", "Reboot to Safe-mode request", ["rescueMark", "reboot"])])
def test_reboot_requests_give_reason_and_command_order(board, command, reason, commands):
    start_daemon(board, BASE)
    wardctl(board, command, "updater", "new", "firmware", "2.1")
    board.wait_for_log(r"^System down reason : %s from application \[updater\] : new firmware 2\.1$" % reason, timeout=10)
    board.wait_for_command("reboot", timeout=15)
    assert [r.name for r in board.command_records()] == commands


# Bad messages are reported and dropped, and a queue removed under the daemon
# ends only the receiver; nothing makes it spin.
def test_bad_messages_and_a_removed_queue_never_make_the_receiver_spin(board):
    pid = start_daemon(board, BASE)
    assert board.msgsnd(1, data=b"big".ljust(200, b"\0"), size=200)[0] == 0  # oversized, at the head
    assert board.wait_for_log(r"^MSG Queue oversized message dropped! \[1\]$", timeout=5).severity == LOG_WARNING
    assert board.msgsnd(6, name="app")[0] == 0
    assert board.wait_for_log(r"^MSG Queue receive illegal ID! \[6\]$", timeout=5).severity == LOG_ERR
    wardctl(board, "health", "nobody")
    assert board.wait_for_log(r"^No match processes in health check \[nobody\]$", timeout=5).severity == LOG_WARNING
    assert board.msgsnd(1, data=b"N" * 24 + b"P" * 104)[0] == 0  # fills the receive buffer
    assert board.msgsnd(1, data=b"shorty", size=6)[0] == 0  # the rest reads as zeros, not the last message
    board.wait_for_log(r"^No match processes in health check \[shorty\]$", timeout=5)
    assert receive_errors(board) == ["MSG Queue receive error! [Argument list too long]"]

    # One error (EIDRM, or EINVAL if the receiver was not waiting yet), the
    # watchdog still refreshed every second, and the stop still completes.
    assert board.remove_queue()
    assert board.wait_for_log(r"^MSG Queue removed, message receiver stops$", timeout=5).severity == LOG_ERR
    before = len(board.device_records("watchdog"))
    time.sleep(3)
    assert receive_errors(board)[1:] in (["MSG Queue receive error! [Identifier removed]"],
                                         ["MSG Queue receive error! [Invalid argument]"])
    assert len(board.device_records("watchdog")) - before >= 2
    assert board.stop_daemon(pid, timeout=15) == 0


def test_wardctl_errors_and_help(board):
    result = wardctl(board, "health", "app", check=False)  # no daemon yet
    assert result.status == 1 and result.stderr.startswith("wardctl: wardend is not running (no control queue)\n"), result
    result = wardctl(board, "--help", check=False)
    assert result.status == 0 and result.stdout.startswith("Usage: wardctl"), result
    other = board.start_program("notwardend", pidfile="/tmpfs/other.pid")
    result = wardctl(board, "-p", "/tmpfs/other.pid", "dump-config", check=False)
    assert result.status == 1 and "not wardend" in result.stderr and board.alive(other), result
