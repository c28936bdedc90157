import threading
import time

import pandas as pd
import pytest

import tidewell
from tidewell.decorators import clear_all_caches, ttl_cache


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


def test_caches_by_arguments_until_expiry():
    clock = Clock()
    calls = []

    @ttl_cache(10800, clock=clock)
    def load(source="citics_2019"):
        calls.append(source)
        return pd.DataFrame({"source": [source]})

    a = load("sws")
    assert load("sws") is a
    assert load(source="sws") is a          # positional and keyword are one key
    load()
    assert load("citics_2019") is load()   # defaults are part of the key
    assert calls == ["sws", "citics_2019"]
    clock.now += 10799
    assert load("sws") is a
    clock.now += 2
    b = load("sws")
    assert b is not a
    assert calls == ["sws", "citics_2019", "sws"]


def test_positional_ttl_as_the_spec_calls_it():
    deco = ttl_cache(10800)
    assert callable(deco)


def test_cache_clear_and_info():
    n = []

    @ttl_cache(60)
    def f(x):
        n.append(x)
        return x * 2

    f(1), f(1), f(2)
    info = f.cache_info()
    assert (info.hits, info.misses, info.currsize) == (1, 2, 2)
    f.cache_clear()
    f(1)
    assert n == [1, 2, 1]
    assert f.__name__ == "f"


def test_unhashable_arguments_are_keyed_by_content():
    n = []

    @ttl_cache(60)
    def f(ids, opts=None):
        n.append(1)
        return len(ids)

    f(["a", "b"], opts={"x": [1]})
    f(["a", "b"], opts={"x": [1]})
    f(["a", "c"], opts={"x": [1]})
    assert len(n) == 2


def test_uncacheable_arguments_are_passed_through():
    n = []

    class Weird:
        __hash__ = None

    @ttl_cache(60)
    def f(x):
        n.append(1)
        return 1

    f(Weird()), f(Weird())
    assert len(n) == 2


def test_exceptions_are_not_cached():
    n = []

    @ttl_cache(60)
    def f(x):
        n.append(x)
        if len(n) == 1:
            raise RuntimeError("first call fails")
        return x

    with pytest.raises(RuntimeError):
        f(1)
    assert f(1) == 1
    assert n == [1, 1]


def test_wrong_arguments_raise_the_functions_error():
    @ttl_cache(60)
    def f(x):
        return x

    with pytest.raises(TypeError):
        f(1, 2)


def test_thread_safety_computes_once():
    n = []
    gate = threading.Event()

    @ttl_cache(60)
    def slow(x):
        n.append(x)
        gate.wait(2)
        return object()

    results = []
    threads = [threading.Thread(target=lambda: results.append(slow(7))) for _ in range(8)]
    for t in threads:
        t.start()
    time.sleep(0.1)
    gate.set()
    for t in threads:
        t.join()
    assert len(n) == 1
    assert len({id(r) for r in results}) == 1


def test_many_threads_many_keys():
    @ttl_cache(60)
    def sq(x):
        return x * x

    errors = []

    def work(k):
        try:
            for i in range(200):
                assert sq(i % 17 + k) == (i % 17 + k) ** 2
        except Exception as exc:  # pragma: no cover
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_zero_ttl_never_serves():
    n = []

    @ttl_cache(0)
    def f():
        n.append(1)

    f(), f()
    assert len(n) == 2


@pytest.mark.parametrize("ttl", [-1, "3h", None])
def test_bad_ttl(ttl):
    with pytest.raises(ValueError, match="ttl"):
        ttl_cache(ttl)


def test_decorating_without_a_ttl_is_a_clear_error():
    with pytest.raises(TypeError, match="ttl"):
        @ttl_cache
        def f():
            pass


def test_maxsize_evicts_oldest():
    clock = Clock()

    @ttl_cache(60, clock=clock, maxsize=2)
    def f(x):
        return [x]

    a = f(1)
    clock.now += 1
    f(2)
    clock.now += 1
    f(3)
    assert f.cache_info().currsize == 2
    assert f(1) is not a


def test_methods_can_be_cached():
    class A:
        def __init__(self):
            self.n = 0

        @ttl_cache(60)
        def get(self, x):
            self.n += 1
            return x

    a = A()
    a.get(1), a.get(1)
    assert a.n == 1


def test_changing_the_store_clears_every_cache(tw_small_path, tmp_path):
    n = []

    @ttl_cache(10800)
    def industries(source="citics_2019"):
        n.append(source)
        return tidewell.client.get_client().execute("__internal__zx2019_industry")

    with tidewell.using(tw_small_path):
        industries()
        industries()
        assert len(n) == 1
        clear_all_caches()
        industries()
        assert len(n) == 2
        prev = tidewell.init(tw_small_path)   # same store: cache kept
        industries()
        assert len(n) == 2
        assert prev == tw_small_path
    industries.cache_info()  # leaving `using` changed the selection and cleared it
    assert industries.cache_info().currsize == 0
