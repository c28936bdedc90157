import numpy as np
import pandas as pd
import pytest

from sigmora.analysis.leaderboard import leaderboard
from sigmora.report import render_report
from tests.test_results import make_records


def _results(seed, ic_shift=0.0):
    ic_rec, q_rec, f_rec = make_records(seed=seed)
    ic_rec.ic = ic_rec.ic + ic_shift
    return {"ic": ic_rec, "quantile": q_rec, "factor_return": f_rec}


def test_one_row_per_factor_sorted_by_first_ir():
    results = {"weak": _results(1), "strong": _results(2, ic_shift=0.2), "mid": _results(3, ic_shift=0.05)}
    board = leaderboard(results)
    assert list(board.index) == ["strong", "mid", "weak"]
    ic = results["mid"]["ic"].ic["P_5"]
    assert board.loc["mid", "IC mean P_5"] == pytest.approx(ic.mean())
    assert board.loc["mid", "IC IR P_5"] == pytest.approx(ic.mean() / ic.std())
    turnover = results["mid"]["quantile"].quantile_turnover["P_1"]
    # The first date each group is formed (from the second row on: the first has no lagged
    # factor) compares with nothing: a warm-up, left out of the mean.
    detail = results["mid"]["quantile"].quantile_detail
    warmup = [(g, next(d for d in detail.index[1:] if (detail.loc[d] == g).any())) for g in ("q1", "q2", "q3")]
    kept = turnover.drop(warmup)
    assert len(kept) == len(turnover) - 3
    assert board.loc["mid", "mean turnover P_1"] == pytest.approx(kept.groupby(level="tag").mean().mean())
    for column in ("top-bottom annual return P_1", "factor Sharpe P_5"):
        assert np.isfinite(board[column]).all()
    by_turnover = leaderboard(results, sort_by="mean turnover P_1", ascending=True)
    assert by_turnover["mean turnover P_1"].is_monotonic_increasing
    with pytest.raises(ValueError, match="sort_by: expect one of"):
        leaderboard(results, sort_by="nope")


def test_report_of_many_factors_holds_the_leaderboard():
    html = render_report({"a": _results(1), "b": _results(2)})
    assert "Leaderboard" in html and "IC IR P_1" in html
    assert "Leaderboard" not in render_report(_results(1))
    assert isinstance(leaderboard({}), pd.DataFrame)
