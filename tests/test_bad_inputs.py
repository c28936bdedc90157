"""Ordinary mistakes in the arguments of a run end in a clear error that names the argument
(or in the right result), never in a crash, a raw library message or a silent wrong answer."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest

from sigmora.analysis.varodyne import (
    FactorReturnAnalysis, FactorVarodyne, ICAnalysis, Neutralization, QuantileReturnAnalysis, Winzorization,
    _get_datetime_freq)

DATES = pd.bdate_range("2024-01-02", periods=12)
IDS = ["S{:02d}".format(i) for i in range(8)]


def tables(rows=12, cols=8, seed=0):
    rng = np.random.default_rng(seed)
    factor = pd.DataFrame(rng.normal(size=(rows, cols)), index=DATES[:rows], columns=IDS[:cols])
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(rows, cols)), index=DATES[:rows], columns=IDS[:cols])
    return factor, returns


def engine(*steps):
    e = FactorVarodyne()
    for i, step in enumerate(steps or (ICAnalysis(),)):
        e.append(("s{}".format(i), step))
    return e


@pytest.mark.parametrize("periods, message", [
    (0, r"periods: expect positive integers, got 0"),
    (True, r"periods: expect positive integers, got True"),
    (["5"], r"periods: expect positive integers, got '5'"),
    ((1, -2), r"periods: expect positive integers, got -2"),
    ((), r"periods: expect at least one positive integer"),
])
def test_bad_periods_name_the_argument(periods, message):
    factor, returns = tables()
    with pytest.raises(ValueError, match=message):
        engine().analysis(factor, returns, periods=periods)


def test_numpy_integer_periods_are_periods():
    factor, returns = tables()
    got = engine().analysis(factor, returns, periods=np.int64(2))["s0"].ic
    want = engine().analysis(factor, returns, periods=2)["s0"].ic
    pd.testing.assert_frame_equal(got, want)
    with pytest.raises(AssertionError, match="periods must be tuple/list/int"):
        engine().analysis(factor, returns, periods=2.0)


@pytest.mark.parametrize("ascending", ["no", None, 2, [True]])
def test_ascending_must_be_a_truth_value(ascending):
    factor, returns = tables()
    with pytest.raises(ValueError, match=r"ascending: expect True .* or False"):
        engine().analysis(factor, returns, ascending=ascending)


@pytest.mark.parametrize("name", ["factor_data", "returns"])
def test_tables_out_of_order_or_repeated_are_refused(name):
    factor, returns = tables()
    swapped = {"factor_data": factor, "returns": returns}
    order = list(range(12))
    order[4], order[5] = 5, 4
    swapped[name] = swapped[name].iloc[order]
    with pytest.raises(ValueError, match=r"{}: expect dates in ascending order, but 2024-01-08.*\(row 5\) comes "
                                         r"after 2024-01-09.*\(row 4\).*sort_index".format(name)):
        engine().analysis(swapped["factor_data"], swapped["returns"])
    repeated = {"factor_data": factor, "returns": returns}
    repeated[name] = repeated[name].iloc[[0, 1, 1, 2, 3, 4]]
    with pytest.raises(ValueError, match=r"{}: expect one row per date, got 1 repeated date.*pivot".format(name)):
        engine().analysis(repeated["factor_data"], repeated["returns"])


def test_time_zones_are_refused_with_the_remedy():
    factor, returns = tables()
    factor.index = factor.index.tz_localize("Asia/Shanghai")
    with pytest.raises(ValueError, match=r"factor_data: expect dates without a time zone.*tz_localize\(None\)"):
        engine().analysis(factor, returns)


def test_returns_sharing_nothing_with_the_factor_are_refused():
    factor, returns = tables()
    later = returns.set_axis(returns.index + pd.Timedelta(days=100))
    for steps in [(QuantileReturnAnalysis(quantile=2),), (FactorReturnAnalysis(),), (ICAnalysis(),)]:
        with pytest.raises(ValueError, match=r"factor_data and returns have no date in common \(factor_data: "
                                             r"2024-01-02 00:00:00 to 2024-01-17.*returns: 2024-04-1"):
            engine(*steps).analysis(factor, later)
    other_ids = returns.set_axis(["X{}".format(i) for i in range(8)], axis=1)
    with pytest.raises(ValueError, match="no instrument in common"):
        engine(FactorReturnAnalysis()).analysis(factor, other_ids)
    minutes = returns.set_axis(returns.index + pd.Timedelta(minutes=571))
    with pytest.raises(ValueError, match="factor_data holds dates and returns intraday times"):
        engine().analysis(factor, minutes)


@pytest.mark.parametrize("max_decay", [-1, 2.5, True, "5"])
def test_bad_max_decay_names_the_argument(max_decay):
    """Refused where it is given, and again at the analysis when set afterwards."""
    factor, returns = tables()
    with pytest.raises(ValueError, match=r"max_decay: expect None or a positive integer"):
        ICAnalysis(max_decay=max_decay)
    step = ICAnalysis()
    step.max_decay = max_decay
    with pytest.raises(ValueError, match=r"max_decay: expect None or a positive integer"):
        engine(step).analysis(factor, returns)


@pytest.mark.parametrize("quantile", [0, -3, 2.0, "5", True, None])
def test_a_quantile_that_is_no_positive_integer_is_refused_where_it_is_given(quantile):
    with pytest.raises(ValueError, match=r"quantile: expect a positive integer, got "):
        QuantileReturnAnalysis(quantile=quantile)


def test_a_huge_max_decay_is_bounded_by_the_dates():
    factor, returns = tables(rows=4)
    huge = engine(ICAnalysis(max_decay=2 ** 62 + 1)).analysis(factor, returns)["s0"].ic_decay
    enough = engine(ICAnalysis(max_decay=4)).analysis(factor, returns)["s0"].ic_decay
    pd.testing.assert_frame_equal(huge, enough)
    pearson = engine(ICAnalysis(rank_ic=False, max_decay=np.int64(2 ** 40))).analysis(factor, returns)["s0"]
    assert pearson.ic_decay.index.get_level_values("decay").max() <= 3


@pytest.mark.parametrize("quantile", [10 ** 5, 2 ** 31, 3_000_000_000])
def test_a_quantile_count_beyond_the_data_is_refused_before_any_allocation(quantile):
    factor, returns = tables()
    with pytest.raises(ValueError, match=r"quantile: expect at most 100 groups .* 8 instruments"):
        engine(QuantileReturnAnalysis(quantile=quantile)).analysis(factor, returns)


def test_unhashable_or_unknown_winsorize_method():
    for method in (["mad"], {"m": 1}, "median"):
        with pytest.raises(ValueError, match=r"method: expect one of"):
            Winzorization(method)


@pytest.mark.parametrize("other", [np.zeros((3, 3)), pd.DataFrame(np.zeros((3, 3))), pd.Series([1.0]), "size"])
def test_other_factors_must_be_a_list_of_tables(other):
    with pytest.raises(ValueError, match=r"other_factors: expect a list of factor tables"):
        Neutralization(industry=None, style_factors=None, other_factors=other)
    with pytest.raises(ValueError, match=r"other_factors\[1\]: expect a pd.DataFrame"):
        Neutralization(industry=None, style_factors=None, other_factors=[None, np.zeros((2, 2))])


def test_a_user_factor_missing_instruments_warns_that_their_residuals_are_lost():
    factor, _ = tables()
    other = factor.iloc[:, :5] * 2 + 1
    step = Neutralization(industry=None, style_factors=None, other_factors=[other])
    with pytest.warns(UserWarning, match=r"other_factors\[0\] has no value for 3 of 8 instruments .*S05, S06, S07"):
        got = step.process(factor)
    assert got[["S05", "S06", "S07"]].isna().all().all() and got.iloc[:, :5].notna().all().all()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        step.process(factor.iloc[:, :5])


def test_an_hourly_index_is_named_in_one_line():
    index = pd.DatetimeIndex(["2024-01-02 15:00", "2024-01-03 15:00"] * 30)
    with pytest.raises(ValueError, match=r"Unknown datetime index: 60 rows .* such as 2024-01-02 15:00:00") as err:
        _get_datetime_freq(index)
    assert "\n" not in str(err.value)


def test_text_in_an_object_table_is_named_by_its_cells_not_by_every_object_column():
    factor, returns = tables()
    numbers_as_objects = factor.astype(object)
    # object columns that hold numbers only are read as numbers
    got = engine().analysis(numbers_as_objects, returns, periods=1)["s0"].ic
    pd.testing.assert_frame_equal(got, engine().analysis(factor, returns, periods=1)["s0"].ic)
    bad = numbers_as_objects.copy()
    bad.iloc[3, 5] = "n/a"
    bad.iloc[7, 5] = "high"
    with pytest.raises(TypeError) as caught:
        engine().analysis(bad, returns, periods=1)
    message = str(caught.value)
    assert message.startswith("factor_data: expect numeric values, got values that are no number in 1 column(s) "
                              "such as S05: 'n/a' in column S05 on {}, 'high' in column S05 on {}".format(
                                  DATES[3], DATES[7])), message
    assert "S00" not in message and "pd.to_numeric" in message


def test_a_factor_of_the_wrong_shape_is_refused_with_the_call_that_makes_a_table_of_it():
    factor, returns = tables()
    factor.index.name, factor.columns.name = "date", "order_book_id"
    text_dates = factor.set_axis(factor.index.strftime("%Y-%m-%d"))
    cases = [
        (factor.stack(), r"got <class 'pandas.Series'>; a Series indexed by \(date, order_book_id\) becomes a table "
                         r"of dates x order_book_ids with factor_data.unstack\(\)$"),
        (factor["S00"], r"got <class 'pandas.Series'>; a table has one column per order_book_id: "
                        r"factor_data.to_frame\(order_book_id\)"),
        (factor.T, r"got <class 'pandas.Index'>; its columns are dates: the table seems transposed, use "
                   r"factor_data.T$"),
        (text_dates, r"; its index holds dates as text: convert it with factor_data.index = "
                     r"pd.to_datetime\(factor_data.index\)$"),
        (text_dates.reset_index(), r"got <class 'pandas.RangeIndex'>; make its 'date' column the index: "
                                   r"factor_data = factor_data.set_index\('date'\)"),
        (factor.stack().to_frame("value"), r"got <class 'pandas.MultiIndex'>; a table indexed by \(date, "
                                           r"order_book_id\) becomes .* factor_data\[column\].unstack\(\)$"),
    ]
    for given, message in cases:
        with pytest.raises(ValueError, match=r"^factor_data: expect ") as caught:
            engine().analysis(given, returns, periods=1)
        assert re.search(message, str(caught.value)), str(caught.value)
    # the fixes the messages give make tables the engine takes
    want = engine().analysis(factor, returns, periods=1)["s0"].ic
    for fixed in (factor.stack().unstack(), factor.T.T, text_dates.set_axis(pd.to_datetime(text_dates.index))):
        pd.testing.assert_frame_equal(engine().analysis(fixed, returns, periods=1)["s0"].ic, want, check_freq=False)
    # a table of plain numbers as its index gets no guess
    with pytest.raises(ValueError, match=r"got <class 'pandas.RangeIndex'>$"):
        engine().analysis(factor.reset_index(drop=True), returns, periods=1)
