"""Evaluating factor expressions on the demo store, and the ready-made leaves."""
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import tidewell
from sigmora import operators as op
from sigmora.analysis.varodyne import FactorAnalyser, FactorVarodyne, ICAnalysis
from sigmora.evaluation import FactorEvaluationError, LaggedFactor, evaluate, lag
from sigmora.exception import InvalidUserFactor
from sigmora.interface import (
    AbstractFactor, AbstractUserDefinedLeafFactor, CombinedFactor, ConstantFactor, LeafFactor,
    ShiftedFactor, UnaryCombinedFactor, UserDefinedLeafFactor,
)
from sigmora.leaves import bar_field, signal, style_exposure

START, END = "2023-03-15", "2023-05-31"
# A suspension (688648: 03-29 to 04-06), a listing (688840: 04-06) and a delisting (601438: 05-12).
IDS = ["000001.XSHE", "688648.XSHG", "688840.XSHG", "601438.XSHG", "600049.XSHG"]


def by_hand(field, start, end, adjust_type="pre", ids=IDS):
    bars = tidewell.get_price(ids, start_date=start, end_date=end, fields=[field],
                              adjust_type=adjust_type, expect_df=True)
    dates = tidewell.get_trading_dates(start, end)
    return bars[field].unstack("order_book_id").reindex(index=dates, columns=ids)


def labelled(df):
    df = df.copy()
    df.index.name, df.columns.name = "datetime", "order_book_id"
    return df


def assert_table(result, expected):
    pd.testing.assert_frame_equal(result, labelled(expected), check_freq=False,
                                  check_index_type=False, check_column_type=False)


def recorded_leaf(name):
    """A leaf numbering its window's rows (row i holds i + column / 10) and recording its calls;
    its columns come in reverse order."""
    calls = []

    def func(order_book_ids, start_date, end_date):
        calls.append((start_date, end_date))
        dates = tidewell.get_trading_dates(start_date, end_date)
        values = np.arange(len(dates))[:, None] + np.arange(len(order_book_ids)) / 10.0
        return pd.DataFrame(values, index=dates, columns=order_book_ids).iloc[:, ::-1]

    func.__name__ = name
    return UserDefinedLeafFactor(name, func), calls


# ----------------------------------------------------------------------------- results

def test_price_ratio_with_a_look_back_equals_pandas(small_store, monkeypatch):
    requests = []
    real_get_price = tidewell.get_price

    def counting_get_price(*args, **kwargs):
        requests.append(kwargs["fields"])
        return real_get_price(*args, **kwargs)

    monkeypatch.setattr(tidewell, "get_price", counting_get_price)
    close, volume = bar_field("close"), bar_field("volume")
    factor = (close / lag(close, 5) - 1) * (volume > 0)
    assert factor.shift == 5 and factor.dependencies == [close, close, volume]
    result = evaluate(factor, IDS, START, END)
    # close is read twice in the expression but fetched once.
    assert requests == [["close"], ["volume"]]

    early = tidewell.get_previous_trading_date(START, 5)
    c, v = by_hand("close", early, END), by_hand("volume", early, END)
    traded = (v > 0).astype(float).where(v.notna())  # a missing bar is missing, not "no volume"
    expected = ((c / c.shift(5) - 1) * traded).loc[START:END]
    assert_table(result, expected)
    assert result.index.equals(tidewell.get_trading_dates(START, END))
    assert result.columns.tolist() == IDS
    # Suspended and unlisted days stay missing; nothing is filled.
    assert result.loc["2023-03-29":"2023-04-06", "688648.XSHG"].isna().all()
    assert result.loc[:"2023-04-12", "688840.XSHG"].isna().all()   # 5 dates after listing
    assert result.loc["2023-05-12":, "601438.XSHG"].isna().all()
    assert result.loc["2023-04-13":, "688840.XSHG"].notna().all()
    always_traded = [oid for oid in IDS if v[oid].loc[early:END].notna().all()]
    assert always_traded and result[always_traded].notna().all().all()


def test_post_adjusted_mixed_shifts_and_functions(small_store):
    close = bar_field("close", adjust_type="post")
    high, low = bar_field("high", "post"), bar_field("low", "post")
    factor = CombinedFactor(np.maximum, (high - low) / close, lag(close, 2) / lag(close, 3) - 1)
    assert factor.shift == 3
    early = tidewell.get_previous_trading_date(START, 3)
    c, h, lo = (by_hand(f, early, END, "post") for f in ("close", "high", "low"))
    expected = np.maximum((h - lo) / c, c.shift(2) / c.shift(3) - 1)
    result = evaluate(factor, IDS, START, END)
    assert_table(result, expected.loc[START:END])


def test_shifted_factor_drops_leading_rows_of_the_extended_window(small_store):
    x, calls = recorded_leaf("x")
    dates = tidewell.get_trading_dates(START, END)
    result = evaluate(ShiftedFactor(x, 3), IDS, START, END)
    # Fetched from 3 trading dates before START; the shift drops exactly those rows.
    assert calls == [(tidewell.get_previous_trading_date(START, 3), END)]
    assert result.iloc[0].tolist() == [3.0, 3.1, 3.2, 3.3, 3.4]
    assert len(result) == len(dates)
    # Alignment shifts both operands alike: this is not a look-back.
    assert (evaluate(x / ShiftedFactor(x, 3), IDS, START, END) == 1.0).all().all()
    # A look-back reads the earlier row.
    assert np.allclose(evaluate(x - lag(x, 3), IDS, START, END).values, 3.0)
    assert np.allclose(evaluate(lag(lag(x, 1), 2) - lag(x, 3), IDS, START, END).values, 0.0)


@settings(max_examples=30, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 3), st.integers(0, 4), st.sampled_from([1.0, -2.0, 0.5])),
                min_size=1, max_size=4))
def test_terms_with_any_shifts_line_up_on_the_requested_dates(small_store_path, terms):
    # Each term is c * ShiftedFactor(lag(x, a), k); alignment must not change any value.
    x, _ = recorded_leaf("x")
    factor = 0
    for a, k, c in terms:
        term = lag(x, a) if a else x
        factor = c * (ShiftedFactor(term, k) if k else term) + factor
    root_shift = max(a + k for a, k, _ in terms)
    with tidewell.using(small_store_path):
        result = evaluate(factor, IDS, START, END)
    assert factor.shift == root_shift
    rows = root_shift + np.arange(len(result))[:, None] + np.arange(len(IDS)) / 10.0
    expected = sum(c * (rows - a) for a, _, c in terms)
    assert np.allclose(result.values, expected)


def test_constants_broadcast_and_unary_arguments(small_store):
    x, calls = recorded_leaf("x")
    n = len(tidewell.get_trading_dates(START, END))
    rows = np.arange(n)[:, None] + np.arange(len(IDS)) / 10.0
    assert np.allclose(evaluate(2 - x * 0.5, IDS, START, END).values, 2 - rows * 0.5)
    assert np.allclose(evaluate(UnaryCombinedFactor(np.round, x + 0.06, 1), IDS, START, END).values,
                       np.round(rows + 0.06, 1))
    per_id = ConstantFactor(np.arange(len(IDS), dtype=float))
    assert np.allclose(evaluate(x + per_id, IDS, START, END).values, rows + np.arange(len(IDS)))
    const = evaluate(ConstantFactor(7), IDS, START, END)
    assert const.shape == (n, len(IDS)) and (const == 7.0).all().all()
    assert calls == [(START, END)] * 3
    # Logical operators give 1.0 / 0.0.
    cond = evaluate((x > 3) & ~(x > 10), IDS, START, END)
    assert np.array_equal(cond.values, ((rows > 3) & ~(rows > 10)).astype(float))


def test_conditions_on_missing_values_are_missing(small_store):
    def holes(order_book_ids, start_date, end_date):
        dates = tidewell.get_trading_dates(start_date, end_date)
        values = np.ones((len(dates), len(order_book_ids)))
        values[::2, 0] = np.nan
        return pd.DataFrame(values, index=dates, columns=order_book_ids)

    f = UserDefinedLeafFactor("holes", holes)
    for factor in (f > 0, f != 2, (f > 0) | (f < 5), ~(f > 0)):
        result = evaluate(factor, IDS, START, END)
        assert result.iloc[::2, 0].isna().all() and result.iloc[1::2, 0].notna().all()
        assert result.iloc[:, 1:].notna().all().all()


# ----------------------------------------------------------------------------- errors

class RawLeaf(AbstractUserDefinedLeafFactor):
    """A leaf whose execute skips the calendar checks of UserDefinedLeafFactor."""

    def __init__(self, table):
        self.table = table

    def execute(self, order_book_ids, start_date, end_date):
        return self.table(order_book_ids, start_date, end_date)

    def __hash__(self):
        return id(self)

    def __repr__(self):
        return "Raw"


def window_table(order_book_ids, start_date, end_date, drop_rows=0, ids=None):
    dates = tidewell.get_trading_dates(start_date, end_date)[drop_rows:]
    ids = order_book_ids if ids is None else ids
    return pd.DataFrame(1.0, index=dates, columns=ids)


def test_leaf_errors_name_the_leaf_and_the_reason(small_store):
    n = len(tidewell.get_trading_dates(START, END))

    def short(order_book_ids, start_date, end_date):
        return window_table(order_book_ids, start_date, end_date, drop_rows=1)

    with pytest.raises(InvalidUserFactor) as err:
        evaluate(UserDefinedLeafFactor("short", short) + 1, IDS, START, END)
    assert str(err.value) == ("leaf UFactor(short): function short's returned value index "
                              "mismatch, expect trading dates from {} to {}.".format(START, END))
    cases = [
        (lambda *a: window_table(*a, drop_rows=2),
         "leaf Raw returned {} rows, expect the {} trading dates from 2023-03-15 to 2023-05-31".format(n - 2, n)),
        (lambda ids, s, e: window_table(ids, s, e).iloc[::-1],
         "leaf Raw returned rows that are not the {} trading dates".format(n)),
        (lambda ids, s, e: window_table(ids, s, e, ids=ids[:-1]),
         "leaf Raw returned no column for ['600049.XSHG']"),
        (lambda ids, s, e: window_table(ids, s, e, ids=ids + ids[:1]),
         "leaf Raw returned repeated columns ['000001.XSHE']"),
        (lambda ids, s, e: window_table(ids, s, e).astype(object).assign(**{IDS[0]: "x"}),
         "leaf Raw returned values that are not numbers"),
        (lambda *a: window_table(*a)[IDS[0]], "leaf Raw returned <class 'pandas.Series'>"),
    ]
    for table, message in cases:
        with pytest.raises(InvalidUserFactor) as err:
            evaluate(RawLeaf(table), IDS, START, END)
        assert str(err.value).startswith(message)

    class NoData(LeafFactor):
        __hash__ = object.__hash__

    with pytest.raises(ValueError, match="cannot produce data"):
        evaluate(NoData() * 2, IDS, START, END)


def test_node_errors_name_the_node_and_the_shapes(small_store):
    x, _ = recorded_leaf("x")
    n = len(tidewell.get_trading_dates(START, END))

    def drop_one(values):
        return values[1:]

    with pytest.raises(FactorEvaluationError) as err:
        evaluate(abs(CombinedFactor(drop_one, x) + lag(x, 1)) * 2, IDS, START, END)
    text = str(err.value)   # the innermost failing node reports
    assert text.startswith("add(shift(drop_one(UFactor(x)), 1), lag(UFactor(x), 1)) failed on "
                           "arguments of shape ({}, 5), ({}, 5): ".format(n - 1, n))
    class Hidden(AbstractFactor):
        expr = property(lambda self: (np.negative, (x,)))
        dependencies = property(lambda self: [])
        shift = property(lambda self: 0)

    with pytest.raises(FactorEvaluationError, match=r"leaf UFactor\(x\) appears in the expression "
                                                    "but not in its dependencies"):
        evaluate(Hidden(), IDS, START, END)
    with pytest.raises(FactorEvaluationError) as err:
        evaluate(CombinedFactor(drop_one, x), IDS, START, END)
    assert str(err.value) == ("drop_one(UFactor(x)) produced values of shape ({}, 5), expect ({}, 5): "
                              "{} trading dates from {} to {} and 5 order_book_ids (shift 0)".format(
                                  n - 1, n, n, START, END))
    # a ragged list as an argument: the node fails with it named, in a batch beside a sound one
    from sigmora.evaluation import evaluate_many
    got = evaluate_many({"sound": x * 2, "ragged": UnaryCombinedFactor(np.add, x, [[1.0, 2.0], [3.0]])},
                        IDS, START, END, errors="return")
    assert got["sound"].shape == (n, 5) and isinstance(got["ragged"], FactorEvaluationError)
    assert "failed on arguments of shape ({}, 5), a ragged list: ".format(n) in str(got["ragged"])


def test_bad_arguments(small_store):
    x, calls = recorded_leaf("x")
    first = tidewell.get_trading_dates("1900-01-01", END)[0]
    bad = [
        (lambda: evaluate(1.0, IDS, START, END), "factor: expect an AbstractFactor"),
        (lambda: evaluate(x, [], START, END), "order_book_ids: expect at least one"),
        (lambda: evaluate(x, IDS + IDS[:1], START, END), r"order_book_ids: expect distinct ids, got \['000001.XSHE'\]"),
        (lambda: evaluate(x, [1], START, END), "order_book_ids: expect order_book_id strings"),
        (lambda: evaluate(x, set(IDS), START, END), r"order_book_ids: expect a list of ids, got a set, .* sorted\(ids\)"),
        (lambda: evaluate(x, IDS, "2023-04-01", "2023-04-02"), "evaluate: no trading dates from 2023-04-01"),
        (lambda: evaluate(ShiftedFactor(x, -1), IDS, START, END), "has shift -1, expect a non-negative"),
        (lambda: evaluate(lag(x, 5), IDS, first, END),
         "looks back 5 trading dates before {}".format(first.date())),
        (lambda: lag(x, 0), r"^lag: n: expect a positive integer \(trading dates\), got 0$"),
        (lambda: lag(x, 2.5), r"^lag: n: expect a positive integer \(trading dates\), got 2.5; ts_delay floors"),
        (lambda: lag(x, 2.0), r"^lag: n: expect a positive integer \(trading dates\), got 2.0$"),
        (lambda: lag(x, True), r"^lag: n: expect a positive integer \(trading dates\), got True$"),
        (lambda: LaggedFactor(2.0, 1), "factor: expect an AbstractFactor"),
        # a table where an expression belongs: named by its kind and shape, with what to do
        (lambda: evaluate(pd.DataFrame(np.ones((40, 3))), IDS, START, END),
         r"^factor: expect an AbstractFactor, got a pandas DataFrame of shape \(40, 3\); expressions are "
         r"built from leaves .* table.rolling\(5\).mean\(\)\)$"),
    ]
    for call, message in bad:
        with pytest.raises(ValueError, match=message):
            call()
    assert calls == []   # nothing is fetched for bad arguments
    single = evaluate(x, IDS[0], START, END)
    assert single.columns.tolist() == [IDS[0]]


def test_ids_and_dates_without_any_data_are_said(small_store):
    """A misspelt id, or a window outside the store's prices, gives tables of missing values:
    said, not left to look like a result. An id the store knows but that has no price in the
    window (not listed yet) is ordinary and not warned about."""
    import warnings
    close = bar_field("close")
    stocks = tidewell.all_instruments(type="CS").sort_values("listed_date")
    known = stocks["order_book_id"].tolist()[:2]
    with pytest.warns(UserWarning, match=r"^evaluate: 1 of the 3 order_book_ids are not in the store, and their "
                                         r"columns are missing: 000001\.XSHF$"):
        table = evaluate(close, known + ["000001.XSHF"], START, END)
    assert table["000001.XSHF"].isna().all() and table[known].notna().any().all()
    with pytest.warns(UserWarning, match=r"^evaluate: the data \(UFactor\(close_pre\)\) hold no value for any of "
                                         r"the 2 order_book_ids from 2010-03-01 to 2010-03-31: every table is "
                                         r"missing"):
        assert evaluate(close * 2.0, known, "2010-03-01", "2010-03-31").isna().all().all()
    latest = stocks.iloc[-1]
    before_listing = tidewell.get_previous_trading_date(latest["listed_date"], 5)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        table = evaluate(close, known + [latest["order_book_id"]], before_listing, latest["listed_date"])
        assert table[latest["order_book_id"]].iloc[:-1].isna().all()
        # alone, before its listing: every value is missing, and that is ordinary too
        eve = tidewell.get_previous_trading_date(latest["listed_date"])
        assert evaluate(close, [latest["order_book_id"]], before_listing, eve).isna().all().all()
        # the asked dates and their history within the data: nothing to say
        evaluate(op.ts_mean(close, 5), known, "2023-01-10", "2023-12-29")
        # a stock listed, or delisted, inside the window: empty months, but within the prices
        for row in (latest, stocks.dropna(subset=["de_listed_date"]).iloc[0]):
            evaluate(close, [row["order_book_id"]], "2023-01-03", "2023-12-29")
    # asked past the store's last price, or before its first (beyond the history rows): said
    for start, end, run in [
        ("2023-12-20", "2024-01-10", r"the last 7 of the asked trading dates \(2024-01-02 to 2024-01-10\), after "
                                     r"the store's last price on 2023-12-29"),
        ("2022-12-26", "2023-01-06", r"the first 5 of the asked trading dates \(2022-12-26 to 2022-12-30\), before "
                                     r"the store's first price on 2023-01-03"),
    ]:
        with pytest.warns(UserWarning, match=r"^evaluate: the data hold no value on " + run + ": every table is "
                                             r"missing there$"):
            table = evaluate(op.ts_mean(close, 2), known, start, end)
        assert table.notna().any().any()


def test_a_pandas_constant_with_other_labels_is_said_to_match_by_position(small_store):
    import warnings
    from sigmora.evaluation import evaluate_many
    close = bar_field("close")
    ids = tidewell.all_instruments(type="CS")["order_book_id"].tolist()[:5]
    table = evaluate(close, ids, START, END)
    with warnings.catch_warnings():
        warnings.simplefilter("error")      # labels as evaluated: matched right, nothing to say
        assert (evaluate(close - table, ids, START, END).fillna(0.0) == 0.0).all().all()
        evaluate(close / table.iloc[0], ids, START, END)
    n = len(table)
    for constant, differ in [
        (table[ids[::-1]], "its columns are not the order_book_ids in the order asked"),
        (table.iloc[::-1], r"its rows are not the {} trading dates from 2023-03-15 to 2023-05-31".format(n)),
        (table.iloc[0][ids[::-1]], "its index is not the 5 order_book_ids in the order asked"),
    ]:
        kind = "Series" if constant.ndim == 1 else "DataFrame"
        with pytest.warns(UserWarning, match=r"^evaluate: a pandas {} used as a constant in 'moved' is matched by "
                                             r"position, not by label, and {}; reindex it".format(kind, differ)):
            evaluate_many({"moved": close - constant}, ids, START, END)


def test_an_expression_looking_back_beyond_the_calendar_fails_alone(small_store):
    """Evaluated together, the expressions that fit the calendar give what they give alone; only
    the one that looks back too far fails, named in its own message."""
    from sigmora import batch
    from sigmora.evaluation import evaluate_many, iter_evaluate
    close = bar_field("close")
    calendar = tidewell.get_trading_dates("1900-01-01", END)
    start, end = calendar[10], calendar[40]
    exprs = {"near": lag(close, 3) - close, "deep": lag(close, 20) / close, "deeper": lag(close, 30) + close,
             "today": close * 2.0}
    got = evaluate_many(exprs, IDS, start, end, errors="return")
    for name in ("near", "today"):
        pd.testing.assert_frame_equal(got[name], evaluate(exprs[name], IDS, start, end))
    for name, depth in (("deep", 20), ("deeper", 30)):
        assert isinstance(got[name], ValueError)
        assert str(got[name]).startswith("evaluate: {!r} looks back {} trading dates before {}".format(
            exprs[name], depth, start.date()))
        assert str(got[name]).endswith("; start on or after {}, or import a longer trading calendar".format(
            calendar[depth].date()))
        assert evaluate(exprs[name], IDS, calendar[depth], end).index[0] == calendar[depth]   # and it does
    assert sorted(name for name, _ in iter_evaluate(exprs, IDS, start, end, errors="return")) == sorted(exprs)
    with pytest.raises(ValueError, match=r"add\(lag\(UFactor\(close_pre\), 30\), UFactor\(close_pre\)\) looks back 30 "):
        evaluate_many(exprs, IDS, start, end)
    # a batch of expressions: each failure is its own, the others come as tables
    tables = dict(batch._factor_tables(exprs, IDS, start, end))
    assert isinstance(tables["near"], pd.DataFrame) and isinstance(tables["today"], pd.DataFrame)
    assert "looks back 20 " in str(tables["deep"]) and "looks back 30 " in str(tables["deeper"])


# ----------------------------------------------------------------------------- leaves

def test_bar_field_leaves(small_store):
    assert bar_field("close") is bar_field("close", "pre")
    assert bar_field("close", "post") is not bar_field("close")
    assert bar_field("volume", "post") is bar_field("volume")
    assert repr(bar_field("close", "none")) == "UFactor(close_none)"
    assert repr(bar_field("volume")) == "UFactor(volume)"
    with pytest.raises(ValueError, match=r"field: expect one of \['open'"):
        bar_field("vwap")
    with pytest.raises(ValueError, match="adjust_type: expect one of"):
        bar_field("close", "forward")
    # execute passes the calendar checks, also for an id the store does not know.
    ids = IDS + ["999999.XSHG"]
    table = bar_field("open", "none").execute(ids, START, END)
    assert table.index.equals(tidewell.get_trading_dates(START, END)) and table.columns.tolist() == ids
    assert table["999999.XSHG"].isna().all()
    assert_table(labelled(table[IDS]), by_hand("open", START, END, "none"))


def test_style_and_signal_leaves(small_store):
    assert style_exposure("size") is style_exposure("size")
    with pytest.raises(ValueError, match="factor: expect one of"):
        style_exposure("value")
    size = evaluate(style_exposure("size"), IDS, START, END)
    raw = tidewell.get_style_factor_exposure(order_book_ids=IDS, start_date=START, end_date=END,
                                             factors=["size"])
    expected = raw["size"].unstack("order_book_id").reindex(
        index=tidewell.get_trading_dates(START, END), columns=IDS)
    assert_table(size, expected)
    planted = evaluate(signal(), IDS, START, END)
    expected = tidewell.get_signal(IDS, START, END).reindex(
        index=tidewell.get_trading_dates(START, END), columns=IDS)
    assert_table(planted, expected)
    assert repr(signal("noise")) == "UFactor(signal_noise)"


# ----------------------------------------------------------------------------- pipeline

class Recorder(FactorAnalyser):
    def __init__(self):
        self.received = []

    def analysis(self, factor_data, returns, periods, ascending=True):
        self.received.append((factor_data, returns, periods, ascending))
        return {"rows": len(factor_data)}


def test_an_evaluated_factor_runs_through_the_pipeline(small_store):
    ids = tidewell.all_instruments(type="CS", date=START)["order_book_id"].tolist()
    close = bar_field("close", "post")
    factor = evaluate(close / lag(close, 5) - 1, ids, START, END)
    recorder = Recorder()
    engine = FactorVarodyne()
    engine.append(("recorder", recorder))
    result = engine.analysis(factor, returns="daily", ascending=True, periods=[1, 5])
    assert result == {"recorder": {"rows": len(factor)}}
    (data, returns, periods, ascending), = recorder.received
    assert data is factor and periods == [1, 5] and ascending is True
    assert sorted(returns.columns) == sorted(ids)
    assert returns.index[0] == factor.index[0]
    # The daily returns come from the same post-adjusted closes the factor was built from.
    c = by_hand("close", START, END, "post", ids=ids)
    assert np.allclose(returns.loc[START:END, ids].iloc[1:].values,
                       c.ffill().pct_change().iloc[1:].values, equal_nan=True)

    # The planted signal, ranked through an expression, keeps its positive IC.
    planted = evaluate(-(-signal()) * (close > 0), ids, START, END)
    engine = FactorVarodyne()
    engine.append(("ic", ICAnalysis()))
    ic = engine.analysis(planted, returns="daily", periods=[1, 5])["ic"].ic
    assert ic.index.equals(planted.index) and ic.columns.tolist() == ["P_1", "P_5"]
    assert ic["P_5"].mean() > 0.03


# ----------------------------------------------------------------------------- the buffer pool

def _pooled_graph_run(exprs, data, pool):
    from sigmora.evaluation import _Graph
    return _Graph(exprs).run({id(leaf): values for leaf, values in data.items()}, pool)


def test_the_pool_never_overwrites_a_value_someone_holds():
    """Values the graph yields (views of pooled buffers), arguments a user function keeps, and
    views of them, stay as they were while the evaluation goes on reusing buffers."""
    from sigmora.evaluation import _Pool

    x_leaf, _ = recorded_leaf("x")
    x = np.arange(60.0).reshape(12, 5) / 7.0
    kept = []

    def keep(v):
        kept.append(v)          # a user function holding its argument
        kept.append(v[2:])      # and a view of it
        return v * 1.0

    pool = _Pool(x.size, keep=1, poison=np.nan)
    exprs = []
    for k in range(12):
        node = (op.ts_sum(x_leaf * float(k), 1) + 1.0) / 3.0     # no chain runs through a window
        if k % 3 == 0:
            node = CombinedFactor(keep, node) - 2.0
        exprs.append(node.expr)
    held = []
    for position, value, _ in _pooled_graph_run(exprs, {x_leaf: x}, pool):
        held.append((position, value, value.copy()))
    for position, value, snapshot in held:
        np.testing.assert_array_equal(value, snapshot)
    for v in kept[::2]:
        assert not np.isnan(v).any()
    assert pool.reused > 0
    for (_, a, _), (_, b, _) in zip(held, held[1:]):
        assert not np.shares_memory(a, b)
    # The leaf's array is never written.
    np.testing.assert_array_equal(x, np.arange(60.0).reshape(12, 5) / 7.0)


def test_the_pool_reuses_only_buffers_nothing_refers_to():
    from sigmora.evaluation import _Pool

    pool = _Pool(12, keep=2)
    a = pool.take((3, 4))
    a[:] = 1.0
    view = a[1:]
    del a
    pool.collect()
    b = pool.take((3, 4))       # the first buffer is still seen through `view`
    assert not np.shares_memory(b, view) and pool.allocated == 2
    del view, b
    pool.collect()
    c = pool.take((2, 4))       # a smaller table from a buffer that has become free
    assert pool.allocated == 2 and pool.reused == 1
    assert c.flags.c_contiguous and c.dtype == np.float64 and c.shape == (2, 4)
    # At most `keep` idle buffers: the others are let go.
    more = [pool.take((3, 4)) for _ in range(4)]
    del more, c
    pool.collect()
    assert len(pool._idle) == 2 and not pool._lent
    # By default every idle buffer is kept: a second wave of tables allocates nothing.
    pool = _Pool(12)
    first = [pool.take((3, 4)) for _ in range(3)]
    del first
    pool.collect()
    second = [pool.take((3, 4)) for _ in range(3)]
    assert pool.allocated == 3 and pool.reused == 3
    assert all(not np.shares_memory(a, b) for a, b in zip(second, second[1:]))


@pytest.mark.parametrize("fused", [True, False], ids=["one-pass-chain", "node-by-node"])
def test_pooled_evaluation_keeps_memory_bounded(fused):
    """A long chain of nodes over one table needs a few buffers, not one per node: one for an
    element-wise chain computed in one pass, a few reused ones when a window operator (never
    part of such a chain) sits between every two steps."""
    from sigmora.evaluation import _Pool

    x_leaf, _ = recorded_leaf("x")
    x = np.random.default_rng(1).normal(size=(40, 6))
    node = x_leaf
    for k in range(60):
        node = node * 1.001 + float(k) if fused else op.ts_sum(node, 1) * 1.001 + float(k)
    pool = _Pool(x.size)
    [(_, value, _)] = list(_pooled_graph_run([node.expr], {x_leaf: x}, pool))
    if fused:
        assert pool.allocated == 1 and pool.reused == 0
    else:
        assert pool.allocated <= 3 and pool.reused >= 100
    [(_, plain, _)] = list(_pooled_graph_run([node.expr], {x_leaf: x}, None))
    np.testing.assert_array_equal(value, plain)


def test_the_pool_adopts_only_tables_that_own_their_memory():
    """A leaf's freshly fetched table joins the pool (its memory serves later nodes once nothing
    reads it, and a caller may keep it without a copy); anything that might be someone else's
    memory, or is not of the pool's kind, is left as it is."""
    from sigmora.evaluation import _Pool

    pool = _Pool(12)
    base = np.arange(24.0).reshape(6, 4)
    for other in (base[:3], np.zeros((3, 4), dtype=np.float32), np.zeros((4, 3)).T,
                  np.zeros((2, 4)), 5.0):
        assert pool.adopt(other) is other
    frozen = np.zeros((3, 4))
    frozen.flags.writeable = False
    assert pool.adopt(frozen) is frozen and not pool._lent

    table = np.arange(12.0).reshape(3, 4).copy()     # owns its memory, as a fetched leaf does
    leaf_view = pool.adopt(table)
    assert leaf_view.base is table and leaf_view.shape == (3, 4)
    del table
    assert pool.hand_over(leaf_view, 12)        # a leaf yielded as it is: no copy
    reader = leaf_view[1:]
    assert not pool.hand_over(leaf_view, 12)    # a lag still reads it
    del leaf_view
    pool.collect()
    busy = pool.take((3, 4))
    assert pool.allocated == 1 and not np.shares_memory(busy, reader)
    del reader, busy
    pool.collect()
    pool.take((3, 4))
    pool.take((3, 4))
    assert pool.allocated == 1 and pool.reused == 2    # the leaf's memory, and the new buffer


def test_a_leaf_table_the_user_keeps_is_never_written(small_store):
    """A leaf handing out the same frame on every call (a cache): the evaluation reuses
    memory it no longer reads, never the user's."""
    from sigmora.evaluation import evaluate_many

    dates = tidewell.get_trading_dates("2023-01-01", "2023-12-31")
    cached = pd.DataFrame(np.random.default_rng(3).normal(size=(len(dates), len(IDS))),
                          index=dates, columns=IDS)
    snapshot = cached.copy()
    leaf = UserDefinedLeafFactor("cached", lambda order_book_ids, start, end: cached.loc[start:end])
    exprs = {"leaf": leaf, "rank": op.cs_rank(leaf), "twice": leaf * 2.0,
             "chain": op.cs_rank(op.ts_sum(leaf, 1) + 1.0) - 0.5, "again": op.cs_rank(leaf) * 3.0}
    for _ in range(2):
        tables = evaluate_many(exprs, IDS, START, END)
        pd.testing.assert_frame_equal(cached, snapshot)
        np.testing.assert_array_equal(tables["leaf"].to_numpy(), snapshot.loc[START:END].to_numpy())
        np.testing.assert_array_equal(tables["twice"].to_numpy(), 2.0 * tables["leaf"].to_numpy())
        assert not np.shares_memory(tables["leaf"].to_numpy(), cached.to_numpy())


def test_the_pool_hands_over_only_a_sole_view_that_shows_most_of_its_buffer():
    from sigmora.evaluation import _Pool

    pool = _Pool(40)
    whole = pool.take((10, 4))
    tail = whole[2:]                        # 32 of 40 cells
    del whole
    assert pool.hand_over(tail, 32)
    pool.collect()
    other = pool.take((10, 4))
    assert not np.shares_memory(other, tail)            # not reused while the caller holds it
    kept_buffer = id(tail.base)
    del tail
    pool.collect()
    again = pool.take((10, 4))
    assert pool.reused == 1 and id(again.base) == kept_buffer   # reused once the caller let go
    del other, again

    shared = pool.take((10, 4))
    other_view = shared[1:]
    assert not pool.hand_over(shared, 40)   # a second view (a lag, another root) still reads it
    del other_view
    short = shared[5:]
    del shared
    assert not pool.hand_over(short, 20)    # half the buffer: the table would hold twice its size
    assert not pool.hand_over(np.zeros((10, 4)), 40)   # not the pool's


def test_tables_kept_by_the_caller_stay_intact_and_apart(small_store, monkeypatch):
    """Results handed over without a copy must neither be written by later nodes nor share
    memory with another result, with a leaf or with a lagged view of themselves."""
    import sigmora.evaluation as ev

    pools = []
    real_new_pool = ev._new_pool
    monkeypatch.setattr(ev, "_new_pool", lambda cells: pools.append(real_new_pool(cells)) or pools[-1])
    handed = []
    real_hand_over = ev._Pool.hand_over
    monkeypatch.setattr(ev._Pool, "hand_over",
                        lambda self, value, cells: handed.append(real_hand_over(self, value, cells)) or handed[-1])
    close = bar_field("close")
    doubled = close * 2.0
    exprs = {"doubled": doubled, "lagged": lag(doubled, 3), "again": close * 2.0,
             "plain": close, "shifted": lag(close, 5) + 0.0}
    for k in range(12):
        # A window operator between steps: its operand's buffer is let go and reused by later nodes.
        exprs["chain{}".format(k)] = op.ts_sum(close + float(k), 1) / (close - 1.0) * 3.0
    start, end = "2023-04-03", "2023-05-31"
    kept = {}
    for name, table in ev.iter_evaluate(exprs, IDS, start, end):
        kept[name] = table.copy()
        table.iloc[:, :] = -7.0     # a caller may write into what it got
        kept[name + " as written"] = table
    assert pools[0].reused > 0
    assert any(handed), "no table was handed over: the test would not see a wrong hand-over"
    for name, table in kept.items():
        if name.endswith(" as written"):
            assert (table.values == -7.0).all()
            continue
        alone = evaluate(exprs[name], IDS, start, end)
        pd.testing.assert_frame_equal(table, alone)
    names = list(kept)
    for i, a in enumerate(names):
        for b in names[i + 1:]:
            assert not np.shares_memory(kept[a].values, kept[b].values), (a, b)


def test_expressions_sharing_tables_run_close_together(monkeypatch):
    """Three expressions each share a table with one listed three places later: computed in
    the order given, all three shared tables are held at once; scheduled, the pairs run one
    after the other and the pool holds one shared table at a time."""
    from sigmora import evaluation
    from sigmora.evaluation import _Graph, _Pool, _root_schedule

    x_leaf, _ = recorded_leaf("x")
    x = np.arange(60.0).reshape(12, 5) / 7.0
    shared = [(x_leaf ** float(k + 2)) for k in range(3)]       # powers: never one chain
    exprs = [(s ** 0.5).expr for s in shared] + [(s ** 3.0).expr for s in shared]

    def run(graph):
        pool, got = _Pool(x.size), {}
        for position, value, _ in graph.run({id(x_leaf): x}, pool):
            got[position] = value.copy()
            del value
        return pool.allocated, got

    graph = _Graph(exprs)
    assert sorted(graph.roots) == sorted(set(graph.roots)) and len(graph.roots) == 6
    assert all(ref < node for node in range(len(graph.kinds)) for ref in graph.args[node])
    allocated, got = run(graph)
    with monkeypatch.context() as m:
        m.setattr(evaluation, "_root_schedule", lambda args, kinds, roots: list(dict.fromkeys(roots)))
        given_order, _ = run(_Graph(exprs))
    assert (allocated, given_order) == (2, 4)
    for position, expr in enumerate(exprs):
        alone = [v for _, v, _ in _Graph([expr]).run({id(x_leaf): x})]
        np.testing.assert_array_equal(got[position], alone[0])
    # The order given, when nothing is gained by another; a single expression keeps its own.
    assert _root_schedule(graph.args, graph.kinds, [graph.roots[0], graph.roots[3]]) == \
        [graph.roots[0], graph.roots[3]]
    single = _Graph([exprs[0]])
    assert single.roots == [len(single.kinds) - 1]
