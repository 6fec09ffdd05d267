"""The quality profile: its C++ order equals its Python twin (profile_model.py)
on the real pages and on hostile random pages, holds every box exactly once,
is what every path of the package gives by default, and is explained
truthfully; the exact order stays the core's, on every path."""

import collections
import dataclasses
import json
import math
import pathlib
import random
import re
import subprocess
import sys

import pytest
from hypothesis import example, given, settings, strategies as st

import _quorlin_core as q
import profile_model
import quorlin
from quorlin.labels import role_code
from quorlin import _native
from quorlin.formats.jsonpage import element_label, page_from_json
from quorlin.profile import DEFAULT_OPTIONS, FIXED, STEPS, TUNED, ProfileOptions
from quorlin.ordering import page_order

R = q.SemanticLabel.Regular
ROOT = pathlib.Path(__file__).resolve().parents[2]


def page_input(page, human_only):
    """Boxes, ids, bounds and separator rules of a real page: the regions of the
    human order (as eval scores them), or every region but separators and noise."""
    wanted = set(page["gt_order"])
    items = [e for e in page["elements"] if e.get("type") not in ("SeparatorRegion", "NoiseRegion")
             and (not human_only or e["id"] in wanted)]
    rules = [(e["x1"], e["y1"], e["x2"], e["y2"]) for e in page["elements"] if e.get("type") == "SeparatorRegion"]
    return ([(e["x1"], e["y1"], e["x2"], e["y2"]) for e in items], [e["id"] for e in items],
            (0.0, 0.0, float(page["width"]), float(page["height"])), rules)


def core_order(rows, bounds=(0, 0, 0, 0)):
    return q.compute_order_mervane([q.Element(i, *(float(v) for v in r), R) for i, r in enumerate(rows)], bounds)


@pytest.mark.parametrize("human_only", [True, False], ids=["human-order-regions", "all-regions"])
def test_the_real_pages_get_the_twins_order_on_every_path(realdata_pages, human_only):
    for page in realdata_pages:
        boxes, ids, bounds, rules = page_input(page, human_only)
        kind = {r.id: r.kind for r in page_from_json(page).regions}
        kinds = [kind[i] for i in ids]
        roles = [role_code(k) for k in kinds]
        expected = profile_model.order(boxes, bounds, rules, roles)
        assert _native.order(boxes, profile="quality", page_bounds=bounds, separators=rules, roles=roles) == expected
        assert quorlin.order(boxes, kinds, ids, page_bounds=bounds, separators=rules) == [ids[k] for k in expected]
        # without labels, geometry alone
        assert quorlin.order(boxes, ids=ids, page_bounds=bounds, separators=rules) == \
            [ids[k] for k in profile_model.order(boxes, bounds, rules)]
        if not human_only:  # the page as the JSON reader reads it, into a Page and into the ordering
            assert page_order(page_from_json(page)) == [ids[k] for k in expected] == \
                quorlin.order_page(page)["order"], page["source"]


#: The page files of bench/data beside the real regions, and whether headings spanning columns start rows of
#: articles on any of their pages: on the detector-like newspapers, and on two gazette pages as text lines.
PAGE_FILES = {"born_digital.jsonl": False, "born_digital_detected.jsonl": True, "born_digital_lines.jsonl": False,
              "pages_lines.jsonl": True}


@pytest.mark.parametrize("name", PAGE_FILES)
def test_the_other_pages_get_the_twins_order(name):
    """Every generated page, and every real page as text lines, as eval orders it (the elements of its order,
    labelled with their kinds)."""
    path = ROOT / "bench" / "data" / name
    if not path.exists():
        pytest.skip(f"{path} is not present")
    rows_started = walled = 0
    for line in path.read_text(encoding="utf-8").splitlines():
        page = page_from_json(json.loads(line))
        wanted = set(json.loads(line)["gt_order"])
        regions = [r for r in page.regions if r.id in wanted]
        boxes = [r.box for r in regions]
        roles = [role_code(r.kind or str(r.label)) for r in regions]
        separators = [r.box for r in page.separators]
        expected = profile_model.order(boxes, page.bounds, separators, roles)
        assert _native.order(boxes, profile="quality", page_bounds=page.bounds, separators=separators,
                             roles=roles) == expected, page.source
        rows_started += expected != profile_model.order(boxes, page.bounds, separators, roles, articles=False)
        walled += expected != profile_model.order(boxes, page.bounds, separators, roles, gutters=False)
    assert (rows_started > 0) == PAGE_FILES[name]
    assert walled > 0  # two columns of text walled down their gutter on some page of every file


# Coordinates multiplied by a power of two keep their digits, and the profile measures everything as a share of
# the page, so its order may not change with them; the core's least gap (5 units) alone is not a share, and the
# boxes of a page under 3,000 units long reach the core scaled up. Half the resolution, and fractions of a
# thousandth of the page, read as the page as given: every page of bench/data under 6,000 units long.
@pytest.mark.parametrize("name", ["pages.jsonl", *PAGE_FILES])
def test_the_default_order_does_not_hang_on_the_unit_of_a_page(name):
    path = ROOT / "bench" / "data" / name
    if not path.exists():
        pytest.skip(f"{path} is not present")
    pages, changed = 0, 0
    for line in path.read_text(encoding="utf-8").splitlines():
        page = page_from_json(json.loads(line))
        if max(page.bounds[2] - page.bounds[0], page.bounds[3] - page.bounds[1]) >= 6000:
            continue
        boxes = [r.box for r in page.regions]
        labels = [r.kind or str(r.label) for r in page.regions]
        separators = [r.box for r in page.separators]
        given = quorlin.order(boxes, labels, page_bounds=page.bounds, separators=separators)
        for factor in (0.5, 2.0 ** -10):
            def times(b):
                return tuple(v * factor for v in b)

            assert quorlin.order([times(b) for b in boxes], labels, page_bounds=times(page.bounds),
                                 separators=[times(b) for b in separators]) == given, (page.source, factor)
        unscaled = quorlin.profile.order([tuple(v / 8 for v in b) for b in boxes], page_bounds=tuple(
            v / 8 for v in page.bounds), separators=[tuple(v / 8 for v in b) for b in separators], labels=labels,
            options=DEFAULT_OPTIONS.replace(scale=False))
        pages += 1
        changed += unscaled != given
    # without the step, an eighth of the unit changes the order of some pages
    assert pages > 0 and changed > 0

def _newspaper(overrun, headline_width):
    """Two rows of two articles on a 1000 x 1400 page: a headline over two columns of each; the columns 234
    wide, 10 px apart in each article, 20 px between the articles, each column reaching `overrun` px into
    the gutter beside it; 20 px between the rows."""
    boxes = []
    for top in (20, 520):
        for left in (20, 510):
            boxes += [(left, top, left + headline_width, top + 40),
                      (left, top + 50, left + 234 + overrun, top + 480),
                      (left + 236 - overrun, top + 50, left + 470, top + 480)]
    return boxes


ROWS = list(range(12))  # row by row, each article's headline and columns
HALVES = [0, 1, 2, 6, 7, 8, 3, 4, 5, 9, 10, 11]  # the left articles of both rows first


@pytest.mark.parametrize(("boxes", "with_step", "without_step"), [
    # detector-like (the columns overlap, so the boxes are shrunk): the shrink widens the gutter between
    # the articles past the gap between the rows, and without the step the left half is read down first
    (_newspaper(4, 470), ROWS, HALVES),
    # headlines as narrow as a column mark no row: the step changes nothing
    (_newspaper(4, 200), None, None),
    # typeset (flush, not overlapping): nothing is shrunk and the core reads the rows itself
    (_newspaper(-1, 470), ROWS, ROWS),
], ids=["detected", "column-wide-headlines", "typeset"])
def test_rows_of_articles(boxes, with_step, without_step):
    labels = ["section-header", "text", "text"] * 4
    roles = [role_code(label) for label in labels]
    bounds = (0, 0, 1000, 1400)
    got = quorlin.order(boxes, labels, page_bounds=bounds)
    off = quorlin.profile.order(boxes, page_bounds=bounds, labels=labels,
                                options=DEFAULT_OPTIONS.replace(articles=False))
    assert got == profile_model.order(boxes, bounds, roles=roles)
    assert off == profile_model.order(boxes, bounds, roles=roles, articles=False)
    assert (got, off) == ((with_step, without_step) if with_step else (off, off))


def _column_lines(overlap, heading_width):
    """Two columns of text lines 30 px tall on a 1000 x 1400 page (x 20-480 and 520-980), a line every 30 -
    `overlap` px; three lines in five short (the ends of paragraphs), every left edge a little off (a scan);
    in the right column, level with its neighbours, a heading line `heading_width` wide."""
    boxes, labels = [], []
    for left in (20, 520):
        for i in range(24):
            y = 40 + i * (30 - overlap)
            if left == 520 and i == 12:
                boxes.append((left, y, left + heading_width, y + 30))
                labels.append("section-header")
            else:
                boxes.append((left + (i * 7) % 11 + i / 8, y, left + (460 if i % 5 < 2 else 300), y + 30))
                labels.append("text")
    return boxes, labels


@pytest.mark.parametrize("page", [
    # the lines of a column overlap a little as given: the shrink opens a gap between any two of them, but
    # only a band clear in the boxes as given sets a row apart
    _column_lines(2, 460),
    # the lines leave gaps, and the heading is as wide as most lines but narrower than the full ones: no
    # wider than the columns
    _column_lines(-4, 440),
], ids=["touching-lines", "short-lines"])
def test_a_heading_one_column_wide_among_text_lines_starts_no_row(page):
    """A gazette page given as text lines: a heading in one column is no headline over the columns, and
    each column is read down in turn (the gazette pages as lines, bench/data/pages_lines.jsonl)."""
    boxes, labels = page
    roles = [role_code(label) for label in labels]
    bounds = (0, 0, 1000, 1400)
    got = quorlin.order(boxes, labels, page_bounds=bounds)
    assert got == profile_model.order(boxes, bounds, roles=roles)
    assert got == list(range(len(boxes)))


def _book_lines(notes):
    """A printed book's page (1000 x 1400) as text lines 30 px tall, a line every 36 px, x 200-800 with the
    left edges a little off (a scan): two paragraphs of six lines (the first's last line short, the second's
    first indented), then the `notes` as (x1, x2, first line level with, lines), labelled marginal notes
    (used or not)."""
    boxes, labels = [], []
    for i in range(12):
        y = 100 + 36 * i
        boxes.append((200 + (i * 3) % 5 + (40 if i == 6 else 0), y, 520 if i == 5 else 800, y + 30))
        labels.append("paragraph")
    for x1, x2, level, count in notes:
        for j in range(count):
            y = 102 + 36 * level + 33 * j
            boxes.append((x1, y, x2, y + 28))
            labels.append("marginalia")
    return boxes, labels


@pytest.mark.parametrize("notes, labelled, expected", [
    # three lines on the right, level with lines 2-4: after their paragraph
    ([(820, 960, 2, 3)], True, [*range(6), 12, 13, 14, *range(6, 12)]),
    # the same without labels, narrow enough to be found as margin notes
    ([(820, 900, 2, 3)], False, [*range(6), 12, 13, 14, *range(6, 12)]),
    # two lines on the left level with the second paragraph's first line: before that paragraph
    ([(50, 180, 6, 2)], True, [*range(6), 12, 13, *range(6, 12)]),
    # on the left level with the middle of the second paragraph: after it
    ([(50, 180, 8, 2)], True, [*range(12), 12, 13]),
    # both: each in its place
    ([(820, 960, 2, 3), (50, 180, 6, 2)], True, [*range(6), 12, 13, 14, 15, 16, *range(6, 12)]),
], ids=["right", "right-unlabelled", "left-heading-a-paragraph", "left-mid-paragraph", "both"])
def test_a_marginal_note_given_as_lines_is_read_whole_beside_its_paragraph(notes, labelled, expected):
    """Merged by its top line by line, a marginal note given as text lines was read interleaved with the
    paragraph beside it (the real book pages as lines, bench/data/pages_lines.jsonl)."""
    boxes, labels = _book_lines(notes)
    roles = [role_code(label) for label in labels] if labelled else None
    bounds = (0, 0, 1000, 1400)
    got = quorlin.order(boxes, labels if labelled else None, page_bounds=bounds)
    assert got == profile_model.order(boxes, bounds, roles=roles)
    assert got == expected


def _ruled_columns(every):
    """Two columns of 20 text lines in register on a 1000 x 1500 page (x 100-480 and 510-890, edges a little
    off), a paragraph ending every `every` lines in both (40 px more under it), a column rule between."""
    boxes = []
    for left in (100, 510):
        y = 100
        for i in range(20):
            boxes.append((left + (i * 7) % 9, y, left + 380 - (i * 5) % 7, y + 30))
            y += 34 + (40 if i % every == every - 1 else 0)
    return boxes, [(499, 80, 501, 1400)]


@pytest.mark.parametrize("every", [3, 5, 10])
def test_columns_of_lines_in_register_beside_a_rule_are_read_down_in_turn(every):
    """The shrunk lines of both columns leave gaps across the page at each paragraph's end, and the core read
    the columns paragraph by paragraph across the rule (the gazette pages as lines, 1918_1_0015: 0.714)."""
    boxes, rules = _ruled_columns(every)
    bounds = (0, 0, 1000, 1500)
    got = quorlin.order(boxes, page_bounds=bounds, separators=rules)
    assert got == profile_model.order(boxes, bounds, rules)
    assert got == list(range(40))
    explained = quorlin.explain(boxes, page_bounds=bounds, separators=rules)
    assert explained.order == got and sorted(explained.segment_order) == got
    assert all(c.first and c.second for c in explained.cuts)


def _rows_of_paragraphs(overrun, headline_width, row_gap):
    """Two rows of two articles on a 1000 x 1400 page, each a headline over two columns of three paragraphs
    (4 px apart); the columns as in _newspaper; `row_gap` px between the rows."""
    boxes, labels = [], []
    for top in (20, 500 + row_gap):
        for left in (20, 510):
            boxes.append((left, top, left + headline_width, top + 40))
            labels.append("section-header")
            for x1, x2 in ((left, left + 234 + overrun), (left + 236 - overrun, left + 470)):
                for p in range(3):
                    boxes.append((x1, top + 44 + 146 * p, x2, top + 186 + 146 * p))
                    labels.append("text")
    return boxes, labels


@pytest.mark.parametrize(("page", "rows", "rows_without_bands"), [
    # headlines a column wide mark no row; the band of 30 px between the rows, over seven times the gaps in
    # the columns, does
    (_rows_of_paragraphs(4, 200, 30), True, False),
    # a band of 8 px (under 0.75 % of the page) sets no rows apart
    (_rows_of_paragraphs(4, 200, 8), False, False),
    # headlines spanning their columns start the rows without the band too
    (_rows_of_paragraphs(4, 470, 30), True, True),
], ids=["narrow-headlines", "thin-band", "wide-headlines"])
def test_rows_set_apart_by_a_clear_band(page, rows, rows_without_bands):
    boxes, labels = page
    roles = [role_code(label) for label in labels]
    bounds = (0, 0, 1000, 1400)
    got = quorlin.order(boxes, labels, page_bounds=bounds)
    off = quorlin.profile.order(boxes, page_bounds=bounds, labels=labels, options=DEFAULT_OPTIONS.replace(bands=False))
    assert got == profile_model.order(boxes, bounds, roles=roles)
    assert off == profile_model.order(boxes, bounds, roles=roles, bands=False)
    in_rows = list(range(len(boxes)))  # row by row, each article's headline and its columns down
    assert (got == in_rows, off == in_rows) == (rows, rows_without_bands)
    # a column rule through the band: the columns go on under it (the headlines spanning columns still
    # start rows)
    ruled = quorlin.order(boxes, labels, page_bounds=bounds, separators=[(497, 0, 503, 1400)])
    assert ruled == profile_model.order(boxes, bounds, [(497, 0, 503, 1400)], roles=roles)
    assert (ruled == in_rows) == rows_without_bands


#: Two columns of a paper (x 100-480 and 520-900) on a 1000 x 1400 page: both end at y 400, the left one goes on
#: under a heading after a gap of 50, wider than the 40 of the gutter; a paragraph across the page under them.
GUTTER_PAGE = ([(100, 100, 480, 400), (100, 450, 300, 470), (100, 480, 480, 600), (520, 100, 900, 250),
                (520, 260, 900, 400), (100, 700, 900, 800)],
               ["text", "section-header", "text", "text", "text", "text"])


@pytest.mark.parametrize(("separators", "labelled", "gutters", "expected"), [
    ([], True, True, [0, 1, 2, 3, 4, 5]),         # the left column read to its end, then the right one
    ([], True, False, [0, 3, 4, 1, 2, 5]),        # the step off: the gap across both read as a row's end
    ([], False, True, [0, 3, 4, 1, 2, 5]),        # without labels, geometry alone
    ([(50, 420, 950, 425)], True, True, [0, 3, 4, 1, 2, 5]),   # a rule across the gutter: rows
    ([(498, 100, 502, 420)], True, True, [0, 1, 2, 3, 4, 5]),  # a short rule down the gutter crosses no row
], ids=["walled", "step-off", "no-labels", "rule-across", "rule-down"])
def test_two_columns_of_text_are_read_down_past_a_gap_across_both(debug_log, separators, labelled, gutters,
                                                                   expected):
    boxes, labels = GUTTER_PAGE
    bounds = (0, 0, 1000, 1400)
    options = DEFAULT_OPTIONS.replace(gutters=gutters)
    got = quorlin.profile.order(boxes, page_bounds=bounds, separators=separators,
                                labels=labels if labelled else None, options=options)
    assert got == expected
    roles = [role_code(label) for label in labels] if labelled else None
    assert got == profile_model.order(boxes, bounds, separators, roles, gutters=gutters)
    walled = [m for m in (r.getMessage() for r in debug_log.records) if m.startswith("[profile] gutters")]
    assert walled == (["[profile] gutters: 1 walls down the gutters of two columns of text, which no row crosses"]
                      if expected == list(range(6)) else [])
    if gutters:  # explain() counts the boxes alone: each of its cuts parts boxes, none a wall from them
        explained = quorlin.explain(boxes, labels if labelled else None, page_bounds=bounds, separators=separators)
        assert explained.order == got
        assert all(c.first and c.second and set(c.first + c.second) <= set(range(6)) for c in explained.cuts)


def test_a_stretch_of_no_height_beside_two_columns_gets_no_wall():
    # two headings across the page meet at the middle of the first lines' common height: the stretch there
    # holds no box
    boxes = [(100, 0, 480, 10), (520, 0, 900, 10), (50, -10, 950, 5), (50, 5, 950, 20), (100, 30, 480, 40),
             (520, 30, 900, 40)]
    roles = [role_code(k) for k in ("text", "text", "section-header", "section-header", "text", "text")]
    tb = [tuple(float(v) for v in b) for b in boxes]
    assert profile_model.gutter_walls(tb, list(range(6)), roles, [], 1.0) == []
    bounds = (0, -10, 1000, 1400)
    assert _native.order(boxes, profile="quality", page_bounds=bounds, roles=roles) == \
        profile_model.order(boxes, bounds, roles=roles)


def test_the_exact_order_is_the_cores_on_the_real_pages_and_on_the_command_line(realdata_pages, tmp_path):
    lines = tmp_path / "pages.jsonl"
    lines.write_text("".join(json.dumps(p) + "\n" for p in realdata_pages[::10]))
    written = subprocess.run([sys.executable, "-m", "quorlin", "order", str(lines), "--exact", "--jobs", "2"],
                             capture_output=True, text=True, timeout=120)
    assert written.returncode == 0, written.stderr
    for page, line in zip(realdata_pages[::10], written.stdout.splitlines()):
        boxes, ids, _, rules = page_input(page, False)
        expected = [ids[k] for k in core_order(boxes)]
        assert json.loads(line)["order"] == expected == quorlin.order_page(page, exact=True)["order"]
    for page in realdata_pages:
        boxes, ids, bounds, rules = page_input(page, True)
        assert quorlin.order(boxes, ids=ids, page_bounds=bounds, separators=rules, exact=True) == \
            [ids[k] for k in core_order(boxes)]


SPECIAL = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 1e300, -1e300, 3.5e38, 1e-300]
value = st.one_of(st.integers(0, 60).map(lambda k: 25.0 * k), st.floats(-100, 1600), st.sampled_from(SPECIAL))


@st.composite
def hostile_pages(draw):
    boxes = []
    for _ in range(draw(st.integers(0, 30))):
        if boxes and draw(st.integers(0, 7)) == 0:
            boxes.append(boxes[draw(st.integers(0, len(boxes) - 1))])  # identical box
        else:
            boxes.append(tuple(draw(value) for _ in range(4)))
    bounds = draw(st.one_of(st.none(), st.tuples(value, value, value, value),
                            st.sampled_from([(0, 0, 1500, 1000), (0, 0, 1000, 1500), (1500, 1000, 0, 0)])))
    separators = draw(st.lists(st.tuples(value, value, value, value), max_size=4))
    return boxes, bounds, separators


def _jittered_newspaper(rng):
    """A newspaper page of rows of articles, each a headline over its columns, every box grown or shrunk by a
    few units as a detector leaves it, and a few roles swapped."""
    boxes, roles = [], []
    top = 20.0
    for _ in range(rng.randint(1, 4)):
        left, bottom = 20.0, top
        for width in rng.sample([1, 2, 2, 3], rng.randint(1, 3)):
            if left + 240 * width > 1000:
                break
            head = rng.uniform(20, 50)
            boxes.append((left, top, left + rng.uniform(0.5, 1.0) * (240 * width - 10), top + head))
            roles.append(1)
            for c in range(width):
                x = left + 240 * c
                y, end = top + head + 8, top + head + rng.uniform(100, 400)
                while y < end:
                    h = rng.uniform(30, 150)
                    boxes.append((x, y, x + 230, y + h))
                    roles.append(0)
                    y += h + rng.uniform(2, 12)
                bottom = max(bottom, y)
            left += 240 * width
        top = bottom + rng.uniform(5, 40)
    jittered = [tuple(v + rng.uniform(-6, 6) for v in b) for b in boxes]
    for _ in range(rng.randint(0, 3)):
        roles[rng.randrange(len(roles))] = rng.choice([0, 1, 6, 7])
    return jittered, roles


def test_jittered_newspapers_get_the_twins_order():
    rng = random.Random(20261209)
    started = 0
    for _ in range(300):
        boxes, roles = _jittered_newspaper(rng)
        bounds = (0, 0, 1000, max(1400, max(b[3] for b in boxes) + 20))
        got = _native.order(boxes, profile="quality", page_bounds=bounds, roles=roles)
        assert got == profile_model.order(boxes, bounds, roles=roles)
        started += got != profile_model.order(boxes, bounds, roles=roles, articles=False)
    assert started > 0  # the rows of articles are taken on some of them


def _jittered_paper(rng):
    """A paper's page: blocks of two columns of paragraphs (a heading now and then) ending at any height, under
    and between boxes across both, every box moved by a few units as a detector leaves it, a few roles swapped
    and a rule across the page now and then."""
    boxes, roles, rules = [], [], []
    top = 20.0
    for _ in range(rng.randint(1, 3)):
        if rng.random() < 0.7:  # a title, an abstract or a figure across both columns
            h = rng.uniform(20, 200)
            boxes.append((40, top, 960, top + h))
            roles.append(rng.choice([0, 1, 7]))
            top += h + rng.uniform(3, 30)
        bottom = top
        for x1, x2 in ((40, 480), (520, 960)):
            y, end = top, top + rng.uniform(150, 900)
            while y < end:
                heading = rng.random() < 0.2
                h = rng.uniform(15, 30) if heading else rng.uniform(30, 250)
                boxes.append((x1, y, x1 + rng.uniform(0.3, 0.6) * (x2 - x1) if heading else x2, y + h))
                roles.append(1 if heading else 0)
                y += h + rng.uniform(2, 25)
            bottom = max(bottom, y)
        if rng.random() < 0.2:
            rules.append((40, bottom - 2, 960, bottom))
        top = bottom + rng.uniform(5, 40)
    jittered = [tuple(v + rng.uniform(-5, 5) for v in b) for b in boxes]
    for _ in range(rng.randint(0, 3)):
        roles[rng.randrange(len(roles))] = rng.choice([0, 1, 2, 3, 5, 6, 7])
    return jittered, roles, rules


def test_jittered_two_column_pages_get_the_twins_order():
    rng = random.Random(20261211)
    walled = 0
    for _ in range(300):
        boxes, roles, rules = _jittered_paper(rng)
        bounds = (0, 0, 1000, max(1400, max(b[3] for b in boxes) + 20))
        got = _native.order(boxes, profile="quality", page_bounds=bounds, separators=rules, roles=roles)
        assert sorted(got) == list(range(len(boxes)))
        assert got == profile_model.order(boxes, bounds, rules, roles)
        walled += got != profile_model.order(boxes, bounds, rules, roles, gutters=False)
    assert walled > 0  # the gutters are walled on some of them


@settings(max_examples=300, deadline=None)
@given(hostile_pages(), st.data())
def test_hostile_labelled_pages_get_every_box_once_and_the_twins_order(page, data):
    """Every role on hostile pages, headings and body most often (the rows of articles need both)."""
    boxes, bounds, separators = page
    roles = data.draw(st.lists(st.sampled_from([0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10]), min_size=len(boxes),
                               max_size=len(boxes)))
    got = _native.order(boxes, profile="quality", page_bounds=bounds, separators=separators, roles=roles)
    assert sorted(got) == list(range(len(boxes)))
    assert got == profile_model.order(boxes, bounds, separators, roles)


OPTION_SETS = [{}, {"spread": False}, {"tolerance": False, "margins": False},
               {"rules": False, "top_strip": False, "scale": False},
               {"rule_min_length": 0.0, "top_strip_max": 0.5, "margin_max": 1.0, "tol_x": 0.1}]


@settings(max_examples=400, deadline=None)
@given(hostile_pages(), st.sampled_from(OPTION_SETS))
# the tallest box of no width, which the spread's quick look compared with itself and took for two columns
@example(([(1e300, 0.0, 675.0, 0.0), (0.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 25.0), (0.0, 0.0, 0.0, 0.0)],
          (0, 0, 1500, 1000), []), {})
def test_hostile_pages_get_every_box_once_and_the_twins_order(page, options):
    boxes, bounds, separators = page
    got = _native.order(boxes, profile="quality", page_bounds=bounds, separators=separators, options=options)
    assert sorted(got) == list(range(len(boxes)))
    assert got == profile_model.order(boxes, bounds, separators, **options)
    explained = _native.explain(boxes, profile="quality", page_bounds=bounds, separators=separators,
                                options=options)
    assert explained[0] == got
    order, segmented, aside, _, notes, non_finite, _ = explained
    assert sorted(segmented + aside + notes + non_finite) == list(range(len(boxes)))
    assert non_finite == [k for k, b in enumerate(boxes) if not all(math.isfinite(v) for v in b)]


@settings(max_examples=200, deadline=None)
@given(hostile_pages())
def test_hostile_pages_exact_is_the_core(page):
    boxes, bounds, separators = page
    assert quorlin.order(boxes, page_bounds=bounds, separators=separators, exact=True) == core_order(boxes)


def test_the_settings_come_from_the_engines_table(realdata_pages):
    assert [f.name for f in dataclasses.fields(ProfileOptions)] == [row[0] for row in _native.PROFILE_SETTINGS]
    assert TUNED + FIXED + STEPS == tuple(row[0] for row in _native.PROFILE_SETTINGS)
    every = {name: default for name, _, default, _, _ in _native.PROFILE_SETTINGS}
    assert dataclasses.asdict(DEFAULT_OPTIONS) == every and DEFAULT_OPTIONS.settings() == {}
    with pytest.raises(dataclasses.FrozenInstanceError):
        DEFAULT_OPTIONS.tol_x = 0.1  # type: ignore[misc]
    no_step = ProfileOptions(spread=False, rules=False, tolerance=False, top_strip=False, margins=False,
                             scale=False)
    for page in realdata_pages[::4]:
        boxes, _, bounds, rules = page_input(page, True)
        assert _native.order(boxes, profile="quality", page_bounds=bounds, separators=rules, options=every) == \
            quorlin.order(boxes, page_bounds=bounds, separators=rules)
        # every step off is the core itself
        assert quorlin.profile.order(boxes, page_bounds=bounds, separators=rules, options=no_step) == core_order(boxes)


@pytest.mark.parametrize(
    "page",
    [
        {"elements": [{"id": "a", "box": [0, 0, 300, 50]}, {"id": "s", "box": [148, 0, 152, 900], "label": "Separator"},
                      {"id": "b", "box": [0, 60, 155, 900]}, {"id": "c", "box": [145, 60, 300, 900]}]},
        {"width": 300, "height": 900,
         "elements": [{"id": 1, "box": [0, 60, 155, 900]}, {"id": 2, "box": [145, 60, 300, 900]},
                      {"id": 3, "box": [148, 0, 152, 900], "type": "SeparatorRegion"},
                      {"id": 4, "box": [0, 0, 20, 5], "label": "noise"}]},
        {"width": 2000,
         "elements": [{"box": [-5, 0, 900, 100]}, {"box": [1100, 0, 2000, 100]}, {"box": [0, 120, 900, 900]}]},
    ],
    ids=["label-separator-no-size", "type-separator-and-noise", "width-without-height"],
)
def test_the_json_fast_path_reads_separators_and_bounds_as_the_reader_does(page):
    assert _native.order_json_page(page, element_label, "quality", None, role_code) == (page_order(page_from_json(page)), None)


def test_explain_tells_how_a_spread_with_a_top_strip_and_margin_notes_was_ordered():
    # a landscape spread: left page with a running head and a narrow margin of
    # notes beside its text; right page two touching columns (closed gutter)
    boxes = [(100, 40, 900, 70),                            # 0 running head of the left page
             (200, 120, 880, 500), (200, 520, 880, 1300),   # 1, 2 left text block
             (80, 130, 180, 200), (80, 530, 180, 600),      # 3, 4 marginal notes
             (1100, 120, 1505, 1300), (1495, 120, 1900, 1300),  # 5, 6 right page columns, overlapping by 10
             (float("nan"), 0, 10, 10)]                     # 7 not on the page
    explained = quorlin.explain(boxes, page_bounds=(0, 0, 2000, 1400))
    # each note follows the paragraph that starts level with it or above it
    assert explained.order == [0, 1, 3, 2, 4, 5, 6, 7] == quorlin.order(boxes, page_bounds=(0, 0, 2000, 1400))
    assert (explained.margin_notes, explained.non_finite, explained.set_aside) == ([3, 4], [7], [])
    kinds = [(c.kind, c.axis, c.depth, c.first, c.second) for c in explained.cuts]
    assert kinds[:2] == [("fold", "x", 0, [0, 1, 2], [5, 6]), ("top_strip", "y", 1, [0], [1, 2])]
    assert ("xy", "x", 1, [5], [6]) in kinds  # the closed gutter, opened by the shrink
    fold = explained.cuts[0]
    assert 900 < fold.position < 1100 and fold.bounds == (0.0, 0.0, 2000.0, 1400.0)
    parts = [(p.top_strip, p.ids, p.shrink) for p in explained.parts]
    # only the right page's boxes overlap, so only they are shrunk
    assert parts == [(True, [0], (0.0, 0.0)), (False, [1, 2], (0.0, 0.0)), (False, [5, 6], (20.0, 7.0))]
    exact = quorlin.explain(boxes, page_bounds=(0, 0, 2000, 1400), exact=True)
    assert exact.profile == "exact" and exact.parts == [] and {c.kind for c in exact.cuts} == {"xy"}


def test_a_logging_call_logs_each_decision_explain_reports_and_the_cores_cuts(realdata_pages, debug_log):
    for page in realdata_pages[::7]:
        boxes, _, bounds, rules = page_input(page, True)
        debug_log.records.clear()
        ordered = quorlin.order(boxes, page_bounds=bounds, separators=rules)
        logged = [r.getMessage() for r in debug_log.records]
        order, _, _, events, notes, non_finite, parts = _native.explain(boxes, profile="quality",
                                                                          page_bounds=bounds, separators=rules)
        assert ordered == order
        # the package's lines: what is ordered, then each decision of the profile
        package = [m for m in logged if not m.startswith(("[sort]", "[segment]", "[merge]"))]
        walls = [int(re.fullmatch(r"\[profile\] column rules: (\d+) walls among the body's boxes, which no row "
                                  r"crosses", m)[1]) for m in package if m.startswith("[profile] column rules")]
        # the core logs its cuts in its own units: the page's, times the scale of a short page
        scales = [int(re.fullmatch(r"\[profile\] scale: the engine's boxes x(\d+) \(the page \S+ long\), its cuts "
                                   r"below in those units", m)[1]) for m in logged if m.startswith("[profile] scale")]
        scale = scales[0] if scales else 1
        assert len(scales) <= 1 and scale & (scale - 1) == 0  # a power of two: the page's digits kept
        cuts = [f"{'horizontal' if axis == 'y' else 'vertical'} cut at {axis}={position * scale:.1f} "
                f"(gap={gap * scale:.1f}) on {hi - lo} elements" for kind, axis, position, gap, lo, mid, hi, _, _
                in events if kind in ("cut", "one_group")]
        core_cuts = [m.removeprefix("[segment] ") for m in logged if " cut at " in m]
        if not walls:
            assert cuts == core_cuts
        else:  # the core cuts the walls too; explain reports each cut of the boxes, counting the boxes alone
            where = [c.rsplit(" on ", 1)[0] for c in core_cuts]
            assert all(c.rsplit(" on ", 1)[0] in where for c in cuts) and len(cuts) <= len(core_cuts)
        assert package[0] == f"order: {len(boxes)} boxes, {len(rules)} separators (quality profile)"
        assert [m for m in package if m.startswith("[profile] part: ")] == [
            f"[profile] part: {size} boxes ({kind.replace('_', ' ')}), shrunk by dx={dx:.1f}, dy={dy:.1f}"
            for _, _, _, size, _, _, dx, dy, kind in parts]
        strips = [re.fullmatch(r"\[profile\] top strip: (\d+) boxes above y=(\S+) \(gap=(\S+)\), read first", m)
                  for m in package if m.startswith("[profile] top strip")]
        assert [m.groups() for m in strips] == [
            (str(part[3]), f"{event[2]:.1f}", f"{event[3]:.1f}")
            for event, part in zip([e for e in events if e[0] == "top_strip"], [p for p in parts if p[4]])]
        folds = [re.fullmatch(r"\[profile\] spread: fold at x=(\S+) \(gap=(\S+)\), (\d+) boxes left, (\d+) right", m)
                 for m in package if m.startswith("[profile] spread")]
        assert [m.groups()[:2] for m in folds] == [(f"{e[2]:.1f}", f"{e[3]:.1f}") for e in events if e[0] == "fold"]
        assert all(int(m[3]) + int(m[4]) == len(boxes) - len(non_finite) for m in folds)
        taken = [int(re.fullmatch(r"\[profile\] margin notes: (\d+) boxes, merged back by their top", m)[1])
                 for m in package if m.startswith("[profile] margin notes")]
        assert sum(taken) == len(notes) and 0 not in taken
        assert [m for m in package if m.startswith("[profile] not finite")] == \
            ([f"[profile] not finite: {len(non_finite)} boxes, read last"] if non_finite else [])
        rows = [int(re.fullmatch(r"\[profile\] rows: (\d+) bands clear across the boxes as given, each row read "
                                 r"after the one above it", m)[1])
                for m in package if m.startswith("[profile] rows")]
        assert 0 not in rows and len(rows) <= len([p for p in parts if p[8] == "body"])
        blocks = [m for m in package if m.startswith("[profile] note blocks")]
        assert 0 not in walls and len(walls) <= len([p for p in parts if p[8] == "body"])
        assert len(package) == (1 + len(parts) + len(strips) + len(folds) + len(taken) + bool(non_finite) + len(rows)
                                + len(walls) + len(blocks) + len(scales))


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize(("boxes", "separators", "error"), [
    ([(0, 0, 10, 10)], [("480", "0", "520", "900")], None),  # numbers as text, as float() reads them
    ([(0, 0, 10, 10)], collections.deque([(480, 0, 520, 900)]), None),  # any iterable of rows
    ([(0, 0, 10, 10)], [(1, 2, 3)], r"^separator 0: expected 4 numbers \(x1, y1, x2, y2\), got 3$"),
    ([(0, 0, 10, 10)], [(1, 2, 3, "x")], r"^separator 0: coordinates must be numbers, got \(1, 2, 3, 'x'\)$"),
    ([(0, 0, 10, 10)], "rule", r"^separators must be a sequence, not str$"),
    ([(0, 0, 10)], [(1, 2, 3)], r"^box 0: expected 4 numbers"),  # the boxes' message first
])
def test_separators_are_checked_as_boxes_are(exact, boxes, separators, error):
    if error is None:
        assert quorlin.order(boxes, separators=separators, exact=exact) == [0]
        return
    for call in (quorlin.order, quorlin.explain):
        with pytest.raises((TypeError, ValueError), match=error):
            call(boxes, separators=separators, exact=exact)


@pytest.mark.parametrize(("options", "error"), [
    (None, "^options must be a ProfileOptions, not NoneType$"),
    ({"labels": False}, "^options must be a ProfileOptions, not dict$"),
])
def test_profile_options_are_checked(options, error):
    with pytest.raises(TypeError, match=error):
        quorlin.profile.order([(0, 0, 10, 10)], options=options)


def _column_lines(top, x_first):
    """Two columns of three text lines from `top`, 20 high and 5 apart; each
    column's first line starts at x_first[c] (an indent when it is right of
    the column's edge)."""
    boxes = []
    for c, (left, right) in enumerate(((100, 390), (420, 700))):
        for line in range(3):
            y = top + 25 * line
            boxes.append((x_first[c] if line == 0 else left, y, right, y + 20))
    return boxes


# Hand-made pages (page 800 x 1000 unless given) and the order the profile
# gives them; each is also held to the twin. The last column says which step
# is shown and whether it acts or steps aside.
@pytest.mark.parametrize(("boxes", "bounds", "expected"), [
    # indented first lines of two columns, a line's spacing above the next: no top strip, column by column
    (_column_lines(20, (120, 440)), (0, 0, 800, 1000), [0, 1, 2, 3, 4, 5]),
    # the same first lines without indent: still the first lines of columns
    (_column_lines(20, (100, 420)), (0, 0, 800, 1000), [0, 1, 2, 3, 4, 5]),
    # a running head far above the same columns (a line's height and more): read first
    ([(100, 5, 400, 20)] + _column_lines(60, (120, 440)), (0, 0, 800, 1000), [0, 1, 2, 3, 4, 5, 6]),
    # strip-put-back: a strip of two boxes far apart, not taken; the page came back without one box when the
    # strip was put back in place
    ([(217438.55, 20142.31, 219075.55, 20292.31), (116636.67, 283.0, 118127.67, 6461.0),
      (60715.52, 6312.0, 62140.52, 6561.0)], (91.0, 103.0, 393022.06, 490790.61), [2, 1, 0]),
    # a heading atop the third column that reaches below the tops of the other two: only the shrink parts
    # it from them, so it is no running head, and it is read with its column (it was read first)
    ([(50, 46, 330, 1300), (361, 50, 640, 1300), (672, 30, 950, 52), (668, 900, 950, 1300)], (0, 0, 1000, 1400),
     [0, 1, 2, 3]),
    # a slide: a table, and a list that starts where the table ends and overlaps it by 6 px: the table first
    ([(82, 67, 395, 139), (755, 189, 1245, 405), (113, 405, 761, 450)], (0, 0, 2000, 1125), [0, 1, 2]),
    # on a portrait page, the title and the list flush left, the list overlapping the table: the shrink of
    # the sides stays, and the list, left of the table, comes first
    ([(113, 67, 395, 139), (755, 189, 1245, 405), (113, 399, 761, 450)], (0, 0, 2000, 2800), [0, 2, 1]),
    # the same boxes only touching, as a typesetter sets them, with two more items of the list: no overlap,
    # four of the five boxes flush left, no shrink, the table first
    ([(113, 67, 395, 139), (755, 189, 1245, 405), (113, 405, 761, 450), (113, 460, 700, 500),
      (113, 510, 700, 550)], (0, 0, 2000, 2800), [0, 1, 2, 3, 4]),
    # touching too, but with ragged left edges, as boxes drawn around print are: shrunk
    ([(82, 67, 395, 139), (755, 189, 1245, 405), (113, 405, 761, 450)], (0, 0, 2000, 2800), [0, 2, 1]),
    # a newspaper page: a headline over the first three of four narrow columns, and a second article below
    # all four; the gutters (10) are narrower than the gap between the articles (30). Set without overlap,
    # nothing is shrunk and the articles are read one after the other (shrunk, the right-hand gutter
    # outgrew that gap and the last column was read across both articles: 0 1 2 3 5 6 7 8 4 9)
    ([(0, 0, 590, 40), (0, 50, 190, 400), (200, 50, 390, 400), (400, 50, 590, 400), (600, 0, 790, 400),
      (0, 430, 390, 470), (0, 480, 190, 800), (200, 480, 390, 800), (400, 480, 590, 800), (600, 430, 790, 800)],
     (0, 0, 800, 1000), [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]),
    # a slide with two blocks side by side: each keeps the shrink of its sides, and they are read left to right
    ([(82, 67, 395, 139), (100, 200, 960, 900), (1000, 205, 1900, 880)], (0, 0, 2000, 1125), [0, 1, 2]),
], ids=["first-lines-indented", "first-lines-flush", "running-head", "strip-put-back", "heading-reaching-down", "slide-stacked", "portrait-overlapping",
        "portrait-touching", "portrait-ragged", "newspaper-articles", "slide-side-by-side"])
def test_hand_made_pages_get_the_steps_order(boxes, bounds, expected):
    assert profile_model.order(boxes, bounds) == expected
    assert quorlin.order(boxes, page_bounds=bounds) == expected


# A paper's last page: the left column's first paragraph and the right column's only one start at one height,
# a thin row over the page. Labelled body text, the right one, with nothing under it, is the top of its column,
# and the columns are read in turn (the row was read first as a running head). Unlabelled, a box over an empty
# margin is as often a running head, and the row stays a strip; a label that says so reads the head first.
@pytest.mark.parametrize(("labels", "expected"), [
    (["text", "text", "text", "text"], [0, 1, 2, 3]),
    (["paragraph", "paragraph", "paragraph", "reference"], [0, 1, 2, 3]),  # an unknown label is body text
    (None, [0, 3, 1, 2]),
    (["text", "text", "text", "page-header"], [3, 0, 1, 2]),
], ids=["labelled-text", "unknown-label", "unlabelled", "labelled-head"])
def test_a_lone_paragraph_atop_a_short_column_is_no_running_head(labels, expected):
    boxes = [(100, 100, 390, 140), (100, 145, 390, 400), (100, 405, 390, 700), (420, 100, 700, 140)]
    bounds = (0, 0, 800, 1000)
    roles = [role_code(label) for label in labels] if labels else None
    assert quorlin.order(boxes, labels, page_bounds=bounds) == expected
    assert profile_model.order(boxes, bounds, roles=roles) == expected


# A paper's page whose two columns each end with a footnote, the right column's text ending above both: each
# footnote has the other beside it and ends its column (both were read after the right column).
@pytest.mark.parametrize(("boxes", "expected"), [
    ([(100, 100, 390, 600), (100, 610, 390, 800), (420, 100, 700, 600), (100, 850, 390, 900),
      (420, 820, 700, 900)], [0, 1, 3, 2, 4]),
    # footnotes in two columns under one column of text: after the page, left to right
    ([(100, 100, 700, 600), (100, 610, 700, 800), (100, 850, 390, 900), (420, 850, 700, 900)], [0, 1, 2, 3]),
], ids=["feet-of-two-columns", "two-columns-under-one"])
def test_footnotes_side_by_side_end_their_columns(boxes, expected):
    labels = ["text"] * (len(boxes) - 2) + ["footnote", "footnote"]
    bounds = (0, 0, 800, 1000)
    assert quorlin.order(boxes, labels, page_bounds=bounds) == expected
    assert profile_model.order(boxes, bounds, roles=[role_code(label) for label in labels]) == expected


def _paper_under_its_abstract():
    """A paper's two columns of text lines with ragged left edges (so that they are shrunk): on the left an
    abstract whose last line is level with a section heading on the right, then a section heading and its
    lines; on the right lines, that heading and its lines, the right heading's foot and the left heading's
    top leaving a band clear across the page."""
    def lines(x1, x2, tops):
        return [(x1 + 0.5 * i, y, x2, y + 20) for i, y in enumerate(tops)]

    left = lines(120, 380, range(100, 300, 25)) + [(100, 340, 200, 360)] + lines(100.25, 390, range(365, 600, 25))
    right = lines(420.1, 700, range(100, 275, 25)) + [(420, 285, 560, 305)] + lines(420.35, 700, range(345, 600, 25))
    heads = {(100, 340, 200, 360), (420, 285, 560, 305)}
    boxes = left + right
    return boxes, ["section-header" if b in heads else "text" for b in boxes]


def test_a_band_under_a_heading_beside_a_column_sets_no_rows_apart():
    # The band lies between the right heading and its text: the columns are read in turn (the band made
    # rows, and the right column's top was read before the rest of the left column).
    boxes, labels = _paper_under_its_abstract()
    bounds = (0, 0, 800, 1000)
    expected = list(range(len(boxes)))
    assert quorlin.order(boxes, labels, page_bounds=bounds) == expected
    assert profile_model.order(boxes, bounds, roles=[role_code(label) for label in labels]) == expected


# Landscape pages with an empty middle that are not two pages side by side: no page of the two shows columns.
# Each was split like a spread, and each page read on its own.
@pytest.mark.parametrize(("boxes", "labels", "bounds", "expected"), [
    # a paper's last page given without its bounds, the union of its boxes a wide frame: the running heads
    # of both columns first, then the columns (it was the left head, the left column, the right head, ...)
    ([(104, 87, 147, 114), (654, 133, 1119, 183), (1033, 91, 1169, 109), (116, 137, 598, 182)],
     ["page-header", "list-item", "page-header", "list-item"], None, [0, 2, 3, 1]),
    # a slide of four figures in two rows, each caption under its figure: row by row (it was the left
    # column, then the right one)
    ([(120, 66, 516, 135), (120, 182, 962, 396), (1037, 182, 1880, 396), (133, 401, 949, 489),
      (1042, 401, 1876, 519), (120, 537, 962, 751), (1037, 537, 1880, 751), (148, 756, 934, 813),
      (1178, 756, 1739, 782)], None, (0, 0, 2000, 1125), [0, 1, 3, 2, 4, 5, 7, 6, 8]),
], ids=["last-page-without-bounds", "slide-grid"])
def test_a_landscape_page_without_columns_beside_its_middle_is_no_spread(boxes, labels, bounds, expected):
    roles = [role_code(label) for label in labels] if labels else None
    assert profile_model.order(boxes, bounds, roles=roles) == expected
    assert quorlin.order(boxes, labels, page_bounds=bounds) == expected
    assert not any(c.kind == "fold" for c in quorlin.explain(boxes, labels, page_bounds=bounds).cuts)


# A slide of four figures in two rows, each caption given as text lines under its figure. The last line of the
# top right caption stands 16 px over the figure under it and 59 px under its own: it went with the lower
# figure, whose group then reached up into the top row and was read before the lower left figure.
SLIDE_OF_CAPTION_LINES = [
    ((102, 65, 931, 125), "section-header"),
    ((100, 100, 700, 380), "picture"), ((800, 100, 1400, 380), "picture"),
    ((120, 385, 680, 407), "caption"), ((370, 412, 430, 434), "caption"),
    ((810, 385, 1390, 407), "caption"), ((810, 412, 1390, 434), "caption"), ((940, 439, 1260, 461), "caption"),
    ((100, 477, 700, 690), "picture"), ((800, 477, 1400, 690), "picture"),
    ((120, 695, 680, 717), "caption"), ((810, 695, 1390, 717), "caption"),
]


def test_the_lines_of_a_caption_go_with_their_figure_row_by_row():
    boxes = [b for b, _ in SLIDE_OF_CAPTION_LINES]
    labels = [k for _, k in SLIDE_OF_CAPTION_LINES]
    bounds = (0, 0, 1500, 1125)
    expected = [0, 1, 3, 4, 2, 5, 6, 7, 8, 10, 9, 11]
    assert quorlin.order(boxes, labels, page_bounds=bounds) == expected
    assert profile_model.order(boxes, bounds, roles=[role_code(k) for k in labels]) == expected


# A book page (brenz_abentmal_1550_0046): a marginal note on the left at the top of the second paragraph, read
# before it, and one level with its middle, read after it. Merged by its top, the first followed its paragraph.
BOOK_PAGE_WITH_NOTES = [
    ((165, 1067, 343, 1147), "marginalia"), ((507, 150, 973, 244), "heading"), ((366, 245, 1089, 707), "paragraph"),
    ((164, 752, 352, 965), "marginalia"), ((958, 1529, 1044, 1591), "catch-word"),
    ((352, 752, 1073, 1530), "paragraph"),
]


def test_a_labelled_note_on_the_left_heads_the_paragraph_it_starts_level_with(debug_log):
    boxes = [b for b, _ in BOOK_PAGE_WITH_NOTES]
    labels = [k for _, k in BOOK_PAGE_WITH_NOTES]
    bounds = (0, 0, 1157, 1833)
    expected = [1, 2, 3, 5, 0, 4]  # by its top, note 3 came after paragraph 5
    assert quorlin.order(boxes, labels, page_bounds=bounds) == expected
    assert profile_model.order(boxes, bounds, roles=[role_code(k) for k in labels]) == expected
    logged = [r.getMessage() for r in debug_log.records]
    assert "[profile] note heads: 1 read right before the region each heads" in logged
