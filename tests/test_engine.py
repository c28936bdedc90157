"""The pipeline engine: step registration, argument checks, daily returns, run order."""

import warnings

import numpy as np
import pandas as pd
import pytest

import tidewell
from sigmora.analysis import varodyne
from sigmora.analysis.varodyne import (
    FactorAnalyser, FactorPreprocessor, FactorVarodyne, _get_datetime_freq, _get_return_fields,
    _is_date_frequency_index, _validate_data_frame,
)

DATES = pd.bdate_range("2024-01-02", periods=8)
CALENDAR = pd.bdate_range("2023-12-01", "2024-03-29")


def make_factor(dates=DATES, ids=("A", "B", "C")):
    rng = np.random.default_rng(0)
    return pd.DataFrame(rng.normal(size=(len(dates), len(ids))), index=dates, columns=list(ids))


class Recorder(FactorAnalyser):
    """An analysis step of a user's own that records what the engine hands it."""

    def analysis(self, factor_data, returns, periods, ascending=True):
        self.seen = (factor_data, returns, periods, ascending)
        return {"step": self.step_name, "mean": float(np.nanmean(factor_data.to_numpy()))}


class AddOne(FactorPreprocessor):
    def process(self, factor_data):
        return factor_data + 1


@pytest.fixture
def fake_market(monkeypatch):
    """A market whose post-adjusted close of every instrument doubles each trading day,
    with instrument B suspended (no bar) on one date."""
    calls = []

    def next_date(date, n=1):
        pos = CALENDAR.searchsorted(pd.Timestamp(date), side="right")
        return CALENDAR[pos + n - 1]

    def prev_date(date, n=1):
        pos = CALENDAR.searchsorted(pd.Timestamp(date), side="left")
        return CALENDAR[pos - n]

    def get_price(**kwargs):
        calls.append(kwargs)
        days = CALENDAR[(CALENDAR >= kwargs["start_date"]) & (CALENDAR <= kwargs["end_date"])]
        rows = []
        for oid in kwargs["order_book_ids"]:
            for i, d in enumerate(days):
                if oid == "B" and d == DATES[3]:
                    continue
                rows.append((oid, d, 2.0 ** i))
        df = pd.DataFrame(rows, columns=["order_book_id", "date", "close"])
        return df.set_index(["order_book_id", "date"])

    monkeypatch.setattr(tidewell, "get_next_trading_date", next_date)
    monkeypatch.setattr(tidewell, "get_previous_trading_date", prev_date)
    monkeypatch.setattr(tidewell, "get_price", get_price)
    return calls


class TestAppend:
    def test_registers_steps_by_kind(self):
        engine = FactorVarodyne()
        pre, ana = AddOne(), Recorder()
        engine.append(("pre", pre))
        engine.append(("ana", ana))
        assert engine.preprocess_pipelines == [("pre", pre)]
        assert dict(engine.analysis_pipelines) == {"ana": ana}
        assert ana.step_name == "ana"
        assert FactorAnalyser.step_name == "FactorAnalysisStep"

    def test_argument_errors(self):
        engine = FactorVarodyne()
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            engine.append(None)
        with pytest.raises(TypeError, match=r"step.*expected tuple, got list"):
            engine.append(["a", AddOne()])
        with pytest.raises(ValueError, match="too many values to unpack"):
            engine.append(("a", AddOne(), 1))
        with pytest.raises(ValueError, match="not enough values to unpack"):
            engine.append(("a",))

    def test_duplicate_and_unknown_names(self):
        engine = FactorVarodyne()
        engine.append(("a", AddOne()))
        with pytest.raises(RuntimeError, match=r"^pipeline step name=a already exists, please use another name\.$"):
            engine.append(("a", Recorder()))
        junk = object()
        with pytest.raises(ValueError, match=r"^Invalid step=x, unknown processor=" + repr(str(junk))[1:-1]):
            engine.append(("x", junk))
        # The rejected step still took its name.
        with pytest.raises(RuntimeError, match="pipeline step name=x already exists"):
            engine.append(("x", AddOne()))

    def test_abstract_steps(self):
        with pytest.raises(NotImplementedError, match="Need implement FactorPreprocessor.process"):
            FactorPreprocessor().process(None)
        with pytest.raises(NotImplementedError, match="Need implement FactorAnalyser.analysis"):
            FactorAnalyser().analysis(None, None, [1])


class TestAnalysisChecks:
    def test_empty_engine_warns_before_any_check(self):
        with pytest.warns(UserWarning, match="no pipelines to execute."):
            assert FactorVarodyne().analysis("not a table", "daily") is None

    @pytest.fixture
    def engine(self):
        engine = FactorVarodyne()
        engine.append(("r", Recorder()))
        return engine

    def test_periods_type(self, engine):
        with pytest.raises(AssertionError, match=r"periods must be tuple/list/int, but got <class 'float'>"):
            engine.analysis(make_factor(), make_factor(), periods=2.0)
        # checked before either table is looked at
        with pytest.raises(AssertionError, match=r"^periods must be tuple/list/int, but got <class 'str'>$"):
            engine.analysis([1], "weekly", periods="5")

    def test_table_validation_order_and_messages(self, engine):
        with pytest.raises(ValueError, match=r"^factor_data: expect pd.DataFrame, got <class 'list'>$"):
            engine.analysis([1], "weekly")
        int_indexed = make_factor().reset_index(drop=True)
        with pytest.raises(ValueError, match=r"^factor_data: expect index type=pd.DatetimeIndex, got "):
            engine.analysis(int_indexed, "daily")
        with pytest.raises(ValueError, match=r"^Empty factor data source!$"):
            engine.analysis(make_factor().iloc[:0], "daily")
        with pytest.raises(ValueError, match=r'^returns: expect pd.DataFrame or "daily", got weekly$'):
            engine.analysis(make_factor(), "weekly")
        with pytest.raises(ValueError, match=r"^returns: expect index type=pd.DatetimeIndex, got .*RangeIndex"):
            engine.analysis(make_factor(), int_indexed)
        with pytest.raises(ValueError, match=r"^Empty factor data source!$"):
            engine.analysis(make_factor(), make_factor().iloc[:0])


class TestRun:
    def test_given_returns_flow_through_steps(self):
        engine = FactorVarodyne()
        rec = Recorder()
        engine.append(("plus", AddOne()))
        engine.append(("rec", rec))
        factor, returns = make_factor(), make_factor() / 100
        result = engine.analysis(factor, returns, ascending=True, periods=5)
        seen_factor, seen_returns, periods, ascending = rec.seen
        pd.testing.assert_frame_equal(seen_factor, factor + 1)
        assert seen_returns is returns
        assert periods == [5] and ascending is True
        assert set(result) == {"rec"}
        # The caller's tables had their axes renamed in place.
        assert factor.index.name == "datetime" and factor.columns.name == "order_book_id"
        assert returns.index.name == "datetime" and returns.columns.name == "order_book_id"

    def test_keep_preprocess_result_copies(self):
        engine = FactorVarodyne()
        engine.append(("w", AddOne()))
        engine.append(("ic", Recorder()))
        factor = make_factor()
        result = engine.analysis(factor, make_factor(), keep_preprocess_result=True)
        assert list(result) == ["w", "ic"]
        pd.testing.assert_frame_equal(result["w"], factor + 1)
        result["w"].iloc[0, 0] = 99.0
        assert engine.analysis(factor, make_factor())["ic"]["mean"] == pytest.approx(
            float(np.nanmean((factor + 1).to_numpy())))

    def test_preprocessing_only_without_keep_is_empty(self):
        engine = FactorVarodyne()
        engine.append(("w", AddOne()))
        assert engine.analysis(make_factor(), make_factor()) == {}

    def test_daily_returns_window_and_forward_fill(self, fake_market):
        engine = FactorVarodyne()
        rec = Recorder()
        engine.append(("rec", rec))
        factor = make_factor()
        engine.analysis(factor, "daily", periods=(1, 5, 10))
        (call,) = fake_market
        assert call["start_date"] == pd.Timestamp("2024-01-01")  # trading date before the first
        assert call["end_date"] == CALENDAR[CALENDAR.get_loc(DATES[-1]) + 10]
        assert call["fields"] == "close" and call["adjust_type"] == "post" and call["expect_df"] is True
        assert call["order_book_ids"] is factor.columns
        _, returns, periods, _ = rec.seen
        assert periods == (1, 5, 10)
        assert returns.index[0] == DATES[0] and returns.index[-1] == call["end_date"]
        assert list(returns.columns) == ["A", "B", "C"]
        # Prices double each day; B's missing day keeps the last close (0 return) and the
        # day it resumes is measured from that close.
        np.testing.assert_array_equal(returns["A"].to_numpy(), 1.0)
        b = returns["B"]
        assert b[DATES[3]] == 0.0 and b[DATES[4]] == 3.0 and np.isfinite(b.to_numpy()).all()

    def test_default_periods_reach_one_date_beyond(self, fake_market):
        engine = FactorVarodyne()
        engine.append(("rec", Recorder()))
        engine.analysis(make_factor(), "daily")
        assert fake_market[0]["end_date"] == CALENDAR[CALENDAR.get_loc(DATES[-1]) + 1]


class TestHelpers:
    def test_datetime_freq(self):
        assert _get_datetime_freq(pd.DatetimeIndex(DATES)) == "1d"
        assert _is_date_frequency_index(pd.DatetimeIndex(DATES))
        minutes = pd.date_range("2024-01-02 09:31", periods=5, freq="min")
        assert _get_datetime_freq(minutes) == "1m" and not _is_date_frequency_index(minutes)
        assert _get_datetime_freq(pd.date_range("2024-01-02 09:30:03", periods=3, freq="3s")) == "tick"
        with pytest.raises(ValueError, match="^Unknown datetime index: "):
            _get_datetime_freq(pd.date_range("2024-01-02 09:00", periods=3, freq="h"))

    def test_return_fields_and_validation(self):
        assert _get_return_fields(["P_1", "factor", "P_5"]) == ["P_1", "P_5"]
        assert _validate_data_frame(make_factor(), "x") is None
        with pytest.raises(ValueError, match="^x: expect pd.DataFrame"):
            _validate_data_frame(df=pd.Series([1.0]), name="x")

    def test_module_surface(self):
        assert varodyne.__all__ == ["Winzorization", "Normalization", "Neutralization", "ICAnalysis",
                                    "QuantileReturnAnalysis", "FactorReturnAnalysis", "TradableUniverse",
                                    "FactorVarodyne"]
        assert varodyne.VALID_INDUSTRY_SOURCE == ("citics_2019", "sws")
        assert varodyne.VALID_WINSORIZE_METHODS == {"std", "percentile", "mad", "none"}
        assert varodyne.FIELD_MAPPING == {"citics_2019": "first_industry_name", "sws": "index_name"}
        for name in ("Winzorization", "Normalization", "Neutralization", "TradableUniverse"):
            assert issubclass(getattr(varodyne, name), FactorPreprocessor)
        for name in ("ICAnalysis", "QuantileReturnAnalysis", "FactorReturnAnalysis"):
            assert issubclass(getattr(varodyne, name), FactorAnalyser)
