"""The market-data seam: one rule for daily returns whoever asks, and clients that can be
swapped for a whole run."""

import re

import numpy as np
import pandas as pd
import pytest

import tidewell
import tidewell.schema
from sigmora import batch
from sigmora.analysis import _industry, _market, varodyne
from tests.fakes import FakeMarket

CALENDAR = pd.bdate_range("2024-01-01", periods=12)


class ClosesMarket:
    """Post-adjusted closes from a wide table; a missing cell is a missing bar."""

    def __init__(self, closes):
        self.closes = closes
        self.requests = []

    def get_price(self, order_book_ids, start_date, end_date, fields, adjust_type, expect_df):
        self.requests.append(list(order_book_ids))
        window = self.closes.loc[pd.Timestamp(start_date):pd.Timestamp(end_date), list(order_book_ids)]
        long = window.stack().dropna().rename("close").to_frame()
        long.index.names = ["date", "order_book_id"]
        return long.swaplevel().sort_index() if len(long) else None

    def get_previous_trading_date(self, date, n=1):
        pos = CALENDAR.searchsorted(pd.Timestamp(date)) - n
        if pos < 0:
            raise ValueError("no trading date before {}".format(date))
        return CALENDAR[pos]

    def get_next_trading_date(self, date, n=1):
        pos = CALENDAR.searchsorted(pd.Timestamp(date), side="right") + n - 1
        if pos >= len(CALENDAR):
            raise ValueError("no trading date {} after {}".format(n, date))
        return CALENDAR[pos]

    def get_trading_dates(self, start, end):
        return CALENDAR[(CALENDAR >= pd.Timestamp(start)) & (CALENDAR <= pd.Timestamp(end))]


@pytest.fixture
def market(plug_market):
    closes = pd.DataFrame({"A": 10.0 * 1.01 ** np.arange(12), "B": 5.0 * 0.99 ** np.arange(12),
                           "C": 7.0 + np.arange(12)}, index=CALENDAR)
    # A and B have no bar on the 4th date (say, a holiday of their exchange); C trades.
    closes.iloc[3, :2] = np.nan
    # B is suspended on the 6th and 7th dates.
    closes.iloc[5:7, 1] = np.nan
    return plug_market(ClosesMarket(closes))


def test_engine_and_batch_build_the_same_returns_for_a_factor_of_a_smaller_universe(market):
    factor = pd.DataFrame(1.0, index=CALENDAR[1:8], columns=["A", "B"])
    alone = varodyne._daily_returns(factor, [1, 2])
    union = _market.closes(["A", "B", "C"], CALENDAR[0], CALENDAR[-1])
    in_batch = batch._daily_returns_from(union, factor, 2)
    pd.testing.assert_frame_equal(in_batch, alone, check_freq=False, check_names=False)

    # The rule itself: dates without any of the factor's bars drop out, a suspension keeps
    # the last close, the first date is only a base.
    closes = market.closes.loc[CALENDAR[0]:CALENDAR[9], ["A", "B"]].drop(CALENDAR[3])
    expected = closes.ffill() / closes.ffill().shift() - 1
    pd.testing.assert_frame_equal(alone, expected.iloc[1:], check_freq=False, check_names=False)
    assert CALENDAR[3] not in alone.index and alone.loc[CALENDAR[6], "B"] == 0.0


def test_a_factor_ending_with_the_calendar_runs_to_its_last_date(market):
    factor = pd.DataFrame(1.0, index=CALENDAR[:], columns=["A", "B", "C"])
    returns = varodyne._daily_returns(factor, [1, 5])
    # The window starts and ends with the calendar: no base before the first date.
    assert returns.index[0] == CALENDAR[1] and returns.index[-1] == CALENDAR[-1]


def test_a_client_swapped_for_a_block_is_put_back_and_caches_follow_it():
    records = [dict(first_industry_name="Banks", order_book_id="000001.XSHE", start_date=pd.Timestamp("2024-01-02"))]
    first, second = FakeMarket(citics=records), FakeMarket(citics=[dict(records[0], first_industry_name="Media")])
    with _market.use_source(first):
        assert _market.source() is first
        assert varodyne.get_all_industry_data()["first_industry_name"].tolist() == ["Banks"]
        with _market.use_source(second):
            assert varodyne.get_all_industry_data()["first_industry_name"].tolist() == ["Media"]
        assert varodyne.get_all_industry_data()["first_industry_name"].tolist() == ["Banks"]
        assert first.queries == ["__internal__zx2019_industry"] * 2
    assert _market.source() is tidewell


def test_names_replaced_on_the_engine_module_reach_the_steps(monkeypatch):
    fake = FakeMarket()
    monkeypatch.setattr(varodyne, "tidewell", fake)
    assert _market.source() is fake

    def load(order_book_ids, dates, source="citics_2019"):
        return pd.Series(dtype=object)

    monkeypatch.setattr(varodyne, "_load_industry_data", load)
    assert _industry._load_industry_data is load
    monkeypatch.undo()
    assert _market.source() is tidewell and _industry._load_industry_data is varodyne._load_industry_data


def test_no_price_at_all_is_a_clear_error(plug_market):
    plug_market(ClosesMarket(pd.DataFrame(np.nan, index=CALENDAR, columns=["A"])))
    factor = pd.DataFrame(1.0, index=CALENDAR[1:3], columns=["A"])
    with pytest.raises(ValueError, match="no prices found for any instrument of factor_data"):
        varodyne._daily_returns(factor, 1)


def test_a_factor_reaching_the_last_bar_runs_and_one_outside_the_calendar_is_refused(small_store):
    from sigmora.analysis.varodyne import FactorVarodyne, ICAnalysis
    calendar = tidewell.get_trading_dates("1900-01-01", "2200-12-31")
    last_bar = pd.Timestamp(tidewell.info(small_store)["tables"]["daily_bars"]["last"])
    ids = tidewell.all_instruments(type="CS")["order_book_id"].tolist()[:10]
    rng = np.random.default_rng(0)
    dates = calendar[calendar <= last_bar][-30:]
    factor = pd.DataFrame(rng.normal(size=(30, 10)), index=dates, columns=ids)
    engine = FactorVarodyne()
    engine.append(("ic", ICAnalysis()))
    record = engine.analysis(factor, "daily", periods=(1, 5))["ic"]
    assert record.coverage.without_forward_return == {"P_1": 1, "P_5": 5}
    assert record.ic["P_5"].iloc[-5:].isna().all() and record.ic["P_5"].iloc[:-5].notna().all()

    early = factor.set_axis(pd.bdate_range("1990-01-01", periods=30))
    with pytest.raises(ValueError, match=r"factor_data: its dates \(1990-01-01 to 1990-02-09\) lie outside the "
                                         r"store's trading calendar \({} to {}\)".format(
                                             calendar[0].date(), calendar[-1].date())):
        engine.analysis(early, "daily")


def test_no_price_at_all_says_whether_the_ids_or_the_dates_are_at_fault(small_store):
    from sigmora.analysis.varodyne import FactorVarodyne, ICAnalysis
    ids = tidewell.all_instruments(type="CS")["order_book_id"].tolist()[:4]
    rng = np.random.default_rng(1)
    factor = pd.DataFrame(rng.normal(size=(10, 4)), index=pd.bdate_range("2023-03-01", periods=10), columns=ids)
    engine = FactorVarodyne()
    engine.append(("ic", ICAnalysis()))
    bare = factor.rename(columns=lambda c: c[:6])
    with pytest.raises(ValueError, match=r"check that its columns are order_book_ids of the store; the store spells "
                                         r"{!r} as {!r}: rename the columns".format(ids[0][:6], ids[0])):
        engine.analysis(bare, "daily")
    # the rename the message gives is the fix
    fixed = bare.rename(columns=lambda c: tidewell.ids.normalize(c)[0])
    assert list(fixed.columns) == ids and engine.analysis(fixed, "daily")["ic"].ic.notna().any().all()
    # ids of the store on dates inside the calendar but before its prices: the dates are named as the fault
    early = factor.set_axis(pd.bdate_range("2015-03-02", periods=10))
    with pytest.raises(ValueError, match=r"they are instruments of the store, so the store holds no price over the "
                                         r"factor's dates") as caught:
        engine.analysis(early, "daily")
    assert "check that its columns" not in str(caught.value)
    # ids in no spelling of the store: only the check
    with pytest.raises(ValueError, match=r"check that its columns are order_book_ids of the store$"):
        engine.analysis(factor.rename(columns=lambda c: "X" + c), "daily")


class CalendarFrom(FakeMarket):
    """A fake whose trading calendar starts on a given date."""

    def __init__(self, first, **kwargs):
        super().__init__(**kwargs)
        self.first = pd.Timestamp(first)

    def get_trading_dates(self, start, end):
        return super().get_trading_dates(max(pd.Timestamp(start), self.first), end)


def test_classification_records_before_the_calendar_apply_from_its_first_date(plug_market):
    records = [dict(first_industry_name="Banks", order_book_id="000001.XSHE", start_date=pd.Timestamp("2009-03-02")),
               dict(first_industry_name="Media", order_book_id="000002.XSHE", start_date=pd.Timestamp("2009-06-01")),
               dict(first_industry_name="Autos", order_book_id="000002.XSHE", start_date=pd.Timestamp("2010-01-05"))]
    plug_market(CalendarFrom("2010-01-04", citics=records))
    dates = pd.bdate_range("2010-01-04", periods=3)
    got = varodyne._load_industry_data(["000001.XSHE", "000002.XSHE"], dates)
    assert got.loc[(dates[0], "000001.XSHE")] == "Banks" and got.loc[(dates[0], "000002.XSHE")] == "Media"
    assert got.loc[(dates[2], "000002.XSHE")] == "Autos" and len(got) == 6


def test_a_classification_or_exposures_the_store_lacks_are_named_with_the_way_out(plug_market):
    from sigmora.analysis.varodyne import ICAnalysis, Neutralization
    plug_market(FakeMarket(citics=[], sws=[], exposures=None))
    factor = pd.DataFrame(np.arange(12.0).reshape(3, 4), index=pd.bdate_range("2024-01-02", periods=3),
                          columns=["A", "B", "C", "D"])
    returns = factor.pct_change()
    for step in (ICAnalysis(industry_classification="sws"), Neutralization(style_factors=None)):
        with pytest.raises(ValueError, match=r"industry classification '(sws|citics_2019)': the store holds no "
                                             r"records of it; import them.*or leave industries out") as err:
            (step.process(factor) if isinstance(step, Neutralization)
             else step.analysis(factor, returns, [1]))
        assert isinstance(err.value, IndexError)
        # the import it suggests names a table the importer takes
        table = re.search(r"tidewell import STORE (\w+)=FILE", str(err.value)).group(1)
        assert table in tidewell.schema.TABLES
        assert table == "industry_" + re.search(r"classification '(\w+)'", str(err.value)).group(1)
    with pytest.raises(ValueError, match=r"style_factors: .*no exposures.*Neutralization\(style_factors=None\)"):
        Neutralization(industry=None).process(factor)
