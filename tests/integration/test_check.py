# wardctl check on the simulated board, run as an ordinary user: its output
# format and exit statuses, files it cannot check, and that it touches
# neither the queue, the watchdog, the system log nor any command.
import os

import pytest

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
PIDFILE, PROGRAM = "/tmpfs/run/app.pid", "/tmpfs/bin/app"
GOOD = "AliveWatchPeriod:10\nProcess:MONITOR:0:%s:%s\n" % (PIDFILE, PROGRAM)


# The board's view of the trees is closed to other users, so wardctl (and
# the emulator script of a cross build) are copied where nobody may run them.
def check(board, *args, cwd=None):
    board.mkdir("/tmpfs/bin")
    words = []
    for word in board.emulator + [board.build_dir + "/bin/wardctl"]:
        if os.path.isfile(word):  # the trees have the same paths on the board
            copy = "/tmpfs/bin/" + word.rsplit("/", 1)[1]
            assert board.run(["cp", word, copy]).status == 0
            word = copy
        words.append(word)
    return board.run(NOBODY + words + ["check"] + list(args), cwd=cwd)


@pytest.fixture
def files(board):
    board.write_file(PIDFILE, "42\n")
    board.write_file(PROGRAM, "#!/bin/sh\n", mode=0o755)
    board.write_file("/tmpfs/good.conf", GOOD)
    board.write_file("/tmpfs/bad.conf", "# refused, then mistyped\nTermTimeout:5\r\nAliveWatchPerod:3\n")
    board.write_file("/tmpfs/warn.conf", GOOD + "WdtRefreshPeriod:0\n")
    board.write_file("/tmpfs/secret.conf", GOOD, mode=0o600)
    board.mkdir("/tmpfs/dir.conf")
    return board


BAD_OUTPUT = ("/tmpfs/bad.conf:2: error: Str2Num convert error [5\\r] : Success\n"
              "/tmpfs/bad.conf:2: warning: Windows line end: the carriage return stays in the last field, where a number"
              " does not convert and a path names no file\n"
              "/tmpfs/bad.conf:3: warning: unknown key 'AliveWatchPerod': the daemon ignores the line;"
              " did you mean 'AliveWatchPeriod'?\n")


@pytest.mark.parametrize("args, status, stdout, stderr", [
    (["/tmpfs/good.conf"], 0, "", ""),
    (["/tmpfs/bad.conf"], 1, BAD_OUTPUT, ""),
    (["/tmpfs/warn.conf"], 1, "/tmpfs/warn.conf:3: warning: WdtRefreshPeriod 0 is taken as 1 second\n", ""),
    (["/tmpfs/missing.conf"], 2, "", "wardctl: cannot read /tmpfs/missing.conf: No such file or directory\n"),
    (["/tmpfs/secret.conf"], 2, "", "wardctl: cannot read /tmpfs/secret.conf: Permission denied\n"),
    (["/tmpfs/dir.conf"], 2, "", "wardctl: /tmpfs/dir.conf is not a regular file\n"),
    (["--quiet", "/tmpfs/good.conf"], 0, "", ""), (["-q", "/tmpfs/bad.conf"], 1, "", ""),
    (["/tmpfs/missing.conf", "--quiet"], 2, "", ""),
    # The daemon's default path.
    ([], 1, BAD_OUTPUT.replace("/tmpfs/bad.conf", "/tmpfs/config/wardend.conf"), ""),
], ids=["clean", "refused", "warning", "missing", "unreadable", "directory", "quiet-clean", "quiet-refused",
        "quiet-missing", "default-path"])
def test_output_and_exit_status(files, args, status, stdout, stderr):
    files.write_config(files.read_file("/tmpfs/bad.conf"))
    r = check(files, *args)
    assert (r.status, r.stdout, r.stderr) == (status, stdout, stderr), r
    # Nothing but files was touched.
    assert not files.queue_exists() and files.log_lines() == []
    assert files.device_records() == [] and files.command_records() == []


@pytest.mark.parametrize("args, message", [
    (["a.conf", "b.conf"], "usage: wardctl check [--quiet] [FILE]"),
    (["--verbose", "a.conf"], "unknown option '--verbose' of check"),
])
def test_usage_errors(board, args, message):
    r = check(board, *args)
    assert (r.status, r.stdout) == (2, "") and r.stderr.startswith("wardctl: " + message + "\n"), r


# The daemon counts "Process" lines with a shell pipeline that takes the path
# unquoted; a path that the shell misreads fills no table, for the check too.
def test_a_path_the_shell_misreads_is_checked_as_the_daemon_reads_it(files):
    files.write_file("/tmpfs/-q", GOOD)
    r = check(files, "--", "-q", cwd="/tmpfs")
    assert (r.status, r.stdout) == (1, "-q:2: error: No more processes manage line 2\n"), r
    # Quiet means quiet, even about the shell's complaints.
    r = check(files, "--quiet", "--", "-q", cwd="/tmpfs")
    assert (r.status, r.stdout, r.stderr) == (1, "", ""), r
