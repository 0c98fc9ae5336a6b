# SPDX-License-Identifier: MIT
"""The shell's pipelines ("ps") and the daemon's own reads ("proc") reach the same verdicts; the
in-process search finds what "pidof -s" finds (a sweep by pid file: test_supervise_terminate)."""
import re

import pytest

from support import RUN

PIDFILE = RUN + "/check.pid"
BIN = "/tmpfs/bin/"
NOT_FOUND = "result 0 forgiven 1"


def driver(board, *args):
    result = board.run(board.emulator + [board.build_dir + "/bin/alive_driver"] + list(args))
    assert result.status == 0, result
    return result.stdout


def check(board, method, execpath, child=None):
    """(result line, log lines); child: the driver's own child of that kind, its pid shown as PID."""
    if child and board.emulator:
        pytest.skip("the driver's child runs under the emulator's name")
    out = driver(board, "check", method, PIDFILE, execpath, *([child] if child else []))
    child_pid = re.search(r"^child (\d+)$", out, re.M)
    lines = (out.replace(child_pid.group(1), "PID") if child_pid else out).splitlines()
    lines = [line for line in lines if not line.startswith("child ")]
    return lines[0], [line[len("log "):] for line in lines[1:]]


@pytest.fixture
def programs(board):
    pids = {name: board.start_program(name) for name in ("alivematch", "othername", "mygrepd")}
    board.install_program("gone")
    return pids


# (id, pid file text or None, the entry's program, the driver's own child, found, log lines if the
# point). The one intended difference: a zombie, listed by ps, is gone for the daemon.
SITUATIONS = [
    ("missing", None, "alivematch", None, False, ["Cmd exec fail : cat " + PIDFILE]),
    ("two-lines", "1999999\n{alivematch}\n", "alivematch", None, True, None),
    ("not-a-number", "abc\n", "alivematch", None, False,
     ["Str2Num convert error [abc] : cat " + PIDFILE, "Illegal PID file [alivematch:%s]" % PIDFILE]),
    ("negative", "-12\n", "alivematch", None, False, ["Illegal PID file [alivematch:%s]" % PIDFILE]),
    ("zero", "0\n", "alivematch", None, False, ["Process [alivematch:0] was not found"]),
    ("name-matches", "{alivematch}\n", "alivematch", None, True, None),
    ("name-differs", "{othername}\n", "alivematch", None, False, None),
    ("name-contains-grep", "{mygrepd}\n", "mygrepd", None, False, None),
    ("own-child", "", "gone", "live", True, None),
    ("exits-between-the-steps", "", "gone", "between", False, None),
    ("zombie", "", "gone", "zombie", True, None),
]


@pytest.mark.parametrize("text,program,child,found,lines", [s[1:] for s in SITUATIONS],
                         ids=[s[0] for s in SITUATIONS])
def test_both_methods_reach_the_same_verdict(board, programs, text, program, child, found, lines):
    board.remove_file(PIDFILE)
    if text is not None:
        board.write_file(PIDFILE, text.format(**programs))
    ps, proc = check(board, "ps", BIN + program, child), check(board, "proc", BIN + program, child)
    assert proc == (ps if child != "zombie" else (NOT_FOUND, ["Process [gone:PID] was not found"]))
    assert (ps == ("result 0 forgiven 0", [])) == found, ps
    assert lines is None or ps[1] == lines, ps


# Every name, both ways, with a renamed process, two of one name, a script and a zombie; only pidof's
# own pipeline (its shell, pidof itself) exists for one way alone.
def test_in_process_search_names_what_pidof_names(board, programs):
    board.write_file(BIN + "script.sh", "#!/bin/sh\nsleep 1000\n", mode=0o755)
    board.spawn([BIN + "script.sh"])
    board.start_program("alivematch")  # a second one, with a higher pid
    board.spawn(["/usr/bin/perl", "-e", '$0 = "renamed"; sleep 1000'])
    board.spawn(["/usr/bin/python3", "-c", "import os, time\nos.fork() or os._exit(0)\ntime.sleep(1000)"])
    board.wait_until(lambda: board.pids(cmdline="renamed"), 10, "the renamed process")
    lines = driver(board, "pidof-all").splitlines()
    assert not [l for l in lines if l.startswith("differs ") and l.split()[1] not in ("pidof", "sh")], lines
    assert len(lines) >= 8, lines
