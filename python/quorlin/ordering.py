"""quorlin.order(): reading order of plain boxes, without building Elements by hand.

The boxes go to the package's own extension module, ``quorlin._native``: an
N x 4 array (or a sequence of 4-item sequences) is converted once in C++,
the engine orders it (without the interpreter lock on large pages) and the
order comes back as a list or a NumPy int64 array.  That module logs
nothing; when the ``quorlinpy`` loggers have DEBUG enabled (``quorlin
--verbose``), the order is computed by ``_quorlin_core`` instead, whose log
lines then show every step of it.  Both give the same order.
"""

from __future__ import annotations

import logging
import math
import operator
from collections.abc import Iterable, Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypeVar, Union, overload

from _quorlin_core import Element, SemanticLabel, XYCutConfig, compute_order_mervane

from . import _native
from .labels import label_for

__all__ = ["order", "union_box", "Box", "BoxesLike", "native_boxes", "check_order_arguments", "logging_debug"]

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


_MODULE_LOGGER = logging.getLogger("quorlinpy")
_ENGINE_LOGGER = logging.getLogger("quorlinpy.mervane")


def logging_debug() -> bool:
    """Whether the module's debug lines are wanted (as ``quorlin --verbose`` asks)."""
    return _MODULE_LOGGER.isEnabledFor(logging.DEBUG) or _ENGINE_LOGGER.isEnabledFor(logging.DEBUG)


def _is_buffer(value: Any) -> bool:
    try:
        memoryview(value).release()
    except TypeError:
        return False
    return not isinstance(value, (bytes, bytearray))


def native_boxes(boxes: Any) -> Any:
    """What ``quorlin._native`` reads for ``boxes``: an array with the buffer
    protocol or a list or tuple of boxes as it is, any other array through its
    ``tolist()``, any other iterable as a list (read once here, so that a
    failure can be reported from the same list)."""
    if isinstance(boxes, (list, tuple)):
        return boxes
    if hasattr(boxes, "shape") and hasattr(boxes, "tolist"):
        if _is_buffer(boxes):
            return boxes
        shape = tuple(boxes.shape)
        if not (len(shape) == 2 and shape[1] == 4) and shape != (0,):
            raise ValueError(f"boxes: expected an N x 4 array of numbers, got shape {shape}")
        return boxes.tolist()
    if _is_buffer(boxes):
        return boxes
    return _as_list(boxes, "boxes")


def _python_boxes(boxes: Any) -> list[Box]:
    """The boxes converted one by one in Python: what ``quorlin.order`` has always
    accepted (numbers as text, too), with its messages for what it does not."""
    return [_box(i, b) for i, b in enumerate(_as_list(boxes, "boxes"))]


def _native_call(function: Any, boxes: Any, **kwargs: Any) -> Any:
    """Call a function of quorlin._native; a sequence it refuses is converted by
    the Python reader, which raises its own message or hands over plain tuples."""
    try:
        return function(boxes, **kwargs)
    except (TypeError, ValueError):
        if isinstance(boxes, (list, tuple)):
            return function(_python_boxes(boxes), **kwargs)
        raise


def check_order_arguments(n: int, labels: Any, ids: Any, page_bounds: Any, config: Any) -> list[Any] | None:
    """Check the arguments beside the boxes as the module checks them; return the ids as a list."""
    if labels is not None:
        raw_labels = _as_list(labels, "labels")
        if len(raw_labels) != n:
            raise ValueError(f"got {len(raw_labels)} labels for {n} boxes")
        for i, lab in enumerate(raw_labels):
            if not isinstance(lab, (SemanticLabel, str)):
                raise TypeError(f"label {i}: expected a SemanticLabel or a class name, got {type(lab).__name__}")
    if page_bounds is not None:
        bx1, by1, bx2, by2 = page_bounds
        for value in (bx1, by1, bx2, by2):
            if not isinstance(value, (int, float)) and not hasattr(value, "__float__") \
                    and not hasattr(value, "__index__"):
                raise TypeError(f"argument 'page_bounds': must be real number, not {type(value).__name__}")
    if config is not None and not isinstance(config, XYCutConfig):
        raise TypeError(f"argument 'config': '{type(config).__qualname__}' object is not an instance of 'XYCutConfig'")
    if ids is None:
        return None
    id_list = _as_list(ids, "ids")
    if len(id_list) != n:
        raise ValueError(f"got {len(id_list)} ids for {n} boxes")
    return id_list


def _core_order(box_list: list[Box], labels: Any, page_bounds: Any, config: Any) -> list[int]:
    """The order computed by _quorlin_core, which logs every step of it."""
    n = len(box_list)
    label_list = [SemanticLabel.Regular] * n if labels is None else [label_for(v) for v in _as_list(labels, "labels")]
    # The box index is the module's id, so that callers may use any ids.
    elements = [Element(i, *box, label_list[i]) for i, box in enumerate(box_list)]
    if page_bounds is None:
        page_bounds = union_box(box_list) or (0.0, 0.0, 0.0, 0.0)
    bx1, by1, bx2, by2 = page_bounds
    return compute_order_mervane(elements, (bx1, by1, bx2, by2), config)


def _core_boxes(boxes: Any) -> list[Box]:
    """The boxes as the core's path reads them: through float(), which gives
    exactly what the native conversion gives (double, then single precision)."""
    data = native_boxes(boxes)
    if _is_buffer(data):
        _native.order(data)  # the native reader's checks and messages
        data = data.tolist() if hasattr(data, "tolist") else memoryview(data).tolist()
    return _python_boxes(data)


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    config: XYCutConfig | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    as_array: Literal[False] = False,
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
    exact: bool = False,
    as_array: Literal[False] = False,
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
    exact: bool = False,
    as_array: Literal[False] = False,
) -> list[T]: ...


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    config: XYCutConfig | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    as_array: Literal[True],
) -> Any: ...


def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: Sequence[Any] | None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    config: XYCutConfig | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    as_array: bool = False,
) -> Any:
    """Return ``ids`` (default: the box indices 0..n-1) in reading order.

    ``boxes`` is an N x 4 array (NumPy, any number dtype, or anything with the
    buffer protocol) or a sequence of ``(x1, y1, x2, y2)``, with y growing
    down the page.  ``labels`` (optional) holds one SemanticLabel or detector
    class name per box (see LABELS); they are checked but do not change the
    order.  ``ids`` may be any objects, one per box; they are returned as
    given, duplicates included.  ``page_bounds`` and ``config`` are checked
    and take no part in the order.

    ``separators`` (optional, a sequence of boxes or an N x 4 array, checked
    like ``boxes``) are the rules and separator lines of the page: never
    ordered themselves, they are evidence of its columns and rows for an
    ordering profile that uses it.  The exact XY-cut does not use them, so
    they do not change the order it returns.

    ``exact=True`` gives exactly the order of ``compute_order_mervane`` on the
    same boxes; the default (``exact=False``) is the package's recommended
    ordering, today the same.  ``as_array=True`` returns the box indices as a
    NumPy int64 array instead of a list (with ``ids=None`` only: index your
    own array of ids with it).
    """
    if as_array and ids is not None:
        raise ValueError("as_array=True returns box indices: pass ids=None and index your ids with the result")
    if logging_debug():
        box_list = _core_boxes(boxes)
        if separators is not None:
            _box_list(separators, "separators", "separator")
        id_list = check_order_arguments(len(box_list), labels, ids, page_bounds, config)
        indices = _core_order(box_list, labels, page_bounds, config)
        if as_array:
            import numpy

            return numpy.array(indices, dtype=numpy.int64)
        return indices if id_list is None else [id_list[i] for i in indices]
    data = native_boxes(boxes)
    result = _native_call(_native.order, data, as_array=as_array, profile="exact" if exact else None)
    if separators is not None:
        _box_list(separators, "separators", "separator")
    if labels is not None or ids is not None or page_bounds is not None or config is not None:
        id_list = check_order_arguments(len(result), labels, ids, page_bounds, config)
        if id_list is not None:
            return [id_list[i] for i in result]
    return result
