"""Change an XML file in its raw bytes: the order of elements, an attribute, one child element.

Writers use this to change one part of a file (the reading order of a
PAGE-XML page, the order of the blocks of an ALTO page or of the areas of
an hOCR page) while every other byte stays as it was: the declaration,
comments, attribute order and quoting, namespace prefixes, indentation and
line ends.  A tree library would serialise its tree and lose all of these,
so this is written by hand: it works on the byte spans that the one parse of
the file recorded (:mod:`quorlin.formats.xml.document`) and never
serialises a tree.

Every change of one write is made in one pass over the spans: the output is
a list of pieces (ranges of the original bytes, and new bytes), so that
changes at different places compose without parsing the file again.
"""

from __future__ import annotations

import codecs
from collections.abc import Callable, Collection, Mapping
from dataclasses import dataclass

from .document import Span, XmlDocument

__all__ = ["XmlPatchError", "ChildElement", "patch", "grouped_orders", "escape_attribute", "attribute_value_range"]


class XmlPatchError(ValueError):
    """The document cannot be rewritten as asked; the message says why."""


def escape_attribute(value: str) -> str:
    """``value`` escaped for an attribute in double quotes."""
    return (
        value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        .replace('"', "&quot;").replace("\n", "&#10;").replace("\t", "&#9;")
    )


@dataclass(frozen=True)
class ChildElement:
    """A new <child> of the <parent> element, replacing its first one or added where the schema puts it.

    <parent> is the element of that local name in ``namespace`` right under
    the root (None: the root itself).  Its first <child> (same namespace) is
    replaced; without one, the new element goes before the first child of
    <parent> whose local name is not in ``preceding`` (the siblings a schema
    puts first).

    ``build(prefix, unit)`` writes the new element as lines of text: it gets
    the namespace prefix the document uses for <parent> ("pc:" or "") and
    one level of the document's indentation, and indents inner lines itself.
    The lines are joined with the document's line ends at the indentation of
    the element's place and encoded in the document's encoding (characters it
    cannot hold become character references).  ``build`` None removes the
    element, with its indentation and line break.  ``kind`` names the kind
    of document in messages ("PAGE-XML").
    """

    namespace: str
    parent: str | None
    child: str
    preceding: Collection[str]
    build: Callable[[str, str], list[str]] | None
    kind: str = "XML"


def attribute_value_range(data: bytes, span: Span, name: str) -> tuple[int, int] | None:
    """Where the value of the attribute written ``name`` lies in the start tag of
    ``span`` (between its quotes), or None when the tag has no such attribute.

    The start tag was accepted by the parser, so it is names, '=' and quoted
    values between blanks; the document's encoding keeps ASCII as ASCII.
    """
    wanted = name.encode("ascii")
    position = span.start + 1
    end = span.tag_end
    while position < end and data[position] not in b" \t\r\n/>":
        position += 1
    while position < end:
        while position < end and data[position] in b" \t\r\n":
            position += 1
        if position >= end or data[position] in b"/>":
            return None
        name_start = position
        while position < end and data[position] not in b" \t\r\n=":
            position += 1
        written = data[name_start:position]
        while position < end and data[position] in b" \t\r\n=":
            position += 1
        if position >= end:
            return None
        quote = data[position:position + 1]
        value_end = data.find(quote, position + 1, end)
        if value_end < 0:
            return None
        if written == wanted:
            return position + 1, value_end
        position = value_end + 1
    return None


def _line_indent(data: bytes, pos: int) -> bytes:
    """The whitespace between the start of the line and ``pos``, if only whitespace."""
    line_start = data.rfind(b"\n", 0, pos) + 1
    prefix = data[line_start:pos]
    return prefix if prefix.strip() == b"" else b""


# A change of bytes in original positions: (start, end, new bytes).
_Splice = tuple[int, int, bytes]


def _child_splice(document: XmlDocument, edit: ChildElement) -> _Splice | None:
    """Where the new child element goes and what it is, or None when nothing changes."""
    data = document.data
    root = document.root
    if edit.parent is None:
        parent: Span | None = root
    else:
        parent = next((k for k in root.kids() if k.uri == edit.namespace and k.local == edit.parent), None)
    if parent is None:
        raise XmlPatchError(f"{edit.kind} document without <{edit.parent}>")
    where = f"<{edit.parent}>" if edit.parent is not None else "the root element"
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        raise XmlPatchError(f"cannot write UTF-16 encoded {edit.kind}; convert it to UTF-8 first")
    encoding = document.encoding or "utf-8"
    try:
        codecs.lookup(encoding)
    except LookupError:
        raise XmlPatchError(f"unknown XML encoding {encoding!r}") from None
    if "16" in encoding or "32" in encoding:
        raise XmlPatchError(f"cannot write {encoding} encoded {edit.kind}; convert it to UTF-8 first")
    existing = parent.child(edit.child, edit.namespace)
    following = next((k for k in parent.kids() if k is not existing and k.local not in edit.preceding), None)

    newline = b"\r\n" if b"\r\n" in data else (b"\n" if b"\n" in data else b"")
    if edit.build is None:
        if existing is None:
            return None
        # drop the element with its indentation and line break, unless text
        # follows it on its line, which the line break keeps apart from the text before
        start, end = existing.start, existing.end
        line_start = start - len(_line_indent(data, start))
        after = data[end:end + 1]
        text_follows = after not in (b"", b"<") and not after.isspace()
        if newline and data[line_start - len(newline):line_start] == newline and not text_follows:
            start = line_start - len(newline)
        # text right before and right after it would run together into one word: keep a space between
        before = data[start - 1:start]
        return (start, end, b" " if text_follows and before and not before.isspace() else b"")

    if existing is not None:
        anchor = existing.start
    elif following is not None:
        anchor = following.start
    else:
        raise XmlPatchError(f"cannot find where to put the {edit.child} in {where}")
    parent_indent = _line_indent(data, parent.start)
    indent = _line_indent(data, anchor)
    deeper = indent.startswith(parent_indent) and len(indent) > len(parent_indent)
    unit = indent[len(parent_indent):] if deeper else b"  "
    if not newline:
        indent = unit = b""
    prefix = f"{parent.prefix}:" if parent.prefix else ""
    snippet = (newline + indent).decode().join(edit.build(prefix, unit.decode()))
    encoded = snippet.encode(encoding, "xmlcharrefreplace")
    if existing is None:
        return (anchor, anchor, encoded + newline + indent)
    return (existing.start, existing.end, encoded)


def patch(
    document: XmlDocument,
    *,
    orders: Mapping[Span, list[Span]] | None = None,
    attributes: Mapping[Span, str] | None = None,
    values: Mapping[Span, Mapping[str, str]] | None = None,
    child: ChildElement | None = None,
) -> bytes:
    """The document's bytes with some children reordered, some attributes added or changed and one child
    element set.

    ``orders`` maps a parent to its element children in their new order:
    every child listed takes the place of the one that was there, while the
    text, comments and unlisted elements around them stay where they were.
    A parent may list only some of its children; those keep each other's
    places.  ``attributes`` maps an element to text (' ID="x"') inserted
    right after its name in the start tag.  ``values`` maps an element to
    new values of attributes it has (by the name as written; the values are
    escaped here and encoded as the document is).  ``child`` sets one child element
    (see :class:`ChildElement`).  Nested changes compose: a moved element
    carries its own reordered children with it.

    Raises :class:`XmlPatchError` when an order does not list children of
    its element, and for the reasons :class:`ChildElement` gives.
    """
    data = document.data
    orders = orders or {}
    attributes = attributes or {}
    splices: list[_Splice] = []
    if child is not None:
        splice = _child_splice(document, child)
        if splice is not None:
            splices.append(splice)
    encoding = document.encoding or "utf-8"
    for span, changes in (values or {}).items():
        for name, value in changes.items():
            where = attribute_value_range(data, span, name)
            if where is None:
                raise XmlPatchError(f"<{span.local}> has no attribute {name} to change")
            splices.append((where[0], where[1], escape_attribute(value).encode(encoding, "xmlcharrefreplace")))
    if not orders and not attributes and not splices:
        return data
    touched: set[int] = set()
    for span in list(orders) + list(attributes):
        node: Span | None = span
        while node is not None and id(node) not in touched:
            touched.add(id(node))
            node = node.parent

    # The output as pieces: (start, end) ranges of the original bytes, or new bytes.
    pieces: list[tuple[int, int] | bytes] = []
    pending: list[Span | tuple[int, int] | bytes] = [(0, document.root.start), document.root,
                                                     (document.root.end, len(data))]
    pending.reverse()
    while pending:
        item = pending.pop()
        if not isinstance(item, Span):
            pieces.append(item)
            continue
        if id(item) not in touched:
            pieces.append((item.start, item.end))
            continue
        extra = attributes.get(item)
        if extra:
            name_end = item.start + 1
            while name_end < item.tag_end and data[name_end] not in b" \t\r\n/>":
                name_end += 1
            pieces.extend(((item.start, name_end), extra.encode("ascii", "xmlcharrefreplace"),
                           (name_end, item.tag_end)))
        else:
            pieces.append((item.start, item.tag_end))
        kids = item.kids()
        if item.end == item.tag_end or not kids:
            pieces.append((item.tag_end, item.end))
            continue
        placed = list(kids)
        new_order = orders.get(item)
        if new_order is not None:
            listed = {id(k) for k in new_order}
            slots = [i for i, k in enumerate(kids) if id(k) in listed]
            if len(slots) != len(new_order):
                raise XmlPatchError("a new order must list children of its element, each once")
            for slot, kid in zip(slots, new_order):
                placed[slot] = kid
        inner: list[Span | tuple[int, int] | bytes] = [(item.tag_end, kids[0].start)]
        for i, kid in enumerate(placed):
            inner.append(kid)
            following = kids[i + 1].start if i + 1 < len(kids) else item.end
            inner.append((kids[i].end, following))
        pending.extend(reversed(inner))
    return _join(data, pieces, splices)


def _join(data: bytes, pieces: list[tuple[int, int] | bytes], splices: list[_Splice]) -> bytes:
    """The pieces as bytes, with each splice made inside the range of original bytes that holds it.

    Neighbouring ranges are joined first, so that a splice may reach across
    the places where the pieces were cut.
    """
    joined: list[tuple[int, int] | bytes] = []
    for piece in pieces:
        if isinstance(piece, tuple):
            if piece[0] == piece[1]:
                continue
            last = joined[-1] if joined else None
            if isinstance(last, tuple) and last[1] == piece[0]:
                joined[-1] = (last[0], piece[1])
                continue
        joined.append(piece)
    out: list[bytes] = []
    todo = sorted(splices)
    for piece in joined:
        if isinstance(piece, bytes):
            out.append(piece)
            continue
        start, end = piece
        while todo and start <= todo[0][0] < end and todo[0][1] <= end:
            s, e, new = todo.pop(0)
            out.append(data[start:s])
            out.append(new)
            start = e
        out.append(data[start:end])
    if todo:
        raise XmlPatchError("a change falls where elements are moved")  # pragma: no cover - writers avoid it
    return b"".join(out)


def grouped_orders(
    top: Span,
    ranks: Mapping[Span, int],
    movable: Callable[[Span], bool] = lambda span: True,
) -> dict[Span, list[Span]]:
    """The reordering (for :func:`patch`) that puts ranked elements in rank order, keeping groups together.

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
