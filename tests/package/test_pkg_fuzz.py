"""The package fuzzer's findings stay fixed, and its checks catch what they are for.

Every input in ``fuzz/package/regressions/`` is replayed through the checks
of its target (``fuzz/package/checks.py``, named by the file's prefix), and
gives the outcome the fix gave it.  atheris is not needed here.
"""

from __future__ import annotations

import importlib.util
import io
import json
import logging
import struct
import sys

import pkg_helpers  # noqa: F401 - makes quorlin importable first
import pytest
from pkg_helpers import REPO

from quorlin.formats.xml.document import parse_xml
from quorlin.batch import run_batch
from quorlin.errors import PageError
from quorlin.formats import read_page, write_page
from quorlin.ordering import page_order

FUZZ = REPO / "fuzz" / "package"
REGRESSIONS = FUZZ / "regressions"

_spec = importlib.util.spec_from_file_location("quorlin_fuzz_checks", FUZZ / "checks.py")
assert _spec is not None and _spec.loader is not None
checks = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = checks
_spec.loader.exec_module(checks)

# What each kept input gives now: a part of the message that refuses it, or
# None when it is read and written.
EXPECTED = {
    "pagexml-unknown-encoding.xml": "fuzzed-input: the XML declaration names an unknown encoding 'UTFR8'",
    "alto-unknown-encoding.xml": "the XML declaration names an unknown encoding 'latin-99'",
    "hocr-unknown-encoding.hocr": "the XML declaration names an unknown encoding 'UTFR8'",
    "json-lone-surrogate.json": None,
    "jsonl-lone-surrogate.jsonl": 'fuzzed-input:2: element 1 (id "\\ud800"): duplicate id',
    "coco-unhashable-image-id.json": 'annotations[0]: "image_id" must be a number or a string, got [1318.0,',
    "coco-unhashable-category-id.json": 'categories[0]: "id" must be a number or a string, got [1]',
    "detections-stale-reading-order.json": None,
    "pagexml-namespace-with-space.xml": None,
    # a namespace name holding "}", which ElementTree cannot read: the checks' independent reading failed
    "pagexml-namespace-with-brace.xml": None,
    "hocr-namespace-with-space.hocr": None,
    "hocr-duplicate-region-ids.hocr": "fuzzed-input: two regions share the id 'a'",
    # was read in time quadratic in its depth; now refused before the HTML5 parser sees it
    "hocr-html-deep-nesting.html": "HTML nested more than 512 elements deep is refused",
    # a charset that Python names but that decodes no text (uu, base64): was an uncaught LookupError
    "hocr-html-charset-not-text.html": "fuzzed-input: unknown character encoding 'uu'",
    "pagexml-mixed-namespace.xml": None,  # the region of the other namespace is left out, with a warning
    "pagexml-region-in-two-chains.xml": None,
    "pagexml-text-after-removed-reading-order.xml": None,  # caught the checks: the text stays where it was
    "alto-id-with-space.xml": "fuzzed-input: TextBlock 'tb2 b': an ID with a space in it cannot be referred to from",
    "alto-ref-with-no-break-space.xml": None,
    "alto-id-shared-with-a-line.xml": "TextBlock 'tb2': another element has the same ID, so a ReadingOrder cannot",
    "alto-empty-block-id.xml": None,  # was written with a second ID attribute, not well-formed
    "alto-text-around-removed-reading-order.xml": None,  # the words on both sides were joined into one
    # the check of PAGE-XML took the space the writer keeps between the words around it for a change
    "pagexml-text-around-removed-reading-order.xml": None,
    "alto-last-block-self-closing.xml": None,  # was written with the block moved out of its PrintSpace
    # a "readingOrder {index:N;}" inside a structure type was rewritten, so the type read back changed
    "pagexml-reading-order-index-inside-structure.xml": None,
    "pagexml-reading-order-index-left-open.xml": None,  # an open group was taken out of a separator's custom
    # hOCR whose namespace name holds "}": the checks' independent reading failed, as for PAGE-XML above
    "hocr-namespace-with-brace.hocr": None,
    "hocr-html-namespace-with-brace.hocr": None,
    "hocr-last-region-self-closing.hocr": None,  # was written with the region moved out of its page  # REF is split at XML's white space only
    "pagexml-multibyte-encoding.xml": "names the encoding 'Shift_JIS', which the XML parser cannot read; convert",
}


def _outcome(target: str, data: bytes) -> str | None:
    """The message that refuses the input, or None when it is read and written."""
    if target == "jsonl":
        out, err = io.StringIO(), io.StringIO()
        failed = run_batch(checks.SOURCE, iter(io.BytesIO(data).readlines()), out, err, progress=False)
        return err.getvalue() if failed else None
    try:
        page = read_page(checks.SOURCE, "auto", data)
        write_page(page, page_order(page))
    except PageError as exc:
        return str(exc)
    return None


def test_every_kept_input_has_its_outcome_here():
    assert sorted(EXPECTED) == sorted(p.name for p in REGRESSIONS.iterdir())


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_kept_input_passes_its_checks_and_gives_its_outcome(name):
    data = (REGRESSIONS / name).read_bytes()
    target = checks.target_of(name)
    checks.check(target, data)
    if target == "detections":
        checks.check("jsonl", data)  # the same value on a line of a batch
    outcome = _outcome(target, data)
    if EXPECTED[name] is None:
        assert outcome is None
    else:
        assert outcome is not None and EXPECTED[name] in outcome


def test_a_region_of_another_namespace_is_left_out_with_a_warning(caplog):
    page = read_page("p.xml", "auto", (REGRESSIONS / "pagexml-mixed-namespace.xml").read_bytes())
    assert [r.id for r in page.regions] == ["r1"]
    assert caplog.messages == ["p.xml: TextRegion 'r2' is in the namespace "
                               "'http://schema.primaresearch.org/PAGE/gts/pagecontent/2013-07-15', not the document's; "
                               "left out of the order"]


def test_a_region_named_in_two_chains_stays_in_the_first():
    page = read_page("p.xml", "auto", (REGRESSIONS / "pagexml-region-in-two-chains.xml").read_bytes())
    again = read_page("p.xml", "auto", write_page(page, page_order(page)))
    assert again.reading_order == ["r1", "r2", "r3"]  # main: r1, r2; margin and the RegionRef: dropped; rest: r3


def test_alto_references_are_split_at_xml_white_space_only():
    page = read_page("a.xml", "auto", (REGRESSIONS / "alto-ref-with-no-break-space.xml").read_bytes())
    assert page.reading_order == ["tb2\u00a0b", "tb1"]


@pytest.mark.parametrize("xml, spans", [
    (b"<a><r/></a>", [("a", 0, 11), ("r", 3, 7)]),  # expat reports r's end where </a> starts
    (b"<a><r></r></a>", [("a", 0, 14), ("r", 3, 10)]),
    (b"<a><r><x/></r></a>", [("a", 0, 18), ("r", 3, 14), ("x", 6, 10)]),
    (b"<a><r a='/'/> </a>", [("a", 0, 18), ("r", 3, 13)]),
    (b"<a><r><r/></r></a>", [("a", 0, 18), ("r", 3, 14), ("r", 6, 10)]),
])
def test_element_spans_end_where_the_element_ends(xml, spans):
    assert [(s.local, s.start, s.end) for s in parse_xml("t", xml).root.iter()] == spans


_ALTO_NO_BLOCKS = ('<alto xmlns="http://www.loc.gov/standards/alto/ns-v4#">\n'
                   "  <Description><MeasurementUnit>pixel</MeasurementUnit></Description>{}<Layout>"
                   '<Page WIDTH="10" HEIGHT="10"/></Layout>\n</alto>\n')
_OLD_ORDER = '<ReadingOrder><OrderedGroup ID="g"/></ReadingOrder>'


@pytest.mark.parametrize(("around", "left"), [
    ("a{}b", "a b"),  # the words stay two
    ("a {}b", "a b"),
    ("a{}\n  b", "a\n  b"),
    ("\n  {}\n  ", "\n  "),  # its line goes with it
    ("{}", ""),
])
def test_a_removed_reading_order_leaves_the_text_around_it_apart(around, left):
    data = _ALTO_NO_BLOCKS.format(around.format(_OLD_ORDER)).encode()
    page = read_page("a.xml", data=data)
    assert page_order(page) == []
    assert write_page(page, []) == _ALTO_NO_BLOCKS.format(left).encode()


@pytest.mark.parametrize("name", ["alto-last-block-self-closing.xml", "hocr-last-region-self-closing.hocr"])
@pytest.mark.parametrize("encoding", ["utf-16-le", "utf-16-be"])
def test_compact_files_in_utf16_are_reordered_in_place(name, encoding):
    text = '<?xml version="1.0" encoding="UTF-16"?>' + (REGRESSIONS / name).read_text()
    data = ("\ufeff" + text).encode(encoding)
    checks.check(checks.target_of(name), data)
    page = read_page("f", "auto", data)
    again = read_page("f", "auto", write_page(page, page_order(page)))
    assert [r.id for r in again.regions] == ["a", "b"]


@pytest.mark.parametrize("encoding", ["utf-32-le", "utf-32-be"])
def test_utf32_xml_is_refused_naming_its_encoding(encoding):
    text = '<?xml version="1.0" encoding="UTF-32"?>' + (REGRESSIONS / "alto-last-block-self-closing.xml").read_text()
    with pytest.raises(PageError, match="^f: the file is UTF-32, which the XML parser cannot read; convert it to UTF-8$"):
        read_page("f", "auto", ("\ufeff" + text).encode(encoding))


def test_json_writers_escape_lone_surrogates_and_read_back():
    page = read_page("p.json", "json", (REGRESSIONS / "json-lone-surrogate.json").read_bytes())
    out = write_page(page, page_order(page))
    assert b'"\\ud800 lone"' in out
    assert read_page("p.json", "json", out).document["note"] == "\ud800 lone"


def test_unordered_detections_lose_a_stale_reading_order():
    page = read_page("d.json", "detections", (REGRESSIONS / "detections-stale-reading-order.json").read_bytes())
    written = write_page(page, page_order(page))
    assert b'"reading_order": 0' in written and b'"reading_order": 1' not in written


@pytest.mark.parametrize("value, shown", [
    ("\u2028", '"\\u2028"'),          # a line separator would split the message
    ("a\x9b[31m", '"a\\u009b[31m"'),  # an 8-bit CSI would drive the terminal
    ("\ud800", '"\\ud800"'),
    ("caf\u00e9 \u65e5", '"caf\u00e9 \u65e5"'),  # printable text stays as it is
])
def test_ids_in_json_messages_are_printable(value, shown):
    page = {"elements": [{"id": value, "box": [0, 0, 1, 1]}, {"id": value, "box": [0, 0, 1, 1]}]}
    with pytest.raises(PageError) as caught:
        read_page("p.json", "json", json.dumps(page).encode())
    assert str(caught.value) == f"p.json: element 1 (id {shown}): duplicate id"


@pytest.mark.parametrize("name, data, fragment", [
    ("PAGE-XML id", b'<PcGts xmlns="http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15"><Page '
                    b'imageWidth="9" imageHeight="9"><TextRegion id="' + b"x" * 5000 + b'"/></Page></PcGts>',
     "TextRegion 'xxxxx"),
    ("ALTO unit", b'<alto><Description><MeasurementUnit>\xe2\x80\x8e' + b"u" * 300 + b'</MeasurementUnit>'
                  b'</Description><Layout><Page><PrintSpace/></Page></Layout></alto>',
     "unknown MeasurementUnit '\\u200euuu"),
    ("hOCR class", b'<html><body><div class="ocr_page" title="bbox 0 0 9 9"><span class="ocr_line">'
                   b'<span class="ocrx_word\xe2\x80\x8e" title="bbox 1 2 3"/></span></div></body></html>',
     "ocrx_word\\u200e"),
])
def test_file_values_in_messages_are_cut_and_escaped(name, data, fragment):
    with pytest.raises(PageError) as caught:
        read_page("f", "auto", data)
    checks.check_message(str(caught.value), "f: ")
    assert fragment in str(caught.value)


# --------------------------------------------------------------------------
# the checks themselves: each planted fault is reported
# --------------------------------------------------------------------------

PAGE = b'{"elements": [{"id": "a", "box": [0, 0, 10, 10]}, {"id": "b", "box": [0, 20, 10, 30]}]}'


def _raising(exc):
    def reader(*args, **kwargs):
        raise exc
    return reader


def _writer_dropping_last(page, reading_order):
    return write_page(page, list(reading_order)[:-1])


_calls = []


def _writer_changing(page, reading_order):
    _calls.append(1)
    return write_page(page, reading_order) + b" " * (len(_calls) % 2)


def _reader_warning_two_lines(*args, **kwargs):
    logging.getLogger("quorlin").warning("%s: left out\nsecond line", checks.SOURCE)
    return read_page(*args, **kwargs)


def _reader_with_python_warning(*args, **kwargs):
    import warnings

    warnings.warn("something odd", UserWarning, stacklevel=1)
    return read_page(*args, **kwargs)


@pytest.mark.parametrize("name, patch, expected", [
    ("two-line message", {"read_page": _raising(PageError(checks.SOURCE, "bad\nfile"))}, "not one line"),
    ("message naming another file", {"read_page": _raising(PageError("other.json", "bad"))}, "does not start"),
    ("foreign exception", {"read_page": _raising(KeyError("elements"))}, "KeyError"),
    ("region left out of the order", {"write_page": _writer_dropping_last}, "is not the order"),
    ("writer not deterministic", {"write_page": _writer_changing}, "twice gave different bytes"),
    ("two-line log message", {"read_page": _reader_warning_two_lines}, "log message is not one line"),
    ("Python warning", {"read_page": _reader_with_python_warning}, "a Python warning escaped"),
])
def test_checks_report_a_planted_fault(monkeypatch, name, patch, expected):
    for attribute, value in patch.items():
        monkeypatch.setattr(checks, attribute, value)
    with pytest.raises(Exception) as caught:
        checks.check("json", PAGE)
    assert expected in f"{type(caught.value).__name__}: {caught.value}"


SEEDS = FUZZ / "seeds"


def _writer_replacing(old, new):
    def writer(page, reading_order):
        return write_page(page, reading_order).replace(old, new, 1)
    return writer


def _batch_with_internal_error(source, lines, out, err, **kwargs):
    failed = 0
    for number, raw in enumerate(lines, 1):
        if raw.strip():
            message = f"{source}:{number}: internal error: KeyError: 'x'"
            out.write(json.dumps({"line": number, "error": message}) + "\n")
            err.write(f"quorlin: error: {message}\n")
            failed += 1
    return failed


@pytest.mark.parametrize("target, seed, name, value, expected", [
    ("page-xml", "page-2019-chains.xml", "write_page", _writer_replacing(b"Title &amp; more", b"Title"),
     "changed the PAGE-XML outside its ReadingOrder"),
    ("alto", "alto-2-mm10.xml", "write_page", _writer_replacing(b'<String CONTENT="left"/>', b""),
     "writing changed the elements"),
    ("hocr", "hocr-xhtml.hocr", "write_page", _writer_replacing(b"Title &amp; co", b"Title"),
     "writing changed the text"),
    ("detections", "coco-object.json", "write_page", _writer_replacing(b'"page.png"', b'"other.png"'),
     "changed more than its annotations"),
    ("jsonl", "batch-mixed.jsonl", "run_batch", _batch_with_internal_error, "line 1: .*internal error"),
])
def test_target_checks_report_a_planted_fault(monkeypatch, target, seed, name, value, expected):
    data = (SEEDS / seed).read_bytes()
    checks.check(target, data)  # the seed itself passes
    monkeypatch.setattr(checks, name, value)
    with pytest.raises(checks.Finding, match=expected):
        checks.check(target, data)


def test_native_check_reports_an_order_unlike_the_core(monkeypatch):
    data = bytes([0, 0]) + struct.pack("<12d", 520, 200, 900, 600, 100, 50, 900, 120, 100, 200, 480, 600)
    checks.check("native", data)
    monkeypatch.setattr(checks.quorlin, "order", lambda boxes, *args, **kwargs: [0, 1, 2])
    with pytest.raises(checks.Finding, match=r"the core orders the same boxes \[1, 2, 0\]"):
        checks.check("native", data)


def _failing_after_writing(argv):
    with open(argv[-1], "wb") as handle:
        handle.write(b"half")
    print(f"quorlin: error: {argv[1]}: bad", file=sys.stderr)
    return 1


def _failing_leaving_a_temporary_file(argv):
    with open(argv[-1] + ".tmp", "wb") as handle:
        handle.write(b"half")
    print(f"quorlin: error: {argv[1]}: bad", file=sys.stderr)
    return 1


def _failing_with_two_lines(argv):
    print(f"quorlin: error: {argv[1]}: bad\nTraceback (most recent call last):", file=sys.stderr)
    return 1


@pytest.mark.parametrize("main, expected", [
    (_failing_after_writing, "failed but changed its output file"),
    (_failing_leaving_a_temporary_file, "left .* in its folder"),
    (_failing_with_two_lines, "stderr line does not start with 'quorlin'"),
])
def test_cli_check_reports_a_command_that_fails_untidily(monkeypatch, main, expected):
    monkeypatch.setattr(checks.cli, "main", main)
    with pytest.raises(checks.Finding, match=expected):
        checks.check("cli", b"{}")


# --------------------------------------------------------------------------
# the seeds: every target has some, and the real files pass every check
# --------------------------------------------------------------------------

sys.path.insert(0, str(FUZZ))
import seeds as fuzz_seeds  # noqa: E402


@pytest.mark.slow
@pytest.mark.parametrize("target", sorted(checks.TARGETS))
def test_seeds_of_every_target_pass_its_checks(target):
    found = [data for data in fuzz_seeds.seeds(target) if len(data) <= 131072]
    assert len(found) >= 5
    for data in found[:60] if target == "cli" else found:
        checks.check(target, data)


# --------------------------------------------------------------------------
# a failing input printed into the smoke run's log comes back from a copy
# --------------------------------------------------------------------------

import smoke as fuzz_smoke  # noqa: E402

_INPUT = bytes(range(256)) * 3 + b"<alto/>"


@pytest.mark.parametrize(("log", "expected"), [
    ("\n".join(fuzz_smoke.printable(b"")), b""),
    ("before\n" + "\n".join(fuzz_smoke.printable(_INPUT)) + "\nafter", _INPUT),
    # as the issue tracker quotes it, and indented
    ("\n".join("> " + x for x in fuzz_smoke.printable(_INPUT)), _INPUT),
    ("\n".join("    " + x for x in fuzz_smoke.printable(_INPUT)), _INPUT),
    # two runs in one log: the last input
    ("\n".join(fuzz_smoke.printable(b"old") + fuzz_smoke.printable(b"new")), b"new"),
])
def test_a_printed_failing_input_is_restored_byte_for_byte(log, expected):
    assert fuzz_smoke.restored(log) == expected


@pytest.mark.parametrize("log", [
    "no block here",
    fuzz_smoke.BEGIN + "\neJwrSS0u",  # cut before its end
    f"{fuzz_smoke.BEGIN}\nnot base64!\n{fuzz_smoke.END}",
])
def test_a_log_without_a_whole_printed_input_is_refused(log):
    with pytest.raises(ValueError):
        fuzz_smoke.restored(log)
