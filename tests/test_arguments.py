"""Argument binding, conversion messages and notes, and the order of checks."""
import collections.abc

import numpy as np
import pytest

import vantrell
from conftest import array_notes

# The same signatures written in Python: binding failures must read exactly as
# the interpreter words them for these.
REFERENCE = {}
exec(
    "def detect(gray, scale=...): pass\n"
    "def warp_rgb(src, inverse, scale, off_x, off_y, filter='bilinear', out_size=None): pass\n"
    "def remap_rgb(src, map_x, map_y, filter='bilinear'): pass\n"
    "def remap_gray(src, map_x, map_y, filter='bilinear'): pass\n",
    REFERENCE,
)

BINDING_CALLS = [
    ("detect", (), {}),
    ("detect", (1, 2, 3), {}),
    ("detect", (1,), {"gray": 2}),
    ("detect", (1, 2), {"scale": 2}),
    ("detect", (), {"k": 1}),
    ("detect", (1,), {"k": 1, "scale": 2}),
    ("detect", (), {"scale": 1.0}),
    ("warp_rgb", (), {}),
    ("warp_rgb", (1,), {}),
    ("warp_rgb", (1, 2, 3), {}),
    ("warp_rgb", (1, 2, 3, 4, 5, 6, 7, 8), {}),
    ("warp_rgb", (1,), {"off_y": 1, "scale": 2}),
    ("warp_rgb", (1, 2, 3, 4, 5, 6, 7, 8), {"k": 0}),
    ("warp_rgb", (1, 2, 3, 4, 5, 6, 7, 8), {"src": 0}),
    ("remap_rgb", (), {}),
    ("remap_rgb", (1,), {}),
    ("remap_rgb", (1, 2), {}),
    ("remap_rgb", (1, 2, 3, 4, 5), {}),
    ("remap_gray", (), {"map_y": 1}),
    ("remap_gray", (1, 2, 3), {"filter": 1, "zzz": 2}),
]


@pytest.mark.parametrize("name, args, kwargs", BINDING_CALLS)
def test_binding_failures_read_as_the_interpreter_words_them(name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        REFERENCE[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(vantrell, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)
    assert not getattr(got.value, "__notes__", None)


def test_unexpected_keyword_names_only_the_keyword():
    with pytest.raises(TypeError) as info:
        vantrell.remap_gray(1, 2, 3, fliter="bilinear")
    assert str(info.value) == "remap_gray() got an unexpected keyword argument 'fliter'"


def failure(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return type(info.value), str(info.value), getattr(info.value, "__notes__", [])


IMG = np.zeros((8, 8), np.uint8)
RGB = np.zeros((6, 7, 3), np.uint8)
MAP = np.zeros((4, 5), np.float32)
EYE = [1, 0, 0, 0, 1, 0, 0, 0, 1]


class Floaty:
    def __float__(self):
        return 0.5


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize("scale", [1, 0.5, np.float32(0.75), np.int64(2), Floaty(), Indexy(), True])
def test_scale_accepts_the_float_protocol(scale):
    assert vantrell.detect(IMG, scale) == []
    assert vantrell.detect(IMG, scale=scale) == []


@pytest.mark.parametrize("scale, exc", [
    (None, TypeError), ("0.8", TypeError), ([0.8], TypeError), (10**400, OverflowError),
])
def test_bad_scale_raises_the_conversion_error_with_a_note(scale, exc):
    kind, message, notes = failure(vantrell.detect, IMG, scale)
    assert kind is exc
    assert notes == ["while processing 'scale'"]
    # the scale is converted before the image is looked at
    assert failure(vantrell.detect, "not an array", scale)[2] == ["while processing 'scale'"]


@pytest.mark.parametrize("gray", [
    [[0, 1], [2, 3]], np.zeros((4, 4), np.int32), np.zeros((4, 4), bool), np.zeros((4, 4, 1), np.uint8),
    np.zeros((4, 4), ">f8"), np.zeros((4, 4), np.float16), np.zeros((4, 4), np.complex128),
    np.zeros(16, np.uint8), np.uint8(3), None,
])
def test_detect_refuses_other_arrays(gray):
    kind, message, notes = failure(vantrell.detect, gray)
    assert (kind, message, notes) == (
        TypeError, "detect expects a (height, width) array of uint8, uint16, float32 or float64",
        array_notes("gray", gray, 2, ["float64", "float32", "uint8", "uint16"]))


@pytest.mark.parametrize("bad, expected", [
    (None, "'None' is not an instance of 'ndarray'"),
    ([[0.0]], "'list' object is not an instance of 'ndarray'"),
    (np.zeros((4, 5)), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((4, 5), ">f4"), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((4, 5, 1), np.float32), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((4, 5), "<f4").view(">f4"), "'ndarray' object is not an instance of 'ndarray'"),
])
@pytest.mark.parametrize("fn", [vantrell.remap_rgb, vantrell.remap_gray])
def test_maps_must_be_2d_float32(fn, bad, expected):
    assert failure(fn, RGB, bad, MAP) == (TypeError, expected, array_notes("map_x", bad, 2, ["float32"]))
    assert failure(fn, RGB, MAP, bad) == (TypeError, expected, array_notes("map_y", bad, 2, ["float32"]))


def test_the_note_on_a_wrong_map_says_what_came():
    notes = failure(vantrell.remap_rgb, RGB, np.zeros((4, 5)), MAP)[2]
    assert notes[1] == "expected a 2-D array of float32 in native byte order, got a 2-D array of float64"


@pytest.mark.parametrize("fn, src, message", [
    (vantrell.remap_rgb, np.zeros((6, 7, 4), np.uint8),
     "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps"),
    (vantrell.remap_rgb, np.zeros((6, 7), np.uint8),
     "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps"),
    (vantrell.remap_rgb, np.zeros((6, 7, 3), np.int16),
     "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps"),
    (vantrell.remap_gray, np.zeros((6, 7, 1), np.uint8),
     "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps"),
    (vantrell.remap_gray, np.zeros((6, 7), bool),
     "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps"),
    (vantrell.remap_gray, np.zeros((6, 7), ">u2"),
     "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps"),
])
def test_remap_refuses_other_sources(fn, src, message):
    channels = 3 if fn is vantrell.remap_rgb else None
    notes = array_notes("src", src, 2 if channels is None else 3, ["uint8", "uint16"], channels)
    assert failure(fn, src, MAP, MAP) == (TypeError, message, notes)


@pytest.mark.parametrize("name, shown", [
    ("Bilinear", "Bilinear"),
    ("Nearest", "Nearest"),
    (" bilinear", " bilinear"),
    ("bilinear ", "bilinear "),
    ("lanczos", "lanczos"),
    ("", ""),
    ('a"b\\c', 'a\\"b\\\\c'),
    ("t\tr\rn\nz\0", "t\\tr\\rn\\nz\\0"),
    ("it's", "it's"),
    ("é→日本", "é→日本"),
    ("bilinear\u00a0", "bilinear\\u{a0}"),       # no-break space (Zs)
    ("\u200bx", "\\u{200b}x"),                    # zero-width space (Cf)
    ("e\u0301", "e\\u{301}"),                     # combining acute (Mn)
    ("\x7f\x1b", "\\u{7f}\\u{1b}"),               # controls (Cc)
    ("\ue000", "\\u{e000}"),                      # private use (Co)
    ("\u2028\u2029", "\\u{2028}\\u{2029}"),       # line and paragraph separators
    ("\ud800", "\\u{d800}"),                      # lone surrogate (Cs)
    ("\U0010ffff", "\\u{10ffff}"),                # unassigned (Cn)
    ("\u09be", "\\u{9be}"),                       # spacing mark that extends a grapheme
])
@pytest.mark.parametrize("fn", [vantrell.remap_rgb, vantrell.warp_rgb])
def test_unknown_filter_names_are_quoted_escaped(fn, name, shown):
    args = (RGB, MAP, MAP) if fn is vantrell.remap_rgb else (RGB, EYE, 1, 0, 0)
    expected = f'unknown filter "{shown}", expected "bilinear" or "lanczos3"'
    assert failure(fn, *args, filter=name) == (ValueError, expected, [])


@pytest.mark.parametrize("fn", [vantrell.remap_rgb, vantrell.remap_gray, vantrell.warp_rgb])
@pytest.mark.parametrize("bad, shown", [(None, "'None' is"), (b"bilinear", "'bytes' object is"),
                                        (1, "'int' object is")])
def test_filter_must_be_a_str(fn, bad, shown):
    args = (RGB, EYE, 1, 0, 0) if fn is vantrell.warp_rgb else (RGB, MAP, MAP)
    assert failure(fn, *args, filter=bad) == (
        TypeError, f"{shown} not an instance of 'str'", ["while processing 'filter'"])


def test_remap_check_order():
    bad_src = np.zeros((3, 3), np.float32)
    # a bad map before a bad filter, a bad filter before a bad source,
    # a bad source before unequal shapes
    assert failure(vantrell.remap_rgb, bad_src, None, None, "x")[2][0] == "while processing 'map_x'"
    assert failure(vantrell.remap_rgb, bad_src, MAP, None, "x")[2][0] == "while processing 'map_y'"
    assert failure(vantrell.remap_rgb, bad_src, MAP, MAP, 3)[2] == ["while processing 'filter'"]
    assert failure(vantrell.remap_rgb, bad_src, MAP, MAP, "x")[0] is ValueError
    assert failure(vantrell.remap_rgb, bad_src, MAP, MAP.T.copy())[0] is TypeError
    assert failure(vantrell.remap_rgb, RGB, MAP, MAP.T.copy()) == (
        ValueError, "map_x and map_y must have the same shape", [])
    assert failure(vantrell.remap_gray, RGB[..., 0], MAP, MAP[:, :4]) == (
        ValueError, "map_x and map_y must have the same shape", [])


class NotASequence:
    pass


@pytest.mark.parametrize("inverse, kind, message", [
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    (NotASequence(), TypeError, "'NotASequence' object is not an instance of 'Sequence'"),
    ({"a": 1}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (np.eye(3), ValueError, "expected a sequence of length 9 (got 3)"),
    ([1] * 8, ValueError, "expected a sequence of length 9 (got 8)"),
    ([1] * 10, ValueError, "expected a sequence of length 9 (got 10)"),
    ([1, 0, 0, 0, 1, 0, 0, 0, "1"], TypeError, "must be real number, not str"),
    ([1, 0, 0, 0, 1, 0, 0, 0, None], TypeError, "must be real number, not NoneType"),
    ("abcdefghi", TypeError, "must be real number, not str"),
])
def test_inverse_conversion(inverse, kind, message):
    assert failure(vantrell.warp_rgb, RGB, inverse, 1, 0, 0) == (
        kind, message, ["while processing 'inverse'"])


@pytest.mark.parametrize("inverse", [EYE, tuple(EYE), np.eye(3).ravel(), np.eye(3, dtype=np.float32).ravel(),
                                     [float(v) for v in EYE], range(0, 9)])
def test_inverse_accepts_sequences_of_nine_numbers(inverse):
    assert vantrell.warp_rgb(RGB, inverse, 1, 0, 0).shape == RGB.shape


@pytest.mark.parametrize("position, name", [(2, "scale"), (3, "off_x"), (4, "off_y")])
def test_warp_scalars_carry_their_note(position, name):
    args = [RGB, EYE, 1, 0, 0]
    args[position] = "x"
    kind, _, notes = failure(vantrell.warp_rgb, *args)
    assert (kind, notes) == (TypeError, [f"while processing '{name}'"])


class TupleChild(tuple):
    pass


@pytest.mark.parametrize("out_size, kind, message", [
    ([640, 480], TypeError, "'list' object is not an instance of 'tuple'"),
    ((640, 480, 1), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ((640,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ((640.0, 480), TypeError, "'float' object cannot be interpreted as an integer"),
    ((-1, 480), OverflowError, None),
    ((640, 2**64), OverflowError, None),
])
def test_out_size_conversion(out_size, kind, message):
    got = failure(vantrell.warp_rgb, RGB, EYE, 1, 0, 0, out_size=out_size)
    assert got[0] is kind and got[2] == ["while processing 'out_size'"]
    if message is not None:
        assert got[1] == message


@pytest.mark.parametrize("out_size, shape", [
    (None, (6, 7, 3)), ((640, 480), (480, 640, 3)), (TupleChild((5, 4)), (4, 5, 3)),
    ((np.int64(3), Indexy()), (3, 3, 3)), ((9, 0), (0, 9, 3)), ((0, 4), (4, 0, 3)),
])
def test_out_size_gives_width_then_height(out_size, shape):
    out = vantrell.warp_rgb(RGB, EYE, 1, 0, 0, out_size=out_size)
    assert out.shape == shape and out.dtype == np.uint8


def test_warp_checks_everything_before_the_source():
    bad = np.zeros((6, 7, 4), np.uint8)
    assert failure(vantrell.warp_rgb, bad, EYE, 1, 0, 0, "x")[0] is ValueError
    assert failure(vantrell.warp_rgb, bad, EYE, 1, 0, 0, out_size=[1, 2])[0] is TypeError
    for src in (bad, np.zeros((6, 7), np.uint8), np.zeros((6, 7, 3), np.float32), None,
                np.zeros((6, 7, 3), ">u2")):
        assert failure(vantrell.warp_rgb, src, EYE, 1, 0, 0) == (
            TypeError, "warp_rgb expects a (height, width, 3) array of uint8 or uint16",
            array_notes("src", src, 3, ["uint8", "uint16"], 3))


def test_sequence_name_matches_the_abstract_class():
    assert collections.abc.Sequence.__name__ == "Sequence"
