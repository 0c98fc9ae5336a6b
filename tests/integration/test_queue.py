# The control queue on the simulated board: health checks, reboot requests,
# illegal types and unknown names sent through wardctl or raw, wardctl's errors,
# and the queue states that must not make the receiver spin (an oversized
# message at the head, the queue removed under the running daemon).
import time

import pytest

from board import LOG_ERR, LOG_WARNING

RUN = "/tmpfs"
PIDFILE = RUN + "/wardend.pid"
BASE = "WdtRefreshPeriod:1\nTermTimeout:1\nWardend:x:%s\n" % PIDFILE
NO_MATCH = r"^No match processes in health check \[%s\]$"


def wardctl(board, *args, check=False):
    result = board.run(board.emulator + [board.build_dir + "/bin/wardctl"] + list(args))
    assert not check or (result.status, result.stderr) == (0, ""), result
    return result


def start_daemon(board, config=BASE):
    board.write_config(config)
    assert board.daemon().status == 0
    board.wait_until(lambda: board.exists(PIDFILE), 10, "the pid file")
    return board.wait_daemon_pid()


def receive_errors(board):
    return [t for t in board.log_texts() if t.startswith("MSG Queue receive error!")]


def test_wardctl_health_checks_keep_a_process_alive(board):
    board.start_program("hcapp", pidfile=RUN + "/hcapp.pid")
    pid = start_daemon(board, BASE + "AliveWatchPeriod:100\nProcess:MONITOR:2:%s/hcapp.pid:/tmpfs/bin/hcapp\n" % RUN)
    for _ in range(16):  # well past three 2-second windows
        wardctl(board, "health", "hcapp", check=True)
        time.sleep(0.5)
    assert not [t for t in board.log_texts() if t.startswith(("System down reason", "No match processes"))]
    assert board.stop_daemon(pid, timeout=10) == 0 and not board.command_records()


@pytest.mark.parametrize("command, reason, commands", [
    ("reboot", "Reboot request", ["reboot"]), ("safe-reboot", "Reboot to Safe-mode request", ["rescueMark", "reboot"])])
def test_reboot_requests_give_reason_and_command_order(board, command, reason, commands):
    start_daemon(board)
    wardctl(board, command, "updater", "new", "firmware", "2.1", check=True)
    line = board.wait_for_log(r"^System down reason : ", timeout=10)
    assert line.text == "System down reason : %s from application [updater] : new firmware 2.1" % reason
    board.wait_for_command("reboot", timeout=15)
    assert [r.name for r in board.command_records()] == commands


def test_bad_messages_are_reported_and_dropped_and_receiving_goes_on(board):
    pid = start_daemon(board)
    assert board.msgsnd(1, data=b"big".ljust(200, b"\0"), size=200)[0] == 0  # oversized, at the head
    assert board.wait_for_log(r"^MSG Queue oversized message dropped! \[1\]$", timeout=5).severity == LOG_WARNING
    assert board.msgsnd(6, name="app")[0] == 0
    assert board.wait_for_log(r"^MSG Queue receive illegal ID! \[6\]$", timeout=5).severity == LOG_ERR
    assert wardctl(board, "health", "nobody").status == 0
    assert board.wait_for_log(NO_MATCH % "nobody", timeout=5).severity == LOG_WARNING
    assert board.msgsnd(1, data=b"N" * 24 + b"P" * 104)[0] == 0  # the name is its 24 bytes, nothing more
    board.wait_for_log(NO_MATCH % "N{24}", timeout=5)
    assert board.msgsnd(1, data=b"shorty", size=6)[0] == 0  # the rest reads as zeros, not the last message
    board.wait_for_log(NO_MATCH % "shorty", timeout=5)
    assert receive_errors(board) == ["MSG Queue receive error! [Argument list too long]"]  # no spinning
    assert not [t for t in board.log_texts() if t.startswith("System down reason")]
    assert board.stop_daemon(pid, timeout=10) == 0


def test_wardctl_errors_exit_statuses_and_help(board):
    for args, status, message in [
        (("health", "app"), 1, "wardctl: wardend is not running (no control queue)\n"),  # no daemon yet
        (("-p", PIDFILE, "dump-debug"), 1, "wardctl: cannot read pid file %s" % PIDFILE),
        ((), 2, "wardctl: no command given\n"),
        (("frob",), 2, "wardctl: unknown command 'frob'\n"),
        (("health", "x" * 24), 2, "wardctl: name is longer than 23 characters\n")]:
        result = wardctl(board, *args)
        assert result.status == status and result.stderr.startswith(message), result
    result = wardctl(board, "--help")
    assert result.status == 0 and result.stdout.startswith("Usage: wardctl")
    other = board.start_program("notwardend", pidfile=RUN + "/other.pid")
    result = wardctl(board, "-p", RUN + "/other.pid", "dump-config")
    assert result.status == 1 and "not wardend" in result.stderr and board.alive(other), result


def test_removed_queue_ends_the_receiver_cleanly(board):
    pid = start_daemon(board)
    time.sleep(1)  # the receiver waits in msgrcv by now
    assert board.remove_queue()
    assert board.wait_for_log(r"^MSG Queue removed, message receiver stops$", timeout=5).severity == LOG_ERR
    before = len(board.device_records("watchdog"))
    time.sleep(3)
    # One error (EIDRM while waiting, EINVAL if removed before), no spinning,
    # the watchdog still refreshed every second, and the stop still completes.
    assert receive_errors(board) in (["MSG Queue receive error! [Identifier removed]"],
                                     ["MSG Queue receive error! [Invalid argument]"])
    assert len(board.device_records("watchdog")) - before >= 2
    assert board.stop_daemon(pid, timeout=15) == 0
