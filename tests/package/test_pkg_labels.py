"""Labels: the role table (detector classes, PAGE types and subtypes, SegmOnto
zones, hOCR classes), what each role does to the quality profile's order, and
the checks of the labels given to quorlin.order."""

from __future__ import annotations

import pkg_helpers  # noqa: F401  (makes quorlin importable)
import pytest

import quorlin
from quorlin import SemanticLabel
from quorlin.labels import ROLES, role_code, role_codes
from quorlin.page import Page, Region
from quorlin.profile import DEFAULT_OPTIONS
from quorlin.profile import order as profile_order


@pytest.mark.parametrize(("name", "role"), [
    # detector classes (DocLayNet, PubLayNet and others), in any spelling
    ("Page-header", "header"), ("page_footer", "footer"), ("PageFooter", "footer"), ("Footnote", "footnote"),
    ("Caption", "caption"), ("Picture", "figure"), ("Table", "figure"), ("figure", "figure"),
    ("Section-header", "heading"), ("Title", "heading"), ("Text", "body"), ("List-item", "body"),
    ("Formula", "body"), ("page-number", "page-number"),
    # PAGE region kinds: the subtype first, then the element
    ("TextRegion/page-number", "page-number"), ("TextRegion/header", "header"), ("TextRegion/footer", "footer"),
    ("TextRegion/catch-word", "footer"), ("TextRegion/signature-mark", "footer"),
    ("TextRegion/footnote-continued", "footnote"), ("TextRegion/marginalia", "marginal"),
    ("TextRegion/caption", "caption"), ("TextRegion/heading", "heading"), ("TextRegion/paragraph", "body"),
    ("TableRegion", "figure"), ("ImageRegion", "figure"), ("TextRegion", "body"),
    # SegmOnto zones, from PAGE custom structure types and ALTO tags
    ("TextRegion/MainZone", "body"), ("TextBlock/MarginTextZone", "marginal"),
    ("TextRegion/RunningTitleZone", "header"), ("TextRegion/NumberingZone", "folio"),
    ("TextBlock/QuireMarksZone", "folio"), ("TextBlock/GraphicZone", "figure"),
    ("TextBlock/DropCapitalZone", "initial"), ("TextRegion/drop-capital", "initial"), ("DropCap", "initial"),
    # other detectors' classes: DocLayout-YOLO, PP-DocLayout and the like
    ("abandon", "header"), ("table_footnote", "caption"), ("figure_title", "caption"), ("table_title", "caption"),
    ("aside_text", "marginal"), ("number", "page-number"), ("pagenum", "page-number"), ("header_image", "header"),
    ("footer_image", "footer"), ("vision_footnote", "caption"),
    # a newspaper's headlines, and titles by level
    ("headline", "heading"), ("Sub-headline", "heading"), ("subheadline", "heading"), ("SubHeading", "heading"),
    ("first-level title", "heading"), ("third_level_title", "heading"), ("chapter title", "heading"),
    # hOCR classes
    ("ocr_header", "header"), ("ocr_footer", "footer"), ("ocr_pageno", "page-number"),
    ("ocr_caption", "caption"), ("ocr_dropcap", "initial"), ("ocr_float", "figure"), ("ocr_carea", "body"),
    ("ocr_par", "body"),
    # the role names, and what nobody knows
    *[(name, name) for name in ROLES],
    ("no such class", "body"), ("", "body"), ("x" * 5000, "body"), ("TextRegion/no-such-subtype", "body"),
    (SemanticLabel.Vision, "figure"), (SemanticLabel.HorizontalTitle, "heading"), (SemanticLabel.Regular, "body"),
])
def test_role_of_each_kind_of_name(name, role):
    assert ROLES[role_code(name)] == role
    assert role_codes([name, name]) == bytes([ROLES.index(role)] * 2)


# A two-column page 1000 x 1400: a running head, two columns of two paragraphs,
# a footnote under the left column, a page number in the gutter at the foot.
HEAD = (100, 40, 900, 70)
PAGE_NUMBER = (480, 1340, 520, 1370)
COLUMNS = [(100, 120, 480, 600), (100, 620, 480, 1100), (520, 120, 900, 600), (520, 620, 900, 1100)]
FOOTNOTE = (100, 1150, 480, 1200)
# two rows of two articles, each a headline over two columns 234 wide that reach 4 px into the gutter
NEWSPAPER = [box for top in (20, 520) for left in (20, 510)
             for box in ((left, top, left + 470, top + 40), (left, top + 50, left + 238, top + 480),
                         (left + 232, top + 50, left + 470, top + 480))]
# a heading over two columns; a drop capital inside the left one's box
INITIALLED = [(100, 100, 900, 180), (100, 200, 480, 1100), (100, 205, 180, 300), (520, 200, 900, 1100)]


@pytest.mark.parametrize(("boxes", "labels", "expected"), [
    # the footer label puts the page number last: the columns are read one after the other
    ([PAGE_NUMBER, *COLUMNS], ["page-footer"] + ["text"] * 4, [1, 2, 3, 4, 0]),
    # a page number in the head band is read with the head, first
    ([COLUMNS[2], (480, 50, 520, 80), COLUMNS[0]], ["text", "page-number", "text"], [1, 2, 0]),
    # a running head first even when a column starts above it
    ([(100, 20, 480, 600), (520, 50, 900, 70), (520, 120, 900, 600)], ["text", "page-header", "text"], [1, 0, 2]),
    # the footnote after the body, the page number after it
    ([FOOTNOTE, *COLUMNS, PAGE_NUMBER], ["footnote"] + ["text"] * 4 + ["page-footer"], [1, 2, 3, 4, 0, 5]),
    # the same footnote with the right column running down beside it ends the left column
    ([FOOTNOTE, *COLUMNS[:3], (520, 620, 900, 1250)], ["footnote"] + ["text"] * 4, [1, 2, 0, 3, 4]),
    # a box labelled footnote in the upper half of the page is a mislabelled paragraph, read in its place
    ([(100, 120, 480, 400), (100, 420, 480, 460), (100, 480, 480, 1100), (520, 120, 900, 1100)],
     ["text", "footnote", "text", "text"], [0, 1, 2, 3]),
    # a catchword (a footer) near the top is read with the text, not first
    ([(100, 100, 900, 180), (100, 185, 900, 215), (100, 230, 900, 1100)], ["text", "catch-word", "text"],
     [0, 1, 2]),
    # a caption stays with its figure, above it, though a cut would part them
    ([(100, 100, 900, 600), (100, 610, 480, 640), (520, 650, 900, 1000), (100, 650, 480, 1000)],
     ["picture", "caption", "text", "text"], [0, 1, 3, 2]),
    # a folio number (SegmOnto) is read last wherever it stands
    ([(100, 40, 200, 80), COLUMNS[0], COLUMNS[1]], ["TextRegion/NumberingZone", "TextRegion/MainZone",
                                                     "TextRegion/MainZone"], [1, 2, 0]),
    # a drop capital inside its paragraph's box is read before it (PAGE, SegmOnto and detector names)
    (INITIALLED, ["heading", "paragraph", "TextRegion/drop-capital", "paragraph"], [0, 2, 1, 3]),
    (INITIALLED, ["heading", "MainZone", "TextBlock/DropCapitalZone", "MainZone"], [0, 2, 1, 3]),
    # beside the paragraph it begins, after a short line that starts below its top (geometry reads it first)
    ([(100, 100, 900, 180), (300, 190, 600, 230), (100, 185, 180, 300), (190, 220, 900, 1100)],
     ["heading", "text", "drop cap", "text"], [0, 1, 2, 3]),
    # DocLayout-YOLO's "abandon" is page furniture by where it stands: the foot last, the head first, and
    # in between read with the text
    ([PAGE_NUMBER, *COLUMNS], ["abandon"] + ["plain text"] * 4, [1, 2, 3, 4, 0]),
    ([(100, 20, 480, 600), (520, 50, 900, 70), (520, 120, 900, 600)], ["plain text", "abandon", "plain text"],
     [1, 0, 2]),
    ([(100, 120, 480, 600), (100, 605, 480, 615), (100, 620, 480, 1100)], ["plain text", "abandon", "plain text"],
     [0, 1, 2]),
    # a newspaper's headlines over two columns of each article, the columns overlapping by a few pixels (as
    # detected): row by row, where plain text reads the left articles of both rows first
    (NEWSPAPER, ["headline", "text", "text"] * 4, list(range(12))),
    (NEWSPAPER, ["headline", "text", "text"] * 2 + ["sub-headline", "text", "text"] * 2, list(range(12))),
    # unknown names are plain text: the order of no labels
    ([PAGE_NUMBER, *COLUMNS], ["whatever"] * 5, None),
])
def test_what_each_role_does_to_the_order(boxes, labels, expected):
    bounds = (0, 0, 1000, 1400)
    plain = quorlin.order(boxes, page_bounds=bounds)
    got = quorlin.order(boxes, labels, page_bounds=bounds)
    assert got == (plain if expected is None else expected)
    # the switch that ignores labels gives the order of no labels, and the exact order never reads them
    assert profile_order(boxes, page_bounds=bounds, options=DEFAULT_OPTIONS.replace(labels=False),
                         labels=labels) == plain
    assert quorlin.order(boxes, labels, page_bounds=bounds, exact=True) == quorlin.order(boxes, page_bounds=bounds,
                                                                                          exact=True)
    assert quorlin.explain(boxes, labels, page_bounds=bounds).order == got


def test_a_drop_capital_is_a_part_of_its_own_in_the_explanation():
    labels = ["heading", "paragraph", "drop-capital", "paragraph"]
    explained = quorlin.explain(INITIALLED, labels, ["h", "p", "d", "q"], page_bounds=(0, 0, 1000, 1400))
    assert explained.order == ["h", "d", "p", "q"]
    assert {part.kind: part.ids for part in explained.parts} == {"body": ["h", "p", "q"], "initials": ["d"]}
    # its own switch gives the order of the drop capital as text
    assert profile_order(INITIALLED, page_bounds=(0, 0, 1000, 1400), labels=labels,
                         options=DEFAULT_OPTIONS.replace(initials=False)) == [0, 1, 2, 3]


def test_the_page_functions_read_each_regions_kind():
    regions = [Region("num", PAGE_NUMBER, SemanticLabel.Regular, "ocr_pageno"),
               *[Region(f"c{k}", box, SemanticLabel.Regular, "ocr_carea") for k, box in enumerate(COLUMNS)]]
    page = Page("<test>", "hocr", 1000, 1400, regions)
    assert quorlin.page_order(page) == ["c0", "c1", "c2", "c3", "num"]
    assert quorlin.explain_page(page).order == quorlin.page_order(page)
    parts = {part.kind: part.ids for part in quorlin.explain_page(page).parts}
    assert parts["page_numbers"] == ["num"]


THREE = [(0, 0, 10, 10), (0, 20, 10, 30), (0, 40, 10, 50)]

# every call that takes labels, with either order: the labels are checked in
# the one pass that turns them into role codes
LABELLED_CALLS = [
    lambda labels, ids=None: quorlin.order(THREE, labels, ids),
    lambda labels, ids=None: quorlin.order(THREE, labels, ids, exact=True),
    lambda labels, ids=None: quorlin.explain(THREE, labels, ids).order,
    lambda labels, ids=None: quorlin.explain(THREE, labels, ids, exact=True).order,
    lambda labels, ids=None: profile_order(THREE, ids, labels=labels),
]


@pytest.mark.parametrize(("labels", "error", "message"), [
    (["text"] * 4, ValueError, "^got 4 labels for 3 boxes$"),
    (["text"] * 3 + ["text"], ValueError, "^got 4 labels for 3 boxes$"),
    ([], ValueError, "^got 0 labels for 3 boxes$"),
    ([1, "text", "text"], TypeError, "^label 0: expected a SemanticLabel or a class name, got int$"),
    (("text", None, "text"), TypeError, "^label 1: expected a SemanticLabel or a class name, got NoneType$"),
    (["text", "text", b"text"], TypeError, "^label 2: expected a SemanticLabel or a class name, got bytes$"),
    ([["text"], "text", "text"], TypeError, "^label 0: expected a SemanticLabel or a class name, got list$"),
    ("abc", TypeError, "^labels must be a sequence, not str$"),
    (3, TypeError, "^labels must be a sequence, not int$"),
])
@pytest.mark.parametrize("call", range(len(LABELLED_CALLS)))
def test_labels_are_checked(labels, error, message, call):
    with pytest.raises(error, match=message):
        LABELLED_CALLS[call](labels)


@pytest.mark.parametrize("call", range(len(LABELLED_CALLS)))
def test_boxes_then_labels_then_ids_are_checked(call):
    with pytest.raises(ValueError, match="^got 2 ids for 3 boxes$"):
        LABELLED_CALLS[call](["text"] * 3, ["a", "b"])
    with pytest.raises(TypeError, match="^label 0: expected"):
        LABELLED_CALLS[call]([1, 2, 3], ["a", "b"])
    with pytest.raises(ValueError, match="^box 0: expected 4 numbers"):
        quorlin.order([(0, 0, 1)], [1])


def test_labels_may_be_any_sequence_of_names():
    # a running head over the right column is read before the left column only by its label
    np = pytest.importorskip("numpy")
    boxes, bounds = [(0, 0, 40, 500), (60, 10, 100, 500), (60, 0, 100, 8)], (0, 0, 100, 1000)
    names = [SemanticLabel.Vision, "text", "page-header"]
    assert quorlin.order(boxes, page_bounds=bounds) == [0, 2, 1]
    for labels in (names, tuple(names), iter(names), (name for name in names), np.array(names, dtype=object),
                   type("Labels", (list,), {})(names)):
        assert quorlin.order(boxes, labels, page_bounds=bounds) == [2, 0, 1]
    # names the table has not seen yet are kept as text
    assert quorlin.order(boxes, ["x-unknown-1", "x-unknown-2", "page-header"], page_bounds=bounds) == [2, 0, 1]
    assert quorlin.order(boxes, ["x-unknown-1", "x-unknown-2", "x-unknown-3"], page_bounds=bounds) == [0, 2, 1]


@pytest.mark.parametrize(("captions", "expected"), [(255, [0, 1, 2, 3]), (256, [0, 2, 1, 3])])
def test_a_page_of_too_many_captions_reads_them_as_text(captions, expected):
    # a caption above its figure, level with the right column's first line: grouped, the figure follows its
    # caption (256 captions in all); with more than 256 (tiny extra ones at the foot), every caption is read
    # as text, so that no page's grouping costs more than a few hundred passes over its boxes
    boxes = [(100, 100, 480, 130), (100, 140, 900, 500), (520, 100, 900, 130), (100, 520, 900, 1000)]
    extra = [(950, 1100 + k, 960, 1100.5 + k) for k in range(captions)]
    labels = ["caption", "picture", "text", "text"] + ["caption"] * captions
    assert quorlin.order(boxes + extra, labels, page_bounds=(0, 0, 1000, 1400))[:4] == expected
