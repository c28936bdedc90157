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


def literal_value_correlation(factors, pandas_corr=False):
    """Per date and pair: the instruments both factors have, ranked among themselves
    (DataFrame.rank, ties averaged) and correlated; then the mean over the dates where the
    correlation exists. With `pandas_corr`, DataFrame.corr(method="spearman") per date
    instead, which does the same but reads infinities as missing."""
    names = list(factors)
    per_date = []
    for date in factors[names[0]].index:
        rows = pd.DataFrame({k: t.loc[date] for k, t in factors.items()})
        if pandas_corr:
            per_date.append(rows.corr(method="spearman", min_periods=2).to_numpy())
            continue
        r = np.full((len(names), len(names)), np.nan)
        for i, a in enumerate(names):
            for j, b in enumerate(names[i + 1:], i + 1):
                common = rows[[a, b]].dropna()
                if len(common) >= 2:
                    r[i, j] = r[j, i] = common.rank().corr().iloc[0, 1]
        per_date.append(r)
    per_date = np.stack(per_date)
    count = np.isfinite(per_date).sum(axis=0)
    out = np.where(count > 0, np.nansum(per_date, axis=0) / np.maximum(count, 1), np.nan)
    np.fill_diagonal(out, 1.0)
    return pd.DataFrame(out, index=names, columns=names)


def overlap_case(seed, n_dates=25, n_ids=18):
    """Factors with every kind of date a pair can meet: masks shared by a group and masks of
    their own, ties, constant rows, too few common instruments, empty rows, infinities (ranked
    last / first, as scipy's spearmanr ranks them)."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-03-01", periods=n_dates)
    shared = rng.random((n_dates, n_ids)) < 0.2
    base = rng.normal(size=(n_dates, n_ids))
    tables = {}
    for k in range(7):
        x = 0.5 * base + rng.normal(size=(n_dates, n_ids))
        if k in (2, 5):
            x = np.round(x)                                      # ties
        x[shared if k < 4 else rng.random(x.shape) < 0.25] = np.nan
        tables["f{}".format(k)] = x
    tables["f1"][3] = 7.0                                        # a constant row
    tables["f4"][6, 2:] = np.nan                                 # two values left
    tables["f5"][8] = np.nan                                     # nothing on a date
    tables["f6"][10, :3] = [np.inf, -np.inf, np.inf]
    with np.errstate(invalid="ignore"):
        tables["f3"] = np.where(np.isnan(tables["f3"]), np.nan, -tables["f0"])  # mirror of f0, same mask
    return {k: pd.DataFrame(v, index=dates, columns=["S{}".format(j) for j in range(n_ids)])
            for k, v in tables.items()}


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_value_correlation_equals_the_literal_pandas_computation(seed):
    factors = overlap_case(seed)
    got = value_correlation(factors)
    want = literal_value_correlation(factors)
    finite = [k for k in factors if k != "f6"]
    np.testing.assert_allclose(want.loc[finite, finite].to_numpy(),
                               literal_value_correlation({k: factors[k] for k in finite}, pandas_corr=True).to_numpy(),
                               rtol=0, atol=1e-12)
    assert list(got.index) == list(factors) and list(got.columns) == list(factors)
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=0, atol=1e-12)
    assert got.loc["f0", "f3"] == pytest.approx(-1.0, abs=1e-15)
    np.testing.assert_array_equal(got.to_numpy(), got.to_numpy().T)


def grouped_case(seed, n_dates=30, n_ids=16):
    """Factors in mask groups that share most of their missing values but not all (warm-up
    rows, a few instruments of their own), members interleaved: a group of one among them, a
    group that misses everything on some dates, dates on which two groups have fewer than two
    instruments in common, ties, a constant row, a date with no value at all."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-03-01", periods=n_dates)
    market = rng.random((n_dates, n_ids)) < 0.15                # suspensions: every group
    own = [market | (rng.random((n_dates, n_ids)) < 0.08) for _ in range(4)]
    own[1][:6] = True                                            # warm-up rows of group 1
    own[2][9] = True                                             # group 2 misses a whole date
    own[0][12, 2:] = True                                        # group 0: two instruments left...
    own[3][12, :3] = True                                        # ...of which group 3 has none
    own[3][14, 1:] = True                                        # group 3: one instrument left
    own[0][20] = own[1][20] = own[2][20] = own[3][20] = True     # nothing on a date
    base = rng.normal(size=(n_dates, n_ids))
    group_of = [0, 1, 2, 0, 1, 3, 0, 1, 2, 1]                    # group 3 holds one factor
    tables = {}
    for k, g in enumerate(group_of):
        x = 0.6 * base + rng.normal(size=(n_dates, n_ids))
        if k in (1, 8):
            x = np.round(x)                                      # ties
        if k == 3:
            x[16] = 2.5                                          # a constant row
        x[own[g]] = np.nan
        tables["g{}f{}".format(g, k)] = pd.DataFrame(x, index=dates, columns=["S{}".format(j) for j in range(n_ids)])
    return tables


@pytest.mark.parametrize("seed", [0, 1])
def test_value_correlation_of_partly_shared_masks(seed):
    """Pairs across two mask groups are ranked on the groups' common instruments and come from one
    product per pair of groups: the pandas result, and for every pair the bits of the pair alone
    (where it is one walk, or the product of a single shared mask)."""
    from sigmora import _core

    factors = grouped_case(seed)
    got = value_correlation(factors)
    names = list(factors)
    want = literal_value_correlation(factors, pandas_corr=True)
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(want.to_numpy(), literal_value_correlation(factors).to_numpy(), rtol=0, atol=1e-12)
    mean, dates = _core.mean_rank_correlation([factors[k].to_numpy() for k in names])
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            alone, alone_dates = _core.mean_rank_correlation([factors[names[i]].to_numpy(),
                                                              factors[names[j]].to_numpy()])
            assert mean[i, j] == alone[0, 1] and dates[i, j] == alone_dates[0, 1], (names[i], names[j])
    # The dates a pair counts: those with a pandas correlation.
    counted = sum(np.isfinite(pd.DataFrame({k: t.loc[d] for k, t in factors.items()}).corr(
        method="spearman", min_periods=2).to_numpy()) for d in factors[names[0]].index)
    off = ~np.eye(len(names), dtype=bool)
    np.testing.assert_array_equal(dates[off], counted[off])
    # The constant row of g0f3 leaves date 16 out of its pairs only; a group of one that
    # meets group 0 on two instruments (date 12) and has one left (date 14) counts neither.
    g0f0, g0f3, g0f6, g3 = (names.index(k) for k in ("g0f0", "g0f3", "g0f6", "g3f5"))
    assert dates[g0f0, g0f3] == dates[g0f0, g0f6] - 1
    assert dates[g3, g0f0] <= len(factors[names[0]]) - 3 and dates[g3, g0f0] > 0
    # A table with a date the others lack and its instruments in another order is read on the
    # labels all share: the same bits.
    moved = dict(factors)
    table = factors[names[1]]
    extra = pd.DataFrame(1.0, index=[table.index[-1] + pd.offsets.BDay(3)], columns=table.columns)
    moved[names[1]] = pd.concat([table, extra])[table.columns[::-1]]
    np.testing.assert_array_equal(value_correlation(moved).to_numpy(), got.to_numpy())
    # Nothing present anywhere: no pair, no diagonal date (NaN, as pandas' corr of empty columns).
    empty = {k: t * np.nan for k, t in list(factors.items())[:3]}
    table = value_correlation(empty)
    assert np.isnan(table.to_numpy()).all()


def test_value_correlation_of_one_factor_and_of_factors_that_never_meet():
    dates = pd.bdate_range("2021-03-01", periods=4)
    a = pd.DataFrame([[1.0, 2.0, np.nan, np.nan]] * 4, index=dates, columns=list("wxyz"))
    b = pd.DataFrame([[np.nan, np.nan, 1.0, 2.0]] * 4, index=dates, columns=list("wxyz"))
    assert value_correlation({"a": a}).to_numpy().tolist() == [[1.0]]
    table = value_correlation({"a": a, "b": b})
    assert np.isnan(table.loc["a", "b"]) and table.loc["a", "a"] == 1.0
    # a factor with no values, or a single value or one value everywhere on every date, is
    # correlated with nothing, itself included
    empty, single, flat = a * np.nan, a.where(a.columns.to_series() == "w"), a * 0.0 + 3.0
    table = value_correlation({"a": a, "empty": empty, "single": single, "flat": flat})
    assert table.loc["a", "a"] == 1.0
    for name in ("empty", "single", "flat"):
        assert table.loc[name].isna().all() and table[name].isna().all()


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
    with pytest.raises(TypeError, match=r"returns: expect a dates x instruments DataFrame .*got 'daily'"):
        combine({"good": good}, "daily")
