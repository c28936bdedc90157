"""Result records of the analysis steps: named tables, their summary statistics and charts.

Every record is built with keyword arguments only, keeps each table under its own name (None when
the step left it unset) and offers

* ``summary()``: a dict of summary tables (see ``sigmora.analysis.statistics`` for the rules),
* ``plot()``: a dict of matplotlib figures,
* ``show()``: the summary printed in a terminal, or tables and charts rendered in a notebook,
* ``_repr_html_()``: the notebook rendering itself,
* ``headline()``: its columns of the "at a glance" table (one row per period), or None,
* ``leaderboard_figures()``: which figures it puts on the leaderboard (`BoardFigure`s).

The report and the leaderboard only call these methods: a new kind of record describes itself
here (or in its step's module) and needs no change to either.
"""

import numpy as np
import pandas as pd

from sigmora.analysis import _costs
from sigmora.analysis import statistics as _stats
from sigmora.analysis._coverage import Coverage
from sigmora.analysis._formats import format_table
from sigmora.analysis._html import record_html
from sigmora.analysis.leaderboard import BoardFigure

__all__ = ["ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]



def _in_notebook():
    try:
        from IPython import get_ipython
    except ImportError:
        return False
    shell = get_ipython()
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"


def _same_table(a, b):
    if a is None or b is None or type(a) is not type(b):
        return a is None and b is None
    check = pd.testing.assert_series_equal if isinstance(a, pd.Series) else pd.testing.assert_frame_equal
    try:
        check(a, b, check_exact=True, check_freq=False)
    except AssertionError:
        return False
    return True


class _AnalysisResult:
    """A record of named tables; every table may be None.

    ``coverage``: what the run rested on (`sigmora.analysis._coverage.Coverage`), set by the
    engine; its table ends the summary.
    ``periods_per_year``: rows per year that annualise the summary when ``summary()`` is not
    given them (None: measured from the dates, see `sigmora.analysis.statistics`); the command
    line sets it from ``--frequency``.
    """

    _tables = ()
    # key of a summary table -> heading shown above it
    _titles = {}
    # key of a chart without a summary table of its own -> its title
    _chart_titles = {}
    # attributes describing how the step ran (set by the step after building the record),
    # saved and compared with the tables; a record leaves them at the class defaults
    _settings = ()
    coverage = None
    periods_per_year = None

    def __init__(self, *, name=None, **tables):
        unknown = set(tables) - set(self._tables)
        if unknown:
            raise TypeError("{}: unexpected keyword arguments {}".format(type(self).__name__, sorted(unknown)))
        self.name = name
        for key in self._tables:
            setattr(self, key, tables.get(key))

    def _held(self, key):
        """The table stored under `key`, in whatever form it is stored."""
        return getattr(self, key)

    def __repr__(self):
        held = [k for k in self._tables if self._held(k) is not None]
        return "{}(name={!r}, tables={})".format(type(self).__name__, self.name, held)

    def __eq__(self, other):
        """Records are equal when they are of one type with the same name, coverage and tables
        (index, columns, types and values; missing values equal)."""
        if type(other) is not type(self):
            return NotImplemented
        return (self.name == other.name and self.coverage == other.coverage
                and all(getattr(self, k) == getattr(other, k) for k in self._settings)
                and all(_same_table(getattr(self, k), getattr(other, k)) for k in self._tables))

    __hash__ = None

    def save(self, path, format="parquet"):
        """Save the record's tables into the folder ``path`` (Parquet, or "csv"), with a manifest;
        `sigmora.load_results` reads it back.  Returns the folder's absolute path."""
        from sigmora.saved import save_results
        return save_results(self, path, format=format)

    def _save_entry(self, writer, folder):
        tables = {}
        for key in self._tables:
            value = getattr(self, key)
            tables[key] = None if value is None else writer.table(value, writer.child(folder, key))
        coverage = None if self.coverage is None else self.coverage.counts()
        entry = {"kind": "record", "name": self.name, "tables": tables, "coverage": coverage}
        settings = {k: getattr(self, k) for k in self._settings if getattr(self, k) != getattr(type(self), k)}
        if settings:
            entry["settings"] = settings
        return entry

    @classmethod
    def _from_saved(cls, entry, reader):
        tables = {key: reader.table(meta) for key, meta in entry["tables"].items() if meta is not None}
        record = cls(name=entry["name"], **tables)
        if entry.get("coverage") is not None:
            record.coverage = Coverage.from_counts(entry["coverage"])
        for key, value in (entry.get("settings") or {}).items():
            if key in cls._settings:
                setattr(record, key, value)
        return record

    def summary(self, periods_per_year=None):
        """Summary tables by key; tables the step left unset are skipped."""
        raise NotImplementedError

    # matplotlib is imported by plot() only: loading the engine does not need it.
    def plot(self):
        """Figures by key; tables the step left unset are skipped. A record with nothing to show
        (see `nothing_to_show`) gets under each key a figure that says why instead of a chart:
        drawn, its zero-filled or missing tables would read as flat or empty results."""
        charts = self._charts()
        reason = self.nothing_to_show()
        if reason is not None and charts:
            from sigmora.analysis.plotting import no_data_figure
            return {key: no_data_figure(self._chart_titles.get(key) or self.title(key), reason) for key in charts}
        return {key: draw() for key, draw in charts.items()}

    def _charts(self):
        """Key -> callable drawing that figure, for the tables the step set."""
        raise NotImplementedError

    def nothing_to_show(self):
        """One line saying why the record has no figure worth a table or chart (the run rested
        on no date), or None. The tear sheet and the notebook show it in their place."""
        if self.coverage is not None and not getattr(self.coverage, "dates_used", 1):
            return "Nothing to show: the run rests on no date. " + _sentence(self.coverage.text())
        return None

    def title(self, key):
        if key == "coverage":
            return "What the run rests on"
        return self._titles.get(key, key)

    def _rows_per_year(self, periods_per_year):
        return periods_per_year if periods_per_year is not None else self.periods_per_year

    def _with_coverage(self, tables):
        if self.coverage is not None:
            tables["coverage"] = self.coverage.table()
        return tables

    def to_text(self, periods_per_year=None):
        """The summary as plain text, one titled table after another."""
        lines = ["{} '{}'".format(type(self).__name__, self.name)]
        if self.coverage is not None:
            lines.append("Rests on: " + self.coverage.text())
        tables = self.summary(periods_per_year=periods_per_year)
        tables.pop("coverage", None)  # said in one line above
        if not tables:
            lines.append("(no tables)")
        # east_asian_width: Chinese industry names take two columns each in a terminal
        with pd.option_context("display.width", 120, "display.max_columns", 30,
                               "display.unicode.east_asian_width", True):
            for key, table in tables.items():
                lines += ["", self.title(key), format_table(table).to_string()]
        return "\n".join(lines)

    def show(self):
        """Print the summary; in a notebook, render the summary tables and the charts."""
        if _in_notebook():
            from IPython.display import HTML, display
            display(HTML(self._repr_html_()))
        else:
            print(self.to_text())

    def _repr_html_(self):
        return record_html(self, heading_level=3)

    def headline(self):
        """Per-period headline figures for the "at a glance" table: a table indexed by period with
        one labelled column per figure, or None when the record has none."""
        return None

    def leaderboard_figures(self):
        """The figures this record puts on the leaderboard (see `BoardFigure`)."""
        return ()


def _sentence(text):
    return text[:1].upper() + text[1:] + "."


def _with_net(gross, net, columns=("annual_return", "sharpe", "max_drawdown")):
    """`gross` with the `columns` of `net` (same rows) as "<column>_net", each right after its
    gross one."""
    out = gross.copy()
    for col in reversed(columns):
        if col in net.columns:
            out.insert(out.columns.get_loc(col) + 1, col + "_net", net[col].reindex(out.index))
    return out


def _holding_table(weighting, cost_bps):
    """How a step held its portfolios, for the summary: weighting, members left without weight,
    the cost charged. None when it ran with the defaults (equal weights, no cost)."""
    rows = {}
    if weighting:
        rows["weights"] = {"cap": "market cap on the factor date", "table": "the weights given"}.get(
            weighting["weights"], weighting["weights"])
        members, without = weighting["members"], weighting["without_weight"]
        rows["group members (instrument-dates)"] = members
        rows["members without a positive weight (left out of the return)"] = without
        rows["members without a positive weight, share"] = without / members if members else float("nan")
    if cost_bps:
        rows["cost, basis points per unit traded one way"] = "{:g}".format(cost_bps)
        rows["cost charged on"] = "each rebalancing's one-way turnover; the first formation is not charged"
    if not rows:
        return None
    return pd.DataFrame({"holding": pd.Series(rows, dtype=object)})


class ICAnalysisResult(_AnalysisResult):
    _tables = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "factor_rank_autocorrelation")
    _titles = {
        "ic": "IC statistics per period",
        "rank_autocorrelation": "Factor rank autocorrelation (mean over dates, by lag in rows)",
        "ic_decay": "Mean IC by decay (rows after the factor date)",
        "ic_industry": "IC by industry (pooled over dates)",
    }
    _chart_titles = {"ic_monthly": "Monthly mean IC", "ic_qq": "IC against the normal distribution (Q-Q)"}

    def summary(self, periods_per_year=None):
        out = {}
        if self.ic is not None:
            out["ic"] = _stats.ic_summary(self.ic)
        if self.ic_decay is not None:
            out["ic_decay"] = _stats.ic_decay_curve(self.ic_decay)
        if self.ic_industry_distribute is not None:
            out["ic_industry"] = self.ic_industry_distribute.copy()
        if self.factor_rank_autocorrelation is not None:
            out["rank_autocorrelation"] = _stats.rank_autocorrelation_summary(self.factor_rank_autocorrelation)
        return self._with_coverage(out)

    def _charts(self):
        from sigmora.analysis import plotting as _plot
        out = {}
        if self.ic is not None:
            out["ic"] = lambda: _plot.ic_figure(self.ic)
            out["ic_monthly"] = lambda: _plot.ic_monthly_figure(self.ic)
            out["ic_qq"] = lambda: _plot.ic_qq_figure(self.ic)
        if self.ic_decay is not None:
            out["ic_decay"] = lambda: _plot.ic_decay_figure(self.ic_decay)
        if self.ic_industry_distribute is not None:
            out["ic_industry"] = lambda: _plot.ic_industry_figure(self.ic_industry_distribute)
        if self.factor_rank_autocorrelation is not None:
            out["rank_autocorrelation"] = lambda: _plot.rank_autocorrelation_figure(self.factor_rank_autocorrelation)
        return out

    def nothing_to_show(self):
        reason = super().nothing_to_show()
        if reason is None and self.ic is not None and self.ic.size and self.ic.isna().all().all():
            # Dates used, yet none ranked anything (e.g. one value per date): the IC rests on none.
            reason = "Nothing to show: no date has an IC value."
            if self.coverage is not None:
                reason += " The run rests on " + self.coverage.text() + "."
        return reason

    def headline(self):
        if self.ic is None:
            return None
        s = self.summary()["ic"]
        return s[["mean", "ir", "t_stat", "nw_t_stat"]].set_axis(
            ["IC mean", "IC IR", "IC t-stat", "IC NW t-stat"], axis=1)

    def leaderboard_figures(self):
        return (BoardFigure("IC mean", 10), BoardFigure("IC IR", 20), BoardFigure("IC NW t-stat", 25),
                BoardFigure("IC NW p-value", 26, self._nw_p_values))

    def _nw_p_values(self):
        return None if self.ic is None else _stats.ic_summary(self.ic)["nw_p_value"]


class LabelCodes:
    """A table of labels kept as one small integer code per cell (code -1: the last label),
    built as the table of label objects when first read. A label table of dates x
    instruments holds an 8-byte object reference per cell and pickles them one by one; its
    codes take a byte per cell and pickle as one buffer."""

    __slots__ = ("codes", "labels", "index", "columns")

    def __init__(self, codes, labels, index, columns):
        self.codes, self.labels, self.index, self.columns = codes, labels, index, columns

    def table(self):
        return pd.DataFrame(self.labels[self.codes], index=self.index, columns=self.columns, dtype=object)


class QuantileReturnAnalysisResult(_AnalysisResult):
    """The quantile step's tables. With a trading cost (``cost_bps`` > 0) it also holds the
    group and top-minus-bottom returns net of it, and its summary, headline and leaderboard
    figures show gross and net side by side. ``weighting``: None for equal weights, else a dict
    of the weighting ("cap" or "table"), the group members (instrument-dates) and how many of
    them had no positive weight."""

    _tables = ("quantile_turnover", "quantile_returns", "quantile_detail", "benchmark_return",
               "top_minus_bottom_returns", "quantile_net_returns", "top_minus_bottom_net_returns")
    _titles = {
        "quantile_returns": "Quantile groups per period",
        "monotonicity": "Monotonicity of group returns",
        "top_minus_bottom": "Top minus bottom group",
        "benchmark": "Benchmark",
        "holding": "How the groups were held",
        "top_minus_bottom_net": "Top minus bottom group, net of costs",
    }
    _chart_titles = {"turnover": "Turnover per group"}
    _settings = ("cost_bps", "weighting")
    cost_bps = 0.0
    weighting = None

    def title(self, key):
        if self.cost_bps and key in ("quantile_returns", "top_minus_bottom"):
            return "{} (columns _net: {} per unit of one-way turnover)".format(
                self._titles[key], _costs.cost_text(self.cost_bps))
        if key == "top_minus_bottom_net":
            return "Top minus bottom group, {} per unit of one-way turnover".format(_costs.cost_text(self.cost_bps))
        return super().title(key)

    def _charged(self):
        """Whether the record holds net returns to show."""
        return bool(self.cost_bps) and self.top_minus_bottom_net_returns is not None

    def turnover_without_warmup(self):
        """`quantile_turnover` with its warm-up rows missing: the rows on which a level formed
        a group for the first time read 0 there (nothing to compare with), which is no turnover.
        Mean turnover, the turnover chart and the costs use this table."""
        table = self.quantile_turnover
        if table is None:
            return None
        cached = getattr(self, "_turnover_cache", None)
        if cached is not None and cached[0] is table:
            return cached[1]
        out = table.copy()
        groups = _stats.sorted_groups(table)
        dates = table.index.get_level_values("datetime").unique()
        periods = [int(str(c)[2:]) for c in table.columns]
        codes = self._group_codes(groups, dates)
        layout = pd.MultiIndex.from_product([groups, dates])
        if codes is not None and table.index.equals(layout):
            warm = _costs.warmup_rows(codes, periods, len(groups))  # periods x groups x dates
            values = out.to_numpy(dtype=np.float64, copy=True)
            values[warm.reshape(len(periods), -1).T] = np.nan
            out = pd.DataFrame(values, index=table.index, columns=table.columns)
        else:
            # Without the labels: a group's first `period` rows with a turnover are its warm-up.
            for col, period in zip(table.columns, periods):
                column = pd.to_numeric(out[col], errors="coerce")
                order = column.notna().groupby(level="tag", sort=False).cumsum()
                out[col] = column.where(~(column.notna() & (order <= period)))
        self._turnover_cache = (table, out)
        return out

    def _group_codes(self, groups, dates):
        """dates x instruments group codes (positions in `groups`, -1 for none), or None."""
        held = self._quantile_detail
        if held is None:
            return None
        if isinstance(held, LabelCodes):
            position = {g: k for k, g in enumerate(groups)}
            lookup = np.array([position.get(label, -1) if isinstance(label, str) else -1 for label in held.labels])
            codes = lookup[held.codes]
            index = held.index
        else:
            codes = pd.Categorical(held.to_numpy().ravel(), categories=groups).codes.reshape(held.shape)
            index = held.index
        if len(index) != len(dates) or not pd.Index(index).equals(pd.Index(dates)):
            return None
        return codes

    def __getstate__(self):
        state = dict(self.__dict__)
        state.pop("_turnover_cache", None)
        return state

    # The group of every instrument on every date may be given as `LabelCodes`: it then
    # stays codes (also when the record is pickled, e.g. sent back by a batch worker) until
    # somebody reads it.
    @property
    def quantile_detail(self):
        held = self._quantile_detail
        if isinstance(held, LabelCodes):
            held = self._quantile_detail = held.table()
        return held

    @quantile_detail.setter
    def quantile_detail(self, value):
        self._quantile_detail = value

    def _held(self, key):
        # repr() shows that the table is there without building it
        return self._quantile_detail if key == "quantile_detail" else getattr(self, key)

    def summary(self, periods_per_year=None):
        periods_per_year = self._rows_per_year(periods_per_year)
        out = {}
        empty = self.empty_groups()
        charged = self._charged()
        if self.quantile_returns is not None:
            groups = _stats.quantile_summary(self.quantile_returns, self.turnover_without_warmup(),
                                             self.benchmark_return, periods_per_year=periods_per_year,
                                             empty_groups=empty)
            monotonicity = _stats.monotonicity(groups)
            if charged and self.quantile_net_returns is not None:
                net = _stats.quantile_summary(self.quantile_net_returns, periods_per_year=periods_per_year,
                                              empty_groups=empty)
                groups = _with_net(groups, net, ("annual_return", "sharpe"))
            out["quantile_returns"] = groups
            out["monotonicity"] = monotonicity
        if self.top_minus_bottom_returns is not None:
            spread = _stats.return_summary(self.top_minus_bottom_returns, periods_per_year=periods_per_year)
            if charged:
                spread = _with_net(spread, _stats.return_summary(self.top_minus_bottom_net_returns,
                                                                 periods_per_year=periods_per_year))
            if self._end_groups() & set(empty):
                spread.loc[:, :] = float("nan")  # one end never held anything: no spread
            out["top_minus_bottom"] = spread
        if self.benchmark_return is not None:
            out["benchmark"] = _stats.benchmark_summary(self.benchmark_return,
                                                        periods_per_year=periods_per_year)
        holding = _holding_table(self.weighting, self.cost_bps if charged else 0)
        if holding is not None:
            out["holding"] = holding
        return self._with_coverage(out)

    def empty_groups(self):
        """The groups that held no instrument on any date (their return rows are zero-filled)."""
        held = self._quantile_detail
        if held is None or self.quantile_returns is None:
            return ()
        groups = self.quantile_returns.index.get_level_values("tag").unique()
        if isinstance(held, LabelCodes):
            codes = np.unique(held.codes)
            present = {held.labels[c] for c in codes if c >= 0 and c < len(held.labels) - 1}
        else:
            present = set(pd.unique(held.to_numpy().ravel()))
        return tuple(g for g in groups if g not in present)

    def _end_groups(self):
        groups = sorted(self.quantile_returns.index.get_level_values("tag").unique(),
                        key=_stats.group_order_key) if self.quantile_returns is not None else []
        return {groups[0], groups[-1]} if groups else set()

    def _charts(self):
        from sigmora.analysis import plotting as _plot
        out = {}
        if self.quantile_returns is not None:
            out["quantile_returns"] = lambda: _plot.quantile_returns_figure(self.quantile_returns,
                                                                            self.benchmark_return)
        if self.top_minus_bottom_returns is not None:
            out["top_minus_bottom"] = lambda: _plot.top_minus_bottom_figure(self.top_minus_bottom_returns)
        if self._charged():
            out["top_minus_bottom_net"] = lambda: _plot.top_minus_bottom_figure(
                self.top_minus_bottom_net_returns, title="Top minus bottom group, {}".format(
                    _costs.cost_text(self.cost_bps)))
        if self.quantile_turnover is not None:
            out["turnover"] = lambda: _plot.turnover_figure(self.turnover_without_warmup())
        return out

    def headline(self):
        s = self.summary()
        pieces = []
        if "top_minus_bottom" in s:
            spread = s["top_minus_bottom"]
            labels = {"annual_return": self._spread_label("top-bottom annual return"),
                      "sharpe": self._spread_label("top-bottom Sharpe")}
            if self._charged():
                labels = {"annual_return": labels["annual_return"],
                          "annual_return_net": _costs.net_label(labels["annual_return"], self.cost_bps),
                          "sharpe": labels["sharpe"],
                          "sharpe_net": _costs.net_label(labels["sharpe"], self.cost_bps)}
            pieces.append(spread[list(labels)].set_axis(list(labels.values()), axis=1))
        if "monotonicity" in s:
            pieces.append(s["monotonicity"][["direction"]].set_axis(["groups q1 to last"], axis=1))
        if not pieces:
            return None
        return pieces[0] if len(pieces) == 1 else pd.concat(pieces, axis=1)

    def _spread_label(self, label):
        # A weighting other than equal is said where the figures are (headline and leaderboard
        # alike), not only in the summary.
        if not self.weighting:
            return label
        return "{}-weighted {}".format("cap" if self.weighting.get("weights") == "cap" else "user", label)

    def leaderboard_figures(self):
        spread = self._spread_label("top-bottom annual return")
        figures = (BoardFigure(spread, 30), BoardFigure("mean turnover", 50, self.mean_turnover))
        if self._charged():
            figures += (BoardFigure(_costs.net_label(spread, self.cost_bps), 31),)
        return figures

    def mean_turnover(self):
        """Mean turnover over all groups, per period (warm-up rows left out); None without turnover."""
        if self.quantile_turnover is None:
            return None
        groups = self.summary()["quantile_returns"]
        if "mean_turnover" not in groups:
            return None
        return groups["mean_turnover"].groupby(level="period", sort=False).mean()


class FactorReturnAnalysisResult(_AnalysisResult):
    """The factor-return step's table. With a trading cost (``cost_bps`` > 0) it also holds the
    cumulative returns net of it (``factor_net_returns``) and the portfolio's level-averaged
    one-way turnover per row (``factor_turnover``, NaN where unknown), and shows gross and net
    side by side."""

    _tables = ("factor_returns", "factor_net_returns", "factor_turnover")
    _titles = {"factor_returns": "Factor returns per period", "holding": "How the portfolio was held"}
    _chart_titles = {"factor_net_returns": "Factor returns per period, net of costs"}
    _settings = ("cost_bps",)
    cost_bps = 0.0

    def _charged(self):
        return bool(self.cost_bps) and self.factor_net_returns is not None

    def title(self, key):
        if key == "factor_returns" and self._charged():
            return "{} (columns _net: {} per unit of one-way turnover)".format(
                self._titles[key], _costs.cost_text(self.cost_bps))
        return super().title(key)

    def summary(self, periods_per_year=None):
        periods_per_year = self._rows_per_year(periods_per_year)
        if self.factor_returns is None:
            return self._with_coverage({})
        table = _stats.return_summary(self.factor_returns, periods_per_year=periods_per_year)
        out = {"factor_returns": table}
        if self._charged():
            table = _with_net(table, _stats.return_summary(self.factor_net_returns,
                                                           periods_per_year=periods_per_year))
            if self.factor_turnover is not None:
                table["mean_turnover"] = self.factor_turnover.mean().reindex(table.index)
            out = {"factor_returns": table, "holding": _holding_table(None, self.cost_bps)}
        return self._with_coverage(out)

    def _charts(self):
        from sigmora.analysis import plotting as _plot
        if self.factor_returns is None:
            return {}
        out = {"factor_returns": lambda: _plot.factor_returns_figure(self.factor_returns)}
        if self._charged():
            out["factor_net_returns"] = lambda: _plot.factor_returns_figure(
                self.factor_net_returns, title="Cumulative factor return, {}".format(_costs.cost_text(self.cost_bps)))
        return out

    def headline(self):
        if self.factor_returns is None:
            return None
        s = self.summary()["factor_returns"]
        labels = {"annual_return": "factor annual return", "sharpe": "factor Sharpe"}
        if self._charged():
            labels = {"annual_return": labels["annual_return"],
                      "annual_return_net": _costs.net_label(labels["annual_return"], self.cost_bps),
                      "sharpe": labels["sharpe"],
                      "sharpe_net": _costs.net_label(labels["sharpe"], self.cost_bps)}
        return s[list(labels)].set_axis(list(labels.values()), axis=1)

    def leaderboard_figures(self):
        figures = (BoardFigure("factor Sharpe", 40),)
        if self._charged():
            figures += (BoardFigure(_costs.net_label("factor Sharpe", self.cost_bps), 41),)
        return figures
