"""Layout detector output as input: JSON lists of detections, and COCO annotations.

Two shapes are read:

* ``detections``: a JSON list of objects, each with a box as
  ``x1, y1, x2, y2`` (under "box", "bbox", "xyxy" as a list of four numbers
  or an object with x1/y1/x2/y2 or xmin/ymin/xmax/ymax, or those keys on
  the detection itself), a class name ("label", "class_name", "name",
  "category", or "class" when it is a string) and optionally a score
  ("score", "confidence", "conf");
* ``coco``: COCO-style ``[x, y, width, height]`` boxes under "bbox" with a
  "category_id": a list of such annotations (a COCO results file), or a
  COCO object with "annotations" and optionally "categories" (which names
  the classes) and "images" (whose width and height give the page size).

With the format "auto", a detection with both "bbox" and "category_id" is
COCO-style; every other "bbox" is ``x1, y1, x2, y2``.  Separators and
noise ("separator", "noise" classes) are not ordered.

The region ids are the detections' positions in the list.  Written back,
the list (a COCO object's "annotations") is in reading order, each ordered
detection with its 0-based place as "reading_order"; detections that are
not ordered follow, in their old order.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from _quorlin_core import SemanticLabel

from ..errors import PageError
from .jsonpage import dump_json
from ..labels import SKIPPED_LABELS, label_for, normalise_label_name, skipped_role
from ..page import Box, Page, Region, RegionId
from .values import check_coordinate, shown_json

__all__ = ["DETECTION_FORMATS", "looks_like_detections", "page_from_detections", "detections_document",
           "detections_bytes", "from_detections"]

DETECTION_FORMATS = ("detections", "coco")

_BOX_KEYS = ("box", "bbox", "xyxy")
_CORNER_KEYS = (("x1", "y1", "x2", "y2"), ("xmin", "ymin", "xmax", "ymax"))
_NAME_KEYS = ("label", "class_name", "name", "category", "class")
_SCORE_KEYS = ("score", "confidence", "conf")


def _kind(value: Any) -> str:
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, list):
        return "a list"
    return shown_json(value)


def looks_like_detections(value: Any) -> bool:
    """Whether a JSON value is detector output rather than a JSON page: a
    list of objects (or an empty list), or an object with "annotations"."""
    if isinstance(value, list):
        return all(isinstance(item, dict) for item in value[:1])
    return isinstance(value, dict) and "annotations" in value and "elements" not in value


def _detected_shape(value: Any) -> str:
    """"coco" or "detections", as the value looks."""
    if isinstance(value, dict):
        return "coco"
    if isinstance(value, list):
        for item in value:
            if isinstance(item, dict):
                return "coco" if "bbox" in item and "category_id" in item else "detections"
    return "detections"


def _numbers(source: str, where: str, values: Sequence[Any]) -> list[float]:
    return [check_coordinate(source, f"{where}[{i}]", v) for i, v in enumerate(values)]


def _xyxy(source: str, where: str, item: Mapping[str, Any]) -> Box:
    for key in _BOX_KEYS:
        if key not in item:
            continue
        box = item[key]
        if isinstance(box, list):
            if len(box) != 4:
                raise PageError(source, f"{where}: \"{key}\" must hold 4 numbers [x1, y1, x2, y2], got {len(box)}")
            x1, y1, x2, y2 = _numbers(source, f"{where}: {key}", box)
            return (x1, y1, x2, y2)
        if isinstance(box, dict):
            for names in _CORNER_KEYS:
                if all(n in box for n in names):
                    x1, y1, x2, y2 = (check_coordinate(source, f"{where}: {key}.{n}", box[n]) for n in names)
                    return (x1, y1, x2, y2)
        raise PageError(source, f"{where}: \"{key}\" must be [x1, y1, x2, y2] or an object with x1, y1, x2, y2, "
                                f"got {shown_json(box)}")
    for names in _CORNER_KEYS:
        if all(n in item for n in names):
            x1, y1, x2, y2 = (check_coordinate(source, f"{where}: {n}", item[n]) for n in names)
            return (x1, y1, x2, y2)
    raise PageError(source, f"{where}: no box (give \"box\": [x1, y1, x2, y2], or x1, y1, x2, y2)")


def _xywh(source: str, where: str, item: Mapping[str, Any]) -> Box:
    box = item.get("bbox")
    if not isinstance(box, list) or len(box) != 4:
        raise PageError(source, f"{where}: \"bbox\" must be a list of 4 numbers [x, y, width, height]")
    x, y, w, h = _numbers(source, f"{where}: bbox", box)
    return (x, y, check_coordinate(source, f"{where}: x + width", x + w),
            check_coordinate(source, f"{where}: y + height", y + h))


def _class_name(item: Mapping[str, Any], categories: Mapping[Any, str] | None) -> str:
    for key in _NAME_KEYS:
        value = item.get(key)
        if isinstance(value, str):
            return value
    for key in ("category_id", "class", "class_id"):
        value = item.get(key)
        if isinstance(value, (int, str)) and not isinstance(value, bool):
            if categories is not None and value in categories:
                return categories[value]
            return f"{key.replace('_id', '')} {value}"
    return ""


def _key(source: str, where: str, value: Any) -> Any:
    """An id that COCO matches on (category, image): a number, a string or null, never a list or object."""
    if isinstance(value, (list, dict)):
        raise PageError(source, f"{where} must be a number or a string, got {shown_json(value)}")
    return value


def _coco_categories(source: str, table: Any) -> dict[Any, str]:
    if not isinstance(table, list):
        raise PageError(source, f"\"categories\" must be a list, got {_kind(table)}")
    names: dict[Any, str] = {}
    for i, entry in enumerate(table):
        if not isinstance(entry, dict) or "id" not in entry or not isinstance(entry.get("name"), str):
            raise PageError(source, f"categories[{i}] must be an object with \"id\" and \"name\"")
        names[_key(source, f"categories[{i}]: \"id\"", entry["id"])] = entry["name"]
    return names


def _items(source: str, value: Any, shape: str) -> tuple[list[Any], dict[Any, str] | None, float | None, float | None]:
    """(detections, category names, width, height) of a detections value."""
    if isinstance(value, list):
        return value, None, None, None
    if shape == "coco" and isinstance(value, dict):
        if "annotations" not in value:
            raise PageError(source, "COCO object without \"annotations\"")
        items = value["annotations"]
        if not isinstance(items, list):
            raise PageError(source, f"\"annotations\" must be a list, got {_kind(items)}")
        categories = _coco_categories(source, value["categories"]) if "categories" in value else None
        width = height = None
        images = value.get("images")
        image_ids = {_key(source, f"annotations[{i}]: \"image_id\"", a.get("image_id"))
                     for i, a in enumerate(items) if isinstance(a, dict)}
        if len(image_ids) > 1:
            raise PageError(source, f"annotations of {len(image_ids)} images; give one image per file "
                                    "(or one per line of JSON Lines)")
        if isinstance(images, list):
            matching = [im for i, im in enumerate(images) if isinstance(im, dict)
                        and (not image_ids or _key(source, f"images[{i}]: \"id\"", im.get("id")) in image_ids)]
            if len(matching) == 1:
                image = matching[0]
                if "width" in image and "height" in image:
                    width = check_coordinate(source, "images[].width", image["width"])
                    height = check_coordinate(source, "images[].height", image["height"])
        return items, categories, width, height
    raise PageError(source, f"expected a list of detections, got {_kind(value)}")


def page_from_detections(
    value: Any,
    source: str = "<detections>",
    fmt: str = "auto",
    categories: Mapping[Any, str] | None = None,
) -> Page:
    """Read detector output (see the module doc) into a :class:`Page`.

    ``fmt`` is "detections" (boxes are x1, y1, x2, y2), "coco" (boxes are
    x, y, width, height) or "auto".  ``categories`` maps category ids to
    class names, for COCO results that come without their table.
    """
    if fmt not in ("auto", *DETECTION_FORMATS):
        raise ValueError(f"unknown detections format {fmt!r}")
    shape = _detected_shape(value) if fmt == "auto" else fmt
    items, table, width, height = _items(source, value, shape)
    names = dict(categories or {})
    names.update(table or {})
    regions: list[Region] = []
    skipped: list[Region] = []
    for index, item in enumerate(items):
        where = f"detection {index}"
        if not isinstance(item, dict):
            raise PageError(source, f"{where} must be an object, got {_kind(item)}")
        coco = shape == "coco"
        box = _xywh(source, where, item) if coco else _xyxy(source, where, item)
        for key in _SCORE_KEYS:
            if key in item and (isinstance(item[key], bool) or not isinstance(item[key], (int, float))):
                raise PageError(source, f"{where}: \"{key}\" must be a number, got {shown_json(item[key])}")
        name = _class_name(item, names or None)
        if normalise_label_name(name) in SKIPPED_LABELS:
            skipped.append(Region(index, box, SemanticLabel.Regular, name, skipped_role(name)))
        else:
            regions.append(Region(index, box, label_for(name), name))
    return Page(source, "coco" if shape == "coco" else "detections", width, height, regions, skipped, None, value)


def detections_document(page: Page, reading_order: Sequence[RegionId]) -> Any:
    """The detections in ``reading_order``, each with its "reading_order"; the rest after them, without one."""
    value = page.document
    items = value["annotations"] if isinstance(value, dict) else value
    if not isinstance(items, list):
        raise ValueError("page was not read from detections")
    placed: list[Any] = []
    seen: set[int] = set()
    for place, rid in enumerate(reading_order):
        if not isinstance(rid, int) or not 0 <= rid < len(items) or rid in seen:
            raise ValueError(f"reading order refers to unknown detection {rid!r}")
        seen.add(rid)
        placed.append({**items[rid], "reading_order": place})
    # a "reading_order" left from an earlier run would give an unordered detection a place
    placed.extend({k: v for k, v in item.items() if k != "reading_order"} if isinstance(item, dict) else item
                  for i, item in enumerate(items) if i not in seen)
    if isinstance(value, dict):
        return {**value, "annotations": placed}
    return placed


def detections_bytes(page: Page, reading_order: Sequence[RegionId]) -> bytes:
    """:func:`detections_document` as UTF-8 JSON file contents."""
    return (dump_json(detections_document(page, reading_order), indent=2) + "\n").encode("utf-8")


def _plain(value: Any, depth: int = 0) -> Any:
    """Detector output held in Python as the reader reads JSON: tuples as
    lists, mappings as dicts, NumPy arrays and scalars as lists and numbers
    (their ``tolist()``). Only as deep as detections go (a COCO object's
    annotations' boxes' numbers); anything else is left to the reader, which
    names it."""
    if depth > 4 or isinstance(value, (str, bytes)):
        return value
    if isinstance(value, Mapping):
        return {key: _plain(item, depth + 1) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item, depth + 1) for item in value]
    to_list = getattr(value, "tolist", None)
    if callable(to_list) and hasattr(value, "dtype"):  # a NumPy array or scalar
        plain = to_list()
        return _plain(plain, depth) if isinstance(plain, list) else plain
    return value


def from_detections(
    detections: Any,
    *,
    format: str = "auto",  # noqa: A002 - the name the command line uses
    categories: Mapping[Any, str] | None = None,
) -> tuple[list[Box], list[str]]:
    """Boxes (x1, y1, x2, y2) and class names of detector output, for :func:`quorlin.order`.

    ``quorlin.order(*from_detections(dets))`` gives the positions of the
    detections in reading order.  ``detections`` is read as a detections
    file is (a list of objects, or a COCO object), with tuples, mappings and
    NumPy arrays and numbers taken as the lists, objects and numbers they
    hold.  Every detection is returned, separators
    included (``order`` does not know them; leave them out or pass them as
    ``separators=``).  Raises :class:`quorlin.PageError` for output it
    cannot read.
    """
    page = page_from_detections(_plain(detections), "<detections>", format, categories)
    every = sorted(page.regions + page.skipped, key=lambda r: int(r.id))
    return [r.box for r in every], [r.kind for r in every]
