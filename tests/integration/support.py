# SPDX-License-Identifier: MIT
"""What the integration tests share: the paths and configurations they use,
starting a daemon on a board, calling wardctl, and reading the dumps."""
import os
import re

from board import BOARD_DIR, DEFAULT_CONFIG, LOG_DEBUG, WDIOC_KEEPALIVE

RUN = "/tmpfs/run"
PIDFILE = RUN + "/wardend.pid"
# A one-second refresh and termination grace, and a pid file for wardctl.
BASE_CONFIG = "WdtRefreshPeriod:1\nTermTimeout:1\nWardend:x:%s\n" % PIDFILE


def start_daemon(board, config, args=(), cwd=None, pidfile=None):
    """Writes config, starts the daemon detached (its start must end with
    status 0) and returns the daemon's pid once it runs alone; with pidfile,
    also once that file is written."""
    board.mkdir(RUN)
    board.write_config(config)
    started = board.daemon(args, cwd=cwd)
    assert started.status == 0, started
    pid = board.wait_daemon_pid()
    if pidfile:
        board.wait_until(lambda: board.exists(pidfile), 10, "the pid file " + pidfile)
    return pid


def keepalives(board):
    return [r for r in board.device_records("watchdog") if r.request == WDIOC_KEEPALIVE]


def wait_for_refreshes(board, count=2):
    """Waits until the device has had count keep-alives (the first is the
    main thread's, the others the watchdog thread's)."""
    board.wait_until(lambda: len(keepalives(board)) >= count, 10, "%d keep-alives" % count)


def terminate(board, mode, reason, config_text):
    """Starts one termination with mode and reason through the test-only
    terminate_driver; returns the driver's pid."""
    board.write_config(config_text, DEFAULT_CONFIG)
    argv = [board.build_dir + "/bin/terminate_driver", DEFAULT_CONFIG, str(mode), reason]
    if board.emulator:
        argv = board.emulator + ["-E", "LD_PRELOAD=" + board.devrec] + argv
    return board.spawn(argv, env=dict(board.daemon_env(), WARDEND_BOARD_DIR=BOARD_DIR))


def watchdog_pid(board):
    """Pid of the first process that made watchdog requests (each board runs one daemon)."""
    def requests():
        return [r for r in board.device_records("watchdog") if r.event == "ioctl"]
    board.wait_until(requests, 10, "watchdog requests")
    return requests()[0].pid


def wardctl(board, *args, check=True):
    """Runs wardctl on the board; with check, it must succeed silently."""
    result = board.run(board.emulator + [board.build_dir + "/bin/wardctl"] + list(args))
    assert not check or (result.status, result.stderr) == (0, ""), result
    return result


NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def wardctl_for_others(board):
    """The words that run wardctl on the board for a user other than root.
    The board's view of the trees is closed to other users, so wardctl (and
    the emulator script of a cross build) are copied where anyone may run
    them."""
    board.mkdir("/tmpfs/bin")
    words = []
    for word in board.emulator + [board.build_dir + "/bin/wardctl"]:
        if os.path.isfile(word):  # the trees have the same paths on the board
            copy = "/tmpfs/bin/" + word.rsplit("/", 1)[1]
            assert board.run(["cp", word, copy]).status == 0
            word = copy
        words.append(word)
    return words


def wardctl_as_nobody(board, *args, cwd=None):
    """Runs wardctl on the board as an ordinary user (uid 65534)."""
    return board.run(NOBODY + wardctl_for_others(board) + list(args), cwd=cwd)


def dump(board, command, what, pidfile=PIDFILE):
    """Asks for a dump through wardctl ("dump-config", "Configuration database"
    or "dump-debug", "Debug Information"); returns its lines from heading to
    end line, of those at debug priority only."""
    head = "=" * 15 + " %s dump " % what + "=" * 17
    end = "=" * 14 + " End of %s " % what + "=" * 16
    start = len(board.log_lines())
    wardctl(board, "-p", pidfile, command)
    board.wait_for_log("^" + re.escape(end) + "$", timeout=10, start=start)
    texts = [line.text for line in board.log_lines()[start:] if line.severity == LOG_DEBUG]
    return texts[texts.index(head):texts.index(end) + 1]


def dump_fields(lines):
    """The "  Name = value" lines of a dump as {name: value}, padding removed;
    process fields are named like "Process[ 2].ExecPath"."""
    fields = {}
    for line in lines:
        match = re.fullmatch(r"  (.+?) += (.*?) *", line)
        if match:
            fields[match.group(1)] = match.group(2)
    return fields
