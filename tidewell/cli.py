"""The ``tidewell`` command (also ``python -m tidewell``).

    tidewell import STORE FILE... [--replace]     load CSV / Parquet files (TABLE=PATH or a file
                                                  named after its table) in one transaction
    tidewell info [STORE]                         tables, ids, date ranges, row counts
                                                  (default: the selected / demo store)
    tidewell build-demo PATH [--size default|large|small] [--stocks N] [--start D] [--end D]
                             [--seed S] [--overwrite]
    tidewell schema                               print the documented schema
    tidewell path                                 print the default demo store path
"""

from __future__ import annotations

import argparse
import json
import sys


def _parser():
    p = argparse.ArgumentParser(prog="tidewell", description="tidewell market-data store tools")
    sub = p.add_subparsers(dest="command", required=True)

    imp = sub.add_parser("import", help="import CSV / Parquet files into a store")
    imp.add_argument("store", help="path of the DuckDB store (created if missing)")
    imp.add_argument("files", nargs="+",
                     help="files: TABLE=PATH, or a path named after its table (daily_bars.csv)")
    imp.add_argument("--replace", action="store_true",
                     help="empty each table that receives files before loading")

    inf = sub.add_parser("info", help="describe a store")
    inf.add_argument("store", nargs="?", default=None)
    inf.add_argument("--json", action="store_true", help="print JSON")

    bd = sub.add_parser("build-demo", help="build a demo market store")
    bd.add_argument("path")
    bd.add_argument("--size", default="default", choices=["default", "large", "small"])
    bd.add_argument("--stocks", type=int, default=None)
    bd.add_argument("--start", default=None)
    bd.add_argument("--end", default=None)
    bd.add_argument("--seed", type=int, default=None)
    bd.add_argument("--overwrite", action="store_true")

    sub.add_parser("schema", help="print the store schema (Markdown)")
    sub.add_parser("path", help="print the default demo store path")
    return p


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "import":
            from .importer import import_files
            counts = import_files(args.store, args.files, replace=args.replace)
            for table, n in counts.items():
                print("{:<28} {:>12,} rows".format(table, n))
            print("imported into {}".format(args.store))
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
    except (ValueError, FileNotFoundError, FileExistsError) as exc:
        print("tidewell: error: {}".format(exc), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
