"""The vantrell command: exit status, messages, outputs, interruption."""
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest


from batch_trees import make_tree, part_files, read_table
from vantrell_tools.cli import main
from vantrell_tools.files import read_image


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("tree")
    return root, make_tree(root, count=2)


def run(capsys, *args):
    status = main([str(a) for a in args])
    captured = capsys.readouterr()
    return status, captured.err.splitlines()


@pytest.mark.parametrize("args, words", [
    (["--help"], ["lines", "straighten", "flatten", "exit status"]),
    (["lines", "--help"], ["--jobs", "--scheduler", "--resume", "image_width", "log_nfa"]),
    (["straighten", "--help"], ["--mode", "--crop", "--filter", "mirroring"]),
    (["flatten", "--help"], ["--aspect", "a4", "--keep-unfitted"]),
])
def test_help_explains_each_command(capsys, args, words):
    assert main(args) == 0
    text = capsys.readouterr().out
    assert all(word in text for word in words)


@pytest.mark.parametrize("args, message", [
    ([], "required"),
    (["lines", "x.png"], "-o/--output"),
    (["lines", "x.png", "-o", "t.csv", "--jobs", "0"], "must be at least 1"),
    (["lines", "x.png", "-o", "t.csv", "--scale", "-1"], "must be a positive number"),
    (["flatten", "x.png", "-o", "out", "--aspect", "wide"], "not a number"),
    (["straighten", "x.png", "-o", "out", "--mode", "sideways"], "invalid choice"),
    (["lines", "{r}", "-o", "t.txt"], "lines writes a table"),
    (["lines", "{r}/a", "-o", "{tmp}/overlay.png"], "exactly one input image"),
])
def test_usage_errors_exit_2_with_one_message(capsys, tree, tmp_path, args, message):
    root, _ = tree
    status, err = run(capsys, *[a.format(r=root, tmp=tmp_path) for a in args])
    assert status == 2
    assert message in "\n".join(err)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_lines_writes_one_table_and_a_summary(capsys, tree, tmp_path, suffix):
    root, images = tree
    status, err = run(capsys, "lines", root, "-o", tmp_path / f"t{suffix}")
    assert status == 0
    assert len(err) == 1 and err[0].startswith(f"vantrell: lines: {len(images)} of {len(images)} files done")
    assert [row[0] for row in read_table(tmp_path / f"t{suffix}")][-1] == "d/t1.tif"
    status, err = run(capsys, "lines", root, "-o", tmp_path / f"q{suffix}", "--quiet")
    assert (status, err) == (0, [])


@pytest.mark.parametrize("suffix", [".png", ".svg"])
def test_lines_draws_one_picture(capsys, tree, tmp_path, suffix):
    root, _ = tree
    assert run(capsys, "lines", root / "a/b/c1.jpg", "-o", tmp_path / f"o{suffix}") == (0, [])
    if suffix == ".png":
        overlay = read_image(tmp_path / "o.png")
        assert overlay.shape == read_image(root / "a/b/c1.jpg").shape and overlay.dtype == np.uint8
    else:
        assert (tmp_path / "o.svg").read_text().count("<line ") > 0


def test_straighten_one_file_to_a_named_output(capsys, tree, tmp_path):
    root, _ = tree
    status, _ = run(capsys, "straighten", root / "d/t0.tif", "-o", tmp_path / "x.png", "--keep-unfitted")
    assert status == 0 and os.listdir(tmp_path) == ["x.png"]
    assert read_image(tmp_path / "x.png").dtype == np.uint16


def test_flatten_mirrors_the_tree_in_the_chosen_format(capsys, tree, tmp_path):
    root, images = tree
    status, _ = run(capsys, "flatten", root, "-o", tmp_path / "out", "--keep-unfitted", "--format", "tiff",
                    "--aspect", "a4")
    assert status == 0
    written = sorted(p.relative_to(tmp_path / "out").as_posix() for p in (tmp_path / "out").rglob("*.tif"))
    assert written == sorted(p.relative_to(root).with_suffix(".tif").as_posix() for p in images)


def test_bad_inputs_and_outputs_are_each_reported_and_the_rest_done(capsys, tmp_path):
    root = tmp_path / "in"
    make_tree(root, count=1)
    (root / "a/damaged.jpg").write_bytes((root / "a/b/c0.jpg").read_bytes()[:200])
    (root / "a/gone.png").symlink_to(root / "nowhere.png")
    out = tmp_path / "out"
    (out / "d/t0.tif").mkdir(parents=True)  # where an output file should go
    status, err = run(capsys, "straighten", root, root / "missing.png", "-o", out, "--keep-unfitted",
                      "--jobs", "2")
    assert status == 1
    damaged = [line for line in err if "damaged.jpg" in line]
    assert len(damaged) == 1 and damaged[0].startswith(f"vantrell: {root / 'a/damaged.jpg'}: damaged JPEG (")
    assert sorted(line for line in err[:-1] if line not in damaged) == sorted([
        f"vantrell: {root / 'missing.png'}: no such file or folder, or no image matches",
        f"vantrell: {root / 'a/gone.png'}: {os.strerror(2)}",
        f"vantrell: {root / 'd/t0.tif'}: {out / 'd/t0.tif'}: cannot write: {os.strerror(21)}"])
    assert "3 of 6 files done, 3 failed" in err[-1]
    written = sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file())
    assert written == ["a/b/c0.jpg", "a/g0.png", "blank.png"] and part_files(tmp_path) == []


def test_a_table_that_cannot_be_written_stops_at_once(capsys, tree, tmp_path):
    root, _ = tree
    status, err = run(capsys, "lines", root, "-o", tmp_path / "missing/t.csv")
    assert status == 1
    assert err == [f"vantrell: {tmp_path / 'missing/t.csv'}: cannot write: {os.strerror(2)}"]


def test_nothing_to_do_is_a_failure(capsys, tmp_path):
    status, err = run(capsys, "lines", tmp_path / "*.png", "-o", tmp_path / "t.csv")
    assert status == 1 and err[-1] == "vantrell: no images to process"
    assert list(tmp_path.iterdir()) == []


def command(*args):
    return [sys.executable, "-m", "vantrell_tools.cli", *map(str, args)]


@pytest.mark.timeout(300)
def test_an_interrupted_batch_keeps_whole_files_and_resume_completes_it(tmp_path):
    root = tmp_path / "in"
    make_tree(root, count=40, size=(240, 320))
    reference = subprocess.run(command("lines", root, "-o", tmp_path / "all.csv", "--quiet"),
                               capture_output=True, text=True, timeout=240)
    assert reference.returncode == 0, reference.stderr
    expected = read_table(tmp_path / "all.csv")

    out = tmp_path / "t.csv"
    proc = subprocess.Popen(command("lines", root, "-o", out, "--jobs", "2"),
                            stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not [n for n in os.listdir(tmp_path) if n.endswith(".part") and os.path.getsize(tmp_path / n) > 100]:
        assert proc.poll() is None and time.monotonic() < deadline, "the batch ended before it was interrupted"
        time.sleep(0.005)
    proc.send_signal(signal.SIGINT)
    err = proc.communicate(timeout=120)[1]
    assert proc.returncode == 130, err
    assert "interrupted" in err and "--resume" in err
    assert part_files(tmp_path) == []
    kept = read_table(out)
    paths = {row[0] for row in kept}
    assert 0 < len(paths) < 121
    assert f" {len(paths)} of 121 files done" in err
    assert sorted(kept, key=repr) == sorted((row for row in expected if row[0] in paths), key=repr)

    resumed = subprocess.run(command("lines", root, "-o", out, "--resume"), capture_output=True,
                             text=True, timeout=240)
    assert resumed.returncode == 0, resumed.stderr
    assert f"{121 - len(paths)} of 121 files done, {len(paths)} skipped" in resumed.stderr
    assert sorted(read_table(out), key=repr) == sorted(expected, key=repr)
    assert part_files(tmp_path) == []


@pytest.mark.timeout(120)
@pytest.mark.parametrize("quiet", [False, True])
def test_a_terminal_shows_a_progress_bar_unless_quiet(tree, tmp_path, quiet):
    import fcntl
    import pty
    import struct
    import termios

    root, images = tree
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = subprocess.Popen(command("lines", root, "-o", tmp_path / "t.csv", *(["--quiet"] if quiet else [])),
                            stderr=follower, stdout=subprocess.DEVNULL)
    os.close(follower)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    assert proc.wait(timeout=60) == 0
    text = shown.decode(errors="replace")
    assert (f"/{len(images)}" in text and "file/s" in text) != quiet
    assert ("files done" in text) != quiet


@pytest.mark.parametrize("command_name, refusal", [("straighten", "not straightened: "),
                                                   ("flatten", "not flattened: ")])
def test_a_picture_that_cannot_be_corrected_fails_unless_kept_unchanged(capsys, tree, tmp_path,
                                                                         command_name, refusal):
    root, _ = tree
    status, err = run(capsys, command_name, root / "blank.png", "-o", tmp_path / "out")
    assert status == 1 and err[0].startswith(f"vantrell: {root / 'blank.png'}: {refusal}")
    assert list((tmp_path / "out").iterdir()) == []
    status, _ = run(capsys, command_name, root / "blank.png", "-o", tmp_path / "out", "--keep-unfitted")
    assert status == 0
    np.testing.assert_array_equal(read_image(tmp_path / "out/blank.png"), read_image(root / "blank.png"))
