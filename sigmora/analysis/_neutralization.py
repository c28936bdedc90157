"""Placeholder: this step is being written."""

from sigmora.analysis.varodyne import FactorPreprocessor


class Neutralization(FactorPreprocessor):
    pass
