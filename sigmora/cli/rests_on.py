"""The one line that says what a factor's run rests on."""

__all__ = ["rests_on"]


def rests_on(results):
    """"rests on: ..." for one engine output: the dates and instruments its records used of
    those given (`sigmora.analysis._coverage.Coverage.text`)."""
    for value in results.values():
        coverage = getattr(value, "coverage", None)
        if coverage is not None:
            return "rests on: " + coverage.text()
    return "rests on: not measured (no analysis step ran)"
