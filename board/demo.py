"""Runs the daemon on the simulated board with examples/wardend.conf and shows
what happens: the daemon's system-log lines, the watchdog and power-LED
requests, the commands it runs, and what the demo does through wardctl.

Two applications run: beacon (MANAGE, a health check due every 4 seconds)
and worker (RESPAWN; it ends after a few seconds and the daemon starts it
again). A small shell loop on the board sends beacon's health checks with
"wardctl health beacon" every 2 seconds.

Story "supervision" (the default): after 11 seconds (earlier with a short
HANG) the operator asks for a re-read with "wardctl reread" (SIGHUP to the pid in the daemon's pid file).
After HANG seconds the health-check loop stops; the daemon notices the
missing health check, stops the managed processes and reboots the board.

Story "request": the health checks go on; after 8 seconds "wardctl reread
PATH" asks the daemon to read the configuration file PATH, and after 14
seconds an application asks for a reboot with "wardctl reboot beacon
REASON"; the daemon logs the reason and reboots the board.

Ctrl-C or --seconds ends the demo earlier with a clean stop (SIGTERM to the
daemon, then the board goes away).
"""
import argparse
import os
import shlex
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from board import DEFAULT_CONFIG, SEVERITIES, SOURCE_DIR, WDIOC_BOARD_REQUEST, WDIOC_KEEPALIVE, Board  # noqa: E402

HEALTH_EVERY = 2
WORKER_LIFETIME = 6
PIDFILE = "/tmpfs/run/wardend.pid"      # the Wardend line of examples/wardend.conf
REBOOT_REASON = "firmware 2.1 installed"
WATCHDOG_REQUESTS = {WDIOC_KEEPALIVE: "keep-alive", WDIOC_BOARD_REQUEST: "board request 12"}


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


def health_loop(board, seconds):
    """A shell loop that sends beacon's health check through wardctl every
    HEALTH_EVERY seconds for the given time, as an application's script would."""
    send = shlex.join(wardctl_command(board, "health", "beacon"))
    return ("end=$(( $(date +%%s) + %d ))\n"
            "while [ \"$(date +%%s)\" -lt \"$end\" ]; do\n"
            "  %s && echo \"sent: wardctl health beacon\"\n"
            "  sleep %d\n"
            "done\n"
            "echo \"stops sending health checks\"\n" % (seconds, send, HEALTH_EVERY))


def story_steps(story, hang):
    """(seconds after the daemon started, what, wardctl arguments) of a story."""
    if story == "request":
        return [(8, "operator asks for a re-read of an explicit file", ("reread", DEFAULT_CONFIG)),
                (14, "an application asks for a reboot", ("reboot", "beacon", REBOOT_REASON))]
    return [(min(11, hang * 0.7), "operator asks for a re-read (SIGHUP via the pid file)",
             ("-p", PIDFILE, "reread"))]


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="stories: 'supervision' (default) shows health checks through wardctl, a RESPAWN "
               "restart, a re-read (wardctl reread) and a reboot because the health checks "
               "stopped; 'request' shows health checks, a re-read of an explicit file "
               "(wardctl reread PATH) and a reboot request (wardctl reboot NAME REASON).")
    parser.add_argument("--story", choices=("supervision", "request"), default="supervision",
                        help="what to show (default supervision)")
    parser.add_argument("--seconds", type=float, help="stop cleanly after this many seconds")
    parser.add_argument("--hang", type=float, default=15,
                        help="supervision story: seconds until the health checks stop (default 15)")
    options = parser.parse_args()

    stop_requested = []
    signal.signal(signal.SIGINT, lambda *_: stop_requested.append("Ctrl-C"))
    signal.signal(signal.SIGTERM, lambda *_: stop_requested.append("SIGTERM"))

    with open(os.path.join(SOURCE_DIR, "examples", "wardend.conf")) as f:
        config = f.read()

    with Board() as board:
        start = time.time()
        out = Printer(board, start)
        out.say("demo", "story '%s'; board up; configuration examples/wardend.conf:" % options.story)
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

        started = board.daemon()
        if started.status != 0:
            out.say("demo", "the daemon did not start (status %s): %s" % (started.status, started.stderr.strip()))
            return 1
        pid = board.wait_daemon_pid()
        daemon_start = time.time()
        out.say("demo", "wardend runs as pid %d on the board" % pid)

        sending = options.hang if options.story == "supervision" else 600
        loop = health_loop(board, sending)
        out.say("demo", "health checks for beacon come from this shell loop on the board:")
        for line in loop.splitlines():
            print("            " + line)
        out.follow(board.spawn(["/bin/sh", "-c", loop]), "beacon")

        steps = story_steps(options.story, options.hang)
        reason = None
        running = {name: set(board.pids(name)) for name in ("beacon", "worker")}
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
            if options.seconds is not None and now - start >= options.seconds:
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
            done = board.command_records("reboot") or board.command_records("poweroff")
            if done:
                reason = done[0].name
                break
            if not board.daemon_pids():
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
    print("board gone", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
