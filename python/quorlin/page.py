"""The page model that every file format reads into and writes from.

A :class:`Page` holds the regions to order (id, box, label, role), the
regions that are deliberately left out of the order (separators and noise),
the reading order already stored in the file, if any, and the original
document, which the format's writer copies with only the order changed.
Every box is in pixels of the page image, whatever unit the file uses.

The model orders nothing itself: :func:`quorlin.ordering.page_order` and
:func:`quorlin.explaining.explain_page` do, and the formats read and write it.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, Union

from _quorlin_core import SemanticLabel

__all__ = ["Box", "RegionId", "Region", "ROLE_MARGIN", "ROLE_SEPARATOR", "ROLE_NOISE", "Page", "union_box",
           "Decided"]

#: A box as (x1, y1, x2, y2), y growing down the page, corners in any order.
Box = tuple[float, float, float, float]

RegionId = Union[int, str]

#: Region roles.  A margin region (a block in one of ALTO's page margins) is
#: ordered like any other: the role is kept for callers, and the order does
#: not read it (the quality profile finds running heads and marginal notes by
#: their geometry alone).
ROLE_MARGIN = "margin"
#: A separator (rule, separator line) is never ordered: it is evidence of the
#: columns and rows of the page, handed to the ordering as such.
ROLE_SEPARATOR = "separator"
#: Noise (specks, scanner edges) is never ordered either.
ROLE_NOISE = "noise"


@dataclass(frozen=True)
class Decided:
    """A reading direction ("ltr", "rtl" or "ttb") and what it was taken from
    ("the file's readingDirection", "the letters of the text", ...)."""

    direction: str
    reason: str


@dataclass
class Region:
    """One region of a page: its id in the file, its box, its label."""

    id: RegionId
    box: Box
    label: SemanticLabel
    #: what the file called it ("title", "TextRegion/heading", ...), for display
    kind: str = ""
    #: "" for an ordinary region, or ROLE_MARGIN, ROLE_SEPARATOR, ROLE_NOISE
    role: str = ""


@dataclass
class Page:
    """A page read from a file, ready to be ordered and written back."""

    source: str
    #: "json", "page-xml", "alto", "hocr", "detections" or "coco"
    format: str
    width: float | None
    height: float | None
    regions: list[Region]
    #: regions present in the file but not ordered (separators, noise)
    skipped: list[Region] = field(default_factory=list)
    #: the reading order stored in the file (region ids), if it has one
    reading_order: list[RegionId] | None = None
    #: the parsed JSON value, or the raw bytes of the XML file (for HTML
    #: input, the well-formed XML it was turned into)
    document: Any = None
    #: PAGE-XML imageFilename (ALTO fileName, hOCR image), if any
    image_filename: str | None = None
    #: explicit page bounds, for a format that gives the page as a box that
    #: need not start at (0, 0) (hOCR); otherwise the bounds come from
    #: width and height
    box: Box | None = None
    #: the format's version as the file declares it ("2013-07-15", "4.2", ...)
    version: str = ""
    #: the page's reading direction as its file states it or its text shows it
    #: (see :mod:`quorlin.direction`); None when the reader does not look
    direction: Decided | None = None
    #: what the format's reader found in the document and its writer uses, so
    #: that writing does not read the file again (for XML: the element tree
    #: with its byte positions, and the format's maps of it)
    parsed: Any = field(default=None, repr=False, compare=False)

    @property
    def separators(self) -> list[Region]:
        """The separators among the skipped regions, in file order.

        They are never ordered; the ordering takes their boxes as evidence
        of the page's columns and rows.
        """
        return [r for r in self.skipped if r.role == ROLE_SEPARATOR]

    @property
    def bounds(self) -> Box:
        """Page bounds: the explicit box, (0, 0, width, height), or the regions' union box."""
        if self.box is not None:
            return self.box
        if self.width is not None and self.height is not None:
            return (0.0, 0.0, float(self.width), float(self.height))
        return union_box(r.box for r in self.regions + self.skipped) or (0.0, 0.0, 0.0, 0.0)


def union_box(boxes: Iterable[Box]) -> Box | None:
    """The smallest box that holds every box, whichever way round their corners are.

    Coordinates that are not finite are left out: with a NaN the minimum and
    maximum would depend on the order of the boxes, and an infinity would
    stretch the result over everything.  None when no finite x or no finite y
    is left (no boxes at all, for one).
    """
    listed = list(boxes)
    xs = [v for b in listed for v in (b[0], b[2]) if math.isfinite(v)]
    ys = [v for b in listed for v in (b[1], b[3]) if math.isfinite(v)]
    if not xs or not ys:
        return None
    return (min(xs), min(ys), max(xs), max(ys))
