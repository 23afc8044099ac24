"""The worker pool seen from Python: fork, thread counts, and a pool that
cannot get all the threads it asks for."""
import os
import sys

import numpy as np
import pytest

import vantrell
from conftest import run_python

FORK = """
import os, sys, numpy as np, vantrell
sys.path.insert(0, {tests!r})
from conftest import draw_scene, segment_tuples
img = draw_scene(120, 160, 1)
before = segment_tuples(vantrell.detect(img))        # the pool now runs
src = np.arange(6 * 7 * 3, dtype=np.uint8).reshape(6, 7, 3)
eye = [1, 0, 0, 0, 1, 0, 0, 0, 1]
warped = vantrell.warp_rgb(src, eye, 1, 0, 0).tobytes()
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    ok = segment_tuples(vantrell.detect(img)) == before and \\
         vantrell.warp_rgb(src, eye, 1, 0, 0).tobytes() == warped
    os.write(w, b"1" if ok else b"0")
    os._exit(0)
os.close(w)
_, status = os.waitpid(pid, 0)
print(os.read(r, 1).decode(), status)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_rebuilds_the_pool(request):
    out = run_python(FORK.format(tests=str(request.path.parent)), timeout=120)
    assert out.split() == ["1", "0"]


def test_more_threads_than_can_be_made_still_work():
    # The pool asks for 100,000 workers while the address space is capped a
    # few megabytes above what the process already maps, so thread stacks run
    # out after a handful: the work must go on with the threads that exist.
    code = """
import resource, numpy as np, vantrell
src = np.arange(40 * 50 * 3, dtype=np.uint8).reshape(40, 50, 3)
with open("/proc/self/status") as status:
    mapped = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (mapped + 24 * 2**20, resource.RLIM_INFINITY))
out = vantrell.warp_rgb(src, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0)
gray = vantrell.detect(np.tile(np.arange(64, dtype=np.uint8) * 4, (64, 1)), 1.0)
print((out == src).all(), isinstance(gray, list))
"""
    assert run_python(code, {"RAYON_NUM_THREADS": "100000"}).split() == ["True", "True"]


FORK_DURING_FIRST_LANCZOS3 = """
import os, threading, time, numpy as np, vantrell
src = np.zeros((64, 64, 3), np.uint8)
m = (np.random.default_rng(1).random((64, 64)) * 60).astype(np.float32)
hung = 0
for k in range(40):
    pid = os.fork()
    if pid == 0:  # a process that has made no Lanczos-3 call yet
        first = threading.Thread(target=vantrell.remap_rgb, args=(src, m, m, "lanczos3"))
        first.start()
        time.sleep(k * 5e-6)
        child = os.fork()  # at some k, while the first call sets up
        if child == 0:
            vantrell.remap_rgb(src, m, m, "lanczos3")
            os._exit(0)
        first.join()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if os.waitpid(child, os.WNOHANG)[0]:
                os._exit(0)
            time.sleep(0.005)
        os.kill(child, 9)
        os.waitpid(child, 0)
        os._exit(1)
    if os.waitpid(pid, 0)[1] != 0:
        hung += 1
        break
print(hung)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_fork_during_the_first_lanczos3_call_leaves_a_working_child():
    assert run_python(FORK_DURING_FIRST_LANCZOS3, {"OPENBLAS_NUM_THREADS": "1"}).split() == ["0"]


OUT_OF_MEMORY = """
import os, resource, numpy as np, vantrell
img = (np.random.default_rng(0).random((700, 700)) * 255).astype(np.uint8)
img[200:500, 300:320] = 255  # something to find

def mapped():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))

failed = []
for started in (False, True):
    for headroom in range(0, 14 * 2**20, 2**17):
        pid = os.fork()
        if pid == 0:
            if started:  # the pool runs before memory is short, or starts after
                vantrell.detect(img[:40, :40])
            resource.setrlimit(resource.RLIMIT_AS, (mapped() + headroom, resource.RLIM_INFINITY))
            try:
                vantrell.detect(img)
            except MemoryError:
                os._exit(3)
            os._exit(0)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        if status not in (0, 3):
            failed.append((started, headroom, status))
print(failed)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_running_out_of_memory_in_detect_raises_memory_error():
    # A sweep of address-space limits from none to ample above what the
    # process maps: every call either returns or raises MemoryError.
    assert run_python(OUT_OF_MEMORY, {"OPENBLAS_NUM_THREADS": "1"}).strip() == "[]"


@pytest.mark.parametrize("limit_gib", [1, 4])
def test_a_pool_asked_for_more_threads_than_memory_allows_fails_soundly(limit_gib):
    # The pool makes threads until the address space runs out; the call then
    # either works with them or raises MemoryError, never ends the process.
    code = f"""
import resource, numpy as np, vantrell
resource.setrlimit(resource.RLIMIT_AS, ({limit_gib} * 2**30, resource.RLIM_INFINITY))
img = (np.random.default_rng(0).random((300, 300)) * 255).astype(np.uint8)
try:
    print(isinstance(vantrell.detect(img), list))
except MemoryError:
    print("MemoryError")
"""
    out = run_python(code, {"RAYON_NUM_THREADS": "1000000000", "OPENBLAS_NUM_THREADS": "1"})
    assert out.strip() in ("True", "MemoryError")
