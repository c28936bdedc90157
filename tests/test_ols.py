import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import sigmora
from sigmora.analysis.ols import calc_residuals
from tests.reference_ols import lstsq_residuals, random_design, relative_gap

TOL = 1e-9


@pytest.mark.parametrize("seed, T, N, K", [
    (0, 7, 60, 5), (1, 1, 30, 3), (2, 5, 1, 1), (3, 4, 8, 8), (4, 6, 25, 12), (5, 3, 400, 41),
])
def test_random_designs_match_lstsq(seed, T, N, K):
    endog, exog = random_design(np.random.default_rng(seed), T, N, K)
    got = calc_residuals(endog, exog)
    assert got.shape == (T, N)
    assert relative_gap(got, lstsq_residuals(endog, exog)) < TOL


@given(seed=st.integers(0, 2**32 - 1), T=st.integers(1, 4), N=st.integers(1, 12), K=st.integers(0, 6),
       nan_rate=st.sampled_from([0.0, 0.2, 0.6]))
@settings(max_examples=60, deadline=None)
def test_small_designs_match_lstsq(seed, T, N, K, nan_rate):
    endog, exog = random_design(np.random.default_rng(seed), T, N, K, nan_rate)
    assert relative_gap(calc_residuals(endog, exog), lstsq_residuals(endog, exog)) < TOL


def _degenerate_dates(rng, N=50, K=6):
    """One date per kind of rank deficiency."""
    dates = []
    x = rng.normal(size=(N, K))
    x[:, 2] = 0.0  # a regressor that is zero on this date
    dates.append(x)
    x = rng.normal(size=(N, K))
    x[:, 3] = x[:, 0] - 2.0 * x[:, 1]  # exactly collinear
    x[:, 5] = x[:, 4]
    dates.append(x)
    x = np.repeat(rng.normal(size=(N, 1)), K, axis=1)  # rank one
    dates.append(x)
    x = np.zeros((N, K))  # no regressor at all
    dates.append(x)
    x = rng.normal(size=(N, K))
    x[:, 1] = x[:, 0] + 1e-6 * rng.normal(size=N)  # ill-conditioned but full rank
    dates.append(x)
    x = rng.normal(size=(N, K))
    x[:, 1] = x[:, 0] + 3e-3 * rng.normal(size=N)  # moderately conditioned
    dates.append(x)
    x = rng.integers(0, 3, size=(N, K)).astype(float)  # dummies and their sums
    x[:, -1] = x[:, 0] + x[:, 1]
    dates.append(x)
    return np.stack(dates)


def test_rank_deficient_designs_match_lstsq():
    rng = np.random.default_rng(11)
    exog = _degenerate_dates(rng)
    endog = rng.normal(size=exog.shape[:2])
    got = calc_residuals(endog, exog)
    assert relative_gap(got, lstsq_residuals(endog, exog)) < TOL
    # the zero design leaves the values untouched
    np.testing.assert_array_equal(got[3], endog[3])


def test_fewer_complete_instruments_than_regressors():
    rng = np.random.default_rng(5)
    endog = rng.normal(size=(3, 10))
    exog = rng.normal(size=(3, 10, 6))
    endog[0, 4:] = np.nan        # 4 complete rows, 6 regressors: fitted exactly
    exog[1, 2:, 0] = np.nan      # 2 complete rows
    exog[2, :7, 1:] = 0.0        # 3 full rows, the others span only one direction
    exog[2, 7:, 1:] = 0.0
    exog[2, 8:, :] = np.nan
    got = calc_residuals(endog, exog)
    assert relative_gap(got, lstsq_residuals(endog, exog)) < TOL
    np.testing.assert_array_equal(got[0, :4], 0.0)
    assert np.isnan(got[0, 4:]).all() and np.isnan(got[1, 2:]).all()


def test_missing_values_and_empty_dates():
    endog = np.array([[1.0, 2.0, np.nan, 4.0], [np.nan] * 4, [1.0, np.inf, 3.0, -np.inf]])
    exog = np.ones((3, 4, 1))
    exog[0, 3, 0] = np.nan
    got = calc_residuals(endog, exog)
    np.testing.assert_allclose(got[0, :2], [-0.5, 0.5], rtol=0, atol=1e-15)
    assert np.isnan(got[0, 2:]).all()
    assert np.isnan(got[1]).all()
    np.testing.assert_allclose(got[2], [-1.0, np.nan, 1.0, np.nan], rtol=0, atol=1e-15)


def test_without_regressors_returns_the_finite_values():
    endog = np.array([[1.5, np.nan, np.inf, -2.0]])
    got = calc_residuals(endog, np.empty((1, 4, 0)))
    np.testing.assert_array_equal(got, [[1.5, np.nan, np.nan, -2.0]])


def test_rank_decision_ignores_column_units():
    # lstsq on the raw design would drop the tiny column (below its relative threshold);
    # rescaling a regressor must not change the residuals.
    rng = np.random.default_rng(8)
    endog = rng.normal(size=(2, 80))
    exog = rng.normal(size=(2, 80, 4))
    scaled = exog.copy()
    scaled[:, :, 1] *= 1e-14
    scaled[:, :, 2] *= 1e12
    assert relative_gap(calc_residuals(endog, scaled), lstsq_residuals(endog, exog)) < TOL


def test_accepts_array_likes_and_rejects_bad_shapes():
    got = calc_residuals([[1.0, 3.0]], [[[1.0], [1.0]]])
    np.testing.assert_allclose(got, [[-1.0, 1.0]])
    with pytest.raises(ValueError, match=r"endog \(2, 3\) and exog \(2, 4, 1\)"):
        calc_residuals(np.zeros((2, 3)), np.zeros((2, 4, 1)))
    with pytest.raises(ValueError, match=r"endog \(6,\) and exog \(6, 1\)"):
        calc_residuals(np.zeros(6), np.zeros((6, 1)))
    with pytest.raises(TypeError, match="exog"):
        calc_residuals(np.zeros((1, 2)), [[["a"], ["b"]]])


def test_core_checks_shapes_itself():
    with pytest.raises(ValueError, match=r"endog \(2, 3\) and exog \(3, 3, 1\)"):
        sigmora._core.ols_residuals(np.zeros((2, 3)), np.zeros((3, 3, 1)))


def test_same_bits_for_any_thread_count():
    rng = np.random.default_rng(21)
    endog, exog = random_design(rng, 37, 90, 7, nan_rate=0.1)
    exog[::4, :, 3] = exog[::4, :, 0] + exog[::4, :, 1]  # some dates take the rank-revealing path
    before = sigmora.get_num_threads()
    try:
        results = []
        for n in (1, 2, 3):
            sigmora.set_num_threads(n)
            results.append(calc_residuals(endog, exog))
    finally:
        sigmora.set_num_threads(before)
    for other in results[1:]:
        assert np.array_equal(results[0], other, equal_nan=True)


def test_comparison_helper_flags_infinities():
    # The helper every residual test leans on must not call an infinity a match.
    with pytest.raises(AssertionError, match="infinite cells differ"):
        relative_gap(np.array([[0.0, 5.0]]), np.array([[np.inf, 5.0]]))
    with pytest.raises(AssertionError, match="infinite cells differ"):
        relative_gap(np.array([[-np.inf, 5.0]]), np.array([[np.inf, 5.0]]))
    assert relative_gap(np.array([[np.inf, 5.0]]), np.array([[np.inf, 5.0]])) == 0.0
    assert relative_gap(np.array([[1.0, 3.0]]), np.array([[1.0, 5.0]])) == pytest.approx(0.4)
