# SPDX-License-Identifier: MIT
import os
import re

from board import BOARD_DIR, DEFAULT_CONFIG, LOG_DEBUG, WDIOC_KEEPALIVE

RUN = "/tmpfs/run"
PIDFILE = RUN + "/wardend.pid"
BASE_CONFIG = "WdtRefreshPeriod:1\nTermTimeout:1\nWardend:x:%s\n" % PIDFILE
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def start_daemon(board, config, args=(), pidfile=None):
    """The detached daemon's pid, once it runs alone (and has written pidfile)."""
    board.mkdir(RUN)
    board.write_config(config)
    started = board.daemon(args)
    assert started.status == 0, started
    pid = board.wait_daemon_pid(started)
    if pidfile:
        board.wait_pid_file(pidfile)
    return pid


def keepalives(board):
    return [r for r in board.device_records("watchdog") if r.request == WDIOC_KEEPALIVE]


def wait_for_refreshes(board, count=2):
    board.wait_until(lambda: len(keepalives(board)) >= count, 10, "%d keep-alives" % count)


def watchdog_thread(board, pid):
    """The thread that refreshes, once it has (the main thread makes only the first keep-alive)."""
    board.wait_until(lambda: [r for r in keepalives(board) if r.tid != pid], 10, "the watchdog thread")
    return [r.tid for r in keepalives(board) if r.tid != pid][0]


def terminate(board, mode, reason, config_text):
    board.write_config(config_text, DEFAULT_CONFIG)
    argv = [board.build_dir + "/bin/terminate_driver", DEFAULT_CONFIG, str(mode), reason]
    if board.emulator:
        argv = board.emulator + ["-E", "LD_PRELOAD=" + board.devrec] + argv
    return board.spawn(argv, env=dict(board.daemon_env(), WARDEND_BOARD_DIR=BOARD_DIR))


def wardctl(board, *args, check=True):
    result = board.run(board.emulator + [board.build_dir + "/bin/wardctl"] + list(args))
    assert not check or (result.status, result.stderr) == (0, ""), result
    return result


def wardctl_for_others(board):
    """wardctl (and a cross build's emulator) copied where users other than root may run it."""
    board.mkdir("/tmpfs/bin")
    words = []
    for word in board.emulator + [board.build_dir + "/bin/wardctl"]:
        if os.path.isfile(word):  # the trees have the same paths on the board
            copy = "/tmpfs/bin/" + os.path.basename(word)
            assert board.run(["cp", word, copy]).status == 0
            word = copy
        words.append(word)
    return words


def wardctl_as_nobody(board, *args, cwd=None):
    return board.run(NOBODY + wardctl_for_others(board) + list(args), cwd=cwd)


def dump(board, command, what, pidfile=PIDFILE):
    """The dump's lines, heading to end (command "dump-config" or "dump-debug")."""
    head, end = "=" * 15 + " %s dump " % what + "=" * 17, "=" * 14 + " End of %s " % what + "=" * 16
    start = len(board.log_lines())
    wardctl(board, "-p", pidfile, command)
    board.wait_for_log("^" + re.escape(end) + "$", timeout=10, start=start)
    texts = [line.text for line in board.log_lines()[start:] if line.severity == LOG_DEBUG]
    return texts[texts.index(head):texts.index(end) + 1]


def dump_fields(lines):
    """{name: value} of the dump's fields, such as "Process[ 2].ExecPath"."""
    matches = (re.fullmatch(r"  (.+?) += (.*?) *", line) for line in lines)
    return {m.group(1): m.group(2) for m in matches if m}
