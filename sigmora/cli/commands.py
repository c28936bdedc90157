"""The commands: ``demo``, ``run`` and ``run-many``.  Each takes the parsed options and the
output streams and returns the exit code."""

import os
import re
import time

import pandas as pd
import warnings

from sigmora.analysis import registry
from sigmora.cli.demo_factors import DEFAULT_PERIODS, DEMO_BENCHMARK, DEMO_STEPS, demo_factors, demo_window
from sigmora.cli.errors import UsageError
from sigmora.cli.factor_files import factor_files, factor_from_file, known_columns, price_span, within_prices
from sigmora.cli.options import (build_steps, checked_benchmark, chosen_steps, date_option, date_window,
                                 steps_from_options)
from sigmora.cli.output import (check_out_option, check_save_option, print_leaderboard, print_results,
                                save_results_to, write_tear_sheet)
from sigmora.cli.progress import Progress, run_pipeline
from sigmora.cli.rests_on import rests_on

__all__ = ["cmd_demo", "cmd_run", "cmd_run_many", "COMMANDS"]


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
    try:
        tidewell.init(path)
    except (tidewell.NotAStoreError, tidewell.EmptyStoreError) as exc:
        # A path to something other than a store is a bad option, like a path to nothing.
        raise UsageError("--store: {}".format(exc)) from None
    return path


def _require_demo_store(store):
    """The demo tests the demo market's planted signal: refuse a store of other data plainly."""
    import tidewell
    if "planted" not in tidewell.factor_names():
        raise UsageError("--store: the demo needs a demo store (one built by `tidewell build-demo` or "
                         "the default one); {} holds no 'planted' signal. To test a factor on this "
                         "store: sigmora run FACTOR_FILE --store {}".format(store, store))


def _rows_per_year(factor, frequency, name, err):
    """Rows per year that annualise the factor's summaries (--frequency, else measured from its
    dates) and how they were found, for the tear sheet."""
    from sigmora.analysis import statistics
    measured = statistics.row_spacing(factor.index)
    if frequency is None:
        per_year = statistics.periods_per_year(factor.index)
        return per_year, "{} rows, {:g} a year (measured from the dates)".format(measured or "irregular", per_year)
    if frequency == "intraday" and measured != "intraday":
        raise UsageError("--frequency intraday: the rows of {} are dates at midnight, not intraday times; leave "
                         "--frequency out or state their spacing".format(name))
    per_year = statistics.rows_per_year(frequency, factor.index)
    if measured is not None and measured != frequency:
        print("sigmora: {}: --frequency {}, though its rows are spaced {} by their dates; annualising with {:g} rows "
              "a year as stated".format(name, frequency, measured, per_year), file=err)
    return per_year, "{} rows, {:g} a year (--frequency)".format(frequency, per_year)


def _annualise(results, per_year):
    """Every record of ``results`` annualises its summaries with ``per_year`` rows a year."""
    for value in results.values():
        if hasattr(value, "summary"):
            value.periods_per_year = per_year
    return results


def cmd_demo(args, out, err):
    check_out_option(args.out)
    check_save_option(args.save)
    date_window(args)
    progress = Progress(err, enabled=not args.quiet, verbose=args.verbose)
    t0 = time.perf_counter()
    store = _select_store(args.store, progress, build_if_missing=True)
    _require_demo_store(store)
    periods = DEFAULT_PERIODS
    start, end = demo_window(store, max(periods))
    if args.start:
        start = date_option(args.start, "--start")
    if args.end:
        end = date_option(args.end, "--end")
    if start >= end:
        raise UsageError("--start/--end: expect start before end, got {} and {}".format(start.date(), end.date()))
    progress.begin("demo factors {} to {}".format(start.date(), end.date()))
    factors = demo_factors(start, end)
    progress.end()
    results, tables = {}, {}
    variants = [("", None)]
    if args.tradable:
        variants.append((" (tradable)", ("tradable",) + registry.default_names(registry.PREPROCESS)))
    for name, factor in factors.items():
        for suffix, preprocess in variants:
            label = name + suffix
            steps = build_steps(preprocess, benchmark=DEMO_BENCHMARK, cost_bps=args.cost_bps)
            results[label] = run_pipeline(factor, steps, periods, ascending=False, progress=progress, label=label)
            tables[label] = factor
            print_results(results[label], label, out, args.verbose)
    if args.tradable:
        from sigmora.analysis.leaderboard import leaderboard
        print_leaderboard(leaderboard(results), out)
    save_results_to(results, args, out)
    description = {
        "store": store, "factor dates": "{} to {}".format(start.date(), end.date()),
        "instruments": max(f.shape[1] for f in factors.values()),
        "steps": DEMO_STEPS + ("; the (tradable) runs start with TradableUniverse()" if args.tradable else ""),
        "periods": ", ".join(map(str, periods)),
    }
    description.update(_holding_description(args))
    path = write_tear_sheet(results, args.out, "sigmora-demo", "sigmora demo: factor tear sheet", description,
                            progress, factors=tables)
    print("\nTear sheet: {}".format(path), file=out)
    if not args.quiet:
        print("Finished in {:.1f}s.".format(time.perf_counter() - t0), file=err)
    return 0


def _holding_description(args):
    """Tear-sheet lines for the group weighting and trading cost, when they are not the defaults."""
    lines = {}
    if getattr(args, "quantile_weights", "equal") != "equal":
        lines["quantile weights"] = args.quantile_weights
    if getattr(args, "cost_bps", 0):
        lines["trading cost"] = "{:g} bps per unit of one-way turnover".format(args.cost_bps)
    return lines


def cmd_run(args, out, err):
    progress = Progress(err, enabled=not args.quiet, verbose=args.verbose)
    periods, preprocess, analyses = steps_from_options(args)
    if not args.no_report:
        check_out_option(args.out)
    check_save_option(args.save)
    factor = factor_from_file(args.factor_file, args, err)
    per_year, spacing = _rows_per_year(factor, args.frequency, args.factor_file, err)
    store = _select_store(args.store, progress)
    factor = within_prices(known_columns(factor, err), args.factor_file, price_span())
    benchmark = checked_benchmark(args, preprocess + analyses)
    steps = chosen_steps(args, preprocess, analyses, benchmark)
    label = os.path.splitext(os.path.basename(args.factor_file))[0]
    results = run_pipeline(factor, steps, periods, ascending=args.ascending, progress=progress, label=label)
    print_results(_annualise(results, per_year), label, out, args.verbose)
    save_results_to(results, args, out)
    if args.no_report:
        return 0
    description = {
        "factor file": os.path.abspath(args.factor_file), "store": store,
        "factor dates": "{} to {} ({} rows)".format(factor.index[0].date(), factor.index[-1].date(), len(factor)),
        "instruments": factor.shape[1],
        "row spacing": spacing,
        "steps": ", ".join("{} ({})".format(n, type(s).__name__) for n, s in steps),
        "periods": ", ".join(map(str, periods)),
        "sort direction": "ascending (lower is better)" if args.ascending else "descending (higher is better)",
    }
    description.update(_holding_description(args))
    path = write_tear_sheet(results, args.out, "sigmora-report", args.title or "Factor tear sheet: {}".format(label),
                            description, progress)
    print("\nTear sheet: {}".format(path), file=out)
    return 0


def _read_many(files, args, err):
    """The factor tables of ``files`` (name -> path) within --start/--end, and the failures of
    those that cannot be read (or hold no row in the window), by name."""
    from sigmora.batch import FactorFailure
    tables, failures = {}, {}
    for name, path in files.items():
        try:
            tables[name] = factor_from_file(path, args, err)
        except UsageError as exc:
            failures[name] = FactorFailure(name, exc, str(exc))
    return tables, failures


def _checked_many(tables, files, args, err, span):
    """The tables on the store's instruments, the rows per year that annualise each, and the
    failures of those with no instrument of the store, no date within its prices (`span`) or a
    --frequency their dates refute."""
    from sigmora.batch import FactorFailure
    factors, per_year, failures = {}, {}, {}
    for name, table in tables.items():
        try:
            factors[name] = within_prices(known_columns(table, err, files[name]), files[name], span)
            per_year[name] = _rows_per_year(table, args.frequency, files[name], err)[0]
        except UsageError as exc:
            factors.pop(name, None)
            failures[name] = FactorFailure(name, exc, str(exc))
    return factors, per_year, failures


def _warn_periods(factors, periods, engine, err):
    """What P_n means for each factor whose rows do not fit the periods, said before the runs
    start, against the trading dates the daily returns will hold; returns the warnings said
    (name: text), which the runs' own need not repeat."""
    from sigmora.analysis import _horizons, _market
    said = []
    for name, factor in factors.items():
        try:
            dates = _market.trading_date_index(factor.index[0], factor.index[-1])
        except Exception:  # noqa: BLE001 - the run reports a calendar it cannot serve
            continue
        text = _horizons.period_mismatch(factor.index, dates, periods, engine.analysis_pipelines)
        if text is not None:
            said.append("{}: {}".format(name, text))
            print("sigmora: warning: {}".format(said[-1]), file=err)
    return said


def cmd_run_many(args, out, err):
    from sigmora.batch import BatchResult, run_many
    progress = Progress(err, enabled=not args.quiet, verbose=args.verbose)
    periods, preprocess, analyses = steps_from_options(args)
    if args.alphas is not None and not args.alphas.strip():
        raise UsageError("--alphas: the list is empty; expect 'all' or alpha numbers such as 1,12,101")
    if not args.factor_files and not args.alphas:
        raise UsageError("run-many: give FACTOR_FILES, --alphas, or both")
    if not args.no_report:
        check_out_option(args.out)
    check_save_option(args.save)
    files = factor_files(args.factor_files) if args.factor_files else {}
    tables, unreadable = _read_many(files, args, err)
    store = _select_store(args.store, progress)
    span = price_span()
    factors, per_year, misfits = _checked_many(tables, files, args, err, span)
    unreadable.update(misfits)
    window = _alpha_window(args, store, periods, factors, files, per_year, err, span)
    benchmark = checked_benchmark(args, preprocess + analyses)
    engine = registry.make_engine(chosen_steps(args, preprocess, analyses, benchmark))
    said = _warn_periods(factors, periods, engine, err)
    ran = {}
    if factors:
        client = args.scheduler
        if client is not None:
            from sigmora.batch import _connect
            try:
                client, _ = _connect(client)
            except ConnectionError as exc:
                raise UsageError("--scheduler: {}".format(exc)) from None
        with warnings.catch_warnings():
            # The runs' warnings reach the user as "sigmora: warning: <factor>: ..." lines (main's
            # printer); the failures are reported below, what P_n means was said above.
            warnings.filterwarnings("ignore", message=r"\d+ of \d+ factors completed", category=UserWarning)
            for text in said:
                warnings.filterwarnings("ignore", message=re.escape(text) + r"\Z")
            ran = run_many(engine, factors, periods=periods, ascending=args.ascending, client=client,
                           progress=not args.quiet, **window)
        if args.scheduler is not None:
            client.close()
    batch = BatchResult((name, ran[name] if name in ran else unreadable[name]) for name in files)
    for name, results in batch.succeeded.items():
        _annualise(results, per_year[name])
    print(batch.report(), file=out)
    for name, results in batch.succeeded.items():
        print("{} {}".format(name, rests_on(results)), file=out)
    for name, failure in batch.failures.items():
        if name not in unreadable:  # the report gave the whole message of a file's failure
            print("\n--- {} ---\n{}".format(name, failure.traceback), file=err)
    print_leaderboard(batch.leaderboard(), out)
    save_results_to(batch, args, out)
    if not args.no_report and batch.succeeded:
        description = {"factor files": ", ".join(v for v in files.values() if not v.startswith("alpha ")) or "none",
                       "store": store,
                       "periods": ", ".join(map(str, periods)),
                       "rows per year": ", ".join("{} {:g}".format(n, per_year[n]) for n in batch.succeeded)}
        description.update(_holding_description(args))
        if batch.failures:
            description["failed"] = ", ".join(batch.failures)
        tables_for_report = dict(factors)
        tables_for_report.update(_expression_tables(factors, batch.succeeded, window, progress, err))
        path = write_tear_sheet(batch.succeeded, args.out, "sigmora-report", args.title or "Factor leaderboard",
                                description, progress, factors=tables_for_report)
        print("\nTear sheet: {}".format(path), file=out)
    if batch.succeeded:
        return 0
    # Nothing completed: 2 when no file could be read as a factor table, else 1.
    return 2 if len(unreadable) == len(batch) else 1


# The tear sheet's value correlation needs every factor's table at once; expressions (the
# alphas) ran on the workers, so they are evaluated again here, when their tables fit this.
EXPRESSION_TABLE_BYTES = 2 << 30


def _expression_tables(factors, succeeded, window, progress, err):
    """Tables of the completed factors given as expressions, over the window they ran on, for
    the tear sheet's value correlation; none (and a line saying why) when together they
    would take more than EXPRESSION_TABLE_BYTES."""
    from sigmora.analysis import _market
    from sigmora.evaluation import evaluate_many
    from sigmora.interface import AbstractFactor
    wanted = {name: factors[name] for name in succeeded if isinstance(factors.get(name), AbstractFactor)}
    if len(succeeded) < 2 or not wanted or not window:
        return {}
    ids = window["order_book_ids"]
    dates = _market.trading_date_index(window["start_date"], window["end_date"])
    # Every result is held at once, beside the data they are computed from (with their history).
    leaves = {id(leaf) for factor in wanted.values() for leaf in factor.dependencies}
    history = max(factor.shift for factor in wanted.values())
    size = (len(wanted) * len(dates) + len(leaves) * (len(dates) + history)) * len(ids) * 8
    if size > EXPRESSION_TABLE_BYTES:
        print("sigmora: the tear sheet leaves {} alphas out of the value correlation: their tables and the data "
              "they are computed from would take {:.1f} GB here (at most {:.1f} GB); ask for fewer alphas or a "
              "shorter window to see it".format(
                  len(wanted), size / 2 ** 30, EXPRESSION_TABLE_BYTES / 2 ** 30), file=err)
        return {}
    progress.begin("evaluating {} alphas again for the value correlation".format(len(wanted)))
    try:
        tables = evaluate_many(wanted, ids, window["start_date"], window["end_date"], errors="return")
    finally:
        progress.end()
    return {name: t for name, t in tables.items() if isinstance(t, pd.DataFrame)}


def _alpha_window(args, store, periods, factors, files, per_year, err, span):
    """Adds the alphas of --alphas to `factors` as expressions (and to `files` under their
    names); returns what run_many evaluates them on: all stocks over the dates the factor
    tables share (so that one leaderboard compares factors over one span), else over
    --start/--end, else the demo window, which must meet the store's prices (`span`)."""
    if not args.alphas:
        return {}
    from sigmora.alphas import alpha, select
    from sigmora.cli.demo_factors import _stock_ids as stock_ids
    try:
        names = select(args.alphas)
    except ValueError as exc:
        raise UsageError("--alphas: {}".format(exc)) from None
    taken = sorted(set(names) & set(files))
    if taken:
        raise UsageError("--alphas: a factor file is already named {!r}".format(taken[0]))
    tables = list(factors.values())
    start = max((t.index[0] for t in tables), default=None)
    end = min((t.index[-1] for t in tables), default=None)
    if tables and start <= end:
        print("sigmora: --alphas: evaluated from {} to {}, the dates the factor files share".format(
            start.date(), end.date()), file=err)
    else:
        if tables:
            print("sigmora: warning: --alphas: the factor files share no date, so the alphas are evaluated over "
                  "--start/--end or the demo window; the leaderboard compares factors over different dates",
                  file=err)
        default_start, default_end = demo_window(store, max(periods))
        start = date_option(args.start, "--start") if args.start else default_start
        end = date_option(args.end, "--end") if args.end else default_end
        from sigmora.analysis import _market
        if len(_market.trading_date_index(start, end)) == 0:
            raise UsageError("--start/--end: no trading date from {} to {} in the store's calendar; give a "
                             "window that holds trading dates".format(pd.Timestamp(start).date(),
                                                                      pd.Timestamp(end).date()))
        if span is not None and (pd.Timestamp(end) < span[0] or pd.Timestamp(start) > span[1]):
            raise UsageError("--start/--end: {} to {} lies {} the store's prices ({} to {}); give a window within "
                             "them, or a store that holds prices for it (--store)".format(
                                 pd.Timestamp(start).date(), pd.Timestamp(end).date(),
                                 "before" if pd.Timestamp(end) < span[0] else "after",
                                 span[0].date(), span[1].date()))
    for name in names:
        factors[name] = alpha(name)
        files[name] = "alpha {}".format(name)
        per_year[name] = 252.0
    return {"order_book_ids": stock_ids(), "start_date": pd.Timestamp(start), "end_date": pd.Timestamp(end)}


COMMANDS = {"demo": cmd_demo, "run": cmd_run, "run-many": cmd_run_many}
