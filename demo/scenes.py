"""Synthetic photographs with known geometry, drawn with NumPy alone.

Used by the demo, the accuracy benchmark and the tests (import it by path:
it is not part of the installed package). Every scene is a pinhole camera
looking at a textured plane: a building's façade seen by a camera turned by a
known pitch, yaw and roll, or a printed page lying on a wooden desk. Pixel
(c, r) is sampled around (c + 0.5, r + 0.5) (2 x 2 samples per pixel), then the
picture is blurred and given noise; the random generator is seeded, so a scene
depends only on its arguments.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

SKY = np.array([150.0, 188.0, 228.0])
WALL = np.array([196.0, 174.0, 146.0])
PIER = np.array([182.0, 160.0, 132.0])
CORNICE = np.array([150.0, 132.0, 110.0])
FRAME = np.array([232.0, 230.0, 222.0])
GLASS = np.array([52.0, 62.0, 82.0])
GROUND = np.array([88.0, 88.0, 92.0])

FACADE_DEPTH = 10.0      # distance of the façade plane from the camera
FLOOR = 3.0              # storey height
BAY = 2.5                # window spacing
ROOF = -9.0              # top of the façade (y grows downwards)
STREET = 7.5             # foot of the façade


def rotation(pitch: float, yaw: float, roll: float) -> np.ndarray:
    """Camera rotation (world to camera) for angles in degrees: pitch about
    x (positive looks up), yaw about y (positive looks right), roll about the
    optical axis (positive turns the picture clockwise)."""
    p, y, r = np.radians([pitch, yaw, roll])
    rx = np.array([[1, 0, 0], [0, np.cos(p), np.sin(p)], [0, -np.sin(p), np.cos(p)]])
    ry = np.array([[np.cos(y), 0, -np.sin(y)], [0, 1, 0], [np.sin(y), 0, np.cos(y)]])
    rz = np.array([[np.cos(r), -np.sin(r), 0], [np.sin(r), np.cos(r), 0], [0, 0, 1]])
    return rz @ rx @ ry


def camera_matrix(width: int, height: int, focal: float) -> np.ndarray:
    return np.array([[focal, 0.0, 0.5 * width], [0.0, focal, 0.5 * height], [0.0, 0.0, 1.0]])


def _render(width: int, height: int, k: np.ndarray, rot: np.ndarray, shade) -> np.ndarray:
    """Mean colour of 2 x 2 samples per pixel; `shade` takes the world
    directions of rays, (..., 3), and returns their colours, (..., 3). Rows
    are drawn in blocks, so that large pictures need little memory."""
    m = rot.T @ np.linalg.inv(k)
    acc = np.zeros((height, width, 3))
    offsets = [(-0.25, -0.25), (0.25, -0.25), (-0.25, 0.25), (0.25, 0.25)]
    for r0 in range(0, height, 256):
        ys, xs = np.mgrid[r0:min(height, r0 + 256), 0:width].astype(np.float64)
        for ox, oy in offsets:
            u, v = xs + 0.5 + ox, ys + 0.5 + oy
            d = np.stack([m[i, 0] * u + m[i, 1] * v + m[i, 2] for i in range(3)], axis=-1)
            acc[r0:r0 + len(ys)] += shade(d)
    return acc / len(offsets)


def _finish(acc: np.ndarray, rng: np.random.Generator, blur: float, noise: float,
            dtype: type = np.uint8) -> np.ndarray:
    if blur > 0:
        acc = gaussian_blur(acc, blur)
    acc = acc + rng.normal(0.0, noise, acc.shape)
    if dtype == np.uint16:
        return np.clip(np.round(acc * 257.0), 0, 65535).astype(np.uint16)
    return np.clip(np.round(acc), 0, 255).astype(np.uint8)


def gaussian_blur(img: np.ndarray, sigma: float) -> np.ndarray:
    """Separable Gaussian blur of an (H, W) or (H, W, C) float image, edges replicated."""
    r = max(1, int(np.ceil(3 * sigma)))
    k = np.exp(-0.5 * (np.arange(-r, r + 1) / sigma) ** 2)
    k /= k.sum()
    pad = [(r, r), (0, 0)] + [(0, 0)] * (img.ndim - 2)
    p = np.pad(img, pad, mode="edge")
    out = sum(k[i] * p[i:i + img.shape[0]] for i in range(2 * r + 1))
    pad = [(0, 0), (r, r)] + [(0, 0)] * (img.ndim - 2)
    p = np.pad(out, pad, mode="edge")
    return sum(k[i] * p[:, i:i + img.shape[1]] for i in range(2 * r + 1))


@dataclass(frozen=True)
class Facade:
    """A façade photograph and its truth: the image, the camera (K, rotation)
    and the projected long vertical and horizontal lines of the building."""

    image: np.ndarray
    k: np.ndarray
    rot: np.ndarray
    pitch: float
    yaw: float
    roll: float

    def project(self, world: np.ndarray) -> np.ndarray:
        """(N, 2) façade-plane points (X, Y) to image points; NaN behind the camera."""
        pts = np.column_stack([world, np.full(len(world), FACADE_DEPTH)])
        cam = pts @ (self.k @ self.rot).T
        with np.errstate(divide="ignore", invalid="ignore"):
            out = cam[:, :2] / cam[:, 2:3]
        out[cam[:, 2] <= 0] = np.nan
        return out

    def truth_lines(self, n: int = 64) -> tuple[list[np.ndarray], list[np.ndarray]]:
        """Visible parts of the building's long lines, as image polylines
        (vertical lines, horizontal lines), each an (M, 2) array of points."""
        h, w = self.image.shape[:2]
        t = np.linspace(0.0, 1.0, 200)
        verticals, horizontals = [], []
        for x in np.arange(-40.0, 40.0 + 1e-9, BAY):
            for xe in (x - 0.6, x + 0.6):
                verticals.append(np.column_stack([np.full_like(t, xe), ROOF + t * (STREET - ROOF)]))
        for y in np.arange(ROOF, STREET, FLOOR):
            horizontals.append(np.column_stack([-40.0 + 80.0 * t, np.full_like(t, y + 0.5)]))
            horizontals.append(np.column_stack([-40.0 + 80.0 * t, np.full_like(t, y + 1.0)]))
        keep = []
        for group in (verticals, horizontals):
            vis = []
            for world in group:
                p = self.project(world)
                inside = np.all(np.isfinite(p), axis=1) & (p[:, 0] > 0) & (p[:, 0] < w) \
                    & (p[:, 1] > 0) & (p[:, 1] < h)
                if inside.sum() >= 2:
                    seg = p[inside]
                    if np.hypot(*(seg[-1] - seg[0])) >= 0.15 * min(w, h):
                        vis.append(seg)
            keep.append(vis)
        return keep[0], keep[1]


def facade_texture(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """RGB of the façade plane at (x, y): sky above the roof, street below,
    storeys with cornices, piers and framed windows with mullions."""
    out = np.empty(x.shape + (3,))
    out[:] = WALL * (1.0 + 0.04 * np.sin(0.37 * x + 0.2 * y))[..., None]
    bx = np.mod(x, BAY) - 0.5 * BAY          # across a bay, window centred at 0
    fy = np.mod(y - ROOF, FLOOR)             # down a storey
    pier = np.abs(np.mod(x + 0.25 * BAY, 2 * BAY) - BAY) < 0.22
    out[pier] = PIER
    cornice = fy < 0.22
    out[cornice] = CORNICE
    win = (np.abs(bx) < 0.6) & (fy > 0.5) & (fy < 2.5)
    glass = (np.abs(bx) < 0.5) & (fy > 0.6) & (fy < 2.4) \
        & (np.abs(bx) > 0.04) & (np.abs(fy - 1.15) > 0.04)
    out[win] = FRAME
    shade = (0.75 + 0.5 * ((fy - 0.6) / 1.8))[..., None]
    out[glass] = (GLASS * shade)[glass]
    out[y < ROOF] = SKY * (0.9 + 0.1 * np.clip((y[y < ROOF] - ROOF) / 20.0 + 1.0, 0, 1))[..., None]
    out[y > STREET] = GROUND
    return out


def facade(width: int = 640, height: int = 480, pitch: float = 0.0, yaw: float = 0.0,
           roll: float = 0.0, focal: float | None = None, noise: float = 2.0, blur: float = 0.6,
           seed: int = 0, dtype: type = np.uint8) -> Facade:
    """A façade photographed by a camera turned by pitch, yaw and roll (degrees)."""
    focal = 1.1 * max(width, height) if focal is None else focal
    k = camera_matrix(width, height, focal)
    rot = rotation(pitch, yaw, roll)

    def shade(d):
        with np.errstate(divide="ignore", invalid="ignore"):
            t = FACADE_DEPTH / d[..., 2]
        col = facade_texture(np.nan_to_num(t * d[..., 0]), np.nan_to_num(t * d[..., 1]))
        col[~(t > 0)] = SKY
        return col

    acc = _render(width, height, k, rot, shade)
    rng = np.random.default_rng(seed)
    # a tree in front of the building: a textured blob, no straight edges
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    cx, cy = width * (0.15 + 0.7 * rng.random()), height * (0.55 + 0.3 * rng.random())
    rad = 0.12 * min(width, height)
    ang = np.arctan2(ys - cy, xs - cx)
    wobble = 1.0 + 0.18 * np.sin(5 * ang + rng.random() * 6) + 0.1 * np.sin(11 * ang)
    tree = np.hypot(xs - cx, ys - cy) < rad * wobble
    leaf = 60.0 + 30.0 * np.sin(xs * 0.9) * np.sin(ys * 0.7)
    acc[tree] = np.stack([leaf * 0.6, leaf * 1.1, leaf * 0.5], -1)[tree]
    img = _finish(acc, rng, blur, noise, dtype)
    return Facade(img, k, rot, pitch, yaw, roll)


@dataclass(frozen=True)
class Page:
    """A page photograph and its truth: corners (TL, TR, BR, BL, image
    coordinates, NaN if behind the camera), the page's width / height, and
    whether all four corners are inside the picture."""

    image: np.ndarray
    corners: np.ndarray
    aspect: float
    visible: bool


def _text_table(rng: np.random.Generator, rows: int, bins: int) -> np.ndarray:
    ink = np.zeros((rows, bins), bool)
    for r in range(rows):
        if rng.random() < 0.12:           # a paragraph break
            continue
        end = bins if rng.random() > 0.2 else int(bins * rng.uniform(0.3, 0.9))
        pos = 0
        while pos < end:
            word = int(rng.integers(bins // 60, bins // 12))
            ink[r, pos:min(end, pos + word)] = True
            pos += word + bins // 80
    return ink


def page(width: int = 640, height: int = 480, tilt: float = 25.0, turn: float = 10.0,
         spin: float = 8.0, aspect: float = 210.0 / 297.0, fill: float = 0.55,
         shift: tuple[float, float] = (0.0, 0.0), focal: float | None = None,
         noise: float = 2.5, blur: float = 0.7, seed: int = 0, dtype: type = np.uint8) -> Page:
    """A printed page lying on a wooden desk, photographed from above.

    tilt and turn (degrees) turn the camera about its x and y axes, spin turns
    the page on the desk; fill is the page's height as a fraction of the
    distance-1 field of view; shift moves the page on the desk (in page
    heights), so that a corner can leave the picture.
    """
    focal = 1.1 * max(width, height) if focal is None else focal
    k = camera_matrix(width, height, focal)
    rot = rotation(tilt, turn, 0.0)
    depth = 1.0
    # where the optical axis meets the desk plane z = depth (world frame)
    axis = rot.T @ np.array([0.0, 0.0, 1.0])
    centre = axis[:2] * depth / axis[2]
    ph = fill * height / focal * depth
    pw = ph * aspect
    a = np.radians(spin)
    ux, uy = np.array([np.cos(a), np.sin(a)]), np.array([-np.sin(a), np.cos(a)])
    origin = centre + shift[0] * ph * ux + shift[1] * ph * uy - 0.5 * pw * ux - 0.5 * ph * uy
    world = np.array([origin, origin + pw * ux, origin + pw * ux + ph * uy, origin + ph * uy])
    cam = np.column_stack([world, np.full(4, depth)]) @ (k @ rot).T
    with np.errstate(divide="ignore", invalid="ignore"):
        corners = cam[:, :2] / cam[:, 2:3]
    corners[cam[:, 2] <= 0] = np.nan
    visible = bool(np.all((corners[:, 0] > 0) & (corners[:, 0] < width)
                          & (corners[:, 1] > 0) & (corners[:, 1] < height)))
    rng = np.random.default_rng(seed)
    rows, bins = 44, 900
    ink = _text_table(rng, rows, bins)
    grain = rng.normal(0.0, 1.0, 64)

    def shade(d):
        t = depth / d[..., 2]
        x, y = t * d[..., 0], t * d[..., 1]
        u = (x - origin[0]) * ux[0] + (y - origin[1]) * ux[1]
        v = (x - origin[0]) * uy[0] + (y - origin[1]) * uy[1]
        # wood: wavy grain across the desk, with darker streaks
        s = (x * 40.0 / ph + 0.8 * np.sin(y * 3.0 / ph)) + 0.3 * np.sin(y * 17.0 / ph)
        g = grain[(np.floor(s).astype(np.int64)) % 64]
        wood = (0.55 + 0.08 * np.sin(2 * np.pi * s) + 0.05 * g)[..., None] * np.array([170.0, 120.0, 80.0])
        col = wood
        on = (u >= 0) & (u <= pw) & (v >= 0) & (v <= ph)
        paper = np.empty_like(col)
        paper[:] = np.array([238.0, 236.0, 230.0])
        mu, mv = (u / pw - 0.1) / 0.8, (v / ph - 0.08) / 0.84
        row = np.floor(mv * rows).astype(np.int64)
        inband = (mu >= 0) & (mu < 1) & (mv >= 0) & (mv < 1) & (np.mod(mv * rows, 1.0) > 0.35)
        rr = np.clip(row, 0, rows - 1)
        cc = np.clip(np.floor(mu * bins).astype(np.int64), 0, bins - 1)
        text = inband & ink[rr, cc]
        paper[text] = np.array([40.0, 40.0, 48.0])
        return np.where(on[..., None], paper, col)

    acc = _render(width, height, k, rot, shade)
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    light = 1.0 - 0.25 * (((xs - 0.3 * width) / width) ** 2 + ((ys - 0.2 * height) / height) ** 2)
    acc *= light[..., None]
    img = _finish(acc, rng, blur, noise, dtype)
    return Page(img, corners, aspect, visible)
