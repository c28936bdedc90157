"""Preprocessing steps that work on each date's cross-section: clipping and standardisation."""

import numpy as np

from sigmora.analysis._base import FactorPreprocessor, VALID_WINSORIZE_METHODS, warn_user
from sigmora.analysis import winsorize as _winsorize
from sigmora.analysis._arrays import adopt_frame, float_view
from sigmora.analysis._coverage import constant_rows
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
            return _said_if_flattened(batch_winsorize(factor_data), factor_data, self.method)
        winsorize = _winsorize.WINSORIZE_METHODS[self.method]
        # The methods shipped with sigmora clip the whole table in one call to the core,
        # with the same values as calling them on every row; any other function is
        # applied row by row.
        table_winsorize = _winsorize.table_form(winsorize)
        if table_winsorize is not None:
            return _said_if_flattened(table_winsorize(factor_data), factor_data, self.method)
        return factor_data.apply(winsorize, axis=1)


# Dates a clip may make constant before it says so: a factor of few distinct values loses them
# all, a factor with one such date in years should not be told about it at every run.
FLATTENED_SHARE = 0.05


# Why a clip of each method can leave a date of different values with one value.
_NO_WIDTH = {
    "mad": "more than half of a date's values are equal, so their median absolute deviation is 0",
    "percentile": "a date's 2.5th and 97.5th percentiles are equal",
}


def _said_if_flattened(clipped, factor_data, method):
    """``clipped``, after a warning when the clip made constant a share of the dates that held
    different values (``FLATTENED_SHARE`` or more of the dates with two or more values; the
    run's coverage counts every such date anyway): a band of no width sets every value to one
    number, and such a date ranks nothing."""
    after_values = float_view(clipped, "factor_data")
    counts = (~np.isnan(after_values)).sum(axis=1)     # the clip keeps every value present
    after = constant_rows(after_values, counts)
    if after.any():
        before = constant_rows(float_view(factor_data, "factor_data"), counts)
        flattened = int((after & ~before).sum())
        dates = int((counts >= 2).sum())
        if flattened and flattened >= FLATTENED_SHARE * dates:
            warn_user("Winzorization(method={!r}) made {} of the {} dates with values constant (a clipping band of "
                      "no width: {}), so they drop out of the test; for a factor of few distinct values clip with "
                      "method='std' or leave winsorizing out (command line: --winsorize-method std or "
                      "none)".format(method, flattened, dates, _NO_WIDTH.get(method, "the method's bounds are equal")))
    return clipped


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
