"""The store protocol: DuckDBStore implements it, a second implementation over pandas frames
answers the public calls through ``tidewell.use_store``, and the calls hold no SQL."""

import ast
import os
import re

import duckdb
import numpy as np
import pandas as pd
import pytest

import tidewell
from tidewell import schema
from tidewell.decorators import ttl_cache
from tidewell.protocol import OPERATIONS, MarketStore, missing_operations, missing_table_error
from tidewell.store import DuckDBStore, Store, open_store

PACKAGE = os.path.dirname(os.path.abspath(tidewell.__file__))


class FrameStore:
    """A minimal ``MarketStore`` over pandas frames held in memory (a test double).

    ``tables`` maps schema table names to frames with the schema's columns; a table that is not
    given is not held.  It offers no derived factors and no adjusted intraday prices.
    """

    path = "<frames>"

    def __init__(self, **tables):
        self.tables = {}
        for name, df in tables.items():
            df = df.copy()
            for c in schema.TABLES[name].columns:
                if c.kind in ("date", "timestamp") and c.name in df:
                    df[c.name] = pd.to_datetime(df[c.name]).astype("datetime64[ns]")
            self.tables[name] = df

    def has_table(self, name):
        return name in self.tables

    def _table(self, name):
        if name not in self.tables:
            raise missing_table_error(self, name)
        return self.tables[name]

    def calendar(self):
        return pd.DatetimeIndex(np.sort(self._table("trading_calendar")["date"].to_numpy()))

    def instruments(self):
        df = self._table("instruments").sort_values("order_book_id").reset_index(drop=True)
        return df.set_index("order_book_id", drop=False)

    def fetch_daily(self, table, ids, start, end, fields, adjust):
        everything = self._table(table)
        df = everything[everything["order_book_id"].isin(ids)
                        & everything["date"].between(start, end)]
        cal = self.calendar()
        pos = cal.get_indexer(df["date"])
        df, pos = df[pos >= 0], pos[pos >= 0]
        k = pd.Index(ids).get_indexer(df["order_book_id"])
        j = pos - cal.searchsorted(start, "left")
        factor = np.ones(len(df))
        if adjust is not None:
            factor = df["adj_factor"].to_numpy(dtype=float)
            if adjust == "pre":
                latest = everything.sort_values("date").groupby("order_book_id")["adj_factor"].last()
                factor = factor / latest.reindex(df["order_book_id"]).to_numpy()
        price = schema.TABLES[table].price_fields
        order = np.lexsort((j, k))
        values = {}
        for f in fields:
            v = df[f].to_numpy(dtype=float)
            values[f] = (v * factor if f in price else v)[order]
        return k[order], j[order], values

    def fetch_intraday(self, table, ids, start, end, fields, adjust):
        if adjust is not None:
            raise NotImplementedError("FrameStore: no adjusted intraday prices")
        everything = self._table(table)
        df = everything[everything["order_book_id"].isin(ids)
                        & everything["datetime"].between(start, end)]
        k = pd.Index(ids).get_indexer(df["order_book_id"])
        t = df["datetime"].to_numpy(dtype="datetime64[ns]")
        order = np.lexsort((t, k))
        return k[order], t[order], {f: df[f].to_numpy(dtype=float)[order] for f in fields}

    def signal_names(self):
        if not self.has_table("signals"):
            return []
        return sorted(self.tables["signals"]["name"].unique())

    def fetch_signal(self, ids, start, end, name):
        s = self._table("signals")
        s = s[(s["name"] == name) & s["date"].between(start, end)]
        if ids is not None:
            s = s[s["order_book_id"].isin(ids)]
        return s[["order_book_id", "date", "value"]].sort_values(
            ["order_book_id", "date"]).reset_index(drop=True)

    def derived_factors(self):
        return []

    def fetch_style_frame(self, ids, start, end, fields):
        s = self._table("style_exposures")
        s = s[s["order_book_id"].isin(ids) & s["date"].between(start, end)]
        if s.empty:
            return None
        return s.set_index(["order_book_id", "date"])[list(fields)].sort_index()

    def last_bar_date(self):
        bars = self._table("daily_bars")
        return None if bars.empty else pd.Timestamp(bars["date"].max())

    def index_members(self, index_id, date):
        m = self._table("index_components")
        live = (m["index_id"] == index_id) & (m["in_date"] <= date) \
            & (m["out_date"].isna() | (m["out_date"] > date))
        return sorted(set(m.loc[live, "order_book_id"]))

    def industry_records(self, table, columns):
        return self._table(table)[columns].sort_values(
            ["order_book_id", "start_date"], kind="stable").reset_index(drop=True)


# -- a hand-made market ------------------------------------------------------------------------
A, B, IX = "000001.XSHE", "000002.XSHE", "000300.XSHG"
DAYS = pd.DatetimeIndex(["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05", "2024-01-08",
                         "2024-01-09", "2024-01-10"]).astype("datetime64[ns]")


def _hand_made():
    inst = pd.DataFrame({
        "order_book_id": [IX, B, A], "symbol": ["idx", "bee", "ay"], "type": ["INDX", "CS", "CS"],
        "exchange": ["XSHG", "XSHE", "XSHE"],
        "listed_date": ["2005-04-08", "2010-01-04", "2001-01-02"],
        "de_listed_date": [None, "2024-01-09", None]})
    a_close = [10.0, 11.0, 12.0, 6.5, 7.0, 7.5, 8.0]          # a 2:1 split on 2024-01-05
    a_factor = [1.0, 1.0, 1.0, 2.0, 2.0, 2.0, 2.0]
    b_days = DAYS[[0, 1, 3, 4]]                              # suspended on 01-04, delisted 01-09
    bars = pd.concat([
        pd.DataFrame({"order_book_id": A, "date": DAYS, "open": a_close, "high": a_close,
                      "low": a_close, "close": a_close, "volume": 100.0, "total_turnover": 1000.0,
                      "adj_factor": a_factor}),
        pd.DataFrame({"order_book_id": B, "date": b_days, "open": 5.0, "high": 5.0, "low": 5.0,
                      "close": [5.0, 5.1, 5.2, 5.3], "volume": 200.0, "total_turnover": 2000.0,
                      "adj_factor": 1.0}),
    ], ignore_index=True).sample(frac=1.0, random_state=1)    # stored in any order
    members = pd.DataFrame({"index_id": IX, "order_book_id": [A, B],
                            "in_date": ["2020-01-02", "2020-01-02"],
                            "out_date": [None, "2024-01-09"]})
    citics = pd.DataFrame({"first_industry_name": ["银行", "房地产", "银行"],
                           "order_book_id": [B, A, A],
                           "start_date": ["2010-01-04", "2001-01-02", "2024-01-08"]})
    signals = pd.DataFrame({"order_book_id": [A, B, A], "date": DAYS[[0, 0, 1]], "name": "mine",
                            "value": [0.5, -0.5, 0.25]})
    cal = pd.DataFrame({"date": DAYS.append(pd.DatetimeIndex(["2024-01-11"]))})
    return FrameStore(trading_calendar=cal, instruments=inst, daily_bars=bars,
                      index_components=members, industry_citics_2019=citics, signals=signals)


def test_the_duckdb_store_implements_the_protocol(tw_small_path):
    st = open_store(tw_small_path)
    assert isinstance(st, DuckDBStore) and isinstance(st, MarketStore)
    assert missing_operations(st) == []
    assert Store is DuckDBStore            # the old name still imports
    assert isinstance(_hand_made(), MarketStore)
    assert set(OPERATIONS) == {n for n in vars(MarketStore) if not n.startswith("_")} - {"path"}


def test_a_frame_store_answers_the_calls():
    with tidewell.use_store(_hand_made()):
        pd.testing.assert_index_equal(tidewell.get_trading_dates("2024-01-01", "2024-01-07"),
                                      DAYS[:4])
        assert tidewell.get_trading_dates("2024-02-01", "2024-02-29").empty
        assert tidewell.get_previous_trading_date("2024-01-08") == pd.Timestamp("2024-01-05")
        assert tidewell.get_next_trading_date("2024-01-05", 2) == pd.Timestamp("2024-01-09")
        with pytest.raises(ValueError, match="no trading date 1 before 2024-01-02"):
            tidewell.get_previous_trading_date("2024-01-02")

        raw = tidewell.get_price([B, A], "2024-01-03", "2024-01-09", fields="close",
                                 adjust_type="none")
        want = pd.DataFrame(
            {"close": [11.0, 12.0, 6.5, 7.0, 7.5, 5.1, 5.2, 5.3]},
            index=pd.MultiIndex.from_arrays(
                [[A] * 5 + [B] * 3, DAYS[[1, 2, 3, 4, 5, 1, 3, 4]]], names=["order_book_id", "date"]))
        pd.testing.assert_frame_equal(raw, want)
        post = tidewell.get_price(A, "2024-01-02", "2024-01-10", fields="close",
                                  adjust_type="post", expect_df=False)
        assert post.tolist() == [10.0, 11.0, 12.0, 13.0, 14.0, 15.0, 16.0]
        pre = tidewell.get_price(A, "2024-01-02", "2024-01-10", fields="close", expect_df=False)
        assert pre.tolist() == [5.0, 5.5, 6.0, 6.5, 7.0, 7.5, 8.0]
        table = tidewell.get_price_table([A, B], "2024-01-03", "2024-01-05", adjust_type="none")
        assert table.loc["2024-01-04"].tolist()[0] == 12.0 and np.isnan(table.loc["2024-01-04", B])
        assert tidewell.get_price(A, "2024-01-02", "2024-01-10", frequency="1m") is None
        assert tidewell.get_price("nope", "2024-01-02", "2024-01-10") is None

        assert tidewell.instruments(IX).type == "INDX"
        assert tidewell.instruments(B).de_listed_date == pd.Timestamp("2024-01-09")
        assert tidewell.all_instruments(type="CS", date="2024-01-09")["order_book_id"].tolist() == [A]
        assert tidewell.index_components(IX) == [A]                  # on the last bar date
        assert tidewell.index_components(IX, "2024-01-08") == [A, B]
        recs = tidewell.client.get_client().execute("__internal__zx2019_industry")
        assert [(r["order_book_id"], r["first_industry_name"]) for r in recs] == [
            (A, "房地产"), (A, "银行"), (B, "银行")]
        assert recs[1]["start_date"] == pd.Timestamp("2024-01-08")

        sig = tidewell.get_signal(None, "2024-01-01", "2024-01-10", name="mine")
        assert sig.loc["2024-01-02"].tolist() == [0.5, -0.5] and sig.loc["2024-01-03", A] == 0.25
        assert tidewell.factor_names() == list(schema.STYLE_FACTORS) + ["mine"]
        with pytest.raises(ValueError, match=r"factor: unknown field 'pb_ratio'.*demo stores only"):
            tidewell.get_factor([A], "pb_ratio", "2024-01-02", "2024-01-10")
        with pytest.raises(ValueError, match=r"tidewell store <frames> has no table style_exposures"):
            tidewell.get_style_factor_exposure([A], "2024-01-02", "2024-01-10")


def _frames_of(path, ids):
    """The tables of a DuckDB store for ``ids`` as frames (the calendar whole)."""
    con = duckdb.connect(path, read_only=True)
    try:
        out = {}
        for name in ("trading_calendar", "instruments", "daily_bars", "style_exposures", "signals",
                     "index_components", "industry_sws"):
            where = "" if name == "trading_calendar" else \
                "WHERE order_book_id IN ({})".format(", ".join("'{}'".format(i) for i in ids))
            out[name] = con.execute("SELECT * FROM {} {}".format(name, where)).df()
        return out
    finally:
        con.close()


def _only(df, ids):
    return df[df["order_book_id"].isin(ids)].reset_index(drop=True)


def test_a_frame_store_over_demo_tables_answers_like_the_duckdb_store(tw_small_path):
    with tidewell.using(tw_small_path):
        ids = tidewell.index_components("000300.XSHG")[:6] + ["000300.XSHG"]
        frames = FrameStore(**_frames_of(tw_small_path, ids))
        calls = [
            lambda: tidewell.get_trading_dates("2023-06-01", "2024-06-30"),
            lambda: tidewell.get_previous_trading_date("2024-01-01", 3),
            lambda: tidewell.get_next_trading_date(20241231, 5),
            lambda: tidewell.get_price_table(ids, "2023-03-01", "2024-09-30", adjust_type="post"),
            lambda: tidewell.get_style_factor_exposure(ids, "2024-01-02", "2024-03-29"),
            lambda: tidewell.get_signal(ids, "2024-01-02", "2024-03-29"),
            lambda: tidewell.get_factor(ids, ["size", "planted", "noise"], "2024-01-02", "2024-03-29"),
            lambda: [i for i in tidewell.index_components("000300.XSHG", "2024-06-03") if i in ids],
            lambda: _only(tidewell.all_instruments(type="CS", date="2024-06-03"), ids),
            lambda: [r.to_dict() for r in tidewell.instruments(ids)],
            lambda: [r for r in tidewell.client.get_client().execute("__internal__shenwan_industry")
                     if r["order_book_id"] in ids],
        ] + [lambda adj=adj: tidewell.get_price(ids, "2023-01-03", "2024-12-31", adjust_type=adj)
             for adj in ("none", "pre", "post")]
        for i, call in enumerate(calls):
            want = call()
            with tidewell.use_store(frames):
                got = call()
            if isinstance(want, pd.DataFrame):
                pd.testing.assert_frame_equal(got, want, obj="call {}".format(i))
            elif isinstance(want, pd.Index):
                pd.testing.assert_index_equal(got, want, obj="call {}".format(i))
            else:
                assert got == want, i


def test_use_store_selects_nests_restores_and_clears_caches(tw_small_path):
    calls = []

    @ttl_cache(3600)
    def dates():
        calls.append(1)
        return tidewell.get_trading_dates("2024-01-01", "2024-01-31")

    mine, other = _hand_made(), _hand_made()
    with tidewell.using(tw_small_path):
        assert len(dates()) == 22 and len(calls) == 1
        with tidewell.use_store(mine) as st:
            assert st is mine
            assert tidewell.current_path() == tw_small_path   # the path selection is kept
            assert len(dates()) == 8 and len(calls) == 2       # cache cleared on entry
            with tidewell.use_store(other):
                assert tidewell.api._store_() is other
            assert tidewell.api._store_() is mine
            tidewell.init(tw_small_path)                        # same path: use_store still wins
            assert len(tidewell.get_trading_dates("2024-01-01", "2024-01-31")) == 8
        assert isinstance(tidewell.api._store_(), DuckDBStore)
        assert len(dates()) == 22 and len(calls) == 3          # and cleared on leaving


def test_use_store_refuses_an_object_that_is_no_store():
    class Half:
        path = "half"

        def calendar(self):
            return pd.DatetimeIndex([])

    with pytest.raises(TypeError, match=r"use_store: expect a store .* lacks has_table, instruments"):
        with tidewell.use_store(Half()):
            pass
    assert tidewell.api._STATE["store"] is None


# -- structure ---------------------------------------------------------------------------------
def _source(name):
    with open(os.path.join(PACKAGE, name), encoding="utf-8") as f:
        return f.read()


@pytest.mark.parametrize("module", ["api.py", "client.py"])
def test_the_calls_hold_no_sql(module):
    """The calls reach data through the store protocol only: no SQL text, no connection."""
    tree = ast.parse(_source(module))
    texts = [n.value for n in ast.walk(tree) if isinstance(n, ast.Constant) and isinstance(n.value, str)]
    assert [t for t in texts if re.search(r"\b(SELECT|INSERT|UPDATE|DELETE|JOIN|WHERE)\b", t)] == []
    attrs = {n.attr for n in ast.walk(tree) if isinstance(n, ast.Attribute)}
    assert not {"con", "sql", "query_numpy", "register", "cursor"} & attrs
    calls = {n.func.attr for n in ast.walk(tree)
             if isinstance(n, ast.Call) and isinstance(n.func, ast.Attribute)}
    assert "execute" not in calls


def _import_graph():
    """{module: modules of tidewell it imports} from the AST of every tidewell module (imports
    inside functions included; ``from . import x`` resolves to the submodule x)."""
    mods = {}
    for f in os.listdir(PACKAGE):
        if f.endswith(".py"):
            mods["tidewell" if f == "__init__.py" else "tidewell." + f[:-3]] = f
    graph = {}
    for name, f in mods.items():
        edges = set()
        for node in ast.walk(ast.parse(_source(f))):
            if isinstance(node, ast.Import):
                for a in node.names:
                    n = a.name
                    while n and n not in mods:
                        n = n.rpartition(".")[0]
                    if n:
                        edges.add(n)
            elif isinstance(node, ast.ImportFrom):
                if node.level:
                    base = name if f == "__init__.py" else name.rpartition(".")[0]
                    for _ in range(node.level - 1):
                        base = base.rpartition(".")[0]
                    mod = base + ("." + node.module if node.module else "")
                else:
                    mod = node.module or ""
                for a in node.names:
                    if mod + "." + a.name in mods:
                        edges.add(mod + "." + a.name)
                    elif mod in mods:
                        edges.add(mod)
        graph[name] = edges - {name}
    return graph


def test_no_import_cycle_inside_tidewell():
    graph = _import_graph()
    assert "tidewell.home" in graph["tidewell.api"] and "tidewell.demo" in graph["tidewell.home"]
    state = {}

    def visit(n, path):
        state[n] = "open"
        for m in sorted(graph[n]):
            assert state.get(m) != "open", "import cycle: " + " -> ".join(path + [m])
            if m not in state:
                visit(m, path + [m])
        state[n] = "done"

    for n in sorted(graph):
        if n not in state:
            visit(n, [n])


def test_the_default_store_lifecycle_lives_in_home(capsys):
    from tidewell import demo, home
    from tidewell.cli import main
    for name in ("default_dir", "default_path", "_file_lock", "ensure_default_store", "_is_current"):
        assert callable(getattr(home, name))
        assert not hasattr(demo, name)
    assert home.default_path() == os.path.join(
        os.environ["TIDEWELL_HOME"], "demo-{}.duckdb".format(tidewell.__version__))
    assert main(["path"]) == 0
    assert capsys.readouterr().out.strip() == home.default_path()
