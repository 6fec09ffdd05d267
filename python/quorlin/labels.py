"""Class names of common layout detectors and datasets -> SemanticLabel and role.

Two tables.  ``LABELS`` gives the core's SemanticLabel of a class name (kept
for callers; the core's order does not read it).  ``ROLE_NAMES`` gives the
*role* of a box, what the quality profile reads: page furniture (header,
footer, page number), footnote, caption, figure, marginal note, drop capital
(initial), heading, or body.  It covers the class names of layout detectors
(DocLayNet, PubLayNet, DocLayout and others), PAGE region types and subtypes
("TextRegion/page-number"), the SegmOnto zones of PAGE ``custom`` structure
types and ALTO tags ("TextRegion/NumberingZone", "TextBlock/MarginTextZone")
and hOCR classes ("ocr_pageno").  An unknown name is body: never an error.

Also here, shared by every page format: the PAGE region types (which the
JSON pages of corpora converted from PAGE-XML use too) and the kinds of
region that are kept in a file but not ordered.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from types import MappingProxyType

from _quorlin_core import SemanticLabel

__all__ = [
    "ROLES",
    "ROLE_NAMES",
    "role_code",
    "role_codes",
    "LABELS",
    "label_for",
    "normalise_label_name",
    "PAGE_REGION_LABELS",
    "SKIPPED_PAGE_TYPES",
    "SKIPPED_LABELS",
    "page_region_label",
    "skipped_role",
]

_TITLE = SemanticLabel.HorizontalTitle
_VTITLE = SemanticLabel.VerticalTitle
_VISION = SemanticLabel.Vision
_REGULAR = SemanticLabel.Regular
_CROSS = SemanticLabel.CrossLayout

# Keys are normalised with normalise_label_name(): lower case, words separated
# by one space ("Section-header", "section_header" and "SectionHeader" all
# become "section header").
_NAMES: dict[str, SemanticLabel] = {
    # the module's own label names
    "cross layout": _CROSS,
    "horizontal title": _TITLE,
    "vertical title": _VTITLE,
    "vision": _VISION,
    "regular": _REGULAR,
    # titles and headings
    "title": _TITLE,
    "doc title": _TITLE,
    "document title": _TITLE,
    "paragraph title": _TITLE,
    "section header": _TITLE,
    "section heading": _TITLE,
    "section title": _TITLE,
    "heading": _TITLE,
    "subtitle": _TITLE,
    "sub title": _TITLE,
    "subheading": _TITLE,
    "sub heading": _TITLE,
    "chapter title": _TITLE,
    # a newspaper's headlines, and the levels of title some detectors tell apart
    "headline": _TITLE,
    "subheadline": _TITLE,
    "sub headline": _TITLE,
    "first level title": _TITLE,
    "second level title": _TITLE,
    "third level title": _TITLE,
    "fourth level title": _TITLE,
    "vertical text title": _VTITLE,
    # running text and its companions
    "text": _REGULAR,
    "plain text": _REGULAR,
    "paragraph": _REGULAR,
    "abstract": _REGULAR,
    "list": _REGULAR,
    "list item": _REGULAR,
    "caption": _REGULAR,
    "figure caption": _REGULAR,
    "table caption": _REGULAR,
    "table footnote": _REGULAR,
    "formula caption": _REGULAR,
    "footnote": _REGULAR,
    "page header": _REGULAR,
    "page footer": _REGULAR,
    "header": _REGULAR,
    "footer": _REGULAR,
    "page number": _REGULAR,
    "reference": _REGULAR,
    "references": _REGULAR,
    "code": _REGULAR,
    "abandon": _REGULAR,
    "marginalia": _REGULAR,
    # pictures, tables and other non-text blocks
    "figure": _VISION,
    "picture": _VISION,
    "image": _VISION,
    "photo": _VISION,
    "chart": _VISION,
    "graphic": _VISION,
    "diagram": _VISION,
    "table": _VISION,
    "formula": _VISION,
    "equation": _VISION,
    "isolate formula": _VISION,
    "stamp": _VISION,
    "seal": _VISION,
    "logo": _VISION,
}

#: Read-only mapping from a normalised class name to its SemanticLabel.
LABELS: Mapping[str, SemanticLabel] = MappingProxyType(_NAMES)

_CAMEL = re.compile(r"(?<=[a-z0-9])(?=[A-Z])")
_SEPARATORS = re.compile(r"[^0-9a-z]+")


#: Names longer than this are no class name of the tables, whatever their
#: spacing; they are not split into words (a hostile megabyte would cost a
#: good part of a second).
LONGEST_NAME = 1000


def normalise_label_name(name: str) -> str:
    """Return the lookup key of a class name ("Section-header" -> "section header")."""
    if len(name) > LONGEST_NAME:
        return name.lower()
    spaced = _CAMEL.sub(" ", name).lower()
    return " ".join(part for part in _SEPARATORS.split(spaced) if part)


def label_for(name: str | SemanticLabel, default: SemanticLabel = _REGULAR) -> SemanticLabel:
    """Return the SemanticLabel for a detector class name.

    A SemanticLabel is returned unchanged; a name that is not in LABELS gives
    ``default`` (Regular unless told otherwise), since the label does not
    influence the order.
    """
    if isinstance(name, SemanticLabel):
        return name
    if not isinstance(name, str):
        raise TypeError(f"expected a SemanticLabel or a class name, got {type(name).__name__}")
    return _NAMES.get(normalise_label_name(name), default)


#: PAGE region elements (direct children of <Page>) and the label each gets.
PAGE_REGION_LABELS: Mapping[str, SemanticLabel] = {
    "TextRegion": SemanticLabel.Regular,
    "ImageRegion": SemanticLabel.Vision,
    "LineDrawingRegion": SemanticLabel.Vision,
    "GraphicRegion": SemanticLabel.Vision,
    "TableRegion": SemanticLabel.Vision,
    "ChartRegion": SemanticLabel.Vision,
    "MapRegion": SemanticLabel.Vision,
    "SeparatorRegion": SemanticLabel.Regular,
    "MathsRegion": SemanticLabel.Vision,
    "ChemRegion": SemanticLabel.Vision,
    "MusicRegion": SemanticLabel.Vision,
    "AdvertRegion": SemanticLabel.Vision,
    "NoiseRegion": SemanticLabel.Regular,
    "UnknownRegion": SemanticLabel.Regular,
    "CustomRegion": SemanticLabel.Regular,
}

#: Region kinds that are not content: they are kept in the file and drawn,
#: but not ordered.  A separator sits in the gutter between columns and
#: would close the very gap the XY-cut looks for.
SKIPPED_PAGE_TYPES = frozenset({"SeparatorRegion", "NoiseRegion"})
SKIPPED_LABELS = frozenset({"separator", "noise"})

_SKIPPED_ROLES = {
    "SeparatorRegion": "separator", "separator": "separator",
    "NoiseRegion": "noise", "noise": "noise",
}


def skipped_role(name: str) -> str:
    """The role ("separator" or "noise") of a skipped PAGE type or class name, else ""."""
    return _SKIPPED_ROLES.get(name) or _SKIPPED_ROLES.get(normalise_label_name(name), "")


def page_region_label(tag: str, subtype: str) -> tuple[SemanticLabel, str]:
    """(label, kind) of a PAGE region: its element name, and a text region's
    subtype ("heading", ...) when it has one; kind is "TextRegion/heading"."""
    base = PAGE_REGION_LABELS.get(tag, SemanticLabel.Regular)
    if tag == "TextRegion" and subtype:
        base = label_for(subtype, SemanticLabel.Regular)
    return base, f"{tag}/{subtype}" if subtype else tag


# ---- Roles ------------------------------------------------------------------

#: The roles the quality profile understands, by code (the engine's
#: quorlin::engine::Role): a box's code is its index here.
ROLES = ("body", "heading", "header", "footer", "page-number", "footnote", "caption", "figure", "marginal", "folio",
         "initial")
_ROLE = {name: code for code, name in enumerate(ROLES)}

(_BODY, _HEADING, _HEADER, _FOOTER, _NUMBER, _FOOTNOTE, _CAPTION, _FIGURE, _MARGINAL, _FOLIO,
 _INITIAL) = range(len(ROLES))

# Keys are normalised with normalise_label_name() ("page-header", "PageHeader"
# and "page_header" all become "page header"; "ocr_pageno" becomes "ocr pageno").
_ROLE_NAMES: dict[str, int] = {
    # the role names themselves
    **{normalise_label_name(name): code for code, name in enumerate(ROLES)},
    # page furniture at the head of a page
    "page header": _HEADER, "header": _HEADER, "running head": _HEADER, "running title": _HEADER,
    "running header": _HEADER,
    "running title zone": _HEADER,                 # SegmOnto
    "ocr header": _HEADER,                         # hOCR
    "header image": _HEADER,                       # PP-DocLayout
    # page furniture of any kind (DocLayout-YOLO's "abandon": running heads,
    # footers, page numbers, marginal matter): a header is placed by where it
    # stands, first in the top band, last in the bottom band, else with the text
    "abandon": _HEADER,
    # at its foot
    "page footer": _FOOTER, "footer": _FOOTER, "running foot": _FOOTER, "running footer": _FOOTER,
    "catch word": _FOOTER, "catchword": _FOOTER, "signature mark": _FOOTER, "signature": _FOOTER,
    # a manuscript's folio numbers and quire marks (SegmOnto), added to the page
    # after it was written: read last wherever they stand
    "quire marks zone": _FOLIO, "numbering zone": _FOLIO,
    "ocr footer": _FOOTER, "footer image": _FOOTER,  # hOCR, PP-DocLayout
    # page numbers, head or foot by where they stand
    "page number": _NUMBER, "page num": _NUMBER, "pagenumber": _NUMBER, "pagenum": _NUMBER,
    "number": _NUMBER,                             # PP-DocLayout
    "ocr pageno": _NUMBER,
    # footnotes
    "footnote": _FOOTNOTE, "footnotes": _FOOTNOTE, "footnote continued": _FOOTNOTE, "page footnote": _FOOTNOTE,
    "ocr footnote": _FOOTNOTE,
    # captions
    "caption": _CAPTION, "figure caption": _CAPTION, "table caption": _CAPTION, "image caption": _CAPTION,
    "chart caption": _CAPTION, "formula caption": _CAPTION, "ocr caption": _CAPTION,
    "figure title": _CAPTION, "table title": _CAPTION, "chart title": _CAPTION,  # PP-DocLayout
    # a note under a table (DocLayout-YOLO) or a chart (PP-DocLayout) stays
    # with it, as a caption does
    "table footnote": _CAPTION, "vision footnote": _CAPTION,
    # what a caption belongs to
    "picture": _FIGURE, "figure": _FIGURE, "image": _FIGURE, "photo": _FIGURE, "chart": _FIGURE,
    "diagram": _FIGURE, "graphic": _FIGURE, "table": _FIGURE, "map": _FIGURE,
    "image region": _FIGURE, "table region": _FIGURE, "graphic region": _FIGURE, "chart region": _FIGURE,
    "line drawing region": _FIGURE, "map region": _FIGURE,
    "graphic zone": _FIGURE, "table zone": _FIGURE,  # SegmOnto
    "ocr float": _FIGURE, "ocr image": _FIGURE, "ocr photo": _FIGURE, "ocr table": _FIGURE,
    "ocr chart": _FIGURE, "ocr linedrawing": _FIGURE,
    # marginal notes
    "marginalia": _MARGINAL, "marginal note": _MARGINAL, "margin note": _MARGINAL, "side note": _MARGINAL,
    "sidenote": _MARGINAL, "margin": _MARGINAL,
    "margin text zone": _MARGINAL,                 # SegmOnto
    "aside text": _MARGINAL,                       # PP-DocLayout
    # drop capitals (the large first letter of a paragraph)
    "drop capital": _INITIAL, "drop cap": _INITIAL, "dropcap": _INITIAL, "initial": _INITIAL,
    "drop capital zone": _INITIAL,                 # SegmOnto
    "ocr dropcap": _INITIAL,                       # hOCR
    # titles and headings
    "title": _HEADING, "doc title": _HEADING, "document title": _HEADING, "paragraph title": _HEADING,
    "section header": _HEADING, "section heading": _HEADING, "section title": _HEADING, "heading": _HEADING,
    "subtitle": _HEADING, "sub title": _HEADING, "title page zone": _HEADING,
    "subheading": _HEADING, "sub heading": _HEADING, "chapter title": _HEADING,
    # a newspaper's headlines (they start its rows of articles), and the levels
    # of title some detectors tell apart
    "headline": _HEADING, "subheadline": _HEADING, "sub headline": _HEADING,
    "first level title": _HEADING, "second level title": _HEADING, "third level title": _HEADING,
    "fourth level title": _HEADING,
    "ocr title": _HEADING, "ocr chapter": _HEADING, "ocr section": _HEADING,
}

#: Read-only mapping from a normalised name to its role code (an index of ROLES).
ROLE_NAMES: Mapping[str, int] = MappingProxyType(_ROLE_NAMES)

class _Codes(dict[object, int]):
    """Role codes by name, each computed on first use (a page has a few
    distinct names; a hostile stream of names stops being kept at 4096)."""

    def __missing__(self, name: object) -> int:
        code = _role_of(name)
        if len(self) < 4096:
            self[name] = code
        return code


def _role_of(name: object) -> int:
    if isinstance(name, SemanticLabel):
        return {SemanticLabel.Vision: _FIGURE, SemanticLabel.HorizontalTitle: _HEADING,
                SemanticLabel.VerticalTitle: _HEADING}.get(name, _BODY)
    if not isinstance(name, str):
        raise TypeError(f"expected a SemanticLabel or a class name, got {type(name).__name__}")
    if len(name) > LONGEST_NAME:
        return _BODY
    head, _, tail = name.partition("/")
    for part in ((tail, head) if tail else (head,)):
        found = _ROLE_NAMES.get(normalise_label_name(part))
        if found is not None:
            return found
    return _BODY


_CODES = _Codes()


def role_code(name: str | SemanticLabel) -> int:
    """The role code (an index of ROLES) of a class name, role name or region
    kind ("TextRegion/page-number", "TextBlock/MainZone", "ocr_pageno").

    A kind "Element/subtype" is looked up by its subtype, then by its element
    ("TableRegion/" is a figure); a SemanticLabel by its name (Vision is a
    figure, the titles are headings); anything unknown is body (0).
    """
    return _CODES[name]


def code_table() -> dict[object, int]:
    """The table role_code reads, for quorlin._native, which checks the labels
    of a call and turns them into codes itself: a dict whose misses compute
    (and keep) the code of a name, and raise TypeError for a label that is
    neither a text nor a SemanticLabel."""
    return _CODES


def role_codes(labels: Iterable[str | SemanticLabel]) -> bytes:
    """The role codes of some class names (see role_code), as bytes; TypeError
    for a label that is neither a text nor a SemanticLabel."""
    return bytes(map(_CODES.__getitem__, labels))
