"""The page model that every file format reads into and writes from.

A :class:`Page` holds the regions to order (id, box, label), the regions
that are deliberately left out of the order (separators and noise), the
reading order already stored in the file, if any, and the original document,
which the format's writer copies with only the order changed.

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
    "Page",
    "check_coordinate",
    "OverflowedFloat",
    "parse_float",
    "number_text",
    "shown_text",
    "shown_json",
]

#: Largest coordinate magnitude accepted from a file.  The module stores
#: coordinates as 32-bit floats, which hold every integer up to 2**24 exactly;
#: beyond that, neighbouring boxes can collapse onto the same value.
MAX_COORDINATE = float(2**24)

RegionId = Union[int, str]


@dataclass
class Region:
    """One region of a page: its id in the file, its box, its label."""

    id: RegionId
    box: Box
    label: SemanticLabel
    #: what the file called it ("title", "TextRegion/heading", ...), for display
    kind: str = ""


@dataclass
class Page:
    """A page read from a file, ready to be ordered and written back."""

    source: str
    format: str  # "json" or "page-xml"
    width: float | None
    height: float | None
    regions: list[Region]
    #: regions present in the file but not ordered (separators, noise)
    skipped: list[Region] = field(default_factory=list)
    #: the reading order stored in the file (region ids), if it has one
    reading_order: list[RegionId] | None = None
    #: the parsed JSON object, or the raw bytes of the XML file
    document: Any = None
    #: PAGE-XML imageFilename, if any
    image_filename: str | None = None

    @property
    def bounds(self) -> Box:
        """Page bounds: (0, 0, width, height), or the regions' union box."""
        if self.width is not None and self.height is not None:
            return (0.0, 0.0, float(self.width), float(self.height))
        return union_box(r.box for r in self.regions + self.skipped) or (0.0, 0.0, 0.0, 0.0)

    def compute_order(self, config: XYCutConfig | None = None) -> list[RegionId]:
        """Ids of the ordered regions, in reading order."""
        return order(
            [r.box for r in self.regions],
            [r.label for r in self.regions],
            [r.id for r in self.regions],
            page_bounds=self.bounds,
            config=config,
        )

    def explain(self) -> Explanation:
        """The order of the ordered regions with the cuts that made it (region ids)."""
        return explain(
            [r.box for r in self.regions],
            [r.label for r in self.regions],
            [r.id for r in self.regions],
            page_bounds=self.bounds,
        )

    def explanation_document(self) -> dict[str, Any]:
        """What ``quorlin order --explain`` writes for this page."""
        return {"source": self.source, **self.explain().to_dict()}


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


def shown_json(value: Any) -> str:
    """A JSON value for a message, written as JSON."""
    try:
        text = json.dumps(value, ensure_ascii=False)
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
