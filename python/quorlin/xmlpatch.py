"""Replace, insert or remove one element of an XML document in its raw bytes.

Writers use this to change one part of a file (the reading order of a
PAGE-XML page) while every other byte stays as it was: the declaration,
comments, attribute order and quoting, namespace prefixes, indentation and
line ends.  It works on the byte offsets of one expat pass over the
document and never serialises a parsed tree.

The document must already have been accepted by a safe parser (no DOCTYPE,
so no entity can expand): the pass here only records offsets.
"""

from __future__ import annotations

import codecs
import xml.parsers.expat
from collections.abc import Callable, Collection
from dataclasses import dataclass

__all__ = ["XmlPatchError", "set_child", "escape_attribute"]


class XmlPatchError(ValueError):
    """The document cannot be rewritten as asked; the message says why."""


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


def _scan(data: bytes, namespace: str, parent: str, child: str, preceding: Collection[str]) -> _Layout:
    """Find <parent> under the root, its first <child> and where a new <child> would go."""
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
        if uri == namespace and local == parent and depth == 1:
            layout.prefix = parts[2] + ":" if len(parts) == 3 else ""
            layout.parent_depth = depth
            layout.parent_start = pos
        elif depth == layout.parent_depth + 1 and layout.parent_depth >= 0 and stack[-1][1] == parent:
            if local == child and uri == namespace and layout.child_span is None:
                layout.child_span = (pos, -1)
            elif layout.first_following < 0 and local not in preceding:
                layout.first_following = pos
        stack.append((uri, local, pos))

    def on_end(name: str) -> None:
        uri, local, start = stack.pop()
        pos = parser.CurrentByteIndex
        is_end_tag = data[pos:pos + 2] == b"</"
        end = data.index(b">", pos) + 1 if is_end_tag else _start_tag_end(data, start)
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
    parent: str,
    child: str,
    preceding: Collection[str],
    build: Callable[[str, str], list[str]] | None,
    document: str = "XML",
) -> bytes:
    """Put a new <child> into the <parent> element of ``data``; every other byte stays.

    <parent> is the element of that local name in ``namespace`` right under
    the root.  Its first <child> (same namespace) is replaced; without one,
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
        # drop the element with its indentation and line break
        start, end = layout.child_span
        line_start = start - len(_line_indent(data, start))
        if newline and data[line_start - len(newline):line_start] == newline:
            start = line_start - len(newline)
        return data[:start] + data[end:]

    if layout.child_span is not None:
        anchor = layout.child_span[0]
    elif layout.first_following >= 0:
        anchor = layout.first_following
    else:
        raise XmlPatchError(f"cannot find where to put the {child} in <{parent}>")
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
