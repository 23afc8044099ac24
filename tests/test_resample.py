"""remap_rgb, remap_gray and warp_rgb: what the resampled pixels must be."""
import math

import numpy as np
import pytest

import vantrell
from conftest import run_python

EYE = [1, 0, 0, 0, 1, 0, 0, 0, 1]
DTYPES = [np.uint8, np.uint16]
FILTERS = ["bilinear", "lanczos3"]


def noise(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, np.iinfo(dtype).max + 1, size=shape, dtype=dtype)


def identity_maps(h, w):
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    return x, y


# A reference of the two samplers written from their definitions, one position
# at a time, in plain Python floats (IEEE doubles, the C library's sin).
def lanczos(d):
    if d == 0:
        return 1.0
    if abs(d) >= 3:
        return 0.0
    a = d * 3.141592653589793
    b = a / 3
    return (math.sin(a) / a) * (math.sin(b) / b)


def table_entry(i):
    t = i * 0.0009765625
    raw = [lanczos(t + 2 - k) for k in range(6)]
    s = 0.0
    for r in raw:
        s += r
    return [r / s for r in raw]


def store(v, top):
    v = v + 0.5
    if v != v or v < 0:
        return 0
    return top if v > top else int(v)


def reference_sample(src, x, y, flt):
    h, w = src.shape[:2]
    top = np.iinfo(src.dtype).max
    pix = src.reshape(h, w, -1).astype(np.float64)
    if x < -0.5 or x > w - 0.5 or y < -0.5 or y > h - 0.5 or w == 0 or h == 0:
        return None
    fx, fy = math.floor(x) if x == x else x, math.floor(y) if y == y else y
    ix = int(fx) if fx == fx else 0
    iy = int(fy) if fy == fy else 0
    clamp = lambda v, n: min(max(v, 0), n - 1)
    if flt == "bilinear":
        dx, dy = x - fx, y - fy
        x0, x1, y0, y1 = clamp(ix, w), clamp(ix + 1, w), clamp(iy, h), clamp(iy + 1, h)
        w00, w10, w01, w11 = (1 - dx) * (1 - dy), dx * (1 - dy), (1 - dx) * dy, dx * dy
        return [store(((w00 * pix[y0, x0, c] + w10 * pix[y0, x1, c]) + w01 * pix[y1, x0, c])
                      + w11 * pix[y1, x1, c], top) for c in range(pix.shape[2])]
    tx = (x - fx) * 1024
    ty = (y - fy) * 1024
    tx = 0 if tx != tx else int(math.floor(tx + 0.5))
    ty = 0 if ty != ty else int(math.floor(ty + 0.5))
    wx, wy = table_entry(tx), table_entry(ty)
    out = []
    for c in range(pix.shape[2]):
        acc = 0.0
        for j in range(6):
            for k in range(6):
                acc += (wy[j] * wx[k]) * pix[clamp(iy - 2 + j, h), clamp(ix - 2 + k, w), c]
        out.append(store(acc, top))
    return out


def check_against_reference(src, out, xs, ys, flt):
    for (yy, xx), (sx, sy) in zip(np.ndindex(*xs.shape), zip(xs.ravel(), ys.ravel())):
        want = reference_sample(src, float(sx), float(sy), flt)
        got = out.reshape(xs.shape + (-1,))[yy, xx].tolist()
        assert got == (want if want is not None else [0] * len(got)), (sx, sy)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_identity_maps_and_matrix_reproduce_the_source(dtype, flt):
    rgb = noise((23, 31, 3), dtype)
    gray = noise((23, 31), dtype, 1)
    mx, my = identity_maps(23, 31)
    np.testing.assert_array_equal(vantrell.remap_rgb(rgb, mx, my, flt), rgb)
    np.testing.assert_array_equal(vantrell.remap_gray(gray, mx, my, filter=flt), gray)
    np.testing.assert_array_equal(vantrell.warp_rgb(rgb, EYE, 1, 0, 0, flt), rgb)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_random_positions_match_the_reference(dtype, flt):
    src = noise((9, 11, 3), dtype, 2)
    rng = np.random.default_rng(3)
    xs = rng.uniform(-1.5, 12.0, (6, 7)).astype(np.float32)
    ys = rng.uniform(-1.5, 10.0, (6, 7)).astype(np.float32)
    special = np.array([-0.5, 10.5, np.nan, np.inf, -np.inf, 0.25, 5.5], np.float32)
    xs[0, :], ys[1, :] = special, special
    xs[2, :], ys[2, :] = special, special[::-1]
    check_against_reference(src, vantrell.remap_rgb(src, xs, ys, flt), xs, ys, flt)
    check_against_reference(src[..., 1].copy(), vantrell.remap_gray(src[..., 1].copy(), xs, ys, flt),
                            xs, ys, flt)


@pytest.mark.parametrize("dtype", DTYPES)
def test_constant_map_is_the_rounded_half_up_mean(dtype):
    src = noise((4, 6, 3), dtype, 4)
    mx = np.full((3, 5), 2.5, np.float32)
    my = np.zeros((3, 5), np.float32)
    out = vantrell.remap_rgb(src, mx, my)
    want = (src[0, 2].astype(np.int64) + src[0, 3] + 1) // 2
    assert out.shape == (3, 5, 3) and out.dtype == dtype
    assert (out == want.astype(dtype)).all()


@pytest.mark.parametrize("flt", FILTERS)
def test_borders_are_inclusive_and_a_hair_beyond_is_outside(flt):
    src = noise((5, 7), np.uint8, 5) | 1  # no zero samples
    w, h = 7, 5
    edge = np.float32
    inside = [(-0.5, 2), (w - 0.5, 2), (3, -0.5), (3, h - 0.5)]
    outside = [(np.nextafter(edge(-0.5), edge(-1)), 2), (np.nextafter(edge(w - 0.5), edge(w)), 2),
               (3, np.nextafter(edge(-0.5), edge(-1))), (3, np.nextafter(edge(h - 0.5), edge(h)))]
    pts = inside + outside
    mx = np.array([[p[0] for p in pts]], np.float32)
    my = np.array([[p[1] for p in pts]], np.float32)
    out = vantrell.remap_gray(src, mx, my, flt)[0]
    assert (out[:4] > 0).all() and (out[4:] == 0).all()
    if flt == "bilinear":
        assert out[0] == src[2, 0] and out[1] == src[2, w - 1]
        assert out[2] == src[0, 3] and out[3] == src[h - 1, 3]


def test_halfway_between_10_and_11_stores_11():
    src = np.array([[10, 11]], np.uint8)
    out = vantrell.remap_gray(src, np.array([[0.5]], np.float32), np.array([[0.0]], np.float32))
    assert out[0, 0] == 11


@pytest.mark.parametrize("dtype", DTYPES)
def test_nan_and_infinite_coordinates(dtype):
    src = noise((6, 8, 3), dtype, 6) | 1
    nan, inf = np.float32(np.nan), np.float32(np.inf)
    mx = np.array([[nan, 3, inf, -inf, nan]], np.float32)
    my = np.array([[2, nan, 2, 2, inf]], np.float32)
    bil = vantrell.remap_rgb(src, mx, my, "bilinear")[0]
    assert (bil == 0).all()
    lan = vantrell.remap_rgb(src, mx, my, "lanczos3")[0]
    # NaN samples as coordinate 0 on its axis; infinities are outside
    zx, zy = np.array([[0, 3]], np.float32), np.array([[2, 0]], np.float32)
    np.testing.assert_array_equal(lan[:2], vantrell.remap_rgb(src, zx, zy, "lanczos3")[0])
    assert (lan[2:] == 0).all()


@pytest.mark.parametrize("dtype", DTYPES)
def test_lanczos_ringing_is_clamped(dtype):
    top = np.iinfo(dtype).max
    src = np.zeros((8, 16), dtype)
    src[:, 8:] = top
    xs = np.arange(4, 12, 0.125, dtype=np.float32)[None, :].repeat(2, 0)
    ys = np.full_like(xs, 3.0)
    out = vantrell.remap_gray(src, xs, ys, "lanczos3")
    check_against_reference(src, out, xs, ys, "lanczos3")
    assert (out == 0).any() and (out == top).any()
    # the setup rings: beside the step the unclamped value leaves [0, top]
    # (the share of the weight on the bright taps goes above 1 or below 0)
    shares = [sum(table_entry(i)[k] for k in range(n, 6)) for i in range(0, 1025, 32) for n in (2, 4)]
    assert max(shares) > 1 and min(shares) < 0


def test_warp_scale_two_and_offset():
    src = noise((10, 12, 3), np.uint8, 7)
    out = vantrell.warp_rgb(src, EYE, 2, 0, 0)
    want = (src[0, 0].astype(int) + src[0, 1] + 1) // 2
    np.testing.assert_array_equal(out[0, 1], want)
    np.testing.assert_array_equal(out[0, 0], src[0, 0])
    shifted = vantrell.warp_rgb(src, EYE, 1, 10, 0)
    np.testing.assert_array_equal(shifted[:, 0], src[:, 10])
    np.testing.assert_array_equal(shifted[:, 1], src[:, 11])
    assert (shifted[:, 2:] == 0).all()


@pytest.mark.parametrize("flt", FILTERS)
def test_warp_denominators(flt):
    src = noise((10, 12, 3), np.uint16, 8)
    zero_bottom = [1, 0, 0, 0, 1, 0, 0, 0, 0]
    assert (vantrell.warp_rgb(src, zero_bottom, 1, 0, 0, flt) == 0).all()
    negated = [-1, 0, 0, 0, -1, 0, 0, 0, -1]
    np.testing.assert_array_equal(vantrell.warp_rgb(src, negated, 1, 0, 0, flt),
                                  vantrell.warp_rgb(src, EYE, 1, 0, 0, flt))


# A perspective; and the identity at scale 0.75, with off_y putting output row 5
# exactly halfway between two table steps past source row 6 (6 + 1/2048): only
# y / scale + off_y lands there, y x (1 / scale) + off_y is one unit short.
WARPS = [([0.9, 0.1, 0.5, -0.05, 1.1, -0.25, 0.001, -0.002, 1.0], 1.5, -0.5, 0.75, np.uint8),
         (EYE, 0.75, 0.0, (6 + 1 / 2048) - 5 / 0.75, np.uint16)]


@pytest.mark.parametrize("flt", FILTERS)
@pytest.mark.parametrize("H, scale, ox, oy, dtype", WARPS)
def test_warp_homography_matches_the_reference(flt, H, scale, ox, oy, dtype):
    src = noise((12, 14, 3), dtype, 9)
    out = vantrell.warp_rgb(src, H, scale, ox, oy, flt, out_size=(15, 11))
    assert out.shape == (11, 15, 3)
    xs = np.zeros((11, 15)); ys = np.zeros((11, 15))
    for y in range(11):
        Y = y / scale + oy
        ax, ay, aw = H[1] * Y + H[2], H[4] * Y + H[5], H[7] * Y + H[8]
        for x in range(15):
            X = x / scale + ox
            den = aw + H[6] * X
            xs[y, x] = (ax + H[0] * X) / den
            ys[y, x] = (ay + H[3] * X) / den
    check_against_reference(src, out, xs, ys, flt)


@pytest.mark.parametrize("flt", FILTERS)
def test_non_contiguous_inputs_equal_their_c_copies(flt):
    src = noise((20, 24, 3), np.uint8, 10)
    rng = np.random.default_rng(11)
    mx = rng.uniform(-1, 25, (13, 17)).astype(np.float32)
    my = rng.uniform(-1, 21, (13, 17)).astype(np.float32)
    want = vantrell.remap_rgb(src, mx, my, flt)
    fsrc = np.asfortranarray(src)
    tmx, tmy = np.ascontiguousarray(mx.T).T, np.ascontiguousarray(my.T).T
    assert not (fsrc.flags.c_contiguous or tmx.flags.c_contiguous)
    np.testing.assert_array_equal(vantrell.remap_rgb(fsrc, tmx, tmy, flt), want)
    big = np.zeros((40, 72, 3), np.uint8)
    big[::2, ::3] = src
    np.testing.assert_array_equal(vantrell.remap_rgb(big[::2, ::3], mx, my, flt), want)
    np.testing.assert_array_equal(vantrell.warp_rgb(fsrc, EYE, 1, 0, 0, flt),
                                  vantrell.warp_rgb(src, EYE, 1, 0, 0, flt))
    gray = src[..., 0]
    np.testing.assert_array_equal(vantrell.remap_gray(gray, mx, my, flt),
                                  vantrell.remap_gray(gray.copy(), mx, my, flt))


def test_results_are_fresh_writeable_c_arrays_and_inputs_stay():
    src = noise((6, 7, 3), np.uint16, 12)
    mx, my = identity_maps(6, 7)
    keep = (src.copy(), mx.copy(), my.copy())
    for out in (vantrell.remap_rgb(src, mx, my), vantrell.warp_rgb(src, EYE, 1, 0, 0),
                vantrell.remap_gray(src[..., 0], mx, my)):
        assert out.dtype == np.uint16
        assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata is not None
        assert not np.shares_memory(out, src)
        out[...] = 1
    for a, b in zip(keep, (src, mx, my)):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("shape, out_shape", [((0, 5), (0, 5)), ((4, 0), (4, 0)), ((0, 0), (0, 0))])
def test_empty_maps(shape, out_shape):
    src = noise((3, 3, 3), np.uint8)
    m = np.zeros(shape, np.float32)
    assert vantrell.remap_rgb(src, m, m).shape == out_shape + (3,)
    assert vantrell.remap_gray(src[..., 0], m, m).shape == out_shape


@pytest.mark.parametrize("flt", FILTERS)
@pytest.mark.parametrize("src_shape", [(0, 4, 3), (4, 0, 3), (0, 0, 3)])
def test_empty_source_is_all_outside(flt, src_shape):
    src = np.zeros(src_shape, np.uint8)
    m = np.array([[-0.5, np.nan, 0.0]], np.float32)
    assert (vantrell.remap_rgb(src, m, m, flt) == 0).all()
    assert (vantrell.remap_gray(src[..., 0], m, m, flt) == 0).all()
    assert (vantrell.warp_rgb(src, EYE, 1, 0, 0, flt, out_size=(3, 2)) == 0).all()


@pytest.mark.parametrize("out_size", [(10**6, 10**6), (2**62, 2**62), (2**63, 1), (1, 2**61)])
def test_outputs_that_cannot_exist_raise_memory_error(out_size):
    src = noise((4, 4, 3), np.uint8)
    with pytest.raises(MemoryError):
        vantrell.warp_rgb(src, EYE, 1, 0, 0, out_size=out_size)


def test_results_do_not_depend_on_the_number_of_threads():
    code = """
import numpy as np, vantrell, hashlib
rng = np.random.default_rng(5)
src = rng.integers(0, 256, (300, 400, 3), dtype=np.uint8)
mx = rng.uniform(-2, 402, (257, 333)).astype(np.float32)
my = rng.uniform(-2, 302, (257, 333)).astype(np.float32)
H = [0.9, 0.1, 5, -0.05, 1.1, -3, 0.0004, -0.0002, 1.0]
h = hashlib.sha256()
for f in ("bilinear", "lanczos3"):
    h.update(vantrell.remap_rgb(src, mx, my, f).tobytes())
    h.update(vantrell.remap_gray(src[..., 0], mx, my, f).tobytes())
    h.update(vantrell.warp_rgb(src, H, 1.3, 2, -1, f, out_size=(351, 263)).tobytes())
print(h.hexdigest())
"""
    digests = {run_python(code, {"RAYON_NUM_THREADS": n}) for n in ("1", "2", "3")}
    assert len(digests) == 1
