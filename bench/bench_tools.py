"""Accuracy and cost of vantrell_tools on synthetic scenes with known truth.

    python bench/bench_tools.py [--buildings 60] [--pages 60] [--no-time]

Buildings: façades seen by a camera turned by random pitch and yaw (up to
±20 degrees) and roll (up to ±10), focal length 0.9 to 1.5 times the longer
side, with blur and noise. After straighten(mode="both") the building's long
vertical and horizontal lines (known from the camera) are mapped through the
correction; a scene passes when the median of their absolute deviations from
vertical / horizontal is at most 0.3 degrees. The same is reported for the
long segments that the detector finds in the corrected picture.

Pages: sheets of several shapes on a wooden desk, seen in perspective. On the
pages whose four corners are in the picture, find_page passes when every
corner lies within 1 % of the diagonal of the truth, and flatten_page when the
output's width / height is within 2 % of the sheet's.

Time: straighten on a 12-megapixel building against one detect plus one
Lanczos-3 warp_rgb of the same picture (paired runs, median ratio).
"""
import argparse
import os
import statistics
import sys
import time

import numpy as np

import vantrell
from vantrell_tools import find_page, flatten_page, straighten, to_gray

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "demo"))
sys.path.insert(0, HERE)
import scenes  # noqa: E402
from timing import paired_times  # noqa: E402


def deviations(lines, homography, vertical):
    out = []
    for pts in lines:
        q = np.c_[pts[[0, -1]], np.ones(2)] @ homography.T
        d = q[1, :2] / q[1, 2] - q[0, :2] / q[0, 2]
        a = abs(np.degrees(np.arctan2(d[1], d[0])))
        a = min(a, 180.0 - a)                    # 0 .. 90 from horizontal
        out.append(90.0 - a if vertical else a)
    return out


def detected_deviations(image):
    """Deviations of the long near-vertical / near-horizontal segments found in
    a picture (segments of at least 10 % of its shorter side, within 30
    degrees of an axis)."""
    table = vantrell.detect(to_gray(image))
    h, w = image.shape[:2]
    out = []
    for s in table:
        if s.length < 0.1 * min(w, h):
            continue
        a = abs(s.angle)
        if a <= 30.0:
            out.append(a)
        elif a >= 60.0:
            out.append(90.0 - a)
    return out


def buildings(n, size):
    rng = np.random.default_rng(2024)
    rows = []
    for i in range(n):
        pitch, yaw, roll = rng.uniform(-20, 20), rng.uniform(-20, 20), rng.uniform(-10, 10)
        focal = rng.uniform(0.9, 1.5) * max(size)
        sc = scenes.facade(size[0], size[1], pitch, yaw, roll, focal=focal, noise=rng.uniform(1, 4),
                           blur=rng.uniform(0.4, 1.2), seed=i)
        res = straighten(sc.image, mode="both")
        vs, hs = sc.truth_lines()
        dev = deviations(vs, res.homography, True) + deviations(hs, res.homography, False)
        found = detected_deviations(res.image)
        rows.append((pitch, yaw, roll, res.fitted, float(np.median(dev)), float(np.max(dev)),
                     float(np.median(found)) if found else float("nan")))
    truth_med = np.array([r[4] for r in rows])
    found_med = np.array([r[6] for r in rows])
    fitted = sum(r[3] for r in rows)
    print(f"straighten(mode='both') on {n} buildings {size[0]}x{size[1]} "
          f"(pitch, yaw ±20°, roll ±10°, focal 0.9-1.5 x side):")
    print(f"  fitted: {fitted}/{n}")
    print("  | lines measured | scenes with median |dev| <= 0.3° | median of medians | 95th pct | worst |")
    print("  |---|---|---|---|---|")
    for name, med in (("building's true lines", truth_med), ("segments detected after", found_med)):
        ok = np.nanmean(med <= 0.3) * 100
        print(f"  | {name} | {ok:.1f} % | {np.nanmedian(med):.3f}° | {np.nanpercentile(med, 95):.3f}° "
              f"| {np.nanmax(med):.3f}° |")
    bad = [r for r in rows if r[4] > 0.3]
    for r in bad:
        print(f"  over 0.3°: pitch {r[0]:.1f} yaw {r[1]:.1f} roll {r[2]:.1f}: median {r[4]:.3f}°, "
              f"worst line {r[5]:.3f}°")
    return float(np.mean(truth_med <= 0.3))


def pages(n, size):
    rng = np.random.default_rng(7)
    shapes = [210 / 297, 8.5 / 11, 1.0, 297 / 210, 11 / 8.5]
    diag = np.hypot(*size)
    corner_err, aspect_err, aspect_true_err = [], [], []
    none = hidden = hidden_none = 0
    for i in range(n):
        asp = shapes[i % len(shapes)] if i % 3 else rng.uniform(0.6, 1.6)
        sc = scenes.page(size[0], size[1], tilt=rng.uniform(-35, 35), turn=rng.uniform(-25, 25),
                         spin=rng.uniform(-30, 30), aspect=asp, fill=rng.uniform(0.45, 0.85),
                         focal=rng.uniform(0.9, 1.5) * max(size), noise=rng.uniform(1, 4),
                         blur=rng.uniform(0.5, 1.2), seed=100 + i)
        if not sc.visible:
            hidden += 1
            hidden_none += find_page(sc.image) is None
            continue
        corners = find_page(sc.image)
        if corners is None:
            none += 1
            corner_err.append(np.inf)
            aspect_err.append(np.inf)
        else:
            corner_err.append(np.linalg.norm(corners - sc.corners, axis=1).max() / diag)
            flat = flatten_page(sc.image, corners=corners)
            aspect_err.append(abs(flat.out_size[0] / flat.out_size[1] / asp - 1.0))
        truth = flatten_page(sc.image, corners=sc.corners)
        aspect_true_err.append(abs(truth.out_size[0] / truth.out_size[1] / asp - 1.0))
    ce, ae, te = np.array(corner_err), np.array(aspect_err), np.array(aspect_true_err)
    print(f"\nfind_page / flatten_page on {len(ce)} fully visible pages {size[0]}x{size[1]} "
          f"(tilt ±35°, turn ±25°, spin ±30°, focal 0.9-1.5 x side), {hidden} more partly outside:")
    print("  | measure | passing | median | 95th pct | worst |")
    print("  |---|---|---|---|---|")
    fin = ce[np.isfinite(ce)]
    print(f"  | corners within 1 % of the diagonal | {np.mean(ce <= 0.01) * 100:.1f} % "
          f"| {np.median(fin) * 100:.3f} % | {np.percentile(fin, 95) * 100:.3f} % | {fin.max() * 100:.3f} % |")
    fa = ae[np.isfinite(ae)]
    print(f"  | aspect within 2 % (found corners) | {np.mean(ae <= 0.02) * 100:.1f} % "
          f"| {np.median(fa) * 100:.3f} % | {np.percentile(fa, 95) * 100:.3f} % | {fa.max() * 100:.3f} % |")
    print(f"  | aspect within 2 % (true corners) | {np.mean(te <= 0.02) * 100:.1f} % "
          f"| {np.median(te) * 100:.3f} % | {np.percentile(te, 95) * 100:.3f} % | {te.max() * 100:.3f} % |")
    print(f"  no page found on {none} visible pages; None on {hidden_none} of {hidden} pages partly outside")
    return float(np.mean(ce <= 0.01)), float(np.mean(ae <= 0.02))


def timing(runs):
    w, h = 4000, 3000
    start = time.perf_counter()
    img = scenes.facade(w, h, 12.0, -9.0, 4.0, seed=1).image
    print(f"\n12-megapixel building drawn in {time.perf_counter() - start:.1f} s; timing ...")
    gray = to_gray(img)
    res = straighten(img)
    inverse, off = res.inverse, (res.off_x, res.off_y)

    def tools():
        straighten(img)

    def module():
        vantrell.detect(gray)
        vantrell.warp_rgb(img, inverse, 1.0, off[0], off[1], "lanczos3", res.out_size)

    ta, tb, ratio = paired_times(tools, module, runs)
    print("  | straighten | detect + Lanczos-3 warp_rgb | ratio (median of pairs) | target |")
    print("  |---|---|---|---|")
    print(f"  | {ta:.3f} s | {tb:.3f} s | {ratio:.2f} | <= 1.5 |")
    parts = {}
    for name, fn in (("to_gray", lambda: to_gray(img)), ("detect", lambda: vantrell.detect(gray)),
                     ("warp lanczos3", lambda: vantrell.warp_rgb(img, inverse, 1.0, off[0], off[1],
                                                                 "lanczos3", res.out_size))):
        t = []
        for _ in range(3):
            s = time.perf_counter()
            fn()
            t.append(time.perf_counter() - s)
        parts[name] = statistics.median(t)
    print("  parts: " + ", ".join(f"{k} {v:.3f} s" for k, v in parts.items()))
    return ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--buildings", type=int, default=60)
    parser.add_argument("--pages", type=int, default=60)
    parser.add_argument("--runs", type=int, default=5, help="timed pairs on the 12-MP picture")
    parser.add_argument("--no-time", action="store_true")
    args = parser.parse_args()
    size = (800, 600)
    if args.buildings:
        buildings(args.buildings, size)
    if args.pages:
        pages(args.pages, size)
    if not args.no_time:
        timing(args.runs)


if __name__ == "__main__":
    main()
