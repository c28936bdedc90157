"""Placeholder: being written."""


def calc_residuals(endog, exog):
    raise NotImplementedError
