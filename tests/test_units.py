"""Scale-free kernels do not depend on the unit of their inputs.

Residuals scale with the values and ignore the units of the regressors; z-scores ignore
the unit of their row; a standard-deviation band scales with its row. The kernels work at
magnitude ~1 (powers of two that are exact to apply and take back), so these hold bit for
bit for any power-of-two rescaling that keeps the inputs in the float range, even where a
result underflows: the last step that scales a result back is a single rounding, the one
np.ldexp makes. Decimal rescalings (1e155, 1e-300) agree to rounding.
"""

import numpy as np
from hypothesis import given, settings, strategies as st

from sigmora import _core

I64 = np.int64
POWERS = st.integers(-1000, 1000)


def ordinary(rng, shape, nan_rate=0.1, zeros=0.03):
    """Values of magnitude 2**-20 .. 2**21 (so any power of two up to 2**±1000 keeps them
    normal), some zero, some missing."""
    x = rng.choice([-1.0, 1.0], shape) * rng.uniform(1.0, 2.0, shape) * np.exp2(rng.integers(-20, 21, shape))
    x[rng.random(shape) < zeros] = 0.0
    x[rng.random(shape) < nan_rate] = np.nan
    return x


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True) and np.array_equal(np.signbit(a),
                                                                                           np.signbit(b))


# ----------------------------------------------------------------------------- residuals

@given(seed=st.integers(0, 2**32 - 1), T=st.integers(1, 3), N=st.integers(1, 25), K=st.integers(0, 5),
       a=POWERS, b=st.lists(POWERS, min_size=5, max_size=5), degenerate=st.sampled_from(["", "collinear", "zero"]))
@settings(max_examples=80, deadline=None)
def test_residuals_scale_with_the_values_and_ignore_the_units_of_the_regressors(seed, T, N, K, a, b, degenerate):
    rng = np.random.default_rng(seed)
    y = ordinary(rng, (T, N))
    X = ordinary(rng, (T, N, K), nan_rate=0.03)
    if K >= 2 and degenerate == "collinear":
        X[..., 1] = X[..., 0] * 3.0  # takes the rank-revealing path
    if K >= 1 and degenerate == "zero":
        X[..., -1] = 0.0
    want = _core.ols_residuals(y, X)
    got = _core.ols_residuals(np.ldexp(y, a), np.ascontiguousarray(np.ldexp(X, np.array(b[:K], dtype=np.int32))))
    assert same_bits(got, np.ldexp(want, a))


def test_huge_and_tiny_regressors_are_regressors():
    # A regressor of magnitude 1e154 once overflowed the Gram matrix and left the values
    # unchanged; now every unit gives the residuals of the unit one (to rounding, for
    # decimal factors).
    rng = np.random.default_rng(4)
    y = rng.normal(size=(3, 40))
    for K in (1, 2):  # one regressor: a 1 x 1 Cholesky factor of inf passed as a success
        X = rng.normal(size=(3, 40, K))
        want = _core.ols_residuals(y, X)
        for unit in (1e154, 1e300, 1e-200, 1e-300):
            got = _core.ols_residuals(y, X * unit)
            np.testing.assert_allclose(got, want, rtol=1e-11, atol=1e-13)
            assert not np.allclose(got, y)
        for unit in (1e300, 1e-300):
            np.testing.assert_allclose(_core.ols_residuals(y * unit, X), want * unit, rtol=1e-11, atol=1e-13 * unit)


def neutralize_case(rng, T, N, S, n_dense, n_industries):
    """Arguments of _core.ols_neutralize: values, style records, dense regressors, codes."""
    n_keys, n_dates = N + 1, T + 1
    records = [(d, k) for d in range(n_dates) for k in range(n_keys) if rng.random() < 0.9]
    rng.shuffle(records)
    style = ordinary(rng, (len(records), S), nan_rate=0.02)
    dense = [ordinary(rng, (T, N), nan_rate=0.02) for _ in range(n_dense)]
    codes = rng.integers(-1, n_industries, (T, N)).astype(I64) if n_industries else None
    return dict(y=ordinary(rng, (T, N)), style=style, record_date=np.array([r[0] for r in records], I64),
                record_key=np.array([r[1] for r in records], I64), n_dates=n_dates, n_keys=n_keys,
                row_date=np.arange(1, T + 1, dtype=I64), column_key=rng.permutation(n_keys)[:N].astype(I64),
                dense=dense, codes=codes, n_industries=n_industries)


def neutralize(c, y=None, style=None, dense=None):
    style = c["style"] if style is None else style
    if style.shape[1] == 0:
        located = (np.empty((0, 0)), np.empty(0, I64), np.empty(0, I64), 0, 0, np.empty(0, I64), np.empty(0, I64))
    else:
        located = (np.asfortranarray(style), c["record_date"], c["record_key"], c["n_dates"], c["n_keys"],
                   c["row_date"], c["column_key"])
    return _core.ols_neutralize(c["y"] if y is None else y, *located, c["dense"] if dense is None else dense,
                                c["codes"], c["n_industries"])


@given(seed=st.integers(0, 2**32 - 1), T=st.integers(1, 3), N=st.integers(1, 20), S=st.integers(0, 3),
       n_dense=st.integers(0, 2), n_industries=st.integers(0, 4), a=POWERS, b=st.lists(POWERS, min_size=5, max_size=5))
@settings(max_examples=60, deadline=None)
def test_neutralized_values_scale_with_the_values_and_ignore_the_units_of_the_regressors(
        seed, T, N, S, n_dense, n_industries, a, b):
    c = neutralize_case(np.random.default_rng(seed), T, N, S, n_dense, n_industries)
    want = neutralize(c)
    got = neutralize(c, y=np.ldexp(c["y"], a), style=np.ldexp(c["style"], np.array(b[:S], dtype=np.int32)),
                     dense=[np.ldexp(d, b[S + o]) for o, d in enumerate(c["dense"])])
    assert same_bits(got, np.ldexp(want, a))


def test_neutralizing_on_huge_and_tiny_exposures():
    for S, n_dense, n_industries in ((1, 0, 0), (0, 1, 2), (2, 1, 3)):
        c = neutralize_case(np.random.default_rng(11), 3, 30, S, n_dense, n_industries)
        want = neutralize(c)
        for unit in (1e160, 1e300, 1e-250):
            got = neutralize(c, style=c["style"] * unit, dense=[d * unit for d in c["dense"]])
            np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-12 * np.nanmax(np.abs(c["y"])))


# ----------------------------------------------------------------------------- z-scores and bands

def scaled_rows(rng, T, N, powers):
    x = ordinary(rng, (T, N), nan_rate=0.15)
    x[rng.random(T) < 0.2] = 1.5  # constant rows
    if T > 2:
        x[2, : N // 2] = np.nan
    return x, np.ldexp(x, np.array(powers[:T], dtype=np.int32)[:, None])


@given(seed=st.integers(0, 2**32 - 1), T=st.integers(1, 12), N=st.integers(1, 40),
       powers=st.lists(POWERS, min_size=12, max_size=12), order=st.sampled_from("CF"))
@settings(max_examples=80, deadline=None)
def test_z_scores_do_not_depend_on_the_unit_of_their_row(seed, T, N, powers, order):
    x, scaled = scaled_rows(np.random.default_rng(seed), T, N, powers)
    want = _core.preprocess_normalize(np.asarray(x, order=order))
    assert same_bits(np.ascontiguousarray(_core.preprocess_normalize(np.asarray(scaled, order=order))),
                     np.ascontiguousarray(want))


@given(seed=st.integers(0, 2**32 - 1), T=st.integers(1, 12), N=st.integers(1, 40),
       powers=st.lists(POWERS, min_size=12, max_size=12), n=st.sampled_from([0.5, 1.0, 3.0]))
@settings(max_examples=80, deadline=None)
def test_standard_deviation_bands_scale_with_their_row(seed, T, N, powers, n):
    x, scaled = scaled_rows(np.random.default_rng(seed), T, N, powers)
    want = _core.winsorize_std(x, n)
    assert same_bits(_core.winsorize_std(scaled, n), np.ldexp(want, np.array(powers[:T], dtype=np.int32)[:, None]))


def test_huge_and_tiny_rows_are_standardised_like_any_other():
    # |x| >= 1e155 once made the squares overflow (every z-score 0) and |x| <= 1e-300 made
    # them underflow (every z-score ±inf, reported as 0).
    rng = np.random.default_rng(5)
    x = rng.normal(size=(4, 30))
    want = _core.preprocess_normalize(x)
    band = _core.winsorize_std(x, 0.5)
    for unit in (1e155, 1e300, 1e-300, 1e-305):
        np.testing.assert_allclose(_core.preprocess_normalize(x * unit), want, rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(_core.winsorize_std(x * unit, 0.5) / unit, band, rtol=1e-12, atol=1e-14)
    # Rows summing past the largest double are summed again at the row's scale.
    big = np.array([[1.7e308, 1.6e308, -1e308, 1.5e308]])
    np.testing.assert_allclose(_core.preprocess_normalize(big), _core.preprocess_normalize(big / 1e300),
                               rtol=1e-14)
    assert np.isfinite(_core.winsorize_std(big, 1.0)).all()


# ----------------------------------------------------------------------------- correlations

def test_correlations_do_not_depend_on_the_unit():
    # The decay kernel's one-pass moments once underflowed for values below ~1e-154 and
    # lost precision (2e-5 relative at 1e-160); they now take the path that scales first.
    rng = np.random.default_rng(6)
    f = rng.normal(size=(6, 40))
    r = rng.normal(size=(6, 40))
    r[rng.random(r.shape) < 0.1] = np.nan
    want_rows = _core.ic_by_row(f, [r], False)[0]
    want_decay = _core.ic_decay(f, [r], 4, False)[0]
    assert np.isfinite(want_decay[0, :3]).all()
    for f_unit, r_unit in ((1e-160, 1.0), (1.0, 1e-170), (1e160, 1e-160), (1e-300, 1e300)):
        got_rows = _core.ic_by_row(f * f_unit, [r * r_unit], False)[0]
        got_decay = _core.ic_decay(f * f_unit, [r * r_unit], 4, False)[0]
        np.testing.assert_allclose(got_rows, want_rows, rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(got_decay, want_decay, rtol=1e-12, atol=1e-15)
