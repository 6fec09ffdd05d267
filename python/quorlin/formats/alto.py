"""ALTO pages (versions 1.x to 4.x): read, and written back with their order.

The blocks of the page become regions: every ``TextBlock`` and
``Illustration``, and every ``ComposedBlock`` that holds no block (one that
does is a group, and its blocks are the regions).  ``GraphicalElement``
blocks are rules: separators, never ordered.  Blocks in one of the page
margins (``TopMargin``, ``LeftMargin``, ...) are ordered like the others and
marked with the role "margin".  Coordinates are turned into pixels whatever
``MeasurementUnit`` says: mm10 and inch1200 need the image resolution, which
ABBYY-made files give as ``xdpi:``/``ydpi:`` in their processing settings
(or the caller gives it).

The writer changes the raw bytes (see :mod:`quorlin.formats.xml.patch`):

* ALTO 4.3 and later: a ``<ReadingOrder>`` with one ``OrderedGroup`` of
  ``ElementRef`` to the blocks replaces the file's (or is added before
  ``<Layout>``); blocks without an ID (or with an empty one) get one, as a reference needs it.
* older versions, which have no ReadingOrder: the blocks themselves are
  reordered in the document, within the container they are in.  A
  ComposedBlock moves with all its blocks, and its blocks are reordered
  among themselves, so the blocks of a group stay together; rules and other
  unordered blocks keep their places.
"""

from __future__ import annotations

import logging
import re
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass, field

from _quorlin_core import SemanticLabel

from .. import direction
from ..errors import PageError
from ..labels import label_for
from ..page import ROLE_MARGIN, ROLE_SEPARATOR, Box, Decided, Page, Region, RegionId
from .values import check_coordinate, parse_float, shown_name, shown_text
from .xml.document import Span, XmlDocument, parse_xml
from .xml.patch import ChildElement, XmlPatchError, escape_attribute, grouped_orders, patch

__all__ = ["ALTO_NAMESPACE_PREFIX", "ALTO1_NAMESPACE", "AltoLayout", "page_from_alto", "alto_document", "minor_version",
           "resolutions"]

log = logging.getLogger("quorlin")

ALTO_NAMESPACE_PREFIX = "http://www.loc.gov/standards/alto/ns-v"
ALTO1_NAMESPACE = "http://schema.ccs-gmbh.com/ALTO"
XSI = "{http://www.w3.org/2001/XMLSchema-instance}"

BLOCKS = frozenset({"TextBlock", "Illustration", "GraphicalElement", "ComposedBlock"})
MARGINS = frozenset({"TopMargin", "LeftMargin", "RightMargin", "BottomMargin"})
CONTAINERS = MARGINS | {"PrintSpace"}
_COORDINATES = ("HPOS", "VPOS", "WIDTH", "HEIGHT")
# Children of <alto> that come before <ReadingOrder>.
_BEFORE_READING_ORDER = frozenset({"Description", "Styles", "Tags"})

# the first version with <ReadingOrder>
READING_ORDER_VERSION = (4, 3)

_VERSION_IN_LOCATION = re.compile(r"alto-?v?(\d++)[-.](\d++)\.xsd")
# What separates the IDs of an IDREFS attribute (ElementRef/@REF): XML's white space only.
_XML_SPACE = re.compile(r"[ \t\r\n]+")
_SCHEMA_VERSION = re.compile(r"\s*+(\d++)\.(\d++)\s*+")
_DPI = re.compile(r"\b([xy]?)dpi\s*+[:=]\s*+([0-9]++(?:\.[0-9]++)?+)", re.I)


@dataclass
class _Block:
    """A block of the page as the reader found it (one for each region or rule)."""

    span: Span
    rid: RegionId
    tag: str
    has_id: bool


@dataclass(eq=False)
class AltoLayout:
    """What the reader found in an ALTO file and the writer uses: the element
    tree with its byte positions, the page, and its blocks."""

    document: XmlDocument
    ns: str
    major: int
    minor: int | None
    page: Span
    blocks: list[_Block] = field(default_factory=list)
    by_span: dict[Span, _Block] = field(default_factory=dict)

    @property
    def version(self) -> str:
        return f"{self.major}.{self.minor}" if self.minor is not None else f"{self.major}"

    @property
    def root(self) -> Span:
        return self.document.root

    def has_reading_order(self) -> bool:
        """Whether this version has <ReadingOrder> (4.3 and later)."""
        if self.minor is None:
            # a 4.x file that says no minor version but has a ReadingOrder is 4.3 or later
            return self.major > READING_ORDER_VERSION[0] or (
                self.major == READING_ORDER_VERSION[0]
                and any(c.local == "ReadingOrder" for c in self.root.kids())
            )
        return (self.major, self.minor) >= READING_ORDER_VERSION


def _small_number(digits: str) -> int | None:
    """A version number: digits, at most nine of them (a longer one names no version)."""
    return int(digits) if 0 < len(digits) <= 9 and digits.isdecimal() else None


def minor_version(major: int, schema_version: str, schema_location: str) -> int | None:
    """The minor version a file of this major version declares: its
    SCHEMAVERSION ("4.3"), else the schema its schemaLocation names
    ("alto-4-3.xsd"), else None."""
    m = _SCHEMA_VERSION.fullmatch(schema_version)
    if m and _small_number(m.group(1)) == major:
        return _small_number(m.group(2))
    m = _VERSION_IN_LOCATION.search(schema_location)
    if m and _small_number(m.group(1)) == major:
        return _small_number(m.group(2))
    return None


def _alto_version(source: str, root: Span) -> tuple[int, int | None]:
    ns = root.uri
    if ns == ALTO1_NAMESPACE or ns == "":
        return 1, None
    if ns.startswith(ALTO_NAMESPACE_PREFIX):
        major = _small_number(ns[len(ALTO_NAMESPACE_PREFIX):].rstrip("#"))
        if major is not None:
            return major, minor_version(major, root.get("SCHEMAVERSION") or "",
                                        root.get(f"{XSI}schemaLocation") or "")
    raise PageError(source, f"not an ALTO document (root element <alto> in namespace {shown_text(ns)})")


def _local(tag: str) -> str:
    return tag.rpartition("}")[2]


# The elements whose text the reader needs: the unit, the processing
# settings that may give the resolution, and the image's file name.
_TEXT_OF = frozenset({"MeasurementUnit", "processingStepSettings", "fileName"})


def resolutions(settings: Sequence[str]) -> dict[str, float]:
    """The image resolutions processing settings give ("xdpi:300", "dpi=300"):
    "x", "y" or "" (both) to dots per inch, the first of each."""
    found: dict[str, float] = {}
    for text in settings:
        for axis, value in _DPI.findall(text):
            found.setdefault(axis.lower(), float(value))
    return found


def _scale(source: str, root: Span, dpi: float | tuple[float, float] | None) -> tuple[float, float, float]:
    """(x resolution, y resolution, units per inch): a coordinate times the
    resolution over the units per inch is in pixels."""
    unit = ""
    settings: list[str] = []
    for elem in root.iter():
        name = elem.local
        if name == "MeasurementUnit" and not unit:
            unit = (elem.text or "").strip()
        elif name == "processingStepSettings":
            settings.append(elem.text or "")
    unit = unit or "pixel"
    per_inch = {"mm10": 254.0, "inch1200": 1200.0}
    if unit == "pixel":
        return 1.0, 1.0, 1.0
    if unit not in per_inch:
        raise PageError(source, f"unknown MeasurementUnit {shown_text(unit)} (expected pixel, mm10 or inch1200)")
    if dpi is None:
        found = resolutions(settings)
        x_dpi = found.get("x", found.get(""))
        y_dpi = found.get("y", found.get(""))
        if not x_dpi or not y_dpi:
            raise PageError(
                source,
                f"MeasurementUnit {unit} needs the image resolution, which the file does not give "
                "(give it with --dpi)",
            )
    elif isinstance(dpi, tuple):
        x_dpi, y_dpi = dpi
    else:
        x_dpi = y_dpi = dpi
    if not (x_dpi > 0 and y_dpi > 0):
        raise PageError(source, f"the image resolution must be positive, got {x_dpi:g} x {y_dpi:g} dpi")
    return x_dpi, y_dpi, per_inch[unit]


class _Reader:
    def __init__(self, source: str, sx: float, sy: float, per_inch: float) -> None:
        self.source, self.sx, self.sy, self.per_inch = source, sx, sy, per_inch

    def number(self, what: str, name: str, text: str, dpi: float) -> float:
        try:
            value = parse_float(text)
        except ValueError:
            raise PageError(self.source, f"{what}: {name}={shown_text(text)} is not a number") from None
        value = check_coordinate(self.source, f"{what}: {name}", value, text.strip())
        if self.per_inch == 1.0:
            return value
        # multiplied first: whole numbers of mm10 at 254 dpi are whole pixels
        return check_coordinate(self.source, f"{what}: {name} in pixels", value * dpi / self.per_inch)

    def attribute_box(self, what: str, elem: Span) -> Box | None:
        given = [name for name in _COORDINATES if elem.get(name) is not None]
        if not given:
            return None
        missing = [name for name in _COORDINATES if name not in given]
        if missing:
            raise PageError(self.source, f"{what} has {', '.join(given)} but no {', '.join(missing)}")
        x = self.number(what, "HPOS", elem.get("HPOS", ""), self.sx)
        y = self.number(what, "VPOS", elem.get("VPOS", ""), self.sy)
        w = self.number(what, "WIDTH", elem.get("WIDTH", ""), self.sx)
        h = self.number(what, "HEIGHT", elem.get("HEIGHT", ""), self.sy)
        return (x, y, check_coordinate(self.source, f"{what}: HPOS + WIDTH", x + w),
                check_coordinate(self.source, f"{what}: VPOS + HEIGHT", y + h))

    def polygon_box(self, what: str, elem: Span) -> Box | None:
        for sub in elem.kids():
            if sub.local != "Shape":
                continue
            for shape in sub.kids():
                if shape.local != "Polygon":
                    continue
                numbers = (shape.get("POINTS") or "").replace(",", " ").split()
                if not numbers or len(numbers) % 2:
                    raise PageError(self.source, f"{what}: malformed Polygon POINTS")
                xs = [self.number(what, "Polygon x", t, self.sx) for t in numbers[0::2]]
                ys = [self.number(what, "Polygon y", t, self.sy) for t in numbers[1::2]]
                return (min(xs), min(ys), max(xs), max(ys))
        return None

    def content_box(self, what: str, elem: Span) -> Box | None:
        """The union of the boxes of what the block holds (lines, strings)."""
        boxes = []
        for sub in elem.iter():
            if sub is not elem and all(sub.get(name) is not None for name in _COORDINATES):
                box = self.attribute_box(f"{what}: {sub.local}", sub)
                if box is not None:
                    boxes.append(box)
        if not boxes:
            return None
        return (min(b[0] for b in boxes), min(b[1] for b in boxes),
                max(b[2] for b in boxes), max(b[3] for b in boxes))


def _tag_labels(root: Span) -> dict[str, str]:
    """Tag ID -> LABEL (or TYPE) of the <Tags> section (eScriptorium's block types)."""
    labels: dict[str, str] = {}
    for elem in root.iter():
        if elem.local.endswith("Tag") and elem.get("ID"):
            label = elem.get("LABEL") or elem.get("TYPE")
            if label:
                labels[elem.get("ID", "")] = label
    return labels


def _walk(source: str, data: bytes) -> AltoLayout:
    """Parse the file safely and find its page and its blocks."""
    document = parse_xml(source, data, text_of=_TEXT_OF)
    root = document.root
    if root.local != "alto":
        raise PageError(source, f"not an ALTO document (root element is <{shown_name(root.local)}> "
                                f"in namespace {shown_text(root.uri)})")
    major, minor = _alto_version(source, root)
    layouts = [c for c in root.kids() if c.local == "Layout"]
    if not layouts:
        raise PageError(source, "ALTO document without <Layout>")
    pages = [c for c in layouts[0].kids() if c.local == "Page"]
    if not pages:
        raise PageError(source, "ALTO <Layout> without <Page>")
    if len(pages) > 1:
        raise PageError(source, f"ALTO <Layout> with {len(pages)} pages; quorlin orders one page per file")
    layout = AltoLayout(document, root.uri, major, minor, pages[0])
    taken = {e.get("ID") for e in root.iter() if e.get("ID")}
    counters: dict[str, int] = {}
    stack = list(reversed(pages[0].kids()))
    while stack:
        span = stack.pop()
        if span.local in CONTAINERS:
            stack.extend(reversed(span.kids()))
            continue
        if span.local not in BLOCKS:
            continue
        if span.local == "ComposedBlock" and any(c.local in BLOCKS for c in span.kids()):
            stack.extend(reversed(span.kids()))
            continue
        rid = span.get("ID")
        if not rid:
            counters[span.local] = counters.get(span.local, 0) + 1
            rid = f"{span.local}_{counters[span.local]}"
            while rid in taken:
                rid += "_"
            taken.add(rid)
        block = _Block(span, rid, span.local, bool(span.get("ID")))
        layout.blocks.append(block)
        layout.by_span[span] = block
    return layout


def _margin(span: Span) -> bool:
    node = span.parent
    while node is not None:
        if node.local in MARGINS:
            return True
        node = node.parent
    return False


def page_from_alto(data: bytes, source: str = "<alto>", dpi: float | tuple[float, float] | None = None) -> Page:
    """Read an ALTO document (1.x to 4.x) into a :class:`Page` with boxes in pixels.

    ``dpi`` (one number, or x and y) is the image resolution for files in
    mm10 or inch1200 units; without it the file's own (ABBYY's
    ``xdpi:``/``ydpi:`` settings) is used, and a file that gives none is
    refused.  A block without coordinates gets the box of its polygon or of
    its lines; one without any is left out of the order with a warning.
    """
    layout = _walk(source, data)
    root = layout.root
    sx, sy, per_inch = _scale(source, root, dpi)
    reader = _Reader(source, sx, sy, per_inch)
    tags = _tag_labels(root)
    page_elem = layout.page

    width = height = None
    for name in ("WIDTH", "HEIGHT"):
        text = page_elem.get(name)
        if text is not None:
            value = reader.number("<Page>", name, text, sx if name == "WIDTH" else sy)
            if value < 0:
                raise PageError(source, f"<Page> {name} must not be negative")
            if name == "WIDTH":
                width = value
            else:
                height = value

    regions: list[Region] = []
    skipped: list[Region] = []
    for block in layout.blocks:
        elem = block.span
        what = f"{block.tag} {shown_text(str(block.rid))}" if block.has_id else f"{block.tag} without ID ({block.rid})"
        box = reader.attribute_box(what, elem) or reader.polygon_box(what, elem)
        if box is None:
            box = reader.content_box(what, elem)
            if box is not None:
                log.warning("%s: %s has no coordinates; using the box of its lines", source, what)
        subtype = " ".join(tags[t] for t in (elem.get("TAGREFS") or "").split() if t in tags) or elem.get("TYPE", "")
        kind = f"{block.tag}/{subtype}" if subtype else block.tag
        if block.tag == "GraphicalElement":
            if box is None:
                log.warning("%s: %s has no coordinates; left out", source, what)
                continue
            skipped.append(Region(block.rid, box, SemanticLabel.Regular, kind, ROLE_SEPARATOR))
            continue
        default = SemanticLabel.Vision if block.tag == "Illustration" else SemanticLabel.Regular
        label = label_for(subtype, default) if subtype else default
        role = ROLE_MARGIN if _margin(block.span) else ""
        if box is None:
            log.warning("%s: %s has no coordinates and no lines with coordinates; left out of the order",
                        source, what)
            continue
        regions.append(Region(block.rid, box, label, kind, role))

    seen: set[RegionId] = set()
    for r in regions + skipped:
        if r.id in seen:
            raise PageError(source, f"two blocks share the ID {shown_text(str(r.id))}")
        seen.add(r.id)

    reading_order = _stored_order(source, layout)
    if reading_order is not None:  # blocks left out for want of coordinates are not in the page
        reading_order = [rid for rid in reading_order if rid in seen]
    image = next(((e.text or "").strip() for e in root.iter() if e.local == "fileName"), "")
    return Page(source, "alto", width, height, regions, skipped, reading_order, data,
                image_filename=image or None, version=layout.version, parsed=layout,
                direction=_direction(layout, reader))


def _direction(layout: AltoLayout, reader: _Reader) -> Decided:
    """The direction most blocks and lines state (BASEDIRECTION, ALTO 4.2 and
    later), else what the LANG of the page, its blocks and lines says, else
    what the CONTENT of its strings shows."""
    spans = layout.page.iter()
    stated = direction.most_common(s.get("BASEDIRECTION") for s in spans if s.local in ("TextBlock", "TextLine"))
    scripts: list[tuple[str | None, str]] = []
    for span in spans:
        value = (span.get("LANG") or span.get("language")) if span.local in ("Page", "TextBlock", "TextLine") else None
        if value:
            scripts.append((direction.from_language(value), f"LANG=\"{shown_name(value)}\" of a {span.local}"))
    sample: list[str] = []
    taken = 0
    for span in spans:
        if taken >= direction.TEXT_SAMPLE:
            break
        content = span.get("CONTENT") if span.local == "String" else None
        if content:
            sample.append(content)
            taken += len(content)

    def lines() -> list[Box]:
        boxes = []
        for span in spans:
            if span.local == "TextLine":
                try:
                    box = reader.attribute_box("TextLine", span)
                except PageError:
                    continue  # a line's box only hints at the direction
                if box is not None:
                    boxes.append(box)
        return boxes

    said = None if stated is None else direction.from_words(stated, f"BASEDIRECTION=\"{shown_name(stated)}\" "
                                                                    "of most blocks and lines")
    return direction.decide([said], scripts, " ".join(sample), lines)


def _stored_order(source: str, layout: AltoLayout) -> list[RegionId] | None:
    """The block ids of the file's <ReadingOrder>, depth first, or None without one.

    A reference to a line or a string counts as one to its block, one to a
    group or container as one to every block in it.
    """
    ro = next((c for c in layout.root.kids() if c.local == "ReadingOrder"), None)
    if ro is None:
        return None
    by_id = {e.get("ID"): e for e in layout.root.iter() if e.get("ID")}
    out: list[RegionId] = []
    seen: set[RegionId] = set()

    def add(target: Span) -> None:
        node: Span | None = target
        while node is not None and node not in layout.by_span:
            node = node.parent
        found = [layout.by_span[node]] if node is not None else [
            layout.by_span[s] for s in target.iter() if s in layout.by_span]
        for block in found:
            if block.rid not in seen:
                seen.add(block.rid)
                out.append(block.rid)

    for span in ro.iter():
        if span.local != "ElementRef":
            continue
        for ref in _XML_SPACE.split(span.get("REF") or ""):
            if not ref:
                continue
            target = by_id.get(ref)
            if target is None:
                raise PageError(
                    source, f"ElementRef {shown_text(span.get('ID') or '')} refers to a missing ID {shown_text(ref)}")
            add(target)
    return out


def _grouped(layout: AltoLayout, reading_order: Sequence[RegionId]) -> dict[Span, list[Span]]:
    """The blocks and groups that move, each container's in their new order.

    Each block or group goes where its first ordered block is in
    ``reading_order``; unordered blocks (rules) keep their places, and the
    containers (PrintSpace and the margins) never move.
    """
    by_rid = {b.rid: b.span for b in layout.blocks}
    ranks = {by_rid[rid]: i for i, rid in enumerate(reading_order)}
    return grouped_orders(layout.page, ranks, lambda span: span.local in BLOCKS)


def alto_document(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """A copy of the ALTO bytes with ``reading_order`` written into it (see the module doc)."""
    layout = page.parsed
    if not isinstance(layout, AltoLayout) or page.format != "alto":
        raise ValueError("page was not read from ALTO")
    known = {b.rid for b in layout.blocks}
    for rid in reading_order:
        if rid not in known:
            raise ValueError(f"reading order refers to unknown block {rid!r}")
    if not layout.has_reading_order():
        try:
            return patch(layout.document, orders=_grouped(layout, reading_order))
        except XmlPatchError as exc:
            raise PageError(page.source, str(exc)) from None

    # The IDs of the ReadingOrder replaced are free to take again, so that
    # ordering the output again writes it byte for byte.
    old = layout.root.child("ReadingOrder", layout.ns)
    replaced = {id(e) for e in old.iter()} if old is not None else set()
    taken = {e.get("ID") or "" for e in layout.root.iter() if id(e) not in replaced}
    taken |= {str(b.rid) for b in layout.blocks}
    group_id = "ro_quorlin"
    suffix = 1
    while group_id in taken or any(f"{group_id}_{i}" in taken for i in range(len(reading_order))):
        suffix += 1
        group_id = f"ro_quorlin_{suffix}"
    by_rid = {b.rid: b for b in layout.blocks}
    used = Counter(e.get("ID") for e in layout.root.iter() if e.get("ID"))
    for rid in reading_order:
        what = f"{by_rid[rid].tag} {shown_text(str(rid))}"
        if _XML_SPACE.search(str(rid)):  # REF holds a list of IDs, separated by spaces
            raise PageError(page.source, f"{what}: an ID with a space in it cannot be referred to from a ReadingOrder")
        if used[str(rid)] > 1:
            raise PageError(page.source, f"{what}: another element has the same ID, so a ReadingOrder cannot "
                                         "refer to it")
    # A block without an ID gets the one it was read with; an empty ID=""
    # is given its value in place, as a second ID would not be well-formed.
    unnamed = [by_rid[rid] for rid in reading_order if not by_rid[rid].has_id]
    new_ids = {b.span: f' ID="{escape_attribute(str(b.rid))}"' for b in unnamed if b.span.get("ID") is None}
    filled = {b.span: {"ID": str(b.rid)} for b in unnamed if b.span.get("ID") is not None}

    def lines(p: str, u: str) -> list[str]:
        out = [f"<{p}ReadingOrder>", f'{u}<{p}OrderedGroup ID="{group_id}">']
        for index, rid in enumerate(reading_order):
            out.append(f'{u * 2}<{p}ElementRef ID="{group_id}_{index}" REF="{escape_attribute(str(rid))}"/>')
        out.append(f"{u}</{p}OrderedGroup>")
        out.append(f"</{p}ReadingOrder>")
        return out

    child = ChildElement(layout.ns, None, "ReadingOrder", _BEFORE_READING_ORDER, lines if reading_order else None,
                         "ALTO")
    try:
        return patch(layout.document, attributes=new_ids, values=filled, child=child)
    except XmlPatchError as exc:
        raise PageError(page.source, str(exc)) from None
