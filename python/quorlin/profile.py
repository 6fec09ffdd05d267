"""The quality profile, the package's default order, with its settings.

:func:`quorlin.order` orders a page by the quality profile unless it is asked
for the exact XY-cut (``exact=True``).  The profile is geometry around the
core, computed in C++ by ``quorlin._native``: a two-page spread is split at
its fold, long vertical separator rules clip the boxes that reach over them,
every box is shrunk a little so that boxes that touch or overlap by a few
pixels leave a gap, a thin strip at the top of each page (running head, page
number) is read first, marginal notes are merged back beside the text they
stand next to, and boxes with a NaN or infinite coordinate are read last.
The core orders each part of the page on the shrunk boxes.  The README
("The quality profile") gives each step with its measured effect.

:class:`ProfileOptions` holds the profile's parameters and step switches.
The defaults are the package's order; other values serve measurement only
(``bench/profile_cv.py`` varies them), through :func:`order`.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from . import _native

__all__ = ["ProfileOptions", "DEFAULT_OPTIONS", "TUNED", "FIXED", "STEPS", "order"]


@dataclass(frozen=True)
class ProfileOptions:
    """Parameters and step switches of the quality profile.

    Every length is a fraction of the page or of other boxes, so the order
    does not depend on the scan resolution.  ``tol_x``, ``tol_y`` and
    ``margin_max`` were chosen by split-half cross-validation on the real
    pages of ``bench/data``; the others are fixed, each for the reason given,
    and settable only to measure that the order does not hang on them.
    """

    #: shrink on the left and right, a fraction of the width of one page
    tol_x: float = 0.02
    #: shrink on top and bottom, a fraction of the page height
    tol_y: float = 0.005
    #: a strip beside the text block is marginal notes when at most this fraction of the block's width
    margin_max: float = 0.25
    #: the fold of a spread is looked for this fraction of the width either side of the middle
    spread_window: float = 0.05
    #: a top strip is at most this fraction of the page height tall
    top_strip_max: float = 0.05
    #: the text block is the boxes at least this fraction as wide as the widest
    body_fraction: float = 0.5
    #: a column rule is at least this many times taller than wide ...
    rule_aspect: float = 3.0
    #: ... and at least this fraction of the page height long
    rule_min_length: float = 0.25
    #: a rule clips a box it runs alongside for at least this fraction of the box's height ...
    rule_along: float = 0.5
    #: ... and crosses within this fraction of the box's width from an edge (below 0.5)
    rule_edge: float = 0.25
    #: split a two-page spread at its fold
    spread: bool = True
    #: clip boxes at long vertical separator rules
    rules: bool = True
    #: shrink the boxes
    tolerance: bool = True
    #: read a thin strip at the top of each page first
    top_strip: bool = True
    #: merge marginal notes back by their top
    margins: bool = True

    def replace(self, **changes: Any) -> ProfileOptions:
        """A copy with some settings changed."""
        return dataclasses.replace(self, **changes)

    def settings(self) -> dict[str, float | bool]:
        """The settings that differ from the defaults, as ``quorlin._native`` takes them."""
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)
                if getattr(self, f.name) != f.default}


DEFAULT_OPTIONS = ProfileOptions()

#: The parameters chosen by cross-validation.
TUNED = ("tol_x", "tol_y", "margin_max")
#: The parameters fixed for a reason of their own.
FIXED = ("spread_window", "top_strip_max", "body_fraction", "rule_aspect", "rule_min_length", "rule_along",
         "rule_edge")
#: The step switches.
STEPS = ("spread", "rules", "tolerance", "top_strip", "margins")


def order(
    boxes: Any,
    ids: Sequence[Any] | None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    separators: Any = None,
    options: ProfileOptions = DEFAULT_OPTIONS,
) -> list[Any]:
    """The quality profile's order of ``boxes`` with other settings (for
    measurement): ``ids`` (default: the box indices) in reading order.

    ``boxes`` and ``separators`` are N x 4 arrays or sequences of ``(x1, y1,
    x2, y2)``, read as :func:`quorlin.order` reads them; with the default
    ``options`` the result is ``quorlin.order``'s.
    """
    from .ordering import check_order_arguments, native_boxes, native_with_separators, page_frame

    settings = options.settings() or None

    def ordered(data: Any, as_array: bool, profile: str, frame: Any, separator_boxes: Any) -> list[int]:
        return _native.order(data, False, "quality", frame, separator_boxes, settings)

    indices: list[int] = native_with_separators(ordered, native_boxes(boxes),
                                                (False, "quality", page_frame(page_bounds)), separators)
    if ids is None:
        return indices
    id_list = check_order_arguments(len(indices), None, ids, page_bounds, None)
    assert id_list is not None
    return [id_list[i] for i in indices]
