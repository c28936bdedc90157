"""One table comparing many factors by their headline statistics."""

import pandas as pd

# Headline figures per period, as named in a result's "at a glance" table.
_PER_PERIOD = ["IC mean", "IC IR", "top-bottom annual return", "factor Sharpe"]


def _mean_turnover(results):
    """Mean turnover over all groups, per period, of the first quantile record."""
    from sigmora.analysis.analysis_result import QuantileReturnAnalysisResult
    for record in results.values():
        if isinstance(record, QuantileReturnAnalysisResult) and record.quantile_turnover is not None:
            groups = record.summary()["quantile_returns"]
            if "mean_turnover" in groups:
                return groups["mean_turnover"].groupby(level="period", sort=False).mean()
    return None


def factor_row(results):
    """The headline statistics of one engine output as one flat row."""
    from sigmora.report import glance_table
    row = {}
    glance = glance_table(results)
    if glance is not None:
        for stat in _PER_PERIOD:
            if stat in glance.columns:
                for period, value in glance[stat].items():
                    row["{} {}".format(stat, period)] = value
    turnover = _mean_turnover(results)
    if turnover is not None:
        for period, value in turnover.items():
            row["mean turnover {}".format(period)] = value
    return row


def leaderboard(results_by_factor, sort_by=None, ascending=False):
    """Factors x headline statistics (mean IC and IR per period, top-minus-bottom annual return,
    factor-return Sharpe ratio, mean turnover).

    :param results_by_factor: factor name -> the engine's result dictionary
    :param sort_by: a column to sort by; default: the IC IR of the first period, else the
        first column
    """
    if not isinstance(results_by_factor, dict):
        raise TypeError("results_by_factor: expect a dict of factor name -> result dict, got {}".format(
            type(results_by_factor)))
    rows = {name: factor_row(results) for name, results in results_by_factor.items()}
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "factor"
    if table.empty or table.shape[1] == 0:
        return table
    if sort_by is None:
        ir = [c for c in table.columns if c.startswith("IC IR ")]
        sort_by = ir[0] if ir else table.columns[0]
    elif sort_by not in table.columns:
        raise ValueError("sort_by: expect one of {}, got {!r}".format(list(table.columns), sort_by))
    return table.sort_values(sort_by, ascending=ascending, kind="stable", na_position="last")
