"""The full factor test of the `sigmora demo` pipeline on the large demo market, at four sizes.

    python benchmarks/bench_pipeline.py                  # scales 1/8, 1/4, 1/2, 1 and references
    python benchmarks/bench_pipeline.py --scales 8 --reference-scales 8   # a quick trial

Pipeline: Winzorization("mad"), Neutralization() (citics_2019 industries and every style factor),
Normalization(), ICAnalysis(industry_classification="citics_2019", max_decay=20),
QuantileReturnAnalysis(benchmark="000300.XSHG"), FactorReturnAnalysis(); periods 1, 5, 10, 20,
descending factor.  A scale 1/k keeps the first T/k dates and N/k instruments (see _market).

Each size runs in fresh processes.  A loader takes the factor from the store and builds the
engine's daily return table (data loading, reported apart) and hands both over as .npy files;
the measuring process then times every step's `process` / `analysis` on its own, on the output
of the step before, exactly as the engine chains them, so its peak RSS is the pipeline's; the
engine's own `analysis(factor, "daily", ...)` is timed afterwards as a cross-check of the sum.
A third process runs only the engine's `analysis(factor, "daily", ...)` from a cold start (no
cached industry table, the store opened by the run itself): its time and peak RSS are the
end-to-end figures.  --repeat R runs every process R times and keeps the best time of each
figure (the largest peak RSS), for figures taken on a shared machine.
The literal pandas/scipy transcriptions of the steps (kept with the tests) run in processes of
their own, each stopped after --reference-budget seconds.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import _market  # noqa: E402
from _exchange import read_table, save_tables  # noqa: E402
from _harness import measure  # noqa: E402
from _rss import peak_rss_mb  # noqa: E402

STAGES = ("winsorize", "neutralize", "normalize", "ic", "quantile", "factor_return")
STAGE_TITLES = {
    "winsorize": 'Winzorization("mad")',
    "neutralize": "Neutralization()",
    "normalize": "Normalization()",
    "ic": "ICAnalysis(citics_2019, max_decay=20)",
    "quantile": "QuantileReturnAnalysis(000300.XSHG)",
    "factor_return": "FactorReturnAnalysis()",
}
PREPROCESSING = STAGES[:3]
MB = 2.0 ** 20


# ----------------------------------------------------------------------------- the pipeline

def make_steps():
    """Fresh step objects of the demo pipeline, analysis steps named as the engine names them."""
    from sigmora.analysis.varodyne import (Winzorization, Neutralization, Normalization, ICAnalysis,
                                           QuantileReturnAnalysis, FactorReturnAnalysis)
    steps = {
        "winsorize": Winzorization("mad"),
        "neutralize": Neutralization(),
        "normalize": Normalization(),
        "ic": ICAnalysis(industry_classification="citics_2019", max_decay=20),
        "quantile": QuantileReturnAnalysis(benchmark="000300.XSHG"),
        "factor_return": FactorReturnAnalysis(),
    }
    for name in STAGES[3:]:
        steps[name].step_name = name
    return steps


def run_stage(steps, name, factor, returns):
    step = steps[name]
    if name in PREPROCESSING:
        return step.process(factor)
    return step.analysis(factor, returns, _market.PERIODS, ascending=False)


def load_inputs(k):
    """(factor, returns, seconds to load the factor, seconds to build the return table)."""
    from sigmora.analysis.varodyne import _daily_returns
    t0 = time.perf_counter()
    factor = _market.load_factor(k)
    t1 = time.perf_counter()
    returns = _daily_returns(factor, _market.PERIODS)
    t2 = time.perf_counter()
    if not returns.index.is_monotonic_increasing:
        print("WARNING: the daily return table's dates are out of order (check tidewell.get_price); "
              "the figures of this size are computed on misordered returns.", file=sys.stderr, flush=True)
    return factor, returns, t1 - t0, t2 - t1


def preprocessed(steps, factor, returns, upto):
    """The factor table as the stage `upto` receives it."""
    for name in PREPROCESSING:
        if name == upto:
            break
        factor = run_stage(steps, name, factor, returns)
    return factor


# ----------------------------------------------------------------------------- child processes

def child_load(args):
    """Data loading: the factor from the store and the engine's daily return table, saved for
    the measuring processes so that their peak RSS is the pipeline's, not the loader's."""
    _market.select(args.store)
    factor, returns, t_factor, t_returns = load_inputs(args.k)
    save_tables(args.inputs, factor=factor, returns=returns)
    return {"scale": args.k, "shape": list(factor.shape), "returns_shape": list(returns.shape),
            "factor_load_s": t_factor, "returns_s": t_returns, "peak_rss_load_mb": peak_rss_mb()}


def child_sigmora(args):
    from sigmora.analysis.varodyne import FactorVarodyne
    _market.select(args.store)
    out = {"scale": args.k, "load_before": _market.load_note()}
    factor = read_table(args.inputs, "factor")
    returns = read_table(args.inputs, "returns")
    out.update(shape=list(factor.shape), rss_inputs_mb=peak_rss_mb())
    steps = make_steps()
    stages = {}
    current = factor
    for name in STAGES:
        seconds, growth, result = measure(run_stage, steps, name, current, returns)
        stages[name] = {"s": seconds, "peak_growth_mb": growth / MB}
        if name in PREPROCESSING:
            current = result
        del result
    out["stages"] = stages
    out["pipeline_s"] = sum(v["s"] for v in stages.values())
    out["peak_rss_pipeline_mb"] = peak_rss_mb()
    out["load_after"] = _market.load_note()
    if args.engine:
        engine = FactorVarodyne()
        for name, step in make_steps().items():
            engine.append((name, step))
        fresh = read_table(args.inputs, "factor")
        seconds, _, _ = measure(engine.analysis, fresh, "daily", ascending=False, periods=_market.PERIODS)
        out["engine_s"] = seconds
    return out


def child_engine(args):
    """The engine end to end in a fresh process: the daily return table, every step's market
    data (industry tables not cached yet) and the six steps; its peak RSS is the run's."""
    from sigmora.analysis.varodyne import FactorVarodyne
    _market.select(args.store)
    out = {"scale": args.k, "load_before": _market.load_note()}
    factor = read_table(args.inputs, "factor")
    engine = FactorVarodyne()
    for name, step in make_steps().items():
        engine.append((name, step))
    rss_before = peak_rss_mb()
    seconds, _, _ = measure(engine.analysis, factor, "daily", ascending=False, periods=_market.PERIODS)
    out.update(engine_cold_s=seconds, peak_rss_engine_mb=peak_rss_mb(), rss_before_engine_mb=rss_before,
               load_after=_market.load_note())
    return out


class _OverBudget(Exception):
    pass


def _alarm(signum, frame):
    raise _OverBudget()


def child_reference(args):
    import _references
    _market.select(args.store)
    out = {"scale": args.k, "stage": args.stage, "load_before": _market.load_note()}
    factor = read_table(args.inputs, "factor")
    returns = read_table(args.inputs, "returns")
    steps = make_steps()
    stage_input = preprocessed(steps, factor, returns, args.stage)
    out["shape"] = list(factor.shape)
    try:
        call = _references.reference(args.stage)
    except _references.NotAvailable as exc:
        out["status"] = "not importable: {}".format(exc)
        return out
    signal.signal(signal.SIGALRM, _alarm)
    signal.setitimer(signal.ITIMER_REAL, args.reference_budget)
    t0 = time.perf_counter()
    try:
        expected = call(stage_input, returns, _market.PERIODS)
        out["s"] = time.perf_counter() - t0
        out["status"] = "ok"
    except _OverBudget:
        out["s"] = time.perf_counter() - t0
        out["status"] = "over budget"
        return out
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    out["load_after"] = _market.load_note()
    # The ratio only means something if both computed the same table.
    actual = run_stage(steps, args.stage, stage_input, returns)
    out["max_abs_diff"], out["nan_mismatches"] = difference(main_table(args.stage, actual),
                                                            main_table(args.stage, expected))
    return out


_MAIN_TABLES = {"ic": "ic", "quantile": "quantile_returns", "factor_return": "factor_returns"}


def main_table(stage, result):
    """The table a stage exists for (a record's attribute or a transcription's dict entry)."""
    key = _MAIN_TABLES.get(stage)
    if key is None or isinstance(result, pd.DataFrame):
        return result
    return result[key] if isinstance(result, dict) else getattr(result, key)


def difference(actual, expected):
    """(largest absolute difference, cells missing on one side only), over aligned labels."""
    actual, expected = actual.astype(float).align(expected.astype(float), join="outer")
    a, b = actual.to_numpy(), expected.to_numpy()
    both = ~np.isnan(a) & ~np.isnan(b)
    largest = float(np.abs(a[both] - b[both]).max()) if both.any() else 0.0
    return largest, int((np.isnan(a) != np.isnan(b)).sum())


def spawn(args, extra, timeout):
    cmd = [sys.executable, os.path.abspath(__file__), "--store", args.store,
           "--reference-budget", str(args.reference_budget)] + extra
    if not args.engine:
        cmd.append("--no-engine")
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"status": "killed after {:.0f} s".format(timeout)}
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        return {"status": "failed (exit {}): {}".format(proc.returncode, proc.stderr.strip().splitlines()[-1:])}
    if proc.stderr.strip():
        sys.stderr.write(proc.stderr)
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ----------------------------------------------------------------------------- the report

def shape_text(shape):
    return "{} x {}".format(*shape)


def print_scaling(runs):
    print("\n### Time and memory by size (seconds; RSS of the measuring process)\n")
    head = ["stage"] + ["1/{} ({})".format(r["scale"], shape_text(r["shape"])) if r["scale"] != 1
                        else "full ({})".format(shape_text(r["shape"])) for r in runs]
    rows = [["load factor (tidewell.get_signal)"] + ["{:.2f}".format(r["factor_load_s"]) for r in runs],
            ["daily return table (engine, from prices)"] + ["{:.2f}".format(r["returns_s"]) for r in runs]]
    for name in STAGES:
        rows.append([STAGE_TITLES[name]] + ["{:.3f}".format(r["stages"][name]["s"]) for r in runs])
    rows.append(["**pipeline after data loading**"] + ["**{:.2f}**".format(r["pipeline_s"]) for r in runs])
    if all("engine_s" in r for r in runs):
        rows.append(["engine.analysis(factor, \"daily\") end to end"] +
                    ["{:.2f}".format(r["engine_s"]) for r in runs])
    if all("engine_cold_s" in r for r in runs):
        rows.append(["**engine.analysis(factor, \"daily\"), fresh process, cold caches**"] +
                    ["**{:.2f}**".format(r["engine_cold_s"]) for r in runs])
        rows.append(["**peak RSS of that process, MB**"] +
                    ["**{:.0f}**".format(r["peak_rss_engine_mb"]) for r in runs])
    rows.append(["peak RSS of the loading process, MB"] + ["{:.0f}".format(r["peak_rss_load_mb"]) for r in runs])
    rows.append(["peak RSS with the inputs read, MB"] + ["{:.0f}".format(r["rss_inputs_mb"]) for r in runs])
    rows.append(["**peak RSS of the pipeline, MB**"] + ["**{:.0f}**".format(r["peak_rss_pipeline_mb"])
                                                        for r in runs])
    rows.append(["largest step's RSS growth, MB"] + ["{:.0f} ({})".format(*max(
        (v["peak_growth_mb"], n) for n, v in r["stages"].items())) for r in runs])
    rows.append(["load average (1 min) before -> after"] + ["{} -> {}".format(r["load_before"][5:], r["load_after"][5:])
                                                           for r in runs])
    if any(r.get("repeats", 1) > 1 for r in runs):
        rows.append(["runs (best time of each figure, largest RSS)"] + [str(r.get("repeats", 1)) for r in runs])
    _markdown(head, rows)


def print_references(runs, refs):
    print("\n### Against the literal transcription (seconds, same run)\n")
    head = ["stage", "size", "sigmora", "transcription", "ratio", "max abs diff (NaN mismatches)",
            "load (transcription)"]
    rows = []
    by_scale = {r["scale"]: r for r in runs}
    for ref in refs:
        ours = by_scale.get(ref["scale"], {}).get("stages", {}).get(ref["stage"], {}).get("s")
        shape = shape_text(ref["shape"]) if "shape" in ref else "1/{}".format(ref["scale"])
        status = ref.get("status", "")
        if status == "ok":
            ratio = "{:.0f}x".format(ref["s"] / ours) if ours else "-"
            rows.append([STAGE_TITLES[ref["stage"]], shape, "{:.3f}".format(ours) if ours else "-",
                         "{:.2f}".format(ref["s"]), ratio,
                         "{:.1e} ({})".format(ref["max_abs_diff"], ref["nan_mismatches"]), ref.get("load_before", "")])
        elif status == "over budget":
            rows.append([STAGE_TITLES[ref["stage"]], shape, "{:.3f}".format(ours) if ours else "-",
                         "> {:.0f} (stopped)".format(ref["s"]),
                         "> {:.0f}x".format(ref["s"] / ours) if ours else "-", "-", ref.get("load_before", "")])
        else:
            rows.append([STAGE_TITLES[ref["stage"]], shape, "{:.3f}".format(ours) if ours else "-",
                         status, "-", "-", ref.get("load_before", "")])
    for k in sorted({ref["scale"] for ref in refs}, reverse=True):
        at_k = [ref for ref in refs if ref["scale"] == k and ref.get("status") == "ok"]
        if len(at_k) == len(STAGES) and k in by_scale:
            ours = by_scale[k]["pipeline_s"]
            theirs = sum(ref["s"] for ref in at_k)
            rows.append(["**whole pipeline**", shape_text(by_scale[k]["shape"]), "**{:.2f}**".format(ours),
                         "**{:.1f}**".format(theirs), "**{:.0f}x**".format(theirs / ours), "", ""])
    _markdown(head, rows)


def print_goals(runs, refs, cores):
    full = [r for r in runs if r["scale"] == 1]
    if not full:
        return
    r = full[0]
    print("\n### Goals at full size ({}, {} cores)\n".format(shape_text(r["shape"]), cores))

    def goal(text, value, limit, unit="s", fmt="{:.2f}"):
        print("- {}: {} {} (goal <= {:g} {}): {}".format(text, fmt.format(value), unit, limit, unit,
                                                         "met" if value <= limit else "NOT met"))

    goal("factor read (tidewell.get_signal, whole market)", r["factor_load_s"], 0.5)
    goal("engine's daily return table", r["returns_s"], 0.5)
    goal("Neutralization() incl. its reads", r["stages"]["neutralize"]["s"], 1.2)
    goal("ICAnalysis(citics_2019, max_decay=20)", r["stages"]["ic"]["s"], 2.0)
    if "engine_cold_s" in r:
        goal("engine.analysis(factor, \"daily\") end to end, fresh process", r["engine_cold_s"], 5.0)
        goal("peak RSS of that process", r["peak_rss_engine_mb"], 1500, "MB", "{:.0f}")
    goal("pipeline after data loading", r["pipeline_s"], 15.0)
    goal("peak RSS of the pipeline process", r["peak_rss_pipeline_mb"], 3072, "MB", "{:.0f}")
    full_refs = {x["stage"]: x for x in refs if x["scale"] == 1 and x.get("status") in ("ok", "over budget")}
    if len(full_refs) == len(STAGES):
        total = sum(x["s"] for x in full_refs.values())
        bound = "> " if any(x["status"] != "ok" for x in full_refs.values()) else ""
        ratio = total / r["pipeline_s"]
        print("- transcription at full size: {}{:.0f} s, ratio {}{:.0f}x (goal >= 150x): {}".format(
            bound, total, bound, ratio, "met" if ratio >= 150 else "NOT met"))
    else:
        print("- transcription at full size: not measured for every stage (see the table above)")


def _markdown(head, rows):
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join("---" for _ in head) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    sys.stdout.flush()


# ----------------------------------------------------------------------------- driver

def parse_scales(text):
    return [int(x) for x in text.split(",") if x.strip()]


def parse_stages(text):
    stages = [x.strip() for x in text.split(",") if x.strip()]
    unknown = [x for x in stages if x not in STAGES]
    if unknown:
        raise argparse.ArgumentTypeError("unknown stages {}, expect some of {}".format(unknown, STAGES))
    return stages


def driver(args):
    args.store = _market.ensure_store(args.store)
    _market.print_run_header("sigmora full pipeline benchmark", "bench_pipeline.py")
    runs, refs, previous = [], [], {}
    # Smallest size first: a transcription that cannot finish at one size is not tried at the next.
    for k in sorted(set(args.scales) | set(args.reference_scales), reverse=True):
        with tempfile.TemporaryDirectory(prefix="sigmora-bench-") as inputs:
            loads = [spawn(args, ["--child", "load", "--k", str(k), "--inputs", inputs], args.child_timeout)
                     for _ in range(args.repeat)]
            loaded = loads[-1]
            if "shape" not in loaded:
                print("scale 1/{}: loading {}".format(k, loaded.get("status")), flush=True)
                continue
            if k in args.scales:
                tries = [spawn(args, ["--child", "sigmora", "--k", str(k), "--inputs", inputs], args.child_timeout)
                         for _ in range(args.repeat)]
                tries = [t for t in tries if "stages" in t]
                if not tries:
                    print("scale 1/{}: failed".format(k), flush=True)
                else:
                    run = best_run(tries)
                    for key in ("factor_load_s", "returns_s"):
                        run[key] = min(x[key] for x in loads if key in x)
                    run["peak_rss_load_mb"] = max(x["peak_rss_load_mb"] for x in loads if "peak_rss_load_mb" in x)
                    if args.engine:
                        cold = [spawn(args, ["--child", "engine", "--k", str(k), "--inputs", inputs],
                                      args.child_timeout) for _ in range(args.repeat)]
                        cold = [c for c in cold if "engine_cold_s" in c]
                        if cold:
                            run["engine_cold_s"] = min(c["engine_cold_s"] for c in cold)
                            run["peak_rss_engine_mb"] = max(c["peak_rss_engine_mb"] for c in cold)
                            run["engine_cold_loads"] = [c["load_before"] for c in cold]
                    runs.append(run)
                    print("scale 1/{} {}: pipeline {:.2f} s, peak RSS {:.0f} MB ({})".format(
                        k, shape_text(run["shape"]), run["pipeline_s"], run["peak_rss_pipeline_mb"],
                        run["load_after"]), file=sys.stderr, flush=True)
            if k in args.reference_scales:
                for stage in args.reference_stages:
                    ref = reference_run(args, k, stage, inputs, loaded["shape"], previous.get(stage))
                    refs.append(ref)
                    previous[stage] = ref
    if runs:
        print_scaling(runs)
    if refs:
        print_references(runs, refs)
    print_goals(runs, refs, os.cpu_count())
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"runs": runs, "references": refs, "argv": sys.argv[1:]}, f, indent=1)


def best_run(tries):
    """One run's record with the best time of each stage over `tries` (the largest peak RSS)."""
    run = dict(tries[0])
    run["stages"] = {name: {"s": min(t["stages"][name]["s"] for t in tries),
                            "peak_growth_mb": max(t["stages"][name]["peak_growth_mb"] for t in tries)}
                     for name in tries[0]["stages"]}
    run["pipeline_s"] = min(t["pipeline_s"] for t in tries)
    run["peak_rss_pipeline_mb"] = max(t["peak_rss_pipeline_mb"] for t in tries)
    if all("engine_s" in t for t in tries):
        run["engine_s"] = min(t["engine_s"] for t in tries)
    run["load_before"] = tries[0]["load_before"]
    run["load_after"] = tries[-1]["load_after"]
    run["repeats"] = len(tries)
    return run


def reference_run(args, k, stage, inputs, shape, prior):
    base = {"scale": k, "stage": stage, "shape": shape}
    if prior is not None and prior.get("status") != "ok":
        status = prior["status"] if prior["status"].startswith("not run") else \
            "not run: {} at 1/{}".format(prior["status"], prior["scale"])
        return dict(base, status=status)
    # Both axes double from one size to the next: about four times the work.
    if prior is not None and prior["s"] * 4 > args.reference_budget * args.predict_margin:
        return dict(base, status="not run: {:.0f} s at 1/{} predicts > {:.0f} s".format(
            prior["s"], prior["scale"], args.reference_budget))
    ref = spawn(args, ["--child", "reference", "--k", str(k), "--stage", stage, "--inputs", inputs],
                timeout=args.reference_budget + args.child_timeout)
    ref = dict(base, **ref)
    print("transcription {} at 1/{}: {} {}".format(stage, k, ref.get("status"),
                                                   "{:.1f} s".format(ref["s"]) if "s" in ref else ""),
          file=sys.stderr, flush=True)
    return ref


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--store", default=None, help="tidewell store (default: the cached large demo store)")
    p.add_argument("--scales", type=parse_scales, default=[8, 4, 2, 1], help="sizes 1/k, e.g. 8,4,2,1")
    p.add_argument("--reference-scales", type=parse_scales, default=[8, 4, 2, 1],
                   help="sizes at which the transcriptions run (empty: none)")
    p.add_argument("--reference-stages", type=parse_stages, default=list(STAGES),
                   help="stages whose transcription runs, e.g. ic,quantile (default: all)")
    p.add_argument("--reference-budget", type=float, default=600.0, help="seconds per transcription stage")
    p.add_argument("--predict-margin", type=float, default=1.0,
                   help="skip a transcription whose 4x extrapolation exceeds margin x budget")
    p.add_argument("--child-timeout", type=float, default=1800.0)
    p.add_argument("--repeat", type=int, default=1,
                   help="run each measuring process this many times; keep the best time of each figure")
    p.add_argument("--no-engine", dest="engine", action="store_false",
                   help="skip the end-to-end engine cross-check")
    p.add_argument("--json", default=None, help="also write the raw figures to this file")
    p.add_argument("--child", choices=("load", "sigmora", "engine", "reference"), help=argparse.SUPPRESS)
    p.add_argument("--inputs", help=argparse.SUPPRESS)
    p.add_argument("--k", type=int, help=argparse.SUPPRESS)
    p.add_argument("--stage", choices=STAGES, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child == "load":
        print(json.dumps(child_load(args)))
    elif args.child == "sigmora":
        print(json.dumps(child_sigmora(args)))
    elif args.child == "engine":
        print(json.dumps(child_engine(args)))
    elif args.child == "reference":
        print(json.dumps(child_reference(args)))
    else:
        driver(args)


if __name__ == "__main__":
    main()
