// Binding of core/neutralize.hpp: residuals on long-form style exposures, industries and
// dense regressors.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/neutralize.hpp"

namespace sigmora::bind {

namespace {

void expect_length(const CIntVec& v, std::size_t n, const char* name, const char* of) {
    if (v.shape(0) != n) {
        throw std::invalid_argument(std::string(name) + ": expect " + of + " " + shape_text({n}) + ", got " +
                                    shape_text({v.shape(0)}));
    }
}

Out<double, 2> ols_neutralize(CMat endog, AnyMat style_values, CIntVec record_date, CIntVec record_key,
                              const IntArg& n_dates_value, const IntArg& n_keys_value, CIntVec row_date,
                              CIntVec column_key, std::vector<CMat> dense, std::optional<CIntMat> codes,
                              const IntArg& n_industries_value) {
    const std::size_t n_dates = size_arg(n_dates_value, "n_dates"), n_keys = size_arg(n_keys_value, "n_keys");
    const std::size_t n_industries = size_arg(n_industries_value, "n_industries");
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
    Out<double, 2> out = new_array<double>({T, N}, Fill::zeros, "endog");
    {
        nb::gil_scoped_release release;
        sigmora::ols_neutralize(endog.data(), T, N, style, dense_ptrs, code_ptr, n_industries, out.data());
    }
    return out;
}

}  // namespace

void register_neutralize(nanobind::module_& m) {
    m.def("ols_neutralize", &ols_neutralize, nb::arg("endog"), nb::arg("style_values"), nb::arg("record_date"),
          nb::arg("record_key"), nb::arg("n_dates"), nb::arg("n_keys"), nb::arg("row_date"),
          nb::arg("column_key"), nb::arg("dense"), nb::arg("codes").none(), nb::arg("n_industries"),
          "Per-date residuals on long-form style exposures (records x factors, any strides), industry "
          "codes (T x N, -1 = none; demeaned within industries) and dense T x N regressors.");
}

}  // namespace sigmora::bind
