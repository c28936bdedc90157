"""Factor expression nodes: operators, alignment by shift, texts and user-defined leaves."""
import operator
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import tidewell
from sigmora import interface as si
from sigmora.exception import InvalidUserFactor, SigmoraUserException
from sigmora.interface import (
    AbstractFactor, AbstractUserDefinedLeafFactor, BinaryCombinedFactor, CombinedFactor,
    ConstantFactor, LeafFactor, ShiftedFactor, UnaryCombinedFactor, UserDefinedLeafFactor,
)


def leaf(name="f", func=None):
    if func is None:
        def func(order_book_ids, start_date, end_date):
            return None
    return UserDefinedLeafFactor(name, func)


# ----------------------------------------------------------------------------- module layout

def test_module_binds_its_names_in_order_and_classes_form_the_tree():
    names = [n for n in vars(si) if not n.startswith("__")]
    assert names == [
        "chain", "np", "pd", "tidewell", "SigmoraUserException", "InvalidUserFactor",
        "AbstractFactor", "ConstantFactor", "UnaryCombinedFactor", "ShiftedFactor",
        "BinaryCombinedFactor", "LeafFactor", "AbstractUserDefinedLeafFactor",
        "UserDefinedLeafFactor", "CombinedFactor"]
    assert AbstractFactor.__bases__ == (object,)
    for cls in (ConstantFactor, UnaryCombinedFactor, ShiftedFactor, BinaryCombinedFactor,
                LeafFactor, CombinedFactor):
        assert cls.__bases__ == (AbstractFactor,)
    assert AbstractUserDefinedLeafFactor.__bases__ == (LeafFactor,)
    assert UserDefinedLeafFactor.__bases__ == (AbstractUserDefinedLeafFactor,)
    assert all(type(c) is type for c in (AbstractFactor, LeafFactor, CombinedFactor))
    assert AbstractFactor.__doc__ is None and AbstractUserDefinedLeafFactor.__doc__ is None
    assert UserDefinedLeafFactor.__doc__ and ConstantFactor.__doc__


def test_interface_loads_without_the_analysis_package():
    code = ("import sys, sigmora.interface; "
            "print([m for m in sys.modules if m.startswith('sigmora.analysis') "
            "or m in ('sigmora.evaluation', 'sigmora.leaves')])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_abstract_members_raise_not_implemented():
    node = AbstractFactor()
    for name in ("expr", "dependencies", "shift"):
        with pytest.raises(NotImplementedError):
            getattr(node, name)
    with pytest.raises(NotImplementedError):
        AbstractUserDefinedLeafFactor().execute(["A"], "2020-01-01", "2020-01-31")
    # A leaf class must supply its own hash.
    with pytest.raises(NotImplementedError):
        {LeafFactor()}
    with pytest.raises(NotImplementedError):
        {LeafFactor(): 1}


# ----------------------------------------------------------------------------- operator table

F = object()  # stands for the node in the expected argument order

BINARY = [
    (operator.add, np.add, (F, 2)), (lambda f, x: x + f, np.add, (F, 2)),
    (operator.sub, np.subtract, (F, 2)), (lambda f, x: x - f, np.subtract, (2, F)),
    (operator.mul, np.multiply, (F, 2)), (lambda f, x: x * f, np.multiply, (F, 2)),
    (operator.truediv, np.true_divide, (F, 2)), (lambda f, x: x / f, np.true_divide, (2, F)),
    (operator.floordiv, np.floor_divide, (F, 2)), (lambda f, x: x // f, np.floor_divide, (2, F)),
    (operator.mod, np.mod, (F, 2)), (lambda f, x: x % f, np.mod, (2, F)),
    (operator.pow, np.power, (F, 2)), (lambda f, x: x ** f, np.power, (2, F)),
    (operator.lt, np.less, (F, 2)), (operator.le, np.less_equal, (F, 2)),
    (operator.gt, np.greater, (F, 2)), (operator.ge, np.greater_equal, (F, 2)),
    (operator.ne, np.not_equal, (F, 2)),
    (operator.and_, np.logical_and, (F, 2)), (operator.or_, np.logical_or, (F, 2)),
    (operator.xor, np.logical_xor, (F, 2)),
    # Comparisons with the number on the left are reflected by the host.
    (lambda f, x: x < f, np.greater, (F, 2)), (lambda f, x: x >= f, np.less_equal, (F, 2)),
]


@pytest.mark.parametrize("op, func, order", BINARY)
def test_binary_operators_build_nodes_with_their_numpy_function(op, func, order):
    f = leaf()
    node = op(f, 2)
    assert type(node) is BinaryCombinedFactor
    assert node._func is func
    expected = tuple(f if a is F else ConstantFactor(a).expr for a in order)
    assert node.expr[0] is func
    assert node.expr[1] == expected
    assert repr(node) == "{}({})".format(func.__name__, ", ".join(
        "UFactor(f)" if a is F else repr(a) for a in order))


@pytest.mark.parametrize("op, func", [(abs, np.abs), (operator.neg, np.negative),
                                      (operator.invert, np.logical_not)])
def test_unary_operators_build_new_nodes(op, func):
    f = leaf()
    node = op(f)
    assert type(node) is UnaryCombinedFactor and node._func is func
    assert node.expr == (func, (f,))
    assert repr(node) == "{}(UFactor(f))".format(func.__name__)


def test_reflected_add_and_mul_are_the_same_functions_and_plus_is_identity():
    assert AbstractFactor.__dict__["__radd__"] is AbstractFactor.__dict__["__add__"]
    assert AbstractFactor.__dict__["__rmul__"] is AbstractFactor.__dict__["__mul__"]
    f = leaf()
    assert +f is f
    # numpy's aliases print under numpy's own names.
    assert repr(abs(f)) == "absolute(UFactor(f))" and repr(f % 3) == "remainder(UFactor(f), 3)"
    # Both operands may be passed by their parameter names.
    assert AbstractFactor.__sub__(other=1, self=f).expr == (np.subtract, (f, 1.0))


def test_equality_is_identity_and_inequality_builds_a_node():
    f, g = leaf("f"), leaf("g")
    assert (f == f) is True and (f == g) is False
    assert isinstance(f != g, BinaryCombinedFactor)
    node = f + g
    assert node == node and isinstance(node != 0, BinaryCombinedFactor)
    assert hash(node) == object.__hash__(node)


def test_unsupported_operand_forms_fail_as_the_host_reports():
    f = leaf()
    assert (f & True).expr == (np.logical_and, (f, 1.0))
    with pytest.raises(TypeError):
        True & f
    with pytest.raises(TypeError):
        pow(f, 2, 5)


@pytest.mark.parametrize("use", [
    lambda f, g: bool(f), lambda f, g: not f, lambda f, g: f and g, lambda f, g: f or g,
    lambda f, g: 0 < f < 1, lambda f, g: 1 if f > 0 else 0,
])
def test_truth_test_of_a_node_asks_for_if(use):
    with pytest.raises(SigmoraUserException) as err:
        use(leaf("f"), leaf("g"))
    assert err.value.args == ("please use IF instead",)


# ----------------------------------------------------------------------------- alignment

def test_operands_with_different_shift_are_aligned_in_either_order():
    f, g = leaf("f"), leaf("g")
    g3 = ShiftedFactor(g, 3)
    for node, first in ((f + g3, f), (g3 + f, g3)):
        assert node.shift == 3
        wrapped = node._arg1 if first is f else node._arg2
        assert type(wrapped) is ShiftedFactor and wrapped._factor is f and wrapped._n == 3
        assert node.dependencies == ([f, g] if first is f else [g, f])
    assert (f + g3).expr == (np.add, ((ShiftedFactor._shift, (f, 3)), (ShiftedFactor._shift, (g, 3))))
    # The text shows the operands as written, not the alignment wrapper.
    assert repr(f + g3) == "add(UFactor(f), shift(UFactor(g), 3))"
    same = ShiftedFactor(f, 2) - ShiftedFactor(g, 2)
    assert same.shift == 2 and type(same._arg1._factor) is UserDefinedLeafFactor


def test_a_researchers_expression_tree():
    close, close_5d_ago, volume = leaf("close"), leaf("close_5d_ago"), leaf("volume")
    factor = (close / close_5d_ago - 1) * (volume > 0)
    assert factor.expr == (np.multiply, (
        (np.subtract, ((np.true_divide, (close, close_5d_ago)), 1.0)),
        (np.greater, (volume, 0.0))))
    assert factor.dependencies == [close, close_5d_ago, volume] and factor.shift == 0
    assert factor.dependencies is not factor.dependencies
    assert repr(factor) == ("multiply(subtract(divide(UFactor(close), UFactor(close_5d_ago)), 1), "
                            "greater(UFactor(volume), 0))")


def test_nested_shifts_accumulate_and_the_largest_wins():
    f, g = leaf("f"), leaf("g")
    node = (ShiftedFactor(ShiftedFactor(f, 2), 3) / g) * ShiftedFactor(g, 1)
    assert ShiftedFactor(ShiftedFactor(f, 2), 3).shift == 5
    assert node.shift == 5 and node._arg2._n == 4
    assert node.dependencies == [f, g, g]
    assert (f + f).dependencies == [f, f]
    assert ShiftedFactor(f, 2.5).shift == 2.5


def test_constant_operands_are_wrapped_and_printed_as_passed():
    f = leaf()
    node = f + 2
    assert type(node._arg2) is ConstantFactor and node._arg2.expr == 2.0
    assert node.expr == (np.add, (f, 2.0)) and type(node.expr[1][1]) is float
    assert node.dependencies == [f] and node.shift == 0
    assert repr(node) == "add(UFactor(f), 2)"
    assert repr(ShiftedFactor(f, 4) * 1.5) == "multiply(shift(UFactor(f), 4), 1.5)"
    assert (ShiftedFactor(f, 4) * 1.5).shift == 4
    with pytest.raises(ValueError) as err:
        f + "abc"
    assert str(err.value) == "invalid constant value abc"


def test_constant_factor_values():
    assert ConstantFactor("2.5").expr == 2.5 and ConstantFactor(True).expr == 1.0
    arr = np.arange(3.0)
    assert ConstantFactor(arr).expr is arr
    df = pd.DataFrame({"a": [1.0, 2.0]}, index=pd.to_datetime(["2020-01-02", "2020-01-03"]))
    stored = ConstantFactor(df).expr
    assert isinstance(stored, np.ndarray) and stored.tolist() == [[1.0], [2.0]]
    assert ConstantFactor(pd.Series([3, 4])).expr.tolist() == [3, 4]
    c = ConstantFactor(1)
    assert c.dependencies == [] and c.dependencies is not c.dependencies and c.shift == 0
    assert repr(c).startswith("<sigmora.interface.ConstantFactor object at ")
    with pytest.raises(ValueError, match="^invalid constant value x1$"):
        ConstantFactor("x1")
    for bad, shown in ((None, "None"), ([1, 2], r"\[1, 2\]"), ({}, r"\{\}")):
        with pytest.raises(TypeError, match=r"^invalid constant value {}: expect a number, a numpy array, a "
                                            r"pandas table or a factor expression, got ".format(shown)):
            ConstantFactor(bad)
    with pytest.raises(TypeError, match=r"^invalid constant value None: .* got NoneType$"):
        leaf() + None


def test_constructors_check_that_a_factor_is_given():
    with pytest.raises(AssertionError, match="^factor expected$"):
        UnaryCombinedFactor(np.abs, 1.0)
    for make in (lambda: ShiftedFactor(1.0, 2), lambda: BinaryCombinedFactor(np.add, 1, 2),
                 lambda: CombinedFactor(np.add, 1, 2)):
        with pytest.raises(AssertionError) as err:
            make()
        assert err.value.args == ()
    with pytest.raises(AttributeError):
        BinaryCombinedFactor(object(), leaf(), 1)   # a function without __name__


def test_without_assertions_factorless_nodes_fail_at_their_first_shift():
    code = ("import numpy as np\n"
            "from sigmora.interface import BinaryCombinedFactor, CombinedFactor, UnaryCombinedFactor\n"
            "for make in (lambda: BinaryCombinedFactor(np.add, 1, 2), lambda: CombinedFactor(np.add, 1, 2),\n"
            "             lambda: UnaryCombinedFactor(np.abs, 1).shift):\n"
            "    try:\n"
            "        make()\n"
            "    except Exception as e:\n"
            "        print(type(e).__name__)\n")
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["AttributeError", "ValueError", "AttributeError"]


def test_unary_node_with_further_arguments():
    f = leaf()
    node = UnaryCombinedFactor(np.round, ShiftedFactor(f, 2), 5)
    assert node.expr == (np.round, ((ShiftedFactor._shift, (f, 2)), 5))
    assert repr(node) == "round(shift(UFactor(f), 2))"
    assert node.shift == 2 and node.dependencies == [f]


def test_combined_factor_aligns_wraps_and_prints_stored_arguments():
    f, g = leaf("f"), leaf("g")
    node = CombinedFactor(np.where, f > 0, ShiftedFactor(g, 2), 0)
    assert node.shift == 2
    cond, val, const = node._args
    assert type(cond) is ShiftedFactor and cond._n == 2 and type(const) is ConstantFactor
    assert node.expr == (np.where, ((ShiftedFactor._shift, ((np.greater, (f, 0.0)), 2)),
                                    (ShiftedFactor._shift, (g, 2)), 0.0))
    assert node.dependencies == [f, g]
    text = repr(node)
    assert text.startswith("where(shift(greater(UFactor(f), 0), 2), shift(UFactor(g), 2), "
                           "<sigmora.interface.ConstantFactor object at ")
    assert repr(CombinedFactor(np.maximum, f, g)) == "maximum(UFactor(f), UFactor(g))"


def test_shift_drops_leading_rows_by_position():
    df = pd.DataFrame(np.arange(20.0).reshape(10, 2))
    out = ShiftedFactor._shift(df, 3)
    assert isinstance(out, np.ndarray) and out.shape == (7, 2) and out[0, 0] == 6.0
    assert ShiftedFactor._shift(pd.Series(range(5)), 2).tolist() == [2, 3, 4]
    assert ShiftedFactor._shift([1, 2, 3, 4], 1) == [2, 3, 4]
    assert ShiftedFactor._shift(np.arange(4), 2).tolist() == [2, 3]


# ----------------------------------------------------------------------------- user-defined leaves

DATES = pd.DatetimeIndex(["2020-01-02", "2020-01-03", "2020-01-06", "2020-01-07"])
IDS = ["A", "B"]


@pytest.fixture
def calendar(monkeypatch):
    calls = []

    def get_trading_dates(start, end):
        calls.append((start, end))
        return [d.strftime("%Y-%m-%d") for d in DATES]   # any form pd.to_datetime accepts

    monkeypatch.setattr(tidewell, "get_trading_dates", get_trading_dates)
    return calls


def returning(value):
    def user_func(order_book_ids, start_date, end_date):
        return value() if callable(value) else value
    return user_func


def table(index=DATES, columns=IDS):
    return pd.DataFrame(np.ones((len(index), len(columns))), index=index, columns=columns)


def test_execute_returns_the_users_table_unchanged(calendar):
    good = table(columns=["B", "A"]).astype("float32")
    received = []

    def user_func(order_book_ids, start_date, end_date):
        received.append((order_book_ids, start_date, end_date))
        return good

    f = UserDefinedLeafFactor("x", user_func)
    assert f.execute(IDS, "2020-01-01", end_date="2020-01-07") is good
    assert received == [(IDS, "2020-01-01", "2020-01-07")] and calendar == [("2020-01-01", "2020-01-07")]
    # Repeated columns pass as long as the set is right.
    dup = table(columns=["A", "B", "A"])
    assert UserDefinedLeafFactor("x", returning(dup)).execute(IDS, "a", "b") is dup


EMPTY = pd.DataFrame(index=DATES)
BAD = [
    # (returned value, message); the checks run in this order, the first failing one reports.
    (pd.Series([1.0]), "function user_func's returned value expect a pandas.DataFrame object, "
                       "but got <class 'pandas.Series'>."),
    (None, "function user_func's returned value expect a pandas.DataFrame object, "
           "but got <class 'NoneType'>."),
    (EMPTY, "function user_func returned an unexpect empty DataFrame."),
    (pd.DataFrame(index=DATES, columns=["C"]).iloc[:0], "function user_func returned an unexpect empty DataFrame."),
    (table(index=[d.strftime("%Y-%m-%d") for d in DATES]),
     "function user_func's returned value index should be pandas.DatetimeIndex."),
    (table(index=DATES[:-1]), "function user_func's returned value index mismatch, "
                              "expect trading dates from 2020-01-01 to 2020-01-31."),
    (table(index=DATES[::-1]), "function user_func's returned value index mismatch, "
                               "expect trading dates from 2020-01-01 to 2020-01-31."),
    (table(index=DATES[:-1].append(pd.DatetimeIndex(["2020-01-04"]))),
     "function user_func's returned value index mismatch, "
     "expect trading dates from 2020-01-01 to 2020-01-31."),
    # A wrong index is reported before wrong columns.
    (table(index=DATES[:2], columns=["Z"]), "function user_func's returned value index mismatch, "
                                            "expect trading dates from 2020-01-01 to 2020-01-31."),
    (table(columns=["A"]), "function user_func's returned value columns mismatch, "
                           "expect order_book_ids as columns."),
    (table(columns=["A", "B", "C"]), "function user_func's returned value columns mismatch, "
                                     "expect order_book_ids as columns."),
]


@pytest.mark.parametrize("value, message", BAD)
def test_execute_checks_in_order(calendar, value, message):
    f = UserDefinedLeafFactor("x", returning(value))
    with pytest.raises(InvalidUserFactor) as err:
        f.execute(IDS, "2020-01-01", "2020-01-31")
    assert err.value.args == (message,)
    # A failed call leaves the leaf usable.
    with pytest.raises(InvalidUserFactor):
        f.execute(IDS, "2020-01-01", "2020-01-31")


def test_execute_propagates_errors_of_the_function_and_the_client(monkeypatch):
    def broken(order_book_ids, start_date, end_date):
        raise KeyError("no data")

    with pytest.raises(KeyError):
        UserDefinedLeafFactor("x", broken).execute(IDS, "a", "b")

    def no_calendar(start, end):
        raise RuntimeError("store offline")

    monkeypatch.setattr(tidewell, "get_trading_dates", no_calendar)
    with pytest.raises(RuntimeError, match="store offline"):
        UserDefinedLeafFactor("x", returning(table())).execute(IDS, "a", "b")
    # The type check runs before the calendar is asked.
    with pytest.raises(InvalidUserFactor):
        UserDefinedLeafFactor("x", returning(1)).execute(IDS, "a", "b")


def test_user_leaf_name_text_and_hash():
    def turnover_rate_weekly(order_book_ids, start_date, end_date):
        return None

    f = UserDefinedLeafFactor("turnover_rate_weekly", turnover_rate_weekly)
    g = UserDefinedLeafFactor(name="again", func=turnover_rate_weekly)
    assert repr(f) == "UFactor(turnover_rate_weekly)" and f.name == "turnover_rate_weekly"
    assert f._func_name == "turnover_rate_weekly"
    assert hash(f) == hash(g) == id(turnover_rate_weekly)
    assert len({f, g}) == 2 and (f == g) is False
    assert hash(leaf()) != hash(f)
    assert f.expr is f and f.dependencies == [f] and f.shift == 0
    with pytest.raises(AttributeError):
        UserDefinedLeafFactor("x", object())
