import numpy as np
import pytest

import vantrell
from vantrell_tools import find_page, flatten_page, page_aspect

POSES = [dict(tilt=22.0, turn=-12.0, spin=9.0, aspect=210 / 297, seed=1),
         dict(tilt=-18.0, turn=15.0, spin=-20.0, aspect=1.4, seed=2)]


@pytest.fixture(scope="module", params=range(len(POSES)))
def sheet(request, scenes):
    return scenes.page(480, 360, fill=0.7, **POSES[request.param])


def test_find_page_puts_the_corners_on_the_sheet(sheet):
    assert sheet.visible
    corners = find_page(sheet.image)
    assert corners is not None and corners.shape == (4, 2)
    diag = np.hypot(480, 360)
    assert np.abs(corners - sheet.corners).max() < 0.005 * diag


def test_true_corners_flatten_to_the_true_shape_without_losing_detail(sheet):
    res = flatten_page(sheet.image, corners=sheet.corners)
    out_w, out_h = res.out_size
    assert res.fitted and res.image.shape == (out_h, out_w, 3)
    assert out_w / out_h == pytest.approx(sheet.aspect, rel=0.01)
    c = sheet.corners
    assert out_w >= max(np.linalg.norm(c[1] - c[0]), np.linalg.norm(c[2] - c[3])) - 0.5
    assert out_h >= max(np.linalg.norm(c[3] - c[0]), np.linalg.norm(c[2] - c[1])) - 0.5
    # the output's corners land on the page's corners
    out = np.array([[0, 0], [out_w, 0], [out_w, out_h], [0, out_h]], float)
    q = np.c_[out, np.ones(4)] @ res.homography.T
    assert q[:, :2] / q[:, 2:] == pytest.approx(c, abs=1e-6)


def test_a_found_page_reproduces_and_its_corners_give_the_same_warp(sheet):
    res = flatten_page(sheet.image, filter="bilinear")
    again = vantrell.warp_rgb(sheet.image, res.inverse, res.scale, res.off_x, res.off_y, res.filter, res.out_size)
    assert np.array_equal(again, res.image)
    back = flatten_page(sheet.image, corners=res.corners, filter="bilinear")
    assert np.array_equal(back.image, res.image) and back.inverse == res.inverse


def test_a_frontal_rectangle_flattens_to_its_own_pixels():
    rng = np.random.default_rng(4)
    img = rng.integers(0, 256, (120, 160, 3)).astype(np.uint8)
    corners = np.array([[30.0, 20.0], [130.0, 20.0], [130.0, 95.0], [30.0, 95.0]])
    assert page_aspect(corners, 160, 120) == pytest.approx(100 / 75)
    for filt in ("lanczos3", "bilinear"):
        res = flatten_page(img, corners=corners, filter=filt)
        assert res.out_size == (100, 75)
        assert np.array_equal(res.image, img[20:95, 30:130])


@pytest.mark.parametrize("aspect, portrait, expected", [
    ("a4", True, 210 / 297), ("a4", False, 297 / 210), ("letter", True, 8.5 / 11), (2.0, True, 2.0)])
def test_named_and_numeric_aspects(aspect, portrait, expected):
    img = np.zeros((200, 300, 3), np.uint16)
    corners = np.array([[100, 20], [180, 20], [180, 180], [100, 180]], float) if portrait else \
        np.array([[20, 50], [280, 50], [280, 150], [20, 150]], float)
    res = flatten_page(img, corners=corners, aspect=aspect)
    assert res.image.dtype == np.uint16
    assert res.out_size[0] / res.out_size[1] == pytest.approx(expected, abs=1.0 / res.out_size[1])


def test_no_page_leaves_the_picture_unchanged(scenes):
    desk = scenes.page(320, 240, fill=0.0001, seed=3).image      # a bare desk
    assert find_page(desk) is None
    res = flatten_page(desk)
    assert not res.fitted and res.reason == "no page found" and res.corners is None
    assert np.array_equal(res.image, desk)


@pytest.mark.parametrize("shift", [(0.0, 0.55), (-0.5, -0.5)])
def test_a_sheet_leaving_the_picture_gives_none(scenes, shift):
    sheet = scenes.page(480, 360, tilt=20.0, turn=-12.0, spin=10.0, fill=0.7, shift=shift, seed=4)
    assert not sheet.visible
    assert find_page(sheet.image) is None


@pytest.mark.parametrize("corners", [np.zeros((3, 2)),
                                     np.array([[0, 0], [10, 10], [10, 0], [0, 10]], float),
                                     np.array([[0, 0], [10, 0], [10, np.nan], [0, 10]])])
def test_bad_corners_are_value_errors(corners):
    with pytest.raises(ValueError):
        flatten_page(np.zeros((20, 20, 3), np.uint8), corners=corners)


def test_a_folded_corner_gives_the_sheet_or_nothing(scenes):
    sheet = scenes.page(480, 360, tilt=20.0, turn=-12.0, spin=10.0, fill=0.7, seed=4)
    img = sheet.image.copy()
    c = sheet.corners
    # the top-right corner folded under: a triangle of desk over a quarter of two sides
    a, b = c[1] + 0.25 * (c[0] - c[1]), c[1] + 0.25 * (c[2] - c[1])
    ys, xs = np.mgrid[0:360, 0:480] + 0.5
    sides = [(q[0] - p[0]) * (ys - p[1]) - (q[1] - p[1]) * (xs - p[0])
             for p, q in ((a, c[1]), (c[1], b), (b, a))]
    img[np.all([s >= 0 for s in sides], axis=0) | np.all([s <= 0 for s in sides], axis=0)] = (100, 70, 45)
    found = find_page(img)
    assert found is None or np.abs(found - c).max() < 0.01 * np.hypot(480, 360)
