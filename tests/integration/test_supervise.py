"""The supervision main loop and the once-a-second pass on the simulated board:
watchdog refreshes, the interval warning, health checks, alive checks,
respawn, and the termination that follows a lost process."""
import re
import signal
import time

import pytest

from board import LOG_ERR, LOG_WARNING

# The Linux watchdog requests as the daemon encodes them: type 'W', read,
# int-sized, numbers 5 (keep-alive) and 12 (the board's own request).
def _ior(nr):
    return (2 << 30) | (4 << 16) | (ord("W") << 8) | nr


KEEPALIVE = _ior(5)
BOARD_REQUEST = _ior(12)
RUN = "/tmpfs/run"


def watchdog_events(board):
    return [r for r in board.device_records("watchdog")]


def start_daemon(board, config):
    """Starts the daemon; its pid once it has opened the watchdog (the
    recorder notes the pid of the detached process itself)."""
    board.write_config(config)
    assert board.daemon().status == 0
    board.wait_until(lambda: board.device_records("watchdog"), 10, "the watchdog open")
    return board.device_records("watchdog")[0].pid


def texts_matching(board, regex):
    return [t for t in board.log_texts() if re.search(regex, t)]


def test_watchdog_cadence_board_request_and_normal_exit(board):
    pid = start_daemon(board, "WdtRefreshPeriod:1\n")
    time.sleep(4.5)
    assert board.stop_daemon(pid, timeout=10) == 0

    events = watchdog_events(board)
    kinds = [(r.event, r.request) for r in events]
    # Opened once, one keep-alive, then the board's request right after it.
    assert kinds[0] == ("open", None)
    assert kinds[1] == ("ioctl", KEEPALIVE)
    assert kinds[2] == ("ioctl", BOARD_REQUEST)
    assert [k for k in kinds if k[1] == BOARD_REQUEST] == [("ioctl", BOARD_REQUEST)]
    assert kinds[-1] == ("close", None) and kinds.count(("close", None)) == 1
    assert events[-1].fd == events[0].fd

    refreshes = [r.time for r in events[3:] if r.request == KEEPALIVE]
    assert len(refreshes) >= 3
    gaps = [b - a for a, b in zip(refreshes, refreshes[1:])]
    assert all(0.9 <= g <= 1.5 for g in gaps), gaps
    # Normal exit: the LED's exit setting only, and no interval warning.
    assert board.led_settings() == [(3, 0)]
    assert not texts_matching(board, "Thread interval is too long")
    assert not board.command_records()


def test_interval_warning_after_the_daemon_was_stopped(board):
    pid = start_daemon(board, "WdtRefreshPeriod:1\n")
    time.sleep(1.5)
    board.kill(pid, signal.SIGSTOP)
    time.sleep(3.5)
    board.kill(pid, signal.SIGCONT)
    line = board.wait_for_log(r"^Thread interval is too long \[(\d+)\.(\d{3})sec\]$", timeout=5)
    assert line.severity == LOG_WARNING
    seconds = int(re.search(r"\[(\d+)\.", line.text).group(1))
    assert 3 <= seconds <= 5
    assert board.stop_daemon(pid, timeout=10) == 0


def test_missed_health_check_reboots_with_its_reason(board):
    good = board.start_program("hcgood", pidfile=RUN + "/good.pid", health=("hcgood", 1))
    silent = board.start_program("hcsilent", pidfile=RUN + "/silent.pid")
    started = time.time()
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:100\nTermTimeout:1\n"
                        "Process:MANAGE:2:%s/good.pid:/tmpfs/bin/hcgood\n"
                        "Process:MANAGE:2:%s/silent.pid:/tmpfs/bin/hcsilent\n" % (RUN, RUN))
    line = board.wait_for_log(r"^System down reason : ", timeout=15)
    assert line.text == "System down reason : Detect that the process [hcsilent] did not sent health check."
    assert line.severity == LOG_WARNING
    # Twice the window after the read, give or take the pass's second.
    assert 3 <= line.time - started <= 8
    board.wait_for_command("reboot", timeout=10)
    # Both are managed, so both got SIGTERM in the sweep.
    assert board.wait(silent, timeout=5) == -signal.SIGTERM
    assert board.wait(good, timeout=5) == -signal.SIGTERM


def test_vanished_managed_process_is_not_found_then_dead(board):
    prog = board.start_program("mprog", pidfile=RUN + "/m.pid")
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:2\nTermTimeout:1\n"
                        "Process:MANAGE:0:%s/m.pid:/tmpfs/bin/mprog\n" % RUN)
    time.sleep(2.5)  # at least one check finds it
    assert not texts_matching(board, "was not found")
    board.kill(prog, signal.SIGKILL)
    first = board.wait_for_log(r"^Process \[mprog:%d\] was not found$" % prog, timeout=6)
    assert first.severity == LOG_ERR
    down = board.wait_for_log(r"^System down reason : ", timeout=8)
    assert down.text == "System down reason : Detect that the process [mprog] was dead."
    # One alive period between the forgiven failure and the fatal one.
    assert 1.5 <= down.time - first.time <= 3.5
    assert len(texts_matching(board, r"^Process \[mprog:%d\] was not found$" % prog)) == 2
    assert not texts_matching(board, "^Respawn")
    board.wait_for_command("reboot", timeout=10)


def test_respawn_restarts_once_per_loss(board):
    if board.emulator:
        pytest.skip("the daemon's shell starts the respawned program, and it cannot run a foreign binary")
    option = "-p %s/r.pid -d" % RUN
    first = board.start_program("rprog", pidfile=RUN + "/r.pid", background=True)
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:2\n"
                        "Process:RESPAWN:0:%s/r.pid:/tmpfs/bin/rprog:%s\n" % (RUN, option))
    time.sleep(2.5)
    board.kill(first, signal.SIGKILL)
    line = board.wait_for_log(r"^Respawn: ", timeout=6)
    assert line.text == "Respawn: rprog %s " % option
    assert line.severity == LOG_WARNING
    second = int(board.read_file(RUN + "/r.pid"))
    assert second != first and board.alive(second)

    # Found again at the next checks, so a later loss is forgiven once more.
    time.sleep(4.5)
    assert len(texts_matching(board, "^Respawn: ")) == 1
    board.kill(second, signal.SIGKILL)
    board.wait_until(lambda: len(texts_matching(board, "^Respawn: ")) == 2, 6, "the second respawn")
    third = int(board.read_file(RUN + "/r.pid"))
    assert third not in (first, second) and board.alive(third)
    assert not texts_matching(board, "^System down reason")
    assert not board.command_records()
