"""Calls on what could be traded: special treatment, trading status, listing age and index
membership, each as a dates x ids table.

Every table here has the same shape: one row per trading date of the store's calendar from
``start_date`` to ``end_date`` (index "date"), one column per requested id, sorted and unique
(columns "order_book_id"); ids the store does not know keep their column.  They are built from
a few small reads (spells, the days that were not traded freely, the instruments table) without
reading the bars themselves, so that a whole market over ten years takes a fraction of a second.

Limit prices themselves are fields of ``get_price`` ("limit_up", "limit_down").  The rules
they follow are in ``tidewell.limits`` and ``SCHEMA.md``.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from .api import _calendar_window, _ids, _store_
from .protocol import require_operation

__all__ = ["STATUS", "get_st_spells", "is_st", "trading_status", "listed_days", "index_membership"]

#: Codes of ``trading_status``.
STATUS = {
    "no_data": -2,      # a date before the store's first bar or after its last
    "not_listed": -1,   # before listing, from delisting on, or an id the store does not know
    "traded": 0,
    "suspended": 1,     # listed, without a bar
    "limit_up": 2,      # the bar closes at its upper limit price
    "limit_down": 3,    # the bar closes at its lower limit price
}


def _frame(values, dates, ids):
    out = pd.DataFrame(values, index=dates, columns=pd.Index(ids, name="order_book_id"), copy=False)
    out.index.name = "date"
    return out


def _window(order_book_ids, start_date, end_date):
    """(store, sorted ids, trading dates of the window, calendar, first position)."""
    ids, _ = _ids(order_book_ids)
    st = _store_()
    cal = st.calendar()
    if len(cal) == 0:
        raise ValueError("tidewell store {} has an empty trading calendar".format(st.path))
    start, end, j0, j1 = _calendar_window(start_date, end_date, cal)
    return st, ids, start, end, cal, int(j0), int(j1)


def _spell_grid(n_dates, n_ids, col, first, stop):
    """Bool (dates x ids): True in column ``col[s]`` from row ``first[s]`` to ``stop[s] - 1``
    (rows clipped to the table), for every spell ``s``.  Column-major, so that each spell fills
    a contiguous run and pandas takes the array without a copy."""
    grid = np.zeros((n_dates, n_ids), dtype=bool, order="F")
    first = np.clip(first, 0, n_dates)
    stop = np.clip(stop, 0, n_dates)
    for c, a, b in zip(col.tolist(), first.tolist(), stop.tolist()):
        if b > a:
            grid[a:b, c] = True
    return grid


def _positions(cal, when, j0, fill):
    """Row of each date of ``when`` in the window starting at calendar position ``j0``: the
    first trading date on or after it; ``fill`` for NaT."""
    values = pd.DatetimeIndex(when)
    pos = cal.searchsorted(values, "left").astype(np.int64) - j0
    return np.where(values.isna(), fill, pos)


# -- special treatment -----------------------------------------------------------------------
def get_st_spells(order_book_ids=None) -> pd.DataFrame:
    """Special-treatment spells: columns order_book_id, start_date, end_date (NaT: still under
    special treatment; the spell holds up to the day before end_date) and kind ("ST", "*ST"),
    sorted.  ``order_book_ids`` None: every instrument's."""
    ids = None if order_book_ids is None else _ids(order_book_ids)[0]
    st = _store_()
    return require_operation(st, "st_spells")(ids).reset_index(drop=True)


def is_st(order_book_ids, start_date=None, end_date=None) -> pd.DataFrame:
    """Whether each stock is under special treatment (ST or *ST) on each trading date: a bool
    dates x ids table (see the module docstring)."""
    st, ids, start, end, cal, j0, j1 = _window(order_book_ids, start_date, end_date)
    spells = require_operation(st, "st_spells")(ids)
    dates = cal[j0:j1]
    col = pd.Index(ids).get_indexer(spells["order_book_id"])
    known = col >= 0
    grid = _spell_grid(len(dates), len(ids), col[known],
                       _positions(cal, spells["start_date"], j0, 0)[known],
                       _positions(cal, spells["end_date"], j0, len(dates))[known])
    return _frame(grid, dates, ids)


# -- trading status ----------------------------------------------------------------------------
def _listed_rows(st, ids, cal, j0, n_dates):
    """Per id: the row of the window it lists on (negative: before the window) and the row it
    is delisted on (beyond the window: never); unknown ids are never listed."""
    table = st.instruments()
    at = table.index.get_indexer(pd.Index(ids, dtype=object))
    known = at >= 0
    first = np.full(len(ids), n_dates, dtype=np.int64)
    stop = np.full(len(ids), n_dates, dtype=np.int64)
    if known.any():
        first[known] = _positions(cal, table["listed_date"].to_numpy()[at[known]], j0, n_dates)
        stop[known] = _positions(cal, table["de_listed_date"].to_numpy()[at[known]], j0, 1 << 40)
    return first, stop


def _outside_listing(grid, first, stop, value):
    """Sets ``value`` in each column's rows before its listing row and from its delisting row
    (column-major ``grid``: one contiguous run per such column)."""
    n = grid.shape[0]
    for c in np.flatnonzero((first > 0) | (stop < n)).tolist():
        grid[:max(0, min(int(first[c]), n)), c] = value
        if stop[c] < n:
            grid[max(0, int(stop[c])):, c] = value


def trading_status(order_book_ids, start_date=None, end_date=None) -> pd.DataFrame:
    """How each instrument traded on each trading date: an int8 dates x ids table of the codes
    of ``STATUS`` (0 traded freely, 1 suspended, 2 closed at its upper limit price, 3 at its
    lower, -1 not listed, -2 a date outside the store's bars)."""
    st, ids, start, end, cal, j0, j1 = _window(order_book_ids, start_date, end_date)
    dates = cal[j0:j1]
    n = len(dates)
    grid = np.zeros((n, len(ids)), dtype=np.int8, order="F")
    if n == 0 or not ids:
        return _frame(grid, dates, ids)
    k, j, code = require_operation(st, "fetch_status")(ids, start, end)
    inside = (j >= 0) & (j < n)
    grid[j[inside], k[inside]] = code[inside]
    first, stop = _listed_rows(st, ids, cal, j0, n)
    _outside_listing(grid, first, stop, STATUS["not_listed"])
    lo, hi = require_operation(st, "bar_span")()
    if lo is None:
        grid[:] = STATUS["no_data"]
    else:
        grid[:max(0, int(cal.searchsorted(lo, "left")) - j0)] = STATUS["no_data"]
        grid[max(0, int(cal.searchsorted(hi, "right")) - j0):] = STATUS["no_data"]
    return _frame(grid, dates, ids)


def listed_days(order_book_ids, start_date=None, end_date=None) -> pd.DataFrame:
    """Listing age: the trading dates each stock had been listed before each date (0 on its
    listing date, 1 on the next trading date, ...), a float dates x ids table; NaN before
    listing, from delisting on and for unknown ids.  Sessions are those of the store's calendar
    (weekdays stand in for them before the calendar's first date)."""
    st, ids, start, end, cal, j0, j1 = _window(order_book_ids, start_date, end_date)
    dates = cal[j0:j1]
    n = len(dates)
    first, stop = _listed_rows(st, ids, cal, j0, n)
    # a listing date before the window gives a negative first row: ages count from it; one
    # before the calendar begins counts the weekdays before the calendar as sessions
    origin = first.astype(np.float64)
    table = st.instruments()
    at = table.index.get_indexer(pd.Index(ids, dtype=object))
    listed = table["listed_date"].to_numpy()[np.maximum(at, 0)].astype("datetime64[D]")
    early = (at >= 0) & (listed < np.datetime64(cal[0].date(), "D"))
    origin[early] -= np.busday_count(listed[early], np.datetime64(cal[0].date(), "D"))
    age = np.empty((n, len(ids)), dtype=np.float64, order="F")
    np.subtract(np.arange(n, dtype=np.float64)[:, None], origin[None, :], out=age)
    _outside_listing(age, first, stop, np.nan)
    return _frame(age, dates, ids)


# -- index membership --------------------------------------------------------------------------
def index_membership(index_id, start_date=None, end_date=None, order_book_ids=None) -> pd.DataFrame:
    """Whether each instrument is a member of the index ``index_id`` on each trading date: a bool
    dates x ids table (spells ``in_date <= date < out_date``).  ``order_book_ids`` None: the
    columns are every instrument that is a member on some date of the window."""
    if not isinstance(index_id, str):
        raise ValueError("index_id: expect an index id such as '000300.XSHG', got {!r}".format(index_id))
    st = _store_()
    cal = st.calendar()
    if len(cal) == 0:
        raise ValueError("tidewell store {} has an empty trading calendar".format(st.path))
    start, end, j0, j1 = _calendar_window(start_date, end_date, cal)
    j0, j1 = int(j0), int(j1)
    dates = cal[j0:j1]
    spells = require_operation(st, "index_spells")(index_id)
    first = _positions(cal, spells["in_date"], j0, 0)
    stop = _positions(cal, spells["out_date"], j0, len(dates))
    if order_book_ids is None:
        inside = (np.minimum(stop, len(dates)) > np.maximum(first, 0))
        ids = sorted(set(spells["order_book_id"][inside]))
    else:
        ids, _ = _ids(order_book_ids)
    col = pd.Index(ids).get_indexer(spells["order_book_id"])
    known = col >= 0
    grid = _spell_grid(len(dates), len(ids), col[known], first[known], stop[known])
    return _frame(grid, dates, ids)

