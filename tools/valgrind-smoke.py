"""A short mixed workload for memcheck (`make valgrind`): every function,
successful and failing calls, copied and in-place inputs."""
import numpy as np

import vantrell

rng = np.random.default_rng(1)
gray = np.full((40, 56), 30, np.uint8)
gray[8:30, 10:44] = 200
rgb = rng.integers(0, 256, (24, 32, 3), dtype=np.uint8)
my, mx = np.mgrid[0:20, 0:28].astype(np.float32)
mx, my = mx * 1.1 + 0.2, my * 0.9 + 0.4
h = [1.01, 0.02, 0.5, -0.01, 0.99, 0.25, 1e-4, 0.0, 1.0]
found = 0
for i in range(20):
    found += len(vantrell.detect(gray))
    vantrell.detect(np.asfortranarray(gray.astype(np.float32)), 1.0)
    vantrell.warp_rgb(rgb, h, 1.0, 0, 0, "lanczos3", (30, 20))
    vantrell.warp_rgb(rgb[::-1], h, 2.0, 1, 1)
    vantrell.remap_rgb(rgb, mx, my, "lanczos3")
    vantrell.remap_gray(rgb[..., 1], mx.T.copy().T, my)
    for bad in (lambda: vantrell.detect(gray, "x"), lambda: vantrell.detect(rgb),
                lambda: vantrell.warp_rgb(rgb, h[:8], 1, 0, 0),
                lambda: vantrell.warp_rgb(rgb, h, 1, 0, 0, "cubic\u200b"),
                lambda: vantrell.remap_rgb(rgb, mx, my[:, :3]),
                lambda: vantrell.remap_gray(rgb, mx, my), lambda: vantrell.detect()):
        try:
            bad()
        except (TypeError, ValueError):
            pass
print(f"valgrind workload done: {found} segments found")
