"""Cap- and user-weighted quantile groups, and trading costs of the quantile and factor-return
steps: against a pandas transcription and hand computations on toys."""

import warnings

import numpy as np
import pandas as pd
import pytest

from sigmora.analysis._factor_return import FactorReturnAnalysis
from sigmora.analysis._quantile import QuantileReturnAnalysis
from sigmora.analysis.leaderboard import glance_table, leaderboard
from sigmora.analysis.statistics import returns_from_cumulative

from tests import reference_portfolio as ref

TABLES = ("quantile_turnover", "quantile_returns", "quantile_detail", "top_minus_bottom_returns")
DATES = pd.date_range("2024-03-04", periods=6, freq="B", name="datetime")


def quantiles(factor, returns, periods, ascending=False, **options):
    step = QuantileReturnAnalysis(**options)
    step.step_name = "quantile"
    return step.analysis(factor, returns, periods, ascending=ascending)


def factor_return(factor, returns, periods, ascending=False, **options):
    step = FactorReturnAnalysis(**options)
    step.step_name = "factor_return"
    return step.analysis(factor, returns, periods, ascending=ascending)


def daily(cumulative):
    return returns_from_cumulative(cumulative)


def random_weights(factor, seed):
    rng = np.random.default_rng(seed)
    w = rng.lognormal(size=factor.shape)
    w[rng.random(factor.shape) < 0.1] = np.nan
    w[rng.random(factor.shape) < 0.05] = 0.0
    return pd.DataFrame(w, index=factor.index, columns=factor.columns)


# ----------------------------------------------------------------------------- weights

@pytest.mark.parametrize("seed", range(6))
def test_weighted_groups_match_the_transcription(seed):
    rows, cols = [(24, 9), (15, 4), (40, 13), (30, 25), (12, 6), (21, 3)][seed]
    factor, returns = ref.random_case(seed, rows, cols, misalign=seed % 2 == 1)
    weights = random_weights(factor, seed)
    periods = [1, 3, 5] if seed % 2 else [2, 1, 7]
    quantile = [5, 3, 4, 5, 2, 1][seed]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = quantiles(factor, returns, periods, seed % 2 == 0, quantile=quantile, weights=weights)
    with np.errstate(invalid="ignore", divide="ignore"):
        expected = ref.quantile_analysis(factor, returns, periods, seed % 2 == 0, quantile, weights=weights)
    for key in TABLES:
        pd.testing.assert_frame_equal(getattr(result, key), expected[key], check_exact=False, rtol=1e-9,
                                      atol=1e-12, obj=key)
    # the members counted without weight: labelled cells whose factor-date weight is not positive
    labelled = result.quantile_detail.notna().to_numpy()
    lagged = weights.shift(1).to_numpy()
    assert result.weighting == {"weights": "table", "members": int(labelled.sum()),
                                "without_weight": int((labelled & ~(lagged > 0)).sum())}
    assert result.weighting["without_weight"] > 0
    holding = result.summary()["holding"]["holding"]
    assert holding["members without a positive weight (left out of the return)"] == result.weighting["without_weight"]


def test_cap_weights_by_hand_on_two_stocks():
    # Two stocks in one group; caps 3 and 1 on the factor dates. A gains 10 % on rows 1 and 2,
    # B nothing, then loses 10 %.
    dates = DATES[:3]
    factor = pd.DataFrame(1.0, index=dates, columns=["A", "B"])
    returns = pd.DataFrame({"A": [0.0, 0.10, 0.10], "B": [0.0, 0.0, -0.10]}, index=dates)
    caps = pd.DataFrame({"A": [3.0, 3.0, 5.0], "B": [1.0, 1.0, 5.0]}, index=dates)
    result = quantiles(factor, returns, [1, 2], quantile=1, weights=caps)
    got = daily(result.quantile_returns.loc["q1"])
    # period 1: re-formed every row from the previous date's caps
    assert got["P_1"].tolist() == pytest.approx([0.0, (3 * 1.10 + 1.0) / 4 - 1, (3 * 1.10 + 0.90) / 4 - 1])
    # period 2: level 1 formed on row 1 and drifting on row 2, level 2 formed on row 2; averaged
    level1_row2 = (3 * 1.21 + 0.90) / (3 * 1.10 + 1.0) - 1
    level2_row2 = (3 * 1.10 + 0.90) / 4 - 1
    assert got["P_2"].tolist() == pytest.approx([0.0, 0.075, (level1_row2 + level2_row2) / 2])
    # equal weights would give 5 % and 0 % on the rows of period 1
    equal = daily(quantiles(factor, returns, [1], quantile=1).quantile_returns.loc["q1"])["P_1"]
    assert equal.tolist() == pytest.approx([0.0, 0.05, 0.0])


def test_equal_weights_as_a_table_give_the_default_bits():
    factor, returns = ref.random_case(3, 30, 11)
    ones = pd.DataFrame(1.0, index=factor.index, columns=factor.columns)
    default = quantiles(factor, returns, [1, 4], quantile=4)
    as_table = quantiles(factor, returns, [1, 4], quantile=4, weights=ones)
    for key in TABLES:
        pd.testing.assert_frame_equal(getattr(as_table, key), getattr(default, key), check_exact=True)
    assert default.weighting is None and "holding" not in default.summary()
    assert as_table.weighting["without_weight"] == 0


def test_cap_weights_read_the_store(small_store):
    import tidewell
    ids = sorted(tidewell.all_instruments(type="CS")["order_book_id"])[:12]
    dates = pd.DatetimeIndex(tidewell.get_trading_dates("2023-03-01", "2023-05-31"), name="datetime")
    factor = tidewell.get_signal(ids, dates[0], dates[-1])
    rng = np.random.default_rng(0)
    returns = pd.DataFrame(rng.normal(0, 0.02, factor.shape), index=factor.index, columns=factor.columns)
    caps = tidewell.get_factor(ids, "market_cap", dates[0], dates[-1])["market_cap"].unstack("order_book_id")
    caps = caps.reindex(index=factor.index, columns=factor.columns)
    assert caps.notna().to_numpy().mean() > 0.9
    by_cap = quantiles(factor, returns, [1, 5], quantile=3, weights="cap")
    by_table = quantiles(factor, returns, [1, 5], quantile=3, weights=caps)
    equal = quantiles(factor, returns, [1, 5], quantile=3)
    for key in TABLES:
        pd.testing.assert_frame_equal(getattr(by_cap, key), getattr(by_table, key), check_exact=True)
    assert by_cap.weighting["weights"] == "cap"
    assert not np.allclose(by_cap.quantile_returns.to_numpy(), equal.quantile_returns.to_numpy())
    # the headline says how the groups were held, next to the figures
    assert by_cap.headline().columns[0] == "cap-weighted top-bottom annual return"
    assert by_table.headline().columns[0] == "user-weighted top-bottom annual return"
    assert equal.headline().columns[0] == "top-bottom annual return"
    # and the leaderboard shows the weighted spread under the same label, with its values
    board = leaderboard({"cap": {"quantile": by_cap}, "equal": {"quantile": equal}})
    for period in ("P_1", "P_5"):
        column = "cap-weighted top-bottom annual return " + period
        assert board.loc["cap", column] == by_cap.headline().loc[period, column[:-len(period) - 1]]
        assert np.isnan(board.loc["equal", column])
        assert board.loc["equal", "top-bottom annual return " + period] == equal.headline().loc[
            period, "top-bottom annual return"]


def test_cap_weights_without_market_caps_in_the_store_say_what_to_do(plug_market):
    class NoCaps:
        def get_trading_dates(self, start, end):
            return list(DATES)

        def get_previous_trading_date(self, date, n=1):
            raise ValueError("before the calendar")

        def get_factor(self, ids, factor, start, end):
            raise ValueError("factor: unknown field {!r}, expect some of ['size']".format(factor))

    plug_market(NoCaps())
    factor = pd.DataFrame(np.arange(12.0).reshape(6, 2), index=DATES, columns=["A", "B"])
    with pytest.raises(ValueError, match=r"weights: 'cap' needs market caps.*offers none.*table of weights"):
        quantiles(factor, factor * 0.0, [1], quantile=2, weights="cap")


def test_bad_weights_are_refused_with_what_to_do():
    factor, returns = ref.random_case(1, 10, 4)
    good = random_weights(factor, 1)
    cases = [
        ("market", ValueError, r"weights: expect 'equal', 'cap' or a dates x instruments DataFrame.*'market'"),
        (good.to_numpy(), ValueError, r"weights: expect 'equal', 'cap'.*ndarray"),
        (good.iloc[1:], ValueError, r"weights: .*lacks 1 of its dates \(such as 2021-01-04.*reindex it to factor_data"),
        (good.drop(columns=factor.columns[0]), ValueError, r"lacks 1 of its instruments \(such as S000\)"),
        (good.mask(good > 1.5, -1.0), ValueError, r"weights: expect non-negative weights, got \d+ negative value"),
        (good.mask(good > 1.5, np.inf), ValueError, r"weights: expect finite weights"),
        (good.astype(object).mask(good > 1.5, "big"), TypeError, r"weights: expect numeric values"),
        # numbers as text are not taken for numbers
        (good.astype(str), TypeError, r"weights: expect numeric values, got text in 4 column"),
        # weights that leave every group empty
        (good * 0.0, ValueError, r"weights: expect some positive weights, got none"),
        (good * np.nan, ValueError, r"weights: expect some positive weights, got none"),
        (pd.concat([good, good.iloc[:1]]), ValueError, r"weights: expect unique dates"),
    ]
    for weights, error, message in cases:
        with pytest.raises(error, match=message):
            quantiles(factor, returns, [1], weights=weights)
    # a table covering more dates and instruments than the factor is cut to it
    wider = good.reindex(columns=list(good.columns) + ["EXTRA"], fill_value=1.0)
    wider = pd.concat([wider, wider.iloc[-1:].set_axis([good.index[-1] + pd.Timedelta(days=1)])])
    assert quantiles(factor, returns, [1], weights=wider) == quantiles(factor, returns, [1], weights=good)


# ----------------------------------------------------------------------------- quantile costs

def toy_groups():
    """Four stocks, two groups, three dates: q1 = {A, B}, q2 = {C, D} formed on row 1; on row 2
    C and B swap groups (turnover 1/2 in both)."""
    dates = DATES[:3]
    factor = pd.DataFrame({"A": [4.0, 4.0, 0.0], "B": [3.0, 1.0, 0.0], "C": [2.0, 3.0, 0.0], "D": [1.0, 2.0, 0.0]},
                          index=dates)
    returns = pd.DataFrame({"A": [0.0, 0.02, 0.01], "B": [0.0, 0.04, -0.03], "C": [0.0, -0.01, 0.05],
                            "D": [0.0, 0.01, 0.01]}, index=dates)
    return factor, returns


def test_quantile_costs_by_hand():
    factor, returns = toy_groups()
    result = quantiles(factor, returns, [1, 2], quantile=2, cost_bps=10)
    c = 10 / 1e4
    q1 = [0.0, (0.02 + 0.04) / 2, (0.01 + 0.05) / 2]          # {A, B}, then {A, C}
    q2 = [0.0, (-0.01 + 0.01) / 2, (-0.03 + 0.01) / 2]        # {C, D}, then {B, D}
    def group(table, tag):
        return daily(table["P_1"].loc[tag]).tolist()

    assert group(result.quantile_returns, "q1") == pytest.approx(q1)
    assert group(result.quantile_returns, "q2") == pytest.approx(q2)
    # row 1 forms the groups (nothing charged); row 2 trades half of each group
    assert group(result.quantile_net_returns, "q1") == pytest.approx([0.0, q1[1], q1[2] - c * 0.5])
    assert group(result.quantile_net_returns, "q2") == pytest.approx([0.0, q2[1], q2[2] - c * 0.5])
    spread = daily(result.top_minus_bottom_net_returns)["P_1"]
    assert spread.tolist() == pytest.approx([0.0, q1[1] - q2[1], q1[2] - q2[2] - c * (0.5 + 0.5)])
    # period 2: both levels form their groups for the first time on rows 1 and 2: no cost
    pd.testing.assert_series_equal(result.quantile_net_returns["P_2"], result.quantile_returns["P_2"])
    # the documented table still reads 0 on the warm-up rows; what is derived from it skips them
    turnover = result.quantile_turnover["P_1"]
    assert turnover.loc["q1"].tolist()[1:] == [0.0, 0.5]
    kept = result.turnover_without_warmup()["P_1"].loc["q1"]
    assert np.isnan(kept.iloc[1]) and kept.iloc[2] == 0.5
    assert result.summary()["quantile_returns"].loc[("P_1", "q1"), "mean_turnover"] == 0.5


def test_no_cost_changes_nothing_and_a_cost_leaves_the_gross_tables_alone():
    factor, returns = ref.random_case(5, 30, 12)
    default = quantiles(factor, returns, [1, 3], quantile=3)
    assert quantiles(factor, returns, [1, 3], quantile=3, cost_bps=0) == default
    charged = quantiles(factor, returns, [1, 3], quantile=3, cost_bps=25)
    for key in TABLES:
        pd.testing.assert_frame_equal(getattr(charged, key), getattr(default, key), check_exact=True)
    assert default.quantile_net_returns is None and default.top_minus_bottom_net_returns is None
    assert (charged.top_minus_bottom_net_returns.iloc[-1] < charged.top_minus_bottom_returns.iloc[-1]).all()
    assert set(default.summary()) == {"quantile_returns", "monotonicity", "top_minus_bottom"}
    f_default = factor_return(factor, returns, [1, 3])
    assert factor_return(factor, returns, [1, 3], cost_bps=0) == f_default
    assert f_default.factor_net_returns is None and f_default.factor_turnover is None
    for bad in (-1, float("nan"), "10", True):
        with pytest.raises(ValueError, match="cost_bps: expect a non-negative number of basis points"):
            QuantileReturnAnalysis(cost_bps=bad)
        with pytest.raises(ValueError, match="cost_bps: expect a non-negative number of basis points"):
            FactorReturnAnalysis(cost_bps=bad)


def test_warm_up_rows_are_the_first_formation_of_every_level():
    # Every group holds members from row 1 on: period 3's levels form on rows 1, 2 and 3.
    rng = np.random.default_rng(4)
    dates = pd.date_range("2024-01-01", periods=10, freq="B")
    factor = pd.DataFrame(rng.normal(size=(10, 6)), index=dates, columns=list("ABCDEF"))
    returns = pd.DataFrame(rng.normal(0, 0.01, (10, 6)), index=dates, columns=list("ABCDEF"))
    result = quantiles(factor, returns, [1, 3], quantile=2)
    table, derived = result.quantile_turnover, result.turnover_without_warmup()
    for period, warm in (("P_1", [1]), ("P_3", [1, 2, 3])):
        for group in ("q1", "q2"):
            raw, kept = table[period].loc[group], derived[period].loc[group]
            assert (raw.iloc[warm] == 0).all()
            assert kept.iloc[[0] + warm].isna().all()
            pd.testing.assert_series_equal(kept.iloc[warm[-1] + 1:], raw.iloc[warm[-1] + 1:])
    summary = result.summary()["quantile_returns"]["mean_turnover"]
    assert summary[("P_3", "q1")] == pytest.approx(table["P_3"].loc["q1"].iloc[4:].mean())


# ----------------------------------------------------------------------------- factor-return costs

def test_factor_return_costs_by_hand():
    # Weights from the factor rows: [-1/2, 0, 1/2], then reversed, then back: each rebalance
    # trades 2 (sum of absolute weight changes).
    dates = DATES[:5]
    factor = pd.DataFrame([[1.0, 2.0, 3.0], [3.0, 2.0, 1.0], [1.0, 2.0, 3.0], [3.0, 2.0, 1.0], [1.0, 2.0, 3.0]],
                          index=dates, columns=["A", "B", "C"])
    r = np.array([[0.0, 0.0, 0.0], [0.01, 0.02, 0.03], [0.02, -0.01, 0.0], [0.0, 0.01, -0.02], [0.03, 0.0, 0.01]])
    returns = pd.DataFrame(r, index=dates, columns=factor.columns)
    w = {1: [-0.5, 0, 0.5], 2: [0.5, 0, -0.5], 3: [-0.5, 0, 0.5], 4: [0.5, 0, -0.5]}
    c = 20 / 1e4
    result = factor_return(factor, returns, [1, 2], cost_bps=20)
    gross = daily(result.factor_returns)["P_1"].to_numpy()
    assert gross.tolist() == pytest.approx([0.0] + [float(np.dot(w[t], r[t])) for t in range(1, 5)])
    turnover = result.factor_turnover
    assert turnover["P_1"].iloc[:2].isna().all() and turnover["P_1"].iloc[2:].tolist() == pytest.approx([2, 2, 2])
    # period 2: a level trades w[t] - w[t - 2] = 0 on its second rebalance, shared by two levels
    assert turnover["P_2"].iloc[:3].isna().all() and turnover["P_2"].iloc[3:].tolist() == pytest.approx([0, 0])
    net = daily(result.factor_net_returns)
    assert net["P_1"].tolist() == pytest.approx([0.0, gross[1], gross[2] - 2 * c, gross[3] - 2 * c, gross[4] - 2 * c])
    pd.testing.assert_series_equal(net["P_2"], daily(result.factor_returns)["P_2"])
    # the sort direction flips the weights, not what is traded
    ascending = factor_return(factor, returns, [1, 2], ascending=True, cost_bps=20)
    pd.testing.assert_frame_equal(ascending.factor_turnover, turnover)


# ----------------------------------------------------------------------------- what the records show

def test_records_show_gross_and_net_side_by_side_and_the_leaderboard_asks_for_net():
    factor, returns = ref.random_case(2, 40, 10)
    charged = {"quantile": quantiles(factor, returns, [1, 5], quantile=3, cost_bps=10),
               "factor_return": factor_return(factor, returns, [1, 5], cost_bps=10)}
    plain = {"quantile": quantiles(factor, returns, [1, 5], quantile=3),
             "factor_return": factor_return(factor, returns, [1, 5])}
    glance = glance_table(charged)
    assert list(glance.columns) == [
        "top-bottom annual return", "top-bottom annual return (net of 10 bps)", "top-bottom Sharpe",
        "top-bottom Sharpe (net of 10 bps)", "groups q1 to last", "factor annual return",
        "factor annual return (net of 10 bps)", "factor Sharpe", "factor Sharpe (net of 10 bps)"]
    spread = charged["quantile"].summary()["top_minus_bottom"]
    assert (spread["annual_return_net"] < spread["annual_return"]).all()
    assert glance["top-bottom annual return (net of 10 bps)"].tolist() == spread["annual_return_net"].tolist()
    board = leaderboard({"charged": charged, "plain": plain})
    net_columns = [c for c in board.columns if "net of" in c]
    assert net_columns == ["top-bottom annual return (net of 10 bps) P_1", "top-bottom annual return (net of 10 bps) P_5",
                           "factor Sharpe (net of 10 bps) P_1", "factor Sharpe (net of 10 bps) P_5"]
    assert board.loc["charged", net_columns].notna().all() and board.loc["plain", net_columns].isna().all()
    assert not any("net of" in c for c in leaderboard({"plain": plain}).columns)
    text = charged["quantile"].to_text() + charged["factor_return"].to_text()
    assert "net of 10 bps per unit of one-way turnover" in text and "annual_return_net" in text
    assert "the first formation is not charged" in text
    assert set(charged["quantile"].plot()) == {"quantile_returns", "top_minus_bottom", "top_minus_bottom_net",
                                               "turnover"}
    from sigmora.report import render_report
    html = render_report(charged)
    assert "top-bottom Sharpe (net of 10 bps)" in html and "How the groups were held" in html


def test_saved_records_keep_their_cost_and_weighting(tmp_path):
    from sigmora import load_results
    factor, returns = ref.random_case(6, 20, 8)
    record = quantiles(factor, returns, [1, 2], quantile=2, cost_bps=5, weights=random_weights(factor, 6))
    f_record = factor_return(factor, returns, [1, 2], cost_bps=5)
    back = load_results(record.save(str(tmp_path / "q")))
    f_back = load_results(f_record.save(str(tmp_path / "f")))
    assert back == record and back.cost_bps == 5 and back.weighting == record.weighting
    assert f_back == f_record and f_back.cost_bps == 5
    assert back.headline().columns.tolist() == record.headline().columns.tolist()
