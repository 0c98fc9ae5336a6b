# SPDX-License-Identifier: MIT
"""Fixtures for the tests on the simulated board.

    def test_something(board):            # a started board with both devices
        ...
    def test_other(make_board):           # boards with options
        b = make_board(watchdog=False)

When a test fails, everything the boards it used saw (log lines, device
records, command records) is added to the failure report. A sanitizer report
from a daemon on a board fails the test that started it.
"""
import os
import sys

import pytest

SOURCE_DIR = os.environ.get("WARDEND_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "board"))

from board import Board  # noqa: E402


@pytest.fixture
def make_board(request):
    boards = []
    request.node.wardend_boards = boards

    def make(**options):
        b = Board(**options)
        boards.append(b)
        b.start()
        return b
    yield make
    reports = [b.sanitizer_reports() for b in boards]
    for b in boards:
        b.stop()
    # A sanitizer finding in the daemon fails the test even when the daemon
    # had detached and nobody saw its stderr.
    if any(reports):
        pytest.fail("sanitizer reports from the daemon:\n" + "\n".join(r for r in reports if r))


@pytest.fixture
def board(make_board):
    return make_board()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    # The call phase's report is made before the fixtures stop their boards.
    if report.failed and call.when in ("setup", "call"):
        for number, b in enumerate(getattr(item, "wardend_boards", [])):
            if b.run_dir:
                report.sections.append(("board %d" % number, b.report()))
