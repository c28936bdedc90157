"""Every run says what it rests on, warns when that is thin or meaningless, and shows no
statistic for a group that never held an instrument."""

import warnings

import numpy as np
import pandas as pd
import pytest

from sigmora.analysis._coverage import Coverage
from sigmora.analysis.leaderboard import leaderboard
from sigmora.analysis.varodyne import FactorVarodyne, ICAnalysis, QuantileReturnAnalysis

TRADING = pd.bdate_range("2024-01-01", periods=60)
IDS = ["S{:02d}".format(i) for i in range(20)]


def returns_table(seed=0):
    rng = np.random.default_rng(seed)
    return pd.DataFrame(rng.normal(0, 0.02, size=(len(TRADING), len(IDS))), index=TRADING, columns=IDS)


def run(factor, returns, *steps, periods=(1, 5)):
    engine = FactorVarodyne()
    for i, step in enumerate(steps or (ICAnalysis(),)):
        engine.append(("s{}".format(i), step))
    return engine.analysis(factor, returns, periods=periods)


def test_weekend_rows_are_counted_as_dropped_and_named():
    rng = np.random.default_rng(1)
    days = pd.date_range(TRADING[0], TRADING[39])   # every calendar day: weekends included
    factor = pd.DataFrame(rng.normal(size=(len(days), len(IDS))), index=days, columns=IDS)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        record = run(factor, returns_table())["s0"]
    cov = record.coverage
    assert (cov.dates_given, cov.dates_used, cov.not_return_dates) == (len(days), 40, len(days) - 40)
    assert cov.without_forward_return == {"P_1": 0, "P_5": 0}
    assert "40 of {} dates used ({} dropped: {} not a trading date)".format(
        len(days), len(days) - 40, len(days) - 40) in cov.text()
    table = record.summary()["coverage"]["coverage"]
    assert table["dates dropped: not a trading date"] == len(days) - 40 and table["instruments used"] == 20
    assert record.to_text().splitlines()[1] == "Rests on: " + cov.text()


def test_a_factor_starting_long_before_the_prices_warns_with_the_counts():
    rng = np.random.default_rng(2)
    dates = pd.bdate_range("2023-06-01", TRADING[-10])
    factor = pd.DataFrame(rng.normal(size=(len(dates), len(IDS) + 5)), index=dates, columns=IDS + list("VWXYZ"))
    before = int((dates < TRADING[0]).sum())
    with pytest.warns(UserWarning, match=r"The factor test used only 51 of {} dates: 51 of {} dates used \({} dropped: "
                                         r"{} before the first price\); 20 of 25 instruments used \(5 without any "
                                         r"price\)".format(len(dates), len(dates), before, before)):
        record = run(factor, returns_table())["s0"]
    assert record.coverage.values_per_date == (20, 20.0, 20) and record.coverage.missing_share == 0.0
    # instruments with prices but never a factor value are counted apart from those without prices
    factor[IDS[:3]] = np.nan
    with pytest.warns(UserWarning):
        text = run(factor, returns_table())["s0"].coverage.text()
    assert "17 of 25 instruments used (5 without any price, 3 without a factor value on a date with a return)" in text


def test_dates_the_preprocessing_empties_are_told_apart_from_dates_without_values():
    """The clip flattens a date where most values are equal and standardising leaves it without
    values: the run says the preprocessing emptied it, not that the factor had no value. A
    date the factor never had a value on keeps its own reason, and so do saved records."""
    from sigmora.analysis._coverage import Coverage
    from sigmora.analysis.varodyne import Normalization, Winzorization
    rng = np.random.default_rng(4)
    factor = pd.DataFrame(rng.normal(size=(40, len(IDS))), index=TRADING[:40], columns=IDS)
    factor.iloc[5, :15] = 0.1               # 15 of 20 equal: the MAD clip makes the date constant
    factor.iloc[7] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        record = run(factor, returns_table(), Winzorization(), Normalization(), ICAnalysis())["s2"]
    cov = record.coverage
    assert (cov.dates_used, cov.no_values, cov.emptied) == (38, 1, 1)
    assert "38 of 40 dates used (2 dropped: 1 no factor value, 1 no value left after preprocessing)" in cov.text()
    assert record.summary()["coverage"]["coverage"]["dates dropped: no value left after preprocessing"] == 1
    # without preprocessing the same dates keep their values
    assert run(factor, returns_table())["s0"].coverage.dates_used == 39
    # a record saved or pickled before the count was kept reads as 0, and equals a run's now
    counts = cov.counts()
    del counts["emptied"]
    assert Coverage.from_counts(counts).emptied == 0
    quiet = run(factor, returns_table(), Normalization(), ICAnalysis())["s1"].coverage
    assert quiet.emptied == 0
    older = quiet.counts()
    del older["emptied"]
    assert Coverage.from_counts(older) == quiet
    pickled = Coverage.__new__(Coverage)
    pickled.__dict__.update(Coverage.from_counts(older).__dict__)
    del pickled.__dict__["emptied"]
    assert pickled == quiet and pickled.text() == quiet.text()


@pytest.mark.parametrize("factor, problem, message", [
    (pd.DataFrame(np.nan, index=TRADING[:30], columns=IDS), "no values", "has no value at all"),
    (pd.DataFrame(3.0, index=TRADING[:30], columns=IDS), "constant", "is the same for every instrument"),
    # one instrument, and instruments taking turns: never two values on a date
    (pd.DataFrame(np.nan, index=TRADING[:30], columns=IDS).assign(S00=1.0 + np.arange(30.0)), "one value a date",
     r"at most one value on any date \(20 instrument\(s\) in all\).*needs two or more"),
    (pd.DataFrame(np.where(np.arange(30)[:, None] % 20 == np.arange(20), 1.0, np.nan), index=TRADING[:30],
                  columns=IDS), "one value a date", "at most one value on any date"),
])
def test_a_factor_without_information_warns_and_is_marked_on_the_leaderboard(factor, problem, message):
    with pytest.warns(UserWarning, match=message):
        results = run(factor, returns_table(), QuantileReturnAnalysis(quantile=2), ICAnalysis())
    assert results["s0"].coverage.degenerate == problem
    board = leaderboard({"flat": results})
    assert board.loc["flat", "note"] == "factor: " + problem


def test_figures_of_a_few_dates_are_marked_on_the_leaderboard():
    rng = np.random.default_rng(5)
    factor = pd.DataFrame(rng.normal(size=(30, len(IDS))), index=TRADING[:30], columns=IDS)
    factor.iloc[:20] = np.nan      # 10 of 30 dates hold values
    with pytest.warns(UserWarning, match="The factor test used only 10 of 30 dates"):
        thin = run(factor, returns_table(), ICAnalysis())
    full = run(factor.fillna(0.5) + rng.normal(size=factor.shape), returns_table(), ICAnalysis())
    assert thin["s0"].coverage.thin_dates and not full["s0"].coverage.thin_dates
    board = leaderboard({"thin": thin, "full": full})
    assert board.loc["thin", "note"] == "rests on 10 of 30 dates"
    assert pd.isna(board.loc["full", "note"])
    none = Coverage.from_counts(dict(thin["s0"].coverage.counts(), dates_used=0))
    assert none.thin_dates and not Coverage.from_counts(dict(none.counts(), dates_used=15)).thin_dates


def test_infinite_values_are_named_with_the_remedy():
    rng = np.random.default_rng(3)
    factor = pd.DataFrame(rng.normal(size=(30, 20)), index=TRADING[:30], columns=IDS)
    factor.iloc[:, 4] = np.inf
    factor.iloc[2, 7] = -np.inf
    with pytest.warns(UserWarning, match=r"factor_data holds 31 infinite value\(s\) in 2 instrument\(s\) such as "
                                         r"S04, S07.*replace\(\[np.inf, -np.inf\], np.nan\)"):
        run(factor, returns_table())


def test_groups_that_never_hold_an_instrument_show_no_statistics():
    rng = np.random.default_rng(4)
    # Three instruments with values, five groups: the ranks 1, 2, 3 always land in q1, q3, q5.
    factor = pd.DataFrame(np.nan, index=TRADING[:30], columns=IDS)
    factor.iloc[:, :3] = rng.normal(size=(30, 3))
    record = run(factor, returns_table(), QuantileReturnAnalysis(quantile=5))["s0"]
    assert set(record.empty_groups()) == {"q2", "q4"}
    groups = record.summary()["quantile_returns"]
    assert groups.xs("q4", level="group").isna().all().all() and groups.xs("q2", level="group").isna().all().all()
    assert groups.xs("q5", level="group")["volatility"].notna().all()
    # The documented tables keep their zero-filled rows.
    assert (record.quantile_returns.loc["q4"] == 0).all().all()
    assert record.summary()["top_minus_bottom"].notna().all().all()
    # Without any value no group is ever held: no statistic at all, the spread included.
    factor.iloc[:, :] = np.nan
    with pytest.warns(UserWarning, match="has no value at all"):
        empty = run(factor, returns_table(), QuantileReturnAnalysis(quantile=5))["s0"]
    assert empty.summary()["quantile_returns"].isna().all().all()
    assert empty.summary()["top_minus_bottom"].isna().all().all()


def test_a_factor_return_portfolio_that_never_held_a_position_has_no_statistics():
    from sigmora.analysis.varodyne import FactorReturnAnalysis
    empty = pd.DataFrame(np.nan, index=TRADING[:30], columns=IDS)
    # only the last row has values: no portfolio is ever formed from them
    last_only = empty.copy()
    last_only.iloc[-1] = np.arange(len(IDS), dtype=float)
    for factor in (empty, last_only):
        for cost in (0, 10):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                record = run(factor, returns_table(), FactorReturnAnalysis(cost_bps=cost))["s0"]
            assert record.factor_returns.isna().all().all()
            summary = record.summary()["factor_returns"]
            assert summary.isna().all().all(), summary
            assert record.headline().isna().all().all()
            if cost:
                assert record.factor_net_returns.isna().all().all()
    # one row of values before the last is a held position: figures, not NaN
    held = empty.copy()
    held.iloc[-2] = np.arange(len(IDS), dtype=float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        record = run(held, returns_table(), FactorReturnAnalysis())["s0"]
    assert record.factor_returns.notna().all().all()
    assert record.factor_returns["P_1"].iloc[-1] != 0


def test_warnings_point_at_the_users_call():
    factor = pd.DataFrame(3.0, index=TRADING[:30], columns=IDS)
    with pytest.warns(UserWarning) as caught:
        run(factor, returns_table(), QuantileReturnAnalysis(quantile=2), periods=(1, 40))
    assert {w.filename for w in caught} == {__file__}
    assert {str(w.message).split(" ")[0] for w in caught} >= {"factor_data", "Invalid"}


def test_more_groups_than_a_typical_date_holds_warns_and_repeated_columns_are_refused():
    rng = np.random.default_rng(5)
    factor = pd.DataFrame(rng.normal(size=(30, 20)), index=TRADING[:30], columns=IDS)
    factor.iloc[::2, 12:] = np.nan
    with pytest.warns(UserWarning, match=r"quantile: 15 groups, but a typical date has 12 instruments with values"):
        run(factor.iloc[:29], returns_table(), QuantileReturnAnalysis(quantile=15))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run(factor, returns_table(), QuantileReturnAnalysis(quantile=5))
    doubled = pd.concat([factor, factor.iloc[:, :2]], axis=1)
    with pytest.raises(ValueError, match=r"factor_data: expect one column per order_book_id, got 2 repeated "
                                         r"column\(s\) such as S00, S01"):
        run(doubled, returns_table())
