"""Industry classification histories in three shapes: the raw records, integer codes by
date and instrument, and industry names for requested instruments and dates.

The records come through the market-data seam; the two whole-classification tables are
kept for three hours (`ttl_cache`), and callers must not modify them.
"""

import numpy as np
import pandas as pd

from tidewell.decorators import ttl_cache

from sigmora.analysis import _market
from sigmora.analysis._base import FIELD_MAPPING

__all__ = ["get_all_industry_data", "get_all_industry_category", "industry_code_table", "_load_industry_data",
           "industry_codes", "category_codes"]


class MissingClassificationError(ValueError, IndexError):
    """The store holds no record of the classification asked for. (An IndexError too: an
    empty classification has always failed with one.)"""


def missing_classification(source):
    return MissingClassificationError(
        "industry classification {!r}: the store holds no records of it; import them into the store "
        "(tidewell import STORE industry_{}=FILE), choose another source ({}), or leave industries out "
        "(industry=None / industry_classification=None; on the command line: --industry none)".format(
            source, source, " or ".join(s for s in FIELD_MAPPING if s != source)))

# Boundaries between the versions of the "sws" classification.
_SWS_VERSION_2_AFTER = pd.Timestamp("2014-01-01")
_SWS_VERSION_3_AFTER = pd.Timestamp("2021-07-31")


@ttl_cache(10800)
def get_all_industry_data(source="citics_2019"):
    field = FIELD_MAPPING.get(source)
    if source == "citics_2019":
        data = _market.industry_records("__internal__zx2019_industry")
        df = pd.DataFrame(data, columns=[field, "order_book_id", "start_date"])
    elif source == "sws":
        data = _market.industry_records("__internal__shenwan_industry")
        df = pd.DataFrame(data, columns=["index_name", "order_book_id", "start_date", "version"])
        # Keep only the records of the classification version in force at their start date.
        df["select"] = 1
        df.loc[df["start_date"] > _SWS_VERSION_2_AFTER, "select"] = 2
        df.loc[df["start_date"] > _SWS_VERSION_3_AFTER, "select"] = 3
        df = df[df["version"] == df["select"]]
    else:
        raise ValueError("source: invalid source={}, expect one of [sws, citics_2019]".format(source))
    df = df.sort_values(["order_book_id", "start_date"], ascending=True)
    return df[[field, "order_book_id", "start_date"]]


@ttl_cache(10800)
def get_all_industry_category(source="citics_2019"):
    """Industry codes (the names' category codes) by classification start date and
    instrument: each instrument's latest record on or before the date, its first record
    before that one starts."""
    df = get_all_industry_data(source)
    field = FIELD_MAPPING[source]
    codes = df[field].astype("category").cat.codes.to_numpy().astype(np.int64)
    starts = pd.Index(df["start_date"])
    ids = pd.Index(df["order_book_id"])
    if len(df) == 0 or pd.MultiIndex.from_arrays([starts, ids]).has_duplicates:
        return _category_by_reshaping(df, field)
    # The table of the reshaping rule (pivot, forward then backward fill), filled with
    # integers: records are numbered 1, 2, ... by instrument and start date, each number is
    # carried down its instrument's column, and the first one also up to the top.
    start_index, start_dates = pd.factorize(starts, sort=True)
    id_index, id_labels = pd.factorize(ids, sort=True)
    order = np.lexsort((start_index, id_index))
    number = np.empty(len(df), dtype=np.int32)
    number[order] = np.arange(1, len(df) + 1, dtype=np.int32)
    carried = np.zeros((len(start_dates), len(id_labels)), dtype=np.int32)
    carried[start_index, id_index] = number
    first = np.full(len(id_labels), np.iinfo(np.int32).max, dtype=np.int32)
    np.minimum.at(first, id_index, number)  # each instrument's first record
    carried[0] = np.maximum(carried[0], first)
    np.maximum.accumulate(carried, axis=0, out=carried)
    code_of_number = np.empty(len(df) + 1, dtype=np.int64)
    code_of_number[0] = -1
    code_of_number[number] = codes
    return pd.DataFrame(code_of_number[carried], index=pd.Index(start_dates, name="start_date"),
                        columns=pd.Index(id_labels, name="order_book_id"), copy=False)


def _category_by_reshaping(df, field):
    """get_all_industry_category through pandas' pivot (which refuses repeated records)."""
    df = df.copy()
    df[field] = df[field].astype("category").cat.codes
    df = df.pivot(index="start_date", columns="order_book_id", values=field)
    df = pd.DataFrame(_filled_both_ways(df.to_numpy()), index=df.index, columns=df.columns)
    return df.astype(int)


def industry_code_table(order_book_ids, dates, source="citics_2019"):
    """The industry of each instrument on each date as integer codes: a dates x
    order_book_ids float table (NaN for an instrument without any record) and the names the
    codes stand for (code k is ``names[k]``, names sorted).

    An instrument keeps its industry until a newer record says otherwise and takes its first
    record's industry before that record starts.
    """
    df = get_all_industry_data(source)
    if len(df) == 0:
        raise missing_classification(source)
    # Reshaping and filling run on integer codes of the names (far cheaper than on text).
    names = df[FIELD_MAPPING[source]].astype("category")
    df = df.assign(**{FIELD_MAPPING[source]: names.cat.codes.astype(np.float64)})
    df = df.pivot(index="start_date", columns="order_book_id", values=FIELD_MAPPING[source])
    # Instruments nobody asked for need no fill.
    df = df[df.columns.intersection(pd.Index(order_book_ids))]
    # An instrument keeps its latest industry until a newer record says otherwise, so the
    # calendar reaches to the last requested date, not only to the last record's start.
    last = df.index[-1]
    requested = pd.DatetimeIndex(dates)
    if len(requested) and requested.max().normalize() > last:
        last = requested.max().normalize()
    trading = pd.DatetimeIndex(pd.to_datetime(_market.trading_dates(df.index[0], last)))
    if len(trading) and df.index[0] < trading[0] and df.index[0] < _market.calendar_start():
        # Records that start before the calendar apply from its first date (a record starting
        # on a non-trading date inside the calendar still has no effect).
        early = df.loc[df.index < trading[0]].ffill().iloc[-1]
        first = df.loc[trading[0]] if trading[0] in df.index else pd.Series(np.nan, index=df.columns)
        df.loc[trading[0]] = first.combine_first(early)
        df = df.sort_index()
    df = df.reindex(trading)
    df = pd.DataFrame(_filled_both_ways(df.to_numpy()), index=df.index, columns=df.columns, copy=False)
    return df.reindex(columns=order_book_ids, index=dates), names.cat.categories


def _filled_both_ways(values):
    """``ffill().bfill()`` of a float table's columns, row by row over a C-ordered copy (pandas'
    fills cost several times this on a table of the calendar by the market)."""
    out = np.array(values, dtype=np.float64, order="C")
    for r in range(1, len(out)):
        np.copyto(out[r], out[r - 1], where=np.isnan(out[r]))
    # What is still missing comes before a column's first value.
    for r in range(len(out) - 2, -1, -1):
        np.copyto(out[r], out[r + 1], where=np.isnan(out[r]))
    return out


def _load_industry_data(order_book_ids, dates, source="citics_2019"):
    """Load the industry classification data.

    :return: pd.Series indexed by (datetime, order_book_id) holding industry names
    """
    df, categories = industry_code_table(order_book_ids, dates, source)
    codes = df.stack().dropna()
    return pd.Series(categories.take(codes.to_numpy().astype(np.int64)), index=codes.index,
                     name=codes.name)


def industry_codes(order_book_ids, dates, source="citics_2019"):
    """The industries `_load_industry_data` gives the pairs of `dates` x `order_book_ids`, as
    integer codes: (codes, names) with codes an int32 array of len(dates) x
    len(order_book_ids) (-1: no industry), numbered in the ascending order of the names in
    use, and those names (an Index). None when dates, instruments or the classification's
    (start date, instrument) pairs repeat: that table's rule then answers (or refuses).

    Built from the records with integer arithmetic (no table of names by date and
    instrument); the rule is the same: a record applies from its start date, if that is a
    trading date (records before the calendar apply from its first date), until the next one;
    an instrument takes its first record before that one starts; a date that is not a trading
    date has no industry.
    """
    df = get_all_industry_data(source)
    if len(df) == 0:
        raise missing_classification(source)
    dates = pd.DatetimeIndex(dates)
    order_book_ids = pd.Index(order_book_ids)
    field = FIELD_MAPPING[source]
    starts = pd.DatetimeIndex(df["start_date"])
    if (dates.has_duplicates or order_book_ids.has_duplicates
            or pd.MultiIndex.from_arrays([starts, df["order_book_id"]]).has_duplicates):
        return None
    names = df[field].astype("category")
    categories = names.cat.categories
    # A record without a name reads as the last category, as the reshaping rule reads it.
    record_code = np.where(names.cat.codes.to_numpy() < 0, len(categories) - 1,
                           names.cat.codes.to_numpy()).astype(np.int64)

    first_start, last = starts.min(), starts.max()
    if len(dates) and dates.max().normalize() > last:
        last = dates.max().normalize()
    trading = pd.DatetimeIndex(pd.to_datetime(_market.trading_dates(first_start, last)))
    column = order_book_ids.get_indexer(df["order_book_id"])
    position = trading.get_indexer(starts)  # the trading date a record starts on, -1: none
    if len(trading) and first_start < trading[0] and first_start < _market.calendar_start():
        # The latest record before the calendar applies from its first date, unless the
        # instrument has one starting on that date.
        early = np.flatnonzero(np.asarray(starts < trading[0]) & (column >= 0))
        latest = pd.Series(early).groupby(column[early]).max().to_numpy() if len(early) else early
        on_first = set(column[(position == 0) & (column >= 0)])
        for r in latest:
            if column[r] not in on_first:
                position[r] = 0
    effective = np.flatnonzero((position >= 0) & (column >= 0))
    effective = effective[np.lexsort((position[effective], column[effective]))]
    shape = (len(dates), len(order_book_ids))
    date_row = trading.get_indexer(dates)  # -1: not a trading date, so no industry
    rows = np.flatnonzero(date_row >= 0)
    used = np.empty(0, dtype=np.int64)
    codes = None
    if len(effective) and len(rows):
        # The wanted trading dates in order. Records are numbered 1, 2, ... by instrument and
        # start (0: none); each marks the first wanted date on or after its start, and a
        # running maximum down the dates carries it to the next record.
        order = rows[np.argsort(date_row[rows], kind="stable")]
        at = np.searchsorted(date_row[order], position[effective], side="left")
        number = np.arange(1, len(effective) + 1, dtype=np.int32)
        carried = np.zeros((len(order) + 1, len(order_book_ids)), dtype=np.int32)
        np.maximum.at(carried, (at, column[effective]), number)
        # Before its first record an instrument takes that record (a backward fill): it
        # holds from the first date on, until the next one.
        held, first_of = np.unique(column[effective], return_index=True)
        carried[0, held] = np.maximum(carried[0, held], number[first_of])
        carried = np.maximum.accumulate(carried[:-1], axis=0)
        # Industries in use, numbered in the order of their names (the categories' order).
        in_use = np.bincount(carried.reshape(-1), minlength=len(effective) + 1)[1:] > 0
        used = np.unique(record_code[effective[in_use]])
        renumber = np.full(len(categories), -1, dtype=np.int32)
        renumber[used] = np.arange(len(used))
        code_of_number = np.concatenate([np.array([-1], dtype=np.int32), renumber[record_code[effective]]])
        if len(order) == len(dates) and np.array_equal(order, np.arange(len(dates))):
            codes = code_of_number[carried]
        else:
            codes = np.full(shape, -1, dtype=np.int32)
            codes[order] = code_of_number[carried]
    if codes is None:
        codes = np.full(shape, -1, dtype=np.int32)
    return codes, pd.Index(categories.take(used))



def category_codes(order_book_ids, index, source="citics_2019"):
    """The codes `get_all_industry_category` gives the rows `index` (ascending timestamps) and
    `order_book_ids`, as an int32 array (-1: none), without building that table: what
    ``table.reindex(columns=order_book_ids, fill_value=-1).reindex(index=index,
    method="ffill").fillna(-1)`` holds. A row takes each instrument's latest record starting
    on or before it, the first record before that one starts, and no code before the
    classification's first start date. None when the index is not ascending or the
    classification's (start date, instrument) pairs repeat: the table then answers.
    """
    df = get_all_industry_data(source)
    index = pd.DatetimeIndex(index)
    starts = pd.DatetimeIndex(df["start_date"])
    if (len(df) == 0 or not index.is_monotonic_increasing
            or pd.MultiIndex.from_arrays([starts, df["order_book_id"]]).has_duplicates):
        return None
    codes = df[FIELD_MAPPING[source]].astype("category").cat.codes.to_numpy().astype(np.int32)
    column = pd.Index(order_book_ids).get_indexer(df["order_book_id"])
    mine = np.flatnonzero(column >= 0)
    out = np.full((len(index), len(order_book_ids)), -1, dtype=np.int32)
    dated = int(index.searchsorted(starts.min(), side="left"))  # rows from the first start on
    if len(mine) == 0 or dated == len(index):
        return out
    # Records numbered 1, 2, ... by instrument and start; each marks the first row on or
    # after its start, the first one also the top row (a backward fill), and a running
    # maximum carries them down.
    mine = mine[np.lexsort((starts.asi8[mine], column[mine]))]
    number = np.arange(1, len(mine) + 1, dtype=np.int32)
    rows = index[dated:]
    at = rows.searchsorted(starts[mine], side="left")
    carried = np.zeros((len(rows) + 1, len(order_book_ids)), dtype=np.int32)
    np.maximum.at(carried, (at, column[mine]), number)
    held, first_of = np.unique(column[mine], return_index=True)
    carried[0, held] = np.maximum(carried[0, held], number[first_of])
    np.maximum.accumulate(carried, axis=0, out=carried)
    code_of_number = np.concatenate([np.array([-1], dtype=np.int32), codes[mine]])
    out[dated:] = code_of_number[carried[:-1]]
    return out
