# SPDX-License-Identifier: MIT
"""RebootRecord and RebootLoopLimit on the simulated board: the record each
termination leaves, its replacement as a whole (also behind a link), record
paths that are no file, the start-up report with and without the driver's
boot status, and reboot loops ending in safe mode whatever the wall clock
says. Also the refusals of the optional keys, with their line numbers."""
import calendar
import os
import re
import time

import pytest

from board import (BOARD_DIR, LOG_ERR, LOG_NOTICE, LOG_WARNING, WDIOC_BOARD_REQUEST, WDIOC_GETBOOTSTATUS,
                   WDIOC_KEEPALIVE, WDIOF_CARDRESET)
from support import RUN, start_daemon, terminate as driver, wait_for_refreshes
# The record lives in the board's run folder, so the host sees its inode and
# its modification time directly.
RECORD = BOARD_DIR + "/state/reboots"
RECORD_LINE = re.compile(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) (poweroff|reboot|safemode)"
                         r"(?: up=(\d+)(?: boot=([0-9a-f-]+))?)? : (.*)$")
# The wall clock of a board without a real-time clock, the same at every boot.
RTC_LESS_STAMP = "2020-01-01T00:01:00Z"


def host_path(board, path=RECORD):
    return os.path.join(board.run_dir, path[len(BOARD_DIR) + 1:])


def stamp(seconds_ago):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() - seconds_ago))


def write_records(board, records):
    """records: (seconds ago, mode, reason) oldest first. Returns the lines."""
    os.makedirs(os.path.dirname(host_path(board)), exist_ok=True)
    lines = ["%s %s : %s" % (stamp(ago), mode, reason) for ago, mode, reason in records]
    with open(host_path(board), "w") as f:
        f.writelines(line + "\n" for line in lines)
    return lines


def read_records(board):
    with open(host_path(board)) as f:
        return f.read().splitlines()


def parse(line):
    """(wall time, mode, reason) of a record line."""
    match = RECORD_LINE.match(line)
    assert match, line
    return calendar.timegm(time.strptime(match.group(1), "%Y-%m-%dT%H:%M:%SZ")), match.group(2), match.group(5)


def parse_boot(line):
    """(uptime, boot id) of a record line, None for a field it does not have."""
    match = RECORD_LINE.match(line)
    assert match, line
    return (int(match.group(3)) if match.group(3) else None), match.group(4)


def board_up(make_board, seconds):
    """A board that has been up for seconds (its boot clock, in a time namespace)."""
    if os.geteuid() != 0:
        pytest.skip("only root can give the board a boot clock of its own")
    return make_board(uptime=seconds)


def host_boot_id():
    with open("/proc/sys/kernel/random/boot_id") as f:
        return f.read().strip()


def write_boots(board, boots, reason="r"):
    """boots: (uptime at the record, mode) of earlier boots, oldest first, one
    record each, all stamped with the same wall-clock time. Returns the lines."""
    os.makedirs(os.path.dirname(host_path(board)), exist_ok=True)
    lines = ["%s %s up=%d boot=00000000-0000-4000-8000-%012d : %s" % (RTC_LESS_STAMP, mode, up, number, reason)
             for number, (up, mode) in enumerate(boots)]
    with open(host_path(board), "w") as f:
        f.writelines(line + "\n" for line in lines)
    return lines


# A termination adds one line, written before its first command runs (here
# an application's safe-mode request; what the other modes record is checked
# with the loop limit below). Besides the wall clock it holds the board's
# uptime and boot id; a line without them, as earlier versions wrote, is kept.
def test_termination_leaves_its_record_before_its_commands(make_board):
    started = time.clock_gettime(time.CLOCK_BOOTTIME)
    board = board_up(make_board, 500)
    write_records(board, [(3600, "reboot", "earlier")])
    start_daemon(board, "WdtRefreshPeriod:1\nTermTimeout:0\nRebootRecord:%s\n" % RECORD)
    rc, err = board.msgsnd(3, name="ui", payload="update")
    assert rc == 0, err
    first = board.wait_for_command("rescueMark", timeout=15)
    board.wait_for_command("reboot", timeout=5)
    assert [r.name for r in board.command_records()] == ["rescueMark", "reboot"]
    lines = read_records(board)
    assert len(lines) == 2 and lines[0].endswith(" reboot : earlier")
    when, recorded, text = parse(lines[1])
    # The record names the request's sender too (here the board's agent).
    assert recorded == "safemode"
    assert re.fullmatch(r"Reboot to Safe-mode request from application \[ui\] : update, requested by pid \d+ \(.+\)",
                        text), text
    assert abs(when - first.time) < 120  # the wall clock, in UTC
    assert os.stat(host_path(board)).st_mtime <= first.time
    up, boot = parse_boot(lines[1])
    assert 500 <= up <= 500 + time.clock_gettime(time.CLOCK_BOOTTIME) - started
    assert boot == host_boot_id()


# The file keeps the last 16 records and is replaced, never rewritten in
# place: a link to the old file still holds the old text, and no temporary
# file is left beside the new one. A line that is no record is dropped.
def test_record_is_replaced_whole_and_keeps_sixteen(board):
    write_records(board, [(5000 - i, "reboot", "old %d" % i) for i in range(20)])
    with open(host_path(board), "a") as f:
        f.write("not a record\n")
    old_text = open(host_path(board)).read()
    os.link(host_path(board), host_path(board) + ".held")
    before = os.stat(host_path(board)).st_ino

    driver(board, 2, "again", "TermTimeout:0\nRebootRecord:%s\n" % RECORD)
    board.wait_for_command("reboot", timeout=15)
    lines = read_records(board)
    assert [parse(line)[2] for line in lines] == ["old %d" % i for i in range(5, 20)] + ["again"]
    assert os.stat(host_path(board)).st_ino != before
    assert open(host_path(board) + ".held").read() == old_text
    assert sorted(os.listdir(os.path.dirname(host_path(board)))) == ["reboots", "reboots.held"]


# A record path behind one or two links, relative or absolute, even to a
# file not there yet: the new file is written beside the last link's target
# and renamed over it, so the links stay links and no temporary file is left.
@pytest.mark.parametrize("links,target_exists", [
    ([("state/reboots", "../data/reboots")], True),
    ([("state/reboots", BOARD_DIR + "/state/hop"), ("state/hop", "../data/reboots")], True),
    ([("state/reboots", "../data/reboots")], False),
], ids=["relative", "two-links", "to-no-file-yet"])
def test_record_behind_a_link_keeps_the_link(board, links, target_exists):
    for folder in ("state", "data"):
        os.makedirs(os.path.join(board.run_dir, folder))
    for link, target in links:
        os.symlink(target, os.path.join(board.run_dir, link))
    target = os.path.join(board.run_dir, "data", "reboots")
    earlier = ["2026-12-06T18:01:26Z reboot : earlier"] if target_exists else []
    if target_exists:
        with open(target, "w") as f:
            f.write(earlier[0] + "\n")

    driver(board, 2, "through a link", "TermTimeout:0\nRebootRecord:%s\n" % RECORD)
    board.wait_for_command("reboot", timeout=15)
    for link, text in links:
        assert os.readlink(os.path.join(board.run_dir, link)) == text
    with open(target) as f:
        lines = f.read().splitlines()
    assert lines[:-1] == earlier and parse(lines[-1])[1:] == ("reboot", "through a link")
    assert sorted(os.listdir(os.path.join(board.run_dir, "data"))) == ["reboots"]
    assert sorted(os.listdir(os.path.join(board.run_dir, "state"))) == sorted(os.path.basename(l) for l, _ in links)
    assert [l.text for l in board.log_lines() if l.severity == LOG_ERR] == []


# A record path that is no regular file (a FIFO, a link to a device that never
# ends) is reported once at start-up and otherwise ignored: the threads start
# and refresh the watchdog, the daemon stops as usual, and a termination goes
# down without reading or replacing it.
@pytest.mark.parametrize("make_record", [os.mkfifo, lambda path: os.symlink("/dev/zero", path)],
                         ids=["fifo", "link-to-dev-zero"])
def test_record_that_is_no_file_is_reported_and_ignored(board, make_record):
    os.makedirs(os.path.dirname(host_path(board)))
    make_record(host_path(board))
    before = os.lstat(host_path(board))
    pid = start_daemon(board, "WdtRefreshPeriod:1\nRebootRecord:%s\n" % RECORD)
    wait_for_refreshes(board, 3)
    assert board.stop_daemon(pid, timeout=10) == 0
    bad = "[%s] : Not a regular file" % RECORD
    assert [l.text for l in board.log_lines() if l.severity == LOG_ERR] == ["Reboot record read fail! " + bad]

    start = len(board.log_lines())
    driver(board, 2, "why", "TermTimeout:0\nRebootRecord:%s\nRebootLoopLimit:1:600\n" % RECORD)
    board.wait_for_command("reboot", timeout=15)
    assert [l.text for l in board.log_lines()[start:] if l.severity == LOG_ERR] == \
        ["Reboot record read fail! " + bad, "Reboot record write fail! " + bad]
    after = os.lstat(host_path(board))
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)


# At start-up, after the first keep-alive and the board's request: the
# latest record at LOG_NOTICE and, when the driver reports a reset by the
# watchdog, a warning. Without the key the driver is not asked and nothing is
# said, even by a driver that would report such a reset.
@pytest.mark.parametrize("bootstatus,record_key,has_record,lines", [
    (WDIOF_CARDRESET, True, True, ["last", "watchdog"]),
    (WDIOF_CARDRESET | 0x1, True, False, ["watchdog"]),
    (0, True, True, ["last"]),
    ("ENOTTY", True, True, ["last"]),
    (WDIOF_CARDRESET, False, True, []),
], ids=["watchdog-reset", "no-record-yet", "other-reset", "driver-without-request", "key-absent"])
def test_start_up_reports_the_last_shutdown(make_board, bootstatus, record_key, has_record, lines):
    board = make_board(bootstatus=bootstatus)
    latest = None
    if has_record:
        latest = write_records(board, [(7200, "poweroff", "older"), (60, "safemode", "Reboot to Safe-mode : x")])[-1]
    pid = start_daemon(board, "WdtRefreshPeriod:1\n" + ("RebootRecord:%s\n" % RECORD if record_key else ""))
    wait_for_refreshes(board)
    assert board.stop_daemon(pid, timeout=10) == 0

    requests = [r.request for r in board.device_records("watchdog") if r.event == "ioctl"]
    asked = [WDIOC_GETBOOTSTATUS] if record_key else []
    assert requests[:3 + len(asked)] == [WDIOC_KEEPALIVE, WDIOC_BOARD_REQUEST] + asked + [WDIOC_KEEPALIVE]
    assert requests.count(WDIOC_GETBOOTSTATUS) == len(asked)
    expected = {"last": (LOG_NOTICE, "Last shutdown: %s" % latest),
                "watchdog": (LOG_WARNING, "Last reset was caused by the watchdog")}
    said = [(l.severity, l.text) for l in board.log_lines() if l.text.startswith("Last ")]
    assert said == [expected[name] for name in lines]


# RebootLoopLimit 3 in 600 s on a board that has been up 100 s and whose
# clock starts at the same time at every boot, so the wall-clock stamps say
# nothing. The earlier boots (uptime at their record, mode) decide: the
# window is the uptime summed from now back over the records, so three
# reboots or safe-mode reboots within it turn the next reboot into a
# safe-mode reboot, a long boot ends the count, and a power-off is never
# changed.
@pytest.mark.parametrize("boots,mode,commands,loop", [
    ([(150, "reboot"), (150, "safemode"), (150, "reboot")], 2, ["rescueMark", "reboot"], 3),
    ([(100, "reboot"), (100, "reboot"), (100, "reboot"), (3000, "reboot"), (100, "reboot")], 2, ["reboot"], None),
    ([(100, "reboot"), (100, "reboot"), (100, "reboot"), (100, "reboot")], 2, ["rescueMark", "reboot"], 4),
    ([(100, "reboot"), (100, "reboot"), (100, "reboot")], 1, ["poweroff"], None),
    ([(100, "reboot"), (100, "reboot"), (100, "reboot")], 3, ["rescueMark", "reboot"], None),
], ids=["three-in-window", "long-boot-ends-the-count", "four-in-window", "poweroff-untouched", "safemode-as-asked"])
def test_reboot_loop_ends_in_safe_mode(make_board, boots, mode, commands, loop):
    board = board_up(make_board, 100)
    write_boots(board, boots)
    driver(board, mode, "why", "TermTimeout:0\nRebootRecord:%s\nRebootLoopLimit:3:600\n" % RECORD)
    board.wait_for_command(commands[-1], timeout=15)
    time.sleep(0.3)
    assert [r.name for r in board.command_records()] == commands
    reason = "why" + (" (reboot loop: %d reboots in 600 sec)" % loop if loop else "")
    assert board.wait_for_log(r"^System down reason : ").text == "System down reason : " + reason
    recorded = {1: "poweroff", 2: "safemode" if loop else "reboot", 3: "safemode"}[mode]
    assert parse(read_records(board)[-1])[1:] == (recorded, reason)


# The daemon's own reboot (a dead process found by the pass) in a loop.
def test_daemon_reboot_in_a_loop_runs_the_safe_mode_path(make_board):
    board = board_up(make_board, 30)
    write_boots(board, [(30, "reboot")] * 2, "Detect that the process [gone] was dead.")
    board.write_file(RUN + "/gone.pid", "999999\n")
    board.install_program("gone")
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:1\nTermTimeout:0\nRebootRecord:%s\n"
                        "RebootLoopLimit:2:3600\nProcess:MANAGE:0:%s/gone.pid:/tmpfs/bin/gone\n" % (RECORD, RUN))
    down = board.wait_for_log(r"^System down reason : ", timeout=15, severity=LOG_WARNING)
    assert down.text == ("System down reason : Detect that the process [gone] was dead. "
                         "(reboot loop: 2 reboots in 3600 sec)")
    board.wait_for_command("reboot", timeout=10)
    assert [r.name for r in board.command_records()] == ["rescueMark", "reboot"]
    assert parse(read_records(board)[-1])[1:] == ("safemode", down.text[len("System down reason : "):])
