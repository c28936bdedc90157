"""The command line's parser, and its options turned into periods, dates and steps.

The step names the options take are those of `sigmora.analysis.registry`, which also builds
the steps.
"""

import argparse

import pandas as pd

from sigmora.analysis import registry
from sigmora.analysis.registry import ANALYSIS, PREPROCESS
from sigmora.cli.demo_factors import DEMO_BENCHMARK
from sigmora.cli.errors import UsageError

__all__ = ["build_parser", "build_steps", "steps_from_options", "chosen_steps", "checked_benchmark",
           "date_option", "none_or"]


def _parse_periods(text):
    try:
        periods = [int(p) for p in text.split(",") if p.strip()]
    except ValueError:
        periods = []
    if not periods or any(p < 1 for p in periods):
        raise UsageError("--periods: expect comma-separated positive integers such as 1,5,10,20, "
                         "got {!r}".format(text))
    return list(dict.fromkeys(periods))


def _parse_list(text, choices, option):
    if text.strip().lower() == "none":
        return []
    items = [t.strip() for t in text.split(",") if t.strip()]
    bad = [t for t in items if t not in choices]
    if bad or not items:
        raise UsageError("{}: expect a comma-separated subset of {} (or none), got {!r}".format(
            option, ",".join(choices), text))
    return list(dict.fromkeys(items))


def none_or(text):
    return None if text is None or text.lower() == "none" else text


def date_option(text, option):
    try:
        return pd.Timestamp(text)
    except (ValueError, TypeError):
        raise UsageError("{}: expect a date such as 2021-06-30, got {!r}".format(option, text)) from None


def build_steps(preprocess=None, analyses=None, winsorize_method="mad", industry="citics_2019", max_decay=20,
                quantile=5, benchmark=DEMO_BENCHMARK, **step_options):
    """The (name, step) pairs of a factor test, preprocessing first, in the order given (None: the
    steps of the default pipeline), built by the step registry; ``step_options`` go to the
    factories that take them (``tradable_rules``, ``min_listed_days``, ``universe``)."""
    if preprocess is None:
        preprocess = registry.default_names(PREPROCESS)
    if analyses is None:
        analyses = registry.default_names(ANALYSIS)
    return registry.build_steps(list(preprocess) + list(analyses), winsorize_method=winsorize_method,
                                industry=industry, max_decay=max_decay, quantile=quantile, benchmark=benchmark,
                                **step_options)


def steps_from_options(args):
    """Periods and the names of the preprocessing and analysis steps chosen by the options shared
    by `run` and `run-many`."""
    periods = _parse_periods(args.periods)
    preprocess = _parse_list(args.preprocess, registry.names(PREPROCESS), "--preprocess")
    analysis_choices = registry.names(ANALYSIS)
    analyses = _parse_list(args.analysis, analysis_choices, "--analysis")
    if not analyses:
        raise UsageError("--analysis: expect at least one of {}".format(",".join(analysis_choices)))
    if args.quantiles < 2:
        raise UsageError("--quantiles: expect an integer of at least 2, got {}".format(args.quantiles))
    if args.max_decay < 0:
        raise UsageError("--max-decay: expect a non-negative integer, got {}".format(args.max_decay))
    if args.min_listed_days < 0:
        raise UsageError("--min-listed-days: expect a non-negative integer, got {}".format(args.min_listed_days))
    try:
        registry.parse_tradable_rules(args.tradable_rules)
    except ValueError as exc:
        raise UsageError("--tradable-rules: {}".format(str(exc).split(": ", 1)[1])) from None
    from sigmora.analysis.varodyne import VALID_WINSORIZE_METHODS
    if args.winsorize_method not in VALID_WINSORIZE_METHODS:
        raise UsageError("--winsorize-method: expect one of {}, got {!r}".format(
            sorted(VALID_WINSORIZE_METHODS), args.winsorize_method))
    return periods, preprocess, analyses


def checked_benchmark(args, step_names):
    """The --benchmark option; when a step chosen uses it, checked to be an index of the store."""
    benchmark = none_or(args.benchmark)
    if benchmark is not None and registry.uses_option(step_names, "benchmark"):
        from sigmora.analysis import _market
        record = _market.instrument(benchmark)
        if record is None or record.type != "INDX":
            raise UsageError("--benchmark: expect the order_book_id of an index in the store, got {!r}".format(
                benchmark))
    return benchmark


def chosen_steps(args, preprocess, analyses, benchmark):
    """The (name, step) pairs the options choose."""
    return build_steps(preprocess, analyses, winsorize_method=args.winsorize_method,
                       industry=none_or(args.industry), max_decay=args.max_decay,
                       quantile=args.quantiles, benchmark=benchmark, tradable_rules=args.tradable_rules,
                       min_listed_days=args.min_listed_days, universe=none_or(args.universe))


class _Parser(argparse.ArgumentParser):
    """argparse that raises UsageError instead of exiting, so main() owns the exit code."""

    def error(self, message):
        raise UsageError(message)


def _step_list_help(what, kind, extra):
    choices, defaults = registry.names(kind), registry.default_names(kind)
    return "{}, subset of {}{} (default: {})".format(what, ",".join(choices), extra,
                                                    "all" if defaults == choices else ",".join(defaults))


def _analysis_options(p):
    p.add_argument("--periods", default="1,5,10,20", help="holding periods in rows (default 1,5,10,20)")
    p.add_argument("--preprocess", default=",".join(registry.default_names(PREPROCESS)),
                   help=_step_list_help("preprocessing steps in order", PREPROCESS, " or none"))
    p.add_argument("--analysis", default=",".join(registry.default_names(ANALYSIS)),
                   help=_step_list_help("analysis steps", ANALYSIS, ""))
    p.add_argument("--winsorize-method", default="mad", help="mad, std, percentile or none (default mad)")
    p.add_argument("--industry", default="citics_2019",
                   help="industry classification for the per-industry IC: citics_2019, sws or none")
    p.add_argument("--max-decay", type=int, default=20, help="IC decay steps, 0 for none (default 20)")
    p.add_argument("--quantiles", type=int, default=5, help="number of quantile groups (default 5)")
    p.add_argument("--benchmark", default=DEMO_BENCHMARK, help="benchmark index, or none (default "
                   "{})".format(DEMO_BENCHMARK))
    p.add_argument("--tradable-rules", default="suspended,limit,st", help="rules of the tradable step: subset "
                   "of suspended,limit,st or none (default all)")
    p.add_argument("--min-listed-days", type=int, default=60, help="tradable step: leave out stocks listed fewer "
                   "trading days, 0 for none (default 60)")
    p.add_argument("--universe", default="none", help="tradable step: keep members of this index on each date, "
                   "e.g. 000300.XSHG (default none)")
    p.add_argument("--ascending", action="store_true", help="lower factor values are better")
    p.add_argument("--title", help="title of the tear sheet")
    p.add_argument("--no-report", action="store_true", help="print the summaries only")


def build_parser():
    parser = _Parser(prog="sigmora", description="Test cross-sectional stock factors and write an HTML "
                     "tear sheet.")
    from sigmora import __version__
    parser.add_argument("--version", action="version", version="sigmora {}".format(__version__))
    parser.add_argument("--debug", action="store_true", help="show the full traceback of a failure")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def common(p, out_default):
        p.add_argument("--out", metavar="PATH", help="directory for tear_sheet.html, or an .html file "
                       "(default: ./{})".format(out_default))
        p.add_argument("--store", metavar="PATH", help="tidewell store to read (default: the current "
                       "one, $TIDEWELL_HOME or the demo store)")
        p.add_argument("--start", metavar="DATE", help="first factor date")
        p.add_argument("--end", metavar="DATE", help="last factor date")
        p.add_argument("-q", "--quiet", action="store_true", help="no progress lines on stderr")

    demo = sub.add_parser("demo", help="run the full factor test on the demo market",
                          description="Open (or build) the demo store, test its planted signal and a "
                          "5-day price reversal with the full pipeline at periods 1, 5, 10, 20, print "
                          "the summaries and write the tear sheet.")
    common(demo, "sigmora-demo")
    demo.add_argument("--tradable", action="store_true", help="also test each factor on what could be traded "
                      "(the tradable step first) and compare the two")

    run = sub.add_parser("run", help="run a factor test on your own factor table",
                         description="Test a factor table (CSV or Parquet; rows dates, columns "
                         "order_book_ids) against the tidewell store and write the tear sheet.")
    run.add_argument("factor_file", metavar="FACTOR_FILE", help="factor table, .csv or .parquet")
    common(run, "sigmora-report")
    _analysis_options(run)

    many = sub.add_parser("run-many", help="test many factor tables at once on Dask workers",
                          description="Test every factor file (or every .csv/.parquet file of a folder) "
                          "with the same steps, on a local cluster of worker processes or on the Dask "
                          "scheduler given; print the leaderboard and write one tear sheet.")
    many.add_argument("factor_files", nargs="+", metavar="FACTOR_FILES",
                      help="factor tables (.csv or .parquet) or folders holding them")
    common(many, "sigmora-report")
    _analysis_options(many)
    many.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler "
                      "(default: a local cluster, one worker process per core)")
    return parser
