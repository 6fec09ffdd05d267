"""SVG picture of a page's reading order, optionally with the cut lines.

Each ordered region is outlined and tinted by its label and numbered in
reading order, with an arrow from each region to the next.  The cut lines
are the cuts reported while the page is ordered (see :func:`quorlin.explain`):
the engine's XY-cuts, each drawn across the extent of the set it split, and
the quality profile's fold of a spread and top strip of a page, each drawn
across its page in a colour of its own; no log text is read and the logging
configuration is left alone.

The picture is built as an element tree and written by the standard
library's XML writer, so every name and value is escaped as XML wants.
"""

from __future__ import annotations

import base64
import logging
import math
import struct
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from xml.etree.ElementTree import Element, SubElement, indent, tostring

from _quorlin_core import SemanticLabel

from .errors import PageError
from .explaining import explain_page
from .page import Box, Page, Region, RegionId, union_box

__all__ = ["Cut", "render_svg", "order_with_cuts", "image_data_uri", "image_size", "LABEL_COLOURS"]

log = logging.getLogger("quorlin")

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
# How many kinds of region the legend names.
LEGEND_KINDS = 8
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


def order_with_cuts(page: Page, *, exact: bool = False,
                    direction: str = "auto") -> tuple[list[RegionId], list[Cut]]:
    """Order the page (as :func:`quorlin.ordering.page_order` does) and return the order
    together with the cuts that made it.

    A cut at a non-finite position is left out; a set whose extent is not
    finite on some side is drawn to the edge of the regions' union box there.
    """
    explained = explain_page(page, exact=exact, direction=direction)
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


def image_size(data: bytes) -> tuple[int, int] | None:
    """(width, height) in pixels of a PNG, GIF or JPEG image, from its header; None
    when the header does not say."""
    if data.startswith(b"\x89PNG\r\n\x1a\n") and data[12:16] == b"IHDR" and len(data) >= 24:
        width, height = struct.unpack(">II", data[16:24])
        return width, height
    if data.startswith((b"GIF87a", b"GIF89a")) and len(data) >= 10:
        width, height = struct.unpack("<HH", data[6:10])
        return width, height
    if data.startswith(b"\xff\xd8"):
        # walk the segments to the first start of frame, which holds the size
        position = 2
        while position + 9 <= len(data) and data[position] == 0xFF:
            marker = data[position + 1]
            length = int.from_bytes(data[position + 2:position + 4], "big")
            if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
                height, width = struct.unpack(">HH", data[position + 5:position + 9])
                return width, height
            position += 2 + length
    return None


def image_data_uri(path: str | Path, page: Page | None = None) -> str:
    """The image file as a data: URI, so the SVG stands on its own.

    With ``page``, an image whose size is not the page's (in pixels) is drawn
    stretched over the page all the same, with a warning.
    """
    try:
        data = Path(path).read_bytes()
    except OSError as exc:
        raise PageError(str(path), exc.strerror or str(exc)) from None
    for magic, mime in _IMAGE_TYPES:
        if data.startswith(magic):
            size = image_size(data)
            if page is not None and size is not None and page.width is not None and page.height is not None \
                    and (round(page.width), round(page.height)) != size:
                log.warning("%s: the image is %d x %d pixels, the page %g x %g: it is drawn stretched over the "
                            "page (is it the page's image?)", path, size[0], size[1], page.width, page.height)
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
    dashes = f"{_fmt(stroke * 8)} {_fmt(stroke * 5)}"

    svg = Element("svg", {
        "xmlns": "http://www.w3.org/2000/svg", "xmlns:xlink": "http://www.w3.org/1999/xlink",
        "width": _fmt(width * scale), "height": _fmt((height + legend_h) * scale),
        "viewBox": f"{_fmt(x0)} {_fmt(y0)} {_fmt(width)} {_fmt(height + legend_h)}",
        "font-family": "DejaVu Sans, Arial, sans-serif",
    })
    SubElement(svg, "title").text = f"Reading order of {page.source}"
    marker = SubElement(SubElement(svg, "defs"), "marker", {
        "id": "arrow", "viewBox": "0 0 10 10", "refX": "9", "refY": "5", "markerWidth": "6", "markerHeight": "6",
        "orient": "auto-start-reverse"})
    SubElement(marker, "path", {"d": "M0,0 L10,5 L0,10 z", "fill": ARROW_COLOUR})
    SubElement(svg, "rect", {"x": _fmt(x0), "y": _fmt(y0), "width": _fmt(width), "height": _fmt(height + legend_h),
                             "fill": "white"})
    if image is not None:
        SubElement(svg, "image", {"x": _fmt(x0), "y": _fmt(y0), "width": _fmt(width), "height": _fmt(height),
                                  "preserveAspectRatio": "none", "href": image, "xlink:href": image})
    SubElement(svg, "rect", {"x": _fmt(x0), "y": _fmt(y0), "width": _fmt(width), "height": _fmt(height),
                             "fill": "none", "stroke": "#cccccc", "stroke-width": _fmt(stroke)})

    def box_attrs(box: Box, **more: str) -> dict[str, str]:
        left, top = min(box[0], box[2]), min(box[1], box[3])
        return {"x": _fmt(left), "y": _fmt(top), "width": _fmt(abs(box[2] - box[0])),
                "height": _fmt(abs(box[3] - box[1])), **more}

    def titled(parent: Element, tag: str, attrs: dict[str, str], title: str) -> None:
        SubElement(SubElement(parent, tag, attrs), "title").text = title

    # separators faintly: evidence of columns and rows, never ordered
    group = SubElement(svg, "g", {"class": "separators", "fill": SEPARATOR_COLOUR, "fill-opacity": "0.15",
                                  "stroke": SEPARATOR_COLOUR, "stroke-opacity": "0.45",
                                  "stroke-width": _fmt(stroke * 0.75)})
    for r in page.separators:
        titled(group, "rect", box_attrs(r.box), f"{r.id} {r.kind} (separator, not ordered)")

    group = SubElement(svg, "g", {"class": "skipped"})
    for r in page.skipped:
        if r.role == "separator":
            continue
        titled(group, "rect", box_attrs(r.box, **{"fill": SKIPPED_COLOUR, "fill-opacity": "0.25",
                                                  "stroke": SKIPPED_COLOUR, "stroke-width": _fmt(stroke)}),
               f"{r.id} {r.kind} (not ordered)")

    group = SubElement(svg, "g", {"class": "regions"})
    for r in page.regions:
        colour = LABEL_COLOURS[_label_name(r.label)]
        titled(group, "rect", box_attrs(r.box, **{"fill": colour, "fill-opacity": "0.12", "stroke": colour,
                                                  "stroke-width": _fmt(stroke * 2)}), f"{r.id} {r.kind}".strip())

    if cuts:
        group = SubElement(svg, "g", {"class": "cuts", "stroke": CUT_COLOUR, "stroke-width": _fmt(stroke * 2),
                                      "stroke-dasharray": dashes})
        for cut in cuts:
            rx0, ry0, rx1, ry1 = cut.region
            if cut.axis == "x":
                a, b = (cut.position, ry0), (cut.position, ry1)
            else:
                a, b = (rx0, cut.position), (rx1, cut.position)
            what = {"fold": "fold of a two-page spread", "top_strip": "top strip read first"}.get(
                cut.kind, "vertical cut" if cut.axis == "x" else "horizontal cut")
            attrs = {"x1": _fmt(a[0]), "y1": _fmt(a[1]), "x2": _fmt(b[0]), "y2": _fmt(b[1])}
            if cut.kind != "xy":
                attrs["stroke"] = PROFILE_CUT_COLOUR
            titled(group, "line", attrs, f"{what} at {cut.axis}={cut.position:.1f} (gap {cut.gap:.1f}) "
                                         f"on {cut.elements} elements")

    centres = []
    for rid in reading_order:
        found = regions.get(rid)
        if found is not None and all(math.isfinite(v) for v in found.box):
            centres.append(((found.box[0] + found.box[2]) / 2, (found.box[1] + found.box[3]) / 2))
    group = SubElement(svg, "g", {"class": "arrows", "stroke": ARROW_COLOUR, "stroke-opacity": "0.75",
                                  "stroke-width": _fmt(stroke * 1.5)})
    for (ax, ay), (bx, by) in zip(centres, centres[1:]):
        SubElement(group, "line", {"x1": _fmt(ax), "y1": _fmt(ay), "x2": _fmt(bx), "y2": _fmt(by),
                                   "marker-end": "url(#arrow)"})

    radius = font * 0.75
    group = SubElement(svg, "g", {"class": "numbers", "font-size": _fmt(font), "font-weight": "bold",
                                  "text-anchor": "middle"})
    for number, rid in enumerate(reading_order, 1):
        found = regions.get(rid)
        if found is None or not all(math.isfinite(v) for v in found.box):
            continue
        cx = min(found.box[0], found.box[2]) + radius
        cy = min(found.box[1], found.box[3]) + radius
        colour = LABEL_COLOURS[_label_name(found.label)]
        SubElement(group, "circle", {"cx": _fmt(cx), "cy": _fmt(cy), "r": _fmt(radius), "fill": colour})
        SubElement(group, "text", {"x": _fmt(cx), "y": _fmt(cy + font * 0.35), "fill": "white"}).text = str(number)

    # legend under the page: the file's own kinds of region in the colours
    # of their labels (as many as fit in a line), and the cut line style
    group = SubElement(svg, "g", {"class": "legend", "font-size": _fmt(font * 0.8)})
    lx, ly = x0 + font * 0.5, y1 + legend_h / 2
    shown: dict[str, str] = {}
    for r in page.regions:
        shown.setdefault(r.kind or _label_name(r.label), LABEL_COLOURS[_label_name(r.label)])
    for number, (name, colour) in enumerate(shown.items()):
        if number == LEGEND_KINDS:
            SubElement(group, "text", {"x": _fmt(lx), "y": _fmt(ly + font * 0.3)}).text = (
                f"and {len(shown) - LEGEND_KINDS} more")
            lx += font * 5
            break
        SubElement(group, "rect", {"x": _fmt(lx), "y": _fmt(ly - font * 0.4), "width": _fmt(font * 0.8),
                                   "height": _fmt(font * 0.8), "fill": colour})
        SubElement(group, "text", {"x": _fmt(lx + font), "y": _fmt(ly + font * 0.3)}).text = name
        lx += font * (1.6 + 0.55 * len(name))
    kinds = [(colour, name) for colour, name, wanted in (
        (CUT_COLOUR, "XY-cut", any(c.kind == "xy" for c in cuts)),
        (PROFILE_CUT_COLOUR, "fold / top strip", any(c.kind != "xy" for c in cuts))) if wanted]
    for colour, name in kinds:
        SubElement(group, "line", {"x1": _fmt(lx), "y1": _fmt(ly), "x2": _fmt(lx + font * 1.5), "y2": _fmt(ly),
                                   "stroke": colour, "stroke-width": _fmt(stroke * 2), "stroke-dasharray": dashes})
        SubElement(group, "text", {"x": _fmt(lx + font * 1.8), "y": _fmt(ly + font * 0.3)}).text = name
        lx += font * (2.4 + 0.55 * len(name))
    indent(svg)
    return tostring(svg, encoding="unicode", xml_declaration=True).replace(
        "<?xml version='1.0' encoding='utf-8'?>", '<?xml version="1.0" encoding="UTF-8"?>', 1) + "\n"
