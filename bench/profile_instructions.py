#!/usr/bin/env python3
"""What the quality profile costs against the exact order, in instructions, in one run.

    .venv/bin/python bench/profile_instructions.py            # about five minutes; needs valgrind
    .venv/bin/python bench/profile_instructions.py --runs 2   # quicker, as exact
    .venv/bin/python bench/profile_instructions.py --by-collection   # the labelled call per collection too
    .venv/bin/python bench/profile_instructions.py --steps   # what each step of the profile costs

Prints a Markdown table (progress on stderr); not a test.  The calls of
``profile_cost.py``'s first three rows (the 200 pages of
``bench/data/pages.jsonl``, every region but separators and noise, as float32
N x 4 arrays built beforehand) are counted by valgrind's callgrind, which
counts the same instructions for the same binary, inputs and environment
whatever else the machine is doing, where a timed ratio moves by 0.1 or more
from run to run.  Each count is a child process that builds the pages, calls
every path once on every page (so that what is done once per process, imports
and caches, is out of the count), then calls one path ``--runs`` times over
all pages; a child that stops before those calls is subtracted, and the rest
divided by the calls made.  ``--steps`` counts the profile's native call with
every step, with each step switched off, and with none, each call passing
every switch (on or off) so that the counts parse the same settings.  The
children run with ``PYTHONHASHSEED=0``,
``OPENBLAS_NUM_THREADS=1`` (NumPy's BLAS threads otherwise spin for a number
of instructions that depends on timing) and, where ``setarch -R`` works,
without address randomisation.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from report import header, say  # noqa: E402

import layouts  # noqa: E402

# Each row's key and the call it counts, once exact and once with the profile.
ROWS = {
    "labels": "`quorlin.order(array, labels, page_bounds=, separators=)`",
    "separators": "`quorlin.order(array, page_bounds=, separators=)`",
    "bounds": "`quorlin.order(array, page_bounds=)`, no separators",
}


def real_pages() -> list[dict[str, object]]:
    """The real pages of ``pages.jsonl``, as JSON objects."""
    return [json.loads(line) for line in Path(layouts.REALDATA).read_text(encoding="utf-8").splitlines()
            if line.strip()]


def switches() -> list[str]:
    """The profile's step switches, in the order of its settings table."""
    from quorlin import _native

    return [name for name, kind, *_ in _native.PROFILE_SETTINGS if kind == "switch"]


def child(mode: str, runs: int, collection: str | None) -> None:
    """The calls counted: `mode` is "none", "ROW:exact" / "ROW:profile", or "step:NAME" / "step:" /
    "step:*" (the profile's native call with the switch NAME off, with every step, or with none), on the
    pages of `collection` (all when None)."""
    import numpy as np

    import quorlin
    from quorlin import _native
    from quorlin.formats import page_from_json
    from quorlin.ordering import LABEL_CODES, label_list

    raw = [p for p in real_pages() if collection is None or p.get("collection") == collection]
    pages = [page_from_json(p) for p in raw]
    arrays = [np.array([r.box for r in p.regions], dtype=np.float32).reshape(-1, 4) for p in pages]
    kinds = [[r.kind or r.label for r in p.regions] for p in pages]
    bounds = [p.bounds for p in pages]
    separators = [[r.box for r in p.separators] for p in pages]

    labels = [label_list(k) for k in kinds]

    def step(name: str) -> None:
        # Every switch passed on every call, so that each count parses the
        # same settings: all on but `name`, all off for "*".
        settings = {n: name != "*" and n != name for n in switches()}
        for a, k, b, s in zip(arrays, labels, bounds, separators):
            _native.order(a, False, "quality", b, s, settings, None, None, k, LABEL_CODES)

    def call(row: str, exact: bool) -> None:
        for a, k, b, s in zip(arrays, kinds, bounds, separators):
            if row == "labels":
                quorlin.order(a, k, page_bounds=b, separators=s, exact=exact)
            elif row == "separators":
                quorlin.order(a, page_bounds=b, separators=s, exact=exact)
            else:
                quorlin.order(a, page_bounds=b, exact=exact)

    for row in ROWS:
        for exact in (True, False):
            call(row, exact)
    if mode.startswith("step:"):
        # One call over the pages more than `runs`: the warm-up of this
        # path, which the baseline child does not make.
        for _ in range(runs + 1):
            step(mode[5:])
    elif mode != "none":
        row, how = mode.split(":")
        for _ in range(runs):
            call(row, how == "exact")
    print(len(pages))


def count(mode: str, runs: int, collection: str | None = None) -> tuple[int, int]:
    """(instructions, pages) of a child."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                   str(Path(__file__).resolve()), "--child", mode, "--runs", str(runs)]
        if collection is not None:
            command += ["--collection", collection]
        if shutil.which("setarch") and subprocess.run(["setarch", "-R", "true"], capture_output=True).returncode == 0:
            command = ["setarch", "-R", *command]
        env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
        done = subprocess.run(command, capture_output=True, text=True, env=env, check=True)
        total = re.search(r"Collected : (\d+)", done.stderr)
        if total is None:
            raise SystemExit(f"profile_instructions.py: no count from valgrind:\n{done.stderr[-2000:]}")
        return int(total[1]), int(done.stdout.split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--runs", type=int, default=5, help="calls over all pages per count (default 5)")
    parser.add_argument("--by-collection", action="store_true",
                        help="count the labelled call on the pages of each collection too")
    parser.add_argument("--steps", action="store_true",
                        help="count the profile's native call with each step switched off too")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--collection", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.runs, args.collection)
        return
    if shutil.which("valgrind") is None:
        raise SystemExit("profile_instructions.py: needs valgrind (apt-get install valgrind)")
    header(f".venv/bin/python bench/profile_instructions.py --runs {args.runs}"
           + (" --by-collection" if args.by_collection else "") + (" --steps" if args.steps else ""),
           "valgrind callgrind")
    say("count: none")
    base, pages = count("none", args.runs)
    calls = args.runs * pages
    print(f"The {pages} pages of `pages.jsonl`, {args.runs} calls of each page per count; instructions per page "
          "(thousands).\n")
    print("| call | exact | profile | profile ÷ exact |")
    print("|---|---|---|---|")
    for row, name in ROWS.items():
        per = {}
        for how in ("exact", "profile"):
            say(f"count: {row} {how}")
            per[how] = (count(f"{row}:{how}", args.runs)[0] - base) / calls
        print(f"| {name} | {per['exact'] / 1000:.1f}k | {per['profile'] / 1000:.1f}k | "
              f"{per['profile'] / per['exact']:.3f}× |")
    if args.steps:
        steps(base, pages, args.runs)
    if not args.by_collection:
        return
    # The same labelled call on each collection's pages alone, each with a
    # baseline of its own: where the profile's work lies.
    print(f"\n{ROWS['labels']} on the pages of each collection:\n")
    print("| collection | pages | exact | profile | profile ÷ exact |")
    print("|---|---|---|---|---|")
    for collection in sorted({str(p.get("collection", "")) for p in real_pages()}):
        say(f"count: {collection}")
        base, pages = count("none", args.runs, collection)
        per = {how: (count(f"labels:{how}", args.runs, collection)[0] - base) / (args.runs * pages)
               for how in ("exact", "profile")}
        print(f"| {collection} | {pages} | {per['exact'] / 1000:.1f}k | {per['profile'] / 1000:.1f}k | "
              f"{per['profile'] / per['exact']:.3f}× |")


def steps(base: int, pages: int, runs: int) -> None:
    """The table of what each step costs: the native call with every step, with each switched off, and
    with none (a step child calls each of its `pages` runs + 1 times)."""
    def per_page(mode: str) -> float:
        say(f"count: {mode}")
        return (count(mode, runs)[0] - base) / ((runs + 1) * pages)

    every = per_page("step:")
    print("\nThe profile's native call, `quorlin._native.order(array, ..., labels=)` with every step switch "
          "passed (on, but the one each row names), on the same pages; instructions per page (thousands). A "
          "step costs what its row saves against the first (a negative saving: the step makes later work "
          "smaller).\n")
    print("| steps | profile | saved |")
    print("|---|---|---|")
    print(f"| every step | {every / 1000:.1f}k | |")
    for name in switches():
        off = per_page(f"step:{name}")
        print(f"| without `{name}` | {off / 1000:.1f}k | {(every - off) / 1000:+.1f}k |")
    none = per_page("step:*")
    print(f"| without any step | {none / 1000:.1f}k | {(every - none) / 1000:+.1f}k |")


if __name__ == "__main__":
    main()
