"""Line segment detection and exact resampling for NumPy arrays."""

from collections.abc import Callable, Sequence
from typing import Any, Final, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final

import numpy as np

__all__ = ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]

# What the float protocol accepts: float, int, NumPy scalars, objects with
# __float__ or __index__ (str is refused).
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Filter: TypeAlias = Literal["bilinear", "lanczos3"]

# The resamplers' sample types: the result has the source's.
_Sample = TypeVar("_Sample", np.uint8, np.uint16)
_Gray: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.uint8 | np.uint16 | np.float32 | np.float64]]
_Map: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.float32]]
# Any object that passes the sequence check: a list or tuple, or a 1-D array.
_Nine: TypeAlias = Sequence[_Float] | np.ndarray[tuple[int], np.dtype[Any]]
_Fields: TypeAlias = tuple[float, float, float, float, float, float, float]

@final
class Segment:
    """One detected line segment, in input-image coordinates."""

    # The seven stored values, read-only.
    x1: Final[float]
    y1: Final[float]
    x2: Final[float]
    y2: Final[float]
    width: Final[float]
    precision: Final[float]
    log_nfa: Final[float]
    @property
    def angle(self) -> float:
        """Direction in degrees, -90 to 90, 0 = horizontal."""
    @property
    def length(self) -> float:
        """Length in pixels."""
    def __reduce__(self) -> tuple[Callable[..., Segment], _Fields]: ...
    @classmethod
    def _from_fields(
        cls, x1: float, y1: float, x2: float, y2: float, width: float, precision: float, log_nfa: float
    ) -> Segment: ...

def detect(gray: _Gray, scale: _Float = 0.8) -> list[Segment]:
    """Find the validated line segments of a grayscale image."""

def warp_rgb(
    src: np.ndarray[tuple[int, int, int], np.dtype[_Sample]],
    inverse: _Nine,
    scale: _Float,
    off_x: _Float,
    off_y: _Float,
    filter: _Filter = "bilinear",
    out_size: tuple[SupportsIndex, SupportsIndex] | None = None,
) -> np.ndarray[tuple[int, int, int], np.dtype[_Sample]]:
    """Perspective-warp an RGB image through an inverse homography."""

def remap_rgb(
    src: np.ndarray[tuple[int, int, int], np.dtype[_Sample]], map_x: _Map, map_y: _Map, filter: _Filter = "bilinear"
) -> np.ndarray[tuple[int, int, int], np.dtype[_Sample]]:
    """Resample an RGB image through a coordinate map: output pixel (x, y)
    takes its value from source position (map_x[y, x], map_y[y, x])."""

def remap_gray(
    src: np.ndarray[tuple[int, int], np.dtype[_Sample]], map_x: _Map, map_y: _Map, filter: _Filter = "bilinear"
) -> np.ndarray[tuple[int, int], np.dtype[_Sample]]:
    """Resample a single-channel image (a mask) through a coordinate map."""
