"""sigmora next to alphalens on the same factor and prices: the numbers that must agree, and time.

    python benchmarks/compare_alphalens.py                       # 1000 x 2000, then full size
    python benchmarks/compare_alphalens.py --sizes 250x500 --factor raw   # a quick trial

alphalens (alphalens-reloaded) runs in its own virtual environment (default
build/alphalens-venv; create it with `python -m venv build/alphalens-venv &&
build/alphalens-venv/bin/pip install alphalens-reloaded`), driven by subprocess; the tables go
both ways as .npy files in a temporary directory.

The factor is the large demo market's planted signal, by default after the demo pipeline's
preprocessing (Winzorization "mad", Neutralization, Normalization, run by sigmora once, untimed),
so that both tools analyse exactly the table sigmora's analysis steps see.  The prices are the
post-adjusted closes from one trading date before the first factor date to 20 trading dates
after the last one, so every holding period has a forward return on every factor date.

Timed on the sigmora side: the daily return table from the prices (`ffill().pct_change()`, the
engine's own rule) plus ICAnalysis(), QuantileReturnAnalysis() and FactorReturnAnalysis().
Timed on the alphalens side: get_clean_factor_and_forward_returns plus
factor_information_coefficient, quantile_turnover (every quantile and period), factor_returns
and mean_return_by_quantile.

How the definitions line up (and so what is compared):
* sigmora runs with ascending=True, so its group q1 holds the lowest values, as alphalens'
  quantile 1 does, and its rank-based groups then coincide with alphalens' value quantiles
  (both cut at the linearly interpolated k/5 points).  ascending=True also negates sigmora's
  rank IC and factor weights, so the comparison uses minus those.
* IC: both correlate the factor on date t with the return from the close of t to the close p
  rows later (sigmora compounds daily returns, alphalens divides prices): same dates, no lag.
* Turnover and returns: sigmora's groups and weights on date t come from the factor of the
  previous row (its portfolios trade on the next day's returns), alphalens' from the factor of
  t itself with the return from t onwards; sigmora's row t lines up with alphalens' row t-1.
  For p > 1 sigmora averages p staggered portfolios, one of which rebalances each day, so its
  period-p turnover is alphalens' period-p turnover divided by p.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import _market  # noqa: E402
from _exchange import read_table, save_tables  # noqa: E402

DEFAULT_VENV = os.path.join(_market.ROOT, "build", "alphalens-venv")
SIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_alphalens_side.py")
QUANTILES = 5
P_MAX = max(_market.PERIODS)
# Largest absolute difference accepted for each compared quantity (None: shown, not judged).
# Rank ICs from each tool's own forward returns are not judged: prices are in cents, so equal
# price ratios (ties) are common, and compounding daily returns (sigmora) reproduces a price
# ratio (alphalens) only to the last bit, which breaks or makes ties; the judged IC row gives
# alphalens the compounded forward returns.
TOLERANCE = {"ic": 1e-12, "ic_prices": None, "turnover": 1e-12, "factor_return": 1e-12,
             "quantile_mean": 1e-12}


# ----------------------------------------------------------------------------- inputs

def parse_size(text):
    if text == "full":
        return None
    dates, ids = text.lower().split("x")
    return int(dates), int(ids)


def prepare(size, kind):
    """(factor, prices): the factor on `size` dates x instruments, prices around it."""
    import tidewell
    calendar = tidewell.get_trading_dates(_market.START, _market.END)
    # One date before the factor (its first return) and P_MAX after it (the last forward return).
    n_dates, n_ids = size if size is not None else (len(calendar) - 1 - P_MAX, _market.N_STOCKS)
    if n_dates + 1 + P_MAX > len(calendar):
        raise ValueError("size: at most {} dates, got {}".format(len(calendar) - 1 - P_MAX, n_dates))
    dates = calendar[1:1 + n_dates]
    factor = _market.window_factor(dates, n_ids)
    price = tidewell.get_price(order_book_ids=factor.columns, start_date=calendar[0],
                               end_date=calendar[n_dates + P_MAX], fields="close", adjust_type="post",
                               expect_df=True)
    # Sorted explicitly: alphalens and the return table both need the dates in order.
    prices = price["close"].unstack(0).sort_index()
    if kind == "preprocessed":
        factor = preprocess(factor)
    # sigmora compounds `returns.add(1).cumprod()` for its portfolios: an instrument's growth is
    # missing on a date without a daily return (its first priced date), so the next day's
    # return does not count for it, while alphalens counts its first price-to-price return.
    # Both tools get the factor without those values.
    undefined = daily_returns(prices).reindex(index=factor.index, columns=factor.columns).isna() & factor.notna()
    return factor.mask(undefined), prices, int(undefined.to_numpy().sum())


def daily_returns(prices):
    """The engine's rule for its daily return table: the last close carried over missing days."""
    returns = prices.ffill().pct_change().iloc[1:]
    returns.index.name, returns.columns.name = "datetime", "order_book_id"
    return returns


def preprocess(factor):
    from sigmora.analysis.varodyne import Normalization, Neutralization, Winzorization
    factor = factor.copy()
    factor.index.name, factor.columns.name = "datetime", "order_book_id"
    for step in (Winzorization("mad"), Neutralization(), Normalization()):
        factor = step.process(factor)
    return factor


# ----------------------------------------------------------------------------- the two sides

def run_sigmora(factor, prices):
    from sigmora.analysis.varodyne import FactorReturnAnalysis, ICAnalysis, QuantileReturnAnalysis
    steps = {"ic": ICAnalysis(), "quantile": QuantileReturnAnalysis(), "factor_return": FactorReturnAnalysis()}
    for name, step in steps.items():
        step.step_name = name
    timings, results = {}, {}
    t0 = time.perf_counter()
    returns = daily_returns(prices)
    timings["daily return table from prices"] = time.perf_counter() - t0
    for name, step in steps.items():
        t = time.perf_counter()
        results[name] = step.analysis(factor, returns, list(_market.PERIODS), ascending=True)
        timings[type(step).__name__] = time.perf_counter() - t
    timings["total"] = time.perf_counter() - t0
    return timings, results


def run_alphalens(venv, directory, factor, prices, timeout):
    save_tables(directory, factor=factor, prices=prices, returns=daily_returns(prices))
    python = os.path.join(venv, "bin", "python")
    cmd = [python, SIDE, directory, ",".join(str(p) for p in _market.PERIODS)]
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"status": "did not finish within {:.0f} s".format(timeout)}
    if proc.returncode != 0:
        raise RuntimeError("alphalens side failed:\n" + proc.stderr[-3000:])
    with open(os.path.join(directory, "timings.json")) as f:
        report = json.load(f)
    report["status"] = "ok"
    report["wall_s"] = time.perf_counter() - t0
    return report


# ----------------------------------------------------------------------------- comparison

def previous_row(series, index):
    """`series` on `index`, moved one row later: the value of date t-1 shown on date t."""
    return series.reindex(index).shift(1)


def daily_from_cumulative(cumulative):
    growth = cumulative.add(1)
    return growth / growth.shift(1) - 1


def agreement(ours, theirs):
    """(pairs compared, largest absolute difference, values only sigmora has, the largest of
    them in absolute value, values only alphalens has)."""
    ours, theirs = ours.astype(float).align(theirs.astype(float), join="outer")
    both = ours.notna() & theirs.notna()
    only_ours = ours[ours.notna() & theirs.isna()]
    diff = (ours[both] - theirs[both]).abs()
    return (int(both.sum()), float(diff.max()) if both.any() else float("nan"), len(only_ours),
            float(only_ours.abs().max()) if len(only_ours) else 0.0, int((ours.isna() & theirs.notna()).sum()))


def pooled(figures):
    """`agreement` over several pairs of series, as one."""
    pairs, diff, only, only_max, theirs = zip(*figures)
    return sum(pairs), max(diff), sum(only), max(only_max), sum(theirs)


def compare(results, directory, factor_index):
    al_ic = read_table(directory, "al_ic")
    al_turnover = read_table(directory, "al_turnover")
    al_fr = read_table(directory, "al_factor_returns")
    al_means = read_table(directory, "al_quantile_means")
    rows = []

    al_ic_compounded = read_table(directory, "al_ic_compounded")
    ic = -results["ic"].ic
    for p in _market.PERIODS:
        key = "P_{}".format(p)
        rows.append(("rank IC per date, same forward returns", key, "-sigmora(t) vs alphalens(t)", "ic") +
                    agreement(ic[key], al_ic_compounded[key]))
    for p in _market.PERIODS:
        key = "P_{}".format(p)
        rows.append(("rank IC per date, alphalens' price-ratio returns", key, "-sigmora(t) vs alphalens(t)",
                     "ic_prices") + agreement(ic[key], al_ic[key]))

    turnover = results["quantile"].quantile_turnover
    for p in _market.PERIODS:
        key = "P_{}".format(p)
        figures = [agreement(turnover.loc["q{}".format(q), key] * p,
                             previous_row(al_turnover["q{}_{}".format(q, key)], factor_index))
                   for q in range(1, QUANTILES + 1)]
        rows.append(("quantile turnover, q1..q5", key, "{} x sigmora(t) vs alphalens(t-1)".format(p),
                     "turnover") + pooled(figures))

    ours = -daily_from_cumulative(results["factor_return"].factor_returns["P_1"])
    rows.append(("factor-weighted return (demeaned)", "P_1", "-sigmora daily(t) vs alphalens(t-1)",
                 "factor_return") + agreement(ours, previous_row(al_fr["P_1"], factor_index)))

    groups = results["quantile"].quantile_returns
    figures = [agreement(daily_from_cumulative(groups.loc["q{}".format(q), "P_1"]),
                         previous_row(al_means["q{}_P_1".format(q)], factor_index))
               for q in range(1, QUANTILES + 1)]
    rows.append(("quantile mean return (not demeaned), q1..q5", "P_1", "sigmora daily(t) vs alphalens(t-1)",
                 "quantile_mean") + pooled(figures))
    return rows


# ----------------------------------------------------------------------------- report

def print_agreement(rows):
    print("| quantity | period | lined up as | pairs | max abs diff | tolerance | agree | only sigmora "
          "(largest abs) | only alphalens |")
    print("|---|---|---|---|---|---|---|---|---|")
    ok = True
    for name, key, how, kind, n, diff, only_ours, only_ours_max, only_theirs in rows:
        tolerance = TOLERANCE[kind]
        if tolerance is None:
            verdict, limit = "not judged (ties)", "-"
        else:
            good = n > 0 and diff <= tolerance
            ok = ok and good
            verdict, limit = "yes" if good else "NO", "{:.0e}".format(tolerance)
        print("| {} | {} | {} | {} | {:.2e} | {} | {} | {} ({:.2g}) | {} |".format(
            name, key, how, n, diff, limit, verdict, only_ours, only_ours_max, only_theirs))
    return ok


def print_timings(label, ours, theirs):
    print("\n{}: seconds\n".format(label))
    print("| sigmora | s | alphalens | s |")
    print("|---|---|---|---|")
    left = [(k, v) for k, v in ours.items() if k != "total"]
    right = [(k, v) for k, v in theirs.get("timings", {}).items() if k != "total"]
    for i in range(max(len(left), len(right))):
        a = left[i] if i < len(left) else ("", None)
        b = right[i] if i < len(right) else ("", None)
        print("| {} | {} | {} | {} |".format(a[0], "" if a[1] is None else "{:.2f}".format(a[1]),
                                             b[0], "" if b[1] is None else "{:.2f}".format(b[1])))
    total = theirs.get("timings", {}).get("total")
    print("| **total** | **{:.2f}** | **total** | **{}** |".format(
        ours["total"], "{:.2f}".format(total) if total is not None else theirs.get("status")))
    if total is not None:
        print("\nsigmora is {:.1f}x faster (goal: at least 20x); alphalens process peak RSS {:.0f} MB".format(
            total / ours["total"], theirs["peak_rss_mb"]))


def alphalens_for(args, size, directory):
    """(factor, prices, values left out, alphalens report): run now, or read from `directory`
    when --reuse-alphalens finds a finished earlier run of the same size there."""
    report_path = os.path.join(directory, "timings.json")
    if args.reuse_alphalens and os.path.exists(report_path):
        with open(report_path) as f:
            theirs = json.load(f)
        with open(os.path.join(directory, "inputs.json")) as f:
            inputs = json.load(f)
        if inputs["factor"] != args.factor:
            raise ValueError("--reuse-alphalens: {} holds a {} factor, not {}".format(
                directory, inputs["factor"], args.factor))
        theirs["reused"] = True
        return read_table(directory, "factor"), read_table(directory, "prices"), inputs["dropped"], theirs
    factor, prices, dropped = prepare(size, args.factor)
    with open(os.path.join(directory, "inputs.json"), "w") as f:
        json.dump({"factor": args.factor, "dropped": dropped}, f)
    theirs = run_alphalens(args.venv, directory, factor, prices, args.alphalens_timeout)
    if theirs["status"] != "ok":
        with open(report_path, "w") as f:
            json.dump(dict(theirs, load_before=_market.load_note()), f)
    return factor, prices, dropped, theirs


def compare_size(args, size, directory):
    factor, prices, dropped, theirs = alphalens_for(args, size, directory)
    before = _market.load_note()
    ours, results = run_sigmora(factor, prices)
    after = _market.load_note()
    print("\n### {} dates x {} instruments ({} factor)\n".format(factor.shape[0], factor.shape[1], args.factor))
    when = "an earlier run of this command (--reuse-alphalens)" if theirs.get("reused") else "this run"
    print("alphalens timed in {}, {} ({} -> {}); sigmora timed in this run ({} -> {})\n".format(
        when, theirs.get("finished_at", ""), theirs.get("load_before", ""), theirs.get("load_after", ""),
        before, after))
    rows = []
    if theirs["status"] == "ok":
        print("alphalens {alphalens}, pandas {pandas}, numpy {numpy}, python {python}; "
              "{rows} of {rows_in} factor values kept by get_clean_factor; {dropped} values on "
              "dates without a daily return left out for both\n".format(
                  rows=theirs["rows"], rows_in=theirs["rows_in"], dropped=dropped, **theirs["versions"]))
        rows = compare(results, directory, factor.index)
        ok = print_agreement(rows)
    else:
        ok = True
    print_timings("Time for the same quantities", ours, theirs)
    return ok, {"size": list(factor.shape), "sigmora": ours, "alphalens": theirs,
                "agreement": [list(r) for r in rows], "load": [before, after]}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", default="1000x2000,full", help="comma-separated DATESxIDS or full")
    p.add_argument("--factor", choices=("preprocessed", "raw"), default="preprocessed")
    p.add_argument("--venv", default=DEFAULT_VENV)
    p.add_argument("--alphalens-timeout", type=float, default=900.0)
    p.add_argument("--store", default=None)
    p.add_argument("--workdir", default=None,
                   help="keep the tables and alphalens' results here (one folder per size)")
    p.add_argument("--reuse-alphalens", action="store_true",
                   help="with --workdir: take alphalens' results and timings from an earlier run")
    p.add_argument("--json", default=None, help="also write the raw figures to this file")
    args = p.parse_args(argv)
    _market.select(_market.ensure_store(args.store))
    _market.print_run_header("sigmora and alphalens on the same factor and prices", "compare_alphalens.py")
    record = []
    all_ok = True
    for text in args.sizes.split(","):
        size = parse_size(text.strip())
        if args.workdir:
            directory = os.path.join(args.workdir, text.strip())
            os.makedirs(directory, exist_ok=True)
            ok, figures = compare_size(args, size, directory)
        else:
            with tempfile.TemporaryDirectory(prefix="sigmora-alphalens-") as directory:
                ok, figures = compare_size(args, size, directory)
        all_ok = all_ok and ok
        record.append(figures)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(record, f, indent=1)
    print("\nall compared quantities agree within tolerance: {}".format("yes" if all_ok else "NO"))
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
