"""The quorlin command: help, demo, order from files and stdin, --verbose, errors."""

from __future__ import annotations

import json
import logging
import os
import xml.etree.ElementTree as ET
from importlib import resources

import pytest
from pkg_helpers import DATA, REPO, run_cli

from quorlin import cli
from quorlin.ordering import page_order

EXAMPLE = str(resources.files("quorlin").joinpath("data", "example_page.json"))


@pytest.mark.parametrize("command", [[], ["order"], ["draw"], ["demo"]])
def test_every_command_has_help(command):
    result = run_cli(*command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: quorlin {' '.join(command)}".rstrip())
    assert "--verbose" in result.stdout


def test_demo_prints_the_order_and_writes_the_picture(tmp_path):
    result = run_cli("demo", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    listed = [line.split()[1] for line in result.stdout.splitlines() if line.strip()[:1].isdigit()]
    assert listed == ["title", "col-1a", "col-2a", "figure", "caption", "col-1b", "col-2b", "page-no"]
    svg = ET.parse(tmp_path / "quorlin-demo.svg").getroot()
    assert svg.tag == "{http://www.w3.org/2000/svg}svg"
    assert "quorlin-demo.svg" in result.stdout


def test_order_reads_stdin_and_writes_json():
    piped = run_cli("order", "-", stdin=open(EXAMPLE, "rb").read())
    direct = run_cli("order", EXAMPLE)
    assert piped.returncode == direct.returncode == 0
    assert piped.stdout == direct.stdout
    assert json.loads(direct.stdout)["order"][0] == "title"


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["order", "missing.json"], "quorlin: error: missing.json: no such file\n"),
        (["order", "."], "quorlin: error: several inputs or a folder need -O DIR (or --in-place to write each file "
                         "over itself)\n"),
        (["order", EXAMPLE, "-o", "/nonexistent/dir/out.json"],
         "quorlin: error: /nonexistent/dir/out.json: cannot write: No such file or directory\n"),
        (["order", str(DATA / "reichsanzeiger_1914_180_0471.xml"), "--jobs", "2"],
         "quorlin: error: --jobs needs JSON Lines input (one page per line) or several files\n"),
        (["order", EXAMPLE, "-o", ""], "quorlin: error: -o FILE is an empty name: give a file, or '-' for standard "
                                       "output\n"),
        (["draw", EXAMPLE, "-o", ""], "quorlin: error: -o FILE is an empty name: give a file, or '-' for standard "
                                      "output\n"),
        (["order", EXAMPLE, "-O", ""], "quorlin: error: -O DIR is an empty name: give a folder ('.' for this one)\n"),
    ],
)
def test_command_errors_are_one_line(tmp_path, args, message):
    result = run_cli(*args, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, message)


@pytest.mark.parametrize(("text", "message"), [
    # one line that is no page: what is wrong with it (it was said to be written over several lines)
    ('{"elements": [{"box": [0, 0, NaN, 1]}]}\n', "p.json: invalid JSON: NaN is not a number in JSON"),
    ('{\n  "elements": []\n}\n', "p.json: one JSON value written over several lines, not JSON Lines"),
], ids=["one-bad-line", "several-lines"])
def test_a_json_file_with_jobs_is_refused_for_what_it_is(tmp_path, text, message):
    (tmp_path / "p.json").write_text(text)
    result = run_cli("order", "p.json", "--jobs", "2", cwd=tmp_path)
    assert result.returncode == 1 and result.stderr.startswith(f"quorlin: error: {message}")
    assert len(result.stderr.splitlines()) == 1


TWO_PAGES = 2 * (json.dumps(json.loads(resources.files("quorlin").joinpath("data", "example_page.json").read_bytes()))
                 + "\n").encode()


@pytest.mark.parametrize(("args", "stdin", "message"), [
    (["order", "-"], TWO_PAGES, "<stdin>: one JSON value per line (JSON Lines), not one page: give --format jsonl "
                                "to order each line"),
    (["draw", "pages.jsonl"], None, "pages.jsonl: one JSON value per line (JSON Lines), not one page: quorlin draw "
                                    "takes one page"),
    # and the other way round: a page of markup given as JSON Lines
    (["order", "-", "--format", "jsonl"], (DATA / "reichsanzeiger_1914_180_0471.xml").read_bytes(),
     "<stdin>: not JSON Lines as --format jsonl says: the file is PAGE-XML"),
])
def test_json_lines_where_one_page_is_read_and_markup_as_json_lines_are_named(tmp_path, args, stdin, message):
    (tmp_path / "pages.jsonl").write_bytes(TWO_PAGES)
    result = run_cli(*args, cwd=tmp_path, stdin=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"quorlin: error: {message}\n")


def test_usage_errors_exit_with_status_2():
    result = run_cli("order")
    assert result.returncode == 2
    assert "the following arguments are required: PAGE" in result.stderr


def test_verbose_shows_the_module_debug_lines_on_stderr():
    # the profile reads the title as the top strip and hands the engine the rest but the page footer, which its
    # label puts last, and the figure's caption, which the engine sees as one box with its figure; the boxes, flush
    # and not overlapping, are not shrunk; the page, 1,400 long, reaches the engine four times as large, and the
    # engine's lines give its cuts so
    result = run_cli("order", EXAMPLE, "--verbose")
    assert result.returncode == 0
    lines = result.stderr.splitlines()
    assert lines[0] == f"quorlinpy: {EXAMPLE}: read ltr (the default)"
    lines = lines[1:]
    assert lines[:5] == ["quorlinpy: order: 8 boxes, 0 separators (quality profile)",
                         "quorlinpy: [profile] scale: the engine's boxes x4 (the page 1400.0 long), its cuts below in "
                         "those units",
                         "quorlinpy: [profile] top strip: 1 boxes above y=150.0 (gap=40.0), read first",
                         "quorlinpy: [profile] part: 1 boxes (top strip), shrunk by dx=0.0, dy=0.0",
                         "quorlinpy: [profile] part: 5 boxes (body), shrunk by dx=0.0, dy=0.0"]
    assert "quorlinpy.mervane: [segment] horizontal cut at y=2000.0 (gap=160.0) on 5 elements" in lines
    assert lines[-3:] == ["quorlinpy: [profile] part: 1 boxes (captions), shrunk by dx=0.0, dy=0.0",
                          "quorlinpy: [profile] foot: 1 boxes by their roles, read last",
                          "quorlinpy: [profile] part: 1 boxes (foot), shrunk by dx=0.0, dy=0.0"]
    exact = run_cli("order", EXAMPLE, "--verbose", "--exact").stderr.splitlines()
    assert exact[1] == "quorlinpy: order: 8 boxes (exact)"
    assert "quorlinpy.mervane: [segment] horizontal cut at y=150.0 (gap=40.0) on 8 elements" in exact
    assert "[segment]" not in run_cli("order", EXAMPLE).stderr
    # --verbose is accepted before the command too
    assert "[segment]" in run_cli("-v", "order", EXAMPLE).stderr


def test_verbose_takes_effect_after_the_module_cached_debug_as_off(caplog, capsys):
    def debug_records():
        return [r for r in caplog.records if r.name.startswith("quorlinpy") and r.levelno == logging.DEBUG]

    try:
        assert cli.main(["order", EXAMPLE]) == 0  # the module now caches "debug is off"
        assert debug_records() == []
        assert cli.main(["order", EXAMPLE, "--verbose"]) == 0
        assert any(r.getMessage().startswith("[segment] horizontal cut") for r in debug_records())
    finally:
        logging.getLogger("quorlinpy").setLevel(logging.NOTSET)
    capsys.readouterr()


@pytest.mark.parametrize("exact", [False, True])
def test_order_writes_the_profile_or_with_exact_the_cores_order_into_page_xml(tmp_path, exact):
    import quorlin
    from quorlin.formats import read_page

    source = DATA / "reichsanzeiger_1914_178_0448.xml"  # a spread: the profile and the core differ here
    page = read_page(source)
    out = tmp_path / "ordered.xml"
    result = run_cli("order", str(source), "-o", str(out), *(["--exact"] if exact else []))
    assert result.returncode == 0, result.stderr
    expected = quorlin.order([r.box for r in page.regions], [r.kind for r in page.regions], [r.id for r in page.regions],
                             exact=exact, page_bounds=page.bounds, separators=[r.box for r in page.separators])
    assert read_page(out).reading_order == expected == page_order(page, exact=exact)
    assert page_order(page, exact=True) != page_order(page)


def test_in_place_write_through_a_symbolic_link_writes_its_target(tmp_path):
    """It used to replace the link with a regular file and leave the target as it was."""
    real = tmp_path / "pages" / "page.xml"
    real.parent.mkdir()
    real.write_bytes((DATA / "reichsanzeiger_1914_178_0448.xml").read_bytes())
    link = tmp_path / "link.xml"
    link.symlink_to(real)
    result = run_cli("order", str(link), "-o", str(link))
    assert result.returncode == 0, result.stderr
    assert link.is_symlink() and link.resolve() == real
    from quorlin.formats import read_page

    assert read_page(real).reading_order == page_order(read_page(DATA / "reichsanzeiger_1914_178_0448.xml"))
    assert sorted(p.name for p in real.parent.iterdir()) == ["page.xml"]  # no temporary file left


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="only root may give a file to another user")
def test_in_place_write_keeps_the_owner_and_mode_and_replaces_the_file(tmp_path):
    """It used to make another user's file root's."""
    page = tmp_path / "page.json"
    page.write_bytes((REPO / "python" / "quorlin" / "data" / "example_page.json").read_bytes())
    os.chown(page, 12345, 23456)
    os.chmod(page, 0o640)
    hard = tmp_path / "hard.json"
    os.link(page, hard)
    result = run_cli("order", str(page), "-o", str(page))
    assert result.returncode == 0, result.stderr
    status = page.stat()
    assert (status.st_uid, status.st_gid, status.st_mode & 0o777) == (12345, 23456, 0o640)
    assert "order" in json.loads(page.read_text()) and "order" not in json.loads(hard.read_text())
