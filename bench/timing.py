"""Timing helper shared by the benchmark scripts."""

import statistics
import time


def median_time(fn, repeat):
    """The median wall time of `repeat` calls of `fn`, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)
