"""Batch machinery: 40 factors at 1000 x 2000 through the full demo pipeline, run one by one in
this process, then on local Dask clusters of 1 and 2 worker processes.

    python benchmarks/bench_batch.py [--factors 40] [--dates 1000] [--ids 2000]

Overhead is what the batch costs beyond the work itself: the 1-worker cluster's time minus
the sequential time (shipping tables, scheduling, result transfer), per factor and as a share
of the work. Speed-up is the sequential time over the 2-worker time.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _market  # noqa: E402

import tidewell  # noqa: E402
from sigmora.analysis.varodyne import FactorVarodyne  # noqa: E402
from sigmora.analysis.varodyne import _daily_returns  # noqa: E402
from sigmora.batch import run_many  # noqa: E402


def make_engine():
    """The full pipeline of `sigmora demo`."""
    from sigmora.cli import DEMO_BENCHMARK, build_steps
    engine = FactorVarodyne()
    for step in build_steps(benchmark=DEMO_BENCHMARK):
        engine.append(step)
    return engine


def make_factors(n, n_dates, n_ids):
    signal = _market.full_factor().iloc[:n_dates, :n_ids].astype(np.float64)
    rng = np.random.default_rng(7)
    factors = {}
    for i in range(n):
        weight = i / max(n - 1, 1)
        noise = rng.standard_normal(signal.shape)
        factors["f{:02d}".format(i)] = signal * weight + noise * (1 - weight)
    return factors


def start_rss_sampler():
    """Runs in a worker: samples its RSS every 5 ms into a module global (ru_maxrss would
    report the parent's high-water mark, inherited at fork)."""
    import threading
    import psutil
    proc = psutil.Process()
    # Kept on the sys module: this function travels by value, with a fresh globals dict per call.
    state = sys.__dict__.setdefault("_bench_rss", {"peak": 0})

    def sample():
        while True:
            state["peak"] = max(state["peak"], proc.memory_info().rss)
            time.sleep(0.005)

    threading.Thread(target=sample, daemon=True).start()


def peak_rss_mb():
    return sys.__dict__.get("_bench_rss", {"peak": 0})["peak"] / 2**20


def run_cluster(engine, factors, periods, n_workers):
    from dask.distributed import Client, LocalCluster
    with LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      host="127.0.0.1") as cluster, Client(cluster) as client:
        client.run(lambda: __import__("sigmora").set_num_threads(max(1, (os.cpu_count() or 1) // n_workers)))
        client.run(start_rss_sampler)
        start = time.perf_counter()
        batch = run_many(engine, factors, periods=periods, client=client, progress=False)
        seconds = time.perf_counter() - start
        worker_mb = client.run(peak_rss_mb)
    assert not batch.failures, batch.report()
    return seconds, max(worker_mb.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factors", type=int, default=40)
    parser.add_argument("--dates", type=int, default=1000)
    parser.add_argument("--ids", type=int, default=2000)
    parser.add_argument("--store", default=None, help="tidewell store (default: the large benchmark store)")
    args = parser.parse_args()

    _market.select(args.store or _market.ensure_store())
    factors = make_factors(args.factors, args.dates, args.ids)
    periods = _market.PERIODS
    engine = make_engine()
    print("batch of {} factors at {} x {}, periods {}, {} cores, load {}".format(
        args.factors, args.dates, args.ids, periods, os.cpu_count(), os.getloadavg()[0]), flush=True)

    start = time.perf_counter()
    returns = _daily_returns(next(iter(factors.values())), periods)
    load_s = time.perf_counter() - start
    start = time.perf_counter()
    for table in factors.values():
        engine.analysis(table.copy(), returns, periods=periods)
    sequential_s = time.perf_counter() - start
    print("{:<40} {:>10.2f} s   ({:.2f} s per factor; return table {:.2f} s)".format(
        "sequential, one process", sequential_s, sequential_s / args.factors, load_s))

    one_s, one_mb = run_cluster(engine, factors, periods, 1)
    overhead = one_s - sequential_s
    print("{:<40} {:>10.2f} s   overhead {:.2f} s = {:.3f} s per factor = {:.1%} of the work; "
          "worker peak RSS {:.0f} MB".format("local cluster, 1 worker", one_s, overhead,
                                            overhead / args.factors, overhead / sequential_s, one_mb))
    two_s, two_mb = run_cluster(engine, factors, periods, 2)
    print("{:<40} {:>10.2f} s   speed-up {:.2f}x over sequential; worker peak RSS {:.0f} MB".format(
        "local cluster, 2 workers", two_s, sequential_s / two_s, two_mb))


if __name__ == "__main__":
    main()
