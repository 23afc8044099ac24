"""Upright correction of photos: verticals made vertical, horizontals horizontal.

Coordinates: x to the right, y down, the centre of pixel (c, r) at
(c + 0.5, r + 0.5); an image of width w and height h covers [0, w] x [0, h].
The detector's end points lie half a pixel up and to the left of the edge they
describe (its gradient is taken on 2 x 2 blocks); the end points are moved by
`arrays.EDGE_OFFSET` before any geometry.

References
----------
.. [1] H. Lee, E. Shechtman, J. Wang and S. Lee, "Automatic Upright Adjustment
   of Photographs", CVPR 2012 (the camera-rotation model of the correction).
.. [2] R. Hartley and A. Zisserman, "Multiple View Geometry in Computer
   Vision", 2nd ed., 2004, section 8.6 (vanishing points and the camera).
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import vantrell

from . import geometry as geo
from .arrays import _check_image, edge_endpoints, segments_array, to_gray
from .warped import Warped, warp_image

__all__ = ["Straightened", "straighten", "MODES", "CROPS"]

MODES = ("vertical", "horizontal", "both", "rotation")
CROPS = ("largest", "aspect", "none")

#: Segments within this many degrees of vertical (horizontal) form that family.
FAMILY_DEG = 30.0
#: Shortest segment used, as a fraction of the image's shorter side.
MIN_LENGTH = 0.03
#: Fewest segments a family needs before its vanishing point is trusted.
MIN_SEGMENTS = 3
#: Largest area of the corrected image, as a multiple of the input's.
MAX_GROWTH = 4.0
#: A correction that moves no corner by more than this (in pixels, apart from
#: a translation) leaves the image as it is.
NEGLIGIBLE = 0.5


@dataclass(frozen=True)
class Straightened(Warped):
    """Result of `straighten`: a `Warped` whose `homography` maps the input to
    the output, with these besides.

    Attributes
    ----------
    mask : ndarray of shape (out_h, out_w), uint8
        255 where the output samples the source, 0 where it lies outside.
    vertical, horizontal : ndarray of shape (N, 7)
        The segments that agreed on each family's vanishing point (empty when a
        family was not used), as the detector reported them.
    """

    mask: np.ndarray
    vertical: np.ndarray
    horizontal: np.ndarray


def _camera(w: int, h: int, focal: float) -> np.ndarray:
    return np.array([[focal, 0.0, 0.5 * w], [0.0, focal, 0.5 * h], [0.0, 0.0, 1.0]])


def _ray(k: np.ndarray, point: np.ndarray, axis: int) -> np.ndarray:
    """Unit direction of a vanishing point in camera space, signed so that its
    `axis` component is not negative."""
    r = np.linalg.solve(k, point)
    r /= np.linalg.norm(r)
    return -r if r[axis] < 0 else r


def _focal_from_pair(v: np.ndarray, hz: np.ndarray, w: int, h: int) -> float | None:
    """Focal length that makes two vanishing points orthogonal directions:
    f^2 = -(v - c) . (h - c), both finite; None when not plausible."""
    if abs(v[2]) < 1e-12 or abs(hz[2]) < 1e-12:
        return None
    c = np.array([0.5 * w, 0.5 * h])
    a = v[:2] / v[2] - c
    b = hz[:2] / hz[2] - c
    f2 = -float(a @ b)
    side = max(w, h)
    if not (f2 > (0.3 * side) ** 2 and f2 < (5.0 * side) ** 2):
        return None
    return float(np.sqrt(f2))


def _in_plane(point: np.ndarray, w: int, h: int, axis: int) -> np.ndarray:
    """Direction, in the image plane, from the centre towards a vanishing
    point (for a point at infinity, the direction itself), with a positive
    `axis` component; as a 3-vector with z = 0."""
    d = np.array([point[0] - 0.5 * w * point[2], point[1] - 0.5 * h * point[2], 0.0])
    return -d if d[axis] < 0 else d


def _largest_rect(quad: np.ndarray, aspect: float | None) -> tuple[float, float, float, float]:
    """Largest axis-parallel rectangle (x0, y0, width, height) inside a convex
    quadrilateral, optionally of a fixed width / height ratio.

    For a convex region the span of x at height y is [L(y), R(y)] with L convex
    and R concave, so a rectangle over [y0, y1] fits when it lies within
    [max(L(y0), L(y1)), min(R(y0), R(y1))]. The best y0, y1 are found on a
    grid, then on finer grids around the best cell; nothing is random.
    """
    if geo.polygon_area(quad) < 0:
        quad = quad[::-1]
    top, bottom = float(quad[:, 1].min()), float(quad[:, 1].max())
    # vertices clockwise on screen: edges running down bound the right side
    edges = [(quad[i], quad[(i + 1) % 4]) for i in range(4)]

    def span(y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        left = np.full(y.shape, -np.inf)
        right = np.full(y.shape, np.inf)
        for p, q in edges:
            if p[1] == q[1]:
                continue
            x = p[0] + (y - p[1]) / (q[1] - p[1]) * (q[0] - p[0])
            if q[1] > p[1]:
                right = np.minimum(right, x)
            else:
                left = np.maximum(left, x)
        return left, right

    best = (float(quad[:, 0].min()), top, 0.0, 0.0)
    best_area = 0.0
    ranges = [(top, bottom), (top, bottom)]
    n = 97
    for _ in range(5):
        y0 = np.linspace(*ranges[0], n)
        y1 = np.linspace(*ranges[1], n)
        a0, a1 = np.meshgrid(y0, y1, indexing="ij")
        l0, r0 = span(a0)
        l1, r1 = span(a1)
        left, right = np.maximum(l0, l1), np.minimum(r0, r1)
        height = a1 - a0
        width = right - left
        if aspect is not None:
            width = np.minimum(width, aspect * height)
            height = width / aspect
        ok = (a1 > a0) & (width > 0) & (height > 0)
        area = np.where(ok, width * height, 0.0)
        k = int(np.argmax(area))
        if area.flat[k] > best_area:
            best_area = float(area.flat[k])
            i0, i1 = np.unravel_index(k, area.shape)
            x0 = float(left[i0, i1])
            if aspect is not None:
                x0 = 0.5 * float(left[i0, i1] + right[i0, i1]) - 0.5 * float(width[i0, i1])
            best = (x0, float(a0[i0, i1]), float(width[i0, i1]), float(height[i0, i1]))
            centre = (float(a0[i0, i1]), float(a1[i0, i1]))
        else:
            centre = (best[1], best[1] + best[3])
        steps = [(r[1] - r[0]) / (n - 1) for r in ranges]
        ranges = [(max(top, c - 2 * st), min(bottom, c + 2 * st)) for c, st in zip(centre, steps)]
    return best


def _inside(w: int, h: int, inverse: tuple[float, ...], off_x: float, off_y: float,
            x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Whether output pixels (x, y) of a warp at scale 1 sample the source.

    The same IEEE operations, in the same order, as the warp's own row loop
    (plane point, row terms, denominator, two divisions) and the samplers'
    inside test, so the answer is the warp's to the bit.
    """
    h0, h1, h2, h3, h4, h5, h6, h7, h8 = inverse
    px = x.astype(np.float64) / 1.0 + off_x
    py = y.astype(np.float64) / 1.0 + off_y
    den = (h7 * py + h8) + h6 * px
    with np.errstate(divide="ignore", invalid="ignore"):
        sx = ((h1 * py + h2) + h0 * px) / den
        sy = ((h4 * py + h5) + h3 * px) / den
    outside = (sx < -0.5) | (sx > w - 0.5) | (sy < -0.5) | (sy > h - 0.5)
    return (den != 0.0) & ~outside


def _valid_mask(w: int, h: int, inverse: tuple[float, ...], off_x: float, off_y: float,
                out_w: int, out_h: int, whole: bool) -> np.ndarray:
    """255 where output pixels sample the source: the module's own warp of an
    all-255 source.

    The pixels that sample the source form a convex region (the preimage of
    the source rectangle), so when the output's outer rows and columns all do
    (`_inside`), every pixel does and the mask is all 255 without a warp; the
    warp is made only when one of them does not or `whole` asks for it.
    """
    if not whole:
        xs, ys = np.arange(out_w), np.arange(out_h)
        ring_x = np.concatenate([xs, xs, np.zeros(out_h, np.int64), np.full(out_h, out_w - 1)])
        ring_y = np.concatenate([np.zeros(out_w, np.int64), np.full(out_w, out_h - 1), ys, ys])
        if _inside(w, h, inverse, off_x, off_y, ring_x, ring_y).all():
            return np.full((out_h, out_w), 255, np.uint8)
    full = np.full((h, w, 3), 255, np.uint8)
    return np.ascontiguousarray(
        vantrell.warp_rgb(full, inverse, 1.0, off_x, off_y, "bilinear", (out_w, out_h))[:, :, 0])


def _unchanged(image: np.ndarray, reason: str, vertical: np.ndarray, horizontal: np.ndarray,
               filter: str) -> Straightened:
    h, w = image.shape[:2]
    return Straightened(
        image=image.copy(), mask=np.full((h, w), 255, np.uint8), inverse=geo.IDENTITY, scale=1.0,
        off_x=0.0, off_y=0.0, out_size=(w, h), filter=filter, homography=np.eye(3),
        vertical=vertical, horizontal=horizontal, fitted=reason == "", reason=reason)


def _family(ends: np.ndarray, weights: np.ndarray, members: np.ndarray, name: str
            ) -> tuple[geo.VanishingPoint | None, str]:
    idx = np.flatnonzero(members)
    if len(idx) < MIN_SEGMENTS:
        return None, f"too few near-{name} lines ({len(idx)}, need {MIN_SEGMENTS})"
    vp = geo.consensus_vanishing_point(ends[idx], weights[idx])
    if isinstance(vp, geo.FailedEstimation):
        return None, f"near-{name} lines: {vp.reason}"
    if len(vp.inliers) < MIN_SEGMENTS:
        return None, f"too few near-{name} lines agree ({len(vp.inliers)}, need {MIN_SEGMENTS})"
    return geo.VanishingPoint(vp.point, idx[vp.inliers]), ""


def straighten(image: np.ndarray, mode: str = "both", crop: str = "largest",
               filter: str = "lanczos3") -> Straightened:
    """Correct the perspective of a photo so that it looks taken by a level camera.

    The segments of the gray image (`vantrell.detect`) within 30 degrees of
    vertical and of horizontal form two families; each segment weighs its
    length x width x precision as the detector reports them. Each family's
    vanishing point is found by exhaustive consensus over pairs of its
    heaviest segments and refined by weighted least squares
    (`geometry.consensus_vanishing_point`). The correction is a rotation of
    the camera about its centre, H = K Q K^-1, with the principal point at the
    image centre and the focal length from the two vanishing points when both
    are finite and agree on one (else `geometry.DEFAULT_FOCAL` x max(w, h)):
    Q takes the vertical direction onto the image's y axis and, for "both",
    the horizontal one (made orthogonal to the vertical) onto the x axis. The
    output is scaled to keep the detail at the image centre.

    Parameters
    ----------
    image : ndarray, (H, W, 3) or (H, W), uint8 or uint16
    mode : {"both", "vertical", "horizontal", "rotation"}
        "vertical": verticals made vertical (converging verticals removed);
        "horizontal": horizontals made horizontal; "both": both families, the
        vertical first (a family with too few lines is left out); "rotation":
        a rotation about the centre only, levelling the verticals (or, without
        them, the horizontals).
    crop : {"largest", "aspect", "none"}
        "largest": the largest axis-parallel rectangle of valid pixels;
        "aspect": the largest with the input's width / height ratio; "none":
        the whole corrected image, with `mask` marking the valid part.
    filter : {"lanczos3", "bilinear"}

    Returns
    -------
    Straightened
        With `fitted` False and a `reason` (never an exception) when the
        picture has too few lines, or the correction would blow the image up to
        more than four times its area or turn part of it behind the camera;
        `image` is then the input unchanged. A correction that would move no
        corner by more than half a pixel also leaves the input as it is, with
        `fitted` True.
    """
    _check_image(image)
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}; got {mode!r}")
    if crop not in CROPS:
        raise ValueError(f"crop must be one of {', '.join(CROPS)}; got {crop!r}")
    if filter not in ("lanczos3", "bilinear"):
        raise ValueError(f"filter must be 'lanczos3' or 'bilinear'; got {filter!r}")
    h, w = image.shape[:2]
    empty = np.zeros((0, 7), np.float64)
    table = segments_array(vantrell.detect(to_gray(image)))
    ends = edge_endpoints(table)
    dx, dy = ends[:, 2] - ends[:, 0], ends[:, 3] - ends[:, 1]
    length = np.hypot(dx, dy)
    weights = length * table[:, 4] * table[:, 5]
    tilt = np.degrees(np.arctan2(np.abs(dy), np.abs(dx)))      # 0 horizontal .. 90 vertical
    long_enough = length >= MIN_LENGTH * min(w, h)
    is_v = long_enough & (tilt >= 90.0 - FAMILY_DEG)
    is_h = long_enough & (tilt <= FAMILY_DEG)

    vert = horiz = None
    why_v = why_h = ""
    if mode in ("vertical", "both", "rotation"):
        vert, why_v = _family(ends, weights, is_v, "vertical")
    if mode in ("horizontal", "both") or (mode == "rotation" and vert is None):
        horiz, why_h = _family(ends, weights, is_h, "horizontal")
    used_v = table[vert.inliers] if vert is not None else empty
    used_h = table[horiz.inliers] if horiz is not None else empty
    if vert is None and horiz is None:
        if mode == "vertical":
            reason = why_v
        elif mode == "horizontal":
            reason = why_h
        else:
            reason = f"{why_v}; {why_h}"
        return _unchanged(image, reason, empty, empty, filter)

    side = max(w, h)
    focal = side * geo.DEFAULT_FOCAL
    if vert is not None and horiz is not None:
        focal = _focal_from_pair(vert.point, horiz.point, w, h) or focal
    k = _camera(w, h, focal)
    ey, ex = np.array([0.0, 1.0, 0.0]), np.array([1.0, 0.0, 0.0])
    if mode == "rotation":
        q = (geo.rotation_onto(_in_plane(vert.point, w, h, 1), ey) if vert is not None
             else geo.rotation_onto(_in_plane(horiz.point, w, h, 0), ex))
    elif vert is not None and horiz is not None:
        rv = _ray(k, vert.point, 1)
        rh = _ray(k, horiz.point, 0)
        rh = rh - (rh @ rv) * rv
        rh /= np.linalg.norm(rh)
        q = np.stack([rh, rv, np.cross(rh, rv)])
    elif vert is not None:
        q = geo.rotation_onto(_ray(k, vert.point, 1), ey)
    else:
        q = geo.rotation_onto(_ray(k, horiz.point, 0), ex)
    g = k @ q @ np.linalg.inv(k)

    corners = np.array([[0.0, 0.0], [w, 0.0], [w, h], [0.0, h]])
    depth = geo.homogeneous(corners) @ g[2]
    if not np.all(depth > 0):
        return _unchanged(image, "the correction would turn part of the image behind the camera",
                          used_v, used_h, filter)
    # keep the detail at the centre: unit Jacobian determinant there
    c = np.array([0.5 * w, 0.5 * h])
    u = g @ (c[0], c[1], 1.0)
    jac = (g[:2, :2] - np.outer(u[:2] / u[2], g[2, :2])) / u[2]
    s = 1.0 / np.sqrt(abs(np.linalg.det(jac)))
    g = np.diag([s, s, 1.0]) @ g
    moved = geo.apply_homography(g, corners)
    centre = geo.apply_homography(g, [c])[0]
    if np.max(np.hypot(*(moved - centre - (corners - c)).T)) <= NEGLIGIBLE:
        return _unchanged(image, "", used_v, used_h, filter)
    area = abs(geo.polygon_area(moved))
    if area > MAX_GROWTH * w * h:
        return _unchanged(image, f"the correction would blow the image up to {area / (w * h):.1f} "
                          f"times its area (at most {MAX_GROWTH:g})", used_v, used_h, filter)

    if crop == "none":
        x0, y0 = np.floor(moved.min(axis=0))
        x1, y1 = np.ceil(moved.max(axis=0))
        out_w, out_h = int(x1 - x0), int(y1 - y0)
    else:
        x0, y0, rw, rh_ = _largest_rect(moved, w / h if crop == "aspect" else None)
        out_w, out_h = max(1, int(np.floor(rw))), max(1, int(np.floor(rh_)))
    to_output = geo.translation(-float(x0), -float(y0)) @ g
    # output pixel (x, y) has its centre at (x + 0.5, y + 0.5) of the output,
    # the plane point (x + x0 + 0.5, y + y0 + 0.5)
    inverse = geo.warp_inverse(np.linalg.inv(g))
    off_x, off_y = float(x0) + 0.5, float(y0) + 0.5
    out = warp_image(image, inverse, 1.0, off_x, off_y, filter, (out_w, out_h))
    mask = _valid_mask(w, h, inverse, off_x, off_y, out_w, out_h, whole=crop == "none")
    return Straightened(
        image=out, mask=mask, inverse=inverse, scale=1.0, off_x=off_x, off_y=off_y,
        out_size=(out_w, out_h), filter=filter, homography=to_output / to_output[2, 2],
        vertical=used_v, horizontal=used_h, fitted=True, reason="")
