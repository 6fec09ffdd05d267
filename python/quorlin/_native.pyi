"""Type stubs for the compiled ``quorlin._native`` extension module."""

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, overload

# Any object with the buffer protocol (a NumPy array, a 2-D memoryview) or a
# sequence of (x1, y1, x2, y2).
_Boxes: TypeAlias = Any | Sequence[Sequence[SupportsFloat | SupportsIndex]]
_Profile: TypeAlias = Literal["exact", "quality"] | None
_Bounds: TypeAlias = tuple[float, float, float, float]
# Page bounds: 4 coordinates, read as one box is.
_Row: TypeAlias = Any | Sequence[SupportsFloat | SupportsIndex]
# The quality profile's settings by name (see quorlin.profile.ProfileOptions).
_Options: TypeAlias = Mapping[str, float | bool] | None
# (kind, axis, position, gap, lo, mid, hi, depth, bounds)
_Event: TypeAlias = tuple[str, str | None, float | None, float | None, int, int, int, int, _Bounds | None]
# (lo, hi, depth, size, top_strip, frame, dx, dy)
_Part: TypeAlias = tuple[int, int, int, int, bool, _Bounds, float, float]
# (name, "number" or "switch", default, "tuned", "fixed" or "step", one-line doc)
_Setting: TypeAlias = tuple[str, str, float | bool, str, str]

RELEASE_THRESHOLD: int
PROFILE_SETTINGS: tuple[_Setting, ...]

@overload
def order(boxes: _Boxes, as_array: Literal[False] = False, profile: _Profile = None,
          page_bounds: _Row | None = None, separators: _Boxes | None = None,
          options: _Options = None) -> list[int]: ...
@overload
def order(boxes: _Boxes, as_array: Literal[True], profile: _Profile = None,
          page_bounds: _Row | None = None, separators: _Boxes | None = None, options: _Options = None) -> Any: ...
@overload
def order(boxes: _Boxes, as_array: bool, profile: _Profile = None,
          page_bounds: _Row | None = None, separators: _Boxes | None = None, options: _Options = None) -> Any: ...
def explain(
    boxes: _Boxes, profile: _Profile = None, page_bounds: _Row | None = None,
    separators: _Boxes | None = None, options: _Options = None,
) -> tuple[list[int], list[int], list[int], list[_Event], list[int], list[int], list[_Part]]: ...
def order_json_page(
    page: dict[str, Any], label_role: Callable[[str], object], profile: _Profile = None, options: _Options = None
) -> list[Any] | None: ...
def reset_log_cache() -> None: ...
