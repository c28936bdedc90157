"""The Neutralization step: per-date residuals on style exposures, industries and user factors.

Each date's factor values are regressed, without a constant, on the instruments' style
exposures, their industry dummies and the user's factor tables, and replaced by the
residuals. The industry dummies are one-hot, so the core demeans every variable within
each industry instead of materialising them (instruments without an industry are left
as they are), and the style exposures go to the core as records (instrument, date,
values), which the core places itself; the dates x instruments x variables array never
exists.

With a client that offers wide reads the exposures and industry codes are read and
regressed a block of dates at a time (`_market.style_exposure_blocks`), so only one
block's records are held; every date's regression is the same whichever block it falls
in, so the residuals are the same bits as in one pass.
"""

import numpy as np
import pandas as pd

from sigmora import _core
from sigmora.analysis import _industry, _market
from sigmora.analysis._arrays import as_float_matrix, float_view
from sigmora.analysis._base import warn_user, FactorPreprocessor, VALID_INDUSTRY_SOURCE, _is_date_frequency_index

__all__ = ["Neutralization"]

_NO_CODE = -1
_CATEGORY_TABLE = _industry.get_all_industry_category


class Neutralization(FactorPreprocessor):

    def __init__(self, industry="citics_2019", style_factors="all", other_factors=None):
        """
        :param industry: industry data source for industry neutralization, default "citics_2019";
            choices: citics_2019, sws or None; None means no industry neutralization
        :param style_factors: style neutralization, default "all"; None means no style neutralization
        :param other_factors: a list of user-defined factor tables
        industry, style_factors and other_factors may not all be None at once.
        """
        if industry and industry not in VALID_INDUSTRY_SOURCE:
            raise ValueError("industry: expect one of {}, got {}".format(VALID_INDUSTRY_SOURCE, industry))
        if industry is None and style_factors is None and other_factors is None:
            raise ValueError(
                "Expect at least one of [industry, style_factors, other_factors] not None, but get both None.")
        _check_other_factors(other_factors)
        self.industry = industry
        self.style_neutralize = True if style_factors else False
        self.style_factors = None if style_factors == "all" else style_factors
        self.other_factors = other_factors

    def process(self, df):
        index = df.index
        order_book_ids = df.columns.tolist()
        endog = as_float_matrix(df, "df")
        dense = [as_float_matrix(f.reindex(index=index, columns=order_book_ids), "other_factors[{}]".format(i))
                 for i, f in enumerate(self.other_factors or []) if f is not None and len(f) > 0]
        _warn_uncovered(endog, dense, order_book_ids)
        # Rows out of date order (never from the engine) keep the one-pass reading, which
        # asks for the exposures from the first row's date to the last row's.
        if self.style_neutralize and _market.has_wide_reads() and index.is_monotonic_increasing:
            result = self._in_date_blocks(endog, index, order_book_ids, dense)
        else:
            style = self._style_exposures(index, order_book_ids) if self.style_neutralize else _no_style()
            codes, n_industries = self._industry_codes(index, order_book_ids) if self.industry else (None, 0)
            result = _core.ols_neutralize(endog, *style, dense, codes, n_industries)
        return pd.DataFrame(data=result, index=df.index, columns=order_book_ids, copy=False)

    def _in_date_blocks(self, endog, index, order_book_ids, dense):
        """The residuals with the exposures and industry codes read and regressed a block of
        dates at a time."""
        # Intraday bars take the exposures of their calendar date.
        dates = index if _is_date_frequency_index(index) else index.normalize()
        row_date, slots = pd.factorize(dates, sort=True)
        row_date = np.asarray(row_date, dtype=np.int64)
        ids = list(dict.fromkeys(order_book_ids))
        column_key = pd.Index(ids).get_indexer(order_book_ids).astype(np.int64)
        industry = _IndustryCodes(self.industry, index, order_book_ids) if self.industry else None
        n_industries = industry.n_industries if industry else 0
        result = np.empty_like(endog)
        records = 0
        for block in _market.style_exposure_blocks(ids, pd.DatetimeIndex(slots), self.style_factors):
            rows = _rows_between(row_date, block.first, block.stop)
            records += len(block.row)
            result[rows] = _core.ols_neutralize(
                endog[rows], block.values, block.row, block.col, block.stop - block.first, len(ids),
                row_date[rows] - block.first, column_key, [d[rows] for d in dense],
                industry.codes(rows) if industry else None, n_industries)
            del block  # before the next block is read: one block at a time
        if records == 0 and _market.style_exposures(order_book_ids, index[0], index[-1], self.style_factors) is None:
            raise _no_exposures(self.style_factors, order_book_ids, index)
        return result

    def _style_exposures(self, index, order_book_ids):
        """The service's exposures, located without reshaping them: every record's date slot
        and instrument key, every factor row's date slot and every column's key."""
        style_df = _market.style_exposures(order_book_ids, index[0], index[-1], self.style_factors)
        if style_df is None:
            raise _no_exposures(self.style_factors, order_book_ids, index)
        records = style_df.index
        if not isinstance(records, pd.MultiIndex) or records.nlevels != 2 or "order_book_id" not in records.names:
            raise ValueError("style exposures: expect rows indexed by (order_book_id, date), got levels {}".format(
                list(records.names)))
        id_level = records.names.index("order_book_id")
        date_level = 1 - id_level

        # Intraday bars take the exposures of their calendar date.
        dates = index if _is_date_frequency_index(index) else index.normalize()
        row_date, slots = pd.factorize(dates)
        level_slot = pd.DatetimeIndex(slots).get_indexer(records.levels[date_level])
        record_date = _take_codes(level_slot, records.codes[date_level])
        record_key = np.asarray(records.codes[id_level], dtype=np.int64)
        column_key = records.levels[id_level].get_indexer(order_book_ids).astype(np.int64)
        return (float_view(style_df, "style exposures"), record_date, record_key, len(slots), len(records.levels[id_level]),
                np.asarray(row_date, dtype=np.int64), column_key)

    def _industry_codes(self, index, order_book_ids):
        """Codes by factor date and instrument (-1: none), and the number of industries.

        A factor date before the classification's first start date has no code yet: its
        instruments count as having no industry.
        """
        cat = _industry.get_all_industry_category(self.industry)
        if cat.shape[1] == 0:
            raise _industry.missing_classification(self.industry)
        cat = cat.reindex(columns=order_book_ids, fill_value=_NO_CODE).reindex(index=index, method="ffill")
        codes = np.ascontiguousarray(cat.fillna(_NO_CODE).to_numpy(dtype=np.int64))
        n_industries = int(codes.max()) + 1 if codes.size else 0
        return codes, n_industries


class _IndustryCodes(object):
    """Industry codes of factor rows, a block at a time (-1: none), as `_industry_codes`
    gives them for all rows at once, and the number of industries over all rows.

    Read from the classification's records (`_industry.category_codes`), unless
    `get_all_industry_category` was replaced or cannot be bypassed: its table then answers.
    """

    def __init__(self, source, index, order_book_ids):
        self.by_row = None
        if _industry.get_all_industry_category is _CATEGORY_TABLE:
            if len(_industry.get_all_industry_data(source)) == 0:
                raise _industry.missing_classification(source)
            self.by_row = _industry.category_codes(order_book_ids, index, source)
        if self.by_row is not None:
            self.n_industries = int(self.by_row.max()) + 1 if self.by_row.size else 0
            return
        cat = _industry.get_all_industry_category(source)
        if cat.shape[1] == 0:
            raise _industry.missing_classification(source)
        # The classification row in force on each factor row (a reindex with ffill), -1 before
        # the first; each instrument's column, -1 when unclassified (reindex, fill -1).
        self.start_row = cat.index.get_indexer(index, method="ffill").astype(np.int64)
        self.column = cat.columns.get_indexer(order_book_ids).astype(np.int64)
        self.classified = np.flatnonzero(self.column >= 0)
        # instruments x classification rows (pandas holds the table that way round: a view)
        self.table = cat.to_numpy().T
        self.n_industries = self._largest() + 1

    def _values(self, start_rows):
        """The codes of the classified instruments on classification rows `start_rows`,
        rows x instruments."""
        return _as_codes(self.table[np.ix_(self.column[self.classified], start_rows)]).T

    def codes(self, rows):
        if self.by_row is not None:
            return self.by_row[rows].astype(np.int64)
        start_row = self.start_row[rows]
        out = np.full((len(start_row), len(self.column)), _NO_CODE, dtype=np.int64)
        dated = np.flatnonzero(start_row >= 0)
        if len(dated) and len(self.classified):
            out[dated[:, None], self.classified[None, :]] = self._values(start_row[dated])
        return out

    def _largest(self):
        """The largest code of any factor row, reading the classification rows in use a
        few at a time."""
        largest = [_NO_CODE] if (self.start_row < 0).any() or len(self.classified) < len(self.column) else []
        if len(self.classified):
            used = np.unique(self.start_row[self.start_row >= 0])
            for i in range(0, len(used), 256):
                largest.append(int(self._values(used[i:i + 256]).max()))
        return max(largest)


def _as_codes(values):
    """Integer codes of a classification table's values (a missing one: none)."""
    if values.dtype.kind == "f":
        values = np.where(np.isnan(values), _NO_CODE, values)
    return values.astype(np.int64)


def _rows_between(row_date, first, stop):
    """The factor rows whose date slot lies in first .. stop - 1: a slice when they are
    consecutive (ascending dates), else their positions."""
    rows = np.flatnonzero((row_date >= first) & (row_date < stop))
    if len(rows) and rows[-1] - rows[0] + 1 == len(rows):
        return slice(int(rows[0]), int(rows[-1]) + 1)
    return rows


def _no_exposures(style_factors, order_book_ids, index):
    return ValueError("style_factors: the data service has no exposures to {} for {} instruments "
                      "from {} to {}; import them into the store (tidewell import STORE "
                      "style_exposures=FILE) or neutralize without them: "
                      "Neutralization(style_factors=None) (on the command line: --style-factors none)".format(
                          style_factors or "all style factors", len(order_book_ids), index[0], index[-1]))


def _check_other_factors(other_factors):
    if other_factors is None:
        return
    if not isinstance(other_factors, (list, tuple)):
        raise ValueError("other_factors: expect a list of factor tables (pd.DataFrame, dates x order_book_id), got "
                         "{}; wrap a single table in a list: other_factors=[table]".format(type(other_factors).__name__))
    for i, table in enumerate(other_factors):
        if table is not None and not isinstance(table, pd.DataFrame):
            raise ValueError("other_factors[{}]: expect a pd.DataFrame (dates x order_book_id) or None, got {}".format(
                i, type(table).__name__))


def _warn_uncovered(endog, dense, order_book_ids):
    """A user factor table that misses an instrument (or a date) leaves it out of every
    regression: its residuals become missing. Say so instead of losing it silently."""
    has_value = ~np.isnan(endog)
    for i, values in enumerate(dense):
        lost = has_value & np.isnan(values)
        lost_ids = np.flatnonzero(lost.any(axis=0) & ~(has_value & ~np.isnan(values)).any(axis=0))
        if len(lost_ids):
            warn_user("Neutralization: other_factors[{}] has no value for {} of {} instruments that have factor "
                          "values (such as {}); their residuals are missing. Align the table's columns with the "
                          "factor's order_book_ids.".format(i, len(lost_ids), len(order_book_ids),
                                                           ", ".join(str(order_book_ids[j]) for j in lost_ids[:3])),
                          )


def _take_codes(lookup, codes):
    """lookup[codes], with the MultiIndex code -1 (a missing label) giving -1."""
    shifted = np.concatenate([[_NO_CODE], lookup]).astype(np.int64)
    return shifted[np.asarray(codes, dtype=np.int64) + 1]


def _no_style():
    empty = np.empty(0, dtype=np.int64)
    return np.empty((0, 0), dtype=np.float64), empty, empty, 0, 0, empty, empty
