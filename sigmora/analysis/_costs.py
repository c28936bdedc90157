"""Trading costs of the portfolio analyses and the turnover they are charged on.

A cost of ``cost_bps`` basis points per unit of one-way turnover takes ``cost_bps / 1e4``
times the turnover of a rebalancing off that row's return. A holding period runs staggered
levels whose returns are averaged, so the turnover of a row is the level-averaged turnover
(the rebalancing level's turnover shared with the levels holding that day), the same average
the row's return is.

A level's first formation of a group compares with nothing: the quantile turnover table
reads 0 there. That zero is a warm-up, not a portfolio that kept its members, so what is
derived from the table (mean turnover, the turnover chart, the cost) reads it as missing; a
missing turnover is charged nothing.
"""

import math
import numbers

import numpy as np

BASIS_POINT = 1e-4

# Cells of the label table counted per pass (keeps the temporary index array small).
_CHUNK_CELLS = 1 << 20


def checked_cost_bps(cost_bps):
    """`cost_bps` as a float: a non-negative, finite number of basis points."""
    if isinstance(cost_bps, (bool, np.bool_)) or not isinstance(cost_bps, numbers.Real) \
            or not math.isfinite(float(cost_bps)) or cost_bps < 0:
        raise ValueError("cost_bps: expect a non-negative number of basis points per unit of one-way turnover "
                         "such as 10 (0: no cost), got {!r}".format(cost_bps))
    return float(cost_bps)


def cost_text(cost_bps):
    """How a net figure names its cost: "net of 10 bps"."""
    return "net of {:g} bps".format(cost_bps)


def net_label(label, cost_bps):
    """The label of the net counterpart of a gross figure: "top-bottom Sharpe (net of 10 bps)"."""
    return "{} ({})".format(label, cost_text(cost_bps))


def groups_held(codes, quantile):
    """rows x quantile booleans: whether the group holds any instrument on the row (codes: the
    rows x instruments group codes, -1 for none)."""
    rows, cols = codes.shape
    counts = np.zeros(rows * (quantile + 1), dtype=np.int64)
    step = max(1, _CHUNK_CELLS // max(cols, 1))
    for r0 in range(0, rows, step):
        block = np.asarray(codes[r0:r0 + step], dtype=np.int64)
        slot = block + 1 + (np.arange(r0, r0 + len(block), dtype=np.int64) * (quantile + 1))[:, None]
        counts += np.bincount(slot.ravel(), minlength=counts.size)
    return counts.reshape(rows, quantile + 1)[:, 1:] > 0


def warmup_rows(codes, periods, quantile):
    """periods x quantile x rows booleans: the rows on which a level of the period forms the
    group for the first time (its first rebalance row holding members of the group)."""
    held = groups_held(codes, quantile)
    rows = held.shape[0]
    out = np.zeros((len(periods), quantile, rows), dtype=bool)
    for pi, period in enumerate(periods):
        for lv in range(1, min(period, rows - 1) + 1):
            rebalance = np.arange(lv, rows, period)
            block = held[rebalance]
            formed = block.any(axis=0)
            first = block.argmax(axis=0)
            groups = np.flatnonzero(formed)
            out[pi, groups, rebalance[first[groups]]] = True
    return out


def charged_turnover(turnover, warmup):
    """The turnover a cost is charged on: `turnover` with the warm-up rows missing (a copy)."""
    out = np.array(turnover, dtype=np.float64, copy=True)
    out[warmup] = np.nan
    return out


def cost_of(turnover, cost_bps):
    """The cost of each row's turnover (missing turnover: no cost)."""
    return cost_bps * BASIS_POINT * np.nan_to_num(turnover, nan=0.0, posinf=0.0, neginf=0.0)


def factor_turnover(weights, periods):
    """periods x rows: the level-averaged one-way turnover of the factor portfolio, NaN where it
    is not known (row 0 and every level's first formation).

    `weights`: the rows x instruments weights of the portfolio formed on each row (NaN: not
    held). A level rebalancing on row t trades sum(|w[t] - w[t - p]|) (a missing weight counts
    as 0); the p levels of a period are averaged, so the row's turnover is that sum over p.
    """
    rows, cols = weights.shape
    out = np.full((len(periods), rows), np.nan)
    step = max(1, _CHUNK_CELLS // max(cols, 1))  # rows at a time: the temporaries stay small

    def held(r0, r1):
        return np.nan_to_num(weights[r0:r1], nan=0.0, posinf=0.0, neginf=0.0)

    for pi, period in enumerate(periods):
        for r0 in range(period + 1, rows, step):
            r1 = min(rows, r0 + step)
            traded = np.abs(held(r0, r1) - held(r0 - period, r1 - period)).sum(axis=1)
            out[pi, r0:r1] = traded / period
    return out
