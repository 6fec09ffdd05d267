"""Executable reference of the quality profile, in plain Python.

A deliberately plain transcription of the C++ profile
(``src/engine/profile/profile.cpp``), meant to be compared with
it on real and random pages: every step on lists and dicts, sorting
everything it sorts in full, and ``_quorlin_core.compute_order_mervane`` on
each part.  Its arithmetic is Python's, double precision on the coordinates
as given, which is the C++ profile's; the shrunk boxes reach the core as
Python floats, which ``Element`` rounds to single precision as the C++
profile rounds them.

``order(boxes, page_bounds, separators, **settings)`` returns the box
indices in reading order; the settings are those of
``quorlin.profile.ProfileOptions``, read through an options object.
"""

from __future__ import annotations

import math

import _quorlin_core as core

from quorlin.profile import ProfileOptions


def finite(b):
    return all(math.isfinite(v) for v in b)


def normalised(b):
    x1, y1, x2, y2 = (float(v) for v in b)
    return (min(x1, x2), min(y1, y2), max(x1, x2), max(y1, y2))


def frame_of(bounds, boxes, good):
    if bounds is not None and finite(bounds):
        f = normalised(bounds)
        if f[2] > f[0] and f[3] > f[1]:
            return f
    if not good:
        return (0.0, 0.0, 0.0, 0.0)
    return (min(boxes[k][0] for k in good), min(boxes[k][1] for k in good),
            max(boxes[k][2] for k in good), max(boxes[k][3] for k in good))


def shrunk(b, dx, dy):
    """The box shrunk by dx left and right and dy top and bottom; an axis that
    would turn inside out keeps its extent."""
    x1, y1, x2, y2 = b
    nx1, nx2, ny1, ny2 = x1 + dx, x2 - dx, y1 + dy, y2 - dy
    if nx1 > nx2:
        nx1, nx2 = x1, x2
    if ny1 > ny2:
        ny1, ny2 = y1, y2
    return (nx1, ny1, nx2, ny2)


def spread_pages(boxes, good, frame, s):
    """[(indices, frame)]: the two pages of a spread, or the page as it is."""
    fx1, fy1, fx2, fy2 = frame
    width, height = fx2 - fx1, fy2 - fy1
    if not s.spread or not good or not width > height or not height > 0:
        return [(good, frame)]
    dx = s.tol_x * width / 2 if s.tolerance else 0.0
    t = {k: shrunk(boxes[k], dx, 0.0) for k in good}
    centre = (fx1 + fx2) / 2
    lo, hi = centre - s.spread_window * width, centre + s.spread_window * width
    best, cut, reach = 0.0, lo, lo
    for a, b in sorted((t[k][0], t[k][2]) for k in good if t[k][2] > lo and t[k][0] < hi):
        if a > reach and a - reach > best:
            best, cut = a - reach, (reach + a) / 2
        reach = max(reach, b)
    if hi > reach and hi - reach > best:
        best, cut = hi - reach, (reach + hi) / 2
    if not best > 0:
        return [(good, frame)]
    left = [k for k in good if (t[k][0] + t[k][2]) / 2 < cut]
    right = [k for k in good if not (t[k][0] + t[k][2]) / 2 < cut]
    return [(left, (fx1, fy1, cut, fy2)), (right, (cut, fy1, fx2, fy2))]


def column_rules(separators, frame, s):
    height = frame[3] - frame[1]
    rules = []
    for sep in separators:
        if not finite(sep):
            continue
        x1, y1, x2, y2 = normalised(sep)
        if y2 - y1 >= s.rule_aspect * (x2 - x1) and y2 - y1 >= s.rule_min_length * height and y2 - y1 > 0:
            rules.append(((x1 + x2) / 2, y1, y2))
    return rules


def snapped(b, rules, s):
    x1, y1, x2, y2 = b
    nx1, nx2 = x1, x2
    for c, r1, r2 in rules:
        if x1 < c < x2 and min(y2, r2) - max(y1, r1) >= s.rule_along * (y2 - y1):
            if c - x1 <= s.rule_edge * (x2 - x1):
                nx1 = max(nx1, c)
            elif x2 - c <= s.rule_edge * (x2 - x1):
                nx2 = min(nx2, c)
    return (nx1, y1, nx2, y2)


def top_strip(tb, idx, frame, s):
    """(strip, rest): every box sorted by (y1, y2, index) and swept; the first
    box below everything before it ends the strip, taken when thin enough."""
    if not s.top_strip or len(idx) < 2:
        return [], idx
    order = sorted(idx, key=lambda k: (tb[k][1], tb[k][3], k))
    top, reach = tb[order[0]][1], tb[order[0]][3]
    for j in range(1, len(order)):
        if tb[order[j]][1] > reach:
            if reach - top <= s.top_strip_max * (frame[3] - frame[1]):
                strip = set(order[:j])
                return [k for k in idx if k in strip], [k for k in idx if k not in strip]
            break
        reach = max(reach, tb[order[j]][3])
    return [], idx


def margin_notes(tb, idx, s):
    """(notes, rest): the narrow strips left and right of the text block."""
    if not s.margins or len(idx) < 3:
        return [], idx
    widest = max(tb[k][2] - tb[k][0] for k in idx)
    body = [k for k in idx if tb[k][2] - tb[k][0] >= s.body_fraction * widest]
    bx1, bx2 = min(tb[k][0] for k in body), max(tb[k][2] for k in body)
    by1, by2 = min(tb[k][1] for k in body), max(tb[k][3] for k in body)
    beside = [k for k in idx if by1 <= (tb[k][1] + tb[k][3]) / 2 <= by2]
    notes = set()
    for strip in ([k for k in beside if tb[k][2] <= bx1], [k for k in beside if tb[k][0] >= bx2]):
        if strip and max(tb[k][2] for k in strip) - min(tb[k][0] for k in strip) <= s.margin_max * (bx2 - bx1):
            notes.update(strip)
    return [k for k in idx if k in notes], [k for k in idx if k not in notes]


def core_order(tb, idx, frame):
    if len(idx) < 2:
        return list(idx)
    elements = [core.Element(k, *tb[k], core.SemanticLabel.Regular) for k in idx]
    return list(core.compute_order_mervane(elements, frame))


def merged(main, notes, boxes):
    """Each note before the first main box that starts below its top."""
    pending = sorted(notes, key=lambda k: (boxes[k][1], boxes[k][0], k))
    out = []
    for m in main:
        while pending and boxes[pending[0]][1] < boxes[m][1]:
            out.append(pending.pop(0))
        out.append(m)
    return out + pending


def order_page(boxes, idx, frame, rules, s):
    dx = s.tol_x * (frame[2] - frame[0])
    dy = s.tol_y * (frame[3] - frame[1])
    tb = {}
    for k in idx:
        b = snapped(boxes[k], rules, s) if rules else boxes[k]
        tb[k] = shrunk(b, dx, dy) if s.tolerance else b
    strip, rest = top_strip(tb, idx, frame, s)
    notes, main = margin_notes(tb, rest, s)
    return core_order(tb, strip, frame) + merged(core_order(tb, main, frame), notes, boxes)


def order(boxes, page_bounds=None, separators=(), **settings):
    s = ProfileOptions(**settings)
    norm = [normalised(b) if finite(b) else b for b in boxes]
    good = [k for k, b in enumerate(boxes) if finite(b)]
    frame = frame_of(page_bounds, norm, good)
    rules = column_rules(separators, frame, s) if s.rules else []
    out = []
    for part, part_frame in spread_pages(norm, good, frame, s):
        if part:
            out += order_page(norm, part, part_frame, rules, s)
    return out + [k for k, b in enumerate(boxes) if not finite(b)]
