# SPDX-License-Identifier: MIT
"""ControlGroup on the queue and the status socket (other users: uid 65534, in group "users" or not)."""
import grp
import json
import os
import re

from board import SOURCE_DIR
from support import BASE_CONFIG, NOBODY, PIDFILE, start_daemon, wardctl, wardctl_for_others

GROUP = "users"
GID = grp.getgrnam(GROUP).gr_gid
REFUSED = "permission denied: ask to be added to group %s" % GROUP
USERS = {
    "root": ([], True),
    "member": (NOBODY[:-1] + ["--groups=%d" % GID], True),
    "member by primary group": (["setpriv", "--reuid=65534", "--regid=%d" % GID, "--clear-groups"], True),
    "non-member": (NOBODY, False),
}

PY_CLIENT = """import sys, time
sys.path.insert(0, "/tmpfs/py")
import wardclient
if sys.argv[1] == "reboot":
    wardclient.reboot("updater", "new firmware")
    time.sleep(60)
wardclient.status(pid_file=sys.argv[2])
"""


def as_user(board, user, *args):
    return board.run(USERS[user][0] + wardctl_for_others(board) + list(args))


def queue_permissions(board):
    """(mode, gid) of the board's queue, from the list every user may read."""
    rows = board.read_file("/proc/sysvipc/msg").splitlines()
    fields = next(row.split() for row in rows if "99990001" in row)
    return int(fields[2], 8) & 0o777, int(fields[8])


def py_client(user, *args):
    return USERS[user][0] + ["/usr/bin/python3", "/tmpfs/py_client.py"] + list(args)


# Health checks and status allowed or refused by group, with one clear message; a non-member's reboot
# request never arrives. A re-read without the key opens both; its sender is then named in the status.
def test_control_group_admits_root_and_members_only(board):
    start_daemon(board, BASE_CONFIG + "ControlGroup:%s\n" % GROUP, pidfile=PIDFILE)
    board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the status socket")
    with open(os.path.join(SOURCE_DIR, "client", "python", "wardclient.py")) as module:
        board.write_file("/tmpfs/py/wardclient.py", module.read())
    board.write_file("/tmpfs/py_client.py", PY_CLIENT)
    assert queue_permissions(board) == (0o620, GID)
    for number, (user, (_, allowed)) in enumerate(USERS.items()):
        health = as_user(board, user, "health", "probe-%d" % number)
        shown = as_user(board, user, "-p", PIDFILE, "status")
        expected = (0, "") if allowed else (1, "wardctl: %s\n" % REFUSED)
        assert (health.status, health.stderr) == (shown.status, shown.stderr) == expected, (health, shown)
        python = board.run(py_client(user, "status", PIDFILE)).stderr.splitlines()[-1:]
        assert python == ([] if allowed else ["wardclient.AccessError: " + REFUSED]), (user, python)
    reboot = as_user(board, "non-member", "reboot", "intruder", "go down")
    scraped = as_user(board, "non-member", "-p", PIDFILE, "status", "--prometheus")
    assert (reboot.status, reboot.stderr) == (1, "wardctl: %s\n" % REFUSED), reboot
    assert scraped.status == 1 and re.search(r"^wardend_up 0$", scraped.stdout, re.M), scraped
    board.wait_for_log(r"^No match processes in health check \[probe-2\]$", timeout=10)
    assert not [t for t in board.log_texts() if "[probe-3]" in t or t.startswith("System down reason")]
    # The daemon's own message still reaches it under the new mode: SIGHUP's re-read.
    wardctl(board, "-p", PIDFILE, "reread")
    board.wait_for_log(r"^Re-read config request received$", timeout=10)
    assert queue_permissions(board) == (0o620, GID)

    board.write_config(BASE_CONFIG, "/tmpfs/next.conf")
    wardctl(board, "reread", "/tmpfs/next.conf")
    board.wait_until(lambda: queue_permissions(board) == (0o666, 0), 10, "the queue open again")
    assert as_user(board, "non-member", "status").status == 0
    sender = board.spawn(py_client("non-member", "reboot"))  # setpriv becomes python3: the pid stays
    reason = "Reboot request from application [updater] : new firmware"
    board.wait_for_log(r"^System down reason : %s$" % re.escape(reason), timeout=10)
    named = "%s, requested by pid %d (python3)" % (reason, sender)
    assert json.loads(wardctl(board, "status", "--json").stdout)["termination"]["reason"] == named
    board.wait_for_command("reboot", timeout=15)

