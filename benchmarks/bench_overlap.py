"""The factor-overlap matrix (`value_correlation`): 200 random factors at 1000 dates x 2000
instruments with about 10% missing values.

Three missing-value patterns:
- "shared": the same instruments missing in every factor on a date (suspensions, listings),
  where every pair comes from one matrix product per date;
- "grouped": the factors in `--groups` mask groups (members interleaved), each group missing
  the shared instruments, 2% of its own on every date and its first 20 x g rows (warm-up): the
  realistic case of one market's factors; every pair of groups meets on its common set, where
  each member is ranked once and all cross pairs come from one product;
- "independent": each factor missing its own 10% of values, so that every pair has its own
  common set and is ranked again on it (the worst case).

The pairwise loop the function used before (one ic_by_row call per factor against every later
one, each pair sorted again per date) runs on a subset of the factors, since it grows with the
square of their number; its time is scaled to all pairs, and its result is compared with the
kernel's on that subset.

    python benchmarks/bench_overlap.py                            # 200 x 1000 x 2000
    python benchmarks/bench_overlap.py --factors 40 --dates 200   # quick
    python benchmarks/bench_overlap.py --patterns grouped --groups 20
"""

import argparse
import os
import resource
import sys
import time

import numpy as np
import pandas as pd

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import sigmora  # noqa: E402
from sigmora import _core  # noqa: E402
from sigmora.analysis.combination import value_correlation  # noqa: E402


def make_factors(n_factors, n_dates, n_ids, pattern, seed=0, groups=8):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2016-01-04", periods=n_dates)
    ids = ["{:06d}.XSHE".format(i) for i in range(n_ids)]
    shared = rng.random((n_dates, n_ids)) < 0.10
    common = rng.normal(size=(n_dates, n_ids))
    group_masks = []
    if pattern == "grouped":
        for g in range(groups):
            mask = shared | (rng.random((n_dates, n_ids)) < 0.02)
            mask[:20 * g] = True
            group_masks.append(mask)
    out = {}
    for f in range(n_factors):
        values = 0.3 * common + rng.normal(size=(n_dates, n_ids))
        if pattern == "shared":
            missing = shared
        elif pattern == "grouped":
            missing = group_masks[f % groups]
        else:
            missing = rng.random((n_dates, n_ids)) < 0.10
        values[missing] = np.nan
        out["f{:03d}".format(f)] = pd.DataFrame(values, index=dates, columns=ids)
    return out


def pairwise_loop(arrays):
    """The former implementation: F - 1 kernel calls, each pair ranked again per date."""
    out = np.eye(len(arrays))
    for i in range(len(arrays) - 1):
        r, n, _ = _core.ic_by_row(arrays[i], arrays[i + 1:], True)
        for j in range(r.shape[1]):
            values = r[n[:, j] >= 2, j]
            values = values[np.isfinite(values)]
            out[i, i + 1 + j] = out[i + 1 + j, i] = values.mean() if len(values) else np.nan
    return out


def timed(fn, *args):
    cpu, wall = time.process_time(), time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - wall, time.process_time() - cpu, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factors", type=int, default=200)
    parser.add_argument("--dates", type=int, default=1000)
    parser.add_argument("--ids", type=int, default=2000)
    parser.add_argument("--loop-factors", type=int, default=12, help="factors the former loop runs on")
    parser.add_argument("--patterns", default="shared,grouped,independent")
    parser.add_argument("--groups", type=int, default=8, help="mask groups of the grouped pattern")
    args = parser.parse_args()
    print("threads {}, load average {}".format(sigmora.get_num_threads(),
                                               " ".join("{:.2f}".format(x) for x in os.getloadavg())))
    pairs = args.factors * (args.factors - 1) // 2
    for pattern in args.patterns.split(","):
        factors = make_factors(args.factors, args.dates, args.ids, pattern, groups=args.groups)
        wall, cpu, table = timed(value_correlation, factors)
        print("{:<12} value_correlation {} factors x {} dates x {} ids: {:7.2f} s wall, {:7.2f} s CPU "
              "(load {:.2f})".format(pattern, args.factors, args.dates, args.ids, wall, cpu, os.getloadavg()[0]),
              flush=True)
        k = min(args.loop_factors, args.factors)
        subset = dict(list(factors.items())[:k])
        arrays = [np.ascontiguousarray(t.to_numpy()) for t in subset.values()]
        loop_wall, loop_cpu, before = timed(pairwise_loop, arrays)
        scale = pairs / (k * (k - 1) // 2)
        diff = np.nanmax(np.abs(before - value_correlation(subset).to_numpy()))
        print("{:<12} former pairwise loop on {} factors: {:.2f} s wall, {:.2f} s CPU; scaled to {} pairs: "
              "{:.0f} s wall; largest difference {:.1e}; mean off-diagonal {:.4f}".format(
                  pattern, k, loop_wall, loop_cpu, pairs, loop_wall * scale, diff,
                  table.to_numpy()[~np.eye(args.factors, dtype=bool)].mean()), flush=True)
        del factors, subset, arrays
    print("peak RSS {:.0f} MB".format(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024))


if __name__ == "__main__":
    main()
