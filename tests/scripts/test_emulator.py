# SPDX-License-Identifier: MIT
"""The emulator of a cross build (cmake/qemu-armhf) starts every program with
the sysroot's loader and the sysroot's libraries only. A loader left to its
cache and default folders would also find Debian's own armhf C library on a
machine that has it (multiarch libc6:armhf) and load it beside its own: two
builds of the C library in one process, and the first thread a program
starts crashes it. A failure says which kind of machine it ran on."""
import os
import re
import subprocess

SOURCE_DIR = os.environ["WARDEND_SOURCE_DIR"]
BUILD_DIR = os.environ["WARDEND_BUILD_DIR"]
EMULATOR = os.environ["WARDEND_EMULATOR"]
SYSROOT = os.path.realpath(os.environ.get("WARDEND_ARM_SYSROOT", "/usr/arm-linux-gnueabihf"))
MULTIARCH = "with Debian's armhf libc" if os.path.exists("/lib/arm-linux-gnueabihf/libc.so.6") else "cross only"


def emulated(*words):
    argv = [os.path.join(SOURCE_DIR, "board", "board-run"), "--", EMULATOR] + list(words)
    return subprocess.run(argv, capture_output=True, text=True, timeout=120)


def test_the_loader_takes_every_library_from_the_sysroot():
    # The loader lists what it loads, as ldd does, and starts nothing.
    result = emulated("-E", "LD_TRACE_LOADED_OBJECTS=1", BUILD_DIR + "/bin/wardctl")
    loaded = dict(re.findall(r"^\s*(\S+) => (\S+) \(0x", result.stdout, re.M))
    assert {"libc.so.6", "libstdc++.so.6"} <= loaded.keys(), (MULTIARCH, result)
    assert {name: path for name, path in loaded.items() if not path.startswith(SYSROOT + "/")} == {}, MULTIARCH

