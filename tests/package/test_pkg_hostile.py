"""Hostile files: each fault an attack on the readers found, as a regression test named after it.

The time limits below are far above what the readers take (a few
milliseconds to a tenth of a second) and far below what the faults cost (from
seconds to minutes): they tell linear work from quadratic, not fast from slow.
"""

from __future__ import annotations

import json
import time
import tracemalloc
from collections.abc import Callable

import pytest
from pkg_helpers import assert_one_line_error

from quorlin import PageError
from quorlin.formats import read_page

MB = 1_000_000
PAGE_NS = "http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15"


def page_xml(region_attributes: str = "", doctype: str = "") -> bytes:
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n{doctype}<PcGts xmlns="{PAGE_NS}"><Page imageWidth="100" '
            f'imageHeight="100"><TextRegion id="r1" {region_attributes}><Coords points="0,0 10,0 10,10 0,10"/>'
            "</TextRegion></Page></PcGts>").encode()


def alto(root_attributes: str = "", settings: str = "", doctype: str = "") -> bytes:
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n{doctype}<alto xmlns="http://www.loc.gov/standards/alto/ns-v4#" '
            f"{root_attributes}><Description><MeasurementUnit>pixel</MeasurementUnit><OCRProcessing ID='p'>"
            f"<ocrProcessingStep><processingStepSettings>{settings}</processingStepSettings></ocrProcessingStep>"
            "</OCRProcessing></Description><Layout><Page WIDTH='100' HEIGHT='100'><PrintSpace>"
            "<TextBlock ID='b' HPOS='0' VPOS='0' WIDTH='10' HEIGHT='10'/></PrintSpace></Page></Layout></alto>").encode()


def hocr(page_title: str = "bbox 0 0 100 100", line_title: str = "bbox 0 0 10 10", doctype: str = "",
         body: str = "") -> bytes:
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n{doctype}<html xmlns="http://www.w3.org/1999/xhtml"><body>'
            f"<div class='ocr_page' title='{page_title}'><span class='ocr_line' id='l' title='{line_title}'>x</span>"
            f"{body}</div></body></html>").encode()


def json_page(label: str) -> bytes:
    return json.dumps({"elements": [{"id": "a", "box": [0, 0, 10, 10], "label": label}]}).encode()


# Every pattern the readers apply to a file's text, each with an input of about
# a megabyte that would make a backtracking pattern take seconds or more.
PATTERNS: list[tuple[str, Callable[[], object]]] = [
    ("format-detection-doctype-of-blanks", lambda: read_page("f.xml", data=b"<!DOCTYPE a" + b" " * MB + b"x")),
    ("format-detection-forced-json", lambda: read_page("f", "json", data=b"<!DOCTYPE a" + b" " * MB + b"x")),
    ("format-detection-unclosed-subset", lambda: read_page("f.xml", data=b"<!DOCTYPE a [" + b"]x" * (MB // 2))),
    ("pagexml-custom-structure-repeated",
     lambda: read_page("p.xml", data=page_xml('custom="' + "structure{" * (MB // 10) + '"'))),
    ("pagexml-custom-type-without-value",
     lambda: read_page("p.xml", data=page_xml('custom="structure {' + " type:;" * (MB // 7) + '"'))),
    ("hocr-title-of-escaped-quotes", lambda: read_page("h.hocr", data=hocr(line_title='bbox 0 0 1 1; x "'
                                                                              + '\\"' * (MB // 2)))),
    ("hocr-page-title-of-quoted-strings",
     lambda: read_page("h.hocr", data=hocr(page_title="bbox 0 0 100 100; " + '"a";' * (MB // 4) + " image i"))),
    ("hocr-html-tags", lambda: read_page("h.html", data=b"<html><body>" + b"<a" * (MB // 2))),
    ("hocr-html-charset-blanks", lambda: read_page("h.html", data=b"<meta charset" + b" " * MB + b"<html>")),
    ("alto-schema-location-digits",
     lambda: read_page("a.xml", data=alto('xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
                                          'xsi:schemaLocation="alto-' + "4" * MB + '"'))),
    ("alto-schema-version-digits", lambda: read_page("a.xml", data=alto('SCHEMAVERSION="' + "4" * MB + '.3"'))),
    ("alto-resolution-settings", lambda: read_page("a.xml", data=alto(settings=("dpi:" + " " * 100) * (MB // 104)))),
    ("json-label-of-camel-case", lambda: read_page("j.json", data=json_page("aA" * (MB // 2)))),
]


@pytest.mark.parametrize("read", [read for _, read in PATTERNS], ids=[name for name, _ in PATTERNS])
def test_every_pattern_over_file_content_takes_linear_time(read):
    started = time.perf_counter()
    try:
        read()
    except PageError:
        pass  # refused with a message is as good as read
    assert time.perf_counter() - started < 1.0


def test_alto_version_with_more_digits_than_python_reads_is_no_version():
    """It used to escape as a ValueError of int() (over 4300 digits)."""
    page = read_page("a.xml", data=alto('SCHEMAVERSION="' + "4" * 5000 + '.3"'))
    assert page.version == "4"


def attribute_default_bomb(spans: int) -> bytes:
    """The probe's file: an attribute default of a million characters for every <span>."""
    return hocr(doctype='<!DOCTYPE html [<!ATTLIST span data-x CDATA "' + "A" * MB + '">]>\n',
                body="<span/>" * spans)


@pytest.mark.parametrize("spans", [1000, 4000])
def test_dtd_attribute_default_in_hocr_is_refused_at_once_with_little_memory(tmp_path, spans):
    path = tmp_path / "bomb.hocr"
    path.write_bytes(attribute_default_bomb(spans))
    tracemalloc.start()
    started = time.perf_counter()
    try:
        with pytest.raises(PageError) as caught:
            read_page(path)
        elapsed = time.perf_counter() - started
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert_one_line_error(str(caught.value), path, "the DOCTYPE declares <!ATTLIST span data-x>: declarations are "
                                                   "refused")
    assert elapsed < 1.0
    assert peak < 20 * MB  # it took gigabytes


DECLARATIONS = [
    ('<!ENTITY x "y">', "<!ENTITY x>"),
    ('<!ENTITY x SYSTEM "file:///etc/passwd">', "<!ENTITY x>"),
    ('<!ENTITY % p "q">', "<!ENTITY p>"),
    ("<!ELEMENT span ANY>", "<!ELEMENT span>"),
    ('<!ATTLIST div title CDATA "bbox 0 0 5 5">', "<!ATTLIST div title>"),
    ('<!NOTATION n SYSTEM "n">', "<!NOTATION n>"),
]


@pytest.mark.parametrize(("declaration", "named"), DECLARATIONS, ids=[n for _, n in DECLARATIONS])
def test_every_dtd_declaration_is_refused_naming_it(tmp_path, declaration, named):
    for name, content, problem in [
        ("p.xml", page_xml(doctype=f"<!DOCTYPE PcGts [{declaration}]>\n"), "XML with a DOCTYPE is refused"),
        ("a.xml", alto(doctype=f"<!DOCTYPE alto [{declaration}]>\n"), "XML with a DOCTYPE is refused"),
        ("h.hocr", hocr(doctype=f"<!DOCTYPE html [{declaration}]>\n"), f"the DOCTYPE declares {named}"),
        # not XML (a comment with "--"), so read as HTML, whose DOCTYPE may not declare anything either
        ("h.html", f"<!-- a -- b --><!DOCTYPE html [{declaration}]><html><body><p>x<br></body></html>".encode(),
         f"the DOCTYPE declares {named}"),
    ]:
        path = tmp_path / name
        path.write_bytes(content)
        with pytest.raises(PageError) as caught:
            read_page(path)
        assert_one_line_error(str(caught.value), path, problem)


def test_a_doctype_that_only_names_its_dtd_stays_accepted_in_hocr():
    xhtml = '<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.0 Strict//EN" "http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd">\n'
    assert [r.id for r in read_page("h.hocr", data=hocr(doctype=xhtml)).regions] == ["l"]
    html = b"<!DOCTYPE html><html><body><div class='ocr_page' title='bbox 0 0 9 9'><p class='ocr_par'>x<br></div>"
    assert read_page("h.html", data=html).version == "HTML"


def test_an_attribute_default_no_longer_moves_a_region_without_a_box():
    """A default title for every <div> gave a region without a box one, moving it from last to first."""
    doctype = '<!DOCTYPE html [<!ATTLIST div title CDATA "bbox 0 0 5 5">]>\n'
    with pytest.raises(PageError, match="declares <!ATTLIST div title>"):
        read_page("h.hocr", data=hocr(doctype=doctype, body="<div class='ocr_carea'><span>no box</span></div>"))
