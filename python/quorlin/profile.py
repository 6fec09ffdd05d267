"""The quality profile, the package's default order, with its settings.

:func:`quorlin.order` orders a page by the quality profile unless it is asked
for the exact XY-cut (``exact=True``).  The profile is geometry around the
core, computed in C++ by ``quorlin._native``: a two-page spread (an empty
middle with columns beside it) is split at its fold, long vertical separator
rules clip the boxes that reach over them (and the core cuts no row of the
text across one), every box is shrunk a little so that boxes that touch or
overlap by a few pixels leave a gap, a thin strip at the top of each page
(running head, page number) is read first, marginal notes are merged back
beside the text they stand next to (a note given as text lines whole, beside
its paragraph), and boxes with a NaN or infinite coordinate are read last.
With labels (``quorlin.labels.ROLE_NAMES``) page headers come first and
footers and page numbers last, footnotes after the text above them, a
caption stays with its figure and a drop capital goes right before the text
it begins; ``ProfileOptions(labels=False)`` ignores them.
The core orders each part of the page on the shrunk boxes.  docs/quality.md
gives each step with its measured effect.

:class:`ProfileOptions` holds the profile's parameters and step switches.
The defaults are the package's order; other values serve measurement only
(``bench/profile_cv.py`` varies them), through :func:`order`.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from . import _native

__all__ = ["ProfileOptions", "DEFAULT_OPTIONS", "TUNED", "FIXED", "STEPS", "order"]

_OPTIONS_DOC = """Parameters and step switches of the quality profile.

Every length is a fraction of the page or of other boxes, so the order
does not depend on the scan resolution.  The parameters in ``TUNED`` were
chosen by cross-validation on the page collections of ``bench/data``
(docs/quality.md, "Parameters", says which by hand between the folds' picks);
those in ``FIXED`` are fixed, each for its reason, and settable only to
measure that the order does not hang on them; ``STEPS`` are the step
switches.  The settings, their defaults and what each is come from the
engine's table of them (``quorlin._native.PROFILE_SETTINGS``); each field's
``metadata["doc"]`` says what it is.
"""


def _replace(self: Any, **changes: Any) -> Any:
    """A copy with some settings changed."""
    return dataclasses.replace(self, **changes)


#: Each setting's name and default, in the engine's order.
_DEFAULTS = tuple((name, default) for name, _, default, _, _ in _native.PROFILE_SETTINGS)


def _settings(self: Any) -> dict[str, float | bool]:
    """The settings that differ from the defaults, as ``quorlin._native`` takes them."""
    return {name: value for name, default in _DEFAULTS if (value := getattr(self, name)) != default}


if TYPE_CHECKING:
    class ProfileOptions:
        """Parameters and step switches of the quality profile (a frozen dataclass, one field per setting).

        For type checkers, each setting by name (the table ``quorlin._native.PROFILE_SETTINGS`` makes the
        class when the module is run; a test holds the two to the same names and kinds).
        """

        tol_x: float
        tol_y: float
        shrink_share: float
        overlap_share: float
        aligned_share: float
        margin_max: float
        article_span: float
        band_min: float
        band_ratio: float
        spread_window: float
        top_strip_max: float
        column_edge: float
        head_gap: float
        furniture_band: float
        footnote_band: float
        caption_gap: float
        body_fraction: float
        rule_aspect: float
        rule_min_length: float
        rule_along: float
        rule_edge: float
        spread: bool
        rules: bool
        tolerance: bool
        top_strip: bool
        margins: bool
        foot_line: bool
        labels: bool
        furniture: bool
        footnotes: bool
        captions: bool
        initials: bool
        articles: bool
        bands: bool
        scale: bool
        gutters: bool

        def __init__(
            self, *, tol_x: float = ..., tol_y: float = ..., shrink_share: float = ..., overlap_share: float = ...,
            aligned_share: float = ..., margin_max: float = ..., article_span: float = ..., band_min: float = ...,
            band_ratio: float = ..., spread_window: float = ..., top_strip_max: float = ...,
            column_edge: float = ..., head_gap: float = ..., furniture_band: float = ...,
            footnote_band: float = ..., caption_gap: float = ..., body_fraction: float = ...,
            rule_aspect: float = ..., rule_min_length: float = ..., rule_along: float = ...,
            rule_edge: float = ..., spread: bool = ..., rules: bool = ..., tolerance: bool = ...,
            top_strip: bool = ..., margins: bool = ..., foot_line: bool = ..., labels: bool = ...,
            furniture: bool = ..., footnotes: bool = ..., captions: bool = ..., initials: bool = ...,
            articles: bool = ..., bands: bool = ..., scale: bool = ..., gutters: bool = ...,
        ) -> None: ...

        def replace(
            self, *, tol_x: float = ..., tol_y: float = ..., shrink_share: float = ..., overlap_share: float = ...,
            aligned_share: float = ..., margin_max: float = ..., article_span: float = ..., band_min: float = ...,
            band_ratio: float = ..., spread_window: float = ..., top_strip_max: float = ...,
            column_edge: float = ..., head_gap: float = ..., furniture_band: float = ...,
            footnote_band: float = ..., caption_gap: float = ..., body_fraction: float = ...,
            rule_aspect: float = ..., rule_min_length: float = ..., rule_along: float = ...,
            rule_edge: float = ..., spread: bool = ..., rules: bool = ..., tolerance: bool = ...,
            top_strip: bool = ..., margins: bool = ..., foot_line: bool = ..., labels: bool = ...,
            furniture: bool = ..., footnotes: bool = ..., captions: bool = ..., initials: bool = ...,
            articles: bool = ..., bands: bool = ..., scale: bool = ..., gutters: bool = ...,
        ) -> ProfileOptions: ...

        def settings(self) -> dict[str, float | bool]: ...
else:
    ProfileOptions = dataclasses.make_dataclass(
        "ProfileOptions",
        [(name, float if kind == "number" else bool, dataclasses.field(default=default, metadata={"doc": doc}))
         for name, kind, default, group, doc in _native.PROFILE_SETTINGS],
        namespace={"__doc__": _OPTIONS_DOC, "__module__": __name__, "replace": _replace, "settings": _settings},
        frozen=True,
        slots=True,
    )

DEFAULT_OPTIONS = ProfileOptions()


def _group(name: str) -> tuple[str, ...]:
    return tuple(setting[0] for setting in _native.PROFILE_SETTINGS if setting[3] == name)


#: The parameters chosen by cross-validation.
TUNED = _group("tuned")
#: The parameters fixed for a reason of their own.
FIXED = _group("fixed")
#: The step switches.
STEPS = _group("step")


def order(
    boxes: Any,
    ids: Sequence[Any] | None = None,
    *,
    page_bounds: tuple[float, float, float, float] | None = None,
    separators: Any = None,
    options: ProfileOptions = DEFAULT_OPTIONS,
    labels: Any = None,
) -> list[Any]:
    """The quality profile's order of ``boxes`` with other settings (for
    measurement): ``ids`` (default: the box indices) in reading order.

    ``boxes`` and ``separators`` are N x 4 arrays or sequences of ``(x1, y1,
    x2, y2)``, and ``labels`` class names, kinds or roles, read as
    :func:`quorlin.order` reads them.  ``options`` is a :class:`ProfileOptions`
    (anything else, None or a dict of settings too, is a TypeError); with the
    default ``options`` the result is ``quorlin.order``'s.
    """
    from .ordering import LABEL_CODES, id_list, label_list

    if options is DEFAULT_OPTIONS:
        settings = None
    elif isinstance(options, ProfileOptions):
        settings = options.settings() or None
    else:
        # None or a dict of settings has no .settings(): name the argument and
        # the type it takes, as quorlin.order does for its own arguments.
        raise TypeError(f"options must be a ProfileOptions, not {type(options).__name__}")
    indices: list[int] = _native.order(boxes, False, "quality", page_bounds, separators, settings,
                                       None, None, label_list(labels), LABEL_CODES)
    if ids is None:
        return indices
    ordered_ids = id_list(len(indices), ids)
    return [ordered_ids[i] for i in indices]
