"""Operators for factor expressions: time series, cross sections, groups and element-wise.

Each function below builds a node that composes with the leaves and the arithmetic of
``sigmora.interface`` and that ``sigmora.evaluation.evaluate`` computes, e.g.::

    from sigmora.leaves import bar_field
    from sigmora.operators import cs_rank, ts_corr, ts_delta

    close, volume = bar_field("close", "post"), bar_field("volume")
    f = -ts_corr(cs_rank(ts_delta(volume, 1)), cs_rank(close / ts_delay(close, 1)), 6)

Conventions (those of the "101 Formulaic Alphas" paper, Kakushadze 2016):

- Windows ``d`` count trading-date rows, the current one included; a non-integer window is
  floored (``ts_mean(x, 9.7)`` is ``ts_mean(x, 9)``); a window must be at least 1 row.
- Time-series operators work per instrument. A window that holds a missing value gives a
  missing value (pandas ``rolling(d, min_periods=d)``) unless the operator says otherwise;
  like pandas' windows they take an infinity (e.g. from a division by 0) as missing.
- Cross-sectional and group operators work per date over the instruments that have a value
  and leave missing cells missing.
- Each node's ``shift`` counts the past rows it needs, so ``evaluate`` over [start, end]
  fetches exactly that much history: ``ts_mean(x, d)`` needs ``d - 1`` more rows than ``x``,
  ``ts_delay(x, d)`` ``d`` more.
- Values are float; conditions are 1.0 (true), 0.0 (false) or NaN (an operand missing).

The kernels run in sigmora's C++ core (``sigmora._core.ops_*``), in parallel over
instruments (time series) or dates (cross sections) with a fixed partition: the number of
threads never changes a result. Time-series results also depend only on the window's values
and on where the window sits relative to the last row, so evaluating a longer history gives
the same bits on the common dates.
"""
import math
import numbers
from itertools import chain

import numpy as np

from . import _blocks, _core
from .analysis._base import warn_user
from .evaluation import LaggedFactor, table_hint, described
from .interface import AbstractFactor, ConstantFactor, ShiftedFactor

__all__ = [
    "OperatorFactor",
    # time series
    "ts_delay", "ts_delta", "ts_sum", "ts_mean", "ts_std", "ts_min", "ts_max", "ts_argmin",
    "ts_argmax", "ts_rank", "ts_product", "ts_corr", "ts_cov", "ts_decay_linear", "ts_zscore",
    "ts_ema", "ts_slope", "ts_rsquare", "ts_resid",
    # cross sections and groups
    "cs_rank", "cs_zscore", "cs_scale", "cs_demean", "group_neutralize", "group_rank",
    # element-wise
    "IF", "sign", "log", "signed_power", "maximum", "minimum",
]


class OperatorFactor(AbstractFactor):
    """A node applying one operator to its operands.

    :param name: the operator's name, shown by ``repr``
    :param func: a module-level function called as ``func(*operand_values, *params)``
    :param operands: factors, or numbers (kept as constants); factors are aligned on the most
        shifted one, as ``BinaryCombinedFactor`` does
    :param params: plain arguments after the operand values (windows, names, exponents)
    :param lookback: the rows the operator consumes beyond its operands' own shift
    :param shown: the parameters ``repr`` shows (default: ``params``)
    """

    def __init__(self, name, func, operands, params=(), lookback=0, shown=None):
        factors = [o for o in operands if isinstance(o, AbstractFactor)]
        if not factors:
            raise ValueError("{}: expect at least one factor operand, got {!r}".format(name, list(operands)))
        base = max(int(f.shift) for f in factors)

        def aligned(operand):
            if isinstance(operand, AbstractFactor):
                if operand.shift < base:
                    return ShiftedFactor(operand, base - int(operand.shift))
                return operand
            return ConstantFactor(operand)

        self._name = name
        self._func = func
        self._operands = [aligned(o) for o in operands]
        self._params = tuple(params)
        self._shift = base + int(lookback)
        shown = self._params if shown is None else tuple(shown)
        self._repr = "{}({})".format(name, ", ".join([repr(o) for o in operands] + [repr(p) for p in shown]))

    @property
    def expr(self):
        return self._func, tuple(o.expr for o in self._operands) + self._params

    @property
    def dependencies(self):
        return list(chain(*(o.dependencies for o in self._operands)))

    @property
    def shift(self):
        return self._shift

    def __repr__(self):
        return self._repr


# ----------------------------------------------------------------------------- argument checks

# A truth value where an expression was expected most often comes from `a == b`, which compares
# the two nodes as objects (equality stays identity, see sigmora.interface), not their values.
_EQUALITY_HINT = ("; `a == b` of two expressions compares the objects, not their values: "
                  "an element-wise equality is ~(a != b)")


def _hint(x):
    return _EQUALITY_HINT if isinstance(x, (bool, np.bool_)) else table_hint(x)


def _factor(x, name, what="x"):
    if not isinstance(x, AbstractFactor):
        raise ValueError("{}: {} must be a factor expression, got {}{}".format(name, what, described(x), _hint(x)))
    return x


def _operand(x, name, what):
    if isinstance(x, AbstractFactor):
        return x
    if isinstance(x, (bool, np.bool_)) or not isinstance(x, numbers.Real):
        raise ValueError("{}: {} must be a factor expression or a number, got {}{}".format(
            name, what, described(x), _hint(x)))
    return float(x)


# What a window of one row cannot give: these operators are then NaN on every date.
_NEEDS_TWO_ROWS = {
    "ts_std": "a sample standard deviation", "ts_zscore": "a sample standard deviation",
    "ts_corr": "a correlation", "ts_cov": "a sample covariance",
    "ts_slope": "a regression on time", "ts_rsquare": "a regression on time", "ts_resid": "a regression on time",
}


def _window(d, name):
    """The window floored to an int of at least 1 row (said when one row can only give NaN)."""
    if isinstance(d, (bool, np.bool_)) or not isinstance(d, numbers.Real) or not math.isfinite(d):
        raise ValueError("{}: d must be a number of rows, got {!r}".format(name, d))
    rows = int(math.floor(d))
    if rows < 1:
        raise ValueError("{}: d must be at least 1 row (non-integer windows are floored), got {!r}".format(name, d))
    if rows == 1 and name in _NEEDS_TWO_ROWS:
        warn_user("{}: d = 1 gives NaN on every date: {} needs a window of two or more rows".format(
            name, _NEEDS_TWO_ROWS[name]))
    return rows


# ----------------------------------------------------------------------------- array functions
# Every function receives evaluated operands: float arrays of (rows x instruments) that line up
# from the last row (see sigmora.evaluation), constants as numbers. Those marked `_pooled` also
# take `alloc`, a function of a shape giving a C-contiguous float64 array to write a whole table
# into (the evaluation's pool, see sigmora.evaluation._Pool; never an operand's memory), for
# their result and their temporaries; without it they allocate their own.
# All of them are `_row_wise`: a result row depends on the operands' rows up to the same row
# from the end, so the evaluation may hand them operands without leading rows no result row
# it keeps depends on.


def _row_wise(func):
    func._row_wise = True
    return func


def _pooled(func):
    func._takes_alloc = True
    return _row_wise(func)


def _out(alloc, shape):
    """A pooled output of `shape` when there is a pool and the table is 2-D, else None."""
    return alloc(shape) if alloc is not None and len(shape) == 2 else None

def _table(values, name):
    arr = np.asarray(values)
    if arr.ndim != 2:
        raise ValueError("{} needs a table of factor values, got {}".format(
            name, "a constant" if arr.ndim == 0 else "an array of shape {}".format(arr.shape)))
    if arr.dtype != np.float64:
        arr = arr.astype(np.float64)
    return arr


@_pooled
def _rolling(x, op, d, param, alloc=None):
    # The kernel's first d - 1 rows have no full window: the node's shift accounts for them.
    x = _table(x, "ts_" + op)
    return _core.ops_ts(op, x, d, param, out=_out(alloc, x.shape))[d - 1:]


@_pooled
def _rolling2(x, y, op, d, alloc=None):
    x, y = np.broadcast_arrays(_table(x, "ts_" + op), _table(y, "ts_" + op))
    return _core.ops_ts2(op, x, y, d, out=_out(alloc, x.shape))[d - 1:]


@_pooled
def _delta(x, d, alloc=None):
    x = _table(x, "ts_delta")
    return _ufunc(np.subtract, (x[d:], x[:x.shape[0] - d]), alloc)


@_pooled
def _cross(x, op, param, alloc=None):
    x = _table(x, "cs_" + op)
    return _core.ops_cs(op, x, param, out=_out(alloc, x.shape))


def _group_codes(groups, shape):
    """Dense int32 group codes (-1 for a missing group) and their count."""
    g = np.broadcast_to(np.asarray(groups, dtype=np.float64), shape)
    if g.ndim == 2:
        coded = _core.ops_group_codes(g)   # labels that are already codes: one pass in C++
        if coded is not None:
            return coded
    known = np.isfinite(g)
    if not known.any():
        return np.full(shape, -1, dtype=np.int32), 0
    present = g[known]
    low, high = present.min(), present.max()
    if low >= 0 and high < 2 ** 20 and np.array_equal(present, np.floor(present)):
        codes = np.where(known, g, -1).astype(np.int32)
        return np.ascontiguousarray(codes), int(high) + 1
    labels, inverse = np.unique(present, return_inverse=True)
    codes = np.full(shape, -1, dtype=np.int32)
    codes[known] = inverse
    return codes, len(labels)


class _Codes:
    """A grouping table's dense int32 codes (-1: no group) and the number of groups."""

    __slots__ = ("codes", "n")

    def __init__(self, codes, n):
        self.codes, self.n = codes, n

    def __getitem__(self, rows):   # a shift's rows: the same groups
        return _Codes(self.codes[rows], self.n)

    @property
    def shape(self):   # a table's, for the evaluation's cuts of leading rows
        return self.codes.shape

    def __repr__(self):   # in error messages, as an argument's shape
        return "codes of {} groups, shape {}".format(self.n, self.codes.shape)


@_row_wise
def _coded(groups):
    groups = np.asarray(groups)
    return _Codes(*_group_codes(groups, groups.shape))


@_pooled
def _grouped(x, groups, op, alloc=None):
    """``groups``: the _Codes of the labels (see _GroupCodes)."""
    x = _table(x, "group_" + op)
    codes = groups.codes
    if codes.shape != x.shape:     # labels given as a constant
        codes = np.ascontiguousarray(np.broadcast_to(codes, x.shape))
    return _core.ops_group(op, x, codes, groups.n, out=_out(alloc, x.shape))


class _GroupCodes(AbstractFactor):
    """The codes of a grouping factor, as a node of its own: the group operators of one
    evaluation that read the same grouping share it, so its codes are made once."""

    def __init__(self, group):
        self._group = group

    @property
    def expr(self):
        return _coded, (self._group.expr,)

    @property
    def dependencies(self):
        return self._group.dependencies

    @property
    def shift(self):
        return self._group.shift

    def __repr__(self):
        return repr(self._group)


def _group_operator(name, x, group, op):
    # The codes of all the labels' rows, shifted as the operand needs: operators whose operands
    # look back different lengths still share one set of codes.
    return OperatorFactor(name, _grouped, [_factor(x, name), _GroupCodes(_groups(group, name))], (op,),
                          shown=())


@_pooled
def _if(cond, a, b, alloc=None):
    c = np.asarray(cond, dtype=np.float64)
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    shape = np.broadcast_shapes(c.shape, a.shape, b.shape)
    out = _out(alloc, shape)
    if out is None:
        out = np.empty(shape)
    if out.ndim == 2:
        return _blocks.where(out, c, a, b)
    _blocks.where_work(out, c, a, b)
    return out


@_pooled
def _sign(x, alloc=None):
    return _ufunc(np.sign, (x,), alloc)


@_pooled
def _log(x, alloc=None):
    with np.errstate(divide="ignore", invalid="ignore"):
        return _ufunc(np.log, (x,), alloc)


@_pooled
def _signed_power(x, e, alloc=None):
    x = np.asarray(x, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        out = _out(alloc, np.broadcast_shapes(x.shape, np.shape(e)))
        if out is None or out.shape != x.shape:
            return np.sign(x) * np.power(np.abs(x), e)
        return _blocks.run(_blocks.signed_power_work, out, x, e)


@_pooled
def _maximum(a, b, alloc=None):
    return _ufunc(np.maximum, (a, b), alloc)


@_pooled
def _minimum(a, b, alloc=None):
    return _ufunc(np.minimum, (a, b), alloc)


def _ufunc(func, operands, alloc):
    """``func`` of the operands as float64: by row blocks into a pooled table when there is one
    (see sigmora._blocks), else as NumPy computes it."""
    operands = [np.asarray(v, dtype=np.float64) for v in operands]
    out = _out(alloc, np.broadcast_shapes(*(v.shape for v in operands)))
    if out is None:
        return func(*operands)
    return _blocks.ufunc(func, out, *operands)


# How the evaluation computes these on a chunk of rows, within a chain of element-wise nodes:
# the same NumPy loops as on the whole table (see sigmora.evaluation), so the same bits.
_if._chunk_work, _if._chunk_args = _blocks.where_work, 3
_signed_power._chunk_work, _signed_power._chunk_args = _blocks.signed_power_work, 2
for _func, _numpy_func in ((_sign, np.sign), (_log, np.log), (_maximum, np.maximum), (_minimum, np.minimum)):
    _func._chunk_work, _func._chunk_args = _blocks.ufunc_work(_numpy_func), _numpy_func.nin
del _func, _numpy_func


def _ts(name, op, x, d, param=0.0, shown=None):
    d = _window(d, name)
    return OperatorFactor(name, _rolling, [_factor(x, name)], (op, d, float(param)), lookback=d - 1,
                          shown=(d,) if shown is None else shown)


# ----------------------------------------------------------------------------- time series

def ts_delay(x, d):
    """``x`` as it was ``d`` trading dates earlier (the paper's ``delay``; the node of
    ``sigmora.evaluation.lag``). Shift: ``d`` rows."""
    return LaggedFactor(_factor(x, "ts_delay"), _window(d, "ts_delay"))


def ts_delta(x, d):
    """``x`` minus ``x`` ``d`` trading dates earlier (the paper's ``delta``). Shift: ``d`` rows."""
    d = _window(d, "ts_delta")
    return OperatorFactor("ts_delta", _delta, [_factor(x, "ts_delta")], (d,), lookback=d)


def ts_sum(x, d):
    """Sum of the last ``d`` values (the paper's ``sum``). Shift: ``d - 1`` rows."""
    return _ts("ts_sum", "sum", x, d)


def ts_mean(x, d):
    """Mean of the last ``d`` values; a window of equal values gives that value exactly.
    Shift: ``d - 1`` rows."""
    return _ts("ts_mean", "mean", x, d)


def ts_std(x, d):
    """Sample standard deviation (n - 1 denominator) of the last ``d`` values (the paper's
    ``stddev``); a window of equal values gives exactly 0, ``d = 1`` gives NaN.
    Shift: ``d - 1`` rows."""
    return _ts("ts_std", "std", x, d)


def ts_min(x, d):
    """Smallest of the last ``d`` values. Shift: ``d - 1`` rows."""
    return _ts("ts_min", "min", x, d)


def ts_max(x, d):
    """Largest of the last ``d`` values. Shift: ``d - 1`` rows."""
    return _ts("ts_max", "max", x, d)


def ts_argmin(x, d):
    """On which of the last ``d`` days the smallest value occurred: 1 for the oldest day of
    the window, ``d`` for today; the oldest of equal minima wins (pandas
    ``rolling(d).apply(np.argmin) + 1``). Shift: ``d - 1`` rows."""
    return _ts("ts_argmin", "argmin", x, d)


def ts_argmax(x, d):
    """On which of the last ``d`` days the largest value occurred: 1 for the oldest day of
    the window, ``d`` for today; the oldest of equal maxima wins (pandas
    ``rolling(d).apply(np.argmax) + 1``). Shift: ``d - 1`` rows."""
    return _ts("ts_argmax", "argmax", x, d)


def ts_rank(x, d):
    """Today's value ranked among the last ``d`` values, as a fraction in (0, 1]: the
    average rank of ties divided by ``d`` (pandas ``rolling(d).rank(pct=True)``).
    Shift: ``d - 1`` rows."""
    return _ts("ts_rank", "rank", x, d)


def ts_product(x, d):
    """Product of the last ``d`` values. Shift: ``d - 1`` rows."""
    return _ts("ts_product", "product", x, d)


def ts_corr(x, y, d):
    """Correlation of ``x`` and ``y`` over the last ``d`` days (the paper's
    ``correlation``); a window where either is constant gives NaN (rather than pandas'
    division by a zero deviation), and so does ``d = 1`` (one point has no correlation); results
    are clipped to [-1, 1]. A day where either operand is missing counts as missing. Shift:
    ``d - 1`` rows beyond the operands'."""
    d = _window(d, "ts_corr")
    return OperatorFactor("ts_corr", _rolling2, [_factor(x, "ts_corr"), _factor(y, "ts_corr", "y")],
                          ("corr", d), lookback=d - 1, shown=(d,))


def ts_cov(x, y, d):
    """Sample covariance (n - 1 denominator) of ``x`` and ``y`` over the last ``d`` days (the
    paper's ``covariance``); exactly 0 when either is constant over the window, NaN for
    ``d = 1``. A day where either operand is missing counts as missing. Shift: ``d - 1`` rows
    beyond the operands'."""
    d = _window(d, "ts_cov")
    return OperatorFactor("ts_cov", _rolling2, [_factor(x, "ts_cov"), _factor(y, "ts_cov", "y")],
                          ("cov", d), lookback=d - 1, shown=(d,))


def ts_decay_linear(x, d):
    """Weighted mean of the last ``d`` values with weights ``d, d-1, ..., 1`` (today the
    heaviest) normalised to sum 1 (the paper's ``decay_linear``). Shift: ``d - 1`` rows."""
    return _ts("ts_decay_linear", "decay_linear", x, d)


def ts_zscore(x, d):
    """Today's value minus the mean of the last ``d`` values, over their sample standard
    deviation; NaN for a window of equal values. Shift: ``d - 1`` rows."""
    return _ts("ts_zscore", "zscore", x, d)


def ts_ema(x, d, alpha=None):
    """Exponentially weighted mean of the last ``d`` values: weight ``(1 - alpha)**k`` for the
    value ``k`` days old, normalised to sum 1, ``alpha = 2 / (d + 1)`` by default. The window
    is finite (older values do not count), so a value never depends on how much history was
    fetched. Shift: ``d - 1`` rows."""
    d = _window(d, "ts_ema")
    if alpha is None:
        alpha = 2.0 / (d + 1.0)
    if isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, numbers.Real) or not 0 < alpha <= 1:
        raise ValueError("ts_ema: alpha must be a number in (0, 1], got {!r}".format(alpha))
    return _ts("ts_ema", "ema", x, d, alpha, shown=(d, float(alpha)))


def ts_slope(x, d):
    """Slope of the least-squares line through the last ``d`` values against time 1 .. d
    (per day); NaN for ``d = 1``. Shift: ``d - 1`` rows."""
    return _ts("ts_slope", "slope", x, d)


def ts_rsquare(x, d):
    """R-squared of that line (in [0, 1]); NaN for a window of equal values or ``d = 1``.
    Shift: ``d - 1`` rows."""
    return _ts("ts_rsquare", "rsquare", x, d)


def ts_resid(x, d):
    """Today's value minus that line's value today (the residual of the newest day); NaN for
    ``d = 1``. Shift: ``d - 1`` rows."""
    return _ts("ts_resid", "resid", x, d)


# ----------------------------------------------------------------------------- cross sections

class _RankFactor(OperatorFactor):
    """A ``cs_rank`` node. Ranking a day's percentile ranks again gives them back bit for bit
    (the same order, the same ties, the same count, and (2k * 0.5) / n is the same float), so
    the rank of a rank evaluates as the inner rank: one sort per row instead of two."""

    @property
    def expr(self):
        inner = self._operands[0]
        if isinstance(inner, _RankFactor):
            return inner.expr
        return super().expr


def cs_rank(x):
    """Percentile rank of each value among the day's values: the average rank of ties
    divided by the number of values, in (0, 1] (pandas ``rank(axis=1, pct=True)``; the
    paper's ``rank``)."""
    return _RankFactor("cs_rank", _cross, [_factor(x, "cs_rank")], ("rank", 1.0), shown=())


def cs_zscore(x):
    """Each value minus the day's mean, over the day's sample standard deviation; NaN for a
    day with fewer than two values or with all values equal."""
    return OperatorFactor("cs_zscore", _cross, [_factor(x, "cs_zscore")], ("zscore", 1.0), shown=())


def cs_scale(x, a=1.0):
    """``x`` rescaled per day so that its absolute values sum to ``a`` (the paper's
    ``scale``); NaN on a day whose values are all 0."""
    if isinstance(a, (bool, np.bool_)) or not isinstance(a, numbers.Real) or not math.isfinite(a):
        raise ValueError("cs_scale: a must be a finite number, got {!r}".format(a))
    return OperatorFactor("cs_scale", _cross, [_factor(x, "cs_scale")], ("scale", float(a)),
                          shown=() if a == 1 else (float(a),))


def cs_demean(x):
    """Each value minus the day's mean."""
    return OperatorFactor("cs_demean", _cross, [_factor(x, "cs_demean")], ("demean", 1.0), shown=())


def _groups(group, name):
    if isinstance(group, str):
        from .leaves import INDUSTRY_SOURCES, industry
        if group not in INDUSTRY_SOURCES:
            raise ValueError("{}: group must be a classification of the store, one of {}, or a factor whose "
                             "values label the groups, got {!r}".format(name, list(INDUSTRY_SOURCES), group))
        return industry(group)
    return _factor(group, name, "group")


def group_neutralize(x, group="citics_2019"):
    """Each value minus the mean of its group on that day (the paper's ``IndNeutralize``).

    :param group: a classification of the store ("citics_2019" or "sws"), read as the
        ``sigmora.leaves.industry`` leaf, or any factor whose values label the groups (cells
        with a missing label give NaN)
    """
    return _group_operator("group_neutralize", x, group, "neutralize")


def group_rank(x, group="citics_2019"):
    """Percentile rank of each value within its group on that day (ties averaged, divided by
    the group's number of values). ``group`` as for ``group_neutralize``."""
    return _group_operator("group_rank", x, group, "rank")


# ----------------------------------------------------------------------------- element-wise

def IF(cond, a, b):
    """``a`` where ``cond`` is true (non-zero), else ``b``; missing where ``cond`` is missing
    (the paper's ``cond ? a : b``). ``a`` and ``b`` may be numbers."""
    return OperatorFactor("IF", _if, [_factor(cond, "IF", "cond"), _operand(a, "IF", "a"),
                                      _operand(b, "IF", "b")])


def sign(x):
    """-1, 0 or 1 by the sign of ``x`` (missing stays missing)."""
    return OperatorFactor("sign", _sign, [_factor(x, "sign")])


def log(x):
    """Natural logarithm (numpy's: -inf at 0, NaN below)."""
    return OperatorFactor("log", _log, [_factor(x, "log")])


def signed_power(x, e):
    """``sign(x) * abs(x) ** e`` (the paper's ``SignedPower``); ``e`` a number or a factor."""
    return OperatorFactor("signed_power", _signed_power, [_factor(x, "signed_power"),
                                                          _operand(e, "signed_power", "e")])


def maximum(a, b):
    """The larger of two operands, element by element (missing if either is missing)."""
    return OperatorFactor("maximum", _maximum, [_operand(a, "maximum", "a"), _operand(b, "maximum", "b")])


def minimum(a, b):
    """The smaller of two operands, element by element (missing if either is missing)."""
    return OperatorFactor("minimum", _minimum, [_operand(a, "minimum", "a"), _operand(b, "minimum", "b")])
