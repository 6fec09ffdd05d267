#!/usr/bin/env python3
"""The generated pages as a layout detector would deliver them (seeded).

    python3 bench/data/generate/detected.py [bench/data]   # writes born_digital_detected.jsonl

The generated region boxes are exact unions of the text a renderer placed;
a detector's boxes are not.  Each box here is grown on each side by its own
pseudo-random margin and its edges jittered, as detector output is: a few
pixels larger than the text, so that neighbours across a narrow gutter or a
tight paragraph gap overlap.  At 150 dpi:

* left and right: grown by 2 to 12 px each (0.15-1 % of an A4 page's width),
  so two columns 11-20 px apart often overlap by a few pixels;
* top and bottom: grown by 1 to 7 px each;
* every edge then moved by -2..+2 px; a box stays at least 1 px wide and
  high and inside the page.

The ids, labels, roles and orders stay as they were; each page's collection
gets "-detected" after "generated" ("generated-detected-paper-2col"), and
"detected": true marks the line.  The noise of a page is seeded by its
"source" (sha256), so the file is the same on every run and does not depend
on the order of the pages.  Standard library only.
"""

from __future__ import annotations

import hashlib
import json
import random
import sys
from pathlib import Path

GROW_X = (2, 12)
GROW_Y = (1, 7)
JITTER = 2


def detected_page(page: dict) -> dict:
    rng = random.Random(int.from_bytes(hashlib.sha256(page["source"].encode("utf-8")).digest()[:8], "big"))
    width, height = page["width"], page["height"]
    elements = []
    for e in page["elements"]:
        x1, y1, x2, y2 = e["box"]
        x1 -= rng.randint(*GROW_X) + rng.randint(-JITTER, JITTER)
        x2 += rng.randint(*GROW_X) + rng.randint(-JITTER, JITTER)
        y1 -= rng.randint(*GROW_Y) + rng.randint(-JITTER, JITTER)
        y2 += rng.randint(*GROW_Y) + rng.randint(-JITTER, JITTER)
        x1, y1 = max(0, min(x1, width - 1)), max(0, min(y1, height - 1))
        x2, y2 = max(x1 + 1, min(x2, width)), max(y1 + 1, min(y2, height))
        out = dict(e)
        out["box"] = [x1, y1, x2, y2]
        out["x1"], out["y1"], out["x2"], out["y2"] = x1, y1, x2, y2
        elements.append(out)
    result = dict(page)
    result["elements"] = elements
    result["collection"] = page["collection"].replace("generated-", "generated-detected-", 1)
    result["detected"] = True
    return result


def main(argv: list[str]) -> int:
    folder = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    source = folder / "born_digital.jsonl"
    lines = [json.loads(line) for line in source.read_text(encoding="utf-8").splitlines() if line.strip()]
    with (folder / "born_digital_detected.jsonl").open("w", encoding="utf-8") as f:
        for page in lines:
            f.write(json.dumps(detected_page(page), separators=(",", ":")) + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
