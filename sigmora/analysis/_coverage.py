"""What a run rests on: the factor dates and instruments it was given, those it could use,
and why the others dropped out.

The engine measures this once per run and hands it to every result record, so that no
statistic is shown without the rows behind it.
"""

import numpy as np
import pandas as pd

from sigmora.analysis._arrays import float_view
from sigmora.analysis._base import warn_user

# A run using less than this share of the dates or instruments it was given warns.
THIN_SHARE = 0.5


class Coverage:
    """Counts of one run (plain numbers, so records pickle and compare easily).

    dates_given / dates_used, and the dropped dates by reason:
      before_returns / after_returns: outside the span of the return table (no price yet, or
        past the last price or calendar date);
      not_return_dates: inside that span but not a row of the return table (not a trading
        date, e.g. a weekend or holiday);
      no_values: a return date on which the factor has no value at all;
      emptied: a return date on which the factor as given had values and the preprocessing
        left none (a clip that made the date constant, which standardising cannot scale, or a
        screen that removed every value).
    without_forward_return: per period label, used dates whose holding period runs past the
      return table (they still count as used, the period just has no return there).
    instruments_given / instruments_known (with any return) / instruments_used (a factor
    value and a return on some used date).
    values_per_date: min, median and max of the factor values present per used date;
    missing_share: share of missing factor cells on the used dates and instruments.
    removed_by_rule / removed_values (None when no step screened the factor): the values a
    screening step (TradableUniverse) set to missing, per rule and in all (a value failing
    several rules counts under each of them, once in all).
    """

    removed_by_rule = None
    removed_values = None
    emptied = 0     # records pickled before this count was kept

    REASONS = {
        "before_returns": "before the first price",
        "after_returns": "after the last price",
        "not_return_dates": "not a trading date",
        "no_values": "no factor value",
        "emptied": "no value left after preprocessing",
    }

    def __init__(self, **counts):
        self.__dict__.update(counts)

    def __eq__(self, other):
        return isinstance(other, Coverage) and _comparable(self.__dict__) == _comparable(other.__dict__)

    def __repr__(self):
        return "Coverage({})".format(self.text())

    def counts(self):
        """The counts as a dict of plain values (what `from_counts` takes)."""
        return {k: (list(v) if isinstance(v, tuple) else dict(v) if isinstance(v, dict) else v)
                for k, v in self.__dict__.items()}

    @classmethod
    def from_counts(cls, counts):
        """The coverage of the counts `counts` gave (lists stand for tuples)."""
        counts = dict(counts)
        counts.setdefault("emptied", 0)     # counts saved before it was kept: equal to a run's now
        return cls(**{k: tuple(v) if isinstance(v, list) else v for k, v in counts.items()})

    @property
    def dropped(self):
        return {reason: getattr(self, reason) for reason in self.REASONS if getattr(self, reason)}

    def text(self):
        """One line: dates and instruments used of those given, and why dates dropped."""
        line = "{} of {} dates used".format(self.dates_used, self.dates_given)
        if self.dropped:
            line += " ({} dropped: {})".format(
                self.dates_given - self.dates_used,
                ", ".join("{} {}".format(n, self.REASONS[r]) for r, n in self.dropped.items()))
        line += "; {} of {} instruments used".format(self.instruments_used, self.instruments_given)
        # Every instrument left out is accounted for: no price at all, or a price but never a
        # factor value beside a return on a used date.
        unused = []
        if self.instruments_known < self.instruments_given:
            unused.append("{} without any price".format(self.instruments_given - self.instruments_known))
        if self.instruments_used < self.instruments_known:
            unused.append("{} without a factor value on a date with a return".format(
                self.instruments_known - self.instruments_used))
        if unused:
            line += " ({})".format(", ".join(unused))
        lo, mid, hi = self.values_per_date
        if self.dates_used:
            line += "; values per date {:g} / {:g} / {:g} (min / median / max), {:.1%} missing".format(
                lo, mid, hi, self.missing_share)
        if self.removed_by_rule is not None:
            line += "; the tradable screen removed {:,} values".format(self.removed_values or 0)
            if self.removed_by_rule:
                line += " ({})".format(", ".join("{} {:,}".format(label, n)
                                                 for label, n in self.removed_by_rule.items()))
        return line

    def table(self):
        """The counts as a one-column table (rows: the quantities)."""
        rows = {
            "dates given": self.dates_given,
            "dates used": self.dates_used,
        }
        for reason, label in self.REASONS.items():
            rows["dates dropped: " + label] = getattr(self, reason)
        for period, n in self.without_forward_return.items():
            rows["dates without forward return {}".format(period)] = n
        rows.update({
            "instruments given": self.instruments_given,
            "instruments with prices": self.instruments_known,
            "instruments used": self.instruments_used,
            "values per date, min": self.values_per_date[0],
            "values per date, median": self.values_per_date[1],
            "values per date, max": self.values_per_date[2],
            "missing share": self.missing_share,
        })
        if self.removed_by_rule is not None:
            rows["values removed by the tradable screen"] = self.removed_values or 0
            for label, n in self.removed_by_rule.items():
                rows["removed: " + label] = n
        return pd.DataFrame({"coverage": pd.Series(rows, dtype=object)})

    @property
    def thin_dates(self):
        """Whether the run rests on under half of the dates it was given (none, perhaps)."""
        return bool(self.dates_given) and self.dates_used < THIN_SHARE * self.dates_given

    def warn_if_thin(self):
        """Warns when the run used under half of the dates or instruments it was given."""
        thin = []
        if self.thin_dates:
            thin.append("{} of {} dates".format(self.dates_used, self.dates_given))
        if self.instruments_given and self.instruments_used < THIN_SHARE * self.instruments_given:
            thin.append("{} of {} instruments".format(self.instruments_used, self.instruments_given))
        if thin:
            warn_user("The factor test used only {}: {}".format(" and ".join(thin), self.text()))


def _comparable(d):
    d = {"emptied": 0, **d}     # a record from before that count: as a run's now, where it is 0
    return {k: (tuple(v) if isinstance(v, (list, tuple)) else v) for k, v in d.items()}


def values_per_date(factor_data, name="factor_data"):
    """The number of values the table holds on each date, as a Series by date."""
    return pd.Series((~np.isnan(float_view(factor_data, name))).sum(axis=1), index=factor_data.index)


def measure(factor_data, returns, periods, given=None):
    """The coverage of a run of `factor_data` (the table the analyses see) against the
    return table `returns` for the holding `periods` (labels "P_n"). `given`: the
    `values_per_date` of the factor before preprocessing, which tells the dates the
    preprocessing emptied from those that never had a value."""
    dates = factor_data.index
    ret_dates = returns.index
    on_returns = dates.isin(ret_dates)
    first, last = (ret_dates.min(), ret_dates.max()) if len(ret_dates) else (None, None)
    before = ~on_returns & (dates < first) if first is not None else ~on_returns
    after = ~on_returns & (dates > last) if last is not None else np.zeros(len(dates), bool)
    inside = ~on_returns & ~before & ~after

    present = ~np.isnan(float_view(factor_data, "factor_data"))
    any_value = present.any(axis=1)
    used = on_returns & any_value
    no_values = on_returns & ~any_value
    emptied = np.zeros(len(dates), bool)
    if given is not None:
        emptied = no_values & (given.reindex(dates, fill_value=0).to_numpy() > 0)
        no_values = no_values & ~emptied

    position = ret_dates.get_indexer(dates[used])
    without_forward = {"P_{}".format(p): int((position + p >= len(ret_dates)).sum()) for p in periods}

    known_ids = (returns.columns[~np.isnan(float_view(returns, "returns")).all(axis=0)] if returns.size
                 else returns.columns[:0])
    known = factor_data.columns.isin(known_ids)
    used_cells = present[used]
    # An instrument is used when it has a value on a used date and returns at all.
    used_ids = used_cells.any(axis=0) & known
    per_date = used_cells[:, known].sum(axis=1)
    values_per_date = ((int(per_date.min()), float(np.median(per_date)), int(per_date.max()))
                       if len(per_date) else (0, 0.0, 0))
    cells = used_cells[:, known] if len(per_date) else used_cells
    missing_share = float(1.0 - cells.mean()) if cells.size else 1.0
    return Coverage(
        dates_given=len(dates), dates_used=int(used.sum()),
        before_returns=int(before.sum()), after_returns=int(after.sum()),
        not_return_dates=int(inside.sum()), no_values=int(no_values.sum()), emptied=int(emptied.sum()),
        without_forward_return=without_forward,
        instruments_given=len(factor_data.columns), instruments_known=int(known.sum()),
        instruments_used=int(used_ids.sum()), values_per_date=values_per_date, missing_share=missing_share)


def constant_rows(values, counts):
    """Rows holding two or more values (``counts`` per row), all of them equal (fmax / fmin skip
    missing values)."""
    with np.errstate(invalid="ignore"):
        return (counts >= 2) & (np.fmax.reduce(values, axis=1) == np.fmin.reduce(values, axis=1))


def degenerate(factor_data, name="factor_data", counts=None):
    """Warns about factor values no test can use as given, and returns what is wrong with
    the whole table ("no values", "one value a date" or "constant"), or None. `counts`: its
    `values_per_date`, when the caller has them.

    Infinite values are kept (they count as the most extreme values); the warning says how
    to drop them instead.
    """
    values = float_view(factor_data, name)
    infinite = np.isinf(values)
    if infinite.any():
        columns = np.flatnonzero(infinite.any(axis=0))
        warn_user("{} holds {} infinite value(s) in {} instrument(s) such as {}; they count as the most extreme "
                  "values. To leave them out, replace them with NaN first: "
                  "{}.replace([np.inf, -np.inf], np.nan)".format(
                      name, int(infinite.sum()), len(columns),
                      ", ".join(str(factor_data.columns[j]) for j in columns[:3]), name))
    del infinite
    counts = (values_per_date(factor_data, name) if counts is None else counts).to_numpy()
    if not counts.any():
        warn_user("{} has no value at all: every statistic of this test is NaN".format(name))
        return "no values"
    if counts.max() < 2:
        # One instrument, or instruments that never overlap: nothing to compare on any date.
        warn_user("{} holds at most one value on any date ({} instrument(s) in all): a cross-sectional test "
                  "compares instruments on the same date and needs two or more, so its ICs, groups and factor "
                  "returns say nothing; give the factor for more instruments".format(name, factor_data.shape[1]))
        return "one value a date"
    rows = counts >= 2
    if rows.any() and (constant_rows(values, counts) == rows).all():
        warn_user("{} is the same for every instrument on every date: it ranks nothing, so its IC is NaN and "
                  "its groups and factor returns say nothing".format(name))
        return "constant"
    return None
