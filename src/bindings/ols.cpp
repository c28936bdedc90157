// Binding of core/ols.hpp: plain per-date least-squares residuals.
#include <stdexcept>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/ols.hpp"

namespace sigmora::bind {

namespace {

Out<double, 2> ols_residuals(CMat endog, CCube exog) {
    const std::size_t T = endog.shape(0), N = endog.shape(1);
    if (exog.shape(0) != T || exog.shape(1) != N) {
        throw std::invalid_argument("calc_residuals: expect endog of shape (T, N) and exog of shape (T, N, K), "
                                    "got endog " + shape_text({T, N}) + " and exog " +
                                    shape_text({exog.shape(0), exog.shape(1), exog.shape(2)}));
    }
    const std::size_t K = exog.shape(2);
    Out<double, 2> out = new_array<double>({T, N}, Fill::zeros, "endog");
    {
        nb::gil_scoped_release release;
        sigmora::ols_residuals(endog.data(), exog.data(), T, N, K, out.data());
    }
    return out;
}

}  // namespace

void register_ols(nanobind::module_& m) {
    m.def("ols_residuals", &ols_residuals, nb::arg("endog"), nb::arg("exog"),
          "Per-date least-squares residuals of endog (T x N) on exog (T x N x K); NaN where the value "
          "or a regressor is missing.");
}

}  // namespace sigmora::bind
