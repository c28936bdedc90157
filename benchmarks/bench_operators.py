"""Expression operators against their pandas equivalents, and all shipped alphas together, on the
large demo market (2431 trading dates x 5000 stocks).

    python benchmarks/bench_operators.py                    # operators, then all alphas
    python benchmarks/bench_operators.py --skip-alphas
    python benchmarks/bench_operators.py --scale 4          # 1/4 of the dates and of the stocks

Per operator: sigmora's node computed on the store's post-adjusted closes (and volumes for the
two-operand ones, industries for the group ones), best of `--repeats`, against the pandas
spelling of the same operator on the same DataFrame. Where pandas has no vectorised form
(`rolling(...).apply` of argmax, product, weighted sums, regressions) it is timed on the
first `--slow-columns` stocks and scaled to the whole table by the column count (marked
"scaled"); such a loop is linear in the columns.

Two floor lines come first: copying the table into a fresh table (mapped and zeroed by the
kernel on first touch, as any new table of this size) and into a table written before (no page
faults). No operator that writes its result as a new table can beat the first, nor one that
writes into a reused table the second. Each operator is then timed twice: with a new buffer
pool ("fresh": as `evaluate` of that node alone computes it, into newly allocated tables) and with
a warm one ("pooled": as the nodes of a long evaluation such as the alphas below are computed).

All alphas: `sigmora.evaluation.iter_evaluate` of every shipped alpha over all dates and
stocks (each leaf fetched once, common subexpressions once), each table dropped as it
arrives; the leaf fetch alone is timed first and reported apart.
"""

import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _market  # noqa: E402
from _harness import measure  # noqa: E402

import sigmora  # noqa: E402
import tidewell  # noqa: E402
from sigmora import operators as op  # noqa: E402
from sigmora.evaluation import _Failure, _Graph, _Pool, evaluate_many, iter_evaluate  # noqa: E402
from sigmora.interface import UserDefinedLeafFactor  # noqa: E402
from sigmora.leaves import bar_field, industry  # noqa: E402

sys.path.insert(0, os.path.join(_market.ROOT, "tests"))
import reference_operators as ref  # noqa: E402


def _leaf(name):
    def fetch(order_book_ids, start_date, end_date):
        raise AssertionError("values are given")
    fetch.__name__ = name
    return UserDefinedLeafFactor(name, fetch)


X, Y, G = _leaf("x"), _leaf("y"), _leaf("g")


def run_node(node, data, pool):
    """The node's values from given leaf arrays, as evaluate computes them with ``pool`` (a new
    pool: as `evaluate` of the node alone; a warm one: as a node of a long evaluation)."""
    [(_, value, _)] = list(_Graph([node.expr]).run({id(k): v for k, v in data.items()}, pool))
    if isinstance(value, _Failure):
        raise value.error
    return value


def rolling_apply(fn):
    return lambda x, d: x.rolling(d, min_periods=d).apply(fn, raw=True)


def weights_apply(weights_of):
    def go(x, d):
        w = weights_of(d)
        return x.rolling(d, min_periods=d).apply(lambda v: np.dot(v, w), raw=True)
    return go


def _decay(d):
    w = np.arange(1, d + 1, dtype=float)
    return w / w.sum()


def _ema(d):
    w = (1 - 2.0 / (d + 1)) ** np.arange(d)[::-1]
    return w / w.sum()


# name, window, sigmora node, pandas equivalent (frames x, y, groups g), pandas is a python loop
CASES = [
    ("ts_delay", 5, lambda d: op.ts_delay(X, d), lambda x, y, g, d: x.shift(d), False),
    ("ts_delta", 5, lambda d: op.ts_delta(X, d), lambda x, y, g, d: x - x.shift(d), False),
    ("ts_sum", 20, lambda d: op.ts_sum(X, d), lambda x, y, g, d: x.rolling(d).sum(), False),
    ("ts_mean", 20, lambda d: op.ts_mean(X, d), lambda x, y, g, d: x.rolling(d).mean(), False),
    ("ts_std", 20, lambda d: op.ts_std(X, d), lambda x, y, g, d: x.rolling(d).std(), False),
    ("ts_min", 20, lambda d: op.ts_min(X, d), lambda x, y, g, d: x.rolling(d).min(), False),
    ("ts_max", 20, lambda d: op.ts_max(X, d), lambda x, y, g, d: x.rolling(d).max(), False),
    ("ts_argmin", 10, lambda d: op.ts_argmin(X, d), lambda x, y, g, d: rolling_apply(np.argmin)(x, d) + 1, True),
    ("ts_argmax", 10, lambda d: op.ts_argmax(X, d), lambda x, y, g, d: rolling_apply(np.argmax)(x, d) + 1, True),
    ("ts_rank", 10, lambda d: op.ts_rank(X, d), lambda x, y, g, d: x.rolling(d).rank(pct=True), False),
    ("ts_product", 10, lambda d: op.ts_product(X, d), lambda x, y, g, d: rolling_apply(np.prod)(x, d), True),
    ("ts_corr", 10, lambda d: op.ts_corr(X, Y, d), lambda x, y, g, d: x.rolling(d).corr(y), False),
    ("ts_cov", 10, lambda d: op.ts_cov(X, Y, d), lambda x, y, g, d: x.rolling(d).cov(y), False),
    ("ts_decay_linear", 10, lambda d: op.ts_decay_linear(X, d), lambda x, y, g, d: weights_apply(_decay)(x, d), True),
    ("ts_zscore", 20, lambda d: op.ts_zscore(X, d),
     lambda x, y, g, d: (x - x.rolling(d).mean()) / x.rolling(d).std(), False),
    ("ts_ema", 10, lambda d: op.ts_ema(X, d), lambda x, y, g, d: weights_apply(_ema)(x, d), True),
    ("ts_slope", 10, lambda d: op.ts_slope(X, d), lambda x, y, g, d: ref.ts_slope(x, d), True),
    ("ts_rsquare", 10, lambda d: op.ts_rsquare(X, d), lambda x, y, g, d: ref.ts_rsquare(x, d), True),
    ("ts_resid", 10, lambda d: op.ts_resid(X, d), lambda x, y, g, d: ref.ts_resid(x, d), True),
    ("cs_rank", None, lambda d: op.cs_rank(X), lambda x, y, g, d: x.rank(axis=1, pct=True), False),
    ("cs_zscore", None, lambda d: op.cs_zscore(X),
     lambda x, y, g, d: x.sub(x.mean(axis=1), axis=0).div(x.std(axis=1), axis=0), False),
    ("cs_scale", None, lambda d: op.cs_scale(X), lambda x, y, g, d: x.div(x.abs().sum(axis=1), axis=0), False),
    ("cs_demean", None, lambda d: op.cs_demean(X), lambda x, y, g, d: x.sub(x.mean(axis=1), axis=0), False),
    ("group_neutralize", None, lambda d: op.group_neutralize(X, G),
     lambda x, y, g, d: ref.group_neutralize(x, g), False),
    ("group_rank", None, lambda d: op.group_rank(X, G), lambda x, y, g, d: ref.group_rank(x, g), False),
    ("IF", None, lambda d: op.IF(X > Y, X, Y), lambda x, y, g, d: x.where(x > y, y).mask(x.isna() | y.isna()), False),
    ("sign", None, lambda d: op.sign(X), lambda x, y, g, d: np.sign(x), False),
    ("log", None, lambda d: op.log(X), lambda x, y, g, d: np.log(x), False),
    ("signed_power", None, lambda d: op.signed_power(X, 0.5), lambda x, y, g, d: np.sign(x) * x.abs() ** 0.5, False),
    ("maximum", None, lambda d: op.maximum(X, Y), lambda x, y, g, d: np.maximum(x, y), False),
    ("minimum", None, lambda d: op.minimum(X, Y), lambda x, y, g, d: np.minimum(x, y), False),
]


def load_tables(ids, start, end):
    leaves = {"close": bar_field("close", "post"), "volume": bar_field("volume"), "industry": industry()}
    seconds, _, tables = measure(evaluate_many, leaves, ids, start, end)
    print("loaded close, volume and industry {} x {} in {:.1f} s ({})".format(
        len(tables["close"]), len(ids), seconds, _market.load_note()), flush=True)
    return tables


def timed(repeat, fn, *args):
    """Best wall time and best process CPU time (all threads) of `repeat` runs, the largest
    memory growth. On a shared machine the CPU seconds are the steadier figure: they leave out
    the time spent waiting for a core."""
    walls, cpus, peak = [], [], 0
    for _ in range(repeat):
        cpu = time.process_time()
        wall, grown, _ = measure(fn, *args)
        cpus.append(time.process_time() - cpu)
        walls.append(wall)
        peak = max(peak, grown)
    return min(walls), min(cpus), peak


def print_cpu_header():
    print("{:<44} {:>9} {:>9} {:>8} {:>9} {:>9} {:>8} {:>8} {:>9} {:>9} {:>8} {:>8}".format(
        "stage (2431 x 5000 unless scaled)", "ours s", "pandas s", "ratio", "ours cpu", "pd cpu", "cpu rat",
        "peak MB", "pooled s", "pool cpu", "ratio", "cpu rat"))
    print("{:<44} {:>9} {:>9} {:>8} {:>9} {:>9} {:>8} {:>8} {:>9} {:>9} {:>8} {:>8}".format(
        "", "(fresh)", "", "(fresh)", "(fresh)", "", "(fresh)", "(fresh)", "", "", "(pooled)", "(pooled)"))


def _ratio(theirs, ours):
    return "{:7.1f}x".format(theirs / ours) if theirs == theirs and ours > 0 else "{:>8}".format("-")


def _seconds(v):
    return "{:9.3f}".format(v) if v == v else "{:>9}".format("-")


def print_cpu_row(label, ours, theirs, peak, pooled=(float("nan"), float("nan"))):
    print("{:<44} {} {} {} {} {} {} {:8.1f} {} {} {} {}".format(
        label, _seconds(ours[0]), _seconds(theirs[0]), _ratio(theirs[0], ours[0]), _seconds(ours[1]),
        _seconds(theirs[1]), _ratio(theirs[1], ours[1]), peak / 2**20, _seconds(pooled[0]), _seconds(pooled[1]),
        _ratio(theirs[0], pooled[0]), _ratio(theirs[1], pooled[1])), flush=True)


def bench_floor(x, repeats):
    """Writing one table: the least any operator that writes its result can cost."""
    nan = float("nan")

    def into_fresh():
        out = np.empty_like(x)
        np.copyto(out, x)
        return out

    reused = np.empty_like(x)
    np.copyto(reused, x)
    wall, cpu, peak = timed(repeats, into_fresh)
    print_cpu_row("floor: np.copyto into a fresh table", (wall, cpu), (nan, nan), peak)
    wall, cpu, peak = timed(repeats, np.copyto, reused, x)
    print_cpu_row("floor: np.copyto into a reused table", (wall, cpu), (nan, nan), peak)


def bench_operators(tables, repeats, slow_columns, only=None):
    x, y, g = tables["close"], tables["volume"], tables["industry"]
    # The leaves as evaluate hands them to the graph (row-major).
    arrays = {X: np.ascontiguousarray(x.to_numpy()), Y: np.ascontiguousarray(y.to_numpy()),
              G: np.ascontiguousarray(g.to_numpy())}
    print("{} x {}; wall and process CPU seconds (best of {} for sigmora, of {} for pandas); "
          "sigmora on {} kernel threads, pandas on one".format(*x.shape, repeats, 1 if repeats == 1 else 2,
                                                              sigmora.get_num_threads()))
    print_cpu_header()
    bench_floor(arrays[X], repeats)
    pool = _Pool(arrays[X].size)
    for name, d, node_of, pandas_of, loop in CASES:
        if only and name not in only:
            continue
        node = node_of(d)
        # Fresh: a new pool each time, as `evaluate` of this node alone (its buffers are new).
        wall, cpu, peak = timed(repeats, lambda: run_node(node, arrays, _Pool(arrays[X].size)))
        run_node(node, arrays, pool)   # warms the pool: the timed runs reuse its buffers
        pooled = timed(repeats, run_node, node, arrays, pool)[:2]
        if loop:
            k = min(slow_columns, x.shape[1])
            cut = [f.iloc[:, :k] for f in (x, y, g)]
            with np.errstate(all="ignore"):
                their_wall, their_cpu, _ = timed(1, pandas_of, *cut, d)
            scale = x.shape[1] / k
            their_wall, their_cpu = their_wall * scale, their_cpu * scale
            label = "{} (d={}, pd {} cols scaled)".format(name, d, k)
        else:
            with np.errstate(all="ignore"):
                their_wall, their_cpu, _ = timed(1 if repeats == 1 else 2, pandas_of, x, y, g, d)
            label = name if d is None else "{} (d={})".format(name, d)
        print_cpu_row(label, (wall, cpu), (their_wall, their_cpu), peak, pooled)
    print(_market.load_note(), flush=True)


def bench_alphas(ids, start, end):
    from sigmora.alphas import ALPHAS, inputs
    m = inputs()
    leaves = {"open": m.open, "high": m.high, "low": m.low, "close": m.close, "volume": m.volume,
              "turnover": bar_field("total_turnover"), "close_raw": bar_field("close", "none"),
              "industry": m.industry}
    expressions = {name: make() for name, make in ALPHAS.items()}
    longest = max(e.shift for e in expressions.values())
    leaf_start = tidewell.get_previous_trading_date(start, longest)
    fetch_cpu = time.process_time()
    fetch_s, fetch_peak, _ = measure(evaluate_many, leaves, ids, leaf_start, end)
    fetch_cpu = time.process_time() - fetch_cpu
    print("\n{} alphas over {} dates x {} stocks ({})".format(
        len(expressions), len(tidewell.get_trading_dates(start, end)), len(ids), _market.load_note()))
    print("  leaf fetch alone (8 leaves, {} extra history rows): {:.1f} s, peak +{:.0f} MB, CPU {:.1f} s".format(
        longest, fetch_s, fetch_peak / 2**20, fetch_cpu), flush=True)
    failures = []

    def run_all():
        count = 0
        for name, table in iter_evaluate(expressions, ids, start, end, errors="return"):
            count += 1
            if isinstance(table, Exception):
                failures.append((name, table))
        return count

    cpu = time.process_time()
    total_s, peak, count = measure(run_all)
    cpu = time.process_time() - cpu
    print("  all {} alphas, fetch included: {:.1f} s, peak +{:.0f} MB; without the fetch: {:.1f} s "
          "({} kernel threads, {})".format(count, total_s, peak / 2**20, total_s - fetch_s,
                                          sigmora.get_num_threads(), _market.load_note()), flush=True)
    print("  CPU time of this process over the run: {:.1f} s, of which the fetch about {:.1f} s: the "
          "evaluation alone takes {:.1f} s of CPU (on 2 cores its wall time is at least half that)".format(
              cpu, fetch_cpu, cpu - fetch_cpu), flush=True)
    for name, err in failures:
        print("  {} failed: {}".format(name, err))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--store", help="tidewell store (default: the large demo store under build/)")
    parser.add_argument("--scale", type=int, default=1, help="use 1/k of the dates and of the stocks")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--slow-columns", type=int, default=250,
                        help="columns on which pandas' python-loop equivalents are timed (then scaled)")
    parser.add_argument("--only", help="comma-separated operator names")
    parser.add_argument("--skip-alphas", action="store_true")
    parser.add_argument("--alphas-only", action="store_true")
    args = parser.parse_args()

    _market.select(_market.ensure_store(args.store))
    _market.print_run_header("Expression operators and alphas", "bench_operators.py")
    dates = tidewell.get_trading_dates(_market.START, _market.END)
    dates = dates[:len(dates) // args.scale]
    stocks = sorted(tidewell.all_instruments(type="CS")["order_book_id"])
    ids = stocks[::args.scale] if args.scale > 1 else stocks
    if not args.alphas_only:
        tables = load_tables(ids, dates[0], dates[-1])
        bench_operators(tables, args.repeats, args.slow_columns,
                        only=set(args.only.split(",")) if args.only else None)
        del tables
    if not args.skip_alphas:
        bench_alphas(ids, dates[0], dates[-1])


if __name__ == "__main__":
    main()
