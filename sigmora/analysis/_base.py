"""What every pipeline step shares: the two step bases, the checks of their inputs, the
labels of periods and groups, and the constants that name the accepted choices.

Nothing here reads market data or imports a step; the engine and every step import this.
"""

import datetime
import operator
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


class FactorAnalyser(object):
    step_name = "FactorAnalysisStep"

    def analysis(self, factor_data, returns, periods, ascending=True):
        raise NotImplementedError("Need implement FactorAnalyser.analysis")


# ----------------------------------------------------------------------------- tables

def _validate_data_frame(df, name):
    if not isinstance(df, pd.DataFrame):
        raise ValueError("{}: expect pd.DataFrame, got {}".format(name, type(df)))
    if not isinstance(df.index, pd.DatetimeIndex):
        raise ValueError("{}: expect index type=pd.DatetimeIndex, got {}".format(name, type(df.index)))
    if df.empty:
        raise ValueError("Empty factor data source!")


def _get_datetime_freq(index: pd.DatetimeIndex):
    if not np.all(index.second == 0):
        return "tick"
    if not np.all(index.minute == 0):
        return "1m"
    if np.all(index.time == datetime.time(0, 0)):
        return "1d"
    raise ValueError("Unknown datetime index: {}".format(index))


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
