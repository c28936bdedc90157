"""Many factor tests at once: one independent pipeline run per factor, scheduled by Dask.

    >>> from sigmora.batch import run_many
    >>> results = run_many(engine, {"value": value_table, "reversal": -close / close.shift(5)},
    ...                    periods=(1, 5, 20), order_book_ids=ids,
    ...                    start_date="2021-01-04", end_date="2024-11-29")
    >>> results.leaderboard()

The post-adjusted closes every factor needs are fetched once, for the union of instruments
over the widest window, and shipped to each worker once; every run then takes exactly the
slice that a single `engine.analysis(factor, "daily", ...)` call would have fetched, so a
batch gives the same tables as running the factors one by one.

Workers read market data from the tidewell store by its path (read-only). On a cluster
spanning several machines the store must therefore sit on a path every worker can read
(a shared file system), and every worker needs sigmora installed. Start such workers without
Dask's default MALLOC_TRIM_THRESHOLD_ of 64 KiB, with this in the Dask configuration of the
machines that start them (e.g. ~/.config/dask/distributed.yaml):

    distributed:
      nanny:
        pre-spawn-environ:
          MALLOC_TRIM_THRESHOLD_: null

With Dask's default, every table a test frees goes back to the system and the next one is
faulted in again page by page, which made factor tests take half as long again. The local
cluster of `run_many(..., client=None)` (see `local_cluster`) already runs without it.
"""

import sys
import time
import traceback
import uuid
import warnings
from collections.abc import Mapping

import pandas as pd

from sigmora.analysis import _market, varodyne
from sigmora.analysis._base import check_ascending, check_dates, check_periods


# Runs of one factor before a scheduler-side cancellation counts as its failure.
_MAX_ATTEMPTS = 3


class FactorFailure:
    """What is left of a factor whose run raised: the exception and its formatted traceback."""

    def __init__(self, name, exception, traceback_text):
        self.name = name
        self.exception = exception
        self.traceback = traceback_text

    def __repr__(self):
        return "FactorFailure({!r}, {}: {})".format(self.name, self._kind(), self.exception)

    def _kind(self):
        exc = self.exception
        return exc.type_name if isinstance(exc, SavedError) else type(exc).__name__

    def __eq__(self, other):
        """Failures are equal when they name the same factor, exception type, message and traceback."""
        if not isinstance(other, FactorFailure):
            return NotImplemented
        return ((self.name, self._kind(), str(self.exception), self.traceback)
                == (other.name, other._kind(), str(other.exception), other.traceback))

    __hash__ = None

    def _save_entry(self, writer, folder):
        return {"kind": "failure", "name": self.name, "exception": self._kind(), "message": str(self.exception),
                "traceback": self.traceback}

    @classmethod
    def _from_saved(cls, entry, reader):
        return cls(entry["name"], SavedError(entry["exception"], entry["message"]), entry["traceback"])


class SavedError(Exception):
    """The exception of a failure read back from saved results: its type's name and its message."""

    def __init__(self, type_name, message):
        super().__init__(message)
        self.type_name = type_name

    def __repr__(self):
        return "SavedError({}: {})".format(self.type_name, self)


# What a completed run whose factor is degenerate (`sigmora.analysis._coverage.degenerate`), or
# whose figures rest on few dates, had: gravest first.
_PROBLEMS = {"no values": "with no factor value at all", "constant": "with one value everywhere",
             "one value a date": "with at most one value on any date",
             "no dates": "resting on no date (see what each rests on)",
             "thin": "resting on under half of their dates (see what each rests on)"}


def _problem(coverage):
    """What makes a completed analysis's figures mean little: a key of _PROBLEMS, or None."""
    problem = getattr(coverage, "degenerate", None)
    if problem is None and getattr(coverage, "dates_used", None) == 0:
        problem = "no dates"
    if problem is None and getattr(coverage, "thin_dates", False):
        problem = "thin"
    return problem


class BatchResult(dict):
    """Factor name -> the engine's result dictionary, or a `FactorFailure`."""

    @property
    def failures(self):
        return {name: value for name, value in self.items() if isinstance(value, FactorFailure)}

    @property
    def succeeded(self):
        return {name: value for name, value in self.items() if not isinstance(value, FactorFailure)}

    def report(self):
        failed = self.failures
        lines = ["{} of {} factors completed".format(len(self) - len(failed), len(self))]
        # A run over a factor without values (or with one value everywhere, or whose dates all
        # dropped out, e.g. emptied by the preprocessing) completes, but every figure of it is
        # NaN or meaningless: the count says so, not just the board.
        problems = {}
        for name, results in self.succeeded.items():
            found = [_problem(getattr(value, "coverage", None)) for value in results.values()]
            found = [problem for problem in found if problem is not None]
            if found:   # the gravest of the analyses' (in the order of _PROBLEMS)
                problems.setdefault(min(found, key=list(_PROBLEMS).index), []).append(name)
        if problems:
            lines[0] += " ({})".format("; ".join(
                "{} {}: {}".format(len(names), _PROBLEMS.get(problem, problem), ", ".join(names))
                for problem, names in sorted(problems.items())))
        for name, failure in failed.items():
            lines.append("  {} failed: {}: {}".format(name, failure._kind(), failure.exception))
        return "\n".join(lines)

    def leaderboard(self, sort_by=None, ascending=False, fdr=0.05):
        from sigmora.analysis.leaderboard import leaderboard
        return leaderboard(self.succeeded, sort_by=sort_by, ascending=ascending, fdr=fdr)

    def save(self, path, format="parquet"):
        """Save every factor's results (and what failed, and why) into the folder ``path``
        (Parquet, or "csv"), with a manifest; `sigmora.load_results` reads it back as a
        BatchResult.  Returns the folder's absolute path."""
        from sigmora.saved import save_results
        return save_results(self, path, format=format)

    def _save_entry(self, writer, folder):
        return {"kind": "batch", "items": [[name, writer.entry(value, writer.child(folder, name))]
                                           for name, value in self.items()]}

    @classmethod
    def _from_saved(cls, entry, reader):
        return cls((name, reader.entry(item)) for name, item in entry["items"])


# ----------------------------------------------------------------------------- validation

def _is_expression(value):
    from sigmora.interface import AbstractFactor
    return isinstance(value, AbstractFactor)


def _check_factors(factors, order_book_ids, start_date, end_date):
    if not isinstance(factors, Mapping):
        raise TypeError("factors: expect a mapping of names to factor tables or expressions, got {}".format(
            type(factors)))
    if len(factors) == 0:
        raise ValueError("factors: expect at least one factor, got an empty mapping")
    expressions = []
    for name, value in factors.items():
        if isinstance(value, pd.DataFrame):
            varodyne._validate_data_frame(df=value, name="factors[{!r}]".format(name))
        elif _is_expression(value):
            expressions.append(name)
        else:
            raise TypeError("factors[{!r}]: expect a pd.DataFrame or a factor expression, got {}".format(
                name, type(value)))
    if expressions and (order_book_ids is None or start_date is None or end_date is None):
        raise ValueError("factors {} are expressions: pass order_book_ids, start_date and end_date to "
                         "evaluate them".format(expressions))


def _connect(client):
    """The Dask client to use, whether given as a client, as a scheduler address or not at all
    (None: a local cluster of worker processes, closed again by `run_many`)."""
    from dask.distributed import Client

    if isinstance(client, Client):
        return client, None
    if isinstance(client, str):
        try:
            return Client(client, timeout="10s"), None
        except (OSError, TimeoutError) as exc:
            raise ConnectionError("client: cannot reach the Dask scheduler at {!r}: {}".format(client, exc)) from exc
    if client is not None:
        raise TypeError("client: expect None, a dask.distributed.Client or a scheduler address, got {}".format(
            type(client)))
    cluster = local_cluster()
    return Client(cluster), cluster


def local_cluster(n_workers=None):
    """A Dask cluster of `n_workers` worker processes on this machine (default: one per
    core), one task at a time each, reachable on the loopback interface only; what
    `run_many(..., client=None)` runs on.

    Dask normally starts workers with glibc's MALLOC_TRIM_THRESHOLD_ set to 64 KiB so that
    freed memory goes straight back to the system. A factor test allocates and frees tables
    of tens of megabytes many times over; with that setting every one of them is mapped
    afresh and faulted in page by page, which made a worker spend about as long in the
    kernel as in the test itself. These workers keep glibc's default (a variable already in
    the environment is still passed on)."""
    import os
    import dask
    from dask.distributed import LocalCluster

    if n_workers is None:
        n_workers = os.cpu_count() or 1
    elif isinstance(n_workers, bool) or not isinstance(n_workers, int) or n_workers < 1:
        raise ValueError("n_workers: expect a positive integer, got {!r}".format(n_workers))
    # No dashboard is served, so the workers' statistical profiler (a stack sample every
    # 10 ms of every task) would only take time from the tests.
    # The scheduler starts its HTTP server whatever it is told (dashboard_address=None means
    # port 8787, and another port with a warning when that is taken): it gets a free loopback
    # port and no route at all, and the dashboard is off.
    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
                          "distributed.worker.profile.enabled": False,
                          "distributed.scheduler.http.routes": []}):
        return LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                            dashboard_address="127.0.0.1:0", scheduler_kwargs={"dashboard": False},
                            host="127.0.0.1")


# ----------------------------------------------------------------------------- the work

def _factor_window(factor, p_max):
    """Ids and the first/last dates of a factor table, checked as a single run checks them
    (the engine reads its rows in order) and with a price window the calendar can give."""
    check_dates(factor.index, "factor_data")
    _market.price_window(factor.index[0], factor.index[-1], p_max)
    return list(factor.columns), factor.index[0], factor.index[-1]


def _windows(factors, p_max, order_book_ids, start_date, end_date):
    """Each factor's window, or its failure: one factor whose dates the calendar cannot
    serve is that factor's failure, not the batch's."""
    windows, failures = {}, {}
    expression_window = None
    for name, value in factors.items():
        try:
            if isinstance(value, pd.DataFrame):
                windows[name] = _factor_window(value, p_max)
            else:
                if expression_window is None:
                    dates = _market.trading_date_index(start_date, end_date)
                    if len(dates) == 0:
                        raise ValueError("no trading dates from {} to {}".format(start_date, end_date))
                    _market.price_window(dates[0], dates[-1], p_max)
                    expression_window = (list(order_book_ids), dates[0], dates[-1])
                windows[name] = expression_window
        except Exception as exc:  # noqa: BLE001 - reported as this factor's failure
            failures[name] = FactorFailure(name, exc, traceback.format_exc())
    return windows, failures


def _union_closes(windows, p_max):
    """Post-adjusted closes for every instrument any factor names, over the widest window."""
    ids = sorted({oid for ids, _, _ in windows for oid in ids})
    first = min(w[1] for w in windows)
    last = max(w[2] for w in windows)
    start, end = _market.price_window(first, last, p_max)
    closes = _market.closes(ids, start, end)
    if closes is None:
        raise ValueError("no prices found for any instrument of the factors between {} and {}".format(start, end))
    return closes


def _identity(value):
    return value


def _shared(dask_client, table, label, batch_id):
    """A table every task reads, sent to the cluster once. It is held as the result of a task
    that carries it, not as scattered data, so that it survives the loss of every worker
    holding it (the scheduler simply runs that task again)."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*[Ll]arge (object|graph).*")
        return dask_client.submit(_identity, table, key="sigmora-{}-{}".format(batch_id, label), pure=False)


# The last return table a worker built, reused by the next factor over the same instruments
# and window (the usual case when many factors share one universe).
_last_returns = {}


def _daily_returns_from(closes, factor, p_max):
    """The return table a single run would build for `factor`, cut from the shared closes."""
    start, end = _market.price_window(factor.index[0], factor.index[-1], p_max)
    key = (start, end, tuple(factor.columns))
    if _last_returns.get("closes") is closes and _last_returns.get("key") == key:
        return _last_returns["returns"].copy()
    returns = _market.returns_from_closes(closes, factor.columns, start, end)
    _last_returns.update(closes=closes, key=key, returns=returns)
    return returns.copy()


def _factor_tables(factors, order_book_ids, start_date, end_date):
    """(name, table) for each factor: tables as given first, then the expressions, evaluated
    together (`sigmora.evaluation.iter_evaluate`: each leaf fetched once for all of them, each
    common subexpression computed once) one table at a time as the caller asks for the next.
    A factor that cannot be evaluated comes with its exception instead of a table."""
    expressions = {}
    for name, value in factors.items():
        if isinstance(value, pd.DataFrame):
            yield name, value
        else:
            expressions[name] = value
    if not expressions:
        return
    from sigmora.evaluation import iter_evaluate
    seen = set()
    try:
        for name, value in iter_evaluate(expressions, order_book_ids, start_date, end_date, errors="return"):
            seen.add(name)
            yield name, value
    except Exception as exc:  # noqa: BLE001 - e.g. a leaf or the calendar failing for all of them
        for name in expressions:
            if name not in seen:
                yield name, exc


def _run_one(name, engine, factor, closes, returns, periods, ascending, store_path, kernel_threads,
             universe=None, start_date=None, end_date=None):
    """One pipeline run and the warnings it raised, as (category, message) pairs in order
    without repeats: a worker's own stderr is no place a caller reads, so they travel back
    with the result.  Never raises, so one factor's failure cannot cost the others."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = _run_one_quietly(name, engine, factor, closes, returns, periods, ascending, store_path,
                                  kernel_threads, universe, start_date, end_date)
    raised = []
    for w in caught:
        item = (w.category, str(w.message))
        if item not in raised:
            raised.append(item)
    return result, raised


def _aligned(table):
    """``table``, or a copy of it when its values do not lie on 8-byte boundaries: a table
    unpickled from a worker's message may be a view into the message's bytes at any offset,
    which the core refuses."""
    if isinstance(table, pd.DataFrame) and table.shape[1]:
        values = table.to_numpy()   # the table's own block, not a copy, for one float64 block
        if not values.flags.aligned:
            return table.copy()
    return table


def _run_one_quietly(name, engine, factor, closes, returns, periods, ascending, store_path, kernel_threads,
                     universe, start_date, end_date):
    try:
        factor, closes, returns = _aligned(factor), _aligned(closes), _aligned(returns)
        import sigmora
        if kernel_threads:
            sigmora.set_num_threads(kernel_threads)
        _market.select_store(store_path)
        if not isinstance(factor, pd.DataFrame):
            from sigmora.evaluation import evaluate
            factor = evaluate(factor, universe, start_date, end_date)
        else:
            # The engine renames the table's axes in place; keep the shared copy untouched.
            factor = factor.copy(deep=False)
            factor.index = factor.index.copy()
            factor.columns = factor.columns.copy()
        if closes is not None:
            p_max = max(periods) if isinstance(periods, (tuple, list)) else periods
            returns = _daily_returns_from(closes, factor, p_max)
        else:
            returns = returns.copy()
        return engine.analysis(factor, returns, ascending=ascending, periods=periods)
    except BaseException as exc:  # noqa: BLE001 - reported per factor, the batch goes on
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        return FactorFailure(name, exc, traceback.format_exc())


def run_many(engine, factors, returns="daily", periods=1, ascending=False, client=None,
             order_book_ids=None, start_date=None, end_date=None, progress=True):
    """Run `engine` on every factor of `factors` (name -> table or expression) on Dask workers.

    :param engine: a `FactorVarodyne` with the steps to run for every factor
    :param factors: mapping of a name to a factor table (dates x order_book_id) or a factor
        expression of `sigmora.interface` (evaluated on the workers over `order_book_ids`
        from `start_date` to `end_date`)
    :param returns: "daily" (post-adjusted close-to-close returns, fetched once for all
        factors) or a return table shared by all factors
    :param client: None (a local cluster of worker processes, one per core, started and
        shut down here), a `dask.distributed.Client`, or a scheduler address
    :param progress: print one line per finished factor to stderr
    :return: `BatchResult`: name -> result dictionary, or `FactorFailure` for a factor whose
        run raised; `.report()` says which failed and why, `.leaderboard()` compares them
    """
    if not isinstance(engine, varodyne.FactorVarodyne):
        raise TypeError("engine: expect a FactorVarodyne, got {}".format(type(engine)))
    _check_factors(factors, order_book_ids, start_date, end_date)
    assert isinstance(periods, (tuple, list, int)), "periods must be tuple/list/int, but got {}".format(
        type(periods))
    check_periods(periods)
    check_ascending(ascending)
    if isinstance(returns, str):
        if returns != "daily":
            raise ValueError('returns: expect pd.DataFrame or "daily", got {}'.format(returns))
    else:
        varodyne._validate_data_frame(df=returns, name="returns")

    dask_client, cluster = _connect(client)
    try:
        return _submit_all(dask_client, engine, factors, returns, periods, ascending,
                           order_book_ids, start_date, end_date, progress)
    finally:
        if cluster is not None:
            dask_client.close()
            cluster.close()


def _submit_all(dask_client, engine, factors, returns, periods, ascending, order_book_ids, start_date,
                end_date, progress):
    from dask.distributed import as_completed
    from distributed import KilledWorker
    from concurrent.futures import CancelledError

    store_path = _market.store_path()
    workers = max(1, len(dask_client.scheduler_info().get("workers", {})))
    import os
    kernel_threads = max(1, (os.cpu_count() or 1) // workers) if dask_client.cluster is not None else None

    batch_id = uuid.uuid4().hex[:12]
    closes = shared_returns = None
    results = {}
    if isinstance(returns, str):
        p_max = max(periods) if isinstance(periods, (tuple, list)) else periods
        windows, results = _windows(factors, p_max, order_book_ids, start_date, end_date)
        if windows:
            closes = _shared(dask_client, _union_closes(list(windows.values()), p_max), "closes", batch_id)
    else:
        shared_returns = _shared(dask_client, returns, "returns", batch_id)

    attempts = {}

    def submit(name):
        attempts[name] = attempts.get(name, 0) + 1
        with warnings.catch_warnings():
            # Factor tables travel inside their task rather than scattered, so that a task whose
            # worker dies can be re-run elsewhere (scattered data would die with the worker).
            warnings.filterwarnings("ignore", message=".*[Ll]arge (object|graph).*")
            future = dask_client.submit(
                _run_one, name, engine, tables[name], closes, shared_returns, periods, ascending, store_path,
                kernel_threads, order_book_ids, start_date, end_date,
                key="sigmora-{}-{}-{}".format(batch_id, name, attempts[name]), pure=False)
        futures[future] = name
        return future

    futures = {}
    pending = as_completed()
    # The table each run in flight tests (kept for a re-run); expressions are evaluated here, as
    # runs free up, with each leaf fetched once for all of them (see `_factor_tables`).
    tables = {}
    waiting = _factor_tables({name: value for name, value in factors.items() if name not in results},
                             order_book_ids, start_date, end_date)

    def submit_next():
        for name, value in waiting:
            if isinstance(value, BaseException):
                results[name] = FactorFailure(name, value, "".join(traceback.format_exception(value)))
                if progress:
                    print("[{}/{}] {} failed to evaluate: {}".format(len(results), len(factors), name, value),
                          file=sys.stderr, flush=True)
                continue
            tables[name] = value
            pending.add(submit(name))
            return

    started = time.perf_counter()
    if progress:
        for name in results:
            print("[-/{}] {} failed before it ran: {}".format(len(factors), name, results[name].exception),
                  file=sys.stderr, flush=True)
    # A few tasks per worker in flight, the next one submitted as one finishes: the scheduler
    # holds only the factor tables about to run, not a copy of every one of them.
    for _ in range(2 * workers):
        submit_next()
    for future in pending:
        name = futures.pop(future)
        try:
            results[name], raised = future.result()
            tables.pop(name, None)
            for category, message in raised:
                warnings.warn("{}: {}".format(name, message), category, stacklevel=3)
        except CancelledError as exc:
            # The scheduler dropped the task (e.g. while replacing a lost worker): run it again.
            if attempts[name] < _MAX_ATTEMPTS:
                pending.add(submit(name))
                continue
            results[name] = FactorFailure(name, exc, "".join(traceback.format_exception(exc)))
        except KilledWorker as exc:
            # The factor's run itself keeps killing workers (e.g. out of memory).
            results[name] = FactorFailure(name, exc, "".join(traceback.format_exception(exc)))
        tables.pop(name, None)
        del future  # the worker may drop the result now
        done = len(results)
        submit_next()
        if progress:
            status = "failed" if isinstance(results[name], FactorFailure) else "done"
            print("[{}/{}] {} {} ({:.1f} s)".format(done, len(factors), name, status,
                                                    time.perf_counter() - started), file=sys.stderr, flush=True)
    batch = BatchResult((name, results[name]) for name in factors)
    if batch.failures:
        warnings.warn(batch.report(), stacklevel=3)
    return batch
