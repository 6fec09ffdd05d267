"""Class names of common layout detectors and datasets -> SemanticLabel.

Labels are a convenience for callers that already have detector output: the
ordering itself works on geometry alone, so a label never changes the order.

Also here, shared by every page format: the PAGE region types (which the
JSON pages of corpora converted from PAGE-XML use too) and the kinds of
region that are kept in a file but not ordered.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from types import MappingProxyType

from _quorlin_core import SemanticLabel

__all__ = [
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
