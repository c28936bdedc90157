"""Factor tables read from files: one file, or the files of a folder, checked against the store."""

import os
import warnings

import pandas as pd

from sigmora.cli.errors import UsageError
from sigmora.cli.options import date_option

__all__ = ["FACTOR_FILE_SUFFIXES", "read_factor_file", "factor_files", "factor_from_file", "known_columns"]

FACTOR_FILE_SUFFIXES = (".csv", ".parquet", ".pq")


def read_factor_file(path):
    """A factor table from CSV (first column dates, header ids) or Parquet (a DatetimeIndex, or a
    "date"/"datetime" column).  Raises UsageError naming the problem."""
    if not os.path.isfile(path):
        raise UsageError("FACTOR_FILE: no such file: {}".format(path))
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext == ".csv":
            table = pd.read_csv(path, index_col=0)
        elif ext in (".parquet", ".pq"):
            table = pd.read_parquet(path)
            for col in ("datetime", "date"):
                if not isinstance(table.index, pd.DatetimeIndex) and col in table.columns:
                    table = table.set_index(col)
        else:
            raise UsageError("FACTOR_FILE: expect a .csv or .parquet file, got {}".format(path))
    except UsageError:
        raise
    except Exception as exc:  # the readers' own errors name the problem; keep their text
        raise UsageError("FACTOR_FILE: cannot read {}: {}".format(path, exc)) from None
    if table.empty:
        raise UsageError("FACTOR_FILE: {} holds no factor values".format(path))
    try:
        with warnings.catch_warnings():  # pandas warns when it has to guess the date format
            warnings.simplefilter("ignore", UserWarning)
            index = pd.DatetimeIndex(pd.to_datetime(table.index)).as_unit("ns")
    except (ValueError, TypeError):
        raise UsageError("FACTOR_FILE: the first column of {} must hold dates, got values such as {!r}".format(
            path, table.index[0])) from None
    if index.hasnans:
        raise UsageError("FACTOR_FILE: {} has rows without a date".format(path))
    if index.has_duplicates:
        raise UsageError("FACTOR_FILE: {} has repeated dates, e.g. {}".format(
            path, index[index.duplicated()][0].date()))
    bad = [c for c in table.columns if not pd.api.types.is_numeric_dtype(table[c])]
    if bad:
        raise UsageError("FACTOR_FILE: expect numeric factor values, columns {} of {} are not".format(
            [str(c) for c in bad[:5]], path))
    table = table.astype(float)
    table.index = index
    table.columns = [str(c) for c in table.columns]
    table.index.name, table.columns.name = "date", "order_book_id"
    return table.sort_index()


def factor_from_file(path, args):
    """The factor table of ``path`` within the --start/--end window."""
    factor = read_factor_file(path)
    if args.start:
        factor = factor.loc[date_option(args.start, "--start"):]
    if args.end:
        factor = factor.loc[:date_option(args.end, "--end")]
    if factor.empty:
        raise UsageError("--start/--end: no rows of FACTOR_FILE are left in the window ({})".format(path))
    return factor


def known_columns(table, err):
    """``table`` without the columns that are no instrument of the current store (said on ``err``)."""
    from sigmora.analysis import _market
    known = set(_market.all_instruments()["order_book_id"])
    unknown = [c for c in table.columns if c not in known]
    if len(unknown) == len(table.columns):
        raise UsageError("FACTOR_FILE: none of its {} columns is an instrument of the store "
                         "(e.g. {!r})".format(len(unknown), unknown[0]))
    if unknown:
        print("sigmora: {} of {} columns are not instruments of the store and are left out: {}{}".format(
            len(unknown), len(table.columns), ", ".join(unknown[:5]), " ..." if len(unknown) > 5 else ""),
            file=err)
    return table.drop(columns=unknown)


def factor_files(paths):
    """The factor files named, a folder standing for the factor files directly inside it."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = sorted(os.path.join(path, f) for f in os.listdir(path) if f.lower().endswith(FACTOR_FILE_SUFFIXES))
            if not found:
                raise UsageError("FACTOR_FILES: the folder {} holds no .csv or .parquet file".format(path))
            files += found
        else:
            files.append(path)
    names = [os.path.splitext(os.path.basename(f))[0] for f in files]
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise UsageError("FACTOR_FILES: two files give the factor name {!r}; rename one".format(repeated[0]))
    return dict(zip(names, files))
