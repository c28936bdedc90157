import numpy as np
import pandas as pd
import pytest

import sigmora
from sigmora import _core
from sigmora.analysis import varodyne
from sigmora.analysis._factor_return import FactorReturnAnalysis

from tests import reference_portfolio as ref


def run(factor, returns, periods, ascending=False):
    step = FactorReturnAnalysis()
    step.step_name = "factor_returns"
    return step.analysis(factor, returns, periods, ascending=ascending).factor_returns


def daily_of(cumulative):
    growth = cumulative.add(1)
    return growth / growth.shift(1).fillna(1) - 1


@pytest.mark.parametrize("seed", range(8))
def test_matches_the_transcription_with_whole_row_carry(seed):
    rows, cols = [(24, 9), (15, 4), (40, 13), (9, 1), (30, 25), (12, 6), (21, 2), (33, 8)][seed]
    factor, returns = ref.random_case(seed, rows, cols, misalign=seed % 2 == 1)
    periods = [1, 3, 5, rows + 4] if seed % 4 else [2, 1, 7]
    ascending = seed % 2 == 0
    got = run(factor, returns, periods, ascending)
    expected = ref.factor_returns(factor, returns, periods, ascending)
    pd.testing.assert_frame_equal(got, expected.astype(float), check_exact=False, rtol=1e-9, atol=1e-12)
    assert got.index.name == "datetime" and list(got.columns) == ["P_{}".format(p) for p in periods]
    assert (got.iloc[0] == 0).all()


def suspended_case():
    """B has no factor value on rows 2 and 3 (suspended) and jumps when it resumes."""
    dates = pd.date_range("2022-03-01", periods=6, name="datetime")
    factor = pd.DataFrame({"A": [1.0, 2.0, 3.0, 1.0, 2.0, 3.0], "B": [3.0, 1.0, np.nan, np.nan, 1.0, 2.0],
                           "C": [2.0, 3.0, 1.0, 2.0, 3.0, 1.0]}, index=dates)
    returns = pd.DataFrame({"A": [0.0, 0.01, -0.02, 0.03, 0.0, 0.01], "B": [0.0, 0.02, np.nan, np.nan, 0.5, 0.0],
                            "C": [0.0, -0.01, 0.01, 0.02, -0.03, 0.02]}, index=dates)
    return factor, returns


def test_period_one_return_is_yesterdays_weights_times_todays_returns():
    factor, returns = suspended_case()
    weights = factor.sub(factor.mean(axis=1), axis=0)
    weights = weights.div(weights.abs().sum(axis=1), axis=0)
    expected = (weights.shift(1) * returns).sum(axis=1)
    expected.iloc[0] = 0.0
    got = daily_of(run(factor, returns, [1]))["P_1"]
    assert got.tolist() == pytest.approx(expected.tolist(), abs=1e-15)
    # The documented column-wise fill would keep B's weight of row 1 through its suspension
    # and earn its 50% resumption jump on row 4.
    documented = daily_of(ref.factor_returns(factor, returns, [1], False, carry_rows=False))["P_1"]
    assert documented.iloc[4] != pytest.approx(expected.iloc[4])


def test_all_equal_rebalance_row_holds_nothing_until_the_next_one():
    factor, returns = suspended_case()
    factor.iloc[2] = 7.0  # all equal: no weights for row 3
    got = daily_of(run(factor, returns, [1, 2]))
    assert got["P_1"].iloc[3] == 0.0
    # Period 2: level 1 rebalances on row 3 and holds nothing on rows 3 and 4; level 2 holds
    # the weights of row 2 (A 0, B -0.5, C 0.5; B's growth is missing on rows 2 and 3).
    level_two = (1 + 0.5 * (1.01 * 1.02 - 1)) / (1 + 0.5 * 0.01) - 1
    assert got["P_2"].iloc[3] == pytest.approx(level_two / 2, abs=1e-15)
    documented = daily_of(ref.factor_returns(factor, returns, [1], False, carry_rows=False))["P_1"]
    assert documented.iloc[3] != 0.0  # the documented fill kept row 2's weights


def test_equal_values_whose_sum_rounds_hold_nothing():
    # Nine values of 0.1 do not add up to exactly 0.9 in sequence, yet they do not spread:
    # the date's weights are missing, not a long (or short) book of 1/9 each.
    dates = pd.date_range("2022-03-01", periods=4, name="datetime")
    factor = pd.DataFrame(np.arange(36.0).reshape(4, 9) % 5, index=dates, columns=list("ABCDEFGHI"))
    factor.iloc[1] = 0.1
    returns = pd.DataFrame(0.02, index=dates, columns=factor.columns)
    weights = _core.portfolio_factor_weights(factor.to_numpy(), False)
    assert np.isnan(weights[1]).all() and not np.isnan(weights[2]).any()
    got = run(factor, returns, [1, 2])
    assert daily_of(got)["P_1"].iloc[2] == 0.0
    pd.testing.assert_frame_equal(got, ref.factor_returns(factor, returns, [1, 2], False).astype(float),
                                  check_exact=False, rtol=1e-9, atol=1e-12)


def test_ascending_negates_the_daily_return_of_period_one():
    # Only period 1 rebalances every row; longer windows compound, which is not odd in the sign.
    factor, returns = ref.random_case(11, rows=30, cols=7)
    low = daily_of(run(factor, returns, [1, 3], ascending=True))
    high = daily_of(run(factor, returns, [1, 3], ascending=False))
    np.testing.assert_allclose(low["P_1"], -high["P_1"], rtol=1e-9, atol=1e-14)
    assert not np.allclose(low["P_3"], high["P_3"])


def test_step_leaves_the_inputs_alone_and_rejects_bad_periods():
    factor, returns = ref.random_case(4, rows=12, cols=5)
    factor.index.name = "day"
    before = factor.copy()
    result = FactorReturnAnalysis().analysis(factor, returns, (1, 3))
    assert result.name == "FactorAnalysisStep"
    assert factor.index.name == "day" and factor.equals(before)
    with pytest.raises(ValueError, match="periods"):
        run(factor, returns, [2, -1])
    with pytest.raises(ValueError, match=r"\(3, 2\).*\(3, 4\)"):
        _core.portfolio_factor_returns(np.zeros((3, 2)), np.ones((3, 4)), np.array([1]), False)


def test_growth_is_the_running_product_that_skips_missing_returns():
    returns = np.array([[0.1, np.nan, -1.0], [np.nan, 0.2, np.inf], [0.1, -0.5, 0.3], [0.0, np.nan, np.nan]])
    expected = pd.DataFrame(returns).add(1).cumprod().to_numpy()
    np.testing.assert_array_equal(_core.portfolio_growth(returns), expected)
    np.testing.assert_array_equal(_core.portfolio_growth(np.ascontiguousarray(returns.T), column_major=True),
                                  expected)


def test_wide_tables_and_many_levels_match_the_transcription():
    # Enough instruments for several column blocks (the last one partly filled) and more
    # levels than one pass over the tables takes.
    factor, returns = ref.random_case(21, rows=70, cols=1100)
    periods = [1, 30, 45, 7]
    got = run(factor, returns, periods)
    expected = ref.factor_returns(factor, returns, periods, False)
    pd.testing.assert_frame_equal(got, expected.astype(float), check_exact=False, rtol=1e-9, atol=1e-12)


def test_return_table_running_past_the_factor_dates_on_other_instruments():
    # The engine's daily returns run past the last factor date; instruments may come in
    # another order, lack a factor's instrument or add one.
    factor, returns = ref.random_case(3, rows=40, cols=12)
    later = pd.date_range(factor.index[-1] + pd.offsets.BDay(), periods=5, freq="B", name="datetime")
    extra_rows = pd.DataFrame(np.random.default_rng(3).normal(scale=0.03, size=(5, 12)), later, returns.columns)
    longer = pd.concat([returns, extra_rows])[list(returns.columns[::-1][1:])]
    longer["X_EXTRA"] = 0.01
    got = run(factor, longer, [1, 4, 6])
    expected = ref.factor_returns(factor, longer, [1, 4, 6], False)
    pd.testing.assert_frame_equal(got, expected.astype(float), check_exact=False, rtol=1e-9, atol=1e-12)
    assert len(got) == len(factor)


def test_daily_returns_and_their_growth_give_the_same_bits_in_either_layout():
    factor, returns = ref.random_case(8, rows=90, cols=300)
    values = returns.to_numpy().copy()
    values[5, :4] = [-1.0, np.inf, -np.inf, np.nan]  # a total loss, infinite and missing returns
    periods = np.array([1, 4, 9])
    growth = _core.portfolio_growth(values)
    expected = _core.portfolio_factor_returns(factor.to_numpy(), growth, periods, False, returns_are_growth=True)
    for f, r in [(factor.to_numpy(), values), (np.asfortranarray(factor.to_numpy()), np.asfortranarray(values))]:
        got = _core.portfolio_factor_returns(f, r, periods, False)
        np.testing.assert_array_equal(got, expected)
    assert not np.isnan(expected[:, 1:]).all()


def test_kernels_do_not_depend_on_the_thread_count():
    factor, returns = ref.random_case(6, rows=400, cols=700)
    before = _core.get_num_threads()
    try:
        outputs = []
        for n in (1, 2, 3):
            _core.set_num_threads(n)
            outputs.append(run(factor, returns, [1, 5, 9]).to_numpy())
        assert all(np.array_equal(outputs[0], o, equal_nan=True) for o in outputs[1:])
    finally:
        _core.set_num_threads(before)


def test_engine_run_on_the_demo_store(small_store):
    import tidewell
    ids = sorted(tidewell.all_instruments(type="CS")["order_book_id"])[:20]
    dates = pd.DatetimeIndex(tidewell.get_trading_dates("2023-02-01", "2023-06-30"))
    factor = tidewell.get_signal(ids, dates[0], dates[-1])
    engine = varodyne.FactorVarodyne()
    engine.append(("fr", FactorReturnAnalysis()))
    result = engine.analysis(factor, "daily", ascending=False, periods=[1, 5])["fr"]
    returns = varodyne._daily_returns(factor, [1, 5])
    expected = ref.factor_returns(factor, returns, [1, 5], False)
    pd.testing.assert_frame_equal(result.factor_returns, expected.astype(float), check_exact=False, rtol=1e-9)
    assert result.factor_returns.iloc[-1].abs().max() > 0
