"""quorlin.order(): reading order of plain boxes, without building Elements by hand.

The boxes go to the package's own extension module, ``quorlin._native``: an
N x 4 array (or a sequence of 4-item sequences) is converted once in C++,
ordered there (without the interpreter lock on large pages) and the order
comes back as a list or a NumPy int64 array.  The default order is the
quality profile (:mod:`quorlin.profile`), geometry around the engine that
also reads the page bounds and the separators; ``exact=True`` is the engine
alone, the order of ``compute_order_mervane``.

``quorlin._native`` logs nothing.  When the ``quorlinpy`` loggers have DEBUG
enabled (``quorlin --verbose``), the engine's work is done by
``_quorlin_core`` instead, whose log lines then show every step of it: the
exact order is its call on all boxes, and the profile hands it each part of
the page.  The orders are the same.
"""

from __future__ import annotations

import logging
import math
from collections.abc import Iterable, Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypeVar, Union, overload

from _quorlin_core import Element, SemanticLabel, XYCutConfig, compute_order_mervane

from . import _native
from .labels import label_for
from .page import Box, Page, RegionId, union_box

__all__ = ["order", "page_order", "union_box", "Box", "BoxesLike", "native_boxes", "check_order_arguments",
           "logging_debug", "page_frame", "separator_boxes"]

T = TypeVar("T")

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


def page_frame(page_bounds: Any) -> tuple[float, float, float, float] | None:
    """The page bounds as the profile reads them: four floats, or None (for
    no bounds, or bounds that :func:`check_order_arguments` refuses).
    ``_native.order(..., loose_bounds=True)`` reads them so itself."""
    if page_bounds is None:
        return None
    try:
        x1, y1, x2, y2 = page_bounds
        if type(x1) is float and type(y1) is float and type(x2) is float and type(y2) is float:
            return (x1, y1, x2, y2)  # as Page.bounds gives them
        if isinstance(x1, (str, bytes)) or isinstance(y1, (str, bytes)) or isinstance(x2, (str, bytes)) \
                or isinstance(y2, (str, bytes)):
            return None
        return (float(x1), float(y1), float(x2), float(y2))
    except (TypeError, ValueError):
        return None


def separator_boxes(separators: Any) -> list[Box] | None:
    """The separators checked as boxes (``separator N: ...`` messages), or None."""
    return None if separators is None else _box_list(separators, "separators", "separator")


def _checked_separators(separators: Any) -> tuple[list[Box] | None, Exception | None]:
    """The separators as :func:`separator_boxes` gives them, or the error it
    raises, to be raised after the boxes have been checked."""
    try:
        return separator_boxes(separators), None
    except (TypeError, ValueError) as exc:
        return None, exc


def native_with_separators(function: Any, boxes: Any, args: tuple[Any, ...], separators: Any,
                           more: tuple[Any, ...] = ()) -> Any:
    """``function(boxes, *args, separators, *more)`` of quorlin._native, which
    converts the boxes and the separators itself.  Whatever it refuses goes
    through the Python readers, whose messages are raised (the boxes' first),
    or which hand over what they accept that it does not (numbers as text)."""
    if isinstance(separators, (list, tuple)) or separators is None or (_is_buffer(separators)
                                                                        and hasattr(separators, "shape")):
        try:
            return function(boxes, *args, separators, *more)
        except (TypeError, ValueError):
            pass
    if isinstance(boxes, (list, tuple)):
        boxes = _python_boxes(boxes)
    separator_list, separator_error = _checked_separators(separators)
    result = function(boxes, *args, separator_list, *more)
    if separator_error is not None:
        raise separator_error
    return result


#: The arguments of quorlin._native.order after the separators that have it
#: read the page bounds as page_frame() does (options, core, loose_bounds).
_LOOSE_BOUNDS = (None, None, True)


def _labels_of(labels: Any, n: int) -> list[SemanticLabel]:
    return [SemanticLabel.Regular] * n if labels is None else [label_for(v) for v in _as_list(labels, "labels")]


def _logged_profile(box_list: list[Box], labels: Any, page_bounds: Any, separators: list[Box] | None,
                    config: Any) -> Any:
    """The profile's order with every part handed to _quorlin_core, which logs
    every step of it (the module's ids are the box indices)."""
    label_list = _labels_of(labels, len(box_list))

    def core(indices: list[int], boxes: list[Box], frame: tuple[float, float, float, float]) -> list[int]:
        elements = [Element(i, *box, label_list[i]) for i, box in zip(indices, boxes)]
        return compute_order_mervane(elements, frame, config)

    return _native.order(box_list, profile="quality", page_bounds=page_frame(page_bounds), separators=separators,
                         core=core)


def _core_order(box_list: list[Box], labels: Any, page_bounds: Any, config: Any) -> list[int]:
    """The order computed by _quorlin_core, which logs every step of it."""
    label_list = _labels_of(labels, len(box_list))
    # The box index is the module's id, so that callers may use any ids.
    elements = [Element(i, *box, label_list[i]) for i, box in enumerate(box_list)]
    if page_bounds is None:
        page_bounds = union_box(box_list) or (0.0, 0.0, 0.0, 0.0)
    bx1, by1, bx2, by2 = page_bounds
    return compute_order_mervane(elements, (bx1, by1, bx2, by2), config)


def _logged_order(box_list: list[Box], labels: Any, page_bounds: Any, separators: list[Box] | None, config: Any,
                  exact: bool) -> list[int]:
    """The order computed through _quorlin_core, which logs every step of it."""
    if exact:
        return _core_order(box_list, labels, page_bounds, config)
    indices: list[int] = _logged_profile(box_list, labels, page_bounds, separators, config)
    return indices


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
    given, duplicates included.  ``config`` is checked and takes no part in
    the order.

    ``separators`` (optional, a sequence of boxes or an N x 4 array, checked
    like ``boxes``) are the rules and separator lines of the page: never
    ordered themselves, they are evidence of its columns.

    The default order is the quality profile (:mod:`quorlin.profile`), which
    adjusts the geometry around the exact XY-cut: it reads the page bounds
    (its tolerances are fractions of the page; without bounds, of the boxes'
    union) and the separators.  ``exact=True`` gives exactly the order of
    ``compute_order_mervane`` on the same boxes, which neither the page
    bounds nor the separators change.  ``as_array=True`` returns the box
    indices as a NumPy int64 array instead of a list (with ``ids=None``
    only: index your own array of ids with it).
    """
    if as_array and ids is not None:
        raise ValueError("as_array=True returns box indices: pass ids=None and index your ids with the result")
    if logging_debug():
        box_list = _core_boxes(boxes)
        separator_list = separator_boxes(separators)
        id_list = check_order_arguments(len(box_list), labels, ids, page_bounds, config)
        indices = _logged_order(box_list, labels, page_bounds, separator_list, config, exact)
        if as_array:
            import numpy

            return numpy.array(indices, dtype=numpy.int64)
        return indices if id_list is None else [id_list[i] for i in indices]
    data = native_boxes(boxes)
    if exact:
        result = native_with_separators(_native.order, data, (as_array, "exact", None), separators)
    else:
        result = native_with_separators(_native.order, data, (as_array, "quality", page_bounds), separators,
                                        _LOOSE_BOUNDS)
    if labels is not None or ids is not None or page_bounds is not None or config is not None:
        id_list = check_order_arguments(len(result), labels, ids, page_bounds, config)
        if id_list is not None:
            return [id_list[i] for i in result]
    return result


def page_order(page: Page, *, exact: bool = False) -> list[RegionId]:
    """Ids of a page's ordered regions, in reading order: the quality profile on
    the regions, the page bounds and the separators, or with ``exact`` the
    core's exact XY-cut on the regions."""
    return order(
        [r.box for r in page.regions],
        [r.label for r in page.regions],
        [r.id for r in page.regions],
        page_bounds=page.bounds,
        separators=[r.box for r in page.separators],
        exact=exact,
    )
