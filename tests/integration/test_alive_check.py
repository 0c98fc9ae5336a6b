# SPDX-License-Identifier: MIT
"""The two alive-check methods side by side on the simulated board: the shell's
pipelines ("ps", the default) and the pid file and /proc read in the daemon
("proc") must reach the same verdict with the same log lines, except for a
zombie, which only the pipelines count as running. Also the in-process
search of a termination's sweep against the real "pidof -s"."""
import re
import signal

import pytest

from support import RUN, terminate

PIDFILE = RUN + "/check.pid"
BIN = "/tmpfs/bin/"


def driver(board, *args):
    result = board.run(board.emulator + [board.build_dir + "/bin/alive_driver"] + list(args))
    assert result.status == 0, result
    return result.stdout


def skip_for_emulated_child(board):
    """The driver's own child is a copy of the emulator, whose command line
    names the emulator, not the program the row is about."""
    if board.emulator:
        pytest.skip("the driver's child runs under the emulator's name")


def check(board, method, execpath, child=None):
    """(result line, log lines) of one alive check, the driver's own child's pid written as PID."""
    out = driver(board, "check", method, PIDFILE, execpath, *([child] if child else []))
    child_pid = re.search(r"^child (\d+)$", out, re.M)
    if child_pid:
        out = out.replace(child_pid.group(1), "PID")
    lines = [line for line in out.splitlines() if not line.startswith("child ")]
    return lines[0], [line[len("log "):] for line in lines[1:]]


@pytest.fixture
def programs(board):
    """Running processes on the board: {what: pid}."""
    board.mkdir(RUN)
    pids = {name: board.start_program(name) for name in ("alivematch", "othername", "mygrepd")}
    # The name appears only in the arguments of a shell that stays alive.
    pids["args"] = board.spawn(["/bin/sh", "-c", "sleep 1000; : argname"])
    board.install_program("gone")
    return pids


# (id, pid file text or None for no file, the entry's program, own child of the driver)
SITUATIONS = [
    ("missing", None, "alivematch", None),
    ("empty", "", "alivematch", None),
    ("empty-last-line", "{alivematch}\n\n", "alivematch", None),
    ("two-lines", "1999999\n{alivematch}\n", "alivematch", None),
    ("no-newline", "{alivematch}", "alivematch", None),
    ("trailing-blank", "{alivematch} \n", "alivematch", None),
    ("not-a-number", "abc\n", "alivematch", None),
    ("negative", "-12\n", "alivematch", None),
    ("zero", "0\n", "alivematch", None),
    ("no-such-pid", "1999999\n", "alivematch", None),
    ("name-matches", "{alivematch}\n", "alivematch", None),
    ("name-differs", "{othername}\n", "alivematch", None),
    ("part-of-the-name", "{alivematch}\n", "alive", None),
    ("name-in-arguments-only", "{args}\n", "argname", None),
    ("name-contains-grep", "{mygrepd}\n", "mygrepd", None),
    ("long-line", "9" * 300 + "\n", "alivematch", None),
    ("line-of-259", "7" * 259 + "\n", "alivematch", None),
    ("own-child", "", "gone", "live"),
    ("exits-between-the-steps", "", "gone", "between"),
]


@pytest.mark.parametrize("name,text,program,child", SITUATIONS, ids=[s[0] for s in SITUATIONS])
def test_both_methods_reach_the_same_verdict_and_log_lines(board, programs, name, text, program, child):
    if child:
        skip_for_emulated_child(board)
    board.remove_file(PIDFILE)
    if text is not None:
        board.write_file(PIDFILE, text.format(**{k: v for k, v in programs.items()}))
    execpath = BIN + program
    ps = check(board, "ps", execpath, child)
    proc = check(board, "proc", execpath, child)
    assert proc == ps
    # The rows are chosen so that each of the outcomes is covered.
    found = ps == ("result 0 forgiven 0", [])
    assert found == (name in ("two-lines", "no-newline", "name-matches", "part-of-the-name",
                              "name-in-arguments-only", "own-child")), ps
    # A pid that is no process's is looked for (and not found); only a
    # negative one makes the file illegal.
    if name in LINES:
        assert ps[1] == LINES[name], ps


LINES = {
    "zero": ["Process [alivematch:0] was not found"],
    "negative": ["Illegal PID file [alivematch:%s]" % PIDFILE],
    "not-a-number": ["Str2Num convert error [abc] : cat %s" % PIDFILE, "Illegal PID file [alivematch:%s]" % PIDFILE],
}


# The one intended difference: a process that has ended and waits for its
# parent to collect it is listed by ps ("[name] <defunct>"), but counts as
# gone in the daemon's own check.
def test_a_zombie_counts_as_running_for_ps_only(board, programs):
    skip_for_emulated_child(board)
    assert check(board, "ps", BIN + "gone", "zombie") == ("result 0 forgiven 0", [])
    assert check(board, "proc", BIN + "gone", "zombie") == (
        "result 0 forgiven 1", ["Process [gone:PID] was not found"])


# The pid file goes through no shell: a pipe or a folder cannot stall the
# check, and a path with shell characters is read as written.
@pytest.mark.parametrize("kind", ["fifo", "folder"])
def test_a_pid_file_that_is_no_regular_file_is_unreadable(board, programs, kind):
    board.remove_file(PIDFILE)
    board.sh("mkfifo %s" % PIDFILE if kind == "fifo" else "mkdir %s" % PIDFILE)
    assert check(board, "proc", BIN + "alivematch") == (
        "result 0 forgiven 1", ["Cmd exec fail : cat %s" % PIDFILE])


# Every name a process on the board has, looked up both ways. The board runs
# the harness's agent, shells, a renamed process, two processes of one name,
# an interpreted script and a zombie besides.
def test_in_process_search_names_what_pidof_names(board, programs):
    board.write_file(BIN + "script.sh", "#!/bin/sh\nsleep 1000\n", mode=0o755)
    board.spawn([BIN + "script.sh"])
    board.start_program("alivematch")  # a second one, with a higher pid
    board.spawn(["/usr/bin/perl", "-e", '$0 = "renamed"; sleep 1000'])
    board.spawn(["/usr/bin/python3", "-c", "import os, time\nif os.fork() == 0: os._exit(0)\ntime.sleep(1000)"])
    board.wait_until(lambda: board.pids(cmdline="renamed"), 10, "the renamed process")
    lines = driver(board, "pidof-all").splitlines()
    # The pipeline's own processes, its shell and pidof, exist only while it
    # runs, and pidof names that shell when asked for "sh".
    differing = [line for line in lines if line.startswith("differs ") and line.split()[1] not in ("pidof", "sh")]
    assert not differing and len(lines) >= 8, lines


# The sweep under "proc" finds the process by its pid file first: a program
# run by an interpreter, which pidof cannot see, is found and stopped.
@pytest.mark.parametrize("method", ["ps", "proc"])
def test_sweep_reaches_an_interpreted_program_only_in_process(board, method):
    board.mkdir(RUN)
    board.write_file(BIN + "shd", "#!/bin/sh\necho $$ > %s/shd.pid\nwhile :; do sleep 1; done\n" % RUN, mode=0o755)
    pid = board.spawn([BIN + "shd"])
    board.wait_until(lambda: (board.read_file(RUN + "/shd.pid") or "").strip() == str(pid), 10, "shd's pid file")
    assert driver(board, "sweep", method, RUN + "/shd.pid", BIN + "shd").strip() == (
        str(pid) if method == "proc" else "none")
    terminate(board, 2, "stop", "TermTimeout:1\nAliveCheck:%s\nProcess:MANAGE:0:%s/shd.pid:%s\n"
              % (method, RUN, BIN + "shd"))
    board.wait_for_command("reboot", timeout=15)
    if method == "proc":
        assert board.wait(pid, timeout=5) == -signal.SIGTERM
    else:
        assert board.alive(pid)
