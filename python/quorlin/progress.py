"""The progress bar of the commands that order many pages or files.

tqdm watches its bars from a thread of its own (``tqdm.monitor_interval``),
started with the first bar.  The commands open their bar and then fork their
worker processes (``--jobs``); forking a process that runs a second thread
may deadlock the child on a lock that thread held (CPython 3.12 warns of it
on every fork).  These bars need no watching, as they are updated once per
page or file: they start no thread.
"""

from __future__ import annotations

from typing import IO

from tqdm import tqdm

__all__ = ["progress_bar"]


class _Bar(tqdm):  # type: ignore[type-arg]
    monitor_interval = 0  # no monitor thread


def progress_bar(total: int | None, unit: str, err: IO[str], shown: bool) -> tqdm:  # type: ignore[type-arg]
    """A bar counting ``unit`` up to ``total`` on ``err``, drawn only when ``shown``."""
    return _Bar(total=total, unit=unit, file=err, disable=not shown, mininterval=0.1, dynamic_ncols=True)
