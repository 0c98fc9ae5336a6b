# SPDX-License-Identifier: MIT
"""Client for wardend's control queue, for Python applications.

    import wardclient
    wardclient.health("myapp")                      # the program's base name
    wardclient.reboot("updater", "firmware 2.1 installed")
    wardclient.reboot_safe("updater", "update failed")
    wardclient.reread("/etc/wardend.conf")
    wardclient.status()                             # the daemon's status, as a dict

Only the standard library: the messages go through the C library's msgget
and msgsnd (ctypes), exactly as the C client sends them. Every call opens
the daemon's queue afresh (a daemon that restarted has a new queue), sends
one message and returns at once, or after at most SEND_WAIT seconds while
the queue is full. Safe to call from any thread.

Texts are str, bytes, or for a path also a path object; another type raises
TypeError. A name or a path in a str is encoded as a file name (os.fsencode,
so bytes that os.listdir or sys.argv gave go out as they came), a reason as
UTF-8. The limits are in bytes: NAME_MAX (23), REASON_MAX (103), PATH_MAX
(104). While the queue is full a send is retried every 5 ms, for at most
SEND_WAIT (1 second).

Errors are exceptions, with the C client's result code in their `code`:
  InvalidRequestError (also a ValueError)  empty or too long name, reason
                                           or path; checked before the
                                           queue is looked for
  NoDaemonError                            no queue: wardend is not running
  AccessError                              the queue or the status may not
                                           be used (the daemon's ControlGroup)
  ImpostorError                            another process holds the status
                                           socket's name
  QueueFullError                           the queue stayed full
  WardError                                any other failure (errno set)
"""
import ctypes
import errno
import grp
import json
import os
import socket
import struct
import time

__all__ = ["health", "reboot", "reboot_safe", "reread", "open_queue", "send_to",
           "status",
           "WardError", "InvalidRequestError", "NoDaemonError", "AccessError", "QueueFullError",
           "ImpostorError", "QUEUE_KEY", "NAME_MAX", "REASON_MAX", "PATH_MAX", "SEND_WAIT"]

QUEUE_KEY = 99990001

MSGID_HEALTH_CHECK = 1
MSGID_REBOOT = 2
MSGID_REBOOT_SAFE = 3
MSGID_REREAD_CONFIG = 4

NAME_SIZE = 24      # name field, NUL-terminated
PAYLOAD_SIZE = 104  # reason or path field
TEXT_SIZE = NAME_SIZE + PAYLOAD_SIZE

# Longest texts in bytes (UTF-8), terminator not counted. A path may fill
# the whole payload.
NAME_MAX = NAME_SIZE - 1
REASON_MAX = PAYLOAD_SIZE - 1
PATH_MAX = PAYLOAD_SIZE

# How long a send waits at most while the queue is full, and the pause
# between two tries.
SEND_WAIT = 1.0
_RETRY_PAUSE = 0.005

_IPC_NOWAIT = 0o4000


class WardError(Exception):
    """A request that could not be delivered. code: the C client's result code."""
    code = -9

    def __init__(self, message, err=0):
        super().__init__(message)
        self.errno = err


class InvalidRequestError(WardError, ValueError):
    """The request itself is wrong; nothing was sent."""

    def __init__(self, message, code):
        super().__init__(message)
        self.code = code


class NoDaemonError(WardError):
    code = -1


class AccessError(WardError):
    code = -2


class QueueFullError(WardError):
    code = -8


class ImpostorError(WardError):
    """The status socket's name is held by a process that is not the daemon."""


STATUS_NAME = b"\0wardend.status"
PID_FILE = "/var/run/wardend.pid"
STATUS_TIMEOUT = 5.0
_REPLY_MAX = 8 << 20


def _queue_group(key):
    """The name (or number) of the group of the queue with key, from the list
    every user may read; None when it cannot be told."""
    try:
        with open("/proc/sysvipc/msg") as listing:
            for line in listing:
                fields = line.split()
                if len(fields) > 8 and fields[0] == str(key):
                    gid = int(fields[8])
                    try:
                        return grp.getgrgid(gid).gr_name
                    except KeyError:
                        return str(gid)
    except (OSError, ValueError):
        pass
    return None


def _access_error(key, err):
    group = _queue_group(key)
    if group is None:
        return AccessError("permission denied on the control queue", err)
    return AccessError("permission denied: ask to be added to group %s" % group, err)


class _Message(ctypes.Structure):
    # Bytes, not c_char: a c_char array would stop copying at the first NUL.
    _fields_ = [("type", ctypes.c_long), ("text", ctypes.c_ubyte * TEXT_SIZE)]


_libc = None


def _c_library():
    global _libc
    if _libc is None:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.msgget.argtypes = [ctypes.c_int, ctypes.c_int]
        libc.msgget.restype = ctypes.c_int
        libc.msgsnd.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        libc.msgsnd.restype = ctypes.c_int
        _libc = libc
    return _libc


def _text(value, what, limit, code_empty, code_long, required=True, file_name=True):
    """value as bytes, checked against limit (bytes, terminator not counted).
    A file name (a path, or a process name, which is its program's file name)
    in a str goes back to the bytes it came from: os.listdir and sys.argv
    keep bytes that are not UTF-8 as surrogate escapes."""
    if value is None:
        value = b""
    if isinstance(value, str):
        value = os.fsencode(value) if file_name else value.encode("utf-8")
    elif isinstance(value, os.PathLike):
        value = os.fsencode(value)
    elif not isinstance(value, (bytes, bytearray)):
        raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))
    value = bytes(value)
    if b"\0" in value:
        raise InvalidRequestError("%s contains a NUL byte" % what, code_long)
    if required and not value:
        raise InvalidRequestError("%s is empty" % what, code_empty)
    if len(value) > limit:
        raise InvalidRequestError("%s is longer than %d characters" % (what, limit), code_long)
    return value


def _fields(msg_type, name, payload):
    """The name and payload bytes of a message of msg_type; raises
    InvalidRequestError as the C client refuses the same texts."""
    if msg_type == MSGID_REREAD_CONFIG:
        # The daemon reads only the payload of a re-read request.
        return b"", _text(payload, "path", PATH_MAX, -6, -7)
    if msg_type not in (MSGID_HEALTH_CHECK, MSGID_REBOOT, MSGID_REBOOT_SAFE):
        raise InvalidRequestError("not a message type applications send", -10)
    name = _text(name, "name", NAME_MAX, -3, -4)
    if msg_type == MSGID_HEALTH_CHECK:
        return name, b""  # the daemon ignores a health check's payload
    return name, _text(payload, "reason", REASON_MAX, -5, -5, required=False, file_name=False)


def open_queue(key=QUEUE_KEY):
    """The id of the daemon's queue. Never creates it: only the daemon does,
    and its presence is what tells that the daemon runs."""
    queue_id = _c_library().msgget(key, 0)
    if queue_id >= 0:
        return queue_id
    err = ctypes.get_errno()
    if err == errno.ENOENT:
        raise NoDaemonError("wardend is not running (no control queue)", err)
    if err == errno.EACCES:
        raise _access_error(key, err)
    raise WardError("control queue cannot be opened: %s" % os.strerror(err), err)


def send_to(queue_id, msg_type, name=None, payload=None):
    """Sends one message of type 1 to 4 to the queue queue_id: the checks and
    the bounded send behind the calls below (the C client's WardSendTo)."""
    name, payload = _fields(msg_type, name, payload)
    return _send(queue_id, msg_type, name, payload)


def _send(queue_id, msg_type, name, payload):
    # All 128 bytes are sent, the unused ones zero. A path of exactly 104
    # bytes fills the payload without a terminator; the daemon reads at
    # most those 104 bytes.
    text = name.ljust(NAME_SIZE, b"\0") + payload.ljust(PAYLOAD_SIZE, b"\0")
    message = _Message(msg_type, (ctypes.c_ubyte * TEXT_SIZE).from_buffer_copy(text))
    libc = _c_library()
    deadline = time.monotonic() + SEND_WAIT
    while True:
        if libc.msgsnd(queue_id, ctypes.byref(message), TEXT_SIZE, _IPC_NOWAIT) == 0:
            return
        err = ctypes.get_errno()
        if err == errno.EINTR:
            continue
        if err == errno.EAGAIN:
            # The queue is full: the daemon is behind or stuck. Wait a
            # little, but never hold the application up for long.
            if time.monotonic() > deadline:
                raise QueueFullError("control queue stayed full, message not sent", err)
            time.sleep(_RETRY_PAUSE)
            continue
        if err in (errno.EIDRM, errno.EINVAL):
            raise NoDaemonError("wardend is not running (its queue went away)", err)
        if err == errno.EACCES:
            raise _access_error(QUEUE_KEY, err)
        raise WardError("message could not be sent: %s" % os.strerror(err), err)


def _request(msg_type, name, payload):
    # Bad texts are refused before the daemon is looked for, so a caller
    # learns about its own mistakes even when no daemon runs.
    name, payload = _fields(msg_type, name, payload)
    _send(open_queue(), msg_type, name, payload)


def health(name):
    """Tells the daemon that the process called name (its program's base name,
    as configured) is alive. Send it at least once in every health-check
    period."""
    _request(MSGID_HEALTH_CHECK, name, None)


def reboot(name, reason=""):
    """Asks for an orderly reboot; name is the asking application, reason goes
    into the system log. Returns as soon as the request is queued."""
    _request(MSGID_REBOOT, name, reason)


def reboot_safe(name, reason=""):
    """Asks for an orderly reboot into safe mode."""
    _request(MSGID_REBOOT_SAFE, name, reason)


def reread(path):
    """Asks the daemon to read the configuration file at path. A relative path
    is made absolute first: the daemon runs in "/"."""
    if isinstance(path, (str, bytes, os.PathLike)) and path and not os.path.isabs(os.fspath(path)):
        path = os.path.abspath(path)
    _request(MSGID_REREAD_CONFIG, None, path)


def _judge_peer(peer_pid, peer_uid, pid_file):
    """Raises ImpostorError unless the peer runs as root and, when the pid
    file can be read and holds a pid, has that pid."""
    daemon = peer_uid == 0
    if daemon and pid_file:
        try:
            with open(pid_file, "rb") as f:
                text = f.read(64)
        except OSError:
            text = None
        if text is not None and text.rstrip(b"\n").isdigit() and text.count(b"\n") <= 1:
            daemon = int(text) == peer_pid
    if not daemon:
        raise ImpostorError("status socket is held by pid %d (uid %d), not by the daemon" % (peer_pid, peer_uid))


def status(name=None, pid_file=PID_FILE, timeout=STATUS_TIMEOUT):
    """The daemon's status reply as a dict (only name's entries with name).
    Before anything is sent, the process that holds the status socket must
    prove to be the daemon: root, and the pid in pid_file when that can be
    read. Raises NoDaemonError, ImpostorError, AccessError (not a member of
    the daemon's ControlGroup) or WardError."""
    request = b"status" if name is None else b"status " + os.fsencode(name)
    if b"\n" in request or b"\r" in request:
        raise InvalidRequestError("name contains a line end", -4)
    deadline = time.monotonic() + timeout
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(timeout)
        try:
            sock.connect(STATUS_NAME)
        except (ConnectionRefusedError, FileNotFoundError) as e:
            raise NoDaemonError("no daemon answers on @wardend.status (is wardend running?)", e.errno)
        except OSError as e:
            raise WardError("cannot reach the daemon: %s" % os.strerror(e.errno or 0), e.errno or 0)
        creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
        peer_pid, peer_uid, _ = struct.unpack("3i", creds)
        _judge_peer(peer_pid, peer_uid & 0xffffffff, pid_file)
        try:
            sock.sendall(request + b"\n")
            sock.shutdown(socket.SHUT_WR)
            reply = b""
            while True:
                sock.settimeout(max(deadline - time.monotonic(), 0.001))
                chunk = sock.recv(65536)
                if not chunk:
                    break
                reply += chunk
                if len(reply) > _REPLY_MAX:
                    raise WardError("the reply is too large")
        except socket.timeout:
            raise WardError("the daemon did not answer in time")
        except OSError as e:
            raise WardError("cannot read the reply: %s" % os.strerror(e.errno or 0), e.errno or 0)
    try:
        value = json.loads(reply.decode("utf-8", "replace"))
    except ValueError as e:
        raise WardError("unreadable reply from the daemon: %s" % e)
    error = value.get("error") if isinstance(value, dict) else None
    if isinstance(error, str) and error.startswith("permission denied"):
        raise AccessError(error, errno.EACCES)
    if error is not None:
        raise WardError("the daemon refused the request: %s" % error)
    return value
