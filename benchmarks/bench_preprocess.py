"""Clipping and standardisation of a factor table against their literal pandas transcriptions.

    python benchmarks/bench_preprocess.py                      # 2500 dates x 5000 instruments
    python benchmarks/bench_preprocess.py --dates 250 --ids 1000 --repeat 1

Stages: batch_winsorize_mad; the Winzorization step with "mad", "std" and "percentile";
Normalization; and Winzorization("mad") followed by Normalization, as a pipeline runs them.
The references are the transcriptions the tests check the core against (tests/
reference_winsorize.py): the three table operations for "mad", the per-series function
applied to every row for "std" and "percentile" (bounds from np.nanpercentile), the chained
table expression for Normalization.

Each stage runs in a fresh process so that its peak RSS growth is its own; the input table
(fat-tailed values, --missing share of cells NaN, held column-major as pandas builds it) is
built before measuring and not counted. Wall times are the fastest of --repeat runs; a
comment line under each row gives the CPU seconds of both sides, which other processes on a
shared machine disturb less.
"""

import argparse
import os
import subprocess
import sys
import time
import warnings

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests"))
from _harness import best_of, print_header, print_row  # noqa: E402

STAGES = ["batch_winsorize_mad", "Winzorization mad", "Winzorization std", "Winzorization percentile",
          "Normalization", "Winzorization mad + Normalization"]


def factor_table(dates, ids, missing, seed=0):
    rng = np.random.default_rng(seed)
    values = rng.standard_t(3, size=(dates, ids))
    values[rng.random((dates, ids)) < missing] = np.nan
    index = pd.bdate_range("2014-01-02", periods=dates)
    columns = ["{:06d}.XSHE".format(i + 1) for i in range(ids)]
    return pd.DataFrame(values, index=index, columns=columns)


def stage_functions(stage):
    """(sigmora's function, the transcription) of a table."""
    import reference_winsorize as ref
    from sigmora.analysis.varodyne import Normalization, Winzorization
    from sigmora.analysis.winsorize import batch_winsorize_mad

    if stage == "batch_winsorize_mad":
        return batch_winsorize_mad, ref.batch_winsorize_mad
    if stage == "Winzorization mad":
        return Winzorization("mad").process, ref.batch_winsorize_mad
    if stage == "Winzorization std":
        return Winzorization("std").process, lambda df: ref.apply_rows(df, ref.winsorize_std)
    if stage == "Winzorization percentile":
        return Winzorization("percentile").process, lambda df: ref.apply_rows(df, ref.winsorize_percentile)
    if stage == "Normalization":
        return Normalization().process, ref.normalization
    if stage == "Winzorization mad + Normalization":
        w, z = Winzorization("mad"), Normalization()
        return (lambda df: z.process(w.process(df))), (lambda df: ref.normalization(ref.batch_winsorize_mad(df)))
    raise ValueError("unknown stage {}".format(stage))


def with_cpu_time(fn, cpu_seconds):
    """fn, recording the process CPU time of each call (all threads) in cpu_seconds."""
    def timed(*args):
        start = time.process_time()
        try:
            return fn(*args)
        finally:
            cpu_seconds.append(time.process_time() - start)
    return timed


def run_stage(args):
    df = factor_table(args.dates, args.ids, args.missing)
    ours, reference = stage_functions(args.only)
    our_cpu, ref_cpu = [], []
    seconds, peak, result = best_of(args.repeat, with_cpu_time(ours, our_cpu), df)
    ref_seconds = None
    if not args.no_reference:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            ref_seconds, _, expected = best_of(args.ref_repeat, with_cpu_time(reference, ref_cpu), df)
        same = np.array_equal(result.to_numpy(), expected.to_numpy(), equal_nan=True)
        if not same:
            worst = np.nanmax(np.abs(result.to_numpy() - expected.to_numpy()))
            print("# {}: differs from the transcription by up to {:.3g}".format(args.only, worst), flush=True)
    print_row(args.only, "{}x{}".format(args.dates, args.ids), seconds, ref_seconds, peak)
    # CPU time is less at the mercy of other processes on a shared machine than wall time
    print("#   cpu s: sigmora {:.3f} (all threads){}".format(
        min(our_cpu), ", reference {:.3f}".format(min(ref_cpu)) if ref_cpu else ""), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--ids", type=int, default=5000)
    parser.add_argument("--missing", type=float, default=0.1, help="share of missing cells")
    parser.add_argument("--repeat", type=int, default=3, help="runs of sigmora's side; the fastest counts")
    parser.add_argument("--ref-repeat", type=int, default=2,
                        help="runs of the transcription; the fastest counts (the first pays for fresh memory)")
    parser.add_argument("--no-reference", action="store_true", help="skip the transcriptions")
    parser.add_argument("--stages", nargs="*", default=STAGES, choices=STAGES, metavar="STAGE")
    parser.add_argument("--only", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.only:
        run_stage(args)
        return
    import sigmora
    print("# threads: {}, load average: {}".format(sigmora.get_num_threads(), " ".join(
        "{:.2f}".format(x) for x in os.getloadavg())))
    print_header()
    passed = ["--dates", str(args.dates), "--ids", str(args.ids), "--missing", str(args.missing),
              "--repeat", str(args.repeat), "--ref-repeat", str(args.ref_repeat)] + (["--no-reference"] if args.no_reference else [])
    for stage in args.stages:
        subprocess.run([sys.executable, os.path.abspath(__file__), "--only", stage] + passed, check=True)


if __name__ == "__main__":
    main()
