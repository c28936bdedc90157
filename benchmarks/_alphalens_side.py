"""The alphalens half of compare_alphalens.py; runs in alphalens' own virtual environment.

    <venv>/bin/python benchmarks/_alphalens_side.py DIR PERIODS

Reads the tables "factor" (dates x instruments), "prices" (post-adjusted closes) and "returns"
(the daily return table sigmora receives) from DIR,
times `get_clean_factor_and_forward_returns` and the performance functions whose quantities
sigmora also computes, and writes their results back to DIR as tables, with timings.json.
"""

import json
import os
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _exchange import read_table, save_tables  # noqa: E402
from _rss import peak_rss_mb  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

QUANTILES = 5


def timed(timings, name, fn, *args, **kwargs):
    t0 = time.perf_counter()
    result = fn(*args, **kwargs)
    timings[name] = time.perf_counter() - t0
    return result


def by_period(table, periods):
    """alphalens labels forward-return columns by calendar length ("1D", "5D", ...), in the order
    of the sorted periods; the comparison uses sigmora's "P_<rows>" labels."""
    out = table.copy()
    out.columns = ["P_{}".format(p) for p in sorted(periods)]
    return out


def factor_information_coefficient_compounded(directory, clean, dates, periods):
    """alphalens' IC on forward returns compounded from the daily return table (untimed).

    Prices are in cents, so equal price ratios (ties) are common; compounding daily returns
    reproduces them only up to the last bit, which breaks or makes ties and moves a rank IC by
    up to about 1e-4.  With the same forward returns on both sides the definitions can be
    compared to rounding."""
    from alphalens import performance, utils
    returns = read_table(directory, "returns", index_name="date", columns_name="asset")
    growth = (returns.fillna(0) + 1).cumprod().ffill()
    compounded = clean.copy()
    for label, p in zip(utils.get_forward_returns_columns(clean.columns), sorted(periods)):
        forward = (growth.shift(-p) / growth).reindex(dates) - 1
        compounded[label] = forward.stack().reindex(clean.index).to_numpy()
    return performance.factor_information_coefficient(compounded)


def main(directory, periods):
    import alphalens
    from alphalens import performance, utils
    warnings.simplefilter("ignore")
    factor = read_table(directory, "factor", index_name="date", columns_name="asset")
    prices = read_table(directory, "prices", index_name="date", columns_name="asset")
    # alphalens takes the factor stacked: one value per (date, asset), missing values left out.
    stacked = factor.stack().dropna()

    timings = {}
    load_before = "load {:.2f}".format(os.getloadavg()[0])
    t0 = time.perf_counter()
    clean = timed(timings, "get_clean_factor_and_forward_returns", utils.get_clean_factor_and_forward_returns,
                  stacked, prices, periods=periods, quantiles=QUANTILES, filter_zscore=None, max_loss=1.0)
    ic = timed(timings, "factor_information_coefficient", performance.factor_information_coefficient, clean)
    t_turn = time.perf_counter()
    turnover = {}
    for p in periods:
        for q in range(1, QUANTILES + 1):
            turnover["q{}_P_{}".format(q, p)] = performance.quantile_turnover(clean["factor_quantile"], q, p)
    timings["quantile_turnover (5 quantiles x {} periods)".format(len(periods))] = time.perf_counter() - t_turn
    weighted = timed(timings, "factor_returns(demeaned=True)", performance.factor_returns, clean, demeaned=True)
    means, _ = timed(timings, "mean_return_by_quantile(by_date=True, demeaned=False)",
                     performance.mean_return_by_quantile, clean, by_date=True, demeaned=False)
    timings["total"] = time.perf_counter() - t0

    ic_compounded = factor_information_coefficient_compounded(directory, clean, factor.index, periods)

    means = by_period(means, periods).unstack("factor_quantile")
    means.columns = ["q{}_{}".format(int(q), p) for p, q in means.columns]
    save_tables(directory,
                al_ic=by_period(ic, periods),
                al_ic_compounded=by_period(ic_compounded, periods),
                al_turnover=pd.DataFrame(turnover),
                al_factor_returns=by_period(weighted, periods),
                al_quantile_means=means)
    report = {"status": "ok", "timings": timings, "load_before": load_before,
              "load_after": "load {:.2f}".format(os.getloadavg()[0]),
              "finished_at": time.strftime("%H:%M UTC", time.gmtime()), "peak_rss_mb": peak_rss_mb(),
              "rows": len(clean), "rows_in": len(stacked),
              "versions": {"alphalens": getattr(alphalens, "__version__", "?"), "pandas": pd.__version__,
                           "numpy": np.__version__, "python": sys.version.split()[0]}}
    with open(os.path.join(directory, "timings.json"), "w") as f:
        json.dump(report, f)


if __name__ == "__main__":
    main(sys.argv[1], tuple(int(p) for p in sys.argv[2].split(",")))
