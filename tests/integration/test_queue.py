# SPDX-License-Identifier: MIT
"""The control queue on the simulated board (a flood: test_queue_signals)."""
import time

from board import LOG_ERR, LOG_WARNING
from support import BASE_CONFIG, start_daemon, wardctl


def receive_errors(board):
    return [t for t in board.log_texts() if t.startswith("MSG Queue receive error!")]


# Bad messages are dropped and a removed queue ends only the receiver; wardctl signals only the daemon.
def test_bad_messages_and_a_removed_queue_never_make_the_receiver_spin(board):
    result = wardctl(board, "health", "app", check=False)
    assert result.status == 1 and "wardend is not running (no control queue)\n" in result.stderr, result
    pid = start_daemon(board, BASE_CONFIG)
    other = board.spawn(["/bin/sleep", "1000"])  # native: an emulated program's name is the emulator's
    board.write_file("/tmpfs/other.pid", "%d\n" % other)
    result = wardctl(board, "-p", "/tmpfs/other.pid", "dump-config", check=False)
    stale = "wardctl: pid %d is 'sleep', not wardend (stale pid file?)\n" % other
    assert (result.status, result.stderr) == (1, stale) and board.alive(other), result
    assert board.msgsnd(1, data=b"big".ljust(200, b"\0"), size=200)[0] == 0  # oversized, at the head
    assert board.wait_for_log(r"^MSG Queue oversized message dropped! \[1\]$").severity == LOG_WARNING
    assert board.msgsnd(1, data=b"N" * 24 + b"P" * 104)[0] == 0  # fills the receive buffer
    assert board.msgsnd(1, data=b"shorty", size=6)[0] == 0  # the rest reads as zeros, not the last message
    board.wait_for_log(r"^No match processes in health check \[shorty\]$")
    assert receive_errors(board) == ["MSG Queue receive error! [Argument list too long]"]

    # One error: EIDRM, or EINVAL if the receiver was not waiting yet.
    assert board.remove_queue()
    assert board.wait_for_log(r"^MSG Queue removed, message receiver stops$").severity == LOG_ERR
    before = len(board.device_records("watchdog"))
    time.sleep(3)
    assert receive_errors(board)[1:] in (["MSG Queue receive error! [Identifier removed]"],
                                         ["MSG Queue receive error! [Invalid argument]"])
    assert len(board.device_records("watchdog")) - before >= 2
    assert board.stop_daemon(pid, timeout=15) == 0
