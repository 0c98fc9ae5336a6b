# SPDX-License-Identifier: MIT
# The daemon's command line, single-instance guard, detaching, pid file and exit path.
import os

import pytest

from board import LOG_CRIT, LOG_LOCAL0, VERSION
from support import PIDFILE, RUN, keepalives, start_daemon

USAGE = ("{prog}: Valid parameters are:\n"
         "  -c <config file> - use a config file besides /etc/wardend.conf\n"
         "  -P <file> - set location of pid file\n"
         "  -n - Don't detach from the controlling terminal\n"
         "  -d - Don't detach and send debug I/O to standard output\n"
         "  -v - print the program's version and exit\n")
CONFIG = "WdtRefreshPeriod:1\nAliveWatchPeriod:3\nTermTimeout:1\n"
CONFIG_WITH_PIDFILE = CONFIG + "Wardend:x:%s\n" % PIDFILE
# Longer than the text fields: written and removed whole, while the file of its first 259 characters stays.
LONG_PIDFILE = RUN + "/" + "d" * 200 + "/" + "p" * 100


@pytest.mark.parametrize("args, status, stdout, stderr", [
    (["-v"], 0, "{prog} version %s\n" % VERSION, ""),
    (["-x", "-v"], 1, "", "Invalid option: '-x'\n" + USAGE),
    (["-"], 1, "", "Invalid argument: '-'\n" + USAGE),
    (["-P"], 1, "", "No pid file specified with -P\n" + USAGE),
    (["-n", "-c"], 1, "", "No config file specified with -c\n" + USAGE),
    (["-f", "-x"], 1, "", "MSG Que is not exist\n"),
])
def test_one_shot_and_refused_command_lines(board, args, status, stdout, stderr):
    r, name = board.daemon(args, config=None, wait=True), board.daemon_binary()
    assert (r.status, r.stdout, r.stderr) == (status, stdout.replace("{prog}", name),
                                              stderr.replace("{prog}", name))
    assert not board.queue_exists() and board.log_lines() == [] and board.daemon_pids() == []


# A refused value logs one line at start-up (in debug mode naming its source); a second daemon is
# refused while one runs, and -f then deletes the running daemon's queue.
@pytest.mark.parametrize("args, cwd", [([], "/"), (["-d"], "/"), (["-n"], "/tmp")])
def test_detaches_into_a_new_session_or_stays_in_the_foreground(board, args, cwd):
    board.mkdir(RUN)
    board.write_config(CONFIG_WITH_PIDFILE + "AliveWatchPeriod:x\n")
    started = board.daemon(args, cwd="/tmp")
    pid = started if "-n" in args else board.wait_daemon_pid(started)
    line = board.wait_for_log(r"^Str2Num convert error \[x\]")
    board.wait_until(lambda: keepalives(board), 10, "a keep-alive")
    assert (line.ident, line.facility, keepalives(board)[0].pid) == ("wardend", LOG_LOCAL0, pid)
    assert ("-d" in args) == (" | " in line.text and line.text.endswith(":handle_numeric@readconfig\n"))
    info = board.procinfo(pid)
    lines = len(board.log_lines())
    second = board.daemon(["-n"], wait=True)
    assert (info["cwd"], second[:3], board.daemon_pids()) == (cwd, (1, "", "MSG QUE already exist\n"), [pid])
    assert len(board.log_lines()) == lines
    if "-n" in args:
        assert line.pid == pid and all(info["fds"][n].startswith("/board/out/") for n in (1, 2))
        board.wait_until(lambda: "Str2Num convert error [x]" in board.output(pid)[1], 5, "log line on stderr")
        return
    assert started.status == 0 and pid != started.pid and info["sid"] not in (started.pid, pid)
    # Later opens reuse the numbers 0 to 2, but none of the descriptors it was started with is left.
    inherited = board.procinfo(board.agent_pid)["fds"].values()
    assert not [t for t in info["fds"].values()
                if ".agent-run-" in t or t == "/dev/null" or t in inherited], info
    assert board.daemon(["-f"])[:3] == (0, "MSG Que is forcely deleted!\n", "") and not board.queue_exists()


@pytest.mark.parametrize("args, config_text, pidfile", [
    (["-P", LONG_PIDFILE], CONFIG_WITH_PIDFILE, LONG_PIDFILE), ([], CONFIG_WITH_PIDFILE, PIDFILE),
    # -P takes the next word whatever it looks like; the daemon detaches to "/" before it writes it.
    (["-P", "-n"], CONFIG, "/-n"), ([], CONFIG, None),
], ids=["option", "config", "option-takes-dash-word", "none"])
def test_pid_file_and_sigterm_exit(board, args, config_text, pidfile):
    board.mkdir(os.path.dirname(LONG_PIDFILE))
    board.write_file(LONG_PIDFILE[:259], "decoy\n")
    pid = start_daemon(board, config_text, args, pidfile=pidfile)
    assert pidfile is None or board.read_file(pidfile) == "%d\n" % pid
    assert board.exists(PIDFILE) == (pidfile == PIDFILE) and board.queue_exists()
    assert board.stop_daemon(pid, timeout=15) == 0 and not board.queue_exists()
    assert not (pidfile and board.exists(pidfile)) and board.read_file(LONG_PIDFILE[:259]) == "decoy\n"
    assert board.led_settings() == [(3, 0)] and (  # set after the watchdog is closed
        board.device_records("pow_led")[0].time >= board.device_records("watchdog")[-1].time)


def test_missing_watchdog_device_ends_the_daemon_cleanly(make_board):
    board = make_board(watchdog=False)
    board.mkdir(RUN)
    board.write_config(CONFIG_WITH_PIDFILE)
    started = board.daemon()
    line = board.wait_for_log(r"^Cannot open WDT device$", severity=LOG_CRIT)
    assert started.status == 0 and line.pid != started.pid and board.wait(line.pid) == 0
    assert not board.queue_exists() and not board.exists(PIDFILE)
    assert [(r.device, r.event, r.fd) for r in board.device_records()] == [("watchdog", "open", -1)]
