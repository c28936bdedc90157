// The extension module sigmora._core: one register_<family> call per kernel family.
#include <nanobind/nanobind.h>

#include <exception>

#include "bindings/register.hpp"
#include "core/sizes.hpp"

NB_MODULE(_core, m) {
    m.doc() = "sigmora's C++ kernels over contiguous float64 arrays (NaN = missing)";
    // A buffer an argument asked for that cannot be had is a MemoryError naming the argument
    // (std::overflow_error, a size past the address space, is nanobind's OverflowError).
    nanobind::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const sigmora::OutOfMemory& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });
    sigmora::bind::register_parallel(m);
    sigmora::bind::register_winsorize(m);
    sigmora::bind::register_ols(m);
    sigmora::bind::register_neutralize(m);
    sigmora::bind::register_normalize(m);
    sigmora::bind::register_ic(m);
    sigmora::bind::register_portfolio(m);
    sigmora::bind::register_factor_portfolio(m);
    sigmora::bind::register_operators(m);
    sigmora::bind::register_prices(m);
    sigmora::bind::register_overlap(m);
}
