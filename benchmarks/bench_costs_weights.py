"""The extra time of cap-weighted quantile groups and of trading costs, against the defaults,
on the benchmark market at a scale (default 1/2: the first half of the dates, half the stocks).

    python benchmarks/bench_costs_weights.py            # half size
    python benchmarks/bench_costs_weights.py --scale 4

Each figure is the best of three runs (``--repeat``) of the step's `analysis` on the same factor and daily
return table (loaded once, not timed). "cap" includes reading the market caps from the store,
which is also timed on its own. The benchmark index is left out (no benchmark). The last rows
time the parts the options add (the group kernel with and without weights, the costs' own
work), which a loaded machine blurs less than the whole steps.
"""

import argparse
import os
import sys
import warnings

# the installed package first; the checkout (for benchmarks._market) last
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from benchmarks import _market as bench_market  # noqa: E402
from benchmarks._harness import best_of, print_header, print_row  # noqa: E402
import numpy as np  # noqa: E402

from sigmora import _core  # noqa: E402
from sigmora.analysis import _costs, _market  # noqa: E402
from sigmora.analysis._portfolio_common import gapped_growth, lagged_values  # noqa: E402
from sigmora.analysis.varodyne import FactorReturnAnalysis, QuantileReturnAnalysis  # noqa: E402


def factor_turnover(values, periods):
    """What the factor-return step adds for a cost: the held weights and their turnover."""
    weights = np.full(values.shape, np.nan)
    weights[1:] = _core.portfolio_factor_weights(values[:-1], False)
    return _costs.factor_turnover(weights, periods)


def run(step, factor, returns, periods):
    step.step_name = "step"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return step.analysis(factor, returns, periods, ascending=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=2, help="1/k of the dates and stocks (default 2)")
    parser.add_argument("--cost-bps", type=float, default=10.0)
    parser.add_argument("--repeat", type=int, default=3, help="runs per figure, the fastest shown (default 3)")
    args = parser.parse_args()
    bench_market.select(bench_market.ensure_store())
    factor = bench_market.load_factor(args.scale)
    periods = list(bench_market.PERIODS)
    returns = _market.daily_returns(factor, periods)
    shape = "{}x{}".format(*factor.shape)
    print("scale 1/{}, periods {}, {}".format(args.scale, periods, bench_market.load_note()))
    print_header()
    cases = [
        ("quantile, equal (default)", lambda: QuantileReturnAnalysis()),
        ("quantile, weights='cap' (caps read included)", lambda: QuantileReturnAnalysis(weights="cap")),
        ("quantile, cost_bps={:g}".format(args.cost_bps), lambda: QuantileReturnAnalysis(cost_bps=args.cost_bps)),
        ("factor_return (default)", lambda: FactorReturnAnalysis()),
        ("factor_return, cost_bps={:g}".format(args.cost_bps), lambda: FactorReturnAnalysis(cost_bps=args.cost_bps)),
    ]
    for label, make in cases:
        seconds, peak, _ = best_of(args.repeat, lambda: run(make(), factor, returns, periods))
        print_row(label, shape, seconds, peak_bytes=peak)
    seconds, peak, _ = best_of(args.repeat, _market.market_caps, factor.columns, factor.index)
    print_row("market caps read alone", shape, seconds, peak_bytes=peak)
    # The parts alone, which a loaded machine blurs less than the whole steps.
    lagged = lagged_values(factor)
    growth = gapped_growth(returns, factor.index, factor.columns)
    codes = _core.portfolio_quantile_labels(lagged, 5, False)
    caps = _market.market_caps(factor.columns, factor.index).to_numpy()
    start = np.full(caps.shape, np.nan)
    start[1:] = caps[:-1]
    p = np.asarray(periods, dtype=np.int64)
    turnover = _core.portfolio_quantile_returns(codes, growth, p, 5)[1]
    for label, fn in [
        ("part: group kernel, equal", lambda: _core.portfolio_quantile_returns(codes, growth, p, 5)),
        ("part: group kernel, cap weights", lambda: _core.portfolio_quantile_returns(codes, growth, p, 5, start)),
        ("part: group costs (warm-up rows, charge)", lambda: _costs.cost_of(
            _costs.charged_turnover(turnover, _costs.warmup_rows(codes, periods, 5)), args.cost_bps)),
        ("part: factor costs (weights, turnover)", lambda: factor_turnover(factor.to_numpy(), periods)),
    ]:
        seconds, peak, _ = best_of(args.repeat, fn)
        print_row(label, shape, seconds, peak_bytes=peak)
    print(bench_market.load_note())


if __name__ == "__main__":
    main()
