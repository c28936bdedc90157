// Tables read in whatever memory order NumPy hands over, and uninitialised results.
#pragma once

#include <cstddef>

#include "bindings/arrays.hpp"
#include "core/row_blocks.hpp"

namespace sigmora::bind {

// A 2-D float64 array in any memory order (pandas tables are usually column-major).
using AnyMat = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

inline StridedTable strided_table(const AnyMat& x) {
    return StridedTable{x.data(), x.shape(0), x.shape(1), static_cast<std::ptrdiff_t>(x.stride(0)),
                        static_cast<std::ptrdiff_t>(x.stride(1))};
}

// A new C-ordered rows x cols float64 array for the kernel to fill entirely; call with
// the GIL held. Allocated by numpy.empty: no zero-filling pass, and NumPy asks the
// kernel for huge pages on large arrays, which saves a page fault per 4 KiB written.
inline nb::object empty_matrix(std::size_t rows, std::size_t cols, double*& data) {
    nb::object array = nb::module_::import_("numpy").attr("empty")(nb::make_tuple(rows, cols));
    data = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>>(array).data();
    return array;
}

}  // namespace sigmora::bind
