"""The factor-testing pipeline: named preprocessing steps, then analysis steps.

    >>> from sigmora.analysis.varodyne import FactorVarodyne, Winzorization, ICAnalysis
    >>> engine = FactorVarodyne()
    >>> engine.append(("winsorize", Winzorization(method="mad")))
    >>> engine.append(("ic", ICAnalysis()))
    >>> result = engine.analysis(factor, "daily", periods=(1, 5))

The engine lives here. The step bases, their checks and constants live in `_base`, market
data come through `_market`, the industry tables through `_industry`, and each concrete
step lives in a module of its own; this module re-exports all the names it documents.
"""

import datetime  # noqa: F401 - documented import
import sys
import types
import warnings
from collections import defaultdict, ChainMap  # noqa: F401 - documented imports
from typing import Dict, Sequence  # noqa: F401 - documented imports

import pandas as pd
import numpy as np
from scipy import stats

import tidewell
from tidewell.decorators import ttl_cache

from sigmora.analysis.winsorize import WINSORIZE_METHODS, BATCH_WINSORIZE_METHODS
from sigmora.analysis.analysis_result import *  # noqa: F401,F403
from sigmora.analysis.ols import calc_residuals
from sigmora.analysis import _coverage, _horizons, _industry, _market
from sigmora.analysis._base import (  # noqa: F401 - documented here
    FIELD_MAPPING, VALID_INDUSTRY_SOURCE, VALID_WINSORIZE_METHODS, FactorAnalyser, FactorPreprocessor,
    _get_datetime_freq, _get_return_fields, _is_date_frequency_index, _validate_data_frame, check_ascending,
    check_columns, check_dates, check_periods, check_returns_overlap)
from sigmora.analysis._industry import (  # noqa: F401 - documented here
    _SWS_VERSION_2_AFTER, _SWS_VERSION_3_AFTER, _load_industry_data, get_all_industry_category,
    get_all_industry_data)
from sigmora.analysis._winzorization import Winzorization, Normalization
from sigmora.analysis._neutralization import Neutralization
from sigmora.analysis._ic import ICAnalysis
from sigmora.analysis._quantile import QuantileReturnAnalysis
from sigmora.analysis._factor_return import FactorReturnAnalysis
from sigmora.analysis._tradable import REMOVED_KEY, TradableUniverse

__all__ = [
    "Winzorization",
    "Normalization",
    "Neutralization",
    "ICAnalysis",
    "QuantileReturnAnalysis",
    "FactorReturnAnalysis",
    "TradableUniverse",
    "FactorVarodyne",
]


# ----------------------------------------------------------------------------- engine

class FactorVarodyne(object):
    """Factor test engine."""

    def __init__(self):
        self.preprocess_pipelines = []
        self.analysis_pipelines = defaultdict(FactorAnalyser)
        self.__exists_step_names = []

    def append(self, step: tuple):
        """Build one step of the factor test.

        :param step: a tuple of a name and a processor, e.g. ("winzorize", Winzorization(method='mad')).
            Preprocessing choices: TradableUniverse (only what could be traded at the factor date's
            close), Winzorization (outlier treatment), Neutralization (neutralisation),
            Normalization (standardisation). Analysis choices: ICAnalysis (IC analysis),
            QuantileReturnAnalysis (quantile group returns), FactorReturnAnalysis (factor returns).

        Example::

            from sigmora.analysis.varodyne import *
            engine = FactorVarodyne()
            engine.append(("step_winsorize", Winzorization(method='mad')))
            engine.append(("step_ic_analysis",
                           ICAnalysis(rank_ic=True, industry_classification='citics_2019', max_decay=20)))
        """
        if step is None:
            raise TypeError("'NoneType' object is not iterable")
        if not isinstance(step, tuple):
            raise TypeError("Argument 'step' has incorrect type (expected tuple, got {})".format(
                type(step).__name__))
        name, processor = step
        if name in self.__exists_step_names:
            raise RuntimeError("pipeline step name={} already exists, please use another name.".format(name))
        # The name stays taken even when the processor is rejected below.
        self.__exists_step_names.append(name)
        if isinstance(processor, FactorPreprocessor):
            self.preprocess_pipelines.append(step)
        elif isinstance(processor, FactorAnalyser):
            processor.step_name = name
            self.analysis_pipelines[name] = processor
        else:
            raise ValueError("Invalid step={}, unknown processor={}".format(name, processor))

    def analysis(self, factor_data, returns, ascending=False, periods=1, keep_preprocess_result=False):
        """Run the factor test.

        :param factor_data: factor values, a table indexed by a DatetimeIndex with order_book_id columns
        :param returns: "daily", or a table whose index and columns should match those of factor_data
        :param ascending: the factor's sort direction, default False (descending)
        :param periods: the test horizons, a tuple, list or int, default 1
        :param keep_preprocess_result: whether to keep the preprocessing results, default False
        :return: dict

        Example::

            import tidewell
            from sigmora.analysis.varodyne import *
            ids = tidewell.index_components("000300.XSHG")
            factor = tidewell.get_factor(ids, "pb_ratio", "2024-01-02", "2024-06-28")
            factor = factor["pb_ratio"].unstack("order_book_id")
            engine = FactorVarodyne()
            engine.append(("ic_analysis", ICAnalysis()))
            result = engine.analysis(factor, returns='daily', ascending=False, periods=1,
                                     keep_preprocess_result=False)
            result["ic_analysis"].show()
        """
        if len(self.preprocess_pipelines) == 0 and len(self.analysis_pipelines) == 0:
            warnings.warn("no pipelines to execute.")
            return None
        if isinstance(periods, np.integer):
            periods = int(periods)
        assert isinstance(periods, (tuple, list, int)), "periods must be tuple/list/int, but got {}".format(
            type(periods))
        _validate_data_frame(df=factor_data, name="factor_data")
        check_dates(factor_data.index, "factor_data")
        check_columns(factor_data.columns, "factor_data")
        check_periods(periods)
        check_ascending(ascending)
        if isinstance(returns, str):
            if returns == "daily":
                returns = _daily_returns(factor_data, periods)
                check_returns_overlap(factor_data, returns)
            else:
                raise ValueError('returns: expect pd.DataFrame or "daily", got {}'.format(returns))
        else:
            _validate_data_frame(df=returns, name="returns")
            check_dates(returns.index, "returns")
            check_columns(returns.columns, "returns")
            check_returns_overlap(factor_data, returns)

        if not isinstance(periods, (tuple, list)):
            periods = [periods]

        for table in (factor_data, returns):
            table.index.name = "datetime"
            table.columns.name = "order_book_id"

        given = _coverage.values_per_date(factor_data) if self.analysis_pipelines else None
        problem = _coverage.degenerate(factor_data, counts=given) if self.analysis_pipelines else None
        result = {}
        removed = None
        for name, preprocessor in self.preprocess_pipelines:
            factor_data = preprocessor.process(factor_data)
            removed = _removed(factor_data, removed)
            if keep_preprocess_result:
                result[name] = factor_data.copy()
        coverage = None
        if self.analysis_pipelines:
            coverage = _coverage.measure(factor_data, returns, periods, given)
            coverage.degenerate = problem
            if removed is not None:
                coverage.removed_by_rule, coverage.removed_values = removed
            if problem is None:
                coverage.warn_if_thin()
            _horizons.warn_period_mismatch(factor_data.index, returns.index, periods, self.analysis_pipelines)
        for name, analyser in self.analysis_pipelines.items():
            review = getattr(analyser, "review", None)
            if review is not None and coverage is not None and coverage.degenerate is None:
                review(coverage)
            result[name] = _with_coverage(analyser.analysis(factor_data, returns, periods, ascending=ascending),
                                          coverage)
        return result


def _removed(table, so_far):
    """Adds what a screening step reports in its table's attrs (TradableUniverse) to the counts
    so far: ({rule: values removed}, values removed), or None while no step reported any. The
    report is taken off the table, so that later steps' tables do not carry it on."""
    attrs = getattr(table, "attrs", None)
    report = attrs.pop(REMOVED_KEY, None) if isinstance(attrs, dict) else None
    if report is None:
        return so_far
    by_rule, total = dict(so_far[0]) if so_far else {}, so_far[1] if so_far else 0
    for label, n in report["by_rule"].items():
        by_rule[label] = by_rule.get(label, 0) + n
    return by_rule, total + report["total"]


def _with_coverage(record, coverage):
    """Hands the run's coverage to a result record (a step may return anything else too)."""
    if hasattr(record, "__dict__") and not isinstance(record, (dict, pd.DataFrame, pd.Series)):
        try:
            record.coverage = coverage
        except AttributeError:
            pass
    return record


def _daily_returns(factor_data, periods):
    """One-day returns of post-adjusted closes, from the first factor date to `max(periods)`
    trading dates after the last one, in one price request."""
    return _market.daily_returns(factor_data, periods)


class _Module(types.ModuleType):
    """This module documents `tidewell` and the industry-data functions as names its code
    looks up; scripts and tests that replace one of them here (`varodyne.tidewell = fake`)
    replace it where the steps really look it up: the market-data seam's client, or the
    industry module's function."""

    def __setattr__(self, name, value):
        super().__setattr__(name, value)
        if name == "tidewell":
            _market.set_source(value)
        elif name in _industry.__all__:
            setattr(_industry, name, value)


sys.modules[__name__].__class__ = _Module
