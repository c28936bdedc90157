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
        bad = [str(c) for c, t in df.dtypes.items() if not _is_numeric_dtype(t)][:5]
        raise TypeError("{}: expect numeric values, got non-numeric columns {}".format(name, bad)) from exc
    return np.ascontiguousarray(values)


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
