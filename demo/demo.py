"""Finds the line segments of a synthetic scene drawn with NumPy: a sheet of
paper lying in perspective on a desk, with a ruler and a few text lines.

    python demo/demo.py [--scale 0.8] [--all]
"""
import argparse
import time

import numpy as np

import vantrell


def inside_quad(x, y, corners):
    """Mask of the pixels inside a convex quadrilateral (corners clockwise)."""
    mask = np.ones(x.shape, bool)
    for (x0, y0), (x1, y1) in zip(corners, corners[1:] + corners[:1]):
        mask &= (x1 - x0) * (y - y0) - (y1 - y0) * (x - x0) >= 0
    return mask


def draw_desk(height=480, width=640, seed=7):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    img = 70 + 25 * np.sin(x / 90.0) + 15 * (y / height)          # wooden desk
    paper = [(150, 60), (520, 95), (560, 420), (110, 400)]
    img[inside_quad(x, y, paper)] = 225                              # the sheet
    for k in range(6):                                               # text lines
        t = 0.18 + 0.11 * k
        a = (150 + t * (110 - 150), 60 + t * (400 - 60))
        b = (520 + t * (560 - 520), 95 + t * (420 - 95))
        line = [(a[0] + 40, a[1] - 2), (b[0] - 60, b[1] - 2), (b[0] - 60, b[1] + 3), (a[0] + 40, a[1] + 3)]
        img[inside_quad(x, y, line)] = 60
    ruler = [(30, 300), (300, 455), (290, 472), (20, 318)]
    img[inside_quad(x, y, ruler)] = 160                              # a ruler
    img += rng.normal(0, 3, img.shape)
    return np.clip(np.round(img), 0, 255).astype(np.uint8)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=0.8)
    parser.add_argument("--all", action="store_true", help="print every segment")
    args = parser.parse_args()

    img = draw_desk()
    start = time.perf_counter()
    segments = vantrell.detect(img, args.scale)
    elapsed = time.perf_counter() - start
    print(f"{len(segments)} segments in a {img.shape[1]}x{img.shape[0]} scene "
          f"(scale {args.scale}, {elapsed * 1000:.1f} ms), longest first:")
    shown = segments if args.all else segments[:15]
    for s in shown:
        print(f"  {s!r:52}  length {s.length:6.1f}  angle {s.angle:6.1f}  -log10(NFA) {s.log_nfa:6.1f}")
    if len(shown) < len(segments):
        print(f"  ... and {len(segments) - len(shown)} more (--all prints them)")


if __name__ == "__main__":
    main()
