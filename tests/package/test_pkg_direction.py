"""Pages read right to left and in vertical columns: ``direction=`` and ``--direction``."""

from __future__ import annotations

import json
import random
from pathlib import Path

import pytest
from pkg_helpers import run_cli

import quorlin
from quorlin.batch import order_page
from quorlin.evaluation.scoring import kendall_tau
from quorlin.formats import read_page
from quorlin.profile import DEFAULT_OPTIONS
from quorlin.profile import order as order_with

SAMPLES = Path(__file__).resolve().parents[1] / "data" / "formats"


def mirrored(box):
    x1, y1, x2, y2 = box
    return (-x1, y1, -x2, y2)


def turned(box):
    x1, y1, x2, y2 = box
    return (y1, -x1, y2, -x2)


def random_page(seed):
    rng = random.Random(seed)
    boxes = []
    for _ in range(rng.randint(0, 40)):
        x, y = rng.uniform(0, 900), rng.uniform(0, 1300)
        boxes.append((x, y, x + rng.uniform(1, 300), y + rng.uniform(1, 120)))
    separators = [(450, 0, 452, 1400)] if seed % 3 == 0 else []
    return boxes, separators


# The steps measured on pages of rows only, off on a page of vertical columns.
ROW_STEPS = dict(spread=False, top_strip=False, foot_line=False, margins=False, tolerance=False, furniture=False,
                 footnotes=False)


@pytest.mark.parametrize(("direction", "turn", "profile"), [
    ("rtl", mirrored, "exact"), ("rtl", mirrored, DEFAULT_OPTIONS),
    ("ttb", turned, "exact"), ("ttb", turned, DEFAULT_OPTIONS.replace(**ROW_STEPS)),
])
def test_a_direction_orders_the_turned_page(direction, turn, profile):
    # what the direction means: the order of the same page turned so that it reads left to right
    labels = ["text", "page-header", "footnote", "caption", "picture", "page-number"]
    for seed in range(60):
        boxes, separators = random_page(seed)
        kinds = [labels[i % len(labels)] for i in range(len(boxes))]
        bounds = (0, 0, 1200, 1400)
        got = quorlin.order(boxes, kinds, page_bounds=bounds, separators=separators, exact=profile == "exact",
                            direction=direction)
        arguments = {"page_bounds": turn(bounds), "separators": [turn(s) for s in separators]}
        if profile == "exact":
            want = quorlin.order([turn(b) for b in boxes], exact=True, **arguments)
        else:
            want = order_with([turn(b) for b in boxes], options=profile, labels=kinds, **arguments)
        assert got == want, seed
        assert sorted(got) == list(range(len(boxes)))


TITLE, LEFT, RIGHT = (100, 50, 900, 120), (100, 200, 480, 600), (520, 200, 900, 600)
# three vertical columns of text, the rightmost read first in vertical CJK
COLUMNS = [(400, 100, 460, 900), (800, 100, 860, 900), (600, 100, 660, 900)]


@pytest.mark.parametrize(("boxes", "direction", "expected"), [
    ([RIGHT, TITLE, LEFT], "ltr", [1, 2, 0]),
    ([RIGHT, TITLE, LEFT], "rtl", [1, 0, 2]),
    (COLUMNS, "ltr", [0, 2, 1]),
    (COLUMNS, "rtl", [1, 2, 0]),
    (COLUMNS, "ttb", [1, 2, 0]),
    # a title over vertical columns spans them, as it would a row: read first
    ([(400, 20, 860, 60), *COLUMNS], "ttb", [0, 2, 3, 1]),
])
@pytest.mark.parametrize("exact", [False, True])
def test_columns_in_each_direction(boxes, direction, expected, exact):
    assert quorlin.order(boxes, page_bounds=(0, 0, 1000, 1000), exact=exact, direction=direction) == expected


@pytest.mark.parametrize(("direction", "axis", "position"), [("ltr", "x", 500.0), ("rtl", "x", 500.0)])
def test_cuts_are_explained_in_page_coordinates(direction, axis, position):
    explained = quorlin.explain([RIGHT, TITLE, LEFT], page_bounds=(0, 0, 1000, 700), exact=True,
                                direction=direction)
    between_columns = [c for c in explained.cuts if c.ids and set(c.ids) == {0, 2}]
    assert [(c.axis, c.position) for c in between_columns] == [(axis, position)]
    for cut in explained.cuts:
        left, top, right, bottom = cut.bounds
        assert 100 <= left <= right <= 900 and 50 <= top <= bottom <= 600


def test_vertical_columns_are_cut_between_columns_in_page_coordinates():
    explained = quorlin.explain(COLUMNS, page_bounds=(0, 0, 1000, 1000), exact=True, direction="ttb")
    assert [c.axis for c in explained.cuts] == ["x", "x"]
    assert sorted(c.position for c in explained.cuts) == [530.0, 730.0]
    for cut in explained.cuts:
        left, top, right, bottom = cut.bounds
        assert 400 <= left <= right <= 860 and (top, bottom) == (100, 900)
    quality = quorlin.explain(COLUMNS, page_bounds=(0, 0, 1000, 1000), direction="ttb")
    for part in quality.parts:  # the frame is the page, as the page lies
        assert part.frame == (0.0, 0.0, 1000.0, 1000.0)


@pytest.mark.parametrize("call", [
    lambda: quorlin.order([TITLE], direction="sideways"),
    lambda: quorlin.explain([TITLE], direction="RTL"),
    lambda: quorlin.page_order(read_page(SAMPLES / "page" / "page2013_kraken_testfixture_explicit_ro.xml"),
                               direction="up"),
    lambda: order_page({"elements": [{"box": list(TITLE)}]}, direction="auto "),
])
def test_an_unknown_direction_is_refused(call):
    with pytest.raises(ValueError, match="direction"):
        call()


def stored_tau(page, direction="auto"):
    return kendall_tau(quorlin.page_order(page, direction=direction), page.reading_order).tau


def test_syriac_page_against_its_human_order():
    page = read_page(SAMPLES / "page" / "page2013_transkribus_syriac_SMMJ36_0125.xml")
    assert page.direction.direction == "rtl"
    assert stored_tau(page) >= 0.9 > stored_tau(page, "ltr")
    # its fifth region, the folio number (NumberingZone), read last as the human order reads it
    assert page.reading_order[-1] == "r_2" == quorlin.page_order(page)[-1]


def test_syriac_alto_against_the_human_order_of_the_same_page():
    human = read_page(SAMPLES / "page" / "page2013_transkribus_syriac_SMMJ36_0125.xml").reading_order
    page = read_page(SAMPLES / "alto" / "alto4_escriptorium_syriac_SMMJ36_0125.xml")
    assert page.direction.direction == "rtl"
    assert kendall_tau(quorlin.page_order(page), human).tau >= 0.9


def test_vertical_japanese_against_the_order_its_engine_wrote():
    page = read_page(SAMPLES / "hocr" / "gcv2hocr_jp_vertical.hocr")
    written = [r.id for r in page.regions]  # columns right to left, each top to bottom
    assert page.direction.direction == "ttb"
    assert kendall_tau(quorlin.page_order(page), written).tau >= 0.9
    assert kendall_tau(quorlin.page_order(page, direction="ltr"), written).tau < 0


def test_the_command_line(tmp_path):
    path = tmp_path / "page.json"
    path.write_text(json.dumps({"width": 1000, "height": 700, "elements": [
        {"id": name, "box": list(box)} for name, box in zip("rtl", [RIGHT, TITLE, LEFT])]}))
    assert json.loads(run_cli("order", str(path)).stdout)["order"] == ["t", "l", "r"]
    result = run_cli("-v", "order", str(path), "--direction", "rtl")
    assert json.loads(result.stdout)["order"] == ["t", "r", "l"]
    assert f"quorlinpy: {path}: read rtl (asked for)" in result.stderr.splitlines()
    explained = json.loads(run_cli("order", str(path), "--direction", "rtl", "--explain").stdout)
    assert (explained["direction"], explained["direction_from"], explained["order"]) == ("rtl", "asked for",
                                                                                          ["t", "r", "l"])
    lines = tmp_path / "pages.jsonl"
    lines.write_text(path.read_text() + "\n" + path.read_text() + "\n")
    ordered = run_cli("order", str(lines), "--direction", "rtl", "--jobs", "2").stdout.splitlines()
    assert [json.loads(line)["order"] for line in ordered] == [["t", "r", "l"]] * 2
    syriac = SAMPLES / "page" / "page2013_transkribus_syriac_SMMJ36_0125.xml"
    shown = run_cli("-v", "order", str(syriac), "-o", str(tmp_path / "out.xml")).stderr
    assert f"quorlinpy: {syriac}: read rtl (the letters of the text)" in shown.splitlines()
