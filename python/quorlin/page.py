"""The page model that every file format reads into and writes from.

A :class:`Page` holds the regions to order (id, box, label, role), the
regions that are deliberately left out of the order (separators and noise),
the reading order already stored in the file, if any, and the original
document, which the format's writer copies with only the order changed.
Every box is in pixels of the page image, whatever unit the file uses.

Also here, for every reader: the check of a coordinate read from a file, and
how a message shows the numbers and values of a file (whole, exactly as
written or in a form that reads back as the same number).
"""

from __future__ import annotations

import json
import math
import sys
from dataclasses import dataclass, field
from typing import Any, Union

from _quorlin_core import SemanticLabel, XYCutConfig

from .errors import PageError
from .explaining import Explanation, explain
from .ordering import Box, order, union_box

__all__ = [
    "MAX_COORDINATE",
    "Box",
    "RegionId",
    "Region",
    "ROLE_MARGIN",
    "ROLE_SEPARATOR",
    "ROLE_NOISE",
    "Page",
    "check_coordinate",
    "OverflowedFloat",
    "parse_float",
    "number_text",
    "shown_text",
    "shown_name",
    "shown_json",
]

#: Largest coordinate magnitude accepted from a file.  The module stores
#: coordinates as 32-bit floats, which hold every integer up to 2**24 exactly;
#: beyond that, neighbouring boxes can collapse onto the same value.
MAX_COORDINATE = float(2**24)

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

    @property
    def separators(self) -> list[Region]:
        """The separators among the skipped regions, in file order.

        They are never ordered; :meth:`compute_order` hands their boxes to
        the ordering as evidence of the page's columns and rows.
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

    def compute_order(self, config: XYCutConfig | None = None, *, exact: bool = False) -> list[RegionId]:
        """Ids of the ordered regions, in reading order: the quality profile on
        the regions, the page bounds and the separators, or with ``exact`` the
        core's exact XY-cut on the regions."""
        return order(
            [r.box for r in self.regions],
            [r.label for r in self.regions],
            [r.id for r in self.regions],
            page_bounds=self.bounds,
            config=config,
            separators=[r.box for r in self.separators],
            exact=exact,
        )

    def explain(self, *, exact: bool = False) -> Explanation:
        """The order of the ordered regions with the cuts that made it (region ids)."""
        return explain(
            [r.box for r in self.regions],
            [r.label for r in self.regions],
            [r.id for r in self.regions],
            page_bounds=self.bounds,
            separators=[r.box for r in self.separators],
            exact=exact,
        )

    def explanation_document(self, *, exact: bool = False) -> dict[str, Any]:
        """What ``quorlin order --explain`` writes for this page."""
        return {"source": self.source, **self.explain(exact=exact).to_dict()}


# --------------------------------------------------------------------------
# numbers and values in messages
# --------------------------------------------------------------------------

#: Longest value text a message shows whole; longer ones are shown cut, marked
#: as cut and with their length, so that one bad value cannot flood a terminal.
SHOWN_CHARACTERS = 100


class OverflowedFloat(float):
    """An infinity read from a file that wrote a finite number too large for a
    double (1e400); ``written`` keeps that text for messages."""

    written: str

    def __new__(cls, written: str) -> OverflowedFloat:
        value = super().__new__(cls, written)
        value.written = written
        return value


def parse_float(text: str) -> float:
    """A decimal number from a file; one too large for a double keeps its text."""
    value = float(text)
    if math.isinf(value) and text.strip().lstrip("+-").lower() not in ("inf", "infinity"):
        return OverflowedFloat(text)
    return value


def number_text(value: float) -> str:
    """A number as a message shows it: an integer with all its digits (or, when
    it is enormous, how many it has), a float in its shortest form that reads
    back as the same float, and a number read from a file as the file wrote it."""
    written: str | None = getattr(value, "written", None)
    if written is not None:
        return written
    if isinstance(value, int):
        try:
            digits = str(abs(value))
        except ValueError:  # beyond Python's limit on integer-to-text conversion
            return f"an integer of more than {sys.get_int_max_str_digits()} digits"
        return str(value) if len(digits) <= 50 else f"a {len(digits)}-digit integer"
    return repr(value)


def shown_text(text: str) -> str:
    """Some text of a file, quoted, for a message."""
    if len(text) <= SHOWN_CHARACTERS:
        return repr(text)
    return f"{text[:SHOWN_CHARACTERS]!r}... ({len(text)} characters)"


def shown_name(name: str) -> str:
    """A name from a file (an element, a class), as it is when it is short and
    printable, otherwise quoted and cut as :func:`shown_text` shows text."""
    if len(name) <= SHOWN_CHARACTERS and name.isprintable() and name:
        return name
    return shown_text(name)


def _printable_json(text: str) -> str:
    """JSON text with every character that is not printable (line and paragraph
    separators, C1 controls, lone surrogates, format characters) as its escape."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else json.dumps(c)[1:-1] for c in text)


def shown_json(value: Any) -> str:
    """A JSON value for a message, written as JSON."""
    try:
        text = _printable_json(json.dumps(value, ensure_ascii=False))
    except (TypeError, ValueError, RecursionError):
        text = repr(value)
    if len(text) <= SHOWN_CHARACTERS:
        return text
    return f"{text[:SHOWN_CHARACTERS]}... ({len(text)} characters)"


def check_coordinate(source: str, where: str, value: Any, written: str | None = None) -> float:
    """A coordinate from a file: a finite number of sensible magnitude.

    ``where`` names it in the message ("element 3 (id 7): box[2]");
    ``written`` is the number's text in the file, when the reader has it.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise PageError(source, f"{where} must be a number, got {shown_json(value)}")
    shown = written if written is not None else number_text(value)
    if isinstance(value, float) and not math.isfinite(value) and not isinstance(value, OverflowedFloat):
        raise PageError(source, f"{where} is not a finite number ({shown})")
    # int against float compares exactly, so no integer is rounded into range
    if abs(value) > MAX_COORDINATE:
        raise PageError(source, f"{where} = {shown} is out of range (at most {2**24} in magnitude)")
    return float(value)
