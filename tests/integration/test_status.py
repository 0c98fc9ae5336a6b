# SPDX-License-Identifier: MIT
"""wardctl status with a live daemon: what the reply says as supervision runs, and the socket's limits
at both ends (each field of the reply and of the table: the unit tests)."""
import json
import os
import re

from prometheus_client.parser import text_string_to_metric_families

from board import (DEFAULT_CONFIG, LOG_CRIT, LOG_ERR, LOG_WARNING, SOURCE_DIR, VERSION, WDIOC_GETBOOTSTATUS,
                   WDIOF_CARDRESET)
from support import (BASE_CONFIG, PIDFILE, RUN, keepalives, start_daemon as start_board_daemon,
                     wardctl as run_wardctl)

CLIENT, PYTHON_CLIENT = "/tmpfs/status_client.py", os.path.join(SOURCE_DIR, "client", "python")
# Raw clients of the status socket run on the board, where it is, and an impostor answering on its name.
CLIENT_PROGRAM = r'''
import contextlib, json, socket, sys, time

def connect(request=b""):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect("\0wardend.status")
    with contextlib.suppress(OSError):  # the server stops reading a request that never ends
        s.sendall(request)
    return s

def read_all(s):
    data = b""
    with contextlib.suppress(ConnectionResetError):  # the server closed with our unread bytes
        for chunk in iter(lambda: s.recv(65536), b""):
            data += chunk
    return data.decode()

mode = sys.argv[1]
if mode == "flood":
    print(json.dumps({"reply": read_all(connect(b"x" * (1 << 20)))}))
elif mode == "many":  # many in a row, while one more client says nothing
    quiet = connect()
    replies = [read_all(connect(b"status\n")) for _ in range(int(sys.argv[2]))]
    print(json.dumps({"replies": replies, "silent": read_all(quiet), "unknown": read_all(connect(b"stat\n"))}))
else:  # holds the name: stuck, it fills its backlog itself and never accepts
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind("\0wardend.status")
    server.listen(0 if mode == "stuck" else 4)
if mode == "stuck":
    held = [socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_NONBLOCK) for _ in range(8)]
    for c in held:
        with contextlib.suppress(BlockingIOError):
            c.connect("\0wardend.status")
    print("full", flush=True)
    time.sleep(600)
if mode == "impostor":  # replies that many bytes longer than the daemon's most (8 MiB), then plain ones
    REPLY = ('{"version":"1\\u001b[2J\\u009b1m","pid":1e300,"uptime":1.7e308,"table":"ok",'
             '"process_count":-1e300,"processes":[{"name":"\\u0085x\\u009d","health_check_cycle":0,'
             '"alive_check_in":null}]}')
    for extra in sys.argv[2:] + ["-1"] * 1000:
        client, _ = server.accept()
        with contextlib.suppress(OSError):  # the daemon and the careful clients only look who answers
            client.recv(4096)  # wardctl's request comes in one piece
            client.sendall(REPLY.encode().ljust((8 << 20) + int(extra), b" "))
        client.close()
'''

PYAPP = """#!/usr/bin/python3
import contextlib, sys, time
sys.path.insert(0, %r)
import wardclient
while True:
    with contextlib.suppress(wardclient.NoDaemonError):  # not started yet
        wardclient.health("pyapp")
    time.sleep(0.3)
""" % PYTHON_CLIENT


def wardctl(board, *args):
    return run_wardctl(board, *args, check=False)


def start_daemon(board, config):
    pid = start_board_daemon(board, config)  # the status server starts after the supervision threads
    board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the status socket")
    return pid


def status(board, *args):
    result = wardctl(board, "status", "--json", *args)
    assert result.status == 0 and result.stderr == "", result
    return json.loads(result.stdout)


def prometheus(board, *args):
    """(exit status, {"name{label=value}...": value}) of wardctl status --prometheus."""
    result = wardctl(board, "status", "--prometheus", *args)
    samples = [s for family in text_string_to_metric_families(result.stdout) for s in family.samples]
    return result.status, {s.name + "".join("{%s=%s}" % kv for kv in sorted(s.labels.items())): s.value
                           for s in samples}


def raw_client(board, *args):
    result = board.run(["/usr/bin/python3", CLIENT] + list(args), timeout=300)
    assert result.status == 0, result
    return json.loads(result.stdout)


def boot_status_requests(board):
    return [r.request for r in board.device_records("watchdog")].count(WDIOC_GETBOOTSTATUS)


def wait_for_state(board, name, state, timeout=20):
    """Waits for the state the metrics give the process; returns the states seen."""
    seen = []

    def reached():
        seen.extend(k.split("{state=")[1][:-1] for k, v in prometheus(board)[1].items()
                    if k.startswith("wardend_process_state{name=%s}" % name) and v == 1)
        return seen[-1:] == [state]
    board.wait_until(reached, timeout, "%s to be %s" % (name, state))
    return seen


# A Python application's health checks keep it healthy in every window; the other is waiting, then
# late, then the termination holds the table. The last reset is asked once, by the first request.
def test_status_of_healthy_waiting_and_late_processes_and_of_the_termination_that_follows(make_board):
    board = make_board(bootstatus=WDIOF_CARDRESET | 0x1)
    board.write_file("/tmpfs/bin/pyapp", PYAPP, mode=0o755)
    pyapp = board.spawn(["/tmpfs/bin/pyapp"])
    board.write_file(RUN + "/pyapp.pid", "%d\n" % pyapp)
    board.start_program("quiet", pidfile=RUN + "/quiet.pid")
    daemon = start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:2\nTermTimeout:1\n"
                                 "Process:MONITOR:4:%s/pyapp.pid:/tmpfs/bin/pyapp\n"
                                 "Process:MONITOR:5:%s/quiet.pid:/tmpfs/bin/quiet\n" % (RUN, RUN))
    assert boot_status_requests(board) == 0
    wait_for_state(board, "quiet", "waiting for first check")
    wait_for_state(board, "pyapp", "healthy")
    reply = {}  # a pass holding the table longer than the server waits gives a "busy" reply
    board.wait_until(lambda: reply.update(status(board)) or reply["table"] == "ok", 20, "the table")
    assert (reply["version"], reply["pid"], reply["config"]["path"], reply["config"]["reads"]) == (
        VERSION, daemon, DEFAULT_CONFIG, 1)
    assert reply["periods"] == dict(AliveWatchPeriod=2, PowerWatchPeriod=1, WdtRefreshPeriod=1, TermTimeout=1)
    assert reply["watchdog"]["since_refresh"] is not None and reply["watchdog"]["caused_last_reset"] is True
    assert reply["termination"]["in_progress"] is False
    seen = wait_for_state(board, "quiet", "late")
    assert set(seen) <= {"waiting for first check", "late"}, seen
    assert boot_status_requests(board) == 1

    down = board.wait_for_log(r"^System down reason : ", timeout=15, severity=LOG_WARNING)
    assert down.text == "System down reason : Detect that the process [quiet] did not sent health check."
    assert board.alive(pyapp)
    reply = status(board)
    assert (reply["table"], reply["config"], reply["processes"][0]["pid"]) == ("snapshot", None, pyapp)
    assert reply["termination"] == dict(reply["termination"], in_progress=True, mode="reboot",
                                        reason=down.text[len("System down reason : "):])
    assert not [t for t in board.log_texts() if "Status" in t or "status" in t]


SLOW_RESPAWN = """#!/bin/sh
if [ "$1" = bg ]; then echo $$ > %s/slow.pid; while :; do sleep 1; done; fi
sleep 10
/tmpfs/bin/slowres bg </dev/null >/dev/null 2>&1 &
""" % RUN


# While a respawn holds the table, replies show it; the new process is then forgiven once. The stall
# guard stops the refreshes for good, said once, even once the pass goes on.
def test_a_slow_respawn_gives_replies_in_time_that_show_it_and_stalls(board):
    board.write_file("/tmpfs/bin/slowres", SLOW_RESPAWN, mode=0o755)
    board.write_file(RUN + "/slow.pid", "999999\n")
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:4\nTermTimeout:1\nSuperviseStallTimeout:3\n"
                        "Process:RESPAWN:0:%s/slow.pid:/tmpfs/bin/slowres\n" % RUN)
    board.wait_for_log(r"^Process \[slowres:999999\] was not found$", timeout=10)
    reply = status(board, "slowres")
    assert (reply["table"], reply["config"], reply["processes"][0]["respawning"]["command"]) == (
        "snapshot", None, "slowres "), reply
    board.wait_until(lambda: status(board, "slowres")["processes"][0]["respawning"]["since"] >= 2, 10, "2 s")
    assert not [t for t in board.log_texts() if t.startswith("Respawn: ")]  # still inside the respawn
    board.wait_for_log(r"^Respawn: slowres ", timeout=20)
    assert "forgiven once" in wait_for_state(board, "slowres", "healthy")
    reply = status(board, "slowres")
    e = reply["processes"][0]
    assert (reply["table"], e["respawning"], e["respawns"]) == ("ok", None, 1)
    stalled = [line for line in board.log_lines() if line.text.startswith("Supervision stalled for ")]
    assert len(stalled) == 1 and stalled[0].severity == LOG_CRIT, stalled
    assert re.fullmatch(r"Supervision stalled for ([3-9]|[1-5]\d) sec, watchdog refresh stopped",
                        stalled[0].text), stalled
    assert [r for r in keepalives(board) if r.time > stalled[0].time] == []


# A stuck holder of the name holds up neither start nor stop; an impostor's reply is bounded and
# refused by both clients; the server bounds requests, serves many clients and keeps its descriptors.
def test_the_limits_of_both_ends_of_the_socket(make_board):
    board = make_board(bootstatus="ENOTTY")
    no_daemon = "wardctl: no daemon answers on @wardend.status (is wardend running?)\n"
    assert wardctl(board, "status")[:3] == (1, "", no_daemon)
    assert prometheus(board) == (1, {"wardend_up": 0})
    board.write_file(CLIENT, CLIENT_PROGRAM)
    holder = board.spawn(["/usr/bin/python3", CLIENT, "stuck"])
    board.wait_until(lambda: board.output(holder)[0] == "full\n", 10, "the holder's full backlog")
    daemon = start_daemon(board, BASE_CONFIG)
    board.wait_for_log(r"^Status socket name is held by another process, retrying$", timeout=10)
    assert board.stop_daemon(daemon, timeout=15) == 0
    assert not [t for t in board.log_texts() if "join fail" in t]
    board.kill(holder)
    board.wait(holder)
    impostor = board.spawn(["/usr/bin/python3", CLIENT, "impostor", "0", "1"])
    board.wait_until(lambda: "@wardend.status" in board.read_file("/proc/net/unix"), 10, "the impostor")
    result = wardctl(board, "status")
    assert result.status == 0 and result.stdout.startswith(
        "wardend 1\\x1b[2J\\xc2\\x9b1m, pid 1000000000000000, up "), result
    assert not re.search(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]", result.stdout.encode()), result.stdout
    assert wardctl(board, "status")[:3] == (1, "", "wardctl: the reply is too large\n")  # 8 MiB + 1
    board.mkdir("/tmpfs/data")
    daemon = start_daemon(board, BASE_CONFIG + "RebootRecord:/tmpfs/data/reboots\n")
    held = "Status socket name is held by pid %d (uid 0), retrying" % impostor
    assert board.wait_for_log("^%s$" % re.escape(held), timeout=10).severity == LOG_ERR
    refused = "status socket is held by pid %d (uid 0), not by the daemon" % impostor
    assert wardctl(board, "-p", PIDFILE, "status")[:3] == (1, "", "wardctl: %s\n" % refused)
    python = board.run(["/usr/bin/python3", "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                        "import wardclient; wardclient.status(pid_file=sys.argv[2])", PYTHON_CLIENT, PIDFILE])
    assert python.stderr.endswith("wardclient.ImpostorError: %s\n" % refused), python
    board.kill(impostor)
    board.wait_for_log(r"^Status socket bound$", timeout=15)
    fds = board.procinfo(daemon)["fds"]
    assert raw_client(board, "flood")["reply"] == '{"error":"request too long"}\n'
    out = raw_client(board, "many", "200")
    replies = [json.loads(r) for r in out["replies"]]
    assert len(replies) == 200 and all(r["pid"] == daemon and r["table"] == "ok" for r in replies)
    assert [r["uptime"] for r in replies] == sorted(r["uptime"] for r in replies)
    assert json.loads(out["silent"])["pid"] == daemon and board.procinfo(daemon)["fds"] == fds
    assert out["unknown"] == '{"error":"unknown request"}\n'
    assert replies[0]["watchdog"]["caused_last_reset"] is None and boot_status_requests(board) == 1
    assert [t for t in board.log_texts() if t.startswith("Status socket name is held by pid")] == [held]
