"""Quantile return analysis and factor return analysis against the literal pandas
transcription of their documented algorithms, measured in the same run.

    python benchmarks/bench_portfolio.py                      # full size
    python benchmarks/bench_portfolio.py --rows 300 --cols 400 --ref-rows 120 --ref-cols 200
    python benchmarks/bench_portfolio.py --full-reference     # also the factor transcription at full size

sigmora's figures are the best of three runs, the transcription's a single run. The
benchmark index is served by a stand-in for the market-data client (a synthetic
index series on the factor's dates), so the figures measure the analysis alone.
"""

import argparse
import os
import sys
import types
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from benchmarks._harness import best_of, measure, print_header, print_row  # noqa: E402
from sigmora.analysis import _market  # noqa: E402
from sigmora.analysis.varodyne import FactorReturnAnalysis, QuantileReturnAnalysis  # noqa: E402

import reference_portfolio as ref  # noqa: E402

BENCHMARK = "000300.XSHG"


def tables(rows, cols, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2012-01-04", periods=rows, name="datetime")
    ids = pd.Index(["{:06d}.XSHE".format(i) for i in range(cols)], name="order_book_id")
    factor = rng.normal(size=(rows, cols))
    factor[rng.random((rows, cols)) < 0.05] = np.nan
    returns = rng.normal(scale=0.02, size=(rows, cols))
    returns[rng.random((rows, cols)) < 0.02] = np.nan
    return pd.DataFrame(factor, dates, ids), pd.DataFrame(returns, dates, ids)


def stand_in_client(dates):
    close = 3000 * np.cumprod(1 + np.random.default_rng(1).normal(scale=0.01, size=len(dates)))
    price = pd.DataFrame({"close": close}, index=pd.MultiIndex.from_product(
        [[BENCHMARK], dates], names=["order_book_id", "date"]))
    return types.SimpleNamespace(instruments=lambda oid: types.SimpleNamespace(type="INDX"),
                                 get_price=lambda *a, **k: price)


def reference_benchmark(step):
    return lambda index: step._load_benchmark_series(index)


def bench(rows, cols, periods, with_reference, factor_reference=None):
    factor, returns = tables(rows, cols)
    _market.set_source(stand_in_client(factor.index))
    shape = "{}x{}".format(rows, cols)
    quantile = QuantileReturnAnalysis(quantile=5, benchmark=BENCHMARK)
    factor_step = FactorReturnAnalysis()

    ours_q = best_of(3, quantile.analysis, factor, returns, periods, ascending=False)
    ref_q = measure(ref.quantile_analysis, factor, returns, periods, False, 5,
                    reference_benchmark(quantile)) if with_reference else None
    print_row("QuantileReturnAnalysis(5, benchmark)", shape, ours_q[0], ref_q and ref_q[0], ours_q[1])
    if ref_q:
        got = ours_q[2].quantile_returns
        assert np.allclose(got.values, ref_q[2]["quantile_returns"].values, rtol=1e-9, equal_nan=True)

    ours_f = best_of(3, factor_step.analysis, factor, returns, periods, ascending=False)
    if factor_reference is None:
        factor_reference = with_reference
    ref_f = measure(ref.factor_returns, factor, returns, periods, False) if factor_reference else None
    print_row("FactorReturnAnalysis()", shape, ours_f[0], ref_f and ref_f[0], ours_f[1])
    if ref_f:
        assert np.allclose(ours_f[2].factor_returns.values, ref_f[2].values.astype(float), rtol=1e-9)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=2500, help="dates of the full-size run")
    parser.add_argument("--cols", type=int, default=5000, help="instruments of the full-size run")
    parser.add_argument("--ref-rows", type=int, default=500, help="dates of the run against the transcription")
    parser.add_argument("--ref-cols", type=int, default=2000, help="instruments of that run")
    parser.add_argument("--full-reference", action="store_true",
                        help="also time the factor-return transcription at full size (about a minute or more)")
    parser.add_argument("--periods", type=int, nargs="+", default=[1, 5, 10, 20])
    parser.add_argument("--threads", type=int, default=None, help="kernel threads (default: all cores)")
    args = parser.parse_args()
    if args.threads:
        from sigmora import _core
        _core.set_num_threads(args.threads)
    warnings.simplefilter("ignore", RuntimeWarning)
    print("periods {}, load average {}".format(args.periods, " ".join(
        "{:.2f}".format(x) for x in os.getloadavg())))
    print_header()
    bench(args.ref_rows, args.ref_cols, args.periods, with_reference=True)
    bench(args.rows, args.cols, args.periods, with_reference=False, factor_reference=args.full_reference)


if __name__ == "__main__":
    main()
