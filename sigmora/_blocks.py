"""Element-wise work on a table, split into row blocks run on the kernel threads.

NumPy runs a ufunc on one core and one whole table at a time: a condition that takes four
passes over a 100 MB table streams it from memory four times. Here each thread takes a
contiguous band of rows, as the C++ kernels do, and walks it in chunks small enough to stay
in cache while every step of the work runs on them. Every cell is computed by the same NumPy
loop as before, on its own, so neither the split nor the thread count changes a bit. NumPy
releases the GIL inside its loops, which is what lets the threads overlap.
"""
import contextvars
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from ._core import get_num_threads

# Cells a chunk holds: a few arrays of it fit in a core's L2 cache.
CHUNK_CELLS = 1 << 15
# Below this many cells a table is done on the calling thread: handing work to a thread costs
# tens of microseconds.
MIN_PARALLEL_CELLS = 1 << 18

_lock = threading.Lock()
_executor = None
_executor_threads = 0


def _workers(threads):
    """The shared executor with ``threads`` workers (its submit raises RuntimeError when the
    system refuses a thread)."""
    global _executor, _executor_threads
    with _lock:
        if _executor is None or _executor_threads != threads:
            if _executor is not None:
                _executor.shutdown(wait=False)
            _executor, _executor_threads = ThreadPoolExecutor(
                max_workers=threads, thread_name_prefix="sigmora-blocks"), threads
        return _executor


def _rows(value, begin, end, rows):
    """Rows begin:end of an operand that spans the table's ``rows``; an operand broadcast
    along the rows (one row, or a scalar) is the same for every block."""
    if isinstance(value, np.ndarray) and value.ndim == 2 and value.shape[0] == rows:
        return value[begin:end]
    return value


def _band(work, out, operands, begin, end):
    rows = out.shape[0]
    step = max(1, CHUNK_CELLS // max(1, out.shape[1]))
    for a in range(begin, end, step):
        b = min(end, a + step)
        work(out[a:b], *(_rows(v, a, b, rows) for v in operands))


def run(work, out, *operands):
    """Calls ``work(out_rows, *operand_rows)`` on row chunks covering the 2-D table ``out``,
    on the kernel threads (``sigmora.set_num_threads``), under the caller's ``np.errstate``.
    Operands with as many rows as ``out`` are cut the same way, others (one row, scalars) are
    passed whole. ``work`` must write every cell of its chunk of ``out`` from the same rows of
    the operands alone. Returns ``out``. An error in any block is raised here once all blocks
    have ended."""
    rows = out.shape[0]
    threads = min(get_num_threads(), rows)
    if threads <= 1 or out.size < MIN_PARALLEL_CELLS:
        _band(work, out, operands, 0, rows)
        return out
    cuts = [rows * k // threads for k in range(threads + 1)]
    futures = []
    try:
        executor = _workers(threads)
        for k in range(1, threads):
            # In the caller's context: NumPy's floating-point error state (np.errstate) is a
            # context variable, which a worker thread would otherwise not see.
            context = contextvars.copy_context()
            futures.append(executor.submit(context.run, _band, work, out, operands, cuts[k], cuts[k + 1]))
    except RuntimeError:
        pass    # no thread to be had (a process limit): the calling thread does those bands
    first_error = None
    try:
        _band(work, out, operands, cuts[0], cuts[1])
    except Exception as err:  # noqa: BLE001 - raised once the other bands are done
        first_error = err
    for f in futures:
        try:
            f.result()
        except Exception as err:  # noqa: BLE001
            first_error = first_error or err
    for k in range(1 + len(futures), threads):
        if first_error is None:
            _band(work, out, operands, cuts[k], cuts[k + 1])
    if first_error is not None:
        raise first_error
    return out


# Chunk functions: each writes one node's values for a chunk into its first argument, from the
# same rows of its operands.

def ufunc_work(func):
    """The chunk function of an element-wise ufunc."""
    return lambda o, *a: func(*a, out=o)


def condition_work(func):
    """The chunk function of a condition: 1.0 / 0.0, NaN where a floating operand is missing
    (NumPy would say False)."""
    def work(o, *a):
        np.copyto(o, func(*a))
        for v in a:
            if isinstance(v, np.ndarray) and v.dtype.kind == "f":
                np.copyto(o, np.nan, where=np.isnan(v))
            elif isinstance(v, (float, np.floating)) and np.isnan(v):
                o.fill(np.nan)
    return work


def where_work(o, c, x, y):
    """The chunk function of IF: ``x`` where ``c`` is non-zero, else ``y``, NaN where ``c`` is
    missing."""
    np.copyto(o, y)
    np.copyto(o, x, where=c != 0)
    np.copyto(o, np.nan, where=np.isnan(c))


def signed_power_work(o, x, e):
    """The chunk function of signed_power: sign(x) * |x| ** e, the power written first."""
    np.power(np.absolute(x, out=o), e, out=o)
    np.multiply(np.sign(x), o, out=o)


def ufunc(func, out, *operands):
    """``func(*operands, out=out)`` for an element-wise ufunc, by row blocks."""
    return run(ufunc_work(func), out, *operands)


def where(out, cond, a, b):
    """IF's result written into ``out`` by row blocks (see where_work)."""
    return run(where_work, out, cond, a, b)


def fused(steps, out, *operands):
    """Several element-wise nodes computed together, chunk by chunk, so that the values between
    them never leave the cache: ``steps`` is a list of (chunk function, arguments) in an order
    where each step comes after those it reads; an argument is ``("operand", i)`` or
    ``("step", j)``. The last step's values are written into ``out``; the others into
    temporaries of a chunk's size."""
    last = len(steps) - 1
    # A temporary is let go after the last step that reads it: a long chain keeps a few in cache.
    done_after = {}
    for k, (_, refs) in enumerate(steps):
        for kind, i in refs:
            if kind == "step":
                done_after[i] = k
    release = [[j for j, k2 in done_after.items() if k2 == k] for k in range(len(steps))]

    def work(o, *a):
        values = [None] * len(steps)
        for k, (fn, refs) in enumerate(steps):
            target = o if k == last else np.empty(o.shape)
            fn(target, *[a[i] if kind == "operand" else values[i] for kind, i in refs])
            values[k] = target
            for j in release[k]:
                values[j] = None
    return run(work, out, *operands)
