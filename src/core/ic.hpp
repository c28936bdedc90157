// Information coefficients: cross-sectional correlations between a factor and forward
// returns, per date, per (date, decay) and pooled per industry group.
//
// Arrays are row-major T x N float64 (dates x instruments, NaN = missing); `returns`
// holds K pointers to such matrices, one per holding period. A correlation uses the
// positions where both sides are present. Spearman is Pearson on average ranks; both
// follow the operation order of scipy's spearmanr / pearsonr closely enough to agree
// to ~1e-15 (bit for bit for Spearman while the rank sums stay below 2^53).
//
// Every kernel writes, per output cell, the correlation (NaN when fewer than two pairs,
// or when one side is constant), the number of pairs, and a flag for constant input.
// ±inf are ordinary values for Spearman (they rank last / first) and make a Pearson
// correlation NaN, as the scipy routines do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/row_orders.hpp"

namespace sigmora {

struct CorrOutput {
    double* r;
    std::int64_t* n;
    std::uint8_t* constant;
};

// out cells: T x K. Row t of the factor against row t of each return matrix; the
// factor is the first variable (as in spearmanr(factor, returns)).
// With rank and `orders` given, the factor rows' sorted orders are kept there (T x N);
// without rank `orders` is left empty.
void ic_by_row(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
               std::size_t n_cols, bool rank, CorrOutput out, RowOrders* orders = nullptr);

// Decays an IC decay table holds: d = 1 .. max_decay - 1, but none from the last row on
// (a window starting past the last date holds nothing), so D = min(max_decay - 1, T - 1)
// and no buffer grows with max_decay beyond the data.
inline std::size_t ic_decay_rows(std::size_t max_decay, std::size_t n_rows) {
    const std::size_t asked = max_decay > 1 ? max_decay - 1 : 0, possible = n_rows > 0 ? n_rows - 1 : 0;
    return asked < possible ? asked : possible;
}

// IC decay for d = 1 .. D (D = ic_decay_rows(max_decay, T)): factor row t against row
// t + d of the returns, over the instruments with a factor value and a return in every
// period.
// out cells: D x T x K for r and constant, D x T for n (the number of such instruments;
// cells with t + d >= T have n = 0).
// The returns are the first variable (as in spearmanr(returns, factor)).
// When `rows` is given, it also receives what ic_by_row computes (T x K cells); with
// ranks the two share their sorts, and `orders` keeps the factor's as ic_by_row does.
void ic_decay(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
              std::size_t n_cols, std::size_t max_decay, bool rank, CorrOutput out, CorrOutput* rows = nullptr,
              RowOrders* orders = nullptr);

// ic_by_row and ic_decay in one pass that sorts every row once (ic_decay with `rows`).
inline void ic_by_row_with_decay(const double* factor, const double* const* returns, std::size_t n_periods,
                                 std::size_t n_rows, std::size_t n_cols, std::size_t max_decay, bool rank,
                                 CorrOutput rows, CorrOutput decay, RowOrders* orders = nullptr) {
    ic_decay(factor, returns, n_periods, n_rows, n_cols, max_decay, rank, decay, &rows, orders);
}

// One correlation per group and period, pooled over every cell whose code is that group.
// `codes` is n_code_rows x N int64 or int32 with n_code_rows 1 (one code per instrument for all
// dates) or T; -1 = no group, otherwise 0 <= code < n_groups.
// out cells: n_groups x K (groups no cell belongs to get n = 0 and NaN). The returns are
// the first variable.
void ic_by_group(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
                 std::size_t n_cols, const std::int64_t* codes, std::size_t n_code_rows, std::size_t n_groups,
                 bool rank, CorrOutput out);
void ic_by_group(const double* factor, const double* const* returns, std::size_t n_periods, std::size_t n_rows,
                 std::size_t n_cols, const std::int32_t* codes, std::size_t n_code_rows, std::size_t n_groups,
                 bool rank, CorrOutput out);

// Pearson correlation of x and y (both complete, length n) in the way scipy's pearsonr
// computes it: centred, scaled by the largest deviation, clipped, rounded to ±1 for n = 2.
// `constant` tells whether either input is constant (the result is then NaN).
double pearson_corr(const double* x, const double* y, std::size_t n, bool& constant);

}  // namespace sigmora
