"""The examples of README.md and of every page in docs/ run and print what the pages say they print.

Conventions of the pages that this relies on:
* each ```python block is a script of its own, except that a block whose
  first line starts with "# continuing" runs after the block before it on
  the same page;
* ``print(...)  # TEXT`` means that this print writes the line TEXT;
* the ```text block of the logging example is its standard error, and the
  ```text block of the demo is what ``quorlin demo`` prints;
* the README's quick start is one ```sh block of commands run from a clone.
Scripts run in an empty folder in which ``tests`` is the repository's.
"""

from __future__ import annotations

import ast
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from pkg_helpers import PACKAGE_PARENT, REPO, run_cli

import quorlin

FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
BLOCKS = {page.name: FENCE.findall(page.read_text(encoding="utf-8")) for page in PAGES}
ALL_BLOCKS = [block for blocks in BLOCKS.values() for block in blocks]
PRINT_COMMENT = re.compile(r"^print\(.*\)\s+# (.+)$", re.M)
LINK = re.compile(r"\]\(([^)#]+)(?:#[^)]*)?\)")


def scripts(blocks: list[tuple[str, str]]) -> list[str]:
    joined: list[str] = []
    for lang, body in blocks:
        if lang != "python":
            continue
        if body.startswith("# continuing") and joined:
            joined[-1] += body
        else:
            joined.append(body)
    return joined


ALL_SCRIPTS = [script for blocks in BLOCKS.values() for script in scripts(blocks)]


def the_one(items: list[str], marker: str) -> str:
    found = [item for item in items if marker in item]
    assert len(found) == 1, f"{len(found)} blocks of the pages contain {marker!r}"
    return found[0]


@pytest.fixture
def clone_like(tmp_path: Path) -> Path:
    """An empty folder in which ``tests`` is the repository's, as in a clone."""
    (tmp_path / "tests").symlink_to(REPO / "tests", target_is_directory=True)
    return tmp_path


def run_python(code: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd, env=env, timeout=300)


EXAMPLES = [(name, script) for name, blocks in BLOCKS.items() for script in scripts(blocks) if "dask" not in script]


@pytest.mark.parametrize(("page", "code"), EXAMPLES, ids=[f"{name}-{i}" for i, (name, _) in enumerate(EXAMPLES)])
def test_python_example_prints_what_its_comments_say(clone_like, page, code):
    result = run_python(code, clone_like)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == PRINT_COMMENT.findall(code)


def test_logging_example_prints_the_lines_shown(tmp_path):
    result = run_python(the_one(ALL_SCRIPTS, "logging.basicConfig"), tmp_path)
    shown = the_one([body for lang, body in ALL_BLOCKS if lang == "text"], "DEBUG:quorlinpy:")
    assert result.stderr == shown


def test_dask_recipe_runs_as_a_script(tmp_path):
    pytest.importorskip("dask.bag", reason="dask is not installed (optional extra: pip install quorlin[dask])")
    pages = [{"elements": [{"box": [0, 0, 40, 10]}, {"box": [0, 20 + k, 40, 30 + k]}, {"box": [60, 0, 90, 9]}]}
             for k in range(4)]
    for k in (1, 2):
        (tmp_path / f"pages-{k}.jsonl").write_text("".join(json.dumps(p) + "\n" for p in pages[2 * k - 2:2 * k]))
    result = run_python(the_one(ALL_SCRIPTS, "dask"), tmp_path)
    assert result.returncode == 0, result.stderr
    assert ast.literal_eval(result.stdout) == [quorlin.order_page(p)["order"] for p in pages]


def test_json_page_example_is_a_page(tmp_path):
    path = tmp_path / "page.json"
    path.write_text(the_one([body for lang, body in ALL_BLOCKS if lang == "json"], '"elements"'))
    result = run_cli("order", str(path))
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["order"] == ["title", 7]


def test_demo_prints_the_block_shown(tmp_path):
    result = run_cli("demo", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == the_one([body for lang, body in ALL_BLOCKS if lang in ("", "text")], "Reading order:")


def test_quick_start_runs_from_a_clone(clone_like):
    block = the_one([body for lang, body in BLOCKS["README.md"] if lang == "sh"], "quorlin order tests/data")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    script = f'set -e\nquorlin() {{ "{sys.executable}" -m quorlin "$@"; }}\n{block}'
    result = subprocess.run(["bash", "-c", script], capture_output=True, text=True, cwd=clone_like, env=env,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    detections = json.loads(result.stdout)
    assert [d["label"] for d in detections] == ["title", "text", "text"]
    assert [d["box"][0] for d in detections] == [100, 100, 520]
    for written in ("ordered.xml", "alto.xml", "alice.hocr", "order.svg"):
        assert (clone_like / written).stat().st_size > 0
    assert sorted(p.name for p in (clone_like / "ordered").iterdir()) == sorted(
        p.name for p in (REPO / "tests" / "data" / "formats" / "page").iterdir())


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_links_between_pages_lead_somewhere(page):
    for target in LINK.findall(page.read_text(encoding="utf-8")):
        if "://" not in target:
            assert (page.parent / target).exists(), f"{page.name} links to {target}, which does not exist"


def test_readme_is_short():
    assert len((REPO / "README.md").read_text(encoding="utf-8").splitlines()) <= 200
