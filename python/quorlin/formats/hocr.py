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

from _quorlin_core import SemanticLabel
from selectolax.lexbor import LexborHTMLParser, LexborNode

from .. import direction
from ..errors import PageError
from ..page import ROLE_NOISE, ROLE_SEPARATOR, Box, Decided, Page, Region, RegionId
from .values import SHOWN_CHARACTERS, check_coordinate, parse_float, shown_name, shown_text
from .xml.document import Span, XmlDocument, XmlSyntaxError, parse_xml
from .xml.patch import XmlPatchError, escape_attribute, grouped_orders, patch

__all__ = ["HocrLayout", "page_from_hocr", "hocr_document", "html_to_xml", "MAX_HTML_DEPTH", "html_depth",
           "title_properties", "title_image"]

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

# hOCR titles quote strings in double quotes, a backslash escaping the next
# character.  _PAIRED takes a title up to its first quote that nothing closes
# (every quote after it is an ordinary character too: the backslashes that
# escape a quote escape it whichever quote opened); _CLOSED is one closed
# string.  Both are possessive, so no input makes them backtrack, and each
# is used with a plain replacement, so its work is done in C: the time is
# linear in the title's length whatever it holds.
_PAIRED = re.compile(r'(?:[^"]++|"(?:[^"\\]|\\.)*+")*+')
_CLOSED = re.compile(r'"(?:[^"\\]|\\.)*+"')
# The image property of a page's title, once semicolons inside quoted strings
# are NULs and the quotes after an open one are \x01.
_IMAGE = re.compile(r'(?:^|;)\s*(?:image|file)\s+("(?:[^"\\]|\\.)*+"|[^;]+)')
# The character set an HTML file's head declares.
_CHARSET = re.compile(r"""(?:charset|encoding)\s*+=\s*+["']?+([A-Za-z0-9._-]++)""")
#: The page image's name is looked for in this much of a page's title: a
#: title of more than a few hundred characters names nothing more, and the
#: look costs a step in Python for each quoted string.
IMAGE_TITLE = 65536


# The classes of text lines, whose shapes tell vertical text.
_LINE_CLASSES = frozenset({"ocr_line", "ocrx_line", "ocr_textfloat", "ocr_caption", "ocr_header", "ocr_footer"})


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
# Elements whose start tag closes an open element of the same name (HTML's optional end tags).
_SIBLINGS = frozenset({"p", "li", "dt", "dd", "tr", "td", "th", "option", "optgroup"})
_XML_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9._:-]*\Z")
_TAG = re.compile(r"<(/?)([A-Za-z][A-Za-z0-9:_-]*)")

#: HTML nested deeper than this is refused.  The HTML5 tree builder looks
#: down its stack of open elements for many start tags, so its time grows
#: with the depth times the number of tags: a hostile file nested tens of
#: thousands deep would take minutes.  hOCR is nested a dozen deep.
MAX_HTML_DEPTH = 512


def html_depth(text: str) -> int:
    """How deep the elements of an HTML text nest, at most (a linear scan of its tags).

    Start and end tags are matched as HTML matches them in the common cases
    (an end tag closes the elements opened inside the one it names, a <p>,
    <li>, <td>, ... closes an open element of its name, void elements hold
    nothing); anything else can only make the count higher, never lower.
    """
    stack: list[str] = []
    open_count: dict[str, int] = {}
    deepest = 0

    def close(name: str) -> None:
        while stack:
            top = stack.pop()
            open_count[top] -= 1
            if top == name:
                return

    for m in _TAG.finditer(text):
        name = m.group(2).lower()
        if m.group(1):
            if open_count.get(name):
                close(name)
            continue
        if name in _VOID:
            continue
        if name in _SIBLINGS and open_count.get(name):
            close(name)
        stack.append(name)
        open_count[name] = open_count.get(name, 0) + 1
        if len(stack) > deepest:
            deepest = len(stack)
    return deepest


def _escape_text(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _comment(text: str) -> str:
    """A comment that XML accepts: no "--" inside, no "-" at the end."""
    text = text.replace("--", "- -")
    return f"<!--{text}{' ' if text.endswith('-') else ''}-->"


def _comment_text(node: LexborNode) -> str:
    """A comment's text as the file has it (``comment_content`` strips its blanks)."""
    written = node.html or ""
    if written.startswith("<!--") and written.endswith("-->"):
        return written[4:-3]
    return node.comment_content or ""


def _serialise(source: str, node: LexborNode, out: list[str]) -> None:
    """An element of the HTML tree and everything in it, as XML text (no recursion)."""
    pending: list[LexborNode | str] = [node]
    while pending:
        item = pending.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        tag = item.tag
        if tag == "-text":
            out.append(_escape_text(item.text(deep=False)))
            continue
        if tag == "-comment":
            out.append(_comment(_comment_text(item)))
            continue
        if tag is None or tag.startswith("-"):
            continue  # nothing else of an HTML tree is written
        if not _XML_NAME.match(tag):
            raise PageError(source, f"the element <{shown_text(tag)}> cannot be written as XML")
        attrs = []
        for name, value in item.attributes.items():
            if not _XML_NAME.match(name):
                raise PageError(
                    source, f"<{shown_name(tag)}> has the attribute {shown_text(name)}, which XML cannot hold")
            # an attribute without a value (<input disabled>) takes its name as its value
            attrs.append(f' {name}="{escape_attribute(value if value is not None else name)}"')
        children = []
        child = item.child
        while child is not None:
            children.append(child)
            child = child.next
        if tag in _VOID and not children:
            out.append(f"<{tag}{''.join(attrs)}/>")
            continue
        out.append(f"<{tag}{''.join(attrs)}>")
        pending.append(f"</{tag}>")
        pending.extend(reversed(children))


# characters XML 1.0 does not allow, even as references
_NOT_XML_CHARS = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


# the codecs (by their names) that read a text's escapes, not its characters
_ESCAPE_CODECS = frozenset({"unicode-escape", "raw-unicode-escape", "punycode"})


def _decode_html(source: str, data: bytes) -> tuple[str, str]:
    """(text, encoding) of an HTML file: a BOM, else a declared charset, else UTF-8."""
    for bom, name in ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16")):
        if data.startswith(bom):
            encoding = name
            break
    else:
        head = data[:4096].decode("ascii", "replace")
        m = _CHARSET.search(head)
        encoding = m.group(1).lower() if m else "utf-8"
        try:
            # Python also names transforms of bytes (base64, uu, zlib) and of
            # text (rot13) codecs, none of which decodes a file into text,
            # and codecs that read escapes (a backslash and 'n' becomes a
            # line break) or punycode, which would change the words.
            codec = codecs.lookup(encoding)
            text_encoding = codec._is_text_encoding and codec.name not in _ESCAPE_CODECS
        except LookupError:
            text_encoding = False
        if not text_encoding:
            raise PageError(source, f"unknown character encoding {shown_text(encoding)}")
        try:  # html_to_xml writes the XML in it, every character it cannot hold as a reference
            "\u00e9".encode(encoding, "xmlcharrefreplace")
        except UnicodeError:  # 'idna', 'undefined'
            raise PageError(source,
                            f"the character encoding {shown_text(encoding)} cannot hold an XML page") from None
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as exc:
        raise PageError(source, f"not {encoding} text (byte {exc.start})") from None
    except UnicodeError:  # a text codec that fails otherwise than on a byte
        raise PageError(source, f"not {encoding} text") from None
    return text.lstrip("\ufeff"), ("utf-8" if "16" in encoding or "32" in encoding else encoding)


def _doctype_declaration(text: str) -> str | None:
    """The first declaration of the internal subset of the HTML's DOCTYPE
    (``<!ENTITY x>``, by its kind and name), or None without one."""
    at = text[:65536].lower().find("<!doctype")
    if at < 0:
        return None
    end = text.find(">", at)
    subset = text.find("[", at, end if end >= 0 else len(text))
    if subset < 0:
        return None
    declaration = text.find("<!", subset)
    if declaration < 0:
        return None
    words = text[declaration + 2:declaration + 2 + 3 * SHOWN_CHARACTERS].replace("%", " ").replace(">", " ").split()
    # the kind and the name, and for an attribute list its element and attribute
    named = words[:3] if words[:1] == ["ATTLIST"] else words[:2]
    return f"<!{' '.join(shown_name(word) for word in named)}>"


def _ends_the_document(text: str) -> bool:
    """Whether the HTML ends with ``</html>`` (after blanks and comments): an
    hOCR file that does not was most likely cut short."""
    def before_blanks(end: int) -> int:
        while end > 0 and text[end - 1].isspace():
            end -= 1
        return end

    end = before_blanks(len(text))
    while text.endswith("-->", 0, end):
        start = text.rfind("<!--", 0, end)
        if start < 0:
            break
        end = before_blanks(start)
    tail = "".join(text[max(0, end - 16):end].lower().split())
    return tail.endswith("</html>")


def html_to_xml(data: bytes, source: str = "<html>") -> bytes:
    """Well-formed XML for an HTML document, keeping every element, attribute, text and comment.

    Parsed with an HTML5 parser (lexbor, through selectolax), which closes
    elements as HTML's rules imply, adds the elements HTML implies (<head>,
    <body>, <tbody>), reads no DTD and expands only HTML's own character
    references; a DOCTYPE with declarations is refused, and so is HTML
    nested deeper than :data:`MAX_HTML_DEPTH`.  A DOCTYPE is written as
    ``<!DOCTYPE html>``.  The result is encoded as the input was (UTF-8 for
    UTF-16).
    """
    text, encoding = _decode_html(source, data)
    declared = _doctype_declaration(text)
    if declared is not None:
        raise PageError(source, f"the DOCTYPE declares {declared}: declarations are refused (entity expansion and "
                                "attribute defaults are not allowed; no DTD is read)")
    if html_depth(text) > MAX_HTML_DEPTH:
        raise PageError(source, f"HTML nested more than {MAX_HTML_DEPTH} elements deep is refused")
    if not _ends_the_document(text):
        log.warning("%s: the HTML ends before </html> (cut short?); it is read as HTML completes it", source)
    document = LexborHTMLParser(text).root
    if document is None:
        raise PageError(source, "unreadable HTML (no element)")
    top = document.parent if document.parent is not None else document
    out: list[str] = [f'<?xml version="1.0" encoding="{encoding.upper() if encoding == "utf-8" else encoding}"?>\n']
    before_root = True
    child = top.child
    while child is not None:
        if child.tag == "-doctype":
            out.append("<!DOCTYPE html>\n")
        elif child.tag == "-comment":
            comment = _comment(_comment_text(child))
            out.append(comment + "\n" if before_root else "\n" + comment)
        elif child.tag is not None and not child.tag.startswith("-"):
            _serialise(source, child, out)
            before_root = False
        child = child.next
    out.append("\n")
    return _NOT_XML_CHARS.sub("\ufffd", "".join(out)).encode(encoding, "xmlcharrefreplace")


# --------------------------------------------------------------------------
# reading
# --------------------------------------------------------------------------


@dataclass(eq=False)
class HocrLayout:
    """What the reader found in an hOCR file and the writer uses."""

    document: XmlDocument
    page: Span
    #: region spans in document order, with their ids and classes
    regions: list[tuple[Span, RegionId, str]] = field(default_factory=list)
    others: list[tuple[Span, RegionId, str]] = field(default_factory=list)  # separators and noise


def _split_paired(title: str) -> tuple[str, str]:
    """The title up to its first quote that nothing closes, and the rest."""
    paired = _PAIRED.match(title)
    end = paired.end() if paired is not None else 0
    return title[:end], title[end:]


def title_properties(title: str) -> list[str]:
    """The properties of an hOCR ``title``: the text between the semicolons
    that are not inside a double-quoted string, each stripped of blanks and
    with every quoted string in it made ``""`` (the values the package reads,
    numbers and names, hold none).  A quote that nothing closes is an
    ordinary character."""
    head, rest = _split_paired(title)
    return [prop.strip() for prop in (_CLOSED.sub('""', head) + rest).split(";")]


def title_image(title: str) -> str | None:
    """The page image a page's title names: the value of its first ``image``
    or ``file`` property (a quoted name may hold semicolons), or None."""
    head, rest = _split_paired(title[:IMAGE_TITLE])
    protected = _CLOSED.sub(lambda m: m.group().replace(";", "\0"), head) + rest.replace('"', "\x01")
    found = _IMAGE.search(protected)
    if found is None:
        return None
    return found.group(1).replace("\0", ";").replace("\x01", '"').strip().strip('"') or None


def _bbox_text(title: str) -> str | None:
    """The value of the bbox property of a title, or None without one."""
    for prop in title_properties(title):
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


def _parse(source: str, data: bytes) -> XmlDocument:
    """The document as well-formed XML with its element spans: the file itself when it is
    XML (XHTML), else the XML its HTML is turned into."""
    try:
        return parse_xml(source, data, html_doctype=True, text_sample=direction.TEXT_SAMPLE, sample_in=("body",))
    except XmlSyntaxError:
        pass
    return parse_xml(source, html_to_xml(data, source), html_doctype=True, text_sample=direction.TEXT_SAMPLE,
                     sample_in=("body",))


def _walk(source: str, document: XmlDocument) -> HocrLayout:
    root = document.root
    if root.local != "html":
        raise PageError(source, f"not an hOCR document (root element is <{shown_name(root.local)}>)")
    pages = [s for s in root.iter() if "ocr_page" in _classes(s)]
    if not pages:
        raise PageError(source, "no element of class ocr_page: not an hOCR document")
    if len(pages) > 1:
        raise PageError(source, f"hOCR file with {len(pages)} pages (ocr_page); quorlin orders one page per file")
    layout = HocrLayout(document, pages[0])
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
    document = _parse(source, data)
    layout = _walk(source, document)
    xml_data = document.data

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
    image_name = title_image(layout.page.get("title") or "")
    return Page(source, "hocr", width, height, regions, skipped, None, xml_data,
                image_filename=image_name or None, box=explicit,
                version="XHTML" if xml_data is data else "HTML", parsed=layout,
                direction=_direction(source, document))


def _direction(source: str, document: XmlDocument) -> Decided:
    """The direction of an hOCR page: "rtl" when most elements that give a
    ``dir`` say so; else what the ``lang`` most elements give says (the
    ``lang`` of <html> is left aside: OCR engines write their template's
    "en" there), else what the text shows.  ``dir="ltr"`` says only that the
    text is not right to left: vertical CJK text is "ltr" in that sense too,
    so it decides only against "rtl"."""
    body = document.root.iter()[1:]
    stated = direction.most_common(s.get("dir") for s in body)
    language = direction.most_common(s.get("lang") for s in body)
    scripts = [] if not language else [(direction.from_language(language),
                                        f"lang=\"{shown_name(language)}\" of most elements")]

    def lines() -> list[Box]:
        boxes = []
        for span in body:
            if _hocr_class(span) in _LINE_CLASSES:
                try:
                    box = _bbox(source, "ocr_line", span)
                except PageError:
                    continue  # a line's box only hints at the direction
                if box is not None:
                    boxes.append(box)
        return boxes

    reason = f"dir=\"{shown_name(stated or '')}\" of most elements"
    decided = direction.decide([Decided("rtl", reason) if stated == "rtl" else None], scripts,
                               document.text_sample, lines)
    if stated == "ltr" and decided.direction == "rtl":
        return Decided("ltr", reason)
    return decided


def hocr_document(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """The page's hOCR, as well-formed XML, with its regions in ``reading_order``."""
    layout = page.parsed
    if not isinstance(layout, HocrLayout) or page.format != "hocr":
        raise ValueError("page was not read from hOCR")
    by_rid = {rid: span for span, rid, _ in layout.regions}
    for rid in reading_order:
        if rid not in by_rid:
            raise ValueError(f"reading order refers to unknown region {rid!r}")
    ranks = {by_rid[rid]: i for i, rid in enumerate(reading_order)}
    try:
        return patch(layout.document, orders=grouped_orders(layout.page, ranks))
    except XmlPatchError as exc:
        raise PageError(page.source, str(exc)) from None
