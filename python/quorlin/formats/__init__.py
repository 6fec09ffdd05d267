"""Page files: read any supported format into a :class:`Page`, write it back with its order.

The formats live in modules of their own, around a format-neutral page model:

* :mod:`quorlin.page` - :class:`Page` and :class:`Region`, the coordinate check;
* :mod:`quorlin.formats.jsonpage` - JSON pages;
* :mod:`quorlin.formats.pagexml` - PAGE-XML (PRImA schema, 2010 to 2019);
* :mod:`quorlin.formats.alto` - ALTO (1.x to 4.x);
* :mod:`quorlin.formats.hocr` - hOCR (XHTML, or HTML turned into XHTML);
* :mod:`quorlin.formats.detections` - detector output: lists of detections, COCO;
* the XML writers change the raw bytes through :mod:`quorlin.formats.xml.patch`.

This module tells the formats apart (:func:`detect_format`) and is the one
entry for reading (:func:`read_page`) and writing (:func:`write_page`) a
page of any of them.  Every problem with a file is raised as
:class:`quorlin.errors.PageError`, whose message is one line naming the
file and the problem.
"""

from __future__ import annotations

import codecs
import re
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .alto import alto_document, page_from_alto
from .detections import DETECTION_FORMATS, detections_bytes, looks_like_detections
from .detections import page_from_detections
from ..errors import PageError
from .hocr import hocr_document, page_from_hocr
from .jsonpage import json_document, json_page_bytes, load_json, page_from_json

# "import X as X": names that were defined here before the formats had
# modules of their own, still importable from here.
from ..labels import PAGE_REGION_LABELS as PAGE_REGION_LABELS
from ..labels import SKIPPED_LABELS as SKIPPED_LABELS
from ..labels import SKIPPED_PAGE_TYPES as SKIPPED_PAGE_TYPES
from ..page import Page, Region
from ..page import Box as Box
from ..page import RegionId as RegionId
from .values import MAX_COORDINATE
from .pagexml import PAGE_NAMESPACE_PREFIX as PAGE_NAMESPACE_PREFIX
from .pagexml import page_from_xml, page_xml_document

__all__ = [
    "MAX_COORDINATE",
    "FORMATS",
    "Page",
    "Region",
    "page_from_json",
    "page_from_xml",
    "page_from_alto",
    "page_from_hocr",
    "page_from_detections",
    "detect_format",
    "read_page",
    "write_page",
    "json_document",
    "page_xml_document",
]

#: The formats of one page, as ``--format`` names them.
FORMATS = ("json", "page-xml", "alto", "hocr", *DETECTION_FORMATS)

# File suffixes that name a format, for files whose content does not tell.
_SUFFIXES = {
    ".json": "json", ".xml": "page-xml", ".hocr": "hocr", ".html": "hocr", ".htm": "hocr", ".xhtml": "hocr",
}
_NAMES = {"json": "JSON", "page-xml": "PAGE-XML", "alto": "ALTO", "hocr": "hOCR", "detections": "JSON",
          "coco": "JSON"}
# The root element of an XML or HTML document, by its lower-case local name.
_ROOTS = {"pcgts": "page-xml", "alto": "alto", "html": "hocr"}
_COMMENT = re.compile(r"<!--.*?(?:-->|\Z)", re.S)
_PROCESSING = re.compile(r"<\?.*?(?:\?>|\Z)", re.S)
_DOCTYPE = re.compile(r"<!DOCTYPE\s+([A-Za-z_][\w.:-]*)[^\[>]*(?:\[.*?\])?\s*>", re.S | re.I)
_FIRST_TAG = re.compile(r"<([A-Za-z_][\w.:-]*)")


def _markup_root(data: bytes) -> str | None:
    """The local name (lower case) of the first element of markup, or None."""
    head = data[:65536]
    if head.startswith((codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE)):  # before UTF-16, whose mark starts UTF-32's
        text = head.decode("utf-32", "replace")
    elif head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        text = head.decode("utf-16", "replace")
    else:
        text = head.decode("latin-1")
    text = _PROCESSING.sub("", _COMMENT.sub("", text))
    doctype = _DOCTYPE.search(text)
    m = _FIRST_TAG.search(_DOCTYPE.sub("", text))
    name = m.group(1) if m else doctype.group(1) if doctype else None
    return name.rpartition(":")[2].lower() if name else None


def sniff_format(data: bytes) -> str | None:
    """The format the content of a file shows: "json" for any JSON (a page
    or detections), "page-xml", "alto" or "hocr" by the root element of
    markup, or None."""
    stripped = data.lstrip(b"\xef\xbb\xbf \t\r\n")
    head = stripped[:1]
    if head in (b"{", b"["):
        return "json"
    if head == b"<" or data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE, codecs.BOM_UTF32_BE)):
        root = _markup_root(data)
        return _ROOTS.get(root or "")
    return None


def detect_format(source: str, data: bytes) -> str:
    """The format of a file from its content, else from its name: "json"
    (a JSON page or detector output: :func:`read_page` tells them apart),
    "page-xml", "alto" or "hocr"."""
    found = sniff_format(data) or _SUFFIXES.get(Path(source).suffix.lower())
    if found is None:
        raise PageError(source, "cannot tell the format (expected a JSON page, detections, PAGE-XML, ALTO or hOCR)")
    return found


def read_page(
    path: str | Path,
    fmt: str = "auto",
    data: bytes | None = None,
    *,
    dpi: float | tuple[float, float] | None = None,
) -> Page:
    """Read one page file of any format (``fmt`` "auto" tells them apart).

    ``fmt`` is "auto" or one of :data:`FORMATS`.  ``data`` may hold the
    file's bytes already (for standard input); ``path`` then only names the
    source in messages.  ``dpi`` is the image resolution for ALTO files in
    mm10 or inch1200 units that do not give it themselves.
    """
    source = str(path)
    if fmt != "auto" and fmt not in FORMATS:
        raise ValueError(f"unknown page format {fmt!r}")
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
        fmt = detect_format(source, data)
    else:
        found = sniff_format(data)
        if found is not None and _NAMES[found] != _NAMES[fmt]:
            raise PageError(source, f"not {_NAMES[fmt]} as --format {fmt} says: the file is {_NAMES[found]}")
    if fmt == "json" or fmt in DETECTION_FORMATS:
        value = load_json(source, data)
        if fmt == "json" and (not isinstance(value, (dict, list)) or not looks_like_detections(value)):
            return page_from_json(value, source)
        return page_from_detections(value, source, "auto" if fmt == "json" else fmt)
    if fmt == "page-xml":
        return page_from_xml(data, source)
    if fmt == "alto":
        return page_from_alto(data, source, dpi)
    return page_from_hocr(data, source)


def write_page(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """The page's file with ``reading_order`` written into it, as bytes."""
    if page.format == "page-xml":
        return page_xml_document(page, reading_order)
    if page.format == "alto":
        return alto_document(page, reading_order)
    if page.format == "hocr":
        return hocr_document(page, reading_order)
    if page.format in DETECTION_FORMATS:
        return detections_bytes(page, reading_order)
    return json_page_bytes(page, reading_order)
