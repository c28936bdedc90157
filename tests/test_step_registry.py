"""A new analysis step needs its module, its result record and one registry entry: registered
here (and nowhere else), it shows in the glance table, the leaderboard and the tear sheet, and the
command line runs it by name."""

import io

import numpy as np
import pandas as pd
import pytest

import tidewell
from sigmora import cli
from sigmora.analysis import registry
from sigmora.analysis.analysis_result import _AnalysisResult
from sigmora.analysis.leaderboard import BoardFigure, leaderboard
from sigmora.analysis.varodyne import FactorAnalyser
from sigmora.report import glance_table, render_report
from tests.test_results import make_records


# ----------------------------------------------------------------------------- the new step

class SpreadResult(_AnalysisResult):
    """The record of the new step: the cross-sectional spread of the factor per date and period."""

    _tables = ("spread",)
    _titles = {"spread": "Cross-sectional spread per period"}

    def summary(self, periods_per_year=None):
        if self.spread is None:
            return {}
        return {"spread": pd.DataFrame({"mean": self.spread.mean(), "max": self.spread.max()})}

    def plot(self):
        return {}

    def headline(self):
        if self.spread is None:
            return None
        return self.spread.mean().to_frame("mean spread")

    def leaderboard_figures(self):
        return (BoardFigure("mean spread", 60),)


class SpreadAnalysis(FactorAnalyser):
    def __init__(self, scale=1.0):
        self.scale = scale

    def analysis(self, factor_data, returns, periods, ascending=True):
        spread = (factor_data.max(axis=1) - factor_data.min(axis=1)) * self.scale
        table = pd.DataFrame({"P_{}".format(p): spread.shift(-p) for p in periods})
        return SpreadResult(spread=table, name=self.step_name)


def _spread(quantile=5):
    # reads one of the options the command line gives (--quantiles), for the sake of the test
    return SpreadAnalysis(scale=float(quantile))


@pytest.fixture
def spread_step():
    registry.register("spread", registry.ANALYSIS, _spread, default=False)
    try:
        yield
    finally:
        registry.unregister("spread")


pytestmark = pytest.mark.usefixtures("keep_store_selection")


def _spread_record(seed, name="spread"):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=60, name="datetime")
    return SpreadResult(spread=pd.DataFrame(rng.uniform(1, 2, (60, 2)), index=dates, columns=["P_1", "P_5"]),
                        name=name)


# ----------------------------------------------------------------------------- tests

def test_a_new_record_shows_in_glance_leaderboard_and_report():
    def results(seed):
        ic_rec, q_rec, f_rec = make_records(seed=seed)
        return {"ic": ic_rec, "spread": _spread_record(seed), "quantile": q_rec, "factor_return": f_rec}

    one = results(1)
    glance = glance_table(one)
    ic_columns = len(one["ic"].headline().columns)
    assert list(glance.columns[ic_columns:ic_columns + 1]) == ["mean spread"]  # in the order of the steps
    assert glance.loc["P_5", "mean spread"] == pytest.approx(one["spread"].spread["P_5"].mean())

    board = leaderboard({"a": one, "b": results(2)})
    # placed after the figures of the records that were there before it, wherever its step ran
    assert list(board.columns[-2:]) == ["mean spread P_1", "mean spread P_5"]
    assert list(board.columns[:-2]) == list(leaderboard({"a": {k: v for k, v in one.items() if k != "spread"}}).columns)
    assert board.loc["b", "mean spread P_1"] == pytest.approx(results(2)["spread"].spread["P_1"].mean())

    document = render_report({"a": one, "b": results(2)})
    assert "SpreadResult: spread" in document and "Cross-sectional spread per period" in document
    assert "mean spread P_5" in document and "<th>mean spread</th>" in document


def test_records_without_the_methods_contribute_nothing():
    class Bare:
        name = "bare"

    one = {"bare": Bare(), "spread": _spread_record(0), "kept": pd.DataFrame({"headline": [1.0]})}
    assert list(glance_table(one).columns) == ["mean spread"]
    assert list(leaderboard({"a": one}).columns) == ["mean spread P_1", "mean spread P_5"]
    assert glance_table({"bare": Bare()}) is None


def test_the_command_line_runs_a_registered_step_by_name(spread_step, tmp_path, small_store_path):
    assert "spread" in cli.ANALYSIS_CHOICES
    assert [n for n, _ in cli.build_steps()] == ["winsorize", "neutralize", "normalize", "ic", "quantile",
                                                  "factor_return"]     # not in the default pipeline
    (name, step), = cli.build_steps([], ["spread"], quantile=3)
    assert name == "spread" and isinstance(step, SpreadAnalysis) and step.scale == 3.0

    with tidewell.using(small_store_path):
        table = tidewell.get_signal(None, "2023-02-01", "2023-10-31")
    csv = tmp_path / "planted.csv"
    table.to_csv(csv)
    out, err = io.StringIO(), io.StringIO()
    code = cli.main(["run", str(csv), "--verbose", "--store", small_store_path, "--periods", "1,5", "--preprocess", "normalize",
                     "--analysis", "factor_return,spread", "--out", str(tmp_path / "sheet.html")], out=out, err=err)
    out, err = out.getvalue(), err.getvalue()
    assert code == 0, err
    assert "[planted] spread (SpreadAnalysis) done in" in err
    assert "SpreadResult 'spread'" in out and "Cross-sectional spread per period" in out
    glance = out[out.index("planted at a glance"):]
    assert "factor Sharpe" in glance and "mean spread" in glance
    document = (tmp_path / "sheet.html").read_text(encoding="utf-8")
    assert "SpreadResult: spread" in document and "mean spread" in document

    help_out = io.StringIO()
    assert cli.main(["run", "--help"], out=help_out, err=io.StringIO()) == 0
    assert "ic,quantile,factor_return,spread" in " ".join(help_out.getvalue().split())

    # two factors through the registry's engine: the new step's figure is on the leaderboard
    with tidewell.using(small_store_path):
        steps = registry.build_steps(["normalize", "ic", "spread"], industry=None, max_decay=0)
        engine = registry.make_engine(steps)
        outputs = {name: engine.analysis(factor, "daily", periods=[1, 5])
                   for name, factor in {"planted": table, "flipped": -table}.items()}
    board = leaderboard(outputs)
    assert list(board.index) == ["planted", "flipped"]
    assert list(board.columns[-2:]) == ["mean spread P_1", "mean spread P_5"]


def test_registry_rejects_a_name_twice_and_unknown_kinds(spread_step):
    with pytest.raises(ValueError, match="already registered"):
        registry.register("spread", registry.ANALYSIS, _spread)
    with pytest.raises(ValueError, match="kind"):
        registry.register("other", "postprocess", _spread)
    assert registry.uses_option(["spread"], "quantile") and not registry.uses_option(["spread"], "benchmark")
    assert registry.uses_option(["ic", "quantile"], "benchmark")
