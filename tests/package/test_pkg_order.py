"""quorlin.order(), the label mapping and the re-exported module API."""

from __future__ import annotations

import math
import random

import _quorlin_core
import pkg_helpers  # noqa: F401  (makes quorlin importable)
import pytest

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


def test_module_api_is_reexported_unchanged():
    for name in _quorlin_core.__all__:
        assert getattr(quorlin, name) is getattr(_quorlin_core, name)


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


def test_labels_do_not_change_the_order():
    rng = random.Random(7)
    boxes = []
    for _ in range(40):
        x, y = rng.uniform(0, 900), rng.uniform(0, 1300)
        boxes.append((x, y, x + rng.uniform(5, 300), y + rng.uniform(5, 100)))
    names = list(LABELS)
    baseline = order(boxes)
    for _ in range(5):
        assert order(boxes, [rng.choice(names) for _ in boxes]) == baseline


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
