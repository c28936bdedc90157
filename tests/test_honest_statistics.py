"""Statistics that say what they rest on: overlap-aware IC t-statistics and annualisation by
the real spacing of the rows."""

import numpy as np
import pandas as pd
import pytest

from sigmora.analysis import statistics

sm = pytest.importorskip("statsmodels.api")


def ar1(rng, n, rho, mean=0.03, scale=0.1):
    x = np.empty(n)
    x[0] = rng.normal(0, scale)
    for t in range(1, n):
        x[t] = rho * x[t - 1] + rng.normal(0, scale)
    return x + mean


def statsmodels_hac(x, lags):
    fit = sm.OLS(x, np.ones(len(x))).fit(cov_type="HAC", cov_kwds={"maxlags": lags})
    return fit.tvalues[0], fit.pvalues[0]


@pytest.mark.parametrize("seed, n, rho, lags", [(0, 250, 0.0, 0), (1, 250, 0.9, 4), (2, 600, 0.95, 19),
                                                (3, 40, 0.5, 9), (4, 12, 0.3, 30), (5, 3, 0.0, 2)])
def test_newey_west_equals_statsmodels_on_ar1_series(seed, n, rho, lags):
    x = ar1(np.random.default_rng(seed), n, rho)
    t, p = statistics.newey_west_t(x, lags)
    want_t, want_p = statsmodels_hac(x, min(lags, n - 1))
    assert t == pytest.approx(want_t, rel=1e-10) and p == pytest.approx(want_p, rel=1e-9, abs=1e-300)


def test_ic_summary_reports_the_overlap_aware_statistic_per_period():
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2020-01-01", periods=300)
    ic = pd.DataFrame({"P_1": ar1(rng, 300, 0.0), "P_20": ar1(rng, 300, 0.9)}, index=dates)
    ic.iloc[[5, 17], 1] = np.nan
    summary = statistics.ic_summary(ic)
    for col, lags in (("P_1", 0), ("P_20", 19)):
        want_t, want_p = statsmodels_hac(ic[col].dropna().to_numpy(), lags)
        assert summary.loc[col, "nw_t_stat"] == pytest.approx(want_t, rel=1e-10)
        assert summary.loc[col, "nw_p_value"] == pytest.approx(want_p, rel=1e-9, abs=1e-300)
    # Overlapping 20-row windows: the naive t overstates the evidence several times over.
    assert abs(summary.loc["P_20", "t_stat"]) > 2 * abs(summary.loc["P_20", "nw_t_stat"]) > 0
    assert np.isnan(statistics.newey_west_t([0.1], 0)[0]) and np.isnan(statistics.newey_west_t([0.1, 0.1], 1)[0])


def test_monthly_rows_are_annualised_as_months():
    months = pd.date_range("2020-01-31", periods=59, freq="BME")
    monthly = pd.Series(np.full(59, 0.01)).set_axis(months)
    cumulative = (1 + monthly).cumprod() - 1
    summary = statistics.return_summary(cumulative.rename("P_1").to_frame())
    # Twelve rows a year: (1.01 ** 59) ** (12 / 59) - 1, not 252 / 59.
    assert summary.loc["P_1", "annual_return"] == pytest.approx(1.01 ** 12 - 1, rel=1e-12)
    assert statistics.row_spacing(months) == "monthly"


@pytest.mark.parametrize("freq, per_year, word", [("B", 252, "daily"), ("W-FRI", 52, "weekly"),
                                                  ("BME", 12, "monthly"), ("BQE", 4, "quarterly"),
                                                  ("BYE", 1, "yearly")])
def test_rows_per_year_follow_the_spacing(freq, per_year, word):
    index = pd.date_range("2015-01-01", periods=30, freq=freq)
    assert statistics.periods_per_year(index) == per_year and statistics.row_spacing(index) == word
    # A few missing rows (holidays) do not change the reading.
    assert statistics.periods_per_year(index.delete([3, 10, 11])) == per_year


def test_intraday_and_degenerate_indexes():
    minutes = pd.date_range("2024-01-02 09:31", periods=240, freq="min")
    assert statistics.periods_per_year(minutes) == 252 * 240 and statistics.row_spacing(minutes) == "intraday"
    one = pd.DatetimeIndex(["2024-01-02"])
    assert statistics.periods_per_year(one) == 252 and statistics.row_spacing(one) is None
