"""Change an XML document in its raw bytes: one element, the order of elements, an attribute.

Writers use this to change one part of a file (the reading order of a
PAGE-XML page, the order of the blocks of an ALTO page or of the areas of
an hOCR page) while every other byte stays as it was: the declaration,
comments, attribute order and quoting, namespace prefixes, indentation and
line ends.  It works on the byte offsets of one expat pass over the
document and never serialises a parsed tree.

The document must already have been accepted by a safe parser (no DOCTYPE,
so no entity can expand): the pass here only records offsets.
"""

from __future__ import annotations

import codecs
import xml.parsers.expat
from collections.abc import Callable, Collection, Mapping
from dataclasses import dataclass

__all__ = ["XmlPatchError", "Span", "scan_spans", "rewrite", "grouped_orders", "set_child", "escape_attribute"]


class XmlPatchError(ValueError):
    """The document cannot be rewritten as asked; the message says why."""


# Between a namespace and a local name in expat's names.  Expat refuses a
# namespace that contains the separator, and the safe parser (ElementTree)
# accepts any, spaces included; XML 1.0 cannot hold U+0001 at all, not even
# as a character reference, so no namespace the safe parser let through has it.
_SEPARATOR = "\x01"


@dataclass
class _Layout:
    """Byte positions in the raw XML that the rewrite needs."""

    prefix: str = ""
    encoding: str | None = None
    parent_depth: int = -1
    parent_start: int = -1
    child_span: tuple[int, int] | None = None
    first_following: int = -1  # the first child of the parent that comes after the element


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


def _element_end(data: bytes, start: int, pos: int) -> tuple[int, int]:
    """(just past the start tag, just past the element) of the element whose
    start tag is at ``start`` and whose end expat reported at ``pos``.

    Expat reports the end of an element at its end tag, or, for an empty
    element tag (``<b/>``), just past it, where the next tag may well be an
    end tag, the parent's: so the start tag tells which it is.  (The bytes
    between '/' and '>' are NULs in UTF-16 and UTF-32.)
    """
    tag_end = _start_tag_end(data, start)
    if data[start:tag_end - 1].rstrip(b"\x00").endswith(b"/"):
        return tag_end, tag_end
    return tag_end, data.index(b">", pos) + 1


def _scan(data: bytes, namespace: str, parent: str | None, child: str, preceding: Collection[str]) -> _Layout:
    """Find <parent> under the root (None: the root), its first <child> and where a new <child> would go."""
    layout = _Layout()
    parser = xml.parsers.expat.ParserCreate(namespace_separator=_SEPARATOR)
    parser.namespace_prefixes = True
    stack: list[tuple[str, str, int]] = []

    def on_decl(version: str, encoding: str | None, standalone: int) -> None:
        layout.encoding = encoding

    def on_start(name: str, attrs: dict[str, str]) -> None:
        parts = name.split(_SEPARATOR)
        uri, local = (parts[0], parts[1]) if len(parts) >= 2 else ("", parts[0])
        pos = parser.CurrentByteIndex
        depth = len(stack)
        if layout.parent_depth < 0 and depth == (0 if parent is None else 1) and (
            parent is None or (uri == namespace and local == parent)
        ):
            layout.prefix = parts[2] + ":" if len(parts) == 3 else ""
            layout.parent_depth = depth
            layout.parent_start = pos
        elif depth == layout.parent_depth + 1 and layout.parent_depth >= 0 and stack[-1][2] == layout.parent_start:
            if local == child and uri == namespace and layout.child_span is None:
                layout.child_span = (pos, -1)
            elif layout.first_following < 0 and local not in preceding:
                layout.first_following = pos
        stack.append((uri, local, pos))

    def on_end(name: str) -> None:
        uri, local, start = stack.pop()
        _, end = _element_end(data, start, parser.CurrentByteIndex)
        if layout.child_span is not None and layout.child_span[1] < 0 and layout.child_span[0] == start:
            layout.child_span = (start, end)

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


def escape_attribute(value: str) -> str:
    """``value`` escaped for an attribute in double quotes."""
    return (
        value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        .replace('"', "&quot;").replace("\n", "&#10;").replace("\t", "&#9;")
    )


def set_child(
    data: bytes,
    *,
    namespace: str,
    parent: str | None,
    child: str,
    preceding: Collection[str],
    build: Callable[[str, str], list[str]] | None,
    document: str = "XML",
) -> bytes:
    """Put a new <child> into the <parent> element of ``data``; every other byte stays.

    <parent> is the element of that local name in ``namespace`` right under
    the root (None: the root itself).  Its first <child> (same namespace) is replaced; without one,
    the new element goes before the first child of <parent> whose local name
    is not in ``preceding`` (the siblings a schema puts first).

    ``build(prefix, unit)`` writes the new element as lines of text: it gets
    the namespace prefix the document uses for <parent> ("pc:" or "") and
    one level of the document's indentation, and indents inner lines itself.
    The lines are joined with the document's line ends at the indentation of
    the element's place and encoded in the document's encoding (characters it
    cannot hold become character references).  ``build`` None removes the
    element, with its indentation and line break, and returns ``data`` as it
    is when there is none.

    Raises :class:`XmlPatchError` when there is no <parent>, when the
    encoding cannot be written byte for byte (UTF-16, UTF-32, unknown), or
    when a new element has no place to go; ``document`` names the kind of
    document in these messages.
    """
    layout = _scan(data, namespace, parent, child, preceding)
    if layout.parent_start < 0:
        raise XmlPatchError(f"{document} document without <{parent}>")
    where = f"<{parent}>" if parent is not None else "the root element"
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        raise XmlPatchError(f"cannot write UTF-16 encoded {document}; convert it to UTF-8 first")
    encoding = layout.encoding or "utf-8"
    try:
        codecs.lookup(encoding)
    except LookupError:
        raise XmlPatchError(f"unknown XML encoding {encoding!r}") from None
    if "16" in encoding or "32" in encoding:
        raise XmlPatchError(f"cannot write {encoding} encoded {document}; convert it to UTF-8 first")

    newline = b"\r\n" if b"\r\n" in data else (b"\n" if b"\n" in data else b"")
    if build is None:
        if layout.child_span is None:
            return data
        # drop the element with its indentation and line break, unless text
        # follows it on its line, which the line break keeps apart from the text before
        start, end = layout.child_span
        line_start = start - len(_line_indent(data, start))
        after = data[end:end + 1]
        if newline and data[line_start - len(newline):line_start] == newline and (after in (b"", b"<")
                                                                                  or after.isspace()):
            start = line_start - len(newline)
        return data[:start] + data[end:]

    if layout.child_span is not None:
        anchor = layout.child_span[0]
    elif layout.first_following >= 0:
        anchor = layout.first_following
    else:
        raise XmlPatchError(f"cannot find where to put the {child} in {where}")
    parent_indent = _line_indent(data, layout.parent_start)
    indent = _line_indent(data, anchor)
    deeper = indent.startswith(parent_indent) and len(indent) > len(parent_indent)
    unit = indent[len(parent_indent):] if deeper else b"  "
    if not newline:
        indent = unit = b""
    snippet = (newline + indent).decode().join(build(layout.prefix, unit.decode()))
    encoded = snippet.encode(encoding, "xmlcharrefreplace")
    if layout.child_span is None:
        return data[:anchor] + encoded + newline + indent + data[anchor:]
    start, end = layout.child_span
    return data[:start] + encoded + data[end:]


# --------------------------------------------------------------------------
# the element tree as byte spans: reordering elements, adding attributes
# --------------------------------------------------------------------------


@dataclass(eq=False)
class Span:
    """One element of the raw document: its name and where its bytes are.

    ``start`` is the offset of its "<", ``end`` the offset just past its end
    tag (or past "/>"), ``tag_end`` the offset just past its start tag.
    ``attrs`` maps attribute names ("ID", or "{uri}local" for namespaced
    ones) to their values.
    """

    uri: str
    local: str
    start: int
    tag_end: int = -1
    end: int = -1
    attrs: dict[str, str] | None = None
    children: list[Span] | None = None
    parent: Span | None = None

    def kids(self) -> list[Span]:
        return self.children or []

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


def scan_spans(data: bytes) -> Span:
    """The root element of ``data`` with every element below it as byte spans.

    The document must already have been accepted by a safe parser; this
    pass reads no DTD and expands no entity.
    """
    parser = xml.parsers.expat.ParserCreate(namespace_separator=_SEPARATOR)
    stack: list[Span] = []
    roots: list[Span] = []

    def split(name: str) -> tuple[str, str]:
        uri, sep, local = name.partition(_SEPARATOR)
        return (uri, local) if sep else ("", uri)

    def on_start(name: str, attrs: dict[str, str]) -> None:
        uri, local = split(name)
        named: dict[str, str] = {}
        for key, value in attrs.items():
            a_uri, a_local = split(key)
            named[f"{{{a_uri}}}{a_local}" if a_uri else a_local] = value
        parent = stack[-1] if stack else None
        span = Span(uri, local, parser.CurrentByteIndex, attrs=named, parent=parent)
        if parent is None:
            roots.append(span)
        else:
            if parent.children is None:
                parent.children = []
            parent.children.append(span)
        stack.append(span)

    def on_end(name: str) -> None:
        span = stack.pop()
        span.tag_end, span.end = _element_end(data, span.start, parser.CurrentByteIndex)

    parser.StartElementHandler = on_start
    parser.EndElementHandler = on_end
    try:
        parser.Parse(data, True)
    except xml.parsers.expat.ExpatError as exc:
        raise XmlPatchError(f"not well-formed XML ({exc})") from None
    if not roots:
        raise XmlPatchError("no root element")
    return roots[0]


def rewrite(
    data: bytes,
    root: Span,
    orders: dict[Span, list[Span]] | None = None,
    attributes: dict[Span, str] | None = None,
) -> bytes:
    """``data`` with some children reordered and some attributes added.

    ``orders`` maps a parent to its element children in their new order:
    every child listed takes the place of the one that was there, while the
    text, comments and unlisted elements around them stay where they were.
    A parent may list only some of its children; those keep each other's
    places.  ``attributes`` maps an element to text (' ID="x"') inserted
    right after its name in the start tag.  Nested changes compose: a
    moved element carries its own reordered children with it.
    """
    orders = orders or {}
    attributes = attributes or {}
    touched: set[int] = set()
    for span in list(orders) + list(attributes):
        node: Span | None = span
        while node is not None and id(node) not in touched:
            touched.add(id(node))
            node = node.parent

    def render(span: Span) -> list[bytes]:
        # An explicit stack of pending pieces: a span to render, or bytes.
        out: list[bytes] = []
        pending: list[Span | bytes] = [span]
        while pending:
            item = pending.pop()
            if isinstance(item, bytes):
                out.append(item)
                continue
            if id(item) not in touched:
                out.append(data[item.start:item.end])
                continue
            extra = attributes.get(item)
            if extra:
                name_end = item.start + 1
                while name_end < item.tag_end and data[name_end] not in b" \t\r\n/>":
                    name_end += 1
                out.append(data[item.start:name_end])
                out.append(extra.encode("ascii", "xmlcharrefreplace"))
                out.append(data[name_end:item.tag_end])
            else:
                out.append(data[item.start:item.tag_end])
            kids = item.kids()
            if item.end == item.tag_end or not kids:
                out.append(data[item.tag_end:item.end])
                continue
            placed = list(kids)
            new_order = orders.get(item)
            if new_order is not None:
                listed = {id(k) for k in new_order}
                slots = [i for i, k in enumerate(kids) if id(k) in listed]
                if len(slots) != len(new_order):
                    raise XmlPatchError("a new order must list children of its element, each once")
                for slot, child in zip(slots, new_order):
                    placed[slot] = child
            pieces: list[Span | bytes] = [data[item.tag_end:kids[0].start]]
            for i, child in enumerate(placed):
                pieces.append(child)
                following = kids[i + 1].start if i + 1 < len(kids) else item.end
                pieces.append(data[kids[i].end:following])
            pending.extend(reversed(pieces))
        return out

    return data[:root.start] + b"".join(render(root)) + data[root.end:]


def grouped_orders(
    top: Span,
    ranks: Mapping[Span, int],
    movable: Callable[[Span], bool] = lambda span: True,
) -> dict[Span, list[Span]]:
    """The reordering (for :func:`rewrite`) that puts ranked elements in rank order, keeping groups together.

    ``ranks`` gives the elements to order (below ``top``) their place in the
    new order.  An element that holds ranked elements moves as a whole, to
    the place of the first of them; within it they are ordered the same way.
    Only ``movable`` elements move: the others (and unranked elements, and
    everything that holds none) keep their places, and their ranked
    elements are ordered within them.
    """
    key: dict[Span, int] = {}
    for span, position in ranks.items():
        node: Span | None = span
        while node is not None and node is not top:
            if key.get(node, position + 1) > position:
                key[node] = position
            node = node.parent
    orders: dict[Span, list[Span]] = {}
    for parent in [top, *key]:
        if parent in ranks:
            continue
        moving = [c for c in parent.kids() if c in key and movable(c)]
        wanted = sorted(moving, key=lambda c: key[c])
        if wanted != moving:
            orders[parent] = wanted
    return orders
