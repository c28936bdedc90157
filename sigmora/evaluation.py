"""Turning factor expressions into factor tables.

``evaluate`` fetches every leaf of an expression once over the requested trading dates extended
backwards by the expression's ``shift``, walks ``expr`` applying each callable to its evaluated
arguments and labels the result: rows are the trading dates from start to end, columns the ids.

Inside the walk every value is a float array of (window rows - shift) x instruments whose rows
line up with the window from the end: a node of shift ``s`` has lost its first ``s`` rows.
``lag`` builds the node that reads a factor some trading dates earlier under that rule.

A call computes each distinct subexpression once: the expression trees are merged into one
graph where equal subtrees (the same callable on equal arguments, the same leaf, equal
constants) are one node, and a node's value is dropped as soon as its last user has run.
``evaluate_many`` does this over several expressions at once and fetches each leaf once for
all of them; ``iter_evaluate`` hands the tables out one by one as they are ready.

The nodes write their tables into buffers of a pool (``_Pool``): a buffer that nothing but the
pool refers to any more (its node dropped, no view of it alive anywhere) is handed to the next
node as its output, so that a long evaluation reuses a few tables' memory instead of mapping
(and having the kernel zero) a new table for every node. A table handed to the caller is a
copy, or the pooled table itself when no later node reads it and nothing else views it; the
pool takes that buffer back once the caller lets go of the table. Element-wise nodes run by row
blocks on the kernel threads (``_blocks``).
"""
import contextlib
import numbers
import sys
from collections.abc import Mapping

import numpy as np
import pandas as pd

from sigmora.analysis import _market
from sigmora.analysis._base import warn_user

from . import _blocks
from .exception import InvalidUserFactor, SigmoraException
from .interface import AbstractFactor, ConstantFactor, LeafFactor, ShiftedFactor

__all__ = ["evaluate", "evaluate_many", "iter_evaluate", "lag", "LaggedFactor", "FactorEvaluationError"]


class FactorEvaluationError(SigmoraException):
    """A node of a factor expression could not be computed from its evaluated arguments."""


def _lag(values, n):
    # Row j of the result stands n rows further down, so the trailing n rows have no place.
    if np.ndim(values) == 0:
        return values
    values = np.asarray(values)
    return values[:values.shape[0] - n]


class LaggedFactor(AbstractFactor):
    """The value of ``factor`` ``n`` trading dates earlier.

    :param factor: an AbstractFactor
    :param n: a positive int; the node looks ``n`` more trading dates back than ``factor``
    """

    def __init__(self, factor, n):
        if not isinstance(factor, AbstractFactor):
            raise ValueError("factor: expect an AbstractFactor, got {}".format(described(factor)))
        if isinstance(n, (bool, np.bool_)) or not isinstance(n, numbers.Integral) or n < 1:
            fractional = (isinstance(n, numbers.Real) and not isinstance(n, (bool, np.bool_)) and n >= 1
                          and n != int(n))
            raise ValueError("lag: n: expect a positive integer (trading dates), got {!r}{}".format(
                n, "; ts_delay floors a fractional window" if fractional else ""))
        self._factor = factor
        self._n = int(n)

    @property
    def expr(self):
        return _lag, (self._factor.expr, self._n)

    @property
    def dependencies(self):
        return self._factor.dependencies

    @property
    def shift(self):
        return self._factor.shift + self._n

    def __repr__(self):
        return "lag({!r}, {})".format(self._factor, self._n)


def lag(factor, n):
    """``factor`` as it was ``n`` trading dates earlier, e.g. ``close / lag(close, 5) - 1``."""
    return LaggedFactor(factor, n)


# Conditions give NaN where an operand is missing, instead of numpy's False.
_CONDITIONS = (np.less, np.less_equal, np.greater, np.greater_equal, np.equal, np.not_equal,
               np.logical_and, np.logical_or, np.logical_xor, np.logical_not)


def described(value):
    """``value`` for a message: a table by its kind and shape, not by its values."""
    if isinstance(value, (pd.DataFrame, pd.Series)):
        return "a pandas {} of shape {}".format(type(value).__name__, value.shape)
    if isinstance(value, np.ndarray) and value.ndim:
        return "a NumPy array of shape {}".format(value.shape)
    return repr(value)


def table_hint(value):
    """What to do with a table given where an expression belongs."""
    if not isinstance(value, (pd.DataFrame, pd.Series, np.ndarray)):
        return ""
    return ("; expressions are built from leaves such as sigmora.leaves.bar_field(\"close\") and computed by "
            "sigmora.evaluation.evaluate; a table already computed is pandas' to roll or rank (e.g. "
            "table.rolling(5).mean())")


def _is_condition(func):
    return any(func is c for c in _CONDITIONS)


# How the text of an expression names the functions of the expression nodes.
_FUNC_NAMES = ((ShiftedFactor._shift, "shift"), (_lag, "lag"))


def evaluate(factor, order_book_ids, start_date, end_date):
    """Compute ``factor`` for ``order_book_ids`` on the trading dates from start to end.

    :param factor: an AbstractFactor whose leaves have an ``execute`` method
        (e.g. UserDefinedLeafFactor or the leaves of ``sigmora.leaves``)
    :param order_book_ids: an order_book_id or a list of distinct ones; the columns, in order
    :param start_date, end_date: dates the market-data client accepts
    :return: a factor table (float values, NaN for missing), indexed by the trading dates
        ("datetime") with one column per order_book_id
    """
    if not isinstance(factor, AbstractFactor):
        raise ValueError("factor: expect an AbstractFactor, got {}{}".format(described(factor), table_hint(factor)))
    for _, table in iter_evaluate({None: factor}, order_book_ids, start_date, end_date, errors="raise"):
        return table


def evaluate_many(factors, order_book_ids, start_date, end_date, errors="raise"):
    """Compute several expressions over the same instruments and dates in one pass.

    Each leaf is fetched once for all of them (over the history the most demanding one
    needs) and each distinct subexpression is computed once. The tables are the ones
    ``evaluate`` gives for each expression alone.

    :param factors: a mapping of names to expressions
    :param errors: "raise" (the first failure raises) or "return" (a failed expression's
        entry is its exception, the others are computed)
    :return: a dict of the names to their factor tables, in the order of ``factors``
    """
    results = dict(iter_evaluate(factors, order_book_ids, start_date, end_date, errors=errors))
    return {name: results[name] for name in factors}


def iter_evaluate(factors, order_book_ids, start_date, end_date, errors="raise"):
    """``evaluate_many`` as a generator of ``(name, table)`` pairs, each yielded as soon as
    its table is ready (not in the order of ``factors``), so that a caller can pass tables
    on without holding all of them. With ``errors="return"`` a failed expression is
    yielded with its exception in place of the table."""
    if errors not in ("raise", "return"):
        raise ValueError('errors: expect "raise" or "return", got {!r}'.format(errors))
    if not isinstance(factors, Mapping):
        raise ValueError("factors: expect a mapping of names to expressions, got {}".format(described(factors)))
    for name, factor in factors.items():
        if not isinstance(factor, AbstractFactor):
            raise ValueError("factors[{!r}]: expect an AbstractFactor, got {}{}".format(
                name, described(factor), table_hint(factor)))
    ids = _order_book_ids(order_book_ids)
    dates = _market.trading_date_index(start_date, end_date)
    if len(dates) == 0:
        raise ValueError("evaluate: no trading dates from {} to {}".format(start_date, end_date))
    shifts = {}
    for name, factor in factors.items():
        shift = factor.shift
        if isinstance(shift, (bool, np.bool_)) or not isinstance(shift, numbers.Integral) or shift < 0:
            raise ValueError("evaluate: {!r} has shift {!r}, expect a non-negative integer".format(
                factor, shift))
        shifts[name] = int(shift)
    if not factors:
        return
    for name, factor in factors.items():
        _warn_positional_constants(factor, dates, ids, name)

    # The leaves are read from the history the deepest expression needs; one that looks back
    # beyond the calendar fails alone, and the others are read from what theirs need.
    leaf_start, window, most = start_date, dates, 0
    for depth in sorted(set(shifts.values()), reverse=True):
        if depth == 0:
            break
        try:
            leaf_start = _market.previous_trading_date(dates[0], depth)
        except ValueError as err:
            for name, factor in factors.items():
                if shifts[name] != depth:
                    continue
                error = ValueError("evaluate: {!r} looks back {} trading dates before {}: {}{}".format(
                    factor, depth, dates[0].date(), err, _earliest_start(depth)))
                if errors == "raise":
                    raise error from err
                error.__cause__ = err
                yield name, error
            continue
        most = depth
        window = _market.trading_date_index(leaf_start, end_date)
        break
    factors = {name: factor for name, factor in factors.items() if shifts[name] <= most}
    if not factors:
        return

    names = list(factors)
    graph = _Graph([factors[name].expr for name in names])
    leaves = {}   # a leaf used several times is fetched once
    for name in names:
        for leaf in factors[name].dependencies:
            leaves.setdefault(id(leaf), leaf)
    data = {}
    pool = _new_pool(len(window) * len(ids))
    with _read_together(leaves.values(), ids, leaf_start, end_date):
        for key, leaf in leaves.items():
            try:
                values = _leaf_values(leaf, ids, leaf_start, end_date, window)
                data[key] = values if pool is None else pool.adopt(values)
                del values
            except Exception as err:  # noqa: BLE001 - the expressions reading it fail with it
                if errors == "raise":
                    raise
                data[key] = _Failure(err)

    _warn_missing_data(data, leaves, ids, window, dates[0])
    # Each expression's nodes are computed over the history it needs, where they can be.
    cuts = [most - shifts[name] for name in names]
    for position, value, last in graph.run(data, pool, consume=True, cuts=cuts):
        name = names[position]
        if isinstance(value, _Failure):
            if errors == "raise":
                raise value.error
            yield name, value.error
            continue
        factor = factors[name]
        extra = cuts[position] - graph.dropped[graph.roots[position]]
        try:
            owned = last and pool is not None and pool.hand_over(value, len(dates) * len(ids))
            table = _label(value, factor, dates, ids, start_date, end_date, extra, owned)
        except Exception as err:  # noqa: BLE001
            if errors == "raise":
                raise
            yield name, err
            continue
        yield name, table


class _Pool:
    """Output buffers for the nodes of one evaluation.

    ``take(shape)`` gives a C-contiguous float64 array of ``shape`` (2-D) for a node to write
    its whole result into: the leading cells of a buffer of ``cells`` cells (the largest table of
    the evaluation, so that any buffer serves any node) that the pool allocated or adopted (a
    leaf's table, see ``adopt``) and that nothing else refers to, else a new buffer. The pool
    only ever reuses buffers it allocated or adopted, and only when ``sys.getrefcount`` shows
    that the pool's own references are the only ones left: a node's value, a view of it (a lag,
    a shift, a window's rows), an argument being computed on, a table a caller holds, a
    traceback's frame, all keep a buffer out of reuse.
    So an output never shares memory with a live value, in particular with the inputs of the
    node that writes it. Idle buffers are kept for reuse, all of them by default: a new buffer
    is allocated only when none is idle, so the pool never holds more buffers than were live at
    once, and the memory of one evaluation does not go back to the system and fault in again
    (a fresh table of 100 MB costs several times the arithmetic that fills it).

    :param cells: the cells of the largest table the evaluation makes (rows x instruments)
    :param keep: idle buffers kept for reuse (None: all); the others are let go
    :param poison: a value written into every reused buffer before it is handed out (tests:
        a kernel that left a cell unwritten would show it)
    """

    def __init__(self, cells, keep=None, poison=None):
        self.cells = int(cells)
        self.keep = None if keep is None else int(keep)
        self.poison = poison
        self._lent = {}    # id(buffer) -> buffer, for buffers the pool allocated and has not let go
        self._idle = []    # buffers nothing else refers to, ready for reuse
        self.allocated = self.reused = 0

    def take(self, shape):
        shape = tuple(int(n) for n in shape)
        cells = 1
        for n in shape:
            cells *= n
        if not self._idle:
            self.collect()
        buffer = next((b for b in self._idle if b.size >= cells), None)
        if buffer is not None:
            self._idle = [b for b in self._idle if b is not buffer]
            self.reused += 1
            if self.poison is not None:
                buffer.fill(self.poison)
        else:
            buffer = np.empty(max(cells, self.cells), dtype=np.float64)
            self.allocated += 1
        self._lent[id(buffer)] = buffer
        return buffer.reshape(-1)[:cells].reshape(shape)

    def adopt(self, values):
        """``values`` as a view of a buffer of this pool, when it is an array of the pool's size
        that owns its memory (a leaf's table, fetched for this evaluation): once nothing reads
        the view any more, the pool reuses the memory, and a caller may keep the table without
        a copy (see ``hand_over``). Anything else is returned as it is. The caller drops its
        own reference to ``values``: from then on the array lives on as the pool's."""
        if (not isinstance(values, np.ndarray) or values.base is not None
                or values.dtype != np.float64 or not values.flags.c_contiguous
                or not values.flags.writeable or values.size != self.cells):
            return values
        self._lent[id(values)] = values
        return values[...]

    def hand_over(self, value, cells):
        """Whether a caller may keep ``value`` as its table, without a copy: ``value`` is the only
        view of a buffer of this pool and shows at least ``cells`` cells of it, three quarters
        of the buffer or more (a table kept must not hold much memory it does not show). The
        buffer stays the pool's: once the caller lets go of the table, the pool reuses it."""
        buffer = value.base if isinstance(value, np.ndarray) else None
        if buffer is None or self._lent.get(id(buffer)) is not buffer:
            return False
        if value.dtype != np.float64 or not value.flags.c_contiguous or value.size < cells:
            return False
        if 4 * cells < 3 * buffer.size:
            return False
        # Besides the pool's: `buffer` here and `value`'s base, nothing else.
        return self._holders(id(buffer)) <= 2

    def _holders(self, key):
        """References to the lent buffer ``key`` other than the pool's own. The count is read
        from the dict, a fresh reference that every interpreter counts, less the dict's and
        getrefcount's argument."""
        return sys.getrefcount(self._lent[key]) - 2

    def collect(self):
        """Moves the lent buffers nothing else refers to any more to the idle ones (at most
        ``keep``, when set; the rest are freed)."""
        for key in list(self._lent):
            if self._holders(key):
                continue
            buffer = self._lent.pop(key)
            if self.keep is None or len(self._idle) < self.keep:
                self._idle.append(buffer)


def _new_pool(cells):
    """The pool ``iter_evaluate`` gives its graph for tables of up to ``cells`` cells (None:
    every node allocates its own tables)."""
    return _Pool(cells)


def _earliest_start(depth):
    """What to do about an expression that looks back `depth` dates beyond the calendar."""
    try:
        calendar = _market.whole_calendar()
    except Exception:  # noqa: BLE001 - the message then stands without the hint
        return ""
    if len(calendar) <= depth:
        return "; the calendar holds {} trading dates: import a longer trading calendar".format(len(calendar))
    return "; start on or after {}, or import a longer trading calendar".format(calendar[depth].date())


def _labelled_constants(factor):
    """The constants of ``factor``'s tree that were given as pandas tables (with their labels)."""
    seen, stack = set(), [factor]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        if isinstance(node, ConstantFactor):
            if node._labels is not None:
                yield node
            continue
        for value in getattr(node, "__dict__", {}).values():
            if isinstance(value, AbstractFactor):
                stack.append(value)
            elif isinstance(value, (list, tuple)):
                stack.extend(v for v in value if isinstance(v, AbstractFactor))


def _warn_positional_constants(factor, dates, ids, name=None):
    """Says when a pandas table or series given as a constant has the evaluation's shape but other
    labels: it is matched to the dates and ids by position, so its values land on other dates or
    instruments than its labels say."""
    for constant in _labelled_constants(factor):
        index, columns = constant._labels
        differ = []
        if columns is None:     # a Series: one value per instrument, along the columns
            if len(index) == len(ids) and not index.equals(pd.Index(ids)):
                differ.append("its index is not the {} order_book_ids in the order asked".format(len(ids)))
        else:
            if len(index) == len(dates) and not (isinstance(index, pd.DatetimeIndex)
                                                 and index.tz is None and index.normalize().equals(dates)):
                differ.append("its rows are not the {} trading dates from {} to {}".format(
                    len(dates), dates[0].date(), dates[-1].date()))
            if len(columns) == len(ids) and not columns.equals(pd.Index(ids)):
                differ.append("its columns are not the order_book_ids in the order asked")
        if differ:
            warn_user("evaluate: a pandas {} used as a constant{} is matched by position, not by label, and {}; "
                      "reindex it to them first (for a table: table.reindex(index=dates, columns=ids))".format(
                          "Series" if columns is None else "DataFrame",
                          "" if name is None else " in {!r}".format(name), " and ".join(differ)))
            return


def _warn_missing_data(data, leaves, ids, window, first_date):
    """Says when the fetched data hold nothing for an id, or nothing at all, over the window, or
    nothing on the asked dates' first or last dates (from ``first_date``, the window's rows before
    it being history): every table computed from them would be missing there, which looks like
    a result."""
    tables = [v for v in data.values() if isinstance(v, np.ndarray) and v.ndim == 2 and v.dtype.kind == "f"
              and v.shape == (len(window), len(ids))]
    if not tables:
        return
    span = "from {} to {}".format(window[0].date(), window[-1].date())
    # One pass over the first table; the others are read only in the columns (dates) still empty.
    missing = np.isnan(tables[0])
    empty, empty_dates = missing.all(axis=0), missing.all(axis=1)
    del missing
    for values in tables[1:]:
        if not empty.any() and not empty_dates.any():
            break
        candidates = np.flatnonzero(empty)
        empty[candidates] = np.isnan(values[:, candidates]).all(axis=0)
        candidates = np.flatnonzero(empty_dates)
        empty_dates[candidates] = np.isnan(values[candidates]).all(axis=1)
    _warn_empty_ends(empty_dates, window, first_date)
    if not empty.any():
        return
    try:
        instruments = _market.all_instruments().set_index("order_book_id")
    except Exception:  # noqa: BLE001 - no store to ask (leaves of the user's own)
        instruments = None
    if empty.all():
        # Ids the store knows but that were not listed over the window (listed later, delisted
        # before) are ordinary; otherwise the window or the ids miss the data.
        if instruments is not None and _all_unlisted(instruments, ids, window):
            return
        names = ", ".join(sorted(str(leaf) for key, leaf in leaves.items() if key in data)[:4])
        warn_user("evaluate: the data ({}) hold no value for any of the {} order_book_ids {}: every table is "
                  "missing; check the dates and ids against the store's data".format(names, len(ids), span))
        return
    if instruments is None:
        return
    unknown = [i for i, e in zip(ids, empty) if e and i not in instruments.index]
    if unknown:
        warn_user("evaluate: {} of the {} order_book_ids are not in the store, and their columns are missing: {}"
                  "{}".format(len(unknown), len(ids), ", ".join(unknown[:10]), ", ..." if len(unknown) > 10 else ""))


def _warn_empty_ends(empty_dates, window, first_date):
    """Says which of the asked dates (``first_date`` on) open or close the window without any
    value and lie outside the store's prices: asked past its last price, or before its first.
    Inside them, empty dates are ordinary (instruments not listed yet or delisted, a leaf of the
    user's own without the last rows)."""
    asked = np.flatnonzero(window >= first_date)
    if not len(asked) or empty_dates[asked].all():
        return      # nothing at all: said with the ids, or an ordinary unlisted span
    after = len(window) - np.argmin(empty_dates[::-1])    # the rows from `after` on are empty
    before = np.argmin(empty_dates)                      # the rows before `before` are empty
    if after == len(window) and before <= asked[0]:
        return
    span = _market.price_span()
    if span is None:
        return
    runs = []
    late = window[after:][window[after:] > span[1]]
    if len(late):
        runs.append("the last {} of the asked trading dates ({} to {}), after the store's last price on {}".format(
            len(late), late[0].date(), late[-1].date(), span[1].date()))
    early = window[asked[0]:before][window[asked[0]:before] < span[0]]
    if len(early):
        runs.append("the first {} of the asked trading dates ({} to {}), before the store's first price on "
                    "{}".format(len(early), early[0].date(), early[-1].date(), span[0].date()))
    if runs:
        warn_user("evaluate: the data hold no value on {}: every table is missing there".format(" and on ".join(runs)))


def _all_unlisted(instruments, ids, window):
    """Whether every id is an instrument of the store that was not listed over the window."""
    if not set(ids) <= set(instruments.index) or "listed_date" not in instruments.columns:
        return False
    rows = instruments.loc[list(ids)]
    listed = pd.to_datetime(rows["listed_date"], errors="coerce")
    gone = (pd.to_datetime(rows["de_listed_date"], errors="coerce") if "de_listed_date" in rows.columns
            else pd.Series(pd.NaT, index=rows.index))
    return bool(((listed > window[-1]) | (gone <= window[0])).all())


def _order_book_ids(order_book_ids):
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    if isinstance(order_book_ids, (set, frozenset)):
        raise ValueError("order_book_ids: expect a list of ids, got a set, which has no order for the columns; "
                         "pass sorted(ids)")
    if isinstance(order_book_ids, (pd.Index, pd.Series, np.ndarray)):
        order_book_ids = order_book_ids.tolist()
    try:
        ids = list(order_book_ids)
    except TypeError:
        raise ValueError("order_book_ids: expect an order_book_id or a list of them, got {!r}".format(
            order_book_ids)) from None
    if not ids:
        raise ValueError("order_book_ids: expect at least one order_book_id, got none")
    for i in ids:
        if not isinstance(i, str):
            raise ValueError("order_book_ids: expect order_book_id strings, got {!r}".format(i))
    repeated = sorted(set(pd.Index(ids)[pd.Index(ids).duplicated()]))
    if repeated:
        raise ValueError("order_book_ids: expect distinct ids, got {} more than once".format(repeated))
    return ids


@contextlib.contextmanager
def _read_together(leaves, ids, start_date, end_date):
    """A context for fetching ``leaves``: those sharing a ``read_together`` function (of leaves,
    order_book_ids, start and end, giving a context in which their fetches answer from one
    read) are read in one go. If that read fails, each leaf is fetched, and fails, on its own."""
    shared = {}
    for leaf in leaves:
        together = getattr(leaf, "read_together", None)
        if callable(together):
            shared.setdefault(together, []).append(leaf)
    with contextlib.ExitStack() as stack:
        for together, group in shared.items():
            if len(group) > 1:
                try:
                    stack.enter_context(together(group, list(ids), start_date, end_date))
                except Exception:  # noqa: BLE001 - the leaves' own fetches report it
                    pass
        yield


def _leaf_values(leaf, ids, start_date, end_date, window):
    """The leaf's table over the window as a float array, columns in the order of ``ids``."""
    execute = getattr(leaf, "execute", None)
    if not callable(execute):
        raise ValueError("evaluate: leaf {!r} cannot produce data: expect a leaf with an "
                         "execute(order_book_ids, start_date, end_date) method".format(leaf))
    span = "the {} trading dates from {} to {}".format(
        len(window), window[0].date(), window[-1].date())
    try:
        table = execute(list(ids), start_date, end_date)
    except InvalidUserFactor as err:
        raise InvalidUserFactor("leaf {!r}: {}".format(leaf, err)) from err
    # The checks below also hold leaves whose execute does not validate its result.
    if not isinstance(table, pd.DataFrame):
        raise InvalidUserFactor("leaf {!r} returned {}, expect a pandas.DataFrame".format(
            leaf, type(table)))
    if len(table.index) != len(window):
        raise InvalidUserFactor("leaf {!r} returned {} rows, expect {}".format(
            leaf, len(table.index), span))
    if not _same_dates(table.index, window):
        raise InvalidUserFactor("leaf {!r} returned rows that are not {}".format(leaf, span))
    if table.columns.has_duplicates:
        raise InvalidUserFactor("leaf {!r} returned repeated columns {}".format(
            leaf, sorted(set(table.columns[table.columns.duplicated()].tolist()))))
    missing = [i for i in ids if i not in table.columns]
    if missing:
        raise InvalidUserFactor("leaf {!r} returned no column for {}".format(leaf, missing))
    try:
        # Row-major, as the kernels' results: arithmetic mixing the two layouts would walk one
        # of them strided, on every node that reads the leaf.
        return np.ascontiguousarray(table[ids].to_numpy(dtype=np.float64))
    except (TypeError, ValueError) as err:
        raise InvalidUserFactor("leaf {!r} returned values that are not numbers: {}".format(
            leaf, err)) from err


def _same_dates(index, window):
    if not isinstance(index, pd.DatetimeIndex) or index.tz is not None:
        return False
    return bool(np.all(index == window))


def _is_call(expr):
    return (isinstance(expr, tuple) and len(expr) == 2 and callable(expr[0])
            and isinstance(expr[1], tuple))


class _Failure:
    """A value that could not be computed; the nodes that use it fail with the same error."""

    __slots__ = ("error",)

    def __init__(self, error):
        self.error = error


def _constant_key(value):
    if isinstance(value, (float, np.floating)):
        return type(value), repr(value)   # keeps -0.0 apart from 0.0
    try:
        hash(value)
    except TypeError:
        return "id", id(value)
    return type(value), value


class _Graph:
    """Expression trees merged into one graph of distinct nodes, in an order where every node
    comes after its arguments."""

    def __init__(self, exprs):
        self.kinds, self.payloads, self.args, self.exprs = [], [], [], []
        self._index = {}
        self.roots = [self._visit(expr) for expr in exprs]
        del self._index     # the keys of the distinct nodes serve the building only
        self._reorder(_root_schedule(self.args, self.kinds, self.roots))

    def _reorder(self, roots):
        """Renumbers the nodes in the order they are computed: each root of ``roots`` in turn,
        after the nodes it reads that came before (the order of a single expression is the
        order it was visited in)."""
        order, placed = [], [False] * len(self.kinds)
        for root in roots:
            stack = [(root, False)]
            while stack:
                node, ready = stack.pop()
                if placed[node]:
                    continue
                if ready:
                    placed[node] = True
                    order.append(node)
                    continue
                stack.append((node, True))
                stack.extend((ref, False) for ref in reversed(self.args[node]))
        new = {old: k for k, old in enumerate(order)}
        self.kinds = [self.kinds[old] for old in order]
        self.payloads = [self.payloads[old] for old in order]
        self.exprs = [self.exprs[old] for old in order]
        self.args = [tuple(new[ref] for ref in self.args[old]) for old in order]
        self.roots = [new[root] for root in self.roots]

    def _add(self, key, kind, payload, args, expr):
        at = self._index.get(key)
        if at is None:
            at = len(self.kinds)
            self._index[key] = at
            self.kinds.append(kind)
            self.payloads.append(payload)
            self.args.append(args)
            self.exprs.append(expr)
        return at

    def _visit(self, expr):
        if isinstance(expr, LeafFactor):
            return self._add(("leaf", id(expr)), "leaf", expr, (), expr)
        if _is_call(expr):
            func, args = expr
            refs = tuple(self._visit(arg) for arg in args)
            try:
                hash(func)
                func_key = func
            except TypeError:
                func_key = id(func)
            return self._add(("call", func_key, refs), "call", func, refs, expr)
        # a constant, or a plain argument such as a shift's row count
        return self._add(("value",) + _constant_key(expr), "value", expr, (), expr)

    def run(self, data, pool=None, consume=False, cuts=None):
        """Computes the nodes in order and yields (root position, value, last) as each root is
        ready, ``last`` when no later node or root position reads that value; a value is
        dropped once its last user has run. With a ``_Pool``, the nodes
        that can write into a given array take their outputs from it. ``consume``: each leaf's
        table is taken out of ``data`` as it is read, so that its readers alone hold it.
        ``cuts``: for each root position, leading rows of its value that the caller does not
        want; the nodes are computed without them where they can be (see ``_plan_cuts``), and
        ``self.dropped[node]`` tells how many of them a node's value went without."""
        self.dropped = self._plan_cuts(cuts)
        uses = [0] * len(self.kinds)
        for refs in self.args:
            for ref in refs:
                uses[ref] += 1
        roots_at = {}
        for position, node in enumerate(self.roots):
            roots_at.setdefault(node, []).append(position)
        values = [None] * len(self.kinds)
        # Chains are computed in one pass into pooled tables only.
        groups = _Groups() if pool is None else _element_wise_groups(self, uses, roots_at)
        for node, kind in enumerate(self.kinds):
            if kind == "value":
                values[node] = self.payloads[node]
            elif kind == "leaf":
                leaf = self.payloads[node]
                if id(leaf) not in data:
                    values[node] = _Failure(FactorEvaluationError(
                        "leaf {!r} appears in the expression but not in its dependencies".format(leaf)))
                else:
                    values[node] = data.pop(id(leaf)) if consume else data[id(leaf)]
            elif node in groups.inner:
                continue    # computed with the rest of its group, at the group's last node
            else:
                group = groups.last.get(node)
                if group is None:
                    values[node] = self._call(node, [self._operand(values, node, ref)
                                                     for ref in self.args[node]], pool)
                    read = self.args[node]
                else:
                    values[node] = self._run_group(group, values, pool)
                    read = group.reads
                for ref in read:
                    uses[ref] -= 1
                    if uses[ref] == 0 and ref not in roots_at:
                        values[ref] = None
                if pool is not None:
                    pool.collect()
            positions = roots_at.get(node, ())
            for k, position in enumerate(positions):
                # The last yield of a value no later node reads: the caller may keep it as is.
                last = k == len(positions) - 1 and uses[node] == 0
                yield position, values[node], last
            if node in roots_at and uses[node] == 0:
                values[node] = None

    def _run_group(self, group, values, pool):
        """The value of a group's last node, its nodes computed together by row chunks (see
        ``_element_wise_groups``), or one by one as ``_call`` does when its operands are not all
        float64 tables and floats, or when a node fails (so that the error names it)."""
        last = group.nodes[-1]
        operands = [self._operand(values, last, ref) for ref in group.operands]
        shape = _table_shape(operands)
        if shape is not None:
            try:
                with np.errstate(all="ignore"):
                    return _blocks.fused(group.steps, pool.take(shape), *operands)
            except Exception:  # noqa: BLE001 - computed again node by node, for the error
                pass
        computed = {}
        for node in group.nodes:
            computed[node] = self._call(node, [computed[r] if r in computed else self._operand(values, node, r)
                                               for r in self.args[node]], pool)
        return computed[last]

    def _plan_cuts(self, cuts):
        """The leading rows each node's value goes without: a row-wise node (see ``_row_wise``)
        drops the rows that none of its readers wants, the least any of them drops (a root, what
        its ``cuts`` entry asks), and reads its operands without them. Every other node, leaf
        and constant keeps all its rows, and so do the nodes it reads."""
        dropped = [0] * len(self.kinds)
        if not cuts:
            return dropped
        row_wise = [False] * len(self.kinds)
        for node, kind in enumerate(self.kinds):
            row_wise[node] = kind == "call" and self._row_wise(node, row_wise)
        wanted = [None] * len(self.kinds)
        for position, node in enumerate(self.roots):
            k = max(0, int(cuts[position]))
            wanted[node] = k if wanted[node] is None else min(wanted[node], k)
        for node in reversed(range(len(self.kinds))):
            k = (wanted[node] or 0) if row_wise[node] else 0
            dropped[node] = k
            for ref in self.args[node]:
                wanted[ref] = k if wanted[ref] is None else min(wanted[ref], k)
        return dropped

    def _row_wise(self, node, row_wise):
        """Whether a call node may be computed without leading rows of its operands: its function
        is element-wise, a shift or a lag, or marked ``_row_wise`` (a result row depends on the
        operands' rows up to the same row from the end), the nodes it reads are leaves, constants
        other than tables, or such nodes themselves (whose tables lose rows the same way)."""
        func = self.payloads[node]
        known = (isinstance(func, np.ufunc) or func is ShiftedFactor._shift or func is _lag
                 or getattr(func, "_row_wise", False) is True)
        if not known:
            return False
        for ref in self.args[node]:
            kind = self.kinds[ref]
            if kind == "value" and getattr(self.payloads[ref], "ndim", 0) >= 2:
                return False    # a constant table keeps all its rows
            if kind == "call" and not row_wise[ref]:
                return False
        return True

    def _operand(self, values, node, ref):
        """The value of ``ref`` as ``node`` reads it: without the leading rows ``node`` drops
        beyond those ``ref`` dropped already."""
        value = values[ref]
        k = self.dropped[node] - self.dropped[ref]
        if k <= 0 or self.kinds[ref] == "value":
            return value
        shape = getattr(value, "shape", None)
        if isinstance(shape, tuple) and len(shape) == 2 and shape[0] > k:
            return value[k:]
        return value    # a row that broadcasts, a constant, a failure

    def _call(self, node, args, pool=None):
        failed = next((a for a in args if isinstance(a, _Failure)), None)
        if failed is not None:
            return failed
        func = self.payloads[node]
        try:
            # Division by zero, log of 0 and the like give inf or NaN values, as documented:
            # no floating-point warnings per node.
            with np.errstate(all="ignore"):
                condition = _is_condition(func)
                shape = None if pool is None else _pooled_shape(func, args, condition)
                work = None if shape is None else _chunk_work(func, len(args))
                if work is not None:
                    out = _blocks.run(work, pool.take(shape), *args)
                elif pool is not None and getattr(func, "_takes_alloc", False):
                    out = func(*args, alloc=pool.take)
                else:
                    out = func(*args)
                    if condition:
                        out = _missing_as_nan(out, args)
        except Exception as err:  # noqa: BLE001 - reported with the node's text
            error = FactorEvaluationError("{} failed on arguments of shape {}: {}".format(
                _text(self.exprs[node]), ", ".join(_shape(v) for v in args), err))
            error.__cause__ = err
            return _Failure(error)
        return out


# Element-wise ufuncs whose float64 result the graph writes into a pooled table, by row blocks
# (see _blocks). NumPy picks a ufunc's loop from the operands' dtypes, strides and overlap with
# the output, and a band of rows of a C-contiguous table has the table's strides; its loops
# compute every cell on its own (a vector loop's last, partial vector included), so the bits
# do not depend on where a chunk starts, for the correctly rounded functions and the others
# (power, log, exp) alike.
_POOLED_UFUNCS = frozenset([np.add, np.subtract, np.multiply, np.true_divide, np.power, np.absolute,
                            np.negative, np.floor_divide, np.mod, np.maximum, np.minimum, np.fmax,
                            np.fmin, np.sqrt, np.log, np.exp, np.sign])


def _root_schedule(args, kinds, roots, window=64):
    """The order to compute the roots in, so that fewer tables are held at once: next, among the
    first ``window`` roots left (in the given order), the one after which the fewest computed
    tables are still wanted by roots left, preferring one that reads more of those. Tables that
    several expressions share (a rank of the closes, a mean volume) are then computed for
    expressions that run close together, not held from the first to the last of them."""
    distinct = list(dict.fromkeys(roots))
    if len(distinct) < 3:
        return distinct
    reads = {}
    for root in distinct:
        seen, stack = set(), [root]
        while stack:
            node = stack.pop()
            if node not in seen:
                seen.add(node)
                stack.extend(args[node])
        reads[root] = frozenset(node for node in seen if kinds[node] == "call")
    readers = {}
    for root in distinct:
        for node in reads[root]:
            readers[node] = readers.get(node, 0) + 1
    order, left, computed, held = [], list(distinct), set(), set()
    while left:
        best = None
        for k, root in enumerate(left[:window]):
            # Tables held after this root (computed by now and read by a root still left): those
            # held now, less the ones only this root still reads, plus the ones it computes that
            # others read too.
            change = shared = 0
            for node in reads[root]:
                if node in held:
                    shared += 1
                    change -= readers[node] == 1
                elif node not in computed:
                    change += readers[node] > 1
            score = (len(held) + change, -shared, k)
            if best is None or score < best[0]:
                best = (score, k)
        root = left.pop(best[1])
        order.append(root)
        computed |= reads[root]
        for node in reads[root]:
            readers[node] -= 1
        held = {node for node in held | reads[root] if readers[node] > 0}
    return order


class _Group:
    """Element-wise nodes computed together: ``nodes`` in graph order, the last one the group's
    value; ``operands`` the other nodes they read (each once); ``reads`` every reference the
    group's nodes make to those, as many times as made; ``steps`` for ``_blocks.fused``."""

    __slots__ = ("nodes", "operands", "reads", "steps")


class _Groups:
    __slots__ = ("inner", "last")

    def __init__(self):
        self.inner, self.last = set(), {}


def _chunk_work(func, n_args):
    """The chunk function of an element-wise node (see ``_blocks``), or None."""
    try:
        if func in _POOLED_UFUNCS and n_args == func.nin:
            return _blocks.ufunc_work(func)
        if _is_condition(func) and n_args == func.nin:
            return _blocks.condition_work(func)
    except TypeError:   # an unhashable callable
        return None
    work = getattr(func, "_chunk_work", None)
    return work if work is not None and n_args == getattr(func, "_chunk_args", -1) else None


def _element_wise_groups(graph, uses, roots_at):
    """Chains of element-wise nodes to compute in one pass: a node whose only reader is another
    element-wise node, and which no name asks for, is computed chunk by chunk together with its
    reader, so that its table is never written out whole. Every cell goes through the same
    NumPy loops as node by node: the bits do not change."""
    groups = _Groups()
    works = {}
    for node, kind in enumerate(graph.kinds):
        if kind == "call":
            work = _chunk_work(graph.payloads[node], len(graph.args[node]))
            if work is not None:
                works[node] = work
    reader = {}
    for node, refs in enumerate(graph.args):
        for ref in refs:
            reader[ref] = node
    for node in works:
        if uses[node] == 1 and node not in roots_at and reader.get(node) in works:
            groups.inner.add(node)
    for node in works:
        if node in groups.inner or not any(ref in groups.inner for ref in graph.args[node]):
            continue
        members, stack = [], [node]
        while stack:
            n = stack.pop()
            members.append(n)
            stack.extend(ref for ref in graph.args[n] if ref in groups.inner)
        group = _Group()
        group.nodes = sorted(members)
        inside = set(group.nodes)
        group.reads = [ref for n in group.nodes for ref in graph.args[n] if ref not in inside]
        group.operands = list(dict.fromkeys(group.reads))
        slot = {ref: i for i, ref in enumerate(group.operands)}
        step = {n: j for j, n in enumerate(group.nodes)}
        group.steps = [(works[n], [("step", step[r]) if r in inside else ("operand", slot[r])
                                   for r in graph.args[n]]) for n in group.nodes]
        groups.last[node] = group
    return groups


def _table_shape(values, condition=False):
    """The 2-D shape the values broadcast to when they are float64 tables and Python floats (a
    ``condition`` also takes bool tables and Python ints and bools), else None."""
    shapes = []
    for a in values:
        if isinstance(a, np.ndarray):
            if not (a.dtype == np.float64 or (condition and a.dtype == np.bool_)):
                return None
            shapes.append(a.shape)
        elif not (type(a) is float or (condition and type(a) in (int, bool))):
            return None
    if not shapes:
        return None
    try:
        shape = np.broadcast_shapes(*shapes)
    except ValueError:
        return None     # the node raises its own error
    return shape if len(shape) == 2 else None


def _pooled_shape(func, args, condition=False):
    """The shape of ``func(*args)`` when the graph can give it a pooled output, else None: a
    float ufunc above of float64 tables and Python floats, or a ``condition`` of float64 or
    bool tables and Python numbers, whose result is a 2-D table."""
    if not condition:
        try:
            if func not in _POOLED_UFUNCS:
                return None
        except TypeError:   # an unhashable callable
            return None
    if not isinstance(func, np.ufunc) or len(args) != func.nin:
        return None     # a further positional argument would be the ufunc's `out`
    return _table_shape(args, condition)


def _missing_as_nan(out, values):
    out = np.asarray(out, dtype=np.float64)
    missing = np.zeros(out.shape, dtype=bool)
    for v in values:
        v = np.asarray(v)
        if v.dtype.kind in "fc":
            missing = missing | np.isnan(v)
    if missing.any():
        out = np.where(missing, np.nan, out)
    return out


def _label(result, factor, dates, ids, start_date, end_date, extra=0, owned=False):
    """The result as a table of the requested dates; ``extra`` leading rows were computed
    only because another expression of the same call needed the longer history. ``owned``:
    ``result`` is a float64 array nothing else refers to, which the table may keep as it is."""
    if isinstance(result, (pd.DataFrame, pd.Series)):
        result = result.values
    if extra and np.ndim(result) == 2 and np.shape(result)[0] == len(dates) + extra:
        result = np.asarray(result)[extra:]
    try:
        # Else a copy: the table owns its data, never a leaf's, a constant's or a pooled array.
        # Row-major as the kernels write (a column-major copy is a transpose, several times
        # slower), and as the analysis steps read their tables.
        values = result if owned else np.array(result, dtype=np.float64, order="C")
    except (TypeError, ValueError) as err:
        raise FactorEvaluationError("{!r} produced values that are not numbers: {}".format(
            factor, err)) from err
    expected = (len(dates), len(ids))
    if values.ndim == 0:
        values = np.full(expected, float(values))
    elif values.shape != expected:
        raise FactorEvaluationError(
            "{!r} produced values of shape {}, expect {}: {} trading dates from {} to {} and {} "
            "order_book_ids (shift {})".format(factor, values.shape, expected, len(dates),
                                               start_date, end_date, len(ids), factor.shift))
    # copy=False: `values` is already this table's own (pandas would otherwise copy it again).
    return pd.DataFrame(values, index=pd.DatetimeIndex(dates, name="datetime"),
                        columns=pd.Index(ids, name="order_book_id", dtype=object), copy=False)


def _text(expr):
    """A readable text of an expression for error messages."""
    if isinstance(expr, LeafFactor):
        return repr(expr)
    if _is_call(expr):
        func, args = expr
        name = next((n for f, n in _FUNC_NAMES if f is func), None)
        name = name or getattr(func, "__name__", None) or repr(func)
        return "{}({})".format(name, ", ".join(_text(a) for a in args))
    if isinstance(expr, np.ndarray):
        return "array{}".format(expr.shape)
    return repr(expr)


def _shape(value):
    try:
        return str(np.shape(value)) if np.ndim(value) else repr(value)
    except ValueError:  # a ragged sequence has no shape
        return "a ragged {}".format(type(value).__name__)
