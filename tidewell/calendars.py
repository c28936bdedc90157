"""The exchange calendar a store takes when it has none of its own.

``sessions(start, end)`` gives the Shanghai Stock Exchange's trading sessions ("XSHG" of the
``exchange_calendars`` package; Shenzhen and Beijing keep the same days) between two dates.
``exchange_calendars`` records the holidays of a limited span of years (1990-12 to the end of
2026 in version 4.13); before that span there are no sessions, after it the weekdays are taken,
since the holidays of years not yet announced cannot be known.

``span_for(first, last)`` is the span a store's calendar covers: from a month before its first
date to a year after its last, so that forward windows after the last bar find their dates.
"""

from __future__ import annotations

import functools
import warnings

import numpy as np
import pandas as pd

__all__ = ["sessions", "span_for", "CALENDAR", "bounds"]

CALENDAR = "XSHG"
BEFORE = pd.Timedelta(days=31)
AFTER = pd.Timedelta(days=366)


@functools.lru_cache(maxsize=1)
def _all_sessions():
    import exchange_calendars as xc
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # exchange_calendars' own pandas deprecations
        probe = xc.get_calendar(CALENDAR)
        lo, hi = probe.bound_min(), probe.bound_max()
        cal = xc.get_calendar(CALENDAR, start=lo.strftime("%Y-%m-%d"), end=hi.strftime("%Y-%m-%d"))
        s = cal.sessions
    s = s.tz_localize(None) if s.tz is not None else s
    idx = pd.DatetimeIndex(np.asarray(s, dtype="datetime64[ns]"))
    return idx, pd.Timestamp(lo).tz_localize(None) if pd.Timestamp(lo).tzinfo else pd.Timestamp(lo), \
        pd.Timestamp(hi).tz_localize(None) if pd.Timestamp(hi).tzinfo else pd.Timestamp(hi)


def bounds():
    """(first, last) dates whose sessions ``exchange_calendars`` knows."""
    _, lo, hi = _all_sessions()
    return lo.normalize(), hi.normalize()


def sessions(start, end) -> pd.DatetimeIndex:
    """Trading dates from ``start`` to ``end`` (both included), ascending, naive midnight."""
    start, end = pd.Timestamp(start).normalize(), pd.Timestamp(end).normalize()
    known, lo, hi = _all_sessions()
    out = known[(known >= start) & (known <= end)]
    if end > hi:
        extra = pd.bdate_range(max(start, hi.normalize() + pd.Timedelta(days=1)), end)
        out = out.append(pd.DatetimeIndex(np.asarray(extra, dtype="datetime64[ns]")))
    return pd.DatetimeIndex(np.asarray(out, dtype="datetime64[ns]"))


def span_for(first, last):
    """(start, end) of the calendar a store with data from ``first`` to ``last`` takes."""
    return pd.Timestamp(first).normalize() - BEFORE, pd.Timestamp(last).normalize() + AFTER
