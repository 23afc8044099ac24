"""What the benchmarks share: the median wall time of a call."""
import statistics
import time


def median_time(fn, runs):
    """Median of `runs` timed calls of `fn`, after one untimed call (the pool
    starts, pages fault in, caches fill)."""
    fn()
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)
