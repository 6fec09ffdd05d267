"""Executable reference model of the `_quorlin_core` reading-order engine.

This is a deliberately plain, pure-Python transcription of the ordering
engine, meant to be compared against the C++ extension on random pages: the
order of the returned records *and* the log records it emits.

Everything the engine computes is single precision.  Python floats are
doubles, so every value that the engine would hold in a 32-bit float is kept
here as a double that is exactly representable in single precision, and every
arithmetic result of two such values is rounded back with :func:`f32`.  For a
single +, -, * or / of two float32 values, computing in double and rounding
once to float32 gives the correctly rounded float32 result (the double has
more than twice the precision), so this is bit-exact.

A record is a tuple ``(id, x1, y1, x2, y2)`` whose coordinates are already
float32 values (pass them through :func:`f32` first).

Log records are tuples ``(logger_name, levelno, lineno, message)`` collected
in emission order.
"""

import math
import struct

# ---------------------------------------------------------------------------
# Logging constants
# ---------------------------------------------------------------------------

ENGINE_LOGGER = "quorlinpy.mervane"
ENTRY_LOGGER = "quorlinpy"
DEBUG = 10
WARNING = 30

# Source line numbers carried by each log record.
LINE_ENTRY = 242
LINE_SORT_START = 87
LINE_SORT_CROSS = 110
LINE_SORT_ALL_CROSS = 117
LINE_SORT_DENSITY = 126
LINE_SEG_NO_CUT = 254
LINE_SEG_HORIZONTAL = 263
LINE_SEG_VERTICAL = 270
LINE_SEG_ONE_GROUP = 279
LINE_SEG_SPLIT = 287
LINE_MERGE_START = 468
LINE_MERGE_RESULT = 500


# ---------------------------------------------------------------------------
# Single-precision arithmetic
# ---------------------------------------------------------------------------

def f32(x):
    """Round a Python float to the nearest float32 value (returned as a float).

    struct raises OverflowError only when the rounded value would be infinite
    while the input is finite; IEEE rounding then gives an infinity of the
    input's sign.  NaNs keep their sign through the conversion.
    """
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def f32_bits(x):
    """The 32-bit pattern of a float32 value, as an unsigned integer."""
    return struct.unpack("<I", struct.pack("<f", x))[0]


def add(a, b):
    """float32 a + b."""
    return f32(a + b)


def sub(a, b):
    """float32 a - b."""
    return f32(a - b)


def mul(a, b):
    """float32 a * b."""
    return f32(a * b)


def div(a, b):
    """float32 a / b with IEEE results for a zero divisor (Python would raise)."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, math.copysign(1.0, a) * math.copysign(1.0, b))
    return f32(a / b)


def min_num(a, b):
    """IEEE 754 minNum: a NaN operand is ignored; two NaNs give the first one.

    -0.0 counts as less than +0.0.
    """
    if math.isnan(a):
        return a if math.isnan(b) else b
    if math.isnan(b):
        return a
    if a < b:
        return a
    if b < a:
        return b
    # Equal values: only the sign of zero can tell them apart.
    if a == 0.0 and math.copysign(1.0, b) < 0.0:
        return b
    return a


def max_num(a, b):
    """IEEE 754 maxNum: a NaN operand is ignored; two NaNs give the first one.

    +0.0 counts as greater than -0.0.
    """
    if math.isnan(a):
        return a if math.isnan(b) else b
    if math.isnan(b):
        return a
    if a > b:
        return a
    if b > a:
        return b
    if a == 0.0 and math.copysign(1.0, b) > 0.0:
        return b
    return a


def total_order_key(x):
    """Integer key whose ordering is the IEEE totalOrder of the float32 x.

    Read the bit pattern as a signed 32-bit integer; if negative, invert its
    31 low bits.  Result order: -NaN, -inf, negatives, -0.0, +0.0, positives,
    +inf, +NaN; distinct bit patterns give distinct keys.
    """
    bits = f32_bits(x)
    signed = bits - (1 << 32) if bits & 0x80000000 else bits
    if signed < 0:
        signed ^= 0x7FFFFFFF
    return signed


# ---------------------------------------------------------------------------
# Fixed parameters (all float32)
# ---------------------------------------------------------------------------

BETA = f32(2.0)
DENSITY_THRESHOLD = f32(0.9)
OVERLAP_RATIO = f32(0.1)          # bits 0x3DCCCCCD
MIN_GAP = f32(5.0)
MIDPOINT = f32(0.5)
WIDE_FRACTION = f32(0.1)          # bits 0x3DCCCCCD
TIE_EPSILON = 2.0 ** -23          # bits 0x34000000

# How the two float parameters appear in the "[sort]" start line
# (shortest round-trip form of the float32 values).
BETA_TEXT = "2"
DENSITY_THRESHOLD_TEXT = "0.9"


# ---------------------------------------------------------------------------
# Records and normalised extents
# ---------------------------------------------------------------------------

def make_record(id_, x1, y1, x2, y2):
    """Build a record, rounding the corners to float32."""
    return (id_, f32(x1), f32(y1), f32(x2), f32(y2))


def left(r):
    return min_num(r[1], r[3])


def right(r):
    return max_num(r[1], r[3])


def top(r):
    return min_num(r[2], r[4])


def bottom(r):
    return max_num(r[2], r[4])


def width(r):
    """max(0, right - left); a NaN difference becomes 0."""
    return max_num(0.0, sub(right(r), left(r)))


def height(r):
    """max(0, bottom - top); a NaN difference becomes 0."""
    return max_num(0.0, sub(bottom(r), top(r)))


# ---------------------------------------------------------------------------
# Element orderings: stable sorts on two totalOrder keys
# ---------------------------------------------------------------------------

def y_then_x(records):
    """Sorted copy by (top, left); equal keys keep their input order."""
    return sorted(records, key=lambda r: (total_order_key(top(r)), total_order_key(left(r))))


def vertical_extent_order(records):
    """Sorted copy by (top, bottom): the visiting order of the horizontal sweep."""
    return sorted(records, key=lambda r: (total_order_key(top(r)), total_order_key(bottom(r))))


def horizontal_extent_order(records):
    """Sorted copy by (left, right): the visiting order of the vertical sweep."""
    return sorted(records, key=lambda r: (total_order_key(left(r)), total_order_key(right(r))))


# ---------------------------------------------------------------------------
# Log formatting
# ---------------------------------------------------------------------------

def _fmt_fixed(x, digits):
    """Fixed-point text of a float32 value, rounded from its exact value
    (ties to even); infinities as inf/-inf, any NaN as NaN, -0.0 kept."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return "%.*f" % (digits, x)


def fmt1(x):
    return _fmt_fixed(x, 1)


def fmt3(x):
    return _fmt_fixed(x, 3)


def fmt_bool(b):
    return "true" if b else "false"


def _engine_log(log, level, line, message):
    log.append((ENGINE_LOGGER, level, line, message))


# ---------------------------------------------------------------------------
# Segmentation
# ---------------------------------------------------------------------------

def gap_sweep(records, axis):
    """Widest empty band along one axis: returns (cut position, gap width).

    axis "y" (horizontal cut) visits the records in vertical extent order with
    top/bottom as lower/upper extents; axis "x" (vertical cut) visits them in
    horizontal extent order with left/right.  A later gap must be strictly
    wider to win, so among equal gaps the first (lowest) one is kept.  Every
    comparison involving NaN is false.  Needs at least two records.
    """
    if axis == "y":
        visited, lower, upper = vertical_extent_order(records), top, bottom
    else:
        visited, lower, upper = horizontal_extent_order(records), left, right
    best_gap = 0.0
    cut = 0.0
    reach = upper(visited[0])
    for r in visited[1:]:
        lo, hi = lower(r), upper(r)
        if lo > reach and sub(lo, reach) > best_gap:
            best_gap = sub(lo, reach)
            cut = mul(add(reach, lo), MIDPOINT)
        reach = max_num(reach, hi)
    return cut, best_gap


def refine_vertical(records, cut_x, gap_x):
    """Wide-element refinement of the vertical candidate.

    Looks for a column gap among the wide elements only (width at least a
    tenth of the set's horizontal extent), so that narrow items standing in a
    gutter do not hide it.  Returns the (possibly replaced) candidate.
    """
    n = len(records)
    least_left = left(records[0])
    greatest_right = right(records[0])
    for r in records[1:]:
        least_left = min_num(least_left, left(r))
        greatest_right = max_num(greatest_right, right(r))
    extent = max_num(0.0, sub(greatest_right, least_left))
    threshold = mul(extent, WIDE_FRACTION)
    wide = [r for r in records if width(r) >= threshold]
    if 2 <= len(wide) < n:
        wide_cut, wide_gap = gap_sweep(wide, "x")
        if wide_gap > gap_x and wide_gap >= MIN_GAP:
            return wide_cut, wide_gap
    return cut_x, gap_x


def centre_y(r):
    """Raw-corner centre (y1 + y2) * 0.5, summed first, in float32."""
    return mul(add(r[2], r[4]), MIDPOINT)


def centre_x(r):
    """Raw-corner centre (x1 + x2) * 0.5, summed first, in float32."""
    return mul(add(r[1], r[3]), MIDPOINT)


def segment_level(records, prefer_horizontal_first, log):
    """One level of the recursive XY-cut on the set `records`.

    Returns ("ordered", sequence) when the set is finished (trivial, or one of
    the y-then-x fallbacks), or ("split", first_group, second_group) when a
    cut divided it; the caller then orders the first group and the second
    group in turn and concatenates the results.
    """
    n = len(records)
    if n <= 1:
        return "ordered", list(records)

    cut_y, gap_y = gap_sweep(records, "y")
    cut_x, gap_x = gap_sweep(records, "x")
    if n >= 3 and gap_x < MIN_GAP:
        cut_x, gap_x = refine_vertical(records, cut_x, gap_x)

    y_ok = gap_y >= MIN_GAP
    x_ok = gap_x >= MIN_GAP
    if y_ok and x_ok:
        if abs(sub(gap_y, gap_x)) < TIE_EPSILON:
            horizontal = prefer_horizontal_first
        else:
            horizontal = gap_y > gap_x
    elif y_ok:
        horizontal = True
    elif x_ok:
        horizontal = False
    else:
        _engine_log(log, DEBUG, LINE_SEG_NO_CUT,
                    "[segment] no valid cuts for %d elements, falling back to y-then-x sort" % n)
        return "ordered", y_then_x(records)

    if horizontal:
        cut, centre = cut_y, centre_y
        _engine_log(log, DEBUG, LINE_SEG_HORIZONTAL,
                    "[segment] horizontal cut at y=%s (gap=%s) on %d elements"
                    % (fmt1(cut_y), fmt1(gap_y), n))
    else:
        cut, centre = cut_x, centre_x
        _engine_log(log, DEBUG, LINE_SEG_VERTICAL,
                    "[segment] vertical cut at x=%s (gap=%s) on %d elements"
                    % (fmt1(cut_x), fmt1(gap_x), n))

    # Partition on raw centres: strictly below the cut goes first; equal,
    # above or NaN goes second.  Both groups keep the set's order.
    first = [r for r in records if centre(r) < cut]
    second = [r for r in records if not centre(r) < cut]

    if not first or not second:
        _engine_log(log, WARNING, LINE_SEG_ONE_GROUP,
                    "[segment] cut produced only 1 group for %d elements, "
                    "falling back to y-then-x sort" % n)
        return "ordered", y_then_x(records)

    _engine_log(log, DEBUG, LINE_SEG_SPLIT,
                "[segment] split into 2 groups: %d, %d" % (len(first), len(second)))
    return "split", first, second


def segment(records, prefer_horizontal_first, log=None):
    """Recursive XY-cut of `records` into reading order.

    Equivalent to: order(S) = S finished, or order(first) + order(second).
    It is driven by an explicit stack (second group pushed under the first)
    so that very deep staircases do not hit Python's recursion limit; the
    result and the log lines come out in the same depth-first order as the
    recursion.
    """
    if log is None:
        log = []
    result = []
    pending = [list(records)]
    while pending:
        outcome = segment_level(pending.pop(), prefer_horizontal_first, log)
        if outcome[0] == "ordered":
            result.extend(outcome[1])
        else:
            _, first, second = outcome
            pending.append(second)
            pending.append(first)
    return result


# ---------------------------------------------------------------------------
# Cross-layout merge
# ---------------------------------------------------------------------------

def merge_cross_layout(main_ordered, cross, log=None):
    """Merge the set-aside elements back into the ordered main sequence.

    The cross-layout elements are put in y-then-x order and each is placed
    before the first main element (from the merge's current position) whose
    top is not less than its own.  A comparison involving a NaN top places the
    main element first.  Main elements keep their order.
    """
    if log is None:
        log = []
    _engine_log(log, DEBUG, LINE_MERGE_START,
                "[merge] merging %d cross-layout elements into %d main elements"
                % (len(cross), len(main_ordered)))
    c_sorted = y_then_x(cross)
    out = []
    c = m = 0
    while c < len(c_sorted) or m < len(main_ordered):
        if m == len(main_ordered):
            out.extend(c_sorted[c:])
            break
        if c == len(c_sorted):
            out.append(main_ordered[m])
            m += 1
        elif top(c_sorted[c]) <= top(main_ordered[m]):
            out.append(c_sorted[c])
            c += 1
        else:
            out.append(main_ordered[m])
            m += 1
    _engine_log(log, DEBUG, LINE_MERGE_RESULT, "[merge] result: %d elements total" % len(out))
    return out


# ---------------------------------------------------------------------------
# Pipeline
# ---------------------------------------------------------------------------

def default_reference_width(records):
    """Greatest width over all records (maxNum fold; 0 when all widths are 0)."""
    ref = 0.0
    for r in records:
        ref = max_num(ref, width(r))
    return ref


def counts_as_overlap_partner(i_rec, j_rec):
    """Does j overlap i horizontally by at least a tenth of the narrower width?

    All three conditions must hold; any NaN comparison makes it false.
    """
    overlap = max_num(0.0, sub(min_num(right(i_rec), right(j_rec)),
                               max_num(left(i_rec), left(j_rec))))
    if not overlap > 0.0:
        return False
    narrower = min_num(width(i_rec), width(j_rec))
    if not narrower > 0.0:
        return False
    return div(overlap, narrower) >= OVERLAP_RATIO


def find_cross_layout(records, reference_width=None):
    """Ascending indices of the cross-layout elements (needs n >= 3).

    An element is a candidate when width >= beta * reference width; a
    candidate is cross-layout once a second counting partner is found among
    all other elements, in input order.
    """
    if reference_width is None:
        reference_width = default_reference_width(records)
    else:
        reference_width = f32(reference_width)
    gate = mul(BETA, reference_width)
    found = []
    for i, ri in enumerate(records):
        if not width(ri) >= gate:
            continue
        partners = 0
        for j, rj in enumerate(records):
            if j == i or not counts_as_overlap_partner(ri, rj):
                continue
            partners += 1
            if partners == 2:
                found.append(i)
                break
    return found


def density_ratio(main):
    """Share of the main elements' union box covered by their areas, capped at 1.

    A union area that is not positive (or NaN), or a NaN quotient, gives 1.0.
    """
    u_left, u_right, u_top, u_bottom = left(main[0]), right(main[0]), top(main[0]), bottom(main[0])
    for r in main[1:]:
        u_left = min_num(u_left, left(r))
        u_right = max_num(u_right, right(r))
        u_top = min_num(u_top, top(r))
        u_bottom = max_num(u_bottom, bottom(r))
    union_area = mul(max_num(0.0, sub(u_right, u_left)), max_num(0.0, sub(u_bottom, u_top)))
    if not union_area > 0.0:
        return 1.0
    total = 0.0
    for r in main:
        total = add(total, mul(width(r), height(r)))
    return min_num(div(total, union_area), 1.0)


def order_records(records, reference_width=None):
    """The ordering pipeline: returns (records in reading order, log tuples).

    `reference_width`, when given, replaces the computed reference width of
    the cross-layout width gate (rounded to float32), so that tests can reach
    the masking, the all-cross-layout fallback and the merge.
    """
    records = list(records)
    log = []
    n = len(records)
    if n < 2:
        return records, log

    _engine_log(log, DEBUG, LINE_SORT_START,
                "[sort] %d elements (beta=%s, density_threshold=%s)"
                % (n, BETA_TEXT, DENSITY_THRESHOLD_TEXT))

    cross_indices = find_cross_layout(records, reference_width) if n >= 3 else []
    cross_set = set(cross_indices)
    cross = [r for i, r in enumerate(records) if i in cross_set]
    main = [r for i, r in enumerate(records) if i not in cross_set]
    _engine_log(log, DEBUG, LINE_SORT_CROSS,
                "[sort] cross-layout: %d, remaining: %d" % (len(cross), len(main)))

    if not main:
        _engine_log(log, WARNING, LINE_SORT_ALL_CROSS,
                    "[sort] all elements are cross-layout, falling back to y-then-x sort")
        return y_then_x(records), log

    ratio = density_ratio(main)
    prefer_horizontal_first = ratio > DENSITY_THRESHOLD
    _engine_log(log, DEBUG, LINE_SORT_DENSITY,
                "[sort] density_ratio=%s, prefer_horizontal_first=%s"
                % (fmt3(ratio), fmt_bool(prefer_horizontal_first)))

    main_ordered = segment(main, prefer_horizontal_first, log)

    if not cross:
        return main_ordered, log
    if not main_ordered:
        return y_then_x(cross), log
    return merge_cross_layout(main_ordered, cross, log), log


def compute_order(records, reference_width=None):
    """The ordering entry: returns (ids in reading order, log tuples).

    Logs the entry line on "quorlinpy" first, then runs the pipeline.
    """
    records = list(records)
    log = [(ENTRY_LOGGER, DEBUG, LINE_ENTRY, "compute_order_mervane: %d elements" % len(records))]
    ordered, engine_log = order_records(records, reference_width)
    return [r[0] for r in ordered], log + engine_log
