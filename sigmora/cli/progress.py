"""Progress lines on stderr, and the engine run with each of its steps timed."""

import sys
import time

from sigmora.analysis import registry

__all__ = ["Progress", "run_pipeline"]


class Progress:
    """Stage lines on stderr: the stage's name when it starts, its duration when it ends."""

    def __init__(self, stream=None, enabled=True):
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self._label = None
        self._t0 = None

    def begin(self, label):
        self.end()
        self._label, self._t0 = label, time.perf_counter()
        if self.enabled:
            print("  {} ...".format(label), file=self.stream, flush=True)

    def end(self):
        if self._label is not None and self.enabled:
            print("  {} done in {:.1f}s".format(self._label, time.perf_counter() - self._t0),
                  file=self.stream, flush=True)
        self._label = None


def _timed_steps(steps, progress, prefix):
    """Wrap step objects so that the engine's calls into them report their stage.

    The engine recognises a step by its base class, so each wrapper derives from the base of the
    step it wraps and forwards the call unchanged.
    """
    from sigmora.analysis.varodyne import FactorAnalyser, FactorPreprocessor

    class TimedPreprocessor(FactorPreprocessor):
        def __init__(self, step, label):
            self.step, self.label = step, label

        def process(self, factor_data):
            progress.begin(self.label)
            try:
                return self.step.process(factor_data)
            finally:
                progress.end()

    class TimedAnalyser(FactorAnalyser):
        def __init__(self, step, label):
            self.step, self.label = step, label
            self.period_rows = getattr(step, "period_rows", None)

        def analysis(self, factor_data, returns, periods, ascending=True):
            self.step.step_name = self.step_name
            progress.begin(self.label)
            try:
                return self.step.analysis(factor_data, returns, periods, ascending=ascending)
            finally:
                progress.end()

    wrapped = []
    for name, step in steps:
        label = "{}{} ({})".format(prefix, name, type(step).__name__)
        cls = TimedPreprocessor if isinstance(step, FactorPreprocessor) else TimedAnalyser
        wrapped.append((name, cls(step, label)))
    return wrapped


def run_pipeline(factor, steps, periods, ascending=False, progress=None, label=""):
    """Run the engine over ``factor`` with ``steps`` (name, step) and daily returns; stages are
    reported to ``progress``.  Returns the engine's result dict."""
    progress = progress or Progress(enabled=False)
    engine = registry.make_engine(_timed_steps(steps, progress, "[{}] ".format(label) if label else ""))
    # The engine loads prices before the first step starts; that stage ends when a step begins.
    progress.begin("{}prices and daily returns".format("[{}] ".format(label) if label else ""))
    try:
        return engine.analysis(factor, "daily", ascending=ascending, periods=list(periods))
    finally:
        progress.end()
