"""Kernels give the same bits whatever the number of threads.

Add a kernel by appending (name, function of a T x N float64 array) to KERNELS.
"""

import numpy as np
import pytest

import sigmora
from sigmora import _core

KERNELS = [
    ("winsorize_mad", lambda x: _core.winsorize_mad(x, 3.0)),
    ("winsorize_std", lambda x: _core.winsorize_std(x, 3.0)),
    ("winsorize_percentile", lambda x: _core.winsorize_percentile(x, 0.025, 0.975)),
    ("preprocess_normalize", _core.preprocess_normalize),
    ("returns_from_closes", lambda x: _core.returns_from_closes(x)[0]),
    ("forward_returns", lambda x: np.stack(_core.forward_returns(
        np.where(np.isinf(x), np.nan, x) * 0.01, np.arange(len(x)), np.array([1, 5, 20])))),
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


def test_thread_count_must_be_positive(restore_threads):
    with pytest.raises(ValueError):
        sigmora.set_num_threads(0)
