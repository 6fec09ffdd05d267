"""Writing output files safely: whole or not at all, through links, keeping owner and mode.

Every file the package writes (``quorlin order -o``, ``-O DIR``, ``draw``,
``eval -o``) goes through :func:`output_file`: the bytes go to a temporary
file beside the target, which replaces the target only when complete, so an
error, Ctrl-C or SIGTERM never leaves a half-written file nor changes an
existing one.
"""

from __future__ import annotations

import contextlib
import os
import sys
import secrets
from collections.abc import Iterator
from pathlib import Path
from typing import IO

from .errors import PageError

__all__ = ["output_file", "write_output"]


def write_output(path: str | None, data: bytes) -> None:
    """``data`` to the file ``path`` (see :func:`output_file`), or to standard output for None or "-"."""
    if path is None or path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    with output_file(path) as handle:
        handle.write(data)


@contextlib.contextmanager
def output_file(path: str) -> Iterator[IO[bytes]]:
    """A file that appears at ``path`` only when the block ends without an
    exception: written under a temporary name beside it and renamed over it
    at the end, so that a failure never leaves a half-written file (nor a
    changed input file). A device or a pipe is written as it is. Any OSError
    becomes a PageError naming ``path``.

    A symbolic link is written through: its target is replaced, the link
    stays. A file that is replaced keeps its mode and, where the process may
    give it, its owner and group; it is a new file all the same, so hard
    links to the old one keep the old contents.
    """
    target = Path(os.path.realpath(path)) if os.path.islink(path) else Path(path)
    if target.exists() and not target.is_file():
        try:
            with open(target, "wb") as handle:
                yield handle
        except OSError as exc:
            raise PageError(path, f"cannot write: {exc.strerror or exc}") from None
        return
    # The temporary name is chosen before the file is made, so that an
    # interrupt (Ctrl-C, or SIGTERM raised as an exception) between making
    # it and the first line that could know it still finds it to remove.
    temporary = ""
    try:
        while True:
            temporary = str(target.parent / f".{target.name}.{secrets.token_hex(4)}")
            try:
                fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
                break
            except FileExistsError:
                temporary = ""  # another file's name: never removed here
        with os.fdopen(fd, "wb") as handle:
            yield handle
        if target.exists():
            status = target.stat()
            try:
                os.chown(temporary, status.st_uid, status.st_gid)
            except OSError:
                pass  # only root may give a file away; the file is then the writer's
            os.chmod(temporary, status.st_mode & 0o7777)
        else:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, target)
    except BaseException as exc:
        try:
            if temporary:
                os.unlink(temporary)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise PageError(path, f"cannot write: {exc.strerror or exc}") from None
        raise
