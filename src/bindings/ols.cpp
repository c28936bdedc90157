// Least-squares residual kernels: plain per-date regressions and neutralization.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/neutralize.hpp"
#include "core/ols.hpp"

namespace sigmora::bind {

namespace {

using StridedMat = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

OutArray<double> residuals(CMat endog, CCube exog) {
    const std::size_t T = endog.shape(0), N = endog.shape(1);
    if (exog.shape(0) != T || exog.shape(1) != N) {
        throw std::invalid_argument("calc_residuals: expect endog of shape (T, N) and exog of shape (T, N, K), "
                                    "got endog " + shape_text({T, N}) + " and exog " +
                                    shape_text({exog.shape(0), exog.shape(1), exog.shape(2)}));
    }
    const std::size_t K = exog.shape(2);
    std::vector<double> out(T * N);
    {
        nb::gil_scoped_release release;
        ols_residuals(endog.data(), exog.data(), T, N, K, out.data());
    }
    return to_numpy(std::move(out), {T, N});
}

void expect_length(const CIntVec& v, std::size_t n, const char* name, const char* of) {
    if (v.shape(0) != n) {
        throw std::invalid_argument(std::string(name) + ": expect " + of + " " + shape_text({n}) + ", got " +
                                    shape_text({v.shape(0)}));
    }
}

OutArray<double> neutralize(CMat endog, StridedMat style_values, CIntVec record_date, CIntVec record_key,
                            std::size_t n_dates, std::size_t n_keys, CIntVec row_date, CIntVec column_key,
                            std::vector<CMat> dense, std::optional<CIntMat> codes, std::size_t n_industries) {
    const std::size_t T = endog.shape(0), N = endog.shape(1);
    LongExposures style;
    style.n_factors = style_values.shape(1);
    if (style.n_factors > 0) {
        style.values = style_values.data();
        style.n_records = style_values.shape(0);
        style.record_stride = style_values.stride(0);
        style.factor_stride = style_values.stride(1);
        expect_length(record_date, style.n_records, "record_date", "one date slot per record, shape");
        expect_length(record_key, style.n_records, "record_key", "one key per record, shape");
        expect_length(row_date, T, "row_date", "one date slot per endog row, shape");
        expect_length(column_key, N, "column_key", "one key per endog column, shape");
        style.record_date = record_date.data();
        style.record_key = record_key.data();
        style.row_date = row_date.data();
        style.column_key = column_key.data();
        style.n_dates = n_dates;
        style.n_keys = n_keys;
    }
    std::vector<const double*> dense_ptrs;
    for (std::size_t o = 0; o < dense.size(); ++o) {
        if (dense[o].shape(0) != T || dense[o].shape(1) != N) {
            throw std::invalid_argument("dense[" + std::to_string(o) + "]: expect the shape of endog " +
                                        shape_text({T, N}) + ", got " +
                                        shape_text({dense[o].shape(0), dense[o].shape(1)}));
        }
        dense_ptrs.push_back(dense[o].data());
    }
    const std::int64_t* code_ptr = nullptr;
    if (codes) {
        if (codes->shape(0) != T || codes->shape(1) != N) {
            throw std::invalid_argument("codes: expect the shape of endog " + shape_text({T, N}) + ", got " +
                                        shape_text({codes->shape(0), codes->shape(1)}));
        }
        code_ptr = codes->data();
    }
    std::vector<double> out(T * N);
    {
        nb::gil_scoped_release release;
        neutralize_residuals(endog.data(), T, N, style, dense_ptrs, code_ptr, n_industries, out.data());
    }
    return to_numpy(std::move(out), {T, N});
}

}  // namespace

void register_ols(nanobind::module_& m) {
    m.def("ols_residuals", &residuals, nb::arg("endog"), nb::arg("exog"),
          "Per-date least-squares residuals of endog (T x N) on exog (T x N x K); NaN where the value "
          "or a regressor is missing.");
    m.def("ols_neutralize", &neutralize, nb::arg("endog"), nb::arg("style_values"), nb::arg("record_date"),
          nb::arg("record_key"), nb::arg("n_dates"), nb::arg("n_keys"), nb::arg("row_date"),
          nb::arg("column_key"), nb::arg("dense"), nb::arg("codes").none(), nb::arg("n_industries"),
          "Per-date residuals on long-form style exposures (records x factors, any strides), industry "
          "codes (T x N, -1 = none; demeaned within industries) and dense T x N regressors.");
}

}  // namespace sigmora::bind
