"""Quantile group returns: staggered equal-weighted buy-and-hold portfolios of the groups
the lagged factor sorts instruments into, their turnover, the top-minus-bottom return and
the benchmark's cumulative return."""


import numpy as np
import pandas as pd

from sigmora import _core
from sigmora.analysis import _market
from sigmora.analysis._base import (FACTOR_ROWS, FactorAnalyser, _get_datetime_freq, distinct, group_labels,
                                    holding_periods, period_label, warn_user)
from sigmora.analysis.analysis_result import LabelCodes, QuantileReturnAnalysisResult
from sigmora.analysis._portfolio_common import compound, gapped_growth, lagged_values


def _my_quantile(arr, q=1, labels=None):
    """Labels of one row of ranks: rank r goes to group k (1..q) when it lies above the
    interpolated quantile k - 1 of the row's ranks and at or below quantile k (the lowest
    rank always in group 1). NaN stays NaN. `labels` defaults to "q1".."q{q}"."""
    if labels is None:
        labels = group_labels(q)
    arr = np.asarray(arr, dtype=np.float64)
    res = np.zeros(arr.size, dtype="O")
    msk = ~np.isnan(arr)
    x = arr[msk]
    res[~msk] = np.nan
    if x.size == 0:
        return res
    ls = np.linspace(0, 1, q + 1)
    idx = ls * (x.size - 1)
    fraction = idx % 1
    pos = idx.astype(int)
    _x = np.sort(x)
    a = _x[pos]
    b = np.roll(_x, shift=-1)[pos]
    bins = a + (b - a) * fraction
    bins[0] -= 1
    res[msk] = np.asarray(labels, dtype=object)[np.digitize(x, bins, True) - 1]
    return res


_MIN_GROUP_LIMIT = 100


def _checked_quantile(quantile, n_instruments):
    if isinstance(quantile, (bool, np.bool_)) or not isinstance(quantile, (int, np.integer)) or quantile < 1:
        raise ValueError("quantile: expect a positive integer, got {!r}".format(quantile))
    # Every group is a block of rows in the result tables, so the count is bounded by the
    # data: groups beyond the instruments can never hold one and would only take memory.
    limit = max(n_instruments, _MIN_GROUP_LIMIT)
    if quantile > limit:
        raise ValueError("quantile: expect at most {} groups (the larger of {} and the {} instruments of "
                         "factor_data), got {}".format(limit, _MIN_GROUP_LIMIT, n_instruments, quantile))
    return int(quantile)


def _available_periods(periods, n_rows):
    """Drops the periods the factor table is too short for, with a warning; none left is an error."""
    unavailable = [p for p in periods if p >= n_rows]
    if not unavailable:
        return periods
    periods = [p for p in periods if p not in unavailable]
    if not periods:
        raise ValueError("Invalid periods, must be less than {}".format(n_rows))
    warn_user("Invalid periods found: {}, will ignore.".format(unavailable))
    return periods


class QuantileReturnAnalysis(FactorAnalyser):
    """Returns of quantile groups: per date the instruments are sorted by the previous
    date's factor into `quantile` groups "q1".."q{quantile}" (q1 holds rank 1: the lowest
    values when ascending, the highest otherwise), each held equal-weighted for the
    holding period by staggered portfolios whose returns are averaged."""

    period_rows = FACTOR_ROWS  # portfolios held over n rows of the factor table

    def __init__(self, quantile=5, benchmark=None):
        self.quantile = quantile
        self.benchmark = None
        if benchmark is not None:
            record = _market.instrument(benchmark)
            if record is None or getattr(record, "type", None) != "INDX":
                warn_user("Invalid benchmark: {} is not INDX order_book_id.".format(benchmark))
            else:
                self.benchmark = benchmark

    def review(self, coverage):
        """Warns when most dates have fewer instruments than groups: some groups then stay
        empty on those dates."""
        typical = coverage.values_per_date[1]
        if isinstance(self.quantile, (int, np.integer)) and self.quantile > typical:
            warn_user("quantile: {} groups, but a typical date has {:g} instruments with values: some groups stay "
                      "empty on most dates (their statistics show NaN when they never hold one); use at most {} "
                      "groups".format(self.quantile, typical, max(int(typical), 1)))

    def analysis(self, factor_data, returns, periods, ascending=True):
        periods = distinct(_available_periods(holding_periods(periods), len(factor_data)))
        quantile = _checked_quantile(self.quantile, factor_data.shape[1])
        tags = group_labels(quantile)
        dates = factor_data.index

        lagged = lagged_values(factor_data)
        growth = gapped_growth(returns, dates, factor_data.columns)
        codes = _core.portfolio_quantile_labels(lagged, quantile, bool(ascending))
        del lagged
        daily, turnover = _core.portfolio_quantile_returns(
            codes, growth, np.asarray(periods, dtype=np.int64), quantile)
        del growth

        columns = [period_label(p) for p in periods]
        index = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
        n = quantile * len(dates)
        daily[np.isnan(daily)] = 0.0  # a group without a return that day earns nothing

        quantile_turnover = pd.DataFrame(turnover.reshape(len(periods), n).T, index=index, columns=columns)
        quantile_returns = pd.DataFrame(compound(daily, axis=2).reshape(len(periods), n).T,
                                        index=index, columns=columns)
        with np.errstate(invalid="ignore"):
            spread = daily[:, 0, :] - daily[:, -1, :]
        top_minus_bottom = pd.DataFrame(compound(spread, axis=1).T,
                                        index=quantile_returns.loc[tags[0]].index, columns=columns)

        labels = np.empty(quantile + 1, dtype=object)
        labels[:quantile] = tags
        labels[quantile] = np.nan  # code -1: no group
        quantile_detail = LabelCodes(codes.astype(np.int8 if quantile < 127 else np.int32), labels,
                                     dates, factor_data.columns)

        return QuantileReturnAnalysisResult(
            quantile_turnover=quantile_turnover,
            quantile_returns=quantile_returns,
            quantile_detail=quantile_detail,
            benchmark_return=self._load_benchmark_series(dates),
            top_minus_bottom_returns=top_minus_bottom,
            name=self.step_name,
        )

    def _load_benchmark_series(self, index):
        """Cumulative return of the benchmark since the first of `index`'s dates, on exactly
        those dates (a date without a price keeps the last one); None without a benchmark
        or without price data."""
        if self.benchmark is None:
            return None
        freq = _get_datetime_freq(index)
        field = "last" if freq == "tick" else "close"
        start, end = index[0].date(), index[-1].date()
        price = _market.benchmark_prices(self.benchmark, start, end, freq, field)
        if price is None:
            warn_user("No price data for benchmark {} between {} and {}.".format(self.benchmark, start, end))
            return None
        price = price[field]
        price.index = price.index.droplevel("order_book_id")
        returns = price.reindex(index).ffill().pct_change()
        returns = returns.fillna(0)
        returns.name = self.benchmark
        return returns.add(1).cumprod() - 1
