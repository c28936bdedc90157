import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st
from scipy import stats

import sigmora
from sigmora import _core
from sigmora.analysis import varodyne
from sigmora.analysis.varodyne import FactorVarodyne, ICAnalysis
from sigmora.analysis._ic import _ICPanel, _get_ic_func, _p_values
from tests import reference_ic as ref

TABLES = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute")


def random_tables(seed, n_dates=25, n_ids=10, nan=0.2, levels=5, inf=False, decimals=3):
    """A return table and a factor table with ties, holes, an extra factor instrument,
    fewer factor dates than return dates, and a few rows of every awkward kind."""
    rng = np.random.default_rng(seed)
    dates = pd.date_range("2024-01-01", periods=n_dates, freq="B")
    ids = ["S{:02d}".format(i) for i in range(n_ids)]
    returns = pd.DataFrame(rng.normal(0, 0.02, (n_dates, n_ids)).round(decimals), index=dates, columns=ids)
    returns = returns.mask(rng.random(returns.shape) < nan)
    factor = pd.DataFrame(rng.integers(0, levels, (n_dates, n_ids + 1)).astype(float), index=dates,
                          columns=ids + ["ZZ"])
    factor = factor.mask(rng.random(factor.shape) < nan)
    if n_dates > 6:
        factor.iloc[1] = 3.0                     # constant factor on one date
        factor.iloc[2] = [1.0] + [np.nan] * n_ids           # a single instrument left
        factor.iloc[3] = [1.0, 2.0] + [np.nan] * (n_ids - 1)  # two instruments left
        factor.iloc[4] = np.nan                  # nothing left
        factor = factor.drop(dates[5])           # a return date without factor
    if inf:
        factor.iloc[-1, :2] = [np.inf, -np.inf]
        returns.iloc[n_dates // 2, 0] = np.inf   # growth turns inf, then NaN (inf * 0)
        returns.iloc[n_dates // 2 + 1, 0] = -1.0
        returns.iloc[n_dates // 3, 1] = -1.0     # a price going to zero
    return factor, returns


def assert_tables_equal(result, expected, names=TABLES):
    for name in names:
        got, want = getattr(result, name), expected[name]
        if want is None:
            assert got is None, name
        else:
            pd.testing.assert_frame_equal(got, want, rtol=1e-12, atol=1e-14, obj=name)


def run(step, factor, returns, periods, ascending=True):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", stats.ConstantInputWarning)
        return step.analysis(factor, returns, periods, ascending=ascending)


# ----------------------------------------------------------------------------- kernels

@pytest.mark.parametrize("rank", [True, False])
@pytest.mark.parametrize("ties", [True, False])
def test_row_correlations_match_scipy(rank, ties):
    factor, returns = random_tables(7, n_dates=40, n_ids=30, inf=True, levels=5 if ties else 2**40,
                                    decimals=3 if ties else 12)
    f = factor.reindex(columns=returns.columns).reindex(returns.index).to_numpy()
    r = returns.to_numpy()
    got_r, got_n, got_constant = _core.ic_by_row(np.ascontiguousarray(f), [np.ascontiguousarray(r)], rank)
    got_p = _p_values(got_r, got_n, rank)
    routine = stats.spearmanr if rank else stats.pearsonr
    for t in range(len(f)):
        m = ~(np.isnan(f[t]) | np.isnan(r[t]))
        assert got_n[t, 0] == m.sum()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                want_r, want_p = routine(f[t][m], r[t][m])
            except ValueError:  # pearsonr with fewer than two pairs
                want_r = want_p = np.nan
        assert bool(got_constant[t, 0]) == any(issubclass(w.category, stats.ConstantInputWarning)
                                               for w in caught)
        np.testing.assert_allclose(got_r[t, 0], want_r, rtol=1e-12, atol=1e-14, err_msg="row {}".format(t))
        np.testing.assert_allclose(got_p[t, 0], want_p, rtol=1e-12, atol=1e-14, err_msg="row {}".format(t))
        if rank:
            # Rank sums are exact integers, so numpy's corrcoef and the kernel agree bit for bit.
            assert np.array_equal(got_r[t, 0], want_r, equal_nan=True)


@pytest.mark.parametrize("case", ["ties, holes on both sides", "no ties, holes on both sides", "dense",
                                  "dense returns, holes in the factor", "heavy ties"])
def test_rank_decay_matches_scipy_bit_for_bit(case):
    # Rows and return rows are ranked once; a pair whose common instruments are fewer than
    # a side's own has that side's ranks narrowed to them. Every cell must still be exactly
    # spearmanr over the pair's complete instruments, whichever side lost which values.
    rng = np.random.default_rng(11)
    T, N, max_decay = 30, 40, 12  # two windows of factor rows per return row
    levels = {"no ties, holes on both sides": None, "heavy ties": 3}.get(case, 6)

    def values():
        if levels is None:
            return rng.normal(size=(T, N))
        return rng.integers(0, levels, (T, N)).astype(float)

    f, rets = values(), [values() for _ in range(3)]
    if case != "dense":
        f[rng.random(f.shape) < 0.15] = np.nan
        f[2, :3] = [np.inf, -np.inf, -0.0]
    if case not in ("dense", "dense returns, holes in the factor"):
        for r in rets:
            r[rng.random(r.shape) < 0.1] = np.nan
    f[5] = np.nan          # a factor row with nothing
    rets[1][7, :] = 2.0    # a constant return row
    complete = ~np.any([np.isnan(r) for r in rets], axis=0)
    rows, (r, n, constant) = _core.ic_by_row_with_decay(f, rets, max_decay, True)
    assert r.shape == (max_decay - 1, T, 3)
    assert np.array_equal(rows[0], _core.ic_by_row(f, rets, True)[0], equal_nan=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", stats.ConstantInputWarning)
        for d in range(1, max_decay):
            for t in range(T):
                if t + d >= T:
                    assert n[d - 1, t] == 0 and np.isnan(r[d - 1, t]).all()
                    continue
                m = complete[t + d] & ~np.isnan(f[t])
                assert n[d - 1, t] == m.sum()
                for k, ret in enumerate(rets):
                    if m.sum() < 2:
                        assert np.isnan(r[d - 1, t, k])
                        continue
                    want = stats.spearmanr(ret[t + d][m], f[t][m])[0]
                    assert np.array_equal(r[d - 1, t, k], want, equal_nan=True), (d, t, k)
                    assert bool(constant[d - 1, t, k]) == (np.ptp(ret[t + d][m]) == 0 or np.ptp(f[t][m]) == 0)


@pytest.mark.parametrize("per_date", [True, False])
def test_rank_ic_by_group_matches_scipy_bit_for_bit(per_date):
    # Each group's factor is ranked once over its own values and walked against each
    # period's order; cells where only the factor has a value narrow its ranks.
    rng = np.random.default_rng(5)
    T, N, n_groups = 20, 30, 5
    f = rng.integers(0, 7, (T, N)).astype(float)
    f[rng.random(f.shape) < 0.2] = np.nan
    rets = [rng.integers(0, 9, (T, N)).astype(float), rng.normal(size=(T, N))]
    rets[1][rng.random((T, N)) < 0.1] = np.nan
    codes = rng.integers(-1, n_groups - 1, (T, N) if per_date else (1, N))  # the last group stays empty
    r, n, constant = _core.ic_by_group(f, rets, codes.astype(np.int32), n_groups, True)
    for got, want in zip((r, n, constant), _core.ic_by_group(f, rets, codes.astype(np.int64), n_groups, True)):
        assert np.array_equal(got, want, equal_nan=True)
    full = np.broadcast_to(codes, (T, N))
    for g in range(n_groups):
        for k, ret in enumerate(rets):
            m = (full == g) & ~np.isnan(f) & ~np.isnan(ret)
            assert n[g, k] == m.sum()
            if m.sum() < 2:
                assert np.isnan(r[g, k]) and not constant[g, k]
                continue
            assert np.array_equal(r[g, k], stats.spearmanr(ret[m], f[m])[0]), (g, k)


def test_kernels_do_not_depend_on_thread_count():
    rng = np.random.default_rng(3)
    f = rng.integers(0, 20, (64, 300)).astype(float)
    f[rng.random(f.shape) < 0.1] = np.nan
    rets = [np.where(rng.random(f.shape) < 0.1, np.nan, rng.normal(size=f.shape)) for _ in range(3)]
    codes = rng.integers(-1, 6, f.shape).astype(np.int64)
    before = sigmora.get_num_threads()
    try:
        results = []
        for n in (1, 2, 3):
            sigmora.set_num_threads(n)
            results.append([_core.ic_by_row(f, rets, rank) + _core.ic_decay(f, rets, 7, rank)
                            + _core.ic_by_group(f, rets, codes, 6, rank) for rank in (True, False)])
            # The fused pass gives what the two separate kernels give.
            rows, decay = _core.ic_by_row_with_decay(f, rets, 7, True)
            results[-1].append(rows + decay)
            for a, b in zip(rows + decay, results[-1][0][:6]):
                assert np.array_equal(a, b, equal_nan=True)
    finally:
        sigmora.set_num_threads(before)
    for other in results[1:]:
        for a, b in zip(sum(results[0], ()), sum(other, ())):
            assert np.array_equal(a, b, equal_nan=True)


def test_kernels_reject_mismatched_shapes():
    f = np.zeros((3, 4))
    with pytest.raises(ValueError, match=r"returns\[1\]: expect shape \(3, 4\), got \(3, 5\)"):
        _core.ic_by_row(f, [f, np.zeros((3, 5))], True)
    with pytest.raises(ValueError, match="codes"):
        _core.ic_by_group(f, [f], np.zeros((2, 4), dtype=np.int64), 1, True)
    with pytest.raises(ValueError, match="group in"):
        _core.ic_by_group(f, [f], np.full((1, 4), 5, dtype=np.int64), 2, True)


# ----------------------------------------------------------------------------- the step

@pytest.mark.parametrize("rank_ic", [True, False])
@pytest.mark.parametrize("seed", [0, 1])
def test_analysis_matches_transcription(rank_ic, seed):
    factor, returns = random_tables(seed, inf=True)
    industry = {"S{:02d}".format(i): "ind{}".format(i % 3) for i in range(8)}  # S08, S09 -> Unknown
    if seed:
        industry = pd.Series(industry)
    periods = (1, 3, 10)
    step = ICAnalysis(rank_ic=rank_ic, industry_classification=industry, max_decay=5)
    result = run(step, factor, returns, periods)
    expected = ref.ic_analysis(factor, returns, periods, True, rank_ic, industry, 5)
    assert_tables_equal(result, expected)
    assert "Unknown" in result.ic_industry_distribute.index
    # The last p dates have no forward return over p rows.
    assert result.ic["P_10"].iloc[-10:].isna().all() and result.ic["P_10"].iloc[:-10].notna().any()


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**31), n_dates=st.integers(1, 8), n_ids=st.integers(1, 7),
       nan=st.sampled_from([0.0, 0.3, 0.7]), levels=st.sampled_from([1, 2, 50]), rank_ic=st.booleans())
def test_analysis_matches_transcription_on_small_tables(seed, n_dates, n_ids, nan, levels, rank_ic):
    factor, returns = random_tables(seed, n_dates, n_ids, nan, levels)
    step = ICAnalysis(rank_ic=rank_ic, industry_classification={"S00": "a", "S01": "b"}, max_decay=3)
    result = run(step, factor, returns, [1, 2])
    expected = ref.ic_analysis(factor, returns, [1, 2], True, rank_ic, step.industry, None)
    assert_tables_equal(result, expected, ("ic", "ic_p_value", "ic_industry_distribute"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected_decay = ref.calc_ic_decay(expected["df"], expected["ic"], 3, ref.get_ic_func(rank_ic))
    if "factor" in expected_decay:
        # A decay without any complete row makes the transcription's concatenation grow a
        # "factor" column of NaN; the table holds period columns only.
        assert expected_decay.pop("factor").isna().all()
    pd.testing.assert_frame_equal(result.ic_decay, expected_decay, rtol=1e-12, atol=1e-14)


def test_long_table_and_decay_from_it():
    factor, returns = random_tables(4)
    expected = ref.ic_analysis(factor, returns, [2, 1], False, True, {"S01": "x"}, 4)
    step = ICAnalysis(industry_classification={"S01": "x"}, max_decay=4)
    panel = step._panel(factor, returns, expected["ic"].index, [2, 1], False)
    pd.testing.assert_frame_equal(panel.to_frame(), expected["df"])
    df = expected["df"]
    pd.testing.assert_frame_equal(step._calc_ic_decay(df, expected["ic"]), expected["ic_decay"], rtol=1e-12)
    pd.testing.assert_frame_equal(step._calc_ic_industry_distribute(df), expected["ic_industry_distribute"],
                                  rtol=1e-12)
    pd.testing.assert_series_equal(step._get_industry_data(df),
                                   ref.get_industry_data(df, {"S01": "x"}, None))
    ic, p = step._calc_ic(panel.factor, panel.returns, ["P_1"])
    np.testing.assert_allclose(ic[:, 0], expected["ic"]["P_1"], rtol=1e-12)


def test_industry_from_source_goes_through_load_industry_data(monkeypatch):
    factor, returns = random_tables(5)
    calls = []

    def fake_load(order_book_ids, dates, source="citics_2019"):
        calls.append((list(order_book_ids), pd.DatetimeIndex(dates), source))
        # Industries change half way; S09 has no classification; the first three dates are unknown.
        names = pd.DataFrame([["b" if (j + (t > 12)) % 2 else "a" for j in range(len(order_book_ids))]
                              for t in range(len(dates))], index=dates, columns=order_book_ids)
        names["S09"] = np.nan
        names["QQ"] = "c"  # an instrument the analysis did not ask for
        names.iloc[:3] = np.nan
        return names.stack().dropna()

    monkeypatch.setattr(varodyne, "_load_industry_data", fake_load)
    step = ICAnalysis(industry_classification="sws")
    result = run(step, factor, returns, [1, 5])
    expected = ref.ic_analysis(factor, returns, [1, 5], True, True, "sws", None, load_industry_data=fake_load)
    assert_tables_equal(result, expected)
    ids, dates, source = calls[0]
    assert ids == list(returns.columns) and source == "sws" and dates.equals(result.ic.index)
    assert list(result.ic_industry_distribute.index) == ["a", "b"]


def test_industry_from_demo_store(small_store):
    import tidewell
    ids = list(tidewell.all_instruments()["order_book_id"][:20])
    returns = tidewell.get_price(ids, "2023-03-01", "2023-06-30", fields="close", adjust_type="post",
                                 expect_df=True)["close"].unstack(0).ffill().pct_change().iloc[1:]
    factor = returns.rolling(5).mean().shift(1).iloc[10:70]
    engine = FactorVarodyne()
    engine.append(("ic", ICAnalysis(industry_classification="citics_2019", max_decay=3)))
    result = engine.analysis(factor, returns, periods=(1, 5))["ic"]
    expected = ref.ic_analysis(factor, returns, (1, 5), False, True, "citics_2019", 3,
                               load_industry_data=varodyne._load_industry_data)
    assert_tables_equal(result, expected)
    assert result.name == "ic" and len(result.ic_industry_distribute) > 1


def test_constructor_checks_and_attributes():
    with pytest.raises(ValueError, match=r"^industry_classification: expect one of \('citics_2019', 'sws'\), got sw$"):
        ICAnalysis(industry_classification="sw")
    for bad in (3, ["a"]):
        with pytest.raises(ValueError, match=r"^Unsupported industry_classification type, expect one of "
                                             r"None/str/pd.Series/dict, got type=<class '(int|list)'>$"):
            ICAnalysis(industry_classification=bad)
    step = ICAnalysis(rank_ic=0, industry_classification={"a": "x"}, max_decay=3)
    assert (step.rank_ic, step.industry, step.max_decay) == (0, {"a": "x"}, 3)
    assert step.ic_func(np.array([1.0, 2.0, 4.0]), np.array([1.0, 3.0, 2.0]))[0] == pytest.approx(
        stats.pearsonr([1, 2, 4], [1, 3, 2])[0])
    step.industry = 5
    with pytest.raises(RuntimeError, match=r"^Invalid industry type, expect str/dict/pd.Series, go <class 'int'> $"):
        step._calc_ic_industry_distribute(ref.ic_analysis(*random_tables(0), [1])["df"])


@pytest.mark.parametrize("rank_ic", [True, False])
def test_ic_func_zero_rule(rank_ic):
    func = _get_ic_func(rank_ic)
    nan = np.nan
    assert func(np.array([1.0, nan, 3.0]), np.array([nan, 2.0, 5.0])) == (0, 0)
    assert func(np.array([nan]), np.array([nan])) == (0, 0)
    r, p = func(np.array([1.0, 2.0, nan]), np.array([3.0, 1.0, 0.0]))
    assert r == pytest.approx(-1.0) and (np.isnan(p) if rank_ic else p == 1.0)


def test_sign_flip_only_for_rank_ic():
    factor, returns = random_tables(2)
    up = run(ICAnalysis(), factor, returns, [1], ascending=True)
    down = run(ICAnalysis(), factor, returns, [1], ascending=False)
    pd.testing.assert_frame_equal(up.ic, -down.ic)
    pd.testing.assert_frame_equal(up.ic_p_value, down.ic_p_value)
    up = run(ICAnalysis(rank_ic=False), factor, returns, [1], ascending=True)
    down = run(ICAnalysis(rank_ic=False), factor, returns, [1], ascending=False)
    pd.testing.assert_frame_equal(up.ic, down.ic)


def test_a_date_with_one_pair_does_not_end_a_pearson_analysis():
    factor, returns = random_tables(6)  # the third date keeps a single instrument
    with pytest.raises(ValueError):
        ref.ic_analysis(factor, returns, [1], rank_ic=False, mend_single_pair=False)
    result = run(ICAnalysis(rank_ic=False), factor, returns, [1])
    one_pair = factor.index[2]
    assert result.ic.loc[one_pair].isna().all() and result.ic_p_value.loc[one_pair].isna().all()
    assert_tables_equal(result, ref.ic_analysis(factor, returns, [1], rank_ic=False), ("ic", "ic_p_value"))


def test_bad_inputs_raise_clear_errors():
    factor, returns = random_tables(1)
    with pytest.raises(ValueError, match="no date in common"):
        ICAnalysis().analysis(factor, returns.set_axis(returns.index + pd.Timedelta(days=3650)), [1])
    for bad in ([0], [2.5], [True]):
        with pytest.raises(ValueError, match="periods: expect positive integers"):
            ICAnalysis().analysis(factor, returns, bad)


def test_constant_dates_warn_once_with_their_count():
    factor, returns = random_tables(8)
    factor.iloc[6] = 1.0  # a second constant date besides the first
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = ICAnalysis().analysis(factor, returns, [1, 2])
    assert len(caught) == 1 and issubclass(caught[0].category, stats.ConstantInputWarning)
    assert "on 2 of {} dates".format(len(result.ic)) in str(caught[0].message)
    assert result.ic.iloc[[1, 6]].isna().all().all()


def test_engine_runs_the_step_with_its_name():
    factor, returns = random_tables(9)
    engine = FactorVarodyne()
    engine.append(("my_ic", ICAnalysis(rank_ic=False)))
    result = engine.analysis(factor, returns, periods=2)["my_ic"]
    assert result.name == "my_ic" and list(result.ic.columns) == ["P_2"]
    assert result.ic_decay is None and result.ic_industry_distribute is None
