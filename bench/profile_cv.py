#!/usr/bin/env python3
"""The quality profile measured on every page collection of bench/data:
per-collection tables of the exact order, the default and each step off,
leave-one-collection-out and split-half cross-validation, as Markdown.

    python bench/profile_cv.py                 # every table (a few minutes)
    python bench/profile_cv.py --default-only  # the default and exact orders per collection

Every page is ordered as ``quorlin eval`` orders it: the regions of its order,
with the page's separators as evidence (never ordered), its size as the page
bounds and each region's kind (class name or region type) as its label;
every score is :mod:`quorlin.evaluation`'s (mean Kendall tau / share of pages
in exactly the given order).

The collections: the real pages of ``pages.jsonl`` (``reichsanzeiger``,
``dta-structure``), the same pages as text lines (``pages_lines.jsonl``,
``*-lines``) and the GENERATED born-digital pages, as regions
(``generated-*``), as a detector would deliver them (``generated-detected-*``)
and as text lines (``generated-lines-*``).  The variants of a real
collection, or of a kind of generated document, are the same pages, so the
cross-validation leaves them out together: its folds are the two real
collections (with their lines) and the seven kinds of generated document.

Leave-one-collection-out: for each fold, every combination of the tuned
parameters' grid is scored on the other folds' collections; the best has the
highest mean over those collections of their mean tau (each collection
weighs the same), rounded to three decimals, then the highest mean exact
share, then comes first in grid order; the fold's collections are scored with
it.  Split-half: the pages grouped by work (a book, a newspaper issue, a
generated document), each collection's works shuffled with
``random.Random(20250101)`` and dealt to the half with fewer pages so far;
each half is scored with the parameters chosen on the other (the real
pages as lines go to the half of the same pages as regions).
"""

from __future__ import annotations

import argparse
import itertools
import json
import random
import re
import sys
from collections import defaultdict
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import quorlin
from quorlin.evaluation import kendall_tau
from quorlin.formats import page_from_json

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench" / "data"
#: (file, how its collections are named)
FILES = (("pages.jsonl", ""), ("pages_lines.jsonl", ""), ("born_digital.jsonl", ""),
         ("born_digital_detected.jsonl", ""), ("born_digital_lines.jsonl", "generated-lines-"))
SPLIT_SEED = 20250101

#: The tuned parameters and their grid.
#: tol_y keeps 0.005, which every fold of a grid over (0.0025, 0.005, 0.01)
#: chose; tol_x 0.03 and shrink_share 0.1 and 0.2 were never chosen either.
GRID: dict[str, tuple[float, ...]] = {
    "tol_x": (0.01, 0.02),
    "tol_y": (0.005,),
    "shrink_share": (0.3, 0.5),
    "margin_max": (0.15, 0.25),
    "overlap_share": (0.0, 0.05, 0.2),
    "aligned_share": (0.3, 0.5, 0.8),
    "article_span": (1.0, 1.2, 1.5),
    "band_min": (0.005, 0.0075, 0.01),
    "band_ratio": (2.0, 3.0, 4.0),
}

#: The step switches, each switched off in the ablation, and what it is.
STEPS = (("spread", "two-page spread split"), ("rules", "separator rules"), ("tolerance", "tolerance (shrink)"),
         ("top_strip", "top strip first"), ("margins", "marginal notes"), ("foot_line", "foot line of a landscape page"),
         ("labels", "labels (all their steps)"), ("furniture", "labels: page furniture"),
         ("footnotes", "labels: footnotes"), ("captions", "labels: captions"), ("initials", "labels: drop capitals"),
         ("articles", "labels: rows of articles"), ("bands", "rows set apart by a clear band"),
         ("scale", "scale of a short page for the core"), ("gutters", "labels: walls down two columns' gutter"))

Input = tuple[list[Any], list[Any], list[str], Any, list[Any]]


def say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


class Corpus:
    """Every page as eval orders it, with its order and collection."""

    def __init__(self, data: Path = DATA) -> None:
        self.raw: list[dict[str, Any]] = []
        self.collection: list[str] = []
        self.inputs: list[Input] = []
        for name, prefix in FILES:
            path = data / name
            if not path.exists():
                say(f"profile_cv.py: {path} not found, left out")
                continue
            for line in path.read_text(encoding="utf-8").splitlines():
                if not line.strip():
                    continue
                p = json.loads(line)
                page = page_from_json(p, p.get("source", "<page>"))
                wanted = set(p["gt_order"])
                regions = [r for r in page.regions if r.id in wanted]
                self.raw.append(p)
                self.collection.append(p["collection"].replace("generated-", prefix, 1) if prefix
                                       else p["collection"])
                self.inputs.append(([r.box for r in regions], [r.id for r in regions],
                                    [r.kind or str(r.label) for r in regions], page.bounds,
                                    [r.box for r in page.separators]))
        self.collections = sorted(set(self.collection), key=lambda c: (c.startswith("generated"), c))

    def score(self, i: int, order: list[Any]) -> tuple[float, bool]:
        tau, exact, _ = kendall_tau(order, self.raw[i]["gt_order"], self.raw[i].get("gt_chains"))
        return tau, exact

    def default(self, i: int, exact: bool = False, sized: bool = True) -> list[Any]:
        """The order quorlin.order gives; not ``sized``: without the page bounds, as a caller who does not
        know the page's size calls it (the boxes' union is then the page)."""
        boxes, ids, kinds, bounds, separators = self.inputs[i]
        return quorlin.order(boxes, None if exact else kinds, ids, page_bounds=bounds if sized else None,
                             separators=separators, exact=exact)

    def profile(self, i: int, options: Any) -> list[Any]:
        from quorlin.profile import order as profile_order

        boxes, ids, kinds, bounds, separators = self.inputs[i]
        return profile_order(boxes, ids, page_bounds=bounds, separators=separators, options=options, labels=kinds)

    def per_page(self, order: Callable[[int], list[Any]]) -> list[tuple[float, bool]]:
        """(tau, exact) of every page."""
        return [self.score(i, order(i)) for i in range(len(self.raw))]

    def summary(self, scores: list[tuple[float, bool]],
                pages: Sequence[int] | None = None) -> dict[str, tuple[float, float]]:
        """{collection: (mean tau, exact share)} of some pages' scores."""
        sums: dict[str, list[float]] = defaultdict(lambda: [0.0, 0.0, 0.0])
        for i in range(len(self.raw)) if pages is None else pages:
            tau, exact = scores[i]
            s = sums[self.collection[i]]
            s[0] += tau
            s[1] += exact
            s[2] += 1
        return {c: (s[0] / s[2], s[1] / s[2]) for c, s in sums.items()}

    def per_collection(self, order: Callable[[int], list[Any]]) -> dict[str, tuple[float, float]]:
        return self.summary(self.per_page(order))


def fold_of(collection: str) -> str:
    """The cross-validation fold: a real collection, or a kind of generated document."""
    return re.sub(r"^generated-(detected-|lines-)?", "generated-", collection).removesuffix("-lines")


def work_of(page: dict[str, Any]) -> str:
    """The book, newspaper issue or generated document a page belongs to."""
    source = str(page["source"])
    collection = str(page["collection"]).removesuffix("-lines")
    if collection == "dta-structure":
        return "dta:" + source.split(":", 1)[1].split("/")[1]
    if collection == "reichsanzeiger":
        return "ra:" + "_".join(source.rsplit("/", 1)[-1].split("_")[:2])
    return "doc:" + source.split(" (page", 1)[0]


def split_halves(corpus: Corpus) -> tuple[list[int], list[int]]:
    rng = random.Random(SPLIT_SEED)
    a: list[int] = []
    b: list[int] = []
    for collection in corpus.collections:
        if collection.endswith("-lines") and not collection.startswith("generated"):
            continue  # the real pages as lines go with the same pages as regions, below
        groups: dict[str, list[int]] = defaultdict(list)
        for i, c in enumerate(corpus.collection):
            if c == collection:
                groups[work_of(corpus.raw[i])].append(i)
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
    half_of = {corpus.raw[i]["source"]: half for half in (a, b) for i in half}
    for i, c in enumerate(corpus.collection):
        if c.endswith("-lines") and not c.startswith("generated"):
            half_of[corpus.raw[i]["source"]].append(i)
    return sorted(a), sorted(b)


def heading(title: str) -> None:
    """A table's heading, and the line that marks the generated collections."""
    print(f"## {title} (mean tau / exact share)\n")
    print("GENERATED: every collection whose name starts with `generated-` is generated, not annotated by people.\n")


def cell(value: tuple[float, float] | None) -> str:
    return "-" if value is None else f"{value[0]:.3f} / {value[1]:.3f}"


def table(corpus: Corpus, columns: list[tuple[str, dict[str, tuple[float, float]]]]) -> None:
    print("| collection | " + " | ".join(name for name, _ in columns) + " |")
    print("|" + " --- |" * (len(columns) + 1))
    for c in corpus.collections:
        pages = corpus.collection.count(c)
        print(f"| {c} ({pages}) | " + " | ".join(cell(values.get(c)) for _, values in columns) + " |")
    print()


def macro(values: dict[str, tuple[float, float]], collections: Sequence[str]) -> tuple[float, float]:
    chosen = [values[c] for c in collections if c in values]
    return sum(v[0] for v in chosen) / len(chosen), sum(v[1] for v in chosen) / len(chosen)


def multi_column_table(corpus: Corpus) -> None:
    """Mean tau / exact share over the generated multi-column pages (a page's ``multi_column``, or more than
    one column), per variant, exact beside default."""
    variants = (("regions", "generated-"), ("detector-like", "generated-detected-"), ("text lines", "generated-lines-"))
    orders = (("exact", lambda i: corpus.default(i, exact=True)), ("default", corpus.default))
    print("GENERATED multi-column pages (mean tau / exact share):\n")
    print("| variant | pages | " + " | ".join(name for name, _ in orders) + " |")
    print("| --- | --- | " + " | ".join("---" for _ in orders) + " |")
    for name, prefix in variants:
        pages = [i for i, raw in enumerate(corpus.raw)
                 if raw.get("generated") and corpus.collection[i].startswith(prefix)
                 and not any(corpus.collection[i].startswith(p) for _, p in variants if len(p) > len(prefix))
                 and (raw["multi_column"] if "multi_column" in raw else raw.get("columns", 1) > 1)]
        cells = []
        for _, order in orders:
            scores = [corpus.score(i, order(i)) for i in pages]
            tau, exact = (sum(s[j] for s in scores) / len(scores) for j in (0, 1))
            cells.append(f"{tau:.3f} / {exact:.3f}")
        print(f"| {name} | {len(pages)} | " + " | ".join(cells) + " |")
    print()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--default-only", action="store_true",
                        help="only the default and exact orders per collection (runs with any build)")
    parser.add_argument("--data", type=Path, default=DATA, metavar="DIR",
                        help="the page files' folder (default: bench/data); with --default-only, pages that no "
                             "table was tuned on, such as generated ones of other seeds")
    args = parser.parse_args(argv)
    if args.data != DATA and not args.default_only:
        parser.error("--data goes with --default-only: the parameters are chosen on bench/data alone")
    corpus = Corpus(args.data)
    exact = corpus.per_collection(lambda i: corpus.default(i, exact=True))
    default = corpus.per_collection(corpus.default)
    unsized = corpus.per_collection(lambda i: corpus.default(i, sized=False))
    if args.default_only:
        print(f"## Default and exact order per collection (quorlin {quorlin.__version__})\n")
        table(corpus, [("exact", exact), ("default", default), ("default without the page bounds", unsized)])
        multi_column_table(corpus)
        return 0

    from quorlin.profile import DEFAULT_OPTIONS

    heading("Default against exact, and each step off")
    def with_options(options: Any) -> dict[str, tuple[float, float]]:
        return corpus.per_collection(lambda i: corpus.profile(i, options))

    columns = [("exact (`--exact`)", exact), ("**default**", default)]
    for key, label in STEPS:
        say(f"ablation: {key}")
        columns.append((f"without {label}", with_options(DEFAULT_OPTIONS.replace(**{key: False}))))
    say("ablation: shrink_share")
    columns.append(("shrink of heights not capped", with_options(DEFAULT_OPTIONS.replace(shrink_share=1000.0))))
    say("ablation: evidence for the shrink")
    columns.append(("shrink without evidence (every page)",
                    with_options(DEFAULT_OPTIONS.replace(aligned_share=1000.0))))
    columns.append(("no step (= the core)", with_options(DEFAULT_OPTIONS.replace(**{key: False for key, _ in STEPS}))))
    table(corpus, columns[:7])
    table(corpus, columns[:2] + columns[7:])
    multi_column_table(corpus)
    print("## Without the page bounds\n")
    print("`quorlin.order` called without `page_bounds`, as by a caller who does not know the page's size: "
          "the union of the boxes is then the page (the exact order reads no page bounds).\n")
    table(corpus, columns[:2] + [("default without the page bounds", unsized)])

    keys = list(GRID)
    configs: list[dict[str, Any]] = [dict(zip(keys, values)) for values in itertools.product(*(GRID[k] for k in keys))]
    say(f"grid: {len(configs)} configurations on every page")
    def scores_with(options: Any) -> list[tuple[float, bool]]:
        return corpus.per_page(lambda i: corpus.profile(i, options))

    page_scores = []
    for n, config in enumerate(configs):
        page_scores.append(scores_with(DEFAULT_OPTIONS.replace(**config)))
        if n % 10 == 9:
            say(f"  {n + 1} / {len(configs)}")
    results = [corpus.summary(scores) for scores in page_scores]

    def best(collections: Sequence[str]) -> int:
        scored = [macro(r, collections) for r in results]
        return max(range(len(configs)), key=lambda j: (round(scored[j][0], 3), scored[j][1], -j))

    folds = sorted({fold_of(c) for c in corpus.collections}, key=lambda f: (f.startswith("generated"), f))
    held: dict[str, tuple[float, float]] = {}
    print("## Leave one collection out\n")
    print("Each fold (a real collection, or a kind of generated document with its detected and line variants) "
          "is scored with the parameters chosen on all the others; grid: "
          + "; ".join(f"{k} {list(GRID[k])}" for k in keys) + ".\n")
    print("| left out | " + " | ".join(keys) + " | its collections: held out (default) |")
    print("|" + " --- |" * (len(keys) + 2))
    for fold in folds:
        inside = [c for c in corpus.collections if fold_of(c) == fold]
        j = best([c for c in corpus.collections if fold_of(c) != fold])
        for c in inside:
            held[c] = results[j][c]
        print(f"| {fold} | " + " | ".join(f"{configs[j][k]:g}" for k in keys) + " | "
              + "; ".join(f"{c}: {cell(results[j][c])} ({cell(default[c])})" for c in inside) + " |")
    print()
    table(corpus, [("exact", exact), ("default", default), ("held out (LOCO)", held)])

    a, b = split_halves(corpus)
    print("## Split-half\n")
    print(f"Half A {len(a)} pages, half B {len(b)} pages, grouped by work or generated document, seed {SPLIT_SEED}.\n")
    halves = {"A": a, "B": b}
    per_half = {name: [corpus.summary(scores, idx) for scores in page_scores] for name, idx in halves.items()}
    default_scores = corpus.per_page(corpus.default)
    chosen = {}
    for name in halves:
        scored = [macro(r, corpus.collections) for r in per_half[name]]
        chosen[name] = max(range(len(configs)), key=lambda j: (round(scored[j][0], 3), scored[j][1], -j))
    print("| chosen on | " + " | ".join(keys) + " |\n|" + " --- |" * (len(keys) + 1))
    for name in halves:
        print(f"| half {name} | " + " | ".join(f"{configs[chosen[name]][k]:g}" for k in keys) + " |")
    print("| defaults | " + " | ".join(f"{getattr(DEFAULT_OPTIONS, k):g}" for k in keys) + " |\n")
    table(corpus, [("half A, chosen on B", per_half["A"][chosen["B"]]),
                   ("half A, default", corpus.summary(default_scores, a)),
                   ("half B, chosen on A", per_half["B"][chosen["A"]]),
                   ("half B, default", corpus.summary(default_scores, b))])
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
