#!/usr/bin/env bash
# Reliability checks, run by the project's test command:
#
#   1. the engine's GoogleTests built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (every report fatal), run through ctest;
#   2. both extension modules built with the same sanitizers, with the binding's
#      pytest suites (classes and entry, log bridge, reliability, native path,
#      quality profile) run against them;
#   3. the libFuzzer harnesses (fuzz/), built with the same sanitizers: a replay
#      of the kept seed corpus, then a smoke run on a copy of it; and a short
#      run of the quality profile's harness.
#
# All need clang with its sanitizer and libFuzzer runtimes, and step 2 a
# Python with pytest; when something is missing the script says so and skips
# what the machine cannot do.
#
# Environment:
#   QUORLIN_CLANGXX        clang C++ compiler (default: clang++-14)
#   QUORLIN_PYTHON         Python with pytest for step 2 (default: <repo>/.venv/bin/python, else python3)
#   QUORLIN_FUZZ_SECONDS   length of the smoke run (default: 60)
#   QUORLIN_PROFILE_FUZZ_SECONDS  length of the profile harness's run (default: 20)
#   QUORLIN_CTEST_EXCLUDE  regex of sanitizer ctest names to leave out (default: none)
#   QUORLIN_BUILD_DIR      where the builds go (default: <repo>/build)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
clangxx=${QUORLIN_CLANGXX:-clang++-14}
fuzz_seconds=${QUORLIN_FUZZ_SECONDS:-60}
profile_fuzz_seconds=${QUORLIN_PROFILE_FUZZ_SECONDS:-20}
ctest_exclude=${QUORLIN_CTEST_EXCLUDE:-}
build=${QUORLIN_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)
python=${QUORLIN_PYTHON:-}
if [[ -z "$python" ]]; then
    if [[ -x "$root/.venv/bin/python" ]]; then python="$root/.venv/bin/python"; else python=python3; fi
fi
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

sanitizers="address,undefined"
san_flags="-fsanitize=$sanitizers -fno-sanitize-recover=all -fno-omit-frame-pointer"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

say() { printf '[reliability] %s\n' "$*"; }

if ! command -v "$clangxx" >/dev/null 2>&1; then
    say "SKIPPED: $clangxx not found; the sanitizer build and the fuzz run need clang (Debian: clang-14, libclang-rt-14-dev)."
    exit 0
fi
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' >"$probe_dir/probe.cpp"
if ! "$clangxx" -fsanitize=fuzzer,$sanitizers "$probe_dir/probe.cpp" -o "$probe_dir/probe" >/dev/null 2>&1; then
    say "SKIPPED: $clangxx cannot link -fsanitize=fuzzer,$sanitizers; install the runtimes (Debian: libclang-rt-14-dev)."
    exit 0
fi

# ---- 1. Engine tests under ASan + UBSan -------------------------------------
say "sanitizer build of the engine tests ($clangxx, $sanitizers)"
cmake -S "$root" -B "$build/sanitize" "${generator[@]}" \
    -DCMAKE_CXX_COMPILER="$clangxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORLIN_BUILD_MODULE=OFF \
    -DQUORLIN_BUILD_TESTS=ON \
    -DQUORLIN_EMBEDDED_PYTHON_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$san_flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitizers" >/dev/null
cmake --build "$build/sanitize" -j "$jobs"
ctest_args=(--test-dir "$build/sanitize" --output-on-failure -j "$jobs")
if [[ -n "$ctest_exclude" ]]; then
    ctest_args+=(-E "$ctest_exclude")
fi
ctest "${ctest_args[@]}"

# ---- 2. The module under ASan + UBSan -------------------------------------------
if ! "$python" -c 'import pytest, sys; sys.exit(sys.version_info < (3, 11))' >/dev/null 2>&1; then
    say "SKIPPED: no Python 3.11+ with pytest at '$python' (set QUORLIN_PYTHON); the sanitizer run of the module needs one."
else
    say "sanitizer build of the module for $("$python" --version)"
    cmake -S "$root" -B "$build/sanitize-module" "${generator[@]}" \
        -DCMAKE_CXX_COMPILER="$clangxx" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$python" \
        -DQUORLIN_BUILD_MODULE=ON \
        -DQUORLIN_BUILD_TESTS=OFF \
        -DCMAKE_CXX_FLAGS="$san_flags" \
        -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=$sanitizers" \
        -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=$sanitizers" >/dev/null
    cmake --build "$build/sanitize-module" -j "$jobs"
    # The interpreter itself is not instrumented: the runtime is preloaded,
    # and leak detection is off because the interpreter keeps memory until exit.
    asan_runtime=$("$clangxx" -print-file-name=libclang_rt.asan-x86_64.so)
    say "binding tests against the sanitizer build ($asan_runtime)"
    (
        cd "$root/tests"
        export LD_PRELOAD="$asan_runtime"
        export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
        # quorlin._native lives inside the package: a copy of the package's
        # sources with the sanitizer build of it beside them.
        package="$build/sanitize-module/package"
        rm -rf "$package" && mkdir -p "$package"
        cp -r "$root/python/quorlin" "$package/quorlin"
        cp "$build/sanitize-module"/_native*.so "$package/quorlin/"
        export PYTHONPATH="$build/sanitize-module:$package${PYTHONPATH:+:$PYTHONPATH}"
        loaded=$("$python" -c 'import _quorlin_core, quorlin._native as n; print(_quorlin_core.__file__); print(n.__file__)')
        while read -r file; do
            if [[ "$file" != "$build/sanitize-module/"* ]]; then
                say "FAILED: the tests would import $file, not the sanitizer build"
                exit 1
            fi
        done <<<"$loaded"
        "$python" -m pytest -q -p no:cacheprovider core/test_module.py core/test_log_bridge.py \
            reliability/test_reliability.py native/test_native.py native/test_profile.py
    )
fi

# ---- 3. Fuzz harness -----------------------------------------------------------
say "fuzz harness build"
cmake -S "$root/fuzz/engine" -B "$build/fuzz" "${generator[@]}" -DCMAKE_CXX_COMPILER="$clangxx" >/dev/null
cmake --build "$build/fuzz" -j "$jobs"
fuzzer="$build/fuzz/fuzz_order"

# The kept corpus must be what its generator writes.
if command -v python3 >/dev/null 2>&1; then
    python3 "$root/fuzz/engine/make_corpus.py" "$probe_dir/corpus" >/dev/null
    if ! diff -r "$probe_dir/corpus" "$root/fuzz/engine/corpus" >/dev/null; then
        say "FAILED: fuzz/engine/corpus differs from what fuzz/engine/make_corpus.py writes; rerun the script."
        exit 1
    fi
fi

mapfile -t seeds < <(find "$root/fuzz/engine/corpus" -type f | sort)
say "replaying ${#seeds[@]} kept seeds"
"$fuzzer" "${seeds[@]}" >"$build/fuzz/replay.log" 2>&1 || {
    cat "$build/fuzz/replay.log"
    say "FAILED: corpus replay"
    exit 1
}

# fuzz_run NAME FUZZER WORKDIR SECONDS LOG [libFuzzer options...]: a timed run
# that stops the script, with the end of its log, on a failing input.
fuzz_run() {
    local name=$1 binary=$2 dir=$3 seconds=$4 log=$5
    shift 5
    "$binary" "$dir" \
        -max_total_time="$seconds" \
        -max_len=4096 \
        -timeout=30 \
        -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/" \
        -print_final_stats=1 "$@" >"$log" 2>&1 || {
        tail -n 60 "$log"
        say "FAILED: the $name found a failing input; see $artifacts/"
        exit 1
    }
}

work="$build/fuzz/work"
artifacts="$build/fuzz/artifacts"
rm -rf "$work"
mkdir -p "$work" "$artifacts"
cp "$root/fuzz/engine/corpus/"* "$work/"
say "fuzz smoke run: ${fuzz_seconds}s on a copy of the corpus"
fuzz_run fuzzer "$fuzzer" "$work" "$fuzz_seconds" "$build/fuzz/smoke.log" -dict="$root/fuzz/engine/floats.dict"
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz/smoke.log")
new_units=$(sed -n 's/^stat::new_units_added: *//p' "$build/fuzz/smoke.log")
say "fuzz smoke run: ${executions:-?} executions, ${new_units:-?} new inputs, no failure"

# The quality profile's harness starts from nothing: its inputs are plain
# numbers, which libFuzzer finds on its own.
profile_work="$build/fuzz/profile-work"
rm -rf "$profile_work"
mkdir -p "$profile_work"
say "profile fuzz smoke run: ${profile_fuzz_seconds}s"
fuzz_run "profile fuzzer" "$build/fuzz/fuzz_profile" "$profile_work" "$profile_fuzz_seconds" \
    "$build/fuzz/profile-smoke.log"
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz/profile-smoke.log")
say "profile fuzz smoke run: ${executions:-?} executions, no failure"
say "all reliability checks passed"
