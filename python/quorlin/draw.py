"""SVG picture of a page's reading order, optionally with the cut lines.

Each ordered region is outlined and tinted by its label and numbered in
reading order, with an arrow from each region to the next.  The cut lines
are the cuts reported while the page is ordered (see :func:`quorlin.explain`):
the engine's XY-cuts, each drawn across the extent of the set it split, and
the quality profile's fold of a spread and top strip of a page, each drawn
across its page in a colour of its own; no log text is read and the logging
configuration is left alone.

:func:`capture_engine_log` and :func:`parse_cuts` read the same cuts from the
debug log lines of ``_quorlin_core``, for a program that has only those.
"""

from __future__ import annotations

import base64
import logging
import math
import re
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from xml.sax.saxutils import escape, quoteattr

from _quorlin_core import SemanticLabel, XYCutConfig, reset_log_cache

from .errors import PageError
from .explaining import explain_page
from .page import Box, Page, Region, RegionId, union_box

__all__ = ["Cut", "capture_engine_log", "parse_cuts", "render_svg", "order_with_cuts", "LABEL_COLOURS"]

ENGINE_LOGGER = "quorlinpy.mervane"

LABEL_COLOURS: dict[str, str] = {
    "CrossLayout": "#8e44ad",
    "HorizontalTitle": "#c0392b",
    "VerticalTitle": "#d35400",
    "Vision": "#2471a3",
    "Regular": "#1e8449",
}
SKIPPED_COLOUR = "#8c8c8c"
SEPARATOR_COLOUR = "#9a9a9a"
CUT_COLOUR = "#e6007e"
PROFILE_CUT_COLOUR = "#0097a7"
ARROW_COLOUR = "#222222"
# Largest side, in CSS pixels, at which the SVG asks to be shown; the
# drawing keeps the page's own coordinates through its viewBox.
DISPLAY_SIZE = 1200.0


@dataclass(frozen=True)
class Cut:
    """One cut of the segmentation: a line across ``region`` at ``position``."""

    axis: str  # "x" for a vertical cut, "y" for a horizontal cut
    position: float
    gap: float
    elements: int  # size of the set that was cut
    region: Box  # the part of the page that set occupies (from the log: as far as it tells)
    depth: int
    kind: str = "xy"  # "xy" (the engine's), "fold" or "top_strip" (the quality profile's)


class _ListHandler(logging.Handler):
    """Collects message texts; passes on what the logger would have passed on."""

    def __init__(self, messages: list[str], forward_from: int | None) -> None:
        super().__init__(logging.DEBUG)
        self.messages = messages
        self.forward_from = forward_from

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())
        if self.forward_from is not None and record.levelno >= self.forward_from:
            parent = logging.getLogger(ENGINE_LOGGER).parent
            if parent is not None:
                parent.handle(record)


@contextmanager
def capture_engine_log() -> Iterator[list[str]]:
    """Collect the engine's log messages (debug included) while the block runs.

    The logger is set to DEBUG for the duration and the module's cache of
    enabled levels is reset before and after, so that the change is seen by
    the module and undone afterwards.  Records the application would not have
    seen otherwise are not passed on to its handlers.
    """
    logger = logging.getLogger(ENGINE_LOGGER)
    messages: list[str] = []
    was_debug = logger.isEnabledFor(logging.DEBUG)
    old_level, old_propagate = logger.level, logger.propagate
    # When debug was off, stop propagation and forward only what the
    # application's configuration would have let through.
    handler = _ListHandler(messages, None if was_debug else logger.getEffectiveLevel())
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    if not was_debug:
        logger.propagate = False
    reset_log_cache()
    try:
        yield messages
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
        logger.propagate = old_propagate
        reset_log_cache()


_NUMBER = r"([-+]?(?:inf|NaN|[0-9]+(?:\.[0-9]*)?))"
_CUT = re.compile(r"\[segment\] (horizontal|vertical) cut at ([xy])=" + _NUMBER + r" \(gap=" + _NUMBER
                  + r"\) on (\d+) elements")
_SPLIT = re.compile(r"\[segment\] split into 2 groups: (\d+), (\d+)")
_NO_CUT = re.compile(r"\[segment\] no valid cuts for (\d+) elements")
_ONE_GROUP = re.compile(r"\[segment\] cut produced only 1 group for (\d+) elements")


class _LogMismatch(Exception):
    pass


def parse_cuts(messages: Sequence[str], region: Box) -> list[Cut]:
    """Turn the segmentation's log lines into cuts, each with the region it splits.

    The lines come depth first: a set's cut line and split line ("split into
    2 groups: a, b"), then all lines of its first group, then those of its
    second group; sets of fewer than two elements log nothing.  Following
    that structure gives every cut the band of the page its set lies in.
    If the lines do not fit it, each cut is drawn across the whole region.
    """
    lines = [m for m in messages if m.startswith("[segment]")]
    cuts: list[Cut] = []
    position = 0

    def take() -> str:
        nonlocal position
        if position >= len(lines):
            raise _LogMismatch
        position += 1
        return lines[position - 1]

    def walk(n: int, box: Box) -> None:
        # An explicit stack of the sets still to read, first group on top, so
        # that a page whose cuts nest thousands deep (a staircase) is no
        # deeper for Python than a flat one.
        pending: list[tuple[int, Box, int]] = [(n, box, 0)]
        while pending:
            n, box, depth = pending.pop()
            if n < 2:
                continue
            line = take()
            if (m := _NO_CUT.match(line)) and int(m.group(1)) == n:
                continue
            m = _CUT.match(line)
            if not m or int(m.group(5)) != n:
                raise _LogMismatch
            axis, pos, gap = m.group(2), float(m.group(3)), float(m.group(4))
            follow = take()
            if (g := _ONE_GROUP.match(follow)) and int(g.group(1)) == n:
                continue  # the cut did not split the set; the module fell back to y-then-x
            s = _SPLIT.match(follow)
            if not s or int(s.group(1)) + int(s.group(2)) != n:
                raise _LogMismatch
            x0, y0, x1, y1 = box
            if math.isfinite(pos):
                cuts.append(Cut(axis, pos, gap, n, box, depth))
                clamped = min(max(pos, x0 if axis == "x" else y0), x1 if axis == "x" else y1)
            else:
                clamped = pos
            if axis == "x":
                first, second = (x0, y0, clamped, y1), (clamped, y0, x1, y1)
            else:
                first, second = (x0, y0, x1, clamped), (x0, clamped, x1, y1)
            pending.append((int(s.group(2)), second, depth + 1))
            pending.append((int(s.group(1)), first, depth + 1))

    try:
        while position < len(lines):
            first = lines[position]
            m = _CUT.match(first) or _NO_CUT.match(first)
            if m is None:
                raise _LogMismatch
            walk(int(m.group(5) if m.re is _CUT else m.group(1)), region)
    except _LogMismatch:
        cuts = []
        for line in lines:
            m = _CUT.match(line)
            if m and math.isfinite(float(m.group(3))):
                cuts.append(Cut(m.group(2), float(m.group(3)), float(m.group(4)), int(m.group(5)), region, 0))
    return cuts


def order_with_cuts(page: Page, config: XYCutConfig | None = None, *,
                    exact: bool = False) -> tuple[list[RegionId], list[Cut]]:
    """Order the page (as :func:`quorlin.ordering.page_order` does) and return the order
    together with the cuts that made it.

    A cut at a non-finite position is left out; a set whose extent is not
    finite on some side is drawn to the edge of the regions' union box there.
    """
    if config is not None and not isinstance(config, XYCutConfig):
        raise TypeError(f"argument 'config': '{type(config).__qualname__}' object is not an instance of 'XYCutConfig'")
    explained = explain_page(page, exact=exact)
    outer = union_box(r.box for r in page.regions) or page.bounds
    cuts = []
    for c in explained.cuts:
        if not math.isfinite(c.position):
            continue
        region = tuple(v if math.isfinite(v) else o for v, o in zip(c.bounds, outer))
        cuts.append(Cut(c.axis, c.position, c.gap, c.size, (region[0], region[1], region[2], region[3]), c.depth,
                        c.kind))
    return explained.order, cuts


_IMAGE_TYPES = (
    (b"\x89PNG\r\n\x1a\n", "image/png"),
    (b"\xff\xd8\xff", "image/jpeg"),
    (b"GIF87a", "image/gif"),
    (b"GIF89a", "image/gif"),
)


def image_data_uri(path: str | Path) -> str:
    """The image file as a data: URI, so the SVG stands on its own."""
    try:
        data = Path(path).read_bytes()
    except OSError as exc:
        raise PageError(str(path), exc.strerror or str(exc)) from None
    for magic, mime in _IMAGE_TYPES:
        if data.startswith(magic):
            return f"data:{mime};base64,{base64.b64encode(data).decode('ascii')}"
    raise PageError(str(path), "page image must be a PNG, JPEG or GIF file")


def _fmt(v: float) -> str:
    return f"{v:.2f}".rstrip("0").rstrip(".")


def _label_name(label: SemanticLabel) -> str:
    return repr(label).rpartition(".")[2]


def render_svg(
    page: Page,
    reading_order: Sequence[RegionId],
    cuts: Sequence[Cut] = (),
    image: str | None = None,
) -> str:
    """The SVG text of the page with its reading order drawn over it.

    ``image`` is an href for the page image (see :func:`image_data_uri`),
    stretched over the page bounds, whose coordinates are the image's pixels
    for PAGE-XML.
    """
    regions: dict[RegionId, Region] = {r.id: r for r in page.regions}
    x0, y0, x1, y1 = page.bounds
    if not (x1 > x0 and y1 > y0):
        x0, y0, x1, y1 = union_box(r.box for r in page.regions + page.skipped) or (0.0, 0.0, 100.0, 100.0)
        if not (x1 > x0 and y1 > y0):
            x1, y1 = x0 + 100.0, y0 + 100.0
    width, height = x1 - x0, y1 - y0
    side = min(width, height)
    stroke = max(side / 400.0, 0.5)
    font = max(side / 45.0, 6.0)
    legend_h = font * 2.2
    scale = min(1.0, DISPLAY_SIZE / max(width, height + legend_h))

    out: list[str] = []
    add = out.append
    add('<?xml version="1.0" encoding="UTF-8"?>')
    add(
        f'<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
        f'width="{_fmt(width * scale)}" height="{_fmt((height + legend_h) * scale)}" '
        f'viewBox="{_fmt(x0)} {_fmt(y0)} {_fmt(width)} {_fmt(height + legend_h)}" '
        f'font-family="DejaVu Sans, Arial, sans-serif">'
    )
    add(f"<title>{escape(f'Reading order of {page.source}')}</title>")
    add(
        "<defs><marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"6\" "
        f"markerHeight=\"6\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"{ARROW_COLOUR}\"/>"
        "</marker></defs>"
    )
    add(f'<rect x="{_fmt(x0)}" y="{_fmt(y0)}" width="{_fmt(width)}" height="{_fmt(height + legend_h)}" fill="white"/>')
    if image is not None:
        href = quoteattr(image)
        add(
            f'<image x="{_fmt(x0)}" y="{_fmt(y0)}" width="{_fmt(width)}" height="{_fmt(height)}" '
            f'preserveAspectRatio="none" href={href} xlink:href={href}/>'
        )
    add(f'<rect x="{_fmt(x0)}" y="{_fmt(y0)}" width="{_fmt(width)}" height="{_fmt(height)}" '
        f'fill="none" stroke="#cccccc" stroke-width="{_fmt(stroke)}"/>')

    def box_attrs(box: Box) -> str:
        left, top = min(box[0], box[2]), min(box[1], box[3])
        return (f'x="{_fmt(left)}" y="{_fmt(top)}" width="{_fmt(abs(box[2] - box[0]))}" '
                f'height="{_fmt(abs(box[3] - box[1]))}"')

    # separators faintly: evidence of columns and rows, never ordered
    add(f'<g class="separators" fill="{SEPARATOR_COLOUR}" fill-opacity="0.15" stroke="{SEPARATOR_COLOUR}" '
        f'stroke-opacity="0.45" stroke-width="{_fmt(stroke * 0.75)}">')
    for r in page.separators:
        add(f'<rect {box_attrs(r.box)}><title>{escape(f"{r.id} {r.kind} (separator, not ordered)")}</title></rect>')
    add("</g>")

    add('<g class="skipped">')
    for r in page.skipped:
        if r.role == "separator":
            continue
        add(f'<rect {box_attrs(r.box)} fill="{SKIPPED_COLOUR}" fill-opacity="0.25" stroke="{SKIPPED_COLOUR}" '
            f'stroke-width="{_fmt(stroke)}"><title>{escape(f"{r.id} {r.kind} (not ordered)")}</title></rect>')
    add("</g>")

    add('<g class="regions">')
    for r in page.regions:
        colour = LABEL_COLOURS[_label_name(r.label)]
        add(f'<rect {box_attrs(r.box)} fill="{colour}" fill-opacity="0.12" stroke="{colour}" '
            f'stroke-width="{_fmt(stroke * 2)}"><title>{escape(f"{r.id} {r.kind}".strip())}</title></rect>')
    add("</g>")

    if cuts:
        add(f'<g class="cuts" stroke="{CUT_COLOUR}" stroke-width="{_fmt(stroke * 2)}" '
            f'stroke-dasharray="{_fmt(stroke * 8)} {_fmt(stroke * 5)}">')
        for cut in cuts:
            rx0, ry0, rx1, ry1 = cut.region
            if cut.axis == "x":
                a, b = (cut.position, ry0), (cut.position, ry1)
            else:
                a, b = (rx0, cut.position), (rx1, cut.position)
            what = {"fold": "fold of a two-page spread", "top_strip": "top strip read first"}.get(
                cut.kind, "vertical cut" if cut.axis == "x" else "horizontal cut")
            colour = "" if cut.kind == "xy" else f' stroke="{PROFILE_CUT_COLOUR}"'
            add(f'<line x1="{_fmt(a[0])}" y1="{_fmt(a[1])}" x2="{_fmt(b[0])}" y2="{_fmt(b[1])}"{colour}>'
                f"<title>{what} at {cut.axis}={cut.position:.1f} (gap {cut.gap:.1f}) "
                f"on {cut.elements} elements</title></line>")
        add("</g>")

    centres = []
    for rid in reading_order:
        found = regions.get(rid)
        if found is not None and all(math.isfinite(v) for v in found.box):
            centres.append(((found.box[0] + found.box[2]) / 2, (found.box[1] + found.box[3]) / 2))
    add(f'<g class="arrows" stroke="{ARROW_COLOUR}" stroke-opacity="0.75" stroke-width="{_fmt(stroke * 1.5)}">')
    for (ax, ay), (bx, by) in zip(centres, centres[1:]):
        add(f'<line x1="{_fmt(ax)}" y1="{_fmt(ay)}" x2="{_fmt(bx)}" y2="{_fmt(by)}" marker-end="url(#arrow)"/>')
    add("</g>")

    radius = font * 0.75
    add(f'<g class="numbers" font-size="{_fmt(font)}" font-weight="bold" text-anchor="middle">')
    for number, rid in enumerate(reading_order, 1):
        found = regions.get(rid)
        if found is None or not all(math.isfinite(v) for v in found.box):
            continue
        cx = min(found.box[0], found.box[2]) + radius
        cy = min(found.box[1], found.box[3]) + radius
        colour = LABEL_COLOURS[_label_name(found.label)]
        add(f'<circle cx="{_fmt(cx)}" cy="{_fmt(cy)}" r="{_fmt(radius)}" fill="{colour}"/>'
            f'<text x="{_fmt(cx)}" y="{_fmt(cy + font * 0.35)}" fill="white">{number}</text>')
    add("</g>")

    # legend under the page: the labels in use, and the cut line style
    add(f'<g class="legend" font-size="{_fmt(font * 0.8)}">')
    lx, ly = x0 + font * 0.5, y1 + legend_h / 2
    used = [name for name in LABEL_COLOURS if any(_label_name(r.label) == name for r in page.regions)]
    for name in used:
        add(f'<rect x="{_fmt(lx)}" y="{_fmt(ly - font * 0.4)}" width="{_fmt(font * 0.8)}" '
            f'height="{_fmt(font * 0.8)}" fill="{LABEL_COLOURS[name]}"/>'
            f'<text x="{_fmt(lx + font)}" y="{_fmt(ly + font * 0.3)}">{name}</text>')
        lx += font * (1.6 + 0.55 * len(name))
    kinds = [(colour, name) for colour, name, wanted in (
        (CUT_COLOUR, "XY-cut", any(c.kind == "xy" for c in cuts)),
        (PROFILE_CUT_COLOUR, "fold / top strip", any(c.kind != "xy" for c in cuts))) if wanted]
    for colour, name in kinds:
        add(f'<line x1="{_fmt(lx)}" y1="{_fmt(ly)}" x2="{_fmt(lx + font * 1.5)}" y2="{_fmt(ly)}" '
            f'stroke="{colour}" stroke-width="{_fmt(stroke * 2)}" '
            f'stroke-dasharray="{_fmt(stroke * 8)} {_fmt(stroke * 5)}"/>'
            f'<text x="{_fmt(lx + font * 1.8)}" y="{_fmt(ly + font * 0.3)}">{name}</text>')
        lx += font * (2.4 + 0.55 * len(name))
    add("</g>")
    add("</svg>")
    return "\n".join(out) + "\n"
