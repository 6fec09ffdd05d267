"""One pass over an XML file: a tree of elements with their byte positions, read safely.

Every XML format (PAGE-XML, ALTO, hOCR as XHTML) is read by :func:`parse_xml`
and by nothing else: one expat pass that refuses what could make reading a
file expensive or reach outside it, and records each element's name,
attributes and byte span.  The readers find their regions in that tree, and
the writers change the file's bytes at those spans
(:mod:`quorlin.formats.xml.patch`), so that a file is parsed once to read it
and not again to write it.

What is refused, each with a one-line message naming the file:

* a DOCTYPE, in PAGE-XML and ALTO (their schemas have none);
* in XHTML (hOCR) a DOCTYPE may name its DTD, which is never read, but every
  declaration of an internal subset (``<!ENTITY>``, ``<!ATTLIST>``,
  ``<!ELEMENT>``, ``<!NOTATION>``) is refused: an entity may expand to
  gigabytes, and an attribute default would change what is read;
* an entity reference that no declaration defines (the XML predefined ones
  and character references are read as XML reads them).
"""

from __future__ import annotations

import codecs
import re
import xml.parsers.expat
from collections.abc import Callable, Collection
from dataclasses import dataclass
from typing import overload

from ...errors import PageError
from ..values import shown_name, shown_text

__all__ = ["Span", "XmlDocument", "XmlSyntaxError", "parse_xml", "start_tag_end"]

# Between a namespace, a local name and a prefix in expat's names.  Expat
# refuses a namespace that contains the separator, and XML 1.0 cannot hold
# U+0001 at all, not even as a character reference, so no namespace has it.
_SEPARATOR = "\x01"


@dataclass(eq=False, slots=True)
class Span:
    """One element of the raw document: its name, attributes and where its bytes are.

    ``start`` is the offset of its "<", ``end`` the offset just past its end
    tag (or past "/>"), ``tag_end`` the offset just past its start tag.
    ``attrs`` maps attribute names ("ID", or "{uri}local" for namespaced
    ones) to their values; ``prefix`` is the namespace prefix of its name
    ("pc" in ``<pc:Page>``, "" without one).  ``text`` is its text content
    (its descendants' included) for the elements the parse was asked to
    collect it for, else None.
    """

    uri: str
    local: str
    start: int
    tag_end: int = -1
    end: int = -1
    attrs: dict[str, str] | None = None
    children: list[Span] | None = None
    parent: Span | None = None
    prefix: str = ""
    text: str | None = None

    def kids(self) -> list[Span]:
        return self.children or []

    @overload
    def get(self, name: str) -> str | None: ...

    @overload
    def get(self, name: str, default: str) -> str: ...

    def get(self, name: str, default: str | None = None) -> str | None:
        return (self.attrs or {}).get(name, default)

    def iter(self) -> list[Span]:
        """This element and all below it, in document order (no recursion)."""
        out: list[Span] = []
        stack = [self]
        while stack:
            node = stack.pop()
            out.append(node)
            stack.extend(reversed(node.kids()))
        return out

    def child(self, local: str, uri: str | None = None) -> Span | None:
        """The first child element of this local name (and namespace, when given)."""
        for kid in self.kids():
            if kid.local == local and (uri is None or kid.uri == uri):
                return kid
        return None


@dataclass(eq=False, slots=True)
class XmlDocument:
    """A file's bytes with the tree of its elements, as one parse gave them."""

    data: bytes
    root: Span
    #: the encoding the XML declaration names, or None without one
    encoding: str | None = None
    #: the first characters of the document's text, when the parse was asked for them
    text_sample: str = ""


class XmlSyntaxError(PageError):
    """The file is not well-formed XML (an hOCR reader may read it as HTML instead)."""


# A start tag's rest: runs of anything but quotes and '>', and quoted values
# (which may hold '>'), up to its '>'.  Possessive, so it never backtracks:
# one pass in C over the tag, however many attributes it has.
_START_TAG_REST = re.compile(rb"""(?:[^"'>]++|"[^"]*+"|'[^']*+')*+>""")


def start_tag_end(data: bytes, start: int) -> int:
    """Index just past the '>' of the start tag at ``start``, skipping quoted
    values; the end of ``data`` when the tag does not close."""
    found = _START_TAG_REST.match(data, start + 1)
    return len(data) if found is None else found.end()


def _element_end(data: bytes, span: Span, pos: int) -> None:
    """Set the start tag's end and the element's end of ``span``, whose end expat reported at ``pos``.

    Expat reports the end of an element at its end tag, or, for an empty
    element tag (``<b/>``), just past it, where the next tag may well be an
    end tag, the parent's: so the start tag tells which it is.  (The bytes
    between '/' and '>' are NULs in UTF-16 and UTF-32.)
    """
    tag_end = start_tag_end(data, span.start)
    span.tag_end = tag_end
    if data[span.start:tag_end - 1].rstrip(b"\x00").endswith(b"/"):
        span.end = tag_end
    else:
        span.end = data.index(b">", pos) + 1


# Possessive after "encoding": a declaration that never closes its value is
# read once (it is read on the error path only, and only in the file's head).
_XML_DECLARED_ENCODING = re.compile(r"""<\?xml[^>]*?\bencoding\s*+=\s*+(?:"([^"]*+)"|'([^']*+)')""")
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


class _Refused(Exception):
    """Raised inside a handler to stop the parse; carries the message."""

    def __init__(self, problem: str) -> None:
        super().__init__(problem)
        self.problem = problem


def _refuse_declaration(kind: str) -> Callable[..., None]:
    """A handler that stops the parse at a declaration of this kind, naming it
    (an attribute list by its element and attribute)."""

    def handler(name: str, *rest: object) -> None:
        what = shown_name(name)
        if kind == "ATTLIST" and rest and isinstance(rest[0], str):
            what += f" {shown_name(rest[0])}"
        raise _Refused(f"the DOCTYPE declares <!{kind} {what}>: declarations are refused (entity "
                       "expansion and attribute defaults are not allowed; no DTD is read)")

    return handler


def parse_xml(
    source: str,
    data: bytes,
    *,
    html_doctype: bool = False,
    text_of: Collection[str] = (),
    text_sample: int = 0,
    sample_in: Collection[str] = (),
) -> XmlDocument:
    """Parse ``data`` in one pass into its element tree with byte spans.

    ``html_doctype`` allows a DOCTYPE that only names its DTD (XHTML), which
    is never read; otherwise a DOCTYPE is refused.  ``text_of`` names the
    local names of the elements whose text content is wanted, ``text_sample``
    how many characters of the document's text are kept (in document order,
    blanks included), taken only inside the elements ``sample_in`` names
    when it names any.  Every problem
    is a :class:`~quorlin.errors.PageError` naming ``source``; a file that is
    not well-formed raises its subclass :class:`XmlSyntaxError`.
    """
    if data.startswith((codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE)):
        # expat would take the mark for UTF-16's and stop at its first NUL
        raise PageError(source, "the file is UTF-32, which the XML parser cannot read; convert it to UTF-8")
    parser = xml.parsers.expat.ParserCreate(namespace_separator=_SEPARATOR)
    parser.namespace_prefixes = True
    parser.buffer_text = True
    # No parameter entity, no external subset: nothing outside the file is read.
    parser.SetParamEntityParsing(xml.parsers.expat.XML_PARAM_ENTITY_PARSING_NEVER)
    stack: list[Span] = []
    roots: list[Span] = []
    collecting: list[tuple[Span, list[str]]] = []
    wanted = frozenset(text_of)
    declared: list[str | None] = [None]

    def on_decl(version: str | None, encoding: str | None, standalone: int) -> None:
        declared[0] = encoding

    def on_doctype(name: str, system_id: str | None, public_id: str | None, has_internal_subset: int) -> None:
        if not html_doctype:
            raise _Refused("XML with a DOCTYPE is refused (entity expansion and external entities are not allowed)")

    def on_start(name: str, attrs: dict[str, str]) -> None:
        parts = name.split(_SEPARATOR)
        if len(parts) == 1:
            uri, local, prefix = "", parts[0], ""
        else:
            uri, local = parts[0], parts[1]
            prefix = parts[2] if len(parts) == 3 else ""
        named = attrs
        for key in attrs:
            if _SEPARATOR in key:  # a namespaced attribute: renamed "{uri}local"
                named = {}
                for k, v in attrs.items():
                    a_uri, sep, a_local = k.partition(_SEPARATOR)
                    if sep:
                        a_local = a_local.partition(_SEPARATOR)[0]
                        named[f"{{{a_uri}}}{a_local}"] = v
                    else:
                        named[k] = v
                break
        parent = stack[-1] if stack else None
        span = Span(uri, local, parser.CurrentByteIndex, -1, -1, named, None, parent, prefix)
        if parent is None:
            roots.append(span)
        elif parent.children is None:
            parent.children = [span]
        else:
            parent.children.append(span)
        stack.append(span)
        if local in sampled_in:
            inside[0] += 1
        if local in wanted:
            collecting.append((span, []))

    def on_end(name: str) -> None:
        span = stack.pop()
        _element_end(data, span, parser.CurrentByteIndex)
        if span.local in sampled_in:
            inside[0] -= 1
        if collecting and collecting[-1][0] is span:
            _, pieces = collecting.pop()
            span.text = "".join(pieces)

    sample: list[str] = []
    sampled = [0]
    sampled_in = frozenset(sample_in)
    inside = [0 if sampled_in else 1]  # how many open elements the sample is taken in

    def on_text(text: str) -> None:
        for _, pieces in collecting:
            pieces.append(text)
        if sampled[0] < text_sample and inside[0]:
            sample.append(text[:text_sample - sampled[0]])
            sampled[0] += len(sample[-1])

    def on_skipped(name: str, is_parameter_entity: int) -> None:
        # An entity the external DTD would define, which is never read.
        raise XmlSyntaxError(source, f"not well-formed XML (undefined entity &{name};: line "
                                     f"{parser.CurrentLineNumber}, column {parser.CurrentColumnNumber})")

    parser.XmlDeclHandler = on_decl
    parser.StartDoctypeDeclHandler = on_doctype
    parser.ElementDeclHandler = _refuse_declaration("ELEMENT")
    parser.AttlistDeclHandler = _refuse_declaration("ATTLIST")
    parser.EntityDeclHandler = _refuse_declaration("ENTITY")
    parser.UnparsedEntityDeclHandler = _refuse_declaration("ENTITY")
    parser.NotationDeclHandler = _refuse_declaration("NOTATION")
    parser.SkippedEntityHandler = on_skipped
    parser.StartElementHandler = on_start
    parser.EndElementHandler = on_end
    if wanted or text_sample:
        parser.CharacterDataHandler = on_text
    try:
        parser.Parse(data, True)
    except _Refused as exc:
        raise PageError(source, exc.problem) from None
    except xml.parsers.expat.ExpatError as exc:
        raise XmlSyntaxError(source, f"not well-formed XML ({exc})") from None
    except LookupError:
        # expat asks Python for the codec the XML declaration names
        raise PageError(source, f"the XML declaration names an unknown encoding {_declared_encoding(data)}") from None
    except ValueError as exc:
        if "multi-byte" in str(exc):  # expat reads only single-byte encodings besides its own
            raise PageError(source, f"the XML declaration names the encoding {_declared_encoding(data)}, which the "
                                    "XML parser cannot read; convert the file to UTF-8") from None
        raise PageError(source, f"unreadable XML ({exc})") from None
    if not roots:  # pragma: no cover - expat refuses a document without an element
        raise XmlSyntaxError(source, "not well-formed XML (no element found)")
    return XmlDocument(data, roots[0], declared[0], "".join(sample))
