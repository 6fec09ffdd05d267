"""The OCR-D processor ``ocrd-quorlin-order``: the reading order of every PAGE in a METS workspace.

:mod:`quorlin.ocrd.processor` holds the processor, written against the OCR-D
library (``pip install 'quorlin[ocrd]'``); ``ocrd-tool.json`` beside it
describes the tool to OCR-D.  This module imports nothing from OCR-D, so
that the package works without it: :func:`main`, the console script, loads
the processor when it runs and says how to install OCR-D when it is missing.
"""

from __future__ import annotations

import sys

__all__ = ["main"]

#: The top-level modules of the OCR-D library the processor imports.
_OCRD_MODULES = frozenset({"ocrd", "ocrd_models", "ocrd_modelfactory", "ocrd_utils", "ocrd_validators"})


def main() -> None:
    """The ``ocrd-quorlin-order`` command."""
    try:
        from .processor import cli
    except ModuleNotFoundError as exc:
        if (exc.name or "").partition(".")[0] not in _OCRD_MODULES:
            raise
        sys.exit("ocrd-quorlin-order needs the OCR-D library, which is not installed: "
                 "pip install 'quorlin[ocrd]'")
    cli()
