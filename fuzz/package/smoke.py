"""Fuzz every package target for a fixed time, one after the other, and report.

    python fuzz/package/smoke.py [--seconds 15] [--targets page-xml,alto,...] [--work build/fuzz-package]

For each target: its seeds (``seeds.py``) are written afresh into
``WORK/TARGET/seeds``, the fuzzer runs for ``--seconds`` with new inputs
going to ``WORK/TARGET/corpus`` (kept between runs, so longer runs build on
earlier ones) and failing inputs to ``WORK/TARGET/artifacts/``.  One line per
target gives its executions and new inputs; the status is 1 when a target
found a failing input (its log's end is shown), and 0 with a SKIPPED line
when atheris is not installed.
"""

from __future__ import annotations

import argparse
import importlib.util
import re
import subprocess
import sys
import time
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


def run_target(target: str, seconds: int, work: Path, max_len: int, extra: list[str]) -> tuple[bool, str]:
    """Fuzz one target; (passed, the line for the report)."""
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
        found = sorted(p.name for p in artifacts.iterdir())
        return False, f"{line}  FAILED (status {status}; inputs in {artifacts}: {', '.join(found) or 'none'})"
    return True, line


def main() -> int:
    parser = argparse.ArgumentParser(description="Fuzz each package target for a fixed time.")
    parser.add_argument("--seconds", type=int, default=15, help="time per target (default: 15)")
    parser.add_argument("--targets", default=",".join(TARGETS), help="comma-separated targets (default: all)")
    parser.add_argument("--work", type=Path, default=REPO / "build" / "fuzz-package")
    parser.add_argument("--max-len", type=int, default=MAX_LEN)
    parser.add_argument("extra", nargs="*", help="more libFuzzer options, after --")
    args = parser.parse_args()
    if importlib.util.find_spec("atheris") is None:
        print(f"[package fuzz] SKIPPED: atheris is not installed for {sys.executable} (pip install atheris)")
        return 0
    targets = [t for t in args.targets.split(",") if t]
    unknown = [t for t in targets if t not in TARGETS]
    if unknown:
        parser.error(f"unknown targets: {', '.join(unknown)}")
    failed = False
    lines = []
    for target in targets:
        passed, line = run_target(target, args.seconds, args.work, args.max_len, args.extra)
        print(f"[package fuzz] {line}", flush=True)
        lines.append(line)
        failed = failed or not passed
    print("[package fuzz] " + ("FAILED: a target found a failing input" if failed else "no failure"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
