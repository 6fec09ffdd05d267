#!/usr/bin/env python3
"""What the quality profile costs against the exact order, in one run.

    .venv/bin/python bench/profile_cost.py            # about ten seconds
    .venv/bin/python bench/profile_cost.py --quick    # fewer repeats

Prints Markdown tables (progress on stderr); not a test.  Each row times the
same input both ways, interleaved (exact, profile, exact, ...), and gives the
median of the runs:

* per real page: the 200 pages of ``bench/data/pages.jsonl`` as ``quorlin
  order`` orders them (every region but separators and noise, the page size
  as bounds, the separators as evidence), as float32 N x 4 arrays built
  beforehand: ``quorlin.order(...)`` against ``quorlin.order(..., exact=True)``,
  with and without the labels and the separators, and the calls of ``quorlin._native``
  alone (the C++ work and the conversion of the arguments);
* large pages: the ``real`` (real pages tiled on a sheet) and ``realistic``
  layouts of ``layouts.py`` at 1,000 and 100,000 boxes, one call per run;
* JSON Lines: ``quorlin.batch.order_lines`` on the real pages five times over
  (1,000 lines), in this process: reading, ordering and writing each line.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import quorlin
from quorlin import _native
from quorlin.batch import order_lines
from quorlin.formats import page_from_json

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import layouts  # noqa: E402
from report import fmt, header, load, say  # noqa: E402
from quorlin.ordering import LABEL_CODES, page_order

REAL = Path(layouts.REALDATA)


def interleaved(exact: Callable[[], object], profile: Callable[[], object], runs: int) -> tuple[float, float]:
    """Median seconds of each, timed alternately after one warm-up of each."""
    exact()
    profile()
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(runs):
        for k, fn in enumerate((exact, profile)):
            t0 = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - t0)
    return statistics.median(times[0]), statistics.median(times[1])


def row(name: str, exact: float, profile: float, per: int = 1) -> str:
    return f"| {name} | {fmt(exact / per)} | {fmt(profile / per)} | {profile / exact:.2f}× |"


def real_pages(runs: int) -> list[str]:
    raw = [json.loads(line) for line in REAL.read_text(encoding="utf-8").splitlines() if line.strip()]
    pages = [page_from_json(p) for p in raw]
    arrays = [np.array([r.box for r in p.regions], dtype=np.float32).reshape(-1, 4) for p in pages]
    bounds = [p.bounds for p in pages]
    separators = [[r.box for r in p.separators] for p in pages]
    kinds = [[r.kind or r.label for r in p.regions] for p in pages]
    for p, a, k in zip(pages, arrays, kinds):  # the arrays give the readers' order
        assert quorlin.order(a, k, [r.id for r in p.regions], page_bounds=p.bounds,
                             separators=[r.box for r in p.separators]) == page_order(p)
    n = len(pages)
    cases = [
        ("`quorlin.order(array, labels, page_bounds=, separators=)`",
         lambda: [quorlin.order(a, k, page_bounds=b, separators=s, exact=True)
                  for a, k, b, s in zip(arrays, kinds, bounds, separators)],
         lambda: [quorlin.order(a, k, page_bounds=b, separators=s)
                  for a, k, b, s in zip(arrays, kinds, bounds, separators)]),
        ("`quorlin.order(array, page_bounds=, separators=)`",
         lambda: [quorlin.order(a, page_bounds=b, separators=s, exact=True)
                  for a, b, s in zip(arrays, bounds, separators)],
         lambda: [quorlin.order(a, page_bounds=b, separators=s) for a, b, s in zip(arrays, bounds, separators)]),
        ("`quorlin.order(array, page_bounds=)`, no separators",
         lambda: [quorlin.order(a, page_bounds=b, exact=True) for a, b in zip(arrays, bounds)],
         lambda: [quorlin.order(a, page_bounds=b) for a, b in zip(arrays, bounds)]),
        ("`quorlin._native.order(array, ..., labels=)` alone, with the separators",
         lambda: [_native.order(a, False, "exact", b, s, labels=k, label_codes=LABEL_CODES)
                  for a, k, b, s in zip(arrays, kinds, bounds, separators)],
         lambda: [_native.order(a, False, "quality", b, s, labels=k, label_codes=LABEL_CODES)
                  for a, k, b, s in zip(arrays, kinds, bounds, separators)]),
        ("`quorlin._native.order(array, ...)` alone, with the separators",
         lambda: [_native.order(a, False, "exact", b, s) for a, b, s in zip(arrays, bounds, separators)],
         lambda: [_native.order(a, False, "quality", b, s) for a, b, s in zip(arrays, bounds, separators)]),
        ("`quorlin._native.order(array)` alone, no separators",
         lambda: [_native.order(a, False, "exact", b) for a, b in zip(arrays, bounds)],
         lambda: [_native.order(a, False, "quality", b) for a, b in zip(arrays, bounds)]),
    ]
    out = [f"The {n} pages of `{REAL.name}`, every region but separators and noise (median "
           f"{statistics.median(len(a) for a in arrays):.0f} per page, separators median "
           f"{statistics.median(len(s) for s in separators):.0f}); time per page, median of {runs} runs over all "
           "pages.\n", "| call | exact | profile | profile ÷ exact |", "|---|---|---|---|"]
    for name, exact, profile in cases:
        say(f"per page: {name}")
        te, tp = interleaved(exact, profile, runs)
        out.append(row(name, te, tp, n))
    return out


def large_pages(runs: int) -> list[str]:
    out = ["One call on one page, median of the runs; float32 N x 4 array built beforehand, page bounds the "
           "boxes' union.\n", "| layout | boxes | exact | profile | profile ÷ exact |", "|---|---|---|---|---|"]
    for layout in ("real", "realistic"):
        for n in (1_000, 100_000):
            say(f"large: {layout} {n}")
            boxes = layouts.make(layout, n)
            arr = np.array([b[1:5] for b in boxes], dtype=np.float32)
            bounds = layouts.bounds_of(boxes)
            te, tp = interleaved(lambda: quorlin.order(arr, page_bounds=bounds, exact=True),
                                 lambda: quorlin.order(arr, page_bounds=bounds),
                                 runs if n < 10_000 else max(3, runs // 3))
            out.append(f"| {layout} | {n:,} | {fmt(te)} | {fmt(tp)} | {tp / te:.2f}× |")
    return out


def json_lines(runs: int) -> list[str]:
    lines = [line.encode("utf-8") for line in REAL.read_text(encoding="utf-8").splitlines() if line.strip()] * 5
    say("JSON Lines")
    te, tp = interleaved(lambda: list(order_lines(lines, exact=True)), lambda: list(order_lines(lines)),
                         max(3, runs // 2))
    return [f"`quorlin.batch.order_lines` on {len(lines):,} lines (the real pages five times), one process.\n",
            "| what | exact | profile | profile ÷ exact |", "|---|---|---|---|",
            row("time per line", te, tp, len(lines))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="fewer runs")
    args = parser.parse_args()
    runs = 5 if args.quick else 11
    started = time.perf_counter()
    header(f".venv/bin/python bench/profile_cost.py{' --quick' if args.quick else ''}", f"NumPy {np.__version__}")
    for title, section in (("Per real page", real_pages), ("Large pages", large_pages), ("JSON Lines", json_lines)):
        print(f"#### {title}\n")
        print("\n".join(section(runs)))
        print()
    print(f"Total time {time.perf_counter() - started:.0f} s; load average at the end: {load()}")


if __name__ == "__main__":
    main()
