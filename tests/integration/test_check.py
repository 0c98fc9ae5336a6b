# SPDX-License-Identifier: MIT
# wardctl check on the simulated board, run as an ordinary user: its output
# format and exit statuses, files it cannot check, and that it touches
# neither the queue, the watchdog, the system log nor any command.
import os

import pytest

from board import SOURCE_DIR
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
    (["--root"], "--root needs a folder"),
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


# A file for an image, checked where the image is built: its paths are looked
# up under the image's root (absolute links inside it included), the respawn
# command is judged by the PATH the image's init script sets, and the file
# itself is read where it lies (by default the image's own default file).
IMAGE = "/tmpfs/image"
IMAGE_CONF = ("RebootRecord:/data/reboots\nRebootLoopLimit:3:600\n"
              "Process:RESPAWN:0:/var/run/camd.pid:/usr/bin/camd:-d\n")


@pytest.fixture
def image(board):
    for folder in ("/data", "/var/run", "/usr/bin", "/opt/camd", "/tmpfs/config"):
        board.mkdir(IMAGE + folder)
    board.write_file(IMAGE + "/var/run/camd.pid", "42\n")
    board.write_file(IMAGE + "/opt/camd/camd", "\x7fELF", mode=0o755)
    assert board.run(["ln", "-s", "/opt/camd/camd", IMAGE + "/usr/bin/camd"]).status == 0
    board.write_file(IMAGE + "/tmpfs/config/wardend.conf", IMAGE_CONF)
    board.write_file("/tmpfs/image.conf", IMAGE_CONF)
    return board


@pytest.mark.parametrize("args, status, stdout, stderr", [
    (["--root", IMAGE, "/tmpfs/image.conf"], 0, "", ""),
    (["--root", IMAGE + "/"], 0, "", ""),
    (["/tmpfs/image.conf"], 1,
     "/tmpfs/image.conf:1: warning: the reboot record's folder /data does not exist, so the daemon cannot keep the"
     " record: create it on persistent storage\n"
     "/tmpfs/image.conf:3: error: Config read: PID file is not exist line 3 [/var/run/camd.pid]\n", ""),
    (["--root", "/tmpfs/none", "/tmpfs/image.conf"], 2, "", "wardctl: --root /tmpfs/none is not a folder\n"),
], ids=["image", "image-default-file", "host", "no-such-root"])
def test_root_judges_a_file_for_an_image(image, args, status, stdout, stderr):
    r = check(image, *args)
    assert (r.status, r.stdout, r.stderr) == (status, stdout, stderr), r


def test_the_shipped_example_is_clean(board):
    """The installed example configuration checks clean for an image that
    has the files it names: every warning it could draw is one an integrator
    would copy."""
    with open(os.path.join(SOURCE_DIR, "examples", "wardend.conf")) as f:
        example = f.read()
    board.write_file("/tmpfs/example.conf", example)
    for line in example.splitlines():
        fields = [field for field in line.split(":") if field]
        if fields[:1] == ["Process"]:
            board.mkdir(IMAGE + os.path.dirname(fields[3]))
            board.write_file(IMAGE + fields[3], "42\n")
            board.mkdir(IMAGE + os.path.dirname(fields[4]))
            board.write_file(IMAGE + fields[4], "\x7fELF", mode=0o755)
        elif fields[:1] == ["RebootRecord"]:
            board.mkdir(IMAGE + os.path.dirname(fields[1]))
    r = check(board, "--root", IMAGE, "/tmpfs/example.conf")
    assert (r.status, r.stdout, r.stderr) == (0, "", ""), r
