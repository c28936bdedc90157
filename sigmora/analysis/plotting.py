"""Charts of the analysis results as matplotlib figures.

Figures are built with ``matplotlib.figure.Figure`` directly, not through pyplot: nothing is
registered with a GUI, no backend or display is needed, and a notebook shows a figure only when it
is asked to.  ``figure_to_png`` renders one with the Agg renderer.
"""

import base64
import functools
import io
import os
import warnings

import matplotlib
import numpy as np
import pandas as pd
from matplotlib import dates as mdates
from matplotlib import font_manager
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.ticker import MaxNLocator, PercentFormatter

from sigmora.analysis._formats import format_value
from sigmora.analysis.statistics import (ic_decay_curve, ic_monthly, ic_normal_quantiles, period_columns,
                                         sorted_groups)

__all__ = [
    "ic_figure",
    "ic_decay_figure",
    "ic_industry_figure",
    "quantile_returns_figure",
    "top_minus_bottom_figure",
    "turnover_figure",
    "factor_returns_figure",
    "ic_monthly_figure",
    "ic_qq_figure",
    "correlation_figure",
    "no_data_figure",
    "figure_to_png",
    "figure_to_data_uri",
]

TURNOVER_WINDOW = 20
_WIDTH = 10.0
# Fonts that draw Chinese industry names, in order of preference; the first one installed is used.
CJK_FONTS = ("Noto Sans CJK SC", "Noto Sans SC", "Source Han Sans SC", "WenQuanYi Micro Hei",
             "WenQuanYi Zen Hei", "SimHei", "Microsoft YaHei", "PingFang SC", "Heiti SC",
             "Arial Unicode MS")
# Where such fonts are installed. Each one found is registered with matplotlib from its file,
# so that a font cache matplotlib built before the font was installed cannot hide it.
CJK_FONT_FILES = (
    "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",            # Debian/Ubuntu: fonts-wqy-microhei
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",    # Debian/Ubuntu: fonts-noto-cjk
    "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc",              # Debian/Ubuntu: fonts-wqy-zenhei
    "/usr/share/fonts/google-noto-cjk/NotoSansCJK-Regular.ttc",  # Fedora
    "/System/Library/Fonts/PingFang.ttc",                        # macOS
    "/System/Library/Fonts/STHeiti Light.ttc",
    "C:/Windows/Fonts/msyh.ttc",                                 # Windows
    "C:/Windows/Fonts/simhei.ttf",
)


def _register_font_files(paths):
    known = {os.path.normcase(os.path.abspath(f.fname)) for f in font_manager.fontManager.ttflist}
    for path in paths:
        if os.path.isfile(path) and os.path.normcase(os.path.abspath(path)) not in known:
            try:
                font_manager.fontManager.addfont(path)
            except (OSError, RuntimeError, ValueError):  # a file FreeType cannot read
                continue


@functools.lru_cache(maxsize=None)
def cjk_font():
    """Name of an installed font with Chinese glyphs (registered from its file when matplotlib's
    font cache does not list it), or None."""
    _register_font_files(CJK_FONT_FILES)
    installed = {f.name for f in font_manager.fontManager.ttflist}
    return next((name for name in CJK_FONTS if name in installed), None)


def _needs_cjk(labels):
    return any(ord(ch) >= 0x2E80 for label in labels for ch in label)


def _label_font(labels):
    """Font keyword for tick labels: a CJK fallback after the default font when the labels need it."""
    if not _needs_cjk(labels):
        return {}
    font = cjk_font()
    if font is None:
        warnings.warn("no font with Chinese glyphs was found (none of {} is known to matplotlib, and "
                      "none of the files {} exists), so industry names show as boxes in the chart (the "
                      "tables show them); install one, e.g. fonts-wqy-microhei on Debian/Ubuntu".format(
                          ", ".join(CJK_FONTS), ", ".join(CJK_FONT_FILES[:3])))
        return {}
    return {"fontfamily": [matplotlib.rcParams["font.family"][0], font]}


def figure_to_png(fig, dpi=90):
    """PNG bytes of ``fig``, drawn once by the Agg renderer (no display needed)."""
    buf = io.BytesIO()
    fig.set_dpi(dpi)
    with warnings.catch_warnings():  # one warning per missing glyph; _label_font warns once instead
        warnings.filterwarnings("ignore", message="Glyph .* missing from font")
        # A date span the locator has no interval for still gets ticks: nothing for a user to do.
        warnings.filterwarnings("ignore", message="AutoDateLocator was unable to pick")
        FigureCanvasAgg(fig).print_png(buf)
    return buf.getvalue()


def figure_to_data_uri(fig, dpi=90):
    """``data:image/png;base64,...`` text of ``fig``, for an ``<img src=...>`` that needs no file."""
    return "data:image/png;base64," + base64.b64encode(figure_to_png(fig, dpi)).decode("ascii")


def _figure(rows, height_per_row=3.0, title=None):
    fig = Figure(figsize=(_WIDTH, height_per_row * rows), layout="constrained")
    if title:
        fig.suptitle(title, fontsize=12, fontweight="bold")
    return fig


def no_data_figure(title, message):
    """A figure that says in words why there is nothing to draw: an empty or flat-zero chart
    would read as a result."""
    fig = Figure(figsize=(_WIDTH, 1.2), layout="constrained")
    if title:
        fig.suptitle(title, fontsize=12, fontweight="bold")
    ax = fig.add_subplot()
    ax.set_axis_off()
    ax.text(0.5, 0.5, message, ha="center", va="center", fontsize=10, wrap=True, transform=ax.transAxes)
    return fig


def _has_values(table):
    """Whether `table` holds a finite number to draw."""
    values = pd.DataFrame(table).apply(pd.to_numeric, errors="coerce").to_numpy(dtype=float)
    return bool(np.isfinite(values).any())


def _date_axis(ax):
    locator = mdates.AutoDateLocator(maxticks=8)
    # Yearly months too: spans of three to four years fit no monthly step within 8 ticks.
    locator.intervald[mdates.MONTHLY] = [1, 2, 3, 4, 6, 12]
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))


def _style(ax, title=None, ylabel=None, zero_line=True, percent=False):
    if title:
        ax.set_title(title, fontsize=10)
    if ylabel:
        ax.set_ylabel(ylabel)
    if zero_line:
        ax.axhline(0, color="0.4", linewidth=0.8)
    if percent:
        ax.yaxis.set_major_formatter(_percent_formatter())
    ax.grid(True, alpha=0.3)


def _percent_formatter():
    return PercentFormatter(xmax=1.0)


def _legend(fig, ax):
    """The legend of ``ax``'s lines, right of the axes: never over the data."""
    handles, labels = ax.get_legend_handles_labels()
    if handles:
        fig.legend(handles, labels, loc="outside right upper", fontsize=8, frameon=False)


def _dates(index):
    return pd.DatetimeIndex(index) if not isinstance(index, pd.DatetimeIndex) else index


def _period_grid(n):
    cols = 1 if n == 1 else 2
    return (n + cols - 1) // cols, cols


def _group_colors(groups):
    # A sequential map, so the order of the groups reads off the colour; its light yellow end
    # is left out to stay visible on white.
    cmap = matplotlib.colormaps["viridis"]
    return {g: cmap(0.85 * i / max(len(groups) - 1, 1)) for i, g in enumerate(groups)}


# ----------------------------------------------------------------------------- IC

def ic_figure(ic, title="Information coefficient"):
    """Cumulative IC of every period on one axis, and one histogram of the per-date IC per period."""
    periods = period_columns(ic)
    if not _has_values(ic[periods]):
        return no_data_figure(title, "No date has an IC value: nothing to draw.")
    n = max(len(periods), 1)
    fig = _figure(2, height_per_row=3.0, title=title)
    # top row: one axis across all columns; bottom row: one histogram per period
    axes = fig.subplot_mosaic([["cumulative"] * n, list(range(n))])
    ax = axes["cumulative"]
    for col in periods:
        ax.plot(_dates(ic.index), ic[col].fillna(0).cumsum().to_numpy(), label=col, linewidth=1.2)
    _style(ax, "Cumulative IC (sum of per-date IC)")
    _date_axis(ax)
    _legend(fig, ax)
    for i, col in enumerate(periods):
        h = axes[i]
        values = ic[col].dropna().to_numpy(dtype=float)
        h.hist(values, bins=30, color="C{}".format(i), alpha=0.8)
        if len(values):
            h.axvline(values.mean(), color="k", linestyle="--", linewidth=1)
        _style(h, "{}: mean {}".format(col, format_value(values.mean())) if len(values) else col, zero_line=False)
    return fig


def ic_decay_figure(ic_decay, title="IC decay"):
    """Mean IC against the decay step (the return window starting d rows later), per period."""
    curve = ic_decay_curve(ic_decay)
    if not _has_values(curve):
        return no_data_figure(title, "No decay step has an IC value: nothing to draw.")
    fig = _figure(1, height_per_row=3.2, title=title)
    ax = fig.add_subplot()
    for col in curve.columns:
        ax.plot(curve.index.to_numpy(), curve[col].to_numpy(), marker="o", markersize=3, label=col)
    _style(ax, "Mean IC by decay", ylabel="mean IC")
    ax.set_xlabel("decay (rows after the factor date)")
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    _legend(fig, ax)
    return fig


def ic_industry_figure(ic_industry, title="IC by industry"):
    """Horizontal bars: the pooled IC of every industry, one bar per period."""
    periods = period_columns(ic_industry)
    if not _has_values(ic_industry[periods]):
        return no_data_figure(title, "No industry has an IC value: nothing to draw.")
    industries = [str(i) for i in ic_industry.index]
    fig = Figure(figsize=(_WIDTH, max(3.0, 0.2 * len(industries) * max(len(periods), 1) ** 0.5 + 1.2)), layout="constrained")
    fig.suptitle(title, fontsize=12, fontweight="bold")
    ax = fig.add_subplot()
    y = np.arange(len(industries))
    height = 0.8 / max(len(periods), 1)
    for i, col in enumerate(periods):
        ax.barh(y + i * height - 0.4 + height / 2, ic_industry[col].to_numpy(dtype=float),
                height=height, label=col)
    ax.set_yticks(y)
    ax.set_yticklabels(industries, fontsize=8, **_label_font(industries))
    ax.invert_yaxis()
    ax.axvline(0, color="0.4", linewidth=0.8)
    ax.grid(True, axis="x", alpha=0.3)
    _legend(fig, ax)
    return fig


MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
# Cells annotated with their figure up to this many rows (fewer make the text unreadable);
# at most this many row / column labels shown, every k-th one beyond.
ANNOTATE_ROWS = 15
MAX_LABELS = 30


def _thinned_ticks(ax, axis, labels, fontsize):
    step = -(-len(labels) // MAX_LABELS)  # ceil
    positions = np.arange(0, len(labels), step)
    shown = [labels[i] for i in positions]
    font = _label_font(shown)
    if axis == "x":
        ax.set_xticks(positions)
        ax.set_xticklabels(shown, rotation=90 if max(map(len, shown), default=0) > 3 else 0, fontsize=fontsize,
                           **font)
    else:
        ax.set_yticks(positions)
        ax.set_yticklabels(shown, fontsize=fontsize, **font)


def _heatmap(fig, ax, values, row_labels, col_labels, limit, fmt, colorbar_label):
    """Cells coloured on a diverging map centred at 0 (limits -limit, +limit), annotated with
    `fmt` when there are few rows, labels thinned when there are many; missing cells blank."""
    cmap = matplotlib.colormaps["RdBu_r"].with_extremes(bad="white")
    image = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, vmin=-limit, vmax=limit, aspect="auto",
                      interpolation="nearest")
    n_rows, n_cols = values.shape
    fontsize = 9 if max(n_rows, n_cols) <= 12 else 7
    _thinned_ticks(ax, "x", col_labels, fontsize)
    _thinned_ticks(ax, "y", row_labels, fontsize)
    ax.tick_params(length=0)
    if n_rows <= ANNOTATE_ROWS and n_cols <= 2 * ANNOTATE_ROWS:
        for i in range(n_rows):
            for j in range(n_cols):
                v = values[i, j]
                if np.isfinite(v):
                    ax.text(j, i, fmt(v), ha="center", va="center", fontsize=7 if n_cols > 8 else 8,
                            color="white" if abs(v) > 0.6 * limit else "black")
    bar = fig.colorbar(image, ax=ax, shrink=0.85, pad=0.02)
    bar.set_label(colorbar_label, fontsize=8)
    bar.ax.tick_params(labelsize=7)
    return image


def _symmetric_limit(values):
    finite = np.abs(values[np.isfinite(values)])
    return float(finite.max()) if finite.size and finite.max() > 0 else 1.0


def ic_monthly_figure(ic, title="Monthly mean IC"):
    """One heat map per period: years down, months across, each cell the mean per-date IC of
    the month (`statistics.ic_monthly`), on a colour scale centred at 0."""
    periods = period_columns(ic)
    if not _has_values(ic[periods]):
        return no_data_figure(title, "No date has an IC value: nothing to draw.")
    grids = {col: ic_monthly(ic, col) for col in periods}
    n_years = max((len(g) for g in grids.values()), default=1)
    rows, cols = _period_grid(max(len(periods), 1))
    fig = _figure(rows, height_per_row=max(2.4, 0.28 * n_years + 1.2), title=title)
    # One colour scale for every panel, so that the periods compare by colour.
    limit = _symmetric_limit(np.concatenate([g.to_numpy(dtype=float).ravel() for g in grids.values()] or [[]]))
    for k, col in enumerate(periods):
        ax = fig.add_subplot(rows, cols, k + 1)
        grid = grids[col]
        _heatmap(fig, ax, grid.to_numpy(dtype=float), [str(y) for y in grid.index], list(MONTHS), limit,
                 "{:.2f}".format, "mean IC")
        ax.set_title(col, fontsize=10)
    return fig


def ic_qq_figure(ic, title="IC against the normal distribution (Q-Q)"):
    """One Q-Q plot per period: the sorted per-date ICs against the standard normal quantiles
    of their ranks, with the line mean + sd * quantile they follow when the IC is normal.
    Points above the line on the right (below it on the left) are fatter tails than normal."""
    periods = period_columns(ic)
    if not _has_values(ic[periods]):
        return no_data_figure(title, "No date has an IC value: nothing to draw.")
    rows, cols = _period_grid(max(len(periods), 1))
    fig = _figure(rows, height_per_row=3.0, title=title)
    for k, col in enumerate(periods):
        ax = fig.add_subplot(rows, cols, k + 1)
        points, mean, sd = ic_normal_quantiles(ic, col)
        ax.plot(points["normal"].to_numpy(), points["ic"].to_numpy(), linestyle="none", marker="o", markersize=2.5,
                color="C{}".format(k), alpha=0.7)
        if len(points) and np.isfinite(sd):
            ends = np.array([points["normal"].iloc[0], points["normal"].iloc[-1]])
            ax.plot(ends, mean + sd * ends, color="k", linestyle="--", linewidth=1)
        _style(ax, "{}: normal line mean {}, sd {}".format(col, format_value(mean), format_value(sd)),
               ylabel="IC quantile", zero_line=False)
        ax.set_xlabel("standard normal quantile")
    return fig


def correlation_figure(matrix, title="Correlation"):
    """Heat map of a factor x factor correlation table on a diverging scale from -1 to 1
    centred at 0, annotated with each figure while the table is small; with many factors the
    cells stay blank and every k-th name is labelled."""
    labels = [str(x) for x in matrix.index]
    n = len(labels)
    side = min(max(3.2, 0.42 * n + 1.8), 9.0)
    fig = Figure(figsize=(min(side + 1.4, _WIDTH), side), layout="constrained")
    fig.suptitle(title, fontsize=12, fontweight="bold")
    ax = fig.add_subplot()
    _heatmap(fig, ax, matrix.to_numpy(dtype=float), labels, [str(x) for x in matrix.columns], 1.0,
             "{:.2f}".format, "correlation")
    ax.set_aspect("equal")
    return fig


# ----------------------------------------------------------------------------- quantiles

def quantile_returns_figure(quantile_returns, benchmark_return=None, title="Cumulative return per group"):
    """One axis per period: every group's cumulative return, with the benchmark when given."""
    periods = period_columns(quantile_returns)
    if not _has_values(quantile_returns[periods]):
        return no_data_figure(title, "No group has a return: nothing to draw.")
    groups = sorted_groups(quantile_returns)
    colors = _group_colors(groups)
    rows, cols = _period_grid(len(periods))
    fig = _figure(rows, title=title)
    for k, col in enumerate(periods):
        ax = fig.add_subplot(rows, cols, k + 1)
        for g in groups:
            s = quantile_returns[col].xs(g, level="tag")
            ax.plot(_dates(s.index), s.to_numpy(dtype=float), color=colors[g], label=str(g), linewidth=1.1)
        if benchmark_return is not None:
            ax.plot(_dates(benchmark_return.index), benchmark_return.to_numpy(dtype=float), color="k",
                    linestyle="--", linewidth=1.1, label=str(benchmark_return.name or "benchmark"))
        _style(ax, col, percent=True)
        _date_axis(ax)
        if k == 0:
            _legend(fig, ax)
    return fig


def top_minus_bottom_figure(top_minus_bottom, title="Top minus bottom group"):
    """Cumulative return of the first group minus the last, one line per period."""
    if not _has_values(top_minus_bottom[period_columns(top_minus_bottom)]):
        return no_data_figure(title, "No date has a return: nothing to draw.")
    fig = _figure(1, height_per_row=3.2, title=title)
    ax = fig.add_subplot()
    for col in period_columns(top_minus_bottom):
        ax.plot(_dates(top_minus_bottom.index), top_minus_bottom[col].to_numpy(dtype=float),
                label=col, linewidth=1.2)
    _style(ax, "Cumulative long-short return", percent=True)
    _date_axis(ax)
    _legend(fig, ax)
    return fig


def _compared_rows(table):
    """The rows of a period's turnover (dates x groups) from the first one on which some group
    held instruments it could compare with earlier holdings: before that every group reads 0
    (nothing to compare with yet), which is no turnover of the factor."""
    moved = (table.fillna(0) != 0).any(axis=1).to_numpy()
    return table.iloc[int(np.argmax(moved)):] if moved.any() else table.iloc[:0]


def turnover_figure(quantile_turnover, window=TURNOVER_WINDOW, title="Turnover per group"):
    """One axis per period: every group's turnover, as a mean over the last ``window`` rows,
    drawn from the first row that has a full window of compared holdings."""
    periods = period_columns(quantile_turnover)
    if not _has_values(quantile_turnover[periods]):
        return no_data_figure(title, "No group has a turnover: nothing to draw.")
    groups = sorted_groups(quantile_turnover)
    colors = _group_colors(groups)
    rows, cols = _period_grid(len(periods))
    fig = _figure(rows, height_per_row=2.6, title=title)
    for k, col in enumerate(periods):
        ax = fig.add_subplot(rows, cols, k + 1)
        table = pd.DataFrame({g: pd.to_numeric(quantile_turnover[col].xs(g, level="tag"), errors="coerce")
                              for g in groups})
        table = _compared_rows(table)
        span = min(window, len(table)) or 1
        smooth = table.rolling(span, min_periods=span).mean()
        for g in groups:
            ax.plot(_dates(smooth.index), smooth[g].to_numpy(dtype=float), color=colors[g], label=str(g),
                    linewidth=1)
        _style(ax, "{} ({}-row mean)".format(col, span), zero_line=False, percent=True)
        _date_axis(ax)
        if k == 0:
            _legend(fig, ax)
    return fig


# ----------------------------------------------------------------------------- factor returns

def factor_returns_figure(factor_returns, title="Cumulative factor return"):
    """Cumulative factor return of every period."""
    if not _has_values(factor_returns[period_columns(factor_returns)]):
        return no_data_figure(title, "No date has a factor return: nothing to draw.")
    fig = _figure(1, height_per_row=3.2, title=title)
    ax = fig.add_subplot()
    for col in period_columns(factor_returns):
        ax.plot(_dates(factor_returns.index), factor_returns[col].to_numpy(dtype=float), label=col,
                linewidth=1.2)
    _style(ax, "Long-short portfolio, weights proportional to the demeaned factor", percent=True)
    _date_axis(ax)
    _legend(fig, ax)
    return fig


def rank_autocorrelation_figure(autocorrelation, window=TURNOVER_WINDOW, title="Factor rank autocorrelation"):
    """The factor's rank autocorrelation per lag over the dates (rolling mean over `window`
    dates, so the level reads through the day-to-day noise)."""
    if not _has_values(autocorrelation):
        return no_data_figure(title, "No date has a rank autocorrelation: nothing to draw.")
    fig = _figure(1, height_per_row=3.2, title=title)
    ax = fig.add_subplot()
    dates = _dates(autocorrelation.index)
    for col in autocorrelation.columns:
        series = autocorrelation[col].rolling(window, min_periods=1).mean()
        ax.plot(dates, series.to_numpy(dtype=float), linewidth=1.1, label=str(col).replace("_", " "))
    _style(ax, "{}-date rolling mean".format(window), ylabel="rank correlation")
    _date_axis(ax)
    _legend(fig, ax)
    return fig
