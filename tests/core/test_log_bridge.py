"""The bridge from the module's log records to Python logging. The cache of
enabled levels is process-wide, so each state is checked in a fresh
interpreter."""

import textwrap

import pytest

import _quorlin_core as q
from conftest import run_python

# Counts the Python calls the bridge makes, and builds a two-column page whose
# ordering logs only debug lines, and a pair that logs one warning.
PRELUDE = """
import logging, sys
calls = {"getLogger": 0, "isEnabledFor": 0, "handle": 0}
_get, _enabled, _handle = logging.getLogger, logging.Logger.isEnabledFor, logging.Logger.handle
def getLogger(name=None):
    calls["getLogger"] += 1
    return _get(name)
def isEnabledFor(self, level):
    calls["isEnabledFor"] += 1
    return _enabled(self, level)
def handle(self, record):
    calls["handle"] += 1
    return _handle(self, record)
logging.getLogger, logging.Logger.isEnabledFor, logging.Logger.handle = getLogger, isEnabledFor, handle
import _quorlin_core as q
R = q.SemanticLabel.Regular
PAGE = [q.Element(i, (i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20, R) for i in range(50)]
WARN_PAIR = [q.Element(1, 0, float("nan"), 10, 0, R), q.Element(2, 0, 20, 10, 30, R)]
BOUNDS = (0, 0, 1, 1)
class Keep(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []
    def emit(self, record):
        self.records.append(record)
def snapshot():
    out = dict(calls)
    for k in calls:
        calls[k] = 0
    return out
"""


def run_bridge(body):
    return run_python(PRELUDE + textwrap.dedent(body))


def test_default_configuration_drops_debug_without_calling_python():
    out = run_bridge("""
        keep = Keep(); logging.getLogger().addHandler(keep)
        snapshot()
        q.compute_order_mervane(PAGE, BOUNDS)
        first = snapshot()
        for _ in range(100):
            q.compute_order_mervane(PAGE, BOUNDS)
        later = snapshot()
        assert q.compute_order_mervane(WARN_PAIR, BOUNDS) == [1, 2]
        warn = snapshot()
        print(first, later, warn, [(r.name, r.levelno, r.lineno) for r in keep.records])
    """)
    # first call: one getLogger per target, one isEnabledFor for the record
    # and four probes (5, 10, 20 false; 30 true) per target
    assert out.startswith("{'getLogger': 2, 'isEnabledFor': 10, 'handle': 0} "
                          "{'getLogger': 0, 'isEnabledFor': 0, 'handle': 0} "
                          "{'getLogger': 0, 'isEnabledFor': 1, 'handle': 1} ")
    assert out.strip().endswith("[('quorlinpy.mervane', 30, 279)]")


def test_debug_configured_later_waits_for_reset():
    out = run_bridge("""
        q.compute_order_mervane(PAGE, BOUNDS)
        keep = Keep(); logging.basicConfig(level=logging.DEBUG, handlers=[keep])
        q.compute_order_mervane(PAGE, BOUNDS)
        before = len(keep.records)
        assert q.reset_log_cache() is None
        q.compute_order_mervane(PAGE, BOUNDS)
        print(before, sorted({r.name for r in keep.records}), keep.records[0].getMessage())
    """)
    assert out.split()[0] == "0"
    assert "['quorlinpy', 'quorlinpy.mervane'] compute_order_mervane: 50 elements" in out


def test_parent_logger_at_debug_before_first_call_enables_both_targets():
    out = run_bridge("""
        keep = Keep(); logging.getLogger().addHandler(keep)
        logging.getLogger("quorlinpy").setLevel(logging.DEBUG)
        q.compute_order_mervane(PAGE[:2], BOUNDS)
        for r in keep.records:
            print(r.name, r.levelno, r.lineno, r.getMessage())
    """)
    assert out.splitlines() == [
        "quorlinpy 10 242 compute_order_mervane: 2 elements",
        "quorlinpy.mervane 10 87 [sort] 2 elements (beta=2, density_threshold=0.9)",
        "quorlinpy.mervane 10 110 [sort] cross-layout: 0, remaining: 2",
        "quorlinpy.mervane 10 126 [sort] density_ratio=0.800, prefer_horizontal_first=false",
        "quorlinpy.mervane 10 270 [segment] vertical cut at x=50.0 (gap=20.0) on 2 elements",
        "quorlinpy.mervane 10 287 [segment] split into 2 groups: 1, 1",
    ]


def test_record_fields_reaching_a_handler():
    out = run_bridge("""
        keep = Keep(); logging.getLogger().addHandler(keep)
        logging.getLogger("quorlinpy").setLevel(logging.DEBUG)
        q.compute_order_mervane(WARN_PAIR, BOUNDS)
        for r in keep.records[:2] + [r for r in keep.records if r.levelno == 30]:
            print(repr((r.name, r.levelno, r.levelname, r.pathname, r.lineno, r.msg, r.args, r.exc_info, r.funcName)))
    """)
    assert out.splitlines() == [
        repr(("quorlinpy", 10, "DEBUG", "src/lib", 242, "compute_order_mervane: 2 elements", (), None, None)),
        repr(("quorlinpy.mervane", 10, "DEBUG", "src/mervane/quorlin_sorter/src/lib", 87,
              "[sort] 2 elements (beta=2, density_threshold=0.9)", (), None, None)),
        repr(("quorlinpy.mervane", 30, "WARNING", "src/mervane/quorlin_sorter/src/lib", 279,
              "[segment] cut produced only 1 group for 2 elements, falling back to y-then-x sort", (), None, None)),
    ]


def test_each_target_has_its_own_cache_entry():
    # quorlinpy is cached as silent by the first call; enabling only the
    # child afterwards shows the child's lines after a reset, never the parent's
    out = run_bridge("""
        q.compute_order_mervane(PAGE[:2], BOUNDS)
        keep = Keep(); logging.getLogger("quorlinpy.mervane").addHandler(keep)
        logging.getLogger("quorlinpy.mervane").setLevel(logging.DEBUG)
        q.reset_log_cache(); q.reset_log_cache()
        q.compute_order_mervane(PAGE[:2], BOUNDS)
        print(sorted({r.name for r in keep.records}), len(keep.records))
    """)
    assert out.strip() == "['quorlinpy.mervane'] 5"


def test_less_verbose_takes_effect_at_once():
    out = run_bridge("""
        keep = Keep(); logging.getLogger().addHandler(keep)
        logging.getLogger("quorlinpy").setLevel(logging.DEBUG)
        q.compute_order_mervane(PAGE[:2], BOUNDS)
        n = len(keep.records)
        logging.getLogger("quorlinpy").setLevel(logging.ERROR)
        q.compute_order_mervane(PAGE[:2], BOUNDS)
        print(n, len(keep.records))
    """)
    assert out.split() == ["6", "6"]


def test_reset_during_a_probe_is_not_undone_by_the_probe():
    # A worker's first record of quorlinpy probes the logger's levels; its
    # isEnabledFor(30) answers under the default configuration, then waits
    # while this thread makes quorlinpy verbose and resets the cache. The
    # worker's stale answer must not land in the fresh cache.
    out = run_bridge("""
        import threading
        in_probe, reset_done = threading.Event(), threading.Event()
        def answer_then_wait(self, level):
            result = _enabled(self, level)
            if threading.current_thread() is worker and self.name == "quorlinpy" and level == 30:
                in_probe.set()
                reset_done.wait(60)
            return result
        logging.Logger.isEnabledFor = answer_then_wait
        keep = Keep(); logging.getLogger().addHandler(keep)
        worker = threading.Thread(target=q.compute_order_mervane, args=(PAGE[:2], BOUNDS))
        worker.start()
        assert in_probe.wait(60)
        logging.getLogger("quorlinpy").setLevel(logging.DEBUG)
        q.reset_log_cache()
        reset_done.set()
        worker.join()
        keep.records.clear()
        q.compute_order_mervane(PAGE[:2], BOUNDS)
        print([r.getMessage() for r in keep.records if r.name == "quorlinpy"])
    """)
    assert out.strip() == "['compute_order_mervane: 2 elements']"


def test_reset_log_cache_takes_no_arguments():
    assert q.reset_log_cache() is None
    assert q.reset_log_cache() is None
    with pytest.raises(TypeError, match=r"reset_log_cache\(\) takes no arguments \(1 given\)"):
        q.reset_log_cache(1)
    with pytest.raises(TypeError):
        q.reset_log_cache(x=1)


@pytest.mark.parametrize("where", ["filter", "handler"])
def test_exception_raised_by_logging_is_raised_by_the_call(where):
    out = run_bridge(f"""
        class Boom(Exception):
            pass
        seen = []
        def fail(record):
            seen.append(record.getMessage())
            raise Boom("first") if len(seen) == 1 else RuntimeError("later")
        logger = logging.getLogger("quorlinpy")
        logger.setLevel(logging.DEBUG)
        if "{where}" == "filter":
            logger.addFilter(fail)
            logging.getLogger("quorlinpy.mervane").addFilter(fail)
        else:
            h = Keep(); h.emit = fail; logger.addHandler(h)
        try:
            q.compute_order_mervane(PAGE[:4], BOUNDS)
        except Boom as e:
            print("raised", e, len(seen))
        else:
            print("returned")
    """)
    # the first error wins over the ones raised by later records, and later
    # records are still forwarded
    first_line = out.splitlines()[0]
    assert first_line.startswith("raised first ") and int(first_line.split()[2]) > 1


def test_import_fails_cleanly_without_logging():
    out = run_python("""
        import sys
        sys.modules["logging"] = None
        try:
            import _quorlin_core
        except ImportError as e:
            print(str(e))
            print(type(e.__cause__).__name__)
    """)
    assert out.splitlines() == [
        "Failed to initialize python logging: ModuleNotFoundError: import of logging halted; None in sys.modules",
        "ModuleNotFoundError",
    ]


def test_second_installation_in_one_process_is_refused():
    out = run_python("""
        import sys
        import _quorlin_core
        del sys.modules["_quorlin_core"]
        try:
            import _quorlin_core
        except ImportError as e:
            print(e)
    """)
    assert "SetLoggerError" in out
