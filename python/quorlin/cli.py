"""The ``quorlin`` command: order, draw, demo and eval."""

from __future__ import annotations

import argparse
import contextlib
import io
import itertools
import logging
import os
import sys
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import IO

from . import reset_log_cache
from .batch import run_batch
from .direction import DIRECTIONS
from .errors import PageError, QuorlinError
from .files import PAGE_SUFFIXES, file_jobs, order_files, ordered_file
from .evaluation.command import add_eval_command, eval_report
from .formats import FORMATS, read_page, refuse_other_format
from .formats.detect import HEAD
from .explaining import page_explanation
from .formats.jsonpage import dump_json, load_json
from .ordering import page_order
from .page import Page, RegionId
from .output import output_file, write_output
from .workers import Stopped, signals_raise

__all__ = ["main", "build_parser"]

DEMO_PAGE = "example_page.json"
DEMO_SVG = "quorlin-demo.svg"
JSONL_SUFFIXES = (".jsonl", ".ndjson")
# suffixes of one-page markup files, which --jobs does not turn into JSON Lines
MARKUP_SUFFIXES = (".xml", ".hocr", ".html", ".htm", ".xhtml")


def _setup_logging(verbose: bool) -> None:
    """Show the module's warnings always and its debug lines with --verbose."""
    logging.basicConfig(level=logging.WARNING, format="%(name)s: %(message)s", stream=sys.stderr)
    logging.getLogger("quorlinpy").setLevel(logging.DEBUG if verbose else logging.NOTSET)
    # The modules cache which levels Python enables; make both look again.
    reset_log_cache()


def _read_input(path: str) -> tuple[str, bytes | None]:
    """(name for messages, bytes) for "-", or (path, None) to read it later."""
    if path == "-":
        return "<stdin>", sys.stdin.buffer.read()
    return path, None


def _is_json_lines_text(name: str, data: bytes | None) -> bool:
    """Whether the file ``name`` (or ``data``, its bytes) holds JSON values one per line: its
    first two lines that are not blank are each a JSON value of their own."""
    try:
        with io.BytesIO(data) if data is not None else open(name, "rb") as handle:
            lines = list(itertools.islice((line for line in handle if line.strip()), 2))
        for line in lines:
            load_json(name, line)
    except (OSError, PageError):
        return False
    return len(lines) == 2


def _read_one_page(args: argparse.Namespace, name: str, data: bytes | None, json_lines: str) -> Page:
    """The page of ``name`` (or of ``data``, its bytes); JSON Lines, which holds several, is
    refused as such, followed by ``json_lines``: what to do instead."""
    try:
        return read_page(name, args.format, data, dpi=args.dpi)
    except PageError:
        if args.format in ("auto", "json", "detections", "coco") and _is_json_lines_text(name, data):
            raise PageError(name, f"one JSON value per line (JSON Lines), not one page: {json_lines}") from None
        raise


def _binary_lines(path: str) -> tuple[Iterator[bytes], int | None, IO[bytes] | None, bytes]:
    """Lines of a JSON Lines file (or stdin), their count when cheap to know, the handle,
    and the head of the file (for telling its format)."""
    if path == "-":
        # A pipe may hand over one page at a time and wait for its order: only
        # its first line is read before ordering starts, and more only when
        # that line is no JSON (markup or a binary file, whose format the
        # head of the input tells).
        stream = sys.stdin.buffer
        head = stream.readline()
        if not head.lstrip(b"\xef\xbb\xbf \t\r\n").startswith((b"{", b"[")):
            head += stream.read(HEAD)
        return _lines_after(head, stream), None, None, head
    try:
        handle = open(path, "rb")  # noqa: SIM115 - closed by the caller
    except OSError as exc:
        raise PageError(path, exc.strerror or str(exc)) from None
    total = None
    if sys.stderr.isatty():
        total = sum(1 for line in handle if line.strip())
        handle.seek(0)
    head = handle.read(HEAD)
    return _lines_after(head, handle), total, handle, head


def _lines_after(head: bytes, rest: IO[bytes]) -> Iterator[bytes]:
    """The lines of ``head`` and then of ``rest``, the stream it was read from."""
    *whole, part = head.split(b"\n")
    for line in whole:
        yield line + b"\n"
    part += rest.readline()
    if part:
        yield part
    yield from rest


def _refuse_other_formats(args: argparse.Namespace, page_name: str, source: str, head: bytes) -> None:
    """A page of markup or a binary file taken for JSON Lines is refused in one line
    naming what it is, not with a complaint about each of its lines."""
    said = (" as --format jsonl says" if args.format == "jsonl" else
            " as its name says" if Path(page_name).suffix.lower() in JSONL_SUFFIXES else ", which --jobs needs")
    refuse_other_format(source, head, "JSON Lines", said, lambda found: found == "json")


def _is_jsonl(args: argparse.Namespace, page: str) -> bool:
    """Whether the input is JSON Lines: --format jsonl, or a .jsonl file (or
    --jobs) with JSON pages or detections on its lines."""
    if args.format == "jsonl":
        return True
    if args.format not in ("auto", "detections", "coco"):
        return False
    suffix = Path(page).suffix.lower()
    return suffix in JSONL_SUFFIXES or (args.jobs is not None and suffix not in MARKUP_SUFFIXES)


def _check_json_lines(args: argparse.Namespace, page_name: str) -> None:
    """A file taken for JSON Lines only because of --jobs must have a page on its first
    line: a page written over several lines is one message, not an error per line."""
    if args.format != "auto" or page_name == "-" or Path(page_name).suffix.lower() in JSONL_SUFFIXES:
        return
    try:
        with open(page_name, "rb") as handle:
            lines = (line for line in handle if line.strip())
            first = next(lines, b"")
            more = next(lines, None) is not None
    except OSError as exc:
        raise PageError(page_name, exc.strerror or str(exc)) from None
    try:
        load_json(page_name, first)
    except PageError:
        if not more:
            raise  # one line, which is no page: its own problem is the message
        raise PageError(page_name, "one JSON value written over several lines, not JSON Lines (one page per "
                                   "line), which --jobs needs: order it without --jobs") from None


def _jobs(args: argparse.Namespace) -> int:
    jobs = args.jobs if args.jobs is not None else 1
    if jobs < 1:
        raise QuorlinError("--jobs must be at least 1")
    return jobs


def cmd_order(args: argparse.Namespace) -> int:
    inputs: list[str] = args.page
    if len(inputs) > 1 or args.output_dir is not None or args.in_place or Path(inputs[0]).is_dir():
        return _order_many(args, inputs)
    page_name = inputs[0]
    if _is_jsonl(args, page_name):
        jobs = _jobs(args)
        lines, total, handle, head = _binary_lines(page_name)
        source = "<stdin>" if page_name == "-" else page_name
        try:
            _refuse_other_formats(args, page_name, source, head)
            _check_json_lines(args, page_name)
            with contextlib.ExitStack() as stack:
                out_handle: IO[str]
                if args.output in (None, "-"):
                    out_handle = sys.stdout
                else:
                    binary = stack.enter_context(output_file(args.output))
                    out_handle = stack.enter_context(io.TextIOWrapper(binary, encoding="utf-8", newline="\n"))
                failed = run_batch(source, lines, out_handle, sys.stderr, jobs=jobs, total=total,
                                   progress=None if args.progress else False,
                                   fmt="auto" if args.format == "jsonl" else args.format, explain=args.explain,
                                   exact=args.exact, keep_existing=args.keep_existing,
                                   direction=args.direction)
        finally:
            if handle is not None:
                handle.close()
        if failed:
            print(f"quorlin: {failed} page{'s' if failed != 1 else ''} failed", file=sys.stderr)
            return 1
        return 0
    if args.jobs is not None:
        raise QuorlinError("--jobs needs JSON Lines input (one page per line) or several files")
    name, data = _read_input(page_name)
    page = _read_one_page(args, name, data, "give --format jsonl to order each line")
    if args.explain:
        text = dump_json(page_explanation(page, exact=args.exact, direction=args.direction), indent=2)
        write_output(args.output, (text + "\n").encode("utf-8"))
        return 0
    output, note = ordered_file(page, data, exact=args.exact, direction=args.direction,
                                keep_existing=args.keep_existing)
    if note is not None:
        print(f"quorlin: {note}", file=sys.stderr)
    write_output(args.output, output)
    return 0


def _files_conflict(args: argparse.Namespace, inputs: list[str]) -> str | None:
    """What is wrong with a run that writes files (several inputs, a folder, -O DIR or
    --in-place), naming the options or inputs that conflict; None when nothing is."""
    many = len(inputs) > 1 or Path(inputs[0]).is_dir()
    given = "--in-place" if args.in_place else "-O DIR"  # how files are written, when one input is given
    if args.in_place and args.output is not None:
        return "-o FILE and --in-place conflict: give one (--in-place writes each input over itself)"
    if args.in_place and args.output_dir is not None:
        return "-O DIR and --in-place conflict: give one (--in-place writes each input over itself)"
    if args.output is not None:  # so there are several inputs or a folder
        return f"-o FILE takes one page file, not {'several inputs' if len(inputs) > 1 else 'a folder'}: give -O DIR " \
               "(or --in-place)"
    if "-" in inputs:
        if many:
            return "standard input ('-') is one page: give it alone"
        if args.in_place:
            return "--in-place cannot write standard input ('-'): give -o FILE, or nothing for standard output"
        return "-O DIR cannot name a file after standard input ('-'): give -o FILE, or nothing for standard output"
    if args.explain:
        if many:
            return "--explain writes one document: give one input"
        return f"--explain and {given} conflict: --explain writes a report, not the page (give -o FILE, or nothing)"
    named = [i for i in inputs if Path(i).suffix.lower() in JSONL_SUFFIXES and not Path(i).is_dir()]
    if args.format == "jsonl" or named:
        if many:
            return "JSON Lines files are ordered one at a time: quorlin order FILE.jsonl -o OUT.jsonl"
        if args.format == "jsonl":
            return f"--format jsonl and {given} conflict: JSON Lines is ordered into one output (-o OUT.jsonl)"
        return f"{given} does not take JSON Lines ({named[0]}): quorlin order FILE.jsonl -o OUT.jsonl"
    return None


def _order_many(args: argparse.Namespace, inputs: list[str]) -> int:
    """``quorlin order FILE... -O DIR``, ``quorlin order DIR -O DIR`` and ``--in-place``."""
    problem = _files_conflict(args, inputs)
    if problem is not None:
        raise QuorlinError(problem)
    if args.output_dir is not None:
        # an output folder that cannot be one is refused once, before any file is read
        # (each file failed on it with a message of its own)
        out = Path(args.output_dir)
        existing = next((p for p in (out, *out.parents) if p.exists()), None)
        if existing is not None and not existing.is_dir():
            raise QuorlinError(f"-O {args.output_dir}: {existing} is a file, not a folder")
    jobs = file_jobs(inputs, args.output_dir, args.in_place, fmt=args.format, dpi=args.dpi, exact=args.exact,
                     direction=args.direction,
                     keep_existing=args.keep_existing)
    if not jobs:
        raise QuorlinError(f"no page files ({', '.join(PAGE_SUFFIXES)}) in {', '.join(inputs)}")
    failed = order_files(jobs, workers=_jobs(args), err=sys.stderr, progress=None if args.progress else False)
    if failed:
        print(f"quorlin: {failed} of {len(jobs)} file{'s' if len(jobs) != 1 else ''} failed", file=sys.stderr)
        return 1
    return 0


def _draw(page: Page, output: str | None, image: str | None, cuts: bool, exact: bool = False,
          direction: str = "auto") -> list[RegionId]:
    from .draw import image_data_uri, order_with_cuts, render_svg  # only the drawing commands need it

    if cuts:
        reading_order, cut_list = order_with_cuts(page, exact=exact, direction=direction)
    else:
        reading_order, cut_list = page_order(page, exact=exact, direction=direction), []
    href = image_data_uri(image, page) if image else None
    write_output(output, render_svg(page, reading_order, cut_list, href).encode("utf-8"))
    return list(reading_order)


def cmd_draw(args: argparse.Namespace) -> int:
    name, data = _read_input(args.page)
    page = _read_one_page(args, name, data, "quorlin draw takes one page")
    _draw(page, args.output, args.image, args.cuts, args.exact, args.direction)
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from importlib import resources

    data = resources.files("quorlin").joinpath("data", DEMO_PAGE).read_bytes()
    page = read_page(DEMO_PAGE, "json", data)
    reading_order = _draw(page, args.output, None, True)
    regions = {r.id: r for r in page.regions}
    print("Example page: a title over two columns, with a figure spanning both.")
    print("Reading order:")
    id_width = max(len(str(rid)) for rid in reading_order)
    kind_width = max(len(r.kind) for r in page.regions)
    for number, rid in enumerate(reading_order, 1):
        r = regions[rid]
        box = ", ".join(str(int(v)) if v.is_integer() else repr(v) for v in r.box)  # exact, never rounded
        print(f"  {number:2d}. {rid!s:<{id_width}}  {r.kind:<{kind_width}}  [{box}]")
    print(f"Picture: {args.output} (dashed lines: the cuts that produced this order)")
    return 0


def cmd_eval(args: argparse.Namespace) -> int:
    write_output(args.output, eval_report(args).encode("utf-8"))
    return 0


class _Formatter(argparse.RawDescriptionHelpFormatter):
    pass


class _Version(argparse.Action):
    """--version, with the version looked up only when asked for."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        from . import __version__

        print(f"quorlin {__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    verbose = argparse.ArgumentParser(add_help=False)
    verbose.add_argument(
        "-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
        help="show the module's debug log lines (cuts, merges) on stderr",
    )
    parser = argparse.ArgumentParser(
        prog="quorlin",
        description=("Put the layout elements of document pages into reading order (a quality profile around an "
                     "exact recursive XY-cut)."),
        epilog="Run 'quorlin COMMAND --help' for the options of a command; start with 'quorlin demo'.",
        parents=[verbose],
    )
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    formats = ("auto", "jsonl", *FORMATS)
    format_help = ("input format (default: from the file's content): json (a JSON page), jsonl (one JSON page "
                   "or detections per line), page-xml, alto, hocr, detections (a JSON list of x1,y1,x2,y2 boxes "
                   "with class names), coco ([x, y, width, height] boxes with category_id)")
    dpi_help = "image resolution for ALTO files in mm10 or inch1200 units that do not give it"
    direction_help = ("how the page is read: ltr (rows, each left to right), rtl (columns from the right), "
                      "ttb (vertical columns from the right, each top to bottom); auto (the default): as the "
                      "file says or its text shows, else ltr (-v shows the choice)")

    p_order = sub.add_parser(
        "order", parents=[verbose], formatter_class=_Formatter,
        help="compute the reading order of a page (JSON, PAGE-XML, ALTO, hOCR, detections) or of many (JSON Lines)",
        description=(
            "Compute the reading order of PAGE ('-' reads standard input), or of every page\n"
            "file of several inputs or of a folder (-O DIR); the format is told from the content.\n\n"
            "  JSON page:  writes the page object with \"order\" (element ids in reading order)\n"
            "  PAGE-XML:   writes a copy of the file with the computed order in its ReadingOrder:\n"
            "              one OrderedGroup, or, when the file's is an UnorderedGroup of chains,\n"
            "              those chains kept, each in the computed order (and Transkribus'\n"
            "              readingOrder indexes the same); nothing else in the file changes\n"
            "  ALTO:       4.3 and later: a copy with a ReadingOrder; older versions: a copy\n"
            "              with its blocks reordered in the document\n"
            "  hOCR:       a copy (well-formed XML) with its areas reordered in the document\n"
            "  detections: the list (or COCO annotations) in reading order, each with its\n"
            "              \"reading_order\"\n"
            "  JSON Lines: (.jsonl/.ndjson, --format jsonl or --jobs) one page or list of\n"
            "              detections per line in, one line per page out, in input order; a bad\n"
            "              line is reported with its line number and the exit status is 1 at the end\n\n"
            "The order is the quality profile (the default; see docs/quality.md), or with\n"
            "--exact the exact recursive XY-cut of the core module.\n\n"
            "With --explain, each page is written as one JSON object instead (one line\n"
            "per page for JSON Lines): {\"source\", \"profile\", \"direction\", \"direction_from\",\n"
            "\"order\", \"segment_order\", \"set_aside\", \"margin_notes\", \"non_finite\", \"cuts\",\n"
            "\"fallbacks\", \"parts\"}; see docs/usage.md.\n\n"
            "A file that has a reading order of its own gets the computed one (a note on\n"
            "stderr says so), or with --keep-existing is written back as it is.\n\n"
            "A file given with -o (or written into -O DIR) appears only whole; with several\n"
            "inputs a file that fails is named on stderr, the others are written, and the\n"
            "exit status is 1."
        ),
    )
    p_order.add_argument("page", metavar="PAGE", nargs="+",
                         help="page file (JSON, PAGE-XML, ALTO, hOCR, detections, JSON Lines, or '-'), or a "
                              "folder of them; several need -O DIR")
    output = p_order.add_mutually_exclusive_group()
    output.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output (one input)")
    output.add_argument("-O", "--output-dir", metavar="DIR",
                        help="write each input file into DIR under its own name (a folder's tree mirrored)")
    p_order.add_argument("--in-place", action="store_true",
                         help="write each input file over itself (not with -o or -O)")
    p_order.add_argument("--keep-existing", action="store_true",
                         help="write a file that has a reading order of its own back as it is")
    p_order.add_argument("--format", choices=formats, default="auto", help=format_help)
    p_order.add_argument("--dpi", type=float, metavar="N", help=dpi_help)
    p_order.add_argument("-j", "--jobs", type=int, metavar="N",
                         help="order JSON Lines pages, or the files of several inputs, in N processes")
    p_order.add_argument("--explain", action="store_true",
                         help="write how each page was ordered (order, cuts, fallbacks) as JSON instead")
    p_order.add_argument("--exact", action="store_true",
                         help="the exact XY-cut of the core module instead of the quality profile")
    p_order.add_argument("--direction", choices=DIRECTIONS, default="auto", help=direction_help)
    p_order.add_argument("--no-progress", dest="progress", action="store_false",
                         help="no progress bar (it is only shown when stderr is a terminal)")
    p_order.set_defaults(func=cmd_order)

    p_draw = sub.add_parser(
        "draw", parents=[verbose],
        help="draw a page's reading order as SVG",
        description=("Draw PAGE as SVG: boxes coloured by label, numbered in reading order, arrows from "
                     "each element to the next, separators faint grey, optionally over the page image and "
                     "with the XY-cut lines."),
    )
    p_draw.add_argument("page", metavar="PAGE",
                        help="page file: JSON, PAGE-XML, ALTO, hOCR or detections, or '-'")
    p_draw.add_argument("-o", "--output", metavar="FILE.svg", help="SVG file to write (default: standard output)")
    p_draw.add_argument("--image", metavar="IMAGE", help="page image (PNG, JPEG or GIF) to draw under the boxes")
    p_draw.add_argument("--cuts", action="store_true",
                        help="draw the cuts that made the order dashed (the profile's fold and top strip too)")
    p_draw.add_argument("--exact", action="store_true",
                        help="the exact XY-cut of the core module instead of the quality profile")
    p_draw.add_argument("--direction", choices=DIRECTIONS, default="auto", help=direction_help)
    p_draw.add_argument("--format", choices=("auto", *FORMATS), default="auto",
                        help="input format (default: from the file's content; see 'quorlin order --help')")
    p_draw.add_argument("--dpi", type=float, metavar="N", help=dpi_help)
    p_draw.set_defaults(func=cmd_draw)

    p_demo = sub.add_parser(
        "demo", parents=[verbose],
        help="order the bundled example page, print the order and draw it",
        description=("Order the bundled example page (a title over two columns with a figure spanning "
                     "both), print the order and write its picture, cuts included."),
    )
    p_demo.add_argument("-o", "--output", metavar="FILE.svg", default=DEMO_SVG,
                        help=f"SVG file to write (default: {DEMO_SVG})")
    p_demo.set_defaults(func=cmd_demo)

    add_eval_command(sub, [verbose], cmd_eval)
    return parser


def _check_output_names(args: argparse.Namespace) -> None:
    """An empty -o or -O (which would be the current folder) is refused, named as such."""
    if getattr(args, "output", None) == "":
        raise QuorlinError("-o FILE is an empty name: give a file, or '-' for standard output")
    if getattr(args, "output_dir", None) == "":
        raise QuorlinError("-O DIR is an empty name: give a folder ('.' for this one)")


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    _setup_logging(getattr(args, "verbose", False))
    try:
        _check_output_names(args)
        with signals_raise():
            status: int = args.func(args)
        return status
    except Stopped as stop:
        return stop.status
    except QuorlinError as exc:
        print(f"quorlin: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # the reader went away (| head): stop quietly
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as exc:
        where = f"{exc.filename}: " if exc.filename else ""
        print(f"quorlin: error: {where}{exc.strerror or exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
