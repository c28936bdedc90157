"""The ``sigmora`` command: run a full factor test and write the HTML tear sheet.

    sigmora demo [--out DIR]            the demo market's planted signal and a price reversal
    sigmora run FACTOR_FILE [options]   a factor table of your own (CSV or Parquet, dates x ids)
    sigmora run-many FILES... [--scheduler ADDRESS]   many factor tables on Dask workers

Exit codes: 0 success, 2 bad options or input files, 1 a failure while the test ran.  For
`run-many` an unreadable file or a failing run is that factor's failure: 0 when at least one
factor completed; when none did, 2 if no file could be read, else 1.
Progress goes to stderr, summaries to stdout.

The package by concern: `options` (the parser, options to periods, dates and steps),
`commands` (one function per command), `progress` (stage lines, the timed engine run),
`factor_files` (reading and checking factor tables), `demo_factors` (the demo's window and
factors), `output` (summaries, leaderboard and tear sheet).  The steps the options name are
those of `sigmora.analysis.registry`.
"""

import contextlib
import sys
import warnings

from sigmora.cli.commands import COMMANDS, cmd_demo, cmd_run, cmd_run_many  # noqa: F401
from sigmora.cli.demo_factors import (DEFAULT_PERIODS, DEMO_BENCHMARK, REVERSAL_DAYS,  # noqa: F401
                                      demo_factors, demo_window, reversal_factor)
from sigmora.cli.errors import UsageError
from sigmora.cli.factor_files import FACTOR_FILE_SUFFIXES, read_factor_file  # noqa: F401
from sigmora.cli.options import build_parser, build_steps  # noqa: F401
from sigmora.cli.progress import Progress, run_pipeline  # noqa: F401

__all__ = ["main"]


def __getattr__(name):
    # The step names the options take, as the registry holds them now.
    from sigmora.analysis import registry
    kinds = {"PREPROCESS_CHOICES": registry.PREPROCESS, "ANALYSIS_CHOICES": registry.ANALYSIS}
    if name in kinds:
        return registry.names(kinds[name])
    raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))


def _warning_printer(err):
    """Warnings of a run as "sigmora: warning: ..." lines on ``err`` (the place in sigmora's
    code that raised one means nothing to a user of the command)."""
    def show(message, category, filename, lineno, file=None, line=None):
        print("sigmora: warning: {}".format(message), file=err)
    return show


def _quiet_stdout(out):
    if out is sys.stdout:  # a caller's own stream is left alone
        from tidewell.cli import quiet_stdout
        quiet_stdout()


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
        command = COMMANDS[args.command]
        with warnings.catch_warnings():
            warnings.simplefilter("default")
            warnings.simplefilter("ignore", ResourceWarning)  # sockets the cluster leaves: nothing for a user
            warnings.showwarning = _warning_printer(err)
            return command(args, out, err)
    except UsageError as exc:
        print("sigmora: error: {}".format(exc), file=err)
        return 2
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except KeyboardInterrupt:
        print("sigmora: interrupted", file=err)
        return 130
    except BrokenPipeError:  # the reader of the output went away (`sigmora run ... | head`): nothing to say
        _quiet_stdout(out)
        return 141
    except Exception as exc:
        if args is not None and args.debug:
            raise
        print("sigmora: error: {}: {}".format(type(exc).__name__, exc), file=err)
        print("(run with --debug for the full traceback)", file=err)
        return 1
