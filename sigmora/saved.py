"""Results kept as files: every table as Parquet (or CSV), and a small JSON manifest that says
what each file holds, so that the results read back equal to what was saved.

    >>> record.save("ic")                        # one result record
    >>> sigmora.save_results(result, "value")    # the engine's output: step name -> record
    >>> batch.save("factors")                    # run_many's BatchResult (failures included)
    >>> sigmora.load_results("value")            # the same objects again

A folder of saved results holds ``manifest.json`` and one file per table, in a folder per level:
``<table>.parquet`` for a record, ``<step>/<table>.parquet`` for an engine output,
``<factor>/<step>/<table>.parquet`` for a batch or a dict of outputs.  Parquet keeps the tables'
types itself; CSV files are plain (dates as ISO text, floats written to round-trip exactly, a
missing value as an empty field) and the manifest carries the index and column types that turn
them back into the same tables.  In CSV an empty text cannot be told from a missing value: it
reads back as missing.

Every file is written whole or not at all (`sigmora._atomic`): all tables are first written to
temporary files, and only when every one of them is on disk are they renamed into place, the
manifest last.  A save that fails while writing leaves the previous save as it was; the manifest
holds each file's SHA-256, so a folder whose files no longer match it is refused when read.

Objects describe themselves: a value whose type has ``_save_entry(writer, folder)`` returns
its manifest entry (built with ``writer.table`` and ``writer.entry``), and its type's
``_from_saved(entry, reader)`` rebuilds it from that entry (``reader.table``, ``reader.entry``).
The manifest names the type, which must belong to sigmora.
"""

import datetime
import hashlib
import importlib
import io
import json
import os
import re

import numpy as np
import pandas as pd
from pandas.api.types import pandas_dtype

from sigmora import _atomic

__all__ = ["save_results", "load_results", "FORMATS", "MANIFEST"]

MANIFEST = "manifest.json"
FORMATS = ("parquet", "csv")
_LAYOUT = 1
# The column a Series is kept under in its file.
_SERIES_COLUMN = "value"


def _label(value):
    """An axis or Series name as JSON keeps it (text, number, boolean or None)."""
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    if hasattr(value, "item"):  # numpy scalars
        return value.item()
    return str(value)


def _levels(index):
    return [index.get_level_values(i) for i in range(index.nlevels)]


def _as_dtype(values, dtype):
    """``values`` (an Index or Series read from a file) as the type ``dtype`` (its text) they
    were saved with."""
    if str(values.dtype) == dtype:
        return values
    if isinstance(values, pd.Series):
        return pd.Series(_as_dtype(pd.Index(values), dtype), index=values.index, name=values.name)
    if dtype.startswith("datetime64"):
        target = pandas_dtype(dtype)
        if isinstance(target, pd.DatetimeTZDtype):
            return pd.DatetimeIndex(pd.to_datetime(values, format="ISO8601", utc=True)).tz_convert(
                target.tz).as_unit(target.unit)
        return pd.DatetimeIndex(pd.to_datetime(values, format="ISO8601")).as_unit(np.datetime_data(target)[0])
    if dtype == "bool":
        return values.map({"True": True, "False": False, True: True, False: False}).astype(bool)
    return values.astype(dtype)


def _slug(key, taken):
    """A file or folder name for ``key``: its letters, digits, '.', '-' and '_', others as '_',
    made unique among ``taken`` (compared without case)."""
    base = re.sub(r"[^\w.-]+", "_", str(key)).strip("._") or "item"
    name, n = base, 1
    while name.lower() in taken:
        n += 1
        name = "{}-{}".format(base, n)
    taken.add(name.lower())
    return name


class _Writer:
    """Stages the files of one save; `commit` puts them in place, `discard` drops them."""

    def __init__(self, root, fmt):
        self.root, self.format = root, fmt
        self.files = {}       # relative path -> SHA-256
        self._staged = []     # (temporary path, final path)
        self._taken = {"": {MANIFEST}}   # folder -> names used in it (lower case)

    def child(self, folder, key):
        """The relative path of ``key`` inside ``folder``: its name made safe and unique there."""
        return _join(folder, _slug(key, self._taken.setdefault(folder, set())))

    def table(self, table, rel):
        """Stages ``table`` (a DataFrame or Series) as the file ``rel`` + suffix; returns its
        manifest entry."""
        series = isinstance(table, pd.Series)
        if not series and not isinstance(table, pd.DataFrame):
            raise TypeError("expect a DataFrame or Series to save, got {}".format(type(table)))
        if not series and table.columns.nlevels > 1:
            raise TypeError("a table with {} column levels cannot be saved".format(table.columns.nlevels))
        frame = table.to_frame(name=_SERIES_COLUMN) if series else table
        meta = {"file": "{}.{}".format(rel, self.format)}
        if series:
            meta["series"] = _label(table.name)
        meta["index"] = [{"name": _label(level.name), "dtype": str(level.dtype)} for level in _levels(frame.index)]
        dtypes = sorted({str(d) for d in frame.dtypes})
        meta["columns"] = {"name": _label(frame.columns.name), "dtype": str(frame.columns.dtype)}
        if len(dtypes) == 1:
            meta["dtype"] = dtypes[0]
        else:
            meta["dtypes"] = [str(d) for d in frame.dtypes]
        labels = list(frame.columns)
        if not all(isinstance(c, str) for c in labels) or len(set(labels)) < len(labels):
            # Files want distinct text column names: the manifest keeps the labels themselves.
            meta["columns"]["labels"] = [_label(c) for c in labels]
            frame = frame.set_axis(["c{}".format(i) for i in range(len(labels))], axis=1)
        if self.format == "parquet":
            buf = io.BytesIO()
            frame.to_parquet(buf, engine="pyarrow")
            data = buf.getvalue()
        else:
            data = frame.to_csv(index=True, lineterminator="\n").encode("utf-8")
        self._stage(meta["file"], data)
        return meta

    def entry(self, value, rel):
        """The manifest entry of ``value``, its tables staged under ``rel``."""
        return _entry(value, self, rel)

    def _stage(self, rel, data):
        path = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self._staged.append((_atomic.stage(path, data), path))
        self.files[rel] = hashlib.sha256(data).hexdigest()

    def commit(self, manifest):
        for tmp, path in self._staged:
            _atomic.commit(tmp, path)
        self._staged = []
        _atomic.write_atomic(os.path.join(self.root, MANIFEST),
                             json.dumps(manifest, indent=1, ensure_ascii=False, allow_nan=True) + "\n")

    def discard(self):
        for tmp, _ in self._staged:
            _atomic.discard(tmp)
        self._staged = []


def _class_name(cls):
    return "{}:{}".format(cls.__module__, cls.__qualname__)


def _entry(value, writer, rel):
    if callable(getattr(type(value), "_save_entry", None)):
        entry = value._save_entry(writer, rel)
        entry["class"] = _class_name(type(value))
        return entry
    if isinstance(value, (pd.DataFrame, pd.Series)):
        return {"kind": "table", "table": writer.table(value, rel or writer.child("", "table"))}
    if isinstance(value, dict):
        items = []
        for key, item in value.items():
            if not isinstance(key, str):
                raise TypeError("only text keys can be saved, got {!r}".format(key))
            items.append([key, _entry(item, writer, writer.child(rel, key))])
        return {"kind": "dict", "items": items}
    if value is None:
        return {"kind": "none"}
    raise TypeError("cannot save a {} (expect a result record, an engine output, a BatchResult or a "
                    "table)".format(type(value).__name__))


def _join(folder, name):
    return "{}/{}".format(folder, name) if folder else name


class _Reader:
    """Reads the tables of one saved folder, each checked against its manifest digest."""

    def __init__(self, root, manifest, verify):
        self.root, self.format, self.verify = root, manifest["format"], verify
        self.files = manifest["files"]

    def _bytes(self, rel):
        path = os.path.normpath(os.path.join(self.root, rel))
        if os.path.commonpath([path, self.root]) != self.root or rel not in self.files:
            raise ValueError("{}: the manifest names a file outside its list: {!r}".format(self.root, rel))
        with open(path, "rb") as f:
            data = f.read()
        if self.verify and hashlib.sha256(data).hexdigest() != self.files[rel]:
            raise ValueError("{}: {} is not the file the manifest lists (changed since the save, or the "
                             "save was interrupted); save the results again".format(self.root, rel))
        return data

    def table(self, meta):
        data = self._bytes(meta["file"])
        index = meta["index"]
        if meta["file"].endswith(".parquet"):
            # Arrow's own buffer, not a Python file object: Arrow may let go of the file it read
            # from on one of its threads, and a Python object released there while the
            # interpreter shuts down aborts the process.
            import pyarrow

            frame = pd.read_parquet(pyarrow.BufferReader(data), engine="pyarrow")
        else:
            frame = pd.read_csv(io.BytesIO(data), index_col=list(range(len(index))), header=0, dtype=str,
                                keep_default_na=False, na_values=[""], encoding="utf-8")
        levels = [_as_dtype(level, entry["dtype"]) for level, entry in zip(_levels(frame.index), index)]
        names = [entry["name"] for entry in index]
        frame.index = (pd.MultiIndex.from_arrays(levels, names=names) if len(levels) > 1
                       else pd.Index(levels[0], name=names[0]))
        columns = meta["columns"]
        dtypes = meta["dtypes"] if "dtypes" in meta else [meta["dtype"]] * frame.shape[1]
        wrong = {label: dtype for label, dtype, now in zip(frame.columns, dtypes, frame.dtypes) if str(now) != dtype}
        plain = {label: dtype for label, dtype in wrong.items() if not dtype.startswith(("datetime64", "bool"))}
        if plain:
            frame = frame.astype(plain)
        for label in set(wrong) - set(plain):
            frame[label] = _as_dtype(frame[label], wrong[label])
        labels_of_objects = [label for label, dtype in zip(frame.columns, dtypes) if dtype == "object"]
        if labels_of_objects:
            # A missing value of a column of objects reads back as NaN, whatever the file held.
            objects = frame[labels_of_objects]
            frame[labels_of_objects] = objects.where(objects.notna(), float("nan"))
        labels = columns.get("labels", list(frame.columns))
        frame.columns = _as_dtype(pd.Index(labels, dtype=object), columns["dtype"]).rename(columns["name"])
        if "series" in meta:
            return frame.iloc[:, 0].rename(meta["series"])
        return frame

    def entry(self, entry):
        """The object a manifest entry describes."""
        if "class" in entry:
            return _saved_class(entry["class"])._from_saved(entry, self)
        kind = entry.get("kind")
        if kind == "table":
            return self.table(entry["table"])
        if kind == "dict":
            return {key: self.entry(item) for key, item in entry["items"]}
        if kind == "none":
            return None
        raise ValueError("{}: unknown entry kind {!r} in the manifest".format(self.root, kind))


def _saved_class(name):
    module, _, qualname = name.partition(":")
    if module.split(".")[0] != "sigmora":
        raise ValueError("the manifest names {!r}, which is not a sigmora type".format(name))
    cls = importlib.import_module(module)
    for part in qualname.split("."):
        cls = getattr(cls, part)
    if not callable(getattr(cls, "_from_saved", None)):
        raise ValueError("the manifest names {!r}, which cannot be read back".format(name))
    return cls


def _read_manifest(root):
    path = os.path.join(root, MANIFEST)
    with open(path, encoding="utf-8") as f:
        manifest = json.load(f)
    if not isinstance(manifest, dict) or manifest.get("layout") != _LAYOUT:
        raise ValueError("{}: not a folder of sigmora results of layout {}".format(root, _LAYOUT))
    return manifest


def _version():
    from importlib import metadata
    try:
        return metadata.version("sigmora")
    except metadata.PackageNotFoundError:
        return "unknown"


def save_results(results, path, format="parquet"):
    """Saves ``results`` into the folder ``path`` (made if missing) and returns its absolute path.

    :param results: a result record, the engine's output (step name -> record, and the tables
        kept after preprocessing), a `sigmora.batch.BatchResult`, or a dict of such outputs by
        factor name
    :param format: "parquet" (default) or "csv"

    Saving again into the same folder replaces the earlier save; files the earlier manifest
    listed that the new one does not are removed.
    """
    if format not in FORMATS:
        raise ValueError("format: expect one of {}, got {!r}".format(FORMATS, format))
    root = os.path.abspath(os.fspath(path))
    if os.path.exists(root) and not os.path.isdir(root):
        raise ValueError("path: expect a folder, got the file {}".format(root))
    os.makedirs(root, exist_ok=True)
    try:
        previous = set(_read_manifest(root)["files"])
    except (OSError, ValueError, KeyError):
        previous = set()
    writer = _Writer(root, format)
    try:
        content = writer.entry(results, "")
        manifest = {"layout": _LAYOUT, "saved_by": "sigmora {}".format(_version()),
                    "saved_at": datetime.datetime.now().isoformat(timespec="seconds"),
                    "format": format, "files": writer.files, "content": content}
        writer.commit(manifest)
    except BaseException:
        writer.discard()
        raise
    for rel in sorted(previous - set(writer.files)):
        stale = os.path.normpath(os.path.join(root, rel))
        if os.path.commonpath([stale, root]) == root:
            try:
                os.unlink(stale)
            except FileNotFoundError:
                pass
            folder = os.path.dirname(stale)
            while folder != root and os.path.commonpath([folder, root]) == root:
                try:
                    os.rmdir(folder)           # only while empty
                except OSError:
                    break
                folder = os.path.dirname(folder)
    return root


def load_results(path, verify=True):
    """The results saved in the folder ``path`` (by `save_results`, ``record.save``,
    ``BatchResult.save`` or ``sigmora run --save``), as the objects that were saved.

    :param verify: check every file against the digest its manifest holds
    """
    root = os.path.abspath(os.fspath(path))
    if not os.path.isfile(os.path.join(root, MANIFEST)):
        raise FileNotFoundError("{}: no {} here; expect a folder of saved sigmora results".format(root, MANIFEST))
    manifest = _read_manifest(root)
    return _Reader(root, manifest, verify).entry(manifest["content"])
