"""The OCR-D processor ocrd-quorlin-order.

Each page of the input file group is read as PAGE-XML, its regions are
ordered (by the quality profile, or with exact=true by the exact XY-cut)
and the page is written to the output file group with that order as its
ReadingOrder. A page that already has a ReadingOrder keeps it with
keep-existing=true; otherwise its order is replaced, and the log says so.
A page that cannot be read fails with a message naming its file; OCR-D
then skips it, copies it or stops, as OCRD_MISSING_OUTPUT says.
"""

# The docstrings of this module and of QuorlinOrder are shown by --help.

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

__all__ = ["QuorlinOrder", "cli"]

EXECUTABLE = "ocrd-quorlin-order"


def _ocrd_page(data: bytes) -> OcrdPage:
    """A PAGE file's bytes parsed into OCR-D's page model, as OCR-D parses its input files."""
    revmap: dict[Any, Any] = {}
    page = OcrdPage(*parseEtree(io.BytesIO(data), reverse_mapping=revmap, silence=True,
                                nsmap={"pc": NAMESPACES["page"]}))
    page.revmap = revmap
    return page


class QuorlinOrder(Processor):
    """Nothing of a page changes but its ReadingOrder (and the processing
    step that OCR-D records in its metadata)."""

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
        # the input file's name, for the messages about its page
        given = next((f for f in input_files if f is not None), None)
        self._source = str(given.local_filename) if given is not None and given.local_filename else None
        try:
            super().process_page_file(*input_files)
        finally:
            self._source = None

    def process_page_pcgts(self, *input_pcgts: OcrdPage | None, page_id: str | None = None) -> OcrdPageResult:
        # The page goes through the package's one pipeline on bytes: read_page,
        # page_order, write_page (whose PAGE writer replaces the ReadingOrder
        # alone); the result is parsed back for OCR-D to add its metadata and write.
        pcgts = input_pcgts[0]
        assert pcgts is not None  # OCR-D passes no page without its PAGE
        source = self._source or f"page {page_id}"
        page = read_page(source, "page-xml", to_xml(pcgts).encode("utf-8"))
        if page.reading_order:
            if self.parameter["keep-existing"]:
                return OcrdPageResult(pcgts)
            self.logger.info("%s: the page's own reading order is replaced (-P keep-existing true keeps it)",
                             source)
        order = page_order(page, exact=self.parameter["exact"], direction=self.parameter["direction"])
        return OcrdPageResult(_ocrd_page(write_page(page, order)))


@click.command()
@ocrd_cli_options
def cli(*args: Any, **kwargs: Any) -> None:
    """Order the regions of each PAGE of the input file group; write them to the output file group."""
    ocrd_cli_wrap_processor(QuorlinOrder, *args, **kwargs)
