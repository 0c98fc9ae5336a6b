"""The configuration file as the running daemon reads it on the simulated
board: the pre-count and the file checks against real files, every refused
line reported with its own line number, and the values the SIGUSR1 dump then
shows. Also run against the board build under emulation."""
import signal

from board import LOG_DEBUG, LOG_ERR

RUN = "/tmpfs/run"
CONFIG_END = "============== End of Configuration database ================"


def setting(name, value):
    return "  %-24s= %-33s" % (name, value)


def entry(index, field, value):
    return "  Process[%2d].%-12s= %-33s" % (index, field, value)


def start_and_dump(board, text):
    """Starts the daemon in the foreground on text; returns its pid, the
    LOG_ERR lines of the start-up read and the SIGUSR1 dump."""
    board.write_config(text)
    pid = board.daemon(["-n"])
    # The dump needs the signal worker, which runs once the watchdog is open.
    board.wait_until(lambda: any(r.device == "watchdog" and r.event == "ioctl" for r in board.device_records()),
                     20, "the first watchdog refresh")
    board.kill(pid, signal.SIGUSR1)
    board.wait_for_log("^" + CONFIG_END + "$", timeout=20)
    lines = board.log_lines()
    errors = [line.text for line in lines if line.severity == LOG_ERR]
    dump = [line.text for line in lines if line.severity == LOG_DEBUG]
    return pid, errors, dump


def test_every_kind_of_line_reaches_the_database(board):
    for name in ("a", "b"):
        board.start_program(name, pidfile="%s/%s.pid" % (RUN, name))
    text = ("#periods\n"
            "AliveWatchPeriod:10\n"
            "WdtRefreshPeriod:1\n"
            "\n"
            "Wardend:x:/var/run/wardend.pid\n"
            "Process:MONITOR:0:%(run)s/a.pid:/tmpfs/bin/a\n"
            "Process:respawn:30:%(run)s/b.pid:/tmpfs/bin/b:-q -v\n"
            "Process:START:0:%(run)s/a.pid:/tmpfs/bin/a\n"
            "TermTimeout:7s\n"
            "PowerWatchPeriod:-1\n"
            "TermTimeout:10:x") % {"run": RUN}
    pid, errors, dump = start_and_dump(board, text)
    assert errors == ["Str2Num convert error [7s] : Success"]
    assert dump[1:7] == [setting("AliveWatch", 10), setting("PowerWatch", -1), setting("WdtRefresh", 1),
                         setting("TermTimeout", 10), setting("MyPidPath", "/var/run/wardend.pid"),
                         setting("NumProcess", 2)]
    assert len(dump) == 8 + 2 * 11
    for index, (startup, health, name, option) in enumerate([(0, 0, "a", ""), (2, 30, "b", "-q -v")]):
        block = dump[7 + 11 * index:7 + 11 * (index + 1)]
        assert block[1:8] == [entry(index, "StartUp", startup), entry(index, "HealthCheck", health),
                              entry(index, "PidPath", "%s/%s.pid" % (RUN, name)),
                              entry(index, "ExecPath", "/tmpfs/bin/" + name), entry(index, "procName", name),
                              entry(index, "Option", option), entry(index, "TmrHlthChk", health)]
    assert board.stop_daemon(pid, timeout=20) == 0


# Each row is one line of the file and the message it must give (None: read
# or dropped without a message). %d stands for the row's own line number.
REFUSED = [
    ("AliveWatchPeriod", "No alive watch value given on line %d"),
    ("PowerWatchPeriod:", "No power watch value given on line %d"),
    ("::WdtRefreshPeriod", "No WDT refresh value given on line %d"),
    ("TermTimeout", "No terminate timeout value given on line %d"),
    ("Wardend:x", "No PID file path given on line %d"),
    ("Wardend:x::", "No PID file path given on line %d"),
    ("TermTimeout:2147483648", "Str2Num convert error [2147483648] : Numerical result out of range"),
    ("AliveWatchPeriod:5 ", "Str2Num convert error [5 ] : Success"),
    ("Process", "No startup given on line %d"),
    ("Process:MANAGE", "No health check cycle given on line %d"),
    ("Process:MANAGE:0", "No PID file path given on line %d"),
    ("Process:MANAGE:0:/tmpfs/run/p.pid", "No exec path given on line %d"),
    ("Process:BOOT:0:/tmpfs/run/p.pid:/tmpfs/bin/p", "Config read: StartUp convert error line %d [BOOT]"),
    ("Process:Start:0:/tmpfs/run/p.pid:/tmpfs/bin/p", None),
    ("Process:MANAGE::/tmpfs/run/p.pid:/tmpfs/bin/p", "Str2Num convert error [/tmpfs/run/p.pid] : Success"),
    ("Process:MANAGE:0:/tmpfs/run/none.pid:/tmpfs/bin/p",
     "Config read: PID file is not exist line %d [/tmpfs/run/none.pid]"),
    ("Process:MANAGE:0:/tmpfs/run/empty.pid:/tmpfs/bin/p", "Config read: PID file is empty line %d"),
    ("Process:MANAGE:0:/tmpfs/run/p.pid:/tmpfs/bin/none", "Config read: Exec file is not exist line %d [/tmpfs/bin/none]"),
    ("Process:MANAGE:0:/tmpfs/run/p.pid:/tmpfs/run/plain", "Config read: Exec file is not executable line %d"),
    ("process:MANAGE:0:/tmpfs/run/p.pid:/tmpfs/bin/p", None),
    (" AliveWatchPeriod:3", None),
    ("Process:MONITOR:0:/tmpfs/run/p.pid:/tmpfs/bin/p", None),
    # Not counted by the pre-count, but read as a "Process" line: the refused
    # ones above were counted and left room for it.
    (":Process:RESPAWN:0:/tmpfs/run/p.pid:/tmpfs/bin/p:-x", None),
]


def test_refused_lines_are_reported_by_their_number(board):
    board.start_program("p", pidfile=RUN + "/p.pid")
    board.write_file(RUN + "/empty.pid", "")
    board.write_file(RUN + "/plain", "#!/bin/sh\n", mode=0o644)
    expected = []
    lines = ["WdtRefreshPeriod:1"]
    for text, message in REFUSED:
        lines.append(text)
        if message:
            expected.append(message.replace("%d", str(len(lines))))
    # 600 characters: two full pieces reported on two numbers, then the
    # remaining 90 read as a line of their own (an unknown key, dropped).
    lines.append("x" * 600)
    expected += ["line %d is too long in config file" % n for n in (len(lines), len(lines) + 1)]
    lines.append("TermTimeout:3")

    pid, errors, dump = start_and_dump(board, "\n".join(lines) + "\n")
    assert errors == expected
    assert dump[1:8] == [setting("AliveWatch", 15), setting("PowerWatch", 1), setting("WdtRefresh", 1),
                         setting("TermTimeout", 3), setting("MyPidPath", ""), setting("NumProcess", 2),
                         "  " + "-" * 59]
    assert (dump[8], dump[11]) == (entry(0, "StartUp", 0), entry(0, "ExecPath", "/tmpfs/bin/p"))
    assert (dump[19], dump[24]) == (entry(1, "StartUp", 2), entry(1, "Option", "-x"))
    assert board.stop_daemon(pid, timeout=20) == 0


def test_unreadable_file_leaves_the_defaults(board):
    pid = board.daemon(["-n"], config="/tmpfs/config/none.conf")
    board.wait_for_log(r"^Unable to open config file '/tmpfs/config/none.conf': No such file or directory$",
                       timeout=20, severity=LOG_ERR)
    board.wait_until(lambda: any(r.device == "watchdog" for r in board.device_records()), 20, "the watchdog")
    board.kill(pid, signal.SIGUSR1)
    board.wait_for_log("^" + CONFIG_END + "$", timeout=20)
    dump = [line.text for line in board.log_lines() if line.severity == LOG_DEBUG]
    assert dump[1:7] == [setting("AliveWatch", 15), setting("PowerWatch", 1), setting("WdtRefresh", 30),
                         setting("TermTimeout", 5), setting("MyPidPath", ""), setting("NumProcess", 0)]
