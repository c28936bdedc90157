"""The clipping functions of sigmora.analysis.winsorize against literal pandas formulas."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from sigmora.analysis import winsorize as w
from sigmora.exception import InvalidArgument
from tests import reference_winsorize as ref
from tests.reference_winsorize import assert_same_values, factor_tables, quiet, random_table

MULTIPLIERS = st.sampled_from([3, 0, 1, 2.5, 0.1, 10])
FRACTIONS = st.sampled_from([0.0, 0.01, 0.025, 0.1, 0.5, 0.9, 0.975, 1.0])


def rows_of(df):
    return [df.iloc[i] for i in range(len(df))]


# ----------------------------------------------------------------------------- against pandas

@settings(max_examples=300, deadline=None)
@given(df=factor_tables(), n=MULTIPLIERS, left=FRACTIONS, right=FRACTIONS)
def test_per_series_functions_equal_the_pandas_formulas(df, n, left, right):
    for s in rows_of(df):
        for ours, expected in [
            (w.winsorize_std(s, n), quiet(ref.winsorize_std_at_row_scale, s, n)),
            (w.winsorize_mad(s, n), quiet(ref.winsorize_mad, s, n)),
            (w.winsorize_percentile(s, left, right), quiet(ref.winsorize_percentile, s, left, right)),
        ]:
            assert_same_values(ours, expected)
            assert ours.name == s.name and ours is not s
        magnitudes = s.abs()[s.notna() & (s != 0)]
        if ((magnitudes > 1e-100) & (magnitudes < 1e100)).all():  # nothing to overflow: the plain formula
            assert_same_values(w.winsorize_std(s, n), quiet(ref.winsorize_std, s, n))


@settings(max_examples=300, deadline=None)
@given(df=factor_tables(), n=MULTIPLIERS)
def test_batch_mad_equals_rowwise_mad_and_the_table_formula(df, n):
    ours = w.batch_winsorize_mad(df, n)
    rowwise = pd.DataFrame([w.winsorize_mad(s, n) for s in rows_of(df)], index=df.index, columns=df.columns)
    assert_same_values(ours, rowwise)
    assert_same_values(ours, quiet(ref.batch_winsorize_mad, df, n))


def wide_row(pattern, cols, rng):
    """One cross-section of `cols` values with a given structure (10% missing)."""
    if pattern == "random":
        values = rng.standard_t(3, cols)
    elif pattern == "sorted":
        values = np.sort(rng.standard_normal(cols))
    elif pattern == "reversed":
        values = np.sort(rng.standard_normal(cols))[::-1].copy()
    elif pattern == "few distinct":
        values = rng.integers(0, 4, cols).astype(float)
    elif pattern == "mostly zeros":
        values = np.where(rng.random(cols) < 0.7, 0.0, rng.standard_normal(cols))
    elif pattern == "infinities":
        values = rng.standard_normal(cols)
        values[rng.integers(0, cols, 30)] = np.inf
        values[rng.integers(0, cols, 20)] = -np.inf
    elif pattern == "two clusters":
        values = np.where(np.arange(cols) % 2 == 0, 1e6, 0.0) + rng.standard_normal(cols)
    elif pattern == "periodic outliers":
        # every 8th value huge: a sample taken at a fixed stride sees only those
        values = rng.standard_normal(cols)
        values[::8] = 1e9 + np.arange(len(values[::8]))
    values[rng.random(cols) < 0.1] = np.nan
    return values


PATTERNS = ["random", "sorted", "reversed", "few distinct", "mostly zeros", "infinities", "two clusters",
            "periodic outliers"]


@pytest.mark.parametrize("cols", [7, 8, 129, 601, 1200, 5000])
@pytest.mark.parametrize("pattern", PATTERNS)
def test_wide_rows_equal_pandas(pattern, cols):
    # Sums over more than 128 values, medians of 600 or more values and selections
    # among 1024 or more take other code paths, here and in numpy; the result must not
    # change.
    rng = np.random.default_rng(cols)
    df = pd.DataFrame(np.array([wide_row(pattern, cols, rng) for _ in range(3)]))
    assert_same_values(w.batch_winsorize_mad(df), quiet(ref.batch_winsorize_mad, df))
    for s in rows_of(df):
        assert_same_values(w.winsorize_mad(s), quiet(ref.winsorize_mad, s))
        assert_same_values(w.winsorize_std(s), quiet(ref.winsorize_std, s))
        assert_same_values(w.winsorize_percentile(s), quiet(ref.winsorize_percentile, s))
        assert_same_values(w.winsorize_percentile(s, 0.3, 0.5), quiet(ref.winsorize_percentile, s, 0.3, 0.5))


@pytest.mark.parametrize("seed", range(12))
def test_wide_rows_with_ties_equal_pandas(seed):
    # Selections among many values with long runs of equal values.
    rng = np.random.default_rng(100 + seed)
    cols = int(rng.integers(1024, 3000))
    distinct = rng.standard_normal(int(rng.integers(1, 60)))
    values = rng.choice(distinct, size=(2, cols))
    values[rng.random((2, cols)) < rng.random()] = np.nan
    df = pd.DataFrame(values)
    assert_same_values(w.batch_winsorize_mad(df), quiet(ref.batch_winsorize_mad, df))
    for s in rows_of(df):
        assert_same_values(w.winsorize_percentile(s, 0.1, 0.6), quiet(ref.winsorize_percentile, s, 0.1, 0.6))


def test_memory_order_does_not_matter():
    from sigmora import _core
    values = random_table(np.random.default_rng(7), 40, 1500).to_numpy()
    expected = _core.winsorize_mad(np.ascontiguousarray(values), 3.0)
    for view in (np.asfortranarray(values), values[::-1][::-1], values.T.copy().T):
        np.testing.assert_array_equal(_core.winsorize_mad(view, 3.0), expected)
    flipped = values[::-1, ::-2]
    np.testing.assert_array_equal(_core.winsorize_mad(flipped, 3.0),
                                  _core.winsorize_mad(np.ascontiguousarray(flipped), 3.0))
    # a frame that holds its values row-major and one that holds them column-major
    index = pd.date_range("2020-01-01", periods=40)
    for df in (pd.DataFrame(np.ascontiguousarray(values), index=index, copy=False),
               pd.DataFrame(np.asfortranarray(values), index=index)):
        np.testing.assert_array_equal(w.batch_winsorize_mad(df).to_numpy(), expected)


# ----------------------------------------------------------------------------- documented cases

def test_all_equal_cross_section_is_unchanged_by_std_and_mad():
    s = pd.Series([1.0] * 6 + [np.nan], index=list("abcdefg"), name="d")
    for func in (w.winsorize_std, w.winsorize_mad):
        assert_same_values(func(s), s)


def test_mad_of_zero_sets_every_value_to_the_median():
    s = pd.Series([0.0, 0.0, 0.0, 0.0, 5.0, -2.0, np.nan])
    out = w.winsorize_mad(s)
    assert out.iloc[:6].tolist() == [0.0] * 6 and np.isnan(out.iloc[6])


def test_mad_band_is_raw_deviations_and_bounds_are_inclusive():
    # median 0, absolute deviations [0, 1, 1, 3, 4] -> median deviation 1, band [-3, 3]
    s = pd.Series([0.0, 1.0, -1.0, 3.0, -4.0])
    assert w.winsorize_mad(s).tolist() == [0.0, 1.0, -1.0, 3.0, -3.0]
    assert w.winsorize_mad(s, n=1).tolist() == [0.0, 1.0, -1.0, 1.0, -1.0]


def test_percentile_clips_a_cross_section_with_missing_values():
    values = np.arange(100.0)
    values[[3, 50]] = np.nan
    s = pd.Series(values)
    with np.errstate(invalid="ignore"):
        plain_lv, plain_rv = np.percentile(s, [2.5, 97.5])
    assert np.isnan(plain_lv) and np.isnan(plain_rv)  # the historical bounds: nothing clipped
    lv, rv = np.nanpercentile(s, [2.5, 97.5])
    out = w.winsorize_percentile(s)
    assert out.min() == lv and out.max() == rv and 0 < lv < 5 and 94 < rv < 99
    assert out.isna().tolist() == s.isna().tolist()
    assert (out.iloc[10:40] == s.iloc[10:40]).all()


def test_series_with_no_present_value_comes_back_unchanged():
    s = pd.Series([np.nan] * 4, index=list("wxyz"), name="x")
    for how in ("std", "percentile", "mad"):
        assert_same_values(w.winsorize(s, how), s)
    assert_same_values(w.batch_winsorize_mad(s.to_frame().T), s.to_frame().T)


def test_dispatcher_and_tables():
    s = pd.Series([1.0, 2.0, 30.0, -4.0, np.nan])
    assert w.winsorize(s, "none") is s
    assert_same_values(w.winsorize(s, "std"), w.winsorize_std(s, 3))
    assert list(w.WINSORIZE_METHODS) == ["std", "percentile", "mad", "none"]
    assert w.WINSORIZE_METHODS["none"].__name__ == "<lambda>"
    assert w.BATCH_WINSORIZE_METHODS == {"mad": w.batch_winsorize_mad}
    with pytest.raises(InvalidArgument) as err:
        w.winsorize(s, "median")
    assert str(err.value) == "invalid winsorize method: median. valid methods: ['std', 'percentile', 'mad', 'none']"


def test_infinities_are_values():
    # +inf makes the mean inf and the std NaN: no band, nothing clipped
    s = pd.Series([1.0, 2.0, np.inf, 4.0])
    assert_same_values(w.winsorize_std(s), s)
    # the median ignores how far out an infinity is: it is clipped like any outlier
    s = pd.Series([1.0, 2.0, 3.0, 2.0, np.inf, -np.inf, 2.5])
    out = w.winsorize_mad(s)
    assert np.isfinite(out).all() and out.tolist() == ref.winsorize_mad(s).tolist()


# ----------------------------------------------------------------------------- shapes and bad input

def test_empty_and_degenerate_tables():
    for shape in [(0, 3), (3, 0), (0, 0)]:
        df = pd.DataFrame(np.empty(shape))
        out = w.batch_winsorize_mad(df)
        assert out.shape == shape and out is not df
    assert w.winsorize_std(pd.Series([], dtype=float)).empty


def test_other_numeric_dtypes_and_labels_are_kept():
    df = pd.DataFrame({"a": [1, 2, 3], "b": [0.5, np.nan, 9.0], "c": pd.array([1.0, None, 2.0], dtype="Float64")},
                      index=pd.Index(["x", "y", "z"], name="when"))
    out = w.batch_winsorize_mad(df)
    assert out.index.equals(df.index) and out.index.name == "when" and list(out.columns) == ["a", "b", "c"]
    assert np.isnan(out.loc["y", "b"]) and np.isnan(out.loc["y", "c"])
    expected = quiet(ref.batch_winsorize_mad, df.astype(float))
    assert_same_values(out, expected)


@pytest.mark.parametrize("call, error, text", [
    (lambda: w.batch_winsorize_mad(pd.DataFrame({"a": [1.0], "b": ["x"]})), TypeError,
     "no number in 1 column(s) such as b: 'x' in column b on 0"),
    (lambda: w.batch_winsorize_mad(pd.DataFrame({"a": [object()]})), TypeError, "df"),
    (lambda: w.batch_winsorize_mad(pd.Series([1.0, 2.0])), TypeError, "df: expect pd.DataFrame"),
    (lambda: w.batch_winsorize_mad(np.ones((2, 2))), TypeError, "df: expect pd.DataFrame"),
    (lambda: w.winsorize_mad(pd.DataFrame(np.ones((2, 2)))), TypeError, "series: expect pd.Series"),
    (lambda: w.winsorize_std(pd.Series(["a", "b"])), TypeError, "series"),
    (lambda: w.winsorize_std(pd.Series([1.0]), n="3"), TypeError, "n: expect a real number"),
    (lambda: w.winsorize_percentile(pd.Series([1.0]), left=-0.1), ValueError, "Percentiles must be in the range"),
    (lambda: w.winsorize_percentile(pd.Series([1.0]), right=float("nan")), ValueError, "Percentiles"),
])
def test_bad_input_raises_a_clear_error(call, error, text):
    with pytest.raises(error) as err:
        call()
    assert text in str(err.value)
