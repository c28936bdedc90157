"""Forward returns compounded from a table of one-period returns.

The growth of one unit held from the table's first row is accumulated down the rows
(missing returns count as 0); the return over p rows starting at the close of row t is
growth[t + p] / growth[t] - 1, NaN when row t + p lies beyond the table.
"""

import numpy as np
import pandas as pd

from sigmora import _core
from sigmora.analysis._arrays import as_float_matrix
from sigmora.analysis._base import period_label


def cumulative_growth(returns):
    """Growth of one unit invested at the first row, missing returns counted as 0."""
    return (returns.fillna(0) + 1).cumprod().ffill()


def zero_filled_growth(returns):
    """cumulative_growth(returns) as a C-contiguous float64 array (a missing return counts
    as 0; the portfolio analyses instead skip it, `_portfolio_common.gapped_growth`)."""
    values = as_float_matrix(returns, "returns")
    if not np.isinf(values).any():
        # Same sequential products as the table's cumprod; it only differs once a product
        # turns NaN (inf * 0), which skipna leaves out and the forward fill then covers.
        growth = np.add(values, 1.0)  # NaN stays NaN, and becomes 1 next
        np.copyto(growth, 1.0, where=np.isnan(values))
        del values
        with np.errstate(over="ignore", invalid="ignore"):
            np.cumprod(growth, axis=0, out=growth)
        if not np.isnan(growth).any():
            return growth
    return as_float_matrix(cumulative_growth(returns), "returns")


def forward_returns(returns, dates, periods):
    """Compounded forward returns per holding period.

    :param returns: table of one-period returns (rows: dates, columns: instruments)
    :param dates: the row labels of `returns` to start from (each must be one of its rows)
    :param periods: holding periods, counted in rows of `returns`
    :return: dict from period key ("P_5") to a C-contiguous float64 array with one row per
        entry of `dates` and one column per column of `returns`, keys in the order of
        `periods` (a repeated period keeps its first position)
    """
    rows = returns.index.get_indexer(pd.Index(dates))
    if (rows < 0).any():
        raise ValueError("dates: {} date(s) are not rows of returns".format(int((rows < 0).sum())))
    keys = list(dict.fromkeys(period_label(p) for p in periods))
    if len(returns.columns) and all(dtype == np.float64 for dtype in returns.dtypes):
        # One pass of the core over the table as it lies in memory (its growth table lives
        # only there): the same products, divisions and subtractions.
        firsts = list(dict.fromkeys(periods))
        found = _core.forward_returns(returns.to_numpy(), np.asarray(rows, dtype=np.int64),
                                      np.asarray([int(p) for p in firsts], dtype=np.int64))
        if found is not None:
            return dict(zip(keys, found))
    growth = zero_filled_growth(returns)
    n_rows = len(growth)
    contiguous = len(rows) > 0 and np.array_equal(rows, np.arange(rows[0], rows[0] + len(rows)))
    base = growth[rows[0]:rows[0] + len(rows)] if contiguous else growth.take(rows, axis=0)
    out = {}
    for p in periods:
        key = period_label(p)
        if key in out:
            continue
        target = rows + p
        inside = (target >= 0) & (target < n_rows)
        if contiguous and p >= 0:
            # The common case, consecutive rows: divide views, no gathered copies.
            m = int(inside.sum())
            fwd = np.empty((len(rows), growth.shape[1]))
            with np.errstate(divide="ignore", invalid="ignore"):
                np.divide(growth[rows[0] + p:rows[0] + p + m], base[:m], out=fwd[:m])
            fwd[m:] = np.nan
        else:
            fwd = growth.take(np.clip(target, 0, n_rows - 1), axis=0)
            with np.errstate(divide="ignore", invalid="ignore"):
                np.divide(fwd, base, out=fwd)
            fwd[~inside] = np.nan
        fwd -= 1
        out[key] = fwd
    return out
