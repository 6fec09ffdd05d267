"""quorlin._native: exactly the core's order on the same boxes, its conversion
of every array layout and number type by one rule for boxes, separators and
page bounds, its refusals, its log (the core's lines in a call that logs,
nothing in any other), its reports against the core's own log lines, and its
use from threads."""

import array
import contextlib
import ctypes
import json
import logging
import math
import random
import shutil
import struct
import subprocess
import threading

import pytest
from conftest import run_python
from hypothesis import given, settings, strategies as st

import _quorlin_core as q
import quorlin
from quorlin.labels import role_code
from quorlin import _native
from quorlin.formats.jsonpage import element_label, page_from_json
from quorlin.ordering import page_order
from quorlin.page import Region

np = pytest.importorskip("numpy")

R = q.SemanticLabel.Regular
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]


def core_order(rows):
    """The core's order of boxes given as Python numbers."""
    elements = [q.Element(i, *(float(v) for v in row), R) for i, row in enumerate(rows)]
    return q.compute_order_mervane(elements, (0, 0, 0, 0))


def real_boxes(page):
    return [[e["x1"], e["y1"], e["x2"], e["y2"]] for e in page["elements"]]


def test_real_pages_in_every_number_type_equal_the_core(realdata_pages):
    for page in realdata_pages:
        rows = real_boxes(page)
        for dtype in ("<f8", "<f4", ">f8", "<i4", "<u2", "<i8", "<f2"):
            arr = np.array(rows, dtype=dtype)
            assert _native.order(arr) == core_order(arr.tolist()), (page["source"], dtype)
        assert _native.order(rows) == core_order(rows)


SPECIAL = [math.nan, NEG_NAN, math.inf, -math.inf, 0.0, -0.0, 1e39, -1e39, 3.4028235e38, 2.0**26 + 4, 1e-45]
coordinate = st.one_of(
    st.integers(0, 40).map(lambda k: 5.0 * k),  # a grid: ties, touching boxes, gaps of exactly 5
    st.floats(-50, 250, width=32),
    st.sampled_from(SPECIAL),
)


@st.composite
def pages(draw):
    rows = []
    for _ in range(draw(st.integers(0, 40))):
        if rows and draw(st.integers(0, 9)) == 0:
            rows.append(list(rows[draw(st.integers(0, len(rows) - 1))]))  # a duplicate box
            continue
        x1, y1 = draw(coordinate), draw(coordinate)
        if draw(st.booleans()):
            rows.append([x1, y1, x1 + 5.0 * draw(st.integers(-2, 12)), y1 + 5.0 * draw(st.integers(-2, 12))])
        else:
            rows.append([x1, y1, draw(coordinate), draw(coordinate)])
    return rows


@settings(max_examples=400, deadline=None)
@given(pages())
def test_random_pages_equal_the_core(rows):
    expected = core_order(rows)
    assert _native.order(rows) == expected
    assert _native.order(np.array(rows, dtype=np.float64).reshape(-1, 4)) == expected
    assert _native.order(rows, profile="exact") == expected
    assert _native.explain(rows)[0] == expected


def _doubles(n):
    return array.array("d", [float(v) for v in range(4 * n)])


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda a: a[::-1], id="negative-row-stride"),
        pytest.param(lambda a: a[:, ::-1], id="negative-column-stride"),
        pytest.param(lambda a: np.asfortranarray(a), id="column-major"),
        pytest.param(lambda a: np.hstack([a, a])[:, ::2], id="strided-columns"),
        pytest.param(lambda a: a.astype(">f4"), id="big-endian"),
        pytest.param(lambda a: a.astype(np.uint64) + np.uint64(2**62), id="uint64-above-2^53"),
        pytest.param(lambda a: a.astype(np.int64) - np.int64(2**62), id="int64-below-minus-2^53"),
        pytest.param(lambda a: a.astype(np.int8), id="int8"),
        pytest.param(lambda a: a.astype(np.float16) / np.float16(1e4), id="float16-subnormals"),
        pytest.param(lambda a: memoryview(a.astype(np.float64)), id="memoryview"),
    ],
)
def test_layouts_and_types_read_as_python_reads_them(make):
    rng = np.random.default_rng(5)
    base = rng.integers(-100, 100, size=(60, 4)).astype(np.float64)
    data = make(base)
    rows = data.tolist()
    assert _native.order(data) == core_order(rows)


def test_read_only_buffers_and_cast_memoryviews():
    values = _doubles(6)
    view = memoryview(values).cast("B").cast("d", (6, 4))
    rows = view.tolist()
    assert _native.order(view) == core_order(rows)
    frozen = np.array(rows)
    frozen.setflags(write=False)
    assert _native.order(frozen) == core_order(rows)
    assert _native.order(memoryview(frozen)) == core_order(rows)


def test_float16_nan_payloads_and_float32_signalling_nans_match_the_core():
    halves = np.array([[0x7C01, 0, 0x3C00, 0x3C00], [0xFE00, 0, 0x4000, 0x4000]], dtype=np.uint16).view(np.float16)
    assert _native.order(halves) == core_order(halves.tolist())
    singles = np.array([[0x7F800001, 0, 0x3F800000, 0x40000000], [0xFFC00001, 0x3F800000, 0, 0]],
                       dtype=np.uint32).view(np.float32)
    assert _native.order(singles) == core_order(singles.tolist())


@pytest.mark.parametrize(
    ("boxes", "error", "message"),
    [
        (np.zeros((3, 5)), ValueError, r"^boxes: expected an N x 4 array of numbers, got shape \(3, 5\)$"),
        (np.zeros(8), ValueError, r"got shape \(8,\)$"),
        (array.array("d", [0.0] * 8), ValueError, r"got shape \(8,\)$"),
        (np.zeros((2, 4, 1)), ValueError, r"got shape \(2, 4, 1\)$"),
        (np.zeros((2, 4), bool), TypeError, r"got booleans \(format '\?'\)$"),
        (np.zeros((2, 4), complex), TypeError, r"got complex numbers \(format 'Zd'\)$"),
        (np.zeros((2, 4), object), TypeError, r"got objects \(format 'O'\)$"),
        (np.zeros((2, 4), "U3"), TypeError, r"got strings \(format '3w'\)$"),
        (np.zeros((2, 4), [("a", "f4")]), TypeError, r"^boxes: expected an N x 4 array of numbers, got"),
        ("0000", TypeError, r"^boxes must be a sequence, not str$"),
        (5, TypeError, r"^boxes must be a sequence, not int$"),
        ([(0, 0, 1)], ValueError, r"^box 0: expected 4 numbers \(x1, y1, x2, y2\), got 3$"),
        ([(0, 0, 1, 1), "abcd"], TypeError, r"^box 1: expected 4 numbers, got str$"),
        ([(0, 0, 1, 1), iter((0, 0, 1, 1))], TypeError, r"^box 1: expected 4 numbers, got tuple_iterator$"),
        ([(0, 0, "x", 1)], TypeError, r"^box 0: coordinates must be numbers, got \(0, 0, 'x', 1\)$"),
        ([(0, 0, 10**400, 1)], OverflowError, r"int too large to convert to float"),
        # rows that share their memory: refused before anything is allocated
        (np.broadcast_to(np.zeros(4), (2**32, 4)), ValueError, r"^boxes: at most 4294967295 boxes, got 4294967296$"),
    ],
)
def test_bad_boxes_are_refused_with_the_argument_named(boxes, error, message):
    with pytest.raises(error, match=message):
        _native.order(boxes)


class _Mutating(dict):
    """A table of codes whose miss empties the labels being read."""

    def __init__(self, labels):
        super().__init__()
        self.labels = labels

    def __missing__(self, name):
        self.labels.clear()
        return 0


class _Coded(dict):
    def __init__(self, code):
        super().__init__()
        self.code = code

    def __missing__(self, name):
        return self.code


@pytest.mark.parametrize(("make", "error", "message"), [
    (lambda labels: {"label_codes": None}, TypeError, r"^labels: label_codes must be the dict of role codes$"),
    (lambda labels: {"label_codes": {}, "roles": b"\0\0"}, ValueError, r"^give roles or labels, not both$"),
    (lambda labels: {"label_codes": _Coded(256)}, ValueError, r"^label 0: the table gave 256, not a role code$"),
    (lambda labels: {"label_codes": _Coded(-1)}, ValueError, r"^label 0: the table gave -1, not a role code$"),
    (lambda labels: {"label_codes": _Coded("0")}, ValueError, r"^label 0: the table gave '0', not a role code$"),
    (lambda labels: {"label_codes": _Coded(2**70)}, ValueError, r"^label 0: the table gave \d+, not a role code$"),
    (lambda labels: {"label_codes": _Mutating(labels)}, RuntimeError, r"^labels changed while they were read$"),
])
@pytest.mark.parametrize("profile", ["exact", "quality"])
def test_labels_and_their_table_are_checked(make, error, message, profile):
    labels = ["a", "b"]
    with pytest.raises(error, match=message):
        _native.order([(0, 0, 1, 1), (0, 2, 1, 3)], profile=profile, labels=labels, **make(labels))


def test_labels_become_the_roles_of_the_quality_profile():
    # a page header over the right column is read before the left column only by its role
    boxes = [(0, 0, 40, 500), (60, 10, 100, 500), (60, 0, 100, 8)]
    table = {"text": 0, "header": 2}
    bounds = (0, 0, 100, 1000)
    assert _native.order(boxes, profile="quality", page_bounds=bounds) == [0, 2, 1]
    assert _native.order(boxes, profile="quality", page_bounds=bounds, roles=b"\0\0\2") == [2, 0, 1]
    for labels in (["text", "text", "header"], ("text", "text", "header")):
        assert _native.order(boxes, profile="quality", page_bounds=bounds, labels=labels, label_codes=table) == [2, 0, 1]
        assert _native.order(boxes, profile="exact", labels=labels, label_codes=table) == [0, 2, 1]
        assert _native.explain(boxes, "quality", bounds, labels=labels, label_codes=table)[0] == [2, 0, 1]


def test_labels_repeated_and_many_map_as_their_codes():
    # more distinct label objects than the binding keeps at hand, repeated in a
    # shuffled order, and equal names as distinct objects: each label gets its
    # own code, as role codes given as bytes
    rng = random.Random(5)
    names = [f"class-{k}" for k in range(20)]
    table = {name: k % 10 for k, name in enumerate(names)}
    labels = [rng.choice(names) for _ in range(300)] + ["".join(name) for name in names]
    rng.shuffle(labels)
    boxes = [(rng.uniform(0, 900), y * 10.0, rng.uniform(900, 1000), y * 10.0 + 8) for y in range(len(labels))]
    roles = bytes(table[name] for name in labels)
    expected = _native.order(boxes, profile="quality", page_bounds=(0, 0, 1000, 4000), roles=roles)
    assert _native.order(boxes, profile="quality", page_bounds=(0, 0, 1000, 4000), labels=labels,
                         label_codes=table) == expected


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"profile": "fast"}, r"^profile: expected None, 'exact' or 'quality', got 'fast'$"),
    ({"profile": "quality", "options": {"tol": 1}}, r"^options: unknown setting 'tol'$"),
    ({"profile": "quality", "options": {"tol_x\0": 1}}, r"^options: unknown setting 'tol_x\\x00'$"),
    ({"profile": "quality", "options": {"\ud800": 1}}, r"^options: unknown setting '\\ud800'$"),
    ({"profile": "quality", "options": {("tol_x",): 1}}, r"^options: unknown setting \('tol_x',\)$"),
    ({"profile": "quality", "options": {"rule_edge": 0.5}}, r"^options: rule_edge must be a finite number, at least 0 "
                                                            r"and below 0.5$"),
    ({"profile": "quality", "options": {"tol_x": float("nan")}}, r"^options: tol_x must be a finite number"),
    ({"profile": "quality", "options": {"tol_y": "0.1"}}, r"^options: tol_y must be a number, got '0.1'$"),
    ({"profile": "quality", "options": {"tol_y": True}}, r"^options: tol_y must be a number, not a boolean, got True$"),
    ({"profile": "quality", "options": {"tol_x": 10**400}}, r"^options: tol_x must be a finite number, at least 0$"),
    ({"profile": "quality", "page_bounds": (0, 0, 1)}, r"^page_bounds: expected 4 numbers \(x1, y1, x2, y2\), got 3$"),
    ({"page_bounds": "abcd"}, r"^page_bounds: expected 4 numbers, got str$"),
    ({"profile": "quality", "separators": [(0, 0, 1)]}, r"^separator 0: expected 4 numbers \(x1, y1, x2, y2\), got 3$"),
    ({"colour": 1}, r"got an unexpected keyword argument 'colour'"),
])
def test_bad_options_are_refused(kwargs, message):
    with pytest.raises((ValueError, TypeError), match=message):
        _native.order([], **kwargs)


class _Refuses:
    def __init__(self, error: type[Exception]) -> None:
        self.error = error

    def __float__(self) -> float:
        raise self.error("no number")


class _Number:
    def __float__(self) -> float:
        return 100.0


# A page whose order the bounds change: 2 % of a page 100 wide does not part
# the two columns, of the boxes' own width 1000 it does.
ROWS = [[480, 0, 1000, 600], [0, 5, 490, 300], [0, 320, 490, 600], [0, 620, 1000, 700]]
SEPARATORS = [[700, 10, 702, 590]]


PAGE_100 = (0.0, 0.0, 100.0, 800.0)


@pytest.mark.parametrize(("bounds", "read"), [
    ([0, 0, 100, 800], PAGE_100), (np.array([0, 0, 100, 800], dtype=np.float32), PAGE_100),
    ((0, 0, "100", 800), PAGE_100), ((0, 0, b"100", 800), PAGE_100), ((0, 0, _Number(), 800), PAGE_100),
    (range(0, 400, 100), (0.0, 100.0, 200.0, 300.0)),
    ((100.0, 800.0, 0.0, 0.0), None), ((0.0, 0.0, float("nan"), 800.0), None),  # as given, normalised or not
], ids=lambda b: type(b).__name__)
def test_page_bounds_are_read_as_one_box_is(bounds, read):
    expected = _native.order(ROWS, False, "quality", read or bounds, SEPARATORS)
    assert _native.order(ROWS, False, "quality", bounds, SEPARATORS) == expected
    # the bounds do change this page's order
    assert _native.order(ROWS, False, "quality", PAGE_100, SEPARATORS) != _native.order(ROWS, False, "quality")


@pytest.mark.parametrize(("bounds", "error", "message"), [
    ((0, 0, 1), ValueError, r"^page_bounds: expected 4 numbers \(x1, y1, x2, y2\), got 3$"),
    ("1234", TypeError, r"^page_bounds: expected 4 numbers, got str$"),
    (object(), TypeError, r"^page_bounds: expected 4 numbers, got object$"),
    ({0: 0, 1: 0, 2: 1, 3: 1}, TypeError, r"^page_bounds: expected 4 numbers, got dict$"),
    ((0, 0, "x", 800), TypeError, r"^page_bounds: coordinates must be numbers, got \(0, 0, 'x', 800\)$"),
    ((0, 0, True, 800), TypeError, r"^page_bounds: coordinates must be numbers, not booleans"),
    (np.array([0, 0, 1, 1], dtype=bool), TypeError, r"^page_bounds: coordinates must be numbers, not booleans"),
    ((0, 0, _Refuses(ValueError), 800), TypeError, r"^page_bounds: coordinates must be numbers"),
    ((0, 0, _Refuses(TypeError), 800), TypeError, r"^page_bounds: coordinates must be numbers"),
    ((0, 0, 10**400, 800), OverflowError, r"int too large to convert to float"),
    ((0, 0, _Refuses(RuntimeError), 800), RuntimeError, r"^no number$"),
])
@pytest.mark.parametrize("profile", ["exact", "quality"])
def test_page_bounds_that_are_not_4_numbers_are_refused_before_ordering(bounds, error, message, profile, debug_log):
    with pytest.raises(error, match=message):
        _native.order(ROWS, False, profile, bounds, SEPARATORS)
    assert debug_log.records == []  # refused before the call decided to log, let alone ordered


def test_empty_pages_and_array_output():
    assert _native.order(np.zeros((0, 4))) == [] == _native.order(np.zeros(0)) == _native.order([])
    rows = [[520, 200, 900, 600], [100, 50, 900, 120], [100, 200, 480, 600]]
    out = _native.order(np.array(rows), as_array=True)
    assert out.dtype == np.int64 and out.tolist() == [1, 2, 0]
    assert _native.order([], as_array=True).shape == (0,)


@contextlib.contextmanager
def debug_records():
    """The records of the quorlinpy loggers at DEBUG while the block runs (for
    hypothesis tests, which a function-scoped fixture does not serve)."""
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    logger = logging.getLogger("quorlinpy")
    handler = Keep()
    old = logger.level, logger.propagate
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(handler)
    quorlin.reset_log_cache()
    try:
        yield records
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old[0])
        logger.propagate = old[1]
        quorlin.reset_log_cache()


def _engine_records(records):
    return [(r.getMessage(), r.levelno, r.name, r.pathname, r.lineno) for r in records
            if r.name == "quorlinpy.mervane"]


@settings(max_examples=150, deadline=None)
@given(pages())
def test_a_logging_call_logs_the_engine_records_the_core_logs(rows):
    with debug_records() as records:
        expected_order = core_order(rows)
        expected = _engine_records(records)
        records.clear()
        assert _native.order(rows) == expected_order
        assert records[0].getMessage() == f"order: {len(rows)} boxes (exact)"
        assert _engine_records(records) == expected
        records.clear()
        assert _native.explain(rows)[0] == expected_order
        assert _engine_records(records) == expected


def test_a_call_logs_when_either_logger_has_debug_enabled_as_python_answers_now():
    """Each call asks both loggers anew: every change of the configuration
    below counts from the next call on, without any reset."""
    out = run_python("""
        import logging
        from quorlin import _native
        names = []
        class Keep(logging.Handler):
            def emit(self, record):
                names.append(record.name)
        logging.getLogger().addHandler(Keep())
        package, engine = logging.getLogger("quorlinpy"), logging.getLogger("quorlinpy.mervane")
        stock = logging.Logger.isEnabledFor
        def lower(logger, level):
            logger.setLevel(level)
        steps = [
            ("default", lambda: None),
            ("package at debug", lambda: lower(package, logging.DEBUG)),
            ("package disabled", lambda: setattr(package, "disabled", True)),
            ("engine at warning", lambda: lower(engine, logging.WARNING)),
            ("package enabled again", lambda: setattr(package, "disabled", False)),
            ("all debug disabled", lambda: logging.disable(logging.DEBUG)),
            ("disabling undone", lambda: logging.disable(logging.NOTSET)),
            ("package at info", lambda: lower(package, logging.INFO)),
            ("engine at debug", lambda: lower(engine, logging.DEBUG)),
            ("method says no", lambda: setattr(logging.Logger, "isEnabledFor", lambda self, level: False)),
            ("method restored", lambda: setattr(logging.Logger, "isEnabledFor", stock)),
            ("engine's own says no", lambda: setattr(engine, "isEnabledFor", lambda level: False)),
            ("engine at notset", lambda: lower(engine, logging.NOTSET)),
        ]
        for name, change in steps:
            change()
            names.clear()
            _native.order([[0, 0, 10, 10], [0, 20, 10, 30]])
            asked = package.isEnabledFor(logging.DEBUG) or engine.isEnabledFor(logging.DEBUG)
            print(f"{name}: {asked} {bool(names)}")
    """)
    lines = out.splitlines()
    assert [line.rsplit(" ", 1)[0].split(": ")[1] for line in lines] == [line.rsplit(" ", 1)[1] for line in lines]
    assert [line.split(": ")[1] for line in lines] == [
        "False False", "True True", "True True", "False False", "True True", "False False", "True True",
        "False False", "True True", "False False", "True True", "False False", "False False"]


def test_a_call_that_does_not_log_logs_nothing():
    """At Python's default configuration a call of the native path logs
    nothing, not even the engine's warnings, and never asks the bridge."""
    out = run_python("""
        import logging
        import numpy as np
        from quorlin import _native
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        logging.getLogger().addHandler(Keep())
        calls = []
        original = logging.Logger.makeRecord
        logging.Logger.makeRecord = lambda self, *a, **k: calls.append(a) or original(self, *a, **k)
        rows = [[0, 0, 10, 10], [0, 40, 10, 50], [20, float("nan"), 30, 0], [0, float("nan"), 10, 0]]
        _native.order(rows)
        _native.order(rows, profile="quality")
        _native.explain(rows)
        _native.order(np.array(rows * 2000, dtype=np.float64))  # past the lock threshold
        from quorlin.formats.jsonpage import element_label
        _native.order_json_page({"elements": [{"box": r} for r in [[0, 0, 1, 1], [0, 9, 1, 10]]]}, element_label)
        print(len(records), len(calls))
    """)
    assert out.split() == ["0", "0"]


def test_a_call_on_another_thread_logs_nothing_while_a_logging_call_runs():
    """A handler of the logging call's first record waits. Meanwhile the level
    is raised to WARNING, so that the calls of another thread do not log, and
    that thread orders pages, the engine's warning among them: its warning
    would reach the handler if that thread's records went to the bridge."""
    out = run_python("""
        import logging, threading
        import numpy as np
        from quorlin import _native
        in_handler, done = threading.Event(), threading.Event()
        names = []
        class Slow(logging.Handler):
            def emit(self, record):
                names.append(threading.current_thread().name)
                if not in_handler.is_set():
                    in_handler.set()
                    done.wait(60)
        logger = logging.getLogger("quorlinpy")
        logger.addHandler(Slow())
        logger.propagate = False
        logger.setLevel(logging.DEBUG)
        warn_pair = [[0, float("nan"), 10, 0], [0, 20, 10, 30]]
        page = np.random.default_rng(3).uniform(0, 1000, size=(5000, 4))
        logging_thread = threading.Thread(target=_native.order, args=(warn_pair,), name="logging")
        logging_thread.start()
        assert in_handler.wait(60)
        logger.setLevel(logging.WARNING)
        orders = [_native.order(warn_pair), _native.order(page), _native.order(page, profile="quality"),
                  _native.explain(warn_pair)[0], _native.order(warn_pair, profile="quality")]
        done.set()
        logging_thread.join()
        print(sorted(set(names)), orders[0], orders[3])
    """)
    assert out.strip() == "['logging'] [0, 1] [0, 1]"


@pytest.mark.parametrize("module", [q, _native], ids=["_quorlin_core", "_native"])
def test_engine_symbols_are_private_to_each_module(module):
    """Each module exports its init function and none of the engine's symbols,
    so neither copy of the engine (or its log state) can stand in for the other."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", module.__file__], capture_output=True, text=True,
                             check=True).stdout
    names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert f"PyInit_{module.__name__.rpartition('.')[2]}" in names
    assert [n for n in names if not n.startswith("PyInit_") and ("quorlin" in n or "mervane" in n)] == []
    library = ctypes.CDLL(module.__file__, mode=ctypes.RTLD_LOCAL)
    assert not hasattr(library, "_ZN7quorlin3log6detail11g_max_levelE")


# ---- The reports against the core's log lines --------------------------------

def _fixed1(value):
    if math.isnan(value):
        return "NaN"
    return f"{value:.1f}"


def _lines_of(explained, n):
    """The log lines that explain()'s reports stand for, in their order."""
    _, segmented, aside, events = explained[:4]
    lines = []
    if n >= 2:
        lines.append(f"[sort] cross-layout: {len(aside)}, remaining: {n - len(aside)}")
    for kind, axis, position, gap, lo, mid, hi, depth, bounds in events:
        if kind == "all_cross_layout":
            lines.append("[sort] all elements are cross-layout, falling back to y-then-x sort")
        elif kind == "no_valid_cut":
            lines.append(f"[segment] no valid cuts for {hi - lo} elements, falling back to y-then-x sort")
        else:
            which = "horizontal" if axis == "y" else "vertical"
            lines.append(f"[segment] {which} cut at {axis}={_fixed1(position)} (gap={_fixed1(gap)}) "
                         f"on {hi - lo} elements")
            if kind == "cut":
                lines.append(f"[segment] split into 2 groups: {mid - lo}, {hi - mid}")
            else:
                lines.append(f"[segment] cut produced only 1 group for {hi - lo} elements, "
                             "falling back to y-then-x sort")
    return lines


REPORTED = ("[sort] cross-layout", "[sort] all elements", "[segment]")


@settings(max_examples=300, deadline=None)
@given(pages())
def test_every_cut_and_fallback_the_core_logs_is_reported_once(rows):
    with debug_records() as records:
        expected_order = core_order(rows)
    explained = _native.explain(rows)
    assert explained[0] == expected_order
    messages = [r.getMessage() for r in records]
    assert _lines_of(explained, len(rows)) == [m for m in messages if m.startswith(REPORTED)]


# ---- Threads ---------------------------------------------------------------------

def _large_page(seed, n=30000):
    rng = np.random.default_rng(seed)
    xy = rng.uniform(0, 20000, size=(n, 2))
    return np.hstack([xy, xy + rng.uniform(5, 60, size=(n, 2))])


def test_threads_order_large_pages_alike():
    pages_ = [_large_page(seed) for seed in range(4)]
    expected = [_native.order(p) for p in pages_]
    results = {}

    def work(i):
        results[i] = _native.order(pages_[i % 4], as_array=bool(i % 2))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(list(results[i]) == expected[i % 4] for i in range(8))


def test_a_buffer_changed_while_it_is_read_does_not_crash():
    page = _large_page(9, 20000)
    stop = threading.Event()

    def scribble():
        rng = random.Random(1)
        while not stop.is_set():
            page[rng.randrange(len(page)), rng.randrange(4)] = rng.choice([math.nan, -1e30, 5.0])

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(20):
            order = _native.order(page)
            assert sorted(order) == list(range(len(page)))
    finally:
        stop.set()
        writer.join()


# ---- JSON pages -------------------------------------------------------------------

def test_json_pages_ordered_from_their_dict_get_the_pages_order(realdata_pages):
    for page in realdata_pages:
        parsed = page_from_json(page)
        assert _native.order_json_page(page, element_label) == (page_order(parsed, exact=True), None)
        assert _native.order_json_page(page, element_label, "quality", None, role_code) == (page_order(parsed), None)


@pytest.mark.parametrize(("page", "problem"), [
    ([], ("not_an_object", None, None, None, [])),
    ({"width": -1, "elements": []}, ("negative_size", None, None, "width", None)),
    ({"width": True, "elements": []}, ("bad_size", None, None, "width", True)),
    ({}, ("no_elements", None, None, None, None)),
    ({"elements": {}}, ("elements_not_a_list", None, None, None, {})),
    ({"elements": [7]}, ("element_not_an_object", 0, None, None, 7)),
    ({"elements": [{"id": 1.5, "box": [0, 0, 1, 1]}]}, ("bad_id", 0, None, None, 1.5)),
    ({"elements": [{"id": 1, "box": [0, 0, 1, 1]}, {"id": 1, "box": [0, 0, 1, 1]}]},
     ("duplicate_id", 1, 1, None, None)),
    ({"elements": [{"box": [0, 0, 1, 1]}, {"id": 0, "box": [0, 0, 1, 1]}]}, ("duplicate_id", 1, 0, None, None)),
    ({"elements": [{"box": [0, 0, 1]}]}, ("box_not_four", 0, 0, None, None)),
    ({"elements": [{"box": [0, 0, 1, True]}]}, ("bad_box_value", 0, 0, 3, True)),
    ({"elements": [{"box": [0, 0, 2**24 + 1, 1]}]}, ("bad_box_value", 0, 0, 2, 2**24 + 1)),
    ({"elements": [{"id": "a", "box": [0, float("inf"), 1, 1]}]}, ("bad_box_value", 0, "a", 1, float("inf"))),
    ({"elements": [{"x1": 0, "y1": 0, "x2": 1}]}, ("missing_corners", 0, 0, None, None)),
    ({"elements": [{"x1": 0, "y1": "0", "x2": 1, "y2": 2}]}, ("bad_corner", 0, 0, "y1", "0")),
    ({"elements": [{"box": [0, 0, 1, 1], "label": 3}]}, ("label_not_text", 0, 0, None, 3)),
    ({"elements": [{"box": [0, 0, 1, 1]}], "order": "0"}, ("order_not_a_list", None, None, None, None)),
    ({"elements": [{"box": [0, 0, 1, 1]}], "order": [0, True]}, ("unknown_order_id", None, None, None, True)),
], ids=lambda v: v[0] if isinstance(v, tuple) else "")
def test_a_page_that_is_not_valid_is_reported_as_its_first_problem(page, problem):
    assert _native.read_json_page(page, element_label, Region) == (None, problem)
    assert _native.order_json_page(page, element_label) == (None, problem)


def test_json_page_keeps_ids_and_skips_what_the_reader_skips():
    page = {"elements": [{"id": "b", "x1": 0, "y1": 50, "x2": 10, "y2": 60},
                         {"box": [0, 0, 10, 10]},
                         {"id": "sep", "box": [0, 20, 10, 30], "type": "SeparatorRegion"},
                         {"id": "n", "box": [0, 30, 10, 40], "label": "Noise"}],
            "order": ["sep"]}
    copy = json.loads(json.dumps(page))
    assert _native.order_json_page(page, element_label) == ([1, "b"], None)
    assert page == copy  # untouched


def test_each_distinct_label_of_a_page_is_asked_once():
    asked = []

    def counting(label, tag, subtype):
        asked.append((label, tag, subtype))
        return element_label(label, tag, subtype)

    elements = [{"box": [0, 10 * i, 1, 10 * i + 5], **extra} for i, extra in enumerate(
        [{"label": "title"}, {"label": "title"}, {"type": "TextRegion", "subtype": "heading"},
         {"type": "TextRegion", "subtype": "heading"}, {"type": "TextRegion"}, {}, {}, {"type": 5}])]
    _native.read_json_page({"elements": elements}, counting, Region)
    assert asked == [("title", None, ""), (None, "TextRegion", "heading"), (None, "TextRegion", ""), (None, None, "")]
