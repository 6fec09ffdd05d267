"""quorlin: reading order of document page layouts, over the ``_quorlin_core`` module.

The module's own API is re-exported unchanged (``Element``, ``SemanticLabel``,
``XYCutConfig``, ``compute_order_mervane``), with :func:`reset_log_cache`
resetting the package's module as well; on top of it:

* :func:`order` - reading order of plain boxes (a list or an N x 4 array);
* :func:`explain` - the order with the cuts and fallbacks that made it;
* :func:`page_order` / :func:`explain_page` - the same for a :class:`~quorlin.page.Page` read from a file;
* :data:`LABELS` / :func:`label_for` - detector class names -> SemanticLabel;
* :func:`order_page` - the per-page function for JSON pages (batch, Dask);
* :func:`from_detections` - detector output (x1,y1,x2,y2 lists, COCO) as boxes and class names;
* :func:`read_page` - a page file of any format (:mod:`quorlin.formats`: JSON
  pages, PAGE-XML, ALTO, hOCR, detections), read and written;
* :mod:`quorlin.draw` - an SVG picture of the order and of the XY-cuts;
* the ``quorlin`` command (:mod:`quorlin.cli`).
"""

from __future__ import annotations


import _quorlin_core
from _quorlin_core import Element, SemanticLabel, XYCutConfig, compute_order_mervane

from . import _native
from .batch import order_page
from .formats.detections import from_detections
from .errors import PageError, QuorlinError
from .explaining import Explanation, explain, explain_page
from .formats import read_page
from .labels import LABELS, label_for
from .ordering import order, page_order


def reset_log_cache() -> None:
    """Make both extension modules look again at which levels Python's logging enables.

    ``_quorlin_core`` keeps, per logger, the levels enabled when it first
    logged to it, and so does ``quorlin._native`` for the lines of a call
    that logs (whether a call of the package logs at all is asked anew on
    every call).  Call this after reconfiguring logging, as
    ``_quorlin_core.reset_log_cache()`` for the core alone; it resets both
    caches.
    """
    _quorlin_core.reset_log_cache()
    _native.reset_log_cache()


def __getattr__(name: str) -> str:
    # The version is looked up on first use: importlib.metadata costs a few
    # tens of milliseconds, which every run of the command would pay.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError
        from importlib.metadata import version as _version

        try:
            version = _version("quorlin")
        except PackageNotFoundError:  # running from a source tree
            version = "0+unknown"
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = [
    "Element",
    "SemanticLabel",
    "XYCutConfig",
    "compute_order_mervane",
    "reset_log_cache",
    "order",
    "page_order",
    "explain_page",
    "explain",
    "Explanation",
    "order_page",
    "from_detections",
    "read_page",
    "LABELS",
    "label_for",
    "PageError",
    "QuorlinError",
    "__version__",
]
