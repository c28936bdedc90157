"""The TradableUniverse step: each rule against a hand-built market, the counts it reports into
the run's coverage, its composition with every other step, and the demo pipeline with it."""

import io

import numpy as np
import pandas as pd
import pytest

import tidewell
from sigmora import cli
from sigmora.analysis import registry
from sigmora.analysis.varodyne import FactorVarodyne, ICAnalysis, TradableUniverse
from tidewell.importer import import_frames

CAL = pd.bdate_range("2024-02-01", "2024-06-28")
D = CAL[CAL.searchsorted(pd.Timestamp("2024-03-04")):][:15]      # the factor dates d0 .. d14
A, B, C, DD, E, F = ("600000.XSHG", "600001.XSHG", "600002.XSHG", "600003.XSHG", "600004.XSHG", "600005.XSHG")
IDS = [A, B, C, DD, E, F]


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    """Six main-board stocks over d0 .. d14: A closes at its upper limit on d2 and its lower on
    d5; B is suspended on d6 and d7; C is ST from d4 until d8; D lists on d2; E is a member of
    000300.XSHG from d3 until d6; F is plain."""
    closes = {s: [round(10.0 + 0.01 * t * (k + 1), 2) for t in range(15)] for k, s in enumerate(IDS)}
    closes[A] = [10.0, 10.2, 11.22, 11.5, 11.5, 10.35] + [10.4] * 9
    bars = [(s, D[t], c) for s in IDS for t, c in enumerate(closes[s])
            if not (s == B and t in (6, 7)) and not (s == DD and t < 2)]
    bars += [("000300.XSHG", d, 3000.0) for d in D]
    listed = {s: "2015-01-05" for s in IDS}
    listed[DD] = D[2].strftime("%Y-%m-%d")
    path = str(tmp_path_factory.mktemp("tradable") / "market.duckdb")
    import_frames(
        path,
        instruments=pd.DataFrame({"order_book_id": IDS + ["000300.XSHG"], "symbol": IDS + ["CSI 300"],
                                  "type": ["CS"] * 6 + ["INDX"], "exchange": "XSHG",
                                  "listed_date": [listed[s] for s in IDS] + ["2005-04-08"]}),
        trading_calendar=pd.DataFrame({"date": CAL}),
        daily_bars=pd.DataFrame(bars, columns=["order_book_id", "date", "close"]),
        st_status=pd.DataFrame({"order_book_id": [C], "start_date": [D[4]], "end_date": [D[8]], "kind": ["ST"]}),
        index_components=pd.DataFrame({"index_id": ["000300.XSHG"], "order_book_id": [E], "in_date": [D[3]],
                                       "out_date": [D[6]]}))
    return path


@pytest.fixture
def in_market(market):
    with tidewell.using(market):
        yield market


def ones(dates=D):
    return pd.DataFrame(1.0, index=pd.DatetimeIndex(dates), columns=IDS)


def removed(before, after):
    """{id: [factor date positions removed]}."""
    gone = before.notna() & after.isna()
    return {s: [int(i) for i in np.flatnonzero(gone[s].to_numpy())] for s in IDS if gone[s].any()}


# ----------------------------------------------------------------------------- the rules

def test_each_rule_removes_what_could_not_be_entered_at_the_close(in_market):
    factor = ones()
    cases = [
        # a close at the limit removes that factor date only, not the next (A: d3, d6 stay)
        (dict(price_limit=True), {A: [2, 5]}),
        # no bar on the date or the next: B on d5 (suspended next), d6, d7; D before its listing
        (dict(suspended=True), {B: [5, 6, 7], DD: [0, 1]}),
        # the ST spell holds from its start date to the day before its end date
        (dict(st=True), {C: [4, 5, 6, 7]}),
        # sessions 0, 1 and 2 after listing are under 3; stocks listed before the store's calendar
        # begins (a month before d0) are old, not counted from the calendar's first date
        (dict(min_listed_days=3), {DD: [2, 3, 4]}),
        (dict(min_listed_days=30), {DD: list(range(2, 15))}),
        # members of the index on each date: E from d3 to the day before d6
        (dict(index="000300.XSHG"), {s: list(range(15)) if s != E else [0, 1, 2] + list(range(6, 15))
                                     for s in IDS}),
        (dict(index=[E, F]), {s: list(range(15)) for s in (A, B, C, DD)}),
    ]
    off = dict(suspended=False, price_limit=False, st=False, min_listed_days=0)
    for rule, expected in cases:
        step = TradableUniverse(**dict(off, **rule))
        out = step.process(factor)
        assert removed(factor, out) == expected, rule
        report = out.attrs["removed_by_rule"]
        n = sum(len(v) for v in expected.values())
        assert report["total"] == n and list(report["by_rule"].values()) == [n], rule
    assert factor.notna().all().all()     # the step leaves its input alone


def test_all_rules_together_count_each_rule_and_every_value_once(in_market):
    factor = ones()
    out = TradableUniverse(min_listed_days=3, index="000300.XSHG").process(factor)
    report = out.attrs["removed_by_rule"]
    assert report["by_rule"] == {"no trading on the date or the next": 5, "closing at a price limit": 2,
                                 "ST or *ST": 4, "listed under 3 trading days": 3, "not in 000300.XSHG": 87}
    assert report["total"] == 87          # every other removal is of a non-member too
    assert out[E].notna().tolist() == [False] * 3 + [True] * 3 + [False] * 9
    # values already missing are not counted
    factor.loc[D[2], A] = np.nan
    assert TradableUniverse(suspended=False, st=False, min_listed_days=0).process(
        factor).attrs["removed_by_rule"]["total"] == 1


def test_dates_the_rules_cannot_judge_are_left_alone(in_market):
    """A factor row on a weekend is not a trading date (the engine drops it, not the step); the
    last factor date of the store's bars has no next date to be suspended on."""
    dates = list(D[:5]) + [pd.Timestamp("2024-03-09")] + list(D[5:])
    factor = ones(dates)
    out = TradableUniverse(min_listed_days=0, index="000300.XSHG").process(factor)
    assert out.loc[pd.Timestamp("2024-03-09")].notna().all()
    last = TradableUniverse(price_limit=False, st=False, min_listed_days=0).process(ones(D[-1:]))
    assert last.notna().all().all()


def test_arguments_are_checked():
    for kwargs, text in [(dict(st="yes"), "st: expect True or False"),
                         (dict(min_listed_days=-1), "min_listed_days"),
                         (dict(min_listed_days=2.5), "min_listed_days"),
                         (dict(index=3), "index: expect an index id"),
                         (dict(index=["600000.XSHG", 3]), "order_book_id strings")]:
        with pytest.raises(ValueError, match=text):
            TradableUniverse(**kwargs)
    with pytest.raises(ValueError, match="daily dates"):
        TradableUniverse().process(pd.DataFrame(1.0, index=pd.date_range("2024-03-04 09:31", periods=3, freq="min"),
                                                columns=IDS))


def test_an_index_without_members_is_an_error_naming_it(in_market):
    with pytest.raises(ValueError, match="no member of '000905.XSHG'"):
        TradableUniverse(index="000905.XSHG").process(ones())


# ----------------------------------------------------------------------------- the engine

def test_the_counts_reach_the_coverage_of_every_record(in_market):
    engine = FactorVarodyne()
    engine.append(("limits", TradableUniverse(suspended=False, st=False, min_listed_days=0)))
    engine.append(("st", TradableUniverse(suspended=False, price_limit=False, min_listed_days=0)))
    engine.append(("ic", ICAnalysis(industry_classification=None, max_decay=None)))
    rng = np.random.default_rng(0)
    factor = ones() * rng.normal(size=(15, 6))
    record = engine.analysis(factor, "daily", periods=[1])["ic"]
    cov = record.coverage
    assert cov.removed_by_rule == {"closing at a price limit": 2, "ST or *ST": 4} and cov.removed_values == 6
    assert "the tradable screen removed 6 values (closing at a price limit 2, ST or *ST 4)" in cov.text()
    table = record.summary()["coverage"]["coverage"]
    assert table["values removed by the tradable screen"] == 6 and table["removed: ST or *ST"] == 4
    assert "the tradable screen removed 6 values" in record.to_text()
    assert "removed: closing at a price limit" in record._repr_html_()
    # a run without the step says nothing of a screen
    plain = FactorVarodyne()
    plain.append(("ic", ICAnalysis(industry_classification=None, max_decay=None)))
    cov = plain.analysis(factor, "daily", periods=[1])["ic"].coverage
    assert cov.removed_by_rule is None and "tradable" not in cov.text()
    assert "values removed by the tradable screen" not in cov.table().index


PREPROCESS_STEPS = [n for n in registry.names(registry.PREPROCESS) if n != "tradable"]


@pytest.mark.parametrize("other", PREPROCESS_STEPS)
@pytest.mark.parametrize("first", [True, False])
def test_the_step_composes_with_every_other_step(small_store, other, first):
    """Before or after any other preprocessing step, with every analysis step: the values the
    screen removed stay missing to the end, every record carries the counts, and the counts
    are those of the screen applied to the table it was handed."""
    ids = tidewell.all_instruments("CS")["order_book_id"].tolist()
    factor = tidewell.get_signal(ids, "2023-02-01", "2023-10-31").astype(float)
    screen = TradableUniverse(min_listed_days=20, index="000300.XSHG")
    names = ["tradable", other] if first else [other, "tradable"]
    steps = registry.build_steps(names + list(registry.names(registry.ANALYSIS)), min_listed_days=20,
                                 universe="000300.XSHG", max_decay=5)
    result = registry.make_engine(steps).analysis(factor, "daily", periods=[1, 5], keep_preprocess_result=True)
    handed = factor if first else result[other]
    screened, by_rule, total = screen.screen(handed)
    assert total > 0 and by_rule["closing at a price limit"] > 0 and by_rule["not in 000300.XSHG"] > 0
    final = result[names[-1]]
    gone = handed.notna() & screened.isna()
    assert final[gone].isna().all().all()
    for name in registry.names(registry.ANALYSIS):
        cov = result[name].coverage
        assert cov.removed_by_rule == by_rule and cov.removed_values == total, name


# ----------------------------------------------------------------------------- the command line

def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = cli.main(list(argv), out=out, err=err)
    return code, out.getvalue(), err.getvalue()


@pytest.fixture(autouse=True)
def keep_store_selection():
    previous = tidewell.init(None)
    tidewell.init(previous)
    yield
    tidewell.init(previous)


def test_the_demo_with_and_without_the_screen(tmp_path, small_store_path):
    code, out, err = run("demo", "--tradable", "--store", small_store_path, "--out", str(tmp_path), "-q")
    assert code == 0, err
    for label in ("planted", "planted (tradable)", "reversal_5d", "reversal_5d (tradable)"):
        assert "=== {} ===".format(label) in out
    plain = out[out.index("=== planted ==="):out.index("=== planted (tradable) ===")]
    screened = out[out.index("=== planted (tradable) ==="):out.index("=== reversal_5d ===")]
    assert "tradable screen" not in plain and "the tradable screen removed" in screened
    board = out[out.index("Leaderboard"):]
    assert all(name in board for name in ("planted (tradable)", "reversal_5d (tradable)"))
    document = (tmp_path / "tear_sheet.html").read_text(encoding="utf-8")
    assert "values removed by the tradable screen" in document and "reversal_5d (tradable)" in document


def test_run_takes_the_step_and_its_options(tmp_path, small_store_path):
    with tidewell.using(small_store_path):
        table = tidewell.get_signal(None, "2023-02-01", "2023-10-31")
    csv = tmp_path / "planted.csv"
    table.to_csv(csv)
    code, out, err = run("run", str(csv), "--store", small_store_path, "--no-report", "-q", "-v",
                         "--preprocess", "tradable,winsorize", "--analysis", "ic", "--tradable-rules", "limit",
                         "--min-listed-days", "0", "--universe", "000300.XSHG")
    assert code == 0, err
    line = next(li for li in out.splitlines() if li.startswith("Rests on:"))
    assert "(closing at a price limit " in line and ", not in 000300.XSHG " in line
    assert "ST or *ST" not in line and "listed under" not in line and "no trading" not in line
    for argv, text in [(("--tradable-rules", "limits"), "--tradable-rules: expect a comma-separated subset"),
                       (("--min-listed-days", "-1"), "--min-listed-days: expect an integer"),
                       (("--min-listed-days", "ten"), "--min-listed-days: expect an integer"),
                       (("--universe", "000001.XSHE"), "--universe: expect the order_book_id of an index"),
                       (("--universe", "999999.XSHG"), "--universe: expect the order_book_id of an index")]:
        code, _, err = run("run", str(csv), "--store", small_store_path, "--preprocess", "tradable", *argv)
        assert code == 2 and text in err, err
    # the step's options without the step would change nothing: refused, saying how to add it
    for argv in (("--universe", "000300.XSHG"), ("--min-listed-days", "20"), ("--tradable-rules", "st")):
        code, _, err = run("run", str(csv), "--store", small_store_path, "--preprocess", "winsorize", *argv)
        assert code == 2 and "{}: an option of the tradable step".format(argv[0]) in err, err
        assert "--preprocess tradable,winsorize" in err
