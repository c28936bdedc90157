"""Per-date least-squares residuals.

    >>> residuals = calc_residuals(endog, exog)   # endog: T x N, exog: T x N x K

Row t of the result holds the residuals of the regression of ``endog[t]`` on the N x K
design ``exog[t]``, without a constant, over the instruments whose value and regressors
are all finite; every other cell is NaN. Rank-deficient designs (zero or collinear
columns, fewer instruments than regressors) give the projection onto the complement of
the column space, with the rank decided from singular values as ``numpy.linalg.lstsq``
decides it, on columns first scaled to comparable norms.
"""

import numpy as np

from sigmora import _core

__all__ = ["calc_residuals"]


def _as_float_array(values, name):
    try:
        return np.ascontiguousarray(values, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError("{}: expect an array of numbers, got {}".format(name, type(values))) from exc


def calc_residuals(endog, exog):
    """Residuals of each date's regression of `endog` (T x N) on `exog` (T x N x K).

    Returns a T x N float64 array; NaN where the value or any regressor is missing (NaN or
    infinite), and on dates without a single complete instrument. With K = 0 the
    residuals are the finite values of `endog`.
    """
    endog = _as_float_array(endog, "endog")
    exog = _as_float_array(exog, "exog")
    if endog.ndim != 2 or exog.ndim != 3 or exog.shape[:2] != endog.shape:
        raise ValueError("calc_residuals: expect endog of shape (T, N) and exog of shape (T, N, K), "
                         "got endog {} and exog {}".format(endog.shape, exog.shape))
    return _core.ols_residuals(endog, exog)
