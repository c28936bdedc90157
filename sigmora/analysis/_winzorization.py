"""Placeholder: this step is being written."""

from sigmora.analysis.varodyne import FactorPreprocessor


class Winzorization(FactorPreprocessor):
    pass


class Normalization(FactorPreprocessor):
    pass
