#!/usr/bin/env python3
"""Reading JSON pages: time per page of the ways a reader could be built, in one run.

    .venv/bin/python bench/json_reader.py            # about half a minute
    .venv/bin/python bench/json_reader.py --quick    # fewer repeats

Prints a Markdown table (progress on stderr); not a test.  Every row reads
the same JSON text, as UTF-8 bytes, into what a reader needs, and gives the
median over the runs of the time per page:

* ``msgspec decode (dict)``: the decoding every way pays, since a written
  page keeps every key of its input and is written by the json module from
  that dict;
* ``msgspec typed decode``: msgspec decoding straight into typed structs of
  the page's shape (types and ranges checked by msgspec), which still needs
  the dict above for the output;
* ``msgspec typed + Page``: the same, plus the Python pass that a Page needs
  afterwards (ids unique, labels, Region objects), with no message text;
* ``C++ reader over the dict: Page``: ``page_from_json`` of the decoded
  dict, the package's reader (``quorlin._native.read_json_page``);
* ``Python reader over the dict: Page``: the reader the package had before,
  kept as the model of ``tests/package/json_reader_model.py``;
* ``C++ reader over the dict, ordered``: the batch's path, the page read from
  the dict straight into the quality profile (``quorlin._native.order_json_page``),
  beside ``quorlin.order`` of the same page's arrays alone.

Pages: the 200 real pages of ``bench/data/pages.jsonl`` (one line each), and
larger pages made of the real pages' elements (ids renumbered).
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Annotated, Any

import msgspec

import quorlin
from quorlin import _native
from quorlin.formats.jsonpage import element_label, page_from_json
from quorlin.page import Page, Region

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "package"))
import json_reader_model  # noqa: E402
from report import fmt, header, load, say  # noqa: E402

REAL = HERE / "data" / "pages.jsonl"
MAX = _native.MAX_COORDINATE

Coordinate = Annotated[float, msgspec.Meta(ge=-MAX, le=MAX)]
Size = Annotated[float, msgspec.Meta(ge=0, le=MAX)]


class TypedElement(msgspec.Struct):
    id: int | str | msgspec.UnsetType = msgspec.UNSET
    box: Annotated[list[Coordinate], msgspec.Meta(min_length=4, max_length=4)] | msgspec.UnsetType = msgspec.UNSET
    x1: Coordinate | msgspec.UnsetType = msgspec.UNSET
    y1: Coordinate | msgspec.UnsetType = msgspec.UNSET
    x2: Coordinate | msgspec.UnsetType = msgspec.UNSET
    y2: Coordinate | msgspec.UnsetType = msgspec.UNSET
    label: str | msgspec.UnsetType = msgspec.UNSET
    type: Any = msgspec.UNSET
    subtype: Any = msgspec.UNSET


class TypedPage(msgspec.Struct):
    elements: list[TypedElement]
    width: Size | msgspec.UnsetType = msgspec.UNSET
    height: Size | msgspec.UnsetType = msgspec.UNSET
    order: list[int | str] | msgspec.UnsetType = msgspec.UNSET


TYPED = msgspec.json.Decoder(TypedPage)
PLAIN = msgspec.json.Decoder()


def page_of_structs(typed: TypedPage, document: Any) -> Page:
    """The Page from typed structs: what is left to do in Python after msgspec
    checked types and ranges (no message text: a page here is valid)."""
    regions: list[Region] = []
    skipped: list[Region] = []
    seen: set[Any] = set()
    for index, e in enumerate(typed.elements):
        rid = index if e.id is msgspec.UNSET else e.id
        if rid in seen:
            raise ValueError("duplicate id")
        seen.add(rid)
        if e.box is not msgspec.UNSET:
            box = (e.box[0], e.box[1], e.box[2], e.box[3])
        elif msgspec.UNSET in (e.x1, e.y1, e.x2, e.y2):
            raise ValueError("missing coordinates")
        else:
            box = (float(e.x1), float(e.y1), float(e.x2), float(e.y2))  # type: ignore[arg-type]
        if e.label is not msgspec.UNSET:
            label, kind, role = element_label(e.label, None, "")
        elif isinstance(e.type, str):
            label, kind, role = element_label(None, e.type, e.subtype if isinstance(e.subtype, str) else "")
        else:
            label, kind, role = element_label(None, None, "")
        (skipped.append(Region(rid, box, label, kind, role)) if role
         else regions.append(Region(rid, box, label, kind)))
    width = None if typed.width is msgspec.UNSET else float(typed.width)
    height = None if typed.height is msgspec.UNSET else float(typed.height)
    order = None if typed.order is msgspec.UNSET else list(typed.order)
    return Page("<json>", "json", width, height, regions, skipped, order, document)


def per_page(lines: list[bytes], runs: int) -> dict[str, float]:
    """Median seconds per page of each way, the ways timed in turn on each run."""
    dicts = [PLAIN.decode(line) for line in lines]
    typed = [TYPED.decode(line) for line in lines]
    pages = [page_from_json(d) for d in dicts]
    arrays = [([r.box for r in p.regions], p.bounds, [r.box for r in p.separators]) for p in pages]
    for d, t, p in zip(dicts, typed, pages):  # every way reads the same page
        assert repr(page_of_structs(t, d)) == repr(p) == repr(json_reader_model.page_from_json(d))
    ways: dict[str, Callable[[], object]] = {
        "msgspec decode (dict)": lambda: [PLAIN.decode(line) for line in lines],
        "msgspec typed decode": lambda: [TYPED.decode(line) for line in lines],
        "msgspec typed + Page": lambda: [page_of_structs(TYPED.decode(line), None) for line in lines],
        "C++ reader over the dict: Page": lambda: [page_from_json(d) for d in dicts],
        "Python reader over the dict: Page": lambda: [json_reader_model.page_from_json(d) for d in dicts],
        "C++ reader over the dict, ordered": lambda: [_native.order_json_page(d, element_label, "quality")
                                                      for d in dicts],
        "quorlin.order of the arrays alone": lambda: [quorlin.order(b, page_bounds=f, separators=s)
                                                      for b, f, s in arrays],
    }
    times: dict[str, list[float]] = {name: [] for name in ways}
    for way in ways.values():
        way()
    for _ in range(runs):
        for name, way in ways.items():
            t0 = time.perf_counter()
            way()
            times[name].append((time.perf_counter() - t0) / len(lines))
    return {name: statistics.median(t) for name, t in times.items()}


def larger(pages: list[dict[str, Any]], size: int, count: int) -> list[bytes]:
    """`count` pages of `size` elements each, made of the real pages' elements."""
    elements = [e for p in pages for e in p["elements"]]
    out = []
    for k in range(count):
        chosen = [dict(elements[(k * size + i) % len(elements)], id=i) for i in range(size)]
        out.append(json.dumps({"width": 20000, "height": 20000, "meta": {"kept": True}, "elements": chosen}).encode())
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="fewer runs")
    args = parser.parse_args()
    runs = 3 if args.quick else 9
    started = time.perf_counter()
    header(f".venv/bin/python bench/json_reader.py{' --quick' if args.quick else ''}", f"msgspec {msgspec.__version__}")
    real_lines = [line for line in REAL.read_bytes().splitlines() if line.strip()]
    real_pages = [json.loads(line) for line in real_lines]
    sets = [("200 real pages", real_lines), ("20 pages of 2,000 elements", larger(real_pages, 2000, 20)),
            ("3 pages of 20,000 elements", larger(real_pages, 20000, 3))]
    results = {}
    for name, lines in sets:
        say(name)
        results[name] = per_page(lines, runs)
    print("| way | " + " | ".join(name for name, _ in sets) + " |")
    print("|---|" + "---|" * len(sets))
    for way in results[sets[0][0]]:
        print(f"| {way} | " + " | ".join(fmt(results[name][way]) for name, _ in sets) + " |")
    print(f"\nTime per page, median of {runs} runs. Total time {time.perf_counter() - started:.0f} s; "
          f"load average at the end: {load()}")


if __name__ == "__main__":
    main()
