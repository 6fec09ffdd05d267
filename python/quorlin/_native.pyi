"""Type stubs for the compiled ``quorlin._native`` extension module."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, overload

# Any object with the buffer protocol (a NumPy array, a 2-D memoryview) or a
# sequence of (x1, y1, x2, y2).
_Boxes: TypeAlias = Any | Sequence[Sequence[SupportsFloat | SupportsIndex]]
_Profile: TypeAlias = Literal["exact"] | None
_Bounds: TypeAlias = tuple[float, float, float, float]
# (kind, axis, position, gap, lo, mid, hi, depth, bounds)
_Event: TypeAlias = tuple[str, str | None, float | None, float | None, int, int, int, int, _Bounds | None]

RELEASE_THRESHOLD: int

@overload
def order(boxes: _Boxes, as_array: Literal[False] = False, profile: _Profile = None) -> list[int]: ...
@overload
def order(boxes: _Boxes, as_array: Literal[True], profile: _Profile = None) -> Any: ...
@overload
def order(boxes: _Boxes, as_array: bool, profile: _Profile = None) -> Any: ...
def explain(boxes: _Boxes, profile: _Profile = None) -> tuple[list[int], list[int], list[int], list[_Event]]: ...
def order_json_page(
    page: dict[str, Any], skip_label: Callable[[str], bool], profile: _Profile = None
) -> list[Any] | None: ...
