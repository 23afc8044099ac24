"""Times vantrell's resamplers against OpenCV on a 1920 x 1080 RGB image.

remap_rgb is held against cv2.remap and warp_rgb against cv2.warpPerspective
with WARP_INVERSE_MAP (bilinear against INTER_LINEAR, lanczos3 against
INTER_LANCZOS4), for uint8 and uint16 samples. Prints the median times in one
process and their ratios, then vantrell's speed-up from one worker thread to
two, each measured in a fresh process with RAYON_NUM_THREADS set.

    python bench/bench_resample.py [--runs 15]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

import cv2
import numpy as np

import vantrell
from timing import median_time, paired_times

WIDTH, HEIGHT = 1920, 1080
# Alternating one-thread / two-thread processes for the speed-up.
PAIRS = 3

# A mild perspective: slight shear, shrink and a vanishing tilt, mapping output
# pixels into the source with a margin that stays mostly inside it.
INVERSE = [0.9, 0.05, 10.0, 0.02, 0.95, 5.0, 1e-5, 2e-5, 1.0]

CASES = [
    ("remap", "bilinear", cv2.INTER_LINEAR),
    ("remap", "lanczos3", cv2.INTER_LANCZOS4),
    ("warp", "bilinear", cv2.INTER_LINEAR),
    ("warp", "lanczos3", cv2.INTER_LANCZOS4),
]


def source(dtype):
    rng = np.random.default_rng(0)
    top = np.iinfo(dtype).max
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH]
    smooth = np.stack([x / WIDTH, y / HEIGHT, (x + y) / (WIDTH + HEIGHT)], axis=-1) * top * 0.8
    noise = rng.integers(0, top // 5, size=(HEIGHT, WIDTH, 3))
    return (smooth + noise).astype(dtype)


def maps():
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float64)
    map_x = x * 0.93 + 7.3 + 3.0 * np.sin(y / 50.0)
    map_y = y * 0.95 + 5.1 + 3.0 * np.cos(x / 70.0)
    return map_x.astype(np.float32), map_y.astype(np.float32)




def vantrell_call(kind, name, src, map_x, map_y):
    if kind == "remap":
        return lambda: vantrell.remap_rgb(src, map_x, map_y, filter=name)
    return lambda: vantrell.warp_rgb(src, INVERSE, 1.0, 0.0, 0.0, filter=name)


def opencv_call(kind, flag, src, map_x, map_y):
    if kind == "remap":
        return lambda: cv2.remap(src, map_x, map_y, flag)
    matrix = np.array(INVERSE, dtype=np.float64).reshape(3, 3)
    return lambda: cv2.warpPerspective(src, matrix, (WIDTH, HEIGHT),
                                       flags=flag | cv2.WARP_INVERSE_MAP)


def vantrell_times(runs):
    """Median seconds of every vantrell case, keyed "dtype kind filter"."""
    map_x, map_y = maps()
    out = {}
    for dtype in (np.uint8, np.uint16):
        src = source(dtype)
        for kind, name, _ in CASES:
            key = f"{np.dtype(dtype).name} {kind} {name}"
            out[key] = median_time(vantrell_call(kind, name, src, map_x, map_y), runs)
    return out


def threaded_times(threads, runs):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    result = subprocess.run([sys.executable, __file__, "--child", "--runs", str(runs)],
                            env=env, check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(vantrell_times(args.runs)))
        return

    print(f"{WIDTH} x {HEIGHT} RGB, medians of {args.runs} runs in turn, ratio = median of the pairs' ratios; "
          f"OpenCV {cv2.__version__} with {cv2.getNumThreads()} threads")
    print(f"{'case':<26}{'vantrell ms':>12}{'OpenCV ms':>11}{'ratio':>8}")
    map_x, map_y = maps()
    for dtype in (np.uint8, np.uint16):
        src = source(dtype)
        for kind, name, flag in CASES:
            ours, theirs, ratio = paired_times(vantrell_call(kind, name, src, map_x, map_y),
                                               opencv_call(kind, flag, src, map_x, map_y), args.runs)
            label = f"{np.dtype(dtype).name} {kind} {name}"
            print(f"{label:<26}{ours * 1e3:>12.2f}{theirs * 1e3:>11.2f}{ratio:>8.2f}")

    # One-thread and two-thread processes in turn, the speed-up taken pair by
    # pair, so that a drift of the machine's speed touches both legs alike.
    pairs = [(threaded_times(1, args.runs), threaded_times(2, args.runs)) for _ in range(PAIRS)]
    print()
    print(f"{'case':<26}{'1 thread ms':>12}{'2 threads ms':>13}{'speed-up':>10}")
    for key in pairs[0][0]:
        one = statistics.median(p[0][key] for p in pairs)
        two = statistics.median(p[1][key] for p in pairs)
        speedup = statistics.median(p[0][key] / p[1][key] for p in pairs)
        print(f"{key:<26}{one * 1e3:>12.2f}{two * 1e3:>13.2f}{speedup:>10.2f}")


if __name__ == "__main__":
    main()
