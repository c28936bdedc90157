"""Fixtures for the tidewell tests: real DuckDB stores built in temporary directories."""

import hashlib
import os

import duckdb
import pandas as pd
import pytest

import tidewell
from tidewell.demo import build_demo


@pytest.fixture(scope="session")
def tw_small_path(tmp_path_factory):
    """40 stocks over 2023-2024 (built once per session, about a second)."""
    path = str(tmp_path_factory.mktemp("tidewell") / "small.duckdb")
    build_demo(path, size="small")
    return path


@pytest.fixture(scope="session")
def tw_medium_path(tmp_path_factory):
    """400 stocks over 2021-2024, enough cross-section to measure the planted signal's IC."""
    path = str(tmp_path_factory.mktemp("tidewell") / "medium.duckdb")
    build_demo(path, n_stocks=400, start="2021-01-04", end="2024-12-31")
    return path


@pytest.fixture
def tw_small(tw_small_path):
    """Select the small store for the duration of a test, then restore the previous one."""
    with tidewell.using(tw_small_path):
        yield tw_small_path


@pytest.fixture(autouse=True)
def _no_default_store(tmp_path, monkeypatch):
    """Never let a test build or read the user's real default store."""
    monkeypatch.setenv("TIDEWELL_HOME", str(tmp_path / "tidewell-home"))
    yield


@pytest.fixture
def repo_env():
    """A function giving the environment for a subprocess that imports the installed tidewell."""
    def make(home):
        env = dict(os.environ)
        env["TIDEWELL_HOME"] = str(home)
        return env
    return make


def _digest(path):
    con = duckdb.connect(path, read_only=True)
    h = hashlib.sha256()
    try:
        for t in tidewell.schema.TABLE_ORDER:
            if t == "metadata":
                continue
            key = ", ".join(tidewell.schema.TABLES[t].key)
            df = con.execute("SELECT * FROM {} ORDER BY {}".format(t, key)).df()
            h.update(t.encode())
            h.update(str(len(df)).encode())
            h.update(pd.util.hash_pandas_object(df, index=False).values.tobytes())
    finally:
        con.close()
    return h.hexdigest()


@pytest.fixture
def digest():
    """A function giving a content hash of every table of a store (closed again afterwards)."""
    def run(path):
        tidewell.store.close(path)
        return _digest(path)
    return run
