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

#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/sizes.hpp"
#include "core/table.hpp"

namespace sigmora::bind {

namespace nb = nanobind;

using AnyMat = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using CMat = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using CCube = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using CIntMat = nb::ndarray<const std::int64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using CIntVec = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A 2-D argument as it lies in memory. Its values must lie on 8-byte boundaries, as NumPy
// allocates them: a view into a byte buffer at an odd offset (what a table unpickled from a
// message can be) would make every load of a double undefined, so it is refused.
inline StridedTable table_of(const AnyMat& x) {
    const auto address = reinterpret_cast<std::uintptr_t>(x.data());
    if (x.size() != 0 && address % alignof(double) != 0)
        throw std::invalid_argument("expect float64 values aligned in memory (NumPy's own arrays are), got a view "
                                    "at an odd address; np.require(values, requirements='A') gives an aligned copy");
    return StridedTable{x.data(), x.shape(0), x.shape(1), static_cast<std::ptrdiff_t>(x.stride(0)),
                        static_cast<std::ptrdiff_t>(x.stride(1))};
}

// A NumPy array of D dimensions returned to Python.
template <typename T, std::size_t D>
using Out = nb::ndarray<nb::numpy, T, nb::ndim<D>, nb::device::cpu>;

template <typename T> constexpr const char* numpy_dtype();
template <> constexpr const char* numpy_dtype<double>() { return "float64"; }
template <> constexpr const char* numpy_dtype<std::int64_t>() { return "int64"; }
template <> constexpr const char* numpy_dtype<std::int32_t>() { return "int32"; }
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
// `what` names the argument the shape comes from: a shape too large for the address space
// raises OverflowError, one the memory cannot hold MemoryError, each naming it.
template <typename T, std::size_t D>
Out<T, D> new_array(const std::size_t (&shape)[D], Fill fill, const char* what, Order order = Order::row_major) {
    checked_cells(shape, shape + D, sizeof(T), what);
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::list sizes;
    for (std::size_t d : shape) sizes.append(d);
    nb::object array;
    try {
        array = numpy.attr(fill == Fill::zeros ? "zeros" : "empty")(sizes, numpy_dtype<T>(),
                                                                    order == Order::column_major ? "F" : "C");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_MemoryError)) throw;
        throw OutOfMemory(std::string(what) + ": cannot allocate a result of " + size_text(shape, shape + D) +
                          " cells of " +
                          std::to_string(sizeof(T)) + " bytes");
    }
    return nb::cast<Out<T, D>>(array, /*convert=*/false);  // a view of `array`, never a copy
}

// A new C-ordered rows x cols float64 result for a kernel that writes every cell, as a
// Python object, with its data pointer; `what` names the argument its size comes from.
inline nb::object empty_matrix(std::size_t rows, std::size_t cols, double*& data, const char* what = "result") {
    Out<double, 2> array = new_array<double>({rows, cols}, Fill::none, what);
    data = array.data();
    return nb::cast(array);
}

// The output of a kernel that writes every cell of a rows x cols float64 table: a new array when
// `out` is None, else `out` itself, which must be a writable, C-contiguous float64 NumPy array
// of exactly that shape that shares no memory with the kernel's inputs (no kernel is proven safe
// in place). Anything else raises TypeError or ValueError naming `out`, before the kernel runs.
// Call with the GIL held.
struct Bytes {
    std::uintptr_t lo = 0, hi = 0;  // [lo, hi); empty when lo == hi
};
inline Bytes bytes_of(const StridedTable& t);
inline nb::object out_matrix(nb::handle out, std::size_t rows, std::size_t cols, double*& data,
                             std::initializer_list<Bytes> inputs);

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

// The bytes a table spans, from its lowest to its highest cell.
inline Bytes bytes_of(const StridedTable& t) {
    if (t.rows == 0 || t.cols == 0) return {};
    std::ptrdiff_t lo = 0, hi = 0;
    for (auto [n, stride] : {std::pair{t.rows, t.row_stride}, std::pair{t.cols, t.col_stride}}) {
        const std::ptrdiff_t reach = static_cast<std::ptrdiff_t>(n - 1) * stride;
        (reach < 0 ? lo : hi) += reach;
    }
    const auto base = reinterpret_cast<std::uintptr_t>(t.data);
    const auto size = static_cast<std::ptrdiff_t>(sizeof(double));
    return {base + static_cast<std::uintptr_t>(lo * size), base + static_cast<std::uintptr_t>((hi + 1) * size)};
}

inline nb::object out_matrix(nb::handle out, std::size_t rows, std::size_t cols, double*& data,
                             std::initializer_list<Bytes> inputs) {
    auto text_of = [](nb::handle v) { return std::string(nb::str(v).c_str()); };
    if (out.is_none()) return empty_matrix(rows, cols, data);
    nb::module_ numpy = nb::module_::import_("numpy");
    if (!nb::isinstance(out, numpy.attr("ndarray")))
        throw nb::type_error(("out: expect a float64 NumPy array or None, got " +
                              std::string(nb::type_name(out.type()).c_str())).c_str());
    if (!out.attr("dtype").equal(numpy.attr("dtype")("float64")))
        throw nb::type_error(("out: expect a float64 array, got dtype " +
                              text_of(out.attr("dtype"))).c_str());
    const std::size_t ndim = nb::cast<std::size_t>(out.attr("ndim"));
    nb::tuple shape = nb::cast<nb::tuple>(out.attr("shape"));
    if (ndim != 2 || nb::cast<std::size_t>(shape[0]) != rows || nb::cast<std::size_t>(shape[1]) != cols)
        throw std::invalid_argument("out: expect shape " + shape_text({rows, cols}) + ", got " +
                                    text_of(shape));
    nb::handle flags = out.attr("flags");
    if (!nb::cast<bool>(flags.attr("c_contiguous")))
        throw std::invalid_argument("out: expect a C-contiguous (row-major) array, got one with strides " +
                                    text_of(out.attr("strides")));
    if (!nb::cast<bool>(flags.attr("writeable"))) throw std::invalid_argument("out: expect a writable array");
    auto array = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>>(out, /*convert=*/false);
    data = array.data();
    const auto lo_out = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t hi_out = lo_out + rows * cols * sizeof(double);
    for (const Bytes& in : inputs)
        if (in.lo < in.hi && lo_out < hi_out && in.lo < hi_out && lo_out < in.hi)
            throw std::invalid_argument("out: expect an array that shares no memory with the inputs");
    return nb::borrow(out);
}

// An integer argument as the caller passed it: a Python int, a NumPy integer or anything
// else with __index__ (typed `int` in the signature). Any object is taken, so that the
// binding, not the argument matching, checks it: the accessors below raise TypeError for
// a non-integer, ValueError below the accepted range and OverflowError above it, each
// naming the argument, where a plain C++ integer parameter would answer a mismatch.
struct IntArg {
    nb::object value;
};

namespace detail {

// The argument as a Python int, or TypeError naming it.
inline nb::object as_python_int(const IntArg& arg, const char* name) {
    PyObject* index = PyNumber_Index(arg.value.ptr());
    if (!index) {
        PyErr_Clear();
        throw nb::type_error((std::string(name) + ": expect an integer, got " + nb::repr(arg.value).c_str()).c_str());
    }
    return nb::steal(index);
}

inline std::string int_text(const nb::object& v) { return nb::str(v).c_str(); }

}  // namespace detail

// The argument as an int in [lo, hi]; `expect` describes the accepted values.
inline long long int_arg(const IntArg& arg, const char* name, long long lo, long long hi, const char* expect) {
    nb::object v = detail::as_python_int(arg, name);
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow > 0 || (overflow == 0 && x > hi))
        throw std::overflow_error(std::string(name) + ": expect " + expect + " up to " + std::to_string(hi) +
                                  ", got " + detail::int_text(v));
    if (overflow < 0 || x < lo)
        throw std::invalid_argument(std::string(name) + ": expect " + expect + ", got " + detail::int_text(v));
    return x;
}

// The argument as a non-negative size. With `saturate`, values past the largest size
// read as the largest size (for counts that the kernel bounds by the data anyway).
inline std::size_t size_arg(const IntArg& arg, const char* name, bool saturate = false) {
    nb::object v = detail::as_python_int(arg, name);
    if (PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_LT) == 1)
        throw std::invalid_argument(std::string(name) + ": expect a non-negative integer, got " + detail::int_text(v));
    const unsigned long long x = PyLong_AsUnsignedLongLong(v.ptr());
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        if (saturate) return SIZE_MAX;
        throw std::overflow_error(std::string(name) + ": expect a non-negative integer up to " +
                                  std::to_string(SIZE_MAX) + ", got " + detail::int_text(v));
    }
    if (x > SIZE_MAX) {
        if (saturate) return SIZE_MAX;
        throw std::overflow_error(std::string(name) + ": expect a non-negative integer up to " +
                                  std::to_string(SIZE_MAX) + ", got " + detail::int_text(v));
    }
    return static_cast<std::size_t>(x);
}

}  // namespace sigmora::bind

namespace nanobind::detail {

template <>
struct type_caster<sigmora::bind::IntArg> {
    NB_TYPE_CASTER(sigmora::bind::IntArg, const_name("int"))

    bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
        value.value = borrow(src);
        return true;
    }
    static handle from_cpp(const sigmora::bind::IntArg& v, rv_policy, cleanup_list*) noexcept {
        return v.value.inc_ref();
    }
};

}  // namespace nanobind::detail
