"""Helpers of the package tests: paths, a CLI runner, a PNG reader.

Every test module imports this first: it makes the quorlin package
importable from the source tree when only the compiled module is installed.
(No conftest.py here, so that the name "conftest" stays with tests/.)
"""

from __future__ import annotations

import contextlib
import importlib.util
import logging
import os
import struct
import subprocess
import sys
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
_spec = importlib.util.find_spec("quorlin")
if _spec is None or _spec.origin is None:
    sys.path.insert(0, str(REPO / "python"))
    sys.modules.pop("quorlin", None)

import quorlin  # noqa: E402

DATA = Path(__file__).resolve().parent / "data"


def _realdata() -> Path:
    """The real pages' folder: $QUORLIN_REALDATA (the folder or its pages.jsonl),
    else the repository's copy in bench/data."""
    given = os.environ.get("QUORLIN_REALDATA")
    if not given:
        return REPO / "bench" / "data"
    path = Path(given)
    return path.parent if path.suffix == ".jsonl" else path


REALDATA = _realdata()

PACKAGE_PARENT = str(Path(quorlin.__file__).resolve().parent.parent)


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str


def run_cli(*args: str, stdin: bytes | None = None, cwd: Path | None = None) -> Run:
    """Run ``python -m quorlin ARGS`` in a fresh process and capture its output."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_PARENT, env.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, "-m", "quorlin", *args],
        input=stdin, capture_output=True, cwd=cwd, env=env, timeout=120,
    )
    return Run(proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace"))


def realdata_file(name: str) -> Path:
    path = REALDATA / name
    if not path.exists():
        pytest.skip(f"{path} is not present (QUORLIN_REALDATA names a folder without it)")
    return path


def read_png(path: Path) -> tuple[int, int, list[bytes]]:
    """Decode an 8-bit RGB/RGBA non-interlaced PNG into rows of RGBA bytes."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat = 8, b""
    width = height = colour = 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * channels
    rows: list[bytes] = []
    prev = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        prev = line
        if channels == 3:
            rgba = bytearray()
            for x in range(width):
                rgba += line[x * 3:x * 3 + 3] + b"\xff"
            rows.append(bytes(rgba))
        else:
            rows.append(bytes(line))
    return width, height, rows


def assert_one_line_error(message: str, path: Path, problem: str) -> None:
    """A bad file is reported in one line that names the file and the problem."""
    assert message.startswith(f"{path}: ")
    assert problem in message
    assert "\n" not in message


@contextlib.contextmanager
def logged(name: str, level: int = logging.DEBUG) -> Iterator[list[logging.LogRecord]]:
    """The records that reach the logger ``name`` (set to ``level``) while the block runs;
    the module caches of enabled levels are reset before and after."""
    records: list[logging.LogRecord] = []

    class Keep(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            records.append(record)

    logger = logging.getLogger(name)
    handler = Keep()
    logger.addHandler(handler)
    logger.setLevel(level)
    quorlin.reset_log_cache()
    try:
        yield records
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
        quorlin.reset_log_cache()
