"""quorlin.order(): reading order of plain boxes, without building Elements by hand."""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeVar, Union, overload

from _quorlin_core import Element, SemanticLabel, XYCutConfig, compute_order_mervane

from .labels import label_for

__all__ = ["order", "union_box", "Box", "BoxesLike"]

T = TypeVar("T")

#: A box as (x1, y1, x2, y2), y growing down the page, corners in any order.
Box = tuple[float, float, float, float]

_Number = Union[SupportsFloat, SupportsIndex]


class _ArrayLike(Protocol):
    """What order() needs from an N x 4 array (a NumPy array, for example)."""

    @property
    def shape(self) -> tuple[int, ...]: ...

    def tolist(self) -> Any: ...


BoxesLike = Union[Sequence[Sequence[_Number]], _ArrayLike]
LabelsLike = Union[Sequence[Union[SemanticLabel, str]], _ArrayLike, None]


def _as_list(values: Any, what: str) -> list[Any]:
    """Turn a sequence or an array into a plain list (NumPy stays optional)."""
    if hasattr(values, "tolist") and hasattr(values, "shape"):
        return list(values.tolist())
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{what} must be a sequence, not {type(values).__name__}")
    try:
        return list(values)
    except TypeError:
        raise TypeError(f"{what} must be a sequence, not {type(values).__name__}") from None


def _box(index: int, box: Any, what: str = "box") -> Box:
    if isinstance(box, (str, bytes)):
        raise TypeError(f"{what} {index}: expected 4 numbers, got {type(box).__name__}")
    try:
        values = tuple(box)
    except TypeError:
        raise TypeError(f"{what} {index}: expected 4 numbers, got {type(box).__name__}") from None
    if len(values) != 4:
        raise ValueError(f"{what} {index}: expected 4 numbers (x1, y1, x2, y2), got {len(values)}")
    try:
        x1, y1, x2, y2 = (float(v) for v in values)
    except (TypeError, ValueError):
        raise TypeError(f"{what} {index}: coordinates must be numbers, got {values!r}") from None
    return x1, y1, x2, y2


def _box_list(boxes: Any, name: str, what: str) -> list[Box]:
    """A sequence of boxes or an N x 4 array as a list of 4-tuples of floats."""
    if hasattr(boxes, "shape") and hasattr(boxes, "tolist"):
        shape = tuple(boxes.shape)
        if not (len(shape) == 2 and shape[1] == 4) and shape != (0,):
            raise ValueError(f"{name} must be an N x 4 array, got shape {shape}")
    return [_box(i, b, what) for i, b in enumerate(_as_list(boxes, name))]


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


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    config: XYCutConfig | None = None,
    separators: BoxesLike | None = None,
) -> list[int]: ...


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    *,
    ids: Sequence[T],
    page_bounds: tuple[float, float, float, float] | None = None,
    config: XYCutConfig | None = None,
    separators: BoxesLike | None = None,
) -> list[T]: ...


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike,
    ids: Sequence[T],
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    config: XYCutConfig | None = None,
    separators: BoxesLike | None = None,
) -> list[T]: ...


def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: Sequence[Any] | None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    config: XYCutConfig | None = None,
    separators: BoxesLike | None = None,
) -> list[Any]:
    """Return ``ids`` (default: the box indices 0..n-1) in reading order.

    ``boxes`` is a sequence of ``(x1, y1, x2, y2)`` or an N x 4 array, with
    y growing down the page.  ``labels`` (optional) holds one SemanticLabel or
    detector class name per box (see LABELS); labels are passed on to the
    module but do not change the order.  ``ids`` may be any objects, one per
    box; they are returned as given, duplicates included.  ``page_bounds``
    defaults to the bounding box of all boxes.

    ``separators`` (optional, a sequence of boxes or an N x 4 array, checked
    like ``boxes``) are the rules and separator lines of the page: never
    ordered themselves, they are evidence of its columns and rows for an
    ordering profile that uses it.  The exact XY-cut of the default profile
    does not use them, so they do not change the order it returns.
    """
    box_list = _box_list(boxes, "boxes", "box")
    n = len(box_list)
    if separators is not None:
        _box_list(separators, "separators", "separator")

    if labels is None:
        label_list = [SemanticLabel.Regular] * n
    else:
        raw_labels = _as_list(labels, "labels")
        if len(raw_labels) != n:
            raise ValueError(f"got {len(raw_labels)} labels for {n} boxes")
        label_list = []
        for i, lab in enumerate(raw_labels):
            if not isinstance(lab, (SemanticLabel, str)):
                raise TypeError(f"label {i}: expected a SemanticLabel or a class name, got {type(lab).__name__}")
            label_list.append(label_for(lab))

    id_list: list[Any] | None = None
    if ids is not None:
        id_list = _as_list(ids, "ids")
        if len(id_list) != n:
            raise ValueError(f"got {len(id_list)} ids for {n} boxes")

    # The module orders unsigned integer ids; the box index is used as the
    # module's id so that callers may use any objects (strings, duplicates).
    elements = [Element(i, *box, label_list[i]) for i, box in enumerate(box_list)]
    if page_bounds is None:
        page_bounds = union_box(box_list) or (0.0, 0.0, 0.0, 0.0)
    bx1, by1, bx2, by2 = page_bounds
    indices = compute_order_mervane(elements, (bx1, by1, bx2, by2), config)
    if id_list is None:
        return list(indices)
    return [id_list[i] for i in indices]
