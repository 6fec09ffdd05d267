"""The reading direction a file states or its text shows (``Page.direction``)."""

from __future__ import annotations

from pathlib import Path

import pytest
from pkg_helpers import DATA  # noqa: F401  (makes the package importable)

from quorlin import direction
from quorlin.formats import read_page
from quorlin.formats.xml.document import start_tag_end
from quorlin.page import Decided

SAMPLES = Path(__file__).resolve().parents[1] / "data" / "formats"


@pytest.mark.parametrize(("text", "shown"), [
    ("ܐܡܪܬ ܕܐܠܗܐ ܐܝܬܝܟܘܢ and a few Latin", "rtl"),
    ("שלום עולם", "rtl"),
    ("ٱلْعَرَبِيَّة", "rtl"),  # the vowel marks count with their letters' script
    ("縦書きの日本語 abc", "cjk"),
    ("한국어 텍스트", "cjk"),
    ("Die Zeitung vom 3. Mai 1911", "ltr"),
    ("1911 — 42, 17.", None),
    ("", None),
])
def test_letters_of_a_text(text: str, shown: str | None) -> None:
    assert direction.from_text(text) == shown


LYING = [(0, 0, 100, 20)] * 5
UPRIGHT = [(0, 0, 20, 100)] * 5


@pytest.mark.parametrize(("cues", "expected"), [
    ({}, "ltr"),
    ({"stated": [None, Decided("rtl", "the file")], "text": "abc"}, "rtl"),
    ({"scripts": [(None, "lang x"), ("rtl", "lang ar")], "text": "abc"}, "rtl"),
    ({"text": "ܐܡܪܬ"}, "rtl"),
    ({"scripts": [("cjk", "lang ja")], "lines": UPRIGHT}, "ttb"),
    ({"scripts": [("cjk", "lang ja")], "lines": LYING}, "ltr"),
    ({"text": "縦書きの日本語", "lines": UPRIGHT}, "ttb"),
    ({"text": "縦書きの日本語", "lines": UPRIGHT[:2]}, "ltr"),  # too few lines to tell
    ({"text": "Latin text", "lines": UPRIGHT}, "ltr"),  # upright lines alone are not vertical text
])
def test_decide_takes_the_strongest_cue(cues: dict[str, object], expected: str) -> None:
    lines = cues.pop("lines", [])
    decided = direction.decide(lines=lambda: lines, **cues)  # type: ignore[arg-type]
    assert decided.direction == expected and decided.reason


@pytest.mark.parametrize(("sample", "expected", "reason"), [
    ("page/page2013_transkribus_syriac_SMMJ36_0125.xml", "rtl", "the letters of the text"),
    ("alto/alto4_escriptorium_syriac_SMMJ36_0125.xml", "rtl", "the letters of the text"),
    ("hocr/gcv2hocr_jp_vertical.hocr", "ttb", 'lang="jpn" of most elements and upright text lines'),
    ("hocr/tesseract305_ubma_417576986_0013.hocr", "ltr", "the letters of the text"),
    ("page/page2010_impact_bne_00445310_gt.xml", "ltr", "the letters of the text"),
    ("alto/alto2_abbyy11_ubma_417576986_0012.xml", "ltr", "the letters of the text"),
])
def test_samples(sample: str, expected: str, reason: str) -> None:
    assert read_page(SAMPLES / sample).direction == Decided(expected, reason)


PAGE = """<PcGts xmlns="http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15">
<Page imageFilename="p.png" imageWidth="100" imageHeight="100" {page}>
<TextRegion id="r1" {region}><Coords points="0,0 10,0 10,10 0,10"/>
<TextLine id="l1"><Coords points="0,0 10,0 10,2 0,2"/><TextEquiv><Unicode>{text}</Unicode></TextEquiv></TextLine>
</TextRegion>
</Page></PcGts>"""
HOCR = """<html xmlns="http://www.w3.org/1999/xhtml" lang="{html_lang}"><head><title>{title}</title></head><body>
<div class="ocr_page" title="bbox 0 0 100 100"><p class="ocr_par" {par} title="bbox 0 0 10 10">
<span class="ocr_line" title="bbox 0 0 10 2">{text}</span></p></div></body></html>"""
ALTO = """<alto xmlns="http://www.loc.gov/standards/alto/ns-v4#"><Layout><Page WIDTH="100" HEIGHT="100" {page}>
<PrintSpace><TextBlock ID="b1" HPOS="0" VPOS="0" WIDTH="10" HEIGHT="10" {block}>
<TextLine HPOS="0" VPOS="0" WIDTH="10" HEIGHT="2"><String CONTENT="{text}"/></TextLine></TextBlock>
</PrintSpace></Page></Layout></alto>"""


@pytest.mark.parametrize(("name", "document", "expected"), [
    ("page.xml", PAGE.format(page='readingDirection="right-to-left"', region="", text="Latin"),
     Decided("rtl", 'readingDirection="right-to-left" of <Page>')),
    ("page.xml", PAGE.format(page="", region='readingDirection="right-to-left"', text="Latin"),
     Decided("rtl", 'readingDirection="right-to-left" of most text regions')),
    ("page.xml", PAGE.format(page='readingDirection="top-to-bottom" textLineOrder="right-to-left"', region="",
                             text=""), Decided("ttb", 'readingDirection="top-to-bottom" of <Page>')),
    # vertical lines set from the left (Mongolian): the columns are read as ltr reads them
    ("page.xml", PAGE.format(page='readingDirection="top-to-bottom" textLineOrder="left-to-right"', region="",
                             text=""),
     Decided("ltr", 'readingDirection="top-to-bottom" of <Page> with textLineOrder="left-to-right"')),
    ("page.xml", PAGE.format(page='primaryScript="Hebr - Hebrew"', region="", text="x"),
     Decided("rtl", 'primaryScript="Hebr - Hebrew" of <Page>')),
    ("page.xml", PAGE.format(page="", region='primaryLanguage="Arabic"', text="نص"),
     Decided("rtl", 'primaryLanguage="Arabic" of most text regions')),  # PAGE names languages in English
    ("page.xml", PAGE.format(page="", region="", text="שלום"), Decided("rtl", "the letters of the text")),
    ("page.hocr", HOCR.format(html_lang="en", title="", par='dir="rtl"', text="x"),
     Decided("rtl", 'dir="rtl" of most elements')),
    ("page.hocr", HOCR.format(html_lang="ar", title="", par="", text="Latin"),
     Decided("ltr", "the letters of the text")),  # the <html> lang is an engine's template
    ("page.hocr", HOCR.format(html_lang="en", title="", par='lang="fas"', text="x"),
     Decided("rtl", 'lang="fas" of most elements')),
    ("page.hocr", HOCR.format(html_lang="en", title="Latin title of the file", par="", text="نص"),
     Decided("rtl", "the letters of the text")),  # the <head> is not the page's text
    ("page.hocr", HOCR.format(html_lang="en", title="", par='dir="ltr"', text="نص عربي"),
     Decided("ltr", 'dir="ltr" of most elements')),
    ("page.xml", ALTO.format(page="", block='BASEDIRECTION="rtl"', text="Latin"),
     Decided("rtl", 'BASEDIRECTION="rtl" of most blocks and lines')),
    ("page.xml", ALTO.format(page='LANG="he"', block="", text="x"), Decided("rtl", 'LANG="he" of a Page')),
    ("page.xml", ALTO.format(page="", block="", text=""), Decided("ltr", "the default")),
])
def test_what_a_file_states(tmp_path: Path, name: str, document: str, expected: Decided) -> None:
    path = tmp_path / name
    path.write_text(document, encoding="utf-8")
    assert read_page(path).direction == expected


def test_a_line_without_a_good_box_is_passed_over() -> None:
    page = PAGE.format(page='primaryScript="Jpan"', region="", text="縦書き").replace(
        '<Coords points="0,0 10,0 10,2 0,2"/>', '<Coords points="broken"/>')
    assert read_page(Path("p.xml"), data=page.encode()).direction == Decided(
        "ltr", 'primaryScript="Jpan" of <Page> and lying text lines')


@pytest.mark.parametrize(("tag", "end"), [
    (b"<a>", 3),
    (b'<a b=">" c=\'>\'>', 15),
    (b"<a b='x\">'/>rest", 12),
    (b'<a b="never closed>', 19),
    (b"<a b='x'", 8),
    ("<a b='>'>".encode("utf-16-le"), 17),  # just past the '>' byte
])
def test_start_tag_end(tag: bytes, end: int) -> None:
    assert start_tag_end(tag, 0) == end
