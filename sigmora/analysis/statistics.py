"""Summary statistics over the tables of the analysis results.

Pure functions: each takes the tables as the analysis steps build them and returns new tables.

Conventions
-----------
* Period columns are the "P_n" columns of the input; a summary has one row per period.
* Return tables of the quantile and factor-return steps hold *cumulative* returns, one row per
  row of the factor table.  The per-row return is recovered as ``(1 + c_t) / (1 + c_{t-1}) - 1``
  (the first row against 1).
* Annualisation uses the row frequency of the data, measured from its dates:
  ``periods_per_year(index)`` is 252 for daily rows (timestamps at midnight, a median gap of at
  most 4.5 calendar days), 52 for weekly, 12 for monthly, 4 for quarterly and 1 for yearly rows
  (median gaps up to 10.5, 45, 135 and 540 days), 365.25 over the median gap beyond that, and
  for intraday rows 252 times the median number of rows per calendar day.  Every function takes
  ``periods_per_year=`` to override it.
* annual return: geometric, ``(1 + c_last) ** (ppy / rows) - 1``; volatility: sample standard
  deviation of the per-row returns times ``sqrt(ppy)``; Sharpe ratio: mean per-row return over its
  standard deviation times ``sqrt(ppy)`` (no risk-free rate); maximum drawdown: the deepest fall of
  the wealth ``1 + c_t`` from its running peak (starting wealth 1), a number <= 0.
* NaN is missing: statistics skip it; a period without data gives NaN.
"""

import numpy as np
import pandas as pd
from scipy import stats as _stats

from sigmora.analysis._base import group_order_key, period_columns  # noqa: F401 - part of this module's face

__all__ = [
    "TRADING_DAYS_PER_YEAR",
    "periods_per_year",
    "ic_summary",
    "newey_west_t",
    "row_spacing",
    "rows_per_year",
    "ic_decay_curve",
    "ic_monthly",
    "ic_normal_quantiles",
    "rank_autocorrelation_summary",
    "returns_from_cumulative",
    "max_drawdown",
    "return_summary",
    "quantile_summary",
    "monotonicity",
    "benchmark_summary",
]

TRADING_DAYS_PER_YEAR = 252
IC_THRESHOLD = 0.02

RETURN_STATS = ["annual_return", "volatility", "sharpe", "max_drawdown"]


# Rows per year of date-spaced data, by the median calendar-day gap between its rows.
_SPACINGS = ((4.5, TRADING_DAYS_PER_YEAR, "daily"), (10.5, 52, "weekly"), (45.0, 12, "monthly"),
             (135.0, 4, "quarterly"), (540.0, 1, "yearly"))


def row_spacing(index):
    """The spacing of a table's rows as a word ("daily", "weekly", "monthly", "quarterly",
    "yearly" or "intraday"), measured from the dates; None when it cannot be told (fewer
    than two rows, or not dates)."""
    if not isinstance(index, pd.DatetimeIndex) or len(index) < 2:
        return None
    if not (index == index.normalize()).all():
        return "intraday"
    gap = _median_gap_days(index)
    for limit, _, word in _SPACINGS:
        if gap <= limit:
            return word
    return None


def _median_gap_days(index):
    unique = index.unique().sort_values()
    days = (unique[1:] - unique[:-1]) / pd.Timedelta(days=1)
    return float(np.median(days)) if len(days) else np.nan


def periods_per_year(index):
    """Rows per year of a table indexed by ``index`` (see the module notes for the rule)."""
    if not isinstance(index, pd.DatetimeIndex) or len(index) == 0:
        return TRADING_DAYS_PER_YEAR
    if (index == index.normalize()).all():
        if len(index) < 2:
            return TRADING_DAYS_PER_YEAR
        gap = _median_gap_days(index)
        for limit, per_year, _ in _SPACINGS:
            if gap <= limit:
                return per_year
        return 365.25 / gap
    rows_per_day = pd.Series(1, index=index).groupby(index.normalize()).size().median()
    return TRADING_DAYS_PER_YEAR * float(rows_per_day)


def rows_per_year(spacing, index=None):
    """Rows per year of rows spaced as ``spacing`` (a word `row_spacing` gives); for
    "intraday", measured from the times of ``index`` as `periods_per_year` does."""
    per_year = {word: n for _, n, word in _SPACINGS}
    if spacing == "intraday":
        if index is None or row_spacing(index) != "intraday":
            raise ValueError("rows_per_year: intraday rows are measured from their times; give an index of "
                             "intraday times, got {}".format("none" if index is None else row_spacing(index)))
        return periods_per_year(index)
    if spacing not in per_year:
        raise ValueError("spacing: expect one of {}, got {!r}".format(", ".join(list(per_year) + ["intraday"]),
                                                                    spacing))
    return per_year[spacing]


def _ppy(index, override=None):
    if override is None:
        return periods_per_year(index)
    # 0 would annualise every return to 0 % and a negative count to NaN, without a word.
    try:
        value = None if isinstance(override, (bool, np.bool_, str)) else float(override)
    except (TypeError, ValueError):
        value = None
    if value is None or not np.isfinite(value) or value <= 0:
        raise ValueError("periods_per_year: expect a positive number of rows a year (252 for daily rows, 52 "
                         "weekly, 12 monthly), got {!r}".format(override))
    return value


def _check_table(table, name):
    if not isinstance(table, pd.DataFrame):
        raise ValueError("{}: expect pd.DataFrame, got {}".format(name, type(table)))


# ----------------------------------------------------------------------------- IC

def holding_lags(label, rows_apart=1):
    """Autocovariance lags of the IC series of period column "P_n": the returns of n-row
    holding periods starting on consecutive IC dates overlap when the dates lie fewer than n
    return rows apart, so ceil(n / rows_apart) - 1 lags (n - 1 for daily IC dates on daily
    returns; 0 for any other label)."""
    text = str(label)
    if text.startswith("P_") and text[2:].isdigit():
        return max(-(-int(text[2:]) // max(int(rows_apart), 1)) - 1, 0)
    return 0


def _rows_apart(index):
    """Return rows between consecutive IC dates: 1 for daily or intraday dates (they are the
    return table's own rows), else trading days per row (about 5 weekly, 21 monthly)."""
    spacing = row_spacing(index)
    if spacing in (None, "daily", "intraday"):
        return 1
    return max(int(round(TRADING_DAYS_PER_YEAR / periods_per_year(index))), 1)


def newey_west_t(values, lags):
    """t-statistic and two-sided p-value of the mean of ``values`` with the Newey-West
    (Bartlett kernel) variance over ``lags`` lags: the regression of the series on a
    constant with a HAC covariance (no small-sample factor), normal p-value, as
    statsmodels' OLS(...).fit(cov_type="HAC", cov_kwds={"maxlags": lags}) gives them.
    Missing values are dropped first. NaN for fewer than two values or no variance."""
    x = np.asarray(values, dtype=float)
    x = x[~np.isnan(x)]
    n = len(x)
    if n < 2:
        return np.nan, np.nan
    lags = min(int(lags), n - 1)  # no autocovariance beyond the series
    e = x - x.mean()
    s = e @ e
    for lag in range(1, lags + 1):
        s += 2.0 * (1.0 - lag / (lags + 1.0)) * (e[lag:] @ e[:-lag])
    variance = s / n / n
    if not variance > 0:
        return np.nan, np.nan
    t = x.mean() / np.sqrt(variance)
    return float(t), float(2 * _stats.norm.sf(abs(t)))


def ic_summary(ic, threshold=IC_THRESHOLD):
    """Per period: mean, std, IR, t-statistic and p-value of the mean, the same with the
    Newey-West variance, share of positive dates, share of dates with |IC| > ``threshold``,
    skew and excess kurtosis of the per-date IC.

    ``ic``: dates x "P_n" table of per-date IC.  The t-test is the one-sample test of mean 0
    (n - 1 degrees of freedom); std, skew and kurtosis are the sample (bias-corrected) ones.
    Shares are taken over dates with an IC value.

    For a holding period of n > 1 rows the ICs of consecutive dates share n - 1 rows of
    returns and are strongly autocorrelated, so the plain t-statistic overstates the
    evidence; ``nw_t_stat`` / ``nw_p_value`` allow for that (Newey-West with n - 1 lags) and
    are the ones to read for such periods. For P_1 the two agree up to the t vs normal tail.
    IC dates spaced wider than the return rows (a monthly factor on daily returns) overlap
    less: ceil(n / rows apart) - 1 lags.
    """
    _check_table(ic, "ic")
    abs_label = "abs_ic_gt_{:g}".format(threshold)
    rows_apart = _rows_apart(ic.index) if isinstance(ic.index, pd.DatetimeIndex) else 1
    rows = {}
    for col in period_columns(ic):
        x = pd.to_numeric(ic[col], errors="coerce").dropna()
        n = len(x)
        mean = x.mean() if n else np.nan
        std = x.std(ddof=1) if n > 1 else np.nan
        if n > 1 and std > 0:
            t_stat = mean / (std / np.sqrt(n))
            p_value = 2 * _stats.t.sf(abs(t_stat), n - 1)
        else:
            t_stat = p_value = np.nan
        nw_t, nw_p = newey_west_t(x.to_numpy(), holding_lags(col, rows_apart))
        rows[col] = {
            "dates": n,
            "mean": mean,
            "std": std,
            "ir": mean / std if std and std > 0 else np.nan,
            "t_stat": t_stat,
            "p_value": p_value,
            "nw_t_stat": nw_t,
            "nw_p_value": nw_p,
            "positive_share": (x > 0).mean() if n else np.nan,
            abs_label: (x.abs() > threshold).mean() if n else np.nan,
            "skew": x.skew() if n > 2 else np.nan,
            "kurtosis": x.kurt() if n > 3 else np.nan,
        }
    out = pd.DataFrame.from_dict(rows, orient="index")
    out.index.name = "period"
    return out


def rank_autocorrelation_summary(autocorrelation):
    """Per lag: the dates with a value, and the mean and median rank autocorrelation of the
    factor (1 means the ranking does not change at all from one date to the date `lag` later;
    low values mean high turnover of any portfolio built on it)."""
    _check_table(autocorrelation, "autocorrelation")
    out = pd.DataFrame({"dates": autocorrelation.notna().sum(), "mean": autocorrelation.mean(),
                        "median": autocorrelation.median()})
    out.index.name = "lag"
    return out


def ic_decay_curve(ic_decay):
    """Mean IC per decay step: rows the decay d, columns the periods.

    ``ic_decay``: the (datetime, decay) x "P_n" table of the IC analysis.
    """
    _check_table(ic_decay, "ic_decay")
    if "decay" not in (ic_decay.index.names or []):
        raise ValueError("ic_decay: expect an index level named 'decay', got levels {}".format(
            list(ic_decay.index.names)))
    curve = ic_decay[period_columns(ic_decay)].groupby(level="decay").mean()
    curve.index.name = "decay"
    return curve


def ic_monthly(ic, period):
    """Mean per-date IC of `period` in every calendar month: rows the years, columns the months
    1 to 12 (NaN for a month without an IC, or outside the data)."""
    _check_table(ic, "ic")
    if period not in ic.columns:
        raise ValueError("period: expect one of {}, got {!r}".format(period_columns(ic), period))
    values = pd.to_numeric(ic[period], errors="coerce").astype(float)
    dates = pd.DatetimeIndex(ic.index)
    grid = values.groupby([dates.year.rename("year"), dates.month.rename("month")]).mean().unstack("month")
    return grid.reindex(columns=range(1, 13)).rename_axis(index="year", columns="month")


def ic_normal_quantiles(ic, period):
    """The per-date IC of `period` against the quantiles of the normal distribution: a table of
    the sorted ICs ("ic") beside the standard normal quantile of each one's rank ("normal",
    scipy's probplot: Filliben's order statistic medians), and the mean and sample standard
    deviation of the ICs, which give the line the points follow when the IC is normal."""
    _check_table(ic, "ic")
    values = pd.to_numeric(ic[period], errors="coerce").dropna().to_numpy(dtype=float)
    if len(values) == 0:
        return pd.DataFrame({"normal": [], "ic": []}), np.nan, np.nan
    normal, ordered = _stats.probplot(values, dist="norm", fit=False)
    spread = values.std(ddof=1) if len(values) > 1 else np.nan
    return pd.DataFrame({"normal": normal, "ic": ordered}), values.mean(), spread


# ----------------------------------------------------------------------------- returns

def returns_from_cumulative(cumulative):
    """Per-row returns of a cumulative return series or table (first row measured from 1)."""
    wealth = 1 + cumulative
    previous = wealth.shift(1)
    previous.iloc[:1] = 1.0
    return wealth / previous - 1


def max_drawdown(cumulative):
    """Deepest fall of ``1 + cumulative`` from its running peak (initial wealth 1); <= 0."""
    wealth = (1 + pd.Series(cumulative, dtype=float)).dropna()
    if wealth.empty:
        return np.nan
    peak = np.maximum(wealth.cummax(), 1.0)
    return float((wealth / peak - 1).min())


def _series_stats(cumulative, ppy):
    cumulative = pd.Series(cumulative, dtype=float).dropna()
    n = len(cumulative)
    if n == 0:
        return dict.fromkeys(RETURN_STATS, np.nan)
    r = returns_from_cumulative(cumulative)
    final_wealth = 1 + cumulative.iloc[-1]
    annual = final_wealth ** (ppy / n) - 1 if final_wealth > 0 else -1.0
    # a wealth that reached zero gives infinite returns after it: the deviation is then NaN,
    # which the statistics show, and numpy's warning about it would say nothing more
    with np.errstate(invalid="ignore"):
        std = r.std(ddof=1) if n > 1 else np.nan
    return {
        "annual_return": annual,
        "volatility": std * np.sqrt(ppy),
        "sharpe": r.mean() / std * np.sqrt(ppy) if std and std > 0 else np.nan,
        "max_drawdown": max_drawdown(cumulative),
    }


def return_summary(cumulative, periods_per_year=None):
    """Annual return, volatility, Sharpe ratio and maximum drawdown per period column.

    ``cumulative``: a dates x "P_n" table of cumulative returns (factor returns, top minus
    bottom), or one cumulative series (summarised as a single row named after it).
    """
    if isinstance(cumulative, pd.Series):
        cumulative = cumulative.to_frame(cumulative.name if cumulative.name is not None else "return")
    _check_table(cumulative, "cumulative")
    ppy = _ppy(cumulative.index, periods_per_year)
    rows = {col: _series_stats(cumulative[col], ppy) for col in period_columns(cumulative)}
    out = pd.DataFrame.from_dict(rows, orient="index", columns=RETURN_STATS)
    out.index.name = "period"
    return out


def sorted_groups(table):
    """The group labels of a (tag, datetime)-indexed table in their numeric order."""
    return sorted(table.index.get_level_values("tag").unique(), key=group_order_key)


def _check_tagged(table, name):
    _check_table(table, name)
    if list(table.index.names[:1]) != ["tag"] or table.index.nlevels != 2:
        raise ValueError("{}: expect a (tag, datetime) index, got levels {}".format(
            name, list(table.index.names)))


def quantile_summary(quantile_returns, quantile_turnover=None, benchmark_return=None,
                     periods_per_year=None, empty_groups=()):
    """Per period and group: annual return, volatility, Sharpe ratio, maximum drawdown, mean
    turnover, and the annual return in excess of the benchmark's when a benchmark is given.

    ``quantile_returns`` / ``quantile_turnover``: (tag, datetime) x "P_n" tables (cumulative
    returns; per-row turnover); ``benchmark_return``: cumulative series over the dates, or None.
    Rows are indexed by (period, group), groups in their numeric order (q1, q2, ..., q10).
    A group of ``empty_groups`` never held an instrument: its flat zero returns are no
    statistic, so its row is NaN.
    """
    _check_tagged(quantile_returns, "quantile_returns")
    if quantile_turnover is not None:
        _check_tagged(quantile_turnover, "quantile_turnover")
    dates = quantile_returns.index.get_level_values("datetime").unique()
    ppy = _ppy(pd.DatetimeIndex(dates) if len(dates) else dates, periods_per_year)
    bench_annual = None
    if benchmark_return is not None:
        bench_annual = _series_stats(benchmark_return, ppy)["annual_return"]
    rows = {}
    for col in period_columns(quantile_returns):
        for group in sorted_groups(quantile_returns):
            row = _series_stats(quantile_returns[col].xs(group, level="tag"), ppy)
            if quantile_turnover is not None:
                if col in quantile_turnover.columns and group in quantile_turnover.index.get_level_values("tag"):
                    row["mean_turnover"] = pd.to_numeric(
                        quantile_turnover[col].xs(group, level="tag"), errors="coerce").mean()
                else:
                    row["mean_turnover"] = np.nan
            if bench_annual is not None:
                row["excess_return"] = row["annual_return"] - bench_annual
            if group in empty_groups:
                row = dict.fromkeys(row, np.nan)
            rows[(col, group)] = row
    columns = RETURN_STATS + (["mean_turnover"] if quantile_turnover is not None else []) + \
        (["excess_return"] if bench_annual is not None else [])
    out = pd.DataFrame.from_dict(rows, orient="index", columns=columns)
    out.index = pd.MultiIndex.from_tuples(list(rows), names=["period", "group"])
    return out


def monotonicity(quantile_stats):
    """Whether annual returns are monotone across the groups, per period.

    ``quantile_stats``: the (period, group) table of ``quantile_summary``.  Columns: "monotonic"
    (bool), "direction" ("increasing" / "decreasing" from the first group to the last, or "none")
    and "rank_correlation" (Spearman correlation between group order and annual return).
    """
    rows = {}
    for period, block in quantile_stats.groupby(level="period", sort=False):
        values = block["annual_return"].to_numpy(dtype=float)
        steps = np.diff(values)
        if len(values) < 2 or np.isnan(values).any():
            direction, rho = "none", np.nan
        else:
            direction = "increasing" if (steps > 0).all() else \
                "decreasing" if (steps < 0).all() else "none"
            rho = _stats.spearmanr(np.arange(len(values)), values)[0] if np.ptp(values) > 0 else np.nan
        rows[period] = {"monotonic": direction != "none", "direction": direction,
                        "rank_correlation": float(rho)}
    out = pd.DataFrame.from_dict(rows, orient="index", columns=["monotonic", "direction", "rank_correlation"])
    out.index.name = "period"
    return out


def benchmark_summary(benchmark_return, periods_per_year=None):
    """Annual return, volatility, Sharpe ratio and maximum drawdown of the benchmark (one row)."""
    if not isinstance(benchmark_return, pd.Series):
        raise ValueError("benchmark_return: expect pd.Series, got {}".format(type(benchmark_return)))
    ppy = _ppy(benchmark_return.index, periods_per_year)
    name = benchmark_return.name if benchmark_return.name is not None else "benchmark"
    out = pd.DataFrame.from_dict({name: _series_stats(benchmark_return, ppy)}, orient="index",
                                 columns=RETURN_STATS)
    out.index.name = "benchmark"
    return out
