"""Many callers at once: batch throughput of `detect` from several threads and
from several processes, the processor time a call takes, and how long a warp
waits while another thread detects.

Every configuration runs in a process of its own; the configurations take
turns within each round and the figures are medians over the rounds.

- Batch throughput: 8 distinct 1920 x 1080 pages and 32 distinct 512 x 512
  images through `detect`: from one thread with RAYON_NUM_THREADS=1 (the
  single-core rate), from P threads with the default pool, from P threads
  with one worker, and from P processes with one worker each, started
  together. Target: P threads with the default pool reach at least
  min(0.85 P, 0.95 x the P-process figure) x the single-core rate.
- Processor time per call: user + system time over wall time of `detect`
  calls back to back with RAYON_NUM_THREADS=1 (target <= 1.15), and the
  processor time per call with the default pool over that with one worker
  (target <= 1.2).
- Starvation: median latency of a 1920 x 1080 bilinear `warp_rgb` while
  another thread runs `detect` in a loop, over its latency alone
  (target <= 2.0).

    python bench/bench_concurrency.py [--rounds 5] [--callers P]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
IDENTITY = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
WARP = [1.02, 0.03, -14.0, -0.02, 0.99, 9.0, 1.5e-5, -1e-5, 1.0]


def make_images(path):
    """The two batches, saved to `path` (one npz) so that every process reads
    the same arrays without rebuilding them."""
    import skimage.color
    import skimage.data
    import skimage.transform

    def gray(img):
        if img.ndim == 3:
            img = skimage.color.rgb2gray(img[..., :3]) * 255
        return np.asarray(img, dtype=np.float64)

    sources = [gray(getattr(skimage.data, name)()) for name in
               ("page", "camera", "text", "coins", "brick", "coffee", "rocket", "astronaut")]
    pages = []
    for k, src in enumerate(sources):
        big = skimage.transform.resize(src, (1080, 1920), order=1, preserve_range=True,
                                       anti_aliasing=False)
        pages.append(np.round(big[:, ::-1] if k % 2 else big).astype(np.uint8))
    small = []
    for k in range(32):
        page = pages[k % 8]
        y = 37 * k % (1080 - 512)
        x = 101 * k % (1920 - 512)
        small.append(np.ascontiguousarray(page[y:y + 512, x:x + 512]))
    np.savez(path, pages=np.stack(pages), small=np.stack(small))


def load(path, batch):
    with np.load(path) as data:
        return list(data[batch])


# --- what a child process does -------------------------------------------

def child_batch(path, batch, threads, reps, share):
    """Times `reps` passes of the batch (or of its `share`-th part, for the
    process configuration) from `threads` caller threads; prints the median."""
    import vantrell
    images = load(path, batch)
    if share is not None:
        index, count = share
        images = images[index::count]
    for img in images[:2]:
        vantrell.detect(img)

    def one_pass():
        todo = list(range(len(images)))
        lock = threading.Lock()

        def caller():
            while True:
                with lock:
                    if not todo:
                        return
                    i = todo.pop(0)
                vantrell.detect(images[i])

        workers = [threading.Thread(target=caller) for _ in range(threads)]
        for t in workers:
            t.start()
        for t in workers:
            t.join()

    if share is not None:
        # Started together: report ready, wait for the word, report the end.
        print("ready", flush=True)
        sys.stdin.readline()
        one_pass()
        print(json.dumps({"end": time.monotonic()}), flush=True)
        return
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        one_pass()
        times.append(time.perf_counter() - start)
    print(json.dumps({"seconds": statistics.median(times)}))


def child_cpu(path, batch, reps):
    """Processor time (user + system, every thread) and wall time of the
    batch's calls one after another."""
    import vantrell
    images = load(path, batch)
    vantrell.detect(images[0])
    cpu = wall = 0.0
    calls = 0
    for _ in range(reps):
        for img in images:
            c0, w0 = time.process_time(), time.perf_counter()
            vantrell.detect(img)
            cpu += time.process_time() - c0
            wall += time.perf_counter() - w0
            calls += 1
    print(json.dumps({"cpu_per_call": cpu / calls, "cpu_over_wall": cpu / wall}))


def child_starve(path, reps):
    """Warp latencies alone and beside a thread that detects in a loop, in
    alternating blocks."""
    import vantrell
    pages = load(path, "pages")
    rgb = np.ascontiguousarray(np.stack([pages[0], pages[1], pages[2]], axis=-1))

    def warp():
        start = time.perf_counter()
        vantrell.warp_rgb(rgb, WARP, 1.0, 0.0, 0.0)
        return time.perf_counter() - start

    warp()
    alone, beside = [], []
    for _ in range(reps):
        for _ in range(10):
            time.sleep(0.002)
            alone.append(warp())
        stop = threading.Event()

        def detect_loop():
            k = 0
            while not stop.is_set():
                vantrell.detect(pages[k % len(pages)])
                k += 1

        loop = threading.Thread(target=detect_loop)
        loop.start()
        time.sleep(0.05)
        for _ in range(10):
            time.sleep(0.002)
            beside.append(warp())
        stop.set()
        loop.join()
    print(json.dumps({"alone": statistics.median(alone), "beside": statistics.median(beside)}))


# --- the parent -----------------------------------------------------------

def run_child(args, workers):
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if workers is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(workers)
    out = subprocess.run([sys.executable, __file__, "--child", *args], env=env, check=True,
                         capture_output=True, text=True, cwd=HERE)
    return json.loads(out.stdout.splitlines()[-1])


def processes_together(path, batch, count):
    """`count` processes with one worker each, each with its share of the
    batch, started together; the wall time from the go to the last end."""
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    env.pop("RAYON_RS_NUM_CPUS", None)
    procs = [subprocess.Popen([sys.executable, __file__, "--child", "batch", path, batch, "1", "1",
                               f"{k}/{count}"], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, cwd=HERE) for k in range(count)]
    for p in procs:
        assert p.stdout.readline().strip() == "ready"
    go = time.monotonic()
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    ends = []
    for p in procs:
        ends.append(json.loads(p.stdout.readline())["end"])
        p.wait()
    return max(ends) - go


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--reps", type=int, default=3, help="timed passes per process")
    parser.add_argument("--callers", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--child", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, *rest = args.child
        if kind == "batch":
            path, batch, threads, reps, *share = rest
            part = tuple(int(v) for v in share[0].split("/")) if share else None
            child_batch(path, batch, int(threads), int(reps), part)
        elif kind == "cpu":
            child_cpu(rest[0], rest[1], int(rest[2]))
        else:
            child_starve(rest[0], int(rest[1]))
        return

    p = args.callers
    load_before = os.getloadavg()[0]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "images.npz")
        make_images(path)
        counts = {"pages": 8, "small": 32}
        labels = {"pages": "8 pages 1920x1080", "small": "32 images 512x512"}
        batch = {b: {"single": [], "threads": [], "threads1": [], "procs": []} for b in counts}
        cpu = {b: {"one": [], "pool": []} for b in counts}
        starve = []
        for _ in range(args.rounds):
            for b in counts:
                reps = str(args.reps)
                batch[b]["single"].append(run_child(["batch", path, b, "1", reps], 1)["seconds"])
                batch[b]["threads"].append(run_child(["batch", path, b, str(p), reps], None)["seconds"])
                batch[b]["procs"].append(processes_together(path, b, p))
                batch[b]["threads1"].append(run_child(["batch", path, b, str(p), reps], 1)["seconds"])
                cpu[b]["one"].append(run_child(["cpu", path, b, "2"], 1))
                cpu[b]["pool"].append(run_child(["cpu", path, b, "2"], None))
            starve.append(run_child(["starve", path, "4"], None))

    med = statistics.median
    print(f"Load average of the machine: {load_before:.1f} before, {os.getloadavg()[0]:.1f} after "
          f"({len(os.sched_getaffinity(0))} processors)")
    print(f"Batch throughput, {p} callers; medians of {args.rounds} rounds "
          f"(speed-up = the single-core time over the configuration's, taken round by round)")
    print(f"{'batch':<20}{'1 thread, 1 worker':>20}{f'{p} threads, pool':>18}"
          f"{f'{p} threads, 1 worker':>22}{f'{p} processes':>14}{'target':>9}{'':>6}")
    for b in counts:
        single = batch[b]["single"]
        ups = {k: med(s / t for s, t in zip(single, batch[b][k])) for k in ("threads", "threads1", "procs")}
        target = min(0.85 * p, 0.95 * ups["procs"])
        print(f"{labels[b]:<20}{med(single):>18.3f} s"
              f"{med(batch[b]['threads']):>9.3f} s {ups['threads']:>5.2f}x"
              f"{med(batch[b]['threads1']):>13.3f} s {ups['threads1']:>5.2f}x"
              f"{ups['procs']:>13.2f}x{target:>8.2f}x"
              f"{'  ok' if ups['threads'] >= target else '  SHORT':>6}")
        spread = [s / t for s, t in zip(single, batch[b]["threads"])]
        print(f"{'':<20}rounds of {p} threads, pool: " + " ".join(f"{v:.2f}" for v in spread))

    print()
    print(f"Processor time per detect call, calls back to back; medians of {args.rounds} rounds")
    print(f"{'batch':<20}{'CPU/wall, 1 worker':>20}{'target':>8}{'CPU per call, pool / 1 worker':>31}{'target':>8}")
    for b in counts:
        over = med(r["cpu_over_wall"] for r in cpu[b]["one"])
        per = med(q["cpu_per_call"] / o["cpu_per_call"] for q, o in zip(cpu[b]["pool"], cpu[b]["one"]))
        print(f"{labels[b]:<20}{over:>20.2f}{'<= 1.15':>8}{per:>31.2f}{'<= 1.2':>8}")

    print()
    alone = med(s["alone"] for s in starve)
    beside = med(s["beside"] for s in starve)
    ratio = med(s["beside"] / s["alone"] for s in starve)
    print(f"Starvation: warp_rgb bilinear 1920x1080 alone {alone * 1e3:.2f} ms, beside a detecting "
          f"thread {beside * 1e3:.2f} ms: {ratio:.2f}x (target <= 2.0); rounds: "
          + " ".join(f"{s['beside'] / s['alone']:.2f}" for s in starve))


if __name__ == "__main__":
    main()
