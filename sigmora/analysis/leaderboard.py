"""Headline figures: one engine output's "at a glance" table, and one table comparing many factors.

Both ask the result records themselves (duck typing, nothing here knows a record type):

* ``record.headline()``: the record's per-period headline figures, a table indexed by period
  with one labelled column per figure, or None;
* ``record.leaderboard_figures()``: the `BoardFigure`s it puts on the leaderboard.

A value without these methods (a kept factor table, a record of another kind) contributes
nothing.  This module imports no other part of sigmora.
"""

from typing import Callable, NamedTuple, Optional

import pandas as pd

__all__ = ["BoardFigure", "glance_table", "factor_row", "leaderboard"]


class BoardFigure(NamedTuple):
    """A figure a record puts on the leaderboard, as one column "<label> <period>" per period.

    ``place`` orders the leaderboard's columns (lower first, ties in the order of the steps), so
    that they do not depend on the order in which the steps ran.  ``compute`` is None for a figure
    of the record's headline (its values are the "at a glance" column of that label), else a
    callable without arguments returning the figure per period (a Series indexed by period), or
    None when the record has no such figure; then the next record offering the label is asked.
    """

    label: str
    place: float
    compute: Optional[Callable[[], Optional[pd.Series]]] = None


def _ask(value, method):
    """``value.method()``, looked up on the type (so that a DataFrame column of that name does
    not count), or None when the type has no such method."""
    function = getattr(type(value), method, None)
    return function(value) if callable(function) else None


def glance_table(results):
    """Headline figures of one engine output, one row per period: the columns each record's
    ``headline()`` gives, in the order of the steps (several records giving a column of one
    label: the first one's)."""
    pieces = [table for table in (_ask(value, "headline") for value in results.values()) if table is not None]
    if not pieces:
        return None
    table = pd.concat(pieces, axis=1)
    return table.loc[:, ~table.columns.duplicated()]


def _figure_values(label, computes, glance):
    """Values of the figure ``label``: from the first record offering it that has them."""
    for compute in computes:
        if compute is None:
            if glance is not None and label in glance.columns:
                return glance[label]
        else:
            values = compute()
            if values is not None:
                return values
    return None


def factor_row(results):
    """The headline statistics of one engine output as one flat row."""
    offered = {}  # label -> (place, computes of the records offering it, in step order)
    for value in results.values():
        for figure in _ask(value, "leaderboard_figures") or ():
            offered.setdefault(figure.label, (figure.place, []))[1].append(figure.compute)
    glance = glance_table(results)
    row = {}
    for label, (_, computes) in sorted(offered.items(), key=lambda item: item[1][0]):
        values = _figure_values(label, computes, glance)
        if values is not None:
            for period, value in values.items():
                row["{} {}".format(label, period)] = value
    # A factor without values, or the same value everywhere, is marked: its figures mean nothing.
    coverages = [c for c in (getattr(v, "coverage", None) for v in results.values()) if c is not None]
    problems = {getattr(c, "degenerate", None) for c in coverages} - {None}
    notes = ["factor: " + ", ".join(sorted(problems))] if problems else []
    # Figures of a few dates among many look as firm as the others on the board: said beside them.
    thin = min((c for c in coverages if getattr(c, "thin_dates", False)), key=lambda c: c.dates_used, default=None)
    if thin is not None and not problems:
        notes.append("rests on {} of {} dates".format(thin.dates_used, thin.dates_given))
    if notes:
        row["note"] = "; ".join(notes)
    return row


def leaderboard(results_by_factor, sort_by=None, ascending=False, fdr=0.05):
    """Factors x headline statistics (those the records put on the leaderboard: mean IC and IR
    per period, the Newey-West t-statistic and p-value of the mean IC, top-minus-bottom annual
    return, factor-return Sharpe ratio, mean turnover).

    Among many candidates the best t-statistics are mostly luck, so every "IC NW p-value P_n"
    column is followed by its Benjamini-Hochberg adjusted p-value over the factors of the
    board ("IC BH q-value P_n") and whether the factor survives the false-discovery rate
    `fdr` ("FDR 5% P_n").

    :param results_by_factor: factor name -> the engine's result dictionary
    :param sort_by: a column to sort by; default: the IC IR of the first period, else the
        first column
    :param fdr: the false-discovery rate of the survivors column, in (0, 1)
    """
    if isinstance(fdr, bool) or not isinstance(fdr, (int, float)) or not 0 < fdr < 1:
        raise ValueError("fdr: expect a false-discovery rate between 0 and 1 such as 0.05, got {!r}".format(fdr))
    if not isinstance(results_by_factor, dict):
        raise TypeError("results_by_factor: expect a dict of factor name -> result dict, got {}".format(
            type(results_by_factor)))
    rows = {name: factor_row(results) for name, results in results_by_factor.items()}
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "factor"
    if table.empty or table.shape[1] == 0:
        return table
    table = _with_fdr(table, fdr)
    if sort_by is None:
        ir = [c for c in table.columns if c.startswith("IC IR ")]
        sort_by = ir[0] if ir else table.columns[0]
    elif sort_by not in table.columns:
        raise ValueError("sort_by: expect one of {}, got {!r}".format(list(table.columns), sort_by))
    table = table.sort_values(sort_by, ascending=ascending, kind="stable", na_position="last")
    table.attrs["sorted_by"] = (sort_by, bool(ascending))  # for whoever prints the board
    return table


def benjamini_hochberg(p_values):
    """Benjamini-Hochberg adjusted p-values (missing ones stay missing and do not count)."""
    p = pd.Series(p_values, dtype=float)
    present = p.dropna()
    m = len(present)
    if m == 0:
        return p
    order = present.sort_values(kind="stable")
    ranks = pd.Series(range(1, m + 1), index=order.index, dtype=float)
    scaled = (order * m / ranks)[::-1].cummin()[::-1].clip(upper=1.0)
    return scaled.reindex(p.index)


def _with_fdr(table, fdr):
    """Adds the adjusted p-value and survivor columns after every "IC NW p-value" column."""
    label = "{:g}%".format(100 * fdr)
    columns = []
    for col in table.columns:
        columns.append(col)
        if isinstance(col, str) and col.startswith("IC NW p-value "):
            period = col[len("IC NW p-value "):]
            q = benjamini_hochberg(table[col])
            table["IC BH q-value " + period] = q
            table["FDR {} {}".format(label, period)] = (q <= fdr).where(q.notna())
            columns += ["IC BH q-value " + period, "FDR {} {}".format(label, period)]
    return table[columns]
