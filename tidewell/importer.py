"""Loading a user's files or DataFrames into a store, checking a store, describing what it holds.

``import_files(store_path, files)`` loads each file into one table of the schema
(``tidewell/SCHEMA.md``).  ``files`` is a mapping ``{table: path or [paths]}``, or a list whose
items are paths (the table is taken from the file name: ``daily_bars.csv``,
``daily_bars_2020.parquet``...) or ``"table=path"`` texts or ``(table, path)`` pairs.
``import_frames(store_path, daily_bars=df, ...)`` loads DataFrames the same way.

Reading a file:

* CSV text is UTF-8 (with or without a byte-order mark) or GBK / GB18030, told apart by
  decoding; ``encoding=`` (``--encoding``) names another.  A file that cannot be decoded is
  refused with its line and the encodings tried.
* ``columns={"old": "new", ...}`` (``--columns old=new,...``) renames a file's columns onto the
  schema's; ``{"old": ""}`` drops a column.
* ids are read in the common spellings (``000001.SZ``, ``sz000001``, bare codes...; see
  ``tidewell.ids``) and stored as ``000001.XSHE``; dates as ``yyyy-mm-dd``, ``yyyymmdd`` or
  ``yyyy/mm/dd``.

Every file is validated before anything is written:

* the table is known, every required column is present and no unknown column is;
* every value reads as its column's type and is present where the column does not allow missing
  values; prices and adjustment factors are positive, ``low <= high`` where both are given;
* no key appears twice (within the files, or — unless ``replace=True`` — in the store already);
* then the store as it will be after the import is checked against the integrity rules
  (``tidewell.integrity.RULES``): ids name instruments, bars lie in their instrument's listed
  span, the calendar covers every bar date and reaches the last bar, types and exchanges come
  from the documented sets.

A store without a calendar of its own takes the exchange's sessions (``tidewell.calendars``)
from a month before its first date to a year after its last; an imported calendar overrides it.

The store is opened for writing (DuckDB's lock) before validation starts, so that a store in use
by another process is reported at once.  Nothing is written before everything has passed: a
refused import leaves the store byte for byte as it was.  A new store is written to a temporary
file beside it and renamed into place when complete.  Messages name the file, the row (1-based
data row; for CSV also the line), the column and, for integrity rules, the rule
(``TidewellImportError``, a ``ValueError``).
"""

from __future__ import annotations

import codecs
import difflib
import io
import os
import re
from typing import Dict, List, Optional, Tuple

import duckdb
import numpy as np
import pandas as pd

from . import _files
from . import calendars as _calendars
from . import errors as _errors
from . import ids as _ids
from . import integrity as _integrity
from . import schema
from . import store as _store
from .decorators import clear_all_caches

__all__ = ["import_files", "import_frames", "check_store", "vacuum", "store_info",
           "TidewellImportError", "resolve_files", "parse_columns"]

#: The metadata row that records where a store's calendar came from.
CALENDAR_KEY = "trading_calendar"
CALENDAR_GENERATED = "XSHG sessions (exchange_calendars)"
CALENDAR_IMPORTED = "imported"


class TidewellImportError(ValueError):
    """A file could not be imported; the message names the file, row, column (and rule)."""

    def __init__(self, message, file=None, row=None, column=None, rule=None, violations=None):
        super().__init__(message)
        self.file = file
        self.row = row
        self.column = column
        self.rule = rule
        self.violations = violations or []


def _where(src, row=None, column=None) -> str:
    where = [src.name if src is not None else "import"]
    if row is not None:
        if src is not None and src.is_csv:
            where.append("row {} (line {})".format(row + 1, row + 2))
        else:
            where.append("row {}".format(row + 1))
    if column is not None:
        where.append("column {!r}".format(column))
    return ", ".join(where)


def _fail(src, reason, row=None, column=None):
    msg = "{}: {}".format(_where(src, row, column), reason)
    if src is not None:
        msg += "  [{}, table {}]".format("file " + src.path if src.frame is None else src.name, src.table)
    raise TidewellImportError(msg, file=src.path if src is not None else None,
                              row=None if row is None else row + 1, column=column)


# -- sources -----------------------------------------------------------------------------------
_BOM = codecs.BOM_UTF8


def _codec(name: str) -> str:
    try:
        return codecs.lookup(name).name
    except LookupError:
        raise TidewellImportError("encoding: unknown encoding {!r} (try utf-8, gbk or gb18030)"
                                  .format(name)) from None


class _Source:
    """One file (or DataFrame) for one table."""

    def __init__(self, table: str, path=None, frame: Optional[pd.DataFrame] = None,
                 encoding: Optional[str] = None, columns: Optional[Dict[str, str]] = None):
        self.table = table
        self.frame = frame
        self.columns = dict(columns or {})
        self.encoding = encoding
        self.decoded_as: Optional[str] = None
        self.used_columns: set = set()
        self.bare: Dict[str, Dict[str, int]] = {}   # column -> {stored id: first row} of bare 000 codes
        if frame is not None:
            self.path = path or "<{} DataFrame>".format(table)
            self.name = self.path
            self.is_csv = False
            return
        self.path = os.fspath(path)
        self.name = os.path.basename(self.path)
        ext = os.path.splitext(self.path)[1].lower()
        self.is_csv = ext in (".csv", ".txt", ".tsv")
        if not self.is_csv and ext not in (".parquet", ".pq"):
            _fail(self, "unsupported file type {!r}: expect .csv or .parquet".format(ext))

    def read(self) -> pd.DataFrame:
        if self.frame is not None:
            if not isinstance(self.frame, pd.DataFrame):
                _fail(self, "expect a pandas DataFrame, got {}".format(type(self.frame).__name__))
            df = self.frame.copy()
            if not isinstance(df.index, pd.RangeIndex) or any(n is not None for n in df.index.names):
                if any(n is not None for n in df.index.names):
                    df = df.reset_index()
            df = df.reset_index(drop=True)
        else:
            if not os.path.exists(self.path):
                _fail(self, "file not found")
            if os.path.isdir(self.path):
                _fail(self, "is a folder, not a file")
            try:
                if self.is_csv:
                    df = self._read_csv()
                else:
                    df = pd.read_parquet(self.path)
            except TidewellImportError:
                raise
            except Exception as exc:  # unreadable file
                _fail(self, "cannot read the file: {}".format(exc))
        return self._rename(df)

    def _read_csv(self) -> pd.DataFrame:
        with open(self.path, "rb") as f:
            data = f.read()
        text = self._decode(data)
        sep = "\t" if self.path.lower().endswith(".tsv") else ","
        return pd.read_csv(io.StringIO(text), sep=sep, dtype=str, keep_default_na=False,
                           na_values=[""], skipinitialspace=True)

    def _decode(self, data: bytes) -> str:
        if self.encoding is not None:
            enc = _codec(self.encoding)
            tried = [self.encoding]
            if enc == "utf-8" and data.startswith(_BOM):
                data = data[len(_BOM):]
            try:
                self.decoded_as = self.encoding
                return data.decode(enc)
            except UnicodeDecodeError as exc:
                self._decode_error(data, exc, tried, given=True)
        if data.startswith(_BOM):
            try:
                self.decoded_as = "utf-8 (with BOM)"
                return data[len(_BOM):].decode("utf-8")
            except UnicodeDecodeError as exc:
                self._decode_error(data[len(_BOM):], exc, ["utf-8 (BOM)"], given=False,
                                   offset=len(_BOM))
        try:
            self.decoded_as = "utf-8"
            return data.decode("utf-8")
        except UnicodeDecodeError as first:
            try:
                self.decoded_as = "gb18030"
                return data.decode("gb18030")
            except UnicodeDecodeError:
                self._decode_error(data, first, ["utf-8", "gb18030 (GBK)"], given=False)

    def _decode_error(self, data, exc, tried, given, offset=0):
        line = data.count(b"\n", 0, exc.start) + 1
        col = exc.start - (data.rfind(b"\n", 0, exc.start) + 1) + 1
        byte = data[exc.start:exc.start + 1]
        hint = ("check the file's encoding and give it with --encoding (encoding= in Python)"
                if given else "give the file's encoding with --encoding ENCODING (encoding= in "
                "Python), e.g. --encoding gbk or --encoding latin-1")
        msg = "{}, line {}: cannot decode byte 0x{} at character {} as {}; {}  [file {}, table {}]".format(
            self.name, line, byte.hex(), col, " or as ".join(tried), hint, self.path, self.table)
        raise TidewellImportError(msg, file=self.path, row=max(line - 1, 0) or None)

    def _rename(self, df: pd.DataFrame) -> pd.DataFrame:
        df.columns = [str(c).strip().lstrip("\ufeff") for c in df.columns]
        if not self.columns:
            return df
        present = set(df.columns)
        drop = [old for old, new in self.columns.items() if old in present and not new]
        ren = {old: new for old, new in self.columns.items() if old in present and new}
        self.used_columns = set(drop) | set(ren)
        df = df.drop(columns=drop).rename(columns=ren)
        return df


def parse_columns(text) -> Dict[str, str]:
    """``"old=new,old2=new2,dropped="`` (or a mapping) as a {old: new} mapping; an empty new name
    drops the column."""
    if text is None:
        return {}
    if isinstance(text, dict):
        items = list(text.items())
    else:
        items = []
        for part in str(text).split(","):
            part = part.strip()
            if not part:
                continue
            if "=" not in part:
                raise TidewellImportError("--columns: expect OLD=NEW pairs separated by commas, got "
                                          "{!r}".format(part))
            old, new = part.split("=", 1)
            items.append((old, new))
    out: Dict[str, str] = {}
    for old, new in items:
        old, new = str(old).strip(), ("" if new is None else str(new).strip())
        if not old:
            raise TidewellImportError("--columns: a pair without the old column name")
        if old in out:
            raise TidewellImportError("--columns: column {!r} mapped twice".format(old))
        out[old] = new
    return out


def _table_names() -> List[str]:
    return [t for t in schema.TABLE_ORDER if schema.importable(t)]


def _unknown_table(table, path, given=None):
    names = _table_names()
    if table in schema.TABLES and schema.TABLES[table].derived:
        raise TidewellImportError(
            "{}: table {} is derived by tidewell from the other tables (rebuilt by every import "
            "that changes them) and is not imported".format(given or os.path.basename(path), table),
            file=path)
    close = [t for t in names if str(table).lower() in t] or difflib.get_close_matches(
        str(table), names, n=1, cutoff=0.5)
    raise TidewellImportError(
        "{}: unknown table {!r}{}, expect one of {}".format(
            given or os.path.basename(path), table,
            " (did you mean {!r}?)".format(close[0]) if close else "", _table_names()), file=path)


_ASSIGN = re.compile(r"^([A-Za-z_][A-Za-z0-9_]*)=(.+)$")


def resolve_files(files, encoding: Optional[str] = None, columns=None) -> List[_Source]:
    """Normalise the accepted ``files`` forms into a list of sources in schema order."""
    mapping = parse_columns(columns)
    if encoding is not None:
        _codec(encoding)
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
            m = _ASSIGN.match(text)
            if m and (m.group(1) in schema.TABLES or not os.path.exists(text)):
                # TABLE=PATH (an unknown TABLE is an error, not a file name to guess from)
                pairs.append((m.group(1), m.group(2), text))
            else:
                pairs.append((_table_from_name(text), text))
    out = []
    for table, p, *given in pairs:
        if not schema.importable(table):
            _unknown_table(table, p, given[0] if given else None)
        out.append(_Source(table, p, encoding=encoding, columns=mapping))
    order = {t: i for i, t in enumerate(schema.TABLE_ORDER)}
    out.sort(key=lambda s: order[s.table])
    return out


def _table_from_name(path: str) -> str:
    stem = os.path.basename(path).split(".")[0]
    for t in sorted(schema.TABLES, key=len, reverse=True):
        if schema.importable(t) and (stem == t or stem.startswith(t + "_") or stem.startswith(t + "-")):
            return t
    raise TidewellImportError(
        "{}: cannot tell the table from the file name; name the file after a table ({}) or "
        "pass TABLE=PATH".format(os.path.basename(path), ", ".join(_table_names())), file=path)


# -- conversion --------------------------------------------------------------------------------
def _first_bad(mask: np.ndarray) -> Optional[int]:
    idx = np.flatnonzero(mask)
    return int(idx[0]) if len(idx) else None


_COMPACT_DATE = re.compile(r"^(\d{4})(\d{2})(\d{2})(?=$|[ T])")
_SLASH_DATE = re.compile(r"^(\d{4})/(\d{1,2})/(\d{1,2})(?=$|[ T])")


def _date_text(v):
    """A date value as ISO text: ``yyyymmdd`` and ``yyyy/mm/dd`` (with or without a time of day)
    become ``yyyy-mm-dd``; integers such as 20240102 too."""
    if v is None:
        return None
    if hasattr(v, "isoformat"):
        return v.isoformat()
    if isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)):
        v = str(int(v))
    elif isinstance(v, (float, np.floating)) and float(v).is_integer():
        v = str(int(v))
    if not isinstance(v, str):
        return v
    s = v.strip()
    m = _COMPACT_DATE.match(s)
    if m:
        return "{}-{}-{}{}".format(m.group(1), m.group(2), m.group(3), s[8:])
    m = _SLASH_DATE.match(s)
    if m:
        return "{}-{:0>2}-{:0>2}{}".format(m.group(1), m.group(2), m.group(3), s[m.end():])
    return s

#: Texts that spreadsheets and data tools write for a missing number.
_MISSING_MARKERS = {"nan", "na", "n/a", "#n/a", "null", "none", "nil", "-", "--"}


def _missing_marker_hint(value, col: schema.Column) -> str:
    """What to write instead of a text such as 'NaN' that stands for a missing number: an empty
    cell, where the column allows one."""
    if not isinstance(value, str) or value.strip().lower() not in _MISSING_MARKERS:
        return ""
    if col.nullable:
        return "; a missing value is an empty cell (write the file with empty cells, e.g. pandas' to_csv default)"
    return "; the column does not allow missing values"


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
            if len(text) and not all(isinstance(v, str) or v is None for v in text.iloc[:1]):
                # date objects, integers: converted once per distinct value (dates repeat a lot)
                conv = {u: _date_text(u) for u in pd.unique(text.to_numpy(dtype=object))}
                text = text.map(conv.__getitem__)
            out = pd.to_datetime(text, format="ISO8601", errors="coerce")
            retry = ~missing_in & out.isna().to_numpy()
            if retry.any():      # yyyymmdd, yyyy/mm/dd: rewritten as ISO text first
                again = pd.to_datetime(text[retry].map(_date_text), format="ISO8601", errors="coerce")
                out = out.astype("datetime64[ns]")
                out[retry] = again.astype("datetime64[ns]").to_numpy()
        bad = _first_bad(~missing_in & out.isna().to_numpy())
        if bad is not None:
            _fail(src, "cannot read {!r} as a {} (expect YYYY-MM-DD, YYYYMMDD or YYYY/MM/DD{})".format(
                raw.iloc[bad], col.kind, "" if col.kind == "date" else " and HH:MM:SS"), bad, col.name)
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
            _fail(src, "cannot read {!r} as a number{}".format(raw.iloc[bad], _missing_marker_hint(raw.iloc[bad], col)),
                  bad, col.name)
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


_ID_COLUMNS = ("order_book_id", "index_id")


def _normalize_ids(src: _Source, df: pd.DataFrame) -> None:
    """Ids of every spelling in tidewell's (``tidewell.ids``); bare 000 codes remembered for the
    resolution against the store's instruments (``_resolve_bare``)."""
    for col in _ID_COLUMNS:
        if col not in df.columns:
            continue
        values = df[col]
        uniq = pd.unique(values.to_numpy(dtype=object))
        odd = [u for u in uniq if u is not None and not _ids.is_canonical(u)]
        if not odd:
            continue
        index_rows = None
        if col == "index_id":
            index_rows = np.ones(len(df), dtype=bool)
        elif src.table == "instruments":
            index_rows = (df["type"] == "INDX").to_numpy(dtype=bool)
        mapped = values.copy()
        for as_index in ((False,) if index_rows is None else (False, True)):
            rows = np.ones(len(df), dtype=bool) if index_rows is None else (index_rows == as_index)
            if not rows.any():
                continue
            sub = values[rows]
            table = {}
            for u in pd.unique(sub.to_numpy(dtype=object)):
                if u is None or _ids.is_canonical(u):
                    continue
                try:
                    table[u], bare = _ids.normalize(u, index=as_index)
                except _ids.IdError as exc:
                    _fail(src, str(exc), int(np.flatnonzero((values == u).to_numpy())[0]), col)
                if bare and not as_index and src.table != "instruments" and _ids.alternative(table[u]):
                    first = int(np.flatnonzero((values == u).to_numpy())[0])
                    src.bare.setdefault(col, {}).setdefault(table[u], first)
            if table:
                mapped[rows] = sub.map(lambda v: table.get(v, v))
        df[col] = mapped


def _validate_frame(src: _Source, frame: pd.DataFrame) -> pd.DataFrame:
    table = schema.TABLES[src.table]
    frame.columns = [str(c).strip() for c in frame.columns]
    names = table.column_names
    unknown = list(dict.fromkeys(c for c in frame.columns if c not in names))
    close = {c: difflib.get_close_matches(c, names, n=1) for c in unknown}
    if len(unknown) == 1:
        c = unknown[0]
        if close[c]:
            hint = "; map it with --columns {}={}".format(c, close[c][0])
        else:
            hint = "; map it onto a column with --columns {}=NAME, or drop it with --columns {}=".format(c, c)
        _fail(src, "unknown column {!r} for table {} (columns: {}){}".format(
            c, table.name, ", ".join(names), hint), column=c)
    if unknown:
        # every one at once, so that one --columns option maps them all
        pairs = ["{}={}".format(c, close[c][0] if close[c] else "NAME") for c in unknown]
        _fail(src, "unknown columns {} for table {} (columns: {}); map each onto a column or drop it "
                   "(OLD=) with one option: --columns {}".format(
                       ", ".join(repr(c) for c in unknown), table.name, ", ".join(names), ",".join(pairs)),
              column=unknown[0])
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
    _normalize_ids(src, df)
    if "high" in frame.columns and "low" in frame.columns:
        bad = _first_bad((df["low"] > df["high"]).to_numpy(dtype=bool, na_value=False))
        if bad is not None:
            _fail(src, "low {} is above high {}".format(df["low"].iloc[bad], df["high"].iloc[bad]),
                  bad, "low")
    return df      # de_listed_date before listed_date: the rule instrument-dates


def _key_text(df, row, key):
    parts = []
    for k in key:
        v = df[k].iloc[row]
        if isinstance(v, pd.Timestamp):
            v = v.strftime("%Y-%m-%d") if v == v.normalize() else str(v)
        parts.append("{}={}".format(k, v))
    return ", ".join(parts)


# -- the store being written -------------------------------------------------------------------
class _Target:
    """The store an import writes: the existing file, opened for writing (DuckDB's lock) before
    anything is validated; or, for a new store, a temporary file beside it that is put in place
    when the import succeeds."""

    def __init__(self, path: str, create: bool, wait: Optional[float] = None):
        self.path = path
        self.tmp = None
        _errors.check_file(path, writing=True)
        self.existed = os.path.exists(path)
        if not self.existed and not create:
            raise FileNotFoundError("tidewell store not found: {}".format(path))
        _store.close(path)      # a read-only connection of this process would block writing
        clear_all_caches()
        if self.existed:
            self.con = _store.connect(path, read_only=False, wait=wait)
            try:
                _store.verify(self.con, path)
            except BaseException:
                self.con.close()
                raise
        else:
            folder = os.path.dirname(os.path.abspath(path))
            if not os.path.isdir(folder):
                raise FileNotFoundError("cannot create tidewell store {}: no folder {}".format(path, folder))
            _files.clean_leftovers(folder)
            self.tmp = _files.temp_path(path, "import")
            try:
                self.con = _store.connect(self.tmp, new=True)
            except duckdb.Error as exc:
                raise _errors.translate(exc, path, writing=True) from None
            _store.create_schema(self.con)

    def finish(self, ok: bool) -> None:
        try:
            self.con.close()
        except Exception:   # pragma: no cover
            pass
        if self.tmp is None:
            return
        if not ok:
            _files.remove(self.tmp)
            return
        try:
            _files.publish(self.tmp, self.path, overwrite=False)
        except FileExistsError:
            _files.remove(self.tmp)
            raise _errors.StoreError(
                "tidewell store {} was created by another process while this import ran; run "
                "the import again to add to it (or with --replace)".format(self.path), self.path) from None
        finally:
            if os.path.exists(self.tmp):
                _files.remove(self.tmp)


# -- import ------------------------------------------------------------------------------------
def import_files(store_path, files, replace: bool = False, create: bool = True,
                 encoding: Optional[str] = None, columns=None) -> Dict[str, int]:
    """Import files into the store at ``store_path`` in one transaction.

    ``replace=True`` empties each table that receives files before loading them (other tables
    are untouched); otherwise rows are added and keys already in the store are an error.
    ``create`` allows creating a new store.  ``encoding`` names the CSV files' encoding (default:
    UTF-8 or GBK/GB18030, told apart); ``columns`` maps file column names onto the schema's
    (``{"trade_date": "date"}`` or ``"trade_date=date,ts_code=order_book_id"``; an empty new name
    drops the column).  Returns {table: rows imported}.
    """
    store_path = os.fspath(store_path)
    sources = resolve_files(files, encoding=encoding, columns=columns)
    if not sources:
        raise TidewellImportError("import: no files given")
    return _import(store_path, sources, replace, create)


def import_frames(store_path, replace: bool = False, create: bool = True, columns=None,
                  **frames) -> Dict[str, int]:
    """Import DataFrames into the store at ``store_path``, one keyword per table
    (``import_frames(path, instruments=inst, daily_bars=bars)``; a list of frames for one table is
    accepted too), with the validation, integrity rules and transaction of ``import_files``.
    Messages name the frame as ``<daily_bars DataFrame>`` and its row (1-based position)."""
    store_path = os.fspath(store_path)
    mapping = parse_columns(columns)
    sources = []
    for table, value in frames.items():
        if not schema.importable(table):
            _unknown_table(table, "<{}>".format(table))
        items = value if isinstance(value, (list, tuple)) else [value]
        for n, frame in enumerate(items):
            name = "<{} DataFrame{}>".format(table, "" if len(items) == 1 else " {}".format(n + 1))
            sources.append(_Source(table, name, frame=frame, columns=mapping))
    if not sources:
        raise TidewellImportError("import_frames: no frames given (pass them as table=frame)")
    order = {t: i for i, t in enumerate(schema.TABLE_ORDER)}
    sources.sort(key=lambda s: order[s.table])
    return _import(store_path, sources, replace, create)


def _import(store_path: str, sources: List[_Source], replace: bool, create: bool) -> Dict[str, int]:
    target = _Target(store_path, create)
    ok = False
    try:
        frames = [(src, _validate_frame(src, src.read())) for src in sources]
        _check_column_mapping(sources)
        counts = _load(target.con, frames, replace, store_path)
        ok = True
    finally:
        target.finish(ok)
    return counts


def _check_column_mapping(sources: List[_Source]) -> None:
    mapping = {}
    for src in sources:
        mapping.update(src.columns)
    if not mapping:
        return
    used = set()
    for src in sources:
        used |= src.used_columns
    unused = [c for c in mapping if c not in used]
    if unused:
        raise TidewellImportError("--columns: no file has a column {} (the files' columns are "
                                  "matched exactly, case included)".format(
                                      ", ".join(repr(c) for c in unused)))


def _relation_of(con, by_table, replaced, names):
    """rel(table) for the integrity rules: the store's rows (unless replaced) and the import's."""
    store_rel = _integrity.store_relation(con)

    def rel(table: str) -> str:
        t = schema.TABLES[table]
        parts = []
        if table not in replaced:
            parts.append(store_rel(table))
        for i, (src, df, name) in enumerate(names.get(table, [])):
            sel = ", ".join("CAST({0} AS {1}) AS {0}".format(c.name, c.sql_type) for c in t.columns)
            parts.append("(SELECT {}, {}::INTEGER AS _src, _tw_rn::BIGINT AS _rn FROM {})".format(
                sel, src_index(src), name))
        if not parts:
            return _integrity.empty_relation(table)
        return "(" + " UNION ALL ".join(parts) + ")"

    order = {}

    def src_index(src):
        return order[id(src)]
    for table, entries in names.items():
        for src, _, _ in entries:
            order.setdefault(id(src), len(order))
    rel.sources = sorted(((i, s) for t, e in names.items() for s, _, _ in e for i in [order[id(s)]]),
                         key=lambda p: p[0])
    return rel


def _store_ids(con, table="instruments") -> set:
    if not _has_table(con, table):
        return set()
    return {r[0] for r in con.execute("SELECT order_book_id FROM {}".format(table)).fetchall()}


def _has_table(con, name) -> bool:
    return bool(con.execute("SELECT count(*) FROM information_schema.tables WHERE table_schema = "
                            "'main' AND table_name = ?", [name]).fetchall()[0][0])


def _resolve_bare(con, by_table, replaced) -> None:
    """Bare 000 codes read as Shenzhen stocks: the Shanghai index of the code where only it is an
    instrument (of the store or of the import), refused where both are."""
    known = set() if "instruments" in replaced else _store_ids(con)
    for src, df in by_table.get("instruments", []):
        known.update(df["order_book_id"].tolist())
    for table, entries in by_table.items():
        for src, df in entries:
            for col, firsts in src.bare.items():
                swap = {}
                for oid, row in firsts.items():
                    alt = _ids.alternative(oid)
                    if oid in known and alt in known:
                        _fail(src, "ambiguous bare code {!r}: both {} and {} are instruments; spell "
                              "it with its exchange ({}.SZ or {}.SH)".format(
                                  oid[:6], oid, alt, oid[:6], oid[:6]), row, col)
                    if oid not in known and alt in known:
                        swap[oid] = alt
                if swap:
                    df[col] = df[col].map(lambda v: swap.get(v, v))


def _check_keys(con, by_table, replaced) -> None:
    for table_name in schema.TABLE_ORDER:
        if table_name not in by_table:
            continue
        table = schema.TABLES[table_name]
        key = list(table.key)
        seen = None
        for src, df in by_table[table_name]:
            dup = df.duplicated(key, keep="first").to_numpy()
            bad = _first_bad(dup)
            if bad is not None:
                kt = _key_text(df, bad, key)
                first = int(np.flatnonzero((df[key] == df[key].iloc[bad]).all(axis=1).to_numpy())[0])
                _fail(src, "duplicate key ({}), first given at row {}".format(kt, first + 1),
                      bad, key[-1])
            if seen is not None:
                both = df[key].merge(seen, on=key, how="left", indicator=True)["_merge"] == "both"
                bad = _first_bad(both.to_numpy())
                if bad is not None:
                    _fail(src, "duplicate key ({}), also in another file of this import".format(
                        _key_text(df, bad, key)), bad, key[-1])
                seen = pd.concat([seen, df[key]], ignore_index=True)
            else:
                seen = df[key].copy()
            if table_name not in replaced and _has_table(con, table_name):
                name = "_tw_keys"
                con.register(name, df[key].assign(_tw_rn=np.arange(len(df), dtype=np.int64)))
                try:
                    cond = " AND ".join("s.{0} = n.{0}".format(k) for k in key)
                    hit = con.execute("SELECT min(n._tw_rn) FROM {n} n JOIN {t} s ON {c}".format(
                        n=name, t=table_name, c=cond)).fetchall()[0][0]
                finally:
                    con.unregister(name)
                if hit is not None:
                    _fail(src, "key ({}) is already in the store (use --replace, replace=True in "
                          "Python, to reload the table)".format(_key_text(df, int(hit), key)),
                          int(hit), key[-1])


def _metadata(con) -> Dict[str, str]:
    if not _has_table(con, "metadata"):
        return {}
    return dict(con.execute("SELECT key, value FROM metadata").fetchall())


def _plan_calendar(con, by_table, replaced, rel) -> Optional[pd.DataFrame]:
    """The exchange sessions the store takes when it has no calendar of its own (or one that
    tidewell generated before): None when the store keeps its calendar."""
    if "trading_calendar" in by_table:
        return None
    generated = _metadata(con).get(CALENDAR_KEY) == CALENDAR_GENERATED
    cal = rel("trading_calendar")
    n, cal_first, cal_last = con.execute("SELECT count(*), min(date), max(date) FROM {}".format(cal)).fetchall()[0]
    if n and not generated:
        return None
    firsts, lasts = [], []
    for table, col in (("daily_bars", "date"), ("minute_bars", "CAST(datetime AS DATE)"),
                       ("ticks", "CAST(datetime AS DATE)"), ("style_exposures", "date"),
                       ("signals", "date")):
        lo, hi = con.execute("SELECT min({0}), max({0}) FROM {1}".format(col, rel(table))).fetchall()[0]
        if lo is not None:
            firsts.append(pd.Timestamp(lo))
            lasts.append(pd.Timestamp(hi))
    if not lasts:
        return None
    for table, col in (("instruments", "listed_date"), ("industry_citics_2019", "start_date"),
                       ("industry_sws", "start_date"), ("index_components", "in_date")):
        lo = con.execute("SELECT min({}) FROM {}".format(col, rel(table))).fetchall()[0][0]
        if lo is not None:
            firsts.append(pd.Timestamp(lo))
    start, end = _calendar_span(min(firsts), max(lasts))
    dates = _calendars.sessions(start, end)
    if generated and n:
        if pd.Timestamp(cal_first) <= dates[0] and pd.Timestamp(cal_last) >= dates[-1]:
            return None      # the generated calendar covers the store already
        dates = _calendars.sessions(min(start, pd.Timestamp(cal_first)), max(end, pd.Timestamp(cal_last)))
    return pd.DataFrame({"date": dates.astype("datetime64[ns]")})


def _calendar_span(first, last):
    start, end = _calendars.span_for(first, last)
    lo, _ = _calendars.bounds()
    return max(start, lo), end


def _load(con, frames, replace, store_path) -> Dict[str, int]:
    by_table: Dict[str, List[Tuple[_Source, pd.DataFrame]]] = {}
    for src, df in frames:
        by_table.setdefault(src.table, []).append((src, df))
    replaced = set(by_table) if replace else set()
    _resolve_bare(con, by_table, replaced)
    _check_keys(con, by_table, replaced)

    names: Dict[str, list] = {}
    registered = []
    try:
        def register(src, df):
            name = "_tw_in_{}".format(len(registered))
            con.register(name, df.assign(_tw_rn=np.arange(len(df), dtype=np.int64)))
            registered.append(name)
            names.setdefault(src.table, []).append((src, df, name))

        for src, df in frames:
            register(src, df)
        rel = _relation_of(con, by_table, replaced, names)
        calendar = _plan_calendar(con, by_table, replaced, rel)
        cal_src = None
        if calendar is not None:
            cal_src = _Source("trading_calendar", "<{}>".format(CALENDAR_GENERATED), frame=calendar)
            register(cal_src, calendar)
            replaced = replaced | {"trading_calendar"}
            rel = _relation_of(con, by_table, replaced, names)
        sources = dict(rel.sources)
        violations = _integrity.check(con, rel)
        if violations:
            generated = cal_src is not None or (
                "trading_calendar" not in by_table
                and _metadata(con).get(CALENDAR_KEY) == CALENDAR_GENERATED)
            _refuse(violations, sources, by_table, replaced, generated)
        # -- everything checked: write, in one transaction ---------------------------------
        counts: Dict[str, int] = {}
        con.execute("BEGIN TRANSACTION")
        try:
            _store.create_schema(con)
            for t in schema.TABLE_ORDER:
                if t in replaced:
                    con.execute("DELETE FROM {}".format(t))
            for table_name in schema.TABLE_ORDER:
                table = schema.TABLES[table_name]
                for src, df, name in names.get(table_name, []):
                    cols = ", ".join(table.column_names)
                    sel = ", ".join("CAST({0} AS {1}) AS {0}".format(c.name, c.sql_type)
                                    for c in table.columns)
                    con.execute("INSERT INTO {t} ({cols}) SELECT {sel} FROM {n}".format(
                        t=table_name, cols=cols, sel=sel, n=name))
                    key = table_name if src is not cal_src else "trading_calendar (XSHG sessions)"
                    counts[key] = counts.get(key, 0) + len(df)
            if "style_exposures" in by_table:
                _mark_imported_exposures(con)
            if (set(by_table) | replaced) & _STATUS_INPUTS or \
                    _metadata(con).get(_store.STATUS_KEY) != _store.STATUS_REVISION:
                _store.refresh_trading_status(con)
            if cal_src is not None:
                _set_metadata(con, CALENDAR_KEY, CALENDAR_GENERATED)
            elif "trading_calendar" in by_table:
                _set_metadata(con, CALENDAR_KEY, CALENDAR_IMPORTED)
            con.execute("COMMIT")
        except BaseException:
            try:
                con.execute("ROLLBACK")
            except Exception:
                pass
            raise
        con.execute("CHECKPOINT")
        return counts
    finally:
        for name in registered:
            try:
                con.unregister(name)
            except Exception:  # pragma: no cover
                pass


#: The tables ``trading_status`` is derived from (an import of any of them derives it again).
_STATUS_INPUTS = {"instruments", "trading_calendar", "daily_bars", "st_status", "price_limits"}


def _set_metadata(con, key, value) -> None:
    con.execute("DELETE FROM metadata WHERE key = ?", [key])
    con.execute("INSERT INTO metadata VALUES (?, ?)", [key, value])


#: For each rule: the tables whose import can make rows of other tables break it.
_CAUSES = {"known-instrument": ("instruments",), "listed-span": ("instruments",),
           "calendar-reach": ("trading_calendar",), "trading-date": ("trading_calendar",),
           "limit-price": ("daily_bars",)}


def _describe(v, sources, by_table, replaced, generated) -> Tuple[str, Optional[str]]:
    """(text, file) of one violation."""
    rule = "[rule {}: {} in all]".format(v.rule, v.extent())
    if v.src is not None:
        src = sources[v.src]
        text = "{}: {} {}".format(_where(src, v.rn, v.column), v.reason, rule)
        file = src.path
    else:
        text = "{} (rows already in the store), {}: {} {}".format(v.table, v.key_text(), v.reason, rule)
        file = None
    causes = []
    for t in _CAUSES.get(v.rule, ()):
        if t == "trading_calendar" and generated:
            causes.append("the store's calendar is the exchange's sessions (XSHG of "
                          "exchange_calendars); import a trading_calendar if your data follow "
                          "another calendar")
            continue
        if t in by_table:
            files = [s.name for s, _ in by_table[t]]
            causes.append("this import {} {} with {}".format(
                "replaces" if t in replaced else "adds to", t, ", ".join(files)))
            if file is None:
                file = by_table[t][0][0].path
    if causes:
        text += "; " + "; ".join(causes)
    return text, file


def _refuse(violations, sources, by_table, replaced, generated):
    texts = [_describe(v, sources, by_table, replaced, generated) for v in violations]
    first = violations[0]
    msg = texts[0][0]
    if len(texts) > 1:
        msg += "\n  and {} more rule violation{}:\n    ".format(
            len(texts) - 1, "" if len(texts) == 2 else "s") + "\n    ".join(t for t, _ in texts[1:])
    msg += "\nnothing was imported; the store is as it was."
    raise TidewellImportError(msg, file=texts[0][1],
                              row=None if first.rn is None else first.rn + 1,
                              column=first.column, rule=first.rule, violations=violations)


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


# -- check and vacuum --------------------------------------------------------------------------
def check_store(path) -> dict:
    """The integrity rules over an existing store (read-only; other readers may stay).

    Returns ``{"path", "ok", "violations": [..], "problems": [..]}``: one violation per rule and
    table (rule, table, column, reason, rows, ids, example key); problems are what makes the file
    no usable store at all (no tidewell tables, no data).  Store errors (locked, damaged, not a
    store) are raised as ``errors.StoreError``.
    """
    path = os.fspath(path)
    _store.close(path)
    con = _store.connect(path, read_only=True)
    try:
        _store.verify(con, path)
        problems = []
        present = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables "
                                             "WHERE table_schema = 'main'").fetchall()}
        missing = [t for t in schema.TABLE_ORDER if not schema.TABLES[t].optional and t not in present]
        violations = []
        if not present & set(schema.TABLES):
            problems.append("the file holds no tidewell table (an empty DuckDB database)")
        else:
            if missing:
                problems.append("missing table{} {}".format("s" if len(missing) > 1 else "",
                                                            ", ".join(missing)))
            counts = {t: con.execute("SELECT count(*) FROM {}".format(t)).fetchall()[0][0]
                      for t in present & set(schema.TABLES) if t != "metadata"}
            if not any(counts.values()):
                problems.append("every table is empty (left by an interrupted import?)")
            try:
                violations = _integrity.check(con, _integrity.store_relation(con))
            except duckdb.Error as exc:
                err = _errors.translate(exc, path)
                if err is exc:
                    raise
                raise err from None
        return {"path": path, "ok": not problems and not violations, "problems": problems,
                "violations": [v.as_dict() for v in violations]}
    finally:
        con.close()


def format_check(result: dict) -> str:
    lines = ["store: {}".format(result["path"])]
    for p in result["problems"]:
        lines.append("problem: {}".format(p))
    for v in result["violations"]:
        ex = ", ".join("{}={}".format(k, x) for k, x in v["example"].items())
        n = "{:,} row{}".format(v["rows"], "" if v["rows"] == 1 else "s")
        if v.get("ids") and v["ids"] > 1:
            n += " of {:,} ids".format(v["ids"])
        lines.append("violation [{}] {}.{}: {} ({}; first: {})".format(
            v["rule"], v["table"], v["column"], v["reason"], n, ex))
    if result["ok"]:
        lines.append("ok: every integrity rule holds")
    else:
        lines.append("{} problem(s), {} rule violation(s)".format(len(result["problems"]),
                                                                len(result["violations"])))
    return "\n".join(lines)


def vacuum(path) -> Tuple[int, int]:
    """Rewrite the store at ``path`` compactly (DuckDB does not give freed space back to the file
    system): the tables are copied into a temporary file beside it, which replaces the store.
    Holds the store's write lock throughout.  Returns (bytes before, bytes after)."""
    path = os.fspath(path)
    before = os.path.getsize(path) if os.path.isfile(path) else 0
    _store.close(path)
    clear_all_caches()
    con = _store.connect(path, read_only=False)
    folder = os.path.dirname(os.path.abspath(path))
    _files.clean_leftovers(folder)
    tmp = _files.temp_path(path, "vacuum")
    ok = False
    try:
        con.execute("CHECKPOINT")
        db = con.execute("SELECT current_database()").fetchall()[0][0]
        con.execute("ATTACH ? AS _tw_vacuum", [tmp])
        con.execute('COPY FROM DATABASE "{}" TO _tw_vacuum'.format(db.replace('"', '""')))
        con.execute("DETACH _tw_vacuum")
        _files.publish(tmp, path, overwrite=True)   # while the lock is still held
        ok = True
    finally:
        con.close()
        if not ok:
            _files.remove(tmp)
    return before, os.path.getsize(path)


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
