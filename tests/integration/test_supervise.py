"""The supervision main loop and the once-a-second pass on the simulated board:
watchdog refreshes, the interval warning, alive checks and respawn."""
# A missed health check and the sweep that follows: test_supervise_terminate.
import re
import signal
import time

import pytest

from board import LOG_ERR, LOG_WARNING

# The Linux watchdog requests as the daemon encodes them: type 'W', read,
# int-sized, numbers 5 (keep-alive) and 12 (the board's own request).
KEEPALIVE, BOARD_REQUEST = ((2 << 30) | (4 << 16) | (ord("W") << 8) | nr for nr in (5, 12))
RUN = "/tmpfs/run"


# Starts the daemon; its pid once it has opened the watchdog (the recorder
# notes the pid of the detached process itself).
def start_daemon(board, config):
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

    events = board.device_records("watchdog")
    kinds = [(r.event, r.request) for r in events]
    # Opened once, one keep-alive, then the board's request right after it
    # and never again; closed once, through the descriptor it opened.
    assert kinds[:3] == [("open", None), ("ioctl", KEEPALIVE), ("ioctl", BOARD_REQUEST)]
    assert kinds.count(("ioctl", BOARD_REQUEST)) == 1
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
    line = board.wait_for_log(r"^Thread interval is too long \[\d+\.\d{3}sec\]$", timeout=5, severity=LOG_WARNING)
    assert 3 <= int(re.search(r"\[(\d+)\.", line.text).group(1)) <= 5
    assert board.stop_daemon(pid, timeout=10) == 0


def test_vanished_managed_process_is_not_found_then_dead(board):
    prog = board.start_program("mprog", pidfile=RUN + "/m.pid")
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:2\nTermTimeout:1\n"
                        "Process:MANAGE:0:%s/m.pid:/tmpfs/bin/mprog\n" % RUN)
    time.sleep(2.5)  # at least one check finds it
    assert not texts_matching(board, "was not found")
    board.kill(prog, signal.SIGKILL)
    not_found = r"^Process \[mprog:%d\] was not found$" % prog
    first = board.wait_for_log(not_found, timeout=6, severity=LOG_ERR)
    down = board.wait_for_log(r"^System down reason : ", timeout=8)
    assert down.text == "System down reason : Detect that the process [mprog] was dead."
    # One alive period between the forgiven failure and the fatal one.
    assert 1.5 <= down.time - first.time <= 3.5
    assert len(texts_matching(board, not_found)) == 2
    assert not texts_matching(board, "^Respawn")
    board.wait_for_command("reboot", timeout=10)


def test_respawn_restarts_once_per_loss(board):
    if board.emulator:
        pytest.skip("the daemon's shell starts the respawned program, and it cannot run a foreign binary")
    option = "-p %s/r.pid -d" % RUN
    first = board.start_program("rprog", pidfile=RUN + "/r.pid", background=True)
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:2\n"
                        "Process:RESPAWN:0:%s/r.pid:/tmpfs/bin/rprog:%s\n" % (RUN, option))
    pids = [first]
    for loss in (1, 2):
        time.sleep(3.5)  # found at least once since it started
        board.kill(pids[-1], signal.SIGKILL)
        # Found again at the next checks, so a later loss is forgiven once more.
        board.wait_until(lambda: len(texts_matching(board, "^Respawn: ")) == loss, 6, "respawn %d" % loss)
        pids.append(int(board.read_file(RUN + "/r.pid")))
        assert pids[-1] not in pids[:-1] and board.alive(pids[-1])
    respawns = [l for l in board.log_lines() if l.text.startswith("Respawn: ")]
    assert [(l.text, l.severity) for l in respawns] == [("Respawn: rprog %s " % option, LOG_WARNING)] * 2
    assert not texts_matching(board, "^System down reason")
    assert not board.command_records()
