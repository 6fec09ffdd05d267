"""PAGE-XML pages (PRImA pagecontent schema, any version): read, and written back with their order.

The reader parses with ``defusedxml`` (a DOCTYPE, entity declarations and
external references are refused) and turns each region that is a child of
<Page> into a :class:`~quorlin.page.Region`: its Coords polygon becomes its
bounding box, its element name (and a text region's @type) its label.  The
writer changes only the <ReadingOrder> of the original bytes, through
:mod:`quorlin.formats.xml.patch`.
"""

from __future__ import annotations

import codecs
import logging
import re
from collections.abc import Callable, Sequence
from xml.etree.ElementTree import Element as XmlElement
from xml.etree.ElementTree import ParseError

import defusedxml
import defusedxml.ElementTree as SafeET

from ..errors import PageError
from ..labels import PAGE_REGION_LABELS, SKIPPED_PAGE_TYPES, page_region_label, skipped_role
from ..page import Box, Page, Region, RegionId
from .values import check_coordinate, parse_float, shown_name, shown_text
from .xml.patch import XmlPatchError, escape_attribute, set_child

__all__ = ["PAGE_NAMESPACE_PREFIX", "page_from_xml", "page_xml_document", "parse_safe_xml"]

PAGE_NAMESPACE_PREFIX = "http://schema.primaresearch.org/PAGE/gts/pagecontent/"

log = logging.getLogger("quorlin")

# Transkribus stores the region type as custom="structure {type:heading;}".
_CUSTOM_TYPE = re.compile(r"structure\s*\{[^}]*?\btype:([^;}]+)")

# Children of <Page> that precede <ReadingOrder> in the schema.
_BEFORE_READING_ORDER = frozenset({"AlternativeImage", "Border", "PrintSpace"})


def _local(tag: str) -> tuple[str, str]:
    """Split an ElementTree tag "{uri}Local" into (uri, local)."""
    if tag.startswith("{"):
        uri, _, local = tag[1:].partition("}")
        return uri, local
    return "", tag


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
        xs.append(check_coordinate(source, f"{what}: Coords x", x, x_text.strip()))
        ys.append(check_coordinate(source, f"{what}: Coords y", y, y_text.strip()))

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
    value = check_coordinate(source, f"<Page> {name}", value, text.strip())
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
                raise PageError(source, f"ReadingOrder refers to unknown region {shown_text(ref)}")
            out.append(ref)
        else:
            _flatten_reading_order(source, child, known, out)


_RO_CHILDREN = frozenset({
    "RegionRef", "RegionRefIndexed",
    "OrderedGroup", "OrderedGroupIndexed", "UnorderedGroup", "UnorderedGroupIndexed",
})


def parse_safe_xml(source: str, data: bytes, forbid_dtd: bool = True) -> XmlElement:
    """Parse XML safely: no entity declarations, no external references, and
    (unless ``forbid_dtd`` is False, for XHTML) no DOCTYPE at all; every
    problem is a :class:`PageError` naming ``source``."""
    if data.startswith((codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE)):
        # expat would take the mark for UTF-16's and stop at its first NUL
        raise PageError(source, "the file is UTF-32, which the XML parser cannot read; convert it to UTF-8")
    try:
        root: XmlElement = SafeET.fromstring(data, forbid_dtd=forbid_dtd)
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
    except LookupError:
        # expat asks Python for the codec the XML declaration names
        raise PageError(source, f"the XML declaration names an unknown encoding {_declared_encoding(data)}") from None
    except ValueError as exc:
        if "multi-byte" in str(exc):  # expat reads only single-byte encodings besides its own
            raise PageError(source, f"the XML declaration names the encoding {_declared_encoding(data)}, which the "
                                    "XML parser cannot read; convert the file to UTF-8") from None
        raise PageError(source, f"unreadable XML ({exc})") from None
    except RecursionError as exc:
        raise PageError(source, f"unreadable XML ({exc})") from None
    return root


_XML_DECLARED_ENCODING = re.compile(r"""<\?xml[^>]*?\bencoding\s*=\s*(?:"([^"]*)"|'([^']*)')""")
# UTF-32 first: its little-endian mark starts with UTF-16's
_BYTE_ORDER_MARKS = ((codecs.BOM_UTF32_LE, "utf-32-le"), (codecs.BOM_UTF32_BE, "utf-32-be"),
                     (codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be"))


def _declared_encoding(data: bytes) -> str:
    """The encoding name of the XML declaration at the start of ``data``, quoted for a message."""
    head = data[:4096]
    text = next((head[len(bom):].decode(codec, "replace") for bom, codec in _BYTE_ORDER_MARKS
                 if head.startswith(bom)), None)
    m = _XML_DECLARED_ENCODING.match(head.decode("latin-1") if text is None else text)
    if m is None:
        return "(unreadable)"
    return shown_text(m.group(1) if m.group(1) is not None else m.group(2))


def page_from_xml(data: bytes, source: str = "<xml>") -> Page:
    """Read a PAGE-XML document (any PRImA pagecontent schema version).

    The regions that are direct children of <Page> are read; each one's
    Coords polygon becomes its bounding box and its element name (and
    @type for text regions) its label.  Separator and noise regions are kept
    aside, unordered.  An existing ReadingOrder is read and checked.
    """
    root = parse_safe_xml(source, data)
    ns, root_name = _local(root.tag)
    if root_name != "PcGts" or not ns.startswith(PAGE_NAMESPACE_PREFIX):
        raise PageError(source, f"not a PAGE-XML document (root element is <{shown_name(root_name)}> "
                                f"in namespace {shown_text(ns)})")
    page_elem = root.find(f"{{{ns}}}Page")
    if page_elem is None:
        raise PageError(source, "PAGE-XML document without <Page>")
    width = _page_dimension(source, page_elem, "imageWidth")
    height = _page_dimension(source, page_elem, "imageHeight")

    regions: list[Region] = []
    skipped: list[Region] = []
    for child in page_elem:
        child_ns, tag = _local(child.tag)
        if tag not in PAGE_REGION_LABELS:
            continue
        if child_ns != ns:
            # a region of another namespace (another PAGE version) is not part of this page
            log.warning("%s: %s %s is in the namespace %s, not the document's; left out of the order",
                        source, tag, shown_text(child.get("id") or ""), shown_text(child_ns))
            continue
        rid = child.get("id")
        if not rid:
            raise PageError(source, f"{tag} without id")
        what = f"{tag} {shown_text(rid)}"
        coords = child.find(f"{{{ns}}}Coords")
        if coords is None:
            raise PageError(source, f"{what} has no Coords")
        box = _polygon_box(source, what, coords, ns)
        label, kind = page_region_label(tag, _region_subtype(child))
        if tag in SKIPPED_PAGE_TYPES:
            skipped.append(Region(rid, box, label, kind, skipped_role(tag)))
        else:
            regions.append(Region(rid, box, label, kind))

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
        raise PageError(source, f"two regions share the id {shown_text(str(duplicate))}")
    return Page(
        source, "page-xml", width, height, regions, skipped, reading_order, data,
        image_filename=page_elem.get("imageFilename"), version=ns.rpartition("/")[2],
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
    root = parse_safe_xml(page.source, data)
    ns, _ = _local(root.tag)
    # OrderedGroup has a caption from the 2013 schema on
    caption = ' caption="Reading order computed by quorlin"' if ns.rpartition("/")[2] >= "2013" else ""

    page_elem = root.find(f"{{{ns}}}Page")
    old_ro = page_elem.find(f"{{{ns}}}ReadingOrder") if page_elem is not None else None
    chains = _chains(old_ro) if old_ro is not None else None

    existing_ids = {elem.get("id") for elem in root.iter() if elem.get("id")}
    group_id = "ro_quorlin"
    suffix = 1
    while group_id in existing_ids:
        suffix += 1
        group_id = f"ro_quorlin_{suffix}"

    def reading_order_lines(p: str, u: str) -> list[str]:
        lines = [
            f"<{p}ReadingOrder>",
            f"{u}<{p}OrderedGroup id=\"{group_id}\"{caption}>",
        ]
        for index, rid in enumerate(reading_order):
            lines.append(f"{u * 2}<{p}RegionRefIndexed index=\"{index}\" regionRef=\"{escape_attribute(str(rid))}\"/>")
        lines.append(f"{u}</{p}OrderedGroup>")
        lines.append(f"</{p}ReadingOrder>")
        return lines

    build: Callable[[str, str], list[str]] | None = reading_order_lines
    if chains is not None:
        group, members = chains
        build = _chain_lines(group, members, reading_order, group_id, caption)
    try:
        return set_child(
            data, namespace=ns, parent="Page", child="ReadingOrder", preceding=_BEFORE_READING_ORDER,
            build=build if reading_order and build is not None else None, document="PAGE-XML",
        )
    except XmlPatchError as exc:
        raise PageError(page.source, str(exc)) from None


def _attributes(elem: XmlElement, leave_out: str = "") -> str:
    return "".join(
        f' {name}="{escape_attribute(value)}"' for name, value in elem.attrib.items()
        if name != leave_out and not name.startswith("{")
    )


def _chains(ro: XmlElement) -> tuple[XmlElement, list[XmlElement]] | None:
    """(the group, its children) when the ReadingOrder is one UnorderedGroup
    of ordered chains (OrderedGroup) and single regions (RegionRef)."""
    groups = [c for c in ro if _local(c.tag)[1] in _RO_CHILDREN]
    if len(groups) != 1 or _local(groups[0].tag)[1] != "UnorderedGroup":
        return None
    members = [c for c in groups[0] if _local(c.tag)[1] in _RO_CHILDREN]
    if not any(_local(c.tag)[1] == "OrderedGroup" for c in members):
        return None
    return groups[0], members


def _refs(elem: XmlElement) -> list[str]:
    """The region ids an element of a ReadingOrder refers to, depth first."""
    return [e.get("regionRef", "") for e in elem.iter() if _local(e.tag)[1] in ("RegionRef", "RegionRefIndexed")]


def _chain_lines(
    group: XmlElement, members: list[XmlElement], reading_order: Sequence[RegionId], group_id: str, caption: str,
) -> Callable[[str, str], list[str]] | None:
    """The writer of a ReadingOrder that keeps the file's UnorderedGroup of chains.

    Each chain (OrderedGroup) keeps its attributes and holds its regions in
    the computed order; single RegionRefs stay as they were; regions of no
    chain form one more chain.  Regions that are not ordered (separators)
    are left out, a region the file names twice stays where it is named
    first, and a chain left empty is dropped.  None when nothing is left at
    all.
    """
    rank = {str(rid): i for i, rid in enumerate(reading_order)}
    chained: set[str] = set()
    kept: list[tuple[XmlElement, list[str]]] = []
    for member in members:
        refs = [r for r in dict.fromkeys(_refs(member)) if r in rank]
        # a region the file names in two members stays in the first only
        fresh = [r for r in refs if r not in chained]
        if _local(member.tag)[1] == "OrderedGroup":
            fresh.sort(key=lambda r: rank[r])
            if fresh:
                kept.append((member, fresh))
                chained.update(fresh)
        elif fresh and len(fresh) == len(refs):  # kept as it is only when that repeats none
            kept.append((member, []))
            chained.update(fresh)
    rest = [str(rid) for rid in reading_order if str(rid) not in chained]
    if not kept and not rest:
        return None

    def lines(p: str, u: str) -> list[str]:
        out = [f"<{p}ReadingOrder>", f"{u}<{p}UnorderedGroup{_attributes(group)}>"]
        chains: list[tuple[str, list[str], XmlElement | None]] = [
            (f"<{p}OrderedGroup{_attributes(m)}>", refs, m) for m, refs in kept]
        if rest:
            chains.append((f'<{p}OrderedGroup id="{group_id}"{caption}>', rest, None))
        for start, refs, member in chains:
            if member is not None and _local(member.tag)[1] != "OrderedGroup":
                out.extend(f"{u * 2}{line}" for line in _element_lines(member, p, u))
                continue
            out.append(f"{u * 2}{start}")
            for index, ref in enumerate(refs):
                out.append(f'{u * 3}<{p}RegionRefIndexed index="{index}" regionRef="{escape_attribute(ref)}"/>')
            out.append(f"{u * 2}</{p}OrderedGroup>")
        out.append(f"{u}</{p}UnorderedGroup>")
        out.append(f"</{p}ReadingOrder>")
        return out

    return lines


def _element_lines(elem: XmlElement, p: str, u: str) -> list[str]:
    """An element of a ReadingOrder (no text, no foreign attributes) as indented lines."""
    name = _local(elem.tag)[1]
    kids = [c for c in elem if _local(c.tag)[1] in _RO_CHILDREN]
    if not kids:
        return [f"<{p}{name}{_attributes(elem)}/>"]
    out = [f"<{p}{name}{_attributes(elem)}>"]
    for kid in kids:
        out.extend(f"{u}{line}" for line in _element_lines(kid, p, u))
    out.append(f"</{p}{name}>")
    return out
