"""Batch ordering of JSON Lines across processes, and the Dask recipe."""

from __future__ import annotations

import io
import json
import os
import random
import subprocess
import sys
import textwrap

import pytest
from pkg_helpers import PACKAGE_PARENT, REALDATA, run_cli

import quorlin
from quorlin.batch import run_batch
from quorlin.formats import read_page


def random_page(seed: int) -> dict:
    rng = random.Random(seed)
    elements = []
    for i in range(rng.randint(1, 30)):
        x, y = rng.uniform(0, 900), rng.uniform(0, 1300)
        elements.append({"id": i, "box": [x, y, x + rng.uniform(5, 300), y + rng.uniform(5, 80)]})
    return {"page": seed, "width": 1200, "height": 1400, "elements": elements}


PAGES = [json.dumps(random_page(seed)).encode() for seed in range(40)]
BAD = {
    3: b"{not json",
    9: b'{"elements": [{"id": 1}]}',
    17: b'{"elements": [{"id": 1, "box": [0, 0, "NaN", 1]}]}',
    25: b"\xff\xfe",
}


def mixed_lines() -> list[bytes]:
    """Good pages, four bad lines and a blank line, each ending in a newline."""
    lines = [PAGES[i] if i not in BAD else BAD[i] for i in range(len(PAGES))]
    lines.insert(30, b"   ")
    return [line + b"\n" for line in lines]


def expected_output(line: bytes) -> str:
    return json.dumps(quorlin.order_page(json.loads(line)), ensure_ascii=False)


@pytest.mark.parametrize("jobs", [1, 2, 3])
def test_batch_keeps_input_order_and_reports_bad_lines(jobs):
    out, err = io.StringIO(), io.StringIO()
    failed = run_batch("pages.jsonl", mixed_lines(), out, err, jobs=jobs)
    assert failed == len(BAD)
    written = out.getvalue().splitlines()
    assert len(written) == len(PAGES)  # one line per page, the blank line skipped
    for index, text in enumerate(written):
        if index in BAD:
            assert json.loads(text) == {"line": index + 1, "error": json.loads(text)["error"]}
        else:
            assert text == expected_output(PAGES[index])
    assert err.getvalue().splitlines() == [
        "quorlin: error: pages.jsonl:4: invalid JSON at line 1 column 2: "
        "Expecting property name enclosed in double quotes",
        "quorlin: error: pages.jsonl:10: element 0 (id 1): missing coordinates "
        '(give "box": [x1, y1, x2, y2], or "x1", "y1", "x2", "y2")',
        'quorlin: error: pages.jsonl:18: element 0 (id 1): box[2] must be a number, got "NaN"',
        "quorlin: error: pages.jsonl:26: not UTF-8 text (byte 0)",
    ]


# A line that is valid JSON but not an object gets the message a single file gets.
NOT_OBJECTS = [("[1, 2]", "list"), ("5", "number"), ("2.5", "number"), ('"page"', "string"),
               ("null", "null"), ("true", "true")]


@pytest.mark.parametrize(("line", "shown"), NOT_OBJECTS, ids=[shown for _, shown in NOT_OBJECTS])
def test_line_that_is_not_an_object(tmp_path, line, shown):
    single = tmp_path / "page.json"
    single.write_text(line)
    with pytest.raises(quorlin.PageError) as caught:
        read_page(single)
    problem = caught.value.problem
    assert problem == f'expected a JSON object with "elements", got {shown}'
    out, err = io.StringIO(), io.StringIO()
    assert run_batch("pages.jsonl", [PAGES[0] + b"\n", line.encode() + b"\n"], out, err) == 1
    assert err.getvalue() == f"quorlin: error: pages.jsonl:2: {problem}\n"
    assert json.loads(out.getvalue().splitlines()[1]) == {"line": 2, "error": f"pages.jsonl:2: {problem}"}


# Two side-by-side columns with an "order" of their own that reads them backwards.
OWN_ORDER = json.dumps({"width": 100, "height": 100, "order": ["b", "a"], "elements": [
    {"id": "a", "box": [1, 2, 30, 40]}, {"id": "b", "box": [50, 2, 80, 40]}]}).encode()
COMPUTED = ["a", "b"]


@pytest.mark.parametrize(("keep", "jobs", "orders", "note"), [
    (False, 1, [COMPUTED, COMPUTED, COMPUTED], "quorlin: p.jsonl: the own reading order of 2 pages is replaced "
                                               "(--keep-existing keeps them)\n"),
    (False, 2, [COMPUTED, COMPUTED, COMPUTED], "quorlin: p.jsonl: the own reading order of 2 pages is replaced "
                                               "(--keep-existing keeps them)\n"),
    (True, 1, [["b", "a"], COMPUTED, ["b", "a"]], ""),
    (True, 2, [["b", "a"], COMPUTED, ["b", "a"]], ""),
])
def test_pages_with_their_own_order(keep, jobs, orders, note):
    unordered = json.dumps({k: v for k, v in json.loads(OWN_ORDER).items() if k != "order"}).encode()
    out, err = io.StringIO(), io.StringIO()
    lines = [OWN_ORDER + b"\n", unordered + b"\n", OWN_ORDER + b"\n", b'{"order": ["x"], "elements": []}\n']
    assert run_batch("p.jsonl", lines, out, err, jobs=jobs, keep_existing=keep) == 1
    written = [json.loads(line) for line in out.getvalue().splitlines()]
    assert [page.get("order") for page in written[:3]] == orders
    # a page kept as it is was still checked: a bad one is an error either way
    assert written[3]["error"] == 'p.jsonl:4: "order" refers to unknown element id "x"'
    assert err.getvalue().endswith(note) and err.getvalue().count("replaced") == (0 if keep else 1)


def test_one_page_with_its_own_order_on_the_command_line(tmp_path):
    source = tmp_path / "pages.jsonl"
    source.write_bytes(OWN_ORDER + b"\n")
    result = run_cli("order", str(source))
    assert result.stderr == f"quorlin: {source}: the own reading order of 1 page is replaced " \
                            "(--keep-existing keeps it)\n"
    kept = run_cli("order", "--keep-existing", str(source))
    assert kept.stderr == "" and json.loads(kept.stdout)["order"] == ["b", "a"]


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize(("stream", "shown"), [(io.StringIO, False), (Terminal, True)])
def test_progress_bar_only_on_a_terminal(stream, shown):
    err = stream()
    run_batch("p.jsonl", [line + b"\n" for line in PAGES[:5]], io.StringIO(), err, total=5)
    assert ("5/5" in err.getvalue()) is shown
    if not shown:
        assert err.getvalue() == ""


def test_workers_fork_from_a_process_of_one_thread_while_the_bar_is_shown():
    """A shown bar starts no thread (tqdm's monitor would), so the workers
    are forked from a process of one thread: a fork beside a second thread
    may deadlock a child, and CPython 3.12+ warns of it (here an error)."""
    script = textwrap.dedent("""
        import io, threading, warnings
        warnings.simplefilter("error", DeprecationWarning)
        from quorlin.batch import run_batch

        class Terminal(io.StringIO):
            def isatty(self):
                return True

        lines = [b'{"elements": [{"id": %d, "box": [0, 0, 10, 10]}]}\\n' % i for i in range(8)]
        err = Terminal()
        failed = run_batch("p.jsonl", lines, io.StringIO(), err, jobs=2, total=8)
        print(failed, threading.active_count(), "8/8" in err.getvalue())
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["0", "1", "True"]


def test_order_command_on_json_lines(tmp_path):
    source = tmp_path / "pages.jsonl"
    source.write_bytes(b"".join(mixed_lines()))
    out = tmp_path / "ordered.jsonl"
    result = run_cli("order", str(source), "--jobs", "2", "-o", str(out))
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == "quorlin: 4 pages failed"
    assert "Traceback" not in result.stderr and "\r" not in result.stderr  # no bar when stderr is a pipe
    assert len(out.read_text().splitlines()) == len(PAGES)
    good = tmp_path / "good.jsonl"
    good.write_bytes(b"\n".join(PAGES[:3]))
    assert run_cli("order", str(good)).stdout.splitlines() == [expected_output(p) for p in PAGES[:3]]


def test_real_pages_in_two_processes(tmp_path):
    pages = REALDATA / "pages.jsonl"
    if not pages.exists():
        pytest.skip(f"{pages} is not present")
    out = io.StringIO()
    with pages.open("rb") as lines:
        assert run_batch(str(pages), lines, out, io.StringIO(), jobs=2) == 0
    records = [json.loads(line) for line in out.getvalue().splitlines()]
    assert len(records) == 200
    for record in records:
        ordered = {e["id"] for e in record["elements"] if e["type"] not in ("SeparatorRegion", "NoiseRegion")}
        assert sorted(record["order"]) == sorted(ordered)


def test_dask_recipe_on_the_local_scheduler(tmp_path):
    bag = pytest.importorskip("dask.bag", reason="dask is not installed (optional extra: pip install quorlin[dask])")
    source = tmp_path / "pages.jsonl"
    source.write_bytes(b"\n".join(PAGES) + b"\n")
    # the recipe from the README
    pages = bag.read_text(str(source)).map(json.loads)
    orders = pages.map(quorlin.order_page).pluck("order")
    result = orders.compute(scheduler="processes", num_workers=2)
    assert result == [quorlin.order_page(json.loads(p))["order"] for p in PAGES]


@pytest.mark.skipif(sys.platform == "win32", reason="select() on a pipe")
def test_a_pipe_gets_each_pages_order_before_the_next_page_is_sent():
    """A program that sends a page and waits for its order before it sends the next: the head of the input
    (64 KiB, to tell its format) was read before ordering began, so such a pipe waited for ever."""
    import select

    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    process = subprocess.Popen([sys.executable, "-m", "quorlin", "order", "-", "--format", "jsonl"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        for page in PAGES[:2]:
            process.stdin.write(page + b"\n")
            process.stdin.flush()
            ready, _, _ = select.select([process.stdout], [], [], 30)
            assert ready, "no order within 30 s of the page"
            assert json.loads(process.stdout.readline())["order"]
    finally:
        process.stdin.close()
        process.stdout.read()
        process.stderr.read()
        process.wait(timeout=30)
    assert process.returncode == 0
