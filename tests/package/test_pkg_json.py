"""The JSON page shape: reading, writing, round trips and bad files."""

from __future__ import annotations

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pkg_helpers import run_cli, assert_one_line_error

import json_reader_model
from quorlin import PageError, _native
from quorlin.formats import jsonpage
from quorlin.formats.jsonpage import dump_json
from quorlin.formats.values import OverflowedFloat
from quorlin.formats import page_from_json, read_page, write_page
from quorlin.ordering import page_order

PAGE = {
    "width": 1000,
    "height": 1400,
    "meta": {"kept": ["as", "is"]},
    "elements": [
        {"id": "right", "box": [520, 200, 900, 600], "label": "text", "note": "kept"},
        {"id": "title", "box": [100, 50, 900, 120], "label": "title"},
        {"id": 7, "x1": 100, "y1": 200, "x2": 480, "y2": 600},
        {"id": "rule", "box": [495, 200, 505, 600], "label": "separator"},
    ],
}


def write(tmp_path, obj, name="page.json"):
    path = tmp_path / name
    path.write_text(obj if isinstance(obj, str) else json.dumps(obj), encoding="utf-8")
    return path


def test_json_round_trip_keeps_the_page_and_adds_the_order(tmp_path):
    page = read_page(write(tmp_path, PAGE))
    assert [r.id for r in page.regions] == ["right", "title", 7]
    assert [r.id for r in page.skipped] == ["rule"]  # separators are not ordered
    computed = page_order(page)
    assert computed == ["title", 7, "right"]

    out = write(tmp_path, write_page(page, computed).decode("utf-8"), "out.json")
    again = read_page(out)
    assert again.reading_order == computed
    document = json.loads(out.read_text(encoding="utf-8"))
    assert {k: v for k, v in document.items() if k != "order"} == PAGE
    # ordering the written file again gives the same order
    assert page_order(again) == computed


def test_reads_region_records_converted_from_page_xml():
    record = {
        "width": 100, "height": 100,
        "elements": [
            {"id": 0, "type": "TextRegion", "subtype": "heading", "x1": 0, "y1": 0, "x2": 100, "y2": 10},
            {"id": 1, "type": "SeparatorRegion", "subtype": "", "x1": 0, "y1": 12, "x2": 100, "y2": 13},
            {"id": 2, "type": "GraphicRegion", "subtype": "", "x1": 0, "y1": 20, "x2": 100, "y2": 90},
        ],
    }
    page = page_from_json(record)
    assert [(r.id, repr(r.label)) for r in page.regions] == [
        (0, "SemanticLabel.HorizontalTitle"), (2, "SemanticLabel.Vision")]
    assert [r.id for r in page.skipped] == [1]


def element(**fields):
    base = {"id": 1, "box": [0, 0, 10, 10]}
    base.update(fields)
    return {"elements": [base]}


# (file text or object, expected problem text)
BAD_JSON = [
    ('{"elements": [', "invalid JSON at line 1 column 15"),
    ("", "empty file"),
    ("hello", "invalid JSON at line 1 column 1"),
    ('{"elements": [{"id": 1, "box": [0, 0, NaN, 1]}]}', "NaN is not a number in JSON"),
    ('{"elements": [{"id": 1, "box": [0, 0, Infinity, 1]}]}', "Infinity is not a number in JSON"),
    ('{"elements": [{"id": 1, "box": [0, 0, 1e400, 1]}]}', "box[2] = 1e400 is out of range"),
    ('{"elements": [{"id": 1, "box": [0, 0, ' + "9" * 5000 + ", 1]}]}", "invalid JSON"),
    ("[" * 100000 + "]" * 100000, "nested too deeply"),
    # deeper than the limit, though not than the parsers take (the writer could not write it from every caller)
    ('{"elements": [{"box": [0, 0, 1, 1]}], "x": ' + "[" * jsonpage.MAX_JSON_DEPTH + "]" * jsonpage.MAX_JSON_DEPTH
     + "}", "nested too deeply"),
    ([1, 2], "expected a JSON object with \"elements\", got list"),
    ({"width": 10}, "missing \"elements\""),
    ({"elements": {"id": 1}}, "\"elements\" must be a list"),
    ({"elements": [5]}, "element 0 must be an object"),
    ({"elements": [{"id": 1}]}, "element 0 (id 1): missing coordinates"),
    ({"elements": [{"id": 1, "x1": 0, "y1": 0, "x2": 5}]}, "element 0 (id 1): missing coordinates"),
    (element(box=[0, 0, 10]), "\"box\" must be a list of 4 numbers"),
    (element(box=[0, 0, "NaN", 1]), "box[2] must be a number, got \"NaN\""),
    (element(box=[0, 0, True, 1]), "box[2] must be a number, got true"),
    (element(box=[0, 0, None, 1]), "box[2] must be a number, got null"),
    (element(box=[0, 0, 1e30, 1]), "box[2] = 1e+30 is out of range"),
    (element(box=[0, 0, 10**30, 1]), "out of range"),
    (element(id=1.5), "id must be an integer or a string"),
    (element(label=3), "\"label\" must be a string"),
    ({"elements": [{"id": 1, "box": [0, 0, 1, 1]}, {"id": 1, "box": [0, 0, 1, 1]}]}, "duplicate id"),
    ({"elements": [{"id": 1, "box": [0, 0, 1, 1]}], "order": [1, 2]}, "\"order\" refers to unknown element id 2"),
    ({"width": "wide", "elements": []}, "\"width\" must be a number"),
    ({"height": -5, "elements": []}, "\"height\" must not be negative"),
    # numbers are shown as written, messages and values in full
    (element(box=[0, 0, 16777217, 1]), "box[2] = 16777217 is out of range"),
    (element(box=[0, 0, 16777217.5, 1]), "box[2] = 16777217.5 is out of range"),
    (element(box=[0, 0, 10**400, 1]), "box[2] = a 401-digit integer is out of range"),
    ({"width": 16777217.25, "elements": []}, "\"width\" = 16777217.25 is out of range"),
    ('{"elements": [{"id": "a\tb", "box": [0, 0, 1, 1]}]}', "invalid JSON: Invalid control character at line 1 column 24"),
    ('{"elements": ["abc', "invalid JSON: Unterminated string starting at line 1 column 15"),
    ({"elements": [{"id": 1, "box": [0, 0, 1, 1]}], "order": ["x" * 50]},
     "\"order\" refers to unknown element id \"" + "x" * 50 + "\""),
    (element(id=["x" * 50]), "id must be an integer or a string, got [\"" + "x" * 50 + "\"]"),
]


@pytest.mark.parametrize(("content", "problem"), BAD_JSON)
def test_bad_json_page_gives_one_line_naming_file_and_problem(tmp_path, content, problem):
    path = write(tmp_path, content)
    with pytest.raises(PageError) as caught:
        read_page(path)
    assert_one_line_error(str(caught.value), path, problem)


CLI_CASES = ("invalid JSON at line 1 column 15", "NaN is not", "nested too deeply", "missing coordinates",
             "got \"NaN\"", "is out of range")


@pytest.mark.parametrize(
    ("content", "problem"),
    [case for case in BAD_JSON if any(key in case[1] for key in CLI_CASES)],
)
def test_bad_json_page_on_the_command_line(tmp_path, content, problem):
    path = write(tmp_path, content)
    result = run_cli("order", str(path))
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith(f"quorlin: error: {path}: ")
    assert problem in result.stderr
    assert result.stderr.count("\n") == 1
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("depth", [jsonpage.MAX_JSON_DEPTH, 500])
def test_a_deep_page_is_written_or_refused_alike_every_way(tmp_path, depth):
    """500 deep used to be read, then a RecursionError of the writer: a traceback, or an internal error
    in JSON Lines; deeper still, whether it was read at all depended on the caller's stack."""
    nested = "[" * (depth - 1) + "1e400" + "]" * (depth - 1)  # in the page, an object: depth lists and objects
    text = '{"elements": [{"box": [0, 0, 1, 1]}], "x": ' + nested + "}"
    (tmp_path / "page.json").write_text(text)
    (tmp_path / "pages.jsonl").write_text(text + "\n")
    runs = [run_cli("order", *args, cwd=tmp_path) for args in (["page.json"], ["pages.jsonl"],
                                                               ["pages.jsonl", "--jobs", "2"])]
    if depth <= jsonpage.MAX_JSON_DEPTH:
        assert [r.returncode for r in runs] == [0, 0, 0]
        assert json.loads(runs[0].stdout) == json.loads(runs[1].stdout) == json.loads(runs[2].stdout)
    else:
        assert [(r.returncode, r.stderr.splitlines()[0].rpartition(": ")[2]) for r in runs] == [
            (1, "nested too deeply")] * 3


def test_not_utf8(tmp_path):
    path = tmp_path / "page.json"
    path.write_bytes(b'{"elements": ["\xff"]}')
    with pytest.raises(PageError, match=r"not UTF-8 text \(byte 15\)"):
        read_page(path)


@pytest.mark.parametrize("suffix", [".json", ".jsonl"])
def test_number_beyond_double_range_is_written_back_as_written(tmp_path, suffix):
    # json reads 1e400 as infinity; writing that back as "Infinity" would not be JSON
    text = '{"elements": [{"id": 1, "box": [0, 0, 10, 10]}], "meta": {"big": 1e400, "small": [-2E+999]}}'
    path = tmp_path / f"page{suffix}"
    path.write_text(text + "\n", encoding="utf-8")
    result = run_cli("order", str(path))
    assert result.returncode == 0, result.stderr
    assert "1e400" in result.stdout and "-2E+999" in result.stdout and "Infinity" not in result.stdout
    assert json.loads(result.stdout)["order"] == [1]



@pytest.mark.parametrize(("document", "written"), [
    ({"box": [1, 2.5, -3e-05, 40]}, '{\n  "box": [1, 2.5, -3e-05, 40]\n}'),
    ({"boxes": [[1, 2], [3, 4]], "empty": []}, '{\n  "boxes": [\n    [1, 2],\n    [3, 4]\n  ],\n  "empty": []\n}'),
    # lists with anything but numbers stay one item per line; strings are never touched
    ({"mixed": [1, "a"]}, '{\n  "mixed": [\n    1,\n    "a"\n  ]\n}'),
    ({"text": "[\n1,\n2\n]"}, '{\n  "text": "[\\n1,\\n2\\n]"\n}'),
    ({"big": [OverflowedFloat("1e400"), 2]}, '{\n  "big": [1e400, 2]\n}'),
])
def test_indented_json_keeps_a_list_of_numbers_on_one_line(document, written):
    assert dump_json(document, indent=2) == written


def test_a_written_page_has_each_box_on_one_line(tmp_path):
    path = tmp_path / "page.json"
    path.write_text('{"elements": [{"id": "a", "box": [0, 0, 10.5, 10]}, {"id": "b", "box": [0, 20, 10, 30]}]}')
    result = run_cli("order", str(path))
    assert '"box": [0, 0, 10.5, 10]' in result.stdout and '"box": [0, 20, 10, 30]' in result.stdout
    assert json.loads(result.stdout)["order"] == ["a", "b"]


# ---- The one reader against the Python reader it replaced ----------------------

_VALID = st.one_of(st.integers(-50, 2000), st.floats(-50, 2000))
_COORDINATES = st.one_of(*[_VALID] * 30, st.sampled_from(
        [2**24, -2**24, 2**24 + 1, 10**30, 10**400, 16777216.5, 1e30, -0.0, float("nan"), float("inf"),
         OverflowedFloat("1e400"), True, False, None, "7", [1]]))
_GOOD_IDS = st.one_of(st.integers(0, 30), st.text(max_size=2))
_IDS = st.one_of(*[_GOOD_IDS] * 6, st.sampled_from([True, 1.5, None, [1], 2**70]))
_LABEL_TEXTS = st.sampled_from(["title", "Text", "separator", "Noise", "SEPARATOR", "figure", "", "x y"])
_LABELS = st.one_of(*[_LABEL_TEXTS] * 6, st.sampled_from([3, None, ["title"]]))
_TYPES = st.sampled_from(["TextRegion", "SeparatorRegion", "NoiseRegion", "GraphicRegion", "Other", 5])
_SUBTYPES = st.sampled_from(["heading", "paragraph", "", None, 7])


@st.composite
def _elements(draw):
    item = {}
    if draw(st.booleans()):
        item["id"] = draw(_IDS)
    shape = draw(st.integers(0, 19))
    if shape < 10:
        item["box"] = draw(st.lists(_COORDINATES, min_size=4, max_size=4))
    elif shape < 19:
        for key in ("x1", "y1", "x2", "y2"):
            if draw(st.integers(0, 39)) != 17:
                item[key] = draw(_COORDINATES)
    else:
        item["box"] = draw(st.one_of(st.lists(st.integers(0, 9), max_size=5), st.just("0 0 1 1")))
    for key, values in (("label", _LABELS), ("type", _TYPES), ("subtype", _SUBTYPES)):
        if draw(st.integers(0, 2)) == 0:
            item[key] = draw(values)
    if draw(st.integers(0, 9)) == 0:
        item["note"] = "kept"
    # hypothesis draws the ends of a range often: the rare cases sit inside it
    return item if draw(st.integers(0, 99)) != 57 else draw(st.sampled_from([5, "x", None, [item]]))


@st.composite
def _pages(draw):
    page = {}
    for key in ("width", "height"):
        if draw(st.booleans()):
            page[key] = draw(st.one_of(*[st.integers(0, 3000)] * 6, _COORDINATES))
    if draw(st.integers(0, 49)) != 17:
        page["elements"] = draw(st.lists(_elements(), max_size=6)) if draw(st.integers(0, 19)) != 7 else {}
    if draw(st.integers(0, 3)) == 0:
        page["order"] = draw(st.one_of(*[st.lists(st.integers(0, 6), max_size=4)] * 4, st.lists(_IDS, max_size=4),
                                       st.just("0")))
    return page if draw(st.integers(0, 99)) != 57 else draw(st.sampled_from([[page], None, 3, "page"]))


def _read(reader, page):
    try:
        read = reader(page, "<t>")
    except PageError as exc:
        return "error", str(exc)
    return "page", repr((read.regions, read.skipped, read.width, read.height, read.reading_order)), \
        read.document is page, read.format


@settings(max_examples=1500, deadline=None)
@given(_pages())
def test_the_reader_reads_every_page_as_the_python_reader_did(page):
    expected = _read(json_reader_model.page_from_json, page)
    assert _read(page_from_json, page) == expected
    # the ordering straight from the dict reads it alike
    ordered = _native.order_json_page(page, jsonpage.element_label)
    if expected[0] == "error":
        assert str(jsonpage.page_problem("<t>", ordered[1])) == expected[1]
    else:
        assert ordered == (page_order(page_from_json(page), exact=True), None)


def _refuse(data):
    raise jsonpage.msgspec.DecodeError("left to the standard library")


def _outcome(text, fast, monkeypatch):
    """What load_json gives for ``text`` with or without the fast decoder."""
    if not fast:
        monkeypatch.setattr(jsonpage, "_FAST_DECODE", _refuse)
    try:
        value = jsonpage.load_json("<t>", text.encode("utf-8"))
        return "value", repr(value), [type(v) for v in _leaves(value)]
    except PageError as exc:
        return "error", str(exc), []
    finally:
        monkeypatch.undo()


def _leaves(value):
    # Iterative: some interpreters decode the 5000-deep list in the table below.
    leaves, stack = [], [value]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            stack.extend(reversed(list(item.values())))
        elif isinstance(item, list):
            stack.extend(reversed(item))
        else:
            leaves.append(item)
    return leaves


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(10**40), max_value=10**40)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=20,
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=json_values, ascii_only=st.booleans())
def test_fast_decoder_reads_what_the_standard_library_reads(value, ascii_only, monkeypatch):
    text = json.dumps(value, ensure_ascii=ascii_only)
    assert _outcome(text, True, monkeypatch) == _outcome(text, False, monkeypatch)


@pytest.mark.parametrize("text", [
    '{"a": NaN}', '{"a": 1e400}', '"\\ud800"', '\ufeff{"a": 1}', "[" * 5000 + "]" * 5000,
    '{"a": 1, "a": 2}', '"a\tb"', "[1,]", "1" * 5000, '{"a": -0.0, "b": 1e-400}',
])
def test_fast_decoder_and_standard_library_agree_on_odd_texts(text, monkeypatch):
    assert _outcome(text, True, monkeypatch) == _outcome(text, False, monkeypatch)
