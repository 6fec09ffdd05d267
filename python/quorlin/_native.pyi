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
# (lo, hi, depth, size, top_strip, frame, dx, dy, kind)
_Part: TypeAlias = tuple[int, int, int, int, bool, _Bounds, float, float, str]
# One role code (quorlin.labels.ROLES) per box: bytes, or a sequence of ints.
_Roles: TypeAlias = bytes | Sequence[int] | None
# one class name or SemanticLabel per box, with quorlin.labels.code_table() as label_codes
_Labels: TypeAlias = list[Any] | tuple[Any, ...] | None
# (name, "number" or "switch", default, "tuned", "fixed" or "step", one-line doc)
_Setting: TypeAlias = tuple[str, str, float | bool, str, str]
# None (left to right), "ltr", "rtl" or "ttb"; anything else is refused with a ValueError
_Direction: TypeAlias = str | None

RELEASE_THRESHOLD: int
PROFILE_SETTINGS: tuple[_Setting, ...]

@overload
def order(boxes: _Boxes, as_array: Literal[False] = False, profile: _Profile = None,
          page_bounds: _Row | None = None, separators: _Boxes | None = None,
          options: _Options = None, roles: _Roles = None, direction: _Direction = None,
          labels: _Labels = None, label_codes: dict[object, int] | None = None) -> list[int]: ...
@overload
def order(boxes: _Boxes, as_array: Literal[True], profile: _Profile = None,
          page_bounds: _Row | None = None, separators: _Boxes | None = None, options: _Options = None,
          roles: _Roles = None, direction: _Direction = None, labels: _Labels = None,
          label_codes: dict[object, int] | None = None) -> Any: ...
@overload
def order(boxes: _Boxes, as_array: bool, profile: _Profile = None,
          page_bounds: _Row | None = None, separators: _Boxes | None = None, options: _Options = None,
          roles: _Roles = None, direction: _Direction = None, labels: _Labels = None,
          label_codes: dict[object, int] | None = None) -> Any: ...
def explain(
    boxes: _Boxes, profile: _Profile = None, page_bounds: _Row | None = None,
    separators: _Boxes | None = None, options: _Options = None, roles: _Roles = None,
    direction: _Direction = None, labels: _Labels = None, label_codes: dict[object, int] | None = None,
) -> tuple[list[int], list[int], list[int], list[_Event], list[int], list[int], list[_Part]]: ...
# (kind, element index, element id, key or box position, value)
_Problem: TypeAlias = tuple[str, int | None, Any, str | int | None, Any]
# element_label(label, type, subtype) -> (SemanticLabel, kind, role)
_ElementLabel: TypeAlias = Callable[[str | None, str | None, str], tuple[Any, str, str]]

MAX_COORDINATE: float

def read_json_page(
    page: Any, element_label: _ElementLabel, region: Callable[..., Any]
) -> tuple[tuple[float | None, float | None, list[Any], list[Any], list[Any] | None], None] | tuple[None, _Problem]: ...
def order_json_page(
    page: Any, element_label: _ElementLabel, profile: _Profile = None, options: _Options = None,
    role_code: Callable[[str], int] | None = None, direction: _Direction = None,
) -> tuple[list[Any], None] | tuple[None, _Problem]: ...
def reset_log_cache() -> None: ...
