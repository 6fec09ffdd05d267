"""quorlin.order(): reading order of plain boxes, without building Elements by hand.

The boxes go to the package's own extension module, ``quorlin._native``: an
N x 4 array (or a sequence of 4-item sequences) is converted once in C++,
with the separators and the page bounds, and checked before anything is
ordered; it is ordered there (without the interpreter lock on large pages)
and the order comes back as a list or a NumPy int64 array.  The default
order is the quality profile (:mod:`quorlin.profile`), geometry around the
engine that also reads the page bounds and the separators; ``exact=True`` is
the engine alone, the order of ``compute_order_mervane``.

When the ``quorlinpy`` loggers have DEBUG enabled (``quorlin --verbose``),
the same call logs: a line on ``quorlinpy`` saying what it orders, the
quality profile's decisions, and every line of the engine on
``quorlinpy.mervane``, as ``compute_order_mervane`` logs them.
"""

from __future__ import annotations

import logging
from collections.abc import Iterable, Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypeVar, Union, overload

from _quorlin_core import SemanticLabel

from . import _native
from .direction import DIRECTIONS, LTR
from .labels import code_table
from .page import Box, Decided, Page, RegionId, union_box

__all__ = ["order", "page_order", "page_direction", "page_arguments", "union_box", "Box", "BoxesLike",
           "label_list", "id_list", "LABEL_CODES"]

log = logging.getLogger("quorlinpy")

# The table that turns labels into role codes (quorlin.labels.code_table).
LABEL_CODES = code_table()

T = TypeVar("T")

_Number = Union[SupportsFloat, SupportsIndex]


class _ArrayLike(Protocol):
    """What order() needs from an N x 4 array (a NumPy array, for example)."""

    @property
    def shape(self) -> tuple[int, ...]: ...

    def tolist(self) -> Any: ...


BoxesLike = Union[Sequence[Sequence[_Number]], _ArrayLike]
LabelsLike = Union[Iterable[Union[SemanticLabel, str]], _ArrayLike, None]


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


def label_list(labels: Any) -> list[Any] | tuple[Any, ...] | None:
    """The labels as quorlin._native reads them (with :data:`LABEL_CODES`):
    a list or tuple as given, an array or another sequence as a list."""
    if labels is None or isinstance(labels, (list, tuple)):
        return labels
    return _as_list(labels, "labels")


def id_list(n: int, ids: Any) -> list[Any]:
    """The ids of ``n`` boxes as a list, checked to be one per box."""
    listed = _as_list(ids, "ids")
    if len(listed) != n:
        raise ValueError(f"got {len(listed)} ids for {n} boxes")
    return listed


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    direction: str = "ltr",
    as_array: Literal[False] = False,
) -> list[int]: ...


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    *,
    ids: Sequence[T],
    page_bounds: tuple[float, float, float, float] | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    direction: str = "ltr",
    as_array: Literal[False] = False,
) -> list[T]: ...


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike,
    ids: Sequence[T],
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    direction: str = "ltr",
    as_array: Literal[False] = False,
) -> list[T]: ...


@overload
def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    direction: str = "ltr",
    as_array: Literal[True],
) -> Any: ...


def order(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: Sequence[Any] | None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    direction: str = "ltr",
    as_array: bool = False,
) -> Any:
    """Return ``ids`` (default: the box indices 0..n-1) in reading order.

    ``boxes`` is an N x 4 array (NumPy, any number dtype, or anything with the
    buffer protocol) or a sequence of ``(x1, y1, x2, y2)``, with y growing
    down the page; each coordinate is read as ``float()`` reads it, and
    booleans are refused.  ``labels`` (optional) holds one SemanticLabel,
    detector class name, region kind or role name per box
    (:data:`quorlin.labels.ROLE_NAMES`): the quality profile reads page
    headers first and footers and page numbers last, footnotes after the text
    above them, captions with their figures, marginal notes beside their
    text and a drop capital right before the text it begins; an unknown
    name is plain text.  ``ids`` may be any objects, one per
    box; they are returned as given, duplicates included.

    ``separators`` (optional, a sequence of boxes or an N x 4 array, read
    like ``boxes``) are the rules and separator lines of the page: never
    ordered themselves, they are evidence of its columns.  ``page_bounds``
    is None or 4 coordinates, read like one box.  The boxes, separators and
    page bounds are all checked before anything is ordered.

    The default order is the quality profile (:mod:`quorlin.profile`), which
    adjusts the geometry around the exact XY-cut: it reads the page bounds
    (its tolerances are fractions of the page; without bounds, of the boxes'
    union) and the separators.  ``exact=True`` gives exactly the order of
    ``compute_order_mervane`` on the same boxes, which neither the page
    bounds nor the separators change.  ``direction`` is how the page is
    read: "ltr" (rows top to bottom, each left to right), "rtl" (columns
    from the right: Arabic, Hebrew, Syriac, ...) or "ttb" (vertical columns
    from the right, each top to bottom: CJK set vertically).
    ``as_array=True`` returns the box indices as a NumPy int64 array instead
    of a list (with ``ids=None`` only: index your own array of ids with it).
    """
    if as_array and ids is not None:
        raise ValueError("as_array=True returns box indices: pass ids=None and index your ids with the result")
    # The labels are checked (and, for the profile, turned into role codes)
    # in C++, after the boxes, separators and page bounds.
    result = _native.order(boxes, as_array, "exact" if exact else "quality", page_bounds, separators, None, None,
                           direction, label_list(labels), LABEL_CODES)
    if ids is not None:
        ordered_ids = id_list(len(result), ids)
        return [ordered_ids[i] for i in result]
    return result


def region_labels(page: Page) -> list[str | SemanticLabel]:
    """What each region of a page is, for the order: the kind its file gave it
    (a class name, "TextRegion/heading", "ocr_pageno", "TextBlock/MainZone"),
    else its label."""
    return [r.kind or r.label for r in page.regions]


def page_direction(page: Page, direction: str = "auto") -> Decided:
    """The direction a page is read in: ``direction`` when given ("ltr",
    "rtl", "ttb"), or with "auto" the one its file states or its text shows
    (:attr:`Page.direction`), else "ltr".  Logged at DEBUG on ``quorlinpy``."""
    if direction not in DIRECTIONS:
        raise ValueError(f"direction: expected one of {', '.join(map(repr, DIRECTIONS))}, got {direction!r}")
    decided = (page.direction or LTR) if direction == "auto" else Decided(direction, "asked for")
    log.debug("%s: read %s (%s)", page.source, decided.direction, decided.reason)
    return decided


def page_arguments(page: Page, exact: bool, direction: Decided) -> dict[str, Any]:
    """The arguments of :func:`order` (and :func:`quorlin.explain`) for a
    page's ordered regions: their boxes, kinds as labels and ids, the page
    bounds and separators, the profile and the direction."""
    return {
        "boxes": [r.box for r in page.regions],
        "labels": region_labels(page),
        "ids": [r.id for r in page.regions],
        "page_bounds": page.bounds,
        "separators": [r.box for r in page.separators],
        "exact": exact,
        "direction": direction.direction,
    }


def page_order(page: Page, *, exact: bool = False, direction: str = "auto") -> list[RegionId]:
    """Ids of a page's ordered regions, in reading order: the quality profile on
    the regions (their kinds as labels), the page bounds and the separators,
    or with ``exact`` the core's exact XY-cut on the regions; read in
    ``direction``, by default the page's own (see :func:`page_direction`)."""
    result: list[RegionId] = order(**page_arguments(page, exact, page_direction(page, direction)))
    return result
