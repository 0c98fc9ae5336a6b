# SPDX-License-Identifier: MIT
# The control queue on the simulated board: illegal types
# and unknown names sent through wardctl or raw, wardctl's errors, and the
# queue states that must not make the receiver spin (an oversized message at
# the head, the queue removed under the running daemon), and a stop message
# from an ordinary user. Health checks that keep a process alive: the flood
# in test_queue_signals.
import time

from board import LOG_ERR, LOG_WARNING, QUEUE_KEY
from support import BASE_CONFIG as BASE, PIDFILE, keepalives, start_daemon, wardctl

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# Sends one message of the given type with an empty text, as any program may.
SEND = """import ctypes, sys
class Message(ctypes.Structure):
    _fields_ = [("type", ctypes.c_long), ("text", ctypes.c_char * 128)]
libc = ctypes.CDLL(None, use_errno=True)
libc.msgsnd.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
queue = libc.msgget(%d, 0)
sent = queue >= 0 and libc.msgsnd(queue, ctypes.byref(Message(int(sys.argv[1]))), 128, 0) == 0
sys.exit(0 if sent else ctypes.get_errno())
""" % QUEUE_KEY


def receive_errors(board):
    return [t for t in board.log_texts() if t.startswith("MSG Queue receive error!")]


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


# The stop message is the daemon's own, but the queue is open to every user:
# one from anybody else is refused like an unknown type, and health checks,
# re-reads (SIGHUP's too) and the daemon's own stop all still work.
def test_a_stop_message_from_an_ordinary_user_leaves_the_receiver_running(board):
    board.start_program("beacon", pidfile="/tmpfs/beacon.pid", health=("beacon", 1))
    config = BASE + "AliveWatchPeriod:100\nProcess:MONITOR:3:/tmpfs/beacon.pid:/tmpfs/bin/beacon\n"
    pid = start_daemon(board, config, pidfile=PIDFILE)
    sent = board.run(NOBODY + ["/usr/bin/python3", "-c", SEND, "5"])
    assert sent.status == 0, sent
    assert board.wait_for_log(r"^MSG Queue receive illegal ID! \[5\]$", timeout=5).severity == LOG_ERR

    wardctl(board, "-p", PIDFILE, "reread")  # SIGHUP
    board.wait_for_log(r"^Re-read config request received$", timeout=10)
    # Two health-check windows and more, counted in refreshes: the beacon's
    # checks still arrive.
    after = len(keepalives(board)) + 8
    board.wait_until(lambda: len(keepalives(board)) >= after, 20, "eight more refreshes")
    assert not [t for t in board.log_texts() if t.startswith("System down reason")]
    assert board.stop_daemon(pid, timeout=15) == 0
    assert not [t for t in board.log_texts() if "join fail" in t]
