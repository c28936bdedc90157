"""How results read: one format per quantity in tables and charts, legends beside the data,
turnover drawn from the first compared holdings, Chinese names drawn with an installed font."""

import os
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from matplotlib import font_manager
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.ticker import PercentFormatter

from sigmora.analysis import plotting
from sigmora.analysis._formats import format_table, quantity
from sigmora.report import render_report
from tests.test_results import make_records


def test_each_quantity_has_one_format():
    ic_rec, q_rec, f_rec = make_records()
    ic = format_table(ic_rec.summary()["ic"])
    groups = format_table(q_rec.summary()["quantile_returns"])
    raw = q_rec.summary()["quantile_returns"]
    assert groups.loc[("P_1", "q1"), "annual_return"] == "{:.2f}%".format(100 * raw.loc[("P_1", "q1"), "annual_return"])
    for column in ("annual_return", "volatility", "max_drawdown", "mean_turnover", "excess_return"):
        assert all(re.fullmatch(r"-?\d+\.\d\d%", v) for v in groups[column]), column
    assert all(re.fullmatch(r"-?\d+\.\d\d", v) for v in groups["sharpe"])
    assert all(re.fullmatch(r"-?0\.\d{4}", v) for v in ic["mean"]) and list(ic["dates"]) == ["60", "60"]
    assert all(re.fullmatch(r"-?\d+\.\d\d", v) for v in ic["t_stat"].tolist() + ic["ir"].tolist())
    assert all(v.endswith("%") for v in ic["positive_share"].tolist() + ic["abs_ic_gt_0.02"].tolist())
    # leaderboard and "at a glance" labels read the same way as the summaries' columns
    assert [quantity(c) for c in ("top-bottom annual return P_5", "mean turnover P_1", "IC IR P_1", "IC t-stat",
                                  "IC NW t-stat P_20", "factor Sharpe P_1", "IC mean P_1", "nw_p_value")] == [
        "percent", "percent", "ratio", "ratio", "ratio", "ratio", "number", "p_value"]
    # a column of mixed figures is read row by row (the coverage table)
    coverage = pd.DataFrame({"coverage": pd.Series({"dates used": 211, "values per date, median": 37.0,
                                                    "missing share": 0.0842}, dtype=object)})
    assert list(format_table(coverage)["coverage"]) == ["211", "37", "8.42%"]
    # the same text in the terminal and on the tear sheet
    text = q_rec.to_text()
    document = render_report({"quantile": q_rec})
    for value in groups["annual_return"]:
        assert value in text and ">{}<".format(value) in document


def _return_axes(fig):
    return [ax for ax in fig.axes if ax.get_title() or ax.lines]


def test_return_charts_use_percentages_and_ic_charts_do_not():
    ic_rec, q_rec, f_rec = make_records()
    percent = [q_rec.plot()["quantile_returns"], q_rec.plot()["top_minus_bottom"], q_rec.plot()["turnover"],
               f_rec.plot()["factor_returns"]]
    for fig in percent:
        assert all(isinstance(ax.yaxis.get_major_formatter(), PercentFormatter) for ax in _return_axes(fig))
    for fig in ic_rec.plot().values():
        assert not any(isinstance(ax.yaxis.get_major_formatter(), PercentFormatter) for ax in fig.axes)


def _overlaps(a, b):
    return a.x0 < b.x1 and b.x0 < a.x1 and a.y0 < b.y1 and b.y0 < a.y1


def test_legends_stay_off_the_data():
    ic_rec, q_rec, f_rec = make_records()
    figures = {key: fig for rec in (ic_rec, q_rec, f_rec) for key, fig in rec.plot().items()}
    with_legend = 0
    for fig in figures.values():
        canvas = FigureCanvasAgg(fig)
        canvas.draw()
        renderer = canvas.get_renderer()
        assert all(ax.get_legend() is None for ax in fig.axes)
        for legend in fig.legends:
            with_legend += 1
            box = legend.get_window_extent(renderer)
            assert not any(_overlaps(box, ax.get_window_extent(renderer)) for ax in fig.axes)
            if fig._suptitle is not None:
                assert not _overlaps(box, fig._suptitle.get_window_extent(renderer))
    # every chart with several lines or bars on one axis has a legend; the heat maps and Q-Q
    # plots draw one period per panel, titled with it
    assert with_legend == len(figures) - 2
    assert not figures["ic_monthly"].legends and not figures["ic_qq"].legends


def test_turnover_lines_start_where_holdings_were_compared():
    dates = pd.bdate_range("2024-01-01", periods=60, name="datetime")
    rng = np.random.default_rng(3)
    rows = {}
    for tag in ("q1", "q2"):
        one = pd.DataFrame({"P_1": rng.uniform(0.1, 0.5, 60), "P_5": rng.uniform(0.05, 0.2, 60)}, index=dates)
        one.iloc[0] = np.nan            # no groups on the first row
        one.iloc[1:2, 0] = 0.0          # P_1: nothing to compare with on the second
        one.iloc[1:6, 1] = 0.0          # P_5: nor on the five rows after the first
        rows[tag] = one
    turnover = pd.concat(rows, names=["tag", "datetime"])
    fig = plotting.turnover_figure(turnover, window=10)
    for ax, period, first_compared in zip(fig.axes, ("P_1", "P_5"), (2, 6)):
        for line, tag in zip(ax.lines, ("q1", "q2")):
            x, y = line.get_data()
            shown = ~np.isnan(np.asarray(y, dtype=float))
            start = first_compared + 9                   # a full 10-row window of compared rows
            assert pd.Timestamp(np.asarray(x)[shown][0]) == dates[start]
            expected = turnover[period].xs(tag, level="tag").iloc[first_compared:start + 1].mean()
            assert np.asarray(y, dtype=float)[shown][0] == pytest.approx(expected)
            assert np.all(np.asarray(y, dtype=float)[shown] > 0)


def test_chinese_names_draw_with_the_installed_font_even_when_the_cache_misses_it(monkeypatch):
    files = [path for path in plotting.CJK_FONT_FILES if os.path.isfile(path)]
    if not files:
        pytest.skip("no font with Chinese glyphs is installed here (e.g. apt-get install fonts-wqy-microhei)")
    # a font cache built before the font was installed
    stale = [f for f in font_manager.fontManager.ttflist
             if os.path.abspath(f.fname) not in {os.path.abspath(p) for p in plotting.CJK_FONT_FILES}]
    monkeypatch.setattr(font_manager.fontManager, "ttflist", stale)
    plotting.cjk_font.cache_clear()
    try:
        assert plotting.cjk_font() in plotting.CJK_FONTS
        table = pd.DataFrame({"P_1": [0.1, -0.2, 0.05]}, index=["银行", "传媒", "钢铁"])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            FigureCanvasAgg(plotting.ic_industry_figure(table)).draw()
        assert [str(w.message) for w in caught] == []
    finally:
        plotting.cjk_font.cache_clear()


def test_date_axes_of_every_span_draw_without_warnings():
    # A user saw one locator warning per chart for a span of about three years and eight months.
    for days in (5, 60, 947, 1190, 2431):
        dates = pd.bdate_range("2021-01-04", periods=days, name="datetime")
        series = pd.DataFrame({"P_1": np.linspace(-0.05, 0.05, days)}, index=dates)
        fig = plotting.top_minus_bottom_figure(series)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert plotting.figure_to_png(fig)[:4] == b"\x89PNG"
        ticks = fig.axes[0].get_xticks()
        assert 2 <= len(ticks) <= 9, (days, len(ticks))
