"""Shared timing and memory measurement for the benchmark scripts.

`measure(fn)` runs `fn` once and returns (seconds, peak RSS growth in bytes, result). The
peak is sampled from /proc by a background thread, so memory allocated by the C++ core is
counted too (tracemalloc would only see Python and NumPy allocations).
"""

import os
import threading
import time


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(fn, *args, **kwargs):
    baseline = _rss_bytes()
    peak = [baseline]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], _rss_bytes())
            done.wait(0.002)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    start = time.perf_counter()
    try:
        result = fn(*args, **kwargs)
    finally:
        seconds = time.perf_counter() - start
        done.set()
        sampler.join()
    peak[0] = max(peak[0], _rss_bytes())
    return seconds, peak[0] - baseline, result


def best_of(repeat, fn, *args, **kwargs):
    """Fastest of `repeat` runs, with the largest memory growth seen."""
    runs = [measure(fn, *args, **kwargs) for _ in range(repeat)]
    return min(r[0] for r in runs), max(r[1] for r in runs), runs[-1][2]


def print_header():
    print("{:<44} {:>14} {:>10} {:>12} {:>8} {:>10}".format(
        "stage", "shape", "sigmora s", "reference s", "ratio", "peak MB"))


def print_row(stage, shape, ours_s, ref_s=None, peak_bytes=0):
    ref = "{:12.3f}".format(ref_s) if ref_s is not None else "{:>12}".format("-")
    ratio = "{:7.1f}x".format(ref_s / ours_s) if ref_s is not None and ours_s > 0 else "{:>8}".format("-")
    print("{:<44} {:>14} {:10.3f} {} {} {:10.1f}".format(
        stage, shape, ours_s, ref, ratio, peak_bytes / 2**20), flush=True)
