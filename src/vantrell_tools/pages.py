"""Finding a photographed page and flattening it.

Coordinates: x to the right, y down, the centre of pixel (c, r) at
(c + 0.5, r + 0.5); an image of width w and height h covers [0, w] x [0, h].
Page corners are given in this convention, in the order top-left, top-right,
bottom-right, bottom-left (clockwise on screen). The detector's end points lie
half a pixel up and to the left of the edge they describe (its gradient is
taken on 2 x 2 blocks); they are moved by `arrays.EDGE_OFFSET` before the
page's lines are fitted, so the corners lie on the page's edges.

References
----------
.. [1] Z. Zhang and L. He, "Whiteboard scanning and image enhancement",
   Digital Signal Processing 17(2), 2007 (aspect ratio of a rectangle from its
   perspective image and the focal length).
.. [2] R. Hartley and A. Zisserman, "Multiple View Geometry in Computer
   Vision", 2nd ed., 2004, section 8.8 (focal length from orthogonal
   vanishing points).
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import vantrell

from . import geometry as geo
from .arrays import _check_image, edge_endpoints, segments_array, to_gray
from .warped import Warped, warp_image

__all__ = ["Flattened", "find_page", "flatten_page", "page_aspect", "PAPER"]

#: Named paper sizes, width / height of the sheet held upright.
PAPER = {"a4": 210.0 / 297.0, "letter": 8.5 / 11.0}

#: Longest side of the picture that the page search works on (larger pictures
#: are searched at a detector scale that brings them to this size).
SEARCH_SIDE = 1200
#: Most candidate lines tried as page sides.
MAX_LINES = 18
#: Samples across each side of a candidate quadrilateral.
SIDE_SAMPLES = 40
#: Least fraction of a side's samples that must be brighter inside than outside.
MIN_SUPPORT = 0.7
#: Least fraction of paper-bright samples along a side on the picture's border
#: (a sheet cut by the border may have text there).
MIN_BORDER_SUPPORT = 0.4


@dataclass(frozen=True)
class Flattened(Warped):
    """Result of `flatten_page`: a `Warped` whose `homography` maps the output
    to the input (the output's corners go to `corners`), with these besides.

    Attributes
    ----------
    corners : ndarray of shape (4, 2) or None
        The page's corners in the input (TL, TR, BR, BL); pass them back to
        `flatten_page` to get the same warp. None when no page was found.
    aspect : float
        Width / height of the output.
    """

    corners: np.ndarray | None
    aspect: float


def _bilinear(img: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Gray values at positions in this module's coordinates (edges replicated)."""
    h, w = img.shape
    fx = np.clip(x - 0.5, 0.0, w - 1.0)
    fy = np.clip(y - 0.5, 0.0, h - 1.0)
    x0 = np.minimum(np.floor(fx).astype(np.int64), w - 2 if w > 1 else 0)
    y0 = np.minimum(np.floor(fy).astype(np.int64), h - 2 if h > 1 else 0)
    tx, ty = fx - x0, fy - y0
    x1, y1 = np.minimum(x0 + 1, w - 1), np.minimum(y0 + 1, h - 1)
    top = img[y0, x0] * (1 - tx) + img[y0, x1] * tx
    bottom = img[y1, x0] * (1 - tx) + img[y1, x1] * tx
    return top * (1 - ty) + bottom * ty


def _candidate_lines(ends: np.ndarray, gray: np.ndarray) -> np.ndarray:
    """Long segments grouped into lines, strongest first, as (L, 3) lines.

    A segment joins the group of the first longer segment whose line it
    follows (within 2 degrees, both end points within 0.4 % of the diagonal);
    each group's line is then fitted to all its end points. A group's strength
    is its longest segment plus a quarter of its summed length, times the
    contrast across it: a sheet's edges stand out against a desk's grain.
    """
    h, w = gray.shape
    dx, dy = ends[:, 2] - ends[:, 0], ends[:, 3] - ends[:, 1]
    length = np.hypot(dx, dy)
    order = np.argsort(-length, kind="stable")
    order = order[length[order] >= 0.05 * min(w, h)][:300]
    if len(order) == 0:
        return np.zeros((0, 3))
    near = max(1.5, 0.0025 * np.hypot(w, h))
    sin_tol = np.sin(np.radians(2.0))
    seg_lines = geo.segment_lines(ends[order])
    heads: list[int] = []           # positions in `order` of each group's first segment
    member_of = np.empty(len(order), np.int64)
    for k in range(len(order)):
        i = order[k]
        if heads:
            hl = seg_lines[heads]
            along = np.abs(hl[:, 0] * dy[i] - hl[:, 1] * dx[i]) / length[i]   # sine of the angle
            d1 = np.abs(hl @ (ends[i, 0], ends[i, 1], 1.0))
            d2 = np.abs(hl @ (ends[i, 2], ends[i, 3], 1.0))
            hit = np.flatnonzero((along < sin_tol) & (d1 < near) & (d2 < near))
            if len(hit):
                member_of[k] = hit[0]
                continue
        member_of[k] = len(heads)
        heads.append(k)
    lines, strength = [], []
    span = max(float(np.percentile(gray, 98.0) - np.percentile(gray, 2.0)), 1.0)
    off = max(2.0, 0.004 * np.hypot(w, h))
    t = np.linspace(0.1, 0.9, 9)
    for g in range(len(heads)):
        members = order[member_of == g]
        pts = ends[members].reshape(-1, 2)
        wts = np.repeat(length[members] ** 2, 2)
        c = (pts * wts[:, None]).sum(0) / wts.sum()
        cov = ((pts - c) * wts[:, None]).T @ (pts - c)
        normal = np.linalg.eigh(cov)[1][:, 0]
        lines.append(np.array([normal[0], normal[1], -normal @ c]))
        e = ends[members]
        px = (e[:, 0:1] + t[None, :] * (e[:, 2:3] - e[:, 0:1])).ravel()
        py = (e[:, 1:2] + t[None, :] * (e[:, 3:4] - e[:, 1:2])).ravel()
        across = np.abs(_bilinear(gray, px + off * normal[0], py + off * normal[1])
                        - _bilinear(gray, px - off * normal[0], py - off * normal[1])).mean() / span
        strength.append((length[members].max() + 0.25 * length[members].sum()) * across)
    keep = np.argsort(-np.array(strength), kind="stable")[:MAX_LINES]
    return np.array([lines[k] for k in keep]).reshape(-1, 3)


def _quads(lines: np.ndarray, w: int, h: int) -> np.ndarray:
    """Quadrilaterals of four candidate lines, (Q, 4, 2), corners clockwise on
    screen starting with the one of smallest x + y.

    Two lines can be opposite sides when they differ by less than 50 degrees
    and do not cross in or near the picture; two such pairs make a
    quadrilateral when their directions differ by at least 30 degrees.
    """
    n = len(lines)
    direction = np.degrees(np.arctan2(lines[:, 0], -lines[:, 1])) % 180.0
    i, j = np.triu_indices(n, k=1)
    diff = np.abs(direction[i] - direction[j])
    diff = np.minimum(diff, 180.0 - diff)
    cross = np.cross(lines[i], lines[j])
    with np.errstate(divide="ignore", invalid="ignore"):
        cx, cy = cross[:, 0] / cross[:, 2], cross[:, 1] / cross[:, 2]
    crosses_inside = (np.abs(cross[:, 2]) > 1e-12) & (cx > -0.1 * w) & (cx < 1.1 * w) \
        & (cy > -0.1 * h) & (cy < 1.1 * h)
    keep = (diff < 50.0) & ~crosses_inside
    pa, pb = i[keep], j[keep]
    if len(pa) < 2:
        return np.zeros((0, 4, 2))
    u, v = np.triu_indices(len(pa), k=1)
    a1, a2, b1, b2 = pa[u], pb[u], pa[v], pb[v]
    distinct = (a1 != b1) & (a1 != b2) & (a2 != b1) & (a2 != b2)
    dd = np.abs(direction[a1] - direction[b1])
    dd = np.minimum(dd, 180.0 - dd)
    ok = distinct & (dd >= 30.0)
    a1, a2, b1, b2 = a1[ok], a2[ok], b1[ok], b2[ok]
    corners = np.stack([np.cross(lines[a1], lines[b1]), np.cross(lines[a1], lines[b2]),
                        np.cross(lines[a2], lines[b2]), np.cross(lines[a2], lines[b1])], axis=1)
    finite = np.all(np.abs(corners[:, :, 2]) > 1e-12, axis=1)
    corners = corners[finite]
    return _ordered(corners[:, :, :2] / corners[:, :, 2:3])


def _ordered(q: np.ndarray) -> np.ndarray:
    """Quadrilaterals (Q, 4, 2) in clockwise order on screen, starting at the
    corner with the smallest x + y."""
    area = geo.polygon_area(q)
    q = np.where((area < 0)[:, None, None], q[:, ::-1], q)
    start = np.argmin(q[:, :, 0] + q[:, :, 1], axis=1)
    idx = (start[:, None] + np.arange(4)[None, :]) % 4
    return np.take_along_axis(q, idx[:, :, None], axis=1)


def _convex(q: np.ndarray) -> np.ndarray:
    e = np.roll(q, -1, axis=1) - q
    cross = e[:, :, 0] * np.roll(e, -1, axis=1)[:, :, 1] - e[:, :, 1] * np.roll(e, -1, axis=1)[:, :, 0]
    return np.all(cross > 0, axis=1)


def _on_border(q: np.ndarray, w: int, h: int) -> np.ndarray:
    """(Q, 4) flags: side k (corner k to corner k + 1) lies on the picture's border."""
    r = np.roll(q, -1, axis=1)
    tol = 0.5
    return (((np.abs(q[..., 0]) < tol) & (np.abs(r[..., 0]) < tol))
            | ((np.abs(q[..., 0] - w) < tol) & (np.abs(r[..., 0] - w) < tol))
            | ((np.abs(q[..., 1]) < tol) & (np.abs(r[..., 1]) < tol))
            | ((np.abs(q[..., 1] - h) < tol) & (np.abs(r[..., 1] - h) < tol)))


def _masked_median(values: np.ndarray, keep: np.ndarray) -> np.ndarray:
    """Median of each row's kept values ((Q, ...) arrays; 0 for a row with none)."""
    flat = np.where(keep, values, np.inf).reshape(len(values), -1)
    n = keep.reshape(len(values), -1).sum(axis=1)
    flat.sort(axis=1)
    rows = np.arange(len(values))
    lo, hi = np.maximum((n - 1) // 2, 0), np.maximum(n // 2, 0)
    return np.where(n > 0, 0.5 * (flat[rows, lo] + flat[rows, hi]), 0.0)


def _score(gray: np.ndarray, q: np.ndarray, border: np.ndarray
           ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Edge support, contrast and area fraction of each quadrilateral.

    Along each side, samples just inside are compared with the brightest of
    three samples outside: the support of a side is the fraction of its
    samples where the inside is brighter by a clear margin; the contrast is
    the median difference over all samples, relative to the picture's range.
    A side on the picture's border carries no contrast; its support is the
    fraction of its points where one of three samples inside is nearer the
    paper than the desk (the median inside and outside of the other sides).
    """
    h, w = gray.shape
    lo, hi = np.percentile(gray, [2.0, 98.0])
    span = max(hi - lo, 1.0)
    off = max(2.0, 0.006 * np.hypot(w, h))
    t = (np.arange(SIDE_SAMPLES) + 0.5) / SIDE_SAMPLES * 0.84 + 0.08
    p = q[:, :, None, :]
    r = np.roll(q, -1, axis=1)[:, :, None, :]
    pts = p + (r - p) * t[None, None, :, None]                   # (Q, 4, S, 2)
    e = (r - p)[:, :, 0, :]
    n = np.stack([-e[..., 1], e[..., 0]], -1) / np.linalg.norm(e, axis=-1)[..., None]
    n = n[:, :, None, :]                                         # clockwise on screen: inward
    inside = _bilinear(gray, *(pts + off * n).transpose(3, 0, 1, 2))
    # a desk stays darker than paper at every distance, while beyond a block
    # of text (a false side) lies paper again
    outside = np.max([_bilinear(gray, *(pts - k * off * n).transpose(3, 0, 1, 2))
                      for k in (1.0, 2.5, 5.0)], axis=0)
    diff = (inside - outside) / span                             # (Q, 4, S)
    # along a side on the border only the inside can be seen: it counts where
    # the brightest of three points inside is nearer the paper than the desk
    # (medians inside and outside the other sides)
    off_border = ~border[:, :, None] & np.ones(diff.shape, bool)
    counted = off_border.sum(axis=(1, 2))
    paper = _masked_median(inside, off_border)
    desk = _masked_median(outside, off_border)
    deepest = np.max([_bilinear(gray, *(pts + k * off * n).transpose(3, 0, 1, 2))
                      for k in (1.0, 2.5, 5.0)], axis=0)     # text lines have paper between them
    lit = deepest > (0.5 * (paper + desk))[:, None, None]
    support = np.where(border, lit.mean(axis=2), (diff > 0.12).mean(axis=2))
    contrast = np.where(counted > 0, _masked_median(diff, off_border), 0.0)
    area = geo.polygon_area(q)
    return support, contrast, area / (w * h)


def _refine(gray: np.ndarray, quad: np.ndarray) -> np.ndarray:
    """Corners moved onto the steepest rise of brightness across each side.

    Along each side, the profile across it (1.5 pixels each way, in steps of
    0.125) is differentiated; the peak, interpolated by a parabola, is an edge
    point. A line fitted to the edge points of a side (weighted by the peak's
    height, points far from the median dropped) replaces the side, and the
    corners are the new sides' intersections. Keeps the corners when a side
    has too few points.
    """
    lines = []
    offsets = np.arange(-12, 13) * 0.125
    t = np.linspace(0.06, 0.94, 64)
    for k in range(4):
        p, r = quad[k], quad[(k + 1) % 4]
        e = r - p
        n = np.array([-e[1], e[0]]) / np.linalg.norm(e)
        base = p[None, :] + t[:, None] * e[None, :]
        pts = base[:, None, :] + offsets[None, :, None] * n[None, None, :]
        prof = _bilinear(gray, pts[..., 0], pts[..., 1])          # (T, O), rising inwards
        d = np.diff(prof, axis=1)
        j = np.clip(np.argmax(d, axis=1), 1, d.shape[1] - 2)
        rows = np.arange(len(t))
        y0, y1, y2 = d[rows, j - 1], d[rows, j], d[rows, j + 1]
        den = y0 - 2 * y1 + y2
        with np.errstate(divide="ignore", invalid="ignore"):
            frac = np.where(den < 0, 0.5 * (y0 - y2) / den, 0.0)
        where = offsets[j] + 0.0625 + np.clip(frac, -0.5, 0.5) * 0.125
        good = y1 > 0
        good &= np.abs(where - np.median(where[good] if good.any() else where)) < 0.5
        if good.sum() < 8:
            return quad
        edge = base[good] + where[good, None] * n[None, :]
        wts = y1[good]
        c = (edge * wts[:, None]).sum(0) / wts.sum()
        cov = ((edge - c) * wts[:, None]).T @ (edge - c)
        normal = np.linalg.eigh(cov)[1][:, 0]
        lines.append(np.array([normal[0], normal[1], -normal @ c]))
    out = []
    for k in range(4):
        c = geo.intersect(lines[k - 1], lines[k])
        if abs(c[2]) < 1e-12:
            return quad
        out.append(c[:2] / c[2])
    out = np.array(out)
    return out if np.max(np.abs(out - quad)) < 3.0 else quad


def find_page(gray: np.ndarray) -> np.ndarray | None:
    """The corners of a sheet of paper lying on a darker background.

    Long segments (`vantrell.detect`, end points moved onto their edges) are
    grouped into lines; every convex quadrilateral of four of them inside the
    picture is scored by its edge support (the share of points along each side
    where the inside is clearly brighter than the outside), its contrast and
    its area. The picture's borders take part as lines that need no support,
    so that a sheet leaving the picture is recognised as such: then, or when
    no quadrilateral is supported on all four sides, the answer is None. The
    winner's sides are moved onto the steepest brightness rise across them.

    Parameters
    ----------
    gray : ndarray, (H, W) or (H, W, 3), uint8 or uint16
        The picture (RGB is converted with `to_gray`).

    Returns
    -------
    ndarray of shape (4, 2), float64, or None
        Corners top-left, top-right, bottom-right, bottom-left (clockwise on
        screen, the first being the one with the smallest x + y).
    """
    _check_image(gray, "gray")
    g = to_gray(gray)
    h, w = g.shape
    scale = min(0.8, SEARCH_SIDE / max(w, h))
    table = segments_array(vantrell.detect(g, scale))
    gf = g.astype(np.float64)
    lines = _candidate_lines(edge_endpoints(table), gf)
    if len(lines) < 2:
        return None
    # the picture's borders may close a sheet that leaves it
    borders = np.array([[1.0, 0.0, 0.0], [1.0, 0.0, -w], [0.0, 1.0, 0.0], [0.0, 1.0, -h]])
    q = _quads(np.concatenate([lines, borders]), w, h)
    if len(q) == 0:
        return None
    margin = 0.01 * max(w, h)
    inside = np.all((q[:, :, 0] > -margin) & (q[:, :, 0] < w + margin)
                    & (q[:, :, 1] > -margin) & (q[:, :, 1] < h + margin), axis=1)
    sides = np.linalg.norm(np.roll(q, -1, axis=1) - q, axis=2)
    q = q[inside & _convex(q) & (sides.min(axis=1) > 0.05 * min(w, h))]
    if len(q) == 0:
        return None
    border = _on_border(q, w, h)
    support, contrast, area = _score(gf, q, border)
    ok = np.all(support >= np.where(border, MIN_BORDER_SUPPORT, MIN_SUPPORT), axis=1) \
        & (contrast > 0.15) & (area > 0.03) & (border.sum(axis=1) <= 2)
    if not np.any(ok):
        return None
    seen = np.where(border, 1.0, support)      # a border side only has to pass its test
    score = np.where(ok, seen.mean(axis=1) * seen.min(axis=1) * contrast * np.sqrt(area), -1.0)
    best = int(np.argmax(score))
    if border[best].any():          # the sheet leaves the picture
        return None
    return _refine(gf, q[best])


def page_aspect(corners: np.ndarray, width: int, height: int) -> float:
    """Width / height of the rectangle whose perspective image is `corners`.

    The camera is a pinhole with its principal point at the picture's centre.
    With H the homography of the unit square onto the corners, the page's
    sides are the directions r1 = K^-1 h1 and r2 = K^-1 h2, which must be
    orthogonal; the focal length f of K is the one that makes them so (the
    two vanishing points of the sides fix it), held near the usual
    `geometry.DEFAULT_FOCAL` x the longer side by a weak prior that only
    matters when a pair of sides is nearly parallel (then f is undetermined).
    The answer is |r1| / |r2|; when both pairs of sides are parallel it is the
    ratio of the side lengths, whatever f.

    Parameters
    ----------
    corners : ndarray of shape (4, 2)
        TL, TR, BR, BL in the picture.
    width, height : int
        Size of the picture.

    Returns
    -------
    float
        The ratio, or the ratio of the mean lengths of opposite sides when the
        corners admit no homography.
    """
    c = np.asarray(corners, dtype=np.float64) - (0.5 * width, 0.5 * height)
    top, bottom = np.linalg.norm(c[1] - c[0]), np.linalg.norm(c[2] - c[3])
    left, right = np.linalg.norm(c[3] - c[0]), np.linalg.norm(c[2] - c[1])
    hs = geo.fit_homography(np.array([[0, 0], [1, 0], [1, 1], [0, 1]], float), c)
    if isinstance(hs, geo.FailedEstimation):
        return float((top + bottom) / (left + right))
    side = max(width, height)
    focal = geo.focal_from_rectangle(hs, side)
    r1 = np.array([hs[0, 0] / focal, hs[1, 0] / focal, hs[2, 0]])
    r2 = np.array([hs[0, 1] / focal, hs[1, 1] / focal, hs[2, 1]])
    return float(np.linalg.norm(r1) / np.linalg.norm(r2))


def _unchanged(image: np.ndarray, reason: str, filter: str) -> Flattened:
    h, w = image.shape[:2]
    return Flattened(image=image.copy(), corners=None,
                     inverse=geo.IDENTITY, scale=1.0, off_x=0.0,
                     off_y=0.0, out_size=(w, h), aspect=w / h if h else 1.0, filter=filter,
                     homography=np.eye(3), fitted=False, reason=reason)


def flatten_page(image: np.ndarray, corners: np.ndarray | None = None,
                 aspect: float | str | None = None, filter: str = "lanczos3") -> Flattened:
    """Warp a photographed page into a flat, upright rectangle.

    Parameters
    ----------
    image : ndarray, (H, W, 3) or (H, W), uint8 or uint16
    corners : ndarray of shape (4, 2), optional
        The page's corners (TL, TR, BR, BL, this module's coordinates); found
        with `find_page` when omitted. A result's `corners` given back yield
        the same warp.
    aspect : float or {"a4", "letter"}, optional
        Width / height of the page. By default it is measured from the corners
        through the camera model (`page_aspect`); a named paper size is turned
        to the orientation that the corners show.
    filter : {"lanczos3", "bilinear"}

    Returns
    -------
    Flattened
        The page's height in output pixels is the longer of its two sides in
        the picture (or of the other two divided by the aspect, if longer), so
        that no part of the page loses detail. Without corners and no page
        found: `fitted` False, `image` the input unchanged.
    """
    _check_image(image)
    if filter not in ("lanczos3", "bilinear"):
        raise ValueError(f"filter must be 'lanczos3' or 'bilinear'; got {filter!r}")
    h, w = image.shape[:2]
    if corners is None:
        found = find_page(image)
        if found is None:
            return _unchanged(image, "no page found", filter)
        corners = found
    quad = np.array(corners, dtype=np.float64)
    if quad.shape != (4, 2) or not np.all(np.isfinite(quad)):
        raise ValueError(f"corners must be a (4, 2) array of finite numbers, got {quad.shape}")
    if not _convex(quad[None])[0]:
        raise ValueError("corners must be a convex quadrilateral, clockwise on screen (TL, TR, BR, BL)")
    measured = page_aspect(quad, w, h)
    if aspect is None:
        ratio = measured
    elif isinstance(aspect, str):
        if aspect.lower() not in PAPER:
            raise ValueError(f"aspect must be a number or one of {', '.join(PAPER)}; got {aspect!r}")
        ratio = PAPER[aspect.lower()]
        if measured > 1.0:
            ratio = 1.0 / ratio
    else:
        ratio = float(aspect)
        if not (ratio > 0 and np.isfinite(ratio)):
            raise ValueError(f"aspect must be positive, got {aspect!r}")
    top, bottom = np.linalg.norm(quad[1] - quad[0]), np.linalg.norm(quad[2] - quad[3])
    left, right = np.linalg.norm(quad[3] - quad[0]), np.linalg.norm(quad[2] - quad[1])
    out_h = max(left, right, top / ratio, bottom / ratio)
    out_w = max(1, int(round(out_h * ratio)))
    out_h = max(1, int(round(out_h)))
    rect = np.array([[0, 0], [out_w, 0], [out_w, out_h], [0, out_h]], float)
    hom = geo.fit_homography(rect, quad)
    if isinstance(hom, geo.FailedEstimation):
        raise ValueError(f"corners: {hom.reason}")
    # output pixel (x, y) has its centre at the plane point (x + 0.5, y + 0.5)
    inverse = geo.warp_inverse(hom)
    out = warp_image(image, inverse, 1.0, 0.5, 0.5, filter, (out_w, out_h))
    return Flattened(image=out, corners=quad, inverse=inverse, scale=1.0, off_x=0.5, off_y=0.5,
                     out_size=(out_w, out_h), aspect=out_w / out_h, filter=filter,
                     homography=hom, fitted=True, reason="")
