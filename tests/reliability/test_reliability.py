"""Reliability of the module: reference and memory leaks over every public
path, thread stress, and hostile inputs.

Leaks are measured without a debug build of the interpreter: the number of
blocks held by the interpreter's allocator (sys.getallocatedblocks), the
memory traced by tracemalloc, the process's resident size, and the reference
counts of every object a path touches. Checks that depend on the process-wide
log cache, or that could hang or crash the interpreter, run in a fresh
interpreter with a time limit.

Tests marked slow take a few seconds each; they still belong to the standard
run. QUORLIN_STRESS_SECONDS sets the length of the thread stress (default 3).
"""

import gc
import json
import os
import random
import subprocess
import sys
import textwrap
import tracemalloc
import weakref

import pytest

import _quorlin_core as q

L = q.SemanticLabel
R = L.Regular
BOUNDS = (0.0, 0.0, 100.0, 100.0)
LEAK_ITERATIONS = 3000
STRESS_SECONDS = float(os.environ.get("QUORLIN_STRESS_SECONDS", "3"))

slow = pytest.mark.slow


def el(id_, x1, y1, x2, y2, label=R):
    return q.Element(id_, x1, y1, x2, y2, label)


def two_columns(n):
    """n elements in two columns of 40 x 20 boxes; reading order is the left
    column top to bottom, then the right one."""
    return [el(i, (i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20) for i in range(n)]


def column_order(n):
    return list(range(0, n, 2)) + list(range(1, n, 2))


def balanced_row(n):
    """One row of n unit-wide boxes, in shuffled input order, whose gaps grow
    with the number of trailing zero bits of their index: every level of the
    segmentation cuts near the middle, so a page costs O(n log n). The x
    coordinates stay below 2^24 and so are exact. The reading order is left to
    right: ids 0, 1, 2, ..."""
    xs = []
    x = 0
    for i in range(n):
        xs.append(x)
        x += 1 + 5 + ((i + 1) & -(i + 1)).bit_length()
    assert x < 2**24
    order = list(range(n))
    random.Random(n).shuffle(order)
    return [q.Element(i, xs[i], 0.0, xs[i] + 1, 10.0, R) for i in order]


def run_script(code, timeout=120, args=()):
    """Runs code in a fresh interpreter with faulthandler on, so that a crash
    or a hang shows its stacks, and returns its stdout. Fails the test on a
    non-zero exit or a timeout."""
    try:
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code), *map(str, args)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"no result within {timeout}s (deadlock or runaway): {exc.stderr}")
    assert proc.returncode == 0, f"exit code {proc.returncode}\n{proc.stderr}"
    return proc.stdout


# ---- Protocol objects ---------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Number:
    """__float__ and __index__ both return `result`, or raise it."""

    def __init__(self, result):
        self.result = result

    def _give(self):
        if isinstance(self.result, BaseException):
            # the same object each time, without the traceback of the last raise
            raise self.result.with_traceback(None)
        return self.result

    __float__ = __index__ = _give


class Interrupt(BaseException):
    """Outside Exception, like KeyboardInterrupt."""


class ItemSequence:
    """A sequence through __getitem__ only (the old iteration protocol),
    with a __len__ that does whatever `length` says."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.length is None:
            return len(self.items)
        if isinstance(self.length, BaseException):
            raise self.length.with_traceback(None)
        return self.length


class RaisingIteration(ItemSequence):
    def __getitem__(self, i):
        if i == 1:
            raise LookupError("second item")
        return self.items[i]


# ---- Reference and memory leaks ---------------------------------------------

# Ids above the interpreter's small-int cache, so that each id in a result is
# a new object and a leaked one shows as a block.
BIG = 10**12
PAGE = [el(BIG + e.id, e.x1, e.y1, e.x2, e.y2) for e in two_columns(20)]
PAGE_TUPLE = tuple(PAGE)
PAGE_SEQ = ItemSequence(PAGE)
PAGE_LEN_RAISES = ItemSequence(PAGE, RuntimeError("no length"))
PAGE_ITER_RAISES = RaisingIteration(PAGE)
CONFIG = q.XYCutConfig(1.0, 2.0, 3.0)
ID_INDEX = Index(7)
FLOATY = Number(2.5)
RAISES_VALUE = Number(ValueError("bad number"))
RAISES_TYPE = Number(TypeError("bad type"))
WRONG_TYPE = Number("text")
MIXED = [PAGE[0], 5]
BAD_BOUNDS = (0.0, 0.0, 1.0, "x")
GEN_PAGE = PAGE[:3]

# Every object the leak cases touch: their reference counts must come back.
LABELS = [L.CrossLayout, L.HorizontalTitle, L.VerticalTitle, L.Vision, L.Regular]
WATCHED = [
    q.Element, q.XYCutConfig, q.SemanticLabel, *LABELS,
    PAGE, PAGE_TUPLE, PAGE_SEQ, PAGE_LEN_RAISES, PAGE_ITER_RAISES, PAGE[0], PAGE[-1], MIXED, GEN_PAGE,
    CONFIG, ID_INDEX, FLOATY, RAISES_VALUE, RAISES_TYPE, WRONG_TYPE, BAD_BOUNDS, BOUNDS,
    RAISES_VALUE.result, RAISES_TYPE.result, PAGE_LEN_RAISES.length,  # raised again and again
]


def _set(obj, name, value):
    setattr(obj, name, value)


def _delete(obj, name):
    delattr(obj, name)


def _read_element():
    e = PAGE[3]
    return e.id, e.x1, e.y1, e.x2, e.y2, e.label


def _read_config():
    return CONFIG.min_cut_threshold, CONFIG.histogram_resolution_scale, CONFIG.same_row_tolerance


def _label_ops():
    return repr(L.Vision), int(L.Vision), L.Vision == L.Regular, hash(L.Vision)


# (name, call, expected exception or None). Every constructor, setter and
# the entry, on success and on each of their error paths.
LEAK_CASES = [
    # Element
    ("element", lambda: q.Element(1, 0.5, 1, 2.0, 3.0, L.Vision), None),
    ("element-keywords", lambda: q.Element(label=R, y2=4, x2=3, y1=2, x1=1, id=9), None),
    ("element-protocols", lambda: q.Element(ID_INDEX, FLOATY, ID_INDEX, True, 2**70, R), None),
    ("element-getters", _read_element, None),
    ("element-too-many", lambda: q.Element(1, 0, 0, 1, 1, R, 7), TypeError),
    ("element-unexpected-keyword", lambda: q.Element(1, 0, 0, 1, 1, R, z=1), TypeError),
    ("element-duplicate", lambda: q.Element(1, 0, 0, 1, 1, R, x1=1), TypeError),
    ("element-missing", lambda: q.Element(1, 0), TypeError),
    ("element-id-negative", lambda: q.Element(-1, 0, 0, 1, 1, R), OverflowError),
    ("element-id-too-big", lambda: q.Element(2**64, 0, 0, 1, 1, R), OverflowError),
    ("element-id-float", lambda: q.Element(1.5, 0, 0, 1, 1, R), TypeError),
    ("element-id-index-raises", lambda: q.Element(RAISES_VALUE, 0, 0, 1, 1, R), ValueError),
    ("element-id-index-type-error", lambda: q.Element(RAISES_TYPE, 0, 0, 1, 1, R), TypeError),
    ("element-id-index-wrong-type", lambda: q.Element(WRONG_TYPE, 0, 0, 1, 1, R), TypeError),
    ("element-coord-str", lambda: q.Element(1, "0", 0, 1, 1, R), TypeError),
    ("element-coord-raises", lambda: q.Element(1, 0, RAISES_VALUE, 1, 1, R), ValueError),
    ("element-coord-type-error", lambda: q.Element(1, 0, 0, RAISES_TYPE, 1, R), TypeError),
    ("element-coord-wrong-type", lambda: q.Element(1, 0, 0, 1, WRONG_TYPE, R), TypeError),
    ("element-coord-huge-int", lambda: q.Element(1, 0, 0, 1, 10**400, R), OverflowError),
    ("element-label", lambda: q.Element(1, 0, 0, 1, 1, 3), TypeError),
    ("element-set", lambda: _set(PAGE[0], "x1", 1.0), AttributeError),
    # XYCutConfig
    ("config", lambda: q.XYCutConfig(), None),
    ("config-values", lambda: q.XYCutConfig(1, FLOATY, same_row_tolerance=ID_INDEX), None),
    ("config-getters", _read_config, None),
    ("config-too-many", lambda: q.XYCutConfig(1, 2, 3, 4), TypeError),
    ("config-unexpected-keyword", lambda: q.XYCutConfig(z=1), TypeError),
    ("config-duplicate", lambda: q.XYCutConfig(1, min_cut_threshold=2), TypeError),
    ("config-str", lambda: q.XYCutConfig("x"), TypeError),
    ("config-raises", lambda: q.XYCutConfig(RAISES_VALUE), ValueError),
    ("config-wrong-type", lambda: q.XYCutConfig(WRONG_TYPE), TypeError),
    ("config-set", lambda: _set(CONFIG, "same_row_tolerance", 3.0), None),
    ("config-set-protocol", lambda: _set(CONFIG, "same_row_tolerance", FLOATY), None),
    ("config-set-str", lambda: _set(CONFIG, "min_cut_threshold", "x"), TypeError),
    ("config-set-raises", lambda: _set(CONFIG, "histogram_resolution_scale", RAISES_VALUE), ValueError),
    ("config-set-wrong-type", lambda: _set(CONFIG, "histogram_resolution_scale", WRONG_TYPE), TypeError),
    ("config-delete", lambda: _delete(CONFIG, "min_cut_threshold"), AttributeError),
    # SemanticLabel
    ("label-ops", _label_ops, None),
    ("label-instantiate", lambda: q.SemanticLabel(), TypeError),
    # compute_order_mervane
    ("order-list", lambda: q.compute_order_mervane(PAGE, BOUNDS), None),
    ("order-tuple", lambda: q.compute_order_mervane(PAGE_TUPLE, BOUNDS, CONFIG), None),
    ("order-item-sequence", lambda: q.compute_order_mervane(PAGE_SEQ, BOUNDS), None),
    ("order-len-raises", lambda: q.compute_order_mervane(PAGE_LEN_RAISES, BOUNDS), None),
    ("order-keywords", lambda: q.compute_order_mervane(config=None, page_bounds=BOUNDS, elements=PAGE), None),
    ("order-empty", lambda: q.compute_order_mervane([], (FLOATY, ID_INDEX, True, 1e39)), None),
    ("order-too-many", lambda: q.compute_order_mervane(PAGE, BOUNDS, None, 1), TypeError),
    ("order-unexpected-keyword", lambda: q.compute_order_mervane(PAGE, BOUNDS, cfg=1), TypeError),
    ("order-duplicate", lambda: q.compute_order_mervane(PAGE, BOUNDS, page_bounds=BOUNDS), TypeError),
    ("order-missing", lambda: q.compute_order_mervane(), TypeError),
    ("order-str", lambda: q.compute_order_mervane("abc", BOUNDS), TypeError),
    ("order-dict", lambda: q.compute_order_mervane({}, BOUNDS), TypeError),
    ("order-none", lambda: q.compute_order_mervane(None, BOUNDS), TypeError),
    ("order-generator", lambda: q.compute_order_mervane(iter(GEN_PAGE), BOUNDS), TypeError),
    ("order-not-element", lambda: q.compute_order_mervane(MIXED, BOUNDS), TypeError),
    ("order-iteration-raises", lambda: q.compute_order_mervane(PAGE_ITER_RAISES, BOUNDS), LookupError),
    ("order-bounds-list", lambda: q.compute_order_mervane(PAGE, list(BOUNDS)), TypeError),
    ("order-bounds-short", lambda: q.compute_order_mervane(PAGE, BOUNDS[:3]), ValueError),
    ("order-bounds-str", lambda: q.compute_order_mervane(PAGE, BAD_BOUNDS), TypeError),
    ("order-bounds-raises", lambda: q.compute_order_mervane(PAGE, (0, 0, 1, RAISES_VALUE)), ValueError),
    ("order-bounds-wrong-type", lambda: q.compute_order_mervane(PAGE, (0, 0, 1, WRONG_TYPE)), TypeError),
    ("order-config", lambda: q.compute_order_mervane(PAGE, BOUNDS, {}), TypeError),
    # reset_log_cache
    ("reset-log-cache", lambda: q.reset_log_cache(), None),
    ("reset-log-cache-argument", lambda: q.reset_log_cache(1), TypeError),
]


def _repeat(call, expected, times):
    for _ in range(times):
        try:
            call()
        except BaseException as exc:  # noqa: BLE001 - the type is checked
            if expected is None or type(exc) is not expected:
                raise


def _refcounts():
    gc.collect()
    return [sys.getrefcount(o) for o in WATCHED]


@pytest.mark.parametrize("name, call, expected", LEAK_CASES, ids=[c[0] for c in LEAK_CASES])
def test_public_path_leaks_no_blocks_or_references(name, call, expected):
    _repeat(call, expected, 200)  # warm caches: interned strings, method caches
    refs = _refcounts()
    blocks = sys.getallocatedblocks()
    _repeat(call, expected, LEAK_ITERATIONS)
    gc.collect()
    growth = sys.getallocatedblocks() - blocks
    # A leaked object per call would add LEAK_ITERATIONS blocks.
    assert growth < LEAK_ITERATIONS // 20, f"{name}: {growth} blocks more after {LEAK_ITERATIONS} calls"
    after = _refcounts()
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(WATCHED, refs, after) if a != b]
    assert not changed, f"{name}: reference counts changed: {changed}"


def test_every_leak_case_takes_its_expected_path():
    for name, call, expected in LEAK_CASES:
        try:
            call()
        except BaseException as exc:  # noqa: BLE001 - the exact type is checked
            assert type(exc) is expected, (name, exc)
        else:
            assert expected is None, f"{name} did not raise"


def test_public_paths_leave_no_traced_memory():
    iterations = 300
    grown = {}
    tracemalloc.start()
    try:
        for name, call, expected in LEAK_CASES:
            _repeat(call, expected, 50)
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            _repeat(call, expected, iterations)
            gc.collect()
            growth = tracemalloc.get_traced_memory()[0] - before
            if growth >= iterations * 8:  # any leaked object is at least 16 bytes
                grown[name] = growth
    finally:
        tracemalloc.stop()
    assert not grown, f"traced memory grew: {grown}"


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@slow
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc to read the resident size")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer holds freed memory back")
def test_resident_memory_stays_flat_over_large_pages():
    # The engine's working memory is C++ heap that the interpreter does not
    # count, so it shows only in the resident size. A leak of the records of
    # one page (5000 x 24 bytes) per call would add tens of megabytes.
    page = balanced_row(5000)
    calls = [
        (lambda: q.compute_order_mervane(page, BOUNDS), None),
        (lambda: q.compute_order_mervane(page, (0, 0, 1)), ValueError),  # fails after the records were built
        (lambda: q.compute_order_mervane(page, BOUNDS, {}), TypeError),
    ]
    for call, expected in calls:
        _repeat(call, expected, 20)
    gc.collect()
    before = _rss_bytes()
    for call, expected in calls:
        _repeat(call, expected, 300)
    gc.collect()
    growth = _rss_bytes() - before
    assert growth < 8 * 2**20, f"resident size grew by {growth / 2**20:.1f} MiB over 900 calls"


def test_logging_paths_leak_nothing():
    # The bridge's forwarding, including a handler that raises, in a fresh
    # interpreter (the log cache is process-wide).
    out = run_script("""
        import gc, json, logging, sys
        import _quorlin_core as q
        R = q.SemanticLabel.Regular
        page = [q.Element(i, (i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20, R)
                for i in range(12)]
        warn = [q.Element(1, 0, float("nan"), 10, 0, R), q.Element(2, 0, 20, 10, 30, R)]
        bounds = (0, 0, 1, 1)
        logger = logging.getLogger("quorlinpy")
        logger.propagate = False
        kept = []
        class Keep(logging.Handler):
            def emit(self, record):
                kept.append(record.getMessage())
                del kept[:-5]
        class Fail(logging.Handler):
            def emit(self, record):
                raise LookupError("handler failed")
        def measure(call, expected):
            for _ in range(100):
                try:
                    call()
                except expected:
                    pass
            gc.collect()
            refs = sys.getrefcount(page), sys.getrefcount(logger), sys.getrefcount(bounds)
            blocks = sys.getallocatedblocks()
            for _ in range(2000):
                try:
                    call()
                except expected:
                    pass
            gc.collect()
            same_refs = refs == (sys.getrefcount(page), sys.getrefcount(logger), sys.getrefcount(bounds))
            return sys.getallocatedblocks() - blocks, same_refs
        results = {}
        logger.setLevel(logging.DEBUG)
        keep = Keep()
        logger.addHandler(keep)
        q.reset_log_cache()
        results["debug-forwarded"] = measure(lambda: q.compute_order_mervane(page, bounds), ())
        results["warning-forwarded"] = measure(lambda: q.compute_order_mervane(warn, bounds), ())
        results["reset-and-refetch"] = measure(lambda: (q.reset_log_cache(), q.compute_order_mervane(page, bounds)), ())
        logger.removeHandler(keep)
        logger.addHandler(Fail())
        results["handler-raises"] = measure(lambda: q.compute_order_mervane(page, bounds), LookupError)
        print(json.dumps(results))
    """)
    results = json.loads(out)
    for name, (growth, same_refs) in results.items():
        # each call forwards about twenty records; logging's own caches move
        # by a few dozen blocks, a leak per call or record by thousands
        assert growth < 500, f"{name}: {growth} blocks more after 2000 calls"
        assert same_refs, f"{name}: reference counts changed"


# ---- Thread stress -----------------------------------------------------------

STRESS_SCRIPT = r"""
import faulthandler, json, logging, random, sys, threading, time
import _quorlin_core as q

duration = float(sys.argv[1])
faulthandler.dump_traceback_later(duration + 60, exit=True)
sys.setswitchinterval(1e-5)  # switch threads as often as possible
R = q.SemanticLabel.Regular
nan, inf = float("nan"), float("inf")
BOUNDS = (0.0, 0.0, 1000.0, 1000.0)

def page(boxes):
    return [q.Element(i, *b, R) for i, b in enumerate(boxes)]

rng = random.Random(7)
PAGES = [
    page([((i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20) for i in range(40)]),
    page([(20 * i, 20 * i, 20 * i + 10, 20 * i + 10) for i in range(150)]),
    page([(0, nan, 10, 0), (0, 20, 10, 30), (-inf, 40, inf, 50), (nan, nan, nan, nan), (0, -0.0, 5, 0.0)]),
    page([(0, 0, 45, 100), (55, 0, 100, 100), (48, 50, 52, 52)]),
    page([(x, y, x + rng.randint(5, 200), y + rng.randint(5, 30))
          for x, y in ((rng.randint(0, 600), rng.randint(0, 800)) for _ in range(120))]),
    [],
]
EXPECTED = [q.compute_order_mervane(p, BOUNDS) for p in PAGES]  # single-threaded

stop = threading.Event()
errors = []
stats = {"orders": 0, "errors_raised": 0, "resets": 0, "reconfigurations": 0, "records": 0}
lock = threading.Lock()

def bump(key, n=1):
    with lock:
        stats[key] += n

class Check(logging.Handler):
    # Every forwarded record must be one of the module's own, intact.
    def emit(self, record):
        msg = record.getMessage()
        if record.name not in ("quorlinpy", "quorlinpy.mervane") or record.args != () or not (
                msg.startswith(("[sort] ", "[segment] ", "[merge] ", "compute_order_mervane: "))):
            errors.append("bad record: %r %r" % (record.name, msg))
        bump("records")

def orderer(seed):
    r = random.Random(seed)
    n = 0
    while not stop.is_set():
        i = r.randrange(len(PAGES))
        elements = PAGES[i] if r.random() < 0.5 else tuple(PAGES[i])
        config = q.XYCutConfig(r.random()) if r.random() < 0.3 else None
        got = q.compute_order_mervane(elements, BOUNDS, config)
        if got != EXPECTED[i]:
            errors.append("page %d: %r != %r" % (i, got[:10], EXPECTED[i][:10]))
        n += 1
    bump("orders", n)

def misuser(seed):
    # Error paths interleaved with the others: exceptions must not leak
    # between threads or into the logging calls.
    r = random.Random(seed)
    n = 0
    while not stop.is_set():
        try:
            q.compute_order_mervane(PAGES[0] + [5], BOUNDS) if r.random() < 0.5 else q.Element(-1, 0, 0, 1, 1, R)
        except TypeError as e:
            if "argument 'elements'" not in str(e):
                errors.append("wrong TypeError: %s" % e)
        except OverflowError:
            pass
        else:
            errors.append("no exception")
        n += 1
    bump("errors_raised", n)

def resetter():
    n = 0
    while not stop.is_set():
        q.reset_log_cache()
        n += 1
        time.sleep(0.0005)
    bump("resets", n)

def reconfigurer(seed):
    r = random.Random(seed)
    check = Check()
    levels = [logging.DEBUG, logging.WARNING, logging.NOTSET, logging.ERROR, logging.INFO]
    n = 0
    while not stop.is_set():
        choice = r.randrange(5)
        if choice == 0:
            logging.getLogger("quorlinpy").setLevel(r.choice(levels))
        elif choice == 1:
            logging.getLogger("quorlinpy.mervane").setLevel(r.choice(levels))
        elif choice == 2:
            logging.basicConfig(force=True, level=r.choice(levels), handlers=[check])
        elif choice == 3:
            logging.getLogger("quorlinpy").disabled = r.random() < 0.2
        else:
            logger = logging.getLogger("quorlinpy")
            if check in logger.handlers:
                logger.removeHandler(check)
            else:
                logger.addHandler(check)
        n += 1
        time.sleep(0.0005)
    bump("reconfigurations", n)

threads = [threading.Thread(target=orderer, args=(s,)) for s in range(4)]
threads += [threading.Thread(target=misuser, args=(10,)), threading.Thread(target=resetter),
            threading.Thread(target=reconfigurer, args=(20,)), threading.Thread(target=reconfigurer, args=(21,))]
start = time.monotonic()
for t in threads:
    t.start()
time.sleep(duration)
stop.set()
for t in threads:
    t.join(30)
alive = [t.name for t in threads if t.is_alive()]
stats["seconds"] = round(time.monotonic() - start, 2)
stats["alive"] = alive
stats["errors"] = errors[:20]
print(json.dumps(stats))
"""


@slow
def test_threads_ordering_resetting_and_reconfiguring():
    out = run_script(STRESS_SCRIPT, timeout=STRESS_SECONDS + 120, args=[STRESS_SECONDS])
    stats = json.loads(out)
    assert stats["alive"] == [], "threads did not finish: deadlock"
    assert stats["errors"] == []
    assert stats["seconds"] >= STRESS_SECONDS
    # every kind of thread made progress, and records did reach Python
    for key in ("orders", "errors_raised", "resets", "reconfigurations", "records"):
        assert stats[key] > 0, (key, stats)


def test_concurrent_first_uses_create_one_sequence_name():
    # The name used by the not-a-sequence error is created on first need; a
    # fresh interpreter makes many threads need it at the same moment.
    out = run_script("""
        import threading
        import _quorlin_core as q
        barrier = threading.Barrier(8)
        messages = []
        def first_use():
            barrier.wait()
            try:
                q.compute_order_mervane({}, (0, 0, 1, 1))
            except TypeError as e:
                messages.append(str(e))
        threads = [threading.Thread(target=first_use) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join(30)
        print(len(messages), sorted(set(messages)))
    """, timeout=60)
    assert out.strip() == "8 [\"argument 'elements': 'dict' object is not an instance of 'Sequence'\"]"


def test_nested_first_use_from_an_import_hook_does_not_deadlock():
    # Regression: builtins.__import__ runs while the name is being created;
    # a hook that needs the same name again on the same thread used to wait
    # forever for the lock its own thread held.
    out = run_script("""
        import builtins
        import _quorlin_core as q
        original = builtins.__import__
        nested = []
        def hook(name, *args, **kwargs):
            if name == "collections.abc" and not nested:
                nested.append(True)
                try:
                    q.compute_order_mervane(5, (0, 0, 1, 1))
                except TypeError as e:
                    print("inner", e)
            return original(name, *args, **kwargs)
        builtins.__import__ = hook
        for _ in range(2):
            try:
                q.compute_order_mervane(5, (0, 0, 1, 1))
            except TypeError as e:
                print("outer", e)
    """, timeout=30)
    message = "argument 'elements': 'int' object is not an instance of 'Sequence'"
    assert out.splitlines() == [f"inner {message}", f"outer {message}", f"outer {message}"]


EXIT_WITH_DAEMONS = """
import logging, threading
import _quorlin_core as q
R = q.SemanticLabel.Regular

def busy():  # Python code during which the interpreter may switch threads
    return sum(range(50))

class Number:
    def __init__(self, v):
        self.v = v
    def __float__(self):
        busy()
        return float(self.v)

class Items:
    def __init__(self, items):
        self.items = items
    def __getitem__(self, i):
        busy()
        return self.items[i]
    def __len__(self):
        return len(self.items)

class Formatting(logging.Handler):
    def emit(self, record):
        self.format(record)

page = [q.Element(i, (i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20, R) for i in range(30)]
logging.basicConfig(level=logging.DEBUG, handlers=[Formatting()])
started = threading.Barrier(7)

def ordering_with_logging():
    started.wait()
    while True:
        q.compute_order_mervane(page, (0, 0, 1, 1))

def converting():
    started.wait()
    while True:
        q.Element(1, Number(1), Number(2), Number(3), Number(4), R)
        q.XYCutConfig(Number(1)).same_row_tolerance = Number(2)

def iterating():
    started.wait()
    items = Items(page)
    while True:
        q.compute_order_mervane(items, (Number(0), 0, 1, 1))

for target in [ordering_with_logging, converting, iterating] * 2:
    threading.Thread(target=target, daemon=True).start()
started.wait()
print("exiting")
"""


def test_interpreter_exit_while_daemon_threads_use_the_module():
    # Regression: a finalizing interpreter (3.13 and earlier) ends a daemon
    # thread that tries to take the interpreter lock back with pthread_exit,
    # which unwinds the thread's C++ frames. Inside a logging call, a
    # conversion or the iteration of the elements, that aborted the process
    # ("terminate called without an active exception") or crashed it by
    # dropping references without the lock, in about half of the exits.
    # Several exits make a regression all but certain to show.
    for _ in range(6):
        assert run_script(EXIT_WITH_DAEMONS, timeout=60).strip() == "exiting"


def test_finaliser_ordering_during_shutdown():
    out = run_script("""
        import logging
        import _quorlin_core as q
        R = q.SemanticLabel.Regular
        page = [q.Element(i, (i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20, R)
                for i in range(8)]
        logging.basicConfig(level=logging.DEBUG, handlers=[logging.NullHandler()])
        class OrdersWhenCollected:
            def __del__(self):
                print(q.compute_order_mervane(page, (0, 0, 1, 1)), flush=True)
        keeper = OrdersWhenCollected()
        keeper.cycle = keeper  # collected only by the final collection
        del keeper
    """, timeout=60)
    assert out.strip() == "[0, 2, 4, 6, 1, 3, 5, 7]"


# ---- Hostile inputs: sequences ---------------------------------------------


@pytest.mark.parametrize(
    "length",
    [
        RuntimeError("no length"),
        -1,  # ValueError from the interpreter
        2**100,  # OverflowError from the interpreter
        sys.maxsize,  # cannot be reserved
        10**9,  # 24 GB of records: refused by the allocator or reserved untouched
        10**8,
        0,
        3,  # fewer than there are
        "20",  # TypeError from the interpreter
    ],
    ids=lambda v: repr(v)[:24],
)
def test_lying_or_failing_len_only_sizes_the_reservation(length):
    page = two_columns(20)
    got = q.compute_order_mervane(ItemSequence(page, length), BOUNDS)
    assert got == column_order(20)


@pytest.mark.parametrize(
    "error",
    [KeyboardInterrupt("stop"), SystemExit(3), GeneratorExit("closing"), Interrupt("length interrupted")],
    ids=lambda e: type(e).__name__,
)
def test_length_raising_outside_exception_stops_the_call_unchanged(error):
    with pytest.raises(BaseException) as info:
        q.compute_order_mervane(ItemSequence(two_columns(4), error), BOUNDS)
    assert info.value is error and info.value.args == error.args


class ShrinkingSequence:
    """Each __getitem__ builds the element from a raw box, converting one
    coordinate through a __float__ that drops the last box of the list being
    iterated."""

    def __init__(self, boxes):
        self.boxes = boxes
        self.yielded = []

    def __getitem__(self, i):
        boxes = self.boxes

        class Shrinks:
            def __float__(self):
                if boxes:
                    boxes.pop()
                return 0.0

        x1, y1, x2, y2 = boxes[i]  # IndexError ends the iteration
        e = q.Element(i, Shrinks(), y1, x2, y2, R)
        self.yielded.append(e)
        return e

    def __len__(self):
        return len(self.boxes)


class ClearingIter(list):
    """Clears itself (dropping the last references to its elements) after
    yielding the first half, then yields fresh elements nobody else holds."""

    def __iter__(self):
        half = len(self) // 2
        for i in range(half):
            yield self[i]
        extra = len(self)
        self.clear()
        gc.collect()
        for i in range(3):
            yield el(extra + i, 200, 30 * i, 240, 30 * i + 20)


def test_sequence_shrinking_during_iteration_orders_what_was_yielded():
    seq = ShrinkingSequence([(0, 30 * i, 40, 30 * i + 20) for i in range(10)])
    got = q.compute_order_mervane(seq, BOUNDS)
    assert len(seq.yielded) == 5  # the list lost one box per item taken
    assert got == q.compute_order_mervane(seq.yielded, BOUNDS) == [0, 1, 2, 3, 4]


def test_list_cleared_by_its_own_iterator_orders_what_was_yielded():
    items = ClearingIter(two_columns(10))
    got = q.compute_order_mervane(items, BOUNDS)
    assert items == []
    # left column 0, 2, 4; right column 1, 3; then the fresh third column
    assert got == [0, 2, 4, 1, 3, 10, 11, 12]


def test_page_bounds_conversion_cannot_change_converted_elements():
    # The elements are copied before the page bounds are read: a __float__
    # that empties the list and frees its elements changes nothing.
    page = two_columns(8)
    ids = column_order(8)

    class Clears:
        def __float__(self):
            page.clear()
            gc.collect()
            return 1.0

    assert q.compute_order_mervane(page, (0, 0, 1, Clears())) == ids
    assert page == []


# ---- Hostile inputs: number protocols -----------------------------------------


def _element_id(v):
    return q.Element(v, 0, 0, 1, 1, R)


def _element_y2(v):
    return q.Element(1, 0, 0, 1, v, R)


def _config(v):
    return q.XYCutConfig(histogram_resolution_scale=v)


def _setter(v):
    c = q.XYCutConfig()
    try:
        c.same_row_tolerance = v
    finally:
        assert c.same_row_tolerance == 10.0  # a failed assignment changes nothing


def _bounds(v):
    return q.compute_order_mervane([el(1, 0, 0, 1, 1)], (0, 0, v, 1))


SITES = {"Element id": _element_id, "Element y2": _element_y2, "XYCutConfig": _config,
         "XYCutConfig setter": _setter, "page_bounds": _bounds}
PREFIX = {"Element id": "argument 'id': ", "Element y2": "argument 'y2': ",
          "XYCutConfig": "argument 'histogram_resolution_scale': ",
          "XYCutConfig setter": "argument 'same_row_tolerance': ", "page_bounds": "argument 'page_bounds': "}


@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize(
    "result, exc",
    [
        (ValueError("protocol failed"), ValueError),
        (Interrupt("protocol interrupted"), Interrupt),  # BaseException passes unchanged
        (ArithmeticError("protocol arithmetic"), ArithmeticError),
        (TypeError("protocol type"), TypeError),  # prefixed with the parameter
        (None, TypeError),  # __float__/__index__ returned a wrong type
        ([1.0], TypeError),
    ],
    ids=["ValueError", "BaseException", "ArithmeticError", "TypeError", "returns-None", "returns-list"],
)
def test_hostile_number_protocols(site, result, exc):
    with pytest.raises(BaseException) as info:
        SITES[site](Number(result))
    assert type(info.value) is exc
    if exc is TypeError:
        assert str(info.value).startswith(PREFIX[site])
    else:
        assert info.value is result  # the very object raised, not a copy


class IntSub(int):
    pass


class FloatSub(float):
    pass


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: q.Element(Number(IntSub(7)), 0, 0, 1, 1, R).id, 7),  # __index__ returned an int subclass
        (lambda: q.Element(IntSub(2**64 - 1), 0, 0, 1, 1, R).id, 2**64 - 1),
        (lambda: q.Element(1, Number(FloatSub(2.5)), 0, 1, 1, R).x1, 2.5),  # __float__ returned a float subclass
        (lambda: q.Element(1, FloatSub(0.1), 0, 1, 1, R).x1, 0.10000000149011612),
        (lambda: q.XYCutConfig(Index(IntSub(3))).min_cut_threshold, 3.0),  # __index__ only
    ],
    ids=["index-int-subclass", "int-subclass-id", "float-returns-subclass", "float-subclass", "index-for-float"],
)
def test_number_subclasses_convert_by_value(make, expected):
    value = make()
    assert value == expected and type(value) in (int, float)


@pytest.mark.parametrize(
    "id_",
    [0, 1, 2**32, 2**63, 2**64 - 1, True, Index(0), Index(2**64 - 1)],
    ids=["0", "1", "2^32", "2^63", "2^64-1", "True", "index-0", "index-max"],
)
def test_id_extremes_round_trip(id_):
    value = int(id_) if not isinstance(id_, Index) else id_.value
    page = [el(id_, 0, 50, 10, 60), el(value, 0, 0, 10, 10), el(5, 0, 100, 10, 110)]
    assert page[0].id == value and type(page[0].id) is int
    assert q.compute_order_mervane(page, BOUNDS) == [value, value, 5]


# ---- Hostile inputs: subclasses ---------------------------------------------


class WithDict(q.Element):
    pass


class WithSlots(q.Element):
    __slots__ = ("note",)


class ExtraNew(q.Element):
    def __new__(cls, id_, box, label, note):
        self = super().__new__(cls, id_, *box, label)
        self.note = note
        return self

    def __init__(self, *args, **kwargs):
        pass


class ExtraInitOnly(q.Element):
    def __init__(self, *args, note=None):
        self.note = note


class ShadowsId(q.Element):
    @property
    def id(self):
        return -5


@pytest.mark.parametrize(
    "make",
    [
        lambda i, b: WithDict(i, *b, R),
        lambda i, b: WithSlots(i, *b, R),
        lambda i, b: ExtraNew(i, b, R, note="n"),
        lambda i, b: ExtraInitOnly(i, *b, R),
        lambda i, b: ShadowsId(i, *b, R),
    ],
    ids=["dict", "slots", "extra-new-args", "init-only", "shadowed-id"],
)
def test_element_subclasses_are_ordered_by_their_stored_values(make):
    page = [make(i, ((i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20)) for i in range(6)]
    # the stored id counts, not an attribute a subclass puts in front of it
    assert q.compute_order_mervane(page, BOUNDS) == column_order(6)
    # mixed with plain elements in the same boxes, which keep input order
    assert q.compute_order_mervane(page + two_columns(2), BOUNDS) == [0, 0, 2, 4, 1, 1, 3, 5]


def test_element_subclass_with_extra_init_arguments_needs_its_own_new():
    # __new__ sees every argument, so extra ones must be taken out there.
    with pytest.raises(TypeError, match="unexpected keyword argument 'note'"):
        ExtraInitOnly(1, 0, 0, 1, 1, R, note="x")
    e = ExtraNew(1, (0, 0, 1, 1), R, "x")
    assert (type(e), e.id, e.note) == (ExtraNew, 1, "x")


def test_subclass_instances_in_cycles_are_collected():
    class Node(q.Element):
        pass

    a, b = Node(1, 0, 0, 1, 1, R), Node(2, 0, 10, 1, 11, R)
    a.other, b.other = b, a
    refs = weakref.ref(a), weakref.ref(b)
    assert q.compute_order_mervane([a, b], BOUNDS) == [1, 2]
    del a, b
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_resurrected_element_keeps_its_values():
    saved = []

    class Phoenix(q.Element):
        def __del__(self):
            saved.append(self)

    e = Phoenix(2**64 - 1, 1.5, 2.5, 3.5, 4.5, L.Vision)
    del e
    gc.collect()
    (back,) = saved
    assert (back.id, back.x1, back.y1, back.x2, back.y2, back.label) == (2**64 - 1, 1.5, 2.5, 3.5, 4.5, L.Vision)
    assert q.compute_order_mervane([back], BOUNDS) == [2**64 - 1]


def test_config_subclasses():
    class Tuned(q.XYCutConfig):
        def __init__(self, *args, note=None, **kwargs):
            self.note = note

        @property
        def same_row_tolerance(self):  # shadows the stored value for Python only
            return -1.0

    with pytest.raises(TypeError, match="unexpected keyword argument 'note'"):
        Tuned(note=1)
    c = Tuned(2.0)
    c.min_cut_threshold = 4
    assert (c.min_cut_threshold, c.same_row_tolerance, c.note) == (4.0, -1.0, None)
    assert q.compute_order_mervane(two_columns(4), BOUNDS, c) == [0, 2, 1, 3]


@pytest.mark.parametrize(
    "bases",
    [(q.Element, q.XYCutConfig), (q.Element, int), (q.XYCutConfig, float)],
    ids=["element+config", "element+int", "config+float"],
)
def test_incompatible_layouts_cannot_be_combined(bases):
    with pytest.raises(TypeError, match="lay-out conflict"):
        type("Both", bases, {})


def test_classes_refuse_unsafe_construction():
    import copy
    import pickle

    with pytest.raises(TypeError):
        type("MyLabel", (q.SemanticLabel,), {})
    with pytest.raises(TypeError):
        copy.copy(L.Vision)
    with pytest.raises(TypeError):
        object.__new__(q.SemanticLabel)
    with pytest.raises((TypeError, pickle.PicklingError)):
        pickle.dumps(L.Vision)
    with pytest.raises(TypeError):
        object.__new__(q.Element)


# ---- Hostile inputs: size ----------------------------------------------------


@slow
def test_million_element_page():
    n = 10**6
    got = q.compute_order_mervane(balanced_row(n), BOUNDS)
    assert len(got) == n and got == list(range(n))


# ---- Hostile inputs: logging ---------------------------------------------------

LOGGING_PRELUDE = """
import logging, sys
import _quorlin_core as q
R = q.SemanticLabel.Regular
def two_columns(n):
    return [q.Element(i, (i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20, R) for i in range(n)]
BOUNDS = (0, 0, 1, 1)
PAGE = two_columns(10)
EXPECTED = q.compute_order_mervane(PAGE, BOUNDS)
logger = logging.getLogger("quorlinpy")
logger.setLevel(logging.DEBUG)
logger.propagate = False
"""


def run_logging(body, timeout=60):
    return run_script(LOGGING_PRELUDE + textwrap.dedent(body), timeout=timeout)


def test_handler_raising_base_exception_is_raised_by_the_call():
    out = run_logging("""
        class Stop(BaseException):
            pass
        seen = []
        class Raises(logging.Handler):
            def emit(self, record):
                seen.append(record.getMessage())
                if "[segment]" in record.getMessage():
                    raise Stop(len(seen))
        logger.addHandler(Raises())
        q.reset_log_cache()
        try:
            q.compute_order_mervane(PAGE, BOUNDS)
        except Stop as e:
            print("raised", e.args[0], "of", len(seen))
        else:
            print("returned")
        # the module is usable afterwards, and the order is unchanged
        logger.handlers.clear()
        print(q.compute_order_mervane(PAGE, BOUNDS) == EXPECTED)
    """)
    first, second = out.splitlines()
    _, at, _, total = first.split()
    # raised at the first segment line, though later records were forwarded
    assert first.startswith("raised ") and int(at) == 5 and int(total) > 5
    assert second == "True"


def test_filter_reentering_the_entry_orders_both_pages():
    out = run_logging("""
        INNER = two_columns(6)
        INNER_EXPECTED = q.compute_order_mervane(INNER, BOUNDS)
        depth = [0]
        results = []
        names = []
        def reenter(record):
            names.append((depth[0], record.name))
            if depth[0] < 2:  # two levels of nesting, then plain filtering
                depth[0] += 1
                try:
                    results.append(q.compute_order_mervane(INNER, BOUNDS) == INNER_EXPECTED)
                    q.reset_log_cache()
                finally:
                    depth[0] -= 1
            return True
        logger.addFilter(reenter)
        logging.getLogger("quorlinpy.mervane").addFilter(reenter)
        q.reset_log_cache()
        outer = q.compute_order_mervane(PAGE, BOUNDS)
        print(outer == EXPECTED, len(results), all(results), sorted({d for d, _ in names}))
    """)
    ok, count, all_ok, depths = out.split(maxsplit=3)
    assert (ok, all_ok, depths.strip()) == ("True", "True", "[0, 1, 2]")
    assert int(count) > 20  # every record of the outer and first nested calls re-entered


def test_unbounded_reentry_ends_in_recursion_error():
    # A filter that re-enters once per call nests until the interpreter's
    # recursion limit: the outermost call raises RecursionError, no crash.
    out = run_logging("""
        depth = [0, 0]
        def reenter(record):
            if record.name == "quorlinpy":  # the entry's line: once per call
                depth[0] += 1
                depth[1] = max(depth[1], depth[0])
                try:
                    q.compute_order_mervane(PAGE, BOUNDS)
                finally:
                    depth[0] -= 1
            return True
        logger.addFilter(reenter)
        q.reset_log_cache()
        try:
            q.compute_order_mervane(PAGE, BOUNDS)
        except RecursionError:
            print("RecursionError", depth[1])
        logger.removeFilter(reenter)
        print(q.compute_order_mervane(PAGE, BOUNDS) == EXPECTED)
    """)
    first, second = out.splitlines()
    assert first.startswith("RecursionError ") and int(first.split()[1]) > 50
    assert second == "True"
