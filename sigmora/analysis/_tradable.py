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
        present = ~np.isnan(values)
        labels = self.labels()
        if len(index) == 0 or factor_data.shape[1] == 0 or not labels:
            return factor_data.copy(), {label: 0 for label in labels}, 0
        ids = [str(c) for c in factor_data.columns]
        rules = self._rules(index, ids)
        removed = np.zeros(values.shape, dtype=bool)
        by_rule = {}
        for label, mask in zip(labels, rules):
            hit = mask & present
            by_rule[label] = int(np.count_nonzero(hit))
            removed |= hit
        total = int(np.count_nonzero(removed))
        if not total:
            return factor_data.copy(), by_rule, 0
        out = np.array(values, dtype=np.float64, order="F" if values.flags.f_contiguous else "C")
        out[removed] = np.nan
        return adopt_frame(out, factor_data), by_rule, total

    # -- the rules ---------------------------------------------------------------------------
    def _rules(self, index, ids):
        """One bool (dates x ids) array per rule switched on, in the order of ``labels``."""
        first, last = index[0], index[-1]
        try:
            after = _market.next_trading_date(last, 1)
        except ValueError:          # the calendar ends with the last factor date
            after = last
        rows, row_next = None, None
        masks = []
        if self.suspended or self.price_limit:
            status = _market.trading_status(ids, first, after).reindex(columns=ids)
            codes = status.to_numpy(dtype=np.int8, na_value=_market.status_codes()["not_listed"])
            rows = status.index.get_indexer(index)
            row_next = np.where((rows >= 0) & (rows + 1 < len(status)), rows + 1, -1)
            named = _market.status_codes()
            if self.suspended:
                idle = np.isin(codes, [named["suspended"], named["not_listed"]])
                masks.append(_at(idle, rows) | _at(idle, row_next))
            if self.price_limit:
                masks.append(_at(np.isin(codes, [named["limit_up"], named["limit_down"]]), rows))
        if self.st:
            flags = _market.special_treatment(ids, first, last).reindex(columns=ids, fill_value=False)
            masks.append(_at(flags.to_numpy(dtype=bool), flags.index.get_indexer(index)))
        if self.min_listed_days:
            age = _market.listed_days(ids, first, last).reindex(columns=ids)
            young = age.to_numpy(dtype=np.float64) < self.min_listed_days     # NaN: not this rule's
            masks.append(_at(young, age.index.get_indexer(index)))
        if isinstance(self.index, str):
            member = _market.index_membership(self.index, first, last, ids).reindex(columns=ids, fill_value=False)
            outside = ~member.to_numpy(dtype=bool)
            if outside.all() and _market.index_membership(self.index, first, last, None).shape[1] == 0:
                raise ValueError("index: the store holds no member of {!r} from {} to {} (its index_components); "
                                 "choose an index it has members of, or index=None".format(
                                     self.index, first.date(), last.date()))
            masks.append(_at(outside, member.index.get_indexer(index)))
        elif self.index is not None:
            keep = pd.Index(ids).isin(self.index)
            masks.append(np.broadcast_to(~keep[None, :], (len(index), len(ids))))
        return masks


def _at(table, rows):
    """The rows of ``table`` (a dates x ids bool array) at positions ``rows`` (one per factor
    date); False where a factor date has no row (-1: not a trading date, which no rule judges)."""
    ok = rows >= 0
    if ok.all():
        return table[rows]
    out = np.zeros((len(rows), table.shape[1]), dtype=bool)
    out[ok] = table[rows[ok]]
    return out
