"""A classic projection-profile recursive XY-cut in NumPy.

This is the kind of code a user would write from the textbook description
when no compiled engine is at hand, and serves as the comparison baseline of
the benchmark:

1. Project the boxes of the current set onto each axis: a profile with one
   bin per unit of the coordinate (rasterised over the set's bounding box),
   counting how many boxes cover each bin.
2. The empty runs of a profile (valleys) between covered bins are the
   candidate cuts; the widest valley on either axis wins (ties go to the
   horizontal cut, i.e. rows before columns), if it is at least `min_gap`
   bins wide.
3. Split the set at the middle of the valley by box centre, and recurse
   into the upper/left part and then the lower/right part.
4. A set without a valley is read top to bottom, then left to right.

It deliberately follows the raster formulation (as on a binarised page
image) and not an exact interval sweep: a box covers the bins
[floor(lo), ceil(hi)), so valleys are measured to whole units.  The
recursion is driven by an explicit stack so that deep layouts do not hit
Python's recursion limit.
"""

from __future__ import annotations

import numpy as np


def _widest_valley(lo: np.ndarray, hi: np.ndarray) -> tuple[float, float]:
    """Widest empty run of the projection profile of intervals [lo, hi).

    Returns (cut position, valley width), width 0 when the profile has no
    inner valley.  The profile spans the set's own extent, so it starts and
    ends on covered bins and every empty run found is an inner one.
    """
    origin = np.floor(lo.min())
    start = np.floor(lo - origin).astype(np.int64)
    end = np.ceil(hi - origin).astype(np.int64)
    end = np.maximum(end, start + 1)  # a zero-size box still covers one bin
    size = int(end.max())
    # Difference array: +1 where a box starts covering, -1 where it stops.
    profile = np.cumsum(np.bincount(start, minlength=size + 1) - np.bincount(end, minlength=size + 1))[:size]
    empty = profile == 0
    if not empty.any():
        return 0.0, 0.0
    edges = np.diff(empty.view(np.int8))
    run_starts = np.flatnonzero(edges == 1) + 1
    run_ends = np.flatnonzero(edges == -1) + 1
    widths = run_ends - run_starts
    k = int(np.argmax(widths))
    return float(origin + (run_starts[k] + run_ends[k]) * 0.5), float(widths[k])


def xycut_order(boxes: np.ndarray, ids: np.ndarray, min_gap: float = 5.0) -> np.ndarray:
    """Ids of the boxes (an (n, 4) array of x1, y1, x2, y2) in reading order."""
    boxes = np.asarray(boxes, dtype=np.float64)
    # Normalise the corners once: left, top, right, bottom.
    b = np.empty_like(boxes)
    b[:, 0] = np.minimum(boxes[:, 0], boxes[:, 2])
    b[:, 1] = np.minimum(boxes[:, 1], boxes[:, 3])
    b[:, 2] = np.maximum(boxes[:, 0], boxes[:, 2])
    b[:, 3] = np.maximum(boxes[:, 1], boxes[:, 3])
    out = []
    stack = [np.arange(len(b))]
    while stack:
        idx = stack.pop()
        if len(idx) <= 1:
            out.append(idx)
            continue
        s = b[idx]
        cut_y, gap_y = _widest_valley(s[:, 1], s[:, 3])
        cut_x, gap_x = _widest_valley(s[:, 0], s[:, 2])
        if max(gap_y, gap_x) < min_gap:
            out.append(idx[np.lexsort((s[:, 0], s[:, 1]))])
            continue
        if gap_y >= gap_x:
            centre = (s[:, 1] + s[:, 3]) * 0.5
            cut = cut_y
        else:
            centre = (s[:, 0] + s[:, 2]) * 0.5
            cut = cut_x
        before = centre < cut
        first = idx[before]
        second = idx[~before]
        if len(first) == 0 or len(second) == 0:
            out.append(idx[np.lexsort((s[:, 0], s[:, 1]))])
            continue
        stack.append(second)
        stack.append(first)
    return ids[np.concatenate(out)] if out else ids[:0]
