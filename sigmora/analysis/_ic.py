"""Placeholder: this step is being written."""

from sigmora.analysis.varodyne import FactorAnalyser


class ICAnalysis(FactorAnalyser):
    pass
