// Cross-sectional statistics and clipping over the present (non-NaN) values of rows.
//
// Each kernel repeats, operation for operation, the floating-point arithmetic of the
// pandas/numpy call the Python layer documents, so a table clipped here equals the same
// rows clipped one at a time through pandas, bit for bit:
//   - sums follow numpy's pairwise order for a contiguous 1-D reduction, with missing
//     cells read as 0 (what Series.mean/Series.std do);
//   - the median is numpy's: the middle value, or the mean of the two middle values;
//   - quantiles are numpy's "linear" method over the present values (nanpercentile);
//   - clipping is Series.clip with scalar bounds: a NaN bound is no bound, and bounds
//     given the wrong way round are swapped.
// ±inf are values, not missing, as in pandas: they enter medians, sums and quantiles
// and propagate by IEEE rules (a row holding +inf has mean +inf and std NaN, so the
// "std" band is NaN and clips nothing).
//
// out must not overlap the input table.
#pragma once

#include <cstddef>

#include "core/table.hpp"

namespace sigmora {

// Sum of x[0..n) with NaN read as 0, in numpy's pairwise order (np.add.reduce).
double nan_pairwise_sum(const double* x, std::size_t n);

// numpy's median of the m present values of v[0..n) (NaN when m == 0); scratch holds n
// doubles.
double nan_median(const double* v, std::size_t n, std::size_t m, double* scratch);

// numpy's "linear" quantiles q[0..nq) (each in [0, 1]) of the m present values of
// v[0..n) (np.nanpercentile; NaN when m == 0); scratch holds n doubles.
void nan_quantiles(const double* v, std::size_t n, std::size_t m, const double* q, std::size_t nq, double* result,
                   double* scratch);

// Series.clip(lower, upper) of one row with scalar bounds.
void clip_row(const double* x, std::size_t n, double lower, double upper, double* out);

// The table kernels write a row-major x.rows x x.cols array to out.

// Each row clipped to median -/+ n * (median absolute deviation), both medians over the
// row's present values.
void winsorize_mad(const StridedTable& x, double n, double* out);

// Each row clipped to mean -/+ n * (sample standard deviation) of its present values.
// The band scales with the row: it is computed at the power of two that brings the row's
// largest magnitude to ~1, so rows of huge or tiny values get their band like any other
// (the plain squares would overflow from ~1e154 on), and for ordinary magnitudes the bits
// are those of pandas' formula.
void winsorize_std(const StridedTable& x, double n, double* out);

// Each row clipped to its q_lower and q_upper quantiles (fractions in [0, 1]) over its
// present values.
void winsorize_percentile(const StridedTable& x, double q_lower, double q_upper, double* out);

}  // namespace sigmora
