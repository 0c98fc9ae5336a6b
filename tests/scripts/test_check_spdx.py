# SPDX-License-Identifier: MIT
"""scripts/check-spdx on a small git work tree of its own: which files it
reports, the line --fix inserts for each kind of file and where, and the
files it leaves alone."""
import os
import shutil
import stat
import subprocess

import pytest

SOURCE_DIR = os.environ.get("WARDEND_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
TAG = "SPDX-License-Identifier: MIT"

# path, text before, text after --fix (None: left as it is), executable
ROWS = [
    ("wardend/main.cpp", "#include <cstdio>\n", "// %s\n#include <cstdio>\n" % TAG, False),
    ("common/fd.h", "// The owner of one descriptor.\n#pragma once\n",
     "// %s\n// The owner of one descriptor.\n#pragma once\n" % TAG, False),
    ("common/ctrlmsg.h", "/* The control message. */\n#pragma once\n",
     "/* %s */\n/* The control message. */\n#pragma once\n" % TAG, False),
    ("board/pidprog.c", "int main(void) { return 0; }\n", "/* %s */\nint main(void) { return 0; }\n" % TAG, False),
    ("common/version.h.in", "// Version.\n#define V \"@V@\"\n", "// %s\n// Version.\n#define V \"@V@\"\n" % TAG, False),
    ("scripts/tool", "#!/usr/bin/env bash\necho hi\n", "#!/usr/bin/env bash\n# %s\necho hi\n" % TAG, True),
    ("board/board-run", "#!/usr/bin/python3\n\"\"\"Doc.\"\"\"\n", "#!/usr/bin/python3\n# %s\n\"\"\"Doc.\"\"\"\n" % TAG,
     True),
    ("board/board.py", "\"\"\"Doc.\"\"\"\n", "# %s\n\"\"\"Doc.\"\"\"\n" % TAG, False),
    ("CMakeLists.txt", "project(x)\n", "# %s\nproject(x)\n" % TAG, False),
    ("client/CMakeLists.txt", "add_library(y)\n", "# %s\nadd_library(y)\n" % TAG, False),
    ("client/x.pc.in", "Name: x\n", "# %s\nName: x\n" % TAG, False),
    ("packaging/wardend.service.in", "[Unit]\n", "# %s\n[Unit]\n" % TAG, False),
    ("packaging/wardend.default", "WARDEND_OPTS=\"\"\n", "# %s\nWARDEND_OPTS=\"\"\n" % TAG, False),
    ("packaging/wardend.init.in", "#!/bin/sh\n### BEGIN INIT INFO\n", "#!/bin/sh\n# %s\n### BEGIN INIT INFO\n" % TAG,
     True),
    ("man/wardend.8", ".Dd December 6, 2026\n.Dt WARDEND 8\n",
     ".\\\" %s\n.Dd December 6, 2026\n.Dt WARDEND 8\n" % TAG, False),
    # Already carries the line, a little further down.
    ("cmake/tool", "#!/bin/sh\n# Runs things.\n# %s\n" % TAG, None, True),
    # Not checked: documents, data, Debian package data.
    ("README.md", "# x\n", None, False),
    ("LICENSE", "MIT License\n", None, False),
    ("examples/wardend.conf", "WdtRefreshPeriod:1\n", None, False),
    ("tests/data/reply.json", "{}\n", None, False),
    ("client/python/METADATA.in", "Name: x\n", None, False),
    ("packaging/changelog", "wardend (1.0) unstable; urgency=medium\n", None, False),
    ("packaging/copyright.in", "Format: x\n", None, False),
    ("packaging/lintian/wardend", "# why\ntag\n", None, False),
]


def make_tree(root, rows):
    shutil.copytree(os.path.join(SOURCE_DIR, "scripts"), os.path.join(root, "scripts"),
                    ignore=lambda folder, names: [n for n in names if n != "check-spdx"])
    for path, text, _, executable in rows:
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
        os.chmod(full, 0o755 if executable else 0o644)
    subprocess.run(["git", "init", "-q", root], check=True)
    subprocess.run(["git", "-C", root, "add", "-A"], check=True)


def check(root, *args):
    return subprocess.run([os.path.join(root, "scripts", "check-spdx")] + list(args),
                          capture_output=True, text=True)


def reported(result):
    return {line.split(": ")[1] for line in result.stderr.splitlines() if line.count(": ") >= 2}


def read(root, path):
    with open(os.path.join(root, path)) as f:
        return f.read()


def test_fix_inserts_each_kinds_line_where_the_check_looks_for_it(tmp_path):
    root = str(tmp_path)
    rows = ROWS + [("scripts/check-spdx", read(SOURCE_DIR, "scripts/check-spdx"), None, True)]
    make_tree(root, rows)

    before = check(root)
    assert before.returncode == 1
    assert reported(before) == {path for path, _, after, _ in rows if after is not None}

    fixed = check(root, "--fix")
    assert fixed.returncode == 0, fixed.stderr
    for path, text, after, executable in rows:
        assert read(root, path) == (text if after is None else after), path
        mode = stat.S_IMODE(os.stat(os.path.join(root, path)).st_mode)
        assert mode == (0o755 if executable else 0o644), path

    # Fixed once, the tree passes, and a second --fix changes nothing.
    assert check(root).returncode == 0
    again = check(root, "--fix")
    assert again.returncode == 0
    for path, text, after, _ in rows:
        assert read(root, path) == (text if after is None else after), path
    # No temporary file left behind beside the files.
    status = subprocess.run(["git", "-C", root, "status", "--porcelain", "--untracked-files=all"],
                            capture_output=True, text=True, check=True).stdout
    assert not [line for line in status.splitlines() if line.startswith("??")], status


@pytest.mark.parametrize("path, text", [
    ("tests/data/blob", "no shebang, no known extension\n"),
    ("common/vendored.cpp", "// SPDX-License-Identifier: BSD-2-Clause\nint x;\n"),
    ("wardend/odd.cpp", "# %s\nint x;\n" % TAG),
], ids=["unknown kind", "another licence", "wrong comment form"])
def test_files_that_fix_cannot_settle_fail_both_ways_and_stay_as_they_are(tmp_path, path, text):
    root = str(tmp_path)
    make_tree(root, [(path, text, None, False)])
    for args in ((), ("--fix",)):
        result = check(root, *args)
        assert result.returncode == 1, args
        assert reported(result) == {path}, result.stderr
        assert read(root, path) == text


def test_outside_a_git_work_tree_nothing_is_checked(tmp_path):
    shutil.copytree(os.path.join(SOURCE_DIR, "scripts"), str(tmp_path / "scripts"))
    result = check(str(tmp_path))
    assert result.returncode == 77, result.stderr
