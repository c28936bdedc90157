"""Literal, slow pandas/scipy transcription of the IC analysis, for testing the fast path.

Deliberate differences from the documented construction: only what the installed libraries
require (`stack` keeps missing rows now, so they are dropped explicitly), warnings silenced,
and, with `mend_single_pair`, a date whose correlation routine rejects a single pair gets
(NaN, NaN) like a date without pairs.
"""

import warnings

import numpy as np
import pandas as pd
from scipy import stats


def get_ic_func(rank_ic=False):
    func = stats.spearmanr if rank_ic else stats.pearsonr

    def wrapper(fs, rs):
        mask = ~(np.isnan(fs) | np.isnan(rs))
        if mask.sum() > 1:
            return func(fs[mask], rs[mask])
        return 0, 0

    return wrapper


def return_fields_of(columns):
    return [c for c in columns if c.startswith("P_")]


def calc_ic(factor, ret_table, ret_fields, rank_ic, mend_single_pair=True):
    func = stats.spearmanr if rank_ic else stats.pearsonr
    result = np.full((len(factor), len(ret_fields), 2), fill_value=0, dtype=float)
    for i, key in enumerate(ret_fields):
        returns = ret_table[key]
        mask = ~(np.isnan(factor) | np.isnan(returns))
        for j, (f, r, m) in enumerate(zip(factor, returns, mask)):
            try:
                result[j, i] = func(f[m], r[m])
            except ValueError:
                if not m.any() or mend_single_pair:
                    result[j, i] = (np.nan, np.nan)
                else:
                    raise
    return result[:, :, 0], result[:, :, 1]


def calc_ic_decay(factor_data, ic, max_decay, ic_func):
    if not max_decay:
        return None
    return_fields = return_fields_of(factor_data.columns)

    def _ic_calculate(g):
        f = g["factor"]
        return pd.Series({x: ic_func(g[x], f)[0] for x in return_fields})

    ic = ic.copy()
    ic["decay"] = 0
    decay_list = [ic.set_index("decay", append=True)]
    for d in range(1, max_decay):
        _factor_data = (factor_data[return_fields].unstack("order_book_id").shift(-d)
                        .stack("order_book_id").dropna(how="all"))
        _factor_data["factor"] = factor_data["factor"]
        _factor_data.dropna(inplace=True)
        ret = _factor_data.groupby(level="datetime").apply(_ic_calculate)
        ret["decay"] = d
        decay_list.append(ret.set_index("decay", append=True))
    return pd.concat(decay_list).sort_index()


def get_industry_data(factor_data, industry, load_industry_data):
    if isinstance(industry, str):
        return load_industry_data(
            order_book_ids=factor_data.index.get_level_values("order_book_id").unique(),
            dates=factor_data.index.get_level_values("datetime").unique(), source=industry)
    if isinstance(industry, dict):
        industry_series = pd.Series(industry)
    else:
        industry_series = industry.copy()
    order_book_ids = factor_data.index.get_level_values("order_book_id")
    industry_series = industry_series.reindex(order_book_ids.unique()).fillna("Unknown")
    return pd.Series(index=factor_data.index, data=industry_series[order_book_ids].values)


def calc_ic_industry_distribute(factor_data, industry, ic_func, load_industry_data):
    if industry is None:
        return None
    industry_data = get_industry_data(factor_data, industry, load_industry_data)
    return_fields = return_fields_of(factor_data.columns)

    def _classify(group):
        fs = group["factor"]
        return pd.Series({x: ic_func(group[x], fs)[0] for x in return_fields})

    return factor_data.groupby(industry_data).apply(_classify)


def ic_analysis(factor_data, returns, periods, ascending=True, rank_ic=True, industry=None, max_decay=None,
                load_industry_data=None, mend_single_pair=True):
    """Returns dict(ic, ic_p_value, ic_decay, ic_industry_distribute, df)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ret_table = {}
        cumprod = (returns.fillna(0) + 1).cumprod().ffill()
        index_ = factor_data.index.intersection(returns.index).rename("datetime")
        for p in periods:
            ret_table["P_{}".format(p)] = ((cumprod.shift(-p) / cumprod).reindex(index_) - 1).values
        factor_data = factor_data.reindex(index_, columns=returns.columns)
        if rank_ic and ascending:
            factor_data = factor_data * -1
        data = {key: np.concatenate(values) for key, values in ret_table.items()}
        data["factor"] = np.concatenate(factor_data.values)
        df = pd.DataFrame(data, index=pd.MultiIndex.from_product([index_, returns.columns],
                                                                 names=["datetime", "order_book_id"]))
        ret_fields = list(ret_table)
        ic_array, ic_p_value_array = calc_ic(factor_data.values, ret_table, ret_fields, rank_ic, mend_single_pair)
        ic = pd.DataFrame(ic_array, index=index_, columns=ret_fields)
        ic_p_value = pd.DataFrame(ic_p_value_array, index=index_, columns=ret_fields)
        ic_func = get_ic_func(rank_ic)
        ic_decay = calc_ic_decay(df, ic, max_decay, ic_func)
        ic_industry = calc_ic_industry_distribute(df, industry, ic_func, load_industry_data)
    return dict(ic=ic, ic_p_value=ic_p_value, ic_decay=ic_decay, ic_industry_distribute=ic_industry, df=df)
