"""The ReadingOrder of a PAGE-XML file: read once, checked once, seen two ways.

A PAGE ReadingOrder is a tree of groups (``OrderedGroup``, ``UnorderedGroup``
and their ``...Indexed`` forms) holding region references (``RegionRef``,
``RegionRefIndexed``).  :func:`read_groups` walks it once: it checks every
reference and every ``@index``, puts the members of each ordered group in
index order, and gives the tree.  Two views of it serve the package:

* :func:`flatten` - every referenced region, depth first: the stored order
  a reader of the page reports;
* :func:`chains` - the independent ordered sequences that a human order
  made of it (an ``UnorderedGroup`` of ``OrderedGroup`` chains: main text,
  marginalia, ...), which ``quorlin eval`` scores pair by pair inside each
  chain.
"""

from __future__ import annotations

from collections.abc import Collection
from dataclasses import dataclass, field

from ...errors import PageError
from ..values import shown_text
from .document import Span

__all__ = ["GROUPS", "REFS", "ORDERED", "Group", "Ref", "read_groups", "flatten", "chains", "MAX_DEPTH"]

ORDERED = frozenset({"OrderedGroup", "OrderedGroupIndexed"})
UNORDERED = frozenset({"UnorderedGroup", "UnorderedGroupIndexed"})
GROUPS = ORDERED | UNORDERED
REFS = frozenset({"RegionRef", "RegionRefIndexed"})

#: Groups nested deeper than this are refused: no real reading order comes
#: near it, and a limit keeps a hostile file from costing without end.
MAX_DEPTH = 1000


@dataclass(eq=False)
class Ref:
    """A reference to a region."""

    span: Span
    region: str


@dataclass(eq=False)
class Group:
    """A group of a ReadingOrder, its members in reading order (index order when it is ordered)."""

    span: Span
    members: list[Group | Ref] = field(default_factory=list)

    @property
    def ordered(self) -> bool:
        return self.span.local in ORDERED


def _index_key(source: str, child: Span) -> int:
    """The place of a member of an ordered group: its @index (0 for a member without one)."""
    name = child.local
    if not name.endswith("Indexed"):
        return 0
    index = child.get("index")
    try:
        return int(index if index is not None else "")
    except ValueError:
        if index is None:
            raise PageError(source, f"ReadingOrder: {name} has no index") from None
        raise PageError(source, f"ReadingOrder: {name} has no valid index ({shown_text(index)})") from None


def read_groups(source: str, reading_order: Span, known: Collection[str]) -> list[Group]:
    """The groups at the top of a ReadingOrder element, each with its members.

    Raises :class:`~quorlin.errors.PageError` for a reference without
    ``regionRef`` or to a region not in ``known``, for a member of an
    ordered group without a valid ``@index``, and for groups nested more
    than :data:`MAX_DEPTH` deep; the first problem in reading order is the
    one reported.  The walk keeps its own stack, so a deep file costs no
    recursion.
    """
    top = [Group(child) for child in reading_order.kids() if child.local in GROUPS]
    # (group, its members still to read, where the reading stands), depth first
    stack: list[tuple[Group, list[Span], int]] = []
    for group in top:
        stack.append((group, _members(source, group), 0))
        while stack:
            current, children, at = stack.pop()
            while at < len(children):
                child = children[at]
                at += 1
                if child.local in REFS:
                    region = child.get("regionRef")
                    if region is None:
                        raise PageError(source, f"ReadingOrder: {child.local} without regionRef")
                    if region not in known:
                        raise PageError(source, f"ReadingOrder refers to unknown region {shown_text(region)}")
                    current.members.append(Ref(child, region))
                    continue
                if len(stack) + 2 > MAX_DEPTH:
                    raise PageError(source, "ReadingOrder groups are nested too deeply")
                sub = Group(child)
                current.members.append(sub)
                stack.append((current, children, at))
                stack.append((sub, _members(source, sub), 0))
                break
    return top


def _members(source: str, group: Group) -> list[Span]:
    """The group's references and groups, in index order when it is ordered."""
    children = [c for c in group.span.kids() if c.local in GROUPS or c.local in REFS]
    if group.ordered:
        children.sort(key=lambda child: _index_key(source, child))
    return children


def _depth_first(groups: list[Group]) -> list[tuple[Group | Ref, Group | None]]:
    """Every member with the group it is in, depth first (no recursion)."""
    out: list[tuple[Group | Ref, Group | None]] = []
    stack: list[tuple[Group | Ref, Group | None]] = [(g, None) for g in reversed(groups)]
    while stack:
        item, parent = stack.pop()
        out.append((item, parent))
        if isinstance(item, Group):
            stack.extend((m, item) for m in reversed(item.members))
    return out


def flatten(groups: list[Group]) -> list[str]:
    """Every referenced region, depth first: the order stored in the file."""
    return [item.region for item, _ in _depth_first(groups) if isinstance(item, Ref)]


def chains(groups: list[Group]) -> list[list[str]]:
    """The ordered chains of a ReadingOrder, empty ones left out.

    A top-level ordered group is a chain, and so is an ordered group inside
    an unordered one; an ordered group inside an ordered one is part of that
    chain, in its place.  A reference directly in an unordered group
    belongs to no chain: where the reader takes it is not given.
    """
    found: list[list[str]] = []
    chain_of: dict[int, list[str] | None] = {}
    for item, parent in _depth_first(groups):
        if isinstance(item, Ref):
            if parent is not None and parent.ordered:
                chain = chain_of[id(parent)]
                if chain is not None:
                    chain.append(item.region)
            continue
        if item.ordered and (parent is None or not parent.ordered):
            new: list[str] = []
            found.append(new)
            chain_of[id(item)] = new
        elif item.ordered and parent is not None:
            chain_of[id(item)] = chain_of[id(parent)]
        else:
            chain_of[id(item)] = None
    return [c for c in found if c]
