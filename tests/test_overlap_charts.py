"""Charts of the IC record's distribution (monthly heat map, Q-Q plot) and of several factors'
overlap (correlation heat maps), and their place in the tear sheet."""

import re

import numpy as np
import pandas as pd
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg
from scipy import stats

from sigmora.analysis._formats import format_value
from sigmora.analysis.combination import ic_correlation, value_correlation
from sigmora.analysis.plotting import correlation_figure
from sigmora.report import render_report
from tests.test_report import assert_png_images, parse
from tests.test_results import make_records


def _panels(fig):
    """The axes that draw data (a colour bar is an axes of its own)."""
    return [ax for ax in fig.axes if ax.get_title()]


def test_monthly_ic_heat_map_holds_the_mean_ic_of_every_month():
    ic_rec, _, _ = make_records(n_dates=400, seed=3)
    ic_rec.ic.iloc[30:60, 1] = np.nan                  # a month of P_5 without any IC
    fig = ic_rec.plot()["ic_monthly"]
    panels = _panels(fig)
    assert [ax.get_title() for ax in panels] == ["P_1", "P_5"]
    limits = set()
    for ax, period in zip(panels, ["P_1", "P_5"]):
        monthly = ic_rec.ic[period].resample("ME").mean()
        want = np.full((len(set(monthly.index.year)), 12), np.nan)
        years = sorted(set(monthly.index.year))
        for when, value in monthly.items():
            want[years.index(when.year), when.month - 1] = value
        shown = ax.images[0].get_array()
        np.testing.assert_allclose(np.ma.filled(shown, np.nan), want, rtol=0, atol=1e-15)
        assert [t.get_text() for t in ax.get_yticklabels()] == [str(y) for y in years]
        assert [t.get_text() for t in ax.get_xticklabels()][:3] == ["Jan", "Feb", "Mar"]
        # every month with an IC is annotated with it, the empty ones are left blank
        texts = sorted(t.get_text() for t in ax.texts)
        assert texts == sorted("{:.2f}".format(v) for v in want[np.isfinite(want)])
        norm = ax.images[0].norm
        assert norm.vmin == -norm.vmax                 # centred at 0
        limits.add(norm.vmax)
    assert len(limits) == 1                            # one scale for every period
    FigureCanvasAgg(fig).draw()


def test_qq_plot_draws_the_sorted_ic_against_normal_quantiles():
    ic_rec, _, _ = make_records(n_dates=80, seed=5)
    ic_rec.ic.iloc[::9, 0] = np.nan
    fig = ic_rec.plot()["ic_qq"]
    for ax, period in zip(_panels(fig), ["P_1", "P_5"]):
        values = ic_rec.ic[period].dropna().to_numpy()
        n = len(values)
        # Filliben's medians of the uniform order statistics, through the normal quantile function
        u = (np.arange(1, n + 1) - 0.3175) / (n + 0.365)
        u[-1] = 0.5 ** (1 / n)
        u[0] = 1 - u[-1]
        points, line = ax.lines[0], ax.lines[1]
        np.testing.assert_allclose(points.get_xdata(), stats.norm.ppf(u), rtol=0, atol=1e-12)
        np.testing.assert_array_equal(points.get_ydata(), np.sort(values))
        # the reference line is the normal with the IC's mean and sample standard deviation
        x, y = line.get_xdata(), line.get_ydata()
        slope = (y[1] - y[0]) / (x[1] - x[0])
        assert slope == pytest.approx(values.std(ddof=1), rel=1e-12)
        assert y[0] - slope * x[0] == pytest.approx(values.mean(), abs=1e-14)
        assert ax.get_title().startswith(period)
    assert not fig.legends


def _matrix(n, seed=0):
    rng = np.random.default_rng(seed)
    a = rng.uniform(-1, 1, (n, n))
    m = (a + a.T) / 2
    np.fill_diagonal(m, 1.0)
    m[0, 1] = m[1, 0] = np.nan
    names = ["factor_{:02d}".format(i) for i in range(n)]
    return pd.DataFrame(m, index=names, columns=names)


def test_correlation_heat_map_shows_the_table_annotated_when_small_thinned_when_large():
    small = _matrix(5)
    fig = correlation_figure(small, "Correlation of factor values")
    ax = fig.axes[0]
    image = ax.images[0]
    np.testing.assert_array_equal(np.ma.filled(image.get_array(), np.nan), small.to_numpy())
    assert (image.norm.vmin, image.norm.vmax) == (-1.0, 1.0) and image.get_cmap().name.startswith("RdBu")
    assert len(ax.texts) == 25 - 2                     # every cell but the missing pair
    assert "{:.2f}".format(small.iloc[2, 3]) in [t.get_text() for t in ax.texts]
    assert [t.get_text() for t in ax.get_xticklabels()] == list(small.columns)

    large = _matrix(70, seed=1)
    fig = correlation_figure(large)
    ax = fig.axes[0]
    np.testing.assert_array_equal(np.ma.filled(ax.images[0].get_array(), np.nan), large.to_numpy())
    assert len(ax.texts) == 0
    shown = [t.get_text() for t in ax.get_yticklabels()]
    assert 10 <= len(shown) <= 30 and shown[0] == "factor_00" and set(shown) < set(large.index)
    FigureCanvasAgg(fig).draw()


def _factor(seed, dates, ids):
    rng = np.random.default_rng(seed)
    values = rng.normal(size=(len(dates), len(ids)))
    values[rng.random(values.shape) < 0.1] = np.nan
    return pd.DataFrame(values, index=dates, columns=ids)


def _cell_texts(document, after):
    """The cell texts of the first table after the heading `after`."""
    part = document[document.index(after):]
    part = part[part.index("<table"):part.index("</table>")]
    return re.findall(r"<td>([^<]*)</td>", part)


def test_report_of_several_factors_shows_their_overlap_as_heat_maps_and_tables():
    results, tables = {}, {}
    for seed in range(3):
        ic, quantile, _ = make_records(seed=seed)
        results["factor {}".format(seed)] = {"ic": ic, "quantile": quantile}
        tables["factor {}".format(seed)] = _factor(seed, ic.ic.index, ["S{}".format(i) for i in range(30)])
    document = render_report(results, factors=tables)
    checker = parse(document)
    per_factor = sum(len(r.plot()) for sub in results.values() for r in sub.values())
    assert_png_images(checker.images, per_factor + 2)
    assert document.index("Leaderboard") < document.index("Factor overlap") < document.index('id="factor0"')
    values = value_correlation(tables)
    ic = ic_correlation({k: sub["ic"].ic for k, sub in results.items()}, period="P_1")
    assert _cell_texts(document, "Correlation of factor values") == [format_value(v) for v in values.to_numpy().ravel()]
    assert _cell_texts(document, "Correlation of IC series (P_1)") == [format_value(v) for v in ic.to_numpy().ravel()]

    # a factor without its values here (an expression run by the workers) is named as left out
    partial = render_report(results, factors={k: v for k, v in tables.items() if k != "factor 2"})
    assert _cell_texts(partial, "Correlation of factor values") == [
        format_value(v) for v in value_correlation({k: tables[k] for k in ("factor 0", "factor 1")}).to_numpy().ravel()]
    assert "Left out, their values not being at hand (factors given as expressions): factor 2." in partial

    # a factor resting on no date is named, not drawn as a blank row and column of NaN
    empty_ic, empty_quantile, _ = make_records(seed=3)
    empty_ic.ic.loc[:, :] = np.nan
    with_empty = dict(results, **{"factor 3": {"ic": empty_ic, "quantile": empty_quantile}})
    empty_table = tables["factor 0"] * np.nan
    document = render_report(with_empty, factors=dict(tables, **{"factor 3": empty_table}))
    assert _cell_texts(document, "Correlation of IC series (P_1)") == [format_value(v) for v in ic.to_numpy().ravel()]
    assert _cell_texts(document, "Correlation of factor values") == [format_value(v) for v in values.to_numpy().ravel()]
    assert "Left out, resting on no date: factor 3." in document
    assert "Left out, without a single value: factor 3." in document

    # without the factor tables only the IC series can be compared, and the section says why
    document = render_report(results)
    assert "Correlation of IC series (P_1)" in document and "<h3>Correlation of factor values" not in document
    assert "Correlation of factor values: not shown, fewer than two factors have their values here." in document
    assert "Factor overlap" not in render_report({"factor 0": results["factor 0"]})
