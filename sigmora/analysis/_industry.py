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

__all__ = ["get_all_industry_data", "get_all_industry_category", "industry_code_table", "_load_industry_data"]


class MissingClassificationError(ValueError, IndexError):
    """The store holds no record of the classification asked for. (An IndexError too: an
    empty classification has always failed with one.)"""


def missing_classification(source):
    return MissingClassificationError(
        "industry classification {!r}: the store holds no records of it; import them into the store "
        "(tidewell import STORE industry=FILE), choose another source ({}), or leave industries out "
        "(industry=None / industry_classification=None)".format(
            source, " or ".join(s for s in FIELD_MAPPING if s != source)))

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
    df = get_all_industry_data(source).copy()
    field = FIELD_MAPPING[source]
    df[field] = df[field].astype("category").cat.codes
    df = df.pivot(index="start_date", columns="order_book_id", values=field)
    df = df.ffill().bfill()
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
    # The fills run column by column: instruments nobody asked for need none.
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
    df = df.ffill().bfill()
    return df.reindex(columns=order_book_ids, index=dates), names.cat.categories


def _load_industry_data(order_book_ids, dates, source="citics_2019"):
    """Load the industry classification data.

    :return: pd.Series indexed by (datetime, order_book_id) holding industry names
    """
    df, categories = industry_code_table(order_book_ids, dates, source)
    codes = df.stack().dropna()
    return pd.Series(categories.take(codes.to_numpy().astype(np.int64)), index=codes.index,
                     name=codes.name)
