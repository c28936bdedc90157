"""Information coefficients: the cross-sectional correlation between a factor and the
compounded forward returns of every holding period, per date, with p-values; optionally
its decay when the return window starts later, and one pooled IC per industry.

The correlations run in the C++ core (`_core.ic_by_row`, `_core.ic_decay`,
`_core.ic_by_group`); p-values come from scipy.special over whole arrays, with the
distributions scipy's spearmanr / pearsonr use.
"""

import numbers
import operator

import numpy as np
import pandas as pd
from scipy import special, stats

from sigmora import _core
from sigmora.analysis import _industry
from sigmora.analysis._base import (RETURN_ROWS, FactorAnalyser, VALID_INDUSTRY_SOURCE, _get_return_fields,
                                    holding_periods, warn_user)
from sigmora.analysis.analysis_result import ICAnalysisResult
from sigmora.analysis._arrays import as_float_matrix
from sigmora.analysis._forward_returns import forward_returns

_LONG_INDEX_NAMES = ["datetime", "order_book_id"]
_LOAD_INDUSTRY_DATA = _industry._load_industry_data


def _get_ic_func(rank_ic=False):
    """Missing-value-tolerant correlation: wrapper(fs, rs) -> (correlation, p-value),
    over the positions where both are present; (0, 0) for fewer than two such pairs."""
    routine = stats.spearmanr if rank_ic else stats.pearsonr

    def wrapper(fs, rs):
        mask = ~(np.isnan(fs) | np.isnan(rs))
        if mask.sum() > 1:
            return routine(fs[mask], rs[mask])
        return 0, 0

    return wrapper


def _p_values(r, n, rank_ic):
    """Two-sided p-values of correlations `r` over `n` pairs, as spearmanr / pearsonr give them."""
    r = np.asarray(r, dtype=float)
    n = np.asarray(n, dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        if rank_ic:
            dof = n - 2
            t = r * np.sqrt((dof / ((r + 1.0) * (1.0 - r))).clip(0))
            p = 2 * special.stdtr(dof, -np.abs(t))
        else:
            ab = n / 2 - 1
            p = 2 * special.betaincc(ab, ab, (np.abs(r) + 1) / 2)
            p = np.where(n == 2, 1.0, p)  # two points: r is ±1 and the p-value exactly 1
    return np.where(np.isnan(r), np.nan, p)


class _ICPanel(object):
    """The aligned inputs of one IC analysis as arrays: factor values (sign already
    flipped where needed) and forward returns per period key, dates x instruments."""

    def __init__(self, dates, instruments, factor, returns):
        self.dates = dates
        self.instruments = instruments
        self.factor = factor
        self.returns = returns

    @property
    def fields(self):
        return list(self.returns)

    def return_list(self, fields):
        return [self.returns[f] for f in fields]

    def to_frame(self):
        """The long table: one row per (date, instrument), date-major; one column per
        period key and "factor"."""
        data = {key: values.ravel() for key, values in self.returns.items()}
        data["factor"] = self.factor.ravel()
        index = pd.MultiIndex.from_product([self.dates, self.instruments], names=_LONG_INDEX_NAMES)
        return pd.DataFrame(data, index=index)

    @classmethod
    def from_frame(cls, df):
        """Inverse of `to_frame`; rows missing from the (date, instrument) product are NaN."""
        if isinstance(df, cls):
            return df
        dates = df.index.get_level_values("datetime").unique()
        instruments = df.index.get_level_values("order_book_id").unique()
        full = pd.MultiIndex.from_product([dates, instruments], names=_LONG_INDEX_NAMES)
        if not df.index.equals(full):
            df = df.reindex(full)
        shape = (len(dates), len(instruments))

        def matrix(column):
            return np.ascontiguousarray(df[column].to_numpy(dtype=np.float64, na_value=np.nan).reshape(shape))

        returns = {key: matrix(key) for key in _get_return_fields(df.columns)}
        return cls(dates, instruments, matrix("factor"), returns)


class _ConstantInputs(object):
    """Collects where an input was constant (the IC is NaN there) so that one analysis
    warns once instead of once per date."""

    def __init__(self, n_dates):
        self.n_dates = n_dates
        self.dates = np.zeros(n_dates, dtype=bool)
        self.industries = 0

    def warn(self):
        n = int(self.dates.sum())
        if n == 0 and self.industries == 0:
            return
        parts = []
        if n:
            parts.append("on {} of {} dates".format(n, self.n_dates))
        if self.industries:
            parts.append("in {} industries".format(self.industries))
        warn_user(stats.ConstantInputWarning(
            "An input array is constant {}; the IC is not defined there and set to NaN.".format(
                " and ".join(parts))))


class ICAnalysis(FactorAnalyser):
    period_rows = RETURN_ROWS  # forward returns over n rows of the return table

    def __init__(self, rank_ic=True, industry_classification=None, max_decay=None):
        """IC analysis.

        :param rank_ic: True (default) for the Spearman rank correlation (scipy.stats.spearmanr),
            False for the Pearson correlation (scipy.stats.pearsonr)
        :param industry_classification: industry data for the per-industry IC table: a source
            name ("citics_2019" or "sws"), a pd.Series indexed by order_book_id holding industry
            names, or a dict from order_book_id to industry name; None (default) skips the table.
            Instruments missing from a user mapping are put in the industry "Unknown".
        :param max_decay: number of decay steps of the IC decay table; None (default) skips it
        """
        if industry_classification is not None:
            if not isinstance(industry_classification, (str, dict, pd.Series)):
                raise ValueError("Unsupported industry_classification type, expect one of None/str/pd.Series/dict, "
                                 "got type={}".format(type(industry_classification)))
            if isinstance(industry_classification, str) and industry_classification not in VALID_INDUSTRY_SOURCE:
                raise ValueError("industry_classification: expect one of {}, got {}".format(
                    VALID_INDUSTRY_SOURCE, industry_classification))
        self.rank_ic = rank_ic
        self.ic_func = _get_ic_func(rank_ic)
        self.industry = industry_classification
        self.max_decay = max_decay
        self._n_decays()    # a bad value is refused here, where it was given

    # ------------------------------------------------------------------ analysis

    def analysis(self, factor_data, returns, periods, ascending=True):
        holding_periods(periods)
        self._n_decays()
        index_ = factor_data.index.intersection(returns.index).rename("datetime")
        if len(index_) == 0:
            raise ValueError("factor_data and returns have no date in common (factor_data: {}, returns: {})".format(
                _span(factor_data.index), _span(returns.index)))
        panel = self._panel(factor_data, returns, index_, periods, ascending)
        # The rank kernels keep the factor rows' sorted orders for the autocorrelation below.
        orders = _core.SortedRows()
        by_row, by_decay = self._correlations(panel, orders)
        autocorrelation = _rank_autocorrelation(panel.factor, index_, holding_periods(periods), orders)
        del orders  # T x N positions: not kept through the tables below
        constant = _ConstantInputs(len(index_))
        ic_array, ic_p_value_array = self._ic_arrays(by_row, constant)
        ic = pd.DataFrame(ic_array, index=index_, columns=panel.fields)
        ic_p_value = pd.DataFrame(ic_p_value_array, index=index_, columns=panel.fields)
        ic_decay = self._decay_table(panel, ic, constant, by_decay)
        ic_industry_distribute = self._industry_table(panel, constant)
        constant.warn()
        return ICAnalysisResult(ic=ic, ic_p_value=ic_p_value, ic_decay=ic_decay,
                                ic_industry_distribute=ic_industry_distribute,
                                factor_rank_autocorrelation=autocorrelation, name=self.step_name)

    def _panel(self, factor_data, returns, index_, periods, ascending):
        ret_table = forward_returns(returns, index_, periods)
        factor = as_float_matrix(factor_data.reindex(index_, columns=returns.columns), "factor_data")
        if self.rank_ic and ascending:
            # Rank IC measures "higher is better"; an ascending factor is read the other way.
            factor = np.negative(factor, out=factor if _owns(factor) else None)
        return _ICPanel(index_, returns.columns, factor, ret_table)

    def _n_decays(self, n_dates=None):
        """The decays to compute: none without `max_decay`; never more than the dates
        (a window starting past the last date holds nothing), so no buffer grows with the
        argument rather than with the data."""
        if isinstance(self.max_decay, (type(None), bool, np.bool_, numbers.Number)) and not self.max_decay:
            return 0
        try:
            value = operator.index(self.max_decay)
        except TypeError:
            value = None
        if value is None or isinstance(self.max_decay, (bool, np.bool_)) or value < 1:
            raise ValueError("max_decay: expect None or a positive integer (the number of decay steps), got {!r}".format(
                self.max_decay))
        return value if n_dates is None else min(value, max(int(n_dates), 1))

    def _correlations(self, panel, orders=None):
        """Kernel outputs (r, n, constant) per date, and per decay when the decay table needs
        them (else None); with ranks both come from one pass that sorts every row once, and
        `orders` (a _core.SortedRows) keeps the factor rows' sorted orders."""
        returns = panel.return_list(panel.fields)
        n_decays = self._n_decays(len(panel.factor))
        if self.rank_ic and n_decays > 1:
            return _core.ic_by_row_with_decay(panel.factor, returns, n_decays, True, orders)
        return _core.ic_by_row(panel.factor, returns, bool(self.rank_ic), orders), None

    # ------------------------------------------------------------------ per-date IC

    def _calc_ic(self, factor, ret_table, ret_fields):
        """(correlations, p-values), each dates x len(ret_fields), one per date and period
        over the complete pairs; NaN for a date with fewer than two pairs."""
        factor = np.ascontiguousarray(factor, dtype=np.float64)
        returns = [np.ascontiguousarray(ret_table[key], dtype=np.float64) for key in ret_fields]
        constant = _ConstantInputs(len(factor))
        result = self._ic_arrays(_core.ic_by_row(factor, returns, bool(self.rank_ic)), constant)
        constant.warn()
        return result

    def _ic_arrays(self, by_row, constant):
        r, n, is_constant = by_row
        constant.dates |= is_constant.any(axis=1).astype(bool)
        return r, _p_values(r, n, bool(self.rank_ic))

    # ------------------------------------------------------------------ decay

    def _calc_ic_decay(self, factor_data, ic):
        """Per-date IC when the return window starts d dates later, d = 0 .. max_decay - 1;
        rows indexed by ("datetime", "decay"). None when max_decay is not set."""
        constant = _ConstantInputs(len(ic))
        table = self._decay_table(_ICPanel.from_frame(factor_data), ic, constant)
        constant.warn()
        return table

    def _decay_table(self, panel, ic, constant, by_decay=None):
        max_decay = self._n_decays(len(panel.factor))
        if not max_decay:
            return None
        fields = panel.fields
        n_dates = len(ic)
        if len(panel.factor) != n_dates:
            raise ValueError("ic: expect one row per date of the factor data ({}), got {}".format(
                len(panel.factor), n_dates))
        values = [ic[fields].to_numpy(dtype=np.float64)[:, None, :]]
        kept = [np.ones((n_dates, 1), dtype=bool)]
        if max_decay > 1:
            if by_decay is None:
                by_decay = _core.ic_decay(panel.factor, panel.return_list(fields), max_decay, bool(self.rank_ic))
            r, n, is_constant = by_decay
            # Fewer than two complete instruments: the correlation helper's 0; none: no row.
            values.append(np.where(n[:, :, None] >= 2, r, 0.0).transpose(1, 0, 2))
            kept.append((n > 0).T)
            constant.dates |= is_constant.any(axis=(0, 2)).astype(bool)
        values = np.concatenate(values, axis=1)  # dates x decays x periods
        kept = np.concatenate(kept, axis=1)
        date_pos, decay = np.nonzero(kept)
        index = pd.MultiIndex.from_arrays([ic.index.take(date_pos), decay.astype(np.int64)],
                                          names=[ic.index.name, "decay"])
        return pd.DataFrame(values[date_pos, decay], index=index, columns=ic[fields].columns).sort_index()

    # ------------------------------------------------------------------ industries

    def _calc_ic_industry_distribute(self, factor_data):
        """One IC per industry and period, pooled over all dates. None without industry data."""
        panel = _ICPanel.from_frame(factor_data)
        constant = _ConstantInputs(len(panel.dates))
        table = self._industry_table(panel, constant)
        constant.warn()
        return table

    def _industry_table(self, panel, constant):
        if self.industry is None:
            return None
        codes, names = self._industry_codes(panel.dates, panel.instruments)
        fields = panel.fields
        r, n, is_constant = _core.ic_by_group(panel.factor, panel.return_list(fields), codes, len(names),
                                              bool(self.rank_ic))
        constant.industries += int(is_constant.any(axis=1).sum())
        table = pd.DataFrame(np.where(n >= 2, r, 0.0), index=names, columns=pd.Index(fields))
        # Made only of the helper's integer 0 (no industry with two pairs), the table is integer.
        return table.astype(np.int64) if (n < 2).all() else table

    def _industry_codes(self, dates, instruments):
        """(codes, names): int32 industry codes (-1 = none) with one row for all dates
        (a user mapping) or one per date (a classification source), and the industry
        names in ascending order as an Index."""
        if isinstance(self.industry, str):
            # Codes straight from the classification's records, unless `_load_industry_data`
            # was replaced (its answer then decides) or labels repeat.
            found = None
            if _industry._load_industry_data is _LOAD_INDUSTRY_DATA:
                found = _industry.industry_codes(instruments, dates, source=self.industry)
            if found is not None:
                return found
            series = _industry._load_industry_data(order_book_ids=instruments.unique(), dates=dates.unique(),
                                            source=self.industry)
            return _codes_of_pairs(series, dates, instruments)
        names = self._industry_by_instrument(instruments.unique()).reindex(instruments)
        codes, uniques = pd.factorize(names, sort=True)
        return codes.astype(np.int32).reshape(1, -1), pd.Index(uniques)

    def _industry_by_instrument(self, order_book_ids):
        if isinstance(self.industry, dict):
            industry_series = pd.Series(self.industry)
        elif isinstance(self.industry, pd.Series):
            industry_series = self.industry.copy()
        else:
            raise RuntimeError("Invalid industry type, expect str/dict/pd.Series, go {} ".format(type(self.industry)))
        return industry_series.reindex(order_book_ids).fillna("Unknown")

    def _get_industry_data(self, factor_data):
        """Industry names keyed by the (date, order_book_id) rows of the long table."""
        if isinstance(self.industry, str):
            return _industry._load_industry_data(
                order_book_ids=factor_data.index.get_level_values("order_book_id").unique(),
                dates=factor_data.index.get_level_values("datetime").unique(), source=self.industry)
        order_book_ids = factor_data.index.get_level_values("order_book_id")
        industry_series = self._industry_by_instrument(order_book_ids.unique())
        return pd.Series(index=factor_data.index, data=industry_series[order_book_ids].values)


def _owns(array):
    """Whether an array holds its own memory (no table or other array sees it)."""
    return array.base is None and array.flags.writeable


def _rank_autocorrelation(factor, dates, periods, orders=None):
    """Spearman correlation of each date's factor values with those `lag` dates earlier, over
    the instruments present on both, for lag 1 and every holding period: how stable the
    factor's ranking is (NaN on the first `lag` dates). `orders`: the sorted orders of the
    factor's rows a rank IC kernel kept, if any (the same result without sorting again)."""
    lags = np.array(sorted(set([1] + [p for p in periods if p < len(dates)])), dtype=np.int64)
    if orders is not None and (orders.rows, orders.cols) == factor.shape:
        out = _core.rank_autocorrelation(orders, lags)
    else:
        # One kernel call sorts every row once for all lags.
        out = _core.rank_autocorrelation(factor, lags)
    return pd.DataFrame(out, index=dates, columns=pd.Index(["lag_{}".format(lag) for lag in lags]))


def _codes_of_pairs(series, dates, instruments):
    """Industry codes (dates x instruments, -1 = none) of a series indexed by
    (date, order_book_id) pairs, and the industry names found there, ascending."""
    codes = np.full((len(dates), len(instruments)), -1, dtype=np.int32)
    if len(series) == 0:
        return codes, pd.Index([], name=series.name)
    mi = series.index

    def positions(level, labels):
        # Level code -1 (a missing label) picks the appended -1.
        return np.append(pd.Index(labels).get_indexer(mi.levels[level]), -1).take(mi.codes[level])

    rows, cols = positions(0, dates), positions(1, instruments)
    found, uniques = pd.factorize(series.array, sort=True)
    inside = (rows >= 0) & (cols >= 0) & (found >= 0)
    if not inside.all():
        rows, cols, found = rows[inside], cols[inside], found[inside]
    # Industries seen only outside the requested pairs form no group.
    used = np.flatnonzero(np.bincount(found, minlength=len(uniques)))
    if len(used) < len(uniques):
        remap = np.full(len(uniques), -1, dtype=np.int32)
        remap[used] = np.arange(len(used))
        found, uniques = remap[found], uniques.take(used)
    codes[rows, cols] = found
    return codes, pd.Index(uniques, name=series.name)


def _span(index):
    return "{} to {}".format(index.min(), index.max()) if len(index) else "no dates"
