// The extension module sigmora._core: one register_<family> call per kernel family.
#include <nanobind/nanobind.h>

#include "bindings/register.hpp"

NB_MODULE(_core, m) {
    m.doc() = "sigmora's C++ kernels over contiguous float64 arrays (NaN = missing)";
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
}
