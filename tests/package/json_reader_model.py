"""The JSON page reader as the package had it in Python, kept as a model of
the one reader it has now (``quorlin._native.read_json_page`` with the
message table of ``quorlin.formats.jsonpage``): every page it accepts gives the
same Page, every page it refuses the same message."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from _quorlin_core import SemanticLabel

from quorlin.errors import PageError
from quorlin.formats.jsonpage import _json_kind
from quorlin.formats.values import check_coordinate, shown_json
from quorlin.labels import SKIPPED_LABELS, SKIPPED_PAGE_TYPES, label_for, normalise_label_name, page_region_label, skipped_role
from quorlin.page import Box, Page, Region, RegionId


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
    """The Page of a parsed JSON page, or the PageError of its first problem."""
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
