"""hOCR pages: read, and written back with their areas reordered.

The regions of the page are its top-most layout elements: the ``ocr_carea``
elements, or, in a file (or a part of one) without them, the ``ocr_par``
elements, or else the ``ocr_line`` elements (and the other line classes),
together with the floats (``ocr_photo``, ``ocr_image``, ``ocr_table``, ...).
``ocr_separator`` elements are separators and ``ocr_noise`` elements noise:
neither is ordered.  Each region's box is the ``bbox`` of its ``title``; a
region without one gets the box of what it holds.  A page whose bbox is
missing or ``0 0 0 0`` gets its bounds from its content.

Files that are well-formed XML (XHTML) are read with the safe XML parser
and written back byte for byte except for the order of the regions.  Files
that are HTML but not XML (unclosed ``<meta>``, a bare ``&``) are read with
Python's ``html.parser`` and first turned into well-formed XML: every
element, attribute and text is kept, attribute values are written in double
quotes, void elements as ``<br/>``, and end tags that HTML leaves out are
added.  The written file is that XML with the regions reordered.

The writer moves each region, together with whatever element holds it
inside the page (a heading around a line, a paragraph around lines), to its
place in the new order; text, line breaks and everything that holds no
region keep their places.
"""

from __future__ import annotations

import codecs
import logging
import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from html.parser import HTMLParser
from xml.etree.ElementTree import ParseError

import defusedxml.ElementTree as SafeET
from defusedxml import DefusedXmlException
from _quorlin_core import SemanticLabel

from ..errors import PageError
from ..page import ROLE_NOISE, ROLE_SEPARATOR, Box, Page, Region, RegionId
from .values import check_coordinate, parse_float, shown_name, shown_text
from .pagexml import parse_safe_xml
from .xml.patch import Span, XmlPatchError, escape_attribute, grouped_orders, rewrite, scan_spans

__all__ = ["page_from_hocr", "hocr_document", "html_to_xml"]

log = logging.getLogger("quorlin")

#: classes of the layout elements that become regions, top-most first found
AREA_CLASSES = frozenset({"ocr_carea", "ocrx_block", "ocr_column"})
PAR_CLASSES = frozenset({"ocr_par"})
LINE_CLASSES = frozenset({"ocr_line", "ocrx_line", "ocr_header", "ocr_footer", "ocr_pageno", "ocr_caption",
                          "ocr_textfloat"})
VISION_CLASSES = frozenset({"ocr_float", "ocr_textimage", "ocr_image", "ocr_photo", "ocr_linedrawing",
                            "ocr_table", "ocr_math", "ocr_chem"})
REGION_CLASSES = AREA_CLASSES | PAR_CLASSES | LINE_CLASSES | VISION_CLASSES
SEPARATOR_CLASSES = frozenset({"ocr_separator"})
NOISE_CLASSES = frozenset({"ocr_noise"})

_QUOTED = re.compile(r'"(?:[^"\\]|\\.)*"')
_IMAGE = re.compile(r'(?:^|;)\s*(?:image|file)\s+("(?:[^"\\]|\\.)*"|[^;]+)')


def _classes(span: Span) -> list[str]:
    return [c for c in (span.get("class") or "").split() if c.startswith(("ocr_", "ocrx_"))]


def _hocr_class(span: Span) -> str:
    classes = _classes(span)
    return classes[0] if classes else ""


# --------------------------------------------------------------------------
# HTML that is not XML -> well-formed XML
# --------------------------------------------------------------------------

_VOID = frozenset({"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "param",
                   "source", "track", "wbr", "basefont", "frame", "isindex", "keygen"})
# start tags that close an open <p> (HTML's optional end tag)
_CLOSES_P = frozenset({"address", "article", "aside", "blockquote", "details", "dialog", "div", "dl",
                       "fieldset", "figcaption", "figure", "footer", "form", "h1", "h2", "h3", "h4", "h5", "h6",
                       "header", "hgroup", "hr", "main", "menu", "nav", "ol", "p", "pre", "section", "table",
                       "ul"})
# a start tag of the key closes an open element of the values, up to a boundary
_CLOSES_SIBLING = {
    "li": ({"li"}, {"ul", "ol"}),
    "dt": ({"dt", "dd"}, {"dl"}),
    "dd": ({"dt", "dd"}, {"dl"}),
    "tr": ({"tr", "td", "th"}, {"table", "thead", "tbody", "tfoot"}),
    "td": ({"td", "th"}, {"tr", "table"}),
    "th": ({"td", "th"}, {"tr", "table"}),
    "option": ({"option"}, {"select", "datalist"}),
    "body": ({"head"}, {"html"}),
}
# The rules above look down the stack of open elements for the innermost
# element of some names (a block for the <p> rule; the elements a start tag
# closes or stops at for the others).  The builder keeps, for each rule, the
# stack positions of the open elements it looks for, so that no tag costs a
# walk down the stack: a deeply nested file is read in linear time.
_P_RULE = "<p>"
_WATCHED: dict[str, frozenset[str]] = {
    _P_RULE: _CLOSES_P, **{tag: frozenset(c | b) for tag, (c, b) in _CLOSES_SIBLING.items()}}
_WATCHERS: dict[str, tuple[str, ...]] = {
    name: tuple(rule for rule, names in _WATCHED.items() if name in names)
    for name in frozenset().union(*_WATCHED.values())}
_XML_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9._:-]*\Z")
_DOCTYPE = re.compile(r'DOCTYPE\s+[A-Za-z][A-Za-z0-9]*(\s+(PUBLIC\s+"[^"]*"\s+"[^"]*"|PUBLIC\s+"[^"]*"|'
                      r'SYSTEM\s+"[^"]*"))?\s*\Z', re.I)


@dataclass
class _Node:
    tag: str
    attrs: list[tuple[str, str]]
    children: list[_Node | str] = field(default_factory=list)


class _TreeBuilder(HTMLParser):
    """Builds a tree from HTML, closing elements as HTML's rules imply."""

    def __init__(self, source: str) -> None:
        super().__init__(convert_charrefs=True)
        self.source = source
        self.top = _Node("", [])
        self.stack: list[_Node] = [self.top]
        self.doctype: str | None = None
        #: element name -> stack positions of the open elements of that name
        self.positions: dict[str, list[int]] = {}
        #: rule -> stack positions of the open elements it looks for (see _WATCHED)
        self.watched: dict[str, list[int]] = {rule: [] for rule in _WATCHED}

    def _push(self, node: _Node) -> None:
        position = len(self.stack)
        self.stack.append(node)
        self.positions.setdefault(node.tag, []).append(position)
        for rule in _WATCHERS.get(node.tag, ()):
            self.watched[rule].append(position)

    def _close_to(self, index: int) -> None:
        """Close the open element at stack position ``index`` and every one inside it."""
        for node in reversed(self.stack[index:]):
            self.positions[node.tag].pop()
            for rule in _WATCHERS.get(node.tag, ()):
                self.watched[rule].pop()
        del self.stack[index:]

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        blocks = self.watched[_P_RULE]
        if tag in _CLOSES_P and blocks and self.stack[blocks[-1]].tag == "p":
            # only when the <p> is the element the new one would go into (or holds only inline ones)
            self._close_to(blocks[-1])
        if tag in _CLOSES_SIBLING:
            closes, _ = _CLOSES_SIBLING[tag]
            found = self.watched[tag]
            # the innermost element that the tag closes, unless one that bounds it comes first
            if found and self.stack[found[-1]].tag in closes:
                self._close_to(found[-1])
        kept: list[tuple[str, str]] = []
        names: set[str] = set()
        for name, value in attrs:
            if name in names:
                continue  # a repeated attribute: HTML keeps the first
            if not _XML_NAME.match(name):
                raise PageError(
                    self.source, f"<{shown_name(tag)}> has the attribute {shown_text(name)}, which XML cannot hold")
            names.add(name)
            kept.append((name, value if value is not None else name))
        if not _XML_NAME.match(tag):
            raise PageError(self.source, f"the element <{shown_text(tag)}> cannot be written as XML")
        node = _Node(tag, kept)
        self.stack[-1].children.append(node)
        if tag not in _VOID:
            self._push(node)

    def handle_startendtag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.handle_starttag(tag, attrs)
        if tag not in _VOID and self.stack[-1].tag == tag:
            self._close_to(len(self.stack) - 1)

    def handle_endtag(self, tag: str) -> None:
        positions = self.positions.get(tag)
        if positions:
            self._close_to(positions[-1])
        # an end tag of no open element is ignored, as HTML does

    def handle_data(self, data: str) -> None:
        self.stack[-1].children.append(data)

    def handle_comment(self, data: str) -> None:
        self.stack[-1].children.append(_Comment(data))

    def handle_decl(self, decl: str) -> None:
        if decl.upper().startswith("DOCTYPE") and self.doctype is None:
            if not _DOCTYPE.match(decl):
                raise PageError(self.source, "DOCTYPE with declarations is refused (entity expansion and "
                                             "external entities are not allowed)")
            self.doctype = decl

    def unknown_decl(self, data: str) -> None:
        if data.upper().startswith("CDATA["):
            self.stack[-1].children.append(data[6:])


class _Comment(str):
    """A comment's text among a node's children."""


class _End(str):
    """An end tag still to be written."""


def _escape_text(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _comment(text: str) -> str:
    """A comment that XML accepts: no "--" inside, no "-" at the end."""
    text = text.replace("--", "- -")
    return f"<!--{text}{' ' if text.endswith('-') else ''}-->"


def _serialise(node: _Node, out: list[str]) -> None:
    stack: list[_Node | str] = [node]
    while stack:
        item = stack.pop()
        if isinstance(item, _End):
            out.append(f"</{item}>")
        elif isinstance(item, _Comment):
            out.append(_comment(item))
        elif isinstance(item, str):
            out.append(_escape_text(item))
        else:
            attrs = "".join(f' {name}="{escape_attribute(value)}"' for name, value in item.attrs)
            if item.tag in _VOID and not item.children:
                out.append(f"<{item.tag}{attrs}/>")
                continue
            out.append(f"<{item.tag}{attrs}>")
            stack.append(_End(item.tag))
            stack.extend(reversed(item.children))


# characters XML 1.0 does not allow, even as references
_NOT_XML_CHARS = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _decode_html(source: str, data: bytes) -> tuple[str, str]:
    """(text, encoding) of an HTML file: a BOM, else a declared charset, else UTF-8."""
    for bom, name in ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16")):
        if data.startswith(bom):
            encoding = name
            break
    else:
        head = data[:4096].decode("ascii", "replace")
        m = re.search(r"""(?:charset|encoding)\s*=\s*["']?([A-Za-z0-9._-]+)""", head)
        encoding = m.group(1).lower() if m else "utf-8"
        try:
            codecs.lookup(encoding)
        except LookupError:
            raise PageError(source, f"unknown character encoding {shown_text(encoding)}") from None
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as exc:
        raise PageError(source, f"not {encoding} text (byte {exc.start})") from None
    return text.lstrip("\ufeff"), ("utf-8" if "16" in encoding or "32" in encoding else encoding)


def html_to_xml(data: bytes, source: str = "<html>") -> bytes:
    """Well-formed XML for an HTML document, keeping every element, attribute and text.

    Parsed with Python's ``html.parser``, which reads no DTD and expands
    only HTML's own character references; a DOCTYPE with declarations is
    refused.  The result is encoded as the input was (UTF-8 for UTF-16).
    """
    text, encoding = _decode_html(source, data)
    builder = _TreeBuilder(source)
    try:
        builder.feed(text)
        builder.close()
    except (AssertionError, ValueError) as exc:  # html.parser's own complaints
        if isinstance(exc, PageError):
            raise
        raise PageError(source, f"unreadable HTML ({exc})") from None
    top = builder.top
    elements = [c for c in top.children if isinstance(c, _Node)]
    if len(elements) == 1:
        root = elements[0]
        before = [c for c in top.children[:top.children.index(root)] if isinstance(c, _Comment)]
        after = [c for c in top.children[top.children.index(root) + 1:] if isinstance(c, _Comment)]
        # text outside the root element goes inside it, at its end or start
        stray = [c for c in top.children if isinstance(c, str) and not isinstance(c, _Comment) and c.strip()]
        root.children.extend(stray)
    else:
        root = _Node("html", [], [c for c in top.children if not isinstance(c, _Comment)])
        before, after = [c for c in top.children if isinstance(c, _Comment)], []
    out: list[str] = [f'<?xml version="1.0" encoding="{encoding.upper() if encoding == "utf-8" else encoding}"?>\n']
    if builder.doctype is not None:
        out.append(f"<!{builder.doctype}>\n")
    out.extend(_comment(c) + "\n" for c in before)
    _serialise(root, out)
    out.extend("\n" + _comment(c) for c in after)
    out.append("\n")
    return _NOT_XML_CHARS.sub("\ufffd", "".join(out)).encode(encoding, "xmlcharrefreplace")


# --------------------------------------------------------------------------
# reading
# --------------------------------------------------------------------------


@dataclass
class _Layout:
    root: Span
    page: Span
    #: region spans in document order, with their ids and classes
    regions: list[tuple[Span, RegionId, str]] = field(default_factory=list)
    others: list[tuple[Span, RegionId, str]] = field(default_factory=list)  # separators and noise


def _bbox_text(title: str) -> str | None:
    """The value of the bbox property of a title, or None without one."""
    unquoted = _QUOTED.sub('""', title)
    for prop in unquoted.split(";"):
        prop = prop.strip()
        if prop[:4] == "bbox" and (len(prop) == 4 or prop[4].isspace()):
            # some producers separate properties with a comma ("bbox 1 2 3 4, x_confs ...")
            return prop[4:].split(",")[0].strip()
    return None


def _bbox(source: str, what: str, span: Span) -> Box | None:
    text = _bbox_text(span.get("title") or "")
    if text is None:
        return None
    tokens = text.split()
    try:
        values = [parse_float(t) for t in tokens]
    except ValueError:
        values = []
    if len(values) != 4:
        raise PageError(source, f"{what}: bbox {shown_text(text)} does not parse (expected four numbers x0 y0 x1 y1)")
    x0, y0, x1, y1 = (check_coordinate(source, f"{what}: bbox", v, t) for v, t in zip(values, tokens))
    return (x0, y0, x1, y1)


def _parse(source: str, data: bytes) -> tuple[bytes, Span]:
    """The document as well-formed XML bytes, and its element spans."""
    try:
        SafeET.fromstring(data, forbid_dtd=False)
    except ParseError:
        data = html_to_xml(data, source)
    except (DefusedXmlException, ValueError, RecursionError, LookupError):
        pass  # refused below, with the message of the XML formats
    parse_safe_xml(source, data, forbid_dtd=False)  # safety checks, with their messages
    try:
        return data, scan_spans(data)
    except XmlPatchError as exc:
        raise PageError(source, str(exc)) from None


def _walk(source: str, data: bytes) -> _Layout:
    root = scan_spans(data)
    if root.local != "html":
        raise PageError(source, f"not an hOCR document (root element is <{shown_name(root.local)}>)")
    pages = [s for s in root.iter() if "ocr_page" in _classes(s)]
    if not pages:
        raise PageError(source, "no element of class ocr_page: not an hOCR document")
    if len(pages) > 1:
        raise PageError(source, f"hOCR file with {len(pages)} pages (ocr_page); quorlin orders one page per file")
    layout = _Layout(root, pages[0])
    taken = {s.get("id") for s in root.iter() if s.get("id")}
    counters: dict[str, int] = {}
    named: set[RegionId] = set()  # the ids the file gives its regions
    stack = list(reversed(pages[0].kids()))
    while stack:
        span = stack.pop()
        cls = _hocr_class(span)
        found = cls in REGION_CLASSES or cls in SEPARATOR_CLASSES or cls in NOISE_CLASSES
        if not found:
            stack.extend(reversed(span.kids()))
            continue
        rid: RegionId | None = span.get("id")
        if not rid:
            counters[cls] = counters.get(cls, 0) + 1
            rid = f"{cls}_{counters[cls]}"
            while rid in taken:
                rid += "_"
            taken.add(rid)
        elif rid in named:
            raise PageError(source, f"two regions share the id {shown_text(str(rid))}")
        else:
            named.add(rid)
        (layout.regions if cls in REGION_CLASSES else layout.others).append((span, rid, cls))
    return layout


def page_from_hocr(data: bytes, source: str = "<hocr>") -> Page:
    """Read an hOCR page (XHTML or HTML) into a :class:`Page`; see the module doc."""
    xml_data, _ = _parse(source, data)
    layout = _walk(source, xml_data)

    def what(span: Span, rid: RegionId, cls: str) -> str:
        name = shown_name(cls)
        return f"{name} {shown_text(str(rid))}" if span.get("id") else f"{name} #{str(rid).rpartition('_')[2]}"

    def content_box(span: Span) -> Box | None:
        boxes = []
        for sub in span.iter()[1:]:
            if _bbox_text(sub.get("title") or "") is not None:
                box = _bbox(source, what(sub, sub.get("id") or "", _hocr_class(sub) or sub.local), sub)
                if box is not None and (box[2] > box[0] or box[3] > box[1]):
                    boxes.append(box)
        if not boxes:
            return None
        return (min(b[0] for b in boxes), min(b[1] for b in boxes), max(b[2] for b in boxes), max(b[3] for b in boxes))

    regions: list[Region] = []
    skipped: list[Region] = []
    for span, rid, cls in layout.regions + layout.others:
        name = what(span, rid, cls)
        box = _bbox(source, name, span) or content_box(span)
        if box is None:
            log.warning("%s: %s has no bbox and holds nothing with one; left out of the order", source, name)
            continue
        if cls in SEPARATOR_CLASSES or cls in NOISE_CLASSES:
            role = ROLE_SEPARATOR if cls in SEPARATOR_CLASSES else ROLE_NOISE
            skipped.append(Region(rid, box, SemanticLabel.Regular, cls, role))
        else:
            label = SemanticLabel.Vision if cls in VISION_CLASSES else SemanticLabel.Regular
            regions.append(Region(rid, box, label, cls))
    # regions were found in document order; skipped ones keep theirs too
    order_of = {id(span): i for i, span in enumerate(layout.page.iter())}
    position = {rid: order_of[id(span)] for span, rid, _ in layout.regions + layout.others}
    skipped.sort(key=lambda r: position[r.id])

    page_box = _bbox(source, "ocr_page", layout.page)
    width = height = None
    explicit: Box | None = None
    if page_box is not None and page_box[2] > page_box[0] and page_box[3] > page_box[1]:
        if page_box[0] == 0 and page_box[1] == 0:
            width, height = page_box[2], page_box[3]
        else:
            explicit = page_box
    else:
        explicit = content_box(layout.page)
    title = _QUOTED.sub(lambda m: m.group(0).replace(";", "\0"), layout.page.get("title") or "")
    image = _IMAGE.search(title)
    image_name = image.group(1).replace("\0", ";").strip().strip('"') if image else None
    return Page(source, "hocr", width, height, regions, skipped, None, xml_data,
                image_filename=image_name or None, box=explicit,
                version="XHTML" if xml_data is data else "HTML")


def hocr_document(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """The page's hOCR, as well-formed XML, with its regions in ``reading_order``."""
    data = page.document
    if not isinstance(data, bytes) or page.format != "hocr":
        raise ValueError("page was not read from hOCR")
    layout = _walk(page.source, data)
    by_rid = {rid: span for span, rid, _ in layout.regions}
    for rid in reading_order:
        if rid not in by_rid:
            raise ValueError(f"reading order refers to unknown region {rid!r}")
    ranks = {by_rid[rid]: i for i, rid in enumerate(reading_order)}
    try:
        return rewrite(data, layout.root, orders=grouped_orders(layout.page, ranks))
    except XmlPatchError as exc:
        raise PageError(page.source, str(exc)) from None
