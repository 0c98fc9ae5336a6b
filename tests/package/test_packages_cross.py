# SPDX-License-Identifier: MIT
"""The Debian packages of a cross build (armhf): their binaries are the
target's, lintian is clean, and the small application builds against the
unpacked client files with the cross compiler."""
import os

from conftest import ARCH, MULTIARCH, VERSION, WORK, build_apps, lintian_clean, needed_libraries, run

# What file(1) says of a binary for each target this project cross-builds.
TARGET_DESCRIPTIONS = {"armhf": ("ELF 32-bit LSB", "ARM, EABI5")}


def described_as_target(path):
    description = run(["file", "-b", "-L", path]).stdout
    return all(part in description for part in TARGET_DESCRIPTIONS[ARCH]), description


def test_binaries_are_the_targets(root):
    for path in ("usr/sbin/wardend", "usr/bin/wardctl", "usr/lib/%s/libwardclient.so.%s" % (MULTIARCH, VERSION)):
        ok, description = described_as_target(os.path.join(root, path))
        assert ok, "%s: %s" % (path, description)
    members = run(["ar", "t", os.path.join(root, "usr/lib", MULTIARCH, "libwardclient.a")]).stdout.split()
    assert members == ["wardclient.c.o"]


def test_lintian_is_clean(debs):
    lintian_clean(debs.values())


def test_application_builds_against_the_unpacked_client_with_the_cross_compiler(root):
    apps = build_apps(root, os.path.join(WORK, "apps-" + ARCH))
    for name, path in apps.items():
        ok, description = described_as_target(path)
        assert ok, "%s: %s" % (name, description)
    assert "libwardclient.so.1" in needed_libraries(apps["app_pc"])
    assert "libwardclient.so.1" in needed_libraries(apps["app_cmake"])
    assert "libwardclient.so.1" not in needed_libraries(apps["app_static"])
