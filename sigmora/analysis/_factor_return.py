"""Factor returns: the cumulative return of a dollar-neutral long-short portfolio weighted
by the demeaned lagged factor, run as staggered sub-portfolios per holding period."""

import numpy as np
import pandas as pd

from sigmora import _core
from sigmora.analysis import varodyne as _v
from sigmora.analysis.varodyne import FactorAnalyser
from sigmora.analysis._portfolio_common import (
    compound, distinct, growth_matrix, holding_periods, lagged_values, period_column)


class FactorReturnAnalysis(FactorAnalyser):
    """Tests factor returns: per date the weights are the previous date's factor values
    minus their mean, divided by the sum of absolute deviations (negated when ascending); each
    holding period runs one sub-portfolio per starting offset, each holding its rebalance
    row's weights until its next rebalance; their daily returns are averaged and compounded.
    An instrument without a weight on a rebalance row is not held until the next one."""

    def analysis(self, factor_data, returns, periods, ascending=True):
        periods = distinct(holding_periods(periods))
        weights = _core.portfolio_factor_weights(lagged_values(factor_data), bool(ascending))
        growth = growth_matrix(returns, factor_data.index, factor_data.columns)
        daily = _core.portfolio_factor_returns(weights, growth, np.asarray(periods, dtype=np.int64))
        del weights, growth
        daily[np.isnan(daily)] = 0.0  # a day without a usable return counts as 0
        index = factor_data.index.copy()
        index.name = "datetime"
        factor_returns = pd.DataFrame(compound(daily, axis=1).T, index=index,
                                      columns=[period_column(p) for p in periods])
        return _v.FactorReturnAnalysisResult(factor_returns=factor_returns, name=self.step_name)
