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

from sigmora._atomic import write_atomic
# The record rendering lives below the records and the report; the headline tables beside the
# leaderboard.  Both are re-exported here.
from sigmora.analysis._formats import format_value
from sigmora.analysis._html import (FOLDED_TABLES, _chart_html, _heading, empty_html, nothing_to_show,  # noqa: F401
                                   record_html, table_html)
from sigmora.analysis.leaderboard import glance_table, leaderboard

__all__ = ["render_report", "write_report", "overlap_html", "record_html", "table_html", "glance_table"]

DEFAULT_FILE_NAME = "tear_sheet.html"

_CSS = """
body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; margin: 24px auto;
       max-width: 1100px; padding: 0 16px; color: #222; line-height: 1.4; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.35em; border-bottom: 2px solid #345; padding-bottom: 4px; margin-top: 1.6em; }
h3 { font-size: 1.15em; margin-top: 1.4em; color: #345; }
h4 { font-size: 1.0em; margin: 1em 0 0.3em; }
.meta { color: #666; font-size: 0.9em; overflow-wrap: anywhere; }
.table-scroll { overflow-x: auto; max-width: 100%; margin: 4px 0 12px; }
table.sigmora { border-collapse: collapse; font-size: 0.85em; }
table.sigmora th, table.sigmora td { border: 1px solid #ccc; padding: 3px 8px; text-align: right; }
table.sigmora td { white-space: nowrap; font-variant-numeric: tabular-nums; }
table.sigmora thead th { background: #eef2f6; vertical-align: bottom; }
table.sigmora tbody th { background: #f7f9fb; text-align: left; white-space: nowrap; }
table.sortable thead th { cursor: pointer; user-select: none; white-space: nowrap; }
table.sortable tbody th { position: sticky; left: 0; }
table.sortable thead th:hover { background: #dde6ef; }
table.sortable thead th[aria-sort="descending"]::after { content: " \\25BC"; }
table.sortable thead th[aria-sort="ascending"]::after { content: " \\25B2"; }
img.chart { max-width: 100%; height: auto; display: block; margin: 6px 0 14px; }
pre { overflow-x: auto; }
p.empty { background: #f7f9fb; border-left: 4px solid #9ab; padding: 6px 10px; }
nav ul { columns: 2; font-size: 0.9em; }
"""

# Sorts a table.sortable by the column whose heading is clicked (again: the other way round).
# Figures compare as numbers (percentages by their number), other cells as text; missing
# figures ("NaN") go last either way.
_SORT_SCRIPT = """
(function () {
  function key(cell) {
    var text = cell.textContent.trim();
    if (text === "" || text === "NaN") return null;
    var number = Number(text.replace(/%$/, ""));
    return isNaN(number) ? text : number;
  }
  function compare(a, b, sign) {
    if (a === null || b === null) return (a === null) - (b === null);
    if (typeof a !== typeof b) return typeof a === "number" ? -1 : 1;
    if (typeof a === "number") return sign * (a - b);
    return sign * a.localeCompare(b);
  }
  Array.prototype.forEach.call(document.querySelectorAll("table.sortable"), function (table) {
    var head = table.tHead.rows[table.tHead.rows.length - 1];
    var body = table.tBodies[0];
    Array.prototype.forEach.call(head.cells, function (th, column) {
      th.tabIndex = 0;
      th.title = "Sort by this column";
      function sort() {
        var descending = th.getAttribute("aria-sort") !== "descending";
        Array.prototype.forEach.call(head.cells, function (other) { other.removeAttribute("aria-sort"); });
        th.setAttribute("aria-sort", descending ? "descending" : "ascending");
        var rows = Array.prototype.map.call(body.rows, function (row, i) {
          return {row: row, key: key(row.cells[column]), i: i};
        });
        rows.sort(function (a, b) { return compare(a.key, b.key, descending ? -1 : 1) || a.i - b.i; });
        rows.forEach(function (r) { body.appendChild(r.row); });
      }
      th.addEventListener("click", sort);
      th.addEventListener("keydown", function (e) {
        if (e.key === "Enter" || e.key === " ") { e.preventDefault(); sort(); }
      });
    });
  });
})();
"""


def _table_note_html(name, table, heading_level):
    present = float(table.notna().to_numpy().mean()) if table.size else 0.0
    text = "Factor table after '{}': {} rows x {} instruments, {:.1%} of values present.".format(
        name, table.shape[0], table.shape[1], present)
    return _heading(heading_level, str(name)) + "<p>{}</p>".format(html.escape(text))


def _results_html(results, heading_level, prefix):
    parts = []
    records = [v for v in results.values() if hasattr(v, "summary") and hasattr(v, "plot")]
    reasons = {nothing_to_show(r) for r in records}
    if records and len(reasons) == 1 and None not in reasons:
        # Every step rests on no date, for one reason: said once, in place of the whole section.
        coverage = next((r.coverage for r in records if getattr(r, "coverage", None) is not None), None)
        parts.append(empty_html(reasons.pop(), coverage))
        return parts + [_table_note_html(name, value, heading_level) for name, value in results.items()
                        if isinstance(value, pd.DataFrame)]
    glance = glance_table(results) if not records or None in reasons else None
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


# Correlation tables up to this many factors are shown open under their heat map; larger
# ones are folded away (the heat map shows them).
_OPEN_MATRIX = 12


def _factor_tables(results, factors):
    """Factor name -> values table, for the factors of `results` that have one: from
    `factors`, else the last factor table the run kept (keep_preprocess_result=True)."""
    out = {}
    for name, sub in results.items():
        table = (factors or {}).get(name)
        if not isinstance(table, pd.DataFrame):
            kept = [v for v in sub.values() if isinstance(v, pd.DataFrame)]
            table = kept[-1] if kept else None
        if isinstance(table, pd.DataFrame) and isinstance(table.index, pd.DatetimeIndex):
            out[name] = table
    return out


def _ic_tables(results):
    out = {}
    for name, sub in results.items():
        for record in sub.values():
            if isinstance(getattr(record, "ic", None), pd.DataFrame):
                out[name] = record.ic
                break
    return out


def _matrix_html(matrix, title, note):
    from sigmora.analysis.plotting import correlation_figure
    # Factor names are no quantity: every cell is a correlation, four decimals.
    text = matrix.apply(lambda column: column.map(format_value))
    table = table_html(text)
    if len(matrix) > _OPEN_MATRIX:
        table = "<details><summary>table ({0} x {0} factors)</summary>{1}</details>".format(len(matrix), table)
    return "\n".join([_heading(3, title), '<p class="meta">{}</p>'.format(html.escape(note)),
                       _chart_html(correlation_figure(matrix, title), title), table])


def overlap_html(results, factors=None):
    """The "Factor overlap" section of a tear sheet of several factors: how alike their values
    are (mean per-date rank correlation, `combination.value_correlation`) and how alike their
    IC series are (`combination.ic_correlation`), each as a heat map and a table. Empty text
    when fewer than two factors have what a matrix needs."""
    from sigmora.analysis.combination import ic_correlation, value_correlation

    parts = []
    tables = _factor_tables(results, factors)
    # Factors known only as expressions (evaluated where they ran) have no table here: said, not hidden.
    without = [str(name) for name in results if name not in tables]
    left_out = " Left out, their values not being at hand (factors given as expressions): {}.".format(
        ", ".join(without)) if without else ""
    # A factor without a single value would be a blank row and column of the heat map.
    tables, no_value = _with_values(tables, lambda table: table.notna().to_numpy().any())
    left_out += _left_out_note("without a single value", no_value)
    if len(tables) >= 2:
        parts.append(_matrix_html(
            value_correlation(tables), "Correlation of factor values",
            "Mean over dates of the per-date rank (Spearman) correlation of two factors' values, over "
            "the instruments both have on the date." + left_out))
    elif len(results) >= 2 and left_out:
        parts.append('<p class="meta">{}</p>'.format(html.escape(
            "Correlation of factor values: not shown, fewer than two factors have their values here."
            + left_out)))
    ic = _ic_tables(results)
    periods = [c for c in next(iter(ic.values())).columns if all(c in t.columns for t in ic.values())] if ic else []
    if periods:
        ic, no_ic = _with_values(ic, lambda table: table[periods[0]].notna().any())
        note = _left_out_note("resting on no date", no_ic)
        if len(ic) >= 2:
            parts.append(_matrix_html(
                ic_correlation(ic, period=periods[0]), "Correlation of IC series ({})".format(periods[0]),
                "Correlation over dates of two factors' per-date IC of holding period {}: factors whose IC "
                "rises and falls together earn from the same market moves.".format(periods[0]) + note))
    if not parts:
        return ""
    return "\n".join([_heading(2, "Factor overlap")] + parts)


def _with_values(tables, has_values):
    """(the tables for which has_values holds, the names of the others)."""
    kept = {name: table for name, table in tables.items() if has_values(table)}
    return kept, [str(name) for name in tables if name not in kept]


def _left_out_note(why, names):
    return " Left out, {}: {}.".format(why, ", ".join(names)) if names else ""


def _is_multi(results):
    return bool(results) and all(isinstance(v, dict) for v in results.values())


def _check_results(results):
    if not isinstance(results, dict):
        raise ValueError("results: expect the dict returned by FactorVarodyne.analysis, got {}".format(
            type(results)))


def render_report(results, title="Factor tear sheet", description=None, factors=None):
    """The tear sheet as one HTML document (text).

    ``results``: the engine's output dict, or a dict of factor name -> output dict.
    ``description``: optional lines (text, or a dict of label -> value) shown under the title.
    ``factors``: factor name -> factor table, for the overlap of the factors' values in a tear
    sheet of several factors (without it, the factor tables the runs kept, if any).
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
    sortable = False
    if _is_multi(results):
        toc = []
        for i, (factor, sub) in enumerate(results.items()):
            toc.append('<li><a href="#factor{}">{}</a></li>'.format(i, html.escape(str(factor))))
            body.append(_heading(2, str(factor), "factor{}".format(i)))
            body += _results_html(sub, 3, "factor{}-".format(i))
        head.append("<nav><ul>{}</ul></nav>".format("".join(toc)))
        if len(results) > 1:
            board = leaderboard(results)
            if board.shape[1]:
                head += [_heading(2, "Leaderboard"),
                         '<p class="meta">Click a column heading to sort the factors by it.</p>',
                         table_html(board, sortable=True)]
                sortable = True
            overlap = overlap_html(results, factors)
            if overlap:
                head.append(overlap)
    else:
        body += _results_html(results, 2, "step")
    if not body:
        body.append("<p>The result holds no tables.</p>")
    script = ["<script>{}</script>".format(_SORT_SCRIPT)] if sortable else []
    return "\n".join(head + body + script + ["</body>", "</html>", ""])


def write_report(results, path, title="Factor tear sheet", description=None, factors=None):
    """Write the tear sheet to ``path`` (a file, or a directory that gets ``tear_sheet.html``);
    returns the absolute path written. ``factors``: see `render_report`."""
    path = os.fspath(path)
    if os.path.isdir(path):
        path = os.path.join(path, DEFAULT_FILE_NAME)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise ValueError("path: expect a file in an existing directory, got {}".format(path))
    document = render_report(results, title=title, description=description, factors=factors)
    # A tear sheet that fails to render or to write leaves the previous one as it was.
    return write_atomic(path, document)
