"""The documented schema of a tidewell store (see also ``SCHEMA.md`` beside this file).

A store is one DuckDB database file.  Every table is described here once; the DDL, the importer's
validation and ``tidewell info`` are all derived from these descriptions.

Conventions
-----------
* ``order_book_id`` is text such as ``"000001.XSHE"`` (stocks) or ``"000300.XSHG"`` (indexes).
* Dates are DuckDB ``DATE``; intraday times are ``TIMESTAMP`` (naive, exchange local time).
* Prices are raw (unadjusted) exchange prices.  ``daily_bars.adj_factor`` is the cumulative
  adjustment factor since listing (1.0 at listing; it is multiplied by the ratio of the factor
  change at every split or dividend ex-date).  Post-adjusted price = raw * adj_factor;
  pre-adjusted price = raw * adj_factor / (latest adj_factor of that instrument in the store).
  Minute bars and ticks are adjusted with the daily factor of their calendar date.
* A missing bar (suspension) is simply an absent row.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

STYLE_FACTORS: Tuple[str, ...] = (
    "beta",
    "momentum",
    "size",
    "earnings_yield",
    "residual_volatility",
    "growth",
    "book_to_price",
    "leverage",
    "liquidity",
    "non_linear_size",
)


@dataclass(frozen=True)
class Column:
    name: str
    sql_type: str          # DuckDB type
    kind: str              # "text", "date", "timestamp", "float", "int"
    required: bool = True  # must be present in an imported file
    nullable: bool = False
    positive: bool = False  # values must be > 0 (prices, factors)
    doc: str = ""


@dataclass(frozen=True)
class Table:
    name: str
    columns: Tuple[Column, ...]
    key: Tuple[str, ...]
    doc: str
    optional: bool = False          # may stay empty in a valid store
    derived: bool = False           # written by tidewell from other tables, never imported
    references_instruments: bool = True
    time_column: Optional[str] = None
    price_fields: Tuple[str, ...] = field(default=())

    def column(self, name: str) -> Column:
        for c in self.columns:
            if c.name == name:
                return c
        raise KeyError(name)

    @property
    def column_names(self) -> List[str]:
        return [c.name for c in self.columns]

    def ddl(self) -> str:
        cols = []
        for c in self.columns:
            cols.append("{} {}{}".format(c.name, c.sql_type, "" if c.nullable else " NOT NULL"))
        # The key is a logical key: the importer enforces it (no duplicates), the DDL has no
        # PRIMARY KEY index, which would slow bulk loads of tens of millions of bars.
        return "CREATE TABLE IF NOT EXISTS {} (\n    {}\n)".format(self.name, ",\n    ".join(cols))


def _id(doc="instrument id, e.g. 000001.XSHE"):
    return Column("order_book_id", "VARCHAR", "text", doc=doc)


def _px(name, required=False, doc=""):
    return Column(name, "DOUBLE", "float", required=required, nullable=not required,
                  positive=True, doc=doc or "raw {} price".format(name))


TABLES: Dict[str, Table] = {}


def _add(t: Table) -> None:
    TABLES[t.name] = t


_add(Table(
    "instruments",
    (
        _id(),
        Column("symbol", "VARCHAR", "text", doc="display name"),
        Column("type", "VARCHAR", "text", doc='"CS" for a stock, "INDX" for an index, "ETF" or '
               '"LOF" for a fund'),
        Column("exchange", "VARCHAR", "text", doc='"XSHG" (Shanghai), "XSHE" (Shenzhen) or "BJSE" '
               '(Beijing)'),
        Column("listed_date", "DATE", "date", doc="first trading date"),
        Column("de_listed_date", "DATE", "date", required=False, nullable=True,
               doc="delisting date (no bar on or after it); NULL while listed"),
    ),
    key=("order_book_id",),
    doc="One row per instrument.",
    references_instruments=False,
))

_add(Table(
    "trading_calendar",
    (Column("date", "DATE", "date", doc="a trading date"),),
    key=("date",),
    doc="The exchange's trading dates, ascending; reaches before the first bar (classification "
        "start dates) and after the last bar (forward windows). A store imported without one takes "
        "the Shanghai exchange's sessions (XSHG of exchange_calendars) from a month before its "
        "first date to a year after its last bar, extended as later imports need; an imported "
        "calendar replaces them (metadata `trading_calendar` says which the store has).",
    references_instruments=False,
))

_add(Table(
    "daily_bars",
    (
        _id(),
        Column("date", "DATE", "date", doc="trading date (must be in trading_calendar)"),
        _px("open"), _px("high"), _px("low"), _px("close", required=True),
        Column("volume", "DOUBLE", "float", required=False, nullable=True, doc="shares traded"),
        Column("total_turnover", "DOUBLE", "float", required=False, nullable=True,
               doc="value traded"),
        Column("adj_factor", "DOUBLE", "float", required=False, nullable=False, positive=True,
               doc="cumulative adjustment factor since listing (default 1.0)"),
    ),
    key=("order_book_id", "date"),
    doc="Daily bars of stocks and indexes with raw prices and the cumulative adjustment factor.",
    time_column="date",
    price_fields=("open", "high", "low", "close"),
))

_add(Table(
    "minute_bars",
    (
        _id(),
        Column("datetime", "TIMESTAMP", "timestamp", doc="bar end time, e.g. 09:31:00"),
        _px("open"), _px("high"), _px("low"), _px("close", required=True),
        Column("volume", "DOUBLE", "float", required=False, nullable=True),
        Column("total_turnover", "DOUBLE", "float", required=False, nullable=True),
    ),
    key=("order_book_id", "datetime"),
    doc="One-minute bars (optional).",
    optional=True,
    time_column="datetime",
    price_fields=("open", "high", "low", "close"),
))

_add(Table(
    "ticks",
    (
        _id(),
        Column("datetime", "TIMESTAMP", "timestamp", doc="snapshot time"),
        _px("last", required=True, doc="last traded price"),
        Column("volume", "DOUBLE", "float", required=False, nullable=True,
               doc="cumulative volume of the day"),
    ),
    key=("order_book_id", "datetime"),
    doc="Tick snapshots (optional).",
    optional=True,
    time_column="datetime",
    price_fields=("last",),
))

_add(Table(
    "industry_citics_2019",
    (
        Column("first_industry_name", "VARCHAR", "text", doc="CITICS level-1 industry name"),
        _id(),
        Column("start_date", "DATE", "date", doc="the record holds from this date on"),
    ),
    key=("order_book_id", "start_date"),
    doc='CITICS 2019 classification history ("citics_2019").',
    time_column="start_date",
))

_add(Table(
    "industry_sws",
    (
        Column("index_name", "VARCHAR", "text", doc="Shenwan level-1 industry name"),
        _id(),
        Column("start_date", "DATE", "date", doc="the record holds from this date on"),
        Column("version", "INTEGER", "int",
               doc="classification version: 1 (to 2014-01-01), 2 (to 2021-07-31), 3 (after)"),
    ),
    key=("order_book_id", "start_date", "version"),
    doc='Shenwan classification history ("sws"), all versions.',
    time_column="start_date",
))

_add(Table(
    "index_components",
    (
        Column("index_id", "VARCHAR", "text", doc="the index, e.g. 000300.XSHG"),
        _id("a member instrument"),
        Column("in_date", "DATE", "date", doc="member from this date on"),
        Column("out_date", "DATE", "date", required=False, nullable=True,
               doc="member before this date (NULL: still a member)"),
    ),
    key=("index_id", "order_book_id", "in_date"),
    doc="Index membership spells (optional).",
    optional=True,
    time_column="in_date",
))

_add(Table(
    "style_exposures",
    (_id(), Column("date", "DATE", "date"))
    + tuple(Column(f, "DOUBLE", "float", required=False, nullable=True,
                   doc="exposure to style factor {}".format(f)) for f in STYLE_FACTORS),
    key=("order_book_id", "date"),
    doc="Daily style factor exposures, one column per style factor (NULL = unknown).",
    time_column="date",
))

_add(Table(
    "signals",
    (
        _id(),
        Column("date", "DATE", "date"),
        Column("name", "VARCHAR", "text", doc='signal name, e.g. "planted"'),
        Column("value", "DOUBLE", "float", nullable=True),
    ),
    key=("name", "order_book_id", "date"),
    doc="Named research signals stored with the data (the demo's planted signal and a noise one).",
    optional=True,
    time_column="date",
))

_add(Table(
    "st_status",
    (
        _id(),
        Column("start_date", "DATE", "date", doc="first date under special treatment"),
        Column("end_date", "DATE", "date", required=False, nullable=True,
               doc="first date no longer under it (NULL: still under it)"),
        Column("kind", "VARCHAR", "text", doc='"ST" or "*ST" (delisting risk)'),
    ),
    key=("order_book_id", "start_date"),
    doc="Special-treatment spells (optional): the stock is ST or *ST on the dates from start_date "
        "up to the day before end_date. While a spell holds, the stock's derived price limits take "
        "its board's ST width (see Daily price limits).",
    optional=True,
    time_column="start_date",
))

_add(Table(
    "price_limits",
    (
        _id(),
        Column("date", "DATE", "date", doc="trading date of a daily bar of the instrument"),
        Column("limit_up", "DOUBLE", "float", nullable=True, positive=True,
               doc="the highest price allowed that day (NULL: no upper limit)"),
        Column("limit_down", "DOUBLE", "float", nullable=True, positive=True,
               doc="the lowest price allowed that day (NULL: no lower limit)"),
    ),
    key=("order_book_id", "date"),
    doc="Daily limit prices you have (optional): they replace the derived limits of those bars "
        "(see Daily price limits); bars without a row here take the derived ones.",
    optional=True,
    time_column="date",
    price_fields=("limit_up", "limit_down"),
))

_add(Table(
    "trading_status",
    (
        _id(),
        Column("date", "DATE", "date", doc="a trading date"),
        Column("status", "VARCHAR", "text", doc='"suspended": listed but without a bar; '
               '"limit_up" / "limit_down": the bar closes at its upper / lower limit price'),
    ),
    key=("order_book_id", "date"),
    doc="The days a stock or fund could not be traded freely at the close, one row each, derived "
        "by tidewell from daily_bars, instruments, trading_calendar, st_status and price_limits "
        "whenever an import changes any of them (metadata `trading_status` records the revision "
        "of the rules it was derived with). Suspended days lie between the store's first and last "
        "bar dates, from an instrument's listing to its delisting. Not imported.",
    optional=True,
    derived=True,
    time_column="date",
))

_add(Table(
    "metadata",
    (Column("key", "VARCHAR", "text"), Column("value", "VARCHAR", "text")),
    key=("key",),
    doc="Free key/value facts about the store (format version, demo parameters). "
        "`kind` = `demo` marks a demo store: only it offers the derived ratios of `get_factor` "
        "(not after an import into its `style_exposures`, which records `style_exposures` = "
        "`imported`).",
    optional=True,
    references_instruments=False,
))

#: Instrument types a store holds: stocks, indexes, exchange-traded and listed open-end funds.
TYPES: Tuple[str, ...] = ("CS", "INDX", "ETF", "LOF")
#: Exchanges: Shanghai, Shenzhen, Beijing (also the suffix of an order_book_id).
EXCHANGES: Tuple[str, ...] = ("XSHG", "XSHE", "BJSE")

#: The integrity rules every import checks over the whole store as it will be after the import
#: (and ``tidewell check`` over an existing store); ``tidewell.integrity`` implements them.
RULES: Dict[str, str] = {
    "instrument-type": "instruments.type is one of {}".format(", ".join(TYPES)),
    "instrument-exchange": "instruments.exchange is one of {}".format(", ".join(EXCHANGES)),
    "instrument-dates": "an instrument's de_listed_date is not before its listed_date",
    "known-instrument": "every daily bar, minute bar, tick, classification record, style exposure, "
                        "signal, special-treatment spell, limit price and index-membership row "
                        "(its index_id and its order_book_id) names an instrument of the store",
    "listed-span": "daily bars, minute bars and ticks fall on or after their instrument's "
                   "listed_date and before its de_listed_date",
    "calendar-reach": "trading_calendar reaches at least as far as the last bar (daily, minute or "
                      "tick)",
    "trading-date": "daily bars, style exposures and signals are dated, and minute bars and ticks "
                    "fall, on dates of trading_calendar",
    "st-spell": "an st_status spell's kind is ST or *ST, it ends after it starts (end_date after "
                "start_date, or NULL), and the spells of one instrument do not overlap",
    "limit-price": "a price_limits row has a daily bar of its instrument on its date, and its "
                   "limit_down is below its limit_up where both are given",
}

#: Order in which tables are created and imported (instruments and calendar first).
TABLE_ORDER: Tuple[str, ...] = tuple(TABLES)

#: Fields of ``get_price`` per frequency (the table's columns other than keys).
PRICE_TABLE = {"1d": "daily_bars", "1m": "minute_bars", "tick": "ticks"}

SCHEMA_VERSION = "1"


def price_fields(frequency: str) -> Tuple[str, ...]:
    t = TABLES[PRICE_TABLE[frequency]]
    return tuple(c.name for c in t.columns
                 if c.name not in ("order_book_id", t.time_column, "adj_factor"))


def importable(name: str) -> bool:
    """Whether an import may load the table ``name`` (metadata and derived tables: no)."""
    return name in TABLES and name != "metadata" and not TABLES[name].derived


def ddl_statements() -> List[str]:
    return [TABLES[n].ddl() for n in TABLE_ORDER]


def describe() -> str:
    """A Markdown description of every table (the text of SCHEMA.md)."""
    out = ["# tidewell store schema", "",
           "<!-- generated by `tidewell schema` from tidewell/schema.py; do not edit by hand -->",
           "", (__doc__ or "").strip().replace("(see also ``SCHEMA.md`` beside this file)", ""), ""]
    for n in TABLE_ORDER:
        t = TABLES[n]
        out.append("## `{}`{}".format(n, " (derived)" if t.derived else " (optional)" if t.optional else ""))
        out.append("")
        out.append(t.doc + " Key: ({}).".format(", ".join(t.key)))
        out.append("")
        out.append("| column | type | required in an import | null allowed | > 0 | meaning |")
        out.append("|---|---|---|---|---|---|")
        for c in t.columns:
            out.append("| `{}` | {} | {} | {} | {} | {} |".format(
                c.name, c.sql_type, "not imported" if t.derived else "yes" if c.required else "no",
                "yes" if c.nullable else "no", "yes" if c.positive else "", c.doc))
        out.append("")
    from . import limits as _limits
    out.append(_limits.describe())
    out += ["## Integrity rules", "",
            "Every import checks these over the whole store as it will be after the import "
            "(whatever it replaced) and refuses the whole import on a violation, naming the file, "
            "the row and the rule; `tidewell check STORE` reports every violation of an existing "
            "store.", "",
            "| rule | what holds |", "|---|---|"]
    out += ["| `{}` | {} |".format(k, v) for k, v in RULES.items()]
    out += ["", "## order_book_id spellings", "",
            "Ids are stored as `CODE.EXCHANGE` (six digits, then XSHG, XSHE or BJSE). An import "
            "reads these spellings too (case does not matter):", "",
            "| given | stored |", "|---|---|"]
    for a, b in ID_EXAMPLES:
        code, _, note = a.partition(" ")
        out.append("| `{}`{} | `{}` |".format(code, " " + note if note else "", b))
    out += ["", "A bare code takes the exchange of its range: " + ID_RANGES, "",
            "The range 000 is shared by Shenzhen's stocks and Shanghai's indexes (000001 is both "
            "Ping An Bank and the SSE Composite). A bare 000 code is the Shenzhen stock, except "
            "in `index_components.index_id` and in an `instruments` row of type INDX (an index: "
            "Shanghai), and except where only the Shanghai index of that code is an instrument of "
            "the store or of the import. When both are instruments the bare code is ambiguous "
            "and refused. Other suffixes and prefixes, codes of no listed range and codes that "
            "are not six digits are refused.", ""]
    return "\n".join(out)


#: Examples of the id spellings an import reads (``tidewell.ids``), given -> stored.
ID_EXAMPLES = (
    ("000001.XSHE", "000001.XSHE"), ("000001.SZ", "000001.XSHE"), ("sz000001", "000001.XSHE"),
    ("SZ000001", "000001.XSHE"), ("sz.000001", "000001.XSHE"), ("000001", "000001.XSHE"),
    ("600000.SH", "600000.XSHG"), ("600000.SS", "600000.XSHG"), ("sh600000", "600000.XSHG"),
    ("600000", "600000.XSHG"), ("430047.BJ", "430047.BJSE"), ("bj430047", "430047.BJSE"),
    ("830799", "830799.BJSE"), ("000300 as an index", "000300.XSHG"),
)
ID_RANGES = ("600, 601, 603, 605, 688, 689, 900, 50, 51, 52, 56, 58: Shanghai (XSHG); 000, 001, "
             "002, 003, 004, 300, 301, 302, 200, 201, 15, 16, 18, 399: Shenzhen (XSHE); 43, 83, "
             "87, 88, 920: Beijing (BJSE).")
