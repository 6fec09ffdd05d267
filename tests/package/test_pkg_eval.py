"""quorlin eval and quorlin.evaluation: the scorer, ground truth from PAGE-XML and JSON, stored orders, bad input."""

from __future__ import annotations

import importlib.util
import itertools
import json
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st
from pkg_helpers import REPO, run_cli

from quorlin.evaluation import PageScore, kendall_tau, predict, summarise, worst
from quorlin import page_order, read_page
from quorlin.formats import page_from_json
from quorlin.evaluation import Skipped, read_truth, truth_from_json, truth_from_xml

PAGES = REPO / "bench" / "data" / "pages.jsonl"
XML = REPO / "bench" / "data" / "xml"
KENDALL = REPO.parent / "shared" / "realdata" / "kendall.py"
ALTO = next((REPO / "tests" / "data" / "formats" / "alto").glob("alto4*.xml"))


@pytest.mark.parametrize(
    ("pred", "gt", "chains", "expected"),
    [
        ([1, 2, 3], [1, 2, 3], None, (1.0, True, 0)),
        ([3, 2, 1], [1, 2, 3], None, (-1.0, False, 0)),
        ([1, 3, 2, 4], [1, 2, 3, 4], None, (4 / 6, False, 0)),
        # ids outside the ground truth are ignored; a repeated id counts where it first appears
        ([9, 2, 1, 2, 3], [1, 2, 3], None, (1 / 3, False, 0)),
        # left-out ids go last in descending order: [1] + [3, 2]
        ([1], [1, 2, 3], None, (1 / 3, False, 2)),
        # ... and a page with a left-out id is never exact, even when that costs no pair
        ([1, 2], [1, 2, 3], None, (1.0, False, 1)),
        (["a"], ["a", "b", "c"], None, (1 / 3, False, 2)),
        # mixed ids: strings rank above integers, so the left-out order is "a", 2, 1
        ([], [1, "a", 2], None, (-1 / 3, False, 3)),
        # pairs across chains are not compared
        ([3, 4, 1, 2], [1, 2, 3, 4], [[1, 2], [3, 4]], (1.0, True, 0)),
        ([2, 1, 3, 4], [1, 2, 3, 4], [[1, 2], [3, 4]], (0.0, False, 0)),
        ([5, 6, 7], [5, 6, 7], [[5], [7, 6]], (-1.0, False, 0)),
        ([], [], None, (1.0, True, 0)),
    ],
)
def test_kendall_tau_by_hand(pred, gt, chains, expected):
    tau, exact, missing = kendall_tau(pred, gt, chains)
    assert (tau, exact, missing) == pytest.approx(expected)


@pytest.mark.parametrize(
    ("gt", "chains", "message"),
    [([1, 2, 1], None, "ground-truth id 1 appears twice"),
     ([1, 2], [[1], [3]], "chain id 3 is not in the ground truth"),
     ([1, 2], [[1, 2], [2]], "ground-truth id 2 is in two chains")],
)
def test_kendall_tau_refuses_inconsistent_truth(gt, chains, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        kendall_tau([1, 2], gt, chains)


@given(st.permutations(range(40)), st.integers(1, 5), st.integers(0, 39))
def test_kendall_tau_against_counting_every_pair(pred, n_chains, dropped):
    gt = list(range(40))
    chains = [gt[k::n_chains] for k in range(n_chains)]
    pred = [i for i in pred if i != dropped]
    order = pred + [dropped]  # the single left-out id goes last
    concordant = discordant = 0
    for chain in chains:
        for a, b in itertools.combinations(chain, 2):
            if order.index(a) < order.index(b):
                concordant += 1
            else:
                discordant += 1
    tau, _, missing = kendall_tau(pred, gt, chains)
    assert tau == (concordant - discordant) / (concordant + discordant)
    assert missing == 1


def test_summary_per_collection_and_worst_pages():
    scores = [PageScore("p1", 0.5, False, 1, 4, "x"), PageScore("p2", 1.0, True, 0, 3, "y"),
              PageScore("p3", -0.5, False, 0, 5, "x"), PageScore("p4", 0.5, True, 0, 2, None)]
    summary = summarise(scores)
    assert (summary.overall.pages, summary.overall.mean_tau, summary.overall.exact_pages,
            summary.overall.exact_rate, summary.overall.missing) == (4, 0.375, 2, 0.5, 1)
    assert {k: (s.pages, s.mean_tau, s.exact_pages) for k, s in summary.collections.items()} == {
        "x": (2, 0.0, 0), "y": (1, 1.0, 1)}
    assert [s.page for s in worst(scores, 3)] == ["p3", "p1", "p4"]
    with pytest.raises(ValueError):
        summarise([])


@pytest.mark.skipif(not KENDALL.exists(), reason=f"{KENDALL} is not present")
def test_same_numbers_as_the_corpus_scorer():
    spec = importlib.util.spec_from_file_location("kendall", KENDALL)
    kendall = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(kendall)
    pages = kendall.load(str(PAGES))
    assert len(pages) == 200

    def core(page):
        return predict(page_from_json(page), page["gt_order"], "exact")

    for fn in (kendall.top_then_left, kendall.left_then_top, core):
        theirs, _ = kendall.score(pages, fn)
        scores = []
        for page in pages:
            pred = fn(page)
            ours = kendall_tau(pred, page["gt_order"], page["gt_chains"])
            assert ours == kendall.kendall_tau(pred, page["gt_order"], page["gt_chains"])
            scores.append(PageScore("", *ours, len(page["gt_order"]), page["collection"]))
        summary = summarise(scores)
        for name, s in [("ALL", summary.overall), *summary.collections.items()]:
            assert (s.pages, s.mean_tau, s.exact_rate, s.missing) == tuple(
                theirs[name][k] for k in ("pages", "mean_tau", "exact_rate", "missing"))


# --------------------------------------------------------------------------
# ground truth from files
# --------------------------------------------------------------------------

def page_xml(reading_order: str, regions="abcd", image="p.png") -> bytes:
    """A PAGE-XML page of stacked rows, one region per letter, top to bottom."""
    rows = "".join(f'<TextRegion id="{r}"><Coords points="0,{40 * k} 100,{40 * k} 100,{40 * k + 30} 0,{40 * k + 30}"/>'
                   f"</TextRegion>" for k, r in enumerate(regions))
    ro = f"<ReadingOrder>{reading_order}</ReadingOrder>" if reading_order else ""
    return ('<PcGts xmlns="http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15">'
            f'<Page imageFilename="{image}" imageWidth="100" imageHeight="200">{ro}{rows}</Page></PcGts>').encode()


def refs(*ids, indexed=True):
    if indexed:
        return "".join(f'<RegionRefIndexed index="{k}" regionRef="{i}"/>' for k, i in enumerate(ids))
    return "".join(f'<RegionRef regionRef="{i}"/>' for i in ids)


@pytest.mark.parametrize(
    ("reading_order", "chains"),
    [
        ('<OrderedGroup id="g"><RegionRefIndexed index="2" regionRef="c"/><RegionRefIndexed index="0" '
         'regionRef="a"/><RegionRefIndexed index="1" regionRef="b"/></OrderedGroup>', [["a", "b", "c"]]),
        (f'<UnorderedGroup id="u"><OrderedGroup id="g1">{refs("a", "b")}</OrderedGroup>'
         f'<OrderedGroup id="g2">{refs("d", "c")}</OrderedGroup></UnorderedGroup>', [["a", "b"], ["d", "c"]]),
        # a nested ordered group is expanded in place, by its @index
        (f'<OrderedGroup id="g"><OrderedGroupIndexed id="h" index="1">{refs("c", "b")}</OrderedGroupIndexed>'
         '<RegionRefIndexed index="0" regionRef="a"/><RegionRefIndexed index="2" regionRef="d"/></OrderedGroup>',
         [["a", "c", "b", "d"]]),
        # in an unordered group inside an ordered one, a ref is in no chain and an ordered group is a new chain
        (f'<OrderedGroup id="g">{refs("a")}<UnorderedGroupIndexed id="u" index="1">{refs("b", indexed=False)}'
         f'<OrderedGroup id="h">{refs("d", "c")}</OrderedGroup></UnorderedGroupIndexed></OrderedGroup>',
         [["a"], ["d", "c"]]),
        (f'<UnorderedGroup id="u">{refs("a", "b", indexed=False)}</UnorderedGroup>', None),
        ("", None),
    ],
    ids=["indexed", "unordered-of-ordered", "nested-ordered", "unordered-in-ordered", "only-unordered", "none"],
)
def test_page_xml_reading_order_chains(reading_order, chains):
    truth = truth_from_xml(page_xml(reading_order), "t.xml")
    if chains is None:
        assert isinstance(truth, Skipped)
    else:
        assert truth.chains == chains


@pytest.mark.parametrize(
    ("truth", "expected"),
    [
        ({"gt_order": [1, 0]}, [[1, 0]]),
        ({"gt_order": [0, 1, 2], "gt_chains": [[2], [], [0, 1]]}, [[2], [0, 1]]),
        # no id to score: left out as a PAGE-XML ReadingOrder that orders nothing is
        ({"gt_order": []}, "its ground truth (\"gt_order\") orders no element"),
        ({"gt_chains": []}, "its ground truth (\"gt_chains\") orders no element"),
        ({"gt_chains": [[]]}, "its ground truth (\"gt_chains\") orders no element"),
        ({"gt_order": [], "gt_chains": [[], []]}, "its ground truth (\"gt_chains\") orders no element"),
    ],
)
def test_json_ground_truth_chains(truth, expected):
    elements = [{"id": i, "box": [0, 10 * i, 9, 10 * i + 5]} for i in range(3)]
    got = truth_from_json({"elements": elements, **truth}, "p.json")
    if isinstance(expected, str):
        assert got == Skipped("p.json", expected)
    else:
        assert got.chains == expected


@pytest.mark.parametrize("path", [str(PAGES), PAGES], ids=["str", "Path"])
def test_read_truth_refuses_a_single_path(path):
    with pytest.raises(TypeError, match=f"^inputs must be a sequence of paths, not {type(path).__name__}$"):
        read_truth(path)


def test_eval_on_an_unordered_group_of_ordered_groups():
    """Main text r1, r2 and a margin note r3 beside r1 as two chains: where r3 goes is not scored
    (as one chain r1, r2, r3, the XY-cut's r1, r3, r2 would score 1/3)."""
    result = run_cli("eval", str(REPO / "tests" / "data" / "formats" / "page" /
                                 "page2013_kraken_testfixture_explicit_ro_unordered.xml"), "--json")
    assert result.returncode == 0, result.stderr
    page = json.loads(result.stdout)["pages"][0]
    assert (page["n"], page["tau"], page["exact"]) == (3, 1.0, True)


def test_eval_on_json_lines(tmp_path):
    def page(collection, gt, **more):
        rows = {"a": (0, 0, 40, 20), "b": (0, 30, 40, 50), "c": (60, 0, 100, 20), "d": (60, 30, 100, 50)}
        return json.dumps({"collection": collection, "width": 100, "height": 60, **more, "gt_order": gt,
                           "elements": [{"id": k, "box": list(v)} for k, v in rows.items()]}) + "\n"

    source = tmp_path / "gt.jsonl"
    # two columns read column by column; the same read row by row; two chains of which one is right
    source.write_text(page("x", ["a", "b", "c", "d"]) + "\n" + page("y", ["a", "c", "b", "d"])
                      + page("y", ["c", "a", "b", "d"], gt_chains=[["c"], ["a", "b", "d"]]))
    result = run_cli("eval", str(source), "--worst", "2")
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "3 pages scored: the package's default order, regions of the ground truth ordered\n\n"
        "collection  pages  mean tau         exact  missing\n"
        "all             3    +0.889     0.667 (2)        0\n"
        "x               1    +1.000     1.000 (1)        0\n"
        "y               2    +0.833     0.500 (1)        0\n\n"
        "worst pages:\n"
        "   tau  exact  ids  missing  page\n"
        f"+0.667  no       4        0  {source}:3\n"
        f"+1.000  yes      4        0  {source}:1\n"
    )
    report = json.loads(run_cli("eval", str(source), "--order", "exact", "--json").stdout)
    assert report["order"] == "exact" and report["overall"]["mean_tau"] == pytest.approx(8 / 9)
    assert [p["page"] for p in report["worst"]] == [f"{source}:3", f"{source}:1", f"{source}:4"]
    assert report["collections"]["y"]["exact_pages"] == 1


@pytest.mark.parametrize(
    ("flags", "what", "tau"),
    [
        ((), "the package's default order", 1.0),
        (("--no-labels",), "the package's default order, labels ignored", 1 / 3),
        (("--order", "exact"), "the core's exact order", 1 / 3),
    ],
    ids=["labels-used", "labels-ignored", "exact"],
)
def test_no_labels_orders_by_geometry_alone(tmp_path, flags, what, tau):
    """A running head above the right column is read first by its label, after the left column by its place."""
    source = tmp_path / "gt.jsonl"
    elements = [{"id": "a", "box": [0, 2, 50, 100], "label": "text"},
                {"id": "h", "box": [60, 2, 100, 8], "label": "page-header"},
                {"id": "b", "box": [55, 12, 100, 100], "label": "text"}]
    source.write_text(json.dumps({"width": 100, "height": 102, "elements": elements,
                                  "gt_order": ["h", "a", "b"]}) + "\n")
    text = run_cli("eval", str(source), *flags)
    assert text.returncode == 0, text.stderr
    assert text.stdout.startswith(f"1 page scored: {what}, regions of the ground truth ordered\n")
    report = json.loads(run_cli("eval", str(source), *flags, "--json").stdout)
    assert report["no_labels"] == ("--no-labels" in flags)
    assert report["pages"][0]["tau"] == pytest.approx(tau)


def test_no_labels_is_the_profile_with_its_label_steps_off():
    """What 'eval --no-labels' scores is the profile's order with labels=False, page by page."""
    from quorlin.profile import ProfileOptions
    from quorlin.profile import order as profile_order

    off = ProfileOptions(labels=False)
    changed = 0
    for line in PAGES.read_text(encoding="utf-8").splitlines():
        raw = json.loads(line)
        page = page_from_json(raw)
        wanted = set(raw["gt_order"])
        regions = [r for r in page.regions if r.id in wanted]
        expected = profile_order([r.box for r in regions], [r.id for r in regions], page_bounds=page.bounds,
                                 separators=[r.box for r in page.separators], options=off,
                                 labels=[r.kind or r.label for r in regions])
        assert predict(page, raw["gt_order"], labels=False) == expected, raw["source"]
        changed += expected != predict(page, raw["gt_order"])
    assert changed > 10  # the labels change the order of many of these pages


@pytest.mark.parametrize("how", ["default", "exact"])
@pytest.mark.parametrize("name", ["page/page2013_transkribus_syriac_SMMJ36_0125.xml",
                                  "alto/alto4_escriptorium_syriac_SMMJ36_0125.xml", "hocr/gcv2hocr_jp_vertical.hocr"])
def test_computed_orders_are_page_orders_in_the_pages_direction(name, how):
    """Right-to-left and vertical pages: eval scores what 'quorlin order [--exact]' writes."""
    page = read_page(REPO / "tests" / "data" / "formats" / name)
    assert page.direction.direction != "ltr"
    assert predict(page, [r.id for r in page.regions], how) == page_order(page, exact=how == "exact")


def test_eval_on_page_xml_directory_and_stored_orders(tmp_path):
    """The orders that 'quorlin order' stores score as eval's computed orders of every region."""
    predicted = tmp_path / "predicted"
    predicted.mkdir()
    for path in XML.glob("*.xml"):
        assert run_cli("order", str(path), "-o", str(predicted / path.name)).returncode == 0
    computed = run_cli("eval", str(XML), "--all-regions", "--json")
    stored = run_cli("eval", str(XML), "--predicted", str(predicted), "--json")
    assert computed.returncode == stored.returncode == 0, computed.stderr + stored.stderr
    skipped = "dta_vischer_aesthetikregister_1858_0081.xml: no ReadingOrder; not scored"
    assert computed.stderr.endswith(skipped + "\n") and stored.stderr.endswith(skipped + "\n")
    computed, stored = json.loads(computed.stdout), json.loads(stored.stdout)
    assert stored["order"] == "stored" and len(stored["pages"]) == 4
    assert stored["pages"] == computed["pages"]
    assert [(p["n"], p["tau"] == 1.0) for p in stored["pages"]] == [(4, True), (6, True), (15, True), (10, True)]

    # one file against one predicted file of another name; and a JSON page's "order"
    gt = XML / "reichsanzeiger_1914_178_0448.xml"
    single = run_cli("eval", str(gt), "--order", "stored", "--predicted", str(predicted / gt.name), "--json")
    assert json.loads(single.stdout)["pages"][0]["tau"] == stored["pages"][2]["tau"]
    ordered = tmp_path / "ordered.jsonl"
    assert run_cli("order", str(PAGES), "-o", str(ordered)).returncode == 0
    a = json.loads(run_cli("eval", str(PAGES), "--all-regions", "--json", "--worst", "0").stdout)
    b = json.loads(run_cli("eval", str(ordered), "--order", "stored", "--json", "--worst", "0").stdout)
    assert a["overall"] == b["overall"] and a["collections"] == b["collections"]


@pytest.fixture
def inputs(tmp_path):
    def jsonl(*pages):
        path = tmp_path / "pages.jsonl"
        path.write_text("".join(json.dumps({"elements": [{"id": i, "box": [0, 10 * i, 9, 10 * i + 5]}
                                                         for i in range(3)], **p}) + "\n" for p in pages))
        return str(path)

    def xml(name, reading_order=refs("a", "b"), **kw):
        path = tmp_path / name
        path.write_bytes(page_xml(f'<OrderedGroup id="g">{reading_order}</OrderedGroup>', **kw))
        return str(path)

    (tmp_path / "empty").mkdir()
    (tmp_path / "preds").mkdir()
    return tmp_path, jsonl, xml


@pytest.mark.parametrize(
    ("case", "message"),
    [
        (lambda j, x, d: [j({"gt_order": [0, 1]}, {})],
         "pages.jsonl:2: no ground truth (\"gt_order\" or \"gt_chains\")"),
        (lambda j, x, d: [j({"gt_order": [0, 9]})],
         "pages.jsonl:1: ground-truth id 9 in \"gt_order\" is not an element of the page"),
        (lambda j, x, d: [j({"gt_order": [0, 1, 0]})],
         "pages.jsonl:1: ground-truth id 0 appears twice in \"gt_order\""),
        (lambda j, x, d: [j({"gt_order": [0, 1], "gt_chains": [[0], [2]]})],
         "pages.jsonl:1: \"gt_order\" and \"gt_chains\" do not hold the same ids"),
        (lambda j, x, d: [j({"gt_order": [0, 1], "order": [0, 1, 2]}, {"gt_order": [1, 2]}), "--order", "stored"],
         "pages.jsonl:2: no stored order (\"order\") to score"),
        (lambda j, x, d: [x("gt.xml"), "--order", "stored"],
         "gt.xml: PAGE-XML ground truth needs --predicted FILE_OR_DIR for --order stored"),
        (lambda j, x, d: [x("gt.xml", refs("a", "b", "a"))],
         "gt.xml: ground-truth id \"a\" appears twice in the ReadingOrder"),
        (lambda j, x, d: [x("gt.xml", refs("a", "zz"))], "gt.xml: ReadingOrder refers to unknown region 'zz'"),
        (lambda j, x, d: [x("gt.xml"), "--predicted", str(d / "preds")], "gt.xml: no predicted file 'gt.xml' in"),
        (lambda j, x, d: [x("gt.xml"), "--predicted", x("p.xml", image="other.png")],
         "p.xml: is for image 'other.png', but its ground truth"),
        (lambda j, x, d: [x("gt.xml"), "--predicted", x("p.xml", refs("a", "e"), regions="abcde")],
         "p.xml: its reading order names region \"e\", which the ground truth"),
        (lambda j, x, d: [x("gt.xml"), x("gt2.xml"), "--predicted", x("p.xml")],
         "p.xml: a predicted file, but there are 2 PAGE-XML ground-truth files"),
        (lambda j, x, d: [x("gt.xml"), "--order", "exact", "--predicted", x("p.xml")],
         "--predicted is only used with --order stored, not --order exact"),
        (lambda j, x, d: [j({"gt_order": [0, 1]}), "--order", "exact", "--no-labels"],
         "--no-labels applies to the default order, not to --order exact"),
        (lambda j, x, d: [x("gt.xml"), "--predicted", x("p.xml"), "--no-labels"],
         "--no-labels applies to the default order, not to --order stored"),
        (lambda j, x, d: [str(d / "empty")], "empty: directory without PAGE-XML files (*.xml)"),
        (lambda j, x, d: [str(ALTO)], f"{ALTO.name}: ALTO file: quorlin eval reads ground truth from PAGE-XML"),
        (lambda j, x, d: [x("gt.xml", "")], "no page with a ground-truth reading order to score"),
        (lambda j, x, d: [j({"gt_order": []}, {"gt_chains": [[]]})],
         "no page with a ground-truth reading order to score"),
    ],
    ids=["no-truth", "unknown-id", "duplicate-id", "chains-differ", "no-stored-order", "xml-stored-alone",
         "xml-duplicate-ref", "xml-unknown-ref", "predicted-missing", "predicted-other-image",
         "predicted-other-region", "predicted-file-for-two", "predicted-without-stored", "no-labels-exact",
         "no-labels-stored", "empty-directory",
         "alto", "nothing-to-score", "json-nothing-to-score"],
)
def test_bad_input_is_one_line_and_writes_nothing(inputs, case, message):
    tmp_path, jsonl, xml = inputs
    out = tmp_path / "report.txt"
    result = run_cli("eval", *case(jsonl, xml, tmp_path), "-o", str(out))
    assert result.returncode == 1
    assert result.stdout == "" and not out.exists()
    last = result.stderr.splitlines()[-1]
    assert last.startswith("quorlin: error: ") and message in last, result.stderr
    assert "Traceback" not in result.stderr


def test_documented_example_is_the_real_output():
    """The 'quorlin eval' example of docs/eval.md shows what the command prints."""
    readme = (REPO / "docs" / "eval.md").read_text(encoding="utf-8")
    command = readme.find("```sh\nquorlin eval bench/data/pages.jsonl\n```\n")
    assert command >= 0, "docs/eval.md has no 'quorlin eval bench/data/pages.jsonl' example"
    start = readme.index("```text\n", command) + len("```text\n")
    result = run_cli("eval", "bench/data/pages.jsonl", cwd=REPO)
    assert result.returncode == 0, result.stderr
    assert result.stdout == readme[start:readme.index("```", start)]
