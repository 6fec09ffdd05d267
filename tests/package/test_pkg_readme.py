"""The README's examples run and print what the README says they print.

Conventions of README.md that this relies on:
* each ```python block is a script of its own, except that a block whose
  first line starts with "# continuing" runs after the block before it;
* ``print(...)  # TEXT`` means that this print writes the line TEXT;
* the ```text block of the logging example is its standard error, and the
  ```text block of the demo is what ``quorlin demo`` prints.
"""

from __future__ import annotations

import ast
import json
import os
import re
import subprocess
import sys

import pytest
from pkg_helpers import PACKAGE_PARENT, REPO, run_cli

import quorlin

FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)
BLOCKS = [(lang, body) for lang, body in FENCE.findall((REPO / "README.md").read_text(encoding="utf-8"))]
PRINT_COMMENT = re.compile(r"^print\(.*\)\s+# (.+)$", re.M)


def scripts() -> list[str]:
    joined: list[str] = []
    for lang, body in BLOCKS:
        if lang != "python":
            continue
        if body.startswith("# continuing") and joined:
            joined[-1] += body
        else:
            joined.append(body)
    return joined


def the_one(items: list[str], marker: str) -> str:
    found = [item for item in items if marker in item]
    assert len(found) == 1, f"{len(found)} README blocks contain {marker!r}"
    return found[0]


def run_python(code: str, cwd) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd, env=env, timeout=300)


SCRIPTS = [s for s in scripts() if "dask" not in s]


@pytest.mark.parametrize("code", SCRIPTS, ids=[f"example-{i}" for i in range(len(SCRIPTS))])
def test_python_example_prints_what_its_comments_say(tmp_path, code):
    result = run_python(code, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == PRINT_COMMENT.findall(code)


def test_logging_example_prints_the_lines_shown(tmp_path):
    result = run_python(the_one(scripts(), "logging.basicConfig"), tmp_path)
    shown = the_one([body for lang, body in BLOCKS if lang == "text"], "DEBUG:quorlinpy:")
    assert result.stderr == shown


def test_dask_recipe_runs_as_a_script(tmp_path):
    pytest.importorskip("dask.bag", reason="dask is not installed (optional extra: pip install quorlin[dask])")
    pages = [{"elements": [{"box": [0, 0, 40, 10]}, {"box": [0, 20 + k, 40, 30 + k]}, {"box": [60, 0, 90, 9]}]}
             for k in range(4)]
    for k in (1, 2):
        (tmp_path / f"pages-{k}.jsonl").write_text("".join(json.dumps(p) + "\n" for p in pages[2 * k - 2:2 * k]))
    result = run_python(the_one(scripts(), "dask"), tmp_path)
    assert result.returncode == 0, result.stderr
    assert ast.literal_eval(result.stdout) == [quorlin.order_page(p)["order"] for p in pages]


def test_json_page_example_is_a_page(tmp_path):
    path = tmp_path / "page.json"
    path.write_text(the_one([body for lang, body in BLOCKS if lang == "json"], '"elements"'))
    result = run_cli("order", str(path))
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["order"] == ["title", 7]


def test_demo_prints_the_readme_block(tmp_path):
    result = run_cli("demo", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == the_one([body for lang, body in BLOCKS if lang in ("", "text")], "Reading order:")
