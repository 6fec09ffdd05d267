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
from dataclasses import dataclass
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


@dataclass(frozen=True, eq=False)
class ExplainedCut:
    """One cut that split a set of elements into two groups."""

    axis: str  # "y" for a horizontal cut (between rows), "x" for a vertical cut (between columns)
    position: float  # the y or x of the cut
    gap: float  # width of the empty band it lies in
    depth: int  # 0 for the cut of all main elements
    bounds: Bounds  # (left, top, right, bottom) of the set it split
    lo: int  # the set is segment_order[lo:hi], its groups [lo:mid] and [mid:hi]
    mid: int
    hi: int
    _explanation: Explanation

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
        return {"axis": self.axis, "position": _json_number(self.position), "gap": _json_number(self.gap),
                "depth": self.depth, "bounds": [_json_number(v) for v in self.bounds],
                "lo": self.lo, "mid": self.mid, "hi": self.hi}


@dataclass(frozen=True, eq=False)
class Fallback:
    """A set read top to bottom, then left to right, because no cut split it.

    ``kind`` is "no_valid_cut" (no gap of at least 5 units), "one_group" (the
    chosen cut, given by ``axis``, ``position`` and ``gap``, left one side
    empty) or "all_cross_layout" (every element was set aside: the whole page
    is read so, and ``ids`` is every id).
    """

    kind: str
    depth: int
    bounds: Bounds | None
    lo: int
    hi: int
    axis: str | None
    position: float | None
    gap: float | None
    _explanation: Explanation

    @property
    def ids(self) -> list[Any]:
        if self.kind == "all_cross_layout":
            return list(self._explanation.order)
        return self._explanation.segment_order[self.lo:self.hi]

    def to_dict(self) -> dict[str, Any]:
        out: dict[str, Any] = {"kind": self.kind, "depth": self.depth,
                               "bounds": None if self.bounds is None else [_json_number(v) for v in self.bounds],
                               "lo": self.lo, "hi": self.hi}
        if self.axis is not None:
            out.update(axis=self.axis, position=_json_number(self.position), gap=_json_number(self.gap))
        return out


class Explanation:
    """The order of a page and how it came about (see :func:`explain`)."""

    order: list[Any]
    segment_order: list[Any]
    set_aside: list[Any]
    cuts: list[ExplainedCut]
    fallbacks: list[Fallback]

    def __init__(self, raw: tuple[list[int], list[int], list[int], list[Any]], ids: list[Any] | None) -> None:
        order, segmented, aside, events = raw
        if ids is None:
            self.order, self.segment_order, self.set_aside = order, segmented, aside
        else:
            self.order = [ids[i] for i in order]
            self.segment_order = [ids[i] for i in segmented]
            self.set_aside = [ids[i] for i in aside]
        self.cuts = []
        self.fallbacks = []
        for kind, axis, position, gap, lo, mid, hi, depth, bounds in events:
            if kind == "cut":
                self.cuts.append(ExplainedCut(axis, position, gap, depth, bounds, lo, mid, hi, self))
            else:
                self.fallbacks.append(Fallback(kind, depth, bounds, lo, hi, axis, position, gap, self))

    def __repr__(self) -> str:
        return (f"<Explanation of {len(self.order)} elements: {len(self.cuts)} cuts, "
                f"{len(self.fallbacks)} fallbacks, {len(self.set_aside)} set aside>")

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready form, linear in size: the cuts and fallbacks name their
        sets by positions in ``segment_order``."""
        return {
            "order": list(self.order),
            "segment_order": list(self.segment_order),
            "set_aside": list(self.set_aside),
            "cuts": [c.to_dict() for c in self.cuts],
            "fallbacks": [f.to_dict() for f in self.fallbacks],
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
    data = native_boxes(boxes)
    raw = _native_call(_native.explain, data, profile="exact" if exact else None)
    id_list = check_order_arguments(len(raw[0]), labels, ids, page_bounds, None)
    if logging_debug():
        _core_order(_core_boxes(boxes), labels, page_bounds, None)
    return Explanation(raw, id_list)
