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
