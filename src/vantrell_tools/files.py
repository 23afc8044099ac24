"""Image files in and out: PNG, JPEG and TIFF, 8 and 16 bit, gray and RGB.

Arrays are ``(H, W, 3)`` RGB or ``(H, W)`` gray, ``uint8`` or ``uint16``, rows
top to bottom as the picture is meant to be seen (the EXIF or TIFF orientation
tag is applied on reading). An alpha channel is dropped, a palette is expanded
to RGB.

Three libraries share the work, each where it is exact:

- PNG through ``imagecodecs`` (libpng): the only one of the three that reads and
  writes 16-bit RGB PNG without loss (Pillow turns it into 8 bits on reading and
  cannot hold it at all for writing).
- JPEG through Pillow, which also parses every EXIF block (JPEG's APP1, PNG's
  ``eXIf``).
- TIFF through ``tifffile``, which keeps 16-bit RGB and reads the compressions
  that cameras and scanners use.

Every write is atomic: the file is written under a temporary name in the
output's own folder and renamed over the output only once complete, so a
reader, a crash or an interruption never sees half a file.
"""
from __future__ import annotations

import contextlib
import importlib
import io
import math
import os
import secrets
from pathlib import Path

import numpy as np

__all__ = ["ImageFileError", "read_image", "write_image", "write_svg", "replacing", "IMAGE_SUFFIXES"]

#: File name endings recognised as images, lower case.
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".tif", ".tiff")

_EXTRA_HINT = 'install the image file libraries with: pip install "vantrell[tools]"'
_ORIENTATION_TAG = 0x0112


class ImageFileError(Exception):
    """An image file that cannot be read or written.

    ``path`` is the file and ``reason`` a one-line explanation; ``str()`` gives
    ``"path: reason"``.
    """

    def __init__(self, path, reason):
        super().__init__(f"{path}: {reason}")
        self.path = str(path)
        self.reason = reason


def _require(module):
    """Imports one of the optional image libraries ("PIL.Image", "imagecodecs",
    "tifffile"), or says which extra to install."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{error.name} is missing: {_EXTRA_HINT}") from None


def _kind_of(head):
    """The file kind from its first bytes, whatever its name says."""
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return "png"
    if head.startswith(b"\xff\xd8\xff"):
        return "jpeg"
    if head[:4] in (b"II*\x00", b"MM\x00*", b"II+\x00", b"MM\x00+"):
        return "tiff"
    return None


def _kind_for_name(path):
    suffix = Path(path).suffix.lower()
    return {".png": "png", ".jpg": "jpeg", ".jpeg": "jpeg", ".tif": "tiff", ".tiff": "tiff"}.get(suffix)


def orient(image, orientation):
    """Turns an image stored with EXIF/TIFF orientation ``orientation`` (1 to 8)
    the way it is meant to be seen; other values leave it as it is."""
    if orientation == 2:
        image = image[:, ::-1]
    elif orientation == 3:
        image = image[::-1, ::-1]
    elif orientation == 4:
        image = image[::-1]
    elif orientation == 5:
        image = image.swapaxes(0, 1)
    elif orientation == 6:
        image = image.swapaxes(0, 1)[:, ::-1]
    elif orientation == 7:
        image = image.swapaxes(0, 1)[::-1, ::-1]
    elif orientation == 8:
        image = image.swapaxes(0, 1)[::-1]
    return np.ascontiguousarray(image)


def _exif_orientation(Image, exif_bytes):
    if not exif_bytes:
        return 1
    exif = Image.Exif()
    try:
        exif.load(exif_bytes)
    except Exception:  # a damaged EXIF block does not make the pixels unreadable
        return 1
    return exif.get(_ORIENTATION_TAG, 1)


def _as_gray_or_rgb(pixels, path):
    """Gray stays 2-D, gray + alpha loses its alpha, RGB(A) becomes (H, W, 3)."""
    if pixels.dtype not in (np.uint8, np.uint16):
        raise ImageFileError(path, f"{pixels.dtype} samples are not supported (8 or 16-bit only)")
    if pixels.ndim == 3 and pixels.shape[2] == 1:
        pixels = pixels[:, :, 0]
    if pixels.ndim == 2:
        return np.ascontiguousarray(pixels)
    if pixels.ndim == 3 and pixels.shape[2] == 2:
        return np.ascontiguousarray(pixels[:, :, 0])
    if pixels.ndim == 3 and pixels.shape[2] in (3, 4):
        return np.ascontiguousarray(pixels[:, :, :3])
    raise ImageFileError(path, f"an image of shape {pixels.shape} is neither gray nor RGB")


def _read_png(path, data):
    Image = _require("PIL.Image")
    imagecodecs = _require("imagecodecs")
    try:
        pixels = imagecodecs.png_decode(data)
    except Exception as error:
        raise ImageFileError(path, f"damaged PNG ({_first_line(error)})") from None
    # The header and any eXIf chunk before the pixels; the pixels themselves are
    # not decoded a second time.
    try:
        with Image.open(io.BytesIO(data)) as im:
            orientation = _exif_orientation(Image, im.info.get("exif"))
    except Exception:
        orientation = 1
    return orient(_as_gray_or_rgb(pixels, path), orientation)


def _read_jpeg(path, data):
    Image = _require("PIL.Image")
    try:
        with Image.open(io.BytesIO(data)) as im:
            orientation = _exif_orientation(Image, im.info.get("exif"))
            if im.mode not in ("L", "RGB"):
                im = im.convert("RGB")
            pixels = np.asarray(im)
    except Exception as error:
        raise ImageFileError(path, f"damaged JPEG ({_first_line(error)})") from None
    return orient(_as_gray_or_rgb(pixels, path), orientation)


def _read_tiff(path, data):
    tifffile = _require("tifffile")
    try:
        with tifffile.TiffFile(io.BytesIO(data)) as tif:
            page = tif.pages[0]
            photometric = getattr(page.photometric, "name", str(page.photometric))
            if photometric not in ("MINISBLACK", "RGB"):
                raise ImageFileError(path, f"TIFF with {photometric} colour is not supported (gray or RGB only)")
            pixels = page.asarray()
            axes = page.axes
            tag = page.tags.get("Orientation")
            orientation = int(tag.value) if tag is not None else 1
    except ImageFileError:
        raise
    except Exception as error:
        raise ImageFileError(path, f"damaged TIFF ({_first_line(error)})") from None
    if axes.startswith("S") and pixels.ndim == 3:  # planes stored one after the other
        pixels = np.moveaxis(pixels, 0, -1)
    return orient(_as_gray_or_rgb(pixels, path), orientation)


def _first_line(error):
    """The first line of an error's text; its type's name when the text says
    nothing (some decoders give only a control character)."""
    text = "".join(c for c in str(error) if c.isprintable() or c == "\n").strip().splitlines()
    return text[0] if text and any(c.isalnum() for c in text[0]) else type(error).__name__


def read_image(path):
    """Reads a PNG, JPEG or TIFF file.

    Parameters
    ----------
    path : str or os.PathLike
        The file. Its kind is recognised from its first bytes, not its name.

    Returns
    -------
    numpy.ndarray
        ``(H, W, 3)`` RGB or ``(H, W)`` gray, ``uint8`` or ``uint16``,
        C-contiguous, turned as its EXIF (or TIFF) orientation tag says. Of a
        TIFF with several images, the first.

    Raises
    ------
    ImageFileError
        The file cannot be opened, is not a PNG, JPEG or TIFF image, is damaged,
        or holds samples other than 8/16-bit gray or RGB. Its ``reason`` is one
        line.
    """
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise ImageFileError(path, error.strerror or _first_line(error)) from None
    kind = _kind_of(data[:8])
    if kind == "png":
        return _read_png(path, data)
    if kind == "jpeg":
        return _read_jpeg(path, data)
    if kind == "tiff":
        return _read_tiff(path, data)
    raise ImageFileError(path, "not a PNG, JPEG or TIFF image")


@contextlib.contextmanager
def replacing(path, mode="wb", **open_args):
    """Opens a temporary file beside ``path`` for writing; when the ``with``
    block ends normally the file is flushed to disk and renamed to ``path``
    (replacing any file there), otherwise it is removed. Readers never see a
    partial ``path``. ``mode`` and ``open_args`` are those of :func:`open`.

    The temporary file is ``.NAME.RANDOM.part`` in the same folder, so the rename
    stays on one file system; it gets the permissions a new file would get.
    """
    path = Path(path)
    temp = path.with_name(f".{path.name}.{secrets.token_hex(4)}.part")
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with open(fd, mode, closefd=True, **open_args) as out:
            yield out
            out.flush()
            os.fsync(out.fileno())
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def _check_array(image, path):
    if not isinstance(image, np.ndarray):
        raise TypeError(f"write_image expects a numpy array, not {type(image).__name__}")
    if image.dtype not in (np.uint8, np.uint16):
        raise ImageFileError(path, f"{image.dtype} samples cannot be written (uint8 or uint16 only)")
    if not (image.ndim == 2 or (image.ndim == 3 and image.shape[2] == 3)):
        raise ImageFileError(path, f"an array of shape {image.shape} is neither (H, W) gray nor (H, W, 3) RGB")
    return np.ascontiguousarray(image)


def _encode(image, kind, path):
    if kind == "png":
        return _require("imagecodecs").png_encode(image, level=6)
    if kind == "jpeg":
        if image.dtype != np.uint8:
            raise ImageFileError(path, "JPEG holds 8-bit samples only; write PNG or TIFF for 16 bits")
        Image = _require("PIL.Image")
        buffer = io.BytesIO()
        Image.fromarray(image).save(buffer, format="JPEG", quality=95, subsampling=0)
        return buffer.getvalue()
    tifffile = _require("tifffile")
    buffer = io.BytesIO()
    tifffile.imwrite(buffer, image, photometric="rgb" if image.ndim == 3 else "minisblack",
                     compression="zlib")
    return buffer.getvalue()


def write_image(path, image):
    """Writes an image as PNG, JPEG or TIFF, the kind chosen by the file name's
    ending (``.png``, ``.jpg``/``.jpeg``, ``.tif``/``.tiff``).

    Parameters
    ----------
    path : str or os.PathLike
        The output file; its folder must exist. The file appears only when it is
        complete (written under a temporary name, then renamed).
    image : numpy.ndarray
        ``(H, W, 3)`` RGB or ``(H, W)`` gray, ``uint8`` or ``uint16`` (JPEG: 8-bit
        only). PNG and TIFF store the samples exactly; JPEG at quality 95 without
        chroma subsampling.

    Raises
    ------
    ImageFileError
        Unknown file ending, an array that the format cannot hold, or a file
        that cannot be written (missing folder, no permission, disk full).
    """
    kind = _kind_for_name(path)
    if kind is None:
        raise ImageFileError(path, "unknown image file ending (use .png, .jpg, .jpeg, .tif or .tiff)")
    _write_bytes(path, _encode(_check_array(image, path), kind, path))


def _write_bytes(path, data):
    try:
        with replacing(path) as out:
            out.write(data)
    except OSError as error:
        raise ImageFileError(path, f"cannot write: {error.strerror or _first_line(error)}") from None


def write_svg(path, image, segments):
    """Writes an SVG picture of ``segments`` over ``image``.

    The image is embedded as PNG and every segment drawn as a line of its own
    width, coloured by its angle (hue 0° to 360° for -90° to 90°). The SVG's
    coordinates are the module's, one unit per pixel: the centre of pixel
    (c, r) is at (c + 0.5, r + 0.5). As :func:`vantrell_tools.arrays.draw_segments`
    does, the lines are drawn on the edges: the detector's end points moved by
    :func:`vantrell_tools.arrays.edge_endpoints`. ``segments`` is an (N, 7)
    array (x1, y1, x2, y2, width, precision, log_nfa). Written atomically, as
    :func:`write_image`.
    """
    import base64
    import colorsys

    from .arrays import edge_endpoints

    height, width = image.shape[:2]
    png = base64.b64encode(_encode(_check_array(image, path), "png", path)).decode("ascii")
    table = np.asarray(segments, np.float64).reshape(-1, 7)
    lines = []
    for (x1, y1, x2, y2), (w, log_nfa) in zip(edge_endpoints(table).tolist(), table[:, [4, 6]].tolist()):
        angle = math.degrees(math.atan2(y2 - y1, x2 - x1))
        hue = ((angle + 90.0) % 180.0) / 180.0
        r, g, b = (round(255 * c) for c in colorsys.hsv_to_rgb(hue, 1.0, 1.0))
        lines.append(f'<line x1="{x1!r}" y1="{y1!r}" x2="{x2!r}" y2="{y2!r}" '
                     f'stroke="#{r:02x}{g:02x}{b:02x}" stroke-width="{max(w, 1.0)!r}">'
                     f'<title>log_nfa {log_nfa:.1f}</title></line>')
    text = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}">\n'
            f'<image width="{width}" height="{height}" href="data:image/png;base64,{png}"/>\n'
            f'<g fill="none" stroke-linecap="butt" stroke-opacity="0.9">\n'
            + "\n".join(lines) + "\n</g>\n</svg>\n")
    _write_bytes(path, text.encode("utf-8"))
