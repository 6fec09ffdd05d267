"""bench/quality.py: the README's agreement table, computed with quorlin.evaluate on the repository's pages."""

from __future__ import annotations

import os
import subprocess
import sys

from pkg_helpers import PACKAGE_PARENT, REPO


def test_quality_table():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, str(REPO / "bench" / "quality.py")],
                            capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stderr
    rows = {line.split(" | ")[0].lstrip("| "): line.split(" | ")[1:] for line in result.stdout.splitlines()
            if line.startswith("| ") and not line.startswith(("| ordering", "| ---"))}
    assert list(rows) == ["quorlin, regions of the human order", "quorlin (separators left out)",
                          "quorlin, all regions", "top then left (`y1, x1`)", "left then top (`x1, y1`)"]
    # the baselines reproduce the numbers published with the corpus
    assert rows["top then left (`y1, x1`)"][0] == "+0.596 / 0.290"
    assert rows["left then top (`x1, y1`)"][0] == "+0.440 / 0.035"
    # with the corpus's own scorer beside the checkout, every page was cross-checked
    if (REPO.parent / "shared" / "realdata" / "kendall.py").exists():
        assert result.stdout.splitlines()[-1].endswith("gives the same scores on every page of every ordering.")
