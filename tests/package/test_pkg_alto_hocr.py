"""ALTO, hOCR and detector output on small synthetic pages: units, groups, bad and hostile input."""

from __future__ import annotations

import json
import logging
import time

import pytest
from pkg_helpers import assert_one_line_error, run_cli

import quorlin
from quorlin import PageError
from quorlin.formats import read_page, write_page
from quorlin.ordering import page_order

ALTO4 = "http://www.loc.gov/standards/alto/ns-v4#"


def alto(blocks, *, ns=ALTO4, version="4.2", unit="pixel", settings="", head="", ro="", page='WIDTH="1000" HEIGHT="800"'):
    location = f' SCHEMAVERSION="{version}"' if version else ""
    steps = (f"<OCRProcessing ID=\"o\"><ocrProcessingStep><processingStepSettings>{settings}"
             "</processingStepSettings></ocrProcessingStep></OCRProcessing>") if settings else ""
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n{head}<alto xmlns="{ns}"{location}>\n'
            f"  <Description><MeasurementUnit>{unit}</MeasurementUnit>{steps}</Description>\n{ro}"
            f'  <Layout><Page ID="p" PHYSICAL_IMG_NR="1" {page}>\n' + "".join(f"    {b}\n" for b in blocks)
            + "  </Page></Layout>\n</alto>\n").encode()


def block(bid, x, y, w, h, tag="TextBlock", inner=""):
    ident = f' ID="{bid}"' if bid else ""
    return f'<{tag}{ident} HPOS="{x}" VPOS="{y}" WIDTH="{w}" HEIGHT="{h}">{inner}</{tag}>'


def space(*blocks, name="PrintSpace"):
    return f'<{name} HPOS="0" VPOS="0" WIDTH="1000" HEIGHT="800">' + "".join(blocks) + f"</{name}>"


TWO_COLUMNS = [space(block("right", 520, 100, 380, 500), block("title", 100, 20, 800, 50),
                     block("rule", 495, 100, 10, 500, tag="GraphicalElement"), block("left", 100, 100, 380, 500))]


@pytest.mark.parametrize(("unit", "settings", "dpi", "box"), [
    ("pixel", "", None, (100.0, 20.0, 900.0, 70.0)),
    ("inch1200", "xdpi:300 ydpi:150", None, (25.0, 2.5, 225.0, 8.75)),
    ("inch1200", "dpi: 600", None, (50.0, 10.0, 450.0, 35.0)),
    ("mm10", "", 25.4, (10.0, 2.0, 90.0, 7.0)),
    ("inch1200", "xdpi:300 ydpi:300", 1200.0, (100.0, 20.0, 900.0, 70.0)),  # the caller's resolution wins
])
def test_alto_boxes_are_in_pixels_whatever_the_unit(unit, settings, dpi, box):
    page = read_page("a.xml", data=alto(TWO_COLUMNS, unit=unit, settings=settings), dpi=dpi)
    assert {r.id: r.box for r in page.regions}["title"] == box
    assert page_order(page) == ["title", "left", "right"]
    assert [(r.id, r.role) for r in page.separators] == [("rule", "separator")]


def test_alto_before_4_3_reorders_blocks_keeping_groups_and_rules_in_place():
    group = ('<ComposedBlock ID="g" HPOS="520" VPOS="100" WIDTH="380" HEIGHT="500">'
             + block("g2", 520, 400, 380, 200) + block("g1", 520, 100, 380, 250) + "</ComposedBlock>")
    head = '<TopMargin HPOS="0" VPOS="0" WIDTH="1000" HEIGHT="15">' + block("folio", 480, 0, 40, 10) + "</TopMargin>"
    data = alto([head, space(group, block("rule", 495, 100, 10, 500, tag="GraphicalElement"),
                             block("left", 100, 100, 380, 500), block("title", 100, 20, 800, 50))])
    page = read_page("a.xml", data=data)
    assert {r.id: r.role for r in page.regions} == {"folio": "margin", "g2": "", "g1": "", "left": "", "title": ""}
    assert page_order(page) == ["folio", "title", "left", "g1", "g2"]
    out = write_page(page, ["title", "g1", "left", "folio", "g2"])
    text = out.decode()
    # the group moves whole, its blocks in order; the rule keeps its slot; the margin stays a margin
    assert [r.id for r in read_page("a.xml", data=out).regions] == ["folio", "title", "g1", "g2", "left"]
    assert text.index('ID="title"') < text.index('ID="rule"') < text.index('ID="g"')
    assert b"ReadingOrder" not in out and len(out) == len(data)


@pytest.mark.parametrize(("unnamed", "written"), [
    ("", ' ID="TextBlock_1" HPOS'),
    (' ID=""', ' ID="TextBlock_1" HPOS'),  # an empty ID is filled in, not written twice
    (" ID = ''", " ID = 'TextBlock_1' HPOS"),
])
def test_alto_4_3_gets_a_reading_order_and_ids_for_blocks_without_one(unnamed, written):
    first = f'<TextBlock{unnamed} HPOS="520" VPOS="100" WIDTH="380" HEIGHT="500"></TextBlock>'
    data = alto([space(first, block("ro_quorlin", 100, 20, 800, 50),
                       block("left", 100, 100, 380, 500))], version="4.3")
    page = read_page("a.xml", data=data)
    assert [r.id for r in page.regions] == ["TextBlock_1", "ro_quorlin", "left"]
    out = write_page(page, page_order(page))
    again = read_page("a.xml", data=out)
    assert again.reading_order == ["ro_quorlin", "left", "TextBlock_1"]
    assert f"<TextBlock{written}=\"520\"".encode() in out
    assert b'<OrderedGroup ID="ro_quorlin_2">' in out and b"</ReadingOrder>\n  <Layout>" in out.replace(b"\n  <", b"\n  <")
    # the blocks stay where they were
    assert [r.id for r in again.regions] == [r.id for r in page.regions]


def test_alto_block_without_coordinates_takes_its_lines_box_or_is_left_out(caplog):
    line = '<TextLine ID="l" HPOS="10" VPOS="300" WIDTH="80" HEIGHT="20"><String CONTENT="x"/></TextLine>'
    ro = ('<ReadingOrder><OrderedGroup ID="o"><ElementRef ID="e1" REF="empty"/><ElementRef ID="e2" REF="l"/>'
          "</OrderedGroup></ReadingOrder>\n")
    data = alto([space('<TextBlock ID="lines">' + line + "</TextBlock>", '<TextBlock ID="empty"/>',
                       block("top", 10, 10, 80, 20))], version="4.3", ro=ro)
    with caplog.at_level(logging.WARNING, logger="quorlin"):
        page = read_page("a.xml", data=data)
    assert {r.id: r.box for r in page.regions} == {"lines": (10.0, 300.0, 90.0, 320.0), "top": (10.0, 10.0, 90.0, 30.0)}
    assert page.reading_order == ["lines"]  # a line's reference counts for its block; "empty" is not on the page
    assert "a.xml: TextBlock 'lines' has no coordinates; using the box of its lines" in caplog.text
    assert "a.xml: TextBlock 'empty' has no coordinates and no lines with coordinates" in caplog.text


BOMB = '<!DOCTYPE alto [<!ENTITY a "aaaa"><!ENTITY b "&a;&a;&a;&a;">]>\n'
BAD_ALTO = [
    (alto(TWO_COLUMNS, unit="cm"), "unknown MeasurementUnit 'cm' (expected pixel, mm10 or inch1200)"),
    (alto(TWO_COLUMNS, unit="mm10"), "MeasurementUnit mm10 needs the image resolution, which the file does not give"),
    (alto(TWO_COLUMNS, ro='<ReadingOrder><OrderedGroup ID="o"><ElementRef ID="e" REF="nowhere"/></OrderedGroup>'
                          "</ReadingOrder>"), "ElementRef 'e' refers to a missing ID 'nowhere'"),
    (alto([space('<TextBlock ID="t" HPOS="1" VPOS="2"/>')]), "TextBlock 't' has HPOS, VPOS but no WIDTH, HEIGHT"),
    (alto([space(block("t", "x", 0, 1, 1))]), "TextBlock 't': HPOS='x' is not a number"),
    (alto([space(block("t", 0, 0, 1, 1), block("t", 5, 5, 1, 1))]), "two blocks share the ID 't'"),
    (alto(TWO_COLUMNS, head=BOMB), "DOCTYPE is refused"),
    (alto(TWO_COLUMNS, ns="http://example.com/x"), "not an ALTO document (root element <alto> in namespace"),
    (alto([], page='WIDTH="1"') .replace(b"<Layout>", b"<Layout><Page ID=\"q\"/>"), "ALTO <Layout> with 2 pages"),
]


@pytest.mark.parametrize(("content", "problem"), BAD_ALTO, ids=[p for _, p in BAD_ALTO])
def test_bad_alto_gives_one_line_naming_file_and_element(tmp_path, content, problem):
    path = tmp_path / "page.xml"
    path.write_bytes(content)
    with pytest.raises(PageError) as caught:
        read_page(path)
    assert_one_line_error(str(caught.value), path, problem)


# --------------------------------------------------------------------------
# hOCR
# --------------------------------------------------------------------------

def hocr(body, page_title="bbox 0 0 1000 800", doctype=""):
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n{doctype}<html xmlns="http://www.w3.org/1999/xhtml"><body>\n'
            f"<div class='ocr_page' title='{page_title}'>\n{body}\n</div>\n</body></html>\n").encode()


def area(aid, x0, y0, x1, y1, cls="ocr_carea", inner="w"):
    ident = f" id='{aid}'" if aid else ""
    return f"<div class='{cls}'{ident} title='bbox {x0} {y0} {x1} {y1}; x_wconf 90'>{inner}</div>"


def test_hocr_regions_are_the_top_most_areas_paragraphs_or_lines():
    lines = ("<span class='ocr_line' title='bbox 100 100 480 120'>a</span><br/>"
             "<span class='ocr_line' title='bbox 100 130 480 150'>b</span>")
    body = "\n".join([
        area("right", 520, 100, 900, 600), area("sep", 495, 100, 505, 600, cls="ocr_separator"),
        f"<p class='ocr_par' id='par'>{lines}</p>",  # a paragraph with no bbox: the box of its lines
        "<h1><span class='ocr_line' id='head' title='bbox 100 20 900 70'>Title</span></h1>",
        area("noise", 990, 0, 1000, 800, cls="ocr_noise"),
    ])
    page = read_page("p.hocr", data=hocr(body))
    assert {r.id: r.box for r in page.regions} == {"right": (520.0, 100.0, 900.0, 600.0),
                                                   "par": (100.0, 100.0, 480.0, 150.0),
                                                   "head": (100.0, 20.0, 900.0, 70.0)}
    assert [(r.id, r.role) for r in page.skipped] == [("sep", "separator"), ("noise", "noise")]
    computed = page_order(page)
    assert computed == ["head", "par", "right"]
    out = write_page(page, computed).decode()
    # the heading moves with its line, the separator and the line break keep their places
    assert out.index("<h1>") < out.index("id='sep'") < out.index("id='par'") < out.index("id='right'") \
        < out.index("id='noise'")


@pytest.mark.parametrize(("page_title", "bounds"), [
    ("bbox 0 0 0 0", (100.0, 20.0, 900.0, 600.0)),
    ('image "x.png"', (100.0, 20.0, 900.0, 600.0)),
    ("bbox 50 10 950 790", (50.0, 10.0, 950.0, 790.0)),
    ("bbox 0 0 1000 800, image x.png", (0.0, 0.0, 1000.0, 800.0)),
])
def test_hocr_page_bounds_from_the_page_bbox_or_the_content(page_title, bounds):
    page = read_page("p.hocr", data=hocr(area("a", 100, 20, 900, 300) + area("b", 100, 400, 900, 600), page_title))
    assert page.bounds == bounds


BAD_HOCR = [
    (hocr(area("a", 1, 2, 3, "x")), "ocr_carea 'a': bbox '1 2 3 x' does not parse (expected four numbers"),
    (hocr("<div class='ocr_line' id='l' title='bbox 1 2 3'>x</div>"), "ocr_line 'l': bbox '1 2 3' does not parse"),
    (hocr(area("a", 0, 0, 1, 1)).replace(b"</body>", b"<div class='ocr_page'/></body>"), "with 2 pages"),
    (b"<html><body><p>no page</p></body></html>", "no element of class ocr_page"),
    (hocr(area("a", 0, 0, 1, 1), doctype='<!DOCTYPE html [<!ENTITY x SYSTEM "file:///etc/passwd">]>\n'),
     "the DOCTYPE declares <!ENTITY x>: declarations are refused"),
    # not XML (a comment with "--"), so read as HTML, whose DOCTYPE may not declare anything either
    (b'<!-- a -- b --><!DOCTYPE html [<!ENTITY a "aa">]><html><body><div class="ocr_page"><p>&a;<br></p></div>'
     b"</body></html>", "the DOCTYPE declares <!ENTITY a>: declarations are refused"),
]


@pytest.mark.parametrize(("content", "problem"), BAD_HOCR, ids=[p for _, p in BAD_HOCR])
def test_bad_hocr_gives_one_line_naming_file_and_element(tmp_path, content, problem):
    path = tmp_path / "page.hocr"
    path.write_bytes(content)
    with pytest.raises(PageError) as caught:
        read_page(path)
    assert_one_line_error(str(caught.value), path, problem)


def test_html_that_is_not_xml_is_written_as_well_formed_xml_keeping_everything():
    html = ("<!DOCTYPE html><html><head><meta name='ocr-system' content='x & y'><title>t</title></head><body>"
            "<div class='ocr_page' title='bbox 0 0 100 100'>"
            "<p class='ocr_par' id='b' title='bbox 0 50 100 60'>Tom &amp; Jerry & co<br>"
            "<p class='ocr_par' id='a' title='bbox 0 10 100 20' lang=de data-x>&auml;h &#x263A;"
            "</div></body></html>").encode("utf-8")
    page = read_page("p.html", data=html)
    assert page.version == "HTML"
    out = write_page(page, page_order(page))
    etree = pytest.importorskip("lxml.etree")
    root = etree.fromstring(out)
    pars = [(p.get("id"), "".join(p.itertext()), dict(p.attrib)) for p in root.iter("p")]
    assert pars == [
        ("a", "äh \u263a", {"class": "ocr_par", "id": "a", "title": "bbox 0 10 100 20", "lang": "de",
                            "data-x": "data-x"}),
        ("b", "Tom & Jerry & co", {"class": "ocr_par", "id": "b", "title": "bbox 0 50 100 60"}),
    ]
    assert root.find(".//meta").get("content") == "x & y"


# --------------------------------------------------------------------------
# detector output
# --------------------------------------------------------------------------

# the same three detections (right column, title, left column) in every shape
SHAPES = [
    ("detections", [{"box": [520, 100, 900, 600], "label": "text", "score": 0.9},
                    {"bbox": [100, 20, 900, 70], "class_name": "title"},
                    {"xyxy": {"x1": 100, "y1": 100, "x2": 480, "y2": 600}, "name": "text"}]),
    ("detections", [{"xmin": 520, "ymin": 100, "xmax": 900, "ymax": 600, "class": 0, "name": "text"},
                    {"x1": 100, "y1": 20, "x2": 900, "y2": 70, "confidence": 0.5, "class": "title"},
                    {"box": {"xmin": 100, "ymin": 100, "xmax": 480, "ymax": 600}, "category": "text"}]),
    ("coco", [{"bbox": [520, 100, 380, 500], "category_id": 1, "score": 0.9},
              {"bbox": [100, 20, 800, 50], "category_id": 2},
              {"bbox": [100, 100, 380, 500], "category_id": 1}]),
    ("coco", {"images": [{"id": 7, "width": 1000, "height": 800}],
              "categories": [{"id": 1, "name": "text"}, {"id": 2, "name": "title"}, {"id": 3, "name": "separator"}],
              "annotations": [{"id": 1, "image_id": 7, "bbox": [520, 100, 380, 500], "category_id": 1},
                              {"id": 2, "image_id": 7, "bbox": [100, 20, 800, 50], "category_id": 2},
                              {"id": 3, "image_id": 7, "bbox": [495, 100, 10, 500], "category_id": 3},
                              {"id": 4, "image_id": 7, "bbox": [100, 100, 380, 500], "category_id": 1}]}),
]


@pytest.mark.parametrize(("fmt", "value"), SHAPES, ids=["xyxy", "corner-keys", "coco-results", "coco-object"])
def test_detections_in_every_shape_give_the_same_order(tmp_path, fmt, value):
    path = tmp_path / "dets.json"
    path.write_text(json.dumps(value))
    for forced in ("auto", fmt):
        page = read_page(path, forced)
        assert page.format == fmt
        assert sorted(r.box for r in page.regions) == [(100.0, 20.0, 900.0, 70.0), (100.0, 100.0, 480.0, 600.0),
                                                      (520.0, 100.0, 900.0, 600.0)]
    left = 3 if isinstance(value, dict) else 2
    assert page_order(page) == [1, left, 0]
    written = json.loads(write_page(page, page_order(page)))
    items = written["annotations"] if isinstance(value, dict) else written
    originals = value["annotations"] if isinstance(value, dict) else value
    assert items[:3] == [{**originals[i], "reading_order": k} for k, i in enumerate([1, left, 0])]
    assert items[3:] == originals[2:3] if isinstance(value, dict) else items[3:] == []
    # the helper for quorlin.order gives the same
    assert quorlin.order(*quorlin.from_detections(originals if fmt == "detections" else value)) \
        == ([1, left, 2, 0] if isinstance(value, dict) else [1, 2, 0])


def _numpy_detections():
    np = pytest.importorskip("numpy")
    return [{"box": np.array([520, 100, 900, 600], dtype=np.float32), "label": "text", "score": np.float32(0.9)},
            {"box": [np.int64(100), 20, 900, 70], "label": "title"}, {"box": np.array([100, 100, 480, 600])}]


@pytest.mark.parametrize("detections", [
    # a tuple of detections, boxes as tuples
    lambda: ({"box": (520, 100, 900, 600), "label": "text"}, {"box": (100, 20, 900, 70), "label": "title"},
             {"box": (100, 100, 480, 600)}),
    # NumPy arrays and scalars, as a detector's tensors give them
    _numpy_detections,
    # a COCO object of tuples
    lambda: {"annotations": ({"bbox": (520, 100, 380, 500), "category_id": 1},
                             {"bbox": (100, 20, 800, 50), "category_id": 2},
                             {"bbox": (100, 100, 380, 500), "category_id": 1}),
             "categories": ({"id": 1, "name": "text"}, {"id": 2, "name": "title"})},
], ids=["tuples", "numpy", "coco-tuples"])
def test_from_detections_reads_python_values_as_their_json(detections):
    boxes, _ = quorlin.from_detections(detections())
    assert boxes == [(520.0, 100.0, 900.0, 600.0), (100.0, 20.0, 900.0, 70.0), (100.0, 100.0, 480.0, 600.0)]
    assert quorlin.order(*quorlin.from_detections(detections())) == [1, 2, 0]


BAD_DETECTIONS = [
    ([{"box": [0, 0, 1]}], "detection 0: \"box\" must hold 4 numbers [x1, y1, x2, y2], got 3"),
    ([{"label": "text"}], "detection 0: no box"),
    ([{"box": [0, 0, 1, 1]}, 5], "detection 1 must be an object, got 5"),
    ([{"box": [0, 0, "1", 1]}], "box[2] must be a number"),
    ([{"box": [0, 0, 1, 1], "score": "high"}], "\"score\" must be a number"),
    ([{"bbox": [0, 0, 1], "category_id": 1}], "\"bbox\" must be a list of 4 numbers [x, y, width, height]"),
    ({"annotations": [{"bbox": [0, 0, 1, 1], "category_id": 1, "image_id": 1},
                      {"bbox": [0, 0, 1, 1], "category_id": 1, "image_id": 2}]}, "annotations of 2 images"),
    ({"annotations": [], "categories": [{"id": 1}]}, "categories[0] must be an object with \"id\" and \"name\""),
]


@pytest.mark.parametrize(("value", "problem"), BAD_DETECTIONS, ids=[p for _, p in BAD_DETECTIONS])
def test_bad_detections_give_one_line_naming_file_and_detection(tmp_path, value, problem):
    path = tmp_path / "dets.json"
    path.write_text(json.dumps(value))
    with pytest.raises(PageError) as caught:
        read_page(path)
    assert_one_line_error(str(caught.value), path, problem)


def test_batch_lines_may_hold_detections_and_pages(tmp_path):
    lines = [json.dumps(SHAPES[0][1]), json.dumps({"elements": [{"box": [0, 0, 1, 1]}]}), json.dumps(SHAPES[2][1]),
             json.dumps([{"label": "text"}])]
    path = tmp_path / "mixed.jsonl"
    path.write_text("\n".join(lines) + "\n")
    result = run_cli("order", str(path), "--jobs", "2")
    assert result.returncode == 1
    out = [json.loads(line) for line in result.stdout.splitlines()]
    assert [d["reading_order"] for d in out[0]] == [0, 1, 2] and out[0][0]["class_name"] == "title"
    assert out[1]["order"] == [0]
    assert [d["bbox"] for d in out[2]] == [[100, 20, 800, 50], [100, 100, 380, 500], [520, 100, 380, 500]]
    assert out[3] == {"line": 4, "error": f"{path}:4: detection 0: no box "
                                          "(give \"box\": [x1, y1, x2, y2], or x1, y1, x2, y2)"}


# --------------------------------------------------------------------------
# the command line: what it refuses, and what it never writes
# --------------------------------------------------------------------------

@pytest.mark.parametrize(("content", "fmt", "problem"), [
    (alto(TWO_COLUMNS), "hocr", "not hOCR as --format hocr says: the file is ALTO"),
    (hocr(area("a", 0, 0, 1, 1)), "page-xml", "not PAGE-XML as --format page-xml says: the file is hOCR"),
    (b'[{"box": [0, 0, 1, 1]}]', "alto", "not ALTO as --format alto says: the file is JSON"),
    (alto(TWO_COLUMNS), "jsonl", "not JSON Lines as --format jsonl says: the file is ALTO"),
    (b"\x89PNG\r\n\x1a\n" + bytes(40), "jsonl", "a PNG image, not JSON Lines as --format jsonl says"),
    (alto(TWO_COLUMNS, unit="inch1200"), "auto", "needs the image resolution"),
])
def test_a_refused_file_writes_nothing_and_leaves_the_output_as_it_was(tmp_path, content, fmt, problem):
    path = tmp_path / "page.xml"
    path.write_bytes(content)
    result = run_cli("order", str(path), "--format", fmt, "-o", str(path))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith(f"quorlin: error: {path}: ") and problem in result.stderr
    assert path.read_bytes() == content
    assert sorted(p.name for p in tmp_path.iterdir()) == ["page.xml"]


def test_order_and_draw_take_alto_with_a_resolution_and_draw_separators_faintly(tmp_path):
    path = tmp_path / "page.xml"
    path.write_bytes(alto(TWO_COLUMNS, unit="mm10"))
    ordered = run_cli("order", str(path), "--dpi", "254")
    assert ordered.returncode == 0, ordered.stderr
    assert [r.id for r in read_page("o.xml", data=ordered.stdout.encode(), dpi=254).regions] == ["title", "left",
                                                                                                 "right"]
    svg = run_cli("draw", str(path), "--dpi", "254")
    assert svg.returncode == 0, svg.stderr
    group = svg.stdout.split('<g class="separators"', 1)[1].split("</g>", 1)[0]
    assert 'fill-opacity="0.15"' in group and "rule GraphicalElement (separator, not ordered)" in group


@pytest.mark.parametrize(("separators", "error"), [
    ([(495, 100, 505, 600)], None),
    ([], None),
    ([(1, 2, 3)], "separator 0: expected 4 numbers"),
    ("rule", "separators must be a sequence"),
    ([(1, 2, 3, "x")], "separator 0: coordinates must be numbers"),
])
def test_order_takes_separators_as_boxes_without_changing_the_order(separators, error):
    boxes = [(520, 100, 900, 600), (100, 20, 900, 70), (100, 100, 480, 600)]
    if error is None:
        assert quorlin.order(boxes, separators=separators) == [1, 2, 0]
    else:
        with pytest.raises((TypeError, ValueError), match=error):
            quorlin.order(boxes, separators=separators)


DEEP = 400  # below MAX_HTML_DEPTH


@pytest.mark.parametrize("html, xml", [
    ("<p>a<div>b", "<p>a</p><div>b</div>"),
    ("<p><span>a<div>b", "<p><span>a</span></p><div>b</div>"),  # only inline elements between
    ("<div><p>a</div>c", "<div><p>a</p></div>c"),
    ("<ul><li>a<ul><li>b<li>c</ul>d</ul>", "<ul><li>a<ul><li>b</li><li>c</li></ul>d</li></ul>"),  # a list bounds it
    ("<dl><dt>a<dd>b<dt>c</dl>", "<dl><dt>a</dt><dd>b</dd><dt>c</dt></dl>"),
    # HTML reopens (at most three of) the formatting elements a new paragraph cuts off
    ("<p>" + "<b>" * DEEP + "x<p>y", "<p>" + "<b>" * DEEP + "x" + "</b>" * DEEP + "</p><p><b><b><b>y</b></b></b></p>"),
    ("<p>" + "<div>" * DEEP + "<p>x", "<p></p>" + "<div>" * DEEP + "<p>x</p>" + "</div>" * DEEP),
    ("<ul><li>a" + "<div>" * DEEP + "<li>b</ul>", "<ul><li>a" + "<div>" * DEEP + "</div>" * DEEP + "</li><li>b</li></ul>"),
])
def test_html_end_tags_are_implied_as_html_does(html, xml):
    written = quorlin.formats.hocr.html_to_xml(f"<html><body>{html}".encode()).decode()
    assert written.split("\n", 1)[1] == f"<html><head></head><body>{xml}</body></html>\n"


@pytest.mark.parametrize("html", [
    "<p>" + "<div>" * 100_000,  # each <div> makes an HTML5 parser look down its stack: minutes
    "</x>" * 100_000 + "<p>" + "<div>" * 100_000,  # end tags of nothing close nothing
])
def test_html_nested_too_deep_for_the_html5_parser_is_refused_at_once(html):
    started = time.perf_counter()
    with pytest.raises(PageError, match=f"HTML nested more than {quorlin.formats.hocr.MAX_HTML_DEPTH} elements deep"):
        quorlin.formats.hocr.html_to_xml(f"<html><body>{html}".encode())
    assert time.perf_counter() - started < 1.0


@pytest.mark.parametrize(("tail", "warned"), [
    ("</div></body></html>", False),
    ("</div></body></html>\n<!-- written by x -->\n", False),
    ("</div></bo", True),  # cut short
    ("<span class='ocr_line' title='bbox 1 1 9 9'>wor", True),
])
def test_html_that_ends_before_its_end_is_read_with_a_warning(caplog, tail, warned):
    """A truncated HTML hOCR file used to be completed silently."""
    html = "<!DOCTYPE html><html><body><div class='ocr_page' title='bbox 0 0 100 100'><p>x<br>" + tail
    with caplog.at_level(logging.WARNING, logger="quorlin"):
        page = read_page("cut.hocr", data=html.encode())
    assert page.version == "HTML"
    assert [r.getMessage() for r in caplog.records] == (
        ["cut.hocr: the HTML ends before </html> (cut short?); it is read as HTML completes it"] if warned else [])


def html_hocr(charset: str, word: bytes) -> bytes:
    """An hOCR file as HTML (no XML declaration) that declares `charset`, with one line holding `word`."""
    return (f'<!DOCTYPE html>\n<html><head><meta charset="{charset}"><title>p</title></head><body>\n'
            "<div class='ocr_page' title='bbox 0 0 800 600'>"
            "<span class='ocr_line' id='l1' title='bbox 10 10 300 40'>").encode() + word + \
        b"</span></div></body></html>\n"


# What an HTML hOCR file declares as its charset: a text encoding decodes it; Python's transforms of bytes or
# text (base64, uu, rot13) are no text encodings and were raised as a LookupError, its escape codecs changed the
# words (a backslash and 'n' read as a line break), and the codecs that cannot write the XML page made of it
# ('idna', 'undefined') raised a UnicodeError.
@pytest.mark.parametrize(("charset", "word", "error"), [
    ("iso-8859-1", b"K\xe4se", None),
    ("windows-1252", b"\x93quoted\x94", None),
    ("utf-8", b"K\xc3\xa4se", None),
    ("utf-8", b"K\xe4se", "p.hocr: not utf-8 text (byte "),
    ("uu", b"word", "p.hocr: unknown character encoding 'uu'"),
    ("base64", b"word", "p.hocr: unknown character encoding 'base64'"),
    ("rot13", b"word", "p.hocr: unknown character encoding 'rot13'"),
    ("unicode_escape", b"C:\\new", "p.hocr: unknown character encoding 'unicode_escape'"),
    ("raw-unicode-escape", b"\\u00e9", "p.hocr: unknown character encoding 'raw-unicode-escape'"),
    ("punycode", b"word", "p.hocr: unknown character encoding 'punycode'"),
    ("no-such-charset", b"word", "p.hocr: unknown character encoding 'no-such-charset'"),
    ("undefined", b"word", "p.hocr: the character encoding 'undefined' cannot hold an XML page"),
    ("idna", b"word", "p.hocr: the character encoding 'idna' cannot hold an XML page"),
])
def test_an_html_hocr_file_is_decoded_by_its_charset_or_refused_in_one_line(charset, word, error):
    data = html_hocr(charset, word)
    if error is None:
        assert [r.id for r in read_page("p.hocr", data=data).regions] == ["l1"]
        return
    with pytest.raises(PageError) as caught:
        read_page("p.hocr", data=data)
    assert str(caught.value).startswith(error), str(caught.value)
    assert "\n" not in str(caught.value)
