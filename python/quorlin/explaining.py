"""quorlin.explain(): the order of a page together with the steps that made it.

The engine reports every cut of its recursive XY-cut, every set it could not
cut and the wide (cross-layout) elements it set aside and merged back
afterwards.  Every set the segmentation meets is a contiguous run of its
output order (``segment_order``: the main elements in reading order, before
the set-aside ones are merged back), so a cut is kept as three positions in
that order; the ids of the set and of its two groups are only built when
asked for.  The whole explanation is therefore linear in the number of
boxes, even on a page whose cuts nest thousands deep.

The quality profile (the default order) adds its own decisions: the fold of
a two-page spread and the top strip of a page are cuts of their own kinds
("fold", "top_strip") around the engine's ("xy"); the parts the engine
ordered, each on boxes shrunk by the profile, are ``parts``; and the
marginal notes and the boxes with a NaN or infinite coordinate, which the
engine never saw, are ``margin_notes`` and ``non_finite``.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Literal

from . import _native
from .direction import LTR
from .ordering import LABEL_CODES, BoxesLike, LabelsLike, id_list, label_list, page_arguments, page_direction
from .page import Decided, Page

__all__ = ["explain", "explain_page", "page_explanation", "Explanation", "ExplainedCut", "Fallback", "Part"]

Bounds = tuple[float, float, float, float]


def _json_number(value: float | None) -> float | None:
    """A number for JSON: NaN and the infinities, which JSON lacks, become null."""
    return value if value is not None and math.isfinite(value) else None


#: The kinds of cut: the engine's XY-cut, and the quality profile's own.
CUT_KINDS = {"cut": "xy", "fold": "fold", "top_strip": "top_strip", "foot_line": "foot_line"}


@dataclass(slots=True, eq=False, repr=False)
class ExplainedCut:
    """One cut that split a set of elements into two groups.

    ``kind`` is "xy" for a cut of the engine's XY-cut, "fold" for the
    profile's split of a two-page spread (left page first) and "top_strip"
    for its split of a page's top strip (read first) from the rest.
    ``axis`` is "y" for a horizontal cut (between rows) and "x" for a
    vertical cut (between columns), ``position`` the y or x of the cut and
    ``gap`` the width of the empty band it lies in; in the profile's order
    the engine cut boxes that the profile had shrunk (see ``parts``), so its
    gaps are those of the shrunk boxes.  ``depth`` is 0 for the first cut
    of the page.  ``bounds`` is (left, top, right, bottom) of the set an
    "xy" cut split, or of the page (one page of a spread) that a fold or a
    top strip split.  The set is ``segment_order[lo:hi]`` of the
    explanation, its groups ``[lo:mid]`` and ``[mid:hi]``.
    """

    axis: str
    position: float
    gap: float
    depth: int
    bounds: Bounds
    lo: int
    mid: int
    hi: int
    _explanation: Explanation
    kind: str = "xy"

    def __repr__(self) -> str:
        return (f"ExplainedCut(kind={self.kind!r}, axis={self.axis!r}, position={self.position!r}, "
                f"gap={self.gap!r}, depth={self.depth}, size={self.size})")

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
        return _cut_dict(self.kind, self.axis, self.position, self.gap, self.lo, self.mid, self.hi, self.depth,
                         self.bounds)


def _cut_dict(kind: str, axis: str, position: float, gap: float, lo: int, mid: int, hi: int, depth: int,
              bounds: Bounds) -> dict[str, Any]:
    return {"kind": kind, "axis": axis, "position": _json_number(position), "gap": _json_number(gap),
            "depth": depth, "bounds": [_json_number(v) for v in bounds], "lo": lo, "mid": mid, "hi": hi}


def _fallback_dict(kind: str, axis: str | None, position: float | None, gap: float | None, lo: int, hi: int,
                   depth: int, bounds: Bounds | None) -> dict[str, Any]:
    out: dict[str, Any] = {"kind": kind, "depth": depth,
                           "bounds": None if bounds is None else [_json_number(v) for v in bounds],
                           "lo": lo, "hi": hi}
    if axis is not None:
        out.update(axis=axis, position=_json_number(position), gap=_json_number(gap))
    return out


@dataclass(slots=True, eq=False, repr=False)
class Fallback:
    """A set read top to bottom, then left to right, because no cut split it.

    ``kind`` is "no_valid_cut" (no gap of at least 5 units), "one_group" (the
    chosen cut, given by ``axis``, ``position`` and ``gap``, left one side
    empty) or "all_cross_layout" (every element was set aside: the whole page
    is read so, and ``ids`` is every id).  The set is
    ``segment_order[lo:hi]``; ``bounds`` is its extent.
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


@dataclass(slots=True, init=False, eq=False, repr=False)
class Part:
    """One set of elements the engine ordered in the quality profile: a page's
    top strip, or the rest of the page (its body).

    ``segment_order[lo:hi]`` is the engine's segmentation of it, ``size``
    the number of elements handed to the engine, ``depth`` the depth of its
    first cut, ``frame`` the page (one page of a spread) it lies on, and
    ``shrink`` the (dx, dy) by which the boxes were shrunk (at most) on the
    left and right and on top and bottom before the engine saw them.
    ``kind`` is "body", "top_strip", "head" and "foot" (page furniture by the
    labels), "page_numbers" (in the foot, read last), "footnotes" (by their
    top, not by the engine, then each put after the text above it),
    "foot_line" (the foot of a landscape page, read after both halves),
    "initials" (drop capitals, not ordered by the engine: each put right
    before the text it begins) or "captions" (the captions kept with their
    figures or tables: the engine saw each group as its figure alone).
    """

    lo: int
    hi: int
    depth: int
    size: int
    top_strip: bool
    frame: Bounds
    shrink: tuple[float, float]
    kind: str
    _explanation: Explanation

    def __init__(self, raw: tuple[int, int, int, int, bool, Bounds, float, float, str],
                 explanation: Explanation) -> None:
        self.lo, self.hi, self.depth, self.size, self.top_strip, self.frame, dx, dy, self.kind = raw
        self.shrink = (dx, dy)
        self._explanation = explanation

    def __repr__(self) -> str:
        kind = "" if self.kind in ("body", "top_strip") else f"kind={self.kind!r}, "
        return f"Part({kind}top_strip={self.top_strip}, size={self.size}, depth={self.depth}, shrink={self.shrink!r})"

    @property
    def ids(self) -> list[Any]:
        """Ids of the part that the engine segmented, in reading order."""
        return self._explanation.segment_order[self.lo:self.hi]

    def to_dict(self) -> dict[str, Any]:
        return {"kind": self.kind, "top_strip": self.top_strip, "size": self.size, "depth": self.depth, "lo": self.lo, "hi": self.hi,
                "frame": [_json_number(v) for v in self.frame], "shrink": [_json_number(v) for v in self.shrink]}


@dataclass(slots=True, init=False, eq=False, repr=False)
class Explanation:
    """The order of a page and how it came about (see :func:`explain`).

    ``profile`` is "quality" (the default order) or "exact"; ``order``,
    ``segment_order``, ``set_aside``, ``margin_notes`` and ``non_finite``
    are lists of ids; ``cuts``, ``fallbacks`` and ``parts`` are built from
    the reports on first use.  Every id of the page is in exactly one of
    ``segment_order``, ``set_aside``, ``margin_notes`` and ``non_finite``.
    """

    profile: str
    #: the direction the page was read in, and why
    direction: Decided
    order: list[Any]
    segment_order: list[Any]
    set_aside: list[Any]
    margin_notes: list[Any]
    non_finite: list[Any]
    _events: list[Any]
    _raw_parts: list[Any]
    _cuts: list[ExplainedCut] | None
    _fallbacks: list[Fallback] | None
    _parts: list[Part] | None

    def __init__(self, raw: tuple[list[int], list[int], list[int], list[Any], list[int], list[int], list[Any]],
                 ids: list[Any] | None, profile: str = "quality", direction: Decided = LTR) -> None:
        order, segmented, aside, self._events, notes, non_finite, self._raw_parts = raw
        self.profile = profile
        self.direction = direction
        if ids is None:
            self.order, self.segment_order, self.set_aside = order, segmented, aside
            self.margin_notes, self.non_finite = notes, non_finite
        else:
            self.order = [ids[i] for i in order]
            self.segment_order = [ids[i] for i in segmented]
            self.set_aside = [ids[i] for i in aside]
            self.margin_notes = [ids[i] for i in notes]
            self.non_finite = [ids[i] for i in non_finite]
        self._cuts = None
        self._fallbacks = None
        self._parts = None

    @property
    def cuts(self) -> list[ExplainedCut]:
        """Every cut that split a set, the profile's folds and top strips
        among the engine's, in the order they were made (depth first)."""
        if self._cuts is None:
            self._cuts = [ExplainedCut(axis, position, gap, depth, bounds, lo, mid, hi, self, CUT_KINDS[kind])
                          for kind, axis, position, gap, lo, mid, hi, depth, bounds in self._events
                          if kind in CUT_KINDS]
        return self._cuts

    @property
    def fallbacks(self) -> list[Fallback]:
        """Every set that was read in y-then-x order instead, in the engine's order."""
        if self._fallbacks is None:
            self._fallbacks = [Fallback(kind, depth, bounds, lo, hi, axis, position, gap, self)
                               for kind, axis, position, gap, lo, mid, hi, depth, bounds in self._events
                               if kind not in CUT_KINDS]
        return self._fallbacks

    @property
    def parts(self) -> list[Part]:
        """The sets the engine ordered in the quality profile, in reading order
        (empty for the exact order, where it ordered the whole page)."""
        if self._parts is None:
            self._parts = [Part(raw, self) for raw in self._raw_parts]
        return self._parts

    def __repr__(self) -> str:
        return (f"<Explanation ({self.profile}) of {len(self.order)} elements: {len(self.cuts)} cuts, "
                f"{len(self.fallbacks)} fallbacks, {len(self.set_aside)} set aside, "
                f"{len(self.margin_notes)} margin notes, {len(self.non_finite)} not finite>")

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready form, linear in size: the cuts, fallbacks and parts name
        their sets by positions in ``segment_order``; NaN and infinities are null."""
        cuts = []
        fallbacks = []
        for kind, axis, position, gap, lo, mid, hi, depth, bounds in self._events:
            if kind in CUT_KINDS:
                cuts.append(_cut_dict(CUT_KINDS[kind], axis, position, gap, lo, mid, hi, depth, bounds))
            else:
                fallbacks.append(_fallback_dict(kind, axis, position, gap, lo, hi, depth, bounds))
        return {
            "profile": self.profile,
            "direction": self.direction.direction,
            "direction_from": self.direction.reason,
            "order": list(self.order),
            "segment_order": list(self.segment_order),
            "set_aside": list(self.set_aside),
            "margin_notes": list(self.margin_notes),
            "non_finite": list(self.non_finite),
            "cuts": cuts,
            "fallbacks": fallbacks,
            "parts": [part.to_dict() for part in self.parts],
        }


def explain(
    boxes: BoxesLike,
    labels: LabelsLike = None,
    ids: Sequence[Any] | None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    separators: BoxesLike | None = None,
    exact: bool = False,
    direction: str = "ltr",
) -> Explanation:
    """The reading order of the boxes (as :func:`quorlin.order` gives it, with
    the same arguments) with the cuts, fallbacks and set-aside elements that
    produced it.

    ``order``, ``segment_order``, ``set_aside``, ``margin_notes`` and
    ``non_finite`` hold ``ids`` (default: the box indices).  Each cut has
    ``kind``, ``axis``, ``position``, ``gap``, ``depth``, ``bounds`` and,
    built when asked for, the ``ids`` of the set it split and of its
    ``first`` and ``second`` group; ``parts`` are the sets the engine ordered
    in the quality profile, with the shrink of their boxes.  Positions and
    extents are those of the page whatever the ``direction``.  ``to_dict()``
    gives a JSON-ready form.  With DEBUG enabled on the ``quorlinpy`` loggers
    the one run that computes the explanation logs as :func:`quorlin.order`
    does.
    """
    profile: Literal["exact", "quality"] = "exact" if exact else "quality"
    raw = _native.explain(boxes, profile, page_bounds, separators, None, None, direction, label_list(labels),
                          LABEL_CODES)
    ordered_ids = None if ids is None else id_list(len(raw[0]), ids)
    return Explanation(raw, ordered_ids, profile, Decided(direction, "asked for"))


def explain_page(page: Page, *, exact: bool = False, direction: str = "auto") -> Explanation:
    """The order of a page's ordered regions with the cuts that made it (region
    ids), read in ``direction`` as :func:`quorlin.page_order` reads it."""
    decided = page_direction(page, direction)
    explained = explain(**page_arguments(page, exact, decided))
    explained.direction = decided
    return explained


def page_explanation(page: Page, *, exact: bool = False, direction: str = "auto") -> dict[str, Any]:
    """What ``quorlin order --explain`` writes for a page: its source and its explanation."""
    return {"source": page.source, **explain_page(page, exact=exact, direction=direction).to_dict()}
