"""Selecting stores, the default demo store, the demo's determinism and integrity."""

import os
import subprocess
import sys

import duckdb
import pandas as pd
import pytest

import tidewell
from tidewell import demo

def test_init_returns_previous_and_using_restores(tw_small_path, tmp_path):
    before = tidewell.init(tw_small_path)
    try:
        assert tidewell.current_path() == tw_small_path
        with tidewell.using(tw_small_path) as p:
            assert p == tw_small_path
        assert tidewell.current_path() == tw_small_path
    finally:
        tidewell.init(before)


def test_init_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="not found"):
        tidewell.init(tmp_path / "nothing.duckdb")


def test_default_store_is_built_once_in_tidewell_home(tmp_path, monkeypatch, capfd):
    home = tmp_path / "home"
    monkeypatch.setenv("TIDEWELL_HOME", str(home))
    monkeypatch.setitem(demo.SIZES, "default", dict(demo.SIZES["small"]))
    prev = tidewell.init(None)
    try:
        path = tidewell.current_path()
        assert path == str(home / "demo-{}.duckdb".format(tidewell.__version__))
        assert os.path.exists(path)
        err = capfd.readouterr().err
        assert "building the demo market" in err
        mtime = os.stat(path).st_mtime_ns
        assert tidewell.get_price("000300.XSHG", "2024-12-02", "2024-12-31", fields="close") is not None
        assert tidewell.current_path() == path
        assert os.stat(path).st_mtime_ns == mtime           # reused, not rebuilt
        assert "building" not in capfd.readouterr().err
        assert not [f for f in os.listdir(home) if f.startswith(".tidewell-build-")]
        # a store left by another revision of the generator is rebuilt
        tidewell.store.close(path)
        con = duckdb.connect(path)
        con.execute("UPDATE metadata SET value = 'old' WHERE key = 'demo_revision'")
        con.close()
        assert tidewell.current_path() == path
        assert "outdated" in capfd.readouterr().err
        assert tidewell.info(path)["metadata"]["demo_revision"] == demo.DEMO_REVISION
    finally:
        tidewell.store.close_all()
        tidewell.init(prev)


@pytest.mark.slow
def test_concurrent_first_use_from_two_processes(tmp_path, repo_env):
    """Two processes that both find no default store: one builds, both read the same file."""
    home = tmp_path / "home"
    code = ("import tidewell; p = tidewell.current_path(); "
            "print(p, len(tidewell.get_trading_dates('2024-01-01', '2024-12-31')))")
    procs = [subprocess.Popen([sys.executable, "-c", code], env=repo_env(home), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for _ in range(2)]
    outs = [p.communicate(timeout=300) for p in procs]
    for p, (out, err) in zip(procs, outs):
        assert p.returncode == 0, err
    assert outs[0][0] == outs[1][0]
    assert outs[0][0].split()[1] == "242"
    building = sum("building the demo market" in err for _, err in outs)
    assert building == 1
    files = os.listdir(home)
    assert [f for f in files if f.endswith(".duckdb")] == ["demo-{}.duckdb".format(tidewell.__version__)]


def test_several_processes_read_one_store(tw_small_path, repo_env):
    code = ("import tidewell, sys; tidewell.init(sys.argv[1]); "
            "df = tidewell.get_price('000300.XSHG', '2024-01-02', '2024-12-31', fields='close'); "
            "print(len(df))")
    with tidewell.using(tw_small_path):
        tidewell.get_trading_dates("2024-01-01", "2024-01-31")   # this process holds it open too
        procs = [subprocess.Popen([sys.executable, "-c", code, tw_small_path], env=repo_env("/nonexistent"),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for _ in range(3)]
        outs = [p.communicate(timeout=120) for p in procs]
    assert all(p.returncode == 0 for p in procs), [e for _, e in outs]
    assert len({o for o, _ in outs}) == 1


def test_demo_is_deterministic(tmp_path, tw_small_path, digest):
    again = str(tmp_path / "again.duckdb")
    demo.build_demo(again, size="small")
    assert digest(again) == digest(tw_small_path)
    other = str(tmp_path / "other.duckdb")
    demo.build_demo(other, size="small", seed=7)
    assert digest(other) != digest(tw_small_path)


def test_build_refuses_to_overwrite(tmp_path, tw_small_path):
    p = tmp_path / "x.duckdb"
    p.write_text("")
    with pytest.raises(FileExistsError):
        demo.build_demo(str(p), size="small")
    with pytest.raises(ValueError, match="size"):
        demo.build_demo(str(tmp_path / "y.duckdb"), size="huge")
    with pytest.raises(ValueError, match="start"):
        demo.build_demo(str(tmp_path / "z.duckdb"), start="2024-12-31", end="2024-01-01")


def test_demo_keys_are_unique_and_facts_hold(tw_small_path):
    con = duckdb.connect(tw_small_path, read_only=True)
    try:
        for t in tidewell.schema.TABLE_ORDER:
            key = ", ".join(tidewell.schema.TABLES[t].key)
            n, d = con.execute("SELECT count(*), count(DISTINCT ({})) FROM {}".format(key, t)).fetchall()[0]
            assert n == d, t
        # every bar date is a trading date, every bar of a known instrument
        assert con.execute("SELECT count(*) FROM daily_bars b ANTI JOIN trading_calendar c "
                           "ON b.date = c.date").fetchall()[0][0] == 0
        assert con.execute("SELECT count(*) FROM daily_bars b ANTI JOIN instruments i "
                           "ON b.order_book_id = i.order_book_id").fetchall()[0][0] == 0
        # positive prices, factors that change (splits / dividends)
        assert con.execute("SELECT min(least(open, high, low, close)) FROM daily_bars").fetchall()[0][0] > 0
        assert con.execute("SELECT count(DISTINCT order_book_id) FROM (SELECT order_book_id "
                           "FROM daily_bars GROUP BY 1 HAVING min(adj_factor) < max(adj_factor))"
                           ).fetchall()[0][0] > 5
        # listings and delistings inside the window
        inst = con.execute("SELECT * FROM instruments WHERE type = 'CS'").df()
        assert (inst["listed_date"] > pd.Timestamp("2023-01-03")).any()
        assert inst["de_listed_date"].notna().any() or len(inst) < 100
    finally:
        con.close()


def test_default_demo_has_the_documented_shape(tmp_path):
    """The default size: about 600 stocks over 2019-2024 (built here once, a few seconds)."""
    p = str(tmp_path / "default.duckdb")
    demo.build_demo(p)
    info = tidewell.info(p)
    t = info["tables"]
    assert t["instruments"]["by_type"] == {"CS": 600, "INDX": 2}
    assert t["daily_bars"]["first"] == "2019-01-02" and t["daily_bars"]["last"] == "2024-12-31"
    assert t["trading_calendar"]["first"] <= "2010-01-04"
    assert t["trading_calendar"]["last"] >= "2025-12-31"
    assert t["minute_bars"]["ids"] == 2 and t["ticks"]["rows"] > 0
    assert t["style_exposures"]["ids"] == 600
    inst = tidewell.store.open_store(p).instruments()
    cs = inst[inst["type"] == "CS"]
    assert cs["de_listed_date"].notna().sum() >= 10
    assert (cs["listed_date"] > pd.Timestamp("2019-01-02")).sum() >= 50
    tidewell.store.close(p)


def test_schema_md_is_current():
    here = os.path.join(os.path.dirname(tidewell.__file__), "SCHEMA.md")
    with open(here, encoding="utf-8") as f:
        assert f.read().strip() == tidewell.schema.describe().strip(), \
            "regenerate with: python -m tidewell schema > tidewell/SCHEMA.md"


def test_reading_connections_bound_duckdb_memory(tw_small_path, monkeypatch):
    from tidewell import store

    def limit(con):
        return con.execute("SELECT current_setting('memory_limit')").fetchone()[0]

    reader = store.connect(tw_small_path)
    try:
        assert limit(reader) == "122.0 MiB"  # 128 MB
        assert reader.execute("SELECT count(*) FROM instruments").fetchone()[0] > 0
    finally:
        reader.close()
    monkeypatch.setenv("TIDEWELL_MEMORY_LIMIT", "512MB")
    with store.connect(tw_small_path) as con:
        assert limit(con) == "488.2 MiB"
    monkeypatch.setenv("TIDEWELL_MEMORY_LIMIT", "")  # DuckDB's own default: a share of the machine
    with store.connect(tw_small_path) as con:
        assert limit(con) not in ("122.0 MiB", "488.2 MiB")
    monkeypatch.setenv("TIDEWELL_MEMORY_LIMIT", "a lot")
    with pytest.raises(ValueError, match="TIDEWELL_MEMORY_LIMIT.*'a lot'"):
        store.connect(tw_small_path)
