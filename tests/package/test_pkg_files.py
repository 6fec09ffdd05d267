"""Many files and folders: quorlin order FILE... -O DIR, DIR -O DIR, --in-place, --keep-existing."""

from __future__ import annotations

import io
import shutil
from pathlib import Path

import pytest
from pkg_helpers import REPO, run_cli

import quorlin.files
from quorlin.files import file_jobs, order_files
from quorlin.formats import read_page, write_page
from quorlin.formats.pagexml import reading_order_chains
from quorlin.ordering import page_order

SAMPLES = REPO / "tests" / "data" / "formats"
TRANSKRIBUS = SAMPLES / "page" / "page2013_transkribus_syriac_SMMJ36_0125.xml"


@pytest.fixture
def folder(tmp_path) -> Path:
    """A folder of pages of every markup format, one of them broken, one in a sub-folder."""
    top = tmp_path / "in"
    (top / "sub").mkdir(parents=True)
    shutil.copy(SAMPLES / "page" / "page2013_kraken_testfixture_explicit_ro.xml", top / "a.xml")
    shutil.copy(SAMPLES / "alto" / "alto3_tesseract410_two_column_testfile.xml", top / "sub" / "b.xml")
    shutil.copy(SAMPLES / "hocr" / "tesseract305_ubma_417576986_0013.hocr", top / "sub" / "c.hocr")
    (top / "sub" / "broken.xml").write_text("<PcGts")
    (top / "notes.txt").write_text("not a page")
    (top / ".hidden.xml").write_text("<PcGts")
    return top


def expected(path: Path) -> bytes:
    page = read_page(path)
    return write_page(page, page_order(page))


def test_a_folder_is_mirrored_good_files_written_the_broken_one_named(tmp_path, folder):
    out = tmp_path / "out"
    result = run_cli("order", str(folder), "-O", str(out))
    assert result.returncode == 1
    errors = [line for line in result.stderr.splitlines() if line.startswith("quorlin: error:")]
    assert errors == [f"quorlin: error: {folder / 'sub' / 'broken.xml'}: not well-formed XML (unclosed token: line 1, "
                      "column 0)"]
    assert result.stderr.splitlines()[-1] == "quorlin: 1 of 4 files failed"
    written = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    assert written == ["a.xml", "sub/b.xml", "sub/c.hocr"]  # no broken, no temporary file, no .txt, no hidden
    for name in written:
        assert (out / name).read_bytes() == expected(folder / name)


@pytest.mark.parametrize("workers", [1, 2])
def test_a_failure_that_is_no_page_error_stops_only_its_file(tmp_path, folder, monkeypatch, workers):
    """A RecursionError in one file's writer used to end a folder run with a traceback, writing nothing."""
    real = quorlin.files.ordered_file

    def failing(page, data, **kwargs):
        if page.source.endswith("a.xml"):
            raise RecursionError("maximum recursion depth exceeded")
        return real(page, data, **kwargs)

    monkeypatch.setattr(quorlin.files, "ordered_file", failing)
    out, err = tmp_path / "out", io.StringIO()
    assert order_files(file_jobs([str(folder)], str(out), False), workers=workers, err=err, progress=False) == 2
    assert [line for line in err.getvalue().splitlines() if line.startswith("quorlin: error:")] == [
        f"quorlin: error: {folder / 'a.xml'}: internal error: RecursionError: maximum recursion depth exceeded",
        f"quorlin: error: {folder / 'sub' / 'broken.xml'}: not well-formed XML (unclosed token: line 1, column 0)"]
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file()) == ["sub/b.xml", "sub/c.hocr"]


def test_several_files_go_to_one_folder_and_jobs_give_the_same_files(tmp_path, folder):
    inputs = [str(folder / "a.xml"), str(folder / "sub" / "b.xml"), str(folder / "sub" / "c.hocr")]
    one, two = tmp_path / "one", tmp_path / "two"
    assert run_cli("order", *inputs, "-O", str(one)).returncode == 0
    assert run_cli("order", *inputs, "-O", str(two), "--jobs", "2").returncode == 0
    assert sorted(p.name for p in one.iterdir()) == ["a.xml", "b.xml", "c.hocr"]
    for path in one.iterdir():
        assert path.read_bytes() == (two / path.name).read_bytes() == expected(Path(inputs[
            ["a.xml", "b.xml", "c.hocr"].index(path.name)]))


def test_an_output_folder_inside_the_input_folder_is_never_read_as_input(folder):
    inside = folder / "ordered"
    for _ in range(2):  # the second run finds the first one's output below the input folder
        result = run_cli("order", str(folder), "-O", str(inside))
        assert result.returncode == 1
        assert result.stderr.splitlines()[-1] == "quorlin: 1 of 4 files failed"
    assert not (inside / "ordered").exists()


@pytest.mark.parametrize("how", [["-O", "."], ["-O", "{folder}"]])
def test_writing_files_over_themselves_needs_in_place(folder, how):
    args = [a.format(folder=folder) for a in how]
    result = run_cli("order", "a.xml", "sub/b.xml", *args, cwd=folder) if args[1] == "." else \
        run_cli("order", str(folder), *args)
    assert result.returncode == 1
    assert "would be written over itself" in result.stderr and "--in-place" in result.stderr
    before = (folder / "a.xml").read_bytes()
    assert before == (SAMPLES / "page" / "page2013_kraken_testfixture_explicit_ro.xml").read_bytes()
    result = run_cli("order", str(folder / "a.xml"), str(folder / "sub" / "b.xml"), "--in-place")
    assert result.returncode == 0, result.stderr
    assert (folder / "a.xml").read_bytes() == expected(SAMPLES / "page" / "page2013_kraken_testfixture_explicit_ro.xml")


@pytest.mark.parametrize(("args", "message"), [
    (["a.xml", "b.xml"], "several inputs or a folder need -O DIR"),
    (["a.xml", "b.xml", "-o", "x.xml"], "-o FILE takes one page file, not several inputs"),
    (["sub", "-o", "x.xml"], "-o FILE takes one page file, not a folder"),
    (["a.xml", "sub/a.xml", "-O", "out"], "would both be written to"),
    (["a.xml", "missing.xml", "-O", "out"], "missing.xml: no such file or folder"),
    (["a.xml", "b.xml", "-O", "out", "--explain"], "--explain writes one document"),
    # one input, whose options conflict
    (["a.xml", "--in-place", "-o", "x.xml"], "-o FILE and --in-place conflict"),
    (["a.xml", "--in-place", "-O", "out"], "-O DIR and --in-place conflict"),
    (["-", "--in-place"], "--in-place cannot write standard input"),
    (["-", "-O", "out"], "-O DIR cannot name a file after standard input"),
    (["a.xml", "--explain", "--in-place"], "--explain and --in-place conflict"),
    (["a.xml", "--explain", "-O", "out"], "--explain and -O DIR conflict"),
    (["p.jsonl", "--in-place"], "--in-place does not take JSON Lines (p.jsonl)"),
    (["a.xml", "--format", "jsonl", "-O", "out"], "--format jsonl and -O DIR conflict"),
    (["a.xml", "sub", "-O", "b.xml"], "-O b.xml: b.xml is a file, not a folder"),
    (["sub", "-O", "b.xml/deeper"], "-O b.xml/deeper: b.xml is a file, not a folder"),
])
def test_many_inputs_refused_with_one_line(tmp_path, args, message):
    sample = SAMPLES / "page" / "page2013_kraken_testfixture_explicit_ro.xml"
    for name in ("a.xml", "b.xml", "sub/a.xml"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        shutil.copy(sample, tmp_path / name)
    result = run_cli("order", *args, cwd=tmp_path, stdin=b"")
    assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
    assert message in result.stderr
    assert not (tmp_path / "out").exists()
    assert (tmp_path / "a.xml").read_bytes() == sample.read_bytes()


def test_an_existing_order_is_replaced_with_a_note_or_kept(tmp_path):
    source = SAMPLES / "page" / "page2013_kraken_testfixture_explicit_ro.xml"  # a ReadingOrder of its own
    result = run_cli("order", str(source), "-o", str(tmp_path / "new.xml"))
    assert result.returncode == 0
    assert result.stderr == f"quorlin: {source}: the file's own reading order is replaced (--keep-existing keeps it)\n"
    result = run_cli("order", str(source), "-o", str(tmp_path / "kept.xml"), "--keep-existing")
    assert (result.returncode, result.stderr) == (0, "")
    assert (tmp_path / "kept.xml").read_bytes() == source.read_bytes()
    plain = SAMPLES / "hocr" / "tesseract305_ubma_417576986_0013.hocr"  # no order of its own: no note
    result = run_cli("order", str(plain), "-o", str(tmp_path / "h.hocr"), "--keep-existing")
    assert (result.returncode, result.stderr) == (0, "")
    assert (tmp_path / "h.hocr").read_bytes() == expected(plain)


def test_transkribus_region_indexes_are_written_with_the_order(tmp_path):
    """The written file used to hold the new ReadingOrder and the old custom indexes: two orders."""
    page = read_page(TRANSKRIBUS)
    order = list(reversed(page_order(page)))
    again = read_page("t.xml", data=write_page(page, order))
    assert again.reading_order == order
    root = again.parsed.page
    indexes = {r.get("id"): r.get("custom") for r in root.kids() if r.local == "TextRegion"}
    assert indexes == {rid: f"readingOrder {{index:{i};}} structure {{type:{'NumberingZone' if rid == 'r_2' else 'MainZone'};}}"
                       for i, rid in enumerate(order)}
    assert reading_order_chains(again) == [order]


@pytest.mark.parametrize(("content", "kind"), [
    (b"\x89PNG\r\n\x1a\n" + bytes(40), "a PNG image"),
    (b"\xff\xd8\xff\xe0" + bytes(40), "a JPEG image"),
    (b"%PDF-1.7\n" + bytes(40), "a PDF file"),
    (b"\x00\x01\x02\x03binary", "a binary file"),
])
@pytest.mark.parametrize("forced", [False, True])
def test_a_picture_or_other_binary_file_is_named_as_such(tmp_path, content, kind, forced):
    """An image renamed .xml used to get a generic XML error."""
    path = tmp_path / "page.xml"
    path.write_bytes(content)
    result = run_cli("order", str(path), *(["--format", "page-xml"] if forced else []))
    assert result.returncode == 1
    assert result.stderr == (f"quorlin: error: {path}: {kind}, not PAGE-XML as --format page-xml says\n" if forced
                             else f"quorlin: error: {path}: {kind}, not a page file (expected a JSON page, "
                                  "detections, PAGE-XML, ALTO or hOCR)\n")
