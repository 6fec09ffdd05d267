#!/usr/bin/env python3
"""The default and the exact order on pages scanned askew, per collection of
bench/data, as Markdown.

    python bench/skew.py            # 0, ±0.5, 1 and 2 degrees (a few seconds)

Every page of bench/data is turned about its centre by a small angle: each
box, and each separator, becomes the upright box around its turned corners,
as a detector or an OCR engine would box a page scanned askew; the page
bounds stay.  The pages are then ordered and scored as ``profile_cv.py``
orders and scores them (``quorlin eval``'s way).  Both orders read upright
boxes only, so they read such a page less well; the table shows how much.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path
from typing import Any

import quorlin

sys.path.insert(0, str(Path(__file__).resolve().parent))
from profile_cv import Corpus, heading, table  # noqa: E402

ANGLES = (0.0, 0.5, -0.5, 1.0, 2.0)


def turned(box: Any, degrees: float, cx: float, cy: float) -> tuple[float, float, float, float]:
    """The upright box around ``box`` turned by ``degrees`` about (cx, cy)."""
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    x1, y1, x2, y2 = box
    corners = [(cx + (x - cx) * c - (y - cy) * s, cy + (x - cx) * s + (y - cy) * c) for x in (x1, x2) for y in (y1, y2)]
    return (min(p[0] for p in corners), min(p[1] for p in corners),
            max(p[0] for p in corners), max(p[1] for p in corners))


def main() -> int:
    corpus = Corpus()

    def order(i: int, degrees: float, exact: bool) -> list[Any]:
        boxes, ids, kinds, bounds, separators = corpus.inputs[i]
        cx, cy = (bounds[0] + bounds[2]) / 2, (bounds[1] + bounds[3]) / 2
        return quorlin.order([turned(b, degrees, cx, cy) for b in boxes], None if exact else kinds, ids,
                             page_bounds=bounds, separators=[turned(b, degrees, cx, cy) for b in separators],
                             exact=exact)

    columns = []
    for degrees in ANGLES:
        for exact in (True, False):
            name = f"{'exact' if exact else 'default'}, {degrees:+g}°"
            columns.append((name, corpus.per_collection(lambda i: order(i, degrees, exact))))
    heading("Pages turned by a small angle")
    table(corpus, columns)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
