"""Coverage-guided fuzzing of the quorlin package's readers and writers (atheris).

    python fuzz/package/fuzz_package.py TARGET [CORPUS_DIR ...] [libFuzzer options]

TARGET is one of the targets of ``checks.py`` (page-xml, alto, hocr, json,
detections, jsonl, cli, native).  The package is instrumented for coverage
(the XML and HTML parsers it reads through are C code); every input goes through the target's checks, and an exception
that escapes (a ``Finding`` or anything the package let out) stops the run
with the input saved as ``crash-...`` (see ``-artifact_prefix``).
"""

from __future__ import annotations

import logging
import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent))

with atheris.instrument_imports(include=["quorlin"]):
    import quorlin  # noqa: F401 - instrumented here, before checks imports it
    import quorlin.cli  # noqa: F401

import checks  # noqa: E402 - the checks themselves are not instrumented


def main() -> None:
    if len(sys.argv) < 2 or sys.argv[1] not in checks.TARGETS:
        sys.exit(f"usage: fuzz_package.py {{{','.join(checks.TARGETS)}}} [CORPUS_DIR ...] [libFuzzer options]")
    target = checks.TARGETS[sys.argv[1]]
    if sys.argv[1] == "native" and checks.native_module() is None:
        print("fuzz_package.py: quorlin._native is not installed: fuzzing quorlin.order on arrays only",
              file=sys.stderr)
    # The module's own warnings about odd pages are not findings; keep them off the fuzzer's output.
    logging.getLogger("quorlinpy").setLevel(logging.CRITICAL)
    quorlin.reset_log_cache()

    def test_one_input(data: bytes) -> None:
        target(data)

    atheris.Setup([sys.argv[0], *sys.argv[2:]], test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
