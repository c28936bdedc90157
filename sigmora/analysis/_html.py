"""HTML of result records: a summary table, a heading, an embedded chart, a whole record.

The records' notebook rendering and the tear sheet (`sigmora.report`, which re-exports these
names) both use them.  This module sits below both: it imports neither the records nor the
report nor the leaderboard.
"""

import html

from sigmora.analysis._formats import NAN_TEXT, format_table

__all__ = ["record_html", "table_html", "FOLDED_TABLES"]

# Tables whose every value the chart after them shows: folded away under their chart.
FOLDED_TABLES = ("ic_decay", "ic_industry")


def table_html(table, sortable=False):
    """HTML of one summary table, every figure in the format of its quantity
    (`sigmora.analysis._formats`), in a box that scrolls sideways when the table is wider than
    the page.  ``sortable``: the tear sheet's script sorts the rows by a column when its
    heading is clicked."""
    classes = ["sigmora"] + (["sortable"] if sortable else [])
    text = format_table(table).to_html(classes=classes, border=0, na_rep=NAN_TEXT, index_names=False, escape=True)
    return '<div class="table-scroll">{}</div>'.format(text)


def _heading(level, text, anchor=None):
    attr = ' id="{}"'.format(html.escape(anchor)) if anchor else ""
    return "<h{0}{1}>{2}</h{0}>".format(level, attr, html.escape(text))


def _chart_html(fig, alt):
    from sigmora.analysis.plotting import figure_to_data_uri
    return '<img class="chart" alt="{}" src="{}"/>'.format(html.escape(alt), figure_to_data_uri(fig))


def nothing_to_show(record):
    """The record's line saying why it has nothing to show, or None (also for a record that
    cannot say)."""
    method = getattr(type(record), "nothing_to_show", None)
    return method(record) if callable(method) else None


def empty_html(reason, coverage=None):
    """One line in place of tables of NaN and charts of nothing, with the counts of `coverage`
    (when given) folded under it."""
    out = '<p class="empty"><b>{}</b></p>'.format(html.escape(reason))
    if coverage is not None:
        out += "\n<details><summary>What the run rests on</summary>{}</details>".format(table_html(coverage.table()))
    return out


def record_html(record, heading_level=2, charts=True, anchor=None):
    """HTML block of one result record: each summary table followed by its chart, then the
    remaining charts."""
    parts = ['<div class="sigmora-record">',
             _heading(heading_level, "{}: {}".format(type(record).__name__, record.name), anchor)]
    reason = nothing_to_show(record)
    if reason is not None:
        parts += [empty_html(reason, getattr(record, "coverage", None)), "</div>"]
        return "\n".join(parts)
    tables = record.summary()
    coverage = tables.pop("coverage", None)
    if coverage is not None and getattr(record, "coverage", None) is not None:
        parts.append('<p class="coverage">Rests on: {}</p>'.format(html.escape(record.coverage.text())))
        tables["coverage"] = coverage  # the counts in full, folded below
    figures = record.plot() if charts else {}
    if not tables:
        parts.append("<p>No tables.</p>")
    for key, table in tables.items():
        parts.append(_heading(heading_level + 1, record.title(key)))
        if key == "coverage":
            parts.append("<details><summary>{}</summary>{}</details>".format(
                html.escape(record.title(key)), table_html(table)))
            continue
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
