import logging
import subprocess
import sys
import textwrap

import pytest

import _quorlin_core as q


class Capture(logging.Handler):
    """Keeps every record that reaches it."""

    def __init__(self):
        super().__init__(level=logging.NOTSET)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    def lines(self):
        return [(r.name, r.levelno, r.lineno, r.getMessage()) for r in self.records]


@pytest.fixture
def debug_log():
    """Turns on the modules' debug lines for one test and captures them.

    The log caches are process-wide, so both modules' are reset on the way in
    (to see the new level) and on the way out (so later tests see their own
    configuration).
    """
    from quorlin import reset_log_cache

    logger = logging.getLogger("quorlinpy")
    handler = Capture()
    old_level, old_propagate = logger.level, logger.propagate
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(handler)
    reset_log_cache()
    try:
        yield handler
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
        logger.propagate = old_propagate
        reset_log_cache()


def run_python(code):
    """Runs code in a fresh interpreter (the log bridge's cache is per process)
    and returns its stdout; fails the test with stderr when it exits non-zero."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def element(id_, x1, y1, x2, y2, label=None):
    return q.Element(id_, x1, y1, x2, y2, label or q.SemanticLabel.Regular)


@pytest.fixture(scope="session")
def realdata_pages():
    """The 200 real annotated pages: the repository's copy in bench/data,
    else the shared realdata folder beside the checkout."""
    import json
    import pathlib

    repo = pathlib.Path(__file__).resolve().parents[1]
    candidates = [repo / "bench" / "data" / "pages.jsonl", repo.parent / "shared" / "realdata" / "pages.jsonl"]
    path = next((p for p in candidates if p.exists()), None)
    if path is None:
        pytest.skip(f"real pages not found at {' or '.join(map(str, candidates))}")
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]


def pytest_terminal_summary(terminalreporter):
    """Every skipped test by name, with its reason, at the end of the run
    (the test command repeats them in its own summary)."""
    skipped = terminalreporter.stats.get("skipped", [])
    if not skipped:
        return
    terminalreporter.section("skipped tests")
    for report in skipped:
        longrepr = report.longrepr
        reason = longrepr[2] if isinstance(longrepr, tuple) and len(longrepr) == 3 else str(longrepr)
        terminalreporter.line(f"SKIPPED TEST {report.nodeid}: {reason.removeprefix('Skipped: ')}")
