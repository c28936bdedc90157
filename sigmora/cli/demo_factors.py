"""The demo: its factor window in the store, its two factors (the planted signal and a price
reversal), its periods and benchmark."""

import pandas as pd

from sigmora.cli.errors import UsageError

__all__ = ["DEFAULT_PERIODS", "DEMO_BENCHMARK", "REVERSAL_DAYS", "demo_window", "reversal_factor",
           "demo_factors"]

DEFAULT_PERIODS = (1, 5, 10, 20)
DEMO_BENCHMARK = "000300.XSHG"
REVERSAL_DAYS = 5
# The steps of the demo (the default pipeline), as the tear sheet describes them.
DEMO_STEPS = ("Winzorization('mad'), Neutralization(), Normalization(), "
              "ICAnalysis(industry_classification='citics_2019', max_decay=20), "
              "QuantileReturnAnalysis(benchmark='000300.XSHG'), FactorReturnAnalysis()")


def _bar_range(store_path):
    import tidewell
    bars = tidewell.info(store_path)["tables"].get("daily_bars") or {}
    if not bars.get("first"):
        raise UsageError("--store: the store at {} holds no daily bars".format(store_path))
    return pd.Timestamp(bars["first"]), pd.Timestamp(bars["last"])


def demo_window(store_path, max_period):
    """Factor dates that fit the store's bars: from a year after the first bar (ten dates for
    stores shorter than two years) to the last month end whose forward returns over
    ``max_period`` dates still lie inside the bars."""
    from sigmora.analysis import _market
    first, last = _bar_range(store_path)
    dates = _market.trading_date_index(first, last)
    if len(dates) < max_period + 60:
        raise UsageError("--store: {} trading dates of bars are too few for periods up to {}".format(
            len(dates), max_period))
    if last - first > pd.Timedelta(days=2 * 365):
        start = dates[dates.searchsorted(first + pd.DateOffset(years=1))]
    else:
        start = dates[10]
    last_usable = dates[-(max_period + 1)]
    end = dates[dates < last_usable.replace(day=1)][-1]
    return start, end


def _stock_ids():
    from sigmora.analysis import _market
    table = _market.all_instruments(type="CS")
    return sorted(table["order_book_id"].tolist())


def reversal_factor(days=REVERSAL_DAYS):
    """Minus the ``days``-day return of post-adjusted closes, as a factor expression."""
    from sigmora.evaluation import lag
    from sigmora.leaves import bar_field
    close = bar_field("close", adjust_type="post")
    return (lag(close, days) - close) / lag(close, days)


def demo_factors(start, end):
    """The planted signal of the demo market and the 5-day price reversal, dates x stocks."""
    from sigmora.analysis import _market
    from sigmora.evaluation import evaluate
    ids = _stock_ids()
    planted = _market.signal(ids, start, end, "planted")
    if planted is None:
        raise UsageError("the store has no 'planted' signal between {} and {}".format(start.date(), end.date()))
    planted.index = pd.DatetimeIndex(planted.index)
    reversal = evaluate(reversal_factor(), ids, start, end)
    return {"planted": planted.astype(float), "reversal_{}d".format(REVERSAL_DAYS): reversal}
