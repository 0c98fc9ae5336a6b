# SPDX-License-Identifier: MIT
"""Fixtures for the tests of the Debian packages (CTest's package_check,
after package_build has built them into <build>/deb/packages).

    debs        {package name: .deb path}
    root        the packages installed into a fresh root (dpkg --root on the
                board for the host's packages, dpkg-deb -x for a cross build)
    make_board  boards as in the integration tests; make_board(root=root)
                gives a board with the packages installed
"""
import importlib.util
import os
import shutil
import subprocess

import pytest

SOURCE_DIR = os.environ["WARDEND_SOURCE_DIR"]
BUILD_DIR = os.environ["WARDEND_BUILD_DIR"]
PACKAGE_DIR = os.environ["WARDEND_PACKAGE_DIR"]
ARCH = os.environ["WARDEND_DEB_ARCH"]
VERSION = os.environ["WARDEND_VERSION"]
MULTIARCH = os.environ["WARDEND_MULTIARCH"]
C_COMPILER = os.environ["WARDEND_C_COMPILER"]
TOOLCHAIN_FILE = os.environ.get("WARDEND_TOOLCHAIN_FILE", "")
CROSS = bool(TOOLCHAIN_FILE)

# Inside the build tree, which the board sees at the same path.
WORK = os.path.join(BUILD_DIR, "package-test")
APP_DIR = os.path.join(SOURCE_DIR, "tests", "package", "app")
BOARD_RUN = os.path.join(SOURCE_DIR, "board", "board-run")
PACKAGES = ("wardend", "libwardclient1", "libwardclient-dev", "python3-wardclient")

# The board fixtures and failure reports of the integration tests.
_spec = importlib.util.spec_from_file_location(
    "integration_conftest", os.path.join(SOURCE_DIR, "tests", "integration", "conftest.py"))
_integration = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_integration)
make_board = _integration.make_board
pytest_runtest_makereport = _integration.pytest_runtest_makereport


def run(argv, **kw):
    """Runs a command to its end; its CompletedProcess, failing the test with
    the command's output when it fails."""
    result = subprocess.run(argv, capture_output=True, text=True, **kw)
    assert result.returncode == 0, "%s: status %d\n%s%s" % (argv, result.returncode, result.stdout, result.stderr)
    return result


def deb_arch(package):
    return "all" if package.startswith("python3-") else ARCH


@pytest.fixture(scope="session")
def debs():
    found = {p: os.path.join(PACKAGE_DIR, "%s_%s_%s.deb" % (p, VERSION, deb_arch(p))) for p in PACKAGES}
    missing = [path for path in found.values() if not os.path.exists(path)]
    assert not missing, "not built: %s" % missing
    return found


@pytest.fixture(scope="session")
def root(debs):
    """A fresh root with every package installed. dpkg runs on the board, so
    nothing it does (maintainer scripts included) can reach the host."""
    path = os.path.join(WORK, "root-" + ARCH)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    if CROSS:
        for deb in debs.values():
            run(["dpkg-deb", "-x", deb, path])
        return path
    admin = os.path.join(path, "var", "lib", "dpkg")
    for folder in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(admin, folder), exist_ok=True)
    for name in ("status", "available"):
        open(os.path.join(admin, name), "w").close()
    # The root has no libc or shell of its own: dependencies are not there
    # to be found, and maintainer scripts cannot run chrooted into it.
    run([BOARD_RUN, "--", "dpkg", "--root=" + path, "--force-depends", "--force-script-chrootless",
         "--log=/tmp/dpkg.log", "-i"] + list(debs.values()))
    return path


def lintian_clean(debs):
    """lintian finds nothing at any level, and every override says why (the
    comment lines that lintian shows before it)."""
    result = subprocess.run(["lintian", "--pedantic", "--display-info", "--show-overrides",
                             "--fail-on", "none"] + list(debs), capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    tags = [line for line in lines if line[:3] in ("E: ", "W: ", "I: ", "P: ", "X: ")]
    unexplained = [line for number, line in enumerate(lines)
                   if line.startswith("O: ") and (number == 0 or not lines[number - 1].startswith("N: "))]
    assert not tags and not unexplained, result.stdout
    return lines


def pkg_config_flags(root):
    """pkg-config's flags for the client library installed under root."""
    env = dict(os.environ, PKG_CONFIG_SYSROOT_DIR=root,
               PKG_CONFIG_LIBDIR=os.path.join(root, "usr", "lib", MULTIARCH, "pkgconfig"))
    return run(["pkg-config", "--cflags", "--libs", "wardclient"], env=env).stdout.split()


def build_apps(root, out):
    """Builds the small application against the client library under root:
    app_pc with pkg-config's flags (shared library), app_cmake and app_static
    through the CMake package. Returns {name: path}."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    apps = {"app_pc": os.path.join(out, "app_pc")}
    run([C_COMPILER, "-Wall", "-Wextra", "-Werror", "-o", apps["app_pc"],
         os.path.join(APP_DIR, "healthapp.c")] + pkg_config_flags(root))
    cmake_dir = os.path.join(out, "cmake")
    args = ["cmake", "-S", APP_DIR, "-B", cmake_dir, "-G", "Ninja", "-DCMAKE_C_COMPILER=" + C_COMPILER,
            "-DCMAKE_C_FLAGS=-Wall -Wextra -Werror"]
    if CROSS:
        # The toolchain keeps find_package() in the target's folders; the
        # package is named directly.
        args += ["-DCMAKE_TOOLCHAIN_FILE=" + TOOLCHAIN_FILE,
                 "-Dwardclient_DIR=" + os.path.join(root, "usr", "lib", MULTIARCH, "cmake", "wardclient")]
    else:
        args += ["-DCMAKE_PREFIX_PATH=" + os.path.join(root, "usr")]
    run(args)
    run(["cmake", "--build", cmake_dir])
    for name in ("app_cmake", "app_static"):
        apps[name] = os.path.join(cmake_dir, name)
    return apps


def needed_libraries(binary):
    dynamic = run(["readelf", "-d", binary]).stdout
    return [line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]
