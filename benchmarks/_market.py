"""The benchmark market: the large demo store, cached under build/, and scaled factor tables.

Every benchmark script reads the same store, so figures from different scripts describe the
same data.  A scale 1/k keeps the first T/k trading dates and N/k instruments spread evenly over
the sorted ids of those trading in that window, so both axes shrink by k and the instruments stay
a mix of all boards.
"""

import os
import platform
import subprocess
import sys

import numpy as np
import pandas as pd

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The scripts run from a checkout against the installed package (`make install`); the checkout
# comes last on the path, for the tests' reference transcriptions.
if ROOT not in sys.path:
    sys.path.append(ROOT)
STORE_DIR = os.path.join(ROOT, "build", "bench-store")
N_STOCKS = 5000
START, END = "2015-01-05", "2024-12-31"
PERIODS = (1, 5, 10, 20)


def default_store_path():
    return os.path.join(STORE_DIR, "large-{}.duckdb".format(N_STOCKS))


def ensure_store(path=None):
    """Path of the large demo store, built on first use (about half a minute) and reused afterwards."""
    import tidewell
    path = path or default_store_path()
    if not os.path.exists(path):
        print("building the demo store {} ({} stocks, {} to {}) ...".format(path, N_STOCKS, START, END),
              file=sys.stderr, flush=True)
        tidewell.build_demo(path, n_stocks=N_STOCKS, start=START, end=END, quiet=False)
    return path


def select(store_path):
    import tidewell
    tidewell.init(store_path)


def full_factor():
    """The planted signal of the whole store: trading dates x instruments."""
    import tidewell
    factor = tidewell.get_signal(None, START, END)
    return factor.sort_index(axis=1)


def window_factor(dates, n_ids):
    """The planted signal on `dates` for `n_ids` stocks evenly spread over the ids (sorted) of
    those with values in that window, as float columns."""
    import tidewell
    factor = tidewell.get_signal(None, dates[0], dates[-1]).sort_index(axis=1)
    pick = np.unique(np.linspace(0, factor.shape[1] - 1, min(n_ids, factor.shape[1])).round().astype(int))
    return factor.iloc[:, pick].reindex(pd.DatetimeIndex(dates)).astype(np.float64)


def load_factor(k):
    """The planted signal at scale 1/k: the first T/k trading dates and N/k stocks."""
    import tidewell
    dates = tidewell.get_trading_dates(START, END)
    return window_factor(dates[:len(dates) // k], N_STOCKS // k)


def load_note():
    """The one-minute load average, to print next to a figure taken on a shared machine."""
    return "load {:.2f}".format(os.getloadavg()[0])


def _run(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        return ""


def print_run_header(title, script):
    """The heading every benchmark report starts with: title, the command that ran, the machine."""
    print("## {}\n".format(title))
    print("command: `python benchmarks/{} ".format(script) + " ".join(sys.argv[1:]) + "`\n")
    print("```")
    for line in machine_description():
        print(line)
    print("```")


def machine_description():
    """Lines describing the machine and the library versions, for the head of each report."""
    import scipy
    lines = ["nproc: {}".format(_run(["nproc"]))]
    lines += ["free -h:"] + ["  " + l for l in _run(["free", "-h"]).splitlines()]
    lines += ["lscpu | head:"] + ["  " + l for l in _run(["lscpu"]).splitlines()[:10]]
    lines.append("python {} ({}), numpy {}, pandas {}, scipy {}".format(
        platform.python_version(), platform.machine(), np.__version__, pd.__version__, scipy.__version__))
    import sigmora
    lines.append("sigmora kernel threads: {}".format(sigmora.get_num_threads()))
    # Set on some machines to pin an older OpenBLAS kernel; numpy's BLAS is slower with it.
    lines.append("OPENBLAS_CORETYPE: {}".format(os.environ.get("OPENBLAS_CORETYPE", "unset")))
    lines.append("uptime: {}".format(_run(["uptime"])))
    return lines
