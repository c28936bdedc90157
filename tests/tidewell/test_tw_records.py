"""instruments, style exposures, signals and the industry queries of client.execute."""

import numpy as np
import pandas as pd
import pytest

import tidewell
from tidewell import client
from tidewell.schema import STYLE_FACTORS


# -- instruments -----------------------------------------------------------------------------
def test_instrument_record(tw_small):
    ins = tidewell.instruments("000001.XSHE")
    assert ins.order_book_id == "000001.XSHE"
    assert ins.type == "CS" and ins["type"] == "CS"
    assert ins.exchange == "XSHE"
    assert isinstance(ins.listed_date, pd.Timestamp)
    assert ins.de_listed_date is None
    assert isinstance(ins.symbol, str) and ins.symbol
    assert set(ins.to_dict()) >= {"order_book_id", "symbol", "type", "exchange", "listed_date",
                                  "de_listed_date"}
    idx = tidewell.instruments("000905.XSHG")
    assert idx.type == "INDX"


def test_instruments_unknown_and_lists(tw_small):
    assert tidewell.instruments("600000.XSHX") is None
    recs = tidewell.instruments(["000300.XSHG", "nope", "000001.XSHE"])
    assert [r.order_book_id for r in recs] == ["000300.XSHG", "000001.XSHE"]


def test_all_instruments(tw_small):
    df = tidewell.all_instruments()
    assert set(df["type"]) == {"CS", "INDX"}
    assert len(tidewell.all_instruments(type="INDX")) == 2
    cs = tidewell.all_instruments(type="CS")
    assert len(cs) == 40
    assert all(i.endswith((".XSHE", ".XSHG")) for i in cs["order_book_id"])
    alive = tidewell.all_instruments(type="CS", date="2023-01-03")
    assert len(alive) < len(cs)  # some list later in the window


# -- style exposures -------------------------------------------------------------------------
def test_style_exposure_shape(tw_small):
    ids = tidewell.all_instruments(type="CS")["order_book_id"].tolist()[:6]
    df = tidewell.get_style_factor_exposure(order_book_ids=ids, start_date="2024-03-01",
                                            end_date="2024-03-29", factors=None)
    assert list(df.columns) == list(STYLE_FACTORS)
    assert df.index.names == ["order_book_id", "date"]
    assert len(STYLE_FACTORS) == 10
    # the reshaping Neutralization does
    wide = df.unstack("order_book_id")
    tds = tidewell.get_trading_dates("2024-03-01", "2024-03-29")
    wide = wide.reindex(tds)
    assert wide["beta"].shape == (len(tds), len(set(df.index.get_level_values(0))))
    assert df.notna().all().all()


def test_style_exposure_selection(tw_small):
    df = tidewell.get_style_factor_exposure("000001.XSHE", "2024-03-01", "2024-03-29",
                                            factors=["size", "beta"])
    assert list(df.columns) == ["size", "beta"]
    one = tidewell.get_style_factor_exposure("000001.XSHE", "2024-03-01", "2024-03-29", factors="size")
    assert list(one.columns) == ["size"]
    with pytest.raises(ValueError, match="factors"):
        tidewell.get_style_factor_exposure("000001.XSHE", "2024-03-01", "2024-03-29", factors=["value"])
    with pytest.raises(ValueError, match="start_date"):
        tidewell.get_style_factor_exposure("000001.XSHE", "2024-03-29", "2024-03-01")
    assert tidewell.get_style_factor_exposure("nope", "2024-03-01", "2024-03-29") is None


# -- signals ---------------------------------------------------------------------------------
def test_signal_table(tw_small):
    s = tidewell.get_signal(None, "2024-01-02", "2024-03-29")
    assert s.index.name == "date" and s.columns.name == "order_book_id"
    assert isinstance(s.index, pd.DatetimeIndex)
    assert s.index.isin(tidewell.get_trading_dates("2024-01-02", "2024-03-29")).all()
    n = tidewell.get_signal(["000001.XSHE"], "2024-01-02", "2024-03-29", name="noise")
    assert list(n.columns) == ["000001.XSHE"]
    with pytest.raises(ValueError, match="name"):
        tidewell.get_signal(None, "2024-01-02", "2024-03-29", name="alpha")


def test_planted_signal_predicts_five_day_returns(tw_medium_path):
    """Rank IC of the planted signal on date t against close(t) -> close(t+5), as ICAnalysis
    computes it, lies in a sane band and clearly above a noise factor's."""
    from scipy import stats
    with tidewell.using(tw_medium_path):
        ids = tidewell.all_instruments(type="CS")["order_book_id"].tolist()
        close = tidewell.get_price(ids, None, None, fields="close", adjust_type="post")["close"].unstack(0)
        returns = close.ffill().pct_change().iloc[1:]
        cumprod = (returns.fillna(0) + 1).cumprod().ffill()
        fwd = (cumprod.shift(-5) / cumprod) - 1
        fwd = fwd.where(returns.notna())
        out = {}
        for name in ("planted", "noise"):
            sig = tidewell.get_signal(ids, None, None, name=name).reindex(
                index=returns.index, columns=returns.columns)
            ics = []
            for t in range(0, len(returns) - 5, 3):
                f, r = sig.iloc[t].to_numpy(), fwd.iloc[t].to_numpy()
                m = ~(np.isnan(f) | np.isnan(r))
                if m.sum() > 30:
                    ics.append(stats.spearmanr(f[m], r[m])[0])
            out[name] = float(np.mean(ics))
    assert 0.025 < out["planted"] < 0.08, out
    assert abs(out["noise"]) < 0.012, out
    assert out["planted"] > out["noise"] + 0.02


# -- industry classification ------------------------------------------------------------------
CITICS_COLS = ["first_industry_name", "order_book_id", "start_date"]
SWS_COLS = ["index_name", "order_book_id", "start_date", "version"]


def _sws_table():
    data = client.get_client().execute("__internal__shenwan_industry")
    df = pd.DataFrame(data, columns=SWS_COLS)
    df["select"] = 1
    df.loc[df["start_date"] > pd.Timestamp("2014-01-01"), "select"] = 2
    df.loc[df["start_date"] > pd.Timestamp("2021-07-31"), "select"] = 3
    df = df[df["version"] == df["select"]]
    df = df.sort_values(["order_book_id", "start_date"])
    return df[["index_name", "order_book_id", "start_date"]]


def _citics_table():
    data = client.get_client().execute("__internal__zx2019_industry")
    df = pd.DataFrame(data, columns=CITICS_COLS)
    return df.sort_values(["order_book_id", "start_date"])


def test_execute_records_build_the_tables(tw_small):
    c = client.get_client().execute("__internal__zx2019_industry")
    assert isinstance(c, list) and isinstance(c[0], dict)
    df = pd.DataFrame(c, columns=CITICS_COLS)
    assert list(df.columns) == CITICS_COLS
    assert df.notna().all().all()
    assert all(isinstance(v, pd.Timestamp) for v in df["start_date"])
    assert df["first_industry_name"].nunique() > 10
    s = pd.DataFrame(client.get_client().execute("__internal__shenwan_industry"), columns=SWS_COLS)
    assert set(s["version"]) == {1, 2, 3}
    assert all(isinstance(v, int) for v in s["version"].tolist())


def test_unknown_query_raises(tw_small):
    with pytest.raises(ValueError, match="unknown query"):
        client.get_client().execute("__internal__gics_industry")


def test_sws_version_boundaries(tw_small):
    s = pd.DataFrame(client.get_client().execute("__internal__shenwan_industry"), columns=SWS_COLS)
    on_v2 = s[s["start_date"] == pd.Timestamp("2014-01-01")]
    on_v3 = s[s["start_date"] == pd.Timestamp("2021-07-31")]
    assert sorted(on_v2["version"]) == [1, 2]
    assert sorted(on_v3["version"]) == [2, 3]
    kept = _sws_table()
    k2 = kept[kept["start_date"] == pd.Timestamp("2014-01-01")]
    k3 = kept[kept["start_date"] == pd.Timestamp("2021-07-31")]
    assert len(k2) == 1 and len(k3) == 1
    # the kept records are the in-force versions (version 1 / 2 names)
    v1_name = on_v2[on_v2["version"] == 1]["index_name"].iloc[0]
    v2_name = on_v3[on_v3["version"] == 2]["index_name"].iloc[0]
    assert k2["index_name"].iloc[0] == v1_name and k3["index_name"].iloc[0] == v2_name
    # records of later versions that start before their version is in force exist, and drop
    early = s[(s["version"] == 3) & (s["start_date"] <= pd.Timestamp("2021-07-31"))]
    assert len(early) >= 1
    assert not kept.duplicated(["order_book_id", "start_date"]).any()


@pytest.mark.parametrize("source", ["citics_2019", "sws"])
def test_industry_tables_are_built_from_the_records(tw_small, source):
    """A transcription of get_all_industry_category and _load_industry_data."""
    field = "first_industry_name" if source == "citics_2019" else "index_name"
    rec = _citics_table() if source == "citics_2019" else _sws_table()
    # get_all_industry_category
    df = rec.copy()
    df[field] = df[field].astype("category").cat.codes
    cat = df.pivot(index="start_date", columns="order_book_id", values=field)
    cat.ffill(inplace=True)
    cat.bfill(inplace=True)
    cat = cat.astype(int)
    assert (cat.values >= 0).all()
    # _load_industry_data
    wide = rec.pivot(index="start_date", columns="order_book_id", values=field)
    tds = tidewell.get_trading_dates(wide.index[0], wide.index[-1])
    dropped = set(wide.index) - set(tds)
    if source == "citics_2019":
        assert not dropped          # every CITICS start date is a trading date
    else:
        assert dropped == {pd.Timestamp("2014-01-01"), pd.Timestamp("2021-07-31")}
    wide = wide.reindex(tds)
    wide.ffill(inplace=True)
    wide.bfill(inplace=True)
    ids = tidewell.all_instruments(type="CS")["order_book_id"].tolist()
    dates = tidewell.get_trading_dates("2023-01-03", "2024-12-31")
    out = wide.reindex(columns=ids, index=dates).stack().dropna()
    assert out.index.nlevels == 2
    assert len(out) == len(ids) * len(dates)  # every stock classified on every window date
    # the classification's last start date is the last bar date, so no data date loses its
    # industry in this reindexing
    assert rec["start_date"].max() == pd.Timestamp("2024-12-31")


def test_every_stock_is_classified_from_its_listing(tw_small):
    rec = _citics_table()
    first = rec.groupby("order_book_id")["start_date"].min()
    inst = tidewell.all_instruments(type="CS").set_index("order_book_id")
    assert set(first.index) == set(inst.index)
    assert (first.loc[inst.index] <= inst["listed_date"]).all()


def test_industries_change_over_time(tw_small):
    rec = _citics_table()
    counts = rec.groupby("order_book_id").size()
    assert (counts > 1).any()
    changes = rec[rec.duplicated("order_book_id", keep="first")]
    assert (changes["start_date"] >= pd.Timestamp("2023-01-03")).any()


# -- index membership and research factors (the docstring example of the engine) --------------
def test_index_components(tw_small):
    members = tidewell.index_components("000300.XSHG")
    assert members == sorted(members) and len(members) == 20
    others = tidewell.index_components("000905.XSHG", "2024-06-03")
    assert not set(members) & set(others)
    inst = tidewell.all_instruments(type="CS", date="2024-06-03")
    assert set(others) <= set(inst["order_book_id"])
    assert tidewell.index_components("000001.XSHE") == []
    with pytest.raises(ValueError, match="order_book_id"):
        tidewell.index_components(["000300.XSHG"])


def test_get_factor_as_in_the_engine_docstring(tw_small):
    ids = tidewell.index_components("000300.XSHG")
    factor = tidewell.get_factor(ids, "pb_ratio", "2024-01-02", "2024-06-28")
    assert factor.index.names == ["order_book_id", "date"]
    wide = factor["pb_ratio"].unstack("order_book_id")
    assert isinstance(wide.index, pd.DatetimeIndex)
    assert (wide.stack().dropna() > 0).all()
    both = tidewell.get_factor(ids[:3], ["planted", "size"], "2024-01-02", "2024-01-31")
    assert list(both.columns) == ["planted", "size"]
    sig = tidewell.get_signal(ids[:3], "2024-01-02", "2024-01-31")
    assert np.allclose(both["planted"].unstack("order_book_id").reindex_like(sig), sig, equal_nan=True)
    with pytest.raises(ValueError, match="factor"):
        tidewell.get_factor(ids, "roe", "2024-01-02", "2024-06-28")
    assert "pb_ratio" in tidewell.factor_names()
