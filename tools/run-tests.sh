#!/usr/bin/env bash
# Installs everything the tests need and runs every suite, from a clean checkout:
#   - GoogleTest (Debian's libgtest-dev) when missing, and a virtual environment
#     with the module built by `pip install .` and the test dependencies;
#   - the C++ engine tests through CTest;
#   - the Python tests (pytest, hypothesis) and the type check of the stubs;
#   - the reliability checks (sanitizers, fuzz smoke run) when the tools exist.
#
# Usage: tools/run-tests.sh [--python-only]
#   PYTHON=/path/to/python3.12 VENV=build/venv-3.12 tools/run-tests.sh --python-only
set -euo pipefail
cd "$(dirname "$0")/.."

python_only=0
[ "${1:-}" = "--python-only" ] && python_only=1

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
step() { printf '\n==> %s\n' "$*"; }

# System packages: GoogleTest, and clang with its sanitizer and libFuzzer
# runtimes for the reliability checks. Installed with apt when missing and
# possible; without them the reliability step says what it skipped.
if [ "$python_only" = 0 ]; then
    missing=()
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    command -v clang++-14 >/dev/null 2>&1 || missing+=(clang-14)
    compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null \
        || missing+=(libclang-rt-14-dev)
    if [ "${#missing[@]}" -gt 0 ]; then
        step "installing ${missing[*]}"
        if command -v apt-get >/dev/null 2>&1; then
            apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null \
                || [ -f /usr/include/gtest/gtest.h ]  # GoogleTest is required; clang is optional
        fi
    fi
fi

step "virtual environment $VENV ($("$PYTHON" --version))"
[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja

step "building and installing the module (pip install .)"
"$VENV/bin/python" -m pip install -q ".[test]"

if [ "$python_only" = 0 ]; then
    step "C++ engine tests (GoogleTest through CTest)"
    export PATH="$PWD/$VENV/bin:$PATH"
    cmake -S . -B build/cpp -G Ninja -DQUORLIN_BUILD_MODULE=OFF -DQUORLIN_BUILD_TESTS=ON \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror >/dev/null
    cmake --build build/cpp
    ctest --test-dir build/cpp --output-on-failure --timeout 600
fi

step "Python tests (pytest)"
# Run from the tests folder against the installed module, never the source tree.
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests

step "type check of the stubs and the package (mypy --strict)"
MYPYPATH=src:python "$VENV/bin/python" -m mypy --strict --cache-dir build/mypy-cache \
    src/_quorlin_core.pyi python/quorlin bench/quality.py

if [ "$python_only" = 0 ] && [ -x tools/reliability.sh ]; then
    step "reliability: sanitizers and fuzz smoke run"
    tools/reliability.sh
fi
