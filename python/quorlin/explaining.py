"""quorlin.explain(): the order of a page together with the steps that made it.

The engine reports every cut of its recursive XY-cut, every set it could not
cut and the wide (cross-layout) elements it set aside and merged back
afterwards.  Every set the segmentation meets is a contiguous run of its
output order (``segment_order``: the main elements in reading order, before
the set-aside ones are merged back), so a cut is kept as three positions in
that order; the ids of the set and of its two groups are only built when
asked for.  The whole explanation is therefore linear in the number of
boxes, even on a page whose cuts nest thousands deep.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

from . import _native
from .ordering import (
    BoxesLike,
    LabelsLike,
    _core_boxes,
    _core_order,
    _native_call,
    check_order_arguments,
    logging_debug,
    native_boxes,
)

__all__ = ["explain", "Explanation", "ExplainedCut", "Fallback"]

Bounds = tuple[float, float, float, float]


def _json_number(value: float | None) -> float | None:
    """A number for JSON: NaN and the infinities, which JSON lacks, become null."""
    return value if value is not None and math.isfinite(value) else None


class ExplainedCut:
    """One cut that split a set of elements into two groups.

    ``axis`` is "y" for a horizontal cut (between rows) and "x" for a
    vertical cut (between columns), ``position`` the y or x of the cut and
    ``gap`` the width of the empty band it lies in; ``depth`` is 0 for the
    cut of all main elements; ``bounds`` is (left, top, right, bottom) of the
    set it split.  The set is ``segment_order[lo:hi]`` of the explanation,
    its groups ``[lo:mid]`` and ``[mid:hi]``.
    """

    __slots__ = ("axis", "position", "gap", "depth", "bounds", "lo", "mid", "hi", "_explanation")

    def __init__(self, axis: str, position: float, gap: float, depth: int, bounds: Bounds, lo: int, mid: int,
                 hi: int, explanation: Explanation) -> None:
        self.axis, self.position, self.gap, self.depth, self.bounds = axis, position, gap, depth, bounds
        self.lo, self.mid, self.hi, self._explanation = lo, mid, hi, explanation

    def __repr__(self) -> str:
        return (f"ExplainedCut(axis={self.axis!r}, position={self.position!r}, gap={self.gap!r}, "
                f"depth={self.depth}, size={self.size})")

    @property
    def size(self) -> int:
        """Number of elements in the set that was cut."""
        return self.hi - self.lo

    @property
    def ids(self) -> list[Any]:
        """Ids of the set that was cut, in reading order."""
        return self._explanation.segment_order[self.lo:self.hi]

    @property
    def first(self) -> list[Any]:
        """Ids of the group before the cut (above it, or left of it)."""
        return self._explanation.segment_order[self.lo:self.mid]

    @property
    def second(self) -> list[Any]:
        """Ids of the group after the cut."""
        return self._explanation.segment_order[self.mid:self.hi]

    def to_dict(self) -> dict[str, Any]:
        return _cut_dict(self.axis, self.position, self.gap, self.lo, self.mid, self.hi, self.depth, self.bounds)


def _cut_dict(axis: str, position: float, gap: float, lo: int, mid: int, hi: int, depth: int,
              bounds: Bounds) -> dict[str, Any]:
    return {"axis": axis, "position": _json_number(position), "gap": _json_number(gap), "depth": depth,
            "bounds": [_json_number(v) for v in bounds], "lo": lo, "mid": mid, "hi": hi}


def _fallback_dict(kind: str, axis: str | None, position: float | None, gap: float | None, lo: int, hi: int,
                   depth: int, bounds: Bounds | None) -> dict[str, Any]:
    out: dict[str, Any] = {"kind": kind, "depth": depth,
                           "bounds": None if bounds is None else [_json_number(v) for v in bounds],
                           "lo": lo, "hi": hi}
    if axis is not None:
        out.update(axis=axis, position=_json_number(position), gap=_json_number(gap))
    return out


class Fallback:
    """A set read top to bottom, then left to right, because no cut split it.

    ``kind`` is "no_valid_cut" (no gap of at least 5 units), "one_group" (the
    chosen cut, given by ``axis``, ``position`` and ``gap``, left one side
    empty) or "all_cross_layout" (every element was set aside: the whole page
    is read so, and ``ids`` is every id).  The set is
    ``segment_order[lo:hi]``; ``bounds`` is its extent.
    """

    __slots__ = ("kind", "depth", "bounds", "lo", "hi", "axis", "position", "gap", "_explanation")

    def __init__(self, kind: str, depth: int, bounds: Bounds | None, lo: int, hi: int, axis: str | None,
                 position: float | None, gap: float | None, explanation: Explanation) -> None:
        self.kind, self.depth, self.bounds, self.lo, self.hi = kind, depth, bounds, lo, hi
        self.axis, self.position, self.gap, self._explanation = axis, position, gap, explanation

    def __repr__(self) -> str:
        return f"Fallback(kind={self.kind!r}, depth={self.depth}, size={self.hi - self.lo})"

    @property
    def ids(self) -> list[Any]:
        if self.kind == "all_cross_layout":
            return list(self._explanation.order)
        return self._explanation.segment_order[self.lo:self.hi]

    def to_dict(self) -> dict[str, Any]:
        return _fallback_dict(self.kind, self.axis, self.position, self.gap, self.lo, self.hi, self.depth,
                              self.bounds)


class Explanation:
    """The order of a page and how it came about (see :func:`explain`).

    ``order``, ``segment_order`` and ``set_aside`` are lists of ids; ``cuts``
    and ``fallbacks`` are built from the engine's reports on first use.
    """

    __slots__ = ("order", "segment_order", "set_aside", "_events", "_cuts", "_fallbacks")
    order: list[Any]
    segment_order: list[Any]
    set_aside: list[Any]

    def __init__(self, raw: tuple[list[int], list[int], list[int], list[Any]], ids: list[Any] | None) -> None:
        order, segmented, aside, self._events = raw
        if ids is None:
            self.order, self.segment_order, self.set_aside = order, segmented, aside
        else:
            self.order = [ids[i] for i in order]
            self.segment_order = [ids[i] for i in segmented]
            self.set_aside = [ids[i] for i in aside]
        self._cuts: list[ExplainedCut] | None = None
        self._fallbacks: list[Fallback] | None = None

    @property
    def cuts(self) -> list[ExplainedCut]:
        """Every cut that split a set, in the order the engine made them (depth first)."""
        if self._cuts is None:
            self._cuts = [ExplainedCut(axis, position, gap, depth, bounds, lo, mid, hi, self)
                          for kind, axis, position, gap, lo, mid, hi, depth, bounds in self._events if kind == "cut"]
        return self._cuts

    @property
    def fallbacks(self) -> list[Fallback]:
        """Every set that was read in y-then-x order instead, in the engine's order."""
        if self._fallbacks is None:
            self._fallbacks = [Fallback(kind, depth, bounds, lo, hi, axis, position, gap, self)
                               for kind, axis, position, gap, lo, mid, hi, depth, bounds in self._events
                               if kind != "cut"]
        return self._fallbacks

    def __repr__(self) -> str:
        return (f"<Explanation of {len(self.order)} elements: {len(self.cuts)} cuts, "
                f"{len(self.fallbacks)} fallbacks, {len(self.set_aside)} set aside>")

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready form, linear in size: the cuts and fallbacks name their
        sets by positions in ``segment_order``; NaN and infinities are null."""
        cuts = []
        fallbacks = []
        for kind, axis, position, gap, lo, mid, hi, depth, bounds in self._events:
            if kind == "cut":
                cuts.append(_cut_dict(axis, position, gap, lo, mid, hi, depth, bounds))
            else:
                fallbacks.append(_fallback_dict(kind, axis, position, gap, lo, hi, depth, bounds))
        return {
            "order": list(self.order),
            "segment_order": list(self.segment_order),
            "set_aside": list(self.set_aside),
            "cuts": cuts,
            "fallbacks": fallbacks,
        }


def explain(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: Sequence[Any] | None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    exact: bool = False,
) -> Explanation:
    """The reading order of the boxes (as :func:`quorlin.order` gives it) with
    the cuts, fallbacks and set-aside elements that produced it.

    ``order``, ``segment_order`` and ``set_aside`` hold ``ids`` (default: the
    box indices).  Each cut has ``axis``, ``position``, ``gap``, ``depth``,
    ``bounds`` (the extent of the set it split) and, built when asked for,
    the ``ids`` of that set and of its ``first`` and ``second`` group.
    ``to_dict()`` gives a JSON-ready form.  With DEBUG enabled on the
    ``quorlinpy`` loggers the order is also computed by ``_quorlin_core``, so
    that its log lines appear as they do for :func:`quorlin.order`.
    """
    raw = _native_call(_native.explain, native_boxes(boxes), profile="exact" if exact else None)
    if labels is None and ids is None and page_bounds is None:
        id_list = None
    else:
        id_list = check_order_arguments(len(raw[0]), labels, ids, page_bounds, None)
    if logging_debug():
        _core_order(_core_boxes(boxes), labels, page_bounds, None)
    return Explanation(raw, id_list)
