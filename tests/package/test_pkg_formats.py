"""Every sample file of every format: read, ordered, written, validated, and nothing but the order changed."""

from __future__ import annotations

import re
from pathlib import Path

import pytest
from pkg_helpers import DATA, REALDATA

from quorlin.formats import read_page, write_page
from quorlin.ordering import page_order

etree = pytest.importorskip("lxml.etree")

TESTDATA = Path(__file__).resolve().parents[1] / "data"
SAMPLES = TESTDATA / "formats"
SCHEMAS = TESTDATA / "schemas"
XLINK = "http://www.loc.gov/standards/xlink/xlink.xsd"

SAMPLE_FILES = sorted(p for sub in ("alto", "hocr", "page") for p in (SAMPLES / sub).iterdir())
# the other realdata PAGE files: the two CC0 ones in tests/package/data (the
# dta ones are among the samples), and those of the real pages' folder
# (bench/data, or $QUORLIN_REALDATA) that are neither
_CC0 = [DATA / "reichsanzeiger_1914_178_0448.xml", DATA / "reichsanzeiger_1914_180_0471.xml"]
_SEEN = {p.name for p in SAMPLE_FILES + _CC0}
REALDATA_FILES = _CC0 + [p for p in sorted((REALDATA / "xml").glob("*.xml")) if p.name not in _SEEN]
FILES = SAMPLE_FILES + REALDATA_FILES

# Files whose written order is not the computed order, because the format
# keeps groups together (ALTO ComposedBlocks, margins before the PrintSpace)
# or the file's chains of a PAGE UnorderedGroup are kept; the rules
# themselves are tested on synthetic pages.
GROUPED = {"alto2_abbyy11_altotools_PPN750717092-00000780.xml", "alto2_tesseract303_wetzel_reisebegleiter_1901_0021.xml",
           "page2013_kraken_testfixture_explicit_ro_unordered.xml"}


def present(path: Path) -> Path:
    if not path.exists():
        pytest.skip(f"{path} is not present (the shared realdata folder is outside the repository)")
    return path


class _Local(etree.Resolver):
    def resolve(self, url, pubid, context):
        if url == XLINK:
            return self.resolve_filename(str(SCHEMAS / "alto" / "xlink.xsd"), context)
        return None


_schemas: dict[Path, object] = {}


def schema_for(root) -> Path | None:
    """The official XSD of a document's version (ALTO: the minor version it names, else the latest)."""
    ns = etree.QName(root).namespace or ""
    m = re.fullmatch(r"http://schema\.primaresearch\.org/PAGE/gts/pagecontent/(\d{4}-\d\d-\d\d)", ns)
    if m:
        return SCHEMAS / "page" / m.group(1) / "pagecontent.xsd"
    m = re.fullmatch(r"http://www\.loc\.gov/standards/alto/ns-v(\d)#", ns)
    if m:
        location = root.get("{http://www.w3.org/2001/XMLSchema-instance}schemaLocation") or ""
        v = re.search(r"alto-v?(\d)[-.](\d)\.xsd", location)
        named = SCHEMAS / "alto" / f"alto-{v.group(1)}-{v.group(2)}.xsd" if v else None
        return named if named and named.exists() else SCHEMAS / "alto" / {"2": "alto-2-1.xsd", "3": "alto-3-1.xsd",
                                                                           "4": "alto-4-4.xsd"}[m.group(1)]
    return None


def schema_errors(data: bytes) -> list[str] | None:
    """The schema's complaints about a document (without line numbers), or None without a schema."""
    root = etree.fromstring(data, etree.XMLParser(no_network=True, resolve_entities=False))
    path = schema_for(root)
    if path is None:
        return None
    if path not in _schemas:
        parser = etree.XMLParser(no_network=True)
        parser.resolvers.add(_Local())
        _schemas[path] = etree.XMLSchema(etree.parse(str(path), parser))
    schema = _schemas[path]
    schema.validate(root)
    return sorted(e.message for e in schema.error_log)


def order_free(elem) -> tuple:
    """An element as a value in which the order of children does not count
    (and whitespace-only text is left out)."""
    text = (elem.text or "").strip()
    tail = (elem.tail or "").strip()
    if not isinstance(elem.tag, str):  # comments, processing instructions
        return ("#", elem.text or "", tail)
    kids = sorted((order_free(c) for c in elem), key=repr)
    return (elem.tag, tuple(sorted(elem.attrib.items())), text, tail, tuple(kids))


# Transkribus' index of a region in its reading order, in the region's custom attribute
INDEX = re.compile(r"readingOrder\s*\{[^}]*\}\s*")


def without_reading_order(root):
    """The document without its ReadingOrder, and without the Transkribus indexes
    of its regions, which the writer sets to the same order."""
    for parent in root.iter():
        for child in list(parent):
            if isinstance(child.tag, str) and etree.QName(child).localname == "ReadingOrder":
                parent.remove(child)
            elif (isinstance(parent.tag, str) and etree.QName(parent).localname == "Page"
                  and child.get("custom") is not None):
                child.set("custom", INDEX.sub("", child.get("custom")).strip())
    return root


def xml_root(data: bytes):
    return etree.fromstring(data, etree.XMLParser(no_network=True, resolve_entities=False, remove_comments=False))


def written_order(page) -> list:
    """Region boxes in the order a written file gives them."""
    if page.reading_order is not None:
        boxes = {r.id: r.box for r in page.regions}
        return [boxes[i] for i in page.reading_order if i in boxes]
    return [r.box for r in page.regions]


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_round_trip_changes_nothing_but_the_order(path):
    data = present(path).read_bytes()
    page = read_page(path)
    computed = page_order(page)
    out = write_page(page, computed)
    again = read_page(path.name, data=out)
    assert again.format == page.format

    # the same regions, separators and noise, with the same boxes and kinds
    def regions(p):
        return sorted((r.box, r.kind, r.role, repr(r.label)) for r in p.regions + p.skipped)
    assert regions(again) == regions(page)
    assert {r.id for r in again.regions} == {r.id for r in page.regions} or page.format == "hocr"

    # the written order is the computed one (or, for the files listed, its grouped form)
    boxes = {r.id: r.box for r in page.regions}
    if path.name not in GROUPED:
        assert written_order(again) == [boxes[i] for i in computed]
    else:
        assert sorted(written_order(again)) == sorted(boxes[i] for i in computed)

    # the same elements, attributes and text; only the order of elements may differ
    original = page.document  # for HTML input: the well-formed XML it was read as
    assert order_free(without_reading_order(xml_root(out))) == order_free(without_reading_order(xml_root(original)))
    # and ordering the written file again writes it byte for byte (the new group's id used to
    # alternate, ro_quorlin and ro_quorlin_2, as the id of the group replaced counted as taken)
    assert write_page(again, page_order(again)) == out


@pytest.mark.parametrize("path", [p for p in FILES if p.parent.name != "hocr"], ids=lambda p: p.name)
def test_written_xml_is_valid_where_the_input_was(path):
    data = present(path).read_bytes()
    page = read_page(path)
    out = write_page(page, page_order(page))
    before = schema_errors(data)
    if before is None:
        pytest.skip(f"no schema for {path.name} (ALTO 1.x)")
    # valid input gives valid output; invalid input gives no new complaint
    assert schema_errors(out) == before


@pytest.mark.parametrize("path", sorted((SAMPLES / "hocr").iterdir()), ids=lambda p: p.name)
def test_written_hocr_is_well_formed_xml_with_every_word(path):
    page = read_page(path)
    out = write_page(page, list(reversed(page_order(page))))
    root = xml_root(out)  # raises if not well-formed

    def words(r):
        return sorted("".join(e.itertext()) for e in r.iter()
                      if isinstance(e.tag, str) and re.search(r"\bocrx?_word\b", e.get("class") or ""))
    assert words(root) == words(xml_root(page.document))


@pytest.mark.parametrize("path", SAMPLE_FILES, ids=lambda p: p.name)
def test_every_sample_is_recognised_from_its_content_alone(path):
    expected = {"alto": "alto", "hocr": "hocr", "page": "page-xml"}[path.parent.name]
    assert read_page("no-suffix", data=path.read_bytes()).format == expected


def test_page_unordered_group_of_chains_keeps_its_chains_each_in_the_computed_order():
    data = (SAMPLES / "page" / "page2013_kraken_testfixture_explicit_ro_unordered.xml").read_bytes()
    # a fourth region in no chain, left of everything
    data = data.replace(b"    </Page>", b'        <TextRegion id="r4"><Coords points="0,700 100,700 100,800 0,800"/>'
                                          b"</TextRegion>\n    </Page>")
    page = read_page("p.xml", data=data)
    out = write_page(page, ["r2", "r4", "r3", "r1"])
    root = xml_root(out)
    group = next(e for e in root.iter() if isinstance(e.tag, str) and e.tag.endswith("}UnorderedGroup"))
    chains = [(c.get("id"), c.get("caption"), [r.get("regionRef") for r in c]) for c in group]
    assert group.get("id") == "ug_top"
    assert chains == [("ro_main", "Main text", ["r2", "r1"]), ("ro_margin", "Margin text", ["r3"]),
                      ("ro_quorlin", "Reading order computed by quorlin", ["r4"])]
    assert schema_errors(out) == schema_errors(data)


PAGE_NS = "http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15"
PAGE_2019 = ('<?xml version="1.0" encoding="UTF-8"?>\n'
             f'<PcGts xmlns="{PAGE_NS}">\n'
             "  <Metadata><Creator>t</Creator><Created>2020-01-01T00:00:00</Created>"
             "<LastChange>2020-01-01T00:00:00</LastChange></Metadata>\n"
             '  <Page imageFilename="p.png" imageWidth="1000" imageHeight="1000">\n'
             "    <ReadingOrder>{}</ReadingOrder>\n"
             + "".join(f'    <{tag} id="{rid}"><Coords points="{box}"/></{tag}>\n' for tag, rid, box in [
                 ("TextRegion", "title", "100,50 900,50 900,120 100,120"),
                 ("TextRegion", "left", "100,200 480,200 480,600 100,600"),
                 ("TextRegion", "right", "520,200 900,200 900,600 520,600"),
                 ("SeparatorRegion", "rule", "495,200 505,200 505,600 495,600")])
             + "  </Page>\n</PcGts>\n")


USER = '<UserDefined><UserAttribute name="a" value="b"/></UserDefined>'
LABELS = '<Labels externalModel="m"><Label value="x"/></Labels>'


def ug(gid, *members):
    return f'<UnorderedGroup id="{gid}">{"".join(members)}</UnorderedGroup>'


def og(gid, *regions):
    """An OrderedGroup of these regions (XML given among them goes first, as is)."""
    return (f'<OrderedGroup id="{gid}">' + "".join(r for r in regions if r.startswith("<"))
            + "".join(f'<RegionRefIndexed index="{i}" regionRef="{r}"/>' for i, r in enumerate(regions)
                      if not r.startswith("<"))
            + "</OrderedGroup>")


def ref(rid):
    return f'<RegionRef regionRef="{rid}"/>'


def short(data):
    """The written ReadingOrder in short: each element by its regionRef, id or value (else its name),
    with what it holds in brackets."""
    def one(elem):
        name = elem.get("regionRef") or elem.get("id") or elem.get("value") or etree.QName(elem).localname
        return f"{name}({', '.join(one(kid) for kid in elem)})" if len(elem) else name
    ro = next(e for e in xml_root(data).iter() if isinstance(e.tag, str) and e.tag.endswith("}ReadingOrder"))
    return ", ".join(one(group) for group in ro)


# (the file's ReadingOrder, the written one in short), for the order title, left, right
PAGE_CHAINS = [
    (ug("top", og("main", "title"), ug("inner", og("old", "right", "left"))),
     "top(main(title), inner(old(left, right)))"),
    (ug("top", ug("inner", og("old", "right", "left"))), "top(inner(old(left, right)), ro_quorlin(title))"),
    # single regions stay, regions that are not ordered are left out, wherever they are
    (ug("top", og("main", "right"), ug("inner", ref("left"), ref("rule"), ug("deeper", og("old", "title")))),
     "top(main(right), inner(left, deeper(old(title))))"),
    # what is named twice stays where it is named first; a chain or group left empty is dropped
    (ug("top", og("main", "right", "left", "title"), ug("inner", ref("left"), ug("deeper", og("old", "rule")))),
     "top(main(title, left, right))"),
    # the UserDefined and Labels of the groups written are kept, first in them as the schema puts them
    (ug("top", USER, LABELS, og("main", LABELS, "right", "title"), ug("inner", LABELS, og("old", "left"))),
     "top(UserDefined(b), Labels(x), main(Labels(x), title, right), inner(Labels(x), old(left)))"),
    # in the namespace of the page under the writer's prefix, whatever prefix the file gave them
    (ug("top", f'<q:Labels xmlns:q="{PAGE_NS}"><q:Label value="x"/></q:Labels>', og("main", "title", "left", "right")),
     "top(Labels(x), main(title, left, right))"),
]


@pytest.mark.parametrize(("ro", "written"), PAGE_CHAINS, ids=[w for _, w in PAGE_CHAINS])
def test_page_chains_at_any_depth_of_unordered_groups_get_the_computed_order(ro, written):
    """A chain inside a nested UnorderedGroup used to be written back as it was, the computed order nowhere;
    the Labels and UserDefined of the groups used to be dropped."""
    data = PAGE_2019.format(ro).encode()
    out = write_page(read_page("p.xml", data=data), ["title", "left", "right"])
    assert short(out) == written
    assert schema_errors(out) == []


@pytest.mark.parametrize(("name", "parses"), [
    ("page/page2013_kraken_testfixture_explicit_ro_unordered.xml", 1),  # PAGE-XML: a ReadingOrder replaced
    ("alto/alto4_escriptorium_syriac_SMMJ36_0125.xml", 1),  # ALTO 4.x: a ReadingOrder and IDs added
    ("alto/alto2_tesseract303_wetzel_reisebegleiter_1901_0021.xml", 1),  # ALTO 2: blocks moved
    ("hocr/tesseract305_ubma_417576986_0013.hocr", 1),  # XHTML
    ("hocr/kraken080_bw_example.hocr", 2),  # HTML: the attempt as XML, then the XML made of it
])
def test_an_xml_file_is_parsed_once_to_read_it_and_not_again_to_write_it(monkeypatch, name, parses):
    import xml.parsers.expat

    created: list[object] = []
    create = xml.parsers.expat.ParserCreate

    def counted(*args: object, **kwargs: object) -> object:
        created.append(args)
        return create(*args, **kwargs)  # type: ignore[arg-type]

    monkeypatch.setattr(xml.parsers.expat, "ParserCreate", counted)
    page = read_page(SAMPLES / name)
    read = len(created)
    out = write_page(page, list(reversed(page_order(page))))
    assert (read, len(created)) == (parses, parses)
    monkeypatch.undo()
    assert read_page(SAMPLES / name, data=out).regions  # what was written reads back


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"data": '{"elements": []}'}, r"^data must be the file's bytes, not str \(encode a text first\)$"),
    ({"data": b'<alto/>', "dpi": "300"}, r"^dpi must be a number or a pair of numbers \(x, y\), got '300'$"),
    ({"data": b'<alto/>', "dpi": True}, r"^dpi must be a number or a pair of numbers \(x, y\), got True$"),
    ({"data": b'<alto/>', "dpi": (300, 300, 300)}, r"^dpi must be a number or a pair of numbers"),
], ids=["text-data", "text-dpi", "bool-dpi", "three-dpi"])
def test_read_page_refuses_arguments_of_the_wrong_type(kwargs, message):
    """Arguments that are not what read_page reads are named (they failed deep inside a reader before)."""
    with pytest.raises(TypeError, match=message):
        read_page("page.xml", **kwargs)
