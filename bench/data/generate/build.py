#!/usr/bin/env python3
"""Generate born-digital pages with their reading order.

    python3 generate/build.py --out-dir .   # writes born_digital.jsonl, born_digital_lines.jsonl

Each document is built from a seed (docs.py), typeset by WeasyPrint, and read
back from WeasyPrint's layout tree (layout.py).  Every page of every document
is kept unless it has fewer than 3 ordered regions.
"""
import argparse
import hashlib
import json
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import weasyprint  # noqa: E402

from docs import BUILDERS  # noqa: E402
from layout import page_fragments  # noqa: E402

DPI = 150
SCALE = DPI / 96.0   # CSS px -> pixels at DPI

# documents per kind and the first seed; seeds are consecutive integers
PLAN = {
    "paper-2col": (1000, 30),
    "paper-1col": (2000, 9),
    "paper-3col": (3000, 12),
    "report": (4000, 16),
    "magazine": (5000, 26),
    "book": (6000, 8),
    "slides": (7000, 8),
    "newspaper": (8000, 16),
}

NON_BODY_ROLES = {"page-number", "running-head", "running-foot", "footnote", "caption"}


def px(v, hi):
    return max(0, min(hi, int(round(v * SCALE))))


def to_box(rect, W, H):
    x1, y1, x2, y2 = rect
    return [px(x1, W), px(y1, H), px(x2, W), px(y2, H)]


def layout_flags(elements, order, W):
    """multi_column / n_columns / spanning, as in the historical corpus:
    body regions (text, lists, headings, pictures, tables, formulas in the
    order, not page furniture, >= 6 % of the page wide) side by side."""
    def vov(a, b):
        ov = min(a[3], b[3]) - max(a[1], b[1])
        h = min(a[3] - a[1], b[3] - b[1])
        return ov / h if h > 0 else 0.0

    def hov(a, b):
        return min(a[2], b[2]) - max(a[0], b[0])
    ids = set(order)
    body = [e["box"] for e in elements if e["id"] in ids and e.get("role") not in NON_BODY_ROLES
            and e["label"] not in ("page-header", "page-footer", "footnote")
            and e["box"][2] - e["box"][0] >= 0.06 * W]
    pairs = [(a, b) for i, a in enumerate(body) for b in body[i + 1:] if hov(a, b) <= 0 and vov(a, b) >= 0.5]
    ncol = 1
    for a in body:
        row = sorted([b for b in body if b is a or vov(a, b) >= 0.5], key=lambda b: b[0])
        cnt, last = 0, -1
        for b in row:
            if b[0] >= last:
                cnt += 1
                last = b[2]
        ncol = max(ncol, cnt)
    spanning = False
    inorder = [e["box"] for e in elements if e["id"] in ids]
    for a, b in pairs[:400]:
        for c in inorder:
            if c is a or c is b:
                continue
            if not (c[3] <= min(a[1], b[1]) or c[1] >= max(a[3], b[3])):
                continue
            if hov(c, a) >= 0.5 * (a[2] - a[0]) and hov(c, b) >= 0.5 * (b[2] - b[0]):
                spanning = True
                break
        if spanning:
            break
    return {"multi_column": bool(pairs), "n_columns": ncol, "spanning": spanning}


def page_records(kind, seed, doc, info, script):
    out = []
    for pi, page in enumerate(doc.pages):
        W, H = int(round(page.width * SCALE)), int(round(page.height * SCALE))
        frags = [f for f in page_fragments(page) if f.rect is not None]
        source = f"{script} --kind {kind} --seed {seed} (page {pi + 1} of {len(doc.pages)})"
        rng = random.Random(int(hashlib.sha1(source.encode()).hexdigest()[:8], 16))
        perm = list(range(len(frags)))
        rng.shuffle(perm)                 # ids say nothing about the order
        elements, main, side, unordered = [None] * len(frags), [], [], []
        line_src = []
        for pos, f in enumerate(frags):
            eid = perm[pos]
            e = {"id": eid, "label": f.label, "box": to_box(f.rect, W, H)}
            role = f.attrs.get("data-role")
            if role:
                e["role"] = role
            if f.attrs.get("data-chain"):
                e["chain"] = f.attrs["data-chain"]
            e["x1"], e["y1"], e["x2"], e["y2"] = e["box"]
            elements[eid] = e
            if f.attrs.get("data-unordered") == "1":
                unordered.append(eid)
            elif f.attrs.get("data-chain") == "sidebar":
                side.append(eid)
            else:
                main.append(eid)
            line_src.append((eid, f))
        chains = [c for c in (main, side) if c]
        gt = [i for c in chains for i in c]
        if len(gt) < 3:
            continue
        rec = {"source": source, "license": "CC0-1.0", "collection": f"generated-{kind}",
               "generated": True, "dpi": DPI, "width": W, "height": H,
               "elements": elements, "gt_order": gt, "gt_chains": chains,
               "unordered_ids": sorted(unordered)}
        rec.update({k: v for k, v in info.items() if k != "expected_pages"})
        rec.update(layout_flags(elements, gt, W))
        out.append((rec, lines_record(rec, line_src, W, H)))
    return out


def lines_record(rec, line_src, W, H):
    """The same page with each text line as an element; pictures, tables and
    formulas stay whole.  gt_order: the lines of the blocks in block order."""
    by_id = {eid: f for eid, f in line_src}
    items = []        # (block id, box)
    order_of_block = {b: k for k, b in enumerate(rec["gt_order"])}
    seq = []
    for eid in rec["gt_order"] + rec["unordered_ids"]:
        f = by_id[eid]
        solid = f.attrs.get("data-solid") == "1" or f.attrs.get("data-nolines") == "1" or not f.lines
        boxes = [f.rect] if solid else f.lines
        for b in boxes:
            seq.append((eid, to_box(b, W, H)))
    rng = random.Random(int(hashlib.sha1(("lines " + rec["source"]).encode()).hexdigest()[:8], 16))
    perm = list(range(len(seq)))
    rng.shuffle(perm)
    elements = [None] * len(seq)
    chain_of = {}
    for ci, ch in enumerate(rec["gt_chains"]):
        for b in ch:
            chain_of[b] = ci
    chains = [[] for _ in rec["gt_chains"]]
    unordered = []
    blocks = {e["id"]: e for e in rec["elements"]}
    for pos, (bid, box) in enumerate(seq):
        lid = perm[pos]
        be = blocks[bid]
        e = {"id": lid, "label": be["label"], "box": box, "block": bid}
        if be.get("role"):
            e["role"] = be["role"]
        e["x1"], e["y1"], e["x2"], e["y2"] = box
        elements[lid] = e
        if bid in chain_of:
            chains[chain_of[bid]].append(lid)
        else:
            unordered.append(lid)
    out = {k: v for k, v in rec.items() if k not in ("elements", "gt_order", "gt_chains", "unordered_ids",
                                                      "multi_column", "n_columns", "spanning")}
    out.update({"granularity": "line", "elements": elements, "gt_order": [i for c in chains for i in c],
                "gt_chains": [c for c in chains if c], "unordered_ids": sorted(unordered)})
    return out


def render(kind, seed):
    html, info = BUILDERS[kind](seed)
    doc = weasyprint.HTML(string=html).render()
    return html, info, doc


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out-dir", default=".")
    ap.add_argument("--kind", action="append", help="only these kinds")
    ap.add_argument("--seed", type=int, help="one document (with one --kind)")
    ap.add_argument("--html", help="also write the HTML of a --seed document here")
    ap.add_argument("--seed-offset", type=int, default=0,
                    help="every kind's seeds moved by this much: documents of no file of the repository")
    args = ap.parse_args()
    script = "generate/build.py"
    kinds = args.kind or list(PLAN)
    blocks, lines = [], []
    report = {}
    for kind in kinds:
        first, n = PLAN[kind]
        first += args.seed_offset
        seeds = [args.seed] if args.seed is not None else range(first, first + n)
        for seed in seeds:
            try:
                html, info, doc = render(kind, seed)
            except Exception as exc:      # a layout failure drops the document
                print(f"{kind} seed {seed}: {type(exc).__name__}; dropped", file=sys.stderr)
                report.setdefault(kind, {}).setdefault("failed_docs", []).append(seed)
                continue
            if args.html:
                with open(args.html, "w") as f:
                    f.write(html)
            exp = info.get("expected_pages")
            if exp and len(doc.pages) != exp:
                print(f"{kind} seed {seed}: {len(doc.pages)} pages, expected {exp}; dropped", file=sys.stderr)
                report.setdefault(kind, {}).setdefault("dropped_docs", []).append(seed)
                continue
            recs = page_records(kind, seed, doc, info, script)
            for b, l in recs:
                blocks.append(b)
                lines.append(l)
            st = report.setdefault(kind, {})
            st["docs"] = st.get("docs", 0) + 1
            st["pages"] = st.get("pages", 0) + len(recs)
    with open(os.path.join(args.out_dir, "born_digital.jsonl"), "w") as f:
        for r in blocks:
            f.write(json.dumps(r, separators=(",", ":")) + "\n")
    with open(os.path.join(args.out_dir, "born_digital_lines.jsonl"), "w") as f:
        for r in lines:
            f.write(json.dumps(r, separators=(",", ":")) + "\n")
    print(json.dumps(report, indent=1), file=sys.stderr)


if __name__ == "__main__":
    main()
