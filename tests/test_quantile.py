import types
import warnings

import numpy as np
import pandas as pd
import pytest

import sigmora
from sigmora import _core
from sigmora.analysis import varodyne
from sigmora.analysis._quantile import QuantileReturnAnalysis, _my_quantile

from tests import reference_portfolio as ref

TABLES = ("quantile_turnover", "quantile_returns", "quantile_detail", "top_minus_bottom_returns")


def run(factor, returns, periods, ascending=False, quantile=5):
    step = QuantileReturnAnalysis(quantile=quantile)
    step.step_name = "quantiles"
    return step.analysis(factor, returns, periods, ascending=ascending)


def assert_matches_reference(result, expected):
    for key in TABLES:
        pd.testing.assert_frame_equal(getattr(result, key), expected[key], check_exact=False, rtol=1e-9,
                                      atol=1e-12, obj=key)


@pytest.fixture
def threads():
    before = sigmora._core.get_num_threads()
    yield
    sigmora._core.set_num_threads(before)


# ----------------------------------------------------------------------------- bucket rule

def test_ten_ranks_in_five_groups_hold_two_ranks_each():
    got = _my_quantile(np.arange(1.0, 11.0), q=5, labels=np.array(["q1", "q2", "q3", "q4", "q5"]))
    assert got.tolist() == ["q1", "q1", "q2", "q2", "q3", "q3", "q4", "q4", "q5", "q5"]
    codes = _core.portfolio_quantile_labels(np.arange(1.0, 11.0)[None, :], 5, True)
    assert codes.tolist() == [[0, 0, 1, 1, 2, 2, 3, 3, 4, 4]]


@pytest.mark.parametrize("quantile", [1, 3, 5, 7, 12])
def test_kernel_labels_follow_the_bucket_rule_on_pandas_ranks(quantile):
    rng = np.random.default_rng(quantile)
    tags = np.array(["q{}".format(i) for i in range(1, quantile + 1)])
    values = np.round(rng.normal(size=(40, 23)), 1)  # many ties
    values[rng.random(values.shape) < 0.2] = np.nan
    values[3] = np.nan
    values[4] = 1.0
    values[5, :2] = [np.inf, -np.inf]
    values[6, 1:] = np.nan  # one value
    for ascending in (True, False):
        ranked = pd.DataFrame(values).rank(method="first", ascending=ascending, axis=1).values
        expected = np.array([_my_quantile(row, q=quantile, labels=tags) for row in ranked])
        codes = _core.portfolio_quantile_labels(values, quantile, ascending)
        labels = np.append(tags.astype(object), np.nan)[codes]
        assert pd.DataFrame(labels).equals(pd.DataFrame(expected))


def test_labels_reject_bad_arguments():
    with pytest.raises(ValueError, match="quantile"):
        _core.portfolio_quantile_labels(np.zeros((2, 3)), 0, True)
    with pytest.raises(ValueError, match=r"\(2, 3\).*\(2, 4\)"):
        _core.portfolio_quantile_returns(np.zeros((2, 3), dtype=np.int64), np.ones((2, 4)), np.array([1]), 2)
    with pytest.raises(ValueError, match="labels"):
        _core.portfolio_quantile_returns(np.full((2, 3), 2, dtype=np.int64), np.ones((2, 3)), np.array([1]), 2)
    with pytest.raises(ValueError, match="periods"):
        _core.portfolio_quantile_returns(np.zeros((2, 3), dtype=np.int64), np.ones((2, 3)), np.array([0]), 2)


# ----------------------------------------------------------------------------- against the transcription

@pytest.mark.parametrize("seed", range(8))
def test_tables_match_the_transcription(seed):
    rows, cols = [(24, 9), (15, 4), (40, 13), (9, 1), (30, 25), (12, 6), (21, 2), (33, 8)][seed]
    factor, returns = ref.random_case(seed, rows, cols, misalign=seed % 2 == 1)
    periods = [1, 3, 5, rows - 1] if seed % 4 else [2, 1, 7]
    quantile = [5, 3, 12, 2, 5, 1, 5, 10][seed]
    ascending = seed % 2 == 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = run(factor, returns, periods, ascending, quantile)
    expected = ref.quantile_analysis(factor, returns, periods, ascending, quantile)
    assert_matches_reference(result, expected)
    assert result.name == "quantiles"
    assert result.benchmark_return is None
    assert list(result.quantile_returns.index.names) == ["tag", "datetime"]
    assert list(result.quantile_returns.columns) == ["P_{}".format(p) for p in periods]
    assert (result.quantile_detail.dtypes == object).all()


def test_level_without_labelled_rebalance_rows_contributes_nothing():
    # The lagged factor is empty on rows 2 and 4, so level 2 of period 2 holds nothing.
    dates = pd.date_range("2022-03-01", periods=6, name="datetime")
    factor = pd.DataFrame([[1.0, 2.0], [np.nan, np.nan], [3.0, 1.0], [np.nan, np.nan], [1.0, 2.0], [2.0, 1.0]],
                          index=dates, columns=["A", "B"])
    returns = pd.DataFrame([[0.0, 0.0], [0.1, -0.1], [0.2, 0.0], [-0.1, 0.1], [0.0, 0.3], [0.1, 0.1]],
                           index=dates, columns=["A", "B"])
    result = run(factor, returns, [2], ascending=False, quantile=2)
    assert_matches_reference(result, ref.quantile_analysis(factor, returns, [2], False, 2))
    daily = result.quantile_returns["P_2"].unstack("tag").add(1)
    daily = (daily / daily.shift(1).fillna(1) - 1)
    # Level 1 alone: B is q1 from row 1 (factor 2 > 1), its growth 0.9, then 0.9 * 1.0 on row 2.
    assert daily.loc[dates[1], "q1"] == pytest.approx(-0.1)
    assert daily.loc[dates[2], "q1"] == pytest.approx(0.0)
    assert daily.loc[dates[3], "q1"] == pytest.approx(-0.1)  # A, chosen on row 3 (factor 3 > 1)


def test_factor_without_any_value_gives_flat_groups():
    factor, returns = ref.random_case(3, rows=8, cols=4)
    factor[:] = np.nan
    result = run(factor, returns, [1, 3])
    assert_matches_reference(result, ref.quantile_analysis(factor, returns, [1, 3], False, 5))
    assert (result.quantile_returns == 0).all().all() and result.quantile_turnover.isna().all().all()
    assert result.quantile_turnover.dtypes.eq(np.float64).all()


def test_turnover_counts_entering_members_against_the_previous_date_with_members():
    dates = pd.date_range("2022-03-01", periods=5, name="datetime")
    nan = np.nan
    factor = pd.DataFrame([[1, 1, nan, nan, nan], [nan, 1, 1, 1, nan], [nan] * 5, [nan, 1, 1, 1, 1],
                           [1, 1, 1, 1, 1]], index=dates, columns=list("ABCDE"), dtype=float)
    returns = pd.DataFrame(0.01, index=dates, columns=list("ABCDE"))
    turnover = run(factor, returns, [1], quantile=1).quantile_turnover.loc["q1", "P_1"]
    assert np.isnan(turnover.iloc[0])  # no members before the first lagged value
    assert turnover.iloc[1:].tolist()[:2] == [0.0, pytest.approx(2 / 3)]
    assert np.isnan(turnover.iloc[3])  # no member on row 3: skipped
    assert turnover.iloc[4] == pytest.approx(1 / 4)  # {B, C, D} -> {B, C, D, E}


def test_equal_groups_give_zero_top_minus_bottom_and_period_one_is_the_mean_return():
    dates = pd.date_range("2022-03-01", periods=4, name="datetime")
    factor = pd.DataFrame([[4.0, 3.0, 2.0, 1.0]] * 4, index=dates, columns=list("ABCD"))
    returns = pd.DataFrame([[0.0] * 4, [0.1, 0.3, -0.2, 0.0], [0.1, 0.1, 0.1, 0.1], [0.02, 0.0, 0.04, 0.0]],
                           index=dates, columns=list("ABCD"))
    result = run(factor, returns, [1], ascending=False, quantile=2)
    q1 = result.quantile_returns.loc["q1", "P_1"]
    assert q1.tolist() == pytest.approx([0.0, 0.2, 0.2 * 1.1 + 0.1, (1.32 * 1.01) - 1])
    flat = run(factor, returns * 0 + 0.05, [1], ascending=False, quantile=2)
    assert (flat.top_minus_bottom_returns["P_1"].abs() < 1e-15).all()


def test_periods_too_long_for_the_table():
    factor, returns = ref.random_case(1, rows=20, cols=5)
    with pytest.warns(UserWarning, match=r"Invalid periods found: \[20\], will ignore\. The quantile step leaves "
                                         r"them out: the factor table has 20 rows, and holding a portfolio over n "
                                         r"rows takes at least n \+ 1\.$"):
        result = run(factor, returns, [1, 20])
    assert list(result.quantile_returns.columns) == ["P_1"]
    with pytest.raises(ValueError, match=r"Invalid periods, must be less than 20: the factor table has 20 rows, and "
                                         r"holding a portfolio over n rows takes at least n \+ 1; give a factor "
                                         r"table of more dates or shorter periods$"):
        run(factor, returns, [20, 30])
    # a single row holds no period at all, and says it has one row
    with pytest.raises(ValueError, match=r"the factor table has 1 row, and"):
        run(factor.iloc[:1], returns, [1])
    with pytest.raises(ValueError, match="periods"):
        run(factor, returns, [0])
    with pytest.raises(ValueError, match="quantile"):
        run(factor, returns, [1], quantile=0)


def test_results_do_not_depend_on_the_thread_count(threads):
    factor, returns = ref.random_case(5, rows=300, cols=200)
    outputs = []
    for n in (1, 2, 3):
        sigmora._core.set_num_threads(n)
        result = run(factor, returns, [1, 4, 7])
        outputs.append([getattr(result, key) for key in TABLES])
    for other in outputs[1:]:
        for a, b in zip(outputs[0], other):
            assert a.equals(b)


# ----------------------------------------------------------------------------- benchmark

def fake_tidewell(plug_market, record_type="INDX", price=None):
    calls = []

    def get_price(*args, **kwargs):
        calls.append((args, kwargs))
        return price

    fake = types.SimpleNamespace(instruments=lambda oid: None if record_type is None else
                                 types.SimpleNamespace(type=record_type), get_price=get_price)
    plug_market(fake)
    return calls


@pytest.mark.parametrize("record_type", [None, "CS"])
def test_a_benchmark_that_is_not_an_index_is_dropped_with_a_warning(plug_market, record_type):
    fake_tidewell(plug_market, record_type)
    with pytest.warns(UserWarning, match=r"Invalid benchmark: 000001\.XSHE is not INDX order_book_id\."):
        step = QuantileReturnAnalysis(benchmark="000001.XSHE")
    assert step.benchmark is None
    assert step.quantile == 5


@pytest.mark.parametrize("times, freq, field", [
    (["2023-01-03", "2023-01-04", "2023-01-05", "2023-01-06"], "1d", "close"),
    (["2023-01-03 09:31", "2023-01-03 09:32", "2023-01-03 09:33", "2023-01-03 09:34"], "1m", "close"),
    (["2023-01-03 09:31:03", "2023-01-03 09:31:06", "2023-01-03 09:31:09", "2023-01-03 09:31:12"], "tick", "last"),
])
def test_benchmark_series_by_frequency(plug_market, times, freq, field):
    index = pd.DatetimeIndex(times, name="datetime")
    served = index.delete(2)  # one date without a price
    price = pd.DataFrame({field: [100.0, 110.0, 121.0]},
                         index=pd.MultiIndex.from_product([["000300.XSHG"], served], names=["order_book_id", "dt"]))
    calls = fake_tidewell(plug_market, price=price)
    step = QuantileReturnAnalysis(benchmark="000300.XSHG")
    series = step._load_benchmark_series(index)
    assert calls == [(("000300.XSHG",), dict(start_date=index[0].date(), end_date=index[-1].date(),
                                             frequency=freq, fields=[field], expect_df=True))]
    assert series.name == "000300.XSHG"
    assert series.index.equals(index)
    assert series.tolist() == pytest.approx([0.0, 0.1, 0.1, 0.21])


def test_benchmark_without_data_warns_and_the_analysis_goes_on(plug_market):
    calls = fake_tidewell(plug_market, price=None)
    factor, returns = ref.random_case(2, rows=10, cols=4)
    step = QuantileReturnAnalysis(benchmark="000300.XSHG")
    with pytest.warns(UserWarning, match=r"000300\.XSHG.*2021-01-04.*2021-01-15"):
        result = step.analysis(factor, returns, [1])
    assert result.benchmark_return is None and len(calls) == 1
    assert QuantileReturnAnalysis()._load_benchmark_series(factor.index) is None


def test_engine_run_on_the_demo_store(small_store):
    import tidewell
    ids = sorted(tidewell.all_instruments(type="CS")["order_book_id"])[:20]
    dates = pd.DatetimeIndex(tidewell.get_trading_dates("2023-02-01", "2023-06-30"))
    factor = tidewell.get_signal(ids, dates[0], dates[-1])
    engine = varodyne.FactorVarodyne()
    engine.append(("quantile", QuantileReturnAnalysis(quantile=4, benchmark="000300.XSHG")))
    result = engine.analysis(factor, "daily", ascending=False, periods=(1, 5))["quantile"]
    assert result.name == "quantile"
    assert result.benchmark_return.index.equals(factor.index) and result.benchmark_return.iloc[0] == 0
    assert result.benchmark_return.abs().max() > 0
    returns = varodyne._daily_returns(factor, [1, 5])
    assert_matches_reference(result, ref.quantile_analysis(factor, returns, [1, 5], False, 4))
