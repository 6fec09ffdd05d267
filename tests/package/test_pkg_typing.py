"""Static typing: the package and the module's stubs pass mypy, and the stubs match the module."""

from __future__ import annotations

import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys
import textwrap

import pytest
from pkg_helpers import REPO

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

STUBS = REPO / "src" / "bindings" / "core"
SOURCE = REPO / "python"  # the package's source tree is what gets checked


def mypy(*args: str, cache) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(STUBS), str(SOURCE)]))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache), *args],
        capture_output=True, text=True, env=env, timeout=600,
    )


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def test_package_and_stubs_pass_mypy_strict(cache):
    try:
        importlib.metadata.version("types-tqdm")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("types-tqdm is not installed (the package's strict check needs tqdm's stubs)")
    result = mypy(str(SOURCE / "quorlin"), str(STUBS / "_quorlin_core.pyi"), cache=cache)
    assert result.returncode == 0, result.stdout + result.stderr


USAGE = '''
    from quorlin import Element, SemanticLabel, XYCutConfig, compute_order_mervane, order, label_for

    e = Element(1, 0, 0.5, 10, 10, SemanticLabel.Regular)
    ids: list[int] = compute_order_mervane([e], (0, 0, 100, 100))
    compute_order_mervane((e,), (0.0, 0, 1, 1), XYCutConfig(same_row_tolerance=4))
    config = XYCutConfig()
    config.min_cut_threshold = 3
    threshold: float = config.min_cut_threshold
    names: list[str] = order([(0, 0, 1, 1)], ids=["a"])
    indices: list[int] = order([(0, 0, 1, 1)], ["title"])
    order([(0, 0, 1, 1)], (name for name in ["title"]))
    label: SemanticLabel = label_for("Section-header")
    code: int = int(SemanticLabel.Vision)
    Element(1.5, 0, 0, 1, 1, SemanticLabel.Regular)  # E
    Element(1, 0, 0, 1, 1, 3)  # E
    compute_order_mervane([e], (0, 0, 1))  # E
    compute_order_mervane([e], [0, 0, 1, 1])  # E
    compute_order_mervane([e], (0, 0, 1, 1), config={})  # E
    compute_order_mervane([1], (0, 0, 1, 1))  # E
    e.x1 = 3.0  # E
    config.same_row_tolerance = "wide"  # E
    wrong: int = order([(0, 0, 1, 1)], ids=["a"])[0]  # E
    from quorlin.profile import DEFAULT_OPTIONS, ProfileOptions
    share: float = ProfileOptions(tol_x=0.01, labels=False).tol_x
    DEFAULT_OPTIONS.replace(articles=False, band_min=0.01)
    ProfileOptions(tol_xx=0.01)  # E
    DEFAULT_OPTIONS.replace(labels="no")  # E
'''


def test_stubs_accept_right_and_reject_wrong_uses(tmp_path, cache):
    source = textwrap.dedent(USAGE)
    path = tmp_path / "usage.py"
    path.write_text(source)
    result = mypy(str(path), cache=cache)
    flagged = {int(m.group(1)) for m in re.finditer(r"usage\.py:(\d+): error", result.stdout)}
    expected = {n for n, line in enumerate(source.splitlines(), 1) if line.endswith("# E")}
    assert flagged == expected, result.stdout


@pytest.mark.parametrize("module", ["_quorlin_core", "quorlin._native"])
def test_stubs_match_the_compiled_module(cache, module):
    env = dict(os.environ, MYPYPATH=str(STUBS))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module, "--mypy-config-file", os.devnull],
        capture_output=True, text=True, env=env, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_typed_profile_options_are_the_settings_table():
    """ProfileOptions, made from the engine's settings table when run, is written out for type checkers: the
    same settings, with the same kinds, in __init__, replace and the fields."""
    import ast

    from quorlin import _native

    tree = ast.parse((SOURCE / "quorlin" / "profile.py").read_text(encoding="utf-8"))
    typed = next(node for node in ast.walk(tree) if isinstance(node, ast.ClassDef) and node.name == "ProfileOptions")
    expected = [(name, "float" if kind == "number" else "bool") for name, kind, *_ in _native.PROFILE_SETTINGS]
    fields = [(node.target.id, ast.unparse(node.annotation)) for node in typed.body if isinstance(node, ast.AnnAssign)]
    assert fields == expected
    for method in ("__init__", "replace"):
        function = next(node for node in typed.body if isinstance(node, ast.FunctionDef) and node.name == method)
        assert [(a.arg, ast.unparse(a.annotation)) for a in function.args.kwonlyargs] == expected, method
