#!/usr/bin/env bash
# Installs what the tests need and runs every suite the machine can run:
#   - system packages: GoogleTest (Debian's libgtest-dev) for the C++ tests,
#     clang with its sanitizer and libFuzzer runtimes for the reliability
#     checks, an SVG renderer (librsvg2-bin) for the tests that look at the
#     pictures; installed with apt-get when missing and running as root,
#     otherwise reported with the command that installs them;
#   - a virtual environment with the module built by `pip install .`, the
#     test dependencies and the OCR-D library (the ocrd extra, for the tests of
#     the ocrd-quorlin-order processor; about 400 MB installed);
#   - the C++ engine tests through CTest (skipped without GoogleTest);
#   - the Python tests (pytest, hypothesis) and the type check;
#   - the package fuzz smoke run: each reader and writer of the package
#     fuzzed with atheris for a fixed time (fuzz/package/smoke.py; skipped
#     when atheris does not install);
#   - the reliability checks: sanitizers and a fuzz smoke run (skipped
#     without clang and its runtimes).
# The last lines name every suite that was skipped, and every skipped test, and why.
#
# Usage: tools/run-tests.sh [--python-only] [--deps-only]
#   --python-only  only the virtual environment, the Python tests and the type check
#   --deps-only    only the system-package step and the list of suites it leaves out
#   PYTHON=/path/to/python3.12 VENV=build/venv-3.12 tools/run-tests.sh --python-only
#
# Where the system step looks (defaults in brackets), for unusual machines
# and for the test of this script:
#   QUORLIN_GTEST_INCLUDE  directories searched for gtest/gtest.h [/usr/include /usr/local/include]
#   QUORLIN_CLANGXX        clang C++ compiler, also used by tools/reliability.sh [clang++-14]
#   QUORLIN_LLVM_DIR       LLVM directory holding the libFuzzer runtime [/usr/lib/llvm-14]
#   QUORLIN_RSVG           the SVG renderer the picture tests use [rsvg-convert]
#   QUORLIN_APT_GET        the apt-get command [apt-get]
#   QUORLIN_EUID           user id the script runs as; apt-get is used only as 0 [id -u]
# QUORLIN_PACKAGE_FUZZ_SECONDS is the package fuzz run's time per target [15],
# and QUORLIN_REQUIRE_ALL=1 (as CI sets it) turns a skipped suite into a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

python_only=0
deps_only=0
for arg in "$@"; do
    case "$arg" in
        --python-only) python_only=1 ;;
        --deps-only) deps_only=1 ;;
        *) echo "usage: tools/run-tests.sh [--python-only] [--deps-only]" >&2; exit 2 ;;
    esac
done

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
gtest_include=${QUORLIN_GTEST_INCLUDE:-/usr/include /usr/local/include}
export QUORLIN_CLANGXX=${QUORLIN_CLANGXX:-clang++-14}
llvm_dir=${QUORLIN_LLVM_DIR:-/usr/lib/llvm-14}
apt_get=${QUORLIN_APT_GET:-apt-get}
euid=${QUORLIN_EUID:-$(id -u)}
svg_renderer=${QUORLIN_RSVG:-rsvg-convert}
require_all=${QUORLIN_REQUIRE_ALL:-0}
package_fuzz_seconds=${QUORLIN_PACKAGE_FUZZ_SECONDS:-15}

step() { printf '\n==> %s\n' "$*"; }
skipped=()  # one "suite (reason)" per suite left out

have_gtest() {
    local dir
    for dir in $gtest_include; do
        [ -f "$dir/gtest/gtest.h" ] && return 0
    done
    return 1
}
have_clang() { command -v "$QUORLIN_CLANGXX" >/dev/null 2>&1; }
have_fuzzer_runtime() { compgen -G "$llvm_dir/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null; }
have_svg_renderer() { command -v "$svg_renderer" >/dev/null 2>&1; }

# The system packages: installed when missing if this is root with apt-get;
# otherwise the run goes on without them and says what they would add.
system_packages() {
    local missing=()
    have_gtest || missing+=(libgtest-dev)
    have_clang || missing+=(clang-14)
    have_fuzzer_runtime || missing+=(libclang-rt-14-dev)
    have_svg_renderer || missing+=(librsvg2-bin)
    [ "${#missing[@]}" -gt 0 ] || return 0

    local install="apt-get install -y ${missing[*]}"
    step "system packages: missing: ${missing[*]}"
    if [ "$euid" != 0 ]; then
        echo "not running as root, so not installing them; to install them:"
        echo "    sudo $install"
    elif ! command -v "$apt_get" >/dev/null 2>&1; then
        echo "apt-get is not available, so not installing them; on Debian or Ubuntu, as root:"
        echo "    $install"
    else
        echo "installing them: apt-get update && $install"
        local status=0
        "$apt_get" update -qq || status=$?
        if [ "$status" = 0 ]; then
            DEBIAN_FRONTEND=noninteractive "$apt_get" install -y -qq "${missing[@]}" >/dev/null || status=$?
        fi
        if [ "$status" != 0 ]; then
            echo "apt-get failed (status $status); going on without them. To install them by hand, as root:"
            echo "    $install"
        fi
    fi
}

# --python-only runs neither the C++ tests nor the reliability checks
cpp_possible=$((1 - python_only))
reliability_possible=$((1 - python_only))
if [ "$python_only" = 0 ]; then
    system_packages
    if ! have_gtest; then
        cpp_possible=0
        skipped+=("C++ engine tests (GoogleTest is not installed: apt-get install -y libgtest-dev)")
    fi
    if ! have_clang || ! have_fuzzer_runtime; then
        reliability_possible=0
        skipped+=("reliability checks ($QUORLIN_CLANGXX or its libFuzzer and sanitizer runtimes are not installed: apt-get install -y clang-14 libclang-rt-14-dev)")
    fi
fi

# The last lines of a run: what was left out, and why.
summary() {
    step "summary"
    if [ "$python_only" = 1 ]; then
        echo "not run: C++ engine tests, package fuzz smoke run and reliability checks (--python-only)"
    fi
    # the tests pytest skipped, by name, with their reasons
    if [ "$deps_only" = 0 ]; then
        grep -h '^SKIPPED TEST ' build/pytest.log 2>/dev/null | sed 's/^SKIPPED TEST /skipped test: /' || true
    fi
    if [ "${#skipped[@]}" = 0 ]; then
        echo "$1"
        return 0
    fi
    local suite
    for suite in "${skipped[@]}"; do
        echo "skipped: $suite"
    done
    if [ "$require_all" = 1 ]; then
        echo "QUORLIN_REQUIRE_ALL=1: a skipped suite counts as a failure"
        return 1
    fi
}

if [ "$deps_only" = 1 ]; then
    summary "no suite will be skipped"
    exit
fi

step "virtual environment $VENV ($("$PYTHON" --version))"
[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja

step "building and installing the module (pip install .[test,ocrd])"
# the ocrd extra brings the OCR-D library (about 400 MB) that the processor's tests run
"$VENV/bin/python" -m pip install -q ".[test,ocrd]"

if [ "$cpp_possible" = 1 ]; then
    step "C++ engine tests (GoogleTest through CTest)"
    export PATH="$PWD/$VENV/bin:$PATH"
    cmake -S . -B build/cpp -G Ninja -DQUORLIN_BUILD_MODULE=OFF -DQUORLIN_BUILD_TESTS=ON \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror >/dev/null
    cmake --build build/cpp
    ctest --test-dir build/cpp --output-on-failure --timeout 600
fi

step "Python tests (pytest)"
# Run from the tests folder against the installed module, never the source tree.
mkdir -p build
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests 2>&1 | tee build/pytest.log
status=${PIPESTATUS[0]}
[ "$status" = 0 ] || exit "$status"

step "type check of the stubs and the package (mypy --strict)"
# the package fuzz harness too, but for its atheris entry point (atheris has no types)
MYPYPATH=src/bindings/core:python:fuzz/package "$VENV/bin/python" -m mypy --strict --cache-dir build/mypy-cache \
    src/bindings/core/_quorlin_core.pyi python/quorlin bench/quality.py bench/profile_cv.py \
    fuzz/package/checks.py fuzz/package/seeds.py fuzz/package/smoke.py

if [ "$python_only" = 0 ]; then
    step "package fuzz smoke run (atheris, ${package_fuzz_seconds}s per target)"
    if "$VENV/bin/python" -m pip install -q atheris >/dev/null 2>&1 || "$VENV/bin/python" -c 'import atheris' 2>/dev/null; then
        # fails the run when a target finds a failing input
        "$VENV/bin/python" fuzz/package/smoke.py --seconds "$package_fuzz_seconds"
    else
        echo "SKIPPED: atheris does not install for $("$VENV/bin/python" --version) (pip install atheris)"
        skipped+=("package fuzz smoke run (atheris does not install for $("$VENV/bin/python" --version): pip install atheris)")
    fi
fi

if [ "$reliability_possible" = 1 ] && [ -x tools/reliability.sh ]; then
    step "reliability: sanitizers and fuzz smoke run"
    mkdir -p build
    tools/reliability.sh 2>&1 | tee build/reliability.log
    # reliability.sh leaves out, with a SKIPPED line, what the machine cannot do
    while IFS= read -r line; do
        skipped+=("part of the reliability checks (${line#*SKIPPED: })")
    done < <(grep '^\[reliability\] SKIPPED' build/reliability.log || true)
fi

summary "every suite that was run passed; none was skipped"
