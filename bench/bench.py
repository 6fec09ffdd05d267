#!/usr/bin/env python3
"""Speed and scale benchmark of compute_order_mervane.

Run by hand from the project root:

    .venv/bin/python bench/bench.py            # full run, several minutes
    .venv/bin/python bench/bench.py --quick    # sizes up to 1,000, about a minute

It prints markdown tables:

1. per call time of compute_order_mervane for each layout and size (the whole
   Python call, argument conversion included, Element objects built
   beforehand), next to
   * the floor: the same extension module built from the same binding
     sources with an engine that returns its input unchanged
     (bench/floor/empty_pipeline.cpp), i.e. binding, conversion, entry log
     line and id list, but no ordering;
   * the same call with the logger "quorlinpy" at DEBUG and a NullHandler;
   * the pure-Python reference model of the tests (speed-up factor);
   * a projection-profile XY-cut in NumPy (bench/numpy_xycut.py; ratio);
2. other floors (reading the Element attributes from Python, a 1-element call);
3. the Python logging calls made at the default logging configuration;
4. peak memory and heap allocations per call, each size in a fresh process;
5. the speed targets, met or missed.

Times are medians of repeated batches; the machine may be shared, so the
ratios of one run are more telling than absolute times across runs.
"""

from __future__ import annotations

import argparse
import collections
import ctypes
import gc
import hashlib
import json
import logging
import math
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

# The helper modules beside this script are imported from the source tree;
# leave no bytecode cache there.
sys.dont_write_bytecode = True

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))

import layouts  # noqa: E402

SIZES = (10, 50, 200, 1_000, 10_000, 100_000)
# The staircase also gets 20,000: the size of its speed target.
STAIRCASE_SIZES = (10, 50, 200, 1_000, 10_000, 20_000, 100_000)
QUICK_SIZES = (10, 50, 200, 1_000)

# Sizes measured in a fresh process for peak memory and heap allocations
# (the 50-element page for its allocation count only: below about 10,000
# elements the call is served from heap the process already holds, so its
# resident set does not grow).
MEMORY_SIZES = (10_000, 100_000)
STAIRCASE_MEMORY_SIZES = (10_000, 20_000, 100_000)
SMALL_ALLOC_CASE = ("realistic", 50)
MIN_RSS_SIZE = 10_000

# The slow comparisons (reference model, NumPy) are skipped when one call is
# predicted to take longer than this.  The prediction extrapolates from the
# last two sizes measured, with at least the growth exponent expected of the
# contender on that layout (the reference model re-sorts every set: n^2 log n
# on the staircase; the NumPy cut pays a profile as long as the set's extent
# at every level).
SLOW_LIMIT_S = 40.0
QUICK_SLOW_LIMIT_S = 3.0
MIN_GROWTH = {("ref", "staircase"): 2.0, ("numpy", "staircase"): 1.5}
DEFAULT_MIN_GROWTH = 1.1
# Calls slower than this are timed once (and the debug column is skipped for
# them, since it would only add the cost of the extra log lines).
SINGLE_RUN_S = 5.0


# ---------------------------------------------------------------------------
# Formatting
# ---------------------------------------------------------------------------

def fmt_time(t):
    if t is None:
        return "—"
    if t < 1e-6:
        return f"{t * 1e9:.0f} ns"
    if t < 1e-3:
        return f"{t * 1e6:.2f} µs"
    if t < 1.0:
        return f"{t * 1e3:.2f} ms"
    return f"{t:.2f} s"


def fmt_factor(x):
    if x >= 100:
        return f"{x:,.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.2f}"


def fmt_bytes(b):
    if b is None:
        return "—"
    if b >= 1 << 20:
        return f"{b / (1 << 20):.1f} MiB"
    if b >= 1 << 10:
        return f"{b / (1 << 10):.1f} KiB"
    return f"{b} B"


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

class Timer:
    """Median per-call time of a callable over repeated batches.

    A batch runs the callable often enough to last `batch_s`; the first call
    is a warm-up.  Calls slower than SINGLE_RUN_S are timed once, calls
    slower than `batch_s` a few times.
    """

    def __init__(self, repeats, batch_s):
        self.repeats = repeats
        self.batch_s = batch_s

    def __call__(self, fn):
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            first = time.perf_counter() - t0
            if first >= SINGLE_RUN_S:
                return first
            if first >= self.batch_s:
                runs = [first]
                for _ in range(min(self.repeats, 3) - 1):
                    t0 = time.perf_counter()
                    fn()
                    runs.append(time.perf_counter() - t0)
                return statistics.median(runs)
            number = max(1, int(self.batch_s / max(first, 1e-7)))
            per_call = []
            for _ in range(self.repeats):
                t0 = time.perf_counter()
                for _ in range(number):
                    fn()
                per_call.append((time.perf_counter() - t0) / number)
            return statistics.median(per_call)
        finally:
            if gc_was_enabled:
                gc.enable()


# ---------------------------------------------------------------------------
# Native helpers: the floor module and the allocation counter
# ---------------------------------------------------------------------------

BINDING_SOURCES = ("src/bindings/core/module.cpp", "src/bindings/core/classes.cpp", "src/bindings/common/arguments.cpp",
                   "src/bindings/common/log_bridge.cpp", "src/bindings/common/guard.cpp")
ENGINE_LOG_SOURCES = ("src/engine/log/log.cpp", "src/engine/log/format.cpp")
# The flags of the project's Release build.
CXXFLAGS = ["-O3", "-DNDEBUG", "-std=c++20", "-fPIC", "-fvisibility=hidden", "-ffp-contract=off", "-fno-fast-math"]


def _cache_dir(tag, files, flags):
    h = hashlib.sha1()
    for path in files:
        with open(path, "rb") as f:
            h.update(path.encode() + b"\0" + f.read())
    # The binding includes headers beside it; any change there rebuilds too.
    for d in ("src/bindings/common", "src/bindings/core", "src/engine/include/quorlin/engine"):
        for name in sorted(os.listdir(os.path.join(ROOT, d))):
            if name.endswith(".hpp"):
                with open(os.path.join(ROOT, d, name), "rb") as f:
                    h.update(name.encode() + f.read())
    h.update(" ".join(flags).encode() + sys.version.encode())
    d = os.path.join(tempfile.gettempdir(), f"quorlin-bench-{tag}-{h.hexdigest()[:12]}")
    os.makedirs(d, exist_ok=True)
    return d


def build_floor_module():
    """Builds (once, cached in the temp dir) the extension module from the
    binding sources with the empty pipeline as its engine.  Returns its path,
    or None with a message when no compiler is usable."""
    cxx = os.environ.get("CXX", "c++")
    sources = [os.path.join(ROOT, s) for s in BINDING_SOURCES + ENGINE_LOG_SOURCES]
    sources.append(os.path.join(HERE, "floor", "empty_pipeline.cpp"))
    out_dir = _cache_dir("floor", sources, CXXFLAGS)
    target = os.path.join(out_dir, "_quorlin_core" + sysconfig.get_config_var("EXT_SUFFIX"))
    if os.path.exists(target):
        return target
    includes = [
        "-I", os.path.join(ROOT, "src/engine/include"),
        "-I", os.path.join(ROOT, "src/bindings"),
        "-isystem", sysconfig.get_paths()["include"],
    ]
    objects = [os.path.join(out_dir, os.path.basename(src) + ".o") for src in sources]
    # Two compilations at a time: the machine may be shared.
    for start in range(0, len(sources), 2):
        procs = [subprocess.Popen([cxx, *CXXFLAGS, *includes, "-c", src, "-o", obj],
                                  stderr=subprocess.PIPE, text=True)
                 for src, obj in zip(sources[start:start + 2], objects[start:start + 2])]
        errors = []
        for p in procs:
            _, err = p.communicate()
            if p.returncode != 0:
                errors.append(err)
        if errors:
            print(f"floor module: compilation failed, floor column skipped:\n{errors[0]}", file=sys.stderr)
            return None
    link = subprocess.run([cxx, "-shared", *objects, "-o", target], stderr=subprocess.PIPE, text=True)
    if link.returncode != 0:
        print(f"floor module: link failed, floor column skipped:\n{link.stderr}", file=sys.stderr)
        return None
    return target


def load_floor_module(path):
    """Loads the floor build under the module name it was built for, without
    registering it in sys.modules (the real module keeps that name)."""
    import importlib.machinery
    import importlib.util

    loader = importlib.machinery.ExtensionFileLoader("_quorlin_core", path)
    found = importlib.util.spec_from_file_location("_quorlin_core", path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def build_malloc_counter():
    cc = os.environ.get("CC", "cc")
    src = os.path.join(HERE, "floor", "malloc_count.c")
    out_dir = _cache_dir("malloc", [src], ["-O2"])
    target = os.path.join(out_dir, "malloc_count.so")
    if not os.path.exists(target):
        r = subprocess.run([cc, "-O2", "-shared", "-fPIC", src, "-o", target], stderr=subprocess.PIPE, text=True)
        if r.returncode != 0:
            print(f"malloc counter: build failed, allocation counts skipped:\n{r.stderr}", file=sys.stderr)
            return None
    return target


# ---------------------------------------------------------------------------
# Inputs
# ---------------------------------------------------------------------------

def elements_of(module, boxes):
    E = module.Element
    L = module.SemanticLabel
    return [E(i, x1, y1, x2, y2, getattr(L, label)) for i, x1, y1, x2, y2, label in boxes]


class Case:
    """One layout at one size, with its inputs for every contender."""

    def __init__(self, layout, n, boxes, core, floor):
        self.layout = layout
        self.n = n
        self.boxes = boxes
        self.bounds = tuple(float(v) for v in layouts.bounds_of(boxes))
        self.elements = elements_of(core, boxes)
        self.floor_elements = elements_of(floor, boxes) if floor is not None else None

    def ref_records(self):
        import reference_model as rm

        return [rm.make_record(*b[:5]) for b in self.boxes]

    def numpy_inputs(self):
        import numpy as np

        arr = np.array([b[1:5] for b in self.boxes], dtype=np.float32).reshape(-1, 4)
        ids = np.array([b[0] for b in self.boxes], dtype=np.int64)
        return arr, ids


# ---------------------------------------------------------------------------
# Logging configurations
# ---------------------------------------------------------------------------

class DebugLogging:
    """Logger "quorlinpy" at DEBUG with a NullHandler, for the duration of a
    with block; the bridge's level cache is reset on entry and exit."""

    def __init__(self, core, handler=None):
        self.core = core
        self.handler = handler or logging.NullHandler()

    def __enter__(self):
        logger = logging.getLogger("quorlinpy")
        logger.setLevel(logging.DEBUG)
        logger.addHandler(self.handler)
        self.core.reset_log_cache()
        return self

    def __exit__(self, *exc):
        logger = logging.getLogger("quorlinpy")
        logger.removeHandler(self.handler)
        logger.setLevel(logging.NOTSET)
        self.core.reset_log_cache()


class CountingHandler(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.count = 0

    def emit(self, record):
        self.count += 1


def logging_call_counts(core, case, calls=1000):
    """Counts the calls into Python logging made by `calls` ordering calls at
    the default configuration (root at WARNING, no handlers): first call
    separately from the rest.  Wraps logging.getLogger and the Logger
    methods the bridge uses."""
    names = ("isEnabledFor", "makeRecord", "handle")
    counts = collections.Counter()
    original_get = logging.getLogger
    originals = {name: getattr(logging.Logger, name) for name in names}

    def counted_get(name=None):
        counts["getLogger"] += 1
        return original_get(name)

    def wrap(name, fn):
        def counted(self, *args, **kwargs):
            counts[name] += 1
            return fn(self, *args, **kwargs)

        return counted

    logging.getLogger = counted_get
    for name, fn in originals.items():
        setattr(logging.Logger, name, wrap(name, fn))
    try:
        core.reset_log_cache()
        core.compute_order_mervane(case.elements, case.bounds)
        first = dict(counts)
        counts.clear()
        for _ in range(calls - 1):
            core.compute_order_mervane(case.elements, case.bounds)
        rest = dict(counts)
    finally:
        logging.getLogger = original_get
        for name, fn in originals.items():
            setattr(logging.Logger, name, fn)
        core.reset_log_cache()
    keys = ("getLogger",) + names
    return {k: first.get(k, 0) for k in keys}, {k: rest.get(k, 0) for k in keys}


# ---------------------------------------------------------------------------
# Child process: peak memory and heap allocations of one call
# ---------------------------------------------------------------------------

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def child_main(layout, n):
    """Runs in a fresh process: builds the case, warms the log bridge on a
    3-element page, then makes one call, reporting its time, the growth of
    the resident set over the call's peak and the heap allocations made."""
    import _quorlin_core as core

    counter = None
    preload = os.environ.get("LD_PRELOAD", "")
    if preload.endswith("malloc_count.so"):
        counter = ctypes.CDLL(preload).quorlin_malloc_count
        counter.restype = ctypes.c_ulonglong
    boxes = layouts.make(layout, n)
    elements = elements_of(core, boxes)
    bounds = tuple(float(v) for v in layouts.bounds_of(boxes))
    warm = elements_of(core, layouts.make("realistic", 3))
    core.compute_order_mervane(warm, (0.0, 0.0, 1.0, 1.0))
    gc.collect()
    gc.disable()
    # Peak so far (interpreter, inputs): the process peak is the larger of
    # this and the peak after the call.  ru_maxrss is not used, as it may
    # carry the parent's peak across the fork and exec.
    hwm_inputs = _status_kib("VmHWM")
    rss_before = _status_kib("VmRSS")
    try:
        # Resets the peak resident set (VmHWM) to the current one.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        hwm_reset = True
    except OSError:
        hwm_reset = False
    allocs_before = counter() if counter else None
    t0 = time.perf_counter()
    result = core.compute_order_mervane(elements, bounds)
    elapsed = time.perf_counter() - t0
    allocs = counter() - allocs_before if counter else None
    hwm = _status_kib("VmHWM")
    # A second count on the same input, for small sizes where one call is
    # cheap: the allocations must not depend on the call being the first.
    allocs_again = None
    if counter and elapsed < 0.5:
        a = counter()
        core.compute_order_mervane(elements, bounds)
        allocs_again = counter() - a
    print(json.dumps({
        "layout": layout,
        "n": n,
        "time": elapsed,
        "result_len": len(result),
        "call_peak_bytes": (hwm - rss_before) * 1024 if hwm_reset else None,
        "process_peak_bytes": max(hwm_inputs, hwm) * 1024,
        "allocs": allocs,
        "allocs_again": allocs_again,
        "module_mtime": os.path.getmtime(core.__file__),
    }))


def run_child(layout, n, preload):
    env = dict(os.environ)
    if preload:
        env["LD_PRELOAD"] = preload
    r = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", layout, str(n)],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    if r.returncode != 0:
        return {"layout": layout, "n": n, "error": f"exit status {r.returncode}: {r.stderr.strip()[-300:]}"}
    return json.loads(r.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# Machine description
# ---------------------------------------------------------------------------

def machine_description():
    model = platform.processor() or "unknown"
    try:
        out = subprocess.run(["lscpu"], stdout=subprocess.PIPE, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    try:
        import numpy

        np_version = numpy.__version__
    except ImportError:
        np_version = "not installed"
    try:
        rev = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    except OSError:
        rev = "unknown"
    return (f"CPU: {model}, {os.cpu_count()} logical cores; "
            f"Python {platform.python_version()} ({platform.python_implementation()}), NumPy {np_version}; "
            f"{platform.system()} {platform.release()}; source {rev or 'unknown'}")


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------

def predicted(history, n, min_growth):
    """Predicted time of one call at size n from the (size, time) pairs
    measured so far (None when the previous size was skipped)."""
    if not history:
        return 0.0
    if history[-1] is None:
        return math.inf
    m, t = history[-1]
    growth = min_growth
    if len(history) >= 2 and history[-2] is not None:
        m0, t0 = history[-2]
        growth = max(growth, math.log(t / t0) / math.log(m / m0))
    return t * (n / m) ** growth


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="sizes up to 1,000, fewer repeats")
    parser.add_argument("--layouts", nargs="*", default=list(layouts.LAYOUTS), choices=layouts.LAYOUTS)
    parser.add_argument("--no-memory", action="store_true", help="skip the child processes")
    parser.add_argument("--child", nargs=2, metavar=("LAYOUT", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args.child[0], int(args.child[1]))
        return

    import _quorlin_core as core
    import numpy as np  # noqa: F401  (import cost kept out of the timings)
    import numpy_xycut
    import reference_model as rm

    started = time.perf_counter()
    timer = Timer(repeats=3, batch_s=0.05) if args.quick else Timer(repeats=7, batch_s=0.1)
    slow_limit = QUICK_SLOW_LIMIT_S if args.quick else SLOW_LIMIT_S
    exe = os.path.relpath(sys.executable, os.getcwd()) if sys.executable.startswith(os.getcwd()) else sys.executable
    command = " ".join([exe, os.path.relpath(os.path.abspath(__file__), os.getcwd()), *sys.argv[1:]])

    print(f"# compute_order_mervane benchmark\n")
    print(f"Command: `{command}`  ")
    print(f"Machine: {machine_description()}  ")
    module_mtime = os.path.getmtime(core.__file__)
    built = time.strftime("%Y-%m-%d %H:%M", time.localtime(module_mtime))
    print(f"Module: {core.__file__} (installed {built}; the source line above is the tree at run time)  ")
    print("Load average at start (1/5/15 min): " + " / ".join(f"{x:.2f}" for x in os.getloadavg()) + "\n",
          flush=True)

    floor_path = build_floor_module()
    floor = load_floor_module(floor_path) if floor_path else None

    # -- Logging calls at the default configuration (first, before any
    #    logging configuration of this script).
    probe_case = Case("realistic", 50, layouts.make("realistic", 50), core, None)
    first_counts, rest_counts = logging_call_counts(core, probe_case)

    notes = []
    rows = []
    results = {}  # (layout, n) -> dict of times

    def run_case(layout, label_n, fns, calls_per_fn=1):
        """Times every contender of one case (callables that each make
        `calls_per_fn` ordering calls); returns their times per callable."""
        r = {}
        engine_fn, floor_fn, ref_fn, np_fn, ids_check = fns
        r["engine"] = timer(engine_fn)
        r["floor"] = timer(floor_fn) if floor_fn else None
        if r["engine"] < SINGLE_RUN_S:
            with DebugLogging(core):
                r["debug"] = timer(engine_fn)
            counting = CountingHandler()
            with DebugLogging(core, counting):
                engine_fn()
            r["debug_lines"] = counting.count / calls_per_fn
        else:
            r["debug"] = None
            r["debug_lines"] = None
        r["ref"] = timer(ref_fn) if ref_fn else None
        r["numpy"] = timer(np_fn) if np_fn else None
        if ids_check is not None and not ids_check():
            notes.append(f"{layout} n={label_n}: the engine's order differs from the reference model's")
        return r

    def row_of(layout, label_n, r):
        e = r["engine"]
        cells = [layout, label_n, fmt_time(e)]
        cells.append(f"{fmt_time(r['floor'])} ({fmt_factor(e / r['floor'])}×)" if r["floor"] else "—")
        if r["debug"] is not None:
            cells.append(f"{fmt_time(r['debug'])} (×{fmt_factor(r['debug'] / e)}, {r['debug_lines']:.0f} lines)")
        else:
            cells.append("—")
        if r.get("single_run"):
            cells[2] += " (one run, fresh process)"
        cells.append(f"{fmt_time(r['ref'])} ({fmt_factor(r['ref'] / e)}×)" if r["ref"] else "—")
        cells.append(f"{fmt_time(r['numpy'])} ({fmt_factor(r['numpy'] / e)}×)" if r["numpy"] else "—")
        return cells

    # -- The real pages at their natural sizes: one call per page, averaged.
    if "real" in args.layouts:
        pages = layouts.real_natural()
        cases = [Case("real", len(p), p, core, floor) for p in pages]
        sizes = sorted(len(p) for p in pages)
        label = f"200 pages ({sizes[0]}–{sizes[-1]}, median {statistics.median(sizes):.0f})"
        records = [c.ref_records() for c in cases]
        arrays = [c.numpy_inputs() for c in cases]

        def all_pages(fn):
            def run():
                for c in cases:
                    fn(c)
            return run

        engine_fn = all_pages(lambda c: core.compute_order_mervane(c.elements, c.bounds))
        floor_fn = all_pages(lambda c: floor.compute_order_mervane(c.floor_elements, c.bounds)) if floor else None

        def ref_fn():
            for rec in records:
                rm.compute_order(rec)

        def np_fn():
            for arr, ids in arrays:
                numpy_xycut.xycut_order(arr, ids)

        def ids_check():
            return all(core.compute_order_mervane(c.elements, c.bounds) == rm.compute_order(rec)[0]
                       for c, rec in zip(cases, records))

        r = run_case("real", label, (engine_fn, floor_fn, ref_fn, np_fn, ids_check), calls_per_fn=len(cases))
        # Per page, not per sweep over all pages.
        for k in ("engine", "floor", "debug", "ref", "numpy"):
            if r.get(k) is not None:
                r[k] /= len(cases)
        results[("real", "pages")] = r
        rows.append(row_of("real (each page)", label, r))
        numpy_same = sum(core.compute_order_mervane(c.elements, c.bounds) == numpy_xycut.xycut_order(*a).tolist()
                         for c, a in zip(cases, arrays))
        notes.append(f"The NumPy XY-cut gives the engine's order on {numpy_same} of the 200 real pages "
                     "(it measures gaps on a raster of whole units).")
        print(f"real pages done ({time.perf_counter() - started:.0f} s)", file=sys.stderr, flush=True)

    child_results = {}
    for layout in args.layouts:
        sizes = QUICK_SIZES if args.quick else (STAIRCASE_SIZES if layout == "staircase" else SIZES)
        ref_history = []
        np_history = []
        for n in sizes:
            boxes = layouts.make(layout, n)
            case = Case(layout, n, boxes, core, floor)
            big_staircase = layout == "staircase" and n >= 100_000
            run_ref = not big_staircase and predicted(
                ref_history, n, MIN_GROWTH.get(("ref", layout), DEFAULT_MIN_GROWTH)) <= slow_limit
            run_np = not big_staircase and predicted(
                np_history, n, MIN_GROWTH.get(("numpy", layout), DEFAULT_MIN_GROWTH)) <= slow_limit
            records = case.ref_records() if run_ref else None
            arr_ids = case.numpy_inputs() if run_np else None
            bounds = case.bounds
            elements = case.elements

            def engine_fn():
                return core.compute_order_mervane(elements, bounds)

            floor_fn = None
            if floor is not None:
                floor_elements = case.floor_elements

                def floor_fn():
                    return floor.compute_order_mervane(floor_elements, bounds)

            ref_fn = (lambda: rm.compute_order(records)) if run_ref else None
            np_fn = (lambda: numpy_xycut.xycut_order(*arr_ids)) if run_np else None
            ids_check = (lambda: engine_fn() == rm.compute_order(records)[0]) if run_ref else None

            if big_staircase:
                # One call is enough here: it runs in a fresh process, which
                # also reports its peak memory and allocations.
                child = run_child(layout, n, build_malloc_counter())
                child_results[(layout, n)] = child
                t = child.get("time")
                r = {"engine": t, "floor": timer(floor_fn) if floor_fn else None, "debug": None,
                     "debug_lines": None, "ref": None, "numpy": None, "single_run": True}
                if "error" in child:
                    notes.append(f"staircase n={n}: the call failed: {child['error']}")
                    r["engine"] = float("nan")
            else:
                r = run_case(layout, n, (engine_fn, floor_fn, ref_fn, np_fn, ids_check))
            ref_history.append((n, r["ref"]) if r["ref"] is not None else None)
            np_history.append((n, r["numpy"]) if r["numpy"] is not None else None)
            results[(layout, n)] = r
            rows.append(row_of(layout, f"{n:,}", r))
            print(f"{layout} {n} done ({time.perf_counter() - started:.0f} s)", file=sys.stderr, flush=True)

    header = ["layout", "n", "compute_order_mervane", "floor (engine ÷ floor)", "debug on (÷ default)",
              "reference model (speed-up)", "NumPy XY-cut (ratio)"]
    print("## Time per call (median)\n")
    print(markdown_table(header, rows))
    print()
    print("Columns: compute_order_mervane at Python's default logging configuration; floor = the same "
          "module built with an engine that returns its input (conversion, entry log line, id list, no "
          "ordering); debug on = logger quorlinpy at DEBUG with a NullHandler (lines = records per call); "
          "reference model = tests/reference_model.py on pre-built float32 records; NumPy XY-cut = "
          "bench/numpy_xycut.py on a pre-built float32 array. “—”: skipped (predicted over "
          f"{slow_limit:.0f} s per call, or the single run of the largest staircase).\n")
    for note in notes:
        print(f"- {note}")
    print()

    # -- Other floors.
    floor_rows = []
    for n in (50, 1_000) if args.quick else (50, 1_000, 100_000):
        case = Case("realistic", n, layouts.make("realistic", n), core, floor)
        ids_getter = __import__("operator").attrgetter("id")
        els = case.elements
        one = els[:1]
        floor_rows.append([
            f"{n:,}",
            fmt_time(results.get(("realistic", n), {}).get("engine")),
            fmt_time(timer(lambda: floor.compute_order_mervane(case.floor_elements, case.bounds))) if floor else "—",
            fmt_time(timer(lambda: list(map(ids_getter, els)))),
            fmt_time(timer(lambda: [(e.id, e.x1, e.y1, e.x2, e.y2) for e in els])),
            fmt_time(timer(lambda: core.compute_order_mervane(one, case.bounds))),
        ])
    print("## Floors (realistic pages)\n")
    print(markdown_table(["n", "compute_order_mervane", "empty-pipeline module",
                          "list(map(attrgetter('id'), elements))",
                          "[(e.id, e.x1, e.y1, e.x2, e.y2) for e in elements]", "call on 1 element"],
                         floor_rows))
    print()

    # -- Logging calls.
    print("## Python logging calls at the default configuration (realistic page, 50 elements)\n")
    print(markdown_table(["calls", "getLogger", "isEnabledFor", "makeRecord", "handle"], [
        ["first call after reset_log_cache()"] + [first_counts[k] for k in first_counts],
        ["next 999 calls"] + [rest_counts[k] for k in rest_counts],
    ]))
    print()

    # What a debug line costs Python itself: logger.debug on an enabled
    # logger with a NullHandler, the least any bridge into logging can pay.
    own = logging.getLogger("quorlin_bench.reference")
    own.setLevel(logging.DEBUG)
    own.propagate = False
    own.addHandler(logging.NullHandler())
    own_cost = timer(lambda: own.debug("[segment] split into 2 groups: 3, 9"))
    r50 = results.get(("realistic", 50))
    if r50 and r50.get("debug") is not None and r50.get("debug_lines"):
        per_line = (r50["debug"] - r50["engine"]) / r50["debug_lines"]
        print(f"With debug on, each record costs {fmt_time(per_line)} (realistic page of 50 elements: "
              f"{r50['debug_lines']:.0f} records per call); a plain `logger.debug(msg)` to a NullHandler "
              f"costs {fmt_time(own_cost)} in Python itself.\n")

    # -- Memory and allocations, one fresh process per size.
    if not args.no_memory:
        preload = build_malloc_counter()
        mem_rows = []
        jobs = [SMALL_ALLOC_CASE] if SMALL_ALLOC_CASE[0] in args.layouts else []
        for layout in args.layouts:
            if args.quick:
                sizes = (1_000,)
            else:
                sizes = STAIRCASE_MEMORY_SIZES if layout == "staircase" else MEMORY_SIZES
            jobs += [(layout, n) for n in sizes]
        for layout, n in jobs:
            child = child_results.get((layout, n)) or run_child(layout, n, preload)
            child_results[(layout, n)] = child
            if "error" in child:
                mem_rows.append([layout, f"{n:,}", "failed: " + child["error"], "", "", "", ""])
                continue
            peak = child["call_peak_bytes"] if n >= MIN_RSS_SIZE else None
            allocs = child["allocs"]
            mem_rows.append([
                layout, f"{n:,}", fmt_time(child["time"]), fmt_bytes(peak),
                f"{peak / n:.0f}" if peak is not None else "—",
                fmt_bytes(child["process_peak_bytes"]),
                "—" if allocs is None else (f"{allocs}" + (f" / {child['allocs_again']}"
                                                          if child["allocs_again"] is not None else "")),
            ])
            print(f"memory {layout} {n} done ({time.perf_counter() - started:.0f} s)", file=sys.stderr,
                  flush=True)
        print("## Memory and heap allocations of one call (fresh process per row)\n")
        print(markdown_table(["layout", "n", "time (one call)", "peak growth of the call", "bytes / element",
                              "process peak (VmHWM)", "heap allocations (first / second call)"], mem_rows))
        print()
        print("Peak growth: VmHWM after the call minus VmRSS before it (VmHWM reset through "
              "/proc/self/clear_refs), result list included; not shown below 10,000 elements, where the "
              "call fits in heap the process already holds. Process peak: VmHWM over the whole child "
              "(interpreter, Element objects, call). Heap allocations: malloc/calloc/realloc calls "
              "during the call, counted by an LD_PRELOAD shim (bench/floor/malloc_count.c); the interpreter's "
              "small-object allocator serves most Python objects without malloc.\n")

    # -- The module must be the same one throughout (it may be reinstalled
    #    while the benchmark runs).
    changed = os.path.getmtime(core.__file__) != module_mtime or any(
        c.get("module_mtime", module_mtime) != module_mtime for c in child_results.values())
    if changed:
        print("**Warning: the installed module changed during this run; the child processes may have "
              "measured a different build. Run again.**\n")

    # -- Targets.
    print("## Targets\n")
    print(markdown_table(["target", "measured", "met"], targets(results, child_results, first_counts,
                                                                rest_counts, args.quick)))
    print(f"\nTotal benchmark time: {time.perf_counter() - started:.0f} s; load average at the end: "
          + " / ".join(f"{x:.2f}" for x in os.getloadavg()))


def targets(results, child_results, first_counts, rest_counts, quick):
    rows = []

    def get(layout, n, key="engine"):
        return results.get((layout, n), {}).get(key)

    e50 = get("realistic", 50)
    if e50 is not None:
        rows.append(["realistic page of 50 elements < 5 µs per call", fmt_time(e50), "yes" if e50 < 5e-6 else "no"])
        ref50 = get("realistic", 50, "ref")
        if ref50:
            rows.append(["… and ≥ 200× faster than the reference model", f"{ref50 / e50:,.0f}×",
                         "yes" if ref50 / e50 >= 200 else "no"])
    if not quick:
        e100k = get("realistic", 100_000)
        if e100k is not None:
            rows.append(["realistic 100,000 elements < 100 ms", fmt_time(e100k), "yes" if e100k < 0.1 else "no"])
            per = []
            for n in (1_000, 10_000, 100_000):
                t = get("realistic", n)
                if t:
                    per.append(f"{n:,}: {t / (n * math.log2(n)) * 1e9:.1f} ns")
            rows.append(["realistic pages scale as n log n (time / (n log₂ n); flat = n log n)", "; ".join(per),
                         "(information)"])
        s20k = get("staircase", 20_000)
        if s20k is not None:
            rows.append(["staircase 20,000 < 1 s", fmt_time(s20k), "yes" if s20k < 1.0 else "no"])
        big = child_results.get(("staircase", 100_000))
        if big is not None:
            ok = "error" not in big and big["result_len"] == 100_000
            peak = big.get("call_peak_bytes")
            mid = child_results.get(("staircase", 10_000))
            rows.append(["staircase 100,000 completes, memory ∝ n",
                         ("failed" if not ok else f"{fmt_time(big['time'])}, peak growth "
                          f"{fmt_bytes(peak)} ({peak / 100_000:.0f} B/element)" if peak else "completed")
                         + (f" vs {mid['call_peak_bytes'] / 10_000:.0f} B/element at 10,000"
                            if mid and mid.get("call_peak_bytes") else ""),
                         "yes" if ok else "no"])
            allocs = [(lay, n, c["allocs"]) for (lay, n), c in sorted(child_results.items())
                      if (lay == "staircase" or (lay, n) == SMALL_ALLOC_CASE) and c.get("allocs") is not None]
            if allocs:
                most = max(a for _, _, a in allocs)
                rows.append(["no allocation per element pair; allocations per call ≤ small constant × depth "
                             "(staircase depth = n − 1)",
                             ", ".join(f"{lay} {n:,}: {a}" for lay, n, a in allocs),
                             f"yes (at most {most}, independent of n and depth)" if most <= 32 else "see figures"])
    rows.append(["default logging: no Python call after the first record of each target",
                 f"first call: {sum(first_counts.values())} calls; next 999 calls: {sum(rest_counts.values())}",
                 "yes" if sum(rest_counts.values()) == 0 else "no"])
    return rows


if __name__ == "__main__":
    main()
