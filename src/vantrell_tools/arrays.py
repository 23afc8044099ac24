"""Segments as plain arrays, gray conversion and a picture of what was found.

Coordinates are the detector's: x to the right, y down, the centre of pixel
(c, r) at (c + 0.5, r + 0.5), so an image of width w and height h covers
[0, w] x [0, h].
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

import vantrell

__all__ = ["segments_array", "segments_from_array", "to_gray", "draw_segments",
           "EDGE_OFFSET", "edge_endpoints"]

#: Columns of a segment table, in order.
COLUMNS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")

#: The detector takes its gradient on 2 x 2 blocks of pixels, so the end points
#: it reports lie half a pixel up and to the left of the edge they describe.
#: The tools' geometry adds this to both coordinates of every end point.
EDGE_OFFSET = 0.5

#: Luma weights of `to_gray`, in thousandths (ITU-R BT.601).
GRAY_WEIGHTS = (299, 587, 114)


def segments_array(segments: Sequence[Any] | np.ndarray) -> np.ndarray:
    """Segments as an (N, 7) float64 table.

    Parameters
    ----------
    segments : list of vantrell.Segment, or array_like of shape (N, 7)
        What `vantrell.detect` returned, or a table made earlier.

    Returns
    -------
    ndarray of shape (N, 7), float64
        Columns x1, y1, x2, y2, width, precision, log_nfa, the values exactly as
        the detector reported them (a new array; (0, 7) for no segments).
    """
    if isinstance(segments, np.ndarray):
        table = np.array(segments, dtype=np.float64, copy=True)
        if table.size == 0:
            return np.zeros((0, 7), np.float64)
        if table.ndim != 2 or table.shape[1] != 7:
            raise ValueError(f"expected an (N, 7) segment table, got shape {table.shape}")
        return table
    table = np.zeros((len(segments), 7), np.float64)
    for i, s in enumerate(segments):
        if isinstance(s, vantrell.Segment):
            table[i] = (s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa)
        else:
            row = np.asarray(s, dtype=np.float64)
            if row.shape != (7,):
                raise ValueError(f"segment {i}: expected 7 values, got shape {row.shape}")
            table[i] = row
    return table


def segments_from_array(table: np.ndarray) -> list[Any]:
    """`vantrell.Segment` objects holding exactly the values of an (N, 7) table.

    Parameters
    ----------
    table : array_like of shape (N, 7)
        Columns x1, y1, x2, y2, width, precision, log_nfa.

    Returns
    -------
    list of vantrell.Segment
        One per row, in order, each field the row's value to the bit.
    """
    make = getattr(vantrell.Segment, "_from_fields", None)
    if make is None:
        raise RuntimeError("this build of vantrell cannot make Segment objects "
                           "(Segment._from_fields is missing)")
    rows = segments_array(np.asarray(table, dtype=np.float64))
    return [make(*(float(v) for v in row)) for row in rows]


def edge_endpoints(table: np.ndarray) -> np.ndarray:
    """End points of segments moved onto the edges they describe.

    Parameters
    ----------
    table : ndarray of shape (N, 7) or (N, 4)
        Segment table (only the first four columns are read).

    Returns
    -------
    ndarray of shape (N, 4), float64
        x1, y1, x2, y2 with `EDGE_OFFSET` added to each: the detector's end
        points lie half a pixel up and to the left of the true edge.
    """
    return np.asarray(table, dtype=np.float64)[:, :4] + EDGE_OFFSET


def _check_image(image: np.ndarray, name: str = "image") -> None:
    if not isinstance(image, np.ndarray):
        raise TypeError(f"{name} must be a NumPy array, not {type(image).__name__}")
    if image.dtype not in (np.uint8, np.uint16):
        raise TypeError(f"{name} must be uint8 or uint16, not {image.dtype}")
    if not (image.ndim == 2 or (image.ndim == 3 and image.shape[2] == 3)):
        raise TypeError(f"{name} must be (height, width) or (height, width, 3), not {image.shape}")


def to_gray(image: np.ndarray) -> np.ndarray:
    """Gray levels of an RGB image, in the same sample type.

    Parameters
    ----------
    image : ndarray, (H, W, 3) or (H, W), uint8 or uint16
        An RGB image; a 2-D image is returned as it is.

    Returns
    -------
    ndarray of shape (H, W), same dtype
        (299 R + 587 G + 114 B + 500) // 1000 for every pixel, computed in
        integers, so the weighted mean is rounded half up exactly.
    """
    _check_image(image)
    if image.ndim == 2:
        return image
    wr, wg, wb = GRAY_WEIGHTS
    acc = np.multiply(image[..., 0], wr, dtype=np.uint32)
    acc += np.multiply(image[..., 1], wg, dtype=np.uint32)
    acc += np.multiply(image[..., 2], wb, dtype=np.uint32)
    acc += np.uint32(500)
    acc //= np.uint32(1000)
    return acc.astype(image.dtype)


def _to_rgb8(image: np.ndarray) -> np.ndarray:
    if image.dtype == np.uint16:
        # nearest 8-bit level: round(v / 257), halves up, in integers
        image = ((image.astype(np.uint32) * 2 + 257) // 514).astype(np.uint8)
    if image.ndim == 2:
        image = np.repeat(image[:, :, None], 3, axis=2)
    return image


def _hue_colours(hue: np.ndarray) -> np.ndarray:
    """Saturated colours for hues in [0, 1) (HSV with S = 0.85, V = 1)."""
    h6 = (hue % 1.0) * 6.0
    i = np.floor(h6).astype(np.int64) % 6
    f = h6 - np.floor(h6)
    v, s = 1.0, 0.85
    p, q, t = v * (1 - s), v * (1 - s * f), v * (1 - s * (1 - f))
    table = np.stack([
        np.stack([np.full_like(f, v), t, np.full_like(f, p)], -1),
        np.stack([q, np.full_like(f, v), np.full_like(f, p)], -1),
        np.stack([np.full_like(f, p), np.full_like(f, v), t], -1),
        np.stack([np.full_like(f, p), q, np.full_like(f, v)], -1),
        np.stack([t, np.full_like(f, p), np.full_like(f, v)], -1),
        np.stack([np.full_like(f, v), np.full_like(f, p), q], -1),
    ], 0)
    return table[i, np.arange(len(i))] * 255.0


# dark blue -> teal -> green -> yellow, for weak to strong segments
_RAMP = np.array([[40, 30, 120], [30, 110, 170], [40, 170, 120], [170, 210, 50], [255, 230, 30]], float)
_RAMP.setflags(write=False)     # shared by every call, never written


def _ramp_colours(t: np.ndarray) -> np.ndarray:
    pos = np.clip(t, 0.0, 1.0) * (len(_RAMP) - 1)
    i = np.minimum(np.floor(pos).astype(np.int64), len(_RAMP) - 2)
    f = (pos - i)[:, None]
    return _RAMP[i] * (1.0 - f) + _RAMP[i + 1] * f


def draw_segments(image: np.ndarray, segments: Sequence[Any] | np.ndarray, *,
                  color_by: str = "angle", line_width: float | None = None) -> np.ndarray:
    """Segments drawn over a faded gray copy of an image.

    Parameters
    ----------
    image : ndarray, (H, W) or (H, W, 3), uint8 or uint16
        The picture the segments were found in.
    segments : list of vantrell.Segment, or ndarray of shape (N, 7)
        Segments in the detector's coordinates; they are drawn on the edges
        they describe (`EDGE_OFFSET` added to their end points).
    color_by : {"angle", "log_nfa"}
        "angle": a hue per direction (horizontal red, vertical cyan, the
        diagonals in between); "log_nfa": dark blue for the least meaningful
        segment through yellow for the most, on a logarithmic scale.
    line_width : float, optional
        Stroke width in pixels; by default max(1.5, longer side / 400), so the
        lines stay visible when the picture is shown scaled down.

    Returns
    -------
    ndarray of shape (H, W, 3), uint8
        The overlay; longer segments are drawn over shorter ones, with
        anti-aliased edges.
    """
    _check_image(image)
    if color_by not in ("angle", "log_nfa"):
        raise ValueError(f"color_by must be 'angle' or 'log_nfa', not {color_by!r}")
    table = segments_array(segments)
    rgb8 = _to_rgb8(image)
    h, w = rgb8.shape[:2]
    gray = to_gray(rgb8).astype(np.float64)
    out = np.repeat((gray * 0.5 + 60.0)[:, :, None], 3, axis=2)
    if line_width is None:
        line_width = max(1.5, max(h, w) / 400.0)
    half = 0.5 * float(line_width)
    if len(table):
        ends = edge_endpoints(table)
        dx = ends[:, 2] - ends[:, 0]
        dy = ends[:, 3] - ends[:, 1]
        if color_by == "angle":
            colours = _hue_colours((np.degrees(np.arctan2(dy, dx)) % 180.0) / 180.0)
        else:
            score = np.log10(np.maximum(table[:, 6], 1e-300))
            span = score.max() - score.min()
            colours = _ramp_colours((score - score.min()) / span if span > 0 else np.ones(len(score)))
        order = np.argsort(np.hypot(dx, dy), kind="stable")
        for k in order:
            _stroke(out, ends[k], half, colours[k])
    return np.clip(np.floor(out + 0.5), 0, 255).astype(np.uint8)


def _stroke(out: np.ndarray, seg: np.ndarray, half: float, colour: np.ndarray) -> None:
    """Blends one anti-aliased stroke of half-width `half` into `out`."""
    x1, y1, x2, y2 = seg
    if not np.all(np.isfinite(seg)):
        return
    h, w = out.shape[:2]
    pad = half + 1.0
    c0 = max(0, int(np.floor(min(x1, x2) - pad)))
    c1 = min(w, int(np.ceil(max(x1, x2) + pad)))
    r0 = max(0, int(np.floor(min(y1, y2) - pad)))
    r1 = min(h, int(np.ceil(max(y1, y2) + pad)))
    if c0 >= c1 or r0 >= r1:
        return
    py, px = np.mgrid[r0:r1, c0:c1].astype(np.float64)
    px += 0.5
    py += 0.5
    dx, dy = x2 - x1, y2 - y1
    n2 = dx * dx + dy * dy
    t = np.clip(((px - x1) * dx + (py - y1) * dy) / n2, 0.0, 1.0) if n2 > 0 else np.zeros_like(px)
    dist = np.hypot(px - (x1 + t * dx), py - (y1 + t * dy))
    alpha = np.clip(half + 0.5 - dist, 0.0, 1.0)[:, :, None]
    region = out[r0:r1, c0:c1]
    region *= 1.0 - alpha
    region += alpha * colour
