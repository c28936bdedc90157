"""What every pipeline step shares: the two step bases, the checks of their inputs, the
labels of periods and groups, and the constants that name the accepted choices.

Nothing here reads market data or imports a step; the engine and every step import this.
"""

import datetime
import operator
import os
import sys
import warnings
from collections import ChainMap

import numpy as np
import pandas as pd

from sigmora.analysis.winsorize import WINSORIZE_METHODS, BATCH_WINSORIZE_METHODS

VALID_INDUSTRY_SOURCE = ("citics_2019", "sws")
VALID_WINSORIZE_METHODS = set(ChainMap(BATCH_WINSORIZE_METHODS, WINSORIZE_METHODS).keys())
FIELD_MAPPING = {"citics_2019": "first_industry_name", "sws": "index_name"}

_PERIOD_PREFIX = "P_"
_GROUP_PREFIX = "q"


# ----------------------------------------------------------------------------- step bases

class FactorPreprocessor(object):
    """Base class of factor-data preprocessing."""

    def process(self, factor_data):
        raise NotImplementedError("Need implement FactorPreprocessor.process")

    # A step that sets values to missing may report them in the table it returns,
    # attrs["removed_by_rule"] = {"by_rule": {rule: count}, "total": count} (TradableUniverse
    # does): the engine takes the report off the table into the run's coverage.


# What the holding period P_n of an analysis step counts: n rows of the factor table (the
# step holds between the factor's dates), or n rows of the return table.
FACTOR_ROWS = "factor rows"
RETURN_ROWS = "return rows"


class FactorAnalyser(object):
    step_name = "FactorAnalysisStep"
    # FACTOR_ROWS or RETURN_ROWS; None when the step does not say (see `_horizons`)
    period_rows = None

    def analysis(self, factor_data, returns, periods, ascending=True):
        raise NotImplementedError("Need implement FactorAnalyser.analysis")

    # A step may define review(coverage): the engine hands it what the run rests on before
    # the analysis, so that the step can warn about settings the data cannot support.


# ----------------------------------------------------------------------------- tables

def _validate_data_frame(df, name):
    if not isinstance(df, pd.DataFrame):
        raise ValueError("{}: expect pd.DataFrame, got {}{}".format(name, type(df), _frame_hint(df, name)))
    if not isinstance(df.index, pd.DatetimeIndex):
        raise ValueError("{}: expect index type=pd.DatetimeIndex, got {}{}".format(
            name, type(df.index), _index_hint(df, name)))
    if df.empty:
        raise ValueError("Empty factor data source!")


def mostly_dates(values):
    """Whether most of the first values (text or timestamps) read as dates."""
    values = [v for v in list(values[:20]) if isinstance(v, (str, datetime.date, np.datetime64))]
    if not values:
        return False
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = pd.to_datetime(pd.Series([str(v) for v in values], dtype=object), format="ISO8601", errors="coerce")
    return bool(got.notna().sum() * 2 > len(values))


def _frame_hint(value, name):
    """How a Series that should be a factor table becomes one, or ""."""
    if not isinstance(value, pd.Series):
        return ""
    if isinstance(value.index, pd.MultiIndex) and value.index.nlevels == 2:
        return ("; a Series indexed by (date, order_book_id) becomes a table of dates x order_book_ids with "
                "{}.unstack()".format(name))
    if isinstance(value.index, pd.DatetimeIndex):
        return ("; a table has one column per order_book_id: {}.to_frame(order_book_id) makes one of a single "
                "instrument's values".format(name))
    return ""


def _index_hint(df, name):
    """What the index of a table that should be indexed by dates seems to be, and the fix, or ""."""
    if isinstance(df.index, pd.MultiIndex):
        return ("; a table indexed by (date, order_book_id) becomes a table of dates x order_book_ids with "
                "{}[column].unstack()".format(name))
    if mostly_dates(list(df.columns)):
        return "; its columns are dates: the table seems transposed, use {}.T".format(name)
    dates = [c for c in df.columns if str(c).strip().lower() in ("date", "datetime", "trade_date")]
    if dates and not mostly_dates(list(df.index)):
        return ("; make its {!r} column the index: {} = {}.set_index({!r}), then {}.index = pd.to_datetime({}.index)"
                .format(dates[0], name, name, dates[0], name, name))
    if (df.index.dtype == object or pd.api.types.is_string_dtype(df.index.dtype)) and mostly_dates(list(df.index)):
        return "; its index holds dates as text: convert it with {}.index = pd.to_datetime({}.index)".format(
            name, name)
    return ""


def _get_datetime_freq(index: pd.DatetimeIndex):
    if not np.all(index.second == 0):
        return "tick"
    if not np.all(index.minute == 0):
        return "1m"
    if np.all(index.time == datetime.time(0, 0)):
        return "1d"
    # Whole hours: neither daily dates (midnight) nor minute bars. Name one such time
    # rather than printing the whole index.
    odd = index[index.time != datetime.time(0, 0)][0]
    raise ValueError("Unknown datetime index: {} rows of {} to {} such as {}; expect dates at midnight "
                     "(daily data), or bar times with minutes or seconds (intraday data)".format(
                         len(index), index[0], index[-1], odd))


def _is_date_frequency_index(index: pd.DatetimeIndex):
    return _get_datetime_freq(index) == "1d"


# ----------------------------------------------------------------------------- periods

def period_label(period):
    """Column label of a holding period: "P_" followed by the number."""
    return "{}{}".format(_PERIOD_PREFIX, period)


def _get_return_fields(columns):
    return [c for c in columns if c.startswith(_PERIOD_PREFIX)]


def period_columns(table):
    """The holding-period columns of a table ("P_n"), else all of its columns."""
    cols = [c for c in table.columns if isinstance(c, str) and c.startswith(_PERIOD_PREFIX)]
    return cols if cols else list(table.columns)


def holding_periods(periods):
    """The holding periods in their order, as ints; each must be a positive integer (numpy
    integers included, booleans not). A single period may be given bare."""
    if isinstance(periods, (str, bytes)) or not hasattr(periods, "__iter__"):
        periods = [periods]
    result = []
    for p in periods:
        try:
            value = operator.index(p)
        except TypeError:
            value = None
        if value is None or isinstance(p, (bool, np.bool_)) or value < 1:
            raise ValueError("periods: expect positive integers, got {!r}".format(
                p.item() if isinstance(p, np.generic) else p))
        result.append(value)
    return result


def distinct(periods):
    """Periods in their order without repeats (a repeated period fills the same column)."""
    return list(dict.fromkeys(periods))


# ----------------------------------------------------------------------------- groups

def group_labels(quantile):
    """The labels of `quantile` groups: "q1" .. "q{quantile}"."""
    return np.array(["{}{}".format(_GROUP_PREFIX, i) for i in range(1, quantile + 1)])


def group_order_key(label):
    """Sort key putting group labels in their numeric order (q1, q2, ..., q10), anything
    else after them by its text."""
    text = str(label)
    digits = text.lstrip(_GROUP_PREFIX)
    return (0, int(digits), text) if digits.isdigit() else (1, 0, text)


# ----------------------------------------------------------------------------- run arguments

def _span(index):
    return "{} to {}".format(index.min(), index.max()) if len(index) else "no dates"


def check_dates(index, name):
    """Every step reads a table's rows in order (lags, holding periods, compounding), so a
    table's dates must be present, unique, in ascending order and without a time zone."""
    if index.tz is not None:
        raise ValueError("{}: expect dates without a time zone, got {}; convert them with "
                         "{}.tz_localize(None)".format(name, index.tz, name))
    if index.hasnans:
        raise ValueError("{}: {} row(s) have no date (NaT); drop them before the test".format(
            name, int(index.isna().sum())))
    if index.has_duplicates:
        repeated = index[index.duplicated()].unique()
        raise ValueError("{}: expect one row per date, got {} repeated date(s) such as {}; aggregate or drop "
                         "the repeated rows (a long table of (date, order_book_id, value) rows is turned into "
                         "a factor table with df.pivot(index=date, columns=order_book_id, values=value))".format(
                             name, len(repeated), ", ".join(str(d) for d in repeated[:3])))
    if not index.is_monotonic_increasing:
        values = index.asi8
        row = int(np.flatnonzero(values[1:] < values[:-1])[0]) + 1
        raise ValueError("{}: expect dates in ascending order, but {} (row {}) comes after {} (row {}); sort the "
                         "table with {}.sort_index()".format(name, index[row], row, index[row - 1], row - 1, name))


def check_columns(columns, name):
    """One column per instrument: a repeated order_book_id would be two instruments at once."""
    if columns.has_duplicates:
        repeated = columns[columns.duplicated()].unique()
        raise ValueError("{}: expect one column per order_book_id, got {} repeated column(s) such as {}; drop or "
                         "merge the repeated columns".format(name, len(repeated),
                                                             ", ".join(str(c) for c in repeated[:3])))


def check_periods(periods):
    """The holding periods of a run: a positive integer or a non-empty list or tuple of them."""
    values = periods if isinstance(periods, (tuple, list)) else [periods]
    if len(values) == 0:
        raise ValueError("periods: expect at least one positive integer such as (1, 5, 20), got {!r}".format(periods))
    return holding_periods(values)


def check_ascending(ascending):
    """The sort direction must be a plain truth value: a string like "no" is truthy."""
    if isinstance(ascending, (bool, np.bool_)) or (isinstance(ascending, (int, np.integer)) and ascending in (0, 1)):
        return bool(ascending)
    raise ValueError("ascending: expect True (lower values are better) or False (higher values are better), "
                     "got {!r}".format(ascending))


def check_returns_overlap(factor_data, returns):
    """A return table sharing no date or no instrument with the factor could only give empty
    statistics and flat returns: refuse it instead."""
    if len(factor_data.index.intersection(returns.index)) == 0:
        hint = ""
        factor_daily = _is_midnight(factor_data.index)
        if factor_daily != _is_midnight(returns.index):
            hint = "; factor_data holds {} and returns {}: give returns of the factor's own rows".format(
                *("dates" if d else "intraday times" for d in (factor_daily, _is_midnight(returns.index))))
        raise ValueError("factor_data and returns have no date in common (factor_data: {}, returns: {}){}".format(
            _span(factor_data.index), _span(returns.index), hint))
    if len(factor_data.columns.intersection(returns.columns)) == 0:
        raise ValueError("factor_data and returns have no instrument in common (factor_data: {} instruments such "
                         "as {}, returns: {} such as {})".format(
                             len(factor_data.columns), list(factor_data.columns[:3]), len(returns.columns),
                             list(returns.columns[:3])))


def _is_midnight(index):
    return bool(len(index)) and bool(np.all(index.normalize() == index))


# ----------------------------------------------------------------------------- warnings

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def warn_user(message, category=UserWarning):
    """Warns at the user's own call (the first frame outside this package), wherever inside
    the package the condition was found: the warning then names the line of the script or
    notebook cell that caused it, and Python's filters show it once per such line."""
    frame, level = sys._getframe(1), 2  # stacklevel 1 would name this function
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE_DIR):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, category, stacklevel=level)
