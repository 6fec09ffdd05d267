#!/usr/bin/env python3
"""Agreement of quorlin's reading order with human reading order, as a Markdown table.

    python bench/quality.py [bench/data/pages.jsonl] [--scorer PATH/kendall.py]

Scores each ordering on the real pages of ``pages.jsonl`` (by default the copy
in ``bench/data``) with :mod:`quorlin.evaluation`, the scorer of ``quorlin eval``
(Kendall's tau-a against the human order, and the share of pages whose order
is reproduced exactly), over the whole corpus, per collection and split by the
multi-column flag, next to the two trivial baselines "top then left" and
"left then top".  Only the regions of the human order are scored.

Orderings (each of quorlin's twice: the package's default order, the
quality profile, and the core's exact XY-cut, ``--exact``):
  quorlin, regions of the human order
                   what ``quorlin eval`` scores by default: only the regions
                   that the annotators put in the order are ordered (with the
                   page's separators as evidence, never ordered);
  quorlin          the package's order of the whole page: separator and
                   noise regions are left out of the order (as the PAGE-XML
                   reader does), every other region is ordered;
  quorlin, all     every region of the page ordered, separators included;
  top then left    sort by (y1, x1);
  left then top    sort by (x1, y1).

When the corpus's own scorer ``kendall.py`` is at hand (``--scorer``, by
default ``../shared/realdata/kendall.py`` beside the checkout), every page
of every ordering is scored by it too, and the run fails if the two scorers
disagree on any page.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import sys
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import quorlin
from quorlin.evaluation import PageScore, Summary, predict, score_page, summarise
from quorlin.formats import page_from_json

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_PAGES = ROOT / "bench" / "data" / "pages.jsonl"
DEFAULT_SCORER = ROOT.parent / "shared" / "realdata" / "kendall.py"

Page = dict[str, Any]
Ordering = Callable[[Page], list[Any]]


def load_scorer(path: Path) -> ModuleType:
    spec = importlib.util.spec_from_file_location("kendall", path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"quality.py: cannot load the scorer {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def quorlin_human_regions(page: Page, how: str = "default") -> list[Any]:
    return predict(page_from_json(page, page.get("source", "<page>")), page["gt_order"], how)


def quorlin_default(page: Page, how: str = "default") -> list[Any]:
    return predict(page_from_json(page, page.get("source", "<page>")), page["gt_order"], how, all_regions=True)


def quorlin_all_regions(page: Page, how: str = "default") -> list[Any]:
    elements = page["elements"]
    return quorlin.order(
        [(e["x1"], e["y1"], e["x2"], e["y2"]) for e in elements],
        ids=[e["id"] for e in elements],
        page_bounds=(0.0, 0.0, float(page["width"]), float(page["height"])),
        exact=how == "exact",
    )


def top_then_left(page: Page) -> list[Any]:
    return [e["id"] for e in sorted(page["elements"], key=lambda e: (e["y1"], e["x1"], e["id"]))]


def left_then_top(page: Page) -> list[Any]:
    return [e["id"] for e in sorted(page["elements"], key=lambda e: (e["x1"], e["y1"], e["id"]))]


def exact(fn: Callable[[Page, str], list[Any]]) -> Ordering:
    return lambda page: fn(page, "exact")


ORDERINGS: list[tuple[str, Ordering]] = [
    ("quorlin, regions of the human order", quorlin_human_regions),
    ("quorlin (separators left out)", quorlin_default),
    ("quorlin, all regions", quorlin_all_regions),
    ("quorlin --exact, regions of the human order", exact(quorlin_human_regions)),
    ("quorlin --exact (separators left out)", exact(quorlin_default)),
    ("quorlin --exact, all regions", exact(quorlin_all_regions)),
    ("top then left (`y1, x1`)", top_then_left),
    ("left then top (`x1, y1`)", left_then_top),
]


def score(pages: list[Page], orders: list[list[Any]]) -> list[PageScore]:
    return [
        score_page(order, page["gt_order"], page.get("gt_chains"), page=str(number),
                   collection=page.get("collection"))
        for number, (page, order) in enumerate(zip(pages, orders), 1)
    ]


def cross_check(scorer: ModuleType, name: str, pages: list[Page], orders: list[list[Any]],
                scores: list[PageScore]) -> None:
    """Stop the run if kendall.py scores any page differently."""
    for page, order, ours in zip(pages, orders, scores):
        tau, exact, missing = scorer.kendall_tau(order, page["gt_order"], page.get("gt_chains"))
        # a page with a missing id is never exact here; kendall.py may call it exact
        if (tau, exact and not missing, missing) != (ours.tau, ours.exact, ours.missing):
            raise SystemExit(f"quality.py: {name}: line {ours.page}: kendall.py gives tau={tau} exact={exact} "
                             f"missing={missing}, quorlin.evaluation tau={ours.tau} exact={ours.exact} "
                             f"missing={ours.missing}")


def cell(summary: Summary | None) -> str:
    return "-" if summary is None else f"{summary.mean_tau:+.3f} / {summary.exact_rate:.3f}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pages", nargs="?", type=Path, default=DEFAULT_PAGES, help="pages.jsonl with gt_order")
    parser.add_argument("--scorer", type=Path,
                        help=f"kendall.py to cross-check against (default: {DEFAULT_SCORER}, when present)")
    args = parser.parse_args(argv)
    if not args.pages.is_file():
        print(f"quality.py: {args.pages}: no such file", file=sys.stderr)
        return 1
    if args.scorer is not None and not args.scorer.is_file():
        print(f"quality.py: {args.scorer}: no such file", file=sys.stderr)
        return 1
    scorer_path = args.scorer or (DEFAULT_SCORER if DEFAULT_SCORER.is_file() else None)
    scorer = load_scorer(scorer_path) if scorer_path else None
    with args.pages.open(encoding="utf-8") as f:
        pages: list[Page] = [json.loads(line) for line in f if line.strip()]

    collections = sorted({p["collection"] for p in pages if p.get("collection") is not None})
    single = [i for i, p in enumerate(pages) if not p.get("multi_column")]
    multi = [i for i, p in enumerate(pages) if p.get("multi_column")]

    print(f"Mean Kendall tau / exact-match rate on {len(pages)} pages ({args.pages.name}):")
    print()
    head = ["ordering", "all pages"] + collections + [f"{len(single)} single-column", f"{len(multi)} multi-column"]
    print("| " + " | ".join(head) + " |")
    print("|" + " --- |" * len(head))
    for name, fn in ORDERINGS:
        orders = [list(fn(p)) for p in pages]
        scores = score(pages, orders)
        if scorer is not None:
            cross_check(scorer, name, pages, orders, scores)
        summary = summarise(scores)
        cells = [name, cell(summary.overall)] + [cell(summary.collections.get(c)) for c in collections]
        for group in (single, multi):
            cells.append(cell(summarise([scores[i] for i in group]).overall) if group else "-")
        if summary.overall.missing:
            cells[0] += f" ({summary.overall.missing} ids missing)"
        print("| " + " | ".join(cells) + " |")
    print()
    if scorer is not None:
        print(f"kendall.py ({scorer_path}) gives the same scores on every page of every ordering.")
    else:
        print(f"Not cross-checked: no kendall.py at {DEFAULT_SCORER} (--scorer PATH names one).")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
