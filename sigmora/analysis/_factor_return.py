"""Factor returns: the cumulative return of a dollar-neutral long-short portfolio weighted
by the demeaned lagged factor, run as staggered sub-portfolios per holding period."""

import numpy as np
import pandas as pd

from sigmora import _core
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
    An instrument without a weight on a rebalance row is not held until the next one."""

    period_rows = FACTOR_ROWS  # portfolios held over n rows of the factor table

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
        daily[np.isnan(daily)] = 0.0  # a day without a usable return counts as 0
        index = factor_data.index.copy()
        index.name = "datetime"
        factor_returns = pd.DataFrame(compound(daily, axis=1).T, index=index,
                                      columns=[period_label(p) for p in periods])
        return FactorReturnAnalysisResult(factor_returns=factor_returns, name=self.step_name)
