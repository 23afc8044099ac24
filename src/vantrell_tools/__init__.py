"""Photos straightened, pages flattened and segments drawn, with vantrell.

Functions over NumPy arrays. Coordinates everywhere: x to the right, y down,
the centre of pixel (c, r) at (c + 0.5, r + 0.5), so an image of width w and
height h covers [0, w] x [0, h]. Results are deterministic to the bit.
"""
from .arrays import draw_segments, segments_array, segments_from_array, to_gray
from .files import read_image, write_image
from .pages import Flattened, find_page, flatten_page, page_aspect
from .straighten import Straightened, straighten
from .warped import Warped, warp_image

__all__ = [
    "segments_array", "segments_from_array", "to_gray", "draw_segments",
    "Straightened", "straighten", "Flattened", "find_page", "flatten_page", "page_aspect",
    "Warped", "warp_image", "read_image", "write_image",
]
