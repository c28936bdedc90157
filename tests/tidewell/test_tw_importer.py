"""tidewell import / info: validation, one transaction, the command line."""

import os
import shutil
import subprocess
import sys

import duckdb
import pandas as pd
import pytest

import tidewell
from tidewell import schema
from tidewell.cli import main
from tidewell.importer import TidewellImportError, import_files, store_info


IDS = ["000001.XSHE", "000002.XSHE", "000300.XSHG"]


def _table(store, name, where=""):
    con = duckdb.connect(store, read_only=True)
    try:
        key = ", ".join(schema.TABLES[name].key)
        return con.execute("SELECT * FROM {} {} ORDER BY {}".format(name, where, key)).df()
    finally:
        con.close()


@pytest.fixture(scope="module")
def exported(tw_small_path, tmp_path_factory):
    """The small store's tables for three instruments, as user files (CSV and Parquet)."""
    d = tmp_path_factory.mktemp("export")
    ids = "', '".join(IDS)
    w = "WHERE order_book_id IN ('{}')".format(ids)
    files = {}
    for name, ext in [("instruments", "csv"), ("trading_calendar", "csv"), ("daily_bars", "parquet"),
                      ("minute_bars", "parquet"), ("ticks", "csv"), ("industry_citics_2019", "csv"),
                      ("industry_sws", "parquet"), ("style_exposures", "parquet"),
                      ("signals", "parquet")]:
        df = _table(tw_small_path, name, "" if name == "trading_calendar" else w)
        p = str(d / "{}.{}".format(name, ext))
        if ext == "csv":
            for c in df.columns:
                if pd.api.types.is_datetime64_any_dtype(df[c]):
                    if schema.TABLES[name].column(c).kind == "date":
                        df[c] = df[c].dt.strftime("%Y-%m-%d")
            df.to_csv(p, index=False)
        else:
            df.to_parquet(p, index=False)
        files[name] = p
    return files


@pytest.fixture
def bars_csv(tw_small_path, tmp_path):
    """A daily_bars CSV of two stocks over January 2024, and a function to corrupt a copy."""
    df = _table(tw_small_path, "daily_bars",
                "WHERE order_book_id IN ('000001.XSHE', '000002.XSHE') AND date < DATE '2024-02-01'")
    df["date"] = df["date"].dt.strftime("%Y-%m-%d")
    df = df.astype(object)

    def write(mutate=None, name="daily_bars.csv"):
        frame = df.copy()
        if mutate is not None:
            frame = mutate(frame)
        p = str(tmp_path / name)
        frame.to_csv(p, index=False)
        return p
    return write


@pytest.fixture
def base(tw_small_path, tmp_path):
    """A store holding the small store's instruments and calendar only."""
    p = str(tmp_path / "base.duckdb")
    inst = _table(tw_small_path, "instruments")
    cal = _table(tw_small_path, "trading_calendar")
    inst_p, cal_p = str(tmp_path / "inst.parquet"), str(tmp_path / "cal.parquet")
    inst.to_parquet(inst_p)
    cal.to_parquet(cal_p)
    import_files(p, {"instruments": inst_p, "trading_calendar": cal_p})
    return p


def test_round_trip_answers_like_the_original(exported, tw_small_path, tmp_path):
    new = str(tmp_path / "mine.duckdb")
    counts = import_files(new, list(exported.values()))
    assert counts["instruments"] == 3 and counts["daily_bars"] > 400
    for adj in ("none", "pre", "post"):
        with tidewell.using(tw_small_path):
            a = tidewell.get_price(IDS, "2023-01-03", "2024-12-31", adjust_type=adj)
            m = tidewell.get_price("000300.XSHG", "2024-12-31", "2024-12-31", frequency="1m")
            s = tidewell.get_style_factor_exposure(IDS, "2024-01-02", "2024-12-31")
            c = tidewell.client.get_client().execute("__internal__shenwan_industry")
            sig = tidewell.get_signal(IDS[:2], "2024-01-02", "2024-12-31")
        with tidewell.using(new):
            pd.testing.assert_frame_equal(a, tidewell.get_price(IDS, "2023-01-03", "2024-12-31",
                                                                adjust_type=adj))
            pd.testing.assert_frame_equal(m, tidewell.get_price("000300.XSHG", "2024-12-31",
                                                                "2024-12-31", frequency="1m"))
            pd.testing.assert_frame_equal(s, tidewell.get_style_factor_exposure(
                IDS, "2024-01-02", "2024-12-31"))
            mine = tidewell.client.get_client().execute("__internal__shenwan_industry")
            assert [r for r in c if r["order_book_id"] in IDS] == mine
            pd.testing.assert_frame_equal(sig, tidewell.get_signal(IDS[:2], "2024-01-02", "2024-12-31"))
            assert tidewell.instruments("000300.XSHG").type == "INDX"
    info = store_info(new)
    assert info["tables"]["daily_bars"]["ids"] == 3
    assert info["tables"]["signals"]["names"] == ["noise", "planted"]


def _error(store, files, **kw):
    with pytest.raises(TidewellImportError) as e:
        import_files(store, files, **kw)
    return e.value


@pytest.mark.parametrize("mutate, row, column, words", [
    (lambda f: f.drop(columns=["close"]), None, "close", "missing required column"),
    (lambda f: f.assign(extra=1), None, "extra", "unknown column"),
    (lambda f: f.assign(close=f["close"].where(f.index != 2, "abc")), 3, "close", "as a number"),
    (lambda f: f.assign(volume=f["volume"].where(f.index != 2, "NaN")), 3, "volume",
     "cannot read 'NaN' as a number; a missing value is an empty cell"),
    (lambda f: f.assign(close=f["close"].where(f.index != 3, " NA")), 4, "close",
     "cannot read 'NA' as a number; the column does not allow missing values"),
    (lambda f: f.assign(close=f["close"].where(f.index != 4, -1.5)), 5, "close", "positive"),
    (lambda f: f.assign(open=f["open"].where(f.index != 6, 0)), 7, "open", "positive"),
    (lambda f: f.assign(close=f["close"].where(f.index != 1, None)), 2, "close", "missing value"),
    (lambda f: f.assign(date=f["date"].where(f.index != 3, "2024/13/45")), 4, "date", "as a date"),
    (lambda f: f.assign(date=f["date"].where(f.index != 5, "2024-01-06")), 6, "date", "not a trading date"),
    (lambda f: pd.concat([f, f.iloc[[3]]], ignore_index=True), None, "date", "duplicate key"),
    (lambda f: f.assign(order_book_id=f["order_book_id"].where(f.index != 8, "123456.XSHE")), 9,
     "order_book_id", "unknown instrument"),
    (lambda f: f.assign(low=f["low"].where(f.index != 0, 1e6)), 1, "low", "above high"),
    (lambda f: f.assign(adj_factor=f["adj_factor"].where(f.index != 2, -1)), 3, "adj_factor", "positive"),
])
def test_validation_names_file_row_and_column(base, bars_csv, digest, mutate, row, column, words):
    path = bars_csv(mutate)
    before = digest(base)
    err = _error(base, [path])
    msg = str(err)
    assert "daily_bars.csv" in msg and words in msg and repr(column) in msg
    assert err.column == column and err.file == path
    if row is not None:
        assert err.row == row
        assert "row {} (line {})".format(row, row + 1) in msg
    if words == "duplicate key":
        assert "first given at row 4" in msg
    assert digest(base) == before



def test_several_unknown_columns_are_named_at_once_with_one_mapping(base, bars_csv, digest):
    # A vendor's export: every foreign column in one message, and one --columns option for all
    path = bars_csv(lambda f: f.rename(columns={"order_book_id": "ts_code", "date": "trade_date",
                                                "volume": "vol"}).assign(pct_chg=0.1))
    before = digest(base)
    err = _error(base, [path])
    msg = str(err)
    assert "unknown columns 'ts_code', 'trade_date', 'vol', 'pct_chg' for table daily_bars" in msg, msg
    assert "--columns ts_code=NAME,trade_date=NAME,vol=volume,pct_chg=NAME" in msg
    assert err.column == "ts_code" and digest(base) == before


def test_a_failed_import_leaves_the_store_exactly_as_it_was(tw_small_path, exported, tmp_path, bars_csv,
                                                              digest):
    store = str(tmp_path / "copy.duckdb")
    shutil.copy(tw_small_path, store)
    before = digest(store)
    extra_inst = str(tmp_path / "instruments_extra.csv")
    pd.DataFrame({"order_book_id": ["999001.XSHE"], "symbol": ["新股"], "type": ["CS"],
                  "exchange": ["XSHE"], "listed_date": ["2024-06-03"]}).to_csv(extra_inst, index=False)
    bad = bars_csv(lambda f: f.assign(close=f["close"].where(f.index != 7, 0)), name="daily_bars_bad.csv")
    err = _error(store, [extra_inst, bad], replace=True)
    assert "daily_bars_bad.csv" in str(err) and err.row == 8
    assert digest(store) == before
    # a key that is already in the store
    err = _error(store, [bars_csv()])
    assert "already in the store" in str(err) and err.row == 1
    assert digest(store) == before
    with tidewell.using(store):
        assert tidewell.instruments("999001.XSHE") is None


def test_a_failed_import_into_a_new_store_leaves_no_file(tmp_path, exported, bars_csv):
    store = str(tmp_path / "new.duckdb")
    bad = bars_csv(lambda f: f.assign(close="x"))
    _error(store, [exported["instruments"], exported["trading_calendar"], bad])
    assert not os.path.exists(store) and not os.path.exists(store + ".wal")


def test_bars_of_instruments_imported_together(tmp_path, exported):
    store = str(tmp_path / "s.duckdb")
    import_files(store, {"instruments": exported["instruments"], "daily_bars": exported["daily_bars"],
                         "trading_calendar": exported["trading_calendar"]})
    with tidewell.using(store):
        assert len(tidewell.get_price(IDS, None, None, fields="close")) > 400


def test_calendar_derived_from_bars_when_none_given(tmp_path, exported):
    store = str(tmp_path / "nocal.duckdb")
    counts = import_files(store, [exported["instruments"], exported["daily_bars"]])
    assert "trading_calendar (XSHG sessions)" in counts
    with tidewell.using(store):
        tds = tidewell.get_trading_dates("2024-01-01", "2024-01-31")
        assert len(tds) == 22


def test_replace_reloads_a_table(base, bars_csv):
    p = bars_csv()
    import_files(base, [p])
    import_files(base, [p], replace=True)
    assert len(_table(base, "daily_bars")) == len(pd.read_csv(p))
    with pytest.raises(TidewellImportError, match="already in the store"):
        import_files(base, [p])


def test_duplicates_across_two_files(base, bars_csv, tmp_path):
    a = bars_csv(name="daily_bars_a.csv")
    b = bars_csv(lambda f: f.iloc[5:8], name="daily_bars_b.csv")
    err = _error(base, [a, b])
    assert "daily_bars_b.csv" in str(err) and "another file" in str(err)


def test_file_and_table_names(base, tmp_path, bars_csv):
    with pytest.raises(TidewellImportError, match="cannot tell the table"):
        import_files(base, [str(tmp_path / "prices.csv")])
    with pytest.raises(TidewellImportError, match="unknown table"):
        import_files(base, {"prices": bars_csv()})
    with pytest.raises(TidewellImportError, match="file not found"):
        import_files(base, ["daily_bars=" + str(tmp_path / "missing.csv")])
    with pytest.raises(TidewellImportError, match="unsupported file type"):
        import_files(base, {"daily_bars": str(tmp_path / "bars.xlsx")})
    p = bars_csv(name="my_prices.csv")
    assert import_files(base, ["daily_bars=" + p])["daily_bars"] > 0


def test_parquet_type_errors(base, tmp_path):
    p = str(tmp_path / "industry_sws.parquet")
    pd.DataFrame({"index_name": ["银行", "银行"], "order_book_id": ["000001.XSHE", "000001.XSHE"],
                  "start_date": pd.to_datetime(["2010-01-04", "2015-01-05"]),
                  "version": [1, 2.5]}).to_parquet(p)
    err = _error(base, [p])
    assert err.column == "version" and err.row == 2 and "integer" in str(err)
    assert "line" not in str(err)


def test_instrument_checks(tmp_path):
    p = str(tmp_path / "instruments.csv")
    pd.DataFrame({"order_book_id": ["A", "B"], "symbol": ["a", "b"], "type": ["CS", ""],
                  "exchange": ["XSHE", "XSHE"], "listed_date": ["2020-01-02", "2020-01-02"]}
                 ).to_csv(p, index=False)
    err = _error(str(tmp_path / "s.duckdb"), [p])
    assert err.column == "type" and err.row == 2


def test_cli_import_info_and_errors(base, bars_csv, capsys, tmp_path):
    assert main(["import", base, "daily_bars=" + bars_csv(name="x.csv")]) == 0
    out = capsys.readouterr().out
    assert "daily_bars" in out and "imported into" in out
    assert main(["info", base]) == 0
    out = capsys.readouterr().out
    assert "daily_bars" in out and "2023-01-03 .. 2024-01-31" in out and "trading_calendar" in out
    assert main(["info", base, "--json"]) == 0
    assert '"daily_bars"' in capsys.readouterr().out
    bad = bars_csv(lambda f: f.assign(close=-1), name="daily_bars_neg.csv")
    assert main(["import", base, bad]) == 1
    err = capsys.readouterr().err
    assert "daily_bars_neg.csv" in err and "row 1" in err and "'close'" in err
    assert main(["schema"]) == 0
    assert "## `daily_bars`" in capsys.readouterr().out
    small = str(tmp_path / "cli_demo.duckdb")
    assert main(["build-demo", small, "--size", "small", "--stocks", "10"]) == 0
    assert tidewell.info(small)["tables"]["instruments"]["by_type"]["CS"] == 10


def test_python_dash_m(base, repo_env):
    env = repo_env("/nonexistent")
    r = subprocess.run([sys.executable, "-m", "tidewell", "info", base], capture_output=True,
                       text=True, env=env, timeout=120)
    assert r.returncode == 0, r.stderr
    assert "instruments" in r.stdout


def test_rows_stored_in_any_order_come_back_sorted(exported, tw_small_path, tmp_path):
    bars = pd.read_parquet(exported["daily_bars"]).sample(frac=1.0, random_state=3)
    p = str(tmp_path / "daily_bars_shuffled.parquet")
    bars.to_parquet(p, index=False)
    store = str(tmp_path / "shuffled.duckdb")
    import_files(store, [exported["instruments"], exported["trading_calendar"], p])
    with tidewell.using(tw_small_path):
        want = tidewell.get_price(IDS, "2023-01-03", "2024-12-31", adjust_type="post")
    with tidewell.using(store):
        got = tidewell.get_price(IDS, "2023-01-03", "2024-12-31", adjust_type="post")
        assert got.index.is_monotonic_increasing
        pd.testing.assert_frame_equal(got, want)
        # the levels hold only what the rows use
        one = tidewell.get_price(["000002.XSHE", "999999.XSHE"], "2024-02-01", "2024-02-29", fields="close")
        assert list(one.index.levels[0]) == ["000002.XSHE"]
        assert len(one.index.levels[1]) == len(one)
