# wardctl check on the simulated board, run as an ordinary user: its output
# format and exit statuses, files it cannot check, and that it touches
# neither the queue, the watchdog, the system log nor any command.
import pytest

from support import wardctl_as_nobody

PIDFILE, PROGRAM = "/tmpfs/run/app.pid", "/tmpfs/bin/app"
GOOD = "AliveWatchPeriod:10\nProcess:MONITOR:0:%s:%s\n" % (PIDFILE, PROGRAM)


def check(board, *args, cwd=None):
    return wardctl_as_nobody(board, "check", *args, cwd=cwd)


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
    (["a.conf", "b.conf"], "usage: wardctl check [--quiet] [--root DIR] [FILE]"),
    (["--verbose", "a.conf"], "unknown option '--verbose' of check"),
])
def test_usage_errors(board, args, message):
    r = check(board, *args)
    assert (r.status, r.stdout) == (2, "") and r.stderr.startswith("wardctl: " + message + "\n"), r


# The file is taken whole, as the daemon takes it: a path the shell would
# split or run, a NUL in a comment or a byte of no encoding (under the
# board's UTF-8 locale) in a respawn option hides none of the "Process" lines
# from the count that sizes the table.
TWO = GOOD + "Process:MONITOR:0:%s:/tmpfs/bin/other\n" % PIDFILE


@pytest.mark.parametrize("name, content", [
    ("-q", GOOD), ("a b.conf", GOOD), ("x;echo 9;y.conf", GOOD),
    ("nul.conf", "# a\0comment\n" + TWO),
    ("latin1.conf", TWO.replace("/app\n", "/app:--name=caf\xe9\n").encode("latin-1")),
], ids=["leading-dash", "blank", "shell-command", "nul-in-comment", "latin1-in-options"])
def test_the_file_is_counted_as_the_daemon_reads_it(files, name, content):
    files.write_file("/tmpfs/bin/other", "#!/bin/sh\n", mode=0o755)
    files.write_file("/tmpfs/" + name, content)
    r = check(files, "--", name, cwd="/tmpfs")
    assert (r.status, r.stdout, r.stderr) == (0, "", ""), r
