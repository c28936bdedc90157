"""The store protocol: the read operations tidewell's public calls need from a store.

The calls in ``api.py`` and ``client.py`` check their arguments, ask the selected store through
these operations only, and shape the answers into the documented tables; how a store keeps its
data is its own affair.  ``store.DuckDBStore`` is the implementation over a DuckDB file (all of
tidewell's SQL lives there); any other object offering the operations can answer the calls
inside ``tidewell.use_store(obj)`` (the tests plug in one over small pandas frames).

Conventions shared by the operations:

* A *table* is a data set of the documented schema (``schema.TABLES``, ``SCHEMA.md``):
  "daily_bars", "minute_bars", "ticks", "style_exposures", "industry_citics_2019", ...
* ``ids`` is a list of unique ``order_book_id`` strings, sorted; ``None`` where allowed means
  every id.
* ``start`` and ``end`` are naive ``pd.Timestamp`` bounds, both included.
* ``adjust`` is None (raw prices), "post" (raw x adj_factor) or "pre" (raw x adj_factor / the
  instrument's latest stored adj_factor); only the table's price fields
  (``schema.TABLES[table].price_fields``) are adjusted, and intraday prices with the daily
  factor of their calendar date (1.0 where there is none).
* Float results are float64 with NaN for a missing value.  Frames returned by ``fetch_signal``
  and ``industry_records`` are the caller's to change; those of ``calendar`` and
  ``instruments`` may be cached by the store and are only read.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Protocol, Tuple, runtime_checkable

import numpy as np
import pandas as pd

__all__ = ["MarketStore", "OPERATIONS", "CellScans", "OPTIONAL_OPERATIONS", "missing_operations",
           "missing_table_error", "TradingStatusStore", "TRADING_OPERATIONS", "require_operation"]


@runtime_checkable
class MarketStore(Protocol):
    """What a store offers the public calls (see the module docstring for the conventions)."""

    #: Where the store lives (a file path for a DuckDB store); used in messages only.
    path: str

    def has_table(self, name: str) -> bool:
        """Whether the store holds the data set ``name`` (it may still be empty)."""
        ...

    def calendar(self) -> pd.DatetimeIndex:
        """Every stored trading date, ascending, naive midnight timestamps (datetime64[ns])."""
        ...

    def instruments(self) -> pd.DataFrame:
        """One row per instrument, ordered and indexed by ``order_book_id`` (also kept as a
        column); the columns of the ``instruments`` table, ``listed_date`` and
        ``de_listed_date`` as datetime64[ns] (NaT while listed)."""
        ...

    def fetch_daily(self, table: str, ids: List[str], start: pd.Timestamp, end: pd.Timestamp,
                    fields: List[str], adjust: Optional[str]
                    ) -> Tuple[np.ndarray, np.ndarray, Dict[str, np.ndarray]]:
        """Rows of a daily table ("daily_bars", "style_exposures") for ``ids`` in [start, end].

        Returns ``(k, j, values)``: integer arrays where ``k`` indexes ``ids`` and ``j`` the
        calendar from its first date on or after ``start``, and ``{field: float64 array}``;
        rows sorted by (k, j), one per stored (id, date); rows on dates missing from the
        calendar are left out.
        """
        ...

    def fetch_intraday(self, table: str, ids: List[str], start: pd.Timestamp, end: pd.Timestamp,
                       fields: List[str], adjust: Optional[str]
                       ) -> Tuple[np.ndarray, np.ndarray, Dict[str, np.ndarray]]:
        """Rows of an intraday table ("minute_bars", "ticks") with ``start <= datetime <= end``.

        Returns ``(k, t, values)``: ``k`` indexes ``ids``, ``t`` the datetime64[ns] stamps,
        ``{field: float64 array}``; rows sorted by (k, t).
        """
        ...

    def signal_names(self) -> List[str]:
        """Names of the stored research signals, sorted (empty without signals)."""
        ...

    def fetch_signal(self, ids: Optional[List[str]], start: pd.Timestamp, end: pd.Timestamp,
                     name: str) -> pd.DataFrame:
        """The signal ``name`` as a long table with columns order_book_id, date, value, sorted
        by (order_book_id, date); ``ids`` None: every id."""
        ...

    def derived_factors(self) -> List[str]:
        """Names of the factors the store derives from its style exposures (the demo's
        synthetic valuation ratios); empty for a store of real data."""
        ...

    def fetch_style_frame(self, ids: List[str], start: pd.Timestamp, end: pd.Timestamp,
                          fields: List[str]) -> Optional[pd.DataFrame]:
        """Style exposures and derived factors (``fields``: names of ``schema.STYLE_FACTORS``
        and of ``derived_factors()``) indexed by (order_book_id, date) with date datetime64[ns],
        sorted, one column per field in the given order; None when no row matches."""
        ...

    def last_bar_date(self) -> Optional[pd.Timestamp]:
        """The last date with a daily bar (None without bars)."""
        ...

    def index_members(self, index_id: str, date: pd.Timestamp) -> List[str]:
        """Sorted unique ids that are members of ``index_id`` on ``date`` (``in_date <= date <
        out_date``, no ``out_date``: still a member); empty for an unknown index."""
        ...

    def industry_records(self, table: str, columns: List[str]) -> pd.DataFrame:
        """The ``columns`` of a classification table ("industry_citics_2019", "industry_sws")
        in that order, sorted by (order_book_id, start_date)."""
        ...


#: The operations of ``MarketStore`` (what ``tidewell.use_store`` checks an object for).
OPERATIONS: Tuple[str, ...] = (
    "has_table", "calendar", "instruments", "fetch_daily", "fetch_intraday", "signal_names",
    "fetch_signal", "derived_factors", "fetch_style_frame", "last_bar_date", "index_members",
    "industry_records",
)


def missing_operations(obj) -> List[str]:
    """The operations (and the ``path`` attribute) ``obj`` lacks to be a ``MarketStore``."""
    missing = [] if isinstance(getattr(obj, "path", None), str) else ["path"]
    return missing + [name for name in OPERATIONS if not callable(getattr(obj, name, None))]


def missing_table_error(store, name: str) -> ValueError:
    """The error of a call that needs a data set the store does not hold."""
    return ValueError("tidewell store {} has no table {}".format(store.path, name))


@runtime_checkable
class TradingStatusStore(Protocol):
    """What a store offers the calls on tradability (``tidewell.trading``: special treatment,
    limit prices, suspensions, index membership by date).  These operations are optional: a
    store without them answers every other call, and these calls then say which operation the
    store lacks."""

    def bar_span(self) -> Tuple[Optional[pd.Timestamp], Optional[pd.Timestamp]]:
        """The first and last date with a daily bar ((None, None) without bars)."""
        ...

    def st_spells(self, ids: Optional[List[str]]) -> pd.DataFrame:
        """Special-treatment spells of ``ids`` (None: all) with columns order_book_id,
        start_date, end_date (NaT: still under special treatment; the spell holds on dates
        before it) and kind ("ST", "*ST"), datetime64[ns] dates, sorted by (order_book_id,
        start_date)."""
        ...

    def index_spells(self, index_id: str) -> pd.DataFrame:
        """Membership spells of ``index_id`` with columns order_book_id, in_date, out_date (NaT:
        still a member), datetime64[ns], sorted; empty for an unknown index."""
        ...

    def fetch_status(self, ids: List[str], start: pd.Timestamp, end: pd.Timestamp
                     ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The days of ``ids`` in [start, end] not traded freely at the close: ``(k, j, code)``,
        ``k`` indexing ``ids``, ``j`` the calendar from its first date on or after ``start``,
        ``code`` int8: 1 suspended (listed, between the store's first and last bar dates, without
        a bar), 2 closed at the upper limit price, 3 at the lower; one row per such day."""
        ...

    def fetch_limits(self, ids: List[str], start: pd.Timestamp, end: pd.Timestamp,
                     adjust: Optional[str]) -> Tuple[np.ndarray, np.ndarray, Dict[str, np.ndarray]]:
        """Limit prices of the daily bars of ``ids`` in [start, end] in the form of
        ``fetch_daily`` (fields "limit_up", "limit_down"; NaN: no limit), one row per bar, sorted
        by (k, j), adjusted as ``fetch_daily`` adjusts prices."""
        ...


#: The optional operations of ``TradingStatusStore``.
TRADING_OPERATIONS: Tuple[str, ...] = ("bar_span", "st_spells", "index_spells", "fetch_status",
                                       "fetch_limits")


def require_operation(store, name: str):
    """The store's operation ``name`` of ``TradingStatusStore``; a TypeError naming it if the
    store lacks it."""
    op = getattr(store, name, None)
    if not callable(op):
        raise TypeError("tidewell store {} does not offer {} (an operation of "
                        "tidewell.protocol.TradingStatusStore)".format(getattr(store, "path", store), name))
    return op
class CellScans(Protocol):
    """An optional operation a store may offer besides ``MarketStore``'s: the rows of a daily
    table as integer positions and values, for the wide reads (``get_daily_cells``,
    ``get_daily_grids``, ``get_price_table``, ``get_signal``).  A store without it answers them
    through ``fetch_daily`` and ``fetch_signal``, with the same results.
    """

    def scan_cells(self, table: str, ids: List[str], start: pd.Timestamp, end: pd.Timestamp,
                   fields: List[str], adjust: Optional[str], visit, name: Optional[str] = None,
                   days: Optional[np.ndarray] = None, others: bool = False) -> None:
        """Calls ``visit(k, day, values)`` for the stored rows of ``table`` ("daily_bars",
        "style_exposures" or "signals" with the signal ``name`` and the field "value") for
        ``ids`` (unique, any order) with ``start <= date <= end``, a batch of rows at a time and
        in no particular order: ``k`` (int) positions in ``ids``, ``day`` (int) dates as days
        since 1970-01-01, ``values`` ``{field: float64 array}``, prices adjusted as
        ``fetch_daily`` adjusts them.  ``days`` keeps only rows on those days; ``others`` also
        hands over the rows of other ids, with ``k = -1``."""
        ...


#: The optional operations (``tidewell.use_store`` does not require them).
OPTIONAL_OPERATIONS: Tuple[str, ...] = ("scan_cells",)
