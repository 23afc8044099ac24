"""Python threads calling at once, and pools of different sizes, give the
results of sequential calls, bit for bit."""
import hashlib
import json
import random
import threading
import time

import numpy as np
import pytest

import vantrell
from conftest import draw_scene, run_python, segment_tuples

THREADS = 8
SECONDS = 3.0
POOL_SIZES = ["1", "2", "3", "8"]


def jobs():
    """Named calls of every function, sample type, filter and layout; large
    enough that rows are split across the pool."""
    rng = np.random.default_rng(11)
    gray = draw_scene(150, 200, 2)
    rgb = rng.integers(0, 256, (90, 120, 3), dtype=np.uint8)
    rgb16 = rng.integers(0, 65536, (90, 120, 3), dtype=np.uint16)
    mask = rng.integers(0, 256, (90, 120), dtype=np.uint8)
    my, mx = np.mgrid[0:80, 0:110].astype(np.float32)
    mx = (mx * 1.07 + 0.3 * np.sin(my / 7)).astype(np.float32)
    my = (my * 0.93 + 0.25 * np.cos(mx / 5)).astype(np.float32)
    h = [1.01, 0.04, -3.0, -0.02, 0.99, 2.5, 2e-4, -1e-4, 1.0]
    bars = many_bars(260, 300)
    return {
        "detect u8": lambda: vantrell.detect(gray),
        "detect many rectangles": lambda: vantrell.detect(bars, 1.0),
        "detect u16 fortran": lambda: vantrell.detect(np.asfortranarray(gray.astype(np.uint16) * 257), 0.6),
        "detect f32 full": lambda: vantrell.detect(gray.astype(np.float32), 1.0),
        "detect f64 reversed": lambda: vantrell.detect(gray[::-1].astype(np.float64)),
        "warp bilinear": lambda: vantrell.warp_rgb(rgb, h, 1.0, 0.5, -0.5),
        "warp lanczos3 u16": lambda: vantrell.warp_rgb(rgb16, h, 1.5, 0, 0, "lanczos3", (140, 100)),
        "warp strided": lambda: vantrell.warp_rgb(rgb[::2, ::-1], h, 0.75, 1, 2, "lanczos3"),
        "remap_rgb bilinear": lambda: vantrell.remap_rgb(rgb, mx, my),
        "remap_rgb lanczos3 u16": lambda: vantrell.remap_rgb(rgb16, mx, my, "lanczos3"),
        "remap_gray transposed maps": lambda: vantrell.remap_gray(mask, mx.T.copy().T, my, "lanczos3"),
        "remap_gray bilinear": lambda: vantrell.remap_gray(mask, mx, my),
    }


def many_bars(height, width):
    """Short bars at many angles: enough refined rectangles that their
    improvement is handed out to the pool in several batches."""
    rng = np.random.default_rng(5)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    img = np.full((height, width), 90.0)
    for _ in range(120):
        cx, cy = rng.uniform(0, width), rng.uniform(0, height)
        a = rng.uniform(0, np.pi)
        u = (x - cx) * np.cos(a) + (y - cy) * np.sin(a)
        v = -(x - cx) * np.sin(a) + (y - cy) * np.cos(a)
        img[(np.abs(u) < rng.uniform(8, 30)) & (np.abs(v) < 2.5)] = rng.uniform(150, 250)
    img += rng.normal(0.0, 2.0, img.shape)
    return np.clip(np.round(img), 0, 255).astype(np.uint8)


def fingerprint(result):
    if isinstance(result, list):
        return repr([tuple(v.hex() for v in t) for t in segment_tuples(result)]).encode()
    return result.dtype.str.encode() + repr(result.shape).encode() + result.tobytes()


def digest():
    """One hash over every job's result, in a fixed order."""
    h = hashlib.sha256()
    for name, job in sorted(jobs().items()):
        h.update(name.encode() + b"\0" + fingerprint(job()))
    return h.hexdigest()


@pytest.fixture(scope="module")
def sequential():
    return {name: fingerprint(job()) for name, job in jobs().items()}


def test_threads_calling_at_once_get_the_sequential_results(sequential):
    todo = jobs()
    names = sorted(todo)
    done = [0] * THREADS
    faults = []
    start = threading.Barrier(THREADS)
    stop_at = [0.0]

    def worker(k):
        order = names[:]
        random.Random(k).shuffle(order)
        start.wait()
        if k == 0:
            stop_at[0] = time.monotonic() + SECONDS
        while True:
            for name in order:
                try:
                    got = fingerprint(todo[name]())
                except BaseException as exc:  # noqa: BLE001 - reported below
                    faults.append((k, name, repr(exc)))
                    return
                if got != sequential[name]:
                    faults.append((k, name, "differs from the sequential result"))
                done[k] += 1
            if stop_at[0] and time.monotonic() > stop_at[0]:
                return

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    assert faults == []
    assert all(n >= len(names) for n in done), done


def test_results_do_not_depend_on_the_pool_size(request):
    code = (f"import sys; sys.path.insert(0, {str(request.path.parent)!r})\n"
            "import test_concurrency; print(test_concurrency.digest())")
    here = digest()
    for n in POOL_SIZES:
        out = run_python(code, {"RAYON_NUM_THREADS": n}, timeout=600).strip()
        assert out == here, f"RAYON_NUM_THREADS={n}"


def threaded_digests(callers):
    """Every job run once by each of `callers` threads at once, each thread in
    its own order; the set of result hashes per job."""
    todo = jobs()
    seen = {name: set() for name in todo}
    start = threading.Barrier(callers)

    def caller(k):
        order = sorted(todo)
        random.Random(k).shuffle(order)
        start.wait()
        for name in order:
            seen[name].add(hashlib.sha256(fingerprint(todo[name]())).hexdigest())

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(callers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return {name: sorted(hashes) for name, hashes in seen.items()}


@pytest.mark.parametrize("workers", ["1", "2", "3"])
def test_any_number_of_callers_on_any_pool_gets_the_sequential_results(request, sequential, workers):
    # One worker and eight callers: callers outnumber workers, and every call
    # still finishes (the timeout would catch a deadlock).
    code = (f"import sys, json; sys.path.insert(0, {str(request.path.parent)!r})\n"
            "import test_concurrency as tc\n"
            "print(json.dumps({n: tc.threaded_digests(n) for n in (1, 2, 8)}))")
    out = json.loads(run_python(code, {"RAYON_NUM_THREADS": workers}, timeout=600))
    expected = {name: [hashlib.sha256(f).hexdigest()] for name, f in sequential.items()}
    for callers, digests in out.items():
        assert digests == expected, f"{callers} callers, {workers} workers"


DAEMONS_AT_EXIT = """
import threading, time, numpy as np, vantrell
img = (np.random.default_rng(0).random((300, 300)) * 255).astype(np.uint8)
rgb = np.zeros((200, 200, 3), np.uint8)
m = (np.random.default_rng(1).random((200, 200)) * 200).astype(np.float32)
call = {{
    "detect": lambda: vantrell.detect(img),
    "warp_rgb": lambda: vantrell.warp_rgb(rgb, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, "lanczos3"),
    "remap_rgb": lambda: vantrell.remap_rgb(rgb, m, m, "lanczos3"),
}}[{name!r}]
for _ in range(3):
    threading.Thread(target=lambda: [call() for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.3)
print("main thread done")
"""


@pytest.mark.parametrize("name", ["detect", "warp_rgb", "remap_rgb"])
def test_calls_still_running_in_daemon_threads_let_the_interpreter_exit(name):
    # The interpreter finalises while the daemon threads are inside calls: a
    # thread that comes back to it must not take the process down.
    for _ in range(3):
        assert run_python(DAEMONS_AT_EXIT.format(name=name), timeout=120) == "main thread done\n"
