"""Element-wise nodes run by row blocks on several threads: the same bits as one NumPy call,
NumPy's error state kept, errors raised, and threads the system refuses are no fault."""

import warnings

import numpy as np
import pytest

import sigmora
from sigmora import _blocks, operators as op
from sigmora.evaluation import _Graph, _Pool

ROWS, COLS = 700, 500      # above the size that goes to the threads


@pytest.fixture
def restore_threads():
    before = sigmora.get_num_threads()
    yield
    sigmora.set_num_threads(before)


def tables(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_t(3, size=(ROWS, COLS))
    y = rng.standard_t(3, size=(ROWS, COLS))
    x[rng.random(x.shape) < 0.1] = np.nan
    y[rng.random(y.shape) < 0.1] = np.nan
    y[::9] = 0.0
    x[4, :6] = [np.inf, -np.inf, 0.0, -0.0, 1e-310, np.nan]
    y[4, :6] = [np.inf, 0.0, 0.0, np.inf, -1e-310, 1.0]
    return x, y


def graph_values(exprs, data, pool):
    graph = _Graph(exprs)
    return [v.copy() for _, v, _ in graph.run(data, pool)]


def test_blocked_nodes_give_the_bits_of_whole_table_numpy(restore_threads):
    x, y = tables()
    column = y[:, :1].copy()          # broadcast along the columns
    row = x[:1].copy()                # and along the rows
    cases = [
        (np.add, (x, y)), (np.subtract, (x, 2.5)), (np.multiply, (column, x)),
        (np.true_divide, (x, y)), (np.true_divide, (1.0, y)), (np.maximum, (x, row)),
        (np.absolute, (x,)), (np.sqrt, (y,)), (np.sign, (x,)), (np.power, (x, 2.0)),
        # not correctly rounded: NumPy's vector loops, whose last vector of a band falls elsewhere
        (np.power, (y, x)), (np.power, (np.abs(x), 0.37)), (np.log, (y,)), (np.exp, (x,)),
        (np.floor_divide, (x, y)), (np.mod, (x, 0.7)),
        (np.less, (x, y)), (np.greater_equal, (x, 0.0)), (np.equal, (row, x)),
        (np.logical_or, (x > 0, y)), (np.less, (x, float("nan"))),
    ]
    with np.errstate(all="ignore"):
        expected = []
        for func, args in cases:
            value = func(*args)
            if func in (np.less, np.greater_equal, np.equal, np.logical_or):
                value = value.astype(float)
                for a in args:
                    if np.asarray(a).dtype.kind == "f":
                        value[np.broadcast_to(np.isnan(a), value.shape)] = np.nan
            expected.append(value)
        expected.append(np.where(np.isnan(y), np.nan, np.where(y != 0, x, column)))
    exprs = [(func, args) for func, args in cases] + [(op._if, (y, x, column))]
    for threads in (1, 2, 3):
        sigmora.set_num_threads(threads)
        got = graph_values(exprs, {}, _Pool(ROWS * COLS))
        for (func, _), want, value in zip(exprs, expected, got):
            assert value.dtype == np.float64 and value.flags.c_contiguous, func
            np.testing.assert_array_equal(value.view(np.int64), want.view(np.int64), err_msg=str(func))


def test_worker_threads_keep_the_callers_floating_point_error_state(restore_threads):
    sigmora.set_num_threads(2)
    x, y = tables()
    out = np.empty_like(x)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with np.errstate(all="ignore"):
            _blocks.ufunc(np.true_divide, out, x, y)   # divisions by zero on every band
    # Only row 600, in the second thread's band, divides by zero: the worker must raise.
    y = np.ones_like(x)
    y[600, 3] = 0.0
    with np.errstate(divide="raise"), pytest.raises(FloatingPointError):
        _blocks.ufunc(np.true_divide, out, x, y)


def test_an_error_in_one_band_is_raised_after_the_others(restore_threads):
    sigmora.set_num_threads(2)
    out = np.zeros((ROWS, COLS))

    def work(o, a):
        if a[0, 0] >= ROWS // 2:
            raise ValueError("band failed")
        o[:] = a

    rows = np.repeat(np.arange(ROWS, dtype=float)[:, None], COLS, axis=1)
    with pytest.raises(ValueError, match="band failed"):
        _blocks.run(work, out, rows)
    np.testing.assert_array_equal(out[: ROWS // 2], rows[: ROWS // 2])


def test_a_refused_thread_leaves_its_band_to_the_caller(restore_threads, monkeypatch):
    sigmora.set_num_threads(3)
    x, y = tables(1)

    def refuse(threads):
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(_blocks, "_workers", refuse)
    out = np.full_like(x, -7.0)
    with np.errstate(all="ignore"):
        _blocks.ufunc(np.true_divide, out, x, y)
        np.testing.assert_array_equal(out, x / y)


def test_chains_of_element_wise_nodes_computed_in_one_pass_keep_their_bits(restore_threads):
    """Chains fused into one pass (arithmetic, conditions, IF, sign, maximum, minimum, powers,
    signed powers, logs, constants, operands broadcast along either axis) give node by node's
    bits; a value read twice or asked for by name, an operand that is not a float table and a
    failed operand all keep their own meaning."""
    from sigmora.evaluation import FactorEvaluationError, _Failure, _element_wise_groups
    from sigmora.interface import UserDefinedLeafFactor

    def leaf(name):
        return UserDefinedLeafFactor(name, lambda ids, start, end: None)

    X, Y, C, R, M = leaf("x"), leaf("y"), leaf("column"), leaf("row"), leaf("missing")
    x, y = tables(2)
    data = {id(X): x, id(Y): y, id(C): y[:, :1].copy(), id(R): x[:1].copy()}
    shared = X * 2.0 - Y                                   # read twice: a chain of its own
    named = (X + 1.0) / Y
    exprs = [
        ((X - Y) / (abs(Y) + 1e-3) * 2.0).expr,
        op.IF((X > Y) | (Y < 0.0), X * C, -(Y + R)).expr,
        (op.IF(X > 0.0, 1.0, -1.0) * (shared + 1.0) + shared * shared).expr,
        named.expr, (named * 3.0).expr,
        (op.maximum(X, Y) * op.sign(Y - 1.0) + op.minimum(X, 0.5)).expr,
        ((X + 1) * 2).expr,                                # an int constant: node by node
        ((X ** 2.0 + 1.0) / (X - Y)).expr,                 # a power within a chain
        (op.signed_power(X - Y, 1.5) * op.log(abs(Y) + 1.0)).expr,
        ((M + 1.0) * X - 2.0).expr,                        # an operand that failed
    ]
    graph = _Graph(exprs)
    uses = [0] * len(graph.kinds)
    for refs in graph.args:
        for r in refs:
            uses[r] += 1
    groups = _element_wise_groups(graph, uses, {n: [] for n in graph.roots})
    assert len(groups.last) >= 5 and all(len(g.nodes) >= 2 for g in groups.last.values())
    assert not set(graph.roots) & groups.inner

    def values(pool):
        got = [v for _, v, _ in _Graph(exprs).run(data, pool)]
        return [v if isinstance(v, _Failure) else np.array(v) for v in got]

    with np.errstate(all="ignore"):
        plain = values(None)
        for threads in (1, 2):
            sigmora.set_num_threads(threads)
            fused = values(_Pool(ROWS * COLS))
            for k, (want, got) in enumerate(zip(plain, fused)):
                if isinstance(want, _Failure):
                    assert isinstance(got, _Failure) and isinstance(got.error, FactorEvaluationError)
                    assert str(got.error) == str(want.error)
                    continue
                np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64), err_msg=str(k))
