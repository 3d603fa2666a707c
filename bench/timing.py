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


def median_wall_and_cpu(fn, repeat):
    """The medians of `repeat` calls of `fn`: wall time, and the calling
    thread's CPU time (which time spent waiting for a core under load from
    other processes leaves out), in seconds."""
    wall, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.thread_time()
        fn()
        cpu.append(time.thread_time() - start_cpu)
        wall.append(time.perf_counter() - start)
    return statistics.median(wall), statistics.median(cpu)
