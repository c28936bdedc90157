"""The ``tidewell`` command (also ``python -m tidewell``).

    tidewell import STORE FILE... [--replace] [--encoding ENC] [--columns OLD=NEW,...]
                                                  load CSV / Parquet files (TABLE=PATH or a file
                                                  named after its table) in one transaction
    tidewell check STORE [--json]                 the integrity rules over a store (exit 1 on a
                                                  violation)
    tidewell vacuum STORE                         rewrite a store compactly (reclaims the space
                                                  of failed or replaced imports)
    tidewell info [STORE] [--json]                tables, ids, date ranges, row counts
                                                  (default: the selected / demo store)
    tidewell build-demo PATH [--size default|large|small] [--stocks N] [--start D] [--end D]
                             [--seed S] [--overwrite]
    tidewell schema                               print the documented schema
    tidewell path                                 print the default demo store path
    tidewell --version
"""

from __future__ import annotations

import argparse
import json
import os
import sys

from ._version import __version__


def _parser():
    p = argparse.ArgumentParser(prog="tidewell", description="tidewell market-data store tools")
    p.add_argument("--version", action="version", version="tidewell {}".format(__version__),
                   help="print tidewell's version and exit")
    sub = p.add_subparsers(dest="command", required=True)

    imp = sub.add_parser("import", help="import CSV / Parquet files into a store",
                         description="Load CSV / Parquet files into a store in one transaction. "
                         "Every file is validated and the store's integrity rules are checked "
                         "before anything is written; a refused import leaves the store as it was.")
    imp.add_argument("store", help="path of the DuckDB store (created if missing)")
    imp.add_argument("files", nargs="+",
                     help="files: TABLE=PATH, or a path named after its table (daily_bars.csv)")
    imp.add_argument("--replace", action="store_true",
                     help="empty each table that receives files before loading")
    imp.add_argument("--encoding", default=None, metavar="ENC",
                     help="encoding of the CSV files, e.g. gbk, gb18030, utf-8 (default: UTF-8 "
                          "with or without BOM, or GBK/GB18030, told apart)")
    imp.add_argument("--columns", default=None, metavar="OLD=NEW,...",
                     help="rename the files' columns onto the schema's, e.g. "
                          "trade_date=date,ts_code=order_book_id; OLD= drops a column")

    chk = sub.add_parser("check", help="check a store against the integrity rules",
                         description="Run the integrity rules of every import over an existing "
                         "store and report every violation (exit status 1 if any).")
    chk.add_argument("store", help="path of the DuckDB store")
    chk.add_argument("--json", action="store_true", help="print the report as JSON")

    vac = sub.add_parser("vacuum", help="rewrite a store compactly to reclaim space",
                         description="Copy the store's tables into a new file that replaces it "
                         "(DuckDB keeps the space freed by replaced or failed imports inside the "
                         "file). Needs the store to itself.")
    vac.add_argument("store", help="path of the DuckDB store")

    inf = sub.add_parser("info", help="describe a store")
    inf.add_argument("store", nargs="?", default=None,
                     help="path of the DuckDB store (default: the selected store, else the demo "
                          "store, built on first use)")
    inf.add_argument("--json", action="store_true", help="print JSON")

    bd = sub.add_parser("build-demo", help="build a demo market store")
    bd.add_argument("path", help="path of the store file to write")
    bd.add_argument("--size", default="default", choices=["default", "large", "small"],
                    help="preset: default (600 stocks, 2019-2024), large (5000 stocks, "
                         "2015-2024) or small (40 stocks, 2023-2024)")
    bd.add_argument("--stocks", type=int, default=None, metavar="N",
                    help="number of stocks (overrides the preset)")
    bd.add_argument("--start", default=None, metavar="DATE",
                    help="first bar date, YYYY-MM-DD (overrides the preset)")
    bd.add_argument("--end", default=None, metavar="DATE",
                    help="last bar date, YYYY-MM-DD (overrides the preset)")
    bd.add_argument("--seed", type=int, default=None,
                    help="random seed (default: the demo's fixed seed)")
    bd.add_argument("--overwrite", action="store_true", help="replace an existing file at PATH")

    sub.add_parser("schema", help="print the store schema (Markdown)")
    sub.add_parser("path", help="print the default demo store path")
    return p


def quiet_stdout() -> None:
    """Points the process's stdout at /dev/null after its reader went away, so that the
    interpreter's last flush does not fail on the closed pipe a second time."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def _interrupted(exc: BaseException) -> bool:
    """Whether ``exc`` is DuckDB's answer to Ctrl-C: a SIGINT that lands while DuckDB runs a query
    is taken by DuckDB, which then raises ``InterruptException`` or, while it scans a pandas frame,
    a plain ``RuntimeError('Query interrupted')`` instead of ``KeyboardInterrupt``."""
    import duckdb
    if isinstance(exc, duckdb.InterruptException):
        return True
    return type(exc) is RuntimeError and str(exc).strip() == "Query interrupted"


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "import":
            from .importer import import_files
            counts = import_files(args.store, args.files, replace=args.replace,
                                  encoding=args.encoding, columns=args.columns)
            for table, n in counts.items():
                print("{:<34} {:>12,} rows".format(table, n))
            print("imported into {}".format(args.store))
        elif args.command == "check":
            from .importer import check_store, format_check
            result = check_store(args.store)
            print(json.dumps(result, indent=2, ensure_ascii=False) if args.json
                  else format_check(result))
            return 0 if result["ok"] else 1
        elif args.command == "vacuum":
            from .importer import vacuum
            before, after = vacuum(args.store)
            print("{}: {:,} bytes -> {:,} bytes".format(args.store, before, after))
        elif args.command == "info":
            from .importer import store_info, format_info
            from .api import current_path
            info = store_info(args.store if args.store else current_path())
            print(json.dumps(info, indent=2, ensure_ascii=False) if args.json else format_info(info))
        elif args.command == "build-demo":
            from .demo import build_demo, DEMO_SEED
            build_demo(args.path, n_stocks=args.stocks, start=args.start, end=args.end,
                       seed=DEMO_SEED if args.seed is None else args.seed, size=args.size,
                       overwrite=args.overwrite, quiet=False)
        elif args.command == "schema":
            from .schema import describe
            print(describe())
        elif args.command == "path":
            from .home import default_path
            print(default_path())
    except BrokenPipeError:                   # the reader of the output went away (`| head`)
        quiet_stdout()
        return 141
    except (ValueError, OSError) as exc:      # store errors are OSErrors, import errors ValueErrors
        print("tidewell: error: {}".format(exc), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("tidewell: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:   # a DuckDB error no rule above recognised: no traceback either
        import duckdb
        if _interrupted(exc):
            print("tidewell: interrupted", file=sys.stderr)
            return 130
        if not isinstance(exc, duckdb.Error):
            raise
        print("tidewell: error: {}".format(exc), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
