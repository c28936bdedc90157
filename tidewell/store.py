"""The DuckDB store: connections, schema creation and the queries behind the public calls.

``DuckDBStore`` implements the store protocol (``protocol.MarketStore``) over one database file
opened read-only (so several processes can read one file) or read-write (building and
importing); every SQL query the public calls need lives here.  Every query filters in the
database (ids through a joined id list, dates through ranges) and returns numpy arrays or small
frames.  Connections are kept per path in a process-wide registry so that every caller in a
process shares them; ``close(path)`` releases one (the importer does this before it writes).
"""

from __future__ import annotations

import functools
import os
import threading
import time
from typing import Dict, List, Optional, Sequence

import duckdb
import numpy as np
import pandas as pd

from . import errors as _errors
from . import limits as _limits
from . import schema
from .protocol import missing_table_error

_REGISTRY: Dict[str, "DuckDBStore"] = {}
_REGISTRY_LOCK = threading.RLock()


def _key(path) -> str:
    return os.path.realpath(os.fspath(path))


#: DuckDB settings of every tidewell connection: never download or load an extension behind the
#: user's back (a foreign file once made DuckDB fetch the sqlite extension from the network).
#: They are set with SET right after connecting rather than as connect-time config, so that other
#: code of the process may still open the same file with DuckDB's defaults; the files that would
#: make DuckDB load an extension while connecting (SQLite databases, foreign files) are refused
#: before DuckDB sees them (``errors.check_file``).
SETTINGS = {"autoinstall_known_extensions": "false", "autoload_known_extensions": "false",
            "enable_progress_bar": "false"}

#: How long (seconds) opening a store waits for another process's write to finish (a reader that
#: meets an import's commit, an import that meets another's) before it gives up with
#: ``errors.StoreLockedError``.  ``$TIDEWELL_LOCK_WAIT`` overrides it.
LOCK_WAIT = 3.0


#: DuckDB's memory limit on a reading connection: its cache of the store's blocks stays within
#: it (the blocks are read again when needed), so a long analysis keeps no copy of every table it
#: read.  Reads take no longer with it.  ``$TIDEWELL_MEMORY_LIMIT`` overrides it (a DuckDB size
#: such as "512MB"; empty: DuckDB's own default, a share of the machine's memory).
READ_MEMORY_LIMIT = "128MB"


def read_memory_limit() -> str:
    return os.environ.get("TIDEWELL_MEMORY_LIMIT", READ_MEMORY_LIMIT).strip()


def lock_wait() -> float:
    try:
        return max(0.0, float(os.environ.get("TIDEWELL_LOCK_WAIT", LOCK_WAIT)))
    except ValueError:
        return LOCK_WAIT


def connect(path, read_only: bool = True, wait: Optional[float] = None, new: bool = False):
    """A DuckDB connection to the store at ``path`` with tidewell's settings.

    Unusable files are refused with an ``errors.StoreError`` that names the file and what to do
    (a folder, an empty or foreign file, a read-only store for a writer); a store locked by another
    process is retried for ``wait`` seconds (default ``lock_wait()``), then refused with
    ``errors.StoreLockedError`` naming that process when DuckDB does.  ``new``: the file is a
    fresh one of this process (no checks, connect-time settings).
    """
    path = os.fspath(path)
    if new:
        # nobody else has the file: the settings are given while connecting
        con = duckdb.connect(path, config={k: False for k in SETTINGS if "extensions" in k})
        try:
            con.execute("SET enable_progress_bar = false")
        except duckdb.Error:
            pass  # in a notebook without ipywidgets DuckDB refuses to touch the bar at all
        return con
    if read_only and not os.path.exists(path):
        raise FileNotFoundError("tidewell store not found: {}".format(path))
    _errors.check_file(path, writing=not read_only)
    deadline = time.monotonic() + (lock_wait() if wait is None else wait)
    delay = 0.02
    while True:
        try:
            con = duckdb.connect(path, read_only=read_only)
            break
        except duckdb.Error as exc:
            left = deadline - time.monotonic()
            if _errors.is_lock_error(exc) and left > 0:
                time.sleep(min(delay, left))
                delay = min(delay * 2, 0.25)
                continue
            raise _errors.translate(exc, path, writing=not read_only) from None
    try:
        for k, v in SETTINGS.items():
            con.execute("SET {} = {}".format(k, v))
    except Exception:   # pragma: no cover - settings unknown to an old DuckDB
        pass
    limit = read_memory_limit() if read_only else ""
    if limit:
        try:
            con.execute("SET memory_limit = ?", [limit])
        except duckdb.Error as exc:
            con.close()
            raise ValueError("TIDEWELL_MEMORY_LIMIT: expect a DuckDB memory size such as '512MB', got {!r} ({})".format(
                limit, exc)) from None
    return con


def verify(con, path) -> None:
    """Refuse a truncated store behind ``con`` (``errors.StoreCorruptError``)."""
    present = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables "
                                         "WHERE table_schema = 'main'").fetchall()}
    _check_size(con, path, [t for t in schema.TABLE_ORDER if t in present])


#: The bytes before a DuckDB file's first block (its three headers).
_HEADER = 3 * 4096


def _check_size(con, path, tables) -> None:
    """A file shorter than the blocks its tables' data sit in was truncated (a copy cut short, a
    full disk): refuse it now rather than fail on whichever query first reaches a missing block."""
    try:
        block = con.execute("SELECT block_size FROM pragma_database_size()").fetchall()[0][0]
        last = -1
        for t in tables:
            rows = con.execute("SELECT max(block_id), max(list_max(additional_block_ids)) FROM "
                               "pragma_storage_info('{}') WHERE persistent".format(t)).fetchall()
            for v in rows[0]:
                if v is not None:
                    last = max(last, int(v))
    except duckdb.Error:   # pragma: no cover - another DuckDB's pragmas
        return
    need = _HEADER + (last + 1) * int(block)
    size = os.path.getsize(path)
    if size < need:
        raise _errors.StoreCorruptError(
            "tidewell store {} is damaged or truncated ({:,} bytes, its data reach byte {:,}); "
            "rebuild it (`tidewell build-demo`) or import your files into a new store".format(
                path, size, need), path)


def _translated(method):
    """Store errors met by a query (a damaged block, a file changed underneath) as StoreErrors."""
    @functools.wraps(method)
    def run(self, *args, **kwargs):
        try:
            return method(self, *args, **kwargs)
        except duckdb.Error as exc:
            err = _errors.translate(exc, self.path, writing=not self.read_only)
            if err is exc:
                raise
            raise err from None
    return run


def create_schema(con) -> None:
    for stmt in schema.ddl_statements():
        con.execute(stmt)
    con.execute("INSERT INTO metadata SELECT 'schema_version', ? "
                "WHERE NOT EXISTS (SELECT 1 FROM metadata WHERE key = 'schema_version')",
                [schema.SCHEMA_VERSION])


#: The demo's synthetic valuation ratios and market capitalisation, derived from its style
#: exposures (consistent with them: a high book-to-price exposure is a low price-to-book
#: ratio, a high size exposure a large market cap, in yuan).  Only a demo store offers them
#: (``DuckDBStore.derived_factors``): from real exposures they would be invented numbers.
DEMO_DERIVED_FACTORS = {
    "pb_ratio": "round(2.0 * pow(2.0, -book_to_price), 4)",
    "pe_ratio": "round(18.0 * pow(2.0, -earnings_yield), 4)",
    "market_cap": "round(1.0e10 * pow(2.0, 1.5 * size), 0)",
}

#: The metadata row the demo builder writes (``kind = demo``), and the one the importer adds
#: when it loads style exposures into a demo store (their derived ratios would be invented).
DEMO_KIND = ("kind", "demo")
IMPORTED_EXPOSURES = ("style_exposures", "imported")


class DuckDBStore:
    """One open DuckDB store (a ``protocol.MarketStore``).  Thread safe: each thread queries
    through its own cursor."""

    def __init__(self, path, read_only: bool = True):
        self.path = os.fspath(path)
        self.read_only = read_only
        self._con = connect(self.path, read_only=read_only)
        self._local = threading.local()
        self._lock = threading.Lock()
        self._calendar: Optional[pd.DatetimeIndex] = None
        self._instruments: Optional[pd.DataFrame] = None
        self._tables: Optional[set] = None
        self._metadata: Optional[Dict[str, str]] = None
        self._signal_names: Optional[List[str]] = None

    # -- plumbing ---------------------------------------------------------------------------
    @property
    def con(self):
        cur = getattr(self._local, "cursor", None)
        if cur is None:
            with self._lock:
                cur = self._con.cursor()
            self._local.cursor = cur
        return cur

    def close(self) -> None:
        with self._lock:
            try:
                self._con.close()
            except Exception:  # pragma: no cover - closing twice
                pass

    def tables(self) -> set:
        if self._tables is None:
            rows = self.con.execute(
                "SELECT table_name FROM information_schema.tables WHERE table_schema = 'main'"
            ).fetchall()
            self._tables = {r[0] for r in rows}
        return self._tables

    def has_table(self, name: str) -> bool:
        return name in self.tables()

    def require_table(self, name: str) -> None:
        if not self.has_table(name):
            raise missing_table_error(self, name)

    # -- small tables, cached ---------------------------------------------------------------
    def calendar(self) -> pd.DatetimeIndex:
        if self._calendar is None:
            self.require_table("trading_calendar")
            d = self.con.execute("SELECT date FROM trading_calendar ORDER BY date").fetchnumpy()["date"]
            self._calendar = pd.DatetimeIndex(np.asarray(d, dtype="datetime64[ns]"))
        return self._calendar

    def instruments(self) -> pd.DataFrame:
        if self._instruments is None:
            self.require_table("instruments")
            df = self.con.execute("SELECT * FROM instruments ORDER BY order_book_id").df()
            for c in ("listed_date", "de_listed_date"):
                df[c] = pd.to_datetime(df[c]).astype("datetime64[ns]")
            self._instruments = df.set_index("order_book_id", drop=False)
        return self._instruments

    def metadata(self) -> Dict[str, str]:
        """The store's key/value facts (empty when it has no metadata table)."""
        if self._metadata is None:
            rows = []
            if self.has_table("metadata"):
                rows = self.con.execute("SELECT key, value FROM metadata ORDER BY key").fetchall()
            self._metadata = {k: v for k, v in rows}
        return self._metadata

    def is_demo(self) -> bool:
        """Whether the demo builder wrote this store.

        Decided by the ``kind = demo`` metadata row, which every demo store carries, those built
        by earlier tidewell versions included; a store that only ``tidewell import`` wrote has no
        such row (an import never writes ``kind``), nor has a foreign DuckDB file.
        """
        key, value = DEMO_KIND
        return self.metadata().get(key) == value

    def derived_factors(self) -> List[str]:
        """The demo's derived ratios for a demo store whose exposures are still the demo's own;
        none for any other store."""
        key, value = IMPORTED_EXPOSURES
        if not self.is_demo() or self.metadata().get(key) == value:
            return []
        return list(DEMO_DERIVED_FACTORS)

    # -- queries ----------------------------------------------------------------------------
    def query_numpy(self, sql: str, params) -> Dict[str, np.ndarray]:
        """Run ``sql`` and return its columns as numpy arrays (NULL -> NaN in float columns).

        Goes through Arrow, which converts large results about twice as fast as fetchnumpy.
        """
        rel = self.con.sql(sql, params=params)
        to_table = getattr(rel, "to_arrow_table", None)
        table = to_table() if to_table is not None else rel.arrow()
        if hasattr(table, "read_all"):        # a RecordBatchReader
            table = table.read_all()
        return {name: table.column(name).to_numpy() for name in table.column_names}

    def _ids_relation(self, ids: Sequence[str]):
        """A registered one-column relation (k, order_book_id) of the requested ids."""
        frame = pd.DataFrame({"k": np.arange(len(ids), dtype=np.int32),
                              "order_book_id": np.asarray(list(ids), dtype=object)})
        name = "_tw_ids_{}".format(threading.get_ident())
        self.con.register(name, frame)
        return name

    def _unregister(self, name: str) -> None:
        try:
            self.con.unregister(name)
        except Exception:  # pragma: no cover
            pass

    def fetch_daily(self, table: str, ids: List[str], start, end, fields: List[str],
                    adjust: Optional[str], price_fields: Optional[Sequence[str]] = None,
                    date_col: str = "date"):
        """Rows of a daily table for ``ids`` (sorted, unique) between start and end.

        ``adjust`` is None (raw), "post" (raw * factor) or "pre" (raw * factor / latest factor),
        applied to ``price_fields`` (default: the table's documented price fields).
        Returns (k, j, {field: array}) where k indexes ``ids`` and j indexes the calendar
        slice from the first trading date on or after ``start``; rows sorted by (k, j).
        The database filters and computes; the ordering is done here in linear time (a scatter
        over the ids x dates grid), which is several times faster than an ORDER BY.
        """
        if price_fields is None:
            price_fields = schema.TABLES[table].price_fields
        cal = self.calendar()
        j0 = int(cal.searchsorted(start, "left"))
        j1 = int(cal.searchsorted(end, "right"))
        ids_name = self._ids_relation(ids)
        try:
            factor = {"post": "b.adj_factor", "pre": "(b.adj_factor / l.latest)"}.get(adjust)
            exprs = []
            for f in fields:
                if factor is not None and f in price_fields:
                    exprs.append("b.{0} * {1} AS {0}".format(f, factor))
                else:
                    exprs.append("b.{0} AS {0}".format(f))
            latest = ""
            if adjust == "pre":
                latest = ("JOIN (SELECT b2.order_book_id, arg_max(b2.adj_factor, b2.{d}) AS latest "
                          "FROM {t} b2 SEMI JOIN {ids} i2 ON b2.order_book_id = i2.order_book_id "
                          "GROUP BY b2.order_book_id) l ON l.order_book_id = b.order_book_id "
                          ).format(t=table, ids=ids_name, d=date_col)
            sql = ("SELECT i.k, (b.{d} - DATE '1970-01-01')::INTEGER AS _day, {exprs} FROM {t} b "
                   "JOIN {ids} i ON i.order_book_id = b.order_book_id {latest}"
                   "WHERE b.{d} BETWEEN ? AND ?"
                   ).format(exprs=", ".join(exprs), t=table, ids=ids_name, d=date_col, latest=latest)
            res = self.query_numpy(sql, [start.date(), end.date()])
        finally:
            self._unregister(ids_name)
        k = np.asarray(res.pop("k"))
        day = np.asarray(res.pop("_day"))
        # Converted one column at a time so each fetched column is released as it goes.
        values = {f: _float_array(res.pop(f)) for f in fields}
        n_cal = j1 - j0
        if len(k) == 0 or n_cal <= 0:
            return k[:0], k[:0], {f: v[:0] for f, v in values.items()}
        # calendar position of every day of the requested range (-1: not a trading date)
        lo = int(np.datetime64(start.date(), "D").astype(np.int64))
        hi = int(np.datetime64(end.date(), "D").astype(np.int64))
        cal_days = cal[j0:j1].values.astype("datetime64[D]").astype(np.int64)
        lookup = np.full(hi - lo + 1, -1, dtype=np.int32)
        lookup[cal_days - lo] = np.arange(n_cal, dtype=np.int32)
        j = lookup[day - lo]
        if j.min() < 0:    # a row on a date missing from the calendar cannot be labelled
            keep = j >= 0
            k, j = k[keep], j[keep]
            values = {f: v[keep] for f, v in values.items()}
        cells = len(ids) * n_cal
        flat = k.astype(np.int64 if cells >= 2**31 else np.int32) * n_cal + j
        if len(flat) < 2 or bool(np.all(flat[1:] > flat[:-1])):
            return k, j, values   # the scan kept the store's (id, date) order
        if cells <= 64_000_000:
            slot = np.full(cells, -1, dtype=np.int64)
            slot[flat] = np.arange(len(flat))
            order = slot[slot >= 0]
        else:
            order = np.argsort(flat, kind="stable")
        for f in fields:
            values[f] = values[f][order]   # one column at a time, the old one released
        return k[order], j[order], values

    def fetch_intraday(self, table: str, ids: List[str], start, end, fields: List[str],
                       adjust: Optional[str], price_fields: Optional[Sequence[str]] = None):
        """Rows of an intraday table; returns (k, datetimes, {field: array}) sorted by (k, t)."""
        if price_fields is None:
            price_fields = schema.TABLES[table].price_fields
        ids_name = self._ids_relation(ids)
        try:
            exprs = []
            join = ""
            if adjust is not None and any(f in price_fields for f in fields):
                factor = "COALESCE(d.adj_factor, 1.0)"
                if adjust == "pre":
                    factor = "COALESCE(d.adj_factor / l.latest, 1.0)"
                    join += ("LEFT JOIN (SELECT b2.order_book_id, arg_max(b2.adj_factor, b2.date) AS latest "
                             "FROM daily_bars b2 SEMI JOIN {ids} i2 ON b2.order_book_id = i2.order_book_id "
                             "GROUP BY b2.order_book_id) l ON l.order_book_id = b.order_book_id "
                             ).format(ids=ids_name)
                join = ("LEFT JOIN daily_bars d ON d.order_book_id = b.order_book_id "
                        "AND d.date = CAST(b.datetime AS DATE) ") + join
                for f in fields:
                    if f in price_fields:
                        exprs.append("b.{0} * {1} AS {0}".format(f, factor))
                    else:
                        exprs.append("b.{0} AS {0}".format(f))
            else:
                exprs = ["b.{0} AS {0}".format(f) for f in fields]
            sql = ("SELECT i.k, b.datetime AS t, {exprs} FROM {t} b "
                   "JOIN {ids} i ON i.order_book_id = b.order_book_id {join}"
                   "WHERE b.datetime BETWEEN ? AND ? ORDER BY i.k, b.datetime"
                   ).format(exprs=", ".join(exprs), t=table, ids=ids_name, join=join)
            res = self.query_numpy(sql, [start.to_pydatetime(), end.to_pydatetime()])
        finally:
            self._unregister(ids_name)
        k = np.asarray(res.pop("k"))
        t = np.asarray(res.pop("t"), dtype="datetime64[ns]")
        return k, t, {f: _float_array(res[f]) for f in fields}

    def fetch_signal(self, ids: Optional[List[str]], start, end, name: str) -> pd.DataFrame:
        self.require_table("signals")
        params = [name, start.date(), end.date()]
        if ids is None:
            sql = ("SELECT order_book_id, date, value FROM signals WHERE name = ? "
                   "AND date BETWEEN ? AND ? ORDER BY order_book_id, date")
            return self.con.execute(sql, params).df()
        ids_name = self._ids_relation(ids)
        try:
            sql = ("SELECT s.order_book_id, s.date, s.value FROM signals s "
                   "SEMI JOIN {ids} i ON i.order_book_id = s.order_book_id "
                   "WHERE s.name = ? AND s.date BETWEEN ? AND ? ORDER BY s.order_book_id, s.date"
                   ).format(ids=ids_name)
            return self.con.execute(sql, params).df()
        finally:
            self._unregister(ids_name)

    def fetch_style_frame(self, ids, start, end, fields):
        """Style exposures and derived factors (see ``derived_factors``), indexed
        (order_book_id, date), one column per field."""
        derived = self.derived_factors()
        exprs = []
        for f in fields:
            if f in schema.STYLE_FACTORS:
                exprs.append("s.{0} AS {0}".format(f))
            elif f in derived:
                exprs.append("{} AS {}".format(DEMO_DERIVED_FACTORS[f], f))
            else:
                raise ValueError("fields: unknown style factor {!r}, expect some of {}".format(
                    f, list(schema.STYLE_FACTORS) + derived))
        ids_name = self._ids_relation(ids)
        try:
            sql = ("SELECT s.order_book_id, s.date, {e} FROM style_exposures s "
                   "SEMI JOIN {ids} i ON i.order_book_id = s.order_book_id "
                   "WHERE s.date BETWEEN ? AND ? ORDER BY s.order_book_id, s.date"
                   ).format(e=", ".join(exprs), ids=ids_name)
            df = self.con.execute(sql, [start.date(), end.date()]).df()
        finally:
            self._unregister(ids_name)
        if df.empty:
            return None
        df["date"] = pd.to_datetime(df["date"]).astype("datetime64[ns]")
        return df.set_index(["order_book_id", "date"])

    # -- wide reads: rows as (instrument, day) positions --------------------------------------
    #: Rows handed to a ``scan_cells`` visitor at a time (bounds the transient Arrow buffers).
    CELL_BATCH_ROWS = 1 << 18

    def scan_cells(self, table: str, ids: Sequence[str], start, end, fields: List[str],
                   adjust: Optional[str], visit, name: Optional[str] = None,
                   days: Optional[np.ndarray] = None, others: bool = False) -> None:
        """Every stored row of a daily table for ``ids`` between ``start`` and ``end``, handed to
        ``visit(k, day, values)`` one record batch at a time, in no particular order.

        ``k`` (int32) is the row's position in ``ids`` (any order, unique), ``day`` (int32) its
        date in days since 1970-01-01 and ``values`` ``{field: float64 array}`` (NULL -> NaN).
        ``table`` is "daily_bars" (``adjust`` as in ``fetch_daily``, the same SQL arithmetic),
        "style_exposures" (style factors and ``derived_factors()``) or "signals" (the one field
        "value" of the signal ``name``).  ``days`` (int days since 1970-01-01) keeps only rows on
        those dates; ``others`` also hands over rows of ids not in ``ids``, with ``k = -1``.
        Nothing is sorted or reshaped here: the caller places the values by their positions.
        """
        self.require_table(table)
        exprs = self._cell_exprs(table, fields, adjust)
        ids_name = self._ids_relation(ids)
        days_name = None
        try:
            join = "LEFT JOIN" if others else "JOIN"
            where = ["b.date BETWEEN ? AND ?"]
            params: list = [pd.Timestamp(start).date(), pd.Timestamp(end).date()]
            if table == "signals":
                where.append("b.name = ?")
                params.append(name)
            latest = ""
            if adjust == "pre" and table == "daily_bars":
                latest = ("JOIN (SELECT b2.order_book_id, arg_max(b2.adj_factor, b2.date) AS latest "
                          "FROM daily_bars b2 {semi} GROUP BY b2.order_book_id) l "
                          "ON l.order_book_id = b.order_book_id ").format(
                    semi="" if others else
                    "SEMI JOIN {} i2 ON b2.order_book_id = i2.order_book_id".format(ids_name))
            days_join = ""
            if days is not None:
                days_name = "_tw_days_{}".format(threading.get_ident())
                stamps = np.asarray(days, dtype=np.int64).astype("datetime64[D]").astype("datetime64[ns]")
                self.con.register(days_name, pd.DataFrame({"d": stamps}))
                days_join = "SEMI JOIN (SELECT CAST(d AS DATE) AS d FROM {}) dd ON dd.d = b.date ".format(
                    days_name)
            sql = ("SELECT COALESCE(i.k, -1)::INTEGER AS k, b.date AS day, {exprs} FROM {t} b "
                   "{join} {ids} i ON i.order_book_id = b.order_book_id {latest}{days_join}"
                   "WHERE {where}").format(exprs=", ".join(exprs), t=table, join=join, ids=ids_name,
                                           latest=latest, days_join=days_join, where=" AND ".join(where))
            reader = _arrow_reader(self.con.sql(sql, params=params), self.CELL_BATCH_ROWS)
            for batch in reader:
                if batch.num_rows == 0:
                    continue
                k = batch.column(0).to_numpy()
                day = batch.column(1).cast(_pa().int32()).to_numpy()
                values = {f: np.asarray(batch.column(2 + i).to_numpy(zero_copy_only=False), dtype=np.float64)
                          for i, f in enumerate(fields)}
                visit(k, day, values)
        finally:
            self._unregister(ids_name)
            if days_name is not None:
                self._unregister(days_name)

    def _cell_exprs(self, table: str, fields: List[str], adjust: Optional[str]) -> List[str]:
        """The SELECT expressions of ``scan_cells`` (fields checked against the schema)."""
        if table == "signals":
            if list(fields) != ["value"]:
                raise ValueError("fields: a signal has the one field 'value', got {!r}".format(fields))
            return ["b.value AS f0"]
        if table == "style_exposures":
            derived = self.derived_factors()
            out = []
            for n, f in enumerate(fields):
                if f in schema.STYLE_FACTORS:
                    out.append("b.{} AS f{}".format(f, n))
                elif f in derived:
                    out.append("{} AS f{}".format(DEMO_DERIVED_FACTORS[f], n))
                else:
                    raise ValueError("fields: unknown style factor {!r}, expect some of {}".format(
                        f, list(schema.STYLE_FACTORS) + derived))
            return out
        if table != "daily_bars":
            raise ValueError("table: expect daily_bars, style_exposures or signals, got {!r}".format(table))
        allowed = schema.price_fields("1d")
        price = schema.TABLES[table].price_fields
        factor = {"post": "b.adj_factor", "pre": "(b.adj_factor / l.latest)"}.get(adjust)
        out = []
        for n, f in enumerate(fields):
            if f not in allowed:
                raise ValueError("fields: unknown field {!r}, expect some of {}".format(f, list(allowed)))
            if factor is not None and f in price:
                out.append("b.{} * {} AS f{}".format(f, factor, n))
            else:
                out.append("b.{} AS f{}".format(f, n))
        return out

    def signal_names(self) -> List[str]:
        if not self.has_table("signals"):
            return []
        # A scan of every row's name: kept, like the calendar, for the life of the connection.
        if self._signal_names is None:
            self._signal_names = [r[0] for r in self.con.execute(
                "SELECT DISTINCT name FROM signals ORDER BY 1").fetchall()]
        return list(self._signal_names)

    def last_bar_date(self) -> Optional[pd.Timestamp]:
        last = self.con.execute("SELECT max(date) FROM daily_bars").fetchall()[0][0]
        return None if last is None else pd.Timestamp(last)

    def index_members(self, index_id: str, date) -> List[str]:
        d = pd.Timestamp(date).date()
        rows = self.con.execute(
            "SELECT DISTINCT order_book_id FROM index_components WHERE index_id = ? AND in_date <= ? "
            "AND (out_date IS NULL OR out_date > ?) ORDER BY order_book_id",
            [index_id, d, d]).fetchall()
        return [r[0] for r in rows]

    def industry_records(self, table: str, columns: List[str]) -> pd.DataFrame:
        self.require_table(table)
        sql = "SELECT {} FROM {} ORDER BY order_book_id, start_date".format(", ".join(columns), table)
        return self.con.execute(sql).df()

    # -- trading status: special treatment, limit prices, suspensions, index spells -----------
    def status_current(self) -> bool:
        """Whether the store's ``trading_status`` was derived with the current rules (else reads
        derive the status from the bars as they go, which is slower)."""
        return self.has_table("trading_status") and self.metadata().get(STATUS_KEY) == STATUS_REVISION

    def bar_span(self):
        """(first, last) date of the daily bars as Timestamps, (None, None) without bars."""
        if getattr(self, "_bar_span", None) is None:
            lo, hi = self.con.execute("SELECT min(date), max(date) FROM daily_bars").fetchall()[0]
            self._bar_span = (None if lo is None else pd.Timestamp(lo), None if hi is None else pd.Timestamp(hi))
        return self._bar_span

    def st_spells(self, ids: Optional[List[str]]) -> pd.DataFrame:
        """The ``st_status`` spells of ``ids`` (None: all), sorted by (order_book_id, start_date);
        dates as datetime64[ns] (end_date NaT: still under special treatment)."""
        cols = "s.order_book_id, s.start_date, s.end_date, s.kind"
        if not self.has_table("st_status"):
            df = pd.DataFrame({"order_book_id": pd.Series([], dtype=object),
                               "start_date": pd.Series([], dtype="datetime64[ns]"),
                               "end_date": pd.Series([], dtype="datetime64[ns]"),
                               "kind": pd.Series([], dtype=object)})
            return df
        if ids is None:
            df = self.con.execute("SELECT {} FROM st_status s ORDER BY 1, 2".format(cols)).df()
        else:
            name = self._ids_relation(ids)
            try:
                df = self.con.execute("SELECT {} FROM st_status s SEMI JOIN {} i ON i.order_book_id = "
                                      "s.order_book_id ORDER BY 1, 2".format(cols, name)).df()
            finally:
                self._unregister(name)
        for c in ("start_date", "end_date"):
            df[c] = pd.to_datetime(df[c]).astype("datetime64[ns]")
        return df

    def index_spells(self, index_id: str) -> pd.DataFrame:
        """The membership spells of ``index_id``: order_book_id, in_date, out_date (NaT: still a
        member), sorted; empty for an unknown index or a store without memberships."""
        if not self.has_table("index_components"):
            df = pd.DataFrame({"order_book_id": pd.Series([], dtype=object),
                               "in_date": pd.Series([], dtype="datetime64[ns]"),
                               "out_date": pd.Series([], dtype="datetime64[ns]")})
            return df
        df = self.con.execute("SELECT order_book_id, in_date, out_date FROM index_components "
                              "WHERE index_id = ? ORDER BY 1, 2", [index_id]).df()
        for c in ("in_date", "out_date"):
            df[c] = pd.to_datetime(df[c]).astype("datetime64[ns]")
        return df

    def fetch_status(self, ids: List[str], start, end):
        """The days of ``ids`` between start and end that could not be traded freely at the close:
        (k, j, code) with k indexing ``ids``, j the calendar from its first date on or after
        ``start``, code ``STATUS_CODES`` (1 suspended, 2 closed at the upper limit, 3 at the
        lower); one row per such day, in no particular order."""
        cal = self.calendar()
        j0 = int(cal.searchsorted(start, "left"))
        ids_name = self._ids_relation(ids)
        try:
            if self.status_current():
                source, params = "trading_status", []
            else:
                source = "({})".format(status_sql(self.has_table("st_status"),
                                                  self.has_table("price_limits"), ids_name, until=True))
                params = [end.date()]
            codes = " ".join("WHEN '{}' THEN {}".format(n, c) for n, c in STATUS_CODES.items())
            sql = ("SELECT i.k, (s.date - DATE '1970-01-01')::INTEGER AS _day, "
                   "(CASE s.status {codes} ELSE 0 END)::TINYINT AS code FROM {src} s "
                   "JOIN {ids} i ON i.order_book_id = s.order_book_id WHERE s.date BETWEEN ? AND ?"
                   ).format(codes=codes, src=source, ids=ids_name)
            res = self.query_numpy(sql, params + [start.date(), end.date()])
        finally:
            self._unregister(ids_name)
        k = np.asarray(res["k"], dtype=np.int64)
        day = np.asarray(res["_day"], dtype=np.int64)
        codes = np.asarray(res["code"], dtype=np.int8)
        cal_days = cal.values.astype("datetime64[D]").astype(np.int64)
        j = np.searchsorted(cal_days, day) - j0
        return k, j, codes

    def fetch_limits(self, ids: List[str], start, end, adjust: Optional[str]):
        """Limit prices of the daily bars of ``ids`` between start and end (imported, else
        derived; NaN: no limit), in the form of ``fetch_daily``: (k, j, {"limit_up", "limit_down"})
        sorted by (k, j), one row per bar.  ``adjust`` as for ``fetch_daily``."""
        cal = self.calendar()
        j0 = int(cal.searchsorted(start, "left"))
        ids_name = self._ids_relation(ids)
        try:
            factor = {"post": "l.adj_factor", "pre": "(l.adj_factor / a.latest)"}.get(adjust, "1.0")
            latest = ""
            if adjust == "pre":
                latest = ("JOIN (SELECT b2.order_book_id, arg_max(b2.adj_factor, b2.date) AS latest "
                          "FROM daily_bars b2 SEMI JOIN {ids} i2 ON b2.order_book_id = i2.order_book_id "
                          "GROUP BY b2.order_book_id) a ON a.order_book_id = l.order_book_id "
                          ).format(ids=ids_name)
            sql = ("SELECT i.k, (l.date - DATE '1970-01-01')::INTEGER AS _day, "
                   "l.limit_up * {f} AS limit_up, l.limit_down * {f} AS limit_down FROM ({lim}) l "
                   "JOIN {ids} i ON i.order_book_id = l.order_book_id {latest}"
                   "WHERE l.date BETWEEN ? AND ? ORDER BY i.k, l.date").format(
                f=factor, lim=limits_sql(self.has_table("st_status"), self.has_table("price_limits"),
                                         ids_name, until=True),
                ids=ids_name, latest=latest)
            res = self.query_numpy(sql, [end.date(), start.date(), end.date()])
        finally:
            self._unregister(ids_name)
        k = np.asarray(res.pop("k"), dtype=np.int64)
        day = np.asarray(res.pop("_day"), dtype=np.int64)
        cal_days = cal.values.astype("datetime64[D]").astype(np.int64)
        j = np.searchsorted(cal_days, day) - j0
        return k, j, {f: _float_array(res[f]) for f in ("limit_up", "limit_down")}


for _name in ("tables", "calendar", "instruments", "metadata", "query_numpy", "fetch_daily",
              "fetch_intraday", "fetch_signal", "fetch_style_frame", "signal_names", "last_bar_date",
              "index_members", "industry_records"):
    setattr(DuckDBStore, _name, _translated(getattr(DuckDBStore, _name)))
for _name in ("status_current", "bar_span", "st_spells", "index_spells", "fetch_status", "fetch_limits"):
    setattr(DuckDBStore, _name, _translated(getattr(DuckDBStore, _name)))
del _name


# -- derived trading status ----------------------------------------------------------------------
#: The metadata row recording the revision of the rules ``trading_status`` was derived with.
STATUS_KEY = "trading_status"
STATUS_REVISION = "1." + _limits.RULES_REVISION
#: Codes of the statuses (``fetch_status``); 0 is a day traded freely.
STATUS_CODES = {"suspended": 1, "limit_up": 2, "limit_down": 3}


def _bars_sql(ids: Optional[str], until: bool) -> str:
    """Daily bars (of the ids of the relation ``ids``, up to the date parameter when ``until``)
    with their calendar position and their neighbours' close, factor and position."""
    ids_join = "SEMI JOIN {} f ON f.order_book_id = b.order_book_id ".format(ids) if ids else ""
    return ("SELECT b.order_book_id, b.date, b.close, b.adj_factor, c.pos, "
            "lag(b.close) OVER w AS prev_close, lag(b.adj_factor) OVER w AS prev_factor, "
            "lag(c.pos) OVER w AS prev_pos, lead(c.pos) OVER w AS next_pos "
            "FROM daily_bars b JOIN _cal c ON c.date = b.date {ids}{until}"
            "WINDOW w AS (PARTITION BY b.order_book_id ORDER BY b.date)").format(
        ids=ids_join, until="WHERE b.date <= ? " if until else "")


def _common_ctes() -> str:
    return ("_cal AS (SELECT date, (row_number() OVER (ORDER BY date) - 1)::BIGINT AS pos "
            "FROM trading_calendar), "
            "_ins AS (SELECT i.order_book_id, i.type, i.listed_date, "
            "CASE WHEN i.type = 'CS' THEN {board} END AS board, "
            "(SELECT count(*) FROM trading_calendar c WHERE c.date < i.listed_date) AS listed_pos, "
            "CASE WHEN i.de_listed_date IS NOT NULL THEN (SELECT count(*) FROM trading_calendar c "
            "WHERE c.date < i.de_listed_date) - 1 END AS last_pos "
            "FROM instruments i)").format(board=_limits.board_sql("i.order_book_id"))


def _limits_select(has_st: bool, has_limits: bool) -> str:
    """The bars of ``_bars`` with their limit prices (imported, else derived)."""
    st_join = st_expr = ""
    if has_st:
        st_join = ("LEFT JOIN st_status s ON s.order_book_id = b.order_book_id AND s.start_date <= "
                   "b.date AND (s.end_date IS NULL OR b.date < s.end_date) ")
    st_expr = "s.order_book_id IS NOT NULL" if has_st else "false"
    width = _limits.width_sql("n.board", "b.date", st_expr, "(b.pos - n.listed_pos)", "n.listed_date")
    ref = _limits.reference_sql("b.prev_close", "b.prev_factor", "b.adj_factor")
    derived = ("SELECT b.order_book_id, b.date, b.close, b.adj_factor, {ref} AS _ref, {w} AS _width "
               "FROM _bars b LEFT JOIN _ins n ON n.order_book_id = b.order_book_id {st}").format(
        ref=ref, w=width, st=st_join)
    up = _limits.limit_sql("d._ref", "d._width", 1)
    down = _limits.limit_sql("d._ref", "d._width", -1)
    if not has_limits:
        return ("SELECT d.order_book_id, d.date, d.close, d.adj_factor, {} AS limit_up, {} AS "
                "limit_down FROM ({}) d").format(up, down, derived)
    return ("SELECT d.order_book_id, d.date, d.close, d.adj_factor, "
            "CASE WHEN p.order_book_id IS NULL THEN {up} ELSE p.limit_up END AS limit_up, "
            "CASE WHEN p.order_book_id IS NULL THEN {down} ELSE p.limit_down END AS limit_down "
            "FROM ({d}) d LEFT JOIN price_limits p ON p.order_book_id = d.order_book_id "
            "AND p.date = d.date").format(up=up, down=down, d=derived)


def limits_sql(has_st: bool, has_limits: bool, ids: Optional[str] = None, until: bool = False) -> str:
    """Every daily bar (of the ids of the relation ``ids``; up to a date parameter when
    ``until``) with its limit prices: order_book_id, date, close, adj_factor, limit_up,
    limit_down (NULL: no limit).  ``has_st`` / ``has_limits``: the store holds the tables."""
    return "WITH {}, _bars AS ({}) {}".format(_common_ctes(), _bars_sql(ids, until),
                                              _limits_select(has_st, has_limits))


def status_sql(has_st: bool, has_limits: bool, ids: Optional[str] = None, until: bool = False) -> str:
    """The rows of ``trading_status`` (of the ids of the relation ``ids``; up to a date parameter
    when ``until``, which leaves the rows up to that date as they are): order_book_id, date,
    status."""
    tol = _limits.AT_LIMIT
    return (
        "WITH {ctes}, _bars AS MATERIALIZED ({bars}), "
        "_span AS (SELECT min(c.pos) AS lo, max(c.pos) AS hi FROM _cal c, (SELECT min(date) AS "
        "first, max(date) AS last FROM daily_bars) d WHERE c.date = d.first OR c.date = d.last), "
        "_lim AS ({lim}), "
        "_gaps AS ("
        "SELECT b.order_book_id, b.prev_pos + 1 AS a, b.pos - 1 AS z FROM _bars b "
        "WHERE b.pos > b.prev_pos + 1 "
        "UNION ALL SELECT b.order_book_id, greatest(n.listed_pos, p.lo) AS a, b.pos - 1 AS z "
        "FROM _bars b JOIN _ins n ON n.order_book_id = b.order_book_id, _span p WHERE b.prev_pos IS NULL "
        "UNION ALL SELECT b.order_book_id, b.pos + 1 AS a, least(coalesce(n.last_pos, p.hi), p.hi) AS z "
        "FROM _bars b JOIN _ins n ON n.order_book_id = b.order_book_id, _span p WHERE b.next_pos IS NULL) "
        "SELECT l.order_book_id, l.date, CASE WHEN l.close >= l.limit_up - {tol} THEN 'limit_up' "
        "ELSE 'limit_down' END AS status FROM _lim l "
        "WHERE l.close >= l.limit_up - {tol} OR l.close <= l.limit_down + {tol} "
        "UNION ALL SELECT g.order_book_id, c.date, 'suspended' AS status FROM _gaps g "
        "JOIN _ins n ON n.order_book_id = g.order_book_id AND n.type <> 'INDX' "
        "JOIN _cal c ON c.pos BETWEEN g.a AND g.z"
    ).format(ctes=_common_ctes(), bars=_bars_sql(ids, until), lim=_limits_select(has_st, has_limits),
             tol=repr(tol))


def refresh_trading_status(con) -> int:
    """Derive ``trading_status`` of the store behind ``con`` (a writer, inside the caller's
    transaction) from its current tables; records the revision in metadata.  Returns its rows."""
    present = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables "
                                         "WHERE table_schema = 'main'").fetchall()}
    con.execute(schema.TABLES["trading_status"].ddl())
    con.execute("DELETE FROM trading_status")
    if {"daily_bars", "instruments", "trading_calendar"} <= present:
        con.execute("INSERT INTO trading_status SELECT * FROM ({}) ORDER BY order_book_id, date".format(
            status_sql("st_status" in present, "price_limits" in present)))
    con.execute("DELETE FROM metadata WHERE key = ?", [STATUS_KEY])
    con.execute("INSERT INTO metadata VALUES (?, ?)", [STATUS_KEY, STATUS_REVISION])
    return int(con.execute("SELECT count(*) FROM trading_status").fetchall()[0][0])


def check_selectable(path) -> None:
    """Refuse a file that is no usable store (``tidewell.init``): a folder, an empty or foreign
    file, a damaged store, or a DuckDB file without tidewell tables or without any data (as an
    import killed by an earlier version could leave)."""
    st = open_store(path, read_only=True)
    known = [t for t in schema.TABLE_ORDER if t != "metadata" and st.has_table(t)]
    if not known:
        close(path)
        raise _errors.NotAStoreError(
            "{} is not a tidewell store: a DuckDB database without tidewell's tables (build one with "
            "`tidewell build-demo` or `tidewell import`)".format(st.path), st.path)
    try:
        _check_size(st.con, st.path, known)
        empty = all(st.con.execute("SELECT NOT EXISTS (SELECT 1 FROM {})".format(t)).fetchall()[0][0]
                    for t in known)
    except duckdb.Error as exc:
        close(path)
        err = _errors.translate(exc, st.path)
        if err is exc:
            raise
        raise err from None
    except _errors.StoreError:
        close(path)
        raise
    if empty:
        close(path)
        raise _errors.EmptyStoreError(
            "tidewell store {} holds no data (left by an interrupted import?); remove it and import "
            "again".format(st.path), st.path)


#: The name the class had before the store protocol (code that imports ``store.Store``).
Store = DuckDBStore


def _pa():
    import pyarrow
    return pyarrow


def _arrow_reader(rel, batch_rows: int):
    """Record batches of a DuckDB relation (the method's name depends on the duckdb version)."""
    for method in ("to_arrow_reader", "fetch_arrow_reader", "record_batch"):
        read = getattr(rel, method, None)
        if read is not None:
            return read(batch_rows)
    raise RuntimeError("duckdb: this version offers no Arrow record-batch reader")  # pragma: no cover


def _float_array(a) -> np.ndarray:
    """A writable float64 array (NULL -> NaN); results are handed to pandas without a copy."""
    if isinstance(a, np.ma.MaskedArray):
        return a.astype(np.float64).filled(np.nan)
    return np.require(np.asarray(a, dtype=np.float64), requirements=["W"])


def open_store(path, read_only: bool = True) -> DuckDBStore:
    """The process-wide shared ``DuckDBStore`` for ``path`` (opened on first use)."""
    key = _key(path)
    with _REGISTRY_LOCK:
        st = _REGISTRY.get(key)
        if st is not None and (st.read_only == read_only or not st.read_only):
            return st
        if st is not None:
            st.close()
        st = DuckDBStore(path, read_only=read_only)
        _REGISTRY[key] = st
        return st


def close(path) -> None:
    """Close the shared connection to ``path`` if this process holds one."""
    key = _key(path)
    with _REGISTRY_LOCK:
        st = _REGISTRY.pop(key, None)
    if st is not None:
        st.close()


def close_all() -> None:
    with _REGISTRY_LOCK:
        stores = list(_REGISTRY.values())
        _REGISTRY.clear()
    for st in stores:
        st.close()
