"""Reading and writing image files: exact round trips, orientation, errors,
atomic writes."""
import os

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
pytest.importorskip("tifffile")
pytest.importorskip("imagecodecs")

from PIL import ImageOps  # noqa: E402

from vantrell_tools.files import ImageFileError, read_image, replacing, write_image, write_svg  # noqa: E402


def picture(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, np.iinfo(dtype).max, shape, endpoint=True).astype(dtype)


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")]


@pytest.mark.parametrize("suffix", [".png", ".tif", ".tiff"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("shape", [(37, 53), (37, 53, 3)])
def test_lossless_formats_give_back_every_sample(tmp_path, suffix, dtype, shape):
    image = picture(shape, dtype)
    path = tmp_path / f"x{suffix}"
    write_image(path, image)
    back = read_image(path)
    assert back.dtype == dtype and back.flags.c_contiguous
    np.testing.assert_array_equal(back, image)


@pytest.mark.parametrize("shape", [(64, 80), (64, 80, 3)])
def test_jpeg_keeps_size_and_kind_and_stays_close(tmp_path, shape):
    # A smooth picture: quality 95 without chroma subsampling stays within a
    # few levels of it.
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    gray = (x * 2 + y).astype(np.uint8)
    image = gray if len(shape) == 2 else np.stack([gray, 255 - gray, gray // 2], axis=2)
    write_image(tmp_path / "x.jpg", image)
    back = read_image(tmp_path / "x.jpg")
    assert back.shape == image.shape and back.dtype == np.uint8
    assert np.abs(back.astype(int) - image).mean() < 2.0


def test_the_kind_comes_from_the_contents_not_the_name(tmp_path):
    image = picture((9, 7, 3), np.uint16)
    write_image(tmp_path / "x.png", image)
    os.rename(tmp_path / "x.png", tmp_path / "x.jpg")
    np.testing.assert_array_equal(read_image(tmp_path / "x.jpg"), image)


@pytest.mark.parametrize("mode, expected", [("RGBA", 3), ("LA", 2), ("P", 3)])
def test_alpha_is_dropped_and_a_palette_expanded(tmp_path, mode, expected):
    rgb = picture((6, 9, 3), np.uint8)
    Image.fromarray(rgb).convert(mode).save(tmp_path / "x.png")
    reference = np.asarray(Image.open(tmp_path / "x.png").convert("RGB" if expected == 3 else "L"))
    np.testing.assert_array_equal(read_image(tmp_path / "x.png"), reference)


@pytest.mark.parametrize("orientation", range(1, 9))
@pytest.mark.parametrize("suffix", [".png", ".jpg"])
def test_exif_orientation_turns_the_picture_as_pillow_does(tmp_path, orientation, suffix):
    stored = np.zeros((6, 10, 3), np.uint8)
    stored[:2, :3] = 255  # a white corner tells every turn and mirror apart
    exif = Image.Exif()
    exif[0x0112] = orientation
    Image.fromarray(stored).save(tmp_path / f"x{suffix}", exif=exif, quality=100)
    expected = np.asarray(ImageOps.exif_transpose(Image.open(tmp_path / f"x{suffix}")))
    np.testing.assert_array_equal(read_image(tmp_path / f"x{suffix}"), expected)


def test_tiff_orientation_tag_is_applied(tmp_path):
    import tifffile

    stored = picture((4, 6), np.uint16)
    tifffile.imwrite(tmp_path / "x.tif", stored, extratags=[(274, "H", 1, 6, True)])
    # 6: the stored rows are the displayed columns, top to bottom from the right
    np.testing.assert_array_equal(read_image(tmp_path / "x.tif"), np.rot90(stored, -1))


def test_tiff_stored_plane_by_plane_reads_as_rgb(tmp_path):
    import tifffile

    image = picture((5, 7, 3), np.uint16)
    tifffile.imwrite(tmp_path / "x.tif", np.moveaxis(image, 2, 0), photometric="rgb", planarconfig="separate")
    np.testing.assert_array_equal(read_image(tmp_path / "x.tif"), image)


@pytest.mark.parametrize("content, reason", [
    (b"", "not a PNG, JPEG or TIFF image"),
    (b"GIF89a....", "not a PNG, JPEG or TIFF image"),
    ("truncated png", "damaged PNG"),
    ("truncated jpeg", "damaged JPEG"),
    ("float tiff", "float32 samples are not supported"),
    ("cmyk tiff", "SEPARATED colour is not supported"),
])
def test_files_that_are_not_usable_images_say_why_in_one_line(tmp_path, content, reason):
    import tifffile

    path = tmp_path / "x.img"
    if content == "truncated png":
        write_image(tmp_path / "x.png", picture((40, 40, 3), np.uint8))
        path.write_bytes((tmp_path / "x.png").read_bytes()[:200])
    elif content == "truncated jpeg":
        write_image(tmp_path / "x.jpg", picture((40, 40, 3), np.uint8))
        path.write_bytes((tmp_path / "x.jpg").read_bytes()[:300])
    elif content == "float tiff":
        tifffile.imwrite(path, np.zeros((4, 4), np.float32))
    elif content == "cmyk tiff":
        tifffile.imwrite(path, np.zeros((4, 4, 4), np.uint8), photometric="separated")
    else:
        path.write_bytes(content)
    with pytest.raises(ImageFileError) as caught:
        read_image(path)
    assert reason in caught.value.reason and "\n" not in str(caught.value)
    assert str(caught.value).startswith(str(path))


@pytest.mark.parametrize("make", ["missing", "folder", "dangling link"])
def test_unreadable_paths_give_the_system_reason(tmp_path, make):
    path = tmp_path / "x.png"
    if make == "folder":
        path.mkdir()
    elif make == "dangling link":
        path.symlink_to(tmp_path / "nowhere.png")
    with pytest.raises(ImageFileError) as caught:
        read_image(path)
    assert caught.value.reason == {"missing": os.strerror(2), "folder": os.strerror(21),
                                   "dangling link": os.strerror(2)}[make]


@pytest.mark.parametrize("name, image, reason", [
    ("x.jpg", np.zeros((4, 4), np.uint16), "JPEG holds 8-bit samples only"),
    ("x.bmp", np.zeros((4, 4), np.uint8), "unknown image file ending"),
    ("x.png", np.zeros((4, 4), np.float32), "float32 samples cannot be written"),
    ("x.png", np.zeros((4, 4, 4), np.uint8), "neither (H, W) gray nor (H, W, 3) RGB"),
    ("missing/x.png", np.zeros((4, 4), np.uint8), "cannot write: " + os.strerror(2)),
    ("taken.png", np.zeros((4, 4), np.uint8), "cannot write: " + os.strerror(21)),
])
def test_writes_that_cannot_be_done_leave_nothing_behind(tmp_path, name, image, reason):
    (tmp_path / "taken.png").mkdir()
    with pytest.raises(ImageFileError) as caught:
        write_image(tmp_path / name, image)
    assert reason in caught.value.reason
    assert sorted(os.listdir(tmp_path)) == ["taken.png"]
    assert os.listdir(tmp_path / "taken.png") == []


def test_a_write_replaces_the_old_file_only_when_complete(tmp_path):
    path = tmp_path / "x.txt"
    path.write_text("old")
    with pytest.raises(RuntimeError):
        with replacing(path, "w") as out:
            out.write("half")
            assert path.read_text() == "old" and len(leftovers(tmp_path)) == 1
            raise RuntimeError("stopped halfway")
    assert path.read_text() == "old" and leftovers(tmp_path) == []
    with replacing(path, "w") as out:
        out.write("new")
    assert path.read_text() == "new" and leftovers(tmp_path) == []


def test_written_files_get_the_permissions_of_a_new_file(tmp_path):
    write_image(tmp_path / "x.png", np.zeros((2, 2), np.uint8))
    (tmp_path / "plain").write_bytes(b"")
    assert os.stat(tmp_path / "x.png").st_mode == os.stat(tmp_path / "plain").st_mode


def test_svg_overlay_holds_the_picture_and_one_line_per_segment(tmp_path):
    import base64
    import io
    import re

    from vantrell_tools.arrays import edge_endpoints

    image = picture((20, 30, 3), np.uint8)
    segments = np.array([[1.5, 2.5, 20.25, 2.5, 1.25, 0.125, 3.0],
                         [4.5, 1.0, 4.5, 18.0, 2.0, 0.0625, 9.5]])
    write_svg(tmp_path / "x.svg", image, segments)
    text = (tmp_path / "x.svg").read_text()
    assert 'viewBox="0 0 30 20"' in text
    lines = re.findall(r'<line x1="([^"]+)" y1="([^"]+)" x2="([^"]+)" y2="([^"]+)"', text)
    # drawn on the edges, as draw_segments draws them
    assert [tuple(map(float, line)) for line in lines] == [tuple(e) for e in edge_endpoints(segments)]
    png = base64.b64decode(re.search(r"base64,([^\"]+)", text).group(1))
    np.testing.assert_array_equal(np.asarray(Image.open(io.BytesIO(png))), image)
