"""What could be traded: limit prices by board and date, special-treatment spells, suspensions,
listing age and index membership by date, on hand-built markets and on the demo market."""

import duckdb
import numpy as np
import pandas as pd
import pytest

import tidewell
from tidewell import limits, store
from tidewell.importer import TidewellImportError, import_frames

CAL = pd.bdate_range("2019-06-03", "2026-06-30")


def _day(text, n=0):
    """The n-th weekday session from ``text`` (the test calendar is every weekday)."""
    return CAL[CAL.searchsorted(pd.Timestamp(text)) + n]


def _market(path, stocks, st=None, price_limits=None, members=None):
    """Import a market: ``stocks`` maps an id to (listed date, [(date, close[, adj_factor])]);
    the calendar is every weekday of CAL."""
    inst = pd.DataFrame({
        "order_book_id": list(stocks), "symbol": list(stocks),
        "type": ["INDX" if oid == "000300.XSHG" else "CS" for oid in stocks],
        "exchange": [oid.split(".")[1] for oid in stocks],
        "listed_date": [v[0] for v in stocks.values()],
        "de_listed_date": [v[2] if len(v) > 2 else None for v in stocks.values()]})
    rows = []
    for oid, (_, bars, *_) in stocks.items():
        for bar in bars:
            rows.append((oid, bar[0], bar[1], bar[2] if len(bar) > 2 else 1.0))
    frames = {"instruments": inst, "trading_calendar": pd.DataFrame({"date": CAL}),
              "daily_bars": pd.DataFrame(rows, columns=["order_book_id", "date", "close", "adj_factor"])}
    if st is not None:
        frames["st_status"] = pd.DataFrame(st, columns=["order_book_id", "start_date", "end_date", "kind"])
    if price_limits is not None:
        frames["price_limits"] = pd.DataFrame(price_limits, columns=["order_book_id", "date", "limit_up",
                                                                     "limit_down"])
    if members is not None:
        frames["index_components"] = pd.DataFrame(members, columns=["index_id", "order_book_id", "in_date",
                                                                    "out_date"])
    import_frames(path, **frames)
    return path


def _limits(path, oid, start=None, end=None):
    with tidewell.using(path):
        px = tidewell.get_price(oid, start, end, fields=["close", "limit_up", "limit_down"], adjust_type="none",
                                expect_df=False)
    return px


def _series(first, closes):
    """Bars on consecutive sessions from ``first``."""
    return [(_day(first, i), c) for i, c in enumerate(closes)]


# -- the rules ---------------------------------------------------------------------------------
def test_boards_and_the_dates_their_rules_change(tmp_path):
    """Each board's width on both sides of the dates its rule changed, from a close of 10.00."""
    before, after = _day("2020-08-24", -1), _day("2020-08-24")
    stocks = {
        # ChiNext: +-10 % up to 2020-08-21, +-20 % from 2020-08-24
        "300001.XSHE": ("2015-01-05", [(_day("2020-08-24", -2), 10.0), (before, 10.0), (after, 10.0)]),
        # main board: +-10 %
        "600000.XSHG": ("2015-01-05", _series("2024-03-04", [10.0, 10.0])),
        "000001.XSHE": ("2015-01-05", _series("2024-03-04", [10.0, 10.0])),
        # STAR: +-20 %; Beijing: +-30 %
        "688001.XSHG": ("2019-07-22", _series("2024-03-04", [10.0, 10.0])),
        "830799.BJSE": ("2021-11-15", _series("2024-03-04", [10.0, 10.0])),
        # B shares and indexes get no derived limit
        "900901.XSHG": ("2015-01-05", _series("2024-03-04", [10.0, 10.0])),
        "000300.XSHG": ("2015-01-05", _series("2024-03-04", [10.0, 10.0])),
    }
    path = _market(str(tmp_path / "boards.duckdb"), stocks)
    chinext = _limits(path, "300001.XSHE")
    assert np.isnan(chinext.iloc[0]["limit_up"])                      # the first bar: no previous close
    assert chinext.loc[before, ["limit_up", "limit_down"]].tolist() == [11.0, 9.0]
    assert chinext.loc[after, ["limit_up", "limit_down"]].tolist() == [12.0, 8.0]
    second = _day("2024-03-04", 1)
    for oid, up, down in [("600000.XSHG", 11.0, 9.0), ("000001.XSHE", 11.0, 9.0), ("688001.XSHG", 12.0, 8.0),
                          ("830799.BJSE", 13.0, 7.0)]:
        assert _limits(path, oid).loc[second, ["limit_up", "limit_down"]].tolist() == [up, down], oid
    for oid in ("900901.XSHG", "000300.XSHG"):
        assert _limits(path, oid)[["limit_up", "limit_down"]].isna().all().all(), oid


def test_special_treatment_width_and_its_end_on_the_main_board(tmp_path):
    """Main-board ST stocks move +-5 % while a spell holds (its start date included, its end date
    not), and +-10 % from 2025-07-07; ChiNext ST stocks +-20 % after its reform."""
    days = CAL[(CAL >= "2024-03-01")][:6]
    jul = CAL[CAL.searchsorted(pd.Timestamp("2025-07-07")) - 2:][:4]
    stocks = {
        "600000.XSHG": ("2015-01-05", [(d, 10.0) for d in days] + [(d, 10.0) for d in jul]),
        "300001.XSHE": ("2015-01-05", [(d, 10.0) for d in days]),
    }
    st = [("600000.XSHG", days[2], days[4], "ST"), ("600000.XSHG", jul[0], None, "*ST"),
          ("300001.XSHE", days[0], None, "*ST")]
    path = _market(str(tmp_path / "st.duckdb"), stocks, st=st)
    px = _limits(path, "600000.XSHG")
    assert px.loc[days[1], "limit_up"] == 11.0        # before the spell
    assert px.loc[days[2], "limit_up"] == 10.5        # its first date
    assert px.loc[days[3], "limit_down"] == 9.5
    assert px.loc[days[4], "limit_up"] == 11.0        # its end date: no longer ST
    assert px.loc[jul[1], "limit_up"] == 10.5         # 2025-07-04: +-5 %
    assert px.loc[jul[2], ["limit_up", "limit_down"]].tolist() == [11.0, 9.0]   # 2025-07-07: +-10 %
    assert _limits(path, "300001.XSHE").loc[days[1], "limit_up"] == 12.0
    with tidewell.using(path):
        flags = tidewell.is_st(["600000.XSHG", "300001.XSHE"], days[0], days[5])
        spells = tidewell.get_st_spells("600000.XSHG")
    assert flags["600000.XSHG"].tolist() == [False, False, True, True, False, False]
    assert flags["300001.XSHE"].all()
    assert spells["kind"].tolist() == ["ST", "*ST"] and spells["end_date"].isna().tolist() == [False, True]


def test_sessions_after_listing_without_a_limit(tmp_path):
    """Stocks listed under the registration rules trade their first five sessions (Beijing: the
    first) without a limit; earlier listings have a limit from their second session."""
    closes = [10.0] * 7
    stocks = {
        "600001.XSHG": ("2023-04-10", _series("2023-04-10", closes)),     # main board, new rules
        "600002.XSHG": ("2023-04-07", _series("2023-04-07", closes)),     # main board, the day before
        "300002.XSHE": ("2020-08-24", _series("2020-08-24", closes)),     # ChiNext after its reform
        "300003.XSHE": ("2020-08-21", _series("2020-08-21", closes)),     # ... and the day before
        "688002.XSHG": ("2023-01-03", _series("2023-01-03", closes)),
        "830800.BJSE": ("2023-01-03", _series("2023-01-03", closes)),
    }
    path = _market(str(tmp_path / "ipo.duckdb"), stocks)
    free = {oid: int(_limits(path, oid)["limit_up"].isna().sum()) for oid in stocks}
    assert free == {"600001.XSHG": 5, "600002.XSHG": 1, "300002.XSHE": 5, "300003.XSHE": 1,
                    "688002.XSHG": 5, "830800.BJSE": 1}
    # the listing date counts as session 0 of listed_days
    with tidewell.using(path):
        age = tidewell.listed_days(["600001.XSHG", "688002.XSHG"], "2023-04-06", "2023-04-12")
    assert np.isnan(age["600001.XSHG"].iloc[:2]).all()
    assert age["600001.XSHG"].iloc[2:].tolist() == [0.0, 1.0, 2.0]
    assert age["688002.XSHG"].iloc[0] == len(CAL[(CAL >= "2023-01-03") & (CAL < "2023-04-06")])


def test_listing_age_before_the_calendar_begins(tmp_path):
    """A stock listed before the store's calendar starts counts the weekdays before it."""
    path = _market(str(tmp_path / "old.duckdb"), {"600000.XSHG": ("2019-05-01", _series("2019-06-03", [10.0]))})
    with tidewell.using(path):
        age = tidewell.listed_days("600000.XSHG", "2019-06-03", "2019-06-04")["600000.XSHG"]
    assert age.tolist() == [23.0, 24.0]      # weekdays from 2019-05-01 to 2019-05-31


def test_limit_prices_round_half_up_from_the_reference_price(tmp_path):
    """The reference price carries the previous close over an ex-date (adj_factor), and limits
    round half up to the cent as the exchanges do."""
    stocks = {
        # 10.05 x 1.1 = 11.055 -> 11.06, 10.05 x 0.9 = 9.045 -> 9.05
        "600000.XSHG": ("2015-01-05", _series("2024-03-04", [10.05, 10.05])),
        # ex-date: factor 1.0 -> 1.1, reference 10.00 / 1.1 = 9.09 -> limits 10.00 / 8.18
        "600001.XSHG": ("2015-01-05", [(_day("2024-03-04"), 10.0, 1.0), (_day("2024-03-04", 1), 9.5, 1.1)]),
    }
    path = _market(str(tmp_path / "round.duckdb"), stocks)
    assert _limits(path, "600000.XSHG").iloc[1][["limit_up", "limit_down"]].tolist() == [11.06, 9.05]
    assert _limits(path, "600001.XSHG").iloc[1][["limit_up", "limit_down"]].tolist() == [10.0, 8.18]
    with tidewell.using(path):
        post = tidewell.get_price("600001.XSHG", fields="limit_up", adjust_type="post", expect_df=False)
        pre = tidewell.get_price("600001.XSHG", fields="limit_up", adjust_type="pre", expect_df=False)
    assert post.iloc[1] == pytest.approx(11.0) and pre.iloc[1] == pytest.approx(10.0)


def test_the_store_and_the_simulator_derive_the_same_widths():
    """The SQL of the store's derivation and the numpy of the demo simulator come from one rule
    table; they must agree on every board, around every date a rule or listing rule changes,
    with and without special treatment, at every early session."""
    edges = sorted({pd.Timestamp(d) for r in limits.RULES + limits.LISTING_RULES for d in (r.start, r.end) if d})
    dates = sorted({e + pd.Timedelta(days=k) for e in edges for k in (-1, 0, 1)} | {pd.Timestamp("1995-01-03")})
    boards = ["main", "chinext", "star", "bse", None]
    rows = [(b, d, st, age, listed) for b in boards for d in dates for st in (False, True)
            for age in (0, 1, 4, 5, 6) for listed in dates]
    frame = pd.DataFrame(rows, columns=["board", "date", "st", "age", "listed"])
    con = duckdb.connect()
    con.register("g", frame)
    sql = limits.width_sql("board", "CAST(date AS DATE)", "st", "age", "CAST(listed AS DATE)")
    from_sql = con.execute("SELECT {} AS w FROM g".format(sql)).df()["w"].to_numpy(dtype=np.float64)
    from_numpy = np.array([limits.widths([b], [d], [[st]], [[age]], [listed])[0, 0]
                           for b, d, st, age, listed in rows])
    assert np.array_equal(from_sql, from_numpy, equal_nan=True)
    # and the prices: a spread of references and widths rounds alike
    refs = np.round(np.linspace(0.5, 300.0, 20011), 2)
    for width in (0.05, 0.1, 0.2, 0.3):
        con.register("r", pd.DataFrame({"ref": refs}))
        got = con.execute("SELECT {} AS up, {} AS down FROM r".format(
            limits.limit_sql("ref", repr(width), 1), limits.limit_sql("ref", repr(width), -1))).df()
        up, down = limits.limit_prices(refs, width)
        assert np.array_equal(got["up"].to_numpy(), up) and np.array_equal(got["down"].to_numpy(), down)


def test_imported_limits_replace_the_derived_ones(tmp_path):
    d = _day("2024-03-04")
    stocks = {"600000.XSHG": ("2015-01-05", _series("2024-03-04", [10.0, 10.5, 10.6, 9.0]))}
    imported = [("600000.XSHG", _day("2024-03-04", 1), 10.5, 9.5),     # 10.5 closes at this limit
                ("600000.XSHG", _day("2024-03-04", 3), None, None)]    # no limit: 9.0 is no limit hit
    path = _market(str(tmp_path / "imported.duckdb"), stocks, price_limits=imported)
    px = _limits(path, "600000.XSHG")
    assert px.iloc[1][["limit_up", "limit_down"]].tolist() == [10.5, 9.5]
    assert px.iloc[2][["limit_up", "limit_down"]].tolist() == [11.55, 9.45]     # derived
    assert px.iloc[3][["limit_up", "limit_down"]].isna().all()
    with tidewell.using(path):
        status = tidewell.trading_status("600000.XSHG", d, _day("2024-03-04", 3))
    assert status["600000.XSHG"].tolist() == [0, 2, 0, 0]


# -- trading status ------------------------------------------------------------------------------
def _status_market(tmp_path):
    days = [_day("2024-03-04", i) for i in range(8)]
    stocks = {
        # up 10 % twice (limit up), a suspension of two sessions, then down 10 % (limit down)
        "600000.XSHG": ("2015-01-05", [(days[0], 10.0), (days[1], 11.0), (days[2], 12.1), (days[5], 10.89),
                                       (days[6], 10.5), (days[7], 10.4)]),
        # listed on days[3]; delisted on days[6]
        "600001.XSHG": ("2024-03-07", [(days[3], 5.0), (days[4], 5.2), (days[5], 5.1)], days[6]),
        "000300.XSHG": ("2015-01-05", [(d, 3000.0) for d in days]),
    }
    return _market(str(tmp_path / "status.duckdb"), stocks), days


def test_trading_status_marks_limits_suspensions_listing_and_the_store_span(tmp_path):
    path, days = _status_market(tmp_path)
    with tidewell.using(path):
        status = tidewell.trading_status(["600000.XSHG", "600001.XSHG", "000300.XSHG", "999999.XSHG"],
                                         _day("2024-03-04", -1), _day("2024-03-04", 9))
    s = tidewell.STATUS
    assert status.dtypes.unique().tolist() == [np.int8]
    assert status["600000.XSHG"].tolist() == [s["no_data"], 0, 2, 2, 1, 1, 3, 0, 0, s["no_data"], s["no_data"]]
    nl = s["not_listed"]
    assert status["600001.XSHG"].tolist() == [-2, nl, nl, nl, 0, 0, 0, nl, nl, -2, -2]
    assert (status["000300.XSHG"].iloc[1:-2] == 0).all()
    assert (status["999999.XSHG"].iloc[1:-2] == nl).all()
    with tidewell.using(path):
        rows = store.open_store(path).con.execute(
            "SELECT order_book_id, date, status FROM trading_status ORDER BY 1, 2").fetchall()
    assert [(o, pd.Timestamp(d), x) for o, d, x in rows] == [
        ("600000.XSHG", days[1], "limit_up"), ("600000.XSHG", days[2], "limit_up"),
        ("600000.XSHG", days[3], "suspended"), ("600000.XSHG", days[4], "suspended"),
        ("600000.XSHG", days[5], "limit_down")]


def test_a_store_without_a_current_status_derives_it_as_it_reads(tmp_path):
    """A store derived with other rules (or by an older tidewell) is read from its bars, with the
    same answer; the next import derives the table again."""
    path, days = _status_market(tmp_path)
    ids = ["600000.XSHG", "600001.XSHG"]
    with tidewell.using(path):
        expected = tidewell.trading_status(ids, days[0], days[-1])
    store.close(path)
    con = duckdb.connect(path)
    con.execute("DELETE FROM metadata WHERE key = 'trading_status'")
    con.execute("DELETE FROM trading_status")
    con.close()
    with tidewell.using(path):
        assert not store.open_store(path).status_current()
        pd.testing.assert_frame_equal(tidewell.trading_status(ids, days[0], days[-1]), expected)
    import_frames(path, st_status=pd.DataFrame({"order_book_id": ["600000.XSHG"], "start_date": [days[6]],
                                                "end_date": [None], "kind": ["ST"]}))
    with tidewell.using(path):
        assert store.open_store(path).status_current()
        after = tidewell.trading_status(ids, days[0], days[-1])
    # ST from days[6]: the fall from 10.89 to 10.5 (-3.6 %) is no limit hit, nor 10.5 -> 10.4
    pd.testing.assert_frame_equal(after, expected)


def test_an_import_of_special_treatment_derives_the_status_again(tmp_path):
    days = [_day("2024-03-04", i) for i in range(3)]
    path = _market(str(tmp_path / "again.duckdb"),
                   {"600000.XSHG": ("2015-01-05", [(days[0], 10.0), (days[1], 9.5), (days[2], 9.2)])})
    with tidewell.using(path):
        assert tidewell.trading_status("600000.XSHG", days[0], days[2])["600000.XSHG"].tolist() == [0, 0, 0]
    import_frames(path, st_status=pd.DataFrame({"order_book_id": ["600000.XSHG"], "start_date": [days[1]],
                                                "end_date": [None], "kind": ["*ST"]}))
    with tidewell.using(path):
        assert tidewell.trading_status("600000.XSHG", days[0], days[2])["600000.XSHG"].tolist() == [0, 3, 0]


def test_index_membership_by_date(tmp_path):
    days = [_day("2024-03-04", i) for i in range(6)]
    stocks = {oid: ("2015-01-05", [(d, 10.0) for d in days]) for oid in ("600000.XSHG", "600001.XSHG", "600002.XSHG")}
    stocks["000300.XSHG"] = ("2015-01-05", [(d, 3000.0) for d in days])
    members = [("000300.XSHG", "600000.XSHG", days[0], None),
               ("000300.XSHG", "600001.XSHG", days[1], days[3]),      # in on days[1], out on days[3]
               ("000300.XSHG", "600001.XSHG", days[4], None),         # back in
               ("000300.XSHG", "600002.XSHG", "2019-06-03", days[0])]  # out before the window
    path = _market(str(tmp_path / "members.duckdb"), stocks, members=members)
    with tidewell.using(path):
        inside = tidewell.index_membership("000300.XSHG", days[0], days[-1])
        asked = tidewell.index_membership("000300.XSHG", days[0], days[-1], ["600002.XSHG", "600001.XSHG"])
        unknown = tidewell.index_membership("000905.XSHG", days[0], days[-1])
    assert inside.columns.tolist() == ["600000.XSHG", "600001.XSHG"]
    assert inside["600000.XSHG"].all()
    assert inside["600001.XSHG"].tolist() == [False, True, True, False, True, True]
    assert asked.columns.tolist() == ["600001.XSHG", "600002.XSHG"] and not asked["600002.XSHG"].any()
    assert unknown.shape == (6, 0)
    # one date of the table is what index_components says on that date
    with tidewell.using(path):
        for d in days:
            assert sorted(inside.columns[inside.loc[d]]) == tidewell.index_components("000300.XSHG", d)


# -- the import's rules ---------------------------------------------------------------------------
@pytest.mark.parametrize("spells, rule_text", [
    ([("600000.XSHG", "2024-03-04", None, "PT")], "kind 'PT'"),
    ([("600000.XSHG", "2024-03-06", "2024-03-06", "ST")], "not after it starts"),
    ([("600000.XSHG", "2024-03-04", None, "ST"), ("600000.XSHG", "2024-03-08", "2024-03-11", "*ST")],
     "may not overlap"),
    ([("600000.XSHG", "2024-03-04", "2024-03-08", "ST"), ("600000.XSHG", "2024-03-07", None, "*ST")],
     "may not overlap"),
    ([("999999.XSHG", "2024-03-04", None, "ST")], "unknown instrument"),
])
def test_special_treatment_spells_are_checked_on_import(tmp_path, spells, rule_text):
    path = _market(str(tmp_path / "rules.duckdb"), {"600000.XSHG": ("2015-01-05", _series("2024-03-04", [10.0]))})
    before = open(path, "rb").read()
    with pytest.raises(TidewellImportError) as err:
        import_frames(path, st_status=pd.DataFrame(spells, columns=["order_book_id", "start_date", "end_date",
                                                                    "kind"]))
    assert rule_text in str(err.value) and err.value.rule in ("st-spell", "known-instrument")
    assert open(path, "rb").read() == before
    # spells that touch (one ends the day the next starts) are fine
    import_frames(path, st_status=pd.DataFrame([("600000.XSHG", "2024-03-04", "2024-03-06", "ST"),
                                                ("600000.XSHG", "2024-03-06", None, "*ST")],
                                               columns=["order_book_id", "start_date", "end_date", "kind"]))


def test_limit_prices_are_checked_on_import_and_the_status_is_not_imported(tmp_path):
    path = _market(str(tmp_path / "rules.duckdb"), {"600000.XSHG": ("2015-01-05", _series("2024-03-04", [10.0, 10.5]))})
    cols = ["order_book_id", "date", "limit_up", "limit_down"]
    with pytest.raises(TidewellImportError, match="without a daily bar") as err:
        import_frames(path, price_limits=pd.DataFrame([("600000.XSHG", "2024-03-08", 11.0, 9.0)], columns=cols))
    assert err.value.rule == "limit-price"
    with pytest.raises(TidewellImportError, match="not below its limit_up"):
        import_frames(path, price_limits=pd.DataFrame([("600000.XSHG", "2024-03-05", 9.0, 9.0)], columns=cols))
    with pytest.raises(TidewellImportError, match="derived by tidewell"):
        import_frames(path, trading_status=pd.DataFrame({"order_book_id": ["600000.XSHG"], "date": ["2024-03-05"],
                                                         "status": ["limit_up"]}))
    # replacing the bars may not leave limit prices without their bar
    import_frames(path, price_limits=pd.DataFrame([("600000.XSHG", "2024-03-05", 10.5, 9.5)], columns=cols))
    with pytest.raises(TidewellImportError, match="limit-price"):
        import_frames(path, replace=True, daily_bars=pd.DataFrame({"order_book_id": ["600000.XSHG"],
                                                                   "date": ["2024-03-04"], "close": [10.0]}))
    assert tidewell.check(path)["ok"]


def test_a_store_without_the_operations_says_which_it_lacks():
    class Bare:
        path = "<memory>"

        def __getattr__(self, name):
            if name in tidewell.protocol.OPERATIONS:
                return lambda *a, **k: None
            raise AttributeError(name)

    with tidewell.use_store(Bare()):
        with pytest.raises(TypeError, match="does not offer st_spells"):
            tidewell.get_st_spells()


# -- the demo market -----------------------------------------------------------------------------
def test_the_demo_market_trades_within_its_limits_and_seals_some_days(tw_small_path):
    """Every demo bar lies within the limits the store derives; some close at them, some open and
    close there (sealed), stocks under special treatment move within +-5 %."""
    con = duckdb.connect(tw_small_path, read_only=True)
    try:
        bars = con.execute("SELECT l.order_book_id, l.date, l.limit_up, l.limit_down, b.open, b.high, b.low, "
                           "b.close FROM ({}) l JOIN daily_bars b USING (order_book_id, date) "
                           "JOIN instruments i USING (order_book_id) WHERE i.type = 'CS'".format(
                               store.limits_sql(True, True))).df()
        spells = con.execute("SELECT count(*), count(DISTINCT order_book_id) FROM st_status").fetchall()[0]
        status = dict(con.execute("SELECT status, count(*) FROM trading_status GROUP BY 1").fetchall())
    finally:
        con.close()
    bars["date"] = pd.to_datetime(bars["date"]).astype("datetime64[ns]")
    has = bars["limit_up"].notna()
    assert has.mean() > 0.95
    for col in ("open", "high", "low", "close"):
        assert (bars.loc[has, col] <= bars.loc[has, "limit_up"] + 1e-9).all(), col
        assert (bars.loc[has, col] >= bars.loc[has, "limit_down"] - 1e-9).all(), col
    up = has & (bars["close"] == bars["limit_up"])
    down = has & (bars["close"] == bars["limit_down"])
    sealed = (up | down) & (bars["open"] == bars["close"]) & (bars["high"] == bars["low"])
    assert status["limit_up"] == up.sum() > 20 and status["limit_down"] == down.sum() > 20
    assert sealed.sum() > 10
    assert spells[1] >= 2
    with tidewell.using(tw_small_path):
        ids = tidewell.all_instruments("CS")["order_book_id"].tolist()
        st = tidewell.is_st(ids, "2023-01-03", "2024-12-31").stack()
    width = (bars.set_index(["date", "order_book_id"])["limit_up"]
             / bars.set_index(["date", "order_book_id"])["limit_down"])
    on_st = width.reindex(st[st].index).dropna()
    main = [i for i in on_st.index.get_level_values(1) if limits.board(i) == "main"]
    assert len(main) > 50
    assert np.allclose(on_st.loc[on_st.index.get_level_values(1).isin(main)], 1.05 / 0.95, atol=0.01)
