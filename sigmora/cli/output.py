"""What the commands print on stdout, the tear sheet they write and the results they save."""

import os
import shutil
import tempfile

import pandas as pd

from sigmora.analysis._formats import format_table
from sigmora.cli.errors import UsageError
from sigmora.cli.rests_on import rests_on

__all__ = ["print_results", "print_leaderboard", "write_tear_sheet", "save_results_to", "check_out_option",
           "check_save_option"]


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
        key, ascending = board.attrs.get("sorted_by", (None, False))
        order = " (sorted by {}, {} first)".format(key, "lowest" if ascending else "highest") if key else ""
        print("\nLeaderboard{}\n{}".format(order, text), file=out)


def save_results_to(results, args, out):
    """Saves ``results`` where --save says (nothing without it); prints where."""
    if not getattr(args, "save", None):
        return None
    from sigmora.saved import save_results
    path = save_results(results, args.save, format=args.save_format)
    print("Results saved: {}".format(path), file=out)
    return path


_OUT_EXPECTS = "expect a folder for tear_sheet.html or a path ending in .html"
_SAVE_EXPECTS = "expect a folder to save the result tables in"


def check_out_option(out_option):
    """Refuses an --out the tear sheet could not be written to, before any work: a plain file
    where a folder is meant, a folder where the .html file is meant, or a place where no folder
    can be made.  Nothing is left behind."""
    if not out_option:
        return
    if out_option.lower().endswith((".html", ".htm")):
        if os.path.isdir(out_option):
            raise UsageError("--out: {} is a folder; {}; give a file name inside it, e.g. {}".format(
                out_option, _OUT_EXPECTS, os.path.join(out_option, "tear_sheet.html")))
        _check_folder("--out", out_option, os.path.dirname(os.path.abspath(out_option)), _OUT_EXPECTS,
                      "or a name ending in .html")
    else:
        _check_folder("--out", out_option, os.path.abspath(out_option), _OUT_EXPECTS, "or a name ending in .html")


def check_save_option(save_option):
    """Refuses a --save folder the results could not be saved in, before any work."""
    if save_option:
        _check_folder("--save", save_option, os.path.abspath(save_option), _SAVE_EXPECTS, "")


def _check_folder(option, given, folder, expects, alternative):
    """Refuses ``folder`` (the one ``given`` asks to write into) unless it is a folder or one
    can be made there."""
    if folder == os.path.abspath(given) and os.path.exists(folder) and not os.path.isdir(folder):
        raise UsageError("{}: {} is a file, not a folder; {}; give a new or existing folder{}".format(
            option, given, expects, ", " + alternative if alternative else ""))
    existing = folder
    while not os.path.exists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        raise UsageError("{}: {} is a file, so no folder can be made inside it for {}; {}; give a path "
                         "under a folder".format(option, existing, given, expects))
    try:
        # Making (and at once removing) a folder where the output's folder would go tells what
        # the file system allows, which permissions alone do not (read-only mounts, /proc).
        tempfile.TemporaryDirectory(dir=existing, prefix=".sigmora-probe-").cleanup()
    except OSError as exc:
        raise UsageError("{}: cannot make a folder in {} for {} ({}); {}; give a path under a folder you "
                         "can write to".format(option, existing, given, exc.strerror or exc, expects)) from None


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
