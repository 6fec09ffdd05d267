"""PAGE-XML pages (PRImA pagecontent schema, any version): read, and written back with their order.

The file is parsed once (:func:`quorlin.formats.xml.document.parse_xml`: no
DOCTYPE, so no entity and no external reference) and each region that is a
child of <Page> becomes a :class:`~quorlin.page.Region`: its Coords polygon
becomes its bounding box, its element name (and a text region's @type) its
label.  The stored ReadingOrder is read by the one walker of
:mod:`quorlin.formats.xml.readingorder`.  The writer changes only the
<ReadingOrder> of the original bytes, at the positions the parse recorded
(:mod:`quorlin.formats.xml.patch`).
"""

from __future__ import annotations

import logging
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from .. import direction
from ..errors import PageError
from ..labels import PAGE_REGION_LABELS, SKIPPED_PAGE_TYPES, page_region_label, skipped_role
from ..page import Box, Decided, Page, Region, RegionId
from .values import check_coordinate, parse_float, shown_name, shown_text
from .xml.document import Span, XmlDocument, parse_xml
from .xml.patch import ChildElement, XmlPatchError, escape_attribute, patch
from .xml.readingorder import GROUPS, ORDERED, REFS, Group, chains, flatten, read_groups

__all__ = ["PAGE_NAMESPACE_PREFIX", "PageXml", "page_from_xml", "page_xml_document", "reading_order_chains",
           "custom_type", "with_reading_order_index"]

PAGE_NAMESPACE_PREFIX = "http://schema.primaresearch.org/PAGE/gts/pagecontent/"

log = logging.getLogger("quorlin")

# Children of <Page> that precede <ReadingOrder> in the schema.
_BEFORE_READING_ORDER = frozenset({"AlternativeImage", "Border", "PrintSpace"})


@dataclass(eq=False)
class PageXml:
    """What the reader found in a PAGE-XML file, kept for the writer and for ``quorlin eval``."""

    document: XmlDocument
    namespace: str
    page: Span
    #: the groups of the file's ReadingOrder, or None without one
    reading_order: list[Group] | None


def custom_type(custom: str) -> str:
    """The region type Transkribus stores as ``custom="structure {type:heading;}"``, or "".

    The first ``structure {...}`` block that holds a ``type:`` (at the start
    of a word) with a value gives it.  Each block is read once, so the time
    is linear in the attribute's length whatever it holds.
    """
    start = 0
    while True:
        at = custom.find("structure", start)
        if at < 0:
            return ""
        brace = at + len("structure")
        while brace < len(custom) and custom[brace].isspace():
            brace += 1
        if brace >= len(custom) or custom[brace] != "{":
            start = at + 1
            continue
        close = custom.find("}", brace)
        block_end = close if close >= 0 else len(custom)
        found = brace + 1
        while True:
            found = custom.find("type:", found, block_end)
            if found < 0:
                break
            before = custom[found - 1]
            if not (before.isalnum() or before == "_"):
                value_end = found + len("type:")
                while value_end < block_end and custom[value_end] != ";":
                    value_end += 1
                if value_end > found + len("type:"):
                    return custom[found + len("type:"):value_end]
            found += 1
        # A later "structure" inside this block sees a part of it, which
        # holds no type either: go on after the block.
        if close < 0:
            return ""
        start = close + 1


def with_reading_order_index(custom: str, index: int | None) -> str:
    """A Transkribus ``custom`` attribute with its ``readingOrder {index:N;}`` set
    to ``index``, or taken out for None; the rest as it was.  Linear in the
    attribute's length.

    The attribute is read as a run of ``name {key:value; ...}`` groups, each
    ending at the first ``}`` after its ``{`` (as :func:`custom_type` ends a
    ``structure`` group).  Only a group whose name is exactly
    ``readingOrder`` (nothing else between the group before it and its
    ``{``) is changed, and not when its body holds a ``{`` of its own or
    has no ``}`` (a broken group): text inside another group, a name glued
    to other text or a broken group is the file's own and stays as it is,
    so the region's type reads back the same.
    """
    start = 0
    while True:
        brace = custom.find("{", start)
        if brace < 0:
            return custom
        close = custom.find("}", brace)
        if close < 0:  # a group left open runs to the end: broken, the file's own
            return custom
        if custom[start:brace].strip() == "readingOrder":
            body = custom[brace + 1:close]
            if "{" in body:
                return custom
            at = custom.index("readingOrder", start)
            rest = custom[close + 1:]
            if index is None:
                return (custom[:at].rstrip() + (" " if custom[:at].strip() and rest.strip() else "")
                        + rest.lstrip())
            kept = [p.strip() for p in body.split(";") if p.strip() and p.partition(":")[0].strip() != "index"]
            new_body = "".join(f"{p};" for p in [f"index:{index}", *kept])
            return f"{custom[:brace]}{{{new_body}}}{rest}"
        start = close + 1


def _region_subtype(elem: Span) -> str:
    subtype = elem.get("type")
    if subtype:
        return subtype
    return custom_type(elem.get("custom", "") or "").strip()


def _polygon_box(source: str, what: str, coords: Span, ns: str) -> Box:
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
        for point in coords.kids():
            if point.local == "Point" and point.uri == ns:
                add(point.get("x", "") or "", point.get("y", "") or "", "Point")
    if not xs:
        raise PageError(source, f"{what}: Coords has no points")
    return (min(xs), min(ys), max(xs), max(ys))


def _page_dimension(source: str, page: Span, name: str) -> float:
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


def page_from_xml(data: bytes, source: str = "<xml>") -> Page:
    """Read a PAGE-XML document (any PRImA pagecontent schema version).

    The regions that are direct children of <Page> are read; each one's
    Coords polygon becomes its bounding box and its element name (and
    @type for text regions) its label.  Separator and noise regions are kept
    aside, unordered.  An existing ReadingOrder is read and checked.
    """
    document = parse_xml(source, data, text_sample=direction.TEXT_SAMPLE, sample_in=("Unicode",))
    root = document.root
    ns, root_name = root.uri, root.local
    if root_name != "PcGts" or not ns.startswith(PAGE_NAMESPACE_PREFIX):
        raise PageError(source, f"not a PAGE-XML document (root element is <{shown_name(root_name)}> "
                                f"in namespace {shown_text(ns)})")
    page_elem = root.child("Page", ns)
    if page_elem is None:
        raise PageError(source, "PAGE-XML document without <Page>")
    width = _page_dimension(source, page_elem, "imageWidth")
    height = _page_dimension(source, page_elem, "imageHeight")

    regions: list[Region] = []
    skipped: list[Region] = []
    for child in page_elem.kids():
        tag = child.local
        if tag not in PAGE_REGION_LABELS:
            continue
        if child.uri != ns:
            # a region of another namespace (another PAGE version) is not part of this page
            log.warning("%s: %s %s is in the namespace %s, not the document's; left out of the order",
                        source, tag, shown_text(child.get("id") or ""), shown_text(child.uri))
            continue
        rid = child.get("id")
        if not rid:
            raise PageError(source, f"{tag} without id")
        what = f"{tag} {shown_text(rid)}"
        coords = child.child("Coords", ns)
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
        elem.get("id", "") or ""
        for elem in page_elem.iter()
        if elem.local in PAGE_REGION_LABELS and elem.get("id")
    }
    groups: list[Group] | None = None
    reading_order: list[RegionId] | None = None
    ro = page_elem.child("ReadingOrder", ns)
    if ro is not None:
        groups = read_groups(source, ro, known)
        reading_order = list(flatten(groups))
    counts = Counter(r.id for r in regions + skipped)
    duplicate = next((r.id for r in regions + skipped if counts[r.id] > 1), None)
    if duplicate is not None:
        raise PageError(source, f"two regions share the id {shown_text(str(duplicate))}")
    return Page(
        source, "page-xml", width, height, regions, skipped, reading_order, data,
        image_filename=page_elem.get("imageFilename"), version=ns.rpartition("/")[2],
        parsed=PageXml(document, ns, page_elem, groups),
        direction=_direction(source, document, page_elem, ns),
    )


def _stated(elem: Span, where: str) -> Decided | None:
    """The direction an element's readingDirection states; top-to-bottom
    lines set in left-to-right order (as Mongolian) are read as ltr, since
    their columns run from the left."""
    value = elem.get("readingDirection")
    if not value:
        return None
    reason = f"readingDirection=\"{shown_name(value)}\" of {where}"
    if value == "top-to-bottom" and elem.get("textLineOrder") == "left-to-right":
        return Decided("ltr", reason + " with textLineOrder=\"left-to-right\"")
    return direction.from_words(value, reason)


def _direction(source: str, document: XmlDocument, page_elem: Span, ns: str) -> Decided:
    """What the page states of its direction (<Page>, else most of its text
    regions), its scripts and languages, else what its text shows."""
    regions = [e for e in page_elem.iter() if e.local == "TextRegion" and e.uri == ns]
    stated = [_stated(page_elem, "<Page>")]
    by_regions = direction.most_common(e.get("readingDirection") for e in regions)
    if by_regions is not None:
        stated.append(_stated(next(e for e in regions if e.get("readingDirection") == by_regions),
                              "most text regions"))
    scripts: list[tuple[str | None, str]] = []
    for name, judge in (("primaryScript", direction.from_script), ("primaryLanguage", direction.from_language)):
        for value, where in ((page_elem.get(name), "<Page>"),
                             (direction.most_common(e.get(name) for e in regions), "most text regions")):
            if value:
                scripts.append((judge(value), f"{name}=\"{shown_name(value)}\" of {where}"))

    def lines() -> list[Box]:
        boxes = []
        for line in page_elem.iter():
            coords = line.child("Coords", ns) if line.local == "TextLine" and line.uri == ns else None
            if coords is not None:
                try:
                    boxes.append(_polygon_box(source, "TextLine", coords, ns))
                except PageError:
                    continue  # a line's box only hints at the direction
        return boxes

    return direction.decide(stated, scripts, document.text_sample, lines)


def reading_order_chains(page: Page) -> list[list[str]] | None:
    """The ordered chains of a PAGE-XML page's ReadingOrder (see
    :func:`quorlin.formats.xml.readingorder.chains`), or None when the file
    has none.  Chains that come out empty are left out."""
    parsed = page.parsed
    if not isinstance(parsed, PageXml):
        raise ValueError("page was not read from PAGE-XML")
    if parsed.reading_order is None:
        return None
    return chains(parsed.reading_order)


def page_xml_document(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """A copy of the PAGE-XML bytes whose <ReadingOrder> holds ``reading_order``.

    The old ReadingOrder is replaced by one OrderedGroup of RegionRefIndexed
    (or a new one is inserted where the schema puts it); every other byte of
    the file is kept as it was.  With nothing to order, the ReadingOrder is
    removed (or none is added), since an empty OrderedGroup is not valid PAGE.
    """
    parsed = page.parsed
    if not isinstance(parsed, PageXml):
        raise ValueError("page was not read from PAGE-XML")
    known = {r.id for r in page.regions + page.skipped}
    for rid in reading_order:
        if rid not in known:
            raise ValueError(f"reading order refers to unknown region {rid!r}")
    ns = parsed.namespace
    # OrderedGroup has a caption from the 2013 schema on
    caption = ' caption="Reading order computed by quorlin"' if ns.rpartition("/")[2] >= "2013" else ""
    old_ro = parsed.page.child("ReadingOrder", ns)
    found = _chains(old_ro) if old_ro is not None else None

    # The ids of a ReadingOrder that is replaced are free to take again, so
    # that ordering the output again writes it byte for byte; one whose
    # groups are kept (the chains) keeps its ids taken.
    replaced = {id(elem) for elem in old_ro.iter()} if old_ro is not None and found is None else set()
    existing_ids = {elem.get("id") for elem in parsed.document.root.iter()
                    if elem.get("id") and id(elem) not in replaced}
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
    if found is not None:
        build = _chain_lines(found, ns, reading_order, group_id, caption)
    child = ChildElement(ns, "Page", "ReadingOrder", _BEFORE_READING_ORDER,
                         build if reading_order and build is not None else None, "PAGE-XML")
    # Transkribus keeps the order in the regions too: written the same, so
    # that the file never holds two orders
    place = {str(rid): i for i, rid in enumerate(reading_order)}
    values: dict[Span, dict[str, str]] = {}
    for region in parsed.page.kids():
        custom = region.get("custom")
        if custom and "readingOrder" in custom and region.local in PAGE_REGION_LABELS and region.uri == ns:
            changed = with_reading_order_index(custom, place.get(region.get("id", "")))
            if changed != custom:
                values[region] = {"custom": changed}
    try:
        return patch(parsed.document, values=values, child=child)
    except XmlPatchError as exc:
        raise PageError(page.source, str(exc)) from None


def _attributes(elem: Span, leave_out: str = "") -> str:
    return "".join(
        f' {name}="{escape_attribute(value)}"' for name, value in (elem.attrs or {}).items()
        if name != leave_out and not name.startswith("{")
    )


def _chains(ro: Span) -> Span | None:
    """The group when the ReadingOrder is one UnorderedGroup that holds ordered
    chains (OrderedGroup), at any depth of unordered groups inside it.

    Any ordered group below it will do: the first ordered group on its way
    up is a chain, reached through unordered groups only.
    """
    groups = [c for c in ro.kids() if c.local in GROUPS or c.local in REFS]
    if len(groups) != 1 or groups[0].local != "UnorderedGroup":
        return None
    if not any(e.local in ORDERED for e in groups[0].iter()):
        return None
    return groups[0]


def _refs(elem: Span) -> list[str]:
    """The region ids an element of a ReadingOrder refers to, depth first."""
    return [e.get("regionRef", "") or "" for e in elem.iter() if e.local in REFS]


def _members(group: Span) -> list[Span]:
    """The groups and region references in a group, in document order."""
    return [c for c in group.kids() if c.local in GROUPS or c.local in REFS]


#: What the writer keeps of a member of an unordered group: a region
#: reference or an unordered group (as its element), or a chain (its
#: element, None for the new one, and its regions in the computed order).
_Kept = Span | tuple[Span | None, list[str]]


def _chain_lines(
    group: Span, ns: str, reading_order: Sequence[RegionId], group_id: str, caption: str,
) -> Callable[[str, str], list[str]] | None:
    """The writer of a ReadingOrder that keeps the file's UnorderedGroup of chains.

    Every chain (an ordered group in the top group or in an unordered group
    inside it, at any depth) keeps its attributes and holds its regions in
    the computed order, the groups nested in it flattened; unordered groups
    keep their attributes and places, single RegionRefs stay as they were;
    regions of no chain form one more chain at the end of the top group.
    Each group written keeps its UserDefined and Labels (in ``ns``), first
    in it as the schema puts them.
    Regions that are not ordered (separators) are left out, a region the
    file names twice stays where it is named first, and a chain or group
    left empty is dropped.  None when nothing is left at all.

    Both walks keep their own stacks: the groups may be nested
    :data:`~quorlin.formats.xml.readingorder.MAX_DEPTH` deep.
    """
    rank = {str(rid): i for i, rid in enumerate(reading_order)}
    claimed: set[str] = set()
    # each unordered group met, parents first, with what is kept of its members
    kept: dict[Span, list[_Kept]] = {group: []}
    # walked in document order, so that a region named twice is claimed where it is named first
    stack: list[tuple[Span, list[Span], int]] = [(group, _members(group), 0)]
    while stack:
        current, members, at = stack.pop()
        while at < len(members):
            member = members[at]
            at += 1
            if member.local in REFS:
                region = member.get("regionRef", "")
                if region in rank and region not in claimed:
                    claimed.add(region)
                    kept[current].append(member)
            elif member.local in ORDERED:
                refs = [r for r in dict.fromkeys(_refs(member)) if r in rank and r not in claimed]
                if refs:
                    claimed.update(refs)
                    kept[current].append((member, sorted(refs, key=rank.__getitem__)))
            else:  # an unordered group: its members are walked in its place
                kept[member] = []
                kept[current].append(member)
                stack.append((current, members, at))
                stack.append((member, _members(member), 0))
                break
    # children before parents: a group is dropped when nothing is kept in it
    for unordered in reversed(kept):
        kept[unordered] = [m for m in kept[unordered]
                           if isinstance(m, tuple) or m.local in REFS or kept[m]]
    rest = [str(rid) for rid in reading_order if str(rid) not in claimed]
    if rest:
        kept[group].append((None, rest))
    if not kept[group]:
        return None

    def lines(p: str, u: str) -> list[str]:
        out = [f"<{p}ReadingOrder>"]
        # a member to write, with its depth, or the end tag of a group written
        todo: list[tuple[_Kept, int] | str] = [(group, 1)]
        while todo:
            item = todo.pop()
            if isinstance(item, str):
                out.append(item)
                continue
            member, depth = item
            indent = u * depth
            if isinstance(member, tuple):
                chain, refs = member
                name = chain.local if chain is not None else "OrderedGroup"
                attributes = _attributes(chain) if chain is not None else f' id="{group_id}"{caption}'
                out.append(f"{indent}<{p}{name}{attributes}>")
                if chain is not None:
                    out.extend(_metadata_lines(chain, ns, p, indent + u))
                out.extend(f'{indent}{u}<{p}RegionRefIndexed index="{index}" regionRef="{escape_attribute(ref)}"/>'
                           for index, ref in enumerate(refs))
                out.append(f"{indent}</{p}{name}>")
            elif member.local in REFS:
                out.append(f"{indent}<{p}{member.local}{_attributes(member)}/>")
            else:
                out.append(f"{indent}<{p}{member.local}{_attributes(member)}>")
                out.extend(_metadata_lines(member, ns, p, indent + u))
                todo.append(f"{indent}</{p}{member.local}>")
                todo.extend((m, depth + 1) for m in reversed(kept[member]))
        out.append(f"</{p}ReadingOrder>")
        return out

    return lines


def _metadata_lines(group: Span, ns: str, p: str, indent: str) -> list[str]:
    """The UserDefined and Labels of a group (in that order, the schema's), one line each.

    They are written as the groups are: each element of ``ns`` in them with
    its attributes (but those of other namespaces) under the prefix the
    writer uses, without text, which they have none of.  Copying their bytes
    could name a prefix declared on a group that is written anew.  What is
    in each goes on its line, not indented: a file may nest elements in them
    at any depth, and indenting each level would make the output grow with
    the square of the depth.  The walk keeps its own stack for that depth.
    """
    out: list[str] = []
    for name in ("UserDefined", "Labels"):
        for elem in group.kids():
            if elem.local != name or elem.uri != ns:
                continue
            pieces: list[str] = []
            # an element to write, or the end tag of one written
            todo: list[Span | str] = [elem]
            while todo:
                item = todo.pop()
                if isinstance(item, str):
                    pieces.append(item)
                    continue
                kids = [kid for kid in item.kids() if kid.uri == ns]
                pieces.append(f"<{p}{item.local}{_attributes(item)}{'>' if kids else '/>'}")
                if kids:
                    todo.append(f"</{p}{item.local}>")
                    todo.extend(reversed(kids))
            out.append(indent + "".join(pieces))
    return out
