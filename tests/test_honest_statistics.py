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


def test_benjamini_hochberg_equals_statsmodels():
    from statsmodels.stats.multitest import multipletests
    from sigmora.analysis.leaderboard import benjamini_hochberg
    rng = np.random.default_rng(11)
    p = np.concatenate([rng.uniform(size=40), rng.uniform(0, 0.002, size=10), [0.01, 0.01, 1.0]])
    got = benjamini_hochberg(pd.Series(p))
    np.testing.assert_allclose(got.to_numpy(), multipletests(p, method="fdr_bh")[1], rtol=1e-13)
    with_missing = pd.Series([0.01, np.nan, 0.04, 0.03], index=list("abcd"))
    want = multipletests([0.01, 0.04, 0.03], method="fdr_bh")[1]
    np.testing.assert_allclose(benjamini_hochberg(with_missing).dropna().to_numpy(), want[[0, 1, 2]])
    assert np.isnan(benjamini_hochberg(with_missing)["b"])


def test_rank_autocorrelation_equals_spearman_of_each_date_with_its_lag():
    from scipy import stats
    from sigmora.analysis.varodyne import FactorVarodyne, ICAnalysis
    rng = np.random.default_rng(12)
    dates = pd.bdate_range("2024-01-01", periods=40)
    ids = ["S{}".format(i) for i in range(15)]
    factor = pd.DataFrame(np.cumsum(rng.normal(size=(40, 15)), axis=0), index=dates, columns=ids)
    factor[factor > 4] = np.nan
    factor.iloc[7, :] = np.nan
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(40, 15)), index=dates, columns=ids)
    engine = FactorVarodyne()
    engine.append(("ic", ICAnalysis()))
    record = engine.analysis(factor, returns, periods=(1, 5))["ic"]
    got = record.factor_rank_autocorrelation
    assert list(got.columns) == ["lag_1", "lag_5"]
    for lag in (1, 5):
        for t in range(40):
            a, b = factor.iloc[t].to_numpy(), factor.iloc[t - lag].to_numpy() if t >= lag else None
            ok = None if b is None else ~(np.isnan(a) | np.isnan(b))
            want = np.nan if b is None or ok.sum() < 2 else stats.spearmanr(a[ok], b[ok])[0]
            assert got.iloc[t]["lag_{}".format(lag)] == pytest.approx(want, abs=1e-12, nan_ok=True)
    summary = record.summary()["rank_autocorrelation"]
    assert summary.loc["lag_1", "mean"] == pytest.approx(got["lag_1"].mean()) and summary.loc["lag_1", "mean"] > 0.5


@pytest.mark.parametrize("seed", [0, 1])
def test_rank_autocorrelation_kernel_gives_the_bits_of_the_lagged_ic_kernel(seed):
    from sigmora import _core
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(60, 40))
    x[rng.random(x.shape) < 0.15] = np.nan
    x[10:20] = np.round(x[10:20])                        # ties
    x[25] = 3.0                                          # a constant row
    x[30, 2:] = np.nan                                   # two values left
    x[33] = np.nan                                       # nothing
    x[40, :3] = [np.inf, -np.inf, np.inf]
    lags = np.array([1, 5, 20, 59, 60, 500], dtype=np.int64)
    got = _core.rank_autocorrelation(x, lags)
    for j, lag in enumerate(lags):
        want = np.full(len(x), np.nan)
        if lag < len(x):
            r, n, _ = _core.ic_by_row(x[lag:], [x[:-lag]], True)
            want[lag:] = np.where(n[:, 0] >= 2, r[:, 0], np.nan)
        np.testing.assert_array_equal(got[:, j], want)
    assert np.isfinite(got[:, 0]).sum() > 40
    np.testing.assert_array_equal(_core.rank_autocorrelation(np.asfortranarray(x[:, ::-1]), lags),
                                  _core.rank_autocorrelation(np.ascontiguousarray(x[:, ::-1]), lags))
    # The orders the rank IC kernels keep give the same bits without sorting again.
    y = rng.normal(size=x.shape)
    for run in (lambda o: _core.ic_by_row(x, [y, x], True, o),
                lambda o: _core.ic_by_row_with_decay(x, [y], 6, True, o),
                lambda o: _core.ic_by_row_with_decay(x, [y], 1, True, o)):
        orders = _core.SortedRows()
        run(orders)
        assert (orders.rows, orders.cols) == x.shape
        np.testing.assert_array_equal(_core.rank_autocorrelation(orders, lags), got)
    # Pearson sorts nothing: the handle is emptied, not left with another factor's orders.
    _core.ic_by_row(x[:5], [y[:5]], False, orders)
    assert (orders.rows, orders.cols) == (0, 0) and _core.rank_autocorrelation(orders, lags).shape == (0, len(lags))
    with pytest.raises(ValueError, match="lags: expect positive lags"):
        _core.rank_autocorrelation(_core.SortedRows(), np.array([0], dtype=np.int64))


@pytest.mark.parametrize("rank_ic,max_decay", [(True, None), (True, 4), (False, 4)])
def test_the_ic_step_autocorrelation_is_that_of_the_factor_sorted_again(rank_ic, max_decay):
    from sigmora import _core
    from sigmora.analysis.varodyne import FactorVarodyne, ICAnalysis
    rng = np.random.default_rng(3)
    dates = pd.bdate_range("2024-01-01", periods=30)
    ids = ["S{}".format(i) for i in range(12)]
    values = np.round(np.cumsum(rng.normal(size=(30, 12)), axis=0), 1)
    values[rng.random(values.shape) < 0.1] = np.nan
    values[4] = np.nan
    factor = pd.DataFrame(values, index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(30, 12)), index=dates, columns=ids)
    engine = FactorVarodyne()
    engine.append(("ic", ICAnalysis(rank_ic=rank_ic, max_decay=max_decay)))
    got = engine.analysis(factor, returns, periods=(1, 3))["ic"].factor_rank_autocorrelation
    # The step ranks the factor read "higher is better" (negated when ascending): the same ranks reversed.
    want = _core.rank_autocorrelation(-values if rank_ic else values, np.array([1, 3], dtype=np.int64))
    np.testing.assert_array_equal(got.to_numpy(), want)


def test_the_leaderboard_adjusts_p_values_across_factors():
    from statsmodels.stats.multitest import multipletests
    from sigmora.analysis.leaderboard import leaderboard
    from sigmora.analysis.analysis_result import ICAnalysisResult
    rng = np.random.default_rng(13)
    dates = pd.bdate_range("2020-01-01", periods=200)
    results = {"f{}".format(i): {"ic": ICAnalysisResult(
        ic=pd.DataFrame({"P_1": rng.normal(0.004 * i, 0.05, 200)}, index=dates), name="ic")} for i in range(8)}
    board = leaderboard(results, fdr=0.1)
    p = board["IC NW p-value P_1"]
    np.testing.assert_allclose(board["IC BH q-value P_1"], multipletests(p, method="fdr_bh")[1], rtol=1e-12)
    assert (board["FDR 10% P_1"] == (board["IC BH q-value P_1"] <= 0.1)).all()
    with pytest.raises(ValueError, match="fdr: expect a false-discovery rate between 0 and 1"):
        leaderboard(results, fdr=5)


def test_monthly_ic_dates_on_daily_returns_overlap_less():
    assert statistics.holding_lags("P_20") == 19 and statistics.holding_lags("P_20", rows_apart=21) == 0
    assert statistics.holding_lags("P_42", rows_apart=21) == 1 and statistics.holding_lags("IC") == 0
    rng = np.random.default_rng(8)
    months = pd.date_range("2015-01-31", periods=60, freq="BME")
    ic = pd.DataFrame({"P_20": ar1(rng, 60, 0.1)}, index=months)
    want_t, _ = statsmodels_hac(ic["P_20"].to_numpy(), 0)
    assert statistics.ic_summary(ic).loc["P_20", "nw_t_stat"] == pytest.approx(want_t, rel=1e-10)
