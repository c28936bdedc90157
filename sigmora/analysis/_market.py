"""The one place where sigmora reads market data.

The engine, every step, batch runs, expression evaluation and the ready-made leaves ask
this module for calendars, prices, returns, industries, style exposures, signals and
benchmarks; nothing else in sigmora calls the data client. The client is `tidewell` unless
another source is plugged in with `use_source` / `set_source`: any object that answers
tidewell's documented calls (`get_price`, `get_trading_dates`, `get_next_trading_date`,
`get_previous_trading_date`, `instruments`, `all_instruments`, `get_style_factor_exposure`,
`get_signal`, `client.get_client().execute`) will do, and a test double needs only the
calls its test makes.
"""

import contextlib
import threading

import pandas as pd

import tidewell
from tidewell.decorators import clear_all_caches

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
        calendar = _calendar()
        if len(calendar) == 0 or calendar[0] > pd.Timestamp(last) or calendar[-1] < pd.Timestamp(first):
            raise ValueError("factor_data: its dates ({} to {}) lie outside the store's trading calendar ({}); "
                             "test it against a store whose calendar and prices cover them".format(
                                 pd.Timestamp(first).date(), pd.Timestamp(last).date(), _span(calendar)))
        start = calendar[0] if start is None else start
        end = calendar[-1] if end is None else end
    return start, end


def _calendar():
    """The client's whole trading calendar."""
    return trading_date_index("1900-01-01", "2200-12-31")


def calendar_start():
    """The first date of the client's trading calendar (NaT when it is empty)."""
    calendar = _calendar()
    return calendar[0] if len(calendar) else pd.NaT


def _span(dates):
    return "{} to {}".format(dates[0].date(), dates[-1].date()) if len(dates) else "empty"


# ----------------------------------------------------------------------------- prices

def closes(order_book_ids, start_date, end_date):
    """Post-adjusted closes, dates x instruments (instruments without any bar absent);
    None when the client has no bar at all."""
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
    sub = sub.dropna(axis=1, how="all").dropna(axis=0, how="all")
    return sub.ffill().pct_change().iloc[1:]


def daily_returns(factor_data, periods):
    """One-day returns of post-adjusted closes, from the first factor date to `max(periods)`
    trading dates after the last one, in one price request."""
    p_max = max(periods) if isinstance(periods, (tuple, list)) else periods
    start, end = price_window(factor_data.index[0], factor_data.index[-1], p_max)
    table = closes(factor_data.columns, start, end)
    if table is None:
        raise ValueError("no prices found for any instrument of factor_data between {} and {} (factor_data: {} "
                         "instruments such as {}); check that its columns are order_book_ids of the store".format(
                             pd.Timestamp(start).date(), pd.Timestamp(end).date(), len(factor_data.columns),
                             ", ".join(str(c) for c in factor_data.columns[:3])))
    return returns_from_closes(table, table.columns, start, end)


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
