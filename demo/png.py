"""A minimal PNG writer (8-bit RGB or gray), so that the demo needs nothing
but NumPy and the standard library."""
from __future__ import annotations

import struct
import zlib

import numpy as np


def _chunk(kind: bytes, data: bytes) -> bytes:
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path: str, image: np.ndarray) -> None:
    """Writes an (H, W, 3) or (H, W) uint8 array as a PNG file."""
    img = np.ascontiguousarray(image)
    if img.dtype != np.uint8 or img.ndim not in (2, 3) or (img.ndim == 3 and img.shape[2] != 3):
        raise TypeError("write_png takes (H, W, 3) or (H, W) uint8 arrays")
    h, w = img.shape[:2]
    colour = 2 if img.ndim == 3 else 0
    rows = img.reshape(h, -1).astype(np.int16)
    # filter type 4 (Paeth) on every row: each byte minus the one of its left,
    # upper and upper-left neighbours nearest to left + upper - upper-left
    bpp = 3 if colour == 2 else 1
    a = np.zeros_like(rows)
    a[:, bpp:] = rows[:, :-bpp]
    b = np.zeros_like(rows)
    b[1:] = rows[:-1]
    c = np.zeros_like(rows)
    c[1:, bpp:] = rows[:-1, :-bpp]
    p = a + b - c
    pa, pb, pc = np.abs(p - a), np.abs(p - b), np.abs(p - c)
    pred = np.where((pa <= pb) & (pa <= pc), a, np.where(pb <= pc, b, c))
    filtered = ((rows - pred) % 256).astype(np.uint8)
    raw = np.concatenate([np.full((h, 1), 4, np.uint8), filtered], axis=1).tobytes()
    header = struct.pack(">IIBBBBB", w, h, 8, colour, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(_chunk(b"IHDR", header))
        f.write(_chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(_chunk(b"IEND", b""))
