#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The board's agent: runs inside the sandbox and acts for the host.

Reads one JSON request per line on stdin and answers each with one JSON line
on stdout. It is the child subreaper of the board, so every process started
on the board, including a daemon that detached itself, is reaped here and
its exit status can be asked for.

    agent.py [--overlay TREE]            serve requests
    agent.py --overlay TREE --exec CMD   lay TREE over the board, then run CMD

--overlay lays an unpacked root file system (the files of installed
packages) over the board's read-only system folders, so the board looks like
a system with those packages installed.
"""
import base64
import ctypes
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time

PR_SET_CHILD_SUBREAPER = 36
IPC_CREAT = 0o1000
IPC_EXCL = 0o2000
IPC_NOWAIT = 0o4000
IPC_RMID = 0

libc = ctypes.CDLL(None, use_errno=True)
libc.msgget.argtypes = [ctypes.c_int, ctypes.c_int]
libc.msgsnd.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
libc.msgctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p]
MS_RDONLY = 1
# The board's system folders (read-only binds of the host's), the only ones
# a tree is laid over; the board's writable folders stay as they are.
SYSTEM_FOLDERS = ("usr", "bin", "sbin", "lib", "lib32", "lib64", "libx32", "etc", "opt")

OUT_DIR = "/board/out"


class Reaper:
    """Collects the exit status of every child and orphan of the board."""

    def __init__(self):
        self.status = {}
        self.cond = threading.Condition()
        threading.Thread(target=self._loop, daemon=True).start()

    def _loop(self):
        while True:
            try:
                pid, wstatus = os.wait()
            except ChildProcessError:
                time.sleep(0.01)
                continue
            with self.cond:
                self.status[pid] = os.waitstatus_to_exitcode(wstatus)
                self.cond.notify_all()

    def wait(self, pid, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while pid not in self.status:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)
            return self.status[pid]

    def get(self, pid):
        with self.cond:
            return self.status.get(pid)


reaper = Reaper()
# Every Popen object is kept: a forgotten one would reap its own child in
# Popen's clean-up and the status would never reach the reaper.
started = []
counter = 0


def environment(extra):
    env = dict(os.environ)
    for key, value in (extra or {}).items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def start(req, stdout, stderr, stdin=subprocess.DEVNULL):
    proc = subprocess.Popen(req["argv"], env=environment(req.get("env")), cwd=req.get("cwd") or "/",
                            stdin=stdin, stdout=stdout, stderr=stderr, close_fds=True,
                            start_new_session=True)
    started.append(proc)
    return proc.pid


def op_run(req):
    global counter
    counter += 1
    base = "/tmp/.agent-run-%d" % counter
    stdin = subprocess.DEVNULL
    if req.get("input") is not None:
        with open(base + ".in", "wb") as f:
            f.write(req["input"].encode())
        stdin = open(base + ".in", "rb")
    with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
        try:
            pid = start(req, out, err, stdin)
        except OSError as e:
            return {"status": 127, "stdout": "", "stderr": str(e), "pid": None, "timed_out": False}
        finally:
            if stdin is not subprocess.DEVNULL:
                stdin.close()
    status = reaper.wait(pid, req.get("timeout", 30))
    timed_out = status is None
    if timed_out:
        os.kill(pid, signal.SIGKILL)
        reaper.wait(pid, 5)
    result = {"status": status, "pid": pid, "timed_out": timed_out}
    for name in ("out", "err"):
        with open(base + "." + name, "rb") as f:
            result["std" + name] = f.read().decode(errors="replace")
        os.unlink(base + "." + name)
    return result


def op_spawn(req):
    global counter
    counter += 1
    os.makedirs(OUT_DIR, exist_ok=True)
    base = "%s/spawn-%d" % (OUT_DIR, counter)
    with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
        pid = start(req, out, err)
    return {"pid": pid, "stdout": base + ".out", "stderr": base + ".err"}


def op_wait(req):
    return {"status": reaper.wait(req["pid"], req.get("timeout", 10))}


def op_alive(req):
    pid = req["pid"]
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return {"alive": False}
    return {"alive": state not in ("Z", "X")}


def op_kill(req):
    try:
        os.kill(req["pid"], req.get("sig", signal.SIGTERM))
        return {"ok": True}
    except OSError as e:
        return {"ok": False, "errno": e.errno}


def op_msgsnd(req):
    key = req["key"]
    qid = libc.msgget(key, 0)
    if qid < 0:
        return {"rc": -1, "errno": ctypes.get_errno(), "stage": "msgget"}
    text = base64.b64decode(req.get("data", ""))
    size = req.get("size", 128)
    body = text[:size].ljust(size, b"\0")
    buf = ctypes.create_string_buffer(struct.pack("l", req["type"]) + body)
    flags = IPC_NOWAIT if req.get("nowait", True) else 0
    rc = libc.msgsnd(qid, buf, size, flags)
    return {"rc": rc, "errno": ctypes.get_errno() if rc < 0 else 0}


def op_msgget(req):
    flags = req.get("flags", 0)
    qid = libc.msgget(req["key"], flags)
    return {"id": qid, "errno": ctypes.get_errno() if qid < 0 else 0}


def op_msgrm(req):
    qid = libc.msgget(req["key"], 0)
    if qid < 0:
        return {"rc": -1, "errno": ctypes.get_errno()}
    rc = libc.msgctl(qid, IPC_RMID, None)
    return {"rc": rc, "errno": ctypes.get_errno() if rc < 0 else 0}


def op_pids(req):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        state = stat.rsplit(")", 1)[1].split()[0]
        if state in ("Z", "X"):
            continue
        if req.get("name") is not None and comm != req["name"]:
            continue
        if req.get("cmdline") is not None:
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    words = f.read().decode(errors="replace").split("\0")
            except OSError:
                continue
            if req["cmdline"] not in words:
                continue
        found.append(int(entry))
    return {"pids": sorted(found)}


def op_procinfo(req):
    base = "/proc/%d" % req["pid"]
    try:
        with open(base + "/stat") as f:
            stat = f.read().rsplit(")", 1)[1].split()
        fds = {}
        for fd in os.listdir(base + "/fd"):
            try:
                fds[fd] = os.readlink("%s/fd/%s" % (base, fd))
            except OSError:
                pass
        return {"fds": fds,
                "cwd": os.readlink(base + "/cwd"),
                "ppid": int(stat[1]), "pgid": int(stat[2]), "sid": int(stat[3])}
    except OSError as e:
        return {"error": str(e)}


def op_write_file(req):
    path = req["path"]
    os.makedirs(os.path.dirname(path) or "/", exist_ok=True)
    with open(path, "wb") as f:
        f.write(base64.b64decode(req["data"]))
    os.chmod(path, req.get("mode", 0o644))
    return {"ok": True}


def op_read_file(req):
    try:
        with open(req["path"], "rb") as f:
            return {"data": base64.b64encode(f.read()).decode()}
    except OSError as e:
        return {"data": None, "errno": e.errno}


def op_remove(req):
    try:
        os.unlink(req["path"])
        return {"ok": True}
    except OSError as e:
        return {"ok": False, "errno": e.errno}


def op_mkdir(req):
    os.makedirs(req["path"], exist_ok=True)
    return {"ok": True}


def op_install(req):
    dest = req["dest"]
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    shutil.copyfile(req["source"], dest)
    os.chmod(dest, 0o755)
    return {"ok": True}


def mount_overlays(tree):
    """Mounts a read-only overlay of tree/<folder> on each system folder that
    the tree has: /usr before /usr/lib, where /lib leads there."""
    mounts = []
    for name in SYSTEM_FOLDERS:
        lower = os.path.join(tree, name)
        if os.path.isdir(lower) and not os.path.islink(lower):
            mounts.append((os.path.realpath("/" + name), lower))
    for target, lower in sorted(mounts, key=lambda m: m[0].count("/")):
        options = "lowerdir=%s:%s" % (lower, target)
        if libc.mount(b"overlay", target.encode(), b"overlay", MS_RDONLY, options.encode()) != 0:
            err = ctypes.get_errno()
            raise OSError(err, "overlay of %s on %s: %s" % (lower, target, os.strerror(err)))


OPS = {name[3:]: fn for name, fn in globals().items() if name.startswith("op_")}


def main(args):
    if args[:1] == ["--overlay"]:
        mount_overlays(args[1])
        args = args[2:]
    if args[:1] == ["--exec"]:
        command = args[2:] if args[1:2] == ["--"] else args[1:]
        os.execvp(command[0], command)
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    # The board's processes should not inherit the agent's ignored SIGPIPE.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    out = sys.stdout
    out.write(json.dumps({"ready": True, "pid": os.getpid()}) + "\n")
    out.flush()
    for line in sys.stdin:
        req = json.loads(line)
        try:
            answer = OPS[req["op"]](req)
        except Exception as e:  # report, never die: the board would vanish
            answer = {"error": "%s: %s" % (type(e).__name__, e)}
        out.write(json.dumps(answer) + "\n")
        out.flush()


if __name__ == "__main__":
    main(sys.argv[1:])
