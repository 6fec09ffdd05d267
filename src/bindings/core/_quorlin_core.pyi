"""Type stubs for the compiled ``_quorlin_core`` extension module."""

from collections.abc import Sequence
from typing import ClassVar, SupportsFloat, SupportsIndex, TypeAlias, final

from typing_extensions import disjoint_base


# Coordinates and tuning values go through Python's float conversion
# (__float__, or __index__ for integers) and are stored in single precision.
_Float: TypeAlias = SupportsFloat | SupportsIndex

__all__ = ["reset_log_cache", "compute_order_mervane", "XYCutConfig", "SemanticLabel", "Element"]

@final
class SemanticLabel:
    """One shared object per value; cannot be instantiated from Python."""

    CrossLayout: ClassVar[SemanticLabel]
    HorizontalTitle: ClassVar[SemanticLabel]
    VerticalTitle: ClassVar[SemanticLabel]
    Vision: ClassVar[SemanticLabel]
    Regular: ClassVar[SemanticLabel]
    def __int__(self) -> int: ...

# Element and XYCutConfig are C types with their own instance layout, so a
# class cannot derive from both (a "disjoint base").
@disjoint_base
class Element:
    """A layout element: id, two corners and a label; read-only."""

    def __new__(cls, id: SupportsIndex, x1: _Float, y1: _Float, x2: _Float, y2: _Float, label: SemanticLabel) -> Element: ...
    @property
    def id(self) -> int: ...
    @property
    def x1(self) -> float: ...
    @property
    def y1(self) -> float: ...
    @property
    def x2(self) -> float: ...
    @property
    def y2(self) -> float: ...
    @property
    def label(self) -> SemanticLabel: ...

@disjoint_base
class XYCutConfig:
    """Three tuning values; accepted and validated, they do not change the order."""

    def __new__(
        cls,
        min_cut_threshold: _Float = 15.0,
        histogram_resolution_scale: _Float = 0.5,
        same_row_tolerance: _Float = 10.0,
    ) -> XYCutConfig: ...
    @property
    def min_cut_threshold(self) -> float: ...
    @min_cut_threshold.setter
    def min_cut_threshold(self, value: _Float) -> None: ...
    @property
    def histogram_resolution_scale(self) -> float: ...
    @histogram_resolution_scale.setter
    def histogram_resolution_scale(self, value: _Float) -> None: ...
    @property
    def same_row_tolerance(self) -> float: ...
    @same_row_tolerance.setter
    def same_row_tolerance(self, value: _Float) -> None: ...

def compute_order_mervane(
    elements: Sequence[Element],
    page_bounds: tuple[_Float, _Float, _Float, _Float],
    config: XYCutConfig | None = None,
) -> list[int]:
    """The elements' ids in reading order."""

def reset_log_cache() -> None:
    """Empty the cache of enabled log levels; call after reconfiguring logging."""
