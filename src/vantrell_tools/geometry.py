"""Plane projective geometry: homogeneous lines and points, homographies and
vanishing points.

Points are rows (x, y) or homogeneous rows (x, y, w); lines are homogeneous
rows (a, b, c) meaning a x + b y + c w = 0. Every least-squares solve first
moves its points by a similarity that centres them and scales their RMS
distance from the origin to sqrt(2), and maps the answer back. A solve that
cannot succeed (too few or degenerate data) returns a `FailedEstimation`
value with its reason instead of raising.

References
----------
.. [1] R. Hartley, "In defense of the eight-point algorithm", IEEE PAMI 19(6),
   1997 (normalisation before a linear solve).
.. [2] R. Hartley and A. Zisserman, "Multiple View Geometry in Computer
   Vision", 2nd ed., Cambridge University Press, 2004 (homogeneous lines,
   the DLT for homographies, vanishing points).
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = [
    "FailedEstimation", "VanishingPoint", "homogeneous", "euclidean", "line_through",
    "segment_lines", "intersect", "normalising_transform", "apply_homography",
    "fit_homography", "vanishing_point", "consensus_vanishing_point",
    "direction_errors", "rotation_onto", "translation", "polygon_area",
    "focal_from_rectangle", "DEFAULT_FOCAL", "IDENTITY", "warp_inverse",
]

#: Focal length assumed when the picture cannot tell it, as a multiple of the
#: picture's longer side (a normal lens: about 43 mm on a 36 mm wide frame).
DEFAULT_FOCAL = 1.2

#: Weight of the prior that holds an estimated focal length near the default:
#: a factor of e away from it costs as much as the sides' directions being
#: off orthogonal by a cosine of 0.017 (one degree).
FOCAL_PRIOR = 0.017 ** 2


@dataclass(frozen=True)
class FailedEstimation:
    """An estimate that could not be made, with the reason; false in a test."""

    reason: str

    def __bool__(self) -> bool:
        return False


@dataclass(frozen=True)
class VanishingPoint:
    """A vanishing point and the segments that agree with it.

    Attributes
    ----------
    point : ndarray of shape (3,)
        Homogeneous point of unit norm; its third value is 0 for a point at
        infinity (parallel lines).
    inliers : ndarray of int
        Indices, in increasing order, of the segments whose direction points
        at `point` within the tolerance.
    """

    point: np.ndarray
    inliers: np.ndarray


def homogeneous(points: np.ndarray) -> np.ndarray:
    """(N, 2) points as (N, 3) homogeneous rows (x, y, 1)."""
    p = np.asarray(points, dtype=np.float64).reshape(-1, 2)
    return np.concatenate([p, np.ones((len(p), 1))], axis=1)


def euclidean(points: np.ndarray) -> np.ndarray:
    """(N, 3) homogeneous rows as (N, 2) points (division by w; inf or nan at w = 0)."""
    p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    with np.errstate(divide="ignore", invalid="ignore"):
        return p[:, :2] / p[:, 2:3]


def line_through(p: np.ndarray, q: np.ndarray) -> np.ndarray:
    """The line through two points, scaled so that a^2 + b^2 = 1.

    Then a x + b y + c is the signed distance of (x, y) from the line.
    Two equal points give the zero vector.
    """
    line = np.cross(np.append(np.asarray(p, float), 1.0), np.append(np.asarray(q, float), 1.0))
    n = np.hypot(line[0], line[1])
    return line / n if n > 0 else line


def segment_lines(ends: np.ndarray) -> np.ndarray:
    """(N, 4) end points x1, y1, x2, y2 as (N, 3) lines with a^2 + b^2 = 1."""
    e = np.asarray(ends, dtype=np.float64).reshape(-1, 4)
    lines = np.cross(homogeneous(e[:, :2]), homogeneous(e[:, 2:4]))
    n = np.hypot(lines[:, 0], lines[:, 1])
    n[n == 0] = 1.0
    return lines / n[:, None]


def intersect(l1: np.ndarray, l2: np.ndarray) -> np.ndarray:
    """Homogeneous intersection of two lines (w = 0 when they are parallel)."""
    return np.cross(np.asarray(l1, float), np.asarray(l2, float))


def translation(tx: float, ty: float) -> np.ndarray:
    """3 x 3 matrix of the translation by (tx, ty)."""
    return np.array([[1.0, 0.0, tx], [0.0, 1.0, ty], [0.0, 0.0, 1.0]])


def normalising_transform(points: np.ndarray, weights: np.ndarray | None = None) -> np.ndarray:
    """Similarity that centres points and scales their RMS distance to sqrt(2).

    Parameters
    ----------
    points : ndarray of shape (N, 2)
    weights : ndarray of shape (N,), optional
        Weights of the centroid and of the RMS distance.

    Returns
    -------
    ndarray of shape (3, 3)
        T with T @ (x, y, 1) the normalised point; the identity for no points,
        and a pure translation when all points coincide.
    """
    p = np.asarray(points, dtype=np.float64).reshape(-1, 2)
    if len(p) == 0:
        return np.eye(3)
    wts = np.ones(len(p)) if weights is None else np.asarray(weights, dtype=np.float64)
    total = wts.sum()
    if not total > 0:
        wts, total = np.ones(len(p)), float(len(p))
    centre = (wts[:, None] * p).sum(axis=0) / total
    rms = np.sqrt((wts * ((p - centre) ** 2).sum(axis=1)).sum() / total)
    s = np.sqrt(2.0) / rms if rms > 0 else 1.0
    return np.array([[s, 0.0, -s * centre[0]], [0.0, s, -s * centre[1]], [0.0, 0.0, 1.0]])


def apply_homography(h: np.ndarray, points: np.ndarray) -> np.ndarray:
    """(N, 2) points mapped through a 3 x 3 homography (with the division by w)."""
    return euclidean(homogeneous(points) @ np.asarray(h, dtype=np.float64).T)


def fit_homography(src: np.ndarray, dst: np.ndarray) -> np.ndarray | FailedEstimation:
    """Homography taking each `src` point to its `dst` point, by the normalised DLT.

    Parameters
    ----------
    src, dst : ndarray of shape (N, 2), N >= 4
        Corresponding points; with exactly four the fit is exact.

    Returns
    -------
    ndarray of shape (3, 3) or FailedEstimation
        H with H @ (x, y, 1) proportional to the matching (x', y', 1), scaled
        so that H[2, 2] = 1 (or to unit norm when H[2, 2] is 0); a failure when
        there are fewer than four points or three of them are collinear.
    """
    a = np.asarray(src, dtype=np.float64).reshape(-1, 2)
    b = np.asarray(dst, dtype=np.float64).reshape(-1, 2)
    if len(a) != len(b):
        return FailedEstimation(f"{len(a)} source points but {len(b)} destination points")
    if len(a) < 4:
        return FailedEstimation(f"a homography needs four point pairs, got {len(a)}")
    if not (np.all(np.isfinite(a)) and np.all(np.isfinite(b))):
        return FailedEstimation("a point is not finite")
    ta, tb = normalising_transform(a), normalising_transform(b)
    pa, pb = homogeneous(a) @ ta.T, homogeneous(b) @ tb.T
    rows = []
    for (x, y, _), (u, v, _) in zip(pa, pb):
        rows.append([0.0, 0.0, 0.0, -x, -y, -1.0, v * x, v * y, v])
        rows.append([x, y, 1.0, 0.0, 0.0, 0.0, -u * x, -u * y, -u])
    _, sv, vt = np.linalg.svd(np.array(rows))
    if len(sv) >= 8 and sv[7] <= 1e-10 * sv[0]:
        return FailedEstimation("the points are degenerate (three or more are collinear)")
    hn = vt[-1].reshape(3, 3)
    h = np.linalg.solve(tb, hn @ ta)
    if abs(h[2, 2]) > 1e-12 * np.abs(h).max():
        return h / h[2, 2]
    return h / np.linalg.norm(h)


def direction_errors(ends: np.ndarray, point: np.ndarray) -> np.ndarray:
    """Sine of the angle between each segment and the direction from its
    midpoint to a homogeneous point.

    Parameters
    ----------
    ends : ndarray of shape (N, 4)
        x1, y1, x2, y2.
    point : ndarray of shape (3,)
        Homogeneous point; at infinity (w = 0) it stands for a direction.

    Returns
    -------
    ndarray of shape (N,)
        Values in [0, 1]; 1 where the point lies on a segment's midpoint or a
        segment has zero length.
    """
    e = np.asarray(ends, dtype=np.float64).reshape(-1, 4)
    v = np.asarray(point, dtype=np.float64)
    sx, sy = e[:, 2] - e[:, 0], e[:, 3] - e[:, 1]
    mx, my = 0.5 * (e[:, 0] + e[:, 2]), 0.5 * (e[:, 1] + e[:, 3])
    dx, dy = v[0] - mx * v[2], v[1] - my * v[2]
    den = np.hypot(sx, sy) * np.hypot(dx, dy)
    with np.errstate(divide="ignore", invalid="ignore"):
        err = np.abs(sx * dy - sy * dx) / den
    err[~(den > 0)] = 1.0
    return np.minimum(err, 1.0)


def vanishing_point(ends: np.ndarray, weights: np.ndarray | None = None) -> np.ndarray | FailedEstimation:
    """Weighted least-squares vanishing point of segments.

    Parameters
    ----------
    ends : ndarray of shape (N, 4), N >= 2
        x1, y1, x2, y2 of each segment.
    weights : ndarray of shape (N,), optional
        Non-negative weight of each segment.

    Returns
    -------
    ndarray of shape (3,) or FailedEstimation
        The unit homogeneous point v minimising the weighted sum of squared
        l . v over the segments' lines l, each line taken with a^2 + b^2 = 1
        after the end points were normalised (centred, RMS distance sqrt(2));
        for a point at infinity l . v is the sine of the angle between the line
        and the direction v. Fails with fewer than two segments of positive
        weight or when all lines coincide.
    """
    e = np.asarray(ends, dtype=np.float64).reshape(-1, 4)
    wts = np.ones(len(e)) if weights is None else np.asarray(weights, dtype=np.float64)
    keep = wts > 0
    e, wts = e[keep], wts[keep]
    if len(e) < 2:
        return FailedEstimation(f"a vanishing point needs two segments, got {len(e)}")
    pts = e.reshape(-1, 2)
    t = normalising_transform(pts, np.repeat(wts, 2))
    en = (homogeneous(pts) @ t.T)[:, :2].reshape(-1, 4)
    lines = segment_lines(en)
    m = (lines * wts[:, None]).T @ lines
    vals, vecs = np.linalg.eigh(m)
    if vals[1] <= 1e-12 * max(vals[2], 1e-300):
        return FailedEstimation("all segments lie on one line")
    v = np.linalg.solve(t, vecs[:, 0])
    v = v / np.linalg.norm(v)
    return v if v[2] >= 0 else -v


def consensus_vanishing_point(ends: np.ndarray, weights: np.ndarray, *, tolerance_deg: float = 1.5,
                              candidates: int = 60, rounds: int = 4) -> VanishingPoint | FailedEstimation:
    """Robust vanishing point: exhaustive consensus over pairs, then refinement.

    The `candidates` heaviest segments (ties in input order) are intersected in
    every pair; each intersection is scored by the summed weight of all
    segments pointing at it, each counted by 1 - (e / tol)^2 for a direction
    error e below the tolerance (sine of the angle). The best hypothesis (the
    first of equal scores) is refined by `vanishing_point` on its inliers,
    `rounds` times or until the inliers stop changing. Nothing is random, so
    the answer depends only on the input.

    Parameters
    ----------
    ends : ndarray of shape (N, 4)
    weights : ndarray of shape (N,)
    tolerance_deg : float
        Largest angle between a segment and the direction from its midpoint to
        the point for the segment to count as agreeing.
    candidates : int
        Number of segments whose pairs are tried.
    rounds : int
        Largest number of refinement rounds.

    Returns
    -------
    VanishingPoint or FailedEstimation
    """
    e = np.asarray(ends, dtype=np.float64).reshape(-1, 4)
    wts = np.asarray(weights, dtype=np.float64)
    if len(e) < 2:
        return FailedEstimation(f"a vanishing point needs two segments, got {len(e)}")
    tol = np.sin(np.radians(tolerance_deg))
    pts = e.reshape(-1, 2)
    t = normalising_transform(pts, np.repeat(wts, 2))
    en = (homogeneous(pts) @ t.T)[:, :2].reshape(-1, 4)
    lines = segment_lines(en)
    order = np.argsort(-wts, kind="stable")[:candidates]
    i, j = np.triu_indices(len(order), k=1)
    hyp = np.cross(lines[order[i]], lines[order[j]])
    norm = np.linalg.norm(hyp, axis=1)
    ok = norm > 1e-12
    if not np.any(ok):
        return FailedEstimation("the segments are all collinear")
    hyp = hyp[ok] / norm[ok][:, None]
    # direction errors of every segment against every hypothesis, in blocks
    sx, sy = en[:, 2] - en[:, 0], en[:, 3] - en[:, 1]
    mx, my = 0.5 * (en[:, 0] + en[:, 2]), 0.5 * (en[:, 1] + en[:, 3])
    slen = np.hypot(sx, sy)
    scores = np.empty(len(hyp))
    for start in range(0, len(hyp), 256):
        hb = hyp[start:start + 256]
        dx = hb[:, 0:1] - mx[None, :] * hb[:, 2:3]
        dy = hb[:, 1:2] - my[None, :] * hb[:, 2:3]
        den = slen[None, :] * np.hypot(dx, dy)
        with np.errstate(divide="ignore", invalid="ignore"):
            err = np.abs(sx[None, :] * dy - sy[None, :] * dx) / den
        err[~(den > 0)] = 1.0
        r = err / tol
        scores[start:start + 256] = (np.where(r < 1.0, 1.0 - r * r, 0.0) * wts[None, :]).sum(axis=1)
    best = hyp[int(np.argmax(scores))]
    point = np.linalg.solve(t, best)
    point /= np.linalg.norm(point)
    inliers = np.flatnonzero(direction_errors(e, point) < tol)
    for _ in range(rounds):
        if len(inliers) < 2:
            break
        refined = vanishing_point(e[inliers], wts[inliers])
        if isinstance(refined, FailedEstimation):
            break
        point = refined
        now = np.flatnonzero(direction_errors(e, point) < tol)
        if np.array_equal(now, inliers):
            break
        inliers = now
    if len(inliers) < 2:
        return FailedEstimation("fewer than two segments agree on a vanishing point")
    point = point / np.linalg.norm(point)
    return VanishingPoint(point if point[2] >= 0 else -point, inliers)


def rotation_onto(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """The smallest rotation taking the direction of `a` onto that of `b`.

    Rotates about a x b by the angle between them (Rodrigues' formula); the
    identity when they are parallel. `a` and `b` must not point in opposite
    directions.
    """
    a = np.asarray(a, float) / np.linalg.norm(a)
    b = np.asarray(b, float) / np.linalg.norm(b)
    axis = np.cross(a, b)
    s = np.linalg.norm(axis)
    c = float(np.dot(a, b))
    if s < 1e-15:
        return np.eye(3)
    k = axis / s
    kx = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    return np.eye(3) + s * kx + (1.0 - c) * (kx @ kx)


def polygon_area(points: np.ndarray) -> float | np.ndarray:
    """Signed area of a polygon (shoelace formula); positive when its vertices
    run clockwise on screen (y down).

    Parameters
    ----------
    points : ndarray of shape (N, 2), or (Q, N, 2) for Q polygons at once

    Returns
    -------
    float, or ndarray of shape (Q,)
    """
    p = np.asarray(points, dtype=np.float64)
    x, y = p[..., 0], p[..., 1]
    area = 0.5 * np.sum(x * np.roll(y, -1, axis=-1) - np.roll(x, -1, axis=-1) * y, axis=-1)
    return float(area) if p.ndim == 2 else area


#: The identity as the nine values `vantrell.warp_rgb` takes.
IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)


def warp_inverse(to_source: np.ndarray) -> tuple[float, ...]:
    """The nine values of `vantrell.warp_rgb`'s inverse for a homography from
    output plane points to source points in this package's coordinates.

    The resamplers put pixel centres at integers, half a pixel before this
    package's convention, so the source point is moved by (-0.5, -0.5); the
    matrix is scaled so that its last value is 1.
    """
    m = translation(-0.5, -0.5) @ np.asarray(to_source, dtype=np.float64)
    return tuple(float(v) for v in (m / m[2, 2]).ravel())


def focal_from_rectangle(h: np.ndarray, side: float) -> float:
    """Focal length under which a homography's first two columns are
    orthogonal directions, as for the image of a rectangle.

    Parameters
    ----------
    h : ndarray of shape (3, 3)
        Homography from the unit square to the picture, with the principal
        point moved to the origin.
    side : float
        The picture's longer side.

    Returns
    -------
    float
        The f in [0.3, 5] x side minimising cos^2 of the angle between
        K^-1 h1 and K^-1 h2 (K = diag(f, f, 1)) plus `FOCAL_PRIOR` x
        ln(f / (`DEFAULT_FOCAL` x side))^2, searched on 961 logarithmically
        spaced values. When the sides admit a focal length the cosine term
        decides; when a pair of sides is parallel it is flat, and the default
        is returned.
    """
    f = side * np.exp(np.linspace(np.log(0.3), np.log(5.0), 961))
    r1 = np.stack([h[0, 0] / f, h[1, 0] / f, np.full_like(f, h[2, 0])])
    r2 = np.stack([h[0, 1] / f, h[1, 1] / f, np.full_like(f, h[2, 1])])
    cos = (r1 * r2).sum(0) / (np.linalg.norm(r1, axis=0) * np.linalg.norm(r2, axis=0))
    cost = cos ** 2 + FOCAL_PRIOR * np.log(f / (DEFAULT_FOCAL * side)) ** 2
    return float(f[int(np.argmin(cost))])
