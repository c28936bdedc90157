"""tidewell figures: building the demo store, and get_price at benchmark scale.

    python benchmarks/bench_tidewell.py [--store-dir DIR] [--repeat 5] [--skip-default]

Rows:
* building the default demo store (600 stocks, 2019-2024) into a temporary directory
  (goal: under 20 s);
* building the large store (5000 stocks, 2015-2024), only when it is not cached yet in
  --store-dir (default $TIDEWELL_BENCH_DIR or build/bench-store; the file is shared with the
  other benchmark scripts);
* get_price of one post-adjusted field ("close") for the 5000 stocks over the 10 years: first
  call (opens the store) and the best of --repeat warm calls (goal: under 1.5 s), plus the
  pipeline's unstack(0) of the result, get_price_table (the same wide table built directly),
  the pre-adjusted and style-exposure variants;
* the wide reads: one bar field and the planted signal as dates x ids arrays (goal: under
  0.5 s), the ten style exposures as cells a block of dates at a time;
* peak RSS of the process.
"""

import argparse
import os
import resource
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import tidewell  # noqa: E402
from tidewell.demo import SIZES, build_demo  # noqa: E402


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def row(name, seconds, detail="", goal=None):
    verdict = ""
    if goal is not None:
        verdict = "ok (goal < {:g} s)".format(goal) if seconds < goal else "OVER goal {:g} s".format(goal)
    print("{:<58} {:>9.3f} s  {:<28} {}".format(name, seconds, detail, verdict), flush=True)


def timed(fn, *a, **k):
    t = time.perf_counter()
    out = fn(*a, **k)
    return time.perf_counter() - t, out


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--store-dir", default=os.environ.get("TIDEWELL_BENCH_DIR",
                                                         os.path.join(ROOT, "build", "bench-store")))
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--skip-default", action="store_true", help="skip the default-store build row")
    args = p.parse_args(argv)

    print("tidewell {}  (rows: wall seconds)".format(tidewell.__version__))
    if not args.skip_default:
        with tempfile.TemporaryDirectory() as d:
            s, _ = timed(build_demo, os.path.join(d, "demo.duckdb"))
            size = os.path.getsize(os.path.join(d, "demo.duckdb")) / 2**20
        row("build default demo store (600 stocks, 2019-2024)", s, "{:.0f} MB file".format(size), goal=20)

    large = SIZES["large"]
    path = os.path.join(args.store_dir, "large-{}.duckdb".format(large["n_stocks"]))
    if os.path.exists(path):
        print("{:<58} {:>11}  {}".format("build large store (5000 stocks, 2015-2024)", "cached", path))
    else:
        os.makedirs(args.store_dir, exist_ok=True)
        s, _ = timed(build_demo, path, **large)
        row("build large store (5000 stocks, 2015-2024)", s,
            "{:.0f} MB file".format(os.path.getsize(path) / 2**20))

    tidewell.init(path)
    ids = tidewell.all_instruments(type="CS")["order_book_id"].tolist()
    call = dict(start_date=large["start"], end_date=large["end"], fields="close", adjust_type="post")
    s, df = timed(tidewell.get_price, ids, **call)
    shape = "{} ids x {} rows".format(len(ids), len(df))
    row("get_price 1 post field, 5000 ids x 10 y, first call", s, shape)
    warm = []
    for _ in range(max(1, args.repeat)):
        s, df = timed(tidewell.get_price, ids, **call)
        warm.append(s)
    row("get_price 1 post field, 5000 ids x 10 y, best of {}".format(len(warm)), min(warm), shape, goal=1.5)
    s, wide = timed(lambda: df["close"].unstack(0))
    row("  pipeline's ['close'].unstack(0) of it", s, "{} x {}".format(*wide.shape))
    del wide
    s, wide = timed(tidewell.get_price_table, ids, large["start"], large["end"], field="close",
                    adjust_type="post")
    row("get_price_table (same, dates x ids directly)", s, "{} x {}".format(*wide.shape))
    del wide
    s, _ = timed(tidewell.get_price, ids, **dict(call, adjust_type="pre"))
    row("get_price 1 pre field, 5000 ids x 10 y", s)
    s, _ = timed(tidewell.get_price, ids, **dict(call, fields=None, adjust_type="post"))
    row("get_price all 6 fields post, 5000 ids x 10 y", s)
    s, _ = timed(tidewell.get_style_factor_exposure, ids, large["start"], large["end"])
    row("get_style_factor_exposure 10 factors, 5000 ids x 10 y", s)
    s, _ = timed(tidewell.get_price, ids[:300], "2024-01-02", "2024-06-28", fields="close", adjust_type="post")
    row("get_price 1 post field, 300 ids x half a year", s)
    # Wide reads: dates x ids arrays placed straight from the store's positions.
    dates = tidewell.get_trading_dates(large["start"], large["end"])
    best = min(timed(tidewell.get_daily_grids, "daily_bars", ids, dates, "close", "post")[0]
               for _ in range(max(1, args.repeat)))
    row("get_daily_grids 1 post field, 5000 ids x 10 y, best of {}".format(max(1, args.repeat)), best,
        "{} x {}".format(len(dates), len(ids)), goal=0.5)
    best = min(timed(tidewell.get_signal, None, large["start"], large["end"])[0] for _ in range(max(1, args.repeat)))
    row("get_signal planted, every id x 10 y, best of {}".format(max(1, args.repeat)), best, goal=0.5)

    def style_blocks(block=333):
        for first in range(0, len(dates), block):
            tidewell.get_daily_cells("style_exposures", ids, dates[first:first + block], None)

    s, _ = timed(style_blocks)
    row("get_daily_cells 10 style factors, blocks of 333 dates", s, "{} blocks".format(-(-len(dates) // 333)))
    print("{:<58} {:>9.0f} MB".format("peak RSS", peak_rss_mb()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
