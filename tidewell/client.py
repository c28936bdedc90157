"""``get_client()``: the service-style client object whose ``execute(name)`` runs a named query.

Known names:

* ``"__internal__zx2019_industry"``: the CITICS 2019 classification history, a list of records
  (dicts) with keys ``first_industry_name``, ``order_book_id``, ``start_date`` — in that order,
  sorted by id then start date; ``start_date`` a naive ``pd.Timestamp`` at midnight.
* ``"__internal__shenwan_industry"``: the Shenwan history of all versions, records with keys
  ``index_name``, ``order_book_id``, ``start_date``, ``version`` (int 1, 2 or 3).

``pd.DataFrame(records, columns=[...])`` builds the record table either way.
"""

from __future__ import annotations

from typing import Callable, Dict, List

import pandas as pd

from . import api as _api

__all__ = ["Client", "get_client", "QUERIES"]


def _records(table: str, columns: List[str]) -> List[dict]:
    df = _api._store_().industry_records(table, columns)
    df["start_date"] = pd.to_datetime(df["start_date"]).astype("datetime64[ns]")
    if "version" in df:
        df["version"] = df["version"].astype(int)
    out = []
    cols = list(df.columns)
    for row in zip(*(df[c].tolist() for c in cols)):
        rec = dict(zip(cols, row))
        out.append(rec)
    return out


QUERIES: Dict[str, Callable[[], List[dict]]] = {
    "__internal__zx2019_industry": lambda: _records(
        "industry_citics_2019", ["first_industry_name", "order_book_id", "start_date"]),
    "__internal__shenwan_industry": lambda: _records(
        "industry_sws", ["index_name", "order_book_id", "start_date", "version"]),
}


class Client:
    """Runs named queries against the selected store."""

    def execute(self, name, *args, **kwargs):
        try:
            query = QUERIES[name]
        except (KeyError, TypeError):
            raise ValueError("execute: unknown query name {!r}, expect one of {}".format(
                name, sorted(QUERIES))) from None
        return query(*args, **kwargs)


_CLIENT = Client()


def get_client() -> Client:
    return _CLIENT
