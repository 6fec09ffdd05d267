#!/usr/bin/env python3
"""The default and the exact order on pages given in other units, per
collection of bench/data, as Markdown.

    python bench/units.py            # a minute or so

Every page of bench/data is given again with all its coordinates (boxes,
separators, page bounds) multiplied by one factor, as another source would
give it: at half the resolution, in PDF points (72 per inch: the generated
pages are set at 150 dpi, so 0.48 of their pixels), or in fractions of the
page's longer side (a detector's normalised output).  The pages are ordered
and scored as ``profile_cv.py`` orders and scores them.  The core takes a gap
of 5 units or more for a cut, whatever the unit, so its order changes with
the unit; the default scales a short page up before the core sees it
(``scale``), and the column beside it shows the default without that step.
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any

import quorlin
from quorlin.profile import DEFAULT_OPTIONS
from quorlin.profile import order as profile_order

sys.path.insert(0, str(Path(__file__).resolve().parent))
from profile_cv import Corpus, heading, say, table  # noqa: E402

#: (name, factor of a page): None is the page's longer side, giving fractions of it.
UNITS: tuple[tuple[str, float | None], ...] = (
    ("as given", 1.0), ("half the resolution", 0.5), ("PDF points", 0.48), ("fractions of the page", None))


def times(box: Any, factor: float) -> tuple[float, float, float, float]:
    return (box[0] * factor, box[1] * factor, box[2] * factor, box[3] * factor)


def main() -> int:
    corpus = Corpus()
    without_scale = DEFAULT_OPTIONS.replace(scale=False)

    def order(i: int, unit: float | None, how: str) -> list[Any]:
        boxes, ids, kinds, bounds, separators = corpus.inputs[i]
        factor = 1.0 / max(bounds[2] - bounds[0], bounds[3] - bounds[1]) if unit is None else unit
        boxes = [times(b, factor) for b in boxes]
        separators = [times(b, factor) for b in separators]
        bounds = times(bounds, factor)
        if how == "exact":
            return quorlin.order(boxes, None, ids, page_bounds=bounds, separators=separators, exact=True)
        options = without_scale if how == "unscaled" else DEFAULT_OPTIONS
        return profile_order(boxes, ids, page_bounds=bounds, separators=separators, options=options, labels=kinds)

    columns = []
    for name, unit in UNITS:
        say(f"units: {name}")
        for how, label in (("exact", "exact"), ("unscaled", "without scale"), ("default", "**default**")):
            columns.append((f"{label}, {name}", corpus.per_collection(lambda i: order(i, unit, how))))
    heading("Pages in other units")
    table(corpus, columns)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
