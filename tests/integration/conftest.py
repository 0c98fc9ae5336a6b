# SPDX-License-Identifier: MIT
"""`board`, `make_board(**options)`: started boards, shown in a failure's report; a sanitizer report fails."""
import os
import sys

import pytest

SOURCE_DIR = os.environ.get("WARDEND_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "board"))

from board import Board  # noqa: E402


@pytest.fixture
def make_board(request):
    boards = request.node.wardend_boards = []

    def make(**options):
        boards.append(Board(**options))
        boards[-1].start()
        return boards[-1]
    yield make
    # Read before the stop: a detached daemon's stderr reaches nobody else.
    reports = [r for r in (b.sanitizer_reports() for b in boards) if r]
    for b in boards:
        b.stop()
    if reports:
        pytest.fail("sanitizer reports from the daemon:\n" + "\n".join(reports))


@pytest.fixture
def board(make_board):
    return make_board()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    # The call phase's report is made before the fixtures stop their boards.
    if report.failed and call.when in ("setup", "call"):
        for number, b in enumerate(getattr(item, "wardend_boards", [])):
            if b.run_dir:
                report.sections.append(("board %d" % number, b.report()))
