"""Batches through the Python API: finding inputs, the lines table, resuming,
failures of single files."""
import os

import numpy as np
import pytest


import vantrell
from batch_trees import make_tree, part_files, read_table
from vantrell_tools import batch
from vantrell_tools.arrays import segments_array, to_gray
from vantrell_tools.files import read_image


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("tree")
    return root, make_tree(root)


def relative(root, paths):
    return [p.relative_to(root).as_posix() for p in paths]


def test_a_folder_gives_its_images_at_every_depth_by_relative_path(tree):
    root, images = tree
    found = batch.collect([root])
    assert found.root == root and found.missing == ()
    assert [found.relative(f) for f in found.files] == relative(root, images)


@pytest.mark.parametrize("args, expected_root, expected", [
    (["{r}/**/*.jpg"], "{r}", ["a/b/c0.jpg", "a/b/c1.jpg", "a/b/c2.jpg"]),
    (["{r}/a/*.png", "{r}/d/t1.tif"], "{r}", ["a/g0.png", "a/g1.png", "a/g2.png", "d/t1.tif"]),
    (["{r}/a/b/c1.jpg", "{r}/a/b/c0.jpg"], "{r}/a/b", ["c0.jpg", "c1.jpg"]),
    (["{r}/a", "{r}/a/g1.png", "{r}/a/*.png"], "{r}/a", ["b/c0.jpg", "b/c1.jpg", "b/c2.jpg",
                                                          "g0.png", "g1.png", "g2.png"]),
    (["{r}/d", "{r}/nothing", "{r}/*.gif"], "{r}/d", ["t0.tif", "t1.tif", "t2.tif"]),
])
def test_files_folders_and_patterns_meet_under_their_common_folder(tree, args, expected_root, expected):
    root, _ = tree
    found = batch.collect([a.format(r=root) for a in args])
    assert str(found.root) == expected_root.format(r=root)
    assert [found.relative(f) for f in found.files] == expected
    assert list(found.missing) == [a.format(r=root) for a in args if "nothing" in a or "gif" in a]


def test_relative_arguments_give_the_same_relative_paths(tree, monkeypatch):
    root, images = tree
    monkeypatch.chdir(root / "a")
    found = batch.collect(["b", "g0.png", "../d/*.tif"])
    assert found.root == root
    assert [found.relative(f) for f in found.files] == [
        "a/b/c0.jpg", "a/b/c1.jpg", "a/b/c2.jpg", "a/g0.png", "d/t0.tif", "d/t1.tif", "d/t2.tif"]
    assert all(os.path.exists(f) for f in found.files)


def test_the_table_holds_each_image_segments_as_detected_alone(tree, tmp_path):
    root, images = tree
    found = batch.collect([root])
    summary = batch.lines_table(found, tmp_path / "t.csv", jobs=2)
    expected = []
    for path in images:
        image = read_image(path)
        seven = segments_array(vantrell.detect(to_gray(image)))
        name = path.relative_to(root).as_posix()
        h, w = image.shape[:2]
        expected += [(name, w, h, *row) for row in seven.tolist()] or [(name, w, h) + (None,) * 7]
    assert read_table(tmp_path / "t.csv") == expected
    assert (summary.done, summary.failed, summary.skipped) == (len(images), [], 0)
    assert summary.segments == sum(1 for row in expected if row[3] is not None)
    assert ("blank.png", 50, 40) + (None,) * 7 in expected


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_every_format_and_thread_count_gives_the_same_table(tree, tmp_path, suffix):
    root, _ = tree
    found = batch.collect([root])
    batch.lines_table(found, tmp_path / "one.csv", jobs=1)
    batch.lines_table(found, tmp_path / f"one{suffix}", jobs=1)
    batch.lines_table(found, tmp_path / f"three{suffix}", jobs=3)
    assert (tmp_path / f"one{suffix}").read_bytes() == (tmp_path / f"three{suffix}").read_bytes()
    assert read_table(tmp_path / f"one{suffix}") == read_table(tmp_path / "one.csv")


def test_map_lines_gives_one_result_per_file(tree):
    root, images = tree
    found = batch.collect([root])
    results = sorted(batch.map_lines(found, jobs=2), key=lambda r: r.index)
    assert [r.path for r in results] == relative(root, images)
    assert all(r.error == "" and r.segments.shape[1] == 7 for r in results)


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_resume_adds_only_the_images_not_yet_in_the_table(tree, tmp_path, suffix):
    root, images = tree
    found = batch.collect([root])
    full, part = tmp_path / f"full{suffix}", tmp_path / f"part{suffix}"
    batch.lines_table(found, full)
    first = batch.Batch(found.root, found.files[::2])
    batch.lines_table(first, part)
    summary = batch.lines_table(found, part, resume=True)
    assert (summary.skipped, summary.done) == (len(first), len(found) - len(first))
    assert sorted(read_table(part), key=repr) == sorted(read_table(full), key=repr)
    again = batch.lines_table(found, part, resume=True)
    assert (again.skipped, again.done) == (len(found), 0)
    assert sorted(read_table(part), key=repr) == sorted(read_table(full), key=repr)


def test_resume_refuses_a_file_that_is_not_a_lines_table(tree, tmp_path):
    root, _ = tree
    (tmp_path / "t.csv").write_text("a,b\n1,2\n")
    with pytest.raises(ValueError, match="not a lines table"):
        batch.lines_table(batch.collect([root]), tmp_path / "t.csv", resume=True)
    assert (tmp_path / "t.csv").read_text() == "a,b\n1,2\n" and part_files(tmp_path) == []


def broken_tree(tmp_path):
    """Three good images, a damaged one, a link to nowhere and (when not
    running as root, which reads anything) one without read permission."""
    root = tmp_path / "in"
    make_tree(root, count=1)
    (root / "a/damaged.png").write_bytes((root / "a/g0.png").read_bytes()[:150])
    (root / "a/garbled.png").write_bytes(b"\x89PNG\r\n\x1a\nnot really")
    (root / "a/gone.png").symlink_to(root / "nowhere.png")
    problems = {"a/damaged.png": "damaged PNG", "a/garbled.png": "damaged PNG",
                "a/gone.png": os.strerror(2)}
    if os.geteuid() != 0:
        (root / "a/locked.png").write_bytes((root / "a/g0.png").read_bytes())
        os.chmod(root / "a/locked.png", 0)
        problems["a/locked.png"] = os.strerror(13)
    return root, problems


def test_failed_files_are_reported_and_the_others_done(tmp_path):
    root, problems = broken_tree(tmp_path)
    found = batch.collect([root])
    seen = []
    summary = batch.lines_table(found, tmp_path / "t.csv", on_failure=seen.append)
    assert sorted(r.path for r in seen) == sorted(problems)
    assert {path: reason for path, reason in summary.failed} == {
        r.path: r.error for r in seen}
    assert all(problems[path] in reason for path, reason in summary.failed)
    # One readable line each: a decoder's control characters never reach it.
    assert all(reason.isprintable() and "()" not in reason for _, reason in summary.failed)
    assert summary.done == len(found) - len(problems)
    assert {row[0] for row in read_table(tmp_path / "t.csv")} == {
        found.relative(f) for f in found.files} - set(problems)


def test_an_output_that_cannot_be_written_fails_alone(tmp_path):
    root = tmp_path / "in"
    make_tree(root, count=1)
    out = tmp_path / "out"
    (out / "a/g0.png").mkdir(parents=True)  # a folder where an output file should go
    (out / "d").write_text("a file where an output folder should go")
    found = batch.collect([root])
    summary = batch.straighten_folder(found, out, keep_unfitted=True)
    assert dict(summary.failed) == {
        "a/g0.png": f"{out / 'a/g0.png'}: cannot write: {os.strerror(21)}",
        "d/t0.tif": f"{out / 'd/t0.tif'}: cannot make its folder: {os.strerror(17)}"}
    written = sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file())
    assert written == ["a/b/c0.jpg", "blank.png", "d"]
    assert part_files(out) == []


def test_straightened_outputs_mirror_the_input_tree(tree, tmp_path):
    root, images = tree
    found = batch.collect([root])
    summary = batch.straighten_folder(found, tmp_path / "out", keep_unfitted=True, jobs=2)
    assert summary.done == len(images) and summary.failed == []
    for path in images:
        out = read_image(tmp_path / "out" / path.relative_to(root))
        assert out.dtype == read_image(path).dtype and out.ndim == read_image(path).ndim
    again = batch.straighten_folder(found, tmp_path / "out", keep_unfitted=True, resume=True)
    assert (again.skipped, again.done) == (len(images), 0)


@pytest.mark.parametrize("cpus", [1, 2, 7, 8, 64])
def test_files_times_pool_workers_stay_within_the_processors(cpus):
    sizes = [batch.pool_size(jobs, cpus) for jobs in range(1, 2 * cpus + 2)]
    assert sizes[0] == cpus and min(sizes) >= 1
    assert all(jobs * size <= max(cpus, jobs) for jobs, size in enumerate(sizes, 1))


@pytest.mark.parametrize("variable", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
def test_the_pool_size_set_by_the_user_is_kept(monkeypatch, variable):
    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)
    monkeypatch.delenv("RAYON_RS_NUM_CPUS", raising=False)
    monkeypatch.setenv(variable, "3")
    batch.size_pool(8, 8)
    assert os.environ[variable] == "3" and len({"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"} & set(os.environ)) == 1
    monkeypatch.delenv(variable)
    assert batch.size_pool(2, 8) == str(batch.pool_size(2, 8)) == os.environ["RAYON_NUM_THREADS"]


def explode(item):
    if item[0] % 2:
        raise MemoryError("the worker ran out")
    return batch.FileLines(item[0], item[2])


def test_a_chunk_that_fails_as_a_whole_fails_each_of_its_files():
    import threading

    items = [(i, f"in/{i}.png", f"{i}.png") for i in range(6)]
    runner = batch._Runner(explode, batch._lines_failed, items, jobs=2)
    results = sorted(runner.results(threading.Event()), key=lambda r: r.index)
    runner.close()
    assert [(r.path, r.error) for r in results] == [
        (f"{i}.png", "MemoryError: the worker ran out" if i % 2 else "") for i in range(6)]


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_paths_with_commas_quotes_and_accents_survive_the_table_and_resume(tree, tmp_path, suffix):
    import shutil

    root, _ = tree
    name = 'odd, "name" é.png'
    shutil.copy(root / "a/g0.png", tmp_path / name)
    found = batch.collect([tmp_path / name])
    batch.lines_table(found, tmp_path / f"t{suffix}")
    assert {row[0] for row in read_table(tmp_path / f"t{suffix}")} == {name}
    again = batch.lines_table(found, tmp_path / f"t{suffix}", resume=True)
    assert (again.skipped, again.done) == (1, 0)
