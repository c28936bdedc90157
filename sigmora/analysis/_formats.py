"""One number format per quantity, for every table a person reads (terminal, notebook, tear
sheet): returns, volatilities, drawdowns, turnover and shares as percentages; t-statistics,
Sharpe ratios and information ratios with two decimals; p-values with four significant figures;
correlations and other figures with four decimals; counts as integers.  The charts use the
same units (returns, turnover and shares on percentage axes).

The quantity of a column is read off its label ("annual_return", "top-bottom annual return
P_5", "IC IR P_1", ...); a table whose single column holds figures of different kinds (the
coverage table) is read row by row, by the label of each row.  This module imports nothing
else of sigmora.
"""

import math
import numbers

import numpy as np
import pandas as pd

__all__ = ["quantity", "format_value", "format_table", "PERCENT_WORDS"]

# Words of a label that make its figure a fraction shown as a percentage.
PERCENT_WORDS = ("return", "volatility", "drawdown", "turnover", "share", "_gt_")
_RATIO_WORDS = ("t_stat", "t-stat", "sharpe", "ir")
NAN_TEXT = "NaN"


def quantity(label):
    """The kind of figure a column or row label names: "percent", "ratio", "p_value" or "number"."""
    text = str(label).lower()
    words = text.replace("-", " ").replace("_", " ").split()
    if "p_value" in text or "p-value" in text or "p value" in text:
        return "p_value"
    if any(word in text for word in PERCENT_WORDS):
        return "percent"
    if "t_stat" in text or "t-stat" in text or any(word in _RATIO_WORDS for word in words):
        return "ratio"
    return "number"


def format_value(value, kind="number"):
    """Text of one figure of the kind `quantity` gives."""
    if value is None or isinstance(value, (str, bool, np.bool_)):
        return NAN_TEXT if value is None else str(value)
    if not isinstance(value, numbers.Number):
        return str(value)
    if isinstance(value, numbers.Integral):
        return "{:d}".format(int(value))
    value = float(value)
    if math.isnan(value):
        return NAN_TEXT
    if kind == "percent":
        return "{:.2f}%".format(100.0 * value)
    if kind == "ratio":
        return "{:.2f}".format(value)
    if kind == "p_value":
        return "{:.4g}".format(value)
    if value.is_integer() and abs(value) < 1e15 and kind == "count":
        return "{:d}".format(int(value))
    return "{:.4f}".format(value)


def _column_text(column, kind):
    return [format_value(v, kind) for v in column]


def format_table(table):
    """``table`` with every figure as text in the format of its quantity (same index and columns)."""
    if isinstance(table, pd.Series):
        table = table.to_frame()
    out = {}
    for i, label in enumerate(table.columns):
        column = table.iloc[:, i]
        kind = quantity(label)
        if kind == "number" and column.dtype == object:
            # figures of different kinds in one column: each row's label says which
            out[i] = [format_value(v, _row_kind(row)) for row, v in zip(table.index, column)]
        else:
            out[i] = _column_text(column, kind)
    text = pd.DataFrame(out, index=table.index, dtype=object)
    text.columns = table.columns
    return text


def _row_kind(label):
    kind = quantity(label)
    return "count" if kind == "number" else kind
