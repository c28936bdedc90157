"""Conversions between labelled pandas tables and the plain arrays the C++ core takes."""

import numpy as np
import pandas as pd


def as_float_matrix(df, name="df"):
    """C-contiguous float64 copy of a table's values (NaN = missing).

    Raises TypeError naming `name` when the table is not a DataFrame or holds values
    that are not numbers; kernels never see anything else.
    """
    if not isinstance(df, pd.DataFrame):
        raise TypeError("{}: expect pd.DataFrame, got {}".format(name, type(df)))
    try:
        values = df.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise TypeError("{}: expect numeric values, {}".format(name, _not_numbers(df))) from exc
    return np.require(values, requirements=["C", "A"])


def _not_numbers(df, shown=3):
    """Where a table holds values that are no number: the columns, and the first cells with their
    row and value (an object column of numbers is fine; only the cells that fail count)."""
    columns, cells = [], []
    for j, (column, dtype) in enumerate(df.dtypes.items()):
        if _is_numeric_dtype(dtype):
            continue
        values = df.iloc[:, j]
        try:
            with np.errstate(all="ignore"):
                failed = pd.to_numeric(values, errors="coerce").isna() & values.notna()
        except (TypeError, ValueError):  # values pandas cannot even try (lists, say)
            failed = values.notna()
        if failed.any():
            columns.append(str(column))
            for row in np.flatnonzero(failed.to_numpy())[:shown - len(cells)]:
                cells.append("{!r} in column {} on {}".format(values.iloc[row], column, df.index[row]))
    if not columns:
        bad = [str(c) for c, t in df.dtypes.items() if not _is_numeric_dtype(t)][:5]
        return "got non-numeric columns {}".format(bad)
    return ("got values that are no number in {} column(s) such as {}: {}; convert them with "
            "df.apply(pd.to_numeric, errors='coerce') to make them missing, or fix them".format(
                len(columns), ", ".join(columns[:5]), ", ".join(cells)))


def as_float_vector(series, name="series"):
    """C-contiguous float64 copy of a Series' values (NaN = missing)."""
    if not isinstance(series, pd.Series):
        raise TypeError("{}: expect pd.Series, got {}".format(name, type(series)))
    try:
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise TypeError("{}: expect numeric values, got dtype {}".format(name, series.dtype)) from exc
    return np.ascontiguousarray(values)


def like_frame(values, df):
    """Wraps a T x N result array in the labels of `df`."""
    return pd.DataFrame(values, index=df.index, columns=df.columns)


def _is_numeric_dtype(dtype):
    return pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_object_dtype(dtype)


def float_view(df, name="df"):
    """A table's values as a read-only float64 array, in whatever memory order pandas
    keeps them, without copying when the table already holds float64 values.

    For kernels that read strided tables; anything else goes through `as_float_matrix`
    (same errors).
    """
    if isinstance(df, pd.DataFrame) and df.shape[1] > 0 and all(t == np.float64 for t in df.dtypes):
        values = df.to_numpy()
        if values.dtype == np.float64:
            # A view into a message's bytes (a table unpickled by a worker) can lie at an odd
            # address, which the core refuses: such values are copied, all others passed as they are.
            return np.require(values, requirements="A")
    return as_float_matrix(df, name)


def adopt_frame(values, df):
    """Wraps a fresh T x N result array in the labels of `df`, taking the array over
    instead of copying it (pandas copies arrays handed to its constructor by default)."""
    return pd.DataFrame(values, index=df.index, columns=df.columns, copy=False)
