"""The package's native path against the core: time per real page, a million
boxes (time and peak memory), a JSON Lines batch against a plain load and
dump of the same lines, explain against order, and two threads.

Run by hand; prints markdown tables (progress on stderr). Not a test.

    .venv/bin/python bench/native.py            # about two minutes
    .venv/bin/python bench/native.py --quick    # 100,000 boxes instead of 1,000,000, fewer repeats
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import _quorlin_core as q
import quorlin
from quorlin import _native

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import layouts  # noqa: E402
from report import fmt, header, load, say  # noqa: E402

REAL = Path(layouts.REALDATA)
R = q.SemanticLabel.Regular


def best_of(fn, repeats: int) -> float:
    """The median of ``repeats`` timings of fn() (seconds), after one warm-up."""
    fn()
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


# ---- per real page ---------------------------------------------------------------

def real_pages() -> list[list[tuple[float, float, float, float]]]:
    pages = [json.loads(line) for line in REAL.read_text().splitlines() if line.strip()]
    return [[(e["x1"], e["y1"], e["x2"], e["y2"]) for e in p["elements"]] for p in pages]


def per_page(repeats: int) -> dict[str, float]:
    pages = real_pages()
    arrays = [np.array(p, dtype=np.float32) for p in pages]
    elements = [[q.Element(i, *b, R) for i, b in enumerate(p)] for p in pages]
    bounds = (0.0, 0.0, 1.0, 1.0)
    for arr, els in zip(arrays, elements):
        assert quorlin.order(arr, exact=True) == q.compute_order_mervane(els, bounds)
    n = len(pages)
    out = {
        "core": best_of(lambda: [q.compute_order_mervane(e, bounds) for e in elements], repeats) / n,
        "native": best_of(lambda: [_native.order(a) for a in arrays], repeats) / n,
        "order": best_of(lambda: [quorlin.order(a, exact=True) for a in arrays], repeats) / n,
        "order_array": best_of(lambda: [quorlin.order(a, exact=True, as_array=True) for a in arrays], repeats) / n,
        "explain": best_of(lambda: [quorlin.explain(a, exact=True) for a in arrays], repeats) / n,
    }
    out["pages"] = n
    out["regions"] = statistics.median(len(p) for p in pages)
    return out


# ---- a million boxes -------------------------------------------------------------

def large(n: int, layout: str, repeats: int) -> dict[str, float]:
    boxes = layouts.make(layout, n)
    arr = np.array([b[1:5] for b in boxes], dtype=np.float32)
    elements = [q.Element(b[0], *b[1:5], R) for b in boxes]
    bounds = layouts.bounds_of(boxes)
    del boxes
    core_order = q.compute_order_mervane(elements, bounds)
    ids = [e.id for e in elements]
    assert [ids[i] for i in quorlin.order(arr, exact=True)] == core_order
    return {
        "core": best_of(lambda: q.compute_order_mervane(elements, bounds), repeats),
        "order": best_of(lambda: quorlin.order(arr, exact=True), repeats),
        "order_array": best_of(lambda: quorlin.order(arr, exact=True, as_array=True), repeats),
    }


MEMORY_CHILD = r"""
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import layouts, quorlin
layout, n, output = sys.argv[2], int(sys.argv[3]), sys.argv[4]
boxes = layouts.make(layout, n)
arr = np.array([b[1:5] for b in boxes], dtype=np.float32)
del boxes
quorlin.order(arr[:3], exact=True, as_array=True)   # NumPy and the module are loaded before measuring

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
result = quorlin.order(arr, exact=True, as_array=(output == "array"))
print((status("VmHWM:") - before) / n)
"""


def memory(n: int, layout: str, output: str) -> float:
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(HERE), layout, str(n), output],
                          capture_output=True, text=True, check=True)
    return float(proc.stdout)


# ---- JSON Lines ------------------------------------------------------------------

BASELINE = r"""
import json, sys
with open(sys.argv[1], "rb") as src, open(sys.argv[2], "w", encoding="utf-8") as out:
    for line in src:
        if line.strip():
            out.write(json.dumps(json.loads(line), ensure_ascii=False) + "\n")
"""


def batch(repeats: int) -> dict[str, float]:
    quorlin_cmd = [str(Path(sys.executable).with_name("quorlin"))]
    if not Path(quorlin_cmd[0]).exists():
        quorlin_cmd = [sys.executable, "-m", "quorlin"]
    with tempfile.TemporaryDirectory() as tmp:
        source = Path(tmp) / "pages.jsonl"
        text = REAL.read_text()
        source.write_text(text * 10)
        lines = sum(1 for line in text.splitlines() if line.strip()) * 10
        out = Path(tmp) / "out.jsonl"
        commands = {
            "baseline": [sys.executable, "-c", BASELINE, str(source), str(out)],
            "quorlin": [*quorlin_cmd, "order", str(source), "-o", str(out)],
            "quorlin_j2": [*quorlin_cmd, "order", str(source), "--jobs", "2", "-o", str(out)],
        }
        times: dict[str, list[float]] = {k: [] for k in commands}
        for _ in range(repeats):  # interleaved, so that a busy moment hits all alike
            for name, cmd in commands.items():
                t0 = time.perf_counter()
                subprocess.run(cmd, check=True)
                times[name].append(time.perf_counter() - t0)
        result = {k: statistics.median(v) for k, v in times.items()}
        result["lines"] = lines
        return result


# ---- threads -----------------------------------------------------------------------

def threads(n: int, pages: int, repeats: int) -> dict[str, float]:
    arrays = []
    for seed in range(pages):
        boxes = layouts.make("realistic", n + seed)
        arrays.append(np.array([b[1:5] for b in boxes], dtype=np.float32))

    def one_thread() -> None:
        for a in arrays:
            quorlin.order(a, exact=True, as_array=True)

    def two_threads() -> None:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            list(pool.map(lambda a: quorlin.order(a, exact=True, as_array=True), arrays))

    return {"one": best_of(one_thread, repeats), "two": best_of(two_threads, repeats)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    big = 100_000 if args.quick else 1_000_000
    reps = 3 if args.quick else 7
    started = time.perf_counter()
    header(" ".join([Path(sys.executable).name, *sys.argv]), f"NumPy {np.__version__}")

    say("per real page ...")
    page = per_page(reps)
    say("large pages ...")
    big_rows = {layout: large(big, layout, 3) for layout in ("real", "realistic")}
    say("memory ...")
    mem = {(layout, out): memory(big, layout, out) for layout in ("real", "realistic") for out in ("array", "list")}
    say("JSON Lines ...")
    jl = batch(5)
    say("threads ...")
    th = threads(200_000 if not args.quick else 50_000, 8, 3)

    print("### Per real page\n")
    print(f"The {page['pages']} pages of `{REAL.name}`, all regions (median {page['regions']:.0f} per page); "
          "time per page, median of the runs over all pages.\n")
    print("| path | time per page | ÷ core on pre-built Elements |")
    print("|---|---|---|")
    for key, name in [("core", "`compute_order_mervane` on pre-built `Element` objects"),
                      ("native", "`quorlin._native.order(float32 array)`"),
                      ("order", "`quorlin.order(float32 array, exact=True)`"),
                      ("order_array", "`quorlin.order(..., exact=True, as_array=True)`"),
                      ("explain", "`quorlin.explain(float32 array, exact=True)`")]:
        print(f"| {name} | {fmt(page[key])} | {page[key] / page['core']:.2f}× |")
    print()
    print(f"### {big:,} boxes\n")
    print("One call, median of 3; boxes as a float32 N×4 array built beforehand. Peak memory growth of the "
          "call in a fresh process (VmHWM after the call − VmRSS before it, the peak reset through "
          "/proc/self/clear_refs), C++ and Python allocations alike.\n")
    print("| layout | core on pre-built Elements | `quorlin.order` (list) | ÷ core | `as_array=True` | ÷ core "
          "| peak growth, array output | peak growth, list output |")
    print("|---|---|---|---|---|---|---|---|")
    for layout, row in big_rows.items():
        print(f"| {layout} | {fmt(row['core'])} | {fmt(row['order'])} | {row['order'] / row['core']:.2f}× "
              f"| {fmt(row['order_array'])} | {row['order_array'] / row['core']:.2f}× "
              f"| {mem[(layout, 'array')]:.1f} B/box | {mem[(layout, 'list')]:.1f} B/box |")
    print()
    print(f"### JSON Lines: {jl['lines']:,} pages (the real pages ten times)\n")
    print("Each command as a process, as a user runs it, median of 5 interleaved runs; the baseline is a Python "
          "script that reads each line, `json.loads` it and writes `json.dumps(..., ensure_ascii=False)`.\n")
    print("| command | time | pages/s | ÷ baseline |")
    print("|---|---|---|---|")
    for key, name in [("baseline", "stdlib json load + dump"), ("quorlin", "`quorlin order pages.jsonl -o out`"),
                      ("quorlin_j2", "`quorlin order pages.jsonl --jobs 2 -o out`")]:
        print(f"| {name} | {fmt(jl[key])} | {jl['lines'] / jl[key]:,.0f} | {jl[key] / jl['baseline']:.2f}× |")
    print()
    print("### Threads\n")
    n_th = 200_000 if not args.quick else 50_000
    print(f"Eight realistic pages of about {n_th:,} boxes each, `quorlin.order(..., as_array=True)`; "
          "median of 3.\n")
    print("| one thread | two threads | speed-up |")
    print("|---|---|---|")
    print(f"| {fmt(th['one'])} | {fmt(th['two'])} | {th['one'] / th['two']:.2f}× |")
    print()
    print("### Targets\n")
    print("| target | measured | met |")
    print("|---|---|---|")
    targets = [
        ("`quorlin.order(array, exact=True)` ≤ 1.5× the core per real page", page["order"] / page["core"], 1.5),
        (f"{big:,} boxes ≤ 1.5× the core (real layout)", big_rows["real"]["order"] / big_rows["real"]["core"], 1.5),
        (f"{big:,} boxes, peak growth with int64 output ≤ 64 B/box (real layout)", mem[("real", "array")], 64),
        ("`quorlin order` on the JSON Lines ≤ 1.5× stdlib load + dump", jl["quorlin"] / jl["baseline"], 1.5),
        ("`quorlin.explain` ≤ 2× `quorlin.order` per real page", page["explain"] / page["order"], 2.0),
    ]
    for name, value, limit in targets:
        shown = f"{value:.1f} B/box" if "B/box" in name else f"{value:.2f}×"
        print(f"| {name} | {shown} | {'yes' if value <= limit else 'no'} |")
    print(f"| two threads on large pages (information) | {th['one'] / th['two']:.2f}× | |")
    print()
    print(f"Total time {time.perf_counter() - started:.0f} s; load average at the end: {load()}")


if __name__ == "__main__":
    main()
