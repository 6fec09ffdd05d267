"""Many pages at once: JSON Lines in, JSON Lines out, across processes.

:func:`order_page` is the per-page function (a JSON page object in, the same
object with its "order" out); it is what ``quorlin order --jobs N`` runs in
each worker process, and what a Dask bag can ``map`` over.
"""

from __future__ import annotations

import logging
import sys
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import IO, Any

from tqdm import tqdm

from . import _native
from .errors import QuorlinError
from .explaining import page_explanation
from .formats.detections import DETECTION_FORMATS, detections_document, looks_like_detections, page_from_detections
from .formats.jsonpage import dump_json, element_label, load_json, page_from_json, page_problem
from .labels import role_code
from .ordering import page_order
from .workers import in_processes

__all__ = ["order_page", "explain_page", "order_json_value", "explain_json_value", "order_lines", "run_batch", "LineResult"]


def ordered_json_document(obj: Any, source: str = "<json>", *, exact: bool = False) -> dict[str, Any]:
    """A parsed JSON page with its "order": what ``quorlin order`` writes for it
    (with ``exact``, what ``quorlin order --exact`` writes).

    The page is read by ``quorlin._native`` straight from its dict into the
    ordering, with the checks and messages of :func:`page_from_json`, whose
    bounds and separators the ordering reads.
    """
    ordered = _native.order_json_page(obj, element_label, "exact" if exact else "quality", None,
                                      None if exact else role_code)
    if ordered[1] is not None:
        raise page_problem(source, ordered[1])
    document = dict(obj)
    document["order"] = ordered[0]
    return document


def order_json_value(value: Any, source: str = "<page>", fmt: str = "auto", *, exact: bool = False) -> Any:
    """Order one parsed JSON value: a JSON page, or detector output.

    ``fmt`` is "auto", "json" (a JSON page), "detections" or "coco".
    Returns what :func:`write_page` would write, as a JSON value: the page
    with its "order", or the detections in reading order (the quality
    profile's, or with ``exact`` the core's exact XY-cut).
    """
    if fmt == "json" or (fmt == "auto" and not looks_like_detections(value)):
        return ordered_json_document(value, source, exact=exact)
    page = page_from_detections(value, source, fmt if fmt in DETECTION_FORMATS else "auto")
    return detections_document(page, page_order(page, exact=exact))


def explain_json_value(value: Any, source: str = "<page>", fmt: str = "auto", *,
                       exact: bool = False) -> dict[str, Any]:
    """What ``quorlin order --explain`` writes for one parsed JSON value (a
    JSON page or detector output, as for :func:`order_json_value`)."""
    if fmt == "json" or (fmt == "auto" and not looks_like_detections(value)):
        page = page_from_json(value, source)
    else:
        page = page_from_detections(value, source, fmt if fmt in DETECTION_FORMATS else "auto")
    return page_explanation(page, exact=exact)


def order_page(page: Mapping[str, Any], source: str = "<page>", *, exact: bool = False) -> dict[str, Any]:
    """Order one JSON page object; return a copy of it with "order" set: the
    package's default order (the quality profile), or with ``exact`` the
    core's exact XY-cut.

    Raises :class:`quorlin.errors.PageError` for a page that is not valid,
    including a value that is not an object at all (a JSON list, number,
    string or null on a line of a batch).

    The page is read by ``quorlin._native`` straight from its dict, with the
    checks and messages of :func:`quorlin.formats.page_from_json`.
    """
    return ordered_json_document(dict(page) if isinstance(page, Mapping) and not isinstance(page, dict) else page,
                                 source, exact=exact)


def explain_page(page: Mapping[str, Any], source: str = "<page>", *, exact: bool = False) -> dict[str, Any]:
    """What ``quorlin order --explain`` writes for one JSON page object: its
    source, order, cuts and fallbacks (see :meth:`quorlin.page.Page.explain`).

    Raises :class:`quorlin.errors.PageError` for a page that is not valid.
    """
    return explain_json_value(dict(page) if isinstance(page, Mapping) and not isinstance(page, dict) else page,
                              source, "json", exact=exact)


@dataclass(frozen=True)
class LineResult:
    """Outcome of one input line: the output JSON text, or the error message."""

    line: int
    output: str | None
    error: str | None


def _order_line(item: tuple[str, int, bytes, str], explain: bool = False, exact: bool = False) -> LineResult:
    """Worker: parse, order (or explain) and serialise one line; never raises."""
    source, number, raw, fmt = item
    where = f"{source}:{number}"
    try:
        value = load_json(where, raw)
        result = (explain_json_value(value, where, fmt, exact=exact) if explain
                  else order_json_value(value, where, fmt, exact=exact))
        return LineResult(number, dump_json(result), None)
    except QuorlinError as exc:
        return LineResult(number, None, str(exc))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # a bug, or the module's internal failure: report, keep going
        return LineResult(number, None, f"{where}: internal error: {type(exc).__name__}: {exc}")


def _init_worker(log_level: int) -> None:
    """Worker start-up: show the module's log lines as the parent does."""
    if log_level < logging.WARNING:
        logging.basicConfig(level=logging.WARNING, format="%(name)s: %(message)s", stream=sys.stderr)
        logging.getLogger("quorlinpy").setLevel(log_level)
    from . import reset_log_cache

    reset_log_cache()


_Chunk = tuple[str, str, bool, bool, list[tuple[int, bytes]]]


def _order_chunk(chunk: _Chunk) -> list[tuple[int, str | None, str | None]]:
    """Worker of a pool: one chunk of lines in, their results out as plain tuples."""
    source, fmt, explain, exact, lines = chunk
    results = []
    for number, raw in lines:
        result = _order_line((source, number, raw, fmt), explain, exact)
        results.append((result.line, result.output, result.error))
    return results


def _chunk_lines(chunk: _Chunk) -> str:
    """A chunk as messages name it: its lines."""
    source, _, _, _, lines = chunk
    return f"{source}:{lines[0][0]}-{lines[-1][0]}" if lines else source


def _chunks(source: str, fmt: str, explain: bool, exact: bool, items: Iterator[tuple[int, bytes]],
            size: int) -> Iterator[_Chunk]:
    """The numbered lines in chunks of about ``size`` bytes (at least one line each)."""
    chunk: list[tuple[int, bytes]] = []
    filled = 0
    for number, raw in items:
        chunk.append((number, raw))
        filled += len(raw)
        if filled >= size:
            yield source, fmt, explain, exact, chunk
            chunk, filled = [], 0
    if chunk:
        yield source, fmt, explain, exact, chunk


def order_lines(
    lines: Iterable[bytes],
    *,
    jobs: int = 1,
    source: str = "<input>",
    chunksize: int = 1 << 18,
    fmt: str = "auto",
    explain: bool = False,
    exact: bool = False,
) -> Iterator[LineResult]:
    """Order the JSON pages of ``lines`` (one page per line) in input order.

    Blank lines are skipped but still counted, so line numbers match the
    file.  With ``jobs`` > 1 the pages are spread over that many processes,
    in chunks of about ``chunksize`` bytes of input (whole lines), so that
    each trip to a worker carries enough work to pay for itself; the results
    still come back in input order, one per page; a worker that dies is a
    :class:`quorlin.workers.WorkerLost` naming its lines, and an interrupt
    stops every worker at once.  A line may also hold
    detector output (a list of detections, a COCO object): each line's shape
    is told from its content with ``fmt`` "auto", or forced with "json",
    "detections" or "coco".  With ``explain`` each output line is the page's
    explanation (:func:`explain_json_value`) instead; with
    ``exact`` the pages get the core's exact XY-cut instead of the quality
    profile.
    """
    items = ((number, raw) for number, raw in enumerate(lines, 1) if raw.strip())
    if jobs <= 1:
        for number, raw in items:
            yield _order_line((source, number, raw, fmt), explain, exact)
        return
    level = logging.getLogger("quorlinpy").getEffectiveLevel()
    chunks = _chunks(source, fmt, explain, exact, items, chunksize)
    for results in in_processes(_order_chunk, chunks, jobs, _chunk_lines, _init_worker, (level,)):
        for number, output, error in results:
            yield LineResult(number, output, error)


def run_batch(
    source: str,
    lines: Iterable[bytes],
    out: IO[str],
    err: IO[str],
    *,
    jobs: int = 1,
    total: int | None = None,
    progress: bool | None = None,
    fmt: str = "auto",
    explain: bool = False,
    exact: bool = False,
) -> int:
    """Order every page of a JSON Lines input and write one output line per page.

    A page that fails is reported on ``err`` as "FILE:LINE: problem" and
    written to ``out`` as {"line": N, "error": "..."}, so that output line k
    still belongs to input page k.  Returns the number of failed pages.
    ``progress`` defaults to showing a bar when ``err`` is a terminal;
    ``fmt`` is the shape of each line and ``exact`` asks for the exact
    order (see :func:`order_lines`).
    """
    if progress is None:
        progress = bool(getattr(err, "isatty", lambda: False)())
    failed = 0
    with tqdm(total=total, unit=" pages", file=err, disable=not progress, mininterval=0.1,
              dynamic_ncols=True) as bar:
        for result in order_lines(lines, jobs=jobs, source=source, fmt=fmt, explain=explain, exact=exact):
            if result.error is not None:
                failed += 1
                bar.write(f"quorlin: error: {result.error}", file=err)
                out.write(dump_json({"line": result.line, "error": result.error}) + "\n")
            else:
                assert result.output is not None
                out.write(result.output + "\n")
            bar.update()
    return failed
