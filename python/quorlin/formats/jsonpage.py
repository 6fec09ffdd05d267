"""JSON pages: read into a :class:`~quorlin.page.Page` and written back with their order.

The shape (see docs/formats.md for every key)::

    {"width": 1000, "height": 1400,            # optional
     "elements": [{"id": "t", "box": [x1, y1, x2, y2], "label": "title"},
                  {"id": 7, "x1": 0, "y1": 0, "x2": 10, "y2": 10}],
     "order": [...]}                           # optional, written by quorlin

Elements may also carry a PAGE region "type" and "subtype" instead of a
label, as the JSON records of corpora converted from PAGE-XML do.  Every key
the reader does not know is kept and written back as it was.
"""

from __future__ import annotations

import functools
import json
import re
import uuid
from collections.abc import Callable, Sequence
from typing import Any, Union

import msgspec
from _quorlin_core import SemanticLabel

from .. import _native
from ..errors import PageError
from ..labels import SKIPPED_LABELS, SKIPPED_PAGE_TYPES, label_for, normalise_label_name, page_region_label, skipped_role
from ..page import Page, Region, RegionId
from .values import check_coordinate, OverflowedFloat, parse_float, shown_json

__all__ = ["load_json", "dump_json", "page_from_json", "json_document", "json_page_bytes"]


def _json_kind(value: Any) -> str:
    """What a JSON value is, in the words the messages use."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "list"
    if isinstance(value, dict):
        return "object"
    return type(value).__name__


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number in JSON")


# What json.loads(data, parse_constant=..., parse_float=...) builds on every
# call, built once.
_DECODER = json.JSONDecoder(parse_constant=_reject_constant, parse_float=parse_float)


# msgspec's JSON decoder reads a page about twice as fast as the standard
# library and gives the same values for every text it accepts: integers of any
# size, floats correctly rounded, the last of duplicate keys.  Everything it
# refuses (NaN and Infinity, numbers beyond double range, lone surrogates,
# invalid UTF-8, a byte-order mark, bad syntax, deep nesting) is read again by
# the standard library, whose result or message is then the one given.
_FAST_DECODE: Callable[[bytes | str], Any] = msgspec.json.Decoder().decode
_FAST_ERRORS: tuple[type[Exception], ...] = (msgspec.MsgspecError, RecursionError)


#: Lists and objects nested deeper than this are refused.  Both parsers and
#: the indented writer recurse once per level, up to Python's recursion
#: limit (1000 frames) less the frames of their callers, so what they take
#: would depend on where they are called from (a worker process, a JSON Lines
#: run); the writer's own frames come on top.  A fixed limit well below that
#: gives the same answer every way, and a value the writer can always write.
MAX_JSON_DEPTH = 256


def load_json(source: str, data: bytes | str) -> Any:
    """Parse the text of a JSON page (UTF-8 bytes, a leading BOM allowed, or a str).

    Raises :class:`PageError` naming ``source`` for text that is not UTF-8 or
    not JSON (with the line and column of the problem), for NaN and
    Infinity, which JSON does not have, and for lists and objects nested
    more than :data:`MAX_JSON_DEPTH` deep.
    """
    value = _parse(source, data)
    # a text with no more brackets than the limit cannot nest deeper: most pages are not walked
    brackets = (data.count(b"[") + data.count(b"{") if isinstance(data, bytes)
                else data.count("[") + data.count("{"))
    if brackets > MAX_JSON_DEPTH and _deeper_than(value, MAX_JSON_DEPTH):
        raise PageError(source, "invalid JSON: nested too deeply")
    return value


def _deeper_than(value: Any, limit: int) -> bool:
    """Whether lists and objects nest more than ``limit`` deep in a parsed JSON value.

    Walked a level at a time, without recursion.
    """
    # the lists and objects at depth 1, 2, ...
    level = [value] if isinstance(value, (list, dict)) else []
    for _ in range(limit):
        if not level:
            return False
        level = [item for container in level for item in (container.values() if isinstance(container, dict)
                                                           else container) if isinstance(item, (list, dict))]
    return bool(level)


def _parse(source: str, data: bytes | str) -> Any:
    """The JSON value of ``data``, with the messages of :func:`load_json`."""
    try:
        return _FAST_DECODE(data)
    except _FAST_ERRORS:
        pass  # the standard library decides, and gives the message
    if isinstance(data, bytes):
        try:
            data = data.decode("utf-8-sig")
        except UnicodeDecodeError as exc:
            raise PageError(source, f"not UTF-8 text (byte {exc.start})") from None
    try:
        if data.startswith("\ufeff"):  # json.loads refuses it with its own message
            return json.loads(data, parse_constant=_reject_constant, parse_float=parse_float)
        return _DECODER.decode(data)
    except json.JSONDecodeError as exc:
        position = f"line {exc.lineno} column {exc.colno}"
        if exc.msg.endswith(" at"):  # "Invalid control character at", "Unterminated string starting at"
            raise PageError(source, f"invalid JSON: {exc.msg} {position}") from None
        raise PageError(source, f"invalid JSON at {position}: {exc.msg}") from None
    except RecursionError:
        raise PageError(source, "invalid JSON: nested too deeply") from None
    except ValueError as exc:  # NaN/Infinity literals, integers with too many digits
        raise PageError(source, f"invalid JSON: {exc}") from None


@functools.lru_cache(maxsize=1024)
def element_label(label: str | None, tag: str | None, subtype: str) -> tuple[SemanticLabel, str, str]:
    """(label, kind, role) of a JSON element with this "label" text, else with
    this "type" text (a PAGE region type, and its "subtype" text or ""), else
    of a plain element; role is "" for a region to order, else "separator" or
    "noise" for one the page keeps but does not order."""
    if label is not None:
        skipped = normalise_label_name(label) in SKIPPED_LABELS
        return label_for(label), label, skipped_role(label) if skipped else ""
    if tag is not None:
        semantic, kind = page_region_label(tag, subtype)
        return semantic, kind, skipped_role(tag) if tag in SKIPPED_PAGE_TYPES else ""
    return SemanticLabel.Regular, "", ""


#: A problem of a page, as the reader reports it: (kind, element index, element
#: id, key or box position, value), None for what the kind does not name.
_Problem = tuple[str, Union[int, None], Any, Any, Any]


def _element(problem: _Problem) -> str:
    """How a message names the element of a problem ("element 3 (id 7)")."""
    _, index, rid, _, _ = problem
    return f"element {index} (id {shown_json(rid)})"


def _coordinate(where: str, value: Any) -> str:
    """The problem check_coordinate reports for a value the reader refused."""
    try:
        check_coordinate("", where, value)
    except PageError as exc:
        return exc.problem
    raise AssertionError(f"the JSON reader refused {where} = {value!r}, which check_coordinate accepts")


#: The message of each kind of problem; built only for a page that has one.
_MESSAGES: dict[str, Callable[[_Problem], str]] = {
    "not_an_object": lambda p: f"expected a JSON object with \"elements\", got {_json_kind(p[4])}",
    "bad_size": lambda p: _coordinate(f"\"{p[3]}\"", p[4]),
    "negative_size": lambda p: f"\"{p[3]}\" must not be negative",
    "no_elements": lambda p: "missing \"elements\" (a list of elements with id, box and label)",
    "elements_not_a_list": lambda p: f"\"elements\" must be a list, got {_json_kind(p[4])}",
    "element_not_an_object": lambda p: f"element {p[1]} must be an object, got {_json_kind(p[4])}",
    "bad_id": lambda p: f"element {p[1]}: id must be an integer or a string, got {shown_json(p[4])}",
    "duplicate_id": lambda p: f"{_element(p)}: duplicate id",
    "box_not_four": lambda p: f"{_element(p)}: \"box\" must be a list of 4 numbers [x1, y1, x2, y2]",
    "bad_box_value": lambda p: _coordinate(f"{_element(p)}: box[{p[3]}]", p[4]),
    "missing_corners": lambda p: (f"{_element(p)}: missing coordinates (give \"box\": [x1, y1, x2, y2], "
                                  "or \"x1\", \"y1\", \"x2\", \"y2\")"),
    "bad_corner": lambda p: _coordinate(f"{_element(p)}: {p[3]}", p[4]),
    "label_not_text": lambda p: f"{_element(p)}: \"label\" must be a string, got {shown_json(p[4])}",
    "order_not_a_list": lambda p: "\"order\" must be a list of element ids",
    "unknown_order_id": lambda p: f"\"order\" refers to unknown element id {shown_json(p[4])}",
}


def page_problem(source: str, problem: _Problem) -> PageError:
    """The error of a page the reader (``quorlin._native``) refused."""
    return PageError(source, _MESSAGES[problem[0]](problem))


def page_from_json(obj: Any, source: str = "<json>") -> Page:
    """Validate a parsed JSON page and return it as a :class:`Page`.

    The shape (all keys other than these are kept and written back)::

        {"width": 1000, "height": 1400,            # optional
         "elements": [{"id": "t", "box": [x1, y1, x2, y2], "label": "title"},
                      {"id": 7, "x1": 0, "y1": 0, "x2": 10, "y2": 10}],
         "order": [...]}                           # optional, written by quorlin

    The page is read and checked by ``quorlin._native`` (the package's one
    reader of JSON pages); a page that is not valid raises :class:`PageError`
    naming its first problem.
    """
    read = _native.read_json_page(obj, element_label, Region)
    if read[1] is not None:
        raise page_problem(source, read[1])
    width, height, regions, skipped, reading_order = read[0]
    return Page(source, "json", width, height, regions, skipped, reading_order, obj)


def json_document(page: Page, reading_order: Sequence[RegionId]) -> dict[str, Any]:
    """A copy of the page's JSON object with "order" set to ``reading_order``."""
    document = dict(page.document) if isinstance(page.document, dict) else {}
    document["order"] = list(reading_order)
    return document


def _with_placeholders(value: Any, token: str, written: list[str]) -> Any:
    """A copy of ``value`` whose overflowed numbers are placeholder strings
    (``token`` and a number); ``written`` collects their texts in order."""
    if isinstance(value, OverflowedFloat):
        written.append(value.written)
        return f"{token}{len(written) - 1}"
    if isinstance(value, dict):
        return {k: _with_placeholders(v, token, written) for k, v in value.items()}
    if isinstance(value, list):
        return [_with_placeholders(v, token, written) for v in value]
    return value


def dump_json(document: Any, *, indent: int | None = None) -> str:
    """``document`` as JSON text, as the package writes pages.

    A number too large for a double (1e400 in the input) is written back as
    the input wrote it, never as the ``Infinity`` that JSON does not have.
    A lone surrogate in a string (``"\\ud800"`` in the input) is written
    back as that escape, since UTF-8 cannot hold it.  Indented, a list of
    numbers (a box) stays on one line.
    """
    try:
        return _finish(json.dumps(document, ensure_ascii=False, indent=indent, allow_nan=False))
    except ValueError:
        pass  # an overflowed number somewhere: rare, so found by a second pass
    while True:
        # A random token behind a NUL (which JSON text always escapes), so
        # that no string of the document can be taken for a placeholder.
        token = f"\x00{uuid.uuid4().hex}-"
        written: list[str] = []
        text = json.dumps(_with_placeholders(document, token, written), ensure_ascii=False, indent=indent)
        pattern = re.compile('"' + re.escape(json.dumps(token)[1:-1]) + r'(\d+)"')
        if len(pattern.findall(text)) == len(written):
            return _finish(pattern.sub(lambda m: written[int(m.group(1))], text))


# An indented list of numbers only.  A line break is never inside a JSON
# string (it is escaped there), so one between "[" and a number is the
# indentation's, and text inside strings is never matched.
_NUMBER = r"-?(?:0|[1-9][0-9]*+)(?:\.[0-9]++)?(?:[eE][+-]?[0-9]++)?"
_NUMBER_LIST = re.compile(rf"\[\n\s*+({_NUMBER}(?:,\n\s*+{_NUMBER})*+)\n\s*+\]")
_LIST_BREAK = re.compile(r",\n\s*+")


def _finish(text: str) -> str:
    """Lists of numbers on one line; lone surrogates escaped."""
    if "\n" in text:
        text = _NUMBER_LIST.sub(lambda m: "[" + _LIST_BREAK.sub(", ", m.group(1)) + "]", text)
    return _escape_surrogates(text)


# JSON text is ASCII outside its strings, so a surrogate can only be inside one.
_SURROGATE = re.compile("[\ud800-\udfff]")


def _escape_surrogates(text: str) -> str:
    """JSON text with every lone surrogate as a \\uXXXX escape, which reads back as the same string."""
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group(0)):04x}", text)


def json_page_bytes(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """The JSON page with ``reading_order`` as its "order", as UTF-8 file contents."""
    return (dump_json(json_document(page, reading_order), indent=2) + "\n").encode("utf-8")
