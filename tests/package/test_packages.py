# SPDX-License-Identifier: MIT
"""The host's Debian packages as an integrator uses them: what they hold,
lintian, the installed daemon started and stopped through its init script on
the simulated board, the systemd unit, and applications built from the
installed client files keeping their processes alive."""
import glob
import gzip
import os
import re
import shlex
import signal

import pytest

from conftest import (ARCH, MULTIARCH, PACKAGES, SOURCE_DIR, VERSION, WORK, build_apps, lintian_clean,
                      needed_libraries, run)
from board import LOG_WARNING

INIT = "/etc/init.d/wardend"
PIDFILE = "/var/run/wardend.pid"
UNIT = "lib/systemd/system/wardend.service"
METRICS = "/usr/libexec/wardend/wardend-metrics"
METRICS_UNITS = ["lib/systemd/system/wardend-metrics.service", "lib/systemd/system/wardend-metrics.timer"]
LIB = "usr/lib/" + MULTIARCH


def contents(deb):
    return {line.split()[5].lstrip(".") for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines()}


def manual_pages():
    """The manual pages of the source tree, as the package holds them."""
    pages = []
    for page in glob.glob(os.path.join(SOURCE_DIR, "man", "*.[1-8]")):
        name = os.path.basename(page)
        pages.append("/usr/share/man/man%s/%s.gz" % (name[-1], name))
    return pages


def test_packages_hold_what_an_integrator_needs(debs, root, tmp_path):
    expected = {
        "wardend": ["/usr/sbin/wardend", "/usr/bin/wardctl", INIT, "/etc/default/wardend", "/" + UNIT,
                    "/usr/libexec/wardend/clean-stale-queue", "/usr/share/doc/wardend/examples/wardend.conf",
                    METRICS, "/usr/share/wardend/prometheus/wardend.rules.yml",
                    "/usr/share/wardend/grafana/wardend.json"] + ["/" + unit for unit in METRICS_UNITS]
        + manual_pages(),
        "libwardclient1": ["/%s/libwardclient.so.1" % LIB, "/%s/libwardclient.so.%s" % (LIB, VERSION)],
        "libwardclient-dev": ["/usr/include/wardend/wardclient.h", "/usr/include/wardend/common/ctrlmsg.h",
                              "/%s/libwardclient.a" % LIB, "/%s/libwardclient.so" % LIB,
                              "/%s/pkgconfig/wardclient.pc" % LIB,
                              "/%s/cmake/wardclient/wardclientConfig.cmake" % LIB],
        "python3-wardclient": ["/usr/lib/python3/dist-packages/wardclient.py"]}
    for package, paths in expected.items():
        held = contents(debs[package])
        docs = ["/usr/share/doc/%s/%s" % (package, name) for name in ("copyright", "changelog.gz")]
        assert not set(paths + docs) - held, package
        fields = run(["dpkg-deb", "-f", debs[package], "Version", "Architecture"]).stdout.split()
        assert fields == ["Version:", VERSION, "Architecture:", "all" if package.startswith("python3") else ARCH]

    # No maintainer scripts in the daemon's package: installing it neither
    # enables nor starts anything. The configuration files are conffiles.
    control = tmp_path / "control"
    run(["dpkg-deb", "-e", debs["wardend"], str(control)])
    assert sorted(os.listdir(control)) == ["conffiles", "control", "md5sums"]
    assert (control / "conffiles").read_text().split() == [INIT, "/etc/default/wardend"]

    # The symbols file lists exactly what the library exports.
    run(["dpkg-deb", "-e", debs["libwardclient1"], str(tmp_path / "lib")])
    listed = {line.split("@")[0].strip() for line in (tmp_path / "lib" / "symbols").read_text().splitlines()
              if line.startswith(" ")}
    dynamic = run(["readelf", "-W", "--dyn-syms", os.path.join(root, LIB, "libwardclient.so.1")]).stdout
    exported = {words[7] for words in map(str.split, dynamic.splitlines())
                if len(words) == 8 and words[6] != "UND" and words[4] == "GLOBAL" and words[3] == "FUNC"}
    assert listed == exported

    with gzip.open(os.path.join(root, "usr/share/doc/wardend/changelog.gz"), "rt") as f:
        assert f.readline().startswith("wardend (%s) " % VERSION)


def deb822(text):
    """The paragraphs of a Debian control-style file, as {field: value}; a
    continuation line keeps its text without the leading space ("." is an
    empty line)."""
    paragraphs = []
    for block in text.strip("\n").split("\n\n"):
        fields = {}
        for line in block.splitlines():
            if line.startswith((" ", "\t")):
                fields[name] += "\n" + ("" if line.strip() == "." else line[1:])
            else:
                name, value = line.split(":", 1)
                fields[name] = value.strip()
        paragraphs.append(fields)
    return paragraphs


def test_every_package_states_the_mit_licence_of_license(make_board, root):
    with open(os.path.join(SOURCE_DIR, "LICENSE")) as f:
        licence = f.read()
    holder = re.search(r"^Copyright \(c\) (.+)$", licence, re.M).group(1)
    text = licence[licence.index("Permission is hereby granted"):].strip()
    for package in PACKAGES:
        with open(os.path.join(root, "usr/share/doc", package, "copyright")) as f:
            header, *paragraphs = deb822(f.read())
        assert header["Format"] == "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/", package
        files = [p for p in paragraphs if "Files" in p]
        assert [(p["Files"], p["Copyright"], p["License"]) for p in files] == [("*", holder, "MIT")], package
        assert [p["License"] for p in paragraphs if "Files" not in p] == ["MIT\n" + text], package

    with open(os.path.join(root, LIB, "pkgconfig", "wardclient.pc")) as f:
        assert "License: MIT" in f.read().splitlines()
    # Python's packaging tools find the installed module's metadata by themselves.
    board = make_board(root=root)
    found = board.run(["python3", "-c", "import importlib.metadata as m; d = m.metadata('wardclient'); "
                       "print(d['Version'], d['License'])"])
    assert found.stdout == "%s MIT\n" % VERSION, found


def test_lintian_is_clean(debs):
    lintian_clean(debs.values())


def init(board, action, env=None, shell=()):
    """Runs the installed init script on the board (with shell, through that
    shell) with the daemon's device recorder in its environment, passed on
    to the daemon."""
    environment = dict(board.daemon_env(), WARDEND_DEVREC_PROGRAM="wardend")
    if env:
        environment.update(env)
    return board.run(list(shell) + [INIT, action], env=environment, timeout=90)


def daemon_pid(board):
    return int(board.read_file(PIDFILE))


def executable(board, pid):
    return board.run(["readlink", "/proc/%d/exe" % pid]).stdout.strip()


# With Debian's start-stop-daemon (the board's PATH has it), without one
# (plain shell), and with BusyBox's shell and tools only, as on a board
# whose init is BusyBox.
@pytest.mark.parametrize("kind", ["start-stop-daemon", "shell", "busybox"])
def test_init_script_starts_reloads_and_stops_the_installed_daemon(make_board, root, kind):
    board = make_board(root=root)
    env, shell = {}, ()
    if kind == "shell":
        env = {"PATH": "/usr/bin:/bin"}
    elif kind == "busybox":
        board.mkdir("/tmp/busybox")
        assert board.run(["/bin/busybox", "--install", "-s", "/tmp/busybox"]).status == 0
        env, shell = {"PATH": "/tmp/busybox"}, ("/tmp/busybox/sh",)
    found = board.run((list(shell) or ["sh"]) + ["-c", "command -v start-stop-daemon"], env=env).stdout.strip()
    assert found == {"start-stop-daemon": "/usr/sbin/start-stop-daemon", "shell": "",
                     "busybox": "/tmp/busybox/start-stop-daemon"}[kind]
    board.write_config("WdtRefreshPeriod:1\n")

    started = init(board, "start", env, shell)
    assert started.status == 0 and started.stdout == "wardend started (pid %d)\n" % daemon_pid(board), started
    pid = daemon_pid(board)
    assert executable(board, pid) == "/usr/sbin/wardend"
    status = init(board, "status", env, shell)
    assert (status.status, status.stdout) == (0, "wardend is running (pid %d)\n" % pid)
    again = init(board, "start", env, shell)
    assert (again.status, again.stdout) == (0, "wardend is already running (pid %d)\n" % pid)

    assert init(board, "reload", env, shell).status == 0
    board.wait_for_log(r"^Got SIGHUP, re-reading configuration$")
    board.wait_for_log(r"^Re-read config request received$")

    stopped = init(board, "stop", env, shell)
    assert (stopped.status, stopped.stdout) == (0, "wardend stopped\n")
    # An orderly end: status 0, queue and pid file removed, watchdog closed.
    assert board.wait(pid, timeout=5) == 0
    assert not board.queue_exists() and not board.exists(PIDFILE)
    assert board.device_records("watchdog")[-1].event == "close"
    status = init(board, "status", env, shell)
    assert (status.status, status.stdout) == (3, "wardend is not running\n")
    assert init(board, "stop", env, shell).status == 0
    assert init(board, "reload", env, shell).status == 7


# A refused line would leave its process unsupervised while the script says
# the daemon started: a file with errors is not started unless forced, with
# the plain shell and with BusyBox's, for the file -c names. The board sees
# /etc read-only: the default file is written into the shared root and put
# back afterwards.
@pytest.mark.parametrize("kind", ["shell", "busybox"])
def test_init_script_refuses_a_configuration_with_errors_unless_forced(make_board, root, kind):
    board = make_board(root=root)
    env, shell = {"PATH": "/usr/bin:/bin"}, ()
    if kind == "busybox":
        board.mkdir("/tmp/busybox")
        assert board.run(["/bin/busybox", "--install", "-s", "/tmp/busybox"]).status == 0
        env, shell = {"PATH": "/tmp/busybox"}, ("/tmp/busybox/sh",)
    conf = "/tmpfs/config/board.conf"
    board.write_file(conf, "WdtRefreshPeriod:1\nProcess:MONITOR:5:/tmpfs/run/missing.pid:/bin/sh\n")
    default = os.path.join(root, "etc/default/wardend")
    with open(default) as f:
        shipped = f.read()

    def settings(text):
        with open(default, "w") as f:
            f.write(shipped + 'WARDEND_OPTS="-c %s"\n' % conf + text)
    try:
        for force in ("", "WARDEND_FORCE=0\n"):
            settings(force)
            refused = init(board, "start", env, shell)
            assert refused.status == 1 and refused.stdout == "", refused
            assert "%s:2: error: " % conf in refused.stderr, refused.stderr
            assert "wardend not started: %s has errors" % conf in refused.stderr, refused.stderr
            assert not board.exists(PIDFILE) and not board.queue_exists()

        settings("WARDEND_FORCE=1\n")
        forced = init(board, "start", env, shell)
        assert forced.status == 0 and forced.stdout == "wardend started (pid %d)\n" % daemon_pid(board), forced
        assert "starting anyway (WARDEND_FORCE=1)" in forced.stderr, forced.stderr
        board.wait_for_log(r"^Config read: PID file is not exist line 2 \[/tmpfs/run/missing.pid\]$")
        assert init(board, "stop", env, shell).status == 0

        # The file fixed, the check is silent and nothing needs forcing.
        board.write_file(conf, "WdtRefreshPeriod:1\n")
        settings("")
        started = init(board, "start", env, shell)
        assert (started.status, started.stderr) == (0, ""), started
        assert init(board, "stop", env, shell).status == 0
    finally:
        with open(default, "w") as f:
            f.write(shipped)


def test_a_killed_daemons_queue_is_removed_before_a_start_but_never_a_running_ones(make_board, root):
    board = make_board(root=root)
    board.write_config("WdtRefreshPeriod:1\n")
    with open(os.path.join(root, UNIT)) as f:
        pre_start = shlex.split(re.search(r"^ExecStartPre=(.*)$", f.read(), re.M).group(1))

    # A daemon started by hand, with a pid file of its own, owns the queue:
    # neither the init script nor the unit's clean-up may take it.
    assert board.run(["/usr/sbin/wardend", "-P", "/tmpfs/hand.pid"], env=board.daemon_env()).status == 0
    hand = board.wait_pid_file("/tmpfs/hand.pid")
    refused = init(board, "start")
    assert refused.status == 1 and refused.stderr == "MSG QUE already exist\n", refused
    assert board.run(pre_start).status == 0
    assert board.alive(hand) and board.queue_exists()

    # Killed, it leaves the queue behind; the clean-up removes it.
    board.kill(hand, signal.SIGKILL)
    assert board.wait(hand) == -signal.SIGKILL and board.queue_exists()
    cleaned = board.run(pre_start)
    assert cleaned.status == 0 and "left behind" in cleaned.stdout and not board.queue_exists()

    # The init script does the same before its start; status tells of a
    # daemon that was killed.
    board.create_queue()
    started = init(board, "start")
    assert started.status == 0 and "left behind" in started.stdout, started
    board.kill(daemon_pid(board), signal.SIGKILL)
    board.wait(daemon_pid(board))
    assert init(board, "status").status == 1
    assert init(board, "start").status == 0
    assert init(board, "stop").status == 0


def test_systemd_unit_verifies(make_board, root):
    # On the board the unit's commands are where they will be installed.
    board = make_board(root=root)
    man = "yes" if manual_pages() else "no"
    for unit in [UNIT] + METRICS_UNITS:
        result = board.run(["systemd-analyze", "verify", "--man=" + man, "/" + unit])
        assert (result.status, result.stdout + result.stderr) == (0, ""), unit
    # Installing enables nothing: no unit is wanted by any target.
    assert not glob.glob(os.path.join(root, "etc", "systemd", "system", "*.wants", "wardend*"))


# The metrics writer with the plain shell and with BusyBox's: the file
# appears whole under its name (a new file each time, renamed over the old
# one) and readable by the exporter's user, with no temporary left behind;
# wardend_up 0 when no daemon answers.
@pytest.mark.parametrize("kind", ["shell", "busybox"])
def test_metrics_writer_replaces_the_textfile_whole(make_board, root, kind):
    board = make_board(root=root)
    env, shell = {"PATH": "/usr/bin:/bin"}, ("/bin/sh",)
    if kind == "busybox":
        board.mkdir("/tmp/busybox")
        assert board.run(["/bin/busybox", "--install", "-s", "/tmp/busybox"]).status == 0
        env, shell = {"PATH": "/tmp/busybox"}, ("/tmp/busybox/sh",)
    folder = "/tmp/metrics"
    board.mkdir(folder)
    env["WARDEND_METRICS_DIR"] = folder
    path = folder + "/wardend.prom"

    def write():
        result = board.run(list(shell) + [METRICS], env=env)
        assert result.status == 0, result
        assert board.run(["ls", "-A", folder]).stdout.split() == ["wardend.prom"]
        mode_inode = board.run(["stat", "-c", "%a %i", path]).stdout.split()
        return board.read_file(path), mode_inode
    down, (mode, first) = write()
    assert mode == "644" and "\nwardend_up 0\n" in down, down

    board.write_config("WdtRefreshPeriod:1\n")
    assert init(board, "start").status == 0
    up, (mode, second) = write()
    assert mode == "644" and second != first, "rewritten in place"
    assert "\nwardend_up 1\n" in up and "\nwardend_board_uptime_seconds " in up, up
    assert init(board, "stop").status == 0

    missing = board.run(list(shell) + [METRICS], env=dict(env, WARDEND_METRICS_DIR="/tmp/none"))
    assert missing.status == 1 and "no folder /tmp/none" in missing.stderr, missing


def test_applications_built_from_the_installed_files_keep_their_processes_alive(make_board, root):
    apps = build_apps(root, os.path.join(WORK, "apps-" + ARCH))
    assert "libwardclient.so.1" in needed_libraries(apps["app_pc"])
    assert "libwardclient.so.1" in needed_libraries(apps["app_cmake"])
    assert "libwardclient.so.1" not in needed_libraries(apps["app_static"])

    board = make_board(root=root)
    # Python finds the installed client module by itself.
    found = board.run(["python3", "-c", "import wardclient; print(wardclient.__file__)"]).stdout
    assert found == "/usr/lib/python3/dist-packages/wardclient.py\n"
    board.mkdir("/tmpfs/run")
    config = "WdtRefreshPeriod:1\nAliveWatchPeriod:1\n"
    pids = {}
    for name, path in apps.items():
        board.request("install", source=path, dest="/tmpfs/bin/" + name)
        pids[name] = board.spawn(["/tmpfs/bin/" + name, "/tmpfs/run/%s.pid" % name, "300"])
        board.wait_until(lambda: board.exists("/tmpfs/run/%s.pid" % name), 10, "pid file of " + name)
        config += "Process:MONITOR:1:/tmpfs/run/%s.pid:/tmpfs/bin/%s\n" % (name, name)
    # Last, with the same cycle, one that never reports: the pass judges the
    # applications first, so a failure naming it shows that theirs arrived.
    board.start_program("silent", pidfile="/tmpfs/run/silent.pid")
    board.write_config(config + "Process:MONITOR:1:/tmpfs/run/silent.pid:/tmpfs/bin/silent\n")

    assert init(board, "start").status == 0
    down = board.wait_for_log(r"^System down reason : ", timeout=15, severity=LOG_WARNING)
    assert down.text == "System down reason : Detect that the process [silent] did not sent health check."
    assert all(board.alive(pid) for pid in pids.values()), [board.output(pid) for pid in pids.values()]
    assert not [t for t in board.log_texts() if "No match processes" in t or "was not found" in t]


# The process field of the BusyBox inittab line in wardend(8) and the README, with the board's
# default configuration file.
INITTAB_COMMAND = ("/usr/libexec/wardend/clean-stale-queue; "
                   "exec /usr/sbin/wardend -n -P /var/run/wardend.pid")


def test_inittab_respawn_command_runs_the_daemon_in_the_foreground_after_a_killed_one(make_board, root):
    board = make_board(root=root)
    board.write_config("WdtRefreshPeriod:1\n")
    board.create_queue()  # left behind by a daemon that was killed
    pid = board.spawn(["/bin/sh", "-c", INITTAB_COMMAND],
                      env=dict(board.daemon_env(), WARDEND_DEVREC_PROGRAM="wardend"))
    # Still the process init started (init respawns it when it ends).
    board.wait_until(lambda: (board.read_file(PIDFILE) or "").strip() == str(pid), 10, "the pid file")
    assert executable(board, pid) == "/usr/sbin/wardend"
    assert board.stop_daemon(pid) == 0
