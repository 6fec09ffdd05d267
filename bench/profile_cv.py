#!/usr/bin/env python3
"""The quality profile measured on real pages: split-half cross-validation,
the benchmark table and the ablation table, as Markdown.

    python bench/profile_cv.py [bench/data/pages.jsonl]

Every page is ordered as ``quorlin eval`` orders it: the regions of the human
order, with the page's separators as evidence (never ordered) and its size as
the page bounds; every score is :mod:`quorlin.evaluation`'s (mean Kendall tau /
share of pages in exactly the human order).

Split-half cross-validation: the pages are grouped by work (a book, or a
newspaper issue), so that no work has pages in both halves; per collection
the sorted work names are shuffled with ``random.Random(20250101)`` and each
work in turn goes to the half that has fewer pages of that collection so far
(ties: half A).  On each half every combination of the tuned parameters'
grid is scored; the best has the highest mean tau rounded to three decimals,
then the highest exact share, then comes first in grid order.  Each half is
then scored with the parameters chosen on the other (held out), and the two
held-out halves are pooled.  The sensitivity table moves each parameter
alone, the others at the defaults, fixed ones included.

The ablation switches one step of the profile off at a time, and counts the
pages whose order that changes.
"""

from __future__ import annotations

import argparse
import itertools
import json
import random
import sys
from collections import defaultdict
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from quorlin.evaluation import PageScore, Summary, kendall_tau, score_page, summarise
from quorlin.formats import page_from_json
from quorlin.profile import DEFAULT_OPTIONS, ProfileOptions
from quorlin.profile import order as profile_order

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_PAGES = ROOT / "bench" / "data" / "pages.jsonl"
SPLIT_SEED = 20250101
COLLECTIONS = ("reichsanzeiger", "dta-structure")
NAMES = {"reichsanzeiger": "newspapers", "dta-structure": "books"}

#: The parameters chosen by cross-validation, and their grid.
GRID: dict[str, tuple[float, ...]] = {
    "tol_x": (0.01, 0.015, 0.02, 0.025, 0.03),
    "tol_y": (0.0025, 0.005, 0.0075, 0.01),
    "margin_max": (0.15, 0.25, 0.35),
}
#: The fixed parameters, each moved alone in the sensitivity table.
FIXED_GRID: dict[str, tuple[float, ...]] = {
    "spread_window": (0.05, 0.1, 0.15),
    "top_strip_max": (0.02, 0.05, 0.1),
    "body_fraction": (0.33, 0.5, 0.67),
    "rule_min_length": (0.1, 0.25, 0.5),
    "rule_edge": (0.1, 0.25, 0.4),
}

STEPS = (("spread", "two-page spread split"), ("rules", "separator rules"), ("tolerance", "tolerance (shrink)"),
         ("top_strip", "top strip first"), ("margins", "marginal notes"))


class Corpus:
    """The pages as eval orders them, with their ground truth."""

    def __init__(self, path: Path) -> None:
        self.raw = [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]
        self.inputs = []
        for p in self.raw:
            page = page_from_json(p, p.get("source", "<page>"))
            wanted = set(p["gt_order"])
            regions = [r for r in page.regions if r.id in wanted]
            self.inputs.append(([r.box for r in regions], [r.id for r in regions], page.bounds,
                                [r.box for r in page.separators]))

    def __len__(self) -> int:
        return len(self.raw)

    def order(self, options: ProfileOptions, i: int,
              tweak: Callable[[int, ProfileOptions], ProfileOptions] | None = None) -> list[Any]:
        """The profile's order of page i (its region ids) with these options."""
        boxes, ids, bounds, separators = self.inputs[i]
        opt = tweak(i, options) if tweak else options
        return profile_order(boxes, ids, page_bounds=bounds, separators=separators, options=opt)

    def scores(self, options: ProfileOptions, pages: Sequence[int],
               tweak: Callable[[int, ProfileOptions], ProfileOptions] | None = None) -> list[PageScore]:
        out = []
        for i in pages:
            predicted = self.order(options, i, tweak)
            p = self.raw[i]
            out.append(score_page(predicted, p["gt_order"], p.get("gt_chains"), page=str(i),
                                  collection=p.get("collection")))
        return out

    def mean(self, options: ProfileOptions, pages: Sequence[int]) -> tuple[float, float]:
        """(mean tau, exact share) of some pages: the grid search's score."""
        taus = exacts = 0.0
        for i in pages:
            boxes, ids, bounds, separators = self.inputs[i]
            predicted = profile_order(boxes, ids, page_bounds=bounds, separators=separators, options=options)
            tau, exact, _ = kendall_tau(predicted, self.raw[i]["gt_order"], self.raw[i].get("gt_chains"))
            taus += tau
            exacts += exact
        return taus / len(pages), exacts / len(pages)


def work_of(page: dict[str, Any]) -> str:
    """The book or newspaper issue a page belongs to."""
    source = str(page["source"])
    if page["collection"] == "dta-structure":
        return "dta:" + source.split(":", 1)[1].split("/")[1]
    return "ra:" + "_".join(source.rsplit("/", 1)[-1].split("_")[:2])


def split_halves(raw: list[dict[str, Any]]) -> tuple[list[int], list[int]]:
    rng = random.Random(SPLIT_SEED)
    a: list[int] = []
    b: list[int] = []
    for collection in COLLECTIONS:
        groups: dict[str, list[int]] = defaultdict(list)
        for i, p in enumerate(raw):
            if p["collection"] == collection:
                groups[work_of(p)].append(i)
        works = sorted(groups)
        rng.shuffle(works)
        in_a = in_b = 0
        for work in works:
            if in_a <= in_b:
                a += groups[work]
                in_a += len(groups[work])
            else:
                b += groups[work]
                in_b += len(groups[work])
    return sorted(a), sorted(b)


def cell(summary: Summary | None) -> str:
    return "-" if summary is None else f"{summary.mean_tau:.3f} / {summary.exact_rate:.3f}"


def cells(scores: list[PageScore]) -> list[str]:
    s = summarise(scores)
    return [cell(s.overall)] + [cell(s.collections.get(c)) for c in COLLECTIONS]


def say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


SHRUNK = ProfileOptions(tol_x=0.01, tol_y=0.005, spread=False, rules=False, top_strip=False, margins=False)
CORE = ProfileOptions(spread=False, rules=False, tolerance=False, top_strip=False, margins=False)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pages", nargs="?", type=Path, default=DEFAULT_PAGES, help="pages.jsonl with gt_order")
    args = parser.parse_args(argv)
    corpus = Corpus(args.pages)
    every = list(range(len(corpus)))
    a, b = split_halves(corpus.raw)
    halves = {"A": a, "B": b}

    def count(idx: list[int], collection: str) -> int:
        return sum(corpus.raw[i]["collection"] == collection for i in idx)

    keys = list(GRID)
    configs = [dict(zip(keys, values)) for values in itertools.product(*(GRID[k] for k in keys))]
    say(f"grid search: {len(configs)} configurations on each half")
    results = {name: [corpus.mean(DEFAULT_OPTIONS.replace(**c), idx) for c in configs] for name, idx in halves.items()}

    def best(name: str) -> int:
        return max(range(len(configs)), key=lambda j: (round(results[name][j][0], 3), results[name][j][1], -j))

    chosen = {name: configs[best(name)] for name in halves}
    defaults = {k: getattr(DEFAULT_OPTIONS, k) for k in keys}

    print(f"## Split-half cross-validation ({len(configs)} configurations per half)\n")
    print(f"Half A: {len(a)} pages ({count(a, 'reichsanzeiger')} newspapers, {count(a, 'dta-structure')} books); "
          f"half B: {len(b)} pages ({count(b, 'reichsanzeiger')} newspapers, {count(b, 'dta-structure')} books). "
          f"Grouped by work (book / newspaper issue), stratified by collection, seed {SPLIT_SEED}. Grid: "
          + "; ".join(f"{k} {list(GRID[k])}" for k in keys) + ".\n")
    print("| chosen on | " + " | ".join(keys) + " | training mean tau / exact |")
    print("|" + " --- |" * (len(keys) + 2))
    for name in halves:
        tau, exact = results[name][configs.index(chosen[name])]
        print(f"| half {name} | " + " | ".join(f"{chosen[name][k]:g}" for k in keys) + f" | {tau:.3f} / {exact:.3f} |")
    print("| defaults | " + " | ".join(f"{defaults[k]:g}" for k in keys) + " | - |\n")
    for name in halves:
        tau, exact = results[name][configs.index(defaults)]
        print(f"On half {name} the defaults score {tau:.3f} / {exact:.3f}.")
    print()

    held_out = {"B": corpus.scores(DEFAULT_OPTIONS.replace(**chosen["A"]), b),
                "A": corpus.scores(DEFAULT_OPTIONS.replace(**chosen["B"]), a)}
    print("## Benchmark: mean tau / exact share, regions of the human order\n")
    print("| ordering | pages | all | newspapers | books |\n| --- | --- | --- | --- | --- |")
    for label, options in (("the core (`--exact`)", CORE), ("the core after a 1 % / 0.5 % shrink", SHRUNK),
                           ("**quality profile** (defaults)", DEFAULT_OPTIONS)):
        for where, idx in ((f"all {len(every)}", every), ("half A", a), ("half B", b)):
            print(f"| {label} | {where} | " + " | ".join(cells(corpus.scores(options, idx))) + " |")
    print("| profile, chosen on B | half A (held out) | " + " | ".join(cells(held_out["A"])) + " |")
    print("| profile, chosen on A | half B (held out) | " + " | ".join(cells(held_out["B"])) + " |")
    print("| profile, held out | both halves pooled | " + " | ".join(cells(held_out["A"] + held_out["B"])) + " |")
    print()

    print("## Sensitivity: one parameter moved, the others at the defaults; mean tau / exact on half A | half B\n")
    print("| parameter | value | half A | half B |\n| --- | --- | --- | --- |")
    for key, values in list(GRID.items()) + list(FIXED_GRID.items()):
        for value in values:
            options = DEFAULT_OPTIONS.replace(**{key: value})
            marks = " (default)" if value == getattr(DEFAULT_OPTIONS, key) else ""
            ra, rb = corpus.mean(options, a), corpus.mean(options, b)
            print(f"| {key} | {value:g}{marks} | {ra[0]:.3f} / {ra[1]:.3f} | {rb[0]:.3f} / {rb[1]:.3f} |")
    print()

    def one_page_tolerance(i: int, options: ProfileOptions) -> ProfileOptions:
        """Without the split, the shrink of a landscape page still from one page's width."""
        x1, y1, x2, y2 = corpus.inputs[i][2]
        return options.replace(tol_x=options.tol_x / 2) if x2 - x1 > y2 - y1 else options

    print("## Ablation: the profile with one step off, mean tau / exact share\n")
    print("Pages changed: the pages whose order differs from the full profile's (newspapers / books), and of those "
          "the pages the step makes better / worse (by tau).\n")
    print("| profile | all | newspapers | books | all, half A | all, half B | pages changed | better / worse |\n"
          "| --- | --- | --- | --- | --- | --- | --- | --- |")
    full = corpus.scores(DEFAULT_OPTIONS, every)
    rows: list[tuple[str, ProfileOptions, Callable[[int, ProfileOptions], ProfileOptions] | None]] = [
        ("all steps", DEFAULT_OPTIONS, None)]
    for key, label in STEPS:
        rows.append((f"without {label}", DEFAULT_OPTIONS.replace(**{key: False}), None))
        if key == "spread":
            rows.append(("without spread split, shrink still from one page's width",
                         DEFAULT_OPTIONS.replace(spread=False), one_page_tolerance))
    rows.append(("only tolerance (+ spread)", DEFAULT_OPTIONS.replace(rules=False, top_strip=False, margins=False),
                 None))
    rows.append(("no step (= the core)", CORE, None))
    for label, options, tweak in rows:
        scores = corpus.scores(options, every, tweak)
        row = cells(scores)
        row += [cell(summarise(corpus.scores(options, idx, tweak)).overall) for idx in (a, b)]
        if label == "all steps":
            row += ["-", "-"]
        else:
            changed = [i for i in every if corpus.order(options, i, tweak) != corpus.order(DEFAULT_OPTIONS, i)]
            counts = " / ".join(str(sum(corpus.raw[i]["collection"] == c for i in changed)) for c in COLLECTIONS)
            better = sum(full[i].tau > scores[i].tau for i in changed)
            worse = sum(full[i].tau < scores[i].tau for i in changed)
            row += [counts, f"{better} / {worse}"]
        print(f"| {label} | " + " | ".join(row) + " |")
    print()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
