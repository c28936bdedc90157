import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import sigmora
import tidewell
from sigmora.analysis import _industry, varodyne
from sigmora.analysis.ols import calc_residuals
from sigmora.analysis.varodyne import Neutralization
from tests.fakes import FakeMarket
from tests.reference_ols import lstsq_residuals, neutralize, relative_gap

TOL = 1e-9
STYLES = ["beta", "momentum", "size"]


def FakeService(exposures, industry_records=None):
    """Style exposures from a long table and (optionally) CITICS records; records every request."""
    return FakeMarket(citics=industry_records, exposures=exposures)


def ids(n):
    return ["{:06d}.XSHE".format(i + 1) for i in range(n)]


def long_exposures(rng, dates, order_book_ids, drop=0.1, nan_rate=0.05, names=STYLES):
    """(order_book_id, date) x style table in a shuffled record order, some records missing."""
    pairs = pd.MultiIndex.from_product([order_book_ids, dates], names=["order_book_id", "date"])
    values = rng.normal(size=(len(pairs), len(names)))
    values[rng.random(values.shape) < nan_rate] = np.nan
    table = pd.DataFrame(values, index=pairs, columns=names)
    keep = rng.random(len(table)) >= drop
    return table[keep].iloc[rng.permutation(int(keep.sum()))]


def code_table(rng, start_dates, order_book_ids, n_codes):
    """Industry codes by classification start date; code 1 never used, code 0 held by one instrument."""
    codes = rng.integers(2, n_codes, size=(len(start_dates), len(order_book_ids)))
    codes[:, 0] = 0
    return pd.DataFrame(codes, index=pd.DatetimeIndex(start_dates), columns=order_book_ids)


@pytest.fixture
def scenario(monkeypatch, plug_market):
    """A random factor table with every kind of gap, and fakes for the data it needs."""
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2024-01-02", periods=15)
    universe = ids(45)
    factor_ids = universe[:40]
    df = pd.DataFrame(rng.normal(size=(15, 40)), index=dates, columns=factor_ids)
    df[df > 1.8] = np.nan
    # extra instruments and dates in the service's answer must be ignored
    service = FakeService(long_exposures(rng, dates.append(pd.bdate_range("2024-02-01", periods=2)), universe))
    # the classification starts after the first factor dates; six instruments have none
    cat = code_table(rng, [dates[3], dates[8], pd.Timestamp("2024-01-16")], universe[6:], 7)
    cat.loc[dates[8], universe[7:27]] = 5  # one industry dominates from then on
    calls = []
    plug_market(service)
    monkeypatch.setattr(_industry, "get_all_industry_category", lambda source: calls.append(source) or cat)
    other = pd.DataFrame(rng.normal(size=(14, 42)), index=dates[1:], columns=universe[:42][::-1])
    other.iloc[2, 5] = np.nan
    return types.SimpleNamespace(df=df, service=service, cat=cat, other=other, calls=calls, rng=rng)


def check_against_dense(step, df):
    got = step.process(df)
    want = neutralize(step, df, calc_residuals)
    assert got.index.equals(df.index) and got.columns.equals(df.columns)
    assert relative_gap(got.values, want.values) < TOL
    return got, want


@pytest.mark.parametrize("kwargs", [
    dict(),
    dict(style_factors=None),
    dict(industry=None),
    dict(style_factors=["size", "beta"]),
    dict(industry=None, style_factors=None, with_other=True),
    dict(with_other=True),
])
def test_equals_dense_regression(scenario, kwargs):
    kwargs = dict(kwargs)
    if kwargs.pop("with_other", False):
        kwargs["other_factors"] = [None, scenario.other, scenario.other.iloc[:0]]
    got, want = check_against_dense(Neutralization(**kwargs), scenario.df)
    assert np.isfinite(got.values).sum() > 0.5 * got.size


@given(seed=st.integers(0, 2**32 - 1), T=st.integers(1, 6), N=st.integers(1, 9), n_codes=st.integers(1, 4),
       styles=st.integers(0, 3), with_other=st.booleans(), with_industry=st.booleans())
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_small_random_tables_equal_dense_regression(monkeypatch, plug_market, seed, T, N, n_codes, styles, with_other,
                                                    with_industry):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-02", periods=T)
    universe = ids(N + 1)
    df = pd.DataFrame(rng.normal(size=(T, N)), index=dates, columns=universe[:N])
    df[pd.DataFrame(rng.random((T, N)) < 0.2, index=dates, columns=df.columns)] = np.nan
    exposures = long_exposures(rng, dates, universe, drop=0.2, nan_rate=0.1, names=STYLES[:styles])
    starts = pd.DatetimeIndex(sorted({dates[min(1, T - 1)], dates[-1]}))  # the first date often has none
    cat = pd.DataFrame(rng.integers(-1, n_codes, size=(len(starts), N + 1)), index=starts, columns=universe)
    plug_market(FakeService(exposures))
    monkeypatch.setattr(_industry, "get_all_industry_category", lambda source: cat)
    other = pd.DataFrame(rng.normal(size=(T, N)), index=dates, columns=df.columns)
    step = Neutralization(industry="citics_2019" if with_industry else None,
                          style_factors="all" if styles else None,
                          other_factors=[other] if with_other or not (styles or with_industry) else None)
    if styles and exposures.empty:
        # nothing to reshape for the dense form; no instrument has its exposures
        assert step.process(df).isna().all().all()
        return
    check_against_dense(step, df)


def test_single_member_industry_and_missing_classification(scenario):
    step = Neutralization(style_factors=None)
    got, _ = check_against_dense(step, scenario.df)
    later = scenario.df.index >= scenario.cat.index[0]
    sole = scenario.df.columns[6]  # the only instrument of industry 0
    values = got.loc[later, sole]
    assert (values[scenario.df.loc[later, sole].notna()] == 0.0).all()
    # before the classification starts nothing is demeaned: the values come back unchanged
    early = ~later
    pd.testing.assert_frame_equal(got[early], scenario.df[early])


def test_a_date_of_equal_values_leaves_exact_zeros_not_noise(scenario):
    """A clip that flattens a date leaves one value for every instrument. Within their industries
    it is fitted exactly: the residuals are zeros, and standardising the date gives no value, not
    rounding noise scaled up to unit variance that an IC would then be measured on."""
    from sigmora.analysis.varodyne import Normalization
    df = scenario.df.copy()
    date = df.index[10]
    codes = scenario.cat.reindex(columns=df.columns, fill_value=-1).reindex(df.index, method="ffill").loc[date]
    classified = (codes >= 0).to_numpy()
    df.loc[date] = np.where(classified, 0.1, np.nan)   # seven 0.1s do not sum to 0.7 exactly
    for kwargs in (dict(), dict(style_factors=None), dict(other_factors=[scenario.other])):
        got = Neutralization(**kwargs).process(df)
        row = got.loc[date].to_numpy()
        # (an instrument without its exposures has no residual)
        present = row[~np.isnan(row)]
        assert (present == 0.0).all() and len(present) > 10 and np.isnan(row[~classified]).all(), kwargs
        normalized = Normalization().process(got)
        assert normalized.loc[date].isna().all(), kwargs
        # the other dates keep their values (the user table starts a date late)
        assert normalized.drop(index=date).notna().any(axis=1).sum() >= len(df) - 2, kwargs


def test_degenerate_designs(scenario):
    df, rng = scenario.df.copy(), scenario.rng
    # within-industry constants and copies of a style factor: rank-deficient designs
    codes = scenario.cat.reindex(columns=df.columns, fill_value=-1).reindex(df.index, method="ffill")
    constant_in_industry = codes.fillna(-1) * 0.25 + 1.0
    exposures = scenario.service.exposures
    momentum = exposures["momentum"].unstack("order_book_id").reindex(df.index, columns=df.columns)
    df.iloc[4] = np.nan  # a date without any value
    steps = [
        Neutralization(other_factors=[constant_in_industry]),
        Neutralization(other_factors=[momentum * 3.0, constant_in_industry]),
        Neutralization(style_factors=None, other_factors=[momentum, momentum]),
    ]
    for step in steps:
        got, _ = check_against_dense(step, df)
        assert got.iloc[4].isna().all()


def test_one_industry_for_all_and_single_instrument(monkeypatch, plug_market):
    rng = np.random.default_rng(3)
    dates = pd.bdate_range("2024-03-01", periods=4)
    df = pd.DataFrame(rng.normal(size=(4, 6)), index=dates, columns=ids(6))
    cat = pd.DataFrame(2, index=dates[:1], columns=ids(6))
    service = FakeService(long_exposures(rng, dates, ids(6), drop=0.0, nan_rate=0.0))
    plug_market(service)
    monkeypatch.setattr(_industry, "get_all_industry_category", lambda source: cat)
    got, _ = check_against_dense(Neutralization(style_factors=None), df)
    np.testing.assert_allclose(got.values, (df.sub(df.mean(axis=1), axis=0)).values, rtol=0, atol=1e-14)
    check_against_dense(Neutralization(), df)  # 6 instruments, 3 styles + 1 industry
    got, _ = check_against_dense(Neutralization(), df[["000001.XSHE"]])
    assert (got.values == 0.0).all()


def test_regressor_spanned_by_the_industries_changes_nothing(monkeypatch, plug_market):
    # Demeaning such a regressor leaves only rounding noise; it must not count as a direction.
    rng = np.random.default_rng(12)
    dates = pd.bdate_range("2024-03-01", periods=5)
    universe = ids(40)
    df = pd.DataFrame(rng.normal(size=(5, 40)), index=dates, columns=universe)
    cat = pd.DataFrame(rng.integers(0, 4, size=(1, 40)), index=dates[:1], columns=universe)
    noise = rng.normal(size=(5, 40)) * 100.0  # a per-industry constant up to rounding, bit by bit
    spanned = pd.DataFrame((noise + cat.values / 3.0) - noise, index=dates, columns=universe)
    plug_market(FakeService(long_exposures(rng, dates, universe, 0.0, 0.0)))
    monkeypatch.setattr(_industry, "get_all_industry_category", lambda source: cat)
    with_it, _ = check_against_dense(Neutralization(other_factors=[spanned]), df)
    without = Neutralization().process(df)
    assert relative_gap(with_it.values, without.values) < TOL


def test_intraday_bars_take_their_dates_exposures(monkeypatch, plug_market):
    rng = np.random.default_rng(4)
    days = pd.bdate_range("2024-05-06", periods=3)
    bars = pd.DatetimeIndex([d + pd.Timedelta(t) for d in days for t in ("09:31:00", "10:15:00", "14:59:00")])
    df = pd.DataFrame(rng.normal(size=(len(bars), 12)), index=bars, columns=ids(12))
    service = FakeService(long_exposures(rng, days, ids(12), drop=0.05))
    plug_market(service)
    got, _ = check_against_dense(Neutralization(industry=None), df)
    assert got.index.equals(bars)
    request = service.style_requests[0]
    assert request["start_date"] == bars[0] and request["end_date"] == bars[-1]


def test_requests_and_skipped_entries(scenario):
    step = Neutralization(industry="sws", style_factors=["size"], other_factors=[None])
    step.process(df=scenario.df)
    assert scenario.service.style_requests == [dict(
        order_book_ids=scenario.df.columns.tolist(), start_date=scenario.df.index[0],
        end_date=scenario.df.index[-1], factors=["size"])]
    assert scenario.calls == ["sws"]
    Neutralization(style_factors=None).process(scenario.df)
    assert len(scenario.service.style_requests) == 1
    # only empty user entries: regress on the industries alone
    pd.testing.assert_frame_equal(
        Neutralization(style_factors=None, other_factors=[None, scenario.other.iloc[:0]]).process(scenario.df),
        Neutralization(style_factors=None).process(scenario.df))


def test_user_factor_alone_is_reindexed(scenario):
    other = scenario.other
    got = Neutralization(industry=None, style_factors=None, other_factors=[other]).process(scenario.df)
    aligned = other.reindex(index=scenario.df.index, columns=scenario.df.columns)
    want = lstsq_residuals(scenario.df.values, aligned.values[:, :, None])
    assert relative_gap(got.values, want) < TOL
    assert got.iloc[0].isna().all()  # the user table has no first date
    assert scenario.service.style_requests == [] and scenario.calls == []


def test_constructor():
    step = Neutralization()
    assert (step.industry, step.style_neutralize, step.style_factors, step.other_factors) == (
        "citics_2019", True, None, None)
    step = Neutralization(industry=None, style_factors=["beta"], other_factors=[])
    assert (step.industry, step.style_neutralize, step.style_factors, step.other_factors) == (
        None, True, ["beta"], [])
    assert Neutralization(style_factors="").style_neutralize is False
    with pytest.raises(ValueError) as err:
        Neutralization(industry=None, style_factors=None, other_factors=None)
    assert str(err.value) == ("Expect at least one of [industry, style_factors, other_factors] not None, "
                              "but get both None.")
    with pytest.raises(ValueError) as err:
        Neutralization(industry="gics", style_factors=None, other_factors=None)
    assert str(err.value) == "industry: expect one of ('citics_2019', 'sws'), got gics"


def test_bad_inputs(scenario):
    with pytest.raises(ValueError, match="style exposures: two records"):
        doubled = pd.concat([scenario.service.exposures, scenario.service.exposures.iloc[:1]])
        scenario.service.exposures = doubled
        Neutralization(industry=None).process(scenario.df)
    scenario.service.exposures = None
    with pytest.raises(ValueError, match="style_factors: the data service has no exposures"):
        Neutralization(industry=None).process(scenario.df)
    with pytest.raises(TypeError, match=r"other_factors\[0\]"):
        Neutralization(style_factors=None, other_factors=[scenario.df.map(lambda v: "x")]).process(scenario.df)


def test_same_bits_for_any_thread_count(scenario):
    step = Neutralization(other_factors=[scenario.other])
    before = sigmora.get_num_threads()
    try:
        results = []
        for n in (1, 2, 3):
            sigmora.set_num_threads(n)
            results.append(step.process(scenario.df).values)
    finally:
        sigmora.set_num_threads(before)
    for other in results[1:]:
        assert np.array_equal(results[0], other, equal_nan=True)


def test_exposures_read_in_several_date_blocks(monkeypatch, plug_market):
    # The exposures are gathered a block of dates at a time, the block sized by the ids the
    # answer's index knows times the factors: 30000 ids and 3 factors give blocks of a few
    # dates, so 70 dates span several blocks (and records arrive shuffled across them).
    rng = np.random.default_rng(0)
    dates = pd.bdate_range("2023-01-02", periods=70)
    known = ids(30000)
    used = rng.choice(len(known), size=60, replace=False)
    pairs = [(k, d) for k in used for d in range(len(dates)) if rng.random() > 0.1]
    records = pd.MultiIndex(levels=[pd.Index(known), dates], codes=[[k for k, _ in pairs], [d for _, d in pairs]],
                            names=["order_book_id", "date"])
    exposures = pd.DataFrame(rng.normal(size=(len(records), 3)), index=records, columns=STYLES)
    exposures = exposures.iloc[rng.permutation(len(exposures))]
    columns = [known[i] for i in used[:50]]
    df = pd.DataFrame(rng.normal(size=(len(dates), 50)), index=dates, columns=columns)
    cat = pd.DataFrame(rng.integers(0, 4, size=(1, 50)), index=dates[:1], columns=columns)
    plug_market(FakeService(exposures))
    monkeypatch.setattr(_industry, "get_all_industry_category", lambda source: cat)
    got, _ = check_against_dense(Neutralization(), df)
    assert np.isfinite(got.values).mean() > 0.8


def test_process_leaves_the_cached_classification_intact(monkeypatch, plug_market):
    start = pd.Timestamp("2024-01-02")
    records = [dict(first_industry_name=name, order_book_id=oid, start_date=start)
               for name, oid in [("Banks", "000001.XSHE"), ("Media", "000002.XSHE"), ("Banks", "000003.XSHE")]]
    service = FakeService(None, records)
    plug_market(service)
    varodyne.get_all_industry_data.cache_clear()
    varodyne.get_all_industry_category.cache_clear()
    try:
        cached = varodyne.get_all_industry_category("citics_2019")
        snapshot = cached.copy()
        df = pd.DataFrame(np.arange(12.0).reshape(3, 4), index=pd.bdate_range(start, periods=3),
                          columns=ids(4))
        got = Neutralization(style_factors=None).process(df)
        assert varodyne.get_all_industry_category("citics_2019") is cached
        pd.testing.assert_frame_equal(cached, snapshot)
        # Banks are demeaned together, Media alone is fitted exactly, the fourth has no industry
        np.testing.assert_allclose(got.iloc[0].values, [-1.0, 0.0, 1.0, 3.0])
    finally:
        varodyne.get_all_industry_data.cache_clear()
        varodyne.get_all_industry_category.cache_clear()


def test_on_a_demo_store(small_store):
    ids_ = tidewell.all_instruments(type="CS")["order_book_id"].tolist()[:20]
    dates = pd.to_datetime(tidewell.get_trading_dates("2023-03-01", "2023-04-28"))
    rng = np.random.default_rng(9)
    df = pd.DataFrame(rng.normal(size=(len(dates), len(ids_))), index=dates, columns=ids_)
    step = Neutralization()
    got, _ = check_against_dense(step, df)
    assert np.isfinite(got.values).mean() > 0.5


def test_core_rejects_inconsistent_arrays():
    endog = np.zeros((2, 3))
    no_style = (np.empty((0, 0)), np.empty(0, np.int64), np.empty(0, np.int64), 0, 0,
                np.empty(0, np.int64), np.empty(0, np.int64))
    codes = np.array([[0, 1, -1], [2, 0, 0]], dtype=np.int64)
    with pytest.raises(ValueError, match=r"industry codes: expect values in -1 \.\. 1, got 2"):
        sigmora._core.ols_neutralize(endog, *no_style, [], codes, 2)
    with pytest.raises(ValueError, match=r"dense\[0\]: expect the shape of endog \(2, 3\), got \(3, 2\)"):
        sigmora._core.ols_neutralize(endog, *no_style, [np.zeros((3, 2))], None, 0)
    values = np.zeros((4, 1))
    keys = np.array([0, 1, 2, 3], dtype=np.int64)
    with pytest.raises(ValueError, match=r"row_date: .* \(2,\), got \(1,\)"):
        sigmora._core.ols_neutralize(endog, values, keys * 0, keys, 1, 4, np.zeros(1, np.int64),
                                     np.zeros(3, np.int64), [], None, 0)
    with pytest.raises(ValueError, match=r"record keys: expect values in -1 \.\. 2, got 3"):
        sigmora._core.ols_neutralize(endog, values, keys * 0, keys, 1, 3, np.zeros(2, np.int64),
                                     np.zeros(3, np.int64), [], None, 0)
