"""Factor tables read from files: one file, or the files of a folder, checked against the store.

A factor file is read the way its writer most plausibly meant it, and refused with the place
and value named when it cannot be read one way only:

* dates: yyyy-mm-dd, yyyy/mm/dd, yyyy.mm.dd, yyyymmdd (text or integers), with or without a
  time of day; dd/mm/yyyy or mm/dd/yyyy when some day above 12 tells which one it is; month
  names ("2 Jan 2024", "Jan 2, 2024").  Anything else, an ambiguous dd/mm order, or a time
  zone, is refused naming the line and value.
* layout: a wide table (first column, or the one column named like a date, the dates; one
  column per instrument), or a long table of three columns (a date column, an id column and
  one value column, named as in `DATE_COLUMNS` and `ID_COLUMNS`), which is pivoted to dates x
  instruments.
* rows in no date order are sorted (said on stderr); a repeated date, a repeated column, a
  cell that is no number are refused naming them.

Places are "line N" of a CSV file (the header is line 1) and "row N" of a Parquet file.
"""

import csv
import os
import re
import sys
import warnings

import numpy as np
import pandas as pd

from sigmora.cli.errors import FactorFileError, UsageError
from sigmora.cli.options import date_option

__all__ = ["FACTOR_FILE_SUFFIXES", "DATE_COLUMNS", "ID_COLUMNS", "read_factor_file", "factor_files",
           "factor_from_file", "known_columns"]

FACTOR_FILE_SUFFIXES = (".csv", ".parquet", ".pq")
# Column names (any case) that mark the dates and the instruments of a long table.
DATE_COLUMNS = ("date", "datetime", "trade_date", "trading_date", "tradedate", "trade_dt", "dt", "time",
                "timestamp")
ID_COLUMNS = ("order_book_id", "id", "code", "ts_code", "symbol", "ticker", "instrument", "stock_code",
              "sec_code", "wind_code")

_DATE_EXAMPLES = "expect dates such as 2024-01-02, 2024/01/02 or 20240102"
_SHOWN = 3  # problems named in one message


class _File:
    """Where a factor table came from, to name its places in messages."""

    def __init__(self, path, kind):
        self.path, self.kind = path, kind

    def place(self, position):
        """The place of the data row at ``position`` (0 for the first data row)."""
        return "line {}".format(position + 2) if self.kind == "csv" else "row {}".format(position + 1)

    def places(self, positions):
        word = "lines" if self.kind == "csv" else "rows"
        numbers = [self.place(p).split()[1] for p in positions]
        return "{} {}".format(word if len(numbers) > 1 else word[:-1], " and ".join(
            [", ".join(numbers[:-1]), numbers[-1]] if len(numbers) > 1 else numbers))

    def refuse(self, text):
        raise FactorFileError("FACTOR_FILE: {}: {}".format(self.path, text))


def _stderr_note(err, path):
    stream = err if err is not None else sys.stderr

    def note(text):
        print("sigmora: {}: {}".format(path, text), file=stream)
    return note


def read_factor_file(path, err=None):
    """A factor table (dates x order_book_ids, floats) from a CSV or Parquet file; notes on how
    it was read (a long table pivoted, rows sorted) go to ``err`` (default stderr).  Raises
    UsageError naming the problem, its place and its value."""
    if not os.path.isfile(path):
        raise FactorFileError("FACTOR_FILE: no such file: {}".format(path))
    if os.path.getsize(path) == 0:
        raise FactorFileError("FACTOR_FILE: {} is empty (0 bytes); expect a table of factor values, a row per "
                              "date and a column per order_book_id".format(path))
    ext = os.path.splitext(path)[1].lower()
    if ext not in FACTOR_FILE_SUFFIXES:
        raise FactorFileError("FACTOR_FILE: expect a .csv or .parquet file, got {}".format(path))
    source = _File(path, "csv" if ext == ".csv" else "parquet")
    note = _stderr_note(err, path)
    raw = _read_raw(source)
    # Wholly empty lines (blank lines of a CSV file) carry nothing; their places stay counted.
    raw = raw.loc[raw.notna().any(axis=1)]
    if raw.shape[1] == 1:
        raise FactorFileError("FACTOR_FILE: {} holds a single column ({!r}); expect a date column and one "
                              "column per order_book_id{}".format(path, _shown(raw.columns[0]),
                                                                  _separator_hint(raw.columns[0], source)))
    if raw.empty or raw.shape[1] < 2:
        raise FactorFileError("FACTOR_FILE: {} holds no factor values".format(path))
    long = _long_layout(raw.columns, source)
    table = _pivot_long(raw, long, source, note) if long else _wide(raw, source, note)
    table = table.astype(float)
    table.columns = [str(c) for c in table.columns]
    table.index.name, table.columns.name = "date", "order_book_id"
    return table


# ----------------------------------------------------------------------------- raw tables

def _shown(name, width=60):
    name = str(name)
    return name if len(name) <= width else name[:width] + "..."


def _separator_hint(header, source):
    """How the values of a CSV file read as one column seem separated, as advice, or ""."""
    if source.kind != "csv":
        return ""
    for sep, word in ((";", "semicolons"), ("\t", "tabs"), ("|", "vertical bars")):
        if sep in str(header):
            return ("; its values seem separated by {} instead of commas: write it with commas "
                    "(df.to_csv(path) does)".format(word))
    return ""


def _repeated(names):
    seen, repeated = set(), []
    for name in names:
        if name in seen and name not in repeated:
            repeated.append(name)
        seen.add(name)
    return repeated


def _refuse_repeated_columns(names, source):
    repeated = _repeated(names)
    if repeated:
        source.refuse("the column{} {} appear{} more than once; keep one column per instrument".format(
            "s" if len(repeated) > 1 else "", ", ".join(repr(str(n)) for n in repeated[:5]),
            "" if len(repeated) > 1 else "s"))


def _read_raw(source):
    """The file's table with its columns as written and its data rows in order (RangeIndex)."""
    path = source.path
    try:
        if source.kind == "csv":
            # The header as written: the CSV reader renames a repeated column ("A.1").
            with open(path, newline="", encoding="utf-8-sig") as f:
                header = next(csv.reader(f), [])
            _refuse_repeated_columns(header, source)
            long = _long_layout(header, source, quiet=True)
            dtype = {long[1]: str} if long else None  # ids such as 000001 stay text
            table = pd.read_csv(path, skip_blank_lines=False, dtype=dtype)
        else:
            import pyarrow.parquet as pq
            _refuse_repeated_columns(pq.read_schema(path).names, source)
            table = pd.read_parquet(path)
            if not (isinstance(table.index, pd.RangeIndex) and table.index.name is None):
                table = table.reset_index()
            table = table.reset_index(drop=True)
    except UsageError:
        raise
    except Exception as exc:  # the readers' own errors name the problem; keep their text
        raise FactorFileError("FACTOR_FILE: cannot read {}: {}".format(path, exc)) from None
    return table


def _named(columns, names):
    return [c for c in columns if str(c).strip().lower() in names]


def _long_layout(columns, source, quiet=False):
    """(date, id, value) column names when ``columns`` are those of a long table, else None;
    a long table with other than one value column is refused (unless ``quiet``)."""
    columns = list(columns)
    dates, ids = _named(columns, DATE_COLUMNS), _named(columns, ID_COLUMNS)
    if len(dates) != 1 or len(ids) != 1:
        return None
    values = [c for c in columns if c not in (dates[0], ids[0])]
    if len(values) == 1:
        return dates[0], ids[0], values[0]
    if quiet:
        return None
    if not values:
        source.refuse("it holds a date column ({!r}) and an id column ({!r}) but no value column".format(
            dates[0], ids[0]))
    source.refuse("it looks like a long table of ({}, {}, value) rows but holds {} value columns ({}); keep one, "
                  "e.g. df.pivot(index={!r}, columns={!r}, values={!r})".format(
                      dates[0], ids[0], len(values), ", ".join(map(str, values)), dates[0], ids[0], values[0]))


# ----------------------------------------------------------------------------- dates

_COMPACT = re.compile(r"^(\d{4})(\d{2})(\d{2})(?:[ T](.+))?$")
_YEAR_FIRST = re.compile(r"^(\d{4})([-/.])(\d{1,2})\2(\d{1,2})(?:[ T](.+))?$")
_DAY_OR_MONTH_FIRST = re.compile(r"^(\d{1,2})([-/.])(\d{1,2})\2(\d{4})(?:[ T](.+))?$")
_TIME_ZONE = re.compile(r"(?:Z|[+-]\d{2}:?\d{2})$")
_MONTH_NAME_FORMATS = ("%d %b %Y", "%d %B %Y", "%b %d %Y", "%B %d %Y", "%b %d, %Y", "%B %d, %Y", "%d-%b-%Y",
                       "%d-%B-%Y", "%Y-%b-%d", "%d%b%Y")


def _iso(year, month, day, time):
    return "{}-{}-{}{}".format(year, month, day, " " + time if time else "")


def _parse_dates(column, source, note):
    """The dates of ``column`` (one per data row) as a DatetimeIndex in nanoseconds."""
    if isinstance(column.dtype, pd.DatetimeTZDtype):
        note("its dates carry the time zone {}; read as local dates and times there".format(column.dt.tz))
        column = column.dt.tz_localize(None)
    if pd.api.types.is_datetime64_any_dtype(column.dtype):
        return pd.DatetimeIndex(column).as_unit("ns")
    # Each distinct value is read once (a long table repeats every date once per instrument).
    codes, distinct = pd.factorize(column.to_numpy(dtype=object), use_na_sentinel=True)
    first = np.zeros(len(distinct), dtype=np.int64)
    present = np.flatnonzero(codes >= 0)
    first[codes[present[::-1]]] = present[::-1]  # the first row of each distinct value
    if pd.api.types.is_numeric_dtype(column.dtype) and not pd.api.types.is_bool_dtype(column.dtype):
        text = [_number_text(v) for v in distinct]
    else:
        text = [_date_text(v) for v in distinct]
    rows = column.index.to_numpy()[first]  # rows of the file (blank lines dropped keep their count)
    parsed = _parse_date_text(text, list(distinct), rows, str(column.name), source)
    dates = np.full(len(codes), np.datetime64("NaT", "ns"))
    dates[present] = parsed[codes[present]]
    return pd.DatetimeIndex(dates).as_unit("ns")


def _number_text(value):
    """yyyymmdd written as a number (an integer, or a float such as 20240102.0)."""
    if value is None or (isinstance(value, float) and np.isnan(value)):
        return None
    if float(value).is_integer():
        return str(int(value))
    return repr(value)


def _date_text(value):
    if value is None or (isinstance(value, float) and np.isnan(value)) or value is pd.NaT:
        return None
    if isinstance(value, (pd.Timestamp, np.datetime64)) or hasattr(value, "isoformat"):
        return pd.Timestamp(value).isoformat(sep=" ")
    return str(value).strip()


def _parse_date_text(text, values, rows, name, source):
    """The dates the strings ``text`` spell (datetime64[ns]; ``values`` as written and ``rows``
    the positions of their first rows, in the order of those rows)."""
    n = len(text)

    def place(i):
        return source.place(rows[i])
    parsed = np.full(n, np.datetime64("NaT", "ns"))
    iso = {}  # position -> the date in yyyy-mm-dd spelling
    day_or_month = {}  # position -> (first, second, year, time)
    named = {}
    for i, t in enumerate(text):
        if t is None:
            continue
        m = _COMPACT.match(t) or _YEAR_FIRST.match(t) or _DAY_OR_MONTH_FIRST.match(t)
        if m and m.groups()[-1] and _TIME_ZONE.search(m.groups()[-1]):
            source.refuse("{}: the date {!r} carries a time zone; write local dates or times without "
                          "one".format(place(i), t))
        if m and m.re is _DAY_OR_MONTH_FIRST:
            day_or_month[i] = (int(m.group(1)), int(m.group(3)), m.group(4), m.group(5))
        elif m:
            g = m.groups()
            iso[i] = _iso(g[0], g[1], g[2], g[3]) if len(g) == 4 else _iso(g[0], g[2], g[3], g[4])
        elif re.search(r"[A-Za-z]{3}", t):
            named[i] = t
    iso.update(_resolve_day_or_month(day_or_month, text, place, source))
    if iso:
        positions = list(iso)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            got = pd.to_datetime(pd.Series([iso[i] for i in positions], dtype=object), format="ISO8601",
                                 errors="coerce")
        parsed[positions] = got.to_numpy(dtype="datetime64[ns]")
    if named:
        positions = list(named)
        series = pd.Series([named[i] for i in positions], dtype=object)
        got = pd.Series(pd.NaT, index=series.index, dtype="datetime64[ns]")
        for fmt in _MONTH_NAME_FORMATS:
            missing = got.isna()
            if not missing.any():
                break
            got[missing] = pd.to_datetime(series[missing], format=fmt, errors="coerce")
        parsed[positions] = got.to_numpy(dtype="datetime64[ns]")
    bad = [i for i in range(n) if text[i] is not None and np.isnat(parsed[i])]
    if bad:
        source.refuse("the column {!r} must hold dates ({}); {}: {}".format(
            name, _DATE_EXAMPLES, "this is not a date" if len(bad) == 1 else "{} values are not dates".format(len(bad)),
            ", ".join("{}: {!r}".format(place(i), values[i]) for i in bad[:_SHOWN])
            + (", ..." if len(bad) > _SHOWN else "")))
    return parsed


def _resolve_day_or_month(found, text, place, source):
    """yyyy-mm-dd spellings of dd/mm/yyyy or mm/dd/yyyy dates: one order for the whole file,
    told by a first number above 12 (day first) or a second one above 12 (month first)."""
    if not found:
        return {}
    day_first = [i for i, (a, b, _, _) in found.items() if a > 12]
    month_first = [i for i, (a, b, _, _) in found.items() if b > 12]
    if day_first and month_first:
        source.refuse("its dates mix day-first and month-first spellings: {} {!r} and {} {!r}; write them as "
                      "yyyy-mm-dd".format(place(day_first[0]), text[day_first[0]],
                                          place(month_first[0]), text[month_first[0]]))
    if not day_first and not month_first:
        differ = [i for i, (a, b, _, _) in found.items() if a != b]
        if differ:
            i = differ[0]
            a, b, year, _ = found[i]
            source.refuse("{}: the date {!r} is ambiguous: {}-{:02d}-{:02d} read day first, {}-{:02d}-{:02d} read "
                          "month first, and no date of the file tells which; write dates as yyyy-mm-dd or "
                          "yyyymmdd".format(place(i), text[i], year, b, a, year, a, b))
    if day_first:
        return {i: _iso(year, b, a, time) for i, (a, b, year, time) in found.items()}
    return {i: _iso(year, a, b, time) for i, (a, b, year, time) in found.items()}


def _check_dates_present(dates, rows, source):
    missing = np.flatnonzero(dates.isna())
    if len(missing):
        source.refuse("{} {} values but no date".format(source.places(rows[missing[:_SHOWN]]),
                                                       "has" if len(missing) == 1 else "have"))


# ----------------------------------------------------------------------------- values

def _numeric(table, describe, source):
    """``table`` as floats; the first cells that are no number are refused, each named by
    ``describe(position)`` and its column."""
    bad = []
    columns = {}
    for j, name in enumerate(table.columns):
        col = table.iloc[:, j]
        if pd.api.types.is_numeric_dtype(col.dtype):
            columns[name] = col.astype(float)
            continue
        stripped = col.str.strip() if pd.api.types.is_string_dtype(col.dtype) else col
        number = pd.to_numeric(stripped, errors="coerce")
        wrong = np.flatnonzero((stripped.notna() & (stripped != "") & number.isna()).to_numpy())
        bad += [(p, j, col.iloc[p]) for p in wrong]
        columns[name] = number.astype(float)
    if bad:
        bad.sort()
        source.refuse("expect numeric factor values; {} {}: {}".format(
            len(bad), "cells are not numbers" if len(bad) > 1 else "cell is not a number", "; ".join(
                "{}, column {}: {!r}".format(describe(p), table.columns[j], v) for p, j, v in bad[:_SHOWN])))
    return pd.DataFrame(columns, index=table.index)


# ----------------------------------------------------------------------------- layouts

def _wide(raw, source, note):
    """Dates x instruments from a wide table."""
    dates_named = _named(raw.columns, DATE_COLUMNS)
    date_col = dates_named[0] if len(dates_named) == 1 else raw.columns[0]
    rows = raw.index.to_numpy()
    values = raw.drop(columns=[date_col])
    try:
        dates = _parse_dates(raw[date_col], source, note)
    except FactorFileError as exc:
        if _header_of_dates(values.columns):
            raise FactorFileError("{}; its header holds dates instead: the table seems transposed (ids as rows, "
                                  "dates as columns); write it with dates as rows and one column per "
                                  "order_book_id (df.T)".format(exc)) from None
        if date_col not in dates_named and _fractional(raw[date_col]):
            raise FactorFileError("{}; it holds factor values instead: the file seems written without its dates "
                                  "(df.to_csv(path) keeps the date index; index=False drops it)".format(exc)) from None
        raise
    _check_dates_present(dates, rows, source)
    if dates.has_duplicates:
        _refuse_repeated_dates(dates, rows, raw, date_col, source)
    table = _numeric(values, lambda p: "{} ({})".format(source.place(rows[p]), _day(dates[p])), source)
    table.index = dates
    if not dates.is_monotonic_increasing:
        k = int(np.flatnonzero(dates.asi8[1:] < dates.asi8[:-1])[0]) + 1
        note("its dates are not in ascending order ({} on {} comes after {}); read them sorted".format(
            _day(dates[k]), source.place(rows[k]), _day(dates[k - 1])))
        table = table.sort_index(kind="stable")
    return table


def _header_of_dates(names):
    """Whether most column names (other than the date column) are dates: a transposed table."""
    from sigmora.analysis._base import mostly_dates

    return mostly_dates([str(n).strip() for n in names[:20]])


def _fractional(column):
    """Whether ``column`` holds numbers with fractions (factor values, never yyyymmdd dates)."""
    if not pd.api.types.is_float_dtype(column.dtype):
        return False
    values = column.to_numpy()
    values = values[np.isfinite(values)]
    return bool(len(values)) and bool((values != np.round(values)).any())


def _day(stamp):
    return str(stamp.date()) if stamp == stamp.normalize() else str(stamp)


def _refuse_repeated_dates(dates, rows, raw, date_col, source):
    repeated = dates[dates.duplicated()].unique()
    shown = []
    for day in repeated[:_SHOWN]:
        shown.append("{} ({})".format(_day(day), source.places(rows[np.flatnonzero(dates == day)][:_SHOWN])))
    hint = "keep one row per date"
    others = [c for c in raw.columns if c != date_col]
    if len(others) == 2:
        # Three columns with repeated dates: most likely a long table under other names.
        text = [c for c in others if not pd.api.types.is_numeric_dtype(raw[c].dtype)]
        ids = text[0] if len(text) == 1 else others[0]
        value = others[1] if ids == others[0] else others[0]
        hint = ("if it is a long table of (date, id, value) rows, name its columns date, order_book_id and value, "
                "or pivot it first: df.pivot(index={!r}, columns={!r}, values={!r})".format(
                    str(date_col), str(ids), str(value)))
    source.refuse("it has repeated dates, e.g. {}{}; {}".format(
        ", ".join(shown), " and {} more".format(len(repeated) - _SHOWN) if len(repeated) > _SHOWN else "", hint))


def _pivot_long(raw, layout, source, note):
    """Dates x instruments from a long table of (date, id, value) rows."""
    date_col, id_col, value_col = layout
    rows = raw.index.to_numpy()
    dates = _parse_dates(raw[date_col], source, note)
    _check_dates_present(dates, rows, source)
    ids = raw[id_col]
    no_id = np.flatnonzero(ids.isna().to_numpy())
    if len(no_id):
        source.refuse("{} {} no {}".format(source.places(rows[no_id[:_SHOWN]]), "has" if len(no_id) == 1 else "have",
                                           id_col))
    ids = ids.astype(str).str.strip().to_numpy()
    values = _numeric(raw[[value_col]], lambda p: "{} ({}, {})".format(source.place(rows[p]), _day(dates[p]), ids[p]),
                      source)[value_col].to_numpy()
    pairs = pd.MultiIndex.from_arrays([dates, ids])
    if pairs.has_duplicates:
        first = np.flatnonzero(pairs.duplicated())[0]
        same = np.flatnonzero(pairs == pairs[first])
        source.refuse("the date {} and {} {} appear more than once ({}); keep one value per date and instrument".format(
            _day(dates[first]), id_col, ids[first], source.places(rows[same][:_SHOWN])))
    table = pd.Series(values, index=pairs).unstack()
    table.index = pd.DatetimeIndex(table.index).as_unit("ns")
    note("a long table of ({}, {}, {}) rows; read as {} dates x {} instruments".format(
        date_col, id_col, value_col, table.shape[0], table.shape[1]))
    return table


# ----------------------------------------------------------------------------- files and the store

def factor_from_file(path, args, err=None):
    """The factor table of ``path`` within the --start/--end window."""
    factor = _at_their_dates(read_factor_file(path, err=err), path, args.frequency, err)
    if args.start:
        factor = factor.loc[date_option(args.start, "--start"):]
    if args.end:
        factor = factor.loc[:date_option(args.end, "--end")]
    if factor.empty:
        raise UsageError("--start/--end: no rows of FACTOR_FILE are left in the window ({})".format(path))
    return factor


def _at_their_dates(factor, path, frequency, err):
    """A factor of one row a date stamped with a time of day (a close at 15:00) read at its dates,
    as the store's prices are, with a note: at its times it would be taken for intraday rows,
    which share no row with the daily returns and annualise as intraday. Rows several to a date,
    or --frequency intraday, keep their times."""
    index = factor.index
    if frequency == "intraday" or not isinstance(index, pd.DatetimeIndex):
        return factor
    days = index.normalize()
    timed = index != days
    if not timed.any() or days.has_duplicates:
        return factor
    stamped = index[timed][0]
    _stderr_note(err, path)("its rows carry a time of day ({} on {}), one row a date; read as their dates "
                            "(--frequency intraday keeps the times)".format(stamped.time(), stamped.date()))
    factor = factor.copy(deep=False)
    factor.index = pd.DatetimeIndex(days, name=index.name)
    return factor


def known_columns(table, err, path=None):
    """``table`` without the columns that are no instrument of the current store (said on ``err``)."""
    from sigmora.analysis import _market
    known = set(_market.all_instruments()["order_book_id"])
    unknown = [c for c in table.columns if c not in known]
    where = "" if path is None else " of {}".format(path)
    hint = _spelling_hint(unknown, known)
    if len(unknown) == len(table.columns):
        raise FactorFileError("FACTOR_FILE: {}none of its {} columns is an instrument of the store "
                              "(e.g. {!r}){}".format("" if path is None else path + ": ", len(unknown), unknown[0],
                                                     hint))
    if unknown:
        print("sigmora: {} of {} columns{} are not instruments of the store and are left out: {}{}{}".format(
            len(unknown), len(table.columns), where, ", ".join(unknown[:5]), " ..." if len(unknown) > 5 else "",
            hint), file=err)
    return table.drop(columns=unknown)


def price_span():
    """(first, last) date of the current store's daily bars, or None when it cannot say. Read
    once per command: the store counts every table to tell it."""
    from sigmora.analysis import _market
    return _market.price_span()


def within_prices(table, path, span):
    """``table`` when some of its dates lie within ``span`` (`price_span`), the store's daily
    bars; a table wholly before or after them is refused, naming both spans."""
    if span is None:
        return table
    first, last = span
    start, end = table.index[0].normalize(), table.index[-1].normalize()
    if end < first or start > last:
        raise FactorFileError("FACTOR_FILE: {}: its dates ({} to {}) lie {} the store's prices ({} to {}); give "
                              "factor dates within them, or test it against a store that holds prices for its "
                              "dates (--store)".format(path, start.date(), end.date(),
                                                      "before" if end < first else "after",
                                                      first.date(), last.date()))
    from sigmora.analysis import _market
    try:
        trading = _market.trading_date_index(start, end)
    except Exception:  # noqa: BLE001 - a calendar it cannot serve is reported by the run
        return table
    days = table.index.normalize()
    if not days.isin(trading).any():
        raise FactorFileError("FACTOR_FILE: {}: none of its {} dates is a trading date of the store (e.g. {}, a {}); "
                              "give the factor on trading dates".format(
                                  path, len(days.unique()), days[0].date(), days[0].day_name()))
    return table


def _spelling_hint(unknown, known):
    """How the store spells the first of the ``unknown`` columns that is one of its instruments in
    another spelling (``000001.SZ`` for ``000001.XSHE``), or ""."""
    from tidewell.ids import respelled
    found = respelled(unknown, known)
    if found is None:
        return ""
    column, oid = found
    return ("; the store spells ids as {!r} for {!r}: rename the columns to the store's spelling "
            "(tidewell.ids.normalize(name)[0] gives it)".format(oid, column))


def factor_files(paths):
    """The factor files named, a folder standing for the factor files directly inside it."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = sorted(os.path.join(path, f) for f in os.listdir(path) if f.lower().endswith(FACTOR_FILE_SUFFIXES))
            if not found:
                raise UsageError("FACTOR_FILES: the folder {} holds no .csv or .parquet file".format(path))
            files += found
        else:
            files.append(path)
    names = [os.path.splitext(os.path.basename(f))[0] for f in files]
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise UsageError("FACTOR_FILES: two files give the factor name {!r}; rename one".format(repeated[0]))
    return dict(zip(names, files))
