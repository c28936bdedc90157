"""Literal numpy/pandas transcriptions of the per-date least squares and of the
Neutralization step, and random inputs to check the core against them.

Slow and obviously faithful on purpose. `neutralize` builds the dense dates x instruments
x variables array exactly as the step documents it (style exposures, industry dummies,
user factors) and hands it to a residual routine; the one decided addition is that
factor dates before the classification's first start date carry code -1.
"""

import numpy as np
import pandas as pd

from sigmora.analysis import _industry, _market, varodyne


def lstsq_residuals(endog, exog):
    """Per date: numpy.linalg.lstsq over the instruments whose value and regressors are finite."""
    endog = np.asarray(endog, dtype=float)
    exog = np.asarray(exog, dtype=float)
    out = np.full(endog.shape, np.nan)
    for t in range(endog.shape[0]):
        y, x = endog[t], exog[t]
        ok = np.isfinite(y) & np.isfinite(x).all(axis=1)
        if not ok.any():
            continue
        if x.shape[1] == 0:
            out[t, ok] = y[ok]
            continue
        beta = np.linalg.lstsq(x[ok], y[ok], rcond=None)[0]
        out[t, ok] = y[ok] - x[ok] @ beta
    return out


def neutralize(step, df, calc_residuals):
    """The Neutralization step's documented algorithm, with `calc_residuals` as its solver."""
    index = df.index
    order_book_ids = df.columns.tolist()
    S = 0
    I = 0
    if step.style_neutralize:
        style_df = _market.source().get_style_factor_exposure(
            order_book_ids=order_book_ids, start_date=index[0], end_date=index[-1], factors=step.style_factors)
        style_factor_names = style_df.columns.tolist()
        if varodyne._is_date_frequency_index(index):
            style_df = style_df.unstack("order_book_id").reindex(index)
        else:
            style_df = style_df.unstack("order_book_id").reindex(pd.to_datetime(index.date))
            style_df.index = index
        S = len(style_factor_names)
    if step.industry:
        cat = _industry.get_all_industry_category(step.industry)
        cat = cat.reindex(columns=order_book_ids, fill_value=-1).reindex(index=df.index, method="ffill")
        cat = cat.fillna(-1)  # dates before the first classification start: no industry
        I = int(np.max(cat.values)) + 1
    others = [] if step.other_factors is None else [
        f.reindex(index=index, columns=order_book_ids) for f in step.other_factors if f is not None and len(f) > 0]
    O = len(others)
    endog = df.values
    exog = np.full((len(df), len(order_book_ids), S + I + O), np.nan, dtype=float)
    for j in range(S):
        exog[:, :, j] = style_df[style_factor_names[j]].reindex(columns=order_book_ids).values
    for j in range(I):
        exog[:, :, S + j] = (cat == j).values.astype(float)
    for j in range(O):
        exog[:, :, I + S + j] = others[j].values
    result = calc_residuals(endog, exog)
    return pd.DataFrame(data=result, index=df.index, columns=order_book_ids)


def random_design(rng, T, N, K, nan_rate=0.05):
    """endog T x N and exog T x N x K with scattered NaN and infinities."""
    endog = rng.normal(size=(T, N))
    exog = rng.normal(size=(T, N, K))
    endog[rng.random((T, N)) < nan_rate] = np.nan
    exog[rng.random((T, N, K)) < nan_rate / max(K, 1)] = np.nan
    if T * N:
        endog.flat[rng.integers(T * N)] = np.inf
    if T * N * K:
        exog.flat[rng.integers(T * N * K)] = -np.inf
    return endog, exog


def relative_gap(a, b):
    """Largest |a - b| per date over the finite cells, relative to that date's largest |b|
    (NaN and infinite cells must agree exactly)."""
    a = np.asarray(a, dtype=float)
    b = np.asarray(b, dtype=float)
    assert np.array_equal(np.isnan(a), np.isnan(b)), "missing cells differ"
    infinite = np.isinf(b)
    assert np.array_equal(np.isinf(a), infinite) and np.array_equal(a[infinite], b[infinite]), \
        "infinite cells differ"
    gap = 0.0
    for ra, rb in zip(a, b):
        ok = np.isfinite(rb)
        if ok.any():
            gap = max(gap, float(np.max(np.abs(ra[ok] - rb[ok])) / max(1.0, np.max(np.abs(rb[ok])))))
    return gap
