# SPDX-License-Identifier: MIT
"""Re-read requests on the simulated board that name something other than a
good configuration file: a file any local user wrote reaches no shell, a
path such a user sends and what is not a regular file are refused at once
while supervision goes on, and wardctl checks a file before it asks the
daemon to read it."""
import re

from board import LOG_ERR
from support import (BASE_CONFIG as BASE, NOBODY, PIDFILE, dump, dump_fields, keepalives, start_daemon, wardctl,
                     wardctl_as_nobody)

REQUESTED = "Re-read config request received"


def unable(path, reason):
    return r"^Unable to open config file '%s': %s$" % (re.escape(path), reason)


def handled_requests(board, marker):
    """The re-read requests the daemon handled since the last marker, once it
    has handled everything sent so far: the health check for marker is
    queued behind them."""
    wardctl(board, "health", marker)
    board.wait_for_log(r"^No match processes in health check \[%s\]$" % marker, timeout=10)
    texts = board.log_texts()
    start = max([i for i, t in enumerate(texts) if t.startswith("No match processes")][:-1], default=0)
    return texts[start:].count(REQUESTED)


# The commands of a configuration file run as root, and a re-read request may
# come from any local user: a file that user wrote once reached a root shell
# through its respawn command. Such a file is refused like one that cannot be
# opened, and leaves the table as a missing file does; wardctl says so before
# it sends the request. The same file, once root's alone, is read.
SHARED = "/tmpfs/shared"  # like /tmp: anyone may create files, the sticky bit keeps them apart
EVIL = SHARED + "/evil.conf"
EVIL_CONFIG = BASE + "AliveWatchPeriod:1\nProcess:RESPAWN:0:%s/evil.pid:/bin/sh:-c id>/tmp/pwned\n" % SHARED
OTHERS = (EVIL + ": warning: owner uid 65534, mode 0644: others than root may write the file, so the daemon "
          "refuses a re-read request for it (it reads it only as its own file)\n")


def test_a_file_others_than_root_may_write_is_refused_on_request(board):
    start_daemon(board, BASE, pidfile=PIDFILE)
    assert board.sh("mkdir -p -m 1777 " + SHARED).status == 0
    script = "umask 022; printf '99999\\n' >%s/evil.pid; printf '%%s' \"$1\" >%s" % (SHARED, EVIL)
    assert board.run(NOBODY + ["/bin/sh", "-c", script, "sh", EVIL_CONFIG]).status == 0

    r = wardctl_as_nobody(board, "check", EVIL)
    assert (r.status, r.stdout) == (1, OTHERS), r
    r = wardctl_as_nobody(board, "reread", EVIL)
    assert (r.status, r.stderr) == (1, OTHERS + "wardctl: not sent: the daemon would refuse the file; "
                                    "--force sends it all the same\n"), r
    assert handled_requests(board, "unsent") == 0
    r = wardctl_as_nobody(board, "reread", "--force", EVIL)
    assert (r.status, r.stderr) == (0, ""), r
    board.wait_for_log(unable(EVIL, "Operation not permitted"), timeout=10, severity=LOG_ERR)
    assert dump_fields(dump(board, "dump-config", "Configuration database")).get("Process[ 0].procName") is None
    assert not board.exists("/tmp/pwned")

    assert board.sh("chown 0:0 %s && chmod 0644 %s" % (EVIL, EVIL)).status == 0
    wardctl(board, "reread", EVIL)
    board.wait_until(lambda: board.exists("/tmp/pwned"), 20, "the respawn of the accepted file")


# The queue takes requests from every local user, and a path once went to a
# shell unquoted: sent by uid 65534, none of these runs its command as root.
# A FIFO without a writer or a directory once hung the re-read with the table
# held (the FIFO) or read as an empty file without a word (the directory).
# All are refused at once with the report of a file that cannot be opened;
# the receiver takes the next request, the table is there for a dump, and
# the refreshes go on.
def test_what_is_no_regular_file_is_refused_at_once(board):
    start_daemon(board, BASE, pidfile=PIDFILE)
    for path in ["/x;id>/tmp/pwned", "/x$(id>/tmp/pwned)", "/x`id>/tmp/pwned`", "/x|id>/tmp/pwned"]:
        r = wardctl_as_nobody(board, "reread", "--force", path)
        assert (r.status, r.stderr) == (0, ""), r
        board.wait_for_log(unable(path, "No such file or directory"), timeout=10, severity=LOG_ERR)
    assert not board.exists("/tmp/pwned")
    assert board.sh("mkfifo /tmpfs/config/fifo.conf").status == 0
    for path, reason in [("/tmpfs/config/fifo.conf", "Invalid argument"), ("/tmpfs/config", "Is a directory")]:
        assert board.msgsnd(4, payload=path)[0] == 0
        board.wait_for_log(unable(path, reason), timeout=10, severity=LOG_ERR)

    good = board.write_config(BASE + "Process:MONITOR:0:%s:%s\n" % (PIDFILE, board.install_program("pa")),
                              "/tmpfs/config/good.conf")
    wardctl(board, "reread", good)
    board.wait_until(lambda: dump_fields(dump(board, "dump-config", "Configuration database")).get(
        "Process[ 0].procName") == "pa", 10, "the re-read of the good file")
    # The watchdog thread may have taken the default period of the refused
    # reads for one sleep.
    count = len(keepalives(board))
    board.wait_until(lambda: len(keepalives(board)) >= count + 2, 40, "refreshes after the re-reads")


# wardctl reread PATH checks the file with the daemon's reader and sends no
# request for a file the daemon cannot read or whose lines it would refuse,
# unless forced; the exit status is that of check. Warnings alone are shown
# and the request is sent.
NOT_SENT = "wardctl: not sent; --force sends it all the same\n"
REFUSED = "wardctl: not sent: the daemon would refuse these lines; --force sends it all the same\n"
MISSING = "/tmpfs/config/missing.conf"


def test_wardctl_reread_checks_the_file_first(board):
    start_daemon(board, BASE, pidfile=PIDFILE)
    program = board.install_program("pa")
    good = board.write_config(BASE + "Process:MONITOR:0:%s:%s\n" % (PIDFILE, program), "/tmpfs/config/good.conf")
    warn = board.write_config(BASE + "WdtRefreshPeriod:0\n", "/tmpfs/config/warn.conf")
    bad = board.write_config(BASE + "Process:MONITOR:0:/tmpfs/run/none.pid:%s\n" % program, "/tmpfs/config/bad.conf")
    assert board.sh("mkfifo /tmpfs/config/fifo.conf").status == 0
    rows = [
        ([good], 0, "", 1),
        ([warn], 0, warn + ":4: warning: WdtRefreshPeriod 0 is taken as 1 second\n", 1),
        ([bad], 1, bad + ":4: error: Config read: PID file is not exist line 4 [/tmpfs/run/none.pid]\n" + REFUSED, 0),
        ([MISSING], 2, "wardctl: cannot read %s: No such file or directory\n" % MISSING + NOT_SENT, 0),
        (["/tmpfs/config/fifo.conf"], 2, "wardctl: /tmpfs/config/fifo.conf is not a regular file\n" + NOT_SENT, 0),
        (["--force"], 2, "wardctl: reread --force needs a PATH\n", 0),
        (["--verbose", good], 2, "wardctl: unknown option '--verbose' of reread\n", 0),
        (["--force", bad], 0, "", 1),
        (["--force", MISSING], 0, "", 1),  # last: it leaves the daemon on the defaults
    ]
    for number, (args, status, stderr, sent) in enumerate(rows):
        r = wardctl(board, "reread", *args, check=False)
        first_line = r.stderr.split("Try 'wardctl --help'")[0]
        assert (r.status, first_line, handled_requests(board, "mark%d" % number)) == (status, stderr, sent), (args, r)
    board.wait_for_log(unable(MISSING, "No such file or directory"), timeout=10)
