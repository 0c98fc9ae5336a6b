"""The configuration file as the running daemon reads it on the simulated
board: real pid files and programs, a refused line reported at LOG_ERR, and
the values the SIGUSR1 dump then shows (the rest is in the reader's tests)."""
import signal

from board import LOG_DEBUG, LOG_ERR
from support import RUN, dump_fields, watchdog_pid


def start_and_dump(board, config):
    """Starts the daemon with -n; returns its pid, the read's errors and the dump."""
    pid = board.daemon(["-n"], config=config)
    # The dump needs the signal worker, which runs once the watchdog is open.
    watchdog_pid(board)
    board.kill(pid, signal.SIGUSR1)
    board.wait_for_log("^=* End of Configuration database =*$", timeout=20)
    lines = board.log_lines()
    return pid, [line.text for line in lines if line.severity == LOG_ERR], \
        [line.text for line in lines if line.severity == LOG_DEBUG]


def test_every_kind_of_line_reaches_the_database(board):
    for name in ("a", "b"):
        board.start_program(name, pidfile="%s/%s.pid" % (RUN, name))
    pid, errors, dump = start_and_dump(board, board.write_config((
        "#periods\nAliveWatchPeriod:10\nWdtRefreshPeriod:1\n\nWardend:x:/var/run/wardend.pid\n"
        "Process:MONITOR:0:%(run)s/a.pid:/tmpfs/bin/a\nProcess:respawn:30:%(run)s/b.pid:/tmpfs/bin/b:-q -v\n"
        "Process:START:0:%(run)s/a.pid:/tmpfs/bin/a\nTermTimeout:7s\nPowerWatchPeriod:-1\nTermTimeout:10:x")
        % {"run": RUN}))
    assert errors == ["Str2Num convert error [7s] : Success"]
    assert len(dump) == 8 + 2 * 11
    fields = dump_fields(dump)
    assert {name: fields[name] for name in ("AliveWatch", "PowerWatch", "WdtRefresh", "TermTimeout", "MyPidPath",
                                            "NumProcess")} == {
        "AliveWatch": "10", "PowerWatch": "-1", "WdtRefresh": "1", "TermTimeout": "10",
        "MyPidPath": "/var/run/wardend.pid", "NumProcess": "2"}
    for index, (startup, health, name, option) in enumerate([("0", "0", "a", ""), ("2", "30", "b", "-q -v")]):
        entry = {field: fields["Process[%2d].%s" % (index, field)] for field in (
            "StartUp", "HealthCheck", "PidPath", "ExecPath", "procName", "Option", "TmrHlthChk")}
        assert entry == {"StartUp": startup, "HealthCheck": health, "PidPath": "%s/%s.pid" % (RUN, name),
                         "ExecPath": "/tmpfs/bin/" + name, "procName": name, "Option": option, "TmrHlthChk": health}
    assert board.stop_daemon(pid, timeout=20) == 0

