// How much factors overlap: the mean over dates of the per-date rank (Spearman)
// correlation of every pair of factors; and how much one factor overlaps with itself some
// dates earlier (its rank autocorrelation).
//
// A pair's correlation on a date is taken over the instruments both factors have (both
// values non-NaN), with average ranks among exactly those instruments, as
// DataFrame.corr(method="spearman") and scipy's spearmanr on the pair's common rows do.
// Each value is the one ic_by_row gives for the pair (the lower-numbered factor first),
// bit for bit.
//
// Factors that share a date's mask (the same instruments present) share every pair's
// common set: their ranks are computed once and all their pairs come from one product of
// the centred rank matrix with itself. Groups with different masks meet on their
// intersection, where each is ranked again. Centred doubled ranks are integers and their
// cross sums stay below 2^53 up to about 200,000 instruments, so a product in floating
// point is exact whatever its summation order; past that size every pair is summed in
// integers instead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/row_orders.hpp"
#include "core/table.hpp"

namespace sigmora {

// tables: n_tables tables of the same rows x cols (dates x instruments, NaN = missing).
// Writes, for every pair i != j, mean[i * F + j]: the mean over dates of the pair's rank
// correlation, over the dates with at least two common instruments and neither side
// constant there (NaN when there is no such date), and dates[i * F + j]: the number of
// those dates. The diagonal gets mean 1 and the number of dates with two or more values,
// neither constant.
// Dates are split into a fixed number of chunks (it depends on the sizes only); chunk
// sums are added in order, so the result does not depend on the thread count.
void mean_rank_correlation(const StridedTable* tables, std::size_t n_tables, double* mean, std::int64_t* dates);

// How stable a factor's ranking is: out[t * n_lags + j] is the rank correlation of row t
// (first variable) with row t - lags[j] over the instruments present on both, ranked among
// those (NaN for t < lag, fewer than two common instruments or a constant side): what
// ic_by_row(factor[lag:], [factor[:-lag]], rank=True) gives on row t - lag, bit for bit.
// Every row is sorted once for all lags. Lags must be positive.
void rank_autocorrelation(const StridedTable& factor, const std::int64_t* lags, std::size_t n_lags, double* out);

// The same from the factor rows' sorted orders, as a rank IC kernel kept them: the same bits
// without sorting again.
void rank_autocorrelation(const RowOrders& orders, const std::int64_t* lags, std::size_t n_lags, double* out);

}  // namespace sigmora
