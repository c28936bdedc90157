"""Progress lines on stderr, and the engine run with each of its steps timed."""

import sys
import time

from sigmora.analysis import registry

__all__ = ["Progress", "run_pipeline"]


class Progress:
    """Stage lines on stderr.

    ``verbose``: a line when each stage starts and one with its duration when it ends.  Otherwise
    a terminal shows the current stage on one line that each stage overwrites (and that is
    cleared at the end), and a stream that is no terminal gets no stage lines at all.
    """

    def __init__(self, stream=None, enabled=True, verbose=False):
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.verbose = verbose
        self._live = enabled and not verbose and _is_terminal(self.stream)
        self._label = None
        self._t0 = None

    def begin(self, label):
        self.end()
        self._label, self._t0 = label, time.perf_counter()
        if self.enabled and self.verbose:
            print("  {} ...".format(label), file=self.stream, flush=True)
        elif self._live:
            self.stream.write("\r\033[K  {} ...".format(label))
            self.stream.flush()

    def end(self):
        if self._label is not None and self.enabled and self.verbose:
            print("  {} done in {:.1f}s".format(self._label, time.perf_counter() - self._t0),
                  file=self.stream, flush=True)
        elif self._label is not None and self._live:
            self.stream.write("\r\033[K")
            self.stream.flush()
        self._label = None


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


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
