// The demeaned-factor-weighted long-short portfolio, run as staggered sub-portfolios.
//
// A holding period p is run as p staggered "levels": level lv (1..p) rebalances on rows
// lv, lv + p, ... and holds the weights of its rebalance row, as a whole row, until its next
// rebalance row; the levels' daily returns are averaged. The weights of row t come from
// the factor values of row t - 1.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/table.hpp"

namespace sigmora {

// Long-short weights per row: values minus the row mean, divided by the sum of absolute
// deviations (missing stays missing; a row without spread, all its values equal, gives
// NaN); negated when `ascending` is true so the portfolio is long the low values.
// `out` is rows x cols, row-major.
void portfolio_factor_weights(const StridedTable& values, bool ascending, double* out);

// Per period (P of them) the level-averaged daily return of the portfolio whose row-t
// weights are portfolio_factor_weights of row t - 1 of `values` (out: P x rows, NaN where no level
// has a value). `returns` holds each instrument's daily returns, or its running growth
// (the running product of one plus its returns, NaN = missing) when `returns_are_growth`;
// same shape as `values`. An instrument's return since a rebalance is measured against its
// growth on the row before the rebalance row, the last known one of the level's earlier
// rebalances when that is missing.
void portfolio_factor_returns(const StridedTable& values, const StridedTable& returns, bool returns_are_growth,
                              bool ascending, const std::int64_t* periods, std::size_t n_periods, double* out);

}  // namespace sigmora
