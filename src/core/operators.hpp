// Kernels of the factor-expression operators (sigmora/operators.py) over T x N tables
// (rows = trading dates, columns = instruments, NaN = missing).
//
// Time-series kernels work per column over trailing windows of d rows and follow pandas'
// rolling(d, min_periods=d): a window that holds a missing value (NaN, or an infinity, which
// pandas' windows also take as missing), or that reaches before the first row, gives NaN. They
// write a row-major T x N result, like the tables around them, and run in parallel over fixed
// blocks of columns, so the thread count never changes a bit. Most of them take a chunk of
// columns at a time row by row, in vectorised loops over the chunk's contiguous cells; the
// positions of extremes and the regressions go column by column.
//
// Sums, means, standard deviations, covariances, correlations, products, minima, maxima and
// their positions are O(T) per column: the rows are cut into blocks of d rows aligned on the
// last row, and each window is the combination of a suffix of one block and a prefix of the
// next, both summed directly (no running subtraction, so nothing drifts). Second moments are
// taken about a reference value of the block (its first present value), which keeps the
// one-pass variance formula free of cancellation. A result therefore depends on its window
// and on the window's distance to the last row modulo d only: two tables that end on the same
// row give the same bits for the same window.
//
// Cross-sectional kernels work per row over the present values and write a row-major result;
// they run in parallel over fixed blocks of rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/row_blocks.hpp"

namespace sigmora::ops {

enum class TsOp : int {
    Sum,
    Mean,
    Std,
    Zscore,
    Min,
    Max,
    ArgMin,
    ArgMax,
    Product,
    Rank,
    DecayLinear,
    Ema,
    Slope,
    Rsquare,
    Resid,
};

enum class Ts2Op : int { Corr, Cov };

enum class CsOp : int { Rank, Zscore, Demean, Scale };

enum class GroupOp : int { Neutralize, Rank };

// One-operand time-series kernel over windows of d >= 1 rows; `param` is the smoothing
// factor alpha of Ema (0 < alpha <= 1) and unused otherwise. out: T x N row-major.
void ts_unary(TsOp op, const StridedTable& x, std::size_t d, double param, double* out);

// Two-operand time-series kernel (x and y of the same shape); a row where either is
// missing counts as missing for both. out: T x N row-major.
void ts_binary(Ts2Op op, const StridedTable& x, const StridedTable& y, std::size_t d, double* out);

// Cross-sectional kernel per row; `param` is Scale's target sum of absolute values.
// out: T x N row-major.
void cs_unary(CsOp op, const StridedTable& x, double param, double* out);

// Group codes of float labels (a T x N table): codes[r * N + j] = the label of cell (r, j)
// when it is an integer in [0, kMaxGroupLabel), -1 when it is missing (NaN or infinite).
// Returns false (codes then unspecified) when a present label is anything else; otherwise
// n_groups = 1 + the largest label (0 when none is present).
constexpr double kMaxGroupLabel = 1048576.0;  // 2^20
bool integral_group_codes(const StridedTable& labels, std::int32_t* codes, std::size_t& n_groups);

// Per row and group: groups[r * N + j] is the group of cell (r, j), in [0, n_groups), or
// negative for an unknown group (the result is then NaN). out: T x N row-major.
void group_op(GroupOp op, const StridedTable& x, const std::int32_t* groups, std::size_t n_groups, double* out);

}  // namespace sigmora::ops
