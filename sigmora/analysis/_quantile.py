"""Quantile group returns: staggered buy-and-hold portfolios (equal-weighted, or weighted by
market cap or by the user's weights at formation) of the groups the lagged factor sorts
instruments into, their turnover, the top-minus-bottom return, the benchmark's cumulative
return, and the returns net of a trading cost when one is given."""


import numpy as np
import pandas as pd

from sigmora import _core
from sigmora.analysis import _costs, _market
from sigmora.analysis._arrays import as_float_matrix
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


def _positive_quantile(quantile):
    if isinstance(quantile, (bool, np.bool_)) or not isinstance(quantile, (int, np.integer)) or quantile < 1:
        raise ValueError("quantile: expect a positive integer, got {!r}".format(quantile))


def _checked_quantile(quantile, n_instruments):
    _positive_quantile(quantile)
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
    rows = "the factor table has {} row{}, and holding a portfolio over n rows takes at least n + 1".format(
        n_rows, "" if n_rows == 1 else "s")
    if not periods:
        raise ValueError("Invalid periods, must be less than {}: {}; give a factor table of more dates or "
                         "shorter periods".format(n_rows, rows))
    warn_user("Invalid periods found: {}, will ignore. The quantile step leaves them out: {}.".format(
        unavailable, rows))
    return periods


#: The weightings `QuantileReturnAnalysis` takes by name (besides a table of weights).
WEIGHTINGS = ("equal", "cap")


def _checked_weights(weights):
    if isinstance(weights, pd.DataFrame):
        return weights
    if isinstance(weights, str) and weights in WEIGHTINGS:
        return weights
    raise ValueError("weights: expect 'equal', 'cap' or a dates x instruments DataFrame of non-negative "
                     "weights, got {!r}".format(weights if isinstance(weights, str) else type(weights)))


def _weight_table(weights, factor_data):
    """A user's weight table on exactly the factor table's dates and instruments, as floats;
    refuses a table that misses some of them, holds non-numbers, negative or infinite values."""
    missing_dates = factor_data.index.difference(weights.index)
    missing_ids = factor_data.columns.difference(weights.columns)
    if len(missing_dates) or len(missing_ids):
        what = []
        if len(missing_dates):
            what.append("{} of its dates (such as {})".format(
                len(missing_dates), ", ".join(str(d) for d in missing_dates[:3])))
        if len(missing_ids):
            what.append("{} of its instruments (such as {})".format(
                len(missing_ids), ", ".join(str(c) for c in missing_ids[:3])))
        raise ValueError("weights: expect a table on factor_data's dates and instruments ({} x {}), but it lacks "
                         "{}; reindex it to factor_data's index and columns, NaN where a member gets no "
                         "weight".format(len(factor_data.index), len(factor_data.columns), " and ".join(what)))
    if not weights.index.is_unique or not weights.columns.is_unique:
        raise ValueError("weights: expect unique dates and instruments, got duplicated {}; drop the duplicates "
                         "first".format("dates" if not weights.index.is_unique else "instruments"))
    # Numbers kept as text would otherwise be read as numbers without a word.
    text = [str(c) for c, t in weights.dtypes.items() if pd.api.types.is_string_dtype(t) and any(
        isinstance(v, str) for v in weights[c].to_numpy())]
    if text:
        raise TypeError("weights: expect numeric values, got text in {} column(s) (such as {}); convert them with "
                        "pd.to_numeric first".format(len(text), ", ".join(text[:3])))
    table = weights.reindex(index=factor_data.index, columns=factor_data.columns)
    values = as_float_matrix(table, "weights")
    bad = values < 0
    if bad.any():
        r, c = np.argwhere(bad)[0]
        raise ValueError("weights: expect non-negative weights, got {} negative value(s) such as {:g} for {} on {}; "
                         "a member without weight takes NaN or 0".format(
                             int(bad.sum()), values[r, c], table.columns[c], table.index[r]))
    if np.isinf(values).any():
        raise ValueError("weights: expect finite weights, got {} infinite value(s); a member without weight takes "
                         "NaN or 0".format(int(np.isinf(values).sum())))
    if not (values > 0).any():
        raise ValueError("weights: expect some positive weights, got none (every weight is NaN or 0), so every "
                         "group's return would be empty; pass market caps or other positive weights")
    return values


class QuantileReturnAnalysis(FactorAnalyser):
    """Returns of quantile groups: per date the instruments are sorted by the previous
    date's factor into `quantile` groups "q1".."q{quantile}" (q1 holds rank 1: the lowest
    values when ascending, the highest otherwise), each held for the holding period as a
    buy-and-hold portfolio by staggered portfolios whose returns are averaged.

    ``weights``: how a group's members are weighted when it is formed: "equal" (default),
    "cap" (by their market cap on the factor date, read from the data store), or a dates x
    instruments DataFrame of non-negative weights (the weight on a factor date applies to
    the groups that date's factor values form). A member whose weight is missing or 0 stays
    in the group (labels and turnover) but adds nothing to its return; the record counts
    such members. A weighted group drifts with its members' returns until its next rebalance.

    ``cost_bps``: trading cost in basis points per unit of one-way turnover (default 0: none).
    When positive the record also holds the group and top-minus-bottom returns net of it: each
    row's return less cost_bps / 1e4 times its turnover (for top minus bottom, the turnover of
    both groups). The turnover is the group's share of entering members (`quantile_turnover`),
    the first formation of each portfolio not being charged.
    """

    period_rows = FACTOR_ROWS  # portfolios held over n rows of the factor table

    def __init__(self, quantile=5, benchmark=None, weights="equal", cost_bps=0):
        _positive_quantile(quantile)    # the bound by the instruments waits for the data
        self.quantile = quantile
        self.weights = _checked_weights(weights)
        self.cost_bps = _costs.checked_cost_bps(cost_bps)
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
        start_weights, weighting = self._formation_weights(factor_data, codes)
        daily, turnover = _core.portfolio_quantile_returns(
            codes, growth, np.asarray(periods, dtype=np.int64), quantile, start_weights)
        del growth, start_weights

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
        net = {}
        if self.cost_bps > 0:
            charged = _costs.charged_turnover(turnover, _costs.warmup_rows(codes, periods, quantile))
            cost = _costs.cost_of(charged, self.cost_bps)
            net["quantile_net_returns"] = pd.DataFrame(
                compound(daily - cost, axis=2).reshape(len(periods), n).T, index=index, columns=columns)
            # one group is no long-short book: nothing to trade
            legs = cost[:, 0, :] + cost[:, -1, :] if quantile > 1 else 0.0
            net["top_minus_bottom_net_returns"] = pd.DataFrame(
                compound(spread - legs, axis=1).T, index=top_minus_bottom.index, columns=columns)

        labels = np.empty(quantile + 1, dtype=object)
        labels[:quantile] = tags
        labels[quantile] = np.nan  # code -1: no group
        quantile_detail = LabelCodes(codes.astype(np.int8 if quantile < 127 else np.int32), labels,
                                     dates, factor_data.columns)

        record = QuantileReturnAnalysisResult(
            quantile_turnover=quantile_turnover,
            quantile_returns=quantile_returns,
            quantile_detail=quantile_detail,
            benchmark_return=self._load_benchmark_series(dates),
            top_minus_bottom_returns=top_minus_bottom,
            name=self.step_name,
            **net
        )
        record.cost_bps = self.cost_bps
        record.weighting = weighting
        return record

    def _formation_weights(self, factor_data, codes):
        """The weight each instrument starts with in a group formed on each row (the weights of
        the factor date before it; None for equal weights), and what the record says of them:
        None for equal weights, else the weighting and how many group members got no weight."""
        if isinstance(self.weights, str) and self.weights == "equal":
            return None, None
        if isinstance(self.weights, pd.DataFrame):
            values, kind = _weight_table(self.weights, factor_data), "table"
        else:
            caps = _market.market_caps(factor_data.columns, factor_data.index)
            values, kind = as_float_matrix(caps, "market caps"), "cap"
        start = np.empty(values.shape)
        start[:1] = np.nan
        start[1:] = values[:-1]
        members = codes >= 0
        with np.errstate(invalid="ignore"):
            weightless = members & ~(start > 0)
        return start, {"weights": kind, "members": int(members.sum()), "without_weight": int(weightless.sum())}

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
