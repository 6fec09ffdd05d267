#!/usr/bin/env python3
"""Draw pages of a JSONL file as PNG: each element's box, numbered by its
position in gt_order (grey: unordered), with the order as a polyline.

    python3 generate/draw.py FILE.jsonl OUTDIR [--match SUBSTRING] [--max N]
"""
import argparse
import json
import os

from PIL import Image, ImageDraw, ImageFont

COLORS = {"title": "#c00", "section-header": "#e60", "text": "#06c", "list-item": "#0a6",
          "caption": "#a0a", "footnote": "#880", "formula": "#f0f", "table": "#0aa",
          "picture": "#666", "page-header": "#c60", "page-footer": "#c60"}


def draw(p, path, scale=1.0):
    W, H = int(p["width"] * scale), int(p["height"] * scale)
    im = Image.new("RGB", (W, H), "white")
    dr = ImageDraw.Draw(im)
    try:
        font = ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", max(10, int(14 * scale * 1.4)))
    except OSError:
        font = ImageFont.load_default()
    pos = {i: k for k, i in enumerate(p["gt_order"])}
    els = {e["id"]: e for e in p["elements"]}
    for e in p["elements"]:
        x1, y1, x2, y2 = [v * scale for v in (e.get("box") or [e["x1"], e["y1"], e["x2"], e["y2"]])]
        col = COLORS.get(e.get("label"), "#06c") if e["id"] in pos else "#bbb"
        if e.get("label") in ("picture", "table") and e["id"] in pos:
            dr.rectangle([x1, y1, x2, y2], fill="#eee", outline=col, width=2)
        else:
            dr.rectangle([x1, y1, x2, y2], outline=col, width=2)
    for ch in p.get("gt_chains") or [p["gt_order"]]:
        pts = []
        for i in ch:
            e = els[i]
            b = e.get("box") or [e["x1"], e["y1"], e["x2"], e["y2"]]
            pts.append(((b[0] + b[2]) / 2 * scale, (b[1] + b[3]) / 2 * scale))
        if len(pts) > 1:
            dr.line(pts, fill="#f44" if ch is (p.get("gt_chains") or [None])[0] else "#4a4", width=2)
    for i, k in pos.items():
        e = els[i]
        b = e.get("box") or [e["x1"], e["y1"], e["x2"], e["y2"]]
        x, y = b[0] * scale + 2, b[1] * scale + 1
        dr.text((x, y), str(k), fill="black", font=font, stroke_width=2, stroke_fill="white")
    im.save(path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("outdir")
    ap.add_argument("--match", default="")
    ap.add_argument("--max", type=int, default=10)
    ap.add_argument("--scale", type=float, default=0.6)
    a = ap.parse_args()
    os.makedirs(a.outdir, exist_ok=True)
    n = 0
    with open(a.file) as f:
        for line in f:
            p = json.loads(line)
            if a.match not in p["source"] + p["collection"]:
                continue
            name = "".join(c if c.isalnum() else "_" for c in p["source"])[:120] + ".png"
            draw(p, os.path.join(a.outdir, name), a.scale)
            n += 1
            if n >= a.max:
                break
    print(n, "drawn")


if __name__ == "__main__":
    main()
