# SPDX-License-Identifier: MIT
# wardctl check run as an ordinary user: its output format and exit statuses, files it cannot check,
# and that it touches neither queue, watchdog, log nor command (what a line draws: the unit tests).
import os

import pytest

from board import DEFAULT_CONFIG, SOURCE_DIR
from support import wardctl_as_nobody

PIDFILE, PROGRAM, IMAGE = "/tmpfs/run/app.pid", "/tmpfs/bin/app", "/tmpfs/image"
GOOD = "AliveWatchPeriod:10\nProcess:MONITOR:0:%s:%s\n" % (PIDFILE, PROGRAM)
BAD_OUTPUT = ("/tmpfs/bad.conf:2: error: Str2Num convert error [5\\r] : Success\n"
              "/tmpfs/bad.conf:2: warning: Windows line end: the carriage return stays in the last field,"
              " where a number does not convert and a path names no file\n"
              "/tmpfs/bad.conf:3: warning: unknown key 'AliveWatchPerod': the daemon ignores the line;"
              " did you mean 'AliveWatchPeriod'?\n")
TRY = "Try 'wardctl --help' for more information.\n"
# Under --root, paths are looked up in the image: the shipped example must be clean there.
IMAGE_CONF = IMAGE + "/tmpfs/config/wardend.conf"


@pytest.fixture
def files(board):
    bad = "# refused, then mistyped\nTermTimeout:5\r\nAliveWatchPerod:3\n"
    for path, text in ((PIDFILE, "42\n"), ("/tmpfs/bad.conf", bad), (DEFAULT_CONFIG, bad),
                       ("/tmpfs/-q.conf", GOOD), ("/tmpfs/warn.conf", GOOD + "WdtRefreshPeriod:0\n"),
                       ("/tmpfs/respawn.conf", "AliveCheck:proc\n" + GOOD.replace("MONITOR", "RESPAWN"))):
        board.write_file(path, text)
    board.write_file(PROGRAM, "#!/bin/sh\n", mode=0o755)
    board.mkdir("/tmpfs/dir.conf")
    with open(os.path.join(SOURCE_DIR, "examples", "wardend.conf")) as f:
        board.write_file(IMAGE_CONF, f.read())
    for fields in (line.split(":") for line in board.read_file(IMAGE_CONF).splitlines()):
        if fields[0] == "Process":
            board.write_file(IMAGE + fields[3], "42\n")
            board.write_file(IMAGE + fields[4], "\x7fELF", mode=0o755)
        elif fields[0] == "RebootRecord":
            board.mkdir(IMAGE + os.path.dirname(fields[1]))
    return board


@pytest.mark.parametrize("args, status, stdout, stderr", [
    (["/tmpfs/bad.conf"], 1, BAD_OUTPUT, ""),
    (["/tmpfs/warn.conf"], 1, "/tmpfs/warn.conf:3: warning: WdtRefreshPeriod 0 is taken as 1 second\n", ""),
    (["/tmpfs/missing.conf"], 2, "", "wardctl: cannot read /tmpfs/missing.conf: No such file or directory\n"),
    (["/tmpfs/dir.conf"], 2, "", "wardctl: /tmpfs/dir.conf is not a regular file\n"),
    (["-q", "/tmpfs/bad.conf"], 1, "", ""), (["/tmpfs/missing.conf", "--quiet"], 2, "", ""),
    ([], 1, BAD_OUTPUT.replace("/tmpfs/bad.conf", "/tmpfs/config/wardend.conf"), ""),
    (["--", "-q.conf"], 0, "", ""),  # a file, not an option
    (["/tmpfs/respawn.conf"], 0, "", ""),  # the respawn command is found on wardctl's own PATH
    (["--root", IMAGE, IMAGE_CONF], 0, "", ""), (["--root", IMAGE + "/"], 0, "", ""),
    (["--root", "/tmpfs/none", IMAGE_CONF], 2, "", "wardctl: --root /tmpfs/none is not a folder\n"),
    (["a.conf", "b.conf"], 2, "", "wardctl: usage: wardctl check [--quiet] [--root DIR] [FILE]\n" + TRY),
], ids=["refused", "warning", "missing", "directory", "quiet-refused", "quiet-missing",
        "default-path", "leading-dash", "own-path", "image", "image-default-file", "no-such-root", "usage"])
def test_output_and_exit_status(files, args, status, stdout, stderr):
    r = wardctl_as_nobody(files, "check", *args, cwd="/tmpfs")
    assert (r.status, r.stdout, r.stderr) == (status, stdout, stderr), r
    assert not files.queue_exists() and files.log_lines() == []
    assert files.device_records() == [] and files.command_records() == []

