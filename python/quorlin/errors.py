"""Exceptions raised by the quorlin package."""

from __future__ import annotations


class QuorlinError(Exception):
    """Base class of every error that quorlin reports to its user.

    The command-line tool prints these as one line and exits with status 1;
    anything else escaping from it would be a bug.
    """


class PageError(QuorlinError, ValueError):
    """A page file (or one page of a batch) that cannot be used.

    ``source`` names the file (or ``"FILE:LINE"`` for a line of a JSON Lines
    batch) and ``problem`` says what is wrong with it; ``str()`` joins both
    into the one-line message shown to the user.
    """

    def __init__(self, source: str, problem: str) -> None:
        self.source = source
        self.problem = problem
        super().__init__(f"{source}: {problem}" if source else problem)
