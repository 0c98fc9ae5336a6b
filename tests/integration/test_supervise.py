# SPDX-License-Identifier: MIT
"""The supervision pass on the simulated board: how a respawned program starts."""
from support import RUN, start_daemon

# Writes its signal masks and its descriptors 0 to 2 with their access modes, before it redirects any.
REPORTER = """#!/bin/sh
status=$(grep -E '^Sig(Ign|Blk):' /proc/$$/status)
fds=$(for n in 0 1 2; do echo "fd$n $(readlink /proc/$$/fd/$n || echo closed)" \
    $(sed -n 's/^flags:.*\\(.\\)$/\\1/p' /proc/$$/fdinfo/$n); done)
printf '%s\\n%s\\n' "$status" "$fds" > "$1.tmp" && mv "$1.tmp" "$1"
"""


# As an init system would start it, whatever the daemon's own state (it ignores SIGPIPE, and closed
# its descriptors 0 to 2 when it detached).
def test_respawned_program_starts_with_default_signals_and_dev_null(board):
    board.write_file("/tmpfs/bin/reporter", REPORTER, mode=0o755)
    board.write_file(RUN + "/r.pid", "1999999\n")
    start_daemon(board, "WdtRefreshPeriod:1\nAliveWatchPeriod:1\n"
                        "Process:RESPAWN:0:%s/r.pid:/tmpfs/bin/reporter:%s/report\n" % (RUN, RUN))
    board.wait_for_log(r"^Respawn: reporter %s/report $" % RUN, timeout=6)
    board.wait_until(lambda: board.exists(RUN + "/report"), 5, "the respawned program's report")
    report = board.read_file(RUN + "/report")
    fields = dict(line.split(None, 1) for line in report.splitlines())
    assert (fields["SigBlk:"], fields["fd0"], fields["fd1"], fields["fd2"]) == (
        "0000000000000000", "/dev/null 0", "/dev/null 1", "/dev/null 1"), report
    # posix_spawn leaves the C library's signals 32 and 33 ignored; its start-up takes them back.
    ignored = int(fields["SigIgn:"], 16)
    assert ignored & ((1 << 31) - 1) == 0 and (board.emulator or ignored & ~(3 << 31) == 0), report
