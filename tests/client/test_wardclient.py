# SPDX-License-Identifier: MIT
"""The Python client against queues of its own: the bytes each request puts on
the queue, the limits, a missing daemon and the bounded wait on a full queue.

Runs on the simulated board only (CTest starts it through board-run): the
daemon's key is then the board's own, never the host's.
"""
import ctypes
import errno
import os
import sys
import time

import pytest

if not os.environ.get("WARDEND_BOARD_DIR"):
    pytest.skip("runs on the simulated board only (board/board-run)", allow_module_level=True)

SOURCE_DIR = os.environ.get("WARDEND_SOURCE_DIR") or os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.join(SOURCE_DIR, "client", "python"))

import wardclient  # noqa: E402

IPC_PRIVATE, IPC_CREAT, IPC_NOWAIT, IPC_RMID = 0, 0o1000, 0o4000, 0

libc = ctypes.CDLL(None, use_errno=True)
libc.msgget.argtypes = [ctypes.c_int, ctypes.c_int]
libc.msgsnd.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
libc.msgrcv.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_long, ctypes.c_int]
libc.msgrcv.restype = ctypes.c_ssize_t
libc.msgctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]


# The daemon's message as the C header lays it out, read byte for byte.
class Received(ctypes.Structure):
    _fields_ = [("type", ctypes.c_long), ("text", ctypes.c_ubyte * 128)]


def make_queue(key=IPC_PRIVATE):
    queue = libc.msgget(key, IPC_CREAT | 0o600)
    assert queue >= 0, os.strerror(ctypes.get_errno())
    return queue


def remove_queue(queue):
    libc.msgctl(queue, IPC_RMID, None)


def receive(queue):
    """(length, type, name bytes, payload bytes) of the next message, or None."""
    msg = Received()
    length = libc.msgrcv(queue, ctypes.byref(msg), 128, 0, IPC_NOWAIT)
    if length < 0:
        return None
    text = bytes(msg.text)
    return length, msg.type, text[:24], text[24:]


@pytest.fixture
def queue():
    queue = make_queue()
    yield queue
    remove_queue(queue)


@pytest.fixture
def daemon_queue():
    """A queue under the daemon's key, as a running daemon would have it."""
    queue = make_queue(wardclient.QUEUE_KEY)
    yield queue
    remove_queue(queue)


def zeros(text, size):
    return text + b"\0" * (size - len(text))


N23, R103, P104 = "n" * 23, "r" * 103, "/" + "p" * 103


def test_requests_put_their_type_and_zero_filled_fields_on_the_queue(queue, daemon_queue, monkeypatch):
    # send_to: type, name, payload given; the name and payload the daemon gets.
    sent = [(1, N23, "ignored", N23.encode(), b""),
            (2, "updater", R103, b"updater", R103.encode()),
            (3, b"updater", None, b"updater", b""),
            (4, "ignored", P104, b"", P104.encode()),
            (2, "caf\u00e9", "\u00fcber", "caf\u00e9".encode(), "\u00fcber".encode()),
            # File names that are not UTF-8, as os.listdir gives them.
            (4, None, os.fsdecode(b"/tmp/caf\xe9.conf"), b"", b"/tmp/caf\xe9.conf"),
            (1, os.fsdecode(b"app\xff"), None, b"app\xff", b"")]
    for msg_type, name, payload, sent_name, sent_payload in sent:
        wardclient.send_to(queue, msg_type, name, payload)
        assert receive(queue) == (128, msg_type, zeros(sent_name, 24), zeros(sent_payload, 104))

    # The four calls go to the daemon's key; a relative path is made absolute.
    monkeypatch.chdir("/tmp")
    calls = [(wardclient.health, ("myapp",), 1, b"myapp", b""),
             (wardclient.reboot, ("updater", "firmware 2.1"), 2, b"updater", b"firmware 2.1"),
             (wardclient.reboot, ("updater",), 2, b"updater", b""),
             (wardclient.reboot_safe, ("updater", "rollback"), 3, b"updater", b"rollback"),
             (wardclient.reread, ("new.conf",), 4, b"", b"/tmp/new.conf"),
             (wardclient.reread, (os.fsdecode(b"n\xe9w.conf"),), 4, b"", b"/tmp/n\xe9w.conf")]
    for call, args, msg_type, sent_name, sent_payload in calls:
        call(*args)
        assert receive(daemon_queue) == (128, msg_type, zeros(sent_name, 24), zeros(sent_payload, 104))


def test_bad_requests_are_refused_before_the_daemon_is_looked_for(queue):
    refused = [(lambda: wardclient.health("n" * 24), -4),
               (lambda: wardclient.health("\u00e9" * 12), -4),  # 12 characters, 24 bytes
               (lambda: wardclient.health(""), -3),
               (lambda: wardclient.health(None), -3),
               (lambda: wardclient.health("a\0b"), -4),
               (lambda: wardclient.reboot("", "x"), -3),
               (lambda: wardclient.reboot("a", "r" * 104), -5),
               (lambda: wardclient.reboot_safe("a", "r" * 104), -5),
               (lambda: wardclient.reread("/" + "p" * 104), -7),
               (lambda: wardclient.reread(""), -6),
               (lambda: wardclient.send_to(queue, 5, "a"), -10),  # only the daemon stops its receiver
               (lambda: wardclient.send_to(queue, 6, "a"), -10)]
    for number, (call, code) in enumerate(refused):
        with pytest.raises(wardclient.InvalidRequestError) as raised:
            call()
        assert (number, raised.value.code) == (number, code)
        assert isinstance(raised.value, ValueError)
    assert receive(queue) is None  # refused ones put nothing there


def test_no_daemon_is_a_clear_error(queue):
    with pytest.raises(wardclient.NoDaemonError, match="wardend is not running") as raised:
        wardclient.health("myapp")
    assert raised.value.code == -1 and raised.value.errno == errno.ENOENT
    remove_queue(queue)  # the queue goes away under a sender
    with pytest.raises(wardclient.NoDaemonError):
        wardclient.send_to(queue, 1, "myapp")


def test_full_queue_waits_a_bounded_time_then_gives_up(queue, monkeypatch):
    filler = Received(1)
    while libc.msgsnd(queue, ctypes.byref(filler), 128, IPC_NOWAIT) == 0:
        pass
    assert ctypes.get_errno() == errno.EAGAIN
    monkeypatch.setattr(wardclient, "SEND_WAIT", 0.2)
    start = time.monotonic()
    with pytest.raises(wardclient.QueueFullError) as raised:
        wardclient.send_to(queue, 1, "myapp")
    assert raised.value.code == -8 and time.monotonic() - start >= 0.2
