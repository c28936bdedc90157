"""The default demo store: where it lives, building it on first use, rebuilding an outdated one.

Without ``tidewell.init(path)`` the calls read ``$TIDEWELL_HOME/demo-<version>.duckdb`` (or
``$XDG_CACHE_HOME/tidewell``, ``~/.cache/tidewell``).  ``ensure_default_store()`` builds it with
``demo.build_demo`` the first time and whenever the cached file was built by another revision of
the generator; concurrent first use from several processes builds it once.
"""

from __future__ import annotations

import contextlib
import os
import sys

from . import store as _store
from ._version import __version__
from .demo import DEMO_REVISION, build_demo

__all__ = ["default_dir", "default_path", "ensure_default_store"]


def _version() -> str:
    return __version__


def default_dir() -> str:
    home = os.environ.get("TIDEWELL_HOME")
    if home:
        return home
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tidewell")


def default_path() -> str:
    return os.path.join(default_dir(), "demo-{}.duckdb".format(_version()))


@contextlib.contextmanager
def _file_lock(path):
    import fcntl
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        fcntl.flock(fd, fcntl.LOCK_UN)
        os.close(fd)


def ensure_default_store() -> str:
    """Path of the default demo store, building it first if it does not exist yet.

    Safe under concurrent first use: builders take a file lock, build into a temporary file and
    rename it into place; whoever comes second finds the finished store.
    """
    path = default_path()
    if _is_current(path):
        return path
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with _file_lock(path + ".lock"):
        if not _is_current(path):
            why = "first use" if not os.path.exists(path) else "the cached one is outdated"
            print("tidewell: building the demo market store at {} ({}, a few seconds)..."
                  .format(path, why), file=sys.stderr)
            build_demo(path, size="default", overwrite=True)
    return path


def _is_current(path) -> bool:
    """Whether ``path`` holds a demo store of this generator revision."""
    if not os.path.exists(path):
        return False
    try:
        revision = _store.open_store(path, read_only=True).metadata().get("demo_revision")
    except Exception:  # unreadable or foreign file: rebuild it
        _store.close(path)
        return False
    if revision == DEMO_REVISION:
        return True
    _store.close(path)
    return False
