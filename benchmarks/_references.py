"""The literal pandas/scipy transcriptions of the pipeline steps, as the benchmarks call them.

The transcriptions live with the tests (they are what the fast steps are tested against); this
module only finds them and gives each the calling convention of the benchmark:
`call(factor, returns, periods)` runs the step's documented algorithm on the table the step
receives in the pipeline.
"""

import importlib
import os
import sys

TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")


class NotAvailable(Exception):
    """The transcription of a stage cannot be imported."""


def _module(*names):
    if TESTS not in sys.path:
        sys.path.insert(0, TESTS)
    errors = []
    for name in names:
        try:
            return importlib.import_module(name)
        except Exception as exc:  # a transcription module that fails to import is reported, not fatal
            errors.append("{}: {}".format(name, exc))
    raise NotAvailable("; ".join(errors))


def _attribute(module, *names):
    for name in names:
        if hasattr(module, name):
            return getattr(module, name)
    raise NotAvailable("{} has none of {}".format(module.__name__, ", ".join(names)))


def reference(stage):
    """`call(factor, returns, periods)` for one of the benchmark's stage names."""
    try:
        make = _ADAPTERS[stage]
    except KeyError:
        raise NotAvailable("no transcription is known for stage {}".format(stage))
    return make()


def _winsorize():
    ref = _module("reference_winsorize")
    return lambda factor, returns, periods: ref.batch_winsorize_mad(factor)


def _normalize():
    ref = _module("reference_winsorize")
    return lambda factor, returns, periods: ref.normalization(factor)


def _neutralize():
    from sigmora.analysis.varodyne import Neutralization
    ref = _module("reference_ols")
    step = Neutralization()
    return lambda factor, returns, periods: ref.neutralize(step, factor, ref.lstsq_residuals)


def _ic():
    from sigmora.analysis.varodyne import _load_industry_data
    ref = _module("reference_ic")
    return lambda factor, returns, periods: ref.ic_analysis(
        factor, returns, periods, ascending=False, rank_ic=True, industry="citics_2019", max_decay=20,
        load_industry_data=_load_industry_data)


def _quantile():
    from sigmora.analysis.varodyne import QuantileReturnAnalysis
    ref = _module("reference_portfolio")
    # The benchmark series is one price request; the step's own loader serves the transcription.
    loader = QuantileReturnAnalysis(benchmark="000300.XSHG")._load_benchmark_series
    return lambda factor, returns, periods: ref.quantile_analysis(
        factor, returns, periods, ascending=False, quantile=5, benchmark_loader=loader)


def _factor_return():
    ref = _module("reference_portfolio")
    return lambda factor, returns, periods: ref.factor_returns(factor, returns, periods, ascending=False)


_ADAPTERS = {
    "winsorize": _winsorize,
    "neutralize": _neutralize,
    "normalize": _normalize,
    "ic": _ic,
    "quantile": _quantile,
    "factor_return": _factor_return,
}
