"""quorlin.order's exact and array options, quorlin.explain, order --explain,
draw --cuts on a deep staircase, and outputs that appear only on success."""

from __future__ import annotations

import json
import logging
import sys
import xml.etree.ElementTree as ET

import pytest
from pkg_helpers import REALDATA, run_cli

import _quorlin_core as q
import quorlin
from quorlin import explain, order
from quorlin.formats.jsonpage import json_document, page_from_json
from quorlin.ordering import page_order

np = pytest.importorskip("numpy")

TWO_COLUMNS = [(520, 200, 900, 600), (100, 50, 900, 120), (100, 200, 480, 600)]


def staircase(n: int) -> list[tuple[float, float, float, float]]:
    """Box i at (20i, 20i): every cut peels one box, so the cuts nest n - 1 deep."""
    return [(20.0 * i, 20.0 * i, 20.0 * i + 10, 20.0 * i + 10) for i in reversed(range(n))]


@pytest.mark.parametrize("exact", [False, True])
def test_order_matches_the_core_with_ids_labels_and_arrays(exact):
    elements = [q.Element(i, *b, q.SemanticLabel.Regular) for i, b in enumerate(TWO_COLUMNS)]
    core = q.compute_order_mervane(elements, (0, 0, 1000, 1000))
    arr = np.array(TWO_COLUMNS, dtype=np.float32)
    assert order(arr, exact=exact) == core == order(TWO_COLUMNS, ["text", "title", "text"], exact=exact)
    assert order(arr, ids=["r", "t", "l"], exact=exact) == ["t", "l", "r"]
    indices = order(arr, exact=exact, as_array=True)
    assert indices.dtype == np.int64 and indices.tolist() == core


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"as_array": True, "ids": ["a", "b", "c"]}, ValueError, "as_array=True returns box indices"),
        ({"config": None}, TypeError, r"got an unexpected keyword argument 'config'$"),  # it never did anything
        ({"page_bounds": (0, 0, 1)}, ValueError, r"^page_bounds: expected 4 numbers \(x1, y1, x2, y2\), got 3$"),
        ({"page_bounds": (0, 0, 1, "x")}, TypeError, r"^page_bounds: coordinates must be numbers, got \(0, 0, 1, 'x'\)$"),
        ({"labels": ["text"]}, ValueError, "got 1 labels for 3 boxes"),
    ],
)
def test_order_checks_its_other_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        order(TWO_COLUMNS, **kwargs)


def test_numbers_as_text_are_read_as_float_reads_them():
    as_text = [("520", "200", "900", "600"), (100, 50, 900, b"120"), (100, 200, 480, 600)]
    assert order(as_text) == [1, 2, 0] == explain(as_text).order
    assert order(TWO_COLUMNS, page_bounds=("0", "0", "1000", "1000")) == order(TWO_COLUMNS, page_bounds=(0, 0, 1000, 1000))


@pytest.mark.parametrize("exact", [False, True], ids=["quality", "exact"])
def test_at_debug_one_native_call_logs_and_gives_the_same_order(exact):
    """With DEBUG on, order() and explain() make one call of quorlin._native
    each (explain computes once) and none of compute_order_mervane, give what
    they give without logging, and log from that call."""
    arr = np.array(TWO_COLUMNS)
    expected = order(arr, exact=exact), explain(arr, exact=exact).to_dict()
    records: list[logging.LogRecord] = []

    class Keep(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            records.append(record)

    calls: list[object] = []

    def watch(frame: object, event: str, arg: object) -> None:
        if event == "c_call":
            calls.append(arg)

    logger = logging.getLogger("quorlinpy")
    handler = Keep()
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    quorlin.reset_log_cache()
    try:
        sys.setprofile(watch)
        try:
            got = order(arr, exact=exact), explain(arr, exact=exact).to_dict()
        finally:
            sys.setprofile(None)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
        quorlin.reset_log_cache()
    assert got == expected
    native_calls = [c for c in calls if c in (quorlin._native.order, quorlin._native.explain)]
    assert native_calls == [quorlin._native.order, quorlin._native.explain]
    assert q.compute_order_mervane not in calls
    what = "3 boxes (exact)" if exact else "3 boxes, 0 separators (quality profile)"
    assert [r.getMessage() for r in records if r.getMessage().startswith(("order:", "explain:"))] == [
        f"order: {what}", f"explain: {what}"]
    assert sum(r.getMessage().startswith("[segment] horizontal cut") for r in records) == 2  # one per call
    records.clear()
    order(arr)
    assert records == []  # default configuration: nothing is logged


def test_explain_reports_cuts_with_lazy_ids_and_a_linear_json_form():
    explained = explain(TWO_COLUMNS, ids=["right", "title", "left"], exact=True)
    assert explained.order == ["title", "left", "right"] == order(TWO_COLUMNS, ids=["right", "title", "left"])
    first, second = explained.cuts
    assert (first.axis, first.position, first.gap, first.depth) == ("y", 160.0, 80.0, 0)
    assert first.bounds == (100.0, 50.0, 900.0, 600.0)
    assert (first.ids, first.first, first.second) == (["title", "left", "right"], ["title"], ["left", "right"])
    assert (second.axis, second.depth, second.first, second.second) == ("x", 1, ["left"], ["right"])
    assert explained.fallbacks == [] and explained.set_aside == []
    assert json.loads(json.dumps(explained.to_dict()))["cuts"][1] == {
        "kind": "xy", "axis": "x", "position": 500.0, "gap": 40.0, "depth": 1, "bounds": [100.0, 200.0, 900.0, 600.0],
        "lo": 1, "mid": 2, "hi": 3}


def test_explain_names_fallbacks_and_set_aside_elements():
    # A banner of infinite width (the width gate compares with the widest
    # box) spans both columns and is set aside; the left column cannot be cut.
    boxes = [(float("-inf"), 0, float("inf"), 50), (0, 100, 400, 200), (0, 190, 400, 300), (600, 100, 1000, 300)]
    explained = explain(boxes, exact=True)
    assert explained.set_aside == [0] and explained.order == order(boxes, exact=True)
    assert [(f.kind, f.ids) for f in explained.fallbacks] == [("no_valid_cut", [1, 2])]
    # the profile reads a box without a finite place last, and never hands it to the engine
    assert (explain(boxes).non_finite, explain(boxes).set_aside, order(boxes)[-1]) == ([0], [], 0)
    nan_page = explain([(0, float("nan"), 10, 0), (0, 20, 10, 30)], exact=True)
    assert [(f.kind, f.axis, f.position) for f in nan_page.fallbacks] == [("one_group", "y", 10.0)]
    assert nan_page.to_dict()["fallbacks"][0]["bounds"] == [0.0, 0.0, 10.0, 30.0]
    infinite = explain([(0, 0, 10, 10), (float("inf"), 0, float("inf"), 10)], exact=True).to_dict()
    assert infinite["cuts"][0]["bounds"][2] is None  # JSON has no infinity


def test_a_deep_staircase_is_explained_in_linear_size():
    explained = explain(staircase(20000))
    assert len(explained.cuts) == 19999
    assert explained.cuts[-1].depth == 19998 and explained.cuts[-1].second == [0]
    text = json.dumps(explained.to_dict())
    assert len(text) < 200 * 20000


def test_draw_cuts_on_a_20000_step_staircase(tmp_path):
    page = tmp_path / "stairs.json"
    page.write_text(json.dumps({"elements": [{"id": i, "box": list(b)} for i, b in enumerate(staircase(20000))]}))
    out = tmp_path / "stairs.svg"
    result = run_cli("draw", str(page), "--cuts", "-o", str(out))
    assert (result.returncode, result.stderr) == (0, "")
    groups = {g.get("class"): g for g in ET.parse(out).getroot().iter("{http://www.w3.org/2000/svg}g")}
    assert len(groups["cuts"]) == 19999


def test_order_explain_writes_one_document_per_page(tmp_path):
    page = {"width": 1000, "height": 700, "elements": [{"id": n, "box": list(b)} for n, b in
                                                      zip(["right", "title", "left"], TWO_COLUMNS)]}
    single = tmp_path / "page.json"
    single.write_text(json.dumps(page))
    result = run_cli("order", str(single), "--explain")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert document["source"] == str(single)
    # a JSON page states no direction: read left to right by default
    assert document == {"source": str(single), **explain(TWO_COLUMNS, ids=["right", "title", "left"],
                                                         page_bounds=(0, 0, 1000, 700)).to_dict(),
                        "direction_from": "the default"}
    exact = json.loads(run_cli("order", str(single), "--explain", "--exact").stdout)
    assert exact == {"source": str(single),
                     **explain(TWO_COLUMNS, ids=["right", "title", "left"], exact=True).to_dict(),
                     "direction_from": "the default"}
    lines = tmp_path / "pages.jsonl"
    lines.write_text(json.dumps(page) + "\n{oops\n")
    batch = run_cli("order", str(lines), "--explain")
    first, second = batch.stdout.splitlines()
    assert json.loads(first)["source"] == f"{lines}:1" and json.loads(first)["order"] == document["order"]
    assert json.loads(second)["line"] == 2 and batch.returncode == 1


def test_a_failed_command_leaves_no_output_behind(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text('{"elements": [{"box": [0, 0, 1]}]}')
    out = tmp_path / "out.json"
    assert run_cli("order", str(bad), "-o", str(out)).returncode == 1
    out.write_text("kept")
    assert run_cli("order", str(bad), "-o", str(out)).returncode == 1
    assert out.read_text() == "kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.json", "out.json"]


def test_pages_read_natively_are_written_as_the_python_reader_writes_them():
    path = REALDATA / "pages.jsonl"
    if not path.exists():
        pytest.skip(f"{path} is not present")
    for line in path.read_text().splitlines():
        page = json.loads(line)
        parsed = page_from_json(json.loads(line))
        assert json.dumps(quorlin.order_page(page), ensure_ascii=False) == json.dumps(
            json_document(parsed, page_order(parsed)), ensure_ascii=False)


def test_explanation_objects_show_and_compare_as_before():
    """Reprs as they read, equality by identity (so each cut can be a key), no
    per-object dict."""
    boxes = [(100, 40, 900, 70), (200, 120, 880, 500), (200, 520, 880, 1300), (80, 130, 180, 200),
             (1100, 120, 1505, 1300), (1495, 120, 1900, 1300)]
    explained = explain(boxes, page_bounds=(0, 0, 2000, 1400))
    fold, strip = explained.cuts[:2]
    part = explained.parts[0]
    assert repr(explained) == ("<Explanation (quality) of 6 elements: 4 cuts, 0 fallbacks, 0 set aside, "
                               "1 margin notes, 0 not finite>")
    assert repr(fold) == "ExplainedCut(kind='fold', axis='x', position=1000.0, gap=200.0, depth=0, size=5)"
    assert repr(part) == "Part(top_strip=True, size=1, depth=2, shrink=(20.0, 7.0))"
    exact = explain([(0, 0, 10, 10), (0, float("nan"), 10, 0)], exact=True)
    assert repr(exact.fallbacks) == "[Fallback(kind='no_valid_cut', depth=0, size=2)]"
    again = explain(boxes, page_bounds=(0, 0, 2000, 1400))
    assert fold == fold and fold != again.cuts[0] and len({fold, strip, again.cuts[0]}) == 3
    for obj in (explained, fold, part, exact.fallbacks[0]):
        assert not hasattr(obj, "__dict__")
