"""Page layouts for the benchmark.

Every generator returns a list of boxes ``(id, x1, y1, x2, y2, label)`` in
*input order*, ids ``0..n-1`` numbered in the order the content was laid out
(close to reading order) and the input order shuffled with a fixed seed, as a
layout detector hands its boxes over in no particular order.  ``label`` is a
``SemanticLabel`` member name; the engine ignores it.

Layouts:

* ``real``: regions of the human reading order of the real pages of
  ``bench/data/pages.jsonl`` (or ``$QUORLIN_REALDATA``).  A size that one page cannot fill is built by
  tiling whole pages on a sheet (rows of pages, gutters of random width) and
  cutting the last page short.
* ``realistic``: synthetic pages with one to four columns, full-width
  headings, figures spanning columns with captions, tables of small cells,
  running headers, page numbers and footnotes; scaled up by tiling pages.
* ``random``: boxes of random size placed uniformly on a square sheet whose
  area grows with n (about 10 % covered).
* ``staircase``: box i at (20 i, 20 i)-(20 i + 10, 20 i + 10): every cut peels
  exactly one box, so the recursion is n - 1 levels deep.
* ``identical``: n copies of one box: no cut at all, ties everywhere.
"""

from __future__ import annotations

import json
import math
import os
import random

REALDATA = os.environ.get(
    "QUORLIN_REALDATA", os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "pages.jsonl"))

LAYOUTS = ("real", "realistic", "random", "staircase", "identical")

# Page size of the synthetic pages (units are pixels of a ~120 dpi scan).
PAGE_W = 1000.0
PAGE_H = 1400.0
MARGIN = 50.0


def _finish(boxes, seed):
    """Number boxes in layout order, then shuffle them into input order."""
    numbered = [(i, *b) for i, b in enumerate(boxes)]
    random.Random(seed).shuffle(numbered)
    return numbered


def _tile(pages, rng):
    """Place pages (lists of boxes in page coordinates, with their width and
    height) on a sheet: about sqrt(k) pages per row, gutters of random width
    between 60 and 140 so that no two gaps tie and the widest gap falls at a
    random place, as it does on scanned spreads."""
    k = len(pages)
    per_row = max(1, math.ceil(math.sqrt(k)))
    out = []
    y0 = 0.0
    for r in range(0, k, per_row):
        row = pages[r:r + per_row]
        x0 = 0.0
        row_h = 0.0
        for w, h, boxes in row:
            for x1, y1, x2, y2, label in boxes:
                out.append((x1 + x0, y1 + y0, x2 + x0, y2 + y0, label))
            x0 += w + rng.uniform(60.0, 140.0)
            row_h = max(row_h, h)
        y0 += row_h + rng.uniform(60.0, 140.0)
    return out


# ---------------------------------------------------------------------------
# Real pages
# ---------------------------------------------------------------------------

_REAL_CACHE = None

_REAL_LABELS = {
    "heading": "HorizontalTitle",
    "GraphicRegion": "Vision",
    "ImageRegion": "Vision",
    "TableRegion": "Vision",
}


def real_pages():
    """The 200 real pages: (width, height, boxes of the gt_order regions in id
    order).  Ids were assigned pseudo-randomly by the extraction, so id order
    says nothing about the reading order."""
    global _REAL_CACHE
    if _REAL_CACHE is None:
        pages = []
        with open(REALDATA, encoding="utf-8") as f:
            for line in f:
                p = json.loads(line)
                ordered = set(p["gt_order"])
                boxes = []
                for e in sorted(p["elements"], key=lambda e: e["id"]):
                    if e["id"] in ordered:
                        label = _REAL_LABELS.get(e["subtype"], _REAL_LABELS.get(e["type"], "Regular"))
                        boxes.append((float(e["x1"]), float(e["y1"]), float(e["x2"]), float(e["y2"]), label))
                pages.append((float(p["width"]), float(p["height"]), boxes))
        _REAL_CACHE = pages
    return _REAL_CACHE


def real_natural():
    """Each real page on its own, ids 0..n-1 in the extraction's id order."""
    return [[(i, *b) for i, b in enumerate(boxes)] for _, _, boxes in real_pages()]


def real(n, seed=1):
    """n elements of real pages: the page whose size is the smallest one not
    below n when one page suffices, else pages tiled on a sheet in a seeded
    order until n is reached; the last page is cut short (its regions in id
    order, which is a spatially random subset)."""
    rng = random.Random(seed)
    pages = list(real_pages())
    fits = [p for p in pages if len(p[2]) >= n]
    if fits:
        w, h, boxes = min(fits, key=lambda p: len(p[2]))
        return _finish(boxes[:n], seed)
    rng.shuffle(pages)
    chosen = []
    count = 0
    i = 0
    while count < n:
        w, h, boxes = pages[i % len(pages)]
        take = boxes[: n - count]
        chosen.append((w, h, take))
        count += len(take)
        i += 1
    return _finish(_tile(chosen, rng), seed)


# ---------------------------------------------------------------------------
# Synthetic realistic pages
# ---------------------------------------------------------------------------

def _paragraph_column(rng, x1, x2, y, y_end, out, budget):
    """Stacks paragraphs in one column from y to at most y_end.  Gaps between
    paragraphs are 3 to 14 units: some below the 5-unit minimum, as when a
    detector puts two paragraphs almost edge to edge."""
    while len(out) < budget:
        h = rng.uniform(30.0, 150.0)
        if y + h > y_end:
            break
        out.append((x1, y, x2, y + h, "Regular"))
        y += h + rng.uniform(3.0, 14.0)


def _table(rng, x1, x2, y, out, budget):
    """A table of small cells (3-10 rows, 3-6 columns); cell gaps of 2 to 8
    units, so some tables are cut cell by cell and others only row by row or
    not at all."""
    rows = rng.randint(3, 10)
    cols = rng.randint(3, 6)
    gap = rng.choice((2.0, 3.0, 6.0, 8.0))
    cell_w = (x2 - x1 - (cols - 1) * gap) / cols
    cell_h = rng.uniform(18.0, 26.0)
    for r in range(rows):
        for c in range(cols):
            if len(out) >= budget:
                return y
            cx = x1 + c * (cell_w + gap)
            cy = y + r * (cell_h + gap)
            out.append((cx, cy, cx + cell_w, cy + cell_h, "Regular"))
    return y + rows * (cell_h + gap)


def synth_page(rng, budget):
    """One synthetic page with at most `budget` boxes, in layout order."""
    out = []
    left, right = MARGIN, PAGE_W - MARGIN
    text_bottom = PAGE_H - MARGIN
    # Running header and page number: small boxes in the margins.
    if budget >= 8 and rng.random() < 0.7:
        out.append((left, 18.0, left + rng.uniform(200.0, 400.0), 34.0, "Regular"))
    page_number = budget >= 8 and rng.random() < 0.7
    if page_number:
        budget -= 1
    # Footnotes: full-width small blocks at the foot of the text area.
    footnotes = []
    if budget >= 12 and rng.random() < 0.5:
        y = text_bottom
        for _ in range(rng.randint(1, 3)):
            h = rng.uniform(14.0, 32.0)
            footnotes.append((left, y - h, right, y, "Regular"))
            y -= h + rng.uniform(4.0, 8.0)
        footnotes.reverse()
        text_bottom = y - 20.0
        budget -= len(footnotes)
    y = MARGIN
    while len(out) < budget and y < text_bottom - 80.0:
        kind = rng.random()
        if kind < 0.25:
            # Full-width (or centred) heading.
            w = (right - left) * rng.uniform(0.4, 1.0)
            x1 = left + (right - left - w) / 2
            h = rng.uniform(28.0, 45.0)
            out.append((x1, y, x1 + w, y + h, "HorizontalTitle"))
            y += h + rng.uniform(12.0, 24.0)
        elif kind < 0.40:
            # Figure spanning all or several columns, with its caption.
            w = (right - left) * rng.choice((1.0, 2 / 3, 0.5))
            h = min(rng.uniform(150.0, 320.0), text_bottom - y - 60.0)
            if h < 60.0:
                break
            out.append((left, y, left + w, y + h, "Vision"))
            if len(out) < budget:
                out.append((left, y + h + 8.0, left + w, y + h + 8.0 + rng.uniform(18.0, 36.0), "Regular"))
            y += h + 60.0
        elif kind < 0.55:
            y = _table(rng, left, right, y, out, budget) + rng.uniform(15.0, 30.0)
        else:
            # A band of 1-4 columns of paragraphs, sometimes with a figure
            # spanning the first two columns at its top.
            k = rng.randint(1, 4)
            gutter = rng.uniform(15.0, 40.0)
            col_w = (right - left - (k - 1) * gutter) / k
            band_end = min(text_bottom, y + rng.uniform(200.0, 600.0))
            top = y
            if k >= 2 and rng.random() < 0.3 and len(out) < budget:
                fh = rng.uniform(100.0, 200.0)
                span = rng.randint(2, k)
                out.append((left, y, left + span * col_w + (span - 1) * gutter, y + fh, "Vision"))
                top = y + fh + 15.0
            for c in range(k):
                x1 = left + c * (col_w + gutter)
                _paragraph_column(rng, x1, x1 + col_w, top, band_end, out, budget)
            y = band_end + rng.uniform(15.0, 30.0)
    out = out[:budget]
    out.extend(footnotes)
    if page_number:
        out.append((PAGE_W / 2 - 15.0, PAGE_H - 30.0, PAGE_W / 2 + 15.0, PAGE_H - 16.0, "Regular"))
    return out


def realistic(n, seed=2):
    """n boxes of synthetic pages, 40-160 boxes a page (one page for small
    n), pages tiled on a sheet."""
    rng = random.Random(seed)
    pages = []
    count = 0
    while count < n:
        want = n - count if n - count <= 160 else rng.randint(40, 160)
        page = synth_page(rng, want)
        if not page:
            continue
        pages.append((PAGE_W, PAGE_H, page))
        count += len(page)
    boxes = _tile(pages, rng) if len(pages) > 1 else pages[0][2]
    return _finish(boxes[:n], seed)


# ---------------------------------------------------------------------------
# Synthetic stress layouts
# ---------------------------------------------------------------------------

def uniform_random(n, seed=3):
    rng = random.Random(seed)
    side = 100.0 * math.sqrt(n)
    boxes = []
    for _ in range(n):
        w = rng.uniform(5.0, 60.0)
        h = rng.uniform(5.0, 60.0)
        x = rng.uniform(0.0, side - w)
        y = rng.uniform(0.0, side - h)
        boxes.append((x, y, x + w, y + h, "Regular"))
    return _finish(boxes, seed)


def staircase(n, seed=4):
    boxes = [(20.0 * i, 20.0 * i, 20.0 * i + 10.0, 20.0 * i + 10.0, "Regular") for i in range(n)]
    return _finish(boxes, seed)


def identical(n, seed=5):
    return _finish([(100.0, 100.0, 300.0, 150.0, "Regular")] * n, seed)


GENERATORS = {
    "real": real,
    "realistic": realistic,
    "random": uniform_random,
    "staircase": staircase,
    "identical": identical,
}


def make(layout, n):
    """Boxes (id, x1, y1, x2, y2, label) of one layout at size n, input order."""
    return GENERATORS[layout](n)


def bounds_of(boxes):
    """Page bounds tuple (x_min, y_min, x_max, y_max) of the boxes; the engine
    validates but does not read them."""
    if not boxes:
        return (0.0, 0.0, 1.0, 1.0)
    return (
        min(b[1] for b in boxes),
        min(b[2] for b in boxes),
        max(b[3] for b in boxes),
        max(b[4] for b in boxes),
    )
