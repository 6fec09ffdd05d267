"""Page files: read any supported format into a :class:`~quorlin.page.Page`, write it back with its order.

One module per format, each with a reader (bytes in, a Page out) and a
writer (the Page and an order in, the file's bytes out):

* :mod:`quorlin.formats.jsonpage` - JSON pages;
* :mod:`quorlin.formats.pagexml` - PAGE-XML (PRImA schema, 2010 to 2019);
* :mod:`quorlin.formats.alto` - ALTO (1.x to 4.x);
* :mod:`quorlin.formats.hocr` - hOCR (XHTML, or HTML turned into XHTML);
* :mod:`quorlin.formats.detections` - detector output: lists of detections, COCO;

around the shared parts: :mod:`quorlin.formats.detect` (which format a file
is), :mod:`quorlin.formats.values` (checking values and showing them in
messages) and :mod:`quorlin.formats.xml` (the one safe parse of an XML file,
the byte-preserving patcher, the PAGE ReadingOrder walker).

:func:`read_page` and :func:`write_page` are the one way in and out, through
the table :data:`FORMATS`.  Every problem with a file is raised as
:class:`quorlin.errors.PageError`, whose message is one line naming the file
and the problem.
"""

from __future__ import annotations

import numbers
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

from ..errors import PageError
from ..page import Box, Page, Region, RegionId
from .alto import alto_document, page_from_alto
from .detect import binary_kind, detect_format, sniff_format
from .detections import detections_bytes, looks_like_detections, page_from_detections
from .hocr import hocr_document, page_from_hocr
from .jsonpage import json_document, json_page_bytes, load_json, page_from_json
from .pagexml import page_from_xml, page_xml_document
from .values import MAX_COORDINATE

__all__ = [
    "MAX_COORDINATE",
    "FORMATS",
    "Format",
    "Box",
    "Page",
    "Region",
    "RegionId",
    "page_from_json",
    "page_from_xml",
    "page_from_alto",
    "page_from_hocr",
    "page_from_detections",
    "detect_format",
    "sniff_format",
    "read_page",
    "refuse_other_format",
    "write_page",
    "json_document",
    "page_xml_document",
]

Dpi = float | tuple[float, float] | None


def _read_json(data: bytes, source: str, dpi: Dpi) -> Page:
    value = load_json(source, data)
    if not isinstance(value, (dict, list)) or not looks_like_detections(value):
        return page_from_json(value, source)
    return page_from_detections(value, source, "auto")


@dataclass(frozen=True)
class Format:
    """One page format: its name (as ``--format`` takes it), the family its
    messages name, and its reader and writer."""

    name: str
    family: str
    read: Callable[[bytes, str, Dpi], Page]
    write: Callable[[Page, Sequence[RegionId]], bytes]


#: The formats of one page, by the name ``--format`` takes.
FORMATS: dict[str, Format] = {f.name: f for f in (
    Format("json", "JSON", _read_json, json_page_bytes),
    Format("page-xml", "PAGE-XML", lambda data, source, dpi: page_from_xml(data, source), page_xml_document),
    Format("alto", "ALTO", page_from_alto, alto_document),
    Format("hocr", "hOCR", lambda data, source, dpi: page_from_hocr(data, source), hocr_document),
    Format("detections", "JSON",
           lambda data, source, dpi: page_from_detections(load_json(source, data), source, "detections"),
           detections_bytes),
    Format("coco", "JSON", lambda data, source, dpi: page_from_detections(load_json(source, data), source, "coco"),
           detections_bytes),
)}


def _is_dpi(dpi: object) -> bool:
    """Whether ``dpi`` is None, a number or a pair of numbers (booleans are none)."""
    def number(value: object) -> bool:
        return isinstance(value, numbers.Real) and not isinstance(value, bool)

    return dpi is None or number(dpi) or (isinstance(dpi, tuple) and len(dpi) == 2 and all(map(number, dpi)))


def read_page(
    path: str | Path,
    fmt: str = "auto",
    data: bytes | None = None,
    *,
    dpi: Dpi = None,
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
    if data is not None and not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"data must be the file's bytes, not {type(data).__name__} (encode a text first)")
    if not _is_dpi(dpi):
        raise TypeError(f"dpi must be a number or a pair of numbers (x, y), got {dpi!r:.60}")
    if isinstance(data, (bytearray, memoryview)):
        data = bytes(data)
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
        family = FORMATS[fmt].family
        refuse_other_format(source, data, family, f" as --format {fmt} says",
                            lambda found: FORMATS[found].family == family)
    return FORMATS[fmt].read(data, source, dpi)


def refuse_other_format(source: str, head: bytes, family: str, said: str, accepted: Callable[[str], bool]) -> None:
    """Refuse a file (``head``: its first bytes) that is not of ``family`` as
    ``said`` claims it is (" as --format alto says"): a binary file, or a
    page of a format that ``accepted`` does not take, named in one line."""
    found = sniff_format(head)
    kind = binary_kind(head) if found is None else None
    if kind is not None:
        raise PageError(source, f"{kind}, not {family}{said}")
    if found is not None and not accepted(found):
        raise PageError(source, f"not {family}{said}: the file is {FORMATS[found].family}")


def write_page(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """The page's file with ``reading_order`` written into it, as bytes."""
    return FORMATS[page.format].write(page, reading_order)
