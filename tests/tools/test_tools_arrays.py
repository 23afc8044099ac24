from fractions import Fraction

import numpy as np
import pytest

import vantrell
from vantrell_tools import draw_segments, segments_array, segments_from_array, to_gray
from vantrell_tools.arrays import EDGE_OFFSET


@pytest.fixture(scope="module")
def found():
    img = np.full((120, 160), 40, np.uint8)
    img[30:90, 40:130] = 200
    img[60:64, 10:150] = 90
    return img, vantrell.detect(img)


def test_segments_array_holds_the_fields_in_order(found):
    _, segs = found
    table = segments_array(segs)
    assert table.shape == (len(segs), 7) and table.dtype == np.float64
    for row, s in zip(table, segs):
        assert row.tolist() == [s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa]
    again = segments_array(table)
    assert np.array_equal(again, table) and again is not table
    assert segments_array([]).shape == (0, 7)


@pytest.mark.parametrize("bad", [np.zeros((3, 6)), np.zeros(7)])
def test_segments_array_refuses_other_shapes(bad):
    with pytest.raises(ValueError):
        segments_array(bad)


@pytest.mark.skipif(not hasattr(vantrell.Segment, "_from_fields"),
                    reason="this build cannot make Segment objects from values")
def test_segments_from_array_round_trips_to_the_bit(found):
    _, segs = found
    table = segments_array(segs)
    table[0, 0] = np.nextafter(table[0, 0], np.inf)         # a value the detector never made
    back = segments_from_array(table)
    assert all(isinstance(s, vantrell.Segment) for s in back)
    assert np.array_equal(segments_array(back), table)


def rounded_gray(r, g, b):
    """Half-up rounding of the BT.601 weighted mean, in exact fractions."""
    v = Fraction(299 * int(r) + 587 * int(g) + 114 * int(b), 1000)
    return int(v + Fraction(1, 2)) if v >= 0 else None


@pytest.mark.parametrize("dtype, top", [(np.uint8, 255), (np.uint16, 65535)])
def test_to_gray_rounds_the_weighted_mean_exactly(dtype, top):
    rng = np.random.default_rng(5)
    rgb = rng.integers(0, top + 1, (7, 9, 3)).astype(dtype)
    rgb[0, 0] = (0, 0, 250)        # 28.5 exactly: rounds up to 29
    rgb[0, 1] = (top, top, top)    # weights sum to one: white stays white
    gray = to_gray(rgb)
    assert gray.dtype == dtype and gray.shape == (7, 9)
    expected = np.array([[rounded_gray(*px) for px in row] for row in rgb])
    assert np.array_equal(gray, expected)
    assert gray[0, 0] == 29 and gray[0, 1] == top


def test_to_gray_passes_2d_images_through():
    g = np.arange(12, dtype=np.uint16).reshape(3, 4)
    assert to_gray(g) is g
    with pytest.raises(TypeError):
        to_gray(np.zeros((3, 4), np.float32))


def test_draw_segments_colours_the_stroke_and_fades_the_rest():
    img = np.full((60, 80), 100, np.uint8)
    seg = np.array([[10.0 - EDGE_OFFSET, 30.0 - EDGE_OFFSET, 70.0 - EDGE_OFFSET, 30.0 - EDGE_OFFSET,
                     1.0, 0.125, 5.0]])
    out = draw_segments(img, seg, line_width=3.0)
    assert out.shape == (60, 80, 3) and out.dtype == np.uint8
    faded = np.floor(100 * 0.5 + 60.0 + 0.5)
    assert (out[5, 5] == faded).all() and (out[55, 75] == faded).all()
    # a horizontal stroke along y = 30: full red-dominant colour on the line
    on = out[29, 40].astype(int)
    assert on[0] == 255 and on[0] > on[1] + 100 and on[0] > on[2] + 100
    # the stroke is three pixels wide: rows 28 .. 30 covered, 26 and 32 not
    assert (out[[26, 32], 40] == faded).all()
    assert not (out[[28, 30], 40] == faded).all(axis=1).any()


def test_draw_segments_by_log_nfa_tells_weak_from_strong():
    img = np.zeros((40, 100, 3), np.uint16)
    segs = np.array([[5, 10, 95, 10, 1, 0.125, 1.0], [5, 30, 95, 30, 1, 0.125, 1000.0]])
    out = draw_segments(img, segs, color_by="log_nfa")
    weak, strong = out[10, 50].astype(int), out[30, 50].astype(int)
    assert strong.sum() > weak.sum() + 200          # yellow over dark blue
    with pytest.raises(ValueError):
        draw_segments(img, segs, color_by="length")


def test_draw_segments_default_width_grows_with_the_image():
    seg = np.array([[0.0, 0.0, 0.0, 0.0, 1, 0.125, 1.0]])
    counts = []
    for side in (200, 2000):
        img = np.zeros((side // 2, side), np.uint8)
        seg[0, :4] = (side * 0.1, side * 0.25, side * 0.9, side * 0.25)
        out = draw_segments(img, seg)
        counts.append(int((out[:, side // 2] != out[0, 0]).any(axis=1).sum()))
    # at least 1/400 of the longer side, so that it survives showing the picture small
    assert counts[0] >= 2 and counts[1] >= 2000 / 400 and counts[1] > counts[0]
