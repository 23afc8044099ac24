"""Times vantrell.detect against OpenCV's line segment detector on real
photographs (scikit-image's bundled data), in one process.

Prints, per image and scale, the median times, their ratio and the segment
counts; at scale 1.0 also the share of OpenCV's segments at least 20 px long
that vantrell finds too (both end points within 1.5 px, either direction).

    python bench/bench_detect.py [--runs 21]
"""
import argparse

import cv2
import numpy as np
import skimage.color
import skimage.data
import skimage.transform

import vantrell
from timing import paired_times


def images():
    def gray8(rgb):
        return np.round(skimage.color.rgb2gray(rgb) * 255).astype(np.uint8)

    page = skimage.transform.resize(skimage.data.page(), (1080, 1920), order=1,
                                    preserve_range=True, anti_aliasing=False)
    return {
        "camera 512x512": skimage.data.camera(),
        "rocket 427x640": gray8(skimage.data.rocket()),
        "page 1920x1080": np.round(page).astype(np.uint8),
        "brick 512x512": skimage.data.brick(),
        "coffee 600x400": gray8(skimage.data.coffee()),
    }




def matched_share(ours, theirs, shift):
    """Share of `theirs` (n x 4 end points) with a segment of `ours` whose end
    points lie within 1.5 px, in either direction; ours are shifted by `shift`."""
    if len(theirs) == 0:
        return float("nan")
    if len(ours) == 0:
        return 0.0
    a = ours[:, :2][None] + shift
    b = ours[:, 2:][None] + shift
    p = theirs[:, None, :2]
    q = theirs[:, None, 2:]
    near = lambda u, v: np.hypot(*(u - v).transpose(2, 0, 1)) <= 1.5
    hit = (near(p, a) & near(q, b)) | (near(p, b) & near(q, a))
    return float(hit.any(axis=1).mean())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=21)
    args = parser.parse_args()
    print(f"vantrell vs OpenCV {cv2.__version__} line segment detector (LSD_REFINE_ADV); "
          f"medians of {args.runs} runs in turn, ratio = median of the pairs' ratios; pool of {cv2.getNumberOfCPUs()} processors")
    header = f"{'image':16} {'scale':>5} {'vantrell ms':>12} {'opencv ms':>10} {'ratio':>6} " \
             f"{'n vantrell':>10} {'n opencv':>9} {'found>=20px':>11}"
    print(header)
    print("-" * len(header))
    for name, img in images().items():
        for scale in (0.8, 1.0):
            theirs_detector = cv2.createLineSegmentDetector(cv2.LSD_REFINE_ADV, scale)
            t_ours, t_cv, ratio = paired_times(lambda: vantrell.detect(img, scale),
                                               lambda: theirs_detector.detect(img), args.runs)
            ours = vantrell.detect(img, scale)
            lines = theirs_detector.detect(img)[0]
            theirs = np.zeros((0, 4)) if lines is None else lines.reshape(-1, 4).astype(np.float64)
            share = ""
            if scale == 1.0:
                long = theirs[np.hypot(theirs[:, 2] - theirs[:, 0], theirs[:, 3] - theirs[:, 1]) >= 20]
                mine = np.array([[s.x1, s.y1, s.x2, s.y2] for s in ours]).reshape(-1, 4)
                # the two detectors may place pixel centres half a pixel apart
                share = f"{max(matched_share(mine, long, d) for d in (0.0, -0.5)):.1%}"
            print(f"{name:16} {scale:5.1f} {t_ours * 1e3:12.2f} {t_cv * 1e3:10.2f} "
                  f"{ratio:6.2f} {len(ours):10d} {len(theirs):9d} {share:>11}")


if __name__ == "__main__":
    main()
