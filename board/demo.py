"""Runs the daemon on the simulated board with examples/wardend.conf and shows
what happens: the daemon's system-log lines, the watchdog and power-LED
requests, and the commands it runs.

The story: two applications run, beacon (MANAGE, sends a health check every
2 seconds) and worker (RESPAWN, ends after a few seconds and is started
again by the daemon). After HANG seconds beacon stops sending health
checks; the daemon notices, stops the managed processes and reboots the
board. Ctrl-C or --seconds ends the demo earlier with a clean stop
(SIGTERM to the daemon, then the board goes away).
"""
import argparse
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from board import SEVERITIES, SOURCE_DIR, Board  # noqa: E402

HEALTH_EVERY = 2
WORKER_LIFETIME = 6
WATCHDOG_REQUESTS = {0x80045705: "keep-alive", 0x40045705: "keep-alive",
                     0x8004570C: "board request 12", 0x4004570C: "board request 12"}


class Printer:
    """Prints what the board saw since the last call, oldest first."""

    def __init__(self, board, start):
        self.board, self.start = board, start
        self.logs = self.devices = self.commands = 0

    def say(self, who, text, when=None):
        when = time.time() if when is None else when
        print("%6.1fs  %-8s %s" % (when - self.start, who, text), flush=True)

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, help="stop cleanly after this many seconds")
    parser.add_argument("--hang", type=float, default=15,
                        help="seconds until beacon stops sending health checks (default 15)")
    options = parser.parse_args()

    stop_requested = []
    signal.signal(signal.SIGINT, lambda *_: stop_requested.append("Ctrl-C"))
    signal.signal(signal.SIGTERM, lambda *_: stop_requested.append("SIGTERM"))

    with open(os.path.join(SOURCE_DIR, "examples", "wardend.conf")) as f:
        config = f.read()

    with Board() as board:
        start = time.time()
        out = Printer(board, start)
        out.say("demo", "board up; configuration examples/wardend.conf:")
        for line in config.splitlines():
            if line and not line.startswith("#"):
                print("          " + line)
        board.write_config(config)
        board.start_program("beacon", "/tmpfs/run/beacon.pid")
        board.start_program("worker", "/tmpfs/run/worker.pid", background=True, exit_after=WORKER_LIFETIME)
        out.say("demo", "started beacon and worker (worker ends after %ds)" % WORKER_LIFETIME)

        started = board.daemon()
        if started.status != 0:
            out.say("demo", "the daemon did not start (status %s): %s" % (started.status, started.stderr.strip()))
            return 1
        pid = board.wait_daemon_pid()
        out.say("demo", "wardend runs as pid %d on the board" % pid)

        wardctl = os.path.join(board.build_dir, "bin", "wardctl")
        use_wardctl = os.path.exists(wardctl)
        next_health = time.time()
        hung = False
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
            if not hung and now - start >= options.hang:
                hung = True
                out.say("demo", "beacon hangs: no more health checks")
            if not hung and now >= next_health:
                if use_wardctl:
                    board.run([wardctl, "health", "beacon"])
                else:
                    board.health_check("beacon")
                out.say("beacon", "health check sent")
                next_health = now + HEALTH_EVERY
            if board.command_records("reboot") or board.command_records("poweroff"):
                reason = (board.command_records("reboot") or board.command_records("poweroff"))[0].name
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
