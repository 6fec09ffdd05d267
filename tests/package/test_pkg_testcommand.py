"""tools/run-tests.sh on machines that lack system packages, root or apt.

Only the script's system-package step runs (``--deps-only``); the probes
point at an empty fake system through the script's environment variables,
and ``apt-get`` is a fake that records its calls.  PYTHON and VENV point
nowhere, so a script that went on past that step would fail.
"""

from __future__ import annotations

import os
import shutil
import stat
import subprocess

import pytest
from pkg_helpers import REPO

pytestmark = pytest.mark.skipif(shutil.which("bash") is None, reason="the test command is a bash script")

PACKAGES = "libgtest-dev clang-14 libclang-rt-14-dev librsvg2-bin"

# A fake apt-get: logs its arguments; "install" exits with $FAKE_APT_STATUS
# and, when that is 0, puts the probed files in place as the packages would.
FAKE_APT = """#!/bin/sh
echo "$*" >> "$FAKE/apt.log"
[ "$1" = update ] && exit "$FAKE_APT_UPDATE_STATUS"
[ "$FAKE_APT_STATUS" = 0 ] || exit "$FAKE_APT_STATUS"
mkdir -p "$FAKE/include/gtest" "$FAKE/bin" "$FAKE/llvm/lib/clang/14/lib/linux"
touch "$FAKE/include/gtest/gtest.h" "$FAKE/llvm/lib/clang/14/lib/linux/libclang_rt.fuzzer-x86_64.a"
printf '#!/bin/sh\\n' > "$FAKE/bin/clang++-14" && chmod +x "$FAKE/bin/clang++-14"
printf '#!/bin/sh\\n' > "$FAKE/bin/rsvg-convert" && chmod +x "$FAKE/bin/rsvg-convert"
"""


def run_deps_step(tmp_path, *, euid: str, apt: bool, update_status: int = 0, install_status: int = 0,
                  require_all: str = "0"):
    fake = tmp_path / "fake"
    fake.mkdir()
    apt_get = fake / "apt-get"
    if apt:
        apt_get.write_text(FAKE_APT)
        apt_get.chmod(apt_get.stat().st_mode | stat.S_IXUSR)
    env = dict(
        os.environ,
        FAKE=str(fake), FAKE_APT_STATUS=str(install_status), FAKE_APT_UPDATE_STATUS=str(update_status),
        QUORLIN_EUID=euid, QUORLIN_APT_GET=str(apt_get), QUORLIN_GTEST_INCLUDE=str(fake / "include"),
        QUORLIN_CLANGXX=str(fake / "bin" / "clang++-14"), QUORLIN_LLVM_DIR=str(fake / "llvm"),
        QUORLIN_RSVG=str(fake / "bin" / "rsvg-convert"),
        PYTHON=str(fake / "no-python"), VENV=str(fake / "no-venv"), QUORLIN_REQUIRE_ALL=require_all,
    )
    proc = subprocess.run(["bash", str(REPO / "tools" / "run-tests.sh"), "--deps-only"],
                          capture_output=True, text=True, env=env, timeout=60)
    log = fake / "apt.log"
    calls = log.read_text().splitlines() if log.exists() else []
    return proc, calls


SKIPPED = ["skipped: C++ engine tests", "skipped: reliability checks"]

# (id, euid, apt present, apt update status, install status, apt calls, expected output, unexpected output)
SCENARIOS = [
    ("not-root", "1000", True, 0, 0, [],
     ["not running as root", f"sudo apt-get install -y {PACKAGES}", *SKIPPED], []),
    ("no-apt", "0", False, 0, 0, [],
     ["apt-get is not available", f"apt-get install -y {PACKAGES}", *SKIPPED], []),
    ("update-fails", "0", True, 100, 0, ["update -qq"],
     ["apt-get failed (status 100)", f"apt-get install -y {PACKAGES}", *SKIPPED], []),
    ("install-fails", "0", True, 0, 100, ["update -qq", f"install -y -qq {PACKAGES}"],
     ["apt-get failed (status 100)", *SKIPPED], []),
    ("root-with-apt", "0", True, 0, 0, ["update -qq", f"install -y -qq {PACKAGES}"],
     ["installing them", "no suite will be skipped"], ["skipped:"]),
]


@pytest.mark.parametrize(("euid", "apt", "update_status", "install_status", "calls", "shown", "not_shown"),
                         [s[1:] for s in SCENARIOS], ids=[s[0] for s in SCENARIOS])
def test_missing_system_packages_are_reported_and_the_run_carries_on(
        tmp_path, euid, apt, update_status, install_status, calls, shown, not_shown):
    proc, apt_calls = run_deps_step(tmp_path, euid=euid, apt=apt, update_status=update_status,
                                    install_status=install_status)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert apt_calls == calls
    output = proc.stdout + proc.stderr
    assert f"missing: {PACKAGES}" in output
    for text in shown:
        assert text in output
    for text in not_shown:
        assert text not in output


def test_ci_fails_when_a_suite_would_be_skipped(tmp_path):
    proc, _ = run_deps_step(tmp_path, euid="1000", apt=False, require_all="1")
    assert proc.returncode == 1
    assert proc.stdout.rstrip().endswith("QUORLIN_REQUIRE_ALL=1: a skipped suite counts as a failure")


def test_the_python_run_names_every_skipped_test_with_its_reason(tmp_path):
    """The test command's summary used to hide skipped tests; it repeats these lines."""
    import sys

    shutil.copy(REPO / "tests" / "conftest.py", tmp_path / "conftest.py")
    (tmp_path / "test_some.py").write_text(
        "import pytest\n\n\ndef test_runs():\n    pass\n\n\n"
        "@pytest.mark.skip(reason='no renderer here')\ndef test_draws():\n    pass\n")
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "SKIPPED TEST test_some.py::test_draws: no renderer here" in proc.stdout.splitlines()
