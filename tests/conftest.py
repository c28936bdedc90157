import contextlib
import os

import pytest

import tidewell


@pytest.fixture(scope="session")
def small_store_path(tmp_path_factory):
    """A small deterministic demo store (30 stocks over 2023), built once per test session."""
    path = str(tmp_path_factory.mktemp("store") / "small.duckdb")
    tidewell.build_demo(path, n_stocks=30, start="2023-01-03", end="2023-12-29")
    return path


@pytest.fixture
def small_store(small_store_path):
    """Selects the small demo store for the duration of a test."""
    with tidewell.using(small_store_path):
        yield small_store_path


@pytest.fixture
def plug_market():
    """plug_market(client) makes `client` answer every market-data read of sigmora until the
    test ends (the industry caches are cleared when the client changes and again after)."""
    from sigmora.analysis import _market

    with contextlib.ExitStack() as stack:
        def plug(client):
            stack.enter_context(_market.use_source(client))
            return client
        yield plug
