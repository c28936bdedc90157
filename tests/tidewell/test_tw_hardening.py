"""Store errors said in words, locks taken early, readers that wait out a commit, atomic first
writes, leftovers cleaned, space reclaimed.  Races run in subprocesses bounded in time."""

import os
import shutil
import sqlite3
import subprocess
import sys
import textwrap
import time

import duckdb
import numpy as np
import pandas as pd
import pytest

import tidewell
from tidewell import calendars, errors
from tidewell.cli import main
from tidewell.importer import import_frames

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SESSIONS = calendars.sessions("2024-01-02", "2024-03-29")


def _minute_bars(oid, days):
    mins = np.concatenate([np.arange(9 * 60 + 31, 11 * 60 + 31), np.arange(13 * 60 + 1, 15 * 60 + 1)])
    stamps = (np.asarray(days, dtype="datetime64[ns]")[:, None]
              + mins[None, :].astype("timedelta64[m]")).ravel()
    return pd.DataFrame({"order_book_id": oid, "datetime": stamps, "close": 10.0})


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("hard") / "base.duckdb")
    inst = pd.DataFrame({"order_book_id": ["000001.XSHE", "000300.XSHG"], "symbol": ["平安银行", "沪深300"],
                         "type": ["CS", "INDX"], "exchange": ["XSHE", "XSHG"],
                         "listed_date": ["1991-04-03", "2005-04-08"]})
    bars = pd.DataFrame({"order_book_id": np.repeat(["000001.XSHE", "000300.XSHG"], len(SESSIONS)),
                         "date": np.tile(SESSIONS.values, 2), "close": 10.0})
    import_frames(path, instruments=inst, daily_bars=bars)
    return path


def _copy(src, folder, name="store.duckdb"):
    dst = str(folder / name)
    shutil.copy(src, dst)
    return dst


def _bytes(path):
    with open(path, "rb") as f:
        return f.read()


def _env(**extra):
    env = dict(os.environ)
    env["PYTHONPATH"] = REPO + os.pathsep + env.get("PYTHONPATH", "")
    env.update({k: str(v) for k, v in extra.items()})
    return env


def _holder(path, mode="read", seconds=20):
    """A subprocess that holds ``path`` open (read: a tidewell reader; write: a DuckDB writer)
    until killed; returns once it holds it."""
    code = textwrap.dedent("""
        import sys, time, duckdb, tidewell
        if sys.argv[2] == "read":
            tidewell.init(sys.argv[1]); tidewell.get_trading_dates("2024-01-01", "2024-01-31")
        else:
            con = duckdb.connect(sys.argv[1])
        print("holding", flush=True)
        time.sleep(float(sys.argv[3]))
    """)
    p = subprocess.Popen([sys.executable, "-c", code, path, mode, str(seconds)], env=_env(),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = p.stdout.readline()
    assert line.strip() == "holding", p.stderr.read()
    return p


# -- locks -------------------------------------------------------------------------------------
def test_an_import_meets_a_reader_at_once_before_reading_its_files(base, tmp_path, monkeypatch, capsys):
    store = _copy(base, tmp_path)
    before = _bytes(store)
    monkeypatch.setenv("TIDEWELL_LOCK_WAIT", "0.3")
    reader = _holder(store, "read")
    try:
        t0 = time.monotonic()
        # the file does not even exist: the lock is met before any validation
        with pytest.raises(errors.StoreLockedError) as e:
            tidewell.import_files(store, {"daily_bars": str(tmp_path / "missing.csv")})
        assert time.monotonic() - t0 < 5
        assert e.value.pid == reader.pid and "PID {}".format(reader.pid) in str(e.value)
        assert store in str(e.value)
        assert main(["import", store, "daily_bars=" + str(tmp_path / "missing.csv")]) == 1
        err = capsys.readouterr().err
        assert "is locked" in err and "Traceback" not in err
    finally:
        reader.kill()
        reader.wait()
    assert _bytes(store) == before


def test_a_reader_waits_out_a_writers_commit(base, tmp_path, monkeypatch):
    store = _copy(base, tmp_path)
    monkeypatch.setenv("TIDEWELL_LOCK_WAIT", "10")
    writer = _holder(store, "write", seconds=0.8)
    try:
        t0 = time.monotonic()
        with tidewell.using(store):
            assert len(tidewell.get_trading_dates("2024-01-01", "2024-01-31")) == 22
        assert time.monotonic() - t0 > 0.2           # it did wait for the writer
    finally:
        writer.wait(timeout=30)
        tidewell.store.close(store)
    monkeypatch.setenv("TIDEWELL_LOCK_WAIT", "0.2")
    writer = _holder(store, "write", seconds=20)
    try:
        with pytest.raises(errors.StoreLockedError, match="is writing it"):
            tidewell.init(store)
    finally:
        writer.kill()
        writer.wait()


@pytest.mark.slow
def test_racing_imports_and_readers_end_in_success_or_a_clear_message(base, tmp_path):
    store = _copy(base, tmp_path)
    files = []
    for name, days in (("a", SESSIONS[:25]), ("b", SESSIONS[25:50])):
        p = str(tmp_path / "minute_bars_{}.parquet".format(name))
        _minute_bars("000300.XSHG", days).to_parquet(p, index=False)
        files.append(p)
    reader = textwrap.dedent("""
        import sys, time, tidewell
        ok = locked = 0
        for i in range(8):
            tidewell.store.close_all()        # a fresh open each time, as a new process would
            try:
                tidewell.init(sys.argv[1])
                assert tidewell.get_price("000001.XSHE", "2024-01-02", "2024-03-29", fields="close") is not None
                ok += 1
            except tidewell.StoreLockedError as exc:
                assert "locked" in str(exc)
                locked += 1
            tidewell.store.close_all()
            time.sleep(0.1)
        print(ok, locked)
    """)
    env = _env(TIDEWELL_LOCK_WAIT=3)
    procs = [subprocess.Popen([sys.executable, "-m", "tidewell", "import", store, f], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for f in files]
    procs += [subprocess.Popen([sys.executable, "-c", reader, store], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)]
    outs = [p.communicate(timeout=90) for p in procs]
    for p, (out, err) in zip(procs, outs):
        assert "Traceback" not in err, err
        assert p.returncode == 0 or "is locked" in err, err
    imported = [p.returncode == 0 for p in procs[:2]]
    assert any(imported)
    reads = [tuple(map(int, out.split())) for out, _ in outs[2:]]
    assert all(ok + locked == 8 for ok, locked in reads)
    rows = tidewell.info(store)["tables"]["minute_bars"]["rows"]
    assert rows == 240 * 25 * sum(imported)
    assert tidewell.check(store)["ok"]
    tidewell.store.close(store)


# -- store errors ------------------------------------------------------------------------------
def _truncated(base, folder):
    p = _copy(base, folder, "cut.duckdb")
    with open(p, "r+b") as f:
        f.truncate(os.path.getsize(p) // 3)
    return p


def _sqlite(base, folder):
    p = str(folder / "market.db")
    con = sqlite3.connect(p)
    con.execute("CREATE TABLE daily_bars (order_book_id TEXT, close REAL)")
    con.commit()
    con.close()
    return p


def _junk(base, folder):
    p = str(folder / "junk.duckdb")
    with open(p, "wb") as f:
        f.write(b"order_book_id,date\n" * 300)
    return p


def _empty_file(base, folder):
    p = str(folder / "empty.duckdb")
    open(p, "wb").close()
    return p


def _schema_only(base, folder):
    p = str(folder / "schema.duckdb")
    con = duckdb.connect(p)
    tidewell.store.create_schema(con)
    con.close()
    return p


def _foreign(base, folder):
    p = str(folder / "other.duckdb")
    con = duckdb.connect(p)
    con.execute("CREATE TABLE t (x INTEGER)")
    con.close()
    return p


def _folder(base, folder):
    p = folder / "a-folder.duckdb"
    p.mkdir()
    return str(p)


@pytest.mark.parametrize("make, kind, words", [
    (_truncated, errors.StoreCorruptError, "damaged or truncated"),
    (_sqlite, errors.NotAStoreError, "SQLite database"),
    (_junk, errors.NotAStoreError, "not a DuckDB database"),
    (_empty_file, errors.EmptyStoreError, "empty file"),
    (_schema_only, errors.EmptyStoreError, "holds no data"),
    (_foreign, errors.NotAStoreError, "without tidewell's tables"),
    (_folder, errors.NotAStoreError, "is a folder"),
])
def test_each_store_error_has_its_message(base, tmp_path, capsys, make, kind, words):
    path = make(base, tmp_path)
    with pytest.raises(kind) as e:
        tidewell.init(path)
    assert words in str(e.value) and path in str(e.value)
    assert isinstance(e.value, OSError) and e.value.path == path
    if make is not _schema_only and make is not _foreign:     # DuckDB stores to describe, import into
        assert main(["info", path]) == 1
        err = capsys.readouterr().err
        assert path in err and "Traceback" not in err
        with pytest.raises(errors.StoreError):
            tidewell.import_files(path, {"trading_calendar": str(tmp_path / "x.csv")})
    tidewell.store.close_all()


def test_read_only_store_and_folder(base, tmp_path, capsys):
    store = _copy(base, tmp_path)
    os.chmod(store, 0o444)
    try:
        before = _bytes(store)
        with tidewell.using(store):                        # reading is fine
            assert len(tidewell.get_trading_dates("2024-01-01", "2024-01-31")) == 22
        bars = pd.DataFrame({"order_book_id": ["000001.XSHE"], "date": ["2024-04-01"], "close": [1.0]})
        with pytest.raises(errors.StoreReadOnlyError, match="is read-only"):
            import_frames(store, daily_bars=bars)
        assert _bytes(store) == before
    finally:
        os.chmod(store, 0o644)
    ro = tmp_path / "ro"
    ro.mkdir()
    os.chmod(ro, 0o555)
    try:
        assert main(["import", str(ro / "new.duckdb"), "daily_bars=" + str(tmp_path / "x.csv")]) == 1
        assert "read-only" in capsys.readouterr().err
        with pytest.raises(errors.StoreReadOnlyError):
            tidewell.build_demo(str(ro / "demo.duckdb"), size="small")
    finally:
        os.chmod(ro, 0o755)


def test_extensions_are_never_loaded_behind_the_users_back(base):
    st = tidewell.store.open_store(base)
    settings = st.con.execute("SELECT current_setting('autoinstall_known_extensions'), "
                              "current_setting('autoload_known_extensions')").fetchall()[0]
    assert settings == (False, False)
    tidewell.store.close(base)


# -- atomic writes, leftovers, space -----------------------------------------------------------
def _dead_pid():
    p = subprocess.Popen([sys.executable, "-c", "pass"])
    p.wait()
    return p.pid


def test_a_killed_first_import_leaves_no_store_and_its_leftover_is_cleaned(base, tmp_path):
    store = str(tmp_path / "new.duckdb")
    bars = str(tmp_path / "daily_bars.csv")
    pd.DataFrame({"order_book_id": ["000001.XSHE"], "date": ["2024-01-02"], "close": [1.0]}).to_csv(bars, index=False)
    inst = str(tmp_path / "instruments.csv")
    pd.DataFrame({"order_book_id": ["000001.XSHE"], "symbol": ["平安银行"], "type": ["CS"], "exchange": ["XSHE"],
                  "listed_date": ["1991-04-03"]}).to_csv(inst, index=False)
    code = ("import os, sys, tidewell, tidewell._files as f\n"
            "f.publish = lambda *a, **k: os.kill(os.getpid(), 9)\n"
            "tidewell.import_files(sys.argv[1], sys.argv[2:])\n")
    r = subprocess.run([sys.executable, "-c", code, store, inst, bars], env=_env(), timeout=60,
                       capture_output=True, text=True)
    assert r.returncode == -9
    assert not os.path.exists(store)
    left = [f for f in os.listdir(tmp_path) if f.startswith(".tidewell-import-")]
    assert left                                       # the killed process's temporary file
    tidewell.import_files(store, [inst, bars])
    assert [f for f in os.listdir(tmp_path) if f.startswith(".tidewell-")] == []
    with tidewell.using(store):
        assert tidewell.instruments("000001.XSHE").symbol == "平安银行"


def test_leftovers_of_killed_builds_are_cleaned(tmp_path):
    dead = _dead_pid()
    names = [".tidewell-build-{}-ab12.duckdb".format(dead), ".tidewell-build-{}-ab12.duckdb.wal".format(dead),
             ".tidewell-build-legacy1.duckdb", ".tidewell-build-{}-mine.duckdb".format(os.getpid())]
    for n in names:
        (tmp_path / n).write_bytes(b"x")
    old = time.time() - 7200
    os.utime(tmp_path / names[2], (old, old))
    tidewell.build_demo(str(tmp_path / "demo.duckdb"), n_stocks=5, start="2024-10-08", end="2024-12-31")
    left = sorted(f for f in os.listdir(tmp_path) if f.startswith(".tidewell-"))
    assert left == [names[3]]                        # a live process's file stays


def test_failed_imports_leave_the_file_byte_identical_and_vacuum_reclaims(base, tmp_path, capsys):
    store = _copy(base, tmp_path)
    before = _bytes(store)
    big = _minute_bars("000300.XSHG", SESSIONS[:40])
    bad = big.copy()
    bad.loc[len(bad) - 1, "order_book_id"] = "000905.XSHG"
    for _ in range(3):
        with pytest.raises(tidewell.importer.TidewellImportError, match="known-instrument"):
            import_frames(store, minute_bars=bad)
        assert _bytes(store) == before
    import_frames(store, minute_bars=big)
    import_frames(store, minute_bars=big.iloc[:240], replace=True)
    grown = os.path.getsize(store)
    assert main(["vacuum", store]) == 0
    assert "bytes" in capsys.readouterr().out
    assert os.path.getsize(store) < grown
    assert tidewell.check(store)["ok"]
    with tidewell.using(store):
        assert len(tidewell.get_price("000300.XSHG", "2024-01-02", "2024-01-02", frequency="1m")) == 240
    tidewell.store.close(store)


@pytest.mark.parametrize("raised", [RuntimeError("Query interrupted"), duckdb.InterruptException("INTERRUPT")],
                         ids=["pandas-scan", "interrupt-exception"])
def test_ctrl_c_inside_a_query_is_an_interruption_not_a_traceback(base, tmp_path, capsys, monkeypatch,
                                                                 raised):
    # A SIGINT that lands while DuckDB runs a query is taken by DuckDB, which raises one of these
    # instead of KeyboardInterrupt; the command says "interrupted" and the store stays as it was.
    store = _copy(base, tmp_path)
    before = _bytes(store)
    bars = pd.DataFrame({"order_book_id": "000001.XSHE", "date": SESSIONS, "close": 11.0})
    path = tmp_path / "daily_bars.csv"
    bars.to_csv(path, index=False)

    def stop(con):
        raise raised

    monkeypatch.setattr(tidewell.store, "refresh_trading_status", stop)
    assert main(["import", store, str(path), "--replace"]) == 130
    err = capsys.readouterr().err
    assert err.strip() == "tidewell: interrupted"
    assert _bytes(store) == before
    assert tidewell.check(store)["ok"]


def test_other_runtime_errors_still_raise(base, tmp_path, monkeypatch):
    store = _copy(base, tmp_path)
    path = tmp_path / "daily_bars.csv"
    pd.DataFrame({"order_book_id": "000001.XSHE", "date": SESSIONS, "close": 11.0}).to_csv(path, index=False)

    def broken(con):
        raise RuntimeError("something else went wrong")

    monkeypatch.setattr(tidewell.store, "refresh_trading_status", broken)
    with pytest.raises(RuntimeError, match="something else"):
        main(["import", store, str(path), "--replace"])
