"""The one place where sigmora reads market data.

The engine, every step, batch runs, expression evaluation and the ready-made leaves ask
this module for calendars, prices, returns, industries, style exposures, signals and
benchmarks; nothing else in sigmora calls the data client. The client is `tidewell` unless
another source is plugged in with `use_source` / `set_source`: any object that answers
tidewell's documented calls (`get_price`, `get_trading_dates`, `get_next_trading_date`,
`get_previous_trading_date`, `instruments`, `all_instruments`, `get_style_factor_exposure`,
`get_signal`, `client.get_client().execute`) will do, and a test double needs only the
calls its test makes.

Per-date, per-instrument data (closes, bar fields, style exposures, signals) travel as
dates x instruments arrays when the client offers tidewell's wide reads
(`get_daily_grids`, `get_daily_cells`, `get_price_table`): the store hands over integer
positions and values, placed straight into arrays, with no long table and no pivot in
between. A client without them is asked through the long calls above, and the answers are
reshaped here as before; both give the same tables.
"""

import contextlib
import threading

import numpy as np
import pandas as pd

import tidewell
from tidewell.decorators import clear_all_caches

from sigmora import _core
from sigmora.analysis._arrays import float_view

_lock = threading.RLock()
_source = tidewell


def source():
    """The data client every read goes to."""
    return _source


def set_source(client):
    """Make `client` answer every market-data read; returns the previous client. Cached
    industry tables belong to the client they came from, so caches are cleared."""
    global _source
    with _lock:
        previous, _source = _source, client
    if previous is not client:
        clear_all_caches()
    return previous


@contextlib.contextmanager
def use_source(client):
    """Read from `client` inside the block, then from the previous client again."""
    previous = set_source(client)
    try:
        yield client
    finally:
        set_source(previous)


# ----------------------------------------------------------------------------- calendar

def trading_dates(start_date, end_date):
    """The trading dates from `start_date` to `end_date` as the client returns them."""
    return _source.get_trading_dates(start_date, end_date)


def trading_date_index(start_date, end_date):
    """The trading dates from `start_date` to `end_date` as a DatetimeIndex."""
    return pd.DatetimeIndex(pd.to_datetime(trading_dates(start_date, end_date)))


def previous_trading_date(date, n=None):
    if n is None:
        return _source.get_previous_trading_date(date)
    return _source.get_previous_trading_date(date, n)


def next_trading_date(date, n):
    return _source.get_next_trading_date(date, n)


def price_window(first, last, p_max):
    """The dates a daily return table for factor dates `first` .. `last` needs: from the
    trading date before `first` (the first return's base) to `p_max` trading dates after
    `last` (the longest holding period's end).

    Where the calendar ends sooner, the window ends with it (the last dates then have no
    forward return) and starts with it; a factor outside the calendar altogether is an
    error naming both spans.
    """
    try:
        start = previous_trading_date(first)
    except ValueError:
        start = None
    try:
        end = next_trading_date(last, p_max)
    except ValueError:
        end = None
    if start is None or end is None:
        calendar = whole_calendar()
        if len(calendar) == 0 or calendar[0] > pd.Timestamp(last) or calendar[-1] < pd.Timestamp(first):
            raise ValueError("factor_data: its dates ({} to {}) lie outside the store's trading calendar ({}); "
                             "test it against a store whose calendar and prices cover them".format(
                                 pd.Timestamp(first).date(), pd.Timestamp(last).date(), _span(calendar)))
        start = calendar[0] if start is None else start
        end = calendar[-1] if end is None else end
    return start, end


def whole_calendar():
    """The client's whole trading calendar."""
    return trading_date_index("1900-01-01", "2200-12-31")


def calendar_start():
    """The first date of the client's trading calendar (NaT when it is empty)."""
    calendar = whole_calendar()
    return calendar[0] if len(calendar) else pd.NaT


def price_span():
    """(first, last) date of the client's daily bars, or None when it cannot say (a client of
    the user's own, a store that cannot count its tables). The store counts every table to
    tell it: about 0.1 s on a whole market."""
    try:
        bars = source().info()["tables"].get("daily_bars") or {}
        return pd.Timestamp(bars["first"]), pd.Timestamp(bars["last"])
    except Exception:  # noqa: BLE001 - the callers then say nothing of the span
        return None


def _span(dates):
    return "{} to {}".format(dates[0].date(), dates[-1].date()) if len(dates) else "empty"


# ----------------------------------------------------------------------------- prices

#: The long call each data set of the wide reads stands in for.
_LONG_CALLS = {"daily_bars": "get_price", "style_exposures": "get_style_factor_exposure", "signals": "get_signal"}


def _wide(call, dataset):
    """The client's wide read `call` of `dataset`, or None when the client answers only the
    long calls, or when the long call it stands in for was replaced on the tidewell module (a
    test double, say): that call then answers."""
    wide = getattr(_source, call, None)
    if wide is None:
        return None
    long_call = _LONG_CALLS[dataset]
    if _source is tidewell and getattr(tidewell, long_call) is not getattr(tidewell.api, long_call):
        return None
    return wide


def has_wide_reads(dataset="style_exposures"):
    """Whether the client hands over `dataset` as dates x instruments arrays and positions
    (tidewell's wide reads)."""
    return _wide("get_daily_grids", dataset) is not None and _wide("get_daily_cells", dataset) is not None


def closes(order_book_ids, start_date, end_date):
    """Post-adjusted closes, dates x instruments (instruments without any bar absent);
    None when the client has no bar at all."""
    table = _wide("get_price_table", "daily_bars")
    if table is not None:
        return table(order_book_ids, start_date, end_date, field="close", adjust_type="post")
    price = _source.get_price(order_book_ids=order_book_ids, start_date=start_date, end_date=end_date,
                              fields="close", adjust_type="post", expect_df=True)
    if price is None:
        return None
    return price["close"].unstack(0)


def returns_from_closes(closes_table, order_book_ids, start_date, end_date):
    """The daily return table from a table of post-adjusted closes, on the instruments of
    `order_book_ids` and the dates `start_date` .. `end_date`.

    Dates and instruments without any close drop out; a suspended day keeps the last close,
    so the day trading resumes is measured from it; the first date only serves as a base.
    The engine and batch runs both build their returns here, so a factor gets the same
    table whether it is tested alone or among many.
    """
    wanted = set(order_book_ids)
    in_window = (closes_table.index >= pd.Timestamp(start_date)) & (closes_table.index <= pd.Timestamp(end_date))
    columns = [c for c in closes_table.columns if c in wanted]
    sub = closes_table.loc[in_window, columns]
    if not all(dtype == np.float64 for dtype in sub.dtypes):
        sub = sub.dropna(axis=1, how="all").dropna(axis=0, how="all")
        return sub.ffill().pct_change().iloc[1:]
    # The same rule in one pass of the core: ffill().pct_change() on the present rows and
    # columns, with the same two operations per value.
    return _returns_table(float_view(sub, "closes"), sub.index, sub.columns)


def _returns_table(values, dates, columns):
    returns, rows, cols = _core.returns_from_closes(values)
    return pd.DataFrame(returns, index=dates[rows], columns=columns[cols], copy=False)


def daily_returns(factor_data, periods):
    """One-day returns of post-adjusted closes, from the first factor date to `max(periods)`
    trading dates after the last one, in one price request."""
    p_max = max(periods) if isinstance(periods, (tuple, list)) else periods
    start, end = price_window(factor_data.index[0], factor_data.index[-1], p_max)
    grids = _wide("get_daily_grids", "daily_bars")
    if grids is not None:
        # The closes as one dates x instruments array, turned into returns in one pass; the
        # instruments in the order a long request would give them (sorted).
        ids = list(dict.fromkeys(factor_data.columns))
        if all(isinstance(i, str) for i in ids):
            ids.sort()
        dates = trading_date_index(start, end).rename("date")
        table = grids("daily_bars", ids, dates, ["close"], adjust_type="post")["close"]
        returns = _returns_table(table, dates, pd.Index(ids, name="order_book_id"))
        if returns.shape[1]:
            return returns
    else:
        table = closes(factor_data.columns, start, end)
        if table is not None:
            return returns_from_closes(table, table.columns, start, end)
    raise ValueError("no prices found for any instrument of factor_data between {} and {} (factor_data: {} "
                     "instruments such as {}){}".format(
                         pd.Timestamp(start).date(), pd.Timestamp(end).date(), len(factor_data.columns),
                         ", ".join(str(c) for c in factor_data.columns[:3]), _id_hint(factor_data.columns)))


def _id_hint(columns):
    """Why the store has no price for any of ``columns``: ids in another spelling (named with
    the store's), or ids of the store with dates outside its prices; else the plain advice to
    check the columns."""
    from tidewell.ids import respelled
    check = "; check that its columns are order_book_ids of the store"
    try:
        known = set(all_instruments()["order_book_id"])
    except Exception:  # noqa: BLE001 - a client that cannot list its instruments gets no hint
        return check
    columns = [str(c) for c in columns]
    if any(c in known for c in columns):
        return ("; they are instruments of the store, so the store holds no price over the factor's dates: give "
                "dates within the span of its prices")
    found = respelled(columns, known, limit=100)
    if found is not None:
        return ("{}; the store spells {!r} as {!r}: rename the columns with factor_data.rename(columns=lambda c: "
                "tidewell.ids.normalize(c)[0])".format(check, *found))
    return check


#: The data sets `daily_table` reads (through their long calls for a client without wide reads).
_DAILY_TABLES = ("daily_bars", "style_exposures", "signals")


def daily_table(dataset, order_book_ids, start_date, end_date, field, adjust_type="none"):
    """One per-date, per-instrument field as a table of exactly the trading dates from
    `start_date` to `end_date` (rows) and `order_book_ids` in their order (columns), NaN
    where the client holds no value: a bar field ("daily_bars", prices adjusted by
    `adjust_type`), a style factor ("style_exposures") or a signal ("signals", `field` its
    name)."""
    return daily_tables(dataset, order_book_ids, start_date, end_date, [field], adjust_type)[field]


def daily_tables(dataset, order_book_ids, start_date, end_date, fields, adjust_type="none"):
    """`daily_table` of several fields of one data set, ``{field: table}``, read together (one
    read of the store for bars and style factors; a signal is a read of its own)."""
    if dataset not in _DAILY_TABLES:
        raise ValueError("dataset: expect one of {}, got {!r}".format(list(_DAILY_TABLES), dataset))
    dates = trading_date_index(start_date, end_date)
    ids = list(order_book_ids)
    fields = list(dict.fromkeys(fields))
    grids = _wide("get_daily_grids", dataset)
    if grids is not None:
        unique = list(dict.fromkeys(ids))
        repeated = pd.Index(unique).get_indexer(ids) if len(unique) != len(ids) else None
        tables = {}
        for field, values in grids(dataset, unique, dates, fields, adjust_type=adjust_type).items():
            if repeated is not None:
                values = values[:, repeated]
            tables[field] = pd.DataFrame(values, index=dates, columns=ids, copy=False)
        return tables
    if dataset == "daily_bars":
        long = bars(ids, start_date, end_date, fields, adjust_type)
        wide = {f: None if long is None else long[f].unstack("order_book_id") for f in fields}
    elif dataset == "style_exposures":
        long = style_exposures(ids, start_date, end_date, fields)
        wide = {f: None if long is None else long[f].unstack("order_book_id") for f in fields}
    else:
        wide = {f: signal(ids, start_date, end_date, f) for f in fields}
    return {f: on_dates(wide[f], dates, ids) for f in fields}


def on_dates(wide, dates, ids):
    """A dates x ids float table of `wide` (None: all missing) on exactly `dates` and `ids`."""
    if wide is None:
        return pd.DataFrame(np.nan, index=dates, columns=ids)
    wide = wide.reindex(index=dates, columns=ids)
    wide.index = dates
    wide.columns.name = None
    return wide.astype(np.float64)


#: The field of the store's market capitalisation (a demo store derives it from the size
#: exposure; a store of real data offers none).
MARKET_CAP = "market_cap"


def market_caps(order_book_ids, dates):
    """Market capitalisation of `order_book_ids` (columns, in their order) on `dates` (rows):
    on each date the value of the last trading date at or before it (NaN where there is
    none). Raises ValueError naming what to do instead when the client offers no market caps."""
    dates = pd.DatetimeIndex(dates)
    ids = list(order_book_ids)
    if len(dates) == 0 or not ids:
        return pd.DataFrame(np.nan, index=dates, columns=ids)
    days = dates.normalize()
    try:
        start = previous_trading_date(days[0])
    except ValueError:
        start = days[0]
    trading = trading_date_index(start, days[-1])
    grids = _wide("get_daily_grids", "style_exposures")
    try:
        if grids is not None:
            unique = list(dict.fromkeys(ids))
            values = grids("style_exposures", unique, trading, [MARKET_CAP])[MARKET_CAP]
            wide = pd.DataFrame(values, index=trading, columns=unique, copy=False)
        else:
            long = _source.get_factor(ids, MARKET_CAP, trading[0], trading[-1]) if len(trading) else None
            wide = None if long is None else long[MARKET_CAP].unstack("order_book_id")
    except ValueError as exc:
        if MARKET_CAP not in str(exc):
            raise
        raise ValueError("weights: 'cap' needs market caps, and the data store offers none ({}); pass a "
                         "dates x instruments table of weights instead".format(exc)) from None
    if wide is None:
        return pd.DataFrame(np.nan, index=dates, columns=ids)
    wide = wide.reindex(columns=ids).sort_index()
    wide.index = pd.DatetimeIndex(wide.index)
    placed = wide.reindex(days, method="ffill") if len(wide.index) else wide.reindex(days)
    placed.index = dates
    placed.columns = ids
    return placed.astype(np.float64)


def bars(order_book_ids, start_date, end_date, fields, adjust_type="none"):
    """Daily bars in the client's long form (rows: (order_book_id, date)); None without any."""
    return _source.get_price(order_book_ids, start_date=start_date, end_date=end_date, fields=fields,
                             adjust_type=adjust_type, expect_df=True)


def volumes(order_book_ids, start_date, end_date):
    """Daily traded volumes as the client returns them for one field."""
    return _source.get_price(order_book_ids, start_date, end_date, fields="volume")


def benchmark_prices(order_book_id, start_date, end_date, frequency, field):
    """One index's prices of `field` at `frequency` in the client's long form; None without any."""
    return _source.get_price(order_book_id, start_date=start_date, end_date=end_date, frequency=frequency,
                             fields=[field], expect_df=True)


# ----------------------------------------------------------------------------- reference data

def instrument(order_book_id):
    """The client's record of one instrument, None when unknown."""
    return _source.instruments(order_book_id)


def all_instruments(type=None):
    return _source.all_instruments(type=type)


def industry_records(query):
    """The raw records of an industry classification query of the client."""
    return _source.client.get_client().execute(query)


def style_exposures(order_book_ids, start_date, end_date, factors=None):
    """Style factor exposures in the client's long form (rows: (order_book_id, date))."""
    return _source.get_style_factor_exposure(order_book_ids=order_book_ids, start_date=start_date,
                                             end_date=end_date, factors=factors)


#: Memory one block of `style_exposure_blocks` may take: positions and values of its
#: records (about 3 % of that again for the store's transient record batches).
STYLE_BLOCK_BYTES = 128 << 20


class ExposureBlock(object):
    """The style exposures of the dates `first` .. `stop - 1` of a request, as records:
    record i holds the exposures `values[i]` (one per factor) of instrument `col[i]` (a
    position in the requested instruments) on date `first + row[i]`."""

    __slots__ = ("first", "stop", "row", "col", "values", "factors", "n_ids")

    def __init__(self, first, stop, row, col, values, factors, n_ids):
        self.first, self.stop = first, stop
        self.row, self.col, self.values = row, col, values
        self.factors, self.n_ids = factors, n_ids

    def dense(self):
        """The block as a dates x instruments x factors float64 array (NaN: no record)."""
        out = np.full((self.stop - self.first, self.n_ids, len(self.factors)), np.nan)
        out[self.row, self.col] = self.values
        return out


def style_exposure_blocks(order_book_ids, dates, factors=None, max_bytes=None):
    """Style exposures of `order_book_ids` (unique) on `dates` (unique dates at midnight,
    ascending), read a block of consecutive dates at a time so that no more than about
    `max_bytes` (default STYLE_BLOCK_BYTES) of them are held at once: yields ExposureBlock
    objects covering `dates` in order. Needs the client's wide reads (`has_wide_reads()`).
    """
    factors = list(tidewell.STYLE_FACTORS) if factors is None else \
        list(dict.fromkeys([factors] if isinstance(factors, str) else factors))
    unknown = [f for f in factors if f not in tidewell.STYLE_FACTORS]
    if unknown:  # as the long call refuses them (a demo store's derived ratios included)
        raise ValueError("factors: unknown field {!r}, expect some of {}".format(
            unknown[0], list(tidewell.STYLE_FACTORS)))
    ids = list(order_book_ids)
    budget = STYLE_BLOCK_BYTES if max_bytes is None else max_bytes
    # At most one record per instrument and date: its values and two positions.
    per_date = max(len(ids), 1) * (8 * len(factors) + 16)
    block = max(1, int(budget // per_date))
    for first in range(0, len(dates), block):
        stop = min(len(dates), first + block)
        cells = _source.get_daily_cells("style_exposures", ids, dates[first:stop], factors)
        # records x factors, one factor's values contiguous (the core takes any strides)
        yield ExposureBlock(first, stop, cells.row, cells.col, cells.matrix.T, factors, len(ids))
        del cells


def signal(order_book_ids, start_date, end_date, name):
    """A stored signal as a dates x instruments table; None without any."""
    return _source.get_signal(order_book_ids, start_date, end_date, name=name)


# ----------------------------------------------------------------------------- store selection

def store_path():
    """The path of the tidewell store being read, so that worker processes can open the
    same one; None when another source is plugged in (workers then use their own)."""
    return tidewell.current_path() if _source is tidewell else None


def select_store(path):
    """Read the tidewell store at `path` from now on (no-op when it is the current one)."""
    if path is not None and tidewell.current_path() != path:
        tidewell.init(path)


# ----------------------------------------------------------------------------- tradability

def trading_status(order_book_ids, start_date, end_date):
    """How each instrument traded on each trading date: dates x instruments of the client's
    status codes (`status_codes()`)."""
    return _source.trading_status(order_book_ids, start_date, end_date)


def status_codes():
    """The client's codes of `trading_status`, by name ("suspended", "limit_up", ...)."""
    return _source.STATUS


def special_treatment(order_book_ids, start_date, end_date):
    """Whether each instrument is under special treatment (ST, *ST): dates x instruments, bool."""
    return _source.is_st(order_book_ids, start_date, end_date)


def listed_days(order_book_ids, start_date, end_date):
    """Trading dates each instrument had been listed before each date (0 on its listing date;
    NaN when not listed): dates x instruments."""
    return _source.listed_days(order_book_ids, start_date, end_date)


def index_membership(index_id, start_date, end_date, order_book_ids):
    """Whether each instrument is a member of the index on each trading date: dates x
    instruments, bool."""
    return _source.index_membership(index_id, start_date, end_date, order_book_ids)
