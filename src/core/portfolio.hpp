// Portfolio kernels: running growth, quantile group labels, staggered buy-and-hold group
// returns and turnover (the factor-weighted portfolio is in factor_portfolio.hpp).
//
// Tables are T x N float64 (rows: dates, columns: instruments, NaN = missing), row-major
// except growth's input, which may be in any memory order; label codes are int64 with
// -1 = no group. A holding period p is run as p staggered "levels": level lv (1..p)
// rebalances on rows lv, lv + p, lv + 2p, ... and holds what it chose there until its next
// rebalance row; the levels' daily returns are averaged.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/table.hpp"

namespace sigmora {

// Running product of one plus each column's values down the rows, skipping missing
// values: they stay missing at their own place and the product goes on past them.
// `returns` may be in any memory order; `out` is returns.rows x returns.cols, row-major.
void portfolio_growth(const StridedTable& returns, double* out);

// Group code (0..q-1) of every instrument on every row from that row's values: per row the
// values are ranked 1..n (ties by column order, descending when `ascending` is false), and
// rank r goes to the group k whose interpolated quantile edges of the ranks, at 0, 1/q, ...,
// 1 with the first edge lowered by one, satisfy edge[k] < r <= edge[k + 1]. NaN gets -1.
void portfolio_quantile_labels(const double* values, std::size_t rows, std::size_t cols, int quantile,
                               bool ascending, std::int64_t* out);

// Per period (P of them) the level-averaged daily return and turnover of each group.
// `growth` is each instrument's running product of one plus its returns (NaN = missing);
// outputs are P x quantile x rows, NaN where no level has a value.
// Returns: on a rebalance row the group's mean growth since the row before it minus one;
// on the other rows the change of that mean against the previous row of the level, a
// missing mean carrying the last known one. Turnover: on a rebalance row the share of the
// group's members that were not members at the level's previous rebalance with members
// (0 for the first), 0 on the other rows of a held group.
// `weights` (rows x cols, or null for equal weights): the weight each member of a group
// formed on row r starts with is weights[r][i]; a missing, non-positive or infinite weight
// leaves the member out of the group's return (not of its membership or turnover). A
// weighted group drifts with its members' returns: its growth since the rebalance is the
// weight-averaged growth of the members that have one. Equal weights given as a table
// give the same bits as null.
void portfolio_quantile_returns(const std::int64_t* labels, const double* growth, const double* weights,
                                std::size_t rows, std::size_t cols, int quantile, const std::int64_t* periods,
                                std::size_t n_periods, double* out_returns, double* out_turnover);

}  // namespace sigmora
