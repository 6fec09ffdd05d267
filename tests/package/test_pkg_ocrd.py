"""The OCR-D processor ocrd-quorlin-order, run by the OCR-D library on METS workspaces of PAGE files."""

from __future__ import annotations

import importlib.metadata
import json
import os
import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest
from pkg_helpers import PACKAGE_PARENT, REPO

pytest.importorskip("ocrd", reason="the OCR-D library is not installed (optional extra: pip install quorlin[ocrd])")

from lxml import etree  # noqa: E402
from ocrd import Resolver  # noqa: E402
from ocrd_utils import MIMETYPE_PAGE  # noqa: E402
from ocrd_validators import OcrdToolValidator  # noqa: E402

import quorlin.ocrd  # noqa: E402
from quorlin.direction import DIRECTIONS  # noqa: E402
from quorlin.files import FileJob, order_file  # noqa: E402
from quorlin.formats import read_page  # noqa: E402

PAGES = REPO / "tests" / "data" / "formats" / "page"
# The PAGE 2010 samples are left out: their Coords are Point elements, which
# OCR-D's page model drops (test_a_broken_page_fails_naming_its_file).
SAMPLES = sorted(p for p in PAGES.glob("*.xml") if not p.name.startswith("page2010"))
TOOL = Path(quorlin.ocrd.__file__).with_name("ocrd-tool.json")
BIN = Path(sys.executable).parent
REPLACED = re.compile(r" - (\S+): the page's own reading order is replaced")


def workspace(directory: Path, files: list[tuple[str, bytes]]) -> Path:
    """A METS workspace in ``directory`` whose file group IN holds one PAGE per page, P1, P2, ..."""
    ws = Resolver().workspace_from_nothing(directory=str(directory))
    (directory / "IN").mkdir()
    for n, (name, data) in enumerate(files, 1):
        (directory / "IN" / name).write_bytes(data)
        ws.add_file("IN", file_id=f"IN_{n}", page_id=f"P{n}", mimetype=MIMETYPE_PAGE, local_filename=f"IN/{name}")
    ws.save_mets()
    return directory


def run(ws: Path, *args: str, program: str = "ocrd-quorlin-order", **env: str) -> subprocess.CompletedProcess[str]:
    """An OCR-D command (or with ``program`` "python", Python) in the workspace,
    under OCR-D's default settings but for ``env``."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith("OCRD_")}
    command = sys.executable if program == "python" else str(BIN / program)
    return subprocess.run([command, *args], cwd=ws, capture_output=True, text=True, timeout=300,
                          env=dict(clean, PYTHONPATH=PACKAGE_PARENT, **env))


def outputs(ws: Path, group: str) -> dict[str, Path]:
    """The files of a file group, by page."""
    mets = Resolver().workspace_from_url(str(ws / "mets.xml"))
    return {f.pageId: ws / f.local_filename for f in mets.find_files(fileGrp=group)}


def elements(path: Path, *, order: bool) -> list[tuple[str, dict[str, str], str]]:
    """The ReadingOrder's elements (``order``), or every other element but OCR-D's
    MetadataItems, each as local name, attributes and text; the region
    indexes that Transkribus keeps in ``custom`` belong to the order."""
    root = etree.parse(str(path)).getroot()
    found = []
    for el in root.iter(etree.Element):
        names = [etree.QName(e).localname for e in [el, *el.iterancestors()]]
        if ("ReadingOrder" in names) != order or "MetadataItem" in names:
            continue
        attrs = {k: re.sub(r"readingOrder \{[^}]*\}", "", v) for k, v in el.attrib.items() if k != "pcGtsId"}
        found.append((names[0], attrs, (el.text or "").strip()))
    return found


def refs(path: Path) -> list[str]:
    return [attrs["regionRef"] for _, attrs, _ in elements(path, order=True) if "regionRef" in attrs]


def test_the_direction_parameter_reaches_the_order(ordered):
    ws, _ = ordered
    auto, ltr = outputs(ws, "OUT"), outputs(ws, "LTR")
    differ = {outputs(ws, "IN")[page].name for page in auto if refs(auto[page]) != refs(ltr[page])}
    assert "page2013_transkribus_syriac_SMMJ36_0125.xml" in differ  # read right to left unless told otherwise


@pytest.fixture(scope="module")
def ordered(tmp_path_factory):
    """The samples' workspace, with the output groups of the runs the tests look at, and their logs."""
    ws = workspace(tmp_path_factory.mktemp("ws"), [(p.name, p.read_bytes()) for p in SAMPLES])
    logs = {group: run(ws, "-I", "IN", "-O", group, *args) for group, args in [
        ("OUT", []), ("EXACT", ["-P", "exact", "true"]), ("KEEP", ["-P", "keep-existing", "true"]),
        ("LTR", ["-P", "direction", "ltr"]),
    ]}
    logs["DUMMY"] = run(ws, "-I", "IN", "-O", "DUMMY", program="ocrd-dummy")
    logs["API"] = run(ws, "-c", (
        "from ocrd import Resolver, run_processor; from ocrd_utils import initLogging; initLogging()\n"
        "from quorlin.ocrd.processor import QuorlinOrder\n"
        "run_processor(QuorlinOrder, mets_url='mets.xml', resolver=Resolver(), input_file_grp='IN',"
        " output_file_grp='API', parameter={'exact': True})"), program="python")
    for group, log in logs.items():
        assert log.returncode == 0, f"{group}: {log.stderr}"
    return ws, {group: log.stderr for group, log in logs.items()}


@pytest.mark.parametrize("group, exact, direction", [("OUT", False, "auto"), ("EXACT", True, "auto"),
                                                     ("API", True, "auto"), ("LTR", False, "ltr")])
def test_every_page_gets_the_order_quorlin_writes_for_its_file(ordered, tmp_path, group, exact, direction):
    ws, _ = ordered
    sources, results = outputs(ws, "IN"), outputs(ws, group)
    assert results.keys() == sources.keys()
    for page, source in sources.items():
        quorlin_own = tmp_path / source.name
        quorlin_own.write_bytes(order_file(FileJob(source, quorlin_own, exact=exact, direction=direction)).data
                                or b"")
        assert refs(results[page]) == refs(quorlin_own), source.name
        assert sorted(refs(results[page])) == sorted(r.id for r in read_page(source).regions), source.name


def test_nothing_but_the_order_changes_besides_ocrds_metadata(ordered):
    ws, _ = ordered
    untouched = outputs(ws, "DUMMY")  # OCR-D's own writing of the same pages
    for page, path in outputs(ws, "OUT").items():
        assert elements(path, order=False) == elements(untouched[page], order=False), path.name
        steps = etree.parse(str(path)).xpath("//*[local-name()='MetadataItem']/@value")
        assert "ocrd-quorlin-order" in steps, path.name


def test_keep_existing_leaves_an_existing_order_untouched(ordered):
    ws, _ = ordered
    ordered_anew, kept = outputs(ws, "OUT"), outputs(ws, "KEEP")
    for page, source in outputs(ws, "IN").items():
        expected = source if refs(source) else ordered_anew[page]
        assert elements(kept[page], order=True) == elements(expected, order=True), source.name


@pytest.mark.parametrize("group, keep_existing", [("OUT", False), ("KEEP", True)])
def test_a_replaced_order_is_logged_once_per_page(ordered, group, keep_existing):
    ws, logs = ordered
    noted = Counter(m.group(1) for m in REPLACED.finditer(logs[group]))
    expected = {} if keep_existing else {f"IN/{p.name}": 1 for p in outputs(ws, "IN").values() if refs(p)}
    assert noted == expected


def test_dump_json_prints_the_tool_description_which_ocrd_accepts(tmp_path):
    tool = json.loads(TOOL.read_text())
    report = OcrdToolValidator.validate(tool)
    assert report.is_valid and not report.warnings, report.to_xml()
    assert tool["version"] == importlib.metadata.version("quorlin")
    described = tool["tools"]["ocrd-quorlin-order"]
    assert tuple(described["parameters"]["direction"]["enum"]) == DIRECTIONS
    assert json.loads(run(tmp_path, "--dump-json").stdout) == described


@pytest.mark.parametrize("parameter, value, refused", [
    ("direction", "rtl", None),
    ("direction", "sideways", "[direction] 'sideways' is not one of ['auto', 'ltr', 'rtl', 'ttb']"),
    ("exact", "maybe", "[exact] 'maybe' is not of type 'boolean'"),
    ("keep-existing", "1", "[keep-existing] 1 is not of type 'boolean'"),
    ("colour", "red", "'colour' was unexpected"),
])
def test_parameters_are_checked_by_ocrd(tmp_path, parameter, value, refused):
    ws = workspace(tmp_path, [(SAMPLES[0].name, SAMPLES[0].read_bytes())])
    result = run(ws, "-I", "IN", "-O", "OUT", "-P", parameter, value)
    if refused is None:
        assert result.returncode == 0, result.stderr
        assert outputs(ws, "OUT").keys() == {"P1"}
    else:
        assert result.returncode != 0 and refused in result.stderr, result.stderr
        assert outputs(ws, "OUT") == {}


KRAKEN = (PAGES / "page2013_kraken_testfixture_explicit_ro.xml").read_bytes()


@pytest.mark.parametrize("name, data, problem, env", [
    ("cut.xml", KRAKEN[:600], "(cut.xml, line 14)", {}),  # OCR-D's parser names the file
    ("letters.xml", KRAKEN.replace(b'"0,0 500,0', b'"0,0 five,0'),
     "IN/letters.xml: TextRegion 'r1': malformed Coords points ('five,0' is not \"x,y\")", {}),
    ("page2010.xml", (PAGES / "page2010_impact_bne_00445310_gt.xml").read_bytes(),
     "IN/page2010.xml: TextRegion 'r14': Coords has no points", {}),
    ("letters.xml", KRAKEN.replace(b'"0,0 500,0', b'"0,0 five,0'),
     "IN/letters.xml: TextRegion 'r1': malformed", {"OCRD_MAX_MISSING_OUTPUTS": "-1"}),
])
def test_a_broken_page_fails_naming_its_file(tmp_path, name, data, problem, env):
    ws = workspace(tmp_path, [("good.xml", KRAKEN), (name, data)])
    result = run(ws, "-I", "IN", "-O", "OUT", **env)
    failures = [line for line in result.stderr.splitlines() if "Failure on page" in line]
    assert len(failures) == 1 and "Failure on page P2: " in failures[0] and problem in failures[0], result.stderr
    # OCR-D's default gives up once more than a tenth of the pages failed; else it skips them, and says so
    if env:
        assert result.returncode == 0 and "skipped 1 of 2 pages" in result.stderr, result.stderr
        assert outputs(ws, "OUT").keys() == {"P1"}
    else:
        assert result.returncode != 0


def test_without_ocrd_the_package_imports_and_the_command_says_how_to_install_it(tmp_path):
    script = (
        "import importlib, pkgutil, sys\n"
        "for name in ('ocrd', 'ocrd_models', 'ocrd_utils', 'ocrd_modelfactory', 'ocrd_validators'):\n"
        "    sys.modules[name] = None  # import fails as if not installed\n"
        "import quorlin\n"
        "for m in pkgutil.walk_packages(quorlin.__path__, 'quorlin.'):\n"
        "    if m.name not in ('quorlin.__main__', 'quorlin.ocrd.processor'):\n"
        "        importlib.import_module(m.name)\n"
        "sys.argv = ['ocrd-quorlin-order', '--help']\n"
        "quorlin.ocrd.main()\n")
    result = run(tmp_path, "-c", script, program="python")
    assert result.returncode == 1
    assert result.stderr.strip() == ("ocrd-quorlin-order needs the OCR-D library, which is not installed: "
                                     "pip install 'quorlin[ocrd]'")
