"""Exhausted C++ memory inside the module raises MemoryError and never ends
the process.

A replacement of operator new (failing_new.cpp, built here with the machine's
C++ compiler) is preloaded into a fresh interpreter. Each case is tried with
the n-th C++ allocation failing, and every one after it, for n = 1, 2, ...
until the call no longer meets a failing allocation: every attempt before
that must raise MemoryError, the last one must give the call's ordinary
outcome, and the interpreter must exit normally at the end.
"""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="session")
def failing_new(tmp_path_factory):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the preloaded sanitizer runtime provides operator new itself")
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        pytest.skip("no C++ compiler to build the failing operator new")
    library = tmp_path_factory.mktemp("failing_new") / "libfailing_new.so"
    source = os.path.join(HERE, "failing_new.cpp")
    proc = subprocess.run([cxx, "-std=c++20", "-O1", "-shared", "-fPIC", source, "-o", str(library)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return str(library)


PRELUDE = """
import ctypes, logging, os, sys
shim = ctypes.CDLL(os.environ["FAILING_NEW"])

def outcome(call):
    try:
        return repr(call())
    except MemoryError:
        return "MemoryError"
    except Exception as e:
        return f"{type(e).__name__}: {e}"

def sweep(call):
    # attempts that raised MemoryError, and the outcome of the first that did not
    for n in range(1, 100000):
        shim.failing_new_arm(n)
        got = outcome(call)
        shim.failing_new_disarm()
        if got != "MemoryError":
            return n - 1, got
    raise AssertionError("every attempt failed")
"""


def run_sweep(library, body):
    env = dict(os.environ, FAILING_NEW=library, LD_PRELOAD=library)
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", PRELUDE + textwrap.dedent(body)],
                          capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, f"exit code {proc.returncode}\n{proc.stderr}"
    failures, result = proc.stdout.strip().split(" ", 1)
    return int(failures), result


ORDERING = """
import _quorlin_core as q
R = q.SemanticLabel.Regular
PAGE = [q.Element(i, (i % 2) * 60, (i // 2) * 30, (i % 2) * 60 + 40, (i // 2) * 30 + 20, R) for i in range(6)]
"""

# Debug lines on: each attempt resets the cache, so the bridge fetches,
# probes and stores both loggers again and formats every line.
DEBUG_ORDERING = ORDERING + """
logging.getLogger("quorlinpy").setLevel(logging.DEBUG)
logging.getLogger("quorlinpy").addHandler(logging.NullHandler())
def call():
    q.reset_log_cache()
    return q.compute_order_mervane(PAGE, (0, 0, 1, 1))
"""


@pytest.mark.parametrize(
    "setup, call, expected, allocates",
    [
        (ORDERING, "q.compute_order_mervane()",
         "TypeError: compute_order_mervane() missing 2 required positional arguments: 'elements' and 'page_bounds'",
         True),
        (ORDERING, "q.Element()",
         "TypeError: Element.__new__() missing 6 required positional arguments: "
         "'id', 'x1', 'y1', 'x2', 'y2', and 'label'", True),
        # its message needs no C++ allocation: the ordinary error at once
        (ORDERING, "q.XYCutConfig(1, 2, 3, 4)",
         "TypeError: XYCutConfig.__new__() takes from 0 to 3 positional arguments but 4 were given", False),
        (ORDERING, "q.compute_order_mervane(PAGE, (0, 0, 1, 1))", "[0, 2, 4, 1, 3, 5]", True),
        (DEBUG_ORDERING, "call()", "[0, 2, 4, 1, 3, 5]", True),
        (ORDERING, "q.reset_log_cache()", "None", True),
    ],
    ids=["entry-missing-arguments", "element-without-arguments", "config-too-many-arguments", "ordering",
         "ordering-with-debug-lines", "reset-log-cache"],
)
def test_failing_allocations_raise_memory_error(failing_new, setup, call, expected, allocates):
    failures, result = run_sweep(failing_new, setup + f"""
failures, result = sweep(lambda: {call})
print(failures, result)
""")
    assert result == expected
    assert (failures > 0) == allocates


def test_import_with_failing_allocations_raises_memory_error(failing_new):
    failures, result = run_sweep(failing_new, """
def load():
    import _quorlin_core
    return _quorlin_core.__all__
failures, result = sweep(load)
print(failures, result)
""")
    assert result == "['reset_log_cache', 'compute_order_mervane', 'XYCutConfig', 'SemanticLabel', 'Element']"
    assert failures > 0
