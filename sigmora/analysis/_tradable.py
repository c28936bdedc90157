"""The TradableUniverse step: keeps only the factor values of instruments that could have been
entered at the close of the factor date.

A factor test assumes that each instrument it ranks is bought (or sold) at the close of the
factor date.  In the A-share market that often cannot happen: a stock that closes at its daily
price limit has no sellers (limit up) or no buyers (limit down) left at that price, a suspended
stock does not trade, a stock under special treatment (ST, *ST) or listed only days ago trades
under other rules and is outside most investable universes.  Counting such values overstates a
factor (reversal and small-cap factors most).  The step sets them to missing, rule by rule, and
reports how many values each rule removed; the engine shows the counts in the run's coverage.
"""

import numpy as np
import pandas as pd

from sigmora.analysis import _market
from sigmora.analysis._arrays import adopt_frame, float_view
from sigmora.analysis._base import FactorPreprocessor, _is_date_frequency_index

__all__ = ["TradableUniverse", "REMOVED_KEY"]

#: The key of a preprocessed table's ``attrs`` under which a step reports what it removed:
#: {"by_rule": {rule label: values removed}, "total": values removed by any rule}.  The engine
#: takes it into the run's coverage.
REMOVED_KEY = "removed_by_rule"


class TradableUniverse(FactorPreprocessor):
    """Sets the factor to missing where the instrument could not be entered at the close of the
    factor date.  Each rule can be switched off:

    :param suspended: no trading on the factor date or on the next trading date (suspended,
        not yet listed or delisted): the position could be neither entered nor left
    :param price_limit: the instrument closes at its upper or lower daily limit price on the
        factor date (the day before does not matter)
    :param st: the instrument is under special treatment (ST or *ST) on the factor date
    :param min_listed_days: listed fewer than this many trading dates before the factor date
        (0 on the listing date itself); 0 or None: no such rule.  The default, 60 sessions,
        leaves out new listings while their price finds its level (the first five sessions of
        the registration boards trade without a limit)
    :param index: None (no rule), an index id such as "000300.XSHG" (members on the factor date,
        from the store's membership spells), or a list of order_book_ids (a fixed universe)

    A value removed by several rules counts once under each of them; ``process`` returns the
    table with ``attrs["removed_by_rule"]`` = {"by_rule": {label: count}, "total": count}.
    Factor dates that are not trading dates are left to the engine (which drops them).
    """

    def __init__(self, suspended=True, price_limit=True, st=True, min_listed_days=60, index=None):
        for name, value in (("suspended", suspended), ("price_limit", price_limit), ("st", st)):
            if not isinstance(value, (bool, np.bool_)):
                raise ValueError("{}: expect True or False, got {!r}".format(name, value))
        if min_listed_days is None:
            min_listed_days = 0
        if isinstance(min_listed_days, (bool, np.bool_)) or not isinstance(min_listed_days, (int, np.integer)) \
                or min_listed_days < 0:
            raise ValueError("min_listed_days: expect a non-negative integer (0: no rule), got {!r}".format(
                min_listed_days))
        if index is not None and not isinstance(index, str):
            try:
                index = list(index)
            except TypeError:
                raise ValueError("index: expect an index id such as '000300.XSHG' or a list of order_book_ids, "
                                 "got {!r}".format(index)) from None
            if not all(isinstance(i, str) for i in index):
                raise ValueError("index: expect order_book_id strings, got {!r}".format(
                    next(i for i in index if not isinstance(i, str))))
            index = sorted(set(index))
        self.suspended = bool(suspended)
        self.price_limit = bool(price_limit)
        self.st = bool(st)
        self.min_listed_days = int(min_listed_days)
        self.index = index

    def __repr__(self):
        return "TradableUniverse(suspended={}, price_limit={}, st={}, min_listed_days={}, index={!r})".format(
            self.suspended, self.price_limit, self.st, self.min_listed_days,
            self.index if not isinstance(self.index, list) else "<{} ids>".format(len(self.index)))

    def labels(self):
        """The label of each rule switched on, in order."""
        out = []
        if self.suspended:
            out.append("no trading on the date or the next")
        if self.price_limit:
            out.append("closing at a price limit")
        if self.st:
            out.append("ST or *ST")
        if self.min_listed_days:
            out.append("listed under {} trading days".format(self.min_listed_days))
        if isinstance(self.index, str):
            out.append("not in {}".format(self.index))
        elif self.index is not None:
            out.append("not in the {} given ids".format(len(self.index)))
        return out

    def process(self, factor_data):
        table, by_rule, total = self.screen(factor_data)
        table.attrs[REMOVED_KEY] = {"by_rule": by_rule, "total": total}
        return table

    def screen(self, factor_data):
        """(the screened table, {rule label: values removed}, values removed by any rule)."""
        index = factor_data.index
        if not isinstance(index, pd.DatetimeIndex) or (len(index) and not _is_date_frequency_index(index)):
            raise ValueError("TradableUniverse: expect a factor table of daily dates (a DatetimeIndex at "
                             "midnight): the rules judge the close of each factor date")
        values = float_view(factor_data, "factor_data")
        labels = self.labels()
        if len(index) == 0 or factor_data.shape[1] == 0 or not labels:
            return factor_data.copy(), {label: 0 for label in labels}, 0
        present = ~np.isnan(values)
        ids = [str(c) for c in factor_data.columns]
        removed = None
        by_rule = {}
        # the masks in the factor's memory order: element-wise work across two orders is slow
        order = "F" if values.flags.f_contiguous and not values.flags.c_contiguous else "C"
        for label, mask in zip(labels, self._rules(index, ids, order)):
            hit = np.logical_and(mask, present, order="K")
            by_rule[label] = int(np.count_nonzero(hit))
            if removed is None:
                removed = hit
            else:
                removed |= hit
        total = int(np.count_nonzero(removed))
        if not total:
            return factor_data.copy(), by_rule, 0
        out = np.where(removed, np.nan, values)
        return adopt_frame(out, factor_data), by_rule, total

    # -- the rules ---------------------------------------------------------------------------
    def _rules(self, index, ids, order="C"):
        """One bool (dates x ids) array per rule switched on, in the order of ``labels``, each
        in memory ``order``."""
        first, last = index[0], index[-1]
        try:
            after = _market.next_trading_date(last, 1)
        except ValueError:          # the calendar ends with the last factor date
            after = last
        masks = []
        if self.suspended or self.price_limit:
            named = _market.status_codes()
            status = _market.trading_status(ids, first, after)
            codes = np.asarray(_columns(status, ids, named["not_listed"]), order=order)
            rows = _Rows(status.index, index)
            if self.suspended:
                idle = (codes == named["suspended"]) | (codes == named["not_listed"])
                masks.append(rows.at(idle) | rows.after(idle))
            if self.price_limit:
                masks.append(rows.at((codes == named["limit_up"]) | (codes == named["limit_down"])))
        if self.st:
            flags = _market.special_treatment(ids, first, last)
            masks.append(_Rows(flags.index, index).at(np.asarray(_columns(flags, ids, False), order=order)))
        if self.min_listed_days:
            masks.append(self._young(index, ids, order))
        if isinstance(self.index, str):
            member = _market.index_membership(self.index, first, last, ids)
            outside = ~np.asarray(_columns(member, ids, False), order=order)
            if outside.all() and _market.index_membership(self.index, first, last, None).shape[1] == 0:
                raise ValueError("index: the store holds no member of {!r} from {} to {} (its index_components); "
                                 "choose an index it has members of, or index=None".format(
                                     self.index, first.date(), last.date()))
            masks.append(_Rows(member.index, index).at(outside))
        elif self.index is not None:
            keep = pd.Index(ids).isin(self.index)
            masks.append(np.broadcast_to(~keep[None, :], (len(index), len(ids))))
        return masks

    def _young(self, index, ids, order="F"):
        """Factor dates fewer than ``min_listed_days`` sessions after the listing date (from the
        instruments' listing dates and the calendar: a run of rows per recent listing)."""
        table = _market.all_instruments()
        listed = pd.Series(pd.to_datetime(table["listed_date"]).to_numpy(),
                           index=pd.Index(table["order_book_id"], dtype=object))
        at = listed.index.get_indexer(pd.Index(ids, dtype=object))
        young = np.zeros((len(index), len(ids)), dtype=bool, order=order)
        known = np.flatnonzero(at >= 0)
        if not len(known):
            return young
        dates = listed.to_numpy()[at[known]]
        calendar = _market.trading_date_index(min(dates.min(), index[0]), index[-1])
        start = calendar.searchsorted(dates, "left")           # the listing session
        # listed before the calendar begins: the weekdays before it stand in for its sessions
        early = dates < calendar[0]
        start[early] -= np.busday_count(dates[early].astype("datetime64[D]"),
                                        np.datetime64(calendar[0].date(), "D"))
        stop = start + self.min_listed_days                     # the first session old enough
        # factor rows of those sessions: rows on or after the listing session, before the stop
        row_of = calendar.searchsorted(index, "left")
        on_calendar = row_of < len(calendar)
        on_calendar[on_calendar] = calendar[row_of[on_calendar]] == index[on_calendar]
        lo = np.searchsorted(row_of, start, "left")
        hi = np.searchsorted(row_of, stop, "left")
        for c, a, b in zip(known[hi > lo].tolist(), lo[hi > lo].tolist(), hi[hi > lo].tolist()):
            young[a:b, c] = on_calendar[a:b]
        return young


def _columns(table, ids, fill):
    """The values of a dates x ids table in the order of ``ids`` (the factor's columns), ``fill``
    for an id it lacks; without a copy when the table already has them in that order."""
    if table.columns.equals(pd.Index(ids, dtype=table.columns.dtype)):
        return table.to_numpy()
    at = table.columns.get_indexer(pd.Index(ids, dtype=object))
    values = table.to_numpy()
    out = np.take(values, np.maximum(at, 0), axis=1)
    if (at < 0).any():
        out[:, at < 0] = fill
    return out


class _Rows:
    """The rows of a table of trading dates (``dates``) at each factor date, and at the trading
    date after it; a factor date that is not one of them (a weekend, a date past the table) is
    judged by no rule."""

    def __init__(self, dates, factor_dates):
        self.n = len(factor_dates)
        self.pos = dates.get_indexer(factor_dates)
        first = int(self.pos[0])
        self.run = first >= 0 and bool(np.array_equal(self.pos, np.arange(first, first + self.n)))
        self.size = len(dates)

    def at(self, table, shift=0):
        if self.run and self.pos[0] + shift + self.n <= self.size:
            return table[self.pos[0] + shift:self.pos[0] + shift + self.n]
        rows = np.where(self.pos >= 0, self.pos + shift, -1)
        rows[rows >= self.size] = -1
        ok = rows >= 0
        out = np.zeros((self.n, table.shape[1]), dtype=bool, order="F" if table.flags.f_contiguous else "C")
        out[ok] = table[rows[ok]]
        return out

    def after(self, table):
        return self.at(table, shift=1)
