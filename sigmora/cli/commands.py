"""The commands: ``demo``, ``run`` and ``run-many``.  Each takes the parsed options and the
output streams and returns the exit code."""

import os
import time
import warnings

from sigmora.analysis import registry
from sigmora.cli.demo_factors import DEFAULT_PERIODS, DEMO_BENCHMARK, DEMO_STEPS, demo_factors, demo_window
from sigmora.cli.errors import UsageError
from sigmora.cli.factor_files import factor_files, factor_from_file, known_columns
from sigmora.cli.options import build_steps, checked_benchmark, chosen_steps, date_option, steps_from_options
from sigmora.cli.output import print_leaderboard, print_results, write_tear_sheet
from sigmora.cli.progress import Progress, run_pipeline

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
    tidewell.init(path)
    return path


def _require_demo_store(store):
    """The demo tests the demo market's planted signal: refuse a store of other data plainly."""
    import tidewell
    if "planted" not in tidewell.factor_names():
        raise UsageError("--store: the demo needs a demo store (one built by `tidewell build-demo` or "
                         "the default one); {} holds no 'planted' signal. To test a factor on this "
                         "store: sigmora run FACTOR_FILE --store {}".format(store, store))


def cmd_demo(args, out, err):
    progress = Progress(err, enabled=not args.quiet)
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
    results = {}
    variants = [("", None)]
    if args.tradable:
        variants.append((" (tradable)", ("tradable",) + registry.default_names(registry.PREPROCESS)))
    for name, factor in factors.items():
        for suffix, preprocess in variants:
            label = name + suffix
            steps = build_steps(preprocess, benchmark=DEMO_BENCHMARK)
            results[label] = run_pipeline(factor, steps, periods, ascending=False, progress=progress, label=label)
            print_results(results[label], label, out)
    if args.tradable:
        from sigmora.analysis.leaderboard import leaderboard
        print_leaderboard(leaderboard(results), out)
    description = {
        "store": store, "factor dates": "{} to {}".format(start.date(), end.date()),
        "instruments": max(f.shape[1] for f in factors.values()),
        "steps": DEMO_STEPS + ("; the (tradable) runs start with TradableUniverse()" if args.tradable else ""),
        "periods": ", ".join(map(str, periods)),
    }
    path = write_tear_sheet(results, args.out, "sigmora-demo", "sigmora demo: factor tear sheet", description,
                            progress)
    print("\nTear sheet: {}".format(path), file=out)
    if not args.quiet:
        print("Finished in {:.1f}s.".format(time.perf_counter() - t0), file=err)
    return 0


def cmd_run(args, out, err):
    progress = Progress(err, enabled=not args.quiet)
    periods, preprocess, analyses = steps_from_options(args)
    factor = factor_from_file(args.factor_file, args)
    store = _select_store(args.store, progress)
    factor = known_columns(factor, err)
    benchmark = checked_benchmark(args, preprocess + analyses)
    steps = chosen_steps(args, preprocess, analyses, benchmark)
    label = os.path.splitext(os.path.basename(args.factor_file))[0]
    results = run_pipeline(factor, steps, periods, ascending=args.ascending, progress=progress, label=label)
    print_results(results, label, out)
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
    path = write_tear_sheet(results, args.out, "sigmora-report", args.title or "Factor tear sheet: {}".format(label),
                            description, progress)
    print("\nTear sheet: {}".format(path), file=out)
    return 0


def cmd_run_many(args, out, err):
    from sigmora.batch import run_many
    progress = Progress(err, enabled=not args.quiet)
    periods, preprocess, analyses = steps_from_options(args)
    files = factor_files(args.factor_files)
    factors = {name: factor_from_file(path, args) for name, path in files.items()}
    store = _select_store(args.store, progress)
    factors = {name: known_columns(table, err) for name, table in factors.items()}
    benchmark = checked_benchmark(args, preprocess + analyses)
    engine = registry.make_engine(chosen_steps(args, preprocess, analyses, benchmark))
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
                         progress=not args.quiet)
    if args.scheduler is not None:
        client.close()
    print(batch.report(), file=out)
    for name, failure in batch.failures.items():
        print("\n--- {} ---\n{}".format(name, failure.traceback), file=err)
    print_leaderboard(batch.leaderboard(), out)
    if not args.no_report and batch.succeeded:
        description = {"factor files": ", ".join(files.values()), "store": store,
                       "periods": ", ".join(map(str, periods))}
        path = write_tear_sheet(batch.succeeded, args.out, "sigmora-report", args.title or "Factor leaderboard",
                                description, progress)
        print("\nTear sheet: {}".format(path), file=out)
    return 1 if batch.failures else 0


COMMANDS = {"demo": cmd_demo, "run": cmd_run, "run-many": cmd_run_many}
