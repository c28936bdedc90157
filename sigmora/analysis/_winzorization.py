"""Preprocessing steps that work on each date's cross-section: clipping and standardisation."""

from sigmora.analysis._base import FactorPreprocessor, VALID_WINSORIZE_METHODS
from sigmora.analysis import winsorize as _winsorize
from sigmora.analysis._arrays import adopt_frame, float_view
from sigmora import _core


class Winzorization(FactorPreprocessor):

    def __init__(self, method="mad"):
        """
        :param method: the processing method, default "mad"; one of mad, std and percentile
            ("none" is accepted too and passes the table through)
        """
        if not _is_known_method(method):
            raise ValueError("method: expect one of {}, got {}".format(VALID_WINSORIZE_METHODS, method))
        self.method = method

    def process(self, factor_data):
        try:
            batch_winsorize = _winsorize.BATCH_WINSORIZE_METHODS[self.method]
        except KeyError:
            pass
        else:
            return batch_winsorize(factor_data)
        winsorize = _winsorize.WINSORIZE_METHODS[self.method]
        # The methods shipped with sigmora clip the whole table in one call to the core,
        # with the same values as calling them on every row; any other function is
        # applied row by row.
        table_winsorize = _winsorize.table_form(winsorize)
        if table_winsorize is not None:
            return table_winsorize(factor_data)
        return factor_data.apply(winsorize, axis=1)


def _is_known_method(method):
    try:
        return method in VALID_WINSORIZE_METHODS
    except TypeError:  # an unhashable argument such as ["mad"]
        return False


class Normalization(FactorPreprocessor):
    """The standardisation method: each date's values minus their mean, divided by their
    sample standard deviation.

    A date whose values are all equal, or that has fewer than two values, becomes NaN;
    infinite results are replaced by 0. Missing values stay missing.
    """

    def process(self, factor_data):
        return adopt_frame(_core.preprocess_normalize(float_view(factor_data, "factor_data")), factor_data)
