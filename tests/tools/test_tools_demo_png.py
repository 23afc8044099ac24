import struct
import zlib

import numpy as np
import pytest


def read_png(path):
    """A small PNG reader for 8-bit files written with per-row filters 0-4."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        n = struct.unpack(">I", data[pos:pos + 4])[0]
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        assert struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])[0] == zlib.crc32(kind + body)
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    bpp = 3 if colour == 2 else 1
    raw = zlib.decompress(idat)
    stride = w * bpp
    out = np.zeros((h, stride), np.int64)
    for r in range(h):
        kind, line = raw[r * (stride + 1)], raw[r * (stride + 1) + 1:(r + 1) * (stride + 1)]
        prev = out[r - 1] if r else np.zeros(stride, np.int64)
        for i in range(stride):
            a = out[r, i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            p = a + b - c
            pred = [0, a, b, (a + b) // 2,
                    a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else (b if abs(p - b) <= abs(p - c) else c)][kind]
            out[r, i] = (line[i] + pred) % 256
    return out.astype(np.uint8).reshape(h, w, bpp) if bpp == 3 else out.astype(np.uint8)


@pytest.mark.parametrize("shape", [(7, 5, 3), (4, 9)])
def test_the_demo_png_writer_round_trips(tmp_path, shape, png_writer):
    img = np.random.default_rng(0).integers(0, 256, shape).astype(np.uint8)
    path = tmp_path / "x.png"
    png_writer.write_png(str(path), img)
    assert np.array_equal(read_png(path), img)
