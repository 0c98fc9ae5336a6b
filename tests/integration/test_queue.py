"""The control queue on the simulated board: health checks, reboot requests,
illegal types and unknown names sent through wardctl or raw, and the queue
states that must not make the receiver spin (an oversized message at the
head, the queue removed under the running daemon)."""
import os
import re
import time

import pytest

from board import LOG_ERR, LOG_NOTICE, LOG_WARNING

RUN = "/tmpfs/run"
PIDFILE = RUN + "/wardend.pid"
BASE = "WdtRefreshPeriod:1\nTermTimeout:1\nWardend:x:%s\n" % PIDFILE


def wardctl(board, *args, timeout=30):
    argv = board.emulator + [os.path.join(board.build_dir, "bin", "wardctl")] + list(args)
    return board.run(argv, timeout=timeout)


def start_daemon(board, config):
    board.request("mkdir", path=RUN)
    board.write_config(config)
    result = board.daemon()
    assert result.status == 0, result
    pid = board.wait_daemon_pid()
    board.wait_until(lambda: board.exists(PIDFILE), 10, "the pid file")
    return pid


def texts(board, regex):
    return [t for t in board.log_texts() if re.search(regex, t)]


def keepalive_times(board):
    return [r.time for r in board.device_records("watchdog") if r.event == "ioctl"]


def test_wardctl_health_checks_keep_a_process_alive(board):
    board.start_program("hcapp", pidfile=RUN + "/hcapp.pid")
    pid = start_daemon(board, BASE + "AliveWatchPeriod:100\n"
                                      "Process:MONITOR:2:%s/hcapp.pid:/tmpfs/bin/hcapp\n" % RUN)
    # Well past three 2-second windows, each with a health check in it.
    deadline = time.monotonic() + 8
    while time.monotonic() < deadline:
        result = wardctl(board, "health", "hcapp")
        assert (result.status, result.stderr) == (0, ""), result
        time.sleep(0.5)
    assert not texts(board, "System down reason")
    assert not texts(board, "No match processes")
    assert board.stop_daemon(pid, timeout=10) == 0
    assert not board.command_records()


@pytest.mark.parametrize("command, reason, commands", [
    ("reboot", "Reboot request from application [updater] : new firmware 2.1", ["reboot"]),
    ("safe-reboot", "Reboot to Safe-mode request from application [updater] : new firmware 2.1",
     ["rescueMark", "reboot"]),
])
def test_reboot_requests_give_reason_and_command_order(board, command, reason, commands):
    start_daemon(board, BASE)
    result = wardctl(board, command, "updater", "new", "firmware", "2.1")
    assert (result.status, result.stderr) == (0, ""), result
    line = board.wait_for_log(r"^System down reason : ", timeout=10)
    assert line.text == "System down reason : " + reason
    board.wait_for_command("reboot", timeout=15)
    assert [r.name for r in board.command_records()] == commands


def test_reboot_request_with_empty_reason(board):
    start_daemon(board, BASE)
    rc, err = board.msgsnd(2, name="ui")
    assert rc == 0, err
    line = board.wait_for_log(r"^System down reason : ", timeout=10)
    assert line.text == "System down reason : Reboot request from application [ui] : "


def test_illegal_type_and_unknown_name_are_reported_and_dropped(board):
    pid = start_daemon(board, BASE)
    for msg_type in (6, 0x7fffffff):
        rc, err = board.msgsnd(msg_type, name="app")
        assert rc == 0, err
        line = board.wait_for_log(r"^MSG Queue receive illegal ID! \[%d\]$" % msg_type, timeout=5)
        assert line.severity == LOG_ERR
    result = wardctl(board, "health", "nobody")
    assert result.status == 0, result
    line = board.wait_for_log(r"^No match processes in health check \[nobody\]$", timeout=5)
    assert line.severity == LOG_WARNING
    # A name that fills its 24 bytes without a terminator shows as 24 characters.
    rc, err = board.msgsnd(1, data=b"N" * 24 + b"P" * 104)
    assert rc == 0, err
    board.wait_for_log(r"^No match processes in health check \[N{24}\]$", timeout=5)
    # Short message: the rest reads as zeros.
    rc, err = board.msgsnd(1, data=b"shorty", size=6)
    assert rc == 0, err
    board.wait_for_log(r"^No match processes in health check \[shorty\]$", timeout=5)
    assert not texts(board, "System down reason")
    assert board.stop_daemon(pid, timeout=10) == 0


def test_wardctl_errors_and_exit_statuses(board):
    # No daemon on this board yet.
    result = wardctl(board, "health", "app")
    assert (result.status, result.stderr) == (1, "wardctl: wardend is not running (no control queue)\n")
    result = wardctl(board, "-p", PIDFILE, "dump-debug")
    assert result.status == 1 and result.stderr.startswith("wardctl: cannot read pid file %s" % PIDFILE)
    for args, message in [
        ((), "wardctl: no command given\n"),
        (("health",), "wardctl: usage: wardctl health NAME\n"),
        (("frob",), "wardctl: unknown command 'frob'\n"),
        (("reboot", "app"), "wardctl: usage: wardctl reboot NAME REASON...\n"),
        (("-q", "health", "a"), "wardctl: unknown option '-q'\n"),
    ]:
        result = wardctl(board, *args)
        assert result.status == 2, (args, result)
        assert result.stderr.startswith(message), (args, result)
    result = wardctl(board, "health", "x" * 24)
    assert (result.status, result.stderr) == (2, "wardctl: name is longer than 23 characters\n")
    result = wardctl(board, "reboot", "app", "r" * 104)
    assert (result.status, result.stderr) == (2, "wardctl: reason is longer than 103 characters\n")
    result = wardctl(board, "--help")
    assert result.status == 0 and result.stdout.startswith("Usage: wardctl")
    # A pid file that names something else is refused, not signalled.
    other = board.start_program("notwardend", pidfile=RUN + "/other.pid")
    result = wardctl(board, "-p", RUN + "/other.pid", "dump-config")
    assert result.status == 1 and "not wardend" in result.stderr, result
    assert board.alive(other)


def test_oversized_message_is_dropped_without_spinning(board):
    pid = start_daemon(board, BASE)
    rc, err = board.msgsnd(1, data=b"big".ljust(200, b"\0"), size=200)
    assert rc == 0, err
    line = board.wait_for_log(r"^MSG Queue oversized message dropped! \[1\]$", timeout=5)
    assert line.severity == LOG_WARNING
    result = wardctl(board, "health", "after")
    assert result.status == 0
    board.wait_for_log(r"^No match processes in health check \[after\]$", timeout=5)
    time.sleep(1)
    assert texts(board, r"^MSG Queue receive error!") == ["MSG Queue receive error! [Argument list too long]"]
    assert board.stop_daemon(pid, timeout=10) == 0


def test_removed_queue_ends_the_receiver_cleanly(board):
    pid = start_daemon(board, BASE)
    time.sleep(1)  # the receiver waits in msgrcv by now
    assert board.remove_queue()
    line = board.wait_for_log(r"^MSG Queue removed, message receiver stops$", timeout=5)
    assert line.severity == LOG_ERR
    before = len(keepalive_times(board))
    time.sleep(3)
    # One error, no spinning, and the watchdog still refreshed every second.
    # EIDRM while waiting; EINVAL if the removal came before the wait began.
    errors = texts(board, r"^MSG Queue receive error!")
    assert len(errors) == 1 and errors[0] in ("MSG Queue receive error! [Identifier removed]",
                                              "MSG Queue receive error! [Invalid argument]"), errors
    assert len(keepalive_times(board)) - before >= 2
    # The stop still completes: nobody waits for a receiver that has gone.
    assert board.stop_daemon(pid, timeout=15) == 0
    assert board.led_settings()[-1] == (3, 0)
