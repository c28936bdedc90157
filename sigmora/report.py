"""The HTML tear sheet: one self-contained file for the results of a pipeline run.

    >>> from sigmora.report import write_report
    >>> write_report(result, "tear_sheet.html", title="Book-to-price")

``result`` is the engine's output dictionary (step name -> result record, plus the factor tables
kept after preprocessing steps).  A dictionary of such dictionaries, keyed by factor name, gives
one section per factor.  Charts are embedded as PNG data, styles inline: the file opens offline
and can be mailed on its own.
"""

import datetime
import html
import os

import pandas as pd

__all__ = ["render_report", "write_report", "record_html", "table_html", "glance_table"]

DEFAULT_FILE_NAME = "tear_sheet.html"

_CSS = """
body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; margin: 24px auto;
       max-width: 1100px; color: #222; line-height: 1.4; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.35em; border-bottom: 2px solid #345; padding-bottom: 4px; margin-top: 1.6em; }
h3 { font-size: 1.15em; margin-top: 1.4em; color: #345; }
h4 { font-size: 1.0em; margin: 1em 0 0.3em; }
.meta { color: #666; font-size: 0.9em; }
table.sigmora { border-collapse: collapse; font-size: 0.85em; margin: 4px 0 12px; }
table.sigmora th, table.sigmora td { border: 1px solid #ccc; padding: 3px 8px; text-align: right; }
table.sigmora thead th { background: #eef2f6; }
table.sigmora tbody th { background: #f7f9fb; text-align: left; }
img.chart { max-width: 100%; display: block; margin: 6px 0 14px; }
nav ul { columns: 2; font-size: 0.9em; }
"""


# Tables whose every value the chart after them shows: folded away under their chart.
FOLDED_TABLES = ("ic_decay", "ic_industry")


def table_html(table, float_format="{:.4f}"):
    """HTML of one summary table (floats to four decimals)."""
    return table.to_html(classes="sigmora", border=0, na_rep="NaN", index_names=False,
                         float_format=float_format.format, escape=True)


def _heading(level, text, anchor=None):
    attr = ' id="{}"'.format(html.escape(anchor)) if anchor else ""
    return "<h{0}{1}>{2}</h{0}>".format(level, attr, html.escape(text))


def _chart_html(fig, alt):
    from sigmora.analysis.plotting import figure_to_data_uri
    return '<img class="chart" alt="{}" src="{}"/>'.format(html.escape(alt), figure_to_data_uri(fig))


def record_html(record, heading_level=2, charts=True, anchor=None):
    """HTML block of one result record: each summary table followed by its chart, then the
    remaining charts."""
    parts = ['<div class="sigmora-record">',
             _heading(heading_level, "{}: {}".format(type(record).__name__, record.name), anchor)]
    tables = record.summary()
    figures = record.plot() if charts else {}
    if not tables:
        parts.append("<p>No tables.</p>")
    for key, table in tables.items():
        parts.append(_heading(heading_level + 1, record.title(key)))
        fig = figures.pop(key, None)
        folded = fig is not None and key in FOLDED_TABLES
        if not folded:
            parts.append(table_html(table))
        if fig is not None:
            parts.append(_chart_html(fig, "{} {}".format(record.name, key)))
        if folded:
            parts.append("<details><summary>table ({} rows)</summary>{}</details>".format(
                len(table), table_html(table)))
    for key, fig in figures.items():
        parts.append(_chart_html(fig, "{} {}".format(record.name, key)))
    parts.append("</div>")
    return "\n".join(parts)


def glance_table(results):
    """Headline figures of one engine output, one row per period: IC mean, IR and t-statistic,
    the top-minus-bottom group's annual return and Sharpe ratio, whether group returns are
    monotone, and the factor return's annual return and Sharpe ratio."""
    from sigmora.analysis.analysis_result import (FactorReturnAnalysisResult, ICAnalysisResult,
                                                  QuantileReturnAnalysisResult)
    pieces = []
    for record in results.values():
        if isinstance(record, ICAnalysisResult) and record.ic is not None:
            s = record.summary()["ic"]
            pieces.append(s[["mean", "ir", "t_stat"]].set_axis(["IC mean", "IC IR", "IC t-stat"], axis=1))
        elif isinstance(record, QuantileReturnAnalysisResult):
            s = record.summary()
            if "top_minus_bottom" in s:
                pieces.append(s["top_minus_bottom"][["annual_return", "sharpe"]].set_axis(
                    ["top-bottom annual return", "top-bottom Sharpe"], axis=1))
            if "monotonicity" in s:
                pieces.append(s["monotonicity"][["direction"]].set_axis(["groups q1 to last"], axis=1))
        elif isinstance(record, FactorReturnAnalysisResult) and record.factor_returns is not None:
            s = record.summary()["factor_returns"]
            pieces.append(s[["annual_return", "sharpe"]].set_axis(
                ["factor annual return", "factor Sharpe"], axis=1))
    if not pieces:
        return None
    # several records of one kind: keep the first one's columns
    table = pd.concat(pieces, axis=1)
    return table.loc[:, ~table.columns.duplicated()]


def _table_note_html(name, table, heading_level):
    present = float(table.notna().to_numpy().mean()) if table.size else 0.0
    text = "Factor table after '{}': {} rows x {} instruments, {:.1%} of values present.".format(
        name, table.shape[0], table.shape[1], present)
    return _heading(heading_level, str(name)) + "<p>{}</p>".format(html.escape(text))


def _results_html(results, heading_level, prefix):
    parts = []
    glance = glance_table(results)
    if glance is not None:
        parts += [_heading(heading_level, "At a glance"), table_html(glance)]
    for i, (name, value) in enumerate(results.items()):
        anchor = "{}{}".format(prefix, i)
        if hasattr(value, "summary") and hasattr(value, "plot"):
            parts.append(record_html(value, heading_level=heading_level, anchor=anchor))
        elif isinstance(value, pd.DataFrame):
            parts.append(_table_note_html(name, value, heading_level))
        elif value is not None:
            parts.append(_heading(heading_level, str(name)) + "<pre>{}</pre>".format(html.escape(repr(value))))
    return parts


def _is_multi(results):
    return bool(results) and all(isinstance(v, dict) for v in results.values())


def _check_results(results):
    if not isinstance(results, dict):
        raise ValueError("results: expect the dict returned by FactorVarodyne.analysis, got {}".format(
            type(results)))


def render_report(results, title="Factor tear sheet", description=None):
    """The tear sheet as one HTML document (text).

    ``results``: the engine's output dict, or a dict of factor name -> output dict.
    ``description``: optional lines (text, or a dict of label -> value) shown under the title.
    """
    _check_results(results)
    generated = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    head = ['<!DOCTYPE html>', '<html lang="en">', "<head>", '<meta charset="utf-8"/>',
            "<title>{}</title>".format(html.escape(title)), "<style>{}</style>".format(_CSS), "</head>",
            "<body>", _heading(1, title), '<p class="meta">Generated by sigmora on {}</p>'.format(generated)]
    if description:
        items = description.items() if isinstance(description, dict) else [(None, d) for d in description]
        rows = ["<li>{}{}</li>".format("<b>{}</b>: ".format(html.escape(str(k))) if k else "",
                                       html.escape(str(v))) for k, v in items]
        head.append("<ul class=\"meta\">{}</ul>".format("".join(rows)))
    body = []
    if _is_multi(results):
        toc = []
        for i, (factor, sub) in enumerate(results.items()):
            toc.append('<li><a href="#factor{}">{}</a></li>'.format(i, html.escape(str(factor))))
            body.append(_heading(2, str(factor), "factor{}".format(i)))
            body += _results_html(sub, 3, "factor{}-".format(i))
        head.append("<nav><ul>{}</ul></nav>".format("".join(toc)))
        if len(results) > 1:
            from sigmora.analysis.leaderboard import leaderboard
            board = leaderboard(results)
            if board.shape[1]:
                head += [_heading(2, "Leaderboard"), table_html(board)]
    else:
        body += _results_html(results, 2, "step")
    if not body:
        body.append("<p>The result holds no tables.</p>")
    return "\n".join(head + body + ["</body>", "</html>", ""])


def write_report(results, path, title="Factor tear sheet", description=None):
    """Write the tear sheet to ``path`` (a file, or a directory that gets ``tear_sheet.html``);
    returns the absolute path written."""
    path = os.fspath(path)
    if os.path.isdir(path):
        path = os.path.join(path, DEFAULT_FILE_NAME)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise ValueError("path: expect a file in an existing directory, got {}".format(path))
    document = render_report(results, title=title, description=description)
    with open(path, "w", encoding="utf-8") as f:
        f.write(document)
    return os.path.abspath(path)
