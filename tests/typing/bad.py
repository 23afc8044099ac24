"""Wrong calls, each on a line marked "flagged": both type checkers must
report an error on each of those lines, and on no other."""
import numpy as np

import vantrell

gray = np.zeros((48, 64), dtype=np.uint8)
ints = np.zeros((48, 64), dtype=np.int32)
row = np.zeros(64, dtype=np.uint8)
rgb = np.zeros((48, 64, 3), dtype=np.uint8)
rgb_float = rgb.astype(np.float32)
mx = np.zeros((10, 20), dtype=np.float32)
my = mx.astype(np.float64)
seg = vantrell.detect(gray)[0]

vantrell.detect(gray, "0.8")  # flagged: scale is a number
vantrell.detect(ints)  # flagged: no int32 images
vantrell.detect(row)  # flagged: a 1-D array
vantrell.detect(gray, sigma=0.6)  # flagged: no such parameter
vantrell.remap_gray(gray, mx, my)  # flagged: float32 maps only
vantrell.remap_rgb(rgb, mx, mx, filter="nearest")  # flagged: unknown filter
vantrell.warp_rgb(rgb, [1.0] * 9, 1.0, 0.0)  # flagged: off_y is missing
vantrell.warp_rgb(rgb_float, [1.0] * 9, 1.0, 0.0, 0.0)  # flagged: float32 source
seg.x1 = 3.0  # flagged: read-only
length: str = seg.length  # flagged: a float
vantrell.Segment._from_fields(1.0, 2.0)  # flagged: seven fields
