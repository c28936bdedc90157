"""Factor returns: the cumulative return of a dollar-neutral long-short portfolio weighted
by the demeaned lagged factor, run as staggered sub-portfolios per holding period."""

import numpy as np
import pandas as pd

from sigmora import _core
from sigmora.analysis import _costs
from sigmora.analysis._base import FACTOR_ROWS, FactorAnalyser, distinct, holding_periods, period_label
from sigmora.analysis.analysis_result import FactorReturnAnalysisResult
from sigmora.analysis._arrays import float_view
from sigmora.analysis._portfolio_common import compound, gapped_growth


def leading_rows(returns, factor_data):
    """The return table on the factor's instruments when its first rows are the factor's
    dates (the engine's daily returns run a few dates past them), else None. Growth on those
    rows does not depend on the later ones, so the kernel may compound these returns."""
    n = len(factor_data.index)
    if not returns.index[:n].equals(factor_data.index):
        return None
    table = returns if len(returns.index) == n else returns.iloc[:n]
    if not table.columns.equals(factor_data.columns):
        table = table.reindex(columns=factor_data.columns)
    return table


class FactorReturnAnalysis(FactorAnalyser):
    """Tests factor returns: per date the weights are the previous date's factor values
    minus their mean, divided by the sum of absolute deviations (negated when ascending); each
    holding period runs one sub-portfolio per starting offset, each holding its rebalance
    row's weights until its next rebalance; their daily returns are averaged and compounded.
    An instrument without a weight on a rebalance row is not held until the next one.

    ``cost_bps``: trading cost in basis points per unit of one-way turnover (default 0: none).
    When positive the record also holds the returns net of it and the turnover they are
    charged on: a sub-portfolio rebalancing on a row trades the sum of the absolute changes of
    its weights since its previous rebalance (a missing weight counting as 0; its first
    formation is not charged), and the row's cost is cost_bps / 1e4 times that sum averaged
    over the period's sub-portfolios, as the row's return is."""

    period_rows = FACTOR_ROWS  # portfolios held over n rows of the factor table

    def __init__(self, cost_bps=0):
        self.cost_bps = _costs.checked_cost_bps(cost_bps)

    def analysis(self, factor_data, returns, periods, ascending=True):
        periods = distinct(holding_periods(periods))
        values = float_view(factor_data, "factor_data")
        periods_array = np.asarray(periods, dtype=np.int64)
        aligned = leading_rows(returns, factor_data)
        if aligned is not None:
            # The kernel compounds the returns itself, a few instruments at a time.
            daily = _core.portfolio_factor_returns(values, float_view(aligned, "returns"), periods_array,
                                                   bool(ascending))
        else:
            growth = gapped_growth(returns, factor_data.index, factor_data.columns)
            daily = _core.portfolio_factor_returns(values, growth, periods_array, bool(ascending),
                                                   returns_are_growth=True)
            del growth
        # A portfolio that never held a position (no factor value on any row it could be formed
        # from) earned no return of 0: it has none, and its table stays NaN so that no statistic
        # is read off it.
        never = bool(np.isnan(values[:-1]).all())
        daily[np.isnan(daily)] = 0.0  # a day without a usable return counts as 0
        index = factor_data.index.copy()
        index.name = "datetime"
        columns = [period_label(p) for p in periods]
        factor_returns = pd.DataFrame(compound(daily, axis=1).T, index=index, columns=columns)
        if never:
            factor_returns.loc[:, :] = np.nan
        if not self.cost_bps:
            return FactorReturnAnalysisResult(factor_returns=factor_returns, name=self.step_name)
        # The weights held from each row on: those of the previous row's factor values.
        weights = np.full(values.shape, np.nan)
        if len(weights) > 1:
            weights[1:] = _core.portfolio_factor_weights(values[:-1], bool(ascending))
        turnover = _costs.factor_turnover(weights, periods)
        del weights
        net = compound(daily - _costs.cost_of(turnover, self.cost_bps), axis=1)
        if never:
            net[:] = np.nan
            turnover = np.full(turnover.shape, np.nan)
        record = FactorReturnAnalysisResult(
            factor_returns=factor_returns, name=self.step_name,
            factor_net_returns=pd.DataFrame(net.T, index=index, columns=columns),
            factor_turnover=pd.DataFrame(turnover.T, index=index, columns=columns))
        record.cost_bps = self.cost_bps
        return record
