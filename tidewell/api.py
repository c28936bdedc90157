"""The public calls of tidewell (the calls the sigmora pipeline makes), answered from the selected store.

Each call checks its arguments, asks the store through the operations of the store protocol
(``protocol.MarketStore``) and shapes the answers into the documented tables; no SQL here.
``_store_()`` is the one place that chooses the store: the object given to ``use_store`` inside
its block, otherwise the DuckDB file selected with ``init`` / ``using`` (the default demo store
when none is).
"""

from __future__ import annotations

import contextlib
import numbers
import os
import threading
from dataclasses import dataclass, asdict
from typing import Dict, List, NamedTuple, Optional, Tuple

import numpy as np
import pandas as pd

from . import dates as _dates
from . import schema as _schema
from . import store as _store
from .decorators import clear_all_caches
from .protocol import MarketStore, missing_operations, missing_table_error

__all__ = [
    "init", "using", "use_store", "current_path", "get_trading_dates", "get_previous_trading_date",
    "get_next_trading_date", "get_price", "instruments", "all_instruments",
    "get_style_factor_exposure", "get_signal", "Instrument", "index_components", "get_factor",
    "factor_names", "get_price_table", "get_daily_cells", "get_daily_grids", "Cells", "WIDE_DATASETS",
]

# "path": the DuckDB file selected by init (None: the default demo store);
# "store": a store object selected by use_store, which takes precedence while it is set.
_STATE = {"path": None, "store": None}
_STATE_LOCK = threading.RLock()

FREQUENCIES = ("1d", "1m", "tick")
ADJUST_TYPES = ("none", "pre", "post")
_TIME_LEVEL = {"1d": "date", "1m": "datetime", "tick": "datetime"}


# -- selecting the store ---------------------------------------------------------------------
def init(path=None):
    """Select the store that every call reads; ``None`` selects the default demo store.

    Returns the previous selection (a path, or None for the default), so that
    ``prev = init(p); ...; init(prev)`` restores it.  Every ``ttl_cache`` in the process is
    cleared when the selection changes, since cached results belong to the store they came from.
    """
    if path is not None:
        path = os.fspath(path)
        if not os.path.exists(path):
            raise FileNotFoundError("tidewell store not found: {} (build one with "
                                    "`tidewell build-demo` or `tidewell import`)".format(path))
        _store.check_selectable(path)
    with _STATE_LOCK:
        previous = _STATE["path"]
        _STATE["path"] = path
    if previous != path:
        clear_all_caches()
    return previous


@contextlib.contextmanager
def using(path):
    """Context manager: read ``path`` inside the block, then restore the previous selection."""
    previous = init(path)
    try:
        yield path
    finally:
        init(previous)


def current_path() -> str:
    """Path of the selected store; the default demo store is built here on first use."""
    with _STATE_LOCK:
        path = _STATE["path"]
    if path is None:
        from .home import ensure_default_store
        path = ensure_default_store()
    return path


@contextlib.contextmanager
def use_store(store: MarketStore):
    """Context manager: answer every call (in every thread, like ``init``) from ``store``
    inside the block.

    ``store`` is any implementation of the store protocol (``tidewell.protocol.MarketStore``),
    for example one over data held in memory; a DuckDB file is selected with ``init`` / ``using``
    instead.  Inside the block ``use_store`` takes precedence over the path selection (which
    ``init``, ``using`` and ``current_path`` still set and report); blocks nest, and every
    ``ttl_cache`` is cleared on entering and on leaving, as when ``init`` changes the selection.
    """
    missing = missing_operations(store)
    if missing:
        raise TypeError("use_store: expect a store (tidewell.protocol.MarketStore), {!r} lacks {}"
                        .format(store, ", ".join(missing)))
    with _STATE_LOCK:
        previous = _STATE["store"]
        _STATE["store"] = store
    if previous is not store:
        clear_all_caches()
    try:
        yield store
    finally:
        with _STATE_LOCK:
            _STATE["store"] = previous
        if previous is not store:
            clear_all_caches()


def _store_() -> MarketStore:
    """The store the calls read: the one of ``use_store`` if set, else the selected DuckDB file."""
    with _STATE_LOCK:
        store = _STATE["store"]
    if store is not None:
        return store
    return _store.open_store(current_path(), read_only=True)


# -- argument helpers ------------------------------------------------------------------------
def _ids(order_book_ids, name="order_book_ids"):
    """(sorted unique ids, was a single id given)."""
    if isinstance(order_book_ids, str):
        return [order_book_ids], True
    if order_book_ids is None:
        raise ValueError("{}: expect an order_book_id or a list of them, got None".format(name))
    try:
        ids = list(order_book_ids)
    except TypeError:
        raise ValueError("{}: expect an order_book_id or a list of them, got {!r}".format(
            name, order_book_ids)) from None
    for i in ids:
        if not isinstance(i, str):
            raise ValueError("{}: expect order_book_id strings, got {!r}".format(name, i))
    return sorted(set(ids)), False


def _choice(value, allowed, name):
    if value not in allowed:
        raise ValueError("{}: expect one of {}, got {!r}".format(name, list(allowed), value))
    return value


def _fields(fields, allowed, name="fields", context=""):
    single = isinstance(fields, str)
    if fields is None:
        return list(allowed), False
    lst = [fields] if single else list(fields)
    if not lst:
        raise ValueError("{}: expect at least one field".format(name))
    for f in lst:
        if f not in allowed:
            raise ValueError("{}: unknown field {!r}{}, expect some of {}".format(
                name, f, context, list(allowed)))
    seen = []
    for f in lst:
        if f not in seen:
            seen.append(f)
    return seen, single


def _first_unknown(fields, allowed):
    """The first of ``fields`` (a name, list or tuple) not in ``allowed``; None if none is."""
    lst = [fields] if isinstance(fields, str) else fields if isinstance(fields, (list, tuple)) else []
    return next((f for f in lst if isinstance(f, str) and f not in allowed), None)


def _date_range(start_date, end_date, cal):
    start = _dates.to_date(start_date, "start_date") if start_date is not None else cal[0]
    end = _dates.to_date(end_date, "end_date") if end_date is not None else cal[-1]
    _dates.check_range(start, end)
    return start, end


def _calendar_window(start_date, end_date, cal):
    """(start, end, j0, j1): the checked dates and the calendar positions [j0, j1) they span."""
    start, end = _date_range(start_date, end_date, cal)
    return start, end, cal.searchsorted(start, "left"), cal.searchsorted(end, "right")


def _positive_int(n, name="n"):
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, numbers.Integral) or n < 1:
        raise ValueError("{}: expect a positive integer, got {!r}".format(name, n))
    return int(n)


# -- trading calendar ------------------------------------------------------------------------
def get_trading_dates(start_date, end_date):
    """Trading dates from ``start_date`` to ``end_date`` (both included), ascending.

    A ``pd.DatetimeIndex`` of naive midnight timestamps; empty when none are stored in range.
    """
    cal = _store_().calendar()
    start = _dates.to_date(start_date, "start_date")
    end = _dates.to_date(end_date, "end_date")
    _dates.check_range(start, end)
    j0 = cal.searchsorted(start, "left")
    j1 = cal.searchsorted(end, "right")
    return cal[j0:j1]


def get_previous_trading_date(date, n=1):
    """The ``n``-th trading date strictly before ``date`` (a ``pd.Timestamp``)."""
    n = _positive_int(n)
    d = _dates.to_date(date, "date")
    cal = _store_().calendar()
    if len(cal) == 0 or d > cal[-1] + pd.Timedelta(days=1):
        raise ValueError("date: {} lies after the stored trading calendar ({} to {})".format(
            d.date(), *_cal_span(cal)))
    pos = cal.searchsorted(d, "left") - n
    if pos < 0:
        raise ValueError("date: no trading date {} before {} in the stored calendar ({} to {})".format(
            n, d.date(), *_cal_span(cal)))
    return cal[pos]


def get_next_trading_date(date, n=1):
    """The ``n``-th trading date strictly after ``date`` (a ``pd.Timestamp``)."""
    n = _positive_int(n)
    d = _dates.to_date(date, "date")
    cal = _store_().calendar()
    if len(cal) == 0 or d < cal[0] - pd.Timedelta(days=1):
        raise ValueError("date: {} lies before the stored trading calendar ({} to {})".format(
            d.date(), *_cal_span(cal)))
    pos = cal.searchsorted(d, "right") + n - 1
    if pos >= len(cal):
        raise ValueError("date: no trading date {} after {} in the stored calendar ({} to {})".format(
            n, d.date(), *_cal_span(cal)))
    return cal[pos]


def _cal_span(cal):
    if len(cal) == 0:
        return ("empty", "empty")
    return (cal[0].date(), cal[-1].date())


# -- prices ----------------------------------------------------------------------------------
def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None,
              adjust_type="pre", expect_df=True):
    """Bars of one or more instruments.

    Parameters
    ----------
    order_book_ids : str or list of str
    start_date, end_date : dates (None: the store's first / last date).  For "1m" and "tick"
        a date without time of day covers the whole day; a datetime bounds exactly.
    frequency : "1d", "1m" or "tick"
    fields : a field name or a list of them; None: all fields of the frequency
        ("1d"/"1m": open, high, low, close, volume, total_turnover; "tick": last, volume).
        "1d" also gives, when named, each bar's limit prices "limit_up" and "limit_down"
        (imported, else derived from the previous close and the board's rule; NaN: no limit;
        adjusted like the prices).
    adjust_type : "none", "pre" (default) or "post".  post = raw * cumulative adjustment factor
        since listing; pre = raw * factor / latest stored factor.  Volumes are not adjusted.
    expect_df : True (default): always a DataFrame indexed by (order_book_id, date) for "1d" or
        (order_book_id, datetime) otherwise, one column per field.  False: a single id given as
        text drops the id level and a single field given as text gives a Series.

    Returns None when nothing matches.
    """
    ids, single_id = _ids(order_book_ids)
    _choice(frequency, FREQUENCIES, "frequency")
    if adjust_type is None:
        adjust_type = "none"
    _choice(adjust_type, ADJUST_TYPES, "adjust_type")
    allowed = _schema.price_fields(frequency)
    if fields is not None and frequency == "1d":
        allowed = allowed + LIMIT_FIELDS
    flist, single_field = _fields(fields, allowed, context=" for frequency {!r}".format(frequency))
    st = _store_()
    table = _schema.PRICE_TABLE[frequency]
    adjust = None if adjust_type == "none" else adjust_type
    cal = st.calendar()
    if len(ids) == 0:
        return None
    if frequency == "1d":
        if len(cal) == 0:
            return None
        start, end, j0, j1 = _calendar_window(start_date, end_date, cal)
        if j1 <= j0:
            return None
        if any(f in LIMIT_FIELDS for f in flist):
            k, j, data = _with_limits(st, ids, start, end, flist, adjust)
        else:
            k, j, data = st.fetch_daily(table, ids, start, end, flist, adjust)
        if len(k) == 0:
            return None
        index = _daily_index(ids, cal[j0:j1], k, j)
    else:
        if not st.has_table(table):
            return None
        start = _dates.to_timestamp(start_date, "start_date") if start_date is not None \
            else pd.Timestamp.min.ceil("D")
        end = _dates.to_timestamp(end_date, "end_date") if end_date is not None \
            else pd.Timestamp("2262-04-10")
        given_end = end
        if end == end.normalize():   # a date: the whole day
            end = end + pd.Timedelta(days=1) - pd.Timedelta(microseconds=1)
        if start > end:
            _dates.check_range(start, given_end)
        k, t, data = st.fetch_intraday(table, ids, start, end, flist, adjust)
        if len(k) == 0:
            return None
        index = pd.MultiIndex.from_arrays(
            [pd.Index(ids, name="order_book_id").take(k), pd.DatetimeIndex(t)],
            names=["order_book_id", "datetime"])
    df = pd.DataFrame(data, index=index, columns=flist, copy=False)
    if not expect_df:
        if single_id:
            df = df.droplevel("order_book_id")
        if single_field:
            return df[flist[0]]
    return df


#: Daily fields of ``get_price`` beyond the bars' columns, given when asked for by name: the
#: bar's limit prices (imported into ``price_limits``, else derived; see ``tidewell.limits``).
LIMIT_FIELDS = ("limit_up", "limit_down")


def _with_limits(st, ids, start, end, flist, adjust):
    """Rows of the daily bars with their limit prices among ``flist``: (k, j, {field: array})."""
    from .protocol import require_operation
    k, j, limits = require_operation(st, "fetch_limits")(ids, start, end, adjust)
    bar_fields = [f for f in flist if f not in LIMIT_FIELDS]
    if not bar_fields:
        return k, j, {f: limits[f] for f in flist}
    kb, jb, data = st.fetch_daily("daily_bars", ids, start, end, bar_fields, adjust)
    n = max(int(jb.max()) + 1 if len(jb) else 0, int(j.max()) + 1 if len(j) else 0)
    mine, theirs = kb.astype(np.int64) * n + jb, k.astype(np.int64) * n + j
    at = np.searchsorted(theirs, mine)
    found = (at < len(theirs)) & (theirs[np.minimum(at, max(len(theirs) - 1, 0))] == mine) \
        if len(theirs) else np.zeros(len(mine), dtype=bool)
    for f in LIMIT_FIELDS:
        if f in flist:
            values = np.full(len(mine), np.nan)
            values[found] = limits[f][at[found]]
            data[f] = values
    return kb, jb, {f: data[f] for f in flist}


def get_price_table(order_book_ids, start_date=None, end_date=None, field="close",
                    adjust_type="pre"):
    """One daily field as a dates x ids table: what ``get_price(...)[field].unstack(0)`` gives
    (rows: the trading dates with any bar, columns: the ids with any bar, NaN where a bar is
    missing), built straight from the store's rows without a long intermediate table.

    None when nothing matches.
    """
    ids, _ = _ids(order_book_ids)
    _choice(adjust_type if adjust_type is not None else "none", ADJUST_TYPES, "adjust_type")
    adjust = None if adjust_type in (None, "none") else adjust_type
    if not isinstance(field, str):
        raise ValueError("field: expect one field name, got {!r}".format(field))
    _fields(field, _schema.price_fields("1d"), name="field")
    st = _store_()
    cal = st.calendar()
    if not ids or len(cal) == 0:
        return None
    start, end, j0, j1 = _calendar_window(start_date, end_date, cal)
    if j1 <= j0:
        return None
    dates = cal[j0:j1]
    return _present_table(st, "daily_bars", ids, dates, field, adjust)


def _compact(codes, n):
    """(used level positions, codes renumbered onto them): levels without rows drop out."""
    used = np.bincount(codes, minlength=n) > 0
    if used.all():
        return slice(None), codes
    renumber = (np.cumsum(used) - 1).astype(codes.dtype)
    return np.flatnonzero(used), renumber[codes]


def _daily_index(ids, dates, k, j) -> pd.MultiIndex:
    """The (order_book_id, date) index of sorted rows given by level codes k and j."""
    used_k, k = _compact(k, len(ids))
    used_j, j = _compact(j, len(dates))
    level0 = pd.Index(np.asarray(ids, dtype=object)[used_k], name="order_book_id")
    return pd.MultiIndex(levels=[level0, dates[used_j]], codes=[k, j],
                         names=["order_book_id", "date"], verify_integrity=False)


# -- instruments -----------------------------------------------------------------------------
@dataclass(frozen=True)
class Instrument:
    """An instrument record; fields are attributes (``ins.type``) and also ``ins["type"]``."""
    order_book_id: str
    symbol: str
    type: str
    exchange: str
    listed_date: pd.Timestamp
    de_listed_date: Optional[pd.Timestamp]

    def __getitem__(self, name):
        return getattr(self, name)

    def to_dict(self) -> dict:
        return asdict(self)


def _record(row) -> Instrument:
    de = row["de_listed_date"]
    return Instrument(
        order_book_id=row["order_book_id"], symbol=row["symbol"], type=row["type"],
        exchange=row["exchange"], listed_date=pd.Timestamp(row["listed_date"]),
        de_listed_date=None if pd.isna(de) else pd.Timestamp(de))


def instruments(order_book_ids):
    """The ``Instrument`` of one id (None if unknown), or a list for a list of ids (unknown ids
    are left out, the order of the request kept)."""
    table = _store_().instruments()
    if isinstance(order_book_ids, str):
        if order_book_ids not in table.index:
            return None
        return _record(table.loc[order_book_ids])
    if order_book_ids is not None and not isinstance(order_book_ids, (list, tuple)):
        try:
            order_book_ids = list(order_book_ids)
        except TypeError:
            pass
    _ids(order_book_ids)   # validates
    out = []
    for i in list(dict.fromkeys(order_book_ids)):
        if i in table.index:
            out.append(_record(table.loc[i]))
    return out


def all_instruments(type=None, date=None) -> pd.DataFrame:
    """All instruments as a table (one row each); ``type`` ("CS", "INDX") filters by type,
    ``date`` keeps those listed on that date."""
    df = _store_().instruments().reset_index(drop=True)
    if type is not None:
        types = [type] if isinstance(type, str) else list(type)
        df = df[df["type"].isin(types)]
    if date is not None:
        d = _dates.to_date(date, "date")
        alive = (df["listed_date"] <= d) & (df["de_listed_date"].isna() | (df["de_listed_date"] > d))
        df = df[alive]
    return df.reset_index(drop=True)


# -- style exposures and signals -------------------------------------------------------------
def get_style_factor_exposure(order_book_ids, start_date, end_date, factors=None):
    """Style factor exposures indexed by (order_book_id, date), one column per factor.

    ``factors``: a name or list of names from ``tidewell.STYLE_FACTORS``; None: all of them.
    None is returned when nothing matches.
    """
    ids, _ = _ids(order_book_ids)
    flist, _ = _fields(factors, _schema.STYLE_FACTORS, name="factors")
    st = _store_()
    if not st.has_table("style_exposures"):
        raise missing_table_error(st, "style_exposures")
    cal = st.calendar()
    start, end, j0, j1 = _calendar_window(start_date, end_date, cal)
    if j1 <= j0 or not ids:
        return None
    k, j, data = st.fetch_daily("style_exposures", ids, start, end, flist, None)
    if len(k) == 0:
        return None
    index = _daily_index(ids, cal[j0:j1], k, j)
    # One float block, filled column by column while the fetched columns are released: the
    # table is the largest a pipeline reads, and pandas would otherwise copy it once more.
    block = np.empty((len(flist), len(k)), dtype=np.float64)
    for i, f in enumerate(flist):
        block[i] = data.pop(f)
    return pd.DataFrame(block.T, index=index, columns=flist, copy=False)


def get_signal(order_book_ids=None, start_date=None, end_date=None, name="planted"):
    """A stored research signal as a dates x ids table (index "date", columns "order_book_id").

    The demo stores "planted" (predicts the next five trading days' return with a modest rank IC)
    and "noise" (predicts nothing).  ``order_book_ids`` None: every id that has the signal.
    """
    st = _store_()
    names = st.signal_names()
    if name not in names:
        raise ValueError("name: unknown signal {!r}, expect one of {}".format(name, names))
    ids = None if order_book_ids is None else _ids(order_book_ids)[0]
    cal = st.calendar()
    start, end = _date_range(start_date, end_date, cal)
    if _scans_cells(st) and ids != []:
        # Rows of ids the instruments table lacks, or on dates the calendar lacks, would be
        # lost on the way; the long table keeps them.
        candidates = list(st.instruments().index) if ids is None else ids
        dates = cal[cal.searchsorted(start, "left"):cal.searchsorted(end, "right")]
        try:
            return _present_table(st, "signals", candidates, dates, name, None, strict=True,
                                  other_ids=ids is None)
        except _OutsideRequest:
            pass
    long = st.fetch_signal(ids, start, end, name)
    if long.empty:
        return None
    long["date"] = pd.to_datetime(long["date"]).astype("datetime64[ns]")
    wide = long.pivot(index="date", columns="order_book_id", values="value")
    wide.index.name = "date"
    wide.columns.name = "order_book_id"
    return wide


# -- index membership and research factors ---------------------------------------------------
def index_components(order_book_id, date=None) -> List[str]:
    """The members of an index on ``date`` (default: the last date with bars), sorted.

    Members are read from the ``index_components`` table (spells ``in_date`` <= date <
    ``out_date``); an index without stored membership, or an unknown id, gives an empty list.
    """
    if not isinstance(order_book_id, str):
        raise ValueError("order_book_id: expect an index id such as '000300.XSHG', got {!r}".format(
            order_book_id))
    st = _store_()
    if not st.has_table("index_components"):
        return []
    if date is None:
        d = st.last_bar_date()
        if d is None:
            return []
    else:
        d = _dates.to_date(date, "date")
    return st.index_members(order_book_id, d)


def factor_names() -> List[str]:
    """Names ``get_factor`` accepts: the style factors, the store's derived ratios (the demo's
    "pb_ratio" and "pe_ratio"; a store of real data has none) and its stored signals."""
    st = _store_()
    return list(_schema.STYLE_FACTORS) + st.derived_factors() + st.signal_names()


def get_factor(order_book_ids, factor, start_date, end_date):
    """Factor values indexed by (order_book_id, date), one column per requested factor.

    ``factor``: a name or list of names from ``factor_names()``: a style factor (its exposure),
    in a demo store "pb_ratio" / "pe_ratio" (synthetic, derived from the book_to_price /
    earnings_yield exposures), or a stored signal ("planted", "noise").  None when nothing
    matches.
    """
    ids, _ = _ids(order_book_ids)
    st = _store_()
    signals = st.signal_names()
    derived = st.derived_factors()
    allowed = list(_schema.STYLE_FACTORS) + derived + signals
    context = ""
    if _first_unknown(factor, allowed) in _store.DEMO_DERIVED_FACTORS:
        context = " (a ratio derived from the demo's exposures: demo stores only)"
    flist, _ = _fields(factor, allowed, name="factor", context=context)
    cal = st.calendar()
    start, end = _date_range(start_date, end_date, cal)
    if not ids:
        return None
    parts = []
    exposures = [f for f in flist if f in _schema.STYLE_FACTORS]
    exposures += [f for f in flist if f in derived]
    if exposures:
        ex = st.fetch_style_frame(ids, start, end, exposures)
        if ex is not None:
            parts.append(ex)
    for f in flist:
        if f in signals:
            long = st.fetch_signal(ids, start, end, f)
            if len(long):
                long["date"] = pd.to_datetime(long["date"]).astype("datetime64[ns]")
                parts.append(long.set_index(["order_book_id", "date"])["value"].rename(f).to_frame())
    if not parts:
        return None
    out = parts[0] if len(parts) == 1 else pd.concat(parts, axis=1, sort=True)
    out.index.names = ["order_book_id", "date"]
    return out[flist].sort_index()


# -- wide reads: dates x ids arrays ------------------------------------------------------------
#: The daily data sets a wide read serves, and what its ``fields`` name there.
WIDE_DATASETS = {
    "daily_bars": "bar fields (open, high, low, close, volume, total_turnover), any adjust_type; None: all",
    "style_exposures": "style factors (and a demo store's derived ratios); None: every style factor",
    "signals": "signal names; None: every stored signal",
}


class Cells(NamedTuple):
    """The stored values of a dates x ids request, as positions.

    Entry ``i`` is the value of row ``row[i]`` (a position in the requested dates) and column
    ``col[i]`` (a position in the requested ids): one entry per stored (id, date) pair, in no
    particular order.  ``matrix`` is a fields x entries float64 array (NaN: stored as
    missing) and ``values`` maps each field to its row of it; ``shape`` is (number of dates,
    number of ids).
    """
    row: np.ndarray
    col: np.ndarray
    values: Dict[str, np.ndarray]
    shape: Tuple[int, int]
    matrix: np.ndarray

    def grid(self, field: str) -> np.ndarray:
        """The dates x ids float64 array of one field, NaN where nothing is stored."""
        out = np.full(self.shape, np.nan)
        out.reshape(-1)[self.row * self.shape[1] + self.col] = self.values[field]
        return out


def get_daily_cells(dataset, order_book_ids, dates, fields, adjust_type="none") -> Cells:
    """The stored values of ``fields`` for ``order_book_ids`` on ``dates``, as positions.

    ``dataset`` is a key of ``WIDE_DATASETS``: "daily_bars" (``fields``: bar fields, prices
    adjusted by ``adjust_type`` "none", "pre" or "post" exactly as ``get_price`` adjusts them),
    "style_exposures" (style factors) or "signals" (``fields``: one signal name).
    ``order_book_ids`` (unique, any order, unknown ids allowed) and ``dates`` (unique dates at
    midnight, any order; a date without data is simply absent) define the rows and columns the
    positions refer to.  Neither a long table nor a pivot is built: the store hands over integer
    positions and values, which the caller places (see ``Cells.grid`` and ``get_daily_grids``).
    """
    st = _store_()
    table, ids, dates, flist, adjust = _wide_request(st, dataset, order_book_ids, dates, fields, adjust_type)
    if table == "signals" and len(flist) != 1:
        raise ValueError("fields: expect one signal name for its cells, got {!r}".format(flist))
    row, col, matrix = _gather(st, table, ids, _days_of(dates), flist, adjust)
    return Cells(row, col, dict(zip(flist, matrix)), (len(dates), len(ids)), matrix)


def get_daily_grids(dataset, order_book_ids, dates, fields, adjust_type="none") -> Dict[str, np.ndarray]:
    """``{field: dates x ids float64 array}`` of ``get_daily_cells``' request, NaN where
    nothing is stored; rows follow ``dates`` and columns ``order_book_ids`` as given.

    Equal, cell for cell, to the long table of ``get_price`` / ``get_style_factor_exposure`` or
    the table of ``get_signal`` reindexed onto those dates and ids; the values are placed as the
    store hands them over, a record batch at a time, so no intermediate table is held.
    """
    st = _store_()
    table, ids, dates, flist, adjust = _wide_request(st, dataset, order_book_ids, dates, fields, adjust_type)
    shape = (len(dates), len(ids))
    days = _days_of(dates)
    if table == "signals":
        out = {}
        for f in flist:
            out.update(_placed(st, table, ids, days, [f], adjust, shape))
        return out
    return _placed(st, table, ids, days, flist, adjust, shape)


def _placed(st, table, ids, days, fields, adjust, shape):
    out = {f: np.full(shape, np.nan) for f in fields}

    def place(row, col, values):
        flat = row * shape[1] + col
        for f in fields:
            out[f].reshape(-1)[flat] = values[f]

    _scan(st, table, ids, days, fields, adjust, place)
    return out


def _wide_request(st, dataset, order_book_ids, dates, fields, adjust_type):
    """(table, ids, dates, fields, adjust) of a wide read, checked."""
    if dataset not in WIDE_DATASETS:
        raise ValueError("dataset: expect one of {}, got {!r}".format(list(WIDE_DATASETS), dataset))
    ids = _request_ids(order_book_ids)
    dates = _request_dates(dates)
    if adjust_type is None:
        adjust_type = "none"
    _choice(adjust_type, ADJUST_TYPES, "adjust_type")
    adjust = None if adjust_type == "none" else adjust_type
    if dataset == "daily_bars":
        flist, _ = _fields(fields, _schema.price_fields("1d"))
    else:
        if adjust is not None:
            raise ValueError("adjust_type: {} are not prices, expect 'none', got {!r}".format(dataset, adjust_type))
        if not st.has_table(dataset):
            raise missing_table_error(st, dataset)
        if dataset == "style_exposures":
            # None: the style factors; a demo store's derived ratios when named
            flist, _ = _fields(list(_schema.STYLE_FACTORS) if fields is None else fields,
                               list(_schema.STYLE_FACTORS) + st.derived_factors())
        else:
            flist, _ = _fields(fields, st.signal_names(), context=" (not a stored signal)")
    return dataset, ids, dates, flist, adjust


def _request_ids(order_book_ids) -> List[str]:
    """The ids of a wide read in the order given; each once."""
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    if order_book_ids is None:
        raise ValueError("order_book_ids: expect an order_book_id or a list of them, got None")
    ids = list(order_book_ids)
    for i in ids:
        if not isinstance(i, str):
            raise ValueError("order_book_ids: expect order_book_id strings, got {!r}".format(i))
    if len(set(ids)) != len(ids):
        repeated = pd.Index(ids)[pd.Index(ids).duplicated()]
        raise ValueError("order_book_ids: expect each id once, got {!r} repeated".format(repeated[0]))
    return ids


def _request_dates(dates) -> pd.DatetimeIndex:
    """The dates of a wide read in the order given: naive, at midnight, each once."""
    if isinstance(dates, (str, bytes)) or not hasattr(dates, "__iter__"):
        raise ValueError("dates: expect a list of dates, got {!r}".format(dates))
    try:
        index = pd.DatetimeIndex(dates)
    except (TypeError, ValueError) as exc:
        raise ValueError("dates: cannot interpret them as dates ({})".format(exc)) from None
    if index.tz is not None:
        index = index.tz_localize(None)
    if index.hasnans:
        raise ValueError("dates: expect dates, got NaT")
    if len(index) and not (index == index.normalize()).all():
        raise ValueError("dates: expect dates at midnight, got {}".format(index[index != index.normalize()][0]))
    if index.has_duplicates:
        raise ValueError("dates: expect each date once, got {} repeated".format(index[index.duplicated()][0].date()))
    return index.as_unit(_dates.UNIT)


def _days_of(dates) -> np.ndarray:
    """Dates as int64 days since 1970-01-01."""
    return np.asarray(dates.values.astype("datetime64[D]").astype(np.int64))


def _scans_cells(st) -> bool:
    return callable(getattr(st, "scan_cells", None))


def _scan(st, table, ids, days, fields, adjust, visit, strict=False, other_ids=False):
    """Calls ``visit(row, col, values)`` (int64 positions in ``days`` and ``ids``) for the
    stored rows of the request, a batch at a time; rows on other dates are left out, unless
    ``strict``, which raises ``_OutsideRequest`` for them and (with ``other_ids``) for rows of
    ids not in ``ids``.  A store without ``scan_cells`` (only the protocol's operations)
    answers through ``fetch_daily`` / ``fetch_signal``."""
    if len(days) == 0 or len(ids) == 0:
        return
    lo, hi = int(days.min()), int(days.max())
    lookup = np.full(hi - lo + 1, -1, dtype=np.int64)
    lookup[days - lo] = np.arange(len(days), dtype=np.int64)
    start = pd.Timestamp(np.datetime64(lo, "D")).as_unit(_dates.UNIT)
    end = pd.Timestamp(np.datetime64(hi, "D")).as_unit(_dates.UNIT)
    signal = fields[0] if table == "signals" else None
    stored = ["value"] if table == "signals" else fields

    def positioned(day, col, values):
        row = lookup[np.asarray(day, dtype=np.int64) - lo]
        keep = (row >= 0) & (col >= 0)
        if not keep.all():
            if strict:
                raise _OutsideRequest()
            row, col = row[keep], col[keep]
            values = {f: v[keep] for f, v in values.items()}
        if len(row):
            visit(row, col, values if signal is None else {signal: values["value"]})

    if _scans_cells(st):
        cal = st.calendar()
        in_range = int(cal.searchsorted(end, "right") - cal.searchsorted(start, "left"))
        # Far fewer dates than the range holds (say month ends): filter them in the store.
        sparse = not strict and 2 * len(days) < in_range
        st.scan_cells(table, ids, start, end, stored, adjust,
                      lambda k, day, values: positioned(day, k.astype(np.int64), values),
                      name=signal, days=days if sparse else None, others=strict and other_ids)
        return
    order = np.argsort(np.asarray(ids, dtype=object), kind="stable")
    sorted_ids = [ids[i] for i in order]
    if table == "signals":
        long = st.fetch_signal(None if other_ids else sorted_ids, start, end, signal)
        if len(long) == 0:
            return
        day = _days_of(pd.DatetimeIndex(pd.to_datetime(long["date"])))
        col = pd.Index(ids).get_indexer(long["order_book_id"]).astype(np.int64)
        positioned(day, col, {"value": long["value"].to_numpy(dtype=np.float64, na_value=np.nan)})
        return
    cal = st.calendar()
    j0 = int(cal.searchsorted(start, "left"))
    k, j, values = st.fetch_daily(table, sorted_ids, start, end, fields, adjust)
    if len(k) == 0:
        return
    day = _days_of(cal[j0 + np.asarray(j, dtype=np.int64)])
    positioned(day, order[np.asarray(k, dtype=np.int64)], {f: np.asarray(values[f], dtype=np.float64) for f in fields})


def _gather(st, table, ids, days, fields, adjust):
    """Every cell of the request: (row, col, fields x cells values), int64 positions; each
    value is copied once, from the store's record batches into its place."""
    # At most one cell per (date, id): room for that many, of which only the part written is
    # ever touched (and so held); a store holding repeated rows gets more room as it needs.
    room = len(days) * len(ids)
    row = np.empty(room, dtype=np.int64)
    col = np.empty(room, dtype=np.int64)
    matrix = np.empty((len(fields), room))
    at = [0]

    def put(part_row, part_col, values):
        nonlocal row, col, matrix
        end = at[0] + len(part_row)
        if end > len(row):
            grow = max(end, 2 * len(row))
            row, col = np.resize(row, grow), np.resize(col, grow)
            matrix = np.concatenate([matrix, np.empty((len(fields), grow - matrix.shape[1]))], axis=1)
        row[at[0]:end] = part_row
        col[at[0]:end] = part_col
        for i, f in enumerate(fields):
            matrix[i, at[0]:end] = values[f]
        at[0] = end

    _scan(st, table, ids, days, fields, adjust, put)
    n = at[0]
    return row[:n], col[:n], matrix[:, :n]


class _OutsideRequest(Exception):
    """A stored row lies outside the dates or ids of a strict request."""


def _present_table(st, table, ids, dates, field, adjust, strict=False, other_ids=False):
    """One field as a table of the dates and ids that hold any stored row (None without
    any), named as ``get_price(...)[field].unstack(0)`` names its axes.  ``strict`` and
    ``other_ids`` as for ``_scan``."""
    shape = (len(dates), len(ids))
    grid = np.full(shape, np.nan)
    used_rows = np.zeros(shape[0], dtype=bool)
    used_cols = np.zeros(shape[1], dtype=bool)

    def place(row, col, values):
        grid.reshape(-1)[row * shape[1] + col] = values[field]
        used_rows[row] = True
        used_cols[col] = True

    _scan(st, table, ids, _days_of(dates), [field], adjust, place, strict=strict, other_ids=other_ids)
    if not used_rows.any():
        return None
    if not used_rows.all():
        grid = grid[used_rows]
    if not used_cols.all():
        grid = grid[:, used_cols]
    columns = pd.Index(np.asarray(ids, dtype=object)[used_cols], name="order_book_id")
    out = pd.DataFrame(grid, index=dates[used_rows], columns=columns, copy=False)
    out.index.name = "date"
    return out
