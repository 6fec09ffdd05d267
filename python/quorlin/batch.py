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

from . import _native
from .errors import QuorlinError
from .explaining import page_explanation
from .formats.detections import DETECTION_FORMATS, detections_document, looks_like_detections, page_from_detections
from .formats.jsonpage import dump_json, element_label, load_json, page_from_json, page_problem
from .labels import role_code
from .direction import DIRECTIONS
from .ordering import page_order
from .progress import progress_bar
from .workers import Stopped, in_processes

__all__ = ["order_page", "explain_page", "order_json_value", "explain_json_value", "order_lines", "run_batch", "LineResult",
           "replaced_orders_note"]


def ordered_json_document(obj: Any, source: str = "<json>", *, exact: bool = False,
                          direction: str = "auto") -> dict[str, Any]:
    """A parsed JSON page with its "order": what ``quorlin order`` writes for it
    (with ``exact``, what ``quorlin order --exact`` writes).  A JSON page
    states no direction: "auto" reads it left to right.

    The page is read by ``quorlin._native`` straight from its dict into the
    ordering, with the checks and messages of :func:`page_from_json`, whose
    bounds and separators the ordering reads.
    """
    ordered = _native.order_json_page(obj, element_label, "exact" if exact else "quality", None,
                                      None if exact else role_code, _native_direction(direction))
    if ordered[1] is not None:
        raise page_problem(source, ordered[1])
    document = dict(obj)
    document["order"] = ordered[0]
    return document


def _native_direction(direction: str) -> Any:
    """``direction`` as the module takes it: None for a page read left to right."""
    if direction not in DIRECTIONS:
        raise ValueError(f"direction: expected one of {', '.join(map(repr, DIRECTIONS))}, got {direction!r}")
    return None if direction in ("auto", "ltr") else direction


def order_json_value(value: Any, source: str = "<page>", fmt: str = "auto", *, exact: bool = False,
                     direction: str = "auto") -> Any:
    """Order one parsed JSON value: a JSON page, or detector output.

    ``fmt`` is "auto", "json" (a JSON page), "detections" or "coco".
    Returns what :func:`write_page` would write, as a JSON value: the page
    with its "order", or the detections in reading order (the quality
    profile's, or with ``exact`` the core's exact XY-cut).
    """
    if fmt == "json" or (fmt == "auto" and not looks_like_detections(value)):
        return ordered_json_document(value, source, exact=exact, direction=direction)
    page = page_from_detections(value, source, fmt if fmt in DETECTION_FORMATS else "auto")
    return detections_document(page, page_order(page, exact=exact, direction=direction))


def explain_json_value(value: Any, source: str = "<page>", fmt: str = "auto", *,
                       exact: bool = False, direction: str = "auto") -> dict[str, Any]:
    """What ``quorlin order --explain`` writes for one parsed JSON value (a
    JSON page or detector output, as for :func:`order_json_value`)."""
    if fmt == "json" or (fmt == "auto" and not looks_like_detections(value)):
        page = page_from_json(value, source)
    else:
        page = page_from_detections(value, source, fmt if fmt in DETECTION_FORMATS else "auto")
    return page_explanation(page, exact=exact, direction=direction)


def order_page(page: Mapping[str, Any], source: str = "<page>", *, exact: bool = False,
               direction: str = "auto") -> dict[str, Any]:
    """Order one JSON page object; return a copy of it with "order" set: the
    package's default order (the quality profile), or with ``exact`` the
    core's exact XY-cut; read in ``direction`` ("ltr", "rtl", "ttb"; "auto",
    as a JSON page states no direction, is "ltr").

    Raises :class:`quorlin.errors.PageError` for a page that is not valid,
    including a value that is not an object at all (a JSON list, number,
    string or null on a line of a batch).

    The page is read by ``quorlin._native`` straight from its dict, with the
    checks and messages of :func:`quorlin.formats.page_from_json`.
    """
    return ordered_json_document(dict(page) if isinstance(page, Mapping) and not isinstance(page, dict) else page,
                                 source, exact=exact, direction=direction)


def explain_page(page: Mapping[str, Any], source: str = "<page>", *, exact: bool = False,
                 direction: str = "auto") -> dict[str, Any]:
    """What ``quorlin order --explain`` writes for one JSON page object: its
    source, order, cuts and fallbacks (see :meth:`quorlin.page.Page.explain`).

    Raises :class:`quorlin.errors.PageError` for a page that is not valid.
    """
    return explain_json_value(dict(page) if isinstance(page, Mapping) and not isinstance(page, dict) else page,
                              source, "json", exact=exact, direction=direction)


@dataclass(frozen=True)
class LineResult:
    """Outcome of one input line: the output JSON text, or the error message;
    ``replaced`` when the page's own "order" was replaced by the computed one."""

    line: int
    output: str | None
    error: str | None
    replaced: bool = False


@dataclass(frozen=True)
class _Task:
    """What is done to every line of a batch (see :func:`order_lines`)."""

    source: str
    fmt: str
    explain: bool
    exact: bool
    keep_existing: bool
    direction: str


def _own_order(value: Any, fmt: str) -> bool:
    """Whether a line's value is a JSON page with an "order" of its own."""
    is_page = fmt == "json" or (fmt == "auto" and not looks_like_detections(value))
    return is_page and isinstance(value, dict) and bool(value.get("order"))


def _order_line(task: _Task, number: int, raw: bytes) -> LineResult:
    """Worker: parse, order (or explain) and serialise one line; never raises."""
    where = f"{task.source}:{number}"
    try:
        value = load_json(where, raw)
        if task.explain:
            explained = explain_json_value(value, where, task.fmt, exact=task.exact, direction=task.direction)
            return LineResult(number, dump_json(explained), None)
        # checks the page in either case
        ordered = order_json_value(value, where, task.fmt, exact=task.exact, direction=task.direction)
        if _own_order(value, task.fmt):
            if task.keep_existing:
                return LineResult(number, dump_json(value), None)
            return LineResult(number, dump_json(ordered), None, replaced=True)
        return LineResult(number, dump_json(ordered), None)
    except QuorlinError as exc:
        return LineResult(number, None, str(exc))
    except (KeyboardInterrupt, SystemExit, Stopped):  # the user stops the run (a signal is Stopped)
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


_Chunk = tuple[_Task, list[tuple[int, bytes]]]


def _order_chunk(chunk: _Chunk) -> list[LineResult]:
    """Worker of a pool: one chunk of lines in, their results out."""
    task, lines = chunk
    return [_order_line(task, number, raw) for number, raw in lines]


def _chunk_lines(chunk: _Chunk) -> str:
    """A chunk as messages name it: its lines."""
    task, lines = chunk
    return f"{task.source}:{lines[0][0]}-{lines[-1][0]}" if lines else task.source


def _chunks(task: _Task, items: Iterator[tuple[int, bytes]], size: int) -> Iterator[_Chunk]:
    """The numbered lines in chunks of about ``size`` bytes (at least one line each)."""
    chunk: list[tuple[int, bytes]] = []
    filled = 0
    for number, raw in items:
        chunk.append((number, raw))
        filled += len(raw)
        if filled >= size:
            yield task, chunk
            chunk, filled = [], 0
    if chunk:
        yield task, chunk


def order_lines(
    lines: Iterable[bytes],
    *,
    jobs: int = 1,
    source: str = "<input>",
    chunksize: int = 1 << 18,
    fmt: str = "auto",
    explain: bool = False,
    exact: bool = False,
    keep_existing: bool = False,
    direction: str = "auto",
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
    profile; ``direction`` as for :func:`order_page`.  A page with an "order"
    of its own gets the computed one (its
    result says it was ``replaced``), or with ``keep_existing`` is written
    back as it is, once it is found to be a valid page.
    """
    _native_direction(direction)  # checked once, before any line
    task = _Task(source, fmt, explain, exact, keep_existing, direction)
    items = ((number, raw) for number, raw in enumerate(lines, 1) if raw.strip())
    if jobs <= 1:
        for number, raw in items:
            yield _order_line(task, number, raw)
        return
    level = logging.getLogger("quorlinpy").getEffectiveLevel()
    chunks = _chunks(task, items, chunksize)
    for results in in_processes(_order_chunk, chunks, jobs, _chunk_lines, _init_worker, (level,)):
        yield from results


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
    keep_existing: bool = False,
    direction: str = "auto",
) -> int:
    """Order every page of a JSON Lines input and write one output line per page.

    A page that fails is reported on ``err`` as "FILE:LINE: problem" and
    written to ``out`` as {"line": N, "error": "..."}, so that output line k
    still belongs to input page k.  Returns the number of failed pages.
    ``progress`` defaults to showing a bar when ``err`` is a terminal;
    ``fmt`` is the shape of each line, ``exact`` asks for the exact
    order and ``keep_existing`` keeps the pages' own orders (see
    :func:`order_lines`); replaced orders are counted in one note at the end.
    """
    if progress is None:
        progress = bool(getattr(err, "isatty", lambda: False)())
    failed = replaced = 0
    with progress_bar(total, " pages", err, progress) as bar:
        for result in order_lines(lines, jobs=jobs, source=source, fmt=fmt, explain=explain, exact=exact,
                                  keep_existing=keep_existing, direction=direction):
            if result.error is not None:
                failed += 1
                bar.write(f"quorlin: error: {result.error}", file=err)
                out.write(dump_json({"line": result.line, "error": result.error}) + "\n")
            else:
                assert result.output is not None
                out.write(result.output + "\n")
                replaced += result.replaced
            bar.update()
        if replaced:
            bar.write(f"quorlin: {replaced_orders_note(source, replaced)}", file=err)
    return failed


def replaced_orders_note(source: str, pages: int) -> str:
    """The note for a JSON Lines input whose pages' own reading orders were replaced."""
    return (f"{source}: the own reading order of {pages} page{'s' if pages != 1 else ''} is replaced "
            f"(--keep-existing keeps {'it' if pages == 1 else 'them'})")
