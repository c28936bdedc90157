// What the binding files share: the array types of their signatures, the description of
// a table for the core, and the one way results are allocated.
//
// Memory order: arguments typed AnyMat are taken in whatever order NumPy holds them (no
// copy) and handed to the core as a StridedTable, whose kernel picks its loop from the
// strides. The C* types are for kernels that read row-major arrays only; nanobind copies
// an argument in any other order into C order on the way in. No binding looks at strides.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "core/table.hpp"

namespace sigmora::bind {

namespace nb = nanobind;

using AnyMat = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using CMat = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using CCube = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using CIntMat = nb::ndarray<const std::int64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using CIntVec = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A 2-D argument as it lies in memory.
inline StridedTable table_of(const AnyMat& x) {
    return StridedTable{x.data(), x.shape(0), x.shape(1), static_cast<std::ptrdiff_t>(x.stride(0)),
                        static_cast<std::ptrdiff_t>(x.stride(1))};
}

// A NumPy array of D dimensions returned to Python.
template <typename T, std::size_t D>
using Out = nb::ndarray<nb::numpy, T, nb::ndim<D>, nb::device::cpu>;

template <typename T> constexpr const char* numpy_dtype();
template <> constexpr const char* numpy_dtype<double>() { return "float64"; }
template <> constexpr const char* numpy_dtype<std::int64_t>() { return "int64"; }
template <> constexpr const char* numpy_dtype<std::uint8_t>() { return "uint8"; }

// What a new array holds before the kernel writes it.
enum class Fill {
    none,   // kernels that write every cell
    zeros,  // kernels that may leave cells as they are
};

// The one way a binding allocates a result: a new NumPy array of the given shape and
// memory order (`.data()` is what the kernel fills), made by numpy.empty or numpy.zeros.
// NumPy asks the kernel for huge pages on large arrays, which saves a page fault per
// 4 KiB written, and an empty array gets no zero-filling pass. Call with the GIL held,
// before releasing it for the kernel.
template <typename T, std::size_t D>
Out<T, D> new_array(const std::size_t (&shape)[D], Fill fill, Order order = Order::row_major) {
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::list dims;
    for (std::size_t d : shape) dims.append(d);
    nb::object array = numpy.attr(fill == Fill::zeros ? "zeros" : "empty")(
        dims, numpy_dtype<T>(), order == Order::column_major ? "F" : "C");
    return nb::cast<Out<T, D>>(array, /*convert=*/false);  // a view of `array`, never a copy
}

// A new C-ordered rows x cols float64 result for a kernel that writes every cell, as a
// Python object, with its data pointer.
inline nb::object empty_matrix(std::size_t rows, std::size_t cols, double*& data) {
    Out<double, 2> array = new_array<double>({rows, cols}, Fill::none);
    data = array.data();
    return nb::cast(array);
}

inline std::string shape_text(std::initializer_list<std::size_t> shape) {
    std::string s = "(";
    std::size_t i = 0;
    for (auto d : shape) {
        if (i++) s += ", ";
        s += std::to_string(d);
    }
    if (shape.size() == 1) s += ",";
    return s + ")";
}

// Throws ValueError unless the tables named a and b have the same shape.
inline void require_same_shape(const char* a, std::size_t ar, std::size_t ac, const char* b, std::size_t br,
                               std::size_t bc) {
    if (ar != br || ac != bc) {
        throw std::invalid_argument(std::string(a) + " and " + b + ": expect the same shape, got " +
                                    shape_text({ar, ac}) + " and " + shape_text({br, bc}));
    }
}

}  // namespace sigmora::bind
