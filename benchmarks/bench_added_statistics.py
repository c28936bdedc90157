"""What the statistics added to a batch cost: on the 40 factors of bench_batch.py (1000 x 2000,
full demo pipeline, periods 1, 5, 10, 20), the sequential batch (every factor's
`engine.analysis` in this process, as bench_batch.py's "sequential" line), and within it

- the factor rank autocorrelation of the IC step (timed where the step calls it; it reads the
  sorted orders the step's rank IC kernel keeps, and what keeping them adds to that kernel is
  measured apart, kernel calls with and without, and counted with the autocorrelation),
- the Benjamini-Hochberg q-values of the leaderboard (the step that adds them, on the board of
  the 40 results),
- the "Factor overlap" section of the tear sheet (value correlation of the 40 factor tables,
  IC-series correlation, their heat maps and tables). A tear sheet of several factors draws
  every factor's charts before this section, so matplotlib is imported by then: the section is
  timed with it imported, and the import's own time is printed apart.

Each as seconds and as a share of the batch time. Wall and CPU seconds, load average printed.

    python benchmarks/bench_added_statistics.py [--factors 40] [--dates 1000] [--ids 2000]
"""

import argparse
import importlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _market  # noqa: E402
from bench_batch import make_engine, make_factors  # noqa: E402

import sigmora  # noqa: E402
from sigmora.analysis import _ic  # noqa: E402
from sigmora.analysis import leaderboard as _board  # noqa: E402
from sigmora.analysis.varodyne import _daily_returns  # noqa: E402
from sigmora.report import overlap_html  # noqa: E402


# Timed runs of the q-value step (a mean is printed).
REPEATS = 20
# Factors and alternating rounds for what keeping the sorted orders adds to the IC kernel.
ORDER_FACTORS = 5
ORDER_ROUNDS = 5


class Clock:
    """Wall and process CPU seconds of the calls it wraps, summed."""

    def __init__(self):
        self.wall = self.cpu = 0.0
        self.calls = 0

    def wrap(self, fn):
        def timed(*args, **kwargs):
            wall, cpu = time.perf_counter(), time.process_time()
            try:
                return fn(*args, **kwargs)
            finally:
                self.wall += time.perf_counter() - wall
                self.cpu += time.process_time() - cpu
                self.calls += 1
        return timed

    def once(self, fn, *args, **kwargs):
        return self.wrap(fn)(*args, **kwargs)


def orders_overhead(factors, returns, periods):
    """Seconds (wall, CPU) per factor that keeping the factor rows' sorted orders adds to the IC
    step's kernel: the step's own call with and without a SortedRows, alternating, best of
    ORDER_ROUNDS each, on the first ORDER_FACTORS factors."""
    from sigmora import _core
    from sigmora.cli import build_steps
    step = [s for _, s in build_steps() if isinstance(s, _ic.ICAnalysis)][0]
    wall = cpu = 0.0
    for table in list(factors.values())[:ORDER_FACTORS]:
        index = table.index.intersection(returns.index).rename("datetime")
        panel = step._panel(table, returns, index, periods, True)
        best = {False: (float("inf"), float("inf")), True: (float("inf"), float("inf"))}
        for _ in range(ORDER_ROUNDS):
            for keep in (False, True):
                clock = Clock()
                clock.once(step._correlations, panel, _core.SortedRows() if keep else None)
                best[keep] = min(best[keep], (clock.wall, clock.cpu))
        wall += best[True][0] - best[False][0]
        cpu += best[True][1] - best[False][1]
    return wall / ORDER_FACTORS, cpu / ORDER_FACTORS


def load():
    return "{:.2f}".format(os.getloadavg()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factors", type=int, default=40)
    parser.add_argument("--dates", type=int, default=1000)
    parser.add_argument("--ids", type=int, default=2000)
    args = parser.parse_args()
    _market.select(_market.ensure_store())
    factors = make_factors(args.factors, args.dates, args.ids)
    periods = _market.PERIODS
    engine = make_engine()
    returns = _daily_returns(next(iter(factors.values())), periods)
    print("{} factors at {} x {}, periods {}, {} kernel threads, load {}".format(
        args.factors, args.dates, args.ids, periods, sigmora.get_num_threads(), load()), flush=True)
    engine.analysis(next(iter(factors.values())).copy(), returns, periods=periods)  # warm caches

    autocorrelation = Clock()
    original = _ic._rank_autocorrelation
    _ic._rank_autocorrelation = autocorrelation.wrap(original)
    batch = Clock()
    try:
        results = {name: batch.once(engine.analysis, table.copy(), returns, periods=periods)
                   for name, table in factors.items()}
    finally:
        _ic._rank_autocorrelation = original
    print("sequential batch: {:.2f} s wall, {:.2f} s CPU (load {})".format(batch.wall, batch.cpu, load()), flush=True)

    def share(clock):
        return "{:.3f} s wall = {:.2%} of the batch; {:.3f} s CPU = {:.2%}".format(
            clock.wall, clock.wall / batch.wall, clock.cpu, clock.cpu / batch.cpu)

    print("rank autocorrelation in the IC step ({} calls): {}".format(autocorrelation.calls, share(autocorrelation)))
    kept_wall, kept_cpu = orders_overhead(factors, returns, periods)
    kept = Clock()
    # A difference below the noise may come out negative: it then counts as nothing, never as a saving.
    kept.wall, kept.cpu = max(kept_wall, 0.0) * autocorrelation.calls, max(kept_cpu, 0.0) * autocorrelation.calls
    print("sorted orders kept by the IC kernel for it ({:+.4f} s wall, {:+.4f} s CPU per factor, best of {} "
          "on {} factors): {}".format(kept_wall, kept_cpu, ORDER_ROUNDS, ORDER_FACTORS, share(kept)), flush=True)

    # The q-values are the step that turns the board of headline figures into the leaderboard:
    # timed on the board of the 40 results, and the leaderboard as a whole for scale.
    plain = _board._with_fdr
    _board._with_fdr = lambda table, fdr: table
    try:
        board = _board.leaderboard(results)
    finally:
        _board._with_fdr = plain
    whole = Clock()
    whole.once(_board.leaderboard, results)
    q_values = Clock()
    for _ in range(REPEATS):
        q_values.once(_board._with_fdr, board.copy(), 0.05)
    q_values.wall /= REPEATS
    q_values.cpu /= REPEATS
    print("BH q-values of the leaderboard of {} factors (mean of {}): {} (the whole leaderboard {:.2f} s wall)".format(
        len(results), REPEATS, share(q_values), whole.wall))

    charts = Clock()
    charts.once(importlib.import_module, "sigmora.analysis.plotting")
    print("matplotlib and the chart module imported (the factor charts of a tear sheet do it first): "
          "{:.3f} s wall, {:.3f} s CPU".format(charts.wall, charts.cpu))
    overlap = Clock()
    section = overlap.once(overlap_html, results, factors)
    print("factor overlap section ({} kB of HTML): {}".format(len(section) // 1024, share(overlap)))
    total = Clock()
    total.wall = autocorrelation.wall + kept.wall + q_values.wall + overlap.wall
    total.cpu = autocorrelation.cpu + kept.cpu + q_values.cpu + overlap.cpu
    print("all three: {} (load {})".format(share(total), load()))


if __name__ == "__main__":
    main()
