"""Factor expressions: leaves, constants and operators combined into trees of factor nodes.

A node never computes data.  It describes the computation through three read-only properties:

- ``expr``: a leaf object (evaluates to its own data), a constant (a float or a numpy array), or
  a pair ``(callable, args)`` standing for the callable applied to its evaluated arguments;
- ``dependencies``: the leaves the expression reads, left to right, duplicates kept;
- ``shift``: how many leading rows the computation consumes compared with the leaf data.

Operands with different ``shift`` are aligned by wrapping the less shifted ones in a
``ShiftedFactor``, so that all operands of a node lack the same leading rows and line up from the
end.
"""
from itertools import chain

import numpy as np
import pandas as pd

import tidewell

from .exception import SigmoraUserException, InvalidUserFactor


class AbstractFactor(object):

    def __init_subclass__(cls, **kwargs):
        # Every node's `shift` stays the documented int-valued property; its value only adds a
        # clear message for a call such as `x.shift(20)`.
        super().__init_subclass__(**kwargs)
        from ._shift_count import explained_shift
        prop = cls.__dict__.get("shift")
        if isinstance(prop, property) and prop.fget is not None \
                and not getattr(prop.fget, "_sigmora_explained", False):
            cls.shift = property(explained_shift(prop.fget), prop.fset, prop.fdel, prop.__doc__)

    @property
    def expr(self):
        raise NotImplementedError

    @property
    def dependencies(self):
        raise NotImplementedError

    @property
    def shift(self):
        raise NotImplementedError

    # The node classes are looked up when an operator runs: they are defined further down.
    def __abs__(self):
        return UnaryCombinedFactor(np.abs, self)

    def __add__(self, other):
        return BinaryCombinedFactor(np.add, self, other)

    # Reflected addition and multiplication keep the node as the first operand.
    __radd__ = __add__

    def __sub__(self, other):
        return BinaryCombinedFactor(np.subtract, self, other)

    def __rsub__(self, other):
        return BinaryCombinedFactor(np.subtract, other, self)

    def __mul__(self, other):
        return BinaryCombinedFactor(np.multiply, self, other)

    __rmul__ = __mul__

    def __truediv__(self, other):
        return BinaryCombinedFactor(np.true_divide, self, other)

    def __rtruediv__(self, other):
        return BinaryCombinedFactor(np.true_divide, other, self)

    def __floordiv__(self, other):
        return BinaryCombinedFactor(np.floor_divide, self, other)

    def __rfloordiv__(self, other):
        return BinaryCombinedFactor(np.floor_divide, other, self)

    def __mod__(self, other):
        return BinaryCombinedFactor(np.mod, self, other)

    def __rmod__(self, other):
        return BinaryCombinedFactor(np.mod, other, self)

    def __pow__(self, other):
        return BinaryCombinedFactor(np.power, self, other)

    def __rpow__(self, other):
        return BinaryCombinedFactor(np.power, other, self)

    def __pos__(self):
        return self

    def __neg__(self):
        return UnaryCombinedFactor(np.negative, self)

    def __lt__(self, other):
        return BinaryCombinedFactor(np.less, self, other)

    def __le__(self, other):
        return BinaryCombinedFactor(np.less_equal, self, other)

    def __gt__(self, other):
        return BinaryCombinedFactor(np.greater, self, other)

    def __ge__(self, other):
        return BinaryCombinedFactor(np.greater_equal, self, other)

    # No __eq__: equality stays identity, so nodes can be compared and hashed like objects.
    def __ne__(self, other):
        return BinaryCombinedFactor(np.not_equal, self, other)

    # &, |, ^ and ~ are boolean conditions over factor values, not bitwise operations.
    def __and__(self, other):
        return BinaryCombinedFactor(np.logical_and, self, other)

    def __or__(self, other):
        return BinaryCombinedFactor(np.logical_or, self, other)

    def __xor__(self, other):
        return BinaryCombinedFactor(np.logical_xor, self, other)

    def __invert__(self):
        return UnaryCombinedFactor(np.logical_not, self)

    def __bool__(self):
        # `if f > 0`, `f and g`, `not f` and `0 < f < 1` would silently pick one operand.
        raise SigmoraUserException("please use IF instead")


class ConstantFactor(AbstractFactor):
    """Constant factor.

    :param value: number-like: int, float, str or another object convertible to float; a
        pandas DataFrame or Series is kept as its underlying array, a numpy array as it is.
    """

    # The labels of a pandas value (index, and columns of a DataFrame): the value is matched to
    # an evaluation's dates and ids by position, and the evaluation says when they differ.
    _labels = None

    def __init__(self, value):
        if isinstance(value, (pd.DataFrame, pd.Series)):
            self._value = value.values
            self._labels = (value.index, value.columns if isinstance(value, pd.DataFrame) else None)
        elif isinstance(value, np.ndarray):
            self._value = value
        else:
            try:
                self._value = float(value)
            except ValueError:
                raise ValueError("invalid constant value {}".format(value))
            except TypeError:   # None, a list, ...: say which operand, not float()'s words
                raise TypeError("invalid constant value {!r}: expect a number, a numpy array, a pandas "
                                "table or a factor expression, got {}".format(value, type(value).__name__)) from None

    @property
    def expr(self):
        return self._value

    @property
    def dependencies(self):
        return []

    @property
    def shift(self):
        return 0


class UnaryCombinedFactor(AbstractFactor):
    """Unary combined factor.

    :param func: the combining function
    :param factor: an AbstractFactor
    :param args: further arguments passed to the function after the factor's value
    """

    def __init__(self, func, factor, *args):
        assert isinstance(factor, AbstractFactor), "factor expected"
        self._func = func
        self._factor = factor
        self._args = args

    @property
    def shift(self):
        return self._factor.shift

    @property
    def expr(self):
        return self._func, (self._factor.expr,) + self._args

    @property
    def dependencies(self):
        return self._factor.dependencies

    def __repr__(self):
        return "{}({!r})".format(self._func.__name__, self._factor)


class ShiftedFactor(AbstractFactor):
    """Shifted factor: the operand without its first ``n`` rows.

    :param factor: an AbstractFactor
    :param n: int, the number of leading rows to drop
    """

    def __init__(self, factor, n):
        assert isinstance(factor, AbstractFactor)
        self._factor = factor
        self._n = n

    @property
    def shift(self):
        return self._factor.shift + self._n

    @property
    def dependencies(self):
        return self._factor.dependencies

    @staticmethod
    def _shift(series, n):
        # By position: the result carries no index, so operands line up from the end.
        if hasattr(series, "values"):
            return series.values[n:]
        return series[n:]

    @property
    def expr(self):
        return ShiftedFactor._shift, (self._factor.expr, self._n)

    def __repr__(self):
        return "shift({!r}, {})".format(self._factor, self._n)


class BinaryCombinedFactor(AbstractFactor):
    """Binary combined factor.

    :param func: the combining function
    :param arg1: a float or an AbstractFactor
    :param arg2: a float or an AbstractFactor; at least one of arg1 and arg2 is an AbstractFactor
    """

    def __init__(self, func, arg1, arg2):
        assert isinstance(arg1, AbstractFactor) or isinstance(arg2, AbstractFactor)
        self._func = func
        # The text shows the operands as written, before alignment and constant wrapping.
        self._repr = "{}({!r}, {!r})".format(func.__name__, arg1, arg2)
        if isinstance(arg1, AbstractFactor) and isinstance(arg2, AbstractFactor):
            if arg1.shift > arg2.shift:
                self._arg2 = ShiftedFactor(arg2, arg1.shift - arg2.shift)
                self._arg1 = arg1
            elif arg1.shift < arg2.shift:
                self._arg1 = ShiftedFactor(arg1, arg2.shift - arg1.shift)
                self._arg2 = arg2
            else:
                self._arg1 = arg1
                self._arg2 = arg2
            self._shift = max(arg1.shift, arg2.shift)
        elif isinstance(arg1, AbstractFactor):
            self._arg1 = arg1
            self._arg2 = ConstantFactor(arg2)
            self._shift = arg1.shift
        else:
            self._arg2 = arg2
            self._arg1 = ConstantFactor(arg1)
            self._shift = arg2.shift

    @property
    def expr(self):
        return self._func, (self._arg1.expr, self._arg2.expr)

    @property
    def dependencies(self):
        return self._arg1.dependencies + self._arg2.dependencies

    @property
    def shift(self):
        return self._shift

    def __repr__(self):
        return self._repr


class LeafFactor(AbstractFactor):
    """Base abstract class of leaf nodes."""

    @property
    def expr(self):
        return self

    @property
    def dependencies(self):
        return [self]

    def __hash__(self):
        # Each kind of leaf decides what makes two leaves the same data source.
        raise NotImplementedError

    @property
    def shift(self):
        return 0


class AbstractUserDefinedLeafFactor(LeafFactor):

    def execute(self, order_book_ids, start_date, end_date):
        raise NotImplementedError


class UserDefinedLeafFactor(AbstractUserDefinedLeafFactor):
    """User-defined leaf factor.

    :param name: the factor name
    :param func: the user-defined operator, called as ``func(order_book_ids, start_date,
        end_date)``.  It must return a pandas DataFrame indexed by the sequence of trading dates
        from start_date to end_date, with the list of stocks (order_book_ids) as columns.

    Example::

        def daily_volume(order_book_ids, start_date, end_date):
            df = tidewell.get_price(order_book_ids, start_date, end_date, fields="volume")
            return df["volume"].unstack("order_book_id").reindex(columns=order_book_ids)

        f = UserDefinedLeafFactor("daily_volume", daily_volume)
        f  # UFactor(daily_volume)
    """

    def __init__(self, name, func):
        self._name = name
        self._func = func
        self._func_name = func.__name__

    @property
    def name(self):
        return self._name

    def execute(self, order_book_ids, start_date, end_date):
        ret = self._func(order_book_ids, start_date, end_date)
        if not isinstance(ret, pd.DataFrame):
            raise InvalidUserFactor(
                "function {}'s returned value expect a pandas.DataFrame object, but got {}.".format(
                    self._func_name, type(ret)))
        if ret.empty:
            raise InvalidUserFactor(
                "function {} returned an unexpect empty DataFrame.".format(self._func_name))
        if not isinstance(ret.index, pd.DatetimeIndex):
            raise InvalidUserFactor(
                "function {}'s returned value index should be pandas.DatetimeIndex.".format(
                    self._func_name))
        tds = tidewell.get_trading_dates(start_date, end_date)
        date_index = pd.to_datetime(tds)
        # Length first, so the element-wise comparison only sees indexes of equal length.
        if date_index.shape != ret.index.shape or np.any(date_index != ret.index):
            raise InvalidUserFactor(
                "function {}'s returned value index mismatch, expect trading dates from {} to {}.".format(
                    self._func_name, start_date, end_date))
        if set(ret.columns.tolist()) != set(order_book_ids):
            raise InvalidUserFactor(
                "function {}'s returned value columns mismatch, expect order_book_ids as columns.".format(
                    self._func_name))
        return ret

    def __hash__(self):
        # Leaves built on the same function read the same data.
        return id(self._func)

    def __repr__(self):
        return "UFactor({})".format(self._name)


class CombinedFactor(AbstractFactor):
    """Combined factor.

    :param func: the combining function
    :param args: one or more arguments, at least one of which should be an AbstractFactor;
        the others are wrapped as constants
    """

    def __init__(self, func, *args):
        self._func = func
        factors = [arg for arg in args if isinstance(arg, AbstractFactor)]
        assert factors
        self._shift = max(f.shift for f in factors)

        def shift_if_need(arg):
            if isinstance(arg, AbstractFactor):
                if arg.shift < self._shift:
                    return ShiftedFactor(arg, self._shift - arg.shift)
                return arg
            return ConstantFactor(arg)

        self._args = [shift_if_need(arg) for arg in args]

    @property
    def expr(self):
        return self._func, tuple(arg.expr for arg in self._args)

    @property
    def shift(self):
        return self._shift

    @property
    def dependencies(self):
        return list(chain(*(arg.dependencies for arg in self._args)))

    def __repr__(self):
        return "{}({})".format(self._func.__name__, ", ".join(repr(arg) for arg in self._args))
