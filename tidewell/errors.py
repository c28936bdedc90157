"""Store errors: what goes wrong with a store file, said in words that name the file and what to do.

DuckDB reports a locked, truncated or foreign file as an ``IOException`` whose text is written for
DuckDB's own developers; ``translate`` turns such an error into one of the ``StoreError`` kinds
below, and ``check_file`` recognises the common cases from the file itself before DuckDB is
asked (a folder, an empty file, a SQLite database or another file that is not a DuckDB database).

Every kind is an ``OSError`` (as ``FileNotFoundError`` is), so callers that handle file errors
handle these too; ``StoreError.path`` is the store's path.
"""

from __future__ import annotations

import os
import re
import stat
from typing import Optional

__all__ = ["StoreError", "StoreLockedError", "StoreCorruptError", "StoreReadOnlyError",
           "NotAStoreError", "EmptyStoreError", "translate", "check_file", "check_folder",
           "lock_holder"]

#: The bytes 8..12 of every DuckDB database file.
DUCKDB_MAGIC = b"DUCK"
SQLITE_MAGIC = b"SQLite format 3\x00"


class StoreError(OSError):
    """A store file cannot be used; the message names the file and what to do."""

    def __init__(self, message: str, path: Optional[str] = None):
        super().__init__(message)
        self.path = path

    def __str__(self) -> str:        # OSError would print "(errno) ..." for some argument forms
        return self.args[0] if self.args else ""


class StoreLockedError(StoreError):
    """Another process has the store open for writing (or, for a writer, open at all)."""

    def __init__(self, message, path=None, pid: Optional[int] = None):
        super().__init__(message, path)
        self.pid = pid


class StoreCorruptError(StoreError):
    """The file is a DuckDB database that cannot be read (truncated or damaged)."""


class StoreReadOnlyError(StoreError):
    """The store (or the folder a new store goes to) cannot be written."""


class NotAStoreError(StoreError):
    """The path is a folder, or a file that is not a DuckDB database."""


class EmptyStoreError(StoreError):
    """A DuckDB file that holds no tidewell data (for example left by an interrupted write)."""


_LOCK_RE = re.compile(r"Conflicting lock is held in (?P<prog>.*?) \(PID (?P<pid>\d+)\)")


def lock_holder(message: str):
    """(program, pid) of the process DuckDB names in a lock error, or (None, None)."""
    m = _LOCK_RE.search(message or "")
    if not m:
        return None, None
    return m.group("prog"), int(m.group("pid"))


def is_lock_error(exc: BaseException) -> bool:
    text = str(exc)
    return "Could not set lock" in text or "Conflicting lock" in text


def _locked(path: str, text: str, writing: bool) -> StoreLockedError:
    prog, pid = lock_holder(text)
    who = "another process"
    if pid is not None:
        who = "another process (PID {}{})".format(pid, ", " + os.path.basename(prog) if prog else "")
    if writing:
        what = ("{} has it open: a write needs the store to itself, so close that process's "
                "connection (or wait for its import to finish) and try again").format(who)
    else:
        what = ("{} is writing it (an import or a build); try again when it has finished"
                .format(who))
    return StoreLockedError("tidewell store {} is locked: {}".format(path, what), path, pid)


def translate(exc: BaseException, path, writing: bool = False) -> BaseException:
    """The ``StoreError`` for a DuckDB (or OS) error met while opening or reading ``path``;
    ``exc`` itself when it is none of the known kinds."""
    path = os.fspath(path)
    if isinstance(exc, StoreError):
        return exc
    text = str(exc)
    if is_lock_error(exc):
        return _locked(path, text, writing)
    if "Is a directory" in text or os.path.isdir(path):
        return NotAStoreError("tidewell store {} is a folder, not a store file; give the path of "
                              "a .duckdb file".format(path), path)
    if "not a valid DuckDB database file" in text or "sqlite" in text.lower():
        return check_file(path, writing=writing, raise_=False) or NotAStoreError(
            "{} is not a tidewell store (not a DuckDB database file)".format(path), path)
    if ("Could not read enough bytes" in text or "Corrupt" in text or "checksum" in text
            or "truncated" in text.lower() or "INTERNAL Error" in text
            or "Serialization" in type(exc).__name__ or "failed to read" in text.lower()):
        return StoreCorruptError(
            "tidewell store {} is damaged or truncated ({}); rebuild it (`tidewell build-demo`) or "
            "import your files into a new store".format(path, _first_line(text)), path)
    if "Permission denied" in text or "Read-only file system" in text:
        return StoreReadOnlyError(
            "tidewell store {} cannot be written ({}); make the file and its folder writable, or "
            "import into a copy elsewhere".format(path, _first_line(text)), path)
    return exc


def _first_line(text: str) -> str:
    line = (text or "").strip().splitlines()[0] if text else ""
    return line.replace("IO Error: ", "")


def _mode(st_mode) -> str:
    return stat.filemode(st_mode)


def check_file(path, writing: bool = False, raise_: bool = True) -> Optional[StoreError]:
    """Recognise an unusable store from the file itself: a folder, an empty file, a SQLite
    database, a file that is not a DuckDB database; for ``writing`` also a read-only file.

    Raises (or, with ``raise_=False``, returns) the ``StoreError``; None when nothing is wrong or
    the file does not exist."""
    path = os.fspath(path)
    err: Optional[StoreError] = None
    if os.path.isdir(path):
        err = NotAStoreError("tidewell store {} is a folder, not a store file; give the path of a "
                             ".duckdb file".format(path), path)
    elif os.path.exists(path):
        try:
            with open(path, "rb") as f:
                head = f.read(16)
        except PermissionError:
            head = None
            err = StoreReadOnlyError("tidewell store {} cannot be read (permission denied)"
                                     .format(path), path)
        if err is None and head is not None:
            size = os.path.getsize(path)
            if size == 0:
                err = EmptyStoreError(
                    "tidewell store {} is an empty file (left by an interrupted write?); remove it "
                    "and import again or build a demo store there".format(path), path)
            elif head.startswith(SQLITE_MAGIC):
                err = NotAStoreError("{} is a SQLite database, not a tidewell store (a DuckDB "
                                     "file); export its tables to CSV or Parquet and `tidewell "
                                     "import` them".format(path), path)
            elif head[8:12] != DUCKDB_MAGIC:
                err = NotAStoreError("{} is not a tidewell store: not a DuckDB database file "
                                     "({} bytes)".format(path, size), path)
            elif writing:
                err = _read_only(path)
    elif writing:
        err = check_folder(path, raise_=False)
    if err is not None and raise_:
        raise err
    return err


def check_folder(path, raise_: bool = True) -> Optional[StoreError]:
    """Refuse to create the store ``path`` in a read-only folder."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    err = None
    if os.path.isdir(folder) and not _writable(folder):
        err = StoreReadOnlyError(
            "cannot create tidewell store {}: its folder {} is read-only ({}); choose a "
            "writable folder".format(path, folder, _mode(os.stat(folder).st_mode)), path)
    if err is not None and raise_:
        raise err
    return err


def _writable(path: str) -> bool:
    """Writable, judged by the permission bits as well (root may write a file marked read-only,
    but a store marked read-only is not to be changed behind its owner's back)."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return os.access(path, os.W_OK) and bool(mode & (stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))


def _read_only(path: str) -> Optional[StoreError]:
    folder = os.path.dirname(os.path.abspath(path))
    if not _writable(path):
        return StoreReadOnlyError(
            "tidewell store {} is read-only ({}); make it writable (chmod u+w) to import into "
            "it, or import into a copy".format(path, _mode(os.stat(path).st_mode)), path)
    if not _writable(folder):
        return StoreReadOnlyError(
            "tidewell store {} is in a read-only folder {} ({}); a write needs to create files "
            "beside the store (its .wal), so make the folder writable".format(
                path, folder, _mode(os.stat(folder).st_mode)), path)
    return None
