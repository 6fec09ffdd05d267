"""Many page files: found in folders, ordered (in worker processes with ``jobs``), written beside each other.

``quorlin order FILE... -O DIR`` and ``quorlin order DIR -O DIR`` run here:
:func:`file_jobs` finds the inputs (every supported file below a folder, the
output folder itself left out) and where each goes (the folder's tree
mirrored), :func:`order_file` reads, orders and writes one page in memory,
and :func:`order_files` runs the jobs, in worker processes when asked, and
writes every result in the parent, each file whole or not at all.  A file
that fails is one line naming it; the others are written.
"""

from __future__ import annotations

import logging
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO

from .errors import QuorlinError
from .formats import read_page, write_page
from .ordering import page_order
from .page import Page
from .output import write_output
from .progress import progress_bar
from .workers import in_processes

__all__ = ["PAGE_SUFFIXES", "FileJob", "FileResult", "file_jobs", "order_file", "order_files", "ordered_file",
           "replaced_order_note"]

#: The suffixes of the files a folder is searched for.
PAGE_SUFFIXES = (".xml", ".hocr", ".html", ".htm", ".xhtml", ".json")


@dataclass(frozen=True)
class FileJob:
    """One page file to order and where its result goes."""

    source: Path
    target: Path
    fmt: str = "auto"
    dpi: float | None = None
    exact: bool = False
    keep_existing: bool = False
    direction: str = "auto"


@dataclass
class FileResult:
    """What became of one job: the bytes to write, or the error; and the notes for the user."""

    job: FileJob
    data: bytes | None = None
    error: str | None = None
    notes: list[str] = field(default_factory=list)


def replaced_order_note(source: str) -> str:
    """The note for a file whose own reading order is replaced."""
    return f"{source}: the file's own reading order is replaced (--keep-existing keeps it)"


def ordered_file(page: Page, data: bytes | None, *, exact: bool, direction: str,
                 keep_existing: bool) -> tuple[bytes, str | None]:
    """What ``quorlin order`` writes for a page read from ``data`` (None: from
    the file ``page.source``), and the note for the user, if any: a file that
    has a reading order of its own as it is with ``keep_existing``, else the
    page with the computed order (and a note when that replaces the file's)."""
    if page.reading_order and keep_existing:
        return (data if data is not None else Path(page.source).read_bytes()), None
    note = replaced_order_note(page.source) if page.reading_order else None
    return write_page(page, page_order(page, exact=exact, direction=direction)), note


class _Notes(logging.Handler):
    """Keeps the warnings a reader logs for a file, to be shown with its result."""

    def __init__(self, into: list[str]) -> None:
        super().__init__(logging.WARNING)
        self.into = into

    def emit(self, record: logging.LogRecord) -> None:
        self.into.append(record.getMessage())


def order_file(job: FileJob) -> FileResult:
    """Read, order and write one page file in memory; never raises for a bad file, nor for a
    failure of the package on it (an internal error, named with the file)."""
    result = FileResult(job)
    logger = logging.getLogger("quorlin")
    handler = _Notes(result.notes)
    logger.addHandler(handler)
    propagate, logger.propagate = logger.propagate, False
    try:
        data = job.source.read_bytes()
        page = read_page(job.source, job.fmt, data, dpi=job.dpi)
        result.data, note = ordered_file(page, data, exact=job.exact, direction=job.direction,
                                         keep_existing=job.keep_existing)
        if note is not None:
            result.notes.append(note)
    except QuorlinError as exc:
        result.error = str(exc)
    except OSError as exc:
        result.error = f"{job.source}: {exc.strerror or exc}"
    except Exception as exc:  # a bug: reported as the file's error, so that the other files are still written
        # (Ctrl-C, a signal's Stopped and SystemExit are no Exception: they stop the run)
        result.error = f"{job.source}: internal error: {type(exc).__name__}: {exc}"
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate
    return result


def _order_files(jobs: list[FileJob]) -> list[FileResult]:
    """Worker: a few jobs in, their results out."""
    return [order_file(job) for job in jobs]


def _names(jobs: list[FileJob]) -> str:
    return ", ".join(str(job.source) for job in jobs)


def _walk(folder: Path, leave_out: Path | None) -> Iterator[Path]:
    """The page files below ``folder``, in name order, without hidden entries
    and without the folder ``leave_out`` (the output, when it is inside)."""
    for root, dirs, files in os.walk(folder):
        here = Path(root)
        dirs[:] = sorted(d for d in dirs if not d.startswith(".")
                         and (leave_out is None or (here / d).resolve() != leave_out))
        for name in sorted(files):
            if not name.startswith(".") and Path(name).suffix.lower() in PAGE_SUFFIXES:
                yield here / name


def file_jobs(inputs: Sequence[str], output: str | None, in_place: bool, *, fmt: str = "auto",
              dpi: float | None = None, exact: bool = False, keep_existing: bool = False,
              direction: str = "auto") -> list[FileJob]:
    """The jobs of ``quorlin order INPUT... -O OUTPUT`` (or ``--in-place``).

    A folder stands for the page files below it, whose tree is mirrored in
    ``output``; a file given by name goes to ``output`` under its own name.
    Raises :class:`QuorlinError` when an input is missing, when two inputs
    would be written to one file, and when a file would be written over
    itself without ``in_place``.
    """
    if output is None and not in_place:
        raise QuorlinError("several inputs or a folder need -O DIR (or --in-place to write each file over itself)")
    out_dir = Path(output).resolve() if output is not None else None
    pairs: list[tuple[Path, Path]] = []
    for given in inputs:
        path = Path(given)
        if path.is_dir():
            found = list(_walk(path, out_dir))
            pairs.extend((f, f if out_dir is None else out_dir / f.relative_to(path)) for f in found)
        elif path.exists():
            pairs.append((path, path if out_dir is None else out_dir / path.name))
        else:
            raise QuorlinError(f"{given}: no such file or folder")
    jobs: list[FileJob] = []
    seen: dict[Path, Path] = {}
    for source, target in pairs:
        key = target.resolve()
        if key in seen:
            raise QuorlinError(f"{seen[key]} and {source} would both be written to {target}")
        seen[key] = source
        if not in_place and key == source.resolve():
            raise QuorlinError(f"{source} would be written over itself (the output folder is its own); give "
                               "--in-place to do that, or another -O folder")
        jobs.append(FileJob(source, target, fmt, dpi, exact, keep_existing, direction))
    return jobs


#: How many files a worker gets at a time: enough to pay for the trip.
FILES_PER_CHUNK = 4


def order_files(jobs: list[FileJob], *, workers: int = 1, err: IO[str], progress: bool | None = None) -> int:
    """Order every job and write its result; returns how many files failed.

    Notes and errors go to ``err``, one line each, named by file.  With
    ``workers`` > 1 the files are ordered in that many processes (a few at a
    time each); every file is written here, in this process, whole or not
    at all.
    """
    if progress is None:
        progress = bool(getattr(err, "isatty", lambda: False)())
    chunks = [jobs[i:i + FILES_PER_CHUNK] for i in range(0, len(jobs), FILES_PER_CHUNK)]
    if workers > 1 and len(jobs) > 1:
        results: Iterator[list[FileResult]] = in_processes(_order_files, chunks, workers, _names)
    else:
        results = (_order_files(chunk) for chunk in chunks)
    failed = 0
    with progress_bar(len(jobs), " files", err, progress) as bar:
        for batch in results:
            for result in batch:
                for note in result.notes:
                    bar.write(f"quorlin: {note}", file=err)
                if result.error is None and result.data is not None:
                    try:
                        result.job.target.parent.mkdir(parents=True, exist_ok=True)
                        write_output(str(result.job.target), result.data)
                    except QuorlinError as exc:
                        result.error = str(exc)
                    except OSError as exc:
                        result.error = f"{result.job.target.parent}: cannot make the folder: {exc.strerror or exc}"
                if result.error is not None:
                    failed += 1
                    bar.write(f"quorlin: error: {result.error}", file=err)
                bar.update()
    return failed
