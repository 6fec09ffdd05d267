"""Page files: the JSON page shape and PAGE-XML (PRImA schema), read and written.

Both readers return a :class:`Page`: the regions to order (id, box, label),
the regions that are deliberately left out of the order (separators and
noise), the reading order already stored in the file, if any, and the
original document, which the writers copy with only the order changed.

Every problem with a file is raised as :class:`quorlin.errors.PageError`,
whose message is one line naming the file and the problem.
"""

from __future__ import annotations

import codecs
import json
import math
import re
import sys
import xml.parsers.expat
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Union
from xml.etree.ElementTree import Element as XmlElement
from xml.etree.ElementTree import ParseError

import defusedxml
import defusedxml.ElementTree as SafeET
from _quorlin_core import SemanticLabel, XYCutConfig

from .errors import PageError
from .labels import label_for, normalise_label_name
from .ordering import order

__all__ = [
    "MAX_COORDINATE",
    "Page",
    "Region",
    "page_from_json",
    "page_from_xml",
    "read_page",
    "write_page",
    "json_document",
    "page_xml_document",
]

#: Largest coordinate magnitude accepted from a file.  The module stores
#: coordinates as 32-bit floats, which hold every integer up to 2**24 exactly;
#: beyond that, neighbouring boxes can collapse onto the same value.
MAX_COORDINATE = float(2**24)

PAGE_NAMESPACE_PREFIX = "http://schema.primaresearch.org/PAGE/gts/pagecontent/"

#: PAGE region elements (direct children of <Page>) and the label each gets.
PAGE_REGION_LABELS: Mapping[str, SemanticLabel] = {
    "TextRegion": SemanticLabel.Regular,
    "ImageRegion": SemanticLabel.Vision,
    "LineDrawingRegion": SemanticLabel.Vision,
    "GraphicRegion": SemanticLabel.Vision,
    "TableRegion": SemanticLabel.Vision,
    "ChartRegion": SemanticLabel.Vision,
    "MapRegion": SemanticLabel.Vision,
    "SeparatorRegion": SemanticLabel.Regular,
    "MathsRegion": SemanticLabel.Vision,
    "ChemRegion": SemanticLabel.Vision,
    "MusicRegion": SemanticLabel.Vision,
    "AdvertRegion": SemanticLabel.Vision,
    "NoiseRegion": SemanticLabel.Regular,
    "UnknownRegion": SemanticLabel.Regular,
    "CustomRegion": SemanticLabel.Regular,
}

#: Region kinds that are not content: they are kept in the file and drawn,
#: but not ordered.  A separator sits in the gutter between columns and
#: would close the very gap the XY-cut looks for.
SKIPPED_PAGE_TYPES = frozenset({"SeparatorRegion", "NoiseRegion"})
SKIPPED_LABELS = frozenset({"separator", "noise"})

# Transkribus stores the region type as custom="structure {type:heading;}".
_CUSTOM_TYPE = re.compile(r"structure\s*\{[^}]*?\btype:([^;}]+)")

Box = tuple[float, float, float, float]
RegionId = Union[int, str]


@dataclass
class Region:
    """One region of a page: its id in the file, its box, its label."""

    id: RegionId
    box: Box
    label: SemanticLabel
    #: what the file called it ("title", "TextRegion/heading", ...), for display
    kind: str = ""


@dataclass
class Page:
    """A page read from a file, ready to be ordered and written back."""

    source: str
    format: str  # "json" or "page-xml"
    width: float | None
    height: float | None
    regions: list[Region]
    #: regions present in the file but not ordered (separators, noise)
    skipped: list[Region] = field(default_factory=list)
    #: the reading order stored in the file (region ids), if it has one
    reading_order: list[RegionId] | None = None
    #: the parsed JSON object, or the raw bytes of the XML file
    document: Any = None
    #: PAGE-XML imageFilename, if any
    image_filename: str | None = None

    @property
    def bounds(self) -> Box:
        """Page bounds: (0, 0, width, height), or the regions' union box."""
        if self.width is not None and self.height is not None:
            return (0.0, 0.0, float(self.width), float(self.height))
        boxes = [r.box for r in self.regions + self.skipped]
        if not boxes:
            return (0.0, 0.0, 0.0, 0.0)
        return (
            min(min(b[0], b[2]) for b in boxes),
            min(min(b[1], b[3]) for b in boxes),
            max(max(b[0], b[2]) for b in boxes),
            max(max(b[1], b[3]) for b in boxes),
        )

    def compute_order(self, config: XYCutConfig | None = None) -> list[RegionId]:
        """Ids of the ordered regions, in reading order."""
        return order(
            [r.box for r in self.regions],
            [r.label for r in self.regions],
            [r.id for r in self.regions],
            page_bounds=self.bounds,
            config=config,
        )


# --------------------------------------------------------------------------
# numbers and values in messages
# --------------------------------------------------------------------------

#: Longest value text a message shows whole; longer ones are shown cut, marked
#: as cut and with their length, so that one bad value cannot flood a terminal.
SHOWN_CHARACTERS = 100


class OverflowedFloat(float):
    """An infinity read from a file that wrote a finite number too large for a
    double (1e400); ``written`` keeps that text for messages."""

    written: str

    def __new__(cls, written: str) -> OverflowedFloat:
        value = super().__new__(cls, written)
        value.written = written
        return value


def parse_float(text: str) -> float:
    """A decimal number from a file; one too large for a double keeps its text."""
    value = float(text)
    if math.isinf(value) and text.strip().lstrip("+-").lower() not in ("inf", "infinity"):
        return OverflowedFloat(text)
    return value


def number_text(value: float) -> str:
    """A number as a message shows it: an integer with all its digits (or, when
    it is enormous, how many it has), a float in its shortest form that reads
    back as the same float, and a number read from a file as the file wrote it."""
    written: str | None = getattr(value, "written", None)
    if written is not None:
        return written
    if isinstance(value, int):
        try:
            digits = str(abs(value))
        except ValueError:  # beyond Python's limit on integer-to-text conversion
            return f"an integer of more than {sys.get_int_max_str_digits()} digits"
        return str(value) if len(digits) <= 50 else f"a {len(digits)}-digit integer"
    return repr(value)


def shown_text(text: str) -> str:
    """Some text of a file, quoted, for a message."""
    if len(text) <= SHOWN_CHARACTERS:
        return repr(text)
    return f"{text[:SHOWN_CHARACTERS]!r}... ({len(text)} characters)"


def shown_json(value: Any) -> str:
    """A JSON value for a message, written as JSON."""
    try:
        text = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError, RecursionError):
        text = repr(value)
    if len(text) <= SHOWN_CHARACTERS:
        return text
    return f"{text[:SHOWN_CHARACTERS]}... ({len(text)} characters)"


def _coordinate(source: str, where: str, value: Any, written: str | None = None) -> float:
    """A coordinate from a file: a finite number of sensible magnitude.

    ``written`` is the number's text in the file, when the reader has it.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise PageError(source, f"{where} must be a number, got {shown_json(value)}")
    shown = written if written is not None else number_text(value)
    if isinstance(value, float) and not math.isfinite(value) and not isinstance(value, OverflowedFloat):
        raise PageError(source, f"{where} is not a finite number ({shown})")
    # int against float compares exactly, so no integer is rounded into range
    if abs(value) > MAX_COORDINATE:
        raise PageError(source, f"{where} = {shown} is out of range (at most {2**24} in magnitude)")
    return float(value)


# --------------------------------------------------------------------------
# JSON
# --------------------------------------------------------------------------


def _json_kind(value: Any) -> str:
    """What a JSON value is, in the words the messages use."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "list"
    if isinstance(value, dict):
        return "object"
    return type(value).__name__


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number in JSON")


def _load_json(source: str, text: str) -> Any:
    try:
        return json.loads(text, parse_constant=_reject_constant, parse_float=parse_float)
    except json.JSONDecodeError as exc:
        position = f"line {exc.lineno} column {exc.colno}"
        if exc.msg.endswith(" at"):  # "Invalid control character at", "Unterminated string starting at"
            raise PageError(source, f"invalid JSON: {exc.msg} {position}") from None
        raise PageError(source, f"invalid JSON at {position}: {exc.msg}") from None
    except RecursionError:
        raise PageError(source, "invalid JSON: nested too deeply") from None
    except ValueError as exc:  # NaN/Infinity literals, integers with too many digits
        raise PageError(source, f"invalid JSON: {exc}") from None


def _json_id(source: str, where: str, value: Any) -> RegionId:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise PageError(source, f"{where}: id must be an integer or a string, got {shown_json(value)}")
    return value


def _json_box(source: str, where: str, item: Mapping[str, Any]) -> Box:
    if "box" in item:
        box = item["box"]
        if not isinstance(box, list) or len(box) != 4:
            raise PageError(source, f"{where}: \"box\" must be a list of 4 numbers [x1, y1, x2, y2]")
        x1, y1, x2, y2 = (_coordinate(source, f"{where}: box[{i}]", v) for i, v in enumerate(box))
        return (x1, y1, x2, y2)
    missing = [k for k in ("x1", "y1", "x2", "y2") if k not in item]
    if missing:
        raise PageError(
            source,
            f"{where}: missing coordinates (give \"box\": [x1, y1, x2, y2], or \"x1\", \"y1\", \"x2\", \"y2\")",
        )
    x1, y1, x2, y2 = (_coordinate(source, f"{where}: {k}", item[k]) for k in ("x1", "y1", "x2", "y2"))
    return (x1, y1, x2, y2)


def _json_label(source: str, where: str, item: Mapping[str, Any]) -> tuple[SemanticLabel, str, bool]:
    """(label, kind, skipped) of one JSON element."""
    if "label" in item:
        text = item["label"]
        if not isinstance(text, str):
            raise PageError(source, f"{where}: \"label\" must be a string, got {shown_json(text)}")
        return label_for(text), text, normalise_label_name(text) in SKIPPED_LABELS
    if "type" in item and isinstance(item["type"], str):
        # region records converted from PAGE-XML: "type" is the PAGE element name
        subtype = item.get("subtype") if isinstance(item.get("subtype"), str) else ""
        label, kind = _page_label(item["type"], subtype or "")
        return label, kind, item["type"] in SKIPPED_PAGE_TYPES
    return SemanticLabel.Regular, "", False


def page_from_json(obj: Any, source: str = "<json>") -> Page:
    """Validate a parsed JSON page and return it as a :class:`Page`.

    The shape (all keys other than these are kept and written back)::

        {"width": 1000, "height": 1400,            # optional
         "elements": [{"id": "t", "box": [x1, y1, x2, y2], "label": "title"},
                      {"id": 7, "x1": 0, "y1": 0, "x2": 10, "y2": 10}],
         "order": [...]}                           # optional, written by quorlin
    """
    if not isinstance(obj, dict):
        raise PageError(source, f"expected a JSON object with \"elements\", got {_json_kind(obj)}")
    width = height = None
    for key in ("width", "height"):
        if key in obj:
            value = _coordinate(source, f"\"{key}\"", obj[key])
            if value < 0:
                raise PageError(source, f"\"{key}\" must not be negative")
            if key == "width":
                width = value
            else:
                height = value
    if "elements" not in obj:
        raise PageError(source, "missing \"elements\" (a list of elements with id, box and label)")
    items = obj["elements"]
    if not isinstance(items, list):
        raise PageError(source, f"\"elements\" must be a list, got {_json_kind(items)}")

    regions: list[Region] = []
    skipped: list[Region] = []
    seen: set[RegionId] = set()
    for index, item in enumerate(items):
        if not isinstance(item, dict):
            raise PageError(source, f"element {index} must be an object, got {_json_kind(item)}")
        rid = _json_id(source, f"element {index}", item["id"]) if "id" in item else index
        where = f"element {index} (id {json.dumps(rid, ensure_ascii=False)})"
        if rid in seen:
            raise PageError(source, f"{where}: duplicate id")
        seen.add(rid)
        box = _json_box(source, where, item)
        label, kind, skip = _json_label(source, where, item)
        (skipped if skip else regions).append(Region(rid, box, label, kind))

    reading_order: list[RegionId] | None = None
    if "order" in obj:
        stored = obj["order"]
        if not isinstance(stored, list):
            raise PageError(source, "\"order\" must be a list of element ids")
        for rid in stored:
            if isinstance(rid, bool) or not isinstance(rid, (int, str)) or rid not in seen:
                raise PageError(source, f"\"order\" refers to unknown element id {shown_json(rid)}")
        reading_order = list(stored)
    return Page(source, "json", width, height, regions, skipped, reading_order, obj)


def json_document(page: Page, reading_order: Sequence[RegionId]) -> dict[str, Any]:
    """A copy of the page's JSON object with "order" set to ``reading_order``."""
    document = dict(page.document) if isinstance(page.document, dict) else {}
    document["order"] = list(reading_order)
    return document


# --------------------------------------------------------------------------
# PAGE-XML
# --------------------------------------------------------------------------


def _local(tag: str) -> tuple[str, str]:
    """Split an ElementTree tag "{uri}Local" into (uri, local)."""
    if tag.startswith("{"):
        uri, _, local = tag[1:].partition("}")
        return uri, local
    return "", tag


def _page_label(tag: str, subtype: str) -> tuple[SemanticLabel, str]:
    base = PAGE_REGION_LABELS.get(tag, SemanticLabel.Regular)
    if tag == "TextRegion" and subtype:
        base = label_for(subtype, SemanticLabel.Regular)
    return base, f"{tag}/{subtype}" if subtype else tag


def _region_subtype(elem: XmlElement) -> str:
    subtype = elem.get("type")
    if subtype:
        return subtype
    match = _CUSTOM_TYPE.search(elem.get("custom", ""))
    return match.group(1).strip() if match else ""


def _polygon_box(source: str, what: str, coords: XmlElement, ns: str) -> Box:
    points = coords.get("points")
    xs: list[float] = []
    ys: list[float] = []

    def add(x_text: str, y_text: str, malformed: str) -> None:
        try:
            x, y = parse_float(x_text), parse_float(y_text)
        except ValueError:
            raise PageError(source, f"{what}: malformed Coords {malformed}") from None
        xs.append(_coordinate(source, f"{what}: Coords x", x, x_text.strip()))
        ys.append(_coordinate(source, f"{what}: Coords y", y, y_text.strip()))

    if points is not None:
        for pair in points.split():
            x_text, comma, y_text = pair.partition(",")
            malformed = f"points ({shown_text(pair)} is not \"x,y\")"
            if not comma:
                raise PageError(source, f"{what}: malformed Coords {malformed}")
            add(x_text, y_text, malformed)
    else:
        # older PAGE versions give <Point x="" y=""/> children instead of @points
        for point in coords.findall(f"{{{ns}}}Point"):
            add(point.get("x", ""), point.get("y", ""), "Point")
    if not xs:
        raise PageError(source, f"{what}: Coords has no points")
    return (min(xs), min(ys), max(xs), max(ys))


def _page_dimension(source: str, page: XmlElement, name: str) -> float:
    text = page.get(name)
    if text is None:
        raise PageError(source, f"<Page> has no {name}")
    try:
        value = parse_float(text)
    except ValueError:
        raise PageError(source, f"<Page> {name}={shown_text(text)} is not a number") from None
    value = _coordinate(source, f"<Page> {name}", value, text.strip())
    if value < 0:
        raise PageError(source, f"<Page> {name} must not be negative")
    return value


def _flatten_reading_order(source: str, group: XmlElement, known: set[str], out: list[RegionId]) -> None:
    """Append the region refs of a group, depth-first, ordered groups by @index."""
    _, kind = _local(group.tag)
    children = [c for c in group if _local(c.tag)[1] in _RO_CHILDREN]
    if kind in ("OrderedGroup", "OrderedGroupIndexed"):
        def index_of(child: XmlElement) -> int:
            name = _local(child.tag)[1]
            if not name.endswith("Indexed"):
                return 0
            try:
                return int(child.get("index", ""))
            except ValueError:
                index = child.get("index")
                if index is None:
                    raise PageError(source, f"ReadingOrder: {name} has no index") from None
                raise PageError(source, f"ReadingOrder: {name} has no valid index ({shown_text(index)})") from None

        children.sort(key=index_of)
    for child in children:
        name = _local(child.tag)[1]
        if name in ("RegionRef", "RegionRefIndexed"):
            ref = child.get("regionRef")
            if ref is None:
                raise PageError(source, f"ReadingOrder: {name} without regionRef")
            if ref not in known:
                raise PageError(source, f"ReadingOrder refers to unknown region {ref!r}")
            out.append(ref)
        else:
            _flatten_reading_order(source, child, known, out)


_RO_CHILDREN = frozenset({
    "RegionRef", "RegionRefIndexed",
    "OrderedGroup", "OrderedGroupIndexed", "UnorderedGroup", "UnorderedGroupIndexed",
})


def _parse_xml(source: str, data: bytes) -> XmlElement:
    try:
        root: XmlElement = SafeET.fromstring(data, forbid_dtd=True)
    except defusedxml.DTDForbidden:
        raise PageError(
            source, "XML with a DOCTYPE is refused (entity expansion and external entities are not allowed)"
        ) from None
    except defusedxml.EntitiesForbidden:
        raise PageError(source, "XML entity declarations are refused") from None
    except defusedxml.ExternalReferenceForbidden:
        raise PageError(source, "XML external references are refused") from None
    except defusedxml.DefusedXmlException as exc:
        raise PageError(source, f"unsafe XML refused ({exc})") from None
    except ParseError as exc:
        raise PageError(source, f"not well-formed XML ({exc})") from None
    except (ValueError, RecursionError) as exc:
        raise PageError(source, f"unreadable XML ({exc})") from None
    return root


def page_from_xml(data: bytes, source: str = "<xml>") -> Page:
    """Read a PAGE-XML document (any PRImA pagecontent schema version).

    The regions that are direct children of <Page> are read; each one's
    Coords polygon becomes its bounding box and its element name (and
    @type for text regions) its label.  Separator and noise regions are kept
    aside, unordered.  An existing ReadingOrder is read and checked.
    """
    root = _parse_xml(source, data)
    ns, root_name = _local(root.tag)
    if root_name != "PcGts" or not ns.startswith(PAGE_NAMESPACE_PREFIX):
        raise PageError(source, f"not a PAGE-XML document (root element is <{root_name}> in namespace {ns!r})")
    page_elem = root.find(f"{{{ns}}}Page")
    if page_elem is None:
        raise PageError(source, "PAGE-XML document without <Page>")
    width = _page_dimension(source, page_elem, "imageWidth")
    height = _page_dimension(source, page_elem, "imageHeight")

    regions: list[Region] = []
    skipped: list[Region] = []
    for child in page_elem:
        child_ns, tag = _local(child.tag)
        if child_ns != ns or tag not in PAGE_REGION_LABELS:
            continue
        rid = child.get("id")
        if not rid:
            raise PageError(source, f"{tag} without id")
        what = f"{tag} {rid!r}"
        coords = child.find(f"{{{ns}}}Coords")
        if coords is None:
            raise PageError(source, f"{what} has no Coords")
        box = _polygon_box(source, what, coords, ns)
        label, kind = _page_label(tag, _region_subtype(child))
        (skipped if tag in SKIPPED_PAGE_TYPES else regions).append(Region(rid, box, label, kind))

    # Region refs may point to nested regions too, so every region id counts.
    known = {
        elem.get("id", "")
        for elem in page_elem.iter()
        if _local(elem.tag)[1] in PAGE_REGION_LABELS and elem.get("id")
    }
    reading_order: list[RegionId] | None = None
    ro = page_elem.find(f"{{{ns}}}ReadingOrder")
    if ro is not None:
        reading_order = []
        try:
            for group in ro:
                if _local(group.tag)[1] in _RO_CHILDREN:
                    _flatten_reading_order(source, group, known, reading_order)
        except RecursionError:
            raise PageError(source, "ReadingOrder groups are nested too deeply") from None
    seen_ids = [r.id for r in regions + skipped]
    if len(set(seen_ids)) != len(seen_ids):
        duplicate = next(i for i in seen_ids if seen_ids.count(i) > 1)
        raise PageError(source, f"two regions share the id {duplicate!r}")
    return Page(
        source, "page-xml", width, height, regions, skipped, reading_order, data,
        image_filename=page_elem.get("imageFilename"),
    )


@dataclass
class _Layout:
    """Byte positions in the raw XML that the writer needs."""

    prefix: str = ""
    encoding: str | None = None
    page_depth: int = -1
    page_start: int = -1
    ro_span: tuple[int, int] | None = None
    first_child_after_ro: int = -1  # where a new ReadingOrder goes


# Children of <Page> that precede <ReadingOrder> in the schema.
_BEFORE_READING_ORDER = frozenset({"AlternativeImage", "Border", "PrintSpace"})


def _start_tag_end(data: bytes, start: int) -> int:
    """Index just past the '>' of the start tag at ``start``, skipping quoted values."""
    quote = 0
    for i in range(start + 1, len(data)):
        c = data[i]
        if quote:
            if c == quote:
                quote = 0
        elif c in (0x22, 0x27):  # " or '
            quote = c
        elif c == 0x3E:  # >
            return i + 1
    return len(data)


def _scan_layout(data: bytes, ns: str) -> _Layout:
    """Find <Page>, its <ReadingOrder> and its children's byte offsets.

    The document was already checked by the safe parser (no DOCTYPE, so no
    entities), so a plain expat pass that only records offsets is safe.
    """
    layout = _Layout()
    parser = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    parser.namespace_prefixes = True
    stack: list[tuple[str, str, int]] = []

    def on_decl(version: str, encoding: str | None, standalone: int) -> None:
        layout.encoding = encoding

    def on_start(name: str, attrs: dict[str, str]) -> None:
        parts = name.split(" ")
        uri, local = (parts[0], parts[1]) if len(parts) >= 2 else ("", parts[0])
        pos = parser.CurrentByteIndex
        depth = len(stack)
        if uri == ns and local == "Page" and depth == 1:
            layout.prefix = parts[2] + ":" if len(parts) == 3 else ""
            layout.page_depth = depth
            layout.page_start = pos
        elif depth == layout.page_depth + 1 and layout.page_depth >= 0 and stack[-1][1] == "Page":
            if local == "ReadingOrder" and uri == ns and layout.ro_span is None:
                layout.ro_span = (pos, -1)
            elif layout.first_child_after_ro < 0 and local not in _BEFORE_READING_ORDER:
                layout.first_child_after_ro = pos
        stack.append((uri, local, pos))

    def on_end(name: str) -> None:
        uri, local, start = stack.pop()
        pos = parser.CurrentByteIndex
        is_end_tag = data[pos:pos + 2] == b"</"
        end = data.index(b">", pos) + 1 if is_end_tag else _start_tag_end(data, start)
        if layout.ro_span is not None and layout.ro_span[1] < 0 and layout.ro_span[0] == start:
            layout.ro_span = (start, end)

    parser.XmlDeclHandler = on_decl
    parser.StartElementHandler = on_start
    parser.EndElementHandler = on_end
    parser.Parse(data, True)
    return layout


def _line_indent(data: bytes, pos: int) -> bytes:
    """The whitespace between the start of the line and ``pos``, if only whitespace."""
    line_start = data.rfind(b"\n", 0, pos) + 1
    prefix = data[line_start:pos]
    return prefix if prefix.strip() == b"" else b""


def _xml_attr(value: str) -> str:
    return (
        value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        .replace('"', "&quot;").replace("\n", "&#10;").replace("\t", "&#9;")
    )


def page_xml_document(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """A copy of the PAGE-XML bytes whose <ReadingOrder> holds ``reading_order``.

    The old ReadingOrder is replaced by one OrderedGroup of RegionRefIndexed
    (or a new one is inserted where the schema puts it); every other byte of
    the file is kept as it was.  With nothing to order, the ReadingOrder is
    removed (or none is added), since an empty OrderedGroup is not valid PAGE.
    """
    data = page.document
    if not isinstance(data, bytes):
        raise ValueError("page was not read from PAGE-XML")
    known = {r.id for r in page.regions + page.skipped}
    for rid in reading_order:
        if rid not in known:
            raise ValueError(f"reading order refers to unknown region {rid!r}")
    root = _parse_xml(page.source, data)
    ns, _ = _local(root.tag)
    layout = _scan_layout(data, ns)
    if layout.page_start < 0:
        raise PageError(page.source, "PAGE-XML document without <Page>")
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        raise PageError(page.source, "cannot write UTF-16 encoded PAGE-XML; convert it to UTF-8 first")
    encoding = layout.encoding or "utf-8"
    try:
        codecs.lookup(encoding)
    except LookupError:
        raise PageError(page.source, f"unknown XML encoding {encoding!r}") from None
    if "16" in encoding or "32" in encoding:
        raise PageError(page.source, f"cannot write {encoding} encoded PAGE-XML; convert it to UTF-8 first")

    newline = b"\r\n" if b"\r\n" in data else (b"\n" if b"\n" in data else b"")
    page_indent = _line_indent(data, layout.page_start)
    if layout.ro_span is not None:
        anchor = layout.ro_span[0]
    elif not reading_order:
        return data  # nothing to order and no ReadingOrder to remove
    elif layout.first_child_after_ro >= 0:
        anchor = layout.first_child_after_ro
    else:
        # ordered regions are children of <Page>, so one of them is an anchor
        raise PageError(page.source, "cannot find where to put the ReadingOrder in <Page>")
    indent = _line_indent(data, anchor)
    unit = indent[len(page_indent):] if indent.startswith(page_indent) and len(indent) > len(page_indent) else b"  "
    if not newline:
        indent = unit = b""

    existing_ids = {elem.get("id") for elem in root.iter() if elem.get("id")}
    group_id = "ro_quorlin"
    suffix = 1
    while group_id in existing_ids:
        suffix += 1
        group_id = f"ro_quorlin_{suffix}"

    p = layout.prefix
    u = unit.decode()
    text_lines = [
        f"<{p}ReadingOrder>",
        f"{u}<{p}OrderedGroup id=\"{group_id}\" caption=\"Reading order computed by quorlin\">",
    ]
    for index, rid in enumerate(reading_order):
        text_lines.append(f"{u * 2}<{p}RegionRefIndexed index=\"{index}\" regionRef=\"{_xml_attr(str(rid))}\"/>")
    text_lines.append(f"{u}</{p}OrderedGroup>")
    text_lines.append(f"</{p}ReadingOrder>")
    snippet = (newline + indent).decode().join(text_lines).encode(encoding, "xmlcharrefreplace")

    if layout.ro_span is None:
        return data[:anchor] + snippet + newline + indent + data[anchor:]
    start, end = layout.ro_span
    if reading_order:
        return data[:start] + snippet + data[end:]
    # nothing to order: drop the element with its indentation and line break
    line_start = start - len(_line_indent(data, start))
    if newline and data[line_start - len(newline):line_start] == newline:
        start = line_start - len(newline)
    return data[:start] + data[end:]


# --------------------------------------------------------------------------
# files
# --------------------------------------------------------------------------


def _sniff(data: bytes) -> str | None:
    head = data.lstrip(b"\xef\xbb\xbf \t\r\n")[:1]
    if head == b"<":
        return "page-xml"
    if head in (b"{", b"["):
        return "json"
    return None


def read_page(path: str | Path, fmt: str = "auto", data: bytes | None = None) -> Page:
    """Read one page file, JSON or PAGE-XML (``fmt`` "auto" tells them apart).

    ``data`` may hold the file's bytes already (for standard input); ``path``
    then only names the source in messages.
    """
    source = str(path)
    if data is None:
        try:
            data = Path(path).read_bytes()
        except IsADirectoryError:
            raise PageError(source, "is a directory") from None
        except FileNotFoundError:
            raise PageError(source, "no such file") from None
        except OSError as exc:
            raise PageError(source, exc.strerror or str(exc)) from None
    if not data.strip():
        raise PageError(source, "empty file")
    if fmt == "auto":
        suffix = Path(source).suffix.lower()
        sniffed = {".json": "json", ".xml": "page-xml"}.get(suffix) or _sniff(data)
        if sniffed is None:
            raise PageError(source, "cannot tell the format (expected a JSON page or PAGE-XML)")
        fmt = sniffed
    if fmt == "json":
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError as exc:
            raise PageError(source, f"not UTF-8 text (byte {exc.start})") from None
        return page_from_json(_load_json(source, text), source)
    if fmt == "page-xml":
        return page_from_xml(data, source)
    raise ValueError(f"unknown page format {fmt!r}")


def write_page(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """The page's file with ``reading_order`` written into it, as bytes."""
    if page.format == "page-xml":
        return page_xml_document(page, reading_order)
    text = json.dumps(json_document(page, reading_order), ensure_ascii=False, indent=2)
    return (text + "\n").encode("utf-8")
