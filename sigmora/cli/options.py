"""The command line's parser, and its options turned into periods, dates and steps.

The step names the options take are those of `sigmora.analysis.registry`, which also builds
the steps.
"""

import argparse
import math
import warnings

import pandas as pd

from sigmora.analysis import registry
from sigmora.analysis.registry import ANALYSIS, PREPROCESS
from sigmora.cli.demo_factors import DEMO_BENCHMARK
from sigmora.cli.errors import UsageError

__all__ = ["build_parser", "build_steps", "steps_from_options", "chosen_steps", "checked_benchmark",
           "date_option", "date_window", "none_or", "FREQUENCIES", "INDUSTRIES", "MAX_PERIOD", "MAX_QUANTILES"]

# Holding periods and IC decay steps count rows; ten years of trading days bound them.
MAX_PERIOD = 2520
MAX_QUANTILES = 1000
INDUSTRIES = ("citics_2019", "sws", "none")
STYLE_FACTORS = ("all", "none")
# The spacings --frequency states (those `sigmora.analysis.statistics.row_spacing` measures).
FREQUENCIES = ("daily", "weekly", "monthly", "quarterly", "yearly", "intraday")


def _integer(text):
    text = text.strip()
    return int(text) if text.lstrip("+").isdigit() else None


def _empty_item(text, option):
    """Refuses a comma list with an empty item ("1,,5", "ic,"): a typo that dropping it would hide."""
    if text.strip() and any(not item.strip() for item in text.split(",")):
        kept = ",".join(t.strip() for t in text.split(",") if t.strip())
        raise UsageError("{}: expect a comma-separated list without empty items, got {!r}{}".format(
            option, text, "; did you mean {}?".format(kept) if kept else ""))


def _parse_periods(text):
    _empty_item(text, "--periods")
    periods = [_integer(p) for p in text.split(",") if p.strip()]
    if not periods or any(p is None or not 1 <= p <= MAX_PERIOD for p in periods):
        raise UsageError("--periods: expect comma-separated positive integers such as 1,5,10,20, each at most "
                         "{}, got {!r}".format(MAX_PERIOD, text))
    return list(dict.fromkeys(periods))


def _bounded_integer(option, low, high, what):
    """An option's parser: an integer from ``low`` to ``high``, else a usage error saying so."""
    def parse(text):
        value = _integer(text)
        if value is None or not low <= value <= high:
            raise UsageError("{}: expect {} from {} to {}, got {!r}".format(option, what, low, high, text))
        return value
    return parse


def _choice(option, choices, default_text=""):
    """An option's parser: one of ``choices`` (any case), else a usage error naming them."""
    def parse(text):
        value = text.strip().lower()
        if value not in choices:
            raise UsageError("{}: expect one of {}{}, got {!r}".format(option, ", ".join(choices), default_text, text))
        return value
    return parse


def _parse_list(text, choices, option):
    if text.strip().lower() == "none":
        return []
    _empty_item(text, option)
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
    date_window(args)
    _tradable_options_need_the_step(args, preprocess)
    _empty_item(args.tradable_rules, "--tradable-rules")
    try:
        registry.parse_tradable_rules(args.tradable_rules)
    except ValueError as exc:
        raise UsageError("--tradable-rules: {}".format(str(exc).split(": ", 1)[1])) from None
    from sigmora.analysis.varodyne import VALID_WINSORIZE_METHODS
    if args.winsorize_method not in VALID_WINSORIZE_METHODS:
        raise UsageError("--winsorize-method: expect one of {}, got {!r}".format(
            sorted(VALID_WINSORIZE_METHODS), args.winsorize_method))
    _warn_unused_options(args, preprocess + analyses)
    return periods, preprocess, analyses


def date_window(args):
    """--start and --end as timestamps (None when not given); a start after the end is refused
    here, before any file is read."""
    start = date_option(args.start, "--start") if args.start else None
    end = date_option(args.end, "--end") if args.end else None
    if start is not None and end is not None and start > end:
        raise UsageError("--start/--end: --start {} is after --end {}; give a start on or before the end".format(
            args.start, args.end))
    return start, end


#: The defaults of the options that only some steps read: the parser's, and what the checks
#: below compare with.
_DEFAULTS = {"--cost-bps": 0.0, "--quantile-weights": "equal", "--quantiles": 5, "--max-decay": 20,
             "--industry": "citics_2019", "--style-factors": "all", "--winsorize-method": "mad",
             "--benchmark": DEMO_BENCHMARK,
             "--universe": "none", "--tradable-rules": "suspended,limit,st", "--min-listed-days": 60}

#: Options only some steps read, with the name the steps know them by: given otherwise while no
#: chosen step reads them, they would change nothing (said, not refused: scripts may pass them
#: always).  A value that asks for nothing ("none", no decay steps) has nothing to lose either.
_STEP_OPTIONS = (("--cost-bps", "cost_bps"), ("--quantile-weights", "quantile_weights"), ("--quantiles", "quantile"),
                 ("--max-decay", "max_decay"), ("--industry", "industry"), ("--style-factors", "style_factors"),
                 ("--winsorize-method", "winsorize_method"), ("--benchmark", "benchmark"))

#: The tradable step's options: given otherwise without the step, they would change nothing,
#: which a user would not notice.
_TRADABLE_OPTIONS = ("--universe", "--tradable-rules", "--min-listed-days")


def _value(args, option):
    """The parsed value of ``option`` (argparse's attribute name)."""
    return getattr(args, option[2:].replace("-", "_"))


def _warn_unused_options(args, step_names):
    for option, name in _STEP_OPTIONS:
        value = _value(args, option)
        if value == _DEFAULTS[option] or value == 0 or (isinstance(value, str) and none_or(value) is None):
            continue
        if not registry.uses_option(step_names, name):
            warnings.warn("{}: no chosen step uses it (steps: {}); it changes nothing".format(
                option, ",".join(step_names)))


def _tradable_options_need_the_step(args, preprocess):
    if "tradable" in preprocess:
        return
    for option in _TRADABLE_OPTIONS:
        value = _value(args, option)
        if (value.strip().lower() if isinstance(value, str) else value) != _DEFAULTS[option]:
            raise UsageError("{}: an option of the tradable step, which --preprocess leaves out; add it in front, "
                             "e.g. --preprocess tradable,{}".format(
                                 option, ",".join(preprocess) or "winsorize,neutralize,normalize"))


def checked_benchmark(args, step_names):
    """The --benchmark option; when a step chosen uses it, checked to be an index of the store."""
    benchmark = none_or(args.benchmark)
    if benchmark is not None and registry.uses_option(step_names, "benchmark"):
        _index_option("--benchmark", benchmark)
    return benchmark


def _checked_universe(args, step_names):
    """The --universe option; when the tradable step is chosen, checked to be an index of the store."""
    universe = none_or(args.universe)
    if universe is not None and "tradable" in step_names:
        _index_option("--universe", universe)
    return universe


def _index_option(option, order_book_id):
    """Refuses an option's order_book_id unless it is an index in the store, saying what the id is
    instead, which indexes the store has and how to go without one."""
    from sigmora.analysis import _market
    record = _market.instrument(order_book_id)
    if record is None or record.type != "INDX":
        what = ("not an instrument of the store" if record is None
                else "an instrument of type {}, not an index".format(record.type))
        indexes = _market.all_instruments(type="INDX")
        names = [] if indexes is None or len(indexes) == 0 else sorted(indexes["order_book_id"])
        if names:
            have = "the store's indexes are {}{}; pass one of them, or".format(
                ", ".join(names[:10]), ", ..." if len(names) > 10 else "")
        else:
            have = "the store holds no index; import one (its instruments row and daily bars), or"
        default = " (the default)" if order_book_id == _DEFAULTS.get(option) else ""
        raise UsageError("{}: expect the order_book_id of an index in the store, got {!r}{}: {}; {} pass "
                         "{} none".format(option, order_book_id, default, what, have, option))


def chosen_steps(args, preprocess, analyses, benchmark):
    """The (name, step) pairs the options choose."""
    universe = _checked_universe(args, preprocess)
    industry, style_factors = none_or(args.industry), none_or(args.style_factors)
    if "neutralize" in preprocess and industry is None and style_factors is None:
        raise UsageError("--industry none with --style-factors none leaves the neutralize step nothing to "
                         "regress on; leave neutralize out of --preprocess")
    return build_steps(preprocess, analyses, winsorize_method=args.winsorize_method,
                       industry=industry, style_factors=style_factors, max_decay=args.max_decay,
                       quantile=args.quantiles, benchmark=benchmark, tradable_rules=args.tradable_rules,
                       min_listed_days=args.min_listed_days, universe=universe,
                       quantile_weights=args.quantile_weights, cost_bps=args.cost_bps)


class _Parser(argparse.ArgumentParser):
    """argparse that raises UsageError instead of exiting, so main() owns the exit code."""

    def error(self, message):
        raise UsageError(message)


def _step_list_help(what, kind, extra):
    choices, defaults = registry.names(kind), registry.default_names(kind)
    return "{}, subset of {}{} (default: {})".format(what, ",".join(choices), extra,
                                                    "all" if defaults == choices else ",".join(defaults))


def _analysis_options(p):
    p.add_argument("--periods", default="1,5,10,20", help="holding periods, each from 1 to {}: trading days "
                   "in the IC, factor rows in the quantile and factor-return steps (the same for daily factor "
                   "rows; default 1,5,10,20)".format(MAX_PERIOD))
    p.add_argument("--preprocess", default=",".join(registry.default_names(PREPROCESS)),
                   help=_step_list_help("preprocessing steps in order", PREPROCESS, " or none"))
    p.add_argument("--analysis", default=",".join(registry.default_names(ANALYSIS)),
                   help=_step_list_help("analysis steps", ANALYSIS, ""))
    p.add_argument("--winsorize-method", default=_DEFAULTS["--winsorize-method"], help="mad, std, percentile or none (default mad)")
    p.add_argument("--industry", default=_DEFAULTS["--industry"], type=_choice("--industry", INDUSTRIES),
                   help="industry classification of the neutralize step and the per-industry IC: "
                   "citics_2019, sws or none")
    p.add_argument("--style-factors", default=_DEFAULTS["--style-factors"],
                   type=_choice("--style-factors", STYLE_FACTORS),
                   help="style exposures the neutralize step regresses on: all (the store's) or none")
    p.add_argument("--max-decay", type=_bounded_integer("--max-decay", 0, MAX_PERIOD, "an integer number of IC "
                   "decay steps"), default=_DEFAULTS["--max-decay"], help="IC decay steps, 0 to {}, 0 for none (default 20)".format(
                       MAX_PERIOD))
    p.add_argument("--quantiles", type=_bounded_integer("--quantiles", 2, MAX_QUANTILES, "an integer number of "
                   "groups"), default=_DEFAULTS["--quantiles"], help="number of quantile groups, 2 to {} (default 5)".format(MAX_QUANTILES))
    p.add_argument("--frequency", type=_choice("--frequency", FREQUENCIES, " (or leave it out to measure it from "
                   "the dates)"), help="spacing of the factor's rows, used to annualise returns: {} (default: "
                   "measured from the dates)".format(", ".join(FREQUENCIES)))
    p.add_argument("--quantile-weights", default=_DEFAULTS["--quantile-weights"],
                   type=_choice("--quantile-weights", registry.QUANTILE_WEIGHTS),
                   help="how the quantile step weights a group's members when it forms the group: equal, or "
                   "cap (market cap on the factor date, from the store) (default equal)")
    _cost_option(p)
    p.add_argument("--benchmark", default=_DEFAULTS["--benchmark"], help="benchmark index, or none (default "
                   "{})".format(DEMO_BENCHMARK))
    p.add_argument("--tradable-rules", default=_DEFAULTS["--tradable-rules"], help="rules of the tradable step: subset "
                   "of suspended,limit,st or none (default all)")
    p.add_argument("--min-listed-days", default=_DEFAULTS["--min-listed-days"],
                   type=_bounded_integer("--min-listed-days", 0, 100000, "an integer number of trading dates"),
                   help="tradable step: leave out stocks listed fewer trading days, 0 for none (default 60)")
    p.add_argument("--universe", default=_DEFAULTS["--universe"], help="tradable step: keep members of this index on each date, "
                   "e.g. 000300.XSHG (default none)")
    p.add_argument("--ascending", action="store_true", help="lower factor values are better")
    p.add_argument("--title", help="title of the tear sheet")
    p.add_argument("--no-report", action="store_true", help="print the summaries only")


def _cost_bps(text):
    try:
        value = float(text)
    except ValueError:
        value = None
    if value is None or not math.isfinite(value) or value < 0:
        raise UsageError("--cost-bps: expect a non-negative number of basis points per unit of one-way turnover "
                         "such as 10, got {!r}".format(text))
    return value


def _cost_option(p):
    p.add_argument("--cost-bps", type=_cost_bps, default=_DEFAULTS["--cost-bps"], metavar="X",
                   help="trading cost in basis points per unit of one-way turnover: the quantile and "
                   "factor-return steps also report returns net of it (default 0: gross only)")


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
        p.add_argument("-v", "--verbose", action="store_true", help="print every summary table, not just "
                       "the headline figures")
        p.add_argument("--save", metavar="DIR", help="also save every result table into DIR (read them "
                       "back with sigmora.load_results)")
        p.add_argument("--save-format", choices=("parquet", "csv"), default="parquet",
                       help="file format of --save (default parquet)")

    demo = sub.add_parser("demo", help="run the full factor test on the demo market",
                          description="Open (or build) the demo store, test its planted signal and a "
                          "5-day price reversal with the full pipeline at periods 1, 5, 10, 20, print "
                          "the summaries and write the tear sheet.")
    common(demo, "sigmora-demo")
    _cost_option(demo)
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
                          "scheduler given; print the leaderboard and write one tear sheet. A file that "
                          "cannot be read as a factor table, or a factor whose run fails, is reported as "
                          "that factor's failure while the others complete. Exit code 0 when at least one "
                          "factor completed; when none did, 2 if no file could be read, else 1.")
    many.add_argument("factor_files", nargs="*", metavar="FACTOR_FILES",
                      help="factor tables (.csv or .parquet) or folders holding them")
    many.add_argument("--alphas", metavar="LIST", help="also test the 101 Formulaic Alphas: 'all' or numbers "
                      "such as 1,12,101 (evaluated on all stocks of the store over the dates the factor "
                      "files share, or without files over --start/--end, by default the demo window)")
    common(many, "sigmora-report")
    _analysis_options(many)
    many.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler "
                      "(default: a local cluster, one worker process per core)")
    return parser
