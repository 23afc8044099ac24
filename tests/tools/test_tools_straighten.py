import hashlib
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import vantrell
from vantrell_tools import straighten
from vantrell_tools import geometry as geo


@pytest.fixture(scope="module")
def tilted(scenes):
    """A façade seen by a camera turned up, right and clockwise."""
    return scenes.facade(320, 240, pitch=12.0, yaw=-10.0, roll=4.0, seed=2)


def reproduce(image_in, res):
    rgb = image_in if image_in.ndim == 3 else np.repeat(image_in[:, :, None], 3, axis=2)
    out = vantrell.warp_rgb(rgb, res.inverse, res.scale, res.off_x, res.off_y, res.filter, res.out_size)
    return out if image_in.ndim == 3 else out[:, :, 0]


@pytest.mark.parametrize("crop", ["largest", "aspect", "none"])
@pytest.mark.parametrize("filt", ["lanczos3", "bilinear"])
def test_the_warp_arguments_reproduce_the_image_to_the_bit(tilted, crop, filt):
    res = straighten(tilted.image, crop=crop, filter=filt)
    assert res.fitted, res.reason
    assert res.image.shape == (res.out_size[1], res.out_size[0], 3)
    assert np.array_equal(reproduce(tilted.image, res), res.image)


@pytest.mark.parametrize("kind", ["uint16", "gray"])
def test_other_sample_types_come_back_as_they_went_in(scenes, kind):
    sc = scenes.facade(320, 240, pitch=12.0, yaw=-10.0, roll=4.0, seed=2,
                       dtype=np.uint16 if kind == "uint16" else np.uint8)
    image = sc.image if kind == "uint16" else sc.image[:, :, 1].copy()
    res = straighten(image)
    assert res.fitted and res.image.dtype == image.dtype and res.image.ndim == image.ndim
    assert np.array_equal(reproduce(image, res), res.image)


def corrected_angles(lines, homography):
    """Angles (degrees, in (-90, 90]) of image polylines after the correction."""
    out = []
    for pts in lines:
        q = geo.apply_homography(homography, pts[[0, -1]])
        d = q[1] - q[0]
        out.append((np.degrees(np.arctan2(d[1], d[0])) + 90.0) % 180.0 - 90.0)
    return np.array(out)


def test_the_building_comes_out_upright(tilted):
    res = straighten(tilted.image)
    verticals, horizontals = tilted.truth_lines()
    dv = 90.0 - np.abs(corrected_angles(verticals, res.homography))
    dh = np.abs(corrected_angles(horizontals, res.homography))
    assert len(dv) > 5 and len(dh) > 5
    assert np.median(np.concatenate([dv, dh])) < 0.3 and max(dv.max(), dh.max()) < 1.0
    assert len(res.vertical) >= 3 and len(res.horizontal) >= 3


@pytest.mark.parametrize("crop", ["largest", "none"])
def test_the_mask_is_the_warp_of_an_all_white_source(tilted, crop):
    # the mask of an inside crop is found from the output's border alone
    res = straighten(tilted.image, crop=crop)
    full = np.full(tilted.image.shape, 255, np.uint8)
    warped = vantrell.warp_rgb(full, res.inverse, res.scale, res.off_x, res.off_y, "bilinear", res.out_size)
    assert np.array_equal(res.mask, warped[:, :, 0])


def test_crop_largest_is_all_valid_and_none_keeps_everything(tilted):
    largest = straighten(tilted.image, crop="largest")
    assert (largest.mask == 255).all()
    whole = straighten(tilted.image, crop="none")
    assert whole.mask.shape == whole.image.shape[:2]
    assert whole.mask[0, 0] == 0 or whole.mask[-1, -1] == 0 or whole.mask[0, -1] == 0
    # the valid part is the corrected picture: its area is the warped quadrilateral's
    h, w = tilted.image.shape[:2]
    quad = geo.apply_homography(whole.homography, [[0, 0], [w, 0], [w, h], [0, h]])
    assert (whole.mask == 255).sum() == pytest.approx(abs(geo.polygon_area(quad)), rel=0.02)
    assert (whole.image[whole.mask == 0] == 0).all()
    aspect = straighten(tilted.image, crop="aspect")
    assert aspect.out_size[0] / aspect.out_size[1] == pytest.approx(w / h, rel=0.02)
    assert aspect.out_size[0] * aspect.out_size[1] <= largest.out_size[0] * largest.out_size[1]


@pytest.mark.parametrize("roll", [6.0, -4.0])
@pytest.mark.parametrize("mode", ["rotation", "vertical", "both"])
def test_a_pure_rotation_is_undone(scenes, roll, mode):
    sc = scenes.facade(320, 240, roll=roll)
    g = straighten(sc.image, mode=mode).homography
    assert np.degrees(np.arctan2(g[1, 0], g[0, 0])) == pytest.approx(-roll, abs=0.1)
    if mode == "rotation":    # a rotation about the centre, nothing else
        assert g[2, :2].tolist() == [0.0, 0.0]
        assert g[:2, :2] @ g[:2, :2].T == pytest.approx(np.eye(2), abs=1e-12)


@pytest.mark.parametrize("mode", ["both", "vertical", "horizontal", "rotation"])
def test_a_level_scene_is_left_alone(scenes, mode):
    sc = scenes.facade(320, 240)
    res = straighten(sc.image, mode=mode)
    assert res.fitted and res.reason == ""
    assert np.array_equal(res.image, sc.image)
    assert res.inverse == (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)


def stripes(vertical):
    img = np.full((160, 200, 3), 90, np.uint8)
    for k in range(20, 180, 30):
        if vertical:
            img[:, k:k + 8] = 200
        else:
            img[k - 10:k, :] = 200
    return img


@pytest.mark.parametrize("image, mode, why", [
    (np.full((120, 160, 3), 128, np.uint8), "both", "too few near-vertical lines"),
    (np.random.default_rng(3).integers(0, 256, (120, 160, 3)).astype(np.uint8), "both", "too few"),
    (stripes(vertical=False), "vertical", "too few near-vertical lines"),
    (stripes(vertical=True), "horizontal", "too few near-horizontal lines"),
])
def test_too_few_lines_return_the_input_unchanged(image, mode, why):
    res = straighten(image, mode=mode)
    assert not res.fitted and why in res.reason
    assert np.array_equal(res.image, image) and res.image is not image
    assert np.array_equal(reproduce(image, res), image)


def test_corrections_that_blow_the_image_up_are_refused(scenes):
    sc = scenes.facade(320, 240, pitch=45.0, focal=120.0)
    res = straighten(sc.image, mode="vertical")
    assert not res.fitted and "times its area" in res.reason
    assert np.array_equal(res.image, sc.image)


@pytest.mark.parametrize("kwargs", [dict(mode="up"), dict(crop="square"), dict(filter="cubic")])
def test_unknown_options_are_value_errors(tilted, kwargs):
    with pytest.raises(ValueError):
        straighten(tilted.image, **kwargs)


SCRIPT = """
import hashlib, importlib.util, sys
import numpy as np
from vantrell_tools import flatten_page, straighten
spec = importlib.util.spec_from_file_location("scenes", sys.argv[1])
scenes = importlib.util.module_from_spec(spec); sys.modules['scenes'] = scenes
spec.loader.exec_module(scenes)
res = straighten(scenes.facade(320, 240, pitch=12.0, yaw=-10.0, roll=4.0, seed=2).image)
h = hashlib.sha256(res.image.tobytes() + res.mask.tobytes() + np.array(res.inverse).tobytes())
flat = flatten_page(scenes.page(320, 240, fill=0.7, seed=1).image)
f = hashlib.sha256(flat.image.tobytes() + flat.corners.tobytes() + np.array(flat.inverse).tobytes())
print(h.hexdigest(), res.out_size, res.off_x, res.off_y, f.hexdigest())
"""


def test_results_are_the_same_bits_twice_and_on_any_thread_count(tilted):
    # straighten and flatten_page, in two processes with one and two workers
    a, b = straighten(tilted.image), straighten(tilted.image)
    assert np.array_equal(a.image, b.image) and a.inverse == b.inverse
    scenes_path = pathlib.Path(__file__).resolve().parents[2] / "demo" / "scenes.py"
    outs = []
    for threads in ("1", "2"):
        # the child finds the packages where this process found them
        env = dict(os.environ, RAYON_NUM_THREADS=threads, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        run = subprocess.run([sys.executable, "-c", SCRIPT, str(scenes_path)], env=env,
                             capture_output=True, text=True, check=True)
        outs.append(run.stdout)
    assert outs[0] == outs[1]
    digest = hashlib.sha256(a.image.tobytes() + a.mask.tobytes() + np.array(a.inverse).tobytes())
    assert outs[0].split()[0] == digest.hexdigest()


def test_the_inside_test_agrees_with_the_warp_to_the_pixel(tilted):
    # every output pixel of a warp reaching well beyond the source, both ways
    from vantrell_tools.straighten import _inside
    res = straighten(tilted.image, crop="none")
    w, h = res.out_size
    ys, xs = np.mgrid[-20:h + 20, -20:w + 20]
    off_x, off_y = res.off_x - 20, res.off_y - 20
    full = np.full(tilted.image.shape, 255, np.uint8)
    warped = vantrell.warp_rgb(full, res.inverse, 1.0, off_x, off_y, "bilinear", (w + 40, h + 40))[:, :, 0]
    mine = _inside(tilted.image.shape[1], tilted.image.shape[0], res.inverse, off_x, off_y,
                   (xs + 20).ravel(), (ys + 20).ravel()).reshape(xs.shape)
    assert np.array_equal(mine, warped == 255)
    assert 0 < mine.mean() < 1
