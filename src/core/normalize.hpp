// Cross-sectional standardisation of factor rows.
#pragma once

#include <cstddef>

#include "core/table.hpp"

namespace sigmora {

// out (x.rows x x.cols, in result_order(x): column-major for a column-major table,
// row-major otherwise) = (x - row mean) / (row sample standard deviation), both over the
// row's present (non-NaN) values, with ±inf results replaced by 0. Missing cells stay NaN.
// The loop follows the table's memory order; the bits do not depend on it.
//
// Sums run left to right across the row: the order in which pandas' DataFrame.mean(axis=1)
// and DataFrame.std(axis=1) sum typical tables (numpy picks the order from the table's
// shape and layout; a few small tables it sums pairwise, equal up to rounding). A row whose present values are
// all equal, or that holds fewer than two, has no spread to divide by and becomes NaN
// (the plain formula would turn the rounding error of a constant row's mean into
// values near ±0.8).
// ±inf are values: a row holding one has an infinite or NaN mean and comes out NaN.
// The result has no unit, and does not depend on one: each row is computed at the scale
// (a power of two) that brings its largest magnitude to ~1, so rows of huge (1e300) or tiny
// (1e-300) values are standardised like any other, and a row scaled by a power of two
// gives the same bits; for ordinary magnitudes the bits are those of the plain formula.
// out must not overlap the input table.
void preprocess_normalize(const StridedTable& x, double* out);

}  // namespace sigmora
