"""The TradableUniverse step on the whole large demo market, its reads included.

    python benchmarks/bench_tradable.py                 # 2431 dates x 5000 stocks
    python benchmarks/bench_tradable.py --repeat 3

The factor is the planted signal of every stock over the store's window (as bench_pipeline
loads it). Each configuration of the step is timed as `process(factor)` in this process after
the factor was loaded (the store is open, its calendar and instruments cached, as in any
pipeline run): the step's own market-data reads (trading status, ST flags, listing ages, index
membership) are inside the timing. "first call" is the first run of the configuration; the
others are the fastest of --repeat, in wall seconds and in CPU seconds of this process (all its
threads; other processes on a shared machine disturb it less). The reads are then timed on their own. The one-minute
load average is printed before and after each figure (the machine is shared).
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import _market  # noqa: E402

CONFIGS = [
    ("all rules, min_listed_days=60", dict()),
    ("all rules + index 000300.XSHG", dict(index="000300.XSHG")),
    ("price limit only", dict(suspended=False, st=False, min_listed_days=0)),
    ("suspended only", dict(price_limit=False, st=False, min_listed_days=0)),
]


def load():
    return "{:.2f}".format(os.getloadavg()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--store", default=None, help="store path (default: the benchmark store)")
    args = parser.parse_args()
    path = _market.ensure_store(args.store)
    _market.select(path)
    import tidewell
    from sigmora.analysis import _market as seam
    from sigmora.analysis.varodyne import TradableUniverse

    t0 = time.perf_counter()
    factor = _market.full_factor()
    print("store: {}\nfactor: planted signal, {} dates x {} stocks, loaded in {:.1f} s".format(
        path, factor.shape[0], factor.shape[1], time.perf_counter() - t0))
    print("{:<34} {:>10} {:>10} {:>10} {:>12} {:>14}".format("configuration", "first s", "best s", "cpu s",
                                                              "removed", "load"))
    for label, kwargs in CONFIGS:
        step = TradableUniverse(**kwargs)
        before = load()
        times, cpu = [], []
        for _ in range(max(1, args.repeat)):
            start, start_cpu = time.perf_counter(), time.process_time()
            out = step.process(factor)
            times.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
        report = out.attrs["removed_by_rule"]
        print("{:<34} {:10.3f} {:10.3f} {:10.3f} {:>12,} {:>14}".format(
            label, times[0], min(times), min(cpu), report["total"], before + " -> " + load()), flush=True)
        if label.startswith("all rules +"):
            for rule, n in report["by_rule"].items():
                print("    {:<40} {:>12,} ({:.2%} of the values)".format(
                    rule, n, n / max(1, int(factor.notna().to_numpy().sum()))))
    ids = [str(c) for c in factor.columns]
    first, last = factor.index[0], factor.index[-1]
    print("\nreads on their own (best of {}):".format(args.repeat))
    reads = [("trading_status", lambda: seam.trading_status(ids, first, last)),
             ("is_st", lambda: seam.special_treatment(ids, first, last)),
             ("listed_days", lambda: seam.listed_days(ids, first, last)),
             ("index_membership 000300.XSHG", lambda: seam.index_membership("000300.XSHG", first, last, ids))]
    for label, fn in reads:
        before = load()
        best = min(_timed(fn) for _ in range(max(1, args.repeat)))
        print("    {:<40} {:8.3f} s   load {} -> {}".format(label, best, before, load()), flush=True)
    st = tidewell.store.open_store(path)
    rows = st.con.execute("SELECT status, count(*) FROM trading_status GROUP BY 1 ORDER BY 1").fetchall()
    print("\ntrading_status rows of the store: {}".format(", ".join("{} {:,}".format(s, n) for s, n in rows)))


def _timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
