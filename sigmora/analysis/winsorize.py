"""Clipping of cross-sectional outliers in factor values.

Three bands for one cross-section (a Series, one date across instruments):

- ``winsorize_std``: mean -/+ n sample standard deviations;
- ``winsorize_percentile``: between two percentiles (numpy's linear interpolation);
- ``winsorize_mad``: median -/+ n raw median absolute deviations;

and ``batch_winsorize_mad``, the last one applied to every row of a factor table at
once. Statistics are taken over the present values; missing values stay missing, and a
value outside the band is replaced by the nearest bound.

All of them run in the C++ core, one row for a Series, every row for a table, so a
table clipped row by row or as a whole gives the same bits. The core repeats pandas'
arithmetic (pairwise sums, two-pass variance, numpy's median and quantile formulas), so
the results are those of ``series.mean()``, ``series.std()``, ``series.median()``,
``np.nanpercentile`` and ``series.clip``.
"""

import numbers

import numpy as np
import pandas as pd

from ..exception import InvalidArgument
from .. import _core
from ._arrays import adopt_frame, as_float_vector, float_view

__all__ = [
    "winsorize_std",
    "winsorize_percentile",
    "winsorize_mad",
    "batch_winsorize_mad",
    "winsorize",
    "WINSORIZE_METHODS",
    "BATCH_WINSORIZE_METHODS",
]


def winsorize_std(series, n=3):
    """Clips ``series`` to its mean -/+ ``n`` sample standard deviations.

    With fewer than two present values the deviation is undefined and nothing is
    clipped; an all-equal series comes back unchanged.
    """
    return _clip_series(series, _core.winsorize_std, _as_multiplier(n))


def winsorize_percentile(series, left=0.025, right=0.975):
    """Clips ``series`` to its ``left`` and ``right`` quantiles (fractions of 1).

    The quantiles are those of the present values (``np.nanpercentile``, linear
    interpolation): a cross-section where some instrument is missing is still clipped.
    A series with no present value comes back unchanged.
    """
    q_lower, q_upper = _as_fractions(left, right)
    values = as_float_vector(series, "series")
    clipped = _core.winsorize_percentile(values.reshape(1, -1), q_lower, q_upper)
    return _like_series(clipped[0], series)


def winsorize_mad(series, n=3):
    """Clips ``series`` to its median -/+ ``n`` median absolute deviations.

    The deviation is the raw median of ``|series - median|`` (no normal-consistency
    factor). When more than half of the values are equal it is 0 and every present
    value becomes the median.
    """
    return _clip_series(series, _core.winsorize_mad, _as_multiplier(n))


def batch_winsorize_mad(df, n=3):
    """``winsorize_mad`` applied to every row (date) of the factor table ``df``.

    A row with no present value stays all NaN.
    """
    return _clip_table(df, _core.winsorize_mad, _as_multiplier(n))


def winsorize(series, how):
    """Clips ``series`` with the method named ``how`` (a key of ``WINSORIZE_METHODS``)."""
    if how not in WINSORIZE_METHODS:
        raise InvalidArgument(
            "invalid winsorize method: {}. valid methods: {}".format(how, list(WINSORIZE_METHODS.keys())))
    return WINSORIZE_METHODS[how](series)


WINSORIZE_METHODS = {
    "std": winsorize_std,
    "percentile": winsorize_percentile,
    "mad": winsorize_mad,
    "none": lambda s: s,
}

BATCH_WINSORIZE_METHODS = {"mad": batch_winsorize_mad}


# ----------------------------------------------------------------------------- table forms
#
# The preprocessing step clips whole tables with the per-series methods; these give,
# row for row, exactly what the per-series function gives, in one call to the core.

def _batch_winsorize_std(df, n=3):
    return _clip_table(df, _core.winsorize_std, _as_multiplier(n))


def _batch_winsorize_percentile(df, left=0.025, right=0.975):
    q_lower, q_upper = _as_fractions(left, right)
    return adopt_frame(_core.winsorize_percentile(float_view(df, "df"), q_lower, q_upper), df)


def _pass_through_table(df):
    return df.copy()


def table_form(per_series):
    """The whole-table equivalent of a per-series method, or None when there is none."""
    for func, table_func in _TABLE_FORMS:
        if per_series is func:
            return table_func
    return None


_TABLE_FORMS = (
    (winsorize_std, _batch_winsorize_std),
    (winsorize_percentile, _batch_winsorize_percentile),
    (winsorize_mad, batch_winsorize_mad),
    (WINSORIZE_METHODS["none"], _pass_through_table),
)


# ----------------------------------------------------------------------------- helpers

def _clip_series(series, kernel, n):
    values = as_float_vector(series, "series")
    return _like_series(kernel(values.reshape(1, -1), n)[0], series)


def _clip_table(df, kernel, n):
    return adopt_frame(kernel(float_view(df, "df"), n), df)


def _like_series(values, series):
    return pd.Series(values, index=series.index, name=series.name, copy=False)


def _as_multiplier(n):
    if not isinstance(n, numbers.Real):
        raise TypeError("n: expect a real number, got {!r} of type {}".format(n, type(n).__name__))
    return float(n)


def _as_fractions(left, right):
    # The same conversion and range check as np.nanpercentile on [left*100, right*100].
    q = np.true_divide(np.asarray([left * 100, right * 100], dtype=np.float64), 100)
    if not (np.all(0 <= q) and np.all(q <= 1)):
        raise ValueError("Percentiles must be in the range [0, 100]")
    return float(q[0]), float(q[1])
