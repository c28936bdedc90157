"""Wide reads: per-date, per-instrument fields straight from the store as dates x ids arrays.

Every wide read must equal, cell for cell and in its pattern of missing values, what the
documented long call gives once pandas pivots it; and what sigmora builds on them (the daily
return table, the leaves' tables, the streamed Neutralization, the IC's industry codes) must
equal, bit for bit, what it builds from the long calls of a client without wide reads.
"""

import numpy as np
import pandas as pd
import pytest

import sigmora
import tidewell
from sigmora import _core
from sigmora.analysis import _ic, _industry, _market
from sigmora.analysis.varodyne import Neutralization
from tests.fakes import FakeMarket
from tests.tidewell.test_tw_protocol import FrameStore, _frames_of

WIDE_CALLS = ("get_daily_grids", "get_daily_cells", "get_price_table")
START, END = "2023-02-01", "2023-09-29"


class LongOnly:
    """The tidewell client without its wide reads: every other call is passed through, so a
    run through it takes the long calls' path."""

    def __getattr__(self, name):
        if name in WIDE_CALLS:
            raise AttributeError(name)
        return getattr(tidewell, name)


def same(a, b):
    """Equal bits, NaN where NaN."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


@pytest.fixture
def market(small_store):
    """Ids in a shuffled order with an index, an id the store lacks and the stocks that list,
    delist or are suspended inside the window; the window's trading dates."""
    stocks = tidewell.all_instruments(type="CS")["order_book_id"].tolist()
    rng = np.random.default_rng(3)
    ids = [str(i) for i in rng.permutation(stocks + ["000300.XSHG", "999999.XSHE"])]
    dates = tidewell.get_trading_dates(START, END)
    closes = tidewell.get_price_table(ids, START, END, "close", "none").reindex(index=dates, columns=ids)
    present = closes.notna().to_numpy()
    first = present.argmax(axis=0)
    last = len(dates) - 1 - present[::-1].argmax(axis=0)
    gaps = [(~present[f:l + 1, j]).sum() for j, (f, l) in enumerate(zip(first, last))]
    # The window holds every case the reads must place right.
    assert (first > 0).any() and (last < len(dates) - 1).any() and max(gaps) > 0
    assert not present[:, ids.index("999999.XSHE")].any()
    return ids, dates


def long_pivot(call, column, ids, dates):
    """A long call's answer for `column` pivoted by pandas onto dates x ids."""
    if call is None:
        return pd.DataFrame(np.nan, index=dates, columns=ids)
    wide = call[column].unstack("order_book_id") if "order_book_id" in call.index.names else call
    return wide.reindex(index=dates, columns=ids)


# ----------------------------------------------------------------------------- tidewell

@pytest.mark.parametrize("adjust", ["none", "pre", "post"])
def test_bar_fields_equal_the_long_call_pivoted(market, adjust):
    ids, dates = market
    fields = list(tidewell.schema.price_fields("1d"))
    grids = tidewell.get_daily_grids("daily_bars", ids, dates, fields, adjust_type=adjust)
    known = [i for i in ids if i != "999999.XSHE"]
    long = tidewell.get_price(known, START, END, fields=fields, adjust_type=adjust)
    for f in fields:
        assert same(grids[f], long_pivot(long, f, ids, dates)), f
    if adjust != "none":
        raw = tidewell.get_daily_grids("daily_bars", ids, dates, "close")["close"]
        assert not same(raw, grids["close"])  # the window holds corporate actions


def test_style_exposures_and_signals_equal_the_long_calls(market):
    ids, dates = market
    known = [i for i in ids if i != "999999.XSHE"]
    grids = tidewell.get_daily_grids("style_exposures", ids, dates, None)
    long = tidewell.get_style_factor_exposure(known, START, END)
    assert list(grids) == list(tidewell.STYLE_FACTORS)
    for f in grids:
        assert same(grids[f], long_pivot(long, f, ids, dates)), f
    for name in ("planted", "noise"):
        grid = tidewell.get_daily_grids("signals", ids, dates, name)[name]
        assert same(grid, long_pivot(tidewell.get_signal(known, START, END, name), None, ids, dates))


def test_any_dates_in_any_order(market):
    ids, dates = market
    rng = np.random.default_rng(8)
    # month ends (the store filters them), a weekend day, dates out of order
    sparse = pd.DatetimeIndex([d for d in dates if d.is_month_end] + [pd.Timestamp("2023-03-04")])
    shuffled = dates[rng.permutation(len(dates))[:40]]
    for wanted in (sparse, shuffled, dates[:1]):
        grids = tidewell.get_daily_grids("daily_bars", ids, wanted, ["close", "volume"], "post")
        whole = tidewell.get_daily_grids("daily_bars", ids, dates, ["close", "volume"], "post")
        for f in ("close", "volume"):
            expected = pd.DataFrame(whole[f], index=dates, columns=ids).reindex(wanted)
            assert same(grids[f], expected), f
    assert np.isnan(tidewell.get_daily_grids("signals", ids, sparse, "planted")["planted"][-1]).all()


def test_cells_place_to_the_grids(market):
    ids, dates = market
    cells = tidewell.get_daily_cells("style_exposures", ids, dates, ["size", "beta"])
    grids = tidewell.get_daily_grids("style_exposures", ids, dates, ["size", "beta"])
    assert cells.shape == (len(dates), len(ids)) and cells.matrix.shape == (2, len(cells.row))
    assert len(np.unique(cells.row * len(ids) + cells.col)) == len(cells.row)
    for i, f in enumerate(("size", "beta")):
        assert same(cells.grid(f), grids[f]) and cells.values[f] is not None
        assert np.shares_memory(cells.values[f], cells.matrix) and same(cells.values[f], cells.matrix[i])


def test_a_store_with_only_the_protocol_reads_the_same(market, small_store):
    ids, dates = market
    wanted = dates[::3]
    known = [i for i in ids if i != "999999.XSHE"]
    frames = FrameStore(**_frames_of(small_store, known))
    calls = [("daily_bars", ["close", "open", "volume"], adj) for adj in ("none", "pre", "post")]
    calls += [("style_exposures", ["size", "growth"], "none"), ("signals", ["planted"], "none")]
    for dataset, fields, adj in calls:
        want = tidewell.get_daily_grids(dataset, ids, wanted, fields, adjust_type=adj)
        with tidewell.use_store(frames):
            got = tidewell.get_daily_grids(dataset, ids, wanted, fields, adjust_type=adj)
            cells = tidewell.get_daily_cells(dataset, ids, wanted, fields[:1], adjust_type=adj)
        for f in fields:
            assert same(got[f], want[f]), (dataset, f, adj)
        assert same(cells.grid(fields[0]), want[fields[0]])


def test_documented_wide_tables_keep_their_shape(market):
    ids, dates = market
    known = [i for i in ids if i != "999999.XSHE"]
    st = tidewell.api._store_()
    for subset in (known, None):
        got = tidewell.get_signal(subset, START, END, "noise")
        long = st.fetch_signal(None if subset is None else sorted(set(subset)), pd.Timestamp(START),
                               pd.Timestamp(END), "noise")
        long["date"] = pd.to_datetime(long["date"]).astype("datetime64[ns]")
        pd.testing.assert_frame_equal(got, long.pivot(index="date", columns="order_book_id", values="value"))
    for adjust in ("none", "pre", "post"):
        table = tidewell.get_price_table(ids, START, END, "high", adjust)
        pd.testing.assert_frame_equal(
            table, tidewell.get_price(known, START, END, fields="high", adjust_type=adjust)["high"].unstack(0))


def test_wide_reads_refuse_what_they_cannot_place(market):
    ids, dates = market
    bad = [
        (dict(dataset="minute_bars"), "dataset: expect one of"),
        (dict(order_book_ids=ids[:2] + ids[:1]), "expect each id once"),
        (dict(order_book_ids=[1, 2]), "expect order_book_id strings"),
        (dict(dates=dates[:2].append(dates[:1])), "expect each date once"),
        (dict(dates=dates[:2] + pd.Timedelta("09:30:00")), "expect dates at midnight"),
        (dict(dates="2023-02-01"), "expect a list of dates"),
        (dict(fields="vwap"), "unknown field 'vwap'"),
        (dict(dataset="style_exposures", fields="size", adjust_type="post"), "are not prices"),
        (dict(dataset="signals", fields="nothing"), "unknown field 'nothing' \\(not a stored signal\\)"),
    ]
    for change, message in bad:
        call = dict(dataset="daily_bars", order_book_ids=ids, dates=dates, fields="close", adjust_type="none")
        call.update(change)
        with pytest.raises(ValueError, match=message):
            tidewell.get_daily_grids(**call)
    with pytest.raises(ValueError, match="one signal name"):
        tidewell.get_daily_cells("signals", ids, dates, ["planted", "noise"])
    empty = tidewell.get_daily_grids("daily_bars", ids, pd.DatetimeIndex([]), "close")["close"]
    assert empty.shape == (0, len(ids))


# ----------------------------------------------------------------------------- the seam

def test_seam_tables_equal_the_long_path(market, plug_market):
    ids, dates = market
    factor = pd.DataFrame(1.0, index=dates[5:-25], columns=ids)
    wide_returns = _market.daily_returns(factor, [1, 20])
    wide_closes = _market.closes(ids, START, END)
    tables = [_market.daily_table(d, ids + ids[:2], START, END, f, a) for d, f, a in [
        ("daily_bars", "close", "pre"), ("daily_bars", "total_turnover", "none"),
        ("style_exposures", "leverage", "none"), ("signals", "planted", "none")]]
    plug_market(LongOnly())
    assert not _market.has_wide_reads()
    long_returns = _market.daily_returns(factor, [1, 20])
    pd.testing.assert_frame_equal(wide_returns, long_returns)
    assert same(wide_returns, long_returns)
    pd.testing.assert_frame_equal(wide_closes, _market.closes(ids, START, END))
    for got, (d, f, a) in zip(tables, [("daily_bars", "close", "pre"), ("daily_bars", "total_turnover", "none"),
                                       ("style_exposures", "leverage", "none"), ("signals", "planted", "none")]):
        pd.testing.assert_frame_equal(got, _market.daily_table(d, ids + ids[:2], START, END, f, a))


def test_the_return_rule_in_one_pass_equals_pandas():
    rng = np.random.default_rng(11)
    for _ in range(300):
        T, N = rng.integers(0, 15), rng.integers(0, 9)
        closes = rng.lognormal(size=(T, N))
        closes[rng.random((T, N)) < rng.random()] = np.nan
        if T and N:
            closes[rng.integers(T)] = np.nan              # a date without any close
            closes[:, rng.integers(N)] = np.nan           # an instrument without any
            closes[rng.integers(T), rng.integers(N)] = 0.0  # a zero close: an infinite return
        table = pd.DataFrame(closes, index=pd.bdate_range("2024-01-01", periods=T),
                             columns=["{:06d}.XSHE".format(i) for i in range(N)])
        sub = table.dropna(axis=1, how="all").dropna(axis=0, how="all")
        want = sub.ffill().pct_change().iloc[1:]
        for layout in (table, table.T.copy().T):          # row-major and column-major values
            got = _market.returns_from_closes(layout, table.columns, table.index[0] if T else "2024-01-01",
                                              table.index[-1] if T else "2024-01-01")
            pd.testing.assert_frame_equal(got, want, check_freq=False)
            assert same(got, want)


def test_style_exposure_blocks_hold_one_block_and_cover_every_date(market):
    ids, dates = market
    whole = tidewell.get_daily_grids("style_exposures", ids, dates, ["size", "momentum"])
    dense = np.stack([whole["size"], whole["momentum"]], axis=-1)
    per_date = len(ids) * (8 * 2 + 16)
    for max_bytes in (1, 7 * per_date, 10 ** 9):
        blocks = list(_market.style_exposure_blocks(ids, dates, ["size", "momentum"], max_bytes=max_bytes))
        assert [b.first for b in blocks] == list(range(0, len(dates), max(1, max_bytes // per_date)))[:len(blocks)]
        assert blocks[-1].stop == len(dates) and all(b.stop - b.first <= max(1, max_bytes // per_date)
                                                       for b in blocks)
        assert same(np.concatenate([b.dense() for b in blocks]), dense)


# ----------------------------------------------------------------------------- Neutralization

def neutralized(step, df, wide):
    """The step's residuals with or without the client's wide reads."""
    if wide:
        return step.process(df)
    with _market.use_source(LongOnly()):
        return step.process(df)


@pytest.mark.parametrize("kwargs", [
    dict(), dict(industry="sws"), dict(industry=None), dict(style_factors=["size", "beta", "growth"]),
    dict(with_other=True),
])
def test_streamed_neutralization_is_bit_identical(market, monkeypatch, kwargs):
    ids, dates = market
    stocks = [i for i in ids if i != "000300.XSHG"]
    rng = np.random.default_rng(5)
    df = pd.DataFrame(rng.normal(size=(len(dates), len(stocks))), index=dates, columns=stocks)
    df[df > 1.7] = np.nan
    kwargs = dict(kwargs)
    if kwargs.pop("with_other", False):
        kwargs["other_factors"] = [df.shift(1).iloc[3:, ::-1] ** 2]
    step = Neutralization(**kwargs)
    one_pass = neutralized(step, df, wide=False)
    # Blocks of 1, 7 and all dates; the residual of every date must not move by a bit.
    for max_bytes in (1, 7 * len(stocks) * 96, None):
        monkeypatch.setattr(_market, "STYLE_BLOCK_BYTES", max_bytes or 10 ** 10)
        got = neutralized(step, df, wide=True)
        assert got.index.equals(df.index) and got.columns.equals(df.columns)
        assert same(got, one_pass), max_bytes
    assert np.isfinite(one_pass.to_numpy()).mean() > 0.5


def test_streamed_neutralization_of_sparse_repeated_unsorted_and_intraday_rows(market, monkeypatch):
    ids, dates = market
    stocks = [i for i in ids if i != "000300.XSHG"][:20]
    rng = np.random.default_rng(6)
    monkeypatch.setattr(_market, "STYLE_BLOCK_BYTES", 3 * len(stocks) * 176)
    month_ends = dates[dates.is_month_end]
    bars = pd.DatetimeIndex([d + pd.Timedelta(t) for d in dates[:9] for t in ("09:31:00", "14:59:00")])
    repeated = dates[:12].repeat(2)
    for index in (month_ends, dates[rng.permutation(len(dates))[:30]], bars, repeated):
        df = pd.DataFrame(rng.normal(size=(len(index), len(stocks))), index=index, columns=stocks)
        step = Neutralization()
        assert same(neutralized(step, df, wide=True), neutralized(step, df, wide=False))


def test_streamed_neutralization_same_bits_for_any_thread_count(market, monkeypatch):
    ids, dates = market
    stocks = [i for i in ids if i != "000300.XSHG"]
    df = pd.DataFrame(np.random.default_rng(2).normal(size=(len(dates), len(stocks))), index=dates, columns=stocks)
    monkeypatch.setattr(_market, "STYLE_BLOCK_BYTES", 11 * len(stocks) * 176)
    before = sigmora.get_num_threads()
    try:
        results = []
        for n in (1, 2, 3):
            sigmora.set_num_threads(n)
            results.append(Neutralization().process(df))
    finally:
        sigmora.set_num_threads(before)
    assert all(same(results[0], r) for r in results[1:])


def test_streamed_neutralization_without_exposures_says_so(market, monkeypatch):
    ids, dates = market
    df = pd.DataFrame(1.0, index=pd.bdate_range("1999-01-04", periods=3), columns=ids[:4])
    with pytest.raises(ValueError, match=r"style_factors: the data service has no exposures"):
        Neutralization(industry=None).process(df)


# ----------------------------------------------------------------------------- industry codes

def test_industry_codes_equal_the_table_of_names_on_a_store(market):
    ids, dates = market
    for source in ("citics_2019", "sws"):
        for wanted in (dates, dates[::7], dates.append(pd.DatetimeIndex(["2024-06-03"]))):
            got = _industry.industry_codes(pd.Index(ids), wanted, source)
            series = _industry._load_industry_data(order_book_ids=ids, dates=wanted, source=source)
            codes, names = _ic._codes_of_pairs(series, wanted, pd.Index(ids))
            assert np.array_equal(got[0], codes) and got[1].equals(names)


class CalendarMarket(FakeMarket):
    """Industry records and a trading calendar of one's choosing."""

    def __init__(self, calendar, **kwargs):
        super().__init__(**kwargs)
        self.calendar = calendar

    def get_trading_dates(self, start, end):
        c = self.calendar
        return [d.date() for d in c[(c >= pd.Timestamp(start)) & (c <= pd.Timestamp(end))]]


def test_industry_codes_equal_the_table_of_names_on_random_histories(plug_market):
    # Records before the calendar, on weekends and holidays, several per instrument;
    # instruments without records; dates off the calendar, out of order or intraday.
    rng = np.random.default_rng(1)
    names = ["Banks", "Media", "Autos", "Coal", "Steel"]
    checked = 0
    for _ in range(150):
        calendar = pd.bdate_range(pd.Timestamp("2020-01-01") + pd.Timedelta(days=int(rng.integers(0, 20))),
                                  periods=int(rng.integers(1, 40)))
        calendar = calendar[rng.random(len(calendar)) < 0.85]
        ids = ["{:06d}.XSHE".format(i) for i in range(int(rng.integers(1, 8)))]
        records = [dict(first_industry_name=names[rng.integers(len(names))], order_book_id=oid, start_date=start)
                   for oid in ids if rng.random() > 0.2
                   for start in sorted({pd.Timestamp("2019-12-20") + pd.Timedelta(days=int(d))
                                        for d in rng.integers(0, 60, int(rng.integers(1, 4)))})]
        if not records or len(calendar) == 0:
            continue
        with _market.use_source(CalendarMarket(calendar, citics=records)):
            wanted = pd.Index(list(rng.choice(ids + ["999999.XSHG"], size=int(rng.integers(1, len(ids) + 2)),
                                              replace=False)))
            pool = calendar.append(pd.bdate_range("2019-12-25", periods=60)).unique()
            dates = pd.DatetimeIndex(rng.choice(pool, size=int(rng.integers(1, 25)), replace=False))
            if rng.random() < 0.1:
                dates = dates + pd.Timedelta("09:31:00")
            series = _industry._load_industry_data(order_book_ids=wanted, dates=dates)
            codes, labels = _ic._codes_of_pairs(series, dates, wanted)
            got = _industry.industry_codes(wanted, dates)
            assert np.array_equal(got[0], codes) and got[1].equals(labels), records
            checked += (codes >= 0).sum() > 0
    assert checked > 50
