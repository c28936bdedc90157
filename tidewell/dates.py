"""Date coercion: every date that enters tidewell goes through here.

Accepted: "YYYY-MM-DD" (or any text pandas parses, e.g. "20190102"), ``datetime.date``,
``datetime.datetime``, ``pandas.Timestamp``, ``numpy.datetime64`` and 8-digit integers such as
20190102.  Returned: a naive ``pandas.Timestamp`` (time zone dropped).  ``to_date`` also drops the
time of day, giving midnight; dates leave tidewell in that one representation everywhere.
"""

from __future__ import annotations

import datetime as _dt
import numbers

import numpy as np
import pandas as pd

UNIT = "ns"


def to_timestamp(value, name: str = "date") -> pd.Timestamp:
    """``value`` as a naive ``pd.Timestamp`` (time of day kept); ``ValueError`` naming ``name``."""
    if value is None or isinstance(value, (bool, np.bool_)):
        raise ValueError("{}: expect a date, got {!r}".format(name, value))
    try:
        if isinstance(value, numbers.Integral):
            text = str(int(value))
            if len(text) != 8:
                raise ValueError
            ts = pd.Timestamp(text)
        elif isinstance(value, (str, _dt.date, np.datetime64, pd.Timestamp)):
            ts = pd.Timestamp(value)
        else:
            raise ValueError
    except (ValueError, TypeError, OverflowError):
        raise ValueError("{}: cannot interpret {!r} as a date".format(name, value)) from None
    if ts is pd.NaT or pd.isna(ts):
        raise ValueError("{}: expect a date, got {!r}".format(name, value))
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    return ts.as_unit(UNIT)


def to_date(value, name: str = "date") -> pd.Timestamp:
    """``value`` as a naive ``pd.Timestamp`` at midnight."""
    return to_timestamp(value, name).normalize()


def check_range(start: pd.Timestamp, end: pd.Timestamp,
                start_name: str = "start_date", end_name: str = "end_date") -> None:
    if start > end:
        raise ValueError("{}: {} is after {} {}".format(start_name, _text(start), end_name, _text(end)))


def _text(ts: pd.Timestamp) -> str:
    return ts.strftime("%Y-%m-%d") if ts == ts.normalize() else str(ts)


def to_index(values) -> pd.DatetimeIndex:
    """An array of dates from the store as a ``DatetimeIndex`` in tidewell's unit."""
    idx = pd.DatetimeIndex(np.asarray(values, dtype="datetime64[ns]"))
    return idx
