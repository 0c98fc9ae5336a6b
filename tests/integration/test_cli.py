"""The daemon's command line, single-instance guard, detaching, pid file and
exit path, run as the real binary on the simulated board."""
import signal

import pytest

from board import LOG_CRIT, LOG_LOCAL0

USAGE = ("%s: Valid parameters are:\n"
         "  -c <config file> - use a config file besides /etc/wardend.conf\n"
         "  -P <file> - set location of pid file\n"
         "  -n - Don't detach from the controlling terminal\n"
         "  -d - Don't detach and send debug I/O to standard output\n"
         "  -v - print the program's version and exit\n")

PIDFILE = "/tmpfs/run/wardend.pid"
CONFIG = "WdtRefreshPeriod:1\nAliveWatchPeriod:3\nTermTimeout:1\n"
CONFIG_WITH_PIDFILE = CONFIG + "Wardend:x:%s\n" % PIDFILE
# A refused value makes the start-up read log one line, so a start can be seen.
CONFIG_WITH_BAD_LINE = CONFIG_WITH_PIDFILE + "AliveWatchPeriod:x\n"


def prog(board):
    return board.daemon_binary()


def start_detached(board, args=(), config_text=CONFIG_WITH_PIDFILE, cwd=None):
    """Starts the daemon without -n; returns (started process's Result, daemon pid)
    once the daemon's loop has opened the watchdog."""
    board.mkdir("/tmpfs/run")
    board.write_config(config_text)
    seen = len(board.device_records())
    result = board.daemon(args, cwd=cwd)
    assert result.status == 0, result
    pid = wait_watchdog_open(board, start=seen)
    # The processes that detaching leaves behind end on their own (slowly in
    # a sanitizer build, which checks for leaks at exit).
    board.wait_until(lambda: board.daemon_pids() == [pid], 10, "the detached daemon alone")
    return result, pid


def wait_watchdog_open(board, pid=None, start=0):
    """Pid of the process that opened the watchdog and made its first requests."""
    def requested():
        return [r.pid for r in board.device_records()[start:]
                if r.device == "watchdog" and r.event == "ioctl" and pid in (None, r.pid)]
    board.wait_until(requested, 10, "watchdog requests")
    return requested()[0]


# ---- one-shot options and refused command lines ----------------------------

@pytest.mark.parametrize("args, status, stdout, stderr", [
    (["-v"], 0, "{prog} version 1.0.4\n", ""),
    (["-n", "-v"], 0, "{prog} version 1.0.4\n", ""),
    (["-v", "-x"], 0, "{prog} version 1.0.4\n", ""),
    (["-x", "-v"], 1, "", "Invalid option: '-x'\n" + USAGE),
    (["--"], 1, "", "Invalid option: '--'\n" + USAGE),
    (["-"], 1, "", "Invalid argument: '-'\n" + USAGE),
    (["-nd"], 1, "", "Invalid argument: '-nd'\n" + USAGE),
    (["config.conf"], 1, "", "Invalid argument: 'config.conf'\n" + USAGE),
    (["-P"], 1, "", "No pid file specified with -P\n" + USAGE),
    (["-n", "-c"], 1, "", "No config file specified with -c\n" + USAGE),
    (["-x", "-f"], 1, "", "Invalid option: '-x'\n" + USAGE),
    (["-f", "-x"], 1, "", "MSG Que is not exist\n"),
    (["-f"], 1, "", "MSG Que is not exist\n"),
])
def test_one_shot_and_refused_command_lines(board, args, status, stdout, stderr):
    result = board.daemon(args, config=None, wait=True)
    name = prog(board)
    assert (result.status, result.stdout, result.stderr) == (
        status, stdout.replace("{prog}", name), stderr.replace("%s", name, 1))
    # None of these claims the queue or logs anything.
    assert not board.queue_exists()
    assert board.log_lines() == []
    assert board.daemon_pids() == []


def test_force_delete_removes_a_stale_queue(board):
    board.create_queue()
    result = board.daemon(["-f"], config=None)
    assert (result.status, result.stdout, result.stderr) == (0, "MSG Que is forcely deleted!\n", "")
    assert not board.queue_exists()


def test_stale_queue_stops_start_at_the_guard(board):
    board.write_config(CONFIG_WITH_BAD_LINE)
    board.create_queue()
    result = board.daemon()
    assert (result.status, result.stdout, result.stderr) == (1, "", "MSG QUE already exist\n")
    assert board.queue_exists()
    assert board.log_lines() == []
    assert board.daemon_pids() == []


def test_guard_and_one_shot_options_while_a_daemon_runs(board):
    _, pid = start_detached(board)
    lines_before = len(board.log_lines())

    second = board.daemon(["-n"], wait=True)
    assert (second.status, second.stdout, second.stderr) == (1, "", "MSG QUE already exist\n")
    assert board.daemon_pids() == [pid]
    assert len(board.log_lines()) == lines_before

    version = board.daemon(["-v"])
    assert (version.status, version.stdout) == (0, "%s version 1.0.4\n" % prog(board))

    force = board.daemon(["-f"])
    assert (force.status, force.stdout, force.stderr) == (0, "MSG Que is forcely deleted!\n", "")
    assert not board.queue_exists()


# ---- detaching and the foreground ----------------------------------------------

@pytest.mark.parametrize("args", [[], ["-d"]], ids=["plain", "debug"])
def test_detaches_into_a_new_session(board, args):
    started, pid = start_detached(board, args, cwd="/tmp")
    assert pid != started.pid
    info = board.procinfo(pid)
    assert info["cwd"] == "/"
    # Later opens reuse the numbers 0 to 2, but none of the descriptors the
    # daemon was started with is left.
    inherited = board.procinfo(board.agent_pid)["fds"].values()
    assert not [t for t in info["fds"].values() if ".agent-run-" in t or t == "/dev/null" or t in inherited], info
    assert info["sid"] not in (started.pid, pid)
    assert board.read_file(PIDFILE) == "%d\n" % pid


def test_foreground_keeps_pid_cwd_descriptors_and_logs_to_stderr(board):
    board.mkdir("/tmpfs/run")
    board.write_config(CONFIG_WITH_BAD_LINE)
    pid = board.daemon(["-n"], cwd="/tmp")
    line = board.wait_for_log(r"^Str2Num convert error \[x\]")
    assert line.pid == pid and line.ident == "wardend" and line.facility == LOG_LOCAL0
    wait_watchdog_open(board, pid)
    info = board.procinfo(pid)
    assert info["cwd"] == "/tmp"
    assert info["fds"][1].startswith("/board/out/") and info["fds"][2].startswith("/board/out/")
    assert board.read_file(PIDFILE) == "%d\n" % pid
    board.wait_until(lambda: "Str2Num convert error [x]" in board.output(pid)[1], 5, "log line on stderr")
    assert board.daemon_pids() == [pid]
    assert board.stop_daemon(pid) == 0


def test_debug_mode_adds_the_source_suffix(board):
    start_detached(board, ["-d"], config_text=CONFIG_WITH_BAD_LINE)
    line = board.wait_for_log(r"^Str2Num convert error \[x\]")
    assert line.text.endswith("@readconfig\n")
    assert " | " in line.text and ":handle_numeric@" in line.text


# ---- pid file ------------------------------------------------------------------

@pytest.mark.parametrize("args, config_text, expected, absent", [
    (["-P", "/tmpfs/run/option.pid"], CONFIG_WITH_PIDFILE, "/tmpfs/run/option.pid", PIDFILE),
    ([], CONFIG_WITH_PIDFILE, PIDFILE, None),
    # The value of -P is the next word whatever it looks like; the daemon
    # detaches to "/" before it writes the file.
    (["-P", "-n"], CONFIG, "/-n", None),
], ids=["option", "config", "option-takes-dash-word"])
def test_pid_file_written_and_removed_at_exit(board, args, config_text, expected, absent):
    _, pid = start_detached(board, args, config_text)
    assert board.read_file(expected) == "%d\n" % pid
    if absent:
        assert not board.exists(absent)
    assert board.stop_daemon(pid) == 0
    assert not board.exists(expected)


def test_no_pid_file_without_option_or_config_line(board):
    _, pid = start_detached(board, config_text=CONFIG)
    assert board.run(["ls", "-A", "/tmpfs/run"]).stdout == ""
    assert board.stop_daemon(pid) == 0


# ---- exit paths ----------------------------------------------------------------

@pytest.mark.parametrize("args", [[], ["-n"]], ids=["detached", "foreground"])
def test_missing_watchdog_device_ends_the_daemon_cleanly(make_board, args):
    board = make_board(watchdog=False)
    board.mkdir("/tmpfs/run")
    board.write_config(CONFIG_WITH_PIDFILE)
    started = board.daemon(args)
    line = board.wait_for_log(r"^Cannot open WDT device$", severity=LOG_CRIT)
    assert board.wait(line.pid) == 0
    if "-n" in args:
        assert line.pid == started
    else:
        assert started.status == 0 and line.pid != started.pid
    assert not board.queue_exists()
    assert not board.exists(PIDFILE)
    assert board.device_records("pow_led") == []
    assert [r.event for r in board.device_records("watchdog")] == ["open"]
    assert board.device_records("watchdog")[0].fd == -1


def test_sigterm_stops_the_daemon_and_cleans_up(board):
    _, pid = start_detached(board)
    assert board.queue_exists()
    assert board.stop_daemon(pid, timeout=15) == 0
    assert not board.queue_exists()
    assert not board.exists(PIDFILE)
    watchdog = board.device_records("watchdog")
    assert watchdog[0].event == "open" and watchdog[-1].event == "close"
    assert board.led_settings() == [(3, 0)]
    # The LED is set after the watchdog is closed.
    assert board.device_records("pow_led")[0].time >= watchdog[-1].time


def test_sigterm_stop_with_led_device_missing_still_exits_zero(make_board):
    board = make_board(led=False)
    _, pid = start_detached(board)
    assert board.stop_daemon(pid, timeout=15) == 0
    board.wait_for_log(r"^PWR-LED open fail$")
    assert not board.queue_exists()


def test_sigkill_leaves_the_queue_until_force_delete(board):
    _, pid = start_detached(board)
    board.kill(pid, signal.SIGKILL)
    assert board.wait(pid) == -signal.SIGKILL
    again = board.daemon()
    assert (again.status, again.stderr) == (1, "MSG QUE already exist\n")
    assert board.daemon(["-f"], config=None).status == 0
    _, pid = start_detached(board)
    assert board.stop_daemon(pid, timeout=15) == 0
