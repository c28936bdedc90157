"""Daily price limits of A-share stocks: the boards' rules and the limit prices of a bar.

An A-share stock may trade on a day only within a band around its reference price, the
previous close (on an ex-date the previous close adjusted for the dividend or split).  The
band's width depends on the board the stock trades on, on the date (the boards' rules changed
over the years), on whether the stock is under special treatment (ST, *ST) and, for a few
sessions after listing, on how long ago the stock listed.  ``RULES`` and ``LISTING_RULES`` are
that table; ``SCHEMA.md`` shows it with its sources (``describe``).

A bar's limits, where the store has none imported (``price_limits``), are derived from it::

    reference  = round(previous close x previous adj_factor / adj_factor, 2)
    limit_up   = round(reference x (1 + width), 2)
    limit_down = round(reference x (1 - width), 2)

rounded half up to the cent as the exchanges do.  A bar has no derived limit (NULL) where no
rule applies: the first bar of an instrument in the store (no previous close; a listing day's
limit is relative to the issue price, which a store does not hold), the sessions right after
listing that trade without a limit, instruments other than A-share stocks (indexes, funds,
B shares) and dates before a board's first rule.

The same rules give the SQL of the store's derivation (``width_sql``) and the numpy arrays of
the demo simulator (``widths``), so that both agree to the cent (``limit_prices``).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Sequence, Tuple

import numpy as np
import pandas as pd

__all__ = ["BOARDS", "RULES", "LISTING_RULES", "LimitRule", "ListingRule", "board",
           "board_sql", "widths", "width_sql", "reference_price", "limit_prices", "describe",
           "RULES_REVISION", "ST_KINDS"]

#: Bumped whenever a rule changes: a store's derived status (``trading_status``) records the
#: revision it was derived with and is derived again by reads of a store with another one.
RULES_REVISION = "1"

#: The kinds of special treatment an ``st_status`` spell records.
ST_KINDS: Tuple[str, ...] = ("ST", "*ST")

#: Boards of A-share stocks, and the ids that trade on them (code prefix, exchange).
BOARDS = {
    "main": ("Main board", (("600", "XSHG"), ("601", "XSHG"), ("603", "XSHG"), ("605", "XSHG"),
                            ("000", "XSHE"), ("001", "XSHE"), ("002", "XSHE"), ("003", "XSHE"),
                            ("004", "XSHE"))),
    "chinext": ("ChiNext", (("300", "XSHE"), ("301", "XSHE"), ("302", "XSHE"))),
    "star": ("STAR Market", (("688", "XSHG"), ("689", "XSHG"))),
    "bse": ("Beijing Stock Exchange", (("", "BJSE"),)),
}

#: Tolerance of "closes at its limit": prices and limits are in cents, stored as doubles.
AT_LIMIT = 1e-6
#: Added before rounding half up, so that a product that should end in exactly half a cent
#: (but lands a hair below it in binary) rounds up, in numpy and in DuckDB alike.
_HALF_UP = 1e-9


@dataclass(frozen=True)
class LimitRule:
    """The limit of a board from ``start`` (included) to ``end`` (excluded; None: in force)."""
    board: str
    start: str
    end: Optional[str]
    width: float
    st_width: float
    source: str


@dataclass(frozen=True)
class ListingRule:
    """Stocks of ``board`` listed from ``start`` to ``end`` (excluded) trade their first
    ``free_sessions`` sessions without a limit."""
    board: str
    start: str
    end: Optional[str]
    free_sessions: int
    source: str


RULES: Tuple[LimitRule, ...] = (
    LimitRule("main", "1996-12-16", "2025-07-07", 0.10, 0.05,
              "SSE and SZSE price limits of 16 December 1996; special treatment (1998) at +/-5%"),
    LimitRule("main", "2025-07-07", None, 0.10, 0.10,
              "SSE and SZSE listing rules revised June 2025: main-board risk-warning stocks at "
              "+/-10% from 7 July 2025"),
    LimitRule("chinext", "2009-10-30", "2020-08-24", 0.10, 0.05,
              "SZSE ChiNext from its opening on 30 October 2009, under the main-board limits"),
    LimitRule("chinext", "2020-08-24", None, 0.20, 0.20,
              "SZSE ChiNext trading special rules of the registration reform, effective 24 "
              "August 2020 (risk-warning stocks too)"),
    LimitRule("star", "2019-07-22", None, 0.20, 0.20,
              "SSE STAR Market trading special rules, from its opening on 22 July 2019"),
    LimitRule("bse", "2020-07-27", None, 0.30, 0.30,
              "NEEQ select tier from 27 July 2020; Beijing Stock Exchange trading rules from "
              "its opening on 15 November 2021"),
)

LISTING_RULES: Tuple[ListingRule, ...] = (
    ListingRule("main", "2023-04-10", None, 5,
                "main-board registration rules, effective 10 April 2023 (before: the listing "
                "day within +44% / -36% of the issue price)"),
    ListingRule("chinext", "2020-08-24", None, 5,
                "ChiNext registration reform of 24 August 2020 (before: the listing day within "
                "+44% / -36% of the issue price)"),
    ListingRule("star", "2019-07-22", None, 5, "STAR Market trading special rules (2019)"),
    ListingRule("bse", "2020-07-27", None, 1, "NEEQ select tier / Beijing Stock Exchange "
                "trading rules: the listing day"),
)


# -- boards ------------------------------------------------------------------------------------
def board(order_book_id: str) -> Optional[str]:
    """The board of an A-share stock's id ("main", "chinext", "star", "bse"), else None."""
    code, _, exchange = str(order_book_id).partition(".")
    for name, (_, prefixes) in BOARDS.items():
        for prefix, ex in prefixes:
            if exchange == ex and code.startswith(prefix):
                return name
    return None


def board_sql(id_expr: str) -> str:
    """SQL of the board of the id in ``id_expr`` (NULL: none)."""
    whens = []
    for name, (_, prefixes) in BOARDS.items():
        conds = []
        for prefix, ex in prefixes:
            cond = "{} LIKE '{}%.{}'".format(id_expr, prefix, ex) if prefix else \
                "{} LIKE '%.{}'".format(id_expr, ex)
            conds.append(cond)
        whens.append("WHEN {} THEN '{}'".format(" OR ".join(conds), name))
    return "(CASE {} END)".format(" ".join(whens))


# -- widths ------------------------------------------------------------------------------------
def _day(text):
    return None if text is None else np.datetime64(text, "D")


def widths(boards: Sequence[Optional[str]], dates, st, age, listed) -> np.ndarray:
    """The limit width of each (date, stock): NaN where the stock trades without a limit or no
    rule applies.

    ``boards`` and ``listed`` (listing dates) have one entry per stock (columns); ``dates`` one
    per row; ``st`` (bool) and ``age`` (sessions since listing, 0 on the listing date) are
    (dates x stocks).
    """
    dates = np.asarray(pd.DatetimeIndex(dates).values.astype("datetime64[D]"))[:, None]
    listed = np.asarray(pd.DatetimeIndex(listed).values.astype("datetime64[D]"))[None, :]
    boards = np.asarray(list(boards), dtype=object)[None, :]
    st = np.asarray(st, dtype=bool)
    age = np.asarray(age)
    out = np.full(np.broadcast(dates, boards).shape, np.nan)
    for rule in RULES:
        hit = (boards == rule.board) & (dates >= _day(rule.start))
        if rule.end is not None:
            hit &= dates < _day(rule.end)
        out = np.where(hit, np.where(st, rule.st_width, rule.width), out)
    for rule in LISTING_RULES:
        hit = (boards == rule.board) & (listed >= _day(rule.start)) & (age < rule.free_sessions)
        if rule.end is not None:
            hit &= listed < _day(rule.end)
        out = np.where(hit, np.nan, out)
    return out


def width_sql(board_expr: str, date_expr: str, st_expr: str, age_expr: str, listed_expr: str) -> str:
    """SQL of the limit width (a DOUBLE; NULL: no limit), the same rules as ``widths``."""
    free = []
    for rule in LISTING_RULES:
        cond = "{b} = '{n}' AND {l} >= DATE '{s}' AND {a} < {f}".format(
            b=board_expr, n=rule.board, l=listed_expr, s=rule.start, a=age_expr, f=rule.free_sessions)
        if rule.end is not None:
            cond += " AND {} < DATE '{}'".format(listed_expr, rule.end)
        free.append("WHEN {} THEN NULL".format(cond))
    cases = []
    for rule in RULES:
        cond = "{b} = '{n}' AND {d} >= DATE '{s}'".format(b=board_expr, n=rule.board, d=date_expr,
                                                          s=rule.start)
        if rule.end is not None:
            cond += " AND {} < DATE '{}'".format(date_expr, rule.end)
        cases.append("WHEN {} THEN (CASE WHEN {} THEN {!r}::DOUBLE ELSE {!r}::DOUBLE END)".format(
            cond, st_expr, rule.st_width, rule.width))
    return "(CASE {} {} ELSE NULL::DOUBLE END)".format(" ".join(free), " ".join(cases))


# -- prices ------------------------------------------------------------------------------------
def reference_price(prev_close, prev_factor, factor):
    """The previous close carried over an ex-date, in cents (numpy)."""
    return np.round(prev_close * prev_factor / factor + _HALF_UP, 2)


def limit_prices(reference, width):
    """(limit_up, limit_down) of a reference price and a width (numpy; NaN width: NaN)."""
    up = np.round(reference * (1.0 + width) + _HALF_UP, 2)
    down = np.round(reference * (1.0 - width) + _HALF_UP, 2)
    return up, down


def reference_sql(prev_close: str, prev_factor: str, factor: str) -> str:
    return "round({} * {} / {} + {!r}::DOUBLE, 2)".format(prev_close, prev_factor, factor, _HALF_UP)


def limit_sql(reference: str, width: str, side: int) -> str:
    """SQL of limit_up (side 1) or limit_down (side -1), as ``limit_prices``."""
    return "round({} * (1.0::DOUBLE {} {}) + {!r}::DOUBLE, 2)".format(
        reference, "+" if side > 0 else "-", width, _HALF_UP)


# -- documentation -----------------------------------------------------------------------------
def _pct(w):
    return "±{:g} %".format(w * 100)


def describe() -> str:
    """The Markdown section of SCHEMA.md on limit prices."""
    out = ["## Daily price limits", "",
           "`get_price(..., fields=[\"limit_up\", \"limit_down\"])` gives each daily bar's limit "
           "prices, and the store's `trading_status` marks the bars that close at them. A bar's "
           "limits are those imported into `price_limits` for it (NULL there: no limit that day); "
           "otherwise they are derived from the previous bar's close and the rule below in force "
           "on the bar's date:", "",
           "    reference  = round(previous close × previous adj_factor / adj_factor, 2)",
           "    limit_up   = round(reference × (1 + width), 2)",
           "    limit_down = round(reference × (1 − width), 2)", "",
           "rounded half up to the cent. The width is that of the stock's board on that date, "
           "the ST width while an `st_status` spell of the stock holds (ST and *ST alike).", "",
           "| board | ids | from | until | width | ST, *ST | source |", "|---|---|---|---|---|---|---|"]
    for rule in RULES:
        name, prefixes = BOARDS[rule.board]
        ids = ", ".join("{}xxx.{}".format(p, e) if p else "*.{}".format(e) for p, e in prefixes)
        out.append("| {} | {} | {} | {} | {} | {} | {} |".format(
            name, ids, rule.start, rule.end or "", _pct(rule.width), _pct(rule.st_width), rule.source))
    out += ["", "Sessions after listing without a limit (sessions counted on the trading calendar, "
            "the listing date being the first):", "",
            "| board | stocks listed from | sessions | source |", "|---|---|---|---|"]
    for rule in LISTING_RULES:
        out.append("| {} | {} | {} | {} |".format(BOARDS[rule.board][0], rule.start,
                                                  rule.free_sessions, rule.source))
    out += ["", "No limit is derived (NULL) for a listing day before these rules (its band is "
            "relative to the issue price, which a store does not hold), for an instrument's first "
            "bar in the store, for indexes, funds and B shares, and before a board's first rule. "
            "Days these rules do not cover (a delisting period's first day, a relisting) take "
            "the limits you import into `price_limits`.", ""]
    return "\n".join(out)
