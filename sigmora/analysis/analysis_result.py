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
        return {"kind": "record", "name": self.name, "tables": tables, "coverage": coverage}

    @classmethod
    def _from_saved(cls, entry, reader):
        tables = {key: reader.table(meta) for key, meta in entry["tables"].items() if meta is not None}
        record = cls(name=entry["name"], **tables)
        if entry.get("coverage") is not None:
            record.coverage = Coverage.from_counts(entry["coverage"])
        return record

    def summary(self, periods_per_year=None):
        """Summary tables by key; tables the step left unset are skipped."""
        raise NotImplementedError

    # matplotlib is imported by plot() only: loading the engine does not need it.
    def plot(self):
        """Figures by key; tables the step left unset are skipped."""
        raise NotImplementedError

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


class ICAnalysisResult(_AnalysisResult):
    _tables = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "factor_rank_autocorrelation")
    _titles = {
        "ic": "IC statistics per period",
        "rank_autocorrelation": "Factor rank autocorrelation (mean over dates, by lag in rows)",
        "ic_decay": "Mean IC by decay (rows after the factor date)",
        "ic_industry": "IC by industry (pooled over dates)",
    }

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

    def plot(self):
        from sigmora.analysis import plotting as _plot
        out = {}
        if self.ic is not None:
            out["ic"] = _plot.ic_figure(self.ic)
            out["ic_monthly"] = _plot.ic_monthly_figure(self.ic)
            out["ic_qq"] = _plot.ic_qq_figure(self.ic)
        if self.ic_decay is not None:
            out["ic_decay"] = _plot.ic_decay_figure(self.ic_decay)
        if self.ic_industry_distribute is not None:
            out["ic_industry"] = _plot.ic_industry_figure(self.ic_industry_distribute)
        if self.factor_rank_autocorrelation is not None:
            out["rank_autocorrelation"] = _plot.rank_autocorrelation_figure(self.factor_rank_autocorrelation)
        return out

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
    _tables = ("quantile_turnover", "quantile_returns", "quantile_detail", "benchmark_return",
               "top_minus_bottom_returns")
    _titles = {
        "quantile_returns": "Quantile groups per period",
        "monotonicity": "Monotonicity of group returns",
        "top_minus_bottom": "Top minus bottom group",
        "benchmark": "Benchmark",
    }

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
        if self.quantile_returns is not None:
            groups = _stats.quantile_summary(self.quantile_returns, self.quantile_turnover,
                                             self.benchmark_return, periods_per_year=periods_per_year,
                                             empty_groups=empty)
            out["quantile_returns"] = groups
            out["monotonicity"] = _stats.monotonicity(groups)
        if self.top_minus_bottom_returns is not None:
            spread = _stats.return_summary(self.top_minus_bottom_returns, periods_per_year=periods_per_year)
            if self._end_groups() & set(empty):
                spread.loc[:, :] = float("nan")  # one end never held anything: no spread
            out["top_minus_bottom"] = spread
        if self.benchmark_return is not None:
            out["benchmark"] = _stats.benchmark_summary(self.benchmark_return,
                                                        periods_per_year=periods_per_year)
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

    def plot(self):
        from sigmora.analysis import plotting as _plot
        out = {}
        if self.quantile_returns is not None:
            out["quantile_returns"] = _plot.quantile_returns_figure(self.quantile_returns,
                                                                    self.benchmark_return)
        if self.top_minus_bottom_returns is not None:
            out["top_minus_bottom"] = _plot.top_minus_bottom_figure(self.top_minus_bottom_returns)
        if self.quantile_turnover is not None:
            out["turnover"] = _plot.turnover_figure(self.quantile_turnover)
        return out

    def headline(self):
        s = self.summary()
        pieces = []
        if "top_minus_bottom" in s:
            pieces.append(s["top_minus_bottom"][["annual_return", "sharpe"]].set_axis(
                ["top-bottom annual return", "top-bottom Sharpe"], axis=1))
        if "monotonicity" in s:
            pieces.append(s["monotonicity"][["direction"]].set_axis(["groups q1 to last"], axis=1))
        if not pieces:
            return None
        return pieces[0] if len(pieces) == 1 else pd.concat(pieces, axis=1)

    def leaderboard_figures(self):
        return (BoardFigure("top-bottom annual return", 30), BoardFigure("mean turnover", 50, self.mean_turnover))

    def mean_turnover(self):
        """Mean turnover over all groups, per period; None without turnover."""
        if self.quantile_turnover is None:
            return None
        groups = self.summary()["quantile_returns"]
        if "mean_turnover" not in groups:
            return None
        return groups["mean_turnover"].groupby(level="period", sort=False).mean()


class FactorReturnAnalysisResult(_AnalysisResult):
    _tables = ("factor_returns",)
    _titles = {"factor_returns": "Factor returns per period"}

    def summary(self, periods_per_year=None):
        periods_per_year = self._rows_per_year(periods_per_year)
        if self.factor_returns is None:
            return self._with_coverage({})
        return self._with_coverage(
            {"factor_returns": _stats.return_summary(self.factor_returns, periods_per_year=periods_per_year)})

    def plot(self):
        from sigmora.analysis import plotting as _plot
        if self.factor_returns is None:
            return {}
        return {"factor_returns": _plot.factor_returns_figure(self.factor_returns)}

    def headline(self):
        if self.factor_returns is None:
            return None
        s = self.summary()["factor_returns"]
        return s[["annual_return", "sharpe"]].set_axis(["factor annual return", "factor Sharpe"], axis=1)

    def leaderboard_figures(self):
        return (BoardFigure("factor Sharpe", 40),)
