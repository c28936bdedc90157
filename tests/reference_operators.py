"""Literal pandas/numpy transcriptions of the expression operators (sigmora/operators.py), on
dates x instruments DataFrames. They define what the kernels must compute; they are written
for clarity, not speed.

Time series follow pandas' rolling(d, min_periods=d) (a window with a missing value is
missing); cross sections skip missing values.
"""
import numpy as np
import pandas as pd


def _roll(x, d):
    return x.rolling(d, min_periods=d)


def _nan_where(df, mask):
    return df.mask(mask)


def _constant_windows(x, d):
    """True where the window of d rows is complete and all its values are equal."""
    return (_roll(x, d).max() == _roll(x, d).min())


# ----------------------------------------------------------------------------- time series

def ts_delay(x, d):
    return x.shift(d)


def ts_delta(x, d):
    return x - x.shift(d)


def ts_sum(x, d):
    return _roll(x, d).sum()


def ts_mean(x, d):
    return _roll(x, d).mean()


def ts_std(x, d):
    # numpy's two-pass deviation of each window: pandas' own rolling std updates a running
    # mean and loses digits when the deviation is tiny next to the level (2e-3 relative for
    # two-day windows of prices near 300 moving by 0.001).
    return _roll(x, d).apply(lambda w: np.std(w, ddof=1) if len(w) > 1 else np.nan, raw=True)


def ts_min(x, d):
    return _roll(x, d).min()


def ts_max(x, d):
    return _roll(x, d).max()


def ts_argmin(x, d):
    return _roll(x, d).apply(np.argmin, raw=True) + 1


def ts_argmax(x, d):
    return _roll(x, d).apply(np.argmax, raw=True) + 1


def ts_rank(x, d):
    return _roll(x, d).rank(method="average", pct=True)


def ts_product(x, d):
    return _roll(x, d).apply(np.prod, raw=True)


def _pairwise(x, y):
    # A day where either operand is missing is missing for both.
    return x + 0 * y, y + 0 * x


def _two_windows(x, y, d, fn):
    """fn(window of x, window of y) for each complete window of d rows without a missing day."""
    x, y = _pairwise(x, y)
    out = pd.DataFrame(np.nan, index=x.index, columns=x.columns)
    xv, yv = x.to_numpy(), y.to_numpy()
    for j in range(x.shape[1]):
        for t in range(d - 1, x.shape[0]):
            a, b = xv[t - d + 1:t + 1, j], yv[t - d + 1:t + 1, j]
            if np.isfinite(a).all() and np.isfinite(b).all():   # pandas' windows skip infinities too
                out.iat[t, j] = fn(a, b)
    return out


def ts_corr(x, y, d):
    def corr(a, b):
        if d < 2 or np.all(a == a[0]) or np.all(b == b[0]):
            return np.nan   # a constant window has no correlation
        return np.clip(np.corrcoef(a, b)[0, 1], -1, 1)
    return _two_windows(x, y, d, corr)


def ts_cov(x, y, d):
    def cov(a, b):
        if d < 2:
            return np.nan
        if np.all(a == a[0]) or np.all(b == b[0]):
            return 0.0
        return np.cov(a, b, ddof=1)[0, 1]
    return _two_windows(x, y, d, cov)


def ts_decay_linear(x, d):
    weights = np.arange(1, d + 1, dtype=float)
    weights /= weights.sum()
    return _roll(x, d).apply(lambda w: np.dot(w, weights), raw=True)


def ts_zscore(x, d):
    def z(w):
        if len(w) < 2 or np.all(w == w[0]):
            return np.nan
        return (w[-1] - w.mean()) / np.std(w, ddof=1)
    return _roll(x, d).apply(z, raw=True)


def ts_ema(x, d, alpha=None):
    alpha = 2.0 / (d + 1.0) if alpha is None else alpha
    weights = (1.0 - alpha) ** np.arange(d)[::-1]   # oldest first
    weights /= weights.sum()
    return _roll(x, d).apply(lambda w: np.dot(w, weights), raw=True)


def _fit(w):
    t = np.arange(1, len(w) + 1, dtype=float)
    slope, intercept = np.polyfit(t, w, 1)
    return t, slope, intercept


def ts_slope(x, d):
    if d < 2:
        return x * np.nan
    return _roll(x, d).apply(lambda w: _fit(w)[1], raw=True)


def ts_rsquare(x, d):
    if d < 2:
        return x * np.nan

    def r2(w):
        if np.all(w == w[0]):
            return np.nan
        return np.corrcoef(np.arange(1, len(w) + 1), w)[0, 1] ** 2

    return _roll(x, d).apply(r2, raw=True)


def ts_resid(x, d):
    if d < 2:
        return x * np.nan

    def resid(w):
        t, slope, intercept = _fit(w)
        return w[-1] - (intercept + slope * t[-1])

    return _roll(x, d).apply(resid, raw=True)


# ----------------------------------------------------------------------------- cross sections

def cs_rank(x):
    return x.rank(axis=1, method="average", pct=True)


def cs_zscore(x):
    z = x.sub(x.mean(axis=1), axis=0).div(x.std(axis=1), axis=0)
    constant = x.nunique(axis=1) <= 1
    return z.mask(np.repeat(constant.to_numpy()[:, None], x.shape[1], axis=1) | ~np.isfinite(z))


def cs_scale(x, a=1.0):
    return x.div(x.abs().sum(axis=1), axis=0) * a


def cs_demean(x):
    return x.sub(x.mean(axis=1), axis=0)


def _by_group(x, groups, how):
    long = pd.DataFrame({"x": x.stack(future_stack=True), "g": groups.stack(future_stack=True)})
    long = long[long["g"].notna()]
    date = long.index.get_level_values(0)
    out = how(long.groupby([date, long["g"]])["x"])
    return out.unstack().reindex(index=x.index, columns=x.columns)


def group_neutralize(x, groups):
    return _by_group(x, groups, lambda g: g.obj - g.transform("mean"))


def group_rank(x, groups):
    return _by_group(x, groups, lambda g: g.rank(method="average", pct=True))


# ----------------------------------------------------------------------------- element-wise

def IF(cond, a, b):
    out = pd.DataFrame(np.where(cond != 0, a, b), index=cond.index, columns=cond.columns)
    return out.mask(cond.isna())


def sign(x):
    return np.sign(x)


def log(x):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.log(x)


def signed_power(x, e):
    return np.sign(x) * x.abs() ** e


def maximum(a, b):
    return np.maximum(a, b)


def minimum(a, b):
    return np.minimum(a, b)
