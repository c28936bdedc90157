"""The integrity rules of a store, checked over whole tables.

Every import checks them inside its transaction over the store as it will be after the import
(whatever the import replaced), and refuses the import on any violation; ``tidewell check``
runs the same checks over an existing store and reports every violation.  The rules
(``RULES``) are documented in ``SCHEMA.md`` and ``tidewell/README.md``.

``check(con, rel)`` runs them: ``rel(table)`` is the SQL of a relation with the table's columns
and two more, ``_src`` (which source of an import a row comes from, NULL for rows already in the
store) and ``_rn`` (its 0-based row in that source), so that a violation can name the file and
row it comes from.  ``store_relation(con)`` gives the relations of a store as it is.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

import pandas as pd

from . import limits as _limits
from . import schema

__all__ = ["RULES", "TYPES", "EXCHANGES", "Violation", "check", "store_relation"]

TYPES = schema.TYPES
EXCHANGES = schema.EXCHANGES

#: Tables whose rows name an instrument, and the column(s) that do.
REFERENCES = (
    ("daily_bars", "order_book_id"), ("minute_bars", "order_book_id"), ("ticks", "order_book_id"),
    ("industry_citics_2019", "order_book_id"), ("industry_sws", "order_book_id"),
    ("style_exposures", "order_book_id"), ("signals", "order_book_id"),
    ("index_components", "index_id"), ("index_components", "order_book_id"),
    ("st_status", "order_book_id"), ("price_limits", "order_book_id"),
)
#: Bar tables and the SQL of a row's date.
BARS = (("daily_bars", "date"), ("minute_bars", "CAST(x.datetime AS DATE)"),
        ("ticks", "CAST(x.datetime AS DATE)"))
#: Tables whose dates must be trading dates.
ON_TRADING_DATES = (("daily_bars", "x.date"), ("style_exposures", "x.date"), ("signals", "x.date"),
                    ("minute_bars", "CAST(x.datetime AS DATE)"), ("ticks", "CAST(x.datetime AS DATE)"))

#: The rules, documented with the schema.
RULES: Dict[str, str] = schema.RULES


@dataclass
class Violation:
    rule: str
    table: str
    column: str
    reason: str                     # about the example row
    count: int                      # rows that break the rule
    ids: Optional[int] = None       # distinct ids among them
    key: Dict[str, object] = field(default_factory=dict)   # the example row's key
    src: Optional[int] = None       # the example's import source (None: a row of the store)
    rn: Optional[int] = None        # its 0-based row in that source

    def extent(self) -> str:
        n = "{:,} row{}".format(self.count, "" if self.count == 1 else "s")
        if self.ids is not None and self.ids > 1:
            n += " of {:,} ids".format(self.ids)
        return n

    def key_text(self) -> str:
        return ", ".join("{}={}".format(k, _text(v)) for k, v in self.key.items())

    def as_dict(self) -> dict:
        return {"rule": self.rule, "table": self.table, "column": self.column, "reason": self.reason,
                "rows": self.count, "ids": self.ids,
                "example": {k: _text(v) for k, v in self.key.items()}}


def _text(v) -> str:
    if v is None:
        return "NULL"
    if isinstance(v, pd.Timestamp) or hasattr(v, "isoformat"):
        ts = pd.Timestamp(v)
        return ts.strftime("%Y-%m-%d") if ts == ts.normalize() else str(ts)
    return str(v)


def store_relation(con) -> Callable[[str], str]:
    """Relations of the store behind ``con`` as it is (rows carry no import source)."""
    present = {r[0] for r in con.execute(
        "SELECT table_name FROM information_schema.tables WHERE table_schema = 'main'").fetchall()}

    def rel(table: str) -> str:
        t = schema.TABLES[table]
        cols = ", ".join(t.column_names)
        if table in present:
            return "(SELECT {}, NULL::INTEGER AS _src, NULL::BIGINT AS _rn FROM main.{})".format(cols, table)
        return empty_relation(table)
    return rel


def empty_relation(table: str) -> str:
    t = schema.TABLES[table]
    cols = ", ".join("NULL::{} AS {}".format(c.sql_type, c.name) for c in t.columns)
    return "(SELECT {}, NULL::INTEGER AS _src, NULL::BIGINT AS _rn WHERE false)".format(cols)


def _example(con, sql_bad: str, key: List[str], params=()):
    """(count, distinct ids or None, example row) of the rows of ``sql_bad`` (a relation)."""
    has_id = "order_book_id" in key
    n, ids = con.execute("SELECT count(*), {} FROM ({}) b".format(
        "count(DISTINCT order_book_id)" if has_id else "NULL", sql_bad), list(params)).fetchall()[0]
    if not n:
        return 0, None, None
    cols = ", ".join(key + ["_src", "_rn"])
    row = con.execute("SELECT {c} FROM ({s}) b ORDER BY _src NULLS LAST, _rn, {k} LIMIT 1".format(
        c=cols, s=sql_bad, k=", ".join(key)), list(params)).fetchall()[0]
    return int(n), (int(ids) if ids is not None else None), row


def _violation(rule, table, column, reason_of, key, found) -> Optional[Violation]:
    n, ids, row = found
    if not n:
        return None
    keyvals = dict(zip(key, row[:len(key)]))
    return Violation(rule, table, column, reason_of(keyvals), n, ids, keyvals,
                     None if row[-2] is None else int(row[-2]),
                     None if row[-1] is None else int(row[-1]))


def check(con, rel: Callable[[str], str]) -> List[Violation]:
    """Every rule over the relations ``rel`` gives; one ``Violation`` per rule and table (with
    the count of rows that break it and one example), in the order of ``RULES``."""
    out: List[Violation] = []

    def add(v):
        if v is not None:
            out.append(v)

    inst = rel("instruments")
    ikey = ["order_book_id"]
    # -- instruments' own columns
    add(_violation(
        "instrument-type", "instruments", "type",
        lambda k: "type {!r} of {} is not one of {}".format(k["type"], k["order_book_id"], ", ".join(TYPES)),
        ikey + ["type"], _example(con, "SELECT * FROM {} x WHERE x.type NOT IN ({})".format(
            inst, ", ".join("'{}'".format(t) for t in TYPES)), ikey + ["type"])))
    add(_violation(
        "instrument-exchange", "instruments", "exchange",
        lambda k: "exchange {!r} of {} is not one of {}".format(
            k["exchange"], k["order_book_id"], ", ".join(EXCHANGES)),
        ikey + ["exchange"], _example(con, "SELECT * FROM {} x WHERE x.exchange NOT IN ({})".format(
            inst, ", ".join("'{}'".format(e) for e in EXCHANGES)), ikey + ["exchange"])))
    add(_violation(
        "instrument-dates", "instruments", "de_listed_date",
        lambda k: "de_listed_date {} of {} is before its listed_date {}".format(
            _text(k["de_listed_date"]), k["order_book_id"], _text(k["listed_date"])),
        ikey + ["listed_date", "de_listed_date"],
        _example(con, "SELECT * FROM {} x WHERE x.de_listed_date < x.listed_date".format(inst),
                 ikey + ["listed_date", "de_listed_date"])))
    # -- rows that name an instrument
    for table, column in REFERENCES:
        key = list(schema.TABLES[table].key)
        bad = ("SELECT x.* FROM {t} x WHERE NOT EXISTS (SELECT 1 FROM {i} i "
               "WHERE i.order_book_id = x.{c})").format(t=rel(table), i=inst, c=column)
        what = "unknown index" if column == "index_id" else "unknown instrument"
        add(_violation(
            "known-instrument", table, column,
            lambda k, c=column, w=what: "{} {!r} (not in instruments of the store or of this "
                                        "import)".format(w, k[c]),
            key, _example(con, bad, key)))
    # -- bars inside the listed span
    for table, day in BARS:
        key = list(schema.TABLES[table].key)
        day_sql = day if day.startswith("CAST") else "x." + day
        bad = ("SELECT x.*, i.listed_date AS _listed, i.de_listed_date AS _delisted FROM {t} x "
               "JOIN {i} i ON i.order_book_id = x.order_book_id WHERE {d} < i.listed_date OR "
               "(i.de_listed_date IS NOT NULL AND {d} >= i.de_listed_date)").format(
            t=rel(table), i=inst, d=day_sql)
        found = _example(con, bad, key + ["_listed", "_delisted"])
        if found[0]:
            time_col = key[-1]
            add(_violation(
                "listed-span", table, time_col,
                lambda k, tc=time_col: "{} of {} lies outside its listed span (listed {}{}); a bar "
                "must fall on or after listed_date and before de_listed_date".format(
                    _text(k[tc]), k["order_book_id"], _text(k["_listed"]),
                    ", delisted {}".format(_text(k["_delisted"])) if k["_delisted"] is not None else ""),
                key + ["_listed", "_delisted"], found))
            out[-1].key = {k: v for k, v in out[-1].key.items() if not k.startswith("_")}
    # -- the calendar reaches the last bar
    cal = rel("trading_calendar")
    cal_last = con.execute("SELECT max(date) FROM {}".format(cal)).fetchall()[0][0]
    last_bar = None
    for table, day in BARS:
        day_sql = day if day.startswith("CAST") else "x." + day
        row = con.execute("SELECT {d}, x.order_book_id, x.{tc}, x._src, x._rn FROM {t} x "
                          "ORDER BY 1 DESC, x._src NULLS LAST, x._rn LIMIT 1".format(
                              d=day_sql, t=rel(table), tc=schema.TABLES[table].key[-1])).fetchall()
        if row and (last_bar is None or row[0][0] > last_bar[1][0]):
            last_bar = (table, row[0])
    if last_bar is not None and (cal_last is None or last_bar[1][0] > cal_last):
        table, row = last_bar
        key = list(schema.TABLES[table].key)
        ends = "is empty" if cal_last is None else "ends {}".format(_text(cal_last))
        out.append(Violation(
            "calendar-reach", table, key[-1],
            "trading_calendar {}, before this bar of {}: the calendar must reach at least as far "
            "as the last bar".format(ends, _text(row[0])), 1, None,
            {"order_book_id": row[1], key[-1]: row[2]},
            None if row[3] is None else int(row[3]), None if row[4] is None else int(row[4])))
    # -- dates on trading dates
    if cal_last is not None:
        for table, day in ON_TRADING_DATES:
            key = list(schema.TABLES[table].key)
            bad = ("SELECT x.*, {d} AS _day FROM {t} x WHERE NOT EXISTS (SELECT 1 FROM {c} c "
                   "WHERE c.date = {d})").format(t=rel(table), c=cal, d=day)
            found = _example(con, bad, key + ["_day"])
            if found[0]:
                col = key[-1]
                intraday = table in ("minute_bars", "ticks")
                add(_violation(
                    "trading-date", table, col,
                    lambda k, i=intraday: "{} is not {}a trading date of trading_calendar".format(
                        _text(k["_day"]) if not i else _text(k[col]), "on " if i else ""),
                    key + ["_day"], found))
                out[-1].key.pop("_day", None)
    _check_st_spells(con, rel, add)
    _check_limit_prices(con, rel, add)
    return out


def _check_st_spells(con, rel, add) -> None:
    key = list(schema.TABLES["st_status"].key)
    st = rel("st_status")
    kinds = ", ".join("'{}'".format(k) for k in _limits.ST_KINDS)
    add(_violation(
        "st-spell", "st_status", "kind",
        lambda k: "kind {!r} of the spell of {} from {} is not one of {}".format(
            k["kind"], k["order_book_id"], _text(k["start_date"]), ", ".join(_limits.ST_KINDS)),
        key + ["kind"], _example(con, "SELECT * FROM {} x WHERE x.kind NOT IN ({})".format(st, kinds),
                                 key + ["kind"])))
    add(_violation(
        "st-spell", "st_status", "end_date",
        lambda k: "the spell of {} from {} ends {}, not after it starts".format(
            k["order_book_id"], _text(k["start_date"]), _text(k["end_date"])),
        key + ["end_date"], _example(con, "SELECT * FROM {} x WHERE x.end_date <= x.start_date".format(st),
                                     key + ["end_date"])))
    overlap = ("SELECT * FROM (SELECT x.*, lag(x.start_date) OVER w AS _prev_start, "
               "lag(x.end_date) OVER w AS _prev_end FROM {} x WINDOW w AS (PARTITION BY "
               "x.order_book_id ORDER BY x.start_date)) y WHERE y._prev_start IS NOT NULL AND "
               "(y._prev_end IS NULL OR y._prev_end > y.start_date)").format(st)
    v = _violation(
        "st-spell", "st_status", "start_date",
        lambda k: "the spell of {} from {} starts before its spell from {} ends ({}): spells of "
                  "one instrument may not overlap".format(
                      k["order_book_id"], _text(k["start_date"]), _text(k["_prev_start"]),
                      "never" if k["_prev_end"] is None else _text(k["_prev_end"])),
        key + ["_prev_start", "_prev_end"], _example(con, overlap, key + ["_prev_start", "_prev_end"]))
    if v is not None:
        v.key = {k: x for k, x in v.key.items() if not k.startswith("_")}
    add(v)


def _check_limit_prices(con, rel, add) -> None:
    key = list(schema.TABLES["price_limits"].key)
    lim = rel("price_limits")
    no_bar = ("SELECT x.* FROM {} x WHERE NOT EXISTS (SELECT 1 FROM {} b WHERE b.order_book_id = "
              "x.order_book_id AND b.date = x.date)").format(lim, rel("daily_bars"))
    add(_violation(
        "limit-price", "price_limits", "date",
        lambda k: "limit prices of {} on {}, a date without a daily bar of it".format(
            k["order_book_id"], _text(k["date"])),
        key, _example(con, no_bar, key)))
    add(_violation(
        "limit-price", "price_limits", "limit_down",
        lambda k: "limit_down {} of {} on {} is not below its limit_up {}".format(
            k["limit_down"], k["order_book_id"], _text(k["date"]), k["limit_up"]),
        key + ["limit_down", "limit_up"],
        _example(con, "SELECT * FROM {} x WHERE x.limit_down >= x.limit_up".format(lim),
                 key + ["limit_down", "limit_up"])))
