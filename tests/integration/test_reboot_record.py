"""RebootRecord and RebootLoopLimit on the simulated board: the record each
termination leaves, its replacement as a whole, the start-up report with
and without the driver's boot status, and reboot loops ending in safe mode.
Also the refusals of the optional keys, with their line numbers."""
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
RECORD_LINE = re.compile(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) (poweroff|reboot|safemode) : (.*)$")


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
    match = RECORD_LINE.match(line)
    assert match, line
    return calendar.timegm(time.strptime(match.group(1), "%Y-%m-%dT%H:%M:%SZ")), match.group(2), match.group(3)


# A termination adds one line, written before its first command runs (here
# an application's safe-mode request; what the other modes record is checked
# with the loop limit below).
def test_termination_leaves_its_record_before_its_commands(board):
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


# RebootLoopLimit 3 in 600 s. The records (seconds ago, mode) decide: three
# reboots or safe-mode reboots within the window turn the next reboot into a
# safe-mode reboot, older ones do not count (which records count is in the
# record's unit tests), and a power-off is never changed.
@pytest.mark.parametrize("records,mode,commands,loop", [
    ([(500, "reboot"), (100, "safemode"), (10, "reboot")], 2, ["rescueMark", "reboot"], 3),
    ([(900, "reboot"), (800, "reboot"), (700, "reboot"), (100, "reboot"), (10, "reboot")], 2, ["reboot"], None),
    ([(300, "reboot"), (200, "reboot"), (100, "reboot"), (10, "reboot")], 2, ["rescueMark", "reboot"], 4),
    ([(300, "reboot"), (200, "reboot"), (10, "reboot")], 1, ["poweroff"], None),
    ([(300, "reboot"), (200, "reboot"), (10, "reboot")], 3, ["rescueMark", "reboot"], None),
], ids=["three-in-window", "older-ones-expired", "four-in-window", "poweroff-untouched", "safemode-as-asked"])
def test_reboot_loop_ends_in_safe_mode(board, records, mode, commands, loop):
    write_records(board, [(ago, kind, "r") for ago, kind in records])
    driver(board, mode, "why", "TermTimeout:0\nRebootRecord:%s\nRebootLoopLimit:3:600\n" % RECORD)
    board.wait_for_command(commands[-1], timeout=15)
    time.sleep(0.3)
    assert [r.name for r in board.command_records()] == commands
    reason = "why" + (" (reboot loop: %d reboots in 600 sec)" % loop if loop else "")
    assert board.wait_for_log(r"^System down reason : ").text == "System down reason : " + reason
    recorded = {1: "poweroff", 2: "safemode" if loop else "reboot", 3: "safemode"}[mode]
    assert parse(read_records(board)[-1])[1:] == (recorded, reason)


# The daemon's own reboot (a dead process found by the pass) in a loop.
def test_daemon_reboot_in_a_loop_runs_the_safe_mode_path(board):
    write_records(board, [(30, "reboot", "Detect that the process [gone] was dead.")] * 2)
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


# A record that cannot be written is reported; the board goes down all the same.
def test_unwritable_record_is_reported_and_the_termination_goes_on(board):
    driver(board, 2, "no record", "TermTimeout:0\nRebootRecord:/tmpfs/missing/reboots\n")
    board.wait_for_command("reboot", timeout=15)
    assert board.wait_for_log(r"^Reboot record write fail! ", severity=LOG_ERR).text == \
        "Reboot record write fail! [/tmpfs/missing/reboots] : No such file or directory"


# Each optional key refused in each way, with its line; the daemon reads on
# and runs.
def test_refused_optional_values_name_their_lines(board):
    lines = ["SuperviseStallTimeout", "SuperviseStallTimeout:-3", "WdtPriority:abc", "WdtPriority:0",
             "RebootRecord", "RebootLoopLimit:3", "RebootLoopLimit:2:0", "WdtRefreshPeriod:1", "WdtPriority:100",
             "RebootLoopLimit"]
    pid = start_daemon(board, "\n".join(lines) + "\n")
    wait_for_refreshes(board)
    errors = [l.text for l in board.log_lines() if l.severity == LOG_ERR]
    assert errors == ["No supervise stall timeout value given on line 1",
                      "Config read: SuperviseStallTimeout out of range line 2 [-3]",
                      "Str2Num convert error [abc] : Success",
                      "Config read: WdtPriority out of range line 4 [0]",
                      "No reboot record path given on line 5",
                      "No reboot loop window value given on line 6",
                      "Config read: RebootLoopLimit out of range line 7 [0]",
                      "Config read: WdtPriority out of range line 9 [100]",
                      "No reboot loop limit value given on line 10"]
    assert board.stop_daemon(pid, timeout=10) == 0
    # None of the refused values took effect: no boot-status request, no
    # priority warning.
    assert WDIOC_GETBOOTSTATUS not in [r.request for r in board.device_records("watchdog")]
    assert [l.text for l in board.log_lines() if l.severity == LOG_WARNING] == []
