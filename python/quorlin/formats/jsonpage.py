"""JSON pages: read into a :class:`~quorlin.page.Page` and written back with their order.

The shape (see the README for every key)::

    {"width": 1000, "height": 1400,            # optional
     "elements": [{"id": "t", "box": [x1, y1, x2, y2], "label": "title"},
                  {"id": 7, "x1": 0, "y1": 0, "x2": 10, "y2": 10}],
     "order": [...]}                           # optional, written by quorlin

Elements may also carry a PAGE region "type" and "subtype" instead of a
label, as the JSON records of corpora converted from PAGE-XML do.  Every key
the reader does not know is kept and written back as it was.
"""

from __future__ import annotations

import json
import re
import uuid
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from _quorlin_core import SemanticLabel

from ..errors import PageError
from ..labels import SKIPPED_LABELS, SKIPPED_PAGE_TYPES, label_for, normalise_label_name, page_region_label, skipped_role
from ..page import Box, Page, Region, RegionId
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


def _fast_decoder() -> tuple[Callable[[bytes | str], Any] | None, tuple[type[Exception], ...]]:
    """msgspec's JSON decoder when it is installed (the ``fast`` extra).

    It reads a page about twice as fast as the standard library and gives the
    same values for every text it accepts: integers of any size, floats
    correctly rounded, the last of duplicate keys.  Everything it refuses
    (NaN and Infinity, numbers beyond double range, lone surrogates, invalid
    UTF-8, a byte-order mark, bad syntax, deep nesting) is read again by the
    standard library, whose result or message is then the one given.
    """
    try:
        import msgspec
    except ImportError:
        return None, ()
    return msgspec.json.Decoder().decode, (msgspec.MsgspecError, RecursionError)


_FAST_DECODE, _FAST_ERRORS = _fast_decoder()


def load_json(source: str, data: bytes | str) -> Any:
    """Parse the text of a JSON page (UTF-8 bytes, a leading BOM allowed, or a str).

    Raises :class:`PageError` naming ``source`` for text that is not UTF-8 or
    not JSON (with the line and column of the problem), and for NaN and
    Infinity, which JSON does not have.
    """
    if _FAST_DECODE is not None:
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


def _json_id(source: str, where: str, value: Any) -> RegionId:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise PageError(source, f"{where}: id must be an integer or a string, got {shown_json(value)}")
    return value


def _json_box(source: str, where: str, item: Mapping[str, Any]) -> Box:
    if "box" in item:
        box = item["box"]
        if not isinstance(box, list) or len(box) != 4:
            raise PageError(source, f"{where}: \"box\" must be a list of 4 numbers [x1, y1, x2, y2]")
        x1, y1, x2, y2 = (check_coordinate(source, f"{where}: box[{i}]", v) for i, v in enumerate(box))
        return (x1, y1, x2, y2)
    missing = [k for k in ("x1", "y1", "x2", "y2") if k not in item]
    if missing:
        raise PageError(
            source,
            f"{where}: missing coordinates (give \"box\": [x1, y1, x2, y2], or \"x1\", \"y1\", \"x2\", \"y2\")",
        )
    x1, y1, x2, y2 = (check_coordinate(source, f"{where}: {k}", item[k]) for k in ("x1", "y1", "x2", "y2"))
    return (x1, y1, x2, y2)


def _json_label(source: str, where: str, item: Mapping[str, Any]) -> tuple[SemanticLabel, str, bool]:
    """(label, kind, skipped) of one JSON element."""
    if "label" in item:
        text = item["label"]
        if not isinstance(text, str):
            raise PageError(source, f"{where}: \"label\" must be a string, got {shown_json(text)}")
        return label_for(text), text, normalise_label_name(text) in SKIPPED_LABELS
    if "type" in item and isinstance(item["type"], str):
        # region records converted from PAGE-XML: "type" is the PAGE element name
        subtype = item.get("subtype") if isinstance(item.get("subtype"), str) else ""
        label, kind = page_region_label(item["type"], subtype or "")
        return label, kind, item["type"] in SKIPPED_PAGE_TYPES
    return SemanticLabel.Regular, "", False


def page_from_json(obj: Any, source: str = "<json>") -> Page:
    """Validate a parsed JSON page and return it as a :class:`Page`.

    The shape (all keys other than these are kept and written back)::

        {"width": 1000, "height": 1400,            # optional
         "elements": [{"id": "t", "box": [x1, y1, x2, y2], "label": "title"},
                      {"id": 7, "x1": 0, "y1": 0, "x2": 10, "y2": 10}],
         "order": [...]}                           # optional, written by quorlin
    """
    if not isinstance(obj, dict):
        raise PageError(source, f"expected a JSON object with \"elements\", got {_json_kind(obj)}")
    width = height = None
    for key in ("width", "height"):
        if key in obj:
            value = check_coordinate(source, f"\"{key}\"", obj[key])
            if value < 0:
                raise PageError(source, f"\"{key}\" must not be negative")
            if key == "width":
                width = value
            else:
                height = value
    if "elements" not in obj:
        raise PageError(source, "missing \"elements\" (a list of elements with id, box and label)")
    items = obj["elements"]
    if not isinstance(items, list):
        raise PageError(source, f"\"elements\" must be a list, got {_json_kind(items)}")

    regions: list[Region] = []
    skipped: list[Region] = []
    seen: set[RegionId] = set()
    for index, item in enumerate(items):
        if not isinstance(item, dict):
            raise PageError(source, f"element {index} must be an object, got {_json_kind(item)}")
        rid = _json_id(source, f"element {index}", item["id"]) if "id" in item else index
        where = f"element {index} (id {shown_json(rid)})"
        if rid in seen:
            raise PageError(source, f"{where}: duplicate id")
        seen.add(rid)
        box = _json_box(source, where, item)
        label, kind, skip = _json_label(source, where, item)
        if skip:
            skipped.append(Region(rid, box, label, kind, skipped_role(str(item.get("label", item.get("type"))))))
        else:
            regions.append(Region(rid, box, label, kind))

    reading_order: list[RegionId] | None = None
    if "order" in obj:
        stored = obj["order"]
        if not isinstance(stored, list):
            raise PageError(source, "\"order\" must be a list of element ids")
        for rid in stored:
            if isinstance(rid, bool) or not isinstance(rid, (int, str)) or rid not in seen:
                raise PageError(source, f"\"order\" refers to unknown element id {shown_json(rid)}")
        reading_order = list(stored)
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
    back as that escape, since UTF-8 cannot hold it.
    """
    try:
        return _escape_surrogates(json.dumps(document, ensure_ascii=False, indent=indent, allow_nan=False))
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
            return _escape_surrogates(pattern.sub(lambda m: written[int(m.group(1))], text))


# JSON text is ASCII outside its strings, so a surrogate can only be inside one.
_SURROGATE = re.compile("[\ud800-\udfff]")


def _escape_surrogates(text: str) -> str:
    """JSON text with every lone surrogate as a \\uXXXX escape, which reads back as the same string."""
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group(0)):04x}", text)


def json_page_bytes(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """The JSON page with ``reading_order`` as its "order", as UTF-8 file contents."""
    return (dump_json(json_document(page, reading_order), indent=2) + "\n").encode("utf-8")
