"""How good is an order: human reading order read from files, and the scores against it.

* :mod:`quorlin.evaluation.truth` - pages with their ground truth (PAGE-XML
  ReadingOrder, JSON pages with ``gt_order``), and stored or predicted orders;
* :mod:`quorlin.evaluation.scoring` - Kendall's tau and exact match per page
  and per collection, and the orders ``quorlin eval`` scores;
* :mod:`quorlin.evaluation.command` - the ``quorlin eval`` command.
"""

from __future__ import annotations

from .scoring import (
    ORDERS,
    CorpusSummary,
    PageScore,
    Summary,
    Tau,
    kendall_tau,
    predict,
    score_page,
    summarise,
    worst,
)
from .truth import Skipped, TruthPage, read_truth, reading_order_chains, stored_order, truth_from_json, truth_from_xml

__all__ = [
    "ORDERS", "CorpusSummary", "PageScore", "Summary", "Tau", "kendall_tau", "predict", "score_page", "summarise",
    "worst", "Skipped", "TruthPage", "read_truth", "reading_order_chains", "stored_order", "truth_from_json",
    "truth_from_xml",
]
