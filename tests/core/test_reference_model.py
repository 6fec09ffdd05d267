"""Checks of the pure-Python reference model against hand-worked pages."""

import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

import reference_model as rm

NAN, INF = math.nan, math.inf
NEG_NAN = struct.unpack("<f", struct.pack("<I", 0xFFC00000))[0]
ENTRY = ("quorlinpy", 10, 242)


def rec(id_, x1, y1, x2, y2):
    return rm.make_record(id_, x1, y1, x2, y2)


def sign(x):
    return math.copysign(1.0, x)


def engine(level, line, msg):
    return ("quorlinpy.mervane", level, line, msg)


# --- single precision, IEEE helpers and number formatting -----------------

FLT_MAX = struct.unpack("<f", struct.pack("<I", 0x7F7FFFFF))[0]


def test_f32_and_ieee_helpers():
    assert (rm.f32(1e39), rm.f32(-1e39), rm.f32(0.1)) == (INF, -INF, 0.10000000149011612)
    assert rm.f32(FLT_MAX * (1 + 2 ** -25)) == FLT_MAX      # below the midpoint: stays finite
    assert sign(rm.f32(NEG_NAN)) < 0 and math.isnan(rm.f32(NEG_NAN))
    assert sign(rm.min_num(0.0, -0.0)) < 0 and sign(rm.max_num(-0.0, 0.0)) > 0
    assert rm.min_num(NAN, 3.0) == 3.0 and rm.max_num(3.0, NAN) == 3.0
    assert sign(rm.min_num(NEG_NAN, NAN)) < 0 and sign(rm.max_num(NAN, NEG_NAN)) > 0
    ladder = [NEG_NAN, -INF, -1.0, -0.0, 0.0, 1e-45, 1.0, INF, NAN]
    keys = [rm.total_order_key(v) for v in ladder]
    assert keys == sorted(keys) and len(set(keys)) == len(keys)


@pytest.mark.parametrize("fmt, value, text", [
    (rm.fmt1, 12.75, "12.8"), (rm.fmt1, -0.0, "-0.0"), (rm.fmt1, -INF, "-inf"),
    (rm.fmt3, NEG_NAN, "NaN"),
])
def test_formatting(fmt, value, text):
    assert fmt(value) == text


# --- element orderings ------------------------------------------------------

A, B, C = rec("A", 50, 10, 60, 20), rec("B", 0, 10, 10, 30), rec("C", 0, 5, 10, 8)


@pytest.mark.parametrize("order, records, expected", [
    (rm.y_then_x, [A, B, C], "CBA"),
    (rm.vertical_extent_order, [A, B, C], "CAB"),
    (rm.horizontal_extent_order, [A, B, C], "BCA"),
    # a smaller top wins whatever the lefts, also -0.0 against +0.0
    (rm.y_then_x, [rec("P", 0, 0.0, 10, 5), rec("Q", 500, -0.0, 510, 5)], "QP"),
    # NaN tops of both signs around the infinities; one NaN corner is ignored
    (rm.y_then_x, [rec("P", 0, NAN, 1, NAN), rec("Q", 0, INF, 1, INF),
                   rec("R", 0, NEG_NAN, 1, NEG_NAN), rec("S", 0, -INF, 1, -INF)], "RSQP"),
    # swapped corners give identical keys, so input order is kept
    (rm.y_then_x, [rec("Q", 100, 50, 10, 5), rec("P", 10, 5, 100, 50), rec("R", 0, 6, 1, 7)], "QPR"),
])
def test_orderings(order, records, expected):
    assert "".join(r[0] for r in order(records)) == expected


# --- segmentation -----------------------------------------------------------

def H(y, gap, n):
    return engine(10, 263, f"[segment] horizontal cut at y={y} (gap={gap}) on {n} elements")


def V(x, gap, n):
    return engine(10, 270, f"[segment] vertical cut at x={x} (gap={gap}) on {n} elements")


def SPLIT(a, b):
    return engine(10, 287, f"[segment] split into 2 groups: {a}, {b}")


def NOCUT(n):
    return engine(10, 254, f"[segment] no valid cuts for {n} elements, falling back to y-then-x sort")


@pytest.mark.parametrize("records, prefer, ids, lines", [
    pytest.param([rec(1, 0, 0, 10, 10), rec(2, 0, 15, 10, 20)], False, [1, 2],
                 [H("12.5", "5.0", 2), SPLIT(1, 1)], id="gap-5.0-cuts"),
    pytest.param([rec(2, 0, 14.9, 10, 20), rec(1, 0, 0, 10, 10)], False, [1, 2],
                 [NOCUT(2)], id="gap-4.9-falls-back"),
    pytest.param([rec(1, 0, 0, 10, 10), rec(2, 20, 0, 30, 10), rec(3, 40, 0, 50, 10)], False,
                 [1, 2, 3], [V("15.0", "10.0", 3), SPLIT(1, 2), V("35.0", "10.0", 2), SPLIT(1, 1)],
                 id="equal-gaps-first-wins"),
    pytest.param([rec(1, 0, 20, 10, 30), rec(2, 20, 0, 30, 10)], True, [2, 1],
                 [H("15.0", "10.0", 2), SPLIT(1, 1)], id="tie-prefers-horizontal"),
    pytest.param([rec(1, 0, 20, 10, 30), rec(2, 20, 0, 30, 10)], False, [1, 2],
                 [V("15.0", "10.0", 2), SPLIT(1, 1)], id="tie-prefers-vertical"),
    pytest.param([rec(1, 0, 20, 10, 30), rec(2, 20.5, 0, 30, 10)], True, [1, 2],
                 [V("15.2", "10.5", 2), SPLIT(1, 1)], id="wider-vertical-beats-flag"),
    pytest.param([rec(1, 0, 0, 45, 100), rec(2, 55, 0, 100, 100), rec(3, 48, 50, 52, 52)], False,
                 [1, 2, 3], [V("50.0", "10.0", 3), SPLIT(1, 2), NOCUT(2)], id="gutter-refinement"),
    pytest.param([rec(2, 0, 20, 10, 30), rec(1, 0, NAN, 10, 0)], False, [1, 2],
                 [H("10.0", "20.0", 2),
                  engine(30, 279, "[segment] cut produced only 1 group for 2 elements, "
                                  "falling back to y-then-x sort")], id="one-group-warning"),
])
def test_segmentation(records, prefer, ids, lines):
    log = []
    assert [r[0] for r in rm.segment(records, prefer, log)] == ids
    assert log == lines


def test_deep_staircase_keeps_depth_first_order():
    n = 1500
    stairs = [rec(k, 10 * k, 10 * k, 10 * k + 5, 10 * k + 5) for k in range(n)]
    log = []
    assert [r[0] for r in rm.segment(stairs[::-1], True, log)] == list(range(n))
    assert log[:2] == [H("7.5", "5.0", n), SPLIT(1, n - 1)]
    assert log[-2:] == [H(f"{10 * n - 12.5:.1f}", "5.0", 2), SPLIT(1, 1)]


# --- cross-layout merge -----------------------------------------------------

def tops(*values):
    return [rec(f"m{i}", 0, t, 10, t) for i, t in enumerate(values)]


@pytest.mark.parametrize("main, cross, ids", [
    (tops(10, 20), [rec("c", 0, 20, 9, 26)], ["m0", "c", "m1"]),
    # two-column page: left column tops 0, 100, then right column tops 0, 100
    (tops(0, 100, 0, 100), [rec("c", 0, 50, 9, 60)], ["m0", "c", "m1", "m2", "m3"]),
    # equal tops: left to right, then input order
    (tops(10), [rec("b", 50, 5, 60, 6), rec("a", 0, 5, 9, 6), rec("a2", 0, 5, 1, 6)],
     ["a", "a2", "b", "m0"]),
    # NaN tops (either sign) never precede a main element
    (tops(0, 10), [rec("n", 0, NAN, 9, NAN), rec("c", 0, 5, 9, 6)], ["m0", "c", "m1", "n"]),
    (tops(0, 10), [rec("n", 0, NEG_NAN, 9, NEG_NAN)], ["m0", "m1", "n"]),
    # a main element with a NaN top goes out before the current cross element
    (tops(NAN, 0), [rec("c", 0, -100, 9, 6)], ["m0", "c", "m1"]),
])
def test_merge(main, cross, ids):
    log = []
    assert [r[0] for r in rm.merge_cross_layout(main, cross, log)] == ids
    k, m = len(cross), len(main)
    assert log == [
        engine(10, 468, f"[merge] merging {k} cross-layout elements into {m} main elements"),
        engine(10, 500, f"[merge] result: {k + m} elements total"),
    ]


# --- whole pipeline with the entry line -------------------------------------

def sort_head(n, k):
    return [ENTRY + (f"compute_order_mervane: {n} elements",),
            engine(10, 87, f"[sort] {n} elements (beta=2, density_threshold=0.9)"),
            engine(10, 110, f"[sort] cross-layout: {k}, remaining: {n - k}")]


def DENSITY(ratio, prefer):
    return engine(10, 126, f"[sort] density_ratio={ratio}, prefer_horizontal_first={prefer}")


TWO_COLUMNS_WITH_BANNER = [rec(5, 0, 50, 100, 60), rec(1, 0, 0, 40, 90), rec(3, 60, 0, 100, 90),
                           rec(2, 0, 100, 40, 190), rec(4, 60, 100, 100, 190)]


@pytest.mark.parametrize("records, ref, ids, lines", [
    pytest.param([], None, [], [ENTRY + ("compute_order_mervane: 0 elements",)], id="empty"),
    pytest.param([rec(7, 0, 0, 1, 1)], None, [7], [ENTRY + ("compute_order_mervane: 1 elements",)],
                 id="single"),
    pytest.param([rec(1, 0, 0, 10, 10), rec(2, 20, 0, 30, 10)], None, [1, 2],
                 sort_head(2, 0) + [DENSITY("0.667", "false"), V("15.0", "10.0", 2), SPLIT(1, 1)],
                 id="density-0.667"),
    pytest.param([rec(2, 0, 5.5, 10, 10), rec(1, 0, 0, 10, 4.5)], None, [1, 2],
                 sort_head(2, 0) + [DENSITY("0.900", "false"), NOCUT(2)], id="density-at-threshold"),
    pytest.param([rec(2, 20, 0, 30, 0), rec(1, 0, 0, 10, 0)], None, [1, 2],
                 sort_head(2, 0) + [DENSITY("1.000", "true"), V("15.0", "10.0", 2), SPLIT(1, 1)],
                 id="zero-union-area"),
    pytest.param(TWO_COLUMNS_WITH_BANNER, 40.0, [1, 5, 2, 3, 4],
                 sort_head(5, 1) + [DENSITY("0.758", "false"), V("50.0", "20.0", 4), SPLIT(2, 2),
                                    H("95.0", "10.0", 2), SPLIT(1, 1), H("95.0", "10.0", 2), SPLIT(1, 1),
                                    engine(10, 468, "[merge] merging 1 cross-layout elements into 4 main elements"),
                                    engine(10, 500, "[merge] result: 5 elements total")],
                 id="banner-merged-into-left-column"),
    pytest.param([rec(3, 0, 40, 100, 50), rec(1, 0, 0, 100, 10), rec(2, 0, 20, 100, 30)], 0.0, [1, 2, 3],
                 sort_head(3, 3) + [engine(30, 117, "[sort] all elements are cross-layout, "
                                                    "falling back to y-then-x sort")],
                 id="all-cross-layout"),
])
def test_pipeline(records, ref, ids, lines):
    assert rm.compute_order(records, reference_width=ref) == (ids, lines)


WIDE = rec("X", 0, 0, 100, 10)
RIGHT_PARTNER = rec("Q", 99, 20, 109, 30)          # overlap 1 of width 10: ratio exactly 0.1


@pytest.mark.parametrize("records, ref, k", [
    ([WIDE, rec("P", -9, 20, 1, 30), RIGHT_PARTNER], 10.0, 1),
    ([WIDE, rec("P", -9, 20, 0.99999994, 30), RIGHT_PARTNER], 10.0, 0),   # ratio just below 0.1
    ([WIDE, rec("P", -10, 20, 0, 30), RIGHT_PARTNER], 10.0, 0),           # touching only
    ([WIDE, rec("P", -9, 20, 1, 30), RIGHT_PARTNER], None, 0),            # default gate: max width
    ([rec("X", -INF, 0, INF, 10), rec("P", 0, 20, 10, 30), rec("Q", 20, 20, 30, 30)], None, 1),
])
def test_cross_layout_detection(records, ref, k):
    _, log = rm.order_records(records, reference_width=ref)
    assert log[1][3] == f"[sort] cross-layout: {k}, remaining: {len(records) - k}"


coord = st.one_of(st.floats(-50, 150, width=32), st.sampled_from([NAN, NEG_NAN, INF, -INF, -0.0]))
box = st.tuples(coord, coord, coord, coord)


@settings(max_examples=300, deadline=None)
@given(st.lists(box, max_size=12), st.one_of(st.none(), st.floats(0, 60, width=32)))
def test_any_page_yields_a_permutation(boxes, ref):
    records = [rec(i, *b) for i, b in enumerate(boxes)]
    ids, log = rm.compute_order(records, reference_width=ref)
    assert sorted(ids) == list(range(len(records)))
    assert all(level == (30 if line in (117, 279) else 10) for _, level, line, _ in log)
