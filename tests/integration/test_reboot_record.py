# SPDX-License-Identifier: MIT
"""RebootRecord and RebootLoopLimit on the simulated board (which records count: the unit tests)."""
import calendar
import os
import re
import time

import pytest

from board import (BOARD_DIR, LOG_ERR, LOG_NOTICE, LOG_WARNING, WDIOC_BOARD_REQUEST, WDIOC_GETBOOTSTATUS,
                   WDIOC_KEEPALIVE, WDIOF_CARDRESET)
from support import start_daemon, terminate as driver, wait_for_refreshes

# In the board's run folder, so the host sees its inode and times directly.
RECORD = BOARD_DIR + "/state/reboots"
RECORD_LINE = re.compile(r"^(\S+Z) (poweroff|reboot|safemode)(?: up=(\d+)(?: boot=([0-9a-f-]+))?)? : (.*)$")
EARLIER = "2026-12-06T18:01:26Z reboot : earlier"


def host_path(board, path="state/reboots"):
    return os.path.join(board.run_dir, path)


def write_lines(board, lines, path="state/reboots"):
    os.makedirs(os.path.dirname(host_path(board, path)), exist_ok=True)
    with open(host_path(board, path), "w") as f:
        f.writelines(line + "\n" for line in lines)


def records(board, path="state/reboots"):
    with open(host_path(board, path)) as f:
        return [RECORD_LINE.match(line).groups() for line in f.read().splitlines()]


def board_up(make_board, seconds):
    if os.geteuid() != 0:
        pytest.skip("only root can give the board a boot clock of its own")
    return make_board(uptime=seconds)


# Written before the first command, with clock, uptime, boot id and sender, replaced whole beside the
# last link's target (a hard link keeps the old text), no temporary file left, a non-record line dropped.
@pytest.mark.parametrize("links,target", [
    ([], "state/reboots"),
    ([("state/reboots", BOARD_DIR + "/state/hop"), ("state/hop", "../data/reboots")], "data/reboots"),
    ([("state/reboots", "../data/new")], "data/new"),
], ids=["file", "two-links", "to-no-file-yet"])
def test_termination_leaves_its_record_before_its_commands(make_board, links, target):
    started = time.clock_gettime(time.CLOCK_BOOTTIME)
    board = board_up(make_board, 500)
    for folder in ("state", "data"):
        os.makedirs(host_path(board, folder))
    for link, to in links:
        os.symlink(to, host_path(board, link))
    old = [] if target == "data/new" else [EARLIER, "not a record"]
    if old:
        write_lines(board, old, target)
        os.link(host_path(board, target), host_path(board, "data/held"))
    start_daemon(board, "WdtRefreshPeriod:1\nTermTimeout:0\nRebootRecord:%s\n" % RECORD)
    assert board.msgsnd(3, name="ui", payload="update")[0] == 0
    first = board.wait_for_command("rescueMark", timeout=15)
    board.wait_for_command("reboot", timeout=5)
    assert os.stat(host_path(board, target)).st_mtime <= first.time
    *earlier, (when, mode, up, boot, reason) = records(board, target)
    assert earlier == [RECORD_LINE.match(EARLIER).groups()] * bool(old) and mode == "safemode"
    assert re.fullmatch(r"Reboot to Safe-mode request from application \[ui\] : update, "
                        r"requested by pid \d+ \(.+\)", reason), reason
    assert abs(calendar.timegm(time.strptime(when, "%Y-%m-%dT%H:%M:%SZ")) - first.time) < 120  # UTC
    assert 500 <= int(up) <= 500 + time.clock_gettime(time.CLOCK_BOOTTIME) - started
    with open("/proc/sys/kernel/random/boot_id") as f:
        assert boot == f.read().strip()
    assert [os.readlink(host_path(board, link)) for link, _ in links] == [to for _, to in links]
    if old:
        assert open(host_path(board, "data/held")).read().splitlines() == old
    found = {os.path.join(d, name) for d in ("state", "data") for name in os.listdir(host_path(board, d))}
    assert found == {link for link, _ in links} | {target} | ({"data/held"} if old else set())
    assert [l.text for l in board.log_lines() if l.severity == LOG_ERR] == []


# After the first keep-alive and board request: the latest record and a watchdog reset; a record that
# is no regular file is reported, neither read nor replaced, and holds up neither start nor termination.
@pytest.mark.parametrize("bootstatus,record,said", [
    (WDIOF_CARDRESET, "file", ["last", "watchdog"]),
    ("ENOTTY", "file", ["last"]),
    (WDIOF_CARDRESET, "no key", []),
    (0, "fifo", ["unreadable"]),
    (0, "/dev/zero", ["unreadable"]),
], ids=["watchdog-reset", "driver-without-request", "key-absent", "fifo", "to-dev-zero"])
def test_start_up_reports_the_last_shutdown(make_board, bootstatus, record, said):
    board = make_board(bootstatus=bootstatus)
    latest = "2026-12-06T19:00:00Z safemode : Reboot to Safe-mode : x"
    os.makedirs(host_path(board, "state"))
    if record in ("file", "no key"):
        write_lines(board, [EARLIER, latest])
    elif record == "fifo":
        os.mkfifo(host_path(board))
    else:
        os.symlink(record, host_path(board))
    before = os.lstat(host_path(board))
    pid = start_daemon(board, "WdtRefreshPeriod:1\n" + ("RebootRecord:%s\n" % RECORD) * (record != "no key"))
    wait_for_refreshes(board, 3)
    assert board.stop_daemon(pid, timeout=10) == 0
    requests = [r.request for r in board.device_records("watchdog") if r.event == "ioctl"]
    asked = [WDIOC_GETBOOTSTATUS] * (record != "no key")
    assert requests[:3 + len(asked)] == [WDIOC_KEEPALIVE, WDIOC_BOARD_REQUEST] + asked + [WDIOC_KEEPALIVE]
    assert requests.count(WDIOC_GETBOOTSTATUS) == len(asked)
    bad = "Reboot record %s fail! [" + RECORD + "] : Not a regular file"
    expected = {"last": (LOG_NOTICE, "Last shutdown: " + latest), "unreadable": (LOG_ERR, bad % "read"),
                "watchdog": (LOG_WARNING, "Last reset was caused by the watchdog")}
    said_lines = [(l.severity, l.text) for l in board.log_lines() if l.text.startswith(("Last ", "Reboot"))]
    assert said_lines == [expected[n] for n in said]
    if said == ["unreadable"]:
        driver(board, 2, "why", "TermTimeout:0\nRebootRecord:%s\nRebootLoopLimit:1:600\n" % RECORD)
        board.wait_for_command("reboot", timeout=15)
        assert [l.text for l in board.log_lines() if l.severity == LOG_ERR] == [bad % "read", bad % "read",
                                                                                  bad % "write"]
        after = os.lstat(host_path(board))
        assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)


# Three reboots within the window of uptime (the clock says nothing) make a reboot a safe-mode one.
@pytest.mark.parametrize("mode,commands,recorded,loop", [
    (2, ["rescueMark", "reboot"], "safemode", " (reboot loop: 3 reboots in 600 sec)"),
    (1, ["poweroff"], "poweroff", ""),
    (3, ["rescueMark", "reboot"], "safemode", ""),
], ids=["reboot", "poweroff", "safemode"])
def test_reboot_loop_ends_in_safe_mode(make_board, mode, commands, recorded, loop):
    board = board_up(make_board, 100)
    write_lines(board, ["2020-01-01T00:01:00Z %s up=100 boot=00000000-0000-4000-8000-%012d : r" % (m, n)
                        for n, m in enumerate(["reboot", "safemode", "reboot"])])
    driver(board, mode, "why", "TermTimeout:0\nRebootRecord:%s\nRebootLoopLimit:3:600\n" % RECORD)
    board.wait_for_command(commands[-1], timeout=15)
    time.sleep(0.3)
    assert [r.name for r in board.command_records()] == commands
    assert board.wait_for_log(r"^System down reason : ").text == "System down reason : why" + loop
    assert records(board)[-1][1::3] == (recorded, "why" + loop)
