# SPDX-License-Identifier: MIT
"""cpack -G DEB in an ordinary build tree (CMake's default prefix): it
refuses before staging anything, and says how to get the packages."""
import glob
import os
import subprocess

SOURCE_DIR = os.environ["WARDEND_SOURCE_DIR"]


def test_debian_packages_are_refused_for_a_tree_with_the_default_prefix(tmp_path):
    tree = str(tmp_path / "tree")
    configured = subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", tree, "-G", "Ninja", "-DWARDEND_TESTS=OFF"],
                                capture_output=True, text=True)
    assert configured.returncode == 0, configured.stdout + configured.stderr
    # Nothing is built: a refusal must come before CPack installs anything.
    packed = subprocess.run(["cpack", "-G", "DEB"], cwd=tree, capture_output=True, text=True)
    said = packed.stdout + packed.stderr
    assert packed.returncode != 0, said
    assert "install prefix /usr" in said and "/usr/local" in said and "scripts/build-packages" in said, said
    assert glob.glob(os.path.join(tree, "packages", "*.deb")) == []
