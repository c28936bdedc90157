"""Literal pandas/numpy transcriptions of the clipping and standardisation formulas, and
random factor tables to check the core against them.

Slow and obviously faithful on purpose: each function is the documented sequence of
pandas calls and nothing else. The intended differences from the historical formulas:
- `winsorize_percentile` takes its bounds from the present values (`np.nanpercentile`):
  plain `np.percentile` gives NaN bounds as soon as one value is missing, and the clip
  then silently does nothing;
- the standard-deviation band and the standardisation are computed on the row scaled by
  a power of two (`*_at_row_scale`), so that they do not depend on its unit. For ordinary
  magnitudes this is the plain formula bit for bit; from about 1e154 on, its squares
  overflow (every z-score 0, no band), and below about 1e-154 they underflow.
"""

import warnings

import numpy as np
import pandas as pd
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp


def winsorize_std(series, n=3):
    mean = series.mean()
    std = series.std()
    return series.clip(mean - std * n, mean + std * n)


def winsorize_percentile(series, left=0.025, right=0.975):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN rows, inf - inf
        lv, rv = np.nanpercentile(series, [left * 100, right * 100])
    return series.clip(lv, rv)


def winsorize_mad(series, n=3):
    median = series.median()
    median_diff = (series - median).abs().median()
    return series.clip(median - median_diff * n, median + median_diff * n)


def batch_winsorize_mad(df, n=3):
    median = df.median(axis=1)
    median_diff = df.subtract(median, axis=0).abs().median(axis=1)
    return df.clip(median - median_diff * n, median + median_diff * n, axis=0)


def row_units(values):
    """Per row of a 2-D array (one value for a 1-D one): the power of two that brings the
    largest present magnitude into [1, 2); 1 for a row holding an infinity or no value."""
    values = np.atleast_2d(np.asarray(values, dtype=np.float64))
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN rows
        reach = np.nanmax(np.abs(values), axis=1)
    exponent = np.frexp(np.where(np.isfinite(reach), reach, 1.0))[1] - 1
    usable = np.isfinite(reach) & (reach > 0)
    return np.where(usable, np.ldexp(1.0, -np.clip(exponent, -1022, 1023)), 1.0)


def winsorize_std_at_row_scale(series, n=3):
    """winsorize_std with the band computed on the series times its row unit, scaled back."""
    unit = row_units(series.to_numpy())[0]
    scaled = series * unit
    mean = scaled.mean()
    std = scaled.std()
    return series.clip((mean - std * n) / unit, (mean + std * n) / unit)


def normalization_at_row_scale(df):
    """normalization of every row times its row unit (z-scores have no unit)."""
    return normalization(df.mul(row_units(df.to_numpy()), axis=0))


def apply_rows(df, func):
    return df.apply(func, axis=1)


def normalization(df):
    return df.sub(df.mean(axis=1), axis=0).div(df.std(axis=1), axis=0).where(lambda x: ~np.isinf(x), 0)


def quiet(func, *args, **kwargs):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)
        return func(*args, **kwargs)


# ----------------------------------------------------------------------------- comparison

def assert_same_values(actual, expected):
    """Same shape and labels, same values bit for bit, NaN where NaN (0.0 == -0.0)."""
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_index_equal(actual.columns, expected.columns)
    pd.testing.assert_index_equal(actual.index, expected.index)
    a = np.asarray(actual, dtype=np.float64)
    e = np.asarray(expected, dtype=np.float64)
    assert a.shape == e.shape
    differ = ~((a == e) | (np.isnan(a) & np.isnan(e)))
    assert not differ.any(), "differ at {}: got {} expected {}".format(
        np.argwhere(differ)[:5].tolist(), a[differ][:5], e[differ][:5])


# ----------------------------------------------------------------------------- random tables

# Cell values: missing, small integers (ties), ordinary floats, wide magnitudes kept
# below 1e300 so that sums of two stay finite, and infinities.
_CELLS = st.one_of(
    st.just(np.nan),
    st.integers(-3, 3).map(float),
    st.floats(-1e3, 1e3, allow_nan=False),
    st.floats(-1e300, 1e300, allow_nan=False),
    st.sampled_from([np.inf, -np.inf]),
)

# Whole-row patterns layered over the random cells.
_ROW_KINDS = st.sampled_from(["as drawn", "as drawn", "as drawn", "all missing", "all equal", "one value"])


@st.composite
def factor_tables(draw, max_rows=6, max_cols=40, cells=_CELLS):
    rows = draw(st.integers(1, max_rows))
    cols = draw(st.integers(1, max_cols))
    values = draw(hnp.arrays(np.float64, (rows, cols), elements=cells))
    for i in range(rows):
        kind = draw(_ROW_KINDS)
        if kind == "all missing":
            values[i] = np.nan
        elif kind == "all equal":
            values[i] = np.where(np.isnan(values[i]), np.nan, draw(st.floats(-1e3, 1e3)))
        elif kind == "one value":
            keep = draw(st.integers(0, cols - 1))
            values[i, np.arange(cols) != keep] = np.nan
    index = pd.date_range("2021-01-04", periods=rows, freq="D")
    columns = ["{:06d}.XSHE".format(j) for j in range(cols)]
    return pd.DataFrame(values, index=index, columns=columns)


def random_table(rng, rows, cols, missing=0.1):
    """A table of fat-tailed values with missing cells at random."""
    values = rng.standard_t(3, size=(rows, cols)) * 10.0 ** rng.integers(-2, 3, size=(rows, 1))
    values[rng.random((rows, cols)) < missing] = np.nan
    index = pd.date_range("2020-01-01", periods=rows, freq="D")
    return pd.DataFrame(values, index=index, columns=["s{}".format(j) for j in range(cols)])
