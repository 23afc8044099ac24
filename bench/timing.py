"""What the benchmarks share: median wall times, alone or in pairs."""
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


def paired_times(fa, fb, runs):
    """Times `fa` and `fb` in turn, A B A B ..., after one untimed call of
    each; returns the median time of each and the median of the per-pair
    ratios A / B, which holds up when the machine's speed drifts."""
    fa()
    fb()
    ta, tb = [], []
    for _ in range(runs):
        for fn, times in ((fa, ta), (fb, tb)):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
    ratio = statistics.median(a / b for a, b in zip(ta, tb))
    return statistics.median(ta), statistics.median(tb), ratio
