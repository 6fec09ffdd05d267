"""Invariants of the generated page collections of bench/data (pytest).

    .venv/bin/python -m pytest -q bench/data/generate/test_pages.py
"""
import json
import os
from collections import Counter

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.dirname(HERE)
BLOCKS = os.path.join(DATA, "born_digital.jsonl")
LINES = os.path.join(DATA, "born_digital_lines.jsonl")
LABELS = {"title", "section-header", "text", "list-item", "caption", "footnote",
          "formula", "table", "picture", "page-header", "page-footer"}


def load(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


@pytest.fixture(scope="module")
def blocks():
    return load(BLOCKS)


@pytest.fixture(scope="module")
def lines():
    return load(LINES)


def overlap(a, b):
    return max(0, min(a[2], b[2]) - max(a[0], b[0])) * max(0, min(a[3], b[3]) - max(a[1], b[1]))


@pytest.mark.parametrize("which", ["blocks", "lines"])
def test_page_invariants(which, request):
    """Every id once, the order covers exactly the non-decoration elements,
    chains concatenate to gt_order, boxes are non-empty and on the page."""
    for p in request.getfixturevalue(which):
        src = p["source"]
        ids = [e["id"] for e in p["elements"]]
        assert sorted(ids) == list(range(len(ids))), src
        assert [i for c in p["gt_chains"] for i in c] == p["gt_order"], src
        assert len(set(p["gt_order"])) == len(p["gt_order"]), src
        assert set(p["gt_order"]).isdisjoint(p["unordered_ids"]), src
        assert set(p["gt_order"]) | set(p["unordered_ids"]) == set(ids), src
        assert len(p["gt_order"]) >= 3, src
        for e in p["elements"]:
            x1, y1, x2, y2 = e["box"]
            assert 0 <= x1 < x2 <= p["width"] and 0 <= y1 < y2 <= p["height"], (src, e)
            assert [e["x1"], e["y1"], e["x2"], e["y2"]] == e["box"], (src, e)
            assert e["label"] in LABELS, (src, e)
            if e.get("role") == "page-number":
                assert e["label"] in ("page-header", "page-footer"), (src, e)
        assert p["license"] == "CC0-1.0" and p["generated"] is True, src


def test_ordered_blocks_do_not_overlap(blocks):
    """Regions that a layout engine placed never overlap; an overlap means the
    box reading from the layout tree went wrong."""
    for p in blocks:
        od = [e["box"] for e in p["elements"] if e["id"] not in set(p["unordered_ids"])]
        for i, a in enumerate(od):
            for b in od[i + 1:]:
                assert overlap(a, b) == 0, (p["source"], a, b)


def test_page_furniture_order(blocks):
    """Running heads open the order, a page number in the bottom margin closes
    the main chain, footnotes come after the body text."""
    for p in blocks:
        els = {e["id"]: e for e in p["elements"]}
        main = p["gt_chains"][0]
        labels = [els[i]["label"] for i in main]
        heads = [k for k, lab in enumerate(labels) if lab == "page-header"]
        assert heads == list(range(len(heads))), p["source"]
        feet = [k for k, lab in enumerate(labels) if lab == "page-footer"]
        assert feet == list(range(len(labels) - len(feet), len(labels))), p["source"]
        nums = [k for k in feet if els[main[k]].get("role") == "page-number"]
        if nums:
            assert nums[-1] == len(labels) - 1, p["source"]
        fns = [k for k, lab in enumerate(labels) if lab == "footnote"]
        body = [k for k, lab in enumerate(labels) if lab not in ("footnote", "page-header", "page-footer")]
        if fns and body:
            assert min(fns) > max(body), p["source"]


def test_lines_match_blocks(blocks, lines):
    """Each line lies inside its block, and the line order visits the blocks
    in the block order."""
    by_src = {p["source"]: p for p in blocks}
    assert set(by_src) == {p["source"] for p in lines}
    for lp in lines:
        bp = by_src[lp["source"]]
        bels = {e["id"]: e for e in bp["elements"]}
        pos = {b: k for k, b in enumerate(bp["gt_order"])}
        lels = {e["id"]: e for e in lp["elements"]}
        for e in lp["elements"]:
            b = bels[e["block"]]["box"]
            x1, y1, x2, y2 = e["box"]
            assert b[0] - 1 <= x1 and y1 >= b[1] - 1 and x2 <= b[2] + 1 and y2 <= b[3] + 1, (lp["source"], e)
            assert e["label"] == bels[e["block"]]["label"]
        seq = [pos[lels[i]["block"]] for i in lp["gt_order"]]
        assert seq == sorted(seq), lp["source"]
        assert {lels[i]["block"] for i in lp["gt_order"]} == set(bp["gt_order"]), lp["source"]


def test_collections_and_size(blocks):
    counts = Counter(p["collection"] for p in blocks)
    assert sum(counts.values()) >= 150
    assert len(counts) >= 3
    assert all(n >= 20 for n in counts.values()), counts
    total = sum(os.path.getsize(os.path.join(DATA, f)) for f in os.listdir(DATA)
                if f.startswith("born_digital") and f.endswith(".jsonl"))
    assert total < 15 * 2 ** 20


def test_generator_reproduces_a_stored_page(blocks):
    """Re-typesetting one document gives the stored pages again (same fonts
    and WeasyPrint version needed; see README)."""
    pytest.importorskip("weasyprint")
    import sys
    sys.path.insert(0, HERE)
    import build
    _, info, doc = build.render("paper-2col", 1003)
    recs = build.page_records("paper-2col", 1003, doc, info, "generate/build.py")
    stored = [p for p in blocks if p["source"].startswith("generate/build.py --kind paper-2col --seed 1003 ")]
    assert [r for r, _ in recs] == stored
