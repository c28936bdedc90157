// Cross-sectional standardisation of factor rows.
#pragma once

#include <cstddef>

#include "core/row_blocks.hpp"

namespace sigmora {

// out (row-major x.rows x x.cols) = (x - row mean) / (row sample standard deviation),
// both over the row's present (non-NaN) values, with ±inf results replaced by 0.
// Missing cells stay NaN.
//
// Sums run left to right across the row: the order in which pandas' DataFrame.mean(axis=1)
// and DataFrame.std(axis=1) sum typical tables (numpy picks the order from the table's
// shape and layout; a few small tables it sums pairwise, equal up to rounding). A row whose present values are
// all equal, or that holds fewer than two, has no spread to divide by and becomes NaN
// (the plain formula would turn the rounding error of a constant row's mean into
// values near ±0.8).
// ±inf are values: a row holding one has an infinite or NaN mean and comes out NaN.
// out must not overlap the input table.
void normalize_rows(const StridedTable& x, double* out);

// The same for a column-major table: x and out hold element (r, j) at [r + j * rows].
void normalize_column_major(const double* x, std::size_t rows, std::size_t cols, double* out);

}  // namespace sigmora
