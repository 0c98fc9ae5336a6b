# SPDX-License-Identifier: MIT
"""The status socket and wardctl status on the simulated board.

Every reply is read with Python's json and every Prometheus text with the
parser of prometheus_client. Raw clients (silent, flooding, many in a row)
are a small Python program run on the board, since the socket is in the
board's own network namespace.
"""
import json
import re
import signal

import pytest
from prometheus_client.parser import text_string_to_metric_families

from board import DEFAULT_CONFIG, LOG_WARNING, VERSION, WDIOC_GETBOOTSTATUS, WDIOF_CARDRESET
from support import RUN, start_daemon as start_board_daemon, wait_for_refreshes, wardctl as run_wardctl

CLIENT = "/tmpfs/status_client.py"

# Raw clients of the status socket; prints one JSON object with what they got.
CLIENT_PROGRAM = r'''
import json, socket, sys, threading

def connect():
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(60)
    s.connect("\0wardend.status")
    return s

def read_all(s):
    data = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:  # the server closed with our unread bytes
        pass
    return data.decode()

def ask(text):
    s = connect()
    s.sendall(text)
    reply = read_all(s)
    s.close()
    return reply

mode = sys.argv[1]
if mode == "silent":             # one client says nothing while another asks
    quiet = connect()
    asked = ask(b"status\n")
    out = {"asked": asked, "silent": read_all(quiet)}
elif mode == "flood":            # a request that never ends
    s = connect()
    def flood():
        try:
            s.sendall(b"x" * (1 << 20))
        except OSError:
            pass
    sender = threading.Thread(target=flood)
    sender.start()
    out = {"reply": read_all(s)}
    sender.join()
elif mode == "raw":
    out = {"reply": ask(sys.argv[2].encode())}
elif mode == "many":
    out = {"replies": [ask(b"status\n") for _ in range(int(sys.argv[2]))]}
print(json.dumps(out))
'''


def wardctl(board, *args):
    return run_wardctl(board, *args, check=False)


def start_daemon(board, config):
    """Starts the daemon and waits until its status socket listens (the
    server starts after the supervision threads)."""
    pid = start_board_daemon(board, config)
    board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the status socket")
    return pid


def status(board, *args):
    result = wardctl(board, "status", "--json", *args)
    assert result.status == 0 and result.stderr == "", result
    return json.loads(result.stdout)


def entry(reply, name):
    found = [p for p in reply["processes"] if p["name"] == name]
    assert len(found) == 1, reply
    return found[0]


def table_states(board):
    """{name: (kind, state, last check, pid)} from the rows of wardctl status."""
    result = wardctl(board, "status")
    assert result.status == 0, result
    lines = result.stdout.splitlines()
    rows = {}
    header = next((i for i, line in enumerate(lines) if line.startswith("NAME ")), None)
    if header is not None:
        for line in lines[header + 1:]:
            if line.startswith("watchdog: "):
                break
            name, kind, state, check, pid = re.split(r"\s{2,}", line)
            rows[name] = (kind, state, check, pid)
    return rows


def prometheus(board, *args):
    """(exit status, {sample name and labels: value}) of wardctl status --prometheus."""
    result = wardctl(board, "status", "--prometheus", *args)
    samples = {}
    for family in text_string_to_metric_families(result.stdout):
        for sample in family.samples:
            key = (sample.name,) + tuple(sorted(sample.labels.items()))
            assert key not in samples, key
            samples[key] = sample.value
    return result, samples


def raw_client(board, *args):
    board.write_file(CLIENT, CLIENT_PROGRAM)
    result = board.run(["/usr/bin/python3", CLIENT] + list(args), timeout=300)
    assert result.status == 0, result
    return json.loads(result.stdout)


def wait_for_state(board, name, state, timeout=20):
    seen = []

    def reached():
        rows = table_states(board)
        seen.append(rows.get(name, (None, None))[1])
        return seen[-1] == state
    board.wait_until(reached, timeout, "%s to be %s (seen %s)" % (name, state, seen))
    return seen


# Health checks every second for one process, none for the other: healthy,
# waiting for its first check, late after its first window, and then the
# termination that the pass runs while it holds the table.
def test_status_of_healthy_waiting_and_late_processes_and_of_the_termination_that_follows(board):
    beacon = board.start_program("beacon", pidfile=RUN + "/beacon.pid", health=("beacon", 1))
    board.start_program("quiet", pidfile=RUN + "/quiet.pid")
    daemon = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:2\nTermTimeout:1\n"
                                 "Process:MONITOR:4:%s/beacon.pid:/tmpfs/bin/beacon\n"
                                 "Process:MONITOR:5:%s/quiet.pid:/tmpfs/bin/quiet\n" % (RUN, RUN))
    rows = table_states(board)
    assert rows["quiet"][1:3] == ("waiting for first check", "never / 5s"), rows
    wait_for_state(board, "beacon", "healthy")

    # A pass that holds the table longer than the server waits for it (slow
    # on a loaded machine or under an emulator) gives a "busy" reply.
    reply = {}
    board.wait_until(lambda: reply.update(status(board)) or reply["table"] == "ok", 20, "a reply from the table")
    assert (reply["version"], reply["pid"], reply["table"]) == (VERSION, daemon, "ok")
    assert reply["config"]["path"] == DEFAULT_CONFIG and reply["config"]["read_ok"] is True
    assert reply["config"]["reads"] == 1 and reply["config"]["read_age"] <= reply["uptime"]
    assert reply["periods"] == {"AliveWatchPeriod": 2, "PowerWatchPeriod": 1, "WdtRefreshPeriod": 1,
                                "TermTimeout": 1}
    assert reply["process_count"] == 2 and [p["name"] for p in reply["processes"]] == ["beacon", "quiet"]
    watchdog = reply["watchdog"]
    assert watchdog["refresh_period"] == 1 and watchdog["since_refresh"] is not None
    assert 0 <= watchdog["interval"] <= watchdog["max_interval"] and watchdog["late_refreshes"] >= 0
    assert reply["termination"] == {"in_progress": False, "mode": None, "reason": None, "age": None}
    assert reply["last_shutdown"] is None and reply["safety"] == {
        "SuperviseStallTimeout": 0, "RebootRecord": None, "RebootLoopLimit": None, "WdtPriority": 0}
    b = entry(reply, "beacon")
    assert (b["kind"], b["pid_file"], b["health_check_cycle"]) == ("MONITOR", RUN + "/beacon.pid", 4)
    assert b["health_check_age"] is not None and b["respawns"] == 0 and b["forgiven"] == 0
    assert b["window_left"] is not None and b["alive_check_in"] is not None
    board.wait_until(lambda: entry(status(board), "beacon")["pid"] == beacon, 10, "the beacon's pid")
    assert entry(status(board), "beacon")["running"] is True
    assert entry(status(board, "quiet"), "quiet")["health_check_age"] is None

    seen = wait_for_state(board, "quiet", "late")
    assert set(seen) <= {"waiting for first check", "late"}, seen
    _, samples = prometheus(board)
    assert samples[("wardend_process_state", ("name", "quiet"), ("state", "late"))] == 1
    assert ("wardend_process_health_check_age_seconds", ("name", "quiet")) not in samples
    assert samples[("wardend_process_health_check_cycle_seconds", ("name", "quiet"))] == 5
    assert samples[("wardend_up",)] == 1 and samples[("wardend_processes",)] == 2

    down = board.wait_for_log(r"^System down reason : ", timeout=15)
    assert down.text == "System down reason : Detect that the process [quiet] did not sent health check."
    # The termination holds the table: the processes are listed as it found
    # them when it began.
    reply = status(board)
    assert reply["table"] == "snapshot" and reply["config"] is None and reply["safety"] is None
    assert reply["process_count"] == 2 and [p["name"] for p in reply["processes"]] == ["beacon", "quiet"]
    assert entry(reply, "beacon")["pid"] == beacon and entry(reply, "quiet")["health_check_armed"] is True
    assert reply["snapshot_age"] >= 0
    termination = reply["termination"]
    assert termination["in_progress"] is True and termination["mode"] == "reboot"
    assert termination["reason"] == "Detect that the process [quiet] did not sent health check."
    assert reply["watchdog"]["refresh_period"] == 1
    result, samples = prometheus(board)
    assert result.status == 0
    assert samples[("wardend_termination_in_progress",)] == 1 and samples[("wardend_table_busy",)] == 1
    assert not [k for k in samples if k[0].startswith("wardend_process_")]

    # Nothing about the status socket was logged, and it is not a file.
    assert not [t for t in board.log_texts() if "Status" in t or "status" in t]
    assert "@wardend.status" in board.read_file("/proc/net/unix")


# A supervised process that vanished: missing until its alive check, then
# forgiven once; a MANAGE process is then found dead, a RESPAWN process is
# started again and healthy.
@pytest.mark.parametrize("kind", ["MANAGE", "RESPAWN"])
def test_a_lost_process_is_missing_then_forgiven_then_dead_or_respawned(board, kind):
    if kind == "RESPAWN" and board.emulator:
        pytest.skip("the daemon's shell starts the respawned program, and it cannot run a foreign binary")
    pidfile = RUN + "/lost.pid"
    first = board.start_program("lost", pidfile=pidfile, background=kind == "RESPAWN")
    option = ":-p %s -d" % pidfile if kind == "RESPAWN" else ""
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:5\nTermTimeout:1\n"
                        "Process:%s:0:%s:/tmpfs/bin/lost%s\n" % (kind, pidfile, option))
    rows = table_states(board)
    assert rows["lost"][1] == "waiting for first check", rows

    # Kill it right after an alive check found it, so that several seconds
    # pass before the next one.
    def just_checked():
        e = entry(status(board), "lost")
        return e["pid"] == first and e["alive_check_in"] >= 4
    board.wait_until(just_checked, 30, "an alive check that found the process")
    assert board.kill(first, signal.SIGKILL)
    seen = wait_for_state(board, "lost", "forgiven once")
    assert "missing" in seen and seen.index("missing") < seen.index("forgiven once"), seen
    e = entry(status(board), "lost")
    assert (e["forgiven"], e["respawns"]) == (1, 1 if kind == "RESPAWN" else 0)

    if kind == "MANAGE":
        down = board.wait_for_log(r"^System down reason : ", timeout=20)
        assert down.text == "System down reason : Detect that the process [lost] was dead."
        return
    second = int(board.read_file(pidfile))
    wait_for_state(board, "lost", "healthy")
    e = entry(status(board), "lost")
    assert (e["pid"], e["running"], e["forgiven"], e["respawns"]) == (second, True, 0, 1)
    # The next alive check found the new process: one respawn, no failure.
    respawns = [(l.text, l.severity) for l in board.log_lines() if l.text.startswith("Respawn: ")]
    assert respawns == [("Respawn: lost %s " % option[1:], LOG_WARNING)]
    assert not [t for t in board.log_texts() if t.startswith("System down reason")]
    _, samples = prometheus(board, "lost")
    assert samples[("wardend_process_respawns_total", ("name", "lost"))] == 1
    assert samples[("wardend_process_pid", ("name", "lost"))] == second


# A respawn command that takes 10 s before it starts the program in the
# background, as a slow one would: it runs through the shell (so also under
# emulation), and the started copy writes its pid file.
SLOW_RESPAWN = """#!/bin/sh
if [ "$1" = bg ]; then echo $$ > %s/slow.pid; while :; do sleep 1; done; fi
sleep 10
/tmpfs/bin/slowres bg </dev/null >/dev/null 2>&1 &
""" % RUN


# The pass holds the table while that respawn command runs: a reply still
# comes, with the watchdog figures and the processes as the respawn found
# them, the respawning one with its command and how long it has run.
def test_a_slow_pass_gives_replies_in_time_that_show_the_respawn(board):
    board.write_file("/tmpfs/bin/slowres", SLOW_RESPAWN, mode=0o755)
    board.mkdir(RUN)
    board.write_file(RUN + "/slow.pid", "999999\n")
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:2\nTermTimeout:1\n"
                        "Process:RESPAWN:0:%s/slow.pid:/tmpfs/bin/slowres\n" % RUN)
    board.wait_for_log(r"^Process \[slowres:999999\] was not found$", timeout=10)
    reply = status(board)
    assert reply["table"] == "snapshot" and reply["config"] is None, reply
    assert reply["watchdog"]["since_refresh"] is not None and reply["termination"]["in_progress"] is False
    respawning = entry(reply, "slowres")["respawning"]
    assert respawning["command"] == "slowres " and respawning["since"] >= 0, reply
    board.wait_until(lambda: entry(status(board), "slowres")["respawning"]["since"] >= 2, 10, "two seconds of respawn")
    assert not [t for t in board.log_texts() if t.startswith("Respawn: ")]  # still inside the respawn

    board.wait_for_log(r"^Respawn: slowres ", timeout=20)
    wait_for_state(board, "slowres", "healthy")
    reply = status(board)
    e = entry(reply, "slowres")
    assert reply["table"] == "ok" and e["respawning"] is None
    assert (e["respawns"], e["forgiven"], e["running"]) == (1, 0, True)


# Whether the watchdog reset the board, as its driver says: asked once,
# by the first status request (without one the device sees no new request),
# or taken from the start-up's question when a reboot record made it; the
# JSON and the metrics agree. The board's own uptime comes with the metrics.
@pytest.mark.parametrize("bootstatus,record_key,caused", [
    (WDIOF_CARDRESET, False, True),
    (0, False, False),
    ("ENOTTY", False, None),
    (WDIOF_CARDRESET | 0x1, True, True),
], ids=["watchdog-reset", "other-reset", "driver-without-request", "asked-at-start-up"])
def test_the_last_reset_by_the_watchdog_is_asked_once(make_board, bootstatus, record_key, caused):
    board = make_board(bootstatus=bootstatus)
    board.mkdir("/tmpfs/data")
    start_daemon(board, "WdtRefreshPeriod:1\n" + ("RebootRecord:/tmpfs/data/reboots\n" if record_key else ""))
    wait_for_refreshes(board, 3)

    def asked():
        return [r.request for r in board.device_records("watchdog")].count(WDIOC_GETBOOTSTATUS)
    assert asked() == (1 if record_key else 0)
    assert status(board)["watchdog"]["caused_last_reset"] is caused
    _, samples = prometheus(board)
    assert samples.get(("wardend_watchdog_caused_last_reset",)) == (None if caused is None else int(caused))
    assert asked() == 1
    # At least what the daemon has been up; the boot clock is the board's.
    assert samples[("wardend_board_uptime_seconds",)] >= samples[("wardend_uptime_seconds",)]


# A client that says nothing, one that sends without end and ones with
# wrong requests are answered or refused, many in a row are answered in
# turn, and the server goes on; its descriptors are the same afterwards.
def test_silent_flooding_and_wrong_clients_do_not_stall_the_server(board):
    daemon = start_daemon(board, "WdtRefreshPeriod:1\n")
    fds = board.procinfo(daemon)["fds"]

    out = raw_client(board, "silent")
    asked, silent = json.loads(out["asked"]), json.loads(out["silent"])
    assert asked["pid"] == silent["pid"] == daemon and silent["table"] == "ok"

    out = raw_client(board, "flood")
    assert out["reply"] == '{"error":"request too long"}\n'
    for request, reply in (("hello\n", '{"error":"unknown request"}\n'), ("status \n", '{"error":"unknown request"}\n'),
                           ("", None), ("status nobody\r\n", None)):
        got = raw_client(board, "raw", request)["reply"]
        if reply is None:
            parsed = json.loads(got)
            assert parsed["table"] == "ok" and parsed["processes"] == [], got
        else:
            assert got == reply
    assert status(board)["table"] == "ok"
    # Two hundred clients in a row, each answered in turn.
    replies = [json.loads(r) for r in raw_client(board, "many", "200")["replies"]]
    assert len(replies) == 200 and all(r["pid"] == daemon and r["table"] == "ok" for r in replies)
    uptimes = [r["uptime"] for r in replies]
    assert uptimes == sorted(uptimes)
    assert board.procinfo(daemon)["fds"] == fds


def test_wardctl_status_without_a_daemon_and_its_usage_errors(board):
    result = wardctl(board, "status")
    assert result.status == 1 and result.stdout == ""
    assert result.stderr == "wardctl: no daemon answers on @wardend.status (is wardend running?)\n"
    result, samples = prometheus(board)
    assert result.status == 1 and samples == {("wardend_up",): 0}
    for args in (["--json", "--prometheus"], ["a", "b"], ["--bogus"], ["x" * 260], [""]):
        result = wardctl(board, "status", *args)
        assert result.status == 2 and result.stdout == "" and result.stderr.startswith("wardctl: "), (args, result)


# Any program may answer on the socket's name before the daemon does. Its
# reply is read up to the daemon's own limit and no further; its texts reach
# the terminal without a control character, and absurd numbers stay bounded.
IMPOSTOR = "/tmpfs/impostor.py"
IMPOSTOR_PROGRAM = r'''
import socket, sys
REPLY = ('{"version":"1\\u001b[2J\\u009b1m","pid":1e300,"uptime":1.7e308,"table":"ok","process_count":-1e300,'
         '"processes":[{"name":"\\u0085x\\u009d","health_check_cycle":0,"alive_check_in":null}]}')
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind("\0wardend.status")
server.listen(4)
# One reply per argument, that many bytes longer than the most the daemon
# ever sends (8 MiB).
for extra in sys.argv[1:]:
    client, _ = server.accept()
    while not client.recv(4096).endswith(b"\n"):
        pass
    client.sendall(REPLY.encode().ljust((8 << 20) + int(extra), b" "))
    client.close()
'''


def test_a_reply_from_an_impostor_is_bounded_and_shown_without_controls(board):
    board.write_file(IMPOSTOR, IMPOSTOR_PROGRAM)
    impostor = board.spawn(["/usr/bin/python3", IMPOSTOR, "0", "1"])
    board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the impostor's socket")
    result = wardctl(board, "status")
    assert result.status == 0, result
    assert result.stdout.startswith("wardend 1\\x1b[2J\\xc2\\x9b1m, pid 1000000000000000, up "), result.stdout
    assert "\\xc2\\x85x\\xc2\\x9d" in result.stdout and "not checked" in result.stdout, result.stdout
    shown = result.stdout.encode()
    assert not re.search(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]", shown), shown
    result = wardctl(board, "status")  # one byte more than the daemon ever sends
    assert (result.status, result.stdout, result.stderr) == (1, "", "wardctl: the reply is too large\n"), result
    assert board.wait(impostor, timeout=10) == 0
