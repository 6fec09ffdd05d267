"""Values read from page files, and how messages show them.

Every reader checks a coordinate the same way (:func:`check_coordinate`: a
finite number of at most 2^24 in magnitude, since the engine computes in
single precision) and shows the values of a file in its messages the same way:
whole when short, cut to :data:`SHOWN_CHARACTERS` with their length when long,
numbers exactly as the file wrote them or in a form that reads back as the
same number.
"""

from __future__ import annotations

import json
import math
import sys
from typing import Any

from .. import _native
from ..errors import PageError

__all__ = [
    "MAX_COORDINATE",
    "SHOWN_CHARACTERS",
    "check_coordinate",
    "OverflowedFloat",
    "parse_float",
    "number_text",
    "shown_text",
    "shown_name",
    "shown_json",
]

#: Largest coordinate magnitude accepted from a file (2**24, set by
#: ``quorlin._native``, whose JSON reader checks it too).  The module stores
#: coordinates as 32-bit floats, which hold every integer up to 2**24 exactly;
#: beyond that, neighbouring boxes can collapse onto the same value.
MAX_COORDINATE: float = _native.MAX_COORDINATE

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
        raise PageError(source, f"{where} = {shown} is out of range (at most {int(MAX_COORDINATE)} in magnitude)")
    return float(value)
