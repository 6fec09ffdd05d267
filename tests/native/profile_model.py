"""Executable reference of the quality profile, in plain Python.

A deliberately plain transcription of the C++ profile
(``src/engine/profile/``), meant to be compared with
it on real and random pages: every step on lists and dicts, sorting
everything it sorts in full, and ``_quorlin_core.compute_order_mervane`` on
each part.  Its arithmetic is Python's, double precision on the coordinates
as given, which is the C++ profile's; the shrunk boxes reach the core as
Python floats, which ``Element`` rounds to single precision as the C++
profile rounds them.

``order(boxes, page_bounds, separators, roles=None, **settings)`` returns
the box indices in reading order; ``roles`` holds one role code per box
(``quorlin.labels.ROLES``) or is None; the settings are those of
``quorlin.profile.ProfileOptions``, read through an options object.
"""

from __future__ import annotations

import math

import _quorlin_core as core

from quorlin.profile import ProfileOptions

# The role codes of quorlin.labels.ROLES.
BODY, HEADING, HEADER, FOOTER, PAGE_NUMBER, FOOTNOTE, CAPTION, FIGURE, MARGINAL, FOLIO, INITIAL = range(11)


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


def share_shrunk(b, dx, dy, s):
    """The box shrunk by dx on the left and right and by dy, at most shrink_share of its own height, on top
    and bottom."""
    return shrunk(b, dx, min(dy, s.shrink_share * (b[3] - b[1])))


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
    if not has_columns([t[k] for k in left]) and not has_columns([t[k] for k in right]):
        return [(good, frame)]
    return [(left, (fx1, fy1, cut, fy2)), (right, (cut, fy1, fx2, fy2))]


LEVEL_SHARE = 0.5
COLUMN_PAIRS = 16


def has_columns(boxes):
    """Whether two boxes stand side by side (apart from left to right, level by at least LEVEL_SHARE of the
    shorter one's height); past COLUMN_PAIRS pairs a box looked at, they count as columns."""
    b = sorted(boxes, key=lambda r: (r[1], r[0], r[3], r[2]))
    budget = COLUMN_PAIRS * len(b) + COLUMN_PAIRS
    for i, (ax1, ay1, ax2, ay2) in enumerate(b):
        for bx1, by1, bx2, by2 in b[i + 1:]:
            if not by1 < ay2:
                break
            if budget == 0:
                return True
            budget -= 1
            if (ax2 <= bx1 or bx2 <= ax1) and min(ay2, by2) - by1 >= LEVEL_SHARE * min(ay2 - ay1, by2 - by1):
                return True
    return False


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


def heads_columns(tb, raw, strip, rest, frame, s, above, roles=None):
    """Whether the strip is the first lines of columns: each strip box is
    compared with the nearest box under it (above it for a strip at the foot)
    that overlaps it horizontally. A box is a column's first line when the
    raw gap to that box is below head_gap of its own raw height; of a strip
    of two or more boxes, also when it starts within column_edge of the page
    width of that box, and, with roles, when it is body text and no box is
    under it. One such box of a one-box strip, or two of a wider strip, make
    it the first lines of columns."""
    count = 0
    for k in strip:
        b = tb[k]
        near = [j for j in rest if tb[j][0] < b[2] and tb[j][2] > b[0]]
        if not near:
            count += roles is not None and len(strip) > 1 and roles[k] == BODY
            continue
        j = (min(near, key=lambda j: (tb[j][1], j)) if not above else min(near, key=lambda j: (-tb[j][3], j)))
        r, u = raw[k], raw[j]
        gap = r[1] - u[3] if above else u[1] - r[3]
        close = gap < s.head_gap * (r[3] - r[1])
        if close or (len(strip) > 1 and abs(tb[j][0] - b[0]) <= s.column_edge * (frame[2] - frame[0])):
            count += 1
    return count >= min(2, len(strip))


def strip_of(tb, raw, idx, frame, s, foot=False, roles=None):
    """(strip, rest): every box sorted by (y1, y2, index) and swept (from the
    bottom, by (-y2, -y1, index), for the foot); the first box beyond
    everything before it ends the strip, taken when thin enough and when it
    does not head (or end) two columns."""
    if len(idx) < 2:
        return [], idx
    if foot:
        lo, hi = (lambda k: -tb[k][3]), (lambda k: -tb[k][1])
    else:
        lo, hi = (lambda k: tb[k][1]), (lambda k: tb[k][3])
    order = sorted(idx, key=lambda k: (lo(k), hi(k), k))
    top, reach = lo(order[0]), hi(order[0])
    for j in range(1, len(order)):
        if lo(order[j]) > reach:
            if reach - top <= s.top_strip_max * (frame[3] - frame[1]):
                taken = set(order[:j])
                strip = [k for k in idx if k in taken]
                rest = [k for k in idx if k not in taken]
                # a running head stands clear of the text as given, not only once shrunk
                if not foot and not max(raw[k][3] for k in strip) < min(raw[k][1] for k in rest):
                    return [], idx
                if foot and not min(raw[k][1] for k in strip) > max(raw[k][3] for k in rest):
                    return [], idx
                if len(strip) <= 8 and heads_columns(tb, raw, strip, rest, frame, s, foot, roles):
                    return [], idx
                return strip, rest
            break
        reach = max(reach, hi(order[j]))
    return [], idx


def top_strip(tb, raw, idx, frame, s, roles=None):
    if not s.top_strip:
        return [], idx
    return strip_of(tb, raw, idx, frame, s, roles=roles)


def margin_notes(tb, idx, s, roles=None):
    """(notes, rest): the narrow strips left and right of the text block; a box with a heading role is never
    a note."""
    if not s.margins or len(idx) < 3:
        return [], idx
    widest = max(tb[k][2] - tb[k][0] for k in idx)
    body = [k for k in idx if tb[k][2] - tb[k][0] >= s.body_fraction * widest]
    bx1, bx2 = min(tb[k][0] for k in body), max(tb[k][2] for k in body)
    by1, by2 = min(tb[k][1] for k in body), max(tb[k][3] for k in body)
    beside = [k for k in idx if by1 <= (tb[k][1] + tb[k][3]) / 2 <= by2 and (roles is None or roles[k] != HEADING)]
    notes = set()
    for strip in ([k for k in beside if tb[k][2] <= bx1], [k for k in beside if tb[k][0] >= bx2]):
        if strip and max(tb[k][2] for k in strip) - min(tb[k][0] for k in strip) <= s.margin_max * (bx2 - bx1):
            notes.update(strip)
    return [k for k in idx if k in notes], [k for k in idx if k not in notes]


def lone_rows(tb, idx):
    """The boxes whose (shrunk) height no other box overlaps: each alone in its row."""
    return [k for k in idx if not any(j != k and tb[j][1] < tb[k][3] and tb[k][1] < tb[j][3] for j in idx)]


# The least length of a page's longer side the core sees: a shorter page's
# boxes reach it multiplied by the least power of two, at most 2^20, that
# makes the side this long.
SCALE_SIDE = 3000.0


def engine_scale(frame):
    longest = max(frame[2] - frame[0], frame[3] - frame[1])
    if not 0 < longest < SCALE_SIDE:
        return 1.0
    scale = 1.0
    for _ in range(20):
        if longest * scale >= SCALE_SIDE:
            break
        scale *= 2.0
    return scale if longest * scale >= SCALE_SIDE else 1.0


def scaled(b, scale):
    return tuple(v * scale for v in b)


def core_order(tb, idx, frame, scale=1.0):
    if len(idx) < 2:
        return list(idx)
    elements = [core.Element(k, *scaled(tb[k], scale), core.SemanticLabel.Regular) for k in idx]
    return list(core.compute_order_mervane(elements, scaled(frame, scale)))


# The share of the page's height by which a column rule is shortened at both
# ends when it is handed to the core as a wall.
RULE_TRIM = 0.01
# An id past every box's, for the walls among the core's elements.
WALL = 1 << 31


def rule_walls(rules, tb, idx, frame):
    """The column rules crossing the extent of the boxes of idx in tb,
    shortened by RULE_TRIM of the frame's height at both ends (none not
    longer than twice that), as boxes of no width, by (c, y1, y2)."""
    if not rules or not idx:
        return []
    left, top = min(tb[k][0] for k in idx), min(tb[k][1] for k in idx)
    right, bottom = max(tb[k][2] for k in idx), max(tb[k][3] for k in idx)
    trim = RULE_TRIM * (frame[3] - frame[1])
    return [(c, r1 + trim, c, r2 - trim) for c, r1, r2 in sorted(rules)
            if left < c < right and r1 < bottom and r2 > top and r2 - r1 > 2 * trim]


def walled_order(tb, idx, frame, walls, scale=1.0):
    """The core's order of idx with the walls among its elements, left out."""
    if len(idx) < 2 or not walls:
        return core_order(tb, idx, frame, scale)
    elements = [core.Element(k, *scaled(tb[k], scale), core.SemanticLabel.Regular) for k in idx]
    elements += [core.Element(WALL + j, *scaled(w, scale), core.SemanticLabel.Regular) for j, w in enumerate(walls)]
    return [k for k in core.compute_order_mervane(elements, scaled(frame, scale)) if k < WALL]


# Walls down the gutter of two columns of text (see gutter_walls).
GUTTER_BOXES = 256
GUTTER_BODY = 2
GUTTER_FULL = 0.6
GUTTER_FULL_SHARE = 0.5
GUTTER_LIKE = 0.5
GUTTER_LEAST = 12.0
GUTTER_BAND = 6.0
GUTTER_COLUMN = (0.3, 0.6)


def cross_rules(separators):
    """The separators wider than tall (normalised), which no column runs on across."""
    out = []
    for sep in separators:
        if finite(sep):
            b = normalised(sep)
            if b[2] - b[0] > b[3] - b[1]:
                out.append(b)
    return out


def gutter_walls(tb, idx, roles, separators, scale):
    """The walls, each (x, y1, x, y2), down the gutters of two columns of text among the boxes idx (in tb),
    when the median width of their body boxes is within GUTTER_COLUMN of their width. Each box, by (y1,
    index), is paired with the nearest box right of it, then the nearest left of it, among the boxes of
    positive height after it that start within its height; the line x midway between a pair is
    cut into stretches by the boxes and the crossing rules across it (a pair with one beside it is passed
    over, and so is one whose line lies in the gutter of a stretch tried and whose middle lies in that
    stretch); the stretch holding the middle of the pair's common height holds the boxes beside the line
    that reach into it, less the headings at its foot (by (y2, index), the last first). Walled when each side
    holds GUTTER_BODY body boxes, the gutter between the sides is GUTTER_LEAST engine units wide, the
    narrower side at least GUTTER_LIKE as wide as the wider, at least GUTTER_FULL_SHARE of each side's boxes
    at least GUTTER_FULL of its width, every box of a side shares some width with its widest, and every other
    box stands GUTTER_BAND engine units above or below them."""
    if not 4 <= len(idx) <= GUTTER_BOXES or sum(1 for k in idx if roles[k] == BODY) < 2 * GUTTER_BODY:
        return []
    widths = sorted(tb[k][2] - tb[k][0] for k in idx if roles[k] == BODY)
    span = max(tb[k][2] for k in idx) - min(tb[k][0] for k in idx)
    if not GUTTER_COLUMN[0] * span <= widths[len(widths) // 2] <= GUTTER_COLUMN[1] * span:
        return []
    crossings = cross_rules(separators)
    by_top = sorted(idx, key=lambda k: (tb[k][1], k))
    band = GUTTER_BAND / scale
    tried = []  # (gutter's left, its right, stretch's top, its foot)
    walls = []

    def try_pair(a, b):
        A, B = tb[a], tb[b]
        x = (A[2] + B[0]) / 2
        mid = (max(A[1], B[1]) + min(A[3], B[3])) / 2
        if any(gl <= x <= gr and lo < mid < hi for gl, gr, lo, hi in tried):
            return
        lo, hi = -math.inf, math.inf
        for c1, c2 in [(tb[k][1], tb[k][3]) for k in idx if tb[k][0] < x < tb[k][2]] + \
                      [(r[1], r[3]) for r in crossings if r[0] < x < r[2]]:
            if c2 <= mid:
                lo = max(lo, c2)
            elif c1 >= mid:
                hi = min(hi, c1)
            else:
                return
        run = [k for k in idx if not tb[k][0] < x < tb[k][2] and min(hi, tb[k][3]) > max(lo, tb[k][1])]
        # (a stretch of no height, between rules that meet at the pair's middle, holds no box)
        tried.append((max((tb[k][2] for k in run if tb[k][2] <= x), default=-math.inf),
                      min((tb[k][0] for k in run if not tb[k][2] <= x), default=math.inf), lo, hi))
        while run:
            last = max(run, key=lambda k: (tb[k][3], k))
            if roles[last] != HEADING:
                break
            run.remove(last)
        left = [k for k in run if tb[k][2] <= x]
        right = [k for k in run if not tb[k][2] <= x]
        if (sum(1 for k in left if roles[k] == BODY) < GUTTER_BODY
                or sum(1 for k in right if roles[k] == BODY) < GUTTER_BODY):
            return
        gl = max(tb[k][2] for k in left)
        gr = min(tb[k][0] for k in right)
        if not (gr - gl) * scale >= GUTTER_LEAST:
            return
        lw = gl - min(tb[k][0] for k in left)
        rw = max(tb[k][2] for k in right) - gr
        if not min(lw, rw) >= GUTTER_LIKE * max(lw, rw):
            return
        if any(sum(1 for k in side if tb[k][2] - tb[k][0] >= GUTTER_FULL * w) < GUTTER_FULL_SHARE * len(side)
               for side, w in ((left, lw), (right, rw))):
            return
        if not all(min(tb[k][2], W[2]) > max(tb[k][0], W[0]) for side in (left, right)
                   for W in [tb[max(side, key=lambda k: tb[k][2] - tb[k][0])]] for k in side):
            return
        top = min(tb[k][1] for k in run)
        bottom = max(tb[k][3] for k in run)
        inside = set(run)
        if not all(tb[k][3] <= top - band or tb[k][1] >= bottom + band for k in idx if k not in inside):
            return
        wall = ((gl + gr) / 2, top, (gl + gr) / 2, bottom)
        if wall not in walls:
            walls.append(wall)

    for i, p in enumerate(by_top):
        P = tb[p]
        right = left = None
        for q in by_top[i + 1:]:
            Q = tb[q]
            if not Q[1] < P[3]:
                break
            if not Q[1] < Q[3]:
                continue
            if P[2] < Q[0]:
                if right is None or Q[0] < tb[right][0]:
                    right = q
            elif Q[2] < P[0]:
                if left is None or Q[2] > tb[left][2]:
                    left = q
        if right is not None:
            try_pair(p, right)
        if left is not None:
            try_pair(left, p)
    return walls


def merged(main, notes, boxes):
    """Each note before the first main box that starts below its top."""
    pending = sorted(notes, key=lambda k: (boxes[k][1], boxes[k][0], k))
    out = []
    for m in main:
        while pending and boxes[pending[0]][1] < boxes[m][1]:
            out.append(pending.pop(0))
        out.append(m)
    return out + pending


# The most margin notes a page may have for them to be read in blocks.
MOST_NOTES = 256
# How far under the top of a text region a labelled note alone on its left may start and still head it, a
# fraction of the page height (about a line of a book page).
NOTE_LEAD = 0.03


def note_blocks(notes, boxes):
    """The margin notes in blocks: by top, left, index, each joins the first
    block whose last note it overlaps in width and starts within (or at most
    the lesser of their heights under it), unless it would widen the block by
    more than half; else it starts a block."""
    blocks = []
    for k in sorted(notes, key=lambda k: (boxes[k][1], boxes[k][0], k)):
        x1, y1, x2, y2 = boxes[k]
        for b in blocks:
            l = boxes[b[-1]]
            left = min(boxes[j][0] for j in b)
            right = max(boxes[j][2] for j in b)
            if (min(x2, l[2]) > max(x1, l[0]) and l[1] <= y1 <= l[3] + min(y2 - y1, l[3] - l[1])
                    and max(x2, right) - min(x1, left) <= 1.5 * (right - left)):
                b.append(k)
                break
        else:
            blocks.append([k])
    return blocks


def continues(a, b):
    """Whether line box b goes on the paragraph of line box a, the line over it:
    they share most of their width, b starts within a or a little under it, is
    not indented, a is not short, and their heights are alike."""
    h = min(a[3] - a[1], b[3] - b[1])
    return (min(a[2], b[2]) - max(a[0], b[0]) > 0.5 * min(a[2] - a[0], b[2] - b[0])
            and a[1] <= b[1] <= a[3] + 0.8 * h and b[0] <= a[0] + 0.5 * h and a[2] >= b[2] - h
            and b[3] - b[1] <= 2.5 * (a[3] - a[1]) and a[3] - a[1] <= 2.5 * (b[3] - b[1]))


def headed(note, body, boxes, lead):
    """The box of body that a labelled note alone heads: the first one (in body's order) that is no text line
    (less than six times as wide as tall), right of the note's middle, whose top the note starts at or at most
    `lead` under, and above whose bottom it starts; None when there is none."""
    n = boxes[note]
    for k in body:
        b = boxes[k]
        if ((n[0] + n[2]) / 2 < b[0] and 0 <= n[1] - b[1] <= lead and n[1] < b[3]
                and b[2] - b[0] < 6 * (b[3] - b[1])):
            return k
    return None


def level_lines(b, seq, boxes, text):
    """The places in seq of the text boxes level with the notes b (their middles between the block's top and
    bottom, sharing less than a fifth of its width), or None unless the block stands beside text lines: at
    least half of those boxes are six times as wide as tall, and the block at most half as wide as the widest."""
    top, bottom = min(boxes[k][1] for k in b), max(boxes[k][3] for k in b)
    left, right = min(boxes[k][0] for k in b), max(boxes[k][2] for k in b)
    level = [i for i, k in enumerate(seq) if k in text and top < (boxes[k][1] + boxes[k][3]) / 2 < bottom
             and min(boxes[k][2], right) - max(boxes[k][0], left) < 0.2 * (right - left)]
    widths = [boxes[seq[i]][2] - boxes[seq[i]][0] for i in level]
    wide = sum(1 for i in level if boxes[seq[i]][2] - boxes[seq[i]][0] >= 6 * (boxes[seq[i]][3] - boxes[seq[i]][1]))
    if not level or 2 * wide < len(level) or right - left > 0.5 * max(widths):
        return None
    return level


def with_notes(body, notes, boxes, labelled=(), lead=0.0):
    """The margin notes merged into body: each by its top, but a labelled note
    alone right before the box it heads (headed), and a block of two or more
    beside text lines, or a labelled note alone beside them (level_lines),
    read whole: on the left, before the paragraph whose first line is level
    with it, else after the paragraph of the last line level with it."""
    if len(notes) > MOST_NOTES:
        return merged(body, notes, boxes)
    blocks = note_blocks(notes, boxes)
    text = set(body)
    heads, alone, whole = {}, [], [b for b in blocks if len(b) > 1]
    for k in [k for b in blocks if len(b) == 1 for k in b]:
        target = headed(k, body, boxes, lead) if k in labelled else None
        if target is not None:
            heads.setdefault(target, []).append(k)
        elif k in labelled and level_lines([k], body, boxes, text) is not None:
            whole.append([k])
        else:
            alone.append(k)
    out = []
    for k in merged(body, alone, boxes):
        out += sorted(heads.get(k, []), key=lambda j: (boxes[j][1], boxes[j][0], j)) + [k]
    for b in sorted(whole, key=blocks.index):
        level = level_lines(b, out, boxes, text)
        if level is None:
            out = merged(out, b, boxes)
            continue
        left, right = min(boxes[k][0] for k in b), max(boxes[k][2] for k in b)
        first = level[0]
        f = boxes[out[first]]
        if (left + right) / 2 < (f[0] + f[2]) / 2 and (first == 0 or not continues(boxes[out[first - 1]], f)):
            at = first
        else:
            at = level[-1]
            while at + 1 < len(out) and continues(boxes[out[at]], boxes[out[at + 1]]):
                at += 1
            at += 1
        out = out[:at] + b + out[at:]
    return out


# The most drop capitals a page may have for each to be placed before the text it begins.
MOST_INITIALS = 256


def with_initials(body, initials, boxes, roles):
    """Each drop capital (by top, left, index) right before the text box (body or heading) of body that holds
    at least half of its area (the one holding most; the first of equals), else the nearest one beside it on
    the right (starting right of its middle, at most its width away, level with it; the higher, then the first,
    of equally near ones); else merged back by its top."""
    initials = sorted(initials, key=lambda k: (boxes[k][1], boxes[k][0], k))
    text = [k for k in body if roles[k] in (BODY, HEADING)]

    def begun(d):
        x1, y1, x2, y2 = boxes[d]
        shared = [(max(0.0, min(x2, boxes[k][2]) - max(x1, boxes[k][0]))
                   * max(0.0, min(y2, boxes[k][3]) - max(y1, boxes[k][1])), -n) for n, k in enumerate(text)]
        if shared and max(shared)[0] > 0 and max(shared)[0] >= 0.5 * (x2 - x1) * (y2 - y1):
            return text[-max(shared)[1]]
        beside = [(boxes[k][0] - x2, boxes[k][1], n) for n, k in enumerate(text)
                  if boxes[k][0] >= (x1 + x2) / 2 and boxes[k][0] - x2 <= x2 - x1
                  and min(y2, boxes[k][3]) > max(y1, boxes[k][1])]
        return text[min(beside)[2]] if beside else None

    targets = {d: begun(d) for d in initials} if len(initials) <= MOST_INITIALS else {d: None for d in initials}
    out = []
    for k in body:
        out += [d for d in initials if targets[d] == k] + [k]
    return merged(out, [d for d in initials if targets[d] is None], boxes)


def caption_blocks(boxes, captions):
    """{caption: the union of its block}: two captions are lines of one when they overlap by more than half the
    narrower width, stand less than half the shorter one's height apart, the taller at most 1.5 times as tall,
    and their left edges or centres at most that height apart; a block is what such pairs join."""
    parent = {c: c for c in captions}
    def root(c):
        while parent[c] != c:
            c = parent[c]
        return c
    for i, a in enumerate(captions):
        for b in captions[i + 1:]:
            p, q = boxes[a], boxes[b]
            if (min(p[2], q[2]) - max(p[0], q[0]) > 0.5 * min(p[2] - p[0], q[2] - q[0])
                    and max(p[1] - q[3], q[1] - p[3]) < 0.5 * min(p[3] - p[1], q[3] - q[1])
                    and max(p[3] - p[1], q[3] - q[1]) <= 1.5 * min(p[3] - p[1], q[3] - q[1])
                    and min(abs(p[0] - q[0]), abs(p[0] + p[2] - q[0] - q[2]) / 2) <= min(p[3] - p[1], q[3] - q[1])):
                parent[root(a)] = root(b)
    union = {}
    for c in captions:
        r, b = root(c), boxes[c]
        u = union.get(r, b)
        union[r] = (min(u[0], b[0]), min(u[1], b[1]), max(u[2], b[2]), max(u[3], b[3]))
    return {c: union[root(c)] for c in captions}


def caption_groups(boxes, main, roles, frame, s):
    """{figure: [figure, captions...]}, measured on the boxes as given: each caption with the nearest figure
    above or below it that it overlaps by more than half the narrower width,
    within caption_gap of the page height; then, until none is added, a
    caption within that gap of a caption already placed, overlapping it."""
    if sum(roles[k] == CAPTION for k in main) > MOST_CAPTIONS:
        return {}  # a page of more captions reads them as text
    reach = s.caption_gap * (frame[3] - frame[1])
    figures = [k for k in main if roles[k] == FIGURE]
    pairs = []  # (caption, figure) in the order they were made
    block = caption_blocks(boxes, [k for k in main if roles[k] == CAPTION])
    for c in main:
        if roles[c] != CAPTION:
            continue
        best = None
        for f in figures:
            a, b = block[c], boxes[f]
            if not min(a[2], b[2]) - max(a[0], b[0]) > 0.5 * min(a[2] - a[0], b[2] - b[0]):
                continue
            gap = max(a[1] - b[3], b[1] - a[3])
            if gap <= reach and (best is None or gap < best[0]):
                best = (gap, f)
        if best is not None:
            pairs.append((c, best[1]))
    placed = {c for c, _ in pairs}
    changed = True
    while changed:
        changed = False
        for c in main:
            if roles[c] != CAPTION or c in placed:
                continue
            a = boxes[c]
            for c2, f in list(pairs):
                u = boxes[c2]
                if a[0] < u[2] and u[0] < a[2] and max(a[1] - u[3], u[1] - a[3]) <= reach:
                    pairs.append((c, f))
                    placed.add(c)
                    changed = True
                    break
    groups = {}
    for c, f in pairs:
        groups.setdefault(f, [f]).append(c)
    return groups


def regrouped(order_, groups, boxes):
    """Each group where its first member stands, top to bottom."""
    member = {k: f for f, g in groups.items() for k in g}
    out, done = [], set()
    for k in order_:
        if k not in member:
            out.append(k)
        elif member[k] not in done:
            done.add(member[k])
            out += sorted(groups[member[k]], key=lambda j: (boxes[j][1], boxes[j][0], j))
    return out


# The most captions a page may have for them to be grouped with their figures.
MOST_CAPTIONS = 256
# The most footnotes times text boxes for which a page's footnotes are tested for text beside them.
FOOTNOTE_WORK = 1 << 22


def with_footnotes(main, notes, boxes):
    """Each footnote (by top, left, index) after the last box of main whose top is above its own (at the end
    when there is none); one with text or another footnote beside it (a box whose height overlaps its own
    and whose width does not), after the last box above it whose width overlaps its own, when there is one.
    Footnotes after the same box keep their order."""
    notes = sorted(notes, key=lambda k: (boxes[k][1], boxes[k][0], k))
    by_column = len(notes) * len(main) <= FOOTNOTE_WORK
    by_footnotes = len(notes) * len(notes) <= FOOTNOTE_WORK

    def across(a, b):
        return min(a[2], b[2]) > max(a[0], b[0])

    def level_apart(b, f):
        return min(b[3], f[3]) > max(b[1], f[1]) and not across(b, f)

    anchors = {}
    for k in notes:
        f = boxes[k]
        above = [p for p, m in enumerate(main) if boxes[m][1] < f[1]]
        if by_column and (any(level_apart(boxes[m], f) for m in main)
                          or by_footnotes and any(level_apart(boxes[j], f) for j in notes if j != k)):
            above = [p for p in above if across(boxes[main[p]], f)] or above
        anchors[k] = above[-1] if above else len(main)
    out = []
    for p, m in enumerate(main):
        out += [m] + [k for k in notes if anchors[k] == p]
    return out + [k for k in notes if anchors[k] == len(main)]


def overlapping(boxes, idx):
    """How many of the boxes idx of positive size share an area with the box before or after them in the
    order of (y1, x1, index)."""
    sweep = sorted((k for k in idx if boxes[k][2] > boxes[k][0] and boxes[k][3] > boxes[k][1]),
                   key=lambda k: (boxes[k][1], boxes[k][0], k))
    found = set()
    for a, b in zip(sweep, sweep[1:]):
        p, q = boxes[a], boxes[b]
        if min(p[2], q[2]) > max(p[0], q[0]) and min(p[3], q[3]) > max(p[1], q[1]):
            found.update((a, b))
    return len(found)


def flush(boxes, idx):
    """How many of the boxes idx share their left edge exactly with another (a NaN edge with none)."""
    lefts = [boxes[k][0] for k in idx]
    return sum(1 for x in lefts if lefts.count(x) > 1)


ARTICLE_WORK = 1 << 22
ARTICLE_SHARE = 0.9


def article_lines(tb, boxes, main, roles, s):
    """The levels above which an article's heading starts a new row of articles: a heading wider than the
    text's columns (the body boxes at most 1/article_span as wide as it hold at least ARTICLE_SHARE of the
    height of all body boxes), with two boxes that are not headings side by side (in tb) starting just below
    it (from half its height above its foot to twice its height below it), and a clear band (in the boxes as
    given) between the boxes that start above half its height over its top and the others. Headings are
    looked at in the order of main while the work (len(main) each) stays within ARTICLE_WORK."""
    body = [k for k in main if roles[k] == BODY]
    if not body:
        return []
    total = 0.0
    for k in body:
        total += boxes[k][3] - boxes[k][1]

    def wide(width):
        narrower = 0.0
        for k in body:
            if s.article_span * (boxes[k][2] - boxes[k][0]) <= width:
                narrower += boxes[k][3] - boxes[k][1]
        return narrower >= ARTICLE_SHARE * total

    lines, work = [], 0
    for h in main:
        if roles[h] != HEADING:
            continue
        if work > ARTICLE_WORK:
            break
        work += len(main)
        H = boxes[h]
        if not wide(H[2] - H[0]):
            continue
        height = H[3] - H[1]
        level = H[1] - 0.5 * height
        above = [k for k in main if boxes[k][1] < level]
        below = [k for k in main if not boxes[k][1] < level]
        if not above or not max(boxes[k][3] for k in above) <= min(boxes[k][1] for k in below):
            continue
        under = [k for k in main if k != h and roles[k] != HEADING
                 and H[3] - 0.5 * height <= boxes[k][1] <= H[3] + 2 * height]
        if not any(a != b and tb[a][2] <= tb[b][0] for a in under for b in under):
            continue
        lines.append(level)
    return lines


def row_bands(boxes, main, rules, height, s, roles=None):
    """The tops of the boxes under each band that runs across all of `main`
    clear in its boxes as given, at least band_min of the page tall and
    band_ratio times the typical gap in a column, with no rule through its
    middle and, with roles, not between a heading that a column stands beside
    and the nearest box under it."""
    if not 2 <= len(main) <= 256:
        return []
    gaps = []  # from each box to the nearest box under it (from its middle down) that shares some width
    headed = []  # the gap under each heading
    for k in main:
        x1, y1, x2, y2 = boxes[k]
        below = [boxes[j][1] for j in main
                 if j != k and boxes[j][1] >= (y1 + y2) / 2 and min(x2, boxes[j][2]) > max(x1, boxes[j][0])]
        if below:
            gaps.append(max(0.0, min(below) - y2))
            if roles is not None and roles[k] == HEADING and any(
                    min(y2, boxes[j][3]) > max(y1, boxes[j][1]) and not min(x2, boxes[j][2]) > max(x1, boxes[j][0])
                    for j in main):  # a column beside the heading
                headed.append((y2, min(below)))
    gaps.sort()
    typical = gaps[len(gaps) // 2] if gaps else 0.0
    least = max(s.band_min * height, s.band_ratio * typical)
    by_top = sorted(main, key=lambda k: boxes[k][1])
    reach = boxes[by_top[0]][3]
    tops = []
    for k in by_top[1:]:
        top = boxes[k][1]
        middle = (reach + top) / 2
        if (top - reach >= least and top - reach > 0 and not any(r1 < middle < r2 for _, r1, r2 in rules)
                and not any(lo < middle < hi for lo, hi in headed)):
            tops.append(top)
        reach = max(reach, boxes[k][3])
    return tops


def order_page(boxes, idx, frame, rules, roles, s, scale=1.0, separators=()):
    width, height = frame[2] - frame[0], frame[3] - frame[1]
    tolerant = s.tolerance and (overlapping(boxes, idx) > s.overlap_share * len(idx)
                                or flush(boxes, idx) < s.aligned_share * len(idx))
    dx = s.tol_x * width
    dy = s.tol_y * height
    tb = {}
    for k in idx:
        b = snapped(boxes[k], rules, s) if rules else boxes[k]
        tb[k] = share_shrunk(b, dx, dy, s) if tolerant else b
    if tolerant and width > height and math.isfinite(dy):
        for k in lone_rows(tb, idx):
            b = snapped(boxes[k], rules, s) if rules else boxes[k]
            tb[k] = (b[0], tb[k][1], b[2], tb[k][3])
    head, foot, numbers, footnotes, marginal, initials, rest = [], [], [], [], [], [], []
    labelled = s.labels and roles is not None
    for k in idx:
        r = roles[k] if labelled else BODY
        middle = (boxes[k][1] + boxes[k][3]) / 2
        if s.furniture and r == FOLIO:
            numbers.append(k)
        elif s.furniture and r in (HEADER, FOOTER, PAGE_NUMBER) and middle < frame[1] + s.furniture_band * height:
            (rest if r == FOOTER else head).append(k)  # a footer near the top is read with the text
        elif s.furniture and r in (HEADER, FOOTER, PAGE_NUMBER) and middle > frame[3] - s.furniture_band * height:
            (numbers if r == PAGE_NUMBER else foot).append(k)
        elif s.footnotes and r == FOOTNOTE and middle > frame[1] + s.footnote_band * height:
            footnotes.append(k)
        elif s.margins and r == MARGINAL:
            marginal.append(k)
        elif s.initials and r == INITIAL:
            initials.append(k)
        else:
            rest.append(k)
    strip, rest = top_strip(tb, boxes, rest, frame, s, roles if labelled else None) if not head else ([], rest)
    notes, main = margin_notes(tb, rest, s, roles if labelled else None)
    groups = caption_groups(boxes, main, roles, frame, s) if labelled and s.captions else {}
    seen = dict(tb)
    for group in groups.values():
        union = (min(tb[k][0] for k in group), min(tb[k][1] for k in group),
                 max(tb[k][2] for k in group), max(tb[k][3] for k in group))
        for k in group:
            seen[k] = union
    # the core sees a caption group as its figure alone (the group's union); the captions join it in regrouped
    member = {k: f for f, g in groups.items() for k in g}
    alone = [k for k in main if member.get(k, k) == k]
    walls = rule_walls(rules, seen, alone, frame)
    if labelled and s.gutters:
        walls += gutter_walls(seen, alone, roles, separators, scale)
    ordered = walled_order(seen, alone, frame, walls, scale)
    lines = article_lines(seen, boxes, main, roles, s) if labelled and s.articles and tolerant else []
    lines += row_bands(boxes, main, rules, height, s, roles if labelled else None) if s.bands and tolerant else []
    if lines:  # the boxes of each row before those of the next, each row in the core's order
        ordered.sort(key=lambda k: sum(1 for y in lines if not boxes[k][1] < y))
    body = regrouped(ordered, groups, boxes)
    body = with_notes(body, notes + marginal, boxes, set(marginal), NOTE_LEAD * height)
    body = with_footnotes(body, footnotes, boxes)
    body = with_initials(body, initials, boxes, roles) if initials else body
    return (core_order(tb, head, frame, scale) + core_order(tb, strip, frame, scale) + body
            + core_order(tb, foot, frame, scale) + core_order(tb, numbers, frame, scale))


def foot_line(boxes, good, frame, s, scale=1.0):
    """(line, rest): on a landscape page, the thin strip at its foot when it
    reaches across the middle (a slide's footer, read after both halves)."""
    width, height = frame[2] - frame[0], frame[3] - frame[1]
    if not (s.foot_line and s.spread and width > height and height > 0):
        return [], good
    dx = s.tol_x * width / 2 if s.tolerance else 0.0
    dy = s.tol_y * height if s.tolerance else 0.0
    tb = {k: share_shrunk(boxes[k], dx, dy, s) for k in good}
    line, rest = strip_of(tb, boxes, good, frame, s, foot=True)
    centre = (frame[0] + frame[2]) / 2
    if line and min(tb[k][0] for k in line) < centre < max(tb[k][2] for k in line):
        return core_order(tb, line, frame, scale), rest
    return [], good


def order(boxes, page_bounds=None, separators=(), roles=None, **settings):
    s = ProfileOptions(**settings)
    norm = [normalised(b) if finite(b) else b for b in boxes]
    good = [k for k, b in enumerate(boxes) if finite(b)]
    frame = frame_of(page_bounds, norm, good)
    rules = column_rules(separators, frame, s) if s.rules else []
    scale = engine_scale(frame) if s.scale else 1.0
    line, good = foot_line(norm, good, frame, s, scale)
    out = []
    for part, part_frame in spread_pages(norm, good, frame, s):
        if part:
            out += order_page(norm, part, part_frame, rules, roles, s, scale, separators)
    return out + line + [k for k, b in enumerate(boxes) if not finite(b)]
