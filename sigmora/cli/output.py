"""What the commands print on stdout and the tear sheet they write."""

import os

import pandas as pd

from sigmora.cli.rests_on import rests_on

__all__ = ["print_results", "print_leaderboard", "write_tear_sheet"]


def print_results(results, label, out):
    """Each record's summary, then the "at a glance" table."""
    from sigmora.report import glance_table
    print("\n=== {} ===".format(label), file=out)
    print(rests_on(results), file=out)
    for value in results.values():
        if hasattr(value, "to_text"):
            print("\n" + value.to_text(), file=out)
    glance = glance_table(results)
    if glance is not None:
        with pd.option_context("display.width", 160, "display.max_columns", 30,
                               "display.float_format", "{:.4f}".format):
            print("\n{} at a glance\n{}".format(label, glance.to_string()), file=out)


def print_leaderboard(board, out):
    if board.shape[1]:
        with pd.option_context("display.width", 200, "display.max_columns", 40,
                               "display.float_format", "{:.4f}".format):
            print("\nLeaderboard\n{}".format(board.to_string()), file=out)


def _report_path(out_option, default_dir):
    target = out_option or default_dir
    if target.lower().endswith((".html", ".htm")):
        folder = os.path.dirname(os.path.abspath(target))
        os.makedirs(folder, exist_ok=True)
        return target
    os.makedirs(target, exist_ok=True)
    from sigmora.report import DEFAULT_FILE_NAME
    return os.path.join(target, DEFAULT_FILE_NAME)


def write_tear_sheet(results, out_option, default_dir, title, description, progress):
    """Write the tear sheet where --out says (default: ``default_dir``); returns its path."""
    from sigmora.report import write_report
    path = _report_path(out_option, default_dir)
    progress.begin("tear sheet")
    written = write_report(results, path, title=title, description=description)
    progress.end()
    return written
