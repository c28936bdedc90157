"""Literal pandas transcriptions of the "101 Formulaic Alphas" (Kakushadze 2016) that
sigmora/alphas.py ships, on dates x instruments DataFrames.

`alphas(data)` takes a dict of frames over the same dates and instruments: open, high, low,
close (post-adjusted), volume, turnover, close_raw (unadjusted close) and industry (group
codes), and returns {number: frame}. Each formula is written from the paper's text with the
pandas spelling of each operator below (pandas' own rolling statistics where they exist).

Conventions the paper leaves open, as sigmora documents them: comparisons are 1.0 / 0.0 and
missing where an operand is; a correlation over a constant window is missing; windows are
floored; adv{d} is the mean volume in shares; IndNeutralize at any level uses the one
classification; vwap is turnover / volume on the post-adjusted scale.
"""
import math

import numpy as np
import pandas as pd

from tests import reference_operators as ref


# ----------------------------------------------------------------------------- the operators

def _w(d):
    return int(math.floor(d))


def rank(x):
    return x.rank(axis=1, method="average", pct=True)


def delay(x, d):
    return x.shift(_w(d))


def delta(x, d):
    return x - x.shift(_w(d))


def ts_sum(x, d):
    return x.rolling(_w(d), min_periods=_w(d)).sum()


def product(x, d):
    return x.rolling(_w(d), min_periods=_w(d)).apply(np.prod, raw=True)


def _windows(x, d):
    """The trailing windows of d rows: an array (T, N, d), NaN-filled before the first full one."""
    values = x.to_numpy(dtype=float)
    full = np.full(values.shape + (d,), np.nan)
    if values.shape[0] >= d:
        full[d - 1:] = np.lib.stride_tricks.sliding_window_view(values, d, axis=0)
    return full


def _frame(values, like):
    return pd.DataFrame(values, index=like.index, columns=like.columns)


def stddev(x, d):
    """Two-pass sample deviation of each window (pandas' running update loses digits)."""
    d = _w(d)
    w = _windows(x, d)
    with np.errstate(all="ignore"):
        dev = w - w.mean(axis=-1, keepdims=True)
        sd = np.sqrt((dev * dev).sum(axis=-1) / (d - 1)) if d > 1 else np.full(w.shape[:2], np.nan)
    return _frame(sd, x).mask(ref._constant_windows(x, d) & x.notna(), 0.0)


def ts_min(x, d):
    return x.rolling(_w(d), min_periods=_w(d)).min()


def ts_max(x, d):
    return x.rolling(_w(d), min_periods=_w(d)).max()


def ts_argmax(x, d):
    return x.rolling(_w(d), min_periods=_w(d)).apply(np.argmax, raw=True) + 1


def ts_argmin(x, d):
    return x.rolling(_w(d), min_periods=_w(d)).apply(np.argmin, raw=True) + 1


def ts_rank(x, d):
    return x.rolling(_w(d), min_periods=_w(d)).rank(method="average", pct=True)


def _centred_sums(x, y, d):
    x, y = x + 0 * y, y + 0 * x          # a day missing in either is missing in both
    wx, wy = _windows(x, d), _windows(y, d)
    with np.errstate(all="ignore"):
        dx = wx - wx.mean(axis=-1, keepdims=True)
        dy = wy - wy.mean(axis=-1, keepdims=True)
        sxy, sxx, syy = (dx * dy).sum(axis=-1), (dx * dx).sum(axis=-1), (dy * dy).sum(axis=-1)
    constant = ref._constant_windows(x, d) | ref._constant_windows(y, d)
    return x, sxy, sxx, syy, constant


def correlation(x, y, d):
    """Two-pass correlation of each window; missing for a constant window."""
    d = _w(d)
    x, sxy, sxx, syy, constant = _centred_sums(x, y, d)
    with np.errstate(all="ignore"):
        r = _frame(np.clip(sxy / np.sqrt(sxx * syy), -1, 1), x)
    r = r.mask(constant | ~np.isfinite(r))
    if d == 2:
        r = np.sign(r)       # two points are perfectly correlated
    return r


def covariance(x, y, d):
    """Two-pass sample covariance of each window; 0 for a constant window."""
    d = _w(d)
    x, sxy, sxx, syy, constant = _centred_sums(x, y, d)
    with np.errstate(all="ignore"):
        c = _frame(sxy / (d - 1) if d > 1 else np.full(sxy.shape, np.nan), x)
    return c.mask(constant & c.notna(), 0.0)


def decay_linear(x, d):
    d = _w(d)
    weights = np.arange(1, d + 1, dtype=float)
    weights /= weights.sum()
    return x.rolling(d, min_periods=d).apply(lambda w: np.dot(w, weights), raw=True)


def scale(x, a=1.0):
    return x.div(x.abs().sum(axis=1), axis=0) * a


def sign(x):
    return np.sign(x)


def log(x):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.log(x)


def signed_power(x, e):
    return np.sign(x) * x.abs() ** e


def _as_frame(v, like):
    if isinstance(v, pd.DataFrame):
        return v
    return pd.DataFrame(float(v), index=like.index, columns=like.columns)


def _cmp(op, a, b):
    like = a if isinstance(a, pd.DataFrame) else b
    a, b = _as_frame(a, like), _as_frame(b, like)
    out = op(a, b).astype(float)
    return out.mask(a.isna() | b.isna())


def lt(a, b):
    return _cmp(lambda p, q: p < q, a, b)


def gt(a, b):
    return _cmp(lambda p, q: p > q, a, b)


def eq(a, b):
    return _cmp(lambda p, q: p == q, a, b)


def or_(a, b):
    return _cmp(lambda p, q: (p != 0) | (q != 0), a, b)


def where(cond, a, b):
    """cond ? a : b, missing where cond is."""
    a, b = _as_frame(a, cond), _as_frame(b, cond)
    return pd.DataFrame(np.where(cond != 0, a, b), index=cond.index, columns=cond.columns).mask(cond.isna())


def emax(a, b):
    return np.maximum(a, b)


def emin(a, b):
    return np.minimum(a, b)


# ----------------------------------------------------------------------------- the formulas

def alphas(data):
    open_, high, low, close = data["open"], data["high"], data["low"], data["close"]
    volume = data["volume"]
    vwap = data["turnover"] / volume * (close / data["close_raw"])
    returns = close / close.shift(1) - 1

    def adv(d):
        return volume.rolling(d, min_periods=d).mean()

    def indneutralize(x):
        return ref.group_neutralize(x, data["industry"])

    a = {}
    a[1] = rank(ts_argmax(signed_power(where(lt(returns, 0), stddev(returns, 20), close), 2.), 5)) - 0.5
    a[2] = -1 * correlation(rank(delta(log(volume), 2)), rank((close - open_) / open_), 6)
    a[3] = -1 * correlation(rank(open_), rank(volume), 10)
    a[4] = -1 * ts_rank(rank(low), 9)
    a[5] = rank(open_ - ts_sum(vwap, 10) / 10) * (-1 * rank(close - vwap).abs())
    a[6] = -1 * correlation(open_, volume, 10)
    a[7] = where(lt(adv(20), volume), (-1 * ts_rank(delta(close, 7).abs(), 60)) * sign(delta(close, 7)), -1 * 1)
    a[8] = -1 * rank((ts_sum(open_, 5) * ts_sum(returns, 5)) - delay(ts_sum(open_, 5) * ts_sum(returns, 5), 10))
    a[9] = where(lt(0, ts_min(delta(close, 1), 5)), delta(close, 1),
                 where(lt(ts_max(delta(close, 1), 5), 0), delta(close, 1), -1 * delta(close, 1)))
    a[10] = rank(where(lt(0, ts_min(delta(close, 1), 4)), delta(close, 1),
                       where(lt(ts_max(delta(close, 1), 4), 0), delta(close, 1), -1 * delta(close, 1))))
    a[11] = (rank(ts_max(vwap - close, 3)) + rank(ts_min(vwap - close, 3))) * rank(delta(volume, 3))
    a[12] = sign(delta(volume, 1)) * (-1 * delta(close, 1))
    a[13] = -1 * rank(covariance(rank(close), rank(volume), 5))
    a[14] = (-1 * rank(delta(returns, 3))) * correlation(open_, volume, 10)
    a[15] = -1 * ts_sum(rank(correlation(rank(high), rank(volume), 3)), 3)
    a[16] = -1 * rank(covariance(rank(high), rank(volume), 5))
    a[17] = ((-1 * rank(ts_rank(close, 10))) * rank(delta(delta(close, 1), 1))) * rank(ts_rank(volume / adv(20), 5))
    a[18] = -1 * rank((stddev((close - open_).abs(), 5) + (close - open_)) + correlation(close, open_, 10))
    a[19] = (-1 * sign((close - delay(close, 7)) + delta(close, 7))) * (1 + rank(1 + ts_sum(returns, 250)))
    a[20] = ((-1 * rank(open_ - delay(high, 1))) * rank(open_ - delay(close, 1))) * rank(open_ - delay(low, 1))
    a[21] = where(lt(ts_sum(close, 8) / 8 + stddev(close, 8), ts_sum(close, 2) / 2), -1 * 1,
                  where(lt(ts_sum(close, 2) / 2, ts_sum(close, 8) / 8 - stddev(close, 8)), 1,
                        where(or_(lt(1, volume / adv(20)), eq(volume / adv(20), 1)), 1, -1 * 1)))
    a[22] = -1 * (delta(correlation(high, volume, 5), 5) * rank(stddev(close, 20)))
    a[23] = where(lt(ts_sum(high, 20) / 20, high), -1 * delta(high, 2), 0)
    x24 = delta(ts_sum(close, 100) / 100, 100) / delay(close, 100)
    a[24] = where(or_(lt(x24, 0.05), eq(x24, 0.05)), -1 * (close - ts_min(close, 100)), -1 * delta(close, 3))
    a[25] = rank((((-1 * returns) * adv(20)) * vwap) * (high - close))
    a[26] = -1 * ts_max(correlation(ts_rank(volume, 5), ts_rank(high, 5), 5), 3)
    a[27] = where(lt(0.5, rank(ts_sum(correlation(rank(volume), rank(vwap), 6), 2) / 2.0)), -1 * 1, 1)
    a[28] = scale((correlation(adv(20), low, 5) + (high + low) / 2) - close)
    a[29] = ts_min(product(rank(rank(scale(log(ts_sum(ts_min(rank(rank(-1 * rank(delta(close - 1, 5)))), 2),
                                                       1))))), 1), 5) + ts_rank(delay(-1 * returns, 6), 5)
    a[30] = ((1.0 - rank((sign(close - delay(close, 1)) + sign(delay(close, 1) - delay(close, 2)))
                         + sign(delay(close, 2) - delay(close, 3)))) * ts_sum(volume, 5)) / ts_sum(volume, 20)
    a[31] = (rank(rank(rank(decay_linear(-1 * rank(rank(delta(close, 10))), 10)))) + rank(-1 * delta(close, 3))) \
        + sign(scale(correlation(adv(20), low, 12)))
    a[32] = scale(ts_sum(close, 7) / 7 - close) + 20 * scale(correlation(vwap, delay(close, 5), 230))
    a[33] = rank(-1 * ((1 - (open_ / close)) ** 1))
    a[34] = rank((1 - rank(stddev(returns, 2) / stddev(returns, 5))) + (1 - rank(delta(close, 1))))
    a[35] = (ts_rank(volume, 32) * (1 - ts_rank((close + high) - low, 16))) * (1 - ts_rank(returns, 32))
    a[36] = ((((2.21 * rank(correlation(close - open_, delay(volume, 1), 15))) + (0.7 * rank(open_ - close)))
              + (0.73 * rank(ts_rank(delay(-1 * returns, 6), 5)))) + rank(correlation(vwap, adv(20), 6).abs())) \
        + (0.6 * rank((ts_sum(close, 200) / 200 - open_) * (close - open_)))
    a[37] = rank(correlation(delay(open_ - close, 1), close, 200)) + rank(open_ - close)
    a[38] = (-1 * rank(ts_rank(close, 10))) * rank(close / open_)
    a[39] = (-1 * rank(delta(close, 7) * (1 - rank(decay_linear(volume / adv(20), 9))))) \
        * (1 + rank(ts_sum(returns, 250)))
    a[40] = (-1 * rank(stddev(high, 10))) * correlation(high, volume, 10)
    a[41] = ((high * low) ** 0.5) - vwap
    a[42] = rank(vwap - close) / rank(vwap + close)
    a[43] = ts_rank(volume / adv(20), 20) * ts_rank(-1 * delta(close, 7), 8)
    a[44] = -1 * correlation(high, rank(volume), 5)
    a[45] = -1 * ((rank(ts_sum(delay(close, 5), 20) / 20) * correlation(close, volume, 2))
                  * rank(correlation(ts_sum(close, 5), ts_sum(close, 20), 2)))
    s46 = ((delay(close, 20) - delay(close, 10)) / 10) - ((delay(close, 10) - close) / 10)
    a[46] = where(lt(0.25, s46), -1 * 1, where(lt(s46, 0), 1, (-1 * 1) * (close - delay(close, 1))))
    a[47] = (((rank(1 / close) * volume) / adv(20)) * ((high * rank(high - close)) / (ts_sum(high, 5) / 5))) \
        - rank(vwap - delay(vwap, 5))
    a[48] = indneutralize((correlation(delta(close, 1), delta(delay(close, 1), 1), 250) * delta(close, 1)) / close) \
        / ts_sum((delta(close, 1) / delay(close, 1)) ** 2, 250)
    a[49] = where(lt(s46, -1 * 0.1), 1, (-1 * 1) * (close - delay(close, 1)))
    a[50] = -1 * ts_max(rank(correlation(rank(volume), rank(vwap), 5)), 5)
    a[51] = where(lt(s46, -1 * 0.05), 1, (-1 * 1) * (close - delay(close, 1)))
    a[52] = (((-1 * ts_min(low, 5)) + delay(ts_min(low, 5), 5))
             * rank((ts_sum(returns, 240) - ts_sum(returns, 20)) / 220)) * ts_rank(volume, 5)
    a[53] = -1 * delta(((close - low) - (high - close)) / (close - low), 9)
    a[54] = (-1 * ((low - close) * (open_ ** 5))) / ((low - high) * (close ** 5))
    a[55] = -1 * correlation(rank((close - ts_min(low, 12)) / (ts_max(high, 12) - ts_min(low, 12))), rank(volume), 6)
    a[57] = 0 - (1 * ((close - vwap) / decay_linear(rank(ts_argmax(close, 30)), 2)))
    a[58] = -1 * ts_rank(decay_linear(correlation(indneutralize(vwap), volume, 3.92795), 7.89291), 5.50322)
    a[59] = -1 * ts_rank(decay_linear(correlation(indneutralize((vwap * 0.728317) + (vwap * (1 - 0.728317))),
                                                  volume, 4.25197), 16.2289), 8.19648)
    a[60] = 0 - (1 * ((2 * scale(rank((((close - low) - (high - close)) / (high - low)) * volume)))
                      - scale(rank(ts_argmax(close, 10)))))
    a[61] = lt(rank(vwap - ts_min(vwap, 16.1219)), rank(correlation(vwap, adv(180), 17.9282)))
    a[62] = lt(rank(correlation(vwap, ts_sum(adv(20), 22.4101), 9.91009)),
               rank(lt(rank(open_) + rank(open_), rank((high + low) / 2) + rank(high)))) * -1
    a[63] = (rank(decay_linear(delta(indneutralize(close), 2.25164), 8.22237))
             - rank(decay_linear(correlation((vwap * 0.318108) + (open_ * (1 - 0.318108)),
                                             ts_sum(adv(180), 37.2467), 13.557), 12.2883))) * -1
    a[64] = lt(rank(correlation(ts_sum((open_ * 0.178404) + (low * (1 - 0.178404)), 12.7054),
                                ts_sum(adv(120), 12.7054), 16.6208)),
               rank(delta((((high + low) / 2) * 0.178404) + (vwap * (1 - 0.178404)), 3.69741))) * -1
    a[65] = lt(rank(correlation((open_ * 0.00817205) + (vwap * (1 - 0.00817205)), ts_sum(adv(60), 8.6911), 6.40374)),
               rank(open_ - ts_min(open_, 13.635))) * -1
    a[66] = (rank(decay_linear(delta(vwap, 3.51013), 7.23052))
             + ts_rank(decay_linear((((low * 0.96633) + (low * (1 - 0.96633))) - vwap)
                                    / (open_ - ((high + low) / 2)), 11.4157), 6.72611)) * -1
    a[67] = (rank(high - ts_min(high, 2.14593))
             ** rank(correlation(indneutralize(vwap), indneutralize(adv(20)), 6.02936))) * -1
    a[68] = lt(ts_rank(correlation(rank(high), rank(adv(15)), 8.91644), 13.9333),
               rank(delta((close * 0.518371) + (low * (1 - 0.518371)), 1.06157))) * -1
    a[69] = (rank(ts_max(delta(indneutralize(vwap), 2.72412), 4.79344))
             ** ts_rank(correlation((close * 0.490655) + (vwap * (1 - 0.490655)), adv(20), 4.92416), 9.0615)) * -1
    a[70] = (rank(delta(vwap, 1.29456)) ** ts_rank(correlation(indneutralize(close), adv(50), 17.8256), 17.9171)) * -1
    a[71] = emax(ts_rank(decay_linear(correlation(ts_rank(close, 3.43976), ts_rank(adv(180), 12.0647), 18.0175),
                                      4.20501), 15.6948),
                 ts_rank(decay_linear(rank((low + open_) - (vwap + vwap)) ** 2, 16.4662), 4.4388))
    a[72] = rank(decay_linear(correlation((high + low) / 2, adv(40), 8.93345), 10.1519)) \
        / rank(decay_linear(correlation(ts_rank(vwap, 3.72469), ts_rank(volume, 18.5188), 6.86671), 2.95011))
    a[73] = emax(rank(decay_linear(delta(vwap, 4.72775), 2.91864)),
                 ts_rank(decay_linear((delta((open_ * 0.147155) + (low * (1 - 0.147155)), 2.03608)
                                       / ((open_ * 0.147155) + (low * (1 - 0.147155)))) * -1, 3.33829),
                         16.7411)) * -1
    a[74] = lt(rank(correlation(close, ts_sum(adv(30), 37.4843), 15.1365)),
               rank(correlation(rank((high * 0.0261661) + (vwap * (1 - 0.0261661))), rank(volume), 11.4791))) * -1
    a[75] = lt(rank(correlation(vwap, volume, 4.24304)), rank(correlation(rank(low), rank(adv(50)), 12.4413)))
    a[76] = emax(rank(decay_linear(delta(vwap, 1.24383), 11.8259)),
                 ts_rank(decay_linear(ts_rank(correlation(indneutralize(low), adv(81), 8.14941), 19.569), 17.1543),
                         19.383)) * -1
    a[77] = emin(rank(decay_linear((((high + low) / 2) + high) - (vwap + high), 20.0451)),
                 rank(decay_linear(correlation((high + low) / 2, adv(40), 3.1614), 5.64125)))
    a[78] = rank(correlation(ts_sum((low * 0.352233) + (vwap * (1 - 0.352233)), 19.7428),
                             ts_sum(adv(40), 19.7428), 6.83313)) \
        ** rank(correlation(rank(vwap), rank(volume), 5.77492))
    a[79] = lt(rank(delta(indneutralize((close * 0.60733) + (open_ * (1 - 0.60733))), 1.23438)),
               rank(correlation(ts_rank(vwap, 3.60973), ts_rank(adv(150), 9.18637), 14.6644)))
    a[80] = (rank(sign(delta(indneutralize((open_ * 0.868128) + (high * (1 - 0.868128))), 4.04545)))
             ** ts_rank(correlation(high, adv(10), 5.11456), 5.53756)) * -1
    a[81] = lt(rank(log(product(rank(rank(correlation(vwap, ts_sum(adv(10), 49.6054), 8.47743)) ** 4), 14.9655))),
               rank(correlation(rank(vwap), rank(volume), 5.07914))) * -1
    a[82] = emin(rank(decay_linear(delta(open_, 1.46063), 14.8717)),
                 ts_rank(decay_linear(correlation(indneutralize(volume), (open_ * 0.634196) + (open_ * (1 - 0.634196)),
                                                  17.4842), 6.92131), 13.4283)) * -1
    a[83] = (rank(delay((high - low) / (ts_sum(close, 5) / 5), 2)) * rank(rank(volume))) \
        / (((high - low) / (ts_sum(close, 5) / 5)) / (vwap - close))
    a[84] = signed_power(ts_rank(vwap - ts_max(vwap, 15.3217), 20.7127), delta(close, 4.96796))
    a[85] = rank(correlation((high * 0.876703) + (close * (1 - 0.876703)), adv(30), 9.61331)) \
        ** rank(correlation(ts_rank((high + low) / 2, 3.70596), ts_rank(volume, 10.1595), 7.11408))
    a[86] = lt(ts_rank(correlation(close, ts_sum(adv(20), 14.7444), 6.00049), 20.4195),
               rank((open_ + close) - (vwap + open_))) * -1
    a[87] = emax(rank(decay_linear(delta((close * 0.369701) + (vwap * (1 - 0.369701)), 1.91233), 2.65461)),
                 ts_rank(decay_linear(correlation(indneutralize(adv(81)), close, 13.4132).abs(), 4.89768),
                         14.4535)) * -1
    a[88] = emin(rank(decay_linear((rank(open_) + rank(low)) - (rank(high) + rank(close)), 8.06882)),
                 ts_rank(decay_linear(correlation(ts_rank(close, 8.44728), ts_rank(adv(60), 20.6966), 8.01266),
                                      6.65053), 2.61957))
    a[89] = ts_rank(decay_linear(correlation((low * 0.967285) + (low * (1 - 0.967285)), adv(10), 6.94279), 5.51607),
                    3.79744) \
        - ts_rank(decay_linear(delta(indneutralize(vwap), 3.48158), 10.1466), 15.3012)
    a[90] = (rank(close - ts_max(close, 4.66719))
             ** ts_rank(correlation(indneutralize(adv(40)), low, 5.38375), 3.21856)) * -1
    a[91] = (ts_rank(decay_linear(decay_linear(correlation(indneutralize(close), volume, 9.74928), 16.398), 3.83219),
                     4.8667)
             - rank(decay_linear(correlation(vwap, adv(30), 4.01303), 2.6809))) * -1
    a[92] = emin(ts_rank(decay_linear(lt(((high + low) / 2) + close, low + open_), 14.7221), 18.8683),
                 ts_rank(decay_linear(correlation(rank(low), rank(adv(30)), 7.58555), 6.94024), 6.80584))
    a[93] = ts_rank(decay_linear(correlation(indneutralize(vwap), adv(81), 17.4193), 19.848), 7.54455) \
        / rank(decay_linear(delta((close * 0.524434) + (vwap * (1 - 0.524434)), 2.77377), 16.2664))
    a[94] = (rank(vwap - ts_min(vwap, 11.5783))
             ** ts_rank(correlation(ts_rank(vwap, 19.6462), ts_rank(adv(60), 4.02992), 18.0926), 2.70756)) * -1
    a[95] = lt(rank(open_ - ts_min(open_, 12.4105)),
               ts_rank(rank(correlation(ts_sum((high + low) / 2, 19.1351), ts_sum(adv(40), 19.1351), 12.8742)) ** 5,
                       11.7584))
    a[96] = emax(ts_rank(decay_linear(correlation(rank(vwap), rank(volume), 3.83878), 4.16783), 8.38151),
                 ts_rank(decay_linear(ts_argmax(correlation(ts_rank(close, 7.45404), ts_rank(adv(60), 4.13242),
                                                            3.65459), 12.6556), 14.0365), 13.4143)) * -1
    a[97] = (rank(decay_linear(delta(indneutralize((low * 0.721001) + (vwap * (1 - 0.721001))), 3.3705), 20.4523))
             - ts_rank(decay_linear(ts_rank(correlation(ts_rank(low, 7.87871), ts_rank(adv(60), 17.255), 4.97547),
                                            18.5925), 15.7152), 6.71659)) * -1
    a[98] = rank(decay_linear(correlation(vwap, ts_sum(adv(5), 26.4719), 4.58418), 7.18088)) \
        - rank(decay_linear(ts_rank(ts_argmin(correlation(rank(open_), rank(adv(15)), 20.8187), 8.62571), 6.95668),
                            8.07206))
    a[99] = lt(rank(correlation(ts_sum((high + low) / 2, 19.8975), ts_sum(adv(60), 19.8975), 8.8136)),
               rank(correlation(low, volume, 6.28259))) * -1
    a[100] = 0 - (1 * (((1.5 * scale(indneutralize(indneutralize(rank((((close - low) - (high - close))
                                                                          / (high - low)) * volume)))))
                        - scale(indneutralize(correlation(close, rank(adv(20)), 5) - rank(ts_argmin(close, 30)))))
                       * (volume / adv(20))))
    a[101] = (close - open_) / ((high - low) + .001)
    return a
