"""The HTML tear sheet: well-formed, self-contained, holding the charts of every record."""

import base64
import re
from html.parser import HTMLParser

import pandas as pd
import pytest

from sigmora.report import glance_table, render_report, write_report
from tests.test_results import make_records

VOID = {"meta", "img", "br", "hr", "link", "input"}


class TagChecker(HTMLParser):
    """Fails on a closing tag that does not match the open one; collects image sources."""

    def __init__(self):
        super().__init__()
        self.stack, self.images, self.ids = [], [], []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "img":
            self.images.append(attrs["src"])
        if "id" in attrs:
            self.ids.append(attrs["id"])
        if tag not in VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.stack.pop()

    def handle_endtag(self, tag):
        assert self.stack and self.stack[-1] == tag, "</{}> closes <{}>".format(tag, self.stack[-1:])
        self.stack.pop()


def parse(document):
    checker = TagChecker()
    checker.feed(document)
    checker.close()
    assert checker.stack == [], "unclosed tags: {}".format(checker.stack)
    return checker


def assert_png_images(sources, count):
    assert len(sources) == count
    for src in sources:
        assert src.startswith("data:image/png;base64,")
        assert base64.b64decode(src.split(",", 1)[1])[:8] == b"\x89PNG\r\n\x1a\n"


def engine_output():
    ic_rec, q_rec, f_rec = make_records()
    kept = pd.DataFrame({"A": [1.0, None], "B": [2.0, 3.0]}, index=pd.bdate_range("2024-01-01", periods=2))
    return {"winsorize": kept, "ic": ic_rec, "quantile": q_rec, "factor_return": f_rec}


def test_report_is_valid_html_with_every_chart_embedded(tmp_path):
    results = engine_output()
    n_figures = sum(len(r.plot()) for r in results.values() if not isinstance(r, pd.DataFrame))
    path = write_report(results, tmp_path, title="Book <to> price", description={"periods": "1, 5"})
    assert path == str(tmp_path / "tear_sheet.html")
    document = open(path, encoding="utf-8").read()
    assert document.startswith("<!DOCTYPE html>")
    checker = parse(document)
    assert_png_images(checker.images, n_figures)
    assert "Book &lt;to&gt; price" in document                  # text is escaped
    assert "75.0% of values present" in document                # the kept preprocessing table
    # readable offline: nothing is fetched from elsewhere
    assert not re.search(r"""(src|href)=["']?(https?:)?//""", document)
    for heading in ("IC statistics per period", "Quantile groups per period", "Monotonicity of group returns",
                    "Factor returns per period", "Benchmark"):
        assert heading in document


def test_report_of_several_factors_has_a_section_each(tmp_path):
    one = engine_output()
    document = render_report({"planted": one, "reversal": {"ic": one["ic"]}})
    checker = parse(document)
    assert {"factor0", "factor1"} <= set(checker.ids)
    assert len(checker.ids) == len(set(checker.ids))           # anchors are unique
    # the first factor's 9 charts, the second's IC record (5), the heat map of IC correlation
    assert_png_images(checker.images, 9 + 5 + 1)
    assert document.index(">planted<") < document.index(">reversal<")


def test_glance_table_gathers_the_headline_figures():
    results = engine_output()
    glance = glance_table(results)
    assert list(glance.index) == ["P_1", "P_5"]
    assert glance.loc["P_5", "IC mean"] == pytest.approx(results["ic"].ic["P_5"].mean())
    tmb = results["quantile"].summary()["top_minus_bottom"]
    assert glance.loc["P_1", "top-bottom Sharpe"] == pytest.approx(tmb.loc["P_1", "sharpe"])
    assert glance.loc["P_1", "factor annual return"] == pytest.approx(tmb.loc["P_1", "annual_return"])
    assert set(glance["groups q1 to last"]) <= {"increasing", "decreasing", "none"}
    assert glance_table({"winsorize": results["winsorize"]}) is None
    assert "At a glance" in render_report(results)


def test_report_rejects_bad_arguments(tmp_path):
    with pytest.raises(ValueError, match="results: expect the dict"):
        render_report([1, 2])
    with pytest.raises(ValueError, match="path: expect a file in an existing directory"):
        write_report(engine_output(), tmp_path / "missing" / "x.html")
    assert "holds no tables" in render_report({})


def _resting_on_no_date(records):
    """`records` as a run whose factor has no value on any return date leaves them: IC tables
    missing, return tables zero-filled, no group member, and the coverage of such a run."""
    from sigmora.analysis._coverage import measure
    ic_rec, q_rec, f_rec = records
    ic_rec.ic, ic_rec.ic_decay = ic_rec.ic * float("nan"), ic_rec.ic_decay * float("nan")
    ic_rec.ic_industry_distribute = ic_rec.ic_industry_distribute * 0.0
    q_rec.quantile_returns, q_rec.top_minus_bottom_returns = q_rec.quantile_returns * 0.0, q_rec.top_minus_bottom_returns * 0.0
    q_rec.quantile_turnover = q_rec.quantile_turnover * float("nan")
    q_rec.quantile_detail = q_rec.quantile_detail.where(q_rec.quantile_detail.isna())
    f_rec.factor_returns = f_rec.factor_returns * 0.0
    returns = pd.DataFrame(0.01, index=pd.bdate_range("2024-01-01", periods=30), columns=["A", "B", "C"])
    factor = pd.DataFrame(float("nan"), index=returns.index, columns=returns.columns)
    coverage = measure(factor, returns, [1, 5])
    assert coverage.dates_used == 0
    for record in records:
        record.coverage = coverage
    return coverage


def test_a_run_resting_on_no_date_says_so_instead_of_drawing(tmp_path):
    from matplotlib.figure import Figure
    from sigmora.report import leaderboard

    empty = engine_output()
    records = [empty[k] for k in ("ic", "quantile", "factor_return")]
    keys = [set(r.plot()) for r in records]
    coverage = _resting_on_no_date(records)
    line = "0 of 30 dates used"
    assert line in coverage.text()

    # The tear sheet: one line where the glance table, the tables and the charts were.
    document = render_report({"empty": empty, "fine": engine_output()})
    parse(document)
    start, end = document.index('id="factor0"'), document.index('id="factor1"')
    section, rest = document[start:end], document[end:]
    assert line in section and "Nothing to show" in section
    assert "<img" not in section and "At a glance" not in section and "IC statistics" not in section
    assert "Nothing to show" not in rest and "At a glance" in rest and "<img" in rest
    # the leaderboard keeps the factor's row, its figures missing
    board = leaderboard({"empty": empty, "fine": engine_output()})
    assert board.loc["empty"].filter(like="IC ").isna().all()
    assert board.loc["fine"].filter(like="IC ").notna().all()

    # A notebook: each record says so, and plot() keeps its keys, every figure saying why.
    for record, before in zip(records, keys):
        shown = record._repr_html_()
        assert line in shown and "<img" not in shown and "NaN" not in shown
        figures = record.plot()
        assert set(figures) == before
        for fig in figures.values():
            assert isinstance(fig, Figure)
            assert not any(ax.lines or ax.patches or ax.images for ax in fig.axes)
            assert any(line in t.get_text() for ax in fig.axes for t in ax.texts)

    # Records of a run that rests on dates draw as before.
    fine = engine_output()["factor_return"]
    assert fine.nothing_to_show() is None and fine.plot()["factor_returns"].axes[0].lines


def test_ic_charts_of_no_ic_value_say_so():
    from sigmora.analysis import plotting

    results = engine_output()
    ic_rec = results["ic"]
    ic_rec.ic = ic_rec.ic * float("nan")                 # dates used, none ranked anything
    ic_rec.ic_decay = ic_rec.ic_decay * float("nan")
    assert "no date has an IC value" in ic_rec.nothing_to_show()
    assert "<img" not in ic_rec._repr_html_()
    drawn = [plotting.ic_figure(ic_rec.ic), plotting.ic_monthly_figure(ic_rec.ic), plotting.ic_qq_figure(ic_rec.ic),
             plotting.ic_decay_figure(ic_rec.ic_decay),
             plotting.ic_industry_figure(ic_rec.ic_industry_distribute * float("nan"))]
    for fig in drawn:
        assert not any(ax.lines or ax.patches or ax.images for ax in fig.axes)
        assert any("nothing to draw" in t.get_text() for ax in fig.axes for t in ax.texts)
    # the other records of that run still show their charts
    assert results["quantile"].nothing_to_show() is None
    assert "<img" in render_report({"a": results, "b": engine_output()}).split('id="factor1"')[0]
