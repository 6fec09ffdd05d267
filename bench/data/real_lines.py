#!/usr/bin/env python3
"""Derive pages_lines.jsonl: the real pages of pages.jsonl as text lines.

Each region of a page's human order is replaced by its TextLines, in the
order the file gives them within the region (the index of a Transkribus
``readingOrder`` in their ``custom`` attribute where every line has one,
else document order); a region without lines (a picture, a table) stays one
element. The human order of the lines is the regions' order with each
region's lines in their place, in the same chains. The lines come from the
upstream PAGE-XML files named in each page's ``source``, at the commits of
README.md, read from local clones:

    python bench/data/real_lines.py --gt-structure-text DIR --reichsanzeiger-gt DIR

Each page keeps its keys (licence, source) but the elements and the order;
its collection gets the suffix ``-lines``.
"""

from __future__ import annotations

import argparse
import json
import re
import subprocess
from pathlib import Path
from typing import Any

from lxml import etree

HERE = Path(__file__).resolve().parent
READING_ORDER_INDEX = re.compile(r"readingOrder\s*\{[^}]*index:\s*(\d+)")


def line_box(line: Any, ns: dict[str, str]) -> list[float] | None:
    coords = line.find("pc:Coords", ns)
    if coords is None:
        return None
    if coords.get("points"):
        points = [tuple(map(float, p.split(","))) for p in coords.get("points").split()]
    else:
        points = [(float(p.get("x")), float(p.get("y"))) for p in coords.findall("pc:Point", ns)]
    if not points:
        return None
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return [min(xs), min(ys), max(xs), max(ys)]


def region_lines(region: Any, ns: dict[str, str]) -> list[tuple[str, list[float]]]:
    lines = region.findall("pc:TextLine", ns)
    found_indices = [READING_ORDER_INDEX.search(line.get("custom") or "") for line in lines]
    indices = [int(m.group(1)) for m in found_indices if m is not None]
    if lines and len(indices) == len(lines):
        lines = [line for _, line in sorted(zip(indices, lines), key=lambda t: t[0])]
    boxes = [(line.get("id"), line_box(line, ns)) for line in lines]
    return [(i, b) for i, b in boxes if b is not None and b[2] > b[0] and b[3] > b[1]]


def as_lines(page: dict[str, Any], xml: bytes) -> dict[str, Any]:
    root = etree.fromstring(xml)
    ns = {"pc": root.tag[1:].split("}")[0]}
    regions = {r.get("id"): r for r in root.iter() if isinstance(r.tag, str)
               and r.tag.endswith("Region") and r.get("id")}
    by_id = {e["id"]: e for e in page["elements"]}
    elements: list[dict[str, Any]] = []
    chains: list[list[int]] = []

    def add(element: dict[str, Any], region_id: str, box: list[float]) -> int:
        elements.append({"id": len(elements), "region_id": region_id,
                         **{k: element[k] for k in ("type", "subtype") if element.get(k)},
                         "x1": round(box[0]), "y1": round(box[1]), "x2": round(box[2]), "y2": round(box[3])})
        return len(elements) - 1

    for chain in page["gt_chains"]:
        ids = []
        for eid in chain:
            e = by_id[eid]
            lines = region_lines(regions[e["region_id"]], ns)
            if not lines:
                lines = [(e["region_id"], [e["x1"], e["y1"], e["x2"], e["y2"]])]
            ids += [add(e, line_id, box) for line_id, box in lines]
        chains.append(ids)
    ordered = {eid for chain in page["gt_chains"] for eid in chain}
    unordered = [add(e, e["region_id"], [e["x1"], e["y1"], e["x2"], e["y2"]])
                 for e in page["elements"] if e["id"] not in ordered]
    out = {k: v for k, v in page.items() if k not in ("elements", "gt_order", "gt_chains", "unordered_ids")}
    out.update(collection=page["collection"] + "-lines", granularity="line", elements=elements,
               gt_order=[i for chain in chains for i in chain], gt_chains=chains, unordered_ids=unordered)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gt-structure-text", required=True, type=Path)
    parser.add_argument("--reichsanzeiger-gt", required=True, type=Path)
    args = parser.parse_args()
    clones = {"OCR-D/gt_structure_text": args.gt_structure_text, "UB-Mannheim/reichsanzeiger-gt": args.reichsanzeiger_gt}
    with open(HERE / "pages_lines.jsonl", "w", encoding="utf-8") as out:
        for text in (HERE / "pages.jsonl").read_text(encoding="utf-8").splitlines():
            page = json.loads(text)
            repo, path = page["source"].split(":", 1)
            xml = subprocess.run(["git", "-C", str(clones[repo]), "show", "HEAD:" + path],
                                 capture_output=True, check=True).stdout
            out.write(json.dumps(as_lines(page, xml), ensure_ascii=False, separators=(",", ":")) + "\n")


if __name__ == "__main__":
    main()
