"""The kernels never trust a size they are given.

Counts passed to sigmora._core (decays, groups, quantiles, holding periods, dates, keys,
industries, threads) either size what the kernel writes, bounded by the data, or end in
a Python error of a fixed class that names the argument: never a wrapped-around buffer, a
crash, an abort or an unbounded loop. The sanitizer pass runs this file too.

The sizes meant to fail allocation ask for 2**57 bytes or more, beyond any address space
(so no memory is committed even where the system overcommits).
"""

import numpy as np
import pandas as pd
import pytest

from sigmora import _core
from tests.reference_portfolio import my_quantile

I64 = np.int64


def tables(rows=4, cols=8, seed=0):
    rng = np.random.default_rng(seed)
    factor = rng.normal(size=(rows, cols))
    factor[rng.random(factor.shape) < 0.1] = np.nan
    returns = [rng.normal(0, 0.02, size=(rows, cols)) for _ in range(2)]
    return factor, returns


def same_bits(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)


# ----------------------------------------------------------------------------- errors naming the argument

F, R = tables()
CODES = np.array([[0, 1, 2, -1, 0, 1, 2, 0]], dtype=I64)
LABELS = _core.portfolio_quantile_labels(F, 3, True)
GROWTH = _core.portfolio_growth(R[0])
NO_STYLE = (np.empty((0, 0)), np.empty(0, I64), np.empty(0, I64), 0, 0, np.empty(0, I64), np.empty(0, I64))
STYLE_VALUES = np.random.default_rng(1).normal(size=(32, 2))
RECORD_DATE = np.repeat(np.arange(4), 8).astype(I64)
RECORD_KEY = np.tile(np.arange(8), 4).astype(I64)


def neutralize(n_dates=4, n_keys=8, n_industries=3, codes=None, record_date=RECORD_DATE):
    return _core.ols_neutralize(F, STYLE_VALUES, record_date, RECORD_KEY, n_dates, n_keys, np.arange(4, dtype=I64),
                                np.arange(8, dtype=I64), [], codes, n_industries)


BAD_SIZES = [
    # (call, error class, message)
    (lambda: _core.ic_decay(F, R, -1, True), ValueError, r"max_decay: expect a non-negative integer, got -1"),
    (lambda: _core.ic_decay(F, R, 2.0, True), TypeError, r"max_decay: expect an integer, got 2\.0"),
    (lambda: _core.ic_by_row_with_decay(F, R, "3", True), TypeError, r"max_decay: expect an integer, got '3'"),
    (lambda: _core.ic_by_group(F, R, CODES, 2 ** 62, True), OverflowError,
     r"n_groups: an array of 4611686018427387904 x 2 cells of 8 bytes does not fit in memory"),
    (lambda: _core.ic_by_group(F, [], CODES, 2 ** 62, True), OverflowError, r"n_groups: .* does not fit in memory"),
    (lambda: _core.ic_by_group(F, R, CODES, 2 ** 58, False), MemoryError,
     r"n_groups: cannot allocate a result of 288230376151711744 x 2 cells"),
    (lambda: _core.ic_by_group(F, R, CODES, 2 ** 64, True), OverflowError,
     r"n_groups: expect a non-negative integer up to 18446744073709551615, got 18446744073709551616"),
    (lambda: _core.ic_by_group(F, R, CODES, -1, True), ValueError, r"n_groups: expect a non-negative integer, got -1"),
    (lambda: _core.ic_by_group(F, R, CODES, 2, True), ValueError, r"codes: expect -1 or a group in \[0, 2\), got 2"),
    (lambda: _core.ic_by_group(F, R, np.zeros((2, 8), I64), 3, True), ValueError,
     r"codes: expect shape \(4, 8\) or \(1, 8\), got \(2, 8\)"),
    (lambda: _core.ic_decay(F, [R[0], R[1][:, :5]], 3, True), ValueError,
     r"returns\[1\]: expect shape \(4, 8\), got \(4, 5\)"),
    (lambda: _core.portfolio_quantile_labels(F, 2 ** 31, True), OverflowError,
     r"quantile: expect a positive integer up to 2147483647, got 2147483648"),
    (lambda: _core.portfolio_quantile_labels(F, 0, True), ValueError, r"quantile: expect a positive integer, got 0"),
    (lambda: _core.portfolio_quantile_labels(F, -2 ** 70, True), ValueError,
     r"quantile: expect a positive integer, got -1180591620717411303424"),
    (lambda: _core.portfolio_quantile_labels(F, 2.5, True), TypeError, r"quantile: expect an integer, got 2\.5"),
    (lambda: _core.portfolio_quantile_returns(LABELS, GROWTH, np.array([1], I64), 2 ** 31), OverflowError,
     r"quantile: expect a positive integer up to 2147483647"),
    (lambda: _core.portfolio_quantile_returns(LABELS, GROWTH, np.ones(2 ** 21, I64), 2 ** 31 - 1), MemoryError,
     r"quantile: cannot allocate a result of 2097152 x 2147483647 x 4 cells"),
    (lambda: _core.portfolio_quantile_returns(LABELS, GROWTH, np.array([2, 0], I64), 3), ValueError,
     r"periods: expect positive integers, got 0"),
    (lambda: _core.portfolio_quantile_returns(LABELS, GROWTH[:, :5], np.array([1], I64), 3), ValueError,
     r"labels and growth: expect the same shape, got \(4, 8\) and \(4, 5\)"),
    (lambda: _core.portfolio_factor_returns(F, R[0], np.array([-3], I64), False), ValueError,
     r"periods: expect positive integers, got -3"),
    (lambda: _core.portfolio_factor_returns(F, R[0][:3], np.array([1], I64), False), ValueError,
     r"values and returns: expect the same shape, got \(4, 8\) and \(3, 8\)"),
    (lambda: neutralize(n_industries=2 ** 64), OverflowError,
     r"n_industries: expect a non-negative integer up to 18446744073709551615"),
    (lambda: neutralize(n_dates=-4), ValueError, r"n_dates: expect a non-negative integer, got -4"),
    (lambda: neutralize(n_keys=2 ** 80), OverflowError, r"n_keys: expect a non-negative integer up to"),
    (lambda: neutralize(n_dates=3), ValueError, r"record dates: expect values in -1 \.\. 2, got 3 at position 24"),
    (lambda: neutralize(codes=np.full((4, 8), 3, I64)), ValueError,
     r"industry codes: expect values in -1 \.\. 2, got 3 at position 0"),
    (lambda: neutralize(n_industries=0, codes=np.zeros((4, 8), I64)), ValueError,
     r"industry codes: expect values in -1, got 0 at position 0"),
    (lambda: neutralize(record_date=RECORD_DATE[:5]), ValueError, r"record_date: expect one date slot per record"),
    (lambda: _core.ols_neutralize(F, *NO_STYLE, [np.zeros((4, 7))], None, 0), ValueError,
     r"dense\[0\]: expect the shape of endog \(4, 8\), got \(4, 7\)"),
    (lambda: _core.ols_residuals(F, np.zeros((4, 7, 2))), ValueError,
     r"calc_residuals: expect endog of shape \(T, N\) and exog of shape \(T, N, K\), got endog \(4, 8\) and "
     r"exog \(4, 7, 2\)"),
    (lambda: _core.set_num_threads(2 ** 31), OverflowError,
     r"n: expect a positive number of threads up to 2147483647, got 2147483648"),
    (lambda: _core.rank_autocorrelation(F, np.array([1, 0], I64)), ValueError, r"lags: expect positive lags, got 0"),
    (lambda: _core.set_num_threads(0), ValueError, r"n: expect a positive number of threads, got 0"),
    (lambda: _core.set_num_threads(1.5), TypeError, r"n: expect an integer, got 1\.5"),
    (lambda: _core.winsorize_percentile(F, -0.1, 0.9), ValueError, r"q_lower: expect a fraction in \[0, 1\]"),
]


@pytest.mark.parametrize("call, error, message", BAD_SIZES, ids=[m[:40] for _, _, m in BAD_SIZES])
def test_impossible_sizes_raise_an_error_naming_the_argument(call, error, message):
    threads = _core.get_num_threads()
    try:
        with pytest.raises(error, match="^" + message):
            call()
    finally:
        _core.set_num_threads(threads)


# ----------------------------------------------------------------------------- sizes bounded by the data

@pytest.mark.parametrize("rank", [True, False])
def test_decays_past_the_last_row_are_not_allocated(rank):
    # Windows starting past the last row hold nothing: a 4-row table has 3 decays, however
    # many are asked for (the buffers once were sized by max_decay and wrapped around).
    for huge in (4, 2 ** 62 + 1, 2 ** 64 - 1, 2 ** 70, np.int64(2 ** 62)):
        for returns in (R[:1], R):  # (2**62 decays) x 4 rows x 1 period wrapped around to 0 cells
            r, n, constant = _core.ic_decay(F, returns, huge, rank)
            K = len(returns)
            assert r.shape == (3, 4, K) and n.shape == (3, 4) and constant.shape == (3, 4, K)
            assert same_bits((r, n, constant), _core.ic_decay(F, returns, 4, rank))
            assert same_bits(_core.ic_by_row_with_decay(F, returns, huge, rank),
                             (_core.ic_by_row(F, returns, rank), _core.ic_decay(F, returns, 4, rank)))
    # Row t + d exists for t < 4 - d only.
    assert (n[0, :3] > 0).all() and (n[np.arange(3), 3] == 0).all() and n[2, 1:].sum() == 0
    for rows in (0, 1):
        r, n, constant = _core.ic_decay(F[:rows], [x[:rows] for x in R], 2 ** 62, rank)
        assert r.shape == (0, rows, 2) and n.shape == (0, rows)


def test_groups_without_cells_cost_only_their_result_rows():
    few = _core.ic_by_group(F, R, CODES, 3, True)
    many = _core.ic_by_group(F, R, CODES, 1000, True)
    assert many[0].shape == (1000, 2)
    assert same_bits(tuple(a[:3] for a in many), few)
    assert np.isnan(many[0][3:]).all() and (many[1][3:] == 0).all() and (many[2][3:] == 0).all()
    # No period: nothing to write, whatever the number of groups.
    assert [a.shape for a in _core.ic_by_group(F, [], CODES, 2 ** 40, True)] == [(2 ** 40, 0)] * 3


def test_neutralization_sizes_its_buffers_by_the_dates_keys_and_industries_used():
    codes = np.random.default_rng(2).integers(-1, 3, (4, 8)).astype(I64)
    plain = neutralize(codes=codes)
    # The counts only bound the codes; a huge one neither allocates nor divides by a
    # wrapped-around block size (a key count of 2**62 once made it 0).
    assert same_bits(neutralize(n_dates=2 ** 62, n_keys=2 ** 62, codes=codes), plain)
    assert same_bits(neutralize(n_dates=2 ** 64 - 1, n_keys=2 ** 63, codes=codes), plain)
    # A full-rank design never reads the industry count (it enters only the rank tolerance).
    assert same_bits(neutralize(n_industries=2 ** 64 - 1, codes=codes), plain)
    assert np.array_equal(np.isfinite(plain), np.isfinite(F))


def test_holding_periods_past_the_table_are_the_whole_table():
    periods = np.array([4, 5, 2 ** 62, 2 ** 63 - 1], I64)
    returns, turnover = _core.portfolio_quantile_returns(LABELS, GROWTH, periods, 3)
    for k in (1, 2, 3):
        assert same_bits(returns[k], returns[0]) and same_bits(turnover[k], turnover[0])
    factor = _core.portfolio_factor_returns(F, R[0], periods, False)
    assert factor.shape == (4, 4) and np.isfinite(factor[:, 1:]).all()


@pytest.mark.parametrize("quantile", [9, 50, 1000, 10 ** 6])
def test_more_groups_than_values_follow_the_bucket_rule(quantile):
    # The labels kernel skips empty groups by a binary search over the edges: the work no
    # longer grows with the number of groups, and the labels are still the rule's.
    rng = np.random.default_rng(quantile)
    values = np.round(rng.normal(size=(12, 8)), 1)
    values[rng.random(values.shape) < 0.2] = np.nan
    values[4] = 1.0
    tags = np.arange(quantile)
    for ascending in (True, False):
        ranked = pd.DataFrame(values).rank(method="first", ascending=ascending, axis=1).values
        expected = np.array([my_quantile(row, q=quantile, labels=tags) for row in ranked])
        expected = np.where(pd.isna(expected), -1, expected).astype(I64)
        assert np.array_equal(_core.portfolio_quantile_labels(values, quantile, ascending), expected)


def test_the_largest_quantile_count_labels_in_time_proportional_to_the_values():
    values = np.random.default_rng(3).normal(size=(50, 30))
    q = 2 ** 31 - 1
    labels = _core.portfolio_quantile_labels(values, q, True)
    order = np.argsort(values, axis=1)
    ranked = np.take_along_axis(labels, order, axis=1)
    # Distinct ranks spread over the groups: lowest in the first, highest in the last.
    assert (np.diff(ranked, axis=1) > 0).all()
    assert (ranked[:, 0] == 0).all() and (ranked[:, -1] == q - 1).all()


def test_empty_tables_give_empty_results():
    for rows, cols in ((0, 5), (5, 0), (0, 0)):
        x = np.zeros((rows, cols))
        for kernel in (_core.preprocess_normalize, _core.portfolio_growth,
                       lambda a: _core.winsorize_mad(a, 3.0), lambda a: _core.winsorize_std(a, 3.0),
                       lambda a: _core.winsorize_percentile(a, 0.1, 0.9),
                       lambda a: _core.portfolio_factor_weights(a, True),
                       lambda a: _core.portfolio_quantile_labels(a, 5, True),
                       lambda a: _core.ols_residuals(a, np.zeros((rows, cols, 3))),
                       lambda a: _core.ols_neutralize(a, *NO_STYLE, [a], np.zeros((rows, cols), I64), 2)):
            assert kernel(x).shape == (rows, cols)
        r, n, _ = _core.ic_by_row(x, [x, x], True)
        assert r.shape == n.shape == (rows, 2) and (n == 0).all()
        assert _core.ic_decay(x, [x], 9, False)[0].shape == (max(rows - 1, 0), rows, 1)
        assert _core.ic_by_group(x, [x], np.zeros((1, cols), I64), 2, True)[1].tolist() == [[0], [0]]
        assert _core.portfolio_factor_returns(x, x, np.array([1, 3], I64), True).shape == (2, rows)
        returns, turnover = _core.portfolio_quantile_returns(x.astype(I64) - 1, x, np.array([2], I64), 4)
        assert returns.shape == turnover.shape == (1, 4, rows)


def test_values_at_an_odd_address_are_refused_by_the_core_and_realigned_where_tables_arrive():
    from sigmora.batch import _aligned

    # What a table unpickled from a message can be: float64 values one byte into a buffer.
    raw = np.frombuffer(bytearray(8 * 12 + 1), dtype=np.float64, offset=1, count=12).reshape(3, 4)
    assert not raw.flags.aligned
    with pytest.raises(ValueError, match="expect float64 values aligned in memory"):
        _core.returns_from_closes(raw)
    raw[...] = np.arange(1.0, 13.0).reshape(3, 4)
    table = pd.DataFrame(raw, index=pd.bdate_range("2024-01-01", periods=3), columns=list("abcd"), copy=False)
    assert not table.to_numpy().flags.aligned
    fixed = _aligned(table)
    assert fixed.to_numpy().flags.aligned
    pd.testing.assert_frame_equal(fixed, table)
    returns, rows, cols = _core.returns_from_closes(fixed.to_numpy())
    np.testing.assert_allclose(returns, fixed.ffill().pct_change().iloc[1:].to_numpy())
    # an aligned table is passed on as it is
    assert _aligned(fixed) is fixed
    # the conversions every step makes for the core copy such values, and only such values
    from sigmora.analysis._arrays import as_float_matrix, float_view
    for convert in (float_view, as_float_matrix):
        got = convert(table)
        assert got.flags.aligned and got.flags.c_contiguous
        np.testing.assert_array_equal(got, fixed.to_numpy())
    assert np.shares_memory(float_view(fixed), fixed.to_numpy())
    # and so does the return table the engine and the batch build from closes
    from sigmora.analysis._market import returns_from_closes
    pd.testing.assert_frame_equal(returns_from_closes(table, list("abcd"), "2024-01-01", "2024-01-03"),
                                  fixed.ffill().pct_change().iloc[1:], check_freq=False)
