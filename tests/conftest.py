"""Shared fixtures, and the rule that the tests exercise the installed package.

The checkout is on the path only for the tests' own helpers (``tests.fakes``,
``tests.reference_*``): it goes after the installed packages, so ``import sigmora`` finds the
package that ``make install`` (or a wheel) put into the environment, never the source tree.
SIGMORA_EXPECT_PACKAGE, when set, names the folder the package under test must come from.
"""

import contextlib
import os
import pathlib
import sys

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent


def _is_checkout(entry):
    try:
        return pathlib.Path(entry or os.getcwd()).resolve() == CHECKOUT
    except OSError:
        return False


def _checkout_last():
    """Moves the checkout behind every other entry of sys.path (``python -m pytest`` puts the
    working directory first)."""
    entries = [p for p in sys.path if _is_checkout(p)]
    if entries:
        sys.path[:] = [p for p in sys.path if not _is_checkout(p)] + [str(CHECKOUT)]


def _package_under_test():
    loaded = sys.modules.get("sigmora")
    if loaded is not None and pathlib.Path(loaded.__file__).resolve().parent == CHECKOUT / "sigmora":
        raise pytest.UsageError("sigmora was imported from the source tree before the tests started; "
                                "run the tests with `make test`")
    import sigmora
    where = pathlib.Path(sigmora.__file__).resolve().parent
    if where == CHECKOUT / "sigmora":
        raise pytest.UsageError("sigmora resolves to the source tree {}; the tests exercise the installed "
                                "package: run `make test` (or install it first)".format(where))
    expected = os.environ.get("SIGMORA_EXPECT_PACKAGE")
    if expected and where != pathlib.Path(expected).resolve():
        raise pytest.UsageError("sigmora comes from {}, expected {}".format(where, expected))
    _check_installed_from_here(where)
    return where


SOURCES = ("sigmora", "tidewell", "src", "CMakeLists.txt", "pyproject.toml")


def _check_installed_from_here(where):
    """A package pip installed from a folder must come from this checkout and be newer than
    every source file of it (a wheel's package is taken as it is)."""
    import json
    dist_info = next(iter(sorted(where.parent.glob("sigmora-*.dist-info"))), None)
    try:
        origin = json.loads((dist_info / "direct_url.json").read_text())
    except (TypeError, OSError, ValueError):
        return
    if "dir_info" not in origin or not origin.get("url", "").startswith("file://"):
        return
    source = pathlib.Path(origin["url"][len("file://"):]).resolve()
    if source != CHECKOUT:
        raise pytest.UsageError("the sigmora under test ({}) was installed from {}, not from this checkout {}: "
                                "run `make test` here".format(where, source, CHECKOUT))
    installed = dist_info.stat().st_mtime
    for name in SOURCES:
        for path in [CHECKOUT / name] + list((CHECKOUT / name).rglob("*")):
            if "__pycache__" not in path.parts and path.is_file() and path.stat().st_mtime > installed:
                raise pytest.UsageError("the installed sigmora ({}) is older than {}: run `make test` (or "
                                        "`make install`) first".format(where, path.relative_to(CHECKOUT)))


_checkout_last()
PACKAGE_UNDER_TEST = _package_under_test()
# Interpreters the tests start (``python -c``, ``python -m``) leave the working directory off
# the path too.
os.environ["PYTHONSAFEPATH"] = "1"


def pytest_report_header(config):
    return "sigmora under test: {}".format(PACKAGE_UNDER_TEST)

import tidewell  # noqa: E402 - once the path is settled


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


@pytest.fixture
def keep_store_selection():
    """A command selects a store for the process; puts the previous selection back."""
    previous = tidewell.init(None)
    tidewell.init(previous)
    yield
    tidewell.init(previous)
