"""Result records and their summary statistics, checked against hand computations."""

import math

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from sigmora.analysis import statistics as st
from sigmora.analysis.analysis_result import (FactorReturnAnalysisResult, ICAnalysisResult,
                                              QuantileReturnAnalysisResult)

DATES = pd.DatetimeIndex(["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05", "2024-01-08"],
                         name="datetime")


def tagged(values_by_tag, dates, columns=("P_1",)):
    """(tag, datetime) x periods table from {tag: rows of values}."""
    index = pd.MultiIndex.from_product([list(values_by_tag), dates], names=["tag", "datetime"])
    data = np.concatenate([np.asarray(v, dtype=float).reshape(len(dates), -1) for v in values_by_tag.values()])
    return pd.DataFrame(data, index=index, columns=list(columns))


# ----------------------------------------------------------------------------- IC statistics

def test_ic_summary_matches_hand_computation():
    ic = pd.DataFrame({"P_1": [0.1, -0.05, 0.01, np.nan, 0.2],
                       "P_5": [np.nan] * 5}, index=DATES)
    out = st.ic_summary(ic)
    assert list(out.index) == ["P_1", "P_5"]
    row = out.loc["P_1"]
    x = [0.1, -0.05, 0.01, 0.2]
    mean = sum(x) / 4
    std = math.sqrt(sum((v - mean) ** 2 for v in x) / 3)
    t = mean / (std / 2)
    assert row["dates"] == 4
    assert row["mean"] == pytest.approx(0.065)
    assert row["std"] == pytest.approx(std)
    assert row["ir"] == pytest.approx(mean / std)
    assert row["t_stat"] == pytest.approx(t)
    assert row["p_value"] == pytest.approx(2 * stats.t.sf(t, 3))
    assert row["p_value"] == pytest.approx(stats.ttest_1samp(x, 0).pvalue)
    assert row["positive_share"] == pytest.approx(0.75)
    assert row["abs_ic_gt_0.02"] == pytest.approx(0.75)      # 0.01 is not above the threshold
    assert row["skew"] == pytest.approx(stats.skew(x, bias=False))
    assert row["kurtosis"] == pytest.approx(stats.kurtosis(x, bias=False))
    # a period without any IC value: no statistics, not zeros
    assert out.loc["P_5", "dates"] == 0
    assert out.loc["P_5", ["mean", "std", "ir", "t_stat", "p_value"]].isna().all()


def test_ic_decay_curve_is_mean_per_decay():
    index = pd.MultiIndex.from_product([DATES[:2], [0, 1, 2]], names=["datetime", "decay"])
    decay = pd.DataFrame({"P_1": [0.3, 0.2, 0.1, 0.1, 0.0, np.nan]}, index=index)
    curve = st.ic_decay_curve(decay)
    assert list(curve.index) == [0, 1, 2]
    np.testing.assert_allclose(curve["P_1"], [0.2, 0.1, 0.1])
    with pytest.raises(ValueError, match="ic_decay.*decay"):
        st.ic_decay_curve(decay.droplevel("decay"))


# ----------------------------------------------------------------------------- return statistics

def test_return_statistics_from_cumulative_returns():
    cum = pd.Series([0.1, -0.1, 0.2], index=DATES[:3])
    np.testing.assert_allclose(st.returns_from_cumulative(cum), [0.1, 0.9 / 1.1 - 1, 1.2 / 0.9 - 1])
    assert st.max_drawdown(cum) == pytest.approx(0.9 / 1.1 - 1)
    # falling from the start: the peak is the initial wealth of 1
    assert st.max_drawdown(pd.Series([-0.2, 0.1])) == pytest.approx(-0.2)
    assert st.max_drawdown(pd.Series([0.0, 0.1, 0.3])) == 0.0

    table = pd.DataFrame({"P_1": cum.values, "P_5": [0.0, 0.0, 0.0]}, index=DATES[:3])
    out = st.return_summary(table, periods_per_year=3)
    r = np.array([0.1, 0.9 / 1.1 - 1, 1.2 / 0.9 - 1])
    assert out.loc["P_1", "annual_return"] == pytest.approx(0.2)      # three rows = one year
    assert out.loc["P_1", "volatility"] == pytest.approx(r.std(ddof=1) * math.sqrt(3))
    assert out.loc["P_1", "sharpe"] == pytest.approx(r.mean() / r.std(ddof=1) * math.sqrt(3))
    assert out.loc["P_1", "max_drawdown"] == pytest.approx(0.9 / 1.1 - 1)
    assert out.loc["P_5", "annual_return"] == 0.0 and np.isnan(out.loc["P_5", "sharpe"])

    # daily rows annualise with 252 rows a year
    daily = st.return_summary(table)
    assert daily.loc["P_1", "annual_return"] == pytest.approx(1.2 ** (252 / 3) - 1)


@pytest.mark.parametrize("bad", [0, -252, float("nan"), float("inf"), True, "252", "daily", [252]])
def test_a_rows_per_year_that_annualises_nothing_is_refused_by_name(bad):
    table = pd.DataFrame({"P_1": [0.1, -0.1, 0.2]}, index=DATES[:3])
    with pytest.raises(ValueError, match=r"^periods_per_year: expect a positive number of rows a year \(252 for "
                                         r"daily rows, 52 weekly, 12 monthly\), got "):
        st.return_summary(table, periods_per_year=bad)
    # a count of numpy's or a fraction of a row is a count
    assert st.return_summary(table, periods_per_year=np.int64(3)).loc["P_1", "annual_return"] == pytest.approx(0.2)
    assert st.return_summary(table, periods_per_year=1.5).loc["P_1", "annual_return"] == pytest.approx(
        1.2 ** 0.5 - 1)


def test_a_records_summary_refuses_a_rows_per_year_of_zero():
    from sigmora.analysis.varodyne import FactorReturnAnalysis
    rng = np.random.default_rng(2)
    dates = pd.bdate_range("2024-01-02", periods=20)
    factor = pd.DataFrame(rng.normal(size=(20, 6)), index=dates, columns=list("ABCDEF"))
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(20, 6)), index=dates, columns=list("ABCDEF"))
    record = FactorReturnAnalysis().analysis(factor, returns, [1])
    assert record.summary(periods_per_year=252)["factor_returns"].notna().all().all()
    with pytest.raises(ValueError, match="periods_per_year"):
        record.summary(periods_per_year=0)


def test_periods_per_year_follows_row_frequency():
    assert st.periods_per_year(pd.bdate_range("2024-01-01", periods=10)) == 252
    minutes = pd.DatetimeIndex([pd.Timestamp("2024-01-02 09:31") + pd.Timedelta(minutes=m) for m in range(240)] +
                               [pd.Timestamp("2024-01-03 09:31") + pd.Timedelta(minutes=m) for m in range(240)])
    assert st.periods_per_year(minutes) == 252 * 240


# ----------------------------------------------------------------------------- quantile statistics

def test_quantile_summary_groups_turnover_benchmark_and_monotonicity():
    dates = DATES[:3]
    # cumulative returns; groups given out of order and with a two-digit label
    returns = tagged({"q10": [0.0, 0.0, 0.0], "q1": [0.0, 0.1, 0.2], "q2": [0.0, 0.05, 0.1]}, dates)
    turnover = tagged({"q10": [0.0, 0.5, np.nan], "q1": [0.0, 0.2, 0.4], "q2": [0.0, 0.0, 0.0]}, dates)
    bench = pd.Series([0.0, 0.02, 0.05], index=dates, name="000300.XSHG")
    out = st.quantile_summary(returns, turnover, bench, periods_per_year=3)
    assert list(out.index) == [("P_1", "q1"), ("P_1", "q2"), ("P_1", "q10")]
    assert out.loc[("P_1", "q1"), "annual_return"] == pytest.approx(0.2)
    assert out.loc[("P_1", "q1"), "mean_turnover"] == pytest.approx(0.2)
    assert out.loc[("P_1", "q10"), "mean_turnover"] == pytest.approx(0.25)   # NaN skipped
    assert out.loc[("P_1", "q2"), "excess_return"] == pytest.approx(0.1 - 0.05)
    mono = st.monotonicity(out)
    assert bool(mono.loc["P_1", "monotonic"]) and mono.loc["P_1", "direction"] == "decreasing"
    assert mono.loc["P_1", "rank_correlation"] == pytest.approx(-1.0)

    mixed = tagged({"q1": [0.0, 0.0, 0.1], "q2": [0.0, 0.0, 0.3], "q3": [0.0, 0.0, 0.2]}, dates)
    mono = st.monotonicity(st.quantile_summary(mixed))
    assert not mono.loc["P_1", "monotonic"] and mono.loc["P_1", "direction"] == "none"
    rising = tagged({"q1": [0.0, 0.0, 0.1], "q2": [0.0, 0.0, 0.2]}, dates)
    assert st.monotonicity(st.quantile_summary(rising)).loc["P_1", "direction"] == "increasing"

    bench_row = st.benchmark_summary(bench, periods_per_year=3)
    assert list(bench_row.index) == ["000300.XSHG"]
    assert bench_row.iloc[0]["annual_return"] == pytest.approx(0.05)


def test_statistics_name_the_bad_argument():
    with pytest.raises(ValueError, match="ic: expect pd.DataFrame"):
        st.ic_summary([0.1, 0.2])
    with pytest.raises(ValueError, match=r"quantile_returns: expect a \(tag, datetime\) index"):
        st.quantile_summary(pd.DataFrame({"P_1": [0.0]}, index=DATES[:1]))
    with pytest.raises(ValueError, match="benchmark_return: expect pd.Series"):
        st.benchmark_summary(pd.DataFrame({"x": [0.0]}))


# ----------------------------------------------------------------------------- records

def make_records(periods=("P_1", "P_5"), n_dates=60, seed=0):
    """The three records filled with tables of the shapes the analysis steps build."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=n_dates, name="datetime")
    cols = list(periods)
    ic = pd.DataFrame(rng.normal(0.03, 0.1, (n_dates, len(cols))), index=dates, columns=cols)
    decay = pd.concat([(ic * (1 - d / 4)).assign(decay=d).set_index("decay", append=True) for d in range(4)])
    industry = pd.DataFrame(rng.normal(0, 0.05, (3, len(cols))), index=["Banks", "Media", "Steel"], columns=cols)
    tags = ["q1", "q2", "q3"]
    daily = pd.DataFrame(rng.normal(0, 0.01, (3 * n_dates, len(cols))), columns=cols,
                         index=pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"]))
    cum = daily.groupby(level="tag", group_keys=False).apply(lambda x: x.add(1).cumprod().sub(1))
    bench = pd.Series(np.cumprod(1 + rng.normal(0, 0.01, n_dates)) - 1, index=dates, name="000300.XSHG")
    tmb = (daily.loc["q1"] - daily.loc["q3"]).add(1).cumprod().sub(1)
    detail = pd.DataFrame(rng.choice(tags, (n_dates, 4)), index=dates, columns=list("ABCD"))
    return (
        ICAnalysisResult(ic=ic, ic_p_value=ic.abs(), ic_decay=decay, ic_industry_distribute=industry, name="ic"),
        QuantileReturnAnalysisResult(quantile_turnover=daily.abs(), quantile_returns=cum, quantile_detail=detail,
                                     benchmark_return=bench, top_minus_bottom_returns=tmb, name="quantile"),
        FactorReturnAnalysisResult(factor_returns=tmb, name="factor_return"),
    )


def test_records_keep_tables_and_accept_none():
    ic_rec, q_rec, f_rec = make_records()
    assert ic_rec.ic.shape == (60, 2) and q_rec.benchmark_return.name == "000300.XSHG"
    assert f_rec.factor_returns is q_rec.top_minus_bottom_returns
    with pytest.raises(TypeError):
        ICAnalysisResult(ic_rec.ic)                      # keyword arguments only
    with pytest.raises(TypeError, match="unexpected"):
        FactorReturnAnalysisResult(factor_returns=None, ic=None, name="x")
    empty = [ICAnalysisResult(ic=None, ic_p_value=None, ic_decay=None, ic_industry_distribute=None, name="a"),
             QuantileReturnAnalysisResult(quantile_turnover=None, quantile_returns=None, quantile_detail=None,
                                          benchmark_return=None, top_minus_bottom_returns=None, name="b"),
             FactorReturnAnalysisResult(factor_returns=None, name="c")]
    for rec in empty:
        assert rec.summary() == {} and rec.plot() == {}
        assert "no tables" in rec.to_text()


def test_label_codes_stay_codes_until_read_and_pickle_small():
    import pickle
    from sigmora.analysis.analysis_result import LabelCodes
    dates = pd.date_range("2024-01-02", periods=400, name="datetime")
    columns = pd.Index(["S{}".format(i) for i in range(500)], name="order_book_id")
    codes = np.random.default_rng(3).integers(-1, 3, (400, 500)).astype(np.int8)
    labels = np.array(["q1", "q2", "q3", np.nan], dtype=object)
    expected = pd.DataFrame(labels[codes], index=dates, columns=columns, dtype=object)

    rec = QuantileReturnAnalysisResult(quantile_turnover=None, quantile_returns=None, benchmark_return=None,
                                       quantile_detail=LabelCodes(codes, labels, dates, columns),
                                       top_minus_bottom_returns=None, name="q")
    assert "quantile_detail" in repr(rec)
    shipped = pickle.dumps(rec)
    assert len(shipped) < codes.size * 2        # a byte per cell, not an object reference per cell
    for record in (pickle.loads(shipped), rec):
        table = record.quantile_detail
        pd.testing.assert_frame_equal(table, expected)
        assert record.quantile_detail is table  # built once
    # Once read, the record holds (and pickles) the table itself, edits included.
    rec.quantile_detail.iloc[0, 0] = "edited"
    assert pickle.loads(pickle.dumps(rec)).quantile_detail.iloc[0, 0] == "edited"
    rec.quantile_detail = None
    assert rec.quantile_detail is None and "quantile_detail" not in repr(rec)


def test_record_summaries_hold_the_expected_tables():
    ic_rec, q_rec, f_rec = make_records()
    s = ic_rec.summary()
    assert list(s) == ["ic", "ic_decay", "ic_industry"]
    assert list(s["ic_decay"].index) == [0, 1, 2, 3]
    assert s["ic"].loc["P_5", "mean"] == pytest.approx(ic_rec.ic["P_5"].mean())
    s = q_rec.summary()
    assert list(s) == ["quantile_returns", "monotonicity", "top_minus_bottom", "benchmark"]
    assert "excess_return" in s["quantile_returns"].columns and len(s["quantile_returns"]) == 6
    assert list(f_rec.summary()["factor_returns"].index) == ["P_1", "P_5"]
    # without a benchmark the excess column and the benchmark table are left out
    no_bench = QuantileReturnAnalysisResult(quantile_turnover=None, quantile_returns=q_rec.quantile_returns,
                                            quantile_detail=None, benchmark_return=None,
                                            top_minus_bottom_returns=None, name="q")
    s = no_bench.summary()
    assert list(s) == ["quantile_returns", "monotonicity"]
    assert "excess_return" not in s["quantile_returns"] and "mean_turnover" not in s["quantile_returns"]


def test_show_prints_tables_and_plot_returns_figures(capsys):
    from matplotlib.figure import Figure
    ic_rec, q_rec, f_rec = make_records()
    q_rec.show()
    text = capsys.readouterr().out
    assert "QuantileReturnAnalysisResult 'quantile'" in text
    assert "Top minus bottom group" in text and "excess_return" in text
    figs = {k: f for rec in (ic_rec, q_rec, f_rec) for k, f in rec.plot().items()}
    assert set(figs) == {"ic", "ic_monthly", "ic_qq", "ic_decay", "ic_industry", "quantile_returns",
                         "top_minus_bottom", "turnover", "factor_returns"}
    assert all(isinstance(f, Figure) for f in figs.values())
    assert len(figs["ic"].axes) == 3                     # cumulative IC + one histogram per period
    assert len(figs["quantile_returns"].axes[0].lines) == 3 + 1 + 1   # groups, benchmark, zero line
    html = f_rec._repr_html_()
    assert html.count("<img") == 1 and "<table" in html


def test_show_in_a_notebook_displays_html(monkeypatch):
    IPython_display = pytest.importorskip("IPython.display")
    from sigmora.analysis import analysis_result
    shown = []
    monkeypatch.setattr(analysis_result, "_in_notebook", lambda: True)
    monkeypatch.setattr(IPython_display, "display", shown.append)
    _, _, f_rec = make_records()
    f_rec.show()
    assert len(shown) == 1 and isinstance(shown[0], IPython_display.HTML)
    assert "Factor returns per period" in shown[0].data and "<img" in shown[0].data


def test_industry_names_without_a_chinese_font_warn_once(monkeypatch):
    import warnings
    from sigmora.analysis import plotting
    table = pd.DataFrame({"P_1": [0.1, -0.2, 0.05]}, index=["银行", "传媒", "钢铁"])
    monkeypatch.setattr(plotting, "cjk_font", lambda: None)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        plotting.figure_to_png(plotting.ic_industry_figure(table))
    assert [str(w.message)[:25] for w in caught] == ["no font with Chinese glyp"]
