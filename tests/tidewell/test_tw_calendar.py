import datetime as dt

import numpy as np
import pandas as pd
import pytest

import tidewell


def test_trading_dates_shape_and_type(tw_small):
    tds = tidewell.get_trading_dates("2024-01-01", "2024-01-10")
    assert isinstance(tds, pd.DatetimeIndex)
    assert list(tds.strftime("%Y-%m-%d")) == [
        "2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05", "2024-01-08", "2024-01-09",
        "2024-01-10"]
    assert (tds == tds.normalize()).all()
    assert tds.is_monotonic_increasing
    assert pd.to_datetime(tds).equals(tds)


def test_trading_dates_accepts_all_date_forms(tw_small):
    a = tidewell.get_trading_dates("2024-02-01", "2024-02-29")
    for s, e in [(dt.date(2024, 2, 1), dt.datetime(2024, 2, 29, 15)),
                 (pd.Timestamp("2024-02-01"), np.datetime64("2024-02-29")),
                 (20240201, "20240229")]:
        assert tidewell.get_trading_dates(s, e).equals(a)
    # Spring festival: no session 2024-02-09 .. 2024-02-16
    assert not any(pd.Timestamp("2024-02-09") <= d <= pd.Timestamp("2024-02-16") for d in a)


def test_calendar_reaches_back_for_classification_dates(tw_small):
    tds = tidewell.get_trading_dates("2005-01-01", "2005-01-10")
    assert tds[0] == pd.Timestamp("2005-01-04")
    assert pd.Timestamp("2014-01-02") in tidewell.get_trading_dates("2013-12-25", "2014-01-10")
    assert pd.Timestamp("2014-01-01") not in tidewell.get_trading_dates("2013-12-25", "2014-01-10")


def test_calendar_extends_past_the_bars(tw_small):
    d = tidewell.get_next_trading_date("2024-12-31", 20)
    assert d > pd.Timestamp("2025-01-01")
    assert tidewell.get_price("000001.XSHE", "2025-01-01", "2025-06-30") is None


def test_start_after_end_raises(tw_small):
    with pytest.raises(ValueError, match="start_date"):
        tidewell.get_trading_dates("2024-02-01", "2024-01-01")


def test_empty_range_gives_empty_index(tw_small):
    tds = tidewell.get_trading_dates("2024-02-10", "2024-02-12")  # holiday + weekend
    assert isinstance(tds, pd.DatetimeIndex) and len(tds) == 0


def test_previous_and_next_on_a_trading_date(tw_small):
    assert tidewell.get_previous_trading_date("2024-01-03") == pd.Timestamp("2024-01-02")
    assert tidewell.get_next_trading_date("2024-01-03") == pd.Timestamp("2024-01-04")
    assert tidewell.get_next_trading_date("2024-01-03", 3) == pd.Timestamp("2024-01-08")
    assert tidewell.get_previous_trading_date("2024-01-08", 3) == pd.Timestamp("2024-01-03")
    r = tidewell.get_next_trading_date(pd.Timestamp("2024-01-03"), n=2)
    assert isinstance(r, pd.Timestamp) and r == r.normalize()


def test_previous_and_next_on_a_non_trading_date(tw_small):
    # 2024-01-06 is a Saturday: strictly before / after
    assert tidewell.get_previous_trading_date("2024-01-06") == pd.Timestamp("2024-01-05")
    assert tidewell.get_next_trading_date("2024-01-06") == pd.Timestamp("2024-01-08")
    assert tidewell.get_next_trading_date("2024-01-06", 2) == pd.Timestamp("2024-01-09")
    assert tidewell.get_previous_trading_date("2024-01-06", 2) == pd.Timestamp("2024-01-04")


def test_time_of_day_is_ignored(tw_small):
    assert tidewell.get_next_trading_date(dt.datetime(2024, 1, 3, 14, 59)) == pd.Timestamp("2024-01-04")


def test_past_the_calendar_raises(tw_small):
    with pytest.raises(ValueError, match="calendar"):
        tidewell.get_next_trading_date("2025-12-31")
    with pytest.raises(ValueError, match="calendar"):
        tidewell.get_next_trading_date("2030-01-01")
    with pytest.raises(ValueError, match="calendar"):
        tidewell.get_previous_trading_date("2005-01-04")
    with pytest.raises(ValueError, match="calendar"):
        tidewell.get_previous_trading_date("2031-01-01")
    with pytest.raises(ValueError, match="calendar"):
        tidewell.get_next_trading_date("1999-01-01")


@pytest.mark.parametrize("n", [0, -1, 1.5, "2", True, None])
def test_bad_n(tw_small, n):
    with pytest.raises(ValueError, match="n:"):
        tidewell.get_next_trading_date("2024-01-03", n)


def test_bad_date(tw_small):
    with pytest.raises(ValueError, match="date"):
        tidewell.get_previous_trading_date("yesterday")
