"""Literal pandas transcriptions of the documented portfolio analyses, slow and obviously
faithful, to test the fast path against. Old-pandas defaults are spelled out where today's
pandas changed them (pct_change fills forward first, positional access with iloc,
group_keys=False for like-indexed group results, object dtype for the label table).

Two departures from the documented construction, both switchable:
- `carry_rows=True` (factor returns): each rebalance row's weights are carried forward as
  a whole row; False is the documented column-wise forward fill.
- a quantile level with nothing to unstack (none of its rebalance rows has a labelled
  instrument) contributes nothing to the returns and turnover, where the documented code
  fails (returns) or turns the averaged column into objects (turnover).
"""

import warnings

import numpy as np
import pandas as pd


def my_quantile(arr, q=1, labels=None):
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
    res[msk] = labels[np.digitize(x, bins, True) - 1]
    return res


def quantile_analysis(factor_data, returns, periods, ascending, quantile=5, benchmark_loader=None, weights=None):
    """Returns the keyword arguments of the documented result record (without name).

    `weights` (a dates x instruments table, or None for equal weights): a group's value on a
    date is the weight-averaged growth of its members since the rebalance, each member
    weighted by its weight on the factor date before the rebalance row (held, like the label,
    through the block), members without a positive weight or without growth left out."""
    unavailable_periods = [p for p in periods if p >= len(factor_data)]
    if unavailable_periods:
        periods = [p for p in periods if p not in unavailable_periods]
        if not periods:
            raise ValueError("Invalid periods, must be less than {}".format(len(factor_data)))
        warnings.warn("Invalid periods found: {}, will ignore.".format(unavailable_periods))
    factor = factor_data.shift(1)
    tags = np.array(["q{}".format(i) for i in range(1, quantile + 1)])
    cum_returns = returns.add(1).cumprod()
    cum_returns = cum_returns.reindex(factor.index, columns=factor.columns)
    quantile_returns = pd.DataFrame(
        index=pd.MultiIndex.from_product([tags, cum_returns.index], names=["tag", "datetime"]))
    quantile_turnover = quantile_returns.copy()
    multi_index = pd.MultiIndex.from_product([cum_returns.index, cum_returns.columns],
                                             names=["datetime", "order_book_id"])
    df_sample = pd.DataFrame(index=multi_index)
    shape = cum_returns.shape
    data_length = len(multi_index)
    ranked = factor.rank(method="first", ascending=ascending, axis=1)
    tags_value = np.apply_along_axis(my_quantile, axis=1, arr=ranked.values, q=quantile, labels=tags)
    cum_value = cum_returns.values
    div_value = cum_returns.shift(1, fill_value=1).values
    if weights is not None:
        w_value = weights.reindex(factor.index, columns=factor.columns).shift(1).values.astype(float)
        w_value[~(w_value > 0)] = np.nan

    def _calc_turnover(x):
        x = x.reset_index().groupby("datetime").agg({"order_book_id": set})["order_book_id"]
        diff = x.diff()
        diff.iat[0] = set()
        return diff.apply(len) / x.apply(len)

    def _staggered(values, lv, period):
        held = np.repeat(values[lv::period], period, axis=0)
        held = np.resize(held, shape)
        held = np.roll(held, shift=lv, axis=0)
        held[:lv] = np.nan
        return held

    for period in periods:
        period_tags = df_sample.copy()
        period_returns = df_sample.copy()
        period_weights = df_sample.copy()
        for lv in range(1, period + 1):
            column = "lv{}".format(lv)
            period_tags[column] = np.resize(_staggered(tags_value, lv, period), data_length)
            period_returns[column] = np.resize(cum_value / _staggered(div_value, lv, period), data_length)
            if weights is not None:
                period_weights[column] = np.resize(_staggered(w_value, lv, period), data_length)

        def _weighted_means(lv_returns, lv_name):
            w = period_weights[lv_name]
            ok = lv_returns.notna() & (w > 0)
            parts = pd.DataFrame({"num": (lv_returns * w).where(ok, 0.0), "den": w.where(ok, 0.0)})
            sums = parts.groupby([period_tags[lv_name], parts.index.get_level_values("datetime")]).sum()
            return (sums["num"] / sums["den"]).where(sums["den"] > 0)

        def _calc_level_returns_of_period(lv_returns):
            lv_name = lv_returns.name
            if weights is None:
                _returns = lv_returns.groupby(period_tags[lv_name]).apply(
                    lambda x: x.groupby(level="datetime").mean())
            else:
                _returns = _weighted_means(lv_returns, lv_name)
            if _returns.empty:  # no labelled instrument on any rebalance row: nothing to add
                return pd.Series(dtype=float)
            _returns = _returns.unstack(0)
            pct = _returns.ffill().pct_change()
            pct.iloc[::period] = _returns.iloc[::period] - 1
            return pct.unstack()

        column = "P_{}".format(period)
        quantile_returns[column] = period_returns.apply(_calc_level_returns_of_period).mean(axis=1)
        quantile_turnover[column] = period_tags.apply(
            lambda lv_components: lv_components.groupby(lv_components).apply(_calc_turnover)
            if lv_components.notna().any() else pd.Series(dtype=float)).mean(axis=1)

    quantile_returns.fillna(0, inplace=True)
    quantile_long_short_returns = quantile_returns.loc[tags[0]] - quantile_returns.loc[tags[-1]]
    quantile_long_short_returns = quantile_long_short_returns.add(1).cumprod().sub(1)
    quantile_returns = quantile_returns.groupby(level="tag", group_keys=False).apply(
        lambda x: x.add(1).cumprod().sub(1))
    benchmark_returns = benchmark_loader(factor.index) if benchmark_loader else None
    quantile_detail = pd.DataFrame(data=tags_value, index=factor.index, columns=factor.columns, dtype=object)
    return dict(quantile_turnover=quantile_turnover, quantile_returns=quantile_returns,
                quantile_detail=quantile_detail, benchmark_return=benchmark_returns,
                top_minus_bottom_returns=quantile_long_short_returns)


def factor_returns(factor_data, returns, periods, ascending, carry_rows=True):
    factor = factor_data.shift(1)
    demean = factor.sub(factor.mean(axis=1), axis=0)
    weights = demean.div(demean.abs().sum(axis=1), axis=0)
    if ascending:
        weights = -weights
    cum_returns = returns.add(1).cumprod()
    cum_returns = cum_returns.reindex(factor.index, columns=factor.columns)
    factor_returns = pd.DataFrame(index=factor.index, columns=["P_{}".format(p) for p in periods])
    factor_returns.index.name = "datetime"
    positions = np.arange(len(factor))
    for period in periods:
        res = []
        for lv in range(1, period + 1):
            if carry_rows:
                rebalance = np.where(positions >= lv, lv + (positions - lv) // period * period, 0)
                weight = weights.iloc[rebalance].set_axis(factor.index)
                weight.iloc[:lv] = np.nan
            else:
                weight = weights[lv::period].reindex(factor.index).ffill()
            div_factor = cum_returns.shift(1, fill_value=1)[lv::period].reindex(cum_returns.index).ffill()
            _returns = cum_returns / div_factor - 1
            wr = (weight * _returns).sum(axis=1)
            change_rate = wr.add(1).ffill().pct_change()
            change_rate.iloc[lv::period] = wr.iloc[lv::period]
            res.append(change_rate)
        factor_returns["P_{}".format(period)] = pd.concat(res, axis=1).mean(axis=1)
    return factor_returns.fillna(0).add(1).cumprod().sub(1)


def random_case(seed, rows=24, cols=9, misalign=False):
    """A factor and a return table with the awkward patterns of real data: missing cells,
    ties, an all-equal date, an empty date, a suspended instrument (no factor and no
    return for a stretch), infinite values, and optionally a return table on other dates
    and instruments than the factor table."""
    rng = np.random.default_rng(seed)
    dates = pd.date_range("2021-01-04", periods=rows, freq="B", name="datetime")
    ids = pd.Index(["S{:03d}".format(i) for i in range(cols)], name="order_book_id")
    factor = rng.normal(size=(rows, cols))
    factor[:, : cols // 3] = np.round(factor[:, : cols // 3])  # ties
    factor[rng.random((rows, cols)) < 0.15] = np.nan
    if rows > 4:
        factor[rng.integers(1, rows - 1)] = 0.5  # all equal
        factor[rng.integers(1, rows - 1)] = np.nan  # empty date
    returns = rng.normal(scale=0.03, size=(rows, cols))
    returns[rng.random((rows, cols)) < 0.1] = np.nan
    if rows > 6 and cols > 1:
        j, start = rng.integers(0, cols), rng.integers(1, rows - 4)
        factor[start:start + 4, j] = np.nan
        returns[start:start + 4, j] = np.nan
    if seed % 3 == 0:
        factor[rng.integers(0, rows), rng.integers(0, cols)] = np.inf
        factor[rng.integers(0, rows), rng.integers(0, cols)] = -np.inf
        returns[rng.integers(0, rows), rng.integers(0, cols)] = np.inf
    factor = pd.DataFrame(factor, index=dates, columns=ids)
    returns = pd.DataFrame(returns, index=dates, columns=ids)
    if misalign:
        extra = pd.date_range(dates[0] - pd.Timedelta(days=10), periods=3, freq="D", name="datetime")
        returns = pd.concat([pd.DataFrame(rng.normal(scale=0.03, size=(3, cols)), index=extra, columns=ids),
                             returns.drop(index=dates[rows // 2])])
        returns = returns.drop(columns=ids[-1])
        returns["X_EXTRA"] = rng.normal(scale=0.03, size=len(returns))
    return factor, returns
