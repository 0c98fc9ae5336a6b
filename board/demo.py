# SPDX-License-Identifier: MIT
"""Runs the daemon on the simulated board with board/demo.conf and shows
what happens: the daemon's system-log lines, the watchdog and power-LED
requests, the commands it runs, and what the demo does through wardctl.

Two applications run: beacon (MANAGE, a health check due every 4 seconds)
and worker (RESPAWN; it ends after a few seconds and the daemon starts it
again). A small shell loop on the board sends beacon's health checks with
"wardctl health beacon" every 2 seconds.

Story "supervision" (the default): after 11 seconds (earlier with a short
HANG) the operator asks for a re-read with "wardctl reread" (SIGHUP to the pid in the daemon's pid file).
After HANG seconds the health-check loop stops, right after a health check
that came early in one of beacon's windows, so that beacon is late for a
good part of the next window; the daemon notices the missing health check,
stops the managed processes and reboots the board. Twice the operator looks
at the daemon's own view with "wardctl status": once while every process is
healthy, and once beacon has turned late, before the daemon acts.

Story "request": the health checks go on; after 8 seconds "wardctl reread
PATH" asks the daemon to read the configuration file PATH, and after 14
seconds an application asks for a reboot with "wardctl reboot beacon
REASON"; the daemon logs the reason and reboots the board.

Ctrl-C or --seconds ends the demo earlier with a clean stop (SIGTERM to the
daemon, then the board goes away).

With --config FILE the daemon reads FILE instead and no story runs: the
board shows what the daemon does with the integrator's own configuration.
Each --run PROGRAM[ ARGS] (one word with blanks, as a shell would split it)
names a program of this machine: it is placed on the board at the path of the
Process line that names a program of its base name (/tmpfs/bin/NAME when
none does), started with ARGS before the daemon, and given a few seconds to
write the pid file that line names.
"""
import argparse
import json
import os
import shlex
import shutil
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from board import BOARD_DIR, DEFAULT_CONFIG, SEVERITIES, SOURCE_DIR, WDIOC_BOARD_REQUEST, WDIOC_KEEPALIVE, Board  # noqa: E402

HEALTH_EVERY = 2
WORKER_LIFETIME = 6
PIDFILE = "/tmpfs/run/wardend.pid"      # the Wardend line of board/demo.conf
DEMO_CONFIG = os.path.join("board", "demo.conf")
# Folders the board can write to; a program meant for any other folder is
# laid over the board's system folders instead.
WRITABLE = ("/tmp/", "/tmpfs/", "/run/", "/var/")
PIDFILE_WAIT = 5
REBOOT_REASON = "firmware 2.1 installed"
WATCHDOG_REQUESTS = {WDIOC_KEEPALIVE: "keep-alive", WDIOC_BOARD_REQUEST: "board request 12"}
STATUS_EVERY = 0.3
STOP_SENDING = "/tmp/beacon.stop"       # the health-check loop ends once this exists


class Printer:
    """Prints what the board saw since the last call, oldest first."""

    def __init__(self, board, start):
        self.board, self.start = board, start
        self.logs = self.devices = self.commands = 0
        self.outputs = {}               # pid of a spawned loop -> (who, lines printed)

    def say(self, who, text, when=None):
        when = time.time() if when is None else when
        print("%6.1fs  %-8s %s" % (when - self.start, who, text), flush=True)

    def follow(self, pid, who):
        """Also prints the standard output of a process started with spawn()."""
        self.outputs[pid] = (who, 0)

    def flush(self):
        events = []
        lines = self.board.log_lines()
        for line in lines[self.logs:]:
            sev = SEVERITIES[line.severity] if line.severity is not None else "?"
            events.append((line.time, "log", "%-7s %s" % (sev, line.text.rstrip("\n"))))
        self.logs = len(lines)
        records = self.board.device_records()
        for r in records[self.devices:]:
            if r.device == "pow_led" and r.led is not None:
                events.append((r.time, "led", "power LED set to (%d, %d)" % r.led))
            elif r.device == "watchdog" and r.event == "ioctl":
                events.append((r.time, "watchdog", WATCHDOG_REQUESTS.get(r.request, "request %#x" % r.request)))
            elif r.device == "watchdog" and r.event in ("open", "close"):
                failed = " failed" if r.fd is not None and r.fd < 0 else ""
                events.append((r.time, "watchdog", "device %s%s" % (r.event, failed)))
        self.devices = len(records)
        commands = self.board.command_records()
        for c in commands[self.commands:]:
            events.append((c.time, "command", (c.name + " " + c.args).strip()))
        self.commands = len(commands)
        for when, who, text in sorted(events):
            self.say(who, text, when)
        for pid, (who, done) in list(self.outputs.items()):
            text = self.board.output(pid)[0] or ""
            complete = text.split("\n")[:-1]    # only finished lines
            for line in complete[done:]:
                self.say(who, line)
            self.outputs[pid] = (who, len(complete))


def wardctl_command(board, *args):
    """The words that run wardctl on the board (installed on its PATH)."""
    return board.emulator + ["wardctl"] + list(args)


def health_loop(board):
    """A shell loop that sends beacon's health check through wardctl every
    HEALTH_EVERY seconds until the demo tells it to stop, as an application's
    script would."""
    send = shlex.join(wardctl_command(board, "health", "beacon"))
    return ("while [ ! -e %s ]; do\n"
            "  %s && echo \"sent: wardctl health beacon\"\n"
            "  sleep %d\n"
            "done\n"
            "echo \"stops sending health checks\"\n" % (STOP_SENDING, send, HEALTH_EVERY))


def window_just_began(board, name):
    """Whether the entry name's current health-check window began one pass
    ago (window_left counts the passes left, one a second) and a health check
    has come since: if the checks stop now, the entry shows as late for more
    than two seconds before the daemon acts."""
    result = board.run(wardctl_command(board, "status", "--json", name))
    try:
        entry = json.loads(result.stdout)["processes"][0]
        cycle, left, age = entry["health_check_cycle"], entry["window_left"], entry["health_check_age"]
    except (ValueError, KeyError, IndexError, TypeError):
        return False
    return None not in (left, age) and left == cycle - 1 and age <= 1


def story_steps(story, hang):
    """(seconds after the daemon started, what, wardctl arguments) of a story."""
    if story == "request":
        return [(8, "operator asks for a re-read of an explicit file", ("reread", DEFAULT_CONFIG)),
                (14, "an application asks for a reboot", ("reboot", "beacon", REBOOT_REASON))]
    return [(min(11, hang * 0.7), "operator asks for a re-read (SIGHUP via the pid file)",
             ("-p", PIDFILE, "reread"))]


def status_states(table):
    """{name: state} of the rows of a "wardctl status" table ({} without rows).
    The columns are as wide as their longest text, so the header says where
    each one starts."""
    lines = table.splitlines()
    head = next((i for i, line in enumerate(lines) if line.startswith("NAME ")), None)
    if head is None:
        return {}
    kind, state, check = (lines[head].index(column) for column in ("KIND", "STATE", "LAST CHECK"))
    states = {}
    for line in lines[head + 1:]:
        if line.startswith("watchdog:"):
            break
        states.setdefault(line[:kind].strip(), line[state:check].strip())
    return states


def status_views(story):
    """(what the operator sees, predicate over the rows' states) of each time
    the story shows "wardctl status", in order: the daemon's own view before
    it acts."""
    if story != "supervision":
        return []
    return [("operator looks at the status while all is healthy",
             lambda states: bool(states) and all(s == "healthy" for s in states.values())),
            ("operator looks again: beacon's health check is late",
             lambda states: states.get("beacon") == "late")]


def show_status(board, out, views):
    """Asks for the status and shows it when it is what one of the views waits
    for; that view and any before it (a short --hang may pass one by) are
    taken off the list."""
    argv = wardctl_command(board, "status")
    result = board.run(argv)
    if result.status != 0:
        return
    states = status_states(result.stdout)
    match = next((i for i, (_, wanted) in enumerate(views) if wanted(states)), None)
    if match is None:
        return
    what = views[match][0]
    del views[:match + 1]
    out.flush()
    out.say("demo", "%s: %s" % (what, shlex.join(argv)))
    for line in result.stdout.splitlines():
        out.say("wardctl", line)


def process_lines(config):
    """(kind, pid file, program) of each Process line, split as the daemon
    splits it (runs of ':' are one separator)."""
    entries = []
    for line in config.splitlines():
        fields = [f for f in line.split(":") if f]
        if len(fields) >= 5 and fields[0] == "Process":
            entries.append((fields[1], fields[3], fields[4]))
    return entries


def caller_path(path):
    """A path the user gave, relative to where scripts/demo was started."""
    return os.path.join(os.environ.get("WARDEND_CALLER_DIR") or os.getcwd(), path)


def place_programs(config, runs, tree):
    """Where each --run program goes on the board: [(host file, board path,
    arguments, pid file or None)]. Programs for read-only folders are copied
    into tree, which the board lays over its system folders."""
    entries = process_lines(config)
    placed = []
    for run in runs:
        words = shlex.split(run)
        if not words:
            raise SystemExit("demo: --run needs a program")
        source = caller_path(words[0])
        if not os.path.isfile(source):
            raise SystemExit("demo: --run %s: no such file" % words[0])
        name = os.path.basename(source)
        entry = next((e for e in entries if os.path.basename(e[2]) == name), None)
        dest = entry[2] if entry and entry[2].startswith("/") else "/tmpfs/bin/" + name
        if not dest.startswith(WRITABLE):
            copy = os.path.join(tree, dest.lstrip("/"))
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copy(source, copy)
            os.chmod(copy, 0o755)
        placed.append((source, dest, words[1:], entry[1] if entry else None))
    return placed


def start_programs(board, out, placed):
    """Installs and starts the --run programs; waits for their pid files."""
    for source, dest, args, pidfile in placed:
        if dest.startswith(WRITABLE):
            # The board sees the host's run folder, not the host's /tmp.
            staged = os.path.join(board.run_dir, "programs", os.path.basename(dest))
            os.makedirs(os.path.dirname(staged), exist_ok=True)
            shutil.copy(source, staged)
            board.request("install", source=staged.replace(board.run_dir, BOARD_DIR, 1), dest=dest)
        if pidfile:
            board.mkdir(os.path.dirname(pidfile))
        argv = board.emulator + [dest] + args
        out.follow(board.spawn(argv), os.path.basename(dest)[:8])
        out.say("demo", "started %s" % shlex.join(argv))
    for _, dest, _, pidfile in placed:
        if not pidfile:
            continue
        deadline = time.time() + PIDFILE_WAIT
        while not (board.read_file(pidfile) or "").strip() and time.time() < deadline:
            time.sleep(0.1)
        if not (board.read_file(pidfile) or "").strip():
            out.say("demo", "%s wrote no pid file %s: the daemon will refuse its line" % (dest, pidfile))


def run_own(options, stop_requested):
    """The integrator's configuration and programs, shown until Ctrl-C,
    --seconds, a power command or the daemon's end."""
    try:
        with open(caller_path(options.config)) as f:
            config = f.read()
    except OSError as e:
        raise SystemExit("demo: cannot read %s: %s" % (options.config, e.strerror))
    tree = tempfile.mkdtemp(prefix="wardend-demo-root-")
    try:
        placed = place_programs(config, options.run, tree)
        with Board(root=tree if os.listdir(tree) else None) as board:
            start = time.time()
            out = Printer(board, start)
            out.say("demo", "board up; configuration %s:" % options.config)
            for line in config.splitlines():
                if line and not line.startswith("#"):
                    print("          " + line)
            # Programs may send their health checks through wardctl.
            wardctl = os.path.join(board.build_dir, "bin", "wardctl")
            if os.path.exists(wardctl):
                board.request("install", source=wardctl, dest="/tmpfs/bin/wardctl")
            board.write_config(config)
            start_programs(board, out, placed)
            pid = start_daemon(board, out)
            if pid is None:
                return 1
            follow(board, out, pid, options, stop_requested)
        print("board gone", flush=True)
        return 0
    finally:
        shutil.rmtree(tree, ignore_errors=True)


def start_daemon(board, out):
    """Starts the daemon; its pid, or None when it did not start."""
    started = board.daemon()
    if started.status != 0:
        out.flush()
        out.say("demo", "the daemon did not start (status %s): %s" % (started.status, started.stderr.strip()))
        return None
    pid = board.wait_daemon_pid(started)
    out.say("demo", "wardend runs as pid %d on the board" % pid)
    return pid


def follow(board, out, pid, options, stop_requested, steps=(), names=(), views=(), hang=None):
    """Prints what the board sees (and runs the story's steps and status
    views, and stops beacon's health checks after hang seconds) until Ctrl-C,
    --seconds, a power command or the daemon's end; then stops the daemon
    cleanly if it still runs."""
    daemon_start = time.time()
    steps = list(steps)
    views = list(views)
    asked = 0.0
    reason = None
    running = {name: set(board.pids(name)) for name in names}
    while True:
        out.flush()
        for name, before in running.items():
            now_running = set(board.pids(name))
            for gone in sorted(before - now_running):
                out.say(name, "pid %d has ended" % gone)
            for new in sorted(now_running - before):
                out.say(name, "pid %d is running" % new)
            running[name] = now_running
        now = time.time()
        if options.seconds is not None and now - out.start >= options.seconds:
            stop_requested.append("%g seconds" % options.seconds)
        if stop_requested:
            break
        while steps and now - daemon_start >= steps[0][0]:
            _, what, args = steps.pop(0)
            argv = wardctl_command(board, *args)
            out.say("demo", "%s: %s" % (what, shlex.join(argv)))
            result = board.run(argv)
            failed = (": " + result.stderr.strip()) if result.stderr.strip() else ""
            out.say("wardctl", "exit status %d%s" % (result.status, failed))
        if hang is not None and now - daemon_start >= hang and now - asked >= STATUS_EVERY:
            asked = now
            if window_just_began(board, "beacon"):
                board.sh("touch " + STOP_SENDING)
                hang = None
        if views:
            show_status(board, out, views)
        done = board.command_records("reboot") or board.command_records("poweroff")
        if done:
            reason = done[0].name
            break
        if not board.daemon_pids():
            out.flush()
            out.say("demo", "the daemon has ended")
            break
        time.sleep(0.1)

    if reason:
        time.sleep(0.5)
        out.flush()
        out.say("demo", "'%s' ran: a real board would go down now; the simulated one goes away" % reason)
    elif stop_requested and board.daemon_pids():
        out.say("demo", "stopping (%s): SIGTERM to wardend" % stop_requested[0])
        board.kill(pid, signal.SIGTERM)
        deadline = time.time() + 40
        status = None
        while status is None and time.time() < deadline:
            status = board.wait(pid, timeout=0.2)
            out.flush()
        out.flush()
        out.say("demo", "wardend exited with status %s" % status)
    return 0


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="stories: 'supervision' (default) shows health checks through wardctl, a RESPAWN "
               "restart, a re-read (wardctl reread), the daemon's status (wardctl status) while all "
               "is healthy and once the health checks are late, and a reboot because they "
               "stopped; 'request' shows health checks, a re-read of an explicit file "
               "(wardctl reread PATH) and a reboot request (wardctl reboot NAME REASON).")
    parser.add_argument("--story", choices=("supervision", "request"), default="supervision",
                        help="what to show (default supervision)")
    parser.add_argument("--seconds", type=float, help="stop cleanly after this many seconds")
    parser.add_argument("--hang", type=float, default=15,
                        help="supervision story: seconds after which the health checks stop, right after one that "
                             "began a window (default 15)")
    parser.add_argument("--config", metavar="FILE",
                        help="run the daemon with this configuration file instead of the story's")
    parser.add_argument("--run", metavar="PROGRAM", nargs="+", action="extend", default=[],
                        help="with --config: programs (with their arguments in the same word) to place where "
                             "the configuration names them and start before the daemon")
    options = parser.parse_args()
    if options.run and not options.config:
        parser.error("--run needs --config")

    stop_requested = []
    signal.signal(signal.SIGINT, lambda *_: stop_requested.append("Ctrl-C"))
    signal.signal(signal.SIGTERM, lambda *_: stop_requested.append("SIGTERM"))
    if options.config:
        return run_own(options, stop_requested)

    with open(os.path.join(SOURCE_DIR, DEMO_CONFIG)) as f:
        config = f.read()

    with Board() as board:
        start = time.time()
        out = Printer(board, start)
        out.say("demo", "story '%s'; board up; configuration %s:" % (options.story, DEMO_CONFIG))
        for line in config.splitlines():
            if line and not line.startswith("#"):
                print("          " + line)
        wardctl = os.path.join(board.build_dir, "bin", "wardctl")
        if not os.path.exists(wardctl):
            out.say("demo", "%s is missing: build the wardctl target first" % wardctl)
            return 1
        board.request("install", source=wardctl, dest="/tmpfs/bin/wardctl")
        board.write_config(config)
        board.start_program("beacon", "/tmpfs/run/beacon.pid")
        board.start_program("worker", "/tmpfs/run/worker.pid", background=True, exit_after=WORKER_LIFETIME)
        out.say("demo", "started beacon and worker (worker ends after %ds)" % WORKER_LIFETIME)

        pid = start_daemon(board, out)
        if pid is None:
            return 1

        loop = health_loop(board)
        out.say("demo", "health checks for beacon come from this shell loop on the board:")
        for line in loop.splitlines():
            print("            " + line)
        out.follow(board.spawn(["/bin/sh", "-c", loop]), "beacon")
        follow(board, out, pid, options, stop_requested, story_steps(options.story, options.hang),
               ("beacon", "worker"), status_views(options.story),
               options.hang if options.story == "supervision" else None)
    print("board gone", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
