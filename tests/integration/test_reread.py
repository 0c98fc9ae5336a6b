# SPDX-License-Identifier: MIT
"""Re-read requests naming something other than a good file (what the reader refuses: unit tests)."""
import re

from board import LOG_ERR
from support import (BASE_CONFIG as BASE, NOBODY, PIDFILE, dump, dump_fields, keepalives, start_daemon,
                     wardctl, wardctl_as_nobody)

SHARED = "/tmpfs/shared"  # like /tmp: anyone may create files, the sticky bit keeps them apart
EVIL = SHARED + "/evil.conf"
OTHERS = (EVIL + ": warning: owner uid 65534, mode 0644: others than root may write the file, so the daemon "
          "refuses a re-read request for it (it reads it only as its own file)\n")
NOT_SENT = "wardctl: not sent%s; --force sends it all the same\n"


def handled_requests(board, marker):
    """The re-read requests handled since the last marker (its health check queues behind them)."""
    wardctl(board, "health", marker)
    board.wait_for_log(r"^No match processes in health check \[%s\]$" % marker, timeout=10)
    texts = board.log_texts()
    start = max([i for i, t in enumerate(texts) if t.startswith("No match processes")][:-1], default=0)
    return texts[start:].count("Re-read config request received")


# Any user may ask for a re-read, and the file's commands run as root: a file such a user may write
# once reached a root shell, a path once went to a shell unquoted. wardctl reread checks the file and
# sends no request the daemon would refuse, unless forced. The refreshes go on throughout.
def test_what_the_daemon_must_not_read_is_refused_at_once_and_not_sent(board):
    start_daemon(board, BASE, pidfile=PIDFILE)
    assert board.sh("mkdir -p -m 1777 " + SHARED).status == 0
    text = BASE + "AliveWatchPeriod:1\nProcess:RESPAWN:0:%s/evil.pid:/bin/sh:-c id>/tmp/pwned\n" % SHARED
    script = "umask 022; printf '99999\\n' >%s/evil.pid; printf '%%s' \"$1\" >%s" % (SHARED, EVIL)
    assert board.run(NOBODY + ["/bin/sh", "-c", script, "sh", text]).status == 0
    r = wardctl_as_nobody(board, "reread", EVIL)
    assert (r.status, r.stderr) == (1, OTHERS + NOT_SENT % ": the daemon would refuse the file"), r
    shell = "/x;id>/tmp/pwned$(id>/tmp/pwned)`id>/tmp/pwned`|id>/tmp/pwned"
    for path in (EVIL, shell):
        r = wardctl_as_nobody(board, "reread", "--force", path)
        assert (r.status, r.stderr) == (0, ""), r
    for path, why in [(EVIL, "Operation not permitted"), (shell, "No such file or directory")]:
        board.wait_for_log("^Unable to open config file '%s': %s$" % (re.escape(path), why), severity=LOG_ERR)
    assert handled_requests(board, "refused") == 2 and not board.exists("/tmp/pwned")

    refreshes = len(keepalives(board))
    entry = "Process:MONITOR:0:%s:" + board.install_program("pa") + "\n"
    good = board.write_config(BASE + entry % PIDFILE, "/tmpfs/config/good.conf")
    warn = board.write_config(BASE + "WdtRefreshPeriod:0\n", "/tmpfs/config/warn.conf")
    bad = board.write_config(BASE + entry % "/tmpfs/run/none.pid", "/tmpfs/config/bad.conf")
    missing = "/tmpfs/config/missing.conf"
    for number, (args, status, stderr, sent) in enumerate([
        (["--force", bad], 0, "", 1),
        ([bad], 1, bad + ":4: error: Config read: PID file is not exist line 4 [/tmpfs/run/none.pid]\n"
         + NOT_SENT % ": the daemon would refuse these lines", 0),
        ([missing], 2, "wardctl: cannot read %s: No such file or directory\n" % missing + NOT_SENT % "", 0),
        ([warn], 0, warn + ":4: warning: WdtRefreshPeriod 0 is taken as 1 second\n", 1),
        ([good], 0, "", 1),
    ]):
        r = wardctl(board, "reread", *args, check=False)
        assert (r.status, r.stderr, handled_requests(board, str(number))) == (status, stderr, sent), (args, r)
    assert dump_fields(dump(board, "dump-config", "Configuration database"))["Process[ 0].procName"] == "pa"
    # The watchdog thread may have taken the default period of the refused reads for one sleep.
    board.wait_until(lambda: len(keepalives(board)) >= refreshes + 2, 40, "refreshes after the re-reads")
