"""The module object and the Segment class."""
import inspect
import math

import pytest

import vantrell
from conftest import make_segment


def test_module_attributes_in_installation_order():
    assert vantrell.__all__ == ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]
    assert vantrell.__doc__ == ""
    for name in vantrell.__all__[1:]:
        fn = getattr(vantrell, name)
        assert fn.__name__ == name
        assert fn.__module__ == "vantrell"


@pytest.mark.parametrize("name, signature, doc", [
    ("detect", "(gray, scale=Ellipsis)",
     "Find the validated line segments of a grayscale image."),
    ("warp_rgb", "(src, inverse, scale, off_x, off_y, filter='bilinear', out_size=None)",
     "Perspective-warp an RGB image through an inverse homography."),
    ("remap_rgb", "(src, map_x, map_y, filter='bilinear')",
     "Resample an RGB image through a coordinate map: output pixel (x, y)\n"
     "takes its value from source position (map_x[y, x], map_y[y, x])."),
    ("remap_gray", "(src, map_x, map_y, filter='bilinear')",
     "Resample a single-channel image (a mask) through a coordinate map."),
])
def test_text_signatures_and_docstrings(name, signature, doc):
    fn = getattr(vantrell, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc


def test_segment_class_shape():
    S = vantrell.Segment
    assert (S.__module__, S.__name__, S.__qualname__) == ("vantrell", "Segment", "Segment")
    assert S.__doc__ == "One detected line segment, in input-image coordinates."
    assert S.angle.__doc__ == "Direction in degrees, -90 to 90, 0 = horizontal."
    assert S.length.__doc__ == "Length in pixels."
    for field in ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa"):
        assert getattr(S, field).__doc__ is None
    with pytest.raises(TypeError):
        S()
    with pytest.raises(TypeError):
        class Sub(S):
            pass


def test_segment_fields_are_read_only_and_compare_by_identity():
    a = make_segment(1.0, 2.0, 3.0, 4.0, 5.0, 0.0625, 7.5)
    b = make_segment(1.0, 2.0, 3.0, 4.0, 5.0, 0.0625, 7.5)
    assert (a.x1, a.y1, a.x2, a.y2, a.width, a.precision, a.log_nfa) == (1, 2, 3, 4, 5, 0.0625, 7.5)
    assert a != b and a == a
    assert hash(a) != hash(b)
    for name in ("x1", "angle", "length", "new_attribute"):
        with pytest.raises(AttributeError):
            setattr(a, name, 0.0)
    assert a.x1 == 1.0
    assert not hasattr(a, "__dict__")
    assert str(a) == repr(a)


@pytest.mark.parametrize("ends, angle", [
    ((0, 10, 0, 0), 90.0),
    ((0, 0, 0, 10), 90.0),
    ((10, 0, 0, 0), 0.0),
    ((0, 0, -10, 10), -45.0),
    ((0, 0, 10, 10), 45.0),
    ((3, 3, 3, 3), 0.0),
])
def test_angle_worked_examples(ends, angle):
    assert make_segment(*ends).angle == angle


def test_angle_never_reports_minus_ninety_and_is_symmetric():
    for x, y in [(1, 2), (-3, 1), (5, -7), (0.001, -9), (1e-9, 1)]:
        a = make_segment(0, 0, x, y)
        b = make_segment(x, y, 0, 0)
        assert -90.0 < a.angle <= 90.0
        assert a.angle == pytest.approx(b.angle, abs=1e-12)


def test_length_and_nan():
    assert make_segment(0, 0, 3, 4).length == 5.0
    assert make_segment(1, 1, 1, 1).length == 0.0
    s = make_segment(float("nan"), 0, 1, 1)
    assert math.isnan(s.angle) and math.isnan(s.length)


@pytest.mark.parametrize("value", [
    0.25, 0.75, 1.05, -0.04, -0.0, 0.0, 1e20, -1e20, 123.456, 2.5e-5, 1.7976931348623157e308,
    float("inf"), float("-inf"),
])
def test_repr_digits_are_correctly_rounded_fixed_point(value):
    s = make_segment(value, 20.25, 30.5, 40.0, value)
    text = format(value, ".1f")  # the exact binary value, ties to even, no exponent
    assert repr(s) == f"Segment(({text}, 20.2)-(30.5, 40.0), width={text})"


def test_repr_worked_example_and_nan():
    assert repr(make_segment(10, 20.25, 30.5, 40, 2)) == "Segment((10.0, 20.2)-(30.5, 40.0), width=2.0)"
    nan = float("nan")
    assert repr(make_segment(nan, -nan, 0, 0, nan)) == "Segment((NaN, NaN)-(0.0, 0.0), width=NaN)"
    assert repr(make_segment(0.25, 0.75, 1.05, -0.04, 1e20)) == \
        "Segment((0.2, 0.8)-(1.1, -0.0), width=100000000000000000000.0)"
