"""Page files: read any supported format into a :class:`Page`, write it back with its order.

The formats live in modules of their own, around a format-neutral page model:

* :mod:`quorlin.page` - :class:`Page` and :class:`Region`, the coordinate check;
* :mod:`quorlin.jsonpage` - JSON pages;
* :mod:`quorlin.pagexml` - PAGE-XML (PRImA schema), written through
  :mod:`quorlin.xmlpatch`, which changes one element of the raw bytes.

This module tells the formats apart and re-exports the names that were
always importable from here.  Every problem with a file is raised as
:class:`quorlin.errors.PageError`, whose message is one line naming the
file and the problem.
"""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

from .errors import PageError
from .jsonpage import json_document, json_page_bytes, load_json, page_from_json

# "import X as X": names that were defined here before the formats had
# modules of their own, still importable from here.
from .labels import PAGE_REGION_LABELS as PAGE_REGION_LABELS
from .labels import SKIPPED_LABELS as SKIPPED_LABELS
from .labels import SKIPPED_PAGE_TYPES as SKIPPED_PAGE_TYPES
from .page import MAX_COORDINATE, Page, Region
from .page import Box as Box
from .page import RegionId as RegionId
from .pagexml import PAGE_NAMESPACE_PREFIX as PAGE_NAMESPACE_PREFIX
from .pagexml import page_from_xml, page_xml_document

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

# File suffixes that name a format.
_SUFFIXES = {".json": "json", ".xml": "page-xml"}


def sniff_format(data: bytes) -> str | None:
    """The format the first character of a file suggests, or None."""
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
        sniffed = _SUFFIXES.get(Path(source).suffix.lower()) or sniff_format(data)
        if sniffed is None:
            raise PageError(source, "cannot tell the format (expected a JSON page or PAGE-XML)")
        fmt = sniffed
    if fmt == "json":
        return page_from_json(load_json(source, data), source)
    if fmt == "page-xml":
        return page_from_xml(data, source)
    raise ValueError(f"unknown page format {fmt!r}")


def write_page(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """The page's file with ``reading_order`` written into it, as bytes."""
    if page.format == "page-xml":
        return page_xml_document(page, reading_order)
    return json_page_bytes(page, reading_order)
