"""Finds the line segments of a synthetic scene drawn with NumPy: a sheet of
paper lying in perspective on a desk, with a ruler and a few text lines. Then
draws them, straightens a photographed building and flattens a photographed
page, and writes the pictures into a folder.

    python demo/demo.py [--scale 0.8] [--all] [--out demo-output] [--docs docs]

--docs also writes the README's pictures (half size, before and after side by
side) into the given folder.
"""
import argparse
import os
import time

import numpy as np

import vantrell

import png
import scenes


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


def side_by_side(left, right, gap=8):
    """Two RGB pictures next to each other on a white ground, tops aligned."""
    h = max(left.shape[0], right.shape[0])
    out = np.full((h, left.shape[1] + gap + right.shape[1], 3), 255, np.uint8)
    out[:left.shape[0], :left.shape[1]] = left
    out[:right.shape[0], left.shape[1] + gap:] = right
    return out


def half(image):
    """An RGB picture at half size (means of 2 x 2 blocks, rounded)."""
    h, w = image.shape[0] // 2 * 2, image.shape[1] // 2 * 2
    blocks = image[:h, :w].astype(np.uint32).reshape(h // 2, 2, w // 2, 2, 3).sum(axis=(1, 3))
    return ((blocks + 2) // 4).astype(np.uint8)


def pictures(folder, scale, docs=None):
    """Writes the overlay, the building and the page, before and after; with
    `docs`, also the README's smaller side-by-side pictures."""
    from vantrell_tools import draw_segments, flatten_page, straighten

    os.makedirs(folder, exist_ok=True)
    written = []

    def save(name, image):
        path = os.path.join(folder, name)
        png.write_png(path, image)
        written.append(path)

    desk = draw_desk()
    save("segments.png", draw_segments(desk, vantrell.detect(desk, scale)))

    building = scenes.facade(640, 480, pitch=14.0, yaw=-12.0, roll=5.0, seed=3)
    upright = straighten(building.image)
    save("building_before.png", building.image)
    save("building_after.png", upright.image)
    print(f"straighten: {len(upright.vertical)} vertical and {len(upright.horizontal)} horizontal "
          f"segments agree; output {upright.out_size[0]}x{upright.out_size[1]}"
          + ("" if upright.fitted else f" (not fitted: {upright.reason})"))

    sheet = scenes.page(640, 480, tilt=24.0, turn=-14.0, spin=12.0, fill=0.75, seed=5)
    flat = flatten_page(sheet.image)
    save("page_before.png", sheet.image)
    save("page_after.png", flat.image)
    if flat.fitted:
        corners = ", ".join(f"({x:.1f}, {y:.1f})" for x, y in flat.corners)
        print(f"flatten_page: corners {corners}; output {flat.out_size[0]}x{flat.out_size[1]} "
              f"(width / height {flat.aspect:.3f}, true {sheet.aspect:.3f})")
    else:
        print(f"flatten_page: {flat.reason}")
    if docs:
        os.makedirs(docs, exist_ok=True)
        for name, image in (("segments.png", half(draw_segments(desk, vantrell.detect(desk, scale),
                                                                 line_width=3.0))),
                            ("straighten.png", side_by_side(half(building.image), half(upright.image))),
                            ("flatten.png", side_by_side(half(sheet.image), half(flat.image)))):
            png.write_png(os.path.join(docs, name), image)
            written.append(os.path.join(docs, name))
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=0.8)
    parser.add_argument("--all", action="store_true", help="print every segment")
    parser.add_argument("--out", default="demo-output", help="folder for the pictures (default: demo-output)")
    parser.add_argument("--docs", help="also write the README's pictures into this folder")
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

    written = pictures(args.out, args.scale, args.docs)
    print(f"pictures written to {os.path.abspath(args.out)}/:")
    for path in written:
        print(f"  {os.path.relpath(path, args.out) if path.startswith(args.out) else path}")


if __name__ == "__main__":
    main()
