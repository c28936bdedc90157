"""Shared preparation of the portfolio analyses: lagged factor values and each
instrument's running growth, as plain arrays for the C++ core."""

import numpy as np
import pandas as pd

from sigmora import _core
from sigmora.analysis._arrays import as_float_matrix, float_view


def lagged_values(factor_data):
    """The factor table's values shifted down one row (the first row all missing): the
    value used on a date is the previous row's."""
    values = float_view(factor_data, "factor_data")
    lagged = np.empty(values.shape)
    lagged[:1] = np.nan
    lagged[1:] = values[:-1]
    return lagged


def gapped_growth(returns, index, columns):
    """Running product of one plus each instrument's returns down the return table's rows
    (a missing return stays missing and does not break the product), on the given dates
    and instruments (missing ones are NaN). Forward returns count a missing return as 0
    instead (`_forward_returns.zero_filled_growth`)."""
    values = float_view(returns, "returns")
    growth = _core.portfolio_growth(values)  # read in place, in any memory order
    if returns.index.equals(index) and returns.columns.equals(columns):
        return growth
    table = pd.DataFrame(growth, index=returns.index, columns=returns.columns, copy=False)
    return as_float_matrix(table.reindex(index, columns=columns), "returns")


def running_product(values, axis=0):
    """Running product along `axis` that skips missing values: they stay missing at their
    own place and the product goes on past them. Works in place on `values`."""
    missing = np.isnan(values)
    values[missing] = 1.0
    with np.errstate(invalid="ignore", over="ignore"):  # infinite values behave as in pandas
        np.cumprod(values, axis=axis, out=values)
    values[missing] = np.nan
    return values


def compound(daily, axis):
    """Cumulative return from daily returns along `axis`; a missing day keeps its place
    and the compounding goes on past it."""
    return running_product(daily + 1.0, axis=axis) - 1.0
