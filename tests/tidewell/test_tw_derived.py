"""The demo's derived valuation ratios ("pb_ratio", "pe_ratio") exist in demo stores only."""

import shutil

import duckdb
import numpy as np
import pandas as pd
import pytest

import tidewell
from tidewell.importer import import_files
from tidewell.schema import STYLE_FACTORS

IDS = ["000001.XSHE", "000002.XSHE"]
DERIVED = ["pb_ratio", "pe_ratio", "market_cap"]


def _export(store, tables, folder):
    """Tables of ``store`` for IDS (and the whole calendar) written as Parquet user files."""
    con = duckdb.connect(store, read_only=True)
    try:
        files = {}
        for name in tables:
            where = "" if name == "trading_calendar" else "WHERE order_book_id IN ('{}')".format(
                "', '".join(IDS))
            p = str(folder / "{}.parquet".format(name))
            con.execute("SELECT * FROM {} {}".format(name, where)).df().to_parquet(p, index=False)
            files[name] = p
        return files
    finally:
        con.close()


@pytest.fixture(scope="module")
def imported(tw_small_path, tmp_path_factory):
    """A store built by ``tidewell import`` alone, holding real (here: copied) exposures."""
    folder = tmp_path_factory.mktemp("derived")
    files = _export(tw_small_path, ["instruments", "trading_calendar", "daily_bars",
                                    "style_exposures", "signals"], folder)
    path = str(folder / "mine.duckdb")
    import_files(path, files)
    return path


def test_a_demo_store_serves_the_derived_ratios_as_before(tw_small_path):
    with tidewell.using(tw_small_path):
        names = tidewell.factor_names()
        assert names == list(STYLE_FACTORS) + DERIVED + ["noise", "planted"]
        got = tidewell.get_factor(IDS, ["pb_ratio", "size", "pe_ratio"], "2024-01-02", "2024-06-28")
        expo = tidewell.get_style_factor_exposure(IDS, "2024-01-02", "2024-06-28")
    assert list(got.columns) == ["pb_ratio", "size", "pe_ratio"]
    assert got.index.names == ["order_book_id", "date"] and len(got) == len(expo)
    # the numbers of the documented formula, rounded to 4 decimals by the store
    assert np.allclose(got["pb_ratio"], 2.0 * 2.0 ** -expo["book_to_price"], atol=5.1e-5)
    assert np.allclose(got["pe_ratio"], 18.0 * 2.0 ** -expo["earnings_yield"], atol=5.1e-5)
    pd.testing.assert_series_equal(got["size"], expo["size"])
    with tidewell.using(tw_small_path):
        cap = tidewell.get_factor(IDS, "market_cap", "2024-01-02", "2024-06-28")["market_cap"]
        grid = tidewell.get_daily_grids("style_exposures", IDS, pd.DatetimeIndex(
            tidewell.get_trading_dates("2024-01-02", "2024-06-28")), ["market_cap"])["market_cap"]
    assert np.allclose(cap, 1.0e10 * 2.0 ** (1.5 * expo["size"]), rtol=1e-6, atol=0.51)
    assert (cap > 0).all() and np.isclose(np.nansum(grid), cap.sum(), rtol=1e-12)  # the wide read: the same values
    # and exactly the values the derivation gave before the store protocol
    con = duckdb.connect(tw_small_path, read_only=True)
    try:
        want = con.execute(
            "SELECT round(2.0 * pow(2.0, -book_to_price), 4) AS pb FROM style_exposures WHERE "
            "order_book_id IN ('000001.XSHE', '000002.XSHE') AND date BETWEEN DATE '2024-01-02' "
            "AND DATE '2024-06-28' ORDER BY order_book_id, date").df()["pb"]
    finally:
        con.close()
    assert got["pb_ratio"].to_numpy().tolist() == want.to_numpy().tolist()


def test_an_imported_store_neither_lists_nor_serves_them(imported, tw_small_path):
    with tidewell.using(imported):
        assert tidewell.factor_names() == list(STYLE_FACTORS) + ["noise", "planted"]
        for asked in ("pb_ratio", ["size", "pe_ratio"]):
            with pytest.raises(ValueError) as e:
                tidewell.get_factor(IDS, asked, "2024-01-02", "2024-06-28")
            msg = str(e.value)
            assert msg.startswith("factor: unknown field 'p")
            assert "demo stores only" in msg
            allowed = msg.split("expect some of ", 1)[1]
            assert "'book_to_price'" in allowed and "'planted'" in allowed
            assert "pb_ratio" not in allowed and "pe_ratio" not in allowed and "market_cap" not in allowed
        # an unknown factor reads as before, only without the ratios among the allowed names
        with pytest.raises(ValueError, match=r"^factor: unknown field 'roe', expect some of \['beta'"):
            tidewell.get_factor(IDS, "roe", "2024-01-02", "2024-06-28")
        mine = tidewell.get_factor(IDS, ["book_to_price", "planted"], "2024-01-02", "2024-06-28")
    with tidewell.using(tw_small_path):
        demo = tidewell.get_factor(IDS, ["book_to_price", "planted"], "2024-01-02", "2024-06-28")
    pd.testing.assert_frame_equal(mine, demo)     # real exposures and signals are still served


def test_a_demo_store_that_received_imported_exposures_stops_deriving(tw_small_path, tmp_path):
    copy = str(tmp_path / "demo-copy.duckdb")
    shutil.copy(tw_small_path, copy)
    bars_only = _export(tw_small_path, ["daily_bars"], tmp_path)
    import_files(copy, bars_only, replace=True)      # other tables: the exposures stay the demo's
    with tidewell.using(copy):
        assert "pb_ratio" in tidewell.factor_names()
    exposures = _export(tw_small_path, ["style_exposures"], tmp_path)
    import_files(copy, exposures, replace=True)
    assert tidewell.info(copy)["metadata"]["style_exposures"] == "imported"
    with tidewell.using(copy):
        assert "pb_ratio" not in tidewell.factor_names()
        with pytest.raises(ValueError, match="unknown field 'pb_ratio'"):
            tidewell.get_factor(IDS, "pb_ratio", "2024-01-02", "2024-06-28")
    assert "style_exposures" not in tidewell.info(tw_small_path)["metadata"]


def test_the_demo_marker_decides(tw_small_path, tmp_path):
    """Stores of earlier versions: the ``kind = demo`` metadata row (which every demo store
    carries) makes a demo store; without it a store is taken for real data."""
    copy = str(tmp_path / "unmarked.duckdb")
    shutil.copy(tw_small_path, copy)
    con = duckdb.connect(copy)
    con.execute("DELETE FROM metadata WHERE key = 'kind'")
    con.close()
    st = tidewell.store.open_store(copy)
    assert not st.is_demo() and st.derived_factors() == []
    assert tidewell.store.open_store(tw_small_path).derived_factors() == DERIVED
    tidewell.store.close(copy)
