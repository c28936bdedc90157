"""Loading a user's CSV / Parquet files into a store, and describing what a store holds.

``import_files(store_path, files)`` loads each file into one table of the schema
(``tidewell/SCHEMA.md``).  ``files`` is a mapping ``{table: path or [paths]}``, or a list whose
items are paths (the table is taken from the file name: ``daily_bars.csv``,
``daily_bars_2020.parquet``...) or ``"table=path"`` texts or ``(table, path)`` pairs.

Every file is validated before anything is written:

* the table is known, every required column is present and no unknown column is;
* every value reads as its column's type (text, ISO date, ISO timestamp, number, integer) and
  is present where the column does not allow missing values;
* prices and adjustment factors are positive, and ``low <= high`` where both are given;
* no key appears twice (within the files, or — unless ``replace=True`` — in the store already);
* every ``order_book_id`` of a data table is an instrument of the store or of the import;
* dates of daily tables are trading dates of ``trading_calendar`` (if the store has no calendar
  and none is imported, the calendar is derived from the daily bars' dates).

The import runs in one transaction: if anything fails, the store is left exactly as it was (a
store that the import was creating is removed again) and the ``ImportError_`` message names the
file, the row (1-based data row; for CSV also the line) and the column at fault
(``TidewellImportError``, a ``ValueError``).
"""

from __future__ import annotations

import os
from typing import Dict, List, Optional, Tuple

import duckdb
import numpy as np
import pandas as pd

from . import schema
from . import store as _store
from .decorators import clear_all_caches

__all__ = ["import_files", "store_info", "TidewellImportError", "resolve_files"]


class TidewellImportError(ValueError):
    """A file could not be imported; the message names the file, row and column."""

    def __init__(self, message, file=None, row=None, column=None):
        super().__init__(message)
        self.file = file
        self.row = row
        self.column = column


def _fail(src, reason, row=None, column=None):
    where = [os.path.basename(src.path) if src is not None else "import"]
    if row is not None:
        if src is not None and src.is_csv:
            where.append("row {} (line {})".format(row + 1, row + 2))
        else:
            where.append("row {}".format(row + 1))
    if column is not None:
        where.append("column {!r}".format(column))
    msg = "{}: {}".format(", ".join(where), reason)
    if src is not None:
        msg += "  [file {}, table {}]".format(src.path, src.table)
    raise TidewellImportError(msg, file=src.path if src is not None else None,
                              row=None if row is None else row + 1, column=column)


class _Source:
    def __init__(self, table: str, path: str):
        self.table = table
        self.path = os.fspath(path)
        ext = os.path.splitext(self.path)[1].lower()
        self.is_csv = ext in (".csv", ".txt", ".tsv")
        if not self.is_csv and ext not in (".parquet", ".pq"):
            _fail(self, "unsupported file type {!r}: expect .csv or .parquet".format(ext))

    def read(self) -> pd.DataFrame:
        if not os.path.exists(self.path):
            _fail(self, "file not found")
        try:
            if self.is_csv:
                sep = "\t" if self.path.lower().endswith(".tsv") else ","
                return pd.read_csv(self.path, sep=sep, dtype=str, keep_default_na=False,
                                   na_values=[""], skipinitialspace=True)
            return pd.read_parquet(self.path)
        except TidewellImportError:
            raise
        except Exception as exc:  # unreadable file
            _fail(self, "cannot read the file: {}".format(exc))


def resolve_files(files) -> List[_Source]:
    """Normalise the accepted ``files`` forms into a list of sources in schema order."""
    pairs: List[Tuple[str, str]] = []
    if isinstance(files, (str, os.PathLike)):
        files = [files]
    if isinstance(files, dict):
        for table, paths in files.items():
            if isinstance(paths, (str, os.PathLike)):
                paths = [paths]
            for p in paths:
                pairs.append((table, os.fspath(p)))
    else:
        for item in files:
            if isinstance(item, tuple):
                pairs.append((item[0], os.fspath(item[1])))
                continue
            text = os.fspath(item)
            if "=" in text and text.split("=", 1)[0] in schema.TABLES:
                table, p = text.split("=", 1)
                pairs.append((table, p))
            else:
                pairs.append((_table_from_name(text), text))
    out = []
    for table, p in pairs:
        if table not in schema.TABLES or table == "metadata":
            raise TidewellImportError(
                "{}: unknown table {!r}, expect one of {}".format(
                    os.path.basename(p), table,
                    [t for t in schema.TABLE_ORDER if t != "metadata"]), file=p)
        out.append(_Source(table, p))
    order = {t: i for i, t in enumerate(schema.TABLE_ORDER)}
    out.sort(key=lambda s: order[s.table])
    return out


def _table_from_name(path: str) -> str:
    stem = os.path.basename(path).split(".")[0]
    for t in sorted(schema.TABLES, key=len, reverse=True):
        if stem == t or stem.startswith(t + "_") or stem.startswith(t + "-"):
            return t
    raise TidewellImportError(
        "{}: cannot tell the table from the file name; name the file after a table ({}) or "
        "pass TABLE=PATH".format(os.path.basename(path), ", ".join(
            t for t in schema.TABLE_ORDER if t != "metadata")), file=path)


# -- conversion --------------------------------------------------------------------------------
def _first_bad(mask: np.ndarray) -> Optional[int]:
    idx = np.flatnonzero(mask)
    return int(idx[0]) if len(idx) else None


def _convert(src: _Source, col: schema.Column, values: pd.Series) -> pd.Series:
    raw = values
    missing_in = raw.isna().to_numpy()
    if col.kind == "text":
        present = raw[~missing_in]
        if len(present) and not pd.api.types.is_string_dtype(present.astype(object)):
            kinds = present.map(type)
            bad_pos = _first_bad((kinds != str).to_numpy())
            bad = int(np.flatnonzero(~missing_in)[bad_pos])
            _fail(src, "expect text, got {!r}".format(raw.iloc[bad]), bad, col.name)
        out = raw.astype(object).where(~missing_in, "")
        out = pd.Series(out.astype(str).str.strip().to_numpy(dtype=object), index=raw.index)
        missing_in = missing_in | (out == "").to_numpy()
        out = out.where(~missing_in, None)
    elif col.kind in ("date", "timestamp"):
        if pd.api.types.is_datetime64_any_dtype(raw):
            out = pd.to_datetime(raw)
            if getattr(out.dt, "tz", None) is not None:
                out = out.dt.tz_localize(None)
        else:
            text = raw.astype(object).where(~missing_in, None)
            text = text.map(lambda v: v.isoformat() if hasattr(v, "isoformat") else v)
            out = pd.to_datetime(text, format="ISO8601", errors="coerce")
        bad = _first_bad(~missing_in & out.isna().to_numpy())
        if bad is not None:
            _fail(src, "cannot read {!r} as a {} (expect YYYY-MM-DD{})".format(
                raw.iloc[bad], col.kind, "" if col.kind == "date" else " HH:MM:SS"), bad, col.name)
        out = out.astype("datetime64[ns]")
        if col.kind == "date":
            off = _first_bad((~missing_in) & (out != out.dt.normalize()).to_numpy())
            if off is not None:
                _fail(src, "expect a date without time of day, got {!r}".format(raw.iloc[off]),
                      off, col.name)
    else:
        if pd.api.types.is_bool_dtype(raw):
            _fail(src, "expect a number, got booleans", 0, col.name)
        out = pd.to_numeric(raw, errors="coerce")
        bad = _first_bad(~missing_in & out.isna().to_numpy())
        if bad is not None:
            _fail(src, "cannot read {!r} as a number".format(raw.iloc[bad]), bad, col.name)
        out = out.astype(np.float64)
        fin = _first_bad(~missing_in & ~np.isfinite(out.to_numpy()))
        if fin is not None:
            _fail(src, "expect a finite number, got {!r}".format(raw.iloc[fin]), fin, col.name)
        if col.kind == "int":
            frac = _first_bad(~missing_in & (np.floor(out.fillna(0)) != out.fillna(0)).to_numpy())
            if frac is not None:
                _fail(src, "expect an integer, got {!r}".format(raw.iloc[frac]), frac, col.name)
    if not col.nullable:
        miss = _first_bad(missing_in)
        if miss is not None:
            _fail(src, "missing value (the column does not allow empty values)", miss, col.name)
    if col.positive:
        arr = out.to_numpy(dtype=np.float64, na_value=np.nan)
        nonpos = _first_bad(~missing_in & ~(arr > 0))
        if nonpos is not None:
            _fail(src, "expect a positive value, got {!r}".format(raw.iloc[nonpos]), nonpos, col.name)
    if col.kind == "int":
        out = out.astype("Int64") if col.nullable else out.astype(np.int64)
    return out


def _validate_frame(src: _Source, frame: pd.DataFrame) -> pd.DataFrame:
    table = schema.TABLES[src.table]
    frame.columns = [str(c).strip() for c in frame.columns]
    names = table.column_names
    for c in frame.columns:
        if c not in names:
            _fail(src, "unknown column {!r} for table {} (columns: {})".format(
                c, table.name, ", ".join(names)), column=c)
    dup_cols = [c for c in set(frame.columns) if list(frame.columns).count(c) > 1]
    if dup_cols:
        _fail(src, "column given twice", column=dup_cols[0])
    for col in table.columns:
        if col.required and col.name not in frame.columns:
            _fail(src, "missing required column (table {} requires {})".format(
                table.name, ", ".join(c.name for c in table.columns if c.required)), column=col.name)
    if len(frame) == 0:
        _fail(src, "the file has no rows")
    out = {}
    for col in table.columns:
        if col.name in frame.columns:
            out[col.name] = _convert(src, col, frame[col.name]).reset_index(drop=True)
        elif col.name == "adj_factor":
            out[col.name] = pd.Series(np.ones(len(frame)))
        else:
            out[col.name] = pd.Series([None] * len(frame), dtype=object)
    df = pd.DataFrame(out)
    if "high" in frame.columns and "low" in frame.columns:
        bad = _first_bad((df["low"] > df["high"]).to_numpy(dtype=bool, na_value=False))
        if bad is not None:
            _fail(src, "low {} is above high {}".format(df["low"].iloc[bad], df["high"].iloc[bad]),
                  bad, "low")
    if table.name == "instruments":
        bad = _first_bad((df["de_listed_date"].notna() & (df["de_listed_date"] < df["listed_date"]))
                         .to_numpy(dtype=bool))
        if bad is not None:
            _fail(src, "de_listed_date is before listed_date", bad, "de_listed_date")
    return df


def _key_text(df, row, key):
    parts = []
    for k in key:
        v = df[k].iloc[row]
        if isinstance(v, pd.Timestamp):
            v = v.strftime("%Y-%m-%d") if v == v.normalize() else str(v)
        parts.append("{}={}".format(k, v))
    return ", ".join(parts)


# -- import ------------------------------------------------------------------------------------
def import_files(store_path, files, replace: bool = False, create: bool = True) -> Dict[str, int]:
    """Import files into the store at ``store_path`` in one transaction.

    ``replace=True`` empties each table that receives files before loading them (other tables
    are untouched); otherwise rows are added and keys already in the store are an error.
    ``create`` allows creating a new store.  Returns {table: rows imported}.
    """
    store_path = os.fspath(store_path)
    sources = resolve_files(files)
    if not sources:
        raise TidewellImportError("import: no files given")
    frames: List[Tuple[_Source, pd.DataFrame]] = []
    for src in sources:
        frames.append((src, _validate_frame(src, src.read())))

    existed = os.path.exists(store_path)
    if not existed and not create:
        raise FileNotFoundError("tidewell store not found: {}".format(store_path))
    _store.close(store_path)      # a read-only connection of this process would block writing
    clear_all_caches()
    con = duckdb.connect(store_path)
    ok = False
    try:
        con.execute("BEGIN TRANSACTION")
        _store.create_schema(con)
        counts = _load(con, frames, replace)
        con.execute("COMMIT")
        ok = True
        con.execute("CHECKPOINT")
        return counts
    except BaseException:
        if not ok:
            try:
                con.execute("ROLLBACK")
            except Exception:
                pass
        raise
    finally:
        con.close()
        if not ok and not existed:
            for p in (store_path, store_path + ".wal"):
                if os.path.exists(p):
                    os.unlink(p)


def _load(con, frames, replace) -> Dict[str, int]:
    by_table: Dict[str, List[Tuple[_Source, pd.DataFrame]]] = {}
    for src, df in frames:
        by_table.setdefault(src.table, []).append((src, df))
    replaced = set(by_table) if replace else set()
    for t in replaced:
        con.execute("DELETE FROM {}".format(t))

    # instruments known after the import
    inst_ids = set(r[0] for r in con.execute("SELECT order_book_id FROM instruments").fetchall())
    for src, df in by_table.get("instruments", []):
        inst_ids.update(df["order_book_id"].tolist())
    cal = {r[0] for r in con.execute("SELECT date FROM trading_calendar").fetchall()}
    cal_ts = pd.DatetimeIndex(sorted(pd.Timestamp(d) for d in cal)) if cal else pd.DatetimeIndex([])
    for src, df in by_table.get("trading_calendar", []):
        cal_ts = cal_ts.union(pd.DatetimeIndex(df["date"]))
    derive_calendar = len(cal_ts) == 0 and "daily_bars" in by_table
    if derive_calendar:
        dates = pd.DatetimeIndex([])
        for src, df in by_table["daily_bars"]:
            dates = dates.union(pd.DatetimeIndex(df["date"].unique()))
        cal_ts = dates
        con.register("_tw_cal", pd.DataFrame({"date": dates.astype("datetime64[ns]")}))
        con.execute("INSERT INTO trading_calendar SELECT CAST(date AS DATE) FROM _tw_cal")
        con.unregister("_tw_cal")

    counts: Dict[str, int] = {}
    for table_name in schema.TABLE_ORDER:
        if table_name not in by_table:
            continue
        table = schema.TABLES[table_name]
        key = list(table.key)
        seen = None
        for src, df in by_table[table_name]:
            # duplicate keys within the file
            dup = df.duplicated(key, keep="first").to_numpy()
            bad = _first_bad(dup)
            if bad is not None:
                kt = _key_text(df, bad, key)
                first = int(np.flatnonzero((df[key] == df[key].iloc[bad]).all(axis=1).to_numpy())[0])
                _fail(src, "duplicate key ({}), first given at row {}".format(kt, first + 1),
                      bad, key[-1])
            # duplicates across files of one import
            if seen is not None:
                both = df[key].merge(seen, on=key, how="left", indicator=True)["_merge"] == "both"
                bad = _first_bad(both.to_numpy())
                if bad is not None:
                    _fail(src, "duplicate key ({}), also in another file of this import".format(
                        _key_text(df, bad, key)), bad, key[-1])
                seen = pd.concat([seen, df[key]], ignore_index=True)
            else:
                seen = df[key].copy()
            # unknown instruments
            if table.references_instruments:
                unknown = ~df["order_book_id"].isin(inst_ids).to_numpy()
                bad = _first_bad(unknown)
                if bad is not None:
                    _fail(src, "unknown instrument {!r} (not in instruments of the store or of "
                          "this import)".format(df["order_book_id"].iloc[bad]), bad, "order_book_id")
            # trading dates
            if table_name in ("daily_bars", "style_exposures", "signals") and len(cal_ts):
                off = ~pd.DatetimeIndex(df["date"]).isin(cal_ts)
                bad = _first_bad(np.asarray(off))
                if bad is not None:
                    _fail(src, "{} is not a trading date of trading_calendar".format(
                        df["date"].iloc[bad].strftime("%Y-%m-%d")), bad, "date")
            if table_name in ("minute_bars", "ticks") and len(cal_ts):
                off = ~pd.DatetimeIndex(df["datetime"]).normalize().isin(cal_ts)
                bad = _first_bad(np.asarray(off))
                if bad is not None:
                    _fail(src, "{} is not on a trading date of trading_calendar".format(
                        df["datetime"].iloc[bad]), bad, "datetime")
            # conflicts with rows already in the store
            name = "_tw_import"
            con.register(name, df.assign(_tw_rn=np.arange(len(df), dtype=np.int64)))
            try:
                if table_name not in replaced:
                    cond = " AND ".join("s.{0} = n.{0}".format(k) for k in key)
                    hit = con.execute(
                        "SELECT min(n._tw_rn) FROM {n} n JOIN {t} s ON {c}".format(n=name, t=table_name, c=cond)).fetchall()[0][0]
                    if hit is not None:
                        _fail(src, "key ({}) is already in the store (use replace to reload "
                              "the table)".format(_key_text(df, int(hit), key)), int(hit), key[-1])
                cols = ", ".join(table.column_names)
                sel = ", ".join("CAST({0} AS {1}) AS {0}".format(c.name, c.sql_type)
                                for c in table.columns)
                con.execute("INSERT INTO {t} ({cols}) SELECT {sel} FROM {n}".format(
                    t=table_name, cols=cols, sel=sel, n=name))
            finally:
                con.unregister(name)
            counts[table_name] = counts.get(table_name, 0) + len(df)
    if "style_exposures" in by_table:
        _mark_imported_exposures(con)
    if derive_calendar:
        counts["trading_calendar (derived)"] = len(cal_ts)
    return counts


def _mark_imported_exposures(con) -> None:
    """Record in a demo store that its style exposures are no longer (only) the demo's own, so
    that it stops offering the ratios derived from them (``store.DuckDBStore.derived_factors``):
    from imported exposures they would be invented numbers.  Other stores are left as they are.
    """
    kind_key, kind = _store.DEMO_KIND
    key, value = _store.IMPORTED_EXPOSURES
    con.execute("INSERT INTO metadata SELECT ?, ? WHERE EXISTS (SELECT 1 FROM metadata "
                "WHERE key = ? AND value = ?) AND NOT EXISTS (SELECT 1 FROM metadata WHERE key = ?)",
                [key, value, kind_key, kind, key])


# -- info --------------------------------------------------------------------------------------
def store_info(path) -> dict:
    """Tables, ids, date ranges and row counts of the store at ``path``."""
    path = os.fspath(path)
    st = _store.open_store(path, read_only=True)
    con = st.con
    out = {"path": path, "tables": {}, "metadata": {}}
    if st.has_table("metadata"):
        out["metadata"] = dict(con.execute("SELECT key, value FROM metadata ORDER BY key").fetchall())
    for name in schema.TABLE_ORDER:
        if name == "metadata" or not st.has_table(name):
            continue
        t = schema.TABLES[name]
        entry = {"rows": con.execute("SELECT count(*) FROM {}".format(name)).fetchall()[0][0]}
        if "order_book_id" in t.column_names:
            entry["ids"] = con.execute(
                "SELECT count(DISTINCT order_book_id) FROM {}".format(name)).fetchall()[0][0]
        tc = t.time_column or ("date" if name == "trading_calendar" else None)
        if tc is not None:
            lo, hi = con.execute("SELECT min({0}), max({0}) FROM {1}".format(tc, name)).fetchall()[0]
            entry["first"] = None if lo is None else str(lo)
            entry["last"] = None if hi is None else str(hi)
        if name == "instruments":
            entry["by_type"] = dict(con.execute(
                "SELECT type, count(*) FROM instruments GROUP BY type ORDER BY type").fetchall())
        if name == "signals":
            entry["names"] = [r[0] for r in con.execute(
                "SELECT DISTINCT name FROM signals ORDER BY 1").fetchall()]
        out["tables"][name] = entry
    return out


def format_info(info: dict) -> str:
    lines = ["store: {}".format(info["path"])]
    for k, v in info.get("metadata", {}).items():
        lines.append("  {} = {}".format(k, v))
    lines.append("{:<22} {:>12} {:>8}  {}".format("table", "rows", "ids", "range"))
    for name, e in info["tables"].items():
        rng = ""
        if "first" in e:
            rng = "{} .. {}".format(e["first"], e["last"]) if e["first"] else "(empty)"
        extra = ""
        if "by_type" in e:
            extra = "  " + ", ".join("{}: {}".format(k, v) for k, v in e["by_type"].items())
        if e.get("names"):
            extra = "  names: " + ", ".join(e["names"])
        lines.append("{:<22} {:>12,} {:>8}  {}{}".format(
            name, e["rows"], e.get("ids", ""), rng, extra))
    return "\n".join(lines)
