"""A store that stays consistent: the integrity rules (by a fresh import, by --replace, by
`tidewell check`), the exchange calendar of stores without one, encodings, id spellings, column
mapping, DataFrame imports and the command's messages."""

import os
import shutil

import duckdb
import numpy as np
import pandas as pd
import pytest

import tidewell
from tidewell import calendars
from tidewell.cli import main
from tidewell.importer import TidewellImportError, import_files, import_frames


SESSIONS = calendars.sessions("2024-01-01", "2024-03-31")


def _frames():
    """A tiny market: two stocks and an index over Q1 2024, a stock listed and delisted inside."""
    inst = pd.DataFrame({
        "order_book_id": ["000001.XSHE", "600000.XSHG", "000300.XSHG", "300999.XSHE"],
        "symbol": ["平安银行", "浦发银行", "沪深300", "新股"],
        "type": ["CS", "CS", "INDX", "CS"],
        "exchange": ["XSHE", "XSHG", "XSHG", "XSHE"],
        "listed_date": ["1991-04-03", "1999-11-10", "2005-04-08", "2024-02-01"],
        "de_listed_date": [None, None, None, "2024-03-01"],
    })
    rows = []
    for oid, lo, hi in [("000001.XSHE", "2024-01-01", "2024-03-31"),
                        ("600000.XSHG", "2024-01-01", "2024-03-31"),
                        ("000300.XSHG", "2024-01-01", "2024-03-31"),
                        ("300999.XSHE", "2024-02-01", "2024-02-29")]:
        for i, d in enumerate(SESSIONS[(SESSIONS >= lo) & (SESSIONS <= hi)]):
            rows.append((oid, d.strftime("%Y-%m-%d"), 10.0 + i * 0.1))
    bars = pd.DataFrame(rows, columns=["order_book_id", "date", "close"])
    citics = pd.DataFrame({"first_industry_name": ["银行", "银行"],
                           "order_book_id": ["000001.XSHE", "600000.XSHG"],
                           "start_date": ["2019-01-02", "2019-01-02"]})
    members = pd.DataFrame({"index_id": ["000300.XSHG"] * 2,
                            "order_book_id": ["000001.XSHE", "600000.XSHG"],
                            "in_date": ["2024-01-02"] * 2})
    cal = pd.DataFrame({"date": calendars.sessions("2023-06-01", "2025-06-30").strftime("%Y-%m-%d")})
    return {"instruments": inst, "daily_bars": bars, "industry_citics_2019": citics,
            "index_components": members, "trading_calendar": cal}


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    """The tiny market as a store (built once) and its frames."""
    path = str(tmp_path_factory.mktemp("tiny") / "tiny.duckdb")
    import_frames(path, **_frames())
    return path


def _bytes(path):
    with open(path, "rb") as f:
        return f.read()


def _copy(src, folder, name="store.duckdb"):
    dst = str(folder / name)
    shutil.copy(src, dst)
    return dst


# each rule: (mutate the frames of a fresh import, files of a --replace import, SQL that breaks a store)
def _type(f):
    f["instruments"].loc[1, "type"] = "STOCK"


def _exchange(f):
    f["instruments"].loc[1, "exchange"] = "NASDAQ"


def _dates(f):
    f["instruments"].loc[3, "de_listed_date"] = "2024-01-15"


def _unknown(f):
    f["daily_bars"].loc[5, "order_book_id"] = "000002.XSHE"


def _span(f):
    f["instruments"].loc[0, "listed_date"] = "2024-02-15"


def _reach(f):
    f["trading_calendar"] = f["trading_calendar"][f["trading_calendar"]["date"] <= "2024-02-29"]


def _holiday(f):
    f["daily_bars"].loc[3, "date"] = "2024-01-06"     # a Saturday


RULES = {
    "instrument-type": (_type, "instruments", "UPDATE instruments SET type = 'STOCK' WHERE order_book_id = '600000.XSHG'"),
    "instrument-exchange": (_exchange, "instruments", "UPDATE instruments SET exchange = 'NASDAQ' WHERE order_book_id = '600000.XSHG'"),
    "instrument-dates": (_dates, "instruments", "UPDATE instruments SET de_listed_date = DATE '2024-01-15' WHERE order_book_id = '300999.XSHE'"),
    "known-instrument": (_unknown, "instruments", "DELETE FROM instruments WHERE order_book_id = '600000.XSHG'"),
    "listed-span": (_span, "instruments", "UPDATE instruments SET listed_date = DATE '2024-02-15' WHERE order_book_id = '000001.XSHE'"),
    "calendar-reach": (_reach, "trading_calendar", "DELETE FROM trading_calendar WHERE date > DATE '2024-02-29'"),
    "trading-date": (None, "trading_calendar", "DELETE FROM trading_calendar WHERE date = DATE '2024-01-10'"),
}


@pytest.mark.parametrize("rule", list(RULES))
def test_each_rule_refuses_a_fresh_import(rule, tmp_path):
    mutate = RULES[rule][0] or _holiday
    frames = _frames()
    mutate(frames)
    folder = tmp_path / "out"
    folder.mkdir()
    paths = {}
    for name, df in frames.items():
        paths[name] = str(folder / "{}.csv".format(name))
        df.to_csv(paths[name], index=False)
    store = str(tmp_path / "fresh.duckdb")
    with pytest.raises(TidewellImportError) as e:
        import_files(store, paths)
    err = e.value
    assert err.rule == rule, str(err)
    assert "rule {}".format(rule) in str(err) and ".csv, row " in str(err)
    assert err.file is not None and err.row is not None
    assert not os.path.exists(store)
    assert [f for f in os.listdir(tmp_path) if f.startswith(".tidewell-")] == []


def _replacement(rule, tiny, folder):
    """The file a --replace import of ``rule``'s table breaks the store with."""
    table = RULES[rule][1]
    frames = _frames()
    if rule == "known-instrument":
        frames["instruments"] = frames["instruments"][frames["instruments"]["order_book_id"] != "600000.XSHG"]
    elif rule == "trading-date":
        cal = frames["trading_calendar"]
        frames["trading_calendar"] = cal[cal["date"] != "2024-01-10"]
    else:
        RULES[rule][0](frames)
    p = str(folder / "mine.csv")
    frames[table].to_csv(p, index=False)
    return "{}={}".format(table, p)


@pytest.mark.parametrize("rule", list(RULES))
def test_each_rule_refuses_a_replace_and_check_reports_it(rule, tiny, tmp_path, capsys):
    store = _copy(tiny, tmp_path)
    before = _bytes(store)
    assert main(["import", store, "--replace", _replacement(rule, tiny, tmp_path)]) == 1
    err = capsys.readouterr().err
    assert "rule {}".format(rule) in err and "mine.csv" in err and "Traceback" not in err
    assert "nothing was imported" in err
    assert _bytes(store) == before                      # byte for byte
    assert not os.path.exists(store + ".wal")
    # the same violation written behind tidewell's back: `tidewell check` reports it
    assert main(["check", store]) == 0
    assert "ok" in capsys.readouterr().out
    con = duckdb.connect(store)
    con.execute(RULES[rule][2])
    con.close()
    assert main(["check", store]) == 1
    out = capsys.readouterr().out
    assert "[{}]".format(rule) in out
    result = tidewell.check(store)
    assert not result["ok"] and [v["rule"] for v in result["violations"]][0] == rule


def test_check_reports_every_violation_and_json(tiny, tmp_path, capsys):
    store = _copy(tiny, tmp_path)
    con = duckdb.connect(store)
    con.execute("UPDATE instruments SET type = 'STOCK' WHERE order_book_id = '000001.XSHE'")
    for rule in ("known-instrument", "calendar-reach"):
        con.execute(RULES[rule][2])
    con.close()
    assert main(["check", store, "--json"]) == 1
    import json
    report = json.loads(capsys.readouterr().out)
    rules = {v["rule"] for v in report["violations"]}
    assert {"instrument-type", "known-instrument", "calendar-reach", "trading-date"} <= rules
    bad = [v for v in report["violations"] if v["rule"] == "known-instrument" and v["table"] == "daily_bars"][0]
    assert bad["example"]["order_book_id"] == "600000.XSHG" and bad["rows"] == len(SESSIONS)


def test_the_demo_store_passes_check(tw_small_path):
    assert tidewell.check(tw_small_path)["ok"]


# -- calendars ---------------------------------------------------------------------------------
def test_a_store_without_calendar_takes_the_exchange_sessions(tmp_path):
    f = _frames()
    store = str(tmp_path / "nocal.duckdb")
    counts = import_frames(store, instruments=f["instruments"], daily_bars=f["daily_bars"])
    assert counts["trading_calendar (XSHG sessions)"] > 250
    with tidewell.using(store):
        feb = tidewell.get_trading_dates("2024-02-01", "2024-02-29")
        # Spring Festival 2024: closed 9 to 16 February
        assert pd.Timestamp("2024-02-08") in feb and pd.Timestamp("2024-02-19") in feb
        assert not any(pd.Timestamp("2024-02-{:02d}".format(d)) in feb for d in range(9, 19))
        # National Day 2024: closed 1 to 7 October
        assert tidewell.get_next_trading_date("2024-09-30") == pd.Timestamp("2024-10-08")
        # at least a year after the last bar, from before the first
        assert tidewell.get_trading_dates("2025-03-28", "2025-03-28").size == 1   # last bar + 364 d
        assert tidewell.get_previous_trading_date("2024-01-02") == pd.Timestamp("2023-12-29")
    assert tidewell.info(store)["metadata"]["trading_calendar"].startswith("XSHG")
    # later bars extend the generated calendar; a bar on a holiday is refused
    later = pd.DataFrame({"order_book_id": ["000001.XSHE"] * 2, "date": ["2025-09-30", "2025-10-09"],
                          "close": [11.0, 11.5]})
    import_frames(store, daily_bars=later)
    with tidewell.using(store):
        assert tidewell.get_trading_dates("2026-09-01", "2026-09-30").size > 15
    with pytest.raises(TidewellImportError) as e:
        import_frames(store, daily_bars=pd.DataFrame({"order_book_id": ["000001.XSHE"],
                                                      "date": ["2025-10-02"], "close": [11.2]}))
    assert e.value.rule == "trading-date" and "exchange_calendars" in str(e.value)
    # an imported calendar overrides it
    import_frames(store, trading_calendar=pd.DataFrame({"date": calendars.sessions("2023-01-01", "2027-01-05")}),
                  replace=True)
    assert tidewell.info(store)["metadata"]["trading_calendar"] == "imported"
    with tidewell.using(store):
        assert tidewell.get_trading_dates("2027-01-04", "2027-01-05").size == 2


def test_a_store_without_calendar_runs_a_factor_to_its_last_bar(tmp_path):
    """Every bar date can be a factor date: the calendar reaches past the last bar, so the
    engine finds the trading dates its forward returns need (the prices themselves end)."""
    from sigmora.analysis.varodyne import FactorVarodyne, ICAnalysis
    rng = np.random.default_rng(5)
    dates = calendars.sessions("2024-01-02", "2024-04-30")
    ids = ["6000{:02d}.XSHG".format(i) for i in range(30)]
    inst = pd.DataFrame({"order_book_id": ids, "symbol": ids, "type": "CS", "exchange": "XSHG",
                         "listed_date": "2010-01-04"})
    close = 10.0 * np.cumprod(1.0 + 0.02 * rng.standard_normal((len(dates), len(ids))), axis=0)
    bars = pd.DataFrame({"order_book_id": np.repeat(ids, len(dates)),
                         "date": np.tile(dates.strftime("%Y%m%d"), len(ids)),
                         "close": np.round(close.T.ravel(), 2)})
    store = str(tmp_path / "mine.duckdb")
    import_frames(store, instruments=inst, daily_bars=bars)
    with tidewell.using(store):
        bar_dates = tidewell.get_price(ids, None, None, fields="close").index.get_level_values("date").unique()
        factor = pd.DataFrame(rng.standard_normal((len(bar_dates), len(ids))), index=bar_dates, columns=ids)
        assert factor.index[-1] == dates[-1]
        engine = FactorVarodyne()
        engine.append(("ic", ICAnalysis()))
        result = engine.analysis(factor, "daily", periods=1)
    assert "ic" in result


# -- encodings ---------------------------------------------------------------------------------
@pytest.mark.parametrize("encoding, option", [("gbk", None), ("gb18030", None), ("gbk", "gbk"),
                                              ("utf-8-sig", None), ("utf-8", None)])
def test_chinese_industry_names_in_any_common_encoding(tiny, tmp_path, encoding, option, capsys):
    store = _copy(tiny, tmp_path)
    p = str(tmp_path / "industry_sws.csv")
    text = ("index_name,order_book_id,start_date,version\n"
            "银行,000001.XSHE,2014-01-02,2\n非银金融,600000.XSHG,2014-01-02,2\n")
    with open(p, "wb") as f:
        f.write(text.encode(encoding))
    args = ["import", store, p] + (["--encoding", option] if option else [])
    assert main(args) == 0, capsys.readouterr().err
    with tidewell.using(store):
        recs = tidewell.client.get_client().execute("__internal__shenwan_industry")
    assert [r["index_name"] for r in recs] == ["银行", "非银金融"]


def test_a_decoding_error_names_file_line_and_encoding(tiny, tmp_path, capsys):
    store = _copy(tiny, tmp_path)
    before = _bytes(store)
    p = str(tmp_path / "industry_sws.csv")
    with open(p, "wb") as f:
        f.write("index_name,order_book_id,start_date,version\n".encode())
        f.write("银行,000001.XSHE,2014-01-02,2\n".encode("gbk"))
    # told to read UTF-8: the error names the file, line 2, the encoding, and the option
    assert main(["import", store, p, "--encoding", "utf-8"]) == 1
    err = capsys.readouterr().err
    assert "industry_sws.csv, line 2" in err and "utf-8" in err and "--encoding" in err
    # bytes neither UTF-8 nor GB18030 can read
    with open(p, "wb") as f:
        f.write(b"index_name,order_book_id,start_date,version\n\xff\xfe\x80,000001.XSHE,2014-01-02,2\n")
    with pytest.raises(TidewellImportError) as e:
        import_files(store, [p])
    msg = str(e.value)
    assert "line 2" in msg and "utf-8" in msg and "gb18030" in msg and "--encoding" in msg
    assert main(["import", store, p, "--encoding", "klingon"]) == 1
    assert "unknown encoding" in capsys.readouterr().err
    assert _bytes(store) == before


# -- ids, columns and dates --------------------------------------------------------------------
@pytest.mark.parametrize("given, stored", [
    ("000001.XSHE", "000001.XSHE"), ("000001.SZ", "000001.XSHE"), ("000001.sz", "000001.XSHE"),
    ("sz000001", "000001.XSHE"), ("SZ000001", "000001.XSHE"), ("sz.000001", "000001.XSHE"),
    ("000001", "000001.XSHE"), ("600000.SH", "600000.XSHG"), ("600000.SS", "600000.XSHG"),
    ("sh600000", "600000.XSHG"), ("600000", "600000.XSHG"), ("688981", "688981.XSHG"),
    ("300750", "300750.XSHE"), ("430047.BJ", "430047.BJSE"), ("bj430047", "430047.BJSE"),
    ("830799", "830799.BJSE"), ("510300", "510300.XSHG"), ("159915", "159915.XSHE"),
    ("399001", "399001.XSHE"),
])
def test_id_spellings(given, stored):
    assert tidewell.ids.normalize(given)[0] == stored


@pytest.mark.parametrize("given", ["123456", "000001.NQ", "xx000001", "00001.SZ", "AAPL", "sh000001.SZ"])
def test_unreadable_ids_are_refused(given, tmp_path):
    inst = _frames()["instruments"]
    inst.loc[0, "order_book_id"] = given
    with pytest.raises(TidewellImportError) as e:
        import_frames(str(tmp_path / "s.duckdb"), instruments=inst)
    assert e.value.column == "order_book_id" and e.value.row == 1 and repr(given) in str(e.value)


def test_ids_in_files_are_stored_in_tidewells_spelling(tmp_path):
    f = _frames()
    inst, bars = f["instruments"], f["daily_bars"]
    inst["order_book_id"] = ["sz000001", "600000.SH", "000300", "SZ300999"]     # 000300 typed INDX
    spell = {"000001.XSHE": "000001.SZ", "600000.XSHG": "sh600000", "000300.XSHG": "000300",
             "300999.XSHE": "300999"}
    bars["order_book_id"] = bars["order_book_id"].map(spell)
    members = f["index_components"].assign(index_id="000300", order_book_id=["000001", "600000"])
    store = str(tmp_path / "s.duckdb")
    import_frames(store, instruments=inst, daily_bars=bars, index_components=members)
    with tidewell.using(store):
        assert tidewell.instruments("000300.XSHG").type == "INDX"
        assert tidewell.index_components("000300.XSHG", "2024-03-01") == ["000001.XSHE", "600000.XSHG"]
        px = tidewell.get_price(["000001.XSHE", "000300.XSHG", "300999.XSHE", "600000.XSHG"],
                                "2024-01-02", "2024-03-29", fields="close")
        assert sorted(px.index.get_level_values(0).unique()) == [
            "000001.XSHE", "000300.XSHG", "300999.XSHE", "600000.XSHG"]


def test_an_ambiguous_bare_code_is_refused(tmp_path):
    f = _frames()
    inst = pd.concat([f["instruments"], pd.DataFrame({
        "order_book_id": ["000001.XSHG"], "symbol": ["上证指数"], "type": ["INDX"],
        "exchange": ["XSHG"], "listed_date": ["1991-07-15"]})], ignore_index=True)
    bars = f["daily_bars"].copy()
    bars.loc[2, "order_book_id"] = "000001"
    with pytest.raises(TidewellImportError) as e:
        import_frames(str(tmp_path / "s.duckdb"), instruments=inst, daily_bars=bars)
    assert "ambiguous" in str(e.value) and e.value.row == 3 and "000001.SZ" in str(e.value)


def test_columns_mapping_and_date_formats(tiny, tmp_path, capsys):
    """A Tushare-style daily file: ts_code, trade_date as yyyymmdd, extra columns dropped."""
    store = _copy(tiny, tmp_path)
    p = str(tmp_path / "prices.csv")
    pd.DataFrame({"ts_code": ["000001.SZ", "600000.SH"], "trade_date": ["20240401", "20240401"],
                  "open": [10.0, 7.0], "close": [10.2, 7.1], "pre_close": [10.0, 7.0],
                  "vol": [1000.0, 2000.0], "amount": [10200.0, 14200.0]}).to_csv(p, index=False)
    assert main(["import", store, "daily_bars=" + p, "--columns",
                 "ts_code=order_book_id,trade_date=date,vol=volume,amount=total_turnover,pre_close="]) == 0, \
        capsys.readouterr().err
    q = str(tmp_path / "more.csv")
    pd.DataFrame({"order_book_id": ["000001.XSHE"], "date": ["2024/4/2"], "close": [10.3]}).to_csv(q, index=False)
    assert main(["import", store, "daily_bars=" + q]) == 0
    with tidewell.using(store):
        px = tidewell.get_price("000001.XSHE", "2024-04-01", "2024-04-02", fields=["close", "volume"],
                                adjust_type="none")
    assert px["close"].tolist() == [10.2, 10.3] and px["volume"].iloc[0] == 1000.0
    # a mapping that matches no column, and an unmapped extra column, are refused with a hint
    assert main(["import", store, "daily_bars=" + p, "--columns", "tradedate=date"]) == 1
    err = capsys.readouterr().err
    assert "unknown columns 'ts_code', 'trade_date', 'pre_close', 'vol', 'amount'" in err and "--columns" in err
    assert main(["import", store, "daily_bars=" + p, "--columns",
                 "ts_code=order_book_id,trade_date=date,vol=volume,amount=total_turnover,pre_close=,x=y"]) == 1
    assert "no file has a column 'x'" in capsys.readouterr().err


def test_import_frames_validates_like_files(tiny, tmp_path):
    store = _copy(tiny, tmp_path)
    before = _bytes(store)
    bars = pd.DataFrame({"order_book_id": ["000001.XSHE", "000001.XSHE"],
                         "date": pd.to_datetime(["2024-04-01", "2024-04-02"]), "close": [10.0, -1.0]})
    with pytest.raises(TidewellImportError) as e:
        tidewell.import_frames(store, daily_bars=bars)
    assert e.value.row == 2 and e.value.column == "close" and "<daily_bars DataFrame>" in str(e.value)
    assert _bytes(store) == before
    with pytest.raises(TidewellImportError, match="unknown table 'prices'"):
        tidewell.import_frames(store, prices=bars)
    counts = tidewell.import_frames(store, daily_bars=bars.iloc[:1])
    assert counts == {"daily_bars": 1}


# -- messages and commands ---------------------------------------------------------------------
def test_command_messages(tiny, tmp_path, capsys):
    store = _copy(tiny, tmp_path)
    p = str(tmp_path / "prices.csv")
    _frames()["daily_bars"].iloc[:2].to_csv(p, index=False)
    assert main(["import", store, "bars=" + p]) == 1
    err = capsys.readouterr().err
    assert "unknown table 'bars'" in err and "daily_bars" in err and "cannot tell" not in err
    assert main(["import", store, "daily_bars=" + p]) == 1
    assert "use --replace" in capsys.readouterr().err
    with pytest.raises(SystemExit) as e:
        main(["--version"])
    assert e.value.code == 0 and capsys.readouterr().out.strip() == "tidewell " + tidewell.__version__
    # every option of every command has a help text
    parser = __import__("tidewell.cli", fromlist=["_parser"])._parser()
    subs = [a for a in parser._actions if a.__class__.__name__ == "_SubParsersAction"][0]
    for name, sub in subs.choices.items():
        for action in sub._actions:
            if action.dest != "help":
                assert action.help, (name, action.dest)


def test_sigmora_demo_on_a_store_of_other_data(tiny):
    import io
    from sigmora.cli import main as sigmora_main
    out, err = io.StringIO(), io.StringIO()
    prev = tidewell.init(None)
    try:
        assert sigmora_main(["demo", "--store", tiny, "--quiet"], out=out, err=err) == 2
    finally:
        tidewell.init(prev)
    msg = err.getvalue()
    assert "the demo needs a demo store" in msg and "sigmora run FACTOR_FILE --store " + tiny in msg
    assert "unknown signal" not in msg
