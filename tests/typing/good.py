"""A typed user of vantrell: both type checkers must accept it, and see the
module's real types (assert_type fails the check otherwise)."""
import copy
import pickle
from typing import assert_type

import numpy as np

import vantrell

gray = np.zeros((48, 64), dtype=np.uint8)
segments = vantrell.detect(gray)
assert_type(segments, list[vantrell.Segment])
vantrell.detect(gray.astype(np.float32), 0.5)
vantrell.detect(np.zeros((4, 4), np.uint16), scale=1)
vantrell.detect(np.ones((4, 4)), np.float32(0.8))

for s in segments:
    assert_type(s.x1, float)
    assert_type(s.log_nfa, float)
    assert_type(s.angle, float)
    assert_type(s.length, float)
    again = pickle.loads(pickle.dumps(s))
    assert_type(copy.copy(s), vantrell.Segment)
    assert_type(vantrell.Segment._from_fields(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa),
                vantrell.Segment)

rgb8 = np.zeros((48, 64, 3), dtype=np.uint8)
rgb16 = np.zeros((48, 64, 3), dtype=np.uint16)
mx = np.zeros((10, 20), dtype=np.float32)
my = np.zeros((10, 20), dtype=np.float32)
identity = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]

assert_type(vantrell.warp_rgb(rgb8, identity, 1.0, 0.0, 0.0), np.ndarray[tuple[int, int, int], np.dtype[np.uint8]])
assert_type(vantrell.warp_rgb(rgb16, np.eye(3).ravel(), 2, 0, 0, "lanczos3", (32, 24)),
            np.ndarray[tuple[int, int, int], np.dtype[np.uint16]])
assert_type(vantrell.warp_rgb(rgb8, tuple(identity), 1.0, 0.0, 0.0, filter="bilinear", out_size=None),
            np.ndarray[tuple[int, int, int], np.dtype[np.uint8]])
assert_type(vantrell.remap_rgb(rgb16, mx, my), np.ndarray[tuple[int, int, int], np.dtype[np.uint16]])
assert_type(vantrell.remap_gray(gray, mx, my, filter="lanczos3"), np.ndarray[tuple[int, int], np.dtype[np.uint8]])
print(vantrell.__all__)
