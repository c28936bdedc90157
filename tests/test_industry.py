
import numpy as np
import pandas as pd
import pytest

from sigmora.analysis import varodyne
from tests.fakes import CITICS_QUERY, SWS_QUERY, FakeMarket as FakeService

T = pd.Timestamp


def citics(name, oid, start):
    return dict(first_industry_name=name, order_book_id=oid, start_date=T(start))


def sws(name, oid, start, version):
    return dict(index_name=name, order_book_id=oid, start_date=T(start), version=version)


CITICS_RECORDS = [
    citics("Media", "000002.XSHE", "2020-01-06"),
    citics("Banks", "000001.XSHE", "2020-01-08"),
    citics("Autos", "000002.XSHE", "2020-01-13"),   # changes industry on a Monday
    citics("Banks", "600000.XSHG", "2020-01-04"),   # a Saturday: not a trading date
    citics("Coal", "000003.XSHE", "2020-01-15"),
    citics("Media", "000001.XSHE", "2020-01-20"),
]


@pytest.fixture
def service(monkeypatch):
    fake = FakeService(CITICS_RECORDS)
    # Replacing the client under the engine module's documented name reaches the data seam.
    monkeypatch.setattr(varodyne, "tidewell", fake)
    for cached in (varodyne.get_all_industry_data, varodyne.get_all_industry_category):
        cached.cache_clear()
    yield fake
    for cached in (varodyne.get_all_industry_data, varodyne.get_all_industry_category):
        cached.cache_clear()


# ------------------------------------------------------------------ literal transcriptions

def reference_industry_data(records, source):
    field = varodyne.FIELD_MAPPING.get(source)
    if source == "citics_2019":
        df = pd.DataFrame(records, columns=["first_industry_name", "order_book_id", "start_date"])
    else:
        df = pd.DataFrame(records, columns=["index_name", "order_book_id", "start_date", "version"])
        df["select"] = 1
        df.loc[df["start_date"] > pd.Timestamp("2014-01-01"), "select"] = 2
        df.loc[df["start_date"] > pd.Timestamp("2021-07-31"), "select"] = 3
        df = df[df["version"] == df["select"]]
    df = df.sort_values(["order_book_id", "start_date"], ascending=True)
    return df[[field, "order_book_id", "start_date"]]


def reference_industry_category(records, source):
    df = reference_industry_data(records, source).copy()
    field = varodyne.FIELD_MAPPING[source]
    df[field] = df[field].astype("category").cat.codes
    df = df.pivot(index="start_date", columns="order_book_id", values=field)
    df.ffill(inplace=True)
    df.bfill(inplace=True)
    return df.astype(int)


def reference_load(records, order_book_ids, dates, source, calendar):
    """With the calendar reaching to the last requested date (an instrument keeps its latest
    industry after the classification's last record start)."""
    df = reference_industry_data(records, source)
    df = df.pivot(index="start_date", columns="order_book_id", values=varodyne.FIELD_MAPPING[source])
    end = max(df.index[-1], pd.DatetimeIndex(dates).max())
    df = df.reindex(pd.to_datetime(calendar(df.index[0], end)))
    df.ffill(inplace=True)
    df.bfill(inplace=True)
    df = df.reindex(columns=order_book_ids, index=dates)
    return df.stack().dropna()


# ------------------------------------------------------------------ record table

def test_citics_record_table(service):
    got = varodyne.get_all_industry_data()
    assert got.columns.tolist() == ["first_industry_name", "order_book_id", "start_date"]
    pd.testing.assert_frame_equal(got, reference_industry_data(CITICS_RECORDS, "citics_2019"))
    assert got["order_book_id"].tolist() == sorted(got["order_book_id"])
    # row labels are the constructor's, not renumbered after sorting
    assert got.index.tolist() == [1, 5, 0, 2, 4, 3]
    assert service.queries == [CITICS_QUERY]


def test_sws_keeps_the_version_in_force_at_each_start(service):
    records = [
        sws("A1", "000001.XSHE", "2014-01-01", 1), sws("A2", "000001.XSHE", "2014-01-01", 2),
        sws("B2", "000001.XSHE", "2021-07-31", 2), sws("B3", "000001.XSHE", "2021-07-31", 3),
        sws("C1", "000002.XSHE", "2014-01-02", 1), sws("C2", "000002.XSHE", "2014-01-02", 2),
        sws("D3", "000002.XSHE", "2021-08-02", 3), sws("D2", "000002.XSHE", "2021-08-02", 2),
        sws("E1", "000003.XSHE", "2010-05-04", 1), sws("E3", "000003.XSHE", "2010-05-04", 3),
    ]
    service.answers[SWS_QUERY] = records
    got = varodyne.get_all_industry_data("sws")
    assert got.columns.tolist() == ["index_name", "order_book_id", "start_date"]
    assert got["index_name"].tolist() == ["A1", "B2", "C2", "D3", "E1"]
    pd.testing.assert_frame_equal(got, reference_industry_data(records, "sws"))
    assert service.queries == [SWS_QUERY]


@pytest.mark.parametrize("call", [
    lambda: varodyne.get_all_industry_data("gics"),
    lambda: varodyne.get_all_industry_category("gics"),
    lambda: varodyne._load_industry_data(["000001.XSHE"], [T("2020-01-08")], "gics"),
])
def test_unknown_source(service, call):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == "source: invalid source=gics, expect one of [sws, citics_2019]"
    assert service.queries == []


def test_cached_for_three_hours(service, monkeypatch):
    now = [1000.0]
    monkeypatch.setattr(varodyne.get_all_industry_data, "clock", lambda: now[0])
    first = varodyne.get_all_industry_data("citics_2019")
    assert varodyne.get_all_industry_data(source="citics_2019") is first
    assert varodyne.get_all_industry_data() is first
    now[0] += 10799.0
    assert varodyne.get_all_industry_data("citics_2019") is first
    assert service.queries == [CITICS_QUERY]
    now[0] += 2.0
    again = varodyne.get_all_industry_data("citics_2019")
    assert again is not first and service.queries == [CITICS_QUERY] * 2
    assert varodyne.get_all_industry_category.ttl == varodyne.get_all_industry_data.ttl == 10800


# ------------------------------------------------------------------ code table

def test_code_table(service):
    got = varodyne.get_all_industry_category()
    pd.testing.assert_frame_equal(got, reference_industry_category(CITICS_RECORDS, "citics_2019"))
    assert got.index.tolist() == [T(d) for d in ("2020-01-04", "2020-01-06", "2020-01-08", "2020-01-13",
                                                  "2020-01-15", "2020-01-20")]
    assert not got.isna().any().any() and all(np.issubdtype(t, np.integer) for t in got.dtypes)
    # codes follow the sorted names: Autos 0, Banks 1, Coal 2, Media 3
    assert got["000002.XSHE"].tolist() == [3, 3, 3, 0, 0, 0]   # first record carried backwards
    assert got["000001.XSHE"].tolist() == [1, 1, 1, 1, 1, 3]
    # a record starting on a non-trading date counts from that date
    assert got.loc[T("2020-01-04"), "600000.XSHG"] == 1


def test_code_table_leaves_the_cached_records_intact(service):
    records = varodyne.get_all_industry_data()
    snapshot = records.copy()
    varodyne.get_all_industry_category()
    assert varodyne.get_all_industry_data() is records
    pd.testing.assert_frame_equal(records, snapshot)
    assert service.queries == [CITICS_QUERY]


def test_duplicate_records_make_the_reshape_fail(service):
    service.answers[CITICS_QUERY] = CITICS_RECORDS + [citics("Coal", "000001.XSHE", "2020-01-08")]
    with pytest.raises(ValueError, match="duplicate"):
        varodyne.get_all_industry_category()


# ------------------------------------------------------------------ industry series

def test_industry_series(service):
    ids = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "999999.XSHE"]
    dates = pd.DatetimeIndex(["2020-01-03", "2020-01-06", "2020-01-10", "2020-01-13", "2020-01-21",
                              "2020-01-24"])
    got = varodyne._load_industry_data(ids, dates)
    want = reference_load(CITICS_RECORDS, ids, dates, "citics_2019", service.get_trading_dates)
    pd.testing.assert_series_equal(got, want, check_names=False)
    pd.testing.assert_series_equal(
        varodyne._load_industry_data(order_book_ids=ids, dates=dates, source="citics_2019"), got)
    # Instruments left out of the request change nothing for the others.
    fewer = ["999999.XSHE", "000002.XSHE"]
    pd.testing.assert_series_equal(varodyne._load_industry_data(fewer, dates),
                                   reference_load(CITICS_RECORDS, fewer, dates, "citics_2019",
                                                  service.get_trading_dates), check_names=False)
    by_pair = got.to_dict()
    # before the earliest start date: nothing; no record at all: nothing
    assert not any(d == T("2020-01-03") or oid == "999999.XSHE" for d, oid in by_pair)
    # a changed industry: the old one before the new record's start, the new one from it on
    assert by_pair[(T("2020-01-10"), "000002.XSHE")] == "Media"
    assert by_pair[(T("2020-01-13"), "000002.XSHE")] == "Autos"
    # after the last start date an instrument keeps its latest industry
    assert by_pair[(T("2020-01-24"), "000001.XSHE")] == "Media"
    # the only record of this instrument starts on a Saturday: dropped before the filling
    assert not any(oid == "600000.XSHG" for _, oid in by_pair)
    assert service.calendar_requests[0][0] == T("2020-01-04")


def test_industry_series_empty_classification(service):
    service.answers[CITICS_QUERY] = []
    with pytest.raises(IndexError):
        varodyne._load_industry_data(["000001.XSHE"], [T("2020-01-08")])


@pytest.mark.parametrize("shape", [(0, 3), (1, 4), (2, 1), (40, 7)])
def test_code_fill_is_pandas_forward_then_backward_fill(shape):
    from sigmora.analysis._industry import _filled_both_ways
    rng = np.random.default_rng(shape[0])
    values = np.where(rng.random(shape) < 0.7, np.nan, rng.integers(0, 5, shape).astype(float))
    if shape[1] > 2:
        values[:, 1] = np.nan            # a column with no record
        values[-1:, 2] = 3.0             # one whose only record comes last
    frame = pd.DataFrame(values)
    want = frame.ffill().bfill().to_numpy()
    for layout in (values, np.asfortranarray(values), frame.to_numpy()):
        got = _filled_both_ways(layout)
        np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(values, frame.to_numpy())   # the input is left as it was
