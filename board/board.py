# SPDX-License-Identifier: MIT
"""The simulated board: runs the real daemon binary in a bubblewrap sandbox.

The sandbox has private IPC and PID namespaces (so the daemon's queue and
the processes it signals are the board's own), its own /proc and /dev, the
system folders read-only, writable tmpfs at /tmpfs and /tmp, and the host
run folder of the board at /board. Everything that could take the host
down (reboot, poweroff, halt, shutdown, systemctl, init) is replaced by a
fake that only records the call, and the fakes are also first on PATH
together with rescueMark.

What the host sees:
  log_lines()        every syslog line sent to the board's /dev/log
  device_records()   every open, request and close of /dev/watchdog and
                     /dev/pow_led by the daemon (LD_PRELOAD recorder)
  command_records()  every call of a fake command

What a test can do to the board's devices:
  block_log()        stop reading /dev/log and fill its queue, so that the
                     next line a program logs waits (unblock_log() reads on)
  refuse_keepalives(errno)  the watchdog answers WDIOC_KEEPALIVE with that
                     error (None: accepts them again)

A minimal test:

    with Board() as board:
        board.write_config("WdtRefreshPeriod:1\\n")
        assert board.daemon().status == 0
        board.wait_for_log(r"^Cannot open WDT device$")   # or whatever
"""
import base64
import collections
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

SOURCE_DIR = os.path.realpath(os.environ.get("WARDEND_SOURCE_DIR")
                              or os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
BUILD_DIR = os.path.realpath(os.environ.get("WARDEND_BUILD_DIR") or os.path.join(SOURCE_DIR, "build"))
PYTHON = "/usr/bin/python3"

QUEUE_KEY = 99990001            # the daemon's control queue (common/ctrlmsg.h)


def _ior(group, number, size=4):
    """A Linux read request number, as the kernel's _IOR encodes it."""
    return (2 << 30) | (size << 16) | (ord(group) << 8) | number


# The watchdog requests the daemon makes: the Linux keep-alive and the
# board's own request of the same group.
WDIOC_KEEPALIVE = _ior("W", 5)
WDIOC_BOARD_REQUEST = _ior("W", 12)
# The Linux boot-status request and its flag for a reset by the watchdog.
WDIOC_GETBOOTSTATUS = _ior("W", 2)
WDIOF_CARDRESET = 0x0020


def _project_version():
    """The version in the top CMakeLists.txt's project(), the one source of it."""
    try:
        with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
            match = re.search(r"\bproject\(\s*wardend\s+VERSION\s+([0-9.]+)", f.read())
    except OSError:
        return None
    return match.group(1) if match else None


VERSION = _project_version()

DEFAULT_CONFIG = "/tmpfs/config/wardend.conf"
BOARD_DIR = "/board"            # the host run folder, as seen on the board
PROGRAM_DIR = "/tmpfs/bin"      # where start_program() installs its programs
BOARD_PATH = "/board/bin:/tmpfs/bin:/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin"
FAKE_COMMANDS = ("reboot", "poweroff", "halt", "rescueMark", "shutdown")
# Host programs that could reboot or halt the host; each is covered by the fake.
MASKED = ("/usr/sbin/reboot", "/usr/sbin/poweroff", "/usr/sbin/halt", "/usr/sbin/shutdown",
          "/usr/sbin/telinit", "/usr/sbin/init", "/sbin/reboot", "/sbin/poweroff", "/sbin/halt",
          "/sbin/shutdown", "/sbin/telinit", "/sbin/init", "/usr/bin/systemctl", "/bin/systemctl")
# Capabilities the board never needs and that reach beyond the sandbox.
DROPPED_CAPS = ("CAP_SYS_BOOT", "CAP_SYS_MODULE", "CAP_SYS_TIME", "CAP_SYS_RAWIO", "CAP_WAKE_ALARM")
# What a real-time watchdog thread and locked memory need beyond the limits
# (RLIMIT_RTPRIO, RLIMIT_MEMLOCK) of an ordinary process.
REALTIME_CAPS = ("CAP_SYS_NICE", "CAP_IPC_LOCK")

MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()
SEVERITIES = "emerg alert crit err warning notice info debug".split()
LOG_CRIT, LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG = 2, 3, 4, 5, 6, 7
LOG_LOCAL0 = 16

LogLine = collections.namedtuple("LogLine", "time stamp facility severity ident pid text raw")
DeviceRecord = collections.namedtuple("DeviceRecord", "time pid tid device event fd request arg led errno raw")
CommandRecord = collections.namedtuple("CommandRecord", "time name args raw")
Result = collections.namedtuple("Result", "status stdout stderr pid timed_out")

# <PRI>Mmm dd hh:mm:ss ident[pid]: message
SYSLOG_RE = re.compile(r"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^\[:]*?)(?:\[(\d+)\])?: (.*)$", re.S)


def parse_syslog(raw, received):
    """One datagram as glibc's syslog() sends it; None if it is not one."""
    match = SYSLOG_RE.match(raw)
    if not match:
        return None
    pri = int(match.group(1))
    return LogLine(received, match.group(2), pri >> 3, pri & 7, match.group(3),
                   int(match.group(4)) if match.group(4) else None, match.group(5), raw)


def parse_device_record(raw):
    """'<time> <pid> <tid> <device> <event> key=value...' from the recorder."""
    words = raw.split()
    fields = dict(w.split("=", 1) for w in words[5:] if "=" in w)
    led = tuple(int(v) for v in fields["led"].split(",")) if "led" in fields else None
    return DeviceRecord(float(words[0]), int(words[1]), int(words[2]), words[3], words[4],
                        int(fields["fd"]) if "fd" in fields else None,
                        int(fields["req"], 16) if "req" in fields else None,
                        int(fields["arg"], 16) if "arg" in fields else None,
                        led, int(fields["errno"]) if "errno" in fields else None, raw)


def parse_command_record(raw):
    words = raw.split(" ", 2)
    return CommandRecord(float(words[0]), words[1], words[2] if len(words) > 2 else "", raw)


def _read_lines(path):
    try:
        with open(path, errors="replace") as f:
            return [line.rstrip("\n") for line in f if line.endswith("\n")]
    except FileNotFoundError:
        return []


def _system_binds():
    """Read-only system folders, with the host's merged-/usr symlinks kept."""
    args = []
    for name in ("usr", "bin", "sbin", "lib", "lib32", "lib64", "libx32", "etc", "opt"):
        path = "/" + name
        if os.path.islink(path):
            args += ["--symlink", os.readlink(path), path]
        elif os.path.isdir(path):
            args += ["--ro-bind", path, path]
    return args


def _masks(fake):
    args, done = [], set()
    for path in MASKED:
        if not os.path.lexists(path):
            continue
        real = os.path.realpath(path)
        if real in done or not os.path.exists(real):
            continue
        done.add(real)
        args += ["--ro-bind", fake, real]
    return args


def _user_binds(build_dir):
    """The source tree read-only and the build tree writable, at their own paths."""
    args = ["--ro-bind", SOURCE_DIR, SOURCE_DIR]
    if os.path.isdir(build_dir):
        args += ["--bind", build_dir, build_dir]
    return args


def prepare_run_dir(run_dir, watchdog=True, led=True):
    """Fills a host run folder: fake commands, device files, record files."""
    bin_dir = os.path.join(run_dir, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    os.makedirs(os.path.join(run_dir, "out"), exist_ok=True)
    for name in FAKE_COMMANDS:
        shutil.copy(os.path.join(SOURCE_DIR, "board", "fake-command"), os.path.join(bin_dir, name))
    for name in ("commands.log", "devices.log"):
        open(os.path.join(run_dir, name), "a").close()
    devices = {"watchdog": watchdog, "pow_led": led}
    for name, present in devices.items():
        if present:
            open(os.path.join(run_dir, "dev-" + name), "a").close()
    return devices


def sandbox_argv(run_dir, devices, build_dir=BUILD_DIR, log_socket=None, env=None, clearenv=True, cwd="/",
                 cap_add=(), cap_drop=()):
    """The bwrap command line of a board whose host run folder is run_dir.
    cap_add keeps capabilities on the board (bwrap --cap-add, only when run
    as root), cap_drop takes more away."""
    argv = ["bwrap", "--unshare-ipc", "--unshare-pid", "--unshare-net", "--unshare-uts",
            "--hostname", "board", "--die-with-parent", "--new-session"]
    for cap in cap_add:
        argv += ["--cap-add", cap]
    for cap in DROPPED_CAPS + tuple(cap_drop):
        argv += ["--cap-drop", cap]
    argv += _system_binds()
    argv += ["--proc", "/proc", "--dev", "/dev",
             "--tmpfs", "/tmp", "--tmpfs", "/tmpfs", "--tmpfs", "/run",
             "--dir", "/var", "--symlink", "../run", "/var/run", "--dir", "/var/tmp"]
    argv += _user_binds(build_dir)
    argv += ["--bind", run_dir, BOARD_DIR]
    argv += _masks(os.path.join(run_dir, "bin", "reboot"))
    for name, present in devices.items():
        if present:
            argv += ["--bind", os.path.join(run_dir, "dev-" + name), "/dev/" + name]
    if log_socket:
        argv += ["--bind", log_socket, "/dev/log"]
    if clearenv:
        argv += ["--clearenv", "--setenv", "HOME", "/tmp", "--setenv", "LANG", "C.UTF-8"]
    argv += ["--chdir", cwd, "--setenv", "PATH", BOARD_PATH, "--setenv", "WARDEND_BOARD_DIR", BOARD_DIR]
    for key, value in (env or {}).items():
        argv += ["--setenv", key, value]
    return argv


def root_binds(root, visible):
    """Makes an unpacked root file system readable on the board (at its own
    path) unless it lies in a folder the board already sees."""
    if any(root == folder or root.startswith(folder + "/") for folder in visible):
        return []
    return ["--ro-bind", root, root]


def foreground(args):
    """Whether the daemon's command line keeps it in the foreground: an -n
    that is an option word, not the value of -P or -c."""
    words = iter(args)
    for word in words:
        if word in ("-P", "-c"):
            next(words, None)
        elif word == "-n":
            return True
        elif word in ("-v", "-f"):
            return False
    return False


class BoardError(AssertionError):
    pass


class Board:
    """A simulated board; use as a context manager.

    watchdog, led: whether /dev/watchdog and /dev/pow_led exist on the board.
    files: {path on the board: text} written before the test starts.
    env: extra environment of everything started on the board.
    root: an unpacked root file system (installed packages' files) laid over
          the board's system folders: its usr/sbin/wardend is the board's
          /usr/sbin/wardend, its etc/init.d/wardend /etc/init.d/wardend.
    cap_add, cap_drop: capabilities kept on or taken from the board (see
    REALTIME_CAPS); cap_add needs the harness to run as root.
    bootstatus: how the watchdog answers WDIOC_GETBOOTSTATUS, a number of
    WDIOF_* flags or "ENOTTY" (None: like every other request, 0 and the
    argument untouched).
    uptime: seconds the board has been up when it starts, as its processes
    see CLOCK_BOOTTIME and /proc/uptime (a time namespace; root only). None:
    the host's uptime.
    """

    def __init__(self, watchdog=True, led=True, files=None, env=None, build_dir=None, root=None, cap_add=(),
                 cap_drop=(), bootstatus=None, uptime=None):
        self.build_dir = os.path.realpath(build_dir or BUILD_DIR)
        self.root = os.path.realpath(root) if root else None
        self.wants = {"watchdog": watchdog, "pow_led": led}
        self.files = files or {}
        self.env = env or {}
        self.cap_add = tuple(cap_add)
        self.cap_drop = tuple(cap_drop)
        self.bootstatus = bootstatus
        self.uptime = uptime
        self.emulator = shlex.split(os.environ.get("WARDEND_EMULATOR", ""))
        self.devrec = os.environ.get("WARDEND_DEVREC") or os.path.join(self.build_dir, "lib",
                                                                      "libwardend_devrec.so")
        self.run_dir = None
        self.proc = None
        self._lines = []
        self._lines_lock = threading.Lock()
        self._sock = None
        self._reader = None
        self._log_open = threading.Event()
        self._log_open.set()
        self._log_held = threading.Event()
        self._installed = set()

    # ---- life cycle -----------------------------------------------------
    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        self.run_dir = tempfile.mkdtemp(prefix="wardend-board-")
        devices = prepare_run_dir(self.run_dir, **{"watchdog": self.wants["watchdog"],
                                                   "led": self.wants["pow_led"]})
        log_path = os.path.join(self.run_dir, "log")
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.bind(log_path)
        self._sock.settimeout(0.2)
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()
        argv = sandbox_argv(self.run_dir, devices, self.build_dir, log_path, self.env,
                            cap_add=self.cap_add, cap_drop=self.cap_drop)
        agent = [PYTHON, os.path.join(SOURCE_DIR, "board", "agent.py")]
        if self.root:
            argv += root_binds(self.root, [SOURCE_DIR, self.build_dir])
            agent += ["--overlay", self.root]
        argv += agent
        if self.uptime is not None:
            # The sandbox and everything in it share one time namespace
            # whose boot clock is shifted; the wall clock stays the host's.
            offset = int(self.uptime - time.clock_gettime(time.CLOCK_BOOTTIME))
            argv = ["unshare", "--time", "--boottime", str(offset)] + argv
        self._agent_err = open(os.path.join(self.run_dir, "agent.err"), "wb")
        # Its own session: a Ctrl-C at the terminal reaches the harness (the
        # demo stops the daemon cleanly) but not the board.
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self._agent_err, text=True, bufsize=1,
                                     start_new_session=True)
        self._agent_lock = threading.Lock()
        hello = self.proc.stdout.readline()
        if not hello:
            raise BoardError("the board did not start: " + self._agent_errors())
        self.agent_pid = json.loads(hello)["pid"]
        for path, text in self.files.items():
            self.write_file(path, text)
        return self

    def stop(self):
        """Ends the board: everything on it dies with the agent."""
        if self.proc is not None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None
            self._agent_err.close()
        if self._sock is not None:
            sock, self._sock = self._sock, None
            self._reader.join()
            sock.close()
        if self.run_dir and not os.environ.get("WARDEND_KEEP_BOARD"):
            shutil.rmtree(self.run_dir, ignore_errors=True)

    def _agent_errors(self):
        try:
            with open(os.path.join(self.run_dir, "agent.err"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _read_log(self):
        while self._sock is not None:
            if not self._log_open.is_set():
                self._log_held.set()
                self._log_open.wait(0.2)
                continue
            self._log_held.clear()
            try:
                data = self._sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if data == self._FILLER:
                continue
            line = parse_syslog(data.decode(errors="replace"), time.time())
            if line is None:
                line = LogLine(time.time(), "", None, None, "", None, data.decode(errors="replace"),
                               data.decode(errors="replace"))
            with self._lines_lock:
                self._lines.append(line)

    # ---- the log socket and the watchdog's answers ----------------------
    def block_log(self):
        """Stops reading the board's /dev/log and fills its queue with lines of
        the harness (never shown by log_lines()), so that the next line any
        program on the board logs waits in the system log until unblock_log()."""
        self._log_open.clear()
        self.wait_until(self._log_held.is_set, 5, "the log reader to pause")
        filler = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            while True:
                try:
                    filler.sendto(self._FILLER, socket.MSG_DONTWAIT, os.path.join(self.run_dir, "log"))
                except BlockingIOError:
                    return
        finally:
            filler.close()

    def unblock_log(self):
        self._log_open.set()

    def refuse_keepalives(self, errno_value):
        """From the next keep-alive on, the watchdog refuses WDIOC_KEEPALIVE
        with errno_value; None lets the keep-alives through again."""
        path = os.path.join(self.run_dir, "keepalive.errno")
        with open(path + ".new", "w") as f:
            f.write("" if errno_value is None else "%d\n" % errno_value)
        os.replace(path + ".new", path)

    _FILLER = b"<135>Jan  1 00:00:00 board-harness: queue filler"

    def hold_log(self, held=True):
        """Stops (held=False: resumes) reading the board's log socket, as
        behind a system log reader that hangs: see block_log()."""
        if held:
            self.block_log()
        else:
            self.unblock_log()

    def request(self, op, **args):
        """One request to the agent; its answer as a dict."""
        args["op"] = op
        with self._agent_lock:
            if self.proc is None:
                raise BoardError("the board is not running")
            self.proc.stdin.write(json.dumps(args) + "\n")
            self.proc.stdin.flush()
            answer = self.proc.stdout.readline()
        if not answer:
            raise BoardError("the board's agent died: " + self._agent_errors())
        answer = json.loads(answer)
        if "error" in answer and op != "procinfo":
            raise BoardError("agent %s: %s" % (op, answer["error"]))
        return answer

    # ---- acting on the board --------------------------------------------
    def run(self, argv, timeout=30, env=None, cwd=None, input=None):
        """Runs a command to its end; Result(status, stdout, stderr, pid, timed_out).
        status is the exit status, or minus the signal number."""
        if isinstance(argv, str):
            argv = ["/bin/sh", "-c", argv]
        a = self.request("run", argv=list(argv), timeout=timeout, env=self._env(env), cwd=cwd,
                         input=input)
        return Result(a["status"], a["stdout"], a["stderr"], a["pid"], a["timed_out"])

    def sh(self, command, **kw):
        return self.run(["/bin/sh", "-c", command], **kw)

    def spawn(self, argv, env=None, cwd=None):
        """Starts a command in the background; returns its pid on the board.
        Its output goes to files: see output(pid)."""
        a = self.request("spawn", argv=list(argv), env=self._env(env), cwd=cwd)
        self._outputs = getattr(self, "_outputs", {})
        self._outputs[a["pid"]] = (a["stdout"], a["stderr"])
        return a["pid"]

    def output(self, pid):
        """(stdout, stderr) written so far by a process started with spawn()."""
        paths = self._outputs[pid]
        return tuple(self._host_text(p) for p in paths)

    def wait(self, pid, timeout=10):
        """Exit status of a process of the board (also a detached one), or None
        if it has not ended within timeout."""
        return self.request("wait", pid=pid, timeout=timeout)["status"]

    def alive(self, pid):
        return self.request("alive", pid=pid)["alive"]

    def kill(self, pid, sig=signal.SIGTERM):
        return self.request("kill", pid=pid, sig=int(sig))["ok"]

    def pids(self, name=None, cmdline=None):
        """Live processes whose command name is name and/or whose command line
        has the word cmdline."""
        return self.request("pids", name=name, cmdline=cmdline)["pids"]

    def procinfo(self, pid):
        """{'fds': {number: target}, 'cwd': ..., 'ppid': ..., 'pgid': ..., 'sid': ...}
        of a live process."""
        info = self.request("procinfo", pid=pid)
        if "fds" in info:
            info["fds"] = {int(fd): target for fd, target in info["fds"].items()}
        return info

    # ---- the control queue ---------------------------------------------
    def msgsnd(self, msg_type, name=b"", payload=b"", size=128, data=None, key=QUEUE_KEY, nowait=True):
        """Sends a message to the board's queue. By default the 128-byte text of
        the daemon's message (24-byte name, 104-byte payload); data gives the raw
        text instead, and size any length. Returns (rc, errno)."""
        if data is None:
            name = name.encode() if isinstance(name, str) else name
            payload = payload.encode() if isinstance(payload, str) else payload
            data = name[:24].ljust(24, b"\0") + payload
        a = self.request("msgsnd", type=msg_type, data=base64.b64encode(data).decode(), size=size,
                         key=key, nowait=nowait)
        return a["rc"], a["errno"]

    def health_check(self, name):
        rc, err = self.msgsnd(1, name=name)
        if rc != 0:
            raise BoardError("health check for %s not sent: errno %d" % (name, err))

    def queue_exists(self, key=QUEUE_KEY):
        return self.request("msgget", key=key, flags=0)["id"] >= 0

    def create_queue(self, key=QUEUE_KEY):
        """Leaves a queue behind, as a crashed daemon would."""
        return self.request("msgget", key=key, flags=0o1000 | 0o666)["id"]

    def remove_queue(self, key=QUEUE_KEY):
        return self.request("msgrm", key=key)["rc"] == 0

    # ---- files on the board ---------------------------------------------
    def write_file(self, path, text, mode=0o644):
        data = text.encode() if isinstance(text, str) else text
        self.request("write_file", path=path, data=base64.b64encode(data).decode(), mode=mode)

    def read_file(self, path):
        """Content of a file on the board as text, None if it cannot be read."""
        data = self.request("read_file", path=path)["data"]
        return None if data is None else base64.b64decode(data).decode(errors="replace")

    def exists(self, path):
        return self.read_file(path) is not None

    def mkdir(self, path):
        self.request("mkdir", path=path)

    def remove_file(self, path):
        return self.request("remove", path=path)["ok"]

    def write_config(self, text, path=DEFAULT_CONFIG):
        self.write_file(path, text)
        return path

    # ---- supervised programs --------------------------------------------
    def install_program(self, name):
        """Installs the pid-file program as PROGRAM_DIR/name (on PATH), so the
        daemon finds it under that name with ps and pidof. Returns the path."""
        dest = os.path.join(PROGRAM_DIR, name)
        if dest not in self._installed:
            source = os.environ.get("WARDEND_PIDPROG") or os.path.join(self.build_dir, "bin", "pidprog")
            self.request("install", source=source, dest=dest)
            self._installed.add(dest)
        return dest

    def start_program(self, name, pidfile=None, ignore_term=False, health=None, exit_after=None,
                      background=False, timeout=10):
        """Starts a small program called name that writes its pid file (and
        waits for the file). health=(name, seconds) makes it send health checks;
        exit_after ends it after that many seconds. Returns its pid."""
        path = self.install_program(name)
        argv = self.emulator + [path]
        if pidfile:
            self.mkdir(os.path.dirname(pidfile))
            argv += ["-p", pidfile]
        if ignore_term:
            argv += ["-t"]
        if health:
            argv += ["-H", health[0], "-i", str(health[1])]
        if exit_after is not None:
            argv += ["-x", str(exit_after)]
        if background:
            result = self.run(argv + ["-d"], timeout=timeout)
            if result.status != 0:
                raise BoardError("%s did not start: %s" % (name, result.stderr))
            return int(self.read_file(pidfile))
        pid = self.spawn(argv)
        if pidfile:
            def written():
                if (self.read_file(pidfile) or "").strip() == str(pid):
                    return True
                if not self.alive(pid):
                    raise BoardError("%s ended: %s" % (name, self.output(pid)[1]))
                return False
            self.wait_until(written, timeout, "pid file %s of %s" % (pidfile, name))
        return pid

    # ---- the daemon -------------------------------------------------------
    def daemon_binary(self):
        return os.path.join(self.build_dir, "bin", "wardend")

    def daemon_argv(self, args=(), config=DEFAULT_CONFIG):
        """The command line that starts the daemon with the device recorder."""
        binary = self.daemon_binary()
        words = ([] if config is None else ["-c", config]) + list(args)
        if self.emulator:
            return self.emulator + ["-E", "LD_PRELOAD=" + self.devrec, binary] + words
        return [binary] + words

    def daemon_env(self):
        env = {"WARDEND_DEVREC_LOG": BOARD_DIR + "/devices.log",
               "WARDEND_DEVREC_KEEPALIVE": BOARD_DIR + "/keepalive.errno"}
        if self.bootstatus is not None:
            env["WARDEND_DEVREC_BOOTSTATUS"] = str(self.bootstatus)
        if not self.emulator:
            env["LD_PRELOAD"] = self.devrec
        # Sanitizer reports of a detached daemon would go to its closed stderr:
        # they go to files in the run folder instead (sanitizer_reports()).
        # An ASan build would also refuse a library preloaded ahead of its runtime.
        for name, extra in (("ASAN_OPTIONS", "verify_asan_link_order=0:"), ("TSAN_OPTIONS", ""),
                            ("UBSAN_OPTIONS", "")):
            env[name] = "log_path=%s/sanitizer:%s%s" % (BOARD_DIR, extra, os.environ.get(name, ""))
        return env

    def sanitizer(self):
        """The build's WARDEND_SANITIZE ("", "address" or "thread")."""
        try:
            with open(os.path.join(self.build_dir, "CMakeCache.txt")) as f:
                match = re.search(r"^WARDEND_SANITIZE:\w+=(.*)$", f.read(), re.M)
        except OSError:
            return ""
        return match.group(1).strip() if match else ""

    def sanitizer_reports(self):
        """Text of every sanitizer report written by a daemon on this board."""
        if not self.run_dir:
            return ""
        texts = []
        for name in sorted(os.listdir(self.run_dir)):
            if name.startswith("sanitizer."):
                with open(os.path.join(self.run_dir, name), errors="replace") as f:
                    texts.append("%s:\n%s" % (name, f.read()))
        return "\n".join(texts)

    def daemon(self, args=(), config=DEFAULT_CONFIG, wait=None, timeout=30, cwd=None):
        """Starts build/bin/wardend with -c config (config=None leaves -c out)
        and args. With wait (default: unless -n is among args) it runs to the
        end of the started process and returns its Result; otherwise the daemon
        stays in the foreground and its pid is returned."""
        args = list(args)
        if wait is None:
            wait = not foreground(args)
        argv = self.daemon_argv(args, config)
        if wait:
            return self.run(argv, timeout=timeout, env=self.daemon_env(), cwd=cwd)
        return self.spawn(argv, env=self.daemon_env(), cwd=cwd)

    def daemon_pids(self):
        """Live daemon processes (under an emulator the command name is the
        emulator's, so the binary is looked for on the command line)."""
        if self.emulator:
            return self.pids(cmdline=self.daemon_binary())
        return self.pids("wardend")

    def wait_daemon_pid(self, started, timeout=10):
        """Pid of the detached daemon that the start whose Result is started
        left running: the only daemon process, its parent the agent, in a
        session it neither leads nor was started in. The process between the
        two forks fails the last test before its setsid and after it, however
        long its second fork takes."""
        found = []

        def detached():
            pids = self.daemon_pids()
            if len(pids) != 1:
                return False
            info = self.procinfo(pids[0])
            found[:] = pids
            return info.get("ppid") == self.agent_pid and info.get("sid") not in (pids[0], started.pid)
        self.wait_until(detached, timeout, "a detached daemon")
        return found[0]

    def stop_daemon(self, pid, timeout=30):
        """SIGTERM and the exit status (None if it did not end in time)."""
        self.kill(pid, signal.SIGTERM)
        return self.wait(pid, timeout)

    # ---- what the board saw --------------------------------------------
    def log_lines(self):
        with self._lines_lock:
            return list(self._lines)

    def log_texts(self):
        return [line.text for line in self.log_lines()]

    def wait_for_log(self, regex, timeout=10, severity=None, start=0):
        """First log line (from index start) whose text matches regex (re.search),
        optionally with the given severity; raises BoardError on timeout."""
        pattern = re.compile(regex)
        found = []

        def seen():
            for line in self.log_lines()[start:]:
                if pattern.search(line.text) and (severity is None or line.severity == severity):
                    found.append(line)
                    return True
            return False
        self.wait_until(seen, timeout, "log line /%s/" % regex)
        return found[0]

    def device_records(self, device=None):
        records = [parse_device_record(r) for r in _read_lines(os.path.join(self.run_dir, "devices.log"))]
        return [r for r in records if device is None or r.device == device]

    def led_settings(self):
        return [r.led for r in self.device_records("pow_led") if r.led is not None]

    def command_records(self, name=None):
        records = [parse_command_record(r) for r in _read_lines(os.path.join(self.run_dir, "commands.log"))]
        return [r for r in records if name is None or r.name == name]

    def wait_for_command(self, name, timeout=10):
        self.wait_until(lambda: self.command_records(name), timeout, "command %s" % name)
        return self.command_records(name)[0]

    def wait_pid_file(self, path, timeout=10):
        """The pid in a pid file, once its line is whole: a daemon creates the
        file a moment before it writes the pid."""
        self.wait_until(lambda: (self.read_file(path) or "").endswith("\n"), timeout, "the pid file " + path)
        return int(self.read_file(path))

    def wait_until(self, predicate, timeout, what="condition"):
        deadline = time.monotonic() + timeout
        while True:
            if predicate():
                return
            if time.monotonic() >= deadline:
                raise BoardError("timed out after %ss waiting for %s" % (timeout, what))
            time.sleep(0.05)

    def report(self):
        """Everything the board saw, for a failing test's output."""
        out = ["--- log lines (severity ident[pid]: text) ---"]
        for line in self.log_lines():
            sev = SEVERITIES[line.severity] if line.severity is not None else "?"
            out.append("%.3f %-7s %s[%s]: %s" % (line.time, sev, line.ident, line.pid, line.text.rstrip("\n")))
        out.append("--- device records ---")
        out += [r.raw for r in self.device_records()] if self.run_dir else []
        out.append("--- command records ---")
        out += [r.raw for r in self.command_records()] if self.run_dir else []
        reports = self.sanitizer_reports()
        if reports:
            out += ["--- sanitizer reports ---", reports]
        errors = self._agent_errors() if self.run_dir else ""
        if errors:
            out += ["--- board agent stderr ---", errors]
        return "\n".join(out)

    # ---- helpers --------------------------------------------------------
    def _env(self, env):
        merged = dict(env or {})
        if self.emulator and "LD_PRELOAD" in merged:
            merged.pop("LD_PRELOAD")
        return merged

    def _host_text(self, board_path):
        """A file under /board, read from the host side."""
        if not board_path.startswith(BOARD_DIR + "/"):
            return self.read_file(board_path)
        try:
            with open(os.path.join(self.run_dir, board_path[len(BOARD_DIR) + 1:]), errors="replace") as f:
                return f.read()
        except OSError:
            return None
