"""Batch factor tests on a local Dask cluster of two worker processes."""

import os

import numpy as np
import pandas as pd
import pytest

import tidewell
from sigmora.analysis.varodyne import FactorAnalyser, FactorPreprocessor, FactorVarodyne
from sigmora.batch import FactorFailure, local_cluster, run_many

distributed = pytest.importorskip("dask.distributed")


class Capture(FactorAnalyser):
    """Returns what the engine hands it, so a comparison checks the return table too."""

    def analysis(self, factor_data, returns, periods, ascending=True):
        return {"factor": factor_data, "returns": returns, "periods": list(periods), "ascending": ascending}


class Demean(FactorPreprocessor):
    def process(self, factor_data):
        return factor_data.sub(factor_data.mean(axis=1), axis=0)


class FailOn(FactorPreprocessor):
    """Raises for the factor whose first value is the marker."""

    def process(self, factor_data):
        if factor_data.iloc[0, 0] == -999.0:
            raise ArithmeticError("bad factor")
        return factor_data


class DieOnce(FactorPreprocessor):
    """Kills its worker process the first time it runs, as a machine failure would."""

    def __init__(self, marker):
        self.marker = marker

    def process(self, factor_data):
        try:
            os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return factor_data
        os._exit(1)


@pytest.fixture(scope="module")
def cluster_client():
    cluster = local_cluster(2)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def _factors(store):
    with tidewell.using(store):
        ids = list(tidewell.all_instruments(type="CS").order_book_id)
        a = tidewell.get_signal(ids[:20], "2023-02-01", "2023-06-30")
        b = tidewell.get_signal(ids[10:], "2023-03-01", "2023-09-29") * -1.0
    a.index.name = b.index.name = None
    a.columns.name = b.columns.name = None
    return {"a": a, "b": b}


def _engine(*extra):
    engine = FactorVarodyne()
    for i, step in enumerate(extra):
        engine.append(("extra{}".format(i), step))
    engine.append(("demean", Demean()))
    engine.append(("capture", Capture()))
    return engine


class TestRunMany:
    def test_equals_one_run_per_factor(self, small_store, cluster_client):
        factors = _factors(small_store)
        # More factors than the batch keeps in flight on two workers.
        for k, name in enumerate("cdefg"):
            factors[name] = factors["ab"[k % 2]] * (k + 2) + k
        engine = _engine()
        batch = run_many(engine, factors, periods=(1, 5), client=cluster_client, progress=False)
        assert list(batch) == list("abcdefg") and not batch.failures
        for name, table in factors.items():
            alone = engine.analysis(table.copy(), "daily", periods=(1, 5))["capture"]
            got = batch[name]["capture"]
            pd.testing.assert_frame_equal(got["factor"], alone["factor"])
            pd.testing.assert_frame_equal(got["returns"], alone["returns"])
            assert got["periods"] == [1, 5] and got["ascending"] is False
        # The caller's tables were not renamed or altered by the workers.
        assert factors["a"].index.name is None

    def test_quantile_detail_arrives_as_the_engine_built_it(self, small_store, cluster_client):
        from sigmora.analysis.varodyne import QuantileReturnAnalysis
        factors = _factors(small_store)
        engine = FactorVarodyne()
        engine.append(("quantile", QuantileReturnAnalysis(quantile=3)))
        batch = run_many(engine, factors, periods=(1, 2), client=cluster_client, progress=False)
        for name, table in factors.items():
            alone = engine.analysis(table.copy(), "daily", periods=(1, 2))["quantile"]
            got = batch[name]["quantile"]
            pd.testing.assert_frame_equal(got.quantile_detail, alone.quantile_detail)
            assert (got.quantile_detail.dtypes == object).all() and got.quantile_detail.isna().any().any()
            pd.testing.assert_frame_equal(got.quantile_returns, alone.quantile_returns)

    def test_a_failing_factor_does_not_stop_the_others(self, small_store, cluster_client):
        factors = _factors(small_store)
        factors["a"].iloc[0, 0] = -999.0
        with pytest.warns(UserWarning, match="1 of 2 factors completed"):
            batch = run_many(_engine(FailOn()), factors, client=cluster_client, progress=False)
        failure = batch["a"]
        assert isinstance(failure, FactorFailure) and isinstance(failure.exception, ArithmeticError)
        assert "bad factor" in failure.traceback and "Traceback" in failure.traceback
        assert "capture" in batch["b"]
        assert set(batch.failures) == {"a"}
        assert "1 of 2 factors completed" in batch.report() and "a failed: ArithmeticError" in batch.report()

    def test_a_factor_the_calendar_cannot_serve_is_its_own_failure(self, small_store, cluster_client):
        factors = _factors(small_store)
        good = factors["b"]
        zoned = good.set_axis(good.index.tz_localize("Asia/Shanghai"))
        beyond = good.set_axis(good.index + pd.DateOffset(years=30))
        swapped = good.iloc[[1, 0] + list(range(2, len(good)))]
        with pytest.warns(UserWarning, match="1 of 4 factors completed"):
            batch = run_many(_engine(), {"zoned": zoned, "good": good, "beyond": beyond, "swapped": swapped},
                             client=cluster_client, progress=False)
        assert list(batch) == ["zoned", "good", "beyond", "swapped"]
        assert set(batch.failures) == {"zoned", "beyond", "swapped"}
        assert "time zone" in str(batch["zoned"].exception) and "ascending" in str(batch["swapped"].exception)
        alone = _engine().analysis(good.copy(), "daily")["capture"]
        pd.testing.assert_frame_equal(batch["good"]["capture"]["returns"], alone["returns"])

    def test_worker_lost_mid_run_is_rerun_elsewhere(self, small_store, cluster_client, tmp_path):
        factors = _factors(small_store)
        batch = run_many(_engine(DieOnce(str(tmp_path / "died"))), factors, client=cluster_client,
                         progress=False)
        assert os.path.exists(tmp_path / "died")
        assert not batch.failures and set(batch) == {"a", "b"}

    def test_shared_return_table(self, small_store, cluster_client):
        factors = _factors(small_store)
        returns = factors["a"].pct_change()
        batch = run_many(_engine(), factors, returns=returns, client=cluster_client, progress=False)
        pd.testing.assert_frame_equal(batch["b"]["capture"]["returns"], returns.rename_axis(
            index="datetime", columns="order_book_id"))

    def test_the_tradable_screen_reports_from_the_workers(self, small_store, cluster_client):
        from sigmora.analysis.varodyne import ICAnalysis, TradableUniverse
        factors = _factors(small_store)
        engine = FactorVarodyne()
        engine.append(("tradable", TradableUniverse(min_listed_days=20, index="000300.XSHG")))
        engine.append(("ic", ICAnalysis(industry_classification=None, max_decay=None)))
        batch = run_many(engine, factors, periods=(1, 5), client=cluster_client, progress=False)
        assert not batch.failures
        for name, table in factors.items():
            alone = engine.analysis(table.copy(), "daily", periods=(1, 5))["ic"].coverage
            got = batch[name]["ic"].coverage
            assert got.removed_values > 0 and got.removed_by_rule["not in 000300.XSHG"] > 0
            assert got == alone

    def test_local_workers_keep_the_default_allocator_settings(self, cluster_client):
        # Dask's own default (64 KiB) would make every freed table go back to the system.
        inherited = os.environ.get("MALLOC_TRIM_THRESHOLD_")
        cluster_client.wait_for_workers(2, timeout=60)  # a worker killed by another test restarts
        seen = cluster_client.run(lambda: __import__("os").environ.get("MALLOC_TRIM_THRESHOLD_"))
        assert len(seen) == 2 and set(seen.values()) == {inherited}


class TestLocalCluster:
    def test_serves_no_dashboard_and_leaves_port_8787_alone(self):
        import socket
        import urllib.error
        import urllib.request
        import warnings

        holder = socket.socket()
        try:
            holder.bind(("127.0.0.1", 8787))
            holder.listen(1)
        except OSError:
            pass  # taken already, which is the case to check
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                cluster = local_cluster(1)
            try:
                assert not [w for w in caught if "already in use" in str(w.message)]
                scheduler = cluster.scheduler
                # distributed always runs an HTTP server (under the key "dashboard"): on a
                # loopback port of its own, answering nothing.
                server = scheduler.services.get("dashboard")
                if server is not None:
                    assert server.address == "127.0.0.1" and server.port != 8787
                    for path in ("/status", "/health", "/metrics"):
                        with pytest.raises(urllib.error.HTTPError, match="404"):
                            urllib.request.urlopen("http://127.0.0.1:{}{}".format(server.port, path), timeout=5)
            finally:
                cluster.close()
        finally:
            holder.close()


class TestBadInput:
    def test_rejected_before_any_work(self, small_store):
        engine = _engine()
        table = _factors(small_store)["a"]
        with pytest.raises(ValueError, match="factors: expect at least one factor"):
            run_many(engine, {})
        with pytest.raises(TypeError, match=r"factors\['x'\]: expect a pd.DataFrame or a factor expression"):
            run_many(engine, {"ok": table, "x": [1, 2, 3]})
        with pytest.raises(ValueError, match=r"factors\['e'\]: expect index type=pd.DatetimeIndex"):
            run_many(engine, {"e": table.reset_index(drop=True)})
        with pytest.raises(TypeError, match="engine: expect a FactorVarodyne"):
            run_many(object(), {"ok": table})
        with pytest.raises(ValueError, match='returns: expect pd.DataFrame or "daily", got weekly'):
            run_many(engine, {"ok": table}, returns="weekly")
        for bad in (0, 1.5, True):
            with pytest.raises(ValueError, match="n_workers: expect a positive integer"):
                local_cluster(bad)

    def test_unreachable_scheduler(self, small_store):
        table = _factors(small_store)["a"]
        with pytest.raises(ConnectionError, match="cannot reach the Dask scheduler at 'tcp://127.0.0.1:9'"):
            run_many(_engine(), {"ok": table}, client="tcp://127.0.0.1:9")


class TestExpressions:
    def test_expressions_share_one_fetch_and_equal_their_single_evaluation(self, small_store, cluster_client):
        from sigmora.evaluation import evaluate
        from sigmora.interface import CombinedFactor, UserDefinedLeafFactor
        from sigmora.leaves import bar_field
        from sigmora.operators import cs_rank, ts_corr, ts_mean

        close = bar_field("close", "post")
        calls = []

        def recorded(order_book_ids, start_date, end_date):
            calls.append((start_date, end_date))
            return close.execute(order_book_ids, start_date, end_date)

        def broken(values):
            raise RuntimeError("cannot")

        x = UserDefinedLeafFactor("rec", recorded)
        ids = list(tidewell.all_instruments(type="CS").order_book_id)[:20]
        exprs = {"mean": ts_mean(x, 10), "rank": cs_rank(x), "corr": ts_corr(x, cs_rank(x), 5),
                 "bad": CombinedFactor(broken, x)}
        with pytest.warns(UserWarning, match="3 of 4 factors completed"):
            batch = run_many(_engine(), exprs, periods=(1, 5), client=cluster_client, progress=False,
                             order_book_ids=ids, start_date="2023-03-01", end_date="2023-06-30")
        assert calls == [(tidewell.get_previous_trading_date("2023-03-01", 9), "2023-06-30")]
        assert isinstance(batch["bad"], FactorFailure) and "cannot" in batch["bad"].traceback
        for name in ("mean", "rank", "corr"):
            table = evaluate(exprs[name], ids, "2023-03-01", "2023-06-30")
            alone = _engine().analysis(table, "daily", periods=(1, 5))["capture"]
            pd.testing.assert_frame_equal(batch[name]["capture"]["factor"], alone["factor"])


def test_the_report_counts_completed_runs_that_rest_on_nothing():
    from types import SimpleNamespace
    from sigmora.batch import BatchResult

    def record(degenerate=None, dates_used=10, thin=False):
        return SimpleNamespace(coverage=SimpleNamespace(degenerate=degenerate, dates_used=dates_used,
                                                        thin_dates=thin))
    batch = BatchResult([("fine", {"ic": record()}), ("flat", {"ic": record("constant", 0)}),
                         ("emptied", {"ic": record(dates_used=0)}), ("also", {"ic": record(dates_used=0)}),
                         ("few", {"ic": record(dates_used=2, thin=True)}),
                         # the gravest of its analyses: one rests on few dates, the other on none
                         ("worse", {"ic": record(dates_used=2, thin=True), "q": record(dates_used=0, thin=True)})])
    assert batch.report() == ("6 of 6 factors completed (1 with one value everywhere: flat; 3 resting on no date "
                              "(see what each rests on): emptied, also, worse; 1 resting on under half of their "
                              "dates (see what each rests on): few)")
