// Array types shared by the binding files, and a helper that hands a C++ buffer to
// NumPy without copying.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace sigmora::bind {

namespace nb = nanobind;

using CVec = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using CMat = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using CCube = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using CIntMat = nb::ndarray<const std::int64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using CIntVec = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

template <typename T>
using OutArray = nb::ndarray<nb::numpy, T>;

// Moves `data` into a NumPy array of the given shape (C order).
template <typename T>
OutArray<T> to_numpy(std::vector<T>&& data, std::initializer_list<std::size_t> shape) {
    auto* owned = new std::vector<T>(std::move(data));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return OutArray<T>(owned->data(), shape.size(), shape.begin(), owner);
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

}  // namespace sigmora::bind
