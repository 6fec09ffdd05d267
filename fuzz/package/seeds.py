"""Seed corpora of the package fuzz targets, gathered from the real files.

Nothing here is copied into the repository: the seeds are read from

* ``tests/data/formats/`` (PAGE-XML, ALTO and hOCR samples, with their
  licences in ``tests/data/README.md``) and ``tests/package/data/``;
* ``bench/data/`` when the checkout has it;
* ``../shared/realdata/`` and ``../shared/formats/`` beside the checkout
  (or ``$QUORLIN_REALDATA``), when present;
* ``fuzz/package/seeds/``: small hand-written JSON pages, detections and
  JSON Lines that reach the corners of those formats;

and the JSON seeds are made from the same real files: every PAGE-XML, ALTO
and hOCR sample read into a JSON page, into detector output and into COCO
annotations, so that the JSON targets start from real layouts too.

    python fuzz/package/seeds.py TARGET DIR [--max-len N]

writes the seeds of TARGET into DIR (one file each, named by their content),
leaving out files longer than N bytes.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import logging
import os
import struct
import sys
from collections.abc import Iterator
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent

__all__ = ["seeds", "write_seeds"]


def _shared() -> Path:
    given = os.environ.get("QUORLIN_REALDATA")
    if given:
        path = Path(given)
        return (path.parent if path.suffix == ".jsonl" else path).parent
    return REPO.parent / "shared"


def _files(folder: Path, *patterns: str) -> list[Path]:
    if not folder.is_dir():
        return []
    found = {p for pattern in patterns for p in folder.glob(pattern) if p.is_file()}
    return sorted(found)


def _markup(kind: str) -> list[Path]:
    """The sample files of one markup format ("page", "alto" or "hocr")."""
    shared = _shared()
    files = _files(REPO / "tests" / "data" / "formats" / kind, "*")
    files += _files(shared / "formats" / kind, "*")
    if kind == "page":
        files += _files(REPO / "tests" / "package" / "data", "*.xml")
        files += _files(shared / "realdata" / "xml", "*.xml")
        files += _files(REPO / "bench" / "data", "**/*.xml")
    return files


def _jsonl_files() -> list[Path]:
    shared = _shared()
    return _files(shared / "realdata", "*.jsonl") + _files(REPO / "bench" / "data", "**/*.jsonl")


def _lines(limit: int) -> Iterator[bytes]:
    """Up to ``limit`` lines of each JSON Lines file of real pages."""
    for path in _jsonl_files():
        with open(path, "rb") as handle:
            for number, line in enumerate(handle):
                if number >= limit:
                    break
                if line.strip():
                    yield line.rstrip(b"\n")


def _derived() -> Iterator[tuple[str, bytes]]:
    """("json" | "detections", bytes) made from the markup samples through the package's readers."""
    from quorlin.errors import QuorlinError
    from quorlin.formats import read_page

    quiet = logging.getLogger("quorlin")
    for kind in ("page", "alto", "hocr"):
        for path in _markup(kind):
            quiet.disabled = True  # what a sample leaves out is no news here
            try:
                page = read_page(path, dpi=300.0)
            except QuorlinError:
                continue
            finally:
                quiet.disabled = False
            every = [(r, r.kind or "text") for r in page.regions] + [(r, r.role) for r in page.skipped]
            elements = [{"id": r.id, "box": list(r.box), "label": label} for r, label in every]
            document: dict[str, object] = {"elements": elements}
            if page.width is not None and page.height is not None:
                document = {"width": page.width, "height": page.height, **document}
            yield "json", json.dumps(document).encode()
            detections = [{"box": list(r.box), "label": label, "score": 0.5} for r, label in every]
            yield "detections", json.dumps(detections).encode()
            annotations = [
                {"image_id": 1, "bbox": [x1, y1, x2 - x1, y2 - y1], "category_id": 2 if label == "separator" else 1}
                for (x1, y1, x2, y2), label in ((r.box, label) for r, label in every)
            ]
            coco = {
                "images": [{"id": 1, "width": page.width or 1000, "height": page.height or 1000}],
                "categories": [{"id": 1, "name": "text"}, {"id": 2, "name": "separator"}],
                "annotations": annotations,
            }
            yield "detections", json.dumps(coco).encode()


def _native() -> Iterator[bytes]:
    """Arrays of real boxes in every number type the target reads, and a few odd ones."""
    sys.path.insert(0, str(HERE))
    from checks import _DTYPES  # the type is picked by the first byte

    import numpy

    pages = [json.loads(line) for line in _lines(6)]
    boxes = [[[e["x1"], e["y1"], e["x2"], e["y2"]] if "x1" in e else e["box"] for e in p["elements"]][:64]
             for p in pages if isinstance(p, dict) and "elements" in p]
    boxes.append([[520, 200, 900, 600], [100, 50, 900, 120], [100, 200, 480, 600]])
    for index, page in enumerate(boxes):
        for code, name in enumerate(_DTYPES):
            if name in ("?", "<c8") and index:
                continue
            array = numpy.array(page, dtype="<f8").astype(name)
            yield bytes([code, index % 8]) + array.tobytes()
    odd = struct.pack("<4d", float("nan"), float("inf"), -float("inf"), -0.0) + struct.pack("<4d", 1e300, 1, 2, 3)
    yield bytes([0, 0]) + odd


def seeds(target: str) -> Iterator[bytes]:
    """The seeds of one target (duplicates are dropped by the writer)."""
    own = HERE / "seeds"
    if target in ("page-xml", "alto", "hocr"):
        kind = {"page-xml": "page", "alto": "alto", "hocr": "hocr"}[target]
        for path in _files(own, f"{kind}-*") + _markup(kind):
            yield path.read_bytes()
    elif target == "json":
        yield (REPO / "python" / "quorlin" / "data" / "example_page.json").read_bytes()
        yield from (p.read_bytes() for p in _files(own, "*.json") if not p.name.startswith(("detections", "coco")))
        yield from _lines(40)
        yield from (data for kind, data in _derived() if kind == "json")
    elif target == "detections":
        yield from (p.read_bytes() for p in _files(own, "detections*.json", "coco*.json"))
        yield from (data for kind, data in _derived() if kind == "detections")
    elif target == "jsonl":
        yield from (p.read_bytes() for p in _files(own, "*.jsonl"))
        lines = list(_lines(12))
        for start in range(0, len(lines), 3):
            yield b"\n".join(lines[start:start + 3]) + b"\n"
        derived = [data for _, data in _derived()]
        for start in range(0, len(derived), 4):
            yield b"\n".join(derived[start:start + 4]) + b"\n"
    elif target == "cli":
        for other in ("page-xml", "alto", "hocr", "json", "detections", "jsonl"):
            yield from seeds(other)
    elif target == "native":
        yield from _native()
    elif target == "patterns":
        # the texts the patterns read: markup heads, titles, custom attributes, settings, class names
        yield from (b"<!DOCTYPE a ", b"<!-- x --><?p?><alto ", b'structure {type:heading;}', b"structure{",
                    b'bbox 1 2 3 4; image "a;b.png"', b'"\\"', b"<p><div>", b"xdpi:300 ydpi=300", b"alto-4-3.xsd",
                    b"Section-header", b"aA")
    else:
        raise ValueError(f"unknown target {target!r}")


def write_seeds(target: str, folder: Path, max_len: int | None = None) -> int:
    """Write the seeds of ``target`` into ``folder``; returns how many."""
    folder.mkdir(parents=True, exist_ok=True)
    written = set()
    for data in seeds(target):
        if max_len is not None and len(data) > max_len:
            continue
        name = hashlib.sha1(data).hexdigest()
        if name not in written:
            (folder / name).write_bytes(data)
            written.add(name)
    return len(written)


def main() -> None:
    parser = argparse.ArgumentParser(description="Write the seed corpus of a package fuzz target.")
    parser.add_argument("target")
    parser.add_argument("folder", type=Path)
    parser.add_argument("--max-len", type=int, default=None, help="leave out seeds longer than this")
    args = parser.parse_args()
    count = write_seeds(args.target, args.folder, args.max_len)
    print(f"{args.target}: {count} seeds in {args.folder}")


if __name__ == "__main__":
    main()
