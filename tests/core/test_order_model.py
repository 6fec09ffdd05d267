"""The module against the pure-Python reference model: the same order and the
same log records, on random pages of every kind of coordinate."""

import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _quorlin_core as q
import reference_model as model

BOUNDS = (0.0, 0.0, 1000.0, 1000.0)
SPECIAL = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5.0, 2.0**26, 2.0**26 + 8, 3e38, -3e38, 1e-45, 1e-39]

grid = st.integers(-20, 120).map(lambda v: float(v * 5))  # many exact gaps of 5 and ties
fine = st.floats(-1000, 1000, width=32)
wild = st.floats(width=32, allow_nan=True, allow_infinity=True) | st.sampled_from(SPECIAL)
coordinate = st.one_of(grid, grid, fine, wild)


@st.composite
def pages(draw, coord=coordinate, max_size=40):
    n = draw(st.integers(0, max_size))
    ids = draw(st.sampled_from(["unique", "duplicates"]))
    elements = []
    for i in range(n):
        x1, y1 = draw(coord), draw(coord)
        # mostly boxes of ordinary size, so that pages have real gaps
        if draw(st.booleans()):
            x2 = x1 + draw(st.integers(0, 300))
            y2 = y1 + draw(st.integers(0, 120))
        else:
            x2, y2 = draw(coord), draw(coord)
        id_ = i if ids == "unique" else draw(st.integers(0, 3))
        elements.append(q.Element(id_, x1, y1, x2, y2, q.SemanticLabel.Regular))
    return elements


def records_of(elements):
    return [(e.id, e.x1, e.y1, e.x2, e.y2) for e in elements]


def check_against_model(elements, capture):
    capture.records.clear()
    got = q.compute_order_mervane(elements, BOUNDS)
    ids, lines = model.compute_order(records_of(elements))
    assert got == ids
    assert capture.lines() == lines


@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pages())
def test_random_pages_match_the_model(debug_log, elements):
    check_against_model(elements, debug_log)


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pages(coord=st.sampled_from(SPECIAL) | grid, max_size=12))
def test_degenerate_pages_match_the_model(debug_log, elements):
    check_against_model(elements, debug_log)


def column_page(rng, columns, rows):
    """A page of text blocks in columns, with a full-width title, a spanning
    figure and footnotes; coordinates jittered so that gaps vary."""
    boxes = [(40, 20, 560, 60)]
    width = 520 / columns
    for c in range(columns):
        y = 80.0
        for _ in range(rows):
            h = rng.uniform(20, 90)
            boxes.append((40 + c * width + 4, y, 40 + (c + 1) * width - 4, y + h))
            y += h + rng.choice([2, 4.9, 5, 8, 15])
    boxes.append((40, 700, 560, 780))
    boxes += [(40, 800 + 12 * k, 560, 810 + 12 * k) for k in range(2)]
    rng.shuffle(boxes)
    return [q.Element(i, *b, q.SemanticLabel.Regular) for i, b in enumerate(boxes)]


@pytest.mark.parametrize("seed", range(300))
def test_column_pages_match_the_model(debug_log, seed):
    rng = random.Random(seed)
    check_against_model(column_page(rng, rng.randint(1, 4), rng.randint(1, 8)), debug_log)


def test_deep_staircase_matches_the_model(debug_log):
    # each cut peels one element off: the deepest recursion
    n = 400
    elements = [q.Element(i, 10 * i, 10 * i, 10 * i + 4, 10 * i + 4, q.SemanticLabel.Regular) for i in range(n)]
    check_against_model(list(reversed(elements)), debug_log)


def test_real_pages_match_the_model(debug_log, realdata_pages):
    for page in realdata_pages[:60]:
        elements = [q.Element(e["id"], e["x1"], e["y1"], e["x2"], e["y2"], q.SemanticLabel.Regular)
                    for e in page["elements"]]
        check_against_model(elements, debug_log)
