# SPDX-License-Identifier: MIT
"""The Python client's requests, limits, missing daemon and full queue. Runs
on the simulated board only, where the daemon's key is the board's own."""
import ctypes
import errno
import os
import sys
import time

import pytest

if not os.environ.get("WARDEND_BOARD_DIR"):
    pytest.skip("runs on the simulated board only (board/board-run)", allow_module_level=True)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "client", "python"))

import wardclient  # noqa: E402

IPC_CREAT, IPC_NOWAIT, IPC_RMID = 0o1000, 0o4000, 0

libc = ctypes.CDLL(None, use_errno=True)  # msgget and msgctl take ints and a null pointer only
libc.msgsnd.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
libc.msgrcv.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_long, ctypes.c_int]


class Message(ctypes.Structure):
    _fields_ = [("type", ctypes.c_long), ("text", ctypes.c_ubyte * 128)]


@pytest.fixture
def queue():
    queue = libc.msgget(wardclient.QUEUE_KEY, IPC_CREAT | 0o600)
    assert queue >= 0, os.strerror(ctypes.get_errno())
    yield queue
    libc.msgctl(queue, IPC_RMID, None)


def test_requests_put_their_type_and_zero_filled_fields_on_the_queue(queue, monkeypatch):
    monkeypatch.chdir("/tmp")  # a relative path is made absolute
    n23, r103, p104 = "n" * 23, "r" * 103, "/" + "p" * 103
    # The call; the type, name and payload the daemon gets.
    sent = [(lambda: wardclient.send_to(queue, 1, n23, "ignored"), 1, n23.encode(), b""),
            (lambda: wardclient.send_to(queue, 2, "updater", r103), 2, b"updater", r103.encode()),
            (lambda: wardclient.send_to(queue, 3, b"updater"), 3, b"updater", b""),
            (lambda: wardclient.send_to(queue, 4, "ignored", p104), 4, b"", p104.encode()),
            (lambda: wardclient.reboot("caf\u00e9", "\u00fcber"), 2, b"caf\xc3\xa9", b"\xc3\xbcber"),
            # Names and paths that are not UTF-8, as os.listdir and sys.argv give them.
            (lambda: wardclient.health(os.fsdecode(b"app\xff")), 1, b"app\xff", b""),
            (lambda: wardclient.reboot_safe("updater", "rollback"), 3, b"updater", b"rollback"),
            (lambda: wardclient.reread(os.fsdecode(b"n\xe9w.conf")), 4, b"", b"/tmp/n\xe9w.conf")]
    for call, msg_type, name, payload in sent:
        call()
        msg = Message()
        assert libc.msgrcv(queue, ctypes.byref(msg), 128, 0, IPC_NOWAIT) == 128
        assert (msg.type, bytes(msg.text)) == (msg_type, name.ljust(24, b"\0") + payload.ljust(104, b"\0"))


def test_a_full_queue_a_removed_one_and_bad_requests_fail_each_as_such(queue, monkeypatch):
    while libc.msgsnd(queue, ctypes.byref(Message(1)), 128, IPC_NOWAIT) == 0:
        pass
    monkeypatch.setattr(wardclient, "SEND_WAIT", 0.2)
    start = time.monotonic()
    with pytest.raises(wardclient.QueueFullError) as raised:
        wardclient.health("myapp")
    assert raised.value.code == -8 and time.monotonic() - start >= 0.2
    libc.msgctl(queue, IPC_RMID, None)  # the queue goes away under a sender
    with pytest.raises(wardclient.NoDaemonError):
        wardclient.send_to(queue, 1, "myapp")
    # Without a daemon, each bad request is refused as such.
    refused = [(lambda: wardclient.health("n" * 24), -4),
               (lambda: wardclient.health("\u00e9" * 12), -4),  # 12 characters, 24 bytes
               (lambda: wardclient.health(None), -3),
               (lambda: wardclient.health("a\0b"), -4),
               (lambda: wardclient.reboot("a", "r" * 104), -5),
               (lambda: wardclient.reread("/" + "p" * 104), -7),
               (lambda: wardclient.reread(""), -6),
               (lambda: wardclient.send_to(queue, 5, "a"), -10)]  # only the daemon stops its receiver
    for number, (call, code) in enumerate(refused):
        with pytest.raises(wardclient.InvalidRequestError) as raised:
            call()
        assert (number, raised.value.code, isinstance(raised.value, ValueError)) == (number, code, True)
    with pytest.raises(wardclient.NoDaemonError, match="wardend is not running") as raised:
        wardclient.health("myapp")
    assert raised.value.code == -1 and raised.value.errno == errno.ENOENT
