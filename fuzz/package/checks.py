"""What the package's readers and writers must do with any input, checked on one input at a time.

Every target takes the bytes of one input and returns when the package kept
its promises, or raises:

* :class:`Finding` for a broken promise: a refusal whose message is not one
  printable line naming the source, a Python warning, a log line that cannot
  be formatted, an order that misses or repeats a region, a written file
  that does not read back as the same page with the same text, writing that
  is not deterministic, a command that leaves a file behind after failing;
* anything else that the package let escape (a traceback for the user).

Targets, by the name the fuzzer and the regression files use:

``page-xml``, ``alto``, ``hocr``, ``json``, ``detections``
    the file readers, then, when a file is read, its order, the writer and
    the reader again on what was written;
``jsonl``
    a JSON Lines batch through :func:`quorlin.batch.run_batch`, with its
    output checked line by line against the one-page path;
``cli``
    ``quorlin order IN -o OUT`` (and ``quorlin draw`` when that succeeds),
    in this process, in a temporary folder;
``native``
    ``quorlin.order`` on arrays of any number type and shape, and
    ``quorlin._native`` when it is installed;
``patterns``
    every pattern the readers apply to a file's text, timed on the input
    repeated to a fifth of a megabyte (a slow pattern is a finding).

The fuzzer (``fuzz_package.py``) calls :data:`TARGETS`; the regression test
replays the inputs it once caught through the same functions, so that this
module needs nothing beyond the package and its test dependencies.
"""

from __future__ import annotations

import contextlib
import importlib.util
import io
import json
import logging
import re
import tempfile
import time
import warnings
import xml.parsers.expat
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, TypeVar
from xml.etree.ElementTree import Element as XmlElement
from xml.etree.ElementTree import ParseError
from xml.etree.ElementTree import fromstring as xml_fromstring

import quorlin
from quorlin import cli
from quorlin.batch import run_batch
from quorlin.errors import QuorlinError
from quorlin.formats import read_page, write_page
from quorlin.page import Page, Region, RegionId
from quorlin.ordering import page_order

__all__ = ["Finding", "SOURCE", "TARGETS", "check", "target_of"]

T = TypeVar("T")

#: The name every input is read under; messages must start with it.
SOURCE = "fuzzed-input"
#: Longest message accepted: values of the file are shown cut to 100 characters.
MAX_MESSAGE = 1000
#: ALTO files in mm10 or inch1200 that do not give their resolution are read again with this one.
FALLBACK_DPI = 300.0


class Finding(AssertionError):
    """A promise of the package that an input broke."""


# --------------------------------------------------------------------------
# messages, warnings and log lines
# --------------------------------------------------------------------------


def check_message(text: str, prefix: str, what: str = "error message") -> None:
    """A message for the user: one printable line that starts with ``prefix``."""
    if len(text.splitlines()) != 1:
        raise Finding(f"{what} is not one line: {text[:300]!r}")
    if not text.isprintable():
        raise Finding(f"{what} holds characters that are not printable: {text[:300]!r}")
    if not text.startswith(prefix):
        raise Finding(f"{what} does not start with {prefix!r}: {text[:300]!r}")
    if len(text) > MAX_MESSAGE:
        raise Finding(f"{what} is {len(text)} characters long: {text[:300]!r}...")


class _Records(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


@contextlib.contextmanager
def _observed(source: str = SOURCE) -> Iterator[None]:
    """Collect the package's log records and every Python warning, then check them.

    The package reports what it leaves out on the ``quorlin`` logger; each
    line must format and be one printable line naming the source.  A Python
    warning would reach the user as two lines of source location: none may
    escape (deprecations of the interpreter itself aside).
    """
    logger = logging.getLogger("quorlin")
    handler = _Records()
    saved = (logger.handlers[:], logger.propagate, logger.level)
    logger.handlers, logger.propagate = [handler], False
    logger.setLevel(logging.DEBUG)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            yield
    finally:
        logger.handlers, logger.propagate = saved[0], saved[1]
        logger.setLevel(saved[2])
    for warning in caught:
        if not issubclass(warning.category, (DeprecationWarning, PendingDeprecationWarning)):
            raise Finding(f"a Python warning escaped: {warning.category.__name__}: {warning.message}")
    for record in handler.records:
        try:
            text = record.getMessage()
        except Exception as exc:  # the record's arguments do not fit its format
            raise Finding(f"log record {record.msg!r} cannot be formatted: {exc}") from None
        check_message(text, f"{source}: ", "log message")


def _observe(call: Callable[[], T], source: str = SOURCE) -> T:
    with _observed(source):
        return call()


def _refused(call: Callable[[], T], source: str = SOURCE) -> T | None:
    """``call()``, or None when it raised the package's own error with a proper message."""
    try:
        return _observe(call, source)
    except QuorlinError as exc:
        check_message(str(exc), f"{source}: ")
        return None


# --------------------------------------------------------------------------
# one page file: read, order, write, read back
# --------------------------------------------------------------------------


def _read(fmt: str, data: bytes) -> tuple[Page | None, float | None]:
    """(the page, or None when the file was refused properly; the dpi it was read with)."""
    try:
        return _observe(lambda: read_page(SOURCE, fmt, data)), None
    except QuorlinError as exc:
        check_message(str(exc), f"{SOURCE}: ")
        if fmt != "alto" or "--dpi" not in str(exc):
            return None, None
    # an ALTO file that needs --dpi is read again with one, to reach the rest
    return _refused(lambda: read_page(SOURCE, fmt, data, dpi=FALLBACK_DPI)), FALLBACK_DPI


def _fingerprint(region: Region) -> tuple[Any, ...]:
    return (region.box, repr(region.label), region.kind, region.role)


def _check_order(page: Page) -> list[RegionId]:
    """The page's order, which must hold every ordered region once, the same on a second call.

    The ids must be unique: the written order refers to the regions by them.
    """
    every = [r.id for r in page.regions + page.skipped]
    if len(set(every)) != len(every):
        raise Finding(f"regions share an id: {[i for i, n in Counter(every).items() if n > 1][:5]!r}")
    reading_order = _observe(lambda: page_order(page))
    if Counter(reading_order) != Counter(r.id for r in page.regions):
        raise Finding(f"the order {reading_order[:20]!r} is not the regions {[r.id for r in page.regions][:20]!r}")
    if _observe(lambda: page_order(page)) != reading_order:
        raise Finding("ordering the same page twice gave two orders")
    return reading_order


def _write(page: Page, reading_order: list[RegionId]) -> bytes | None:
    """What the writer writes (it may refuse, properly); twice the same."""
    out = _refused(lambda: write_page(page, reading_order))
    if out is not None and _observe(lambda: write_page(page, reading_order)) != out:
        raise Finding("writing the same page twice gave different bytes")
    return out


def _read_back(page: Page, out: bytes, dpi: float | None) -> Page:
    try:
        return _observe(lambda: read_page(SOURCE, page.format, out, dpi=dpi))
    except QuorlinError as exc:
        raise Finding(f"the written {page.format} file cannot be read back: {exc}") from None


def _same_page(page: Page, again: Page, ids_kept: bool, real_ids: set[str] | None = None) -> None:
    """The page read back has the regions of the page: the same boxes, labels and roles.

    ``ids_kept``: the writer keeps every region's id and the document order
    of the regions.  Otherwise (the writers that move regions in the
    document) regions compare as a multiset, and by id where the file gave
    the id itself (``real_ids``): made-up ids follow the document order.
    """
    for name in ("width", "height", "bounds", "version", "image_filename"):
        if name == "version" and page.format == "hocr":
            continue  # HTML is written as XHTML
        if getattr(page, name) != getattr(again, name):
            raise Finding(f"{name} read back as {getattr(again, name)!r}, was {getattr(page, name)!r}")
    for kind in ("regions", "skipped"):
        before: list[Region] = getattr(page, kind)
        after: list[Region] = getattr(again, kind)
        if ids_kept:
            if [(r.id, *_fingerprint(r)) for r in before] != [(r.id, *_fingerprint(r)) for r in after]:
                raise Finding(f"the {kind} read back differ from the ones written")
            continue
        if Counter(map(_fingerprint, before)) != Counter(map(_fingerprint, after)):
            raise Finding(f"the {kind} read back differ from the ones written (boxes, labels or roles)")
        real = real_ids or set()
        keyed_before = {r.id: _fingerprint(r) for r in before if r.id in real}
        keyed_after = {r.id: _fingerprint(r) for r in after if r.id in real}
        if keyed_before != keyed_after:
            raise Finding(f"the {kind} with ids of their own read back differ from the ones written")


def _elementtree_reads(data: bytes) -> bool:
    """Whether ElementTree, the independent reading, can read a document the package read. It cannot when
    a namespace name holds "}", the separator expat joins names with for it (the package's reader joins
    them with one that no XML text holds); such a document is still well-formed, which expat with that
    separator confirms (an ExpatError here is a finding: the package read a file that is not)."""
    try:
        xml_fromstring(data)
    except ParseError:
        xml.parsers.expat.ParserCreate(namespace_separator="\x01").Parse(data, True)
        return False
    return True


def _xml(data: bytes) -> XmlElement:
    """An XML document the package accepted (so without declarations), or wrote, as an ElementTree:
    an independent reading to check the package's against."""
    root: XmlElement = xml_fromstring(data)
    return root


def _local(tag: str) -> str:
    return tag.rpartition("}")[2]


def _elements(root: XmlElement, leave_out: str) -> Iterator[XmlElement]:
    """Every element in document order, without the subtrees named ``leave_out``."""
    stack = [root]
    while stack:
        elem = stack.pop()
        if _local(elem.tag) == leave_out:
            continue
        yield elem
        stack.extend(reversed(list(elem)))


def _outline(elem: XmlElement, leave_out: str) -> list[tuple[Any, ...]]:
    """The document as start tags (with their attributes), end tags and text, in order,
    without the elements named ``leave_out`` (but with the text that follows them).

    Text that meets is joined and its white space runs made one space: taking
    an element out (or putting one in) with its indentation may join the text
    around it, but changes none of it. An element left out parts the text
    around it as white space would: the writers keep the words on both sides
    of a ReadingOrder they take out apart, never joined into one.
    """
    events: list[tuple[Any, ...]] = []
    pending: list[str] = []

    def flush() -> None:
        text = " ".join("".join(pending).split())
        pending.clear()
        if text:
            events.append(("text", text))

    stack: list[tuple[XmlElement, bool]] = [(elem, False)]
    while stack:
        node, closing = stack.pop()
        if closing:
            flush()
            events.append(("end", node.tag))
            pending.append(node.tail or "")
            continue
        if _local(node.tag) == leave_out:
            pending.append(" " + (node.tail or ""))
            continue
        flush()
        events.append(("start", node.tag, sorted(node.attrib.items())))
        pending.append(node.text or "")
        stack.append((node, True))
        stack.extend((child, False) for child in reversed(list(node)))
    flush()
    return events


# Transkribus' index of a region in its reading order, in the region's custom attribute
_INDEX = re.compile(r"readingOrder\s*\{[^}]*\}\s*")


def _same_except_reading_order(before: bytes, after: bytes) -> None:
    """PAGE-XML: every element, attribute and text but the ReadingOrder (and the
    Transkribus indexes of the regions, which the writer sets the same) is as it was, in place."""
    def outline(data: bytes) -> list[tuple[Any, ...]]:
        root = _xml(data)
        for page in (c for c in root if _local(c.tag) == "Page"):
            for region in page:
                if "custom" in region.attrib:
                    region.set("custom", _INDEX.sub("", region.get("custom", "")).strip())
        return _outline(root, "ReadingOrder")

    old, new = outline(before), outline(after)
    if old != new:
        changed = next((i for i, (a, b) in enumerate(zip(old, new)) if a != b), min(len(old), len(new)))
        raise Finding(f"writing changed the PAGE-XML outside its ReadingOrder, from event {changed}: "
                      f"{old[changed:changed + 1]!r} became {new[changed:changed + 1]!r}")


def _same_content(before: bytes, after: bytes, added_attribute: str = "") -> None:
    """ALTO and hOCR, whose writers move elements: the same elements with the same
    attributes (but ``added_attribute``, an ID the writer may add), each in the
    same parent, and the same text.

    Text is the words of the character data outside the ReadingOrder
    (ALTO's word contents are attributes, compared above): a writer that
    moves elements moves their text with them and keeps the text between
    them where it was, so no word may be lost, doubled or joined to another.
    """
    def content(data: bytes) -> tuple[Counter[Any], Counter[str], set[str]]:
        elements: Counter[Any] = Counter()
        texts: Counter[str] = Counter()
        ids: set[str] = set()
        stack: list[tuple[XmlElement, Any]] = [(_xml(data), None)]
        while stack:
            e, parent = stack.pop()
            texts.update((e.tail or "").split())
            if _local(e.tag) == "ReadingOrder":
                continue
            attrs = {k: v for k, v in e.attrib.items() if k != added_attribute}
            key = (e.tag, tuple(sorted(attrs.items())))
            elements[(parent, key)] += 1
            if added_attribute and e.attrib.get(added_attribute):  # an empty ID names nothing: it may be filled in
                ids.add(e.attrib[added_attribute])
            texts.update((e.text or "").split())
            stack.extend((child, key) for child in e)
        return elements, texts, ids

    old_elements, old_texts, old_ids = content(before)
    new_elements, new_texts, new_ids = content(after)
    if old_elements != new_elements:
        lost = list((old_elements - new_elements).elements())[:3]
        gained = list((new_elements - old_elements).elements())[:3]
        raise Finding(f"writing changed the elements or their parents: lost {lost!r:.300}, gained {gained!r:.300}")
    if old_texts != new_texts:
        lost_text = list((old_texts - new_texts).elements())[:3]
        gained_text = list((new_texts - old_texts).elements())[:3]
        raise Finding(f"writing changed the text: lost {lost_text!r}, gained {gained_text!r}")
    if not old_ids <= new_ids:
        raise Finding(f"writing dropped the {added_attribute}s {sorted(old_ids - new_ids)[:5]!r}")


def _stored_ids(data: bytes, attribute: str) -> set[str]:
    return {e.attrib[attribute] for e in _elements(_xml(data), "") if attribute in e.attrib}


def _check_page_xml(page: Page, reading_order: list[RegionId], out: bytes) -> None:
    again = _read_back(page, out, None)
    _same_page(page, again, ids_kept=True)
    stored = again.reading_order
    if not reading_order:
        if stored:
            raise Finding(f"nothing to order, but the written ReadingOrder holds {stored[:20]!r}")
    else:
        ordered = set(reading_order)
        if stored is None or Counter(r for r in stored if r in ordered) != Counter(reading_order):
            raise Finding(f"the written ReadingOrder {stored!r:.300} does not hold each ordered region once")
        first_group = next((_local(g.tag) for g in _ro_groups(out)), "")
        if first_group == "OrderedGroup" and stored != reading_order:
            raise Finding(f"the written OrderedGroup {stored!r:.300} is not the order {reading_order!r:.300}")
    assert isinstance(page.document, bytes)
    _same_except_reading_order(page.document, out)


def _ro_groups(data: bytes) -> list[XmlElement]:
    for e in _elements(_xml(data), ""):
        if _local(e.tag) == "ReadingOrder":
            return list(e)
    return []


def _check_alto(page: Page, reading_order: list[RegionId], out: bytes, dpi: float | None) -> None:
    assert isinstance(page.document, bytes)
    again = _read_back(page, out, dpi)
    _same_page(page, again, ids_kept=False, real_ids=_stored_ids(page.document, "ID"))
    if _alto_has_reading_order(page):
        # a ReadingOrder was written: the blocks keep their places and it holds the order
        if [r.id for r in again.regions] != [r.id for r in page.regions]:
            raise Finding("writing an ALTO ReadingOrder moved or renamed blocks")
        if (again.reading_order or []) != reading_order:
            raise Finding(f"the written ALTO ReadingOrder {again.reading_order!r:.300} is not the order")
    _same_content(page.document, out, added_attribute="ID")


def _alto_has_reading_order(page: Page) -> bool:
    """Whether the ALTO version has a ReadingOrder (4.3 on, or 4 with one already)."""
    major, _, minor = page.version.partition(".")
    if minor:
        return (int(major), int(minor)) >= (4, 3)
    assert isinstance(page.document, bytes)
    return int(major) > 4 or (int(major) == 4 and any(
        _local(e.tag) == "ReadingOrder" for e in _xml(page.document)))


def _check_hocr(page: Page, out: bytes) -> None:
    assert isinstance(page.document, bytes)
    again = _read_back(page, out, None)
    _same_page(page, again, ids_kept=False, real_ids=_stored_ids(page.document, "id"))
    if again.version != "XHTML":
        raise Finding("the written hOCR is not XHTML")
    _same_content(page.document, out)


def _without(value: Any, key: str) -> Any:
    return {k: v for k, v in value.items() if k != key} if isinstance(value, dict) else value


def _check_json(page: Page, reading_order: list[RegionId], out: bytes) -> None:
    again = _read_back(page, out, None)
    _same_page(page, again, ids_kept=True)
    if again.reading_order != reading_order:
        raise Finding(f"the written \"order\" {again.reading_order!r:.300} is not the order {reading_order!r:.300}")
    if _without(again.document, "order") != _without(page.document, "order"):
        raise Finding("writing the JSON page changed more than its \"order\"")


def _check_detections(page: Page, reading_order: list[RegionId], out: bytes) -> None:
    """The list in reading order, each ordered detection with its place; read back, the same boxes."""
    again = _read_back(page, out, None)
    written = json.loads(out)
    items = written["annotations"] if isinstance(written, dict) else written
    originals = page.document["annotations"] if isinstance(page.document, dict) else page.document
    placed = [int(rid) for rid in reading_order]
    placed += [i for i in range(len(originals)) if i not in set(placed)]
    if len(items) != len(originals):
        raise Finding(f"{len(originals)} detections were written as {len(items)}")
    for place, (item, index) in enumerate(zip(items, placed)):
        expected = place if place < len(reading_order) else None
        if item.get("reading_order") != expected:
            raise Finding(f"written detection {place} has \"reading_order\" {item.get('reading_order')!r}, "
                          f"expected {expected!r}")
        if _without(item, "reading_order") != _without(originals[index], "reading_order"):
            raise Finding(f"written detection {place} is not detection {index} of the input")
    if isinstance(written, dict) and _without(written, "annotations") != _without(page.document, "annotations"):
        raise Finding("writing the COCO object changed more than its annotations")
    # read back, detection k is the one that was placed k-th
    before = {r.id: _fingerprint(r) for r in page.regions + page.skipped}
    after = {r.id: _fingerprint(r) for r in again.regions + again.skipped}
    if after != {place: before[index] for place, index in enumerate(placed) if index in before}:
        raise Finding("the detections read back are not the ones written, in the written order")
    if [r.id for r in again.regions] != list(range(len(reading_order))):
        raise Finding("the detections read back are not ordered first")


def check_file(fmt: str, data: bytes) -> Page | None:
    """Read ``data`` as ``fmt`` and, if it is read, check order, writer and reader on it."""
    page, dpi = _read(fmt, data)
    if page is None:
        return None
    reading_order = _check_order(page)
    out = _write(page, reading_order)
    if out is None:
        return page
    # the independent reading reads what the package read: the file, or for hOCR the XML its HTML became
    read = page.document if page.format == "hocr" else data
    if page.format in ("page-xml", "alto", "hocr") and isinstance(read, bytes) and not _elementtree_reads(read):
        _read_back(page, out, dpi)  # without the independent reading, the package's own must read it back
        return page
    if page.format == "page-xml":
        _check_page_xml(page, reading_order, out)
    elif page.format == "alto":
        _check_alto(page, reading_order, out, dpi)
    elif page.format == "hocr":
        _check_hocr(page, out)
    elif page.format == "json":
        _check_json(page, reading_order, out)
    else:
        _check_detections(page, reading_order, out)
    return page


def check_page_xml(data: bytes) -> None:
    check_file("page-xml", data)


def check_alto(data: bytes) -> None:
    check_file("alto", data)


def check_hocr(data: bytes) -> None:
    check_file("hocr", data)


def check_json(data: bytes) -> None:
    check_file("json", data)


def check_detections(data: bytes) -> None:
    """Detector output read as each of its two shapes, and as JSON told apart by content."""
    for fmt in ("detections", "coco", "json"):
        check_file(fmt, data)


# --------------------------------------------------------------------------
# JSON Lines batches
# --------------------------------------------------------------------------


def check_jsonl(data: bytes) -> None:
    """A batch: one output line per page, failures reported on their line, the
    rest as the one-page path writes that page; output that UTF-8 can hold."""
    lines = io.BytesIO(data).readlines()
    out_bytes, err_bytes = io.BytesIO(), io.BytesIO()
    # the command writes its output file as strict UTF-8, its errors as stderr does
    out = io.TextIOWrapper(out_bytes, encoding="utf-8", newline="")
    err = io.TextIOWrapper(err_bytes, encoding="utf-8", errors="backslashreplace", newline="")
    failed = _observe(lambda: run_batch(SOURCE, iter(lines), out, err, progress=False))
    out.flush()
    err.flush()
    pages = [(number, raw) for number, raw in enumerate(lines, 1) if raw.strip()]
    written = out_bytes.getvalue().decode("utf-8").split("\n")
    if written[-1] != "" or len(written) - 1 != len(pages):
        raise Finding(f"{len(pages)} pages in, {len(written) - 1} lines out")
    errors = err_bytes.getvalue().decode("utf-8").splitlines()
    seen_errors = 0
    for (number, raw), text in zip(pages, written):
        value = json.loads(text)
        where = f"{SOURCE}:{number}"
        if isinstance(value, dict) and set(value) == {"line", "error"} and value["line"] == number:
            message = value["error"]
            check_message(message, f"{where}: ")
            if "internal error" in message:
                raise Finding(f"line {number}: {message}")
            if seen_errors >= len(errors) or errors[seen_errors] != f"quorlin: error: {message}":
                raise Finding(f"line {number}: the error is not reported on stderr as it is written")
            seen_errors += 1
            # the one-page path refuses the same line too
            if _refused(lambda: read_page(SOURCE, "json", raw)) is not None:
                raise Finding(f"line {number} failed in the batch but reads as a page: {message}")
            continue
        page = _refused(lambda: read_page(SOURCE, "json", raw))
        if page is None:
            raise Finding(f"line {number} was ordered in the batch but is refused as a page")
        expected = json.loads(_observe(lambda: write_page(page, page_order(page))))
        if value != expected:
            raise Finding(f"line {number}: the batch wrote {text[:200]!r}, the one-page path {expected!r:.200}")
    if seen_errors != failed or len(errors) != failed:
        raise Finding(f"{failed} pages failed, {seen_errors} error lines written, {len(errors)} on stderr")


# --------------------------------------------------------------------------
# the command
# --------------------------------------------------------------------------

#: Names the command is given the input under: the suffix decides JSON Lines and
#: breaks ties where the content does not tell.
_SUFFIXES = (".xml", ".json", ".hocr", ".jsonl")
_SENTINEL = b"the output file as it was before the command\n"


def _run_cli(args: Sequence[str]) -> tuple[int, str]:
    """``quorlin ARGS`` in this process: (status, stderr)."""
    stdout, stderr = io.BytesIO(), io.BytesIO()
    out = io.TextIOWrapper(stdout, encoding="utf-8", newline="")
    err = io.TextIOWrapper(stderr, encoding="utf-8", errors="backslashreplace", newline="")
    root = logging.getLogger()
    saved_handlers = root.handlers[:]
    root.handlers = []  # so that the command's basicConfig writes to this stderr
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), warnings.catch_warnings(
            record=True
        ) as caught:
            warnings.simplefilter("always")
            try:
                status = cli.main(list(args))
            except SystemExit as exc:  # argparse: never for the arguments used here
                raise Finding(f"quorlin {' '.join(args)} exited through SystemExit({exc.code})") from None
    finally:
        root.handlers = saved_handlers
    out.flush()
    err.flush()
    for warning in caught:
        if not issubclass(warning.category, (DeprecationWarning, PendingDeprecationWarning)):
            raise Finding(f"a Python warning escaped: {warning.category.__name__}: {warning.message}")
    return status, stderr.getvalue().decode("utf-8")


def check_cli(data: bytes) -> None:
    """``quorlin order IN -o OUT``: on success OUT holds what the writer writes and
    nothing else appears; on failure one error line, OUT unchanged, nothing left behind."""
    suffix = _SUFFIXES[len(data) % len(_SUFFIXES)]
    with tempfile.TemporaryDirectory(prefix="quorlin-fuzz-") as folder:
        given = Path(folder, "input" + suffix)
        target = Path(folder, "output" + suffix)
        given.write_bytes(data)
        target.write_bytes(_SENTINEL)
        status, stderr = _run_cli(["order", str(given), "-o", str(target)])
        lines = stderr.splitlines()
        left = sorted(p.name for p in Path(folder).iterdir())
        if left != sorted([given.name, target.name]):
            raise Finding(f"quorlin order left {left!r} in its folder")
        if given.read_bytes() != data:
            raise Finding("quorlin order changed its input file")
        for line in lines:
            check_message(line, "quorlin", "stderr line")
        batch = suffix == ".jsonl"
        if status not in (0, 1):
            raise Finding(f"quorlin order exited with {status}")
        if status == 1 and not batch:
            if target.read_bytes() != _SENTINEL:
                raise Finding("quorlin order failed but changed its output file")
            errors = [line for line in lines if line.startswith("quorlin: error: ")]
            if len(errors) != 1 or lines[-1] != errors[0] or not errors[0].startswith(f"quorlin: error: {given}: "):
                raise Finding(f"quorlin order failed without one error line naming the file: {lines!r:.500}")
            return
        if any(line.startswith("quorlin: error: ") for line in lines) and not batch:
            raise Finding(f"quorlin order succeeded with an error line: {lines!r:.500}")
        if batch:
            return
        page = _refused(lambda: read_page(str(given), "auto", data), str(given))
        if page is None:
            raise Finding("quorlin order succeeded on a file that read_page refuses")
        if target.read_bytes() != _observe(lambda: write_page(page, page_order(page)), str(given)):
            raise Finding("quorlin order wrote other bytes than write_page")
        picture = Path(folder, "order.svg")
        status, stderr = _run_cli(["draw", str(given), "--cuts", "-o", str(picture)])
        if status != 0:
            raise Finding(f"quorlin draw failed on a page that quorlin order read: {stderr!r:.500}")
        try:
            _xml(picture.read_bytes())
        except Exception as exc:
            raise Finding(f"quorlin draw wrote an SVG that is not well-formed XML: {exc}") from None


# --------------------------------------------------------------------------
# arrays: quorlin.order, and quorlin._native when it is there
# --------------------------------------------------------------------------

#: Number types of the arrays, picked by the input's first byte.
_DTYPES = ("<f8", ">f8", "<f4", ">f4", "<f2", "<i1", "<u1", "<i2", ">i2", "<i4", ">u4", "<i8", "<u8", ">i8",
           "?", "<c8")
#: At most so many boxes, so that one input stays fast.
_MAX_ROWS = 256
#: What the ordering functions may raise for an array they cannot use.
_ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError, BufferError)


def native_module() -> Any:
    """``quorlin._native``, or None where the package has no such module."""
    if importlib.util.find_spec("quorlin._native") is None:
        return None
    return importlib.import_module("quorlin._native")


def _array(data: bytes) -> Any:
    """An array of boxes of any number type, layout and shape, from the input bytes."""
    import numpy

    dtype = numpy.dtype(_DTYPES[data[0] % len(_DTYPES)])
    layout = data[1] % 8
    body = data[2:]
    count = min(len(body) // dtype.itemsize, _MAX_ROWS * 8)
    flat = numpy.frombuffer(body[:count * dtype.itemsize], dtype=dtype)
    quads = flat[:count - count % 4]
    if layout == 0:
        return quads.reshape(-1, 4)
    if layout == 1:
        return quads.reshape(-1, 4)[:, ::-1]  # negative strides
    if layout == 2:
        return quads.reshape(4, -1).T  # column-major
    if layout == 3:
        return flat  # one dimension
    if layout == 4:
        return flat[:count - count % 2].reshape(-1, 2)
    if layout == 5:
        return quads.reshape(-1, 4, 1)
    if layout == 6:
        return quads.reshape(-1, 4)[::2]  # every other row
    eights = flat[:count - count % 8]
    return eights.reshape(-1, 8)[:, ::2]  # rows of 4 with a stride between numbers


def _argument_error(exc: BaseException) -> None:
    """An ordering function's refusal: one printable line."""
    text = str(exc)
    if len(text.splitlines()) != 1 or not text.isprintable() or len(text) > MAX_MESSAGE:
        raise Finding(f"{type(exc).__name__} message is not one short printable line: {text[:300]!r}")


def _core_order(rows: list[list[Any]]) -> list[int] | None:
    """The order ``_quorlin_core`` gives for the rows as floats, or None when they are not numbers."""
    from quorlin.page import union_box

    try:
        boxes = [(float(a), float(b), float(c), float(d)) for a, b, c, d in rows]
    except (TypeError, ValueError):
        return None
    elements = [quorlin.Element(i, *box, quorlin.SemanticLabel.Regular) for i, box in enumerate(boxes)]
    bounds = union_box(boxes) or (0.0, 0.0, 0.0, 0.0)
    return list(quorlin.compute_order_mervane(elements, bounds))


def _ordered(call: Callable[[], Any], what: str, expected: list[int] | None, rows: int) -> list[int] | None:
    try:
        result = _observe(call)
    except _ARGUMENT_ERRORS as exc:
        _argument_error(exc)
        return None
    got = [int(i) for i in result]
    if sorted(got) != list(range(rows)):
        raise Finding(f"{what} returned {got[:20]!r}, not a permutation of {rows} boxes")
    if expected is not None and got != expected:
        raise Finding(f"{what} returned {got[:20]!r}, the core orders the same boxes {expected[:20]!r}")
    return got


def check_native(data: bytes) -> None:
    """An array of any type and shape: refused with a short message, or ordered
    by every path that takes arrays: the exact paths as ``_quorlin_core`` orders
    the same boxes, the default one the same from an array and from a list."""
    if len(data) < 2 or importlib.util.find_spec("numpy") is None:
        return
    array = _array(data)
    rows = array.shape[0] if (array.ndim == 2 and array.shape[1] == 4) or array.shape == (0,) else None
    expected = _core_order(array.tolist()) if rows is not None else None
    order_with: Callable[..., Any] = quorlin.order
    # The default order (the quality profile): a permutation, the same from a list.
    got = _ordered(lambda: quorlin.order(array), "quorlin.order(array)", None, rows or 0)
    if got is not None and rows is None:
        raise Finding(f"quorlin.order took an array of shape {array.shape}")
    if rows is not None:
        _ordered(lambda: quorlin.order(array.tolist()), "quorlin.order(list)", got, rows)
    # The exact order: the core's, from an array and from a list.
    exact = _ordered(lambda: order_with(array, exact=True), "quorlin.order(array, exact=True)", expected, rows or 0)
    if rows is not None:
        _ordered(lambda: order_with(array.tolist(), exact=True), "quorlin.order(list, exact=True)",
                 exact or expected, rows)
    native = native_module()
    if native is None:
        return
    for what, value in (("array", array), ("memoryview", memoryview(array))):
        result = _ordered(lambda: native.order(value), f"quorlin._native.order({what})", expected, rows or 0)
        if result is not None and rows is None:
            raise Finding(f"quorlin._native.order took a {what} of shape {array.shape}")


def _pattern_functions() -> list[tuple[str, Callable[[str], object]]]:
    """Every function that applies a pattern to a file's text, by name."""
    from quorlin.formats import alto, detect, hocr, pagexml
    from quorlin.labels import normalise_label_name

    return [
        ("markup_root", detect.markup_root),
        ("custom_type", pagexml.custom_type),
        ("with_reading_order_index", lambda text: pagexml.with_reading_order_index(text, 1)),
        ("title_properties", hocr.title_properties),
        ("title_image", hocr.title_image),
        ("html_depth", hocr.html_depth),
        ("minor_version", lambda text: alto.minor_version(4, text, text)),
        ("resolutions", lambda text: alto.resolutions([text])),
        ("normalise_label_name", normalise_label_name),
    ]


#: How long one pattern may take on an input repeated to this many characters:
#: linear work takes a small part of it, backtracking seconds to minutes.
PATTERN_TEXT = 200_000
PATTERN_SECONDS = 2.0


def check_patterns(data: bytes) -> None:
    """Each pattern over file text, on the input repeated to a fifth of a
    megabyte: a repeated piece is how a backtracking pattern is made slow."""
    text = data.decode("utf-8", "replace")
    if not text:
        return
    long_text = text * max(1, PATTERN_TEXT // len(text))
    for name, function in _pattern_functions():
        started = time.perf_counter()
        function(long_text)
        elapsed = time.perf_counter() - started
        if elapsed > PATTERN_SECONDS:
            raise Finding(f"{name} took {elapsed:.1f} s on {len(long_text)} characters")


TARGETS: dict[str, Callable[[bytes], None]] = {
    "page-xml": check_page_xml,
    "alto": check_alto,
    "hocr": check_hocr,
    "json": check_json,
    "detections": check_detections,
    "jsonl": check_jsonl,
    "cli": check_cli,
    "native": check_native,
    "patterns": check_patterns,
}

#: Prefixes of regression file names, and the target each replays through.
_PREFIXES = {"pagexml": "page-xml", "page-xml": "page-xml", "alto": "alto", "hocr": "hocr", "jsonl": "jsonl",
             "json": "json", "detections": "detections", "coco": "detections", "cli": "cli", "native": "native",
             "patterns": "patterns"}


def target_of(name: str) -> str:
    """The target a regression file belongs to, by the start of its name (``pagexml-...``)."""
    prefix = name.partition("-")[0] if not name.startswith("page-xml") else "page-xml"
    if prefix not in _PREFIXES:
        raise ValueError(f"{name}: the name does not start with a target ({', '.join(sorted(_PREFIXES))})")
    return _PREFIXES[prefix]


def check(target: str, data: bytes) -> None:
    """Run one target on one input."""
    TARGETS[target](data)


if __name__ == "__main__":  # replay files: python fuzz/package/checks.py TARGET FILE...
    import sys

    if len(sys.argv) < 3 or sys.argv[1] not in TARGETS:
        sys.exit(f"usage: checks.py {{{','.join(TARGETS)}}} FILE...")
    for name in sys.argv[2:]:
        check(sys.argv[1], Path(name).read_bytes())
        print(f"{name}: ok")
