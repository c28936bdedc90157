// Daily returns from a table of closing prices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/row_blocks.hpp"

namespace sigmora {

// The rows and columns of a table that hold any value (not NaN), ascending.
struct PresentLines {
    std::vector<std::int64_t> rows, cols;
};

PresentLines present_lines(const StridedTable& closes);

// Returns of `closes` (dates x instruments, NaN = no close) on its present rows and
// columns: a missing close takes the last close before it, and each present row but the
// first gets close / previous present row's close - 1, evaluated as those two operations
// (pandas' ffill().pct_change() on the table without its empty rows and columns).
// `out` receives (lines.rows.size() - 1) x lines.cols.size() values, row-major.
void returns_from_closes(const StridedTable& closes, const PresentLines& lines, double* out);

}  // namespace sigmora
