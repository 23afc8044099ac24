"""A batch on a real Dask cluster of two worker processes gives what the local
run gives."""
import os

import pytest

pytest.importorskip("pyarrow")
distributed = pytest.importorskip("distributed")

from batch_trees import make_tree, read_table  # noqa: E402
from vantrell_tools import batch  # noqa: E402
from vantrell_tools.files import read_image  # noqa: E402

# Read before any cluster starts: Dask's nanny writes its settings for the
# workers into the process that starts them too.
TRIM_BEFORE = os.environ.get("MALLOC_TRIM_THRESHOLD_")


@pytest.fixture(scope="module")
def client():
    cluster = batch.local_cluster(2)
    client = distributed.Client(cluster, timeout=60)
    try:
        client.wait_for_workers(2, timeout=60)
        yield client
    finally:
        client.close(timeout=30)
        cluster.close(timeout=30)


@pytest.mark.timeout(240)
@pytest.mark.parametrize("suffix, chunk_size", [(".parquet", None), (".csv", 2)])
def test_the_cluster_writes_the_local_table(client, tmp_path, suffix, chunk_size):
    root = tmp_path / "in"
    make_tree(root, count=3)
    (root / "a/damaged.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
    found = batch.collect([root])
    local = batch.lines_table(found, tmp_path / f"local{suffix}", jobs=2)
    remote = batch.lines_table(found, tmp_path / f"remote{suffix}", client=client, chunk_size=chunk_size)
    assert (tmp_path / f"local{suffix}").read_bytes() == (tmp_path / f"remote{suffix}").read_bytes()
    assert read_table(tmp_path / f"remote{suffix}")
    assert remote.failed == local.failed == [("a/damaged.png", remote.failed[0][1])]
    assert remote.failed[0][1].startswith("damaged PNG")
    assert sorted(r.path for r in batch.map_lines(found, client=client)) == sorted(
        found.relative(f) for f in found.files)


def test_the_workers_keep_the_c_librarys_memory_trimming(client):
    # Dask's own setting (65536) maps every image-sized buffer anew.
    seen = client.run(lambda: __import__("os").environ.get("MALLOC_TRIM_THRESHOLD_"))
    assert len(seen) == 2 and set(seen.values()) == {TRIM_BEFORE}


@pytest.mark.timeout(240)
def test_the_workers_write_the_images_of_a_folder_job(client, tmp_path):
    root = tmp_path / "in"
    images = make_tree(root, count=1)
    found = batch.collect([root])
    summary = batch.straighten_folder(found, tmp_path / "out", keep_unfitted=True, client=client)
    assert summary.done == len(images) and summary.failed == []
    local = batch.straighten_folder(found, tmp_path / "local", keep_unfitted=True)
    assert local.done == len(images)
    for path in images:
        name = path.relative_to(root)
        assert (read_image(tmp_path / "out" / name) == read_image(tmp_path / "local" / name)).all()


@pytest.mark.timeout(240)
def test_the_command_with_a_local_cluster_writes_the_local_table(tmp_path, capsys):
    from vantrell_tools.cli import main

    root = tmp_path / "in"
    make_tree(root, count=2)
    assert main(["lines", str(root), "-o", str(tmp_path / "local.csv"), "--jobs", "2"]) == 0
    assert main(["lines", str(root), "-o", str(tmp_path / "cluster.csv"), "--scheduler", "local",
                 "--jobs", "2", "--chunk-size", "3"]) == 0
    assert (tmp_path / "local.csv").read_bytes() == (tmp_path / "cluster.csv").read_bytes()
    assert "7 of 7 files done" in capsys.readouterr().err.splitlines()[-1]
