import datetime as dt

import numpy as np
import pandas as pd
import pytest

from tidewell.dates import check_range, to_date, to_timestamp

EXPECTED = pd.Timestamp("2019-01-02")


@pytest.mark.parametrize("value", [
    "2019-01-02", "20190102", 20190102, dt.date(2019, 1, 2), dt.datetime(2019, 1, 2, 14, 30),
    pd.Timestamp("2019-01-02 09:31"), np.datetime64("2019-01-02"),
    np.datetime64("2019-01-02T10:00:00.000000000"), pd.Timestamp("2019-01-02", tz="Asia/Shanghai"),
])
def test_to_date_accepts_every_representation(value):
    d = to_date(value, "start_date")
    assert isinstance(d, pd.Timestamp)
    assert d == EXPECTED
    assert d.tzinfo is None
    assert d == d.normalize()


def test_to_timestamp_keeps_time_of_day():
    assert to_timestamp("2019-01-02 09:31:00") == pd.Timestamp("2019-01-02 09:31")


@pytest.mark.parametrize("value", [None, "not a date", 3.5, 123, True, pd.NaT, [2019, 1, 2]])
def test_bad_dates_raise_value_error_naming_the_argument(value):
    with pytest.raises(ValueError, match="start_date"):
        to_date(value, "start_date")


def test_check_range():
    check_range(EXPECTED, EXPECTED)
    with pytest.raises(ValueError, match="start_date.*after.*end_date"):
        check_range(pd.Timestamp("2019-02-01"), EXPECTED)
