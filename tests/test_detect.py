"""detect(): array forms, sample types, scale, and what the segments satisfy."""
import math
import threading

import numpy as np
import pytest

import vantrell
from conftest import draw_scene, run_python, segment_tuples


def test_scene_has_segments(scene):
    segments = vantrell.detect(scene)
    assert len(segments) >= 5
    assert all(isinstance(s, vantrell.Segment) for s in segments)
    lengths = [s.length for s in segments]
    assert lengths == sorted(lengths, reverse=True)
    for s in segments:
        assert s.log_nfa > 0
        assert 0 < s.precision <= 0.125
        # precision is 0.125 halved a whole number of times
        assert math.log2(0.125 / s.precision) == int(math.log2(0.125 / s.precision))
        assert s.width >= 0.5 / 0.8 - 1e-12
        h, w = scene.shape
        for x, y in ((s.x1, s.y1), (s.x2, s.y2)):
            assert -2 <= x <= w + 2 and -2 <= y <= h + 2


def test_finds_the_long_straight_edges(scene):
    # The bar drawn at rows [0.05h, 0.09h) spans columns [0.1w, 0.7w): its two
    # long horizontal edges must come out as nearly horizontal segments.
    h, w = scene.shape
    horizontal = [s for s in vantrell.detect(scene, 1.0)
                  if abs(s.angle) < 2 and s.length > 0.4 * w]
    rows = sorted((s.y1 + s.y2) / 2 for s in horizontal)
    assert any(abs(r - 0.05 * h) < 2 for r in rows)
    assert any(abs(r - 0.09 * h) < 2 for r in rows)


def test_sample_types_give_the_same_segments(scene):
    reference = segment_tuples(vantrell.detect(scene))
    assert reference
    for img in (scene.astype(np.uint16) * 257, scene.astype(np.float32), scene.astype(np.float64)):
        assert segment_tuples(vantrell.detect(img)) == reference


@pytest.mark.parametrize("scale", [1.0, 0.8, 0.5])
def test_array_layouts_give_the_same_segments(scene, scale):
    reference = segment_tuples(vantrell.detect(scene, scale))
    fortran = np.asfortranarray(scene)
    transposed = np.ascontiguousarray(scene.T).T
    padded = np.zeros((scene.shape[0] * 2, scene.shape[1] * 3), np.uint8)
    padded[::2, ::3] = scene
    strided = padded[::2, ::3]
    flipped = np.ascontiguousarray(scene[::-1, ::-1])[::-1, ::-1]
    for view in (fortran, transposed, strided, flipped):
        assert not view.flags.c_contiguous
        assert segment_tuples(vantrell.detect(view, scale)) == reference
    assert segment_tuples(vantrell.detect(scene, scale=scale)) == reference


def test_subclass_and_unaligned_arrays_are_read(scene):
    reference = segment_tuples(vantrell.detect(scene.astype(np.float64)))

    class Sub(np.ndarray):
        pass

    assert segment_tuples(vantrell.detect(scene.astype(np.float64).view(Sub))) == reference
    raw = np.zeros(scene.size * 8 + 1, np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(scene.shape)
    unaligned[...] = scene
    assert not unaligned.flags.aligned
    assert segment_tuples(vantrell.detect(unaligned)) == reference


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0), (2, 100), (100, 2), (3, 3), (1, 1)])
def test_tiny_and_empty_images(shape):
    assert vantrell.detect(np.full(shape, 7, np.uint8)) == []


@pytest.mark.parametrize("scale", [0.0, -1.0, -0.0, 1e-300, 5e-324, 0.2, float("-inf")])
def test_scales_that_leave_nothing_to_detect(scene, scale):
    assert vantrell.detect(scene[:10, :10], scale) == []
    if scale <= 1e-300:
        assert vantrell.detect(scene, scale) == []


def test_scale_one_and_above_and_nan_mean_full_resolution(scene):
    full = segment_tuples(vantrell.detect(scene, 1.0))
    assert segment_tuples(vantrell.detect(scene, 1)) == full
    assert segment_tuples(vantrell.detect(scene, 2.5)) == full
    assert segment_tuples(vantrell.detect(scene, float("nan"))) == full
    assert segment_tuples(vantrell.detect(scene, float("inf"))) == full


def test_constant_and_nan_images_give_nothing():
    assert vantrell.detect(np.full((50, 60), 128, np.uint8)) == []
    assert vantrell.detect(np.full((50, 60), np.nan)) == []


def test_inputs_are_not_modified(scene):
    copy = scene.copy()
    vantrell.detect(scene)
    np.testing.assert_array_equal(scene, copy)


def test_images_beyond_32_bit_pixel_indices_are_refused_before_any_copy():
    huge = np.broadcast_to(np.uint8(0), (70000, 70000))  # costs no memory
    with pytest.raises(ValueError, match="2\\*\\*32"):
        vantrell.detect(huge, 1.0)
    wide = np.broadcast_to(np.float32(0), (3, 2**32 + 5))
    with pytest.raises(ValueError):
        vantrell.detect(wide, 1.0)


@pytest.mark.parametrize("shape, scale", [
    ((0, 2**32), 0.8), ((2**40, 0), 0.8), ((2, 2**32), 0.8), ((2**32, 2), 1.0),
    # after downscaling: floor(0.5 x 3) = 1 -> 2 columns, floor(0.5 x 5) = 2 rows
    ((2**33, 3), 0.5), ((5, 2**33), 0.5),
])
def test_images_too_small_for_segments_give_nothing_however_large(shape, scale):
    # fewer than 3 columns or rows, before or after downscaling, whatever the
    # other side: no segments, before the size limit is looked at
    assert vantrell.detect(np.broadcast_to(np.uint8(0), shape), scale) == []


def test_threads_calling_at_once_get_the_sequential_results():
    images = [draw_scene(160, 200, seed) for seed in range(4)]
    expected = [segment_tuples(vantrell.detect(img)) for img in images]
    results = {}

    def work(k):
        for _ in range(3):
            got = segment_tuples(vantrell.detect(images[k % 4]))
            results.setdefault(k, []).append(got == expected[k % 4])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(all(v) for v in results.values()) and len(results) == 8


CHILD = """
import numpy as np, vantrell, sys
sys.path.insert(0, {tests!r})
from conftest import draw_scene, segment_tuples
print(repr(segment_tuples(vantrell.detect(draw_scene(200, 260, 3)))))
"""


def test_results_do_not_depend_on_the_number_of_threads(request):
    code = CHILD.format(tests=str(request.path.parent))
    outputs = {n: run_python(code, {"RAYON_NUM_THREADS": n}) for n in ("1", "2", "3")}
    assert outputs["1"] == outputs["2"] == outputs["3"]
    assert len(eval(outputs["1"])) > 0


def working_image(img, scale):
    """The detector's working image at `scale` < 1, computed here on its own:
    samples widened to float64 (16-bit ones divided by 257), smoothed by a
    separable Gaussian of sigma 0.6 / scale with replicated edges, rows then
    columns, each sum in kernel order from 0.0 with every product rounded, and
    the smoothed sample at (trunc(x' / scale), trunc(y' / scale)) taken for
    output pixel (x', y')."""
    work = img.astype(np.float64)
    if img.dtype == np.uint16:
        work = work / 257.0
    h, w = work.shape
    sigma = 0.6 / scale
    r = math.ceil(sigma * 3.7169221888498383)
    kernel = [math.exp(-0.5 * (((i - r) / sigma) * ((i - r) / sigma))) for i in range(2 * r + 1)]
    total = -0.0
    for k in kernel:
        total += k
    kernel = [k / total for k in kernel]
    out_w = max(2, math.floor(scale * w))
    out_h = max(2, math.floor(scale * h))
    cols = np.array([min(w - 1, int(x / scale)) for x in range(out_w)])
    rows = np.array([min(h - 1, int(y / scale)) for y in range(out_h)])
    # Only the smoothed samples that are picked are formed.
    rowwise = np.zeros((h, out_w))
    for i, k in enumerate(kernel):
        rowwise += k * work[:, np.clip(cols + i - r, 0, w - 1)]
    out = np.zeros((out_h, out_w))
    for i, k in enumerate(kernel):
        out += k * rowwise[np.clip(rows + i - r, 0, h - 1)]
    return out


def telling_images():
    rng = np.random.default_rng(5)
    scene16 = draw_scene(150, 190, 2).astype(np.uint16) * 257 + rng.integers(0, 257, (150, 190)).astype(np.uint16)
    # Odd sizes, where floor(scale x side) and trunc(x' / scale) matter, and
    # samples that are not whole numbers.
    odd = (draw_scene(101, 137, 4) + rng.normal(0, 0.3, (101, 137))).astype(np.float32)
    y, x = np.mgrid[0:60, 0:70]
    steps = np.where(y > 0.4 * x + 15, 200.0, 30.0)
    return {"scene": draw_scene(), "scene16": scene16, "odd_float32": odd, "tilted_step": steps}


@pytest.mark.parametrize("name", ["scene", "scene16", "odd_float32", "tilted_step"])
@pytest.mark.parametrize("scale", [0.8, 0.7, 0.5])
def test_downscaled_detection_is_full_resolution_detection_of_the_working_image(name, scale):
    # Detecting at scale s < 1 is detecting at full resolution on the smoothed,
    # subsampled working image, each coordinate v then reported as
    # (v + 0.5) x (1 / s) and the width as width x (1 / s). At full resolution
    # v + 0.5 is what is reported, so multiplying those reports by 1 / s gives
    # the scaled ones to the last bit; the order is by the scaled lengths.
    # (1 / 0.7, unlike 1.25 and 2, needs every bit of a double.)
    img = telling_images()[name]
    factor = 1.0 / scale
    expected = [(x1 * factor, y1 * factor, x2 * factor, y2 * factor, width * factor, p, v)
                for x1, y1, x2, y2, width, p, v in segment_tuples(vantrell.detect(working_image(img, scale), 1.0))]
    expected.sort(key=lambda s: -math.hypot(s[2] - s[0], s[3] - s[1]))
    assert len(expected) >= 1
    assert segment_tuples(vantrell.detect(img, scale)) == expected
    if scale == 0.8:
        assert segment_tuples(vantrell.detect(img)) == expected


@pytest.mark.parametrize("vertical", [False, True])
def test_a_straight_step_edge_gives_one_segment_along_it(vertical):
    # 40 rows x 50 columns, 0 above (left of) the edge and 255 beyond it. Only
    # the 2 x 2 blocks straddling the edge have a gradient, 255, so the one
    # region is the row (column) of cells just before the edge, all aligned:
    # n = k, and the value is -log_nt - n log10(1/8). Its centre is the middle
    # cell, its axis points the way of the level lines (theta = pi along a
    # row, pi/2 down a column), so that one end point sits cos or sin of theta
    # times the half length off the line; the width is the minimum, 1.
    h, w, edge = 40, 50, 21
    img = np.zeros((h, w), np.uint8)
    if vertical:
        img[:, edge:] = 255
        n, half, across = h - 1, (h - 2) / 2, edge - 1
        off = math.cos(math.pi / 2) * half  # theta = -pi/2 + pi
        ends = (across - off, 0.0, across + off, h - 2.0)
    else:
        img[edge:, :] = 255
        n, half, across = w - 1, (w - 2) / 2, edge - 1
        off = math.sin(math.pi) * half
        ends = (w - 2.0, across - off, 0.0, across + off)
    log_nt = 2.5 * (math.log10(w) + math.log10(h)) + math.log10(11)
    value = -log_nt - n * math.log10(0.125)
    segments = segment_tuples(vantrell.detect(img, 1.0))
    assert segments == [tuple(v + 0.5 for v in ends) + (1.0, 0.125, value)]
