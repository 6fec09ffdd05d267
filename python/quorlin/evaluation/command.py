"""``quorlin eval``: how far computed (or stored) orders agree with human reading order.

Reads the ground truth (:mod:`quorlin.evaluation.truth`), orders each page or
takes its stored order, scores it (:mod:`quorlin.evaluation.scoring`) and gives the
report as text or as JSON; the command writes it only when every page could
be scored.  The scoring modules are imported when the command runs, so that
the other commands do not pay for them.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable
from dataclasses import asdict
from typing import TYPE_CHECKING, Any

from ..errors import QuorlinError

if TYPE_CHECKING:
    from .scoring import CorpusSummary, PageScore, Summary
    from .truth import Skipped, TruthPage

__all__ = ["add_eval_command", "eval_report", "evaluate_truths"]

#: --order choices: the computed orders of quorlin.evaluation.scoring.ORDERS, and "stored"
ORDER_CHOICES = ("default", "exact", "stored")

DESCRIPTION = """\
Score reading orders against human ones: mean Kendall tau (1 = the human
order, 0 = unrelated, -1 = reversed) and the share of pages reproduced
exactly, over all pages, per collection and for the worst pages.

Ground truth: PAGE-XML files with a ReadingOrder (a directory: its *.xml
files, sub-folders included), JSON pages or JSON Lines with "gt_order" and
optionally "gt_chains" (independent chains; pairs across chains are not
compared). PAGE-XML files without a ReadingOrder, and JSON pages whose ground
truth is empty, are left out with a warning.

  --order default  the package's default order (what 'quorlin order' writes);
                   with --no-labels, as if no region had a label (geometry
                   alone: what the labels add is the difference)
  --order exact    the core's exact XY-cut
  --order stored   the order already there: a JSON page's "order" (as
                   'quorlin order' writes it); for PAGE-XML, the ReadingOrder
                   of the file of the same name given with --predicted

Computed orders order only the regions of the ground truth, unless
--all-regions (separators and noise are never ordered). Ground-truth ids that
an order leaves out count as missing and are put last, in descending id
order. A page's collection is its "collection" key, or the folder its file
is in (for a directory given as input, the first folder below it)."""


def add_eval_command(sub: Any, parents: list[argparse.ArgumentParser],
                     run: Callable[[argparse.Namespace], int]) -> None:
    """Add the ``eval`` subcommand to the command's subparsers; ``run`` does it."""
    p = sub.add_parser(
        "eval", parents=parents, formatter_class=argparse.RawDescriptionHelpFormatter,
        help="score reading orders against human ground truth (Kendall tau, exact match)",
        description=DESCRIPTION,
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="PAGE-XML, JSON or JSON Lines file with ground truth, a directory of PAGE-XML, or '-'")
    p.add_argument("--order", choices=ORDER_CHOICES,
                   help="which order to score (default: 'default', or 'stored' with --predicted)")
    p.add_argument("--predicted", metavar="FILE_OR_DIR",
                   help="for PAGE-XML ground truth: the predicted file, or a directory of them named as the "
                        "ground-truth files, whose ReadingOrder is scored (implies --order stored)")
    p.add_argument("--all-regions", action="store_true",
                   help="order every region of a page, not only those of its ground truth")
    p.add_argument("--no-labels", action="store_true",
                   help="with --order default: order as if no region had a label (its kind in the file, its "
                        "detector class), by geometry alone, to measure what the labels add")
    p.add_argument("--worst", type=int, default=5, metavar="N", help="list the N worst pages (default: 5)")
    p.add_argument("--json", action="store_true", help="print the results as one JSON object")
    p.add_argument("--format", choices=("auto", "json", "jsonl", "page-xml"), default="auto",
                   help="input format (default: from each file)")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    p.set_defaults(func=run)


def evaluate_truths(
    truths: list[TruthPage], how: str = "default", *, all_regions: bool = False, predicted: str | None = None,
    labels: bool = True,
) -> list[PageScore]:
    """Score every page: its computed order (``how`` in ORDERS) or its stored one ("stored");
    ``labels=False`` orders the default as if no region had a label."""
    from .scoring import predict, score_page
    from .truth import stored_order

    xml_pages = sum(1 for t in truths if t.page.format == "page-xml")
    scores = []
    for truth in truths:
        gt = truth.order
        if how == "stored":
            pred = stored_order(truth, predicted, xml_pages)
        else:
            pred = predict(truth.page, gt, how, all_regions=all_regions, labels=labels)
        scores.append(score_page(pred, gt, truth.chains, page=truth.name, collection=truth.collection,
                                 source=truth.source))
    return scores


def _report_json(how: str, all_regions: bool, no_labels: bool, summary: CorpusSummary, scores: list[PageScore],
                 worst_pages: list[PageScore], skipped: list[Skipped]) -> str:
    document = {
        "order": how,
        "all_regions": all_regions,
        "no_labels": no_labels,
        "overall": asdict(summary.overall),
        "collections": {name: asdict(s) for name, s in summary.collections.items()},
        "worst": [asdict(s) for s in worst_pages],
        "pages": [asdict(s) for s in scores],
        "skipped": [asdict(s) for s in skipped],
    }
    return json.dumps(document, ensure_ascii=False, indent=2) + "\n"


def _report_text(how: str, all_regions: bool, no_labels: bool, summary: CorpusSummary,
                 worst_pages: list[PageScore], skipped: list[Skipped]) -> str:
    what = {"default": "the package's default order", "exact": "the core's exact order",
            "stored": "the stored order"}[how]
    if no_labels:
        what += ", labels ignored"
    if how != "stored":
        what += ", every region ordered" if all_regions else ", regions of the ground truth ordered"
    pages = summary.overall.pages
    lines = [f"{pages} page{'s' if pages != 1 else ''} scored: {what}"]
    if skipped:
        lines.append(f"{len(skipped)} page{'s' if len(skipped) != 1 else ''} without ground truth left out")
    rows: list[tuple[str, Summary]] = [("all", summary.overall)]
    if len(summary.collections) > 1:
        rows += list(summary.collections.items())
    width = max(len(name) for name, _ in rows + [("collection", summary.overall)])
    lines += ["", f"{'collection':<{width}}  pages  mean tau  {'exact':>12}  missing"]
    for name, s in rows:
        exact = f"{s.exact_rate:.3f} ({s.exact_pages})"
        lines.append(f"{name:<{width}}  {s.pages:5d}  {s.mean_tau:+8.3f}  {exact:>12}  {s.missing:7d}")
    if worst_pages:
        lines += ["", f"worst page{'s' if len(worst_pages) != 1 else ''}:", "   tau  exact  ids  missing  page"]
        for p in worst_pages:
            where = p.page + (f"  {p.source}" if p.source else "")
            lines.append(f"{p.tau:+.3f}  {'yes' if p.exact else 'no':<5}  {p.n:3d}  {p.missing:7d}  {where}")
    return "\n".join(lines) + "\n"


def eval_report(args: argparse.Namespace) -> str:
    """The report of ``quorlin eval`` for its parsed arguments.

    Raises :class:`QuorlinError` (a :class:`PageError` naming the file and
    line) for the first problem, before anything is written.
    """
    from .scoring import summarise, worst
    from .truth import read_truth

    how: str = args.order or ("stored" if args.predicted else "default")
    if args.predicted and how != "stored":
        raise QuorlinError(f"--predicted is only used with --order stored, not --order {how}")
    if args.all_regions and how == "stored":
        raise QuorlinError("--all-regions applies to computed orders, not to --order stored")
    if args.no_labels and how != "default":
        raise QuorlinError(f"--no-labels applies to the default order, not to --order {how}")
    if args.worst < 0:
        raise QuorlinError("--worst must not be negative")
    truths, skipped = read_truth(args.inputs, args.format)
    for s in skipped:
        print(f"quorlin: warning: {s.name}: {s.reason}; not scored", file=sys.stderr)
    if not truths:
        raise QuorlinError("no page with a ground-truth reading order to score")
    if args.predicted and not any(t.page.format == "page-xml" for t in truths):
        raise QuorlinError("--predicted: there is no PAGE-XML ground truth to match predicted files to")
    scores = evaluate_truths(truths, how, all_regions=args.all_regions, predicted=args.predicted,
                             labels=not args.no_labels)
    summary = summarise(scores)
    worst_pages = worst(scores, args.worst)
    if args.json:
        return _report_json(how, args.all_regions, args.no_labels, summary, scores, worst_pages, skipped)
    return _report_text(how, args.all_regions, args.no_labels, summary, worst_pages, skipped)
