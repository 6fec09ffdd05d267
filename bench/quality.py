#!/usr/bin/env python3
"""Agreement of quorlin's reading order with human reading order, as a Markdown table.

    python bench/quality.py [../shared/realdata/pages.jsonl]

Scores each ordering on the real pages of ``pages.jsonl`` with the scorer
``kendall.py`` that sits beside it (Kendall's tau-a against the human order,
and the share of pages whose order is reproduced exactly), over the whole
corpus, per collection and split by the multi-column flag, next to the two
trivial baselines "top then left" and "left then top".

Orderings:
  quorlin          the package's default: separator and noise regions are left
                   out (as the PAGE-XML reader does), every other region is
                   ordered;
  quorlin, all     every region of the page, separators included;
  top then left    sort by (y1, x1);
  left then top    sort by (x1, y1).
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import quorlin
from quorlin.formats import page_from_json

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_PAGES = ROOT.parent / "shared" / "realdata" / "pages.jsonl"

Page = dict[str, Any]


def load_scorer(path: Path) -> ModuleType:
    spec = importlib.util.spec_from_file_location("kendall", path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"quality.py: cannot load the scorer {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def quorlin_default(page: Page) -> list[Any]:
    return page_from_json(page, page.get("source", "<page>")).compute_order()


def quorlin_all_regions(page: Page) -> list[Any]:
    elements = page["elements"]
    return quorlin.order(
        [(e["x1"], e["y1"], e["x2"], e["y2"]) for e in elements],
        ids=[e["id"] for e in elements],
        page_bounds=(0.0, 0.0, float(page["width"]), float(page["height"])),
    )


def cell(summary: dict[str, dict[str, Any]], key: str) -> str:
    if key not in summary:
        return "-"
    s = summary[key]
    return f"{s['mean_tau']:+.3f} / {s['exact_rate']:.3f}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pages", nargs="?", type=Path, default=DEFAULT_PAGES, help="pages.jsonl with gt_order")
    parser.add_argument("--scorer", type=Path, help="kendall.py (default: beside pages.jsonl)")
    args = parser.parse_args(argv)
    if not args.pages.is_file():
        print(f"quality.py: {args.pages}: no such file", file=sys.stderr)
        return 1
    scorer = load_scorer(args.scorer or args.pages.parent / "kendall.py")
    pages: list[Page] = scorer.load(str(args.pages))

    orderings: list[tuple[str, Callable[[Page], list[Any]]]] = [
        ("quorlin (separators left out)", quorlin_default),
        ("quorlin, all regions", quorlin_all_regions),
        ("top then left (`y1, x1`)", scorer.top_then_left),
        ("left then top (`x1, y1`)", scorer.left_then_top),
    ]
    collections = sorted({p.get("collection", "") for p in pages})
    single = [p for p in pages if not p.get("multi_column")]
    multi = [p for p in pages if p.get("multi_column")]

    print(f"Mean Kendall tau / exact-match rate on {len(pages)} pages ({args.pages.name}):")
    print()
    head = ["ordering", "all pages"] + collections + [f"{len(single)} single-column", f"{len(multi)} multi-column"]
    print("| " + " | ".join(head) + " |")
    print("|" + " --- |" * len(head))
    for name, fn in orderings:
        summary, _ = scorer.score(pages, fn)
        by_layout = [scorer.score(group, fn)[0] for group in (single, multi)]
        cells = [name, cell(summary, "ALL")] + [cell(summary, c) for c in collections]
        cells += [cell(s, "ALL") if group else "-" for s, group in zip(by_layout, (single, multi))]
        missing = summary["ALL"]["missing"]
        if missing:
            cells[0] += f" ({missing} ids missing)"
        print("| " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
