"""Test doubles shared by several test modules."""

import types

import pandas as pd

CITICS_QUERY = "__internal__zx2019_industry"
SWS_QUERY = "__internal__shenwan_industry"


class FakeMarket:
    """Stands in for the market-data client: industry records per classification query, a
    weekday calendar (as datetime.date values) and style exposures from a long table. Every
    request is recorded."""

    def __init__(self, citics=(), sws=(), exposures=None):
        self.answers = {CITICS_QUERY: None if citics is None else list(citics), SWS_QUERY: list(sws)}
        self.exposures = exposures
        self.queries = []
        self.calendar_requests = []
        self.style_requests = []
        self.client = types.SimpleNamespace(get_client=lambda: types.SimpleNamespace(execute=self._execute))

    def _execute(self, name):
        self.queries.append(name)
        return self.answers[name]

    def get_trading_dates(self, start, end):
        self.calendar_requests.append((start, end))
        return [d.date() for d in pd.bdate_range(start, end)]

    def get_style_factor_exposure(self, order_book_ids, start_date, end_date, factors=None):
        self.style_requests.append(dict(order_book_ids=list(order_book_ids), start_date=start_date,
                                        end_date=end_date, factors=factors))
        if factors is None:
            return self.exposures
        return self.exposures[[factors] if isinstance(factors, str) else list(factors)]


def run_cli(*argv):
    """Runs the `sigmora` command in this process: (exit code, stdout, stderr)."""
    import io
    from sigmora import cli
    out, err = io.StringIO(), io.StringIO()
    code = cli.main(list(argv), out=out, err=err)
    return code, out.getvalue(), err.getvalue()
