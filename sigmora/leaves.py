"""Ready-made leaf factors for the data the market-data store holds.

Each leaf is a ``UserDefinedLeafFactor``: it fetches its data for the whole requested window in
one request (as a dates x ids array when the data client offers wide reads) and returns a table
indexed by exactly the trading dates from start to end, one column per requested id.  Missing bars
or exposures stay NaN; nothing is filled.

The factories return the same leaf object for the same arguments, so an expression that names
``bar_field("close")`` twice fetches the closes once.
"""
import contextlib
import functools
import threading

from sigmora.analysis import _industry, _market
from tidewell.schema import STYLE_FACTORS, price_fields

from .interface import UserDefinedLeafFactor

__all__ = ["bar_field", "style_exposure", "signal", "industry", "BAR_FIELDS", "ADJUST_TYPES", "STYLE_FACTORS",
           "INDUSTRY_SOURCES"]

BAR_FIELDS = price_fields("1d")
INDUSTRY_SOURCES = ("citics_2019", "sws")
ADJUST_TYPES = ("pre", "post", "none")
# Fields that corporate actions adjust; the others (volume, turnover) read the same either way.
_ADJUSTED_FIELDS = ("open", "high", "low", "close")


def bar_field(field, adjust_type="pre"):
    """A leaf of one daily bar field, e.g. ``bar_field("close", adjust_type="post")``.

    :param field: one of ``BAR_FIELDS`` (open, high, low, close, volume, total_turnover)
    :param adjust_type: "pre" (default), "post" or "none"; prices only, volumes are not adjusted
    """
    if field not in BAR_FIELDS:
        raise ValueError("field: expect one of {}, got {!r}".format(list(BAR_FIELDS), field))
    if adjust_type not in ADJUST_TYPES:
        raise ValueError("adjust_type: expect one of {}, got {!r}".format(
            list(ADJUST_TYPES), adjust_type))
    if field not in _ADJUSTED_FIELDS:
        adjust_type = "none"
    return _bar_field(field, adjust_type)


@functools.lru_cache(maxsize=None)
def _bar_field(field, adjust_type):
    name = "{}_{}".format(field, adjust_type) if field in _ADJUSTED_FIELDS else field

    def fetch(order_book_ids, start_date, end_date):
        table = _read_before(field, adjust_type, order_book_ids, start_date, end_date)
        if table is not None:
            return table
        return _market.daily_table("daily_bars", order_book_ids, start_date, end_date, field, adjust_type)

    fetch.__name__ = fetch.__qualname__ = name
    leaf = UserDefinedLeafFactor(name, fetch)
    leaf.bar = (field, adjust_type)
    leaf.read_together = _bars_read_together
    return leaf


# Tables of bar leaves read together, waiting for their leaves' fetches (this thread's).
_waiting = threading.local()


@contextlib.contextmanager
def _bars_read_together(leaves, order_book_ids, start_date, end_date):
    """A context in which the fetches of these bar leaves, for these ids and dates, take their
    tables from one read of the store per adjust type (each table once), not one read each. The
    leaves of an adjust type whose joint read fails are read on their own."""
    fields = {}
    for leaf in leaves:
        field, adjust_type = leaf.bar
        fields.setdefault(adjust_type, []).append(field)
    ready = {}
    for adjust_type, names in fields.items():
        try:
            tables = _market.daily_tables("daily_bars", order_book_ids, start_date, end_date, names, adjust_type)
        except Exception:  # noqa: BLE001 - these leaves are read, and fail, one by one
            continue
        ready.update(((field, adjust_type), table) for field, table in tables.items())
    before = getattr(_waiting, "tables", None)
    _waiting.tables = ((list(order_book_ids), start_date, end_date), ready)
    try:
        yield
    finally:
        _waiting.tables = before


def _read_before(field, adjust_type, order_book_ids, start_date, end_date):
    waiting = getattr(_waiting, "tables", None)
    if waiting is None or waiting[0] != (list(order_book_ids), start_date, end_date):
        return None
    return waiting[1].pop((field, adjust_type), None)


def style_exposure(factor):
    """A leaf of one style factor's exposures, e.g. ``style_exposure("size")``.

    :param factor: one of ``STYLE_FACTORS``
    """
    if factor not in STYLE_FACTORS:
        raise ValueError("factor: expect one of {}, got {!r}".format(list(STYLE_FACTORS), factor))
    return _style_exposure(factor)


@functools.lru_cache(maxsize=None)
def _style_exposure(factor):
    name = "style_{}".format(factor)

    def fetch(order_book_ids, start_date, end_date):
        return _market.daily_table("style_exposures", order_book_ids, start_date, end_date, factor)

    fetch.__name__ = fetch.__qualname__ = name
    return UserDefinedLeafFactor(name, fetch)


def signal(name="planted"):
    """A leaf of a research signal stored with the market data ("planted" or "noise" in the
    demo store)."""
    if not isinstance(name, str):
        raise ValueError("name: expect a signal name, got {!r}".format(name))
    return _signal(name)


@functools.lru_cache(maxsize=None)
def _signal(name):
    leaf_name = "signal_{}".format(name)

    def fetch(order_book_ids, start_date, end_date):
        return _market.daily_table("signals", order_book_ids, start_date, end_date, name)

    fetch.__name__ = fetch.__qualname__ = leaf_name
    return UserDefinedLeafFactor(leaf_name, fetch)


def industry(source="citics_2019"):
    """A leaf of each instrument's industry on each date, as the integer code of the industry
    name in the store's classification ``source`` ("citics_2019" or "sws"; codes follow the
    sorted names), NaN for an instrument without a record. The groups of
    ``sigmora.operators.group_neutralize`` and ``group_rank``."""
    if source not in INDUSTRY_SOURCES:
        raise ValueError("source: expect one of {}, got {!r}".format(list(INDUSTRY_SOURCES), source))
    return _industry_leaf(source)


@functools.lru_cache(maxsize=None)
def _industry_leaf(source):
    name = "industry_{}".format(source)

    def fetch(order_book_ids, start_date, end_date):
        dates = _market.trading_date_index(start_date, end_date)
        codes, _ = _industry.industry_code_table(list(order_book_ids), dates, source)
        return _reindexed(codes, order_book_ids, start_date, end_date)

    fetch.__name__ = fetch.__qualname__ = name
    return UserDefinedLeafFactor(name, fetch)


def _reindexed(wide, order_book_ids, start_date, end_date):
    return _market.on_dates(wide, _market.trading_date_index(start_date, end_date), list(order_book_ids))
