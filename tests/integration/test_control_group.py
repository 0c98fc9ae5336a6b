# SPDX-License-Identifier: MIT
"""Who may steer the board: ControlGroup on the queue and the status socket,
a status client that checks who answers, the daemon taking back a status
name that another process held, and the recorded sender of a reboot request.

Runs as root on the board; the other users are uid 65534 with or without the
host's group "users" (the board sees the host's /etc/group)."""
import grp
import json
import os
import re

import pytest

from board import LOG_ERR, SOURCE_DIR
from support import BASE_CONFIG, PIDFILE, start_daemon, wardctl, wardctl_for_others

GROUP = "users"
GID = grp.getgrnam(GROUP).gr_gid
RECORD = "/tmpfs/reboots"
REFUSED = "wardctl: permission denied: ask to be added to group %s\n" % GROUP
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534"]
USERS = {
    "root": [],
    "member": NOBODY + ["--groups=%d" % GID],
    "member by primary group": ["setpriv", "--reuid=65534", "--regid=%d" % GID, "--clear-groups"],
    "non-member": NOBODY + ["--clear-groups"],
}
ALLOWED = {"root": True, "member": True, "member by primary group": True, "non-member": False}

# Holds the status socket's name until killed.
SQUATTER = """import socket, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind(b"\\0wardend.status")
s.listen(8)
print("bound", flush=True)
while True:
    c, _ = s.accept()
    try:
        c.sendall(b'{"version":"0","pid":1,"processes":[]}\\n')
    except OSError:
        pass
    c.close()
"""

# Holds the name and never accepts; its own connections fill the backlog.
STUCK_SQUATTER = """import socket, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind(b"\\0wardend.status")
s.listen(0)
held = []
while True:
    c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    c.setblocking(False)
    try:
        c.connect(b"\\0wardend.status")
    except BlockingIOError:
        break
    held.append(c)
print("full", flush=True)
time.sleep(600)
"""

# The Python client's status as any program would call it; prints the
# outcome as one JSON object.
PY_STATUS = """import json, sys
sys.path.insert(0, "/tmpfs/py")
import wardclient
try:
    wardclient.status(pid_file=sys.argv[1])
    print(json.dumps({"ok": True}))
except wardclient.WardError as e:
    print(json.dumps({"error": type(e).__name__, "text": str(e)}))
"""


def as_user(board, user, *args):
    return board.run(USERS[user] + wardctl_for_others(board) + list(args))


def queue_permissions(board):
    """(mode, gid) of the board's queue, from the list every user may read."""
    for line in board.read_file("/proc/sysvipc/msg").splitlines()[1:]:
        fields = line.split()
        if fields[0] == "99990001":
            return int(fields[2], 8) & 0o777, int(fields[8])
    raise AssertionError("no queue")


def start(board, config):
    start_daemon(board, BASE_CONFIG + config, pidfile=PIDFILE)
    board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the status socket")


def copy_module(board):
    """A copy of the Python client that every user may read, as an installed
    module would be."""
    with open(os.path.join(SOURCE_DIR, "client", "python", "wardclient.py")) as module:
        board.write_file("/tmpfs/py/wardclient.py", module.read())


def py_status(board, user="root"):
    copy_module(board)
    board.write_file("/tmpfs/py_status.py", PY_STATUS)
    result = board.run(USERS[user] + ["/usr/bin/python3", "/tmpfs/py_status.py", PIDFILE])
    assert result.status == 0, result
    return json.loads(result.stdout)


# Every user in turn, against one daemon: health checks, re-reads and status
# are allowed or refused by group, with one clear message; a non-member's
# reboot request never reaches the daemon.
def test_control_group_admits_root_and_members_only(board):
    start(board, "ControlGroup:%s\n" % GROUP)
    assert queue_permissions(board) == (0o620, GID)
    for number, (user, allowed) in enumerate(ALLOWED.items()):
        health = as_user(board, user, "health", "probe-%d" % number)
        reread = as_user(board, user, "reread", "/tmpfs/config/wardend.conf")
        shown = as_user(board, user, "-p", PIDFILE, "status")
        scraped = as_user(board, user, "-p", PIDFILE, "status", "--prometheus")
        reboot = as_user(board, user, "reboot", "intruder", "go down") if not allowed else None
        python = py_status(board, user)
        if allowed:
            assert (health.status, health.stderr) == (0, ""), (user, health)
            assert (reread.status, reread.stderr) == (0, ""), (user, reread)
            assert (shown.status, shown.stderr) == (0, "") and shown.stdout.startswith("wardend "), (user, shown)
            assert re.search(r"^wardend_up 1$", scraped.stdout, re.M), (user, scraped)
            assert python == {"ok": True}, (user, python)
        else:
            for result in (health, reread, shown, reboot):
                assert (result.status, result.stderr) == (1, REFUSED), (user, result)
            assert shown.stdout == "", shown
            assert scraped.status == 1 and re.search(r"^wardend_up 0$", scraped.stdout, re.M), scraped
            assert python == {"error": "AccessError",
                              "text": "permission denied: ask to be added to group %s" % GROUP}, python
    board.wait_for_log(r"^No match processes in health check \[probe-2\]$", timeout=10)
    texts = board.log_texts()
    assert "No match processes in health check [probe-3]" not in texts
    assert texts.count("Re-read config request received") == 3
    assert not [t for t in texts if t.startswith("System down reason")]
    # The daemon's own messages still reach it under the new mode: SIGHUP's
    # re-read, and the stop message at exit.
    wardctl(board, "-p", PIDFILE, "reread")
    board.wait_until(lambda: board.log_texts().count("Re-read config request received") == 4, 10, "SIGHUP's re-read")
    assert queue_permissions(board) == (0o620, GID)
    assert board.stop_daemon(board.wait_daemon_pid(), timeout=15) == 0
    assert not [t for t in board.log_texts() if "join fail" in t]


# A re-read that drops the key opens the queue and the status again, as
# they are without the key; an unknown group is refused with its line and
# changes nothing.
@pytest.mark.parametrize("reread, refusal, after", [
    ("", None, (0o666, 0)),
    ("ControlGroup:no-such-group-here\n", r"^Config read: ControlGroup unknown group line 4 \[no-such-group-here\]$",
     (0o620, GID)),
], ids=["dropped", "unknown"])
def test_reread_drops_or_keeps_the_group(board, reread, refusal, after):
    start(board, "ControlGroup:%s\n" % GROUP)
    assert queue_permissions(board) == (0o620, GID)
    board.write_config(BASE_CONFIG + reread, "/tmpfs/next.conf")
    # --force: the unknown group is exactly what is being tried.
    wardctl(board, "reread", "--force", "/tmpfs/next.conf")
    if refusal:
        assert board.wait_for_log(refusal, timeout=10).severity == LOG_ERR
    else:
        board.wait_for_log(r"^Re-read config request received$", timeout=10)
    board.wait_until(lambda: queue_permissions(board) == after, 10, "queue permissions %o/%d" % after)
    shown = as_user(board, "non-member", "status")
    assert (shown.status == 0) == (after[0] == 0o666), shown


# Something else holds the status name before the daemon starts, as another
# user or as root: the daemon says who, wardctl and the Python client refuse
# the answer, and the daemon takes the name once the squatter has gone.
@pytest.mark.parametrize("user, uid", [("non-member", 65534), ("root", 0)])
def test_a_squatter_on_the_status_name_is_exposed_and_outlived(board, user, uid):
    board.write_file("/tmpfs/squatter.py", SQUATTER)
    squatter = board.spawn(USERS[user] + ["/usr/bin/python3", "/tmpfs/squatter.py"])
    board.wait_until(lambda: board.output(squatter)[0] == "bound\n", 10, "the squatter")
    squatter_pid = board.pids(cmdline="/tmpfs/squatter.py")[0]
    start_daemon(board, BASE_CONFIG, pidfile=PIDFILE)
    held = r"^Status socket name is held by pid %d \(uid %d\), retrying$" % (squatter_pid, uid)
    assert board.wait_for_log(held, timeout=10).severity == LOG_ERR

    impostor = "status socket is held by pid %d (uid %d), not by the daemon" % (squatter_pid, uid)
    shown = wardctl(board, "-p", PIDFILE, "status", check=False)
    assert (shown.status, shown.stdout, shown.stderr) == (1, "", "wardctl: %s\n" % impostor), shown
    scraped = wardctl(board, "-p", PIDFILE, "status", "--prometheus", check=False)
    assert scraped.status == 1 and re.search(r"^wardend_up 0$", scraped.stdout, re.M), scraped
    assert py_status(board) == {"error": "ImpostorError", "text": impostor}

    board.kill(squatter_pid)
    board.wait_for_log(r"^Status socket bound$", timeout=15)
    assert wardctl(board, "-p", PIDFILE, "status", check=False).status == 0
    assert [t for t in board.log_texts() if t.startswith("Status socket name is held")] == [held[1:-1].replace("\\", "")]


# A holder whose backlog is full can be neither asked nor waited for: the
# daemon starts, says the name is held, and still stops on SIGTERM.
def test_a_squatter_that_never_accepts_holds_up_nothing(board):
    board.write_file("/tmpfs/stuck.py", STUCK_SQUATTER)
    squatter = board.spawn(["/usr/bin/python3", "/tmpfs/stuck.py"])
    board.wait_until(lambda: board.output(squatter)[0] == "full\n", 10, "the squatter's full backlog")
    pid = start_daemon(board, BASE_CONFIG, pidfile=PIDFILE)
    board.wait_for_log(r"^Status socket name is held by another process, retrying$", timeout=10)
    assert board.stop_daemon(pid, timeout=15) == 0


# An application that asks for a reboot and runs on.
SENDER = """import sys, time
sys.path.insert(0, "/tmpfs/py")
import wardclient
wardclient.reboot("updater", "new firmware")
print("sent", flush=True)
time.sleep(60)
"""


# A reboot request names its sender in the record and the status; the log
# line stays as it was. The member's request goes through under ControlGroup.
@pytest.mark.parametrize("config, user", [("", "non-member"), ("ControlGroup:%s\n" % GROUP, "member")])
def test_a_reboot_request_records_its_sender(board, config, user):
    start(board, "RebootRecord:%s\n" % RECORD + config)
    copy_module(board)
    board.write_file("/tmpfs/sender.py", SENDER)
    # setpriv becomes python3: the pid stays.
    sender = board.spawn(USERS[user] + ["/usr/bin/python3", "/tmpfs/sender.py"])
    reason = "Reboot request from application [updater] : new firmware"
    board.wait_for_log(r"^System down reason : %s$" % re.escape(reason), timeout=10)
    board.wait_until(lambda: board.output(sender)[0] == "sent\n", 10, "the sender's word")
    named = "%s, requested by pid %d (python3)" % (reason, sender)
    line = re.compile(r" reboot up=\d+( boot=\S+)? : %s\n\Z" % re.escape(named))
    board.wait_until(lambda: line.search(board.read_file(RECORD) or ""), 10, "the record")
    reply = json.loads(wardctl(board, "status", "--json").stdout)
    assert reply["termination"]["reason"] == named
    board.wait_for_command("reboot", timeout=15)
