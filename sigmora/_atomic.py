"""Files replaced whole or not at all.

Every file sigmora writes (the tear sheet, saved tables and their manifest) goes to a temporary
file in the target's own folder, is flushed to disk, and only then renamed over the target: a
reader sees the old file or the new one, never a part of either, and a write that fails midway
(a full disk, a file size limit, an exception while rendering) leaves the old file as it was.
"""

import os
import tempfile

__all__ = ["stage", "commit", "discard", "write_atomic"]


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_FILE_MODE = 0o666 & ~_umask()


def _sync_folder(folder):
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:  # some file systems cannot sync a folder
        pass
    finally:
        os.close(fd)


def stage(path, data):
    """Writes ``data`` (bytes, or text written as UTF-8) to a temporary file beside ``path`` and
    syncs it to disk; returns the temporary file's path (see `commit` and `discard`)."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    path = os.path.abspath(os.fspath(path))
    folder, name = os.path.split(path)
    fd, tmp = tempfile.mkstemp(prefix=".{}.".format(name), suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, _FILE_MODE)
    except BaseException:
        discard(tmp)
        raise
    return tmp


def commit(tmp, path):
    """Renames the staged file ``tmp`` over ``path`` and syncs their folder."""
    path = os.path.abspath(os.fspath(path))
    os.replace(tmp, path)
    _sync_folder(os.path.dirname(path))


def discard(tmp):
    """Removes a staged file that will not be committed (no error if it is gone)."""
    try:
        os.unlink(tmp)
    except FileNotFoundError:
        pass


def write_atomic(path, data):
    """Replaces the file at ``path`` with ``data`` (bytes or text) all at once; returns the
    absolute path."""
    tmp = stage(path, data)
    try:
        commit(tmp, path)
    except BaseException:
        discard(tmp)
        raise
    return os.path.abspath(os.fspath(path))
