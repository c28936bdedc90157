"""Working with several factors at once: how much they overlap, what a new one adds to a
set, and one factor combined from many with weights learned only from the past.

    >>> from sigmora.analysis.combination import combine, incremental_ic, value_correlation
    >>> combined = combine({"value": value, "momentum": momentum}, returns, method="icir", lookback=60)
    >>> incremental_ic(new, [value, momentum], returns, periods=(1, 5))["incremental"].summary()["ic"]

``returns`` is a dates x instruments table of each row's return over the previous row (as
``close.pct_change()`` gives it), the table the engine's IC step measures factors on.
"""

from collections.abc import Mapping

import numpy as np
import pandas as pd

from sigmora import _core
from sigmora.analysis._arrays import float_view
from sigmora.analysis._base import check_dates, holding_periods
from sigmora.analysis._ic import ICAnalysis
from sigmora.analysis._neutralization import Neutralization
from sigmora.analysis._winzorization import Normalization

__all__ = ["value_correlation", "ic_correlation", "incremental_ic", "combine", "COMBINE_METHODS"]

COMBINE_METHODS = ("equal", "ic", "icir")


def _checked_factors(factors, name="factors"):
    if not isinstance(factors, Mapping) or len(factors) == 0:
        raise ValueError("{}: expect a non-empty mapping of factor names to factor tables, got {!r}".format(
            name, type(factors).__name__))
    for key, table in factors.items():
        if not isinstance(table, pd.DataFrame) or not isinstance(table.index, pd.DatetimeIndex):
            raise ValueError("{}[{!r}]: expect a pd.DataFrame indexed by dates, got {}".format(
                name, key, type(table).__name__))
        check_dates(table.index, "{}[{!r}]".format(name, key))
    return dict(factors)


def _common_labels(factors):
    """The dates and instruments every factor has."""
    tables = list(factors.values())
    dates = tables[0].index
    ids = tables[0].columns
    for t in tables[1:]:
        dates = dates.intersection(t.index)
        ids = ids.intersection(t.columns)
    if len(dates) == 0 or len(ids) == 0:
        raise ValueError("factors: share no date and instrument ({} dates, {} instruments in common)".format(
            len(dates), len(ids)))
    return dates, ids


def _on_labels(table, dates, ids):
    """The table on these dates and instruments: itself when it has exactly them (pandas before
    copy-on-write copies every value in a reindex to the same labels)."""
    if table.index.equals(dates) and table.columns.equals(ids):
        return table
    return table.reindex(index=dates, columns=ids)


def value_correlation(factors):
    """Factor x factor table of the mean per-date rank (Spearman) correlation of their values,
    over the dates and instruments they share (pairs of values both present).

    On each date a pair is ranked among the instruments both factors have (ties share their
    average rank), as DataFrame.corr(method="spearman") does on those rows; dates with fewer
    than two such instruments, or where either side is constant, are left out of the mean.
    One kernel call computes every pair: factors with the same instruments present on a date
    are ranked once and correlated through one matrix product.
    """
    factors = _checked_factors(factors)
    names = list(factors)
    dates, ids = _common_labels(factors)
    # The kernel reads each table in the memory order pandas keeps it: no copies.
    tables = [float_view(_on_labels(t, dates, ids), str(k)) for k, t in factors.items()]
    mean, _ = _core.mean_rank_correlation(tables)
    return pd.DataFrame(mean, index=pd.Index(names, name="factor"), columns=pd.Index(names, name="factor"))


def ic_correlation(ic_by_factor, period="P_1"):
    """Factor x factor correlation of the per-date IC series of one holding period.

    :param ic_by_factor: factor name -> an IC table (dates x "P_n", e.g. a result's `.ic`) or an
        engine result holding an IC record
    """
    series = {}
    for name, value in ic_by_factor.items():
        table = value if isinstance(value, pd.DataFrame) else _ic_table(value)
        if table is None or period not in table.columns:
            raise ValueError("ic_by_factor[{!r}]: no IC of period {}".format(name, period))
        series[name] = table[period]
    out = pd.DataFrame(series).corr()
    out.index.name = out.columns.name = "factor"
    return out


def _ic_table(results):
    for record in (results.values() if isinstance(results, Mapping) else [results]):
        if isinstance(getattr(record, "ic", None), pd.DataFrame):
            return record.ic
    return None


def incremental_ic(new, existing, returns, periods=1, rank_ic=True, ascending=False):
    """The information a new factor adds to a set: the IC of `new` after regressing it, date
    by date, on the `existing` factor tables (without a constant, through the neutralization
    kernel) and keeping the residual.

    :param returns: a return table (dates x instruments), as the engine takes it
    :return: the engine's result: {"factor": IC record of `new`, "incremental": IC record of
        its residual}
    """
    from sigmora.analysis.varodyne import FactorVarodyne

    if isinstance(existing, pd.DataFrame) or not isinstance(existing, (list, tuple)) or not existing:
        raise ValueError("existing: expect a non-empty list of factor tables, got {}".format(type(existing).__name__))
    periods = tuple(holding_periods(periods))
    residual = Neutralization(industry=None, style_factors=None, other_factors=list(existing)).process(new)
    out = {}
    for label, table in (("factor", new), ("incremental", residual)):
        engine = FactorVarodyne()
        engine.append((label, ICAnalysis(rank_ic=rank_ic)))
        out[label] = engine.analysis(table, returns, ascending=ascending, periods=periods)[label]
    return out


def combine(factors, returns, method="icir", lookback=60, period=1, min_history=None, ascending=False):
    """One factor from several: each factor standardised per date, then summed with weights
    that use only ICs known strictly before the date.

    The IC of date t over a holding period of `period` rows is known once its returns are, at
    row t + period; the weights of date d therefore use the ICs of the rows t with
    t + period < d, the last `lookback` of them: their mean ("ic") or mean over standard
    deviation ("icir"), or 1 for every factor ("equal"). Dates before `min_history` such ICs
    exist (default: half the lookback) are missing. An instrument missing in some factors
    takes the weighted mean of those it has.

    :param returns: the return table the ICs are measured on (dates x instruments)
    :return: the combined factor table (dates x instruments of the factors' common span)
    """
    factors = _checked_factors(factors)
    if not isinstance(returns, pd.DataFrame):
        raise TypeError("returns: expect a dates x instruments DataFrame of each row's return (as "
                        "close.pct_change() gives it), got {!r}".format(
                            returns if isinstance(returns, str) else type(returns)))
    if method not in COMBINE_METHODS:
        raise ValueError("method: expect one of {}, got {!r}".format(COMBINE_METHODS, method))
    lookback = _positive(lookback, "lookback")
    period = holding_periods(period)[0]
    min_history = max(lookback // 2, 2) if min_history is None else _positive(min_history, "min_history")
    dates, ids = _common_labels(factors)
    scored = {k: Normalization().process(t.reindex(index=dates, columns=ids)) for k, t in factors.items()}
    weights = pd.DataFrame(1.0, index=dates, columns=list(scored))
    if method != "equal":
        ic = pd.DataFrame({k: ICAnalysis().analysis(t, returns, [period], ascending=ascending).ic["P_{}".format(period)]
                           for k, t in scored.items()}).reindex(dates)
        # Row d may use the ICs of rows up to d - period - 1: shift them period + 1 rows down.
        known = ic.shift(period + 1)
        rolling = known.rolling(lookback, min_periods=min_history)
        weights = rolling.mean() if method == "ic" else rolling.mean() / rolling.std(ddof=1)
    sign = -1.0 if ascending else 1.0
    total = np.zeros((len(dates), len(ids)))
    weight_sum = np.zeros((len(dates), len(ids)))
    for name, table in scored.items():
        values = table.to_numpy(dtype=float) * sign
        w = weights[name].to_numpy(dtype=float)[:, None]
        present = ~np.isnan(values) & np.isfinite(w)
        total += np.where(present, values * w, 0.0)
        weight_sum += np.where(present, np.abs(w), 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        combined = np.where(weight_sum > 0, total / weight_sum, np.nan)
    return pd.DataFrame(combined * sign, index=dates, columns=ids)


def _positive(value, name):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError("{}: expect a positive integer, got {!r}".format(name, value))
    return int(value)
