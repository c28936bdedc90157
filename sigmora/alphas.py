"""The "101 Formulaic Alphas" (Z. Kakushadze, Wilmott 2016) as factor expressions.

``alpha(n)`` builds alpha number ``n`` (or a name such as "alpha001") as an expression of
``sigmora.operators`` over the leaves of ``sigmora.leaves``; ``ALPHAS`` maps the names
"alpha001" .. "alpha101" of the shipped ones to their factories, so that::

    from sigmora.alphas import ALPHAS
    from sigmora.evaluation import evaluate_many
    tables = evaluate_many({name: make() for name, make in ALPHAS.items()}, ids, start, end)

Inputs, as the paper defines them, from the daily bars of the store:

- ``open``, ``high``, ``low``, ``close``: post-adjusted prices (``bar_field(..., "post")``);
- ``volume``: shares traded (not adjusted);
- ``vwap``: ``total_turnover / volume``, brought to the post-adjusted scale of the prices
  (times ``close_post / close``), since the formulas compare it with them;
- ``returns``: close-to-close returns of the post-adjusted close;
- ``adv{d}``: the mean of ``volume`` over ``d`` days. The paper calls it average daily dollar
  volume but compares it with ``volume`` (alphas 7, 12, 17, 21, 39, 43, 47, 100), so it is
  taken in shares, as most implementations do;
- ``IndNeutralize(x, IndClass.sector | industry | subindustry)``: ``group_neutralize`` on the
  store's CITICS 2019 classification, the only level it holds, for all three levels.

Operators: ``rank`` is ``cs_rank``, ``delay``/``delta``/``sum``/``product``/``stddev``/
``correlation``/``covariance``/``decay_linear``/``Ts_Rank``/``Ts_ArgMax``/``Ts_ArgMin``/
``ts_min``/``ts_max`` the ``ts_`` operators (fractional windows floored), ``scale`` is
``cs_scale``, ``SignedPower`` is ``signed_power``, ``x ? y : z`` is ``IF``, ``x ^ y`` is a
power, ``||`` is ``|``; ``min``/``max`` of an expression and a window are ``ts_min``/
``ts_max``, of two expressions ``minimum``/``maximum``. A comparison is 1.0, 0.0 or missing.

Left out (``LEFT_OUT`` says why): alpha 56, which needs each stock's market capitalisation
(``cap``); a store of real data holds no share counts or capitalisations, and the demo store's
``market_cap`` is a stand-in made from its standardised size exposure for cap-weighted groups,
not a capitalisation a formula's results could rest on.
"""
import functools
import numbers

import numpy as np

from .interface import BinaryCombinedFactor
from .leaves import bar_field, industry
from .operators import (
    IF, cs_rank, cs_scale, group_neutralize, log, maximum, minimum, sign, signed_power, ts_argmax, ts_argmin,
    ts_corr, ts_cov, ts_decay_linear, ts_delay, ts_delta, ts_max, ts_mean, ts_min, ts_product, ts_rank, ts_std,
    ts_sum,
)

__all__ = ["alpha", "ALPHAS", "LEFT_OUT", "inputs", "select"]

LEFT_OUT = {56: "needs each stock's market capitalisation (cap): a store of real data holds none, and the demo "
                "store's market_cap is a stand-in made from its size exposure for cap weighting, not a "
                "capitalisation to test a formula on"}


class _Inputs:
    """The paper's inputs as expressions (leaves are shared: the same objects each time)."""

    def __init__(self):
        self.open = bar_field("open", "post")
        self.high = bar_field("high", "post")
        self.low = bar_field("low", "post")
        self.close = bar_field("close", "post")
        self.volume = bar_field("volume")
        turnover = bar_field("total_turnover")
        self.vwap = turnover / self.volume * (self.close / bar_field("close", "none"))
        self.returns = self.close / ts_delay(self.close, 1) - 1
        self.industry = industry("citics_2019")

    def adv(self, d):
        return ts_mean(self.volume, d)

    def indneutralize(self, x):
        return group_neutralize(x, self.industry)


@functools.lru_cache(maxsize=None)
def inputs():
    """The inputs of the formulas: ``open``, ``high``, ``low``, ``close``, ``volume``,
    ``vwap``, ``returns``, ``industry``, ``adv(d)`` and ``indneutralize(x)``."""
    return _Inputs()


def _eq(a, b):
    return BinaryCombinedFactor(np.equal, a, b)


# Each formula follows the paper's text; `m` holds the inputs.

def _a001(m):
    return cs_rank(ts_argmax(signed_power(IF(m.returns < 0, ts_std(m.returns, 20), m.close), 2.0), 5)) - 0.5


def _a002(m):
    return -1 * ts_corr(cs_rank(ts_delta(log(m.volume), 2)), cs_rank((m.close - m.open) / m.open), 6)


def _a003(m):
    return -1 * ts_corr(cs_rank(m.open), cs_rank(m.volume), 10)


def _a004(m):
    return -1 * ts_rank(cs_rank(m.low), 9)


def _a005(m):
    return cs_rank(m.open - ts_sum(m.vwap, 10) / 10) * (-1 * abs(cs_rank(m.close - m.vwap)))


def _a006(m):
    return -1 * ts_corr(m.open, m.volume, 10)


def _a007(m):
    d7 = ts_delta(m.close, 7)
    return IF(m.adv(20) < m.volume, (-1 * ts_rank(abs(d7), 60)) * sign(d7), -1 * 1)


def _a008(m):
    x = ts_sum(m.open, 5) * ts_sum(m.returns, 5)
    return -1 * cs_rank(x - ts_delay(x, 10))


def _a009(m):
    d1 = ts_delta(m.close, 1)
    return IF(0 < ts_min(d1, 5), d1, IF(ts_max(d1, 5) < 0, d1, -1 * d1))


def _a010(m):
    d1 = ts_delta(m.close, 1)
    return cs_rank(IF(0 < ts_min(d1, 4), d1, IF(ts_max(d1, 4) < 0, d1, -1 * d1)))


def _a011(m):
    return (cs_rank(ts_max(m.vwap - m.close, 3)) + cs_rank(ts_min(m.vwap - m.close, 3))) * \
        cs_rank(ts_delta(m.volume, 3))


def _a012(m):
    return sign(ts_delta(m.volume, 1)) * (-1 * ts_delta(m.close, 1))


def _a013(m):
    return -1 * cs_rank(ts_cov(cs_rank(m.close), cs_rank(m.volume), 5))


def _a014(m):
    return (-1 * cs_rank(ts_delta(m.returns, 3))) * ts_corr(m.open, m.volume, 10)


def _a015(m):
    return -1 * ts_sum(cs_rank(ts_corr(cs_rank(m.high), cs_rank(m.volume), 3)), 3)


def _a016(m):
    return -1 * cs_rank(ts_cov(cs_rank(m.high), cs_rank(m.volume), 5))


def _a017(m):
    return ((-1 * cs_rank(ts_rank(m.close, 10))) * cs_rank(ts_delta(ts_delta(m.close, 1), 1))) * \
        cs_rank(ts_rank(m.volume / m.adv(20), 5))


def _a018(m):
    return -1 * cs_rank((ts_std(abs(m.close - m.open), 5) + (m.close - m.open)) + ts_corr(m.close, m.open, 10))


def _a019(m):
    return (-1 * sign((m.close - ts_delay(m.close, 7)) + ts_delta(m.close, 7))) * \
        (1 + cs_rank(1 + ts_sum(m.returns, 250)))


def _a020(m):
    return ((-1 * cs_rank(m.open - ts_delay(m.high, 1))) * cs_rank(m.open - ts_delay(m.close, 1))) * \
        cs_rank(m.open - ts_delay(m.low, 1))


def _a021(m):
    mean8, sd8, mean2 = ts_sum(m.close, 8) / 8, ts_std(m.close, 8), ts_sum(m.close, 2) / 2
    ratio = m.volume / m.adv(20)
    return IF(mean8 + sd8 < mean2, -1 * 1,
              IF(mean2 < mean8 - sd8, 1,
                 IF((1 < ratio) | _eq(ratio, 1), 1, -1 * 1)))


def _a022(m):
    return -1 * (ts_delta(ts_corr(m.high, m.volume, 5), 5) * cs_rank(ts_std(m.close, 20)))


def _a023(m):
    return IF(ts_sum(m.high, 20) / 20 < m.high, -1 * ts_delta(m.high, 2), 0)


def _a024(m):
    x = ts_delta(ts_sum(m.close, 100) / 100, 100) / ts_delay(m.close, 100)
    return IF((x < 0.05) | _eq(x, 0.05), -1 * (m.close - ts_min(m.close, 100)), -1 * ts_delta(m.close, 3))


def _a025(m):
    return cs_rank((((-1 * m.returns) * m.adv(20)) * m.vwap) * (m.high - m.close))


def _a026(m):
    return -1 * ts_max(ts_corr(ts_rank(m.volume, 5), ts_rank(m.high, 5), 5), 3)


def _a027(m):
    return IF(0.5 < cs_rank(ts_sum(ts_corr(cs_rank(m.volume), cs_rank(m.vwap), 6), 2) / 2.0), -1 * 1, 1)


def _a028(m):
    return cs_scale((ts_corr(m.adv(20), m.low, 5) + (m.high + m.low) / 2) - m.close)


def _a029(m):
    inner = cs_rank(cs_rank(-1 * cs_rank(ts_delta(m.close - 1, 5))))
    x = cs_rank(cs_rank(cs_scale(log(ts_sum(ts_min(inner, 2), 1)))))
    return ts_min(ts_product(x, 1), 5) + ts_rank(ts_delay(-1 * m.returns, 6), 5)


def _a030(m):
    c = m.close
    s = (sign(c - ts_delay(c, 1)) + sign(ts_delay(c, 1) - ts_delay(c, 2))) + sign(ts_delay(c, 2) - ts_delay(c, 3))
    return ((1.0 - cs_rank(s)) * ts_sum(m.volume, 5)) / ts_sum(m.volume, 20)


def _a031(m):
    a = cs_rank(cs_rank(cs_rank(ts_decay_linear(-1 * cs_rank(cs_rank(ts_delta(m.close, 10))), 10))))
    return (a + cs_rank(-1 * ts_delta(m.close, 3))) + sign(cs_scale(ts_corr(m.adv(20), m.low, 12)))


def _a032(m):
    return cs_scale(ts_sum(m.close, 7) / 7 - m.close) + \
        20 * cs_scale(ts_corr(m.vwap, ts_delay(m.close, 5), 230))


def _a033(m):
    return cs_rank(-1 * ((1 - (m.open / m.close)) ** 1))


def _a034(m):
    return cs_rank((1 - cs_rank(ts_std(m.returns, 2) / ts_std(m.returns, 5))) + (1 - cs_rank(ts_delta(m.close, 1))))


def _a035(m):
    return (ts_rank(m.volume, 32) * (1 - ts_rank((m.close + m.high) - m.low, 16))) * (1 - ts_rank(m.returns, 32))


def _a036(m):
    return ((((2.21 * cs_rank(ts_corr(m.close - m.open, ts_delay(m.volume, 1), 15)))
              + (0.7 * cs_rank(m.open - m.close)))
             + (0.73 * cs_rank(ts_rank(ts_delay(-1 * m.returns, 6), 5))))
            + cs_rank(abs(ts_corr(m.vwap, m.adv(20), 6)))) \
        + (0.6 * cs_rank((ts_sum(m.close, 200) / 200 - m.open) * (m.close - m.open)))


def _a037(m):
    return cs_rank(ts_corr(ts_delay(m.open - m.close, 1), m.close, 200)) + cs_rank(m.open - m.close)


def _a038(m):
    return (-1 * cs_rank(ts_rank(m.close, 10))) * cs_rank(m.close / m.open)


def _a039(m):
    return (-1 * cs_rank(ts_delta(m.close, 7) * (1 - cs_rank(ts_decay_linear(m.volume / m.adv(20), 9))))) * \
        (1 + cs_rank(ts_sum(m.returns, 250)))


def _a040(m):
    return (-1 * cs_rank(ts_std(m.high, 10))) * ts_corr(m.high, m.volume, 10)


def _a041(m):
    return ((m.high * m.low) ** 0.5) - m.vwap


def _a042(m):
    return cs_rank(m.vwap - m.close) / cs_rank(m.vwap + m.close)


def _a043(m):
    return ts_rank(m.volume / m.adv(20), 20) * ts_rank(-1 * ts_delta(m.close, 7), 8)


def _a044(m):
    return -1 * ts_corr(m.high, cs_rank(m.volume), 5)


def _a045(m):
    return -1 * ((cs_rank(ts_sum(ts_delay(m.close, 5), 20) / 20) * ts_corr(m.close, m.volume, 2))
                 * cs_rank(ts_corr(ts_sum(m.close, 5), ts_sum(m.close, 20), 2)))


def _slope_change(m):
    return (ts_delay(m.close, 20) - ts_delay(m.close, 10)) / 10 - (ts_delay(m.close, 10) - m.close) / 10


def _a046(m):
    x = _slope_change(m)
    return IF(0.25 < x, -1 * 1, IF(x < 0, 1, (-1 * 1) * (m.close - ts_delay(m.close, 1))))


def _a047(m):
    return (((cs_rank(1 / m.close) * m.volume) / m.adv(20)) * ((m.high * cs_rank(m.high - m.close))
                                                              / (ts_sum(m.high, 5) / 5))) \
        - cs_rank(m.vwap - ts_delay(m.vwap, 5))


def _a048(m):
    d1 = ts_delta(m.close, 1)
    x = (ts_corr(d1, ts_delta(ts_delay(m.close, 1), 1), 250) * d1) / m.close
    return m.indneutralize(x) / ts_sum((d1 / ts_delay(m.close, 1)) ** 2, 250)


def _a049(m):
    return IF(_slope_change(m) < (-1 * 0.1), 1, (-1 * 1) * (m.close - ts_delay(m.close, 1)))


def _a050(m):
    return -1 * ts_max(cs_rank(ts_corr(cs_rank(m.volume), cs_rank(m.vwap), 5)), 5)


def _a051(m):
    return IF(_slope_change(m) < (-1 * 0.05), 1, (-1 * 1) * (m.close - ts_delay(m.close, 1)))


def _a052(m):
    return (((-1 * ts_min(m.low, 5)) + ts_delay(ts_min(m.low, 5), 5))
            * cs_rank((ts_sum(m.returns, 240) - ts_sum(m.returns, 20)) / 220)) * ts_rank(m.volume, 5)


def _a053(m):
    return -1 * ts_delta(((m.close - m.low) - (m.high - m.close)) / (m.close - m.low), 9)


def _a054(m):
    return (-1 * ((m.low - m.close) * (m.open ** 5))) / ((m.low - m.high) * (m.close ** 5))


def _a055(m):
    lo, hi = ts_min(m.low, 12), ts_max(m.high, 12)
    return -1 * ts_corr(cs_rank((m.close - lo) / (hi - lo)), cs_rank(m.volume), 6)


def _a057(m):
    return 0 - (1 * ((m.close - m.vwap) / ts_decay_linear(cs_rank(ts_argmax(m.close, 30)), 2)))


def _a058(m):
    return -1 * ts_rank(ts_decay_linear(ts_corr(m.indneutralize(m.vwap), m.volume, 3.92795), 7.89291), 5.50322)


def _a059(m):
    x = (m.vwap * 0.728317) + (m.vwap * (1 - 0.728317))
    return -1 * ts_rank(ts_decay_linear(ts_corr(m.indneutralize(x), m.volume, 4.25197), 16.2289), 8.19648)


def _a060(m):
    x = (((m.close - m.low) - (m.high - m.close)) / (m.high - m.low)) * m.volume
    return 0 - (1 * ((2 * cs_scale(cs_rank(x))) - cs_scale(cs_rank(ts_argmax(m.close, 10)))))


def _a061(m):
    return cs_rank(m.vwap - ts_min(m.vwap, 16.1219)) < cs_rank(ts_corr(m.vwap, m.adv(180), 17.9282))


def _a062(m):
    left = cs_rank(ts_corr(m.vwap, ts_sum(m.adv(20), 22.4101), 9.91009))
    right = cs_rank((cs_rank(m.open) + cs_rank(m.open)) < (cs_rank((m.high + m.low) / 2) + cs_rank(m.high)))
    return (left < right) * -1


def _a063(m):
    a = cs_rank(ts_decay_linear(ts_delta(m.indneutralize(m.close), 2.25164), 8.22237))
    x = (m.vwap * 0.318108) + (m.open * (1 - 0.318108))
    b = cs_rank(ts_decay_linear(ts_corr(x, ts_sum(m.adv(180), 37.2467), 13.557), 12.2883))
    return (a - b) * -1


def _a064(m):
    x = (m.open * 0.178404) + (m.low * (1 - 0.178404))
    y = (((m.high + m.low) / 2) * 0.178404) + (m.vwap * (1 - 0.178404))
    return (cs_rank(ts_corr(ts_sum(x, 12.7054), ts_sum(m.adv(120), 12.7054), 16.6208))
            < cs_rank(ts_delta(y, 3.69741))) * -1


def _a065(m):
    x = (m.open * 0.00817205) + (m.vwap * (1 - 0.00817205))
    return (cs_rank(ts_corr(x, ts_sum(m.adv(60), 8.6911), 6.40374))
            < cs_rank(m.open - ts_min(m.open, 13.635))) * -1


def _a066(m):
    x = (((m.low * 0.96633) + (m.low * (1 - 0.96633))) - m.vwap) / (m.open - ((m.high + m.low) / 2))
    return (cs_rank(ts_decay_linear(ts_delta(m.vwap, 3.51013), 7.23052))
            + ts_rank(ts_decay_linear(x, 11.4157), 6.72611)) * -1


def _a067(m):
    return (cs_rank(m.high - ts_min(m.high, 2.14593))
            ** cs_rank(ts_corr(m.indneutralize(m.vwap), m.indneutralize(m.adv(20)), 6.02936))) * -1


def _a068(m):
    x = (m.close * 0.518371) + (m.low * (1 - 0.518371))
    return (ts_rank(ts_corr(cs_rank(m.high), cs_rank(m.adv(15)), 8.91644), 13.9333)
            < cs_rank(ts_delta(x, 1.06157))) * -1


def _a069(m):
    x = (m.close * 0.490655) + (m.vwap * (1 - 0.490655))
    return (cs_rank(ts_max(ts_delta(m.indneutralize(m.vwap), 2.72412), 4.79344))
            ** ts_rank(ts_corr(x, m.adv(20), 4.92416), 9.0615)) * -1


def _a070(m):
    return (cs_rank(ts_delta(m.vwap, 1.29456))
            ** ts_rank(ts_corr(m.indneutralize(m.close), m.adv(50), 17.8256), 17.9171)) * -1


def _a071(m):
    a = ts_rank(ts_decay_linear(ts_corr(ts_rank(m.close, 3.43976), ts_rank(m.adv(180), 12.0647), 18.0175),
                                4.20501), 15.6948)
    b = ts_rank(ts_decay_linear(cs_rank((m.low + m.open) - (m.vwap + m.vwap)) ** 2, 16.4662), 4.4388)
    return maximum(a, b)


def _a072(m):
    a = cs_rank(ts_decay_linear(ts_corr((m.high + m.low) / 2, m.adv(40), 8.93345), 10.1519))
    b = cs_rank(ts_decay_linear(ts_corr(ts_rank(m.vwap, 3.72469), ts_rank(m.volume, 18.5188), 6.86671), 2.95011))
    return a / b


def _a073(m):
    x = (m.open * 0.147155) + (m.low * (1 - 0.147155))
    a = cs_rank(ts_decay_linear(ts_delta(m.vwap, 4.72775), 2.91864))
    b = ts_rank(ts_decay_linear((ts_delta(x, 2.03608) / x) * -1, 3.33829), 16.7411)
    return maximum(a, b) * -1


def _a074(m):
    x = (m.high * 0.0261661) + (m.vwap * (1 - 0.0261661))
    return (cs_rank(ts_corr(m.close, ts_sum(m.adv(30), 37.4843), 15.1365))
            < cs_rank(ts_corr(cs_rank(x), cs_rank(m.volume), 11.4791))) * -1


def _a075(m):
    return cs_rank(ts_corr(m.vwap, m.volume, 4.24304)) < cs_rank(ts_corr(cs_rank(m.low), cs_rank(m.adv(50)), 12.4413))


def _a076(m):
    a = cs_rank(ts_decay_linear(ts_delta(m.vwap, 1.24383), 11.8259))
    b = ts_rank(ts_decay_linear(ts_rank(ts_corr(m.indneutralize(m.low), m.adv(81), 8.14941), 19.569), 17.1543),
                19.383)
    return maximum(a, b) * -1


def _a077(m):
    a = cs_rank(ts_decay_linear((((m.high + m.low) / 2) + m.high) - (m.vwap + m.high), 20.0451))
    b = cs_rank(ts_decay_linear(ts_corr((m.high + m.low) / 2, m.adv(40), 3.1614), 5.64125))
    return minimum(a, b)


def _a078(m):
    x = (m.low * 0.352233) + (m.vwap * (1 - 0.352233))
    return cs_rank(ts_corr(ts_sum(x, 19.7428), ts_sum(m.adv(40), 19.7428), 6.83313)) \
        ** cs_rank(ts_corr(cs_rank(m.vwap), cs_rank(m.volume), 5.77492))


def _a079(m):
    x = (m.close * 0.60733) + (m.open * (1 - 0.60733))
    return cs_rank(ts_delta(m.indneutralize(x), 1.23438)) \
        < cs_rank(ts_corr(ts_rank(m.vwap, 3.60973), ts_rank(m.adv(150), 9.18637), 14.6644))


def _a080(m):
    x = (m.open * 0.868128) + (m.high * (1 - 0.868128))
    return (cs_rank(sign(ts_delta(m.indneutralize(x), 4.04545)))
            ** ts_rank(ts_corr(m.high, m.adv(10), 5.11456), 5.53756)) * -1


def _a081(m):
    inner = cs_rank(cs_rank(ts_corr(m.vwap, ts_sum(m.adv(10), 49.6054), 8.47743)) ** 4)
    return (cs_rank(log(ts_product(inner, 14.9655)))
            < cs_rank(ts_corr(cs_rank(m.vwap), cs_rank(m.volume), 5.07914))) * -1


def _a082(m):
    x = (m.open * 0.634196) + (m.open * (1 - 0.634196))
    a = cs_rank(ts_decay_linear(ts_delta(m.open, 1.46063), 14.8717))
    b = ts_rank(ts_decay_linear(ts_corr(m.indneutralize(m.volume), x, 17.4842), 6.92131), 13.4283)
    return minimum(a, b) * -1


def _a083(m):
    spread = (m.high - m.low) / (ts_sum(m.close, 5) / 5)
    return (cs_rank(ts_delay(spread, 2)) * cs_rank(cs_rank(m.volume))) / (spread / (m.vwap - m.close))


def _a084(m):
    return signed_power(ts_rank(m.vwap - ts_max(m.vwap, 15.3217), 20.7127), ts_delta(m.close, 4.96796))


def _a085(m):
    x = (m.high * 0.876703) + (m.close * (1 - 0.876703))
    return cs_rank(ts_corr(x, m.adv(30), 9.61331)) \
        ** cs_rank(ts_corr(ts_rank((m.high + m.low) / 2, 3.70596), ts_rank(m.volume, 10.1595), 7.11408))


def _a086(m):
    return (ts_rank(ts_corr(m.close, ts_sum(m.adv(20), 14.7444), 6.00049), 20.4195)
            < cs_rank((m.open + m.close) - (m.vwap + m.open))) * -1


def _a087(m):
    x = (m.close * 0.369701) + (m.vwap * (1 - 0.369701))
    a = cs_rank(ts_decay_linear(ts_delta(x, 1.91233), 2.65461))
    b = ts_rank(ts_decay_linear(abs(ts_corr(m.indneutralize(m.adv(81)), m.close, 13.4132)), 4.89768), 14.4535)
    return maximum(a, b) * -1


def _a088(m):
    a = cs_rank(ts_decay_linear((cs_rank(m.open) + cs_rank(m.low)) - (cs_rank(m.high) + cs_rank(m.close)), 8.06882))
    b = ts_rank(ts_decay_linear(ts_corr(ts_rank(m.close, 8.44728), ts_rank(m.adv(60), 20.6966), 8.01266),
                                6.65053), 2.61957)
    return minimum(a, b)


def _a089(m):
    x = (m.low * 0.967285) + (m.low * (1 - 0.967285))
    return ts_rank(ts_decay_linear(ts_corr(x, m.adv(10), 6.94279), 5.51607), 3.79744) \
        - ts_rank(ts_decay_linear(ts_delta(m.indneutralize(m.vwap), 3.48158), 10.1466), 15.3012)


def _a090(m):
    return (cs_rank(m.close - ts_max(m.close, 4.66719))
            ** ts_rank(ts_corr(m.indneutralize(m.adv(40)), m.low, 5.38375), 3.21856)) * -1


def _a091(m):
    a = ts_rank(ts_decay_linear(ts_decay_linear(ts_corr(m.indneutralize(m.close), m.volume, 9.74928), 16.398),
                                3.83219), 4.8667)
    b = cs_rank(ts_decay_linear(ts_corr(m.vwap, m.adv(30), 4.01303), 2.6809))
    return (a - b) * -1


def _a092(m):
    a = ts_rank(ts_decay_linear((((m.high + m.low) / 2) + m.close) < (m.low + m.open), 14.7221), 18.8683)
    b = ts_rank(ts_decay_linear(ts_corr(cs_rank(m.low), cs_rank(m.adv(30)), 7.58555), 6.94024), 6.80584)
    return minimum(a, b)


def _a093(m):
    x = (m.close * 0.524434) + (m.vwap * (1 - 0.524434))
    return ts_rank(ts_decay_linear(ts_corr(m.indneutralize(m.vwap), m.adv(81), 17.4193), 19.848), 7.54455) \
        / cs_rank(ts_decay_linear(ts_delta(x, 2.77377), 16.2664))


def _a094(m):
    return (cs_rank(m.vwap - ts_min(m.vwap, 11.5783))
            ** ts_rank(ts_corr(ts_rank(m.vwap, 19.6462), ts_rank(m.adv(60), 4.02992), 18.0926), 2.70756)) * -1


def _a095(m):
    x = cs_rank(ts_corr(ts_sum((m.high + m.low) / 2, 19.1351), ts_sum(m.adv(40), 19.1351), 12.8742))
    return cs_rank(m.open - ts_min(m.open, 12.4105)) < ts_rank(x ** 5, 11.7584)


def _a096(m):
    a = ts_rank(ts_decay_linear(ts_corr(cs_rank(m.vwap), cs_rank(m.volume), 3.83878), 4.16783), 8.38151)
    b = ts_rank(ts_decay_linear(ts_argmax(ts_corr(ts_rank(m.close, 7.45404), ts_rank(m.adv(60), 4.13242),
                                                  3.65459), 12.6556), 14.0365), 13.4143)
    return maximum(a, b) * -1


def _a097(m):
    x = (m.low * 0.721001) + (m.vwap * (1 - 0.721001))
    a = cs_rank(ts_decay_linear(ts_delta(m.indneutralize(x), 3.3705), 20.4523))
    b = ts_rank(ts_decay_linear(ts_rank(ts_corr(ts_rank(m.low, 7.87871), ts_rank(m.adv(60), 17.255), 4.97547),
                                        18.5925), 15.7152), 6.71659)
    return (a - b) * -1


def _a098(m):
    a = cs_rank(ts_decay_linear(ts_corr(m.vwap, ts_sum(m.adv(5), 26.4719), 4.58418), 7.18088))
    b = cs_rank(ts_decay_linear(ts_rank(ts_argmin(ts_corr(cs_rank(m.open), cs_rank(m.adv(15)), 20.8187), 8.62571),
                                        6.95668), 8.07206))
    return a - b


def _a099(m):
    return (cs_rank(ts_corr(ts_sum((m.high + m.low) / 2, 19.8975), ts_sum(m.adv(60), 19.8975), 8.8136))
            < cs_rank(ts_corr(m.low, m.volume, 6.28259))) * -1


def _a100(m):
    x = cs_rank((((m.close - m.low) - (m.high - m.close)) / (m.high - m.low)) * m.volume)
    a = 1.5 * cs_scale(m.indneutralize(m.indneutralize(x)))
    b = cs_scale(m.indneutralize(ts_corr(m.close, cs_rank(m.adv(20)), 5) - cs_rank(ts_argmin(m.close, 30))))
    return 0 - (1 * ((a - b) * (m.volume / m.adv(20))))


def _a101(m):
    return (m.close - m.open) / ((m.high - m.low) + .001)


def _factory(builder):
    def make():
        return builder(inputs())
    make.__name__ = "alpha{}".format(builder.__name__[2:])
    make.__doc__ = "Alpha #{} of the 101 Formulaic Alphas as an expression.".format(int(builder.__name__[2:]))
    return make


ALPHAS = {"alpha{:03d}".format(n): _factory(globals()["_a{:03d}".format(n)])
          for n in range(1, 102) if n not in LEFT_OUT}


def alpha(n):
    """Alpha number ``n`` (1 .. 101, or a name such as "alpha001") as a factor expression."""
    if isinstance(n, str):
        # "12" as the command line's lists take it
        name = "alpha{:03d}".format(int(n)) if n.strip().isdecimal() else n
    elif isinstance(n, numbers.Integral) and not isinstance(n, bool):
        name = "alpha{:03d}".format(int(n))
    else:
        raise ValueError("n: expect an alpha number or name, got {!r}".format(n))
    if name not in ALPHAS:
        number = name[5:] if name.startswith("alpha") and name[5:].isdecimal() else None
        if number is not None and int(number) in LEFT_OUT:
            raise ValueError("alpha {} is not shipped: it {}".format(int(number), LEFT_OUT[int(number)]))
        raise ValueError("n: expect 1 .. 101 or a name alpha001 .. alpha101, got {!r}".format(n))
    return ALPHAS[name]()


def select(wanted):
    """The names of the alphas a command-line list asks for: "all", or numbers and names
    separated by commas ("1,12,alpha101"), in the order given, without repeats."""
    if not isinstance(wanted, str) or not wanted.strip():
        raise ValueError("alphas: expect 'all' or a comma-separated list of alpha numbers, got {!r}".format(wanted))
    if wanted.strip().lower() == "all":
        return list(ALPHAS)
    names = []
    for item in wanted.split(","):
        item = item.strip()
        if not item:
            raise ValueError("an empty item in {!r}: separate alpha numbers by single commas, such as "
                             "1,12,101".format(wanted))
        n = int(item) if item.isdecimal() else item
        alpha(n)   # raises for an unknown or left-out alpha
        name = "alpha{:03d}".format(n) if isinstance(n, int) else n
        if name not in names:
            names.append(name)
    return names
