"""The OCR-D processor: each input PAGE ordered by the package, written to the output file group.

OCR-D hands :meth:`QuorlinOrder.process_page_pcgts` one parsed PAGE per
page.  It is serialised and put through the package's one pipeline on bytes
(:func:`~quorlin.formats.read_page`, :func:`~quorlin.ordering.page_order`,
:func:`~quorlin.formats.write_page`), whose PAGE writer replaces only the
ReadingOrder, and the result is parsed back for OCR-D, which adds its
processing step to the page's metadata and writes the file.  A page the
package cannot read raises its :class:`~quorlin.errors.PageError`, naming
the input file; OCR-D then handles the page as it is configured to
(``OCRD_MISSING_OUTPUT``: skip the page, copy it unchanged or abort).
"""

from __future__ import annotations

import io
from typing import Any

import click
from ocrd import Processor
from ocrd.decorators import ocrd_cli_options, ocrd_cli_wrap_processor
from ocrd.processor.ocrd_page_result import OcrdPageResult
from ocrd_models.constants import NAMESPACES
from ocrd_models.ocrd_page import OcrdPage, parseEtree, to_xml

from ..formats import read_page, write_page
from ..ordering import page_order
from ..page import Page, RegionId

__all__ = ["QuorlinOrder", "cli"]

EXECUTABLE = "ocrd-quorlin-order"


def _order(page: Page, exact: bool, direction: str) -> list[RegionId]:
    """The page's reading order under the processor's parameters."""
    # TODO(direction): pass direction=direction once page_order takes the keyword
    return page_order(page, exact=exact)


def _ocrd_page(data: bytes) -> OcrdPage:
    """A PAGE file's bytes parsed into OCR-D's page model, as OCR-D parses its input files."""
    revmap: dict[Any, Any] = {}
    page = OcrdPage(*parseEtree(io.BytesIO(data), reverse_mapping=revmap, silence=True,
                                nsmap={"pc": NAMESPACES["page"]}))
    page.revmap = revmap
    return page


class QuorlinOrder(Processor):
    """Writes the reading order of each page's regions as the page's ReadingOrder."""

    #: The input file being processed, to name in messages about its page.
    _source: str | None = None

    @property
    def executable(self) -> str:
        # the tool's name, whatever program runs the processor (the console script, tests)
        return EXECUTABLE

    @property
    def metadata_filename(self) -> str:
        # ocrd-tool.json lies beside this module, not at the top of the package
        return "ocrd/ocrd-tool.json"

    def process_page_file(self, *input_files: Any) -> None:
        given = next((f for f in input_files if f is not None), None)
        self._source = str(given.local_filename) if given is not None and given.local_filename else None
        try:
            super().process_page_file(*input_files)
        finally:
            self._source = None

    def process_page_pcgts(self, *input_pcgts: OcrdPage | None, page_id: str | None = None) -> OcrdPageResult:
        pcgts = input_pcgts[0]
        assert pcgts is not None  # OCR-D passes no page without its PAGE
        source = self._source or f"page {page_id}"
        page = read_page(source, "page-xml", to_xml(pcgts).encode("utf-8"))
        if page.reading_order:
            if self.parameter["keep-existing"]:
                return OcrdPageResult(pcgts)
            self.logger.info("%s: the page's own reading order is replaced (-P keep-existing true keeps it)",
                             source)
        order = _order(page, self.parameter["exact"], self.parameter["direction"])
        return OcrdPageResult(_ocrd_page(write_page(page, order)))


@click.command()
@ocrd_cli_options
def cli(*args: Any, **kwargs: Any) -> None:
    """Order the regions of each PAGE of the input file group; write them to the output file group."""
    ocrd_cli_wrap_processor(QuorlinOrder, *args, **kwargs)
