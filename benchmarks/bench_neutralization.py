"""Per-date least squares and the Neutralization step against their literal transcriptions.

    python benchmarks/bench_neutralization.py                       # full sizes
    python benchmarks/bench_neutralization.py --dates 50 --neutral-dates 100 --neutral-ids 500

Stages, each in a fresh process so that its peak RSS growth is its own (inputs are built
before the measurement starts and are not counted):

* calc_residuals on T x N x K random regressors with scattered NaN, against a per-date
  numpy.linalg.lstsq loop;
* Neutralization (industries, style factors, one user factor) on synthetic data served by
  a stand-in for the market-data service, against the step's literal transcription (the
  dense dates x instruments x variables array and the per-date lstsq loop).
  --reference-dates runs the transcription on the first dates only, when the full size
  would take too long; its time is then scaled up linearly and marked "~".

The references' numpy.linalg.lstsq runs on OpenBLAS with its default thread count; on a
machine shared with other work that default can be many times slower than one thread, so
run once more with OPENBLAS_NUM_THREADS=1 for the references' best time.
"""

import argparse
import json
import os
import subprocess
import sys
import types

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.append(os.path.dirname(HERE))  # tests/, after the installed package
from _harness import measure, print_header, print_row  # noqa: E402

STYLE_NAMES = ["beta", "momentum", "size", "earnings_yield", "residual_volatility", "growth",
               "book_to_price", "leverage", "liquidity", "non_linear_size"]


def residual_inputs(T, N, K, seed=0):
    rng = np.random.default_rng(seed)
    endog = rng.normal(size=(T, N))
    exog = rng.normal(size=(T, N, K))
    endog[rng.random((T, N)) < 0.02] = np.nan
    exog[rng.random((T, N, K)) < 0.0005] = np.nan
    return endog, exog


def neutral_inputs(T, N, n_industries, n_styles, seed=1):
    """A factor table, the service's long style table, the code table and a user factor."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2014-01-02", periods=T)
    ids = ["{:06d}.XSHE".format(i + 1) for i in range(N)]
    values = rng.normal(size=(T, N))
    values[rng.random((T, N)) < 0.02] = np.nan
    factor = pd.DataFrame(values, index=dates, columns=ids)
    records = pd.MultiIndex.from_product([ids, dates], names=["order_book_id", "date"])
    exposures = pd.DataFrame(rng.normal(size=(len(records), n_styles)), index=records,
                             columns=STYLE_NAMES[:n_styles])
    starts = dates[:: max(T // 4, 1)]
    codes = pd.DataFrame(rng.integers(0, n_industries, size=(len(starts), N)), index=starts, columns=ids)
    other = pd.DataFrame(rng.normal(size=(T, N)), index=dates, columns=ids)
    return factor, exposures, codes, other


def install_service(exposures, codes):
    from sigmora.analysis import _industry, _market
    _market.set_source(types.SimpleNamespace(get_style_factor_exposure=lambda **kwargs: exposures))
    _industry.get_all_industry_category = lambda source: codes


def run_stage(args):
    """One measurement in this process; prints a JSON line (seconds, peak bytes)."""
    from tests.reference_ols import lstsq_residuals, neutralize
    if args.stage.startswith("residuals"):
        from sigmora.analysis.ols import calc_residuals
        T = args.dates if args.stage == "residuals" else args.reference_dates_residuals or args.dates
        endog, exog = residual_inputs(T, args.ids, args.k)
        fn = calc_residuals if args.stage == "residuals" else lstsq_residuals
        seconds, peak, _ = measure(fn, endog, exog)
    else:
        from sigmora.analysis.varodyne import Neutralization
        from sigmora.analysis.ols import calc_residuals  # noqa: F401
        T = args.neutral_dates if args.stage == "neutral" else args.reference_dates or args.neutral_dates
        factor, exposures, codes, other = neutral_inputs(T, args.neutral_ids, args.industries, args.styles)
        install_service(exposures, codes)
        step = Neutralization(other_factors=[other])
        if args.stage == "neutral":
            seconds, peak, _ = measure(step.process, factor)
        else:
            seconds, peak, _ = measure(neutralize, step, factor, lstsq_residuals)
    print(json.dumps(dict(seconds=seconds, peak=peak, T=T)))


def spawn(stage, argv):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--stage", stage] + argv,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--dates", type=int, default=500, help="calc_residuals: dates")
    p.add_argument("--ids", type=int, default=3000, help="calc_residuals: instruments")
    p.add_argument("--k", type=int, default=41, help="calc_residuals: regressors")
    p.add_argument("--reference-dates-residuals", type=int, default=0,
                   help="calc_residuals: run the lstsq loop on this many dates only (0: all)")
    p.add_argument("--neutral-dates", type=int, default=2500)
    p.add_argument("--neutral-ids", type=int, default=5000)
    p.add_argument("--industries", type=int, default=31)
    p.add_argument("--styles", type=int, default=10)
    p.add_argument("--reference-dates", type=int, default=0,
                   help="Neutralization: run the transcription on this many dates only (0: all)")
    p.add_argument("--skip-reference", action="store_true")
    p.add_argument("--stage", help=argparse.SUPPRESS)
    args, _ = p.parse_known_args()
    if args.stage:
        return run_stage(args)

    argv = [a for a in sys.argv[1:]]
    import sigmora
    print("threads: {}, load average: {}".format(sigmora.get_num_threads(),
                                                 " ".join(open("/proc/loadavg").read().split()[:3])))
    print_header()
    for name, stage, shape in [
        ("calc_residuals", "residuals", "{}x{}x{}".format(args.dates, args.ids, args.k)),
        ("Neutralization 31 ind + 10 styles + 1 user", "neutral",
         "{}x{}".format(args.neutral_dates, args.neutral_ids)),
    ]:
        ours = spawn(stage, argv)
        ref_s, note = None, ""
        if not args.skip_reference:
            ref = spawn(stage + "_reference", argv)
            ref_s = ref["seconds"] * ours["T"] / ref["T"]
            if ref["T"] != ours["T"]:
                note = "  (~ reference measured on {} dates, scaled)".format(ref["T"])
            else:
                note = "  (reference peak {:.0f} MB)".format(ref["peak"] / 2**20)
        print_row(name.replace("31 ind", "{} ind".format(args.industries))
                  .replace("10 styles", "{} styles".format(args.styles)),
                  shape, ours["seconds"], ref_s, ours["peak"])
        if note:
            print(note.strip(), flush=True)


if __name__ == "__main__":
    main()
