"""Kernels give the same bits whatever the number of threads, the memory layout and the
dtype of their inputs, and whether the system lets them start their threads.

Add a kernel by appending (name, function of a T x N float64 array) to KERNELS, and
(name, function of two T x N tables) to EVERY_KERNEL for the fuzzing over layouts.
"""

import os
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import sigmora
from sigmora import _core

def _autocorrelation_of_orders(x, y):
    orders = _core.SortedRows()
    _core.ic_by_row_with_decay(x, [y], 3, True, orders)
    return _core.rank_autocorrelation(orders, np.array([1, 2, 7]))


KERNELS = [
    ("winsorize_mad", lambda x: _core.winsorize_mad(x, 3.0)),
    ("winsorize_std", lambda x: _core.winsorize_std(x, 3.0)),
    ("winsorize_percentile", lambda x: _core.winsorize_percentile(x, 0.025, 0.975)),
    ("preprocess_normalize", _core.preprocess_normalize),
    ("returns_from_closes", lambda x: _core.returns_from_closes(x)[0]),
    ("forward_returns", lambda x: np.stack(_core.forward_returns(
        np.where(np.isinf(x), np.nan, x) * 0.01, np.arange(len(x)), np.array([1, 5, 20])))),
    # Tables sharing a mask (one matrix product), one with a mask of its own, one with ties.
    ("mean_rank_correlation", lambda x: _core.mean_rank_correlation(
        [x, -x, np.round(x), np.roll(x, 1, axis=1)])[0]),
    ("rank_autocorrelation", lambda x: _core.rank_autocorrelation(x, np.array([1, 5, 20], dtype=np.int64))),
]


@pytest.fixture
def restore_threads():
    before = sigmora.get_num_threads()
    yield
    sigmora.set_num_threads(before)


def table(rows, cols, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_t(3, size=(rows, cols))
    x[rng.random((rows, cols)) < 0.15] = np.nan
    x[::7] = np.nan  # empty rows
    x[3::11] = 2.5  # constant rows
    x[5, :4] = [np.inf, -np.inf, np.inf, 0.0]
    return x


@pytest.mark.parametrize("name, kernel", KERNELS, ids=[k[0] for k in KERNELS])
@pytest.mark.parametrize("rows", [1, 2, 97, 300])
def test_kernel_bits_do_not_depend_on_threads_or_memory_order(name, kernel, rows, restore_threads):
    # Kernels may read row-major and column-major tables by different routes.
    x = table(max(rows, 6), 301)[:rows]
    results = set()
    for threads in (1, 2, 3):
        sigmora.set_num_threads(threads)
        for layout in (np.ascontiguousarray(x), np.asfortranarray(x)):
            results.add(np.ascontiguousarray(kernel(layout)).tobytes())
    assert len(results) == 1


# ----------------------------------------------------------------------------- every kernel, fuzzed

def _labels(x):
    return _core.portfolio_quantile_labels(np.ascontiguousarray(x, dtype=np.float64), 3, False)


def _codes(x):
    return (np.arange(x.shape[0] * x.shape[1], dtype=np.int64).reshape(x.shape) * 7 % 6) - 1


def _records(x):
    """Long-form style exposures of x and y's instruments: one record per cell, two
    factors, records in a shuffled order (a fixed permutation)."""
    T, N = x.shape
    order = np.arange(T * N)[::-1] if T * N % 2 else np.roll(np.arange(T * N), 3)
    date, key = np.divmod(order, N)
    return date.astype(np.int64), key.astype(np.int64), T, N, np.arange(T, dtype=np.int64), np.arange(N, dtype=np.int64)


# (name, function of two T x N tables of the same layout and dtype).
EVERY_KERNEL = [
    ("winsorize_mad", lambda x, y: _core.winsorize_mad(x, 2.5)),
    ("winsorize_std", lambda x, y: _core.winsorize_std(x, 1.5)),
    ("winsorize_percentile", lambda x, y: _core.winsorize_percentile(x, 0.1, 0.8)),
    ("preprocess_normalize", lambda x, y: _core.preprocess_normalize(x)),
    ("portfolio_growth", lambda x, y: _core.portfolio_growth(y)),
    ("portfolio_factor_weights", lambda x, y: _core.portfolio_factor_weights(x, False)),
    ("portfolio_factor_returns", lambda x, y: _core.portfolio_factor_returns(x, y, np.array([1, 3, 40]), True)),
    ("portfolio_quantile_labels", lambda x, y: _core.portfolio_quantile_labels(x, 4, True)),
    ("portfolio_quantile_returns",
     lambda x, y: _core.portfolio_quantile_returns(_labels(x), y, np.array([2, 1, 5]), 3)),
    ("portfolio_quantile_returns weighted",
     lambda x, y: _core.portfolio_quantile_returns(_labels(x), y, np.array([2, 1, 5]), 3, np.abs(x[::-1]))),
    ("ic_by_row", lambda x, y: _core.ic_by_row(x, [y, x], True) + _core.ic_by_row(x, [y], False)),
    ("ic_decay", lambda x, y: _core.ic_decay(x, [y, x], 4, False) + _core.ic_by_row_with_decay(x, [y], 3, True)[1]),
    ("ic_by_group", lambda x, y: _core.ic_by_group(x, [y], _codes(x), 5, True)
     + _core.ic_by_group(x, [y, x], _codes(x)[:1], 5, False)),
    ("mean_rank_correlation", lambda x, y: _core.mean_rank_correlation([x, y, np.round(x), x * 2, y[::-1]])),
    # Ties from floor, which is exact in every dtype (rounding to a decimal is not: a float32's
    # rounding can differ from its float64 copy's, and so would the ties).
    ("rank_autocorrelation", lambda x, y: _core.rank_autocorrelation(np.floor(x), np.array([1, 2, 7]))),
    ("rank_autocorrelation of kept orders", lambda x, y: _autocorrelation_of_orders(np.floor(x), y)),
    ("ols_residuals", lambda x, y: _core.ols_residuals(x, np.stack([y, np.ones(y.shape)], axis=2))),
    ("ols_neutralize", lambda x, y: _core.ols_neutralize(
        x, np.stack([np.ravel(y), np.ravel(x[::-1])], axis=1)[::-1], *_records(x), [y], _codes(x), 5)),
]

LAYOUTS = {
    "C": np.ascontiguousarray,
    "F": np.asfortranarray,
    "strided": lambda a: np.pad(a, ((1, 2), (3, 1)), constant_values=9.0)[1:-2:, 3:-1][:, :] if a.size else a,
    "every other": lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
    "reversed": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
}


def flat(results):
    return [np.asarray(r) for r in (results if isinstance(results, tuple) else (results,))]


@given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 30), cols=st.integers(1, 30),
       layout=st.sampled_from(sorted(LAYOUTS)), dtype=st.sampled_from(["float64", "float32", "int64"]),
       threads=st.sampled_from([1, 2, 3, 5]))
@settings(max_examples=40, deadline=None)
def test_every_kernel_gives_the_same_bits_for_any_layout_dtype_and_thread_count(seed, rows, cols, layout, dtype,
                                                                                   threads):
    rng = np.random.default_rng(seed)
    x = np.round(rng.standard_t(3, (rows, cols)), 2 if dtype == "int64" else 6)
    y = rng.normal(0, 0.05, (rows, cols))
    if dtype == "int64":  # integers have no NaN
        x, y = np.round(x * 100), np.round(y * 100)
    else:
        x[rng.random(x.shape) < 0.15] = np.nan
        y[rng.random(y.shape) < 0.1] = np.nan
        x[rng.random(x.shape) < 0.02] = np.inf
    x, y = x.astype(dtype), y.astype(dtype)  # values the dtype holds exactly, read as float64 below
    before = sigmora.get_num_threads()
    try:
        sigmora.set_num_threads(1)
        want = {name: flat(f(x.astype(np.float64), y.astype(np.float64))) for name, f in EVERY_KERNEL}
        sigmora.set_num_threads(threads)
        shaped = LAYOUTS[layout]
        for name, f in EVERY_KERNEL:
            got = flat(f(shaped(x), shaped(y)))
            assert len(got) == len(want[name])
            for g, w in zip(got, want[name]):
                assert g.dtype == w.dtype and np.array_equal(np.ascontiguousarray(g), w, equal_nan=True), name
    finally:
        sigmora.set_num_threads(before)


def test_thread_count_must_be_positive(restore_threads):
    with pytest.raises(ValueError):
        sigmora.set_num_threads(0)


# ----------------------------------------------------------------------------- threads the system refuses

# Runs every kind of parallel loop (row blocks, column chunks, rows, groups, levels) on one
# thread, then on `threads` threads after `setup`, and prints whether the bits agree.
REFUSED_THREADS = textwrap.dedent("""
    import resource, sys
    import numpy as np
    import sigmora
    from sigmora import _core

    rng = np.random.default_rng(0)
    x = rng.normal(size=(300, 257))
    x[rng.random(x.shape) < 0.1] = np.nan
    rets = [rng.normal(size=x.shape) for _ in range(2)]
    codes = rng.integers(-1, 9, x.shape).astype(np.int64)
    labels = _core.portfolio_quantile_labels(x, 5, True)
    growth = _core.portfolio_growth(rets[0] * 0.01)

    def run():
        return [_core.winsorize_mad(x, 3.0), _core.preprocess_normalize(np.asfortranarray(x)),
                *_core.ic_by_row_with_decay(x, rets, 4, True)[1], *_core.ic_by_group(x, rets, codes, 9, False),
                _core.ols_residuals(rets[0], np.ascontiguousarray(x[..., None])),
                *_core.portfolio_quantile_returns(labels, growth, np.array([1, 5]), 5),
                _core.portfolio_factor_returns(x, rets[1] * 0.01, np.array([3]), False)]

    sigmora.set_num_threads(1)
    want = run()
    sigmora.set_num_threads(int(sys.argv[1]))
    headroom = int(sys.argv[2])
    if headroom:
        # Address space for the process as it is plus `headroom` MiB: a thread's 8 MiB stack
        # fits once or twice, then thread creation fails.
        size = int([l for l in open("/proc/self/status") if l.startswith("VmSize")][0].split()[1]) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (headroom << 20), hard))
    got = run()
    if headroom:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    same = all(np.array_equal(a, b, equal_nan=True) for a, b in zip(want, got))
    print("same bits" if same else "different bits")
""")


def run_refused(threads, headroom_mib=0, env=None):
    def eight_mib_stacks():
        resource.setrlimit(resource.RLIMIT_STACK, (8 << 20, resource.getrlimit(resource.RLIMIT_STACK)[1]))
    return subprocess.run([sys.executable, "-c", REFUSED_THREADS, str(threads), str(headroom_mib)],
                          capture_output=True, text=True, timeout=300, preexec_fn=eight_mib_stacks,
                          env=dict(os.environ, **(env or {})))


@pytest.mark.parametrize("started", [0, 1, 3])
def test_threads_that_cannot_be_started_leave_their_blocks_to_the_others(started):
    # The fault-injection switch makes the (started + 1)-th thread of every loop fail to
    # start, as a pids limit would; the loop must neither abort nor change a bit.
    done = run_refused(6, env={"SIGMORA_FAIL_THREAD_AFTER": str(started)})
    assert (done.returncode, done.stdout.strip()) == (0, "same bits"), done.stderr[-2000:]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves more address space than the limit leaves")
@pytest.mark.parametrize("headroom_mib", [2, 12, 20])
def test_an_address_space_limit_does_not_abort_the_process(headroom_mib):
    # Room for no thread stack, for one, for two: creating the next thread fails for real
    # (it used to destroy the threads already running and abort the process).
    done = run_refused(6, headroom_mib)
    assert (done.returncode, done.stdout.strip()) == (0, "same bits"), done.stderr[-2000:]


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="no CPU affinity on this platform")
def test_default_thread_count_is_the_cpu_affinity():
    code = "import sigmora; print(sigmora.get_num_threads())"
    allowed = sorted(os.sched_getaffinity(0))
    one = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         preexec_fn=lambda: os.sched_setaffinity(0, allowed[:1]))
    every = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert (int(one.stdout), int(every.stdout)) == (1, len(allowed))
