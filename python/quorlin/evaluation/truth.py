"""Pages with a human reading order, read from PAGE-XML, JSON and JSON Lines files.

Ground truth is one or more ordered *chains* of region ids; only pairs within
one chain are compared when scoring (see :mod:`quorlin.evaluation.scoring`).

PAGE-XML: the <ReadingOrder> of the file.  Its groups become chains thus:

* a top-level OrderedGroup is one chain, holding its region refs and those
  of the ordered groups nested in it, depth-first, each group's children
  sorted by @index (the file is read by
  :mod:`quorlin.formats.xml.readingorder`, the same walk that reads the
  stored order of every PAGE-XML page);
* each OrderedGroup inside an UnorderedGroup (at any depth) starts a chain of
  its own, since the reader may take those groups in any order;
* a region ref directly inside an UnorderedGroup belongs to no chain: it is
  neither ordered nor scored.

A file without a ReadingOrder, or whose ReadingOrder orders nothing, has no
ground truth; :func:`read_truth` leaves it out and says so.

JSON pages (a ``.json`` file holding one page or a list of pages, or JSON
Lines with one page per line, as ``bench/data/pages.jsonl``): ``gt_order``,
the ids in human reading order, and optionally ``gt_chains``, the same ids
split into independent chains (then ``gt_order`` may be left out).  A JSON
page without either is an error; one whose ground truth holds no id (``[]``,
or chains that are all empty) has nothing to score and is left out, as a
PAGE-XML file whose ReadingOrder orders nothing is.

Each page may belong to a collection: a JSON page's ``collection`` key, else
the folder it was found in (for a directory given as input, the first folder
below it; files directly inside it belong to the directory's own name).
"""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

from ..errors import PageError
from ..formats import read_page, sniff_format
from ..formats.jsonpage import load_json, page_from_json
from ..formats.pagexml import reading_order_chains
from ..formats.values import shown_json
from ..page import Page, RegionId

__all__ = [
    "TruthPage", "Skipped", "reading_order_chains", "truth_from_json", "truth_from_xml", "read_truth", "stored_order",
]

JSONL_SUFFIXES = (".jsonl", ".ndjson")
FORMATS = ("auto", "json", "jsonl", "page-xml")


@dataclass
class TruthPage:
    """A page and its human reading order."""

    #: where the page is, for messages and reports: "FILE" or "FILE:LINE"
    name: str
    page: Page
    #: the human order as independent chains of region ids
    chains: list[list[RegionId]]
    collection: str | None = None
    #: the page's origin as the file records it (a JSON page's "source")
    source: str | None = None
    #: the input file, and its path below the directory it was found in
    path: str = ""
    relative: str = ""

    @property
    def order(self) -> list[RegionId]:
        """Every id of the ground truth: the chains one after the other."""
        return [i for chain in self.chains for i in chain]


@dataclass(frozen=True)
class Skipped:
    """An input page that has no ground truth to score against."""

    name: str
    reason: str


def _check_chains(name: str, page: Page, chains: list[list[RegionId]], what: str) -> None:
    """Every ground-truth id is a region of the page, and only once."""
    known = {r.id for r in page.regions + page.skipped}
    seen: set[RegionId] = set()
    for chain in chains:
        for rid in chain:
            if rid in seen:
                raise PageError(name, f"ground-truth id {shown_json(rid)} appears twice in {what}")
            seen.add(rid)
            # A PAGE-XML reading order may name a region nested in another one;
            # the reader has checked those, and the package does not order them.
            if rid not in known and page.format != "page-xml":
                raise PageError(name, f"ground-truth id {shown_json(rid)} in {what} is not an element of the page")


def truth_from_xml(
    data: bytes, name: str, collection: str | None = None, fmt: str = "page-xml",
) -> TruthPage | Skipped:
    """A PAGE-XML file with its ReadingOrder, or :class:`Skipped` when it has none."""
    page = read_page(name, fmt, data)
    chains = reading_order_chains(page)
    if chains is None:
        return Skipped(name, "no ReadingOrder")
    if not chains:
        return Skipped(name, "its ReadingOrder orders no region")
    typed: list[list[RegionId]] = [list(c) for c in chains]
    _check_chains(name, page, typed, "the ReadingOrder")
    return TruthPage(name, page, typed, collection)


def _id_list(name: str, key: str, value: Any) -> list[RegionId]:
    if not isinstance(value, list):
        raise PageError(name, f"\"{key}\" must be a list of element ids")
    for rid in value:
        if isinstance(rid, bool) or not isinstance(rid, (int, str)):
            raise PageError(name, f"\"{key}\" holds {shown_json(rid)}, which is not an element id")
    return list(value)


def truth_from_json(obj: Any, name: str, collection: str | None = None) -> TruthPage | Skipped:
    """A JSON page with ``gt_order`` and/or ``gt_chains``, or :class:`Skipped`
    when they hold no id."""
    page = page_from_json(obj, name)
    assert isinstance(obj, dict)  # page_from_json accepts nothing else
    if "gt_order" not in obj and "gt_chains" not in obj:
        raise PageError(name, "no ground truth (\"gt_order\" or \"gt_chains\")")
    order: list[RegionId] | None = None
    if "gt_order" in obj:
        order = _id_list(name, "gt_order", obj["gt_order"])
        _check_chains(name, page, [order], "\"gt_order\"")
    if "gt_chains" in obj:
        raw = obj["gt_chains"]
        if not isinstance(raw, list):
            raise PageError(name, "\"gt_chains\" must be a list of lists of element ids")
        chains = [_id_list(name, "gt_chains", chain) for chain in raw]
        _check_chains(name, page, chains, "\"gt_chains\"")
        if order is not None and set(order) != {i for chain in chains for i in chain}:
            raise PageError(name, "\"gt_order\" and \"gt_chains\" do not hold the same ids")
    else:
        assert order is not None
        chains = [order]
    own = obj.get("collection", collection)
    if own is not None and not isinstance(own, str):
        raise PageError(name, f"\"collection\" must be a string, got {shown_json(own)}")
    source = obj.get("source")
    chains = [c for c in chains if c]
    if not chains:
        # Scored, an empty order would count as a perfect page; it is left out
        # as a PAGE-XML ReadingOrder that orders no region is (after the page
        # has been checked, so that a bad page is still an error).
        key = "gt_chains" if "gt_chains" in obj else "gt_order"
        return Skipped(name, f"its ground truth (\"{key}\") orders no element")
    return TruthPage(name, page, chains, own, source if isinstance(source, str) else None)


# --------------------------------------------------------------------------
# input files
# --------------------------------------------------------------------------


def _format_of(path: str, data: bytes, fmt: str) -> str:
    """"page-xml", "json" or "jsonl": ``fmt`` when given, else from the content
    (and the name of a JSON Lines file)."""
    if fmt != "auto":
        return fmt
    sniffed = sniff_format(data)
    if sniffed == "json":
        if Path(path).suffix.lower() in JSONL_SUFFIXES:
            return "jsonl"
        # one JSON value per line rather than one (perhaps indented) value
        lines = [line for line in data.splitlines() if line.strip()]
        if len(lines) > 1 and Path(path).suffix.lower() != ".json":
            try:
                json.loads(lines[0])
                return "jsonl"
            except ValueError:
                pass
        return "json"
    if sniffed == "page-xml":
        return sniffed
    if sniffed is not None:
        shown = {"alto": "ALTO", "hocr": "hOCR"}.get(sniffed, sniffed)
        raise PageError(path, f"{shown} file: quorlin eval reads ground truth from PAGE-XML (its ReadingOrder) "
                              "and JSON pages (\"gt_order\")")
    raise PageError(path, "cannot tell the format (expected PAGE-XML, a JSON page or JSON Lines)")


def _read_bytes(path: str, stdin: IO[bytes] | None) -> bytes:
    if path == "-":
        return (stdin or sys.stdin.buffer).read()
    try:
        return Path(path).read_bytes()
    except FileNotFoundError:
        raise PageError(path, "no such file") from None
    except OSError as exc:
        raise PageError(path, exc.strerror or str(exc)) from None


def _pages_of_file(
    path: str, fmt: str, collection: str | None, stdin: IO[bytes] | None,
) -> Iterator[TruthPage | Skipped]:
    name = "<stdin>" if path == "-" else path
    data = _read_bytes(path, stdin)
    if not data.strip():
        raise PageError(name, "empty file")
    kind = _format_of(name, data, fmt)
    if kind == "page-xml":
        yield truth_from_xml(data, name, collection)
    elif kind == "jsonl":
        for number, line in enumerate(data.splitlines(), 1):
            if line.strip():
                where = f"{name}:{number}"
                yield truth_from_json(load_json(where, line), where, collection)
    elif kind == "json":
        value = load_json(name, data)
        if isinstance(value, list):
            for number, item in enumerate(value):
                yield truth_from_json(item, f"{name}: page {number}", collection)
        else:
            yield truth_from_json(value, name, collection)
    else:
        raise ValueError(f"unknown format {fmt!r}")


def read_truth(
    inputs: Sequence[str], fmt: str = "auto", stdin: IO[bytes] | None = None,
) -> tuple[list[TruthPage], list[Skipped]]:
    """Every page of the input files with its ground truth, in input order,
    and the pages left out for having none.

    ``inputs`` is a list (or another sequence) of inputs, as on the command
    line; a single path, a str or a path object, is a TypeError: pass
    ``[path]``.  An input is a file (PAGE-XML, JSON, JSON Lines; "-" is
    standard input) or a directory, whose ``*.xml`` files (in its sub-folders
    too, in name order) are read whatever ``fmt`` says; they must be PAGE-XML.
    Raises :class:`PageError` naming the file (and line) of the first page
    that cannot be used.
    """
    if isinstance(inputs, (str, bytes, os.PathLike)):
        # A str is a sequence too, and would be read as one file per character.
        raise TypeError(f"inputs must be a sequence of paths, not {type(inputs).__name__}")
    truths: list[TruthPage] = []
    skipped: list[Skipped] = []
    for given in inputs:
        if given != "-" and Path(given).is_dir():
            top = Path(given)
            files = sorted(p for p in top.rglob("*") if p.suffix.lower() == ".xml" and p.is_file())
            if not files:
                raise PageError(given, "directory without PAGE-XML files (*.xml)")
            found = [(str(p), p.relative_to(top)) for p in files]
            kind = "auto"
        else:
            found = [(given, Path(os.path.basename(given)))]
            kind = fmt
        for path, relative in found:
            if given == "-":
                collection = None
            elif len(relative.parts) > 1:
                collection = relative.parts[0]
            else:
                collection = Path(path).resolve().parent.name or None
            for item in _pages_of_file(path, kind, collection, stdin):
                if isinstance(item, Skipped):
                    skipped.append(item)
                else:
                    item.path, item.relative = path, str(relative)
                    truths.append(item)
    return truths, skipped


# --------------------------------------------------------------------------
# orders stored in the input, or in predicted files beside it
# --------------------------------------------------------------------------


def _predicted_path(truth: TruthPage, predicted: Path, xml_pages: int) -> Path:
    if not predicted.is_dir():
        if not predicted.exists():
            raise PageError(str(predicted), "no such file")
        if xml_pages != 1:
            raise PageError(str(predicted), f"a predicted file, but there are {xml_pages} PAGE-XML ground-truth "
                                            "files; give a directory of predicted files named as they are")
        return predicted
    candidates = [predicted / truth.relative] if truth.relative else []
    candidates.append(predicted / Path(truth.path).name)
    for candidate in candidates:
        if candidate.is_file():
            return candidate
    raise PageError(truth.name, f"no predicted file {candidates[0].name!r} in {predicted}")


def stored_order(truth: TruthPage, predicted: str | None = None, xml_pages: int = 1) -> list[RegionId]:
    """The order stored for a ground-truth page: a JSON page's "order", or for
    PAGE-XML the reading order of the predicted file of the same name in the
    directory ``predicted`` (or the file ``predicted`` itself, when it is the
    only PAGE-XML page: ``xml_pages`` says how many there are).

    Raises :class:`PageError` when there is no stored order, when the
    predicted file is missing, unreadable, without a reading order, or for
    another page (another image, or regions the ground truth does not have).
    """
    page = truth.page
    if page.format != "page-xml":
        if page.reading_order is None:
            raise PageError(truth.name, "no stored order (\"order\") to score")
        return list(page.reading_order)
    if predicted is None:
        raise PageError(truth.name, "PAGE-XML ground truth needs --predicted FILE_OR_DIR for --order stored "
                                    "(its own ReadingOrder is the ground truth)")
    path = _predicted_path(truth, Path(predicted), xml_pages)
    other = read_page(path)
    name = str(path)
    if other.reading_order is None:
        raise PageError(name, "no reading order to score")
    if page.image_filename and other.image_filename and page.image_filename != other.image_filename:
        raise PageError(name, f"is for image {other.image_filename!r}, but its ground truth {truth.name} "
                              f"is for {page.image_filename!r}")
    known = {r.id for r in page.regions + page.skipped}.union(truth.order)
    for rid in other.reading_order:
        if rid not in known:
            raise PageError(name, f"its reading order names region {shown_json(rid)}, "
                                  f"which the ground truth {truth.name} does not have")
    return list(other.reading_order)
