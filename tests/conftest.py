import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

import vantrell


def make_segment(x1, y1, x2, y2, width=1.0, precision=0.125, log_nfa=1.0):
    """A Segment holding exactly these values.

    Python cannot construct a Segment, so the instance is allocated through the
    type's allocator and its seven doubles (the last 56 bytes of the instance)
    are written in place.
    """
    alloc = ctypes.pythonapi.PyType_GenericAlloc
    alloc.restype = ctypes.py_object
    alloc.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    seg = alloc(vantrell.Segment, 0)
    fields = (ctypes.c_double * 7).from_address(id(seg) + vantrell.Segment.__basicsize__ - 56)
    fields[:] = [x1, y1, x2, y2, width, precision, log_nfa]
    return seg


def draw_scene(height=240, width=320, seed=0):
    """A synthetic grayscale scene: a bright quadrilateral, a dark bar and a
    few thin lines on a smooth background, with a little noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    img = 60.0 + 40.0 * x / width
    # a tilted bright quadrilateral (half-planes)
    cx, cy = width * 0.45, height * 0.5
    a = np.deg2rad(12.0)
    u = (x - cx) * np.cos(a) + (y - cy) * np.sin(a)
    v = -(x - cx) * np.sin(a) + (y - cy) * np.cos(a)
    img[(np.abs(u) < width * 0.25) & (np.abs(v) < height * 0.28)] = 200.0
    # a dark vertical bar and a horizontal one
    img[int(height * 0.1):int(height * 0.9), int(width * 0.82):int(width * 0.86)] = 20.0
    img[int(height * 0.05):int(height * 0.09), int(width * 0.1):int(width * 0.7)] = 230.0
    # thin diagonal line
    d = np.abs((y - 0.2 * height) - 0.35 * (x - 0.05 * width))
    img[(d < 1.2) & (x > 0.05 * width) & (x < 0.6 * width)] = 250.0
    img += rng.normal(0.0, 2.0, img.shape)
    return np.clip(np.round(img), 0, 255).astype(np.uint8)


@pytest.fixture(scope="session")
def scene():
    return draw_scene()


def run_python(code, env=None, timeout=300):
    """Runs `code` in a fresh interpreter; returns its standard output."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    done = subprocess.run([sys.executable, "-c", code], env=full_env, capture_output=True,
                          text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


def segment_tuples(segments):
    return [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in segments]


def array_notes(param, obj, ndim, dtypes, channels=None):
    """The notes of a refused array argument: the parameter, then what was
    expected against what came, worded from NumPy's own names of the types."""
    def shape(n, c):
        return f"a {n}-D array" + (f" of {c} channels" if c else "")

    names = [str(np.dtype(d)) for d in dtypes]
    types = names[0] if len(names) == 1 else ", ".join(names[:-1]) + " or " + names[-1]
    expected = f"{shape(ndim, channels)} of {types} in native byte order"
    if obj is None:
        got = "None"
    elif not isinstance(obj, np.ndarray):
        got = f"a '{type(obj).__qualname__}' object"
    else:
        dt = obj.dtype
        got = f"{shape(obj.ndim, obj.shape[-1] if channels and obj.ndim == ndim else None)} of "
        got += str(dt.newbyteorder("="))
        if not dt.isnative:
            got += " in big-endian byte order" if dt.byteorder == ">" else " in little-endian byte order"
    return [f"while processing '{param}'", f"expected {expected}, got {got}"]
