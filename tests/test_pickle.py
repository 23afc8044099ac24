"""Segments survive pickle and copy: every protocol, awkward values, real
detector output, process pools; forged payloads are refused cleanly."""
import concurrent.futures
import copy
import multiprocessing
import pickle
import struct

import numpy as np
import pytest

import vantrell
from conftest import draw_scene, make_segment, segment_tuples

FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(seg):
    return struct.pack("<7d", *(getattr(seg, name) for name in FIELDS))


QUIET_NAN_WITH_PAYLOAD = from_bits(0x7FF8_0000_0000_1234)
NEGATIVE_NAN = from_bits(0xFFF8_0000_0000_0000)
SIGNALLING_NAN = from_bits(0x7FF0_0000_0000_0001)

AWKWARD = [
    pytest.param((0.0, -0.0, 0.0, -0.0, -0.0, 0.0, -0.0), id="signed-zeros"),
    pytest.param((float("inf"), float("-inf"), 1e308, -1e308, 5e-324, -5e-324, 1e20), id="extremes"),
    pytest.param((QUIET_NAN_WITH_PAYLOAD, 1.0, 2.0, 3.0, NEGATIVE_NAN, SIGNALLING_NAN, 0.1), id="nans"),
    pytest.param((10.0, 20.25, 30.5, 40.0, 2.0, 0.125 / 64, 12.5), id="ordinary"),
]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("values", AWKWARD)
def test_pickle_round_trip_keeps_every_bit_and_the_repr(values, protocol):
    seg = make_segment(*values)  # written through memory, not through the reconstructor
    back = pickle.loads(pickle.dumps(seg, protocol))
    assert type(back) is vantrell.Segment
    assert repr(back) == repr(seg)
    if protocol == 0 and any(v != v for v in values):
        # Protocol 0 writes a float as its text: a NaN comes back as a NaN
        # (as a plain float does), the other fields bit for bit.
        for name in FIELDS:
            a, b = getattr(seg, name), getattr(back, name)
            assert (a != a and b != b) or struct.pack("<d", a) == struct.pack("<d", b)
    else:
        assert bits_of(back) == bits_of(seg)


@pytest.mark.parametrize("values", AWKWARD)
def test_reconstructor_stores_its_arguments_unchanged(values):
    assert bits_of(vantrell.Segment._from_fields(*values)) == bits_of(make_segment(*values))
    by_name = vantrell.Segment._from_fields(**dict(zip(FIELDS, values)))
    assert bits_of(by_name) == bits_of(make_segment(*values))


def test_copies_are_new_segments_with_the_same_fields(scene):
    segs = vantrell.detect(scene)
    assert segs
    shallow = copy.copy(segs[0])
    deep = copy.deepcopy({"segments": segs, "again": segs[0]})
    for twin in (shallow, deep["segments"][0]):
        assert type(twin) is vantrell.Segment
        assert twin is not segs[0] and twin != segs[0]  # identity comparison stays
        assert bits_of(twin) == bits_of(segs[0])
    assert [bits_of(s) for s in deep["segments"]] == [bits_of(s) for s in segs]
    # deepcopy's memo keeps shared references shared
    assert deep["again"] is deep["segments"][0]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_detector_output_round_trips(scene, protocol):
    segs = vantrell.detect(scene)
    back = pickle.loads(pickle.dumps(segs, protocol))
    assert [bits_of(s) for s in back] == [bits_of(s) for s in segs]
    assert [repr(s) for s in back] == [repr(s) for s in segs]
    assert [(s.angle, s.length) for s in back] == [(s.angle, s.length) for s in segs]


START_METHODS = [m for m in ("fork", "forkserver", "spawn")
                 if m in multiprocessing.get_all_start_methods()]


def executor_map(context, images):
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        return list(pool.map(vantrell.detect, images))


def pool_map(context, images):
    with context.Pool(2) as pool:
        return pool.map(vantrell.detect, images)


# The parent's worker threads are not inherited: the pool is rebuilt in a
# forked child, so the interpreter's warning about forking with threads is moot.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("mapper", [executor_map, pool_map])
@pytest.mark.parametrize("method", START_METHODS)
def test_process_pool_maps_equal_a_plain_loop(scene, mapper, method):
    vantrell.detect(scene)  # the parent's worker pool exists before any fork
    images = [draw_scene(120, 160, seed) for seed in range(4)] + [scene]
    expected = [segment_tuples(vantrell.detect(img)) for img in images]
    got = mapper(multiprocessing.get_context(method), images)
    assert [segment_tuples(segs) for segs in got] == expected
    assert all(type(s) is vantrell.Segment for segs in got for s in segs)


class Forged:
    """Pickles as a call of the reconstructor with whatever arguments."""

    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return vantrell.Segment._from_fields, self.args


class StrangeFloat(float):
    def __float__(self):
        raise AssertionError("the reconstructor reads the stored value")


@pytest.mark.parametrize("args, error, text", [
    ((1.0,) * 6, TypeError, "missing 1 required positional argument: 'log_nfa'"),
    ((), TypeError, "missing 7 required positional arguments"),
    ((1.0,) * 8, TypeError, "takes 7 positional arguments but 8 were given"),
    ((1.0,) * 1_000_000, TypeError, "takes 7 positional arguments but 1000000 were given"),
    (([1.0] * 7,), TypeError, "missing 6 required positional arguments"),
    ((1.0,) * 6 + (1,), TypeError, "'int' object is not an instance of 'float'"),
    ((1.0, "2", 3.0, 4.0, 5.0, 6.0, 7.0), TypeError, "'str' object is not an instance of 'float'"),
    ((1.0, 2.0, None, 4.0, 5.0, 6.0, 7.0), TypeError, "'None' is not an instance of 'float'"),
    ((1.0,) * 6 + (np.float32(1.0),), TypeError, "'float32' object is not an instance of 'float'"),
])
def test_forged_payloads_are_refused_cleanly(args, error, text):
    data = pickle.dumps(Forged(*args))
    with pytest.raises(error, match=text.replace("(", r"\(")) as info:
        pickle.loads(data)
    if "instance" in text:
        bad = next(i for i, a in enumerate(args) if type(a) is not float)
        assert info.value.__notes__ == [f"while processing '{FIELDS[bad]}'"]


def test_float_subclasses_are_read_as_stored():
    values = (np.float64(1.5), StrangeFloat(2.5), 3.0, 4.0, 5.0, 0.125, 9.0)
    seg = pickle.loads(pickle.dumps(Forged(*values)))
    assert bits_of(seg) == struct.pack("<7d", *values)


def test_reconstructor_refuses_keywords_it_does_not_know():
    with pytest.raises(TypeError, match="unexpected keyword argument 'angle'"):
        vantrell.Segment._from_fields(*(1.0,) * 7, angle=0.0)
