"""The steps a pipeline can be built from, by name: one registry entry per step.

    >>> from sigmora.analysis import registry
    >>> steps = registry.build_steps(["winsorize", "ic"], winsorize_method="mad", max_decay=10)
    >>> engine = registry.make_engine(steps)

An entry maps a step name (the one the command line's ``--preprocess`` and ``--analysis`` take)
to a factory of the step.  The factory's parameters name the options it reads: `build_steps`
passes each factory those of its options that the factory takes, and the factory's defaults
stand for the options not given.  The options the command line gives are ``winsorize_method``,
``industry``, ``style_factors``, ``max_decay``, ``quantile``, ``benchmark``, ``quantile_weights``, ``cost_bps``,
``tradable_rules``, ``min_listed_days`` and ``universe``.

Adding an analysis step takes its module, its result record (with ``headline()`` and
``leaderboard_figures()`` for the report and the leaderboard) and one `register` call::

    @register("my_step", ANALYSIS)
    def _my_step(quantile=5):
        from sigmora.analysis._my_step import MyStepAnalysis
        return MyStepAnalysis(groups=quantile)

Factories import their step when called: reading the registry (the command line's option
parsing and ``--help``) loads no engine.
"""

import inspect
from typing import Callable, NamedTuple

__all__ = ["PREPROCESS", "ANALYSIS", "StepEntry", "register", "unregister", "entry", "names",
           "default_names", "uses_option", "build_steps", "make_engine", "TRADABLE_RULES",
           "parse_tradable_rules", "QUANTILE_WEIGHTS"]

PREPROCESS = "preprocess"
ANALYSIS = "analysis"
_KINDS = (PREPROCESS, ANALYSIS)


class StepEntry(NamedTuple):
    """One registered step: its name, its kind (PREPROCESS or ANALYSIS), its factory, and whether
    the default pipeline (``sigmora demo``, ``sigmora run`` without ``--preprocess`` or
    ``--analysis``) holds it."""

    name: str
    kind: str
    factory: Callable[..., object]
    default: bool = True

    def options(self):
        """Names of the options the factory takes."""
        params = inspect.signature(self.factory).parameters.values()
        return tuple(p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY))

    def build(self, options):
        """The step, built from those of ``options`` (a dict) that the factory takes."""
        return self.factory(**{k: options[k] for k in self.options() if k in options})


_ENTRIES = {}  # name -> StepEntry, in the order of registration (the order the choices are listed in)


def register(name, kind, factory=None, default=True):
    """Register the step ``name`` of ``kind`` (PREPROCESS or ANALYSIS), built by ``factory``.

    Without ``factory``, returns a decorator registering the function it decorates.  A name
    may be registered once (`unregister` frees it).  Returns the factory.
    """
    if kind not in _KINDS:
        raise ValueError("kind: expect one of {}, got {!r}".format(_KINDS, kind))
    if factory is None:
        return lambda f: register(name, kind, f, default=default)
    if not callable(factory):
        raise TypeError("factory: expect a callable, got {}".format(type(factory)))
    if name in _ENTRIES:
        raise ValueError("step name {!r} is already registered".format(name))
    _ENTRIES[name] = StepEntry(name, kind, factory, default)
    return factory


def unregister(name):
    """Remove the step ``name``; returns its entry."""
    return _ENTRIES.pop(name)


def entry(name):
    """The entry of the step ``name`` (KeyError when none is registered)."""
    return _ENTRIES[name]


def names(kind):
    """Names of the registered steps of ``kind``, in the order of registration."""
    return tuple(e.name for e in _ENTRIES.values() if e.kind == kind)


def default_names(kind):
    """Names of the steps of ``kind`` that the default pipeline holds, in order."""
    return tuple(e.name for e in _ENTRIES.values() if e.kind == kind and e.default)


def uses_option(step_names, option):
    """Whether any of the steps named builds with ``option``."""
    return any(option in _ENTRIES[name].options() for name in step_names)


def build_steps(step_names, **options):
    """The (name, step) pairs of the steps named, in the order given."""
    return [(name, _ENTRIES[name].build(options)) for name in step_names]


def make_engine(steps):
    """A `FactorVarodyne` engine holding the (name, step) pairs given, in order."""
    from sigmora.analysis.varodyne import FactorVarodyne
    engine = FactorVarodyne()
    for step in steps:
        engine.append(step)
    return engine


# ----------------------------------------------------------------------------- the steps

#: The rules of the "tradable" step that ``tradable_rules`` names, and TradableUniverse's
#: argument for each.
TRADABLE_RULES = {"suspended": "suspended", "limit": "price_limit", "st": "st"}


def parse_tradable_rules(text):
    """The rule names of ``text`` ("suspended,limit,st", "none", or a list of names)."""
    items = text if isinstance(text, (list, tuple, set)) else \
        ([] if str(text).strip().lower() == "none" else [t.strip() for t in str(text).split(",") if t.strip()])
    bad = [t for t in items if t not in TRADABLE_RULES]
    if bad:
        raise ValueError("tradable_rules: expect a comma-separated subset of {} (or none), got {!r}".format(
            ",".join(TRADABLE_RULES), text))
    return list(dict.fromkeys(items))


@register("tradable", PREPROCESS, default=False)
def _tradable(tradable_rules="suspended,limit,st", min_listed_days=60, universe=None):
    from sigmora.analysis.varodyne import TradableUniverse
    chosen = parse_tradable_rules(tradable_rules)
    return TradableUniverse(min_listed_days=min_listed_days, index=universe,
                            **{arg: name in chosen for name, arg in TRADABLE_RULES.items()})


@register("winsorize", PREPROCESS)
def _winsorize(winsorize_method="mad"):
    from sigmora.analysis.varodyne import Winzorization
    return Winzorization(method=winsorize_method)


@register("neutralize", PREPROCESS)
def _neutralize(industry="citics_2019", style_factors="all"):
    from sigmora.analysis.varodyne import Neutralization
    return Neutralization(industry=industry, style_factors=style_factors)


@register("normalize", PREPROCESS)
def _normalize():
    from sigmora.analysis.varodyne import Normalization
    return Normalization()


@register("ic", ANALYSIS)
def _ic(industry="citics_2019", max_decay=20):
    from sigmora.analysis.varodyne import ICAnalysis
    return ICAnalysis(industry_classification=industry, max_decay=max_decay or None)


#: The group weightings the "quantile" step takes by name (``quantile_weights``).
QUANTILE_WEIGHTS = ("equal", "cap")


@register("quantile", ANALYSIS)
def _quantile(quantile=5, benchmark="000300.XSHG", quantile_weights="equal", cost_bps=0):
    from sigmora.analysis.varodyne import QuantileReturnAnalysis
    return QuantileReturnAnalysis(quantile=quantile, benchmark=benchmark, weights=quantile_weights,
                                  cost_bps=cost_bps)


@register("factor_return", ANALYSIS)
def _factor_return(cost_bps=0):
    from sigmora.analysis.varodyne import FactorReturnAnalysis
    return FactorReturnAnalysis(cost_bps=cost_bps)
