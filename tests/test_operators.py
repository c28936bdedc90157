"""The expression operators against their pandas transcriptions (tests/reference_operators.py):
missing values, ties, constant windows, windows longer than the data, d = 1, either memory
order; thread-count identity; shift, history fetching and common subexpressions in evaluate."""
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import sigmora
import tidewell
from sigmora import _core, operators as op
from sigmora.evaluation import _Failure, _Graph, evaluate, evaluate_many, iter_evaluate
from sigmora.exception import SigmoraUserException
from sigmora.interface import CombinedFactor, UserDefinedLeafFactor
from sigmora.leaves import bar_field, industry

from tests import reference_operators as ref

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

# ----------------------------------------------------------------------------- helpers


def _leaf(name):
    def fetch(order_book_ids, start_date, end_date):   # never called: values are given
        raise AssertionError("not fetched in these tests")
    fetch.__name__ = name
    return UserDefinedLeafFactor(name, fetch)


X, Y, G = _leaf("x"), _leaf("y"), _leaf("g")


def node_table(node, data):
    """The node's values on given leaf tables, padded with NaN at the top to the tables'
    length (the rows its shift consumed), as evaluate lines them up."""
    graph = _Graph([node.expr])
    [(_, value, _)] = list(graph.run({id(leaf): values for leaf, values in data.items()}))
    if isinstance(value, _Failure):
        raise value.error
    T, N = next(iter(data.values())).shape
    rows = T - node.shift
    value = np.broadcast_to(np.asarray(value, dtype=np.float64), (max(rows, 0), N))
    if rows <= 0:
        return np.full((T, N), np.nan)
    return np.vstack([np.full((node.shift, N), np.nan), value])


def assert_matches(got, want, rtol=1e-10, atol=1e-12, exact=False):
    want = np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    if exact:
        np.testing.assert_array_equal(got, want)
    else:
        np.testing.assert_allclose(got, want, rtol=rtol, atol=atol)


# Half-integers: sums are exact, ties and constant windows are frequent, and two distinct
# values are never so close that a correlation is ill-conditioned.
GRID = st.one_of(st.integers(-6, 6).map(lambda i: i / 2.0), st.just(np.nan))
# Infinities now and then: time-series windows take them as missing, as pandas' do.
GRID_INF = st.one_of(GRID, GRID, GRID, GRID, GRID, st.sampled_from([np.inf, -np.inf]))


@st.composite
def tables(draw, count=1, max_rows=30, elements=GRID):
    T = draw(st.integers(1, max_rows))
    N = draw(st.integers(1, 5))
    out = [draw(hnp.arrays(np.float64, (T, N), elements=elements)) for _ in range(count)]
    if draw(st.booleans()):   # pandas hands over column-major tables
        out = [np.asfortranarray(a) for a in out]
    return out


WINDOWS = st.tuples(st.integers(1, 12), st.sampled_from([0.0, 0.5, 0.99]))
SETTINGS = settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])

TS_UNARY = ["ts_sum", "ts_mean", "ts_std", "ts_min", "ts_max", "ts_argmin", "ts_argmax", "ts_rank",
            "ts_product", "ts_decay_linear", "ts_zscore", "ts_ema", "ts_slope", "ts_rsquare", "ts_resid"]
EXACT = {"ts_sum", "ts_min", "ts_max", "ts_argmin", "ts_argmax", "ts_rank", "ts_product"}


@pytest.mark.parametrize("name", TS_UNARY)
@SETTINGS
@given(data=tables(elements=GRID_INF), window=WINDOWS)
def test_time_series_operator_matches_pandas(name, data, window):
    (x,) = data
    d = window[0] + window[1]       # non-integer windows are floored
    node = getattr(op, name)(X, d)
    assert node.shift == window[0] - 1
    got = node_table(node, {X: x})
    want = getattr(ref, name)(pd.DataFrame(x), window[0])
    assert_matches(got, want, exact=name in EXACT, atol=1e-9 if name in ("ts_slope", "ts_resid") else 1e-12)


@pytest.mark.parametrize("name", ["ts_corr", "ts_cov"])
@SETTINGS
@given(data=tables(count=2, elements=GRID_INF), window=WINDOWS)
def test_two_operand_time_series_operator_matches_pandas(name, data, window):
    x, y = data
    d = window[0] + window[1]
    node = getattr(op, name)(X, Y, d)
    got = node_table(node, {X: x, Y: y})
    want = getattr(ref, name)(pd.DataFrame(x), pd.DataFrame(y), window[0])
    assert_matches(got, want)


@pytest.mark.parametrize("name", ["ts_delay", "ts_delta"])
@SETTINGS
@given(data=tables(), window=WINDOWS)
def test_delays_match_pandas(name, data, window):
    (x,) = data
    d = window[0] + window[1]
    node = getattr(op, name)(X, d)
    assert node.shift == window[0]
    if window[0] > x.shape[0]:
        return   # evaluate always fetches the d rows a delay needs
    got = node_table(node, {X: x})
    assert_matches(got, getattr(ref, name)(pd.DataFrame(x), window[0]), exact=True)


@SETTINGS
@given(data=tables(elements=GRID_INF))
def test_a_rank_of_ranks_is_computed_once_and_equals_pandas(data):
    (x,) = data
    node = op.cs_rank(op.cs_rank(op.cs_rank(X)))
    assert repr(node) == "cs_rank(cs_rank(cs_rank(UFactor(x))))"
    assert sum(kind == "call" for kind in _Graph([node.expr]).kinds) == 1
    frame = pd.DataFrame(x)
    assert_matches(node_table(node, {X: x}), ref.cs_rank(ref.cs_rank(ref.cs_rank(frame))), exact=True)
    # ranks of something else than a rank are still computed
    assert_matches(node_table(op.cs_rank(-1 * op.cs_rank(X)), {X: x}), ref.cs_rank(-1 * ref.cs_rank(frame)),
                   exact=True)


@pytest.mark.parametrize("name", ["cs_rank", "cs_zscore", "cs_demean", "cs_scale"])
@SETTINGS
@given(data=tables(elements=GRID_INF))
def test_cross_sectional_operator_matches_pandas(name, data):
    (x,) = data
    node = getattr(op, name)(X)
    got = node_table(node, {X: x})
    assert_matches(got, getattr(ref, name)(pd.DataFrame(x)), exact=name == "cs_rank")


@pytest.mark.parametrize("n", [300, 5000])
def test_cs_rank_of_rows_whose_values_share_long_prefixes(n):
    """Rows of a few hundred values and more are sorted by key prefixes: values packed tightly
    beside an outlier, clusters within clusters, ties among them and every kind of missing
    value must still come out in pandas' ranks, bit for bit."""
    rng = np.random.default_rng(7)
    rows = []
    cluster = 1.0 + 1e-9 * rng.standard_normal(n)
    cluster[3] = -5.0                                           # one outlier stretches the range
    rows.append(cluster)
    nested = 1.0 + np.where(rng.random(n) < 0.5, 1e-6, 1e-13) * rng.standard_normal(n)
    nested[0], nested[1] = 1e300, -1e300
    rows.append(nested)
    tied = np.round(1.0 + 1e-7 * rng.integers(0, 4, n), 9)       # four values in a tight band
    tied[5], tied[6], tied[7] = np.nan, np.inf, -np.inf
    rows.append(tied)
    rows.append(np.where(rng.random(n) < 0.3, np.nan, np.round(rng.standard_normal(n), 2)))
    rows.append(np.full(n, 2.5))
    rows.append(np.r_[np.full(n - 1, -0.0), 0.0])              # -0.0 and 0.0 tie
    # Rows are first put in order by the values' nearest floats: values beyond the float's
    # range, subnormal doubles that round to a signed zero, and neighbours one float apart
    # share such a prefix and must still be told apart by their doubles.
    beyond = rng.standard_normal(n) * 10.0 ** rng.integers(-320, 308, n)
    beyond[::4] = np.nextafter(3.4028234663852886e38, np.inf) * rng.choice([-1.0, 1.0], n)[::4]
    beyond[1::9] = np.nan
    rows.append(beyond)
    tiny = np.where(rng.random(n) < 0.5, -1.0, 1.0) * 5e-324 * rng.integers(0, 9, n)
    tiny[2::5] = -0.0
    rows.append(tiny)
    rows.append(1.0 + np.spacing(1.0) * rng.integers(-3, 4, n))  # seven doubles, one float
    x = np.array(rows)
    got = node_table(op.cs_rank(X), {X: x})
    assert_matches(got, ref.cs_rank(pd.DataFrame(x)), exact=True)


def test_cs_scale_target():
    x = np.array([[1.0, -3.0, np.nan, 4.0], [0.0, 0.0, 0.0, np.nan]])
    got = node_table(op.cs_scale(X, 2.5), {X: x})
    assert_matches(got, ref.cs_scale(pd.DataFrame(x), 2.5))
    assert np.nansum(np.abs(got[0])) == pytest.approx(2.5)


GROUP_LABELS = st.one_of(st.sampled_from([0.0, 1.0, 2.0, 7.0]), st.just(np.nan))
ODD_LABELS = st.one_of(st.sampled_from([-1.5, 0.25, 1e6, 3e9]), st.just(np.nan))


@pytest.mark.parametrize("name", ["group_neutralize", "group_rank"])
@pytest.mark.parametrize("labels", [GROUP_LABELS, ODD_LABELS], ids=["codes", "any-labels"])
@SETTINGS
@given(data=st.data())
def test_group_operator_matches_pandas(name, labels, data):
    (x,) = data.draw(tables())
    g = data.draw(hnp.arrays(np.float64, x.shape, elements=labels))
    node = getattr(op, name)(X, G)
    got = node_table(node, {X: x, G: g})
    want = getattr(ref, name)(pd.DataFrame(x), pd.DataFrame(g))
    assert_matches(got, want, exact=name == "group_rank")


def test_group_labels_that_are_codes_are_read_in_one_pass_and_others_fall_back():
    inf = np.inf
    labels = np.array([[0.0, -0.0, 3.0, np.nan], [inf, -inf, 2.0 ** 20 - 1, 1.0]])
    codes, n = _core.ops_group_codes(labels)
    assert codes.dtype == np.int32 and n == 2 ** 20
    np.testing.assert_array_equal(codes, [[0, 0, 3, -1], [-1, -1, 2 ** 20 - 1, 1]])
    for other in (2.0 ** 20, -1.0, 0.5):
        odd = labels.copy()
        odd[0, 3] = other
        assert _core.ops_group_codes(odd) is None
        codes, n = op._group_codes(odd, odd.shape)   # the general path: codes of the sorted labels
        assert n == len(np.unique(odd[np.isfinite(odd)]))
    codes, n = _core.ops_group_codes(np.full((3, 2), np.nan))
    assert n == 0 and (codes == -1).all()
    # one label per column broadcast over the dates, as a constant-per-stock classification
    codes, n = op._group_codes(np.array([2.0, np.nan, 0.0]), (4, 3))
    assert n == 3 and codes.shape == (4, 3) and (codes == [2, -1, 0]).all()


def test_group_operators_on_one_grouping_share_its_codes(monkeypatch):
    """The codes of a grouping are made once per evaluation, however many group operators read
    it, and operators whose operand looks back further still get the labels of its rows."""
    rng = np.random.default_rng(5)
    x = rng.standard_normal((12, 9))
    g = rng.integers(0, 3, x.shape).astype(float)
    g[2, :4] = np.nan
    g[7:] = rng.integers(0, 3, (5, 9))           # labels that change over time
    made = []
    original = op._group_codes
    monkeypatch.setattr(op, "_group_codes", lambda *a: made.append(a[1]) or original(*a))
    nodes = [op.group_neutralize(X, G), op.group_rank(X, G),
             op.group_rank(op.ts_mean(X, 3), G), op.group_neutralize(op.ts_delta(X, 4), G)]
    graph = _Graph([n.expr for n in nodes])
    values = [v for _, v, _ in graph.run({id(X): x, id(G): g})]
    assert not any(isinstance(v, _Failure) for v in values)
    # One set of codes for all the labels' rows, shifted for the operands of ts_mean(3) and
    # ts_delta(4), which start 2 and 4 rows later.
    assert made == [(12, 9)]
    frames = pd.DataFrame(x), pd.DataFrame(g)
    wants = [ref.group_neutralize(*frames), ref.group_rank(*frames),
             ref.group_rank(frames[0].rolling(3).mean(), frames[1]),
             ref.group_neutralize(frames[0] - frames[0].shift(4), frames[1])]
    for node, value, want in zip(nodes, values, wants):
        assert_matches(np.vstack([np.full((node.shift, 9), np.nan), value]), want)


@SETTINGS
@given(data=tables(count=3))
def test_element_wise_operators_match_numpy(data):
    c, a, b = data
    frames = [pd.DataFrame(v) for v in data]
    cases = [
        (op.IF(X > 0, Y, G), ref.IF((frames[0] > 0).astype(float).mask(frames[0].isna()), frames[1], frames[2])),
        (op.IF(X, 1, -1.5), ref.IF(frames[0], 1.0, -1.5)),
        (op.sign(X), ref.sign(frames[0])),
        (op.log(abs(X)), ref.log(frames[0].abs())),
        (op.signed_power(X, 2), ref.signed_power(frames[0], 2.0)),
        (op.signed_power(X, 0.5), ref.signed_power(frames[0], 0.5)),
        (op.maximum(X, Y), ref.maximum(frames[0], frames[1])),
        (op.minimum(X, 0.5), ref.minimum(frames[0], 0.5)),
        (op.maximum(1, Y), ref.maximum(1.0, frames[1])),
    ]
    for node, want in cases:
        assert_matches(node_table(node, {X: c, Y: a, G: b}), want, exact=True)


def test_realistic_magnitudes_within_1e_10():
    """Prices of a few hundred with small moves, volumes of millions, missing stretches, 200 days."""
    rng = np.random.default_rng(3)
    T, N = 200, 8
    price = 300 + np.cumsum(rng.normal(0, 0.5, (T, N)), axis=0)
    volume = np.exp(rng.normal(14, 1, (T, N)))
    price[40:47, 2] = np.nan
    volume[rng.random((T, N)) < 0.01] = np.nan
    P, V = pd.DataFrame(price), pd.DataFrame(volume)
    for d in (1, 2, 5, 20, 60):
        for name in TS_UNARY:
            got = node_table(getattr(op, name)(X, d), {X: price})
            # Absolute slack at the rounding of the prices themselves, for results near 0.
            atol = 1e-12 * 300 if name in ("ts_slope", "ts_resid", "ts_zscore") else 1e-12
            assert_matches(got, getattr(ref, name)(P, d), rtol=1e-10, atol=atol)
        for name in ("ts_corr", "ts_cov"):
            got = node_table(getattr(op, name)(X, Y, d), {X: price, Y: volume})
            atol = 1e-12 if name == "ts_corr" else 1e-12 * 300 * 1e7
            assert_matches(got, getattr(ref, name)(P, V, d), rtol=1e-10, atol=atol)


def test_threads_never_change_the_bits():
    rng = np.random.default_rng(5)
    x = rng.normal(0, 1, (211, 37))
    y = rng.normal(0, 1, (211, 37))
    x[rng.random(x.shape) < 0.05] = np.nan
    g = rng.integers(0, 4, x.shape).astype(float)
    nodes = [getattr(op, name)(X, 7) for name in TS_UNARY] + [
        op.ts_corr(X, Y, 9), op.ts_cov(X, Y, 9), op.cs_rank(X), op.cs_zscore(X), op.cs_scale(X),
        op.cs_demean(X), op.group_neutralize(X, G), op.group_rank(X, G)]
    before = sigmora.get_num_threads()
    try:
        results = []
        for threads in (1, 2, 3):
            sigmora.set_num_threads(threads)
            results.append([node_table(n, {X: x, Y: y, G: g}) for n in nodes]
                           + [node_table(n, {X: np.asfortranarray(x), Y: y, G: g}) for n in nodes])
    finally:
        sigmora.set_num_threads(before)
    for other in results[1:]:
        for a, b in zip(results[0], other):
            np.testing.assert_array_equal(a, b)


def test_wide_tables_span_several_column_chunks():
    """The kernels take the columns in chunks whose width depends on the window (512 columns for
    short windows, a few dozen for year-long correlations): every chunk must land on its own
    columns, from either input layout."""
    rng = np.random.default_rng(7)
    T, N = 260, 600
    price = 300 + np.cumsum(rng.normal(0, 0.5, (T, N)), axis=0)
    volume = np.exp(rng.normal(14, 1, (T, N)))
    price[rng.random((T, N)) < 0.01] = np.nan
    P, V = pd.DataFrame(price), pd.DataFrame(volume)
    for layout in (np.ascontiguousarray, np.asfortranarray):
        for d in (5, 250):
            for name in ("ts_sum", "ts_mean", "ts_std", "ts_zscore", "ts_max", "ts_rank"):
                got = node_table(getattr(op, name)(X, d), {X: layout(price)})
                atol = 1e-12 * 300 if name == "ts_zscore" else 1e-12
                assert_matches(got, getattr(ref, name)(P, d), rtol=1e-10, atol=atol)
        # 24 columns a chunk at d = 250 (the transcription loops over windows: few at d = 250)
        for name in ("ts_corr", "ts_cov"):
            got = node_table(getattr(op, name)(X, Y, 250), {X: layout(price), Y: layout(volume)})
            atol = 1e-12 if name == "ts_corr" else 1e-12 * 300 * 1e7
            assert_matches(got, getattr(ref, name)(P, V, 250), rtol=1e-10, atol=atol)


def test_kernels_hand_back_row_major_tables_whatever_the_input_layout():
    # The arithmetic between nodes runs on contiguous rows only when every table is row-major:
    # a column-major result mixed with row-major leaves makes NumPy walk one of them strided.
    rng = np.random.default_rng(6)
    x = rng.normal(0, 1, (40, 13))
    for layout in (np.ascontiguousarray, np.asfortranarray):
        tables = [_core.ops_ts(name, layout(x), 5) for name in ("sum", "std", "rank", "argmax", "slope")]
        tables += [_core.ops_ts2(name, layout(x), layout(x[::-1]), 5) for name in ("corr", "cov")]
        tables += [_core.ops_cs("rank", layout(x)), _core.ops_group("neutralize", layout(x),
                                                                   np.zeros(x.shape, np.int32), 1)]
        for table in tables:
            assert table.shape == x.shape and table.flags.c_contiguous


# ----------------------------------------------------------------------------- nodes

def test_windows_shift_and_text():
    assert op.ts_mean(X, 9.7).shift == 8
    assert op.ts_delay(X, 3).shift == 3 and op.ts_delta(X, 3.9).shift == 3
    nested = op.ts_corr(op.ts_mean(X, 5), op.ts_delay(Y, 2), 10)
    assert nested.shift == 4 + 9           # the operands align on the most shifted one
    assert repr(op.ts_mean(X, 5)) == "ts_mean(UFactor(x), 5)"
    assert repr(op.cs_rank(X) - 0.5) == "subtract(cs_rank(UFactor(x)), 0.5)"
    assert repr(op.ts_ema(X, 3)) == "ts_ema(UFactor(x), 3, 0.5)"
    assert op.cs_rank(op.ts_sum(X, 3) + op.ts_sum(Y, 6)).shift == 5
    assert op.group_neutralize(X).dependencies == [X, industry("citics_2019")]
    for bad, message in [
        (lambda: op.ts_mean(X, 0.5), "ts_mean: d must be at least 1 row"),
        (lambda: op.ts_mean(X, "5"), "ts_mean: d must be a number of rows"),
        (lambda: op.ts_mean(2.0, 5), "ts_mean: x must be a factor expression"),
        (lambda: op.ts_corr(X, 1.0, 5), "ts_corr: y must be a factor expression"),
        (lambda: op.ts_ema(X, 5, alpha=0), r"ts_ema: alpha must be a number in \(0, 1\]"),
        (lambda: op.maximum(1, 2), "maximum: expect at least one factor operand"),
        (lambda: op.IF(X, "a", 1), "IF: a must be a factor expression or a number"),
        (lambda: op.group_rank(X, "gics"), r"^group_rank: group must be a classification of the store, one of "
                                            r"\['citics_2019', 'sws'\], or a factor whose values label the groups, "
                                            r"got 'gics'$"),
    ]:
        with pytest.raises(ValueError, match=message):
            bad()


def test_a_table_given_for_an_expression_and_a_window_of_one_row_are_said_plainly():
    table = pd.DataFrame(np.arange(6.0).reshape(3, 2))
    for bad, what in [(lambda: op.ts_mean(table, 5), "a pandas DataFrame of shape (3, 2)"),
                      (lambda: op.cs_rank(table.to_numpy()), "a NumPy array of shape (3, 2)"),
                      (lambda: op.maximum(X, table[0]), "a pandas Series of shape (3,)")]:
        with pytest.raises(ValueError) as err:
            bad()
        message = str(err.value)     # the table's kind and shape, not its values
        assert what in message and "table.rolling(5).mean()" in message and "\n" not in message
    pairs = (lambda x, d: op.ts_corr(x, Y, d), lambda x, d: op.ts_cov(x, Y, d))
    for make in (op.ts_std, op.ts_zscore, op.ts_slope, op.ts_rsquare, op.ts_resid) + pairs:
        with pytest.warns(UserWarning, match="d = 1 gives NaN on every date: .* two or more rows"):
            make(X, 1.5)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            make(X, 2)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        op.ts_mean(X, 1), op.ts_rank(X, 1), op.ts_delta(X, 1)


def test_a_scale_target_that_is_not_a_finite_number_is_refused():
    for a in (float("nan"), float("inf"), -np.inf, "1", None, True):
        with pytest.raises(ValueError, match=r"^cs_scale: a must be a finite number, got "):
            op.cs_scale(X, a)
    assert repr(op.cs_scale(X, -2)) == "cs_scale(UFactor(x), -2.0)"


def test_a_truth_value_for_an_operand_points_to_the_element_wise_equality():
    hint = r"`a == b` of two expressions compares the objects, not their values: an element-wise " \
           r"equality is ~\(a != b\)$"
    assert (X == Y) is False      # identity, as for any object
    for bad, message in [
        (lambda: op.IF(X == Y, 1, 0), "^IF: cond must be a factor expression, got False; "),
        (lambda: op.cs_rank(np.bool_(True)), "^cs_rank: x must be a factor expression, got (np.)?True_?; "),
        (lambda: op.maximum(X, X == Y), "^maximum: b must be a factor expression or a number, got False; "),
        (lambda: op.IF(X > 0, X == Y, 1), "^IF: a must be a factor expression or a number, got False; "),
    ]:
        with pytest.raises(ValueError, match=message + hint):
            bad()
    for bad in (lambda: op.cs_rank(2.0), lambda: op.IF(X > 0, "a", 1)):   # other mistakes: no such hint
        with pytest.raises(ValueError) as err:
            bad()
        assert "==" not in str(err.value)
    assert repr(op.IF(~(X != Y), 1, 0)) == "IF(logical_not(not_equal(UFactor(x), UFactor(y))), 1.0, 0.0)"


def test_shift_called_like_a_method_says_what_to_use():
    close = bar_field("close")
    with pytest.raises(SigmoraUserException, match=r"`shift` of a factor expression is a property .*"
                                                   r"ts_delay\(x, n\) or sigmora.evaluation.lag\(x, n\)"):
        close.shift(20)
    with pytest.raises(SigmoraUserException, match="ts_delay"):
        (close / 2).shift(1)
    assert close.shift == 0 and type(close.shift + 1) is int
    assert op.ts_mean(close, 5).shift == 4 and isinstance(op.ts_mean(close, 5).shift, int)


# ----------------------------------------------------------------------------- evaluation

START, END = "2023-03-15", "2023-05-31"


def _ids():
    return tidewell.all_instruments(type="CS")["order_book_id"].tolist()[:12]


def test_history_is_exactly_what_the_shift_asks(small_store):
    close = bar_field("close", "post")
    calls = []

    def recorded(order_book_ids, start_date, end_date):
        calls.append((start_date, end_date))
        return close.execute(order_book_ids, start_date, end_date)

    x = UserDefinedLeafFactor("rec", recorded)
    f = op.ts_corr(op.cs_rank(op.ts_delta(x, 3)), op.ts_mean(x, 7), 10)
    assert f.shift == 6 + 9     # the operands align on ts_mean's 6 rows, the correlation adds 9
    evaluate(f, _ids(), START, END)
    assert calls == [(tidewell.get_previous_trading_date(START, 15), END)]


def test_a_longer_history_gives_the_same_values(small_store):
    close, volume = bar_field("close", "post"), bar_field("volume")
    exprs = [
        op.ts_corr(close, volume, 10),
        op.ts_std(op.ts_delta(close, 1) / close, 20) + op.ts_rank(volume, 6),
        op.group_neutralize(op.ts_decay_linear(op.cs_rank(volume), 8)),
        op.ts_argmax(op.signed_power(op.IF(close > op.ts_delay(close, 1), close, -close), 2), 5),
        op.ts_sum(op.ts_product(close / op.ts_delay(close, 1), 3), 7),
    ]
    ids = _ids()
    for f in exprs:
        short = evaluate(f, ids, START, END)
        longer = evaluate(f, ids, "2023-02-01", END).loc[short.index]
        pd.testing.assert_frame_equal(short, longer, check_exact=True)
        later = evaluate(f, ids, START, "2023-06-30").loc[short.index]
        pd.testing.assert_frame_equal(short, later, rtol=1e-12)


def test_each_expression_of_a_batch_is_computed_over_the_history_it_needs(small_store, monkeypatch):
    """A batch reads the leaves from the history its deepest expression needs; the nodes of the
    others go without the leading rows none of their readers keeps, and give the values each
    expression has alone. A node a user's function reads keeps every row, as the function may
    look at all of them."""
    close, volume = bar_field("close", "post"), bar_field("volume")
    seen = []

    class Recording:
        def __getattr__(self, name):
            return getattr(_core, name)

        def ops_cs(self, o, x, param, out=None):
            seen.append(("cs_" + o, x.shape[0]))
            return _core.ops_cs(o, x, param, out=out)

        def ops_ts(self, o, x, d, param, out=None):
            seen.append(("ts_{}_{}".format(o, d), x.shape[0]))
            return _core.ops_ts(o, x, d, param, out=out)

    monkeypatch.setattr(op, "_core", Recording())
    ranked = op.cs_rank(close)
    exprs = {
        "deepest": op.ts_mean(close, 30),
        "ranked_moves": op.cs_rank(op.ts_delta(close, 1)),
        "summed_ranks": op.ts_sum(ranked, 2),
        "by_industry": op.group_neutralize(op.ts_mean(volume, 5), industry()),
        "user": CombinedFactor(lambda v: v * 2.0, ranked),
    }
    ids = _ids()
    batch = evaluate_many(exprs, ids, START, END)
    n = len(tidewell.get_trading_dates(START, END))
    assert sorted(seen) == sorted([("ts_mean_30", n + 29), ("cs_rank", n), ("ts_sum_2", n + 1),
                                   ("ts_mean_5", n + 4), ("cs_rank", n + 29)])
    for name, f in exprs.items():
        pd.testing.assert_frame_equal(batch[name], evaluate(f, ids, START, END), check_exact=True)


def test_a_repeated_subtree_is_computed_once(small_store):
    calls = []

    def counted(values):
        calls.append(1)
        return values * 2

    close = bar_field("close", "post")
    twice = CombinedFactor(counted, op.ts_mean(close, 3))
    again = CombinedFactor(counted, op.ts_mean(close, 3))   # equal, though another object
    f = op.cs_rank(twice) + op.ts_max(again, 4) - twice
    table = evaluate(f, _ids(), START, END)
    assert len(calls) == 1
    want = ref.cs_rank(evaluate(twice, _ids(), START, END)) + \
        evaluate(op.ts_max(again, 4), _ids(), START, END) - evaluate(twice, _ids(), START, END)
    pd.testing.assert_frame_equal(table, want, check_exact=True)


def test_a_batch_fetches_each_leaf_once(small_store):
    close = bar_field("close", "post")
    calls = []

    def recorded(order_book_ids, start_date, end_date):
        calls.append((start_date, end_date))
        return close.execute(order_book_ids, start_date, end_date)

    x = UserDefinedLeafFactor("rec", recorded)
    factors = {"a": op.ts_mean(x, 20), "b": op.cs_rank(x), "c": op.ts_corr(x, op.ts_delay(x, 1), 5),
               "d": op.cs_rank(x) * 2}
    ids = _ids()
    tables = evaluate_many(factors, ids, START, END)
    assert list(tables) == list(factors)
    assert calls == [(tidewell.get_previous_trading_date(START, 19), END)]
    for name, f in factors.items():
        pd.testing.assert_frame_equal(tables[name], evaluate(f, ids, START, END), check_exact=True)


def test_a_batch_returns_failures_per_expression(small_store):
    def broken(values):
        raise RuntimeError("boom")

    close = bar_field("close", "post")
    factors = {"ok": op.cs_rank(close), "bad": CombinedFactor(broken, close) + 1}
    results = dict(iter_evaluate(factors, _ids(), START, END, errors="return"))
    assert isinstance(results["ok"], pd.DataFrame)
    assert "broken(UFactor(close_post)) failed on arguments of shape" in str(results["bad"])
    with pytest.raises(Exception, match="boom"):
        evaluate_many(factors, _ids(), START, END)


def test_industry_groups_come_from_the_classification(small_store):
    from sigmora.analysis._industry import _load_industry_data
    ids = _ids()
    codes = evaluate(industry(), ids, START, END)
    names = _load_industry_data(ids, codes.index)
    labels = pd.Series(names.values, index=names.index).unstack()
    # one code per name, and the same grouping
    pairs = pd.DataFrame({"code": codes.stack().values, "name": labels.reindex(
        index=codes.index, columns=ids).stack().values}).drop_duplicates()
    assert pairs["code"].is_unique and pairs["name"].is_unique
    close = bar_field("close", "post")
    got = evaluate(op.group_neutralize(close), ids, START, END)
    want = ref.group_neutralize(evaluate(close, ids, START, END), codes)
    np.testing.assert_allclose(got.values, want.values, rtol=1e-12)


# ----------------------------------------------------------------------------- out arguments

def _kernel_calls(x, y, codes):
    return {
        "ops_ts": lambda **kw: _core.ops_ts("mean", x, 3, **kw),
        "ops_ts2": lambda **kw: _core.ops_ts2("corr", x, y, 3, **kw),
        "ops_cs": lambda **kw: _core.ops_cs("rank", x, **kw),
        "ops_group": lambda **kw: _core.ops_group("neutralize", x, codes, 3, **kw),
    }


@pytest.mark.parametrize("kernel", ["ops_ts", "ops_ts2", "ops_cs", "ops_group"])
def test_kernels_write_into_a_given_output_with_the_same_bits(kernel):
    rng = np.random.default_rng(7)
    x, y = rng.normal(size=(30, 11)), rng.normal(size=(30, 11))
    x[4, 2] = np.nan
    codes = rng.integers(-1, 3, size=(30, 11)).astype(np.int32)
    call = _kernel_calls(x, y, codes)[kernel]
    fresh = call()
    out = np.full((30, 11), 7.5)
    assert call(out=out) is out
    np.testing.assert_array_equal(out.view(np.uint64), fresh.view(np.uint64))
    assert call(out=None).shape == (30, 11)


@pytest.mark.parametrize("kernel", ["ops_ts", "ops_ts2", "ops_cs", "ops_group"])
def test_kernels_refuse_an_output_they_cannot_write(kernel):
    rng = np.random.default_rng(7)
    x, y = rng.normal(size=(30, 11)), rng.normal(size=(30, 11))
    codes = np.zeros((30, 11), dtype=np.int32)
    call = _kernel_calls(x, y, codes)[kernel]
    read_only = np.zeros((30, 11))
    read_only.flags.writeable = False
    wide = np.zeros((30, 22))
    bad = [
        (np.zeros((30, 11), dtype=np.float32), TypeError, "out: expect a float64 array, got dtype float32"),
        (np.zeros((30, 11), dtype=np.int64), TypeError, "out: expect a float64 array, got dtype int64"),
        ([[0.0] * 11] * 30, TypeError, "out: expect a float64 NumPy array or None, got list"),
        (np.zeros((11, 30)), ValueError, r"out: expect shape \(30, 11\), got \(11, 30\)"),
        (np.zeros((29, 11)), ValueError, r"out: expect shape \(30, 11\), got \(29, 11\)"),
        (np.zeros(330), ValueError, r"out: expect shape \(30, 11\), got \(330,\)"),
        (np.asfortranarray(np.zeros((30, 11))), ValueError, "out: expect a C-contiguous"),
        (wide[:, ::2], ValueError, "out: expect a C-contiguous"),
        (read_only, ValueError, "out: expect a writable array"),
        (x, ValueError, "out: expect an array that shares no memory with the inputs"),
    ]
    if kernel == "ops_ts2":
        bad.append((y, ValueError, "out: expect an array that shares no memory with the inputs"))
    before = x.copy(), y.copy()
    for out, error, message in bad:
        with pytest.raises(error, match=message):
            call(out=out)
    np.testing.assert_array_equal(x, before[0])
    np.testing.assert_array_equal(y, before[1])


def test_an_output_overlapping_a_transposed_or_shifted_input_is_refused():
    # Group codes living in the output's memory.
    memory = np.zeros(2 * 30 * 11)
    codes = memory.view(np.int32)[:330].reshape(30, 11)
    with pytest.raises(ValueError, match="shares no memory"):
        _core.ops_group("rank", np.ones((30, 11)), codes, 1, out=memory[:330].reshape(30, 11))
    base = np.random.default_rng(3).normal(size=(40, 40))
    with pytest.raises(ValueError, match="shares no memory"):
        _core.ops_ts("sum", base.T, 2, out=base)   # the same bytes read as the transpose
    with pytest.raises(ValueError, match="shares no memory"):
        _core.ops_cs("demean", base[:20], out=base[10:30])
    out = np.empty((20, 40))
    _core.ops_cs("demean", base[:20], out=base[20:])   # adjacent, not overlapping: allowed
    np.testing.assert_array_equal(base[20:], _core.ops_cs("demean", base[:20]))
    assert out.shape == (20, 40)


def test_bar_leaves_are_read_together_once_per_adjust_type(small_store, monkeypatch):
    from sigmora import leaves
    from sigmora.analysis import _market
    ids = _ids()
    close, high, volume = bar_field("close", "post"), bar_field("high", "post"), bar_field("volume")
    raw = bar_field("close", "none")
    factors = {"a": op.ts_corr(close, volume, 5), "b": high - raw, "c": op.cs_rank(close)}
    alone = {name: evaluate(f, ids, START, END) for name, f in factors.items()}
    reads, single = [], []
    real_tables, real_table = _market.daily_tables, _market.daily_table
    monkeypatch.setattr(_market, "daily_tables", lambda *a, **k: reads.append(a[4]) or real_tables(*a, **k))
    monkeypatch.setattr(_market, "daily_table", lambda *a, **k: single.append(a[4]) or real_table(*a, **k))
    together = evaluate_many(factors, ids, START, END)
    assert sorted(map(sorted, reads)) == [["close", "high"], ["close", "volume"]] and single == []
    for name in factors:
        pd.testing.assert_frame_equal(together[name], alone[name], check_exact=True)
    assert getattr(leaves._waiting, "tables", None) is None     # nothing left for a later evaluation
    # A failed joint read: each leaf is read on its own, and a leaf that fails names itself.
    reads.clear()

    def refused(dataset, ids, start, end, fields, adjust_type="none"):
        reads.append((sorted(fields), adjust_type))
        if adjust_type == "post" and len(fields) > 1 or fields == ["high"]:
            raise OSError("store busy")
        return real_tables(dataset, ids, start, end, fields, adjust_type)

    monkeypatch.setattr(_market, "daily_tables", refused)
    monkeypatch.setattr(_market, "daily_table", real_table)
    results = dict(iter_evaluate(factors, ids, START, END, errors="return"))
    pd.testing.assert_frame_equal(results["a"], alone["a"], check_exact=True)
    assert isinstance(results["b"], OSError) and "store busy" in str(results["b"])
    # The unadjusted fields were still read together; the post-adjusted ones then one by one.
    assert sorted(reads) == [(["close"], "post"), (["close", "high"], "post"), (["close", "volume"], "none"),
                             (["high"], "post")]
    # Nothing read together is left waiting for a later evaluation.
    monkeypatch.setattr(_market, "daily_tables", real_tables)
    monkeypatch.setattr(_market, "daily_table", real_table)
    pd.testing.assert_frame_equal(evaluate(factors["c"], ids, START, END), alone["c"], check_exact=True)
