// How the kernels see a 2-D float64 table handed over in any memory order, and the one
// rule for the memory order of a result that follows its input's.
//
// The bindings describe an array as it is (pointer, shape, strides) and never choose a
// loop; the kernels look at the strides and pick their loop themselves.
#pragma once

#include <cstddef>

namespace sigmora {

// rows x cols doubles; element (r, j) is at data[r * row_stride + j * col_stride]
// (strides in elements, numpy-style, possibly negative).
struct StridedTable {
    const double* data = nullptr;
    std::size_t rows = 0, cols = 0;
    std::ptrdiff_t row_stride = 0, col_stride = 1;
};

// The same memory read as its transpose (cols x rows).
inline StridedTable transposed(const StridedTable& t) {
    return StridedTable{t.data, t.cols, t.rows, t.col_stride, t.row_stride};
}

enum class Order { row_major, column_major };

// Memory order of the result of a kernel that answers in its input's order: column-major
// for a table stored column by column (pandas' layout of a float table) with more than
// one row and column, row-major otherwise. Such a kernel documents that it uses this.
inline Order result_order(const StridedTable& x) {
    const bool column_major = x.rows > 1 && x.cols > 1 && x.row_stride == 1 &&
                              x.col_stride == static_cast<std::ptrdiff_t>(x.rows);
    return column_major ? Order::column_major : Order::row_major;
}

}  // namespace sigmora
