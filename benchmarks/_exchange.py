"""Tables handed between benchmark processes as .npy files (values, dates, column labels).

Only numpy and pandas are needed, so the same code runs in the alphalens virtual environment.
The binary files are read straight into the arrays the tables wrap (no parsing, no copy).
"""

import os

import numpy as np
import pandas as pd


def save_tables(directory, **tables):
    for name, table in tables.items():
        np.save(os.path.join(directory, name + ".values.npy"), table.to_numpy(dtype=np.float64))
        np.save(os.path.join(directory, name + ".index.npy"), table.index.values.astype("datetime64[ns]"))
        np.save(os.path.join(directory, name + ".columns.npy"), np.asarray(table.columns, dtype=str))


def read_table(directory, name, index_name="datetime", columns_name="order_book_id"):
    """A table saved by `save_tables`; by default with the axis names the engine gives them."""
    values = np.load(os.path.join(directory, name + ".values.npy"))
    index = pd.DatetimeIndex(np.load(os.path.join(directory, name + ".index.npy")), name=index_name)
    columns = pd.Index(np.load(os.path.join(directory, name + ".columns.npy")).astype(object),
                       name=columns_name)
    return pd.DataFrame(values, index=index, columns=columns, copy=False)
