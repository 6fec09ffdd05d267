"""Small helpers the benchmark scripts share: progress lines, the machine's
load and durations in readable units."""

from __future__ import annotations

import os
import platform
import sys


def say(text: str) -> None:
    """A progress line on stderr (the tables go to stdout)."""
    print(text, file=sys.stderr, flush=True)


def load() -> str:
    """The load averages over 1, 5 and 15 minutes."""
    return " / ".join(f"{v:.2f}" for v in os.getloadavg())


def fmt(seconds: float) -> str:
    """A duration in µs, ms or s with one decimal (two in seconds)."""
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def header(command: str, libraries: str) -> str:
    """Print the command, the machine (with Python and `libraries`) and the
    load at the start, as every table's first lines; returns the load."""
    start = load()
    print(f"Command: `{command}`  ")
    print(f"Machine: {platform.machine()}, {os.cpu_count()} logical cores; Python {platform.python_version()} "
          f"({platform.python_implementation()}), {libraries}  ")
    print(f"Load average at start (1/5/15 min): {start}\n")
    return start
