"""Which format a page file is: told from its content, else from its name.

JSON (a JSON page, or detector output) starts with ``{`` or ``[``; markup is
told by the local name of its first element (``PcGts``, ``alto``, ``html``),
found by one scan of the file's head that skips comments, processing
instructions and a DOCTYPE.  The scan takes each character at most a few
times, so a hostile file cannot make it slow.
"""

from __future__ import annotations

import codecs
import re
from pathlib import Path

from ..errors import PageError

__all__ = ["sniff_format", "detect_format", "markup_root", "binary_kind"]

# File suffixes that name a format, for files whose content does not tell.
SUFFIXES = {
    ".json": "json", ".xml": "page-xml", ".hocr": "hocr", ".html": "hocr", ".htm": "hocr", ".xhtml": "hocr",
}
# The root element of an XML or HTML document, by its lower-case local name.
ROOTS = {"pcgts": "page-xml", "alto": "alto", "html": "hocr"}
# How much of a file is looked at.
HEAD = 65536
# What may come before the first character that tells JSON from markup.
_LEADING = re.compile(rb"[\xef\xbb\xbf \t\r\n]*")


def _name_at(text: str, at: int) -> int:
    """The end of the XML name starting at ``at`` (``at`` itself when there is none)."""
    if at >= len(text) or not (text[at].isascii() and (text[at].isalpha() or text[at] == "_")):
        return at
    end = at + 1
    while end < len(text) and (text[end].isalnum() or text[end] in "_.:-"):
        end += 1
    return end


class _Scanner:
    """Searches of one text that remember their last answer.

    The scan asks from positions that only grow, and a search from a later
    position that the last answer still covers gets that answer again
    (no match, or the same one): so each part of the text is searched once
    for each thing looked for, however many constructs start and never end.
    """

    def __init__(self, text: str) -> None:
        self.text = text
        self._found: dict[str, tuple[int, int]] = {}

    def find(self, needle: str, position: int) -> int:
        """``text.find(needle, position)``."""
        start, found = self._found.get(needle, (len(self.text) + 1, -1))
        if start <= position and (found < 0 or found >= position):
            return found
        found = self.text.find(needle, position)
        self._found[needle] = (position, found)
        return found

    def subset_end(self, position: int) -> int:
        """Past the '>' of the first ']' at or after ``position`` that a '>'
        follows (after blanks): the end of a DOCTYPE's internal subset; -1 when none."""
        start, found = self._found.get("]>", (len(self.text) + 1, -1))
        if start <= position and (found < 0 or found >= position):
            return found
        text = self.text
        end = -1
        close = self.find("]", position)
        while close >= 0:
            after = close + 1
            while after < len(text) and text[after].isspace():
                after += 1
            if after < len(text) and text[after] == ">":
                end = after + 1
                break
            close = self.find("]", close + 1)
        self._found["]>"] = (position, end)
        return end


def _doctype_end(scan: _Scanner, at: int) -> int:
    """The end of the DOCTYPE whose name ends at ``at``: past its '>', or -1 when it does not end.

    After the name comes anything but '[' and '>', then perhaps an internal
    subset that ends at a ']' followed (after blanks) by the closing '>'.
    """
    close = scan.find(">", at)
    subset = scan.find("[", at)
    if subset < 0 or (0 <= close < subset):
        return close + 1 if close >= 0 else -1
    return scan.subset_end(subset + 1)


def markup_root(text: str) -> str | None:
    """The local name (lower case) of the first element of markup in ``text``, or
    else of its DOCTYPE, or None."""
    scan = _Scanner(text)
    doctype: str | None = None
    position = 0
    while True:
        at = text.find("<", position)
        if at < 0:
            break
        if text.startswith("<!--", at):
            end = scan.find("-->", at + 4)
            if end < 0:
                break
            position = end + 3
            continue
        if text.startswith("<?", at):
            end = scan.find("?>", at + 2)
            if end < 0:
                break
            position = end + 2
            continue
        if text[at + 1:at + 9].upper() == "!DOCTYPE":
            blank = at + 9
            while blank < len(text) and text[blank].isspace():
                blank += 1
            name_end = _name_at(text, blank)
            if blank > at + 9 and name_end > blank:
                end = _doctype_end(scan, name_end)
                if end >= 0:
                    if doctype is None:
                        doctype = text[blank:name_end]
                    position = end
                    continue
            position = at + 1
            continue
        name_end = _name_at(text, at + 1)
        if name_end > at + 1:
            return text[at + 1:name_end].rpartition(":")[2].lower()
        position = at + 1
    return doctype.rpartition(":")[2].lower() if doctype else None


# The first bytes of files that are often given by mistake: pictures of the
# page, PDF, archives.
_MAGIC = (
    (b"\x89PNG\r\n\x1a\n", "a PNG image"), (b"\xff\xd8\xff", "a JPEG image"), (b"GIF87a", "a GIF image"),
    (b"GIF89a", "a GIF image"), (b"II*\x00", "a TIFF image"), (b"MM\x00*", "a TIFF image"),
    (b"\x00\x00\x00\x0cjP  \r\n\x87\n", "a JPEG 2000 image"), (b"%PDF-", "a PDF file"),
    (b"PK\x03\x04", "a ZIP archive (or an office document)"), (b"\x1f\x8b", "a gzip-compressed file"),
)


def binary_kind(data: bytes) -> str | None:
    """What a file is when it is no text at all: "a PNG image", ..., "a binary
    file" (NUL bytes where no UTF-16 or UTF-32 text has them); None for text."""
    for magic, kind in _MAGIC:
        if data.startswith(magic):
            return kind
    if data[:4] in (b"RIFF",) and data[8:12] == b"WEBP":
        return "a WebP image"
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE, codecs.BOM_UTF32_BE)):
        return None
    head = data[:1024]
    # UTF-16 or UTF-32 without a mark has a NUL in every other (or third) byte of ASCII text
    if b"\x00" in head and not (head[1::2].count(0) > len(head) // 4 or head[0::2].count(0) > len(head) // 4):
        return "a binary file"
    return None


def _head_text(data: bytes) -> str:
    head = data[:HEAD]
    if head.startswith((codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE)):  # before UTF-16, whose mark starts UTF-32's
        return head.decode("utf-32", "replace")
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return head.decode("utf-16", "replace")
    return head.decode("latin-1")


def sniff_format(data: bytes) -> str | None:
    """The format the content of a file shows: "json" for any JSON (a page
    or detections), "page-xml", "alto" or "hocr" by the root element of
    markup, or None."""
    first = _LEADING.match(data)
    start = first.end() if first else 0
    head = data[start:start + 1]
    if head in (b"{", b"["):
        return "json"
    if head == b"<" or data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE, codecs.BOM_UTF32_BE)):
        return ROOTS.get(markup_root(_head_text(data)) or "")
    return None


def detect_format(source: str, data: bytes) -> str:
    """The format of a file from its content, else from its name: "json"
    (a JSON page or detector output), "page-xml", "alto" or "hocr"."""
    found = sniff_format(data)
    if found is None:
        kind = binary_kind(data)
        if kind is not None:
            raise PageError(source, f"{kind}, not a page file (expected a JSON page, detections, PAGE-XML, ALTO or "
                                    "hOCR)")
        found = SUFFIXES.get(Path(source).suffix.lower())
    if found is None:
        raise PageError(source, "cannot tell the format (expected a JSON page, detections, PAGE-XML, ALTO or hOCR)")
    return found
