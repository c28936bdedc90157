import duckdb
import numpy as np
import pandas as pd
import pytest

import tidewell


def _raw(store, sql, *params):
    con = duckdb.connect(store, read_only=True)
    try:
        return con.execute(sql, list(params)).df()
    finally:
        con.close()


def _stocks():
    return tidewell.all_instruments(type="CS")["order_book_id"].tolist()


def test_daily_shape_and_index(tw_small):
    ids = _stocks()[:5]
    df = tidewell.get_price(ids, "2024-01-01", "2024-03-31", fields="close", adjust_type="post")
    assert isinstance(df, pd.DataFrame)
    assert list(df.columns) == ["close"]
    assert df.index.names == ["order_book_id", "date"]
    assert isinstance(df.index.levels[1], pd.DatetimeIndex)
    assert df.index.is_monotonic_increasing
    assert set(df.index.get_level_values(0)) <= set(ids)
    tds = tidewell.get_trading_dates("2024-01-01", "2024-03-31")
    assert set(df.index.get_level_values(1)) <= set(tds)
    wide = df["close"].unstack(0)
    assert wide.index.isin(tds).all()
    assert (wide.stack().dropna() > 0).all()
    assert df["close"].dtype == np.float64


def test_pipeline_call_shape(tw_small):
    """The engine's call, with a column index as ids."""
    cols = pd.Index(_stocks()[:8], name="order_book_id")
    start = tidewell.get_previous_trading_date("2024-02-01")
    end = tidewell.get_next_trading_date("2024-06-28", 10)
    df = tidewell.get_price(order_book_ids=cols, start_date=start, end_date=end, fields="close",
                            adjust_type="post", expect_df=True)
    returns = df["close"].unstack(0).ffill().pct_change().iloc[1:]
    assert returns.index[0] == pd.Timestamp("2024-02-01")
    assert returns.index[-1] <= end


def test_all_fields_and_field_lists(tw_small):
    oid = _stocks()[0]
    df = tidewell.get_price(oid, "2024-01-02", "2024-01-31")
    assert list(df.columns) == ["open", "high", "low", "close", "volume", "total_turnover"]
    df2 = tidewell.get_price([oid], "2024-01-02", "2024-01-31", fields=["close", "open"])
    assert list(df2.columns) == ["close", "open"]
    assert np.allclose(df2["close"], df["close"])
    assert (df["low"] <= df[["open", "close"]].min(axis=1) + 1e-9).all()
    assert (df["high"] >= df[["open", "close"]].max(axis=1) - 1e-9).all()


def test_dates_of_every_kind(tw_small):
    import datetime as dt
    oid = _stocks()[0]
    a = tidewell.get_price(oid, "2024-03-01", "2024-03-29", fields="close")
    b = tidewell.get_price(oid, dt.date(2024, 3, 1), np.datetime64("2024-03-29"), fields="close")
    c = tidewell.get_price(oid, pd.Timestamp("2024-03-01"), dt.datetime(2024, 3, 29, 15), fields="close")
    pd.testing.assert_frame_equal(a, b)
    pd.testing.assert_frame_equal(a, c)


def test_adjustment_types(tw_small):
    oid = "000001.XSHE"
    raw = _raw(tw_small, "SELECT date, close, adj_factor FROM daily_bars WHERE order_book_id = ? "
                      "ORDER BY date", oid)
    latest = raw["adj_factor"].iloc[-1]
    none = tidewell.get_price(oid, None, None, fields="close", adjust_type="none")["close"].to_numpy()
    post = tidewell.get_price(oid, None, None, fields="close", adjust_type="post")["close"].to_numpy()
    pre = tidewell.get_price(oid, None, None, fields="close")["close"].to_numpy()  # default pre
    assert np.allclose(none, raw["close"])
    assert np.allclose(post, raw["close"] * raw["adj_factor"])
    assert np.allclose(pre, raw["close"] * raw["adj_factor"] / latest)
    assert np.isclose(pre[-1], none[-1])
    # pre and post differ by a constant ratio, so their relative changes agree
    assert np.allclose(pd.Series(pre).pct_change().iloc[1:], pd.Series(post).pct_change().iloc[1:])


def test_post_prices_include_corporate_actions(tw_small):
    """Across an ex-date raw prices drop; post-adjusted ones continue the return path."""
    bars = _raw(tw_small, "SELECT order_book_id, date, close, adj_factor FROM daily_bars "
                       "WHERE order_book_id IN (SELECT order_book_id FROM instruments WHERE type='CS') "
                       "ORDER BY order_book_id, date")
    bars["jump"] = bars.groupby("order_book_id")["adj_factor"].pct_change()
    events = bars[bars["jump"] > 0.2]  # splits
    assert len(events) > 0, "the demo should contain splits"
    ev = events.iloc[0]
    oid, date = ev["order_book_id"], ev["date"]
    prev = tidewell.get_previous_trading_date(date)
    raw = tidewell.get_price(oid, prev, date, fields="close", adjust_type="none")["close"]
    post = tidewell.get_price(oid, prev, date, fields="close", adjust_type="post")["close"]
    if len(raw) == 2:
        raw_ret = raw.iloc[1] / raw.iloc[0] - 1
        post_ret = post.iloc[1] / post.iloc[0] - 1
        assert raw_ret < -0.1            # the split halves (or so) the raw price
        assert abs(post_ret) < 0.25      # the adjusted path only moves by the day's return


def test_factor_starts_at_one_for_stocks_listed_in_the_window(tw_small):
    inst = tidewell.all_instruments(type="CS")
    late = inst[inst["listed_date"] > pd.Timestamp("2023-01-03")]
    assert len(late) > 0
    firsts = _raw(tw_small, "SELECT order_book_id, min_by(adj_factor, date) AS f FROM daily_bars "
                         "GROUP BY order_book_id")
    firsts = firsts.set_index("order_book_id")["f"]
    assert np.allclose(firsts.loc[late["order_book_id"]], 1.0)


def test_suspensions_and_delistings_leave_bars_missing(tw_small):
    inst = tidewell.all_instruments(type="CS")
    ids = inst["order_book_id"].tolist()
    df = tidewell.get_price(ids, None, None, fields="close", adjust_type="none")
    wide = df["close"].unstack(0)
    for _, row in inst.iterrows():
        s = wide[row["order_book_id"]].dropna()
        assert s.index[0] >= row["listed_date"]
        if pd.notna(row["de_listed_date"]):
            assert s.index[-1] < row["de_listed_date"]
    # some stock has a hole between its first and last bar (a suspension)
    holes = [(wide[c].loc[wide[c].first_valid_index():wide[c].last_valid_index()].isna().any())
             for c in wide.columns]
    assert any(holes)


def test_index_daily_minute_and_tick(tw_small):
    ins = tidewell.instruments("000300.XSHG")
    assert ins.type == "INDX"
    d = tidewell.get_price("000300.XSHG", "2024-12-02", "2024-12-31", frequency="1d", fields=["close"])
    assert d.index.names == ["order_book_id", "date"] and len(d) > 10
    m = tidewell.get_price("000905.XSHG", "2024-12-30", "2024-12-31", frequency="1m", fields=["close"])
    assert m.index.names == ["order_book_id", "datetime"]
    assert len(m) == 2 * 240
    times = m.index.get_level_values("datetime")
    assert (times.second == 0).all() and not (times.minute == 0).all()
    assert times[0] == pd.Timestamp("2024-12-30 09:31") and times[-1] == pd.Timestamp("2024-12-31 15:00")
    # the last minute close is the daily close
    assert np.isclose(m["close"].iloc[-1], tidewell.get_price(
        "000905.XSHG", "2024-12-31", "2024-12-31", fields="close")["close"].iloc[0])
    t = tidewell.get_price("000300.XSHG", "2024-12-31", "2024-12-31", frequency="tick", fields=["last"])
    assert list(t.columns) == ["last"]
    assert t.index.names == ["order_book_id", "datetime"]
    assert not (t.index.get_level_values(1).second == 0).all()
    # how the benchmark series reads it
    price = t["last"]
    price.index = price.index.droplevel("order_book_id")
    assert price.index.is_monotonic_increasing


def test_intraday_bounds(tw_small):
    m = tidewell.get_price("000300.XSHG", "2024-12-31 10:00", "2024-12-31 10:05", frequency="1m")
    t = m.index.get_level_values("datetime")
    assert t[0] == pd.Timestamp("2024-12-31 10:00") and t[-1] == pd.Timestamp("2024-12-31 10:05")
    assert list(m.columns) == ["open", "high", "low", "close", "volume", "total_turnover"]


def test_nothing_matches_gives_none(tw_small):
    assert tidewell.get_price("999999.XSHE", "2024-01-02", "2024-12-31") is None
    assert tidewell.get_price("000300.XSHG", "2024-02-10", "2024-02-12") is None  # holiday
    assert tidewell.get_price("000300.XSHG", "2010-01-04", "2010-12-31") is None  # before the bars
    assert tidewell.get_price("000300.XSHG", "2023-01-03", "2023-01-31", frequency="tick") is None
    assert tidewell.get_price([], "2024-01-02", "2024-12-31") is None


def test_unknown_ids_are_left_out(tw_small):
    df = tidewell.get_price(["000001.XSHE", "999999.XSHE"], "2024-01-02", "2024-01-31", fields="close")
    assert set(df.index.get_level_values(0)) == {"000001.XSHE"}


def test_expect_df_false(tw_small):
    s = tidewell.get_price("000001.XSHE", "2024-01-02", "2024-01-31", fields="close", expect_df=False)
    assert isinstance(s, pd.Series) and s.index.name == "date"
    df = tidewell.get_price("000001.XSHE", "2024-01-02", "2024-01-31", fields=["close"], expect_df=False)
    assert isinstance(df, pd.DataFrame) and df.index.name == "date"


@pytest.mark.parametrize("kwargs, arg", [
    (dict(frequency="5m"), "frequency"),
    (dict(adjust_type="forward"), "adjust_type"),
    (dict(fields="price"), "fields"),
    (dict(fields=["close", "last"]), "fields"),
    (dict(frequency="tick", fields="close"), "fields"),
    (dict(fields=[]), "fields"),
    (dict(start_date="2024-02-01", end_date="2024-01-01"), "start_date"),
    (dict(start_date="soon"), "start_date"),
    (dict(end_date=object()), "end_date"),
])
def test_bad_arguments_name_the_argument(tw_small, kwargs, arg):
    call = dict(order_book_ids="000001.XSHE", start_date="2024-01-02", end_date="2024-01-31")
    call.update(kwargs)
    with pytest.raises(ValueError, match=arg):
        tidewell.get_price(**call)


def test_bad_ids(tw_small):
    with pytest.raises(ValueError, match="order_book_ids"):
        tidewell.get_price(None, "2024-01-02", "2024-01-31")
    with pytest.raises(ValueError, match="order_book_ids"):
        tidewell.get_price([1, 2], "2024-01-02", "2024-01-31")


def test_pre_adjust_of_minute_bars_uses_daily_factor(tw_small):
    m_post = tidewell.get_price("000300.XSHG", "2024-12-31", "2024-12-31", frequency="1m",
                                fields="close", adjust_type="post")
    m_none = tidewell.get_price("000300.XSHG", "2024-12-31", "2024-12-31", frequency="1m",
                                fields="close", adjust_type="none")
    assert np.allclose(m_post["close"], m_none["close"])  # indexes have factor 1


def test_threads_share_the_store(tw_small):
    import threading
    ids = _stocks()
    expected = tidewell.get_price(ids, "2023-01-03", "2024-12-31", fields="close", adjust_type="post")
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(tidewell.get_price(ids, "2023-01-03", "2024-12-31", fields="close",
                                                  adjust_type="post"))
                tidewell.get_trading_dates("2024-01-01", "2024-03-01")
        except Exception as exc:  # pragma: no cover
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 20
    for r in results:
        pd.testing.assert_frame_equal(r, expected)


def test_price_table_equals_the_unstacked_long_table(tw_small):
    ids = _stocks() + ["000300.XSHG", "999999.XSHE"]
    for adj in ("post", "pre", "none"):
        long = tidewell.get_price(ids, "2023-06-01", "2024-03-29", fields="close", adjust_type=adj)
        want = long["close"].unstack(0)
        got = tidewell.get_price_table(ids, "2023-06-01", "2024-03-29", field="close", adjust_type=adj)
        assert got.index.name == "date" and got.columns.name == "order_book_id"
        pd.testing.assert_frame_equal(got, want, check_names=False, check_freq=False)
    assert tidewell.get_price_table("000001.XSHE", "2024-02-10", "2024-02-12") is None
    with pytest.raises(ValueError, match="field"):
        tidewell.get_price_table("000001.XSHE", "2024-01-02", "2024-01-31", field=["close"])
    with pytest.raises(ValueError, match="field"):
        tidewell.get_price_table("000001.XSHE", "2024-01-02", "2024-01-31", field="last")
