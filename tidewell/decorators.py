"""``ttl_cache``: cache a function's results by its arguments for a time to live.

>>> @ttl_cache(10800)
... def load(source="citics_2019"): ...

* The key is the call's arguments bound to the function's signature with defaults applied, so
  ``load()``, ``load("citics_2019")`` and ``load(source="citics_2019")`` share one entry.
  Unhashable arguments (lists, dicts, sets, DataFrames...) are turned into hashable stand-ins
  where possible (lists/tuples/sets/dicts by content); a call whose arguments cannot be keyed is
  simply not cached.
* An entry is served for ``ttl`` seconds after it was stored, measured with ``clock`` (default
  ``time.monotonic``; tests inject their own).  Expired entries are dropped when met.
* Thread safe: one lock per wrapped function guards the store, and concurrent first calls with
  the same key compute the value once (the others wait for it).
* ``wrapper.cache_clear()`` empties the cache; ``wrapper.cache_info()`` reports hits, misses and
  size.  ``clear_all_caches()`` empties every ttl cache in the process; ``tidewell.init`` calls it
  when the store changes, because cached results belong to the store they came from.
* Exceptions are not cached.
"""

from __future__ import annotations

import functools
import inspect
import threading
import time
import weakref
from collections import namedtuple

__all__ = ["ttl_cache", "clear_all_caches", "CacheInfo"]

CacheInfo = namedtuple("CacheInfo", ["hits", "misses", "currsize", "ttl"])

_REGISTRY: "weakref.WeakSet" = weakref.WeakSet()
_REGISTRY_LOCK = threading.Lock()


class _Unkeyable(Exception):
    pass


def _freeze(value):
    try:
        hash(value)
        if isinstance(value, tuple):
            return ("t",) + tuple(_freeze(v) for v in value)
        return value
    except TypeError:
        pass
    if isinstance(value, (list, tuple)):
        return ("l",) + tuple(_freeze(v) for v in value)
    if isinstance(value, (set, frozenset)):
        return ("s", frozenset(_freeze(v) for v in value))
    if isinstance(value, dict):
        return ("d",) + tuple(sorted(((_freeze(k), _freeze(v)) for k, v in value.items()), key=repr))
    tolist = getattr(value, "tolist", None)  # numpy arrays, pandas Index
    if callable(tolist) and not hasattr(value, "columns"):
        return ("a", type(value).__name__) + tuple(_freeze(v) for v in tolist())
    raise _Unkeyable


class _Wrapper:
    def __init__(self, func, ttl, clock, maxsize):
        self.__wrapped__ = func
        self.ttl = float(ttl)
        self.clock = clock if clock is not None else time.monotonic
        self.maxsize = maxsize
        self._lock = threading.RLock()
        self._data = {}        # key -> (stored_at, value)
        self._pending = {}     # key -> threading.Event
        self._hits = 0
        self._misses = 0
        try:
            self._sig = inspect.signature(func)
        except (TypeError, ValueError):  # builtins without a signature
            self._sig = None
        functools.update_wrapper(self, func)

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        return functools.partial(self, obj)

    def _key(self, args, kwargs):
        if self._sig is not None:
            try:
                bound = self._sig.bind(*args, **kwargs)
            except TypeError:
                raise _Unkeyable from None  # let the call itself raise its TypeError
            bound.apply_defaults()
            items = tuple(bound.arguments.items())
        else:
            items = (args, tuple(sorted(kwargs.items())))
        return _freeze(items)

    def __call__(self, *args, **kwargs):
        try:
            key = self._key(args, kwargs)
            hash(key)
        except (_Unkeyable, TypeError):
            return self.__wrapped__(*args, **kwargs)
        while True:
            with self._lock:
                now = self.clock()
                entry = self._data.get(key)
                if entry is not None:
                    if now - entry[0] < self.ttl:
                        self._hits += 1
                        return entry[1]
                    del self._data[key]
                event = self._pending.get(key)
                if event is None:
                    event = threading.Event()
                    self._pending[key] = event
                    self._misses += 1
                    break
            event.wait()  # another thread computes this key; then look again
        try:
            value = self.__wrapped__(*args, **kwargs)
            with self._lock:
                if self.maxsize is not None and len(self._data) >= self.maxsize:
                    oldest = min(self._data, key=lambda k: self._data[k][0])
                    del self._data[oldest]
                self._data[key] = (self.clock(), value)
            return value
        finally:
            with self._lock:
                self._pending.pop(key, None)
            event.set()

    def cache_clear(self) -> None:
        with self._lock:
            self._data.clear()
            self._hits = self._misses = 0

    def cache_info(self) -> CacheInfo:
        with self._lock:
            return CacheInfo(self._hits, self._misses, len(self._data), self.ttl)


def ttl_cache(ttl, clock=None, maxsize=None):
    """Decorator factory: cache results by arguments for ``ttl`` seconds.

    ``clock`` is a callable returning seconds (default ``time.monotonic``); ``maxsize`` bounds the
    number of entries (None: unbounded; the oldest entry is evicted first).
    """
    if callable(ttl) and not isinstance(ttl, (int, float)):
        raise TypeError("ttl_cache: expect ttl in seconds, e.g. @ttl_cache(10800), got a function")
    if isinstance(ttl, bool) or not isinstance(ttl, (int, float)) or ttl < 0:
        raise ValueError("ttl: expect a non-negative number of seconds, got {!r}".format(ttl))

    def decorate(func):
        wrapper = _Wrapper(func, ttl, clock, maxsize)
        with _REGISTRY_LOCK:
            _REGISTRY.add(wrapper)
        return wrapper

    return decorate


def clear_all_caches() -> None:
    """Empty every ``ttl_cache`` of the process."""
    with _REGISTRY_LOCK:
        wrappers = list(_REGISTRY)
    for w in wrappers:
        w.cache_clear()
