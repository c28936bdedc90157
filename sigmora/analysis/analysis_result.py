"""Result records of the analysis steps: named tables plus a readable summary."""

__all__ = ["ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]


class _AnalysisResult:
    """A record of named tables; every table may be None."""

    _tables = ()

    def __init__(self, *, name=None, **tables):
        unknown = set(tables) - set(self._tables)
        if unknown:
            raise TypeError("{}: unexpected keyword arguments {}".format(type(self).__name__, sorted(unknown)))
        self.name = name
        for key in self._tables:
            setattr(self, key, tables.get(key))

    def __repr__(self):
        held = [k for k in self._tables if getattr(self, k) is not None]
        return "{}(name={!r}, tables={})".format(type(self).__name__, self.name, held)

    def show(self):
        print("{} '{}'".format(type(self).__name__, self.name))
        for key in self._tables:
            table = getattr(self, key)
            if table is None:
                print("\n{}: None".format(key))
            else:
                print("\n{} {}:".format(key, getattr(table, "shape", "")))
                print(table)


class ICAnalysisResult(_AnalysisResult):
    _tables = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute")


class QuantileReturnAnalysisResult(_AnalysisResult):
    _tables = ("quantile_turnover", "quantile_returns", "quantile_detail", "benchmark_return",
               "top_minus_bottom_returns")


class FactorReturnAnalysisResult(_AnalysisResult):
    _tables = ("factor_returns",)
