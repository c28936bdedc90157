"""The factor-testing pipeline: named preprocessing steps, then analysis steps.

    >>> from sigmora.analysis.varodyne import FactorVarodyne, Winzorization, ICAnalysis
    >>> engine = FactorVarodyne()
    >>> engine.append(("winsorize", Winzorization(method="mad")))
    >>> engine.append(("ic", ICAnalysis()))
    >>> result = engine.analysis(factor, "daily", periods=(1, 5))

The engine, the step base classes, the shared helpers and the industry data live here;
each concrete step lives in a module of its own and is re-exported below.
"""

import datetime
import warnings
from collections import defaultdict, ChainMap
from typing import Dict, Sequence

import pandas as pd
import numpy as np
from scipy import stats

import tidewell
from tidewell.decorators import ttl_cache

from sigmora.analysis.winsorize import WINSORIZE_METHODS, BATCH_WINSORIZE_METHODS
from sigmora.analysis.analysis_result import *  # noqa: F401,F403
from sigmora.analysis.ols import calc_residuals

__all__ = [
    "Winzorization",
    "Normalization",
    "Neutralization",
    "ICAnalysis",
    "QuantileReturnAnalysis",
    "FactorReturnAnalysis",
    "FactorVarodyne",
]

VALID_INDUSTRY_SOURCE = ("citics_2019", "sws")
VALID_WINSORIZE_METHODS = set(ChainMap(BATCH_WINSORIZE_METHODS, WINSORIZE_METHODS).keys())
FIELD_MAPPING = {"citics_2019": "first_industry_name", "sws": "index_name"}

# Boundaries between the versions of the "sws" classification.
_SWS_VERSION_2_AFTER = pd.Timestamp("2014-01-01")
_SWS_VERSION_3_AFTER = pd.Timestamp("2021-07-31")


# ----------------------------------------------------------------------------- helpers

def _validate_data_frame(df, name):
    if not isinstance(df, pd.DataFrame):
        raise ValueError("{}: expect pd.DataFrame, got {}".format(name, type(df)))
    if not isinstance(df.index, pd.DatetimeIndex):
        raise ValueError("{}: expect index type=pd.DatetimeIndex, got {}".format(name, type(df.index)))
    if df.empty:
        raise ValueError("Empty factor data source!")


def _get_return_fields(columns):
    return [c for c in columns if c.startswith("P_")]


def _get_datetime_freq(index: pd.DatetimeIndex):
    if not np.all(index.second == 0):
        return "tick"
    if not np.all(index.minute == 0):
        return "1m"
    if np.all(index.time == datetime.time(0, 0)):
        return "1d"
    raise ValueError("Unknown datetime index: {}".format(index))


def _is_date_frequency_index(index: pd.DatetimeIndex):
    return _get_datetime_freq(index) == "1d"


# ----------------------------------------------------------------------------- step bases

class FactorPreprocessor(object):
    """Base class of factor-data preprocessing."""

    def process(self, factor_data):
        raise NotImplementedError("Need implement FactorPreprocessor.process")


class FactorAnalyser(object):
    step_name = "FactorAnalysisStep"

    def analysis(self, factor_data, returns, periods, ascending=True):
        raise NotImplementedError("Need implement FactorAnalyser.analysis")


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
            Preprocessing choices: Winzorization (outlier treatment), Neutralization (neutralisation),
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
        assert isinstance(periods, (tuple, list, int)), "periods must be tuple/list/int, but got {}".format(
            type(periods))
        _validate_data_frame(df=factor_data, name="factor_data")
        if isinstance(returns, str):
            if returns == "daily":
                returns = _daily_returns(factor_data, periods)
            else:
                raise ValueError('returns: expect pd.DataFrame or "daily", got {}'.format(returns))
        else:
            _validate_data_frame(df=returns, name="returns")

        if not isinstance(periods, (tuple, list)):
            periods = [periods]

        for table in (factor_data, returns):
            table.index.name = "datetime"
            table.columns.name = "order_book_id"

        result = {}
        for name, preprocessor in self.preprocess_pipelines:
            factor_data = preprocessor.process(factor_data)
            if keep_preprocess_result:
                result[name] = factor_data.copy()
        for name, analyser in self.analysis_pipelines.items():
            result[name] = analyser.analysis(factor_data, returns, periods, ascending=ascending)
        return result


def _daily_returns(factor_data, periods):
    """One-day returns of post-adjusted closes, from the first factor date to `max(periods)`
    trading dates after the last one, in one price request."""
    p_max = max(periods) if isinstance(periods, (tuple, list)) else periods
    _end_date = tidewell.get_next_trading_date(factor_data.index[-1], p_max)
    start = tidewell.get_previous_trading_date(factor_data.index[0])
    price = tidewell.get_price(order_book_ids=factor_data.columns, start_date=start, end_date=_end_date,
                               fields="close", adjust_type="post", expect_df=True)
    close = price["close"].unstack(0)
    # A suspended day keeps the last close, so the day trading resumes is measured from it.
    return close.ffill().pct_change().iloc[1:]


# ----------------------------------------------------------------------------- industry data

@ttl_cache(10800)
def get_all_industry_data(source="citics_2019"):
    field = FIELD_MAPPING.get(source)
    if source == "citics_2019":
        data = tidewell.client.get_client().execute("__internal__zx2019_industry")
        df = pd.DataFrame(data, columns=[field, "order_book_id", "start_date"])
    elif source == "sws":
        data = tidewell.client.get_client().execute("__internal__shenwan_industry")
        df = pd.DataFrame(data, columns=["index_name", "order_book_id", "start_date", "version"])
        # Keep only the records of the classification version in force at their start date.
        df["select"] = 1
        df.loc[df["start_date"] > _SWS_VERSION_2_AFTER, "select"] = 2
        df.loc[df["start_date"] > _SWS_VERSION_3_AFTER, "select"] = 3
        df = df[df["version"] == df["select"]]
    else:
        raise ValueError("source: invalid source={}, expect one of [sws, citics_2019]".format(source))
    df = df.sort_values(["order_book_id", "start_date"], ascending=True)
    return df[[field, "order_book_id", "start_date"]]


@ttl_cache(10800)
def get_all_industry_category(source="citics_2019"):
    df = get_all_industry_data(source).copy()
    field = FIELD_MAPPING[source]
    df[field] = df[field].astype("category").cat.codes
    df = df.pivot(index="start_date", columns="order_book_id", values=field)
    df = df.ffill().bfill()
    return df.astype(int)


def _load_industry_data(order_book_ids, dates, source="citics_2019"):
    """Load the industry classification data.

    :return: pd.Series indexed by (datetime, order_book_id) holding industry names
    """
    df = get_all_industry_data(source)
    # Reshaping and filling run on integer codes of the names (far cheaper than on text);
    # the names are put back at the end.
    names = df[FIELD_MAPPING[source]].astype("category")
    df = df.assign(**{FIELD_MAPPING[source]: names.cat.codes.astype(np.float64)})
    df = df.pivot(index="start_date", columns="order_book_id", values=FIELD_MAPPING[source])
    # The fills run column by column: instruments nobody asked for need none.
    df = df[df.columns.intersection(pd.Index(order_book_ids))]
    # An instrument keeps its latest industry until a newer record says otherwise, so the
    # calendar reaches to the last requested date, not only to the last record's start.
    last = df.index[-1]
    requested = pd.DatetimeIndex(dates)
    if len(requested) and requested.max().normalize() > last:
        last = requested.max().normalize()
    df = df.reindex(pd.to_datetime(tidewell.get_trading_dates(df.index[0], last)))
    df = df.ffill().bfill()
    df = df.reindex(columns=order_book_ids, index=dates)
    codes = df.stack().dropna()
    return pd.Series(names.cat.categories.take(codes.to_numpy().astype(np.int64)), index=codes.index,
                     name=codes.name)


from sigmora.analysis._winzorization import Winzorization, Normalization  # noqa: E402
from sigmora.analysis._neutralization import Neutralization  # noqa: E402
from sigmora.analysis._ic import ICAnalysis  # noqa: E402
from sigmora.analysis._quantile import QuantileReturnAnalysis  # noqa: E402
from sigmora.analysis._factor_return import FactorReturnAnalysis  # noqa: E402
