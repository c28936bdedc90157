"""Writing store files safely: temporary files beside the target, fsync, atomic rename; and the
clean-up of temporary files that a killed build or import left behind.

A store written for the first time (by ``tidewell import`` or ``build_demo``) is written to
``.tidewell-<kind>-<pid>-<random>.duckdb`` in the target's folder, flushed to disk and then put
in place by one rename, so that no reader (and no later run) ever sees a half-written store.
The next build or import in that folder removes the leftovers of processes that are gone.
"""

from __future__ import annotations

import os
import re
import secrets
import shutil
import time

__all__ = ["temp_path", "publish", "remove", "clean_leftovers", "fsync_dir"]

PREFIX = ".tidewell-"
_LEFTOVER = re.compile(r"^\.tidewell-(build|import|vacuum)-(?:(\d+)-)?[A-Za-z0-9_]+\.duckdb(\.wal|\.tmp)?$")
#: Leftovers without a process id in their name (written by earlier versions) are removed once
#: they are this old (seconds) and no process holds them open.
LEGACY_AGE = 3600.0


def temp_path(target, kind: str) -> str:
    """A fresh temporary path for ``kind`` ("build", "import", "vacuum") beside ``target``."""
    folder = os.path.dirname(os.path.abspath(os.fspath(target)))
    return os.path.join(folder, "{}{}-{}-{}.duckdb".format(PREFIX, kind, os.getpid(),
                                                           secrets.token_hex(4)))


def fsync_dir(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:   # pragma: no cover - platforms without directory fds
        return
    try:
        os.fsync(fd)
    except OSError:   # pragma: no cover
        pass
    finally:
        os.close(fd)


def _fsync_file(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def publish(tmp: str, target: str, overwrite: bool) -> None:
    """Put the finished file ``tmp`` at ``target``: fsync, then one rename (``overwrite``) or a
    hard link that fails with ``FileExistsError`` if ``target`` appeared meanwhile."""
    _fsync_file(tmp)
    folder = os.path.dirname(os.path.abspath(target))
    if overwrite:
        os.replace(tmp, target)
    else:
        try:
            os.link(tmp, target)
        except FileExistsError:
            raise
        except OSError:       # a file system without hard links: a rename, checked just before
            if os.path.exists(target):
                raise FileExistsError(target) from None
            os.replace(tmp, target)
        else:
            os.unlink(tmp)
    fsync_dir(folder)


def remove(tmp: str) -> None:
    """Remove a temporary store and its side files."""
    for p in (tmp, tmp + ".wal"):
        try:
            os.unlink(p)
        except FileNotFoundError:
            pass
        except IsADirectoryError:   # pragma: no cover
            shutil.rmtree(p, ignore_errors=True)
    shutil.rmtree(tmp + ".tmp", ignore_errors=True)


def _alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def clean_leftovers(folder) -> list:
    """Remove the temporary files of builds and imports in ``folder`` whose process is gone;
    returns the names removed."""
    folder = os.fspath(folder)
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    removed = []
    now = time.time()
    for name in names:
        m = _LEFTOVER.match(name)
        if not m:
            continue
        path = os.path.join(folder, name)
        pid = m.group(2)
        if pid is not None:
            if _alive(int(pid)):
                continue
        else:
            try:
                if now - os.path.getmtime(path) < LEGACY_AGE:
                    continue
            except OSError:
                continue
        try:
            if os.path.isdir(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
            removed.append(name)
        except OSError:
            pass
    return removed
