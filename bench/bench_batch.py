"""Files per second of `vantrell lines` over a folder of generated images.

200 images of mixed sizes up to 1920 x 1080 (PNG and JPEG, gray and RGB) are
drawn once into a folder; then each configuration runs as its own `vantrell
lines` process, configurations alternated, for several rounds:

- --jobs 1, with the pool the command chooses and with RAYON_NUM_THREADS=1
  (one processor)
- --jobs P (P = the processors available), with the pool size the command
  chooses, and with RAYON_NUM_THREADS=P set by hand for comparison
- --scheduler local --jobs P (P worker processes of one thread each)

The rate is taken from the command's own summary line (files over the batch's
time, after start-up); the wall time of the whole process, start-up and cluster
included, is shown beside it. Targets: --jobs P at least 0.85 x P x the --jobs 1
rate, and the local cluster within 25 % of --jobs P.

    python bench/bench_batch.py [--rounds 3] [--images 200] [--folder DIR]
"""
import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

SIZES = [(1920, 1080), (1280, 720), (1024, 768), (800, 600), (640, 480), (1440, 900)]


def scene(width, height, seed):
    """Rectangles, bars and thin lines on a shaded background, with noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    img = 70.0 + 50.0 * x / width + 20.0 * y / height
    for _ in range(12):
        x0, y0 = rng.uniform(0, width * 0.8), rng.uniform(0, height * 0.8)
        w, h = rng.uniform(20, width * 0.3), rng.uniform(20, height * 0.3)
        a = np.deg2rad(rng.uniform(-20, 20))
        u = (x - x0) * np.cos(a) + (y - y0) * np.sin(a)
        v = -(x - x0) * np.sin(a) + (y - y0) * np.cos(a)
        img[(u > 0) & (u < w) & (v > 0) & (v < h)] = rng.uniform(0, 255)
    for _ in range(8):
        x0, y0, x1, y1 = rng.uniform(0, width), rng.uniform(0, height), rng.uniform(0, width), rng.uniform(0, height)
        d = np.abs((x1 - x0) * (y0 - y) - (x0 - x) * (y1 - y0)) / max(np.hypot(x1 - x0, y1 - y0), 1.0)
        img[d < 1.5] = 250.0
    img += rng.normal(0.0, 3.0, img.shape).astype(np.float32)
    return np.clip(np.round(img), 0, 255).astype(np.uint8)


def make_images(folder, count):
    from vantrell_tools.files import write_image

    folder = Path(folder)
    for i in range(count):
        width, height = SIZES[i % len(SIZES)]
        gray = scene(width, height, i)
        sub = folder / f"part{i % 4}"
        sub.mkdir(parents=True, exist_ok=True)
        if i % 2:
            write_image(sub / f"img{i:03d}.jpg", np.stack([gray, gray, 255 - gray], axis=2))
        else:
            write_image(sub / f"img{i:03d}.png", gray)


def vantrell_command():
    script = Path(sys.executable).with_name("vantrell")
    return [str(script)] if script.exists() else [sys.executable, "-m", "vantrell_tools.cli"]


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(folder, out, args, env_extra):
    """Files per second from the command's summary, the process's wall time,
    and the processor time (user + system) of it and the processes it waited
    for: on a shared host the last one holds still when the others do not."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.update(env_extra)
    cpu = cpu_of_children()
    start = time.perf_counter()
    done = subprocess.run(vantrell_command() + ["lines", str(folder), "-o", str(out), *args],
                          env=env, capture_output=True, text=True)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"vantrell {' '.join(args)} failed:\n{done.stderr}")
    rate = float(re.search(r"\(([\d.]+) files/s\)", done.stderr).group(1))
    return rate, wall, cpu_of_children() - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--images", type=int, default=200)
    parser.add_argument("--folder", help="where to draw the images (default: a temporary folder)")
    options = parser.parse_args()

    from vantrell_tools.batch import pool_size, processors

    p = processors()
    configs = [
        (f"--jobs 1 (pool {pool_size(1)})", ["--jobs", "1"], {}),
        ("--jobs 1 (pool 1, RAYON_NUM_THREADS=1)", ["--jobs", "1"], {"RAYON_NUM_THREADS": "1"}),
        (f"--jobs {p} (pool {pool_size(p)})", ["--jobs", str(p)], {}),
        (f"--jobs {p} (pool {p}, RAYON_NUM_THREADS={p})", ["--jobs", str(p)], {"RAYON_NUM_THREADS": str(p)}),
        (f"--scheduler local --jobs {p}", ["--scheduler", "local", "--jobs", str(p)], {}),
    ]
    with tempfile.TemporaryDirectory() as temp:
        folder = Path(options.folder or temp) / "images"
        if not folder.exists():
            print(f"drawing {options.images} images into {folder} ...", flush=True)
            make_images(folder, options.images)
        results = {name: ([], [], []) for name, _, _ in configs}
        for r in range(options.rounds):
            for name, args, env in configs:
                measured = run(folder, Path(temp) / "lines.parquet", args, env)
                for values, value in zip(results[name], measured):
                    values.append(value)
                print(f"round {r + 1}: {name}: {measured[0]:.1f} files/s, {measured[1]:.1f} s wall, "
                      f"{measured[2]:.1f} s processor time", flush=True)

    base = statistics.median(results[configs[0][0]][0])
    one_core = statistics.median(results[configs[1][0]][0])
    jobs_p = statistics.median(results[configs[2][0]][0])
    print(f"\n{options.images} images, P = {p} processors, medians of {options.rounds} rounds\n")
    print("| configuration | files/s | × --jobs 1 | wall time (s, with start-up) | processor ms per file |")
    print("|---|---|---|---|---|")
    for name, _, _ in configs:
        rates, walls, cpus = results[name]
        rate = statistics.median(rates)
        print(f"| {name} | {rate:.1f} | {rate / base:.2f} | {statistics.median(walls):.1f} "
              f"| {1000 * statistics.median(cpus) / options.images:.0f} |")
    cluster = statistics.median(results[configs[4][0]][0])
    print(f"\n--jobs {p} over --jobs 1: {jobs_p / base:.2f} (target ≥ {0.85 * p:.2f}); "
          f"local cluster over --jobs {p}: {cluster / jobs_p:.2f} (target ≥ 0.75)")
    # One file at a time already keeps more than one processor busy with the
    # default pool; against one processor the figure says what the jobs add.
    print(f"--jobs {p} over --jobs 1 on one processor: {jobs_p / one_core:.2f}")


if __name__ == "__main__":
    main()
