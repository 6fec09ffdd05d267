#!/usr/bin/env python3
"""Writes the kept seed corpus of the engine fuzzer into fuzz/engine/corpus/.

Each seed is one page in the harness's input layout (see fuzz_order.cpp):
a mode byte, an optional reference width, then the records. The seeds cover
the documented layouts (rows, columns, the gutter refinement, merges, the
staircase) and the awkward float values (NaN payloads of both signs, +-inf,
+-0, subnormals, the largest floats). Run it again after changing the input
layout; the output is deterministic.
"""

import pathlib
import random
import struct
import sys

class Bits(int):
    """A 32-bit float given by its bit pattern."""


RAW, I16, I8 = 0, 1, 2
IDS_FROM_DATA = 4
REFERENCE_WIDTH = 8

POS_NAN = Bits(0x7FC00000)
NEG_NAN = Bits(0xFFC00000)
SIGNALING_NAN = Bits(0x7F800001)
PAYLOAD_NAN = Bits(0x7FABCDEF)
NEG_PAYLOAD_NAN = Bits(0xFF812345)
MIN_SUBNORMAL = Bits(0x00000001)
MAX_SUBNORMAL = Bits(0x007FFFFF)
NEG_SUBNORMAL = Bits(0x80000001)
NEG_ZERO = Bits(0x80000000)
FLT_MAX = Bits(0x7F7FFFFF)
NEG_FLT_MAX = Bits(0xFF7FFFFF)
INF = Bits(0x7F800000)
NEG_INF = Bits(0xFF800000)


def f32_bits(value):
    """Bit pattern of a number rounded to single precision, or the given pattern."""
    if isinstance(value, Bits):
        return int(value)
    return struct.unpack("<I", struct.pack("<f", float(value)))[0]


def page(boxes, encoding=RAW, ids=None, reference_width=None):
    """Encodes boxes (x1, y1, x2, y2) as one fuzzer input."""
    mode = encoding
    out = bytearray()
    if ids is not None:
        mode |= IDS_FROM_DATA
    if reference_width is not None:
        mode |= REFERENCE_WIDTH
        out += struct.pack("<I", f32_bits(reference_width))
    for i, box in enumerate(boxes):
        if ids is not None:
            out += struct.pack("<Q", ids[i])
        for c in box:
            if encoding == RAW:
                out += struct.pack("<I", f32_bits(c))
            elif encoding == I16:
                out += struct.pack("<h", c)
            else:
                out += struct.pack("<b", c // 4)
    return bytes([mode]) + bytes(out)


def two_columns(n_per_column, left=0, width=250, gutter=30, height=40, gap=10):
    boxes = []
    for col in range(2):
        x = left + col * (width + gutter)
        for row in range(n_per_column):
            y = row * (height + gap)
            boxes.append((x, y, x + width, y + height))
    return boxes


def staircase(n, step=20, size=10):
    return [(i * step, i * step, i * step + size, i * step + size) for i in range(n)]


def random_page(seed, n):
    """A page of columns and rows with some jitter, in 16-bit coordinates."""
    rng = random.Random(seed)
    boxes = []
    columns = rng.randint(1, 3)
    col_width = 600 // columns
    for _ in range(n):
        col = rng.randrange(columns)
        x = col * col_width + rng.randint(0, 10)
        y = rng.randint(0, 80) * 10
        w = rng.randint(20, col_width - 20)
        h = rng.randint(5, 40)
        boxes.append((x, y, x + w, y + h))
    if rng.random() < 0.5:
        boxes.append((0, rng.randint(0, 800), 600, rng.randint(0, 800)))
    return boxes


def seeds():
    nan_boxes = [
        (0, POS_NAN, 10, 0),
        (0, 20, 10, 30),
        (POS_NAN, POS_NAN, 5, 5),
        (NEG_NAN, 40, NEG_NAN, 50),
        (60, NEG_PAYLOAD_NAN, 70, NEG_PAYLOAD_NAN),
        (80, PAYLOAD_NAN, 90, SIGNALING_NAN),
    ]
    yield "empty", b""
    yield "mode-only", bytes([RAW])
    yield "single", page([(0.0, 0.0, 10.0, 10.0)])
    yield "two-rows", page([(0.0, 0.0, 100.0, 20.0), (0.0, 40.0, 100.0, 60.0)])
    yield "two-rows-reversed", page([(0.0, 40.0, 100.0, 60.0), (0.0, 0.0, 100.0, 20.0)])
    yield "two-columns", page([(60.0, 0.0, 100.0, 100.0), (0.0, 0.0, 40.0, 100.0)])
    yield "gap-exactly-5", page([(0.0, 0.0, 10.0, 10.0), (0.0, 15.0, 10.0, 25.0)])
    yield "gap-4.9", page([(0.0, 0.0, 10.0, 10.0), (0.0, 14.9, 10.0, 25.0)])
    yield "three-in-a-row", page([(0.0, 0.0, 10.0, 10.0), (20.0, 0.0, 30.0, 10.0), (40.0, 0.0, 50.0, 10.0)])
    yield "equal-gaps", page([(0.0, 20.0, 10.0, 30.0), (20.0, 0.0, 30.0, 10.0)])
    yield "equal-gaps-dense", page([(0.0, 20.0, 10.0, 30.0), (20.0, 0.0, 30.0, 10.0), (0.0, 0.0, 10.0, 10.0),
                                    (20.0, 20.0, 30.0, 30.0)])
    yield "gutter-refinement", page([(0.0, 0.0, 45.0, 100.0), (55.0, 0.0, 100.0, 100.0), (48.0, 50.0, 52.0, 52.0)])
    yield "swapped-corners", page([(100.0, 50.0, 10.0, 5.0), (40.0, 90.0, 0.0, 60.0), (10.0, 5.0, 100.0, 50.0)])
    yield "identical-boxes", page([(5.0, 5.0, 15.0, 15.0)] * 4)
    yield "touching-boxes", page([(0.0, 0.0, 10.0, 10.0), (0.0, 10.0, 10.0, 20.0), (10.0, 0.0, 20.0, 10.0)])
    yield "twelve-two-columns", page(two_columns(6, left=40, width=250, gutter=30), encoding=I16)
    yield "nan-payloads", page(nan_boxes)
    yield "nan-everywhere", page([(POS_NAN,) * 4, (NEG_NAN,) * 4, (PAYLOAD_NAN, NEG_PAYLOAD_NAN, SIGNALING_NAN,
                                                                     POS_NAN)])
    yield "infinities", page([(NEG_INF, 0.0, INF, 10.0), (0.0, 20.0, 10.0, 30.0), (20.0, 20.0, 30.0, 30.0),
                              (INF, INF, INF, INF), (NEG_INF, NEG_INF, 0.0, 0.0)])
    # An infinitely wide box passes the width gate of the public pipeline.
    yield "infinite-width-cross-layout", page([(NEG_INF, 50.0, INF, 60.0), (0.0, 0.0, 40.0, 100.0),
                                               (60.0, 0.0, 100.0, 100.0)])
    yield "signed-zeros", page([(0.0, 0.0, NEG_ZERO, NEG_ZERO), (NEG_ZERO, NEG_ZERO, 0.0, 0.0),
                                (0.0, NEG_ZERO, 0.0, 0.0), (NEG_ZERO, 0.0, NEG_ZERO, 0.0)])
    yield "subnormals", page([(MIN_SUBNORMAL, MIN_SUBNORMAL, MAX_SUBNORMAL, MAX_SUBNORMAL),
                              (NEG_SUBNORMAL, MAX_SUBNORMAL, MIN_SUBNORMAL, NEG_SUBNORMAL),
                              (0.0, 10.0, MIN_SUBNORMAL, 20.0)])
    # Centres of boxes this large overflow, so a cut can leave one side empty.
    yield "huge-values", page([(FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX), (3.0e38, 3.0e38, 3.1e38, 3.1e38),
                               (NEG_FLT_MAX, 0.0, NEG_FLT_MAX, 1.0), (1.0e30, 0.0, 2.0e30, 1.0)])
    yield "above-2^26", page([(0.0, 67108864.0, 10.0, 67108872.0), (0.0, 67108880.0, 10.0, 67108890.0),
                              (0.0, 0.0, 10.0, 10.0)])
    yield "staircase-raw", page(staircase(100, step=20.0, size=10.0))
    yield "staircase-i16", page(staircase(300), encoding=I16)
    yield "staircase-i8", page(staircase(12, step=20, size=8), encoding=I8)
    yield "duplicate-ids", page([(0.0, 0.0, 10.0, 10.0), (0.0, 0.0, 10.0, 10.0), (0.0, 30.0, 10.0, 40.0)],
                                ids=[7, 7, 2**64 - 1])
    yield "ids-extremes", page([(0.0, 30.0, 10.0, 40.0), (0.0, 0.0, 10.0, 10.0)], ids=[0, 2**64 - 1])
    header_page = [(0, 0, 530, 30)] + two_columns(3, width=250, gutter=30) + [(0, 400, 530, 420)]
    yield "merge-header-footer", page(header_page, encoding=I16, reference_width=200.0)
    yield "merge-into-left-column", page([(0, 0, 40, 90), (0, 100, 40, 190), (200, 0, 240, 90), (200, 100, 240, 190),
                                          (0, 50, 240, 60)], encoding=I16, reference_width=30.0)
    yield "merge-nan-top", page([(0.0, POS_NAN, 100.0, POS_NAN), (0.0, 0.0, 40.0, 10.0), (60.0, 0.0, 100.0, 10.0),
                                 (0.0, 20.0, 40.0, NEG_NAN)], reference_width=30.0)
    yield "all-cross-layout", page([(0, 0, 100, 10), (0, 20, 100, 30), (0, 40, 100, 50)], encoding=I16,
                                   reference_width=0.0)
    yield "reference-width-nan", page([(0, 0, 100, 10), (0, 20, 100, 30), (0, 40, 100, 50)], encoding=I16,
                                      reference_width=POS_NAN)
    yield "i8-page", page([(0, 0, 60, 20), (80, 0, 124, 20), (0, 40, 124, 60), (0, 80, 60, 100)], encoding=I8)
    for seed in range(6):
        yield f"random-page-{seed}", page(random_page(seed, 8 + 6 * seed), encoding=I16,
                                          reference_width=None if seed % 2 else 150.0)


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("corpus")
    out.mkdir(parents=True, exist_ok=True)
    for old in out.iterdir():
        old.unlink()
    count = 0
    for name, data in seeds():
        (out / name).write_bytes(data)
        count += 1
    print(f"wrote {count} seeds to {out}")


if __name__ == "__main__":
    main()
