"""Fuzz every package target for a fixed time, one after the other, and report.

    python fuzz/package/smoke.py [--seconds 15] [--targets page-xml,alto,...] [--work build/fuzz-package]

For each target: its seeds (``seeds.py``) are written afresh into
``WORK/TARGET/seeds``, the fuzzer runs for ``--seconds`` with new inputs
going to ``WORK/TARGET/corpus`` (kept between runs, so longer runs build on
earlier ones) and failing inputs to ``WORK/TARGET/artifacts/``.  One line per
target gives its executions and new inputs; the status is 1 when a target
found a failing input (its log's end is shown, and the input itself,
compressed, between two marker lines), and 0 with a SKIPPED line when
atheris is not installed.  The input comes back from a copy of that log
(from another machine, say CI) with

    python fuzz/package/smoke.py --restore crash-input < copied-log.txt
"""

from __future__ import annotations

import argparse
import base64
import importlib.util
import re
import subprocess
import sys
import time
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))

from seeds import write_seeds  # noqa: E402

TARGETS = ("page-xml", "alto", "hocr", "json", "detections", "jsonl", "cli", "native", "patterns")
#: Largest input of the default run: the small samples and seeds of every format.
#: The larger samples (up to 700 kB) cost a second or more per execution once
#: instrumented; give a longer run --max-len 131072 to include most of them.
MAX_LEN = 32768
#: Most characters of a failing input printed into the log (compressed, in base64).
PRINTED_MAX = 8192
BEGIN, END = "-----BEGIN FAILING INPUT-----", "-----END FAILING INPUT-----"


def printable(data: bytes) -> list[str]:
    """A failing input as log lines: compressed, in base64, between the markers."""
    text = base64.b64encode(zlib.compress(data, 9)).decode("ascii")
    return [BEGIN, *(text[i:i + 76] for i in range(0, len(text), 76)), END]


def restored(log: str) -> bytes:
    """The input of the last marked block in a copy of a log (:func:`printable`'s lines, any indent)."""
    lines = [line.strip().lstrip(">").strip() for line in log.splitlines()]  # also quoted with "> "
    if BEGIN not in lines:
        raise ValueError(f"no {BEGIN} ... {END} block in the text")
    start = len(lines) - 1 - lines[::-1].index(BEGIN)
    if END not in lines[start:]:
        raise ValueError(f"the last {BEGIN} has no {END} after it")
    stop = lines.index(END, start)
    return zlib.decompress(base64.b64decode("".join(lines[start + 1:stop]), validate=True))


def run_target(target: str, seconds: int, work: Path, max_len: int,
               extra: list[str]) -> tuple[bool, str, list[Path]]:
    """Fuzz one target; (passed, the line for the report, the failing input if any)."""
    folder = work / target
    seeds, corpus, artifacts = folder / "seeds", folder / "corpus", folder / "artifacts"
    for path in seeds.glob("*"):
        path.unlink()
    count = write_seeds(target, seeds, max_len)
    corpus.mkdir(parents=True, exist_ok=True)
    artifacts.mkdir(parents=True, exist_ok=True)
    log = folder / "fuzz.log"
    command = [
        sys.executable, str(HERE / "fuzz_package.py"), target, str(corpus), str(seeds),
        f"-max_total_time={seconds}", f"-max_len={max_len}", "-timeout=60", "-rss_limit_mb=3072",
        f"-dict={HERE / 'formats.dict'}", f"-artifact_prefix={artifacts}/", "-print_final_stats=1", *extra,
    ]
    started = time.monotonic()
    with open(log, "w") as handle:
        status = subprocess.run(command, stdout=handle, stderr=subprocess.STDOUT, cwd=REPO).returncode
    took = time.monotonic() - started
    text = log.read_text(errors="replace")
    executions = re.findall(r"stat::number_of_executed_units:\s*(\d+)", text)
    new_units = re.findall(r"stat::new_units_added:\s*(\d+)", text)
    line = (f"{target:<11} {count:>5} seeds  {executions[-1] if executions else '?':>8} executions  "
            f"{new_units[-1] if new_units else '?':>5} new inputs  {took:5.0f} s")
    if status != 0:
        print("\n".join(text.splitlines()[-60:]))
        found = sorted(artifacts.iterdir(), key=lambda p: p.stat().st_mtime)
        names = ", ".join(p.name for p in found) or "none"
        return False, f"{line}  FAILED (status {status}; inputs in {artifacts}: {names})", found[-1:]
    return True, line, []


def show_input(path: Path) -> None:
    """Print a failing input into the log, so that a run elsewhere (CI) can be replayed here."""
    data = path.read_bytes()
    lines = printable(data)
    if sum(len(x) + 1 for x in lines) > PRINTED_MAX:
        print(f"[package fuzz] {path.name}: {len(data)} bytes, too large to print here")
        return
    print(f"[package fuzz] {path.name}, {len(data)} bytes; to replay it, copy this log and run "
          "python fuzz/package/smoke.py --restore FILE < LOG, then checks.py TARGET FILE:")
    print("\n".join(lines))


def main() -> int:
    parser = argparse.ArgumentParser(description="Fuzz each package target for a fixed time.")
    parser.add_argument("--seconds", type=int, default=15, help="time per target (default: 15)")
    parser.add_argument("--targets", default=",".join(TARGETS), help="comma-separated targets (default: all)")
    parser.add_argument("--work", type=Path, default=REPO / "build" / "fuzz-package")
    parser.add_argument("--max-len", type=int, default=MAX_LEN)
    parser.add_argument("--restore", type=Path, metavar="FILE",
                        help="write the failing input printed in the log on stdin to FILE, and stop")
    parser.add_argument("extra", nargs="*", help="more libFuzzer options, after --")
    args = parser.parse_args()
    if args.restore is not None:
        try:
            data = restored(sys.stdin.read())
        except (ValueError, zlib.error) as exc:  # binascii.Error is a ValueError
            parser.error(f"--restore: {exc}")
        args.restore.write_bytes(data)
        print(f"{args.restore}: {len(data)} bytes")
        return 0
    if importlib.util.find_spec("atheris") is None:
        print(f"[package fuzz] SKIPPED: atheris is not installed for {sys.executable} (pip install atheris)")
        return 0
    targets = [t for t in args.targets.split(",") if t]
    unknown = [t for t in targets if t not in TARGETS]
    if unknown:
        parser.error(f"unknown targets: {', '.join(unknown)}")
    failed = False
    failing: list[Path] = []
    for target in targets:
        passed, line, found = run_target(target, args.seconds, args.work, args.max_len, args.extra)
        print(f"[package fuzz] {line}", flush=True)
        failed = failed or not passed
        failing.extend(found)
    print("[package fuzz] " + ("FAILED: a target found a failing input" if failed else "no failure"))
    for path in failing:  # last, where a shortened copy of the log still shows them
        show_input(path)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
