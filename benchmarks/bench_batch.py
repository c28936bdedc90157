"""Batch machinery: 40 factors at 1000 x 2000 through the full demo pipeline, run one by one in
this process, then on local Dask clusters of 1 and 2 worker processes (the clusters that
`run_many(..., client=None)` starts).

    python benchmarks/bench_batch.py [--factors 40] [--dates 1000] [--ids 2000] [--repeats 2]
    python benchmarks/bench_batch.py --drift 120     # does a long-lived worker slow down?

Overhead is what the batch costs beyond the work itself: the 1-worker cluster's time minus
the sequential time with the same kernel threads (shipping tables, scheduling, result
transfer), per factor and as a share of the work. Speed-up in workers compares clusters whose
workers have one kernel thread each, so that adding a worker adds a core. Both sides are
measured warm (a researcher's cluster outlives one batch): the sequential loop after one
untimed factor, each cluster after one untimed factor per worker, whose time is printed as
the warm-up. Sequential loops and batches alternate, `--repeats` times each, and the best of
each side counts: this machine is shared, and a run that other work slowed says nothing about
sigmora.
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
from sigmora.batch import local_cluster, run_many  # noqa: E402


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


def time_sequential(engine, factors, returns, periods):
    start = time.perf_counter()
    for table in factors.values():
        engine.analysis(table.copy(), returns, periods=periods)
    return time.perf_counter() - start


def timed_run(engine, table, returns, periods, store_path):
    """One factor test where it is called (this process or a worker): wall seconds, minor
    page faults and RSS in MB after it."""
    import resource
    import psutil
    if tidewell.current_path() != store_path:
        tidewell.init(store_path)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.perf_counter()
    engine.analysis(table.copy(), returns, periods=periods)
    seconds = time.perf_counter() - start
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    return seconds, faults, psutil.Process().memory_info().rss / 2**20


def drift(engine, factors, returns, periods, n_runs, block=20):
    """Does a long-lived worker slow down? `n_runs` factor tests one after another, first in
    this process, then in one worker of a local cluster (all kernel threads in both); the
    mean seconds, page faults and last RSS of every `block` consecutive runs."""
    from dask.distributed import Client
    tables = list(factors.values())
    store = tidewell.current_path()
    with local_cluster(1) as cluster, Client(cluster.scheduler_address) as client:
        shared = client.scatter(returns, broadcast=True)
        sides = {"this process": lambda t: timed_run(engine, t, returns, periods, store),
                 "1 worker": lambda t: client.submit(timed_run, engine, t, shared, periods, store,
                                                     pure=False).result()}
        for side, run in sides.items():
            runs = [run(tables[i % len(tables)]) for i in range(n_runs)]
            for first in range(0, n_runs, block):
                part = runs[first:first + block]
                print("{:<13} runs {:>3}-{:<3} {:.3f} s per factor   {:>7.0f} page faults   RSS {:.0f} MB".format(
                    side, first + 1, first + len(part), sum(r[0] for r in part) / len(part),
                    sum(r[1] for r in part) / len(part), part[-1][2]), flush=True)


def measure(engine, factors, returns, periods, n_workers, kernel_threads, repeats, sequential=True):
    """On a fresh local cluster of `n_workers` (after one warm-up factor per worker), the batch
    `repeats` times, each after the same factors run one by one in this process with the same
    kernel threads (so both see the same machine load); the warm-up's seconds and the largest
    worker peak RSS in MB."""
    import sigmora
    from dask.distributed import Client
    sigmora.set_num_threads(kernel_threads)
    engine.analysis(next(iter(factors.values())).copy(), returns, periods=periods)  # warm caches
    with local_cluster(n_workers) as cluster, Client(cluster.scheduler_address) as client:
        # A client connected by address leaves the workers' kernel threads as set here.
        client.run(lambda: __import__("sigmora").set_num_threads(kernel_threads))
        client.run(start_rss_sampler)
        warm_up = dict(list(factors.items())[:n_workers])
        start = time.perf_counter()
        run_many(engine, {"warm-up-" + k: v for k, v in warm_up.items()}, periods=periods, client=client,
                 progress=False)
        warm_s = time.perf_counter() - start
        sequential_s, batch_s = [], []
        for _ in range(repeats):
            if sequential:
                sequential_s.append(time_sequential(engine, factors, returns, periods))
            start = time.perf_counter()
            batch = run_many(engine, factors, periods=periods, client=client, progress=False)
            batch_s.append(time.perf_counter() - start)
            assert not batch.failures, batch.report()
        worker_mb = client.run(peak_rss_mb)
    return sequential_s, batch_s, warm_s, max(worker_mb.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factors", type=int, default=40)
    parser.add_argument("--dates", type=int, default=1000)
    parser.add_argument("--ids", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=2, help="timed runs of each side (the best counts)")
    parser.add_argument("--store", default=None, help="tidewell store (default: the large benchmark store)")
    parser.add_argument("--overhead-only", action="store_true",
                        help="only the sequential run and the 1-worker cluster with all kernel threads")
    parser.add_argument("--drift", type=int, default=0, metavar="N",
                        help="instead: N factor tests one after another in this process and in one "
                             "long-lived worker, timed in blocks of 20")
    args = parser.parse_args()

    _market.select(args.store or _market.ensure_store())
    factors = make_factors(args.factors, args.dates, args.ids)
    periods = _market.PERIODS
    engine = make_engine()
    cores = os.cpu_count() or 1
    print("batch of {} factors at {} x {}, periods {}, {} cores, load {:.2f}, best of {}".format(
        args.factors, args.dates, args.ids, periods, cores, os.getloadavg()[0], args.repeats), flush=True)

    start = time.perf_counter()
    returns = _daily_returns(next(iter(factors.values())), periods)
    print("return table {:.2f} s".format(time.perf_counter() - start))
    if args.drift:
        drift(engine, factors, returns, periods, args.drift)
        return
    n = args.factors
    row = "{:<44} {:>8.2f} s   {:.3f} s per factor   {}"
    runs = lambda times: "(runs: {})".format(", ".join("{:.2f}".format(t) for t in times))  # noqa: E731

    configs = [cores] + ([1] if cores > 1 and not args.overhead_only else [])
    single_s = None
    for threads in configs:
        seq, one, warm_s, one_mb = measure(engine, factors, returns, periods, 1, threads, args.repeats)
        print(row.format("sequential, one process, {} kernel thread{}".format(threads, "s" * (threads > 1)),
                         min(seq), min(seq) / n, runs(seq)))
        overhead = min(one) - min(seq)
        print(row.format("1 worker, {} kernel thread{}".format(threads, "s" * (threads > 1)), min(one),
                         min(one) / n, "overhead {:.2f} s = {:.3f} s per factor = {:.1%} of the work; warm-up "
                         "factor {:.2f} s; worker peak RSS {:.0f} MB {}".format(
                             overhead, overhead / n, overhead / min(seq), warm_s, one_mb, runs(one))))
        if threads == 1:
            single_s = min(one)
    if single_s is not None:
        _, many, warm_s, many_mb = measure(engine, factors, returns, periods, cores, 1, args.repeats,
                                           sequential=False)
        print(row.format("{} workers, 1 kernel thread each".format(cores), min(many), min(many) / n,
                         "speed-up {:.2f}x over 1 worker (ideal {}x); warm-up {:.2f} s; worker peak RSS "
                         "{:.0f} MB {}".format(single_s / min(many), cores, warm_s, many_mb, runs(many))))


if __name__ == "__main__":
    main()
