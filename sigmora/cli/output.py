"""What the commands print on stdout, the tear sheet they write and the results they save."""

import os
import shutil

import pandas as pd

from sigmora.analysis._formats import format_table
from sigmora.cli.rests_on import rests_on

__all__ = ["print_results", "print_leaderboard", "write_tear_sheet", "save_results_to"]


def print_results(results, label, out, verbose=False):
    """The headline of one run: what it rests on and the "at a glance" figures per period.
    ``verbose``: every record's summary tables before it."""
    from sigmora.report import glance_table
    print("\n=== {} ===".format(label), file=out)
    print(rests_on(results), file=out)
    if verbose:
        for value in results.values():
            if hasattr(value, "to_text"):
                print("\n" + value.to_text(), file=out)
    glance = glance_table(results)
    if glance is not None:
        # figures down, periods across: narrow enough for a terminal
        text = format_table(glance).T
        with pd.option_context("display.width", 160, "display.max_columns", 30,
                               "display.unicode.east_asian_width", True):
            print("{}{}".format("\n{} at a glance\n".format(label) if verbose else "", text.to_string()), file=out)


def print_leaderboard(board, out):
    """The leaderboard, its columns wrapped into blocks as wide as the terminal (a line of
    forty columns is unreadable once the terminal folds it)."""
    if board.shape[1]:
        width = max(shutil.get_terminal_size((120, 24)).columns, 60)
        text = format_table(board).to_string(line_width=width)
        print("\nLeaderboard\n{}".format(text), file=out)


def save_results_to(results, args, out):
    """Saves ``results`` where --save says (nothing without it); prints where."""
    if not getattr(args, "save", None):
        return None
    from sigmora.saved import save_results
    path = save_results(results, args.save, format=args.save_format)
    print("Results saved: {}".format(path), file=out)
    return path


def _report_path(out_option, default_dir):
    target = out_option or default_dir
    if target.lower().endswith((".html", ".htm")):
        folder = os.path.dirname(os.path.abspath(target))
        os.makedirs(folder, exist_ok=True)
        return target
    os.makedirs(target, exist_ok=True)
    from sigmora.report import DEFAULT_FILE_NAME
    return os.path.join(target, DEFAULT_FILE_NAME)


def write_tear_sheet(results, out_option, default_dir, title, description, progress, factors=None):
    """Write the tear sheet where --out says (default: ``default_dir``); returns its path.
    ``factors``: factor name -> table, for the overlap of several factors' values."""
    from sigmora.report import write_report
    path = _report_path(out_option, default_dir)
    progress.begin("tear sheet")
    written = write_report(results, path, title=title, description=description, factors=factors)
    progress.end()
    return written
