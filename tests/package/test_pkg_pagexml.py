"""PAGE-XML: real ground-truth files, synthetic layouts, and hostile or broken files."""

from __future__ import annotations

import json
import re
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pkg_helpers import DATA, REALDATA, run_cli, assert_one_line_error

from quorlin import PageError
from quorlin.formats import page_from_xml, read_page, write_page
from quorlin.formats.pagexml import custom_type, with_reading_order_index
from quorlin.formats.xml.readingorder import MAX_DEPTH
from quorlin.ordering import page_order

NS = "http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15"
FIXTURES = [
    DATA / "reichsanzeiger_1914_178_0448.xml",
    DATA / "reichsanzeiger_1914_180_0471.xml",
    REALDATA / "xml" / "dta_hilbert_zahlkoerper_1897_0386.xml",
    REALDATA / "xml" / "dta_ruempler_gartenbau_1882_0120.xml",
    REALDATA / "xml" / "dta_vischer_aesthetikregister_1858_0081.xml",
]


def fixture(path):
    if not path.exists():
        pytest.skip(f"{path} is not present (QUORLIN_REALDATA names a folder without it)")
    return path


# Transkribus' index of a region in its reading order, in the region's custom attribute
INDEX = re.compile(r"readingOrder\s*\{[^}]*\}\s*")


def without_reading_order(data: bytes) -> str:
    """Canonical XML of a document with its ReadingOrder removed, and the
    Transkribus indexes of its regions, which the writer sets to the same order."""
    root = ET.fromstring(data)
    for page in root.iter():
        for child in list(page):
            if child.tag.endswith("}ReadingOrder"):
                page.remove(child)
            elif page.tag.endswith("}Page") and "custom" in child.attrib:
                child.set("custom", INDEX.sub("", child.get("custom", "")).strip())
    return ET.canonicalize(ET.tostring(root))


def written_group(data: bytes) -> list[tuple[int, str]]:
    root = ET.fromstring(data)
    groups = [e for e in root.iter() if e.tag.endswith("}OrderedGroup")]
    assert len(groups) == 1
    return [(int(r.get("index")), r.get("regionRef")) for r in groups[0]]


@pytest.mark.parametrize("path", FIXTURES, ids=lambda p: p.stem)
def test_real_file_round_trip(path, tmp_path):
    data = fixture(path).read_bytes()
    page = read_page(path)
    computed = page_order(page)
    assert sorted(computed) == sorted(r.id for r in page.regions)
    assert not any(r.id in computed for r in page.skipped)

    out = write_page(page, computed)
    assert written_group(out) == list(enumerate(computed))
    again = page_from_xml(out, "out.xml")
    assert again.reading_order == computed
    assert [(r.id, r.box) for r in again.regions] == [(r.id, r.box) for r in page.regions]
    # nothing but the ReadingOrder changed ...
    assert without_reading_order(out) == without_reading_order(data)
    # ... and where the file had one, every byte around it is as it was (but the indexes)
    old = re.search(rb"<ReadingOrder>.*?</ReadingOrder>", data, re.S)
    if old:
        new = re.search(rb"<ReadingOrder>.*?</ReadingOrder>", out, re.S)
        bytes_index = re.compile(INDEX.pattern.encode())
        assert out[:new.start()] == data[:old.start()]
        assert bytes_index.sub(b"", out[new.end():]) == bytes_index.sub(b"", data[old.end():])


def realdata_pages():
    path = REALDATA / "pages.jsonl"
    if not path.exists():
        pytest.skip(f"{path} is not present")
    return {json.loads(line)["source"].rpartition("/")[2]: json.loads(line) for line in path.open()}


@pytest.mark.parametrize("path", FIXTURES[:4], ids=lambda p: p.stem)
def test_reader_agrees_with_the_corpus_extraction(path):
    """Boxes and stored order match pages.jsonl, which was extracted independently."""
    page = read_page(fixture(path))
    record = realdata_pages()[path.name.removeprefix("reichsanzeiger_").removeprefix("dta_")]
    by_region = {e["region_id"]: e for e in record["elements"]}
    for region in page.regions + page.skipped:
        e = by_region[region.id]
        clamped = (
            min(max(region.box[0], 0), record["width"]), min(max(region.box[1], 0), record["height"]),
            min(max(region.box[2], 0), record["width"]), min(max(region.box[3], 0), record["height"]),
        )
        assert tuple(round(v) for v in clamped) == (e["x1"], e["y1"], e["x2"], e["y2"])
    ids = {e["id"]: e["region_id"] for e in record["elements"]}
    assert page.reading_order == [ids[i] for i in record["gt_order"]]


def region(rid, x1, y1, x2, y2, tag="TextRegion", extra="", p=""):
    return (f'<{p}{tag} id="{rid}"{extra}><{p}Coords points="{x1},{y1} {x2},{y1} {x2},{y2} {x1},{y2}"/>'
            f"<!-- {rid} --></{p}{tag}>")


def document(body, p="", nl="\n", ns=NS, page='imageWidth="1000" imageHeight="1400"', head=""):
    decl = f"xmlns:{p[:-1]}" if p else "xmlns"
    return (f'<?xml version="1.0" encoding="UTF-8"?>{nl}{head}<{p}PcGts {decl}="{ns}">{nl}'
            f"  <{p}Metadata><{p}Creator>test</{p}Creator></{p}Metadata>{nl}"
            f"  <{p}Page imageFilename=\"p.png\" {page}>{nl}"
            + "".join(f"    {line}{nl}" for line in body)
            + f"  </{p}Page>{nl}</{p}PcGts>{nl}").encode()


def two_columns(p=""):
    return [
        f'<{p}PrintSpace><{p}Coords points="0,0 1000,0 1000,1400 0,1400"/></{p}PrintSpace>',
        region("right", 520, 200, 900, 600, p=p),
        region("title", 100, 50, 900, 120, extra=' type="heading"', p=p),
        region("rule", 495, 200, 505, 600, tag="SeparatorRegion", p=p),
        region("left", 100, 200, 480, 600, p=p),
    ]


@pytest.mark.parametrize(
    ("prefix", "newline"),
    [("", "\n"), ("pc:", "\n"), ("", "\r\n"), ("", "")],
    ids=["default-namespace", "prefixed", "crlf", "one-line"],
)
def test_reading_order_is_inserted_where_the_schema_puts_it(prefix, newline):
    data = document(two_columns(prefix), p=prefix, nl=newline)
    page = page_from_xml(data)
    assert page.reading_order is None
    assert [repr(r.label) for r in page.regions] == [
        "SemanticLabel.Regular", "SemanticLabel.HorizontalTitle", "SemanticLabel.Regular"]
    computed = page_order(page)
    assert computed == ["title", "left", "right"]
    out = write_page(page, computed)
    assert page_from_xml(out).reading_order == computed
    assert without_reading_order(out) == without_reading_order(data)
    text = out.decode()
    # after PrintSpace, before the first region, with the document's prefix and line ends
    assert text.index(f"</{prefix}PrintSpace>") < text.index(f"<{prefix}ReadingOrder>") < text.index('id="right"')
    if newline:
        assert text.count("\n") == text.count(newline)  # no stray line ends of another kind
        assert f"{newline}    <{prefix}ReadingOrder>{newline}      <{prefix}OrderedGroup" in text


def test_stored_reading_order_is_flattened_depth_first():
    ro = [
        "<ReadingOrder><OrderedGroup id=\"g\" caption=\"c\">",
        '<RegionRefIndexed index="2" regionRef="right"/>',
        '<UnorderedGroupIndexed id="u" index="1"><RegionRef regionRef="left"/>'
        '<OrderedGroup id="g2"><RegionRefIndexed index="0" regionRef="rule"/></OrderedGroup></UnorderedGroupIndexed>',
        '<RegionRefIndexed index="0" regionRef="title"/>',
        "</OrderedGroup></ReadingOrder>",
    ]
    body = two_columns()
    page = page_from_xml(document(body[:1] + ro + body[1:]))
    assert page.reading_order == ["title", "left", "rule", "right"]


@pytest.mark.parametrize(("b", "group"), [
    ("ro_quorlin", "ro_quorlin_2"),  # a region's id is taken
    ("b", "ro_quorlin"),  # the id of the group replaced is free
])
def test_written_group_id_does_not_clash_and_old_coords_format_is_read(b, group):
    body = [
        f'<ReadingOrder><OrderedGroup id="ro_quorlin"><RegionRefIndexed index="0" regionRef="{b}"/>'
        "</OrderedGroup></ReadingOrder>",
        f'<TextRegion id="{b}"><Coords><Point x="10" y="300"/><Point x="90" y="340"/></Coords></TextRegion>',
        region("a", 10, 100, 90, 140),
    ]
    page = page_from_xml(document(body))
    assert page.regions[0].box == (10.0, 300.0, 90.0, 340.0)
    out = write_page(page, page_order(page))
    assert f'<OrderedGroup id="{group}"'.encode() in out
    assert page_from_xml(out).reading_order == ["a", b]


def nested(start, inside, end, groups):
    """``groups`` groups, one inside the other (``start`` takes the group's number), around ``inside``."""
    return "".join(start.format(i) for i in range(groups)) + inside + end * groups


TITLE_CHAIN = '<OrderedGroup id="main"><RegionRefIndexed index="0" regionRef="title"/>'


@pytest.mark.parametrize("groups", [
    # unordered groups beside a chain are written back as they are
    TITLE_CHAIN + "</OrderedGroup>"
    + nested('<UnorderedGroup id="u{}">', '<RegionRef regionRef="left"/>', "</UnorderedGroup>", MAX_DEPTH - 1),
    # groups inside a chain are flattened into it
    TITLE_CHAIN + nested('<OrderedGroupIndexed id="o{}" index="1">', '<RegionRefIndexed index="0" regionRef="left"/>',
                         "</OrderedGroupIndexed>", MAX_DEPTH - 2) + "</OrderedGroup>",
], ids=["unordered-beside-a-chain", "ordered-in-a-chain"])
def test_a_reading_order_nested_as_deep_as_the_reader_takes_is_written(groups):
    """The writer used to recurse once per group and fail on these with a RecursionError."""
    body = two_columns()
    ro = f'<ReadingOrder><UnorderedGroup id="top">{groups}</UnorderedGroup></ReadingOrder>'
    page = page_from_xml(document(body[:1] + [ro] + body[1:]))
    out = write_page(page, page_order(page))
    assert page_from_xml(out).reading_order == ["title", "left", "right"]


@pytest.mark.parametrize("custom, index, written", [
    ("readingOrder {index:3;} structure {type:heading;}", 5, "readingOrder {index:5;} structure {type:heading;}"),
    ("readingOrder {index:3;} structure {type:heading;}", None, "structure {type:heading;}"),
    ("structure {type:heading;} readingOrder { index:3; tag:x }", 0, "structure {type:heading;} readingOrder {index:0;tag:x;}"),
    ("structure {type:heading;}", 2, "structure {type:heading;}"),
    # not a group of its own: inside another group, glued to a word, or broken
    ("structure {type:tereadingOrder {index:3;} structure {type:header;}xt;}", 4, None),
    ("xreadingOrder {index:3;}", 1, None),
    ("structure readingOrder {index:3;} {type:heading;}", None, None),
    ("readingOrder {index:3; structure {type:heading;}", None, None),
    ("readingOrder {index:22;|", None, None),  # left open: broken (it was taken out)
    ("structure {type:heading;} readingOrder {index:2;", 0, None),
])
def test_transkribus_index_is_set_only_in_a_reading_order_group_of_its_own(custom, index, written):
    assert with_reading_order_index(custom, index) == (custom if written is None else written)


@given(st.lists(st.sampled_from(["readingOrder", "structure", " ", "{", "}", ";", "index:", "type:", "3", "x",
                                 "structure {type:", "readingOrder {index:1;}", "structure {type:x;}"]), max_size=12),
       st.sampled_from([None, 0, 7]))
@settings(max_examples=500, deadline=None)
def test_setting_the_transkribus_index_never_changes_the_region_type(pieces, index):
    custom = "".join(pieces)
    assert custom_type(with_reading_order_index(custom, index)) == custom_type(custom)


@pytest.mark.parametrize("stored", [True, False], ids=["stored-order-removed", "none-added"])
def test_page_with_nothing_to_order_has_no_reading_order(stored):
    separator = region("s", 0, 10, 1000, 12, tag="SeparatorRegion")
    ro = '<ReadingOrder><OrderedGroup id="g"><RegionRefIndexed index="0" regionRef="s"/></OrderedGroup></ReadingOrder>'
    page = page_from_xml(document([ro, separator] if stored else [separator]))
    assert page_order(page) == []
    out = write_page(page, [])
    assert b"ReadingOrder" not in out  # an empty OrderedGroup is not valid PAGE
    assert out == document([separator])
    assert page_from_xml(out).skipped[0].id == "s"


BILLION_LAUGHS = ('<!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;">'
                  '<!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">]>')
EXTERNAL = '<!DOCTYPE p [<!ENTITY xxe SYSTEM "file:///etc/passwd">]>'

# (document bytes, expected problem)
BAD_XML = [
    (document(two_columns(), head=BILLION_LAUGHS), "DOCTYPE is refused"),
    (document(two_columns(), head=EXTERNAL), "DOCTYPE is refused"),
    (document([], head='<!DOCTYPE PcGts SYSTEM "http://example.com/page.dtd">'), "DOCTYPE is refused"),
    (b"<PcGts><Page></PcGts>", "not well-formed XML (mismatched tag: line 1, column 15)"),
    (b'<?xml version="1.0"?><root/>', "not a PAGE-XML document (root element is <root>"),
    (document([], ns="http://example.com/other"), "not a PAGE-XML document"),
    (f'<PcGts xmlns="{NS}"/>'.encode(), "PAGE-XML document without <Page>"),
    (document([], page='imageWidth="1000"'), "<Page> has no imageHeight"),
    (document([], page='imageWidth="wide" imageHeight="1"'), "<Page> imageWidth='wide' is not a number"),
    (document(['<TextRegion id="r1"><TextEquiv/></TextRegion>']), "TextRegion 'r1' has no Coords"),
    (document(['<TextRegion><Coords points="0,0 1,1"/></TextRegion>']), "TextRegion without id"),
    (document(['<TextRegion id="r1"><Coords points=""/></TextRegion>']), "TextRegion 'r1': Coords has no points"),
    (document(['<TextRegion id="r1"><Coords points="0,0 10"/></TextRegion>']), "malformed Coords points ('10'"),
    (document(['<TextRegion id="r1"><Coords points="0,0 NaN,5"/></TextRegion>']), "Coords x is not a finite number"),
    (document(['<TextRegion id="r1"><Coords points="0,0 99999999999,5"/></TextRegion>']), "is out of range"),
    (document(['<TextRegion id="r1"><Coords points="0,0 1e999,5"/></TextRegion>']), "Coords x = 1e999 is out of range"),
    (document([region("a", 0, 0, 1, 1), region("a", 2, 2, 3, 3)]), "two regions share the id 'a'"),
    (document(['<ReadingOrder><OrderedGroup id="g"><RegionRefIndexed index="0" regionRef="r99"/>'
               "</OrderedGroup></ReadingOrder>", region("r1", 0, 0, 10, 10)]),
     "ReadingOrder refers to unknown region 'r99'"),
    (document(['<ReadingOrder><OrderedGroup id="g"><RegionRefIndexed index="x" regionRef="r1"/>'
               "</OrderedGroup></ReadingOrder>", region("r1", 0, 0, 10, 10)]),
     "RegionRefIndexed has no valid index ('x')"),
    (b"\xff\xfe<\x00", "not well-formed XML"),
    (document(["<ReadingOrder>" + '<OrderedGroup id="g">' * 20000 + "</OrderedGroup>" * 20000
               + "</ReadingOrder>"]), "ReadingOrder groups are nested too deeply"),
    # numbers are shown as written, values in full
    (document(['<TextRegion id="r1"><Coords points="0,0 16777217,5"/></TextRegion>']), "Coords x = 16777217 is out"),
    (document([], page='imageWidth="16777217" imageHeight="1"'), "<Page> imageWidth = 16777217 is out of range"),
    (document(['<TextRegion id="r1"><Coords points="0,0 ' + "1" * 40 + '"/></TextRegion>']),
     "malformed Coords points ('" + "1" * 40 + "' is not"),
    (document([], page=f'imageWidth="{"w" * 40}" imageHeight="1"'), f"<Page> imageWidth='{'w' * 40}' is not a number"),
]


@pytest.mark.parametrize(("content", "problem"), BAD_XML, ids=[p for _, p in BAD_XML])
def test_bad_page_xml_gives_one_line_naming_file_and_problem(tmp_path, content, problem):
    path = tmp_path / "page.xml"
    path.write_bytes(content)
    with pytest.raises(PageError) as caught:
        read_page(path)
    assert_one_line_error(str(caught.value), path, problem)


@pytest.mark.parametrize(("content", "problem"), [BAD_XML[0], BAD_XML[1], BAD_XML[9], BAD_XML[17]],
                         ids=["entity-expansion", "external-entity", "no-coords", "unknown-ref"])
def test_bad_page_xml_on_the_command_line(tmp_path, content, problem):
    path = tmp_path / "page.xml"
    path.write_bytes(content)
    result = run_cli("order", str(path))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"quorlin: error: {path}: {result.stderr.split(': ', 3)[-1]}"
    assert problem in result.stderr and result.stderr.count("\n") == 1


def test_order_command_writes_the_page_xml(tmp_path):
    source = DATA / "reichsanzeiger_1914_180_0471.xml"
    to_stdout = run_cli("order", str(source))
    assert to_stdout.returncode == 0, to_stdout.stderr
    out = tmp_path / "ordered.xml"
    to_file = run_cli("order", str(source), "-o", str(out))
    assert to_file.returncode == 0 and to_file.stdout == ""
    assert out.read_text(encoding="utf-8") == to_stdout.stdout
    assert page_from_xml(out.read_bytes()).reading_order == page_order(read_page(source))
