"""quorlin.order(), the label mapping and the re-exported module API."""

from __future__ import annotations

import array
import math
import pickle
import random
import sys

import _quorlin_core
import pkg_helpers  # noqa: F401  (makes quorlin importable)
import pytest

from quorlin.labels import role_code
from conftest import run_python

import quorlin
from quorlin import LABELS, SemanticLabel, label_for, order
from quorlin.page import union_box
from quorlin.page import Page, Region

# A title over two columns: reading order is title, left column, right column.
TWO_COLUMNS = [
    (520, 200, 900, 600),  # right column
    (100, 50, 900, 120),  # title
    (100, 200, 480, 600),  # left column
]


def test_module_api_is_reexported_unchanged_but_for_reset_log_cache():
    for name in _quorlin_core.__all__:
        if name != "reset_log_cache":
            assert getattr(quorlin, name) is getattr(_quorlin_core, name)


def test_reset_log_cache_makes_both_modules_look_again():
    # both modules first cache the engine's logger as warnings only; after the
    # logger is made verbose, only the package's reset shows both its lines
    out = run_python("""
        import logging
        import _quorlin_core as q
        import quorlin
        from quorlin import _native
        names = []
        class Keep(logging.Handler):
            def emit(self, record):
                names.append(record.name)
        logging.getLogger().addHandler(Keep())
        logging.getLogger("quorlinpy").setLevel(logging.DEBUG)
        engine = logging.getLogger("quorlinpy.mervane")
        engine.setLevel(logging.WARNING)
        boxes = [(0, 0, 10, 10), (0, 20, 10, 30)]
        def engine_lines():
            names.clear()
            q.compute_order_mervane([q.Element(i, *b, q.SemanticLabel.Regular) for i, b in enumerate(boxes)],
                                    (0, 0, 1, 1))
            core = names.count("quorlinpy.mervane")
            names.clear()
            _native.order(boxes)
            return core, names.count("quorlinpy.mervane")
        engine_lines()
        engine.setLevel(logging.NOTSET)
        print(engine_lines(), end=" ")
        quorlin.reset_log_cache()
        print(engine_lines())
    """)
    assert out.strip() == "(0, 0) (5, 5)"


@pytest.mark.parametrize(
    ("boxes", "kwargs", "expected"),
    [
        (TWO_COLUMNS, {}, [1, 2, 0]),
        ([tuple(b) for b in TWO_COLUMNS], {"ids": ["right", "title", "left"]}, ["title", "left", "right"]),
        (TWO_COLUMNS, {"ids": ("a", "a", "b")}, ["a", "b", "a"]),  # duplicate ids come back as given
        ([list(b) for b in TWO_COLUMNS], {"labels": ["text", "title", "text"]}, [1, 2, 0]),
        ([(900, 600, 520, 200), (900, 120, 100, 50), (480, 600, 100, 200)], {}, [1, 2, 0]),  # swapped corners
        ([], {}, []),
        ([(1, 2, 3, 4)], {"ids": ["only"]}, ["only"]),
    ],
    ids=["indices", "string-ids", "duplicate-ids", "labels", "swapped-corners", "empty", "single"],
)
def test_order(boxes, kwargs, expected):
    assert order(boxes, **kwargs) == expected


def test_order_accepts_numpy_arrays():
    np = pytest.importorskip("numpy", reason="numpy is an optional extra")
    boxes = np.array(TWO_COLUMNS, dtype=np.float32)
    ids = np.array([10, 11, 12])
    assert order(boxes, np.array(["text", "title", "text"]), ids) == [11, 12, 10]
    assert order(np.zeros((0, 4))) == []
    with pytest.raises(ValueError, match=r"^boxes: expected an N x 4 array of numbers, got shape \(3, 5\)$"):
        order(np.zeros((3, 5)))


@pytest.mark.parametrize(
    ("boxes", "kwargs", "error", "message"),
    [
        ([(0, 0, 1)], {}, ValueError, "box 0: expected 4 numbers"),
        ([(0, 0, 1, 1), "abcd"], {}, TypeError, "box 1"),
        ([(0, 0, "x", 1)], {}, TypeError, "box 0: coordinates must be numbers"),
        (TWO_COLUMNS, {"labels": ["text"]}, ValueError, "got 1 labels for 3 boxes"),
        (TWO_COLUMNS, {"labels": [1, 2, 3]}, TypeError, "label 0"),
        (TWO_COLUMNS, {"ids": [1, 2]}, ValueError, "got 2 ids for 3 boxes"),
        ("0000", {}, TypeError, "boxes must be a sequence"),
    ],
)
def test_order_rejects_bad_input(boxes, kwargs, error, message):
    with pytest.raises(error, match=message):
        order(boxes, **kwargs)


# ---- One rule for boxes, separators and page bounds, checked before ordering ----

ROW = (100, 200, 480, 600)


def _calls(*arguments):
    """(boxes, separators, page_bounds) for order() and explain()."""
    boxes, separators, bounds = arguments
    return [lambda exact: order(boxes, separators=separators, page_bounds=bounds, exact=exact),
            lambda exact: quorlin.explain(boxes, separators=separators, page_bounds=bounds, exact=exact)]


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize(("arguments", "message"), [
    (([(0, 0, True, 1)], None, None), r"^box 0: coordinates must be numbers, not booleans, got \(0, 0, True, 1\)$"),
    (([ROW], [ROW, (False, 0, 1, 1)], None), r"^separator 1: coordinates must be numbers, not booleans"),
    (([ROW], None, (0, 0, 1000, True)), r"^page_bounds: coordinates must be numbers, not booleans"),
], ids=["box", "separator", "page-bounds"])
def test_bool_coordinates_are_refused(arguments, message, exact):
    for call in _calls(*arguments):
        with pytest.raises(TypeError, match=message):
            call(exact)


@pytest.mark.parametrize("exact", [False, True])
def test_numpy_bool_and_complex_coordinates_are_refused(exact):
    """NumPy's booleans and complex numbers are refused as Python's are (float() of a NumPy complex would only
    warn, and drop its imaginary part)."""
    np = pytest.importorskip("numpy")
    flags = np.zeros((2, 4), dtype=bool)
    for arguments, message in [
        ((flags, None, None), r"^boxes: expected an N x 4 array of numbers, got booleans \(format '\?'\)$"),
        (([ROW], flags, None), r"^separators: expected an N x 4 array of numbers, got booleans"),
        (([[0, 0, np.True_, 1]], None, None), r"^box 0: coordinates must be numbers, not booleans"),
        (([ROW], None, np.ones(4, dtype=bool)), r"^page_bounds: coordinates must be numbers, not booleans"),
        (([[0, 0, np.complex128(5 + 9j), 1]], None, None), r"^box 0: coordinates must be numbers, got"),
        (([ROW], [[0, 0, np.complex64(1), 1]], None), r"^separator 0: coordinates must be numbers, got"),
        (([ROW], None, np.array([0, 0, 100, 100], dtype=complex)), r"^page_bounds: coordinates must be numbers, got"),
    ]:
        for call in _calls(*arguments):
            with pytest.raises(TypeError, match=message):
                call(exact)


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("container", [{(0, 0, 1, 1): "a"}, {(0, 0, 1, 1)}, bytearray(16), "0011", b"0011"],
                         ids=["dict", "set", "bytearray", "str", "bytes"])
def test_containers_without_an_order_of_boxes_are_refused(container, exact):
    """A dict (read as its keys), a set (in an order of its own) and the bytes of a bytearray were taken for
    boxes; like texts, they hold no boxes in an order, as boxes or as separators."""
    kind = type(container).__name__
    for arguments, name in [((container, None, None), "boxes"), (([ROW], container, None), "separators")]:
        for call in _calls(*arguments):
            with pytest.raises(TypeError, match=rf"^{name} must be a sequence, not {kind}$"):
                call(exact)


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize(("row", "kind"), [
    ({0: 0, 1: 0, 2: 1, 3: 1}, "dict"), ({0, 1, 2, 3}, "set"), ("0011", "str"), (b"0011", "bytes"),
])
def test_dict_rows_are_refused(row, kind, exact):
    """A row that is no sequence of numbers (a dict's keys, a set's items, the
    characters of a text) is refused as a box and as a separator alike."""
    for arguments, name in [(([ROW, row], None, None), "box 1"), (([ROW], [row], None), "separator 0")]:
        for call in _calls(*arguments):
            with pytest.raises(TypeError, match=rf"^{name}: expected 4 numbers, got {kind}$"):
                call(exact)


class _Exported:
    """An exporter of a 2 x 4 array that is no sequence and has no shape."""

    def __init__(self, rows):
        self._data = array.array("d", [float(v) for row in rows for v in row])

    def __buffer__(self, flags):
        return memoryview(self._data).cast("B").cast("d", (len(self._data) // 4, 4))


def _pickle_buffer(rows):
    """An exporter of the same kind that every Python has (no sequence, no shape)."""
    data = array.array("d", [float(v) for row in rows for v in row])
    return pickle.PickleBuffer(memoryview(data).cast("B").cast("d", (len(rows), 4)))


EXPORTERS = [pytest.param(_pickle_buffer, id="PickleBuffer")]
if sys.version_info >= (3, 12):
    EXPORTERS.append(pytest.param(_Exported, id="__buffer__"))


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("export", EXPORTERS)
def test_buffer_exporter_separators_are_read_as_boxes_are(export, exact):
    boxes = TWO_COLUMNS + [(495, 150, 505, 650)]
    rules = [(495, 150, 505, 650), (0, 0, 1, 1)]
    assert order(export(boxes), separators=export(rules), exact=exact) == \
        order(boxes, separators=rules, exact=exact)
    assert quorlin.explain(export(boxes), separators=export(rules), exact=exact).to_dict() == \
        quorlin.explain(boxes, separators=rules, exact=exact).to_dict()


@pytest.mark.parametrize("exact", [False, True])
def test_a_3_number_separator_made_two_native_calls(exact, monkeypatch, debug_log):
    """A bad separator is refused by the one native call, before anything is
    ordered or logged."""
    calls = []

    class Counting:
        def __getattr__(self, name):
            function = getattr(quorlin._native, name)
            return lambda *args, **kwargs: calls.append(name) or function(*args, **kwargs)

    monkeypatch.setattr(quorlin.ordering, "_native", Counting())
    monkeypatch.setattr(quorlin.explaining, "_native", Counting())
    for call in _calls(TWO_COLUMNS, [ROW, (1, 2, 3)], None):
        with pytest.raises(ValueError, match=r"^separator 1: expected 4 numbers \(x1, y1, x2, y2\), got 3$"):
            call(exact)
    assert calls == ["order", "explain"]
    assert debug_log.records == []


def test_labels_without_a_step_of_their_own_do_not_change_the_order():
    # body text and figures without captions: the geometry alone decides (headings may start rows of
    # articles and are never marginal notes)
    rng = random.Random(7)
    boxes = []
    for _ in range(40):
        x, y = rng.uniform(0, 900), rng.uniform(0, 1300)
        boxes.append((x, y, x + rng.uniform(5, 300), y + rng.uniform(5, 100)))
    names = [name for name in LABELS if role_code(name) in (0, 7)] + ["no such class", "TextRegion/paragraph"]
    baseline = order(boxes)
    for _ in range(5):
        assert order(boxes, [rng.choice(names) for _ in boxes]) == baseline
    # and the exact order never reads them
    assert order(boxes, ["page-footer"] * len(boxes), exact=True) == order(boxes, exact=True)


@pytest.mark.parametrize(
    ("name", "label"),
    [
        ("Title", SemanticLabel.HorizontalTitle),
        ("Section-header", SemanticLabel.HorizontalTitle),
        ("section_header", SemanticLabel.HorizontalTitle),
        ("SectionHeader", SemanticLabel.HorizontalTitle),
        ("Text", SemanticLabel.Regular),
        ("plain text", SemanticLabel.Regular),
        ("List-item", SemanticLabel.Regular),
        ("Caption", SemanticLabel.Regular),
        ("Footnote", SemanticLabel.Regular),
        ("Page-header", SemanticLabel.Regular),
        ("Page-footer", SemanticLabel.Regular),
        ("Table", SemanticLabel.Vision),
        ("Picture", SemanticLabel.Vision),
        ("figure", SemanticLabel.Vision),
        ("Formula", SemanticLabel.Vision),
        ("CrossLayout", SemanticLabel.CrossLayout),
        ("VerticalTitle", SemanticLabel.VerticalTitle),
        ("headline", SemanticLabel.HorizontalTitle),
        ("Sub-headline", SemanticLabel.HorizontalTitle),
        ("something else", SemanticLabel.Regular),
    ],
)
def test_label_for(name, label):
    assert label_for(name) is label


def test_label_for_keeps_labels_and_honours_default():
    assert label_for(SemanticLabel.Vision) is SemanticLabel.Vision
    assert label_for("unheard-of", default=SemanticLabel.Vision) is SemanticLabel.Vision
    with pytest.raises(TypeError):
        LABELS["title"] = SemanticLabel.Regular  # type: ignore[index]
    with pytest.raises(TypeError, match="^expected a SemanticLabel or a class name, got int$"):
        label_for(5)  # type: ignore[arg-type]


NAN, INF = math.nan, math.inf


@pytest.mark.parametrize(
    ("boxes", "expected"),
    [
        ([(10, 20, 0, 5), (3, 1, 4, 30)], (0, 1, 10, 30)),  # corners either way round
        ([(0, 0, 10, 10), (NAN, 5, INF, 50)], (0, 0, 10, 50)),  # non-finite values left out
        ([(NAN, 0, 10, 10), (0, 0, 5, 5)], (0, 0, 10, 10)),  # a NaN first does not decide the minimum
        ([(NAN, NAN, -INF, INF)], None),
        ([], None),
    ],
)
def test_one_union_box_for_default_bounds_and_pages(boxes, expected):
    assert union_box(boxes) == expected
    page = Page("p", "json", None, None, [Region(i, b, SemanticLabel.Regular) for i, b in enumerate(boxes)])
    assert page.bounds == (expected or (0.0, 0.0, 0.0, 0.0))
