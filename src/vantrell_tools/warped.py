"""What straightening and flattening share: a result that carries the exact
`vantrell.warp_rgb` arguments that made it, and the warp of RGB or gray
pictures.

Coordinates: x to the right, y down, the centre of pixel (c, r) at
(c + 0.5, r + 0.5).
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import vantrell

__all__ = ["Warped", "warp_image"]


@dataclass(frozen=True)
class Warped:
    """A picture warped through a homography, and how to warp it again.

    ``vantrell.warp_rgb(image_in, inverse, scale, off_x, off_y, filter, out_size)``
    gives `image` bit for bit (for a gray input, channel 0 of the warp of the
    gray image repeated in three channels; `warp_image` does both).

    Attributes
    ----------
    image : ndarray
        The output, same dtype (and number of channels) as the input; the input
        unchanged when `fitted` is False.
    inverse : tuple of 9 floats
        Row-major 3 x 3 matrix from output plane points to source positions in
        the resamplers' coordinates (pixel centres at integers).
    scale, off_x, off_y : float
        Output pixel (x, y) stands for the plane point
        (x / scale + off_x, y / scale + off_y).
    out_size : tuple of int
        (width, height) of `image`.
    filter : str
        The resampling filter.
    homography : ndarray of shape (3, 3)
        The geometric map of the result (see the subclass), in the coordinates
        above.
    fitted : bool
        False when nothing was done.
    reason : str
        Why nothing was done ("" when fitted).
    """

    image: np.ndarray
    inverse: tuple[float, ...]
    scale: float
    off_x: float
    off_y: float
    out_size: tuple[int, int]
    filter: str
    homography: np.ndarray
    fitted: bool
    reason: str


def warp_image(image: np.ndarray, inverse: tuple[float, ...], scale: float, off_x: float, off_y: float,
               filter: str, out_size: tuple[int, int]) -> np.ndarray:
    """`vantrell.warp_rgb` of an RGB picture, or channel 0 of the warp of a gray
    picture repeated in three channels."""
    if image.ndim == 3:
        return vantrell.warp_rgb(image, inverse, scale, off_x, off_y, filter, out_size)
    rgb = np.repeat(image[:, :, None], 3, axis=2)
    return np.ascontiguousarray(vantrell.warp_rgb(rgb, inverse, scale, off_x, off_y, filter, out_size)[:, :, 0])
