"""The Winzorization and Normalization preprocessing steps against literal pandas formulas."""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings

from sigmora.analysis import varodyne
from sigmora.analysis import winsorize as w
from sigmora.analysis.varodyne import FactorVarodyne, Normalization, Winzorization
from tests import reference_winsorize as ref
from tests.reference_winsorize import assert_same_values, factor_tables, quiet, random_table


# ----------------------------------------------------------------------------- Winzorization

def test_constructor_checks_the_method():
    assert Winzorization().method == "mad"
    assert Winzorization(method="none").method == "none"
    assert varodyne.VALID_WINSORIZE_METHODS == {"mad", "std", "percentile", "none"}
    with pytest.raises(ValueError) as err:
        Winzorization(method="median")
    assert str(err.value) == "method: expect one of {}, got median".format(varodyne.VALID_WINSORIZE_METHODS)


def test_method_is_read_at_every_call():
    step = Winzorization("std")
    step.method = "median"
    with pytest.raises(KeyError, match="median"):
        step.process(pd.DataFrame([[1.0, 2.0]]))


@settings(max_examples=200, deadline=None)
@given(df=factor_tables(max_cols=60))
def test_each_method_equals_the_pandas_formula(df):
    # "mad" clips the table at once; the others are the per-series function on every row
    assert_same_values(Winzorization("mad").process(df), quiet(ref.batch_winsorize_mad, df))
    assert_same_values(Winzorization("std").process(df), quiet(ref.apply_rows, df, ref.winsorize_std_at_row_scale))
    assert_same_values(Winzorization("percentile").process(df),
                       quiet(ref.apply_rows, df, ref.winsorize_percentile))
    # and the table forms agree with the module's own per-series functions
    assert_same_values(Winzorization("std").process(df), df.apply(w.winsorize_std, axis=1))


def test_none_returns_an_equal_new_table():
    df = random_table(np.random.default_rng(0), 5, 7)
    out = Winzorization("none").process(df)
    assert out is not df
    pd.testing.assert_frame_equal(out, df)


def test_a_clip_that_makes_dates_constant_says_so():
    # Date 0: six of ten values equal, so no deviation from the median: every value becomes the
    # median (the rule stands) and the step says so. Date 1 is spread, date 2 constant already,
    # and the dates without values (a warm-up) do not count.
    rows = [[0, 0, 0, 0, 0, 0, 1, 2, 3, -50.0], np.arange(10.0), [1.0] * 9 + [np.nan]] + [[np.nan] * 10] * 60
    df = pd.DataFrame(rows, index=pd.date_range("2024-01-02", periods=63), columns=list("abcdefghij"))
    with pytest.warns(UserWarning, match=r"^Winzorization\(method='mad'\) made 1 of the 3 dates with values "
                                         r"constant \(a clipping band of no width: more than half of a date's values "
                                         r"are equal, so .*--winsorize-method std or none\)$"):
        out = Winzorization("mad").process(df)
    assert (out.iloc[0] == 0.0).all() and out.iloc[1].equals(df.iloc[1])
    nearly_flat = pd.DataFrame([[1.0] * 49 + [9.0]] * 4, index=df.index[:4])
    with pytest.warns(UserWarning, match=r"^Winzorization\(method='percentile'\) made 4 of the 4 dates with values "
                                         r"constant \(a clipping band of no width: a date's 2.5th and 97.5th "
                                         r"percentiles are equal\)"):
        Winzorization("percentile").process(nearly_flat)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Winzorization("std").process(df)
        Winzorization("mad").process(df.iloc[1:])
        Winzorization("none").process(df)


def test_percentile_clips_each_date_to_its_own_percentiles():
    df = random_table(np.random.default_rng(1), 3, 400, missing=0.2)
    out = Winzorization("percentile").process(df)
    for date in df.index:
        lv, rv = np.nanpercentile(df.loc[date], [2.5, 97.5])
        assert out.loc[date].min() == lv and out.loc[date].max() == rv
    assert out.isna().equals(df.isna())


def test_a_replaced_method_is_applied_row_by_row(monkeypatch):
    seen = []

    def halve(s):
        seen.append(s.name)
        return s / 2

    monkeypatch.setitem(varodyne.WINSORIZE_METHODS, "std", halve)
    df = random_table(np.random.default_rng(2), 4, 5)
    pd.testing.assert_frame_equal(Winzorization("std").process(df), df / 2)
    assert seen == list(df.index)


# ----------------------------------------------------------------------------- Normalization

def expected_normalization(df, formula=ref.normalization_at_row_scale):
    """The formula, with the documented outcome for rows without spread: NaN.

    Left alone, the formula turns the rounding error in the mean of a constant row such
    as [0.1, 0.1, 0.1] into values near +-0.8.
    """
    expected = quiet(formula, df)
    values = df.to_numpy()
    present = ~np.isnan(values)
    with np.errstate(invalid="ignore"):
        constant = quiet(np.nanmax, values, axis=1) == quiet(np.nanmin, values, axis=1)
    expected[constant & present.any(axis=1)] = np.nan
    return expected


@settings(max_examples=300, deadline=None)
@given(df=factor_tables(max_cols=60))
def test_normalization_equals_the_pandas_formula(df):
    # The kernel sums each row left to right. pandas' DataFrame.mean(axis=1) sums in an
    # order numpy picks from the table's shape and memory layout (left to right for the
    # usual tables, pairwise for some small ones), so small tables agree up to rounding
    # and typical ones (test_normalization_cases) bit for bit.
    out = Normalization().process(df)
    expected = expected_normalization(df)
    np.testing.assert_allclose(out.to_numpy(), expected.to_numpy(), rtol=1e-10, atol=1e-10)
    pd.testing.assert_index_equal(out.index, df.index)
    pd.testing.assert_index_equal(out.columns, df.columns)
    assert not np.isinf(out.to_numpy()).any()


def test_normalization_cases():
    df = pd.DataFrame([[1.0, 1.0, 1.0, np.nan],
                       [0.1, 0.1, 0.1, np.nan],
                       [np.nan, 5.0, np.nan, np.nan],
                       [1.0, 2.0, 3.0, np.nan],
                       [np.nan] * 4],
                      index=pd.date_range("2022-03-01", periods=5), columns=list("abcd"))
    out = Normalization().process(df)
    assert out.iloc[[0, 1, 2, 4]].isna().all().all()
    assert out.iloc[3].iloc[:3].tolist() == [-1.0, 0.0, 1.0] and np.isnan(out.iloc[3, 3])
    assert quiet(ref.normalization, df).iloc[1, :3].notna().all()  # what the bare formula gives
    wide = random_table(np.random.default_rng(3), 60, 500)
    z = Normalization().process(wide)
    assert_same_values(z, expected_normalization(wide))
    assert_same_values(z, expected_normalization(wide, ref.normalization))  # ordinary magnitudes: the plain formula
    row_major = pd.DataFrame(np.ascontiguousarray(wide.to_numpy()), index=wide.index, columns=wide.columns, copy=False)
    assert_same_values(Normalization().process(row_major), z)
    np.testing.assert_allclose(z.mean(axis=1), 0.0, atol=1e-12)
    np.testing.assert_allclose(z.std(axis=1), 1.0, rtol=1e-12)
    assert z.isna().equals(wide.isna())


def test_steps_reject_non_numeric_tables():
    df = pd.DataFrame({"a": [1.0, 2.0], "b": ["x", "y"]}, index=pd.date_range("2022-01-03", periods=2))
    for step in (Normalization(), Winzorization("mad"), Winzorization("std"), Winzorization("percentile")):
        with pytest.raises(TypeError, match=r"no number in 1 column\(s\) such as b: 'x' in column b on 2022-01-03"):
            step.process(df)


def test_steps_in_the_engine():
    factor = random_table(np.random.default_rng(4), 8, 30)
    returns = random_table(np.random.default_rng(5), 8, 30) / 100
    engine = FactorVarodyne()
    engine.append(("w", Winzorization("mad")))
    engine.append(("z", Normalization()))
    result = engine.analysis(factor, returns, keep_preprocess_result=True)
    assert list(result) == ["w", "z"]
    assert_same_values(result["w"], quiet(ref.batch_winsorize_mad, factor))
    assert_same_values(result["z"], expected_normalization(result["w"]))
