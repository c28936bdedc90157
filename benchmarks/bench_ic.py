"""IC analysis: sigmora against the literal pandas/scipy transcription (tests/reference_ic.py).

Synthetic market: daily returns and a factor with a weak planted signal, 3% missing values,
and a CITICS-like classification of 30 industries (one in ten instruments changes industry
once) served by a fake market-data client, so both sides go through the same industry loader.

    python benchmarks/bench_ic.py                       # full size, transcription at the smaller size
    python benchmarks/bench_ic.py --dates 300 --ids 500 --ref-dates 120 --ref-ids 300   # quick
"""

import argparse
import os
import sys
import warnings

import numpy as np
import pandas as pd

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # tests/, after the installed package

import tidewell  # noqa: E402
import tidewell.client  # noqa: E402
import sigmora  # noqa: E402
from sigmora.analysis import varodyne  # noqa: E402
from sigmora.analysis.varodyne import ICAnalysis  # noqa: E402
from benchmarks._harness import measure, print_header, print_row  # noqa: E402
from tests import reference_ic as ref  # noqa: E402

PERIODS = (1, 5, 10, 20)
MAX_DECAY = 20
N_INDUSTRIES = 30


def make_market(n_dates, n_ids, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2015-01-05", periods=n_dates + max(PERIODS))
    ids = ["{:06d}.XSHE".format(i) for i in range(n_ids)]
    signal = rng.normal(size=(len(dates), n_ids))
    returns = 0.02 * rng.normal(size=signal.shape)
    returns[1:] += 0.002 * signal[:-1]
    returns = pd.DataFrame(returns, index=dates, columns=ids).mask(rng.random(signal.shape) < 0.03)
    factor = pd.DataFrame(signal[:n_dates], index=dates[:n_dates], columns=ids)
    factor = factor.mask(rng.random(factor.shape) < 0.03)
    records = []
    for i, oid in enumerate(ids):
        first = "industry_{:02d}".format(rng.integers(N_INDUSTRIES))
        records.append({"first_industry_name": first, "order_book_id": oid, "start_date": dates[0]})
        if i % 10 == 0:
            records.append({"first_industry_name": "industry_{:02d}".format(rng.integers(N_INDUSTRIES)),
                            "order_book_id": oid, "start_date": dates[rng.integers(1, n_dates)]})
    return factor, returns, records


def install_fake_classification(records, calendar):
    class FakeClient:
        def execute(self, name):
            assert name == "__internal__zx2019_industry"
            return records

    tidewell.client.get_client = lambda: FakeClient()
    tidewell.get_trading_dates = lambda start, end: calendar[(calendar >= start) & (calendar <= end)]
    varodyne.get_all_industry_data.cache_clear()
    varodyne.get_all_industry_category.cache_clear()


def sigmora_run(factor, returns, rank_ic):
    step = ICAnalysis(rank_ic=rank_ic, industry_classification="citics_2019", max_decay=MAX_DECAY)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return step.analysis(factor, returns, list(PERIODS), ascending=False)


def reference_run(factor, returns, rank_ic):
    return ref.ic_analysis(factor, returns, list(PERIODS), False, rank_ic, "citics_2019", MAX_DECAY,
                           load_industry_data=varodyne._load_industry_data)


def bench(n_dates, n_ids, with_reference):
    factor, returns, records = make_market(n_dates, n_ids)
    install_fake_classification(records, returns.index)
    shape = "{}x{}".format(n_dates, n_ids)
    for rank_ic in (True, False):
        varodyne.get_all_industry_data.cache_clear()
        ours_s, peak, ours = measure(sigmora_run, factor, returns, rank_ic)
        ref_s = None
        if with_reference:
            varodyne.get_all_industry_data.cache_clear()
            ref_s, _, expected = measure(reference_run, factor, returns, rank_ic)
            for name in ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute"):
                want = expected[name].drop(columns="factor", errors="ignore")
                gap = np.nanmax(np.abs(getattr(ours, name).to_numpy() - want.to_numpy()))
                assert gap < 1e-10, (name, gap)
        label = "ICAnalysis rank_ic={} citics decay={}".format(rank_ic, MAX_DECAY)
        print_row(label, shape, ours_s, ref_s, peak)
    # The share of the industry loader, which every run above calls once.
    varodyne.get_all_industry_data.cache_clear()
    load_s, load_peak, _ = measure(varodyne._load_industry_data, order_book_ids=returns.columns,
                                   dates=factor.index, source="citics_2019")
    print_row("  of which _load_industry_data", shape, load_s, None, load_peak)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--ids", type=int, default=5000)
    parser.add_argument("--ref-dates", type=int, default=500)
    parser.add_argument("--ref-ids", type=int, default=1000)
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--no-reference", action="store_true", help="skip the transcription rows")
    args = parser.parse_args()
    if args.threads:
        sigmora.set_num_threads(args.threads)
    print("threads={} periods={} load average {:.2f}".format(sigmora.get_num_threads(), PERIODS,
                                                             os.getloadavg()[0]))
    print_header()
    if not args.no_reference:
        bench(args.ref_dates, args.ref_ids, with_reference=True)
    bench(args.dates, args.ids, with_reference=False)


if __name__ == "__main__":
    main()
