"""Several factors at once: overlap, incremental information and a combination that never
looks ahead."""

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from sigmora.analysis.combination import combine, ic_correlation, incremental_ic, value_correlation

DATES = pd.bdate_range("2022-01-03", periods=120)
IDS = ["S{:02d}".format(i) for i in range(30)]


@pytest.fixture
def market():
    rng = np.random.default_rng(21)
    signal = rng.normal(size=(120, 30))
    returns = pd.DataFrame(0.01 * np.roll(signal, 1, axis=0) + rng.normal(0, 0.02, size=(120, 30)),
                           index=DATES, columns=IDS)
    good = pd.DataFrame(signal + rng.normal(0, 0.5, size=(120, 30)), index=DATES, columns=IDS)
    copy = good * 2 + 1
    noise = pd.DataFrame(rng.normal(size=(120, 30)), index=DATES, columns=IDS)
    noise.iloc[::7, ::3] = np.nan
    return returns, {"good": good, "copy": copy, "noise": noise}


def test_value_correlation_is_the_mean_per_date_spearman(market):
    _, factors = market
    table = value_correlation(factors)
    assert table.loc["good", "copy"] == pytest.approx(1.0) and table.loc["copy", "good"] == table.loc["good", "copy"]
    want = []
    for t in range(120):
        a, b = factors["good"].iloc[t].to_numpy(), factors["noise"].iloc[t].to_numpy()
        ok = ~(np.isnan(a) | np.isnan(b))
        want.append(stats.spearmanr(a[ok], b[ok])[0])
    assert table.loc["good", "noise"] == pytest.approx(np.mean(want), abs=1e-12)
    assert (np.diag(table) == 1).all()


def test_ic_correlation_of_ic_tables():
    rng = np.random.default_rng(2)
    a = pd.DataFrame({"P_1": rng.normal(size=50)}, index=DATES[:50])
    b = pd.DataFrame({"P_1": a["P_1"] * -1}, index=DATES[:50])
    assert ic_correlation({"a": a, "b": b}).loc["a", "b"] == pytest.approx(-1.0)
    with pytest.raises(ValueError, match=r"ic_by_factor\['a'\]: no IC of period P_5"):
        ic_correlation({"a": a}, period="P_5")


def test_incremental_ic_of_a_copy_is_nothing_and_of_a_new_signal_is_its_ic(market):
    returns, factors = market
    again = incremental_ic(factors["copy"], [factors["good"]], returns)
    assert again["factor"].ic["P_1"].mean() > 0.1
    # The residual of an exact multiple (plus a constant the regression has no column for) is
    # no longer correlated with what the first factor already explained.
    assert abs(again["incremental"].ic["P_1"].mean()) < 0.5 * again["factor"].ic["P_1"].mean()
    fresh = incremental_ic(factors["good"], [factors["noise"]], returns)
    assert fresh["incremental"].ic["P_1"].mean() == pytest.approx(fresh["factor"].ic["P_1"].mean(), abs=0.03)
    with pytest.raises(ValueError, match="existing: expect a non-empty list"):
        incremental_ic(factors["good"], factors["noise"], returns)


@pytest.mark.parametrize("method", ["equal", "ic", "icir"])
def test_combined_factor_never_uses_a_future_ic(market, method):
    returns, factors = market
    combined = combine(factors, returns, method=method, lookback=20, period=1)
    cut = 70
    changed = returns.copy()
    changed.iloc[cut:] = np.random.default_rng(99).normal(0, 0.05, size=changed.iloc[cut:].shape)
    again = combine(factors, changed, method=method, lookback=20, period=1)
    # Weights on date d use ICs of rows t with t + 1 < d: returns from row `cut` on can only
    # reach the combination from row cut + 1 on.
    pd.testing.assert_frame_equal(combined.iloc[:cut + 1], again.iloc[:cut + 1])
    if method != "equal":
        assert combined.iloc[:11].isna().all().all()           # too little history
        assert not combined.iloc[cut + 2:].equals(again.iloc[cut + 2:])
    assert combined.iloc[-1].notna().all()


def test_combine_weights_the_informative_factor():
    rng = np.random.default_rng(5)
    signal = rng.normal(size=(120, 30))
    returns = pd.DataFrame(0.02 * np.roll(signal, 1, axis=0) + rng.normal(0, 0.01, size=(120, 30)),
                           index=DATES, columns=IDS)
    good = pd.DataFrame(signal, index=DATES, columns=IDS)
    noise = pd.DataFrame(rng.normal(size=(120, 30)), index=DATES, columns=IDS)
    combined = combine({"good": good, "noise": noise}, returns, method="ic", lookback=30)
    rows = slice(40, None)
    corr_good = combined.iloc[rows].corrwith(good.iloc[rows], axis=1).mean()
    corr_noise = combined.iloc[rows].corrwith(noise.iloc[rows], axis=1).mean()
    assert corr_good > 0.9 and abs(corr_noise) < 0.3
    with pytest.raises(ValueError, match="method: expect one of"):
        combine({"good": good}, returns, method="best")
    with pytest.raises(ValueError, match="lookback: expect a positive integer"):
        combine({"good": good}, returns, lookback=0)
