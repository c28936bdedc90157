"""What a holding period P_n counts in a run, and a warning when it counts different things.

The IC step compounds its forward returns over n rows of the return table, while the quantile
and factor-return steps hold their portfolios over n rows of the factor table (they read the
return table's growth on the factor's dates only).  With a factor on every row of the return
table both are the same; with monthly factor rows and daily returns, P_1 of the portfolio steps
is a month and P_1 of the IC one trading day.  A step says which rows it counts with its
``period_rows`` (`FACTOR_ROWS` or `RETURN_ROWS`, see `sigmora.analysis._base`).
"""

import warnings

import numpy as np

from sigmora.analysis._base import FACTOR_ROWS, RETURN_ROWS, holding_periods
from sigmora.analysis.statistics import row_spacing

__all__ = ["rows_between", "period_mismatch", "warn_period_mismatch"]

_UNITS = {"daily": "day", "weekly": "week", "monthly": "month", "quarterly": "quarter", "yearly": "year"}
_RETURN_UNITS = {"daily": "trading day", "intraday": "bar"}


def rows_between(factor_index, return_index):
    """Median number of return-table rows from one factor row to the next (NaN when it cannot
    be told: fewer than two factor rows inside the return table's span)."""
    if len(return_index) == 0:
        return float("nan")
    inside = factor_index[(factor_index >= return_index[0]) & (factor_index <= return_index[-1])]
    if len(inside) < 2:
        return float("nan")
    positions = return_index.searchsorted(inside)
    return float(np.median(np.diff(positions)))


def _amount(n, unit, about=False):
    """"one trading day", "20 trading days", "about a month", "about 20 months"."""
    if n == 1:
        return "about {} {}".format("an" if unit[0] in "aeiou" else "a", unit) if about else "one " + unit
    return "{}{} {}s".format("about " if about else "", n, unit)


def _names(names):
    return "the {} step{}".format(" and ".join(names), "s" if len(names) > 1 else "")


def period_mismatch(factor_index, return_index, periods, steps):
    """The warning for a run whose holding periods do not mean what their rows suggest, or None:
    the factor's rows lie several rows of the return table apart and a step counts P_n in rows
    of the return table, either next to steps counting factor rows (P_n then means two things)
    or alone with a period shorter than half a factor row.

    :param factor_index: the factor table's dates
    :param return_index: the return table's dates
    :param periods: the run's holding periods
    :param steps: the analysis steps by name (each says which rows it counts with ``period_rows``)
    """
    ratio = rows_between(factor_index, return_index)
    if not ratio >= 1.5:  # the factor is on (about) every row of the return table, or it cannot be told
        return None
    counts = {FACTOR_ROWS: [], RETURN_ROWS: []}
    for name, step in steps.items():
        kind = getattr(step, "period_rows", None)
        if kind in counts:
            counts[kind].append(name)
    on_returns, on_factor = counts[RETURN_ROWS], counts[FACTOR_ROWS]
    periods = sorted(set(holding_periods(periods)))
    if not on_returns or (not on_factor and periods[0] >= ratio / 2):
        return None
    rows = int(round(ratio))
    spacing, return_spacing = row_spacing(factor_index), row_spacing(return_index)
    unit = _UNITS.get(spacing)
    return_unit = _RETURN_UNITS.get(return_spacing, "return row")
    shown = [periods[0], periods[-1]] if len(periods) > 1 else periods

    def on_factor_rows(n):
        return _amount(n, unit, about=True) if unit else "about " + _amount(n * rows, return_unit)

    def on_return_rows(n):
        text = _amount(n, return_unit)
        factor_rows = int(round(n / ratio))
        if factor_rows >= 1:
            text += ", about {} factor row{}".format("one" if factor_rows == 1 else factor_rows,
                                                    "" if factor_rows == 1 else "s")
        return text

    head = "{} factor rows on a {} return table".format(spacing.capitalize(), return_spacing) if unit else \
        "Factor rows {} apart on the return table".format(_amount(rows, return_unit))
    returns_text = "in {} P_n is n rows of the return table{} ({})".format(
        _names(on_returns), "" if on_factor else ", not n factor rows",
        "; ".join("P_{} {}".format(p, on_return_rows(p)) for p in shown))
    advice = "for {} use periods of about {} (P_{})".format(
        "a {} IC".format(spacing) if unit else "an IC over one factor row", rows, rows)
    if on_factor:
        factor_text = "in {} P_n holds n factor rows ({})".format(
            _names(on_factor), "; ".join("P_{} {}".format(p, on_factor_rows(p)) for p in shown))
        return "{}: P_n means two things in this run: {}, while {}; {}.".format(head, factor_text, returns_text,
                                                                                 advice)
    return "{}: {}; {}.".format(head, returns_text, advice)


def warn_period_mismatch(factor_index, return_index, periods, steps, stacklevel=3):
    """Warns once with `period_mismatch` when it has something to say; returns its text."""
    text = period_mismatch(factor_index, return_index, periods, steps)
    if text is not None:
        warnings.warn(text, stacklevel=stacklevel)
    return text
