"""Work spread over worker processes that stops cleanly, whatever stops it.

:func:`in_processes` maps a function over chunks of work in N processes and
hands the results back in input order, with a bounded number of chunks in
flight.  It never hangs and never leaves a process behind:

* a worker that dies (killed by the out-of-memory killer, say) is an error
  naming its chunk (:class:`WorkerLost`), raised at once;
* an interrupt in the parent (Ctrl-C, or a signal that :func:`signals_raise`
  turns into :class:`Stopped`) kills the workers at once and goes on as the
  exception it is, so that ``finally`` blocks and context managers (the
  temporary output file) clean up;
* workers ignore Ctrl-C (the parent decides), die quietly on SIGTERM and
  SIGHUP, and are killed by the kernel when their parent dies.
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import signal
import sys
import multiprocessing
from collections.abc import Callable, Iterable, Iterator
from multiprocessing.connection import Connection, wait
from types import FrameType
from typing import Any, TypeVar

from .errors import QuorlinError

__all__ = ["WorkerLost", "Stopped", "in_processes", "signals_raise"]

T = TypeVar("T")
R = TypeVar("R")

#: How many chunks per worker are handed out ahead of the results.
AHEAD = 2
# prctl(2): the signal a process gets when its parent dies.
_PR_SET_PDEATHSIG = 1


class WorkerLost(QuorlinError):
    """A worker process died while it worked on a chunk."""


class Stopped(BaseException):
    """The process was asked to stop by a signal (SIGTERM, SIGHUP).

    A ``BaseException``, like ``KeyboardInterrupt``, so that ``except
    Exception`` does not swallow it; ``status`` is the exit status a shell
    gives a process that such a signal ended (128 + its number).
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.status = 128 + signum


@contextlib.contextmanager
def signals_raise(*signums: int) -> Iterator[None]:
    """Within the block, the signals (SIGTERM and SIGHUP by default) raise
    :class:`Stopped` in the main thread; the old handlers come back after."""
    wanted = signums or (signal.SIGTERM, signal.SIGHUP)

    def stop(signum: int, frame: FrameType | None) -> None:
        raise Stopped(signum)

    old = {signum: signal.signal(signum, stop) for signum in wanted}
    try:
        yield
    finally:
        for signum, handler in old.items():
            signal.signal(signum, handler)


def _die_with_parent() -> None:
    """Ask the kernel to kill this process when its parent dies (Linux)."""
    name = ctypes.util.find_library("c")
    if not sys.platform.startswith("linux") or name is None:
        return
    try:
        ctypes.CDLL(name, use_errno=True).prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
    except (OSError, AttributeError):
        pass  # the worker then ends when it finds its pipe to the parent closed


def _worker(connection: Connection, function: Callable[[Any], Any], initializer: Callable[..., None] | None,
            initargs: tuple[Any, ...]) -> None:
    """A worker's life: chunks in, results out, until the parent sends None or goes away."""
    # Ctrl-C reaches the whole process group: the parent decides what happens.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A forked worker inherits the parent's handlers; it dies quietly instead.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)
    _die_with_parent()
    if initializer is not None:
        initializer(*initargs)
    while True:
        try:
            chunk = connection.recv()
        except (EOFError, OSError):
            return
        if chunk is None:
            return
        try:
            reply: tuple[bool, Any] = (True, function(chunk))
        except Exception as exc:  # the parent raises it
            reply = (False, exc)
        try:
            connection.send(reply)
        except (BrokenPipeError, OSError):
            return


class _Worker:
    def __init__(self, function: Callable[[Any], Any], initializer: Callable[..., None] | None,
                 initargs: tuple[Any, ...]) -> None:
        self.connection, theirs = multiprocessing.Pipe()
        self.process = multiprocessing.Process(target=_worker, args=(theirs, function, initializer, initargs),
                                               daemon=True)
        self.process.start()
        theirs.close()  # only the worker holds its end: its death closes the pipe
        self.chunk: tuple[int, Any] | None = None

    def stop(self) -> None:
        with contextlib.suppress(Exception):
            self.process.kill()
        with contextlib.suppress(Exception):
            self.process.join(timeout=5)
        with contextlib.suppress(Exception):
            self.connection.close()


def in_processes(
    function: Callable[[T], R],
    chunks: Iterable[T],
    jobs: int,
    describe: Callable[[T], str],
    initializer: Callable[..., None] | None = None,
    initargs: tuple[Any, ...] = (),
) -> Iterator[R]:
    """``function(chunk)`` for every chunk, in ``jobs`` worker processes, in input order.

    At most ``AHEAD`` chunks per worker are handed out before their results
    are taken.  Raises :class:`WorkerLost` (naming the chunk by
    ``describe(chunk)``) when a worker dies; an exception that ``function``
    raises is raised here as it is.  However the iteration ends (finished,
    abandoned, interrupted), no worker outlives it.

    The standard library's pools (``multiprocessing.Pool``,
    ``ProcessPoolExecutor``) keep threads that feed and read their pipes;
    a worker killed in the middle of a message, or an interrupt at the wrong
    moment, leaves those threads waiting for ever (and the interpreter with
    them at exit).  This dispatcher has no thread: one pipe per worker,
    read when :func:`multiprocessing.connection.wait` says it is ready.
    """
    workers = [_Worker(function, initializer, initargs) for _ in range(max(1, jobs))]
    free = list(workers)
    done: dict[int, R] = {}
    handed = taken = 0
    source = iter(chunks)
    exhausted = False
    try:
        while True:
            while free and not exhausted and handed - taken < len(workers) * AHEAD:
                try:
                    chunk = next(source)
                except StopIteration:
                    exhausted = True
                    break
                worker = free.pop()
                worker.chunk = (handed, chunk)
                try:
                    worker.connection.send(chunk)
                except OSError:  # the worker died since its last result (a broken pipe)
                    raise WorkerLost(f"a worker process died before ordering {describe(chunk)} (killed, perhaps "
                                     "for want of memory)") from None
                handed += 1
            if taken in done:
                taken += 1
                yield done.pop(taken - 1)
                continue
            busy = [w for w in workers if w.chunk is not None]
            if not busy:
                if exhausted:
                    break
                continue
            ready = wait([w.connection for w in busy] + [w.process.sentinel for w in busy])
            for worker in busy:
                assert worker.chunk is not None
                index, chunk = worker.chunk
                if worker.connection in ready or worker.process.sentinel in ready:
                    try:
                        ok, value = worker.connection.recv()
                    except (EOFError, OSError):
                        raise WorkerLost(f"a worker process died while ordering {describe(chunk)} (killed, perhaps "
                                         "for want of memory)") from None
                    if not ok:
                        raise value
                    done[index] = value
                    worker.chunk = None
                    free.append(worker)
        for worker in workers:
            with contextlib.suppress(Exception):
                worker.connection.send(None)
    finally:
        for worker in workers:
            worker.stop()
