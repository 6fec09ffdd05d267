"""Agreement of a reading order with a human one: Kendall's tau and exact match.

The scores, per page:

``tau``
    Kendall's tau-a between the predicted order and the ground truth,
    restricted to the ground-truth ids: (concordant - discordant) / pairs.
    Predicted ids that are not in the ground truth are ignored, and a repeated
    id counts where it first appears.  Ground-truth ids that the prediction
    leaves out are put after the predicted ones in descending id order, so a
    prediction gains nothing by leaving ids out, and they are counted in
    ``missing``.  A ground truth of several independent chains (groups that
    the reader may take in any order) only compares pairs within one chain;
    the pairs of all chains are pooled.  A page without any pair scores 1.
``exact``
    Every chain is reproduced in order and no ground-truth id is missing.

Corpus: the mean tau over pages and the share of pages that are exact,
overall and per collection.

Which order is scored is the caller's choice; :func:`predict` gives the
orders that ``quorlin eval`` scores on a :class:`~quorlin.page.Page`.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Sequence
from dataclasses import dataclass, field, replace
from typing import Any, NamedTuple


from ..ordering import order, page_arguments, page_direction, page_order
from ..page import Page, RegionId

__all__ = [
    "Tau",
    "kendall_tau",
    "PageScore",
    "score_page",
    "Summary",
    "CorpusSummary",
    "summarise",
    "worst",
    "ORDERS",
    "predict",
]


class Tau(NamedTuple):
    """The scores of one page: ``tau, exact, missing = kendall_tau(...)``."""

    tau: float
    exact: bool
    missing: int


def _descending_key(value: Hashable) -> tuple[int, Any]:
    """Sort key for ids: integers by value, then strings, then anything else
    by its repr, so that a page may mix integer and string ids."""
    if isinstance(value, int) and not isinstance(value, bool):
        return (0, value)
    if isinstance(value, str):
        return (1, value)
    return (2, repr(value))


def _inversions(ranks: list[int]) -> int:
    """Pairs i < j with ranks[i] > ranks[j] (distinct ranks), by merge sort."""
    count = 0
    width = 1
    values = list(ranks)
    n = len(values)
    while width < n:
        merged: list[int] = []
        for start in range(0, n, 2 * width):
            left = values[start:start + width]
            right = values[start + width:start + 2 * width]
            i = j = 0
            while i < len(left) and j < len(right):
                if left[i] <= right[j]:
                    merged.append(left[i])
                    i += 1
                else:
                    merged.append(right[j])
                    count += len(left) - i
                    j += 1
            merged.extend(left[i:])
            merged.extend(right[j:])
        values = merged
        width *= 2
    return count


def _check_truth(gt: Sequence[Hashable], chains: Sequence[Sequence[Hashable]]) -> None:
    seen: set[Hashable] = set()
    for i in gt:
        if i in seen:
            raise ValueError(f"ground-truth id {i!r} appears twice")
        seen.add(i)
    in_chains: set[Hashable] = set()
    for chain in chains:
        for i in chain:
            if i not in seen:
                raise ValueError(f"chain id {i!r} is not in the ground truth")
            if i in in_chains:
                raise ValueError(f"ground-truth id {i!r} is in two chains")
            in_chains.add(i)


def kendall_tau(
    pred: Iterable[Hashable],
    gt: Sequence[Hashable],
    chains: Sequence[Sequence[Hashable]] | None = None,
) -> Tau:
    """Score the predicted order ``pred`` against the ground truth ``gt``.

    ``chains`` (default: ``[gt]``) splits the ground truth into independent
    ordered chains; only pairs within one chain are compared.  An id of the
    ground truth that is in no chain is never compared, but like every
    ground-truth id it counts as missing when ``pred`` leaves it out, and the
    page is then not exact.
    Raises ValueError when an id is twice in ``gt`` or in the chains, or a
    chain holds an id that ``gt`` does not.
    """
    if chains is None:
        chains = [gt]
    _check_truth(gt, chains)
    gt_set = set(gt)
    rank: dict[Hashable, int] = {}
    for i in pred:
        if i in gt_set and i not in rank:
            rank[i] = len(rank)
    left_out = sorted(gt_set - rank.keys(), key=_descending_key, reverse=True)
    for i in left_out:
        rank[i] = len(rank)
    pairs = discordant = 0
    exact = not left_out
    for chain in chains:
        ranks = [rank[i] for i in chain]
        inversions = _inversions(ranks)
        if inversions:
            exact = False
        pairs += len(ranks) * (len(ranks) - 1) // 2
        discordant += inversions
    tau = 1.0 if pairs == 0 else (pairs - 2 * discordant) / pairs
    return Tau(tau, exact, len(left_out))


@dataclass(frozen=True)
class PageScore:
    """The scores of one page, and where the page is."""

    #: the page for people: "FILE" or "FILE:LINE"
    page: str
    tau: float
    exact: bool
    #: ground-truth ids that the prediction left out
    missing: int
    #: ids in the ground truth
    n: int
    collection: str | None = None
    #: where the page came from originally (a JSON page's "source"), if known
    source: str | None = None


def score_page(
    pred: Iterable[Hashable],
    gt: Sequence[Hashable],
    chains: Sequence[Sequence[Hashable]] | None = None,
    *,
    page: str = "",
    collection: str | None = None,
    source: str | None = None,
) -> PageScore:
    """:func:`kendall_tau` of one page, with the page's name and collection."""
    tau, exact, missing = kendall_tau(pred, gt, chains)
    return PageScore(page, tau, exact, missing, len(gt), collection, source)


@dataclass(frozen=True)
class Summary:
    """Mean tau and exact-match share of some pages."""

    pages: int
    mean_tau: float
    #: pages reproduced exactly, and their share
    exact_pages: int
    exact_rate: float
    #: ground-truth ids left out, over all pages
    missing: int


@dataclass(frozen=True)
class CorpusSummary:
    """A :class:`Summary` of all pages and one per named collection."""

    overall: Summary
    collections: dict[str, Summary] = field(default_factory=dict)


def _summary(scores: Sequence[PageScore]) -> Summary:
    exact = sum(1 for s in scores if s.exact)
    return Summary(
        pages=len(scores),
        mean_tau=sum(s.tau for s in scores) / len(scores),
        exact_pages=exact,
        exact_rate=exact / len(scores),
        missing=sum(s.missing for s in scores),
    )


def summarise(scores: Iterable[PageScore]) -> CorpusSummary:
    """Summarise page scores overall and per collection (sorted by name).

    Pages without a collection count only overall.  Raises ValueError when
    there is no page.
    """
    listed = list(scores)
    if not listed:
        raise ValueError("no pages to summarise")
    names = sorted({s.collection for s in listed if s.collection is not None})
    return CorpusSummary(
        _summary(listed),
        {name: _summary([s for s in listed if s.collection == name]) for name in names},
    )


def worst(scores: Iterable[PageScore], count: int = 5) -> list[PageScore]:
    """The ``count`` pages of lowest tau, pages that are not exact first among
    equal taus, then in their given order."""
    ranked = sorted(enumerate(scores), key=lambda item: (item[1].tau, item[1].exact, item[0]))
    return [s for _, s in ranked[:max(count, 0)]]


# --------------------------------------------------------------------------
# the orders that are scored
# --------------------------------------------------------------------------

#: The computed orders :func:`predict` gives: the package's default, and the
#: core's exact XY-cut.
ORDERS = ("default", "exact")


def predict(
    page: Page,
    gt: Iterable[RegionId],
    how: str = "default",
    *,
    all_regions: bool = False,
    labels: bool = True,
) -> list[RegionId]:
    """The order of ``page`` that is scored against the ground truth ``gt``.

    ``how`` is "default" (the package's default order, what ``quorlin order``
    writes) or "exact" (the core's exact XY-cut, what ``quorlin order
    --exact`` writes); both read the page in its own direction, as
    :func:`~quorlin.ordering.page_order` does.  Only the regions of the
    ground truth are ordered, unless ``all_regions`` is true, which orders
    every region the reader gave.  Separators and noise are never ordered
    (they stay among the page's skipped regions); a ground-truth id of such a
    region is therefore missing from the prediction.  ``labels=False`` gives
    the default order as if no region had a label (geometry alone), to
    measure what the labels add; the exact order reads no labels anyway.
    """
    if how not in ORDERS:
        raise ValueError(f"unknown order {how!r} (expected one of {', '.join(ORDERS)})")
    if not all_regions:
        wanted = set(gt)
        page = replace(page, regions=[r for r in page.regions if r.id in wanted])
    if how == "default":
        if labels:
            return page_order(page)
        # The same call as page_order's, the labels left out.
        arguments = page_arguments(page, False, page_direction(page))
        arguments["labels"] = None
        result: list[RegionId] = order(**arguments)
        return result
    # The core's exact XY-cut by the call of ``quorlin order --exact`` itself,
    # so that the page is read in its own direction and given the same
    # arguments as there, whatever page_order comes to pass.
    return page_order(page, exact=True)
