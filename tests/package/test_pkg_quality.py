"""bench/quality.py: the README's agreement table is computed with the corpus scorer."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest
from pkg_helpers import PACKAGE_PARENT, REALDATA, REPO


def test_quality_table():
    if not (REALDATA / "pages.jsonl").exists():
        pytest.skip(f"{REALDATA / 'pages.jsonl'} is not present")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, str(REPO / "bench" / "quality.py"), str(REALDATA / "pages.jsonl")],
                            capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stderr
    rows = {line.split(" | ")[0].lstrip("| "): line.split(" | ")[1:] for line in result.stdout.splitlines()
            if line.startswith("| ") and not line.startswith(("| ordering", "| ---"))}
    assert list(rows) == ["quorlin (separators left out)", "quorlin, all regions",
                          "top then left (`y1, x1`)", "left then top (`x1, y1`)"]
    # the baselines reproduce the numbers published with the corpus
    assert rows["top then left (`y1, x1`)"][0] == "+0.596 / 0.290"
    assert rows["left then top (`x1, y1`)"][0] == "+0.440 / 0.035"
