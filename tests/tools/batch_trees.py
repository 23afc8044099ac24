"""A nested folder of small test images for the batch and command-line tests,
which are skipped where the tools' extras are not installed."""
import importlib.util
import os
from pathlib import Path

import numpy as np
import pytest

for _module in ("PIL.Image", "tifffile", "imagecodecs", "tqdm", "vantrell_tools.arrays"):
    pytest.importorskip(_module)


def _suite_helpers():
    """tests/conftest.py under a name of its own (every conftest module is
    called "conftest", so importing it by that name may find another)."""
    path = Path(__file__).resolve().parents[1] / "conftest.py"
    spec = importlib.util.spec_from_file_location("vantrell_suite_conftest", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


draw_scene = _suite_helpers().draw_scene


def make_tree(root, count=3, size=(96, 128)):
    """root/a/gI.png (8-bit gray), root/a/b/cI.jpg (8-bit RGB), root/d/tI.tif
    (16-bit RGB), root/blank.png (no segments), plus what a batch must pass
    over: root/.hidden/x.png and root/notes.txt. Returns the image paths,
    sorted by their path relative to root."""
    from vantrell_tools.files import write_image

    root = Path(root)
    for sub in ("a/b", "d", ".hidden"):
        (root / sub).mkdir(parents=True, exist_ok=True)
    h, w = size
    for i in range(count):
        gray = draw_scene(h + 8 * i, w + 8 * i, seed=i)
        write_image(root / f"a/g{i}.png", gray)
        write_image(root / f"a/b/c{i}.jpg", np.stack([gray, 255 - gray, gray // 2], axis=2))
        write_image(root / f"d/t{i}.tif", np.stack([gray, gray, 255 - gray], axis=2).astype(np.uint16) * 257)
    write_image(root / "blank.png", np.full((40, 50), 128, np.uint8))
    write_image(root / ".hidden/x.png", draw_scene(60, 60))
    (root / "notes.txt").write_text("not an image")
    found = [p for p in root.rglob("*") if p.suffix in (".png", ".jpg", ".tif") and ".hidden" not in p.parts]
    return sorted(found, key=lambda p: p.relative_to(root).as_posix())


def part_files(root):
    """Temporary files of unfinished writes anywhere below root."""
    return [os.path.join(d, n) for d, _, names in os.walk(root) for n in names if n.endswith(".part")]


def read_table(path):
    """The rows of a lines table of any format, as tuples (path, width, height,
    seven floats or None)."""
    import csv
    import json

    path = str(path)
    if path.endswith(".parquet"):
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        return [tuple(row.values()) for row in table.to_pylist()]
    if path.endswith(".jsonl"):
        with open(path) as f:
            return [tuple(json.loads(line).values()) for line in f]
    with open(path, newline="") as f:
        rows = list(csv.reader(f))[1:]
    return [(r[0], int(r[1]), int(r[2]), *(float(v) if v else None for v in r[3:])) for r in rows]
