"""The SVG picture: structure, cut lines as the engine logged them, real rendering."""

from __future__ import annotations

import json
import logging
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ET
import zlib
from importlib import resources

import pytest
from pkg_helpers import logged, read_png, run_cli

from quorlin import PageError
import quorlin
from quorlin.draw import PROFILE_CUT_COLOUR, image_data_uri, order_with_cuts, render_svg
from quorlin.formats import read_page
from quorlin.ordering import page_order

SVG = "{http://www.w3.org/2000/svg}"


@pytest.fixture
def example():
    data = resources.files("quorlin").joinpath("data", "example_page.json").read_bytes()
    return read_page("example_page.json", "json", data)


def svg_groups(text: str) -> dict[str, ET.Element]:
    root = ET.fromstring(text.encode())
    assert root.tag == f"{SVG}svg"
    return {g.get("class"): g for g in root.iter(f"{SVG}g")}


def test_svg_structure(example):
    reading_order, cuts = order_with_cuts(example)
    groups = svg_groups(render_svg(example, reading_order, cuts))
    n = len(example.regions)
    assert len(groups["regions"].findall(f"{SVG}rect")) == n
    assert [t.text for t in groups["numbers"].iter(f"{SVG}text")] == [str(i) for i in range(1, n + 1)]
    assert len(groups["arrows"].findall(f"{SVG}line")) == n - 1
    assert len(groups["cuts"].findall(f"{SVG}line")) == len(cuts) > 0
    # each number sits in the box of the element with that position in the order
    boxes = {r.id: r.box for r in example.regions}
    for circle, rid in zip(groups["numbers"].iter(f"{SVG}circle"), reading_order):
        x1, y1, x2, y2 = boxes[rid]
        assert x1 <= float(circle.get("cx")) <= x2 and y1 <= float(circle.get("cy")) <= y2


@pytest.mark.parametrize("exact", [False, True])
def test_cuts_drawn_are_the_ones_the_engine_logged(example, exact):
    with logged("quorlinpy") as records:
        page_order(example, exact=exact)
    cut_lines = [r.getMessage() for r in records if " cut at " in r.getMessage()]
    # the drawing is in the page's units; the profile hands the engine the page (1,400 long) four times as large
    scale = 1 if exact else 4
    assert any(r.getMessage().startswith(f"[profile] scale: the engine's boxes x{scale} ") for r in records) != exact
    _, cuts = order_with_cuts(example, exact=exact)
    # the profile's own cut (the title as top strip) is not the engine's to log
    assert [c.kind for c in cuts if c.kind != "xy"] == ([] if exact else ["top_strip"])
    assert [f"{c.axis}={c.position * scale:.1f} (gap={c.gap * scale:.1f}) on {c.elements} elements" for c in cuts
            if c.kind == "xy"] == [m.split(" cut at ")[1] for m in cut_lines] != []


def test_cuts_of_a_deep_staircase(tmp_path):
    """Each cut peels one box off a 1,200-step staircase; every cut is drawn, in its own gap."""
    steps = 1200
    page = tmp_path / "staircase.json"
    page.write_text(json.dumps({"elements": [
        {"id": i, "box": [20 * i, 20 * i, 20 * i + 10, 20 * i + 10]} for i in range(steps)]}))
    out = tmp_path / "staircase.svg"
    result = run_cli("draw", str(page), "--cuts", "-o", str(out))
    assert (result.returncode, result.stderr) == (0, "")
    lines = svg_groups(out.read_text())["cuts"].findall(f"{SVG}line")
    positions = set()
    for line in lines:
        x1, y1, x2, y2 = (float(line.get(k)) for k in ("x1", "y1", "x2", "y2"))
        position = x1 if x1 == x2 else y1
        assert (x1 == x2 or y1 == y2) and 10 < position % 20 < 20  # in the gap between two steps
        positions.add(position // 20)
    assert len(lines) == len(positions) == steps - 1


def test_drawing_the_cuts_leaves_logging_as_it_was(example):
    records: list[logging.LogRecord] = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    root, engine = logging.getLogger(), logging.getLogger("quorlinpy.mervane")
    handler = Keep()
    root.addHandler(handler)
    try:
        _, cuts = order_with_cuts(example)
        assert cuts
        assert records == []  # nothing is logged, nothing reconfigured
        assert (engine.level, engine.propagate, engine.handlers) == (logging.NOTSET, True, [])
    finally:
        root.removeHandler(handler)


def solid_png(path, width, height, rgb):
    row = b"\x00" + bytes(rgb) * width
    chunk = lambda kind, body: (struct.pack(">I", len(body)) + kind + body  # noqa: E731
                                + struct.pack(">I", zlib.crc32(kind + body)))
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))
    return path


def near(pixel, rgb, tolerance=40):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, rgb))


needs_rsvg = pytest.mark.skipif(shutil.which("rsvg-convert") is None, reason="rsvg-convert (librsvg2-bin) is not installed")


@needs_rsvg
@pytest.mark.parametrize("with_image", [False, True], ids=["plain", "over-image"])
def test_svg_renders_with_visible_boxes(tmp_path, example, with_image):
    background = (250, 230, 120)
    image = image_data_uri(solid_png(tmp_path / "scan.png", 20, 28, background)) if with_image else None
    reading_order, cuts = order_with_cuts(example)
    svg = tmp_path / "order.svg"
    svg.write_text(render_svg(example, reading_order, cuts, image), encoding="utf-8")
    png = tmp_path / "order.png"
    subprocess.run(["rsvg-convert", str(svg), "-o", str(png)], check=True, timeout=60)
    width, height, rows = read_png(png)
    view = [float(v) for v in ET.fromstring(svg.read_bytes()).get("viewBox").split()]
    scale = width / view[2]

    def pixel(x, y):
        px, py = int(x * scale), int(y * scale)
        return tuple(rows[py][px * 4:px * 4 + 3])

    assert near(pixel(40, 700), background if with_image else (255, 255, 255), 10)  # margin
    assert near(pixel(500, 60), (0xc0, 0x39, 0x2b))  # top edge of the title: title colour
    assert near(pixel(100, 700), (0x24, 0x71, 0xa3))  # left edge of the figure: vision colour
    assert near(pixel(300, 170), (0x1e, 0x84, 0x49))  # top edge of a column: text colour


def test_image_must_be_a_picture(tmp_path):
    text = tmp_path / "scan.png"
    text.write_text("not an image")
    with pytest.raises(PageError, match=f"^{text}: page image must be a PNG, JPEG or GIF file$"):
        image_data_uri(text)


def test_draw_command(tmp_path):
    page = resources.files("quorlin").joinpath("data", "example_page.json")
    out = tmp_path / "order.svg"
    result = run_cli("draw", str(page), "-o", str(out), "--cuts")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    cuts = svg_groups(out.read_text())["cuts"]
    # the profile's top strip (the title) in a colour of its own, then the core's four cuts (the figure
    # and its caption are one box to it, the page footer is read last by its label)
    assert [line.get("stroke") for line in cuts] == [PROFILE_CUT_COLOUR] + [None] * 4
    assert run_cli("draw", str(page), "-o", str(out), "--cuts", "--exact").returncode == 0
    assert [line.get("stroke") for line in svg_groups(out.read_text())["cuts"]] == [None] * 7
    missing = run_cli("draw", str(page), "-o", str(out), "--image", str(tmp_path / "none.png"))
    assert missing.returncode == 1
    assert missing.stderr == f"quorlin: error: {tmp_path / 'none.png'}: No such file or directory\n"


@pytest.mark.parametrize(("width", "height", "warned"), [(1000, 1400, False), (500, 700, True)])
def test_an_image_of_another_size_than_the_page_is_drawn_with_a_warning(tmp_path, example, caplog, width, height,
                                                                        warned):
    """An image of the wrong size used to be stretched over the page silently."""
    image = solid_png(tmp_path / "page.png", width, height, (255, 255, 255))
    with caplog.at_level(logging.WARNING, logger="quorlin"):
        image_data_uri(image, example)
    assert [r.getMessage() for r in caplog.records] == (
        [f"{image}: the image is 500 x 700 pixels, the page 1000 x 1400: it is drawn stretched over the page "
         "(is it the page's image?)"] if warned else [])


def test_the_legend_names_the_files_own_kinds_of_region(example):
    """The legend used to show the engine's label names."""
    reading_order, cuts = order_with_cuts(example)
    legend = svg_groups(render_svg(example, reading_order, cuts))["legend"]
    names = [t.text for t in legend.iter(f"{SVG}text")]
    kinds = list(dict.fromkeys(r.kind for r in example.regions))
    assert names[:len(kinds)] == kinds and "HorizontalTitle" not in names
