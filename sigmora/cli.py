"""The ``sigmora`` command: run a full factor test and write the HTML tear sheet.

    sigmora demo [--out DIR]            the demo market's planted signal and a price reversal
    sigmora run FACTOR_FILE [options]   a factor table of your own (CSV or Parquet, dates x ids)
    sigmora run-many FILES... [--scheduler ADDRESS]   many factor tables on Dask workers
    sigmora run-many --alphas all|1,12,...     the 101 Formulaic Alphas (with or without FILES)

Exit codes: 0 success, 2 bad options or input files, 1 a failure while the test ran.
Progress goes to stderr, summaries to stdout.
"""

import argparse
import contextlib
import os
import sys
import time
import warnings

import pandas as pd

__all__ = ["main"]

DEFAULT_PERIODS = (1, 5, 10, 20)
DEMO_BENCHMARK = "000300.XSHG"
PREPROCESS_CHOICES = ("winsorize", "neutralize", "normalize")
ANALYSIS_CHOICES = ("ic", "quantile", "factor_return")
REVERSAL_DAYS = 5


class UsageError(Exception):
    """A bad option or input file: reported without a traceback, exit code 2."""


# ----------------------------------------------------------------------------- progress

class Progress:
    """Stage lines on stderr: the stage's name when it starts, its duration when it ends."""

    def __init__(self, stream=None, enabled=True):
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self._label = None
        self._t0 = None

    def begin(self, label):
        self.end()
        self._label, self._t0 = label, time.perf_counter()
        if self.enabled:
            print("  {} ...".format(label), file=self.stream, flush=True)

    def end(self):
        if self._label is not None and self.enabled:
            print("  {} done in {:.1f}s".format(self._label, time.perf_counter() - self._t0),
                  file=self.stream, flush=True)
        self._label = None


def _timed_steps(steps, progress, prefix):
    """Wrap step objects so that the engine's calls into them report their stage.

    The engine recognises a step by its base class, so each wrapper derives from the base of the
    step it wraps and forwards the call unchanged.
    """
    from sigmora.analysis.varodyne import FactorAnalyser, FactorPreprocessor

    class TimedPreprocessor(FactorPreprocessor):
        def __init__(self, step, label):
            self.step, self.label = step, label

        def process(self, factor_data):
            progress.begin(self.label)
            try:
                return self.step.process(factor_data)
            finally:
                progress.end()

    class TimedAnalyser(FactorAnalyser):
        def __init__(self, step, label):
            self.step, self.label = step, label

        def analysis(self, factor_data, returns, periods, ascending=True):
            self.step.step_name = self.step_name
            progress.begin(self.label)
            try:
                return self.step.analysis(factor_data, returns, periods, ascending=ascending)
            finally:
                progress.end()

    wrapped = []
    for name, step in steps:
        label = "{}{} ({})".format(prefix, name, type(step).__name__)
        cls = TimedPreprocessor if isinstance(step, FactorPreprocessor) else TimedAnalyser
        wrapped.append((name, cls(step, label)))
    return wrapped


def run_pipeline(factor, steps, periods, ascending=False, progress=None, label=""):
    """Run the engine over ``factor`` with ``steps`` (name, step) and daily returns; stages are
    reported to ``progress``.  Returns the engine's result dict."""
    from sigmora.analysis.varodyne import FactorVarodyne
    progress = progress or Progress(enabled=False)
    engine = FactorVarodyne()
    for step in _timed_steps(steps, progress, "[{}] ".format(label) if label else ""):
        engine.append(step)
    # The engine loads prices before the first step starts; that stage ends when a step begins.
    progress.begin("{}prices and daily returns".format("[{}] ".format(label) if label else ""))
    try:
        return engine.analysis(factor, "daily", ascending=ascending, periods=list(periods))
    finally:
        progress.end()


# ----------------------------------------------------------------------------- options

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


def _none_or(text):
    return None if text is None or text.lower() == "none" else text


def build_steps(preprocess=PREPROCESS_CHOICES, analyses=ANALYSIS_CHOICES, winsorize_method="mad",
                industry="citics_2019", max_decay=20, quantile=5, benchmark=DEMO_BENCHMARK):
    """The (name, step) pairs of a factor test, preprocessing first, in the order given."""
    from sigmora.analysis import varodyne as v
    makers = {
        "winsorize": lambda: v.Winzorization(method=winsorize_method),
        "neutralize": lambda: v.Neutralization(),
        "normalize": lambda: v.Normalization(),
        "ic": lambda: v.ICAnalysis(industry_classification=industry, max_decay=max_decay or None),
        "quantile": lambda: v.QuantileReturnAnalysis(quantile=quantile, benchmark=benchmark),
        "factor_return": lambda: v.FactorReturnAnalysis(),
    }
    return [(name, makers[name]()) for name in list(preprocess) + list(analyses)]


# ----------------------------------------------------------------------------- data

def _select_store(path, progress, build_if_missing=False):
    """Select the tidewell store at ``path`` (None: the current one, which tidewell builds on
    first use); returns the path in use."""
    import tidewell
    if path is None:
        progress.begin("opening the tidewell store")
        current = tidewell.current_path()
        progress.end()
        return current
    path = os.path.abspath(path)
    if not os.path.exists(path):
        if not build_if_missing:
            raise UsageError("--store: no tidewell store at {}".format(path))
        progress.begin("building the demo store at {}".format(path))
        tidewell.build_demo(path)
        progress.end()
    tidewell.init(path)
    return path


def _bar_range(store_path):
    import tidewell
    bars = tidewell.info(store_path)["tables"].get("daily_bars") or {}
    if not bars.get("first"):
        raise UsageError("--store: the store at {} holds no daily bars".format(store_path))
    return pd.Timestamp(bars["first"]), pd.Timestamp(bars["last"])


def demo_window(store_path, max_period):
    """Factor dates that fit the store's bars: from a year after the first bar (ten dates for
    stores shorter than two years) to the last month end whose forward returns over
    ``max_period`` dates still lie inside the bars."""
    import tidewell
    first, last = _bar_range(store_path)
    dates = pd.DatetimeIndex(tidewell.get_trading_dates(first, last))
    if len(dates) < max_period + 60:
        raise UsageError("--store: {} trading dates of bars are too few for periods up to {}".format(
            len(dates), max_period))
    if last - first > pd.Timedelta(days=2 * 365):
        start = dates[dates.searchsorted(first + pd.DateOffset(years=1))]
    else:
        start = dates[10]
    last_usable = dates[-(max_period + 1)]
    end = dates[dates < last_usable.replace(day=1)][-1]
    return start, end


def _stock_ids():
    import tidewell
    table = tidewell.all_instruments(type="CS")
    return sorted(table["order_book_id"].tolist())


def reversal_factor(days=REVERSAL_DAYS):
    """Minus the ``days``-day return of post-adjusted closes, as a factor expression."""
    from sigmora.evaluation import lag
    from sigmora.leaves import bar_field
    close = bar_field("close", adjust_type="post")
    return (lag(close, days) - close) / lag(close, days)


def demo_factors(start, end):
    """The planted signal of the demo market and the 5-day price reversal, dates x stocks."""
    import tidewell
    from sigmora.evaluation import evaluate
    ids = _stock_ids()
    planted = tidewell.get_signal(ids, start, end)
    if planted is None:
        raise UsageError("the store has no 'planted' signal between {} and {}".format(start.date(), end.date()))
    planted.index = pd.DatetimeIndex(planted.index)
    reversal = evaluate(reversal_factor(), ids, start, end)
    return {"planted": planted.astype(float), "reversal_{}d".format(REVERSAL_DAYS): reversal}


def read_factor_file(path):
    """A factor table from CSV (first column dates, header ids) or Parquet (a DatetimeIndex, or a
    "date"/"datetime" column).  Raises UsageError naming the problem."""
    if not os.path.isfile(path):
        raise UsageError("FACTOR_FILE: no such file: {}".format(path))
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext == ".csv":
            table = pd.read_csv(path, index_col=0)
        elif ext in (".parquet", ".pq"):
            table = pd.read_parquet(path)
            for col in ("datetime", "date"):
                if not isinstance(table.index, pd.DatetimeIndex) and col in table.columns:
                    table = table.set_index(col)
        else:
            raise UsageError("FACTOR_FILE: expect a .csv or .parquet file, got {}".format(path))
    except UsageError:
        raise
    except Exception as exc:  # the readers' own errors name the problem; keep their text
        raise UsageError("FACTOR_FILE: cannot read {}: {}".format(path, exc)) from None
    if table.empty:
        raise UsageError("FACTOR_FILE: {} holds no factor values".format(path))
    try:
        with warnings.catch_warnings():  # pandas warns when it has to guess the date format
            warnings.simplefilter("ignore", UserWarning)
            index = pd.DatetimeIndex(pd.to_datetime(table.index)).as_unit("ns")
    except (ValueError, TypeError):
        raise UsageError("FACTOR_FILE: the first column of {} must hold dates, got values such as {!r}".format(
            path, table.index[0])) from None
    if index.hasnans:
        raise UsageError("FACTOR_FILE: {} has rows without a date".format(path))
    if index.has_duplicates:
        raise UsageError("FACTOR_FILE: {} has repeated dates, e.g. {}".format(
            path, index[index.duplicated()][0].date()))
    bad = [c for c in table.columns if not pd.api.types.is_numeric_dtype(table[c])]
    if bad:
        raise UsageError("FACTOR_FILE: expect numeric factor values, columns {} of {} are not".format(
            [str(c) for c in bad[:5]], path))
    table = table.astype(float)
    table.index = index
    table.columns = [str(c) for c in table.columns]
    table.index.name, table.columns.name = "date", "order_book_id"
    return table.sort_index()


def _known_columns(table, err):
    import tidewell
    known = set(tidewell.all_instruments()["order_book_id"])
    unknown = [c for c in table.columns if c not in known]
    if len(unknown) == len(table.columns):
        raise UsageError("FACTOR_FILE: none of its {} columns is an instrument of the store "
                         "(e.g. {!r})".format(len(unknown), unknown[0]))
    if unknown:
        print("sigmora: {} of {} columns are not instruments of the store and are left out: {}{}".format(
            len(unknown), len(table.columns), ", ".join(unknown[:5]), " ..." if len(unknown) > 5 else ""),
            file=err)
    return table.drop(columns=unknown)


# ----------------------------------------------------------------------------- output

def _print_results(results, label, out):
    from sigmora.report import glance_table
    print("\n=== {} ===".format(label), file=out)
    for value in results.values():
        if hasattr(value, "to_text"):
            print("\n" + value.to_text(), file=out)
    glance = glance_table(results)
    if glance is not None:
        with pd.option_context("display.width", 160, "display.max_columns", 30,
                               "display.float_format", "{:.4f}".format):
            print("\n{} at a glance\n{}".format(label, glance.to_string()), file=out)


def _report_path(out_option, default_dir):
    target = out_option or default_dir
    if target.lower().endswith((".html", ".htm")):
        folder = os.path.dirname(os.path.abspath(target))
        os.makedirs(folder, exist_ok=True)
        return target
    os.makedirs(target, exist_ok=True)
    from sigmora.report import DEFAULT_FILE_NAME
    return os.path.join(target, DEFAULT_FILE_NAME)


def _write_report(results, out_option, default_dir, title, description, progress):
    from sigmora.report import write_report
    path = _report_path(out_option, default_dir)
    progress.begin("tear sheet")
    written = write_report(results, path, title=title, description=description)
    progress.end()
    return written


# ----------------------------------------------------------------------------- commands

def cmd_demo(args, out, err):
    progress = Progress(err, enabled=not args.quiet)
    t0 = time.perf_counter()
    store = _select_store(args.store, progress, build_if_missing=True)
    periods = DEFAULT_PERIODS
    start, end = demo_window(store, max(periods))
    if args.start:
        start = _date_option(args.start, "--start")
    if args.end:
        end = _date_option(args.end, "--end")
    if start >= end:
        raise UsageError("--start/--end: expect start before end, got {} and {}".format(start.date(), end.date()))
    progress.begin("demo factors {} to {}".format(start.date(), end.date()))
    factors = demo_factors(start, end)
    progress.end()
    results = {}
    for label, factor in factors.items():
        steps = build_steps(benchmark=DEMO_BENCHMARK)
        results[label] = run_pipeline(factor, steps, periods, ascending=False, progress=progress, label=label)
        _print_results(results[label], label, out)
    description = {
        "store": store, "factor dates": "{} to {}".format(start.date(), end.date()),
        "instruments": max(f.shape[1] for f in factors.values()),
        "steps": "Winzorization('mad'), Neutralization(), Normalization(), "
                 "ICAnalysis(industry_classification='citics_2019', max_decay=20), "
                 "QuantileReturnAnalysis(benchmark='000300.XSHG'), FactorReturnAnalysis()",
        "periods": ", ".join(map(str, periods)),
    }
    path = _write_report(results, args.out, "sigmora-demo", "sigmora demo: factor tear sheet", description,
                         progress)
    print("\nTear sheet: {}".format(path), file=out)
    if not args.quiet:
        print("Finished in {:.1f}s.".format(time.perf_counter() - t0), file=err)
    return 0


def _steps_from_options(args):
    """Periods and (name, step) pairs chosen by the options shared by `run` and `run-many`."""
    periods = _parse_periods(args.periods)
    preprocess = _parse_list(args.preprocess, PREPROCESS_CHOICES, "--preprocess")
    analyses = _parse_list(args.analysis, ANALYSIS_CHOICES, "--analysis")
    if not analyses:
        raise UsageError("--analysis: expect at least one of {}".format(",".join(ANALYSIS_CHOICES)))
    if args.quantiles < 2:
        raise UsageError("--quantiles: expect an integer of at least 2, got {}".format(args.quantiles))
    if args.max_decay < 0:
        raise UsageError("--max-decay: expect a non-negative integer, got {}".format(args.max_decay))
    from sigmora.analysis.varodyne import VALID_WINSORIZE_METHODS
    if args.winsorize_method not in VALID_WINSORIZE_METHODS:
        raise UsageError("--winsorize-method: expect one of {}, got {!r}".format(
            sorted(VALID_WINSORIZE_METHODS), args.winsorize_method))
    return periods, preprocess, analyses


def _checked_benchmark(args, analyses):
    benchmark = _none_or(args.benchmark)
    if benchmark is not None and "quantile" in analyses:
        import tidewell
        record = tidewell.instruments(benchmark)
        if record is None or record.type != "INDX":
            raise UsageError("--benchmark: expect the order_book_id of an index in the store, got {!r}".format(
                benchmark))
    return benchmark


def _factor_from_file(path, args, err):
    factor = read_factor_file(path)
    if args.start:
        factor = factor.loc[_date_option(args.start, "--start"):]
    if args.end:
        factor = factor.loc[:_date_option(args.end, "--end")]
    if factor.empty:
        raise UsageError("--start/--end: no rows of FACTOR_FILE are left in the window ({})".format(path))
    return factor


def _build_chosen_steps(args, preprocess, analyses, benchmark):
    return build_steps(preprocess, analyses, winsorize_method=args.winsorize_method,
                       industry=_none_or(args.industry), max_decay=args.max_decay,
                       quantile=args.quantiles, benchmark=benchmark)


def cmd_run(args, out, err):
    progress = Progress(err, enabled=not args.quiet)
    periods, preprocess, analyses = _steps_from_options(args)
    factor = _factor_from_file(args.factor_file, args, err)
    store = _select_store(args.store, progress)
    factor = _known_columns(factor, err)
    benchmark = _checked_benchmark(args, analyses)
    steps = _build_chosen_steps(args, preprocess, analyses, benchmark)
    label = os.path.splitext(os.path.basename(args.factor_file))[0]
    results = run_pipeline(factor, steps, periods, ascending=args.ascending, progress=progress, label=label)
    _print_results(results, label, out)
    if args.no_report:
        return 0
    description = {
        "factor file": os.path.abspath(args.factor_file), "store": store,
        "factor dates": "{} to {} ({} rows)".format(factor.index[0].date(), factor.index[-1].date(), len(factor)),
        "instruments": factor.shape[1],
        "steps": ", ".join("{} ({})".format(n, type(s).__name__) for n, s in steps),
        "periods": ", ".join(map(str, periods)),
        "sort direction": "ascending (lower is better)" if args.ascending else "descending (higher is better)",
    }
    path = _write_report(results, args.out, "sigmora-report", args.title or "Factor tear sheet: {}".format(label),
                         description, progress)
    print("\nTear sheet: {}".format(path), file=out)
    return 0


FACTOR_FILE_SUFFIXES = (".csv", ".parquet", ".pq")


def _factor_files(paths):
    """The factor files named, a folder standing for the factor files directly inside it."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = sorted(os.path.join(path, f) for f in os.listdir(path) if f.lower().endswith(FACTOR_FILE_SUFFIXES))
            if not found:
                raise UsageError("FACTOR_FILES: the folder {} holds no .csv or .parquet file".format(path))
            files += found
        else:
            files.append(path)
    names = [os.path.splitext(os.path.basename(f))[0] for f in files]
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise UsageError("FACTOR_FILES: two files give the factor name {!r}; rename one".format(repeated[0]))
    return dict(zip(names, files))


def cmd_run_many(args, out, err):
    from sigmora.analysis.varodyne import FactorVarodyne
    from sigmora.batch import run_many
    progress = Progress(err, enabled=not args.quiet)
    periods, preprocess, analyses = _steps_from_options(args)
    if not args.factor_files and not args.alphas:
        raise UsageError("run-many: give FACTOR_FILES, --alphas, or both")
    files = _factor_files(args.factor_files)
    factors = {name: _factor_from_file(path, args, err) for name, path in files.items()}
    store = _select_store(args.store, progress)
    factors = {name: _known_columns(table, err) for name, table in factors.items()}
    window = _alpha_window(args, store, periods, factors)
    benchmark = _checked_benchmark(args, analyses)
    engine = FactorVarodyne()
    for step in _build_chosen_steps(args, preprocess, analyses, benchmark):
        engine.append(step)
    client = args.scheduler
    if client is not None:
        from sigmora.batch import _connect
        try:
            client, _ = _connect(client)
        except ConnectionError as exc:
            raise UsageError("--scheduler: {}".format(exc)) from None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # failures are reported below
        batch = run_many(engine, factors, periods=periods, ascending=args.ascending, client=client,
                         progress=not args.quiet, **window)
    if args.scheduler is not None:
        client.close()
    print(batch.report(), file=out)
    for name, failure in batch.failures.items():
        print("\n--- {} ---\n{}".format(name, failure.traceback), file=err)
    board = batch.leaderboard()
    if board.shape[1]:
        with pd.option_context("display.width", 200, "display.max_columns", 40,
                               "display.float_format", "{:.4f}".format):
            print("\nLeaderboard\n{}".format(board.to_string()), file=out)
    if not args.no_report and batch.succeeded:
        description = {"factor files": ", ".join(files.values()) or "none", "store": store,
                       "periods": ", ".join(map(str, periods))}
        if args.alphas:
            description["alphas"] = "{} ({} to {})".format(args.alphas, window["start_date"].date(),
                                                           window["end_date"].date())
        path = _write_report(batch.succeeded, args.out, "sigmora-report", args.title or "Factor leaderboard",
                             description, progress)
        print("\nTear sheet: {}".format(path), file=out)
    return 1 if batch.failures else 0


def _alpha_window(args, store, periods, factors):
    """Adds the alphas of --alphas to `factors` as expressions; returns the instruments and
    dates run_many evaluates them on (all stocks; --start/--end, else the demo window)."""
    if not args.alphas:
        return {}
    from sigmora.alphas import alpha, select
    try:
        names = select(args.alphas)
    except ValueError as exc:
        raise UsageError("--alphas: {}".format(exc)) from None
    taken = sorted(set(names) & set(factors))
    if taken:
        raise UsageError("--alphas: a factor file is already named {!r}".format(taken[0]))
    default_start, default_end = demo_window(store, max(periods))
    start = _date_option(args.start, "--start") if args.start else default_start
    end = _date_option(args.end, "--end") if args.end else default_end
    factors.update((name, alpha(name)) for name in names)
    return {"order_book_ids": _stock_ids(), "start_date": pd.Timestamp(start), "end_date": pd.Timestamp(end)}


def _date_option(text, option):
    try:
        return pd.Timestamp(text)
    except (ValueError, TypeError):
        raise UsageError("{}: expect a date such as 2021-06-30, got {!r}".format(option, text)) from None


class _Parser(argparse.ArgumentParser):
    """argparse that raises UsageError instead of exiting, so main() owns the exit code."""

    def error(self, message):
        raise UsageError(message)


def _analysis_options(p):
    p.add_argument("--periods", default="1,5,10,20", help="holding periods in rows (default 1,5,10,20)")
    p.add_argument("--preprocess", default=",".join(PREPROCESS_CHOICES),
               help="preprocessing steps in order, subset of {} or none (default: all)".format(
                   ",".join(PREPROCESS_CHOICES)))
    p.add_argument("--analysis", default=",".join(ANALYSIS_CHOICES),
               help="analysis steps, subset of {} (default: all)".format(",".join(ANALYSIS_CHOICES)))
    p.add_argument("--winsorize-method", default="mad", help="mad, std, percentile or none (default mad)")
    p.add_argument("--industry", default="citics_2019",
               help="industry classification for the per-industry IC: citics_2019, sws or none")
    p.add_argument("--max-decay", type=int, default=20, help="IC decay steps, 0 for none (default 20)")
    p.add_argument("--quantiles", type=int, default=5, help="number of quantile groups (default 5)")
    p.add_argument("--benchmark", default=DEMO_BENCHMARK, help="benchmark index, or none (default "
               "{})".format(DEMO_BENCHMARK))
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
    many.add_argument("factor_files", nargs="*", metavar="FACTOR_FILES",
                      help="factor tables (.csv or .parquet) or folders holding them")
    many.add_argument("--alphas", metavar="LIST", help="also test the 101 Formulaic Alphas: 'all' or numbers "
                      "such as 1,12,101 (evaluated on all stocks of the store over --start/--end, by "
                      "default the demo window)")
    common(many, "sigmora-report")
    _analysis_options(many)
    many.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler "
                      "(default: a local cluster, one worker process per core)")
    return parser


def main(argv=None, out=None, err=None):
    """Entry point of the ``sigmora`` command; returns the exit code."""
    out = out if out is not None else sys.stdout
    err = err if err is not None else sys.stderr
    parser = build_parser()
    args = None
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):  # --help, --version
            args = parser.parse_args(argv)
        if args.command is None:
            parser.print_help(out)
            return 2
        command = {"demo": cmd_demo, "run": cmd_run, "run-many": cmd_run_many}[args.command]
        with warnings.catch_warnings():
            warnings.simplefilter("default")
            return command(args, out, err)
    except UsageError as exc:
        print("sigmora: error: {}".format(exc), file=err)
        return 2
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except KeyboardInterrupt:
        print("sigmora: interrupted", file=err)
        return 130
    except Exception as exc:
        if args is not None and args.debug:
            raise
        print("sigmora: error: {}: {}".format(type(exc).__name__, exc), file=err)
        print("(run with --debug for the full traceback)", file=err)
        return 1
